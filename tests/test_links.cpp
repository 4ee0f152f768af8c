// Links, outline and document information on the sheets, judged by an
// independent reader: the output is read back with pikepdf (run through
// python3) and what it says of every link, bookmark and information entry
// is compared with what the placement rule predicts. The test documents
// have square 400 x 400 pages on a 400 x 400 sheet of 2 x 2 cells, so each
// page is drawn at half size with its lower-left corner at its cell's:
// slot 0 (0, 200), slot 1 (200, 200), slot 2 (0, 0), slot 3 (200, 0).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

// Prints one line per link ("L sheet rect [Q quadpoints] [Border ..] [C ..]
// [H ..] | target"), the outline root ("R count pagemode") and its items in
// order ("O depth title count | target [C ..] [F ..]"), and the information
// entries ("I key value"). Targets: "dest|goto sheet kind args", "uri U",
// "gotor F", or the action's kind; named destinations are looked up.
const char *kDumpScript = R"PY(
import sys, pikepdf
pdf = pikepdf.open(sys.argv[1])
pages = {p.objgen: i for i, p in enumerate(pdf.pages)}
def f(v):
    x = round(float(v), 2)
    return ("%g" % x) if x != int(x) else str(int(x))
def named(key):
    root = pdf.Root
    if isinstance(key, pikepdf.Name) and "/Dests" in root and str(key) in root.Dests:
        return root.Dests[str(key)]
    if "/Names" in root and "/Dests" in root.Names:
        nt = pikepdf.NameTree(root.Names.Dests)
        k = str(key)
        if k in nt:
            return nt[k]
    return None
def dest(d):
    if isinstance(d, (pikepdf.String, pikepdf.Name)):
        d = named(d)
    if isinstance(d, pikepdf.Dictionary):
        d = d.get("/D")
    if not isinstance(d, pikepdf.Array) or len(d) < 2:
        return "bad"
    p = d[0]
    idx = pages.get(p.objgen, "?") if isinstance(p, pikepdf.Dictionary) else "?"
    out = [str(idx), str(d[1])[1:]]
    for a in list(d)[2:]:
        out.append("null" if a is None or (isinstance(a, pikepdf.Object) and a._type_code == pikepdf.ObjectType.null) else f(a))
    return " ".join(out)
def target(o):
    if "/Dest" in o:
        return "dest " + dest(o.Dest)
    if "/A" in o:
        a = o.A
        s = str(a.get("/S"))
        if s == "/GoTo":
            return "goto " + dest(a.D)
        if s == "/URI":
            return "uri " + str(a.URI)
        if s == "/GoToR":
            return "gotor " + (str(a.F) if isinstance(a.F, pikepdf.String) else "file")
        return s[1:].lower()
    return "-"
for i, p in enumerate(pdf.pages):
    for a in p.obj.get("/Annots", []):
        line = ["L", str(i)] + [f(v) for v in a.Rect]
        if "/QuadPoints" in a:
            line += ["Q"] + [f(v) for v in a.QuadPoints]
        for k in ("/Border", "/C", "/H"):
            if k in a:
                v = a[k]
                line += [k[1:]] + ([f(x) for x in v] if isinstance(v, pikepdf.Array) else [str(v)])
        if "/P" in a and a.P.objgen != p.objgen:
            line += ["badP"]
        line.append("|")
        line.append(target(a))
        print(" ".join(line))
root = pdf.Root
if "/Outlines" in root:
    def walk(node, depth, parent, seen):
        it = node.get("/First")
        prev = None
        while it is not None and it.objgen not in seen:
            seen.add(it.objgen)
            assert it.Parent.objgen == parent.objgen, "parent"
            if prev is not None:
                assert it.Prev.objgen == prev.objgen, "prev"
            else:
                assert "/Prev" not in it, "first has prev"
            line = ["O", str(depth), str(it.get("/Title", "")), str(int(it.get("/Count", 0))), "|", target(it)]
            if "/C" in it:
                line += ["C"] + [f(x) for x in it.C]
            if "/F" in it:
                line += ["F", str(int(it.F))]
            print(" ".join(line))
            walk(it, depth + 1, it, seen)
            prev = it
            it = it.get("/Next")
        if prev is not None:
            assert node.Last.objgen == prev.objgen, "last"
    print("R", int(root.Outlines.get("/Count", 0)), str(root.get("/PageMode", "-")))
    walk(root.Outlines, 0, root.Outlines, set())
