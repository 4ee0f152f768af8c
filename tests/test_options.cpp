// Options of a job: the checks made before anything is read, the page
// selection grammar and the booklet order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
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
#include "nup/options.h"

namespace {

using sheetlay::job_options;

std::string last_error() { return sheetlay::g_err; }

sheetlay_options defaults() {
    sheetlay_options o;
    sheetlay_options_init(&o);
    return o;
}

TEST(Options, DefaultsAreTheDocumentedOnes) {
    sheetlay_options o = defaults();
    EXPECT_EQ(o.size, sizeof(sheetlay_options));
    EXPECT_EQ(o.columns, 2);
    EXPECT_EQ(o.rows, 2);
    EXPECT_EQ(o.flow, 0u);
    EXPECT_EQ(o.sheet_width, 0);
    EXPECT_EQ(o.sheet_height, 0);
    EXPECT_EQ(o.orientation, SHEETLAY_ORIENT_AUTO);
    EXPECT_EQ(o.fit, SHEETLAY_FIT_SCALE);
    EXPECT_EQ(o.keep, SHEETLAY_KEEP_ALL);
    EXPECT_EQ(o.compress, SHEETLAY_COMPRESS_COMPACT);
    EXPECT_EQ(o.pages, nullptr);
    EXPECT_EQ(o.password, nullptr);
    EXPECT_EQ(o.progress, nullptr);
    job_options j;
    ASSERT_TRUE(sheetlay::read_options(&o, &j));
    EXPECT_TRUE(j.all_pages);
}

// A 0.2 host's binary calls the plain init on its 112-byte structure: it
// must write nothing past it, and the library must read nothing past it.
// Other sizes write only the size field and are refused.
TEST(Options, SizedInitWritesOnlyItsStructure) {
    struct Case {
        size_t size;
        bool plain;  // through the exported plain function
        bool accepted;
    };
    const Case cases[] = {{112, true, true}, {112, false, true}, {144, false, true},
                          {120, false, false}, {8, false, false}, {4096, false, false}};
    for (const Case &c : cases) {
        unsigned char block[4096 + 16];
        std::memset(block, 0xA5, sizeof block);
        auto *o = reinterpret_cast<sheetlay_options *>(block);
        if (c.plain)
            (sheetlay_options_init)(o);
        else
            sheetlay_options_init_sized(o, c.size);
        EXPECT_EQ(o->size, c.size) << c.size;
        const size_t written = c.accepted ? c.size : sizeof o->size;
        for (size_t i = written; i < sizeof block; ++i) ASSERT_EQ(block[i], 0xA5) << c.size << " byte " << i;
        if (!c.accepted) continue;
        // The bytes past a 0.2 structure are garbage here: they must not be read.
        job_options j;
        ASSERT_TRUE(sheetlay::read_options(o, &j)) << c.size << ": " << last_error();
        EXPECT_EQ(j.cols, 2);
        EXPECT_EQ(j.signature, 0);
        EXPECT_EQ(j.marks, 0u);
        EXPECT_EQ(j.trim, SHEETLAY_TRIM_NONE);
    }
    sheetlay_options o;
    sheetlay_options_init_sized(&o, 120);
    job_options j;
    EXPECT_FALSE(sheetlay::read_options(&o, &j));
    EXPECT_EQ(last_error(), "options structure of unknown size 120");
}

TEST(Options, EachBadValueIsRefusedWithItsMessage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        void (*set)(sheetlay_options &, double, double);
        double a, b;
        const char *message;
    };
    const Case cases[] = {
        {[](sheetlay_options &o, double, double) { o.size = 8; }, 0, 0, "options structure of unknown size 8"},
        {[](sheetlay_options &o, double, double) { o.columns = 0; }, 0, 0, "columns must be 1 to 32 (got 0)"},
        {[](sheetlay_options &o, double, double) { o.columns = 33; }, 0, 0, "columns must be 1 to 32 (got 33)"},
        {[](sheetlay_options &o, double, double) { o.rows = -1; }, 0, 0, "rows must be 1 to 32 (got -1)"},
        {[](sheetlay_options &o, double, double) { o.flow = 9; }, 0, 0, "unknown flow flags 0x8"},
        {[](sheetlay_options &o, double a, double b) { o.sheet_width = a, o.sheet_height = b; }, 100, 0,
         "sheet size must be two numbers above 0 and up to 14400 points, or 0 and 0"},
        {[](sheetlay_options &o, double a, double b) { o.sheet_width = a, o.sheet_height = b; }, 14401, 10,
         "sheet size must be two numbers above 0 and up to 14400 points, or 0 and 0"},
        {[](sheetlay_options &o, double a, double b) { o.sheet_width = a, o.sheet_height = b; }, nan, 10,
         "sheet size must be two numbers above 0 and up to 14400 points, or 0 and 0"},
        {[](sheetlay_options &o, double a, double b) { o.sheet_width = a, o.sheet_height = b; }, -5, 10,
         "sheet size must be two numbers above 0 and up to 14400 points, or 0 and 0"},
        {[](sheetlay_options &o, double, double) { o.orientation = 4; }, 0, 0, "orientation must be 0 to 3 (got 4)"},
        {[](sheetlay_options &o, double, double) { o.fit = 3; }, 0, 0, "fit must be 0 to 2 (got 3)"},
        {[](sheetlay_options &o, double, double) { o.booklet = 1, o.signature = 257; }, 0, 0,
         "signature must be 0 to 256 (got 257)"},
        {[](sheetlay_options &o, double, double) { o.booklet = 1, o.duplex = 2; }, 0, 0, "duplex must be 0 or 1 (got 2)"},
        {[](sheetlay_options &o, double, double) { o.signature = 2; }, 0, 0, "signature and duplex are for booklets"},
        {[](sheetlay_options &o, double, double) { o.duplex = 1; }, 0, 0, "signature and duplex are for booklets"},
        {[](sheetlay_options &o, double, double) { o.turn = -1; }, 0, 0, "turn must be 0 to 2 (got -1)"},
        {[](sheetlay_options &o, double, double) { o.marks = 6; }, 0, 0, "unknown marks flags 0x4"},
        {[](sheetlay_options &o, double, double) { o.trim = 3; }, 0, 0, "trim must be 0 to 2 (got 3)"},
        {[](sheetlay_options &o, double a, double) { o.trim_margin = a; }, nan, 0, "trim margin must be a number >= 0"},
        {[](sheetlay_options &o, double a, double) { o.margin = a; }, -1, 0, "margin must be a number >= 0"},
        {[](sheetlay_options &o, double a, double) { o.margin = a; }, nan, 0, "margin must be a number >= 0"},
        {[](sheetlay_options &o, double a, double) { o.gap = a; }, inf, 0, "gap must be a number >= 0"},
        {[](sheetlay_options &o, double a, double) { o.border = a; }, -0.5, 0, "border must be a number >= 0"},
        {[](sheetlay_options &o, double, double) { o.booklet = 2; }, 0, 0, "booklet must be 0 or 1 (got 2)"},
        {[](sheetlay_options &o, double, double) { o.keep = 0x30; }, 0, 0, "unknown keep flags 0x30"},
        {[](sheetlay_options &o, double, double) { o.compress = -1; }, 0, 0, "compress must be 0 or 1 (got -1)"},
        {[](sheetlay_options &o, double, double) { o.pages = "1,x"; }, 0, 0, "bad page selection at 'x'"},
    };
    for (const Case &c : cases) {
        sheetlay_options o = defaults();
        c.set(o, c.a, c.b);
        job_options j;
        sheetlay::g_err[0] = '\0';
        EXPECT_FALSE(sheetlay::read_options(&o, &j)) << c.message;
        EXPECT_EQ(last_error(), c.message);
    }
}

