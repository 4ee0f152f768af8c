// Flate decoder: zlib framing around deflate data, decoded straight into the
// caller's output area. This unit reads the frame and the blocks (stored,
// fixed and dynamic codes) and decodes symbols carefully near the ends of
// the buffers; inflate_fast.cpp decodes them everywhere else.
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
// (inflate_fast.cpp) checks nothing but the data. Near the end of the input or of the output area the
// same steps run with a check before every read, so that running out of input
// is told apart from a bit pattern no code matches exactly as a bit-at-a-time
// decoder would: a pattern that matches no code is damage only when 15 bits
// were there to read; with fewer it is a shortage.
#include "codec/inflate.h"

#include "codec/inflate_codes.h"

namespace sheetlay {
namespace inflate_detail {

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

}  // namespace inflate_detail

namespace {

using namespace inflate_detail;

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

// Decodes the symbols of one compressed block up to its end-of-block code.
Step codes(Decoder &d, const LitCode &lc, const DistCode &dc) {
    for (;;) {
        Step st;
        if (far_from_ends(d)) {
            st = fast_codes(d, lc, dc);
            if (st != Step::near_end) return st;
        }

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

// The run-length-coded code lengths of a dynamic block for as long as 8
// input bytes remain, so that every refill leaves at least 15 bits: a
// code-length code (at most 7 bits) and its repeat count (at most 7 bits)
// are there without a check, and a pattern no code matches is damage, as
// in decode. The bits are held locally: the lengths are stored as bytes,
// which could otherwise stand for any of the decoder's fields. Stops
// (with Step::ok) where the careful loop takes over; Step::damaged where
// that loop would say so.
Step fast_lengths(Decoder &d, const LenCode &lenc, uint8_t *lengths, unsigned &index, unsigned total) {
    const unsigned char *in = d.in;
    uint64_t bits = d.bits;
    unsigned nbits = d.nbits;
    Step st = Step::ok;
    while (index < total) {
        if (nbits < kMaxBits) {
            if (d.end - in < 8) break;
            bits |= load_le64(in) << nbits;
            in += (63 - nbits) >> 3;
            nbits |= 56;
        }
        const uint32_t e = lenc.table[bits & ((1u << kLenCodeBits) - 1)];
        const unsigned l = e & kLenMask;
        if (l == 0) {  // an empty code-length code: no pattern matches
            st = Step::damaged;
            break;
        }
        bits >>= l;
        nbits -= l;
        const uint32_t sym = e >> 16;
        if (sym < 16) {
            lengths[index++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint8_t rep_len = 0;
        unsigned rep;
        if (sym == 16) {
            if (index == 0) {  // nothing to repeat
                st = Step::damaged;
                break;
            }
            rep_len = lengths[index - 1];
            rep = 3 + static_cast<unsigned>(bits & 3);
            bits >>= 2;
            nbits -= 2;
        } else if (sym == 17) {
            rep = 3 + static_cast<unsigned>(bits & 7);
            bits >>= 3;
            nbits -= 3;
        } else {
            rep = 11 + static_cast<unsigned>(bits & 127);
            bits >>= 7;
            nbits -= 7;
        }
        if (index + rep > total) {
            st = Step::damaged;
            break;
        }
        std::memset(lengths + index, rep_len, rep);
        index += rep;
    }
    d.in = in;
    d.bits = bits;
    d.nbits = nbits;
    return st;
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
    if (fast_lengths(d, lenc, lengths, index, total) != Step::ok) return Step::damaged;
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