// Content stream tokens (see tokens.h).
#include "content/tokens.h"

#include <cmath>
#include <cstring>

#include "pdf/lexer.h"

namespace sheetlay::content {

namespace {

bool is_delim(unsigned char c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

bool is_regular(unsigned char c) { return !is_pdf_ws(c) && !is_delim(c); }

// Fast readers for what text showing is made of: literal and hex strings,
// and arrays of strings and numbers (TJ). They fill a value in place, so
// its buffers are reused from operator to operator; anything else (nested
// arrays, names, dictionaries, damage) is left to the value parser. Both
// decode strings as that parser does.
bool read_literal(const unsigned char *t, size_t len, size_t *pos, std::string *s) {
    size_t p = *pos + 1;  // '('
    s->clear();
    int nest = 1;
    while (p < len) {
        const unsigned char c = t[p++];
        if (c == '(') {
            ++nest;
        } else if (c == ')') {
            if (--nest == 0) {
                *pos = p;
                return true;
            }
        } else if (c == '\r') {
            if (p < len && t[p] == '\n') ++p;
            s->push_back('\n');
            continue;
        } else if (c == '\\') {
            if (p >= len) return false;
            const unsigned char e = t[p++];
            switch (e) {
                case 'n': s->push_back('\n'); break;
                case 'r': s->push_back('\r'); break;
                case 't': s->push_back('\t'); break;
                case 'b': s->push_back('\b'); break;
                case 'f': s->push_back('\f'); break;
                case '\r':
                    if (p < len && t[p] == '\n') ++p;
                    break;
                case '\n': break;
                default:
                    if (e >= '0' && e <= '7') {
                        int v = e - '0';
                        for (int k = 0; k < 2 && p < len && t[p] >= '0' && t[p] <= '7'; ++k)
                            v = v * 8 + (t[p++] - '0');
                        s->push_back(static_cast<char>(v & 0xFF));
                    } else {
                        s->push_back(static_cast<char>(e));
                    }
            }
            continue;
        }
        s->push_back(static_cast<char>(c));
    }
    return false;
}

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool read_hex(const unsigned char *t, size_t len, size_t *pos, std::string *s) {
    size_t p = *pos + 1;  // '<'
    s->clear();
    int hi = -1;
    while (p < len) {
        const unsigned char c = t[p++];
        if (c == '>') {
            if (hi >= 0) s->push_back(static_cast<char>(hi * 16));
            *pos = p;
            return true;
        }
        if (is_pdf_ws(c)) continue;
        const int v = hex_digit(c);
        if (v < 0) return false;
        if (hi < 0) {
            hi = v;
        } else {
            s->push_back(static_cast<char>(hi * 16 + v));
            hi = -1;
        }
    }
    return false;
}

void set_string(pdf::value *v) {
    v->k = pdf::kind::string;
    v->items.clear();
}

// An array of strings and numbers only; false (nothing consumed) otherwise.
bool read_text_array(const unsigned char *t, size_t len, size_t *pos, pdf::value *v) {
    size_t p = *pos + 1;  // '['
    size_t n = 0;
    v->k = pdf::kind::array;
    v->s.clear();
    while (p < len) {
        const unsigned char c = t[p];
        if (is_pdf_ws(c)) {
            ++p;
            continue;
        }
        if (c == ']') {
            v->items.resize(n);
            *pos = p + 1;
            return true;
        }
        if (n == v->items.size()) {
            if (n >= 1u << 20) return false;
            v->items.emplace_back();
        }
        pdf::value &it = v->items[n];
        if (c == '(' || (c == '<' && !(p + 1 < len && t[p + 1] == '<'))) {
            if (!(c == '(' ? read_literal(t, len, &p, &it.s) : read_hex(t, len, &p, &it.s))) return false;
            set_string(&it);
            ++n;
            continue;
        }
        if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') {
            bool neg = false, any = false;
            double x = 0, scale = 0;
            while (p < len && (t[p] == '+' || t[p] == '-')) neg = t[p++] == '-' ? !neg : neg;
            for (; p < len; ++p) {
                const unsigned char d = t[p];
                if (d >= '0' && d <= '9') {
                    any = true;
                    if (scale == 0) {
                        x = x * 10 + (d - '0');
                    } else {
                        x += (d - '0') * scale;
                        scale /= 10;
                    }
                } else if (d == '.' && scale == 0) {
                    scale = 0.1;
                } else {
                    break;
                }
            }
            if (!any || (p < len && !is_pdf_ws(t[p]) && !is_delim(t[p]))) return false;
            it.k = pdf::kind::real;
            it.r = neg ? -x : x;
            it.s.clear();
            it.items.clear();
            ++n;
            continue;
        }
        return false;
    }
    return false;
}

}  // namespace

operand &token_reader::push() {
    if (n_ >= static_cast<size_t>(max_ops_)) throw stop{};
    if (n_ == ops_.size()) ops_.emplace_back();
    operand &o = ops_[n_++];
    return o;
}

double token_reader::num_back(size_t from_end, double def) const {
    if (from_end >= n_) return def;
    const operand &o = ops_[n_ - 1 - from_end];
    return o.kind == operand::number ? o.num : def;
}

bool token_reader::next() {
    n_ = 0;
    while (pos_ < len_) {
        if (--*work_ < 0) throw stop{};
        const unsigned char c = t_[pos_];
        if (is_pdf_ws(c)) {
            ++pos_;
            continue;
        }
        if (c == '%') {
            while (pos_ < len_ && t_[pos_] != '\n' && t_[pos_] != '\r') ++pos_;
            continue;
        }
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.') {
            // A number: sign, digits, one point. Values beyond a double's
            // range become infinite and are caught where they are used.
            bool neg = false;
            size_t p = pos_;
            while (p < len_ && (t_[p] == '+' || t_[p] == '-')) neg = t_[p++] == '-' ? !neg : neg;
            double v = 0, scale = 0;
            bool any = false;
            for (; p < len_; ++p) {
                const unsigned char d = t_[p];
                if (d >= '0' && d <= '9') {
                    any = true;
                    if (scale == 0) {
                        v = v * 10 + (d - '0');
                    } else {
                        v += (d - '0') * scale;
                        scale /= 10;
                    }
                } else if (d == '.' && scale == 0) {
                    scale = 0.1;
                } else {
                    break;
                }
            }
            pos_ = p;
            if (!any && p < len_ && is_regular(t_[p])) {
                // "-" or "." followed by letters: a damaged keyword.
                while (pos_ < len_ && is_regular(t_[pos_])) ++pos_;
                continue;
            }
            operand &o = push();
            o.kind = operand::number;
            o.num = neg ? -v : v;
            continue;
        }
        if (c == '/') {
            size_t p = pos_ + 1;
            bool escaped = false;
            while (p < len_ && is_regular(t_[p])) escaped |= t_[p++] == '#';
            operand &o = push();
            o.kind = operand::text_name;
            if (escaped) {
                pdf::value v;
                int32_t end = 0;
                if (pdf::parse_value(t_, static_cast<int32_t>(len_), static_cast<int32_t>(pos_), &v,
                                     &end) &&
                    v.is_name())
                    o.name = std::move(v.s);
                else
                    o.name.assign(reinterpret_cast<const char *>(t_ + pos_ + 1), p - pos_ - 1);
            } else {
                o.name.assign(reinterpret_cast<const char *>(t_ + pos_ + 1), p - pos_ - 1);
            }
            pos_ = p;
            continue;
        }
        if (c == '(' || c == '[' || (c == '<')) {
            operand &o = push();
            o.kind = operand::other;
            size_t q = pos_;
            bool fast = false;
            if (c == '(') {
                fast = read_literal(t_, len_, &q, &o.v.s);
                if (fast) set_string(&o.v);
            } else if (c == '<' && !(pos_ + 1 < len_ && t_[pos_ + 1] == '<')) {
                fast = read_hex(t_, len_, &q, &o.v.s);
                if (fast) set_string(&o.v);
            } else if (c == '[') {
                fast = read_text_array(t_, len_, &q, &o.v);
            }
            if (fast) {
                *work_ -= static_cast<int64_t>((q - pos_) / 16);
                pos_ = q;
                continue;
            }
            int32_t end = 0;
            if (!pdf::parse_value(t_, static_cast<int32_t>(len_), static_cast<int32_t>(pos_), &o.v,
                                  &end) ||
                end <= static_cast<int32_t>(pos_))
                throw stop{};  // a string or array that does not close
            *work_ -= (end - static_cast<int32_t>(pos_)) / 16;
            pos_ = static_cast<size_t>(end);
            continue;
        }
        if (is_delim(c)) {
            ++pos_;  // a stray ')', ']', '>', '{' or '}'
            continue;
        }
        size_t p = pos_;
        while (p < len_ && is_regular(t_[p])) ++p;
        const size_t n = p - pos_;
        if (n == 4 && std::memcmp(t_ + pos_, "true", 4) == 0) {
            operand &o = push();
            o.kind = operand::other;
            o.v = pdf::value::make_bool(true);
        } else if (n == 5 && std::memcmp(t_ + pos_, "false", 5) == 0) {
            operand &o = push();
            o.kind = operand::other;
            o.v = pdf::value::make_bool(false);
        } else if (n == 4 && std::memcmp(t_ + pos_, "null", 4) == 0) {
            operand &o = push();
            o.kind = operand::other;
            o.v = pdf::value::make_null();
        } else {
            std::memset(op_, 0, sizeof op_);
            if (n <= 3) std::memcpy(op_, t_ + pos_, n);
            else std::memcpy(op_, "?", 1);
            pos_ = p;
            return true;
        }
        pos_ = p;
    }
    return false;
}

