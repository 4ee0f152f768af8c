// Loading: reading the file, the trailer information, the object index,
// the catalog, the page tree and the page attributes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "error.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using namespace sheetlay;
using pdfgen::PdfBuilder;

namespace {

// A document loaded from memory; released at the end of the test.
struct Loaded {
    doc d{};
    int rc = -1;
    std::string err;
    explicit Loaded(const std::string &bytes) {
        rc = doc_load_mem(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                          "in.pdf", &d);
        err = g_err;
    }
    ~Loaded() {
        if (rc == 0) doc_free(&d);
    }
    Loaded(const Loaded &) = delete;
    Loaded &operator=(const Loaded &) = delete;

    std::vector<int> page_nums() const {
        std::vector<int> v;
        for (int32_t i = 0; i < d.pages.count; ++i) v.push_back(d.pages.items[i].num);
        return v;
    }
    const obj_entry *obj(int num) const { return objvec_find(&d.objs, num); }
    int rotation(int i) const {
        const pageinfo &pi = d.pages.items[i];
        return page_rotation(&d, &pi, obj(pi.num));
    }
    std::vector<double> box(int i) const {
        const pageinfo &p = d.pages.items[i];
        return {p.x0, p.y0, p.x1, p.y1};
    }
    std::string resources(int i) const {
        const pageinfo &pi = d.pages.items[i];
        char *r = page_resources(&d, &pi, obj(pi.num));
        std::string s = r ? r : "(none)";
        std::free(r);
        return s;
    }
};

const char *kBroken =
    "could not resolve the page tree (obj 2 is not a /Pages or /Page object, or tree is broken)";

// Objects 1 (catalog), 2 (root node) and 3 (the page): the smallest
// document, without any cross-reference section.
PdfBuilder one_page(const std::string &page_extra = "", const std::string &header = "%PDF-1.4\n") {
    PdfBuilder b(header);
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 300] " + page_extra + ">>");
    return b;
}

// Two catalogs: 1 leads to one page (3), 5 to two pages (7, 8). Which one
// loading took shows in the page count.
PdfBuilder two_catalogs() {
    PdfBuilder b = one_page();
    b.add(5, "<< /Type /Catalog /Pages 6 0 R >>");
    b.add(6, "<< /Type /Pages /Kids [7 0 R 8 0 R] /Count 2 >>");
    b.add(7, "<< /Type /Page /Parent 6 0 R >>");
    b.add(8, "<< /Type /Page /Parent 6 0 R >>");
    return b;
}

// A cross-reference stream object, as far as loading reads one.
std::string xref_obj(int num, const std::string &entries) {
    return std::to_string(num) + " 0 obj\n<< /Type /XRef " + entries +
           " /Length 0 >>\nstream\n\nendstream\nendobj\n";
}

// A page tree of `levels` /Pages nodes in a chain (objects 2 .. levels+1,
// the last holding the page, object 1000).
std::string chain(int levels) {
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    for (int i = 0; i < levels; ++i) {
        int kid = i + 1 < levels ? i + 3 : 1000;
        b.add(i + 2, "<< /Type /Pages /Kids [" + std::to_string(kid) + " 0 R] >>");
    }
    b.add(1000, "<< /Type /Page >>");
    return b.finish("/Root 1 0 R");
}

// ---------------------------------------------------------------------------
// Trailer information

TEST(LoadTrailer, RootFromClassicTrailer) {
    Loaded l(two_catalogs().finish("/Root 5 0 R"));
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.root, 5);
    EXPECT_EQ(l.d.catalog, 5);
    EXPECT_EQ(l.page_nums(), (std::vector<int>{7, 8}));
}

TEST(LoadTrailer, UnusableStartxrefLeavesNoRoot) {
    // With no usable trailer the catalog is found by name: object 1.
    for (std::string tail : {"startxref\n-5\n%%EOF\n", "startxref\n999999\n%%EOF\n",
                             "startxref\n%%EOF\n", "startxref\n2 0 R\n", ""}) {
        PdfBuilder b = two_catalogs();
        b.xref().trailer("/Root 5 0 R");
        Loaded l(b.bytes() + tail);
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.d.root, -1) << tail;
        EXPECT_EQ(l.d.catalog, 1) << tail;
    }
}

TEST(LoadTrailer, OnlyTheLastStartxrefCounts) {
    PdfBuilder b = two_catalogs();
    b.xref().trailer("/Root 5 0 R").startxref();
    b.raw("startxref\n-1\n%%EOF\n");
    Loaded l(b.bytes());
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.root, -1);

    PdfBuilder c = two_catalogs();
    c.raw("startxref\n-1\n%%EOF\n");
    c.xref().trailer("/Root 5 0 R").startxref();
    Loaded m(c.bytes());
    EXPECT_EQ(m.d.root, 5);
}

