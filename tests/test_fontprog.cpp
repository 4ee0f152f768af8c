// Glyph boxes from embedded font programs: a compact font program built
// byte by byte here (each outline operator family, hint masks, local and
// global subroutines, accented characters, custom names and encodings)
// against boxes worked out by hand; damaged programs (cut short, bytes
// overwritten, counts and offsets past the end, runaway subroutines); text
// shown in such a font through the content box; and one page of the corpus
// whose math fonts declare far deeper boxes than their glyphs reach.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "content/bbox.h"
#include "content/fontprog.h"
#include "pdf/load.h"
#include "pdf/resolve.h"
#include "support/cffgen.h"
#include "support/map_resolver.h"
#include "support/tools.h"

namespace {

using sheetlay::content::glyph_status;

using cffgen::TestFont;
using cffgen::build;

// Glyphs 0.., each with what it should read as.
struct GlyphCase {
    const char *cs;
    int sid;
    glyph_status st;
    double x0, y0, x1, y1, width;
};

const GlyphCase kGlyphs[] = {
    {"endchar", 0, glyph_status::blank, 0, 0, 0, 0, 250},
    // A: width operand before the first move; lines.
    {"50 100 100 rmoveto 200 0 rlineto 0 300 rlineto endchar", 34, glyph_status::drawn, 100, 100, 300, 400, 500},
    // A curve bulging to 75 while its control points reach 100.
    {"0 0 rmoveto 0 100 100 0 0 -100 rrcurveto endchar", 35, glyph_status::drawn, 0, 0, 100, 75, 250},
    // Nine stems (eight declared, one implied by hintmask's operands): two
    // mask bytes, the second of which reads as endchar if miscounted.
    {"0 10 20 10 40 10 60 10 80 10 100 10 120 10 140 10 hstemhm 5 10 hintmask #ff #0e 10 20 rmoveto 30 40 "
     "rlineto endchar",
     36, glyph_status::drawn, 10, 20, 40, 60, 250},
    // Local and global subroutines (bias 107), endchar inside one.
    {"10 10 -107 callsubr 0 30 rlineto -107 callgsubr", 37, glyph_status::drawn, 10, 10, 30, 40, 250},
    // hflex: two curves, level at both ends.
    {"0 0 rmoveto 10 20 30 40 50 60 70 hflex endchar", 38, glyph_status::drawn, 0, 0, 250, 30, 250},
    // A subroutine calling itself, past the nesting bound.
    {"0 0 rmoveto -106 callsubr endchar", 39, glyph_status::unreadable, 0, 0, 0, 0, 0},
    // No endchar: the glyph runs off its end.
    {"0 0 rmoveto 10 10 rlineto", 40, glyph_status::unreadable, 0, 0, 0, 0, 0},
    // The accented form of endchar: A with acute raised by (100, 400).
    {"0 100 400 65 194 endchar", 173, glyph_status::drawn, 100, 100, 300, 450, 450},
    // acute
    {"0 0 rmoveto 50 0 rlineto 0 50 rlineto endchar", 125, glyph_status::drawn, 0, 0, 50, 50, 250},
    // a custom name ("pi"); fixed-point operands
    {"0.5 -20.25 rmoveto 100 vlineto 40 hlineto endchar", 391, glyph_status::drawn, 0.5, -20.25, 40.5, 79.75, 250},
    // hvcurveto and vhcurveto alternating, with an odd last offset.
    {"0 0 rmoveto 50 50 50 50 hvcurveto -50 50 -50 50 10 vhcurveto endchar", 41, glyph_status::drawn, 0, 0, 200,
     100, 250},
    // space
    {"endchar", 1, glyph_status::blank, 0, 0, 0, 0, 250},
    // rcurveline, rlinecurve, vvcurveto, hhcurveto and flex1, straight pieces only
    {"0 0 rmoveto 10 0 10 0 10 0 0 5 rcurveline 0 5 0 5 0 5 0 5 rlinecurve 0 5 0 5 5 vvcurveto "
     "0 5 0 0 5 hhcurveto 2 0 2 0 2 0 2 0 2 0 2 flex1 endchar",
     42, glyph_status::drawn, 0, 0, 52, 40, 250},
};

TestFont test_font() {
    TestFont f;
    for (const auto &g : kGlyphs) f.glyphs.push_back(g.cs);
    for (size_t k = 1; k < std::size(kGlyphs); ++k) f.sids.push_back(kGlyphs[k].sid);
    f.strings = {"pi"};
    f.subrs = {"rmoveto 20 0 rlineto return", "-106 callsubr"};
    f.gsubrs = {"-5 -5 rlineto endchar"};
    for (size_t k = 1; k < std::size(kGlyphs); ++k) f.codes.push_back(static_cast<int>(64 + k));
    f.codes[11] = 32;  // space
    return f;
}

TEST(FontProgram, CompactGlyphBoxes) {
    auto p = sheetlay::content::read_cff(build(test_font()));
    ASSERT_TRUE(p);
    ASSERT_EQ(p->glyph_count(), static_cast<int32_t>(std::size(kGlyphs)));
    for (size_t k = 0; k < std::size(kGlyphs); ++k) {
        const GlyphCase &c = kGlyphs[k];
        const auto &e = p->glyph(static_cast<int32_t>(k));
        ASSERT_EQ(static_cast<int>(e.status), static_cast<int>(c.st)) << "glyph " << k << ": " << c.cs;
        if (c.st == glyph_status::unreadable) continue;
        EXPECT_NEAR(e.width, c.width, 1e-9) << "glyph " << k;
        if (c.st != glyph_status::drawn) continue;
        EXPECT_NEAR(e.x0, c.x0, 1e-6) << "glyph " << k;
        EXPECT_NEAR(e.y0, c.y0, 1e-6) << "glyph " << k;
        EXPECT_NEAR(e.x1, c.x1, 1e-6) << "glyph " << k;
        EXPECT_NEAR(e.y1, c.y1, 1e-6) << "glyph " << k;
    }
    // Out of range.
    EXPECT_EQ(p->glyph(-1).status, glyph_status::unreadable);
    EXPECT_EQ(p->glyph(1000).status, glyph_status::unreadable);
}

TEST(FontProgram, CompactLookups) {
    TestFont f = test_font();
    auto p = sheetlay::content::read_cff(build(f));
    ASSERT_TRUE(p);
    struct {
        const char *name;
        int32_t gid;
    } names[] = {{"A", 1}, {"B", 2}, {"acute", 9}, {"pi", 10}, {"space", 12}, {".notdef", 0}, {"Z", -1},
                 {"nosuch", -1}, {"", -1}};
    for (const auto &n : names) EXPECT_EQ(p->glyph_by_name(n.name), n.gid) << n.name;
    struct {
        uint32_t code;
        int32_t gid;
    } codes[] = {{65, 1}, {66, 2}, {32, 12}, {64, -1}, {0, -1}, {255, -1}, {1000, -1}};
    for (const auto &c : codes) EXPECT_EQ(p->builtin_glyph(c.code), c.gid) << c.code;
    // Not CID-keyed: the CID is the glyph.
    EXPECT_EQ(p->glyph_by_cid(3), 3);
    EXPECT_EQ(p->glyph_by_cid(100), -1);
    EXPECT_DOUBLE_EQ(p->fm[0], 0.001);

    // The standard encoding (no encoding offset) goes through the glyph names;
    // a font matrix of its own is read.
    f.codes.clear();
    const std::string real("\x1e\x0a\x00\x2f", 4), zero = "\x8b";  // 0.002, 0
    f.matrix = real + zero + zero + real + zero + zero + "\x0c\x07";
    p = sheetlay::content::read_cff(build(f));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->builtin_glyph(65), 1);
    EXPECT_EQ(p->builtin_glyph(194), 9);  // acute
    EXPECT_EQ(p->builtin_glyph(32), 12);
    EXPECT_EQ(p->builtin_glyph(67), 3);
    EXPECT_DOUBLE_EQ(p->fm[0], 0.002);
    EXPECT_DOUBLE_EQ(p->fm[3], 0.002);
    EXPECT_DOUBLE_EQ(p->fm[1], 0);
}

