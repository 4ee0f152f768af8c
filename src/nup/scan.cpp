// Hex-string skipping, reference tails, value ends and the closers of a
// body cut short (see scan.h). Literal strings are skipped by the lexer's
// skipper, the one the reader uses too.
#include "nup/scan.h"

#include <cstring>

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

// What the validity test of scan_carried keeps: the kind of each open
// bracket, whether the innermost dictionary awaits a value, and the keys
// met in the open dictionaries (to find a repeated one).
struct clean_state {
    uint64_t dict[kMaxNesting / 64 + 1] = {};  // bit d: level d is a dictionary
    int32_t first_key[kMaxNesting + 1];        // per level: its keys' start in `keys`
    struct key {
        uint32_t tag;  // length, middle and last byte
        int32_t s;
    } keys[kCleanKeys];
    int32_t nkeys = 0;
    bool want_value = false;  // innermost dictionary: a key was read, not yet its value
    bool top_done = false;    // the text's value is whole

    bool is_dict(int32_t d) const { return (dict[d >> 6] >> (d & 63)) & 1; }
    // May a value start here (at nesting depth d)?
    bool value_may_start(int32_t d) const { return !top_done && (d == 0 || !is_dict(d) || want_value); }
    void value_done(int32_t d) {
        if (d == 0) {
            top_done = true;
        } else {
            want_value = false;  // a dictionary now awaits its next key
        }
    }
    // A key t[s, e) of the dictionary at depth d: false when it repeats.
    // Keys are told apart by length and three of their bytes first.
    bool new_key(const unsigned char *t, int32_t s, int32_t e, int32_t d) {
        const int32_t n = e - s;
        const uint32_t tag = static_cast<uint32_t>(n) | uint32_t{t[s + n / 2]} << 16 | uint32_t{t[e - 1]} << 24;
        for (int32_t k = first_key[d]; k < nkeys; ++k)
            if (keys[k].tag == tag && std::memcmp(t + keys[k].s, t + s, static_cast<size_t>(n)) == 0) return false;
        if (nkeys == kCleanKeys) return false;
        keys[nkeys++] = key{tag, s};
        return true;
    }
};

// The bytes that start a token, by what they start.
enum : unsigned char { kSpaceByte, kRegularByte, kParen, kLess, kBracket, kCloser, kGreater, kPercent, kSlash, kStray };
struct start_table {
    unsigned char v[256];
    constexpr start_table() : v() {
        for (int c = 0; c < 256; ++c) v[c] = kRegularByte;
        v[0] = v[9] = v[10] = v[12] = v[13] = v[32] = kSpaceByte;
        v['('] = kParen;
        v['<'] = kLess;
        v['['] = kBracket;
        v[']'] = kCloser;
        v['>'] = kGreater;
        v['%'] = kPercent;
        v['/'] = kSlash;
        v[')'] = v['{'] = v['}'] = kStray;
    }
};
constexpr start_table kStart{};

// The bytes of a name after its '/': 0 ends it, 1 a regular byte, 2 '#'.
struct name_table {
    unsigned char v[256];
    constexpr name_table() : v() {
        for (int c = 0; c < 256; ++c) v[c] = kRegular.v[c] ? 1 : 0;
        v['#'] = 2;
    }
};
constexpr name_table kNameByte{};

}  // namespace

