// Checks of the test helpers themselves: the generated files must be sound
// PDF by an independent reader, and the image helpers must measure what they
// claim, or every test built on them proves nothing.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/pdfgen.h"
#include "support/tools.h"

using pdfgen::DocSpec;
using pdfgen::PageSpec;
using pdfgen::PdfBuilder;

namespace {

std::string incremental_classic() {
    DocSpec plan;
    plan.pages = {PageSpec{}, PageSpec{}};
    PdfBuilder b = pdfgen::doc_builder(plan);
    b.finish_classic("/Root 1 0 R");
    // The update replaces the second page's content and box.
    b.add_stream(pdfgen::content_num(1), "", "0 g 0 0 100 100 re f", {.flate = true});
    b.add(pdfgen::page_num(1),
          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 6 0 R >>");
    b.finish_classic("/Root 1 0 R");
    return b.bytes();
}

std::string incremental_xref_stream() {
    DocSpec plan;
    plan.pages = {PageSpec{}};
    plan.xref_stream = true;
    PdfBuilder b = pdfgen::doc_builder(plan);
    const int xs = pdfgen::first_free_num(plan) - 1;
    b.finish_xref_stream(xs, "/Root 1 0 R");
    b.add(pdfgen::page_num(0),
          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 400] /Rotate 90 /Contents 4 0 R >>");
    b.finish_xref_stream(xs + 1, "/Root 1 0 R");
    return b.bytes();
}

std::string indirect_length_binary() {
    std::string bin;
    for (int i = 0; i < 256; ++i) bin.push_back(static_cast<char>(i));
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R "
             "/Resources << /XObject << /Im 5 0 R >> >> >>");
    b.add_stream(4, "", "q 100 0 0 100 0 0 cm /Im Do Q", {.length_obj = 6});
    // A 16 x 16 grey ramp as an image, its bytes in a stored-block zlib stream.
    b.add_stream(5, "/Type /XObject /Subtype /Image /Width 16 /Height 16 /ColorSpace /DeviceGray "
                    "/BitsPerComponent 8 /Filter /FlateDecode",
                 pdfgen::zstored(bin));
    return b.finish("/Root 1 0 R");
}

std::string nested_tree() {
    DocSpec plan;
    for (int i = 0; i < 7; ++i) plan.pages.push_back(PageSpec{.media_box = ""});
    plan.fanout = 2;
    plan.root_extra = "/MediaBox [0 0 400 500]";
    plan.inner_extra = "/Rotate 90";
    return pdfgen::make_doc(plan);
}

std::string objstm_doc() {
    DocSpec plan;
    plan.pages = {PageSpec{.content = "0 g 0 0 50 50 re f", .flate = true}, PageSpec{}};
    plan.objstm = true;
    return pdfgen::make_doc(plan);
}

struct Variant {
    const char *name;
    std::function<std::string()> make;
    int pages;
};

void PrintTo(const Variant &v, std::ostream *os) { *os << v.name; }

const std::vector<Variant> &variants() {
    static const std::vector<Variant> v = {
        {"classic", [] { return pdfgen::make_pages(3); }, 3},
        {"classic_flate", [] {
             return pdfgen::make_simple_doc({PageSpec{.content = "0 g 0 0 9 9 re f", .flate = true},
                                             PageSpec{.crop_box = "[10 10 300 300]",
                                                      .rotate = "270"}});
         }, 2},
        {"indirect_length_binary", indirect_length_binary, 1},
        {"nested_tree", nested_tree, 7},
        {"incremental_classic", incremental_classic, 2},
        {"xref_stream", [] {
             DocSpec s;
             s.pages = {PageSpec{}, PageSpec{}, PageSpec{}};
             s.xref_stream = true;
             return pdfgen::make_doc(s);
         }, 3},
        {"xref_stream_flate", [] {
             PdfBuilder b;
             b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
             b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
             b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 99 99] >>");
             b.xref_stream(4, "/Root 1 0 R", {.flate = true}).startxref();
             return b.bytes();
         }, 1},
        {"incremental_xref_stream", incremental_xref_stream, 1},
        {"object_stream", objstm_doc, 2},
    };
    return v;
}