// Selection text and page count -> the cells (1-based page numbers, 0 for
// a blank cell) or the message.
struct SelCase {
    const char *text;
    int32_t pages;
    std::vector<int32_t> cells;
    const char *message;
};

TEST(Options, PageSelection) {
    const SelCase cases[] = {
        {nullptr, 3, {1, 2, 3}, nullptr},
        {"", 3, {1, 2, 3}, nullptr},
        {"  ", 2, {1, 2}, nullptr},
        {"2", 3, {2}, nullptr},
        {" 3 , 1 ", 3, {3, 1}, nullptr},
        {"z", 4, {4}, nullptr},
        {"2-4", 5, {2, 3, 4}, nullptr},
        {"4-2", 5, {4, 3, 2}, nullptr},
        {"3-", 5, {3, 4, 5}, nullptr},
        {"-2", 5, {1, 2}, nullptr},
        {"z-1", 3, {3, 2, 1}, nullptr},
        {"1 - 2", 3, {1, 2}, nullptr},
        {"1,_,2", 2, {1, 0, 2}, nullptr},
        {"1,1,1", 1, {1, 1, 1}, nullptr},
        {"x", 3, {}, "bad page selection at 'x'"},
        {"1,,2", 3, {}, "bad page selection at ',2'"},
        {"1,", 3, {}, "bad page selection at ''"},
        {"1-x", 3, {}, "bad page selection at 'x'"},
        {"1 2", 3, {}, "bad page selection at '2'"},
        {"99999999999", 3, {}, "bad page selection at '99999999999'"},
        {"1;2", 3, {}, "bad page selection at ';2'"},
        {"0", 3, {}, "page 0 does not exist (the document has 3 pages)"},
        {"2-7", 3, {}, "page 7 does not exist (the document has 3 pages)"},
        {"_", 3, {}, "page selection selects no pages"},
        {"_,_", 3, {}, "page selection selects no pages"},
    };
    for (const SelCase &c : cases) {
        sheetlay_options o = defaults();
        o.pages = c.text;
        job_options j;
        sheetlay::g_err[0] = '\0';
        std::vector<int32_t> cells;
        bool ok = sheetlay::read_options(&o, &j) && sheetlay::resolve_selection(j, c.pages, &cells);
        std::string label = c.text ? c.text : "(null)";
        if (c.message) {
            EXPECT_FALSE(ok) << label;
            EXPECT_EQ(last_error(), c.message) << label;
            continue;
        }
        ASSERT_TRUE(ok) << label << ": " << last_error();
        std::vector<int32_t> got;
        for (int32_t v : cells) got.push_back(v + 1);
        EXPECT_EQ(got, c.cells) << label;
    }
}

