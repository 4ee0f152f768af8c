// The page tree and the attributes of its pages: boxes, rotation and
// resources, with what /Pages nodes hand down to the pages below them.
//
// The list of pages is built once at load (collect_pages); the attributes
// the output needs later (effective rotation, resources) are read on demand
// from the page's own text, falling back to what was inherited.
#ifndef SHEETLAY_PDF_PAGES_H
#define SHEETLAY_PDF_PAGES_H

#include <cstdint>

#include "pdf/document.h"

namespace sheetlay {

// Walks the page tree from `tree` (the catalog's /Pages, or a lone page)
// into d->page_store and points d->pages at it. 0 on success; -1 with the
// error text set when the tree cannot be resolved (broken, cyclic, too
// deep, an inline page dictionary in /Kids) or holds no page.
// `lenient` (the options interface): a dictionary without /Type is a node
// when it has /Kids, else a page; a node met again is left out; a page
// dictionary written inside /Kids becomes an entry of its own, numbered
// after the file's objects (not in an encrypted file).
int collect_pages(doc *d, int32_t tree, bool lenient = false);

// The page box from the object's own /CropBox, else /MediaBox, else A4.
void fill_pageinfo(const unsigned char *t, int32_t len, const objvec *objs,
                   const obj_entry *e, pageinfo *pi);
// The object's own /Rotate reduced into 0..359, or -1 when it has none.
int32_t obj_rotate_own(const unsigned char *t, int32_t len, const obj_entry *e);
// A page's effective rotation (own /Rotate, else inherited), 0..359.
int32_t page_rotation(const doc *d, const pageinfo *pi, const obj_entry *page);
// The page's resource dictionary text (malloc'd, NUL-terminated), or null.
// `page_text`/`page_end` as the page's own text (a member's text, or the
// file text up to the end of its dictionary range); `inherited_from` is
// pageinfo.res_from: the /Pages node whose /Resources the page inherits
// when it has none of its own (-1 for none).
char *page_resources_dict(const unsigned char *t, int32_t len, const objvec *objs,
                          const unsigned char *page_text, int32_t page_end,
                          int32_t inherited_from);
// Convenience: the resources text of a page as the writer needs it.
char *page_resources(const doc *d, const pageinfo *pi, const obj_entry *page);

}  // namespace sheetlay

#endif
