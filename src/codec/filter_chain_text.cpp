// Reads a stream's /Filter and /DecodeParms values into a filter chain.
//
// The values are small and their grammar narrow, so a scanner of its own
// keeps this unit apart from the document reader: it knows names (with #xx
// escapes), numbers, keywords such as null and R, strings, hex strings,
// arrays and dictionaries, enough to pair each parameter dictionary with its
// filter and to step over entries it does not use. Every token moves the
// position forward and nesting is counted, not recursed, so any text is read
// in one pass within its range.
//
// Anything the scanner cannot settle by itself, an indirect reference where
// a filter name or one of its parameters is needed or a name outside the
// decodable filters, makes the chain not decodable: the caller then carries
// the stream as it was stored, which is always sound.
#include <cstring>

#include "codec/filters.h"

namespace sheetlay {
namespace {

enum class tok : uint8_t { end, name, number, keyword, open_array, close_array, open_dict, close_dict, other };

struct token {
    tok type = tok::end;
    char name[64];      // a name's bytes after '/', escapes undone, or a keyword
    size_t name_len = 0;
    bool name_long = false;  // longer than the buffer: matches nothing
    int64_t value = 0;       // a number's integer part, saturated to 32 bits
    bool integer = false;    // a number without a fraction
};

bool white(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0; }
bool delimiter(unsigned char c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' ||
           c == '/' || c == '%';
}
bool regular(unsigned char c) { return !white(c) && !delimiter(c); }
int hexdigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct scanner {
    const unsigned char *p, *end;

    void skip_space() {
        while (p < end) {
            if (white(*p)) {
                ++p;
            } else if (*p == '%') {
                while (p < end && *p != '\n' && *p != '\r') ++p;
            } else {
                break;
            }
        }
    }

    void put_name_byte(token &t, unsigned char c) {
        if (t.name_len < sizeof t.name) t.name[t.name_len++] = static_cast<char>(c);
        else t.name_long = true;
    }

    token next() {
        token t;
        skip_space();
        if (p >= end) return t;
        unsigned char c = *p;
        if (c == '/') {
            ++p;
            t.type = tok::name;
            while (p < end && regular(*p)) {
                int h, l;
                if (*p == '#' && end - p >= 3 && (h = hexdigit(p[1])) >= 0 && (l = hexdigit(p[2])) >= 0) {
                    put_name_byte(t, static_cast<unsigned char>(h << 4 | l));
                    p += 3;
                } else {
                    put_name_byte(t, *p++);
                }
            }
            return t;
        }
        if (c == '[' || c == ']') {
            ++p;
            t.type = c == '[' ? tok::open_array : tok::close_array;
            return t;
        }
        if (c == '<' && end - p >= 2 && p[1] == '<') {
            p += 2;
            t.type = tok::open_dict;
            return t;
        }
        if (c == '>' && end - p >= 2 && p[1] == '>') {
            p += 2;
            t.type = tok::close_dict;
            return t;
        }
        t.type = tok::other;
        if (c == '<') {  // a hex string
            while (p < end && *p != '>') ++p;
            if (p < end) ++p;
            return t;
        }
        if (c == '(') {  // a literal string: balanced parentheses, backslash escapes
            ++p;
            size_t depth = 1;
            while (p < end && depth > 0) {
                if (*p == '\\') {
                    p += end - p >= 2 ? 2 : 1;
                    continue;
                }
                if (*p == '(') ++depth;
                else if (*p == ')') --depth;
                ++p;
            }
            return t;
        }
        if (delimiter(c)) {  // a stray ')', '>', '{' or '}'
            ++p;
            return t;
        }
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.') {
            const unsigned char *q = p;
            bool neg = false;
            if (*q == '+' || *q == '-') neg = *q++ == '-';
            int64_t v = 0;
            bool digits = false, fraction = false;
            while (q < end && *q >= '0' && *q <= '9') {
                if (v < INT32_MAX) v = v * 10 + (*q - '0');
                digits = true;
                ++q;
            }
            if (q < end && *q == '.') {
                fraction = true;
                ++q;
                while (q < end && *q >= '0' && *q <= '9') {
                    digits = true;
                    ++q;
                }
            }
            if (digits && (q == end || !regular(*q))) {
                if (v > INT32_MAX) v = INT32_MAX;
                t.type = tok::number;
                t.value = neg ? -v : v;
                t.integer = !fraction;
                p = q;
                return t;
            }
        }
        // A keyword (null, R, true, ...) or any other run of regular bytes.
        t.type = tok::keyword;
        while (p < end && regular(*p)) put_name_byte(t, *p++);
        return t;
    }

    // Steps over one value whose first token is `t`: nested arrays and
    // dictionaries are counted, not recursed into.
    void skip_value(const token &first) {
        long depth = 0;
        token t = first;
        for (;;) {
            if (t.type == tok::open_array || t.type == tok::open_dict) ++depth;
            else if ((t.type == tok::close_array || t.type == tok::close_dict) && depth > 0) --depth;
            if (depth == 0 || t.type == tok::end) return;
            t = next();
        }
    }

