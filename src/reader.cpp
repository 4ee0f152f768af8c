// The input side: the document record, the byte-scanning primitives, loading
// a file into an object index, object streams, the page tree, page
// attributes and access to stream data.
//
// The reader never builds an object tree. It keeps the file's bytes (and the
// decoded text of object streams) and answers every question by scanning a
// bounded range of bytes.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.h"

namespace sheetlay {

namespace {

constexpr int32_t kMaxObjNum = 8388607;  // 2^23 - 1: the largest kept object number
constexpr int kMaxTreeDepth = 256;        // /Pages levels accepted by the walk

// Hash and order for positions and object numbers. Being local types, they
// keep the standard containers built on them out of the shared library's
// exported symbols.
struct pos_hash {
    size_t operator()(int32_t v) const noexcept {
        return static_cast<size_t>(static_cast<uint32_t>(v)) * 0x9E3779B1u;
    }
};
struct pos_less {
    bool operator()(int32_t a, int32_t b) const noexcept { return a < b; }
};
template <class V>
using pos_map = std::unordered_map<int32_t, V, pos_hash>;
using pos_set = std::unordered_set<int32_t, pos_hash>;

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The C runtime's isspace in the "C" locale: space, \t, \n, \v, \f, \r.
inline bool is_c_space(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

// Bytes that may continue a name for the purposes of a name match.
inline bool is_name_char(unsigned char c) {
    return is_alnum(c) || c == '+' || c == '-' || c == '_';
}

// Skips a literal string that opens at t[i] == '('. Returns the position
// after its balancing ')', or -1 when the string is not closed before end.
int32_t skip_literal(const unsigned char *t, int32_t i, int32_t end) {
    int32_t depth = 0;
    for (int32_t j = i; j < end; ++j) {
        unsigned char c = t[j];
        if (c == '\\') {
            ++j;  // the escaped byte does not count
            continue;
        }
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth == 0) return j + 1;
        }
    }
    return -1;
}

// Reads a run of digits ending at `last` backwards; returns its first
// position.
int32_t digit_run_start(const unsigned char *t, int32_t last) {
    int32_t k = last;
    while (k >= 0 && is_digit(t[k])) --k;
    return k + 1;
}

// The decimal value of the digits t[from, to); it saturates at INT32_MAX.
int32_t read_decimal(const unsigned char *t, int32_t from, int32_t to) {
    int64_t v = 0;
    for (int32_t i = from; i < to; ++i) {
        v = v * 10 + (t[i] - '0');
        if (v > INT32_MAX) v = INT32_MAX;
    }
    return static_cast<int32_t>(v);
}

// With the keyword "obj" at t[P]: the position of the first digit of the
// "N G obj" header it closes, or -1 when no header of an object numbered
// above zero ends there. *num receives N.
int32_t header_before(const unsigned char *t, int32_t P, int32_t *num) {
    int32_t j = P - 1;
    while (j >= 0 && is_c_space(t[j])) --j;
    if (j < 0 || !is_digit(t[j])) return -1;
    j = digit_run_start(t, j) - 1;  // byte before the generation number
    if (j < 0 || !is_c_space(t[j])) return -1;
    while (j >= 0 && is_c_space(t[j])) --j;
    if (j < 0 || !is_digit(t[j])) return -1;
    int32_t first = digit_run_start(t, j);
    if (first > 0 && is_alnum(t[first - 1])) return -1;
    *num = read_decimal(t, first, j + 1);
    return *num > 0 ? first : -1;
}

// The first byte of the body of the object whose header "N G obj" begins
// at t[hdr].
int32_t body_start(const unsigned char *t, int32_t len, int32_t hdr) {
    int32_t p = hdr;
    parse_int_at(t, len, &p);
    p = skip_ws(t, p, len);
    if (p < len && is_digit(t[p])) parse_int_at(t, len, &p);
    p = skip_ws(t, p, len);
    if (kw_at(t, p, len, "obj")) p = skip_ws(t, p + 3, len);
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

}  // namespace

// ===========================================================================
// Containers

void objvec_push(objvec *v, const obj_entry *e) {
    if (v->count == v->cap) {
        int64_t ncap = v->count == 0 ? 128 : 2 * static_cast<int64_t>(v->count);
        if (ncap > INT32_MAX) return;
        void *p = std::realloc(v->items, static_cast<size_t>(ncap) * sizeof(obj_entry));
        if (!p) return;
        v->items = static_cast<obj_entry *>(p);
        v->cap = static_cast<int32_t>(ncap);
    }
    v->items[v->count++] = *e;
}

void pagevec_push(pagevec *v, const pageinfo *pg) {
    if (v->count == v->cap) {
        int64_t ncap = v->count == 0 ? 64 : 2 * static_cast<int64_t>(v->count);
        if (ncap > INT32_MAX) return;
        void *p = std::realloc(v->items, static_cast<size_t>(ncap) * sizeof(pageinfo));
        if (!p) return;
        v->items = static_cast<pageinfo *>(p);
        v->cap = static_cast<int32_t>(ncap);
    }
    v->items[v->count++] = *pg;
}

void *arena_alloc(arena *a, size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    if (a->count == a->cap) {
        int64_t ncap = a->cap == 0 ? 4 : 2 * static_cast<int64_t>(a->cap);
        if (ncap > INT32_MAX) {
            std::free(block);
            return nullptr;
        }
        void *p = std::realloc(a->blocks, static_cast<size_t>(ncap) * sizeof(void *));
        if (!p) {
            std::free(block);
            return nullptr;
        }
        a->blocks = static_cast<void **>(p);
        a->cap = static_cast<int32_t>(ncap);
    }
    a->blocks[a->count++] = block;
    return block;
}

void arena_free_last(arena *a) {
    if (a->count > 0) {
        std::free(a->blocks[a->count - 1]);
        a->blocks[--a->count] = nullptr;
    }
}

void buf_free(buf *b) {
    std::free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
}

void buf_reserve(buf *b, uint64_t n) {
    if (!b->data) {
        b->data = static_cast<unsigned char *>(std::malloc(1048576));
        if (!b->data) {
            b->len = b->cap = 0;
            return;
        }
        b->cap = 1048576;
        b->len = 0;
        b->data[0] = 0;
    }
    // Anything near 2^63 cannot be had; refuse rather than overflow.
    if (n > (UINT64_C(1) << 62) || b->len > (UINT64_C(1) << 62)) {
        buf_free(b);
        return;
    }
    uint64_t need = b->len + n + 1;
    if (need > b->cap) {
        uint64_t ncap = b->cap;
        while (ncap < need) ncap *= 2;
        if (ncap > SIZE_MAX) {
            buf_free(b);
            return;
        }
        void *p = std::realloc(b->data, static_cast<size_t>(ncap));
        if (!p) {
            buf_free(b);
            return;
        }
        b->data = static_cast<unsigned char *>(p);
        b->cap = ncap;
    }
}

void buf_append(buf *b, const void *p, uint64_t n) {
    buf_reserve(b, n);
    if (!b->data) return;
    if (n) std::memcpy(b->data + b->len, p, static_cast<size_t>(n));
    b->len += n;
    b->data[b->len] = 0;
}

void buf_str(buf *b, const char *s) { buf_append(b, s, std::strlen(s)); }

int sx_rng_cmp(const void *a, const void *b) {
    const rng *x = static_cast<const rng *>(a);
    const rng *y = static_cast<const rng *>(b);
    if (x->start < y->start) return -1;
    if (x->start > y->start) return 1;
    return 0;
}

void doc_free(doc *d) {
    std::free(d->data);
    for (int32_t i = 0; i < d->ar.count; ++i) std::free(d->ar.blocks[i]);
    std::free(d->ar.blocks);
    std::free(d->objs.items);
    std::free(d->objs.by_num);
    std::free(d->pages.items);
    std::memset(d, 0, sizeof *d);
}

const obj_entry *objvec_find(const objvec *v, int32_t num) {
    if (v->by_num) {
        if (num < 0 || num >= v->by_num_len) return nullptr;
        int32_t i = v->by_num[num];
        return i >= 0 ? &v->items[i] : nullptr;
    }
    for (int32_t i = 0; i < v->count; ++i)
        if (v->items[i].num == num) return &v->items[i];
    return nullptr;
}

// ===========================================================================
// Scanning primitives

bool is_pdf_ws(unsigned char c) {
    return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

bool is_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int32_t skip_ws(const unsigned char *t, int32_t pos, int32_t end) {
    if (pos >= end) return pos;
    if (pos < 0) pos = 0;
    while (pos < end && is_pdf_ws(t[pos])) ++pos;
    return pos;
}

int kw_at(const unsigned char *t, int32_t pos, int32_t len, const char *kw) {
    int64_t klen = static_cast<int64_t>(std::strlen(kw));
    if (pos < 0 || pos + klen > len) return 0;
    if (std::memcmp(t + pos, kw, static_cast<size_t>(klen)) != 0) return 0;
    if (pos > 0 && is_alnum(t[pos - 1])) return 0;
    if (pos + klen < len && is_alnum(t[pos + klen])) return 0;
    return 1;
}

int32_t find_kw(const unsigned char *t, int32_t len, int32_t start, const char *kw) {
    size_t klen = std::strlen(kw);
    if (klen == 0) return -1;
    if (start < 0) start = 0;
    int64_t i = start;
    while (i + static_cast<int64_t>(klen) <= len) {
        const void *hit = std::memchr(t + i, kw[0], static_cast<size_t>(len - i - klen + 1));
        if (!hit) return -1;
        i = static_cast<const unsigned char *>(hit) - t;
        if (kw_at(t, static_cast<int32_t>(i), len, kw)) return static_cast<int32_t>(i);
        ++i;
    }
    return -1;
}

int32_t find_name(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                  const char *name) {
    int64_t end = std::min(len, limit);
    int64_t nlen = static_cast<int64_t>(std::strlen(name));
    if (start < 0) start = 0;
    int64_t i = start;
    while (i + 1 + nlen <= end) {
        const void *hit = std::memchr(t + i, '/', static_cast<size_t>(end - nlen - i));
        if (!hit) return -1;
        i = static_cast<const unsigned char *>(hit) - t;
        if (std::memcmp(t + i + 1, name, static_cast<size_t>(nlen)) == 0 &&
            (i + 1 + nlen == end || !is_name_char(t[i + 1 + nlen])))
            return static_cast<int32_t>(i);
        ++i;
    }
    return -1;
}

int32_t find_name_top(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                      const char *name) {
    int32_t end = std::min(len, limit);
    int64_t nlen = static_cast<int64_t>(std::strlen(name));
    if (start < 0) start = 0;
    if (start >= end) return -1;
    int32_t depth = 0;
    int32_t i = start;
    while (i < end) {
        unsigned char c = t[i];
        if (c == '%') {
            int32_t j = i + 1;
            while (j < end && t[j] != '\r' && t[j] != '\n') ++j;
            if (j >= end) return -1;
            i = j;
        } else if (c == '(') {
            int32_t j = skip_literal(t, i, end);
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
            if (i + 1 + nlen <= end && std::memcmp(t + i + 1, name, static_cast<size_t>(nlen)) == 0 &&
                (i + 1 + nlen == end || !is_name_char(t[i + 1 + nlen])))
                return i;
            ++i;
        } else {
            ++i;
        }
    }
    return -1;
}

char *dict_text_at(const unsigned char *t, int32_t len, int32_t pos) {
    if (pos < 0 || static_cast<int64_t>(pos) + 1 >= len || t[pos] != '<' || t[pos + 1] != '<')
        return nullptr;
    int32_t depth = 0;
    int32_t i = pos;
    while (i < len) {
        if (i + 1 < len && t[i] == '<' && t[i + 1] == '<') {
            ++depth;
            i += 2;
        } else if (i + 1 < len && t[i] == '>' && t[i + 1] == '>') {
            --depth;
            i += 2;
            if (depth == 0) {
                size_t n = static_cast<size_t>(i - pos);
                char *out = static_cast<char *>(std::malloc(n + 1));
                if (!out) return nullptr;
                std::memcpy(out, t + pos, n);
                out[n] = '\0';
                return out;
            }
        } else if (t[i] == '(') {
            int32_t j = skip_literal(t, i, len);
            if (j < 0) return nullptr;
            i = j;
        } else {
            ++i;
        }
    }
    return nullptr;
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
            int32_t j = skip_literal(t, i, len);
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
    if (p >= len || !is_digit(t[p])) return -1;
    uint32_t v = 0;
    while (p < len && is_digit(t[p])) v = v * 10u + static_cast<uint32_t>(t[p++] - '0');
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
    if (!is_digit(t[p])) {
        *cursor = t[p] == 'R' ? p : p + 1;
        return -1;
    }
    uint32_t v = 0;
    while (p < len && is_digit(t[p])) v = v * 10u + static_cast<uint32_t>(t[p++] - '0');
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
        } else if (is_digit(c) || c == '-') {
            int32_t cur = p;
            int32_t v = parse_int_at(t, len, &cur);
            if (v < 0) continue;
            int32_t q = skip_ws(t, cur, end);
            if (q < end && is_digit(t[q])) {
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

int obj_type(const unsigned char *file, int32_t file_len, const obj_entry *e) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(file, file_len, e, &t, &tlen, &start, &end)) return 0;
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
    int32_t p = body_start(file, file_len, e->hdr_pos);
    if (e->endobj_pos <= 0 || e->endobj_pos <= p || p >= file_len) return 0;
    int32_t stop = std::min(e->endobj_pos, file_len);
    *body = file + p;
    *body_len = stop - p;
    return 1;
}

// ===========================================================================
// Page attributes

namespace {

// Reads one number of a box array at t[*p] (sign, digits, fraction).
double read_box_number(const unsigned char *t, int32_t end, int32_t *p) {
    int32_t i = *p;
    bool neg = false;
    if (t[i] == '+' || t[i] == '-') {
        neg = t[i] == '-';
        ++i;
    }
    double v = 0;
    while (i < end && is_digit(t[i])) v = v * 10 + (t[i++] - '0');
    if (i < end && t[i] == '.') {
        ++i;
        double h = 0.1;
        while (i < end && is_digit(t[i])) {
            v += (t[i++] - '0') * h;
            h *= 0.1;
        }
    }
    *p = i;
    return neg ? -v : v;
}

// Reads four numbers of an array whose "[" stands at t[p]. Accepts the box
// when four were read and the third and fourth are positive. On refusal,
// *dead_until (when given) tells up to where another "[" would be refused
// the same way: one that stands before the first number read meets the same
// four numbers, and one before the "]" or end that cut the array short
// meets no more numbers than this one did.
bool read_box_array(const unsigned char *t, int32_t end, int32_t p, double out[4],
                    int32_t *dead_until = nullptr) {
    if (dead_until) *dead_until = -1;
    if (p >= end || t[p] != '[') return false;
    p = skip_ws(t, p + 1, end);
    if (p >= end) return false;
    double v[4];
    int got = 0;
    int32_t first_num = -1;
    while (got < 4 && p < end) {
        unsigned char c = t[p];
        if (c == ']') break;
        if (c == '+' || c == '-' || c == '.' || is_digit(c)) {
            if (got == 0) first_num = p;
            v[got++] = read_box_number(t, end, &p);
        } else {
            ++p;
        }
        p = skip_ws(t, p, end);
    }
    if (got < 4) {
        if (dead_until) *dead_until = p;
        return false;
    }
    if (!(v[2] > 0) || !(v[3] > 0)) {
        if (dead_until) *dead_until = first_num;
        return false;
    }
    for (int k = 0; k < 4; ++k) out[k] = v[k];
    return true;
}

// Reads a reference "N G R" (or "N R") at t[p]; returns N, or -1.
int32_t read_ref_at(const unsigned char *t, int32_t end, int32_t p) {
    if (p >= end || !is_digit(t[p])) return -1;
    int32_t cur = p;
    int32_t num = parse_int_at(t, end, &cur);
    if (num <= 0) return -1;
    int32_t q = skip_ws(t, cur, end);
    if (q < end && is_digit(t[q])) {
        parse_int_at(t, end, &q);
        q = skip_ws(t, q, end);
    }
    if (q >= end || t[q] != 'R') return -1;
    return num;
}

// The array object `num`: its body, when it begins with "[".
bool array_object(const unsigned char *file, int32_t file_len, const objvec *objs, int32_t num,
                  const unsigned char **at, int32_t *at_end) {
    if (!objs) return false;
    const obj_entry *e = objvec_find(objs, num);
    if (!e || e->is_stream) return false;
    const unsigned char *body;
    int32_t blen;
    if (!obj_body(file, file_len, e, &body, &blen)) return false;
    int32_t s = skip_ws(body, 0, blen);
    if (s >= blen || body[s] != '[') return false;
    *at = body + s;
    *at_end = blen - s;
    return true;
}

// The value of an array-valued entry written as a reference to an array
// object: the referenced object's body, when it begins with "[".
bool follow_array_ref(const unsigned char *file, int32_t file_len, const objvec *objs,
                      const unsigned char *t, int32_t end, int32_t p,
                      const unsigned char **at, int32_t *at_end) {
    int32_t num = read_ref_at(t, end, p);
    return num > 0 && array_object(file, file_len, objs, num, at, at_end);
}

// The first accepted box among the occurrences of /name in an object's
// dictionary range. Arrays given by reference are followed once. A damaged
// dictionary may repeat the name many times; each array is read once (see
// read_box_array), and so is each referenced array.
bool read_named_box(const unsigned char *file, int32_t file_len, const objvec *objs,
                    const obj_entry *e, const char *name, double out[4]) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(file, file_len, e, &t, &tlen, &start, &end)) return false;
    int32_t nlen = static_cast<int32_t>(std::strlen(name)) + 1;
    int32_t from = start;
    int32_t dead_until = -1;
    pos_set refused_refs;
    for (;;) {
        int32_t i = find_name(t, end, from, end, name);
        if (i < 0) return false;
        from = i + 1;
        int32_t p = skip_ws(t, i + nlen, end);
        if (p >= end) continue;
        if (t[p] == '[') {
            if (p < dead_until) continue;
            int32_t dead;
            if (read_box_array(t, end, p, out, &dead)) return true;
            dead_until = std::max(dead_until, dead);
        } else {
            int32_t num = read_ref_at(t, end, p);
            if (num <= 0 || refused_refs.count(num)) continue;
            const unsigned char *at;
            int32_t at_end;
            if (array_object(file, file_len, objs, num, &at, &at_end) &&
                read_box_array(at, at_end, 0, out))
                return true;
            refused_refs.insert(num);
        }
    }
}

void set_box(pageinfo *pi, const double b[4]) {
    pi->x0 = b[0];
    pi->y0 = b[1];
    pi->x1 = b[2];
    pi->y1 = b[3];
}

void set_default_box(pageinfo *pi) {
    static const double kDefault[4] = {0, 0, 595, 842};
    set_box(pi, kDefault);
}

// Reads the value of a /Resources entry whose value begins at t[p].
char *resources_value(const unsigned char *file, int32_t file_len, const objvec *objs,
                      const unsigned char *t, int32_t end, int32_t p) {
    p = skip_ws(t, p, end);
    if (p >= end) return nullptr;
    if (p + 1 < end && t[p] == '<' && t[p + 1] == '<') return dict_text_at(t, end, p);
    if (!is_digit(t[p])) return nullptr;
    int32_t cur = p;
    int32_t num = parse_int_at(t, end, &cur);
    if (num <= 0) return nullptr;
    const obj_entry *e = objvec_find(objs, num);
    if (!e) return nullptr;
    if (e->in_objstm) {
        if (!e->text) return nullptr;
        const void *lt = std::memchr(e->text, '<', static_cast<size_t>(e->text_len));
        if (!lt) return nullptr;
        return dict_text_at(e->text, e->text_len,
                            static_cast<int32_t>(static_cast<const unsigned char *>(lt) - e->text));
    }
    if (e->dict_pos < 0) return nullptr;
    int32_t stop = e->stream_pos > 0 ? e->stream_pos : e->endobj_pos > 0 ? e->endobj_pos : file_len;
    if (stop > file_len) stop = file_len;
    return dict_text_at(file, stop, e->dict_pos);
}

}  // namespace

