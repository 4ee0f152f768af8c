// The content box: small content streams against boxes worked out by hand
// (each operator family, clipping, white paint, text state, forms, Type 3
// glyphs, turned and skewed matrices), hostile content, and trimmed jobs
// rendered next to the ink of their input pages.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>

#include "content/bbox.h"
#include "nup/trim.h"
#include "pdf/load.h"
#include "pdf/resolve.h"
#include "sheetlay.h"
#include "support/map_resolver.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

using sheetlay::content::box;

using testtools::MapSource;

const char *kResources =
    "<< /Font << /F1 << /Subtype /TrueType /FirstChar 65 /Widths [500 600]"
    "  /FontDescriptor << /FontBBox [0 -200 1000 800] >> >>"
    "  /F2 << /Subtype /Type1 /BaseFont /Helvetica >>"
    "  /F3 << /Subtype /Type0 /Encoding /Identity-H /DescendantFonts [<< /DW 1000 /W [1 [250 750]]"
    "       /FontDescriptor << /Ascent 800 /Descent -200 >> >>] >>"
    "  /F5 << /Subtype /TrueType /FirstChar 65 /Widths [500]"
    "       /FontDescriptor << /FontBBox [0 -50 500 400] /Ascent 900 /Descent -250 >> >>"
    "  /F6 << /Subtype /TrueType /FirstChar 65 /Widths [500]"
    "       /FontDescriptor << /FontBBox [-100 -300 500 950] /Ascent 700 /Descent -200 >> >>"
    "  /F7 << /Subtype /Type1 /BaseFont /Helvetica /Encoding << /Differences [65 /W /i /Euro /nosuch] >> >>"
    "  /F8 << /Subtype /Type1 /BaseFont /Symbol /Encoding << /Differences [65 /W] >> >>"
    "  /F4 << /Subtype /Type3 /FontMatrix [0.001 0 0 0.001 0 0] /CharProcs << /a 20 0 R >>"
    "       /Encoding << /Differences [97 /a] >> /FirstChar 97 /Widths [1000] >> >>"
    " /XObject << /Im1 5 0 R /Fm1 10 0 R /Fm2 11 0 R /Loop 12 0 R /Chain 13 0 R /Bad 14 0 R >>"
    " /Shading << /Sh1 << /ShadingType 2 >> >>"
    " /ColorSpace << /Sep [/Separation /Spot /DeviceCMYK 6 0 R] /Icc3 [/ICCBased 7 0 R] >> >>";

MapSource make_source() {
    MapSource s;
    s.objs.text[5] = "<< /Subtype /Image /Width 1 /Height 1 /Length 1 >>";
    s.objs.text[6] = "<< /FunctionType 2 /Domain [0 1] /N 1 >>";
    s.objs.text[7] = "<< /N 3 /Length 0 >>";
    s.objs.text[10] = "<< /Subtype /Form /BBox [0 0 100 100] /Matrix [1 0 0 1 50 0] /Length 1 >>";
    s.data[10] = "0 0 200 10 re f";
    s.objs.text[11] = "<< /Subtype /Form /BBox [0 0 1000 1000] /Matrix [2 0 0 2 0 0] /Length 1 >>";
    s.data[11] = "/Fm1 Do";
    s.objs.text[12] = "<< /Subtype /Form /BBox [0 0 10 10] /Length 1 >>";
    s.data[12] = "0 0 5 5 re f /Loop Do";
    s.objs.text[14] = "<< /Subtype /Form /BBox [0 0 30 40] /Length 1 >>";  // no data
    // A chain of forms each drawing the next, deeper than forms may nest.
    for (int k = 0; k < 40; ++k) {
        s.objs.text[13 + 100 * k] = "<< /Subtype /Form /BBox [0 0 10 10] /Length 1 /Resources << /XObject << /Chain " +
                                    std::to_string(13 + 100 * (k + 1)) + " 0 R >> >> >>";
        s.data[13 + 100 * k] = "0 0 1 1 re f /Chain Do";
    }
    s.objs.text[20] = "<< /Length 1 >>";
    s.data[20] = "1000 0 d0 0 0 500 700 re f";
    return s;
}

