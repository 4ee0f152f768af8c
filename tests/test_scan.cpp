// The reader's containers and byte-scanning primitives: the token rules that
// every later stage of loading depends on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "pdf/bytescan.h"
#include "pdf/dictwalk.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "support/pdfgen.h"

using namespace sheetlay;

namespace {

const unsigned char *U(const std::string &s) {
    return reinterpret_cast<const unsigned char *>(s.data());
}
int32_t L(const std::string &s) { return static_cast<int32_t>(s.size()); }

// A member entry over `text`: its dictionary range is the whole text.
obj_entry member(const std::string &text) {
    obj_entry e{};
    e.num = 1;
    e.hdr_pos = e.dict_pos = e.stream_pos = e.data_start = e.data_end = e.endobj_pos = -1;
    e.in_objstm = 1;
    e.text = U(text);
    e.text_len = L(text);
    return e;
}

// ---------------------------------------------------------------------------
// Character classes and white space

TEST(ScanChars, PdfWhiteSpaceIsExactlySixBytes) {
    std::string ws;
    for (int c = 0; c < 256; ++c)
        if (is_pdf_ws(static_cast<unsigned char>(c))) ws.push_back(static_cast<char>(c));
    EXPECT_EQ(ws, std::string("\0\t\n\f\r ", 6));
}

TEST(ScanChars, AlnumIsAsciiOnly) {
    int n = 0;
    for (int c = 0; c < 256; ++c) n += is_alnum(static_cast<unsigned char>(c));
    EXPECT_EQ(n, 62);
    EXPECT_FALSE(is_alnum(0xE9));
    EXPECT_FALSE(is_alnum('_'));
}

TEST(ScanChars, SkipWs) {
    const std::string t("\0 \t\x0b x", 6);
    EXPECT_EQ(skip_ws(U(t), 0, L(t)), 3);  // vertical tab is no PDF white space
    EXPECT_EQ(skip_ws(U(t), 0, 2), 2);     // all white space up to end
    EXPECT_EQ(skip_ws(U(t), 9, 6), 9);     // at or past end: unchanged
}

// ---------------------------------------------------------------------------
// Keywords and names

TEST(ScanKeywords, FindKw) {
    struct Case {
        std::string text;
        int32_t start;
        const char *kw;
        int32_t want;
    } cases[] = {
        {"startxref 123", 0, "xref", -1},
        {"startxref\nxref", 0, "xref", 10},
        {"5obj 6 0 obj", 0, "obj", 9},
        {"endobj", 0, "obj", -1},
        {"objx obj", 0, "obj", 5},
        {"xx obj", -5, "obj", 3},  // negative start counts as 0
        {"obj obj", 1, "obj", 4},
        {"obj", 0, "obj", 0},
        {"ob", 0, "obj", -1},
        {"", 0, "obj", -1},
        {"/stream(x)stream", 0, "stream", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(find_kw(U(c.text), L(c.text), c.start, c.kw), c.want) << c.text;
}

// find_kw looks for a keyword by its rarest letter, not its first: it must
// still give the first whole-word occurrence at or after the start, as a
// byte-by-byte scan does, also where occurrences overlap, stand at either
// end of the text or where the length cuts one off.
TEST(ScanKeywords, FindKwMatchesBytewiseScan) {
    auto bytewise = [](const std::string &t, int32_t len, int32_t start, const char *kw) {
        for (int32_t i = std::max(start, 0); i + static_cast<int32_t>(std::strlen(kw)) <= len; ++i)
            if (kw_at(U(t), i, len, kw)) return i;
        return -1;
    };
    const char *kws[] = {"obj", "endobj", "endstream", "stream", "xref", "startxref", "trailer", "R"};
    std::vector<std::string> texts = {
        "endobj",         "xendobj endobj", "endendobj endobjendobj",  "stream\nendstream\nendobj",
        "jjj obj",        "1 0 obj<<>>endobj", "startxref\n12\n%%EOF", "(endobj) endstreamx endstream",
        "mmmm endstrea",  "trailer<</Root 1 0 R>>", "objobj obj", "xrefxref xref",
    };
    // Texts from a small alphabet, seeded: many near misses and overlaps.
    std::mt19937 rng(22);
    const std::string alpha = "endobjstrmaxfilR \n";
    for (int k = 0; k < 300; ++k) {
        std::string t;
        for (int n = static_cast<int>(rng() % 40); n > 0; --n) t += alpha[rng() % alpha.size()];
        texts.push_back(t);
    }
    for (const std::string &t : texts)
        for (const char *kw : kws)
            for (int32_t len : {L(t), std::max(0, L(t) - 2)})
                for (int32_t start = -1; start <= len; ++start)
                    ASSERT_EQ(find_kw(U(t), len, start, kw), bytewise(t, len, start, kw))
                        << '"' << t << "\" len " << len << " start " << start << " kw " << kw;
}

// The block searches against byte-by-byte ones, for hits at every place of
// texts long enough for every step size, in buffers of exactly their length
// (so that a read past the end shows under the address checker).
TEST(ScanChars, BlockSearchesMatchBytewiseOnes) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        const size_t n = rng() % 300;
        std::vector<unsigned char> buf(n);
        // Mostly filler, a few of the bytes looked for.
        for (unsigned char &c : buf) c = "....../aP<(j"[rng() % (rng() % 4 ? 6 : 12)];
        const unsigned char *b = buf.data(), *e = b + n;
        for (size_t from = 0; from <= n; from += 1 + rng() % 7) {
            const unsigned char *p = b + from;
            const unsigned char *one = p;
            while (one < e && *one != '<' && *one != '(' && *one != 'P') ++one;
            ASSERT_EQ((first_of<'<', '(', 'P'>(p, e)), one) << round << ' ' << from;
            const unsigned char *pair = nullptr, *either = e;
            for (const unsigned char *q = p; q + 1 < e && !pair; ++q)
                if (q[0] == '/' && (q[1] == 'a' || q[1] == 'P')) pair = q;
            for (const unsigned char *q = p; q < e; ++q)
                if (*q == '<' || *q == '(' || (*q == '/' && q + 1 < e && q[1] == 'P')) {
                    either = q;
                    break;
                }
            ASSERT_EQ((first_pair<'/', 'a', 'P'>(p, e)), pair) << round << ' ' << from;
            ASSERT_EQ((first_of_or_pair<'/', '<', '('>(p, e, 'P')), either) << round << ' ' << from;
            std::vector<size_t> want, got;
            for (const unsigned char *q = p; q < e; ++q)
                if (*q == 'j') want.push_back(static_cast<size_t>(q - b));
            each_byte(p, e, 'j', [&](const unsigned char *q) { got.push_back(static_cast<size_t>(q - b)); });
            ASSERT_EQ(got, want) << round << ' ' << from;
            want.clear();
            got.clear();
            for (const unsigned char *q = p; q + 1 < e; ++q)
                if (q[0] == 'P' && q[1] == 'j') want.push_back(static_cast<size_t>(q - b));
            each_pair(p, e, 'P', 'j', [&](const unsigned char *q) { got.push_back(static_cast<size_t>(q - b)); });
            ASSERT_EQ(got, want) << round << ' ' << from;
            const unsigned char *last = nullptr;
            for (const unsigned char *q = p; q < e; ++q)
                if (*q == 'j') last = q;
            ASSERT_EQ(last_of<'j'>(p, e), last) << round << ' ' << from;
        }
    }
}

TEST(ScanKeywords, KwAt) {
    const std::string t = "5obj a obj objs";
    EXPECT_EQ(kw_at(U(t), 1, L(t), "obj"), 0);   // digit before
    EXPECT_EQ(kw_at(U(t), 7, L(t), "obj"), 1);
    EXPECT_EQ(kw_at(U(t), 11, L(t), "obj"), 0);  // letter after
    EXPECT_EQ(kw_at(U(t), -1, L(t), "obj"), 0);
    EXPECT_EQ(kw_at(U(t), 13, L(t), "obj"), 0);  // does not fit
    // Ending exactly at the length: the byte after it is not looked at.
    const std::string u = "objX";
    EXPECT_EQ(kw_at(U(u), 0, 3, "obj"), 1);
}

TEST(ScanNames, FindName) {
    struct Case {
        std::string text;
        const char *name;
        int32_t limit;
        int32_t want;
    } cases[] = {
        {"/Length1 10 /Length 20", "Length", 99, 12},
        {"/Type/Page", "Type", 99, 0},
        {"/Length+2", "Length", 99, -1},
        {"/Length-2", "Length", 99, -1},
        {"/Length_2", "Length", 99, -1},
        {"/Length#20", "Length", 99, 0},
        {"/Length[5]", "Length", 99, 0},
        {"/LengthX", "Length", 7, 0},  // the limit ends the name
        {"/Length", "Length", 6, -1},  // does not fit before the limit
        {"x/Length", "Length", 99, 1},  // the byte before the slash is not examined
    };
    for (const Case &c : cases)
        EXPECT_EQ(find_name(U(c.text), L(c.text), 0, c.limit, c.name), c.want) << c.text;
}

TEST(ScanNames, FindNameTop) {
    struct Case {
        std::string text;
        int32_t want;
    } cases[] = {
        {"<< /A << /Type /X >> /Type /Page >>", 21},
        {"<< /T (/Type) >>", -1},
        {"<< /T (a\\) /Type) /Type /P >>", 18},  // an escaped ")" does not end the string
        {"<< /T (a (b) /Type) /Type /P >>", 20},  // nested parentheses
        {"<< % /Type\n>>", -1},
        {"<< % c\n/Type /Page >>", 7},
        {"<< % c", -1},                     // comment runs to the end
        {"<< /A </Type> >>", -1},           // inside a hex string
        {"<< /A <00", -1},                  // hex string never closed
        {">> >> /Type", 6},                 // depth never below 0
        {"<< /A (x", -1},                   // string never closed
        {"<< /A 1 <", -1},                  // "<" as the last byte
        {"<< /A 1 >", -1},                  // ">" as the last byte
        {"<< /A > /Type 1 >>", 8},          // a lone ">" is passed over
        {"<< /Types 1 /Type 2 >>", 12},
    };
    for (const Case &c : cases)
        EXPECT_EQ(find_name_top(U(c.text), L(c.text), 0, L(c.text), "Type"), c.want) << c.text;
    const std::string t = "<< /Type /Page >>";
    EXPECT_EQ(find_name_top(U(t), L(t), L(t), L(t), "Type"), -1);
    EXPECT_EQ(find_name_top(U(t), L(t), 0, 8, "Type"), 3);
    EXPECT_EQ(find_name_top(U(t), L(t), 0, 7, "Type"), -1);
}

// ---------------------------------------------------------------------------
// Dictionaries

TEST(ScanDicts, ObjType) {
    struct Case {
        std::string text;
        int want;
    } cases[] = {
        {"<< /Type /Page /Parent 3 0 R >>", 1},
        {"<</Type/Pages/Kids[4 0 R]>>", 2},
        {"<< /Type /PageLabel >>", 0},
        {"<< /Type /PageLabel /Type /Page >>", 0},  // decided at once
        {"<< /A 1 >>", 0},
        {"<< /Type /Annot /Type /Page >>", 1},
        {"<< /Type /Page>>", 1},
        {"<< /Type /Page_x >>", 1},
        {"<< /Type /Pagesx >>", 0},
        {"<< /Type /Pages+ >>", 2},
        {"<< /A << /Type /Page >> >>", 0},   // nested: not this object's type
        {"<< /Type /Page", 1},               // ends the range
        {"<< /Type /Pages", 2},
        {"<< /Type /Pag", 0},
        {"<< /Type (x) /Type 5 /Type /Page >>", 1},
        {"<< /Type /", 0},
    };
    for (const Case &c : cases) {
        obj_entry e = member(c.text);
        EXPECT_EQ(obj_type(nullptr, 0, &e), c.want) << c.text;
    }
}

TEST(ScanDicts, ObjTypeOfFileObjects) {
    // A stream's dictionary range ends at "stream": its data is not read.
    const std::string f = "1 0 obj << /Length 11 >> stream\n/Type /Page\nendstream endobj";
    obj_entry e{};
    e.num = 1;
    e.hdr_pos = 0;
    e.dict_pos = 8;
    e.stream_pos = static_cast<int32_t>(f.find("stream"));
    e.endobj_pos = static_cast<int32_t>(f.find("endobj"));
    e.is_stream = 1;
    EXPECT_EQ(obj_type(U(f), L(f), &e), 0);
    e.stream_pos = -1;  // read as far as endobj
    EXPECT_EQ(obj_type(U(f), L(f), &e), 1);
    e.dict_pos = -1;  // no dictionary at all
    EXPECT_EQ(obj_type(U(f), L(f), &e), 0);
}

TEST(ScanDicts, DictTextAt) {
    struct Case {
        std::string text;
        const char *want;  // null: no dictionary
    } cases[] = {
        {"<< /A << /B 1 >> /C (x>>) >> rest", "<< /A << /B 1 >> /C (x>>) >>"},
        {"<< /T (a)>> tail", "<< /T (a)>>"},
        {"<< /H <ab>> /X 1 >>", "<< /H <ab>>"},  // hex strings are not known
        {"<< /A 1", nullptr},
        {"< /A 1 >", nullptr},
        {"<< /A (>>", nullptr},
        {"<", nullptr},
    };
    for (const Case &c : cases) {
        char *got = dict_text_at(U(c.text), L(c.text), 0);
        if (!c.want) {
            EXPECT_EQ(got, nullptr) << c.text;
        } else {
            ASSERT_NE(got, nullptr) << c.text;
            EXPECT_STREQ(got, c.want);
        }
        std::free(got);
    }
    const std::string t = "x << /A 1 >>";
    char *got = dict_text_at(U(t), L(t), 2);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, "<< /A 1 >>");
    std::free(got);
    EXPECT_EQ(dict_text_at(U(t), L(t), -1), nullptr);
    EXPECT_EQ(dict_text_at(U(t), 11, 2), nullptr);  // the closing pair must lie inside
}

