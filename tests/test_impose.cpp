// Imposition: booklets in signatures, long-edge backs, turned pages, one
// scale for all pages, crop marks and cut lines, and the 0.2-sized options
// structure. Orders are checked against the folding rule, placements by
// where the page's corners land, marks by rendering.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "nup/geometry.h"
#include "nup/options.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

using sheetlay::nup::grid;
using sheetlay::nup::make_grid;
using sheetlay::nup::placement;

// The rule: the sequence is cut into runs of 4k cells (all of it for
// k = 0); a run of m cells is padded to M, the next multiple of 4; its side
// s (0-based) shows cells s + 1 and M - s of the run (1-based), the higher
// one on the left on even sides, on the right on odd ones.
std::vector<int32_t> rule(int32_t pages, int32_t k) {
    std::vector<int32_t> out;
    const int32_t run = k > 0 ? 4 * k : pages;
    for (int32_t at = 0; at < pages; at += run) {
        const int32_t m = std::min(run, pages - at);
        const int32_t M = (m + 3) / 4 * 4;
        auto cell = [&](int32_t one_based) { return one_based <= m ? at + one_based - 1 : -1; };
        for (int32_t s = 0; s < M / 2; ++s) {
            const int32_t lo = cell(s + 1), hi = cell(M - s);
            if (s % 2 == 0) {
                out.push_back(hi);
                out.push_back(lo);
            } else {
                out.push_back(lo);
                out.push_back(hi);
            }
        }
    }
    return out;
}

TEST(Signatures, OrderFollowsTheRule) {
    for (int32_t k = 0; k <= 4; ++k) {
        for (int32_t pages = 1; pages <= 30; ++pages) {
            SCOPED_TRACE(::testing::Message() << pages << " pages, signature " << k);
            std::vector<int32_t> cells(static_cast<size_t>(pages));
            std::vector<int32_t> source(cells.size());
            for (int32_t i = 0; i < pages; ++i) {
                cells[static_cast<size_t>(i)] = i;
                source[static_cast<size_t>(i)] = i % 3;  // inputs travel with their cells
            }
            std::vector<int32_t> got = sheetlay::signature_cells(cells, k, &source);
            EXPECT_EQ(got, rule(pages, k));
            ASSERT_EQ(source.size(), got.size());
            for (size_t i = 0; i < got.size(); ++i)
                if (got[i] >= 0) EXPECT_EQ(source[i], got[i] % 3);
            if (k == 0) EXPECT_EQ(got, sheetlay::booklet_cells(cells));
        }
    }
}

// Output of the options call on a generated document; "" on failure.
std::string nup(const std::string &in, const sheetlay_options &o, std::string *err = nullptr) {
    void *out = nullptr;
    size_t n = 0;
    char msg[256];
    int ok = sheetlay_nup_mem(in.data(), in.size(), &out, &n, &o, msg, sizeof msg);
    if (err) *err = msg;
    std::string pdf = ok ? std::string(static_cast<const char *>(out), n) : "";
    sheetlay_free(out);
    return pdf;
}

sheetlay_options plain(double W, double H, int cols, int rows) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = cols;
    o.rows = rows;
    o.sheet_width = W;
    o.sheet_height = H;
    o.orientation = SHEETLAY_ORIENT_AS_GIVEN;
    o.compress = SHEETLAY_COMPRESS_NONE;
    o.keep = 0;
    return o;
}

std::string pages_of(const std::vector<std::string> &boxes) {
    std::vector<pdfgen::PageSpec> pages;
    for (const std::string &b : boxes) {
        pdfgen::PageSpec p;
        p.media_box = b;
        p.content = "0 0 50 50 re f";
        pages.push_back(p);
    }
    return pdfgen::make_simple_doc(pages);
}

// The placement lines of the sheets, in order ("q ... Do Q").
std::vector<std::string> placements(const std::string &pdf) {
    std::vector<std::string> out;
    for (size_t at = pdf.find("\nq "); at != std::string::npos; at = pdf.find("\nq ", at + 1)) {
        size_t end = pdf.find('\n', at + 1);
        std::string line = pdf.substr(at + 1, end - at - 1);
        if (line.find(" Do Q") != std::string::npos) out.push_back(line);
    }
    return out;
}

