// A page's ink: its content streams joined, its resources (own or
// inherited), its printable annotations, all within its visible box.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "content/bbox.h"
#include "content/fonts.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/literal.h"
#include "pdf/resolve.h"
#include "pdf/stream.h"

namespace sheetlay::content {

namespace {

using pdf::value;

// Annotation flags: hidden, and printed.
constexpr int64_t kHidden = 2;
constexpr int64_t kPrint = 4;
constexpr size_t kMaxContentParts = 100000;
constexpr size_t kMaxAnnots = 100000;

class doc_source : public source {
public:
    doc_source(const doc *d, doc_resolver &res) : d_(d), res_(res) {}
    pdf::resolver *objects() override { return &res_; }
    bool stream_data(int32_t num, std::string *out) override {
        const obj_entry *e = objvec_find(&d_->objs, num);
        if (!e || !e->is_stream) return false;
        buf b{};
        int32_t len = 0;
        stream_filter sf{};
        const unsigned char *p = doc_stream(d_, e, true, &b, &len, &sf);
        bool ok = p && !sf.still_encoded && len >= 0;
        if (ok) out->assign(reinterpret_cast<const char *>(p), static_cast<size_t>(len));
        // A stream with no data at all (a blank page's contents) draws
        // nothing; it is read, not unreadable.
        if (!p && e->data_start >= 0 && e->data_end == e->data_start) {
            out->clear();
            ok = true;
        }
        buf_free(&b);
        return ok;
    }

private:
    const doc *d_;
    doc_resolver &res_;
};

// Whether the text of a dictionary, as the value parser would read it,
// gives /Link or /Popup as its first /Subtype: a sheet draws neither, and
// a document's many links need not be parsed to be passed over. The text
// is read token by token as the parser reads it (comments, strings, hex
// strings, nested arrays and dictionaries passed over; a name at the top
// level is a key when it follows the opening or a whole value). False
// whenever unsure (a name with an escape, a delimiter out of place, no
// /Subtype): the caller then parses the object. Text the parser would
// refuse is passed over by the caller either way, so a claim only matters
// where the parser reads a dictionary, and there the tokens agree.
bool link_or_popup(const unsigned char *t, int32_t len) {
    if (len <= 0 || std::memchr(t, '#', static_cast<size_t>(len))) return false;
    auto ws = [](unsigned char c) { return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; };
    auto regular = [&](unsigned char c) { return !ws(c) && !std::strchr("()<>[]{}/%", c); };
    int32_t p = 0;
    auto skip = [&] {
        while (p < len) {
            if (ws(t[p])) {
                ++p;
            } else if (t[p] == '%') {
                while (p < len && t[p] != '\r' && t[p] != '\n') ++p;
            } else {
                break;
            }
        }
    };
    skip();
    if (p + 1 >= len || t[p] != '<' || t[p + 1] != '<') return false;
    p += 2;
    int32_t nest = 0;  // arrays and dictionaries open inside the object's
    bool key_next = true, subtype = false;
    std::string scratch;
    for (;;) {
        skip();
        if (p >= len) return false;
        const unsigned char c = t[p];
        if (c == '/') {
            int32_t e = p + 1;
            while (e < len && regular(t[e])) ++e;
            const std::string_view name(reinterpret_cast<const char *>(t + p + 1), static_cast<size_t>(e - p - 1));
            p = e;
            if (nest > 0) continue;
            if (subtype) return name == "Link" || name == "Popup";
            if (key_next) subtype = name == "Subtype";
            key_next = !key_next;
            continue;
        }
        if (nest == 0 && subtype) return false;  // a value of another kind
        if (c == '(') {
            size_t q = static_cast<size_t>(p);
            if (!pdf::decode_literal(t, static_cast<size_t>(len), &q, &scratch)) return false;
            p = static_cast<int32_t>(q);
        } else if (c == '<' && p + 1 < len && t[p + 1] == '<') {
            p += 2;
            ++nest;
            continue;
        } else if (c == '<') {
            while (p < len && t[p] != '>') ++p;
            if (p >= len) return false;
            ++p;
        } else if (c == '>' && p + 1 < len && t[p + 1] == '>') {
            if (nest == 0) return false;  // the end, and no /Subtype
            p += 2;
            --nest;
        } else if (c == '[') {
            ++p;
            ++nest;
            continue;
        } else if (c == ']') {
            if (nest == 0) return false;
            ++p;
            --nest;
        } else if (regular(c)) {
            while (p < len && regular(t[p])) ++p;
        } else {
            return false;
        }
        if (nest == 0) key_next = true;
    }
}

// Whether annotation `v` (an item of a page's /Annots) is, by its object's
// text, a link or a popup (see link_or_popup).
bool passed_by_text(const doc *d, const value &v) {
    if (d->crypt || !v.is_ref() || v.i <= 0 || v.i > INT32_MAX) return false;
    const obj_entry *e = objvec_find(&d->objs, static_cast<int32_t>(v.i));
    const unsigned char *t = nullptr;
    int32_t len = 0;
    if (!e || e->is_stream || !obj_body(d->data, d->len, e, &t, &len)) return false;
    return link_or_popup(t, len);
}

// Where a viewer draws an annotation that brings no appearance stream of
// its own: it builds one from the annotation's geometry, which damaged or
// careless files do not keep inside /Rect. Highlights are drawn over their
// quadrilaterals with rounded ends reaching out a quarter of the quad's
// height; ink and polygon strokes follow their points with the border
// width; a text note shows a fixed icon (about 24 pt square) hanging from
// the top-left corner of its rectangle.
void add_generated_appearance(const value *a, pdf::resolver *res, const value *sub, const box &rect,
                              box *out) {
    const value *ap = pdf::get_resolved(a, "AP", res);
    if (ap && ap->is_dict()) return;
    auto number = [&](const value *v, double *x) {
        const value *r = pdf::resolve(v, res);
        if (!r || !r->is_number() || !std::isfinite(r->r)) return false;
        *x = r->r;
        return true;
    };
    double bw = 1;
    const value *bs = pdf::get_resolved(a, "BS", res);
    if (bs && bs->is_dict()) {
        double w;
        if (number(bs->get("W"), &w) && w >= 0 && w < 1000) bw = w;
    }
    const value *qp = pdf::get_resolved(a, "QuadPoints", res);
    if (qp && qp->is_array()) {
        for (size_t k = 0; k + 8 <= qp->items.size() && k < 8 * kMaxAnnots; k += 8) {
            box q;
            bool good = true;
            for (size_t i = 0; i < 8 && good; i += 2) {
                double x, y;
                good = number(&qp->items[k + i], &x) && number(&qp->items[k + i + 1], &y);
                if (good) q.add(x, y);
            }
            if (!good || q.empty()) continue;
            const double grow = std::min(q.x1 - q.x0, q.y1 - q.y0) / 4 + bw;
            out->add(box{q.x0 - grow, q.y0 - grow, q.x1 + grow, q.y1 + grow});
        }
    }
    const value *lists = pdf::get_resolved(a, "InkList", res);
    auto add_points = [&](const value *pts) {
        if (!pts || !pts->is_array()) return;
        box q;
        for (size_t i = 0; i + 2 <= pts->items.size() && i < 2 * kMaxAnnots; i += 2) {
            double x, y;
            if (number(&pts->items[i], &x) && number(&pts->items[i + 1], &y)) q.add(x, y);
        }
        if (!q.empty()) out->add(box{q.x0 - bw, q.y0 - bw, q.x1 + bw, q.y1 + bw});
    };
    if (lists && lists->is_array())
        for (size_t k = 0; k < lists->items.size() && k < kMaxAnnots; ++k)
            add_points(pdf::resolve(&lists->items[k], res));
    add_points(pdf::get_resolved(a, "Vertices", res));
    add_points(pdf::get_resolved(a, "L", res));
    if (sub && sub->is_name("Text")) out->add(box{rect.x0, rect.y1 - 24, rect.x0 + 24, rect.y1});
}

}  // namespace

void store_fonts(font_store *store, doc_resolver &res, const pdf::value *resources) {
    store_fonts(store, resources, &res);
}

size_t stored_fonts(const font_store &store) { return store.order.size(); }

void read_stored_font(font_store *store, size_t k, const doc *d, doc_resolver &res) {
    if (!store || k >= store->order.size()) return;
    doc_source src(d, res);  // for the data of font programs
    read_stored(store, store->order[k], &res, &src);
}

result page_box(const doc *d, doc_resolver &res, const pageinfo &p, bool annotations,
                const limits &lim, font_cache *fonts) {
    box page{std::min(p.x0, p.x1), std::min(p.y0, p.y1), std::max(p.x0, p.x1), std::max(p.y0, p.y1)};
    result whole;
    whole.ok = false;
    whole.ink = page;
    const value *pv = res.get(p.num);
    if (!pv || !pv->is_dict()) return whole;
    const value *resources = pdf::get_resolved(pv, "Resources", &res);
    if (!resources && p.res_from > 0) resources = pdf::get_resolved(res.get(p.res_from), "Resources", &res);

    doc_source src(d, res);
    src.fonts = fonts;
    std::string data, part;
    const value *contents = pv->get("Contents");
    bool first = true;
    auto read_part = [&](const value *v) {
        if (!v || !v->is_ref() || v->i <= 0 || v->i > INT32_MAX) return false;
        // The first part is read where the content is kept (most pages
        // have one: no copy); parts break between tokens.
        if (first) {
            first = false;
            return src.stream_data(static_cast<int32_t>(v->i), &data);
        }
        part.clear();
        if (!src.stream_data(static_cast<int32_t>(v->i), &part)) return false;
        data += '\n';
        data += part;
        return true;
    };
    if (contents && !contents->is_null()) {
        const value *target = pdf::resolve(contents, &res);
        if (contents->is_ref() && res.is_stream(static_cast<int32_t>(contents->i))) {
            if (!read_part(contents)) return whole;
        } else if (target && target->is_array()) {
            if (target->items.size() > kMaxContentParts) return whole;
            for (const value &it : target->items)
                if (!read_part(&it)) return whole;
        } else if (target && !target->is_null()) {
            return whole;
        }
    }
    result r = content_box(reinterpret_cast<const unsigned char *>(data.data()), data.size(), resources,
                           src, page, lim);
    if (!r.ok) return whole;
    if (annotations) {
        const value *annots = pdf::get_resolved(pv, "Annots", &res);
        if (annots && annots->is_array()) {
            for (size_t k = 0; k < annots->items.size() && k < kMaxAnnots; ++k) {
                if (passed_by_text(d, annots->items[k])) continue;
                const value *a = pdf::resolve(&annots->items[k], &res);
                if (!a || !a->is_dict()) continue;
                const value *sub = pdf::get_resolved(a, "Subtype", &res);
                if (sub && (sub->is_name("Link") || sub->is_name("Popup"))) continue;
                const value *f = pdf::get_resolved(a, "F", &res);
                const int64_t flags = f && f->k == pdf::kind::integer ? f->i : 0;
                if (!(flags & kPrint) || (flags & kHidden)) continue;
                const value *rect = pdf::get_resolved(a, "Rect", &res);
                if (!rect || !rect->is_array() || rect->items.size() != 4) continue;
                double v[4];
                bool good = true;
                for (size_t i = 0; i < 4; ++i) {
                    const value *x = pdf::resolve(&rect->items[i], &res);
                    good = good && x && x->is_number() && std::isfinite(x->r);
                    v[i] = good ? x->r : 0;
                }
                if (!good) continue;
                box b{std::min(v[0], v[2]), std::min(v[1], v[3]), std::max(v[0], v[2]), std::max(v[1], v[3])};
                add_generated_appearance(a, &res, sub, box(b), &b);
                b.clip(page);
                r.ink.add(b);
            }
        }
    }
    return r;
}

}  // namespace sheetlay::content
