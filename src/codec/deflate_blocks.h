// Block coder of the Flate encoder: what the match finders (deflate.cpp,
// deflate_fast.cpp) hand over, and how a run of symbols becomes one block.
//
// The match finder stores literals and back-references in a SymbolBlock and
// counts the symbol frequencies as it goes, so that the block coder only has
// to build the Huffman codes, price the three kinds of block and write the
// cheapest one. Length and distance codes come from constant tables that
// this header shares, because the match finder counts them in its hot loop.
#ifndef SHEETLAY_CODEC_DEFLATE_BLOCKS_H
#define SHEETLAY_CODEC_DEFLATE_BLOCKS_H

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace sheetlay::deflate_detail {

constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMaxDist = 32768;
constexpr unsigned kNumLitLen = 286;  // 256 literals, end of block, 29 length codes
constexpr unsigned kNumDist = 30;
constexpr unsigned kEndOfBlock = 256;

// Bases and extra-bit counts of the length and distance codes.
inline constexpr std::array<uint16_t, 29> kLenBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                                      15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<uint8_t, 29> kLenExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint16_t, 30> kDistBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<uint8_t, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Length code index (0..28) for length - 3.
inline constexpr std::array<uint8_t, 256> kLenCode = [] {
    std::array<uint8_t, 256> t{};
    unsigned code = 0;
    for (unsigned len = 3; len <= 258; ++len) {
        while (code + 1 < kLenBase.size() && kLenBase[code + 1] <= len) ++code;
        t[len - 3] = static_cast<uint8_t>(code);
    }
    return t;
}();

// Distance code for distance - 1: directly below 256; above, every code
// starts at a multiple of 128, so (distance - 1) / 128 picks it.
inline constexpr std::array<uint8_t, 512> kDistCode = [] {
    std::array<uint8_t, 512> t{};
    auto code_of = [](unsigned dist) {
        unsigned c = 0;
        while (c + 1 < kDistBase.size() && kDistBase[c + 1] <= dist) ++c;
        return static_cast<uint8_t>(c);
    };
    for (unsigned d = 0; d < 256; ++d) t[d] = code_of(d + 1);
    for (unsigned k = 2; k < 256; ++k) t[256 + k] = code_of(k * 128 + 1);
    return t;
}();

inline unsigned dist_code(unsigned dist) {
    // One load from an index chosen without a branch: near and far
    // distances alternate unpredictably.
    const unsigned d = dist - 1;
    return kDistCode[d < 256 ? d : 256 + (d >> 7)];
}

// What every block kind is priced from: the symbol frequencies of the block
// and the number of input bytes it stands for.
// The counts start uninitialized: clear_counts() makes them zero, once the
// encoder knows which of its two kinds of block it uses.
struct BlockCounts {
    size_t raw_len = 0;  // input bytes the symbols stand for
    uint32_t litlen_freq[kNumLitLen];
    uint32_t dist_freq[kNumDist];
    // A second count of literals, for every other byte of a run: a run of
    // equal bytes (spaces, zeros) then updates two counters in turn instead
    // of waiting on one. The block coder adds the two.
    uint32_t lit_freq2[256];

    void count_match(unsigned len, unsigned dist) {
        ++litlen_freq[257 + kLenCode[len - kMinMatch]];
        ++dist_freq[dist_code(dist)];
        raw_len += len;
    }
    void clear_counts();
};

// The symbols of one block. A literal is stored as its byte; a match as
// (length - 3) | distance << 8, so that a distance of 0 marks a literal.
struct SymbolBlock : BlockCounts {
    uint32_t *sym = nullptr;  // room for `capacity` symbols
    size_t capacity = 0;
    size_t count = 0;

    void literal(unsigned char c) {
        sym[count++] = c;
        ++litlen_freq[c];
        ++raw_len;
    }
    void literals(const unsigned char *p, size_t k) {  // k <= capacity - count
        uint32_t *out = sym + count;
        size_t i = 0;
        for (; i + 2 <= k; i += 2) {
            out[i] = p[i];
            out[i + 1] = p[i + 1];
            ++litlen_freq[p[i]];
            ++lit_freq2[p[i + 1]];
        }
        if (i < k) {
            out[i] = p[i];
            ++litlen_freq[p[i]];
        }
        count += k;
        raw_len += k;
    }
    void match(unsigned len, unsigned dist) {
        sym[count++] = (len - kMinMatch) | dist << 8;
        count_match(len, dist);
    }
    void clear();
};

// The fast level's symbols: a run of literals, which stay in the input and
// are read from there again when the block is written, then one match (or
// none, len == 0, at the end of the input). Storing runs instead of single
// literals saves a store per literal, and the writer a test per literal.
struct Seq {
    uint32_t lits;
    uint8_t len3;   // match length - 3
    uint8_t dcode;  // distance code
    uint16_t dist;  // 0: no match
};

struct SeqBlock : BlockCounts {
    Seq *seq = nullptr;  // room for `capacity` sequences
    size_t capacity = 0;
    size_t count = 0;

    void clear() {
        count = 0;
        clear_counts();
    }
};

// Bits still to be written and the bytes the block coder has produced.
// Whole bytes are handed to the caller after every block; the accumulator
// keeps the 0..7 bits of a byte that is not yet complete.
struct BitState {
    uint64_t acc = 0;
    unsigned bits = 0;
};

// Writes the block that `blk` describes, covering raw[0, blk.raw_len), as
// the cheapest of stored, fixed-code and dynamic-code blocks, and marks it
// the last one when `final`. Complete bytes are appended through `sink`
// (the partial last byte stays in `bs`). `scratch` is the block coder's own
// reusable output area.
struct ByteSink {
    void *ctx;
    void (*append)(void *ctx, const unsigned char *p, size_t n);
};
struct Scratch;
void write_block(const SymbolBlock &blk, const unsigned char *raw, bool final, BitState &bs, Scratch &scratch,
                 const ByteSink &sink);
// The same for the fast level's sequences.
void write_block(const SeqBlock &blk, const unsigned char *raw, bool final, BitState &bs, Scratch &scratch,
                 const ByteSink &sink);

// Writes raw[0, len) as stored blocks (as many as its length needs).
void write_stored(const unsigned char *raw, size_t len, bool final, BitState &bs, Scratch &scratch,
                  const ByteSink &sink);

// Writes the last partial byte, if any.
void finish_bits(BitState &bs, const ByteSink &sink);

// Owned by the caller, reused across blocks.
struct Scratch {
    unsigned char *data = nullptr;
    size_t size = 0;
    ~Scratch() { delete[] data; }
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    unsigned char *room(size_t n);  // at least n bytes; throws std::bad_alloc
};

}  // namespace sheetlay::deflate_detail

#endif
