// The n-up file: catalog, page tree, sheets, cross-reference table and
// trailer, and the checks of the layout choices (see write.h).
#include "nup/write.h"

#include <algorithm>
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

// One input of the job: its memos, its carried objects and its parts.
struct source_state {
    doc *d = nullptr;
    std::unique_ptr<page_memos> memos;
    std::unique_ptr<transfer> tr;
    std::vector<int64_t> own;  // its cells (jobs of several inputs only)
    std::unique_ptr<extras> ex;
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
    int64_t registration = 0;  // the registration colour space of crop marks
};

// The cut lines of a sheet: along the middle of every gap between two
// columns and between two rows, across the whole sheet, dashed grey. They
// go under the pages.
std::string cut_lines(const grid &g) {
    std::string t;
    for (int32_t c = 1; c < g.cols; ++c) {
        double x = g.margin + c * g.cw + (c - 1) * g.gap + g.gap * 0.5;
        put_nums(t, {x, 0});
        t += " m ";
        put_nums(t, {x, g.H});
        t += " l\n";
    }
    for (int32_t r = 1; r < g.rows; ++r) {
        double y = g.margin + r * g.ch + (r - 1) * g.gap + g.gap * 0.5;
        put_nums(t, {0, y});
        t += " m ";
        put_nums(t, {g.W, y});
        t += " l\n";
    }
    if (t.empty()) return t;
    return "q 0.5 G 0.25 w [4 4] 0 d\n" + t + "S Q\n";
}

// Crop marks: at each corner of each placed page two lines continuing its
// edges outward from 3 to 12 points, in the registration colour, clipped to
// the sheet outside every placed page (even-odd over the sheet and the
// pages, which never overlap) so that no mark covers a page.
std::string crop_marks(const grid &g, const std::vector<placement> &placed) {
    std::string t = "q 0 0 ";
    put_nums(t, {g.W, g.H});
    t += " re\n";
    for (const placement &p : placed) {
        put_nums(t, {p.xoff, p.yoff, p.sw, p.sh});
        t += " re\n";
    }
    t += "W* n /Reg CS 1 SC 0.25 w\n";
    for (const placement &p : placed) {
        const double xs[2] = {p.xoff, p.xoff + p.sw}, ys[2] = {p.yoff, p.yoff + p.sh};
        for (int corner = 0; corner < 4; ++corner) {
            const double x = xs[corner & 1], y = ys[corner >> 1];
            const double hx = corner & 1 ? 1 : -1, vy = corner >> 1 ? 1 : -1;
            put_nums(t, {x + 3 * hx, y});
            t += " m ";
            put_nums(t, {x + 12 * hx, y});
            t += " l ";
            put_nums(t, {x, y + 3 * vy});
            t += " m ";
            put_nums(t, {x, y + 12 * vy});
            t += " l\n";
        }
    }
    t += "S Q\n";
    return t;
}

