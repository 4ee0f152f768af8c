// Plane geometry of the content unit: affine maps, boxes through them, and
// the box of a cubic Bezier, shared by the page interpreter and the font
// program reader (both reduce curves to the boxes they reach).
#ifndef SHEETLAY_CONTENT_GEOM_H
#define SHEETLAY_CONTENT_GEOM_H

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

// The point at parameter t of one coordinate of a cubic Bezier.
inline double cubic_at(double p0, double p1, double p2, double p3, double t) {
    const double u = 1 - t;
    return u * u * u * p0 + 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t * p3;
}

// Calls at(t) for each t in (0, 1) where one coordinate of a cubic turns
// back: with the two ends, those points bound the curve tightly (the
// control points bound it too, but loosely).
template <class F>
void cubic_turns(double p0, double p1, double p2, double p3, F &&at) {
    const double a = -p0 + 3 * p1 - 3 * p2 + p3, b = 2 * (p0 - 2 * p1 + p2), c = p1 - p0;
    auto take = [&](double t) {
        if (t > 0 && t < 1) at(t);
    };
    if (std::fabs(a) < 1e-12) {
        if (std::fabs(b) > 1e-12) take(-c / b);
        return;
    }
    const double disc = b * b - 4 * a * c;
    if (disc < 0) return;
    const double r = std::sqrt(disc);
    take((-b + r) / (2 * a));
    take((-b - r) / (2 * a));
}

// Adds to b the points where the cubic (x0,y0)..(x3,y3) turns in x or y
// (its ends are the caller's to add).
void add_cubic_turns(box *b, double x0, double y0, double x1, double y1, double x2, double y2, double x3,
                     double y3);

}  // namespace sheetlay::content

#endif