TEST(LoadTrailer, LastUsableRootOfTheTrailersAfterTheTable) {
    struct Case {
        std::vector<std::string> trailers;
        int root;
    } cases[] = {
        {{"/Root 1 0 R", "/Root 5 0 R"}, 5},
        {{"/Root 5 0 R", "/Root 1 0 R"}, 1},
        {{"/Root 5 0 R", "/Info 9 0 R"}, 5},           // a later trailer without /Root
        {{"/Root /X /Root 5 0 R"}, 5},                 // first /Root unusable
        {{"/Root 1 0 R", "/Root -3 /Root 5 0 R"}, 5},
        {{"/Root 5 0 R", "/Root /X"}, 5},
    };
    for (const Case &c : cases) {
        PdfBuilder b = two_catalogs();
        b.xref();
        for (const std::string &t : c.trailers) b.trailer(t);
        b.startxref();
        Loaded l(b.bytes());
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.d.root, c.root) << c.trailers[0];
    }
    // A "trailer" not followed by "<<" is passed over.
    PdfBuilder b = two_catalogs();
    b.xref().trailer("/Root 5 0 R").raw("trailer /Root 1 0 R\n").startxref();
    Loaded l(b.bytes());
    EXPECT_EQ(l.d.root, 5);
}

TEST(LoadTrailer, CrossReferenceStreams) {
    // /Root 7 in the stream, /Prev to a classic section whose trailer names 9.
    PdfBuilder b = two_catalogs();
    b.add(9, "<< /Type /Catalog /Pages 6 0 R >>");
    b.xref().trailer("/Root 9 0 R");
    int64_t classic = b.last_section();
    int64_t at = b.size();
    b.raw(xref_obj(20, "/Root 7 0 R /Prev " + std::to_string(classic)));
    b.startxref(at);
    Loaded l(b.bytes());
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.root, 9);
    EXPECT_EQ(l.d.catalog, 9);

    // Only the first /Root of a stream dictionary is read.
    PdfBuilder c = two_catalogs();
    at = c.size();
    c.raw(xref_obj(20, "/Root /X /Root 5 0 R")).startxref(at);
    Loaded m(c.bytes());
    EXPECT_EQ(m.d.root, -1);

    // A stream never replaces a /Root that is already set.
    PdfBuilder e = two_catalogs();
    int64_t first = e.size();
    e.raw(xref_obj(20, "/Root 1 0 R"));
    at = e.size();
    e.raw(xref_obj(21, "/Root 5 0 R /Prev " + std::to_string(first))).startxref(at);
    Loaded n(e.bytes());
    EXPECT_EQ(n.d.root, 5);
}

TEST(LoadTrailer, PrevChainIsCutAfter32Sections) {
    // A chain of k streams; only the one reached last holds /Root 5.
    for (int k : {32, 33}) {
        PdfBuilder b = two_catalogs();
        int64_t prev = -1;
        for (int i = 0; i < k; ++i) {
            int64_t at = b.size();
            std::string e = i == 0 ? "/Root 5 0 R" : "/Prev " + std::to_string(prev);
            b.raw(xref_obj(100 + i, e));
            prev = at;
        }
        b.startxref(prev);
        Loaded l(b.bytes());
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.d.root, k == 32 ? 5 : -1) << k;
    }
    // A stream whose /Prev is itself: examined 32 times, then left.
    PdfBuilder b = two_catalogs();
    int64_t at = b.size();
    b.raw(xref_obj(20, "/Root 5 0 R /Prev " + std::to_string(at))).startxref(at);
    Loaded l(b.bytes());
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.root, 5);
}

TEST(LoadTrailer, EncryptedOrEmpty) {
    PdfBuilder b = one_page();
    Loaded l(b.finish("/Root 1 0 R /Encrypt 9 0 R"));
    EXPECT_EQ(l.rc, -1);
    EXPECT_EQ(l.err, "encrypted PDFs are not supported: in.pdf");

    PdfBuilder c = one_page();
    int64_t at = c.size();
    c.raw(xref_obj(20, "/Root 1 0 R /Encrypt 9 0 R")).startxref(at);
    Loaded m(c.bytes());
    EXPECT_EQ(m.err, "encrypted PDFs are not supported: in.pdf");

    // No object at all: that is reported first.
    Loaded n("%PDF-1.4\nxref\n0 1\ntrailer\n<< /Encrypt 9 0 R >>\nstartxref\n9\n%%EOF\n");
    EXPECT_EQ(n.rc, -1);
    EXPECT_EQ(n.err, "no PDF objects found \xE2\x80\x94 not a PDF: in.pdf");
}

TEST(LoadTrailer, ManyTrailersBeforeOneStartxref) {
    // Each trailer's dictionary reaches to the one startxref at the end.
    PdfBuilder b = two_catalogs();
    b.xref();
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "trailer << /Size 9 ";
    b.raw(many).trailer("/Root 5 0 R").raw(many).startxref();
    Loaded l(b.bytes());
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.root, 5);
}