class GeneratedFile : public ::testing::TestWithParam<Variant> {};

TEST_P(GeneratedFile, QpdfFindsNoFault) {
    REQUIRE_QPDF();
    const std::string path = testtools::write_temp(GetParam().make(), GetParam().name);
    testtools::QpdfResult q = testtools::qpdf_check(path);
    EXPECT_TRUE(q.clean()) << "qpdf exit " << q.status << "\n" << q.out;
    testtools::remove_file(path);
}

TEST_P(GeneratedFile, PdfinfoCountsThePages) {
    REQUIRE_PDFINFO();
    const std::string path = testtools::write_temp(GetParam().make(), GetParam().name);
    EXPECT_EQ(testtools::pdfinfo_pages(path), GetParam().pages);
    testtools::remove_file(path);
}

INSTANTIATE_TEST_SUITE_P(Variants, GeneratedFile, ::testing::ValuesIn(variants()),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST(PdfBuilder, OffsetsPointAtHeadersAndUpdatesKeepEveryDefinition) {
    const std::string pdf = incremental_classic();
    DocSpec plan;
    plan.pages = {PageSpec{}, PageSpec{}};
    PdfBuilder b = pdfgen::doc_builder(plan);
    b.finish_classic("/Root 1 0 R");
    b.add(pdfgen::page_num(1), "<< /Type /Page >>");
    b.xref();
    const std::string &bytes = b.bytes();
    for (int num = 1; num <= 6; ++num) {
        const std::string head = std::to_string(num) + " 0 obj";
        EXPECT_EQ(bytes.compare(static_cast<size_t>(b.offset(num)), head.size(), head), 0) << num;
    }
    const std::vector<int64_t> defs = b.offsets(pdfgen::page_num(1));
    ASSERT_EQ(defs.size(), 2u);
    EXPECT_LT(defs[0], defs[1]);
    EXPECT_EQ(b.offset(pdfgen::page_num(1)), defs[1]);
    EXPECT_EQ(bytes.compare(static_cast<size_t>(b.last_section()), 4, "xref"), 0);
    // The update's table lists only the redefined object.
    EXPECT_NE(bytes.find("xref\n5 1\n", static_cast<size_t>(b.last_section())), std::string::npos);
    EXPECT_EQ(b.offset(99), -1);
}

TEST(PdfBuilder, StreamLengthForms) {
    struct Case {
        pdfgen::StreamOpts opts;
        const char *dict;
    };
    const Case cases[] = {
        {{}, "<< /Length 5 >>"},
        {{.length_obj = 9}, "<< /Length 9 0 R >>"},
        {{.length_text = "-3"}, "<< /Length -3 >>"},
        {{.omit_length = true}, "<< >>"},
    };
    for (const Case &c : cases) {
        PdfBuilder b("");
        b.add_stream(4, "", "abcde", c.opts);
        EXPECT_EQ(b.bytes().rfind(std::string("4 0 obj\n") + c.dict + "\nstream\nabcde\nendstream", 0),
                  0u)
            << b.bytes();
        if (c.opts.length_obj) {
            EXPECT_NE(b.bytes().find("9 0 obj\n5\nendobj"), std::string::npos);
        }
    }
}

TEST(Zlib, StoredAndCompressedStreamsRoundTrip) {
    REQUIRE_ZLIB();
    std::string big;
    for (int i = 0; i < 200000; ++i) big.push_back(static_cast<char>((i * 7) ^ (i >> 8)));
    for (const std::string &data : {std::string(), std::string("x"), big}) {
        EXPECT_EQ(pdfgen::zuncompress(pdfgen::zstored(data)), data) << data.size();
        for (int level : {0, 1, 9}) EXPECT_EQ(pdfgen::zuncompress(pdfgen::zcompress(data, level)), data);
    }
    // Stored layout: header, then 5 bytes per 65535-byte block, then Adler-32.
    EXPECT_EQ(pdfgen::zstored(big).size(), 2 + big.size() + 5 * 4 + 4);
    std::string cut = pdfgen::zcompress(big);
    cut.resize(cut.size() / 2);
    EXPECT_FALSE(pdfgen::zuncompress(cut).has_value());
}

// ---------------------------------------------------------------------------

TEST(Tools, RunCmdReportsStatusAndOutput) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX shell needed";
#else
    testtools::CmdResult r = testtools::run_cmd({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("out"), std::string::npos);
    EXPECT_NE(r.out.find("err"), std::string::npos);
    EXPECT_EQ(testtools::run_cmd({"/nonexistent/program"}).status, 127);
#endif
}

TEST(Tools, ParsePgm) {
    static const char pgm[] = "P5\n# comment\n3 2\n255\n\x00\x10\x20\x30\x40\x50";
    auto g = testtools::parse_pgm(std::string(pgm, sizeof pgm - 1));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->w, 3);
    EXPECT_EQ(g->h, 2);
    EXPECT_EQ(g->at(2, 1), 0x50);
    EXPECT_FALSE(testtools::parse_pgm("P5 3 2 255\n\x01"));  // raster too short
    EXPECT_FALSE(testtools::parse_pgm("P6 1 1 255\n\x01\x01\x01"));
}

