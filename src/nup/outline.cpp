// The outline (bookmarks) on the sheets: the input's outline tree written
// anew, each item retargeted to the sheet that holds its page.
//
// The items are not carried as objects: each names its parent and
// neighbours and a destination on an input page, all of which change. The
// tree is read once, depth first without recursion, each object at most
// once (a loop through /First or /Next ends where it comes back) and at
// most kMaxItems items, then written in the order it was read so that its
// numbering is fixed by the input alone. An item whose page is on no sheet
// keeps its place (its children may still have theirs) without a target.
// The open state travels as the sign of /Count, recomputed over what was
// kept.
#include <cmath>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "nup/destmap.h"
#include "nup/extras.h"
#include "sheetlay.h"

namespace sheetlay::nup {

namespace {

constexpr size_t kMaxItems = 100000;
constexpr size_t kMaxNesting = 10000;

struct item {
    int32_t parent = -1;
    std::vector<int32_t> kids;
    bool open = false;
    const pdf::value *title = nullptr;
    std::string look;  // " /C [...]" and " /F n"
    target what;
};

class outline_part : public extras::part {
public:
    explicit outline_part(const part_context &c) : c_(c), res_(*c.res), map_(c, res_) {}

    void plan(transfer &tr) override {
        try {
            read_tree();
            for (const item &it : items_) gather_target(tr, it.what);
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            items_.clear();
            top_.clear();
        }
    }

    void build(const transfer &tr, added_objects &objs, additions &add) override {
        if (top_.empty()) return;
        std::vector<std::string> texts;
        auto &join = add.outline;
        // The first outline of a job writes the root; a later input's items
        // join its top level after the items already there.
        const bool joining = join.root > 0;
        const int64_t root = joining ? join.root : objs.next();
        const int64_t first = joining ? objs.next() : root + 1;  // items in read order
        int64_t shown = 0;
        try {
            texts = write_items(tr, root, first, &shown);
        } catch (const std::bad_alloc &) {
            throw;
        } catch (...) {
            return;
        }
        if (!joining && objs.reserve() != root) return;
        for (size_t i = 0; i < items_.size(); ++i) objs.reserve();
        auto wrap = [](int64_t num, const std::string &text) {
            std::string obj;
            put_int(obj, num);
            obj += " 0 obj\n";
            obj += text;
            obj += "\nendobj\n";
            return obj;
        };
        // Adds an entry to an item already written, right after its "<<".
        auto add_entry = [](std::string &obj, const char *key, int64_t num) {
            const size_t at = obj.find("<<");
            if (at == std::string::npos) return;
            std::string e = key;
            put_int(e, num);
            e += " 0 R";
            obj.insert(at + 2, e);
        };
        const int64_t head = first + top_.front(), tail = first + top_.back();
        for (size_t i = 1; i < texts.size(); ++i) {
            const int64_t num = first + static_cast<int64_t>(i) - 1;
            std::string obj = wrap(num, texts[i]);
            if (joining && num == head) add_entry(obj, " /Prev ", join.last);
            objs.put(num, std::move(obj));
        }
        if (!joining) {
            objs.put(root, wrap(root, texts[0]));
            join = {root, head, tail, shown};
            add.catalog += " /Outlines ";
            put_int(add.catalog, root);
            add.catalog += " 0 R";
            if (use_outlines_) add.catalog += " /PageMode /UseOutlines";
            return;
        }
        if (std::string *prev = objs.text(join.last)) add_entry(*prev, " /Next ", head);
        join.last = tail;
        join.count += shown;
        std::string r = "<< /Type /Outlines /First ";
        put_int(r, join.first);
        r += " 0 R /Last ";
        put_int(r, join.last);
        r += " 0 R /Count ";
        put_int(r, join.count);
        r += " >>";
        objs.put(root, wrap(root, r));
    }

private:
    void read_tree() {
        const pdf::value *cat = c_.d->catalog > 0 ? res_.get(c_.d->catalog) : nullptr;
        const pdf::value *pm = pdf::get_resolved(cat, "PageMode", &res_);
        use_outlines_ = pm && pm->is_name("UseOutlines");
        const pdf::value *outlines = pdf::get_resolved(cat, "Outlines", &res_);
        if (!outlines || !outlines->is_dict()) return;

        // Each frame walks one list of siblings: its parent and the next one.
        struct frame {
            int32_t parent;
            const pdf::value *next;
        };
        std::vector<frame> stack{{-1, outlines->get("First")}};
        std::unordered_set<int64_t> seen;
        std::unordered_set<const pdf::value *> seen_direct{outlines};
        // The root is no item: an item that leads back to it ends there.
        if (const pdf::value *r = cat ? cat->get("Outlines") : nullptr; r && r->is_ref()) seen.insert(r->i);
        while (!stack.empty() && items_.size() < kMaxItems) {
            const pdf::value *cur = stack.back().next;
            const pdf::value *d = nullptr;
            if (cur && cur->is_ref()) {
                if (seen.insert(cur->i).second) d = pdf::resolve(cur, &res_);
            } else if (cur && seen_direct.insert(cur).second) {
                d = cur;
            }
            if (!d || !d->is_dict()) {
                stack.pop_back();
                continue;
            }
            const int32_t parent = stack.back().parent;
            stack.back().next = d->get("Next");
            const int32_t idx = static_cast<int32_t>(items_.size());
            items_.push_back(read_item(*d, parent));
            (parent >= 0 ? items_[static_cast<size_t>(parent)].kids : top_).push_back(idx);
            const pdf::value *kid = d->get("First");
            if (kid && stack.size() < kMaxNesting) stack.push_back({idx, kid});
        }
    }

