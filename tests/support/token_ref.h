// Content tokens read the plain way, byte by byte, as the rule the content
// tokeniser (content/tokens) must keep: numbers as the running digit sum
// (signs, one point, places by a tenth divided on), strings through the one
// literal decoder, arrays of strings and numbers read alone and anything
// else left to the value parser, the same work charged per token. The tests
// and the fuzz target compare the two as text: every operator with its
// operands (numbers as exact hex doubles), then how reading ended.
#ifndef SHEETLAY_TESTS_TOKEN_REF_H
#define SHEETLAY_TESTS_TOKEN_REF_H

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "content/tokens.h"
#include "pdf/literal.h"
#include "pdf/object.h"

namespace testtools {

inline bool ref_space(unsigned char c) { return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }
inline bool ref_delim(unsigned char c) { return std::strchr("()<>[]{}/%", c) && c; }
inline bool ref_regular(unsigned char c) { return !ref_space(c) && !ref_delim(c); }

inline void describe_number(std::string *out, double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%a ", v);
    *out += b;
}

inline void describe_value(std::string *out, const sheetlay::pdf::value &v) {
    using sheetlay::pdf::kind;
    switch (v.k) {
        case kind::null: *out += "null "; break;
        case kind::boolean: *out += v.b ? "true " : "false "; break;
        case kind::integer: *out += "i" + std::to_string(v.i) + " "; break;
        case kind::real: describe_number(out, v.r); break;
        case kind::string: *out += "(" + std::to_string(v.s.size()) + ":" + v.s + ") "; break;
        case kind::name: *out += "/" + std::to_string(v.s.size()) + ":" + v.s + " "; break;
        case kind::ref: *out += std::to_string(v.i) + " R "; break;
        case kind::array:
            *out += "[ ";
            for (const auto &it : v.items) describe_value(out, it);
            *out += "] ";
            break;
        case kind::dict: *out += "<<" + std::to_string(v.entries.size()) + ">> "; break;
    }
}

// Tokens of t[0, len) by the content tokeniser, up to an inline image.
inline std::string fast_tokens(const unsigned char *t, size_t len, int32_t max_ops, int64_t work) {
    using sheetlay::content::operand;
    sheetlay::content::token_reader rd(t, len, max_ops, &work);
    std::string out;
    try {
        while (rd.next()) {
            for (size_t k = 0; k < rd.count(); ++k) {
                const operand &o = rd.arg(k);
                if (o.kind == operand::number) describe_number(&out, o.num);
                else if (o.kind == operand::text_name) out += "/" + std::to_string(o.name.size()) + ":" + o.name + " ";
                else describe_value(&out, o.v);
            }
            out += std::string(rd.op()) + "\n";
            if (std::strcmp(rd.op(), "ID") == 0) return out;
        }
        return out + "end " + std::to_string(work);
    } catch (const sheetlay::content::stop &) {
        return out + "stop " + std::to_string(work);
    }
}

inline double ref_number(const unsigned char *t, size_t len, size_t *pos, bool *any) {
    size_t p = *pos;
    bool neg = false;
    for (; p < len && (t[p] == '+' || t[p] == '-'); ++p) neg = t[p] == '-' ? !neg : neg;
    double v = 0;
    *any = false;
    for (; p < len && t[p] >= '0' && t[p] <= '9'; ++p, *any = true) v = v * 10 + (t[p] - '0');
    if (p < len && t[p] == '.') {
        double scale = 0.1;
        for (++p; p < len && t[p] >= '0' && t[p] <= '9'; ++p, *any = true, scale /= 10) v += (t[p] - '0') * scale;
    }
    *pos = p;
    return neg ? -v : v;
}

inline bool ref_hex(const unsigned char *t, size_t len, size_t *pos, std::string *s) {
    s->clear();
    std::string digits;
    for (size_t p = *pos + 1; p < len; ++p) {
        if (t[p] == '>') {
            if (digits.size() % 2) digits += '0';
            for (size_t k = 0; k < digits.size(); k += 2)
                s->push_back(static_cast<char>(std::stoi(digits.substr(k, 2), nullptr, 16)));
            *pos = p + 1;
            return true;
        }
        if (std::isxdigit(t[p])) digits += static_cast<char>(t[p]);
        else if (!ref_space(t[p])) return false;
    }
    return false;
}

inline bool ref_text_array(const unsigned char *t, size_t len, size_t *pos, sheetlay::pdf::value *v) {
    *v = sheetlay::pdf::value::make_array();
    for (size_t p = *pos + 1; p < len;) {
        const unsigned char c = t[p];
        if (ref_space(c)) {
            ++p;
        } else if (c == ']') {
            *pos = p + 1;
            return true;
        } else if (v->items.size() >= 1u << 20) {
            return false;
        } else if (c == '(' || (c == '<' && !(p + 1 < len && t[p + 1] == '<'))) {
            std::string s;
            if (!(c == '(' ? sheetlay::pdf::decode_literal(t, len, &p, &s) : ref_hex(t, len, &p, &s))) return false;
            v->items.push_back(sheetlay::pdf::value::make_string(s));
        } else if (std::strchr("+-.0123456789", c)) {
            bool any;
            const double x = ref_number(t, len, &p, &any);
            if (!any || (p < len && ref_regular(t[p]))) return false;
            v->items.push_back(sheetlay::pdf::value::make_real(x));
        } else {
            return false;
        }
    }
    return false;
}

// The same tokens read the plain way.
inline std::string ref_tokens(const unsigned char *t, size_t len, int32_t max_ops, int64_t work) {
    std::string out, ops;
    int32_t n = 0;
    auto push = [&] { return n++ < max_ops; };
    for (size_t p = 0; p < len;) {
        const unsigned char c = t[p];
        if (ref_space(c)) {
            ++p;
            continue;
        }
        if (--work < 0) return out + "stop " + std::to_string(work);
        const size_t s = p;
        if (std::strchr("+-.0123456789", c)) {
            bool any;
            const double v = ref_number(t, len, &p, &any);
            if (!any && p < len && ref_regular(t[p])) {
                while (p < len && ref_regular(t[p])) ++p;
                continue;
            }
            if (!push()) return out + "stop " + std::to_string(work);
            describe_number(&ops, v);
        } else if (ref_regular(c)) {
            while (p < len && ref_regular(t[p])) ++p;
            const std::string word(reinterpret_cast<const char *>(t + s), p - s);
            if (word == "true" || word == "false" || word == "null") {
                if (!push()) return out + "stop " + std::to_string(work);
                ops += word + " ";
                continue;
            }
            out += ops + (word.size() <= 3 ? word : "?") + "\n";
            if (word == "ID") return out;
            ops.clear();
            n = 0;
        } else if (c == '/') {
            for (++p; p < len && ref_regular(t[p]);) ++p;
            std::string name(reinterpret_cast<const char *>(t + s + 1), p - s - 1);
            sheetlay::pdf::value v;
            if (name.find('#') != std::string::npos &&
                sheetlay::pdf::parse_value(t, static_cast<int32_t>(len), static_cast<int32_t>(s), &v) && v.is_name())
                name = v.s;
            if (!push()) return out + "stop " + std::to_string(work);
            ops += "/" + std::to_string(name.size()) + ":" + name + " ";
        } else if (c == '%') {
            while (p < len && t[p] != '\n' && t[p] != '\r') ++p;
        } else if (c == '(' || c == '[' || c == '<') {
            if (!push()) return out + "stop " + std::to_string(work);
            sheetlay::pdf::value v;
            bool read = false;
            if (c == '(') read = sheetlay::pdf::decode_literal(t, len, &p, &v.s);
            else if (c == '[') read = ref_text_array(t, len, &p, &v);
            else if (!(p + 1 < len && t[p + 1] == '<')) read = ref_hex(t, len, &p, &v.s);
            if (read && c != '[') v.k = sheetlay::pdf::kind::string;
            int32_t end = 0;
            if (!read) {
                if (!sheetlay::pdf::parse_value(t, static_cast<int32_t>(len), static_cast<int32_t>(p), &v, &end) ||
                    end <= static_cast<int32_t>(p))
                    return out + "stop " + std::to_string(work);
                p = static_cast<size_t>(end);
            }
            work -= static_cast<int64_t>((p - s) / 16);
            describe_value(&ops, v);
        } else {
            ++p;
        }
    }
    return out + "end " + std::to_string(work);
}

}  // namespace testtools

#endif