void fill_pageinfo(const unsigned char *t, int32_t len, const objvec *objs, const obj_entry *e,
                   pageinfo *pi) {
    double b[4];
    if (read_named_box(t, len, objs, e, "CropBox", b) ||
        read_named_box(t, len, objs, e, "MediaBox", b))
        set_box(pi, b);
    else
        set_default_box(pi);
}

int32_t obj_rotate_own(const unsigned char *file, int32_t file_len, const obj_entry *e) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(file, file_len, e, &t, &tlen, &start, &end)) return -1;
    int32_t i = find_name(t, end, start, end, "Rotate");
    if (i < 0) return -1;
    int32_t p = skip_ws(t, i + 7, end);
    if (p >= end) return -1;
    bool neg = false;
    if (t[p] == '+' || t[p] == '-') {
        neg = t[p] == '-';
        ++p;
    }
    if (p >= end || !is_digit(t[p])) return -1;
    uint32_t v = 0;
    while (p < end && is_digit(t[p])) v = (v * 10u + static_cast<uint32_t>(t[p++] - '0')) % 360u;
    int32_t r = static_cast<int32_t>(v);
    if (neg) r = (360 - r) % 360;
    return r;
}

int32_t page_rotation(const doc *d, const pageinfo *pi, const obj_entry *page) {
    int32_t own = page ? obj_rotate_own(d->data, d->len, page) : -1;
    int32_t r = own >= 0 ? own : pi->rotate;
    r %= 360;
    if (r < 0) r += 360;
    return r;
}

