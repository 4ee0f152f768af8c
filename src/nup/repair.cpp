// The repair of object text (see repair.h).
//
// One pass over the tokens with a stack of the open arrays and
// dictionaries. Bytes are copied lazily: nothing is written until the first
// place that needs a change, so valid text costs no copy.
#include "nup/repair.h"

#include <cstring>
#include <vector>

#include "nup/scan.h"

namespace sheetlay::nup {

namespace {

bool is_hex(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool same(const unsigned char *t, int32_t s, int32_t e, const char *w) {
    int32_t i = s;
    for (; *w; ++w, ++i)
        if (i >= e || t[i] != static_cast<unsigned char>(*w)) return false;
    return i == e;
}

struct frame {
    bool dict;
    bool want_value;  // dictionaries: a key was written, its value not yet
    size_t first_key;  // dictionaries: where their keys start in `keys_`
};

// A name token's bytes with #xx escapes decoded: "/A" and "/#41" are one key.
std::string name_bytes(const unsigned char *t, int32_t s, int32_t e) {
    std::string n;
    for (int32_t i = s + 1; i < e; ++i) {
        if (t[i] == '#' && i + 2 < e && is_hex(t[i + 1]) && is_hex(t[i + 2])) {
            auto hv = [](unsigned char c) { return c <= '9' ? c - '0' : (c | 32) - 'a' + 10; };
            n.push_back(static_cast<char>(hv(t[i + 1]) * 16 + hv(t[i + 2])));
            i += 2;
        } else {
            n.push_back(static_cast<char>(t[i]));
        }
    }
    return n;
}

// A key as met: where its token stands in the text, and a hash of its
// bytes with escapes decoded, so that most comparisons end at the hash and
// no key is copied (every carried object's keys are compared).
struct key_seen {
    int32_t s, e;
    uint64_t hash;
};

uint64_t name_hash(const unsigned char *t, int32_t s, int32_t e) {
    uint64_t h = 1469598103934665603ull;
    for (int32_t i = s + 1; i < e; ++i) {
        unsigned char c = t[i];
        if (c == '#' && i + 2 < e && is_hex(t[i + 1]) && is_hex(t[i + 2])) {
            auto hv = [](unsigned char x) { return x <= '9' ? x - '0' : (x | 32) - 'a' + 10; };
            c = static_cast<unsigned char>(hv(t[i + 1]) * 16 + hv(t[i + 2]));
            i += 2;
        }
        h = (h ^ c) * 1099511628211ull;
    }
    return h;
}

// The open frames and keys of one call, kept per thread between calls so
// that an object costs no allocation.
struct repair_scratch {
    std::vector<frame> stack;
    std::vector<key_seen> keys;
};
thread_local repair_scratch t_scratch;

// Keys compared for repeats per dictionary; beyond this many a dictionary
// is not searched (the cost would grow with the square of its size).
constexpr size_t kMaxKeysCompared = 512;

class repairer {
public:
    repairer(const unsigned char *t, int32_t len, std::string *out)
        : t_(t), len_(len), out_(out), stack_(t_scratch.stack), keys_(t_scratch.keys) {
        stack_.clear();
        keys_.clear();
    }

    bool run(int32_t max_depth);

private:
    // Writes the input up to s, then `with` in place of t[s, e).
    void replace(int32_t s, int32_t e, const char *with) {
        if (!changed_) {
            out_->clear();
            changed_ = true;
        }
        out_->append(reinterpret_cast<const char *>(t_ + copied_), static_cast<size_t>(s - copied_));
        out_->append(with);
        copied_ = e;
    }
    // Left out; a space keeps the tokens on either side apart.
    void drop(int32_t s, int32_t e) { replace(s, e, " "); }

    // A whole value was written at the current level.
    void value_done() {
        if (stack_.empty()) {
            top_done_ = true;
        } else if (stack_.back().dict) {
            stack_.back().want_value = false;
        }
    }
    bool key_expected() const { return !stack_.empty() && stack_.back().dict && !stack_.back().want_value; }

    // Closes the innermost frame, at position p (text inserted there).
    void close_top(int32_t p) {
        frame f = stack_.back();
        pop();
        if (f.dict) {
            replace(p, p, f.want_value ? " null >>" : ">>");
        } else {
            replace(p, p, "]");
        }
        value_done();
    }

    // A closing bracket at t[s, e): `dict` for ">>".
    void closing(int32_t s, int32_t e, bool dict) {
        size_t k = stack_.size();
        while (k > 0 && stack_[k - 1].dict != dict) --k;
        if (k == 0) {  // closes nothing
            drop(s, e);
            return;
        }
        while (stack_.size() > k) close_top(s);
        if (dict && stack_.back().want_value) replace(s, s, " null ");
        pop();
        value_done();
    }

    void pop() {
        if (stack_.back().dict) keys_.resize(stack_.back().first_key);
        stack_.pop_back();
    }

    // A key seen before in the same dictionary: other readers differ on
    // which value counts (this library's reader takes the first), so the
    // repeat is left out with its value. The position after what was left
    // out, or -1 for a key not seen before.
    int32_t repeated_key(int32_t s, int32_t e) {
        size_t from = stack_.back().first_key;
        if (keys_.size() - from >= kMaxKeysCompared) return -1;
        const key_seen k{s, e, name_hash(t_, s, e)};
        for (size_t i = from; i < keys_.size(); ++i) {
            if (keys_[i].hash == k.hash && name_bytes(t_, keys_[i].s, keys_[i].e) == name_bytes(t_, s, e)) {
                int32_t v = skip_ws(t_, e, len_);
                int32_t ve = v < len_ && (t_[v] == ']' || (t_[v] == '>' && v + 1 < len_ && t_[v + 1] == '>'))
                                 ? v
                                 : value_end(t_, len_, v);
                if (ve < e) ve = e;
                drop(s, ve);
                return ve;
            }
        }
        keys_.push_back(k);
        return -1;
    }

    void name(int32_t s, int32_t e) {
        // Most names hold no '#' at all: memchr finds that at once.
        for (int32_t i = s + 1; i < e; ++i) {
            const void *h = std::memchr(t_ + i, '#', static_cast<size_t>(e - i));
            if (!h) return;
            i = static_cast<int32_t>(static_cast<const unsigned char *>(h) - t_);
            if (!(i + 2 < e && is_hex(t_[i + 1]) && is_hex(t_[i + 2]))) replace(i, i + 1, "#23");
        }
    }

    void hex_string(int32_t s, int32_t e) {
        // e is after the closing '>' (or len when it never closes).
        int32_t stop = (e > s + 1 && t_[e - 1] == '>') ? e - 1 : e;
        for (int32_t i = s + 1; i < stop; ++i)
            if (!is_hex(t_[i]) && !is_pdf_ws(t_[i])) drop(i, i + 1);
        if (stop == e) replace(e, e, ">");
    }

    const unsigned char *t_;
    int32_t len_;
    std::string *out_;
    int32_t copied_ = 0;
    bool changed_ = false;
    bool top_done_ = false;
    std::string str_tail_;  // what a literal string cut by the end lacks
    std::vector<frame> &stack_;
    std::vector<key_seen> &keys_;  // keys of the open dictionaries, outer first
};

bool repairer::run(int32_t max_depth) {
    bool any_value = false;
    bool comment_last = false;
    int32_t i = 0;
    while (i < len_) {
        unsigned char c = t_[i];
        if (is_pdf_ws(c)) {
            ++i;
            continue;
        }
        comment_last = false;
        if (c == '%') {
            while (i < len_ && t_[i] != '\r' && t_[i] != '\n') ++i;
            comment_last = i >= len_;
            continue;
        }
        // The token at t[s, e).
        int32_t s = i;
        int32_t e;
        bool open_dict = c == '<' && i + 1 < len_ && t_[i + 1] == '<';
        bool close_dict = c == '>' && i + 1 < len_ && t_[i + 1] == '>';
        if (open_dict || close_dict) {
            e = i + 2;
        } else if (c == '(') {
            open_literal rest;
            e = skip_literal(t_, i, len_, &rest);
            if (rest.depth > 0 && !top_done_) {
                // An escape cut in half would turn the first ")" into text.
                str_tail_.clear();
                if (rest.half_escape) str_tail_.push_back('\\');
                str_tail_.append(static_cast<size_t>(rest.depth), ')');
            }
        } else if (c == '<') {
            e = skip_hex(t_, i, len_);
        } else if (c == '/') {
            e = i + 1;
            while (e < len_ && is_regular(t_[e])) ++e;
        } else if (is_delim(c)) {
            e = i + 1;  // [ ] { } ) or a lone >
        } else {
            e = i;
            while (e < len_ && is_regular(t_[e])) ++e;
        }
        if (top_done_) {
            // Past the object's value: nothing more belongs to it.
            drop(s, len_);
            i = len_;
            break;
        }
        if (c == ']' || close_dict) {
            closing(s, e, close_dict);
            i = e;
            continue;
        }
        if (key_expected() && c != '/') {
            // No name where a key stands: the token, or the whole value it
            // opens, is left out.
            int32_t ve = e;
            if (c == '[' || open_dict || is_digit(c)) ve = value_end(t_, len_, s);
            if (ve < e) ve = e;
            str_tail_.clear();  // a string cut by the end goes with it
            drop(s, ve);
            i = ve;
            continue;
        }
        any_value = true;
        if (c == '[' || open_dict) {
            if (static_cast<int32_t>(stack_.size()) >= max_depth) return false;
            stack_.push_back(frame{open_dict, false, keys_.size()});
            i = e;
            continue;
        }
        if (c == '/') {
            if (key_expected()) {
                int32_t skip = repeated_key(s, e);
                if (skip > 0) {
                    i = skip;
                    continue;
                }
            }
            name(s, e);
            if (key_expected()) {
                stack_.back().want_value = true;
            } else {
                value_done();
            }
            i = e;
            continue;
        }
        if (c == '(') {
            value_done();
            i = e;
            continue;
        }
        if (c == '<') {
            hex_string(s, e);
            value_done();
            i = e;
            continue;
        }
        if (is_regular(c)) {
            // An integer is a number, or the start of a reference when a
            // "gen R" follows whose "R" ends the token.
            bool integer = false;
            if (is_digit(c)) {
                integer = true;
                for (int32_t k = s + 1; k < e && integer; ++k) integer = is_digit(t_[k]);
                if (integer) {
                    int32_t re = ref_tail(t_, e, len_);
                    if (re > 0 && (re == len_ || !is_regular(t_[re]))) e = re;
                }
            }
            if (!(integer || is_number(t_, s, e) || same(t_, s, e, "true") || same(t_, s, e, "false") ||
                  same(t_, s, e, "null") || (e > s && t_[e - 1] == 'R' && is_digit(c))))
                replace(s, e, "null");
            value_done();
            i = e;
            continue;
        }
        // { } ) or a lone >: no object. Spaces keep it apart from a name
        // or word right before or after it.
        replace(s, e, " null ");
        value_done();
        i = e;
    }
    // What the end leaves open: a literal string (the last token), then
    // the brackets, innermost first.
    int32_t last = len_;
    if (!str_tail_.empty()) replace(last, last, str_tail_.c_str());
    if (comment_last && !stack_.empty()) replace(last, last, "\n");
    while (!stack_.empty()) close_top(last);
    if (!any_value) replace(last, last, comment_last ? "\nnull" : "null");
    if (changed_) out_->append(reinterpret_cast<const char *>(t_ + copied_), static_cast<size_t>(len_ - copied_));
    return changed_;
}

}  // namespace

bool repair_text(const unsigned char *t, int32_t len, std::string *out, int32_t max_depth) {
    if (len < 0) len = 0;
    repairer r(t, len, out);
    return r.run(max_depth);
}

}  // namespace sheetlay::nup
