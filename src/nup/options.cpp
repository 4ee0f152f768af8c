// Options of one job: defaults, checks, the page selection and booklets.
#include "nup/options.h"

#include <cmath>
#include <algorithm>
#include <cstring>

#include "error.h"

namespace sheetlay {

namespace {

// Points: a sheet wider or higher than 200 inches is not a sheet any viewer
// or printer takes.
constexpr double kMaxSheet = 14400;

bool finite_at_least_zero(double v) { return std::isfinite(v) && v >= 0; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

const char *skip_spaces(const char *p) {
    while (is_space(*p)) ++p;
    return p;
}

// A page bound: decimal digits or "z". Null when `p` holds neither, or a
// number too large for a page number.
const char *read_bound(const char *p, int32_t *out) {
    if (*p == 'z') {
        *out = sel_item::kLast;
        return p + 1;
    }
    if (*p < '0' || *p > '9') return nullptr;
    int64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) return nullptr;
        ++p;
    }
    *out = static_cast<int32_t>(v);
    return p;
}

bool bad_selection(const char *at, const char *name) {
    if (name)
        set_error("bad page selection of %s at '%s'", name, at);
    else
        set_error("bad page selection at '%s'", at);
    return false;
}

}  // namespace

bool parse_selection(const char *text, std::vector<sel_item> *out, const char *name) {
    out->clear();
    if (!text) return true;
    const char *p = skip_spaces(text);
    if (*p == '\0') return true;  // nothing but white space: every page
    for (;;) {
        p = skip_spaces(p);
        const char *item = p;
        sel_item it;
        if (*p == '_') {
            it.empty = true;
            ++p;
        } else if (*p == '-') {
            // "-b": from the first page.
            p = skip_spaces(p + 1);
            it.from = 1;
            p = read_bound(p, &it.to);
            if (!p) return bad_selection(item, name);
        } else {
            p = read_bound(p, &it.from);
            if (!p) return bad_selection(item, name);
            it.to = it.from;
            const char *q = skip_spaces(p);
            if (*q == '-') {
                q = skip_spaces(q + 1);
                if (*q == ',' || *q == '\0') {
                    it.to = sel_item::kLast;  // "a-": to the last page
                    p = q;
                } else {
                    p = read_bound(q, &it.to);
                    if (!p) return bad_selection(q, name);
                }
            }
        }
        out->push_back(it);
        p = skip_spaces(p);
        if (*p == '\0') return true;
        if (*p != ',') return bad_selection(p, name);
        ++p;
    }
}

