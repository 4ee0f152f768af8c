// The annotation part: reads each placed page's annotations, carries or
// builds their appearances and draws them on the sheets (see annots.h).
#include "nup/annots.h"

#include <algorithm>

#include <climits>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "nup/extras.h"
#include "nup/trim.h"
#include "pdf/resolve.h"

namespace sheetlay::nup {

using pdf::value;

namespace {

// Up to n numbers of an array (references followed); how many were read
// before the first item that is not a number.
int numbers(const value *arr, pdf::resolver *res, double *out, int n) {
    arr = pdf::resolve(arr, res);
    if (!arr || !arr->is_array()) return 0;
    int got = 0;
    for (size_t k = 0; k < arr->items.size() && got < n; ++k) {
        const value *v = pdf::resolve(&arr->items[k], res);
        if (!v || !v->is_number()) break;
        out[got++] = v->r;
    }
    return got;
}

// The mark of one annotation; false when it is not drawn.
bool mark_of(const value &annot, const value *acroform, pdf::resolver *res, annot_mark *out) {
    if (!annot.is_dict() || !annot_printable(annot, res)) return false;
    double rect[4];
    if (numbers(annot.get("Rect"), res, rect, 4) != 4) return false;
    for (int k = 0; k < 4; ++k) out->rect[k] = rect[k];
    const value *f = pdf::get_resolved(&annot, "F", res);
    out->no_rotate = f && f->k == pdf::kind::integer && (f->i & 16) != 0;
    if (needs_built_appearance(annot, acroform, res)) {
        if (!build_appearance(annot, acroform, res, &out->built)) return false;
        // An unchecked box without background draws nothing.
        if (out->built.content.empty()) return false;
        out->stream = 0;
        return placement_matrix(out->built.bbox, out->built.has_matrix ? out->built.matrix : nullptr,
                                out->built.rect, out->m);
    }
    const value *ap = normal_appearance(annot, res);
    if (!ap || !ap->is_ref() || ap->i <= 0 || ap->i > INT32_MAX) return false;
    const value *form = res->get(static_cast<int32_t>(ap->i));
    double bbox[4], matrix[6];
    if (!form || numbers(form->get("BBox"), res, bbox, 4) != 4) return false;
    const value *m = form->get("Matrix");
    bool has_matrix = m != nullptr;
    if (has_matrix && numbers(m, res, matrix, 6) != 6) return false;
    out->stream = static_cast<int32_t>(ap->i);
    return placement_matrix(bbox, has_matrix ? matrix : nullptr, rect, out->m);
}

// The page form's turn (see write_form) as a "cm" line, "" when unturned.
std::string turn_cm(const placed_page &pl) {
    const pageinfo &p = *pl.page;
    std::string s;
    switch (pl.rotation) {
        case 90:
            s = "0 -1 1 0 0 ";
            pdf::append_number(&s, p.x1);
            break;
        case 180:
            s = "-1 0 0 -1 ";
            pdf::append_number(&s, p.x1);
            s += ' ';
            pdf::append_number(&s, p.y1);
            break;
        case 270:
            s = "0 1 -1 0 ";
            pdf::append_number(&s, p.y1);
            s += " 0";
            break;
        default:
            return s;
    }
    s += " cm\n";
    return s;
}

void put_six(std::string &s, const double m[6]) {
    for (int k = 0; k < 6; ++k) {
        pdf::append_number(&s, m[k]);
        s += ' ';
    }
}

// What one page object shows: its marks, and for a built mark the output
// number its form gets.
struct page_entry {
    std::vector<annot_mark> marks;
    std::vector<int64_t> built_num;
};

class annotation_part : public extras::part {
public:
    explicit annotation_part(const part_context &c) : c_(c), res_(*c.res) {}

    void plan(transfer &tr) override {
        try {
            read_pages();
            for (const auto &[num, e] : pages_) note(tr, e);
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            pages_.clear();  // a part that fails adds nothing
        }
    }

