// Flate encoder tests: every level over a table of inputs (empty, tiny,
// incompressible, runs, page content, block and stored-block boundaries,
// skewed byte frequencies that force long Huffman codes, a few MB), each
// output decoded by zlib and by the library's own decoder; the choice of
// block kind, the frame, determinism, and the real corpus's content streams
// with sizes next to zlib's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/deflate.h"
#include "codec/inflate.h"
#include "support/tools.h"

#if SHEETLAY_HAVE_ZLIB
#include <zlib.h>

#include "support/flate_streams.h"
#endif

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng());
    return b;
}

// Page content of the kind the library writes and joins.
std::string page_content(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        s += "q 1 0 0 1 " + std::to_string(rng() % 600) + " " + std::to_string(rng() % 800) + " cm BT /F" +
             std::to_string(rng() % 3 + 1) + " 12 Tf (Hello " + std::to_string(rng() % 1000) + ") Tj ET Q\n";
        if (rng() % 4 == 0) s += "0.5 g 10 10 " + std::to_string(rng() % 300) + " 20 re f\n";
    }
    s.resize(n);
    return s;
}

// Bytes whose frequencies follow the Fibonacci numbers, shuffled: their
// optimal Huffman code is longer than 15 bits, so the lengths must be cut.
Bytes fibonacci_bytes() {
    Bytes b;
    uint32_t f0 = 1, f1 = 1;
    for (int sym = 0; sym < 26; ++sym) {
        b.insert(b.end(), f0, static_cast<unsigned char>('A' + sym));
        uint32_t f2 = f0 + f1;
        f0 = f1;
        f1 = f2;
    }
    std::shuffle(b.begin(), b.end(), std::mt19937(7));
    return b;
}

struct Input {
    const char *name;
    Bytes data;
};

std::vector<Input> inputs() {
    std::vector<Input> v;
    v.push_back({"empty", {}});
    v.push_back({"one", {'x'}});
    v.push_back({"three", from("abc")});
    v.push_back({"four-same", from("aaaa")});
    v.push_back({"nine", from("abcabcabc")});
    v.push_back({"hello", from("q 1 0 0 1 72 720 cm BT /F1 12 Tf (Hello) Tj ET Q")});
    // Repeats of 4 to 7 bytes, and one in the last bytes, where there are
    // fewer than eight to read and the chains are keyed differently.
    v.push_back({"short-repeats", from("0 0 1 rg 0 0 1 RG 1 0 0 1 cm 0 g 0 G 1 0 0 1 c")});
    {
        // Short, so fixed codes win, with literals of every fixed-code length.
        Bytes b;
        for (unsigned c = 0; c < 256; c += 7) b.push_back(static_cast<unsigned char>(c));
        v.push_back({"fixed-code-literals", std::move(b)});
    }
    v.push_back({"random-100k", random_bytes(100000, 1)});
    v.push_back({"zeros-1m", Bytes(1 << 20, 0)});
    v.push_back({"ab-runs", from(std::string(70000, 'a') + std::string(300, 'b') + std::string(5, 'a'))});
    {
        // Runs of every length, from every byte value.
        Bytes b;
        std::mt19937 rng(3);
        while (b.size() < 200000) b.insert(b.end(), rng() % 300 + 1, static_cast<unsigned char>(rng()));
        v.push_back({"varied-runs", std::move(b)});
    }
    v.push_back({"page-300k", from(page_content(300000, 4))});
    // One literal per byte: blocks end after a power-of-two number of symbols.
    for (size_t n : {16383u, 16384u, 16385u, 32768u, 32769u})
        v.push_back({"random-around-block", random_bytes(n, static_cast<unsigned>(n))});
    // Stored blocks hold at most 65535 bytes.
    for (size_t n : {65535u, 65536u, 131071u})
        v.push_back({"random-around-stored", random_bytes(n, static_cast<unsigned>(n))});
    // Matches that reach exactly 32768 bytes back, and one byte further.
    {
        Bytes b = random_bytes(40000, 9);
        std::copy(b.begin(), b.begin() + 300, b.begin() + 32768);
        std::copy(b.begin() + 1000, b.begin() + 1300, b.begin() + 1000 + 32769);
        v.push_back({"window-edge", std::move(b)});
    }
    // The same 8 bytes again and again with gaps around the window size and
    // beyond 16 bits: the chains' steps back sit at and past their limits.
    {
        Bytes b = random_bytes(400000, 10);
        const unsigned char token[8] = {'0', ' ', '0', ' ', 'm', ' ', 'S', '\n'};
        size_t at = 0;
        for (size_t gap : {1u, 7u, 8u, 32760u, 32768u, 32769u, 65535u, 65536u, 65545u, 100000u, 9u}) {
            at += gap;
            std::copy(token, token + 8, b.begin() + static_cast<long>(at));
        }
        v.push_back({"chain-steps", std::move(b)});
    }
    v.push_back({"fibonacci", fibonacci_bytes()});
    {
        // A few MB: text, an incompressible stretch, a run, text again.
        Bytes b = from(page_content(1500000, 5));
        Bytes r = random_bytes(500000, 6);
        b.insert(b.end(), r.begin(), r.end());
        b.insert(b.end(), 600000, ' ');
        Bytes t = from(page_content(800000, 7));
        b.insert(b.end(), t.begin(), t.end());
        v.push_back({"mixed-3m", std::move(b)});
    }
    return v;
}

