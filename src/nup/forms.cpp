// Page memos, content gathering and the page forms (see forms.h; the
// pages' resources are nup/resources).
#include "nup/forms.h"
#include "nup/resources.h"

#include <climits>
#include <cstring>

#include "codec/deflate.h"
#include "nup/scan.h"

namespace sheetlay::nup {

// ---------------------------------------------------------------------------
// Memos

page_memos::page_memos(const doc *d) {
    int32_t top = d->max_num > 0 ? d->max_num : 0;
    index_.assign(static_cast<size_t>(top) + 1, -1);
}

page_memo &page_memos::get(int32_t num) {
    if (num < 0 || static_cast<size_t>(num) >= index_.size()) {
        spare_ = page_memo{};  // not kept: out of the table's range
        return spare_;
    }
    int32_t &k = index_[static_cast<size_t>(num)];
    if (k < 0) {
        k = static_cast<int32_t>(memos_.size());
        memos_.emplace_back();
    }
    return memos_[static_cast<size_t>(k)];
}

const page_memo *page_memos::find(int32_t num) const {
    if (num < 0 || static_cast<size_t>(num) >= index_.size()) return nullptr;
    int32_t k = index_[static_cast<size_t>(num)];
    return k < 0 ? nullptr : &memos_[static_cast<size_t>(k)];
}

namespace {

// Whether the content stream `num` gave nothing before; asked of every
// content stream, so it makes no memo of its own.
bool known_empty(const page_memos &memos, int32_t num) {
    const page_memo *m = memos.find(num);
    return m && m->stream_empty;
}

}  // namespace

// ---------------------------------------------------------------------------
// Placing

int32_t page_turn(const doc *d, page_memos &memos, const pageinfo &p, const obj_entry *e) {
    page_memo &pm = memos.get(p.num);
    if (!pm.rot_known) {
        pm.own_rot = obj_rotate_own(d->data, d->len, e);
        pm.rot_known = true;
    }
    int32_t rot = (pm.own_rot >= 0 ? pm.own_rot : p.rotate) % 360;
    return rot < 0 ? rot + 360 : rot;
}

placed_page place_page(const doc *d, page_memos &memos, const grid &g, int32_t page_index,
                       int64_t cell) {
    const int64_t n = static_cast<int64_t>(g.cols) * g.rows;
    const int32_t slot = static_cast<int32_t>(cell % n);
    placed_page pl{};
    pl.page = &d->pages.items[page_index];
    pl.entry = objvec_find(&d->objs, pl.page->num);
    if (!pl.entry) fail(kGenericFailure);
    pl.rotation = page_turn(d, memos, *pl.page, pl.entry);
    pl.at = place(*pl.page, pl.rotation, g, slot, sheet_upside_down(g, cell / n));
    return pl;
}

// ---------------------------------------------------------------------------
// Page content

namespace {

// Where a form's content ended up.
struct content {
    bool in_image = false;                // appended to the image from `start` on
    const unsigned char *view = nullptr;  // else these bytes of the input
    int32_t view_len = 0;
    stream_filter sf{0, {-1, -1}, {-1, -1}};  // a single stream left encoded
    bool stored_flate = false;  // `view` is a lone Flate stream's data as stored
};

// Reads the references of an array "[...]" at t[p] and appends each stream's
// data to the image, a line feed between two of them (content streams meet
// at token boundaries; joined bare, "Q" and "q" would run together).
void gather_array(const doc *d, page_memos &memos, image &img, const unsigned char *t,
                  int32_t end, int32_t p, content &ct) {
    bool any = false;
    ++p;
    while (p < end && t[p] != ']') {
        if (!is_digit(t[p])) {
            ++p;
            continue;
        }
        int32_t num = parse_int_at(t, end, &p);
        p = skip_ws(t, p, end);
        if (p < end && is_digit(t[p])) {
            parse_int_at(t, end, &p);
            p = skip_ws(t, p, end);
        }
        if (p < end && t[p] == 'R') p = skip_ws(t, p + 1, end);
        const obj_entry *e = num > 0 ? objvec_find(&d->objs, num) : nullptr;
        if (!e || known_empty(memos, num)) continue;
        uint64_t before = img.len();
        if (any) img.append("\n", 1);
        uint64_t at = img.len();
        int32_t n = 0;
        const unsigned char *data = doc_stream(d, e, true, img.raw(), &n, nullptr);
        img.check();
        if (!data || n <= 0) {
            img.cut(before);  // nothing delivered: take the separator back
            memos.get(num).stream_empty = true;
            continue;
        }
        // Data left in place (unfiltered) is copied in; an element with an
        // image filter, which cannot be decoded, is joined as it is stored.
        if (img.len() == at) img.append(data, static_cast<uint64_t>(n));
        any = true;
    }
    ct.in_image = true;
}

// Data of a stream dictionary written in place of the /Contents reference:
// copied as stored.
void gather_inline_stream(const doc *d, image &img, const unsigned char *t, int32_t end,
                          int32_t p, content &ct) {
    ct.in_image = true;
    int32_t kw = dict_stream_kw(t, end, p);
    if (kw < 0) return;
    int32_t L, R;
    parse_length(t, end, p, kw, &L, &R);
    if (L < 0 && R > 0) {
        const obj_entry *le = objvec_find(&d->objs, R);
        const unsigned char *body;
        int32_t blen;
        if (le && !le->is_stream && obj_body(d->data, d->len, le, &body, &blen)) {
            int32_t c = 0;
            L = parse_int_at(body, blen, &c);
        }
    }
    if (L < 0) return;
    int64_t ds = static_cast<int64_t>(kw) + 6;
    if (ds < end) ds += (t[ds] == '\r' && ds + 1 < end && t[ds + 1] == '\n') ? 2 : 1;
    if (ds + L > end) return;
    img.append(t + ds, static_cast<uint64_t>(L));
}

// The page's content: decoded when it is plain Flate, or, for compact
// output, its stored bytes when it is one plain Flate stream.
content gather_content(const doc *d, page_memos &memos, image &img, const obj_entry *page,
                       bool compact) {
    content ct;
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(d->data, d->len, page, &t, &tlen, &start, &end)) return ct;
    // The page's own entry, not one of a dictionary nested in it (an
    // annotation written in place has a /Contents text of its own).
    int32_t i = find_name_top(t, end, start, end, "Contents");
    if (i < 0) return ct;
    int32_t p = skip_ws(t, i + 9, end);
    if (p >= end) return ct;
    if (t[p] == '[') {
        gather_array(d, memos, img, t, end, p, ct);
        return ct;
    }
    if (t[p] == '<' && p + 1 < end && t[p + 1] == '<') {
        gather_inline_stream(d, img, t, end, p, ct);
        return ct;
    }
    if (!is_digit(t[p])) return ct;
    int32_t num = parse_int_at(t, end, &p);
    const obj_entry *e = num > 0 ? objvec_find(&d->objs, num) : nullptr;
    if (!e) return ct;
    if (!e->is_stream) {
        // A reference to an array of streams.
        const unsigned char *body;
        int32_t blen;
        if (!obj_body(d->data, d->len, e, &body, &blen)) return ct;
        int32_t q = skip_ws(body, 0, blen);
        if (q < blen && body[q] == '[') gather_array(d, memos, img, body, blen, q, ct);
        return ct;
    }
    // A stream that gave nothing for another page (a Flate bomb shared by
    // many pages) is not decoded again.
    if (known_empty(memos, num)) {
        ct.in_image = true;  // empty
        return ct;
    }
    if (compact && !d->crypt) {
        // Flate data the viewer can read as it is stored is not inflated
        // only to be deflated again. (Encrypted data must be decrypted,
        // so it takes the decoding path and is compressed again.)
        int32_t n = 0;
        stored_kind kind = stored_kind::plain;
        const unsigned char *data = stored_stream(e, d->data, d->len, &n, nullptr, &kind);
        if (data && n > 0 && kind == stored_kind::plain_flate) {
            ct.view = data;
            ct.view_len = n;
            ct.stored_flate = true;
            return ct;
        }
    }
    uint64_t at = img.len();
    int32_t n = 0;
    stream_filter sf{};
    const unsigned char *data = doc_stream(d, e, false, img.raw(), &n, &sf);
    img.check();
    if (!data || n <= 0) {
        memos.get(num).stream_empty = true;
        ct.in_image = true;  // empty
        return ct;
    }
    if (img.len() > at) {
        ct.in_image = true;
        return ct;
    }
    ct.view = data;
    ct.view_len = n;
    ct.sf = sf;
    return ct;
}

// The filter entries of a form whose content goes out still encoded.
std::string filter_text(const doc *d, const transfer &tr, const content &ct) {
    std::string h;
    // (Decrypted data stands in the image, still encoded.)
    if (!ct.sf.still_encoded || ct.sf.filter.start < 0 ||
        ct.sf.filter.end <= ct.sf.filter.start || ct.sf.filter.end > d->len)
        return h;
    // The data goes out as stored, so the viewer must decode it.
    h += " /Filter ";
    const unsigned char *ft = d->data + ct.sf.filter.start;
    int32_t flen = ct.sf.filter.end - ct.sf.filter.start;
    std::string fixed;
    repaired_view(tr, &ft, &flen, fixed);
    h.append(reinterpret_cast<const char *>(ft), static_cast<size_t>(flen));
    std::string parms;
    if (ct.sf.parms.start >= 0 && ct.sf.parms.end > ct.sf.parms.start &&
        ct.sf.parms.end <= d->len) {
        const unsigned char *pt = d->data + ct.sf.parms.start;
        int32_t plen = ct.sf.parms.end - ct.sf.parms.start;
        if (!carry_into(tr, pt, plen, parms)) parms.clear();
    }
    if (!parms.empty()) {
        h += " /DecodeParms ";
        h += parms;
    }
    return h;
}

// For compact output: content that goes out decoded (joined parts, an
// unfiltered stream) is compressed by our encoder in its place at `start`;
// stored Flate data gets its filter named; data under another filter stays
// as it is.
void compact_content(image &img, uint64_t start, content &ct, std::string &filter) {
    if (ct.stored_flate) {
        filter = " /Filter /FlateDecode";
        return;
    }
    if (!filter.empty()) return;
    const unsigned char *src = ct.in_image ? img.at(start) : ct.view;
    uint64_t n = ct.in_image ? img.len() - start : static_cast<uint64_t>(ct.view_len);
    if (!src || n == 0) return;
    std::string z;
    deflate_compress_into(z, src, static_cast<size_t>(n), kDeflateDefault);
    img.cut(start);
    img.append(z);
    ct.in_image = true;
    filter = " /Filter /FlateDecode";
}

// The form's dictionary from " 0 obj" to its /Length: kept in `memo` for
// the next page of the same box and turn.
const std::string &box_text(page_memos::form_box &memo, const pageinfo &p, int32_t rotation,
                            bool compact) {
    const double box[4] = {p.x0, p.y0, p.x1, p.y1};
    // (Compared as bits: -0 and 0 are written differently.)
    if (memo.rotation == rotation && memo.compact == compact &&
        std::memcmp(memo.box, box, sizeof box) == 0)
        return memo.text;
    std::string &h = memo.text;
    h.clear();
    // Compact output leaves out /Type, which a form XObject may omit, and
    // trailing zeros: a form's dictionary is written once per placed page
    // and stays uncompressed, so these bytes add up on long documents.
    auto nums = compact ? put_nums_short : put_nums;
    h += compact ? " 0 obj\n<< /Subtype /Form /BBox [" : " 0 obj\n<< /Type /XObject /Subtype /Form /BBox [";
    nums(h, {p.x0, p.y0, p.x1, p.y1});
    h += ']';
    // The matrix turns the page's box by its rotation (clockwise on the
    // sheet) and brings it back into the first quadrant.
    switch (rotation) {
        case 90:
            h += " /Matrix [0 -1 1 0 0 ";
            nums(h, {p.x1});
            h += ']';
            break;
        case 180:
            h += " /Matrix [-1 0 0 -1 ";
            nums(h, {p.x1, p.y1});
            h += ']';
            break;
        case 270:
            h += " /Matrix [0 1 -1 0 ";
            nums(h, {p.y1});
            h += " 0]";
            break;
        default:
            break;
    }
    std::memcpy(memo.box, box, sizeof box);
    memo.rotation = rotation;
    memo.compact = compact;
    return h;
}

}  // namespace

