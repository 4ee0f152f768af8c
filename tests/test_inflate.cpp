// Flate decoder tests: round trips against zlib, hand-made streams for every
// kind of damage and shortage, and a differential run against a bit-at-a-time
// decoder over thousands of damaged streams.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/inflate.h"

#if SHEETLAY_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

struct Result {
    int32_t ret;
    uint64_t len;
    Bytes out;  // the whole output area after the call
};

Result run(const Bytes &src, uint64_t cap, unsigned char fill = 0xA5) {
    Result r{0, 12345, Bytes(static_cast<size_t>(cap), fill)};
    r.ret = sheetlay::inflate_decompress(src.data(), src.size(), r.out.data(), cap, &r.len);
    return r;
}

// ---------------------------------------------------------------------------
// The yardstick: canonical Huffman codes walked one bit at a time with no
// tables, an exception for running out of input. It also counts what it saw,
// so the round trips can show that they reach every block type.

struct RefStats {
    int blocks[4] = {};
    long dist1_overlaps = 0, max_len_copies = 0, far_copies = 0;
};

struct Shortage {};

struct Ref {
    struct Code {
        short count[16];
        short sym[288];
    };
    const unsigned char *in;
    size_t inlen, incnt = 0;
    uint32_t bitbuf = 0;
    int bitcnt = 0;
    unsigned char *out;
    size_t outlen, outcnt = 0;
    RefStats *stats;

