// The PDF value model: parsing (escapes, hex strings, names with #xx,
// numbers, references, damaged and cut input, the nesting limit), lookups
// through a resolver, and writing values back deterministically.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "pdf/object.h"
#include "support/map_resolver.h"

using sheetlay::pdf::kind;
using sheetlay::pdf::value;
using testtools::MapResolver;

namespace {

// Parses and writes back; "FAIL" when parsing fails.
std::string round(const std::string &in) {
    value v;
    if (!sheetlay::pdf::parse_value(in, &v)) return "FAIL";
    return sheetlay::pdf::to_text(v);
}

struct RoundCase {
    const char *in;
    const char *out;
};

TEST(Object, ParsesAndWritesBack) {
    const RoundCase cases[] = {
        // numbers
        {"42", "42"},
        {"-17", "-17"},
        {"+5", "5"},
        {"3.14159", "3.1416"},
        {"-.5", "-0.5"},
        {"5.", "5"},
        {"0.00001", "0"},
        {"-0.00001", "0"},
        {"1.50000", "1.5"},
        {"123456789012345678901234", "1000000000000000"},  // too long for an integer: a real, clamped on output
        {"-", "0"},
        {"1.2.3", "FAIL"},
        {"12abc", "FAIL"},
        // keywords
        {"true", "true"},
        {"false", "false"},
        {"null", "null"},
        {"nul", "FAIL"},
        {"endobj", "FAIL"},
        // literal strings
        {"(abc)", "(abc)"},
        {"(a(b)c)", "(a\\(b\\)c)"},
        {"(a\\)b)", "(a\\)b)"},
        {"(\\n\\r\\t\\b\\f)", "(\\n\\r\\t\\b\\f)"},
        {"(\\101\\102C)", "(ABC)"},
        {"(\\0053)", "<0533>"},  // \005 then '3'
        {"(\\7)", "<07>"},
        {"(\\q)", "(q)"},  // unknown escape: the character itself
        {"(a\\\nb)", "(ab)"},  // line continuation
        {"(a\\\r\nb)", "(ab)"},
        {"(a\r\nb)", "(a\\nb)"},  // end of line inside a string reads as \n
        {"(a\rb)", "(a\\nb)"},
        {"(\\351t\\351)", "<E974E9>"},
        {"(abc", "FAIL"},
        {"(abc\\", "FAIL"},
        // hex strings
        {"<48656C6C6F>", "(Hello)"},
        {"<48 65\n6c 6C 6f>", "(Hello)"},
        {"<414>", "(A@)"},  // odd count: last digit padded with 0
        {"<>", "()"},
        {"<4G>", "FAIL"},
        {"<4142", "FAIL"},
        // names
        {"/Name", "/Name"},
        {"/A#20B", "/A#20B"},
        {"/A#2", "/A#232"},   // not an escape: '#' kept, written back escaped
        {"/#41#42", "/AB"},
        {"/", "/"},
        {"/a#28b", "/a#28b"},  // '(' is a delimiter: escaped on output
        {"/F1#", "/F1#23"},
        // arrays and dictionaries
        {"[1 2 3]", "[1 2 3]"},
        {"[]", "[]"},
        {"[1[2[3]]]", "[1 [2 [3]]]"},
        {"[/a/b(c)<64>]", "[/a /b (c) (d)]"},
        {"<< /A 1 /B [2 3] >>", "<< /A 1 /B [2 3] >>"},
        {"<</A 1/B 2/A 3>>", "<< /A 1 /B 2 >>"},  // a repeated key keeps its first value
        {"<< /Z 1 /A 2 /M 3 >>", "<< /Z 1 /A 2 /M 3 >>"},  // file order kept
        {"<< /A >>", "<< >>"},  // key without value dropped
        {"<<>>", "<< >>"},
        {"<< 1 2 >>", "FAIL"},
        {"<< /A 1 > >", "FAIL"},
        {"[1 2", "FAIL"},
        {"<< /A [1 2 >>", "FAIL"},
        {"]", "FAIL"},
        {"{", "FAIL"},
        // references
        {"12 0 R", "12 0 R"},
        {"[1 0 R 2 5 R 3]", "[1 0 R 2 5 R 3]"},
        {"[1 2 R3]", "FAIL"},       // "R3" is no R
        {"[1 2 3 R]", "[1 2 3 R]"}, // the last two make the reference
        {"-1 0 R", "-1"},           // a signed number never starts a reference
        {"1 -0 R", "1"},
        {"99999999999 0 R", "99999999999"},
        {"<< /P 3 0 R /K [4 0 R] >>", "<< /P 3 0 R /K [4 0 R] >>"},
        // comments and white space
        {"  % a comment\n 7", "7"},
        {"[1 % one\n 2]", "[1 2]"},
        {"\t\f 8", "8"},
        {"", "FAIL"},
    };
    for (const auto &c : cases) EXPECT_EQ(round(c.in), c.out) << "input: " << c.in;
}

TEST(Object, ParseStopsAfterTheValue) {
    const std::string text = "<< /A (x) >> 7 0 obj";
    value v;
    int32_t end = -1;
    ASSERT_TRUE(sheetlay::pdf::parse_value(reinterpret_cast<const unsigned char *>(text.data()),
                                           static_cast<int32_t>(text.size()), 0, &v, &end));
    EXPECT_EQ(end, 12);
    ASSERT_TRUE(v.is_dict());
    ASSERT_NE(v.get("A"), nullptr);
    EXPECT_EQ(v.get("A")->s, "x");
    // From an offset, and a reference read right up to the end of the range.
    const std::string r = "xx 5 0 R";
    ASSERT_TRUE(sheetlay::pdf::parse_value(reinterpret_cast<const unsigned char *>(r.data()),
                                           static_cast<int32_t>(r.size()), 3, &v, &end));
    EXPECT_EQ(v.k, kind::ref);
    EXPECT_EQ(v.i, 5);
    EXPECT_EQ(end, 8);
}

TEST(Object, NeverReadsPastTheRange) {
    // The range ends inside each of these; a byte past it would complete the
    // value. The buffer is exactly the range, so AddressSanitizer sees a read past it.
    const char *cut[] = {"(abc", "<41", "<< /A 1", "[1 2", "/Na", "12", "1 0", "tru"};
    for (const char *c : cut) {
        std::string s(c);
        auto buf = std::make_unique<unsigned char[]>(s.size());
        std::copy(s.begin(), s.end(), buf.get());
        value v;
        bool ok = sheetlay::pdf::parse_value(buf.get(), static_cast<int32_t>(s.size()), 0, &v, nullptr);
        std::string expect_ok = s == "/Na" || s == "12" || s == "1 0" ? "ok" : "fail";
        EXPECT_EQ(ok ? "ok" : "fail", expect_ok) << c;
    }
}

TEST(Object, NestingLimit) {
    auto nest = [](int depth, const char *open, const char *close) {
        std::string s;
        for (int k = 0; k < depth; ++k) s += open;
        s += "1";
        for (int k = 0; k < depth; ++k) s += close;
        return s;
    };
    value v;
    EXPECT_TRUE(sheetlay::pdf::parse_value(nest(256, "[", "]"), &v));
    EXPECT_FALSE(sheetlay::pdf::parse_value(nest(257, "[", "]"), &v));
    EXPECT_TRUE(v.is_null());
    EXPECT_TRUE(sheetlay::pdf::parse_value(nest(256, "<</K ", ">>"), &v));
    EXPECT_FALSE(sheetlay::pdf::parse_value(nest(257, "<</K ", ">>"), &v));
    // A million open brackets fail quickly instead of exhausting the stack.
    EXPECT_FALSE(sheetlay::pdf::parse_value(std::string(1000000, '['), &v));
}

TEST(Object, LargeInputsStayLinear) {
    // 100000 keys, half of them repeated, and an array of 100000 small
    // integers that each look ahead for a reference.
    std::string d = "<<";
    for (int k = 0; k < 100000; ++k) d += " /K" + std::to_string(k % 50000) + " " + std::to_string(k);
    d += " >>";
    value v;
    ASSERT_TRUE(sheetlay::pdf::parse_value(d, &v));
    EXPECT_EQ(v.size(), 50000u);
    EXPECT_EQ(v.get("K5")->i, 5);
    std::string a = "[";
    for (int k = 0; k < 100000; ++k) a += "1 ";
    a += "]";
    ASSERT_TRUE(sheetlay::pdf::parse_value(a, &v));
    EXPECT_EQ(v.size(), 100000u);
}

// Around the size where repeated keys stop being looked up one by one, a
// repeat still keeps the first value; containers nested inside others come
// out whole and in order.
TEST(Object, RepeatedKeysAndNesting) {
    for (int n : {1, 31, 32, 33, 34, 40}) {
        std::string d = "<<";
        for (int k = 0; k < n; ++k) d += " /K" + std::to_string(k) + " " + std::to_string(k);
        d += " /K0 -1 /K" + std::to_string(n - 1) + " -2 >>";
        value v;
        ASSERT_TRUE(sheetlay::pdf::parse_value(d, &v)) << n;
        EXPECT_EQ(v.size(), static_cast<size_t>(n)) << n;
        EXPECT_EQ(v.get("K0")->i, 0) << n;
        EXPECT_EQ(v.get("K" + std::to_string(n - 1))->i, n - 1) << n;
    }
    value v;
    ASSERT_TRUE(sheetlay::pdf::parse_value("<< /A << /X 1 /Y [2 [3 4] << /Z 5 >>] >> /B [6 << /W 7 >> 8] /C 9 >>", &v));
    ASSERT_EQ(v.size(), 3u);
    const value *y = v.get("A")->get("Y");
    ASSERT_EQ(y->size(), 3u);
    EXPECT_EQ(y->at(1)->at(1)->i, 4);
    EXPECT_EQ(y->at(2)->get("Z")->i, 5);
    EXPECT_EQ(v.get("B")->at(1)->get("W")->i, 7);
    EXPECT_EQ(v.get("B")->at(2)->i, 8);
    EXPECT_EQ(v.get("C")->i, 9);
}

TEST(Object, NumberRule) {
    const std::pair<double, const char *> cases[] = {
        {0, "0"},         {-0.0, "0"},     {1, "1"},          {-1.5, "-1.5"},
        {0.12345, "0.1235"}, {2.00004, "2"}, {2.00005, "2.0001"}, {1e20, "1000000000000000"},
        {-1e20, "-1000000000000000"}, {123456789.125, "123456789.125"}, {0.1 + 0.2, "0.3"},
        {std::numeric_limits<double>::quiet_NaN(), "0"},
        {std::numeric_limits<double>::infinity(), "1000000000000000"},
    };
    for (const auto &c : cases) {
        std::string s;
        sheetlay::pdf::append_number(&s, c.first);
        EXPECT_EQ(s, c.second) << c.first;
    }
}

TEST(Object, WritesStringsNamesAndMappedReferences) {
    std::string s;
    sheetlay::pdf::append_literal_string(&s, std::string("a(b)c\\\n\xE9", 8));
    EXPECT_EQ(s, "(a\\(b\\)c\\\\\\012\\351)");
    s.clear();
    sheetlay::pdf::append_name(&s, "A B#/\x80");
    EXPECT_EQ(s, "/A#20B#23#2F#80");

    value v;
    ASSERT_TRUE(sheetlay::pdf::parse_value("<< /Font << /F1 7 0 R /F2 8 0 R /F3 9 0 R >> >>", &v));
    auto map = [](int32_t num, int32_t) { return num == 9 ? 0 : num * 10; };
    EXPECT_EQ(sheetlay::pdf::to_text(v, map), "<< /Font << /F1 70 0 R /F2 80 0 R /F3 null >> >>");
    // Same value, same bytes; and the written text parses back to the same text.
    value again;
    ASSERT_TRUE(sheetlay::pdf::parse_value(sheetlay::pdf::to_text(v), &again));
    EXPECT_EQ(sheetlay::pdf::to_text(again), sheetlay::pdf::to_text(v));
}

TEST(Object, BuildersAndLookups) {
    value d = value::make_dict();
    d.set("Type", value::make_name("Font"));
    d.set("Size", value::make_real(10.5));
    d.set("Type", value::make_name("XObject"));  // replaces
    value &arr = d.set("Kids", value::make_array());
    arr.push(value::make_ref(3));
    arr.push(value::make_string("x"));
    EXPECT_EQ(sheetlay::pdf::to_text(d), "<< /Type /XObject /Size 10.5 /Kids [3 0 R (x)] >>");
    EXPECT_TRUE(d.get("Type")->is_name("XObject"));
    EXPECT_EQ(d.get("Size")->num_or(0), 10.5);
    EXPECT_EQ(d.get("Nope"), nullptr);
    EXPECT_EQ(d.get("Kids")->at(5), nullptr);
    EXPECT_EQ(d.get("Size")->get("X"), nullptr);  // not a dictionary
    EXPECT_EQ(d.get("Type")->num_or(-1), -1);
}

TEST(Object, ResolverFollowsChainsWithALimit) {
    MapResolver r;
    r.text[1] = "<< /Next 2 0 R /Loop 3 0 R >>";
    r.text[2] = "4 0 R";
    r.text[3] = "3 0 R";  // refers to itself
    r.text[4] = "(end)";
    const value *root = r.get(1);
    ASSERT_NE(root, nullptr);
    const value *next = sheetlay::pdf::get_resolved(root, "Next", &r);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->s, "end");
    EXPECT_EQ(sheetlay::pdf::get_resolved(root, "Loop", &r), nullptr);
    EXPECT_EQ(sheetlay::pdf::get_resolved(root, "Missing", &r), nullptr);
    value ref = value::make_ref(1);
    EXPECT_EQ(sheetlay::pdf::resolve(&ref, nullptr), nullptr);  // no resolver: unresolved
    EXPECT_EQ(sheetlay::pdf::resolve(&ref, &r), root);
    value ref99 = value::make_ref(99);
    EXPECT_EQ(sheetlay::pdf::resolve(&ref99, &r), nullptr);
}

}  // namespace
