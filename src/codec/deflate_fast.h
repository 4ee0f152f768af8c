// The Flate encoder's fast level (1), and the byte loads and match-length
// count that it shares with the hash-chain finder of levels 2-9.
//
// deflate.cpp frames the stream, keeps the per-thread tables and runs the
// chains; deflate_fast.cpp holds level 1's finder alone, whose hot loop
// needs nothing from the chains. The helpers below are inline so that both
// finders' loops keep them inlined.
#ifndef SHEETLAY_CODEC_DEFLATE_FAST_H
#define SHEETLAY_CODEC_DEFLATE_FAST_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "deflate_blocks.h"

namespace sheetlay::deflate_detail {

// Level 1's table has 2^16 slots (256 KiB, kept in the second-level cache
// between streams). Fewer slots lose places that seven bytes last occurred to
// collisions: more literals and more, shorter sequences, each of which costs
// mispredicted branches. 2^14 slots were both slower and larger on the
// corpus.
constexpr unsigned kFastBits = 16;
constexpr size_t kFastBlockSeqs = size_t{1} << 14;  // sequences a level 1 block holds at most

inline uint32_t load32(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    return v;
}

inline uint32_t load16(const unsigned char *p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) {
        v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    }
    return v;
}

// Common prefix length of a and b, at most `max`; both readable to `max`.
inline unsigned match_length(const unsigned char *a, const unsigned char *b, unsigned max) {
    unsigned n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; n + 8 <= max; n += 8) {
            uint64_t x, y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y) return n + static_cast<unsigned>(std::countr_zero(x ^ y)) / 8;
        }
    }
    while (n < max && a[n] == b[n]) ++n;
    return n;
}

// Level 1's open block (at most kFastBlockSeqs sequences), and where its
// blocks go: the bit writer and its output area, the sink, and the running
// Adler-32 of the input written so far. The block comes first, so that the
// finder's loop reaches it and the rest from one address.
struct FastOut {
    FastOut(BitState &b, Scratch &s, const ByteSink &k, uint32_t &a) : bits(b), scratch(s), sink(k), adler(a) {}
    FastOut(const FastOut &) = delete;
    FastOut &operator=(const FastOut &) = delete;

    SeqBlock blk;
    BitState &bits;
    Scratch &scratch;
    const ByteSink &sink;
    uint32_t &adler;
};

// Compresses base[0, n) at level 1 into blocks, the last one final if
// `last`. `table` has 2^kFastBits slots of stored positions (position +
// off); every slot out of reach of base + off must fail the distance test,
// as an empty one (0) does.
void deflate_fast(const unsigned char *base, size_t n, bool last, uint32_t *table, uint32_t off, FastOut &out);

}  // namespace sheetlay::deflate_detail

#endif