// Every glyph of a possibly damaged program: read or refused, never more.
void read_all(const std::string &bytes) {
    auto p = sheetlay::content::read_cff(bytes);
    if (!p) return;
    for (int32_t g = 0; g < p->glyph_count() && g < 64; ++g) {
        const auto &e = p->glyph(g);
        if (e.status == glyph_status::drawn)
            ASSERT_TRUE(std::isfinite(e.x0) && std::isfinite(e.y0) && std::isfinite(e.x1) && std::isfinite(e.y1));
    }
    for (uint32_t c = 0; c < 256; ++c) (void)p->builtin_glyph(c);
    (void)p->glyph_by_name("A");
}

// CID-keyed: glyphs found by CID through the charset, each glyph's local
// subroutines those of its FD.
TEST(FontProgram, CidKeyedGlyphs) {
    TestFont f;
    f.glyphs = {"endchar", "0 0 rmoveto -107 callsubr endchar", "0 0 rmoveto -107 callsubr endchar",
                "5 5 rmoveto -107 callsubr endchar"};
    f.sids = {100, 7, 300};  // CIDs of glyphs 1, 2, 3
    f.fd_of = {0, 0, 1, 1};
    f.subrs = {"10 20 rlineto return"};
    f.fd_subrs = {{"-30 40 rlineto return"}};
    const std::string bytes = build(f);
    auto p = sheetlay::content::read_cff(bytes);
    ASSERT_TRUE(p);
    struct {
        uint32_t cid;
        int32_t gid;
        double x0, y0, x1, y1;
    } cases[] = {{100, 1, 0, 0, 10, 20}, {7, 2, -30, 0, 0, 40}, {300, 3, -25, 5, 5, 45}};
    for (const auto &c : cases) {
        ASSERT_EQ(p->glyph_by_cid(c.cid), c.gid) << c.cid;
        const auto &e = p->glyph(c.gid);
        ASSERT_EQ(e.status, glyph_status::drawn) << c.cid;
        EXPECT_DOUBLE_EQ(e.x0, c.x0);
        EXPECT_DOUBLE_EQ(e.y0, c.y0);
        EXPECT_DOUBLE_EQ(e.x1, c.x1);
        EXPECT_DOUBLE_EQ(e.y1, c.y1);
    }
    EXPECT_EQ(p->glyph_by_cid(1), -1);  // no glyph has CID 1
    EXPECT_EQ(p->glyph_by_cid(0), 0);
    EXPECT_EQ(p->glyph_by_name("A"), -1);  // CID-keyed programs name no glyphs
    EXPECT_EQ(p->builtin_glyph(65), -1);
    // An FD past the FDArray, and FDSelect ranges out of order: refused.
    int found = 0;
    for (size_t k = 0; k + 1 < bytes.size(); ++k)
        if (bytes[k] == '\x03' && bytes.size() - k == 1 + 2 + 3 * 4 + 2) {
            ++found;
            std::string bad = bytes;
            bad[k + 3 + 3 * 3 + 2] = 5;  // glyph 3's FD
            EXPECT_FALSE(sheetlay::content::read_cff(bad));
            bad = bytes;
            bad[k + 3 + 3 * 2 + 1] = 0;  // glyph 2's range starts before glyph 1's ends
            EXPECT_FALSE(sheetlay::content::read_cff(bad));
        }
    EXPECT_EQ(found, 1);  // the FDSelect ends the program
    for (size_t n = 0; n < bytes.size(); ++n) read_all(bytes.substr(0, n));
}

