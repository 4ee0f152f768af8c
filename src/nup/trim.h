// Trimming: each selected page's visible box replaced by the box around
// what it draws (content/bbox), grown by a margin, before the layout sees
// the page.
//
// The page records are the one place the rest of the output reads a page's
// box from (its form's /BBox, its placement in the cell, the clip of its
// annotations, the place of its links), so changing them there is all a
// trim needs. EACH gives every page its own box; SAME gives every page of
// one input the union of their boxes, taken from each page's lower-left
// corner, so that pages keep their alignment. A page whose content cannot
// be read keeps its whole box (in SAME, the union then is the whole box).
#ifndef SHEETLAY_NUP_TRIM_H
#define SHEETLAY_NUP_TRIM_H

#include <cstdint>
#include <memory>
#include <vector>

#include "pdf/document.h"
#include "pdf/resolve.h"

namespace sheetlay::nup {

// Trims the pages of d listed by index in `pages` (repeats, blanks (-1)
// and indices out of range are passed over) by `mode` (SHEETLAY_TRIM_*)
// with `margin` points kept around the ink; `annotations`: the printable
// annotations count as ink. Called once per loaded input. Returns the
// objects the trim parsed (page dictionaries, annotations, resources), for
// the job to take instead of parsing them again (see doc_resolver's charged
// base); null when there are none or a budget ran out while reading them
// (what a budget refused is not what the job's own parse would give).
// `read_ahead`: the workers also read what the job's links and annotations
// will (the pages' annotations, the named destinations' tree), to hand over.
std::unique_ptr<doc_resolver> trim_pages(doc *d, int32_t mode, double margin, bool annotations,
                                         const std::vector<int32_t> &pages, bool read_ahead = false);

// Whether a rectangle (x0 y0 x1 y1, any corner order) lies wholly outside
// a trimmed page's box: such links and annotations are left out.
bool outside_trimmed(const pageinfo &p, const double r[4]);

}  // namespace sheetlay::nup

#endif