// A 4-page booklet of 200 x 400 pages on 400 x 400 sheets: side 0 shows
// pages 4 and 1, side 1 pages 2 and 3. Long-edge printing turns side 1 half
// round: its pages trade places and stand upside down.
TEST(LongEdge, BackSidesTurnedHalfRound) {
    const std::string doc = pdfgen::make_pages(8, 200, 400);
    struct Case {
        int duplex, signature;
        std::vector<std::string> want;
    };
    const std::string front0 = "q 1 0 0 1 0 0 cm /F0 Do Q", front1 = "q 1 0 0 1 200 0 cm /F1 Do Q";
    const std::string back0 = "q -1 0 0 -1 400 400 cm /F0 Do Q", back1 = "q -1 0 0 -1 200 400 cm /F1 Do Q";
    const Case cases[] = {
        {SHEETLAY_DUPLEX_SHORT_EDGE, 0, {front0, front1, front0, front1, front0, front1, front0, front1}},
        {SHEETLAY_DUPLEX_LONG_EDGE, 0, {front0, front1, back0, back1, front0, front1, back0, back1}},
        {SHEETLAY_DUPLEX_LONG_EDGE, 1, {front0, front1, back0, back1, front0, front1, back0, back1}},
    };
    for (const Case &c : cases) {
        sheetlay_options o = plain(400, 400, 2, 1);
        o.booklet = 1;
        o.duplex = c.duplex;
        o.signature = c.signature;
        std::string err;
        EXPECT_EQ(placements(nup(doc, o, &err)), c.want) << err;
    }
}

// Where the page's corners land under the placement (the form's own
// matrix for the page's rotation first).
struct corners {
    double lx = 1e300, ly = 1e300, ux = -1e300, uy = -1e300;
    double top_x = 0, top_y = 0;  // the middle of the page's shown top edge
};

corners land(const sheetlay::pageinfo &p, int rot, const placement &pl) {
    auto form = [&](double x, double y, double *ox, double *oy) {
        switch (rot) {
            case 90: *ox = y; *oy = -x + p.x1; break;
            case 180: *ox = -x + p.x1; *oy = -y + p.y1; break;
            case 270: *ox = -y + p.y1; *oy = x; break;
            default: *ox = x; *oy = y; break;
        }
    };
    auto sheet = [&](double x, double y, double *sx, double *sy) {
        double fx, fy;
        form(x, y, &fx, &fy);
        *sx = pl.a * fx + pl.c * fy + pl.tx;
        *sy = pl.b * fx + pl.d * fy + pl.ty;
    };
    corners c;
    for (double x : {p.x0, p.x1})
        for (double y : {p.y0, p.y1}) {
            double sx, sy;
            sheet(x, y, &sx, &sy);
            c.lx = std::min(c.lx, sx);
            c.ly = std::min(c.ly, sy);
            c.ux = std::max(c.ux, sx);
            c.uy = std::max(c.uy, sy);
        }
    // The top edge as shown: the edge the rotation carries to the top.
    double tx0, ty0, tx1, ty1;
    switch (rot) {
        case 90: tx0 = p.x0; ty0 = p.y0; tx1 = p.x0; ty1 = p.y1; break;   // left edge goes up
        case 180: tx0 = p.x0; ty0 = p.y0; tx1 = p.x1; ty1 = p.y0; break;  // bottom edge
        case 270: tx0 = p.x1; ty0 = p.y0; tx1 = p.x1; ty1 = p.y1; break;  // right edge
        default: tx0 = p.x0; ty0 = p.y1; tx1 = p.x1; ty1 = p.y1; break;
    }
    double ax, ay, bx, by;
    sheet(tx0, ty0, &ax, &ay);
    sheet(tx1, ty1, &bx, &by);
    c.top_x = (ax + bx) / 2;
    c.top_y = (ay + by) / 2;
    return c;
}

