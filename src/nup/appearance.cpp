// Appearance building for form fields, the shared text and colour helpers,
// and the placement rule (see appearance.h). Markup kinds are in markup.cpp.
//
// Widgets are drawn the way viewers build them when a form says
// /NeedAppearances: background and border from /MK, then the value inside a
// "/Tx BMC ... EMC" block clipped to the box inside the border, with the
// font, size and colour of the default appearance string. Text is written
// as WinAnsi bytes in literal strings; a font that is not a simple font (or
// cannot be found) is replaced by Helvetica so the measured widths match
// what is drawn.
#include "nup/appearance.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "nup/appearance_impl.h"

namespace sheetlay::nup {

using pdf::value;

namespace detail {

void put(std::string *o, std::initializer_list<double> nums, std::string_view op) {
    for (double d : nums) {
        pdf::append_number(o, d);
        o->push_back(' ');
    }
    o->append(op);
    o->push_back('\n');
}

int read_numbers(const value *arr, pdf::resolver *res, double *out, int n) {
    arr = pdf::resolve(arr, res);
    if (!arr || !arr->is_array()) return 0;
    int got = 0;
    for (size_t k = 0; k < arr->items.size() && got < n; ++k) {
        const value *v = pdf::resolve(&arr->items[k], res);
        if (!v || !v->is_number()) return got;
        out[got++] = v->r;
    }
    return got;
}

bool read_rect(const value *v, pdf::resolver *res, double r[4]) {
    double a[4];
    if (read_numbers(v, res, a, 4) != 4) return false;
    r[0] = std::min(a[0], a[2]);
    r[1] = std::min(a[1], a[3]);
    r[2] = std::max(a[0], a[2]);
    r[3] = std::max(a[1], a[3]);
    return true;
}

bool put_color(std::string *o, const value *arr, pdf::resolver *res, bool stroke) {
    double c[4];
    arr = pdf::resolve(arr, res);
    if (!arr || !arr->is_array()) return false;
    int n = read_numbers(arr, res, c, 4);
    if (n != static_cast<int>(arr->items.size())) return false;
    for (int k = 0; k < n; ++k) c[k] = std::clamp(c[k], 0.0, 1.0);
    if (n == 1) put(o, {c[0]}, stroke ? "G" : "g");
    else if (n == 3) put(o, {c[0], c[1], c[2]}, stroke ? "RG" : "rg");
    else if (n == 4) put(o, {c[0], c[1], c[2], c[3]}, stroke ? "K" : "k");
    else return false;
    return true;
}

double border_width(const value &annot, pdf::resolver *res) {
    const value *w = pdf::get_resolved(pdf::get_resolved(&annot, "BS", res), "W", res);
    if (w && w->is_number()) return std::clamp(w->r, 0.0, 1000.0);
    double b[3];
    if (read_numbers(annot.get("Border"), res, b, 3) == 3) return std::clamp(b[2], 0.0, 1000.0);
    return 1;
}

std::string dash_op(const value &annot, pdf::resolver *res) {
    const value *bs = pdf::get_resolved(&annot, "BS", res);
    const value *s = pdf::get_resolved(bs, "S", res);
    if (!s || !s->is_name("D")) return "";
    double d[8];
    int n = read_numbers(pdf::get_resolved(bs, "D", res), res, d, 8);
    bool any = false;
    for (int k = 0; k < n; ++k) any = any || d[k] > 0;
    std::string o = "[";
    if (!any) {
        o += "3";
    } else {
        for (int k = 0; k < n; ++k) {
            if (k) o += ' ';
            pdf::append_number(&o, std::max(d[k], 0.0));
        }
    }
    o += "] 0 d\n";
    return o;
}

da_info parse_da(std::string_view da) {
    da_info out;
    std::vector<value> operands;
    const auto *t = reinterpret_cast<const unsigned char *>(da.data());
    int32_t len = static_cast<int32_t>(std::min<size_t>(da.size(), 4096));
    int32_t p = 0;
    while (p < len) {
        unsigned char c = t[p];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0) {
            ++p;
            continue;
        }
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '\'' || c == '"' || c == '*') {
            int32_t e = p;
            while (e < len && t[e] > ' ' && !std::strchr("()<>[]{}/%", t[e])) ++e;
            std::string_view op(da.data() + p, static_cast<size_t>(e - p));
            size_t n = operands.size();
            auto num = [&](size_t back) { return operands[n - back].num_or(0); };
            if (op == "Tf" && n >= 2 && operands[n - 2].is_name()) {
                out.font = operands[n - 2].s;
                out.size = std::clamp(std::fabs(num(1)), 0.0, 1000.0);
            } else if (op == "g" && n >= 1) {
                out.color.clear();
                put(&out.color, {num(1)}, "g");
            } else if (op == "rg" && n >= 3) {
                out.color.clear();
                put(&out.color, {num(3), num(2), num(1)}, "rg");
            } else if (op == "k" && n >= 4) {
                out.color.clear();
                put(&out.color, {num(4), num(3), num(2), num(1)}, "k");
            }
            if (!out.color.empty() && out.color.back() == '\n') out.color.pop_back();
            operands.clear();
            p = e == p ? p + 1 : e;
            continue;
        }
        value v;
        int32_t end = p;
        if (pdf::parse_value(t, len, p, &v, &end) && end > p) {
            if (operands.size() < 16) operands.push_back(std::move(v));
            p = end;
        } else {
            ++p;
        }
    }
    return out;
}

