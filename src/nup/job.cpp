// From a job's options to its output (see job.h).
#include "nup/job.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "nup/forms.h"
#include "nup/geometry.h"
#include "nup/outfile.h"
#include "nup/trim.h"
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
    // With turning, the page gets the better of its two ways round.
    g.turn = o.turn;
    if (nup::turns(g, w, h)) return nup::cell_scale(g, h, w);
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
    job->g.turn = o.turn;
    job->g.long_edge = o.booklet && o.duplex == SHEETLAY_DUPLEX_LONG_EDGE;
    return true;
}

// The one scale of fit SAME: the smallest of the scales the placed pages get
// each in its cell (turned when they turn). Each page object once.
bool one_scale(const std::vector<doc *> &docs, nup::compose_job &job) {
    double least = 0;
    std::vector<std::vector<bool>> seen(docs.size());
    for (size_t k = 0; k < docs.size(); ++k) seen[k].assign(static_cast<size_t>(docs[k]->pages.count), false);
    for (size_t c = 0; c < job.cells.size(); ++c) {
        const int32_t page = job.cells[c];
        if (page < 0) continue;
        const size_t from = job.source.empty() ? 0 : static_cast<size_t>(job.source[c]);
        doc *d = docs[from];
        if (page >= d->pages.count || seen[from][static_cast<size_t>(page)]) continue;
        seen[from][static_cast<size_t>(page)] = true;
        const pageinfo &p = d->pages.items[page];
        const obj_entry *e = objvec_find(&d->objs, p.num);
        double w = 0, h = 0;
        if (!e || !nup::page_sheet(p, page_rotation(d, &p, e), &w, &h)) continue;
        const double s = nup::free_scale(job.g, w, h);
        if (s > 0 && std::isfinite(s) && (least == 0 || s < least)) least = s;
    }
    job.g.same_scale = least;
    return true;
}

// The common end of both entries: cells (and their inputs) laid out,
// composed, and handed over.
void run_job(const std::vector<doc *> &docs, const job_options &o, nup::compose_job &job,
             const char *output_path, unsigned char **mem, size_t *mem_len) {
    // The first selected page sizes the sheet, whatever order a booklet
    // then puts the pages in.
    size_t first = 0;
    while (first < job.cells.size() && job.cells[first] < 0) ++first;
    if (first == job.cells.size()) {
        set_error("page selection selects no pages");
        throw nup::compose_error{};
    }
    doc *d0 = docs[job.source.empty() ? 0 : static_cast<size_t>(job.source[first])];
    const int32_t first_page = job.cells[first];
    // Trimming comes before the layout: the orientation weighs the trimmed
    // first page, while a sheet left to the input keeps the size of the
    // paper the first page was made for. Each input is trimmed on its own
    // (with SAME, to the union of its own pages' boxes).
    job_options eff = o;
    // What the trims parsed, kept for the job (see compose_job::parsed).
    std::vector<std::unique_ptr<doc_resolver>> parsed;
    if (o.trim != SHEETLAY_TRIM_NONE) {
        const pageinfo &p = d0->pages.items[first_page];
        const obj_entry *e = objvec_find(&d0->objs, p.num);
        double w = 0, h = 0;
        if (!(o.sheet_w > 0) && e && nup::page_sheet(p, page_rotation(d0, &p, e), &w, &h)) {
            eff.sheet_w = w;
            eff.sheet_h = h;
        }
        const bool annots = (o.keep & SHEETLAY_KEEP_ANNOTATIONS) != 0;
        for (size_t k = 0; k < docs.size(); ++k) {
            std::vector<int32_t> cells;
            for (size_t i = 0; i < job.cells.size(); ++i)
                if (job.source.empty() || job.source[i] == static_cast<int32_t>(k)) cells.push_back(job.cells[i]);
            // What the links and annotations read is read ahead when they
            // are kept.
            const bool ahead = (o.keep & (SHEETLAY_KEEP_LINKS | SHEETLAY_KEEP_ANNOTATIONS)) != 0;
            parsed.push_back(nup::trim_pages(docs[k], o.trim, o.trim_margin, annots, cells, ahead));
            job.parsed.push_back(parsed.back().get());
        }
    }
    if (o.booklet) job.cells = signature_cells(job.cells, o.signature, &job.source);
    if (!lay_out(d0, eff, first_page, &job)) throw nup::compose_error{};
    if (o.fit == SHEETLAY_FIT_SAME) one_scale(docs, job);
    job.border = o.border;
    job.keep = o.keep;
    job.compress = o.compress;
    job.repair = true;
    job.marks = o.marks;
    job.progress = o.progress;
    job.progress_user = o.progress_user;
    // A file streams to its temporary file, memory to one growing block.
    nup::output out(output_path);
    nup::image img;
    img.stream_to(&out);
    nup::compose(docs, job, img);
    // The objects the trims parsed are freed on a thread of their own while
    // this one hands the output over (thousands of small values: as much
    // work as a sizeable part of writing the sheets). Joined before the
    // call returns, however it ends.
    struct joined {
        std::thread t;
        ~joined() {
            if (t.joinable()) t.join();
        }
    } freeing;
    job.parsed.clear();
    if (!parsed.empty()) {
        try {
            freeing.t = std::thread([held = std::move(parsed)]() mutable { held.clear(); });
        } catch (const std::system_error &) {
            // No thread to be had: freed here, with the rest.
        }
    }
    if (output_path) {
        if (!out.commit()) throw nup::compose_error{};
        return;
    }
    *mem = out.release(mem_len);
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
        run_job({d}, o, job, output_path, mem, mem_len);
    });
}

int nup_inputs(const std::vector<job_input> &inputs, const job_options &o, const char *output_path,
               unsigned char **mem, size_t *mem_len) {
    if (mem) *mem = nullptr;
    if (mem_len) *mem_len = 0;
    for (const job_input &in : inputs) {
        if (!in.d || in.d->pages.count < 1 || !in.d->pages.items) {
            set_error("%s has no pages", in.name.c_str());
            return 0;
        }
    }
    return nup::guarded([&] {
        nup::compose_job job;
        std::vector<doc *> docs;
        for (size_t k = 0; k < inputs.size(); ++k) {
            const job_input &in = inputs[k];
            docs.push_back(in.d);
            if (!resolve_input_selection(in.selection, in.d->pages.count, in.name.c_str(), &job.cells))
                throw nup::compose_error{};
            if (job.cells.size() > static_cast<size_t>(kMaxCells)) {
                set_error("page selection selects too many pages (more than %d)", static_cast<int>(kMaxCells));
                throw nup::compose_error{};
            }
            job.source.resize(job.cells.size(), static_cast<int32_t>(k));
        }
        // One input is that input's job: the same cells, the same bytes.
        if (docs.size() == 1) job.source.clear();
        run_job(docs, o, job, output_path, mem, mem_len);
    });
}

}  // namespace sheetlay
