// Hex-string skipping, reference tails, value ends and the closers of a
// body cut short (see scan.h). Literal strings are skipped by the lexer's
// skipper, the one the reader uses too.
#include "nup/scan.h"

#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define SHEETLAY_SCAN_SSE2 1
#endif

namespace sheetlay::nup {

int32_t skip_hex(const unsigned char *t, int32_t i, int32_t len) {
    int32_t j = i + 1;
    while (j < len && t[j] != '>') ++j;
    return j < len ? j + 1 : len;
}

// A body is left open when the input lost the text after it (a cut file, an
// object that lost its "endobj"); copied as it stands, its open string or
// array would swallow the "endobj" written after it and the objects that
// follow.
std::string closers(const unsigned char *t, int32_t len) {
    std::string open;  // '[' or '<' for each array or dictionary
    auto then_close = [&open](std::string tail) {
        for (size_t k = open.size(); k-- > 0;) tail += open[k] == '[' ? "]" : ">>";
        return tail;
    };
    int32_t i = 0;
    while (i < len) {
        unsigned char c = t[i];
        if (c == '(') {
            open_literal rest;
            i = skip_literal(t, i, len, &rest);
            if (rest.depth > 0) {
                // An escape cut in half would turn the first ")" into text.
                std::string tail = rest.half_escape ? "\\" : "";
                tail.append(static_cast<size_t>(rest.depth), ')');
                return then_close(tail);
            }
        } else if (c == '<' && i + 1 < len && t[i + 1] == '<') {
            open += '<';
            i += 2;
        } else if (c == '<') {
            int32_t j = skip_hex(t, i, len);
            if (t[j - 1] != '>') return then_close(">");  // never closed
            i = j;
        } else if (c == '[') {
            open += '[';
            ++i;
        } else if (c == ']' || c == '>') {
            if (!open.empty()) open.pop_back();
            i += (c == '>' && i + 1 < len && t[i + 1] == '>') ? 2 : 1;
        } else if (c == '%') {
            while (i < len && t[i] != '\r' && t[i] != '\n') ++i;
            // The closers must not become part of the comment.
            if (i >= len && !open.empty()) return then_close("\n");
        } else {
            ++i;
        }
    }
    return then_close("");
}

bool is_number(const unsigned char *t, int32_t s, int32_t e) {
    int32_t i = s;
    if (i < e && (t[i] == '+' || t[i] == '-')) ++i;
    bool digit = false, point = false;
    for (; i < e; ++i) {
        if (is_digit(t[i])) {
            digit = true;
        } else if (t[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

namespace {

bool is_hex(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool same_word(const unsigned char *t, int32_t s, int32_t e, const char *w, int32_t n) {
    return e - s == n && std::memcmp(t + s, w, static_cast<size_t>(n)) == 0;
}

// Keys of the open dictionaries a clean text may hold at once (as many as
// repair_text compares in one dictionary); a text with more is left to it.
constexpr int32_t kCleanKeys = 512;

// What the validity test of scan_carried keeps: per open bracket what may
// follow one of its values, and the keys met in the open dictionaries (to
// find a repeated one).
enum : unsigned char {
    kValue,  // a value may start (in an array, after a dictionary's key, the text's value)
    kKey,    // a dictionary awaits its next key or its end
    kDone,   // the text's value is whole: nothing may follow but white space and comments
};
struct clean_state {
    unsigned char after[kMaxNesting + 1];  // per level: what follows a value (kDone at 0)
    int32_t first_key[kMaxNesting + 1];    // per dictionary: its keys' start in `keys`
    uint64_t filter[kMaxNesting + 1];      // per dictionary: its few keys' hash bits
    // A key's tag: its length with its bytes when they fit, else a hash of
    // both ends; equal tags are confirmed by the bytes.
    uint64_t tags[kCleanKeys];
    int32_t key_at[kCleanKeys], key_len[kCleanKeys];
    int32_t nkeys = 0;
    // A dictionary with few keys compares a new one with those whose bit
    // in its 64-bit filter (by the tag's hash) is the new one's, which
    // most often is none. One with more than kFewKeys keys finds a
    // repeated one by a hash table of its keys (1 + their index; open addressing, at most
    // half full), set up when a text first needs it. Outer dictionaries'
    // keys stay in it under an inner one's; they are older than its first.
    static constexpr int32_t kFewKeys = 16;
    static constexpr int32_t kSlots = 2 * kCleanKeys;
    bool table_ready = false;
    uint16_t table[kSlots];

    static uint64_t hash(uint64_t tag) { return tag * 0x9E3779B97F4A7C15ull; }
    static uint32_t slot_of(uint64_t tag) { return static_cast<uint32_t>(hash(tag) >> 54); }
    bool same_key(const unsigned char *t, int32_t k, int32_t s, int32_t n) const {
        return key_len[k] == n && std::memcmp(t + key_at[k], t + s, static_cast<size_t>(n)) == 0;
    }
    void insert(int32_t k) {
        uint32_t h = slot_of(tags[k]);
        while (table[h] != 0) h = (h + 1) & (kSlots - 1);
        table[h] = static_cast<uint16_t>(k + 1);
    }

    // A key t[s, e) of the innermost dictionary, at `depth`: false when
    // it repeats one or no more keys fit.
    bool new_key(const unsigned char *t, int32_t s, int32_t e, int32_t len, int32_t depth) {
        const int32_t n = e - s;
        const uint64_t tag = key_tag(t, s, n, len);
        const int32_t first = first_key[depth];
        if (nkeys - first < kFewKeys) {
            const uint64_t bit = uint64_t{1} << (hash(tag) >> 58);
            if (filter[depth] & bit) {
                for (int32_t k = first; k < nkeys; ++k)
                    if (tags[k] == tag && same_key(t, k, s, n)) return false;
            }
            filter[depth] |= bit;
        } else if (nkeys - first == kFewKeys) {
            for (int32_t k = first; k < nkeys; ++k)
                if (tags[k] == tag && same_key(t, k, s, n)) return false;
        } else {
            for (uint32_t h = slot_of(tag); table[h] != 0; h = (h + 1) & (kSlots - 1)) {
                const int32_t k = table[h] - 1;
                if (k >= first && tags[k] == tag && same_key(t, k, s, n)) return false;
            }
        }
        if (nkeys == kCleanKeys) return false;
        tags[nkeys] = tag;
        key_at[nkeys] = s;
        key_len[nkeys++] = n;
        if (nkeys - first == kFewKeys + 1) {
            if (!table_ready) {
                std::memset(table, 0, sizeof table);
                table_ready = true;
            }
            for (int32_t k = first; k < nkeys; ++k) insert(k);
        } else if (nkeys - first > kFewKeys + 1) {
            insert(nkeys - 1);
        }
        return true;
    }

    // The end of the dictionary at `depth`: its keys leave the table, the
    // newest first (which leaves the table as it was before them).
    void close_dict(int32_t depth) {
        const int32_t first = first_key[depth];
        if (nkeys - first > kFewKeys) {
            for (int32_t k = nkeys - 1; k >= first; --k) {
                uint32_t h = slot_of(tags[k]);
                while (table[h] != k + 1) h = (h + 1) & (kSlots - 1);
                table[h] = 0;
            }
        }
        nkeys = first;
    }

    static uint64_t key_tag(const unsigned char *t, int32_t s, int32_t n, int32_t len) {
        if (n <= 8) {
            // '/' and up to seven bytes: all of them, and the length above.
            uint64_t w = 0;
            if (std::endian::native == std::endian::little && len - s >= 8) {
                w = swar::load8(t + s) & (~uint64_t{0} >> (64 - 8 * n));
            } else {
                for (int32_t k = 0; k < n; ++k) w |= uint64_t{t[s + k]} << (8 * k);
            }
            return w ^ (uint64_t(n) << 59);
        }
        uint64_t h = swar::load8(t + s) * 0x9E3779B97F4A7C15ull ^ swar::load8(t + s + n - 8);
        return (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull ^ uint64_t(n);
    }
};

// The bytes that start a token, by what they start.
enum : unsigned char { kSpaceByte, kRegularByte, kParen, kLess, kBracket, kCloser, kGreater, kPercent, kSlash, kStray };
struct start_table {
    unsigned char v[256];
    constexpr start_table() : v() {
        for (int c = 0; c < 256; ++c) v[c] = kRegularByte;
        v[0] = v[9] = v[10] = v[12] = v[13] = v[32] = kSpaceByte;
        v[int('(')] = kParen;
        v[int('<')] = kLess;
        v[int('[')] = kBracket;
        v[int(']')] = kCloser;
        v[int('>')] = kGreater;
        v[int('%')] = kPercent;
        v[int('/')] = kSlash;
        v[int(')')] = v[int('{')] = v[int('}')] = kStray;
    }
};
constexpr start_table kStart{};

bool closed_hex(const unsigned char *t, int32_t i, int32_t j) {
    if (t[j - 1] != '>') return false;
    for (int32_t k = i + 1; k < j - 1; ++k)
        if (!is_hex(t[k]) && !is_space(t[k])) return false;
    return true;
}

// Arrays of numbers (boxes, matrices, /Decode and /Domain ranges, colours,
// widths) hold a third of a carried text's tokens, a few bytes each. Asked
// at the byte after a '[', numbers_to_bracket reads the array as bit masks
// of 64 bytes, sixteen at a time, and tells whether it is nothing but
// numbers and white space up to its ']': then it is one valid value without
// references (a reference needs an 'R'), and the walk passes it whole. It
// returns where the ']' is, or -1 (other bytes, a number as PDF does not
// write it), and the walk reads the array token by token. Bytes at or past
// `len` are never read: a block that would cross it is copied first.

// Per byte of a window: a digit, white space (the usual three), a point,
// a sign; `run` bytes are all of these (64 when the window is).
struct number_masks {
    uint64_t dig = 0, sp = 0, dot = 0, sign = 0;
    int32_t run = 64;
};

number_masks number_window(const unsigned char *t, int32_t a, int32_t len) {
    number_masks m;
#ifdef SHEETLAY_SCAN_SSE2
    for (int32_t b = 0; b < 64; b += 16) {
        __m128i x;
        if (len - a - b >= 16) {
            x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t + a + b));
        } else {
            // A zero byte is none of the four: the run ends at `len`.
            alignas(16) unsigned char part[16] = {};
            if (len - a - b > 0) std::memcpy(part, t + a + b, static_cast<size_t>(len - a - b));
            x = _mm_load_si128(reinterpret_cast<const __m128i *>(part));
        }
        const __m128i off = _mm_sub_epi8(x, _mm_set1_epi8('0'));
        const __m128i d = _mm_cmpeq_epi8(_mm_min_epu8(off, _mm_set1_epi8(9)), off);
        const __m128i s = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')),
                                       _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\n')),
                                                    _mm_cmpeq_epi8(x, _mm_set1_epi8('\r'))));
        const __m128i p = _mm_cmpeq_epi8(x, _mm_set1_epi8('.'));
        const __m128i g = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('-')), _mm_cmpeq_epi8(x, _mm_set1_epi8('+')));
        const unsigned md = static_cast<unsigned>(_mm_movemask_epi8(d));
        const unsigned ms = static_cast<unsigned>(_mm_movemask_epi8(s));
        const unsigned mp = static_cast<unsigned>(_mm_movemask_epi8(p));
        const unsigned mg = static_cast<unsigned>(_mm_movemask_epi8(g));
        m.dig |= uint64_t{md} << b;
        m.sp |= uint64_t{ms} << b;
        m.dot |= uint64_t{mp} << b;
        m.sign |= uint64_t{mg} << b;
        const unsigned any = md | ms | mp | mg;
        if (any != 0xFFFF) {
            m.run = b + std::countr_zero(~any);
            break;
        }
    }
#else
    for (int32_t k = 0; k < 64; ++k) {
        const unsigned char c = a + k < len ? t[a + k] : 0;
        const uint64_t bit = uint64_t{1} << k;
        if (is_digit(c)) {
            m.dig |= bit;
        } else if (c == ' ' || c == '\n' || c == '\r') {
            m.sp |= bit;
        } else if (c == '.') {
            m.dot |= bit;
        } else if (c == '-' || c == '+') {
            m.sign |= bit;
        } else {
            m.run = k;
            break;
        }
    }
#endif
    return m;
}

// Whether the bytes below bit n (n < 64) of a window that starts at a
// number or white space are numbers as PDF writes them ([sign] digits
// [. digits], a digit at least), each ending at white space or at n.
bool numbers_below(const number_masks &m, int32_t n) {
    const uint64_t run = (uint64_t{1} << n) - 1;
    const uint64_t dig = m.dig & run, sp = m.sp & run, dot = m.dot & run, sign = m.sign & run;
    const uint64_t tok = run & ~sp;
    const uint64_t starts = tok & ~(tok << 1);
    // A sign only where a number starts.
    if (sign & ~starts) return false;
    // At most one point a number: subtracting each point's bit from the
    // bits where numbers end borrows from the point up to its number's
    // end; a second point in the same number finds its bit set by the
    // first one's borrow and clears it.
    const uint64_t ends = sp | (uint64_t{1} << n);
    if (((ends - dot) & dot) != dot) return false;
    // At least one digit a number: a carry added where a number starts
    // with a sign or point runs through those and stops at its first
    // digit, or past its end where it has none.
    const uint64_t lead = tok & ~dig;
    return ((lead + (starts & lead)) & ~lead & ~dig) == 0;
}

int32_t numbers_to_bracket(const unsigned char *t, int32_t a, int32_t len) {
    for (;;) {
        const number_masks m = number_window(t, a, len);
        if (m.run < 64) {
            if (a + m.run >= len || t[a + m.run] != ']' || !numbers_below(m, m.run)) return -1;
            return a + m.run;
        }
        // A long array (widths): the window's numbers up to its last white
        // space, then the next window from there.
        if (m.sp == 0) return -1;
        const int32_t last = 63 - std::countl_zero(m.sp);
        if (!numbers_below(m, last)) return -1;
        a += last + 1;
    }
}

// The walk is scan_refs' own, token for token, with the validity test
// riding along; where the test fails, scan_refs_from takes over at a
// token's start (or end) and finds the rest of the references alone.
// Blocks: arrays of numbers are passed whole (numbers_to_bracket); without
// it the walk is the plain one the fast one is checked against.
template <bool Blocks>
bool carried_walk(const unsigned char *t, int32_t len, array<ref_at> &refs, bool *clean) {
    clean_state st;
    st.after[0] = kDone;
    unsigned char want = kValue;  // what may come at the innermost level
    int32_t i = 0;
    int32_t depth = 0;
    while (i < len) {
        const unsigned char c = t[i];
        // Names and numbers first: they are most of the tokens.
        if (c == '/') {
            const int32_t e = name_stop(t, i + 1, len);
            if (e < len && t[e] == '#') goto dirty;  // a name to be read escaped
            if (want == kKey) {
                if (!st.new_key(t, i, e, len, depth)) goto dirty;
                want = kValue;
            } else if (want == kValue) {
                want = st.after[depth];
            } else {
                goto dirty;
            }
            i = e;
            if (i < len && t[i] == ' ') ++i;
            continue;
        }
        const unsigned char kind = kStart.v[c];
        if (kind == kRegularByte) {
            // A token: only an integer standing alone can start a reference.
            if (want != kValue) goto dirty;
            const int32_t start = i;
            i = digits_end(t, i, len);
            if (i > start && (i == len || !is_regular(t[i]))) {
                const int32_t end = ref_tail(t, i, len);
                if (end > 0) {
                    const int64_t num = digits_value(t, start, i);
                    refs.push_back(ref_at{start, end, num > INT32_MAX ? -1 : static_cast<int32_t>(num)});
                    i = end;
                    // An "R" that runs on into a token is no reference to the
                    // repair (it keeps the integer and replaces the rest).
                    if (i < len && is_regular(t[i])) goto dirty;
                }
            } else {
                // A number as PDF writes them ([sign] digits [. digits]),
                // seen on the way; anything else is read whole and asked.
                int32_t p = i;
                bool digit = p > start;
                if (!digit && (c == '+' || c == '-')) {
                    const int32_t q = ++p;
                    p = digits_end(t, p, len);
                    digit = p > q;
                }
                if (p < len && t[p] == '.') {
                    const int32_t q = ++p;
                    p = digits_end(t, p, len);
                    digit = digit || p > q;
                }
                if (digit && (p == len || !is_regular(t[p]))) {
                    i = p;
                } else {
                    i = regular_end(t, p, len);
                    if (!(is_number(t, start, i) || same_word(t, start, i, "true", 4) ||
                          same_word(t, start, i, "false", 5) || same_word(t, start, i, "null", 4)))
                        goto dirty;
                }
            }
            want = st.after[depth];
            if (i < len && t[i] == ' ') ++i;
            continue;
        }
        switch (kind) {
            case kSpaceByte:
                ++i;
                break;
            case kParen: {
                if (want != kValue) goto dirty;
                open_literal rest;
                i = skip_literal(t, i, len, &rest);
                if (rest.depth > 0) goto dirty;
                want = st.after[depth];
                break;
            }
            case kLess:
                if (i + 1 < len && t[i + 1] == '<') {
                    if (want != kValue) goto dirty;
                    if (++depth > kMaxNesting) return false;
                    st.after[depth] = want = kKey;
                    st.first_key[depth] = st.nkeys;
                    st.filter[depth] = 0;
                    i += 2;
                    if (i < len && t[i] == ' ') ++i;
                } else {
                    // Closed, and nothing but hex digits and white space.
                    const int32_t j = skip_hex(t, i, len);
                    if (want != kValue || !closed_hex(t, i, j)) {
                        i = j;
                        goto dirty;
                    }
                    want = st.after[depth];
                    i = j;
                }
                break;
            case kBracket:
                if (want != kValue) goto dirty;
                if constexpr (Blocks) {
                    if (depth < kMaxNesting) {
                        const int32_t close = numbers_to_bracket(t, i + 1, len);
                        if (close >= 0) {
                            want = st.after[depth];
                            i = close + 1;
                            if (i < len && t[i] == ' ') ++i;
                            break;
                        }
                    }
                }
                if (++depth > kMaxNesting) return false;
                st.after[depth] = want = kValue;
                ++i;
                if (i < len && t[i] == ' ') ++i;
                break;
            case kCloser:
                // It closes the innermost bracket, an array.
                if (depth == 0 || st.after[depth] != kValue) goto dirty;
                want = st.after[--depth];
                ++i;
                if (i < len && t[i] == ' ') ++i;
                break;
            case kGreater:
                // ">>" closes the innermost bracket, a dictionary with no
                // key left without its value.
                if (i + 1 == len || t[i + 1] != '>' || depth == 0 || st.after[depth] != kKey ||
                    want != kKey)
                    goto dirty;
                st.close_dict(depth);
                want = st.after[--depth];
                i += 2;
                if (i < len && t[i] == ' ') ++i;
                break;
            case kPercent:
                while (i < len && t[i] != '\r' && t[i] != '\n') ++i;
                break;
            default:  // ')', '{' and '}' stand for no object
                goto dirty;
        }
    }
    *clean = depth == 0 && want == kDone;
    return true;
dirty:
    if (!scan_refs_from(t, i, depth, len, [&refs](int32_t s, int32_t e, int64_t num) {
            refs.push_back(ref_at{s, e, static_cast<int32_t>(num)});
        }))
        return false;
    *clean = false;
    return true;
}

}  // namespace

bool scan_carried(const unsigned char *t, int32_t len, array<ref_at> &refs, bool *clean) {
    return carried_walk<true>(t, len, refs, clean);
}

bool scan_carried_plain(const unsigned char *t, int32_t len, array<ref_at> &refs, bool *clean) {
    return carried_walk<false>(t, len, refs, clean);
}

int32_t value_end(const unsigned char *t, int32_t len, int32_t p) {
    if (p >= len) return len;
    unsigned char c = t[p];
    if (c == '[' || (c == '<' && p + 1 < len && t[p + 1] == '<')) {
        int32_t depth = 0;
        int32_t i = p;
        while (i < len) {
            c = t[i];
            if (c == '(') {
                i = skip_literal(t, i, len);
            } else if (c == '<' && i + 1 < len && t[i + 1] == '<') {
                ++depth;
                i += 2;
            } else if (c == '<') {
                i = skip_hex(t, i, len);
            } else if (c == '[') {
                ++depth;
                ++i;
            } else if (c == ']' || (c == '>' && i + 1 < len && t[i + 1] == '>')) {
                i += c == ']' ? 1 : 2;
                if (--depth <= 0) return i;
            } else {
                ++i;
            }
        }
        return len;
    }
    if (c == '(') return skip_literal(t, p, len);
    if (c == '<') return skip_hex(t, p, len);
    int32_t i = c == '/' ? p + 1 : p;
    bool digits = true;
    for (; i < len && is_regular(t[i]); ++i)
        if (!is_digit(t[i])) digits = false;
    if (c != '/' && digits && i > p) {
        int32_t end = ref_tail(t, i, len);
        if (end > 0) return end;
    }
    return i;
}

}  // namespace sheetlay::nup
