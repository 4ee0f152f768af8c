// Trimming the page records (see trim.h).
#include "nup/trim.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "content/bbox.h"
#include "pdf/lexer.h"
#include "pdf/resolve.h"
#include "sheetlay.h"

namespace sheetlay::nup {

namespace {

content::box visible(const pageinfo &p) {
    return {std::min(p.x0, p.x1), std::min(p.y0, p.y1), std::max(p.x0, p.x1), std::max(p.y0, p.y1)};
}

// Sets the page's box to `b` (in its own coordinates) grown by the margin
// and cut to its visible box; a box left without area keeps the page.
void apply(pageinfo &p, content::box b, double margin) {
    const content::box v = visible(p);
    b.x0 -= margin;
    b.y0 -= margin;
    b.x1 += margin;
    b.y1 += margin;
    b.clip(v);
    if (b.empty() || !(b.x1 - b.x0 > 0.01) || !(b.y1 - b.y0 > 0.01)) return;
    p.x0 = b.x0;
    p.y0 = b.y0;
    p.x1 = b.x1;
    p.y1 = b.y1;
    p.trimmed = 1;
}

// An estimate of the work a page's box takes, in bytes of stored
// (compressed) content: its content streams, the form XObjects its
// resources name (figures are often forms, read as content too; images
// cost nothing to read past), and a share for what every page costs
// whatever its size (its dictionary, resources, fonts looked up), which
// measures about as much as 3 KB of content. The workers take the pages
// in the order of this measure, largest first.
constexpr int64_t kPageCost = 3072;
// Each form costs about as much as 300 bytes of content beyond its own
// (its dictionary and resources read, its stream decoded).
constexpr int64_t kFormCost = 300;

int64_t stored_size(const doc *d, const pdf::value *v) {
    if (!v || !v->is_ref() || v->i <= 0 || v->i > INT32_MAX) return 0;
    const obj_entry *e = objvec_find(&d->objs, static_cast<int32_t>(v->i));
    return e && e->is_stream && e->data_end > e->data_start ? e->data_end - e->data_start : 0;
}

// The forms among `xobjects` (and, from the page's own, the forms these
// name in turn: a figure is often made of many small forms), each at its
// stored size and kFormCost; at most `left` entries are looked at.
int64_t forms_size(const doc *d, doc_resolver *res, const pdf::value *xobjects, int depth, size_t *left) {
    if (!xobjects || !xobjects->is_dict()) return 0;
    int64_t n = 0;
    for (const pdf::dict_entry &en : xobjects->entries) {
        const pdf::value &v = en.val;
        if (*left == 0) break;  // an estimate: a bounded look is enough
        --*left;
        const int64_t size = stored_size(d, &v);
        if (size <= 0) continue;
        // A form says so in its dictionary's text; looked for there
        // rather than parsed (the estimate is made before the workers
        // start, so it should cost little).
        const obj_entry *e = objvec_find(&d->objs, static_cast<int32_t>(v.i));
        const unsigned char *t = nullptr;
        int32_t tlen = 0, start = 0, end = 0;
        if (!e || !dict_range(d->data, d->len, e, &t, &tlen, &start, &end) || end <= start) continue;
        const std::string_view text(reinterpret_cast<const char *>(t) + start, static_cast<size_t>(end - start));
        if (text.find("/Form") == std::string_view::npos) continue;
        n += size + kFormCost;
        if (depth == 0 && text.find("/XObject") != std::string_view::npos) {
            const pdf::value *fres = pdf::get_resolved(res->get(static_cast<int32_t>(v.i)), "Resources", res);
            n += forms_size(d, res, pdf::get_resolved(fres, "XObject", res), depth + 1, left);
        }
    }
    return n;
}

int64_t content_size(const doc *d, doc_resolver *res, const pdf::value *pv, const pdf::value *resources) {
    if (!pv || !pv->is_dict()) return 0;
    const pdf::value *c = pv->get("Contents");
    int64_t n = kPageCost;
    if (c && c->is_ref() && res->is_stream(static_cast<int32_t>(c->i))) {
        n += stored_size(d, c);
    } else if (const pdf::value *arr = pdf::resolve(c, res); arr && arr->is_array()) {
        for (const pdf::value &it : arr->items) n += stored_size(d, &it);
    }
    size_t left = 1000;
    return n + forms_size(d, res, pdf::get_resolved(resources, "XObject", res), 0, &left);
}

// What the job after the trim reads of a page's annotations, read ahead by
// the trim's workers so that the job takes it parsed (doc_resolver's
// charged base): each annotation, and a link's destination and action.
// Only a head start: what is read here decides nothing.
constexpr size_t kMaxReadAhead = 100000;

void read_annotations(doc_resolver &res, const pdf::value *page) {
    const pdf::value *annots = pdf::get_resolved(page, "Annots", &res);
    if (!annots || !annots->is_array()) return;
    for (size_t k = 0; k < annots->items.size() && k < kMaxReadAhead; ++k) {
        const pdf::value *a = pdf::resolve(&annots->items[k], &res);
        if (!a || !a->is_dict()) continue;
        const pdf::value *sub = pdf::get_resolved(a, "Subtype", &res);
        if (!sub || !sub->is_name("Link")) continue;
        pdf::resolve(a->get("Dest"), &res);
        pdf::get_resolved(pdf::get_resolved(a, "A", &res), "D", &res);
    }
}

// The nodes of the document's tree of named destinations, which the job's
// links look their names up in.
void read_dest_tree(const doc *d, doc_resolver &res) {
    const pdf::value *cat = d->catalog > 0 ? res.get(d->catalog) : nullptr;
    std::vector<const pdf::value *> stack{pdf::get_resolved(pdf::get_resolved(cat, "Names", &res), "Dests", &res)};
    std::unordered_set<int64_t> seen;  // a kid met again is not walked again: a loop ends
    for (size_t nodes = 0; !stack.empty() && nodes < kMaxReadAhead; ++nodes) {
        const pdf::value *node = stack.back();
        stack.pop_back();
        const pdf::value *kids = pdf::get_resolved(node, "Kids", &res);
        if (!kids || !kids->is_array()) continue;
        for (size_t k = kids->items.size(); k-- > 0;) {
            const pdf::value &kid = kids->items[k];
            if (!kid.is_ref() || !seen.insert(kid.i).second) continue;
            const pdf::value *kv = pdf::resolve(&kid, &res);
            if (kv && kv->is_dict()) stack.push_back(kv);
        }
    }
}

// What a page's record adds to the text that finds pages alike: where its
// resources are inherited from, and its box.
std::string box_text(const pageinfo &p) {
    return std::to_string(p.res_from) + '|' + std::to_string(p.x0) + ' ' + std::to_string(p.y0) + ' ' +
           std::to_string(p.x1) + ' ' + std::to_string(p.y1);
}

}  // namespace

std::unique_ptr<doc_resolver> trim_pages(doc *d, int32_t mode, double margin, bool annotations,
                                         const std::vector<int32_t> &pages, bool read_ahead) {
    if (mode == SHEETLAY_TRIM_NONE || !d || d->pages.count < 1) return nullptr;
    std::vector<char> seen(static_cast<size_t>(d->pages.count), 0);
    std::vector<int32_t> list;
    for (int32_t i : pages)
        if (i >= 0 && i < d->pages.count && !seen[static_cast<size_t>(i)]) {
            seen[static_cast<size_t>(i)] = 1;
            list.push_back(i);
        }
    std::sort(list.begin(), list.end());
    std::vector<content::result> found(list.size());
    std::vector<size_t> twin(list.size());  // the page read in this one's stead
    std::vector<size_t> order;  // the pages to read (not twins), largest first
    // The page dictionaries, read here, then read by both workers; in the
    // end all the workers read too, handed to the job.
    auto pre_owner = std::make_unique<doc_resolver>(d);
    doc_resolver &pre = *pre_owner;
    // The fonts the pages name: named here, each read once by whichever
    // worker needs it first.
    const std::shared_ptr<content::font_store> fonts = content::make_font_store();
    {
        doc_resolver &res = pre;
        // Pages that share their content, resources, annotations and box (a
        // document that repeats its pages) are read once.
        std::map<std::string, std::vector<size_t>> same_text, same_contents;
        std::vector<std::string> keys(list.size()), boxes(list.size());
        auto box_of = [&](size_t k) -> const std::string & {
            if (boxes[k].empty()) boxes[k] = box_text(d->pages.items[list[k]]);
            return boxes[k];
        };
        // A page's key, worked out on first use (keys from short
        // dictionaries only are compared: a long direct value is read as
        // it is).
        auto key_of = [&](size_t k) -> const std::string & {
            std::string &key = keys[k];
            if (!key.empty()) return key;
            const pageinfo &p = d->pages.items[list[k]];
            const pdf::value *pv = res.get(p.num);
            for (const char *name : {"Contents", "Resources", "Annots"}) {
                const pdf::value *v = pv->get(name);
                key += v ? pdf::to_text(*v) : std::string("-");
                key += '|';
            }
            key += box_of(k);
            return key;
        };
        std::vector<std::pair<int64_t, size_t>> sized;  // estimated work, page
        for (size_t k = 0; k < list.size(); ++k) {
            const pageinfo &p = d->pages.items[list[k]];
            twin[k] = k;
            // First by the page object's own text: pages written alike (a
            // document made of copies of another) are found without being
            // parsed. Not in encrypted files, whose strings decrypt by
            // object number.
            const obj_entry *e = d->crypt ? nullptr : objvec_find(&d->objs, p.num);
            const unsigned char *body = nullptr;
            int32_t body_len = 0;
            if (e && !e->is_stream && obj_body(d->data, d->len, e, &body, &body_len) && body_len > 0 &&
                body_len < 4096) {
                std::vector<size_t> &alike =
                    same_text[std::string(reinterpret_cast<const char *>(body), static_cast<size_t>(body_len))];
                for (size_t j : alike)
                    if (box_of(j) == box_of(k)) {
                        twin[k] = j;
                        break;
                    }
                if (twin[k] != k) continue;
                alike.push_back(k);
            }
            const pdf::value *pv = res.get(p.num);
            // The whole key (contents, resources, annotations, box) only
            // for pages whose contents an earlier page shows too: writing
            // out every page's resources would cost more than the pages
            // it finds alike in most documents.
            if (pv && pv->is_dict()) {
                const pdf::value *c = pv->get("Contents");
                std::vector<size_t> &alike = same_contents[c ? pdf::to_text(*c) : std::string("-")];
                if (!alike.empty()) {
                    const std::string &mine = key_of(k);
                    for (size_t j : alike)
                        if (mine.size() < 4096 && key_of(j) == mine) {
                            twin[k] = j;
                            break;
                        }
                    if (twin[k] != k) continue;
                }
                alike.push_back(k);
            }
            const pdf::value *resources = pdf::get_resolved(pv, "Resources", &res);
            if (!resources && p.res_from > 0) resources = pdf::get_resolved(res.get(p.res_from), "Resources", &res);
            content::store_fonts(fonts.get(), res, resources);
            sized.push_back({content_size(d, &res, pv, resources), k});
        }
        std::stable_sort(sized.begin(), sized.end(),
                         [](const auto &a, const auto &b) { return a.first > b.first; });
        for (const auto &[size, k] : sized) order.push_back(k);
    }
    // Pages are read on two threads, this one and a helper: interpreting
    // content is most of a trimmed job's work (on one core the second
    // thread costs only its start). They are handed out one at a time,
    // largest first, to whichever worker is free, so that the workers end
    // close together (the last pages handed out are small ones). Each
    // worker has its own resolver and font cache (the document, the objects
    // read above and the font store are only read), and a page's box
    // depends on nothing read for another page, so which worker reads a
    // page changes nothing as long as no worker runs out of its resolver's
    // budget or a font's glyph budget. Should one run out, all pages are
    // read again by one reader in page order: the boxes never depend on
    // the threads' timing.
    // Before the pages, the fonts the pages name are handed out the same
    // way, so that the two read different fonts at first (a page whose
    // font the other worker is reading waits for it).
    // With read_ahead, the tree of named destinations is read between the
    // fonts and the pages, and each page's annotations after its box, into
    // a resolver of their own (`ahead`: what it reads, or a budget it runs
    // out of, changes no box).
    const size_t font_tasks = content::stored_fonts(*fonts) + (read_ahead ? 1 : 0);
    std::atomic<size_t> next{0};
    std::atomic<bool> spent{false};
    doc_resolver res0(d, &pre), res1(d, &pre);  // kept to the end: stored fonts point into them
    doc_resolver ahead0(d, &pre), ahead1(d, &pre);
    auto run = [&](doc_resolver &res, doc_resolver &ahead) {
        const std::shared_ptr<content::font_cache> cache = content::make_font_cache(fonts.get());
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < font_tasks + order.size();) {
            if (read_ahead && i + 1 == font_tasks) {
                read_dest_tree(d, ahead);
                continue;
            }
            if (i < font_tasks) {
                content::read_stored_font(fonts.get(), i, d, res);
                continue;
            }
            const size_t k = order[i - font_tasks];
            const pageinfo &p = d->pages.items[list[k]];
            found[k] = content::page_box(d, res, p, annotations, {}, cache.get());
            if (read_ahead) read_annotations(ahead, ahead.get(p.num));
        }
        if (res.spent() || content::glyphs_spent(*cache)) spent.store(true, std::memory_order_relaxed);
    };
    std::exception_ptr failed;
    std::thread helper;
    if (font_tasks + order.size() > 1) {
        try {
            helper = std::thread([&] {
                try {
                    run(res1, ahead1);
                } catch (...) {
                    failed = std::current_exception();
                }
            });
        } catch (const std::system_error &) {
            // No thread to be had: this one reads every page.
        }
    }
    try {
        run(res0, ahead0);
    } catch (...) {
        if (helper.joinable()) helper.join();
        throw;
    }
    if (helper.joinable()) helper.join();
    if (failed) std::rethrow_exception(failed);
    const bool share = !spent.load(std::memory_order_relaxed) && !pre.spent();
    if (share) {
        // Each worker parsed only what the sizing pass had not; an object
        // both parsed is the same value from either.
        pre.adopt(res0);
        pre.adopt(res1);
        // What was read ahead only when none of it was refused for the
        // budget (a refused object reads as missing, which the job's own
        // parse might not give).
        for (doc_resolver *a : {&ahead0, &ahead1})
            if (!a->spent()) pre.adopt(*a);
    } else {
        std::sort(order.begin(), order.end());
        doc_resolver res(d, &pre);
        const std::shared_ptr<content::font_cache> cache = content::make_font_cache();
        for (size_t k : order) found[k] = content::page_box(d, res, d->pages.items[list[k]], annotations, {}, cache.get());
    }
    for (size_t k = 0; k < list.size(); ++k)
        if (twin[k] != k) found[k] = found[twin[k]];
    if (mode == SHEETLAY_TRIM_EACH) {
        for (size_t k = 0; k < list.size(); ++k) {
            // A page that draws nothing keeps its whole box.
            if (!found[k].ok || found[k].ink.empty()) continue;
            apply(d->pages.items[list[k]], found[k].ink, margin);
        }
        return share ? std::move(pre_owner) : nullptr;
    }
    // SAME: the union, relative to each page's lower-left corner.
    content::box all;
    for (size_t k = 0; k < list.size(); ++k) {
        const content::box v = visible(d->pages.items[list[k]]);
        const content::box &b = found[k].ok ? found[k].ink : v;
        if (b.empty()) continue;
        all.add(content::box{b.x0 - v.x0, b.y0 - v.y0, b.x1 - v.x0, b.y1 - v.y0});
    }
    if (!all.empty()) {
        for (int32_t i : list) {
            pageinfo &p = d->pages.items[i];
            const content::box v = visible(p);
            apply(p, content::box{v.x0 + all.x0, v.y0 + all.y0, v.x0 + all.x1, v.y0 + all.y1}, margin);
        }
    }
    return share ? std::move(pre_owner) : nullptr;
}

bool outside_trimmed(const pageinfo &p, const double r[4]) {
    if (!p.trimmed) return false;
    const content::box v = visible(p);
    const double x0 = std::min(r[0], r[2]), x1 = std::max(r[0], r[2]);
    const double y0 = std::min(r[1], r[3]), y1 = std::max(r[1], r[3]);
    return x1 < v.x0 || x0 > v.x1 || y1 < v.y0 || y0 > v.y1;
}

}  // namespace sheetlay::nup