bool read_options(const sheetlay_options *opt, job_options *o) {
    *o = job_options{};
    if (!opt) return true;
    if (opt->size != sizeof(sheetlay_options) && opt->size != kOptionsSize02) {
        set_error("options structure of unknown size %u", static_cast<unsigned>(opt->size));
        return false;
    }
    // A 0.2 host's structure ends before the fields added in 0.3: those are
    // not read and keep their defaults.
    sheetlay_options full;
    if (opt->size != sizeof(sheetlay_options)) {
        sheetlay_options_init_sized(&full, sizeof full);
        std::memcpy(&full, opt, kOptionsSize02);
        full.size = sizeof full;
        opt = &full;
    }
    if (opt->columns < 1 || opt->columns > 32) {
        set_error("columns must be 1 to 32 (got %d)", static_cast<int>(opt->columns));
        return false;
    }
    if (opt->rows < 1 || opt->rows > 32) {
        set_error("rows must be 1 to 32 (got %d)", static_cast<int>(opt->rows));
        return false;
    }
    const uint32_t known_flow = SHEETLAY_FLOW_RTL | SHEETLAY_FLOW_COLUMNS | SHEETLAY_FLOW_BOTTOM_UP;
    if (opt->flow & ~known_flow) {
        set_error("unknown flow flags 0x%x", static_cast<unsigned>(opt->flow & ~known_flow));
        return false;
    }
    bool zero = opt->sheet_width == 0 && opt->sheet_height == 0;
    auto good_side = [](double v) { return std::isfinite(v) && v > 0 && v <= kMaxSheet; };
    if (!zero && !(good_side(opt->sheet_width) && good_side(opt->sheet_height))) {
        set_error("sheet size must be two numbers above 0 and up to 14400 points, or 0 and 0");
        return false;
    }
    if (opt->orientation < 0 || opt->orientation > 3) {
        set_error("orientation must be 0 to 3 (got %d)", static_cast<int>(opt->orientation));
        return false;
    }
    if (opt->fit < 0 || opt->fit > 2) {
        set_error("fit must be 0 to 2 (got %d)", static_cast<int>(opt->fit));
        return false;
    }
    if (!finite_at_least_zero(opt->margin)) {
        set_error("margin must be a number >= 0");
        return false;
    }
    if (!finite_at_least_zero(opt->gap)) {
        set_error("gap must be a number >= 0");
        return false;
    }
    if (!finite_at_least_zero(opt->border)) {
        set_error("border must be a number >= 0");
        return false;
    }
    if (opt->booklet != 0 && opt->booklet != 1) {
        set_error("booklet must be 0 or 1 (got %d)", static_cast<int>(opt->booklet));
        return false;
    }
    if (opt->keep & ~uint32_t{SHEETLAY_KEEP_ALL}) {
        set_error("unknown keep flags 0x%x", static_cast<unsigned>(opt->keep & ~uint32_t{SHEETLAY_KEEP_ALL}));
        return false;
    }
    if (opt->compress != 0 && opt->compress != 1) {
        set_error("compress must be 0 or 1 (got %d)", static_cast<int>(opt->compress));
        return false;
    }
    if (opt->signature < 0 || opt->signature > 256) {
        set_error("signature must be 0 to 256 (got %d)", static_cast<int>(opt->signature));
        return false;
    }
    if (opt->duplex != 0 && opt->duplex != 1) {
        set_error("duplex must be 0 or 1 (got %d)", static_cast<int>(opt->duplex));
        return false;
    }
    if ((opt->signature != 0 || opt->duplex != 0) && opt->booklet == 0) {
        set_error("signature and duplex are for booklets");
        return false;
    }
    if (opt->turn < 0 || opt->turn > 2) {
        set_error("turn must be 0 to 2 (got %d)", static_cast<int>(opt->turn));
        return false;
    }
    const uint32_t known_marks = SHEETLAY_MARK_CROP | SHEETLAY_MARK_CUT;
    if (opt->marks & ~known_marks) {
        set_error("unknown marks flags 0x%x", static_cast<unsigned>(opt->marks & ~known_marks));
        return false;
    }
    if (opt->trim < 0 || opt->trim > 2) {
        set_error("trim must be 0 to 2 (got %d)", static_cast<int>(opt->trim));
        return false;
    }
    if (!finite_at_least_zero(opt->trim_margin)) {
        set_error("trim margin must be a number >= 0");
        return false;
    }
    if (opt->trim != 0) {
        set_error("trim is not built yet");
        return false;
    }
    if (!parse_selection(opt->pages, &o->selection)) return false;
    o->all_pages = o->selection.empty();
    o->cols = opt->columns;
    o->rows = opt->rows;
    o->flow = opt->flow;
    o->sheet_w = zero ? 0 : opt->sheet_width;
    o->sheet_h = zero ? 0 : opt->sheet_height;
    o->orientation = opt->orientation;
    o->fit = opt->fit;
    o->margin = opt->margin;
    o->gap = opt->gap;
    o->border = opt->border;
    o->booklet = opt->booklet == 1;
    o->keep = opt->keep;
    o->compress = opt->compress;
    o->has_password = opt->password != nullptr;
    if (opt->password) o->password = opt->password;
    o->progress = opt->progress;
    o->progress_user = opt->progress_user;
    o->signature = opt->signature;
    o->duplex = opt->duplex;
    o->turn = opt->turn;
    o->marks = opt->marks;
    o->trim = opt->trim;
    o->trim_margin = opt->trim_margin;
    return true;
}