    int bits(int need) {
        uint32_t val = bitbuf;
        while (bitcnt < need) {
            if (incnt == inlen) throw Shortage{};
            val |= uint32_t{in[incnt++]} << bitcnt;
            bitcnt += 8;
        }
        bitbuf = val >> need;
        bitcnt -= need;
        return static_cast<int>(val & ((1u << need) - 1));
    }
    int decode(const Code &h) {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= 15; ++len) {
            code |= bits(1);
            int count = h.count[len];
            if (code - count < first) return h.sym[index + (code - first)];
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }
    static int construct(Code &h, const short *len, int n) {
        for (auto &c : h.count) c = 0;
        for (int s = 0; s < n; ++s) h.count[len[s]]++;
        if (h.count[0] == n) return 0;
        int left = 1;
        for (int l = 1; l <= 15; ++l) {
            left = 2 * left - h.count[l];
            if (left < 0) return left;
        }
        short offs[16] = {};
        for (int l = 1; l < 15; ++l) offs[l + 1] = static_cast<short>(offs[l] + h.count[l]);
        for (int s = 0; s < n; ++s)
            if (len[s]) h.sym[offs[len[s]]++] = static_cast<short>(s);
        return left;
    }
    // 0 done, -1 damaged, 1 output shortage
    int codes(const Code &lc, const Code &dc) {
        static const short lens[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const short lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        static const short dists[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        static const short dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
        for (;;) {
            int sym = decode(lc);
            if (sym < 0) return -1;
            if (sym < 256) {
                if (outcnt == outlen) return 1;
                out[outcnt++] = static_cast<unsigned char>(sym);
            } else if (sym == 256) {
                return 0;
            } else {
                sym -= 257;
                if (sym >= 29) return -1;
                int len = lens[sym] + bits(lext[sym]);
                int ds = decode(dc);
                if (ds < 0) return -1;
                size_t dist = dists[ds] + bits(dext[ds]);
                if (dist > outcnt) return -1;
                if (outcnt + len > outlen) return 1;
                if (stats) {
                    stats->dist1_overlaps += dist == 1 && len > 1;
                    stats->max_len_copies += len == 258;
                    stats->far_copies += dist > 16384;
                }
                while (len--) {
                    out[outcnt] = out[outcnt - dist];
                    ++outcnt;
                }
            }
        }
    }
    int stored() {
        bitbuf = 0;
        bitcnt = 0;
        if (incnt + 4 > inlen) throw Shortage{};
        unsigned len = in[incnt] | in[incnt + 1] << 8;
        if (in[incnt + 2] != (~len & 0xff) || in[incnt + 3] != ((~len >> 8) & 0xff)) return -1;
        incnt += 4;
        if (incnt + len > inlen) throw Shortage{};
        if (outcnt + len > outlen) return 1;
        while (len--) out[outcnt++] = in[incnt++];
        return 0;
    }
    int fixed() {
        Code lc, dc;
        short l[288];
        for (int s = 0; s < 288; ++s) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        construct(lc, l, 288);
        for (int s = 0; s < 30; ++s) l[s] = 5;
        construct(dc, l, 30);
        return codes(lc, dc);
    }
    int dynamic() {
        static const short order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        short lengths[320];
        Code lc, dc;
        int nlen = bits(5) + 257, ndist = bits(5) + 1, ncode = bits(4) + 4;
        if (nlen > 286 || ndist > 30) return -1;
        int i = 0;
        for (; i < ncode; ++i) lengths[order[i]] = static_cast<short>(bits(3));
        for (; i < 19; ++i) lengths[order[i]] = 0;
        if (construct(lc, lengths, 19) != 0) return -1;
        for (i = 0; i < nlen + ndist;) {
            int sym = decode(lc);
            if (sym < 0) return -1;
            if (sym < 16) {
                lengths[i++] = static_cast<short>(sym);
                continue;
            }
            short len = 0;
            if (sym == 16) {
                if (i == 0) return -1;
                len = lengths[i - 1];
                sym = 3 + bits(2);
            } else {
                sym = sym == 17 ? 3 + bits(3) : 11 + bits(7);
            }
            if (i + sym > nlen + ndist) return -1;
            while (sym--) lengths[i++] = len;
        }
        if (lengths[256] == 0) return -1;
        int err = construct(lc, lengths, nlen);
        if (err && (err < 0 || nlen != lc.count[0] + lc.count[1])) return -1;
        err = construct(dc, lengths + nlen, ndist);
        if (err && (err < 0 || ndist != dc.count[0] + dc.count[1])) return -1;
        return codes(lc, dc);
    }
};

Result reference(const Bytes &src, uint64_t cap, RefStats *stats = nullptr, unsigned char fill = 0xA5) {
    Result r{-1, 0, Bytes(static_cast<size_t>(cap), fill)};
    if (src.size() < 2 || cap > (uint64_t{1} << 30) || (src[0] & 0x0f) != 8 || (src[1] & 0x20)) return r;
    Ref s{src.data() + 2, src.size() - 2};
    s.out = r.out.data();
    s.outlen = static_cast<size_t>(cap);
    s.stats = stats;
    try {
        int last, err;
        do {
            last = s.bits(1);
            int type = s.bits(2);
            if (stats) stats->blocks[type]++;
            err = type == 0 ? s.stored() : type == 1 ? s.fixed() : type == 2 ? s.dynamic() : -1;
        } while (err == 0 && !last);
        if (err > 0) return r;
        r.ret = 0;
        r.len = s.outcnt;
    } catch (Shortage &) {
    }
    return r;
}

// ---------------------------------------------------------------------------
// Writing streams by hand.

struct BitWriter {
    Bytes b{0x78, 0x9c};
    uint32_t acc = 0;
    int n = 0;

    BitWriter &put(uint32_t v, int len) {  // extra bits and header fields: low bit first
        for (int i = 0; i < len; ++i) {
            acc |= (i < 32 ? (v >> i) & 1u : 0u) << n;
            if (++n == 8) flush();
        }
        return *this;
    }
    BitWriter &code(uint32_t c, int len) {  // Huffman codes: high bit first
        for (int i = len - 1; i >= 0; --i) put((c >> i) & 1u, 1);
        return *this;
    }
    BitWriter &raw(std::initializer_list<unsigned char> v) {  // after the byte boundary
        if (n) flush();
        b.insert(b.end(), v);
        return *this;
    }
    BitWriter &raw(const std::string &s) {
        if (n) flush();
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    BitWriter &stored(bool last, const std::string &s) {
        put(last, 1).put(0, 2);
        unsigned len = static_cast<unsigned>(s.size());
        raw({static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8),
             static_cast<unsigned char>(~len), static_cast<unsigned char>(~len >> 8)});
        return raw(s);
    }
    void flush() {
        b.push_back(static_cast<unsigned char>(acc));
        acc = 0;
        n = 0;
    }
    Bytes done() {
        if (n) flush();
        return b;
    }
};

const int kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                           193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Fixed-code symbols.
void fixed_sym(BitWriter &w, int sym) {
    if (sym < 144) w.code(0x30 + sym, 8);
    else if (sym < 256) w.code(0x190 + sym - 144, 9);
    else if (sym < 280) w.code(sym - 256, 7);
    else w.code(0xc0 + sym - 280, 8);
}
void fixed_text(BitWriter &w, const std::string &s) {
    for (unsigned char c : s) fixed_sym(w, c);
}
void fixed_match(BitWriter &w, int len, int dist) {
    int i = 28;
    while (kLenBase[i] > len) --i;
    fixed_sym(w, 257 + i);
    w.put(len - kLenBase[i], kLenExtra[i]);
    int j = 29;
    while (kDistBase[j] > dist) --j;
    w.code(j, 5).put(dist - kDistBase[j], kDistExtra[j]);
}

// Canonical codes for the given lengths.
std::vector<uint32_t> canonical(const std::vector<int> &lens) {
    int count[16] = {}, next[16] = {};
    for (int l : lens) count[l]++;
    count[0] = 0;
    for (int l = 1, code = 0; l < 16; ++l) next[l] = code = (code + count[l - 1]) << 1;
    std::vector<uint32_t> codes(lens.size());
    for (size_t s = 0; s < lens.size(); ++s)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

// A dynamic block header. The code-length code defaults to a complete one
// (symbols 0-12 four bits, 13-18 five bits); `seq` overrides the
// run-length-coded lengths as (symbol, extra bits) pairs.
struct Dynamic {
    std::vector<int> lit, dist;
    std::vector<int> cl{4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
    std::vector<std::pair<int, int>> seq;
    int hlit = -1, hdist = -1;
    std::vector<uint32_t> lit_codes, dist_codes;

    void header(BitWriter &w, bool last) {
        static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        w.put(last, 1).put(2, 2);
        w.put(hlit >= 0 ? hlit : static_cast<int>(lit.size()) - 257, 5);
        w.put(hdist >= 0 ? hdist : static_cast<int>(dist.size()) - 1, 5);
        w.put(15, 4);
        for (int i = 0; i < 19; ++i) w.put(cl[order[i]], 3);
        auto clc = canonical(cl);
        if (seq.empty()) {
            for (int l : lit) seq.push_back({l, 0});
            for (int l : dist) seq.push_back({l, 0});
        }
        for (auto [sym, extra] : seq) {
            w.code(clc[sym], cl[sym]);
            if (sym >= 16) w.put(extra, sym == 16 ? 2 : sym == 17 ? 3 : 7);
        }
        lit_codes = canonical(lit);
        dist_codes = canonical(dist);
    }
    void sym(BitWriter &w, int s) { w.code(lit_codes[s], lit[s]); }
    void text(BitWriter &w, const std::string &s) {
        for (unsigned char c : s) sym(w, c);
    }
};

// 259 literal/length codes: 'a', 'b', end of block and length 3, two bits each.
std::vector<int> small_lit() {
    std::vector<int> l(259, 0);
    l['a'] = l['b'] = l[256] = l[257] = 2;
    return l;
}

std::string str(const Result &r) {
    return std::string(r.out.begin(), r.out.begin() + static_cast<long>(std::min<uint64_t>(r.len, r.out.size())));
}

struct Case {
    const char *name;
    Bytes src;
    uint64_t cap;
    int32_t ret;
    std::string out;  // expected decoded bytes (ret 0) — out_len is its size
};

void check_cases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = run(c.src, c.cap);
        EXPECT_EQ(r.ret, c.ret);
        EXPECT_EQ(r.len, c.ret == 0 ? c.out.size() : 0u);
        if (c.ret == 0) EXPECT_EQ(str(r), c.out);
        // The yardstick agrees on every hand-made case as well.
        Result ref = reference(c.src, c.cap);
        EXPECT_EQ(r.ret, ref.ret);
        EXPECT_EQ(r.len, ref.len);
        EXPECT_EQ(r.out, ref.out);
    }
}

// ---------------------------------------------------------------------------

TEST(InflateFrame, HeaderAndArguments) {
    auto abc = [](unsigned char h0, unsigned char h1) {
        BitWriter w;
        w.b = {h0, h1};
        return w.stored(true, "abc").done();
    };
    Bytes trailing = abc(0x78, 0x9c);
    for (unsigned char c : {0x02, 0x4d, 0x01, 0x27, 0xff, 0x00, 0x13}) trailing.push_back(c);
    BitWriter empty;
    std::vector<Case> cases = {
        {"check value ignored", abc(0x78, 0x00), 16, 0, "abc"},
        {"window size ignored", abc(0xf8, 0x01), 16, 0, "abc"},
        {"trailing bytes ignored", trailing, 16, 0, "abc"},
        {"empty stored final block", empty.stored(true, "").done(), 0, 0, ""},
        {"preset dictionary refused", abc(0x78, 0xbb), 16, -1, ""},
        {"method 7 refused", abc(0x77, 0x9c), 16, -1, ""},
        {"method 15 refused", abc(0x7f, 0x9c), 16, -1, ""},
        {"one byte", Bytes{0x78}, 16, -1, ""},
        {"nothing after the header", Bytes{0x78, 0x9c}, 16, -1, ""},
    };
    check_cases(cases);

    uint64_t len = 7;
    EXPECT_EQ(sheetlay::inflate_decompress(nullptr, 0, nullptr, 0, &len), -1);
    EXPECT_EQ(len, 0u);
    Bytes src = abc(0x78, 0x9c);
    unsigned char out[4];
    EXPECT_EQ(sheetlay::inflate_decompress(src.data(), src.size(), out, 4, nullptr), -1);
    EXPECT_EQ(sheetlay::inflate_decompress(src.data(), src.size(), nullptr, 4, &len), -1);
}

TEST(InflateFrame, CapacityLimit) {
    BitWriter w;
    Bytes src = w.stored(true, "limit").done();
    // Only the first bytes are ever touched; the rest of the area is never
    // paged in.
    std::unique_ptr<unsigned char[]> big(new unsigned char[(size_t{1} << 30) + 1]);
    uint64_t len = 9;
    EXPECT_EQ(sheetlay::inflate_decompress(src.data(), src.size(), big.get(), uint64_t{1} << 30, &len), 0);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(std::memcmp(big.get(), "limit", 5), 0);
    EXPECT_EQ(sheetlay::inflate_decompress(src.data(), src.size(), big.get(), (uint64_t{1} << 30) + 1, &len), -1);
    EXPECT_EQ(len, 0u);
}

TEST(InflateFormat, DamageKeepsBytesBefore) {
    auto fixed = [](bool last, auto body) {
        BitWriter w;
        w.put(last, 1).put(1, 2);
        body(w);
        return w;
    };
    auto done = [](BitWriter w) { return w.done(); };
    auto pad = [](BitWriter &w) { w.put(0, 16); };  // enough bits that a failed decode is damage

    BitWriter t3;
    BitWriter t3b;
    t3b.stored(false, "first").put(1, 1).put(3, 2);
    BitWriter nlen;
    fixed_text(nlen.put(0, 1).put(1, 2), "xy");
    fixed_sym(nlen, 256);
    nlen.put(1, 1).put(0, 2).raw({3, 0, 0xfc, 0xfe}).raw("abc");

    std::vector<Case> cases = {
        {"block type 3", done(t3.put(1, 1).put(3, 2)), 64, 0, ""},
        {"type 3 after a stored block", done(t3b), 64, 0, "first"},
        {"NLEN does not complement LEN", done(nlen), 64, 0, "xy"},
        {"length symbol 286", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "ab"); fixed_sym(w, 286); pad(w); })), 64, 0, "ab"},
        {"length symbol 287", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "a"); fixed_sym(w, 287); pad(w); })), 64, 0, "a"},
        {"fixed distance symbol 30", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "a"); fixed_sym(w, 257); w.code(30, 5); pad(w); })), 64, 0, "a"},
        {"fixed distance symbol 31", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "a"); fixed_sym(w, 257); w.code(31, 5); pad(w); })), 64, 0, "a"},
        {"distance beyond the output", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "ab"); fixed_match(w, 3, 3); pad(w); })), 64, 0, "ab"},
        {"far distance wins over a full area", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "a"); fixed_match(w, 200, 5); pad(w); })), 1, 0, "a"},
        {"distance equal to the output", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "ab"); fixed_match(w, 3, 2); fixed_sym(w, 256); })), 64, 0, "ababa"},
        {"distance 1 length 10", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "q"); fixed_match(w, 10, 1); fixed_sym(w, 256); })), 11, 0, "qqqqqqqqqqq"},
        {"match one byte too long for the area", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "q"); fixed_match(w, 10, 1); fixed_sym(w, 256); })), 10, -1, ""},
        {"literal into a full area", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "ab"); fixed_sym(w, 256); })), 1, -1, ""},
        {"full area before damage", done(fixed(true, [&](BitWriter &w) { fixed_text(w, "ab"); fixed_sym(w, 287); pad(w); })), 1, -1, ""},
    };
    check_cases(cases);
}

