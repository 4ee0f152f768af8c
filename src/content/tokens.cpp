// Content stream tokens (see tokens.h).
#include "content/tokens.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "pdf/bytescan.h"
#include "pdf/lexer.h"
#include "pdf/literal.h"

namespace sheetlay::content {

namespace {

// Byte classes: what may start or end a token, looked up in one step.
enum : uint8_t { kRegular = 0, kSpace = 1, kDelim = 2 };

struct class_table {
    uint8_t c[256];
    constexpr class_table() : c{} {
        for (unsigned char w : {0, 9, 10, 12, 13, 32}) c[w] = kSpace;
        for (unsigned char d : {'(', ')', '<', '>', '[', ']', '{', '}', '/', '%'}) c[d] = kDelim;
    }
};
constexpr class_table kClass;

// What the first byte of a token starts: an operator (or keyword), white
// space, a number (digits, signs, the point), a name, a literal string, an
// array, a hex string or dictionary, a comment, or a stray delimiter.
enum : uint8_t { tWord = 0, tSpace, tNumber, tName, tLiteral, tArray, tAngle, tComment, tStray };
struct start_table {
    uint8_t c[256];
    constexpr start_table() : c{} {
        for (int i = 0; i < 256; ++i) c[i] = kClass.c[i] == kSpace ? tSpace : kClass.c[i] == kDelim ? tStray : tWord;
        for (unsigned char d : {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '-', '.'}) c[d] = tNumber;
        c['/'] = tName;
        c['('] = tLiteral;
        c['['] = tArray;
        c['<'] = tAngle;
        c['%'] = tComment;
    }
};
constexpr start_table kStart;

inline bool is_delim(unsigned char c) { return kClass.c[c] == kDelim; }
inline bool is_regular(unsigned char c) { return kClass.c[c] == kRegular; }
inline bool is_space(unsigned char c) { return kClass.c[c] == kSpace; }

// Fast readers for what text showing is made of: literal and hex strings,
// and arrays of strings and numbers (TJ). They fill a value in place, so
// its buffers are reused from operator to operator; anything else (nested
// arrays, names, dictionaries, damage) is left to the value parser. Both
// decode strings as that parser does (literals by the same decoder).
//
// Most strings hold none of '(' '\\' CR before their ')', and decode to
// their own bytes: found by a block search and copied whole; any other
// goes through the decoder.
inline bool read_literal(const unsigned char *t, size_t len, size_t *pos, std::string *s) {
    const unsigned char *b = t + *pos + 1, *e = t + len;
    const unsigned char *q = first_of<')', '(', '\\', '\r'>(b, e);
    if (q < e && *q == ')') {
        s->assign(reinterpret_cast<const char *>(b), static_cast<size_t>(q - b));
        *pos = static_cast<size_t>(q + 1 - t);
        return true;
    }
    return pdf::decode_literal(t, len, pos, s);
}

// The place value of each digit after the point, 0.1 divided by ten again
// and again: the very doubles the running division gives, taken from a
// table instead of a division per digit.
struct scale_table {
    double v[24];
    constexpr scale_table() : v{} {
        double s = 0.1;
        for (double &x : v) {
            x = s;
            s /= 10;
        }
    }
};
constexpr scale_table kScale;

// Each digit times its place value, rounded once as the product of the
// digit and the place value is: the term the running sum adds, looked up.
struct term_table {
    double v[24][10];
    constexpr term_table() : v{} {
        for (int k = 0; k < 24; ++k)
            for (int d = 0; d < 10; ++d) v[k][d] = d * kScale.v[k];
    }
};
constexpr term_table kTerm;

// The first six rows again, indexed by the digit's byte itself ('0' is 48),
// which spares taking '0' off and widening the index for every place.
struct byte_term_table {
    double v[6][64];
    constexpr byte_term_table() : v{} {
        for (int k = 0; k < 6; ++k)
            for (int d = 0; d < 10; ++d) v[k]['0' + d] = kTerm.v[k][d];
    }
};
constexpr byte_term_table kByteTerm;

// Eight bytes at t as one word, the first byte lowest.
inline uint64_t load8(const unsigned char *t) {
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t x;
        std::memcpy(&x, t, 8);
        return x;
    } else {
        uint64_t x = 0;
        for (int k = 7; k >= 0; --k) x = x << 8 | t[k];
        return x;
    }
}

#if defined(__GNUC__)
#define SHEETLAY_HOT_INLINE inline __attribute__((always_inline))
#define SHEETLAY_UNROLL _Pragma("GCC unroll 8")
#define SHEETLAY_LAMBDA_INLINE __attribute__((always_inline))
#else
#define SHEETLAY_LAMBDA_INLINE
#define SHEETLAY_HOT_INLINE inline
#define SHEETLAY_UNROLL
#endif

// Bytes a sign takes at the start of a number: one for '+' or '-'.
struct sign_table {
    uint8_t c[256];
    constexpr sign_table() : c{} { c['+'] = c['-'] = 1; }
};
constexpr sign_table kSign;

// A number at t[*pos]: signs (each '-' turns it), digits, one point and
// digits, summed digit by digit in doubles (so a value beyond a double's
// range becomes infinite and is caught where it is used). Sets *any when
// a digit was seen; leaves *pos on the first byte after the number.
inline double read_number_slow(const unsigned char *t, size_t len, size_t *pos, bool *any) {
    size_t p = *pos;
    bool neg = false;
    while (p < len && (t[p] == '+' || t[p] == '-')) neg = t[p++] == '-' ? !neg : neg;
    const size_t first = p;
    double v = 0;
    while (p < len && static_cast<unsigned>(t[p] - '0') < 10) v = v * 10 + (t[p++] - '0');
    bool seen = p > first;
    if (p < len && t[p] == '.') {
        ++p;
        // The first 24 places from the table (all a content stream ever
        // writes), any further ones by dividing on.
        const size_t frac = p, table_end = len - p > 24 ? p + 24 : len;
        for (; p < table_end && static_cast<unsigned>(t[p] - '0') < 10; ++p) v += kTerm.v[p - frac][t[p] - '0'];
        if (p == frac + 24) {
            double scale = kScale.v[23] / 10;
            for (; p < len && static_cast<unsigned>(t[p] - '0') < 10; ++p) {
                v += (t[p] - '0') * scale;
                scale /= 10;
            }
        }
        seen = seen || p > frac;
    }
    *pos = p;
    *any = seen;
    return neg ? -v : v;
}

// Per byte of x, its high bit where the byte is not a digit: bytes from
// ':' up (and those with their own high bit) set it on adding 0x46, bytes
// below '0' clear it on taking 0x30 from the byte with its high bit set.
// The add carries out of a byte only from a byte of 0xBA or more, itself
// not a digit, and so disturbs nothing below the first non-digit after it.
inline uint64_t nondigits(uint64_t x) {
    constexpr uint64_t hi = 0x8080808080808080ull;
    return ((x + 0x4646464646464646ull) | x | ~((x | hi) - 0x3030303030303030ull)) & hi;
}

// The same for the numbers pages are made of ("12", "0.5", "595.276"), d
// just past any sign: where eight bytes follow and the number ends within
// them, one word tells where its digits and its point are, with no look at
// a byte on its own. The whole part is summed as an integer (below 10^7,
// so the very double the running sum gives) and the places after the point
// are added as terms from the table in the running sum's order: every value
// is the same double. False, with nothing written, for anything else (too
// long, near the end of the data, more signs, no digit), which the
// byte-by-byte reading above takes.
SHEETLAY_HOT_INLINE bool short_number(const unsigned char *d, const unsigned char *e, double *out,
                                      const unsigned char **end) {
    if (e - d < 8) [[unlikely]]
        return false;
    const uint64_t x = load8(d);
    uint64_t bad = nondigits(x);
    if (!bad) [[unlikely]]
        return false;
    const unsigned whole = static_cast<unsigned>(std::countr_zero(bad)) >> 3;
    // The digits themselves are read from the data (within the eight
    // bytes), each loop unrolled: at most seven digits before or after the
    // point.
    uint32_t i = 0;
    SHEETLAY_UNROLL
    for (unsigned k = 0; k < 7; ++k) {
        if (k >= whole) break;
        i = i * 10 + (d[k] - '0');
    }
    double v = static_cast<double>(i);
    unsigned stop = whole;
    if (d[whole] == '.') {
        bad &= bad - 1;
        if (!bad) [[unlikely]]
            return false;
        stop = static_cast<unsigned>(std::countr_zero(bad)) >> 3;
        if (stop == 1) [[unlikely]]
            return false;  // "." alone
        // The places from the word itself, shifted down to its first.
        const unsigned places = stop - whole - 1;
        const uint64_t f = x >> (8 * whole + 8);
        SHEETLAY_UNROLL
        for (unsigned k = 0; k < 6; ++k) {
            if (k >= places) break;
            v += kByteTerm.v[k][(f >> (8 * k)) & 63];
        }
    } else if (whole == 0) [[unlikely]] {
        return false;  // more signs, or no number
    }
    *out = v;
    *end = d + stop;
    return true;
}

// A number at q, read on to its end (q is left there); false when it has no
// digit.
SHEETLAY_HOT_INLINE bool read_number(const unsigned char *&q, const unsigned char *e, double *out) {
    const bool neg = *q == '-';  // the caller saw a byte that starts a number
    double v;
    if (short_number(q + kSign.c[*q], e, &v, &q)) [[likely]] {
        *out = neg ? -v : v;
        return true;
    }
    bool any = false;
    size_t pos = 0;
    *out = read_number_slow(q, static_cast<size_t>(e - q), &pos, &any);
    q += pos;
    return any;
}

// Hex digit values, 16 for white space, 17 for anything else.
struct hex_table {
    uint8_t c[256];
    constexpr hex_table() : c{} {
        for (int i = 0; i < 256; ++i) c[i] = kClass.c[i] == kSpace ? 16 : 17;
        for (int i = 0; i < 10; ++i) c['0' + i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 6; ++i) c['a' + i] = c['A' + i] = static_cast<uint8_t>(10 + i);
    }
};
constexpr hex_table kHex;

bool read_hex(const unsigned char *t, size_t len, size_t *pos, std::string *s) {
    size_t p = *pos + 1;  // '<'
    s->clear();
    int hi = -1;
    while (p < len) {
        const unsigned char c = t[p++];
        if (c == '>') {
            if (hi >= 0) s->push_back(static_cast<char>(hi * 16));
            *pos = p;
            return true;
        }
        const int v = kHex.c[c];
        if (v == 16) continue;
        if (v == 17) return false;
        if (hi < 0) {
            hi = v;
        } else {
            s->push_back(static_cast<char>(hi * 16 + v));
            hi = -1;
        }
    }
    return false;
}

void set_string(pdf::value *v) {
    v->k = pdf::kind::string;
    v->items.clear();
}

// An array of strings and numbers only; false (nothing consumed) otherwise.
SHEETLAY_HOT_INLINE bool read_text_array(const unsigned char *t, size_t len, size_t *pos, pdf::value *v) {
    size_t p = *pos + 1;  // '['
    size_t n = 0;
    std::vector<pdf::value> &items = v->items;
    size_t have = items.size();
    v->k = pdf::kind::array;
    v->s.clear();
    while (p < len) {
        const unsigned char c = t[p];
        const uint8_t k = kStart.c[c];
        if (k == tSpace) {
            ++p;
            continue;
        }
        if (c == ']') {
            items.resize(n);
            *pos = p + 1;
            return true;
        }
        if (n == have) {
            if (n >= 1u << 20) return false;
            items.emplace_back();
            have = items.size();
        }
        pdf::value &it = items[n];
        if (k == tNumber) {
            double x;
            const unsigned char *q = t + p;
            const bool any = read_number(q, t + len, &x);
            p = static_cast<size_t>(q - t);
            if (!any || (p < len && is_regular(t[p]))) return false;
            it.k = pdf::kind::real;
            it.r = x;
            it.s.clear();
            it.items.clear();
            ++n;
            continue;
        }
        if (k == tLiteral) {
            if (!read_literal(t, len, &p, &it.s)) return false;
        } else if (k == tAngle && !(p + 1 < len && t[p + 1] == '<')) {
            if (!read_hex(t, len, &p, &it.s)) return false;
        } else {
            return false;
        }
        set_string(&it);
        ++n;
    }
    return false;
}

// An operator of one to three bytes, kept as four bytes with zeros after it.
inline void store_short_op(char *op, const unsigned char *s, size_t w) {
    op[0] = static_cast<char>(s[0]);
    op[1] = w > 1 ? static_cast<char>(s[1]) : 0;
    op[2] = w > 2 ? static_cast<char>(s[2]) : 0;
    op[3] = 0;
}

}  // namespace

