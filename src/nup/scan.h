// The output side's reading of object text: tokens, indirect references,
// where a value ends, and what a body cut short lacks.
//
// Objects are carried from the input as text, with their references
// rewritten to the output's numbers. That needs only a token-level view
// (strings, names and comments passed over whole, nesting counted), not a
// parsed object tree, so the copy keeps every other byte as it stood. All
// functions take a text and its length and read nothing at or past it.
#ifndef SHEETLAY_NUP_SCAN_H
#define SHEETLAY_NUP_SCAN_H

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "nup/pdfout.h"
#include "pdf/lexer.h"

namespace sheetlay::nup {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// PDF delimiters: they end a token without being white space.
inline bool is_delim(unsigned char c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

// Regular bytes (neither white space nor delimiter) by table: the scanning
// loops ask this of every byte of every carried object, twice.
struct regular_table {
    bool v[256];
    constexpr regular_table() : v() {
        for (int c = 0; c < 256; ++c) {
            const bool ws = c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
            const bool delim = c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' ||
                               c == '{' || c == '}' || c == '/' || c == '%';
            v[c] = !ws && !delim;
        }
    }
};
inline constexpr regular_table kRegular{};

inline bool is_regular(unsigned char c) { return kRegular.v[c]; }

// is_pdf_ws by table, for the same loops.
struct space_table {
    bool v[256];
    constexpr space_table() : v() { v[0] = v[9] = v[10] = v[12] = v[13] = v[32] = true; }
};
inline constexpr space_table kSpace{};

inline bool is_space(unsigned char c) { return kSpace.v[c]; }

// Deepest nesting of arrays and dictionaries written out. Real files stay
// far below it; other PDF readers refuse much deeper structures.
constexpr int32_t kMaxNesting = 256;

// The position after the hex string that opens at t[i] == '<'.
int32_t skip_hex(const unsigned char *t, int32_t i, int32_t len);

// After an integer ending at t[i]: the end of " gen R" / " R" when they
// follow (PDF white space between, any digits as generation, "R" not
// followed by a letter or digit), else -1. Asked after every integer of
// every carried text (most of them in arrays of numbers): inline, white
// space passed over in place.
inline int32_t ref_tail(const unsigned char *t, int32_t i, int32_t len) {
    if (i >= len || !is_space(t[i])) return -1;
    int32_t q = i + 1;
    while (q < len && is_space(t[q])) ++q;
    if (q == len) return -1;
    if (is_digit(t[q])) {
        int32_t g = q + 1;
        while (g < len && is_digit(t[g])) ++g;
        int32_t h = g;
        while (h < len && is_space(t[h])) ++h;
        if (h == g || h == len) return -1;  // (white space is never regular)
        q = h;
    }
    if (t[q] == 'R' && (q + 1 == len || !is_alnum(t[q + 1]))) return q + 1;
    return -1;
}

// The end of the value that starts at t[p]: a whole array, dictionary or
// string, a name, or a token (an integer takes a following "gen R").
int32_t value_end(const unsigned char *t, int32_t len, int32_t p);

// A number as PDF writes them: optional sign, digits with at most one
// point, at least one digit; t[s, e) is one token.
bool is_number(const unsigned char *t, int32_t s, int32_t e);

// An indirect reference in a text: t[at, end) reads "num gen R"; num is -1
// when it does not fit in 32 bits.
struct ref_at {
    int32_t at, end, num;
};

// What a body left open at its end needs to be whole: the closing ")" of a
// literal string, ">" of a hex string, and "]" or ">>" of the arrays and
// dictionaries still open, innermost first.
std::string closers(const unsigned char *t, int32_t len);

// Names and other regular runs are most of a carried text's bytes: they
// are passed over eight bytes at a time. A word's candidates for the end
// of a run are the bytes below '0' (white space, '#', '%', '(', ')', '/',
// and a few regular ones such as '+', '-', '.') and those from '0' to 0x7F
// whose low five bits are 0x1B to 0x1E ('<' '>' '[' ']' '{' '}', and the
// regular ';' '=' '\\' '^' '|' '~'). The first candidate is exact (the
// flags above it may be false), and one that is regular after all is
// stepped over. Words are read only where eight bytes remain before
// `len`; the rest goes byte by byte.
namespace swar {
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;
inline uint64_t load8(const unsigned char *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline uint64_t run_stops(uint64_t w) {
    const uint64_t ascii = ~w & kHigh;
    const uint64_t low = (w - kOnes * 0x30) & ascii;  // borrows only from flagged bytes
    const uint64_t five = w & (kOnes * 0x1F);         // no carry out of a byte below
    return low | ((five + kOnes * 0x65) & ~(five + kOnes * 0x61) & ascii);
}
}  // namespace swar

// Regular bytes but '#', which a name spells its escapes with.
struct plain_name_table {
    bool v[256];
    constexpr plain_name_table() : v() {
        for (int c = 0; c < 256; ++c) v[c] = kRegular.v[c] && c != '#';
    }
};
inline constexpr plain_name_table kPlainName{};

// The first byte from t[i] on that is not regular or is a '#' (or len).
inline int32_t name_stop(const unsigned char *t, int32_t i, int32_t len) {
    if constexpr (std::endian::native == std::endian::little) {
        while (len - i >= 8) {
            const uint64_t m = swar::run_stops(swar::load8(t + i));
            if (m == 0) {
                i += 8;
                continue;
            }
            i += std::countr_zero(m) >> 3;
            if (!kPlainName.v[t[i]]) return i;
            ++i;
        }
    }
    while (i < len && kPlainName.v[t[i]]) ++i;
    return i;
}

// The first byte from t[i] on that is not regular (or len).
inline int32_t regular_end(const unsigned char *t, int32_t i, int32_t len) {
    for (;;) {
        i = name_stop(t, i, len);
        if (i == len || t[i] != '#') return i;
        ++i;
    }
}

// The end of the digits from t[i] on. Most tokens of a carried text are
// numbers, and their value is wanted only where one starts a reference.
inline int32_t digits_end(const unsigned char *t, int32_t i, int32_t len) {
    if constexpr (std::endian::native == std::endian::little) {
        if (len - i >= 8) {
            // Digits turn into 0 to 9; the rest into 10 to 0xFF, which
            // bit 7 tells once 0x76 is added to their low seven bits.
            const uint64_t y = swar::load8(t + i) ^ (swar::kOnes * 0x30);
            const uint64_t other = (((y & (swar::kOnes * 0x7F)) + swar::kOnes * 0x76) | y) & swar::kHigh;
            if (other != 0) return i + (std::countr_zero(other) >> 3);
            i += 8;
        }
    }
    while (i < len && is_digit(t[i])) ++i;
    return i;
}

// The digits t[s, e) as a number; above INT32_MAX the value stops growing
// (it only has to tell that it is too large).
inline int64_t digits_value(const unsigned char *t, int32_t s, int32_t e) {
    int64_t num = 0;
    for (int32_t p = s; p < e; ++p)
        if (num <= INT32_MAX) num = num * 10 + (t[p] - '0');
    return num;
}

// scan_refs from t[i] on, with `depth` arrays and dictionaries open there.
template <class F>
bool scan_refs_from(const unsigned char *t, int32_t i, int32_t depth, int32_t len, F &&f) {
    while (i < len) {
        unsigned char c = t[i];
        if (c == '(') {
            i = skip_literal(t, i, len);
        } else if (c == '<') {
            if (i + 1 < len && t[i + 1] == '<') {
                if (++depth > kMaxNesting) return false;
                i += 2;
            } else {
                i = skip_hex(t, i, len);
            }
        } else if (c == '[') {
            if (++depth > kMaxNesting) return false;
            ++i;
        } else if (c == ']' || c == '>') {
            if (depth > 0) --depth;
            i += (c == '>' && i + 1 < len && t[i + 1] == '>') ? 2 : 1;
        } else if (c == '%') {
            while (i < len && t[i] != '\r' && t[i] != '\n') ++i;
        } else if (c == '/') {
            i = regular_end(t, i + 1, len);
        } else if (is_regular(c)) {
            // A token: only an integer standing alone can start a reference.
            int32_t start = i;
            i = digits_end(t, i, len);
            bool integer = i > start && (i == len || !is_regular(t[i]));
            if (!integer) {
                i = regular_end(t, i, len);
                continue;
            }
            int32_t end = ref_tail(t, i, len);
            if (end > 0) {
                const int64_t num = digits_value(t, start, i);
                f(start, end, num > INT32_MAX ? int64_t{-1} : num);
                i = end;
            }
        } else {
            ++i;
        }
    }
    return true;
}

// Calls f(start, end, num) for every indirect reference "num gen R" in
// t[0, len). `num` is -1 when it does not fit in 32 bits. Strings, names
// and comments are passed over whole, so "(1 0 R)" or "/F1 0 R" are not
// references. Returns false (and stops) where arrays and dictionaries nest
// deeper than kMaxNesting.
template <class F>
bool scan_refs(const unsigned char *t, int32_t len, F &&f) {
    return scan_refs_from(t, 0, 0, len, f);
}

// scan_refs for the text of a carried object, appending each reference to
// `refs` (the same ones, in the same order, with the same result), and
// telling by *clean whether the text is certainly one whole, valid value:
// one that repair_text leaves as it stands and to which closers adds
// nothing. Such a text can be written by splicing the references alone.
// The test errs towards false (a '#' in a name, a dictionary with many
// keys, anything after the value): false only means "ask repair_text".
bool scan_carried(const unsigned char *t, int32_t len, array<ref_at> &refs, bool *clean);

// scan_carried as a plain token walk, without its block steps: the
// reference the tests and the fuzzer hold it to.
bool scan_carried_plain(const unsigned char *t, int32_t len, array<ref_at> &refs, bool *clean);

}  // namespace sheetlay::nup

#endif
