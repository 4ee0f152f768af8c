// The options interface end to end: the fixed grids give the six classic
// calls' bytes, orientation and booklets lay out as documented, memory and
// files agree, cancelling writes nothing, and each thread reads its own
// message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "nup_helpers.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

struct Out {
    int32_t ok = 0;
    std::string err;
    std::string pdf;
};

sheetlay_options plain() {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.keep = 0;
    o.compress = SHEETLAY_COMPRESS_NONE;
    o.orientation = SHEETLAY_ORIENT_AS_GIVEN;
    return o;
}

Out run_file(const std::string &in_path, const sheetlay_options *o) {
    Out r;
    std::string out = testtools::tmp_path("opt");
    char err[256] = "junk";
    r.ok = sheetlay_nup(in_path.c_str(), out.c_str(), o, err, sizeof err);
    r.err = err;
    if (testtools::file_exists(out)) {
        r.pdf = testtools::read_file(out).value_or("");
        testtools::remove_file(out);
    }
    return r;
}

Out run_mem(const std::string &input, const sheetlay_options *o) {
    Out r;
    void *block = reinterpret_cast<void *>(1);
    size_t n = 99;
    char err[256] = "junk";
    r.ok = sheetlay_nup_mem(input.data(), input.size(), &block, &n, o, err, sizeof err);
    r.err = err;
    if (r.ok) r.pdf.assign(static_cast<const char *>(block), n);
    else EXPECT_TRUE(block == nullptr && n == 0);
    sheetlay_free(block);
    return r;
}

std::string classic(const std::string &in_path, int n, int order, int size, int border) {
    std::string out = testtools::tmp_path("six");
    int32_t ok = border ? sheetlay_create_bordered(in_path.c_str(), out.c_str(), n, order, border)
                 : size < 0 ? sheetlay_create(in_path.c_str(), out.c_str(), n, order)
                            : sheetlay_create_sized(in_path.c_str(), out.c_str(), n, order, size);
    EXPECT_EQ(ok, 1) << sheetlay_last_error();
    std::string pdf = testtools::read_file(out).value_or("");
    testtools::remove_file(out);
    return pdf;
}

// Pages of several sizes and rotations.
std::string mixed_doc(int count) {
    pdfgen::DocSpec plan;
    for (int i = 0; i < count; ++i) {
        pdfgen::PageSpec p;
        p.media_box = "[0 0 " + std::to_string(400 + 10 * i) + " " + std::to_string(600 - 7 * i) + "]";
        if (i % 3 == 1) p.rotate = "90";
        p.content = "0 0 1 rg 10 10 100 100 re f";
        plan.pages.push_back(p);
    }
    return pdfgen::make_doc(plan);
}

TEST(NupOptions, FixedGridsGiveTheClassicBytes) {
    std::vector<std::string> inputs = {testtools::write_temp(mixed_doc(11), "mixed")};
    for (const std::string &f : testtools::corpus_files())
        if (f.find("pdflatex-4-pages") != std::string::npos || f.find("habibi") != std::string::npos)
            inputs.push_back(f);
    const int grids[][3] = {{2, 2, 1}, {4, 2, 2}, {6, 3, 2}, {9, 3, 3}, {16, 4, 4}};
    const double sizes[][2] = {{0, 0}, {595.28, 841.89}, {612, 792}, {841.89, 1190.55}};
    for (const std::string &in : inputs)
        for (const auto &gr : grids)
            for (int order = 0; order < 2; ++order)
                for (int size = -1; size < 3; ++size)
                    for (int border : {0, 3}) {
                        if (border && size >= 0) continue;  // no classic call has both
                        SCOPED_TRACE(in + " n=" + std::to_string(gr[0]) + " order=" + std::to_string(order) +
                                     " size=" + std::to_string(size) + " border=" + std::to_string(border));
                        sheetlay_options o = plain();
                        o.columns = gr[1];
                        o.rows = gr[2];
                        o.flow = order ? SHEETLAY_FLOW_RTL : 0;
                        o.sheet_width = sizes[size + 1][0];
                        o.sheet_height = sizes[size + 1][1];
                        o.border = border;
                        Out r = run_file(in, &o);
                        ASSERT_EQ(r.ok, 1) << r.err;
                        EXPECT_EQ(r.err, "");
                        EXPECT_TRUE(r.pdf == classic(in, gr[0], order, size, border));
                    }
}

