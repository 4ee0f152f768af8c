// The glyph outlines of embedded font programs, reduced to one box per glyph.
//
// A font descriptor's /FontBBox (or /Ascent and /Descent) is the extent of
// the font's tallest and deepest glyph; for math fonts that is a radical or
// a big operator, so every line of text set in them would hold the content
// box open far below the ink. The program embedded in the PDF carries each
// glyph's outline: reading it gives the box of the glyph actually shown.
//
// Read here: compact font programs (/FontFile3 /Type1C and /CIDFontType0C,
// simple and CID-keyed, with Type 2 charstrings); fonts of other kinds keep
// the font's whole box for every glyph. Every read is bounded by the
// program's length; subroutine nesting, operand stacks and the work per
// glyph are bounded too. A glyph that cannot be read says so, and the
// caller falls back to the font's whole box for it: nothing here ever
// makes a box smaller than the glyph's outline.
#ifndef SHEETLAY_CONTENT_FONTPROG_H
#define SHEETLAY_CONTENT_FONTPROG_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sheetlay::content {

// What is known of one glyph.
enum class glyph_status : uint8_t { unreadable, blank, drawn };

struct glyph_extent {
    glyph_status status = glyph_status::unreadable;
    // The outline's box in glyph space (font units), when drawn.
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    // The advance the program gives the glyph, in font units (NaN: none).
    double width = 0;
};

// What one reader has taken of a program's glyphs, and the charstring work
// it may still spend. The boxes themselves are worked out once for all
// readers (a glyph's box depends on the program alone) and kept by the
// program; each reader is charged the work of every glyph it takes as if it
// had worked it out alone, so that what a reader finds never depends on
// what other readers, on other threads, asked before.
struct glyph_memo {
    std::vector<uint8_t> taken;  // 0: not yet, 1: the program's box, 2: unreadable (work spent)
    int64_t budget = 20'000'000;  // operators and operands for all glyphs
};

class font_program {
public:
    virtual ~font_program() = default;
    // Glyph space to text space at size 1.
    double fm[6] = {0.001, 0, 0, 0.001, 0, 0};
    int32_t glyph_count() const { return count_; }
    // The glyph a code selects through the program's own (built-in)
    // encoding, -1 when none.
    virtual int32_t builtin_glyph(uint32_t code) const = 0;
    // The glyph of a PostScript glyph name, -1 when none.
    virtual int32_t glyph_by_name(std::string_view name) const = 0;
    // The glyph a CID selects (CID-keyed CFF through its charset; others:
    // the CID is the glyph), -1 when none.
    virtual int32_t glyph_by_cid(uint32_t cid) const { return cid < static_cast<uint32_t>(count_) ? static_cast<int32_t>(cid) : -1; }
    // The glyph's outline box for a reader; once the memo's budget is
    // spent, glyphs it has not taken yet are unreadable. Safe to call from
    // several threads at once, each with its own memo.
    const glyph_extent &glyph(int32_t gid, glyph_memo &m) const;
    // The same with the program's own memo.
    const glyph_extent &glyph(int32_t gid) { return glyph(gid, own_); }

protected:
    // The glyph's box, and the work it took in *ops.
    virtual glyph_extent compute(int32_t gid, int64_t *ops) const = 0;
    // Called once count_ is known, before the program is used.
    void prepare_glyphs();
    int32_t count_ = 0;

private:
    struct worked {
        glyph_extent box;
        int64_t ops = 0;
    };
    const worked &work_out(int32_t gid) const;
    mutable std::mutex mu_;  // guards computing; a glyph is read once `ready_` says so
    mutable std::vector<worked> worked_;
    std::unique_ptr<std::atomic<uint8_t>[]> ready_;
    glyph_memo own_;
};

// A compact font program (the bytes of a /FontFile3 /Type1C or
// /CIDFontType0C stream); null when its tables cannot be read.
std::unique_ptr<font_program> read_cff(std::string data);

// The standard glyph names of compact font programs (string ids below 391),
// "" where this reader does not name them.
std::string_view cff_standard_name(int32_t sid);
// The string id StandardEncoding gives a code (0: none).
int32_t standard_encoding_sid(uint32_t code);

}  // namespace sheetlay::content

#endif