// ---------------------------------------------------------------------------
// Reading the file

TEST(LoadFile, Messages) {
    doc d;
    EXPECT_EQ(doc_load(nullptr, &d), -1);
    EXPECT_STREQ(g_err, "NULL path argument");

    std::string missing = testtools::tmp_path("missing");
    EXPECT_EQ(doc_load(missing.c_str(), &d), -1);
    EXPECT_EQ(std::string(g_err), "cannot open " + missing);

    // A folder is no file to read, on every system.
    EXPECT_EQ(doc_load(testtools::tmp_dir().c_str(), &d), -1);
    EXPECT_EQ(std::string(g_err), "cannot open " + testtools::tmp_dir());

    std::string empty = testtools::write_temp("");
    EXPECT_EQ(doc_load(empty.c_str(), &d), -1);
    EXPECT_EQ(std::string(g_err), "empty input file: " + empty);
    EXPECT_EQ(d.data, nullptr);  // a failed load owns nothing
    doc_free(&d);                // and releasing it anyway does no harm

    unsigned char byte = 'x';
    EXPECT_EQ(doc_load_mem(&byte, 0, "m", &d), -1);
    EXPECT_STREQ(g_err, "empty input file: m");

    std::string junk = testtools::write_temp("just some text, no objects");
    EXPECT_EQ(doc_load(junk.c_str(), &d), -1);
    EXPECT_EQ(std::string(g_err), "no PDF objects found \xE2\x80\x94 not a PDF: " + junk);
    testtools::remove_file(empty);
    testtools::remove_file(junk);
}

TEST(LoadFile, TooLarge) {
    // The size is judged before a byte is read.
    doc d;
    unsigned char byte = 'x';
    EXPECT_EQ(doc_load_mem(&byte, static_cast<size_t>(INT32_MAX) + 1, "big", &d), -1);
    EXPECT_STREQ(g_err, "input file too large: big");
    // A sparse file of 2^31 bytes.
    std::string path = testtools::tmp_path("big");
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    bool made = fseeko(f, static_cast<off_t>(INT32_MAX), SEEK_SET) == 0 && std::fputc('x', f) != EOF;
    std::fclose(f);
    if (made) {
        EXPECT_EQ(doc_load(path.c_str(), &d), -1);
        EXPECT_EQ(std::string(g_err), "input file too large: " + path);
    }
    testtools::remove_file(path);
}

TEST(LoadFile, FromDiskWithoutHeader) {
    std::string path = testtools::write_temp(one_page("", "").finish("/Root 1 0 R"));
    doc d;
    ASSERT_EQ(doc_load(path.c_str(), &d), 0) << g_err;
    EXPECT_EQ(d.pages.count, 1);
    EXPECT_EQ(d.root, 1);
    doc_free(&d);
    testtools::remove_file(path);
}

// ---------------------------------------------------------------------------
// The object scan and the index

TEST(LoadIndex, HeaderForms) {
    struct Case {
        std::string text;
        bool found;
    } cases[] = {
        {"4 0 obj\n<< /A 1 >>\nendobj\n", true},
        {"4   0\r\n\tobj << /A 1 >> endobj\n", true},
        {"4\x0b" "0 obj << /A 1 >> endobj\n", true},  // isspace() white space
        {"x4 0 obj << /A 1 >> endobj\n", false},       // letter before the number
        {"4 0obj << /A 1 >> endobj\n", false},
        {"4 obj << /A 1 >> endobj\n", false},          // one number only
        {"0 0 obj << /A 1 >> endobj\n", false},
        {"4 0 obj << /A 1 >>\n", false},               // no endobj
        {"4 0 obj 17 endobj\n", true},
    };
    for (const Case &c : cases) {
        PdfBuilder b = one_page();
        b.raw(c.text);
        Loaded l(b.finish("/Root 1 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.obj(4) != nullptr, c.found) << c.text;
    }
    // A header at the very start of the file.
    Loaded l(one_page("", "").finish("/Root 1 0 R"));
    ASSERT_NE(l.obj(1), nullptr);
    EXPECT_EQ(l.obj(1)->hdr_pos, 0);
}

TEST(LoadIndex, LaterDefinitionWins) {
    PdfBuilder b = one_page();
    b.xref().trailer("/Root 1 0 R").startxref();
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 500] >>");
    b.xref().trailer("/Root 1 0 R").startxref();
    Loaded l(b.bytes());
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.box(0), (std::vector<double>{0, 0, 400, 500}));
    EXPECT_EQ(l.obj(3)->hdr_pos, b.offset(3));
}

