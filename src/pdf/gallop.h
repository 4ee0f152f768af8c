// Searches of sorted position lists for runs of queries that stand near one
// another, as the loading stages ask them (in file order, or its reverse).
#ifndef SHEETLAY_PDF_GALLOP_H
#define SHEETLAY_PDF_GALLOP_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sheetlay {

// Binary searches over a sorted list for a run of queries that each stand
// near the last one: the search gallops out from the last answer, so that
// a query costs a few steps rather than a search of the whole list.
// `before(x)` holds for the elements that precede the answer; the answer is
// the first place where it fails (as std::partition_point), or the list's
// size.
template <class T>
class gallop_cursor {
public:
    explicit gallop_cursor(const std::vector<T> &v) : v_(v) {}
    template <class Before>
    size_t find(Before before) {
        const size_t n = v_.size();
        if (n == 0) return 0;
        // From the last element after an answer past the end: the next
        // answer may lie anywhere before it.
        const size_t k = std::min(at_, n - 1);
        size_t lo, hi;  // the answer lies in [lo, hi]
        if (!before(v_[k])) {
            size_t bound = 1;
            while (bound <= k && !before(v_[k - bound])) bound *= 2;
            lo = bound > k ? 0 : k - bound + 1;
            hi = k - bound / 2;
        } else {
            size_t bound = 1;
            while (k + bound < n && before(v_[k + bound])) bound *= 2;
            hi = std::min(k + bound, n);
            lo = std::min(k + bound / 2 + 1, hi);
        }
        auto it = std::partition_point(v_.begin() + static_cast<std::ptrdiff_t>(lo),
                                       v_.begin() + static_cast<std::ptrdiff_t>(hi), before);
        at_ = static_cast<size_t>(it - v_.begin());
        return at_;
    }

private:
    const std::vector<T> &v_;
    size_t at_ = 0;
};

// The first position at or after p in a sorted list, or -1 (as
// kw_positions::first_at_or_after), by a gallop_cursor.
class kw_cursor {
public:
    explicit kw_cursor(const std::vector<int32_t> &v) : v_(v), c_(v) {}
    int32_t first_at_or_after(int64_t p) {
        const size_t k = c_.find([p](int32_t x) { return x < p; });
        return k < v_.size() ? v_[k] : -1;
    }

private:
    const std::vector<int32_t> &v_;
    gallop_cursor<int32_t> c_;
};

}  // namespace sheetlay

#endif
