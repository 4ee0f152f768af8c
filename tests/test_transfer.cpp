// Resource transfer: every object the placed pages' resources reach is
// carried over whole, under new numbers, with the references inside it
// renumbered.
#include <gtest/gtest.h>

#include <map>
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
using pdfgen::PdfBuilder;

namespace {

// Catalog 1, pages node 2, one page 3 per entry of `resources` (content 4,
// 6, ... "0 g 0 0 10 10 re f"), then the given objects.
PdfBuilder pages_with(const std::vector<std::string> &resources) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (size_t i = 0; i < resources.size(); ++i)
        kids += (i ? " " : "") + std::to_string(3 + 2 * i) + " 0 R";
    b.add(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(resources.size()) +
                 " >>");
    for (size_t i = 0; i < resources.size(); ++i) {
        int pg = static_cast<int>(3 + 2 * i);
        b.add(pg, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Resources " +
                      resources[i] + " /Contents " + std::to_string(pg + 1) + " 0 R >>");
        b.add_stream(pg + 1, "", "0 g 0 0 10 10 re f");
    }
    return b;
}

// The body of output object `num` (between its header line and "endobj").
std::string body(const std::string &pdf, int num) {
    std::string t = nuptest::object_text(pdf, num);
    size_t h = t.find('\n');
    if (h == std::string::npos) return "";
    return t.substr(h + 1, t.size() - h - 1 - 7);
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

TEST(Transfer, FontWithDescriptorAndProgram) {
    PdfBuilder b = pages_with({"<< /Font << /F1 10 0 R >> >>"});
    b.add(10, "<< /Type /Font /Subtype /TrueType /BaseFont /Demo /FirstChar 32 /LastChar 33 "
              "/Widths 13 0 R /FontDescriptor 11 0 R >>");
    b.add(11, "<< /Type /FontDescriptor /FontName /Demo /Flags 32 /FontFile2 12 0 R >>");
    b.add_stream(12, "/Length1 4", std::string("\x00\x01\x00\x00", 4), {.length_obj = 14});
    b.add(13, "[500 600]");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    // One sheet of 2: objects 1 to 6; carried ones from 7 on, breadth first:
    // 10, then 13 and 11 (in the font's text order), then 12, then 14.
    EXPECT_NE(nuptest::object_text(r.pdf, 4).find("/Resources << /Font << /F1 7 0 R >> >>"),
              std::string::npos);
    EXPECT_EQ(body(r.pdf, 7),
              "<< /Type /Font /Subtype /TrueType /BaseFont /Demo /FirstChar 32 /LastChar 33 "
              "/Widths 8 0 R /FontDescriptor 9 0 R >>\n");
    EXPECT_EQ(body(r.pdf, 8), "[500 600]\n");
    EXPECT_EQ(body(r.pdf, 9), "<< /Type /FontDescriptor /FontName /Demo /Flags 32 /FontFile2 10 0 R >>\n");
    std::string prog = nuptest::object_text(r.pdf, 10);
    EXPECT_NE(prog.find("/Length 11 0 R"), std::string::npos) << prog;
    EXPECT_NE(prog.find(std::string("stream\n") + std::string("\x00\x01\x00\x00", 4) +
                        "\nendstream\nendobj\n"),
              std::string::npos);
    EXPECT_EQ(body(r.pdf, 11), "4\n");
    EXPECT_NE(r.pdf.find("/Size 12 "), std::string::npos);
}

TEST(Transfer, SharedFontCarriedOnce) {
    PdfBuilder b = pages_with({"<< /Font << /F1 20 0 R >> >>", "<< /Font << /A 20 0 R /B 21 0 R >> >>",
                               "<< /Font << /F1 21 0 R >> >>"});
    b.add(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    b.add(21, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>");
    auto r = run_nup(b.finish("/Root 1 0 R"), 4, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    // One sheet of 4: objects 1 to 8; 20 -> 9, 21 -> 10; nothing more.
    EXPECT_NE(r.pdf.find("/Size 11 "), std::string::npos);
    EXPECT_EQ(body(r.pdf, 9), "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\n");
    EXPECT_EQ(body(r.pdf, 10), "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>\n");
    EXPECT_NE(nuptest::object_text(r.pdf, 5).find("<< /Font << /A 9 0 R /B 10 0 R >> >>"),
              std::string::npos);
}

TEST(Transfer, SeventyFontsAllCarried) {
    std::string fonts;
    PdfBuilder b = [&] {
        std::vector<std::string> res(2);
        for (int i = 0; i < 70; ++i)
            res[i % 2] += "/F" + std::to_string(i) + " " + std::to_string(100 + i) + " 0 R ";
        return pages_with({"<< /Font << " + res[0] + ">> >>", "<< /Font << " + res[1] + ">> >>"});
    }();
    for (int i = 0; i < 70; ++i)
        b.add(100 + i, "<< /Type /Font /Subtype /Type1 /BaseFont /F" + std::to_string(i) + " >>");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    auto objs = nuptest::xref_objects(r.pdf);
    EXPECT_EQ(objs.size(), 6u + 70);
    // Page order, then text order: page 1 holds the even fonts.
    for (int i = 0; i < 70; ++i) {
        int out = 7 + (i % 2 ? 35 + i / 2 : i / 2);
        EXPECT_EQ(body(r.pdf, out),
                  "<< /Type /Font /Subtype /Type1 /BaseFont /F" + std::to_string(i) + " >>\n")
            << i;
    }
}

TEST(Transfer, PagesAndTreeNodesBecomeNull) {
    PdfBuilder b = pages_with({"<< /XObject << /X 30 0 R >> /Properties << /P 2 0 R >> >>"});
    // A form that names its page (as some producers do) and the catalog's tree.
    b.add_stream(30, "/Type /XObject /Subtype /Form /BBox [0 0 10 10] /Page 3 0 R /Extra [3 0 R 31 0 R]",
                 "0 g 0 0 5 5 re f");
    b.add(31, "<< /Kids [2 0 R] >>");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(nuptest::object_text(r.pdf, 4).find("/Properties << /P null >>"), std::string::npos);
    std::string x = nuptest::object_text(r.pdf, 7);
    EXPECT_NE(x.find("/Page null /Extra [null 8 0 R]"), std::string::npos) << x;
    EXPECT_EQ(body(r.pdf, 8), "<< /Kids [null] >>\n");
}

TEST(Transfer, StringsAndNamesAreNotReferences) {
    PdfBuilder b = pages_with({"<< /ExtGState << /G1 40 0 R >> >>"});
    b.add(40, "<< /Type /ExtGState /Note (see 1 0 R \\) and (nested 2 0 R)) /Hex <31203020 52> "
              "/Name1 0 R /Next 41 0 R\n% a comment 1 0 R\n/CA 1 >>");
    b.add(41, "<< /Type /ExtGState /ca 1 >>");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(body(r.pdf, 7),
              "<< /Type /ExtGState /Note (see 1 0 R \\) and (nested 2 0 R)) /Hex <31203020 52> "
              "/Name1 null /Next 8 0 R\n% a comment 1 0 R\n/CA 1 >>\n");
    EXPECT_NE(r.pdf.find("/Size 9 "), std::string::npos);
}

TEST(Transfer, ReferenceForms) {
    struct Case {
        const char *name;
        std::string resources;  // refers to object 50 (a font)
        std::string written;    // as the form's resources say it
    };
    const Case cases[] = {
        {"plain", "<< /Font << /F1 50 0 R >> >>", "<< /Font << /F1 7 0 R >> >>"},
        {"line breaks", "<< /Font << /F1 50\n0\r\nR >> >>", "<< /Font << /F1 7 0 R >> >>"},
        {"no generation", "<< /Font << /F1 50 R>> >>", "<< /Font << /F1 7 0 R>> >>"},
        {"long generation", "<< /Font << /F1 50 10 R >> >>", "<< /Font << /F1 7 0 R >> >>"},
        {"no object of that number", "<< /Font << /F1 50 0 R /F2 99999999999 0 R /F3 0 0 R >> >>",
         "<< /Font << /F1 7 0 R /F2 null /F3 null >> >>"},
        // Not valid PDF (qpdf rightly warns), but no reference either.
        {"R ends a longer word", "<< /Font << /F1 50 0 R >> /X [1 0 Rx] >>",
         "<< /Font << /F1 7 0 R >> /X [1 0 Rx] >>"},
    };
    for (const Case &c : cases) {
        PdfBuilder b = pages_with({c.resources});
        b.add(50, "<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman >>", 10);
        auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0, c.resources.find("Rx") == std::string::npos);
        ASSERT_EQ(r.rc, 1) << c.name << ": " << r.err;
        EXPECT_NE(nuptest::object_text(r.pdf, 4).find("/Resources " + c.written + " >> stream"),
                  std::string::npos)
            << c.name << ": " << nuptest::object_text(r.pdf, 4);
        EXPECT_EQ(body(r.pdf, 7), "<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman >>\n")
            << c.name;
    }
}

TEST(Transfer, MissingObjectsAreNullObjects) {
    // 60 is named but never written; the table lists numbers up to 61.
    PdfBuilder b = pages_with({"<< /Font << /F1 61 0 R >> >>"});
    b.add(61, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding 60 0 R >>");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(r.pdf.find("8 0 obj\nnull\nendobj\n"), std::string::npos);
    EXPECT_NE(body(r.pdf, 7).find("/Encoding 8 0 R"), std::string::npos);
}

TEST(Transfer, StreamWithWrongLengthIsMadeRight) {
    // The image's /Length lies; its data runs to "endstream". Every /Length
    // entry gives way to one that states the true length.
    const char *lengths[] = {"3", "[1 2 -3]", "3 /Length 9", "2 /Length /Foo"};
    for (const char *len : lengths) {
        PdfBuilder b = pages_with({"<< /XObject << /Im 70 0 R >> >>"});
        b.add_stream(70, "/Type /XObject /Subtype /Image /Width 2 /Height 2 /ColorSpace /DeviceGray "
                         "/BitsPerComponent 8",
                     "\x10\x80\xF0\x40", {.length_text = len});
        auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
        ASSERT_EQ(r.rc, 1) << r.err;
        std::string im = nuptest::object_text(r.pdf, 7);
        ASSERT_NE(im.find("/Length 4 "), std::string::npos) << len << ": " << im;
        EXPECT_EQ(im.rfind("/Length"), im.find("/Length 4 ")) << len << ": " << im;
        EXPECT_EQ(nuptest::stream_data(r.pdf, 7), "\x10\x80\xF0\x40") << len;
    }
}

TEST(Transfer, ForwardingObjectsNameTheirTarget) {
    // An object whose whole value is a reference is not an object of its
    // own in the output: references to it name what it forwards to.
    PdfBuilder b = pages_with({"<< /Font << /F1 60 0 R /F2 62 0 R /F3 63 0 R >> >>"});
    b.add(60, "61 0 R");
    b.add(61, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>");
    b.add(62, "62 0 R");  // itself
    b.add(63, "64 0 R");  // a circle
    b.add(64, "\n 63 0 R \n");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(nuptest::object_text(r.pdf, 4).find("<< /Font << /F1 7 0 R /F2 null /F3 null >> >>"),
              std::string::npos);
    EXPECT_EQ(body(r.pdf, 7), "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>\n");
    EXPECT_NE(r.pdf.find("/Size 8 "), std::string::npos);
}

TEST(Transfer, NestingTooDeepIsLeftOut) {
    // Far deeper than any real file; other readers refuse such objects.
    auto nest = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i) s += "[ ";
        s += "0";
        for (int i = 0; i < depth; ++i) s += " ]";
        return s;
    };
    PdfBuilder b = pages_with({"<< /Font << /F1 65 0 R /F2 66 0 R >> >>", "<< /X " + nest(300) + " >>"});
    b.add(65, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier /X " + nest(300) + " >>");
    b.add(66, "<< /Type /Font /Subtype /Type1 /BaseFont /Symbol /X " + nest(200) + " >>");
    auto r = run_nup(b.finish("/Root 1 0 R"), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(body(r.pdf, 7), "null\n");
    EXPECT_NE(body(r.pdf, 8).find("/BaseFont /Symbol"), std::string::npos);
    EXPECT_EQ(nuptest::object_text(r.pdf, 5).find("/Resources"), std::string::npos);
}

TEST(Transfer, ObjectStreamMembers) {
    // Fonts stored in an object stream come out as plain objects, their
    // references renumbered.
    PdfBuilder b = pages_with({"<< /Font << /F1 80 0 R >> >>"});
    b.add_objstm(90, {{80, "<< /Type /Font /Subtype /Type1 /BaseFont /Symbol /Encoding 81 0 R >>"},
                      {81, "<< /Type /Encoding /Differences [32 /space] >>"}});
    b.finish_xref_stream(91, "/Root 1 0 R");
    auto r = run_nup(b.bytes(), 2, 0, 1, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(trimmed(body(r.pdf, 7)),
              "<< /Type /Font /Subtype /Type1 /BaseFont /Symbol /Encoding 8 0 R >>");
    EXPECT_EQ(trimmed(body(r.pdf, 8)), "<< /Type /Encoding /Differences [32 /space] >>");
}

TEST(Transfer, ManyPagesShareResources) {
    // 2,000 pages, each with its own image and a shared font: the closure
    // and the renumbering stay linear.
    std::vector<std::string> res;
    for (int i = 0; i < 2000; ++i)
        res.push_back("<< /Font << /F 5000 0 R >> /XObject << /I " + std::to_string(6000 + i) +
                      " 0 R >> >>");
    PdfBuilder b = pages_with(res);
    b.add(5000, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    for (int i = 0; i < 2000; ++i)
        b.add_stream(6000 + i, "/Type /XObject /Subtype /Image /Width 1 /Height 1 /ColorSpace "
                               "/DeviceGray /BitsPerComponent 8",
                     "\x80");
    auto r = run_nup(b.finish("/Root 1 0 R"), 16, 0, 0, 0);
    ASSERT_EQ(r.rc, 1) << r.err;
    auto objs = nuptest::xref_objects(r.pdf);
    EXPECT_EQ(objs.size(), 2u + 125 * 2 + 2000 + 2001);
}

}  // namespace