TEST(NupOptions, TwoUpOfA4ComesOutOnLandscapeA4At71Percent) {
    pdfgen::PageSpec a4;
    a4.media_box = "[0 0 595.28 841.89]";
    a4.content = "0 0 m 100 100 l S";
    std::string in = testtools::write_temp(nuptest::repeat_page(a4, 4), "a4");
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = 2;
    o.rows = 1;
    o.compress = SHEETLAY_COMPRESS_NONE;  // to read the sheet's content below
    o.keep = 0;
    Out r = run_file(in, &o);
    ASSERT_EQ(r.ok, 1) << r.err;
    EXPECT_NE(r.pdf.find("/MediaBox [0 0 841.8900 595.2800]"), std::string::npos);
    EXPECT_NE(nuptest::stream_data(r.pdf, nuptest::content_num(0, 2)).find("q 0.7071 0 0 0.7071 "),
              std::string::npos);
    nuptest::expect_qpdf_clean(r.pdf);
    // Portrait and as-given keep the portrait sheet (50 %).
    for (int32_t orient : {SHEETLAY_ORIENT_PORTRAIT, SHEETLAY_ORIENT_AS_GIVEN}) {
        o.orientation = orient;
        Out p = run_file(in, &o);
        EXPECT_NE(p.pdf.find("/MediaBox [0 0 595.2800 841.8900]"), std::string::npos) << orient;
        EXPECT_NE(nuptest::stream_data(p.pdf, nuptest::content_num(0, 2)).find("q 0.5000 0 0 0.5000 "),
                  std::string::npos);
    }
}

// The page index each form of each sheet shows, read from the form's
// /BBox width (page i of mixed_doc is 400 + 10 i wide).
std::vector<int> placed_pages(const std::string &pdf, int sheets, int n) {
    std::vector<int> got;
    for (int s = 0; s < sheets; ++s)
        for (int k = 0; k < n; ++k) {
            std::string t = nuptest::object_text(pdf, nuptest::form_num(s, n, k));
            size_t b = t.find("/BBox [0 0 ");
            got.push_back(b == std::string::npos ? 0 : (std::atoi(t.c_str() + b + 11) - 400) / 10 + 1);
        }
    return got;
}

TEST(NupOptions, BookletOfTwelvePagesGivesSixSheetsInFoldOrder) {
    std::string in = testtools::write_temp(mixed_doc(12), "booklet");
    sheetlay_options o = plain();
    o.booklet = 1;
    o.orientation = SHEETLAY_ORIENT_AUTO;
    Out r = run_file(in, &o);
    ASSERT_EQ(r.ok, 1) << r.err;
    EXPECT_NE(r.pdf.find("/Count 6 "), std::string::npos);
    EXPECT_EQ(placed_pages(r.pdf, 6, 2), (std::vector<int>{12, 1, 2, 11, 10, 3, 4, 9, 8, 5, 6, 7}));
    // Right to left swaps the two halves of each side.
    o.flow = SHEETLAY_FLOW_RTL;
    Out rtl = run_file(in, &o);
    auto tx = [](const std::string &pdf, int slot) {
        std::string sheet = nuptest::stream_data(pdf, nuptest::content_num(0, 2));
        size_t at = sheet.find("cm /F" + std::to_string(slot) + " Do");
        size_t line = sheet.rfind("q ", at);
        double s = 0, x = 0;
        std::sscanf(sheet.c_str() + line, "q %lf 0 0 %*f %lf", &s, &x);
        return x;
    };
    EXPECT_LT(tx(r.pdf, 0), tx(r.pdf, 1));
    EXPECT_GT(tx(rtl.pdf, 0), tx(rtl.pdf, 1));
    nuptest::expect_qpdf_clean(r.pdf);
}

TEST(NupOptions, SelectionsPlaceTheChosenPagesAndBlanks) {
    std::string in = testtools::write_temp(mixed_doc(5), "sel");
    sheetlay_options o = plain();
    o.columns = 2;
    o.rows = 2;
    o.pages = "z, _, 2-1, 3";
    Out r = run_file(in, &o);
    ASSERT_EQ(r.ok, 1) << r.err;
    EXPECT_EQ(placed_pages(r.pdf, 2, 4), (std::vector<int>{5, 0, 2, 1, 3, 0, 0, 0}));
    nuptest::expect_qpdf_clean(r.pdf);
}