TEST(InflateFormat, DynamicHeaders) {
    // Each stream starts with a fixed block holding "z", so the expected
    // output shows decoding stopped at the dynamic block.
    auto stream = [](Dynamic d, auto body) {
        BitWriter w;
        w.put(0, 1).put(1, 2);
        fixed_text(w, "z");
        fixed_sym(w, 256);
        d.header(w, true);
        body(d, w);
        w.put(0, 16);
        return w.done();
    };
    auto nothing = [](Dynamic &, BitWriter &) {};
    auto ab = [](Dynamic &d, BitWriter &w) { d.text(w, "ab"); d.sym(w, 256); };

    Dynamic ok{small_lit(), {1, 1}};
    Dynamic hlit = ok;  hlit.hlit = 30;
    Dynamic hdist = ok; hdist.hdist = 30;
    Dynamic cl_incomplete = ok; cl_incomplete.cl = std::vector<int>(19, 0); cl_incomplete.cl[0] = 1;
    Dynamic cl_over = ok;       cl_over.cl = std::vector<int>(19, 0); cl_over.cl[0] = cl_over.cl[1] = cl_over.cl[2] = 1;
    Dynamic cl_none = ok;       cl_none.cl = std::vector<int>(19, 0); cl_none.seq = {{0, 0}};
    Dynamic first16 = ok;       first16.seq = {{16, 0}};
    Dynamic past = ok;          past.seq = {{18, 127}, {18, 119}};  // 138 + 130 zeros for 261 lengths
    Dynamic past16 = ok;        past16.seq = {{18, 127}, {18, 107}, {2, 0}, {16, 3}};  // 138+118+1+6 of 261
    Dynamic no_eob = ok;        no_eob.lit[256] = 0; no_eob.lit[258] = 2;
    Dynamic lit_over = ok;      lit_over.lit[99] = 2;
    Dynamic lit_incomplete = ok; lit_incomplete.lit[257] = 0;
    Dynamic lit_single{std::vector<int>(257, 0), {1}}; lit_single.lit[256] = 1;
    Dynamic dist_incomplete{small_lit(), {2, 0}};
    Dynamic dist_over{small_lit(), {1, 1, 1}};
    Dynamic dist_single{small_lit(), {1}};
    Dynamic dist_none{small_lit(), {0}};

    std::vector<Case> cases = {
        {"complete codes", stream(ok, ab), 64, 0, "zab"},
        {"287 literal/length codes", stream(hlit, nothing), 64, 0, "z"},
        {"31 distance codes", stream(hdist, nothing), 64, 0, "z"},
        {"incomplete code-length code", stream(cl_incomplete, nothing), 64, 0, "z"},
        {"over-subscribed code-length code", stream(cl_over, nothing), 64, 0, "z"},
        {"code-length code without codes", stream(cl_none, nothing), 64, 0, "z"},
        {"repeat as the first length", stream(first16, nothing), 64, 0, "z"},
        {"zeros past the declared lengths", stream(past, nothing), 64, 0, "z"},
        {"repeat past the declared lengths", stream(past16, nothing), 64, 0, "z"},
        {"no end-of-block code", stream(no_eob, nothing), 64, 0, "z"},
        {"over-subscribed literal/length code", stream(lit_over, nothing), 64, 0, "z"},
        {"incomplete literal/length code", stream(lit_incomplete, nothing), 64, 0, "z"},
        {"single literal/length code of length 1", stream(lit_single, [](Dynamic &d, BitWriter &w) { d.sym(w, 256); }), 64, 0, "z"},
        {"single literal/length code, unmatched bit", stream(lit_single, [](Dynamic &, BitWriter &w) { w.code(1, 1); }), 64, 0, "z"},
        {"single literal/length code, unmatched bit, more input",
         stream(lit_single, [](Dynamic &, BitWriter &w) { w.code(1, 1).put(0, 64).put(0, 64); }), 400, 0, "z"},
        {"incomplete distance code", stream(dist_incomplete, ab), 64, 0, "z"},
        {"over-subscribed distance code", stream(dist_over, ab), 64, 0, "z"},
        {"single distance code of length 1",
         stream(dist_single, [](Dynamic &d, BitWriter &w) { d.text(w, "ab"); d.sym(w, 257); w.code(0, 1); d.sym(w, 256); }), 64, 0, "zabbbb"},
        {"no distance codes, literals only", stream(dist_none, ab), 64, 0, "zab"},
        {"no distance codes, first match",
         stream(dist_none, [](Dynamic &d, BitWriter &w) { d.text(w, "abba"); d.sym(w, 257); }), 64, 0, "zabba"},
    };
    check_cases(cases);
}

