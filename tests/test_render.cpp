// What a viewer shows: every cell of the rendered sheet carries its page, in
// reading order, turned the way the page asks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "error.h"
#include "nup/pdfout.h"
#include "nup/write.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/stream.h"
#include "nup_helpers.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using nuptest::run_nup;
using pdfgen::PageSpec;

namespace {

constexpr int kDpi = 72;
constexpr double kSheetW = 612, kSheetH = 792;  // Letter sheets

// The grey of page i: distinct for 16 pages, none near black or white.
double page_grey(int i) { return 0.25 + 0.04 * i; }

// A 200 x 300 page (shown within `box` of the media box): filled with its
// grey, with a black bar along its top tenth, so that a turn shows.
PageSpec grey_page(int i, const char *rotate, double ox = 0, double oy = 0) {
    PageSpec p;
    char buf[256];
    std::snprintf(buf, sizeof buf, "[%g %g %g %g]", ox, oy, ox + 200, oy + 300);
    if (ox != 0 || oy != 0) {
        // The media box is larger; what lies outside the crop box is black
        // and must not show.
        std::snprintf(buf, sizeof buf, "[0 0 %g %g]", ox + 300, oy + 400);
        p.media_box = buf;
        std::snprintf(buf, sizeof buf, "[%g %g %g %g]", ox, oy, ox + 200, oy + 300);
        p.crop_box = buf;
    } else {
        p.media_box = buf;
    }
    std::snprintf(buf, sizeof buf,
                  "0 g 0 0 %g %g re f %.2f g %g %g 200 300 re f 0 g %g %g 200 30 re f",
                  ox + 300, oy + 400, page_grey(i), ox, oy, ox, oy + 270);
    p.content = buf;
    p.rotate = rotate;
    return p;
}

// Mean of a 5 x 5 pixel patch around the sheet point (x, y).
double sample(const testtools::Gray &g, double x, double y) {
    int cx = static_cast<int>(std::lround(x * kDpi / 72.0));
    int cy = static_cast<int>(std::lround((kSheetH - y) * kDpi / 72.0));
    double sum = 0;
    int n = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            int px = cx + dx, py = cy + dy;
            if (px < 0 || py < 0 || px >= g.w || py >= g.h) continue;
            sum += g.at(px, py);
            ++n;
        }
    return n ? sum / n : -1;
}

struct Grid {
    int n, cols, rows;
};

// Checks one rendered sheet whose cells hold pages first .. first+count-1.
void check_sheet(const testtools::Gray &img, const Grid &g, int order, int rot, int first,
                 int count, double margin_probe) {
    const double cw = kSheetW / g.cols, ch = kSheetH / g.rows;
    const bool quarter = rot == 90 || rot == 270;
    const double dw = quarter ? 300 : 200, dh = quarter ? 200 : 300;
    const double s = std::min(cw / dw, ch / dh);
    const double hw = dw * s / 2, hh = dh * s / 2;
    for (int slot = 0; slot < count; ++slot) {
        int row = g.rows - 1 - slot / g.cols;
        int col = order == 0 ? slot % g.cols : g.cols - 1 - slot % g.cols;
        double x = (col + 0.5) * cw, y = (row + 0.5) * ch;
        double want = page_grey(first + slot) * 255;
        std::string where = "n " + std::to_string(g.n) + " order " + std::to_string(order) +
                            " rot " + std::to_string(rot) + " slot " + std::to_string(slot);
        EXPECT_NEAR(sample(img, x, y), want, 8) << where;
        // The page's top, after the turn: up, right, down, left.
        double ux = 0, uy = 0;
        switch (rot) {
            case 90: ux = 1; break;
            case 180: uy = -1; break;
            case 270: ux = -1; break;
            default: uy = 1; break;
        }
        EXPECT_LT(sample(img, x + ux * hw * 0.93, y + uy * hh * 0.93), 40) << where << " (bar)";
        EXPECT_NEAR(sample(img, x - ux * hw * 0.85, y - uy * hh * 0.85), want, 8)
            << where << " (foot)";
        // Just outside the placed page, where the cell has room: blank.
        if (margin_probe > 0) {
            bool wide = cw - 2 * hw > 2 * margin_probe;
            double mx = wide ? x + hw + margin_probe : x;
            double my = wide ? y : y + hh + margin_probe;
            if (wide || ch - 2 * hh > 2 * margin_probe)
                EXPECT_GT(sample(img, mx, my), 245) << where << " (margin)";
        }
    }
}