TEST(LoadIndex, PlainObjectBeatsMember) {
    PdfBuilder b = one_page();
    b.add_objstm(10, {{3, "<< /Type /Page /MediaBox [0 0 9 9] >>"}, {4, "<< /M 1 >>"}}, false);
    Loaded l(b.finish("/Root 1 0 R"));
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.obj(3)->in_objstm, 0);
    EXPECT_EQ(l.box(0), (std::vector<double>{0, 0, 200, 300}));
    ASSERT_NE(l.obj(4), nullptr);
    EXPECT_EQ(l.obj(4)->in_objstm, 1);
    EXPECT_EQ(l.obj(10), nullptr);  // the object stream itself leaves the index
}

TEST(LoadIndex, FalseHeadersInsideStreamData) {
    const std::string fake = "\n5 0 obj\n<< /Fake 1 >>\nendobj\n";
    {
        PdfBuilder b = one_page();
        b.add_stream(4, "", fake);
        Loaded l(b.finish("/Root 1 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.obj(5), nullptr);
        ASSERT_NE(l.obj(4), nullptr);
        EXPECT_EQ(l.obj(4)->data_end - l.obj(4)->data_start, static_cast<int32_t>(fake.size()));
    }
    {
        // The length cannot be known: the stream is dropped and the header
        // inside it is taken as real.
        PdfBuilder b = one_page();
        pdfgen::StreamOpts o;
        o.length_text = "99 0 R";
        b.add_stream(4, "", fake, o);
        Loaded l(b.finish("/Root 1 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.obj(4), nullptr);
        EXPECT_NE(l.obj(5), nullptr);
    }
}

TEST(LoadIndex, StreamLengths) {
    const std::string data = "abc\nendstream\nxyz";  // holds the keyword itself
    struct Case {
        const char *what;
        std::string length_text;
        bool omit;
        std::string before_end;
        int32_t want;  // -1: not indexed
        int length_ok;  // the writer may trust the /Length without reading it
    } cases[] = {
        {"direct", "", false, "\n", 17, 1},
        {"indirect", "", false, "\n", 17, 0},  // through object 8
        {"too small", "3", false, "\n", 3, 1},  // "abc" + LF + endstream fits
        {"too small, search", "2", false, "\r\n", 3, 0},
        {"too large", "500", false, "\r\n", 3, 0},
        {"missing object", "77 0 R", false, "\n", -1, 0},
        {"names a stream", "4 0 R", false, "\n", -1, 0},
        {"no length", "", true, "\n", -1, 0},
        {"negative", "-4", false, "\n", -1, 0},
    };
    for (const Case &c : cases) {
        PdfBuilder b = one_page();
        pdfgen::StreamOpts o;
        o.length_text = c.length_text;
        o.omit_length = c.omit;
        o.before_end = c.before_end;
        if (std::string(c.what) == "indirect") o.length_obj = 8;
        b.add_stream(4, "", data, o);
        Loaded l(b.finish("/Root 1 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        const obj_entry *e = l.obj(4);
        if (c.want < 0) {
            EXPECT_EQ(e, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(e, nullptr) << c.what;
        EXPECT_EQ(e->data_end - e->data_start, c.want) << c.what;
        EXPECT_EQ(e->length_ok, c.length_ok) << c.what;
        EXPECT_GT(e->endobj_pos, e->data_end) << c.what;
    }
}

TEST(LoadIndex, StreamWithoutEndstream) {
    PdfBuilder b = one_page();
    b.xref().trailer("/Root 1 0 R").startxref();
    b.raw("4 0 obj\n<< /Length 5 >>\nstream\nabcdefgh\n6 0 obj\n<< /A 1 >>\nendobj\n");
    Loaded l(b.bytes());
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.obj(4), nullptr);
    EXPECT_EQ(l.obj(6), nullptr);  // lies in the data that runs to the end
    EXPECT_NE(l.obj(3), nullptr);
}

// ---------------------------------------------------------------------------
// The catalog

TEST(LoadCatalog, Fallbacks) {
    {
        // /Root names a missing object: the first object naming /Catalog.
        PdfBuilder b = one_page();
        b.add(4, "<< /Type /Catalog /Pages 2 0 R >>");
        Loaded l(b.finish("/Root 40 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.d.catalog, 1);
    }
    {
        PdfBuilder b("%PDF-1.4\n");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] >>");
        b.add(3, "<< /Type /Page >>");
        b.add(4, "<< /Type /Catalog /Pages 2 0 R >>");
        Loaded l(b.finish(""));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.d.catalog, 4);
    }
    {
        // No /Catalog anywhere: object 1.
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] >>");
        b.add(3, "<< /Type /Page >>");
        Loaded l(b.finish(""));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.d.catalog, 1);
    }
    {
        PdfBuilder b("%PDF-1.4\n");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] >>");
        b.add(3, "<< /Type /Page >>");
        Loaded l(b.finish(""));
        EXPECT_EQ(l.rc, -1);
        EXPECT_EQ(l.err, "catalog (obj 1) has no /Pages reference");
    }
}

TEST(LoadCatalog, PagesEntry) {
    struct Case {
        std::string catalog;
        const char *err;  // null: loads
    } cases[] = {
        {"<< /Type /Catalog /Pages 0 0 R /Pages 2 0 R >>", nullptr},
        {"<< /Type /Catalog /Pages -2 /Pages 2 0 R >>", nullptr},
        {"<< /Type /Catalog /Pages 0 0 R >>", "catalog (obj 1) has no /Pages reference"},
        {"<< /Type /Catalog >>", "catalog (obj 1) has no /Pages reference"},
        {"42", "catalog (obj 1) has no /Pages reference"},
        {"<< /Type /Catalog /Pages 9 0 R >>",
         "could not resolve the page tree (obj 9 is not a /Pages or /Page object, or tree is broken)"},
    };
    for (const Case &c : cases) {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, c.catalog);
        b.add(2, "<< /Type /Pages /Kids [3 0 R] >>");
        b.add(3, "<< /Type /Page >>");
        Loaded l(b.finish("/Root 1 0 R"));
        if (!c.err) {
            EXPECT_EQ(l.rc, 0) << c.catalog << ": " << l.err;
        } else {
            EXPECT_EQ(l.rc, -1) << c.catalog;
            EXPECT_EQ(l.err, c.err);
        }
    }
}

TEST(LoadCatalog, CatalogThatIsTheTree) {
    Loaded l(one_page().finish("/Root 2 0 R"));
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.page_nums(), (std::vector<int>{3}));
    Loaded m(one_page().finish("/Root 3 0 R"));  // a page as the root
    ASSERT_EQ(m.rc, 0) << m.err;
    EXPECT_EQ(m.page_nums(), (std::vector<int>{3}));
}

// ---------------------------------------------------------------------------
// The page tree

TEST(LoadTree, Results) {
    struct Case {
        std::string root;                // object 2
        std::vector<std::string> more;   // objects 3, 4, ...
        std::vector<int> pages;
        const char *err;
    } cases[] = {
        {"<< /Type /Pages /Kids [3 0 R 4 0 R] >>", {"<< /Type /Page >>", "<< /Type /Page >>"}, {3, 4}, nullptr},
        {"<< /Type /Pages /Kids [5 0 R 6 0 R] >>",
         {"", "", "<< /Type /Pages /Kids [7 0 R 8 0 R] >>", "<< /Type /Page >>", "<< /Type /Page >>",
          "<< /Type /Page >>"},
         {7, 8, 6}, nullptr},
        {"<< /Type /Pages /Kids [3 R 3 0 R 4] >>", {"<< /Type /Page >>", "<< /Type /Page >>"}, {3, 3, 4}, nullptr},
        {"<< /Type /Pages /Kids [3 4] >>", {"<< /Type /Page >>", "<< /Type /Page >>"}, {3}, nullptr},
        {"<< /Type /Pages /Kids [-3 0 R] >>", {"<< /Type /Page >>"}, {3}, nullptr},
        {"<< /Type /Pages /Kids [4 0 R 3 0 R] >>", {"<< /Type /Page >>", "<< /Type /Pages /Kids [] >>"}, {3}, nullptr},
        {"<< /Type /Pages /Kids [] >>", {}, {}, "document has no pages"},
        {"<< /Type /Pages >>", {}, {}, "document has no pages"},
        {"<< /Type /Pages /Kids [0 0 R] >>", {}, {}, "document has no pages"},
        {"<< /Type /Pages /Kids [3 0 R] >>", {"<< /Type /Annot >>"}, {}, kBroken},
        {"<< /Type /Pages /Kids [3 0 R] >>", {"<< /Kids [] >>"}, {}, kBroken},
        {"<< /Type /Pages /Kids [9 0 R] >>", {}, {}, kBroken},
        {"<< /Type /Pages /Kids [3 0 R 3 0 R] >>", {"<< /Type /Pages /Kids [4 0 R] >>", "<< /Type /Page >>"}, {}, kBroken},
        {"<< /Type /Pages /Kids [3 0 R] >>", {"<< /Type /Pages /Kids [2 0 R] >>"}, {}, kBroken},
        {"<< /Type /Pages /Kids [<< /Type /Page >>] >>", {}, {},
         "page tree uses inline page dictionaries in /Kids \xE2\x80\x94 pages must be indirect objects"},
        {"<< /Type /Pages /Kids [3 0 R] >>", {"<< /Type /Pages /Kids [<< /Type /Page >>] >>"}, {}, kBroken},
        {"<< /Type /Annot >>", {}, {}, kBroken},
    };
    for (const Case &c : cases) {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, c.root);
        for (size_t i = 0; i < c.more.size(); ++i)
            if (!c.more[i].empty()) b.add(static_cast<int>(i) + 3, c.more[i]);
        Loaded l(b.finish("/Root 1 0 R"));
        if (!c.err) {
            ASSERT_EQ(l.rc, 0) << c.root << ": " << l.err;
            EXPECT_EQ(l.page_nums(), c.pages) << c.root;
        } else {
            EXPECT_EQ(l.rc, -1) << c.root;
            EXPECT_EQ(l.err, c.err) << c.root;
        }
    }
}

TEST(LoadTree, IndirectKids) {
    PdfBuilder b("%PDF-1.4\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids 9 0 R >>");
    b.add(3, "<< /Type /Page >>");
    b.add(4, "<< /Type /Page >>");
    b.add(9, "[4 0 R 3 0 R]");
    Loaded l(b.finish("/Root 1 0 R"));
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.page_nums(), (std::vector<int>{4, 3}));
}

