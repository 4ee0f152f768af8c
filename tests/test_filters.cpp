// Stream filter tests: every filter round-trips through a small encoder
// written here, known encodings decode to their published text, chains and
// predictors decode as a whole, damaged data keeps what viewers keep, limits
// hold, the /Filter and /DecodeParms reader pairs parameters with filters,
// and qpdf, as an independent decoder, agrees on the same streams.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "codec/filters.h"
#include "support/pdfgen.h"
#include "support/tools.h"

#if SHEETLAY_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace sheetlay;

namespace {

using u8 = unsigned char;

std::string bytes_of(const std::vector<u8> &v) { return std::string(v.begin(), v.end()); }

filter_chain chain_of(const std::string &filter, const std::string &parms = "") {
    filter_chain c;
    auto st = parse_filter_chain(reinterpret_cast<const u8 *>(filter.data()), filter.size(),
                                 reinterpret_cast<const u8 *>(parms.data()), parms.size(), &c);
    EXPECT_EQ(st, filter_status::ok) << filter << " " << parms;
    return c;
}

struct Decoded {
    filter_status st;
    std::string out;
    size_t capacity;
};

Decoded decode(const std::string &filter, const std::string &parms, const std::string &data,
               uint64_t limit = uint64_t{1} << 30) {
    std::vector<u8> out(3, 'x');  // replaced, whatever it held
    auto st = decode_filters(chain_of(filter, parms), reinterpret_cast<const u8 *>(data.data()), data.size(),
                             limit, &out);
    return {st, bytes_of(out), out.capacity()};
}

// ---------------------------------------------------------------------------
// Encoders

std::string hex_encode(const std::string &s) {
    static const char *d = "0123456789abcDEF";
    std::string o;
    for (size_t i = 0; i < s.size(); ++i) {
        o += d[static_cast<u8>(s[i]) >> 4];
        o += d[static_cast<u8>(s[i]) & 15];
        if (i % 30 == 29) o += "\r\n";
    }
    return o + ">";
}

std::string a85_encode(const std::string &s, bool use_z) {
    std::string o;
    for (size_t i = 0; i < s.size(); i += 4) {
        size_t n = std::min<size_t>(4, s.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) v = v << 8 | (k < n ? static_cast<u8>(s[i + k]) : 0);
        if (n == 4 && v == 0 && use_z) {
            o += 'z';
            continue;
        }
        char g[5];
        for (int k = 4; k >= 0; --k, v /= 85) g[k] = static_cast<char>('!' + v % 85);
        o.append(g, n + 1);
        if (i % 80 == 76) o += '\n';
    }
    return o + "~>";
}

struct BitWriter {
    std::string out;
    uint32_t acc = 0;
    int n = 0;
    void put(unsigned code, int width) {
        for (int b = width - 1; b >= 0; --b) {
            acc = acc << 1 | ((code >> b) & 1);
            if (++n == 8) {
                out += static_cast<char>(acc);
                acc = 0;
                n = 0;
            }
        }
    }
    std::string finish() {
        if (n) put(0, 8 - n);
        return out;
    }
};

// Clears the table when it reaches `reset_at` entries; 4096 never clears and
// lets the table fill up and freeze.
std::string lzw_encode(const std::string &s, int early, unsigned reset_at = 4094) {
    BitWriter w;
    unsigned next = 258;
    auto width = [&] { return next + early > 2048 ? 12 : next + early > 1024 ? 11 : next + early > 512 ? 10 : 9; };
    std::map<uint32_t, unsigned> dict;
    w.put(256, width());
    int cur = -1;
    for (u8 c : s) {
        if (cur < 0) {
            cur = c;
            continue;
        }
        uint32_t key = static_cast<uint32_t>(cur) << 8 | c;
        auto it = dict.find(key);
        if (it != dict.end()) {
            cur = static_cast<int>(it->second);
            continue;
        }
        w.put(static_cast<unsigned>(cur), width());
        if (next < 4096) dict[key] = next++;
        if (next == reset_at) {
            w.put(256, width());
            dict.clear();
            next = 258;
        }
        cur = c;
    }
    if (cur >= 0) {
        w.put(static_cast<unsigned>(cur), width());
        if (next < 4096) ++next;  // the decoder's entry for this code
    }
    w.put(257, width());
    return w.finish();
}

std::string codes9(const std::vector<unsigned> &codes) {
    BitWriter w;
    for (unsigned c : codes) w.put(c, 9);
    return w.finish();
}

std::string rl_encode(const std::string &s) {
    std::string o;
    size_t i = 0;
    while (i < s.size()) {
        size_t r = 1;
        while (i + r < s.size() && r < 128 && s[i + r] == s[i]) ++r;
        if (r >= 2) {
            o += static_cast<char>(257 - r);
            o += s[i];
            i += r;
            continue;
        }
        size_t j = i + 1;
        while (j < s.size() && j - i < 128 && !(j + 1 < s.size() && s[j + 1] == s[j])) ++j;
        o += static_cast<char>(j - i - 1);
        o.append(s, i, j - i);
        i = j;
    }
    return o + '\x80';
}

int paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Row r gets the filter type types[r % types.size()].
std::string png_encode(const std::string &s, size_t rb, size_t bpp, const std::vector<int> &types) {
    std::string o;
    for (size_t r = 0; r * rb < s.size(); ++r) {
        int t = types[r % types.size()];
        o += static_cast<char>(t);
        for (size_t i = 0; i < rb && r * rb + i < s.size(); ++i) {
            auto at = [&](size_t row, size_t col) { return static_cast<int>(static_cast<u8>(s[row * rb + col])); };
            int x = at(r, i), a = i >= bpp ? at(r, i - bpp) : 0, b = r ? at(r - 1, i) : 0;
            int c = r && i >= bpp ? at(r - 1, i - bpp) : 0;
            int pred = t == 1 ? a : t == 2 ? b : t == 3 ? (a + b) / 2 : t == 4 ? paeth(a, b, c) : 0;
            o += static_cast<char>(x - pred);
        }
    }
    return o;
}

std::string tiff_encode(const std::string &s, int colors, int bpc, int columns) {
    size_t rb = (static_cast<size_t>(colors) * bpc * columns + 7) / 8;
    std::string o = s;
    unsigned mask = (1u << std::min(bpc, 16)) - 1;
    for (size_t row = 0; row + rb <= s.size(); row += rb) {
        size_t n = static_cast<size_t>(colors) * columns;
        auto get = [&](const std::string &q, size_t k) -> unsigned {
            if (bpc == 16) return static_cast<u8>(q[row + 2 * k]) << 8 | static_cast<u8>(q[row + 2 * k + 1]);
            size_t bit = k * bpc;
            return (static_cast<u8>(q[row + bit / 8]) >> (8 - bpc - bit % 8)) & mask;
        };
        auto set = [&](size_t k, unsigned v) {
            if (bpc == 16) {
                o[row + 2 * k] = static_cast<char>(v >> 8);
                o[row + 2 * k + 1] = static_cast<char>(v);
                return;
            }
            size_t bit = k * bpc;
            unsigned shift = 8 - bpc - bit % 8;
            u8 &b = reinterpret_cast<u8 &>(o[row + bit / 8]);
            b = static_cast<u8>((b & ~(mask << shift)) | (v & mask) << shift);
        };
        for (size_t k = colors; k < n; ++k) set(k, (get(s, k) - get(s, k - colors)) & mask);
    }
    return o;
}

std::string random_bytes(size_t n, unsigned seed, int alphabet = 256) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(g() % alphabet);
    return s;
}