char *page_resources_dict(const unsigned char *t, int32_t len, const objvec *objs,
                          const unsigned char *page_text, int32_t page_end,
                          int32_t inherited_from) {
    // The page's own text starts after the "endobj" of the object before it.
    int32_t start = 0;
    for (int32_t i = page_end - 6; i >= 0; --i) {
        if (page_text[i] == 'e' && std::memcmp(page_text + i, "endobj", 6) == 0) {
            start = i + 6;
            break;
        }
    }
    int32_t i = find_name(page_text, page_end, start, page_end, "Resources");
    if (i >= 0) return resources_value(t, len, objs, page_text, page_end, i + 10);
    if (inherited_from <= 0) return nullptr;
    // No /Resources of its own: PDF lets the page inherit its nearest
    // ancestor's.
    const obj_entry *node = objvec_find(objs, inherited_from);
    if (!node) return nullptr;
    const unsigned char *nt;
    int32_t ntlen, ns, ne;
    if (!dict_range(t, len, node, &nt, &ntlen, &ns, &ne)) return nullptr;
    int32_t j = find_name(nt, ne, ns, ne, "Resources");
    if (j < 0) return nullptr;
    return resources_value(t, len, objs, nt, ne, j + 10);
}

char *page_resources(const doc *d, const pageinfo *pi, const obj_entry *page) {
    if (!page) return nullptr;
    if (page->in_objstm)
        return page_resources_dict(d->data, d->len, &d->objs, page->text, page->text_len,
                                   pi->res_from);
    if (page->dict_pos < 0) return nullptr;
    int32_t end = page->stream_pos > 0 ? page->stream_pos
                  : page->endobj_pos > 0 ? page->endobj_pos
                                         : d->len;
    if (end > d->len) end = d->len;
    return page_resources_dict(d->data, d->len, &d->objs, d->data, end, pi->res_from);
}

// ===========================================================================
// Page tree

namespace {

// What a /Pages node hands down to its children.
struct inherited {
    int32_t rotate;  // not reduced
    int32_t res_from;
    bool has_crop, has_media;
    double crop[4], media[4];
};

// A page's own boxes, read once per page object however often /Kids
// arrays list it.
struct own_boxes {
    bool has_crop, has_media;
    double crop[4], media[4];
};

struct tree_walk {
    const unsigned char *t;
    int32_t len;
    const objvec *objs;
    int32_t max_num;
    pagevec *pages;
    unsigned char *visited;
    // Per object number: 0 not yet classified, else obj_type + 1.
    std::vector<unsigned char> kinds;
    pos_map<own_boxes> boxes;

    int kind(const obj_entry *e) {
        int32_t n = e->num;
        if (n < 0 || n > max_num) return obj_type(t, len, e);
        if (kinds.empty()) kinds.assign(static_cast<size_t>(max_num) + 1, 0);
        if (!kinds[n]) kinds[n] = static_cast<unsigned char>(obj_type(t, len, e) + 1);
        return kinds[n] - 1;
    }

    const own_boxes &page_boxes(const obj_entry *e) {
        auto it = boxes.find(e->num);
        if (it != boxes.end()) return it->second;
        own_boxes ob{};
        ob.has_crop = read_named_box(t, len, objs, e, "CropBox", ob.crop);
        ob.has_media = read_named_box(t, len, objs, e, "MediaBox", ob.media);
        return boxes.emplace(e->num, ob).first->second;
    }

    void add_page(const obj_entry *e, int32_t num, const inherited &inh) {
        pageinfo pi{};
        pi.num = num;
        int32_t r = inh.rotate % 360;
        if (r < 0) r += 360;
        pi.rotate = r;
        pi.res_from = inh.res_from;
        // Box precedence: own CropBox, inherited CropBox, own MediaBox,
        // inherited MediaBox, default.
        const own_boxes &ob = page_boxes(e);
        if (ob.has_crop)
            set_box(&pi, ob.crop);
        else if (inh.has_crop)
            set_box(&pi, inh.crop);
        else if (ob.has_media)
            set_box(&pi, ob.media);
        else if (inh.has_media)
            set_box(&pi, inh.media);
        else
            set_default_box(&pi);
        pagevec_push(pages, &pi);
    }

    int32_t walk(int32_t node, const inherited &inh, int depth);
};

int32_t tree_walk::walk(int32_t node, const inherited &inh, int depth) {
    // depth counts the /Pages levels above this node; the root is at 0.
    if (depth >= kMaxTreeDepth) return -1;
    const obj_entry *e = objvec_find(objs, node);
    if (!e) return -1;
    int k = kind(e);
    if (k == 1) {
        add_page(e, node, inh);
        return 1;
    }
    if (k != 2) return -1;
    if (node < 0 || node > max_num || visited[node]) return -1;
    visited[node] = 1;

    const unsigned char *dt;
    int32_t dtlen, ds, de;
    if (!dict_range(t, len, e, &dt, &dtlen, &ds, &de)) return 0;

    // Find the /Kids array: written in place, or a reference to an array
    // object.
    const unsigned char *at = nullptr;
    int32_t at_end = 0, p = -1;
    for (int32_t from = ds;;) {
        int32_t i = find_name(dt, de, from, de, "Kids");
        if (i < 0) break;
        from = i + 1;
        int32_t q = skip_ws(dt, i + 5, de);
        if (q < de && dt[q] == '[') {
            at = dt;
            at_end = de;
            p = q;
            break;
        }
        const unsigned char *ra;
        int32_t ra_end;
        if (follow_array_ref(t, len, objs, dt, de, q, &ra, &ra_end)) {
            at = ra;
            at_end = ra_end;
            p = 0;
            break;
        }
    }
    if (!at) return 0;

    int64_t span = e->in_objstm ? e->text_len
                   : e->endobj_pos > e->hdr_pos ? static_cast<int64_t>(e->endobj_pos) - e->hdr_pos
                                                : 0;
    if (at != dt) span = std::max<int64_t>(span, at_end);
    size_t kcap = static_cast<size_t>(span / 4 + 4096);
    std::vector<int32_t> kids;
    kids.reserve(std::min<size_t>(kcap, 65536));

    p = skip_ws(at, p + 1, at_end);
    while (p < at_end) {
        unsigned char c = at[p];
        if (c == ']') break;
        if (c == '<' && p + 1 < at_end && at[p + 1] == '<') return -2;
        if (is_digit(c)) {
            int32_t kid = parse_int_at(at, at_end, &p);
            if (kid > 0 && kids.size() < kcap) kids.push_back(kid);
            p = skip_ws(at, p, at_end);
            if (p < at_end && is_digit(at[p])) {
                parse_int_at(at, at_end, &p);
                p = skip_ws(at, p, at_end);
            }
            if (p < at_end && at[p] == 'R') p = skip_ws(at, p + 1, at_end);
        } else {
            ++p;
        }
    }
    if (kids.empty()) return 0;

    inherited mine = inh;
    int32_t own_rot = obj_rotate_own(t, len, e);
    if (own_rot >= 0) mine.rotate = own_rot;
    if (find_name(dt, de, ds, de, "Resources") >= 0) mine.res_from = node;
    double b[4];
    if (read_named_box(t, len, objs, e, "CropBox", b)) {
        mine.has_crop = true;
        std::memcpy(mine.crop, b, sizeof b);
    }
    if (read_named_box(t, len, objs, e, "MediaBox", b)) {
        mine.has_media = true;
        std::memcpy(mine.media, b, sizeof b);
    }

    for (int32_t kid : kids) {
        const obj_entry *ke = objvec_find(objs, kid);
        if (!ke) return -1;
        int kk = kind(ke);
        if (kk == 1) {
            add_page(ke, kid, mine);
        } else if (kk == 2) {
            if (walk(kid, mine, depth + 1) < 0) return -1;
        } else {
            return -1;
        }
    }
    return pages->count;
}

}  // namespace

