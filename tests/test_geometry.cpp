// Sheet geometry (nup/geometry): grid shapes, sheet sizes, cells in reading
// order, and the placement of a page box (any origin, any corner order,
// any rotation) centred in its cell.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "nup/geometry.h"

using namespace sheetlay::nup;

namespace {

TEST(Geometry, GridShapes) {
    struct Case {
        int32_t n, cols, rows;
        bool ok;
    } cases[] = {{2, 2, 1, true},  {4, 2, 2, true},  {6, 3, 2, true},  {9, 3, 3, true},
                 {16, 4, 4, true}, {0, 0, 0, false}, {1, 0, 0, false}, {3, 0, 0, false},
                 {8, 0, 0, false}, {25, 0, 0, false}, {-4, 0, 0, false}};
    for (const Case &c : cases) {
        int32_t cols = 0, rows = 0;
        EXPECT_EQ(grid_shape(c.n, &cols, &rows), c.ok) << c.n;
        if (c.ok) {
            EXPECT_EQ(cols, c.cols) << c.n;
            EXPECT_EQ(rows, c.rows) << c.n;
        }
    }
}

TEST(Geometry, NamedSheets) {
    struct Case {
        int32_t size;
        bool ok;
        double W, H;
    } cases[] = {{0, true, 595.28, 841.89}, {1, true, 612, 792}, {2, true, 841.89, 1190.55},
                 {3, false, 0, 0},          {-1, false, 0, 0}};
    for (const Case &c : cases) {
        double W = 0, H = 0;
        EXPECT_EQ(named_sheet(c.size, &W, &H), c.ok) << c.size;
        if (c.ok) {
            EXPECT_EQ(W, c.W);
            EXPECT_EQ(H, c.H);
        }
    }
}

TEST(Geometry, CellsInReadingOrder) {
    // 3 x 2 cells of 200 x 150: rows run top to bottom, columns by the order.
    const grid g = make_grid(600, 300, 3, 2);
    EXPECT_EQ(g.cw, 200);
    EXPECT_EQ(g.ch, 150);
    struct Case {
        int32_t order, slot;
        double x, y;
    } cases[] = {{0, 0, 0, 150}, {0, 2, 400, 150}, {0, 3, 0, 0},   {0, 5, 400, 0},
                 {1, 0, 400, 150}, {1, 2, 0, 150}, {1, 3, 400, 0}, {1, 5, 0, 0}};
    for (const Case &c : cases) {
        grid gf = g;
        gf.flow = c.order == 1 ? sheetlay::nup::kFlowRtl : 0;
        cell at = cell_origin(gf, c.slot);
        EXPECT_EQ(at.x, c.x) << "order " << c.order << " slot " << c.slot;
        EXPECT_EQ(at.y, c.y) << "order " << c.order << " slot " << c.slot;
    }
}

TEST(Geometry, FlowsMarginsAndGaps) {
    using sheetlay::nup::kFlowBottomUp;
    using sheetlay::nup::kFlowColumns;
    using sheetlay::nup::kFlowRtl;
    // 620 x 330 sheet, margin 10, gap 20, 3 x 2 cells: cw = (620 - 20 - 40) / 3
    // = 186.666..., ch = (330 - 20 - 20) / 2 = 145. Columns start at 10,
    // 216.67, 423.33; rows (from the bottom) at 10 and 175.
    const grid base = make_grid(620, 330, 3, 2, 10, 20);
    EXPECT_DOUBLE_EQ(base.cw, 560.0 / 3);
    EXPECT_DOUBLE_EQ(base.ch, 145);
    const double c0 = 10, c1 = 10 + 560.0 / 3 + 20, c2 = 10 + 2 * (560.0 / 3 + 20);
    const double top = 175, bottom = 10;
    struct Case {
        uint32_t flow;
        int32_t slot;
        double x, y;
    } cases[] = {
        {0, 0, c0, top},           {0, 1, c1, top},           {0, 3, c0, bottom},
        {kFlowRtl, 0, c2, top},    {kFlowRtl, 4, c1, bottom}, {kFlowColumns, 1, c0, bottom},
        {kFlowColumns, 2, c1, top}, {kFlowColumns, 5, c2, bottom},
        {kFlowBottomUp, 0, c0, bottom}, {kFlowBottomUp, 3, c0, top},
        {kFlowColumns | kFlowRtl | kFlowBottomUp, 0, c2, bottom},
        {kFlowColumns | kFlowRtl | kFlowBottomUp, 1, c2, top},
        {kFlowColumns | kFlowRtl | kFlowBottomUp, 2, c1, bottom},
    };
    for (const Case &c : cases) {
        grid g = base;
        g.flow = c.flow;
        cell at = cell_origin(g, c.slot);
        EXPECT_DOUBLE_EQ(at.x, c.x) << "flow " << c.flow << " slot " << c.slot;
        EXPECT_DOUBLE_EQ(at.y, c.y) << "flow " << c.flow << " slot " << c.slot;
    }
    // Scale: the smaller of the two ratios; shrink-only caps it at 1.
    grid g = make_grid(1000, 1000, 1, 1);
    EXPECT_DOUBLE_EQ(sheetlay::nup::cell_scale(g, 500, 250), 2);
    g.shrink = true;
    EXPECT_DOUBLE_EQ(sheetlay::nup::cell_scale(g, 500, 250), 1);
    EXPECT_DOUBLE_EQ(sheetlay::nup::cell_scale(g, 4000, 250), 0.25);
}

// The form's matrix for a rotation, as the forms unit writes it.
void form_matrix(const sheetlay::pageinfo &p, int32_t rotation, double x, double y, double *ox,
                 double *oy) {
    switch (rotation) {
        case 90: *ox = y; *oy = -x + p.x1; break;
        case 180: *ox = -x + p.x1; *oy = -y + p.y1; break;
        case 270: *ox = -y + p.y1; *oy = x; break;
        default: *ox = x; *oy = y; break;
    }
}

TEST(Geometry, PlacedBoxFillsItsAreaCentred) {
    // Whatever the box and rotation, the page's corners, carried by the
    // form's matrix and then by the scale and translation, must land exactly
    // on the area the frame is drawn around, centred in the cell.
    const grid g = make_grid(600, 400, 2, 2);
    const sheetlay::pageinfo boxes[] = {
        {1, 0, 0, 0, 100, 200, -1},
        {1, 0, 10, 20, 110, 220, -1},      // origin away from zero
        {1, 0, 110, 220, 10, 20, -1},      // corners given the other way round
        {1, 0, -50, -30, 250, 70, -1},     // wide, negative origin
    };
    for (const sheetlay::pageinfo &p : boxes) {
        for (int32_t rot : {0, 90, 180, 270}) {
            for (int32_t slot = 0; slot < 4; ++slot) {
                SCOPED_TRACE(::testing::Message() << "box [" << p.x0 << ' ' << p.y0 << ' ' << p.x1 << ' '
                                                  << p.y1 << "] rotation " << rot << " slot " << slot);
                placement pl = place(p, rot, g, slot);
                double lx = 1e300, ly = 1e300, ux = -1e300, uy = -1e300;
                for (double x : {p.x0, p.x1})
                    for (double y : {p.y0, p.y1}) {
                        double fx, fy;
                        form_matrix(p, rot, x, y, &fx, &fy);
                        double sx = pl.s * fx + pl.tx, sy = pl.s * fy + pl.ty;
                        lx = std::min(lx, sx);
                        ly = std::min(ly, sy);
                        ux = std::max(ux, sx);
                        uy = std::max(uy, sy);
                    }
                EXPECT_NEAR(lx, pl.xoff, 1e-9);
                EXPECT_NEAR(ly, pl.yoff, 1e-9);
                EXPECT_NEAR(ux - lx, pl.sw, 1e-9);
                EXPECT_NEAR(uy - ly, pl.sh, 1e-9);
                // Fits the cell, touches it on two sides, centred on the others.
                cell at = cell_origin(g, slot);
                EXPECT_TRUE(std::fabs(pl.sw - g.cw) < 1e-9 || std::fabs(pl.sh - g.ch) < 1e-9);
                EXPECT_NEAR(pl.xoff - at.x, at.x + g.cw - (pl.xoff + pl.sw), 1e-9);
                EXPECT_NEAR(pl.yoff - at.y, at.y + g.ch - (pl.yoff + pl.sh), 1e-9);
            }
        }
    }
}

TEST(Geometry, FirstPageSheetTurnsWithTheRotation) {
    const sheetlay::pageinfo p{1, 0, 0, 0, 300, 500, -1};
    struct Case {
        int32_t rotation;
        double W, H;
    } cases[] = {{0, 300, 500}, {90, 500, 300}, {180, 300, 500}, {270, 500, 300}};
    for (const Case &c : cases) {
        double W = 0, H = 0;
        ASSERT_TRUE(page_sheet(p, c.rotation, &W, &H));
        EXPECT_EQ(W, c.W);
        EXPECT_EQ(H, c.H);
    }
    const sheetlay::pageinfo flat{1, 0, 0, 0, 300, 0, -1};
    double W, H;
    EXPECT_FALSE(page_sheet(flat, 0, &W, &H));
}

}  // namespace
