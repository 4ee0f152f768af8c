// Sheet layout: the number rule, argument checks, the worked placements, the
// slot order and the geometry of placed boxes.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
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

std::string num(double v) {
    char b[64];
    int n = sheetlay::fmt_num(b, sizeof b, v);
    return std::string(b, static_cast<size_t>(n));
}

// ---------------------------------------------------------------------------
// Number rule

struct NumCase {
    double v;
    const char *text;
};

TEST(FmtNum, Table) {
    const NumCase cases[] = {
        {612, "612"},
        {0, "0"},
        {-0.0, "0"},
        {-3, "-3"},
        {0.5, "0.5000"},
        {595.28, "595.2800"},
        {841.89, "841.8900"},
        {2147483647.0, "2147483647"},
        {-2147483648.0, "-2147483648"},
        {2147483648.0, "2147483648.0000"},
        {-2147483649.0, "-2147483649.0000"},
        {1e15, "1000000000000000.0000"},
        {1e-5, "0.0000"},       // a tiny remainder is not zero
        {-1e-5, "-0.0000"},     // as "%.4f" prints it
        {1.03125, "1.0312"},    // an exact tie rounds to even
        {1.09375, "1.0938"},
        {0.48633, "0.4863"},
        {438.82694, "438.8269"},
        {-4.91964, "-4.9196"},
        {99999.99999, "100000.0000"},
    };
    for (const NumCase &c : cases) EXPECT_EQ(num(c.v), c.text) << c.v;
}

// Integers by the digit writer of every object number, offset and length.
TEST(PutDecimal, Table) {
    const struct {
        int64_t v;
        const char *text;
    } cases[] = {
        {0, "0"},           {7, "7"},
        {10, "10"},         {99, "99"},
        {100, "100"},       {-1, "-1"},
        {-100, "-100"},     {1000000007, "1000000007"},
        {4294967295, "4294967295"},
        {4294967296, "4294967296"},
        {9999999999, "9999999999"},
        {10000000000, "10000000000"},
        {INT64_MAX, "9223372036854775807"},
        {INT64_MIN, "-9223372036854775808"},
    };
    for (const auto &c : cases) {
        char b[24];
        EXPECT_EQ(std::string(b, sheetlay::nup::put_decimal(b, c.v)), c.text) << c.v;
    }
}

TEST(FmtNum, MatchesPrintfInTheCLocale) {
    // Random values of every magnitude the writer meets: the text must be
    // what "%.4f" gives, bit for bit, whenever the value is not integral.
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> mag(-6, 7);
    std::uniform_int_distribution<int> sign(0, 1);
    for (int i = 0; i < 20000; ++i) {
        double v = std::pow(10.0, mag(rng)) * (sign(rng) ? -1 : 1);
        if (i % 7 == 0) v = std::round(v * 16) / 16;  // exact binary fractions: ties
        char want[128];
        if (v == std::trunc(v) && std::fabs(v) < 2147483648.0)
            std::snprintf(want, sizeof want, "%ld", static_cast<long>(v));
        else
            std::snprintf(want, sizeof want, "%.4f", v);
        ASSERT_EQ(num(v), want) << v;
    }
}

TEST(FmtNum, RefusesBuffersTooSmall) {
    char b[4];
    EXPECT_EQ(sheetlay::fmt_num(b, sizeof b, 595.28), 0);
    EXPECT_STREQ(b, "");
    EXPECT_EQ(sheetlay::fmt_num(b, sizeof b, 612), 3);
    EXPECT_STREQ(b, "612");
}

// The short form is the same value with the zeros after the point dropped;
// a value that rounds to zero loses its sign too.
TEST(FmtNum, ShortFormDropsTrailingZeros) {
    const struct {
        double v;
        const char *want;
    } cases[] = {{595.276, "595.276"}, {841.89, "841.89"}, {612, "612"},      {0.5, "0.5"},
                 {-12.25, "-12.25"},  {-0.00001, "0"},    {0.00004, "0"},    {10.00006, "10.0001"},
                 {3e9, "3000000000"}, {-7, "-7"},         {100.1000, "100.1"}};
    for (const auto &c : cases) {
        std::string s = "x ";
        sheetlay::nup::put_num_short(s, c.v);
        EXPECT_EQ(s, std::string("x ") + c.want) << c.v;
    }
    std::string s;
    sheetlay::nup::put_nums_short(s, {0, 0, 595.2760, 841.8900});
    EXPECT_EQ(s, "0 0 595.276 841.89");
}