// The walk is scan_refs' own, token for token; the test rides along and,
// once it has failed, costs nothing more.
bool scan_carried(const unsigned char *t, int32_t len, array<ref_at> &refs, bool *clean) {
    clean_state st;
    bool ok = true;  // the validity test has not failed yet
    int32_t i = 0;
    int32_t depth = 0;
    while (i < len) {
        const unsigned char c = t[i];
        switch (kStart.v[c]) {
            case kSpaceByte:
                ++i;
                break;
            case kParen: {
                open_literal rest;
                if (ok && !st.value_may_start(depth)) ok = false;
                i = skip_literal(t, i, len, &rest);
                if (rest.depth > 0) ok = false;
                if (ok) st.value_done(depth);
                break;
            }
            case kLess:
                if (i + 1 < len && t[i + 1] == '<') {
                    if (++depth > kMaxNesting) return false;
                    if (ok && st.value_may_start(depth - 1)) {
                        st.dict[depth >> 6] |= uint64_t{1} << (depth & 63);
                        st.first_key[depth] = st.nkeys;
                        st.want_value = false;
                    } else {
                        ok = false;
                    }
                    i += 2;
                } else {
                    int32_t j = skip_hex(t, i, len);
                    if (ok) {
                        // Closed, and nothing but hex digits and white space.
                        if (!st.value_may_start(depth) || t[j - 1] != '>') ok = false;
                        for (int32_t k = i + 1; ok && k < j - 1; ++k)
                            if (!is_hex(t[k]) && !is_space(t[k])) ok = false;
                        if (ok) st.value_done(depth);
                    }
                    i = j;
                }
                break;
            case kBracket:
                if (++depth > kMaxNesting) return false;
                if (ok && st.value_may_start(depth - 1)) {
                    st.dict[depth >> 6] &= ~(uint64_t{1} << (depth & 63));
                } else {
                    ok = false;
                }
                ++i;
                break;
            case kCloser:
            case kGreater: {
                const bool close_dict = c == '>' && i + 1 < len && t[i + 1] == '>';
                if (ok) {
                    // It closes the innermost bracket, of its own kind, and no
                    // dictionary key is left without its value.
                    if (depth == 0 || (c == '>' && !close_dict) || st.is_dict(depth) != close_dict ||
                        (close_dict && st.want_value)) {
                        ok = false;
                    } else {
                        if (close_dict) st.nkeys = st.first_key[depth];
                        st.value_done(depth - 1);
                    }
                }
                if (depth > 0) --depth;
                i += close_dict ? 2 : 1;
                break;
            }
            case kPercent:
                while (i < len && t[i] != '\r' && t[i] != '\n') ++i;
                break;
            case kSlash: {
                int32_t s = i;
                unsigned seen = 0;  // 2: a '#'
                ++i;
                for (unsigned k; i < len && (k = kNameByte.v[t[i]]) != 0; ++i) seen |= k;
                if (ok) {
                    if (seen & 2) {
                        ok = false;
                    } else if (depth > 0 && st.is_dict(depth) && !st.want_value && !st.top_done) {
                        if (st.new_key(t, s, i, depth)) {
                            st.want_value = true;
                        } else {
                            ok = false;
                        }
                    } else if (st.value_may_start(depth)) {
                        st.value_done(depth);
                    } else {
                        ok = false;
                    }
                }
                break;
            }
            case kRegularByte: {
                // A token: only an integer standing alone can start a reference.
                int32_t start = i;
                int64_t num = 0;
                while (i < len && is_digit(t[i])) {
                    if (num <= INT32_MAX) num = num * 10 + (t[i] - '0');
                    ++i;
                }
                if (ok && !st.value_may_start(depth)) ok = false;
                bool integer = i > start && (i == len || !is_regular(t[i]));
                if (!integer && i < len && t[i] == '.') {
                    // The common real, "digits.digits" standing alone: a
                    // number (is_number's answer, without its walk).
                    int32_t p = i + 1;
                    while (p < len && is_digit(t[p])) ++p;
                    if ((i > start || p > i + 1) && (p == len || !is_regular(t[p]))) {
                        i = p;
                        if (ok) st.value_done(depth);
                        break;
                    }
                }
                if (!integer) {
                    while (i < len && is_regular(t[i])) ++i;
                    if (ok && !(is_number(t, start, i) || same_word(t, start, i, "true", 4) ||
                                same_word(t, start, i, "false", 5) || same_word(t, start, i, "null", 4)))
                        ok = false;
                    if (ok) st.value_done(depth);
                    break;
                }
                int32_t end = ref_tail(t, i, len);
                if (end > 0) {
                    refs.push_back(ref_at{start, end, num > INT32_MAX ? -1 : static_cast<int32_t>(num)});
                    i = end;
                    // An "R" that runs on into a token is no reference to the
                    // repair (it keeps the integer and replaces the rest).
                    if (i < len && is_regular(t[i])) ok = false;
                }
                if (ok) st.value_done(depth);
                break;
            }
            default:  // ')', '{' and '}' stand for no object
                ok = false;
                ++i;
                break;
        }
    }
    *clean = ok && depth == 0 && st.top_done;
    return true;
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