info = pdf.trailer.get("/Info")
if info is not None:
    for k in sorted(info.keys()):
        print("I", k[1:], str(info[k]))
)PY";

constexpr const char *kPython = "/usr/bin/python3";

bool have_pikepdf() {
    static const bool ok =
        testtools::run_cmd({kPython, "-c", "import pikepdf"}).status == 0;
    return ok;
}

#define REQUIRE_PIKEPDF() \
    if (!have_pikepdf()) GTEST_SKIP() << "python3 with pikepdf not found"

std::vector<std::string> dump(const std::string &pdf) {
    static const std::string script = testtools::write_temp(kDumpScript, "dump", ".py");
    std::string path = testtools::write_temp(pdf, "links");
    testtools::CmdResult r = testtools::run_cmd({kPython, script, path});
    testtools::remove_file(path);
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// The lines of one kind ("L", "O", "R", "I").
std::vector<std::string> only(const std::vector<std::string> &lines, const std::string &kind) {
    std::vector<std::string> out;
    for (const std::string &l : lines)
        if (l.rfind(kind + " ", 0) == 0) out.push_back(l);
    return out;
}

sheetlay_options square_opts(uint32_t keep = SHEETLAY_KEEP_ALL) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = 2;
    o.rows = 2;
    o.sheet_width = 400;
    o.sheet_height = 400;
    o.orientation = SHEETLAY_ORIENT_AS_GIVEN;
    o.compress = SHEETLAY_COMPRESS_NONE;
    o.keep = keep;
    return o;
}

std::string compose(const std::string &input, const sheetlay_options &o) {
    void *out = nullptr;
    size_t len = 0;
    char err[256] = "";
    int32_t ok = sheetlay_nup_mem(input.data(), input.size(), &out, &len, &o, err, sizeof err);
    EXPECT_EQ(ok, 1) << err;
    std::string pdf(static_cast<const char *>(out ? out : ""), out ? len : 0);
    sheetlay_free(out);
    if (ok && testtools::have_qpdf()) {
        std::string path = testtools::write_temp(pdf, "qpdf");
        testtools::QpdfResult q = testtools::qpdf_check(path);
        EXPECT_EQ(q.status, 0) << q.out;
        testtools::remove_file(path);
    }
    return pdf;
}

std::string join(const std::vector<std::string> &v) {
    std::string s;
    for (const std::string &l : v) s += l + "\n";
    return s;
}

// A document of `n` square pages; page i's /Annots are `annots[i]` (a list
// of object numbers from 1000 on, or "").
pdfgen::DocSpec square_doc(int n) {
    pdfgen::DocSpec plan;
    for (int i = 0; i < n; ++i) {
        pdfgen::PageSpec p;
        p.media_box = "[0 0 400 400]";
        p.content = "0 0 100 100 re f";
        plan.pages.push_back(p);
    }
    return plan;
}

std::string ref(int num) { return std::to_string(num) + " 0 R"; }
std::string page_ref(int i) { return ref(pdfgen::page_num(i)); }

// ---------------------------------------------------------------------------
// Links: one link on page 2 (slot 2, drawn at (0, 0)), object 1000.

struct LinkCase {
    const char *name;
    std::string link;  // the annotation's entries besides /Type /Subtype
    std::vector<std::pair<int, std::string>> objects;
    std::string catalog_extra;
    std::string expect;  // its line, "" when the link must be left out
};

void PrintTo(const LinkCase &c, std::ostream *os) { *os << c.name; }

const std::string kRect = "/Rect [100 100 200 150] ";
const std::string kAt = "L 0 50 50 100 75 | ";