std::string text_of(size_t n) {
    std::string s;
    for (int i = 0; s.size() < n; ++i) s += "BT /F1 12 Tf 72 " + std::to_string(700 - i % 60) + " Td (line) Tj ET\n";
    return s.substr(0, n);
}

std::vector<std::string> payloads() {
    return {"", "a", "ab", "abc", "abcd", "abcde", std::string(4, '\0'), std::string(9, '\0') + "x",
            text_of(30000), random_bytes(5000, 1), std::string(20000, '\0'), random_bytes(70000, 2, 3)};
}

// ---------------------------------------------------------------------------

struct Coder {
    const char *filter, *parms;
    std::string (*encode)(const std::string &);
};

TEST(FilterRoundTrip, EveryFilterAndPayload) {
    const Coder coders[] = {
        {"/AHx", "", hex_encode},
        {"/ASCII85Decode", "", [](const std::string &s) { return a85_encode(s, true); }},
        {"/A85", "", [](const std::string &s) { return a85_encode(s, false); }},
        {"/LZWDecode", "", [](const std::string &s) { return lzw_encode(s, 1); }},
        {"/LZW", "<< /EarlyChange 0 >>", [](const std::string &s) { return lzw_encode(s, 0); }},
        {"/LZW", "<< /EarlyChange 1 >>", [](const std::string &s) { return lzw_encode(s, 1, 4096); }},
        {"/LZW", "<< /EarlyChange 0 >>", [](const std::string &s) { return lzw_encode(s, 0, 4096); }},
        {"/LZW", "", [](const std::string &s) { return lzw_encode(s, 1, 600); }},
        {"/RunLengthDecode", "", rl_encode},
        {"/RL", "", [](const std::string &s) { return rl_encode(s).substr(0, rl_encode(s).size() - 1); }},
        {"/Fl", "", [](const std::string &s) { return pdfgen::zcompress(s); }},
    };
    for (const auto &c : coders) {
        for (const auto &p : payloads()) {
            Decoded d = decode(c.filter, c.parms, c.encode(p));
            EXPECT_EQ(d.st, filter_status::ok) << c.filter << " " << c.parms << " size " << p.size();
            EXPECT_TRUE(d.out == p) << c.filter << " " << c.parms << " size " << p.size();
        }
    }
}