TEST(InflateShortage, InputEndsEarly) {
    BitWriter nonfinal;
    BitWriter stored_len;
    stored_len.put(1, 1).put(0, 2).raw({5, 0, 0xfa});
    BitWriter stored_data;
    stored_data.put(1, 1).put(0, 2).raw({5, 0, 0xfa, 0xff}).raw("abcd");
    BitWriter cut_codes;
    cut_codes.put(1, 1).put(1, 2);
    fixed_text(cut_codes, "a long run of literals that never reaches its end");
    BitWriter dist30;  // distance code 30 with fewer than 15 bits after its start
    dist30.put(1, 1).put(1, 2);
    fixed_text(dist30, "a");
    fixed_sym(dist30, 257);
    dist30.code(30, 5);
    BitWriter dyn_cut;
    Dynamic full{small_lit(), {1, 1}};
    full.header(dyn_cut, true);
    Bytes dyn_head = dyn_cut.done();
    dyn_head.resize(dyn_head.size() - 3);
    Dynamic none{small_lit(), {0}};
    BitWriter dyn_nodist;  // no distance codes, input ends after the length code
    none.header(dyn_nodist, true);
    none.text(dyn_nodist, "ab");
    none.sym(dyn_nodist, 257);
    BitWriter cl_none;
    Dynamic cln{small_lit(), {1}};
    cln.cl = std::vector<int>(19, 0);
    cln.seq = {{0, 0}};
    cln.header(cl_none, true);

    std::vector<Case> cases = {
        {"non-final block then nothing", nonfinal.stored(false, "abc").done(), 64, -1, ""},
        {"stored LEN/NLEN cut", stored_len.done(), 64, -1, ""},
        {"stored data cut", stored_data.done(), 64, -1, ""},
        {"block header cut", Bytes{0x78, 0x9c}, 64, -1, ""},
        {"compressed data cut", cut_codes.done(), 128, -1, ""},
        {"unmatched code at the end of the input", dist30.done(), 64, -1, ""},
        {"dynamic header cut", dyn_head, 64, -1, ""},
        {"no distance codes, input ends at the match", dyn_nodist.done(), 64, -1, ""},
        {"code-length code without codes, input ends", cl_none.done(), 64, -1, ""},
    };
    check_cases(cases);

    BitWriter small;
    Bytes out_short = small.stored(true, "abcdef").done();
    check_cases({{"stored block larger than the area", out_short, 5, -1, ""},
                 {"stored block exactly fills the area", out_short, 6, 0, "abcdef"}});
}