struct Case {
    const char *content;
    bool ok;
    box want;  // empty: nothing drawn
};

void check(const Case &c, const box &page) {
    MapSource src = make_source();
    sheetlay::pdf::value res;
    ASSERT_TRUE(sheetlay::pdf::parse_value(kResources, &res));
    const std::string text = c.content;
    auto r = sheetlay::content::content_box(reinterpret_cast<const unsigned char *>(text.data()),
                                            text.size(), &res, src, page);
    ASSERT_EQ(r.ok, c.ok) << c.content;
    if (!c.ok) return;
    ASSERT_EQ(r.ink.empty(), c.want.empty()) << c.content;
    if (c.want.empty()) return;
    EXPECT_NEAR(r.ink.x0, c.want.x0, 0.02) << c.content;
    EXPECT_NEAR(r.ink.y0, c.want.y0, 0.02) << c.content;
    EXPECT_NEAR(r.ink.x1, c.want.x1, 0.02) << c.content;
    EXPECT_NEAR(r.ink.y1, c.want.y1, 0.02) << c.content;
}

const box kPage{-1000, -1000, 1000, 1000};
const box kNone{};

TEST(ContentBox, PathsAndPainting) {
    const Case cases[] = {
        {"10 20 30 40 re f", true, {10, 20, 40, 60}},
        {"10 20 30 40 re n", true, kNone},
        {"0 0 m 0 100 100 100 100 0 c f", true, {0, 0, 100, 75}},  // curve top at t = 1/2
        {"0 0 m 100 100 100 0 v f", true, {0, 0, 100, 44.444}},  // top at t = 2/3
        {"0 0 m 0 100 100 0 y f", true, {0, 0, 100, 44.444}},  // top at t = 1/3
        {"2 w 10 10 m 50 10 l S", true, {9, 9, 51, 11}},
        {"2 w 10 10 m 50 10 l h B*", true, {9, 9, 51, 11}},
        // A sharp mitred corner reaches past the half width, within the limit only.
        {"2 w 30 M 0 0 m 100 0 l 0 10 l S", true, {-1, -1, 120.05, 11}},
        {"2 w 0 0 m 100 0 l 0 10 l S", true, {-1, -1, 101, 11}},
        {"2 w 1 j 30 M 0 0 m 100 0 l 0 10 l S", true, {-1, -1, 101, 11}},
        // A projecting cap on a slanted line: its corner beyond the half width.
        {"2 w 2 J 0 0 m 10 10 l S", true, {-1.414, -1.414, 11.414, 11.414}},
        {"2 0 0 2 10 10 cm 0 0 10 10 re f", true, {10, 10, 30, 30}},
        {"0 1 -1 0 0 0 cm 0 0 10 20 re f", true, {-20, 0, 0, 10}},  // turned
        {"1 0 1 1 0 0 cm 0 0 10 10 re f", true, {0, 0, 20, 10}},    // skewed
        {"q 2 0 0 2 0 0 cm Q 0 0 10 10 re f", true, {0, 0, 10, 10}},
        {"4 w 2 0 0 1 0 0 cm 0 0 m 10 0 l S", true, {-4, -2, 24, 2}},  // pen stretched with x
    };
    for (const Case &c : cases) check(c, kPage);
}