double token_reader::num_back(size_t from_end, double def) const {
    if (from_end >= n_) return def;
    const operand &o = ops_[n_ - 1 - from_end];
    return o.kind == operand::number ? o.num : def;
}

operand &token_reader::grow() {
    if (n_ >= static_cast<size_t>(max_ops_)) throw stop{};
    if (n_ == ops_.size()) ops_.emplace_back();
    room_ = std::min(ops_.size(), static_cast<size_t>(max_ops_));
    return ops_[n_++];
}

// The loop keeps its position, work count, next operand and operand count
// in locals (the stores a member or a counter behind a pointer would need
// could alias the data bytes, and a local whose address is taken lives in
// memory) and writes them back wherever it leaves: on returning, and before
// each stop (after which the reader is not used, but its state stays whole).
// The count is kept beside the pointer, which spares a division by the
// operand's size on every return.
bool token_reader::next() {
    const unsigned char *q = t_ + pos_;
    const unsigned char *const e = t_ + len_;
    int64_t work = *work_;
    operand *o = ops_.data();  // the next operand to fill
    size_t n = 0;              // and how many come before it
    size_t room = room_;       // operands that fit without grow()
    auto leave = [&] {
        pos_ = static_cast<size_t>(q - t_);
        *work_ = work;
        n_ = n;
    };
    auto push = [&]() SHEETLAY_LAMBDA_INLINE -> operand & {
        if (n < room) [[likely]] {
            ++n;
            return *o++;
        }
        leave();
        operand &g = grow();
        n = n_;
        o = ops_.data() + n_;
        room = room_;
        return g;
    };
    while (q < e) {
        const unsigned char c = *q;
        const uint8_t cls = kStart.c[c];
        if (cls == tSpace) {
            ++q;
            continue;
        }
        if (--work < 0) [[unlikely]] {
            leave();
            throw stop{};
        }
        if (cls == tNumber) {
            double v;
            if (!read_number(q, e, &v) && q < e && is_regular(*q)) {
                // "-" or "." followed by letters: a damaged keyword.
                while (q < e && is_regular(*q)) ++q;
                continue;
            }
            operand &n = push();
            n.kind = operand::number;
            n.num = v;
            // Operands are mostly parted by one space: passed here rather
            // than by another turn of the loop.
            if (q < e && *q == ' ') ++q;
            continue;
        }
        if (cls == tWord) {
            // Operators have one to three letters: where four bytes remain,
            // the end is found by looking at the next three, no count
            // checked, and the operator taken as one word.
            const unsigned char *const s = q;
            size_t w;
            if (e - s >= 4) [[likely]] {
                w = !is_regular(s[1]) ? 1 : !is_regular(s[2]) ? 2 : !is_regular(s[3]) ? 3 : 4;
                q = s + w;
                if (w < 4) {
                    if constexpr (std::endian::native == std::endian::little) {
                        uint32_t word;
                        std::memcpy(&word, s, 4);
                        word &= 0xFFFFFFFFu >> (8 * (4 - w));
                        std::memcpy(op_, &word, 4);
                    } else {
                        store_short_op(op_, s, w);
                    }
                    leave();
                    return true;
                }
            }
            while (q < e && is_regular(*q)) ++q;
            w = static_cast<size_t>(q - s);
            if (w <= 3) {
                store_short_op(op_, s, w);
                leave();
                return true;
            }
            if (w == 4 && std::memcmp(s, "true", 4) == 0) {
                operand &b = push();
                b.kind = operand::other;
                b.v = pdf::value::make_bool(true);
            } else if (w == 5 && std::memcmp(s, "false", 5) == 0) {
                operand &b = push();
                b.kind = operand::other;
                b.v = pdf::value::make_bool(false);
            } else if (w == 4 && std::memcmp(s, "null", 4) == 0) {
                operand &b = push();
                b.kind = operand::other;
                b.v = pdf::value::make_null();
            } else {
                std::memcpy(op_, "?\0\0", 4);  // an operator this reader does not tell apart
                leave();
                return true;
            }
            continue;
        }
        switch (cls) {
            case tName: {
                const unsigned char *const s = q + 1;
                bool escaped = false;
                q = s;
                while (q < e && is_regular(*q)) escaped |= *q++ == '#';
                operand &m = push();
                m.kind = operand::text_name;
                if (escaped) {
                    pdf::value v;
                    int32_t end = 0;
                    if (pdf::parse_value(t_, static_cast<int32_t>(len_), static_cast<int32_t>(s - 1 - t_), &v, &end) &&
                        v.is_name())
                        m.name = std::move(v.s);
                    else
                        m.name.assign(reinterpret_cast<const char *>(s), static_cast<size_t>(q - s));
                } else {
                    m.name.assign(reinterpret_cast<const char *>(s), static_cast<size_t>(q - s));
                }
                continue;
            }
            case tComment:
                while (q < e && *q != '\n' && *q != '\r') ++q;
                continue;
            case tLiteral:
            case tArray:
            case tAngle: {
                operand &m = push();
                m.kind = operand::other;
                const unsigned char *const t = t_;
                const size_t len = len_, p = static_cast<size_t>(q - t);
                size_t r = p;
                bool fast = false;
                if (cls == tLiteral) {
                    fast = read_literal(t, len, &r, &m.v.s);
                    if (fast) set_string(&m.v);
                } else if (cls == tAngle) {
                    if (!(p + 1 < len && t[p + 1] == '<')) {
                        fast = read_hex(t, len, &r, &m.v.s);
                        if (fast) set_string(&m.v);
                    }
                } else {
                    fast = read_text_array(t, len, &r, &m.v);
                }
                if (fast) {
                    work -= static_cast<int64_t>((r - p) / 16);
                    q = t + r;
                    continue;
                }
                int32_t end = 0;
                if (!pdf::parse_value(t, static_cast<int32_t>(len), static_cast<int32_t>(p), &m.v, &end) ||
                    end <= static_cast<int32_t>(p)) {
                    leave();
                    throw stop{};  // a string or array that does not close
                }
                work -= (end - static_cast<int32_t>(p)) / 16;
                q = t + end;
                continue;
            }
            default:
                ++q;  // a stray ')', ']', '>', '{' or '}'
                continue;
        }
    }
    leave();
    return false;
}