std::vector<LinkCase> link_cases() {
    const std::string tree =
        "/Names << /Dests 1001 0 R >>";
    const std::vector<std::pair<int, std::string>> tree_objs = {
        {1001, "<< /Kids [1002 0 R 1003 0 R] >>"},
        {1002, "<< /Limits [(a) (b)] /Names [(a) [" + page_ref(0) + " /Fit] (b) [" + page_ref(1) + " /Fit]] >>"},
        {1003, "<< /Limits [(c) (d)] /Names [(c) 1004 0 R (d) [" + page_ref(3) + " /Fit]] >>"},
        {1004, "<< /D [" + page_ref(2) + " /Fit] >>"},
    };
    return {
        {"xyz", kRect + "/Dest [" + page_ref(0) + " /XYZ 50 300 2]", {}, "", kAt + "dest 0 XYZ 25 350 null"},
        {"xyz_nulls", kRect + "/Dest [" + page_ref(1) + " /XYZ null null null]", {}, "", kAt + "dest 0 XYZ 200 400 null"},
        {"fit", kRect + "/Dest [" + page_ref(1) + " /Fit]", {}, "", kAt + "dest 0 FitR 200 200 400 400"},
        {"fitb", kRect + "/Dest [" + page_ref(3) + " /FitB]", {}, "", kAt + "dest 0 FitR 200 0 400 200"},
        {"fith", kRect + "/Dest [" + page_ref(3) + " /FitH 300]", {}, "", kAt + "dest 0 XYZ 200 150 null"},
        {"fitbh_null", kRect + "/Dest [" + page_ref(3) + " /FitBH null]", {}, "", kAt + "dest 0 XYZ 200 200 null"},
        {"fitv", kRect + "/Dest [" + page_ref(1) + " /FitV 100]", {}, "", kAt + "dest 0 XYZ 250 400 null"},
        {"fitbv", kRect + "/Dest [" + page_ref(0) + " /FitBV 200]", {}, "", kAt + "dest 0 XYZ 100 400 null"},
        {"fitr", kRect + "/Dest [" + page_ref(3) + " /FitR 0 0 100 100]", {}, "", kAt + "dest 0 FitR 200 0 250 50"},
        {"page_index", kRect + "/Dest [1 /Fit]", {}, "", kAt + "dest 0 FitR 200 200 400 400"},
        {"dest_by_ref", kRect + "/Dest 1001 0 R", {{1001, "[" + page_ref(1) + " /Fit]"}}, "", kAt + "dest 0 FitR 200 200 400 400"},
        {"goto", kRect + "/A << /S /GoTo /D [" + page_ref(0) + " /XYZ 0 0 null] >>", {}, "", kAt + "goto 0 XYZ 0 200 null"},
        {"goto_indirect_next_dropped", kRect + "/A 1001 0 R",
         {{1001, "<< /S /GoTo /D [" + page_ref(1) + " /Fit] /Next 1002 0 R >>"}, {1002, "<< /S /URI /URI (x) >>"}},
         "", kAt + "goto 0 FitR 200 200 400 400"},
        {"uri", kRect + "/A << /S /URI /URI (http://example.org/a) >>", {}, "", kAt + "uri http://example.org/a"},
        {"uri_carried", kRect + "/A << /S /URI /URI 1001 0 R >>", {{1001, "(http://example.org/b)"}}, "",
         kAt + "uri http://example.org/b"},
        {"gotor", kRect + "/A << /S /GoToR /F (other.pdf) /D [0 /Fit] >>", {}, "", kAt + "gotor other.pdf"},
        {"gotor_file_dictionary_carried", kRect + "/A << /S /GoToR /F 1001 0 R /D [0 /Fit] >>",
         {{1001, "<< /F (a.pdf) /UF (a.pdf) >>"}}, "", kAt + "gotor file"},
        {"launch", kRect + "/A << /S /Launch /F (prog) >>", {}, "", kAt + "launch"},
        {"javascript_left_out", kRect + "/A << /S /JavaScript /JS (app.alert(1)) >>", {}, "", ""},
        {"named_action_left_out", kRect + "/A << /S /Named /N /NextPage >>", {}, "", ""},
        {"dests_dict", kRect + "/Dest /ch1", {{1001, "<< /ch1 [" + page_ref(3) + " /XYZ 0 400 null] >>"}},
         "/Dests 1001 0 R", kAt + "dest 0 XYZ 200 200 null"},
        {"dests_dict_with_d", kRect + "/Dest /ch1", {{1001, "<< /ch1 << /D [" + page_ref(3) + " /Fit] >> >>"}},
         "/Dests 1001 0 R", kAt + "dest 0 FitR 200 0 400 200"},
        {"name_tree", kRect + "/Dest (c)", tree_objs, tree, kAt + "dest 0 FitR 0 0 200 200"},
        {"name_tree_goto", kRect + "/A << /S /GoTo /D (b) >>", tree_objs, tree, kAt + "goto 0 FitR 200 200 400 400"},
        {"name_tree_missing", kRect + "/Dest (zz)", tree_objs, tree, ""},
        {"name_tree_loop", kRect + "/Dest (x)",
         {{1001, "<< /Kids [1001 0 R 1002 0 R] >>"}, {1002, "<< /Kids [1001 0 R] /Names [(x) [" + page_ref(1) + " /Fit]] >>"}},
         tree, kAt + "dest 0 FitR 200 200 400 400"},
        {"not_a_page", kRect + "/Dest [1001 0 R /Fit]", {{1001, "<< /Type /Font >>"}}, "", ""},
        {"no_target", kRect, {}, "", ""},
        {"look_kept", kRect + "/QuadPoints [100 100 200 100 200 150 100 150] /Border [0 0 2] /C [0 0 1] /H /O /Dest [" + page_ref(0) + " /Fit]",
         {}, "", "L 0 50 50 100 75 Q 50 50 100 50 100 75 50 75 Border 0 0 2 C 0 0 1 H /O | dest 0 FitR 0 200 200 400"},
        {"empty_quadpoints", kRect + "/QuadPoints [] /Dest [" + page_ref(0) + " /Fit]", {}, "", kAt + "dest 0 FitR 0 200 200 400"},
        {"cut_quadpoints", kRect + "/QuadPoints [1 2 3 4 5 6] /Dest [" + page_ref(0) + " /Fit]", {}, "", kAt + "dest 0 FitR 0 200 200 400"},
        {"reversed_rect", "/Rect [200 150 100 100] /Dest [" + page_ref(0) + " /Fit]", {}, "", kAt + "dest 0 FitR 0 200 200 400"},
        {"null_rect", "/Rect null /Dest [" + page_ref(0) + " /Fit]", {}, "", ""},
        {"short_rect", "/Rect [1 2 3] /Dest [" + page_ref(0) + " /Fit]", {}, "", ""},
    };
}