constexpr int kLevels[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, 100};

// The library's decoder must give back exactly `want`.
void expect_own_inflate(const Bytes &z, const Bytes &want, const std::string &what) {
    Bytes out(std::max<size_t>(want.size(), 1));
    uint64_t n = 0;
    int32_t rc = sheetlay::inflate_decompress(z.data(), z.size(), out.data(), want.size(), &n);
    ASSERT_EQ(rc, 0) << what;
    ASSERT_EQ(n, want.size()) << what;
    out.resize(want.size());
    EXPECT_TRUE(out == want) << what;
}

#if SHEETLAY_HAVE_ZLIB
void expect_zlib_inflate(const Bytes &z, const Bytes &want, const std::string &what) {
    Bytes out(want.size() + 1);
    uLongf n = static_cast<uLongf>(out.size());
    ASSERT_EQ(uncompress(out.data(), &n, z.data(), static_cast<uLong>(z.size())), Z_OK) << what;
    ASSERT_EQ(n, want.size()) << what;
    out.resize(n);
    EXPECT_TRUE(out == want) << what;
}

Bytes zlib_compress(const Bytes &in, int level) {
    uLongf n = compressBound(static_cast<uLong>(in.size()));
    Bytes out(n);
    compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), level);
    out.resize(n);
    return out;
}
#endif