TEST(NupOptions, MemoryAndFileGiveTheSameBytes) {
    std::string doc = mixed_doc(7);
    std::string in = testtools::write_temp(doc, "mem");
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = 3;
    o.margin = 18;
    o.gap = 6;
    o.border = 0.5;
    Out f = run_file(in, &o);
    Out m = run_mem(doc, &o);
    ASSERT_EQ(f.ok, 1) << f.err;
    ASSERT_EQ(m.ok, 1) << m.err;
    EXPECT_TRUE(f.pdf == m.pdf);
    Out bad = run_mem("%PDF-1.4 nothing", &o);
    EXPECT_EQ(bad.ok, 0);
    EXPECT_NE(bad.err.find("input"), std::string::npos) << bad.err;
}

TEST(NupOptions, FailuresAfterLoading) {
    std::string in = testtools::write_temp(mixed_doc(3), "late");
    struct Case {
        void (*set)(sheetlay_options &);
        const char *message;
    } cases[] = {
        {[](sheetlay_options &o) { o.margin = 300; }, "margin and gap leave no room for the cells"},
        {[](sheetlay_options &o) { o.gap = 1e6; }, "margin and gap leave no room for the cells"},
        {[](sheetlay_options &o) { o.pages = "4"; }, "page 4 does not exist (the document has 3 pages)"},
        {[](sheetlay_options &o) {
             o.progress = [](void *, int32_t, int32_t) -> int32_t { return 1; };
         },
         "cancelled"},
    };
    std::string out = testtools::tmp_path("keep");
    for (const Case &c : cases) {
        sheetlay_options o = plain();
        c.set(o);
        ASSERT_TRUE(testtools::write_file(out, "old contents"));
        char err[128];
        EXPECT_EQ(sheetlay_nup(in.c_str(), out.c_str(), &o, err, sizeof err), 0);
        EXPECT_STREQ(err, c.message);
        EXPECT_STREQ(sheetlay_last_error(), c.message);
        EXPECT_EQ(testtools::read_file(out).value_or(""), "old contents") << c.message;
    }
    testtools::remove_file(out);
    // A small buffer gets the message cut and terminated; none at all is fine.
    sheetlay_options o = plain();
    o.columns = 40;
    char small[8];
    EXPECT_EQ(sheetlay_nup(in.c_str(), out.c_str(), &o, small, sizeof small), 0);
    EXPECT_STREQ(small, "columns");
    EXPECT_EQ(sheetlay_nup(in.c_str(), out.c_str(), &o, nullptr, 0), 0);
    EXPECT_FALSE(testtools::file_exists(out));
}

TEST(NupOptions, ProgressCountsPlacedPages) {
    std::string in = testtools::write_temp(mixed_doc(9), "prog");
    std::vector<std::pair<int32_t, int32_t>> calls;
    sheetlay_options o = plain();
    o.pages = "1-9,_";
    o.progress_user = &calls;
    o.progress = [](void *u, int32_t done, int32_t total) -> int32_t {
        static_cast<std::vector<std::pair<int32_t, int32_t>> *>(u)->push_back({done, total});
        return 0;
    };
    ASSERT_EQ(run_file(in, &o).ok, 1);
    EXPECT_EQ(calls, (std::vector<std::pair<int32_t, int32_t>>{{0, 9}, {4, 9}, {8, 9}, {9, 9}}));
}

TEST(NupOptions, ThreadsReadTheirOwnMessages) {
    std::string in = testtools::write_temp(mixed_doc(2), "thr");
    auto worker = [&in](int kind, int *wrong) {
        for (int i = 0; i < 200; ++i) {
            sheetlay_options o = plain();
            std::string path = kind == 0 ? in : "/nonexistent/missing.pdf";
            if (kind == 0) o.rows = 0;
            char err[256];
            std::string out = testtools::tmp_path("thr");
            sheetlay_nup(path.c_str(), out.c_str(), &o, err, sizeof err);
            std::string want = kind == 0 ? "rows must be 1 to 32 (got 0)" : "cannot open /nonexistent/missing.pdf";
            if (want != err) ++*wrong;
        }
    };
    int wrong0 = 0, wrong1 = 0;
    std::thread a(worker, 0, &wrong0), b(worker, 1, &wrong1);
    a.join();
    b.join();
    EXPECT_EQ(wrong0, 0);
    EXPECT_EQ(wrong1, 0);
}

TEST(NupOptions, VersionAndNullArguments) {
    std::string v = sheetlay_version();
    EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2) << v;
    char err[64];
    EXPECT_EQ(sheetlay_nup(nullptr, "x.pdf", nullptr, err, sizeof err), 0);
    EXPECT_STREQ(err, "NULL path argument");
    EXPECT_EQ(sheetlay_nup_mem(nullptr, 0, nullptr, nullptr, nullptr, err, sizeof err), 0);
    sheetlay_free(nullptr);
}

}  // namespace