class LinkKinds : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkKinds, LinkOnPage3LandsAndPointsWherePlaced) {
    REQUIRE_PIKEPDF();
    const LinkCase &c = GetParam();
    pdfgen::DocSpec plan = square_doc(4);
    plan.pages[2].extra = "/Annots [1000 0 R]";
    plan.objects.push_back({1000, "<< /Type /Annot /Subtype /Link " + c.link + " >>"});
    for (const auto &o : c.objects) plan.objects.push_back(o);
    plan.catalog_extra = c.catalog_extra;
    std::vector<std::string> links = only(dump(compose(pdfgen::make_doc(plan), square_opts())), "L");
    std::vector<std::string> want;
    if (!c.expect.empty()) want.push_back(c.expect);
    EXPECT_EQ(join(links), join(want));
}

INSTANTIATE_TEST_SUITE_P(Links, LinkKinds, ::testing::ValuesIn(link_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Turned pages: page 0 (slot 0, drawn at (0, 200)) turned by its /Rotate.

struct TurnCase {
    int rotate;
    std::vector<std::string> expect;
};

void PrintTo(const TurnCase &c, std::ostream *os) { *os << "rotate " << c.rotate; }

class TurnedLinks : public ::testing::TestWithParam<TurnCase> {};

TEST_P(TurnedLinks, RectanglesPointsAndDestinationsTurnWithThePage) {
    REQUIRE_PIKEPDF();
    const TurnCase &c = GetParam();
    pdfgen::DocSpec plan = square_doc(4);
    if (c.rotate) plan.pages[0].rotate = std::to_string(c.rotate);
    plan.pages[0].extra = "/Annots [1000 0 R 1001 0 R]";
    plan.objects.push_back({1000, "<< /Subtype /Link /Rect [0 0 100 50] /QuadPoints [0 0 100 0 100 50 0 50] /Dest [" +
                                      page_ref(0) + " /XYZ 100 300 null] >>"});
    plan.objects.push_back({1001, "<< /Subtype /Link /Rect [0 0 100 50] /Dest [" + page_ref(0) + " /FitR 0 0 100 50] >>"});
    EXPECT_EQ(join(only(dump(compose(pdfgen::make_doc(plan), square_opts())), "L")), join(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    Rotations, TurnedLinks,
    ::testing::Values(
        TurnCase{0, {"L 0 0 200 50 225 Q 0 200 50 200 50 225 0 225 | dest 0 XYZ 50 350 null",
                     "L 0 0 200 50 225 | dest 0 FitR 0 200 50 225"}},
        TurnCase{90, {"L 0 0 350 25 400 Q 0 400 0 350 25 350 25 400 | dest 0 XYZ 150 350 null",
                      "L 0 0 350 25 400 | dest 0 FitR 0 350 25 400"}},
        TurnCase{180, {"L 0 150 375 200 400 Q 200 400 150 400 150 375 200 375 | dest 0 XYZ 150 250 null",
                       "L 0 150 375 200 400 | dest 0 FitR 150 375 200 400"}},
        TurnCase{270, {"L 0 175 200 200 250 Q 200 200 200 250 175 250 175 200 | dest 0 XYZ 50 250 null",
                       "L 0 175 200 200 250 | dest 0 FitR 175 200 200 250"}}),
    [](const auto &info) { return "rotate" + std::to_string(info.param.rotate); });

// ---------------------------------------------------------------------------
// Selections: pages left out, pages placed twice, several sheets.

struct SelectCase {
    const char *name;
    int pages;
    const char *selection;
    // Links as (page, its destination's page).
    std::vector<std::pair<int, int>> links;
    std::vector<std::string> expect;
};

void PrintTo(const SelectCase &c, std::ostream *os) { *os << c.name; }

class SelectedLinks : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectedLinks, LinksFollowThePlacements) {
    REQUIRE_PIKEPDF();
    const SelectCase &c = GetParam();
    pdfgen::DocSpec plan = square_doc(c.pages);
    std::vector<std::string> annots(static_cast<size_t>(c.pages));
    int num = 1000;
    for (auto [from, to] : c.links) {
        plan.objects.push_back({num, "<< /Subtype /Link /Rect [0 0 100 50] /Dest [" + page_ref(to) + " /XYZ 0 400 null] >>"});
        annots[static_cast<size_t>(from)] += ref(num++) + " ";
    }
    for (int i = 0; i < c.pages; ++i)
        if (!annots[static_cast<size_t>(i)].empty()) plan.pages[static_cast<size_t>(i)].extra = "/Annots [" + annots[static_cast<size_t>(i)] + "]";
    sheetlay_options o = square_opts();
    o.pages = c.selection;
    EXPECT_EQ(join(only(dump(compose(pdfgen::make_doc(plan), o)), "L")), join(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    Selections, SelectedLinks,
    ::testing::Values(
        // Page 2 is left out: the link to it goes; page 3 is in slot 1.
        SelectCase{"page_left_out", 4, "1,3", {{0, 1}, {0, 2}, {1, 0}},
                   {"L 0 0 200 50 225 | dest 0 XYZ 200 400 null"}},
        // Page 1 twice: its link is on both placements; links to it go to
        // the first.
        SelectCase{"page_twice", 4, "1,2,1", {{0, 1}, {1, 0}},
                   {"L 0 0 200 50 225 | dest 0 XYZ 200 400 null", "L 0 200 200 250 225 | dest 0 XYZ 0 400 null",
                    "L 0 0 0 50 25 | dest 0 XYZ 200 400 null"}},
        // Six pages: page 6 is on sheet 2, slot 1.
        SelectCase{"two_sheets", 6, "", {{0, 5}, {5, 0}},
                   {"L 0 0 200 50 225 | dest 1 XYZ 200 400 null", "L 1 200 200 250 225 | dest 0 XYZ 0 400 null"}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Outline

// One (open, 2 kids: One.A coloured and bold, One.B a URI), Two (closed,
// its kid on page 4), Three (no target).
pdfgen::DocSpec outline_doc() {
    pdfgen::DocSpec plan = square_doc(4);
    plan.catalog_extra = "/Outlines 1000 0 R /PageMode /UseOutlines";
    plan.objects = {
        {1000, "<< /Type /Outlines /First 1001 0 R /Last 1003 0 R /Count 5 >>"},
        {1001, "<< /Title (One) /Parent 1000 0 R /Next 1002 0 R /First 1004 0 R /Last 1005 0 R /Count 2 /Dest [" +
                   page_ref(0) + " /XYZ 0 400 0] >>"},
        {1004, "<< /Title (One.A) /Parent 1001 0 R /Next 1005 0 R /Dest [" + page_ref(1) + " /Fit] /C [1 0 0] /F 2 >>"},
        {1005, "<< /Title (One.B) /Parent 1001 0 R /Prev 1004 0 R /A << /S /URI /URI (http://example.org/) >> >>"},
        {1002, "<< /Title 1007 0 R /Parent 1000 0 R /Prev 1001 0 R /Next 1003 0 R /First 1006 0 R /Last 1006 0 R "
               "/Count -1 /A << /S /GoTo /D [" + page_ref(2) + " /FitH 100] >> >>"},
        {1006, "<< /Title <FEFF00C4> /Parent 1002 0 R /Dest [" + page_ref(3) + " /XYZ null null null] >>"},
        {1003, "<< /Title (Three \\(x\\)) /Parent 1000 0 R /Prev 1002 0 R >>"},
        {1007, "(Two)"},
    };
    return plan;
}

struct OutlineCase {
    const char *name;
    const char *selection;
    std::vector<std::string> expect;
};

void PrintTo(const OutlineCase &c, std::ostream *os) { *os << c.name; }

class Outline : public ::testing::TestWithParam<OutlineCase> {};

TEST_P(Outline, TreeTitlesStateAndTargetsCarried) {
    REQUIRE_PIKEPDF();
    const OutlineCase &c = GetParam();
    sheetlay_options o = square_opts();
    o.pages = c.selection;
    std::vector<std::string> lines = dump(compose(pdfgen::make_doc(outline_doc()), o));
    std::vector<std::string> got = only(lines, "R");
    for (const std::string &l : only(lines, "O")) got.push_back(l);
    EXPECT_EQ(join(got), join(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    Outlines, Outline,
    ::testing::Values(
        OutlineCase{"all_pages", "",
                    {"R 5 /UseOutlines", "O 0 One 2 | dest 0 XYZ 0 400 null",
                     "O 1 One.A 0 | dest 0 FitR 200 200 400 400 C 1 0 0 F 2", "O 1 One.B 0 | uri http://example.org/",
                     "O 0 Two -1 | goto 0 XYZ 0 50 null", "O 1 \xC3\x84 0 | dest 0 XYZ 200 200 null",
                     "O 0 Three (x) 0 | -"}},
        // Pages 2 and 4 left out: their items stay, without target; page 3
        // moves to slot 1.
        OutlineCase{"pages_left_out", "1,3",
                    {"R 5 /UseOutlines", "O 0 One 2 | dest 0 XYZ 0 400 null", "O 1 One.A 0 | - C 1 0 0 F 2",
                     "O 1 One.B 0 | uri http://example.org/", "O 0 Two -1 | goto 0 XYZ 200 250 null",
                     "O 1 \xC3\x84 0 | -", "O 0 Three (x) 0 | -"}}),
    [](const auto &info) { return std::string(info.param.name); });

struct LoopCase {
    const char *name;
    std::vector<std::pair<int, std::string>> objects;
    std::vector<std::string> expect;
};

void PrintTo(const LoopCase &c, std::ostream *os) { *os << c.name; }

class OutlineDamage : public ::testing::TestWithParam<LoopCase> {};

TEST_P(OutlineDamage, EndsAndStaysSound) {
    REQUIRE_PIKEPDF();
    const LoopCase &c = GetParam();
    pdfgen::DocSpec plan = square_doc(2);
    plan.catalog_extra = "/Outlines 1000 0 R";
    plan.objects = c.objects;
    std::vector<std::string> lines = dump(compose(pdfgen::make_doc(plan), square_opts()));
    std::vector<std::string> got = only(lines, "R");
    for (const std::string &l : only(lines, "O")) got.push_back(l);
    EXPECT_EQ(join(got), join(c.expect));
}

INSTANTIATE_TEST_SUITE_P(
    Damaged, OutlineDamage,
    ::testing::Values(
        LoopCase{"next_loop",
                 {{1000, "<< /First 1001 0 R >>"},
                  {1001, "<< /Title (A) /Next 1002 0 R >>"},
                  {1002, "<< /Title (B) /Next 1001 0 R /Prev 1001 0 R >>"}},
                 {"R 2 -", "O 0 A 0 | -", "O 0 B 0 | -"}},
        LoopCase{"first_is_ancestor",
                 {{1000, "<< /First 1001 0 R >>"},
                  {1001, "<< /Title (A) /First 1001 0 R /Count 3 /Next 1002 0 R >>"},
                  {1002, "<< /Title (B) /First 1000 0 R /Count 1 /Dest [" + page_ref(1) + " /Fit] >>"}},
                 {"R 2 -", "O 0 A 0 | -", "O 0 B 0 | dest 0 FitR 200 200 400 400"}},
        LoopCase{"not_a_dictionary", {{1000, "<< /First 1001 0 R >>"}, {1001, "[1 2 3]"}}, {}},
        LoopCase{"outlines_not_a_dictionary", {{1000, "(x)"}}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Document information

struct InfoCase {
    const char *name;
    std::string trailer_extra;
    std::vector<std::pair<int, std::string>> objects;
    bool xref_stream;
    std::vector<std::string> expect;  // without the producer
};

void PrintTo(const InfoCase &c, std::ostream *os) { *os << c.name; }

class Info : public ::testing::TestWithParam<InfoCase> {};

TEST_P(Info, StringsCarriedProducerNamedNoDateAdded) {
    REQUIRE_PIKEPDF();
    const InfoCase &c = GetParam();
    pdfgen::DocSpec plan = square_doc(1);
    plan.trailer_extra = c.trailer_extra;
    plan.objects = c.objects;
    plan.xref_stream = c.xref_stream;
    std::vector<std::string> want = c.expect;
    want.push_back(std::string("I Producer sheetlay ") + sheetlay_version());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(join(only(dump(compose(pdfgen::make_doc(plan), square_opts())), "I")), join(want));
}

const std::vector<std::pair<int, std::string>> kInfoObjs = {
    {1000, "<< /Title (A title) /Author <FEFF00C4> /Subject 1001 0 R /Keywords (k1, k2) /Creator (maker) "
           "/Producer (old) /CreationDate (D:20200101000000Z) /ModDate (D:20210101000000Z) /Trapped /False "
           "/Custom (c) >>"},
    {1001, "(about)"},
};

INSTANTIATE_TEST_SUITE_P(
    Infos, Info,
    ::testing::Values(
        InfoCase{"table",
                 "/Info 1000 0 R",
                 kInfoObjs,
                 false,
                 {"I Author \xC3\x84", "I CreationDate D:20200101000000Z", "I Creator maker", "I Keywords k1, k2",
                  "I Subject about", "I Title A title"}},
        InfoCase{"xref_stream",
                 "/Info 1000 0 R",
                 kInfoObjs,
                 true,
                 {"I Author \xC3\x84", "I CreationDate D:20200101000000Z", "I Creator maker", "I Keywords k1, k2",
                  "I Subject about", "I Title A title"}},
        InfoCase{"none", "", {}, false, {}},
        InfoCase{"not_strings", "/Info 1000 0 R", {{1000, "<< /Title 5 /Author /Name >>"}}, false, {}},
        InfoCase{"not_a_dictionary", "/Info 1000 0 R", {{1000, "[1]"}}, false, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Keep bits, sameness, damage

TEST(LinksKeep, EachBitAddsOnlyItsPart) {
    pdfgen::DocSpec plan = outline_doc();
    plan.pages[0].extra = "/Annots [1100 0 R]";
    plan.objects.push_back({1100, "<< /Subtype /Link /Rect [0 0 10 10] /Dest [" + page_ref(1) + " /Fit] >>"});
    plan.trailer_extra = "/Info 1101 0 R";
    plan.objects.push_back({1101, "<< /Title (t) >>"});
    const std::string in = pdfgen::make_doc(plan);
    struct {
        uint32_t keep;
        bool annots, outlines, info;
    } rows[] = {
        {0, false, false, false},
        {SHEETLAY_KEEP_LINKS, true, false, false},
        {SHEETLAY_KEEP_OUTLINE, false, true, false},
        {SHEETLAY_KEEP_INFO, false, false, true},
        {SHEETLAY_KEEP_ALL, true, true, true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.keep);
        std::string out = compose(in, square_opts(r.keep));
        EXPECT_EQ(out.find("/Annots") != std::string::npos, r.annots);
        EXPECT_EQ(out.find("/Outlines") != std::string::npos, r.outlines);
        EXPECT_EQ(out.find("/Info") != std::string::npos, r.info);
        EXPECT_EQ(out, compose(in, square_opts(r.keep))) << "same input, same bytes";
    }
}

// A trimmed page leaves out the links that lie wholly outside its box
// (here the ink, 100..200 on both axes), and keeps those that reach into
// it, however little; untrimmed, all are kept.
TEST(LinksTrim, WhollyOutsideTheTrimmedBoxLeftOut) {
    struct {
        const char *annot;
        bool kept;
    } rows[] = {
        {"/Subtype /Link /Rect [120 120 150 150]", true},
        {"/Subtype /Link /Rect [190 190 250 250]", true},   // overlaps a corner
        {"/Subtype /Link /Rect [250 150 200 120]", true},   // touches the right edge, corners reversed
        {"/Subtype /Link /Rect [201 120 250 150]", false},  // right of the box
        {"/Subtype /Link /Rect [100 10 200 99]", false},    // below
        {"/Subtype /Link /Rect [0 0 99 400]", false},       // left, the page's full height
        {"/Subtype /Link /Rect [120 201 150 300]", false},  // above
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.annot);
        pdfgen::DocSpec plan = square_doc(2);
        plan.pages[0].content = "100 100 100 100 re f";
        plan.pages[0].extra = "/Annots [1000 0 R]";
        plan.objects.push_back({1000, std::string("<< ") + r.annot + " /Dest [" + page_ref(1) + " /Fit] >>"});
        const std::string in = pdfgen::make_doc(plan);
        const char *kind = "/Link";
        sheetlay_options o = square_opts();
        EXPECT_NE(compose(in, o).find(kind), std::string::npos) << "untrimmed";
        o.trim = SHEETLAY_TRIM_EACH;
        EXPECT_EQ(compose(in, o).find(kind) != std::string::npos, r.kept) << "trimmed";
    }
}

TEST(LinksDamage, UnreadableAnnotationsAreLeftOut) {
    const char *annots[] = {
        "/Annots 7",
        "/Annots [null 1 (x) /Link << >> [1 2]]",
        "/Annots [1000 0 R 1000 0 R 999 0 R]",
        "/Annots 1001 0 R",
    };
    for (const char *a : annots) {
        SCOPED_TRACE(a);
        pdfgen::DocSpec plan = square_doc(2);
        plan.pages[0].extra = a;
        plan.objects = {{1000, "<< /Subtype /Link /Rect [0 0 1e400 5] /Dest [" + page_ref(1) + " /FitR -1e300 0 1e300 1] >>"},
                        {1001, "[1001 0 R << /Subtype /Link /Rect [0 0 1 1] /A << /S /GoTo /D 1001 0 R >> >>]"}};
        plan.catalog_extra = "/Dests 1001 0 R /Names << /Dests 1001 0 R >>";
        std::string out = compose(pdfgen::make_doc(plan), square_opts());
        EXPECT_NE(out.find("%%EOF"), std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// The corpus: a pdflatex file whose bookmarks and links name pages 1 to 4.

// Splits a dump line into its words.
std::vector<std::string> words(const std::string &l) {
    std::vector<std::string> w;
    std::istringstream in(l);
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

// The page (or sheet) a line's target names, or -1.
int target_page(const std::string &l) {
    std::vector<std::string> w = words(l.substr(l.find(" | ") + 3));
    if (w.size() >= 2 && (w[0] == "dest" || w[0] == "goto")) return std::atoi(w[1].c_str());
    return -1;
}

TEST(LinksCorpus, PdflatexOutlineEntriesAndLinksOnTheRightSheet) {
    REQUIRE_CORPUS();
    REQUIRE_PIKEPDF();
    const std::string path = testtools::corpus_dir() + "/pdflatex-outline.pdf";
    std::optional<std::string> in = testtools::read_file(path);
    if (!in) GTEST_SKIP() << "no pdflatex-outline.pdf";
    sheetlay_options o;
    sheetlay_options_init(&o);  // 2 x 2: page i on sheet i / 4
    const std::vector<std::string> before = dump(*in), after = dump(compose(*in, o));
    for (const char *kind : {"O", "L"}) {
        std::vector<std::string> a = only(before, kind), b = only(after, kind);
        ASSERT_EQ(a.size(), b.size()) << kind;
        ASSERT_FALSE(a.empty()) << kind;
        for (size_t i = 0; i < a.size(); ++i) {
            SCOPED_TRACE(a[i] + " => " + b[i]);
            int p = target_page(a[i]);
            ASSERT_GE(p, 0);
            EXPECT_EQ(target_page(b[i]), p / 4);
            if (std::string(kind) == "O") EXPECT_EQ(a[i].substr(0, a[i].find(" | ")), b[i].substr(0, b[i].find(" | ")));
            else EXPECT_EQ(words(b[i])[1], std::to_string(std::atoi(words(a[i])[1].c_str()) / 4));
        }
    }
    EXPECT_EQ(only(before, "R"), only(after, "R"));
}

}  // namespace
