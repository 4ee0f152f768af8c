// The placed pages: what is learnt about each input page once, the
// gathering of its content, and the Form XObject that carries it onto a
// sheet.
//
// Each placed page becomes a form whose content is the page's content
// (decoded when it is plain Flate, so that several streams join into one)
// and whose matrix turns it by the page's rotation; the sheet draws the
// form scaled into its cell. A page object may be listed many times in the
// page tree and a content stream shared by many pages: a memo per object
// number makes every dictionary read and every decoding happen once per
// call, so that hostile repetition costs listings, not listings x size.
#ifndef SHEETLAY_NUP_FORMS_H
#define SHEETLAY_NUP_FORMS_H

#include <climits>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "error.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/pages.h"
#include "pdf/stream.h"
#include "nup/geometry.h"
#include "nup/pdfout.h"
#include "nup/transfer.h"

namespace sheetlay::nup {

// A resources text as the output carries it (strings decrypted), and the
// references in it. One scan finds them: the gathering notes them and the
// form's writing splices their output numbers in, with no scan of its own.
// Text that is spliced is kept without its references, which follow it in
// `bytes` as short numbers (where each stood, its input number): a page's
// memo holds one block, smaller than the text, from the gathering to its
// form.
struct res_text {
    std::string bytes;  // the text kept, then its references
    int32_t len = 0;    // the kept text's length
    // How the form writes it: 1 by splicing the references into the text,
    // 2 not at all (nested too deep), 3 by carry_into (text, kept whole,
    // that the repair may change).
    uint8_t state = 0;
};

// What was learnt about an object the first time it was met as a page,
// as a /Pages ancestor or as a content stream.
struct page_memo {
    bool rot_known = false;
    int32_t own_rot = -1;               // its own /Rotate, reduced, or -1
    int32_t gathered_from = INT32_MIN;  // the res_from whose resources were gathered
    bool res_known = false;
    int32_t res_from = -1;  // the res_from the resources text below is for
    std::string res;        // " /Resources <<...>>", renumbered, or ""
    bool content_known = false;
    uint64_t content_off = 0;  // where its form's content stands in the image
    uint64_t content_len = 0;
    std::string filter;  // " /Filter ... /DecodeParms ..." or ""
    // Its resources text apart from inheritance: 0 not read, 1 its own
    // entry gives `own_res`, 2 it gives nothing; and, when it gives nothing,
    // whether it inherits (0 not known, 1 yes, 2 no: an unusable entry).
    int own_state = 0;
    int inherits = 0;
    res_text own_res;
    // As an ancestor /Pages node: 0 not read, 1 `node_res`, 2 nothing.
    int node_state = 0;
    res_text node_res;
    // As a content stream: decoding it gave nothing (it will not next time).
    bool stream_empty = false;
    // As a page: the placements gather_page_resources counted and
    // write_form has not made yet. The last one lets the resources texts
    // go (they are read again should the page come once more), so that a
    // long job does not hold every page's resources to its end.
    int32_t placements_left = 0;
};

// The memos of one call, by object number.
class page_memos {
public:
    explicit page_memos(const doc *d);
    page_memo &get(int32_t num);
    // The memo of `num` when one was made, else null (makes none).
    const page_memo *find(int32_t num) const;

    // The last form dictionary's text from its /BBox to its /Length, and
    // what it was made from: pages of one size share it, and the numbers
    // are written once, not once a page.
    struct form_box {
        double box[4] = {0, 0, 0, 0};
        int32_t rotation = -1;
        bool compact = false;
        std::string text;
    } last_box;
    // The form dictionary being written, and the references of a
    // resources text being scanned: their room kept from page to page.
    std::string head;
    array<ref_at> found;

private:
    array<int32_t> index_;
    std::deque<page_memo> memos_;  // grows without moving: references stay valid
    page_memo spare_;
};

// Notes in `tr` the references of the resources of every page that `cells`
// places (0-based page indices, -1 for a blank cell; each page object and
// inheritance once): the roots of the carried objects.
void gather_page_resources(const doc *d, page_memos &memos, transfer &tr,
                           const std::vector<int32_t> &cells);

// An input page on its sheet.
struct placed_page {
    const pageinfo *page;
    const obj_entry *entry;
    int32_t rotation;  // effective: its own /Rotate, else the inherited one
    placement at;
};

// Places input page `page_index` in cell `cell` of the job (0-based over
// all sheets: its slot is cell mod the grid's cells, its sheet the
// quotient).
placed_page place_page(const doc *d, page_memos &memos, const grid &g, int32_t page_index,
                       int64_t cell);

// The effective rotation of a page: its own /Rotate, else the inherited one.
int32_t page_turn(const doc *d, page_memos &memos, const pageinfo &p, const obj_entry *e);

// Writes the Form XObject of one placed page as object `num`. For compact
// output its content goes out compressed: a lone Flate stream as stored,
// content that is joined or unfiltered encoded by our encoder.
void write_form(const doc *d, const transfer &tr, page_memos &memos, image &img, offsets &off,
                int32_t num, const placed_page &pl, bool compact = false);

}  // namespace sheetlay::nup

#endif