TEST(FontProgram, DamagedProgramsAreRefusedOrBounded) {
    const std::string good = build(test_font());
    // Cut short anywhere.
    for (size_t n = 0; n < good.size(); ++n) read_all(good.substr(0, n));
    // Any byte overwritten with values that matter to the reader.
    for (size_t k = 0; k < good.size(); ++k)
        for (unsigned char v : {0x00, 0x01, 0x0a, 0x0b, 0x0e, 0x1c, 0x1d, 0x7f, 0xff}) {
            std::string bad = good;
            bad[k] = static_cast<char>(v);
            read_all(bad);
        }
    // Whole-program damage, each refused outright.
    const std::string header("\x01\x00\x04\x04", 4);
    const std::string refused[] = {
        "",
        std::string("\x02\x00\x04\x04", 4) + good.substr(4),  // another major version
        header + "\xff\xff\x04" + std::string(40, '\x01'),  // a huge count with offsets past the end
        header + std::string("\x00\x01\x01\x01\xff", 5),    // an item past the end
        header + std::string("\x00\x01\x05\x00", 4),        // offsets five bytes wide
        std::string("\x01\x00\xff\x04", 4),                 // a header reaching past the end
    };
    for (const auto &r : refused) EXPECT_FALSE(sheetlay::content::read_cff(r)) << r.size();
}

