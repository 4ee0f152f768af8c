// Annotations on the sheets: which annotations of a page are drawn and from
// what (page_marks), the drawing that opens a slot, and end to end: made-up
// pages whose only ink is their annotations are laid out and rendered by
// poppler, and each sheet cell must show what poppler shows for the input
// page with its annotations, turned pages included; annotations a printer
// leaves out leave the cell blank; the corpus's forms and markup show.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include <algorithm>
#include <cmath>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "nup/annots.h"
#include "nup/extras.h"
#include "pdf/object.h"
#include "support/map_resolver.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using sheetlay::pdf::value;
using testtools::Gray;

namespace {

// ---------------------------------------------------------------------------
// Which annotations, from what

using testtools::MapResolver;

// Objects every case may name: 10 a stamp form, 11 a form with a matrix
// that turns it, 12 an empty "Off" form, 13 a dictionary that is no stream,
// 14 a font.
MapResolver objects() {
    MapResolver r;
    r.text[10] = "<< /Type /XObject /Subtype /Form /BBox [0 0 50 30] /Length 20 >>";
    r.text[11] = "<< /Subtype /Form /BBox [0 0 50 30] /Matrix [0 1 -1 0 0 0] /Length 20 >>";
    r.text[12] = "<< /Subtype /Form /BBox [0 0 10 10] /Length 0 >>";
    r.text[13] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
    r.text[14] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";
    return r;
}

struct MarkCase {
    const char *name;
    const char *annots;          // the page's /Annots value
    std::vector<int32_t> marks;  // per drawn mark: its stream, 0 when built
    std::vector<double> first;   // the first mark's matrix, when given
};

const MarkCase kMarkCases[] = {
    {"stamp", "[<< /Subtype /Stamp /F 4 /Rect [100 200 200 260] /AP << /N 10 0 R >> >>]",
     {10}, {2, 0, 0, 2, 100, 200}},
    {"corners reversed", "[<< /Subtype /Stamp /F 4 /Rect [200 260 100 200] /AP << /N 10 0 R >> >>]",
     {10}, {2, 0, 0, 2, 100, 200}},
    {"turned form", "[<< /Subtype /Stamp /F 4 /Rect [0 0 30 50] /AP << /N 11 0 R >> >>]",
     {11}, {1, 0, 0, 1, 30, 0}},
    {"state on", "[<< /Subtype /Widget /F 4 /Rect [0 0 50 30] /AS /On /AP << /N << /On 10 0 R /Off 12 0 R >> >> >>]",
     {10}, {}},
    {"state off", "[<< /Subtype /Widget /F 4 /Rect [0 0 10 10] /AS /Off /AP << /N << /On 10 0 R /Off 12 0 R >> >> >>]",
     {12}, {}},
    {"state missing", "[<< /Subtype /Widget /F 4 /Rect [0 0 10 10] /AS /Maybe /AP << /N << /On 10 0 R >> >> >>]",
     {}, {}},
    {"hidden", "[<< /Subtype /Stamp /F 6 /Rect [0 0 50 30] /AP << /N 10 0 R >> >>]", {}, {}},
    {"not printed", "[<< /Subtype /Stamp /F 0 /Rect [0 0 50 30] /AP << /N 10 0 R >> >>]", {}, {}},
    {"no flags", "[<< /Subtype /Stamp /Rect [0 0 50 30] /AP << /N 10 0 R >> >>]", {}, {}},
    {"link", "[<< /Subtype /Link /F 4 /Rect [0 0 50 30] /AP << /N 10 0 R >> >>]", {}, {}},
    {"popup", "[<< /Subtype /Popup /F 4 /Rect [0 0 50 30] /AP << /N 10 0 R >> >>]", {}, {}},
    {"zero size", "[<< /Subtype /Stamp /F 4 /Rect [10 10 10 60] /AP << /N 10 0 R >> >>]", {}, {}},
    {"appearance not a stream", "[<< /Subtype /Stamp /F 4 /Rect [0 0 50 30] /AP << /N 13 0 R >> >>]", {}, {}},
    {"appearance missing", "[<< /Subtype /Stamp /F 4 /Rect [0 0 50 30] /AP << /N 99 0 R >> >>]", {}, {}},
    {"square built", "[<< /Subtype /Square /F 4 /Rect [10 10 60 40] /C [1 0 0] >>]", {0}, {}},
    {"text field built",
     "[<< /Subtype /Widget /FT /Tx /F 4 /Rect [10 10 110 30] /V (Hi) /DA (/Helv 10 Tf 0 g) >>]",
     {0}, {1, 0, 0, 1, 10, 10}},
    {"order kept",
     "[<< /Subtype /Square /F 4 /Rect [10 10 60 40] >> << /Subtype /Stamp /F 4 /Rect [0 0 50 30] /AP << /N 12 0 R >> >>"
     " << /Subtype /Stamp /F 6 /Rect [0 0 50 30] /AP << /N 10 0 R >> >> << /Subtype /Stamp /F 4 /Rect [0 0 50 30] /AP << /N 10 0 R >> >>]",
     {0, 12, 10}, {}},
    {"damaged entries skipped",
     "[null 98 0 R (x) << /Subtype /Stamp /F 4 /Rect [0 0 (a) 30] /AP << /N 10 0 R >> >> << /F 4 >>"
     " << /Subtype /Stamp /F 4 /Rect [0 0 50 30] /AP << /N 10 0 R >> >>]",
     {10}, {}},
    {"not an array", "<< /Subtype /Stamp >>", {}, {}},
};

void PrintTo(const MarkCase &c, std::ostream *os) { *os << c.name; }

class Marks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(Marks, DrawnFromWhatViewersPrint) {
    const MarkCase &c = GetParam();
    MapResolver r = objects();
    value page;
    ASSERT_TRUE(sheetlay::pdf::parse_value(std::string("<< /Type /Page /Annots ") + c.annots + " >>", &page));
    std::vector<sheetlay::nup::annot_mark> marks = sheetlay::nup::page_marks(&page, nullptr, &r);
    ASSERT_EQ(marks.size(), c.marks.size());
    for (size_t k = 0; k < marks.size(); ++k) {
        EXPECT_EQ(marks[k].stream, c.marks[k]) << k;
        if (marks[k].stream == 0) EXPECT_FALSE(marks[k].built.content.empty()) << k;
    }
    if (!c.first.empty())
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(marks[0].m[k], c.first[static_cast<size_t>(k)], 1e-9) << k;
}

INSTANTIATE_TEST_SUITE_P(Cases, Marks, ::testing::ValuesIn(kMarkCases), [](const auto &info) {
    std::string n = info.param.name;
    for (char &ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
});

TEST(Marks, NeedAppearancesRebuildsFieldsOnly) {
    MapResolver r = objects();
    value page, form;
    ASSERT_TRUE(sheetlay::pdf::parse_value(
        "<< /Annots [<< /Subtype /Widget /FT /Tx /F 4 /Rect [0 0 100 20] /V (x) /DA (/Helv 9 Tf 0 g)"
        " /AP << /N 10 0 R >> >> << /Subtype /Stamp /F 4 /Rect [0 0 50 30] /AP << /N 10 0 R >> >>] >>",
        &page));
    ASSERT_TRUE(sheetlay::pdf::parse_value("<< /NeedAppearances true /DR << /Font << /Helv 14 0 R >> >> >>", &form));
    auto marks = sheetlay::nup::page_marks(&page, &form, &r);
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].stream, 0);  // the field is rebuilt from its value
    EXPECT_EQ(marks[1].stream, 10);
    // The rebuilt field names the form's font object, for the writer to carry.
    std::string res = sheetlay::pdf::to_text(marks[0].built.resources);
    EXPECT_NE(res.find("14 0 R"), std::string::npos) << res;
}

