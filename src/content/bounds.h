// Bounds of ink for the content interpreter: which paint is ink (white is
// not), a glyph's extent along the baseline, and the tests by which a run of text or a stroke is passed over when it cannot
// grow the box found so far.
//
// Passing over must never change the box: each test takes a bound that
// holds everything the exact work could add, grown by far more than the
// rounding of that work can move a coordinate, and answers yes only when
// the bound, clipped as the ink would be, lies within the box already
// found (then the exact work adds nothing to it). Numbers out of the range
// where that reasoning holds answer no, and the exact work is done.
#ifndef SHEETLAY_CONTENT_BOUNDS_H
#define SHEETLAY_CONTENT_BOUNDS_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "content/fonts.h"
#include "content/geom.h"

namespace sheetlay::content {

// The colour spaces as far as telling white paint (no ink) from any other.
enum class space : uint8_t { gray, rgb, cmyk, tint, other };

// Whether colour components `v` (n of them) in space `s` are white: gray or
// RGB all at 1, CMYK all at 0 (four of them), a tint of all zeros (each
// within 0.001).
bool whiteish(space s, const double *v, size_t n);

// Always inline where the compiler allows: called once per glyph shown.
#if defined(__GNUC__)
#define SHEETLAY_GLYPH_INLINE inline __attribute__((always_inline))
#else
#define SHEETLAY_GLYPH_INLINE inline
#endif

// Joins to the text-space extent `e` (x0 y0 x1 y1; x0 > x1 while empty) a
// glyph spanning pos and z along the baseline, xa and xb across its outline,
// ya and yb up and down.
SHEETLAY_GLYPH_INLINE void grow_ink(double *e, double pos, double z, double xa, double xb, double ya, double yb) {
    const double lx = std::min({pos, z, xa, xb}), hx = std::max({pos, z, xa, xb});
    const double ly = std::min(ya, yb), hy = std::max(ya, yb);
    if (e[0] > e[2]) {
        e[0] = lx, e[1] = ly, e[2] = hx, e[3] = hy;
        return;
    }
    e[0] = std::min(e[0], lx), e[1] = std::min(e[1], ly), e[2] = std::max(e[2], hx), e[3] = std::max(e[3], hy);
}

// One glyph of horizontal text, at `pos` along the baseline, into the
// text-space extent `e` (x0 y0 x1 y1; x0 > x1 while empty). Where the font
// program gives the glyph's outline: its advance joined with the outline
// across, the outline up and down; a glyph with no outline (a space) inks
// nothing. Otherwise the advance, reaching left as far as the font's box
// does, over the font's whole height.
SHEETLAY_GLYPH_INLINE void horizontal_glyph(const font_info &f, uint32_t code, double pos, double w0, double size,
                                            double th, double rise, double *e) {
    double gx0 = 0, gy0 = 0, gx1 = 0, gy1 = 0;
    const glyph_status st = f.outline(code, &gx0, &gy0, &gx1, &gy1);
    if (st == glyph_status::blank) return;
    const double z = pos + w0 * size * th;
    double xa = pos + f.left * size * th, xb = z, ya = f.lo * size + rise, yb = f.hi * size + rise;
    if (st == glyph_status::drawn) {
        xa = pos + (gx0 - kGlyphPad) * size * th;
        xb = pos + (gx1 + kGlyphPad) * size * th;
        ya = (gy0 - kGlyphPad) * size + rise;
        yb = (gy1 + kGlyphPad) * size + rise;
    }
    grow_ink(e, pos, z, xa, xb, ya, yb);
}

// The same for a code of a one-byte font from its row (font_info::make_ink):
// the very numbers horizontal_glyph works out from the font, the row
// holding what depends on the code alone.
SHEETLAY_GLYPH_INLINE void glyph_ink(const font_info::code_ink &g, double pos, double size, double th, double rise,
                                     double *e) {
    if (g.state != 2) return;
    const double z = pos + g.w0 * size * th;
    const double xa = pos + g.ax * size * th, xb = pos + g.bx * size * th;
    const double ya = g.ay * size + rise, yb = g.by * size + rise;
    grow_ink(e, pos, z, xa, xb, ya, yb);
}

namespace bounds_detail {

// The bound b, grown by `pad` and clipped, within out (or clipped away).
inline bool inside(box b, double pad, const box &clip, const box &out) {
    b.x0 -= pad, b.y0 -= pad, b.x1 += pad, b.y1 += pad;
    b.clip(clip);
    if (b.empty()) return true;
    return b.x0 >= out.x0 && b.y0 >= out.y0 && b.x1 <= out.x1 && b.y1 <= out.y1;
}

inline double abs_sum(const mat &m) { return std::fabs(m.a) + std::fabs(m.b) + std::fabs(m.c) + std::fabs(m.d); }

}  // namespace bounds_detail

// Whether a run of text adds nothing to the ink `out`: `u` is its extent
// in the text space of `tm0` (the text matrix where the run started), and
// each string's box lies within u mapped through tm0 x `ctm` up to the
// rounding of the run's positions and mappings; `drift`: the furthest the
// text matrix moved from tm0 along the baseline on the way. Asked once per
// showing operator, so kept to a few dozen operations.
inline bool run_adds_nothing(const box &u, double drift, const mat &tm0, const mat &ctm, const box &clip,
                             const box &out) {
    using namespace bounds_detail;
    if (out.empty()) return false;
    const mat base = mul(tm0, ctm);
    // u through base, by intervals: each coordinate's least and greatest
    // terms summed.
    const double ax0 = base.a * u.x0, ax1 = base.a * u.x1, cy0 = base.c * u.y0, cy1 = base.c * u.y1;
    const double bx0 = base.b * u.x0, bx1 = base.b * u.x1, dy0 = base.d * u.y0, dy1 = base.d * u.y1;
    const box b{base.e + std::min(ax0, ax1) + std::min(cy0, cy1), base.f + std::min(bx0, bx1) + std::min(dy0, dy1),
                base.e + std::max(ax0, ax1) + std::max(cy0, cy1), base.f + std::max(bx0, bx1) + std::max(dy0, dy1)};
    // The size of the numbers the exact work multiplies and adds: each
    // string's text matrix (tm0 moved by up to `drift`), its extent, and
    // the CTM. Rounding moves a result by a few parts in 10^16 of that,
    // and the bound's own terms (above) by no more.
    const double umax = std::max(std::max(std::fabs(u.x0), std::fabs(u.x1)), std::max(std::fabs(u.y0), std::fabs(u.y1))) + drift;
    const double scale = (std::fabs(tm0.e) + std::fabs(tm0.f) + abs_sum(tm0) * umax) * abs_sum(ctm) +
                         std::fabs(ctm.e) + std::fabs(ctm.f) + std::fabs(base.e) + std::fabs(base.f) +
                         abs_sum(base) * umax;
    if (!(scale < 1e12)) return false;  // also NaN, and every coordinate of b within range
    return inside(b, 1e-9 * (scale + 1), clip, out);
}

// Whether one string's extent `e` (text space) mapped through `base` (its
// text matrix times the CTM, as the exact work maps it) adds nothing to
// `out`: the same test for a single box, where only the mapping's own
// rounding is to be allowed for. Asked once per string that is not passed
// over with its whole run, so cheaper than mapping the box.
inline bool piece_adds_nothing(const box &e, const mat &base, const box &clip, const box &out) {
    using namespace bounds_detail;
    if (out.empty()) return false;
    const double ax0 = base.a * e.x0, ax1 = base.a * e.x1, cy0 = base.c * e.y0, cy1 = base.c * e.y1;
    const double bx0 = base.b * e.x0, bx1 = base.b * e.x1, dy0 = base.d * e.y0, dy1 = base.d * e.y1;
    const box b{base.e + std::min(ax0, ax1) + std::min(cy0, cy1), base.f + std::min(bx0, bx1) + std::min(dy0, dy1),
                base.e + std::max(ax0, ax1) + std::max(cy0, cy1), base.f + std::max(bx0, bx1) + std::max(dy0, dy1)};
    // Each corner the exact work maps differs from b's by the rounding of
    // three terms, each at most this big.
    const double emax = std::max(std::max(std::fabs(e.x0), std::fabs(e.x1)), std::max(std::fabs(e.y0), std::fabs(e.y1)));
    const double scale = std::fabs(base.e) + std::fabs(base.f) + abs_sum(base) * emax;
    if (!(scale < 1e12)) return false;  // also NaN, and every coordinate of b within range
    return inside(b, 1e-9 * (scale + 1), clip, out);
}

// Whether stroking a path whose points' box is `pbox` (device space) adds
// nothing to `out`: the stroke reaches at most half the line width as the
// matrix stretches it beyond the points, and the tips of mitred corners and
// projecting caps no further than the miter limit (or a cap's diagonal)
// times that.
bool stroke_adds_nothing(const box &pbox, const mat &ctm, double lw, int lj, double ml, int lc, const box &clip,
                         const box &out);

}  // namespace sheetlay::content

#endif
