// Lenient reading (the options interface): page trees other readers accept
// although they break the rules, and an encryption dictionary without
// /Length. The loader's default, used by the fixed-grid functions, keeps
// refusing them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error.h"
#include "pdf/document.h"
#include "pdf/load.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

using pdfgen::PdfBuilder;

struct Loaded {
    int rc = -1;
    std::string err;
    std::vector<int> pages;
};

Loaded load(const std::string &pdf, bool lenient) {
    Loaded r;
    sheetlay::doc d{};
    sheetlay::load_options lo;
    lo.lenient = lenient;
    r.rc = sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(pdf.data()), pdf.size(),
                                  "input", &d, lo);
    r.err = sheetlay::g_err;
    for (int32_t i = 0; r.rc == 0 && i < d.pages.count; ++i) r.pages.push_back(d.pages.items[i].num);
    sheetlay::doc_free(&d);
    return r;
}

std::string nup_mem(const std::string &input, std::string *err) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    void *out = nullptr;
    size_t n = 0;
    char e[256] = {0};
    int ok = sheetlay_nup_mem(input.data(), input.size(), &out, &n, &o, e, sizeof e);
    *err = e;
    if (!ok) return "";
    std::string s(static_cast<const char *>(out), n);
    sheetlay_free(out);
    return s;
}

const char kPage[] = "/MediaBox [0 0 200 200] /Contents 9 0 R";

TEST(LenientTree, ReadWhatTheStrictReaderRefuses) {
    struct Case {
        const char *name;
        std::string root;                // object 2
        std::vector<std::string> more;   // objects 3, 4, ...
        std::vector<int> pages;          // when lenient; inline pages numbered after the last object
    } cases[] = {
        {"untyped node and page", "<< /Kids [3 0 R] >>", {std::string("<< ") + kPage + " >>"}, {3}},
        {"untyped inner node", "<< /Type /Pages /Kids [3 0 R 4 0 R] >>",
         {"<< /Kids [4 0 R] >>", std::string("<< /Type /Page ") + kPage + " >>"}, {4, 4}},
        {"loop to the root", "<< /Type /Pages /Kids [3 0 R 2 0 R] >>",
         {std::string("<< /Type /Page ") + kPage + " >>"}, {3}},
        {"node listed twice", "<< /Type /Pages /Kids [3 0 R 3 0 R] >>",
         {"<< /Type /Pages /Kids [4 0 R] >>", std::string("<< /Type /Page ") + kPage + " >>"}, {4}},
        {"pages inside /Kids", std::string("<< /Type /Pages /Kids [<< /Type /Page ") + kPage +
                                   " >> 3 0 R << " + kPage + " >>] >>",
         {std::string("<< /Type /Page ") + kPage + " >>"}, {10, 3, 11}},
    };
    for (const Case &c : cases) {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, c.root);
        int num = 3;
        for (const std::string &m : c.more) b.add(num++, m);
        b.add_stream(9, "", "0 0 1 rg 10 10 80 80 re f");
        std::string pdf = b.finish("/Root 1 0 R");
        Loaded strict = load(pdf, false);
        EXPECT_EQ(strict.rc, -1) << c.name;
        Loaded lenient = load(pdf, true);
        ASSERT_EQ(lenient.rc, 0) << c.name << ": " << lenient.err;
        EXPECT_EQ(lenient.pages, c.pages) << c.name;
        // Through the options interface: written, and clean.
        std::string err;
        std::string out = nup_mem(pdf, &err);
        ASSERT_FALSE(out.empty()) << c.name << ": " << err;
        if (testtools::have_qpdf()) {
            std::string path = testtools::write_temp(out, "lenient");
            testtools::QpdfResult q = testtools::qpdf_check(path);
            EXPECT_EQ(q.status, 0) << c.name << "\n" << q.out;
            testtools::remove_file(path);
        }
    }
}

TEST(LenientTree, StillRefused) {
    struct Case {
        const char *name;
        std::string root;
        std::vector<std::string> more;
    } cases[] = {
        {"typed as something else", "<< /Type /Pages /Kids [3 0 R] >>", {"<< /Type /Annot >>"}},
        {"not a dictionary", "<< /Type /Pages /Kids [3 0 R] >>", {"[1 2 3]"}},
        {"missing kid", "<< /Type /Pages /Kids [7 0 R] >>", {}},
        {"inline kid that is a node", "<< /Type /Pages /Kids [<< /Kids [] >>] >>", {}},
    };
    for (const Case &c : cases) {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, c.root);
        int num = 3;
        for (const std::string &m : c.more) b.add(num++, m);
        Loaded lenient = load(b.finish("/Root 1 0 R"), true);
        EXPECT_EQ(lenient.rc, -1) << c.name;
    }
}

// Object streams and where a cross-reference stream may hide.

// An object stream's data holding `members`, and its /First.
std::string objstm_data(const std::vector<std::pair<int, std::string>> &members, int *first) {
    std::string head, body;
    for (const auto &[num, text] : members) {
        head += std::to_string(num) + " " + std::to_string(body.size()) + " ";
        body += text + "\n";
    }
    *first = static_cast<int>(head.size());
    return head + body;
}