// Turn decisions for portrait and landscape pages (some by /Rotate) in
// portrait and landscape cells, each way of turning and upside down: the
// corners fill the placed area exactly, the top goes where it should, and
// the scale is the better way round.
TEST(Turn, DecisionsAndMatrices) {
    struct Case {
        const char *name;
        double pw, ph;  // the page box
        int rot;
        double cw, ch;  // one cell filling the sheet
        int turn;
        bool turned;
        char top;  // 'T', 'L', 'R' or 'B': the cell side the page's top faces
        double scale;
    };
    const Case cases[] = {
        {"portrait_in_landscape_left", 200, 400, 0, 400, 200, 1, true, 'L', 1},
        {"portrait_in_landscape_right", 200, 400, 0, 400, 200, 2, true, 'R', 1},
        {"portrait_in_landscape_none", 200, 400, 0, 400, 200, 0, false, 'T', 0.5},
        {"landscape_in_portrait_left", 400, 200, 0, 200, 400, 1, true, 'L', 1},
        {"landscape_in_landscape", 400, 200, 0, 400, 200, 1, false, 'T', 1},
        {"portrait_in_portrait", 200, 400, 0, 200, 400, 2, false, 'T', 1},
        {"square_never_turns", 300, 300, 0, 400, 200, 1, false, 'T', 2.0 / 3},
        {"rotated_shows_landscape_left", 200, 400, 90, 200, 400, 1, true, 'L', 1},
        {"rotated_shows_landscape_right", 200, 400, 270, 200, 400, 2, true, 'R', 1},
        {"rotated_shows_portrait", 400, 200, 90, 200, 400, 1, false, 'T', 1},
        {"upside_down_rotated", 400, 200, 180, 400, 200, 0, false, 'T', 1},
    };
    for (const Case &c : cases) {
        for (bool upside : {false, true}) {
            SCOPED_TRACE(::testing::Message() << c.name << (upside ? " upside down" : ""));
            grid g = make_grid(c.cw, c.ch, 1, 1);
            g.turn = c.turn;
            const sheetlay::pageinfo p{1, 0, 10, 20, 10 + c.pw, 20 + c.ph, -1};
            placement pl = sheetlay::nup::place(p, c.rot, g, 0, upside);
            EXPECT_NEAR(pl.s, c.scale, 1e-9);
            EXPECT_EQ(!pl.upright, c.turned || upside);
            corners k = land(p, c.rot, pl);
            EXPECT_NEAR(k.lx, pl.xoff, 1e-6);
            EXPECT_NEAR(k.ly, pl.yoff, 1e-6);
            EXPECT_NEAR(k.ux, pl.xoff + pl.sw, 1e-6);
            EXPECT_NEAR(k.uy, pl.yoff + pl.sh, 1e-6);
            EXPECT_NEAR((k.lx + k.ux) / 2, c.cw / 2, 1e-6) << "centred";
            EXPECT_NEAR((k.ly + k.uy) / 2, c.ch / 2, 1e-6) << "centred";
            char top = c.top;
            if (upside) top = top == 'T' ? 'B' : top == 'L' ? 'R' : top == 'R' ? 'L' : 'T';
            switch (top) {
                case 'T': EXPECT_NEAR(k.top_y, k.uy, 1e-6); break;
                case 'B': EXPECT_NEAR(k.top_y, k.ly, 1e-6); break;
                case 'L': EXPECT_NEAR(k.top_x, k.lx, 1e-6); break;
                case 'R': EXPECT_NEAR(k.top_x, k.ux, 1e-6); break;
            }
        }
    }
}

// The whole matrix goes in the placement line of a turned page; auto
// orientation weighs the sheet both ways with the turn made.
TEST(Turn, PlacementLineAndOrientation) {
    const std::string doc = pages_of({"[0 0 200 400]"});
    sheetlay_options o = plain(400, 200, 1, 1);
    o.turn = SHEETLAY_TURN_LEFT;
    EXPECT_EQ(placements(nup(doc, o)), std::vector<std::string>{"q 0 1 -1 0 400 0 cm /F0 Do Q"});
    o.turn = SHEETLAY_TURN_RIGHT;
    EXPECT_EQ(placements(nup(doc, o)), std::vector<std::string>{"q 0 -1 1 0 0 200 cm /F0 Do Q"});
    // Auto: a wide page on a 200 x 400 sheet. Upright it wants the sheet
    // turned; turned, it gets the same room on the sheet as given, which is
    // kept (the given way wins a tie).
    const std::string wide = pages_of({"[0 0 300 100]"});
    o = plain(200, 400, 1, 1);
    o.orientation = SHEETLAY_ORIENT_AUTO;
    o.turn = SHEETLAY_TURN_LEFT;
    EXPECT_NE(nup(wide, o).find("/MediaBox [0 0 200 400]"), std::string::npos);
    o.turn = SHEETLAY_TURN_NONE;
    EXPECT_NE(nup(wide, o).find("/MediaBox [0 0 400 200]"), std::string::npos);
}