    // True when the tokens after a number are "<integer> R": the number
    // was an object number, the value an indirect reference.
    bool reference_follows() {
        const unsigned char *save = p;
        token g = next();
        bool ref = false;
        if (g.type == tok::number && g.integer) {
            token r = next();
            ref = r.type == tok::keyword && r.name_len == 1 && r.name[0] == 'R' && !r.name_long;
        }
        if (!ref) p = save;
        return ref;
    }
};

bool is(const token &t, const char *s) {
    size_t n = std::strlen(s);
    return !t.name_long && t.name_len == n && std::memcmp(t.name, s, n) == 0;
}

// The decodable filters under their full and short names.
bool filter_of(const token &t, filter_kind *k) {
    static const struct {
        const char *full, *brief;
        filter_kind kind;
    } names[] = {
        {"ASCIIHexDecode", "AHx", filter_kind::ascii_hex},
        {"ASCII85Decode", "A85", filter_kind::ascii85},
        {"LZWDecode", "LZW", filter_kind::lzw},
        {"RunLengthDecode", "RL", filter_kind::run_length},
        {"FlateDecode", "Fl", filter_kind::flate},
    };
    for (const auto &n : names) {
        if (is(t, n.full) || is(t, n.brief)) {
            *k = n.kind;
            return true;
        }
    }
    return false;
}

bool uses_parms(filter_kind k) { return k == filter_kind::lzw || k == filter_kind::flate; }

// Reads a dictionary whose "<<" was just read, up to its ">>" or the end of
// the text. False when one of the parameters is an indirect reference.
bool read_parms(scanner &s, filter_parms *p) {
    bool resolved = true;
    for (;;) {
        token key = s.next();
        if (key.type == tok::end || key.type == tok::close_dict) return resolved;
        if (key.type != tok::name) {
            s.skip_value(key);  // not a key: stepped over
            continue;
        }
        int32_t *field = is(key, "Predictor")          ? &p->predictor
                         : is(key, "Colors")           ? &p->colors
                         : is(key, "BitsPerComponent") ? &p->bits_per_component
                         : is(key, "Columns")          ? &p->columns
                         : is(key, "EarlyChange")      ? &p->early_change
                                                       : nullptr;
        token v = s.next();
        if (v.type == tok::close_dict || v.type == tok::end) return resolved;  // a key without value
        if (v.type == tok::number) {
            if (s.reference_follows()) {
                if (field) resolved = false;
                continue;
            }
            if (field) *field = static_cast<int32_t>(v.value);  // a real counts by its integer part
            continue;
        }
        s.skip_value(v);
    }
}

}  // namespace

filter_status parse_filter_chain(const unsigned char *filter, size_t filter_len, const unsigned char *parms,
                                 size_t parms_len, filter_chain *out) {
    *out = filter_chain{};
    if (!filter) filter_len = 0;
    if (!parms) parms_len = 0;

    scanner s{filter, filter + filter_len};
    token t = s.next();
    if (t.type == tok::name) {
        if (!filter_of(t, &out->step[0].kind)) return filter_status::not_decodable;
        out->count = 1;
    } else if (t.type == tok::open_array) {
        for (;;) {
            token e = s.next();
            if (e.type == tok::close_array || e.type == tok::end) break;
            if (e.type != tok::name || out->count == kMaxFilterChain) return filter_status::not_decodable;
            if (!filter_of(e, &out->step[out->count].kind)) return filter_status::not_decodable;
            ++out->count;
        }
    } else if (!(t.type == tok::end || (t.type == tok::keyword && is(t, "null")))) {
        return filter_status::not_decodable;  // a reference or a value of the wrong type
    }

    // The parameters: one dictionary for a single filter, or an array with
    // one entry per filter. A lone dictionary beside an array of filters
    // belongs to the first of them.
    scanner ps{parms, parms + parms_len};
    token v = ps.next();
    if (v.type == tok::open_dict) {
        if (out->count > 0 && !read_parms(ps, &out->step[0].parms) && uses_parms(out->step[0].kind))
            return filter_status::not_decodable;
    } else if (v.type == tok::open_array) {
        for (int i = 0;; ++i) {
            token e = ps.next();
            if (e.type == tok::close_array || e.type == tok::end) break;
            bool needed = i < out->count && uses_parms(out->step[i].kind);
            if (e.type == tok::open_dict) {
                filter_parms scratch;
                if (!read_parms(ps, i < out->count ? &out->step[i].parms : &scratch) && needed)
                    return filter_status::not_decodable;
            } else if (e.type == tok::number && ps.reference_follows()) {
                if (needed) return filter_status::not_decodable;
            } else {
                ps.skip_value(e);  // null, or something that holds no parameters
            }
        }
    } else if (v.type == tok::number && ps.reference_follows()) {
        if (out->count > 0 && uses_parms(out->step[0].kind)) return filter_status::not_decodable;
    }
    return filter_status::ok;
}

}  // namespace sheetlay