TEST(Options, SelectionTooLongIsRefused) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += "1-1000000,";
    text += "1";
    sheetlay_options o = defaults();
    o.pages = text.c_str();
    job_options j;
    ASSERT_TRUE(sheetlay::read_options(&o, &j));
    std::vector<int32_t> cells;
    EXPECT_FALSE(sheetlay::resolve_selection(j, 1000000, &cells));
    EXPECT_NE(last_error().find("too many"), std::string::npos);
}

// Booklets of 1 to 9 pages: the pairs on each side, 1-based, 0 blank.
TEST(Options, BookletOrder) {
    const std::vector<std::vector<int32_t>> expect = {
        {0, 1, 0, 0},                                  // 1 page
        {0, 1, 2, 0},                                  // 2
        {0, 1, 2, 3},                                  // 3
        {4, 1, 2, 3},                                  // 4
        {0, 1, 2, 0, 0, 3, 4, 5},                      // 5
        {0, 1, 2, 0, 6, 3, 4, 5},                      // 6
        {0, 1, 2, 7, 6, 3, 4, 5},                      // 7
        {8, 1, 2, 7, 6, 3, 4, 5},                      // 8
    };
    for (int32_t n = 1; n <= 9; ++n) {
        std::vector<int32_t> cells;
        for (int32_t i = 0; i < n; ++i) cells.push_back(i);
        std::vector<int32_t> got = sheetlay::booklet_cells(cells);
        for (int32_t &v : got) v += 1;
        // The rule: P cells; sheet i holds (P - i, i + 1) when i is even,
        // (i + 1, P - i) when odd.
        size_t P = (static_cast<size_t>(n) + 3) / 4 * 4;
        ASSERT_EQ(got.size(), P) << n;
        for (size_t i = 0; i < P / 2; ++i) {
            size_t outer = P - i, inner = i + 1;
            size_t left = i % 2 == 0 ? outer : inner, right = i % 2 == 0 ? inner : outer;
            EXPECT_EQ(got[2 * i], left <= static_cast<size_t>(n) ? static_cast<int32_t>(left) : 0) << n << " " << i;
            EXPECT_EQ(got[2 * i + 1], right <= static_cast<size_t>(n) ? static_cast<int32_t>(right) : 0) << n << " " << i;
        }
        if (n <= 8) EXPECT_EQ(got, expect[static_cast<size_t>(n - 1)]) << n;
    }
}

}  // namespace
