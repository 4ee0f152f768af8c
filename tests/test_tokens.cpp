// The content tokeniser's numbers and the literal-string decoder it shares
// with the value parser: numbers as digit-by-digit sums (signs, one point,
// digits past what a table holds, damage), and strings read alike by both
// readers (escapes, nesting, ends of line, strings that never close).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "content/tokens.h"
#include "nup/fontmetrics.h"
#include "pdf/literal.h"
#include "pdf/load.h"
#include "pdf/object.h"
#include "pdf/stream.h"
#include "support/token_ref.h"
#include "support/tools.h"

namespace {

using sheetlay::content::operand;
using sheetlay::content::token_reader;

// The operands before the first operator of `text`.
std::vector<operand> operands(const std::string &text) {
    int64_t work = 1000;
    token_reader rd(reinterpret_cast<const unsigned char *>(text.data()), text.size(), 64, &work);
    std::vector<operand> out;
    if (rd.next()) out.assign(rd.ops().begin(), rd.ops().begin() + static_cast<std::ptrdiff_t>(rd.count()));
    return out;
}

TEST(ContentTokens, Numbers) {
    struct Case {
        std::string text;
        std::vector<double> want;
    };
    const std::string long_fraction = "0." + std::string(30, '0') + "1 x";
    const std::string long_int = std::string(25, '9') + " x";
    const Case cases[] = {
        {"1 -2 +3 x", {1, -2, 3}},
        {"0.5 .25 -.75 5. x", {0.5, 0.25, -0.75, 5}},
        {"--2 +-3 -+-4 x", {2, -3, 4}},
        {"1.2.3 x", {1.2, 0.3}},  // one point per number
        {"12.3456789012345678901234567 x", {12.3456789012345678901234567}},
        {long_fraction, {1e-31}},
        {long_int, {1e25}},
        {"00017.50 x", {17.5}},
        {"-abc 3 x", {3}},  // a damaged keyword: passed over
        {"1%comment\n2 x", {1, 2}},
        {std::string("1\0" "2\f3 x", 7), {1, 2, 3}},  // NUL and form feed are white space
    };
    for (const Case &c : cases) {
        std::vector<operand> got = operands(c.text);
        ASSERT_EQ(got.size(), c.want.size()) << c.text;
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].kind, operand::number) << c.text;
            EXPECT_NEAR(got[k].num, c.want[k], std::fabs(c.want[k]) * 1e-12) << c.text << " #" << k;
        }
    }
}

// Numbers must come out as the very doubles of the digit-by-digit sum
// (boxes, and so output bytes, depend on them), whether the word-at-a-time
// path or the byte-by-byte one reads them: each form alone in a buffer of
// its own size (so it ends at the buffer's end), then with text after it,
// and inside a TJ array.
TEST(ContentTokens, NumbersExactWhereverTheyEnd) {
    auto running_sum = [](const std::string &s) {
        size_t p = s.find_first_not_of("+-");
        double v = 0, scale = 0.1;
        for (; p < s.size() && s[p] != '.'; ++p) v = v * 10 + (s[p] - '0');
        for (++p; p < s.size(); ++p, scale /= 10) v += (s[p] - '0') * scale;
        return s[0] == '-' ? -v : v;
    };
    const std::string forms[] = {"-.5", "+3.", "00012", "0", "7.", ".1234567", "1234567", "12345678", "1234567.1",
                                 "-0.000001", "3.14159265", "99999999.99999999", "0.1234567890123456789012345678",
                                 std::string(40, '9'), "+.0"};
    for (const std::string &f : forms) {
        for (const std::string &text : {f, f + " x", f + "\n", "[" + f + "]TJ", "  " + f + "Tz"}) {
            std::vector<unsigned char> buf(text.begin(), text.end());  // no byte past the text
            int64_t work = 1000;
            token_reader rd(buf.data(), buf.size(), 64, &work);
            EXPECT_EQ(rd.next(), text.size() > f.size() + 1) << text;  // the operator after it, whole
            ASSERT_EQ(rd.count(), 1u) << text;
            const operand &o = rd.arg(0);
            EXPECT_EQ(o.kind == operand::number ? o.num : o.v.items.at(0).r, running_sum(f)) << text;
        }
    }
    // Bytes next to a number that the word-at-a-time reading must not take
    // for digits or points, and names and operators against delimiters.
    const std::string text = "1/2 0:3 4. 5..6 -7-8 /A#20B[9]TJ(s)Tj<41>Tj 12345678901234567890 Q";
    std::vector<unsigned char> buf(text.begin(), text.end());
    int64_t work = 1000;
    token_reader rd(buf.data(), buf.size(), 64, &work);
    std::vector<std::string> got;
    while (rd.next()) {
        for (const operand &o : rd.ops()) {
            if (&o - rd.ops().data() >= static_cast<std::ptrdiff_t>(rd.count())) break;
            if (o.kind == operand::number) got.push_back(std::to_string(o.num));
            else if (o.kind == operand::text_name) got.push_back("/" + o.name);
            else got.push_back(o.v.is_array() ? "[]" : "(" + o.v.s + ")");
        }
        got.push_back(rd.op());
    }
    EXPECT_EQ(got, (std::vector<std::string>{"1.000000", "/2", "0.000000", ":3", "4.000000", "5.000000", "0.600000",
                                             "-7.000000", "-8.000000", "/A B", "[]", "TJ", "(s)", "Tj", "(A)", "Tj",
                                             "12345678901234569216.000000", "Q"}));
}