namespace {

const operand *dict_get(const std::vector<operand> &d, const char *k1, const char *k2) {
    for (size_t i = 0; i + 1 < d.size(); i += 2)
        if (d[i].kind == operand::text_name && (d[i].name == k1 || d[i].name == k2)) return &d[i + 1];
    return nullptr;
}

// Components per pixel of an inline image's colour space; 0 when the size
// cannot be told from the dictionary alone.
int components(const operand *cs) {
    if (!cs) return 0;
    if (cs->kind != operand::text_name) return 0;
    const std::string &n = cs->name;
    if (n == "G" || n == "DeviceGray" || n == "I" || n == "Indexed") return 1;
    if (n == "RGB" || n == "DeviceRGB") return 3;
    if (n == "CMYK" || n == "DeviceCMYK") return 4;
    return 0;
}

bool ends_here(const unsigned char *t, size_t len, size_t q) {
    // "EI" standing alone: white space before, white space, a delimiter or
    // the end after, and then text rather than binary data.
    if (q + 2 > len || t[q] != 'E' || t[q + 1] != 'I') return false;
    if (q + 2 < len && !is_space(t[q + 2]) && !is_delim(t[q + 2])) return false;
    for (size_t k = q + 2; k < len && k < q + 34; ++k) {
        const unsigned char c = t[k];
        if (c >= 0x7F || (c < 0x20 && !is_space(c))) return false;
    }
    return true;
}

}  // namespace