int32_t resolve_pages(const unsigned char *t, int32_t len, const objvec *objs, int32_t node,
                      int32_t max_num, pagevec *pages, unsigned char *visited, int32_t rotate) {
    inherited inh{};
    inh.rotate = rotate;
    inh.res_from = -1;
    tree_walk w{t, len, objs, max_num, pages, visited, {}, {}};
    return w.walk(node, inh, 0);
}

// ===========================================================================
// Stream data access

namespace {

// The value of /key in t[start, end): the range of its text (a name, an
// array, a dictionary or a single token). False when absent.
bool entry_value(const unsigned char *t, int32_t start, int32_t end, const char *key, rng *out) {
    int32_t i = find_name(t, end, start, end, key);
    if (i < 0) return false;
    int32_t p = skip_ws(t, i + 1 + static_cast<int32_t>(std::strlen(key)), end);
    if (p >= end) return false;
    int32_t q = p;
    if (t[p] == '[') {
        while (q < end && t[q] != ']') ++q;
        if (q >= end) return false;
        ++q;
    } else if (p + 1 < end && t[p] == '<' && t[p + 1] == '<') {
        int32_t depth = 0;
        while (q < end) {
            if (q + 1 < end && t[q] == '<' && t[q + 1] == '<') {
                ++depth;
                q += 2;
            } else if (q + 1 < end && t[q] == '>' && t[q + 1] == '>') {
                q += 2;
                if (--depth == 0) break;
            } else {
                ++q;
            }
        }
        if (depth != 0) return false;
    } else if (t[p] == '/') {
        ++q;
        while (q < end && !is_pdf_ws(t[q]) && t[q] != '/' && t[q] != '[' && t[q] != ']' &&
               t[q] != '<' && t[q] != '>' && t[q] != '(' && t[q] != ')' && t[q] != '%')
            ++q;
    } else {
        return false;  // an indirect filter list is not followed
    }
    out->start = p;
    out->end = q;
    return true;
}

// Counts the filter names in a /Filter value and tells whether the first
// is /FlateDecode.
void filter_names(const unsigned char *t, const rng &v, int *count, bool *first_flate) {
    *count = 0;
    *first_flate = false;
    for (int32_t i = v.start; i < v.end; ++i) {
        if (t[i] != '/') continue;
        int32_t j = i + 1;
        while (j < v.end && is_name_char(t[j])) ++j;
        if (*count == 0) *first_flate = (j - i - 1 == 11 && std::memcmp(t + i + 1, "FlateDecode", 11) == 0);
        ++*count;
        i = j - 1;
    }
}

// Flate data whose worst case expansion is over 1,000:1; trying capacities
// beyond this bound cannot succeed.
constexpr uint64_t kInflateMax = UINT64_C(1) << 30;

}  // namespace

const unsigned char *decoded_stream(const obj_entry *e, const unsigned char *text,
                                    int32_t text_len, buf *out, int32_t *out_len,
                                    stream_filter *sf) {
    if (sf) {
        sf->still_encoded = 0;
        sf->filter = rng{-1, -1};
        sf->parms = rng{-1, -1};
    }
    if (!e->is_stream) return nullptr;
    int64_t L = static_cast<int64_t>(e->data_end) - e->data_start;
    if (L <= 0 || e->data_start < 0 || e->data_end > text_len) return nullptr;
    const unsigned char *in_place = text + e->data_start;
    if (e->dict_pos < 0) {
        *out_len = static_cast<int32_t>(L);
        return in_place;
    }
    int32_t ds = e->dict_pos;
    int32_t de = e->stream_pos > 0 ? e->stream_pos : e->endobj_pos > 0 ? e->endobj_pos : text_len;
    if (de > text_len) de = text_len;

    rng fv{-1, -1}, pv{-1, -1};
    bool has_filter = entry_value(text, ds, de, "Filter", &fv);
    bool has_parms = entry_value(text, ds, de, "DecodeParms", &pv);
    bool decode;
    if (has_filter) {
        int count;
        bool first_flate;
        filter_names(text, fv, &count, &first_flate);
        // Decode only a lone /FlateDecode without a predictor; any other
        // filter list goes out still encoded, with its parameters, for the
        // viewer to decode.
        bool predictor = false;
        if (has_parms) {
            int32_t pi = find_name(text, pv.end, pv.start, pv.end, "Predictor");
            if (pi >= 0) {
                int32_t c = pi + 10;
                int32_t v = parse_int_at(text, pv.end, &c);
                predictor = v > 1;
            }
        }
        decode = count == 1 && first_flate && !predictor;
        if (!decode && count > 0) {
            if (sf) {
                sf->still_encoded = 1;
                sf->filter = fv;
                if (has_parms) sf->parms = pv;
            }
            *out_len = static_cast<int32_t>(L);
            return in_place;
        }
    } else {
        decode = find_name(text, de, ds, de, "FlateDecode") >= 0;
    }
    if (!decode) {
        *out_len = static_cast<int32_t>(L);
        return in_place;
    }

    // First try 20 times the stored size; very repetitive content can
    // compress better than that, so grow the area instead of losing it.
    // A stream so large that 20 x L + 4096 exceeds the decoder's limit still
    // gets one attempt with the largest area the decoder accepts.
    uint64_t bound = std::min<uint64_t>(kInflateMax, 1032 * static_cast<uint64_t>(L) + 4096);
    uint64_t cap = std::min<uint64_t>(20 * static_cast<uint64_t>(L) + 4096, bound);
    uint64_t entry_len = out->len;
    for (;;) {
        buf_reserve(out, cap);
        if (!out->data) return nullptr;
        uint64_t n = 0;
        int room = 0;
        int32_t rc = inflate_decompress_ex(in_place, static_cast<uint64_t>(L), out->data + entry_len,
                                           cap, &n, &room);
        if (rc == 0 && n <= static_cast<uint64_t>(INT32_MAX)) {
            out->len = entry_len + n;
            out->data[out->len] = 0;
            *out_len = static_cast<int32_t>(n);
            return out->data + entry_len;
        }
        // Only a lack of room is helped by a larger area; data that is cut
        // short fails the same way however large the area.
        if (rc == 0 || !room || cap >= bound) {
            out->data[entry_len] = 0;
            return nullptr;
        }
        cap = std::min(cap * 4, bound);
    }
}

// ===========================================================================
// Loading

namespace {

// Sorted positions of every whole-token occurrence of a keyword, so that
// "the first occurrence at or after p" is a binary search.
struct kw_positions {
    std::vector<int32_t> pos;
    void collect(const unsigned char *t, int32_t len, const char *kw, int32_t from = 0) {
        for (int32_t p = find_kw(t, len, from, kw); p >= 0;
             p = find_kw(t, len, p + 1, kw))
            pos.push_back(p);
    }
    int32_t first_at_or_after(int64_t p) const {
        auto it = std::lower_bound(pos.begin(), pos.end(), p,
                                   [](int32_t a, int64_t b) { return a < b; });
        return it == pos.end() ? -1 : *it;
    }
};

// Reads the integer value that follows the name found at i.
int32_t name_value(const unsigned char *t, int32_t end, int32_t i, const char *name) {
    int32_t p = i + 1 + static_cast<int32_t>(std::strlen(name));
    return parse_int_at(t, end, &p);
}

void read_classic_trailers(doc *d, int32_t p) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    // Each trailer dictionary reaches to the next startxref. Trailers that
    // share that end share the tail of one range, so every range is searched
    // once, by its first trailer, and a later trailer of the group takes the
    // first usable /Root at or after its own start; without this, a file of
    // many trailers before one startxref would be searched over and over.
    kw_positions startxrefs;
    startxrefs.collect(t, len, "startxref", p);
    struct root_at {
        int32_t pos, value;
    };
    std::vector<root_at> roots;  // usable /Root entries of the current group
    int32_t group_end = -1;
    for (int32_t occ = find_kw(t, len, p, "trailer"); occ >= 0;
         occ = find_kw(t, len, occ + 7, "trailer")) {
        int32_t k = skip_ws(t, occ + 7, len);
        int32_t e = startxrefs.first_at_or_after(k);
        if (e < 0) e = len;
        if (!(k < e && t[k] == '<')) continue;
        if (e != group_end) {
            // The first trailer before this end: its range covers the group.
            group_end = e;
            roots.clear();
            for (int32_t from = k;;) {
                int32_t i = find_name(t, len, from, e, "Root");
                if (i < 0) break;
                from = i + 1;
                int32_t v = name_value(t, len, i, "Root");
                if (v >= 0) roots.push_back(root_at{i, v});
            }
            if (find_name(t, len, k, e, "Encrypt") >= 0) d->encrypted = 1;
        }
        auto it = std::lower_bound(roots.begin(), roots.end(), k,
                                   [](const root_at &r, int32_t x) { return r.pos < x; });
        if (it != roots.end()) d->root = it->value;
    }
}

