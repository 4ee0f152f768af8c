// The parts beyond the placed pages, run in order (see extras.h).
#include "nup/extras.h"

namespace sheetlay::nup {

extras::extras(const doc *d, const compose_job &job, page_memos &memos, sheet_numbers sn,
               const std::vector<int64_t> *own, uint32_t keep, const doc_resolver *parsed) {
    if (keep == 0) return;
    // What a trim parsed is taken as parsed here, counted against this
    // resolver's budget as its own parse would be: the same values.
    res_ = parsed ? std::make_unique<doc_resolver>(d, parsed, true) : std::make_unique<doc_resolver>(d);
    part_context c{d, &job, &memos, sn, res_.get(), own, keep};
    // The order fixes the numbering of the added objects.
    for (auto make : {make_annotation_part, make_link_part, make_outline_part, make_info_part})
        if (auto p = make(c)) parts_.push_back(std::move(p));
}

extras::~extras() = default;

bool extras::any() const { return !parts_.empty(); }

void extras::plan(transfer &tr) {
    for (auto &p : parts_) p->plan(tr);
}

void extras::build(const transfer &tr, added_objects &objs, additions &add) {
    for (auto &p : parts_) p->build(tr, objs, add);
}

}  // namespace sheetlay::nup