text_font standard_text_font(std_font f, std::string_view name) {
    text_font tf;
    tf.name = name.empty() ? "Helv" : std::string(name);
    const font_metrics &m = standard_metrics(f);
    tf.widths.builtin = &m;
    tf.ascent = m.ascent;
    tf.descent = m.descent;
    tf.res = value::make_dict();
    tf.res.set("Type", value::make_name("Font"));
    tf.res.set("Subtype", value::make_name("Type1"));
    tf.res.set("BaseFont", value::make_name(m.name));
    if (f != std_font::symbol && f != std_font::zapf_dingbats)
        tf.res.set("Encoding", value::make_name("WinAnsiEncoding"));
    return tf;
}

text_font pick_font(const da_info &da, const value *dr1, const value *dr2, pdf::resolver *res) {
    for (const value *dr : {dr1, dr2}) {
        if (da.font.empty()) break;
        const value *fonts = pdf::get_resolved(dr, "Font", res);
        const value *entry = fonts ? fonts->get(da.font) : nullptr;
        const value *fd = pdf::resolve(entry, res);
        if (!fd || !fd->is_dict()) continue;
        const value *sub = pdf::get_resolved(fd, "Subtype", res);
        if (sub && (sub->is_name("Type0") || sub->is_name("Type3"))) break;  // not measurable as one byte per glyph
        text_font tf;
        tf.name = da.font;
        tf.res = *entry;
        const value *base = pdf::get_resolved(fd, "BaseFont", res);
        const font_metrics *m = base && base->is_name() ? standard_font(base->s) : nullptr;
        if (!m) m = &standard_metrics(std_font::helvetica);
        tf.widths.builtin = m;
        tf.ascent = m->ascent;
        tf.descent = m->descent;
        const value *desc = pdf::get_resolved(fd, "FontDescriptor", res);
        if (desc) {
            const value *mw = pdf::get_resolved(desc, "MissingWidth", res);
            if (mw && mw->is_number()) tf.widths.missing_width = std::clamp(mw->r, 0.0, 10000.0);
            const value *a = pdf::get_resolved(desc, "Ascent", res);
            const value *d = pdf::get_resolved(desc, "Descent", res);
            if (a && a->is_number() && d && d->is_number() && a->r > 0 && a->r < 5000 && d->r <= 0 && d->r > -5000) {
                tf.ascent = a->r;
                tf.descent = d->r;
            }
        }
        const value *w = pdf::get_resolved(fd, "Widths", res);
        const value *fc = pdf::get_resolved(fd, "FirstChar", res);
        if (w && w->is_array() && !w->items.empty()) {
            tf.widths.first_char = fc && fc->is_number() ? static_cast<int32_t>(std::clamp(fc->r, 0.0, 255.0)) : 0;
            for (size_t k = 0; k < w->items.size() && k < 256; ++k) {
                const value *x = pdf::resolve(&w->items[k], res);
                tf.widths.widths.push_back(x && x->is_number() ? std::clamp(x->r, 0.0, 10000.0) : 0);
            }
        }
        return tf;
    }
    return standard_text_font(std_font::helvetica, da.font);
}

