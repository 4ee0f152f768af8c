// Appearances of form widgets: text fields, check boxes, radio buttons,
// push buttons and choice fields, built from the field's value and its
// default appearance string the way viewers do when the file has none (or
// asks for new ones with /NeedAppearances).
//
// Every widget form has /BBox [0 0 w h] in the widget's own space; a /MK /R
// rotation swaps w and h and adds the /Matrix that turns the box back onto
// the rectangle. The background (/MK /BG) and border (/MK /BC, /BS) come
// first; the value is drawn inside "/Tx BMC ... EMC" (text and choice) with
// a clip to the box inside the border, so long values never spill out.
#include <algorithm>
#include <cmath>
#include <set>

#include "nup/appearance_impl.h"

namespace sheetlay::nup::detail {

using pdf::value;

namespace {

int64_t field_flags(const value &annot, pdf::resolver *res) {
    const value *ff = inherited(annot, "Ff", res);
    return ff && ff->is_number() ? static_cast<int64_t>(std::clamp(ff->r, 0.0, 4294967295.0)) : 0;
}

std::string da_string(const value &annot, const value *acroform, pdf::resolver *res) {
    const value *da = inherited(annot, "DA", res);
    if (!da || !da->is_string()) da = pdf::get_resolved(acroform, "DA", res);
    return da && da->is_string() ? da->s : std::string();
}

int quadding(const value &annot, const value *acroform, pdf::resolver *res) {
    const value *q = inherited(annot, "Q", res);
    if (!q || !q->is_number()) q = pdf::get_resolved(acroform, "Q", res);
    double v = q ? q->num_or(0) : 0;
    return v >= 0.5 && v < 1.5 ? 1 : v >= 1.5 && v < 2.5 ? 2 : 0;
}

text_font field_font(const value &annot, const value *acroform, pdf::resolver *res, const da_info &da) {
    return pick_font(da, inherited(annot, "DR", res), pdf::get_resolved(acroform, "DR", res), res);
}

// The text a value shows: a text string converted to WinAnsi; a name (as
// some writers put in choice fields) as its bytes.
std::string value_text(const value *v) {
    if (!v) return "";
    if (v->is_string()) return to_winansi(v->s);
    if (v->is_name()) return v->s;
    return "";
}

// Background and border, in a q/Q of their own.
void put_frame(std::string *o, const value &annot, pdf::resolver *res, double w, double h, double bw) {
    const value *mk = pdf::get_resolved(&annot, "MK", res);
    std::string fill, stroke;
    bool has_bg = put_color(&fill, pdf::get_resolved(mk, "BG", res), res, false);
    bool has_bc = bw > 0 && put_color(&stroke, pdf::get_resolved(mk, "BC", res), res, true);
    if (!has_bg && !has_bc) return;
    o->append("q\n");
    if (has_bg) {
        o->append(fill);
        put(o, {0, 0, w, h}, "re f");
    }
    if (has_bc) {
        o->append(stroke);
        put(o, {bw}, "w");
        o->append(dash_op(annot, res));
        const value *s = pdf::get_resolved(pdf::get_resolved(&annot, "BS", res), "S", res);
        if (s && s->is_name("U")) {
            put(o, {0, bw / 2}, "m");
            put(o, {w, bw / 2}, "l S");
        } else {
            put(o, {bw / 2, bw / 2, w - bw, h - bw}, "re S");
        }
    }
    o->append("Q\n");
}

void open_text_area(std::string *o, double w, double h, double inset) {
    o->append("/Tx BMC\nq\n");
    put(o, {inset, inset, std::max(w - 2 * inset, 0.0), std::max(h - 2 * inset, 0.0)}, "re W n");
}

void close_text_area(std::string *o) { o->append("Q\nEMC\n"); }

// Comb fields: MaxLen cells of equal width, one character centred in each.
void put_comb(std::string *o, const std::string &text, const text_font &f, double size,
              const std::string &color, int64_t maxlen, double w, double h, double pad) {
    const double cell = w / static_cast<double>(maxlen);
    if (size <= 0) size = std::max(std::min((h - 2 * pad) / 1.15, 12.0), 1.0);
    o->append("BT\n");
    pdf::append_name(o, f.name);
    o->push_back(' ');
    put(o, {size}, "Tf");
    o->append(color);
    o->push_back('\n');
    const double y = (h - (f.ascent + f.descent) * size / 1000) / 2;
    for (size_t k = 0; k < text.size() && static_cast<int64_t>(k) < maxlen; ++k) {
        std::string one(1, text[k]);
        double cw = text_width(f.widths, one, size);
        put(o, {1, 0, 0, 1, static_cast<double>(k) * cell + (cell - cw) / 2, y}, "Tm");
        pdf::append_literal_string(o, one);
        o->append(" Tj\n");
    }
    o->append("ET\n");
}

bool build_text(const value &annot, const value *acroform, pdf::resolver *res, double w, double h,
                double bw, appearance *out) {
    const int64_t ff = field_flags(annot, res);
    const da_info da = parse_da(da_string(annot, acroform, res));
    const text_font f = field_font(annot, acroform, res, da);
    std::string text = value_text(inherited(annot, "V", res));
    const value *ml = inherited(annot, "MaxLen", res);
    int64_t maxlen = ml && ml->is_number() ? static_cast<int64_t>(std::clamp(ml->r, 0.0, 1e6)) : 0;
    if (maxlen > 0 && static_cast<int64_t>(text.size()) > maxlen) text.resize(static_cast<size_t>(maxlen));
    if (ff & kFlagPassword) {
        for (char &c : text) c = '*';
    }
    const double inset = std::max(bw, 1.0), pad = 2 * inset;
    put_frame(&out->content, annot, res, w, h, bw);
    open_text_area(&out->content, w, h, inset);
    if (!text.empty()) {
        bool comb = (ff & kFlagComb) && maxlen > 0 && !(ff & (kFlagMultiline | kFlagPassword | kFlagFileSelect));
        if (comb)
            put_comb(&out->content, text, f, da.size, da.color, maxlen, w, h, pad);
        else
            put_text_block(&out->content, text, f, da.size, da.color, quadding(annot, acroform, res),
                           (ff & kFlagMultiline) != 0, w, h, pad);
    }
    close_text_area(&out->content);
    add_font_resource(&out->resources, f);
    return true;
}

// Whether a check box or radio button shows its on state.
bool button_on(const value &annot, pdf::resolver *res) {
    const value *states = pdf::get_resolved(pdf::get_resolved(&annot, "AP", res), "N", res);
    bool have_states = states && states->is_dict() && !states->get("Length") && states->size() > 0;
    const value *as = pdf::get_resolved(&annot, "AS", res);
    if (!as || !as->is_name()) as = inherited(annot, "V", res);
    if (!as || !as->is_name() || as->s == "Off") return false;
    return !have_states || states->get(as->s) != nullptr;
}

bool build_button(const value &annot, const value *acroform, pdf::resolver *res, double w, double h,
                  double bw, appearance *out) {
    const int64_t ff = field_flags(annot, res);
    const da_info da = parse_da(da_string(annot, acroform, res));
    const value *mk = pdf::get_resolved(&annot, "MK", res);
    const value *ca = pdf::get_resolved(mk, "CA", res);
    put_frame(&out->content, annot, res, w, h, bw);
    const double inset = std::max(bw, 1.0), pad = 2 * inset;
    if (ff & kFlagPushButton) {
        // The caption, centred in the DA's font.
        std::string caption = value_text(ca);
        if (!caption.empty()) {
            const text_font f = field_font(annot, acroform, res, da);
            out->content.append("q\n");
            put_text_block(&out->content, caption, f, da.size, da.color, 1, false, w, h, pad);
            out->content.append("Q\n");
            add_font_resource(&out->resources, f);
        }
        return true;
    }
    if (!button_on(annot, res)) return true;
    const bool radio = (ff & kFlagRadio) != 0;
    std::string mark = ca && ca->is_string() && !ca->s.empty() ? ca->s.substr(0, 1) : (radio ? "l" : "4");
    text_font f = standard_text_font(std_font::zapf_dingbats, "ZaDb");
    const font_metrics &zm = standard_metrics(std_font::zapf_dingbats);
    double gw = f.widths.glyph(static_cast<unsigned char>(mark[0]));
    if (gw <= 0) gw = 1000;
    double size = da.size;
    if (size <= 0) {
        // As large as the box inside the padding allows, keeping the glyph whole.
        size = std::min((w - 2 * pad) * 1000 / gw, (h - 2 * pad) * 1000 / std::max<double>(zm.cap_height, 1));
        size = std::max(size, 1.0);
    }
    const double x = (w - gw * size / 1000) / 2, y = (h - zm.cap_height * size / 1000) / 2;
    out->content.append("q\nBT\n/ZaDb ");
    put(&out->content, {size}, "Tf");
    out->content.append(da.color);
    out->content.push_back('\n');
    put(&out->content, {1, 0, 0, 1, x, y}, "Tm");
    pdf::append_literal_string(&out->content, mark);
    out->content.append(" Tj\nET\nQ\n");
    add_font_resource(&out->resources, f);
    return true;
}

bool build_choice(const value &annot, const value *acroform, pdf::resolver *res, double w, double h,
                  double bw, appearance *out) {
    const int64_t ff = field_flags(annot, res);
    const da_info da = parse_da(da_string(annot, acroform, res));
    const text_font f = field_font(annot, acroform, res, da);
    const value *v = inherited(annot, "V", res);
    const value *opt = inherited(annot, "Opt", res);
    const double inset = std::max(bw, 1.0), pad = 2 * inset;
    // An option is a string, or [export display]; the display text is shown.
    auto option = [&](size_t k, std::string *exp, std::string *disp) {
        const value *o = pdf::resolve(opt->at(k), res);
        if (o && o->is_array()) {
            const value *e = pdf::resolve(o->at(0), res), *d = pdf::resolve(o->at(1), res);
            *exp = e && e->is_string() ? e->s : "";
            *disp = d && d->is_string() ? d->s : *exp;
        } else {
            *exp = *disp = o && o->is_string() ? o->s : "";
        }
    };
    put_frame(&out->content, annot, res, w, h, bw);
    open_text_area(&out->content, w, h, inset);
    if (ff & kFlagCombo) {
        const value *first = v && v->is_array() ? pdf::resolve(v->at(0), res) : v;
        std::string shown = first && first->is_string() ? first->s : "";
        for (size_t k = 0; opt && opt->is_array() && k < opt->items.size() && k < 10000; ++k) {
            std::string exp, disp;
            option(k, &exp, &disp);
            if (!shown.empty() && exp == shown) {
                shown = disp;
                break;
            }
        }
        shown = to_winansi(shown);
        if (!shown.empty())
            put_text_block(&out->content, shown, f, da.size, da.color, quadding(annot, acroform, res), false, w, h,
                           pad);
    } else if (opt && opt->is_array()) {
        // A list box: the options from /TI down, the selected ones highlighted.
        std::set<std::string> selected;
        std::set<int64_t> sel_index;
        if (v && v->is_string()) selected.insert(v->s);
        for (size_t k = 0; v && v->is_array() && k < v->items.size(); ++k) {
            const value *s = pdf::resolve(&v->items[k], res);
            if (s && s->is_string()) selected.insert(s->s);
        }
        const value *idx = inherited(annot, "I", res);
        for (size_t k = 0; idx && idx->is_array() && k < idx->items.size(); ++k)
            if (idx->items[k].is_number()) sel_index.insert(static_cast<int64_t>(std::clamp(idx->items[k].r, -1.0, 1e9)));
        const value *ti = inherited(annot, "TI", res);
        size_t top = ti && ti->is_number() ? static_cast<size_t>(std::clamp(ti->r, 0.0, 1e9)) : 0;
        const double size = da.size > 0 ? da.size : 12;
        const double leading = size * (f.ascent - f.descent) / 1000;
        double y_top = h - inset;
        std::vector<std::pair<double, std::string>> rows;  // baseline, text
        for (size_t k = top, line = 0; k < opt->items.size() && line < 1000 && y_top > 0 && leading > 0;
             ++k, ++line, y_top -= leading) {
            std::string exp, disp;
            option(k, &exp, &disp);
            if (selected.count(exp) || sel_index.count(static_cast<int64_t>(k))) {
                out->content.append("0.6 0.75 0.85 rg\n");
                put(&out->content, {inset, y_top - leading, std::max(w - 2 * inset, 0.0), leading}, "re f");
            }
            rows.emplace_back(y_top - leading - f.descent * size / 1000, to_winansi(disp));
        }
        if (!rows.empty()) {
            out->content.append("BT\n");
            pdf::append_name(&out->content, f.name);
            out->content.push_back(' ');
            put(&out->content, {size}, "Tf");
            out->content.append(da.color);
            out->content.push_back('\n');
            for (const auto &row : rows) {
                put(&out->content, {1, 0, 0, 1, pad, row.first}, "Tm");
                pdf::append_literal_string(&out->content, row.second);
                out->content.append(" Tj\n");
            }
            out->content.append("ET\n");
        }
    }
    close_text_area(&out->content);
    add_font_resource(&out->resources, f);
    return true;
}

}  // namespace

bool build_widget(const value &annot, const value *acroform, pdf::resolver *res, appearance *out) {
    double r[4];
    if (!read_rect(annot.get("Rect"), res, r)) return false;
    double w = r[2] - r[0], h = r[3] - r[1];
    // /MK /R turns the content; the form is built upright in the turned box.
    const value *rot = pdf::get_resolved(pdf::get_resolved(&annot, "MK", res), "R", res);
    int turn = rot && rot->is_number() ? static_cast<int>(std::fmod(std::fmod(rot->r, 360.0) + 360.0, 360.0)) : 0;
    turn = turn / 90 * 90;
    if (turn == 90 || turn == 270) std::swap(w, h);
    out->bbox[0] = out->bbox[1] = 0;
    out->bbox[2] = w;
    out->bbox[3] = h;
    if (turn) {
        out->has_matrix = true;
        const double m90[6] = {0, 1, -1, 0, h, 0}, m180[6] = {-1, 0, 0, -1, w, h}, m270[6] = {0, -1, 1, 0, 0, w};
        const double *m = turn == 90 ? m90 : turn == 180 ? m180 : m270;
        std::copy(m, m + 6, out->matrix);
    }
    out->resources = value::make_dict();
    const double bw = border_width(annot, res);
    const value *ft = inherited(annot, "FT", res);
    if (!ft) return false;
    if (ft->is_name("Tx")) return build_text(annot, acroform, res, w, h, bw, out);
    if (ft->is_name("Btn")) return build_button(annot, acroform, res, w, h, bw, out);
    if (ft->is_name("Ch")) return build_choice(annot, acroform, res, w, h, bw, out);
    return false;
}

}  // namespace sheetlay::nup::detail