TEST(LoadTree, DepthLimit) {
    Loaded ok(chain(256));
    ASSERT_EQ(ok.rc, 0) << ok.err;
    EXPECT_EQ(ok.page_nums(), (std::vector<int>{1000}));
    Loaded deep(chain(257));
    EXPECT_EQ(deep.rc, -1);
    EXPECT_EQ(deep.err, kBroken);
}

TEST(LoadTree, HostileTreesEndCleanly) {
    // 100,000 levels, and a long cycle: neither may exhaust the stack.
    Loaded deep(chain(100000));
    EXPECT_EQ(deep.err, kBroken);
    PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    for (int i = 2; i < 300; ++i)
        b.add(i, "<< /Type /Pages /Kids [" + std::to_string(i == 299 ? 2 : i + 1) + " 0 R] >>");
    Loaded cyc(b.finish("/Root 1 0 R"));
    EXPECT_EQ(cyc.err, kBroken);
}

TEST(LoadTree, PageListedManyTimes) {
    // One page with a large dictionary, listed 200,000 times: its attributes
    // are read once, not once per listing.
    std::string big(2000000, ' ');
    PdfBuilder b("%PDF-1.4\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int i = 0; i < 200000; ++i) kids += "3 0 R ";
    b.add(2, "<< /Type /Pages /Kids [" + kids + "] >>");
    b.add(3, "<< /Filler (" + big + ") /Type /Page /MediaBox [0 0 50 60] >>");
    Loaded l(b.finish("/Root 1 0 R"));
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.pages.count, 200000);
    EXPECT_EQ(l.box(199999), (std::vector<double>{0, 0, 50, 60}));
}