TEST(FilterKnown, PublishedEncodings) {
    struct Case {
        const char *filter;
        std::string in, out;
    } cases[] = {
        {"/A85", "9jqo^BlbD-BleB1DJ+*+F(f,q~>", "Man is distinguished"},
        {"/A85", "F*2M7/c~>", "sure."},
        {"/A85", "z@:B~>", std::string(4, '\0') + "ab"},
        {"/A85", "s8W-!~>", "\xff\xff\xff\xff"},
        // The LZW example of the PDF format's description: nine and ten
        // bytes of dashes, 'A' and 'B' as codes 256 45 258 258 65 259 66 257.
        {"/LZW", "\x80\x0b\x60\x50\x22\x0c\x0c\x85\x01", "-----A---B"},
        {"/AHx", "48 65\n6C6c6F>", "Hello"},
    };
    for (const auto &c : cases) {
        Decoded d = decode(c.filter, "", c.in);
        EXPECT_EQ(d.st, filter_status::ok) << c.in;
        EXPECT_EQ(d.out, c.out) << c.in;
    }
}

TEST(FilterPredictor, PngAndTiffRoundTrips) {
    int n = 0;
    for (int colors : {1, 3, 4})
        for (int bpc : {1, 2, 4, 8, 16})
            for (int columns : {1, 5, 17}) {
                size_t rb = (static_cast<size_t>(colors) * bpc * columns + 7) / 8;
                size_t bpp = std::max<size_t>(1, (static_cast<size_t>(colors) * bpc + 7) / 8);
                std::string img = random_bytes(rb * 9, static_cast<unsigned>(colors * 100 + bpc * 10 + columns), 7);
                std::string parms = "<< /Colors " + std::to_string(colors) + " /BitsPerComponent " +
                                    std::to_string(bpc) + " /Columns " + std::to_string(columns);
                for (int t = 0; t <= 4; ++t) {
                    std::string enc = png_encode(img, rb, bpp, {t, (t + 1) % 5, 4, 2});
                    Decoded d = decode("/Fl", parms + " /Predictor " + std::to_string(10 + t) + " >>",
                                       pdfgen::zcompress(enc));
                    EXPECT_EQ(d.st, filter_status::ok) << parms << " type " << t;
                    EXPECT_TRUE(d.out == img) << parms << " type " << t;
                    ++n;
                }
                // TIFF, through LZW this time; bit images whose row ends
                // inside a byte keep the padding bits of the last byte.
                std::string enc = tiff_encode(img, colors, bpc, columns);
                Decoded d = decode("/LZW", parms + " /Predictor 2 >>", lzw_encode(enc, 1));
                EXPECT_EQ(d.st, filter_status::ok) << parms << " TIFF";
                EXPECT_TRUE(d.out == img) << parms << " TIFF";
            }
    EXPECT_EQ(n, 225);
}

