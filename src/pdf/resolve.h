// The input's indirect objects as values (pdf/object), for the parts of the
// output that need the structure of a dictionary rather than its text:
// annotations, destinations, the outline, the document information.
//
// Objects are parsed on first use and kept for the rest of the call, so
// that a destination or font named by many annotations costs one parse. A
// stream object gives its dictionary. The total parsed text is bounded by a
// budget proportional to the file, so that a damaged file whose objects
// refer to each other without end stays linear; past it, objects read as
// missing. The strings of an encrypted input are given decrypted.
#ifndef SHEETLAY_PDF_RESOLVE_H
#define SHEETLAY_PDF_RESOLVE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "pdf/document.h"
#include "pdf/object.h"

namespace sheetlay {

class doc_resolver : public pdf::resolver {
public:
    explicit doc_resolver(const doc *d);
    // One that first looks in `base`, a resolver no longer written to
    // (filled on one thread before readers on others start): what it holds
    // is taken from there, not parsed again. `base` must outlive this one.
    doc_resolver(const doc *d, const doc_resolver *base) : doc_resolver(d) { base_ = base; }
    // One that takes from `base` what it holds as if it had parsed it
    // itself: each object counted against this one's budget by its text,
    // as its own parse would count it, so that what it gives is what a
    // resolver of its own would give (a job after a trim reads the objects
    // the trim parsed). `base` must outlive this one and not change.
    doc_resolver(const doc *d, const doc_resolver *base, bool charged) : doc_resolver(d, base) {
        charged_ = charged;
    }
    // Moves into this one what `other` (of the same document, its budget not
    // spent) holds and this one does not; the values keep their addresses.
    // `other` is left only to be destroyed; neither may be in use on
    // another thread.
    void adopt(doc_resolver &other);
    // The object's value (a stream's dictionary), or null when the object is
    // missing, unreadable, or past the budget.
    const pdf::value *get(int32_t num) override;
    bool is_stream(int32_t num) override;
    const doc *document() const { return d_; }
    // Whether an object was refused for the budget.
    bool spent() const { return spent_; }
    // The text that may still be parsed.
    int64_t budget_left() const { return budget_; }

private:
    // Slot of object num: kUnread, kUnreadable, or the index of its value
    // in vals_. Sized on first use by the largest object number of the
    // document (numbers without an object are never kept).
    static constexpr int32_t kUnread = -1, kUnreadable = -2;
    int32_t slot_of(int32_t num) const {
        return num >= 0 && static_cast<size_t>(num) < slot_.size() ? slot_[static_cast<size_t>(num)] : kUnread;
    }
    const pdf::value *at(int32_t slot) const { return vals_[static_cast<size_t>(slot)]; }
    void size_slots();
    // Values parsed here are kept in blocks of kBlock, made and released
    // together: one allocation per block instead of a heap node and a value
    // each. vals_ also points at values taken from a base (not owned) and
    // at those adopted, whose blocks are kept in kept_.
    static constexpr size_t kBlock = 64;
    const doc *d_;
    std::vector<int32_t> slot_;
    std::vector<const pdf::value *> vals_;
    std::vector<std::unique_ptr<pdf::value[]>> blocks_;
    std::vector<std::unique_ptr<pdf::value[]>> kept_;
    size_t stored_ = 0;  // values placed in blocks_
    int64_t budget_;
    const doc_resolver *base_ = nullptr;
    bool charged_ = false;
    bool spent_ = false;
};

}  // namespace sheetlay

#endif