    void build(const transfer &tr, added_objects &objs, additions &add) override {
        if (pages_.empty()) return;
        try {
            additions mine;
            std::vector<std::pair<int64_t, std::string>> texts;
            write_built(tr, objs, texts);
            // The names go on from those of the inputs before this one on
            // the same sheets.
            std::map<int64_t, int64_t> names = add.annot_names;
            draw(tr, mine, names);
            add.annot_names = std::move(names);
            for (auto &[num, text] : texts) objs.put(num, std::move(text));
            for (auto &[sheet, t] : mine.sheet_xobjects) add.sheet_xobjects[sheet] += t;
            for (auto &[key, t] : mine.after_slot) add.after_slot[key] += t;
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
        }
    }

private:
    // The marks of every page object the cells place, each object once.
    void read_pages() {
        const doc *d = c_.d;
        const value *acroform = nullptr;
        int32_t cat = d->catalog > 0 ? d->catalog : d->root;
        if (cat > 0) acroform = pdf::get_resolved(res_.get(cat), "AcroForm", &res_);
        if (acroform && !acroform->is_dict()) acroform = nullptr;
        for_each_cell(c_, [&](size_t, int32_t page) {
            if (page < 0 || page >= d->pages.count) return;
            int32_t num = d->pages.items[page].num;
            if (pages_.count(num)) return;
            page_entry &e = pages_[num];
            e.marks = annots_marks(c_.annots->get(num), acroform, &res_);
            // A trimmed page leaves out what lies wholly outside its box.
            const pageinfo &p = d->pages.items[page];
            std::erase_if(e.marks, [&p](const annot_mark &m) { return outside_trimmed(p, m.rect); });
        });
    }

    // Notes the input objects the marks refer to: a written appearance,
    // the fonts a built one names.
    static void note(transfer &tr, const page_entry &e) {
        std::string text;
        for (const annot_mark &m : e.marks) {
            text.clear();
            if (m.stream > 0) {
                put_int(text, m.stream);
                text += " 0 R";
            } else {
                pdf::serialize(m.built.resources, &text);
            }
            tr.gather(reinterpret_cast<const unsigned char *>(text.data()),
                      static_cast<int32_t>(text.size()));
        }
    }

    // Numbers and writes the forms of the built appearances.
    void write_built(const transfer &tr, added_objects &objs,
                     std::vector<std::pair<int64_t, std::string>> &texts) {
        const pdf::ref_map map = [&tr](int32_t num, int32_t) { return tr.lookup(num); };
        for (auto &[num, e] : pages_) {
            e.built_num.assign(e.marks.size(), 0);
            for (size_t k = 0; k < e.marks.size(); ++k) {
                const annot_mark &m = e.marks[k];
                if (m.stream > 0) continue;
                const appearance &a = m.built;
                int64_t n = objs.reserve();
                e.built_num[k] = n;
                std::string s;
                put_int(s, n);
                s += " 0 obj\n<< /Type /XObject /Subtype /Form /BBox [";
                for (int i = 0; i < 4; ++i) {
                    if (i) s += ' ';
                    pdf::append_number(&s, a.bbox[i]);
                }
                s += ']';
                if (a.has_matrix) {
                    s += " /Matrix [";
                    for (int i = 0; i < 6; ++i) {
                        if (i) s += ' ';
                        pdf::append_number(&s, a.matrix[i]);
                    }
                    s += ']';
                }
                s += " /Resources ";
                if (a.resources.is_dict()) pdf::serialize(a.resources, &s, map);
                else s += "<< >>";
                s += " /Length ";
                put_int(s, static_cast<int64_t>(a.content.size()));
                s += " >>\nstream\n";
                s += a.content;
                s += "\nendstream\nendobj\n";
                texts.emplace_back(n, std::move(s));
            }
        }
    }

