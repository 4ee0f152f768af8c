// Compact font programs built byte by byte, for the font program tests and
// the fuzz seeds: glyphs given as charstring text ("10 20 rmoveto 5 hlineto
// endchar", #xx for a raw byte, a number with a point as 16.16 fixed),
// subroutines, a format 0 charset, an optional custom encoding and font
// matrix. Offsets are laid out with five-byte DICT integers.
#ifndef SHEETLAY_TESTS_SUPPORT_CFFGEN_H
#define SHEETLAY_TESTS_SUPPORT_CFFGEN_H

#include <cstdint>
#include <string>
#include <vector>

namespace cffgen {

struct TestFont {
    std::vector<std::string> glyphs;  // charstrings as text; glyph 0 first
    std::vector<int> sids;            // glyphs 1.. : string ids
    std::vector<std::string> strings;
    std::vector<std::string> subrs, gsubrs;
    std::vector<int> codes;  // glyph k+1 gets codes[k]; empty: the standard encoding
    std::string matrix;      // DICT bytes of a FontMatrix, or ""
    int dflt = 250, nominal = 450;
    // CID-keyed when fd_of is given: each glyph's FD, the charset's ids are
    // CIDs; FD 0 uses `subrs`, FD k > 0 fd_subrs[k - 1].
    std::vector<int> fd_of;
    std::vector<std::vector<std::string>> fd_subrs;
};

// A charstring from text.
std::string charstring(const std::string &text);
// The whole program.
std::string build(const TestFont &f);

}  // namespace cffgen

#endif