TEST(ScanDicts, DictStreamKw) {
    struct Case {
        std::string text;
        int32_t want;
    } cases[] = {
        {"<< /Length 5 >>\r\nstream", 17},
        {"<< /A 1 >>stream", 10},
        {"<< /A 1 >> endobj", -1},
        {"<< /A 1 >>streamx", -1},
        {"<< /A (>>) >> stream", 14},
        {"<< /A << /B 1 >> >> stream", 20},
        {">> << >> stream", -1},  // closed before it opened
        {">> << << >> stream", -1},  // and stays unclosed, whatever follows
        {"<x >> << >> stream", -1},
        {"<x << >> stream", 9},
        {"<< /A 1 >", -1},
        {"<< /A (", -1},
        {"<< /A (x", -1},
        {"<< /A 1 >> ", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(dict_stream_kw(U(c.text), L(c.text), 0), c.want) << c.text;
    EXPECT_EQ(dict_stream_kw(U(cases[0].text), L(cases[0].text), -1), -1);
}

// The walker used while loading must answer exactly as dict_stream_kw, for
// any text and any set of starting places.
TEST(ScanDicts, WalkerAgreesWithDictStreamKw) {
    std::mt19937 rng(12345);
    const std::string pieces[] = {"<<", ">>", "<", ">", "(", ")", "\\", " ", "\n", "x",
                                  "stream", " stream", "/A 1", "((", "))",
                                  // Runs the walk passes eight bytes at a time, and bytes
                                  // one bit away from '<', '>' and '('.
                                  "/Key 12345678 0 R", "=?;\xbc\xbe\xa8*\x3d)"};
    for (int round = 0; round < 2000; ++round) {
        std::string t;
        int n = 1 + static_cast<int>(rng() % 60);
        for (int k = 0; k < n; ++k) t += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        std::vector<int32_t> starts;
        for (int32_t i = 0; i < L(t); ++i)
            if (t[static_cast<size_t>(i)] == '<' || rng() % 8 == 0) starts.push_back(i);
        if (starts.empty()) continue;
        // Plain walks only, remembered walks only, and a budget that runs
        // out part way.
        for (int64_t budget : {int64_t{-1}, int64_t{0}, static_cast<int64_t>(rng() % 64)}) {
            std::vector<int32_t> got(starts.size());
            dict_stream_kw_many(U(t), L(t), starts.data(), static_cast<int32_t>(starts.size()), got.data(),
                                budget);
            for (size_t k = 0; k < starts.size(); ++k)
                ASSERT_EQ(got[k], dict_stream_kw(U(t), L(t), starts[k]))
                    << "text '" << t << "' from " << starts[k] << ", budget " << budget;
        }
    }
}

// ---------------------------------------------------------------------------
// Literal strings

// The one string skipper both sides use: the end of a closed string, or the
// end of the text for an open one, with what the open one lacks (the writer
// closes carried bodies with it). A stale report from an earlier call must
// not survive.
TEST(ScanStrings, SkipLiteralEndAndWhatAnOpenStringLacks) {
    struct Case {
        const char *text;
        int32_t limit;  // -1: the whole text
        int32_t end;
        int32_t depth;
        bool half_escape;
    };
    const Case cases[] = {
        {"(abc) x", -1, 5, 0, false},
        {"(a(b)c) x", -1, 7, 0, false},
        {"(a\\)b) x", -1, 6, 0, false},  // an escaped ")" does not close
        {"(a\\\\)b", -1, 5, 0, false},   // an escaped backslash, then ")" closes
        {"(a\\(b)", -1, 6, 0, false},    // an escaped "(" does not open
        {"(a(b", -1, 4, 2, false},
        {"(ab\\", -1, 4, 1, true},      // ends on a lone backslash
        {"(", -1, 1, 1, false},
        {"(abc)", 3, 3, 1, false},  // never reads at or past the limit
        {"(a\\)", 3, 3, 1, true},     // the escaped byte lies past the limit
    };
    for (const Case &c : cases) {
        const std::string t = c.text;
        const int32_t len = c.limit < 0 ? L(t) : c.limit;
        open_literal open;
        open.depth = 99;
        open.half_escape = !c.half_escape;
        EXPECT_EQ(skip_literal(U(t), 0, len, &open), c.end) << t;
        EXPECT_EQ(open.depth, c.depth) << t;
        EXPECT_EQ(open.half_escape, c.half_escape) << t;
        EXPECT_EQ(skip_literal(U(t), 0, len), c.end) << t;
    }
}

// The readers built on it treat an open string as damage: no name after
// it is seen, no dictionary around it closes.
TEST(ScanStrings, OpenStringStopsTheReaders) {
    const std::string t = "<< /A (x( >> /Type /Page >> stream";
    EXPECT_EQ(find_name_top(U(t), L(t), 0, L(t), "Type"), -1);
    EXPECT_EQ(dict_text_at(U(t), L(t), 0), nullptr);
    EXPECT_EQ(dict_stream_kw(U(t), L(t), 0), -1);
    const std::string closed = "<< /A (x()) >> /Type /Page >> stream";
    EXPECT_EQ(dict_stream_kw(U(closed), L(closed), 0), -1);  // ">>" before "/Type" closes it
    const std::string sound = "<< /A (x(\\))) /Type /Page >> stream";
    EXPECT_EQ(find_name_top(U(sound), L(sound), 0, L(sound), "Type"), 14);
    EXPECT_EQ(dict_stream_kw(U(sound), L(sound), 0), 29);
}

// ---------------------------------------------------------------------------
// Integers

TEST(ScanInts, ParseIntAt) {
    struct Case {
        std::string text;
        int32_t cursor;
        int32_t want, cursor_after;
    } cases[] = {
        {"  -12 0 R", 0, -12, 5},
        {"+5", 0, -1, 0},
        {"abc", 0, -1, 0},
        {"4294967297", 0, 1, 10},  // kept modulo 2^32
        {"2147483648", 0, INT32_MIN, 10},
        {"-", 0, -1, 0},
        {"- 5", 0, -1, 0},
        {"   ", 0, -1, 0},
        {"007x", 0, 7, 3},
        {"12", 2, -1, 2},
        {"12", -1, -1, -1},
        {"1 2", 1, 2, 3},
    };
    for (const Case &c : cases) {
        int32_t cur = c.cursor;
        EXPECT_EQ(parse_int_at(U(c.text), L(c.text), &cur), c.want) << c.text;
        EXPECT_EQ(cur, c.cursor_after) << c.text;
    }
}

TEST(ScanInts, ReadIntAdv) {
    struct Case {
        std::string text;
        int32_t cursor;
        int32_t want, cursor_after;
    } cases[] = {
        {"R", 0, -1, 0},
        {"x7", 0, -1, 1},
        {" x7", 0, -1, 2},
        {"+7", 0, 7, 2},
        {"-7 ", 0, -7, 2},
        {"-", 0, -1, 1},
        {"+R", 0, -1, 1},
        {"   ", 0, -1, 3},
        {"12", 0, 12, 2},
        {"12", 2, -1, 2},
        {"4294967298", 0, 2, 10},
    };
    for (const Case &c : cases) {
        int32_t cur = c.cursor;
        EXPECT_EQ(read_int_adv(U(c.text), L(c.text), &cur), c.want) << c.text;
        EXPECT_EQ(cur, c.cursor_after) << c.text;
    }
}

TEST(ScanInts, ParseLength) {
    struct Case {
        std::string text;
        int32_t limit;  // -1: the whole text
        int32_t direct, ref;
    } cases[] = {
        {"/Length 12 0 R", -1, -1, 12},
        {"/Length\n12\n0\nR", -1, -1, 12},
        {"/Length 12 R", -1, -1, 12},
        {"/Length 300/Filter", -1, 300, -1},
        {"/Length -1 /Length 7", -1, 7, -1},
        {"/Length 12 0 Rx", -1, 12, -1},
        {"/Length 12 0 R/F", -1, -1, 12},
        {"/Length /X", -1, -1, -1},
        {"/Length /X /Length 4", -1, 4, -1},
        {"/Length [5]", -1, 5, -1},
        {"/Length[5]", -1, 5, -1},  // the "[" is the name's delimiter
        {"/Length [/A 7 -2]", -1, 7, -1},
        {"/Length [ ] /Length 9", -1, 9, -1},
        {"/Length1 3 /Length 4", -1, 4, -1},
        {"/Length 5", 8, -1, -1},  // the limit comes first: stop
        {"/Length 12345", 9, 12345, -1},  // the number itself is read past limit
        {"", -1, -1, -1},
    };
    for (const Case &c : cases) {
        int32_t d = 99, r = 99;
        parse_length(U(c.text), L(c.text), 0, c.limit < 0 ? L(c.text) : c.limit, &d, &r);
        EXPECT_EQ(d, c.direct) << c.text;
        EXPECT_EQ(r, c.ref) << c.text;
    }
}

// Damaged dictionaries that repeat a name many times must not make the
// readers read the rest of the dictionary once per occurrence.
TEST(ScanInts, ParseLengthRepeatedArraysStayLinear) {
    std::string t;
    for (int i = 0; i < 200000; ++i) t += "/Length [ ";
    int32_t d, r;
    parse_length(U(t), L(t), 0, L(t), &d, &r);
    EXPECT_EQ(d, -1);
    EXPECT_EQ(r, -1);
    t += "] /Length [3]";
    parse_length(U(t), L(t), 0, L(t), &d, &r);
    EXPECT_EQ(d, 3);
}

// ---------------------------------------------------------------------------
// Containers

// The index is a view: loading fills it from the document's storage, the
// output side's tests build it by hand without a table by number.
TEST(Containers, ObjvecFindWithAndWithoutTable) {
    std::vector<obj_entry> items;
    obj_entry e{};
    for (int i = 1; i <= 129; ++i) {
        e.num = i;
        items.push_back(e);
    }
    // Without a table: the first entry with the number.
    e.num = 5;
    items.push_back(e);
    objvec v{items.data(), static_cast<int32_t>(items.size()), nullptr, 0};
    EXPECT_EQ(objvec_find(&v, 5), &items[4]);
    EXPECT_EQ(objvec_find(&v, 129), &items[128]);
    EXPECT_EQ(objvec_find(&v, 0), nullptr);
    EXPECT_EQ(objvec_find(&v, 999), nullptr);
    // With a table: what it says, and nothing outside it.
    std::vector<int32_t> by_num(131, -1);
    by_num[5] = 129;
    by_num[7] = 6;
    v.by_num = by_num.data();
    v.by_num_len = static_cast<int32_t>(by_num.size());
    EXPECT_EQ(objvec_find(&v, 5), &items[129]);
    EXPECT_EQ(objvec_find(&v, 7), &items[6]);
    EXPECT_EQ(objvec_find(&v, 8), nullptr);  // in the list, not in the table
    EXPECT_EQ(objvec_find(&v, -1), nullptr);
    EXPECT_EQ(objvec_find(&v, 131), nullptr);
}

// A loaded document's views point into its own storage, and stay valid
// when the record is moved.
TEST(Containers, DocViewsFollowTheStorage) {
    const std::string pdf = pdfgen::make_pages(65);
    doc d{};
    ASSERT_EQ(doc_load_mem(U(pdf), pdf.size(), "in.pdf", &d), 0) << g_err;
    ASSERT_EQ(d.pages.count, 65);
    EXPECT_EQ(d.pages.items, d.page_store.data());
    EXPECT_EQ(d.objs.items, d.obj_store.data());
    EXPECT_EQ(d.objs.count, static_cast<int32_t>(d.obj_store.size()));
    EXPECT_EQ(d.objs.by_num, d.num_index.data());
    EXPECT_EQ(d.objs.by_num_len, d.max_num + 1);
    EXPECT_EQ(d.data, d.file.get());
    const pageinfo *first = d.pages.items;
    doc moved = std::move(d);
    EXPECT_EQ(moved.pages.items, first);
    EXPECT_EQ(moved.pages.items, moved.page_store.data());
    EXPECT_EQ(objvec_find(&moved.objs, moved.pages.items[64].num)->num, moved.pages.items[64].num);
    doc_free(&moved);
}

TEST(Containers, BufReserve) {
    buf b{};
    buf_reserve(&b, 10);
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.cap, 1048576u);
    EXPECT_EQ(b.len, 0u);
    b.len = 1000;
    buf_reserve(&b, 1048576 - 1000 - 1);  // len + n + 1 == cap: no growth
    EXPECT_EQ(b.cap, 1048576u);
    buf_reserve(&b, 1048576 - 1000);  // one more: doubled
    EXPECT_EQ(b.cap, 2097152u);
    buf_reserve(&b, 5000000);  // doubled until it fits
    EXPECT_EQ(b.cap, 8388608u);
    buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
}

TEST(Containers, BufStrAndAppend) {
    buf b{};
    buf_str(&b, "");
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.data[0], 0);
    buf_str(&b, "ab");
    buf_append(&b, "\0c", 2);
    EXPECT_EQ(b.len, 4u);
    EXPECT_EQ(std::memcmp(b.data, "ab\0c", 5), 0);  // terminated after the data
    buf_free(&b);
}

