// Flate decoder: zlib framing around deflate data, decoded straight into the
// caller's output area.
//
// PDF streams marked /FlateDecode carry a zlib stream. The decoder writes the
// whole decoded data into the caller's area (back-references read from the
// output itself, so there is no separate window) and keeps every piece of
// working state on the stack of the call: no heap, nothing shared that is
// written, so concurrent calls are independent.
//
// Outcomes, which the callers rely on:
//   - final block decoded                 -> 0,  *out_len = bytes written
//   - damaged compressed data             -> 0,  *out_len = bytes written before the damage
//   - input ends before the final block   -> -1, *out_len = 0
//   - output area too small               -> -1, *out_len = 0
//   - refused frame or arguments          -> -1, *out_len = 0
// A damaged stream thus still gives the page content before the damage,
// while a stream that is cut short (typically one whose /Length was wrong, or
// an area that was too small and is retried larger) gives nothing.
//
// Speed: Huffman symbols are looked up in a direct table indexed by the next
// few bits (11 for literal/length codes, 8 for distance codes); longer codes
// fall back to walking the canonical code one bit at a time. While at least 16
// input bytes and 263 output bytes remain, one 64-bit refill holds every bit a
// run of literals or a whole length/distance pair can need, so the hot loop
// checks nothing but the data. Near the end of the input or of the output area the
// same steps run with a check before every read, so that running out of input
// is told apart from a bit pattern no code matches exactly as a bit-at-a-time
// decoder would: a pattern that matches no code is damage only when 15 bits
// were there to read; with fewer it is a shortage.
#include "codec/inflate.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