// What the sheets before gave, for the next one: the text that draws each
// slot for the placement it was made for, and the last content text with
// its compressed form. Pages of one size fill a slot alike on every sheet,
// so their numbers are written and their content compressed once.
struct sheet_memo {
    struct slot {
        bool have = false;
        placement at{};
        std::string draw;   // "q ... cm /Fi Do Q\n"
        std::string frame;  // "... re S\n" (with a frame)
    };
    std::vector<slot> slots;
    bool have_text = false;
    std::string text, packed;
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Whether two placements are written alike (compared as bits: -0 and 0
// are written differently).
bool same_placement(const placement &x, const placement &y) {
    return x.upright == y.upright && same_bits(x.s, y.s) && same_bits(x.tx, y.tx) &&
           same_bits(x.ty, y.ty) && same_bits(x.xoff, y.xoff) && same_bits(x.yoff, y.yoff) &&
           same_bits(x.sw, y.sw) && same_bits(x.sh, y.sh) && same_bits(x.a, y.a) &&
           same_bits(x.b, y.b) && same_bits(x.c, y.c) && same_bits(x.d, y.d);
}

// The texts that draw slot i with placement `at` (see write_sheet).
const sheet_memo::slot &slot_text(sheet_memo &memo, int32_t i, const placement &at,
                                  bool framed) {
    sheet_memo::slot &m = memo.slots[static_cast<size_t>(i)];
    if (m.have && same_placement(m.at, at)) return m;
    m.draw = "q ";
    if (at.upright) {
        put_num(m.draw, at.s);
        m.draw += " 0 0 ";
        put_nums(m.draw, {at.s, at.tx, at.ty});
    } else {
        // Turned: the whole matrix.
        put_nums(m.draw, {at.a, at.b, at.c, at.d, at.tx, at.ty});
    }
    m.draw += " cm /F";
    put_int(m.draw, i);
    m.draw += " Do Q\n";
    m.frame.clear();
    if (framed) {
        put_nums(m.frame, {at.xoff, at.yoff, at.sw, at.sh});
        m.frame += " re S\n";
    }
    m.at = at;
    m.have = true;
    return m;
}

// One sheet: its page object, the forms of the pages placed on it and the
// content stream that draws each form scaled into its cell (and frames it).
// Returns the number of pages placed on it.
int32_t write_sheet(std::vector<source_state> &src, image &img, offsets &off,
                    const numbering &num, const compose_job &job, const sheet_style &style,
                    const additions &add, int64_t sh, array<placed_page> &slots,
                    array<int32_t> &filled, sheet_memo &memo) {
    const int32_t n = num.n;
    const int64_t cells = static_cast<int64_t>(job.cells.size());
    const int64_t P = num.page(sh);
    const int64_t first = sh * n;
    int32_t placed = 0;
    std::vector<placement> crops;

    // Layout and the sheet's content text.
    std::string text;
    if (job.marks & SHEETLAY_MARK_CUT) text += cut_lines(job.g);
    if (style.border > 0) {
        text += "0 0 0 RG ";
        text += style.bw;
        text += " w\n";
    }
    for (int32_t i = 0; i < n; ++i) {
        const int64_t c = first + i;
        int32_t page = c < cells ? job.cells[static_cast<size_t>(c)] : -1;
        int32_t from = page >= 0 && !job.source.empty() ? job.source[static_cast<size_t>(c)] : 0;
        filled[static_cast<size_t>(i)] = page >= 0 ? from : -1;
        if (page < 0) continue;
        ++placed;
        placed_page &pl = slots[static_cast<size_t>(i)];
        source_state &in = src[static_cast<size_t>(from)];
        pl = place_page(in.d, *in.memos, job.g, page, c);
        const sheet_memo::slot &drawn = slot_text(memo, i, pl.at, style.border > 0);
        text += drawn.draw;
        if (!add.after_slot.empty()) {
            auto extra = add.after_slot.find({sh, i});
            if (extra != add.after_slot.end()) text += extra->second;
        }
        text += drawn.frame;
        if (job.marks & SHEETLAY_MARK_CROP) crops.push_back(pl.at);
    }
    if (!crops.empty()) text += crop_marks(job.g, crops);
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
        if (filled[static_cast<size_t>(i)] < 0) continue;
        s += "/F";
        put_int(s, i);
        s += ' ';
        put_int(s, P + 1 + i);
        s += " 0 R ";
    }
    auto xo = add.sheet_xobjects.find(sh);
    if (xo != add.sheet_xobjects.end()) s += xo->second;
    s += ">> ";
    if (!crops.empty()) {
        s += "/ColorSpace << /Reg ";
        put_int(s, style.registration);
        s += " 0 R >> ";
    }
    s += ">>";
    auto entries = add.sheet_entries.find(sh);
    if (entries != add.sheet_entries.end()) s += entries->second;
    s += " >>\nendobj\n";
    img.append(s);

    const bool compact = job.compress == SHEETLAY_COMPRESS_COMPACT;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t from = filled[static_cast<size_t>(i)];
        if (from < 0) continue;
        source_state &in = src[static_cast<size_t>(from)];
        write_form(in.d, *in.tr, *in.memos, img, off, static_cast<int32_t>(P + 1 + i),
                   slots[static_cast<size_t>(i)], compact);
    }