TEST(FontProgram, RunawayGlyphsAreUnreadable) {
    struct {
        const char *glyph;
        std::vector<std::string> subrs;
    } cases[] = {
        // Deeper than subroutines nest.
        {"0 0 rmoveto -107 callsubr endchar", {"-107 callsubr"}},
        // A subroutine index past the end.
        {"0 0 rmoveto 5 callsubr endchar", {"return"}},
        // More operands than the stack holds.
        {"1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 "
         "1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 rlineto endchar",
         {}},
        // A number cut off by the glyph's end.
        {"0 0 rmoveto #1c", {}},
        // An escape with nothing after it; an unknown escape.
        {"0 0 rmoveto #0c", {}},
        {"0 0 rmoveto 1 2 #0c #17 endchar", {}},
        // Work beyond the bound, through subroutines fanning out.
        {"0 0 rmoveto -107 callsubr endchar",
         {"-106 callsubr -106 callsubr -106 callsubr -106 callsubr -106 callsubr -106 callsubr -106 callsubr "
          "-106 callsubr",
          "-105 callsubr -105 callsubr -105 callsubr -105 callsubr -105 callsubr -105 callsubr -105 callsubr "
          "-105 callsubr",
          "-104 callsubr -104 callsubr -104 callsubr -104 callsubr -104 callsubr -104 callsubr -104 callsubr "
          "-104 callsubr",
          "-103 callsubr -103 callsubr -103 callsubr -103 callsubr -103 callsubr -103 callsubr -103 callsubr "
          "-103 callsubr",
          "-102 callsubr -102 callsubr -102 callsubr -102 callsubr -102 callsubr -102 callsubr -102 callsubr "
          "-102 callsubr",
          "1 1 rlineto return"}},
    };
    for (const auto &c : cases) {
        TestFont f;
        f.glyphs = {"endchar", c.glyph};
        f.sids = {34};
        f.subrs = c.subrs;
        auto p = sheetlay::content::read_cff(build(f));
        ASSERT_TRUE(p) << c.glyph;
        EXPECT_EQ(p->glyph(1).status, glyph_status::unreadable) << c.glyph;
        EXPECT_EQ(p->glyph(0).status, glyph_status::blank);
    }
}

using testtools::MapSource;

// F1: the program's advances; F2: advances that disagree for A (the
// program cannot be trusted for that code); F3: an unreadable program;
// F4: /Differences naming glyphs over the built-in encoding; F5: a
// standard font with no program; F6: two bytes a code.
void embedded_fonts(MapSource *src, sheetlay::pdf::value *res) {
    std::string widths = "/FirstChar 32 /Widths [250";
    for (int c = 33; c < 65; ++c) widths += " 0";
    widths += " 500 250 250 250 250 250 250 250 250 250 250 250]";  // to L
    const std::string desc = " /FontDescriptor << /FontBBox [0 -900 1000 1000] /FontFile3 5 0 R >>";
    const std::string text = std::string("<< /Font << /F1 << /Subtype /Type1 ") + widths + desc +
                             " >> /F2 << /Subtype /Type1 /FirstChar 65 /Widths [600]" + desc +
                             " >> /F3 << /Subtype /Type1 " + widths +
                             " /FontDescriptor << /FontBBox [0 -900 1000 1000] /FontFile3 6 0 R >> >>"
                             " /F4 << /Subtype /Type1 /Encoding << /Differences [66 /acute /pi] >> " + widths +
                             desc + " >> /F5 << /Subtype /Type1 /BaseFont /Helvetica >>"
                             " /F6 << /Subtype /Type0 /Encoding /Identity-H /DescendantFonts [<< /DW 700"
                             " /W [65 [250 750]] /FontDescriptor << /Ascent 800 /Descent -200 >> >>] >> >> >>";
    ASSERT_TRUE(sheetlay::pdf::parse_value(text, res));
    src->objs.text[5] = "<< /Subtype /Type1C /Length 1 >>";
    src->data[5] = build(test_font());
    src->objs.text[6] = "<< /Subtype /Type1C /Length 1 >>";
    src->data[6] = "not a font program";
}