TEST(DeflateRoundTrip, EveryLevelEveryInput) {
    for (const Input &in : inputs()) {
        for (int level : kLevels) {
            std::string what = std::string(in.name) + " (" + std::to_string(in.data.size()) + " bytes) level " +
                               std::to_string(level);
            Bytes z = sheetlay::deflate_compress(in.data.data(), in.data.size(), level);
            // Level 0 writes stored blocks of at most 65535 bytes (5 bytes
            // of block header each), between the 2-byte header and the
            // 4-byte checksum; the other levels never write much more.
            size_t stored = in.data.size() + 5 * std::max<size_t>(1, (in.data.size() + 65534) / 65535) + 6;
            EXPECT_LE(z.size(), in.data.size() + in.data.size() / 3000 + 16) << what;
            if (level == 0) EXPECT_EQ(z.size(), stored) << what;
            expect_own_inflate(z, in.data, what);
#if SHEETLAY_HAVE_ZLIB
            expect_zlib_inflate(z, in.data, what);
#endif
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(DeflateRoundTrip, AppendsAndRepeatsItself) {
    Bytes page = from(page_content(50000, 11));
    for (int level : kLevels) {
        Bytes v = sheetlay::deflate_compress(page.data(), page.size(), level);
        EXPECT_TRUE(v == sheetlay::deflate_compress(page.data(), page.size(), level)) << level;
        std::string s = "prefix";
        sheetlay::deflate_compress_into(s, page.data(), page.size(), level);
        ASSERT_EQ(s.size(), v.size() + 6) << level;
        EXPECT_EQ(s.compare(0, 6, "prefix"), 0);
        EXPECT_TRUE(v.empty() || std::memcmp(v.data(), s.data() + 6, v.size()) == 0) << level;
    }
}

TEST(DeflateFrame, HeaderAndChecksum) {
    struct Case {
        int level;
        unsigned char flg;
    } cases[] = {{0, 0x01}, {1, 0x01}, {3, 0x5e}, {6, 0x9c}, {-1, 0x9c}, {9, 0xda}};
    Bytes data = from("BT /F1 12 Tf (Hello) Tj ET");
    for (const Case &c : cases) {
        Bytes z = sheetlay::deflate_compress(data.data(), data.size(), c.level);
        ASSERT_GE(z.size(), 7u);
        EXPECT_EQ(z[0], 0x78) << c.level;
        EXPECT_EQ(z[1], c.flg) << c.level;
        EXPECT_EQ((z[0] * 256 + z[1]) % 31, 0) << c.level;
        uint32_t a = sheetlay::deflate_adler32(1, data.data(), data.size());
        uint32_t tail = uint32_t{z[z.size() - 4]} << 24 | uint32_t{z[z.size() - 3]} << 16 |
                        uint32_t{z[z.size() - 2]} << 8 | z[z.size() - 1];
        EXPECT_EQ(tail, a) << c.level;
    }
    // The empty stream at the default level is a final fixed block holding
    // only its end code.
    Bytes empty = sheetlay::deflate_compress(nullptr, 0, 6);
    EXPECT_TRUE(empty == (Bytes{0x78, 0x9c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
}

#if SHEETLAY_HAVE_ZLIB
TEST(DeflateFrame, AdlerMatchesZlib) {
    Bytes ff(200000, 0xff);  // largest sums: the deferred reduction must not overflow
    Bytes r = random_bytes(20000, 12);
    for (size_t n : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 5535u, 5536u, 5537u, 5551u, 5552u, 5553u,
                     11072u, 11104u, 511u, 512u, 513u, 16383u, 16384u, 16385u, 16415u, 100000u, 200000u}) {
        EXPECT_EQ(sheetlay::deflate_adler32(1, ff.data(), n), adler32(1, ff.data(), static_cast<uInt>(n))) << n;
        size_t m = std::min<size_t>(n, r.size());
        EXPECT_EQ(sheetlay::deflate_adler32(1, r.data(), m), adler32(1, r.data(), static_cast<uInt>(m))) << m;
    }
    // Continuing from an earlier value.
    uint32_t a = sheetlay::deflate_adler32(1, r.data(), 777);
    EXPECT_EQ(sheetlay::deflate_adler32(a, r.data() + 777, 9000), adler32(1, r.data(), 9777));
    // Both sums at their largest value before 0xff bytes: the most a run can add to.
    for (size_t n : {16u, 31u, 512u, 5536u, 5552u, 5567u, 5569u, 16384u, 16415u, 20000u})
        EXPECT_EQ(sheetlay::deflate_adler32(0xfff0fff0u, ff.data(), n), adler32(0xfff0fff0u, ff.data(), static_cast<uInt>(n)))
            << n;
}
#endif

// The first block's kind: 0 stored, 1 fixed codes, 2 dynamic codes.
TEST(DeflateBlocks, CheapestKindIsChosen) {
    struct Case {
        const char *name;
        Bytes data;
        int level;
        int kind;
    } cases[] = {
        {"short text: a code table would cost more", from("(Hello) Tj"), 6, 1},
        {"empty", {}, 1, 1},
        {"incompressible", random_bytes(5000, 2), 6, 0},
        {"incompressible, fast level", random_bytes(5000, 2), 1, 0},
        {"page content", from(page_content(20000, 3)), 6, 2},
        {"page content, fast level", from(page_content(20000, 3)), 1, 2},
        {"level 0", from(page_content(20000, 3)), 0, 0},
    };
    for (const Case &c : cases) {
        Bytes z = sheetlay::deflate_compress(c.data.data(), c.data.size(), c.level);
        ASSERT_GE(z.size(), 3u) << c.name;
        EXPECT_EQ((z[2] >> 1) & 3, c.kind) << c.name;
    }
}

TEST(DeflateBlocks, RepetitiveDataShrinks) {
    struct Case {
        const char *name;
        Bytes data;
        int level;
        size_t at_most;
    } cases[] = {
        {"1 MB of zeros, fast", Bytes(1 << 20, 0), 1, 2000},
        {"1 MB of zeros, default", Bytes(1 << 20, 0), 6, 1200},
        {"repeated operator line", from([] {
             std::string s;
             for (int i = 0; i < 5000; ++i) s += "0 0 m 100 100 l S\n";
             return s;
         }()),
         6, 300},
    };
    for (const Case &c : cases) {
        Bytes z = sheetlay::deflate_compress(c.data.data(), c.data.size(), c.level);
        EXPECT_LE(z.size(), c.at_most) << c.name;
    }
}

// Sheets repeat whole pages' content: each repeat after the first should
// cost little more than its matches of the longest length. A repeat runs
// past the longest match, and its continuation must be found even where
// the positions inside the earlier copy never joined the chains.
TEST(DeflateBlocks, RepeatedPageCostsItsMatchesOnly) {
    const std::string one = page_content(6000, 7);
    std::string eight;
    for (int i = 0; i < 8; ++i) eight += one;
    for (int level = 1; level <= 9; ++level) {
        Bytes a = sheetlay::deflate_compress(reinterpret_cast<const unsigned char *>(one.data()), one.size(), level);
        Bytes b =
            sheetlay::deflate_compress(reinterpret_cast<const unsigned char *>(eight.data()), eight.size(), level);
        // Seven more copies of 6000 bytes: 24 matches of 258 bytes each,
        // about two and a half bytes apiece.
        EXPECT_LE(b.size(), a.size() + 7 * 24 * 5 / 2) << "level " << level;
    }
}

// The fast level's own limits: its blocks end after 128 KiB of input or
// 16384 sequences (a literal run and a match), a literal run is cut at a
// block's end, the last seven bytes are never searched, a repeat longer
// than 258 bytes goes on at the same distance, and distances reach 32768
// and no further. Each input crosses one of them; the output must decode
// (with zlib too, which rejects a distance beyond the window) and cost at
// most `extra` bytes more than the compressed `base` (the input without
// its repeat), or than the input itself when there is no base.
TEST(DeflateFast, LimitsRoundTrip) {
    auto tokens = [](size_t n, unsigned seed, unsigned letters) {
        // Eight-byte words (as long as the fast level's key or longer) split
        // by a varying byte: a match and a literal per nine bytes, more
        // sequences than a block holds.
        static const char *words[] = {"0 0 0 m ", "10 0 Tf ", "1 0 0 1 ", " re f\nQ\n", "(Hi) Tj ", "BT /F1 1"};
        std::mt19937 rng(seed);
        Bytes b;
        while (b.size() < n) {
            const char *w = words[rng() % 6];
            b.insert(b.end(), w, w + 8);
            for (unsigned k = 0; k < letters; ++k) b.push_back(static_cast<unsigned char>(rng()));
        }
        b.resize(n);
        return b;
    };
    // `base`, then its first 1000 bytes again `gap` bytes after its start.
    auto repeat_at = [](const Bytes &base, size_t gap) {
        Bytes r = base;
        r.resize(gap, 'x');
        r.insert(r.end(), base.begin(), base.begin() + 1000);
        return r;
    };
    struct Case {
        std::string name;
        Bytes data, base;
        size_t extra;
    };
    // Words between random bytes: every position is searched (no long
    // stretch without a match), and a later copy is found where it is.
    const Bytes window = tokens(32768, 23, 16), past = tokens(32769, 24, 16);
    const Bytes twice5000 = [&] {
        Bytes b = tokens(5000, 22, 16);
        Bytes r = b;
        r.insert(r.end(), b.begin(), b.end());
        return r;
    }();
    std::vector<Case> cases = {
        {"incompressible across three blocks", random_bytes(300000, 21), {}, 300},
        {"sequences overflow a block", tokens(200000, 12, 1), {}, 0},
        {"a repeat of 5000 bytes ending the input", twice5000, Bytes(twice5000.begin(), twice5000.begin() + 5000),
         100},
        {"repeat at the window's edge", repeat_at(window, 32768), window, 100},
        // One byte too far: the repeat must go out as literals.
        {"repeat one byte past the window", repeat_at(past, 32769), past, 1100},
        {"runs crossing blocks", Bytes(400000, 'a'), {}, 0},
    };
    // Every length up to 20 of a repeating operator, and of text with its
    // only repeat in the last bytes.
    for (size_t n = 1; n <= 20; ++n) {
        std::string s;
        while (s.size() < n) s += "0 0 m ";
        s.resize(n);
        cases.push_back({"repeating, " + std::to_string(n) + " bytes", from(s), {}, 11});
        std::string t = std::string("abcdefghijklmnopqrst").substr(0, n) + "abcdefgh";
        cases.push_back({"late repeat, " + std::to_string(n) + " bytes", from(t), {}, 11});
    }
    for (const Case &c : cases) {
        for (int level : {1, 6}) {
            std::string what = c.name + " level " + std::to_string(level);
            Bytes z = sheetlay::deflate_compress(c.data.data(), c.data.size(), level);
            size_t base = c.base.empty() ? c.data.size()
                                         : sheetlay::deflate_compress(c.base.data(), c.base.size(), level).size();
            if (c.extra == 0) base = c.data.size() / 2;  // compresses to half or less
            EXPECT_LE(z.size(), base + c.extra) << what;
            EXPECT_TRUE(z == sheetlay::deflate_compress(c.data.data(), c.data.size(), level)) << what;
            expect_own_inflate(z, c.data, what);
#if SHEETLAY_HAVE_ZLIB
            expect_zlib_inflate(z, c.data, what);
#endif
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

#if SHEETLAY_HAVE_ZLIB
// The fast level over every length up to 300, and around its block end at
// 128 KiB of input, of inputs that take each of its paths: a run (matches
// at distance 1 and past 258 bytes), text (short literal runs between
// matches, lengths read from one or two words or beyond), random bytes
// (misses whose growing step ends anywhere, up to the last bytes that are
// never probed) and random bytes then text (the larger step stops short of a
// match). Literals are counted as the probe passes them, so a byte that
// is written but was never counted has no code: both decoders see it.
TEST(DeflateFast, EveryLengthDecodes) {
    const Bytes text = from(page_content(140000, 31)), noise = random_bytes(140000, 32);
    Bytes mixed(noise.begin(), noise.begin() + 100);
    mixed.insert(mixed.end(), text.begin(), text.end());
    const struct {
        const char *name;
        const Bytes *src;
    } kinds[] = {{"run", nullptr}, {"text", &text}, {"random", &noise}, {"random, then text", &mixed}};
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 300; ++n) sizes.push_back(n);
    for (size_t n : {131071u, 131072u, 131073u, 131079u, 131080u}) sizes.push_back(n);
    for (const auto &k : kinds) {
        for (size_t n : sizes) {
            const Bytes in = k.src ? Bytes(k.src->begin(), k.src->begin() + static_cast<long>(n)) : Bytes(n, 'a');
            const Bytes z = sheetlay::deflate_compress(in.data(), in.size(), 1);
            const std::string what = std::string(k.name) + ", " + std::to_string(n) + " bytes";
            expect_zlib_inflate(z, in, what);
            expect_own_inflate(z, in, what);
            // Never more than stored blocks (of at most 65535 bytes, in
            // each block of 128 KiB) and the frame.
            EXPECT_LE(z.size(), n + 5 * (n / 65535 + n / 131072 + 2) + 6) << what;
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}
#endif

// The encoder keeps its tables between calls and never clears them: what
// earlier calls left, also across the wrap of their 32-bit positions, must
// never change an output. Each case runs on a thread of its own, whose
// tables start empty. A call stores positions from an offset that starts at
// 32769 and moves on by the call's length plus 32769 (at levels 2-9 only
// for a call of at least a byte). After 3000 bytes and the calls given, the
// next 3000 bytes would pass 2^32: the offset starts over and that call
// stores the very positions the first one did.
TEST(DeflateTables, OutputIgnoresEarlierCalls) {
    const Bytes x = from(page_content(3000, 5));
    const Bytes one = {'q'};
    struct Case {
        const char *name;
        int level;
        Bytes between;
        size_t calls;
    } cases[] = {
        {"the same input", 1, x, 1},
        {"other content", 1, from(page_content(70000, 6)), 3},
        {"empty inputs, just before the wrap", 1, {}, 131064},
        {"empty inputs, x at the wrap", 1, {}, 131065},
        {"empty inputs, the wrap among them", 1, {}, 131066},
        {"the same input", 6, x, 1},
        {"other content", 6, from(page_content(70000, 6)), 3},
        {"other content, level 9 between", 6, {}, 0},
        {"single bytes, just before the wrap", 6, one, 131060},
        {"single bytes, x at the wrap", 6, one, 131061},
        {"single bytes, the wrap among them", 6, one, 131062},
    };
    const Bytes other = from(page_content(20000, 7));
    for (const Case &c : cases) {
        const Bytes ref = sheetlay::deflate_compress(x.data(), x.size(), c.level);
        Bytes first, last;
        std::thread t([&] {
            first = sheetlay::deflate_compress(x.data(), x.size(), c.level);
            if (c.calls == 0) sheetlay::deflate_compress(other.data(), other.size(), 9);
            for (size_t i = 0; i < c.calls; ++i)
                sheetlay::deflate_compress(c.between.data(), c.between.size(), c.level);
            last = sheetlay::deflate_compress(x.data(), x.size(), c.level);
        });
        t.join();
        EXPECT_TRUE(first == ref) << c.name << " level " << c.level;
        EXPECT_TRUE(last == ref) << c.name << " level " << c.level;
    }
}

#if SHEETLAY_HAVE_ZLIB
// Real content streams: every level decodes to the original, and the
// default level stays close to zlib's default in size.
TEST(DeflateCorpus, ContentStreams) {
    REQUIRE_CORPUS();
    size_t streams = 0, ours6 = 0, zlib6 = 0, ours1 = 0, zlib1 = 0;
    for (const std::string &path : testtools::corpus_files()) {
        for (const std::string &s : flate_streams::from_file(path)) {
            Bytes in(s.begin(), s.end());
            ++streams;
            for (int level : {0, 1, 4, 6, 9}) {
                Bytes z = sheetlay::deflate_compress(in.data(), in.size(), level);
                std::string what = path + " stream " + std::to_string(streams) + " level " + std::to_string(level);
                expect_own_inflate(z, in, what);
                expect_zlib_inflate(z, in, what);
                if (::testing::Test::HasFatalFailure()) return;
                if (level == 6) ours6 += z.size();
                if (level == 1) ours1 += z.size();
            }
            zlib6 += zlib_compress(in, 6).size();
            zlib1 += zlib_compress(in, 1).size();
        }
    }
    if (streams == 0) GTEST_SKIP() << "no Flate streams in the corpus";
    std::printf("[ corpus ] %zu streams: level 6 %zu bytes (zlib 6: %zu), level 1 %zu bytes (zlib 1: %zu)\n",
                streams, ours6, zlib6, ours1, zlib1);
    EXPECT_LE(static_cast<double>(ours6), 1.03 * static_cast<double>(zlib6));
    // The fast level's goal: no larger than zlib's level 1 by more than 2 %,
    // over all streams and over page content alone.
    EXPECT_LE(static_cast<double>(ours1), 1.02 * static_cast<double>(zlib1));
    size_t content1 = 0, content_zlib1 = 0;
    for (const std::string &path : testtools::corpus_files())
        for (const std::string &s : flate_streams::from_file(path, true)) {
            Bytes in(s.begin(), s.end());
            content1 += sheetlay::deflate_compress(in.data(), in.size(), 1).size();
            content_zlib1 += zlib_compress(in, 1).size();
        }
    EXPECT_LE(static_cast<double>(content1), 1.02 * static_cast<double>(content_zlib1));
}
#endif

}  // namespace
