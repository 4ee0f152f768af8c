// Lexical primitives of PDF text (see pdf/lexer.h).
//
// Searches jump to the first byte of what they look for (memchr for
// keywords, which stand far apart; the block searches of pdf/bytescan.h for
// names and the bytes of dictionaries, which stand a few bytes apart) and
// then check the token's boundaries, since most of a file is stream data
// that holds no token at all. Positions are int32_t (files are limited to
// 2^31 - 1 bytes); sums that could pass that limit are formed in 64 bits.
#include "pdf/lexer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "pdf/bytescan.h"

namespace sheetlay {

namespace {

// is_pdf_ws as a table: skip_ws runs before nearly every token read.
struct ws_table {
    bool v[256] = {};
    constexpr ws_table() { v[0] = v[9] = v[10] = v[12] = v[13] = v[32] = true; }
};
constexpr ws_table kWs{};

// The end of the literal string at t[i] == '(' (i < end), or -1 when it
// does not close before end: for the readers, an open string is damage.
int32_t closed_literal_end(const unsigned char *t, int32_t i, int32_t end) {
    open_literal open;
    int32_t j = skip_literal(t, i, end, &open);
    return open.depth > 0 ? -1 : j;
}

// Reads a run of digits ending at `last` backwards; returns its first
// position.
int32_t digit_run_start(const unsigned char *t, int32_t last) {
    int32_t k = last;
    while (k >= 0 && is_dec_digit(t[k])) --k;
    return k + 1;
}

// The decimal value of the digits t[from, to); it saturates at INT32_MAX.
int32_t read_decimal(const unsigned char *t, int32_t from, int32_t to) {
    if (to - from <= 9) {
        // Nine digits cannot pass the limit.
        int32_t v = 0;
        for (int32_t i = from; i < to; ++i) v = v * 10 + (t[i] - '0');
        return v;
    }
    int64_t v = 0;
    for (int32_t i = from; i < to; ++i) {
        v = v * 10 + (t[i] - '0');
        if (v > INT32_MAX) v = INT32_MAX;
    }
    return static_cast<int32_t>(v);
}

}  // namespace

int32_t skip_literal(const unsigned char *t, int32_t i, int32_t len, open_literal *open) {
    if (open) *open = open_literal{};
    int32_t depth = 0;
    for (int32_t j = i; j < len; ++j) {
        unsigned char c = t[j];
        if (c == '\\') {
            // The escaped byte does not count.
            if (++j == len && open) open->half_escape = true;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            return j + 1;
        }
    }
    if (open) open->depth = depth;
    return len;
}

// ===========================================================================
// Object headers

int32_t header_parts_before(const unsigned char *t, int32_t P, header_parts *h) {
    // Vertical tabs are white space to this reading but not to PDF's.
    auto spaces = [t](int32_t j, bool *vt) {
        for (; j >= 0 && is_c_space(t[j]); --j) *vt |= t[j] == '\v';
        return j;
    };
    h->vt_after_gen = h->vt_before_gen = false;
    int32_t j = spaces(P - 1, &h->vt_after_gen);
    if (j < 0 || !is_dec_digit(t[j])) return -1;
    h->gen_to = j + 1;
    j = digit_run_start(t, j) - 1;  // byte before the generation number
    h->gen_from = j + 1;
    if (j < 0 || !is_c_space(t[j])) return -1;
    j = spaces(j, &h->vt_before_gen);
    if (j < 0 || !is_dec_digit(t[j])) return -1;
    int32_t first = digit_run_start(t, j);
    if (first > 0 && is_alnum(t[first - 1])) return -1;
    h->num = read_decimal(t, first, j + 1);
    return h->num > 0 ? first : -1;
}

int32_t header_before(const unsigned char *t, int32_t P, int32_t *num) {
    header_parts h{};
    h.num = *num;  // left as it was when no number is read
    const int32_t first = header_parts_before(t, P, &h);
    *num = h.num;
    return first;
}

// The first byte of the body of the object whose header "N G obj" begins
// at t[hdr].
//
// As parse_int_at, skip_ws, parse_int_at (when a digit follows), skip_ws,
// "obj", skip_ws would read it, without reading the numbers' values: the
// writer asks for the bodies of thousands of objects.
int32_t body_start(const unsigned char *t, int32_t len, int32_t hdr) {
    auto ws = [&](int32_t p) {
        while (p < len && kWs.v[t[p]]) ++p;
        return p;
    };
    int32_t p = hdr;
    if (p >= 0 && p < len) {
        // The object number, moved over only when there is one.
        int32_t q = ws(p);
        if (q < len && t[q] == '-') ++q;
        if (q < len && is_dec_digit(t[q])) {
            while (q < len && is_dec_digit(t[q])) ++q;
            p = q;
        }
    }
    p = ws(p < 0 ? 0 : p);
    if (p < len && is_dec_digit(t[p]))
        while (p < len && is_dec_digit(t[p])) ++p;
    p = ws(p);
    if (kw_at(t, p, len, "obj")) p = ws(p + 3);
    return p;
}

// The first header "N G obj" that begins in t[from..stop), or -1.
int32_t next_header(const unsigned char *t, int32_t len, int32_t from, int32_t stop) {
    for (int32_t i = from; i + 3 <= stop; ++i) {
        const void *hit = std::memchr(t + i, 'o', static_cast<size_t>(stop - 3 - i + 1));
        if (!hit) return -1;
        i = static_cast<int32_t>(static_cast<const unsigned char *>(hit) - t);
        if (!kw_at(t, i, len, "obj")) continue;
        int32_t num = 0;
        int32_t h = header_before(t, i, &num);
        if (h >= from) return h;
    }
    return -1;
}

// ===========================================================================
// Scanning primitives

int32_t skip_ws(const unsigned char *t, int32_t pos, int32_t end) {
    if (pos >= end) return pos;
    if (pos < 0) pos = 0;
    while (pos < end && kWs.v[t[pos]]) ++pos;
    return pos;
}

namespace {

// How rare a letter is in the text of PDF files (dictionary keys, names,
// operators), lower rarer: the search for a keyword looks for its rarest
// letter, so that memchr stops seldom ('e', which "endobj" and "endstream"
// begin with, is among the commonest letters of dictionaries).
constexpr char kRareFirst[] = "jqzxJQZXkvwyKVWYbgfpBGFPhmHMucUCdlDLiIrRaAnNsStToOeE";

size_t anchor_of(const char *kw, size_t klen) {
    size_t best = 0, best_rank = sizeof kRareFirst;
    for (size_t k = 0; k < klen; ++k) {
        const char *at = std::strchr(kRareFirst, kw[k]);
        size_t rank = (at && kw[k]) ? static_cast<size_t>(at - kRareFirst) : sizeof kRareFirst - 1;
        if (rank < best_rank) {
            best_rank = rank;
            best = k;
        }
    }
    return best;
}

// find_kw with the keyword's length and anchor already known (klen > 0).
int32_t find_kw_at(const unsigned char *t, int32_t len, int32_t start, const char *kw, size_t klen,
                   size_t a) {
    if (start < 0) start = 0;
    // Candidates in order: each start i whose anchor letter kw[a] stands at
    // t[i + a].
    int64_t i = start;
    while (i + static_cast<int64_t>(klen) <= len) {
        const void *hit = std::memchr(t + i + a, kw[a], static_cast<size_t>(len - i - klen + 1));
        if (!hit) return -1;
        i = static_cast<const unsigned char *>(hit) - t - static_cast<int64_t>(a);
        // Most anchors stand in stream data: the first byte turns them away.
        if (i >= 0 && t[i] == static_cast<unsigned char>(kw[0]) &&
            kw_at_n(t, static_cast<int32_t>(i), len, kw, klen))
            return static_cast<int32_t>(i);
        ++i;
    }
    return -1;
}

}  // namespace

int32_t find_kw(const unsigned char *t, int32_t len, int32_t start, const char *kw) {
    size_t klen = std::strlen(kw);
    if (klen == 0) return -1;
    return find_kw_at(t, len, start, kw, klen, anchor_of(kw, klen));
}

int32_t find_name(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                  const char *name) {
    int64_t end = std::min(len, limit);
    int64_t nlen = static_cast<int64_t>(std::strlen(name));
    if (start < 0) start = 0;
    int64_t i = start;
    if (nlen > 0) {
        // Dictionaries hold a slash every few bytes: the search goes for the
        // slash and the name's first letter together.
        const unsigned char first = static_cast<unsigned char>(name[0]);
        while (i + 1 + nlen <= end) {
            const unsigned char *hit = first_pair(t + i, t + end - nlen + 1, '/', first);
            if (!hit) return -1;
            i = hit - t;
            // Names are short: compared in place.
            int64_t k = 1;
            while (k < nlen && t[i + 1 + k] == static_cast<unsigned char>(name[k])) ++k;
            if (k == nlen && (i + 1 + nlen == end || !is_name_char(t[i + 1 + nlen])))
                return static_cast<int32_t>(i);
            ++i;
        }
        return -1;
    }
    while (i + 1 + nlen <= end) {
        const void *hit = std::memchr(t + i, '/', static_cast<size_t>(end - nlen - i));
        if (!hit) return -1;
        i = static_cast<const unsigned char *>(hit) - t;
        // The name's first byte turns most other names away before the
        // whole comparison.
        if ((nlen == 0 || t[i + 1] == static_cast<unsigned char>(name[0])) &&
            std::memcmp(t + i + 1, name, static_cast<size_t>(nlen)) == 0 &&
            (i + 1 + nlen == end || !is_name_char(t[i + 1 + nlen])))
            return static_cast<int32_t>(i);
        ++i;
    }
    return -1;
}

// The top-level name search has something to do only at a comment, a
// string, a dictionary or hex string opening or closing, and a name.

int32_t find_name_top(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                      const char *name) {
    int32_t end = std::min(len, limit);
    int64_t nlen = static_cast<int64_t>(std::strlen(name));
    if (start < 0) start = 0;
    if (start >= end) return -1;
    int32_t depth = 0;
    int32_t i = start;
    while (i < end) {
        // Most of a dictionary is numbers, references, spaces and other
        // names: they are passed over sixteen bytes to a step (a name that
        // does not begin with the wanted one's first letter cannot match).
        i = static_cast<int32_t>(
            (nlen > 0 ? first_of_or_pair<'/', '%', '(', '<', '>'>(t + i, t + end, static_cast<unsigned char>(name[0]))
                      : first_of<'%', '(', '<', '>', '/'>(t + i, t + end)) -
            t);
        if (i >= end) break;
        unsigned char c = t[i];
        if (c == '%') {
            int32_t j = i + 1;
            while (j < end && t[j] != '\r' && t[j] != '\n') ++j;
            if (j >= end) return -1;
            i = j;
        } else if (c == '(') {
            int32_t j = closed_literal_end(t, i, end);
            if (j < 0) return -1;
            i = j;
        } else if (c == '<') {
            if (i + 1 >= end) return -1;
            if (t[i + 1] == '<') {
                ++depth;
                i += 2;
            } else {
                int32_t j = i + 1;
                while (j < end && t[j] != '>') ++j;
                if (j >= end) return -1;
                i = j + 1;
            }
        } else if (c == '>') {
            if (i + 1 >= end) return -1;
            if (t[i + 1] == '>') {
                if (depth > 0) --depth;
                i += 2;
            } else {
                ++i;
            }
        } else if (c == '/' && depth <= 1) {
            if (i + 1 + nlen <= end && (nlen == 0 || t[i + 1] == static_cast<unsigned char>(name[0])) &&
                std::memcmp(t + i + 1, name, static_cast<size_t>(nlen)) == 0 &&
                (i + 1 + nlen == end || !is_name_char(t[i + 1 + nlen])))
                return i;
            ++i;
        } else {
            ++i;
        }
    }
    return -1;
}

int32_t dict_end_at(const unsigned char *t, int32_t len, int32_t pos) {
    if (pos < 0 || static_cast<int64_t>(pos) + 1 >= len || t[pos] != '<' || t[pos + 1] != '<')
        return -1;
    int32_t depth = 0;
    int32_t i = pos;
    while (i < len) {
        if (i + 1 < len && t[i] == '<' && t[i + 1] == '<') {
            ++depth;
            i += 2;
        } else if (i + 1 < len && t[i] == '>' && t[i + 1] == '>') {
            --depth;
            i += 2;
            if (depth == 0) return i;
        } else if (t[i] == '(') {
            int32_t j = closed_literal_end(t, i, len);
            if (j < 0) return -1;
            i = j;
        } else {
            // On to the next byte that can open or close anything.
            i = static_cast<int32_t>(first_of<'<', '>', '('>(t + i + 1, t + len) - t);
        }
    }
    return -1;
}

char *dict_text_at(const unsigned char *t, int32_t len, int32_t pos) {
    int32_t i = dict_end_at(t, len, pos);
    if (i < 0) return nullptr;
    size_t n = static_cast<size_t>(i - pos);
    char *out = static_cast<char *>(std::malloc(n + 1));
    if (!out) return nullptr;
    std::memcpy(out, t + pos, n);
    out[n] = '\0';
    return out;
}

int32_t dict_stream_kw(const unsigned char *t, int32_t len, int32_t pos) {
    if (pos < 0) return -1;
    int32_t depth = 0;
    int32_t i = pos;
    while (i < len) {
        unsigned char c = t[i];
        if ((c == '<' || c == '>' || c == '(') && i == len - 1) return -1;
        if (c == '<' && t[i + 1] == '<') {
            ++depth;
            i += 2;
        } else if (c == '>' && t[i + 1] == '>') {
            --depth;
            i += 2;
            if (depth < 0) return -1;  // closed before it opened: never closes
            if (depth == 0) {
                int32_t j = skip_ws(t, i, len);
                return kw_at(t, j, len, "stream") ? j : -1;
            }
        } else if (c == '(') {
            int32_t j = closed_literal_end(t, i, len);
            if (j < 0) return -1;
            i = j;
        } else {
            ++i;
        }
    }
    return -1;
}

int32_t parse_int_at(const unsigned char *t, int32_t len, int32_t *cursor) {
    int32_t p = *cursor;
    if (p < 0 || p >= len) return -1;
    p = skip_ws(t, p, len);
    if (p >= len) return -1;
    bool neg = false;
    if (t[p] == '-') {
        neg = true;
        ++p;
    }
    if (p >= len || !is_dec_digit(t[p])) return -1;
    uint32_t v = 0;
    while (p < len && is_dec_digit(t[p])) v = v * 10u + static_cast<uint32_t>(t[p++] - '0');
    *cursor = p;
    return static_cast<int32_t>(neg ? 0u - v : v);
}

int32_t read_int_adv(const unsigned char *t, int32_t len, int32_t *cursor) {
    int32_t p = *cursor;
    if (p < 0 || p >= len) return -1;
    p = skip_ws(t, p, len);
    if (p >= len) {
        *cursor = len;
        return -1;
    }
    bool neg = false;
    if (t[p] == '+' || t[p] == '-') {
        neg = t[p] == '-';
        ++p;
        if (p >= len) {
            *cursor = p;
            return -1;
        }
    }
    if (!is_dec_digit(t[p])) {
        *cursor = t[p] == 'R' ? p : p + 1;
        return -1;
    }
    uint32_t v = 0;
    while (p < len && is_dec_digit(t[p])) v = v * 10u + static_cast<uint32_t>(t[p++] - '0');
    *cursor = p;
    return static_cast<int32_t>(neg ? 0u - v : v);
}

void parse_length(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                  int32_t *direct_len, int32_t *len_ref) {
    *direct_len = -1;
    *len_ref = -1;
    int32_t end = std::min(len, limit);
    int32_t from = start;
    // An array read without result up to its "]" (or the end): a later
    // /Length whose "[" lies inside it reads the same numbers to the same
    // place, so it is passed over without reading them again.
    int32_t fruitless_until = -1;
    for (;;) {
        int32_t i = find_name(t, len, from, limit, "Length");
        if (i < 0) return;
        from = i + 1;
        // Pass over the delimiter that ends the name, then white space.
        int32_t p = skip_ws(t, i + 8, end);
        if (p >= end) return;
        unsigned char c = t[p];
        if (c == '[') {
            if (p < fruitless_until) continue;
            int32_t q = p + 1;
            int32_t last = -1;
            while (q < end && t[q] != ']') {
                int32_t cur = q;
                int32_t v = parse_int_at(t, end, &cur);
                if (cur != q) {
                    if (v >= 0) last = v;
                    q = cur;
                } else {
                    ++q;
                }
            }
            if (last >= 0) {
                *direct_len = last;
                return;
            }
            fruitless_until = q;
        } else if (is_dec_digit(c) || c == '-') {
            int32_t cur = p;
            int32_t v = parse_int_at(t, len, &cur);
            if (v < 0) continue;
            int32_t q = skip_ws(t, cur, end);
            if (q < end && is_dec_digit(t[q])) {
                int32_t g = q;
                parse_int_at(t, len, &g);
                q = skip_ws(t, g, end);
            }
            if (q < end && t[q] == 'R' && (q + 1 >= end || !is_alnum(t[q + 1])))
                *len_ref = v;
            else
                *direct_len = v;
            return;
        }
    }
}

int dict_range(const unsigned char *file, int32_t file_len, const obj_entry *e,
               const unsigned char **t, int32_t *tlen, int32_t *start, int32_t *end) {
    if (e->in_objstm) {
        if (!e->text || e->text_len <= 0) return 0;
        *t = e->text;
        *tlen = e->text_len;
        *start = 0;
        *end = e->text_len;
        return 1;
    }
    if (e->dict_pos < 0 || e->dict_pos >= file_len) return 0;
    int32_t stop = e->stream_pos > 0 ? e->stream_pos : e->endobj_pos > 0 ? e->endobj_pos : file_len;
    if (stop > file_len) stop = file_len;
    *t = file;
    *tlen = file_len;
    *start = e->dict_pos;
    *end = stop;
    return 1;
}

namespace {

// Whether t[start, end) holds "/Page" anywhere: a dictionary without it is
// neither a page nor a page tree node, and most dictionaries are neither.
// memchr finds the few slashes far faster than the token walk below.
bool mentions_page(const unsigned char *t, int32_t start, int32_t end) {
    const unsigned char *p = t + start, *const e = t + end;
    while (e - p >= 5) {
        // "/P" is much rarer than "/" alone.
        const unsigned char *s = first_pair<'/', 'P'>(p, e - 3);
        if (!s) return false;
        p = s;
        if (std::memcmp(p + 2, "age", 3) == 0) return true;
        ++p;
    }
    return false;
}

}  // namespace

int obj_type(const unsigned char *file, int32_t file_len, const obj_entry *e) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(file, file_len, e, &t, &tlen, &start, &end)) return 0;
    const int32_t from = start < 0 ? 0 : start;
    if (end <= from || !mentions_page(t, from, end)) return 0;
    int32_t p = start;
    for (;;) {
        int32_t i = find_name_top(t, end, p, end, "Type");
        if (i < 0) return 0;
        p = i + 1;
        int32_t q = skip_ws(t, i + 5, end);
        if (q >= end || t[q] != '/' || q == end - 1) continue;
        if (q + 5 > end || std::memcmp(t + q + 1, "Page", 4) != 0) continue;
        int32_t r = q + 5;
        if (r == end || !is_alnum(t[r])) return 1;
        if (t[r] == 's' && (r + 1 == end || !is_alnum(t[r + 1]))) return 2;
        return 0;
    }
}

