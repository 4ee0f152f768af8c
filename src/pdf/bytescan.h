// Byte searches for the reader's hot loops: the first of a few bytes, or
// the first place of a two-byte pair, in a bounded range.
//
// Loading walks every dictionary of the file and searches most of them for
// names; those walks stop often (a name every ten bytes or so), so a library
// search called once per stop costs more in its calls than in its bytes.
// These look at sixteen bytes at a time where the compiler offers SSE2 (every
// x86-64 target) and one at a time otherwise, and never read outside
// [p, end). each_byte, which visits every place of one byte in a whole file,
// looks at 64 bytes a step (with AVX2 where the processor has it).
#ifndef SHEETLAY_PDF_BYTESCAN_H
#define SHEETLAY_PDF_BYTESCAN_H

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define SHEETLAY_BYTESCAN_SSE2 1
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define SHEETLAY_BYTESCAN_AVX2 1
#endif
#endif

namespace sheetlay {

// The first byte in [p, end) that is one of Cs, or end.
template <unsigned char... Cs>
inline const unsigned char *first_of(const unsigned char *p, const unsigned char *end) {
#ifdef SHEETLAY_BYTESCAN_SSE2
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hit = _mm_setzero_si128();
        ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(Cs))))), ...);
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (m) return p + std::countr_zero(m);
        p += 16;
    }
#endif
    while (p < end && ((*p != Cs) && ...)) ++p;
    return p;
}

// The first q in [p, end - 1) with q[0] == a and q[1] one of Bs, or null.
template <unsigned char A, unsigned char... Bs>
inline const unsigned char *first_pair(const unsigned char *p, const unsigned char *end) {
#ifdef SHEETLAY_BYTESCAN_SSE2
    const __m128i va = _mm_set1_epi8(static_cast<char>(A));
    // Seventeen bytes readable: the pair may start at the sixteenth.
    while (end - p >= 17) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        __m128i second = _mm_setzero_si128();
        ((second = _mm_or_si128(second, _mm_cmpeq_epi8(x1, _mm_set1_epi8(static_cast<char>(Bs))))), ...);
        const unsigned m =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x0, va), second)));
        if (m) return p + std::countr_zero(m);
        p += 16;
    }
#endif
    for (; end - p >= 2; ++p)
        if (p[0] == A && ((p[1] == Bs) || ...)) return p;
    return nullptr;
}

// The first q in [p, end) that is one of Cs, or is A followed by b (in
// [p, end - 1)); end when there is none.
template <unsigned char A, unsigned char... Cs>
inline const unsigned char *first_of_or_pair(const unsigned char *p, const unsigned char *end, unsigned char b) {
#ifdef SHEETLAY_BYTESCAN_SSE2
    const __m128i va = _mm_set1_epi8(static_cast<char>(A)), vb = _mm_set1_epi8(static_cast<char>(b));
    while (end - p >= 17) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(x0, va), _mm_cmpeq_epi8(x1, vb));
        ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x0, _mm_set1_epi8(static_cast<char>(Cs))))), ...);
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (m) return p + std::countr_zero(m);
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (((*p == Cs) || ...)) return p;
        if (*p == A && end - p >= 2 && p[1] == b) return p;
    }
    return p;
}

// The first q in [p, end - 1) with q[0] == a and q[1] == b, or null.
inline const unsigned char *first_pair(const unsigned char *p, const unsigned char *end, unsigned char a,
                                       unsigned char b) {
#ifdef SHEETLAY_BYTESCAN_SSE2
    const __m128i va = _mm_set1_epi8(static_cast<char>(a)), vb = _mm_set1_epi8(static_cast<char>(b));
    // Seventeen bytes readable: the pair may start at the sixteenth.
    while (end - p >= 17) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
        const unsigned m = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x0, va), _mm_cmpeq_epi8(x1, vb))));
        if (m) return p + std::countr_zero(m);
        p += 16;
    }
#endif
    for (; end - p >= 2; ++p)
        if (p[0] == a && p[1] == b) return p;
    return nullptr;
}