// Writers that leave the appearance out often write careless rectangles:
// markup built from points covers every point (drawn where the points are),
// and a note shows its icon at full size from the rectangle's top left.
TEST(Marks, BuiltMarkupFollowsItsPoints) {
    MapResolver r = objects();
    value page;
    ASSERT_TRUE(sheetlay::pdf::parse_value(
        "<< /Annots [<< /Subtype /Highlight /F 4 /Rect [0 0 10 10] /QuadPoints [20 40 120 40 20 20 120 20] >>"
        " << /Subtype /Ink /F 4 /Rect [0 0 10 10] /BS << /W 2 >> /InkList [[50 50 60 70]] >>"
        " << /Subtype /Text /F 4 /Rect [100 100 103 103] >>] >>",
        &page));
    auto marks = sheetlay::nup::page_marks(&page, nullptr, &r);
    ASSERT_EQ(marks.size(), 3u);
    const double identity[6] = {1, 0, 0, 1, 0, 0}, note[6] = {1, 0, 0, 1, 100, 83};
    const double hl_box[4] = {0, 0, 125, 45}, ink_box[4] = {0, 0, 63, 73}, note_box[4] = {0, 0, 20, 20};
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(marks[0].m[k], identity[k], 1e-9);
        EXPECT_NEAR(marks[1].m[k], identity[k], 1e-9);
        EXPECT_NEAR(marks[2].m[k], note[k], 1e-9);
    }
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(marks[0].built.bbox[k], hl_box[k]) << k;
        EXPECT_EQ(marks[1].built.bbox[k], ink_box[k]) << k;
        EXPECT_EQ(marks[2].built.bbox[k], note_box[k]) << k;
    }
}

