// Carried object text made valid: the repair rules one by one, and each
// through the options interface's output judged by qpdf, while the
// fixed-grid functions keep carrying the text as it stands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "nup/repair.h"
#include "nup/scan.h"
#include "sheetlay.h"
#include "support/pdfgen.h"
#include "support/tools.h"

namespace {

std::string repaired(const std::string &in) {
    std::string out = "untouched";
    bool changed = sheetlay::nup::repair_text(reinterpret_cast<const unsigned char *>(in.data()),
                                              static_cast<int32_t>(in.size()), &out);
    return changed ? out : in;
}

bool changes(const std::string &in) {
    std::string out;
    return sheetlay::nup::repair_text(reinterpret_cast<const unsigned char *>(in.data()),
                                      static_cast<int32_t>(in.size()), &out);
}

TEST(Repair, ValidTextIsNeverTouched) {
    const char *valid[] = {
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "[1 0 R 2 0 R (a(b)c) <0a1B> /A#20B -3.5 +.5 4. true false null]",
        "<< /D [3 0 R /XYZ 0 792 null] /S /GoTo >>\n",
        "% a comment\n<< /A [<< /B (x\\)) >>] >> % after\n",
        "12",
        "<<>>",
        "  (unbalanced \\( escaped)  ",
    };
    for (const char *v : valid) EXPECT_FALSE(changes(v)) << v;
}

TEST(Repair, EachRuleGivesValidSyntax) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        // A '#' that starts no escape keeps its byte, escaped itself.
        {"<< /A#zz 1 /B# 2 /C#4 3 /D#41 4 >>", "<< /A#23zz 1 /B#23 2 /C#234 3 /D#41 4 >>"},
        // Keys that are no names are left out, whatever they are.
        {"<< /A 1 2 /B 3 >>", "<< /A 1   /B 3 >>"},
        {"<< (k) /V /W 1 >>", "<<   /V /W   >>"},
        {"<< [1 2] /A 1 >>", "<<   /A 1 >>"},
        {"<< 4 0 R /A 1 >>", "<<   /A 1 >>"},
        // Words that are no object become null where a value stands...
        {"[1 foo R }]", "[1 null null  null ]"},
        {"<< /B)foo >>", "<< /B null   >>"},
        {"[7 R\xc9" "3]", "[7 null]"},  // "R" that does not end its token
        {"<< /A bar /B 1.2.3 >>", "<< /A null /B null >>"},
        // ...and are left out where a key stands.
        {"<< /A 1 junk >>", "<< /A 1   >>"},
        // A repeated key goes with its value: the first one counts.
        {"<< /A 1 /B [2] /A [3 (x)] /#41 4 /C 5 >>", "<< /A 1 /B [2]     /C 5 >>"},
        {"<< /D << /A 1 >> /A 2 /D 3 >>", "<< /D << /A 1 >> /A 2   >>"},
        {"<< /A 1 /A >>", "<< /A 1  >>"},
        // Hex strings keep their hex digits only.
        {"<0a zz 1B>", "<0a    1B>"},
        {"<0a1", "<0a1>"},
        // Brackets: stray closers go, inner ones close before outer ones,
        // whatever is still open is closed at the end.
        {"[1 2]]", "[1 2] "},
        {"<< /A [1 2 >>", "<< /A [1 2 ]>>"},
        {"[1 << /A 2 ]", "[1 << /A 2 >>]"},
        {"<< /A >>", "<< /A  null >>"},
        {"<< /A/B/C>>", "<< /A/B/C null >>"},
        {"<< /K [1 2", "<< /K [1 2]>>"},
        {"<< /K (open", "<< /K (open)>>"},
        {"<< /K (open\\", "<< /K (open\\\\)>>"},
        {"<< /A 1 % cut", "<< /A 1 % cut\n>>"},
        {"<< /A", "<< /A null >>"},
        // One value per object; nothing is null.
        {"<< /A 1 >> 5 0 obj << /B 2 >>", "<< /A 1 >>  "},
        {"", "null"},
        {" ]", "  null"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(repaired(c.in), c.out) << c.in;
        // A repair is final: repairing its result changes nothing.
        EXPECT_FALSE(changes(repaired(c.in))) << c.in;
    }
}

TEST(Repair, DeepNestingIsLeftToTheCaller) {
    std::string deep(300, '[');
    std::string out;
    EXPECT_FALSE(sheetlay::nup::repair_text(reinterpret_cast<const unsigned char *>(deep.data()),
                                            static_cast<int32_t>(deep.size()), &out, 256));
}