    // The content stream that draws the forms.
    const std::string *body = &text;
    if (compact) {
        if (!memo.have_text || text != memo.text) {
            memo.packed = compressed_text(text);
            memo.text = std::move(text);
            memo.have_text = true;
        }
        body = &memo.packed;
    }
    off.record(P + n + 1, img);
    s.clear();
    put_int(s, P + n + 1);
    s += " 0 obj\n<< /Length ";
    put_int(s, static_cast<int64_t>(body->size()));
    s += compact ? " /Filter /FlateDecode >>\nstream\n" : " >>\nstream\n";
    img.append(s);
    img.append(*body);
    img.append(compact ? "\nendstream\nendobj\n" : "endstream\nendobj\n");
    return placed;
}

// The trailer dictionary, as the classic table's trailer and the cross-
// reference stream of compact output both give it.
std::string trailer_dict(int64_t maxobj, const additions &add) {
    std::string s = "trailer\n<< /Size ";
    put_int(s, maxobj + 1);
    s += " /Root 1 0 R";
    s += add.trailer;
    s += " >>\n";
    return s;
}

// Cross-reference table (fixed 20-byte entries, objects never written are
// free) and trailer.
constexpr size_t kXrefChunk = size_t{64} << 10;

void write_xref(image &img, const offsets &off, int64_t maxobj, const additions &add) {
    if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    const int64_t xref_at = static_cast<int64_t>(img.len());
    std::string s = "xref\n0 ";
    put_int(s, maxobj + 1);
    s += "\n0000000000 65535 f \n";
    s.reserve(std::min<size_t>(static_cast<size_t>(maxobj) * 20, kXrefChunk) + 128);
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
        if (s.size() >= kXrefChunk) {
            // A streamed image passes the table on as it grows (next_object
            // hands over what was appended) instead of holding it whole.
            img.append(s);
            img.next_object(-1);
            s.clear();
        }
    }
    s += trailer_dict(maxobj, add);
    s += "startxref ";
    put_int(s, xref_at);
    s += "\n%%EOF\n";
    img.append(s);
}

}  // namespace

void compose(doc *d, const compose_job &job, image &img) {
    compose(std::vector<doc *>{d}, job, img);
}