namespace {

const operand *dict_get(const std::vector<operand> &d, const char *k1, const char *k2) {
    for (size_t i = 0; i + 1 < d.size(); i += 2)
        if (d[i].kind == operand::text_name && (d[i].name == k1 || d[i].name == k2)) return &d[i + 1];
    return nullptr;
}

// Components per pixel of an inline image's colour space; 0 when the size
// cannot be told from the dictionary alone.
int components(const operand *cs) {
    if (!cs) return 0;
    if (cs->kind != operand::text_name) return 0;
    const std::string &n = cs->name;
    if (n == "G" || n == "DeviceGray" || n == "I" || n == "Indexed") return 1;
    if (n == "RGB" || n == "DeviceRGB") return 3;
    if (n == "CMYK" || n == "DeviceCMYK") return 4;
    return 0;
}

bool ends_here(const unsigned char *t, size_t len, size_t q) {
    // "EI" standing alone: white space before, white space, a delimiter or
    // the end after, and then text rather than binary data.
    if (q + 2 > len || t[q] != 'E' || t[q + 1] != 'I') return false;
    if (q + 2 < len && !is_pdf_ws(t[q + 2]) && !is_delim(t[q + 2])) return false;
    for (size_t k = q + 2; k < len && k < q + 34; ++k) {
        const unsigned char c = t[k];
        if (c >= 0x7F || (c < 0x20 && !is_pdf_ws(c))) return false;
    }
    return true;
}

}  // namespace