std::vector<std::string> wrap_text(std::string_view text, const text_font &f, double size, double width) {
    std::vector<std::string> lines;
    auto gw = [&](unsigned char c) { return f.widths.glyph(c) * size / 1000.0; };
    size_t p = 0;
    const size_t n = text.size();
    for (;;) {
        size_t pe = p;
        while (pe < n && text[pe] != '\r' && text[pe] != '\n') ++pe;
        std::string_view para = text.substr(p, pe - p);
        std::string line;
        double lw = 0;
        size_t pos = 0;
        while (pos < para.size()) {
            // The next piece: a run of spaces, then a word.
            size_t se = pos;
            while (se < para.size() && para[se] == ' ') ++se;
            size_t we = se;
            while (we < para.size() && para[we] != ' ') ++we;
            double sw = 0, ww = 0;
            if (line.empty() && pos != 0) pos = se;  // spaces at a break are dropped
            for (size_t k = pos; k < se; ++k) sw += gw(' ');
            for (size_t k = se; k < we; ++k) ww += gw(static_cast<unsigned char>(para[k]));
            if (lw + sw + ww <= width || (line.empty() && ww <= width)) {
                line.append(para.substr(pos, we - pos));
                lw += sw + ww;
                pos = we;
                continue;
            }
            if (!line.empty()) {
                lines.push_back(std::move(line));
                line.clear();
                lw = 0;
                pos = se;
                if (ww <= width) continue;
            }
            // A word wider than a line: cut it between characters.
            for (size_t k = se; k < we; ++k) {
                double cw = gw(static_cast<unsigned char>(para[k]));
                if (lw + cw > width && !line.empty()) {
                    lines.push_back(std::move(line));
                    line.clear();
                    lw = 0;
                }
                line.push_back(para[k]);
                lw += cw;
            }
            pos = we;
        }
        lines.push_back(std::move(line));
        if (pe >= n) break;
        p = pe + (text[pe] == '\r' && pe + 1 < n && text[pe + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

void put_text_block(std::string *o, std::string_view text, const text_font &f, double size,
                    const std::string &color, int q, bool multiline, double w, double h, double pad) {
    const double asc = f.ascent > 0 ? f.ascent : 750, desc = f.descent < 0 ? f.descent : -250;
    const double avail_w = std::max(w - 2 * pad, 0.0), avail_h = std::max(h - 2 * pad, 0.0);
    std::vector<std::string> lines;
    if (multiline) {
        if (size <= 0) {
            // Fit the box: 12 points, smaller while the wrapped text is taller than the box.
            size = 12;
            for (;;) {
                lines = wrap_text(text, f, size, avail_w);
                if (size <= 4 || lines.size() * size * (asc - desc) / 1000 <= avail_h) break;
                size -= 0.5;
            }
        } else {
            lines = wrap_text(text, f, size, avail_w);
        }
    } else {
        std::string one(text);
        std::replace(one.begin(), one.end(), '\r', ' ');
        std::replace(one.begin(), one.end(), '\n', ' ');
        if (size <= 0) {
            // Fit the height, at most 12 points; then shrink to fit the width.
            double fit_h = std::min(avail_h / 1.15, 12.0);
            size = fit_h;
            double tw = text_width(f.widths, one, size);
            if (tw > avail_w && tw > 0) size = std::min(fit_h, std::max(4.0, size * avail_w / tw));
            if (size <= 0) size = 1;
        }
        lines.push_back(std::move(one));
    }
    o->append("BT\n");
    pdf::append_name(o, f.name);
    o->push_back(' ');
    put(o, {size}, "Tf");
    o->append(color);
    o->push_back('\n');
    const double leading = size * (asc - desc) / 1000;
    double y = multiline ? h - pad - asc * size / 1000 : (h - (asc + desc) * size / 1000) / 2;
    for (const auto &line : lines) {
        if (y < -leading) break;  // below the box: clipped anyway
        double tw = text_width(f.widths, line, size);
        double x = q == 1 ? (w - tw) / 2 : q == 2 ? w - pad - tw : pad;
        put(o, {1, 0, 0, 1, x, y}, "Tm");
        pdf::append_literal_string(o, line);
        o->append(" Tj\n");
        y -= leading;
    }
    o->append("ET\n");
}

void add_font_resource(value *resources, const text_font &f) {
    if (!resources->is_dict()) *resources = value::make_dict();
    value *fonts = const_cast<value *>(resources->get("Font"));
    if (!fonts) fonts = &resources->set("Font", value::make_dict());
    if (!fonts->get(f.name)) fonts->set(f.name, f.res);
}

std::string add_gstate(value *resources, double alpha, bool multiply) {
    if (!resources->is_dict()) *resources = value::make_dict();
    value gs = value::make_dict();
    gs.set("Type", value::make_name("ExtGState"));
    if (multiply) gs.set("BM", value::make_name("Multiply"));
    if (alpha < 1) {
        gs.set("CA", value::make_real(std::clamp(alpha, 0.0, 1.0)));
        gs.set("ca", value::make_real(std::clamp(alpha, 0.0, 1.0)));
    }
    value states = value::make_dict();
    states.set("GS0", std::move(gs));
    resources->set("ExtGState", std::move(states));
    return "/GS0 gs\n";
}

const value *inherited(const value &field, std::string_view key, pdf::resolver *res) {
    const value *f = &field;
    for (int depth = 0; f && depth <= kMaxFieldDepth; ++depth) {
        if (const value *v = pdf::get_resolved(f, key, res)) return v;
        f = pdf::get_resolved(f, "Parent", res);
    }
    return nullptr;
}

}  // namespace detail

bool annot_printable(const value &annot, pdf::resolver *res) {
    const value *f = pdf::get_resolved(&annot, "F", res);
    int64_t flags = f && f->is_number() ? static_cast<int64_t>(std::clamp(f->r, 0.0, 4294967295.0)) : 0;
    if (!(flags & kAnnotPrint) || (flags & kAnnotHidden)) return false;
    const value *sub = pdf::get_resolved(&annot, "Subtype", res);
    return !(sub && (sub->is_name("Link") || sub->is_name("Popup")));
}

const value *normal_appearance(const value &annot, pdf::resolver *res) {
    const value *n = pdf::get_resolved(&annot, "AP", res);
    n = n ? n->get("N") : nullptr;
    if (!n) return nullptr;
    if (n->is_ref()) {
        if (res && res->is_stream(static_cast<int32_t>(n->i))) return n;
    }
    const value *states = pdf::resolve(n, res);
    const value *as = pdf::get_resolved(&annot, "AS", res);
    if (!states || !states->is_dict() || !as || !as->is_name()) return nullptr;
    const value *entry = states->get(as->s);
    if (entry && entry->is_ref() && res && res->is_stream(static_cast<int32_t>(entry->i))) return entry;
    return nullptr;
}

namespace {

bool is_built_kind(const value &annot, pdf::resolver *res, bool *widget) {
    const value *sub = pdf::get_resolved(&annot, "Subtype", res);
    *widget = false;
    if (!sub || !sub->is_name()) return false;
    if (sub->s == "Widget") {
        const value *ft = detail::inherited(annot, "FT", res);
        *widget = true;
        return ft && (ft->is_name("Tx") || ft->is_name("Btn") || ft->is_name("Ch"));
    }
    return detail::is_markup_kind(sub->s);
}

}  // namespace

bool needs_built_appearance(const value &annot, const value *acroform, pdf::resolver *res) {
    bool widget = false;
    if (!is_built_kind(annot, res, &widget)) return false;
    if (!normal_appearance(annot, res)) return true;
    if (!widget) return false;
    // With /NeedAppearances viewers rebuild every field's look, push buttons
    // too (from /MK: border, background, caption), whatever is stored.
    const value *need = pdf::get_resolved(acroform, "NeedAppearances", res);
    return need && need->k == pdf::kind::boolean && need->b;
}

bool build_appearance(const value &annot, const value *acroform, pdf::resolver *res, appearance *out) {
    *out = appearance{};
    double r[4];
    if (!detail::read_rect(annot.get("Rect"), res, r)) return false;
    if (!(r[2] - r[0] > 0) || !(r[3] - r[1] > 0) || r[2] - r[0] > 1e6 || r[3] - r[1] > 1e6) return false;
    bool widget = false;
    if (!is_built_kind(annot, res, &widget)) return false;
    const value *sub = pdf::get_resolved(&annot, "Subtype", res);
    std::copy(r, r + 4, out->rect);
    bool ok = widget ? detail::build_widget(annot, acroform, res, out)
                     : detail::build_markup(annot, sub->s, acroform, res, out);
    if (!ok) *out = appearance{};
    return ok;
}

bool placement_matrix(const double bbox[4], const double *m, const double rect[4], double out[6]) {
    static const double identity[6] = {1, 0, 0, 1, 0, 0};
    if (!m) m = identity;
    for (int k = 0; k < 4; ++k)
        if (!std::isfinite(bbox[k]) || !std::isfinite(rect[k])) return false;
    for (int k = 0; k < 6; ++k)
        if (!std::isfinite(m[k])) return false;
    double minx = 0, miny = 0, maxx = 0, maxy = 0;
    const double xs[2] = {bbox[0], bbox[2]}, ys[2] = {bbox[1], bbox[3]};
    for (int k = 0; k < 4; ++k) {
        double x = xs[k & 1], y = ys[k >> 1];
        double tx = m[0] * x + m[2] * y + m[4], ty = m[1] * x + m[3] * y + m[5];
        if (k == 0 || tx < minx) minx = tx;
        if (k == 0 || tx > maxx) maxx = tx;
        if (k == 0 || ty < miny) miny = ty;
        if (k == 0 || ty > maxy) maxy = ty;
    }
    double rx0 = std::min(rect[0], rect[2]), rx1 = std::max(rect[0], rect[2]);
    double ry0 = std::min(rect[1], rect[3]), ry1 = std::max(rect[1], rect[3]);
    const double eps = 1e-9;
    if (!(maxx - minx > eps) || !(maxy - miny > eps) || !(rx1 - rx0 > eps) || !(ry1 - ry0 > eps)) return false;
    double sx = (rx1 - rx0) / (maxx - minx), sy = (ry1 - ry0) / (maxy - miny);
    if (!std::isfinite(sx) || !std::isfinite(sy)) return false;
    out[0] = sx;
    out[1] = 0;
    out[2] = 0;
    out[3] = sy;
    out[4] = rx0 - minx * sx;
    out[5] = ry0 - miny * sy;
    return std::isfinite(out[4]) && std::isfinite(out[5]);
}

}  // namespace sheetlay::nup
