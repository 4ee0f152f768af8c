// Standard-font metrics, font name matching and text conversion to
// WinAnsiEncoding (see fontmetrics.h).
//
// The width tables live in fontmetrics_table.inc, generated from AFM files;
// this file holds only the lookups. Text arrives as PDF text strings
// (PDFDocEncoding, or UTF-16BE / UTF-8 with a byte order mark) and leaves as
// WinAnsi bytes, because that is the encoding the appearance builder writes
// its fallback fonts in and the one form fonts almost always use.
#include "nup/fontmetrics.h"

#include <cstring>
#include <string>

namespace sheetlay::nup {
namespace {

const font_metrics kFonts[14] = {
#include "nup/fontmetrics_table.inc"
};

// Unicode of the PDFDocEncoding codes that differ from Latin-1
// (0x18..0x1F and 0x80..0xA0); 0 for codes PDFDocEncoding leaves undefined.
const uint16_t kPdfDocLow[8] = {0x02D8, 0x02C7, 0x02C6, 0x02D9, 0x02DD, 0x02DB, 0x02DA, 0x02DC};
const uint16_t kPdfDocHigh[33] = {
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
    0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
    0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0x0000, 0x20AC};

// WinAnsi codes 0x80..0x9F and the Unicode they stand for (0: undefined).
const uint16_t kWinAnsiHigh[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

void put_cp(std::string *out, uint32_t cp) {
    if (cp == '\n' || cp == '\r' || cp == '\t') {
        out->push_back(static_cast<char>(cp));
        return;
    }
    unsigned char b = winansi_from_unicode(cp);
    out->push_back(b ? static_cast<char>(b) : '?');
}

}  // namespace

const font_metrics &standard_metrics(std_font f) { return kFonts[static_cast<int>(f)]; }

const font_metrics *standard_font(std::string_view base) {
    // A subset prefix: six capital letters and '+'.
    if (base.size() > 7 && base[6] == '+') {
        bool tag = true;
        for (int k = 0; k < 6; ++k) tag = tag && base[k] >= 'A' && base[k] <= 'Z';
        if (tag) base.remove_prefix(7);
    }
    if (base.size() > 64) return nullptr;
    std::string s;
    for (char c : base)
        if (c != ' ') s.push_back(lower(c));
    for (const auto &f : kFonts) {
        std::string n;
        for (const char *p = f.name; *p; ++p) n.push_back(lower(*p));
        if (s == n) return &f;
    }
    int family;  // 0 Helvetica, 4 Times, 8 Courier
    std::string_view rest(s);
    if (starts_with(rest, "helvetica")) {
        family = 0;
        rest.remove_prefix(9);
    } else if (starts_with(rest, "arial")) {
        family = 0;
        rest.remove_prefix(5);
    } else if (starts_with(rest, "times")) {
        family = 4;
        rest.remove_prefix(5);
    } else if (starts_with(rest, "courier")) {
        family = 8;
        rest.remove_prefix(7);
    } else if (starts_with(rest, "symbol")) {
        return &kFonts[static_cast<int>(std_font::symbol)];
    } else if (starts_with(rest, "zapfdingbats")) {
        return &kFonts[static_cast<int>(std_font::zapf_dingbats)];
    } else {
        return nullptr;
    }
    bool bold = rest.find("bold") != std::string_view::npos || rest.find("black") != std::string_view::npos;
    bool italic = rest.find("italic") != std::string_view::npos || rest.find("oblique") != std::string_view::npos;
    return &kFonts[family + (bold ? 1 : 0) + (italic ? 2 : 0)];
}

double font_widths::glyph(unsigned char code) const {
    if (!widths.empty()) {
        int64_t idx = static_cast<int64_t>(code) - first_char;
        if (idx >= 0 && idx < static_cast<int64_t>(widths.size())) return widths[static_cast<size_t>(idx)];
        return missing_width;
    }
    if (builtin && builtin->widths[code]) return builtin->widths[code];
    return missing_width;
}

double text_width(const font_widths &f, std::string_view bytes, double size) {
    double w = 0;
    for (unsigned char c : bytes) w += f.glyph(c);
    return w * size / 1000.0;
}

namespace {

// The glyph names of WinAnsiEncoding from code 32 on; null where the
// encoding has no glyph of its own (a second space and hyphen included).
const char *const kWinAnsiNames[224] = {
    "space", "exclam", "quotedbl", "numbersign", "dollar", "percent", "ampersand", "quotesingle",  // 32
    "parenleft", "parenright", "asterisk", "plus", "comma", "hyphen", "period", "slash",  // 40
    "zero", "one", "two", "three", "four", "five", "six", "seven",  // 48
    "eight", "nine", "colon", "semicolon", "less", "equal", "greater", "question",  // 56
    "at", "A", "B", "C", "D", "E", "F", "G",  // 64
    "H", "I", "J", "K", "L", "M", "N", "O",  // 72
    "P", "Q", "R", "S", "T", "U", "V", "W",  // 80
    "X", "Y", "Z", "bracketleft", "backslash", "bracketright", "asciicircum", "underscore",  // 88
    "grave", "a", "b", "c", "d", "e", "f", "g",  // 96
    "h", "i", "j", "k", "l", "m", "n", "o",  // 104
    "p", "q", "r", "s", "t", "u", "v", "w",  // 112
    "x", "y", "z", "braceleft", "bar", "braceright", "asciitilde", nullptr,  // 120
    "Euro", nullptr, "quotesinglbase", "florin", "quotedblbase", "ellipsis", "dagger", "daggerdbl",  // 128
    "circumflex", "perthousand", "Scaron", "guilsinglleft", "OE", nullptr, "Zcaron", nullptr,  // 136
    nullptr, "quoteleft", "quoteright", "quotedblleft", "quotedblright", "bullet", "endash", "emdash",  // 144
    "tilde", "trademark", "scaron", "guilsinglright", "oe", nullptr, "zcaron", "Ydieresis",  // 152
    nullptr, "exclamdown", "cent", "sterling", "currency", "yen", "brokenbar", "section",  // 160
    "dieresis", "copyright", "ordfeminine", "guillemotleft", "logicalnot", nullptr, "registered", "macron",  // 168
    "degree", "plusminus", "twosuperior", "threesuperior", "acute", "mu", "paragraph", "periodcentered",  // 176
    "cedilla", "onesuperior", "ordmasculine", "guillemotright", "onequarter", "onehalf", "threequarters", "questiondown",  // 184
    "Agrave", "Aacute", "Acircumflex", "Atilde", "Adieresis", "Aring", "AE", "Ccedilla",  // 192
    "Egrave", "Eacute", "Ecircumflex", "Edieresis", "Igrave", "Iacute", "Icircumflex", "Idieresis",  // 200
    "Eth", "Ntilde", "Ograve", "Oacute", "Ocircumflex", "Otilde", "Odieresis", "multiply",  // 208
    "Oslash", "Ugrave", "Uacute", "Ucircumflex", "Udieresis", "Yacute", "Thorn", "germandbls",  // 216
    "agrave", "aacute", "acircumflex", "atilde", "adieresis", "aring", "ae", "ccedilla",  // 224
    "egrave", "eacute", "ecircumflex", "edieresis", "igrave", "iacute", "icircumflex", "idieresis",  // 232
    "eth", "ntilde", "ograve", "oacute", "ocircumflex", "otilde", "odieresis", "divide",  // 240
    "oslash", "ugrave", "uacute", "ucircumflex", "udieresis", "yacute", "thorn", "ydieresis",  // 248
};

}  // namespace

unsigned char winansi_from_glyph_name(std::string_view name) {
    if (name.empty()) return 0;
    for (int k = 0; k < 224; ++k)
        if (kWinAnsiNames[k] && name == kWinAnsiNames[k]) return static_cast<unsigned char>(32 + k);
    return 0;
}

unsigned char winansi_from_unicode(uint32_t cp) {
    if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
    if (cp == 0) return 0;
    for (int k = 0; k < 32; ++k)
        if (kWinAnsiHigh[k] == cp) return static_cast<unsigned char>(0x80 + k);
    return 0;
}

std::string to_winansi(std::string_view t) {
    std::string out;
    const auto *b = reinterpret_cast<const unsigned char *>(t.data());
    size_t n = t.size();
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        for (size_t k = 2; k + 1 < n; k += 2) {
            uint32_t u = static_cast<uint32_t>(b[k]) << 8 | b[k + 1];
            if (u >= 0xD800 && u <= 0xDBFF && k + 3 < n) {
                uint32_t lo = static_cast<uint32_t>(b[k + 2]) << 8 | b[k + 3];
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    k += 2;
                    u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                }
            }
            put_cp(&out, u);
        }
        return out;
    }
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        for (size_t k = 3; k < n;) {
            unsigned char c = b[k];
            int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
            uint32_t u = more == 0 ? c : more == 1 ? (c & 0x1Fu) : more == 2 ? (c & 0x0Fu) : (c & 0x07u);
            bool ok = more >= 0 && k + static_cast<size_t>(more) < n;
            for (int m = 1; ok && m <= more; ++m) {
                if ((b[k + m] & 0xC0) != 0x80) ok = false;
                u = u << 6 | (b[k + m] & 0x3Fu);
            }
            if (!ok) {
                out.push_back('?');
                ++k;
                continue;
            }
            put_cp(&out, u);
            k += static_cast<size_t>(more) + 1;
        }
        return out;
    }
    for (size_t k = 0; k < n; ++k) {
        unsigned char c = b[k];
        uint32_t u = c;
        if (c >= 0x18 && c <= 0x1F) u = kPdfDocLow[c - 0x18];
        else if (c >= 0x80 && c <= 0xA0) u = kPdfDocHigh[c - 0x80];
        else if (c == 0x7F || c == 0xAD) u = 0;
        if (u == 0 || (u < 0x20 && u != '\n' && u != '\r' && u != '\t')) {
            out.push_back('?');
            continue;
        }
        put_cp(&out, u);
    }
    return out;
}

}  // namespace sheetlay::nup