// ---------------------------------------------------------------------------
// The opening of a slot's drawing

struct TurnCase {
    int rotation;
    const char *turn;  // the cm line expected after the placement
};

TEST(SlotOpening, RepeatsPlacementTurnAndClip) {
    const TurnCase cases[] = {
        {0, ""},
        {90, "0 -1 1 0 0 410 cm\n"},
        {180, "-1 0 0 -1 410 320 cm\n"},
        {270, "0 1 -1 0 320 0 cm\n"},
    };
    sheetlay::pageinfo p{7, 0, 10, 20, 410, 320, -1};
    for (const TurnCase &c : cases) {
        sheetlay::nup::placed_page pl{};
        pl.page = &p;
        pl.rotation = c.rotation;
        pl.at = {0.5, 12, 34.25, 0, 0, 0, 0};
        std::string want = std::string("q 0.5 0 0 0.5 12 34.25 cm\n") + c.turn + "10 20 400 300 re W n\n";
        EXPECT_EQ(sheetlay::nup::slot_opening(pl), want) << c.rotation;
    }
}

// ---------------------------------------------------------------------------
// End to end

// A page whose only ink is its annotations: `annots` lists objects 100 on.
struct Page {
    std::string box = "[0 0 300 400]";
    std::string rotate;
    std::string annots;
};

std::string form_object(const std::string &bbox, const std::string &content) {
    return "<< /Type /XObject /Subtype /Form /BBox [" + bbox + "] /Length " +
           std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream";
}