    item read_item(const pdf::value &d, int32_t parent) {
        item it;
        it.parent = parent;
        const pdf::value *count = pdf::get_resolved(&d, "Count", &res_);
        it.open = count && count->is_number() && count->r > 0;
        const pdf::value *title = pdf::get_resolved(&d, "Title", &res_);
        if (title && title->is_string()) it.title = title;
        const pdf::value *col = pdf::get_resolved(&d, "C", &res_);
        if (col && col->is_array() && col->items.size() == 3) {
            std::string c = " /C [";
            bool ok = true;
            for (size_t k = 0; ok && k < 3; ++k) {
                const pdf::value *v = pdf::resolve(&col->items[k], &res_);
                ok = v && v->is_number() && std::isfinite(v->r);
                if (!ok) break;
                if (k) c += ' ';
                append_coord(c, v->r);
            }
            if (ok) it.look += c + ']';
        }
        const pdf::value *f = pdf::get_resolved(&d, "F", &res_);
        if (f && f->k == pdf::kind::integer) {
            it.look += " /F ";
            put_int(it.look, f->i);
        }
        it.what = map_.find_target(&d);
        return it;
    }

    // The texts of the root (first) and of every item, numbered from `root`.
    std::vector<std::string> write_items(const transfer &tr, int64_t root, int64_t first,
                                         int64_t *shown) const {
        const size_t n = items_.size();
        // Items shown under each one when it is open; kids follow their
        // parent in read order, so one backward pass sums them.
        std::vector<int64_t> visible(n, 0);
        for (size_t i = n; i-- > 0;)
            for (int32_t k : items_[i].kids)
                visible[i] += 1 + (items_[static_cast<size_t>(k)].open ? visible[static_cast<size_t>(k)] : 0);
        int64_t top_visible = 0;
        for (int32_t k : top_)
            top_visible += 1 + (items_[static_cast<size_t>(k)].open ? visible[static_cast<size_t>(k)] : 0);
        *shown = top_visible;

        auto ref = [&](std::string &s, const char *key, int64_t num) {
            s += key;
            put_int(s, num);
            s += " 0 R";
        };
        auto siblings = [&](std::string &s, const std::vector<int32_t> &list) {
            ref(s, " /First ", first + list.front());
            ref(s, " /Last ", first + list.back());
        };

        std::vector<std::string> out(n + 1);
        std::string &r = out[0];
        r = "<< /Type /Outlines";
        siblings(r, top_);
        r += " /Count ";
        put_int(r, top_visible);
        r += " >>";

        auto write_list = [&](const std::vector<int32_t> &list, int64_t parent_num) {
            for (size_t j = 0; j < list.size(); ++j) {
                const size_t i = static_cast<size_t>(list[j]);
                const item &it = items_[i];
                std::string &s = out[i + 1];
                s = "<< /Title ";
                if (it.title)
                    pdf::serialize(*it.title, &s);
                else
                    s += "()";
                ref(s, " /Parent ", parent_num);
                if (j > 0) ref(s, " /Prev ", first + list[j - 1]);
                if (j + 1 < list.size()) ref(s, " /Next ", first + list[j + 1]);
                if (!it.kids.empty()) {
                    siblings(s, it.kids);
                    s += " /Count ";
                    put_int(s, it.open ? visible[i] : -visible[i]);
                }
                append_target(s, it.what, tr);
                s += it.look;
                s += " >>";
            }
        };
        write_list(top_, root);
        for (size_t i = 0; i < n; ++i)
            if (!items_[i].kids.empty()) write_list(items_[i].kids, first + static_cast<int64_t>(i));
        return out;
    }

    part_context c_;
    doc_resolver &res_;
    dest_mapper map_;
    std::vector<item> items_;  // in read order (depth first)
    std::vector<int32_t> top_;
    bool use_outlines_ = false;
};

}  // namespace

std::unique_ptr<extras::part> make_outline_part(const part_context &c) {
    if (!(c.keep & SHEETLAY_KEEP_OUTLINE)) return nullptr;
    return std::make_unique<outline_part>(c);
}

}  // namespace sheetlay::nup
