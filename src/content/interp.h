// The interpreter behind content_box: graphics state, paths, clipping,
// colour (as far as white or not), text, images, shadings, forms and Type 3
// glyphs, each reduced to the box it inks. Internal to the content unit.
#ifndef SHEETLAY_CONTENT_INTERP_H
#define SHEETLAY_CONTENT_INTERP_H

#include <cmath>

#include "content/bbox.h"

namespace sheetlay::content {

// An affine map p' = p x M, as PDF writes it: [a b c d e f].
struct mat {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
};

// m first, then n.
inline mat mul(const mat &m, const mat &n) {
    return {m.a * n.a + m.b * n.c, m.a * n.b + m.b * n.d, m.c * n.a + m.d * n.c,
            m.c * n.b + m.d * n.d, m.e * n.a + m.f * n.c + n.e, m.e * n.b + m.f * n.d + n.f};
}

// The box around the image of b under m; coordinates that come out of
// range or undefined leave the result unbounded (see finite_or).
box map_box(const box &b, const mat &m);

// A box with no coordinate beyond what a page can use.
inline bool usable(const box &b) {
    return std::isfinite(b.x0) && std::isfinite(b.y0) && std::isfinite(b.x1) && std::isfinite(b.y1) &&
           std::fabs(b.x0) < 1e15 && std::fabs(b.y0) < 1e15 && std::fabs(b.x1) < 1e15 &&
           std::fabs(b.y1) < 1e15;
}

// Stands for "no clip yet": larger than any page.
inline box unbounded() { return box{-1e14, -1e14, 1e14, 1e14}; }

}  // namespace sheetlay::content

#endif