TEST(ContentBox, ClippingAndWhite) {
    const Case cases[] = {
        {"0 0 50 50 re W n 10 10 100 100 re f", true, {10, 10, 50, 50}},
        {"0 0 50 50 re W* n 10 10 100 100 re f", true, {10, 10, 50, 50}},
        {"q 0 0 50 50 re W n Q 10 10 100 100 re f", true, {10, 10, 110, 110}},
        {"0 0 5 5 re W n 10 10 100 100 re f", true, kNone},
        {"1 g 0 0 100 100 re f 0 g 10 10 5 5 re f", true, {10, 10, 15, 15}},
        {"1 1 1 rg 0 0 100 100 re f", true, kNone},
        {"0 0 0 0 k 0 0 100 100 re f", true, kNone},
        {"0 0 0 0.1 k 0 0 100 100 re f", true, {0, 0, 100, 100}},
        {"1 1 0.5 rg 0 0 100 100 re f", true, {0, 0, 100, 100}},
        {"1 G 0 0 100 100 re S 1 g 0 0 100 100 re B", true, kNone},
        {"1 G 0 g 0 0 100 100 re B", true, {0, 0, 100, 100}},
        {"/Sep cs 0 scn 0 0 100 100 re f", true, kNone},
        {"/Sep cs 0.5 scn 0 0 100 100 re f", true, {0, 0, 100, 100}},
        {"/Sep cs 0 0 100 100 re f", true, {0, 0, 100, 100}},  // initial tint is 1
        {"/Icc3 cs 1 1 1 sc 0 0 100 100 re f", true, kNone},
        {"/Pattern cs /P1 scn 0 0 100 100 re f", true, {0, 0, 100, 100}},
        {"q 10 10 20 20 re W n /Sh1 sh Q", true, {10, 10, 30, 30}},
        {"100 0 0 50 10 20 cm /Im1 Do", true, {10, 20, 110, 70}},
        {"q 10 0 0 10 5 5 cm BI /W 2 /H 2 /CS /G /BPC 8 ID xEI  EI Q 0 0 1 1 re f", true, {0, 0, 15, 15}},
        {"q 10 0 0 10 5 5 cm BI /W 2 /H 2 /F /AHx ID 00ff00ff> EI Q 0 0 1 1 re f", true, {0, 0, 15, 15}},
        // /IM given a number: not a mask (painted in white, still ink).
        {"BI /IM true /W 8 /H 1 ID x EI 1 g 10 0 0 10 5 5 cm BI /IM 0 /W 8 /H 1 ID x EI", true, {0, 0, 15, 15}},
    };
    for (const Case &c : cases) check(c, kPage);
    // The page's own clip.
    check({"-50 -50 500 500 re f", true, {0, 0, 200, 300}}, box{0, 0, 200, 300});
}