// A host that has set a locale with a decimal comma gets the same bytes.
TEST(FmtNum, DecimalCommaLocaleChangesNothing) {
    const std::string input = pdfgen::make_pages(3, 595.28, 841.89);
    auto plain = run_nup(input, 2, 0, 0, 1);
    ASSERT_EQ(plain.rc, 1) << plain.err;
    const char *names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"};
    const char *got = nullptr;
    for (const char *n : names)
        if ((got = std::setlocale(LC_ALL, n))) break;
    if (!got) GTEST_SKIP() << "no locale with a decimal comma installed";
    char probe[32];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    auto local = run_nup(input, 2, 0, 0, 1);
    std::string n05 = num(0.5);
    std::setlocale(LC_ALL, "C");
    EXPECT_STREQ(probe, "0,5") << "the locale did not take effect";
    EXPECT_EQ(n05, "0.5000");
    ASSERT_EQ(local.rc, 1) << local.err;
    EXPECT_EQ(local.pdf, plain.pdf);
}

// ---------------------------------------------------------------------------
// Argument checks

struct ArgCase {
    int n, order, page_size, border;
    const char *message;
};

TEST(Validation, MessagesInOrder) {
    const std::string input = pdfgen::make_pages(2);
    const ArgCase cases[] = {
        {5, 0, 0, 0, "n must be 2, 4, 6, 9 or 16 (got 5)"},
        {0, 0, 0, 0, "n must be 2, 4, 6, 9 or 16 (got 0)"},
        {-2, 0, 0, 0, "n must be 2, 4, 6, 9 or 16 (got -2)"},
        {17, 2, 3, -1, "n must be 2, 4, 6, 9 or 16 (got 17)"},
        {4, 2, 0, 0, "order must be 0 (left-to-right) or 1 (right-to-left) (got 2)"},
        {4, -1, 3, -1, "order must be 0 (left-to-right) or 1 (right-to-left) (got -1)"},
        {4, 0, 0, -1, "border_width must be >= 0 (got -1)"},
        {16, 1, 3, -5, "border_width must be >= 0 (got -5)"},
        {4, 0, 3, 0, "page_size must be 0 (A4), 1 (Letter) or 2 (A3) (got 3)"},
        {2, 1, 100, 2, "page_size must be 0 (A4), 1 (Letter) or 2 (A3) (got 100)"},
    };
    for (const ArgCase &c : cases) {
        auto r = run_nup(input, c.n, c.order, c.page_size, c.border);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.err, c.message);
        EXPECT_FALSE(r.file_created) << c.message;
    }
    // -7 behaves like -1: the first page's size.
    auto r = run_nup(input, 2, 0, -7, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(r.pdf.find("/MediaBox [0 0 612 792]"), std::string::npos);
}

TEST(Validation, NullOutputPathComesFirst) {
    sheetlay::doc d{};
    EXPECT_EQ(sheetlay::nup_doc(&d, nullptr, 5, 7, 9, -1), 0);
    EXPECT_STREQ(sheetlay::g_err, "NULL output path");
}

// Records built by hand, for states that loading never produces.
struct HandDoc {
    sheetlay::doc d{};
    std::vector<sheetlay::pageinfo> pages;
    std::vector<sheetlay::obj_entry> objs;
    void finish() {
        d.pages.items = pages.data();
        d.pages.count = static_cast<int32_t>(pages.size());
        d.objs.items = objs.data();
        d.objs.count = static_cast<int32_t>(objs.size());
        d.max_num = 10;
    }
};

sheetlay::obj_entry bare_entry(int num) {
    sheetlay::obj_entry e{};
    e.num = num;
    e.hdr_pos = e.dict_pos = e.stream_pos = e.data_start = e.data_end = e.endobj_pos = -1;
    return e;
}

