// The pieces of the Flate decoder that its units share: the decoding-table
// entries, canonical Huffman codes and their direct tables, the bit reader
// with its checked reads, and the decoder's state. Private to src/codec:
// inflate.cpp reads the blocks (framing, stored and dynamic blocks, the
// careful symbol loop near the buffer ends); inflate_fast.cpp holds the hot
// loop of a compressed block and the match copies.
#ifndef SHEETLAY_CODEC_INFLATE_CODES_H
#define SHEETLAY_CODEC_INFLATE_CODES_H

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "codec/inflate.h"

namespace sheetlay::inflate_detail {

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
// In a direct table, a length or distance code whose extra bits fit in the
// table's index along with the code has one slot per value of those bits:
// its entry is resolved, with the code length counting the extra bits too,
// no extra bits left (bits 8-11 zero) and the length or distance itself as
// its value. One look-up then reads the whole length of most matches.
//   bits 12-14  kind, one bit each but for literals (zero)
//   bits 16-30  value: the literal byte, the base length or distance, or the
//               code-length symbol
//   bit 31      set for literals of the literal/length code (kLiteralSign)
constexpr uint32_t kLenMask = 0x3f;
constexpr uint32_t kExtraMask = 0x0f00;
constexpr uint32_t kKindMask = 0x7000;
constexpr uint32_t kLiteral = 0x0000;  // also: distance codes, code-length symbols
constexpr uint32_t kLength = 0x1000;
constexpr uint32_t kEndBlock = 0x2000;
constexpr uint32_t kBadSymbol = 0x4000;  // literal/length symbols 286 and 287
// A direct-table slot no code of up to table_bits bits fills: the code is
// longer, or there is none. Its kind keeps it off the literal path.
constexpr uint32_t kNotInTable = kBadSymbol;
// Literal/length entries for literals also carry the top bit (above any
// value, which is below 2^15), so that the hot loop tells them by the sign;
// the byte is still the low 8 bits of entry >> 16.
constexpr uint32_t kLiteralSign = 0x80000000u;
static_assert((kKindMask & 0xff) == 0 && kLenMask <= 0x3f);
inline bool is_literal(uint32_t e) { return static_cast<int32_t>(e) < 0; }

// The low n bits of a bit buffer, n up to 15 (the most extra bits a length
// or distance has is 13).
constexpr uint64_t kLowBits[16] = {0x0,   0x1,   0x3,   0x7,   0xf,    0x1f,   0x3f,   0x7f,
                                   0xff,  0x1ff, 0x3ff, 0x7ff, 0xfff, 0x1fff, 0x3fff, 0x7fff};

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

// The bit reversals of all 11-bit numbers: the reversal of an l-bit code
// is that of the code shifted up by 11 - l.
constexpr unsigned kReverseBits = kLitBits;
struct Reversed {
    uint16_t r[1u << kReverseBits];
    constexpr Reversed() : r() {
        for (unsigned v = 0; v < (1u << kReverseBits); ++v)
            for (unsigned b = 0; b < kReverseBits; ++b)
                if (v & (1u << b)) r[v] = static_cast<uint16_t>(r[v] | (1u << (kReverseBits - 1 - b)));
    }
};
constexpr Reversed kReversed;

// Eight code lengths read at once, so that runs of unused symbols (most of
// the 256 byte values in page content) are passed eight at a time: zero
// when all eight are.
constexpr uint64_t eight_lengths(const uint8_t *p) {
    uint64_t v = 0;
    if (std::is_constant_evaluated()) {
        for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
    } else {
        std::memcpy(&v, p, 8);
    }
    return v;
}

// Builds h from the code lengths len[0, n). Returns 0 for a complete code or
// for one with no codes at all (every decode with it then fails), a negative
// number for an over-subscribed set and the number of unused codes for an
// incomplete one. The caller decides which of these it accepts.
template <unsigned TB, unsigned N>
constexpr int construct(Huffman<TB, N> &h, const uint8_t *len, unsigned n, const uint32_t *entries) {
    for (auto &c : h.count) c = 0;
    unsigned s = 0;
    for (; s + 8 <= n; s += 8) {
        if (eight_lengths(len + s) == 0) {
            h.count[0] = static_cast<uint16_t>(h.count[0] + 8);
            continue;
        }
        for (unsigned k = 0; k < 8; ++k) ++h.count[len[s + k]];
    }
    for (; s < n; ++s) ++h.count[len[s]];
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
    for (s = 0; s + 8 <= n; s += 8) {
        if (eight_lengths(len + s) == 0) continue;
        for (unsigned k = s; k < s + 8; ++k)
            if (len[k] != 0) h.entry[offs[len[k]]++] = entries[k];
    }
    for (; s < n; ++s)
        if (len[s] != 0) h.entry[offs[len[s]]++] = entries[s];

    // Codes of up to TB bits go into the direct table. Deflate sends codes
    // most significant bit first while the table is indexed by the bits in
    // the order they arrive, so each code's slot is its bit reversal (the
    // canonical codes of one length are consecutive numbers, and moving on
    // to the next length appends a zero). Every index whose low l bits are
    // a code of l bits gets its entry: the table is built for 1 bit, then
    // doubled (the upper half a copy of the lower, where a code of l - 1
    // bits already repeats) for each longer length before that length's
    // codes take their own slots. Slots no code reaches keep kNotInTable.
    //
    // A code of l bits with x extra bits where l + x <= TB is resolved when
    // the table reaches l + x bits: of its 2^(l+x) slots, those whose low l
    // bits are the code are the 2^x values of the extra bits, each given
    // its own length or distance; the doublings that follow copy them on.
    // Until then it waits in a list per table width.
    struct Pending {
        uint16_t rev;
        uint8_t len;
        uint8_t next;  // the next one resolved at the same width, or kNone
        uint32_t entry;
    };
    constexpr uint8_t kNone = 0xff;
    Pending pend[32] = {};
    uint8_t first[TB + 1] = {};
    for (auto &f : first) f = kNone;
    uint8_t npend = 0;

    static_assert(TB <= kReverseBits);
    h.table[0] = h.table[1] = kNotInTable;
    unsigned code = 0, index = 0;
    for (unsigned l = 1; l <= TB; ++l, code <<= 1) {
        if (l > 1) std::copy_n(h.table, 1u << (l - 1), h.table + (1u << (l - 1)));
        for (uint8_t p = first[l]; p != kNone; p = pend[p].next) {
            const Pending &q = pend[p];
            const uint32_t e = q.entry & ~(kExtraMask | kLenMask);
            for (uint32_t v = 0; v < (1u << (l - q.len)); ++v)
                h.table[q.rev | (v << q.len)] = (e + (v << 16)) | l;
        }
        for (unsigned k = 0; k < h.count[l]; ++k, ++code) {
            const unsigned rev = kReversed.r[code << (kReverseBits - l)];
            const uint32_t e = h.entry[index++];
            h.table[rev] = e | l;
            const unsigned x = (e & kExtraMask) >> 8;
            if (x != 0 && l + x <= TB && npend < 32) {
                pend[npend] = {static_cast<uint16_t>(rev), static_cast<uint8_t>(l), first[l + x], e};
                first[l + x] = npend++;
            }
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
bool room(Decoder &d, size_t n);

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

// Writes len (3 to 258) bytes at o, each a copy of the byte dist before it,
// so a copy that overlaps itself repeats the latest bytes. Writes nothing
// past o + len.
void copy_match(unsigned char *o, size_t dist, size_t len);

// What the hot loop needs before a step: input bytes left (two 8-byte
// refills, 7 bytes apart) and output room (five literals, then the longest
// match).
constexpr size_t kFastIn = 16;
constexpr size_t kFastOut = kMaxMatch + 5;
inline bool far_from_ends(const Decoder &d) {
    return d.end - d.in >= static_cast<ptrdiff_t>(kFastIn) && d.cap - d.outcnt >= kFastOut;
}

// Decodes symbols of a compressed block for as long as the input and the
// output area are far from their ends. Returns Step::near_end when it stops
// for that reason (the careful loop takes over), else how the block ended.
Step fast_codes(Decoder &d, const LitCode &lc, const DistCode &dc);

}  // namespace sheetlay::inflate_detail

#endif
