// What the output carries beyond the placed pages: links and annotations on
// the sheets, the outline, the document information. Each such part works
// in two steps around the closure of carried objects:
//
//   plan   before the closure is settled: reads what it needs of the input
//          and notes in the transfer the input objects it will refer to
//          (an appearance stream, a link's action), so they are carried;
//   build  after it: writes its own objects, numbered after the carried
//          ones, and says what the catalog, the trailer, each sheet's
//          page dictionary and each sheet's content gain.
//
// With no `keep` bit set nothing is added and the output is byte for byte
// what the fixed-grid calls write.
#ifndef SHEETLAY_NUP_EXTRAS_H
#define SHEETLAY_NUP_EXTRAS_H

#include <cstdint>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nup/forms.h"
#include "nup/transfer.h"
#include "nup/write.h"
#include "pdf/document.h"
#include "pdf/resolve.h"

namespace sheetlay::nup {

// The numbers of the sheets' objects: sheet s (0-based) is page object
// 3 + s (n + 2), its n forms follow, then its content stream.
struct sheet_numbers {
    int32_t n = 0;  // slots per sheet
    int64_t page(int64_t sheet) const { return 3 + sheet * (static_cast<int64_t>(n) + 2); }
};

// Objects added by the parts, numbered on from `first`.
class added_objects {
public:
    explicit added_objects(int64_t first) : next_(first) {}
    // A number for an object whose text comes later (or now).
    int64_t reserve() { return next_++; }
    // The whole object text of a reserved number, from "N 0 obj" through
    // "endobj\n".
    void put(int64_t num, std::string text) { texts_[num] = std::move(text); }
    // The text put for `num`, or null.
    std::string *text(int64_t num) {
        auto it = texts_.find(num);
        return it == texts_.end() ? nullptr : &it->second;
    }
    int64_t next() const { return next_; }
    const std::map<int64_t, std::string> &texts() const { return texts_; }

private:
    int64_t next_;
    std::map<int64_t, std::string> texts_;
};

// What the parts add to the objects compose writes. Every text starts with a
// space (dictionary entries) or ends with a line feed (content).
struct additions {
    std::string catalog;  // entries of the catalog
    std::string trailer;  // entries of the trailer
    std::map<int64_t, std::string> sheet_entries;   // by sheet: entries of its page dictionary
    std::map<int64_t, std::string> sheet_xobjects;  // by sheet: entries of its /XObject dictionary
    // By (sheet, slot): content drawn right after the slot's placement line.
    std::map<std::pair<int64_t, int32_t>, std::string> after_slot;
    // By sheet: the next name of an annotation's form (/A0, /A1, ...), so
    // that the inputs of one job name theirs apart.
    std::map<int64_t, int64_t> annot_names;
    // The outline of a job of several inputs: the root the first input with
    // an outline wrote, and the top-level items so far, to which each later
    // input's top-level items are joined.
    struct outline_join {
        int64_t root = 0;
        int64_t first = 0, last = 0;  // the first and last top-level items
        int64_t count = 0;            // items shown at the top level when open
    } outline;
};

// Where the value of the /Annots entry of the page dictionary t[0, len)
// begins (t[0] opens it), for a page read without parsing the rest of it:
// -1 when the dictionary has no such entry, -2 when that cannot be told
// for certain from the text alone (a '#' in a name, a comment, a repeated
// /Annots, a key without value, deep nesting, anything the value parser
// would refuse), and the caller parses the whole page.
int32_t annots_value_at(const unsigned char *t, int32_t len);
// That value into *out (1), or -1 or -2 as above.
int annots_quick(const unsigned char *t, int32_t len, pdf::value *out);

// The /Annots arrays of the page objects, for links and annotations alike.
// Most of a page dictionary is its resources and boxes, which no part
// reads: when the resolver's budget can never run out (so that which
// objects it admits cannot depend on what was read before) and strings
// need no decryption, only the /Annots value is parsed. Otherwise, and
// wherever the text is not certainly clean, the page is read whole through
// the resolver, as before.
class page_annots {
public:
    explicit page_annots(doc_resolver &res) : res_(res) {}
    // The page object's /Annots value (references followed), or null.
    const pdf::value *get(int32_t num);

private:
    bool quick();
    doc_resolver &res_;
    int quick_ = -1;  // -1 until known
    std::unordered_map<int32_t, std::unique_ptr<pdf::value>> held_;  // null: no /Annots
    std::unordered_set<int32_t> whole_;  // pages read whole
};

// The parts of one call.
class extras {
public:
    // `own`: the cells of the job that place pages of `d` (in order), null
    // when all do; `keep` the parts wanted for this document; `parsed`: its
    // objects already parsed (by a trim), or null.
    extras(const doc *d, const compose_job &job, page_memos &memos, sheet_numbers sn,
           const std::vector<int64_t> *own, uint32_t keep, const doc_resolver *parsed = nullptr);
    ~extras();
    bool any() const;
    void plan(transfer &tr);
    void build(const transfer &tr, added_objects &objs, additions &add);

    struct part {
        virtual ~part() = default;
        virtual void plan(transfer &tr) = 0;
        virtual void build(const transfer &tr, added_objects &objs, additions &add) = 0;
    };

private:
    // One parse of each input object serves every part: links and
    // annotations read the same /Annots arrays. Declared first, so that it
    // outlives the parts that point into it.
    std::unique_ptr<doc_resolver> res_;
    std::unique_ptr<page_annots> annots_;
    std::vector<std::unique_ptr<part>> parts_;
};

// What a part is made from.
struct part_context {
    const doc *d;
    const compose_job *job;
    page_memos *memos;
    sheet_numbers sn;
    doc_resolver *res;  // shared by the parts, owned by `extras`
    page_annots *annots;  // likewise
    const std::vector<int64_t> *own;  // the cells placing pages of d, null: all
    uint32_t keep;                    // SHEETLAY_KEEP_* bits of the parts wanted
};

// Calls f(cell, page) for each cell of the job that places a page of the
// context's document (page: 0-based index into it, -1 for a blank), in order.
template <class F>
void for_each_cell(const part_context &c, F &&f) {
    const auto &cells = c.job->cells;
    if (!c.own) {
        for (size_t i = 0; i < cells.size(); ++i) f(i, cells[i]);
        return;
    }
    for (int64_t i : *c.own) f(static_cast<size_t>(i), cells[static_cast<size_t>(i)]);
}

// The parts (each in its own unit); null when its keep bit is clear or the
// input has nothing for it.
std::unique_ptr<extras::part> make_link_part(const part_context &c);
std::unique_ptr<extras::part> make_annotation_part(const part_context &c);
std::unique_ptr<extras::part> make_outline_part(const part_context &c);
std::unique_ptr<extras::part> make_info_part(const part_context &c);

}  // namespace sheetlay::nup

#endif
