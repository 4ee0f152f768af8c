// Links on the sheets: every Link annotation of a placed page becomes a new
// annotation of its sheet, in the place the page's placement moves it to.
//
// The input's annotation objects are not carried: their /P names an input
// page, their destination a page that is now part of a sheet, and their
// rectangle is in the page's coordinates. Each link is written anew from
// what it means (rectangle, quadrilaterals, border and highlight look, and
// what it does, retargeted by nup/destmap). A page placed twice has its
// links on both placements; a link whose target is not on any sheet, or
// that cannot be read, is left out.
#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "nup/destmap.h"
#include "nup/extras.h"
#include "nup/trim.h"
#include "sheetlay.h"

namespace sheetlay::nup {

namespace {

// Annotations read per page listing, and links written per call: bound the
// work of a damaged /Annots and of a page full of links placed many times.
constexpr size_t kMaxAnnotsPerPage = 100000;
constexpr size_t kMaxLinks = size_t{1} << 20;

struct link_out {
    int64_t sheet;
    std::string geometry;  // " /Rect [...]" and " /QuadPoints [...]"
    std::vector<std::pair<const char *, const pdf::value *>> look;  // /Border /BS /C /H
    target what;
};

// Appends a rectangle of four numbers.
void append_rect(std::string &out, double x0, double y0, double x1, double y1) {
    out += '[';
    append_coord(out, x0);
    out += ' ';
    append_coord(out, y0);
    out += ' ';
    append_coord(out, x1);
    out += ' ';
    append_coord(out, y1);
    out += ']';
}

class link_part : public extras::part {
public:
    explicit link_part(const part_context &c) : c_(c), res_(*c.res), map_(c, res_) {}

    void plan(transfer &tr) override {
        try {
            collect();
            for (const link_out &l : links_) {
                gather_target(tr, l.what);
                for (const auto &[key, v] : l.look) gather_value(tr, *v);
            }
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            links_.clear();
        }
    }

    void build(const transfer &tr, added_objects &objs, additions &add) override {
        std::vector<std::string> texts;
        try {
            for (const link_out &l : links_) texts.push_back(body(l, tr));
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            return;
        }
        std::map<int64_t, std::string> refs;  // by sheet: "a 0 R b 0 R"
        for (size_t i = 0; i < links_.size(); ++i) {
            const int64_t num = objs.reserve();
            std::string obj;
            put_int(obj, num);
            obj += " 0 obj\n";
            obj += texts[i];
            obj += "\nendobj\n";
            objs.put(num, std::move(obj));
            std::string &r = refs[links_[i].sheet];
            if (!r.empty()) r += ' ';
            put_int(r, num);
            r += " 0 R";
        }
        for (auto &[sheet, r] : refs) {
            // Another part may have listed annotations already: join its list.
            std::string &e = add.sheet_entries[sheet];
            const size_t at = e.find(" /Annots [");
            if (at != std::string::npos) {
                e.insert(at + 10, r + ' ');
            } else {
                e += " /Annots [";
                e += r;
                e += ']';
            }
        }
    }

private:
    void collect() {
        const int32_t n = c_.sn.n;
        for_each_cell(c_, [&](size_t c, int32_t page) {
            if (page < 0 || page >= c_.d->pages.count) return;
            const pdf::value *annots = c_.annots->get(c_.d->pages.items[page].num);
            if (!annots || !annots->is_array() || annots->items.empty()) return;
            const int64_t sheet = static_cast<int64_t>(c) / n;
            const placed_page pl =
                place_page(c_.d, *c_.memos, c_.job->g, page, static_cast<int64_t>(c));
            const size_t count = std::min(annots->items.size(), kMaxAnnotsPerPage);
            for (size_t k = 0; k < count && links_.size() < kMaxLinks; ++k) {
                const pdf::value *a = pdf::resolve(&annots->items[k], &res_);
                const pdf::value *sub = pdf::get_resolved(a, "Subtype", &res_);
                if (!sub || !sub->is_name("Link")) continue;
                link_out l;
                if (read_link(*a, pl, &l)) {
                    l.sheet = sheet;
                    links_.push_back(std::move(l));
                }
            }
        });
    }