TEST(ContentTokens, OperatorsAndBounds) {
    // Operators are told apart by up to three bytes; longer ones read as "?".
    int64_t work = 1000;
    const std::string text = "q 1 0 0 1 5 5 cm BDC EMCX T* Q";
    token_reader rd(reinterpret_cast<const unsigned char *>(text.data()), text.size(), 64, &work);
    std::vector<std::string> ops;
    while (rd.next()) ops.push_back(rd.op());
    EXPECT_EQ(ops, (std::vector<std::string>{"q", "cm", "BDC", "?", "T*", "Q"}));
    // More operands than the bound, or more tokens than the work allows: stop.
    std::string many;
    for (int k = 0; k < 100; ++k) many += "1 ";
    work = 1000;
    token_reader a(reinterpret_cast<const unsigned char *>(many.data()), many.size(), 64, &work);
    EXPECT_THROW(a.next(), sheetlay::content::stop);
    work = 10;
    token_reader b(reinterpret_cast<const unsigned char *>(many.data()), many.size(), 1000, &work);
    EXPECT_THROW(b.next(), sheetlay::content::stop);
}

TEST(LiteralStrings, OneDecoderForValuesAndContent) {
    struct Case {
        std::string text;  // from its '('
        bool closes;
        std::string want;
        size_t end;  // where reading stops when it closes
    };
    const Case cases[] = {
        {"(plain) rest", true, "plain", 7},
        {"(a(b)c)", true, "a(b)c", 7},
        {"(a\\)b)", true, "a)b", 6},
        {"(\\n\\r\\t\\b\\f\\\\)", true, "\n\r\t\b\f\\", 14},
        {"(\\053\\0533\\7)", true, "++3\x07", 13},
        {"(\\400)", true, std::string(1, '\0'), 6},  // high bits past a byte dropped
        {"(a\\\r\nb\\\nc)", true, "abc", 10},         // escaped ends of line vanish
        {"(a\r\nb\rc\nd)", true, "a\nb\nc\nd", 10},  // ends of line read as LF
        {"(\\q)", true, "q", 4},                       // unknown escape: the character
        {"()", true, "", 2},
        {"(never closes", false, "", 0},
        {"(a(b)", false, "", 0},
        {"(ends in \\", false, "", 0},
    };
    for (const Case &c : cases) {
        const auto *t = reinterpret_cast<const unsigned char *>(c.text.data());
        std::string got = "stale";
        size_t pos = 0;
        ASSERT_EQ(sheetlay::pdf::decode_literal(t, c.text.size(), &pos, &got), c.closes) << c.text;
        sheetlay::pdf::value v;
        int32_t end = 0;
        const bool parsed = sheetlay::pdf::parse_value(t, static_cast<int32_t>(c.text.size()), 0, &v, &end);
        // The content tokeniser reads strings through the same decoder.
        const std::string content = c.text + " Tj";
        std::vector<operand> ops;
        bool stopped = false;
        try {
            ops = operands(content);
        } catch (const sheetlay::content::stop &) {
            stopped = true;
        }
        if (!c.closes) {
            EXPECT_EQ(pos, 0u) << c.text;
            EXPECT_FALSE(parsed) << c.text;
            EXPECT_TRUE(stopped) << c.text;
            continue;
        }
        EXPECT_EQ(got, c.want) << c.text;
        EXPECT_EQ(pos, c.end) << c.text;
        ASSERT_TRUE(parsed && v.is_string()) << c.text;
        EXPECT_EQ(v.s, c.want) << c.text;
        EXPECT_EQ(end, static_cast<int32_t>(c.end)) << c.text;
        ASSERT_FALSE(stopped) << c.text;
        ASSERT_FALSE(ops.empty()) << c.text;
        EXPECT_EQ(ops[0].v.s, c.want) << c.text;
    }
}