TEST(ContentBox, Text) {
    const Case cases[] = {
        {"BT /F1 10 Tf 100 100 Td (AB) Tj ET", true, {100, 98, 111, 108}},
        {"BT /F1 10 Tf 50 Tz 100 100 Td (AB) Tj ET", true, {100, 98, 105.5, 108}},
        {"BT /F1 10 Tf 1 Tc 100 100 Td (AB) Tj ET", true, {100, 98, 112, 108}},
        {"BT /F1 10 Tf 5 Ts 100 100 Td (AB) Tj ET", true, {100, 103, 111, 113}},
        {"BT /F1 10 Tf 3 Tr 100 100 Td (AB) Tj ET", true, kNone},
        {"BT /F1 10 Tf 7 Tr 100 100 Td (A) Tj ET 0 0 1000 1000 re f", true, {100, 98, 105, 108}},
        {"BT /F1 10 Tf 100 100 Td [(A) -1000 (B)] TJ ET", true, {100, 98, 121, 108}},
        {"BT /F1 10 Tf 12 TL 100 100 Td (A) Tj T* (B) Tj ET", true, {100, 86, 106, 108}},
        {"BT /F1 10 Tf 100 100 Td 12 TL (A) ' ET", true, {100, 86, 105, 96}},
        {"BT /F1 10 Tf 0 -12 TD (A) Tj T* (A) Tj ET", true, {0, -26, 5, -4}},
        {"BT /F1 10 Tf 2 0 0 2 100 100 Tm (A) Tj ET", true, {100, 96, 110, 116}},
        {"BT /F2 10 Tf (A) Tj ET", true, {0, -3, 6.67, 10}},
        {"BT /F3 10 Tf <00010002> Tj ET", true, {0, -2, 10, 8}},
        {"BT /F4 10 Tf (a) Tj ET", true, {0, 0, 5, 7}},
        // The font's extent: the wider of its box and its ascent and descent
        // (a subset font's box may be narrower than its glyphs).
        {"BT /F5 10 Tf (A) Tj ET", true, {0, -2.5, 5, 9}},
        {"BT /F6 10 Tf (A) Tj ET", true, {-1, -3, 5, 9.5}},
        // A standard font's /Differences: each code measures the glyph it
        // names (W 944, i 222, Euro 556; a name WinAnsi lacks: a full em),
        // codes it leaves alone keep theirs (B 667); Symbol keeps its table.
        {"BT /F7 10 Tf (A) Tj ET", true, {0, -3, 9.44, 10}},
        {"BT /F7 10 Tf (B) Tj ET", true, {0, -3, 2.22, 10}},
        {"BT /F7 10 Tf (C) Tj ET", true, {0, -3, 5.56, 10}},
        {"BT /F7 10 Tf (D) Tj ET", true, {0, -3, 10, 10}},
        {"BT /F7 10 Tf (E) Tj ET", true, {0, -3, 6.67, 10}},
        {"BT /F8 10 Tf (A) Tj ET", true, {0, -3, 7.22, 10}},
        {"1 g BT /F1 10 Tf (A) Tj ET", true, kNone},
        {"BT /F1 10 Tf 0 1 -1 0 50 0 Tm (A) Tj ET", true, {42, 0, 52, 5}},  // turned text
        // A showing operator whose last operand is not a string (an array
        // for TJ) shows nothing, though an operand earlier in the stream
        // was one; ' and " still move to the next line.
        {"BT /F1 10 Tf 100 100 Td (AB) Tj 5 Tj ET", true, {100, 98, 111, 108}},
        {"BT /F1 10 Tf 100 100 Td [(AB)] TJ /N TJ (A) 7 TJ ET", true, {100, 98, 111, 108}},
        {"BT /F1 10 Tf 12 TL 100 100 Td (A) Tj /N ' (A) ' ET", true, {100, 74, 105, 108}},
        {"BT /F1 10 Tf 12 TL 100 100 Td 0 0 (A) \" 0 0 7 \" [(B)] \" (A) ' ET", true, {100, 50, 105, 96}},
    };
    for (const Case &c : cases) check(c, kPage);
}

TEST(ContentBox, FormsAndHostileContent) {
    std::string deep_q(600 * 2, ' ');
    for (size_t k = 0; k < deep_q.size(); k += 2) deep_q[k] = 'q';
    std::string flood;
    for (int k = 0; k < 3000; ++k) flood += "1 ";
    flood += "m";
    const std::string many_q = deep_q + " 0 0 1 1 re f";
    const std::string huge(400, '9');
    const std::string huge_cm = huge + " 0 0 1 0 0 cm 0 0 1 1 re f";
    const std::string huge_line = "0 0 m " + huge + " 5 l S 0 0 1 1 re f";
    const Case cases[] = {
        {"/Fm1 Do", true, {50, 0, 150, 10}},
        {"/Fm2 Do", true, {100, 0, 300, 20}},
        {"/Fm2 Do /Fm1 Do", true, {50, 0, 300, 20}},  // memo, drawn twice
        {"1 g /Fm1 Do", true, kNone},                 // form paints in the inherited colour
        {"/Bad Do", true, {0, 0, 30, 40}},            // unreadable: all of its box
        {"/Loop Do", false, kNone},
        {"/Chain Do", false, kNone},
        {"Q Q Q 0 0 1 1 re f", true, {0, 0, 1, 1}},
        {many_q.c_str(), false, kNone},
        {flood.c_str(), false, kNone},
        {"(unclosed 0 0 1 1 re f", false, kNone},
        // Coordinates out of range: what they draw may be anywhere in the clip.
        {huge_cm.c_str(), true, kPage},
        {huge_line.c_str(), true, kPage},
        {"BI /W 1 /H 1 ID no end", false, kNone},
    };
    for (const Case &c : cases) check(c, kPage);
}