// Literal codes of 10 and 12 bits, the longest the decoder's lookup holds
// directly and beyond, in long runs: many such codes in a row must never
// outrun the bits it has fetched.
TEST(InflateRoundTrip, LongLiteralCodes) {
    Dynamic d{std::vector<int>(270, 0), {1, 1}};
    for (int s = 0; s < 128; ++s) d.lit[s] = 10;
    for (int s = 128; s < 256; ++s) d.lit[s] = 12;
    d.lit[256] = 1;
    d.lit[257] = 2;
    for (int s = 258; s < 270; ++s) d.lit[s] = 7;
    std::mt19937 rng(99);
    for (int run = 0; run < 3; ++run) {
        BitWriter w;
        d.seq.clear();
        d.header(w, true);
        std::string want;
        for (int i = 0; i < 4000; ++i) {
            if (i % 97 == 96) {  // now and then a copy of 3 with distance 1
                d.sym(w, 257);
                w.code(0, 1);
                want += std::string(3, want.back());
                continue;
            }
            int c = run == 0 ? static_cast<int>(rng() % 128) : run == 1 ? 128 + static_cast<int>(rng() % 128)
                                                                        : static_cast<int>(rng() % 256);
            d.sym(w, c);
            want += static_cast<char>(c);
        }
        d.sym(w, 256);
        Bytes src = w.done();
        check_cases({{"exact area", src, want.size(), 0, want}, {"large area", src, want.size() + 999, 0, want}});
    }
}

#if SHEETLAY_HAVE_ZLIB

Bytes zcompress(const Bytes &data, int level, int strategy) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 16);
    z.next_in = const_cast<unsigned char *>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Data with the shapes PDF streams have.
