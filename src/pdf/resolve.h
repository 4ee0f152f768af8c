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
    // The object's value (a stream's dictionary), or null when the object is
    // missing, unreadable, or past the budget.
    const pdf::value *get(int32_t num) override;
    bool is_stream(int32_t num) override;
    const doc *document() const { return d_; }
    // Whether an object was refused for the budget.
    bool spent() const { return spent_; }

private:
    // Slot of object num: kUnread, kUnreadable, or where its value is
    // stored. Sized on first use by the largest object number of the
    // document (numbers without an object are never kept).
    static constexpr int32_t kUnread = -1, kUnreadable = -2;
    int32_t slot_of(int32_t num) const {
        return num >= 0 && static_cast<size_t>(num) < slot_.size() ? slot_[static_cast<size_t>(num)] : kUnread;
    }
    const pdf::value *at(int32_t slot) const {
        return &blocks_[static_cast<size_t>(slot) / kBlock][static_cast<size_t>(slot) % kBlock];
    }
    // Values are kept in blocks of kBlock, made and released together:
    // one allocation per block instead of a heap node and a value each.
    static constexpr size_t kBlock = 64;
    const doc *d_;
    std::vector<int32_t> slot_;
    std::vector<std::unique_ptr<pdf::value[]>> blocks_;
    int32_t stored_ = 0;
    int64_t budget_;
    const doc_resolver *base_ = nullptr;
    bool spent_ = false;
};

}  // namespace sheetlay

#endif