// ---------------------------------------------------------------------------
// The form

void write_form(const doc *d, const transfer &tr, page_memos &memos, image &img, offsets &off,
                int32_t num, const placed_page &pl, bool compact) {
    off.record(num, img);
    uint64_t start = img.len();
    page_memo &pm = memos.get(pl.page->num);
    content ct;
    if (pm.content_known) {
        // The same page object was placed before: its content was written
        // already, and is copied from there.
        ct.in_image = true;
        img.append_own(pm.content_off, pm.content_len);
    } else {
        ct = gather_content(d, memos, img, pl.entry, compact);
        pm.filter = filter_text(d, tr, ct);
        if (compact) compact_content(img, start, ct, pm.filter);
    }
    uint64_t clen = ct.in_image ? img.len() - start : static_cast<uint64_t>(ct.view_len);
    if (clen > static_cast<uint64_t>(INT32_MAX)) fail("output too large");

    const pageinfo &p = *pl.page;
    std::string &h = memos.head;
    h.clear();
    put_int(h, num);
    h += box_text(memos.last_box, p, pl.rotation, compact);
    h += " /Length ";
    put_int(h, static_cast<int64_t>(clen));
    h += pm.filter;
    // Resources nested too deep to be read back are left out.
    if (pm.res_known && pm.res_from == pl.page->res_from) {
        h += pm.res;
    } else {
        // A page placed once more keeps the text for the next placement;
        // its last placement writes it straight into the dictionary.
        const bool keep = pm.placements_left != 1;
        std::string &to = keep ? pm.res : h;
        if (keep) pm.res.clear();
        const size_t mark = to.size();
        const res_text *r = page_resources_text(d, memos, tr, pl.page, pl.entry);
        if (r) {
            to += " /Resources ";
            if (!carry_resources(tr, *r, to)) to.resize(mark);
        }
        if (keep) {
            h += pm.res;
            pm.res_known = true;
            pm.res_from = pl.page->res_from;
        }
    }
    h += " >> stream\n";

    // Decoded content already stands at `start`; the header goes in front.
    if (ct.in_image) {
        img.insert(start, h);
    } else {
        img.append(h);
        img.spill();  // a stream: its data may go straight out
        img.append(ct.view, static_cast<uint64_t>(ct.view_len));
    }
    if (!pm.content_known) {
        pm.content_known = true;
        pm.content_off = start + h.size();
        pm.content_len = clen;
    }
    img.append("\nendstream\nendobj\n");
    if (pm.placements_left > 0 && --pm.placements_left == 0) {
        // Its last placement: the texts go, and the flags with them, so that
        // a placement after all reads them again (the same text).
        std::string().swap(pm.res);
        drop_text(pm.own_res);
        pm.res_known = false;
        pm.own_state = 0;
    }
}

}  // namespace sheetlay::nup
