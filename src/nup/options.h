// The options of one n-up job, read from the public options structure (or
// from the arguments of the fixed-grid functions) and checked before any
// file is touched; the page selection and the booklet order.
//
// Everything that can be refused without looking at the input is refused
// here, so a wrong option never costs a load. The page selection is parsed
// here too, but its page numbers are checked against the document only once
// it is loaded (resolve_selection).
#ifndef SHEETLAY_NUP_OPTIONS_H
#define SHEETLAY_NUP_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sheetlay.h"

namespace sheetlay {

// One item of a page selection. Bounds are 1-based page numbers; kLast
// stands for "z" (and for the open end of "a-"), 1 for the open start of
// "-b".
struct sel_item {
    static constexpr int32_t kLast = -1;
    bool empty = false;  // "_": a cell left blank
    int32_t from = 0;
    int32_t to = 0;      // equal to from for a single page
};

struct job_options {
    int32_t cols = 2;
    int32_t rows = 2;
    uint32_t flow = 0;
    double sheet_w = 0;  // 0 and 0: the first selected page's displayed size
    double sheet_h = 0;
    int32_t orientation = SHEETLAY_ORIENT_AUTO;
    int32_t fit = SHEETLAY_FIT_SCALE;
    double margin = 0;
    double gap = 0;
    double border = 0;
    bool all_pages = true;
    std::vector<sel_item> selection;
    bool booklet = false;
    uint32_t keep = SHEETLAY_KEEP_ALL;
    int32_t compress = SHEETLAY_COMPRESS_COMPACT;
    bool has_password = false;
    std::string password;
    sheetlay_progress_fn progress = nullptr;
    void *progress_user = nullptr;
    int32_t signature = 0;  // booklet sheets per signature; 0: one booklet
    int32_t duplex = SHEETLAY_DUPLEX_SHORT_EDGE;
    int32_t turn = SHEETLAY_TURN_NONE;
    uint32_t marks = 0;
    int32_t trim = SHEETLAY_TRIM_NONE;
    double trim_margin = 0;
};

// The size of the options structure of 0.2 hosts: everything before the
// fields added in 0.3, which such hosts neither have nor set.
constexpr size_t kOptionsSize02 = offsetof(sheetlay_options, signature);
static_assert(sizeof(void *) != 8 || kOptionsSize02 == 112, "0.2 structure is 112 bytes on 64-bit");
static_assert(sizeof(void *) != 8 || sizeof(sheetlay_options) == 144, "0.3 structure is 144 bytes on 64-bit");

// Reads and checks *opt (null: the defaults). False with the error text set
// when an option is refused.
bool read_options(const sheetlay_options *opt, job_options *out);

// Parses a selection text. False with the error text set ("bad page
// selection at '...'", or with `name` "bad page selection of NAME at '...'").
bool parse_selection(const char *text, std::vector<sel_item> *out, const char *name = nullptr);

// The cells a selection gives for a document of `page_count` pages: 0-based
// page indices, -1 for a blank cell. False with the error text set when a page
// does not exist, when no page is selected, or when the selection is too long.
bool resolve_selection(const job_options &o, int32_t page_count, std::vector<int32_t> *cells);

// The cells of one input of a job of several, appended to `cells`: as
// resolve_selection, with messages that name the input, and without the
// check for a page (made on the joined sequence). An empty selection is
// every page.
bool resolve_input_selection(const std::vector<sel_item> &selection, int32_t page_count,
                             const char *name, std::vector<int32_t> *cells);

// Cells arranged for a saddle-stitched booklet printed on both sides: the
// sequence padded with blanks to a multiple of four, then two cells per
// sheet, in the order the folded sheets are read.
std::vector<int32_t> booklet_cells(const std::vector<int32_t> &cells);

// Booklets in signatures of `sheets` sheets (0: one booklet): the sequence
// cut into runs of 4 x sheets cells, each laid out as its own booklet (the
// last padded to a multiple of four only), the runs' sides one after
// another. `source`, when not empty, names each cell's input and is
// rearranged with the cells (its blanks take input 0).
std::vector<int32_t> signature_cells(const std::vector<int32_t> &cells, int32_t sheets,
                                     std::vector<int32_t> *source = nullptr);

// The most cells a selection may produce.
constexpr int64_t kMaxCells = int64_t{1} << 24;

}  // namespace sheetlay

#endif
