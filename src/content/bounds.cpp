// Bounds of ink (see bounds.h).
#include "content/bounds.h"

#include <cmath>

namespace sheetlay::content {

namespace {

// The bound b, grown by `pad` and clipped, within out (or clipped away).
bool inside(box b, double pad, const box &clip, const box &out) {
    b.x0 -= pad, b.y0 -= pad, b.x1 += pad, b.y1 += pad;
    b.clip(clip);
    if (b.empty()) return true;
    return b.x0 >= out.x0 && b.y0 >= out.y0 && b.x1 <= out.x1 && b.y1 <= out.y1;
}

double abs_sum(const mat &m) { return std::fabs(m.a) + std::fabs(m.b) + std::fabs(m.c) + std::fabs(m.d); }

}  // namespace

bool run_adds_nothing(const box &u, double drift, const mat &tm0, const mat &ctm, const box &clip,
                      const box &out) {
    if (out.empty()) return false;
    const mat base = mul(tm0, ctm);
    const double xs[2] = {u.x0, u.x1}, ys[2] = {u.y0, u.y1};
    box b;
    for (double x : xs)
        for (double y : ys) b.add(base.a * x + base.c * y + base.e, base.b * x + base.d * y + base.f);
    // The size of the numbers the exact work multiplies and adds: each
    // string's text matrix (tm0 moved by up to `drift`), its extent, and
    // the CTM. Rounding moves a result by a few parts in 10^16 of that.
    const double umax = std::max({std::fabs(u.x0), std::fabs(u.x1), std::fabs(u.y0), std::fabs(u.y1)}) + drift;
    const double scale = (std::fabs(tm0.e) + std::fabs(tm0.f) + abs_sum(tm0) * umax) * abs_sum(ctm) +
                         std::fabs(ctm.e) + std::fabs(ctm.f) + std::fabs(base.e) + std::fabs(base.f);
    if (!(scale < 1e12) || !usable(b) || b.empty()) return false;
    return inside(b, 1e-9 * (scale + 1), clip, out);
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
    const double reach = hw * abs_sum(ctm) * std::max({1.0, lj == 0 ? std::fabs(ml) : 0.0, lc == 2 ? 1.5 : 0.0});
    const double scale =
        reach + std::max({std::fabs(pbox.x0), std::fabs(pbox.y0), std::fabs(pbox.x1), std::fabs(pbox.y1)});
    if (!(scale < 1e12)) return false;
    return inside(pbox, reach + 1e-9 * (scale + 1), clip, out);
}

}  // namespace sheetlay::content
