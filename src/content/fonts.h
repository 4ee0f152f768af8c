// What the box of shown text needs of a font: how many bytes make a code,
// each code's advance, and how far glyphs reach above and below the
// baseline; for Type 3 fonts, the glyph procedures and their matrix.
//
// Widths come from /Widths (simple fonts), /W and /DW (composite fonts), or
// the standard-14 metrics the library carries (nup/fontmetrics). Where a
// font tells nothing, the guesses are wide rather than narrow: an unknown
// simple font advances a full em per code, an unknown code map reads one
// byte per code.
#ifndef SHEETLAY_CONTENT_FONTS_H
#define SHEETLAY_CONTENT_FONTS_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "content/fontprog.h"
#include "nup/fontmetrics.h"
#include "pdf/object.h"

namespace sheetlay::content {

// How far beyond a glyph's outline its ink is taken to reach, in em: the
// outline is exact, but a viewer's rasterizer rounds glyph positions to
// whole pixels and hints edges to the pixel grid, so at screen resolutions
// its ink reaches up to about a pixel beyond it (most of a pixel at text
// sizes on a 72 dpi screen).
constexpr double kGlyphPad = 0.08;

struct font_info {
    int bytes = 1;          // bytes per code (1, or 2 for Identity and embedded CMaps)
    bool vertical = false;  // composite font written top to bottom
    double lo = -0.3, hi = 1.0;  // vertical extent in em
    double left = 0;  // how far glyphs may reach left of their origin, in em (<= 0)
    // Simple fonts.
    nup::font_widths simple;
    bool have_simple = false;  // simple has /Widths or built-in metrics
    // Composite fonts: /W as sorted ranges, and /DW.
    struct range {
        uint32_t first, last;
        double w;
    };
    std::vector<range> cid_w;
    double dw = 1000;
    double vy = 880, vadv = -1000;  // /DW2
    // Type 3.
    bool type3 = false;
    double fm[6] = {0.001, 0, 0, 0.001, 0, 0};
    const pdf::value *charprocs = nullptr;
    const pdf::value *resources = nullptr;
    std::map<int, std::string> names;  // /Differences: code -> glyph name

    // The embedded program, when it can be read, and the glyph each code
    // shows: simple fonts through `gids` (-1: not known), composite fonts
    // with Identity encodings through the CID (cid_glyphs).
    std::shared_ptr<const font_program> prog;
    std::vector<int32_t> gids;
    mutable glyph_memo glyphs;  // this reader's glyph boxes (see font_cache)
    bool cid_glyphs = false;
    // Simple fonts: each code's outline in em, worked out on first use.
    struct code_outline {
        glyph_status st = glyph_status::unreadable;
        bool done = false;
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    };
    mutable std::vector<code_outline> by_code;
    // One-byte fonts, as text showing takes each code (see glyph_ink in
    // bounds.h): its advance, and the box its glyph inks around the pen
    // across (ax to bx, the advance joined in by the caller) and up and
    // down (ay to by), in em; made on the code's first use, when outline()
    // would first be asked (so glyphs are read in the same order).
    struct code_ink {
        double w0 = 0;  // width(code) / 1000
        double ax = 0, bx = 0, ay = 0, by = 0;
        uint8_t state = 0;  // 0: not made yet, 1: inks nothing, 2: inks
    };
    mutable std::vector<code_ink> inks;  // empty, or one per byte value
    // The table of one-byte codes, made (empty rows) on first use.
    const code_ink *ink_table() const {
        if (inks.empty()) inks.resize(256);
        return inks.data();
    }
    // Fills code's row (code < 256) and returns it.
    const code_ink &make_ink(uint32_t code) const;

    // The advance of one code in 1/1000 em (Type 3: in glyph space units).
    double width(uint32_t code) const {
        if (code < code_widths.size()) return code_widths[code];
        return width_of(code);
    }
    double width_of(uint32_t code) const;  // the same, worked out
    std::vector<double> code_widths;  // simple fonts: width_of each code, made once
    // The outline box of the glyph a code shows, in text space at size 1
    // (em): drawn, blank (the glyph has no outline), or unreadable, in which
    // case the caller takes the font's whole extent. A program whose advance
    // for the glyph disagrees with the font dictionary's is not trusted for
    // it (the code may not show the glyph this reader picked).
    glyph_status outline(uint32_t code, double *x0, double *y0, double *x1, double *y1) const {
        if (!prog) return glyph_status::unreadable;
        if (code < by_code.size() && by_code[code].done) {
            const code_outline &c = by_code[code];
            *x0 = c.x0, *y0 = c.y0, *x1 = c.x1, *y1 = c.y1;
            return c.st;
        }
        return first_outline(code, x0, y0, x1, y1);
    }

private:
    glyph_status first_outline(uint32_t code, double *x0, double *y0, double *x1, double *y1) const;
    glyph_status glyph_outline(uint32_t code, double *x0, double *y0, double *x1, double *y1) const;
};

struct source;
// Reads a font dictionary; never fails (a damaged font gets wide guesses).
// With `src`, the embedded font program is read for per-glyph boxes.
font_info read_font(const pdf::value *font, pdf::resolver *res, source *src = nullptr);

// Fonts shared by the readers of one document on several threads. They
// are named before the readers start (by object number, in a fixed order:
// the map and the order are only read after that); each is read once, by
// the first reader to need it, with that reader's resolver (which must
// outlive the store's use: Type 3 fonts point into its values), and copied
// by every reader.
struct font_store {
    struct entry {
        std::once_flag once;
        std::unique_ptr<const font_info> font;  // null: the reader found no font there
    };
    std::map<int32_t, std::unique_ptr<entry>> by_num;
    std::vector<int32_t> order;
};

// Fonts by object number, kept across pages (see bbox.h). A font the
// store names is copied from there rather than read again: the copy shares
// the store's font program, and works out glyph boxes in its own memo, so
// that each reader finds what it would have found on its own.
struct font_cache {
    font_store *shared = nullptr;
    std::map<int32_t, std::unique_ptr<font_info>> by_num;
};

// Font object `num` (its value `font`) for a reader's cache: a copy of the
// store's when the store names it (read into the store first if no reader
// has yet), else read.
std::unique_ptr<font_info> new_font(font_store *store, int32_t num, const pdf::value *font,
                                    pdf::resolver *res, source *src);

// Reads the store's font number `num`, unless a reader has already.
void read_stored(font_store *store, int32_t num, pdf::resolver *res, source *src);

// Names in the store the fonts a resources dictionary names (resolved by
// `res`), those it does not name yet.
void store_fonts(font_store *store, const pdf::value *resources, pdf::resolver *res);

}  // namespace sheetlay::content

#endif
