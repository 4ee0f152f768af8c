// The output side: sheet layout, the n-up file's objects, the page forms and
// the transfer of the objects that the pages' resources use.
//
// The whole output is built in memory (one growable image) and written to
// disk with a single write only once it is complete, so a failure at any
// earlier point leaves no file behind.
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <stdexcept>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

#include "internal.h"

namespace sheetlay {

namespace {

// Writes v in signed decimal at out (room for 20 bytes); returns the end.
// Done by hand: the standard library's integer formatting is template code,
// and its instances would join the shared library's exported symbols.
char *put_decimal(char *out, int64_t v) {
    char rev[20];
    int n = 0;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
        rev[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *out++ = '-';
    while (n) *out++ = rev[--n];
    return out;
}

}  // namespace

int fmt_num(char *out, size_t size, double v) {
    if (!out || size == 0) return 0;
    // Room for any finite double in fixed notation with four decimals.
    char tmp[400];
    char *end = nullptr;
    // Whole numbers within the 32-bit range print as integers. The range
    // test comes first: converting an out-of-range value is undefined.
    if (v >= -2147483648.0 && v <= 2147483647.0) {
        int32_t t = static_cast<int32_t>(v);
        if (static_cast<double>(t) == v) end = put_decimal(tmp, t);
    }
    if (!end) {
        // to_chars never looks at the locale, so the separator is always a
        // full stop, and it rounds the exact binary value as "%.4f" does.
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::fixed, 4);
        if (r.ec != std::errc()) {
            out[0] = '\0';
            return 0;
        }
        end = r.ptr;
    }
    size_t n = static_cast<size_t>(end - tmp);
    if (n >= size) {
        out[0] = '\0';
        return 0;
    }
    std::memcpy(out, tmp, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

namespace {

constexpr const char *kGenericFailure = "failed to build output (damaged page tree or content)";

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// PDF delimiters: they end a token without being white space.
inline bool is_delim(unsigned char c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

inline bool is_regular(unsigned char c) { return !is_pdf_ws(c) && !is_delim(c); }

// Why composition stopped: the message is set where the failure happens.
struct compose_error {};

[[noreturn]] void fail(const char *msg) {
    set_error("%s", msg);
    throw compose_error{};
}

// ---------------------------------------------------------------------------
// Number text

// Appends a double by the number rule. Values that PDF cannot express
// (infinities, NaN) end the composition.
void put_num(std::string &s, double v) {
    if (!std::isfinite(v)) fail(kGenericFailure);
    char t[400];
    int n = fmt_num(t, sizeof t, v);
    if (n <= 0) fail(kGenericFailure);
    s.append(t, static_cast<size_t>(n));
}

// Appends several numbers separated by single spaces.
void put_nums(std::string &s, std::initializer_list<double> vs) {
    bool first = true;
    for (double v : vs) {
        if (!first) s += ' ';
        put_num(s, v);
        first = false;
    }
}

void put_int(std::string &s, int64_t v) {
    char t[24];
    s.append(t, static_cast<size_t>(put_decimal(t, v) - t));
}

// A growable array of plain values. Local, so that none of its code is
// exported from the shared library as standard containers of built-in
// types would be.
template <class T>
class array {
public:
    array() = default;
    ~array() { std::free(p_); }
    array(const array &) = delete;
    array &operator=(const array &) = delete;

    void assign(size_t n, T v) {
        reserve(n);
        for (size_t i = 0; i < n; ++i) p_[i] = v;
        n_ = n;
    }
    void push_back(T v) {
        if (n_ == cap_) reserve(cap_ ? 2 * cap_ : 64);
        p_[n_++] = v;
    }
    T &operator[](size_t i) { return p_[i]; }
    const T &operator[](size_t i) const { return p_[i]; }
    size_t size() const { return n_; }
    void clear() { n_ = 0; }

private:
    void reserve(size_t n) {
        if (n <= cap_) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void *q = std::realloc(p_, n * sizeof(T));
        if (!q) throw std::bad_alloc();
        p_ = static_cast<T *>(q);
        cap_ = n;
    }
    T *p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};

inline double lesser(double a, double b) { return a < b ? a : b; }
inline double greater(double a, double b) { return a > b ? a : b; }

// ---------------------------------------------------------------------------
// The output image

class image {
public:
    image() {
        buf_reserve(&b_, 0);  // first block: 1 MiB
        check();
    }
    ~image() { buf_free(&b_); }
    image(const image &) = delete;
    image &operator=(const image &) = delete;

    buf *raw() { return &b_; }
    uint64_t len() const { return b_.len; }
    unsigned char *data() { return b_.data; }

    // The buffer is emptied when it cannot grow; what it held is gone.
    void check() const {
        if (!b_.data) fail("out of memory");
    }
    void append(const void *p, uint64_t n) {
        buf_append(&b_, p, n);
        check();
    }
    void append(const std::string &s) { append(s.data(), s.size()); }
    void append(const char *s) { append(s, std::strlen(s)); }

    // Appends a copy of bytes the image already holds.
    void append_own(uint64_t at, uint64_t n) {
        buf_reserve(&b_, n);
        check();
        std::memcpy(b_.data + b_.len, b_.data + at, static_cast<size_t>(n));
        b_.len += n;
        b_.data[b_.len] = 0;
    }

    // Inserts `s` at `at`, moving what follows it up.
    void insert(uint64_t at, const std::string &s) {
        uint64_t tail = b_.len - at;
        buf_reserve(&b_, s.size());
        check();
        std::memmove(b_.data + at + s.size(), b_.data + at, static_cast<size_t>(tail));
        std::memcpy(b_.data + at, s.data(), s.size());
        b_.len += s.size();
        b_.data[b_.len] = 0;
    }

private:
    buf b_{};
};

// Byte offsets of the output's objects, by object number; -1 for none.
struct offsets {
    array<int64_t> at;
    void record(int64_t num, const image &img) {
        // Offsets and the table itself are 32-bit quantities.
        if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
        at[static_cast<size_t>(num)] = static_cast<int64_t>(img.len());
    }
};

// ---------------------------------------------------------------------------
// Indirect references

// Deepest nesting of arrays and dictionaries written out. Real files stay
// far below it; other PDF readers refuse much deeper structures.
constexpr int32_t kMaxNesting = 256;

// What is missing at the end of a literal string that never closes.
struct open_string {
    int32_t depth = 0;         // parentheses still open
    bool half_escape = false;  // the text ends with a lone backslash
};

// The position after the literal string that opens at t[i] == '('
// (balanced parentheses, backslash escapes), or len when it never closes;
// then `open`, when given, tells what it lacks.
int32_t skip_string(const unsigned char *t, int32_t i, int32_t len, open_string *open = nullptr) {
    int32_t depth = 0;
    for (int32_t j = i; j < len; ++j) {
        if (t[j] == '\\') {
            if (++j == len && open) open->half_escape = true;
        } else if (t[j] == '(') {
            ++depth;
        } else if (t[j] == ')' && --depth == 0) {
            return j + 1;
        }
    }
    if (open) open->depth = depth;
    return len;
}

// The position after the hex string that opens at t[i] == '<'.
int32_t skip_hex(const unsigned char *t, int32_t i, int32_t len) {
    int32_t j = i + 1;
    while (j < len && t[j] != '>') ++j;
    return j < len ? j + 1 : len;
}

// After an integer ending at t[i]: the end of " gen R" / " R" when they
// follow (PDF white space between, any digits as generation, "R" not
// followed by a letter or digit), else -1.
int32_t ref_tail(const unsigned char *t, int32_t i, int32_t len) {
    int32_t q = skip_ws(t, i, len);
    if (q > i && q < len && is_digit(t[q])) {
        int32_t g = q;
        while (g < len && is_digit(t[g])) ++g;
        int32_t h = skip_ws(t, g, len);
        if (g < len && !is_regular(t[g]) && h > g) q = h;
    }
    if (q > i && q < len && t[q] == 'R' && (q + 1 == len || !is_alnum(t[q + 1]))) return q + 1;
    return -1;
}

// Calls f(start, end, num) for every indirect reference "num gen R" in
// t[0, len). `num` is -1 when it does not fit in 32 bits. Strings, names
// and comments are passed over whole, so "(1 0 R)" or "/F1 0 R" are not
// references. Returns false (and stops) where arrays and dictionaries nest
// deeper than kMaxNesting.
template <class F>
bool scan_refs(const unsigned char *t, int32_t len, F &&f) {
    int32_t i = 0;
    int32_t depth = 0;
    while (i < len) {
        unsigned char c = t[i];
        if (c == '(') {
            i = skip_string(t, i, len);
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
            ++i;
            while (i < len && is_regular(t[i])) ++i;
        } else if (is_regular(c)) {
            // A token: only an integer standing alone can start a reference.
            int32_t start = i;
            int64_t num = 0;
            while (i < len && is_digit(t[i])) {
                if (num <= INT32_MAX) num = num * 10 + (t[i] - '0');
                ++i;
            }
            bool integer = i > start && (i == len || !is_regular(t[i]));
            if (!integer) {
                while (i < len && is_regular(t[i])) ++i;
                continue;
            }
            int32_t end = ref_tail(t, i, len);
            if (end > 0) {
                f(start, end, num > INT32_MAX ? int64_t{-1} : num);
                i = end;
            }
        } else {
            ++i;
        }
    }
    return true;
}

// What a body left open at its end needs to be whole: the closing ")" of a
// literal string, ">" of a hex string, and "]" or ">>" of the arrays and
// dictionaries still open, innermost first. A body is left open when the
// input lost the text after it (a cut file, an object that lost its
// "endobj"); copied as it stands, its open string or array would swallow
// the "endobj" written after it and the objects that follow.
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
            open_string rest;
            i = skip_string(t, i, len, &rest);
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

// The end of the value that starts at t[p]: a whole array, dictionary or
// string, a name, or a token (an integer takes a following "gen R").
int32_t value_end(const unsigned char *t, int32_t len, int32_t p) {
    if (p >= len) return len;
    unsigned char c = t[p];
    if (c == '[' || (c == '<' && p + 1 < len && t[p + 1] == '<')) {
        int32_t depth = 0;
        int32_t i = p;
        while (i < len) {
            c = t[i];
            if (c == '(') {
                i = skip_string(t, i, len);
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
    if (c == '(') return skip_string(t, p, len);
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

// The objects carried from the input into the output, with their numbers
// there. Pages and page-tree nodes are never carried: references to them
// (and to numbers no object can have) are written as null. An object whose
// whole value is a reference to another is not carried either (an indirect
// object cannot stand for another one): references to it name its target.
class transfer {
public:
    transfer(const doc *d, int64_t base) : d_(d), base_(base) {
        int32_t top = d->max_num > 0 ? d->max_num : 0;
        out_.assign(static_cast<size_t>(top) + 1, 0);
    }

    // Output number for input number `num`: > 0, or 0 for "write null".
    int32_t lookup(int64_t num) const {
        if (num <= 0 || num >= static_cast<int64_t>(out_.size())) return 0;
        int32_t m = out_[static_cast<size_t>(num)];
        return m > 0 ? m : 0;
    }

    // Notes the references of a text; false when it nests too deep.
    bool gather(const unsigned char *t, int32_t len) {
        return scan_refs(t, len, [this](int32_t, int32_t, int64_t num) { note(num); });
    }

    // Follows the references inside carried objects until none is new,
    // breadth first, then settles the forwarding objects.
    void close() {
        for (size_t i = 0; i < list_.size(); ++i) {
            const obj_entry *e = objvec_find(&d_->objs, list_[i]);
            if (!e) continue;
            const unsigned char *t;
            int32_t len;
            if (own_text(e, &t, &len) && !gather(t, len)) deep_[i] = true;
        }
        resolve_aliases();
    }

    // The text of an object that holds its references: a stream's
    // dictionary (never its data), else the object's body.
    bool own_text(const obj_entry *e, const unsigned char **t, int32_t *len) const {
        if (e->is_stream && !e->in_objstm) {
            if (e->dict_pos < 0 || e->stream_pos <= e->dict_pos || e->stream_pos > d_->len)
                return false;
            *t = d_->data + e->dict_pos;
            *len = e->stream_pos - e->dict_pos;
            return true;
        }
        return obj_body(d_->data, d_->len, e, t, len) != 0;
    }

    const array<int32_t> &list() const { return list_; }
    int32_t out_num(size_t i) const { return static_cast<int32_t>(base_ + static_cast<int64_t>(i)); }
    // Carried objects nested too deep to be written: they become null.
    bool too_deep(size_t i) const { return deep_[i]; }

private:
    // Table values: 0 not met, -1 null, > 0 output number, and during
    // gathering kAlias - target for an object that forwards to `target`.
    static constexpr int32_t kAlias = -2;
    static constexpr int32_t kWalking = INT32_MIN;

    void note(int64_t num) {
        while (num > 0 && num < static_cast<int64_t>(out_.size())) {
            int32_t &slot = out_[static_cast<size_t>(num)];
            if (slot != 0) return;
            const obj_entry *e = objvec_find(&d_->objs, static_cast<int32_t>(num));
            if (e && obj_type(d_->data, d_->len, e) != 0) {
                slot = -1;
                return;
            }
            int64_t target = 0;
            if (e && forwards(e, &target)) {
                if (target <= 0 || target >= static_cast<int64_t>(out_.size())) {
                    slot = -1;
                    return;
                }
                slot = static_cast<int32_t>(kAlias - target);
                num = target;
                continue;
            }
            int64_t m = base_ + static_cast<int64_t>(list_.size());
            if (m > INT32_MAX) fail(kGenericFailure);
            slot = static_cast<int32_t>(m);
            list_.push_back(static_cast<int32_t>(num));
            deep_.push_back(false);
            return;
        }
    }

    // True when the object's whole value is one reference, to *target.
    bool forwards(const obj_entry *e, int64_t *target) const {
        if (e->is_stream && !e->in_objstm) return false;
        const unsigned char *body;
        int32_t len;
        if (!obj_body(d_->data, d_->len, e, &body, &len)) return false;
        int32_t s = skip_ws(body, 0, len);
        int32_t end = len;
        while (end > s && is_pdf_ws(body[end - 1])) --end;
        if (s >= end || !is_digit(body[s])) return false;
        bool whole = false;
        scan_refs(body + s, end - s, [&](int32_t a, int32_t b, int64_t num) {
            if (a == 0 && b == end - s) {
                whole = true;
                *target = num;
            }
        });
        return whole;
    }

    // Replaces each forwarding entry by what its chain ends at: an output
    // number, or null for a chain that ends nowhere or runs in a circle.
    void resolve_aliases() {
        array<size_t> chain;
        for (size_t i = 1; i < out_.size(); ++i) {
            if (out_[i] > kAlias || out_[i] == kWalking) continue;
            chain.clear();
            size_t j = i;
            int32_t r;
            for (;;) {
                int32_t v = out_[j];
                if (v == kWalking) {
                    r = -1;
                    break;
                }
                if (v > kAlias) {
                    r = v > 0 ? v : -1;
                    break;
                }
                out_[j] = kWalking;
                chain.push_back(j);
                j = static_cast<size_t>(static_cast<int64_t>(kAlias) - v);
            }
            for (size_t k = 0; k < chain.size(); ++k) out_[chain[k]] = r;
        }
    }

    const doc *d_;
    int64_t base_;
    array<int32_t> out_;
    array<int32_t> list_;
    array<bool> deep_;
};

// Copies t[0, len) through `emit`, every reference replaced by its output
// number (generation 0) or by null. False when the text nests too deep
// (what was emitted is then incomplete).
template <class Emit>
bool renumber(const transfer &tr, const unsigned char *t, int32_t len, Emit &&emit) {
    int32_t copied = 0;
    bool ok = scan_refs(t, len, [&](int32_t s, int32_t e, int64_t num) {
        emit(t + copied, static_cast<size_t>(s - copied));
        int32_t m = tr.lookup(num);
        if (m > 0) {
            std::string r;
            put_int(r, m);
            r += " 0 R";
            emit(r.data(), r.size());
        } else {
            emit("null", 4);
        }
        copied = e;
    });
    emit(t + copied, static_cast<size_t>(len - copied));
    return ok;
}

bool renumber_into(const transfer &tr, const unsigned char *t, int32_t len, std::string &out) {
    return renumber(tr, t, len, [&out](const void *p, size_t n) {
        out.append(static_cast<const char *>(p), n);
    });
}

void renumber_into(const transfer &tr, const unsigned char *t, int32_t len, image &img) {
    renumber(tr, t, len, [&img](const void *p, size_t n) { img.append(p, n); });
}

// ---------------------------------------------------------------------------
// Pages

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};
using c_text = std::unique_ptr<char, free_deleter>;

inline bool turns(int32_t r) { return r == 90 || r == 180 || r == 270; }

// The page box with its corners put in order.
struct norm_box {
    double lx, ly, ux, uy, w, h;
};

norm_box normalise(const pageinfo &p) {
    norm_box b;
    b.lx = lesser(p.x0, p.x1);
    b.ly = lesser(p.y0, p.y1);
    b.ux = greater(p.x0, p.x1);
    b.uy = greater(p.y0, p.y1);
    b.w = b.ux - b.lx;
    b.h = b.uy - b.ly;
    return b;
}

// Where one page lands on its sheet.
struct placement {
    const pageinfo *page;
    const obj_entry *entry;
    int32_t rotation;
    double s, tx, ty, xoff, yoff, sw, sh;
};

struct grid {
    int32_t cols, rows;
    double W, H, cw, ch;
};

// What was learnt about a page object the first time it was placed. A page
// object may be listed many times in the page tree; reading its dictionary
// (which can be large) again for every listing would cost listings x size.
struct page_memo {
    bool rot_known = false;
    int32_t own_rot = -1;          // its own /Rotate, reduced, or -1
    int32_t gathered_from = INT32_MIN;  // the res_from whose resources were gathered
    bool res_known = false;
    int32_t res_from = -1;         // the res_from the resources text below is for
    std::string res;               // " /Resources <<...>>", renumbered, or ""
    bool content_known = false;
    uint64_t content_off = 0;      // where its form's content stands in the image
    uint64_t content_len = 0;
    std::string filter;            // " /Filter ... /DecodeParms ..." or ""
    // Its resources text apart from inheritance: 0 not read, 1 its own
    // entry gives `own_res`, 2 it gives nothing; and, when it gives nothing,
    // whether it inherits (0 not known, 1 yes, 2 no: an unusable entry).
    int own_state = 0;
    int inherits = 0;
    std::string own_res;
    // As an ancestor /Pages node: 0 not read, 1 `node_res`, 2 nothing.
    int node_state = 0;
    std::string node_res;
    // As a content stream: decoding it gave nothing (it will not next time).
    bool stream_empty = false;
};

class page_memos {
public:
    explicit page_memos(const doc *d) {
        int32_t top = d->max_num > 0 ? d->max_num : 0;
        index_.assign(static_cast<size_t>(top) + 1, -1);
    }
    page_memo &get(int32_t num) {
        if (num < 0 || static_cast<size_t>(num) >= index_.size()) {
            spare_ = page_memo{};  // not kept: out of the table's range
            return spare_;
        }
        int32_t &k = index_[static_cast<size_t>(num)];
        if (k < 0) {
            k = static_cast<int32_t>(memos_.size());
            memos_.emplace_back();
        }
        return memos_[static_cast<size_t>(k)];
    }

private:
    array<int32_t> index_;
    std::deque<page_memo> memos_;  // grows without moving: references stay valid
    page_memo spare_;
};

// page_resources(d, pi, e) as text, false for none. A page may be listed
// under many ancestors: its own dictionary is read once, and each ancestor's
// once, so that a large page under many parents does not cost parents x size.
bool page_resources_text(const doc *d, page_memos &memos, const pageinfo *pi, const obj_entry *e,
                         std::string *out) {
    page_memo &pm = memos.get(pi->num);
    if (pm.own_state == 0) {
        pageinfo alone = *pi;
        alone.res_from = -1;  // its own entry only
        c_text own(page_resources(d, &alone, e));
        pm.own_state = own ? 1 : 2;
        if (own) pm.own_res = own.get();
    }
    if (pm.own_state == 1) {
        *out = pm.own_res;
        return true;
    }
    if (pi->res_from <= 0) return false;
    page_memo &node = memos.get(pi->res_from);
    if (node.node_state == 0) {
        // The ancestor's entry alone: an empty text of the page's own finds
        // no entry there.
        c_text nt(page_resources_dict(d->data, d->len, &d->objs, d->data, 0, pi->res_from));
        node.node_state = nt ? 1 : 2;
        if (nt) node.node_res = nt.get();
    }
    if (node.node_state != 1) return false;
    if (pm.inherits == 0) {
        // Nothing usable of its own: no entry (it inherits) or an unusable
        // one (it does not). Asked once, with an ancestor that has some.
        c_text whole(page_resources(d, pi, e));
        pm.inherits = whole ? 1 : 2;
    }
    if (pm.inherits != 1) return false;
    *out = node.node_res;
    return true;
}

placement place(const doc *d, page_memos &memos, const grid &g, int32_t order,
                int32_t page_index, int32_t slot) {
    placement pl{};
    pl.page = &d->pages.items[page_index];
    pl.entry = objvec_find(&d->objs, pl.page->num);
    if (!pl.entry) fail(kGenericFailure);
    // The effective rotation: the page's own /Rotate, else the inherited one.
    page_memo &pm = memos.get(pl.page->num);
    if (!pm.rot_known) {
        pm.own_rot = obj_rotate_own(d->data, d->len, pl.entry);
        pm.rot_known = true;
    }
    int32_t rot = (pm.own_rot >= 0 ? pm.own_rot : pl.page->rotate) % 360;
    pl.rotation = rot < 0 ? rot + 360 : rot;

    int32_t r = slot / g.cols;
    int32_t c = slot % g.cols;
    int32_t col = order == 0 ? c : g.cols - 1 - c;
    int32_t row = g.rows - 1 - r;
    double cx = static_cast<double>(col) * g.cw;
    double cy = static_cast<double>(row) * g.ch;

    // The whole box is shown: its width and height, wherever its origin.
    norm_box b = normalise(*pl.page);
    bool quarter = pl.rotation == 90 || pl.rotation == 270;
    double pw = quarter ? b.h : b.w;
    double ph = quarter ? b.w : b.h;
    double sx = g.cw / pw;
    double sy = g.ch / ph;
    double s = sx < sy ? sx : sy;
    if (!(s > 0) || !std::isfinite(s)) fail(kGenericFailure);
    pl.s = s;
    pl.sw = pw * s;
    pl.sh = ph * s;
    pl.xoff = (g.cw - pl.sw) * 0.5 + cx;
    pl.yoff = (g.ch - pl.sh) * 0.5 + cy;

    // Each translation puts the corner that the form matrix carries to the
    // lower left of the turned box on the area's lower-left corner.
    const pageinfo &p = *pl.page;
    switch (pl.rotation) {
        case 90:
            pl.tx = pl.xoff - b.ly * s;
            pl.ty = pl.yoff - (p.x1 - b.ux) * s;
            break;
        case 180:
            pl.tx = pl.xoff - (p.x1 - b.ux) * s;
            pl.ty = pl.yoff - (p.y1 - b.uy) * s;
            break;
        case 270:
            pl.tx = pl.xoff - (p.y1 - b.uy) * s;
            pl.ty = pl.yoff - b.lx * s;
            break;
        default:
            pl.tx = pl.xoff - b.lx * s;
            pl.ty = pl.yoff - b.ly * s;
            break;
    }
    return pl;
}

// ---------------------------------------------------------------------------
// Page content

// Where a form's content ended up.
struct content {
    bool in_image = false;  // appended to the image from `start` on
    const unsigned char *view = nullptr;  // else these bytes of the input
    int32_t view_len = 0;
    stream_filter sf{0, {-1, -1}, {-1, -1}};  // a single stream left encoded
};

// Reads the references of an array "[...]" at t[p] and appends each stream's
// data to the image, a line feed between two of them (content streams meet
// at token boundaries; joined bare, "Q" and "q" would run together).
void gather_array(const doc *d, page_memos &memos, image &img, const unsigned char *t,
                  int32_t end, int32_t p, content &ct) {
    bool any = false;
    ++p;
    while (p < end && t[p] != ']') {
        if (!is_digit(t[p])) {
            ++p;
            continue;
        }
        int32_t num = parse_int_at(t, end, &p);
        p = skip_ws(t, p, end);
        if (p < end && is_digit(t[p])) {
            parse_int_at(t, end, &p);
            p = skip_ws(t, p, end);
        }
        if (p < end && t[p] == 'R') p = skip_ws(t, p + 1, end);
        const obj_entry *e = num > 0 ? objvec_find(&d->objs, num) : nullptr;
        if (!e || memos.get(num).stream_empty) continue;
        uint64_t before = img.len();
        if (any) img.append("\n", 1);
        uint64_t at = img.len();
        int32_t n = 0;
        const unsigned char *data = decoded_stream(e, d->data, d->len, img.raw(), &n, nullptr);
        img.check();
        if (!data || n <= 0) {
            // Nothing delivered: take the separator back.
            img.raw()->len = before;
            img.data()[before] = 0;
            memos.get(num).stream_empty = true;
            continue;
        }
        // Data left in place (not Flate) is copied in; an element still
        // encoded with another filter is joined as it is stored.
        if (img.len() == at) img.append(data, static_cast<uint64_t>(n));
        any = true;
    }
    ct.in_image = true;
}

// Data of a stream dictionary written in place of the /Contents reference:
// copied as stored.
void gather_inline_stream(const doc *d, image &img, const unsigned char *t, int32_t end,
                          int32_t p, content &ct) {
    ct.in_image = true;
    int32_t kw = dict_stream_kw(t, end, p);
    if (kw < 0) return;
    int32_t L, R;
    parse_length(t, end, p, kw, &L, &R);
    if (L < 0 && R > 0) {
        const obj_entry *le = objvec_find(&d->objs, R);
        const unsigned char *body;
        int32_t blen;
        if (le && !le->is_stream && obj_body(d->data, d->len, le, &body, &blen)) {
            int32_t c = 0;
            L = parse_int_at(body, blen, &c);
        }
    }
    if (L < 0) return;
    int64_t ds = static_cast<int64_t>(kw) + 6;
    if (ds < end) ds += (t[ds] == '\r' && ds + 1 < end && t[ds + 1] == '\n') ? 2 : 1;
    if (ds + L > end) return;
    img.append(t + ds, static_cast<uint64_t>(L));
}

// The page's content: decoded when it is plain Flate.
content gather_content(const doc *d, page_memos &memos, image &img, const obj_entry *page) {
    content ct;
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(d->data, d->len, page, &t, &tlen, &start, &end)) return ct;
    // The page's own entry, not one of a dictionary nested in it (an
    // annotation written in place has a /Contents text of its own).
    int32_t i = find_name_top(t, end, start, end, "Contents");
    if (i < 0) return ct;
    int32_t p = skip_ws(t, i + 9, end);
    if (p >= end) return ct;
    if (t[p] == '[') {
        gather_array(d, memos, img, t, end, p, ct);
        return ct;
    }
    if (t[p] == '<' && p + 1 < end && t[p + 1] == '<') {
        gather_inline_stream(d, img, t, end, p, ct);
        return ct;
    }
    if (!is_digit(t[p])) return ct;
    int32_t num = parse_int_at(t, end, &p);
    const obj_entry *e = num > 0 ? objvec_find(&d->objs, num) : nullptr;
    if (!e) return ct;
    if (!e->is_stream) {
        // A reference to an array of streams.
        const unsigned char *body;
        int32_t blen;
        if (!obj_body(d->data, d->len, e, &body, &blen)) return ct;
        int32_t q = skip_ws(body, 0, blen);
        if (q < blen && body[q] == '[') gather_array(d, memos, img, body, blen, q, ct);
        return ct;
    }
    // A stream that gave nothing for another page (a Flate bomb shared by
    // many pages) is not decoded again.
    if (memos.get(num).stream_empty) {
        ct.in_image = true;  // empty
        return ct;
    }
    uint64_t at = img.len();
    int32_t n = 0;
    stream_filter sf{};
    const unsigned char *data = decoded_stream(e, d->data, d->len, img.raw(), &n, &sf);
    img.check();
    if (!data || n <= 0) {
        memos.get(num).stream_empty = true;
        ct.in_image = true;  // empty
        return ct;
    }
    if (img.len() > at) {
        ct.in_image = true;
        return ct;
    }
    ct.view = data;
    ct.view_len = n;
    ct.sf = sf;
    return ct;
}

// The filter entries of a form whose content goes out still encoded.
std::string filter_text(const doc *d, const transfer &tr, const content &ct) {
    std::string h;
    if (ct.in_image || !ct.sf.still_encoded || ct.sf.filter.start < 0 ||
        ct.sf.filter.end <= ct.sf.filter.start || ct.sf.filter.end > d->len)
        return h;
    // The data goes out as stored, so the viewer must decode it.
    h += " /Filter ";
    h.append(reinterpret_cast<const char *>(d->data) + ct.sf.filter.start,
             static_cast<size_t>(ct.sf.filter.end - ct.sf.filter.start));
    std::string parms;
    if (ct.sf.parms.start >= 0 && ct.sf.parms.end > ct.sf.parms.start &&
        ct.sf.parms.end <= d->len &&
        renumber_into(tr, d->data + ct.sf.parms.start, ct.sf.parms.end - ct.sf.parms.start,
                      parms)) {
        h += " /DecodeParms ";
        h += parms;
    }
    return h;
}

// Writes the Form XObject of one placed page as object `num`.
void write_form(const doc *d, const transfer &tr, page_memos &memos, image &img, offsets &off,
                int32_t num, const placement &pl) {
    uint64_t start = img.len();
    if (start > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    page_memo &pm = memos.get(pl.page->num);
    content ct;
    if (pm.content_known) {
        // The same page object was placed before: its content is in the
        // image already.
        ct.in_image = true;
        img.append_own(pm.content_off, pm.content_len);
    } else {
        ct = gather_content(d, memos, img, pl.entry);
        pm.filter = filter_text(d, tr, ct);
    }
    uint64_t clen = ct.in_image ? img.len() - start : static_cast<uint64_t>(ct.view_len);
    if (clen > static_cast<uint64_t>(INT32_MAX)) fail("output too large");

    const pageinfo &p = *pl.page;
    std::string h;
    put_int(h, num);
    h += " 0 obj\n<< /Type /XObject /Subtype /Form /BBox [";
    put_nums(h, {p.x0, p.y0, p.x1, p.y1});
    h += ']';
    switch (pl.rotation) {
        case 90:
            h += " /Matrix [0 -1 1 0 0 ";
            put_num(h, p.x1);
            h += ']';
            break;
        case 180:
            h += " /Matrix [-1 0 0 -1 ";
            put_nums(h, {p.x1, p.y1});
            h += ']';
            break;
        case 270:
            h += " /Matrix [0 1 -1 0 ";
            put_num(h, p.y1);
            h += " 0]";
            break;
        default:
            break;
    }
    h += " /Length ";
    put_int(h, static_cast<int64_t>(clen));
    h += pm.filter;
    // Resources nested too deep to be read back are left out.
    if (!pm.res_known || pm.res_from != pl.page->res_from) {
        pm.res.clear();
        std::string res, rtext;
        if (page_resources_text(d, memos, pl.page, pl.entry, &res) &&
            renumber_into(tr, reinterpret_cast<const unsigned char *>(res.data()),
                          static_cast<int32_t>(res.size()), rtext)) {
            pm.res = " /Resources ";
            pm.res += rtext;
        }
        pm.res_known = true;
        pm.res_from = pl.page->res_from;
    }
    h += pm.res;
    h += " >> stream\n";

    // Decoded content already stands at `start`; the header goes in front.
    if (ct.in_image) {
        img.insert(start, h);
    } else {
        img.append(h);
        img.append(ct.view, static_cast<uint64_t>(ct.view_len));
    }
    off.at[static_cast<size_t>(num)] = static_cast<int64_t>(start);
    if (!pm.content_known) {
        pm.content_known = true;
        pm.content_off = start + h.size();
        pm.content_len = clen;
    }
    img.append("\nendstream\nendobj\n");
}

// ---------------------------------------------------------------------------
// Carried objects

// The declared length of a carried stream, or -1 when unreadable.
int32_t declared_length(const doc *d, const obj_entry *e) {
    int32_t L, R;
    parse_length(d->data, d->len, e->dict_pos, e->stream_pos, &L, &R);
    if (L >= 0) return L;
    if (R <= 0) return -1;
    const obj_entry *le = objvec_find(&d->objs, R);
    const unsigned char *body;
    int32_t blen;
    if (!le || le->is_stream || !obj_body(d->data, d->len, le, &body, &blen)) return -1;
    int32_t c = 0;
    return parse_int_at(body, blen, &c);
}

void write_null_object(image &img, int32_t m) {
    std::string s;
    put_int(s, m);
    s += " 0 obj\nnull\nendobj\n";
    img.append(s);
}

void write_carried(const doc *d, const transfer &tr, image &img, offsets &off, int32_t n,
                   int32_t m, bool too_deep) {
    off.record(m, img);
    const obj_entry *e = objvec_find(&d->objs, n);
    if (!e || too_deep) {
        write_null_object(img, m);
        return;
    }
    std::string head;
    put_int(head, m);
    head += " 0 obj\n";
    if (e->is_stream && !e->in_objstm) {
        bool sound = e->dict_pos >= 0 && e->stream_pos > e->dict_pos && e->stream_pos <= d->len &&
                     e->data_start >= 0 && e->data_end >= e->data_start && e->data_end <= d->len &&
                     d->data[e->dict_pos] == '<';
        if (!sound) {
            write_null_object(img, m);
            return;
        }
        img.append(head);
        const unsigned char *t = d->data + e->dict_pos;
        int32_t len = e->stream_pos - e->dict_pos;
        int32_t actual = e->data_end - e->data_start;
        if (declared_length(d, e) == actual) {
            renumber_into(tr, t, len, img);
        } else {
            // The dictionary's /Length disagrees with the data that was
            // found (a damaged file): every /Length entry of the dictionary
            // gives way to one that states the true length.
            std::string lt = "<< /Length ";
            put_int(lt, actual);
            img.append(lt);
            int32_t from = 2, p = 2;
            while (p < len) {
                p = skip_ws(t, p, len);
                if (p >= len || t[p] == '>') break;
                if (t[p] == '%') {
                    while (p < len && t[p] != '\r' && t[p] != '\n') ++p;
                    continue;
                }
                if (t[p] != '/') {
                    int32_t q = value_end(t, len, p);
                    p = q > p ? q : p + 1;
                    continue;
                }
                int32_t k = p + 1;
                while (k < len && is_regular(t[k])) ++k;
                int32_t ve = value_end(t, len, skip_ws(t, k, len));
                if (k - p - 1 == 6 && std::memcmp(t + p + 1, "Length", 6) == 0) {
                    img.append(" ", 1);
                    renumber_into(tr, t + from, p - from, img);
                    from = ve;
                }
                p = ve;
            }
            renumber_into(tr, t + from, len - from, img);
        }
        img.append("stream\n");
        img.append(d->data + e->data_start, static_cast<uint64_t>(actual));
        img.append("\nendstream\nendobj\n");
        return;
    }
    const unsigned char *body;
    int32_t blen;
    if (!obj_body(d->data, d->len, e, &body, &blen) || skip_ws(body, 0, blen) >= blen) {
        write_null_object(img, m);
        return;
    }
    img.append(head);
    renumber_into(tr, body, blen, img);
    std::string tail = closers(body, blen);
    img.append(tail);
    img.append(is_pdf_ws(tail.empty() ? body[blen - 1] : static_cast<unsigned char>(tail.back()))
                   ? "endobj\n"
                   : "\nendobj\n");
}

// ---------------------------------------------------------------------------
// The file

void write_file(const char *path, image &img) {
    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        set_error("cannot write %s", path);
        throw compose_error{};
    }
    size_t n = static_cast<size_t>(img.len());
    size_t w = std::fwrite(img.data(), 1, n, f);
    if (w != n) {
        set_error("short write to %s", path);
        if (std::fclose(f) != 0) set_error("close error on %s", path);
        throw compose_error{};
    }
    if (std::fclose(f) != 0) {
        set_error("close error on %s", path);
        throw compose_error{};
    }
}

void compose(doc *d, const char *output_path, int32_t n, int32_t order, const grid &g,
             int32_t border_width) {
    const int32_t pages = d->pages.count;
    const int64_t sheets = (static_cast<int64_t>(pages) + n - 1) / n;
    const int64_t per_sheet = static_cast<int64_t>(n) + 2;
    const int64_t base = sheets * per_sheet + 3;
    if (base > INT32_MAX) fail(kGenericFailure);

    // Everything the placed pages' resources reach, breadth first.
    transfer tr(d, base);
    page_memos memos(d);
    for (int32_t i = 0; i < pages; ++i) {
        const pageinfo &p = d->pages.items[i];
        const obj_entry *e = objvec_find(&d->objs, p.num);
        if (!e) continue;
        page_memo &pm = memos.get(p.num);
        if (pm.gathered_from == p.res_from) continue;  // seen in this listing before
        pm.gathered_from = p.res_from;
        std::string res;
        if (page_resources_text(d, memos, &p, e, &res))
            tr.gather(reinterpret_cast<const unsigned char *>(res.data()), static_cast<int32_t>(res.size()));
    }
    tr.close();
    const int64_t k = static_cast<int64_t>(tr.list().size());
    const int64_t maxobj = base - 1 + k;
    if (maxobj >= INT32_MAX) fail(kGenericFailure);

    offsets off;
    off.at.assign(static_cast<size_t>(maxobj) + 1, -1);
    image img;

    // Head: version, a comment of high bytes that marks the file binary.
    img.append("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
    off.record(1, img);
    img.append("1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    off.record(2, img);
    {
        std::string s = "2 0 obj\n<< /Type /Pages /Count ";
        put_int(s, sheets);
        s += " /Kids [";
        for (int64_t sh = 0; sh < sheets; ++sh) {
            if (sh) s += ' ';
            put_int(s, 3 + sh * per_sheet);
            s += " 0 R";
        }
        s += "]>>\nendobj\n";
        img.append(s);
    }

    std::string W, H;
    put_num(W, g.W);
    put_num(H, g.H);
    std::string bw;
    if (border_width > 0) put_num(bw, border_width);

    array<placement> slots;
    slots.assign(static_cast<size_t>(n), placement{});
    array<bool> filled;
    filled.assign(static_cast<size_t>(n), false);
    for (int64_t sh = 0; sh < sheets; ++sh) {
        const int64_t P = 3 + sh * per_sheet;
        const int64_t first = sh * n;

        // Layout and the sheet's content text.
        std::string text;
        if (border_width > 0) {
            text += "0 0 0 RG ";
            text += bw;
            text += " w\n";
        }
        for (int32_t i = 0; i < n; ++i) {
            filled[static_cast<size_t>(i)] = first + i < pages;
            if (!filled[static_cast<size_t>(i)]) continue;
            placement &pl = slots[static_cast<size_t>(i)];
            pl = place(d, memos, g, order, static_cast<int32_t>(first + i), i);
            text += "q ";
            put_num(text, pl.s);
            text += " 0 0 ";
            put_nums(text, {pl.s, pl.tx, pl.ty});
            text += " cm /F";
            put_int(text, i);
            text += " Do Q\n";
            if (border_width > 0) {
                put_nums(text, {pl.xoff, pl.yoff, pl.sw, pl.sh});
                text += " re S\n";
            }
        }
        if (text.empty()) text = "% blank sheet\n";

        // The sheet's page object.
        off.record(P, img);
        std::string s;
        put_int(s, P);
        s += " 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 ";
        s += W;
        s += ' ';
        s += H;
        s += "] /Contents ";
        put_int(s, P + n + 1);
        s += " 0 R /Resources << /XObject << ";
        for (int32_t i = 0; i < n; ++i) {
            if (!filled[static_cast<size_t>(i)]) continue;
            s += "/F";
            put_int(s, i);
            s += ' ';
            put_int(s, P + 1 + i);
            s += " 0 R ";
        }
        s += ">> >> >>\nendobj\n";
        img.append(s);

        for (int32_t i = 0; i < n; ++i)
            if (filled[static_cast<size_t>(i)])
                write_form(d, tr, memos, img, off, static_cast<int32_t>(P + 1 + i),
                           slots[static_cast<size_t>(i)]);

        // The content stream that draws the forms.
        off.record(P + n + 1, img);
        s.clear();
        put_int(s, P + n + 1);
        s += " 0 obj\n<< /Length ";
        put_int(s, static_cast<int64_t>(text.size()));
        s += " >>\nstream\n";
        img.append(s);
        img.append(text);
        img.append("endstream\nendobj\n");
    }

    for (size_t i = 0; i < tr.list().size(); ++i)
        write_carried(d, tr, img, off, tr.list()[i], tr.out_num(i), tr.too_deep(i));

    // Cross-reference table and trailer.
    if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    const int64_t xref_at = static_cast<int64_t>(img.len());
    {
        std::string s = "xref\n0 ";
        put_int(s, maxobj + 1);
        s += "\n0000000000 65535 f \n";
        s.reserve(s.size() + static_cast<size_t>(maxobj) * 20 + 128);
        for (int64_t i = 1; i <= maxobj; ++i) {
            int64_t o = off.at[static_cast<size_t>(i)];
            if (o < 0) {
                s += "0000000000 65535 f \n";
                continue;
            }
            char e[21];
            std::memset(e, '0', 10);
            char digits[24];
            size_t nd = static_cast<size_t>(put_decimal(digits, o) - digits);
            std::memcpy(e + 10 - nd, digits, nd);
            std::memcpy(e + 10, " 00000 n \n", 10);
            s.append(e, 20);
        }
        s += "trailer\n<< /Size ";
        put_int(s, maxobj + 1);
        s += " /Root 1 0 R >>\nstartxref ";
        put_int(s, xref_at);
        s += "\n%%EOF\n";
        img.append(s);
    }
    if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    if (img.len() == 0) fail("failed to build output");

    write_file(output_path, img);
}

}  // namespace

int nup_doc(doc *d, const char *output_path, int32_t n, int32_t order, int32_t page_size,
            int32_t border_width) {
    if (!output_path) {
        set_error("NULL output path");
        return 0;
    }
    grid g{};
    switch (n) {
        case 2: g.cols = 2; g.rows = 1; break;
        case 4: g.cols = 2; g.rows = 2; break;
        case 6: g.cols = 3; g.rows = 2; break;
        case 9: g.cols = 3; g.rows = 3; break;
        case 16: g.cols = 4; g.rows = 4; break;
        default:
            set_error("n must be 2, 4, 6, 9 or 16 (got %d)", static_cast<int>(n));
            return 0;
    }
    if (order != 0 && order != 1) {
        set_error("order must be 0 (left-to-right) or 1 (right-to-left) (got %d)",
                  static_cast<int>(order));
        return 0;
    }
    if (border_width < 0) {
        set_error("border_width must be >= 0 (got %d)", static_cast<int>(border_width));
        return 0;
    }
    if (!d || d->pages.count < 1 || !d->pages.items) {
        set_error("document has no pages");
        return 0;
    }
    if (page_size < 0) {
        const pageinfo &p0 = d->pages.items[0];
        const obj_entry *e0 = objvec_find(&d->objs, p0.num);
        if (!e0) {
            set_error("first page object missing");
            return 0;
        }
        norm_box b = normalise(p0);
        int32_t r = page_rotation(d, &p0, e0);
        bool quarter = r == 90 || r == 270;
        g.W = quarter ? b.h : b.w;
        g.H = quarter ? b.w : b.h;
        if (!(g.W > 0) || !(g.H > 0)) {
            set_error("first page has a degenerate box");
            return 0;
        }
    } else if (page_size > 2) {
        set_error("page_size must be 0 (A4), 1 (Letter) or 2 (A3) (got %d)",
                  static_cast<int>(page_size));
        return 0;
    } else {
        static const double kSizes[3][2] = {{595.28, 841.89}, {612, 792}, {841.89, 1190.55}};
        g.W = kSizes[page_size][0];
        g.H = kSizes[page_size][1];
    }
    g.cw = g.W / g.cols;
    g.ch = g.H / g.rows;

    try {
        compose(d, output_path, n, order, g, border_width);
    } catch (const compose_error &) {
        return 0;
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return 0;
    } catch (const std::length_error &) {
        set_error("out of memory");
        return 0;
    } catch (...) {
        set_error("%s", kGenericFailure);
        return 0;
    }
    g_err[0] = '\0';
    return 1;
}

}  // namespace sheetlay
