// The objects carried from the input into the output: which ones (the
// closure of the placed pages' resources), their numbers there, and their
// text with every reference renumbered.
//
// The closure is found breadth first over the references of the objects'
// own text (a stream's dictionary, never its data), with a flat table from
// input to output number, so that depth and cost stay bounded by the number
// of objects whatever the file's shape. Pages and page-tree nodes are never
// carried: references to them (and to numbers no object can have) are
// written as null. An object whose whole value is a reference to another is
// not carried either (an indirect object cannot stand for another one):
// references to it name its target.
#ifndef SHEETLAY_NUP_TRANSFER_H
#define SHEETLAY_NUP_TRANSFER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "error.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "nup/pdfout.h"
#include "nup/scan.h"

namespace sheetlay::nup {

class scan_ahead;

class transfer {
public:
    // Carried objects are numbered from `base` on.
    transfer(const doc *d, int64_t base);
    ~transfer();

    // Output number for input number `num`: > 0, or 0 for "write null".
    int32_t lookup(int64_t num) const;

    // Notes the references of a text; false when it nests too deep.
    bool gather(const unsigned char *t, int32_t len);

    // Follows the references inside carried objects until none is new,
    // breadth first, then settles the forwarding objects.
    void close();

    // Input numbers of the carried objects, in output order.
    const array<int32_t> &list() const { return list_; }
    int32_t out_num(size_t i) const { return static_cast<int32_t>(base_ + static_cast<int64_t>(i)); }
    // Carried objects nested too deep to be written: they become null.
    bool too_deep(size_t i) const { return deep_[i]; }

    // The references of carried object i (numbered m = out_num(i) in the
    // output, n in the input) when its text is certainly valid as it
    // stands (see scan_carried): true with them in (*refs)[0, *count), and
    // that text is written by splicing them, with no repair and no further
    // scan; false otherwise.
    bool clean_refs(int32_t n, int32_t m, const ref_at **refs, size_t *count) const;

    // Whether carried text is repaired into valid syntax (nup/repair)
    // before it is written. The fixed-grid functions keep their bytes: only
    // the options interface sets it.
    bool repair = false;

    // How many objects the walk must have listed and not yet reached for
    // close() to share its scans with a second thread (see
    // nup/scan_ahead); the output is the same either way. SIZE_MAX on a
    // machine of one core. Tests set it. 512 objects take some 0.5 ms to
    // scan: the corpus's GeoTopo book (at most 434 listed ahead, 0.5 ms for
    // the whole walk) gained nothing from a thread; its ten-fold copy (730
    // from the start, up to 4,340) gains about a third of its walk.
    size_t ahead_from;
    static constexpr size_t kAheadFrom = 512;

private:
    void note(int64_t num);
    void close_ahead(size_t from, bool keep);
    void reached(size_t i, const ref_at *found, size_t n, bool ok, bool clean, bool keep);
    bool forwards(const obj_entry *e, int64_t *target) const;
    void resolve_aliases();

    const doc *d_;
    int64_t base_;
    array<int32_t> out_;
    array<int32_t> list_;
    array<bool> deep_;
    // The references of the clean carried texts, an object's in a row
    // (12 bytes a reference, of objects found by the closure only, and
    // only for a plain input, whose text is written as stored); per
    // carried object where its row starts (it ends where the next one
    // starts), or ~start when its text is not clean: 4 bytes an object.
    array<ref_at> refs_;
    array<int32_t> starts_;
};

// Appends t[0, len) with every reference replaced by its output number
// (generation 0) or by null. False when the text nests too deep (what was
// appended is then incomplete).
bool renumber_into(const transfer &tr, const unsigned char *t, int32_t len, std::string &out);
void renumber_into(const transfer &tr, const unsigned char *t, int32_t len, image &img);

// repaired_view, then renumber_into a string, in one: text that is
// certainly valid (scan_carried) is scanned once and spliced.
bool carry_into(const transfer &tr, const unsigned char *t, int32_t len, std::string &out);

// Points *t, *len at the text to write for t[0, *len): as it stands, or,
// when the transfer repairs and the text needs it, its repair kept in `hold`.
void repaired_view(const transfer &tr, const unsigned char **t, int32_t *len, std::string &hold);

// Writes carried object n (input number) as object m, or a null object when
// it is gone or `too_deep`; records its offset. The text and stream data go
// out as stored, except that an encrypted input's are decrypted (strings as
// hexadecimal strings, stream data with its true /Length).
void write_carried(const doc *d, const transfer &tr, image &img, offsets &off, int32_t n,
                   int32_t m, bool too_deep);

}  // namespace sheetlay::nup

#endif