void read_trailer_info(doc *d) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    // The last whole-token "startxref" (the keyword cannot overlap itself,
    // so scanning backwards finds the same one as repeated forward searches).
    int32_t sx = -1;
    for (int64_t i = static_cast<int64_t>(len) - 9; i >= 0; --i) {
        if (t[i] == 's' && kw_at(t, static_cast<int32_t>(i), len, "startxref")) {
            sx = static_cast<int32_t>(i);
            break;
        }
    }
    if (sx < 0) return;
    int32_t cur = sx + 9;
    int32_t off = parse_int_at(t, len, &cur);
    if (off < 0 || off >= len) return;

    int objsections = 0;
    for (;;) {
        int32_t p = skip_ws(t, off, len);
        if (p >= len) return;
        if (kw_at(t, p, len, "xref")) {
            read_classic_trailers(d, p + 4);
            return;
        }
        if (!is_digit(t[p])) return;
        int32_t q = p;
        while (q < len && is_digit(t[q])) ++q;
        q = skip_ws(t, q, len);
        if (q < len && is_digit(t[q])) {
            parse_int_at(t, len, &q);
            q = skip_ws(t, q, len);
        }
        if (!kw_at(t, q, len, "obj")) return;
        int32_t Q = skip_ws(t, q + 3, len);
        int32_t B = len;
        if (Q < len && t[Q] == '<') {
            int32_t s = dict_stream_kw(t, len, Q);
            if (s > 0) B = s;
        }
        ++objsections;
        int32_t prev = -1;
        int32_t i = find_name(t, len, Q, B, "Prev");
        if (i >= 0) {
            int32_t v = name_value(t, B, i, "Prev");
            if (v >= 0 && v < len) prev = v;
        }
        if (d->root == -1) {
            i = find_name(t, len, Q, B, "Root");
            if (i >= 0) {
                int32_t v = name_value(t, B, i, "Root");
                if (v >= 0) d->root = v;
            }
        }
        if (find_name(t, len, Q, B, "Encrypt") >= 0) d->encrypted = 1;
        if (prev < 0 || objsections >= 32) return;
        off = prev;
    }
}

int32_t stream_data_start(const unsigned char *t, int32_t len, int32_t s) {
    int32_t a = s + 6;
    if (a >= len) return a;
    int32_t p = a;
    while (p < len && (t[p] == ' ' || t[p] == '\t')) ++p;
    if (p < len && t[p] == '\r') return (p + 1 < len && t[p + 1] == '\n') ? p + 2 : p + 1;
    if (p < len && t[p] == '\n') return p + 1;
    return a + 1;
}

// Answers dict_stream_kw for many starting positions in one text.
//
// The walk of dict_stream_kw moves from byte to byte the same way whatever
// the depth it has counted ("<<" and ">>" are two-byte steps, a literal
// string one jump), so two walks that land on the same byte go on together.
// Damaged files can hold many object headers whose dictionaries never close
// (or strings that never end); walked one by one, each would run to the end
// of the file. So walks are first made plainly, as dict_stream_kw makes them,
// within a budget of steps for the whole file that sound files never use
// up (each walk covers one dictionary). Once it is spent, each walk reuses
// what earlier walks found out: the first "<<" or ">>" after a start, the
// ">>" that matches a "<<", the first unmatched ">>" after a place, the end
// of a literal string and what follows a closing ">>". Either way the
// answers are those of dict_stream_kw.
class dict_walker {
public:
    // `starts` holds the positions that will be asked about.
    // `budget`: steps for plain walks; negative for the default.
    dict_walker(const unsigned char *t, int32_t len, std::vector<int32_t> starts, int64_t budget = -1)
        : t_(t), len_(len), starts_(std::move(starts)),
          budget_(budget >= 0 ? budget : 8 * static_cast<int64_t>(len) + 1048576) {
        if (!std::is_sorted(starts_.begin(), starts_.end())) std::sort(starts_.begin(), starts_.end());
        starts_.erase(std::unique(starts_.begin(), starts_.end()), starts_.end());
    }

    // dict_stream_kw(t, len, q).
    int32_t stream_kw(int32_t q) {
        if (q < 0) return -1;
        if (budget_ > 0) {
            int32_t r = plain_walk(q);
            if (r != kGaveUp) return r;
        }
        int32_t s = next_token(q);
        if (s < 0 || t_[s] == '>') return -1;  // ">>" first: the depth goes below 0
        int32_t m = match(s);
        if (m < 0) return -1;
        auto hit = after_close_.find(m);
        if (hit != after_close_.end()) return hit->second;
        int32_t j = skip_ws(t_, m + 2, len_);
        int32_t r = kw_at(t_, j, len_, "stream") ? j : -1;
        after_close_[m] = r;
        return r;
    }

private:
    // Position after the ")" that balances the "(" at i, or -1.
    int32_t literal_end(int32_t i) {
        auto hit = lit_.find(i);
        if (hit != lit_.end()) return hit->second;
        std::vector<int32_t> open{i};  // "(" whose end is not known yet
        int32_t j = i + 1;
        while (j < len_) {
            unsigned char c = t_[j];
            if (c == '\\') {
                j += 2;  // the escaped byte does not count
            } else if (c == '(') {
                auto it = lit_.find(j);
                if (it == lit_.end()) {
                    open.push_back(j);
                    ++j;
                } else if (it->second < 0) {
                    break;
                } else {
                    j = it->second;
                }
            } else if (c == ')') {
                lit_[open.back()] = j + 1;
                open.pop_back();
                ++j;
                if (open.empty()) return j;
            } else {
                ++j;
            }
        }
        for (int32_t k : open) lit_[k] = -1;
        return -1;
    }

    // The first "<<" or ">>" that a walk from p meets, or -1 when the walk
    // fails first (end of text, a "<", ">" or "(" as the last byte, a string
    // that never ends).
    int32_t next_token(int32_t p) {
        landed_.clear();
        size_t si = static_cast<size_t>(std::lower_bound(starts_.begin(), starts_.end(), p) - starts_.begin());
        int32_t i = p, result = -1;
        while (i < len_) {
            while (si < starts_.size() && starts_[si] < i) ++si;
            if (si < starts_.size() && starts_[si] == i) {
                auto it = first_tok_.find(i);
                if (it != first_tok_.end()) {
                    result = it->second;
                    break;
                }
                landed_.push_back(i);
            }
            unsigned char c = t_[i];
            if ((c == '<' || c == '>' || c == '(') && i == len_ - 1) break;
            if ((c == '<' && t_[i + 1] == '<') || (c == '>' && t_[i + 1] == '>')) {
                result = i;
                break;
            }
            if (c == '(') {
                int32_t j = literal_end(i);
                if (j < 0) break;
                i = j;
                si = static_cast<size_t>(std::lower_bound(starts_.begin() + static_cast<std::ptrdiff_t>(si),
                                                          starts_.end(), i) - starts_.begin());
            } else {
                ++i;
            }
        }
        for (int32_t x : landed_) first_tok_[x] = result;
        return result;
    }

    // The ">>" that matches the "<<" at s, or -1. Nesting is kept on an
    // explicit stack, so deep nesting costs no call depth.
    int32_t match(int32_t s) {
        auto hit = match_.find(s);
        if (hit != match_.end()) return hit->second;
        struct frame {
            int32_t s, p;
            size_t conts;  // where this frame's continuation places begin in `conts`
        };
        std::vector<frame> st;
        std::vector<int32_t> conts;  // places after a matched pair, per frame
        st.push_back({s, s + 2, 0});
        auto fail_all = [&] {
            for (const frame &f : st) match_[f.s] = -1;
            for (int32_t c : conts) close_[c] = -1;
            return -1;
        };
        for (;;) {
            frame &f = st.back();
            int32_t tok;
            auto ci = close_.find(f.p);
            tok = ci != close_.end() ? ci->second : next_token(f.p);
            if (tok < 0) return fail_all();
            if (t_[tok] == '>') {
                match_[f.s] = tok;
                for (size_t k = f.conts; k < conts.size(); ++k) close_[conts[k]] = tok;
                conts.resize(f.conts);
                st.pop_back();
                if (st.empty()) return tok;
                st.back().p = tok + 2;
                conts.push_back(tok + 2);
                continue;
            }
            auto mi = match_.find(tok);
            if (mi == match_.end()) {
                st.push_back({tok, tok + 2, conts.size()});
            } else if (mi->second < 0) {
                return fail_all();
            } else {
                f.p = mi->second + 2;
                conts.push_back(f.p);
            }
        }
    }

    static constexpr int32_t kGaveUp = -2;

