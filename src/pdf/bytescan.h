// Byte searches for the reader's hot loops: the first of a few bytes, or
// the first place of a two-byte pair, in a bounded range.
//
// Loading walks every dictionary of the file and searches most of them for
// names; those walks stop often (a name every ten bytes or so), so a library
// search called once per stop costs more in its calls than in its bytes.
// These look at sixteen bytes at a time where the compiler offers SSE2 (every
// x86-64 target) and eight at a time otherwise, and never read outside
// [p, end).
#ifndef SHEETLAY_PDF_BYTESCAN_H
#define SHEETLAY_PDF_BYTESCAN_H

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define SHEETLAY_BYTESCAN_SSE2 1
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

}  // namespace sheetlay

#endif