std::vector<std::pair<std::string, Bytes>> sample_data() {
    std::mt19937 rng(7);
    std::vector<std::pair<std::string, Bytes>> v;
    auto add = [&](const char *name, const std::string &s) { v.push_back({name, Bytes(s.begin(), s.end())}); };

    Bytes random(70000);
    for (auto &c : random) c = static_cast<unsigned char>(rng());
    v.push_back({"random", random});

    std::string page;
    for (int i = 0; page.size() < 60000; ++i)
        page += "BT /F" + std::to_string(i % 3) + " 11 Tf 72 " + std::to_string(700 - i % 600) +
                " Td (Line " + std::to_string(i) + " of the page) Tj ET\n" +
                std::to_string(i % 500) + " 100 m 300 " + std::to_string(i % 97) + " l S\n";
    add("page content", page);

    static const char *words[] = {"the", "page", "sheet", "of", "and", "printer", "layout", "a", "is", "margin"};
    std::string text;
    while (text.size() < 50000) text += std::string(words[rng() % 10]) + (rng() % 9 ? " " : ".\n");
    add("text", text);

    Bytes runs;  // long runs of one byte: distance-1 copies of 258
    while (runs.size() < 80000) runs.insert(runs.end(), 1 + rng() % 3000, static_cast<unsigned char>(rng() % 4));
    v.push_back({"runs", runs});

    Bytes periodic;  // short periods: overlapping copies at distances 2 to 15
    while (periodic.size() < 40000) {
        unsigned period = 2 + rng() % 14, reps = 1 + rng() % 60;
        Bytes unit(period);
        for (auto &c : unit) c = static_cast<unsigned char>(rng());
        for (unsigned r = 0; r < reps; ++r) periodic.insert(periodic.end(), unit.begin(), unit.end());
    }
    v.push_back({"periodic", periodic});

    Bytes far = random;  // repeats 20000 to 32768 bytes back
    far.resize(30000);
    for (int i = 0; i < 3; ++i) far.insert(far.end(), far.begin() + 2000 * i, far.begin() + 30000);
    v.push_back({"far repeats", far});

    add("tiny", "q");
    v.push_back({"empty", {}});
    return v;
}

TEST(InflateRoundTrip, EveryLevelAndStrategy) {
    RefStats stats;
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const auto &[name, data] : sample_data()) {
        for (int level = 0; level <= 9; ++level) {
            for (int strategy : strategies) {
                SCOPED_TRACE(name + " level " + std::to_string(level) + " strategy " + std::to_string(strategy));
                Bytes z = zcompress(data, level, strategy);
                Result r = run(z, data.size());
                ASSERT_EQ(r.ret, 0);
                ASSERT_EQ(r.len, data.size());
                ASSERT_TRUE(r.out == data);
                reference(z, data.size(), &stats);
                if (data.empty()) continue;
                // One byte short of the decoded size: nothing.
                Result s = run(z, data.size() - 1);
                EXPECT_EQ(s.ret, -1);
                EXPECT_EQ(s.len, 0u);
                // Cut off before the end of the compressed data: nothing,
                // however much was decoded.
                Bytes cut(z.begin(), z.end() - 5);
                Result c = run(cut, data.size());
                EXPECT_EQ(c.ret, -1);
                EXPECT_EQ(c.len, 0u);
            }
        }
    }
    // The runs above reached every kind of block and copy.
    EXPECT_GT(stats.blocks[0], 0);
    EXPECT_GT(stats.blocks[1], 0);
    EXPECT_GT(stats.blocks[2], 0);
    EXPECT_GT(stats.dist1_overlaps, 0);
    EXPECT_GT(stats.max_len_copies, 0);
    EXPECT_GT(stats.far_copies, 0);
}

// Damaged and cut streams, areas of every size: the decoder agrees with the
// bit-at-a-time yardstick on the result, out_len and every byte of the area.
TEST(InflateDifferential, MutatedStreams) {
    std::mt19937 rng(12345);
    std::vector<std::pair<Bytes, size_t>> bases;  // stream, decoded size
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const auto &[name, data] : sample_data()) {
        Bytes part(data.begin(), data.begin() + static_cast<long>(std::min<size_t>(data.size(), 3000)));
        for (int level : {1, 6, 9})
            for (int strategy : strategies) bases.push_back({zcompress(part, level, strategy), part.size()});
    }
    const int rounds = 12000;
    for (int round = 0; round < rounds; ++round) {
        const auto &[base, size] = bases[rng() % bases.size()];
        Bytes src = base;
        switch (rng() % 5) {
            case 0:  // flipped bits
                for (unsigned k = 1 + rng() % 3; k--;) src[2 + rng() % (src.size() - 2)] ^= 1u << (rng() % 8);
                break;
            case 1:  // cut anywhere
                src.resize(2 + rng() % (src.size() - 1));
                break;
            case 2:  // a byte overwritten, then cut
                src[2 + rng() % (src.size() - 2)] = static_cast<unsigned char>(rng());
                if (rng() % 2) src.resize(2 + rng() % (src.size() - 1));
                break;
            case 3:  // random body
                for (size_t i = 2; i < src.size(); ++i) src[i] = static_cast<unsigned char>(rng());
                break;
            default:  // intact
                break;
        }
        uint64_t cap;
        switch (rng() % 4) {
            case 0: cap = size; break;
            case 1: cap = size ? size - 1 : 0; break;
            case 2: cap = rng() % (size + 1); break;
            default: cap = size + rng() % 300; break;
        }
        Result got = run(src, cap), want = reference(src, cap);
        ASSERT_EQ(got.ret, want.ret) << "round " << round;
        ASSERT_EQ(got.len, want.len) << "round " << round;
        ASSERT_TRUE(got.out == want.out) << "round " << round;
    }
}

