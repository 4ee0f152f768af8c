// Output assembly: the file's bytes, its numbering and table, the page forms'
// content and the failure paths.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "error.h"
#include "sheetlay.h"
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
using pdfgen::PdfBuilder;

namespace {

std::string entry(size_t off) {
    char b[32];
    std::snprintf(b, sizeof b, "%010zu 00000 n \n", off);
    return b;
}

// The one-page Letter file, every byte of it.
TEST(Output, OnePageLetterFile) {
    PageSpec p;
    p.content = "0 g 0 0 100 100 re f";
    auto r = run_nup(pdfgen::make_simple_doc({p}), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_STREQ(sheetlay::g_err, "");

    std::string want = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    ASSERT_EQ(want.size(), 15u);
    want += "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
    ASSERT_EQ(want.size(), 64u);
    want += "2 0 obj\n<< /Type /Pages /Count 1 /Kids [3 0 R]>>\nendobj\n";
    ASSERT_EQ(want.size(), 120u);
    want += "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 6 0 R "
            "/Resources << /XObject << /F0 4 0 R >> >> >>\nendobj\n";
    size_t form = want.size();
    want += "4 0 obj\n<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 20 >> stream\n"
            "0 g 0 0 100 100 re f\nendstream\nendobj\n";
    size_t cont = want.size();
    want += "6 0 obj\n<< /Length 38 >>\nstream\nq 0.5000 0 0 0.5000 0 198 cm /F0 Do Q\n"
            "endstream\nendobj\n";
    size_t xref = want.size();
    want += "xref\n0 7\n0000000000 65535 f \n" + entry(15) + entry(64) + entry(120) + entry(form) +
            "0000000000 65535 f \n" + entry(cont) + "trailer\n<< /Size 7 /Root 1 0 R >>\nstartxref " +
            std::to_string(xref) + "\n%%EOF\n";
    EXPECT_EQ(r.pdf, want);
}

TEST(Output, NumberingAndTable) {
    struct Case {
        int pages, n;
        std::vector<int> used, unused;
        const char *kids;
        int size;
    };
    const Case cases[] = {
        {5, 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14}, {11, 12, 13}, "/Count 2 /Kids [3 0 R 9 0 R]",
         15},
        {1, 2, {1, 2, 3, 4, 6}, {5}, "/Count 1 /Kids [3 0 R]", 7},
        {16, 16, {3, 4, 19, 20}, {}, "/Count 1 /Kids [3 0 R]", 21},
        {17, 16, {21, 22, 38}, {23, 37}, "/Count 2 /Kids [3 0 R 21 0 R]", 39},
    };
    for (const Case &c : cases) {
        auto r = run_nup(pdfgen::make_pages(c.pages), c.n, 0, -1, 0);
        ASSERT_EQ(r.rc, 1) << r.err;
        auto objs = nuptest::xref_objects(r.pdf);
        for (int u : c.used) EXPECT_EQ(objs.count(u), 1u) << c.pages << "/" << c.n << ": " << u;
        for (int u : c.unused) EXPECT_EQ(objs.count(u), 0u) << c.pages << "/" << c.n << ": " << u;
        EXPECT_NE(r.pdf.find(c.kids), std::string::npos);
        EXPECT_NE(r.pdf.find("/Size " + std::to_string(c.size) + " "), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// Content of the page forms

// A one-page document whose page dictionary and extra objects are given.
std::string page_doc(const std::string &page_entries,
                     const std::vector<std::pair<int, std::string>> &objects,
                     const std::vector<std::pair<int, std::pair<std::string, std::string>>> &streams,
                     bool flate_streams = false) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] " + page_entries + " >>");
    for (const auto &o : objects) b.add(o.first, o.second);
    for (const auto &s : streams)
        b.add_stream(s.first, s.second.first, s.second.second, {.flate = flate_streams});
    return b.finish("/Root 1 0 R");
}

struct ContentCase {
    const char *name;
    std::string input;
    std::string data;        // the form's stream data
    std::string dict_has;    // text the form dictionary must hold ("" none)
    std::string dict_lacks;  // text it must not hold ("" none)
};

TEST(Forms, ContentGathering) {
    const std::string hex = "30206720302030203530203530207265206620";  // "0 g 0 0 50 50 re f "
    const ContentCase cases[] = {
        {"no contents", page_doc("", {}, {}), "", "/Length 0 >>", ""},
        {"single stream", page_doc("/Contents 4 0 R", {}, {{4, {"", "0 g 1 1 5 5 re f"}}}),
         "0 g 1 1 5 5 re f", "", "/Filter"},
        {"flate decoded", page_doc("/Contents 4 0 R", {}, {{4, {"", "0.5 g 0 0 9 9 re f"}}}, true),
         "0.5 g 0 0 9 9 re f", "", "/Filter"},
        // Streams of an array meet at a line break, so tokens stay apart;
        // a missing element adds nothing.
        {"array, middle missing",
         page_doc("/Contents [4 0 R 9 0 R 5 0 R]", {}, {{4, {"", "q"}}, {5, {"", "Q"}}}), "q\nQ", "",
         ""},
        {"array, flate", page_doc("/Contents [4 0 R 5 0 R]", {}, {{4, {"", "q 0 g"}}, {5, {"", "Q"}}}, true),
         "q 0 g\nQ", "", "/Filter"},
        {"array given by reference",
         page_doc("/Contents 6 0 R", {{6, "[4 0 R 5 0 R]"}}, {{4, {"", "q"}}, {5, {"", "Q"}}}),
         "q\nQ", "", ""},
        {"reference to a non-stream, non-array", page_doc("/Contents 6 0 R", {{6, "42"}}, {}), "", "",
         ""},
        {"kept encoded: filter goes along",
         page_doc("/Contents 4 0 R", {}, {{4, {"/Filter /ASCIIHexDecode", hex + ">"}}}), hex + ">",
         "/Filter /ASCIIHexDecode", "/DecodeParms"},
        {"kept encoded with parameters",
         page_doc("/Contents 4 0 R", {},
                  {{4, {"/Filter [/ASCIIHexDecode] /DecodeParms [null]", hex + ">"}}}),
         hex + ">", "/Filter [/ASCIIHexDecode] /DecodeParms [null]", ""},
        // An annotation written in place has a /Contents text of its own,
        // before the page's.
        {"annotation text first",
         page_doc("/Annots [<< /Type /Annot /Subtype /Text /Rect [0 0 1 1] /Contents (note) >>] "
                  "/Contents 4 0 R",
                  {}, {{4, {"", "0 g 2 2 4 4 re f"}}}),
         "0 g 2 2 4 4 re f", "", ""},
    };
    for (const ContentCase &c : cases) {
        auto r = run_nup(c.input, 2, 0, 1, 0);
        ASSERT_EQ(r.rc, 1) << c.name << ": " << r.err;
        EXPECT_EQ(nuptest::stream_data(r.pdf, 4), c.data) << c.name;
        std::string form = nuptest::object_text(r.pdf, 4);
        std::string dict = form.substr(0, form.find(" stream\n"));
        if (!c.dict_has.empty()) EXPECT_NE(dict.find(c.dict_has), std::string::npos) << c.name << ": " << dict;
        if (!c.dict_lacks.empty()) EXPECT_EQ(dict.find(c.dict_lacks), std::string::npos) << c.name;
        EXPECT_NE(form.find(c.data + "\nendstream\nendobj\n"), std::string::npos) << c.name;
    }
}

TEST(Forms, StreamWrittenInPlaceOfTheReference) {
    // Not valid PDF, but seen: the data is taken as stored.
    std::string in = page_doc("/Contents << /Length 5 >> stream\nabcde\nendstream", {}, {});
    auto r = run_nup(in, 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(nuptest::stream_data(r.pdf, 4), "abcde");
}

TEST(Forms, ResourcesWrittenInline) {
    // A resource dictionary of its own object is written into the form.
    std::string in = page_doc("/Resources 7 0 R /Contents 4 0 R",
                              {{7, "<< /ProcSet [/PDF] /ExtGState << /G0 << /CA 0.5 >> >> >>"}},
                              {{4, {"", "/G0 gs"}}});
    auto r = run_nup(in, 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(nuptest::object_text(r.pdf, 4)
                  .find(" /Resources << /ProcSet [/PDF] /ExtGState << /G0 << /CA 0.5 >> >> >> >> stream\n"),
              std::string::npos);
}

TEST(Forms, ResourcesRenumberedAsFound) {
    // The references the gathering found are the ones the form splices its
    // numbers into, on both paths (the options interface repairs carried
    // text). One sheet of 2: carried objects from 7 on, in order met.
    const std::string deep = std::string(300, '[') + "5 0 R" + std::string(300, ']');
    const struct {
        std::string res, want;  // "" want: no /Resources at all
    } cases[] = {
        {"<< /ExtGState << /G0 5 0 R /G1 6 0 R >> >>", "<< /ExtGState << /G0 7 0 R /G1 8 0 R >> >>"},
        {"<< /ExtGState << /G0 6\n0\rR /G1 5 3  R>> >>", "<< /ExtGState << /G0 7 0 R /G1 8 0 R>> >>"},
        {"<< /X (5 0 R) /Y /5 %5 0 R\n/ExtGState << /G0 6 0 R >> >>",
         "<< /X (5 0 R) /Y /5 %5 0 R\n/ExtGState << /G0 7 0 R >> >>"},
        {"<< /P 3 0 R /Q 99999999999 0 R /A [5 0 R 5 0 R 6 0 R] >>",
         "<< /P null /Q null /A [7 0 R 7 0 R 8 0 R] >>"},
        {"<< /ExtGState << /G0 5 0 R >> /Deep " + deep + " >>", ""},
    };
    for (const auto &c : cases) {
        std::string in = page_doc("/Resources " + c.res + " /Contents 4 0 R",
                                  {{5, "<< /CA 0.5 >>"}, {6, "<< /ca 0.5 >>"}}, {{4, {"", "0 g"}}});
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.columns = 2;
        o.rows = 1;
        o.keep = 0;
        o.compress = SHEETLAY_COMPRESS_NONE;
        void *out = nullptr;
        size_t n = 0;
        ASSERT_EQ(sheetlay_nup_mem(in.data(), in.size(), &out, &n, &o, nullptr, 0), 1) << c.res;
        const std::string repaired(static_cast<const char *>(out), n);
        sheetlay_free(out);
        for (const std::string &pdf : {run_nup(in, 2, 0, 1, 0, false).pdf, repaired}) {
            const std::string form = nuptest::object_text(pdf, 4);
            if (c.want.empty())
                EXPECT_EQ(form.find("/Resources"), std::string::npos) << form;
            else
                EXPECT_NE(form.find(" /Resources " + c.want + " >> stream\n"), std::string::npos)
                    << c.res << "\n" << form;
        }
    }
}

TEST(Forms, PageListedManyTimes) {
    // One page object under two /Pages nodes that hand down different
    // rotations and resources: each listing gets its own form.
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [10 0 R 11 0 R] /Count 3 >>");
    b.add(10, "<< /Type /Pages /Parent 2 0 R /Kids [3 0 R 3 0 R] /Count 2 /Rotate 90 "
              "/Resources << /Font << /F1 20 0 R >> >> >>");
    b.add(11, "<< /Type /Pages /Parent 2 0 R /Kids [3 0 R] /Count 1 "
              "/Resources << /Font << /F1 21 0 R >> >> >>");
    b.add(3, "<< /Type /Page /Parent 10 0 R /MediaBox [0 0 200 300] /Contents 4 0 R >>");
    b.add_stream(4, "", "0 g 0 0 20 20 re f", {.flate = true});
    b.add(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    b.add(21, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>");
    auto r = run_nup(b.finish("/Root 1 0 R"), 4, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    // One sheet of 4: forms 4, 5, 6; fonts 20 -> 9, 21 -> 10.
    const char *want[] = {
        "/Matrix [0 -1 1 0 0 200] /Length 18 /Resources << /Font << /F1 9 0 R >> >> >> stream",
        "/Matrix [0 -1 1 0 0 200] /Length 18 /Resources << /Font << /F1 9 0 R >> >> >> stream",
        "/BBox [0 0 200 300] /Length 18 /Resources << /Font << /F1 10 0 R >> >> >> stream"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(nuptest::object_text(r.pdf, 4 + i).find(want[i]), std::string::npos)
            << nuptest::object_text(r.pdf, 4 + i);
        EXPECT_EQ(nuptest::stream_data(r.pdf, 4 + i), "0 g 0 0 20 20 re f");
    }
}

TEST(Forms, LargeDecodedContent) {
    // More than the output image's first block, decoded in place.
    std::string big;
    for (int i = 0; big.size() < 3u * 1024 * 1024; ++i)
        big += "0 g " + std::to_string(i % 200) + " 0 1 1 re f\n";
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>");
    b.add_stream(4, "", big, {.flate = true});
    b.add(5, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents [6 0 R 6 0 R] >>");
    b.add_stream(6, "", big, {.flate = true});
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, -1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(nuptest::stream_data(r.pdf, 4), big);
    EXPECT_EQ(nuptest::stream_data(r.pdf, 5), big + "\n" + big);
}

// ---------------------------------------------------------------------------
// Failure paths

TEST(Output, CannotWrite) {
    std::string path = testtools::tmp_dir() + "/no-such-dir/out.pdf";
    sheetlay::doc d{};
    std::string in = pdfgen::make_pages(2);
    ASSERT_EQ(sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(in.data()), in.size(),
                                     "in.pdf", &d),
              0);
    EXPECT_EQ(sheetlay::nup_doc(&d, path.c_str(), 2, 0, -1, 0), 0);
    EXPECT_EQ(std::string(sheetlay::g_err), "cannot write " + path);
    EXPECT_FALSE(testtools::file_exists(path));

    // A full device: the bytes do not all reach it.
    if (testtools::file_exists("/dev/full")) {
        EXPECT_EQ(sheetlay::nup_doc(&d, "/dev/full", 2, 0, -1, 0), 0);
        std::string err = sheetlay::g_err;
        EXPECT_TRUE(err == "short write to /dev/full" || err == "close error on /dev/full") << err;
    }
    sheetlay::doc_free(&d);
}

TEST(Output, FallbackMessageReplacesAnEarlierOne) {
    std::string in = pdfgen::make_pages(1);
    auto bad = run_nup(in, 5, 0, 0, 0);
    EXPECT_EQ(bad.err, "n must be 2, 4, 6, 9 or 16 (got 5)");
    // A page whose object is gone fails without a message of its own.
    sheetlay::doc d{};
    sheetlay::pageinfo pages[2] = {{3, 0, 0, 0, 612, 792, -1}, {9, 0, 0, 0, 612, 792, -1}};
    sheetlay::obj_entry e{};
    e.num = 3;
    e.hdr_pos = e.dict_pos = e.stream_pos = e.data_start = e.data_end = e.endobj_pos = -1;
    d.pages.items = pages;
    d.pages.count = 2;
    d.objs.items = &e;
    d.objs.count = 1;
    d.max_num = 9;
    std::string path = testtools::tmp_path("fb");
    EXPECT_EQ(sheetlay::nup_doc(&d, path.c_str(), 2, 0, -1, 0), 0);
    EXPECT_STREQ(sheetlay::g_err, "failed to build output (damaged page tree or content)");
    EXPECT_FALSE(testtools::file_exists(path));
}

TEST(Output, DegeneratePageFailsWholeCall) {
    // A later page whose box is a single point has no finite scale; its
    // numbers would print as no PDF number.
    std::vector<PageSpec> pages(2);
    pages[1].crop_box = "[300 300 300 300]";
    auto r = run_nup(pdfgen::make_simple_doc(pages), 2, 0, 1, 0);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "failed to build output (damaged page tree or content)");
    EXPECT_FALSE(r.file_created);
}

TEST(Output, ManyPages) {
    // A thousand pages: the work grows with the input, not its square.
    auto r = run_nup(pdfgen::make_pages(1000), 16, 1, 0, 1);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(r.pdf.find("/Type /Pages /Count 63 "), std::string::npos);
    auto objs = nuptest::xref_objects(r.pdf);
    EXPECT_EQ(objs.size(), 2u + 63 * 2 + 1000);
}

}  // namespace
