// Object discovery: where each object of the file stands, and which one is
// the catalog.
//
// The whole file is scanned for "N G obj" headers rather than trusting the
// cross-reference data: damaged and rewritten files often carry tables that
// point to the wrong bytes, while the headers themselves are almost always
// intact. The price is that stream data can hold text that looks like a
// header, and that a body can lose its "endobj"; the stages below sort
// such false headers and runaway bodies out.
#ifndef SHEETLAY_PDF_INDEX_H
#define SHEETLAY_PDF_INDEX_H

#include <cstdint>
#include <vector>

#include "pdf/document.h"

namespace sheetlay {

// Work allowed for reading the dictionaries of the stream objects during one
// load. The dictionaries of the objects of a sound file do not overlap, so
// reading each of them reads each byte of the file about once. Damaged files
// can hold many headers whose dictionaries nest into one another, and can
// let many headers claim one stream; there the budget caps the work, and an
// object whose dictionary is no longer read counts as damaged.
struct dict_budget {
    int64_t left;
    bool take(int64_t n) {
        if (n < 0) n = 0;
        if (n > left) {
            left = 0;
            return false;
        }
        left -= n;
        return true;
    }
};

// Which stream entries' dictionaries may be read at `factor` bytes of budget
// per byte of dictionary: the shortest first, since the headers nested
// into damaged dictionaries reach furthest.
std::vector<char> dicts_allowed(const std::vector<obj_entry> &v, int32_t len, dict_budget &budget,
                                int64_t factor);

// Fills d->obj_store from the file image: every object header, the extent of each
// stream's data (its /Length when that is right, else the next
// "endstream"), then drops the headers that stand inside stream data and
// ends bodies that run into the next object. `dict_work` bounds the reading
// of stream dictionaries. `cuts`: where the file's scan is cut into pieces
// (see scan_objects in pdf/objscan.h; null: by the file's size).
void find_objects(doc *d, int64_t dict_work, const std::vector<int32_t> *cuts = nullptr);

// Keeps one entry per object number (an object written in the file beats a
// member of an object stream; among equals the later one wins, as updates
// are appended), builds the look-up by number and points d->objs at the
// result. `is_objstm` marks the object streams among the first entries;
// the entries after them are members.
void reduce_index(doc *d, const std::vector<char> &is_objstm);

// Chooses the catalog (the trailer's /Root when it exists, else the first
// object that names /Catalog, else object 1) and returns the root of its
// page tree; -1 with the error text set when there is none.
int32_t find_page_tree(doc *d);

}  // namespace sheetlay

#endif