// Repeats of every period from 1 to 300 bytes, every data size from 0 to
// 300 and some large ones, matches of every length: copies that overlap
// themselves, sizes on both sides of the hot loop's input and output
// margins, lengths and distances whose extra bits are or are not resolved
// by the direct tables. Whole, cut and with a flipped bit, in areas of the
// exact size and larger, the decoder agrees with the bit-at-a-time
// yardstick on the result, the count and every byte of the area.
TEST(InflateDifferential, PeriodsSizesAndMatchLengths) {
    std::mt19937 rng(99);
    auto periodic = [&](size_t period, size_t n) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = i < period ? static_cast<unsigned char>(rng()) : b[i - period];
        // A stray byte now and then breaks matches into every length.
        for (size_t i = period; i < n; i += 3 + rng() % 300) b[i] = static_cast<unsigned char>(rng());
        return b;
    };
    struct Case {
        size_t period, size_from, size_to, size_step;
    };
    const Case cases[] = {
        {1, 0, 300, 1},     {2, 0, 300, 7},       {3, 0, 300, 5},       {5, 250, 300, 1},   {7, 0, 300, 11},
        {8, 0, 300, 3},     {9, 240, 300, 2},     {15, 0, 300, 13},     {16, 200, 300, 1},  {17, 0, 300, 17},
        {31, 0, 300, 19},   {64, 0, 300, 23},     {100, 255, 300, 1},   {257, 0, 300, 29},  {300, 280, 300, 1},
        {3, 70000, 70000, 1}, {40, 100000, 100000, 1}, {4000, 90000, 90000, 1}, {32768, 99000, 99000, 1},
    };
    const std::pair<int, int> configs[] = {{1, Z_DEFAULT_STRATEGY}, {6, Z_DEFAULT_STRATEGY}, {9, Z_FIXED},
                                           {9, Z_RLE}, {0, Z_DEFAULT_STRATEGY}};
    RefStats stats;
    for (const Case &c : cases)
        for (size_t n = c.size_from; n <= c.size_to; n += c.size_step) {
            const Bytes data = periodic(c.period, n);
            for (const auto &[level, strategy] : configs) {
                SCOPED_TRACE("period " + std::to_string(c.period) + " size " + std::to_string(n) + " level " +
                             std::to_string(level) + " strategy " + std::to_string(strategy));
                const Bytes z = zcompress(data, level, strategy);
                Result whole = run(z, n);
                ASSERT_EQ(whole.ret, 0);
                ASSERT_TRUE(whole.out == data);
                Bytes cut(z.begin(), z.begin() + static_cast<long>(2 + rng() % (z.size() - 1)));
                Bytes flipped = z;
                flipped[2 + rng() % (z.size() - 2)] ^= static_cast<unsigned char>(1u << (rng() % 8));
                for (const Bytes *src : {&z, static_cast<const Bytes *>(&cut), static_cast<const Bytes *>(&flipped)})
                    for (uint64_t cap : {uint64_t{n}, uint64_t{n} + 300}) {
                        Result got = run(*src, cap), want = reference(*src, cap, &stats);
                        ASSERT_EQ(got.ret, want.ret) << "cap " << cap;
                        ASSERT_EQ(got.len, want.len) << "cap " << cap;
                        ASSERT_TRUE(got.out == want.out) << "cap " << cap;
                    }
            }
        }
    EXPECT_GT(stats.dist1_overlaps, 0);
    EXPECT_GT(stats.max_len_copies, 0);
    EXPECT_GT(stats.far_copies, 0);
}