// The closure's one scan of a carried text: the references scan_refs finds,
// and "clean" only for text that repair_text and closers leave alone, over
// valid and damaged texts and every one-byte change or cut of them.
TEST(Repair, CleanScanAgreesWithScanRefsRepairAndClosers) {
    using namespace sheetlay::nup;
    struct Case {
        const char *text;
        bool clean;
    } cases[] = {
        {"<< /Type /Font /W [1 0 R 2 0 R] /D << /A 3 0 R >> /N null >>\n", true},
        {"[1 0 R (a(b)c) <0a 1B> -3.5 +.5 4. true false 12 0\r\nR]", true},
        {"% c\n<</A 1 0 R/B<</A 2>>/C[/A/A]>>  % after", true},
        {"7 0 R", true},
        {"<< /A 1 /A 2 >>", false},        // a repeated key
        {"[1 0 R.5 2 0 R]", false},        // an "R" that runs on
        {"[12R 1 R 4294967296 0 R]", false},
        {"<< /A#41 1 >>", false},
        {"<0a zz>", false},
        {"<< /K [1 2", false},
        {"(open", false},
        {"<< /A 1 >> 5 0 obj", false},
        {"[{} >]", false},
        {"<< /A >>", false},
        {"", false},
    };
    auto check = [](const std::string &t) {
        const unsigned char *u = reinterpret_cast<const unsigned char *>(t.data());
        const int32_t n = static_cast<int32_t>(t.size());
        std::vector<ref_at> want;
        bool want_ok = scan_refs(u, n, [&](int32_t a, int32_t b, int64_t num) {
            want.push_back(ref_at{a, b, static_cast<int32_t>(num)});
        });
        array<ref_at> got;
        bool clean = true;
        EXPECT_EQ(scan_carried(u, n, got, &clean), want_ok) << t;
        EXPECT_EQ(got.size(), want.size()) << t;
        for (size_t k = 0; k < got.size() && k < want.size(); ++k)
            EXPECT_TRUE(got[k].at == want[k].at && got[k].end == want[k].end && got[k].num == want[k].num)
                << t << " #" << k;
        std::string out;
        if (clean) EXPECT_TRUE(!repair_text(u, n, &out) && closers(u, n).empty()) << t;
        return clean;
    };
    const char subst[] = " ]>)(R0/%#<[";
    for (const Case &c : cases) {
        const std::string t = c.text;
        EXPECT_EQ(check(t), c.clean) << t;
        for (size_t i = 0; i < t.size(); ++i) {
            check(t.substr(0, i));
            check(t.substr(0, i) + t.substr(i + 1));
            for (char b : subst) check(t.substr(0, i) + std::string(1, b) + t.substr(i + 1));
        }
    }
}