TEST(FilterChain, SeveralStepsInOrder) {
    std::string text = text_of(5000);
    std::string img = random_bytes(6 * 40, 9, 5);
    std::string png = png_encode(img, 6, 3, {0, 1, 2, 3, 4});
    Decoded a = decode("[/A85 /Fl]", "[null << /Predictor 12 /Colors 3 /Columns 2 >>]",
                       a85_encode(pdfgen::zcompress(png), true));
    EXPECT_EQ(a.st, filter_status::ok);
    EXPECT_TRUE(a.out == img);
    Decoded b = decode("[/AHx /RL]", "", hex_encode(rl_encode(text)));
    EXPECT_EQ(b.st, filter_status::ok);
    EXPECT_TRUE(b.out == text);
    Decoded c = decode("[/AHx /A85 /LZW /Fl]", "[null null << /EarlyChange 0 >>]",
                       hex_encode(a85_encode(lzw_encode(pdfgen::zcompress(text), 0), false)));
    EXPECT_EQ(c.st, filter_status::ok);
    EXPECT_TRUE(c.out == text);
    // Damage in an early step still passes what it kept to the next ones.
    Decoded d = decode("[/AHx /RL]", "", "0241424344 zz");
    EXPECT_EQ(d.st, filter_status::damaged);
    EXPECT_EQ(d.out, "ABC");
}

TEST(FilterDamaged, KeepsWhatDecodedBefore) {
    std::string rows = random_bytes(5 * 8, 3);  // 8 rows of 5 bytes
    std::string png = png_encode(rows, 5, 1, {1, 2, 3, 4});
    std::string bad_type = png;
    bad_type[2 * 6] = 7;  // the third row's filter byte
    struct Case {
        const char *filter, *parms;
        std::string in;
        filter_status st;
        std::string out;
    } cases[] = {
        {"/AHx", "", "41 42 4", filter_status::ok, "AB@"},
        {"/AHx", "", "4142>4344", filter_status::ok, "AB"},
        {"/AHx", "", "41zz42", filter_status::damaged, "A"},
        {"/AHx", "", "", filter_status::ok, ""},
        {"/A85", "", "9jqo^", filter_status::ok, "Man "},
        {"/A85", "", "9jqo^~", filter_status::ok, "Man "},
        {"/A85", "", "<~9jqo^~>", filter_status::ok, "Man "},
        {"/A85", "", "9jqo^BlbD-Bl~>", filter_status::ok, "Man is di"},
        {"/A85", "", "9jqo^v", filter_status::damaged, "Man "},
        {"/A85", "", "9jqo^9~>", filter_status::damaged, "Man "},
        {"/A85", "", "9jzqo^", filter_status::damaged, ""},
        {"/A85", "", "s8W-\"", filter_status::damaged, ""},
        {"/RL", "", std::string("\x02" "abc" "\x80" "zz"), filter_status::ok, "abc"},
        {"/RL", "", "\x05" "ab", filter_status::damaged, "ab"},
        {"/RL", "", "\x01" "ab" "\xfe", filter_status::damaged, "ab"},
        {"/RL", "", "\xfe" "A", filter_status::ok, "AAA"},
        {"/LZW", "", codes9({256, 65, 300, 66, 257}), filter_status::damaged, "A"},
        {"/LZW", "", codes9({256, 258, 257}), filter_status::damaged, ""},
        {"/LZW", "", codes9({65, 66, 258, 259}), filter_status::ok, "ABABBA"},  // no clear, no EOD
        {"/LZW", "", codes9({65, 258, 257}), filter_status::ok, "AAA"},
        {"/Fl", "<< /Predictor 12 /Columns 5 >>", pdfgen::zcompress(png.substr(0, 6 * 3 + 2)),
         filter_status::damaged, rows.substr(0, 5 * 3 + 1)},
        {"/Fl", "<< /Predictor 12 /Columns 5 >>", pdfgen::zcompress(bad_type), filter_status::damaged,
         rows.substr(0, 10)},
        {"/Fl", "<< /Predictor 12 /Columns 5 >>", pdfgen::zcompress(png + "\n"), filter_status::ok, rows},
        {"/Fl", "<< /Predictor 2 /Columns 3 >>", pdfgen::zcompress("abcdefg"), filter_status::damaged,
         std::string("a\xc3\x26" "d\xc9\x2f" "g", 7)},
        {"/Fl", "<< /Predictor 12 /Columns 2147483647 /Colors 255 /BitsPerComponent 16 >>",
         pdfgen::zcompress(std::string("\x00" "abc", 4)), filter_status::damaged, "abc"},
        {"/Fl", "<< /Predictor 2 /Columns 2147483647 /Colors 255 /BitsPerComponent 1 >>",
         pdfgen::zcompress("abc"), filter_status::damaged, "abc"},
        {"/Fl", "<< /Predictor 12 /Colors 0 >>", pdfgen::zcompress("abc"), filter_status::failed, ""},
        {"/Fl", "<< /Predictor 12 /Columns -4 >>", pdfgen::zcompress("abc"), filter_status::failed, ""},
        {"/Fl", "<< /Predictor 12 /BitsPerComponent 3 >>", pdfgen::zcompress("abc"), filter_status::failed, ""},
        {"/Fl", "<< /Predictor 7 >>", pdfgen::zcompress("abc"), filter_status::failed, ""},
        {"/Fl", "<< /Predictor 1 /Colors 0 >>", pdfgen::zcompress("abc"), filter_status::ok, "abc"},
        {"/Fl", "", "xyz", filter_status::failed, ""},
        {"/Fl", "", "", filter_status::failed, ""},
    };
    for (const auto &c : cases) {
        Decoded d = decode(c.filter, c.parms, c.in);
        EXPECT_EQ(d.st, c.st) << c.filter << " " << c.parms << " [" << c.in << "]";
        EXPECT_EQ(d.out, c.out) << c.filter << " " << c.parms << " [" << c.in << "]";
    }
}

