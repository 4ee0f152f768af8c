// Fonts as the content box reads them (see fonts.h).
#include "content/fonts.h"

#include <algorithm>
#include <cmath>

#include "content/bbox.h"

namespace sheetlay::content {

namespace {

using pdf::value;

double num(const value *v, pdf::resolver *res, double def) {
    v = pdf::resolve(v, res);
    return v && v->is_number() && std::isfinite(v->r) ? v->r : def;
}

// The vertical extent from a font descriptor: the wider of /FontBBox and
// /Ascent../Descent, each taken where it makes sense. Neither alone can be
// trusted to hold every glyph: producers that subset fonts often write a
// /FontBBox computed from a few glyphs (or none), narrower than the glyphs
// drawn, while /Ascent and /Descent are the typographic extent the font was
// designed for, which accents and deep descenders may pass.
void vertical_extent(const value *desc, pdf::resolver *res, font_info *f) {
    if (!desc || !desc->is_dict()) return;
    bool have = false;
    double lo = 0, hi = 0;
    const value *bb = pdf::get_resolved(desc, "FontBBox", res);
    if (bb && bb->is_array() && bb->items.size() == 4) {
        double y0 = num(&bb->items[1], res, 0), y1 = num(&bb->items[3], res, 0);
        if (y0 > y1) std::swap(y0, y1);
        const double x0 = num(&bb->items[0], res, 0), x1 = num(&bb->items[2], res, 0);
        const double llx = std::min(x0, x1);
        if (llx < 0 && llx > -1000) f->left = llx / 1000;
        if (y1 - y0 > 1 && y1 - y0 < 1e5) {
            lo = std::min(y0, 0.0);
            hi = std::max(y1, 0.0);
            have = true;
        }
    }
    const double a = num(pdf::get_resolved(desc, "Ascent", res), res, 0);
    const double d = num(pdf::get_resolved(desc, "Descent", res), res, 0);
    if (a > 0 && a < 1e5 && d <= 0 && d > -1e5) {
        lo = have ? std::min(lo, d) : d;
        hi = have ? std::max(hi, a) : a;
        have = true;
    }
    if (have) {
        f->lo = lo / 1000;
        f->hi = hi / 1000;
    }
}

void read_cid_widths(const value *w, pdf::resolver *res, font_info *f) {
    if (!w || !w->is_array()) return;
    const auto &it = w->items;
    for (size_t k = 0; k + 1 < it.size() && f->cid_w.size() < 200000;) {
        const value *a = pdf::resolve(&it[k], res);
        const value *b = pdf::resolve(&it[k + 1], res);
        if (!a || !a->is_number() || !(a->r >= 0) || a->r > 0xFFFFFFF) break;
        const uint32_t first = static_cast<uint32_t>(a->r);
        if (b && b->is_array()) {
            uint32_t c = first;
            for (const value &x : b->items) {
                double v = num(&x, res, f->dw);
                f->cid_w.push_back({c, c, v});
                ++c;
            }
            k += 2;
        } else if (k + 2 < it.size() && b && b->is_number() && b->r >= a->r && b->r <= 0xFFFFFFF) {
            f->cid_w.push_back({first, static_cast<uint32_t>(b->r), num(&it[k + 2], res, f->dw)});
            k += 3;
        } else {
            break;
        }
    }
    std::stable_sort(f->cid_w.begin(), f->cid_w.end(),
                     [](const font_info::range &x, const font_info::range &y) { return x.first < y.first; });
}

void read_type3(const value *font, pdf::resolver *res, font_info *f) {
    f->type3 = true;
    const value *m = pdf::get_resolved(font, "FontMatrix", res);
    if (m && m->is_array() && m->items.size() == 6)
        for (int k = 0; k < 6; ++k) f->fm[k] = num(&m->items[static_cast<size_t>(k)], res, f->fm[k]);
    f->charprocs = pdf::get_resolved(font, "CharProcs", res);
    f->resources = pdf::get_resolved(font, "Resources", res);
    const value *enc = pdf::get_resolved(font, "Encoding", res);
    const value *diff = pdf::get_resolved(enc, "Differences", res);
    if (diff && diff->is_array()) {
        int code = 0;
        for (const value &x : diff->items) {
            const value *v = pdf::resolve(&x, res);
            if (!v) continue;
            if (v->is_number()) code = v->r >= 0 && v->r < 256 ? static_cast<int>(v->r) : 256;
            else if (v->is_name() && code < 256) f->names[code++] = v->s;
        }
    }
    // Glyph space is the font matrix's; the em box guess scales with it.
    const value *bb = pdf::get_resolved(font, "FontBBox", res);
    f->lo = -0.3;
    f->hi = 1.0;
    (void)bb;
}

// A standard text font whose /Encoding moves glyphs to other codes: the
// table is indexed by WinAnsi code, so each code the /Differences names
// takes the width of that glyph's WinAnsi code (the widest usual glyph
// where WinAnsi has no such name). Symbol and ZapfDingbats, with codes of
// their own, keep their tables.
void apply_differences(const value *font, pdf::resolver *res, font_info *f) {
    const nup::font_metrics *m = f->simple.builtin;
    if (m == &nup::standard_metrics(nup::std_font::symbol) ||
        m == &nup::standard_metrics(nup::std_font::zapf_dingbats))
        return;
    const value *enc = pdf::get_resolved(font, "Encoding", res);
    const value *diff = pdf::get_resolved(enc, "Differences", res);
    if (!diff || !diff->is_array()) return;
    std::vector<double> w(256);
    for (int c = 0; c < 256; ++c) w[static_cast<size_t>(c)] = m->widths[c] ? m->widths[c] : f->simple.missing_width;
    int code = 256;
    for (const value &x : diff->items) {
        const value *v = pdf::resolve(&x, res);
        if (!v) continue;
        if (v->is_number()) {
            code = v->r >= 0 && v->r < 256 ? static_cast<int>(v->r) : 256;
        } else if (v->is_name() && code < 256) {
            const unsigned char to = nup::winansi_from_glyph_name(v->s);
            w[static_cast<size_t>(code++)] = to && m->widths[to] ? m->widths[to] : f->simple.missing_width;
        }
    }
    f->simple.widths = std::move(w);
    f->simple.first_char = 0;
}

// The embedded program of a font descriptor, when this reader reads its
// kind; null otherwise or when it cannot be read.
std::shared_ptr<const font_program> read_program(const value *desc, pdf::resolver *res, source *src) {
    if (!src || !desc || !desc->is_dict()) return nullptr;
    const value *raw = desc->get("FontFile3");
    if (!raw || !raw->is_ref() || raw->i <= 0 || raw->i > INT32_MAX) return nullptr;
    const value *sub = pdf::get_resolved(pdf::resolve(raw, res), "Subtype", res);
    if (!sub || !(sub->is_name("Type1C") || sub->is_name("CIDFontType0C"))) return nullptr;
    std::string data;
    if (!src->stream_data(static_cast<int32_t>(raw->i), &data)) return nullptr;
    return read_cff(std::move(data));
}

// Codes to glyphs for a simple font with an embedded program: the
// /Differences names over the base encoding, which is the program's own
// unless the dictionary names one. Of the named bases, only codes whose
// glyph name is certain here are mapped (the standard encoding's, and the
// printable ASCII codes the Windows and Mac encodings share with it); the
// others stay unknown and fall back to the font's whole box.
void map_simple_codes(const value *font, pdf::resolver *res, font_info *f) {
    const font_program &p = *f->prog;
    f->gids.assign(256, -1);
    f->by_code.resize(256);
    const value *enc = pdf::get_resolved(font, "Encoding", res);
    const value *base = enc && enc->is_name() ? enc : pdf::get_resolved(enc, "BaseEncoding", res);
    const bool named = base && base->is_name();
    const bool std_enc = named && base->is_name("StandardEncoding");
    const bool ascii_enc = named && (base->is_name("WinAnsiEncoding") || base->is_name("MacRomanEncoding"));
    for (uint32_t c = 0; c < 256; ++c) {
        int32_t g = -1;
        if (!named) g = p.builtin_glyph(c);
        else if (std_enc || (ascii_enc && c >= 32 && c <= 126 && c != 39 && c != 96))
            if (const int32_t sid = standard_encoding_sid(c)) g = p.glyph_by_name(cff_standard_name(sid));
        f->gids[c] = g;
    }
    const value *diff = enc && enc->is_dict() ? pdf::get_resolved(enc, "Differences", res) : nullptr;
    if (diff && diff->is_array()) {
        int code = 256;
        for (const value &x : diff->items) {
            const value *v = pdf::resolve(&x, res);
            if (!v) continue;
            if (v->is_number()) code = v->r >= 0 && v->r < 256 ? static_cast<int>(v->r) : 256;
            else if (v->is_name() && code < 256) f->gids[static_cast<size_t>(code++)] = p.glyph_by_name(v->s);
        }
    }
}

}  // namespace

glyph_status font_info::first_outline(uint32_t code, double *x0, double *y0, double *x1, double *y1) const {
    if (code < by_code.size()) {
        code_outline &c = by_code[code];
        c.st = glyph_outline(code, &c.x0, &c.y0, &c.x1, &c.y1);
        c.done = true;
        *x0 = c.x0, *y0 = c.y0, *x1 = c.x1, *y1 = c.y1;
        return c.st;
    }
    return glyph_outline(code, x0, y0, x1, y1);
}

glyph_status font_info::glyph_outline(uint32_t code, double *x0, double *y0, double *x1, double *y1) const {
    int32_t gid = -1;
    if (cid_glyphs) gid = prog->glyph_by_cid(code);
    else if (code < gids.size()) gid = gids[code];
    if (gid < 0) return glyph_status::unreadable;
    const glyph_extent &e = prog->glyph(gid, glyphs);
    if (e.status == glyph_status::unreadable) return e.status;
    const double *m = prog->fm;
    // The program's advance against the dictionary's, where it gives one.
    const bool listed = cid_glyphs ? !cid_w.empty() : have_simple && !simple.widths.empty();
    if (listed && std::isfinite(e.width) && m[1] == 0 && m[2] == 0) {
        const double mine = e.width * m[0] * 1000, theirs = width(code);
        if (std::fabs(mine - theirs) > 2 + 0.01 * std::fabs(theirs)) return glyph_status::unreadable;
    }
    if (e.status == glyph_status::blank) return e.status;
    bool first = true;
    for (double gx : {e.x0, e.x1})
        for (double gy : {e.y0, e.y1}) {
            const double tx = gx * m[0] + gy * m[2] + m[4], ty = gx * m[1] + gy * m[3] + m[5];
            if (first || tx < *x0) *x0 = tx;
            if (first || tx > *x1) *x1 = tx;
            if (first || ty < *y0) *y0 = ty;
            if (first || ty > *y1) *y1 = ty;
            first = false;
        }
    return glyph_status::drawn;
}

const font_info::code_ink &font_info::make_ink(uint32_t code) const {
    ink_table();
    code_ink &c = inks[code & 0xFF];
    c.w0 = width(code) / 1000;
    double gx0 = 0, gy0 = 0, gx1 = 0, gy1 = 0;
    const glyph_status st = outline(code, &gx0, &gy0, &gx1, &gy1);
    if (st == glyph_status::blank) {
        c.state = 1;
        return c;
    }
    if (st == glyph_status::drawn) {
        c.ax = gx0 - kGlyphPad, c.bx = gx1 + kGlyphPad;
        c.ay = gy0 - kGlyphPad, c.by = gy1 + kGlyphPad;
    } else {
        // No outline: the advance, reaching left as far as the font's box
        // does, over the font's whole height.
        c.ax = left, c.bx = c.w0;
        c.ay = lo, c.by = hi;
    }
    c.state = 2;
    return c;
}

double font_info::width_of(uint32_t code) const {
    if (bytes == 2 || !cid_w.empty()) {
        auto it = std::upper_bound(cid_w.begin(), cid_w.end(), code,
                                   [](uint32_t c, const range &r) { return c < r.first; });
        // Ranges may overlap: look back over those that start at or before.
        for (int k = 0; k < 4 && it != cid_w.begin(); ++k) {
            --it;
            if (code >= it->first && code <= it->last) return it->w;
        }
        return dw;
    }
    if (have_simple) return simple.glyph(static_cast<unsigned char>(code));
    return 1000;
}

std::shared_ptr<font_cache> make_font_cache(font_store *shared) {
    auto c = std::make_shared<font_cache>();
    c->shared = shared;
    return c;
}

std::shared_ptr<font_store> make_font_store() { return std::make_shared<font_store>(); }

namespace {

void read_into(font_store::entry *e, const pdf::value *font, pdf::resolver *res, source *src) {
    std::call_once(e->once, [&] {
        if (font) e->font = std::make_unique<const font_info>(read_font(font, res, src));
    });
}

}  // namespace

std::unique_ptr<font_info> new_font(font_store *store, int32_t num, const pdf::value *font,
                                    pdf::resolver *res, source *src) {
    auto it = store ? store->by_num.find(num) : decltype(store->by_num.end()){};
    if (store && it != store->by_num.end()) {
        read_into(it->second.get(), font, res, src);
        // A reader that found no font where this one finds one: read here.
        if (it->second->font) return std::make_unique<font_info>(*it->second->font);
    }
    return std::make_unique<font_info>(read_font(font, res, src));
}

void read_stored(font_store *store, int32_t num, pdf::resolver *res, source *src) {
    auto it = store ? store->by_num.find(num) : decltype(store->by_num.end()){};
    if (!store || it == store->by_num.end()) return;
    const value ref = value::make_ref(num);
    read_into(it->second.get(), pdf::resolve(&ref, res), res, src);
}

bool glyphs_spent(const font_cache &c) {
    for (const auto &[num, f] : c.by_num)
        if (f && f->prog && f->glyphs.budget <= 0) return true;
    return false;
}

void store_fonts(font_store *store, const pdf::value *resources, pdf::resolver *res) {
    if (!store) return;
    const value *fonts = pdf::get_resolved(resources, "Font", res);
    if (!fonts || !fonts->is_dict()) return;
    size_t k = 0;
    for (const pdf::dict_entry &en : fonts->entries) {
        if (++k > 1000) break;  // a store for the common case: the rest is read where used
        const value &v = en.val;
        if (!v.is_ref() || v.i <= 0 || v.i > INT32_MAX) continue;
        const int32_t num = static_cast<int32_t>(v.i);
        if (store->by_num.emplace(num, std::make_unique<font_store::entry>()).second) store->order.push_back(num);
    }
}

namespace {

font_info read_dictionary(const pdf::value *font, pdf::resolver *res, source *src) {
    font_info f;
    if (!font || !font->is_dict()) return f;
    const value *sub = pdf::get_resolved(font, "Subtype", res);
    if (sub && sub->is_name("Type3")) {
        read_type3(font, res, &f);
    } else if (sub && sub->is_name("Type0")) {
        const value *enc = pdf::get_resolved(font, "Encoding", res);
        if (enc && (enc->is_name("Identity-H") || enc->is_name("Identity-V") || enc->is_dict() ||
                    enc->is_name("UniGB-UCS2-H") || enc->is_name("UniGB-UCS2-V") ||
                    enc->is_name("UniJIS-UCS2-H") || enc->is_name("UniKS-UCS2-H") ||
                    enc->is_name("UniCNS-UCS2-H")))
            f.bytes = 2;
        if (enc && enc->is_name() && enc->s.size() > 2 && enc->s.compare(enc->s.size() - 2, 2, "-V") == 0)
            f.vertical = true;
        const value *ds = pdf::get_resolved(font, "DescendantFonts", res);
        const value *cid = ds && ds->is_array() && !ds->items.empty() ? pdf::resolve(&ds->items[0], res)
                                                                      : nullptr;
        if (cid && cid->is_dict()) {
            f.dw = num(pdf::get_resolved(cid, "DW", res), res, 1000);
            const value *dw2 = pdf::get_resolved(cid, "DW2", res);
            if (dw2 && dw2->is_array() && dw2->items.size() == 2) {
                f.vy = num(&dw2->items[0], res, 880);
                f.vadv = num(&dw2->items[1], res, -1000);
            }
            if (f.bytes == 2) read_cid_widths(pdf::get_resolved(cid, "W", res), res, &f);
            else f.dw = std::max(f.dw, 1000.0);
            const value *cdesc = pdf::get_resolved(cid, "FontDescriptor", res);
            vertical_extent(cdesc, res, &f);
            // Identity encodings make the code the CID.
            if (enc && (enc->is_name("Identity-H") || enc->is_name("Identity-V")) && !f.vertical)
                if ((f.prog = read_program(cdesc, res, src))) f.cid_glyphs = true;
        }
        return f;
    }
    const value *desc = pdf::get_resolved(font, "FontDescriptor", res);
    if (!f.type3) {
        vertical_extent(desc, res, &f);
        if ((f.prog = read_program(desc, res, src))) map_simple_codes(font, res, &f);
    }
    const value *widths = pdf::get_resolved(font, "Widths", res);
    if (widths && widths->is_array() && !widths->items.empty()) {
        f.have_simple = true;
        f.simple.first_char = static_cast<int32_t>(
            std::clamp(num(pdf::get_resolved(font, "FirstChar", res), res, 0), 0.0, 255.0));
        for (const value &w : widths->items) f.simple.widths.push_back(num(&w, res, 0));
        f.simple.missing_width = num(pdf::get_resolved(desc, "MissingWidth", res), res, 0);
        return f;
    }
    if (f.type3) return f;
    const value *base = pdf::get_resolved(font, "BaseFont", res);
    if (base && base->is_name()) {
        if (const nup::font_metrics *m = nup::standard_font(base->s)) {
            f.have_simple = true;
            f.simple.builtin = m;
            // Codes the table lacks advance by the widest usual glyph.
            f.simple.missing_width = 1000;
            apply_differences(font, res, &f);
        }
    }
    return f;
}

}  // namespace

font_info read_font(const pdf::value *font, pdf::resolver *res, source *src) {
    font_info f = read_dictionary(font, res, src);
    // A simple font's advances by code, worked out once: text showing asks
    // for one per glyph.
    if (f.bytes == 1 && f.cid_w.empty() && f.have_simple) {
        f.code_widths.resize(256);
        for (uint32_t c = 0; c < 256; ++c) f.code_widths[c] = f.width_of(c);
    }
    return f;
}

}  // namespace sheetlay::content