int obj_body(const unsigned char *file, int32_t file_len, const obj_entry *e,
             const unsigned char **body, int32_t *body_len) {
    if (e->in_objstm) {
        if (!e->text || e->text_len <= 0) return 0;
        *body = e->text;
        *body_len = e->text_len;
        return 1;
    }
    if (e->hdr_pos < 0 || e->hdr_pos >= file_len) return 0;
    const int32_t p = e->body_at ? e->hdr_pos + (e->body_at - 1) : body_start(file, file_len, e->hdr_pos);
    if (e->endobj_pos <= 0 || e->endobj_pos <= p || p >= file_len) return 0;
    int32_t stop = std::min(e->endobj_pos, file_len);
    *body = file + p;
    *body_len = stop - p;
    return 1;
}

// ===========================================================================
// Named values and keyword positions

int32_t name_value(const unsigned char *t, int32_t end, int32_t i, const char *name) {
    int32_t p = i + 1 + static_cast<int32_t>(std::strlen(name));
    return parse_int_at(t, end, &p);
}

int32_t first_name_int(const unsigned char *t, int32_t len, int32_t start, int32_t end,
                       const char *name, int32_t min) {
    for (int32_t from = start;;) {
        int32_t i = find_name(t, len, from, end, name);
        if (i < 0) return -1;
        from = i + 1;
        int32_t v = name_value(t, len, i, name);
        if (v >= min) return v;
    }
}

void kw_positions::collect(const unsigned char *t, int32_t len, const char *kw, int32_t from) {
    const size_t klen = std::strlen(kw);
    if (klen == 0) return;
    const size_t a = anchor_of(kw, klen);
    for (int32_t p = find_kw_at(t, len, from, kw, klen, a); p >= 0; p = find_kw_at(t, len, p + 1, kw, klen, a))
        pos.push_back(p);
}

int32_t kw_positions::first_at_or_after(int64_t p) const {
    auto it = std::lower_bound(pos.begin(), pos.end(), p, [](int32_t a, int64_t b) { return a < b; });
    return it == pos.end() ? -1 : *it;
}

}  // namespace sheetlay