// A Flate stream cut short keeps the bytes decoded before the cut: exactly a
// prefix of the data, and as long as zlib's own output from the same bytes.
// Data rich in zero bytes checks that the kept part is not cut at its last
// nonzero byte.
TEST(FilterDamaged, FlateCutShortKeepsItsStart) {
    const std::string texts[] = {text_of(200000) + random_bytes(3000, 4), random_bytes(300000, 8, 3)};
    for (const std::string &text : texts) {
        for (int level : {1, 9}) {
            std::string z = pdfgen::zcompress(text, level);
            for (size_t cut : {z.size() / 10, z.size() / 2, z.size() - 5}) {
                Decoded d = decode("/Fl", "", z.substr(0, cut));
                EXPECT_EQ(d.st, filter_status::damaged) << cut;
                ASSERT_LE(d.out.size(), text.size());
                EXPECT_GT(d.out.size(), cut) << cut;
                EXPECT_TRUE(text.compare(0, d.out.size(), d.out) == 0) << cut;
#if SHEETLAY_HAVE_ZLIB
                z_stream s{};
                std::string ref(text.size(), '\0');
                ASSERT_EQ(inflateInit(&s), Z_OK);
                s.next_in = reinterpret_cast<Bytef *>(z.data());
                s.avail_in = static_cast<uInt>(cut);
                s.next_out = reinterpret_cast<Bytef *>(ref.data());
                s.avail_out = static_cast<uInt>(ref.size());
                inflate(&s, Z_SYNC_FLUSH);
                EXPECT_EQ(d.out.size(), s.total_out) << "level " << level << " cut " << cut;
                inflateEnd(&s);
#endif
            }
        }
    }
}

TEST(FilterLimit, TooLargeIsToldApartAndNothingPassesTheLimit) {
    std::string zeros(1 << 20, '\0');
    std::string bomb_rl;
    for (int i = 0; i < 1000; ++i) bomb_rl += "\x81Z";
    struct Case {
        const char *filter;
        std::string in;
        uint64_t size;  // decoded size
    } cases[] = {
        {"/AHx", hex_encode(text_of(1000)), 1000},
        {"/A85", std::string(1000, 'z'), 4000},
        {"/A85", a85_encode(text_of(999), false), 999},
        {"/LZW", lzw_encode(zeros, 1), zeros.size()},
        {"/RL", bomb_rl, 128000},
        {"/Fl", pdfgen::zcompress(zeros), zeros.size()},
        {"/Fl", pdfgen::zstored(text_of(5000)), 5000},
    };
    for (const auto &c : cases) {
        for (uint64_t limit : {c.size, c.size - 1, c.size / 3, uint64_t{0}}) {
            Decoded d = decode(c.filter, "", c.in, limit);
            filter_status want = limit >= c.size ? filter_status::ok : filter_status::too_large;
            EXPECT_EQ(d.st, want) << c.filter << " limit " << limit;
            EXPECT_EQ(d.out.size(), want == filter_status::ok ? c.size : 0) << c.filter << " limit " << limit;
            if (want == filter_status::ok) {
                EXPECT_LE(d.capacity, limit) << c.filter;
            }
        }
    }
    // Each step of a chain is held to the limit, not only the last one.
    Decoded d = decode("[/Fl /RL]", "", pdfgen::zcompress(std::string(3000, '\x7f')), 2999);
    EXPECT_EQ(d.st, filter_status::too_large);
}