// ---------------------------------------------------------------------------
// Page attributes

TEST(LoadPage, Boxes) {
    struct Case {
        std::string page, parent;  // parent: more entries for the root node
        std::vector<double> box;
    } cases[] = {
        {"/MediaBox [0 0 612 792]", "", {0, 0, 612, 792}},
        {"/CropBox [10 20 300 400] /MediaBox [0 0 612 792]", "", {10, 20, 300, 400}},
        {"/MediaBox [0 0 612 792] /CropBox [10 20 300 400]", "", {10, 20, 300, 400}},
        {"/CropBox 7 0 R /MediaBox [0 0 612 792]", "", {0, 0, 612, 792}},
        {"/MediaBox 8 0 R", "", {1, 2, 3, 4}},  // followed to the array object
        {"/CropBox 8 0 R /MediaBox [0 0 612 792]", "", {1, 2, 3, 4}},
        {"/MediaBox 9 0 R", "", {0, 0, 595, 842}},  // not an array
        {"/MediaBox [0 0 612]", "", {0, 0, 595, 842}},
        {"/MediaBox [0 0 612 0]", "", {0, 0, 595, 842}},
        {"", "", {0, 0, 595, 842}},
        {"/MediaBox [-306 -396 306 396]", "", {-306, -396, 306, 396}},
        {"/MediaBox [0 0 .5 10]", "", {0, 0, 0.5, 10}},
        {"/MediaBox [0 0 6e2 10]", "", {0, 0, 6, 2}},
        {"/MediaBox [0 0 612 792 99]", "", {0, 0, 612, 792}},
        {"/MediaBox [0 0 0 0] /MediaBox [0 0 5 6]", "", {0, 0, 5, 6}},
        // Inherited from the /Pages node.
        {"", "/MediaBox [0 0 100 200]", {0, 0, 100, 200}},
        {"", "/MediaBox 8 0 R", {1, 2, 3, 4}},
        {"/MediaBox [0 0 50 60]", "/MediaBox [0 0 100 200]", {0, 0, 50, 60}},
        {"/MediaBox [0 0 50 60]", "/CropBox [5 5 90 90]", {5, 5, 90, 90}},
        {"/CropBox [1 1 40 40]", "/CropBox [5 5 90 90]", {1, 1, 40, 40}},
    };
    for (const Case &c : cases) {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] " + c.parent + " >>");
        b.add(3, "<< /Type /Page " + c.page + " >>");
        b.add(8, "[1 2 3 4]");
        b.add(9, "<< /A [1 2 3 4] >>");
        Loaded l(b.finish("/Root 1 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        const pageinfo &pi = l.d.pages.items[0];
        EXPECT_EQ(l.box(0), c.box) << c.page << " | " << c.parent;
        // The page's own box reader looks at the page alone.
        pageinfo own{};
        fill_pageinfo(l.d.data, l.d.len, &l.d.objs, l.obj(pi.num), &own);
        if (c.parent.empty()) EXPECT_EQ((std::vector<double>{own.x0, own.y0, own.x1, own.y1}), c.box);
    }
}

TEST(LoadPage, BoxDigitsAccumulate) {
    PdfBuilder b("%PDF-1.4\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] >>");
    b.add(3, "<< /Type /Page /MediaBox [0.0 0.0 595.28 841.89] >>");
    Loaded m(b.finish("/Root 1 0 R"));
    ASSERT_EQ(m.rc, 0) << m.err;
    EXPECT_NEAR(m.d.pages.items[0].x1, 595.28, 1e-9);
    EXPECT_NEAR(m.d.pages.items[0].y1, 841.89, 1e-9);
}

TEST(LoadPage, Rotation) {
    struct Case {
        std::string root, inner, page;
        int inherited, effective;
    } cases[] = {
        {"/Rotate 90", "", "/Rotate 180", 90, 180},
        {"/Rotate 90", "", "", 90, 90},
        {"/Rotate 450", "", "", 90, 90},
        {"/Rotate -90", "", "", 270, 270},   // signed: -90 is 270
        {"/Rotate 90", "/Rotate -180", "", 180, 180},
        {"", "", "/Rotate -90", 0, 270},
        {"", "", "/Rotate +90", 0, 90},
        {"/Rotate 270", "", "/Rotate /X", 270, 270},  // not a number: inherited
        {"", "", "/Rotate 90.0", 0, 90},
        {"", "", "/Rotate 7200000000090", 0, 90},  // reduced exactly, no wrap
        {"/Rotate 45", "", "", 45, 45},
    };
    for (const Case &c : cases) {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [4 0 R] " + c.root + " >>");
        b.add(4, "<< /Type /Pages /Kids [3 0 R] " + c.inner + " >>");
        b.add(3, "<< /Type /Page " + c.page + " >>");
        Loaded l(b.finish("/Root 1 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.d.pages.items[0].rotate, c.inherited) << c.root << c.inner << c.page;
        EXPECT_EQ(l.rotation(0), c.effective) << c.root << c.inner << c.page;
    }
}

TEST(LoadPage, Resources) {
    struct Case {
        std::string page, parent;
        std::string want;
    } cases[] = {
        {"/Resources << /Font << /F1 5 0 R >> >>", "", "<< /Font << /F1 5 0 R >> >>"},
        {"/Resources 9 0 R", "", "<< /XObject << /I 6 0 R >> >>"},
        {"/Resources 0 0 R", "", "(none)"},
        {"/Resources 77 0 R", "", "(none)"},
        {"/Resources /X", "", "(none)"},
        {"", "", "(none)"},
        // Inherited from the nearest ancestor that has them.
        {"", "/Resources << /A 1 >>", "<< /A 1 >>"},
        {"", "/Resources 9 0 R", "<< /XObject << /I 6 0 R >> >>"},
        {"/Resources << /Own 1 >>", "/Resources << /A 1 >>", "<< /Own 1 >>"},
    };
    for (const Case &c : cases) {
        PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] " + c.parent + " >>");
        b.add(3, "<< /Type /Page " + c.page + " >>");
        b.add(9, "<< /XObject << /I 6 0 R >> >>");
        Loaded l(b.finish("/Root 1 0 R"));
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.resources(0), c.want) << c.page << " | " << c.parent;
    }
}

// ---------------------------------------------------------------------------
// Damaged input must not make loading slow (these would take minutes if any
// stage walked the rest of the file once per object; the bound is far above
// what a linear load takes even under sanitizers on a busy machine).

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
#define EXPECT_QUICK(t0) EXPECT_LT(seconds_since(t0), 30.0)

TEST(LoadHostile, ManyUnclosedDictionaries) {
    std::string body = one_page().finish("/Root 1 0 R");
    std::string junk;
    for (int i = 0; i < 60000; ++i) junk += std::to_string(100 + i) + " 0 obj << /A (x) <<\n";
    auto t0 = std::chrono::steady_clock::now();
    Loaded l(junk + body);
    EXPECT_QUICK(t0);
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.pages.count, 1);
    // Strings that never end, one inside the other.
    std::string open;
    for (int i = 0; i < 60000; ++i) open += std::to_string(100 + i) + " 0 obj <x (\n";
    t0 = std::chrono::steady_clock::now();
    Loaded m(body + open);
    EXPECT_QUICK(t0);
    ASSERT_EQ(m.rc, 0) << m.err;
}

