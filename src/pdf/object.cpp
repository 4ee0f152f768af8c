// PDF value parsing, lookup and writing (see object.h for the contract).
//
// The parser is a recursive descent over one value; recursion depth is the
// nesting depth, capped at kMaxDepth, so a hostile "[[[[..." fails instead
// of exhausting the stack. Every read checks the position against the range
// length. The only look-ahead is the two tokens after an integer that decide
// whether it starts a reference "N G R"; a token is thus scanned at most three
// times and parsing stays linear. Repeated dictionary keys are dropped after
// the first with a hash set used for membership only, so the kept order is
// the file's and does not depend on hashing.
#include "pdf/object.h"

#include "pdf/decimal.h"
#include "pdf/literal.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <unordered_set>
#include <utility>

namespace sheetlay::pdf {
namespace {

// Byte classes, looked up: the parser asks for them at every byte of every
// token. 1: white space, 2: delimiter, 0: a regular byte.
struct byte_classes {
    unsigned char c[256] = {};
    constexpr byte_classes() {
        for (unsigned char w : {0, 9, 10, 12, 13, 32}) c[w] = 1;
        for (unsigned char d : {'(', ')', '<', '>', '[', ']', '{', '}', '/', '%'}) c[d] = 2;
    }
};
constexpr byte_classes kClass{};
inline bool is_ws(unsigned char c) { return kClass.c[c] == 1; }
inline bool is_delim(unsigned char c) { return kClass.c[c] == 2; }
inline bool is_regular(unsigned char c) { return kClass.c[c] == 0; }
int hex_val(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Makes *out a value of kind k with nothing else set, as the make_*
// builders give one, without building and moving a temporary.
void become(value *out, kind k) {
    out->k = k;
    out->b = false;
    out->i = 0;
    out->gen = 0;
    out->r = 0;
    if (out->s.capacity() > std::string().capacity()) std::string().swap(out->s);
    out->s.clear();
    if (out->items.capacity()) std::vector<value>().swap(out->items);
    if (out->entries.capacity()) std::vector<dict_entry>().swap(out->entries);
}

struct parser {
    const unsigned char *t;
    int32_t len;
    int32_t p;
    // The items and entries of the containers being read, innermost last:
    // a finished container takes its own run off the top in one piece, so
    // each array or dictionary allocates once instead of growing.
    std::vector<value> items{};
    std::vector<dict_entry> entries{};

    void skip_ws() {
        while (p < len) {
            if (is_ws(t[p])) {
                ++p;
            } else if (t[p] == '%') {
                while (p < len && t[p] != '\r' && t[p] != '\n') ++p;
            } else {
                break;
            }
        }
    }
    int32_t token_end(int32_t from) const {
        int32_t q = from;
        while (q < len && is_regular(t[q])) ++q;
        return q;
    }

    bool name(value *out) {
        become(out, kind::name);
        name_text(out->s);
        return true;
    }

    // The name at p ('/'), #xx escapes decoded, into s; p goes past it.
    void name_text(std::string &s) {
        ++p;  // '/'
        int32_t e = token_end(p);
        if (!std::memchr(t + p, '#', static_cast<size_t>(e - p))) {
            // No escapes (nearly every name): its bytes as they stand.
            s.assign(reinterpret_cast<const char *>(t + p), static_cast<size_t>(e - p));
            p = e;
            return;
        }
        std::string d;
        d.reserve(static_cast<size_t>(e - p));
        for (int32_t q = p; q < e; ++q) {
            if (t[q] == '#' && q + 2 < e && hex_val(t[q + 1]) >= 0 && hex_val(t[q + 2]) >= 0) {
                d.push_back(static_cast<char>(hex_val(t[q + 1]) * 16 + hex_val(t[q + 2])));
                q += 2;
            } else {
                d.push_back(static_cast<char>(t[q]));  // includes a '#' not followed by two hex digits
            }
        }
        p = e;
        s = std::move(d);
    }

    bool literal(value *out) {
        std::string s;
        size_t q = static_cast<size_t>(p);
        if (!decode_literal(t, static_cast<size_t>(len), &q, &s)) {
            p = len;
            return false;  // cut before the closing parenthesis
        }
        p = static_cast<int32_t>(q);
        *out = value::make_string("");
        out->s = std::move(s);
        return true;
    }

    bool hex(value *out) {
        ++p;  // '<'
        std::string s;
        int hi = -1;
        while (p < len) {
            unsigned char c = t[p++];
            if (c == '>') {
                if (hi >= 0) s.push_back(static_cast<char>(hi * 16));  // odd digit count: last one padded with 0
                *out = value::make_string("");
                out->s = std::move(s);
                return true;
            }
            if (is_ws(c)) continue;
            int v = hex_val(c);
            if (v < 0) return false;
            if (hi < 0) {
                hi = v;
            } else {
                s.push_back(static_cast<char>(hi * 16 + v));
                hi = -1;
            }
        }
        return false;
    }

    // An unsigned integer token at q that fits int32_t; its end in *e.
    bool small_uint_at(int32_t q, int64_t *v, int32_t *e) const {
        int32_t te = token_end(q);
        if (te == q || te - q > 10) return false;
        int64_t n = 0;
        for (int32_t k = q; k < te; ++k) {
            if (t[k] < '0' || t[k] > '9') return false;
            n = n * 10 + (t[k] - '0');
        }
        if (n > INT32_MAX) return false;
        *v = n;
        *e = te;
        return true;
    }

    bool number(value *out) {
        int32_t e = token_end(p);
        int32_t q = p;
        const int32_t start = p;
        bool neg = false;
        if (t[q] == '+' || t[q] == '-') {
            neg = t[q] == '-';
            ++q;
        }
        int digits = 0, dots = 0;
        for (int32_t k = q; k < e; ++k) {
            if (t[k] >= '0' && t[k] <= '9') {
                ++digits;
            } else if (t[k] == '.') {
                ++dots;
            } else {
                return false;
            }
        }
        if (dots > 1) return false;
        if (digits == 0) {
            // A lone sign or dot: read as 0, as viewers do.
            become(out, kind::integer);
            p = e;
            return true;
        }
        if (dots == 0 && e - q <= 18) {
            int64_t n = 0;
            for (int32_t k = q; k < e; ++k) n = n * 10 + (t[k] - '0');
            become(out, kind::integer);
            out->i = neg ? -n : n;
            out->r = static_cast<double>(out->i);
            p = e;
            // "N G R": a reference, when N has no sign and both fit.
            if (q == start && n <= INT32_MAX) {
                int32_t save = p;
                skip_ws();
                int64_t g = 0;
                int32_t ge = 0;
                if (p > save && small_uint_at(p, &g, &ge)) {
                    p = ge;
                    int32_t after_gen = p;
                    skip_ws();
                    if (p > after_gen && p < len && t[p] == 'R' && (p + 1 >= len || !is_regular(t[p + 1]))) {
                        become(out, kind::ref);
                        out->i = static_cast<int32_t>(n);
                        out->gen = static_cast<int32_t>(g);
                        ++p;
                        return true;
                    }
                }
                p = save;
            }
            return true;
        }
        // Too large for a double: far beyond any real a PDF may hold.
        double d = read_fixed(reinterpret_cast<const char *>(t + q), reinterpret_cast<const char *>(t + e));
        if (!std::isfinite(d)) d = 3.4e38;
        become(out, kind::real);
        d = neg ? -d : d;
        out->r = std::isfinite(d) ? d : 0;
        p = e;
        return true;
    }

    bool parse(value *out, int depth) {
        skip_ws();
        if (p >= len) return false;
        unsigned char c = t[p];
        if (c == '/') return name(out);
        if (c == '(') return literal(out);
        if (c == '<') {
            if (p + 1 < len && t[p + 1] == '<') return dict(out, depth);
            return hex(out);
        }
        if (c == '[') return array(out, depth);
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.') return number(out);
        if (!is_regular(c)) return false;
        int32_t e = token_end(p);
        std::string_view kw(reinterpret_cast<const char *>(t + p), static_cast<size_t>(e - p));
        if (kw == "true" || kw == "false") {
            *out = value::make_bool(kw == "true");
        } else if (kw == "null") {
            *out = value{};
        } else {
            return false;
        }
        p = e;
        return true;
    }

    bool array(value *out, int depth) {
        if (depth >= kMaxDepth) return false;
        ++p;  // '['
        const size_t mark = items.size();
        for (;;) {
            skip_ws();
            if (p >= len) return false;
            if (t[p] == ']') {
                ++p;
                value a = value::make_array();
                a.items.assign(std::make_move_iterator(items.begin() + static_cast<std::ptrdiff_t>(mark)),
                               std::make_move_iterator(items.end()));
                items.erase(items.begin() + static_cast<std::ptrdiff_t>(mark), items.end());
                *out = std::move(a);
                return true;
            }
            value item;
            if (!parse(&item, depth + 1)) return false;
            items.push_back(std::move(item));
        }
    }

    // Whether the dictionary whose entries start at `mark` has `key`:
    // a look along them while they are few, a set once they are many (a
    // hostile dictionary of many keys stays linear).
    bool has_key(size_t mark, const std::string &key, std::unordered_set<std::string> &many) {
        constexpr size_t kFew = 32;
        const size_t n = entries.size() - mark;
        if (n <= kFew) {
            for (size_t k = mark; k < entries.size(); ++k)
                if (entries[k].key == key) return true;
            return false;
        }
        if (many.empty())
            for (size_t k = mark; k < entries.size(); ++k) many.insert(entries[k].key);
        return many.count(key) != 0;
    }

    bool dict(value *out, int depth) {
        if (depth >= kMaxDepth) return false;
        p += 2;  // "<<"
        const size_t mark = entries.size();
        std::unordered_set<std::string> many;
        for (;;) {
            skip_ws();
            if (p >= len) return false;
            if (t[p] == '>') {
                if (p + 1 < len && t[p + 1] == '>') {
                    p += 2;
                    value d = value::make_dict();
                    d.entries.assign(std::make_move_iterator(entries.begin() + static_cast<std::ptrdiff_t>(mark)),
                                     std::make_move_iterator(entries.end()));
                    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(mark), entries.end());
                    *out = std::move(d);
                    return true;
                }
                return false;
            }
            if (t[p] != '/') return false;
            std::string key;
            name_text(key);
            skip_ws();
            if (p + 1 < len && t[p] == '>' && t[p + 1] == '>') continue;  // a key without value is dropped
            value v;
            if (!parse(&v, depth + 1)) return false;
            if (!has_key(mark, key, many)) {
                if (!many.empty()) many.insert(key);
                entries.push_back(dict_entry{std::move(key), std::move(v)});
            }
        }
    }
};

bool printable_for_literal(std::string_view s) {
    for (unsigned char c : s)
        if ((c < 0x20 || c > 0x7E) && c != '\n' && c != '\r' && c != '\t' && c != '\b' && c != '\f') return false;
    return true;
}

}  // namespace

value value::make_null() { return value{}; }

value value::make_bool(bool v) {
    value x;
    x.k = kind::boolean;
    x.b = v;
    return x;
}
value value::make_int(int64_t v) {
    value x;
    x.k = kind::integer;
    x.i = v;
    x.r = static_cast<double>(v);
    return x;
}
value value::make_real(double v) {
    value x;
    x.k = kind::real;
    x.r = std::isfinite(v) ? v : 0;
    return x;
}
value value::make_name(std::string_view n) {
    value x;
    x.k = kind::name;
    x.s.assign(n);
    return x;
}
value value::make_string(std::string_view bytes) {
    value x;
    x.k = kind::string;
    x.s.assign(bytes);
    return x;
}
value value::make_ref(int32_t num, int32_t gen) {
    value x;
    x.k = kind::ref;
    x.i = num;
    x.gen = gen;
    return x;
}
value value::make_array() {
    value x;
    x.k = kind::array;
    return x;
}
value value::make_dict() {
    value x;
    x.k = kind::dict;
    return x;
}

value &value::push(value v) {
    if (k != kind::array) *this = make_array();
    items.push_back(std::move(v));
    return items.back();
}

value &value::set(std::string_view key, value v) {
    if (k != kind::dict) *this = make_dict();
    for (auto &e : entries)
        if (e.key == key) return e.val = std::move(v);
    entries.push_back(dict_entry{std::string(key), std::move(v)});
    return entries.back().val;
}

const value *value::get(std::string_view key) const {
    if (k != kind::dict) return nullptr;
    for (const auto &e : entries)
        if (e.key == key) return &e.val;
    return nullptr;
}

bool parse_value(const unsigned char *t, int32_t len, int32_t pos, value *out, int32_t *end) {
    *out = value{};
    if (!t || len <= 0 || pos < 0 || pos >= len) return false;
    parser ps{t, len, pos};
    value v;
    if (!ps.parse(&v, 0)) return false;
    *out = std::move(v);
    if (end) *end = ps.p;
    return true;
}

bool parse_value(std::string_view text, value *out) {
    if (text.size() > static_cast<size_t>(INT32_MAX)) {
        *out = value{};
        return false;
    }
    return parse_value(reinterpret_cast<const unsigned char *>(text.data()), static_cast<int32_t>(text.size()), 0,
                       out, nullptr);
}

const value *resolve(const value *v, resolver *res) {
    for (int n = 0; v && v->k == kind::ref; ++n) {
        if (!res || n >= kMaxRefChain) return nullptr;
        v = res->get(static_cast<int32_t>(v->i));
    }
    return v;
}

const value *get_resolved(const value *dict, std::string_view key, resolver *res) {
    dict = resolve(dict, res);
    return dict ? resolve(dict->get(key), res) : nullptr;
}

void append_number(std::string *out, double v) {
    if (std::isnan(v)) v = 0;
    if (v > 1e15) v = 1e15;
    if (v < -1e15) v = -1e15;
    char buf[48];
    if (std::fabs(v) >= 1e14) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(std::llround(v)));
        out->append(buf);
        return;
    }
    long long scaled = std::llround(v * 10000.0);
    if (scaled == 0) {
        out->push_back('0');
        return;
    }
    bool neg = scaled < 0;
    unsigned long long a = static_cast<unsigned long long>(neg ? -scaled : scaled);
    unsigned long long ip = a / 10000, fp = a % 10000;
    int n = std::snprintf(buf, sizeof buf, "%s%llu", neg ? "-" : "", ip);
    out->append(buf, static_cast<size_t>(n));
    if (fp) {
        char f[6];
        std::snprintf(f, sizeof f, "%04llu", fp);
        int fl = 4;
        while (fl > 0 && f[fl - 1] == '0') --fl;
        out->push_back('.');
        out->append(f, static_cast<size_t>(fl));
    }
}