    // dict_stream_kw itself, as long as the budget lasts (each byte it
    // passes costs one); kGaveUp, and no budget left, when it runs out first.
    int32_t plain_walk(int32_t q) {
        const int32_t stop = static_cast<int32_t>(std::min<int64_t>(len_, q + budget_));
        auto spend = [&](int32_t at, int32_t result) {
            budget_ -= at - q;
            return result;
        };
        int32_t depth = 0;
        int32_t i = q;
        while (i < stop) {
            unsigned char c = t_[i];
            if ((c == '<' || c == '>' || c == '(') && i == len_ - 1) return spend(i, -1);
            if (c == '<' && t_[i + 1] == '<') {
                ++depth;
                i += 2;
            } else if (c == '>' && t_[i + 1] == '>') {
                --depth;
                i += 2;
                if (depth < 0) return spend(i, -1);
                if (depth == 0) {
                    while (i < stop && is_pdf_ws(t_[i])) ++i;
                    if (i >= stop && stop < len_) break;
                    return spend(i, kw_at(t_, i, len_, "stream") ? i : -1);
                }
            } else if (c == '(') {
                // skip_literal, within the budget.
                int32_t sd = 0, j = i;
                bool closed = false;
                for (; j < stop; ++j) {
                    unsigned char u = t_[j];
                    if (u == '\\') {
                        ++j;
                    } else if (u == '(') {
                        ++sd;
                    } else if (u == ')' && --sd == 0) {
                        closed = true;
                        break;
                    }
                }
                if (!closed) {
                    if (j < len_) break;  // the budget ended first
                    return spend(len_, -1);  // the string ran to the end
                }
                i = j + 1;
            } else {
                ++i;
            }
        }
        if (i >= len_) return spend(i, -1);
        budget_ = 0;
        return kGaveUp;
    }

    const unsigned char *t_;
    int32_t len_;
    std::vector<int32_t> starts_;
    int64_t budget_;  // steps left for plain walks
    pos_map<int32_t> after_close_;  // ">>" -> the "stream" after it, or -1
    std::vector<int32_t> landed_;
    pos_map<int32_t> first_tok_;  // start -> first "<<"/">>" or -1
    pos_map<int32_t> match_;      // "<<" -> its ">>" or -1
    pos_map<int32_t> close_;      // place -> first unmatched ">>" or -1
    pos_map<int32_t> lit_;        // "(" -> after its ")" or -1
};

void scan_objects(doc *d, const kw_positions &endobjs) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    // First every header, then the dictionaries: the walker answers best
    // when it knows all the places it will be asked about.
    std::vector<obj_entry> found;
    std::vector<int32_t> dict_starts;
    for (int32_t P = 1; P <= len - 4; ++P) {
        const void *hit = std::memchr(t + P, 'o', static_cast<size_t>(len - 4 - P + 1));
        if (!hit) break;
        P = static_cast<int32_t>(static_cast<const unsigned char *>(hit) - t);
        if (!kw_at(t, P, len, "obj")) continue;
        int32_t num = 0;
        int32_t first = header_before(t, P, &num);
        if (first < 0) continue;

        obj_entry e{};
        e.num = num;
        e.hdr_pos = first;
        e.dict_pos = e.stream_pos = e.data_start = e.data_end = e.endobj_pos = -1;
        int32_t q = skip_ws(t, P + 3, len);
        if (q < len && t[q] == '<') {
            e.dict_pos = q;
            dict_starts.push_back(q);
        } else {
            // The body is no dictionary: the object ends at the next endobj.
            e.endobj_pos = endobjs.first_at_or_after(static_cast<int64_t>(P) + 3);
            if (e.endobj_pos < 0) continue;
        }
        found.push_back(e);
    }
    dict_walker walker(t, len, dict_starts);
    // Later dictionaries first: an earlier walk that reaches a later start
    // then stops there.
    for (size_t k = found.size(); k-- > 0;) {
        obj_entry &e = found[k];
        if (e.dict_pos < 0) continue;
        int32_t s = walker.stream_kw(e.dict_pos);
        if (s >= 0) {
            e.stream_pos = s;
            e.is_stream = 1;
            e.data_start = stream_data_start(t, len, s);
        } else {
            e.endobj_pos = endobjs.first_at_or_after(e.dict_pos);
        }
    }
    for (const obj_entry &e : found)
        if (e.is_stream || e.endobj_pos >= 0) objvec_push(&d->objs, &e);
}

// Reads the integer value of an object such as "12 0 obj 345 endobj".
int32_t plain_int_value(const unsigned char *t, int32_t len, const obj_entry *e) {
    if (e->hdr_pos < 0) return -1;
    int32_t p = e->hdr_pos;
    parse_int_at(t, len, &p);
    p = skip_ws(t, p, len);
    if (p < len && is_digit(t[p])) parse_int_at(t, len, &p);
    p = skip_ws(t, p, len);
    if (kw_at(t, p, len, "obj")) p = skip_ws(t, p + 3, len);
    return parse_int_at(t, len, &p);
}

// Work allowed for reading the dictionaries of the stream objects during one
// load. The dictionaries of the objects of a sound file do not overlap, so
// reading each of them reads each byte of the file about once. Damaged files
// can hold many headers whose dictionaries nest into one another, and can
// let many headers claim one stream; there the budget caps the work, and an
// object whose dictionary is no longer read counts as damaged.
struct dict_budget {
    int64_t left;
    bool take(int64_t n) {
        if (n < 0) n = 0;
        if (n > left) {
            left = 0;
            return false;
        }
        left -= n;
        return true;
    }
};

// Which stream entries' dictionaries may be read at `factor` bytes of budget
// per byte of dictionary: the shortest first, since the headers nested
// into damaged dictionaries reach furthest.
std::vector<char> dicts_allowed(const objvec &v, int32_t len, dict_budget &budget, int64_t factor) {
    struct range_of {
        int64_t size;
        int32_t idx;
    };
    std::vector<range_of> ranges;
    for (int32_t i = 0; i < v.count; ++i) {
        const obj_entry &e = v.items[i];
        if (e.in_objstm || !e.is_stream || e.dict_pos < 0) continue;
        int32_t b = e.stream_pos > 0 ? e.stream_pos : len;
        ranges.push_back(range_of{static_cast<int64_t>(b) - e.dict_pos, i});
    }
    std::sort(ranges.begin(), ranges.end(), [](const range_of &a, const range_of &b) {
        return a.size != b.size ? a.size < b.size : a.idx < b.idx;
    });
    std::vector<char> ok(static_cast<size_t>(v.count), 0);
    for (const range_of &r : ranges) ok[static_cast<size_t>(r.idx)] = budget.take(factor * r.size);
    return ok;
}

// The first byte at or after a position that isspace() does not accept.
// Damaged /Length values of many streams can all point into one long run of
// white space; each run is walked once.
class space_runs {
public:
    space_runs(const unsigned char *t, int32_t len) : t_(t), len_(len) {}
    int32_t skip(int32_t from) {
        // A known run [start, end) that holds `from`?
        auto next = runs_.upper_bound(from);
        if (next != runs_.begin()) {
            auto prev = std::prev(next);
            if (from < prev->second) return prev->second;
        }
        int32_t stop = next != runs_.end() ? next->first : len_;
        int32_t q = from;
        while (q < stop && is_c_space(t_[q])) ++q;
        int32_t end = q;
        if (q == stop && next != runs_.end()) {
            // Reached a known run: it goes on to that run's end.
            end = next->second;
            runs_.erase(next);
        }
        if (end > from) runs_[from] = end;
        return end;
    }

private:
    const unsigned char *t_;
    int32_t len_;
    std::map<int32_t, int32_t, pos_less> runs_;  // start -> first byte after the run
};

void delimit_streams(doc *d, const kw_positions &endobjs, const kw_positions &endstreams,
                     dict_budget &budget) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    objvec &v = d->objs;
    // First entry index for each object number, for indirect /Length.
    struct num_at {
        int32_t num, idx;
    };
    std::vector<num_at> first;  // built when the first indirect /Length is met
    auto find_first = [&](int32_t num) -> const obj_entry * {
        if (first.empty()) {
            first.resize(static_cast<size_t>(v.count));
            for (int32_t i = 0; i < v.count; ++i) first[static_cast<size_t>(i)] = num_at{v.items[i].num, i};
            std::sort(first.begin(), first.end(), [](const num_at &a, const num_at &b) {
                return a.num != b.num ? a.num < b.num : a.idx < b.idx;
            });
        }
        auto it = std::lower_bound(first.begin(), first.end(), num,
                                   [](const num_at &a, int32_t n) { return a.num < n; });
        return (it != first.end() && it->num == num) ? &v.items[it->idx] : nullptr;
    };

    space_runs spaces(t, len);
    const std::vector<char> allowed = dicts_allowed(v, len, budget, 1);
    for (int32_t i = 0; i < v.count; ++i) {
        obj_entry &e = v.items[i];
        if (!e.is_stream) continue;
        int32_t L = -1, R = -1;
        if (allowed[static_cast<size_t>(i)]) parse_length(t, len, e.dict_pos, e.stream_pos, &L, &R);
        if (L < 0 && R >= 0) {
            const obj_entry *le = find_first(R);
            if (le && !le->is_stream) L = plain_int_value(t, len, le);
        }
        if (L < 0) continue;
        int64_t E = static_cast<int64_t>(e.data_start) + L;
        int64_t dend = -1;
        if (E < len) {
            int64_t q = spaces.skip(static_cast<int32_t>(E));
            if (q + 9 <= len && std::memcmp(t + q, "endstream", 9) == 0) dend = E;
        }
        if (dend < 0) {
            int32_t f = endstreams.first_at_or_after(static_cast<int64_t>(e.data_start) + 1);
            if (f < 0) {
                dend = len;
            } else {
                dend = f;
                if (f - 1 >= 0 && t[f - 1] == '\n') {
                    dend = f - 1;
                    if (f - 2 >= 0 && t[f - 2] == '\r' && f - 1 > e.data_start) dend = f - 2;
                } else if (f - 1 >= 0 && t[f - 1] == '\r') {
                    dend = f - 1;
                }
            }
        }
        if (dend < e.data_start) dend = e.data_start;
        e.data_end = static_cast<int32_t>(dend);
        e.endobj_pos = endobjs.first_at_or_after(dend + 1);
    }
}