// The last byte in [p, end) equal to C, or null: a backward search that
// looks at sixteen bytes a step, for finding the keyword before a place.
template <unsigned char C>
inline const unsigned char *last_of(const unsigned char *p, const unsigned char *end) {
#ifdef SHEETLAY_BYTESCAN_SSE2
    const __m128i vc = _mm_set1_epi8(static_cast<char>(C));
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 16));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, vc)));
        if (m) return end - 16 + (31 - std::countl_zero(m));
        end -= 16;
    }
#endif
    while (end > p)
        if (*--end == C) return end;
    return nullptr;
}

namespace bytescan_detail {

#ifdef SHEETLAY_BYTESCAN_AVX2
inline bool has_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}

// each_byte's 64-byte steps with AVX2; returns where they stopped.
template <class F>
__attribute__((target("avx2"))) const unsigned char *each_byte_avx2(const unsigned char *p,
                                                                    const unsigned char *end, unsigned char c,
                                                                    F &f) {
    const __m256i vc = _mm256_set1_epi8(static_cast<char>(c));
    while (end - p >= 64) {
        const __m256i a = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), vc);
        const __m256i b = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32)), vc);
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b))) {
            uint64_t m = static_cast<uint32_t>(_mm256_movemask_epi8(a)) |
                         static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(b))) << 32;
            for (; m; m &= m - 1) f(p + std::countr_zero(m));
        }
        p += 64;
    }
    return p;
}

// each_pair's 64-byte steps with AVX2; returns where they stopped.
template <class F>
__attribute__((target("avx2"))) const unsigned char *each_pair_avx2(const unsigned char *p,
                                                                    const unsigned char *end, unsigned char a,
                                                                    unsigned char b, F &f) {
    const __m256i va = _mm256_set1_epi8(static_cast<char>(a)), vb = _mm256_set1_epi8(static_cast<char>(b));
    // Sixty-five bytes readable: a pair may start at the sixty-fourth.
    while (end - p >= 65) {
        const __m256i x = _mm256_and_si256(
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), va),
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1)), vb));
        const __m256i y = _mm256_and_si256(
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32)), va),
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 33)), vb));
        if (_mm256_movemask_epi8(_mm256_or_si256(x, y))) {
            uint64_t m = static_cast<uint32_t>(_mm256_movemask_epi8(x)) |
                         static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(y))) << 32;
            for (; m; m &= m - 1) f(p + std::countr_zero(m));
        }
        p += 64;
    }
    return p;
}
#endif

}  // namespace bytescan_detail

// Calls f(q) for every q in [p, end) with *q == c, in order: for a byte
// that is rare in the text, one pass instead of a library search per place.
template <class F>
inline void each_byte(const unsigned char *p, const unsigned char *end, unsigned char c, F &&f) {
#ifdef SHEETLAY_BYTESCAN_AVX2
    if (bytescan_detail::has_avx2()) p = bytescan_detail::each_byte_avx2(p, end, c, f);
#endif
#ifdef SHEETLAY_BYTESCAN_SSE2
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    while (end - p >= 64) {
        __m128i x[4];
        for (int k = 0; k < 4; ++k)
            x[k] = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k)), vc);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(x[0], x[1]), _mm_or_si128(x[2], x[3])))) {
            uint64_t m = 0;
            for (int k = 0; k < 4; ++k)
                m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(x[k]))) << (16 * k);
            for (; m; m &= m - 1) f(p + std::countr_zero(m));
        }
        p += 64;
    }
#endif
    for (; p < end; ++p)
        if (*p == c) f(p);
}

// Calls f(q) for every q in [p, end - 1) with q[0] == a and q[1] == b, in
// order: a pair is far rarer than either byte, in text and in compressed
// data alike, so a whole file's pass stops much less often.
template <class F>
inline void each_pair(const unsigned char *p, const unsigned char *end, unsigned char a, unsigned char b,
                      F &&f) {
#ifdef SHEETLAY_BYTESCAN_AVX2
    if (bytescan_detail::has_avx2()) p = bytescan_detail::each_pair_avx2(p, end, a, b, f);
#endif
    for (;;) {
        const unsigned char *q = first_pair(p, end, a, b);
        if (!q) return;
        f(q);
        p = q + 1;
    }
}

}  // namespace sheetlay

#endif