// Strokes and runs of text that lie within the ink already found are passed
// over: drawn after other ink, each must still give exactly the union of the
// two boxes, where it reaches out (a mitred tip, a projecting cap, a run's
// last string, a turned or skewed matrix) and where it does not.
TEST(ContentBox, InkAfterInkGivesTheUnion) {
    const std::pair<const char *, const char *> cases[] = {
        {"0 0 110 12 re f", "2 w 30 M 0 0 m 100 0 l 0 10 l S"},     // the tip reaches 120
        {"0 0 121 12 re f", "2 w 30 M 0 0 m 100 0 l 0 10 l S"},     // within
        {"-1 -1 11.2 11.2 re f", "2 w 2 J 0 0 m 10 10 l S"},        // the cap reaches 11.41
        {"-2 -2 12 12 re f", "2 w 2 J 0 0 m 10 10 l S"},
        {"0 -3 20 12 re f", "1 0 1 1 0 0 cm 4 w 0 0 m 10 0 l 10 10 l S"},
        {"0 0 100 100 re f", "0 1 -1 0 50 50 cm 3 w 0 0 m 20 5 l 40 0 l S"},
        {"0 90 120 120 re f", "BT /F1 10 Tf 100 100 Td [(A) -1000 (B) 200 (AB)] TJ ET"},
        {"90 90 200 130 re f", "BT /F1 10 Tf 100 100 Td [(A) -1000 (B) 200 (AB)] TJ ET"},
        {"40 0 60 8 re f", "BT /F1 10 Tf 0 1 -1 0 50 0 Tm [(A) -500 (B) (A)] TJ ET"},
        {"0 0 105 200 re f", "q 0 0 105 200 re W n BT /F1 10 Tf 100 100 Td [(AB) 100 (BA)] TJ ET Q"},
        {"0 0 10 10 re f", "BT /F3 10 Tf 2 0 0.5 1 3 1 Tm [<0001> 300 <0002>] TJ ET"},
    };
    MapSource src = make_source();
    sheetlay::pdf::value res;
    ASSERT_TRUE(sheetlay::pdf::parse_value(kResources, &res));
    auto ink = [&](const std::string &text) {
        auto r = sheetlay::content::content_box(reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                                                &res, src, kPage);
        EXPECT_TRUE(r.ok) << text;
        return r.ink;
    };
    for (const auto &[first, then] : cases) {
        box want = ink(first);
        want.add(ink(then));
        const box got = ink(std::string("q ") + first + " Q " + then);
        EXPECT_TRUE(got.x0 == want.x0 && got.y0 == want.y0 && got.x1 == want.x1 && got.y1 == want.y1) << then;
    }
}