void remove_false_headers(doc *d) {
    objvec &v = d->objs;
    std::vector<rng> ranges;
    for (int32_t i = 0; i < v.count; ++i) {
        const obj_entry &e = v.items[i];
        if (e.is_stream && e.data_start >= 0 && e.data_start < e.data_end)
            ranges.push_back(rng{e.data_start, e.data_end});
    }
    // qsort wants a real array even for no elements.
    if (!ranges.empty()) std::qsort(ranges.data(), ranges.size(), sizeof(rng), sx_rng_cmp);
    std::vector<int32_t> maxend(ranges.size());
    int32_t m = INT32_MIN;
    for (size_t k = 0; k < ranges.size(); ++k) {
        m = std::max(m, ranges[k].end);
        maxend[k] = m;
    }
    auto inside = [&](int32_t pos) {
        // The last range whose start is at most pos.
        auto it = std::upper_bound(ranges.begin(), ranges.end(), pos,
                                   [](int32_t p, const rng &r) { return p < r.start; });
        if (it == ranges.begin()) return false;
        size_t k = static_cast<size_t>(it - ranges.begin()) - 1;
        return maxend[k] > pos;
    };
    int32_t i = 0;
    while (i < v.count) {
        const obj_entry &e = v.items[i];
        if ((e.is_stream && e.endobj_pos == -1) || inside(e.hdr_pos)) {
            v.items[i] = v.items[v.count - 1];
            --v.count;
        } else {
            ++i;
        }
    }
}

// An object that lost its "endobj" runs on to the next object's: its body
// would hold that object's header and text, and a copy of it would carry
// them into the output. Such a body ends where the next header begins.
// A header quoted in a string or a comment of the body is text; telling
// the two apart reads the body with its strings, which damaged files can
// make long and overlapping, so that reading shares one budget for the file
// and, once it is spent, a body simply ends at the first header in it.
void end_runaway_bodies(doc *d) {
    const unsigned char *t = d->data;
    const int32_t len = d->len;
    int64_t budget = 4 * static_cast<int64_t>(len) + 4194304;
    for (int32_t k = 0; k < d->objs.count; ++k) {
        obj_entry &e = d->objs.items[k];
        if (e.is_stream || e.in_objstm || e.hdr_pos < 0 || e.endobj_pos <= 0) continue;
        const int32_t from = body_start(t, len, e.hdr_pos);
        const int32_t stop = std::min(e.endobj_pos, len);
        const int32_t first = next_header(t, len, from, stop);
        if (first < 0) continue;
        // Unless the reading below shows otherwise, the body ends at the
        // first header: so it does when the budget is spent, and when a
        // string stays open up to the "endobj" (a broken string, most likely
        // cut short by the damage that took the "endobj").
        int32_t cut = first;
        int32_t i = from;
        int32_t outside = -1;  // the first header outside strings and comments
        while (i < stop && budget > 0) {
            unsigned char c = t[i];
            if (c == '(') {
                int32_t j = skip_literal(t, i, stop);
                budget -= (j < 0 ? stop : j) - i;
                if (j < 0) break;
                i = j;
                continue;
            }
            if (c == '%') {
                int32_t j = i + 1;
                while (j < stop && t[j] != '\n' && t[j] != '\r') ++j;
                budget -= j - i;
                i = j;
                continue;
            }
            --budget;
            if (c == 'o' && kw_at(t, i, len, "obj")) {
                int32_t num = 0;
                int32_t h = header_before(t, i, &num);
                if (h >= from) {
                    outside = h;
                    break;
                }
            }
            ++i;
        }
        if (outside >= 0)
            cut = outside;
        else if (i >= stop)
            cut = stop;  // read to the end: every header in it was quoted
        e.endobj_pos = cut;
    }
}

bool is_object_stream(const unsigned char *t, int32_t len, const obj_entry &e) {
    if (e.in_objstm || !e.is_stream || e.dict_pos < 0) return false;
    int32_t b = e.stream_pos > 0 ? e.stream_pos : len;
    return find_name(t, len, e.dict_pos, b, "ObjStm") >= 0;
}

// Reads the first value of /name (in occurrence order) that satisfies min.
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

// Marks in `objstm` the entries that are object streams, and appends their
// members. `objstm` covers the entries present before the members.
void expand_object_streams(doc *d, dict_budget &budget, std::vector<char> &objstm) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    const int32_t count = d->objs.count;
    objstm.assign(static_cast<size_t>(count), 0);
    // Stream data already expanded: a sound file has one object per stream;
    // more headers claiming the same data are damage, and expanding it again
    // would only repeat the same members (at the cost of another decoding).
    pos_set expanded;
    // The dictionary is read for /ObjStm and then for /FlateDecode, /N and
    // /First.
    const std::vector<char> allowed = dicts_allowed(d->objs, len, budget, 4);
    // Expanded object streams stay as long as the document. All of them
    // together get no more room than the decoder gives one stream, so that a
    // file of many small Flate bombs cannot take memory without bound.
    uint64_t room_left = kInflateMax;
    for (int32_t idx = 0; idx < count; ++idx) {
        obj_entry e = d->objs.items[idx];  // copy: pushes below may move the array
        if (!allowed[static_cast<size_t>(idx)] || !is_object_stream(t, len, e)) continue;
        int32_t b = e.stream_pos > 0 ? e.stream_pos : len;
        objstm[static_cast<size_t>(idx)] = 1;
        int64_t R = static_cast<int64_t>(e.data_end) - e.data_start;
        if (R < 0 || R > 268435456 || e.data_start < 0 || e.data_end > len) continue;
        if (!expanded.insert(e.data_start).second) continue;
        uint64_t Z = 8 * static_cast<uint64_t>(R) + 64;
        // Deflate data cannot expand more than 1032 times (a 258-byte match
        // in two bits), so once an area of this size has failed, larger ones
        // fail too: the data is cut short or its frame refused.
        const uint64_t most = 1032 * static_cast<uint64_t>(R) + 4096;
        unsigned char *block = nullptr;
        uint64_t D = 0;
        uint64_t taken = 0;
        if (find_name(t, len, e.dict_pos, b, "FlateDecode") >= 0) {
            for (;;) {
                if (Z > room_left) Z = room_left;
                if (Z == 0) break;
                block = static_cast<unsigned char *>(arena_alloc(&d->ar, static_cast<size_t>(Z)));
                if (!block) break;
                int room = 0;
                if (inflate_decompress_ex(t + e.data_start, static_cast<uint64_t>(R), block, Z, &D,
                                          &room) == 0)
                    break;
                // The failed attempt's block is not kept.
                arena_free_last(&d->ar);
                block = nullptr;
                // Data cut short or a refused frame fails in any area.
                if (!room || Z > 268435455 || Z >= most || Z >= room_left) break;
                Z *= 4;
            }
            if (!block) continue;
            taken = Z;
        } else {
            // Raw bytes: the members point into a copy of exactly these.
            if (static_cast<uint64_t>(R) > room_left) continue;
            taken = static_cast<uint64_t>(R);
            block = static_cast<unsigned char *>(arena_alloc(&d->ar, static_cast<size_t>(R)));
            if (!block) continue;
            if (R) std::memcpy(block, t + e.data_start, static_cast<size_t>(R));
            D = static_cast<uint64_t>(R);
        }
        int32_t Dl = static_cast<int32_t>(D);  // D <= 2^30
        int32_t n = first_name_int(t, len, e.dict_pos, b, "N", 1);
        int32_t F = first_name_int(t, len, e.dict_pos, b, "First", 0);
        // 2 x n numbers take at least 4 x n - 1 bytes ("1 0 2 5"); a header
        // that cannot fit is refused before room for it is taken, so that
        // many small streams claiming 100,000 members each cost nothing.
        if (n < 1 || n > 100000 || F < 0 || F > Dl || 4 * static_cast<int64_t>(n) - 1 > Dl) {
            arena_free_last(&d->ar);
            continue;
        }
        std::vector<int32_t> nums(static_cast<size_t>(n)), offs(static_cast<size_t>(n));
        int32_t cur = 0;
        bool bad = false;
        for (int32_t k = 0; k < n && !bad; ++k) {
            nums[k] = read_int_adv(block, Dl, &cur);
            offs[k] = read_int_adv(block, Dl, &cur);
            bad = nums[k] < 0 || offs[k] < 0;
        }
        if (bad) {
            arena_free_last(&d->ar);
            continue;
        }
        int32_t added = 0;
        for (int32_t k = 0; k < n; ++k) {
            int64_t at = static_cast<int64_t>(F) + offs[k];
            int64_t mlen = k + 1 < n ? static_cast<int64_t>(offs[k + 1]) - offs[k] : Dl - at;
            if (nums[k] <= 0 || mlen < 1 || mlen > 1048576) continue;
            // A member never reaches past the decoded bytes.
            if (at >= Dl) continue;
            if (at + mlen > Dl) mlen = Dl - at;
            obj_entry m{};
            m.num = nums[k];
            m.hdr_pos = m.dict_pos = m.stream_pos = m.data_start = m.data_end = m.endobj_pos = -1;
            m.in_objstm = 1;
            m.text = block + at;
            m.text_len = static_cast<int32_t>(mlen);
            objvec_push(&d->objs, &m);
            ++added;
        }
        // Decoded bytes that no member points into are not kept.
        if (added == 0)
            arena_free_last(&d->ar);
        else
            room_left -= taken;
    }
}