void append_literal_string(std::string *out, std::string_view bytes) {
    out->push_back('(');
    for (unsigned char c : bytes) {
        if (c == '(' || c == ')' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20 || c > 0x7E) {
            char b[5];
            std::snprintf(b, sizeof b, "\\%03o", c);
            out->append(b, 4);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back(')');
}

void append_name(std::string *out, std::string_view name) {
    static const char *hexd = "0123456789ABCDEF";
    out->push_back('/');
    for (unsigned char c : name) {
        if (c < 0x21 || c > 0x7E || c == '#' || is_delim(c)) {
            out->push_back('#');
            out->push_back(hexd[c >> 4]);
            out->push_back(hexd[c & 15]);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
}

void serialize(const value &v, std::string *out, const ref_map &map) {
    static const char *hexd = "0123456789ABCDEF";
    char buf[48];
    switch (v.k) {
        case kind::null: out->append("null"); break;
        case kind::boolean: out->append(v.b ? "true" : "false"); break;
        case kind::integer:
            std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.i));
            out->append(buf);
            break;
        case kind::real: append_number(out, v.r); break;
        case kind::name: append_name(out, v.s); break;
        case kind::string:
            if (printable_for_literal(v.s)) {
                out->push_back('(');
                for (unsigned char c : v.s) {
                    switch (c) {
                        case '(': out->append("\\("); break;
                        case ')': out->append("\\)"); break;
                        case '\\': out->append("\\\\"); break;
                        case '\n': out->append("\\n"); break;
                        case '\r': out->append("\\r"); break;
                        case '\t': out->append("\\t"); break;
                        case '\b': out->append("\\b"); break;
                        case '\f': out->append("\\f"); break;
                        default: out->push_back(static_cast<char>(c));
                    }
                }
                out->push_back(')');
            } else {
                out->push_back('<');
                for (unsigned char c : v.s) {
                    out->push_back(hexd[c >> 4]);
                    out->push_back(hexd[c & 15]);
                }
                out->push_back('>');
            }
            break;
        case kind::array:
            out->push_back('[');
            for (size_t k = 0; k < v.items.size(); ++k) {
                if (k) out->push_back(' ');
                serialize(v.items[k], out, map);
            }
            out->push_back(']');
            break;
        case kind::dict:
            out->append("<<");
            for (const auto &e : v.entries) {
                out->push_back(' ');
                append_name(out, e.key);
                out->push_back(' ');
                serialize(e.val, out, map);
            }
            out->append(" >>");
            break;
        case kind::ref: {
            int32_t num = static_cast<int32_t>(v.i), gen = v.gen;
            if (map) {
                num = map(num, gen);
                gen = 0;
                if (num <= 0) {
                    out->append("null");
                    break;
                }
            }
            std::snprintf(buf, sizeof buf, "%d %d R", static_cast<int>(num), static_cast<int>(gen));
            out->append(buf);
            break;
        }
    }
}

std::string to_text(const value &v, const ref_map &map) {
    std::string s;
    serialize(v, &s, map);
    return s;
}

}  // namespace sheetlay::pdf