TEST(LoadHostile, NestedHeadersWithoutCatalog) {
    // Every header's text reaches to the one endobj at the end; no /Root and
    // the /Catalog search meets all of them.
    std::string t;
    for (int i = 0; i < 60000; ++i) t += std::to_string(10 + i) + " 0 obj <x /A\n";
    t += std::string(1000000, ' ') + "endobj\n";
    auto t0 = std::chrono::steady_clock::now();
    Loaded l(t);
    EXPECT_QUICK(t0);
    EXPECT_EQ(l.err, "catalog (obj 1) has no /Pages reference");
}

TEST(LoadHostile, LengthsIntoOneLongRunOfSpace) {
    // Every stream's /Length points at the start of one long run of spaces.
    PdfBuilder b = one_page();
    const int n = 3000;
    std::vector<int64_t> data_at;
    std::string streams;
    for (int i = 0; i < n; ++i) {
        std::string head = std::to_string(100 + i) + " 0 obj << /Length ##########  >> stream\n";
        data_at.push_back(b.size() + static_cast<int64_t>(streams.size() + head.size()));
        streams += head + "ab\nendstream endobj\n";
    }
    const int64_t run_at = b.size() + static_cast<int64_t>(streams.size());
    size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        pos = streams.find("##########", pos);
        std::string len = std::to_string(run_at - data_at[static_cast<size_t>(i)]);
        streams.replace(pos, 10, len + std::string(10 - len.size(), ' '));
    }
    b.raw(streams).raw(std::string(3000000, ' '));
    auto t0 = std::chrono::steady_clock::now();
    Loaded l(b.finish("/Root 1 0 R"));
    EXPECT_QUICK(t0);
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.pages.count, 1);
    const obj_entry *e = l.obj(100 + n - 1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data_end - e->data_start, 2);
}

