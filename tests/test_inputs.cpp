// Jobs of several inputs (sheetlay_nup_inputs, sheetlay_nup_inputs_mem):
// one input gives the bytes of the single-input call, the checks name their
// input, and two inputs keep every link and bookmark on the right sheet
// (read back with pikepdf, as in test_links).
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

sheetlay_options opts() {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.compress = SHEETLAY_COMPRESS_NONE;
    return o;
}

sheetlay_input mem_input(const std::string &pdf, const char *pages = nullptr,
                         const char *password = nullptr) {
    return sheetlay_input{nullptr, pdf.data(), pdf.size(), pages, password};
}

// Output of the inputs call; "" with the message in *err on failure.
std::string run_inputs(const std::vector<sheetlay_input> &in, const sheetlay_options *o,
                       std::string *err = nullptr) {
    void *out = nullptr;
    size_t n = 0;
    char msg[256];
    int ok = sheetlay_nup_inputs_mem(in.data(), static_cast<int32_t>(in.size()), &out, &n, o, msg,
                                     sizeof msg);
    if (err) *err = msg;
    std::string pdf = ok ? std::string(static_cast<const char *>(out), n) : "";
    sheetlay_free(out);
    return pdf;
}

std::string run_single(const std::string &in, const sheetlay_options &o) {
    void *out = nullptr;
    size_t n = 0;
    char msg[256];
    int ok = sheetlay_nup_mem(in.data(), in.size(), &out, &n, &o, msg, sizeof msg);
    EXPECT_TRUE(ok) << msg;
    std::string pdf = ok ? std::string(static_cast<const char *>(out), n) : "";
    sheetlay_free(out);
    return pdf;
}