TEST(FilterParse, FilterAndParmsText) {
    using K = filter_kind;
    struct Case {
        const char *filter, *parms;
        filter_status st;
        std::vector<K> kinds;
        int columns = 1, predictor = 1, at = 0;  // expected /Columns and /Predictor of step `at`
    } cases[] = {
        {"/FlateDecode", "", filter_status::ok, {K::flate}},
        {"/Fl", "<< /Predictor 15 /Colors 3 /Columns 100 >>", filter_status::ok, {K::flate}, 100, 15},
        {"[/A85 /Fl]", "[null << /Predictor 12 /Columns 5 >>]", filter_status::ok, {K::ascii85, K::flate}, 5, 12, 1},
        {"[/AHx/RL]", "", filter_status::ok, {K::ascii_hex, K::run_length}},
        {"[/ASCIIHexDecode /ASCII85Decode /LZWDecode /RunLengthDecode]", "null", filter_status::ok,
         {K::ascii_hex, K::ascii85, K::lzw, K::run_length}},
        {"/Flate#44ecode", "", filter_status::ok, {K::flate}},
        {"", "", filter_status::ok, {}},
        {"null", "", filter_status::ok, {}},
        {"[]", "", filter_status::ok, {}},
        {"[/Fl", "<< /Columns 4", filter_status::ok, {K::flate}, 4},
        {"/Fl", "[<< /Columns 3 >>]", filter_status::ok, {K::flate}, 3},
        {"[/Fl]", "<< /Columns 3 >>", filter_status::ok, {K::flate}, 3},
        {"/Fl", "<< /Foo (a\\)b>c(d)) /Bar << /Columns 99 >> /Baz [1 [2] /Columns 9] /Q <3e3e> /Columns 7 % x\n>>",
         filter_status::ok, {K::flate}, 7},
        {"/Fl", "<< /Predictor 12.0 /Columns -5 >>", filter_status::ok, {K::flate}, -5, 12},
        {"/Fl", "<< /Columns 99999999999 >>", filter_status::ok, {K::flate}, INT32_MAX},
        {"/AHx", "<< /Predictor 3 0 R >>", filter_status::ok, {K::ascii_hex}},
        {"/AHx", "4 0 R", filter_status::ok, {K::ascii_hex}},
        {"[/AHx /Fl]", "[7 0 R << /Columns 2 >>]", filter_status::ok, {K::ascii_hex, K::flate}, 2, 1, 1},
        {"[/AHx /Fl]", "[<< /Columns 2 /Predictor 5 0 R >> << /Columns 3 >>]", filter_status::ok,
         {K::ascii_hex, K::flate}, 2},
        {"/Fl", "<< /Columns 4 0 R >>", filter_status::not_decodable, {}},
        {"/LZW", "<< /EarlyChange 3 0 R >>", filter_status::not_decodable, {}},
        {"[/Fl /Fl]", "[<< /Columns 4 >> 9 0 R]", filter_status::not_decodable, {}},
        {"/Fl", "12 0 R", filter_status::not_decodable, {}},
        {"/DCTDecode", "", filter_status::not_decodable, {}},
        {"[/Fl /DCT]", "", filter_status::not_decodable, {}},
        {"/JPXDecode", "", filter_status::not_decodable, {}},
        {"/CCITTFaxDecode", "", filter_status::not_decodable, {}},
        {"/JBIG2Decode", "", filter_status::not_decodable, {}},
        {"[/Crypt /Fl]", "", filter_status::not_decodable, {}},
        {"/Flatedecode", "", filter_status::not_decodable, {}},
        {"5 0 R", "", filter_status::not_decodable, {}},
        {"[5 0 R]", "", filter_status::not_decodable, {}},
        {"(FlateDecode)", "", filter_status::not_decodable, {}},
        {"[/Fl /Fl /Fl /Fl /Fl /Fl /Fl /Fl /Fl]", "", filter_status::not_decodable, {}},
    };
    for (const auto &c : cases) {
        filter_chain ch;
        std::string f = c.filter, p = c.parms;
        auto st = parse_filter_chain(reinterpret_cast<const u8 *>(f.data()), f.size(),
                                     reinterpret_cast<const u8 *>(p.data()), p.size(), &ch);
        EXPECT_EQ(st, c.st) << f << " | " << p;
        if (st != filter_status::ok) continue;
        ASSERT_EQ(ch.count, static_cast<int>(c.kinds.size())) << f;
        for (int i = 0; i < ch.count; ++i) EXPECT_EQ(ch.step[i].kind, c.kinds[static_cast<size_t>(i)]) << f;
        if (ch.count == 0) continue;
        EXPECT_EQ(ch.step[c.at].parms.columns, c.columns) << f << " | " << p;
        EXPECT_EQ(ch.step[c.at].parms.predictor, c.predictor) << f << " | " << p;
    }
    // Values read in full: every field, and no parameters at all.
    filter_chain ch = chain_of("/LZW", "<< /Predictor 15 /Colors 4 /BitsPerComponent 16 /Columns 9 /EarlyChange 0 >>");
    EXPECT_EQ(ch.step[0].parms.colors, 4);
    EXPECT_EQ(ch.step[0].parms.bits_per_component, 16);
    EXPECT_EQ(ch.step[0].parms.early_change, 0);
    filter_chain none;
    EXPECT_EQ(parse_filter_chain(nullptr, 0, nullptr, 0, &none), filter_status::ok);
    EXPECT_EQ(none.count, 0);
}

