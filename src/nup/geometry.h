// Sheet geometry: the grid of cells on a sheet, page boxes, and where and
// how large each input page lands in its cell.
//
// Pure arithmetic on numbers the reader gave, with no PDF text in or out,
// so that a layout can be checked on its own. A grid is any number of
// columns by rows of equal cells covering the sheet; the n-up choices
// (2, 4, 6, 9, 16) are one table of shapes over it, and the named sheet
// sizes another, so that margins, gaps or other flows can be added here
// without touching the units that write the file.
#ifndef SHEETLAY_NUP_GEOMETRY_H
#define SHEETLAY_NUP_GEOMETRY_H

#include <cstdint>

#include "pdf/document.h"

namespace sheetlay::nup {

// How slots follow each other on a sheet (the public flow bits).
constexpr uint32_t kFlowRtl = 1;       // rows run right to left
constexpr uint32_t kFlowColumns = 2;   // each column filled before the next
constexpr uint32_t kFlowBottomUp = 4;  // the first row is the bottom one

// A sheet W x H points: a margin on all four sides, then cols x rows cells
// of cw x ch with a gap between neighbours. `flow` orders the slots;
// `shrink` keeps pages from being enlarged.
struct grid {
    int32_t cols, rows;
    double W, H, cw, ch;
    double margin = 0, gap = 0;
    uint32_t flow = 0;
    bool shrink = false;
    // Pages that show larger turned a quarter are turned: 0 never, 1 counter-
    // clockwise, 2 clockwise (the public SHEETLAY_TURN_* values).
    int32_t turn = 0;
    // Above 0: every page at this one scale instead of its own.
    double same_scale = 0;
    // Every second sheet (the backs of a long-edge duplex print) is turned
    // half round about its centre.
    bool long_edge = false;
};

// The columns and rows of an n-up choice; false for an n not offered.
bool grid_shape(int32_t n, int32_t *cols, int32_t *rows);

// The size in points of a named sheet (0 A4, 1 Letter, 2 A3); false for
// another value.
bool named_sheet(int32_t page_size, double *W, double *H);

// The grid of a W x H sheet with cols x rows cells, a margin and gaps.
// The cells may come out without area (cw or ch <= 0): callers check.
grid make_grid(double W, double H, int32_t cols, int32_t rows, double margin = 0,
               double gap = 0);

// The lower-left corner of a slot's cell. Slots are numbered in reading
// order: by default rows top to bottom and within a row left to right;
// the flow bits turn the rows right to left, fill columns first, or start
// at the bottom row.
struct cell {
    double x, y;
};
cell cell_origin(const grid &g, int32_t slot);

// The page box with its corners put in order.
struct norm_box {
    double lx, ly, ux, uy, w, h;
};
norm_box normalise(const pageinfo &p);

// The sheet a page fills when shown turned by `rotation`; false when its
// box has no area.
bool page_sheet(const pageinfo &p, int32_t rotation, double *W, double *H);

// Where one page lands in its cell: scale s, the matrix [a b c d tx ty]
// that goes after its form's matrix ([s 0 0 s tx ty] for an upright page),
// and the placed box's lower-left corner and size on the sheet (a frame is
// drawn there). `upright` tells the plain form of the matrix.
struct placement {
    double s, tx, ty, xoff, yoff, sw, sh;
    double a, b, c, d;
    bool upright = true;
};

// The page is scaled uniformly to fit its cell (never above 1 when the grid
// shrinks only; the grid's one scale when it has one) and centred in it,
// turned a quarter when the grid turns pages and this one shows larger so,
// and turned half round with the whole sheet when `upside_down`. Stops
// composition when no finite scale exists (a box without area).
placement place(const pageinfo &p, int32_t rotation, const grid &g, int32_t slot,
                bool upside_down = false);

// Whether the grid turns a page of displayed size w x h a quarter.
bool turns(const grid &g, double w, double h);

// The scale a page of displayed size w x h gets in a cell when every page is
// scaled to its cell (no shrink-only cap, no one scale), turned when the
// grid turns it.
double free_scale(const grid &g, double w, double h);

// Whether sheet `sheet` (0-based) of the grid stands upside down.
inline bool sheet_upside_down(const grid &g, int64_t sheet) { return g.long_edge && sheet % 2 == 1; }

// The scale a page of displayed size w x h gets in a cell of the grid.
double cell_scale(const grid &g, double w, double h);

}  // namespace sheetlay::nup

#endif