TEST(LoadHostile, NestedStreamDictionaries) {
    // Each dictionary holds all the ones after it, and each is closed by its
    // own ">> stream": every /Length search would read the rest.
    std::string open, close;
    for (int i = 0; i < 20000; ++i) {
        open += std::to_string(100 + i) + " 0 obj << /Length /X\n";
        close += ">> stream\nx\nendstream\n";
    }
    auto t0 = std::chrono::steady_clock::now();
    Loaded l(one_page().finish("/Root 1 0 R") + open + close);
    EXPECT_QUICK(t0);
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.pages.count, 1);
}

TEST(LoadHostile, ManyHeadersClaimOneObjectStream) {
    // 3000 headers whose dictionaries all end at one object stream's: its
    // megabyte of data is copied (or decoded) once, not once per header.
    std::string member = "<< /M 1 /Fill (" + std::string(1000000, 'f') + ") >>";
    std::string data = "50 0\n" + member;
    std::string heads;
    for (int i = 0; i < 3000; ++i) heads += std::to_string(100 + i) + " 0 obj <x\n";
    std::string objstm = "9000 0 obj << /Type /ObjStm /N 1 /First 5 /Length " + std::to_string(data.size()) +
                         " >>\nstream\n" + data + "\nendstream\nendobj\n";
    auto t0 = std::chrono::steady_clock::now();
    Loaded l(one_page().finish("/Root 1 0 R") + heads + objstm);
    EXPECT_QUICK(t0);
    ASSERT_EQ(l.rc, 0) << l.err;
    ASSERT_NE(l.obj(50), nullptr);
    EXPECT_EQ(l.obj(50)->text_len, static_cast<int32_t>(member.size()));
    EXPECT_EQ(l.d.ar.size(), 1u);
}

// ---------------------------------------------------------------------------
// Size: the index and the page list scale.

TEST(LoadScale, HundredThousandObjectsTenThousandPages) {
    pdfgen::DocSpec plan;
    for (int i = 0; i < 10000; ++i) {
        pdfgen::PageSpec p;
        p.content = "0 0 10 10 re f";
        plan.pages.push_back(p);
    }
    plan.fanout = 10;
    int first = pdfgen::first_free_num(plan);
    for (int i = 0; i < 80000; ++i) plan.objects.push_back({first + i, "<< /N " + std::to_string(i) + " >>"});
    std::string bytes = pdfgen::make_doc(plan);
    auto t0 = std::chrono::steady_clock::now();
    Loaded l(bytes);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.d.pages.count, 10000);
    EXPECT_GE(l.d.objs.count, 100000);
    for (int i = 0; i < 10000; i += 997) EXPECT_EQ(l.d.pages.items[i].num, pdfgen::page_num(i));
    std::printf("[ info ] %zu bytes, %d objects, %d pages loaded in %.3f s\n", bytes.size(),
                l.d.objs.count, l.d.pages.count, secs);
}

}  // namespace