// `is_objstm` marks the object streams among the first entries (from
// expand_object_streams); the entries after them are members.
void reduce_index(doc *d, const std::vector<char> &is_objstm) {
    objvec &v = d->objs;
    int32_t M = 0;
    for (int32_t i = 0; i < v.count; ++i)
        if (v.items[i].num <= kMaxObjNum && v.items[i].num > M) M = v.items[i].num;
    std::vector<int32_t> plain(static_cast<size_t>(M) + 1, -1), member(static_cast<size_t>(M) + 1, -1);
    std::vector<char> objstm(static_cast<size_t>(v.count), 0);
    for (int32_t i = 0; i < v.count; ++i) {
        const obj_entry &e = v.items[i];
        if (e.num > M || e.num < 0) continue;
        if (e.in_objstm)
            member[e.num] = i;
        else if ((objstm[i] = static_cast<size_t>(i) < is_objstm.size() && is_objstm[static_cast<size_t>(i)]))
            continue;
        else
            plain[e.num] = i;
    }
    objvec out{};
    d->max_num = 0;
    for (int32_t i = 0; i < v.count; ++i) {
        const obj_entry &e = v.items[i];
        if (e.num > kMaxObjNum || e.num <= 0) continue;
        bool keep = e.in_objstm ? (plain[e.num] == -1 && member[e.num] == i)
                                : (!objstm[i] && plain[e.num] == i);
        if (!keep) continue;
        objvec_push(&out, &e);
        if (e.num > d->max_num) d->max_num = e.num;
    }
    std::free(v.items);
    v = out;
    // Look-ups by number go through a table.
    v.by_num = static_cast<int32_t *>(std::malloc((static_cast<size_t>(d->max_num) + 1) * sizeof(int32_t)));
    if (v.by_num) {
        v.by_num_len = d->max_num + 1;
        std::fill(v.by_num, v.by_num + v.by_num_len, -1);
        for (int32_t i = 0; i < v.count; ++i) v.by_num[v.items[i].num] = i;
    }
}

// Whether an object's text holds the name /Catalog. `names` holds the
// positions of every /Catalog in the file. A range [dict_pos, endobj_pos)
// holds one exactly when some position in it leaves room for the name: a
// name cannot end right at an "endobj" keyword, since the keyword must
// follow a byte that is no letter. Ranges of damaged files may nest and
// overlap, so searching each range by itself could cost objects x file size.
bool text_has_catalog(const doc *d, const obj_entry &e, const std::vector<int32_t> &names) {
    if (e.in_objstm) return e.text_len > 7 && find_name(e.text, e.text_len, 0, e.text_len, "Catalog") >= 0;
    if (e.dict_pos < 0) return false;
    int32_t end = e.endobj_pos > 0 ? e.endobj_pos : d->len;
    auto it = std::lower_bound(names.begin(), names.end(), e.dict_pos);
    return it != names.end() && static_cast<int64_t>(*it) + 8 <= end;
}

int choose_catalog_and_pages(doc *d) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    if (d->root >= 0 && objvec_find(&d->objs, d->root)) {
        d->catalog = d->root;
    } else {
        d->catalog = 1;
        std::vector<int32_t> names;
        for (int32_t i = find_name(t, len, 0, len, "Catalog"); i >= 0;
             i = find_name(t, len, i + 1, len, "Catalog"))
            names.push_back(i);
        for (int32_t i = 0; i < d->objs.count; ++i) {
            if (text_has_catalog(d, d->objs.items[i], names)) {
                d->catalog = d->objs.items[i].num;
                break;
            }
        }
    }
    const obj_entry *cat = objvec_find(&d->objs, d->catalog);
    if (!cat) {
        set_error("catalog (obj %ld) has no /Pages reference", static_cast<long>(d->catalog));
        return -1;
    }
    int32_t tree = -1;
    int kind = obj_type(t, len, cat);
    if (kind == 1 || kind == 2) {
        tree = d->catalog;
    } else {
        const unsigned char *ct;
        int32_t cs, ce;
        if (cat->in_objstm) {
            ct = cat->text;
            cs = 0;
            ce = cat->text_len;
        } else if (cat->dict_pos >= 0) {
            ct = t;
            cs = cat->dict_pos;
            ce = cat->endobj_pos > 0 ? cat->endobj_pos : len;
        } else {
            ct = nullptr;
            cs = ce = 0;
        }
        if (ct) tree = first_name_int(ct, ce, cs, ce, "Pages", 1);
        if (tree <= 0) {
            set_error("catalog (obj %ld) has no /Pages reference", static_cast<long>(d->catalog));
            return -1;
        }
    }
    unsigned char *visited = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(d->max_num) + 1, 1));
    if (!visited) {
        set_error("out of memory");
        return -1;
    }
    int32_t r = resolve_pages(t, len, &d->objs, tree, d->max_num, &d->pages, visited, 0);
    std::free(visited);
    if (r == -2) {
        set_error("page tree uses inline page dictionaries in /Kids — pages must be indirect objects");
        return -1;
    }
    if (r < 0) {
        set_error("could not resolve the page tree (obj %ld is not a /Pages or /Page object, or tree is broken)",
                  static_cast<long>(tree));
        return -1;
    }
    if (r == 0) {
        set_error("document has no pages");
        return -1;
    }
    return 0;
}

// Stages 3 to 8, on a record that holds the file image.
int load_stages(doc *d, const char *name) {
    read_trailer_info(d);
    // Each stage that reads every stream's dictionary may read about four
    // times the file (a sound file needs it once).
    const int64_t dict_work = 4 * static_cast<int64_t>(d->len) + 4194304;
    {
        kw_positions endobjs, endstreams;
        endobjs.collect(d->data, d->len, "endobj");
        endstreams.collect(d->data, d->len, "endstream");
        scan_objects(d, endobjs);
        dict_budget budget{dict_work};
        delimit_streams(d, endobjs, endstreams, budget);
    }
    remove_false_headers(d);
    end_runaway_bodies(d);
    std::vector<char> objstm;
    dict_budget budget{4 * dict_work};
    expand_object_streams(d, budget, objstm);
    reduce_index(d, objstm);
    if (d->objs.count == 0) {
        set_error("no PDF objects found — not a PDF: %s", name);
        return -1;
    }
    if (d->encrypted) {
        set_error("encrypted PDFs are not supported: %s", name);
        return -1;
    }
    return choose_catalog_and_pages(d);
}

int run_stages(doc *d, const char *name) {
    int r;
    try {
        r = load_stages(d, name);
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        r = -1;
    } catch (...) {
        // Nothing else is thrown on purpose; whatever it was, the record
        // must still be released.
        set_error("out of memory");
        r = -1;
    }
    if (r != 0) {
        doc_free(d);
        return -1;
    }
    return 0;
}

}  // namespace

// For the tests, which check the walker against dict_stream_kw: the answers
// for positions pos[0..n) through the walker that loading uses, asked in
// the order loading asks (last position first), with `budget` steps for
// plain walks (negative: as loading gives).
void dict_stream_kw_many(const unsigned char *t, int32_t len, const int32_t *pos, int32_t n,
                         int32_t *out, int64_t budget);
void dict_stream_kw_many(const unsigned char *t, int32_t len, const int32_t *pos, int32_t n,
                         int32_t *out, int64_t budget) {
    std::vector<int32_t> starts(pos, pos + n);
    dict_walker w(t, len, starts, budget);
    std::vector<int32_t> order(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return pos[a] > pos[b]; });
    for (int32_t i : order) out[i] = w.stream_kw(pos[i]);
}

int doc_load(const char *path, doc *d) {
    std::memset(d, 0, sizeof *d);
    d->root = -1;
    d->catalog = -1;
    if (!path) {
        set_error("NULL path argument");
        return -1;
    }
    FILE *f = std::fopen(path, "rb");
    // Some systems open a directory like a file; it cannot be read, which
    // the first read tells (an empty file reads no byte without an error).
    if (f && std::fgetc(f) == EOF && std::ferror(f)) {
        std::fclose(f);
        f = nullptr;
    }
    if (!f) {
        set_error("cannot open %s", path);
        return -1;
    }
    int64_t size = -1;
#if defined(_WIN32)
    if (_fseeki64(f, 0, SEEK_END) == 0) size = _ftelli64(f);
    _fseeki64(f, 0, SEEK_SET);
#else
    if (fseeko(f, 0, SEEK_END) == 0) size = static_cast<int64_t>(ftello(f));
    fseeko(f, 0, SEEK_SET);
#endif
    if (size > INT32_MAX) {
        std::fclose(f);
        set_error("input file too large: %s", path);
        return -1;
    }
    if (size < 1) {
        std::fclose(f);
        set_error("empty input file: %s", path);
        return -1;
    }
    d->len = static_cast<int32_t>(size);
    d->data = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
    if (!d->data || std::fread(d->data, 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        std::fclose(f);
        std::free(d->data);
        d->data = nullptr;
        d->len = 0;
        set_error("read error on %s", path);
        return -1;
    }
    std::fclose(f);
    return run_stages(d, path);
}

int doc_load_mem(const unsigned char *bytes, size_t n, const char *name, doc *d) {
    std::memset(d, 0, sizeof *d);
    d->root = -1;
    d->catalog = -1;
    if (n < 1) {
        set_error("empty input file: %s", name);
        return -1;
    }
    if (n > static_cast<size_t>(INT32_MAX)) {
        set_error("input file too large: %s", name);
        return -1;
    }
    d->data = static_cast<unsigned char *>(std::malloc(n));
    if (!d->data) {
        set_error("read error on %s", name);
        return -1;
    }
    std::memcpy(d->data, bytes, n);
    d->len = static_cast<int32_t>(n);
    return run_stages(d, name);
}

}  // namespace sheetlay
