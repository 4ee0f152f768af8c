// Bounds of ink (see bounds.h).
#include "content/bounds.h"

#include <cmath>

namespace sheetlay::content {

bool whiteish(space s, const double *v, size_t n) {
    if (n == 0) return false;
    switch (s) {
        case space::gray:
        case space::rgb:
            for (size_t k = 0; k < n; ++k)
                if (!(v[k] >= 0.999)) return false;
            return n == (s == space::gray ? 1u : 3u);
        case space::cmyk:
        case space::tint:
            for (size_t k = 0; k < n; ++k)
                if (!(v[k] <= 0.001)) return false;
            return s == space::tint || n == 4;
        default:
            return false;
    }
}


bool stroke_adds_nothing(const box &pbox, const mat &ctm, double lw, int lj, double ml, int lc, const box &clip,
                         const box &out) {
    if (pbox.empty()) return true;  // the stroke's box is empty too
    if (out.empty() || !usable(pbox) || !std::isfinite(ml)) return false;
    // Each length the stroke's box takes from the matrix (the norms of its
    // rows and columns) is at most the sum of the entries' sizes; a mitred
    // tip stands at most the miter limit times half the width from its
    // corner (a limit below 1 bevels every corner), a projecting cap's
    // corner the diagonal of half the width.
    const double hw = std::fabs(lw) / 2;
    const double reach = hw * bounds_detail::abs_sum(ctm) * std::max({1.0, lj == 0 ? std::fabs(ml) : 0.0, lc == 2 ? 1.5 : 0.0});
    const double scale =
        reach + std::max({std::fabs(pbox.x0), std::fabs(pbox.y0), std::fabs(pbox.x1), std::fabs(pbox.y1)});
    if (!(scale < 1e12)) return false;
    return bounds_detail::inside(pbox, reach + 1e-9 * (scale + 1), clip, out);
}

}  // namespace sheetlay::content
