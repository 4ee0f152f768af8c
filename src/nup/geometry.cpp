// Grid shapes, sheet sizes and the placement of a page in its cell (see
// geometry.h).
#include "nup/geometry.h"

#include <cmath>

#include "nup/pdfout.h"

namespace sheetlay::nup {

namespace {

inline double lesser(double a, double b) { return a < b ? a : b; }
inline double greater(double a, double b) { return a > b ? a : b; }

}  // namespace

bool grid_shape(int32_t n, int32_t *cols, int32_t *rows) {
    static const int32_t kShapes[][3] = {{2, 2, 1}, {4, 2, 2}, {6, 3, 2}, {9, 3, 3}, {16, 4, 4}};
    for (const auto &s : kShapes) {
        if (s[0] == n) {
            *cols = s[1];
            *rows = s[2];
            return true;
        }
    }
    return false;
}

bool named_sheet(int32_t page_size, double *W, double *H) {
    static const double kSizes[3][2] = {{595.28, 841.89}, {612, 792}, {841.89, 1190.55}};
    if (page_size < 0 || page_size > 2) return false;
    *W = kSizes[page_size][0];
    *H = kSizes[page_size][1];
    return true;
}

grid make_grid(double W, double H, int32_t cols, int32_t rows, double margin, double gap) {
    grid g{};
    g.cols = cols;
    g.rows = rows;
    g.W = W;
    g.H = H;
    g.margin = margin;
    g.gap = gap;
    // With no margin and no gap these are exactly W / cols and H / rows.
    g.cw = (g.W - 2 * margin - (cols - 1) * gap) / g.cols;
    g.ch = (g.H - 2 * margin - (rows - 1) * gap) / g.rows;
    return g;
}

cell cell_origin(const grid &g, int32_t slot) {
    int32_t r, c;
    if (g.flow & kFlowColumns) {
        c = slot / g.rows;
        r = slot % g.rows;
    } else {
        r = slot / g.cols;
        c = slot % g.cols;
    }
    int32_t col = (g.flow & kFlowRtl) ? g.cols - 1 - c : c;
    int32_t row = (g.flow & kFlowBottomUp) ? r : g.rows - 1 - r;  // counted from the bottom
    return {g.margin + static_cast<double>(col) * (g.cw + g.gap),
            g.margin + static_cast<double>(row) * (g.ch + g.gap)};
}

double cell_scale(const grid &g, double w, double h) {
    double sx = g.cw / w;
    double sy = g.ch / h;
    double s = sx < sy ? sx : sy;
    if (g.shrink && s > 1) s = 1;
    return s;
}

norm_box normalise(const pageinfo &p) {
    norm_box b;
    b.lx = lesser(p.x0, p.x1);
    b.ly = lesser(p.y0, p.y1);
    b.ux = greater(p.x0, p.x1);
    b.uy = greater(p.y0, p.y1);
    b.w = b.ux - b.lx;
    b.h = b.uy - b.ly;
    return b;
}

bool page_sheet(const pageinfo &p, int32_t rotation, double *W, double *H) {
    norm_box b = normalise(p);
    bool quarter = rotation == 90 || rotation == 270;
    *W = quarter ? b.h : b.w;
    *H = quarter ? b.w : b.h;
    return *W > 0 && *H > 0;
}

bool turns(const grid &g, double w, double h) {
    return g.turn != 0 && cell_scale(g, h, w) > cell_scale(g, w, h);
}

double free_scale(const grid &g, double w, double h) {
    grid free = g;
    free.shrink = false;
    double s = cell_scale(free, w, h);
    if (turns(g, w, h)) s = cell_scale(free, h, w);
    return s;
}

placement place(const pageinfo &p, int32_t rotation, const grid &g, int32_t slot,
                bool upside_down) {
    placement pl{};
    cell at = cell_origin(g, slot);

    // The whole box is shown: its width and height, wherever its origin.
    norm_box b = normalise(p);
    bool quarter = rotation == 90 || rotation == 270;
    double pw = quarter ? b.h : b.w;
    double ph = quarter ? b.w : b.h;
    const bool turned = turns(g, pw, ph);
    double s = g.same_scale > 0 ? g.same_scale : turned ? cell_scale(g, ph, pw) : cell_scale(g, pw, ph);
    if (!(s > 0) || !std::isfinite(s)) fail(kGenericFailure);
    pl.s = s;
    pl.sw = (turned ? ph : pw) * s;
    pl.sh = (turned ? pw : ph) * s;
    pl.xoff = (g.cw - pl.sw) * 0.5 + at.x;
    pl.yoff = (g.ch - pl.sh) * 0.5 + at.y;

    // The lower-left corner of the shown box in the form's space: the
    // corner that the form matrix carries to the lower left of the turned
    // box.
    double fx, fy;
    switch (rotation) {
        case 90:
            fx = b.ly;
            fy = p.x1 - b.ux;
            break;
        case 180:
            fx = p.x1 - b.ux;
            fy = p.y1 - b.uy;
            break;
        case 270:
            fx = p.y1 - b.uy;
            fy = b.lx;
            break;
        default:
            fx = b.lx;
            fy = b.ly;
            break;
    }
    pl.a = s;
    pl.b = 0;
    pl.c = 0;
    pl.d = s;
    pl.tx = pl.xoff - fx * s;
    pl.ty = pl.yoff - fy * s;
    if (turned && g.turn == 1) {
        // A quarter counter-clockwise: the page's top toward the cell's left.
        pl.a = 0;
        pl.b = s;
        pl.c = -s;
        pl.d = 0;
        pl.tx = pl.xoff + (fy + ph) * s;
        pl.ty = pl.yoff - fx * s;
        pl.upright = false;
    } else if (turned) {
        // A quarter clockwise: the page's top toward the cell's right.
        pl.a = 0;
        pl.b = -s;
        pl.c = s;
        pl.d = 0;
        pl.tx = pl.xoff - fy * s;
        pl.ty = pl.yoff + (fx + pw) * s;
        pl.upright = false;
    }
    if (upside_down) {
        // The whole sheet half round about its centre: (x, y) -> (W - x, H - y).
        pl.a = -pl.a;
        pl.b = -pl.b;
        pl.c = -pl.c;
        pl.d = -pl.d;
        pl.tx = g.W - pl.tx;
        pl.ty = g.H - pl.ty;
        pl.xoff = g.W - pl.xoff - pl.sw;
        pl.yoff = g.H - pl.yoff - pl.sh;
        pl.upright = false;
    }
    return pl;
}

}  // namespace sheetlay::nup