    // The drawing after each placed page's line, and the sheets' names for
    // the forms it draws (/A0, /A1, ... per sheet).
    void draw(const transfer &tr, additions &mine, std::map<int64_t, int64_t> &names) {
        const int32_t n = c_.sn.n;
        for_each_cell(c_, [&](size_t c, int32_t page) {
            if (page < 0 || page >= c_.d->pages.count) return;
            auto it = pages_.find(c_.d->pages.items[page].num);
            if (it == pages_.end() || it->second.marks.empty()) return;
            const page_entry &e = it->second;
            const int64_t sheet = static_cast<int64_t>(c) / n;
            const int32_t slot = static_cast<int32_t>(static_cast<int64_t>(c) % n);
            placed_page pl = place_page(c_.d, *c_.memos, c_.job->g, page, static_cast<int64_t>(c));
            std::string body;
            std::string &xo = mine.sheet_xobjects[sheet];
            for (size_t k = 0; k < e.marks.size(); ++k) {
                const annot_mark &m = e.marks[k];
                int64_t form = m.stream > 0 ? tr.lookup(m.stream) : e.built_num[k];
                if (form <= 0) continue;
                int64_t name = names[sheet]++;
                xo += "/A";
                put_int(xo, name);
                xo += ' ';
                put_int(xo, form);
                xo += " 0 R ";
                body += "q ";
                if (m.no_rotate && pl.rotation % 360 != 0) {
                    double up[6];
                    upright_matrix(m.m, m.rect, pl.rotation, up);
                    put_six(body, up);
                } else {
                    put_six(body, m.m);
                }
                body += "cm /A";
                put_int(body, name);
                body += " Do Q\n";
            }
            if (xo.empty()) mine.sheet_xobjects.erase(sheet);
            if (body.empty()) return;
            std::string &t = mine.after_slot[{sheet, slot}];
            t += slot_opening(pl);
            t += body;
            t += "Q\n";
        });
    }

    part_context c_;
    doc_resolver &res_;
    std::map<int32_t, page_entry> pages_;  // by page object number
};

}  // namespace

void upright_matrix(const double m[6], const double rect[4], int32_t rotation, double out[6]) {
    // The page is shown turned clockwise; the appearance turns the other
    // way (counter-clockwise in user space) about its pinned corner.
    int32_t r = ((rotation % 360) + 360) % 360;
    double c = 1, s = 0;
    if (r == 90) c = 0, s = 1;
    else if (r == 180) c = -1, s = 0;
    else if (r == 270) c = 0, s = -1;
    const double px = std::min(rect[0], rect[2]), py = std::max(rect[1], rect[3]);
    const double t[6] = {c, s, -s, c, px - (px * c - py * s), py - (px * s + py * c)};
    // out = m then t (row vectors: out = m x t).
    out[0] = m[0] * t[0] + m[1] * t[2];
    out[1] = m[0] * t[1] + m[1] * t[3];
    out[2] = m[2] * t[0] + m[3] * t[2];
    out[3] = m[2] * t[1] + m[3] * t[3];
    out[4] = m[4] * t[0] + m[5] * t[2] + t[4];
    out[5] = m[4] * t[1] + m[5] * t[3] + t[5];
}

std::vector<annot_mark> page_marks(const value *page, const value *acroform, pdf::resolver *res) {
    return annots_marks(pdf::get_resolved(page, "Annots", res), acroform, res);
}

std::vector<annot_mark> annots_marks(const value *annots, const value *acroform, pdf::resolver *res) {
    std::vector<annot_mark> out;
    if (!annots || !annots->is_array()) return out;
    for (const value &item : annots->items) {
        try {
            const value *a = pdf::resolve(&item, res);
            annot_mark m;
            if (a && mark_of(*a, acroform, res, &m)) out.push_back(std::move(m));
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            // Unreadable: left out.
        }
    }
    return out;
}

std::string slot_opening(const placed_page &pl) {
    std::string s = "q ";
    if (pl.at.upright) {
        pdf::append_number(&s, pl.at.s);
        s += " 0 0 ";
        pdf::append_number(&s, pl.at.s);
    } else {
        const double m[4] = {pl.at.a, pl.at.b, pl.at.c, pl.at.d};
        for (int k = 0; k < 4; ++k) {
            if (k) s += ' ';
            pdf::append_number(&s, m[k]);
        }
    }
    s += ' ';
    pdf::append_number(&s, pl.at.tx);
    s += ' ';
    pdf::append_number(&s, pl.at.ty);
    s += " cm\n";
    s += turn_cm(pl);
    norm_box b = normalise(*pl.page);
    pdf::append_number(&s, b.lx);
    s += ' ';
    pdf::append_number(&s, b.ly);
    s += ' ';
    pdf::append_number(&s, b.w);
    s += ' ';
    pdf::append_number(&s, b.h);
    s += " re W n\n";
    return s;
}

std::unique_ptr<extras::part> make_annotation_part(const part_context &c) {
    if (!c.d || !c.job || !c.memos || c.sn.n <= 0 || !(c.keep & SHEETLAY_KEEP_ANNOTATIONS))
        return nullptr;
    return std::make_unique<annotation_part>(c);
}

}  // namespace sheetlay::nup
