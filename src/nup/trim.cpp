// Trimming the page records (see trim.h).
#include "nup/trim.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "content/bbox.h"
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

}  // namespace

void trim_pages(doc *d, int32_t mode, double margin, bool annotations,
                const std::vector<int32_t> &pages) {
    if (mode == SHEETLAY_TRIM_NONE || !d || d->pages.count < 1) return;
    std::vector<char> seen(static_cast<size_t>(d->pages.count), 0);
    std::vector<int32_t> list;
    for (int32_t i : pages)
        if (i >= 0 && i < d->pages.count && !seen[static_cast<size_t>(i)]) {
            seen[static_cast<size_t>(i)] = 1;
            list.push_back(i);
        }
    std::sort(list.begin(), list.end());
    doc_resolver res(d);
    std::vector<content::result> found(list.size());
    // Pages that share their content, resources, annotations and box (a
    // document that repeats its pages) are read once.
    std::map<std::string, content::result> seen_content;
    const std::shared_ptr<content::font_cache> fonts = content::make_font_cache();
    for (size_t k = 0; k < list.size(); ++k) {
        const pageinfo &p = d->pages.items[list[k]];
        const pdf::value *pv = res.get(p.num);
        std::string key;
        if (pv && pv->is_dict()) {
            for (const char *name : {"Contents", "Resources", "Annots"}) {
                const pdf::value *v = pv->get(name);
                key += v ? pdf::to_text(*v) : std::string("-");
                key += '|';
            }
            key += std::to_string(p.res_from) + '|' + std::to_string(p.x0) + ' ' + std::to_string(p.y0) + ' ' +
                   std::to_string(p.x1) + ' ' + std::to_string(p.y1);
        }
        // Keys from short dictionaries only: a long direct value is read as it is.
        if (!key.empty() && key.size() < 4096) {
            auto it = seen_content.find(key);
            if (it != seen_content.end()) {
                found[k] = it->second;
                continue;
            }
        }
        found[k] = content::page_box(d, res, p, annotations, {}, fonts.get());
        if (!key.empty() && key.size() < 4096) seen_content.emplace(key, found[k]);
    }
    if (mode == SHEETLAY_TRIM_EACH) {
        for (size_t k = 0; k < list.size(); ++k) {
            // A page that draws nothing keeps its whole box.
            if (!found[k].ok || found[k].ink.empty()) continue;
            apply(d->pages.items[list[k]], found[k].ink, margin);
        }
        return;
    }
    // SAME: the union, relative to each page's lower-left corner.
    content::box all;
    for (size_t k = 0; k < list.size(); ++k) {
        const content::box v = visible(d->pages.items[list[k]]);
        const content::box &b = found[k].ok ? found[k].ink : v;
        if (b.empty()) continue;
        all.add(content::box{b.x0 - v.x0, b.y0 - v.y0, b.x1 - v.x0, b.y1 - v.y0});
    }
    if (all.empty()) return;
    for (int32_t i : list) {
        pageinfo &p = d->pages.items[i];
        const content::box v = visible(p);
        apply(p, content::box{v.x0 + all.x0, v.y0 + all.y0, v.x0 + all.x1, v.y0 + all.y1}, margin);
    }
}

bool outside_trimmed(const pageinfo &p, const double r[4]) {
    if (!p.trimmed) return false;
    const content::box v = visible(p);
    const double x0 = std::min(r[0], r[2]), x1 = std::max(r[0], r[2]);
    const double y0 = std::min(r[1], r[3]), y1 = std::max(r[1], r[3]);
    return x1 < v.x0 || x0 > v.x1 || y1 < v.y0 || y0 > v.y1;
}

}  // namespace sheetlay::nup
