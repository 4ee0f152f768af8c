// Boxes and the box of a cubic (see geom.h).
#include "content/geom.h"

#include <algorithm>

namespace sheetlay::content {

box map_box(const box &b, const mat &m) {
    box r;
    if (b.empty()) return r;
    const double xs[2] = {b.x0, b.x1}, ys[2] = {b.y0, b.y1};
    // The four corners joined directly, in the order add() would take them,
    // when all are finite (almost always); add() point by point otherwise.
    const double px[4] = {m.a * xs[0] + m.c * ys[0] + m.e, m.a * xs[0] + m.c * ys[1] + m.e,
                          m.a * xs[1] + m.c * ys[0] + m.e, m.a * xs[1] + m.c * ys[1] + m.e};
    const double py[4] = {m.b * xs[0] + m.d * ys[0] + m.f, m.b * xs[0] + m.d * ys[1] + m.f,
                          m.b * xs[1] + m.d * ys[0] + m.f, m.b * xs[1] + m.d * ys[1] + m.f};
    if (std::isfinite(px[0] + px[1] + px[2] + px[3] + py[0] + py[1] + py[2] + py[3])) {
        r.x0 = r.x1 = px[0];
        r.y0 = r.y1 = py[0];
        for (int k = 1; k < 4; ++k) {
            r.x0 = std::min(r.x0, px[k]);
            r.y0 = std::min(r.y0, py[k]);
            r.x1 = std::max(r.x1, px[k]);
            r.y1 = std::max(r.y1, py[k]);
        }
        if (!usable(r)) return unbounded();
        return r;
    }
    for (double x : xs)
        for (double y : ys) r.add(m.a * x + m.c * y + m.e, m.b * x + m.d * y + m.f);
    if (!usable(r)) return unbounded();
    return r;
}

void add_cubic_turns(box *b, double x0, double y0, double x1, double y1, double x2, double y2, double x3,
                     double y3) {
    auto at = [&](double t) { b->add(cubic_at(x0, x1, x2, x3, t), cubic_at(y0, y1, y2, y3, t)); };
    cubic_turns(x0, x1, x2, x3, at);
    cubic_turns(y0, y1, y2, y3, at);
}

}  // namespace sheetlay::content