// The closure's scan reads names, digits and white space a word at a time
// and finds repeated keys by hash: over texts that stress each of those
// (and every one-byte change or cut of them, each in a buffer of its exact
// size, so that a read past the end is caught by the sanitizers) it must
// give what the byte-by-byte scan it replaced gave, whose results over the
// same inputs are pinned by one digest.
TEST(Repair, CarriedScanMatchesTheByteWalk) {
    using namespace sheetlay::nup;
    auto many_keys = [](int n, const char *more) {
        std::string t = "<<";
        for (int k = 0; k < n; ++k) t += " /Key" + std::to_string(k) + " " + std::to_string(k);
        return t + more + " >>";
    };
    struct Case {
        std::string text;
        bool clean;
        size_t refs;
    } cases[] = {
        {"<< /Name#20s 1 0 R /N 2 0 R >>", false, 2},
        {"<< /Type /Font /Subtype /Type1 /Type /Font >>", false, 0},
        {"<< /LongKeyNumberOne 1 /LongKeyNumberTwo << /LongKeyNumberOne 2 >> >>", true, 0},
        {many_keys(512, ""), true, 0},
        {many_keys(513, ""), false, 0},
        {many_keys(40, " /Key17 3 0 R"), false, 1},
        {many_keys(40, " /S << /Key3 1 /Key3 2 >>"), false, 0},
        {many_keys(20, " /S << /Key3 1 >> /Key20 2"), true, 0},
        {std::string(256, '[') + "1 0 R" + std::string(256, ']'), true, 1},
        {std::string(257, '[') + "1 0 R", false, 0},
        {"[1 0 R.5 2 0 R_ 3 0 Rx 4 0 R]", false, 3},
        {"[<0a 1B\n> <0a zz> 5 0 R]", false, 1},
        {"[(a\\) 1 0 R) (b(c)d) 6 0 R", false, 1},
        {"(cut short\\", false, 0},
        {"% c 1 0 R\n<< /A % 2 0 R\n 3 0 R >> % 4 0 R", true, 1},
        {"[.5 5. -.5 +5 -0.25 0.50195 7 1 0 R]", true, 1},
        {"[1.2.3 - . +. --1]", false, 0},
        {"[2147483647 0 R 2147483648 0 R 99999999999999999999 0 R 12 R]", true, 4},
        {"<</A/B/C[/D]/E<<>>/F()/G<>/H true/I null/J 0 0 R>>", true, 1},
        {"\x80\xff<< /\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89 1 0 R >>", false, 1},
    };
    uint64_t digest = 1469598103934665603ull;
    auto fold = [&digest](int64_t v) { digest = (digest ^ static_cast<uint64_t>(v)) * 1099511628211ull; };
    auto scan = [&](const std::string &s) {
        std::vector<unsigned char> t(s.begin(), s.end());
        array<ref_at> refs;
        bool clean = false;
        const bool ok = scan_carried(t.data(), static_cast<int32_t>(t.size()), refs, &clean);
        fold(ok * 2 + (ok && clean));
        for (size_t k = 0; k < refs.size(); ++k) {
            fold(refs[k].at);
            fold(refs[k].end);
            fold(refs[k].num);
        }
        return std::pair<bool, size_t>(ok && clean, refs.size());
    };
    const char subst[] = " ]>)(R0/%#<[.-\n";
    for (const Case &c : cases) {
        EXPECT_EQ(scan(c.text), std::make_pair(c.clean, c.refs)) << c.text.substr(0, 80);
        const size_t step = c.text.size() > 200 ? 7 : 1;
        for (size_t i = 0; i < c.text.size(); i += step) {
            scan(c.text.substr(0, i));
            scan(c.text.substr(0, i) + c.text.substr(i + 1));
            for (size_t b = 0; b + 1 < sizeof subst; ++b)
                scan(c.text.substr(0, i) + subst[b] + c.text.substr(i + 1));
        }
    }
    EXPECT_EQ(digest, 12101859063377884829ull);
}

// scan_carried passes arrays of numbers 64 bytes at most at a time, as bit
// masks; it must agree with the plain token walk (result, clean flag and
// references) on every input. Each piece below is put at every place of
// that window after valid numbers, every text is also cut at each length,
// and each lies in a buffer of its exact size at a shifted start (the
// sanitizers catch a read past either end); random mixes and the corpus's
// object texts add the rest.
TEST(Repair, CarriedScanBlocksMatchThePlainWalk) {
    using namespace sheetlay::nup;
    size_t compared = 0;
    auto same = [&compared](const std::string &s, size_t shift) {
        std::vector<unsigned char> buf(shift + s.size());
        std::copy(s.begin(), s.end(), buf.begin() + static_cast<std::ptrdiff_t>(shift));
        const unsigned char *t = buf.data() + shift;
        const auto len = static_cast<int32_t>(s.size());
        array<ref_at> fast, plain;
        bool fast_clean = false, plain_clean = false;
        const bool fast_ok = scan_carried(t, len, fast, &fast_clean);
        const bool plain_ok = scan_carried_plain(t, len, plain, &plain_clean);
        ++compared;
        bool agree = fast_ok == plain_ok && (!fast_ok || fast_clean == plain_clean) && fast.size() == plain.size();
        for (size_t k = 0; agree && k < fast.size(); ++k)
            agree = fast[k].at == plain[k].at && fast[k].end == plain[k].end && fast[k].num == plain[k].num;
        return agree;
    };
    const std::vector<std::string> pieces = {
        "0", "17", "-3.5", ".5", "5.", "-.5", "+2", "12345678901234567890", "1 0 R", "7 R", "1 0 Rx",
        "-", "+", ".", "1.2.3", "--1", "5-3", "1+", "-.", "9:", "/", "R", "x", "true", "/N", "/N#20", "(a)",
        "(", "<0a>", "<", "[1]", "[", "<<>>", "%c\n", "\t", "\f", std::string(1, '\0'), "\x80", "]",
    };
    const std::string numbers = "1 2.5 -3 .75 +4 0 1 ";
    for (int pad = 0; pad <= 68; ++pad) {
        std::string fill;
        while (fill.size() < static_cast<size_t>(pad)) fill += numbers;
        fill.resize(static_cast<size_t>(pad));
        for (const std::string &piece : pieces) {
            for (const char *sep : {" ", "\n", ""}) {
                const std::string text = "<< /A [" + fill + sep + piece + " ] /B [ 1 ] >>";
                for (size_t cut = 0; cut <= text.size(); ++cut)
                    ASSERT_TRUE(same(text.substr(0, cut), cut % 3)) << text.substr(0, cut);
            }
        }
    }
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    const char *seps[] = {" ", "", "\n", "  ", "\r\n"};
    for (int k = 0; k < 20000; ++k) {
        std::string text = next(2) ? "[" : "<< /K [";
        while (text.size() < 200) text += pieces[next(static_cast<uint32_t>(pieces.size()))] + seps[next(5)];
        text.resize(next(201));
        ASSERT_TRUE(same(text, next(4))) << text;
    }
    for (const std::string &path : testtools::corpus_files()) {
        const auto file = testtools::read_file(path);
        if (!file) continue;
        for (size_t at = file->find(" obj"); at != std::string::npos; at = file->find(" obj", at + 1)) {
            const size_t end = file->find("endobj", at);
            if (end == std::string::npos) break;
            ASSERT_TRUE(same(file->substr(at + 4, std::min<size_t>(end - at - 4, 1 << 16)), 0)) << path << " @" << at;
        }
    }
    EXPECT_GT(compared, 300000u);
}