TEST(Containers, RangeOrder) {
    rng a{5, 9}, b{5, 100}, c{6, 0};
    EXPECT_EQ(sx_rng_cmp(&a, &b), 0);
    EXPECT_EQ(sx_rng_cmp(&a, &c), -1);
    EXPECT_EQ(sx_rng_cmp(&c, &a), 1);
}

TEST(Containers, DocFreeTwice) {
    doc d{};
    d.file.reset(new unsigned char[4]);
    d.data = d.file.get();
    d.len = 4;
    d.root = 3;
    d.catalog = 3;
    d.obj_store.push_back(obj_entry{});
    d.num_index.assign(2, 0);
    doc_publish_objects(&d);
    d.page_store.push_back(pageinfo{});
    d.pages = pagevec{d.page_store.data(), 1};
    d.ar.emplace_back(new unsigned char[10]);
    d.max_num = 1;
    // Released, and as a new record; a second release does no harm.
    for (int round = 0; round < 2; ++round) {
        doc_free(&d);
        EXPECT_EQ(d.data, nullptr);
        EXPECT_TRUE(d.file == nullptr);
        EXPECT_EQ(d.len, 0);
        EXPECT_EQ(d.root, 0);
        EXPECT_EQ(d.catalog, 0);
        EXPECT_EQ(d.encrypted, 0);
        EXPECT_EQ(d.max_num, 0);
        EXPECT_EQ(d.objs.items, nullptr);
        EXPECT_EQ(d.objs.count, 0);
        EXPECT_EQ(d.objs.by_num, nullptr);
        EXPECT_EQ(d.objs.by_num_len, 0);
        EXPECT_EQ(d.pages.items, nullptr);
        EXPECT_EQ(d.pages.count, 0);
        EXPECT_TRUE(d.ar.empty());
        EXPECT_TRUE(d.obj_store.empty());
        EXPECT_TRUE(d.num_index.empty());
        EXPECT_TRUE(d.page_store.empty());
    }
}

}  // namespace
