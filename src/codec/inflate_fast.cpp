// The hot loop of the Flate decoder: the symbols of a compressed block while
// the input and the output area are far from their ends, and the copies of
// back-references. Kept apart from the block reader (inflate.cpp) because
// it is the one place where decoding time goes; see inflate_codes.h for the
// table entries it reads.
#include "codec/inflate_codes.h"

namespace sheetlay::inflate_detail {
namespace {

// Copies N bytes through a temporary, so that source and destination may
// overlap; compiles to one load and one store.
template <size_t N>
inline void copy_n(unsigned char *dst, const unsigned char *src) {
    unsigned char t[N];
    std::memcpy(t, src, N);
    std::memcpy(dst, t, N);
}

}  // namespace

// Writes len (3 to 258) bytes at o, each a copy of the byte dist before it,
// so a copy that overlaps itself repeats the latest bytes. Writes nothing
// past o + len.
void copy_match(unsigned char *o, size_t dist, size_t len) {
    const unsigned char *s = o - dist;
    if (dist >= len) {  // source and destination apart
        if (len >= 16) {
            for (size_t i = 0; i + 16 <= len; i += 16) copy_n<16>(o + i, s + i);
            copy_n<16>(o + len - 16, s + len - 16);
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
    for (; i + 8 <= len; i += 8) copy_n<8>(o + i, p + i);
    if (i == len) return;
    if (len >= 8 + step - dist) {
        copy_n<8>(o + len - 8, p + len - 8);
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
//
// Bmi2: compiled for processors that take the low bits of a value in one
// instruction, so that a mask is made rather than read from kLowBits.
template <bool Bmi2>
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline Step fast_loop(Decoder &d, const LitCode &lc, const DistCode &dc) {
    auto low_bits = [](uint64_t v, unsigned n) {
        if constexpr (Bmi2) {
            return v & ((uint64_t{1} << n) - 1);
        } else {
            return v & kLowBits[n];
        }
    };
    constexpr uint64_t lit_mask = (1u << kLitBits) - 1;
    constexpr uint64_t dist_mask = (1u << kDistBits) - 1;
    if (!far_from_ends(d)) return Step::near_end;
    const unsigned char *in = d.in;
    const unsigned char *const in_last = d.end - kFastIn;
    unsigned char *const out = d.out;
    unsigned char *op = out + d.outcnt;
    unsigned char *const op_last = out + (d.cap - kFastOut);
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
        if ((e & kLength) == 0) {
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
        size_t len = e >> 16;
        if (e & kExtraMask) {  // most lengths come resolved (see inflate_codes.h)
            const unsigned extra = (e >> 8) & 0x0f;
            len += static_cast<size_t>(low_bits(bits, extra));
            bits >>= extra;
            nbits -= extra;
        }

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
        const unsigned extra = (e >> 8) & 0x0f;
        size_t dist = (e >> 16) + static_cast<size_t>(low_bits(bits, extra));
        bits >>= extra;
        nbits -= extra;
        if (dist > static_cast<size_t>(op - out)) {
            result = Step::damaged;
            break;
        }
        // The usual cases inline, each writing exactly len bytes in pieces
        // that read only bytes that are already final (a piece may read
        // what the piece before it wrote). Matches in page content are
        // short and come from far back: two overlapping 2-, 4- or 8-byte
        // pieces cover a match of 3, 4 to 8 or 9 to 16 bytes; a longer
        // one goes in 16-byte pieces (8-byte ones from 8 to 15 back), the
        // last overlapping the one before. Copies from fewer than 8 bytes
        // back, short periods, go through copy_match.
        const unsigned char *from = op - dist;
        if (dist >= 8) {
            if (len <= 8) {
                if (len >= 4) {
                    copy_n<4>(op, from);
                    copy_n<4>(op + len - 4, from + len - 4);
                } else {
                    copy_n<2>(op, from);
                    copy_n<2>(op + 1, from + 1);
                }
            } else if (len <= 16) {
                copy_n<8>(op, from);
                copy_n<8>(op + len - 8, from + len - 8);
            } else if (dist >= 16) {
                for (size_t i = 0; i + 16 < len; i += 16) copy_n<16>(op + i, from + i);
                copy_n<16>(op + len - 16, from + len - 16);
            } else {
                for (size_t i = 0; i + 8 < len; i += 8) copy_n<8>(op + i, from + i);
                copy_n<8>(op + len - 8, from + len - 8);
            }
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

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__) && !defined(__BMI2__)
namespace {

// The same loop compiled for processors with the BMI2 instructions, which
// shift by a count in any register without touching the source and take
// the low bits of a value in one step: the loop shifts and masks at every
// symbol. Which of the two runs is the processor's choice alone; they
// decode alike.
[[gnu::target("bmi2")]] Step fast_loop_bmi2(Decoder &d, const LitCode &lc, const DistCode &dc) {
    return fast_loop<true>(d, lc, dc);
}

bool have_bmi2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2");
}

}  // namespace

Step fast_codes(Decoder &d, const LitCode &lc, const DistCode &dc) {
    static const bool bmi2 = have_bmi2();
    return bmi2 ? fast_loop_bmi2(d, lc, dc) : fast_loop<false>(d, lc, dc);
}
#else
Step fast_codes(Decoder &d, const LitCode &lc, const DistCode &dc) { return fast_loop<false>(d, lc, dc); }
#endif

}  // namespace sheetlay::inflate_detail
