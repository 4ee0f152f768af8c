// A job given by options, from the loaded document to the finished file:
// the page selection (and booklet order) becomes the cells, the first
// selected page and the orientation rule give the sheet, margins and gaps
// cut it into the grid, and compose (nup/write) builds the file.
//
// The fixed-grid entry (nup_doc) is this with the choices it has: every
// page in order, the sheet as given, no margin or gap. Both end in the same
// compose, so equal choices give equal bytes.
#ifndef SHEETLAY_NUP_JOB_H
#define SHEETLAY_NUP_JOB_H

#include <cstddef>
#include <string>
#include <vector>

#include "pdf/document.h"
#include "nup/options.h"

namespace sheetlay {

// Writes the job's output to output_path, or (when output_path is null)
// hands it over in a block from malloc at *mem / *mem_len. 1 on success;
// 0 with the error text set and nothing written.
int nup_options(doc *d, const job_options &o, const char *output_path, unsigned char **mem,
                size_t *mem_len);

// One input of a job of several: its loaded document, its name in messages
// and its parsed page selection (empty: every page).
struct job_input {
    doc *d = nullptr;
    std::string name;
    std::vector<sel_item> selection;
};

// The job of several inputs: their selections joined in order, then laid
// out as one input's selection is. o's own selection is not used.
int nup_inputs(const std::vector<job_input> &inputs, const job_options &o, const char *output_path,
               unsigned char **mem, size_t *mem_len);

}  // namespace sheetlay

#endif
