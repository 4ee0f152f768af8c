// The parts beyond the placed pages, run in order, and the page objects'
// /Annots they share (see extras.h).
#include "nup/extras.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "pdf/lexer.h"

namespace sheetlay::nup {

namespace {

// Page dictionaries nest a few levels (resources, fonts); deeper text is
// left to the full parse.
constexpr int kSkimDepth = 32;

// Byte classes as the value parser sees them.
constexpr unsigned char kWs = 1, kDelim = 2, kDigit = 4;
struct byte_classes {
    unsigned char v[256] = {};
    constexpr byte_classes() {
        for (unsigned char c : {0, 9, 10, 12, 13, 32}) v[c] = kWs;
        for (unsigned char c : {'(', ')', '<', '>', '[', ']', '{', '}', '/', '%'}) v[c] = kDelim;
        for (int c = '0'; c <= '9'; ++c) v[c] = kDigit;
    }
};
constexpr byte_classes k_class{};
inline bool is_regular(unsigned char c) { return (k_class.v[c] & (kWs | kDelim)) == 0; }
inline bool is_digit(unsigned char c) { return k_class.v[c] == kDigit; }

inline int32_t ws_end(const unsigned char *t, int32_t len, int32_t p) {
    while (p < len && k_class.v[t[p]] == kWs) ++p;
    return p;
}

// The end of the name at t[p] == '/', or -1 when it holds a '#' (an escape
// could spell any key).
int32_t name_end(const unsigned char *t, int32_t len, int32_t p) {
    for (++p; p < len && is_regular(t[p]); ++p)
        if (t[p] == '#') return -1;
    return p;
}

// An unsigned integer token at q that fits int32_t, as the value parser
// reads a reference's numbers: its end, or -1.
int32_t small_uint_end(const unsigned char *t, int32_t len, int32_t q) {
    int64_t n = 0;
    int32_t e = q;
    for (; e < len && is_regular(t[e]); ++e) {
        if (!is_digit(t[e]) || e - q >= 10) return -1;
        n = n * 10 + (t[e] - '0');
    }
    return e == q || n > INT32_MAX ? -1 : e;
}

// The end of the value at t[p] when the value parser certainly reads it
// as it stands (and would read it alone the same), or -1. Bounded by
// kSkimDepth, so the recursion is too. When `annots` is given, t[p] opens
// the page dictionary and *annots receives where its /Annots value begins
// (-1 for none; a second /Annots fails the skim).
int32_t skim(const unsigned char *t, int32_t len, int32_t p, int depth, int32_t *annots) {
    if (p >= len || depth > kSkimDepth) return -1;
    const unsigned char c = t[p];
    if (c == '/') return name_end(t, len, p);
    if (c == '(') {
        open_literal open;
        const int32_t e = skip_literal(t, p, len, &open);
        return open.depth != 0 || open.half_escape ? -1 : e;
    }
    if (c == '[') {
        for (int32_t q = p + 1;;) {
            q = ws_end(t, len, q);
            if (q >= len) return -1;
            if (t[q] == ']') return q + 1;
            q = skim(t, len, q, depth + 1, nullptr);
            if (q < 0) return -1;
        }
    }
    if (c == '<' && p + 1 < len && t[p + 1] == '<') {
        for (int32_t q = p + 2;;) {
            q = ws_end(t, len, q);
            if (q + 1 >= len) return -1;
            if (t[q] == '>') return t[q + 1] == '>' ? q + 2 : -1;
            if (t[q] != '/') return -1;
            const int32_t k = name_end(t, len, q);
            if (k < 0) return -1;
            const bool is_annots = annots && k - q == 7 && std::memcmp(t + q + 1, "Annots", 6) == 0;
            q = ws_end(t, len, k);
            // A key without value is dropped by the parser: left to it.
            if (q + 1 < len && t[q] == '>' && t[q + 1] == '>') return -1;
            if (is_annots) {
                if (*annots >= 0) return -1;
                *annots = q;
            }
            q = skim(t, len, q, depth + 1, nullptr);
            if (q < 0) return -1;
        }
    }
    if (c == '<') {
        for (int32_t q = p + 1; q < len; ++q) {
            if (t[q] == '>') return q + 1;
            const unsigned char h = t[q];
            const bool hex = is_digit(h) || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F');
            if (k_class.v[h] != kWs && !hex) return -1;
        }
        return -1;
    }
    if (is_digit(c)) {
        // Most of a page is integers and references: read in one pass.
        int32_t e = p;
        int64_t n = 0;
        while (e < len && e - p < 18 && is_digit(t[e])) n = n * 10 + (t[e++] - '0');
        if (e >= len || !is_regular(t[e])) {
            // "N G R": read by the parser as one reference, when both fit.
            const int32_t g = n <= INT32_MAX ? ws_end(t, len, e) : e;
            const int32_t ge = g > e ? small_uint_end(t, len, g) : -1;
            const int32_t r = ge > 0 ? ws_end(t, len, ge) : -1;
            if (r > ge && ge > 0 && r < len && t[r] == 'R' && (r + 1 >= len || !is_regular(t[r + 1])))
                return r + 1;
            return e;
        }
    }
    int32_t e = p;
    while (e < len && is_regular(t[e])) ++e;
    if (c == '+' || c == '-' || c == '.' || is_digit(c)) {
        int dots = 0;
        for (int32_t k = (c == '+' || c == '-') ? p + 1 : p; k < e; ++k) {
            if (t[k] == '.') {
                ++dots;
            } else if (!is_digit(t[k])) {
                return -1;
            }
        }
        // Reals, signed numbers and integers of more than 18 digits: no
        // reference starts with them.
        return dots > 1 ? -1 : e;
    }
    const std::string_view kw(reinterpret_cast<const char *>(t + p), static_cast<size_t>(e - p));
    return kw == "true" || kw == "false" || kw == "null" ? e : -1;
}

// The array at t[p] == '[' when it holds references only, set apart by
// white space (the common /Annots), built as the parser builds it; false
// for anything else, which is left to the parser.
bool refs_only(const unsigned char *t, int32_t len, int32_t p, pdf::value *out) {
    std::vector<pdf::value> items;
    for (int32_t q = p + 1;;) {
        q = ws_end(t, len, q);
        if (q >= len) return false;
        if (t[q] == ']') break;
        const int32_t ne = small_uint_end(t, len, q);
        const int32_t g = ne > 0 ? ws_end(t, len, ne) : -1;
        const int32_t ge = g > ne ? small_uint_end(t, len, g) : -1;
        const int32_t r = ge > 0 ? ws_end(t, len, ge) : -1;
        if (r <= ge || r + 1 >= len || t[r] != 'R' || (t[r + 1] != ']' && k_class.v[t[r + 1]] != kWs))
            return false;
        int64_t num = 0, gen = 0;
        for (int32_t k = q; k < ne; ++k) num = num * 10 + (t[k] - '0');
        for (int32_t k = g; k < ge; ++k) gen = gen * 10 + (t[k] - '0');
        items.push_back(pdf::value::make_ref(static_cast<int32_t>(num), static_cast<int32_t>(gen)));
        q = r + 1;
    }
    *out = pdf::value::make_array();
    out->items = std::move(items);
    return true;
}

}  // namespace

int annots_quick(const unsigned char *t, int32_t len, pdf::value *out) {
    const int32_t at = annots_value_at(t, len);
    if (at < 0) return at;
    if (t[at] == '[' && refs_only(t, len, at, out)) return 1;
    return pdf::parse_value(t, len, at, out) ? 1 : -2;
}

int32_t annots_value_at(const unsigned char *t, int32_t len) {
    if (!t || len < 2 || t[0] != '<' || t[1] != '<') return -2;
    int32_t at = -1;
    return skim(t, len, 0, 0, &at) < 0 ? -2 : at;
}

bool page_annots::quick() {
    if (quick_ >= 0) return quick_ != 0;
    // Every object's text, each charged once: when it all fits the budget,
    // no object is ever refused, whatever is read and in what order.
    const doc *d = res_.document();
    int64_t total = 0;
    bool fits = d && !d->crypt && !d->encrypted;
    for (int32_t i = 0; fits && i < d->objs.count; ++i) {
        const obj_entry *e = &d->objs.items[i];
        const unsigned char *t = nullptr;
        int32_t tlen = 0, start = 0, end = 0;
        if (e->in_objstm || e->is_stream) {
            if (dict_range(d->data, d->len, e, &t, &tlen, &start, &end) && end > start) total += end - start;
        } else if (e->hdr_pos >= 0 && e->hdr_pos < d->len && e->endobj_pos > e->hdr_pos) {
            // The body lies between the header and "endobj" (obj_body).
            total += std::min(e->endobj_pos, d->len) - e->hdr_pos;
        }
        fits = total <= res_.budget_left();
    }
    quick_ = fits ? 1 : 0;
    return fits;
}

const pdf::value *page_annots::get(int32_t num) {
    auto whole = [&] {
        whole_.insert(num);
        return pdf::get_resolved(res_.get(num), "Annots", &res_);
    };
    if (!quick() || whole_.count(num)) return whole();
    auto it = held_.find(num);
    if (it != held_.end()) return it->second ? pdf::resolve(it->second.get(), &res_) : nullptr;
    const doc *d = res_.document();
    const obj_entry *e = num > 0 ? objvec_find(&d->objs, num) : nullptr;
    const unsigned char *t = nullptr;
    int32_t len = 0;
    if (!e || e->is_stream || !obj_body(d->data, d->len, e, &t, &len)) return whole();
    const int32_t start = skip_ws(t, 0, len);
    auto v = std::make_unique<pdf::value>();
    const int got = annots_quick(t + start, len - start, v.get());
    if (got == -2) return whole();
    if (got < 0) v.reset();
    const pdf::value *out = v ? pdf::resolve(v.get(), &res_) : nullptr;
    held_.emplace(num, std::move(v));
    return out;
}

extras::extras(const doc *d, const compose_job &job, page_memos &memos, sheet_numbers sn,
               const std::vector<int64_t> *own, uint32_t keep, const doc_resolver *parsed) {
    if (keep == 0) return;
    // What a trim parsed is taken as parsed here, counted against this
    // resolver's budget as its own parse would be: the same values.
    res_ = parsed ? std::make_unique<doc_resolver>(d, parsed, true) : std::make_unique<doc_resolver>(d);
    annots_ = std::make_unique<page_annots>(*res_);
    part_context c{d, &job, &memos, sn, res_.get(), annots_.get(), own, keep};
    // The order fixes the numbering of the added objects.
    for (auto make : {make_annotation_part, make_link_part, make_outline_part, make_info_part})
        if (auto p = make(c)) parts_.push_back(std::move(p));
}

extras::~extras() = default;

bool extras::any() const { return !parts_.empty(); }

void extras::plan(transfer &tr) {
    for (auto &p : parts_) p->plan(tr);
}

void extras::build(const transfer &tr, added_objects &objs, additions &add) {
    for (auto &p : parts_) p->build(tr, objs, add);
}

}  // namespace sheetlay::nup