// `field`: object 120, a field the form lists (see kAcroField).
std::string make_input(const std::vector<Page> &pages, const std::string &catalog_extra = "",
                       const std::string &field = "") {
    pdfgen::DocSpec plan;
    for (const Page &p : pages) {
        pdfgen::PageSpec s;
        s.media_box = p.box;
        s.rotate = p.rotate;
        s.content = "";
        if (!p.annots.empty()) s.extra = "/Annots " + p.annots;
        plan.pages.push_back(s);
    }
    plan.catalog_extra = catalog_extra;
    // 100: a stamp drawn in a 50 x 30 box; 101 and 102: the states of a box.
    plan.objects.push_back({100, form_object("0 0 50 30", "0 0 0 rg 0 0 50 30 re f")});
    plan.objects.push_back({101, form_object("0 0 20 20", "0 0 0 rg 0 0 20 20 re f")});
    plan.objects.push_back({102, form_object("0 0 20 20", "")});
    // The fonts the form's resources name.
    plan.objects.push_back({110, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"});
    plan.objects.push_back({111, "<< /Type /Font /Subtype /Type1 /BaseFont /ZapfDingbats >>"});
    if (!field.empty()) plan.objects.push_back({120, field});
    return pdfgen::make_doc(plan);
}

struct Laid {
    int32_t ok = 0;
    std::string err, pdf;
};

// Lays the input out on sheets of w x h with a cols x rows grid.
Laid lay_out(const std::string &input, uint32_t keep, int cols, int rows, double w, double h,
            const char *pages = nullptr) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.columns = cols;
    o.rows = rows;
    o.sheet_width = w;
    o.sheet_height = h;
    o.orientation = SHEETLAY_ORIENT_AS_GIVEN;
    o.keep = keep;
    o.compress = SHEETLAY_COMPRESS_NONE;
    o.pages = pages;
    Laid r;
    void *out = nullptr;
    size_t len = 0;
    char err[256];
    r.ok = sheetlay_nup_mem(input.data(), input.size(), &out, &len, &o, err, sizeof err);
    r.err = err;
    if (r.ok) r.pdf.assign(static_cast<const char *>(out), len);
    sheetlay_free(out);
    return r;
}

void expect_clean(const std::string &pdf) {
    if (!testtools::have_qpdf()) return;
    std::string path = testtools::write_temp(pdf, "annq");
    testtools::QpdfResult q = testtools::qpdf_check(path);
    EXPECT_EQ(q.status, 0) << q.out;
    testtools::remove_file(path);
}

double ink(const Gray &g) { return 255 - g.mean(); }

// Coarse ink maps: both images reduced to cw x ch and compared cell by cell.
double map_diff(const Gray &a, const Gray &b, int cw, int ch) {
    return testtools::mean_abs_diff(testtools::downscale(a, cw, ch), testtools::downscale(b, cw, ch));
}

struct DrawCase {
    const char *name;
    Page page;
    std::string catalog;
    bool compare;  // poppler shows the input page as a printer would: compare with it
    bool inked;    // the cell shows ink
    std::string field = "";  // object 120
};

const char *kAcro = "/AcroForm << /DA (/Helv 0 Tf 0 g) /DR << /Font << /Helv 110 0 R /ZaDb 111 0 R >> >> >>";
// Viewers draw a widget only for a field the form lists.
const char *kAcroField =
    "/AcroForm << /Fields [120 0 R] /DA (/Helv 0 Tf 0 g) /DR << /Font << /Helv 110 0 R /ZaDb 111 0 R >> >> >>";

std::vector<DrawCase> draw_cases() {
    const std::string stamp = "<< /Type /Annot /Subtype /Stamp /F 4 /Rect [40 150 190 240] /AP << /N 100 0 R >> >>";
    std::vector<DrawCase> v;
    v.push_back({"stamp", {"[0 0 300 400]", "", "[" + stamp + "]"}, "", true, true});
    // The same page turned each way: the box as written is 400 x 300 for a
    // quarter turn, so that every page shows 300 x 400.
    v.push_back({"turned90", {"[0 0 400 300]", "90", "[" + stamp + "]"}, "", true, true});
    v.push_back({"turned180", {"[0 0 300 400]", "180", "[" + stamp + "]"}, "", true, true});
    v.push_back({"turned270", {"[0 0 400 300]", "270", "[" + stamp + "]"}, "", true, true});
    // NoRotate: on a turned page, viewers show the appearance upright,
    // turned about the upper-left corner of /Rect. NoZoom (8) changes
    // nothing in print: the appearance scales with the page.
    auto stamp_flags = [](int f, const char *rect) {
        return "[<< /Type /Annot /Subtype /Stamp /F " + std::to_string(f) + " /Rect " + rect +
               " /AP << /N 100 0 R >> >>]";
    };
    v.push_back({"no_rotate90", {"[0 0 400 300]", "90", stamp_flags(20, "[40 50 190 140]")}, "", true, true});
    v.push_back({"no_rotate180", {"[0 0 300 400]", "180", stamp_flags(20, "[150 100 300 190]")}, "", true, true});
    v.push_back({"no_rotate270", {"[0 0 400 300]", "270", stamp_flags(28, "[140 150 290 240]")}, "", true, true});
    v.push_back({"no_zoom_upright", {"[0 0 300 400]", "", stamp_flags(28, "[40 150 190 240]")}, "", true, true});
    v.push_back({"box_not_at_origin", {"[50 60 450 360]", "90", "[<< /Subtype /Square /F 4 /Rect [60 200 200 340] /IC [0 0 0] /C [0 0 0] /BS << /W 4 >> >>]"}, "", true, true});
    v.push_back({"state_on", {"[0 0 300 400]", "", "[<< /Subtype /Widget /F 4 /Rect [100 100 200 200] /AS /On /AP << /N << /On 101 0 R /Off 102 0 R >> >> >>]"}, "", true, true});
    v.push_back({"state_off", {"[0 0 300 400]", "", "[<< /Subtype /Widget /F 4 /Rect [100 100 200 200] /AS /Off /AP << /N << /On 101 0 R /Off 102 0 R >> >> >>]"}, "", true, false});
    v.push_back({"hidden", {"[0 0 300 400]", "", "[<< /Subtype /Stamp /F 6 /Rect [40 250 190 340] /AP << /N 100 0 R >> >>]"}, "", true, false});
    v.push_back({"not_printed", {"[0 0 300 400]", "", "[<< /Subtype /Stamp /F 0 /Rect [40 250 190 340] /AP << /N 100 0 R >> >>]"}, "", false, false});
    v.push_back({"square", {"[0 0 300 400]", "", "[<< /Subtype /Square /F 4 /Rect [50 50 250 150] /C [0 0 0] /IC [0 0 0] >>]"}, "", true, true});
    v.push_back({"circle", {"[0 0 400 300]", "270", "[<< /Subtype /Circle /F 4 /Rect [50 50 250 150] /C [0 0 0] /IC [0 0 0] >>]"}, "", true, true});
    v.push_back({"ink", {"[0 0 400 300]", "90", "[<< /Subtype /Ink /F 4 /Rect [20 20 380 280] /C [0 0 0] /BS << /W 8 >> /InkList [[30 30 370 270 30 270 370 30]] >>]"}, "", true, true});
    v.push_back({"highlight", {"[0 0 300 400]", "", "[<< /Subtype /Highlight /F 4 /Rect [20 200 280 260] /C [0 0 1] /QuadPoints [20 260 280 260 20 200 280 200] >>]"}, "", true, true});
    v.push_back({"free_text", {"[0 0 300 400]", "180", "[<< /Subtype /FreeText /F 4 /Rect [20 200 280 260] /DA (0 g /Helv 24 Tf) /Contents (WWWW MMMM) >>]"}, kAcro, false, true});
    v.push_back({"note", {"[0 0 300 400]", "", "[<< /Subtype /Text /F 4 /Rect [100 300 124 324] /C [0 0 1] /Contents (note) >>]"}, "", false, true});
    v.push_back({"text_field", {"[0 0 400 300]", "90", "[120 0 R]"}, kAcroField, true, true,
                 "<< /Type /Annot /Subtype /Widget /FT /Tx /F 4 /T (a) /Rect [20 200 280 240] /V (WWWWWWWW) /DA (/Helv 24 Tf 0 g) >>"});
    v.push_back({"check_on", {"[0 0 300 400]", "", "[120 0 R]"}, kAcroField, true, true,
                 "<< /Type /Annot /Subtype /Widget /FT /Btn /F 4 /T (c) /Rect [100 100 200 200] /V /Yes /AS /Yes /DA (/ZaDb 0 Tf 0 g) /MK << /CA (4) >> >>"});
    v.push_back({"check_off", {"[0 0 300 400]", "", "[120 0 R]"}, kAcroField, true, false,
                 "<< /Type /Annot /Subtype /Widget /FT /Btn /F 4 /T (c) /Rect [100 100 200 200] /V /Off /AS /Off /DA (/ZaDb 0 Tf 0 g) /MK << /CA (4) >> >>"});
    return v;
}

void PrintTo(const DrawCase &c, std::ostream *os) { *os << c.name; }

class Drawn : public ::testing::TestWithParam<DrawCase> {};

// One page in the left cell of a 600 x 400 sheet of two 300 x 400 cells:
// placed at scale 1, so the cell is the page as displayed.
TEST_P(Drawn, CellShowsWhatThePageShows) {
    REQUIRE_PDFTOPPM();
    const DrawCase &c = GetParam();
    std::string input = make_input({c.page}, c.catalog, c.field);
    Laid with = lay_out(input, SHEETLAY_KEEP_ALL, 2, 1, 600, 400);
    ASSERT_EQ(with.ok, 1) << with.err;
    expect_clean(with.pdf);
    Laid without = lay_out(input, 0, 2, 1, 600, 400);
    ASSERT_EQ(without.ok, 1) << without.err;
    // The page's one placement line is all that draws the page form.
    size_t at = 0, lines = 0;
    while ((at = with.pdf.find("/F0 Do", at)) != std::string::npos) ++lines, ++at;
    EXPECT_EQ(lines, 1u);

    std::string in_path = testtools::write_temp(input, "anin");
    std::string out_path = testtools::write_temp(with.pdf, "anout");
    std::optional<Gray> page = testtools::render_gray(in_path, 1, 72);
    std::optional<Gray> sheet = testtools::render_gray(out_path, 1, 72);
    testtools::remove_file(in_path);
    testtools::remove_file(out_path);
    ASSERT_TRUE(page && sheet);
    Gray cell = testtools::crop_pdf_rect(*sheet, 600, 400, 0, 0, 300, 400);
    Gray other = testtools::crop_pdf_rect(*sheet, 600, 400, 302, 0, 600, 400);
    EXPECT_LT(ink(other), 0.01) << "the blank cell stays blank";
    if (c.inked) EXPECT_GT(ink(cell), 0.3) << "the annotation shows";
    else EXPECT_LT(ink(cell), 0.05) << "nothing shows";
    if (c.compare) {
        double d = map_diff(cell, *page, 15, 20);
        EXPECT_LT(d, 0.25 * std::max(ink(*page), 1.0) + 1.0)
            << "cell ink " << ink(cell) << ", page ink " << ink(*page);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Drawn, ::testing::ValuesIn(draw_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// A page placed twice on a sheet draws its annotations in both cells: one
// form per built appearance, named once per drawing.
TEST(Drawn, RepeatedPageSharesItsForms) {
    std::string input = make_input(
        {{"[0 0 300 400]", "", "[<< /Subtype /Square /F 4 /Rect [50 50 250 150] /IC [0 0 0] >>"
                               " << /Subtype /Stamp /F 4 /Rect [40 250 190 340] /AP << /N 100 0 R >> >>]"}});
    Laid r = lay_out(input, SHEETLAY_KEEP_ANNOTATIONS, 2, 1, 600, 400, "1,1");
    ASSERT_EQ(r.ok, 1) << r.err;
    expect_clean(r.pdf);
    for (const char *name : {"/A0 ", "/A1 ", "/A2 ", "/A3 "})
        EXPECT_NE(r.pdf.find(std::string(name) + "Do"), std::string::npos) << name;
    EXPECT_EQ(r.pdf.find("/A4 "), std::string::npos);
    size_t forms = 0, at = 0;
    while ((at = r.pdf.find("/Subtype /Form /BBox [50 50 250 150]", at)) != std::string::npos) ++forms, ++at;
    EXPECT_EQ(forms, 1u);
    if (!testtools::have_pdftoppm()) return;
    std::string path = testtools::write_temp(r.pdf, "antwice");
    std::optional<Gray> sheet = testtools::render_gray(path, 1, 72);
    testtools::remove_file(path);
    ASSERT_TRUE(sheet);
    Gray left = testtools::crop_pdf_rect(*sheet, 600, 400, 0, 0, 300, 400);
    Gray right = testtools::crop_pdf_rect(*sheet, 600, 400, 300, 0, 600, 400);
    EXPECT_GT(ink(left), 5);
    EXPECT_LT(map_diff(left, right, 15, 20), 0.5);
}

// Scaled into a quarter of the sheet, an annotation stays inside its page:
// the part of it past the page box is cut off as a viewer cuts it.
TEST(Drawn, ClippedToThePage) {
    REQUIRE_PDFTOPPM();
    std::string input = make_input(
        {{"[0 0 300 400]", "", "[<< /Subtype /Stamp /F 4 /Rect [-300 -400 600 800] /AP << /N 100 0 R >> >>]"}});
    Laid r = lay_out(input, SHEETLAY_KEEP_ANNOTATIONS, 2, 2, 600, 800);
    ASSERT_EQ(r.ok, 1) << r.err;
    std::string path = testtools::write_temp(r.pdf, "anclip");
    std::optional<Gray> sheet = testtools::render_gray(path, 1, 72);
    testtools::remove_file(path);
    ASSERT_TRUE(sheet);
    // The first cell is the top left one, and the page fills it all.
    EXPECT_GT(ink(testtools::crop_pdf_rect(*sheet, 600, 800, 10, 410, 290, 790)), 250);
    EXPECT_LT(ink(testtools::crop_pdf_rect(*sheet, 600, 800, 310, 10, 590, 390)), 0.01);
    EXPECT_LT(ink(testtools::crop_pdf_rect(*sheet, 600, 800, 310, 410, 590, 790)), 0.01);
    EXPECT_LT(ink(testtools::crop_pdf_rect(*sheet, 600, 800, 10, 10, 290, 390)), 0.01);
}

// Damaged annotations are left out and never fail the call.
TEST(Drawn, DamagedAnnotationsLeftOut) {
    const char *cases[] = {
        "[null 99 0 R (text) 5 << /F 4 /Subtype /Stamp /Rect [0 0 (x) 9] /AP << /N 100 0 R >> >>]",
        "99 0 R",
        "[<< /Subtype /Stamp /F 4 /Rect [0 0 1e300 1e300] /AP << /N 100 0 R >> >>]",
        "[<< /Subtype /Square /F 4 /Rect [0 0 50 50] /BS << /W 1e30 >> /C [0 0 0 0 0 0 0] >>]",
        "[<< /Subtype /Widget /FT /Tx /F 4 /Rect [0 0 50 50] /Parent 3 0 R /V 7 /DA 5 >>]",
        "[<< /Subtype /Stamp /F 4 /Rect [0 0 50 50] /AP << /N 1 0 R >> >>]",
        "[<< /Subtype /Stamp /F 4 /Rect [0 0 50 50] /AP << /N << /On 100 0 R >> >> /AS /On >> 4 0 R 3 0 R]",
    };
    for (const char *annots : cases) {
        std::string input = make_input({{"[0 0 300 400]", "", annots}});
        Laid r = lay_out(input, SHEETLAY_KEEP_ALL, 2, 1, 600, 400);
        EXPECT_EQ(r.ok, 1) << annots << ": " << r.err;
        if (r.ok) expect_clean(r.pdf);
    }
}

// ---------------------------------------------------------------------------
// Corpus

// Each corpus file on a sheet its own size (one cell, scale 1): the sheet
// must look like the input page rendered with its annotations, clearly more
// than the same layout without them does.
TEST(CorpusAnnots, SheetShowsFormsAndMarkup) {
    REQUIRE_CORPUS();
    REQUIRE_PDFTOPPM();
    for (const char *name : {"annotated_pdf.pdf", "pdflatex-forms.pdf"}) {
        std::string in_path = testtools::corpus_dir() + "/" + name;
        std::optional<std::string> input = testtools::read_file(in_path);
        ASSERT_TRUE(input) << name;
        Laid with = lay_out(*input, SHEETLAY_KEEP_ALL, 1, 1, 0, 0);
        Laid without = lay_out(*input, 0, 1, 1, 0, 0);
        ASSERT_EQ(with.ok, 1) << name << ": " << with.err;
        ASSERT_EQ(without.ok, 1) << name << ": " << without.err;
        expect_clean(with.pdf);
        std::string p1 = testtools::write_temp(with.pdf, "ancw");
        std::string p2 = testtools::write_temp(without.pdf, "ancwo");
        std::optional<Gray> page = testtools::render_gray(in_path, 1, 72);
        std::optional<Gray> a = testtools::render_gray(p1, 1, 72);
        std::optional<Gray> b = testtools::render_gray(p2, 1, 72);
        testtools::remove_file(p1);
        testtools::remove_file(p2);
        ASSERT_TRUE(page && a && b) << name;
        double dw = map_diff(*a, *page, 40, 50), dwo = map_diff(*b, *page, 40, 50);
        EXPECT_LT(dw, 0.4 * dwo) << name << ": with " << dw << ", without " << dwo;
        EXPECT_LT(std::fabs(ink(*a) - ink(*page)), 0.25 * std::fabs(ink(*b) - ink(*page)) + 0.05)
            << name << ": ink " << ink(*a) << " / " << ink(*page) << " / " << ink(*b);
    }
}

}  // namespace

namespace {

// A highlight without appearance stream is drawn as viewers draw it: its
// short sides bulge outwards. Left of the quadrilateral, at mid height, the
// sheet shows the highlight where poppler does (square ends left it white).
TEST(RenderedMarks, HighlightEndsAreRoundedLikePopplers) {
    REQUIRE_PDFTOPPM();
    pdfgen::PdfBuilder b("%PDF-1.7\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 300] /Contents 4 0 R /Annots [5 0 R] >>");
    b.add_stream(4, "", "");
    b.add(5, "<< /Type /Annot /Subtype /Highlight /F 4 /Rect [70 90 330 210] /C [0 0 1]"
             " /QuadPoints [100 200 300 200 100 100 300 100] >>");
    std::string input = b.finish("/Root 1 0 R");
    Laid laid = lay_out(input, SHEETLAY_KEEP_ALL, 1, 1, 0, 0);
    ASSERT_EQ(laid.ok, 1) << laid.err;
    std::string in_path = testtools::write_temp(input, "hlin");
    std::string out_path = testtools::write_temp(laid.pdf, "hlout");
    std::optional<Gray> page = testtools::render_gray(in_path, 1, 72);
    std::optional<Gray> sheet = testtools::render_gray(out_path, 1, 72);
    testtools::remove_file(in_path);
    testtools::remove_file(out_path);
    ASSERT_TRUE(page && sheet);
    for (double x0 : {86.0, 302.0}) {  // beyond the left and the right side
        Gray want = testtools::crop_pdf_rect(*page, 400, 300, x0, 140, x0 + 12, 160);
        Gray got = testtools::crop_pdf_rect(*sheet, 400, 300, x0, 140, x0 + 12, 160);
        EXPECT_LT(want.mean(), 128) << x0;  // poppler paints there
        EXPECT_LT(testtools::mean_abs_diff(want, got), 30) << x0;
    }
}

}  // namespace

namespace {

// The corpus's annotated and form documents, one page per sheet at scale 1:
// the sheet renders as poppler renders the input page with its annotations
// (highlights with rounded ends, the push button rebuilt from /MK).
TEST(RenderedMarks, CorpusSheetsRenderAsPopplerRendersTheInput) {
    REQUIRE_CORPUS();
    REQUIRE_PDFTOPPM();
    struct File {
        const char *name;
        double limit;  // mean absolute grey difference, 0..255
    } files[] = {{"pdflatex-forms.pdf", 0.02}, {"annotated_pdf.pdf", 0.07}};  // before: 0.066, 0.08
    for (const File &f : files) {
        std::string in_path = testtools::corpus_dir() + "/" + f.name;
        std::optional<std::string> input = testtools::read_file(in_path);
        ASSERT_TRUE(input) << f.name;
        Laid laid = lay_out(*input, SHEETLAY_KEEP_ALL, 1, 1, 0, 0);
        ASSERT_EQ(laid.ok, 1) << f.name << ": " << laid.err;
        std::string out_path = testtools::write_temp(laid.pdf, "ancmp");
        std::optional<Gray> page = testtools::render_gray(in_path, 1, 100);
        std::optional<Gray> sheet = testtools::render_gray(out_path, 1, 100);
        testtools::remove_file(out_path);
        ASSERT_TRUE(page && sheet) << f.name;
        double d = testtools::mean_abs_diff(*page, *sheet);
        std::printf("%s: %.3f\n", f.name, d);
        EXPECT_LT(d, f.limit) << f.name;
    }
}

}  // namespace

namespace {

// Line endings render as poppler draws them for a line without appearance
// stream (without endings the difference is about 2.1).
TEST(RenderedMarks, LineEndingsLikePopplers) {
    REQUIRE_PDFTOPPM();
    pdfgen::PdfBuilder b("%PDF-1.7\n");
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 200] /Contents 4 0 R /Annots [5 0 R 6 0 R] >>");
    b.add_stream(4, "", "");
    b.add(5, "<< /Type /Annot /Subtype /Line /F 4 /Rect [30 30 270 90] /L [50 60 250 60] /C [0 0 1]"
             " /BS << /W 3 >> /LE [/OpenArrow /ClosedArrow] /IC [1 0 0] >>");
    b.add(6, "<< /Type /Annot /Subtype /Line /F 4 /Rect [30 110 270 170] /L [50 140 250 140] /C [0 0 0]"
             " /BS << /W 2 >> /LE [/Square /Circle] >>");
    std::string input = b.finish("/Root 1 0 R");
    Laid laid = lay_out(input, SHEETLAY_KEEP_ALL, 1, 1, 0, 0);
    ASSERT_EQ(laid.ok, 1) << laid.err;
    std::string in_path = testtools::write_temp(input, "lein");
    std::string out_path = testtools::write_temp(laid.pdf, "leout");
    std::optional<Gray> page = testtools::render_gray(in_path, 1, 100);
    std::optional<Gray> sheet = testtools::render_gray(out_path, 1, 100);
    testtools::remove_file(in_path);
    testtools::remove_file(out_path);
    ASSERT_TRUE(page && sheet);
    EXPECT_LT(testtools::mean_abs_diff(*page, *sheet), 0.8);
}

}  // namespace

// The quick read of a page's /Annots must find what the whole parse finds,
// or decline (-2) wherever the text is not certainly read the same.
TEST(PageAnnots, QuickReadAgreesWithWholeParseOrDeclines) {
    struct row {
        const char *text;
        bool quick;
    } rows[] = {
        {"<< /Type /Page /Annots [1 0 R 2 0 R] /Resources << /Font << /F1 5 0 R >> >> >>", true},
        {"<< /T (a /Annots [9 0 R] b) /Annots [3 0 R] >>", true},
        {"<< /T (x\\) /Annots [7 0 R] \\\\) /Annots [8 0 R] >>", true},
        {"<< /Resources << /Annots [9 0 R] >> /Annots 4 0 R >>", true},
        {"<< /Resources << /Annots [9 0 R] >> /MediaBox [0 0 612 -.5] >>", true},
        {"<< /Annots [<< /Rect [1 2 3 4] /X <41 42> /Y null >> 00012 0 R] /Z true >>", true},
        {"<< /Annots [ 7 0 R\n12 3 R ] /Annots2 [1 0 R] >>", true},
        {"<< /Annots [7 0 R 2147483648 0 R] >>", false},
        {"<< /Annots [00000000007 0 R] >>", true},
        {"<< /Annots [7 0 R 8 0 R 9] >>", true},
        {"<< /Annots [7 0 R 8 0 R/N] >>", true},
        {"<< /Annots [] >>", true},
        {"<< /Annots [1 0 R] /Annots [2 0 R] >>", false},
        {"<< /Ann#6fts [1 0 R] >>", false},
        {"<< /Annots [1 0 R] /Bad foo >>", false},
        {"<< /Annots [1 0 R] % note\n >>", false},
        {"<< /X 1 /Annots >>", false},
        {"<< /Annots [1 0 R] /K (open >>", false},
        {"<< /A 1 0 /Annots [1 0 R] >>", false},
        {"<< /Annots [1 0 R 2 R] >>", false},
        {"<< /Annots [1 0 R] /H <4G> >>", false},
        {"<< /Annots [1 0 R]", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        const auto *t = reinterpret_cast<const unsigned char *>(r.text);
        const int32_t len = static_cast<int32_t>(std::strlen(r.text));
        const int32_t at = sheetlay::nup::annots_value_at(t, len);
        ASSERT_EQ(at != -2, r.quick);
        if (!r.quick) continue;
        value whole, part;
        ASSERT_TRUE(sheetlay::pdf::parse_value(t, len, 0, &whole));
        const value *want = whole.get("Annots");
        ASSERT_EQ(at >= 0, want != nullptr);
        if (!want) continue;
        ASSERT_EQ(sheetlay::nup::annots_quick(t, len, &part), 1);
        std::string a, b;
        sheetlay::pdf::serialize(*want, &a);
        sheetlay::pdf::serialize(part, &b);
        EXPECT_EQ(a, b);
    }
}