    bool read_link(const pdf::value &a, const placed_page &pl, link_out *l) {
        const pdf::value *rect = pdf::get_resolved(&a, "Rect", &res_);
        double r[4];
        for (size_t k = 0; k < 4; ++k) {
            const pdf::value *v = pdf::resolve(rect ? rect->at(k) : nullptr, &res_);
            if (!v || !v->is_number() || !std::isfinite(v->r)) return false;
            r[k] = v->r;
        }
        // A trimmed page leaves out links wholly outside its box.
        if (outside_trimmed(*pl.page, r)) return false;
        l->what = map_.find_target(&a);
        if (l->what.kind == target::none) return false;

        // The rectangle's corners, turned with the page: their bounding box.
        double lo_x = INFINITY, lo_y = INFINITY, hi_x = -INFINITY, hi_y = -INFINITY;
        for (int corner = 0; corner < 4; ++corner) {
            sheet_point p = point_on_sheet(pl, r[corner & 1 ? 2 : 0], r[corner & 2 ? 3 : 1]);
            lo_x = std::min(lo_x, p.x);
            lo_y = std::min(lo_y, p.y);
            hi_x = std::max(hi_x, p.x);
            hi_y = std::max(hi_y, p.y);
        }
        if (!std::isfinite(lo_x) || !std::isfinite(lo_y) || !std::isfinite(hi_x) ||
            !std::isfinite(hi_y))
            return false;
        l->geometry = " /Rect ";
        append_rect(l->geometry, lo_x, lo_y, hi_x, hi_y);

        // Quadrilaterals, point by point; left out unless whole.
        const pdf::value *qp = pdf::get_resolved(&a, "QuadPoints", &res_);
        if (qp && qp->is_array() && !qp->items.empty() && qp->items.size() % 8 == 0) {
            std::string q = " /QuadPoints [";
            bool whole = true;
            for (size_t k = 0; whole && k < qp->items.size(); k += 2) {
                const pdf::value *x = pdf::resolve(&qp->items[k], &res_);
                const pdf::value *y = pdf::resolve(&qp->items[k + 1], &res_);
                whole = x && y && x->is_number() && y->is_number();
                if (!whole) break;
                sheet_point p = point_on_sheet(pl, x->r, y->r);
                whole = std::isfinite(p.x) && std::isfinite(p.y);
                if (k) q += ' ';
                append_coord(q, p.x);
                q += ' ';
                append_coord(q, p.y);
            }
            if (whole) l->geometry += q + ']';
        }

        for (const char *key : {"Border", "BS", "C", "H"}) {
            const pdf::value *v = pdf::get_resolved(&a, key, &res_);
            if (v && !v->is_null()) l->look.emplace_back(key, v);
        }
        return true;
    }

    std::string body(const link_out &l, const transfer &tr) const {
        std::string s = "<< /Type /Annot /Subtype /Link";
        s += l.geometry;
        s += " /P ";
        put_int(s, c_.sn.page(l.sheet));
        s += " 0 R";
        for (const auto &[key, v] : l.look) {
            s += ' ';
            pdf::append_name(&s, key);
            s += ' ';
            append_value(s, *v, tr);
        }
        append_target(s, l.what, tr);
        s += " >>";
        return s;
    }

    part_context c_;
    doc_resolver &res_;
    dest_mapper map_;
    std::vector<link_out> links_;
};

}  // namespace

std::unique_ptr<extras::part> make_link_part(const part_context &c) {
    if (!(c.keep & SHEETLAY_KEEP_LINKS)) return nullptr;
    return std::make_unique<link_part>(c);
}

}  // namespace sheetlay::nup
