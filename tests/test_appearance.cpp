// Built appearances: the content operators and positions for each kind
// (alignment, comb cells, auto size, wrapping, inheritance, check states,
// markup geometry), the placement rule, the selection helpers, and a render
// check: the built forms placed on a page by the placement rule and drawn
// by poppler show ink where each annotation is.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "nup/appearance.h"
#include "nup/fontmetrics.h"
#include "pdf/object.h"
#include "support/map_resolver.h"
#include "support/pdfgen.h"
#include "support/tools.h"

using sheetlay::nup::appearance;
using sheetlay::pdf::value;

namespace {

using testtools::MapResolver;

value parse(const std::string &t) {
    value v;
    EXPECT_TRUE(sheetlay::pdf::parse_value(t, &v)) << t;
    return v;
}

// The form of the tests: Helvetica as /Helv (object 7), ZapfDingbats as /ZaDb (8).
const char *kAcroForm = "<< /DA (/Helv 0 Tf 0 g) /DR << /Font << /Helv 7 0 R /ZaDb 8 0 R >> >> /NeedAppearances true >>";

MapResolver form_resolver() {
    MapResolver r;
    r.text[7] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";
    r.text[8] = "<< /Type /Font /Subtype /Type1 /BaseFont /ZapfDingbats >>";
    return r;
}

appearance build(const std::string &annot, MapResolver *r = nullptr, const char *acroform = kAcroForm) {
    MapResolver local = form_resolver();
    if (!r) r = &local;
    value a = parse(annot), f = parse(acroform);
    appearance ap;
    EXPECT_TRUE(sheetlay::nup::build_appearance(a, &f, r, &ap)) << annot;
    return ap;
}

std::string num(double d) {
    std::string s;
    sheetlay::pdf::append_number(&s, d);
    return s;
}

double helv(const std::string &text, double size) {
    sheetlay::nup::font_widths f;
    f.builtin = sheetlay::nup::standard_font("Helvetica");
    return sheetlay::nup::text_width(f, text, size);
}

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

#define EXPECT_HAS(content, piece) EXPECT_NE((content).find(piece), std::string::npos) << "missing " << (piece) << " in\n" << (content)

const char *kField = "<< /Type /Annot /Subtype /Widget /FT /Tx /Rect [100 100 200 120] /F 4 ";

TEST(Appearance, TextFieldAlignment) {
    // Q 0: at the padding (2 = twice the default border width); Q 1 centred; Q 2 ends at w - 2.
    const double size = 10, w = 100, tw = helv("Hello", size);
    const double y = (20 - (729 - 218) * size / 1000) / 2;
    const std::pair<int, double> cases[] = {{0, 2}, {1, (w - tw) / 2}, {2, w - 2 - tw}};
    for (const auto &c : cases) {
        appearance ap = build(std::string(kField) + "/DA (/Helv 10 Tf 0 0 1 rg) /V (Hello) /Q " +
                              std::to_string(c.first) + " >>");
        EXPECT_HAS(ap.content, "/Tx BMC\nq\n1 1 98 18 re W n\nBT\n/Helv 10 Tf\n0 0 1 rg\n");
        EXPECT_HAS(ap.content, "1 0 0 1 " + num(c.second) + " " + num(y) + " Tm\n(Hello) Tj\nET\nQ\nEMC\n");
        EXPECT_EQ(ap.bbox[2], 100);
        EXPECT_EQ(ap.bbox[3], 20);
        EXPECT_FALSE(ap.has_matrix);
        EXPECT_EQ(sheetlay::pdf::to_text(ap.resources), "<< /Font << /Helv 7 0 R >> >>");
    }
}

TEST(Appearance, TextFieldAutoSize) {
    // Size 0: fit the height ((h - 4) / 1.15, at most 12), then shrink to fit the width.
    struct Case {
        const char *rect;
        const char *v;
        double size;
    } cases[] = {
        {"[0 0 100 40]", "Hi", 12},
        {"[0 0 100 10]", "Hi", 6 / 1.15},
        {"[0 0 40 20]", "A much longer value", std::max(4.0, 12 * 36 / helv("A much longer value", 12))},
    };
    for (const auto &c : cases) {
        appearance ap = build(std::string("<< /Subtype /Widget /FT /Tx /DA (/Helv 0 Tf 0 g) /Rect ") + c.rect +
                              " /V (" + c.v + ") >>");
        EXPECT_HAS(ap.content, "/Helv " + num(c.size) + " Tf");
    }
}

TEST(Appearance, CombFieldCells) {
    // MaxLen 5 over 100 points: cells of 20, each character centred in its cell; text cut to MaxLen.
    appearance ap = build(std::string(kField) + "/DA (/Helv 12 Tf 0 g) /Ff 16777216 /MaxLen 5 /V (12W4567) >>");
    const char *chars = "12W45";
    for (int i = 0; i < 5; ++i) {
        std::string one(1, chars[i]);
        double x = i * 20 + (20 - helv(one, 12)) / 2;
        EXPECT_HAS(ap.content, "1 0 0 1 " + num(x) + " ");
        EXPECT_HAS(ap.content, "(" + one + ") Tj");
    }
    EXPECT_EQ(count(ap.content, " Tj"), 5u);
    EXPECT_EQ(ap.content.find("(6)"), std::string::npos);
}

TEST(Appearance, MultilineWrapsAndPasswordHides) {
    appearance ml = build("<< /Subtype /Widget /FT /Tx /DA (/Helv 10 Tf 0 g) /Ff 4096 /Rect [0 0 60 200] "
                          "/V (one two three four five\\nsix) >>");
    // 56 points of line: "one two three" is 62.8 wide, so the lines are
    // "one two", "three four", "five", then "six" after the newline.
    EXPECT_HAS(ml.content, "(one two) Tj");
    EXPECT_HAS(ml.content, "(three four) Tj");
    EXPECT_HAS(ml.content, "(five) Tj");
    EXPECT_HAS(ml.content, "(six) Tj");
    EXPECT_EQ(count(ml.content, " Tj"), 4u);
    // The first baseline sits the ascent below the top padding.
    EXPECT_HAS(ml.content, "1 0 0 1 2 " + num(200 - 2 - 7.29) + " Tm");
    appearance pw = build(std::string(kField) + "/DA (/Helv 10 Tf 0 g) /Ff 8192 /V (secret) >>");
    EXPECT_HAS(pw.content, "(******) Tj");
    EXPECT_EQ(pw.content.find("secret"), std::string::npos);
}

TEST(Appearance, InheritsFromParentsAndTheForm) {
    MapResolver r = form_resolver();
    r.text[20] = "<< /FT /Tx /V <FEFF00480069002000AC20AC> /Q 2 /Parent 21 0 R >>";
    r.text[21] = "<< /DA (/Helv 9 Tf 1 0 0 rg) /Kids [20 0 R] >>";
    appearance ap = build("<< /Subtype /Widget /Parent 20 0 R /Rect [0 0 80 20] >>", &r);
    EXPECT_HAS(ap.content, "/Helv 9 Tf\n1 0 0 rg\n");
    const std::string shown = "Hi \xAC\x80";  // UTF-16BE to WinAnsi: not sign, Euro
    EXPECT_HAS(ap.content, "1 0 0 1 " + num(80 - 2 - helv(shown, 9)));
    EXPECT_HAS(ap.content, "(Hi \\254\\200) Tj");
    // A /Parent loop ends at the depth limit instead of running forever.
    r.text[30] = "<< /Parent 30 0 R >>";
    value a = parse("<< /Subtype /Widget /Parent 30 0 R /Rect [0 0 10 10] >>");
    appearance none;
    EXPECT_FALSE(sheetlay::nup::build_appearance(a, nullptr, &r, &none));
}

TEST(Appearance, UnknownFontFallsBackToInlineHelvetica) {
    appearance ap = build("<< /Subtype /Widget /FT /Tx /DA (/Arial 11 Tf) /Rect [0 0 50 20] /V (x) >>");
    EXPECT_EQ(sheetlay::pdf::to_text(ap.resources),
              "<< /Font << /Arial << /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >> >> >>");
    EXPECT_HAS(ap.content, "/Arial 11 Tf");
    // A font with its own /Widths is measured with them.
    MapResolver r = form_resolver();
    r.text[9] = "<< /Type /Font /Subtype /TrueType /BaseFont /Foo /FirstChar 65 /Widths [1000 500] >>";
    appearance w = build("<< /Subtype /Widget /FT /Tx /DA (/Foo 10 Tf) /Q 2 /Rect [0 0 50 20] /V (AB) >>", &r,
                         "<< /DR << /Font << /Foo 9 0 R >> >> >>");
    EXPECT_HAS(w.content, "1 0 0 1 " + num(50 - 2 - 15) + " ");
}

TEST(Appearance, CheckBoxesAndRadios) {
    const std::string box = "<< /Subtype /Widget /FT /Btn /Rect [0 0 20 20] /DA (/ZaDb 0 Tf 0 0 1 rg) "
                            "/MK << /BG [1] /BC [1 0 0] >> /AP << /N << /Yes 50 0 R /Off 51 0 R >> >> ";
    appearance on = build(box + "/AS /Yes >>");
    EXPECT_HAS(on.content, "q\n1 g\n0 0 20 20 re f\n1 0 0 RG\n1 w\n0.5 0.5 19 19 re S\nQ\n");
    EXPECT_HAS(on.content, "(4) Tj");
    EXPECT_HAS(on.content, "0 0 1 rg");
    EXPECT_EQ(sheetlay::pdf::to_text(on.resources), "<< /Font << /ZaDb << /Type /Font /Subtype /Type1 /BaseFont /ZapfDingbats >> >> >>");
    // Centred: auto size fits 16 x 16 inside the padding.
    const double size = std::min(16 * 1000 / 846.0, 16 * 1000 / 691.0);
    EXPECT_HAS(on.content, "/ZaDb " + num(size) + " Tf");
    EXPECT_HAS(on.content, "1 0 0 1 " + num((20 - 846 * size / 1000) / 2) + " " + num((20 - 691 * size / 1000) / 2) + " Tm");

    appearance off = build(box + "/AS /Off >>");
    EXPECT_EQ(off.content.find("Tj"), std::string::npos);
    EXPECT_HAS(off.content, "re f");  // the background still shows
    appearance unknown_state = build(box + "/AS /Maybe >>");
    EXPECT_EQ(unknown_state.content.find("Tj"), std::string::npos);
    appearance radio = build("<< /Subtype /Widget /FT /Btn /Ff 32768 /Rect [0 0 20 20] /AS /1 >>");
    EXPECT_HAS(radio.content, "(l) Tj");
    appearance cross = build("<< /Subtype /Widget /FT /Btn /Rect [0 0 20 20] /V /On /MK << /CA (8) >> >>");
    EXPECT_HAS(cross.content, "(8) Tj");  // no /AS: the value picks the state
    appearance push = build("<< /Subtype /Widget /FT /Btn /Ff 65536 /Rect [0 0 60 20] /DA (/Helv 10 Tf 0 g) "
                            "/MK << /CA (Send) /BG [0.8] >> >>");
    EXPECT_HAS(push.content, "(Send) Tj");
}

TEST(Appearance, ChoiceFields) {
    appearance combo = build("<< /Subtype /Widget /FT /Ch /Ff 131072 /Rect [0 0 100 20] /DA (/Helv 10 Tf 0 g) "
                             "/Opt [[(fr) (France)] [(de) (Germany)]] /V (de) >>");
    EXPECT_HAS(combo.content, "(Germany) Tj");
    appearance list = build("<< /Subtype /Widget /FT /Ch /Rect [0 0 100 60] /DA (/Helv 10 Tf 0 g) "
                            "/Opt [(a) (b) (c) (d) (e) (f)] /V [(b) (d)] /TI 1 >>");
    // From the top index down, as many as fit: b, c, d, e (leading 9.47 in 58 points... and f partly).
    EXPECT_EQ(list.content.find("(a) Tj"), std::string::npos);
    EXPECT_HAS(list.content, "(b) Tj");
    EXPECT_HAS(list.content, "(e) Tj");
    EXPECT_EQ(count(list.content, "0.6 0.75 0.85 rg"), 2u);  // b and d highlighted
}

TEST(Appearance, RotatedWidgetGetsAMatrix) {
    appearance ap = build("<< /Subtype /Widget /FT /Tx /Rect [0 0 20 100] /MK << /R 90 >> /DA (/Helv 8 Tf) /V (up) >>");
    EXPECT_EQ(ap.bbox[2], 100);
    EXPECT_EQ(ap.bbox[3], 20);
    ASSERT_TRUE(ap.has_matrix);
    const double rect[4] = {0, 0, 20, 100};
    double m[6];
    ASSERT_TRUE(sheetlay::nup::placement_matrix(ap.bbox, ap.matrix, rect, m));
    // The turned box already matches the rectangle: nothing more to do.
    const double id[6] = {1, 0, 0, 1, 0, 0};
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(m[k], id[k], 1e-12);
}

TEST(Appearance, MarkupKinds) {
    struct Case {
        const char *annot;
        std::vector<std::string> pieces;
    } cases[] = {
        {"<< /Subtype /Highlight /Rect [10 10 110 30] /QuadPoints [10 30 110 30 10 10 110 10] /C [1 1 0] >>",
         // Rounded ends, a quarter of the height out, as viewers draw them.
         {"/GS0 gs\n1 1 0 rg\n10 10 m\n5 15 5 25 10 30 c\n110 30 l\n115 25 115 15 110 10 c\nh f\n"}},
        {"<< /Subtype /Underline /Rect [10 10 110 24] /QuadPoints [10 24 110 24 10 10 110 10] /C [0 0 1] >>",
         {"0 0 1 RG\n", "1 w\n", "10 12 m\n110 12 l S\n"}},  // 14 high: width 1, two points up
        {"<< /Subtype /StrikeOut /Rect [10 10 110 24] /QuadPoints [10 24 110 24 10 10 110 10] >>",
         {"0 0 0 RG\n", "10 17 m\n110 17 l S\n"}},
        {"<< /Subtype /Squiggly /Rect [0 0 12 12] /QuadPoints [0 12 12 12 0 0 12 0] >>", {"0 0.8571 m\n", "2 1.7143 l\n", "S\n"}},
        {"<< /Subtype /Ink /Rect [0 0 100 100] /InkList [[10 10 50 50 90 10] [20 80]] /BS << /W 3 >> /C [1 0 0] >>",
         {"1 0 0 RG\n3 w\n1 J\n1 j\n10 10 m\n50 50 l\n90 10 l\nS\n20 80 m\n20 80 l\nS\n"}},
        {"<< /Subtype /Square /Rect [0 0 100 50] /BS << /W 4 /S /D /D [2 1] >> /C [0 0 1] /IC [1 1 0] >>",
         {"0 0 1 RG\n1 1 0 rg\n4 w\n[2 1] 0 d\n2 2 96 46 re\nB\n"}},
        {"<< /Subtype /Circle /Rect [0 0 100 50] /C [0] >>", {"0 G\n1 w\n", "99.5 25 m\n", "99.5 38.531 77.3381 49.5 50 49.5 c\n", "h\nS\n"}},
        {"<< /Subtype /Line /Rect [0 0 100 100] /L [10 20 90 80] /BS << /W 2 >> >>", {"0 G\n2 w\n10 20 m\n90 80 l S\n"}},
        {"<< /Subtype /Polygon /Rect [0 0 100 100] /Vertices [0 0 100 0 50 100] /IC [0.5] /BS << /W 0 >> >>",
         {"0.5 g\n0 0 m\n100 0 l\n50 100 l\nf\n"}},
        {"<< /Subtype /PolyLine /Rect [0 0 100 100] /Vertices [0 0 100 0 50 100] /CA 0.5 >>",
         {"/GS0 gs\n", "0 0 m\n100 0 l\n50 100 l\nS\n"}},
        {"<< /Subtype /FreeText /Rect [100 100 300 150] /DA (/Helv 12 Tf 1 0 0 rg) /Contents (Note text) /Q 1 >>",
         {"1 0 0 RG\n1 w\n0.5 0.5 199 49 re S\n", "/Helv 12 Tf\n1 0 0 rg\n", "(Note text) Tj"}},
        {"<< /Subtype /Text /Rect [100 100 120 120] /C [0 1 0] >>", {"1 0 0 1 0 0 cm\n0 1 0 rg\n", "h B\n"}},
    };
    for (const auto &c : cases) {
        appearance ap = build(c.annot);
        for (const auto &p : c.pieces) EXPECT_HAS(ap.content, p) ;
    }
    appearance hl = build(cases[0].annot);
    EXPECT_EQ(sheetlay::pdf::to_text(hl.resources), "<< /ExtGState << /GS0 << /Type /ExtGState /BM /Multiply >> >> >>");
    // Geometric kinds draw in page space: the bounding box is the rectangle,
    // with room for a highlight's rounded ends (a quarter of its height).
    EXPECT_EQ(hl.bbox[0], 5);
    EXPECT_EQ(hl.bbox[3], 35);
    appearance pl = build(cases[9].annot);
    EXPECT_EQ(sheetlay::pdf::to_text(pl.resources), "<< /ExtGState << /GS0 << /Type /ExtGState /CA 0.5 /ca 0.5 >> >> >>");
    appearance ft = build(cases[10].annot);
    EXPECT_EQ(ft.bbox[0], 0);
    EXPECT_EQ(ft.bbox[2], 200);
}

TEST(Appearance, RefusesWhatItCannotBuild) {
    const char *cases[] = {
        "<< /Subtype /Link /Rect [0 0 10 10] >>",
        "<< /Subtype /Popup /Rect [0 0 10 10] >>",
        "<< /Subtype /Widget /FT /Sig /Rect [0 0 10 10] >>",
        "<< /Subtype /Square /Rect [0 0 10] >>",
        "<< /Subtype /Square /Rect [5 5 5 10] >>",
        "<< /Subtype /Square >>",
        "<< /Rect [0 0 10 10] >>",
        "(not a dictionary)",
    };
    MapResolver r = form_resolver();
    for (const char *c : cases) {
        value a = parse(c);
        appearance ap;
        ap.content = "junk";
        EXPECT_FALSE(sheetlay::nup::build_appearance(a, nullptr, &r, &ap)) << c;
        EXPECT_TRUE(ap.content.empty());
    }
}

TEST(Appearance, SelectionHelpers) {
    MapResolver r = form_resolver();
    r.text[50] = "<< /Type /XObject /Subtype /Form /BBox [0 0 10 10] /Length 0 >>";
    r.text[51] = "<< /Type /XObject /Subtype /Form /BBox [0 0 10 10] /Length 0 >>";
    value acro = parse(kAcroForm), no_need = parse("<< /NeedAppearances false >>");
    struct Case {
        const char *annot;
        bool printable;
        int normal;  // object number of the normal appearance, 0 none
        bool need, need_without_flag;
    } cases[] = {
        {"<< /Subtype /Square /F 4 /Rect [0 0 1 1] /AP << /N 50 0 R >> >>", true, 50, false, false},
        {"<< /Subtype /Square /F 6 /Rect [0 0 1 1] >>", false, 0, true, true},
        {"<< /Subtype /Square /Rect [0 0 1 1] >>", false, 0, true, true},
        {"<< /Subtype /Link /F 4 /Rect [0 0 1 1] >>", false, 0, false, false},
        {"<< /Subtype /Widget /FT /Btn /F 4 /AS /On /AP << /N << /On 50 0 R /Off 51 0 R >> >> >>", true, 50, true, false},
        {"<< /Subtype /Widget /FT /Btn /F 4 /AS /Off /AP << /N << /On 50 0 R /Off 51 0 R >> >> >>", true, 51, true, false},
        {"<< /Subtype /Widget /FT /Btn /F 4 /AS /Off /AP << /N << /Yes << >> >> >> >>", true, 0, true, true},
        // A push button is rebuilt from /MK under /NeedAppearances, as viewers do.
        {"<< /Subtype /Widget /FT /Btn /Ff 65536 /F 4 /AP << /N 50 0 R >> >>", true, 50, true, false},
        {"<< /Subtype /Widget /FT /Tx /F 4 /AP << /N 50 0 R >> >>", true, 50, true, false},
        {"<< /Subtype /Widget /FT /Tx /F 4 /AP << /N 7 0 R >> >>", true, 0, true, true},  // not a stream
        {"<< /Subtype /Widget /FT /Sig /F 4 >>", true, 0, false, false},
        {"<< /Subtype /Stamp /F 4 >>", true, 0, false, false},
    };
    for (const auto &c : cases) {
        value a = parse(c.annot);
        EXPECT_EQ(sheetlay::nup::annot_printable(a, &r), c.printable) << c.annot;
        const value *n = sheetlay::nup::normal_appearance(a, &r);
        EXPECT_EQ(n ? static_cast<int>(n->i) : 0, c.normal) << c.annot;
        EXPECT_EQ(sheetlay::nup::needs_built_appearance(a, &acro, &r), c.need) << c.annot;
        EXPECT_EQ(sheetlay::nup::needs_built_appearance(a, &no_need, &r), c.need_without_flag) << c.annot;
    }
}

TEST(Appearance, PlacementRule) {
    struct Case {
        double bbox[4];
        std::vector<double> matrix;
        double rect[4];
        bool ok;
        double out[6];
    } cases[] = {
        {{0, 0, 100, 50}, {}, {10, 20, 110, 70}, true, {1, 0, 0, 1, 10, 20}},
        {{0, 0, 100, 50}, {}, {110, 70, 10, 20}, true, {1, 0, 0, 1, 10, 20}},  // corners in either order
        {{0, 0, 50, 25}, {}, {10, 20, 110, 70}, true, {2, 0, 0, 2, 10, 20}},
        {{10, 10, 60, 35}, {}, {0, 0, 100, 50}, true, {2, 0, 0, 2, -20, -20}},
        // A form turned by its matrix: the bounding box of the turned box is mapped.
        {{0, 0, 100, 20}, {0, 1, -1, 0, 20, 0}, {0, 0, 40, 200}, true, {2, 0, 0, 2, 0, 0}},
        {{0, 0, 10, 10}, {0.5, 0.5, -0.5, 0.5, 0, 0}, {0, 0, 10, 10}, true, {1, 0, 0, 1, 5, 0}},
        {{0, 0, 0, 10}, {}, {0, 0, 10, 10}, false, {}},
        {{0, 0, 10, 10}, {}, {0, 0, 10, 0}, false, {}},
        {{0, 0, 10, 10}, {0, 0, 0, 0, 0, 0}, {0, 0, 10, 10}, false, {}},
        {{0, 0, 10, NAN}, {}, {0, 0, 10, 10}, false, {}},
    };
    for (const auto &c : cases) {
        double out[6];
        bool ok = sheetlay::nup::placement_matrix(c.bbox, c.matrix.empty() ? nullptr : c.matrix.data(), c.rect, out);
        ASSERT_EQ(ok, c.ok);
        if (!ok) continue;
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(out[k], c.out[k], 1e-9) << k;
    }
}

// ---------------------------------------------------------------------------
// Render check: each built form is placed by the placement rule on a
// 200 x 200 page; poppler must show ink inside each rectangle and none
// outside all of them.

TEST(Appearance, RendersWhereTheAnnotationIs) {
    REQUIRE_PDFTOPPM();
    struct Item {
        const char *annot;
        double rect[4];
        double max_mean;  // the region's mean grey must be below this
    } items[] = {
        {"<< /Subtype /Widget /FT /Tx /Rect [10 160 190 190] /DA (/Helv 0 Tf 0 g) /V (WWWWWWWW) >>", {10, 160, 190, 190}, 250},
        {"<< /Subtype /Widget /FT /Btn /Rect [10 120 40 150] /AS /On /MK << /BC [0] >> >>", {10, 120, 40, 150}, 200},
        {"<< /Subtype /Square /Rect [60 120 100 150] /IC [0] /C [0] >>", {60, 120, 100, 150}, 10},
        {"<< /Subtype /Ink /Rect [10 60 190 110] /InkList [[15 65 185 105]] /BS << /W 6 >> /C [0] >>", {10, 60, 190, 110}, 240},
        {"<< /Subtype /Widget /FT /Tx /Rect [10 10 30 100] /MK << /R 90 /BG [0] >> /V (x) >>", {10, 10, 30, 100}, 60},
    };
    MapResolver r = form_resolver();
    value acro = parse(kAcroForm);
    pdfgen::PdfBuilder b;
    std::string page_content, xobjects;
    int num = 10;
    for (size_t k = 0; k < std::size(items); ++k, ++num) {
        value a = parse(items[k].annot);
        appearance ap;
        ASSERT_TRUE(sheetlay::nup::build_appearance(a, &acro, &r, &ap)) << items[k].annot;
        double m[6];
        ASSERT_TRUE(sheetlay::nup::placement_matrix(ap.bbox, ap.has_matrix ? ap.matrix : nullptr, items[k].rect, m));
        std::string dict = "/Type /XObject /Subtype /Form /BBox [";
        for (int i = 0; i < 4; ++i) dict += num == 0 ? "" : " " + ::num(ap.bbox[i]);
        dict += "] ";
        if (ap.has_matrix) {
            dict += "/Matrix [";
            for (int i = 0; i < 6; ++i) dict += " " + ::num(ap.matrix[i]);
            dict += "] ";
        }
        dict += "/Resources " + sheetlay::pdf::to_text(ap.resources);
        b.add_stream(num, dict, ap.content);
        std::string name = "/A" + std::to_string(k);
        xobjects += " " + name + " " + std::to_string(num) + " 0 R";
        page_content += "q";
        for (double d : m) page_content += " " + ::num(d);
        page_content += " cm " + name + " Do Q\n";
    }
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R /Resources << /XObject <<" +
                 xobjects + " >> >> >>");
    b.add_stream(4, "", page_content);
    b.add(7, r.text[7]);
    b.add(8, r.text[8]);
    std::string path = testtools::write_temp(b.finish("/Root 1 0 R"), "appearance");
    ASSERT_TRUE(testtools::qpdf_check(path).skipped || testtools::qpdf_check(path).clean()) << testtools::qpdf_check(path).out;
    auto img = testtools::render_gray(path, 1, 72);
    ASSERT_TRUE(img.has_value());
    for (const auto &it : items) {
        auto crop = testtools::crop_pdf_rect(*img, 200, 200, it.rect[0], it.rect[1], it.rect[2], it.rect[3]);
        EXPECT_LT(crop.mean(), it.max_mean) << it.annot;
    }
    // Outside every rectangle the page stays white.
    EXPECT_GT(testtools::crop_pdf_rect(*img, 200, 200, 110, 115, 190, 155).mean(), 254);
    EXPECT_GT(testtools::crop_pdf_rect(*img, 200, 200, 40, 10, 190, 55).mean(), 254);
    if (!std::getenv("KEEP_APPEARANCE_PDF")) testtools::remove_file(path); else std::printf("kept %s\n", path.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// Real files: every printable annotation of the corpus's form and annotated
// files that needs a built appearance gets one. The objects are read from
// qpdf's uncompressed rewrite of each file.

namespace {

struct QdfResolver : MapResolver {
    // Object texts from "N 0 obj ... endobj"; stream data is dropped.
    explicit QdfResolver(const std::string &qdf) {
        size_t p = 0;
        while ((p = qdf.find(" 0 obj\n", p)) != std::string::npos) {
            size_t s = qdf.rfind('\n', p);
            int n = std::atoi(qdf.c_str() + (s == std::string::npos ? 0 : s + 1));
            size_t body = p + 7, end = qdf.find("\nendobj", body);
            if (end == std::string::npos) break;
            std::string t = qdf.substr(body, end - body);
            size_t st = t.find("\nstream\n");
            if (st != std::string::npos) t.resize(st);
            text[n] = t;
            p = end;
        }
    }
};

TEST(Appearance, CorpusAnnotationsBuild) {
    REQUIRE_QPDF();
    REQUIRE_CORPUS();
    struct File {
        const char *name;
        int expect_built;
    } files[] = {{"pdflatex-forms.pdf", 3}, {"annotated_pdf.pdf", 3}};  // forms: the push button too
    for (const auto &f : files) {
        std::string in = testtools::corpus_dir() + "/" + f.name;
        if (!testtools::file_exists(in)) continue;
        std::string out = testtools::tmp_path("qdf");
        auto rc = testtools::run_cmd({testtools::qpdf_path(), "--qdf", "--object-streams=disable", in, out});
        ASSERT_TRUE(rc.status == 0 || rc.status == 3) << rc.out;
        auto qdf = testtools::read_file(out);
        testtools::remove_file(out);
        ASSERT_TRUE(qdf.has_value());
        QdfResolver r(*qdf);
        const value *acroform = nullptr;
        int built = 0;
        for (auto &[num, t] : r.text) {
            const value *obj = r.get(num);
            if (!obj || !obj->get("Type") || !obj->get("Type")->is_name("Catalog")) continue;
            acroform = sheetlay::pdf::get_resolved(obj, "AcroForm", &r);
        }
        for (auto &[num, t] : std::map<int32_t, std::string>(r.text)) {
            const value *page = r.get(num);
            if (!page || !page->get("Type") || !page->get("Type")->is_name("Page")) continue;
            const value *annots = sheetlay::pdf::get_resolved(page, "Annots", &r);
            for (size_t k = 0; annots && k < annots->size(); ++k) {
                const value *a = sheetlay::pdf::resolve(annots->at(k), &r);
                ASSERT_NE(a, nullptr);
                if (!sheetlay::nup::annot_printable(*a, &r) ||
                    !sheetlay::nup::needs_built_appearance(*a, acroform, &r))
                    continue;
                appearance ap;
                EXPECT_TRUE(sheetlay::nup::build_appearance(*a, acroform, &r, &ap)) << sheetlay::pdf::to_text(*a);
                ++built;
            }
        }
        EXPECT_EQ(built, f.expect_built) << f.name;
    }
}

}  // namespace

namespace {

// /RD insets the drawing of Square, Circle and FreeText; insets that are
// not four non-negative numbers leaving room are ignored.
TEST(Appearance, InsetsFromRD) {
    struct Case {
        const char *annot;
        const char *piece;
    } cases[] = {
        {"<< /Subtype /Square /Rect [0 0 100 50] /C [0] /RD [10 5 20 15] >>", "10.5 5.5 69 29 re\n"},
        {"<< /Subtype /Circle /Rect [0 0 100 50] /C [0] /RD [10 5 20 15] >>", "79.5 20 m\n"},
        {"<< /Subtype /Square /Rect [0 0 100 50] /C [0] /RD [60 0 60 0] >>", "0.5 0.5 99 49 re\n"},
        {"<< /Subtype /Square /Rect [0 0 100 50] /C [0] /RD [-1 0 0 0] >>", "0.5 0.5 99 49 re\n"},
        {"<< /Subtype /Square /Rect [0 0 100 50] /C [0] /RD [1 2 3] >>", "0.5 0.5 99 49 re\n"},
        {"<< /Subtype /FreeText /Rect [100 100 300 150] /DA (/Helv 12 Tf 1 0 0 rg) /RD [10 5 20 15] >>",
         "1 0 0 1 10 5 cm\n"},
        {"<< /Subtype /FreeText /Rect [100 100 300 150] /DA (/Helv 12 Tf 1 0 0 rg) /RD [10 5 20 15] >>",
         "0.5 0.5 169 29 re S\n"},
    };
    for (const Case &c : cases) {
        appearance ap = build(c.annot);
        EXPECT_HAS(ap.content, c.piece);
    }
}

}  // namespace

namespace {

// Line and PolyLine endings (/LE), six border widths across, solid, closed
// ones filled with /IC; unknown names and None draw nothing.
TEST(Appearance, LineEndings) {
    struct Case {
        const char *annot;
        std::vector<const char *> pieces;
        const char *absent;
    } cases[] = {
        {"<< /Subtype /Line /Rect [0 0 100 10] /L [0 0 100 0] /LE [/OpenArrow /Square] >>",
         // The line stops where the square begins; the square touches the end.
         {"0 0 m\n94 0 l S\n", "q\n[] 0 d\n5.1962 -3 m\n0 0 l\n5.1962 3 l\nS\n",
          "94 -3 m\n100 -3 l\n100 3 l\n94 3 l\ns\nQ\n"}, nullptr},
        {"<< /Subtype /Line /Rect [0 0 100 10] /L [0 0 100 0] /LE [/None /ClosedArrow] /IC [1 0 0] >>",
         {"1 0 0 rg\n", "94.8038 3 m\n100 0 l\n94.8038 -3 l\nb\n"}, "5.1962"},
        {"<< /Subtype /Line /Rect [0 0 100 10] /L [0 0 100 0] /BS << /W 2 >> /LE [/Butt /Diamond] >>",
         {"0 -6 m\n0 6 l\nS\n", "100 0 m\n94 6 l\n88 0 l\n94 -6 l\ns\n"}, nullptr},
        {"<< /Subtype /PolyLine /Rect [0 0 100 100] /Vertices [0 0 50 50 100 50] /LE [/Slash /ROpenArrow] >>",
         {"105.1962 53 m\n100 50 l\n105.1962 47 l\nS\n", "0.7765 -2.8978 m\n-0.7765 2.8978 l\nS\n"}, nullptr},
        {"<< /Subtype /Line /Rect [0 0 100 10] /L [0 0 100 0] /LE [/Bogus /None] >>", {"0 0 m\n100 0 l S\n"}, "q\n[] 0 d"},
    };
    for (const Case &c : cases) {
        appearance ap = build(c.annot);
        for (const char *p : c.pieces) EXPECT_HAS(ap.content, p);
        if (c.absent) EXPECT_EQ(ap.content.find(c.absent), std::string::npos) << c.annot << "\n" << ap.content;
    }
    // The box makes room for the endings.
    appearance line = build(cases[0].annot);
    EXPECT_GE(line.bbox[2], 100);
    EXPECT_LE(line.bbox[1], -3);
}

}  // namespace
