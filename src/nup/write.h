// The n-up file as a whole: the entry of the output side.
//
// nup_doc checks the layout choices, sizes the grid and hands over to
// compose, which lays the file out object by object: catalog, page tree,
// for each sheet its page, the forms of its placed pages (nup/forms) and
// the content that draws them (nup/geometry gives where), then the
// carried objects (nup/transfer), the cross-reference table and trailer.
// The whole file is built in memory and only then written (nup/outfile).
//
// Object numbers are fixed before anything is written, so that every
// reference can be written at once: 1 catalog, 2 page tree, then per sheet
// its page, one form per slot and its content stream, then the carried
// objects.
#ifndef SHEETLAY_NUP_WRITE_H
#define SHEETLAY_NUP_WRITE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "pdf/document.h"
#include "nup/geometry.h"
#include "nup/pdfout.h"
#include "sheetlay.h"

namespace sheetlay {

class doc_resolver;

namespace nup {

// A laid-out job: the grid, the frames, and the cells in order (0-based
// page indices, -1 for a blank cell), sheet after sheet. A job of several
// inputs names each cell's input in `source` (empty: all from the first).
struct compose_job {
    grid g{};
    double border = 0;
    std::vector<int32_t> cells;
    std::vector<int32_t> source;
    uint32_t marks = 0;  // SHEETLAY_MARK_* bits
    uint32_t keep = 0;
    int32_t compress = 0;
    bool repair = false;  // carried text made valid syntax (nup/repair)
    // By input: the objects a trim parsed, taken by the links, annotations
    // and outline instead of parsed again (null or missing: none).
    std::vector<const doc_resolver *> parsed;
    sheetlay_progress_fn progress = nullptr;
    void *progress_user = nullptr;
};

// Builds the whole output file into `img`. Stops by an exception: a
// compose_error with the error text set, or an allocation failure.
void compose(doc *d, const compose_job &job, image &img);

// The same from several inputs: docs[k] is input k of job.source. Each
// input's carried objects are numbered after the previous input's; the
// document information is the first input's.
void compose(const std::vector<doc *> &docs, const compose_job &job, image &img);

// Runs `work`, turning what stops it into the error text; 1 when it ran
// through (the error text then emptied), else 0.
int guarded(const std::function<void()> &work);

}  // namespace nup

// Writes the n-up file of a loaded document to output_path: n pages per
// sheet (2, 4, 6, 9 or 16), order 0 left to right or 1 right to left,
// page_size 0 A4, 1 Letter, 2 A3 or negative for the first page's size,
// frames of border_width points (0 none). 1 on success; 0 with the error
// text set, and no file written.
int nup_doc(doc *d, const char *output_path, int32_t n, int32_t order, int32_t page_size,
            int32_t border_width);

}  // namespace sheetlay

#endif