// Annotations without an appearance stream count where viewers draw them,
// even where their /Rect does not say so; with an appearance, the /Rect.
TEST(ContentBox, AnnotationsWithoutAppearance) {
    struct AnnotCase {
        const char *annot;
        box want;
    };
    const AnnotCase cases[] = {
        {"<< /Subtype /Square /F 4 /Rect [10 20 30 40] >>", {10, 20, 30, 40}},
        // Not printed, hidden, links: not on the sheet.
        {"<< /Subtype /Square /Rect [10 20 30 40] >>", {}},
        {"<< /Subtype /Square /F 6 /Rect [10 20 30 40] >>", {}},
        {"<< /Subtype /Link /F 4 /Rect [10 20 30 40] >>", {}},
        // A highlight's rounded ends reach a quarter of its height out.
        {"<< /Subtype /Highlight /F 4 /Rect [0 0 1 1] /QuadPoints [100 140 200 140 100 100 200 100] >>",
         {0, 0, 211, 151}},
        {"<< /Subtype /Highlight /F 4 /Rect [0 0 1 1] /QuadPoints [100 140 200 140 100 100 200 100]"
         " /AP << /N 9 0 R >> >>",
         {0, 0, 1, 1}},
        {"<< /Subtype /Ink /F 4 /Rect [0 0 1 1] /BS << /W 4 >> /InkList [[50 60 70 80] [90 10]] >>",
         {0, 0, 94, 84}},
        {"<< /Subtype /Line /F 4 /Rect [0 0 1 1] /L [300 300 310 320] >>", {0, 0, 311, 321}},
        // A note is an icon hanging from its rectangle's top-left corner.
        {"<< /Subtype /Text /F 4 /Rect [170 782 173 785] >>", {170, 761, 194, 785}},
        // Broken points count for nothing; the page cuts what passes it.
        {"<< /Subtype /Ink /F 4 /Rect [10 10 20 20] /InkList [[50 (x)] 7] >>", {10, 10, 20, 20}},
        {"<< /Subtype /Ink /F 4 /Rect [10 10 20 20] /InkList [[-50 -50 900 900]] >>", {0, 0, 600, 800}},
        // A link is passed over by its object's text; only a first
        // /Subtype key of /Link or /Popup is one.
        {"<< /Subtype /Popup /F 4 /Rect [10 20 30 40] >>", {}},
        {"<< /A << /S /URI /URI (a\\)>>) >> /Subtype % note\n /Link /F 4 /Rect [10 20 30 40] >>", {}},
        {"<< /Subtype /Links /F 4 /Rect [10 20 30 40] >>", {10, 20, 30, 40}},
        {"<< /NM /Subtype /Link 5 /Subtype /Square /F 4 /Rect [10 20 30 40] >>", {10, 20, 30, 40}},
        {"<< /Subtype /Square /Subtype /Link /F 4 /Rect [10 20 30 40] >>", {10, 20, 30, 40}},
        {"<< /Sub#74ype /Square /Subtype /Link /F 4 /Rect [10 20 30 40] >>", {10, 20, 30, 40}},
        {"<< /T (/Subtype /Link) /K [/Subtype /Link] /A << /Subtype /Link >> /C <2F> /Subtype /Square"
         " /F 4 /Rect [10 20 30 40] >>",
         {10, 20, 30, 40}},
    };
    for (const AnnotCase &c : cases)
    for (const bool indirect : {false, true}) {
        pdfgen::PdfBuilder b;
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /MediaBox [0 0 600 800] >>");
        b.add(3, std::string("<< /Type /Page /Parent 2 0 R /Contents 5 0 R /Annots [") +
                     (indirect ? "7 0 R" : c.annot) + "] >>");
        b.add(7, c.annot);
        b.add_stream(5, "", "q Q", {});
        b.add_stream(9, "/Subtype /Form /BBox [0 0 1 1]", "0 0 1 1 re f", {});
        const std::string pdf = b.finish("/Root 1 0 R");
        sheetlay::doc d{};
        ASSERT_EQ(sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(pdf.data()), pdf.size(), "t", &d),
                  0)
            << c.annot;
        sheetlay::doc_resolver res(&d);
        ASSERT_EQ(d.pages.count, 1);
        auto r = sheetlay::content::page_box(&d, res, d.pages.items[0], true);
        EXPECT_TRUE(r.ok) << c.annot;
        ASSERT_EQ(r.ink.empty(), c.want.empty()) << c.annot;
        if (!c.want.empty()) {
            EXPECT_NEAR(r.ink.x0, c.want.x0, 0.02) << c.annot;
            EXPECT_NEAR(r.ink.y0, c.want.y0, 0.02) << c.annot;
            EXPECT_NEAR(r.ink.x1, c.want.x1, 0.02) << c.annot;
            EXPECT_NEAR(r.ink.y1, c.want.y1, 0.02) << c.annot;
        }
        sheetlay::doc_free(&d);
    }
    // A blank page whose content stream holds no bytes draws nothing (it is
    // read, not unreadable), so it does not hold a common box open.
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /MediaBox [0 0 600 800] >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents [5 0 R 6 0 R] >>");
    b.add_stream(5, "", "", {});
    b.add_stream(6, "", "", {.flate = true});
    const std::string pdf = b.finish("/Root 1 0 R");
    sheetlay::doc d{};
    ASSERT_EQ(sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(pdf.data()), pdf.size(), "t", &d), 0);
    sheetlay::doc_resolver res(&d);
    auto r = sheetlay::content::page_box(&d, res, d.pages.items[0], true);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.ink.empty());
    sheetlay::doc_free(&d);
}

