// Glyph boxes kept by a font program for all its readers (see fontprog.h).
//
// The trim reads pages on two threads, whose font caches share each font's
// parsed program. A glyph's box is worked out by the first reader to ask,
// under the program's lock, and published through a flag per glyph; later
// readers, on any thread, read it without the lock. Each reader's budget is
// charged with the work the glyph took, whoever did it, so a reader's
// results are those it would have found working alone.
#include "content/fontprog.h"

namespace sheetlay::content {

void font_program::prepare_glyphs() {
    const size_t n = count_ > 0 ? static_cast<size_t>(count_) : 0;
    worked_.assign(n, worked{});
    ready_ = std::make_unique<std::atomic<uint8_t>[]>(n);
}

const font_program::worked &font_program::work_out(int32_t gid) const {
    const size_t k = static_cast<size_t>(gid);
    if (!ready_[k].load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(mu_);
        if (!ready_[k].load(std::memory_order_relaxed)) {
            worked &w = worked_[k];
            w.box = compute(gid, &w.ops);
            ready_[k].store(1, std::memory_order_release);
        }
    }
    return worked_[k];
}

const glyph_extent &font_program::glyph(int32_t gid, glyph_memo &m) const {
    static const glyph_extent none;
    if (gid < 0 || gid >= count_ || !ready_) return none;
    const size_t k = static_cast<size_t>(gid);
    if (m.taken.empty()) m.taken.assign(static_cast<size_t>(count_), 0);
    if (m.taken[k] == 0) {
        if (m.budget > 0) {
            m.budget -= work_out(gid).ops;
            m.taken[k] = 1;
        } else {
            m.taken[k] = 2;
        }
    }
    return m.taken[k] == 1 ? worked_[k].box : none;
}

}  // namespace sheetlay::content