bool token_reader::skip_inline_image(const std::vector<operand> &dict) {
    size_t start = pos_ < len_ && is_space(t_[pos_]) ? pos_ + 1 : pos_;
    const operand *filter = dict_get(dict, "F", "Filter");
    const operand *mask = dict_get(dict, "IM", "ImageMask");
    const bool is_mask = mask && mask->kind == operand::other && mask->v.k == pdf::kind::boolean &&
                         mask->v.b;
    const operand *w = dict_get(dict, "W", "Width");
    const operand *h = dict_get(dict, "H", "Height");
    const operand *bpc = dict_get(dict, "BPC", "BitsPerComponent");
    const int comps = is_mask ? 1 : components(dict_get(dict, "CS", "ColorSpace"));
    if (!filter && comps && w && h && w->kind == operand::number && h->kind == operand::number) {
        const double bits = is_mask ? 1 : (bpc && bpc->kind == operand::number ? bpc->num : 8);
        const double row = std::ceil(w->num * comps * bits / 8);
        const double size = row * h->num;
        if (size >= 0 && size <= static_cast<double>(len_ - start)) {
            size_t q = start + static_cast<size_t>(size);
            while (q < len_ && is_space(t_[q])) ++q;
            if (q + 2 <= len_ && t_[q] == 'E' && t_[q + 1] == 'I' &&
                (q + 2 == len_ || !is_regular(t_[q + 2]))) {
                pos_ = q + 2;
                return true;
            }
        }
    }
    for (size_t q = start; q + 2 <= len_; ++q) {
        if ((q & 63) == 0 && --*work_ < 0) throw stop{};
        if (q > start && !is_space(t_[q - 1])) continue;
        if (ends_here(t_, len_, q)) {
            pos_ = q + 2;
            return true;
        }
    }
    pos_ = len_;
    return false;
}

}  // namespace sheetlay::content