namespace sheetlay {
namespace {

constexpr unsigned kMaxBits = 15;                // longest Huffman code
constexpr uint64_t kMaxOutput = kInflateMaxOut;
constexpr size_t kMaxMatch = 258;                // longest back-reference
constexpr unsigned kLitBits = 11;                // direct-table index widths
constexpr unsigned kDistBits = 8;
constexpr unsigned kLenCodeBits = 7;             // code-length codes are at most 7 bits

// How a step ended. `ok` lets decoding go on; `near_end` says the fast loop
// stopped because the input or the output area is nearly used up.
enum class Step { ok, damaged, shortage, near_end };

// A decoding-table entry:
//   bits 0-5    code length (0: not in the direct table, see slow_lookup);
//               six bits so that shifting by the entry needs no masking
//   bits 6-7    zero, so that the low byte is the code length alone and the
//               hot loop can subtract the whole entry from its bit count
//   bits 8-11   number of extra bits that follow the code
//   bits 12-13  kind
//   bits 16-30  value: the literal byte, the base length or distance, or the
//               code-length symbol
//   bit 31      set for literals of the literal/length code (kLiteralSign)
constexpr uint32_t kLenMask = 0x3f;
constexpr uint32_t kKindMask = 0x3000;
constexpr uint32_t kLiteral = 0x0000;  // also: distance codes, code-length symbols
constexpr uint32_t kLength = 0x1000;
constexpr uint32_t kEndBlock = 0x2000;
constexpr uint32_t kBadSymbol = 0x3000;  // literal/length symbols 286 and 287
// A direct-table slot no code of up to table_bits bits fills: the code is
// longer, or there is none. Its kind keeps it off the literal path.
constexpr uint32_t kNotInTable = kBadSymbol;
// Literal/length entries for literals also carry the top bit (above any
// value, which is below 2^15), so that the hot loop tells them by the sign;
// the byte is still the low 8 bits of entry >> 16.
constexpr uint32_t kLiteralSign = 0x80000000u;
static_assert((kKindMask & 0xff) == 0 && kLenMask <= 0x3f);
inline bool is_literal(uint32_t e) { return static_cast<int32_t>(e) < 0; }

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists the code-length code lengths.
constexpr uint8_t kLenCodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum class Alphabet { litlen, dist, lencode };

constexpr uint32_t symbol_entry(Alphabet a, unsigned sym) {
    switch (a) {
        case Alphabet::litlen:
            if (sym < 256) return kLiteral | kLiteralSign | (uint32_t{sym} << 16);
            if (sym == 256) return kEndBlock;
            if (sym < 286)
                return kLength | (uint32_t{kLengthExtra[sym - 257]} << 8) |
                       (uint32_t{kLengthBase[sym - 257]} << 16);
            return kBadSymbol;
        case Alphabet::dist:
            // A dynamic block declares at most 30 distance codes and the fixed
            // code has exactly 30, so every symbol here has a base.
            return kLiteral | (uint32_t{kDistExtra[sym]} << 8) | (uint32_t{kDistBase[sym]} << 16);
        case Alphabet::lencode:
            return uint32_t{sym} << 16;
    }
    return kBadSymbol;
}

// Every symbol's entry, ready for construct to copy.
template <Alphabet A, unsigned N>
struct Entries {
    uint32_t e[N];
    constexpr Entries() : e() {
        for (unsigned s = 0; s < N; ++s) e[s] = symbol_entry(A, s);
    }
};
constexpr Entries<Alphabet::litlen, 288> kLitLenEntries;
constexpr Entries<Alphabet::dist, 30> kDistEntries;
constexpr Entries<Alphabet::lencode, 19> kLenCodeEntries;

// A canonical Huffman code: the number of codes of each length, the symbols'
// entries in code order, and a direct table for codes of up to TB bits.
template <unsigned TB, unsigned N>
struct Huffman {
    static constexpr unsigned table_bits = TB;
    uint16_t count[kMaxBits + 1];
    uint32_t entry[N];
    uint32_t table[1u << TB];
};
using LitCode = Huffman<kLitBits, 288>;
using DistCode = Huffman<kDistBits, 30>;
using LenCode = Huffman<kLenCodeBits, 19>;

// Builds h from the code lengths len[0, n). Returns 0 for a complete code or
// for one with no codes at all (every decode with it then fails), a negative
// number for an over-subscribed set and the number of unused codes for an
// incomplete one. The caller decides which of these it accepts.
template <unsigned TB, unsigned N>
constexpr int construct(Huffman<TB, N> &h, const uint8_t *len, unsigned n, const uint32_t *entries) {
    for (auto &c : h.count) c = 0;
    for (unsigned s = 0; s < n; ++s) ++h.count[len[s]];
    if (h.count[0] == n) {
        for (auto &t : h.table) t = kNotInTable;
        return 0;
    }

    int left = 1;
    for (unsigned l = 1; l <= kMaxBits; ++l) {
        left = left * 2 - h.count[l];
        if (left < 0) return left;
    }

    uint16_t offs[kMaxBits + 1] = {};
    for (unsigned l = 1; l < kMaxBits; ++l) offs[l + 1] = static_cast<uint16_t>(offs[l] + h.count[l]);
    for (unsigned s = 0; s < n; ++s)
        if (len[s] != 0) h.entry[offs[len[s]]++] = entries[s];

    // Codes of up to TB bits go into the direct table. Deflate sends codes
    // most significant bit first while the table is indexed by the bits in
    // the order they arrive, so the running code is kept bit-reversed: the
    // next code adds one at the top and carries downwards, and moving on to
    // longer codes appends a zero at the top, which changes nothing. Every
    // index whose low l bits are a code of l bits gets its entry: the table
    // is built for 1 bit, then doubled (the upper half a copy of the lower,
    // where a code of l - 1 bits already repeats) for each longer length
    // before that length's codes take their own slots. Slots no code reaches
    // keep kNotInTable.
    h.table[0] = h.table[1] = kNotInTable;
    unsigned rev = 0, index = 0;
    for (unsigned l = 1; l <= TB; ++l) {
        if (l > 1) std::copy_n(h.table, 1u << (l - 1), h.table + (1u << (l - 1)));
        const unsigned all = (1u << l) - 1;
        for (unsigned k = 0; k < h.count[l]; ++k) {
            h.table[rev] = h.entry[index++] | l;
            if (rev == all) break;  // the last code of a complete code
            unsigned top = 1u << (std::bit_width(rev ^ all) - 1);  // the highest zero bit
            rev = (rev & (top - 1)) | top;
        }
    }
    return left;
}

// Walks the canonical code one bit at a time over the next 15 bits (first
// arrived in bit 0). Returns the entry with its length, or 0 when no code of
// up to 15 bits matches.
template <unsigned TB, unsigned N>
constexpr uint32_t slow_lookup(const Huffman<TB, N> &h, uint64_t bits) {
    int code = 0, first = 0, index = 0;
    for (unsigned l = 1; l <= kMaxBits; ++l) {
        code |= static_cast<int>(bits & 1);
        bits >>= 1;
        int count = h.count[l];
        if (code - count < first) return h.entry[index + (code - first)] | l;
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return 0;
}

constexpr LitCode make_fixed_lit() {
    LitCode h{};
    uint8_t len[288] = {};
    for (unsigned s = 0; s < 288; ++s) len[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    construct(h, len, 288, kLitLenEntries.e);
    return h;
}

constexpr DistCode make_fixed_dist() {
    DistCode h{};
    uint8_t len[30] = {};
    for (auto &l : len) l = 5;
    construct(h, len, 30, kDistEntries.e);
    return h;
}

// The fixed codes, built by the compiler: read-only data, so any number of
// threads can decode fixed-code blocks at once.
constexpr LitCode kFixedLit = make_fixed_lit();
constexpr DistCode kFixedDist = make_fixed_dist();

struct Decoder {
    const unsigned char *in;   // next input byte not yet in `bits`
    const unsigned char *end;  // end of the input
    uint64_t bits;             // bits read and not yet used, first in bit 0
    unsigned nbits;            // how many of them are valid (0 to 63)
    unsigned char *out;
    size_t outcnt;
    size_t cap;
    bool out_of_room;    // a shortage came from the output area, not the input
    inflate_area *area;  // asked for more room when the output runs short, or null
};

// Makes room for n more output bytes, growing the caller's area when it has
// one; false (and out_of_room) when there is no such room.
bool room(Decoder &d, size_t n) {
    if (d.cap - d.outcnt >= n) return true;
    uint64_t need = uint64_t{d.outcnt} + n;
    if (d.area && need <= kMaxOutput && d.area->grow(need) && d.area->cap >= need && d.area->data) {
        d.out = d.area->data;
        d.cap = static_cast<size_t>(d.area->cap < kMaxOutput ? d.area->cap : kMaxOutput);
        return true;
    }
    d.out_of_room = true;
    return false;
}
// Above the `nbits` valid bits, `bits` holds zeros or copies of the input
// bits that follow (left there by refill_wide); either way a later refill
// ORs the same values onto them.

inline uint64_t load_le64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) {
        uint64_t r = 0;
        for (int i = 0; i < 8; ++i) r |= uint64_t{p[i]} << (8 * i);
        v = r;
    }
    return v;
}

// Needs 8 input bytes. Leaves 56 to 63 valid bits.
inline void refill_wide(Decoder &d) {
    d.bits |= load_le64(d.in) << d.nbits;
    d.in += (63 - d.nbits) >> 3;
    d.nbits |= 56;
}

// Makes at least n (<= 56) bits valid if the input has them. Returns false
// when it does not.
inline bool need(Decoder &d, unsigned n) {
    if (d.nbits >= n) return true;
    if (d.end - d.in >= 8) {
        refill_wide(d);
        return true;
    }
    while (d.nbits < n) {
        if (d.in == d.end) return false;
        d.bits |= uint64_t{*d.in++} << d.nbits;
        d.nbits += 8;
    }
    return true;
}

inline uint32_t take(Decoder &d, unsigned n) {
    uint32_t v = static_cast<uint32_t>(d.bits & ((uint64_t{1} << n) - 1));
    d.bits >>= n;
    d.nbits -= n;
    return v;
}

inline Step get_bits(Decoder &d, unsigned n, uint32_t &v) {
    if (!need(d, n)) return Step::shortage;
    v = take(d, n);
    return Step::ok;
}

// Decodes one symbol with every read checked. When fewer than 15 bits are
// left in the input, the bits beyond them play no part: a code that matches
// within the bits present is the same whatever follows, and anything else
// would have needed more input.
template <unsigned TB, unsigned N>
inline Step decode(Decoder &d, const Huffman<TB, N> &h, uint32_t &e) {
    need(d, kMaxBits);
    e = h.table[d.bits & ((1u << TB) - 1)];
    if ((e & kLenMask) == 0) {
        e = slow_lookup(h, d.bits);
        if (e == 0) return d.nbits >= kMaxBits ? Step::damaged : Step::shortage;
    }
    unsigned l = e & kLenMask;
    if (l > d.nbits) return Step::shortage;
    d.bits >>= l;
    d.nbits -= l;
    return Step::ok;
}

inline void copy16(unsigned char *dst, const unsigned char *src) {
    unsigned char t[16];
    std::memcpy(t, src, 16);
    std::memcpy(dst, t, 16);
}
inline void copy8(unsigned char *dst, const unsigned char *src) {
    unsigned char t[8];
    std::memcpy(t, src, 8);
    std::memcpy(dst, t, 8);
}

// Writes len (3 to 258) bytes at o, each a copy of the byte dist before it,
// so a copy that overlaps itself repeats the latest bytes. Writes nothing
// past o + len.
inline void copy_match(unsigned char *o, size_t dist, size_t len) {
    const unsigned char *s = o - dist;
    if (dist >= len) {  // source and destination apart
        if (len >= 16) {
            for (size_t i = 0; i + 16 <= len; i += 16) copy16(o + i, s + i);
            copy16(o + len - 16, s + len - 16);
        } else if (len >= 8) {
            uint64_t a, b;
            std::memcpy(&a, s, 8);
            std::memcpy(&b, s + len - 8, 8);
            std::memcpy(o, &a, 8);
            std::memcpy(o + len - 8, &b, 8);
        } else if (len >= 4) {
            uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + len - 4, 4);
            std::memcpy(o, &a, 4);
            std::memcpy(o + len - 4, &b, 4);
        } else {
            o[0] = s[0];
            o[1] = s[1];
            o[2] = s[2];
        }
        return;
    }
    if (dist == 1) {  // a run of one byte
        if (len >= 8) {
            uint64_t v = uint64_t{s[0]} * 0x0101010101010101u;
            for (size_t i = 0; i + 8 <= len; i += 8) std::memcpy(o + i, &v, 8);
            std::memcpy(o + len - 8, &v, 8);
        } else {
            std::memset(o, s[0], len);
        }
        return;
    }
    // The bytes repeat with period dist, hence also with period step, the
    // first multiple of dist that is at least 8. Once the bytes from
    // o - dist on agree with that period, 8-byte pieces read step bytes back
    // only bytes that are already final.
    size_t step = dist;
    while (step < 8) step += dist;
    size_t i = 0;
    for (; i < step - dist && i < len; ++i) o[i] = s[i];
    const unsigned char *p = o - step;
    for (; i + 8 <= len; i += 8) copy8(o + i, p + i);
    if (i == len) return;
    if (len >= 8 + step - dist) {
        copy8(o + len - 8, p + len - 8);
    } else {
        for (; i < len; ++i) o[i] = s[i];
    }
}

// The hot loop of a compressed block, for as long as at least 16 input bytes
// and kMaxMatch + 5 bytes of output room remain: one step may refill twice
// (7 bytes each) and write up to five literals and then a match. A refill
// leaves 56 bits, which cover a literal/length code with its extra bits and
// a distance code with its extra bits (15 + 5 + 15 + 13); so nothing is
// checked but the data. Works on local copies of the state, which the
// compiler can keep in registers although output bytes are written through
// a character pointer.
Step fast_codes(Decoder &d, const LitCode &lc, const DistCode &dc) {
    constexpr uint64_t lit_mask = (1u << kLitBits) - 1;
    constexpr uint64_t dist_mask = (1u << kDistBits) - 1;
    constexpr size_t kStepOut = kMaxMatch + 5;
    if (d.end - d.in < 16 || d.cap - d.outcnt < kStepOut) return Step::near_end;
    const unsigned char *in = d.in;
    const unsigned char *const in_last = d.end - 16;
    unsigned char *const out = d.out;
    unsigned char *op = out + d.outcnt;
    unsigned char *const op_last = out + (d.cap - kStepOut);
    uint64_t bits = d.bits;
    // Only the low 6 bits of nbits count here: a code is consumed by
    // subtracting its whole entry, whose low byte is the code's length.
    unsigned nbits = d.nbits;
    Step result = Step::near_end;

    while (in <= in_last && op <= op_last) {
        bits |= load_le64(in) << (nbits & 63);
        in += (~nbits & 63) >> 3;  // the whole bytes that fit above nbits & 63 bits
        nbits |= 56;
        uint32_t e = lc.table[bits & lit_mask];
        if (is_literal(e)) {
            bits >>= e & kLenMask;
            nbits -= e;
            *op++ = static_cast<unsigned char>(e >> 16);
            // Codes from the direct table are at most kLitBits long, so the
            // bits of a refill hold five literals.
            static_assert(5 * kLitBits <= 56);
#if defined(__GNUC__)
#pragma GCC unroll 4
#endif
            for (int k = 0; k < 4; ++k) {
                e = lc.table[bits & lit_mask];
                if (!is_literal(e)) break;
                bits >>= e & kLenMask;
                nbits -= e;
                *op++ = static_cast<unsigned char>(e >> 16);
            }
            if (is_literal(e)) continue;  // five literals: the next step
            // The entry that ended the run was looked up with at least 12
            // bits held (56 - 4 x 11), so it stands; a refill only adds bits
            // above those held, and the code and what follows it are read
            // from a full bit buffer.
            bits |= load_le64(in) << (nbits & 63);
            in += (~nbits & 63) >> 3;
            nbits |= 56;
        }
        if ((e & kKindMask) != kLength) {
            if ((e & kLenMask) == 0) {  // a long code, or none
                e = slow_lookup(lc, bits);
                if (e == 0) {
                    result = Step::damaged;
                    break;
                }
                if ((e & kKindMask) == kLiteral) {
                    bits >>= e & kLenMask;
                    nbits -= e & kLenMask;
                    *op++ = static_cast<unsigned char>(e >> 16);
                    continue;
                }
            }
            if ((e & kKindMask) == kEndBlock) {
                bits >>= e & kLenMask;
                nbits -= e & kLenMask;
                result = Step::ok;
                break;
            }
            if ((e & kKindMask) == kBadSymbol) {
                result = Step::damaged;
                break;
            }
        }
        bits >>= e & kLenMask;
        nbits -= e;
        unsigned extra = (e >> 8) & 0x0f;
        size_t len = (e >> 16) + static_cast<size_t>(bits & ((uint64_t{1} << extra) - 1));
        bits >>= extra;
        nbits -= extra;

        e = dc.table[bits & dist_mask];
        if ((e & kLenMask) == 0) {
            e = slow_lookup(dc, bits);
            if (e == 0) {
                result = Step::damaged;
                break;
            }
        }
        bits >>= e & kLenMask;
        nbits -= e;
        extra = (e >> 8) & 0x0f;
        size_t dist = (e >> 16) + static_cast<size_t>(bits & ((uint64_t{1} << extra) - 1));
        bits >>= extra;
        nbits -= extra;
        if (dist > static_cast<size_t>(op - out)) {
            result = Step::damaged;
            break;
        }
        // The usual cases inline, each writing exactly len bytes: 8-byte
        // pieces (the last one overlapping the one before) when every piece
        // reads bytes that are already final, i.e. dist >= 8; two
        // overlapping 4-byte pieces or three bytes for a short copy that
        // does not overlap itself. Short periods go through copy_match.
        const unsigned char *from = op - dist;
        if (dist >= 8 && len >= 8) {
            for (size_t i = 0; i + 8 < len; i += 8) copy8(op + i, from + i);
            copy8(op + len - 8, from + len - 8);
        } else if (dist >= len && len >= 4) {
            uint32_t a, b;
            std::memcpy(&a, from, 4);
            std::memcpy(&b, from + len - 4, 4);
            std::memcpy(op, &a, 4);
            std::memcpy(op + len - 4, &b, 4);
        } else if (dist >= 3 && len == 3) {
            op[0] = from[0];
            op[1] = from[1];
            op[2] = from[2];
        } else {
            copy_match(op, dist, len);
        }
        op += len;
    }
    d.in = in;
    d.bits = bits;
    d.nbits = nbits & 63;
    d.outcnt = static_cast<size_t>(op - out);
    return result;
}

// Decodes the symbols of one compressed block up to its end-of-block code.
Step codes(Decoder &d, const LitCode &lc, const DistCode &dc) {
    for (;;) {
        Step st = fast_codes(d, lc, dc);
        if (st != Step::near_end) return st;

        // Near the end of the input or of the output: every read and every
        // write checked, in the order the data comes.
        uint32_t e;
        st = decode(d, lc, e);
        if (st != Step::ok) return st;
        uint32_t kind = e & kKindMask;
        if (kind == kLiteral) {
            if (d.outcnt == d.cap && !room(d, 1)) return Step::shortage;
            d.out[d.outcnt++] = static_cast<unsigned char>(e >> 16);
            continue;
        }
        if (kind == kEndBlock) return Step::ok;
        if (kind == kBadSymbol) return Step::damaged;
        uint32_t extra;
        if (get_bits(d, (e >> 8) & 0x0f, extra) != Step::ok) return Step::shortage;
        size_t len = (e >> 16) + extra;
        st = decode(d, dc, e);
        if (st != Step::ok) return st;
        if (get_bits(d, (e >> 8) & 0x0f, extra) != Step::ok) return Step::shortage;
        size_t dist = (e >> 16) + extra;
        if (dist > d.outcnt) return Step::damaged;
        if (!room(d, len)) return Step::shortage;
        copy_match(d.out + d.outcnt, dist, len);
        d.outcnt += len;
    }
}

Step stored(Decoder &d) {
    // The block's data starts at the next byte boundary: give back the whole
    // bytes still held as bits, drop the part of a byte.
    d.in -= d.nbits >> 3;
    d.bits = 0;
    d.nbits = 0;
    if (d.end - d.in < 4) return Step::shortage;
    size_t len = d.in[0] | (size_t{d.in[1]} << 8);
    size_t nlen = d.in[2] | (size_t{d.in[3]} << 8);
    if (nlen != (~len & 0xffff)) return Step::damaged;
    d.in += 4;
    if (static_cast<size_t>(d.end - d.in) < len) return Step::shortage;
    if (!room(d, len)) return Step::shortage;
    if (len != 0) std::memcpy(d.out + d.outcnt, d.in, len);
    d.in += len;
    d.outcnt += len;
    return Step::ok;
}

Step dynamic(Decoder &d, LitCode &lc, DistCode &dc) {
    uint32_t nlen, ndist, ncode;
    if (get_bits(d, 5, nlen) != Step::ok || get_bits(d, 5, ndist) != Step::ok ||
        get_bits(d, 4, ncode) != Step::ok)
        return Step::shortage;
    nlen += 257;
    ndist += 1;
    ncode += 4;
    if (nlen > 286 || ndist > 30) return Step::damaged;

    uint8_t lengths[286 + 30];
    unsigned index = 0;
    for (; index < ncode; ++index) {
        uint32_t v;
        if (get_bits(d, 3, v) != Step::ok) return Step::shortage;
        lengths[kLenCodeOrder[index]] = static_cast<uint8_t>(v);
    }
    for (; index < 19; ++index) lengths[kLenCodeOrder[index]] = 0;

    LenCode lenc;
    if (construct(lenc, lengths, 19, kLenCodeEntries.e) != 0) return Step::damaged;

    // The literal/length and distance code lengths, run-length coded with
    // the code-length code.
    const unsigned total = nlen + ndist;
    index = 0;
    while (index < total) {
        uint32_t e;
        Step st = decode(d, lenc, e);
        if (st != Step::ok) return st;
        uint32_t sym = e >> 16;
        if (sym < 16) {
            lengths[index++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint8_t rep_len = 0;
        uint32_t rep;
        if (sym == 16) {
            if (index == 0) return Step::damaged;  // nothing to repeat
            rep_len = lengths[index - 1];
            if (get_bits(d, 2, rep) != Step::ok) return Step::shortage;
            rep += 3;
        } else if (sym == 17) {
            if (get_bits(d, 3, rep) != Step::ok) return Step::shortage;
            rep += 3;
        } else {
            if (get_bits(d, 7, rep) != Step::ok) return Step::shortage;
            rep += 11;
        }
        if (index + rep > total) return Step::damaged;
        std::memset(lengths + index, rep_len, rep);
        index += rep;
    }

    if (lengths[256] == 0) return Step::damaged;  // no way to end the block

    // An incomplete code is only allowed as a single code of length 1.
    int err = construct(lc, lengths, nlen, kLitLenEntries.e);
    if (err != 0 && (err < 0 || nlen != unsigned{lc.count[0]} + lc.count[1])) return Step::damaged;
    err = construct(dc, lengths + nlen, ndist, kDistEntries.e);
    if (err != 0 && (err < 0 || ndist != unsigned{dc.count[0]} + dc.count[1])) return Step::damaged;

    return codes(d, lc, dc);
}

// The checks every entry point makes, then the blocks one by one; the
// outcomes are those of inflate_decompress_ex.
int32_t start(const unsigned char *src, uint64_t src_len, unsigned char *dst, uint64_t cap,
              inflate_area *area, uint64_t *out_len, int *out_of_room, uint64_t *written) {
    if (out_of_room) *out_of_room = 0;
    if (written) *written = 0;
    if (out_len == nullptr) return -1;
    *out_len = 0;
    if (src == nullptr || src_len < 2) return -1;
    if (cap > kMaxOutput || (dst == nullptr && cap != 0)) return -1;
    // Compression method 8 (deflate) and no preset dictionary: a PDF stream
    // cannot supply one. The check value, the window size and the Adler-32
    // trailer are not looked at.
    if ((src[0] & 0x0f) != 8 || (src[1] & 0x20) != 0) return -1;
    if (src_len > SIZE_MAX - reinterpret_cast<uintptr_t>(src)) return -1;  // no such buffer

    Decoder d{src + 2, src + src_len, 0, 0, dst, 0, static_cast<size_t>(cap), false, area};
    LitCode lc;
    DistCode dc;
    bool last;
    do {
        uint32_t head;
        if (get_bits(d, 3, head) != Step::ok) {
            if (written) *written = d.outcnt;
            return -1;
        }
        last = (head & 1) != 0;
        Step st;
        switch (head >> 1) {
            case 0: st = stored(d); break;
            case 1: st = codes(d, kFixedLit, kFixedDist); break;
            case 2: st = dynamic(d, lc, dc); break;
            default: st = Step::damaged; break;
        }
        if (st == Step::shortage) {
            if (out_of_room && d.out_of_room) *out_of_room = 1;
            if (written) *written = d.outcnt;
            return -1;
        }
        if (st == Step::damaged) break;
    } while (!last);
    *out_len = d.outcnt;
    if (written) *written = d.outcnt;
    return 0;
}

}  // namespace

int32_t inflate_decompress(const unsigned char *src, uint64_t src_len, unsigned char *dst,
                           uint64_t dst_cap, uint64_t *out_len) {
    return start(src, src_len, dst, dst_cap, nullptr, out_len, nullptr, nullptr);
}

int32_t inflate_decompress_ex(const unsigned char *src, uint64_t src_len, unsigned char *dst,
                              uint64_t dst_cap, uint64_t *out_len, int *out_of_room,
                              uint64_t *written) {
    return start(src, src_len, dst, dst_cap, nullptr, out_len, out_of_room, written);
}

int32_t inflate_decompress_into(const unsigned char *src, uint64_t src_len, inflate_area *area,
                                uint64_t *out_len, int *out_of_room, uint64_t *written) {
    if (area == nullptr) return start(nullptr, 0, nullptr, 0, nullptr, out_len, out_of_room, written);
    uint64_t cap = area->cap < kMaxOutput ? area->cap : kMaxOutput;
    return start(src, src_len, area->data, cap, area, out_len, out_of_room, written);
}

}  // namespace sheetlay
