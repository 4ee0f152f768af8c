// Destinations moved onto the sheets (see destmap.h).
#include "nup/destmap.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <unordered_set>
#include <vector>

#include "nup/geometry.h"

namespace sheetlay::nup {

namespace {

// Budgets of the /Names /Dests tree: nodes visited and entries kept.
constexpr int32_t kMaxTreeNodes = 100000;
constexpr int32_t kMaxTreeEntries = 1000000;

// The action without its /Next chain: the actions that follow may go to
// pages of the input, which are not carried; the first one is what the
// link or item does.
pdf::value without_next(const pdf::value &a) {
    pdf::value v = a;
    std::erase_if(v.entries, [](const pdf::dict_entry &e) { return e.key == "Next"; });
    return v;
}

}  // namespace

sheet_point point_on_sheet(const placed_page &pl, double x, double y) {
    const pageinfo &p = *pl.page;
    double xp = x, yp = y;
    // The form's matrix for the page's rotation (nup/forms write_form).
    switch (pl.rotation) {
        case 90:
            xp = y;
            yp = p.x1 - x;
            break;
        case 180:
            xp = p.x1 - x;
            yp = p.y1 - y;
            break;
        case 270:
            xp = p.y1 - y;
            yp = x;
            break;
        default:
            break;
    }
    if (pl.at.upright) return {pl.at.s * xp + pl.at.tx, pl.at.s * yp + pl.at.ty};
    return {pl.at.a * xp + pl.at.c * yp + pl.at.tx, pl.at.b * xp + pl.at.d * yp + pl.at.ty};
}

void append_coord(std::string &out, double v) { pdf::append_number(&out, v); }

dest_mapper::dest_mapper(const part_context &c, doc_resolver &res) : c_(c), res_(res) {
    for_each_cell(c, [&](size_t i, int32_t p) {
        if (p < 0 || p >= c.d->pages.count) return;
        first_cell_.emplace(c.d->pages.items[p].num, static_cast<int64_t>(i));
    });
}

const placed_page *dest_mapper::first_placement(int32_t num, int64_t *sheet_page) {
    auto it = first_cell_.find(num);
    if (it == first_cell_.end()) return nullptr;
    const int64_t cell = it->second;
    const int32_t n = c_.sn.n;
    auto pl = placed_.find(cell);
    if (pl == placed_.end()) {
        pl = placed_.emplace(cell, place_page(c_.d, *c_.memos, c_.job->g,
                                              c_.job->cells[static_cast<size_t>(cell)], cell))
                 .first;
    }
    *sheet_page = c_.sn.page(cell / n);
    return &pl->second;
}

void dest_mapper::read_name_tree() {
    tree_read_ = true;
    const pdf::value *cat = c_.d->catalog > 0 ? res_.get(c_.d->catalog) : nullptr;
    const pdf::value *root = pdf::get_resolved(pdf::get_resolved(cat, "Names", &res_), "Dests", &res_);
    if (!root || !root->is_dict()) return;
    // Depth first over the kids, in order, each object once: a loop or a
    // kid listed twice is walked once.
    std::vector<const pdf::value *> stack{root};
    std::unordered_set<int64_t> seen;
    int32_t nodes = 0, entries = 0;
    while (!stack.empty() && nodes < kMaxTreeNodes) {
        const pdf::value *node = stack.back();
        stack.pop_back();
        ++nodes;
        const pdf::value *names = pdf::get_resolved(node, "Names", &res_);
        if (names && names->is_array()) {
            for (size_t k = 0; k + 1 < names->items.size() && entries < kMaxTreeEntries; k += 2) {
                const pdf::value *key = pdf::resolve(&names->items[k], &res_);
                if (!key || !(key->is_string() || key->is_name())) continue;
                if (tree_.emplace(key->s, &names->items[k + 1]).second) ++entries;
            }
        }
        const pdf::value *kids = pdf::get_resolved(node, "Kids", &res_);
        if (!kids || !kids->is_array()) continue;
        for (size_t k = kids->items.size(); k-- > 0;) {
            const pdf::value &kid = kids->items[k];
            if (kid.is_ref() && !seen.insert(kid.i).second) continue;
            const pdf::value *kv = pdf::resolve(&kid, &res_);
            if (kv && kv->is_dict()) stack.push_back(kv);
        }
    }
}

const pdf::value *dest_mapper::named(const pdf::value *key) {
    const pdf::value *cat = c_.d->catalog > 0 ? res_.get(c_.d->catalog) : nullptr;
    const pdf::value *dests = pdf::get_resolved(cat, "Dests", &res_);
    if (dests && dests->is_dict()) {
        if (const pdf::value *v = pdf::resolve(dests->get(key->s), &res_)) return v;
    }
    if (!tree_read_) read_name_tree();
    auto it = tree_.find(key->s);
    return it == tree_.end() ? nullptr : pdf::resolve(it->second, &res_);
}

std::string dest_mapper::map_dest(const pdf::value *dest) {
    const pdf::value *v = pdf::resolve(dest, &res_);
    if (v && (v->is_name() || v->is_string())) v = named(v);
    // A named destination may be a dictionary whose /D is the array.
    if (v && v->is_dict()) v = pdf::get_resolved(v, "D", &res_);
    if (!v || !v->is_array() || v->items.empty()) return {};
    const pdf::value &page = v->items[0];
    int32_t num = -1;
    if (page.is_ref() && page.i > 0 && page.i <= INT32_MAX) {
        num = static_cast<int32_t>(page.i);
    } else if (page.k == pdf::kind::integer && page.i >= 0 && page.i < c_.d->pages.count) {
        // Some writers give the page's index instead of a reference.
        num = c_.d->pages.items[page.i].num;
    }
    int64_t P = 0;
    const placed_page *pl = num > 0 ? first_placement(num, &P) : nullptr;
    if (!pl) return {};

    const norm_box b = normalise(*pl->page);
    auto arg = [&](size_t k, double def) {
        const pdf::value *a = pdf::resolve(v->at(k), &res_);
        return a && a->is_number() && std::isfinite(a->r) ? a->r : def;
    };
    const pdf::value *type = pdf::resolve(v->at(1), &res_);
    const std::string_view t = type && type->is_name() ? std::string_view(type->s) : "Fit";
    double rect[4];
    bool is_rect = false;
    sheet_point pt{};
    if (t == "XYZ") {
        pt = point_on_sheet(*pl, arg(2, b.lx), arg(3, b.uy));
    } else if (t == "FitH" || t == "FitBH") {
        pt = point_on_sheet(*pl, b.lx, arg(2, b.uy));
    } else if (t == "FitV" || t == "FitBV") {
        pt = point_on_sheet(*pl, arg(2, b.lx), b.uy);
    } else if (t == "FitR") {
        // The turned rectangle's bounding box.
        sheet_point a = point_on_sheet(*pl, arg(2, b.lx), arg(3, b.ly));
        sheet_point z = point_on_sheet(*pl, arg(4, b.ux), arg(5, b.uy));
        rect[0] = std::min(a.x, z.x);
        rect[1] = std::min(a.y, z.y);
        rect[2] = std::max(a.x, z.x);
        rect[3] = std::max(a.y, z.y);
        is_rect = true;
    } else {
        // /Fit, /FitB and kinds not known: the page's placed area.
        rect[0] = pl->at.xoff;
        rect[1] = pl->at.yoff;
        rect[2] = pl->at.xoff + pl->at.sw;
        rect[3] = pl->at.yoff + pl->at.sh;
        is_rect = true;
    }
    std::string out = "[";
    put_int(out, P);
    if (is_rect) {
        for (double r : rect)
            if (!std::isfinite(r)) return {};
        out += " 0 R /FitR";
        for (double r : rect) {
            out += ' ';
            append_coord(out, r);
        }
    } else {
        if (!std::isfinite(pt.x) || !std::isfinite(pt.y)) return {};
        out += " 0 R /XYZ ";
        append_coord(out, pt.x);
        out += ' ';
        append_coord(out, pt.y);
        out += " null";
    }
    out += ']';
    return out;
}

target dest_mapper::find_target(const pdf::value *dict) {
    target t;
    if (!dict || !dict->is_dict()) return t;
    const pdf::value *dest = pdf::resolve(dict->get("Dest"), &res_);
    if (dest && !dest->is_null()) {
        t.dest = map_dest(dest);
        if (!t.dest.empty()) t.kind = target::to_dest;
        return t;
    }
    const pdf::value *a = pdf::get_resolved(dict, "A", &res_);
    if (!a || !a->is_dict()) return t;
    const pdf::value *s = pdf::get_resolved(a, "S", &res_);
    if (!s || !s->is_name()) return t;
    if (s->s == "GoTo") {
        t.dest = map_dest(a->get("D"));
        if (!t.dest.empty()) t.kind = target::go_to;
    } else if (s->s == "URI" || s->s == "Launch" || s->s == "GoToR") {
        // They leave the document (or name pages of another file): they mean
        // the same on the sheets.
        t.kind = target::keep;
        t.action = a;
    }
    return t;
}

void gather_value(transfer &tr, const pdf::value &v) {
    std::string text = pdf::to_text(v);
    tr.gather(reinterpret_cast<const unsigned char *>(text.data()), static_cast<int32_t>(text.size()));
}

void gather_target(transfer &tr, const target &t) {
    if (t.kind == target::keep && t.action) gather_value(tr, without_next(*t.action));
}

void append_value(std::string &out, const pdf::value &v, const transfer &tr) {
    pdf::serialize(v, &out, [&tr](int32_t num, int32_t) { return tr.lookup(num); });
}

void append_target(std::string &out, const target &t, const transfer &tr) {
    switch (t.kind) {
        case target::to_dest:
            out += " /Dest ";
            out += t.dest;
            break;
        case target::go_to:
            out += " /A << /S /GoTo /D ";
            out += t.dest;
            out += " >>";
            break;
        case target::keep:
            out += " /A ";
            append_value(out, without_next(*t.action), tr);
            break;
        case target::none:
            break;
    }
}

}  // namespace sheetlay::nup