TEST(LenientObjects, ObjectStreamsAndCrossReferenceInsideThem) {
    const std::vector<std::pair<int, std::string>> tree = {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
        {3, std::string("<< /Type /Page /Parent 2 0 R ") + kPage + " >>"},
    };
    auto with_xref_dict = tree;
    with_xref_dict.push_back({11, "<< /Type /XRef /Size 12 /Root 1 0 R /W [1 2 1] >>"});
    struct Case {
        const char *name;
        std::string type;  // the object stream's /Type entry
        const std::vector<std::pair<int, std::string>> *members;
        int ending;  // 0 table and trailer, 1 startxref at the object stream, 2 no cross-reference at all
        bool strict_reads;  // the default loader reads it too
    } cases[] = {
        {"object stream typed otherwise", "/Type /Potato", &tree, 0, false},
        {"object stream without /Type", "", &tree, 0, false},
        {"cross-reference dictionary inside an object stream, startxref at the stream",
         "/Type /ObjStm", &with_xref_dict, 1, true},
        {"cross-reference dictionary inside an object stream, no startxref", "/Type /ObjStm", &with_xref_dict,
         2, true},
        {"both", "/Type /Potato", &with_xref_dict, 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PdfBuilder b("%PDF-1.5\n");
        int first = 0;
        std::string data = objstm_data(*c.members, &first);
        b.add_stream(9, "", "0 0 1 rg 10 10 80 80 re f");
        const int64_t at = b.size();
        b.add_stream(10, c.type + " /N " + std::to_string(c.members->size()) + " /First " + std::to_string(first),
                     data);
        std::string pdf;
        if (c.ending == 0) {
            pdf = b.finish("/Root 1 0 R");
        } else {
            b.raw("startxref\n" + std::to_string(c.ending == 1 ? at : 0) + "\n%%EOF\n");
            pdf = b.bytes();
        }
        Loaded strict = load(pdf, false);
        EXPECT_EQ(strict.rc == 0, c.strict_reads) << strict.err;
        Loaded lenient = load(pdf, true);
        ASSERT_EQ(lenient.rc, 0) << lenient.err;
        EXPECT_EQ(lenient.pages, std::vector<int>{3});
        std::string err;
        std::string out = nup_mem(pdf, &err);
        ASSERT_FALSE(out.empty()) << err;
        if (testtools::have_qpdf()) {
            std::string path = testtools::write_temp(out, "lenobj");
            testtools::QpdfResult q = testtools::qpdf_check(path);
            EXPECT_EQ(q.status, 0) << q.out;
            testtools::remove_file(path);
        }
    }
}

// A stream with /N alone (a colour profile) stays a stream.
TEST(LenientObjects, ProfileIsNoObjectStream) {
    PdfBuilder b("%PDF-1.5\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, std::string("<< /Type /Page /Parent 2 0 R /Resources << /ColorSpace << /C [/ICCBased 4 0 R] >> >> ") +
                 kPage + " >>");
    b.add_stream(4, "/N 3", "5 0 6 0 7 0 garbage");
    b.add_stream(9, "", "0 0 1 rg 10 10 80 80 re f");
    std::string pdf = b.finish("/Root 1 0 R");
    Loaded lenient = load(pdf, true);
    ASSERT_EQ(lenient.rc, 0) << lenient.err;
    EXPECT_EQ(lenient.pages, std::vector<int>{3});
    std::string err;
    std::string out = nup_mem(pdf, &err);
    ASSERT_FALSE(out.empty()) << err;
    EXPECT_NE(out.find("/ICCBased"), std::string::npos);
}

// An untyped page is a page-tree member: an annotation's /P pointing at it
// does not drag the page (and through /Parent the tree) into the output.
TEST(LenientTree, UntypedPagesAreNotCarried) {
    PdfBuilder b("%PDF-1.4\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Kids [3 0 R] >>");
    b.add(3, std::string("<< /Parent 2 0 R /Resources << /XObject << /X 4 0 R >> >> ") + kPage + " >>");
    b.add(4, "<< /Owner 3 0 R /Marker (untyped-page-test) >>");
    b.add_stream(9, "", "0 0 1 rg 10 10 80 80 re f");
    std::string err;
    std::string out = nup_mem(b.finish("/Root 1 0 R"), &err);
    ASSERT_FALSE(out.empty()) << err;
    EXPECT_EQ(out.find("/Parent"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Encryption without /Length

TEST(LenientEncryption, MissingLengthTriesTheWideKey) {
    REQUIRE_QPDF();
    PdfBuilder b("%PDF-1.4\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, std::string("<< /Type /Page /Parent 2 0 R ") + kPage + " >>");
    b.add_stream(9, "", "0 0 1 rg 10 10 80 80 re f");
    std::string plain = testtools::write_temp(b.finish("/Root 1 0 R"), "plain");
    for (const char *bits : {"40", "128"}) {
        std::string enc = testtools::tmp_path("nolen");
        std::vector<std::string> argv{testtools::qpdf_path(), "--allow-weak-crypto", "--object-streams=disable",
                                      "--encrypt", "", "owner", bits};
        if (std::string(bits) == "128") argv.push_back("--use-aes=n");
        argv.insert(argv.end(), {"--", plain, enc});
        testtools::CmdResult made = testtools::run_cmd(argv);
        ASSERT_EQ(made.status, 0) << bits << made.out;
        std::string pdf = testtools::read_file(enc).value_or("");
        testtools::remove_file(enc);
        // The same number of bytes, so the offsets stay right.
        size_t at = pdf.find(std::string("/Length ") + bits);
        ASSERT_NE(at, std::string::npos) << bits;
        pdf.replace(at, 7, "/Wength");
        std::string err;
        std::string out = nup_mem(pdf, &err);
        EXPECT_FALSE(out.empty()) << bits << ": " << err;
        EXPECT_EQ(load(pdf, false).rc, -1) << bits;  // encrypted: the default loader refuses
    }
    testtools::remove_file(plain);
}

}  // namespace
