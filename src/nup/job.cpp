// From a job's options to its output (see job.h).
#include "nup/job.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "nup/forms.h"
#include "nup/geometry.h"
#include "nup/outfile.h"
#include "nup/write.h"

namespace sheetlay {

namespace {

using nup::grid;

// The scale the first page gets in a cell of a W x H sheet, never capped:
// it compares the room two orientations give.
double room(const job_options &o, int32_t cols, int32_t rows, double W, double H, double w,
            double h) {
    grid g = nup::make_grid(W, H, cols, rows, o.margin, o.gap);
    if (!(g.cw > 0) || !(g.ch > 0)) return 0;
    return nup::cell_scale(g, w, h);
}

// Sheet size, orientation and grid of the job; false with the error text set.
bool lay_out(doc *d, const job_options &o, int32_t first_page, nup::compose_job *job) {
    const pageinfo &p = d->pages.items[first_page];
    const obj_entry *e = objvec_find(&d->objs, p.num);
    if (!e) {
        set_error("page %d object missing", static_cast<int>(first_page + 1));
        return false;
    }
    double w = 0, h = 0;
    if (!nup::page_sheet(p, page_rotation(d, &p, e), &w, &h)) {
        if (first_page == 0)
            set_error("first page has a degenerate box");
        else
            set_error("page %d has a degenerate box", static_cast<int>(first_page + 1));
        return false;
    }
    const int32_t cols = o.booklet ? 2 : o.cols;
    const int32_t rows = o.booklet ? 1 : o.rows;
    double W = o.sheet_w > 0 ? o.sheet_w : w;
    double H = o.sheet_h > 0 ? o.sheet_h : h;
    switch (o.orientation) {
        case SHEETLAY_ORIENT_PORTRAIT:
            if (W > H) std::swap(W, H);
            break;
        case SHEETLAY_ORIENT_LANDSCAPE:
            if (H > W) std::swap(W, H);
            break;
        case SHEETLAY_ORIENT_AUTO:
            // Whichever way round gives the first page more room; the given
            // way on a tie.
            if (room(o, cols, rows, H, W, w, h) > room(o, cols, rows, W, H, w, h)) std::swap(W, H);
            break;
        default:
            break;
    }
    job->g = nup::make_grid(W, H, cols, rows, o.margin, o.gap);
    if (!(job->g.cw > 0) || !(job->g.ch > 0)) {
        set_error("margin and gap leave no room for the cells");
        return false;
    }
    job->g.flow = o.booklet ? (o.flow & nup::kFlowRtl) : o.flow;
    job->g.shrink = o.fit == SHEETLAY_FIT_SHRINK;
    return true;
}

}  // namespace

int nup_options(doc *d, const job_options &o, const char *output_path, unsigned char **mem,
                size_t *mem_len) {
    if (mem) *mem = nullptr;
    if (mem_len) *mem_len = 0;
    if (!d || d->pages.count < 1 || !d->pages.items) {
        set_error("document has no pages");
        return 0;
    }
    return nup::guarded([&] {
        nup::compose_job job;
        if (!resolve_selection(o, d->pages.count, &job.cells)) throw nup::compose_error{};
        // The first selected page sizes the sheet, whatever order a booklet
        // then puts the pages in.
        int32_t first = -1;
        for (int32_t c : job.cells)
            if (c >= 0) {
                first = c;
                break;
            }
        if (o.booklet) job.cells = booklet_cells(job.cells);
        if (!lay_out(d, o, first, &job)) throw nup::compose_error{};
        job.border = o.border;
        job.keep = o.keep;
        job.compress = o.compress;
        job.repair = true;
        job.progress = o.progress;
        job.progress_user = o.progress_user;
        nup::image img;
        nup::compose(d, job, img);
        if (output_path) {
            if (!nup::write_output(output_path, img.data(), static_cast<size_t>(img.len())))
                throw nup::compose_error{};
            return;
        }
        size_t n = static_cast<size_t>(img.len());
        void *block = std::malloc(n ? n : 1);
        if (!block) throw std::bad_alloc();
        std::memcpy(block, img.data(), n);
        *mem = static_cast<unsigned char *>(block);
        *mem_len = n;
    });
}

}  // namespace sheetlay