bool token_reader::skip_inline_image(const std::vector<operand> &dict) {
    size_t start = pos_ < len_ && is_pdf_ws(t_[pos_]) ? pos_ + 1 : pos_;
    const operand *filter = dict_get(dict, "F", "Filter");
    const operand *mask = dict_get(dict, "IM", "ImageMask");
    const bool is_mask = mask && mask->kind == operand::other && mask->v.k == pdf::kind::boolean &&
                         mask->v.b;
    const operand *w = dict_get(dict, "W", "Width");
    const operand *h = dict_get(dict, "H", "Height");
    const operand *bpc = dict_get(dict, "BPC", "BitsPerComponent");
    const int comps = is_mask ? 1 : components(dict_get(dict, "CS", "ColorSpace"));
    if (!filter && comps && w && h && w->kind == operand::number && h->kind == operand::number) {
        const double bits = is_mask ? 1 : (bpc && bpc->kind == operand::number ? bpc->num : 8);
        const double row = std::ceil(w->num * comps * bits / 8);
        const double size = row * h->num;
        if (size >= 0 && size <= static_cast<double>(len_ - start)) {
            size_t q = start + static_cast<size_t>(size);
            while (q < len_ && is_pdf_ws(t_[q])) ++q;
            if (q + 2 <= len_ && t_[q] == 'E' && t_[q + 1] == 'I' &&
                (q + 2 == len_ || !is_regular(t_[q + 2]))) {
                pos_ = q + 2;
                return true;
            }
        }
    }
    for (size_t q = start; q + 2 <= len_; ++q) {
        if ((q & 63) == 0 && --*work_ < 0) throw stop{};
        if (q > start && !is_pdf_ws(t_[q - 1])) continue;
        if (ends_here(t_, len_, q)) {
            pos_ = q + 2;
            return true;
        }
    }
    pos_ = len_;
    return false;
}

}  // namespace sheetlay::content