TEST(Validation, DocumentStates) {
    struct Case {
        const char *name;
        std::vector<sheetlay::pageinfo> pages;
        std::vector<sheetlay::obj_entry> objs;
        int page_size;
        const char *message;
    };
    const Case cases[] = {
        {"no pages", {}, {}, -1, "document has no pages"},
        {"no pages, fixed size", {}, {}, 0, "document has no pages"},
        {"first page missing", {{3, 0, 0, 0, 612, 792, -1}}, {bare_entry(4)}, -1,
         "first page object missing"},
        {"flat box", {{3, 0, 5, 5, 5, 100, -1}}, {bare_entry(3)}, -1,
         "first page has a degenerate box"},
        {"turned flat box", {{3, 90, 0, 7, 300, 7, -1}}, {bare_entry(3)}, -1,
         "first page has a degenerate box"},
        // A fixed sheet size never looks at the first page: the placement
        // then fails on the missing object.
        {"missing page, fixed size", {{3, 0, 0, 0, 612, 792, -1}}, {bare_entry(4)}, 1,
         "failed to build output (damaged page tree or content)"},
    };
    for (const Case &c : cases) {
        HandDoc h;
        h.pages = c.pages;
        h.objs = c.objs;
        h.finish();
        std::string path = testtools::tmp_path("val");
        EXPECT_EQ(sheetlay::nup_doc(&h.d, path.c_str(), 4, 0, c.page_size, 0), 0) << c.name;
        EXPECT_STREQ(sheetlay::g_err, c.message) << c.name;
        EXPECT_FALSE(testtools::file_exists(path)) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Worked placements, to the byte

std::string sheet_text(const std::string &pdf, int sheet, int n) {
    return nuptest::stream_data(pdf, nuptest::content_num(sheet, n));
}

TEST(Layout, ExampleA_A4FourUpFramed) {
    auto r = run_nup(pdfgen::make_pages(4), 4, 0, 0, 2);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(sheet_text(r.pdf, 0, 4),
              "0 0 0 RG 2 w\n"
              "q 0.4863 0 0 0.4863 0 438.8269 cm /F0 Do Q\n"
              "0 438.8269 297.6400 385.1812 re S\n"
              "q 0.4863 0 0 0.4863 297.6400 438.8269 cm /F1 Do Q\n"
              "297.6400 438.8269 297.6400 385.1812 re S\n"
              "q 0.4863 0 0 0.4863 0 17.8819 cm /F2 Do Q\n"
              "0 17.8819 297.6400 385.1812 re S\n"
              "q 0.4863 0 0 0.4863 297.6400 17.8819 cm /F3 Do Q\n"
              "297.6400 17.8819 297.6400 385.1812 re S\n");
    EXPECT_NE(r.pdf.find("3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595.2800 841.8900] "
                         "/Contents 8 0 R /Resources << /XObject << /F0 4 0 R /F1 5 0 R /F2 6 0 R "
                         "/F3 7 0 R >> >> >>\nendobj\n"),
              std::string::npos);
}

TEST(Layout, ExampleB_RightToLeftTurned) {
    PageSpec p;
    p.rotate = "90";
    auto r = run_nup(nuptest::repeat_page(p, 4), 4, 1, 0, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(sheet_text(r.pdf, 0, 4),
              "q 0.3758 0 0 0.3758 297.6400 516.4202 cm /F0 Do Q\n"
              "q 0.3758 0 0 0.3758 0 516.4202 cm /F1 Do Q\n"
              "q 0.3758 0 0 0.3758 297.6400 95.4752 cm /F2 Do Q\n"
              "q 0.3758 0 0 0.3758 0 95.4752 cm /F3 Do Q\n");
}

TEST(Layout, ExampleC_FirstPageSizeTurned) {
    PageSpec p;
    p.rotate = "90";
    auto r = run_nup(nuptest::repeat_page(p, 2), 2, 0, -1, 1);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(r.pdf.find("/MediaBox [0 0 792 612]"), std::string::npos);
    EXPECT_EQ(sheet_text(r.pdf, 0, 2),
              "0 0 0 RG 1 w\n"
              "q 0.5000 0 0 0.5000 0 153 cm /F0 Do Q\n"
              "0 153 396 306 re S\n"
              "q 0.5000 0 0 0.5000 396 153 cm /F1 Do Q\n"
              "396 153 396 306 re S\n");
}

TEST(Layout, ExampleD_LetterNineUpSevenPages) {
    auto r = run_nup(pdfgen::make_pages(7, 595.28, 841.89), 9, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(sheet_text(r.pdf, 0, 9),
              "q 0.3136 0 0 0.3136 8.6660 528 cm /F0 Do Q\n"
              "q 0.3136 0 0 0.3136 212.6660 528 cm /F1 Do Q\n"
              "q 0.3136 0 0 0.3136 416.6660 528 cm /F2 Do Q\n"
              "q 0.3136 0 0 0.3136 8.6660 264 cm /F3 Do Q\n"
              "q 0.3136 0 0 0.3136 212.6660 264 cm /F4 Do Q\n"
              "q 0.3136 0 0 0.3136 416.6660 264 cm /F5 Do Q\n"
              "q 0.3136 0 0 0.3136 8.6660 0 cm /F6 Do Q\n");
    EXPECT_NE(r.pdf.find("/MediaBox [0 0 612 792]"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Slots and cells

// One placement line "q s 0 0 s tx ty cm /Fi Do Q".
struct Placed {
    double s, tx, ty;
    int slot;
};

std::vector<Placed> placements(const std::string &text) {
    std::vector<Placed> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        Placed p;
        double s2, z1, z2;
        int slot;
        if (std::sscanf(line.c_str(), "q %lf %lf %lf %lf %lf %lf cm /F%d Do Q", &p.s, &z1, &z2, &s2,
                        &p.tx, &p.ty, &slot) == 7) {
            p.slot = slot;
            out.push_back(p);
        }
    }
    return out;
}

TEST(Layout, FirstPageSizeFollowsItsTurn) {
    struct Case {
        const char *rotate, *box, *crop, *media;
    };
    const Case cases[] = {
        {"270", "[0 0 612 792]", "", "/MediaBox [0 0 792 612]"},
        {"180", "[0 0 612 792]", "", "/MediaBox [0 0 612 792]"},
        {"-90", "[0 0 612 792]", "", "/MediaBox [0 0 792 612]"},
        {"45", "[0 0 612 792]", "", "/MediaBox [0 0 612 792]"},
        // The sheet is as large as the box, wherever the box stands.
        {"", "[0 0 612 792]", "[100 50 400 450]", "/MediaBox [0 0 300 400]"},
        {"90", "[-300 -400 300 400]", "", "/MediaBox [0 0 800 600]"},
    };
    for (const Case &c : cases) {
        PageSpec p;
        p.rotate = c.rotate;
        p.media_box = c.box;
        p.crop_box = c.crop;
        auto r = run_nup(nuptest::repeat_page(p, 1), 2, 0, -1, 0);
        ASSERT_EQ(r.rc, 1) << r.err;
        EXPECT_NE(r.pdf.find(c.media), std::string::npos) << c.rotate << " " << c.crop;
    }
}

// ---------------------------------------------------------------------------
// Geometry: every box, however placed and turned, fills its placement area

struct Vec {
    double x, y;
};

// Reads "[a b c d e f]" after `key` in `text`.
bool read_array(const std::string &text, const std::string &key, std::vector<double> &out) {
    size_t k = text.find(key);
    if (k == std::string::npos) return false;
    size_t b = text.find('[', k);
    size_t e = text.find(']', b);
    std::istringstream in(text.substr(b + 1, e - b - 1));
    out.clear();
    double v;
    while (in >> v) out.push_back(v);
    return true;
}

TEST(Layout, BoxLandsExactlyOnItsArea) {
    const char *boxes[] = {"[0 0 612 792]", "[10 20 622 812]", "[-300 -400 300 400]",
                           "[612 792 0 0]", "[100 50 400 450]"};
    const char *rotations[] = {"", "90", "180", "270"};
    for (const char *box : boxes) {
        for (const char *rot : rotations) {
            PageSpec p;
            p.media_box = box;
            p.rotate = rot;
            auto r = run_nup(nuptest::repeat_page(p, 3), 4, 1, 1, 1);
            ASSERT_EQ(r.rc, 1) << r.err;
            std::istringstream in(sheet_text(r.pdf, 0, 4));
            std::string line;
            std::getline(in, line);  // stroke colour and width
            for (int slot = 0; slot < 3; ++slot) {
                std::string cm, frame;
                std::getline(in, cm);
                std::getline(in, frame);
                auto pl = placements(cm + "\n");
                ASSERT_EQ(pl.size(), 1u) << cm;
                double ax, ay, aw, ah;
                ASSERT_EQ(std::sscanf(frame.c_str(), "%lf %lf %lf %lf re S", &ax, &ay, &aw, &ah), 4);
                std::string form = nuptest::object_text(r.pdf, nuptest::form_num(0, 4, slot));
                std::vector<double> bb, m{1, 0, 0, 1, 0, 0};
                ASSERT_TRUE(read_array(form, "/BBox", bb));
                ASSERT_EQ(bb.size(), 4u);
                if (*rot) ASSERT_TRUE(read_array(form, "/Matrix", m));
                else EXPECT_EQ(form.find("/Matrix"), std::string::npos);
                // The box's corners through the form matrix and the cm.
                double lo_x = 1e18, lo_y = 1e18, hi_x = -1e18, hi_y = -1e18;
                Vec ll{};
                for (int c = 0; c < 4; ++c) {
                    double x = bb[c & 1 ? 2 : 0], y = bb[c & 2 ? 3 : 1];
                    double fx = m[0] * x + m[2] * y + m[4], fy = m[1] * x + m[3] * y + m[5];
                    Vec v{pl[0].s * fx + pl[0].tx, pl[0].s * fy + pl[0].ty};
                    if (c == 0) ll = v;
                    lo_x = std::min(lo_x, v.x);
                    lo_y = std::min(lo_y, v.y);
                    hi_x = std::max(hi_x, v.x);
                    hi_y = std::max(hi_y, v.y);
                }
                // The scale is printed with four decimals: up to 5e-5 x 800 off.
                const double eps = 0.05;
                EXPECT_NEAR(lo_x, ax, eps) << box << " rot " << rot;
                EXPECT_NEAR(lo_y, ay, eps) << box << " rot " << rot;
                EXPECT_NEAR(hi_x, ax + aw, eps) << box << " rot " << rot;
                EXPECT_NEAR(hi_y, ay + ah, eps) << box << " rot " << rot;
                // Centred in its cell of the 2 x 2 Letter grid (right to left).
                int col = 1 - slot % 2, row = 1 - slot / 2;
                EXPECT_NEAR(ax + aw / 2, col * 306 + 153, eps);
                EXPECT_NEAR(ay + ah / 2, row * 396 + 198, eps);
                EXPECT_TRUE(std::fabs(aw - 306) < eps || std::fabs(ah - 396) < eps);
                // The corner written first in the box turns with the page:
                // for a box at the origin it sits at the area's lower left,
                // upper left, upper right, lower right for 0, 90, 180, 270.
                if (std::string(box) == "[0 0 612 792]") {
                    int deg = *rot ? std::atoi(rot) : 0;
                    double ex = (deg == 180 || deg == 270) ? ax + aw : ax;
                    double ey = (deg == 90 || deg == 180) ? ay + ah : ay;
                    EXPECT_NEAR(ll.x, ex, eps) << rot;
                    EXPECT_NEAR(ll.y, ey, eps) << rot;
                }
            }
        }
    }
}

TEST(Layout, OffsetBoxOnLetterTwoUp) {
    PageSpec p;
    p.media_box = "[10 20 622 812]";
    auto r = run_nup(nuptest::repeat_page(p, 1), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    // Sized from 612 x 792, the box's corner (10, 20) on the area's corner.
    EXPECT_EQ(sheet_text(r.pdf, 0, 2), "q 0.5000 0 0 0.5000 -5 188 cm /F0 Do Q\n");
}

TEST(Layout, TurnsAndNonTurns) {
    struct Case {
        const char *rotate;
        const char *matrix;  // "" when the form has none
    };
    const Case cases[] = {
        {"90", "/Matrix [0 -1 1 0 0 612]"},    {"450", "/Matrix [0 -1 1 0 0 612]"},
        {"180", "/Matrix [-1 0 0 -1 612 792]"}, {"270", "/Matrix [0 1 -1 0 792 0]"},
        {"-90", "/Matrix [0 1 -1 0 792 0]"},    {"45", ""},
        {"0", ""},
    };
    for (const Case &c : cases) {
        PageSpec p;
        p.rotate = c.rotate;
        auto r = run_nup(nuptest::repeat_page(p, 1), 2, 0, 1, 0);
        ASSERT_EQ(r.rc, 1) << r.err;
        std::string form = nuptest::object_text(r.pdf, 4);
        if (*c.matrix)
            EXPECT_NE(form.find(c.matrix), std::string::npos) << c.rotate << ": " << form;
        else
            EXPECT_EQ(form.find("/Matrix"), std::string::npos) << c.rotate;
    }
}

}  // namespace
