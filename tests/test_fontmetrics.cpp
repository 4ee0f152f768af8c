// Standard-font widths, font name matching and text conversion to
// WinAnsiEncoding. The expected widths are the published metrics of the
// standard fonts, written here independently of the generated table.
#include <gtest/gtest.h>

#include <string>

#include "nup/fontmetrics.h"

using sheetlay::nup::font_widths;
using sheetlay::nup::standard_font;
using sheetlay::nup::std_font;
using sheetlay::nup::text_width;

namespace {

font_widths builtin(const char *name) {
    font_widths f;
    f.builtin = standard_font(name);
    return f;
}

TEST(FontMetrics, KnownWidths) {
    struct Case {
        const char *font;
        const char *text;
        double size;
        double points;
    } cases[] = {
        {"Helvetica", "Hello", 12, 27.336},          // 722 556 222 222 556
        {"Helvetica-Bold", "Hello", 10, 24.45},      // 722 556 278 278 611
        {"Times-Roman", "Hello", 10, 22.22},         // 722 444 278 278 500
        {"Times-Bold", "H", 100, 77.8},
        {"Courier", "any text at all", 10, 90},      // 15 glyphs of 600
        {"Courier-BoldOblique", "x", 10, 6},
        {"Helvetica", "\x80", 1000, 556},            // Euro at WinAnsi 0x80
        {"Helvetica", "\xE9", 1000, 556},            // eacute
        {"Helvetica", "'`", 1000, 191 + 333},        // quotesingle and grave, as WinAnsi has them
        {"Symbol", "a", 1000, 631},                  // alpha in Symbol's own encoding
        {"ZapfDingbats", "4", 1000, 846},            // the check mark
        {"ZapfDingbats", "l", 1000, 791},            // the filled circle
    };
    for (const auto &c : cases) {
        font_widths f = builtin(c.font);
        ASSERT_NE(f.builtin, nullptr) << c.font;
        EXPECT_NEAR(text_width(f, c.text, c.size), c.points, 1e-9) << c.font << " " << c.text;
    }
}

TEST(FontMetrics, VerticalMetricsArePlausible) {
    for (int k = 0; k < 14; ++k) {
        const auto &m = sheetlay::nup::standard_metrics(static_cast<std_font>(k));
        EXPECT_GT(m.ascent, 500) << m.name;
        EXPECT_LT(m.descent, -100) << m.name;
        EXPECT_GT(m.cap_height, 500) << m.name;
        EXPECT_LE(m.cap_height, m.ascent + 1) << m.name;
    }
}

TEST(FontMetrics, NamesAndAliases) {
    const std::pair<const char *, const char *> cases[] = {
        {"Helvetica", "Helvetica"},
        {"Helvetica-BoldOblique", "Helvetica-BoldOblique"},
        {"Arial", "Helvetica"},
        {"ArialMT", "Helvetica"},
        {"Arial,Bold", "Helvetica-Bold"},
        {"Arial-BoldMT", "Helvetica-Bold"},
        {"Arial-ItalicMT", "Helvetica-Oblique"},
        {"Arial,BoldItalic", "Helvetica-BoldOblique"},
        {"Times-Roman", "Times-Roman"},
        {"TimesNewRoman", "Times-Roman"},
        {"TimesNewRomanPSMT", "Times-Roman"},
        {"TimesNewRomanPS-BoldMT", "Times-Bold"},
        {"TimesNewRoman,BoldItalic", "Times-BoldItalic"},
        {"Times New Roman,Italic", "Times-Italic"},
        {"CourierNew", "Courier"},
        {"CourierNewPS-ItalicMT", "Courier-Oblique"},
        {"Courier-Bold", "Courier-Bold"},
        {"ABCDEF+Helvetica-Bold", "Helvetica-Bold"},
        {"Symbol", "Symbol"},
        {"ZapfDingbats", "ZapfDingbats"},
        {"Calibri", nullptr},
        {"", nullptr},
        {"abcdef+Arial", nullptr},  // not a subset prefix
    };
    for (const auto &c : cases) {
        const auto *m = standard_font(c.first);
        if (!c.second) {
            EXPECT_EQ(m, nullptr) << c.first;
        } else {
            ASSERT_NE(m, nullptr) << c.first;
            EXPECT_STREQ(m->name, c.second) << c.first;
        }
    }
}

TEST(FontMetrics, WidthsArrayIsPreferredAndMissingWidthCounts) {
    font_widths f = builtin("Helvetica");
    f.widths = {500, 400};  // codes 72 ('H') and 73
    f.first_char = 72;
    f.missing_width = 250;
    EXPECT_DOUBLE_EQ(text_width(f, "HI", 10), 9);
    EXPECT_DOUBLE_EQ(text_width(f, "He", 10), 5 + 2.5);  // 'e' is outside /Widths
    font_widths g = builtin("Helvetica");
    EXPECT_DOUBLE_EQ(g.glyph(0x81), 0);  // no glyph at that WinAnsi code, no /MissingWidth
    g.missing_width = 333;
    EXPECT_DOUBLE_EQ(g.glyph(0x81), 333);
    font_widths none;  // no table at all: everything measures the missing width
    EXPECT_DOUBLE_EQ(text_width(none, "abc", 10), 0);
}

TEST(FontMetrics, TextToWinAnsi) {
    using sheetlay::nup::to_winansi;
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {std::string("\xFE\xFF\x00H\x00\xE9\x20\xAC\x4E\x2D", 10), "H\xE9\x80?"},
        {std::string("\xFE\xFF\xD8\x3D\xDE\x00\x00!", 8), "?!"},  // a character outside the BMP
        {std::string("\xFE\xFF\x00", 3), ""},                     // odd byte dropped
        {"\xEF\xBB\xBFH\xC3\xA9\xE2\x82\xAC", "H\xE9\x80"},
        {"\xEF\xBB\xBF\xC3", "?"},  // cut sequence
        {"\x80\x8D\x8E\xA0\x9F\x18", "\x95\x93\x94\x80?\x3F"},  // PDFDocEncoding: bullet, quotes, Euro, undefined, breve
        {"a\nb\r\nc", "a\nb\r\nc"},
    };
    for (const auto &c : cases) EXPECT_EQ(to_winansi(c.first), c.second);
    EXPECT_EQ(sheetlay::nup::winansi_from_unicode(0x2014), 0x97);
    EXPECT_EQ(sheetlay::nup::winansi_from_unicode(0x3000), 0);
}

}  // namespace
