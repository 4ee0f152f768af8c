// Glyph widths of the 14 standard PDF fonts, font name matching (with the
// common aliases), and text width for the appearance builder.
//
// A form's default font is nearly always one of the standard 14, whose
// dictionaries usually carry no /Widths; a viewer then uses the fonts'
// published metrics. The tables are generated from AFM files of
// metric-compatible fonts (tools/gen_fontmetrics.py) and compiled in, so the
// library needs no font files at run time.
#ifndef SHEETLAY_NUP_FONTMETRICS_H
#define SHEETLAY_NUP_FONTMETRICS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sheetlay::nup {

struct font_metrics {
    const char *name;        // standard name, e.g. "Helvetica-Bold"
    int16_t ascent;          // 1/1000 em above the baseline
    int16_t descent;         // 1/1000 em, negative below the baseline
    int16_t cap_height;      // 1/1000 em
    uint16_t widths[256];    // 1/1000 em per code; 0 where the encoding has no glyph
};

// The standard fonts in table order.
enum class std_font : int {
    helvetica, helvetica_bold, helvetica_oblique, helvetica_bold_oblique,
    times_roman, times_bold, times_italic, times_bold_italic,
    courier, courier_bold, courier_oblique, courier_bold_oblique,
    symbol, zapf_dingbats
};

// The metrics of one standard font. Text fonts are indexed by
// WinAnsiEncoding codes, Symbol and ZapfDingbats by their built-in codes.
const font_metrics &standard_metrics(std_font f);

// The standard font a /BaseFont name stands for, nullptr when none.
// Accepts the standard names, a subset prefix ("ABCDEF+"), and the usual
// aliases with their style suffixes: Arial / ArialMT, TimesNewRoman(PS)(MT),
// CourierNew(PS)(MT), with ",Bold", "-Bold", "-Italic", "BoldItalic",
// "-Oblique", "MT" in any of the usual spellings.
const font_metrics *standard_font(std::string_view base_font);

// The widths a text is measured with: a /Widths array from the font
// dictionary (preferred when present), else a built-in table. A code outside
// /Widths, or at 0 in the built-in table, measures missing_width.
struct font_widths {
    const font_metrics *builtin = nullptr;  // used when widths is empty
    std::vector<double> widths;             // /Widths, from first_char on
    int32_t first_char = 0;
    double missing_width = 0;               // /FontDescriptor /MissingWidth, or 0

    // Width of one code in 1/1000 em.
    double glyph(unsigned char code) const;
};

// Width in points of `bytes` (one code per byte) at `size` points.
double text_width(const font_widths &f, std::string_view bytes, double size);

// A glyph name (as a font's /Differences gives it) to its WinAnsiEncoding
// byte, by which the text fonts' tables are indexed; 0 when WinAnsi has
// no glyph of that name.
unsigned char winansi_from_glyph_name(std::string_view name);

// Unicode code point to a WinAnsiEncoding byte; 0 when WinAnsi has none.
unsigned char winansi_from_unicode(uint32_t cp);

// Text string bytes (UTF-16BE or UTF-8 with their byte order marks, else
// PDFDocEncoding) to WinAnsiEncoding bytes; characters WinAnsi lacks become
// '?'. Bounded by the input's length.
std::string to_winansi(std::string_view text);

}  // namespace sheetlay::nup

#endif
