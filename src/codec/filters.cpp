// Stream filter decoders and the chain that applies them in order.
//
// Each decoder appends to a growing buffer that refuses to pass the caller's
// limit, so a stream that expands without end (an LZW or run-length bomb, a
// Flate stream of zeros) costs at most `limit` bytes and is reported as too
// large, which the caller tells apart from damage. The capacity grows
// geometrically but is never reserved beyond the limit.
//
// Damage follows what viewers do with the same bytes: decoding stops at the
// first byte that cannot belong to the encoding and keeps what came before;
// a missing end marker is no damage, since many producers omit it. The
// predictors of LZW and Flate undo their row filters in place (a PNG row
// shrinks by its filter byte, a TIFF row keeps its size), so they need no
// second buffer however wide /Columns claims the rows are.
#include "codec/filters.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "codec/inflate.h"

namespace sheetlay {
namespace {

// The output of one step: bytes are added only while the total stays within
// the limit.
class sink {
public:
    sink(std::vector<unsigned char> *v, uint64_t limit, uint64_t hint) : v_(v) {
        limit_ = limit > SIZE_MAX / 2 ? SIZE_MAX / 2 : static_cast<size_t>(limit);
        v_->clear();
        v_->reserve(static_cast<size_t>(std::min<uint64_t>(hint, limit_)));
    }
    // Room for n more bytes; false when they would pass the limit.
    bool room(size_t n) {
        size_t have = v_->size();
        if (n > limit_ - have) return false;
        if (n > v_->capacity() - have) {
            size_t cap = v_->capacity();
            size_t want = std::max({have + n, cap > limit_ / 2 ? limit_ : cap * 2, size_t{256}});
            v_->reserve(std::min(want, limit_));
        }
        return true;
    }
    bool put(unsigned char c) {
        if (v_->size() >= limit_) return false;
        if (v_->size() == v_->capacity()) room(1);
        v_->push_back(c);
        return true;
    }
    // n more bytes to be written by the caller, or nullptr past the limit.
    unsigned char *extend(size_t n) {
        if (!room(n)) return nullptr;
        size_t have = v_->size();
        v_->resize(have + n);
        return v_->data() + have;
    }
    size_t size() const { return v_->size(); }

private:
    std::vector<unsigned char> *v_;
    size_t limit_;
};

bool is_white(unsigned char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two hex digits a byte, white space anywhere, '>' at the end. A final lone
// digit stands for its byte's high half.
filter_status ascii_hex(const unsigned char *s, size_t len, sink &out) {
    int high = -1;
    filter_status st = filter_status::ok;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = s[i];
        if (is_white(c)) continue;
        if (c == '>') break;
        int d = hex_value(c);
        if (d < 0) {
            st = filter_status::damaged;
            break;
        }
        if (high < 0) {
            high = d;
        } else {
            if (!out.put(static_cast<unsigned char>(high << 4 | d))) return filter_status::too_large;
            high = -1;
        }
    }
    if (high >= 0 && !out.put(static_cast<unsigned char>(high << 4))) return filter_status::too_large;
    return st;
}

// Groups of five base-85 digits ('!' to 'u') make four bytes, 'z' four zero
// bytes, "~>" ends the data. A final group of n digits (2 to 4) is padded
// with 'u' and gives n - 1 bytes. Some producers open with "<~"; it is
// skipped.
filter_status ascii85(const unsigned char *s, size_t len, sink &out) {
    size_t i = 0;
    while (i < len && is_white(s[i])) ++i;
    if (len - i >= 2 && s[i] == '<' && s[i + 1] == '~') i += 2;
    uint64_t v = 0;
    int n = 0;
    for (; i < len; ++i) {
        unsigned char c = s[i];
        if (is_white(c)) continue;
        if (c == '~') break;
        if (c == 'z' && n == 0) {
            unsigned char *p = out.extend(4);
            if (!p) return filter_status::too_large;
            std::memset(p, 0, 4);
            continue;
        }
        if (c < '!' || c > 'u') {
            // The digits of a group cut by a foreign byte are dropped.
            return filter_status::damaged;
        }
        v = v * 85 + (c - '!');
        if (++n < 5) continue;
        if (v > 0xffffffffu) return filter_status::damaged;
        unsigned char *p = out.extend(4);
        if (!p) return filter_status::too_large;
        for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (24 - 8 * k));
        v = 0;
        n = 0;
    }
    if (n == 1) return filter_status::damaged;  // one digit cannot hold a byte
    if (n > 1) {
        for (int k = n; k < 5; ++k) v = v * 85 + 84;
        if (v > 0xffffffffu) return filter_status::damaged;
        unsigned char *p = out.extend(static_cast<size_t>(n - 1));
        if (!p) return filter_status::too_large;
        for (int k = 0; k < n - 1; ++k) p[k] = static_cast<unsigned char>(v >> (24 - 8 * k));
    }
    return filter_status::ok;
}

// A length byte L: 0..127 copies the next L + 1 bytes, 129..255 repeats the
// next byte 257 - L times, 128 ends the data.
filter_status run_length(const unsigned char *s, size_t len, sink &out) {
    size_t i = 0;
    while (i < len) {
        unsigned L = s[i++];
        if (L == 128) break;
        if (L < 128) {
            size_t n = L + 1;
            bool cut = n > len - i;
            if (cut) n = len - i;
            unsigned char *p = out.extend(n);
            if (!p) return filter_status::too_large;
            if (n) std::memcpy(p, s + i, n);
            if (cut) return filter_status::damaged;
            i += n;
        } else {
            if (i == len) return filter_status::damaged;
            unsigned char *p = out.extend(257 - L);
            if (!p) return filter_status::too_large;
            std::memset(p, s[i++], 257 - L);
        }
    }
    return filter_status::ok;
}

// Codes of 9 to 12 bits, most significant bit first; 256 clears the table,
// 257 ends the data, new entries start at 258. With /EarlyChange 1 (the
// default) the code width grows one code before the table needs it. A full
// table stays as it is until the next clear code, and a code the table
// cannot have yet is damage.
filter_status lzw(const unsigned char *s, size_t len, int32_t early_change, sink &out) {
    const unsigned early = early_change != 0 ? 1 : 0;
    struct table {
        uint16_t prefix[4096];
        uint16_t length[4096];
        unsigned char suffix[4096];
        unsigned char first[4096];
    };
    std::vector<table> holder(1);  // 24 KiB, kept off the stack
    table &t = holder[0];
    for (unsigned k = 0; k < 256; ++k) {
        t.prefix[k] = 0;
        t.length[k] = 1;
        t.suffix[k] = static_cast<unsigned char>(k);
        t.first[k] = static_cast<unsigned char>(k);
    }
    unsigned next = 258, width = 9;
    int prev = -1;
    uint32_t bits = 0;
    unsigned nbits = 0;
    size_t i = 0;
    for (;;) {
        while (nbits < width && i < len) {
            bits = bits << 8 | s[i++];
            nbits += 8;
        }
        if (nbits < width) break;  // the padding of the last byte
        unsigned code = (bits >> (nbits - width)) & ((1u << width) - 1);
        nbits -= width;
        if (code == 256) {
            next = 258;
            width = 9;
            prev = -1;
            continue;
        }
        if (code == 257) break;
        if (prev < 0) {
            if (code > 255) return filter_status::damaged;
            if (!out.put(static_cast<unsigned char>(code))) return filter_status::too_large;
            prev = static_cast<int>(code);
            continue;
        }
        unsigned p = static_cast<unsigned>(prev);
        if (code > next || (code == next && next == 4096)) return filter_status::damaged;
        // The string of `code`, or for the code being defined right now,
        // the previous string and its own first byte.
        unsigned src_code = code < next ? code : p;
        size_t n = t.length[src_code] + (code == next ? 1u : 0u);
        unsigned char *w = out.extend(n);
        if (!w) return filter_status::too_large;
        size_t k = t.length[src_code];
        if (code == next) w[k] = t.first[p];
        for (unsigned c = src_code; k > 0; c = t.prefix[c]) w[--k] = t.suffix[c];
        if (next < 4096) {
            t.prefix[next] = static_cast<uint16_t>(p);
            t.suffix[next] = t.first[code < next ? code : p];
            t.first[next] = t.first[p];
            t.length[next] = static_cast<uint16_t>(t.length[p] + 1);
            ++next;
            unsigned reach = next + early;
            width = reach >= 2048 ? 12 : reach >= 1024 ? 11 : reach >= 512 ? 10 : 9;
        }
        prev = static_cast<int>(code);
    }
    return filter_status::ok;
}

// An output area in heap memory that is never filled in advance: it grows
// geometrically, never past `top`.
class flate_area final : public inflate_area {
public:
    explicit flate_area(uint64_t top) : top_(top) {}
    flate_area(const flate_area &) = delete;
    flate_area &operator=(const flate_area &) = delete;
    ~flate_area() { std::free(data); }
    bool grow(uint64_t need) override {
        if (need > top_) return false;
        uint64_t want = std::max(need, std::min(cap > top_ / 4 ? top_ : cap * 4, top_));
        void *p = std::realloc(data, static_cast<size_t>(want));
        if (!p) throw std::bad_alloc();  // out of memory, not a stream too large
        data = static_cast<unsigned char *>(p);
        cap = want;
        return true;
    }

private:
    uint64_t top_;
};

// Flate through the library's decoder, which writes into an area that starts
// at eight times the input and grows (fourfold) whenever the decoder runs
// short of room, so the data is decoded once whatever its expansion. Deflate
// cannot expand more than 1032 to 1, so the area never grows past that.
filter_status flate(const unsigned char *s, size_t len, uint64_t limit, std::vector<unsigned char> *v) {
    v->clear();
    // A frame the decoder refuses (not deflate, a preset dictionary) fails
    // in any area.
    if (len < 2 || (s[0] & 0x0f) != 8 || (s[1] & 0x20) != 0) return filter_status::failed;
    const uint64_t hard_max = kInflateMaxOut;
    uint64_t most = len >= hard_max / 1032 ? hard_max : std::min<uint64_t>(1032 * uint64_t{len} + 4096, hard_max);
    uint64_t cap_limit = std::min<uint64_t>(limit, SIZE_MAX / 2);
    uint64_t top = std::min(most, cap_limit);
    // A lack of room in the largest area means too large when that area is
    // the caller's limit or the decoder's own; at the expansion bound it
    // cannot happen to deflate data.
    bool limited = top == cap_limit || top == hard_max;
    uint64_t first = len >= top / 8 ? top : std::min<uint64_t>(8 * uint64_t{len} + 4096, top);
    flate_area area(top);
    if (first > 0 && !area.grow(first)) return filter_status::too_large;
    uint64_t n = 0, written = 0;
    int room = 0;
    int32_t rc = inflate_decompress_into(s, len, &area, &n, &room, &written);
    if (rc != 0 && room) return limited ? filter_status::too_large : filter_status::failed;
    // The data may end before its final block: what the decoder wrote is
    // then the true start of the data, kept as damaged data is.
    uint64_t keep = rc == 0 ? n : written;
    if (keep > 0) {
        v->reserve(static_cast<size_t>(keep));
        v->assign(area.data, area.data + keep);
    }
    if (rc == 0) return filter_status::ok;
    return written > 0 ? filter_status::damaged : filter_status::failed;
}

// ---------------------------------------------------------------------------
// Predictors

struct row_shape {
    size_t row_bytes;  // bytes of one row of samples
    size_t pixel;      // bytes of one pixel, at least 1 (the PNG filters' step)
};

// False when the parameters make no sense. Products are done in 64 bits
// from bounded factors, so no /Columns can overflow them.
bool shape_of(const filter_parms &p, row_shape *r) {
    if (p.colors < 1 || p.colors > 255 || p.columns < 1) return false;
    int b = p.bits_per_component;
    if (b != 1 && b != 2 && b != 4 && b != 8 && b != 16) return false;
    uint64_t pixel_bits = static_cast<uint64_t>(p.colors) * static_cast<uint64_t>(b);
    uint64_t row_bits = pixel_bits * static_cast<uint64_t>(p.columns);  // < 2^44
    uint64_t row = (row_bits + 7) / 8;
    if (row > SIZE_MAX / 2) return false;
    r->row_bytes = static_cast<size_t>(row);
    r->pixel = static_cast<size_t>((pixel_bits + 7) / 8);
    return true;
}

int paeth(int a, int b, int c) {
    int p = a + b - c;
    int pa = p > a ? p - a : a - p;
    int pb = p > b ? p - b : b - p;
    int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// PNG rows: a filter byte (0 None, 1 Sub, 2 Up, 3 Average, 4 Paeth) and the
// row, each byte predicted from the byte one pixel to the left and the byte
// above. Decoded in place: row r goes to r x row_bytes, which is before its
// own input at r x (row_bytes + 1) + 1, and never reaches back to the row
// above, which the next row still reads.
filter_status png_rows(std::vector<unsigned char> *v, const row_shape &r) {
    unsigned char *d = v->data();
    const size_t n = v->size(), rb = r.row_bytes, bpp = r.pixel;
    size_t in = 0, out = 0, above = 0;
    bool first = true;
    filter_status st = filter_status::ok;
    while (in < n) {
        unsigned type = d[in++];
        size_t avail = std::min(rb, n - in);
        if (avail == 0) break;  // a stray byte after the last row
        if (type > 4) {
            st = filter_status::damaged;
            break;
        }
        for (size_t i = 0; i < avail; ++i) {
            int x = d[in + i];
            int a = i >= bpp ? d[out + i - bpp] : 0;
            int b = first ? 0 : d[above + i];
            int c = (i >= bpp && !first) ? d[above + i - bpp] : 0;
            int pred = 0;
            switch (type) {
                case 1: pred = a; break;
                case 2: pred = b; break;
                case 3: pred = (a + b) / 2; break;
                case 4: pred = paeth(a, b, c); break;
                default: break;
            }
            d[out + i] = static_cast<unsigned char>(x + pred);
        }
        above = out;
        first = false;
        in += avail;
        out += avail;
        if (avail < rb) {
            st = filter_status::damaged;  // the last row is cut short
            break;
        }
    }
    v->resize(out);
    return st;
}

// TIFF predictor 2: each sample is the difference from the same component
// of the pixel to its left, within a row; samples of 1 to 16 bits, packed
// most significant bit first, 16-bit ones big-endian.
filter_status tiff_rows(std::vector<unsigned char> *v, const filter_parms &p, const row_shape &r) {
    unsigned char *d = v->data();
    const size_t n = v->size(), rb = r.row_bytes;
    const unsigned bpc = static_cast<unsigned>(p.bits_per_component);
    const size_t colors = static_cast<size_t>(p.colors);
    const uint64_t samples = uint64_t{colors} * static_cast<uint64_t>(p.columns);
    for (size_t row = 0; row < n; row += rb) {
        unsigned char *q = d + row;
        size_t avail = std::min(rb, n - row);
        if (bpc == 8) {
            for (size_t i = colors; i < avail; ++i) q[i] = static_cast<unsigned char>(q[i] + q[i - colors]);
        } else if (bpc == 16) {
            size_t m = avail / 2;
            for (size_t i = colors; i < m; ++i) {
                unsigned s = (unsigned{q[2 * i]} << 8 | q[2 * i + 1]) +
                             (unsigned{q[2 * (i - colors)]} << 8 | q[2 * (i - colors) + 1]);
                q[2 * i] = static_cast<unsigned char>(s >> 8);
                q[2 * i + 1] = static_cast<unsigned char>(s);
            }
        } else {
            const unsigned mask = (1u << bpc) - 1;
            size_t m = static_cast<size_t>(std::min<uint64_t>(samples, uint64_t{avail} * 8 / bpc));
            auto get = [&](size_t k) {
                size_t bit = k * bpc;
                return (unsigned{q[bit / 8]} >> (8 - bpc - bit % 8)) & mask;
            };
            for (size_t k = colors; k < m; ++k) {
                unsigned s = (get(k) + get(k - colors)) & mask;
                size_t bit = k * bpc;
                unsigned shift = static_cast<unsigned>(8 - bpc - bit % 8);
                q[bit / 8] = static_cast<unsigned char>((q[bit / 8] & ~(mask << shift)) | s << shift);
            }
        }
        if (avail < rb) return filter_status::damaged;
    }
    return filter_status::ok;
}

filter_status unpredict(std::vector<unsigned char> *v, const filter_parms &p) {
    if (p.predictor <= 1) return filter_status::ok;
    row_shape r;
    if (!shape_of(p, &r)) return filter_status::failed;
    if (p.predictor == 2) return tiff_rows(v, p, r);
    if (p.predictor >= 10 && p.predictor <= 15) return png_rows(v, r);
    return filter_status::failed;
}

bool worse(filter_status a, filter_status b) { return static_cast<int>(a) > static_cast<int>(b); }

filter_status run_step(const filter_step &step, const unsigned char *s, size_t len, uint64_t limit,
                       std::vector<unsigned char> *v) {
    const filter_parms &p = step.parms;
    // Parameters a predictor cannot use fail before any decoding is spent.
    if ((step.kind == filter_kind::lzw || step.kind == filter_kind::flate) && p.predictor > 1) {
        row_shape r;
        if (!shape_of(p, &r) || (p.predictor != 2 && (p.predictor < 10 || p.predictor > 15)))
            return filter_status::failed;
    }
    filter_status st;
    switch (step.kind) {
        case filter_kind::ascii_hex: {
            sink out(v, limit, len / 2 + 1);
            return ascii_hex(s, len, out);
        }
        case filter_kind::ascii85: {
            sink out(v, limit, len / 5 * 4 + 4);
            return ascii85(s, len, out);
        }
        case filter_kind::run_length: {
            sink out(v, limit, 2 * static_cast<uint64_t>(len));
            return run_length(s, len, out);
        }
        case filter_kind::lzw: {
            sink out(v, limit, 3 * static_cast<uint64_t>(len));
            st = lzw(s, len, p.early_change, out);
            break;
        }
        case filter_kind::flate: st = flate(s, len, limit, v); break;
        default: return filter_status::not_decodable;
    }
    if (st == filter_status::too_large || st == filter_status::failed) return st;
    filter_status ps = unpredict(v, p);
    return worse(ps, st) ? ps : st;
}

}  // namespace

filter_status decode_filters(const filter_chain &chain, const unsigned char *src, size_t len,
                             uint64_t limit, std::vector<unsigned char> *out) {
    if (chain.count < 0 || chain.count > kMaxFilterChain) {
        out->clear();
        return filter_status::not_decodable;
    }
    if (chain.count == 0) {  // stored bytes, still held to the limit
        if (len > limit) {
            out->clear();
            return filter_status::too_large;
        }
        out->assign(src, src + len);
        return filter_status::ok;
    }
    // Two buffers in turn; *out is written last, so src may lie in it.
    std::vector<unsigned char> a, b;
    const unsigned char *cur = src;
    size_t cur_len = len;
    bool damaged = false;
    for (int k = 0; k < chain.count; ++k) {
        filter_status st = run_step(chain.step[k], cur, cur_len, limit, &b);
        if (st == filter_status::damaged) {
            damaged = true;
        } else if (st != filter_status::ok) {
            out->clear();
            return st;
        }
        std::swap(a, b);
        cur = a.data();
        cur_len = a.size();
    }
    *out = std::move(a);
    return damaged ? filter_status::damaged : filter_status::ok;
}

}  // namespace sheetlay