// One scale: the smallest of the pages' own scales, every page centred.
TEST(SameScale, MixedSizesKeepTheirRelativeSize) {
    struct Case {
        const char *name;
        std::vector<std::string> boxes;
        int turn;
        double W;  // the sheet is W x 200, two cells side by side
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"large_then_small", {"[0 0 400 400]", "[0 0 200 200]"}, 0, 400,
         {"q 0.5000 0 0 0.5000 0 0 cm /F0 Do Q", "q 0.5000 0 0 0.5000 250 50 cm /F1 Do Q"}},
        {"small_first", {"[0 0 100 100]", "[0 0 800 400]"}, 0, 400,
         {"q 0.2500 0 0 0.2500 87.5000 87.5000 cm /F0 Do Q", "q 0.2500 0 0 0.2500 200 50 cm /F1 Do Q"}},
        {"after_turning", {"[0 0 200 400]", "[0 0 100 100]"}, 1, 800,
         {"q 0 1 -1 0 400 0 cm /F0 Do Q", "q 1 0 0 1 550 50 cm /F1 Do Q"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sheetlay_options o = plain(c.W, 200, 2, 1);
        o.fit = SHEETLAY_FIT_SAME;
        o.turn = c.turn;
        EXPECT_EQ(placements(nup(pages_of(c.boxes), o)), c.want);
    }
}

// Marks: rendered with and without, the sheets differ only outside the
// placed pages, and they do differ (the marks show).
TEST(Marks, DrawnOnlyOutsideThePlacedPages) {
    if (!testtools::have_pdftoppm()) GTEST_SKIP() << "pdftoppm not found";
    // Full-page grey content, so that any mark inside a page would show.
    std::vector<pdfgen::PageSpec> pages;
    for (int i = 0; i < 5; ++i) {
        pdfgen::PageSpec p;
        p.media_box = i == 2 ? "[0 0 300 100]" : "[0 0 100 150]";
        p.content = "0.7 g 0 0 300 300 re f";
        pages.push_back(p);
    }
    const std::string doc = pdfgen::make_simple_doc(pages);
    struct Case {
        const char *name;
        int booklet, cols, rows;
        double margin, gap;
    };
    const Case cases[] = {
        {"grid", 0, 2, 2, 20, 24},
        {"no_gap", 0, 3, 2, 30, 0},
        {"booklet", 1, 2, 1, 20, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sheetlay_options o = plain(400, 400, c.cols, c.rows);
        o.booklet = c.booklet;
        o.margin = c.margin;
        o.gap = c.gap;
        o.border = 0;
        const std::string bare = testtools::write_temp(nup(doc, o), "bare");
        o.marks = SHEETLAY_MARK_CROP | SHEETLAY_MARK_CUT;
        const std::string with = nup(doc, o);
        ASSERT_NE(with.find("/Separation /All /DeviceCMYK"), std::string::npos);
        const std::string marked = testtools::write_temp(with, "marked");
        // The placed areas, from a framed run (frames are drawn around them).
        o.marks = 0;
        o.border = 1;
        const std::string framed = nup(doc, o);
        // By sheet: a sheet's content follows its page object.
        std::vector<std::vector<std::array<double, 4>>> areas;
        size_t next_page = framed.find("/Type /Page /Parent");
        for (size_t at = framed.find(" re S"); at != std::string::npos; at = framed.find(" re S", at + 1)) {
            while (next_page < at) {
                areas.emplace_back();
                next_page = framed.find("/Type /Page /Parent", next_page + 1);
            }
            size_t from = framed.rfind('\n', at) + 1;
            std::array<double, 4> r{};
            std::sscanf(framed.c_str() + from, "%lf %lf %lf %lf", &r[0], &r[1], &r[2], &r[3]);
            areas.back().push_back(r);
        }
        ASSERT_FALSE(areas.empty());
        bool any_difference = false;
        for (int page = 1; page <= static_cast<int>(areas.size()); ++page) {
            auto a = testtools::render_gray(bare, page, 144), b = testtools::render_gray(marked, page, 144);
            ASSERT_TRUE(a && b);
            ASSERT_EQ(a->w, b->w);
            for (int y = 0; y < a->h; ++y)
                for (int x = 0; x < a->w; ++x) {
                    if (a->at(x, y) == b->at(x, y)) continue;
                    any_difference = true;
                    // The pixel's centre in PDF units; pixels within a pixel
                    // of a page's edge may be touched by antialiasing.
                    const double px = (x + 0.5) / 2, py = 400 - (y + 0.5) / 2;
                    for (const auto &r : areas[static_cast<size_t>(page - 1)])
                        if (px > r[0] + 1 && px < r[0] + r[2] - 1 && py > r[1] + 1 && py < r[1] + r[3] - 1)
                            ADD_FAILURE() << "sheet " << page << ": a mark inside a page at " << px << ' ' << py;
                }
        }
        EXPECT_TRUE(any_difference);
        testtools::remove_file(bare);
        testtools::remove_file(marked);
    }
}

// A 0.2 host's 112-byte structure: the fields after it are not read, and
// the output is the bytes of the defaults.
TEST(OptionsSize, A02StructureGivesThe02Bytes) {
    const std::string doc = pdfgen::make_pages(6);
    alignas(sheetlay_options) unsigned char buf[sizeof(sheetlay_options)];
    std::memset(buf, 0xA5, sizeof buf);
    auto *old = reinterpret_cast<sheetlay_options *>(buf);
    sheetlay_options_init_sized(old, 112);
    EXPECT_EQ(old->size, 112u);
    EXPECT_EQ(buf[112], 0xA5) << "nothing written past a 0.2 structure";
    old->columns = 3;
    old->booklet = 0;
    sheetlay_options now;
    sheetlay_options_init(&now);
    now.columns = 3;
    EXPECT_EQ(now.size, sizeof(sheetlay_options));
    std::string err;
    const std::string a = nup(doc, *old, &err);
    ASSERT_FALSE(a.empty()) << err;
    EXPECT_EQ(a, nup(doc, now));
}

}  // namespace