// The tokeniser's fast paths against the plain reading (support/token_ref.h),
// each text in a buffer exactly its own size (a read past it is caught by
// the sanitizers): every token form after 0 to 8 spaces (every place in an
// eight-byte word) with each tail, cut at every length; generated streams
// of all forms, cut at every length, also with tight operand and work
// bounds; and every stream of every corpus file.
bool same_tokens(const std::string &text, int32_t max_ops = 64, int64_t work = 1 << 20) {
    std::vector<unsigned char> buf(text.begin(), text.end());
    const std::string fast = testtools::fast_tokens(buf.data(), buf.size(), max_ops, work);
    const std::string ref = testtools::ref_tokens(buf.data(), buf.size(), max_ops, work);
    EXPECT_EQ(fast, ref) << "text: " << text;
    return fast == ref;
}

TEST(ContentTokens, SameAsPlainReading) {
    const std::string forms[] = {
        "0", "1", "-300", "28", "0.98", "711.961", "-.5", ".", "-", "--5", "+-3", "1.2.3", "5.", "00017.50",
        "1234567", "12345678", "1234567.1", "0.1234567", "0.123456", "3.14159265", std::string(30, '9'),
        "0." + std::string(30, '0') + "1", "-abc", ".x", "Tj", "TJ", "T*", "BDC", "EMCX", "true", "false", "null",
        "q", "'", "/F1", "/A#20B", "/", "/#", "(a)", "()", "(a(b)c)", "(a\\)b)", "(x\r\ny)", "(\\053)", "(abc",
        "(0123456789abcdefghij)", "<41>", "<4 1 >", "<4>", "<4g>", "<<", "<< /A 1 >>", ">>", "[(a)-300(b)]",
        "[1 2 3]", "[/A]", "[", "]", "{", ")", "%c\n", std::string("\0\x80\xff\xba", 4), "9:", "1/2", "0:3",
        "1e5", "[<41>1.5(x)]", "[(a]", "[1.]", "[.5x]", "[-]", "[- 1]", "[ 0.5 ]"};
    const std::string tails[] = {"", " ", "x", " Tj", "12345678", "\n(s)"};
    for (const std::string &f : forms)
        for (int pre = 0; pre <= 8; ++pre)
            for (const std::string &tail : tails) {
                const std::string text = std::string(static_cast<size_t>(pre), ' ') + f + tail;
                for (size_t cut = 1; cut <= text.size(); ++cut)
                    if (!same_tokens(text.substr(0, cut))) return;
            }
    const std::string seps[] = {" ", "\n", "", "\r\n", "\t"};
    std::mt19937 rng(7);
    for (int k = 0; k < 300; ++k) {
        std::string text;
        for (size_t n = rng() % 30; n > 0; --n) text += forms[rng() % std::size(forms)] + seps[rng() % std::size(seps)];
        for (size_t cut = 0; cut <= text.size(); ++cut)
            if (!same_tokens(text.substr(0, cut))) return;
        if (!same_tokens(text, 3, 1 << 20) || !same_tokens(text, 64, static_cast<int64_t>(rng() % 20))) return;
    }
}

TEST(ContentTokens, CorpusStreamsSameAsPlainReading) {
    if (::testtools::corpus_dir().empty()) GTEST_SKIP() << "SHEETLAY_CORPUS_DIR not set";
    for (const std::string &f : ::testtools::corpus_files()) {
        SCOPED_TRACE(f);
        sheetlay::doc d{};
        if (sheetlay::doc_load(f.c_str(), &d, sheetlay::load_options{}) != 0) continue;
        for (int32_t i = 0; i < d.objs.count; ++i) {
            const sheetlay::obj_entry *e = &d.objs.items[i];
            if (!e->is_stream) continue;
            sheetlay::buf b{};
            int32_t len = 0;
            sheetlay::stream_filter sf{};
            const unsigned char *p = sheetlay::doc_stream(&d, e, true, &b, &len, &sf);
            const bool ok = !p || same_tokens(std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(len)));
            sheetlay::buf_free(&b);
            if (!ok) break;
        }
        sheetlay::doc_free(&d);
    }
}

TEST(FontMetrics, WinAnsiGlyphNames) {
    const std::pair<const char *, int> cases[] = {
        {"space", 32}, {"A", 65}, {"z", 122}, {"asciitilde", 126}, {"Euro", 128}, {"bullet", 149},
        {"Ydieresis", 159}, {"exclamdown", 161}, {"registered", 174}, {"germandbls", 223}, {"ydieresis", 255},
        {"hyphen", 45}, {"fi", 0}, {"nosuch", 0}, {"", 0}, {"a ", 0},
    };
    for (auto &[name, code] : cases) EXPECT_EQ(sheetlay::nup::winansi_from_glyph_name(name), code) << name;
}

}  // namespace