// Pages read on two threads, pages written alike read once: each page
// gets its own box whatever the order the workers meet them in, and a page
// listed twice or copied word for word gets the box of the first.
TEST(ContentBox, TrimmedPagesOnWorkersAndCopies) {
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R 6 0 R 8 0 R 9 0 R] /Count 5 /MediaBox [0 0 600 800] >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents 5 0 R >>");
    b.add(4, "<< /Type /Page /Parent 2 0 R /Contents 5 0 R >>");  // a copy of 3
    b.add(6, "<< /Type /Page /Parent 2 0 R /Contents 7 0 R >>");
    b.add(8, "<< /Type /Page /Parent 2 0 R  /Contents 5 0 R >>");  // alike but for a space
    b.add(9, "<< /Type /Page /Parent 2 0 R /Contents 10 0 R /MediaBox [0 0 300 300] >>");
    b.add_stream(5, "", "10 20 30 40 re f", {.flate = true});
    b.add_stream(7, "", "100 200 m 300 400 l 2 w S", {});
    b.add_stream(10, "", "1 1 1 rg 0 0 300 300 re f 0 g 250 250 10 10 re f", {});
    const std::string pdf = b.finish("/Root 1 0 R");
    const box kEach[] = {{10, 20, 40, 60}, {10, 20, 40, 60}, {99, 199, 301, 401}, {10, 20, 40, 60}, {250, 250, 260, 260}};
    for (const std::vector<int32_t> &pages : {std::vector<int32_t>{0, 1, 2, 3, 4}, std::vector<int32_t>{4, 3, 2, 1, 0, 0, 7, -1}}) {
        sheetlay::doc d{};
        ASSERT_EQ(sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(pdf.data()), pdf.size(), "t", &d), 0);
        ASSERT_EQ(d.pages.count, 5);
        sheetlay::nup::trim_pages(&d, SHEETLAY_TRIM_EACH, 0, true, pages);
        for (int32_t i = 0; i < 5; ++i) {
            const sheetlay::pageinfo &p = d.pages.items[i];
            SCOPED_TRACE(i);
            EXPECT_NEAR(p.x0, kEach[i].x0, 0.02);
            EXPECT_NEAR(p.y0, kEach[i].y0, 0.02);
            EXPECT_NEAR(p.x1, kEach[i].x1, 0.02);
            EXPECT_NEAR(p.y1, kEach[i].y1, 0.02);
        }
        sheetlay::doc_free(&d);
    }
}

// Ink of a rendered page: the box of pixels darker than 200, in pixels.
struct Ink {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};
Ink ink_of(const testtools::Gray &g) {
    Ink k;
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x)
            if (g.at(x, y) < 200) {
                k.x0 = std::min(k.x0, x);
                k.y0 = std::min(k.y0, y);
                k.x1 = std::max(k.x1, x);
                k.y1 = std::max(k.y1, y);
            }
    return k;
}

std::string two_pages() {
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 /MediaBox [0 0 600 800] "
             "/Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >> >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /Contents 5 0 R >>");
    b.add(4, "<< /Type /Page /Parent 2 0 R /Contents 6 0 R >>");
    b.add_stream(5, "", "1 g 0 0 600 800 re f 0 g 100 300 200 100 re f BT /F1 24 Tf 100 250 Td (Hello) Tj ET",
                 {.flate = true});
    b.add_stream(6, "", "0 g 4 w 300 500 m 500 600 l S", {});
    return b.finish("/Root 1 0 R");
}

