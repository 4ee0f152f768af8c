// The n-up file: catalog, page tree, sheets, cross-reference table and
// trailer, and the checks of the layout choices (see write.h).
#include "nup/write.h"

#include <climits>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "nup/extras.h"
#include "nup/forms.h"
#include "nup/geometry.h"
#include "nup/outfile.h"
#include "nup/pdfout.h"
#include "nup/repack.h"
#include "nup/transfer.h"

namespace sheetlay {

namespace nup {
namespace {

// The numbers of the output's objects (see write.h).
struct numbering {
    int32_t n;          // slots per sheet
    int64_t sheets;
    int64_t per_sheet;  // page, n forms, content
    int64_t base;       // the first carried object
    int64_t page(int64_t sheet) const { return 3 + sheet * per_sheet; }
};

// Head: version, a comment of high bytes that marks the file binary, the
// catalog and the page tree that lists every sheet.
void write_head(image &img, offsets &off, const numbering &num, const additions &add) {
    img.append("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
    off.record(1, img);
    std::string cat = "1 0 obj\n<< /Type /Catalog /Pages 2 0 R";
    cat += add.catalog;
    cat += " >>\nendobj\n";
    img.append(cat);
    off.record(2, img);
    std::string s = "2 0 obj\n<< /Type /Pages /Count ";
    put_int(s, num.sheets);
    s += " /Kids [";
    for (int64_t sh = 0; sh < num.sheets; ++sh) {
        if (sh) s += ' ';
        put_int(s, num.page(sh));
        s += " 0 R";
    }
    s += "]>>\nendobj\n";
    img.append(s);
}

// What every sheet shares: its size and the frame's line width, as text.
struct sheet_style {
    std::string W, H;
    double border;
    std::string bw;
};

// One sheet: its page object, the forms of the pages placed on it and the
// content stream that draws each form scaled into its cell (and frames it).
// Returns the number of pages placed on it.
int32_t write_sheet(const doc *d, const transfer &tr, page_memos &memos, image &img, offsets &off,
                    const numbering &num, const compose_job &job, const sheet_style &style,
                    const additions &add, int64_t sh, array<placed_page> &slots,
                    array<bool> &filled) {
    const int32_t n = num.n;
    const int64_t cells = static_cast<int64_t>(job.cells.size());
    const int64_t P = num.page(sh);
    const int64_t first = sh * n;
    int32_t placed = 0;

    // Layout and the sheet's content text.
    std::string text;
    if (style.border > 0) {
        text += "0 0 0 RG ";
        text += style.bw;
        text += " w\n";
    }
    for (int32_t i = 0; i < n; ++i) {
        int32_t page = first + i < cells ? job.cells[static_cast<size_t>(first + i)] : -1;
        filled[static_cast<size_t>(i)] = page >= 0;
        if (page < 0) continue;
        ++placed;
        placed_page &pl = slots[static_cast<size_t>(i)];
        pl = place_page(d, memos, job.g, page, i);
        text += "q ";
        put_num(text, pl.at.s);
        text += " 0 0 ";
        put_nums(text, {pl.at.s, pl.at.tx, pl.at.ty});
        text += " cm /F";
        put_int(text, i);
        text += " Do Q\n";
        auto extra = add.after_slot.find({sh, i});
        if (extra != add.after_slot.end()) text += extra->second;
        if (style.border > 0) {
            put_nums(text, {pl.at.xoff, pl.at.yoff, pl.at.sw, pl.at.sh});
            text += " re S\n";
        }
    }
    if (text.empty()) text = "% blank sheet\n";

    // The sheet's page object.
    off.record(P, img);
    std::string s;
    put_int(s, P);
    s += " 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 ";
    s += style.W;
    s += ' ';
    s += style.H;
    s += "] /Contents ";
    put_int(s, P + n + 1);
    s += " 0 R /Resources << /XObject << ";
    for (int32_t i = 0; i < n; ++i) {
        if (!filled[static_cast<size_t>(i)]) continue;
        s += "/F";
        put_int(s, i);
        s += ' ';
        put_int(s, P + 1 + i);
        s += " 0 R ";
    }
    auto xo = add.sheet_xobjects.find(sh);
    if (xo != add.sheet_xobjects.end()) s += xo->second;
    s += ">> >>";
    auto entries = add.sheet_entries.find(sh);
    if (entries != add.sheet_entries.end()) s += entries->second;
    s += " >>\nendobj\n";
    img.append(s);

    const bool compact = job.compress == SHEETLAY_COMPRESS_COMPACT;
    for (int32_t i = 0; i < n; ++i)
        if (filled[static_cast<size_t>(i)])
            write_form(d, tr, memos, img, off, static_cast<int32_t>(P + 1 + i),
                       slots[static_cast<size_t>(i)], compact);

    // The content stream that draws the forms.
    if (compact) text = compressed_text(text);
    off.record(P + n + 1, img);
    s.clear();
    put_int(s, P + n + 1);
    s += " 0 obj\n<< /Length ";
    put_int(s, static_cast<int64_t>(text.size()));
    s += compact ? " /Filter /FlateDecode >>\nstream\n" : " >>\nstream\n";
    img.append(s);
    img.append(text);
    img.append(compact ? "\nendstream\nendobj\n" : "endstream\nendobj\n");
    return placed;
}

// Cross-reference table (fixed 20-byte entries, objects never written are
// free) and trailer.
void write_xref(image &img, const offsets &off, int64_t maxobj, const additions &add) {
    if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    const int64_t xref_at = static_cast<int64_t>(img.len());
    std::string s = "xref\n0 ";
    put_int(s, maxobj + 1);
    s += "\n0000000000 65535 f \n";
    s.reserve(s.size() + static_cast<size_t>(maxobj) * 20 + 128);
    for (int64_t i = 1; i <= maxobj; ++i) {
        int64_t o = off.at[static_cast<size_t>(i)];
        if (o < 0) {
            s += "0000000000 65535 f \n";
            continue;
        }
        char e[21];
        std::memset(e, '0', 10);
        char digits[24];
        size_t nd = static_cast<size_t>(put_decimal(digits, o) - digits);
        std::memcpy(e + 10 - nd, digits, nd);
        std::memcpy(e + 10, " 00000 n \n", 10);
        s.append(e, 20);
    }
    s += "trailer\n<< /Size ";
    put_int(s, maxobj + 1);
    s += " /Root 1 0 R";
    s += add.trailer;
    s += " >>\nstartxref ";
    put_int(s, xref_at);
    s += "\n%%EOF\n";
    img.append(s);
}

}  // namespace

void compose(doc *d, const compose_job &job, image &img) {
    const int32_t n = job.g.cols * job.g.rows;
    numbering num;
    num.n = n;
    num.sheets = (static_cast<int64_t>(job.cells.size()) + n - 1) / n;
    num.per_sheet = static_cast<int64_t>(n) + 2;
    num.base = num.sheets * num.per_sheet + 3;
    if (num.base > INT32_MAX) fail(kGenericFailure);

    // Everything the placed pages' resources reach, breadth first.
    transfer tr(d, num.base);
    tr.repair = job.repair;
    page_memos memos(d);
    gather_page_resources(d, memos, tr, job.cells);
    // Links, annotations, outline and information note what they carry,
    // then number their own objects after the carried ones.
    extras ex(d, job, memos, sheet_numbers{n});
    ex.plan(tr);
    tr.close();
    const int64_t k = static_cast<int64_t>(tr.list().size());
    if (num.base - 1 + k >= INT32_MAX) fail(kGenericFailure);
    added_objects added(num.base + k);
    additions add;
    ex.build(tr, added, add);
    const int64_t maxobj = added.next() - 1;
    if (maxobj >= INT32_MAX) fail(kGenericFailure);

    offsets off;
    off.at.assign(static_cast<size_t>(maxobj) + 1, -1);
    write_head(img, off, num, add);

    sheet_style style;
    put_num(style.W, job.g.W);
    put_num(style.H, job.g.H);
    style.border = job.border;
    if (job.border > 0) put_num(style.bw, job.border);

    int32_t total = 0, done = 0;
    for (int32_t c : job.cells) total += c >= 0;
    array<placed_page> slots;
    slots.assign(static_cast<size_t>(n), placed_page{});
    array<bool> filled;
    filled.assign(static_cast<size_t>(n), false);
    if (job.progress && job.progress(job.progress_user, 0, total) != 0) fail("cancelled");
    for (int64_t sh = 0; sh < num.sheets; ++sh) {
        done += write_sheet(d, tr, memos, img, off, num, job, style, add, sh, slots, filled);
        // The last report waits for the carried objects: writing them can
        // take as long as the sheets.
        if (job.progress && sh + 1 < num.sheets && job.progress(job.progress_user, done, total) != 0)
            fail("cancelled");
    }

    for (size_t i = 0; i < tr.list().size(); ++i)
        write_carried(d, tr, img, off, tr.list()[i], tr.out_num(i), tr.too_deep(i));
    for (const auto &[m, text] : added.texts()) {
        off.record(m, img);
        img.append(text);
    }

    if (job.progress && job.progress(job.progress_user, total, total) != 0) fail("cancelled");
    write_xref(img, off, maxobj, add);
    if (job.compress == SHEETLAY_COMPRESS_COMPACT) repack(img);
    if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    if (img.len() == 0) fail("failed to build output");
}

int guarded(const std::function<void()> &work) {
    try {
        work();
    } catch (const compose_error &) {
        return 0;
    } catch (const std::bad_alloc &) {
        set_error("out of memory");
        return 0;
    } catch (const std::length_error &) {
        set_error("out of memory");
        return 0;
    } catch (...) {
        set_error("%s", kGenericFailure);
        return 0;
    }
    g_err[0] = '\0';
    return 1;
}

}  // namespace nup

int nup_doc(doc *d, const char *output_path, int32_t n, int32_t order, int32_t page_size,
            int32_t border_width) {
    using namespace nup;
    if (!output_path) {
        set_error("NULL output path");
        return 0;
    }
    int32_t cols = 0, rows = 0;
    if (!grid_shape(n, &cols, &rows)) {
        set_error("n must be 2, 4, 6, 9 or 16 (got %d)", static_cast<int>(n));
        return 0;
    }
    if (order != 0 && order != 1) {
        set_error("order must be 0 (left-to-right) or 1 (right-to-left) (got %d)",
                  static_cast<int>(order));
        return 0;
    }
    if (border_width < 0) {
        set_error("border_width must be >= 0 (got %d)", static_cast<int>(border_width));
        return 0;
    }
    if (!d || d->pages.count < 1 || !d->pages.items) {
        set_error("document has no pages");
        return 0;
    }
    double W = 0, H = 0;
    if (page_size < 0) {
        // Sheets the size of the first page as it is shown (turned).
        const pageinfo &p0 = d->pages.items[0];
        const obj_entry *e0 = objvec_find(&d->objs, p0.num);
        if (!e0) {
            set_error("first page object missing");
            return 0;
        }
        if (!page_sheet(p0, page_rotation(d, &p0, e0), &W, &H)) {
            set_error("first page has a degenerate box");
            return 0;
        }
    } else if (!named_sheet(page_size, &W, &H)) {
        set_error("page_size must be 0 (A4), 1 (Letter) or 2 (A3) (got %d)",
                  static_cast<int>(page_size));
        return 0;
    }
    compose_job job;
    job.g = make_grid(W, H, cols, rows);
    job.g.flow = order == 1 ? kFlowRtl : 0;
    job.border = border_width;
    return guarded([&] {
        job.cells.resize(static_cast<size_t>(d->pages.count));
        for (int32_t i = 0; i < d->pages.count; ++i) job.cells[static_cast<size_t>(i)] = i;
        image img;
        compose(d, job, img);
        if (!write_output(output_path, img.data(), static_cast<size_t>(img.len())))
            throw compose_error{};
    });
}

}  // namespace sheetlay