TEST(Tools, ImageMeasures) {
    testtools::Gray img{4, 2, {0, 0, 255, 255, 0, 0, 255, 255}};
    testtools::Gray small = testtools::downscale(img, 2, 1);
    EXPECT_EQ(small.px, (std::vector<uint8_t>{0, 255}));
    EXPECT_EQ(testtools::mean_abs_diff(img, small), 0);
    testtools::Gray white{2, 1, {255, 255}};
    EXPECT_NEAR(testtools::mean_abs_diff(img, white), 127.5, 0.01);
    // Left half of a 4 x 2 image that stands for a 40 x 20 pt sheet.
    testtools::Gray left = testtools::crop_pdf_rect(img, 40, 20, 0, 0, 20, 20);
    EXPECT_EQ(left.w, 2);
    EXPECT_EQ(left.mean(), 0);
    testtools::Gray r = testtools::rotate_cw(img, 90);
    EXPECT_EQ(r.w, 2);
    EXPECT_EQ(r.h, 4);
    EXPECT_EQ(r.at(0, 0), 0);
    EXPECT_EQ(r.at(0, 3), 255);
    EXPECT_EQ(testtools::rotate_cw(testtools::rotate_cw(img, 180), 180).px, img.px);
}

TEST(Tools, RenderShowsWhereThePageIsBlack) {
    REQUIRE_PDFTOPPM();
    // Lower left quarter black on a 200 x 100 pt page.
    const std::string path = testtools::write_temp(pdfgen::make_simple_doc(
        {PageSpec{.media_box = "[0 0 200 100]", .content = "0 g 0 0 100 50 re f"}}));
    auto img = testtools::render_gray(path, 1, 72);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->w, 200);
    EXPECT_EQ(img->h, 100);
    EXPECT_LT(testtools::crop_pdf_rect(*img, 200, 100, 2, 2, 98, 48).mean(), 5);
    EXPECT_GT(testtools::crop_pdf_rect(*img, 200, 100, 102, 2, 198, 98).mean(), 250);
    EXPECT_GT(testtools::crop_pdf_rect(*img, 200, 100, 2, 52, 98, 98).mean(), 250);
    auto fit = testtools::render_gray_fit(path, 1, 50);
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->w, 50);
    EXPECT_LT(testtools::mean_abs_diff(*img, *fit), 10);
    EXPECT_FALSE(testtools::render_gray(path, 2, 72));  // no such page
    testtools::remove_file(path);
}

TEST(Tools, PdfinfoPageSize) {
    REQUIRE_PDFINFO();
    const std::string path = testtools::write_temp(pdfgen::make_simple_doc(
        {PageSpec{.media_box = "[0 0 300 400]", .crop_box = "[0 0 200 100]", .rotate = "90"}}));
    auto ps = testtools::pdfinfo_page_size(path, 1);
    ASSERT_TRUE(ps);
    EXPECT_EQ(ps->w, 200);
    EXPECT_EQ(ps->h, 100);
    EXPECT_EQ(ps->rot, 90);
    EXPECT_EQ(testtools::pdfinfo_pages(path + ".missing"), -1);
    testtools::remove_file(path);
}

}  // namespace