// ---------------------------------------------------------------------------
// Through the output

// One page whose resources reach object 5, written as `body`.
std::string page_with(const std::string &body) {
    pdfgen::PdfBuilder b;
    b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.add(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.add(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R"
             " /Resources << /ExtGState << /G0 5 0 R >> >> >>");
    b.add_stream(4, "", "/G0 gs 0 0 1 rg 10 10 80 80 re f");
    b.add(5, body);
    return b.finish("/Root 1 0 R");
}

std::string nup_mem(const std::string &input, int32_t compress) {
    sheetlay_options o;
    sheetlay_options_init(&o);
    o.compress = compress;
    void *out = nullptr;
    size_t n = 0;
    char err[256] = {0};
    if (!sheetlay_nup_mem(input.data(), input.size(), &out, &n, &o, err, sizeof err)) {
        ADD_FAILURE() << err;
        return "";
    }
    std::string s(static_cast<const char *>(out), n);
    sheetlay_free(out);
    return s;
}

TEST(RepairOutput, OptionsOutputIsCleanUnderQpdfFixedGridKeepsTheText) {
    REQUIRE_QPDF();
    struct Case {
        const char *body, *mark;
    } cases[] = {
        {"<< /Type /ExtGState /CA 1 /Stray#Name true >>", "/Stray#Name"},
        {"<< /Type /ExtGState 7 /CA 1 >>", "ExtGState 7 /CA"},  // a key that is no name
        {"<< /Type /ExtGState /CA 1 /BM unknownword >>", "unknownword"},
        {"<< /Type /ExtGState /CA 1 /D [[3] 0", "/D [[3] 0"},  // unbalanced, cut
    };
    for (const Case &c : cases) {
        const char *body = c.body;
        std::string in = page_with(body);
        for (int32_t compress : {SHEETLAY_COMPRESS_COMPACT, SHEETLAY_COMPRESS_NONE}) {
            std::string out = nup_mem(in, compress);
            ASSERT_FALSE(out.empty()) << body;
            std::string path = testtools::write_temp(out, "repair");
            testtools::QpdfResult q = testtools::qpdf_check(path);
            EXPECT_EQ(q.status, 0) << body << " compress " << compress << "\n" << q.out;
            testtools::remove_file(path);
        }
        // The fixed-grid functions carry the object's text as it stands.
        std::string in_path = testtools::write_temp(in, "repair-in");
        std::string out_path = testtools::tmp_path("repair-out");
        ASSERT_EQ(sheetlay_create(in_path.c_str(), out_path.c_str(), 2, 0), 1);
        std::string classic = testtools::read_file(out_path).value_or("");
        EXPECT_NE(classic.find(c.mark), std::string::npos) << body;
        testtools::remove_file(in_path);
        testtools::remove_file(out_path);
    }
}

}  // namespace
