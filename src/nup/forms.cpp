// Page memos, page resources, content gathering and the page forms (see
// forms.h).
#include "nup/forms.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/deflate.h"
#include "nup/scan.h"
#include "pdf/decrypt.h"

namespace sheetlay::nup {

namespace {

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};
using c_text = std::unique_ptr<char, free_deleter>;

}  // namespace

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
// Resources

namespace {

// The object whose text holds the resources dictionary of `holder` (a page
// or a /Pages node): the object its /Resources entry refers to, else the
// holder itself. Its key decrypts the dictionary's strings.
const obj_entry *resources_owner(const doc *d, const obj_entry *holder) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(d->data, d->len, holder, &t, &tlen, &start, &end)) return holder;
    int32_t i = find_name(t, end, start, end, "Resources");
    if (i < 0) return holder;
    int32_t p = skip_ws(t, i + 10, end);
    if (p >= end || !is_dec_digit(t[p])) return holder;
    int32_t num = parse_int_at(t, end, &p);
    const obj_entry *r = num > 0 ? objvec_find(&d->objs, num) : nullptr;
    return r ? r : holder;
}

// A resources text as the output carries it: with its strings decrypted
// when the input is encrypted (the output never is).
std::string plain_resources(const doc *d, const obj_entry *holder, const char *text) {
    if (!d->crypt || !holder) return text;
    const obj_entry *owner = resources_owner(d, holder);
    if (!strings_encrypted(d, owner)) return text;
    std::string out;
    decrypt_strings_text(d, owner, reinterpret_cast<const unsigned char *>(text),
                         static_cast<int32_t>(std::strlen(text)), &out);
    return out;
}

// page_resources(d, pi, e) as text, false for none. A page may be listed
// under many ancestors: its own dictionary is read once, and each ancestor's
// once, so that a large page under many parents does not cost parents x size.
bool page_resources_text(const doc *d, page_memos &memos, const pageinfo *pi, const obj_entry *e,
                         std::string *out) {
    page_memo &pm = memos.get(pi->num);
    if (pm.own_state == 0) {
        pageinfo alone = *pi;
        alone.res_from = -1;  // its own entry only
        c_text own(page_resources(d, &alone, e));
        pm.own_state = own ? 1 : 2;
        if (own) pm.own_res = plain_resources(d, e, own.get());
    }
    if (pm.own_state == 1) {
        *out = pm.own_res;
        return true;
    }
    if (pi->res_from <= 0) return false;
    page_memo &node = memos.get(pi->res_from);
    if (node.node_state == 0) {
        // The ancestor's entry alone: an empty text of the page's own finds
        // no entry there.
        c_text nt(page_resources_dict(d->data, d->len, &d->objs, d->data, 0, pi->res_from));
        node.node_state = nt ? 1 : 2;
        if (nt) node.node_res = plain_resources(d, objvec_find(&d->objs, pi->res_from), nt.get());
    }
    if (node.node_state != 1) return false;
    if (pm.inherits == 0) {
        // Nothing usable of its own: no entry (it inherits) or an unusable
        // one (it does not). Asked once, with an ancestor that has some.
        c_text whole(page_resources(d, pi, e));
        pm.inherits = whole ? 1 : 2;
    }
    if (pm.inherits != 1) return false;
    *out = node.node_res;
    return true;
}

}  // namespace

void gather_page_resources(const doc *d, page_memos &memos, transfer &tr,
                           const std::vector<int32_t> &cells) {
    for (int32_t i : cells) {
        if (i < 0 || i >= d->pages.count) continue;
        const pageinfo &p = d->pages.items[i];
        const obj_entry *e = objvec_find(&d->objs, p.num);
        if (!e) continue;
        page_memo &pm = memos.get(p.num);
        if (pm.placements_left < INT32_MAX) ++pm.placements_left;
        if (pm.gathered_from == p.res_from) continue;  // seen in this listing before
        pm.gathered_from = p.res_from;
        std::string res;
        if (page_resources_text(d, memos, &p, e, &res))
            tr.gather(reinterpret_cast<const unsigned char *>(res.data()), static_cast<int32_t>(res.size()));
    }
}

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
    std::string h;
    put_int(h, num);
    // Compact output leaves out /Type, which a form XObject may omit, and
    // trailing zeros: a form's dictionary is written once per placed page
    // and stays uncompressed, so these bytes add up on long documents.
    auto nums = compact ? put_nums_short : put_nums;
    h += compact ? " 0 obj\n<< /Subtype /Form /BBox [" : " 0 obj\n<< /Type /XObject /Subtype /Form /BBox [";
    nums(h, {p.x0, p.y0, p.x1, p.y1});
    h += ']';
    // The matrix turns the page's box by its rotation (clockwise on the
    // sheet) and brings it back into the first quadrant.
    switch (pl.rotation) {
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
    h += " /Length ";
    put_int(h, static_cast<int64_t>(clen));
    h += pm.filter;
    // Resources nested too deep to be read back are left out.
    if (!pm.res_known || pm.res_from != pl.page->res_from) {
        pm.res.clear();
        std::string res, rtext;
        bool have = page_resources_text(d, memos, pl.page, pl.entry, &res);
        if (have && carry_into(tr, reinterpret_cast<const unsigned char *>(res.data()),
                               static_cast<int32_t>(res.size()), rtext)) {
            pm.res = " /Resources ";
            pm.res += rtext;
        }
        pm.res_known = true;
        pm.res_from = pl.page->res_from;
    }
    h += pm.res;
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
        std::string().swap(pm.own_res);
        pm.res_known = false;
        pm.own_state = 0;
    }
}

}  // namespace sheetlay::nup