namespace {

// The cells of a selection, appended; the messages name the input when
// `name` is given.
bool resolve_items(const std::vector<sel_item> &selection, bool all, int32_t page_count,
                   const char *name, std::vector<int32_t> *cells) {
    if (all) {
        if (static_cast<int64_t>(cells->size()) + page_count > kMaxCells) {
            set_error("page selection selects too many pages (more than %d)", static_cast<int>(kMaxCells));
            return false;
        }
        cells->reserve(cells->size() + static_cast<size_t>(page_count));
        for (int32_t i = 0; i < page_count; ++i) cells->push_back(i);
        return true;
    }
    int64_t total = static_cast<int64_t>(cells->size());
    auto page = [page_count](int32_t b) { return b == sel_item::kLast ? page_count : b; };
    for (const sel_item &it : selection) {
        if (it.empty) {
            ++total;
            continue;
        }
        for (int32_t b : {page(it.from), page(it.to)}) {
            if (b < 1 || b > page_count) {
                if (name)
                    set_error("page %d does not exist in %s (it has %d pages)", static_cast<int>(b), name,
                              static_cast<int>(page_count));
                else
                    set_error("page %d does not exist (the document has %d pages)", static_cast<int>(b),
                              static_cast<int>(page_count));
                return false;
            }
        }
        int32_t a = page(it.from), z = page(it.to);
        total += (a <= z ? z - a : a - z) + 1;
    }
    if (total > kMaxCells) {
        set_error("page selection selects too many pages (more than %d)", static_cast<int>(kMaxCells));
        return false;
    }
    cells->reserve(static_cast<size_t>(total));
    for (const sel_item &it : selection) {
        if (it.empty) {
            cells->push_back(-1);
            continue;
        }
        int32_t a = page(it.from), z = page(it.to);
        if (a <= z)
            for (int32_t p = a; p <= z; ++p) cells->push_back(p - 1);
        else
            for (int32_t p = a; p >= z; --p) cells->push_back(p - 1);
    }
    return true;
}

}  // namespace

bool resolve_selection(const job_options &o, int32_t page_count, std::vector<int32_t> *cells) {
    cells->clear();
    if (!resolve_items(o.selection, o.all_pages, page_count, nullptr, cells)) return false;
    for (int32_t c : *cells)
        if (c >= 0) return true;
    set_error("page selection selects no pages");
    return false;
}

bool resolve_input_selection(const std::vector<sel_item> &selection, int32_t page_count,
                             const char *name, std::vector<int32_t> *cells) {
    return resolve_items(selection, selection.empty(), page_count, name, cells);
}

std::vector<int32_t> booklet_cells(const std::vector<int32_t> &cells) {
    std::vector<int32_t> padded = cells;
    while (padded.size() % 4) padded.push_back(-1);
    const size_t P = padded.size();
    std::vector<int32_t> out;
    out.reserve(P);
    // Sheet i (0-based) carries cells P - i and i + 1 (1-based) on the side
    // printed first, i + 1 and P - i on the other, left then right: folded,
    // the sheets then read in order.
    for (size_t i = 0; i < P / 2; ++i) {
        int32_t outer = padded[P - 1 - i], inner = padded[i];
        if (i % 2 == 0) {
            out.push_back(outer);
            out.push_back(inner);
        } else {
            out.push_back(inner);
            out.push_back(outer);
        }
    }
    return out;
}

std::vector<int32_t> signature_cells(const std::vector<int32_t> &cells, int32_t sheets,
                                     std::vector<int32_t> *source) {
    const bool with_source = source && !source->empty();
    if (cells.empty()) return {};
    const size_t run = sheets > 0 ? static_cast<size_t>(sheets) * 4 : cells.size();
    std::vector<int32_t> out;
    std::vector<int32_t> idx;
    out.reserve(cells.size() + 3);
    // Each run is a booklet of the indices of its cells, then mapped back.
    for (size_t at = 0; at < cells.size(); at += run) {
        const size_t end = std::min(cells.size(), at + run);
        idx.clear();
        for (size_t i = at; i < end; ++i) idx.push_back(static_cast<int32_t>(i));
        for (int32_t i : booklet_cells(idx)) out.push_back(i);
    }
    std::vector<int32_t> pages(out.size());
    std::vector<int32_t> from(with_source ? out.size() : 0);
    for (size_t k = 0; k < out.size(); ++k) {
        const int32_t i = out[k];
        pages[k] = i < 0 ? -1 : cells[static_cast<size_t>(i)];
        if (with_source) from[k] = i < 0 || cells[static_cast<size_t>(i)] < 0 ? 0 : (*source)[static_cast<size_t>(i)];
    }
    if (with_source) *source = std::move(from);
    return pages;
}

}  // namespace sheetlay