TEST(FontProgram, TextThroughEmbeddedPrograms) {
    MapSource src;
    sheetlay::pdf::value res;
    embedded_fonts(&src, &res);
    const sheetlay::content::box page{-1000, -1000, 1000, 1000};
    struct {
        const char *content;
        double x0, y0, x1, y1;  // x0 > x1: nothing drawn
    } cases[] = {
        // Outline (100..300, 100..400) at 10 pt, 0.08 em around it, and the advance across.
        {"BT /F1 10 Tf (A) Tj ET", 0, 0.2, 5, 4.8},
        // A space shows nothing; after it, A moves on by its advance.
        {"BT /F1 10 Tf ( ) Tj ET", 1, 1, 0, 0},
        {"BT /F1 10 Tf ( A) Tj ET", 2.5, 0.2, 7.5, 4.8},
        // Rise and horizontal scaling.
        {"BT /F1 10 Tf 5 Ts 50 Tz (A) Tj ET", 0, 5.2, 2.5, 9.8},
        // Advances that disagree, and an unreadable program: the font's box.
        {"BT /F2 10 Tf (A) Tj ET", 0, -9, 6, 10},
        {"BT /F3 10 Tf (A) Tj ET", 0, -9, 5, 10},
        // A code the program does not encode: the font's box.
        {"BT /F1 10 Tf (!) Tj ET", 0, -9, 0, 10},
        // /Differences: code 66 shows acute (0..50), 67 pi (-20.25..79.75).
        {"BT /F4 10 Tf (B) Tj ET", -0.8, -0.8, 2.5, 1.3},
        {"BT /F4 10 Tf (C) Tj ET", -0.795, -1.0025, 2.5, 1.5975},
    };
    for (const auto &c : cases) {
        const std::string content = c.content;
        auto r = sheetlay::content::content_box(reinterpret_cast<const unsigned char *>(content.data()),
                                                content.size(), &res, src, page);
        ASSERT_TRUE(r.ok) << c.content;
        ASSERT_EQ(r.ink.empty(), c.x0 > c.x1) << c.content;
        if (r.ink.empty()) continue;
        EXPECT_NEAR(r.ink.x0, c.x0, 1e-6) << c.content;
        EXPECT_NEAR(r.ink.y0, c.y0, 1e-6) << c.content;
        EXPECT_NEAR(r.ink.x1, c.x1, 1e-6) << c.content;
        EXPECT_NEAR(r.ink.y1, c.y1, 1e-6) << c.content;
    }
}

// Text the interpreter measures its quick ways (a code's prepared row; a
// string or run passed over where it lies within the ink already found)
// against the plain way, over generated text: shown filled (mode 0), and
// filled into the clip (mode 4: each string measured glyph by glyph from
// the font and mapped on its own), the ink is the same to the bit; shown
// after a rectangle lying around, on or just within that ink, it gives
// exactly the union of the two.
TEST(FontProgram, GeneratedTextQuickWaysMatchThePlainWay) {
    MapSource src;
    sheetlay::pdf::value res;
    embedded_fonts(&src, &res);
    using sheetlay::content::box;
    auto ink = [&](const std::string &content) {
        auto r = sheetlay::content::content_box(reinterpret_cast<const unsigned char *>(content.data()),
                                                content.size(), &res, src, box{-1e5, -1e5, 1e5, 1e5});
        EXPECT_TRUE(r.ok) << content;
        return r.ink;
    };
    auto same = [](const box &a, const box &b) {
        return a.empty() == b.empty() &&
               (a.empty() || (a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1));
    };
    std::mt19937 rng(20261211);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto real = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    auto fmt = [](double v) {
        char b[40];
        std::snprintf(b, sizeof b, "%.6f ", v);
        return std::string(b);
    };
    // Codes the fonts draw, leave blank, cannot read, and do not know.
    const std::string alphabet = "ABCDEFGHIJKL !\x01\xff";
    auto str = [&] {
        std::string t = "<";
        for (int k = pick(7); k-- > 0;) {
            char h[4];
            std::snprintf(h, sizeof h, "%02x", static_cast<unsigned char>(alphabet[pick(static_cast<int>(alphabet.size()))]));
            t += h;
        }
        return t + ">";
    };
    for (int it = 0; it < 2000; ++it) {
        std::string state = "BT /F" + std::to_string(1 + pick(6)) + " " + fmt(pick(8) ? real(4, 30) : real(-20, 20)) + "Tf ";
        if (pick(3) == 0) state += fmt(real(-1, 2)) + "Tc " + fmt(real(-3, 3)) + "Tw ";
        if (pick(4) == 0) state += fmt(real(-120, 150)) + "Tz " + fmt(real(-5, 5)) + "Ts ";
        if (pick(4)) state += fmt(real(0.5, 3)) + "0 0 " + fmt(real(0.5, 3));
        else state += fmt(real(-2, 2)) + fmt(real(-2, 2)) + fmt(real(-2, 2)) + fmt(real(-2, 2));
        state += fmt(real(-500, 500)) + fmt(real(-500, 500)) + "Tm 11 TL ";
        std::string show;
        switch (pick(4)) {
            case 0: show = str() + " Tj"; break;
            case 1: show = str() + " '"; break;
            case 2: show = fmt(real(-2, 2)) + fmt(real(-1, 1)) + str() + " \""; break;
            default:
                show = "[";
                for (int k = 1 + pick(9); k-- > 0;) show += pick(3) ? str() + " " : fmt(real(-3000, 3000));
                show += "] TJ";
        }
        const box fast = ink(state + show + " ET"), plain = ink(state + "4 Tr " + show + " ET");
        ASSERT_TRUE(same(fast, plain)) << state << show;
        if (fast.empty()) continue;
        // A rectangle on the ink's box, each side moved out, in, or not at all.
        const double w = fast.x1 - fast.x0, h = fast.y1 - fast.y0;
        const double nudge[] = {0, 0, 1e-9, -1e-9, 1e-6, -1e-6, 0.25, -0.25};
        const double x0 = fast.x0 - nudge[pick(8)] * w, x1 = fast.x1 + nudge[pick(8)] * w;
        const double y0 = fast.y0 - nudge[pick(8)] * h, y1 = fast.y1 + nudge[pick(8)] * h;
        char rect[160];
        std::snprintf(rect, sizeof rect, "%.17g %.17g %.17g %.17g re f", x0, y0, x1 - x0, y1 - y0);
        box want = ink(rect);
        want.add(fast);
        ASSERT_TRUE(same(ink(std::string("q ") + rect + " Q " + state + show + " ET"), want)) << rect << " " << state << show;
    }
}