TEST(ContentBox, TrimmedJobsShowAllInkLarger) {
    REQUIRE_PDFTOPPM();
    const std::string in = testtools::write_temp(two_pages());
    for (int mode : {SHEETLAY_TRIM_EACH, SHEETLAY_TRIM_SAME}) {
        sheetlay_options o;
        sheetlay_options_init(&o);
        o.columns = 1;
        o.rows = 1;
        o.trim = mode;
        o.trim_margin = 2;
        const std::string out = testtools::tmp_path("trim");
        ASSERT_EQ(sheetlay_nup(in.c_str(), out.c_str(), &o, nullptr, 0), 1) << sheetlay_last_error();
        for (int page = 1; page <= 2; ++page) {
            auto a = testtools::render_gray(in, page, 72);
            auto z = testtools::render_gray(out, page, 72);
            ASSERT_TRUE(a && z);
            // The sheet stays the size of the page the input was made for,
            // turned as the trimmed first page fits best (wide: landscape).
            EXPECT_EQ(z->w, a->h);
            EXPECT_EQ(z->h, a->w);
            const Ink i = ink_of(*a), j = ink_of(*z);
            ASSERT_GE(i.x1, 0);
            ASSERT_GE(j.x1, 0);
            const double sx = double(j.x1 - j.x0 + 1) / (i.x1 - i.x0 + 1);
            const double sy = double(j.y1 - j.y0 + 1) / (i.y1 - i.y0 + 1);
            // Enlarged uniformly: nothing of the ink was cut away.
            EXPECT_GT(sx, 1.3) << "mode " << mode << " page " << page;
            EXPECT_NEAR(sx, sy, 0.05 * sx) << "mode " << mode << " page " << page;
            // The picture is the same once brought to one size.
            testtools::Gray ca = testtools::crop_pdf_rect(*a, a->w, a->h, i.x0, a->h - i.y1 - 1, i.x1 + 1, a->h - i.y0);
            testtools::Gray cz = testtools::crop_pdf_rect(*z, z->w, z->h, j.x0, z->h - j.y1 - 1, j.x1 + 1, z->h - j.y0);
            EXPECT_LT(testtools::mean_abs_diff(ca, cz), 25) << "mode " << mode << " page " << page;
        }
        testtools::remove_file(out);
    }
    testtools::remove_file(in);
}

}  // namespace

// Fonts copied from a store (as the trim's workers take them, read by
// another reader or on first use) give every corpus page the very box a
// reader of its own finds.
TEST(ContentBox, StoredFontsGiveTheSameBoxes) {
    if (::testtools::corpus_dir().empty()) GTEST_SKIP() << "SHEETLAY_CORPUS_DIR not set";
    for (const std::string &f : ::testtools::corpus_files()) {
        SCOPED_TRACE(f);
        sheetlay::doc d{};
        if (sheetlay::doc_load(f.c_str(), &d, sheetlay::load_options{}) != 0) continue;
        sheetlay::doc_resolver alone(&d), first(&d), reader(&d);
        const auto store = sheetlay::content::make_font_store();
        for (int32_t i = 0; i < d.pages.count; ++i) {
            const sheetlay::pageinfo &p = d.pages.items[i];
            const sheetlay::pdf::value *pv = first.get(p.num);
            const sheetlay::pdf::value *res = sheetlay::pdf::get_resolved(pv, "Resources", &first);
            if (!res && p.res_from > 0) res = sheetlay::pdf::get_resolved(first.get(p.res_from), "Resources", &first);
            sheetlay::content::store_fonts(store.get(), first, res);
        }
        // Every other font read by another resolver, the rest where first used.
        for (size_t k = 0; k < sheetlay::content::stored_fonts(*store); k += 2)
            sheetlay::content::read_stored_font(store.get(), k, &d, first);
        const auto own = sheetlay::content::make_font_cache(), shared = sheetlay::content::make_font_cache(store.get());
        for (int32_t i = 0; i < d.pages.count; ++i) {
            const auto a = sheetlay::content::page_box(&d, alone, d.pages.items[i], true, {}, own.get());
            const auto b = sheetlay::content::page_box(&d, reader, d.pages.items[i], true, {}, shared.get());
            EXPECT_EQ(a.ok, b.ok) << i;
            EXPECT_TRUE(a.ink.x0 == b.ink.x0 && a.ink.y0 == b.ink.y0 && a.ink.x1 == b.ink.x1 && a.ink.y1 == b.ink.y1) << i;
        }
        sheetlay::doc_free(&d);
    }
}