// qpdf decodes the same streams on its own: its output must be the data
// the encoders started from, which is also what ours gives.
TEST(FilterQpdf, IndependentDecoderAgrees) {
    REQUIRE_QPDF();
    std::string text = text_of(60000), noise = random_bytes(40000, 5, 5);
    std::string img = random_bytes(3 * 2 * 7 * 50, 6);  // 16-bit RGB, 7 columns, 50 rows
    struct Case {
        const char *filter, *parms;
        std::string data, plain;
    } cases[] = {
        {"/LZWDecode", "<< /EarlyChange 1 >>", lzw_encode(noise, 1), noise},
        {"/LZWDecode", "<< /EarlyChange 0 >>", lzw_encode(noise, 0), noise},
        {"/LZWDecode", "<< /EarlyChange 0 >>", lzw_encode(text, 0, 1000), text},
        {"/RunLengthDecode", "null", rl_encode(noise), noise},
        {"/ASCII85Decode", "null", a85_encode(noise, true), noise},
        {"/ASCIIHexDecode", "null", hex_encode(text), text},
        {"/FlateDecode", "<< /Predictor 15 /Colors 3 /BitsPerComponent 16 /Columns 7 >>",
         pdfgen::zcompress(png_encode(img, 42, 6, {0, 1, 2, 3, 4})), img},
        {"/FlateDecode", "<< /Predictor 2 /Colors 3 /Columns 14 >>",
         pdfgen::zcompress(tiff_encode(img, 3, 8, 14)), img},
    };
    for (const auto &c : cases) {
        Decoded ours = decode(c.filter, c.parms, c.data);
        EXPECT_EQ(ours.st, filter_status::ok) << c.filter << " " << c.parms;
        EXPECT_TRUE(ours.out == c.plain) << c.filter << " " << c.parms;

        pdfgen::PdfBuilder b("%PDF-1.4\n");
        b.add(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.add(2, "<< /Type /Pages /Kids [] /Count 0 >>");
        b.add_stream(4, std::string("/Filter ") + c.filter + " /DecodeParms " + c.parms, c.data);
        std::string path = testtools::write_temp(b.finish("/Root 1 0 R"), "filters");
        auto r = testtools::run_cmd({testtools::qpdf_path(), "--show-object=4", "--filtered-stream-data", path});
        EXPECT_EQ(r.status, 0) << c.filter << " " << c.parms << ": " << r.out.substr(0, 300);
        EXPECT_TRUE(r.out == c.plain) << c.filter << " " << c.parms << " qpdf size " << r.out.size();
        testtools::remove_file(path);
    }
}

}  // namespace