// An area that grows on demand gives what a fixed area as large as its limit
// gives, on every kind of damage. The area moves on every growth, grows to
// exactly what is asked (so every write near its end is a growth) or
// fourfold, and starts empty, at one byte short of the output or larger.
TEST(InflateDifferential, GrowingAreaMatchesFixedArea) {
    struct moving_area final : sheetlay::inflate_area {
        uint64_t limit, grows = 0;
        bool exact;
        std::vector<std::unique_ptr<unsigned char[]>> old;  // kept, so a stale pointer reads poison
        moving_area(uint64_t l, bool e) : limit(l), exact(e) {}
        bool grow(uint64_t need) override {
            if (need > limit) return false;
            uint64_t want = exact ? need : std::min(std::max(need, cap * 4), limit);
            std::unique_ptr<unsigned char[]> p(new unsigned char[want + 1]);
            std::memset(p.get(), 0x5A, want + 1);
            if (cap) std::memcpy(p.get(), data, cap);
            if (data) std::memset(data, 0xEE, cap);
            old.push_back(std::move(p));
            data = old.back().get();
            cap = want;
            ++grows;
            return true;
        }
    };
    std::mt19937 rng(777);
    std::vector<std::pair<Bytes, size_t>> bases;
    for (const auto &[name, data] : sample_data()) {
        Bytes part(data.begin(), data.begin() + static_cast<long>(std::min<size_t>(data.size(), 5000)));
        for (int level : {0, 1, 9}) bases.push_back({zcompress(part, level, Z_DEFAULT_STRATEGY), part.size()});
    }
    long grown = 0;
    for (int round = 0; round < 3000; ++round) {
        const auto &[base, size] = bases[rng() % bases.size()];
        Bytes src = base;
        if (rng() % 2) src[2 + rng() % (src.size() - 2)] ^= 1u << (rng() % 8);
        if (rng() % 3 == 0) src.resize(2 + rng() % (src.size() - 1));
        const uint64_t limits[] = {size, size ? size - 1 : 0, rng() % (size + 1), size + rng() % 300};
        const uint64_t limit = limits[rng() % 4];
        const uint64_t starts[] = {0, size ? size - 1 : 0, rng() % (limit + 1)};
        const uint64_t start = std::min(starts[rng() % 3], limit);
        moving_area area(limit, rng() % 2);
        if (start) area.grow(start);
        uint64_t n = 99, wn = 99, fn = 99, fw = 99;
        int room = 7, froom = 7;
        int32_t rc = sheetlay::inflate_decompress_into(src.data(), src.size(), &area, &n, &room, &wn);
        Bytes fixed(limit + 1, 0x5A);
        int32_t frc = sheetlay::inflate_decompress_ex(src.data(), src.size(), fixed.data(), limit, &fn, &froom, &fw);
        ASSERT_EQ(rc, frc) << "round " << round;
        ASSERT_EQ(n, fn) << "round " << round;
        ASSERT_EQ(room, froom) << "round " << round;
        ASSERT_EQ(wn, fw) << "round " << round;
        ASSERT_TRUE(wn == 0 || std::memcmp(area.data, fixed.data(), wn) == 0) << "round " << round;
        grown += area.grows > 1;
    }
    EXPECT_GT(grown, 500);
}

// Only a lack of output room may be answered by a larger area: a caller that
// grows its area for data that is cut short would grow it without end.
TEST(InflateShortage, TellsOutputRoomFromInputEnd) {
    Bytes data(50000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>("q 1 0 0 1 0 0 cm Q\n"[i % 19]);
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
        for (int level : {0, 6}) {
            Bytes z = zcompress(data, level, strategy);
            Bytes cut(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(z.size() / 2));
            struct Case {
                const char *what;
                const Bytes *src;
                size_t cap;
                int32_t rc;
                int room;
            } cases[] = {
                {"fits", &z, data.size(), 0, 0},
                {"one byte short", &z, data.size() - 1, -1, 1},
                {"tiny area", &z, 10, -1, 1},
                {"cut short, large area", &cut, data.size() * 2, -1, 0},
            };
            for (const Case &c : cases) {
                Bytes out(c.cap + 1);
                uint64_t n = 99;
                int room = 7;
                int32_t rc = sheetlay::inflate_decompress_ex(c.src->data(), c.src->size(), out.data(),
                                                             c.cap, &n, &room);
                EXPECT_EQ(rc, c.rc) << c.what << " level " << level << " strategy " << strategy;
                EXPECT_EQ(room, c.room) << c.what << " level " << level << " strategy " << strategy;
            }
        }
    }
}

// A stream cut before its final block gives no count, but `written` tells
// how much of the data's true start was written, for each cut point.
TEST(Inflate, WrittenCountsTheStartOfACutStream) {
    std::string text;
    for (int i = 0; i < 4000; ++i) text += static_cast<char>('a' + (i * 7 + i / 13) % 26);
    for (int level : {0, 1, 9}) {
        uLongf zlen = compressBound(static_cast<uLong>(text.size()));
        std::vector<unsigned char> z(zlen);
        ASSERT_EQ(compress2(z.data(), &zlen, reinterpret_cast<const Bytef *>(text.data()),
                            static_cast<uLong>(text.size()), level),
                  Z_OK);
        for (uLongf cut : {zlen / 4, zlen / 2, zlen - 8}) {
            std::vector<unsigned char> out(text.size() + 64, 0);
            uint64_t n = 99, written = 99;
            int room = 1;
            int32_t rc = sheetlay::inflate_decompress_ex(z.data(), cut, out.data(), out.size(), &n, &room,
                                                         &written);
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(room, 0);
            // Stored blocks are copied whole or not at all, and a quarter of
            // a compressed stream may still be its code tables.
            if (level != 0 && cut != zlen / 4) EXPECT_GT(written, 0u) << level << " " << cut;
            EXPECT_LT(written, text.size());
            EXPECT_EQ(std::memcmp(out.data(), text.data(), static_cast<size_t>(written)), 0);
        }
        // Whole: the count and `written` agree.
        std::vector<unsigned char> out(text.size());
        uint64_t n = 0, written = 0;
        EXPECT_EQ(sheetlay::inflate_decompress_ex(z.data(), zlen, out.data(), out.size(), &n, nullptr, &written), 0);
        EXPECT_EQ(n, text.size());
        EXPECT_EQ(written, n);
    }
}

#endif  // SHEETLAY_HAVE_ZLIB

}  // namespace