void compose(const std::vector<doc *> &docs, const compose_job &job, image &img) {
    const int32_t n = job.g.cols * job.g.rows;
    numbering num;
    num.n = n;
    num.sheets = (static_cast<int64_t>(job.cells.size()) + n - 1) / n;
    num.per_sheet = static_cast<int64_t>(n) + 2;
    num.base = num.sheets * num.per_sheet + 3;
    if (num.base > INT32_MAX) fail(kGenericFailure);

    // Each input in turn: everything its placed pages' resources reach,
    // breadth first; then its links, annotations, outline and information
    // note what they carry. Its carried objects are numbered after those of
    // the inputs before it, the parts' own objects after all of them.
    std::vector<source_state> src(docs.size());
    const bool several = docs.size() > 1;
    if (several) {
        for (size_t c = 0; c < job.cells.size(); ++c)
            if (job.cells[c] >= 0) src[static_cast<size_t>(job.source[c])].own.push_back(static_cast<int64_t>(c));
    }
    int64_t base = num.base;
    for (size_t k = 0; k < docs.size(); ++k) {
        source_state &in = src[k];
        in.d = docs[k];
        in.memos = std::make_unique<page_memos>(in.d);
        in.tr = std::make_unique<transfer>(in.d, base);
        in.tr->repair = job.repair;
        if (several) {
            std::vector<int32_t> pages;
            pages.reserve(in.own.size());
            for (int64_t c : in.own) pages.push_back(job.cells[static_cast<size_t>(c)]);
            gather_page_resources(in.d, *in.memos, *in.tr, pages);
        } else {
            gather_page_resources(in.d, *in.memos, *in.tr, job.cells);
        }
        // The document information is the first input's.
        const uint32_t keep = k == 0 ? job.keep : job.keep & ~uint32_t{SHEETLAY_KEEP_INFO};
        in.ex = std::make_unique<extras>(in.d, job, *in.memos, sheet_numbers{n},
                                         several ? &in.own : nullptr, keep,
                                         k < job.parsed.size() ? job.parsed[k] : nullptr);
        in.ex->plan(*in.tr);
        in.tr->close();
        base += static_cast<int64_t>(in.tr->list().size());
        if (base - 1 >= INT32_MAX) fail(kGenericFailure);
    }
    added_objects added(base);
    additions add;
    for (source_state &in : src) in.ex->build(*in.tr, added, add);

    sheet_style style;
    if (job.marks & SHEETLAY_MARK_CROP) {
        // The registration colour: a separation that prints on every plate,
        // shown as full CMYK (black).
        style.registration = added.reserve();
        std::string t;
        put_int(t, style.registration);
        t += " 0 obj\n[/Separation /All /DeviceCMYK << /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0]"
             " /C1 [1 1 1 1] /N 1 >>]\nendobj\n";
        added.put(style.registration, std::move(t));
    }
    const int64_t maxobj = added.next() - 1;
    if (maxobj >= INT32_MAX) fail(kGenericFailure);

    offsets off;
    off.at.assign(static_cast<size_t>(maxobj) + 1, -1);
    // Streamed compact output packs objects as they are written; the
    // object streams and the cross-reference stream follow the last one.
    const bool compact = job.compress == SHEETLAY_COMPRESS_COMPACT;
    // (Its rows, 16 bytes an object, are made only when it packs.)
    const bool packs = compact && img.streaming();
    packer pk(packs ? static_cast<uint64_t>(maxobj) + 1 : 0);
    if (packs) img.pack_into(&pk);
    write_head(img, off, num, add);

    put_num(style.W, job.g.W);
    put_num(style.H, job.g.H);
    style.border = job.border;
    if (job.border > 0) put_num(style.bw, job.border);

    int32_t total = 0, done = 0;
    for (int32_t c : job.cells) total += c >= 0;
    array<placed_page> slots;
    slots.assign(static_cast<size_t>(n), placed_page{});
    array<int32_t> filled;
    filled.assign(static_cast<size_t>(n), -1);
    sheet_memo memo;
    memo.slots.resize(static_cast<size_t>(n));
    if (job.progress && job.progress(job.progress_user, 0, total) != 0) fail("cancelled");
    for (int64_t sh = 0; sh < num.sheets; ++sh) {
        done += write_sheet(src, img, off, num, job, style, add, sh, slots, filled, memo);
        // The last report waits for the carried objects: writing them can
        // take as long as the sheets.
        if (job.progress && sh + 1 < num.sheets && job.progress(job.progress_user, done, total) != 0)
            fail("cancelled");
    }

    for (source_state &in : src)
        for (size_t i = 0; i < in.tr->list().size(); ++i)
            write_carried(in.d, *in.tr, img, off, in.tr->list()[i], in.tr->out_num(i), in.tr->too_deep(i));
    for (const auto &[m, text] : added.texts()) {
        off.record(m, img);
        img.append(text);
    }

    if (job.progress && job.progress(job.progress_user, total, total) != 0) fail("cancelled");
    if (compact && img.streaming()) {
        img.next_object(-1);
        img.spill();
        pk.finish(img, trailer_dict(maxobj, add));
    } else {
        img.next_object(-1);
        write_xref(img, off, maxobj, add);
        if (compact) repack(img);
    }
    img.flush();
    if (img.out_len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    if (img.out_len() == 0) fail("failed to build output");
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
        output out(output_path);
        image img;
        img.stream_to(&out);
        compose(d, job, img);
        if (!out.commit()) throw compose_error{};
    });
}

}  // namespace sheetlay