// One input with selection S is the single-input job with pages S: the
// same bytes, for every layout the options offer (and an encrypted input
// opened with its password).
TEST(Inputs, OneInputWritesTheBytesOfTheSingleCall) {
    const std::string doc = pdfgen::make_pages(11);
    struct Case {
        const char *name;
        const char *pages;
        int booklet, signature, turn, fit;
        uint32_t marks;
        int compress;
    };
    const Case cases[] = {
        {"all", nullptr, 0, 0, 0, 0, 0, SHEETLAY_COMPRESS_NONE},
        {"selection", "3-z,_,1", 0, 0, 0, 0, 0, SHEETLAY_COMPRESS_COMPACT},
        {"booklet", "2-9", 1, 0, 0, 0, 0, SHEETLAY_COMPRESS_NONE},
        {"signatures", "", 1, 1, 0, 0, 0, SHEETLAY_COMPRESS_COMPACT},
        {"turned_same_marked", "1-5", 0, 0, 1, SHEETLAY_FIT_SAME, 3, SHEETLAY_COMPRESS_NONE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sheetlay_options o = opts();
        o.booklet = c.booklet;
        o.signature = c.signature;
        o.turn = c.turn;
        o.fit = c.fit;
        o.marks = c.marks;
        o.compress = c.compress;
        o.gap = 10;
        const std::string got = run_inputs({mem_input(doc, c.pages)}, &o);
        o.pages = c.pages;
        EXPECT_EQ(got, run_single(doc, o));
        ASSERT_FALSE(got.empty());
    }
}

// The checks of the inputs calls, each naming what it refuses; selection
// errors name their input (its path, or "input N").
TEST(Inputs, ChecksNameTheirInput) {
    const std::string doc = pdfgen::make_pages(3);
    const std::string path = testtools::write_temp(doc, "named");
    const sheetlay_input good = mem_input(doc);
    sheetlay_input neither{};
    sheetlay_input both = mem_input(doc);
    both.path = path.c_str();
    sheetlay_options with_pages = opts();
    with_pages.pages = "1";
    sheetlay_options with_password = opts();
    with_password.password = "";
    const sheetlay_options plain = opts();
    struct Case {
        std::vector<sheetlay_input> in;
        int32_t count;  // -1: the list's size
        const sheetlay_options *o;
        std::string want;
    };
    const std::vector<Case> cases = {
        {{good}, 0, &plain, "input count must be 1 to 4096 (got 0)"},
        {{good}, 4097, &plain, "input count must be 1 to 4096 (got 4097)"},
        {{good, neither}, -1, &plain, "input 2 has neither a path nor data"},
        {{both}, -1, &plain, "input 1 has both a path and data"},
        {{good}, -1, &with_pages, "pages and password go in each input"},
        {{good}, -1, &with_password, "pages and password go in each input"},
        {{good, mem_input(doc, "1,x")}, -1, &plain, "bad page selection of input 2 at 'x'"},
        {{good, mem_input(doc, "2-7")}, -1, &plain, "page 7 does not exist in input 2 (it has 3 pages)"},
        {{good, {path.c_str(), nullptr, 0, "4", nullptr}}, -1, &plain,
         "page 4 does not exist in " + path + " (it has 3 pages)"},
        {{mem_input(doc, "_"), mem_input(doc, "_,_")}, -1, &plain, "page selection selects no pages"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want);
        void *out = reinterpret_cast<void *>(1);
        size_t n = 1;
        char msg[256];
        int32_t count = c.count < 0 ? static_cast<int32_t>(c.in.size()) : c.count;
        EXPECT_EQ(sheetlay_nup_inputs_mem(c.in.data(), count, &out, &n, c.o, msg, sizeof msg), 0);
        EXPECT_EQ(std::string(msg), c.want);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(n, 0u);
    }
    char msg[256];
    EXPECT_EQ(sheetlay_nup_inputs(nullptr, 3, testtools::tmp_path().c_str(), &plain, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "input count must be 1 to 4096 (got 3)");

    // A file input and a memory input written to a file.
    const std::string out = testtools::tmp_path("inputs");
    sheetlay_input two[2] = {{path.c_str(), nullptr, 0, "1", nullptr}, mem_input(doc, "2-3")};
    EXPECT_EQ(sheetlay_nup_inputs(two, 2, out.c_str(), &plain, msg, sizeof msg), 1) << msg;
    if (testtools::have_pdfinfo()) EXPECT_EQ(testtools::pdfinfo_pages(out), 1);
    testtools::remove_file(out);
    testtools::remove_file(path);
}

// ---------------------------------------------------------------------------
// Two inputs with links and bookmarks: both kept, each on its own sheet.

constexpr const char *kPython = "/usr/bin/python3";

// One line per link ("L sheet x0 y0 x1 y1 -> sheet") and per top-level or
// nested bookmark ("O depth title -> sheet"), and the information's title.
const char *kScript = R"PY(
import sys, pikepdf
pdf = pikepdf.open(sys.argv[1])
pages = {p.objgen: i for i, p in enumerate(pdf.pages)}
def f(v):
    return "%g" % round(float(v), 2)
def where(d):
    if "/A" in d:
        d = d.A.D
    else:
        d = d.Dest
    return str(pages.get(d[0].objgen, "?"))
for i, p in enumerate(pdf.pages):
    for a in p.obj.get("/Annots", []):
        print("L", i, " ".join(f(v) for v in a.Rect), "->", where(a))
def walk(node, depth):
    it = node.get("/First")
    prev = None
    while it is not None:
        assert (it.get("/Prev") is None) == (prev is None), "prev"
        if prev is not None:
            assert it.Prev.objgen == prev.objgen, "prev link"
        print("O", depth, str(it.Title), "->", where(it))
        walk(it, depth + 1)
        prev = it
        it = it.get("/Next")
    if prev is not None:
        assert node.Last.objgen == prev.objgen, "last"
if "/Outlines" in pdf.Root:
    print("R", int(pdf.Root.Outlines.Count))
    walk(pdf.Root.Outlines, 0)
print("I", str(pdf.trailer.Info.get("/Title", "-")))
)PY";

// A document of n square pages: a link on page 1 to its last page, and
// bookmarks "<tag>1" (to page 1, with a child "<tag>1a" to page 2) and
// "<tag>2" (to its last page).
std::string linked_doc(int n, const std::string &tag) {
    pdfgen::DocSpec plan;
    for (int i = 0; i < n; ++i) {
        pdfgen::PageSpec p;
        p.media_box = "[0 0 400 400]";
        p.content = "0 0 100 100 re f";
        plan.pages.push_back(p);
    }
    auto page = [](int i) { return std::to_string(pdfgen::page_num(i)) + " 0 R"; };
    plan.pages[0].extra = "/Annots [1000 0 R]";
    plan.catalog_extra = "/Outlines 1001 0 R";
    plan.trailer_extra = "/Info 1005 0 R";
    plan.objects = {
        {1000, "<< /Type /Annot /Subtype /Link /Rect [0 0 200 200] /Dest [" + page(n - 1) + " /Fit] >>"},
        {1001, "<< /Type /Outlines /First 1002 0 R /Last 1003 0 R /Count 3 >>"},
        {1002, "<< /Title (" + tag + "1) /Parent 1001 0 R /Next 1003 0 R /First 1004 0 R /Last 1004 0 R "
               "/Count 1 /Dest [" + page(0) + " /Fit] >>"},
        {1003, "<< /Title (" + tag + "2) /Parent 1001 0 R /Prev 1002 0 R /Dest [" + page(n - 1) + " /Fit] >>"},
        {1004, "<< /Title (" + tag + "1a) /Parent 1002 0 R /Dest [" + page(1) + " /Fit] >>"},
        {1005, "<< /Title (" + tag + " title) >>"},
    };
    return pdfgen::make_doc(plan);
}

std::vector<std::string> dump(const std::string &pdf) {
    static const std::string script = testtools::write_temp(kScript, "inputs", ".py");
    const std::string path = testtools::write_temp(pdf, "inputs");
    testtools::CmdResult r = testtools::run_cmd({kPython, script, path});
    testtools::remove_file(path);
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

TEST(Inputs, TwoInputsKeepTheirLinksAndBookmarks) {
    if (testtools::run_cmd({kPython, "-c", "import pikepdf"}).status != 0)
        GTEST_SKIP() << "python3 with pikepdf not found";
    // 2 x 1 cells on a 400 x 200 sheet: pages at half size. Input a has 3
    // pages (sheets 0, 1), b 4 pages starting in slot 1 of sheet 1.
    const std::string a = linked_doc(3, "a"), b = linked_doc(4, "b");
    sheetlay_options o = opts();
    o.columns = 2;
    o.rows = 1;
    o.sheet_width = 400;
    o.sheet_height = 200;
    o.orientation = SHEETLAY_ORIENT_AS_GIVEN;
    std::string err;
    const std::string pdf = run_inputs({mem_input(a), mem_input(b)}, &o, &err);
    ASSERT_FALSE(pdf.empty()) << err;
    if (testtools::have_qpdf()) {
        const std::string path = testtools::write_temp(pdf, "inputs_qpdf");
        testtools::QpdfResult q = testtools::qpdf_check(path);
        EXPECT_EQ(q.status, 0) << q.out;
        testtools::remove_file(path);
    }
    const std::vector<std::string> want = {
        "L 0 0 0 100 100 -> 1",  // a's page 1 (slot 0 of sheet 0) to a's page 3 (sheet 1)
        "L 1 200 0 300 100 -> 3",  // b's page 1 (slot 1 of sheet 1) to b's page 4 (sheet 3)
        "R 6",
        "O 0 a1 -> 0", "O 1 a1a -> 0", "O 0 a2 -> 1",
        "O 0 b1 -> 1", "O 1 b1a -> 2", "O 0 b2 -> 3",
        "I a title",
    };
    EXPECT_EQ(dump(pdf), want);
}

}  // namespace
