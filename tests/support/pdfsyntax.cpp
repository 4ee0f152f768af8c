#include "support/pdfsyntax.h"

#include <cctype>
#include <cstring>

namespace pdfsyntax {
namespace {

class Syntax {
public:
    explicit Syntax(std::string_view t, size_t at = 0) : t_(t), i_(at) {}
    size_t pos() const { return i_; }

    Val value() {
        skip();
        Val v;
        if (i_ >= t_.size()) return v;
        const char c = t_[i_];
        if (t_.substr(i_, 2) == "<<") {
            i_ += 2;
            v.kind = Val::dict;
            for (skip(); i_ < t_.size() && t_.substr(i_, 2) != ">>"; skip()) {
                Val key = value();
                if (key.kind != Val::name) return Val{};
                v.d[key.s] = value();
            }
            i_ += 2;
        } else if (c == '<') {
            const size_t end = t_.find('>', i_);
            v.kind = Val::str;
            v.s = unhex(t_.substr(i_ + 1, end - i_ - 1));
            i_ = end + 1;
        } else if (c == '(') {
            v.kind = Val::str;
            v.s = literal();
        } else if (c == '[') {
            ++i_;
            v.kind = Val::arr;
            for (skip(); i_ < t_.size() && t_[i_] != ']'; skip()) v.a.push_back(value());
            ++i_;
        } else if (c == '/') {
            v.kind = Val::name;
            ++i_;
            while (i_ < t_.size() && !delim(t_[i_])) v.s += t_[i_++];
        } else if (c == '-' || c == '+' || std::isdigit(static_cast<unsigned char>(c))) {
            v.kind = Val::num;
            v.n = std::stoll(std::string(token()));
            // "num gen R"
            const size_t save = i_;
            skip();
            std::string_view gen = token();
            skip();
            if (!gen.empty() && std::isdigit(static_cast<unsigned char>(gen[0])) &&
                t_.substr(i_, 1) == "R") {
                ++i_;
                v.kind = Val::ref;
            } else {
                i_ = save;
            }
        } else {
            v.kind = Val::word;
            v.s = std::string(token());
            if (v.s.empty()) ++i_;
        }
        return v;
    }

private:
    static bool delim(char c) {
        return std::isspace(static_cast<unsigned char>(c)) || std::strchr("()<>[]{}/%", c);
    }
    void skip() {
        while (i_ < t_.size()) {
            if (std::isspace(static_cast<unsigned char>(t_[i_]))) {
                ++i_;
            } else if (t_[i_] == '%') {
                while (i_ < t_.size() && t_[i_] != '\n' && t_[i_] != '\r') ++i_;
            } else {
                break;
            }
        }
    }
    std::string_view token() {
        const size_t b = i_;
        while (i_ < t_.size() && !delim(t_[i_])) ++i_;
        return t_.substr(b, i_ - b);
    }
    std::string literal() {
        std::string s;
        int depth = 0;
        for (++i_; i_ < t_.size(); ++i_) {
            char c = t_[i_];
            if (c == '\\' && i_ + 1 < t_.size()) {
                c = t_[++i_];
                switch (c) {
                case 'n': s += '\n'; break;
                case 'r': s += '\r'; break;
                case 't': s += '\t'; break;
                case 'b': s += '\b'; break;
                case 'f': s += '\f'; break;
                case '\r':
                    if (i_ + 1 < t_.size() && t_[i_ + 1] == '\n') ++i_;
                    break;
                case '\n': break;
                default:
                    if (c >= '0' && c <= '7') {
                        int v = 0;
                        for (int k = 0; k < 3 && i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '7';
                             ++k)
                            v = v * 8 + (t_[i_++] - '0');
                        --i_;
                        s += static_cast<char>(v);
                    } else {
                        s += c;
                    }
                }
            } else if (c == '(') {
                ++depth;
                s += c;
            } else if (c == ')') {
                if (depth-- == 0) {
                    ++i_;
                    return s;
                }
                s += c;
            } else {
                s += c;
            }
        }
        return s;
    }

    std::string_view t_;
    size_t i_;
};

}  // namespace

Val parse(std::string_view text, size_t at, size_t *end) {
    Syntax s(text, at);
    Val v = s.value();
    if (end) *end = s.pos();
    return v;
}

std::string unhex(std::string_view hex) {
    std::string out;
    int hi = -1;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
        if (hi < 0) {
            hi = v;
        } else {
            out += static_cast<char>(hi << 4 | v);
            hi = -1;
        }
    }
    if (hi >= 0) out += static_cast<char>(hi << 4);  // odd digit count: a trailing 0
    return out;
}

std::string hex(const uint8_t *p, size_t n) {
    static const char *d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

}  // namespace pdfsyntax