// GeoTopo's pages set formulas in fonts whose declared boxes reach about a
// em below the baseline; the box from the glyphs lies close around the
// rendered ink and still holds all of it.
TEST(FontProgram, CorpusPageBoxHugsTheInk) {
    REQUIRE_PDFTOPPM();
    const std::string dir = testtools::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no corpus";
    const std::string path = dir + "/GeoTopo-komprimiert.pdf";
    auto bytes = testtools::read_file(path);
    if (!bytes) GTEST_SKIP() << "no GeoTopo";
    sheetlay::doc d{};
    ASSERT_EQ(sheetlay::doc_load_mem(reinterpret_cast<const unsigned char *>(bytes->data()), bytes->size(), "g", &d), 0);
    sheetlay::doc_resolver res(&d);
    for (int page : {2, 30}) {
        auto r = sheetlay::content::page_box(&d, res, d.pages.items[page - 1], true);
        ASSERT_TRUE(r.ok);
        auto g = testtools::render_gray(path, page, 144);
        ASSERT_TRUE(g);
        // The rendered ink in points from the top-left corner (pixel edges).
        double x0 = 1e9, y0 = 1e9, x1 = -1, y1 = -1;
        for (int y = 0; y < g->h; ++y)
            for (int x = 0; x < g->w; ++x)
                if (g->at(x, y) < 255) {
                    x0 = std::min(x0, x / 2.0);
                    y0 = std::min(y0, y / 2.0);
                    x1 = std::max(x1, (x + 1) / 2.0);
                    y1 = std::max(y1, (y + 1) / 2.0);
                }
        ASSERT_GE(x1, 0);
        const double h = g->h / 2.0;  // the page's height (no /Rotate, origin 0 0)
        const double bx0 = r.ink.x0, bx1 = r.ink.x1, by0 = h - r.ink.y1, by1 = h - r.ink.y0;
        // All ink inside (half a pixel of anti-aliasing) ...
        EXPECT_LE(bx0, x0 + 0.5) << page;
        EXPECT_LE(by0, y0 + 0.5) << page;
        EXPECT_GE(bx1, x1 - 0.5) << page;
        EXPECT_GE(by1, y1 - 0.5) << page;
        // ... and each side within 6 pt of it.
        EXPECT_LE(x0 - bx0, 6) << page;
        EXPECT_LE(y0 - by0, 6) << page;
        EXPECT_LE(bx1 - x1, 6) << page;
        EXPECT_LE(by1 - y1, 6) << page;
    }
    sheetlay::doc_free(&d);
}

}  // namespace