TEST(Render, EveryCellShowsItsPage) {
    REQUIRE_PDFTOPPM();
    const Grid grids[] = {{2, 2, 1}, {4, 2, 2}, {6, 3, 2}, {9, 3, 3}, {16, 4, 4}};
    const char *rotations[] = {"", "90", "180", "270"};
    for (const Grid &g : grids) {
        for (const char *rot : rotations) {
            pdfgen::DocSpec plan;
            for (int i = 0; i < g.n; ++i) plan.pages.push_back(grey_page(i, rot));
            const std::string input = pdfgen::make_doc(plan);
            for (int order = 0; order < 2; ++order) {
                auto r = run_nup(input, g.n, order, 1, 0);
                ASSERT_EQ(r.rc, 1) << r.err;
                std::string path = testtools::write_temp(r.pdf, "render");
                auto img = testtools::render_gray(path, 1, kDpi);
                testtools::remove_file(path);
                ASSERT_TRUE(img.has_value());
                check_sheet(*img, g, order, *rot ? std::atoi(rot) : 0, 0, g.n, 0);
            }
        }
    }
}

TEST(Render, BoxAwayFromTheOrigin) {
    REQUIRE_PDFTOPPM();
    // Crop boxes inset in larger media boxes: the crop box fills the area
    // and nothing outside it shows.
    const char *rotations[] = {"", "90", "180", "270"};
    const Grid g{4, 2, 2};
    for (const char *rot : rotations) {
        pdfgen::DocSpec plan;
        for (int i = 0; i < 3; ++i) plan.pages.push_back(grey_page(i, rot, 50 + 20 * i, 40));
        auto r = run_nup(pdfgen::make_doc(plan), 4, 1, 1, 0);
        ASSERT_EQ(r.rc, 1) << r.err;
        std::string path = testtools::write_temp(r.pdf, "render");
        auto img = testtools::render_gray(path, 1, kDpi);
        testtools::remove_file(path);
        ASSERT_TRUE(img.has_value());
        check_sheet(*img, g, 1, *rot ? std::atoi(rot) : 0, 0, 3, 6);
    }
}

TEST(Render, SecondSheetAndFirstPageSize) {
    REQUIRE_PDFTOPPM();
    // Five turned pages, four per sheet, sheets the size of the first page
    // as shown (300 x 200): the fifth page alone in the first cell of the
    // reading order, top left or top right.
    pdfgen::DocSpec plan;
    for (int i = 0; i < 5; ++i) plan.pages.push_back(grey_page(i, "90"));
    const std::string input = pdfgen::make_doc(plan);
    for (int order = 0; order < 2; ++order) {
        auto r = run_nup(input, 4, order, -1, 0);
        ASSERT_EQ(r.rc, 1) << r.err;
        std::string path = testtools::write_temp(r.pdf, "render");
        auto img = testtools::render_gray(path, 2, kDpi);
        testtools::remove_file(path);
        ASSERT_TRUE(img.has_value());
        ASSERT_EQ(img->w, 300);
        ASSERT_EQ(img->h, 200);
        auto at = [&](double x, double y) {
            return img->at(static_cast<int>(x), static_cast<int>(200 - y));
        };
        // Cells of 150 x 100, each filled by a turned page.
        double full = order == 0 ? 75 : 225, empty = order == 0 ? 225 : 75;
        EXPECT_NEAR(at(full, 150), page_grey(4) * 255, 8) << order;
        EXPECT_LT(at(full + 72, 150), 40) << order;  // its top, turned to the right
        EXPECT_GT(at(empty, 150), 245) << order;
        EXPECT_GT(at(75, 50), 245) << order;
        EXPECT_GT(at(225, 50), 245) << order;
    }
}

TEST(Render, ContentLeftEncodedStillShows) {
    REQUIRE_PDFTOPPM();
    // "0.5 g 0 0 200 300 re f" in hex: the form passes the filter on.
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 300] /Contents 4 0 R >>");
    std::string text = "0.5 g 0 0 200 300 re f", hex;
    for (unsigned char c : text) {
        char h[3];
        std::snprintf(h, sizeof h, "%02X", c);
        hex += h;
    }
    b.add_stream(4, "/Filter /ASCIIHexDecode", hex + ">");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    std::string path = testtools::write_temp(r.pdf, "render");
    auto img = testtools::render_gray(path, 1, kDpi);
    testtools::remove_file(path);
    ASSERT_TRUE(img.has_value());
    EXPECT_NEAR(sample(*img, 153, 396), 127.5, 8);
}

}  // namespace
