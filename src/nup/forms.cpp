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

constexpr uint8_t kResSplice = 1, kResDeep = 2, kResCarry = 3;

// The references follow the text as pairs of unsigned LEB128 numbers: the
// bytes of the kept text before the reference (since the last one), and
// the input number + 1 (0 for one too large to be an object's).
size_t varint_size(uint32_t v) {
    size_t n = 1;
    while (v >= 0x80) v >>= 7, ++n;
    return n;
}

char *put_varint(char *to, uint32_t v) {
    while (v >= 0x80) {
        *to++ = static_cast<char>(0x80 | (v & 0x7F));
        v >>= 7;
    }
    *to++ = static_cast<char>(v);
    return to;
}

// Reads one number at *p (before end); false when none is whole there.
bool get_varint(const unsigned char **p, const unsigned char *end, uint32_t *v) {
    uint32_t x = 0;
    for (int shift = 0; *p < end && shift < 35; shift += 7) {
        const unsigned char b = *(*p)++;
        x |= static_cast<uint32_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) {
            *v = x;
            return true;
        }
    }
    return false;
}

// Keeps t[0, len) in `r` with its references, found by one scan: the same
// ones, in the same order, that transfer::gather and carry_into would each
// find. Text that is spliced is kept without them: the pairs after it take
// less room than the references they stand for.
void keep_text(const transfer &tr, array<ref_at> &found, res_text &r, const unsigned char *t,
               size_t len) {
    if (len > static_cast<size_t>(INT32_MAX)) fail("output too large");
    const int32_t n = static_cast<int32_t>(len);
    found.clear();
    bool ok, clean = true;
    if (tr.repair) {
        ok = scan_carried(t, n, found, &clean);
    } else {
        // Without the repair, valid text or not, the references are
        // spliced: the plain scan finds them, and costs less.
        ok = scan_refs(t, n, [&found](int32_t at, int32_t end, int64_t num) {
            found.push_back(ref_at{at, end, static_cast<int32_t>(num)});
        });
    }
    // Text that is certainly valid is written as it stands; other text the
    // repair may change, and carry_into writes it whole.
    uint8_t state = !ok ? kResDeep : clean ? kResSplice : kResCarry;
    const size_t count = found.size();
    size_t cut = 0, pairs = 0;
    int32_t prev = 0;
    for (size_t k = 0; k < count; ++k) {
        const ref_at &f = found[k];
        if (f.at < prev || f.end <= f.at || f.end > n) {
            state = kResCarry;  // (never so for what a scan found)
            break;
        }
        cut += static_cast<size_t>(f.end - f.at);
        pairs += varint_size(static_cast<uint32_t>(f.at - prev)) +
                 varint_size(static_cast<uint32_t>(f.num) + 1);
        prev = f.end;
    }
    const bool strip = state != kResCarry;
    if (!strip) {
        // Only the numbers matter: the text goes whole.
        cut = pairs = 0;
        for (size_t k = 0; k < count; ++k) pairs += 1 + varint_size(static_cast<uint32_t>(found[k].num) + 1);
    }
    const size_t kept = len - cut;
    std::string bytes(kept + pairs, '\0');
    char *to = bytes.data();
    if (strip) {
        prev = 0;
        for (size_t k = 0; k < count; ++k) {
            std::memcpy(to, t + prev, static_cast<size_t>(found[k].at - prev));
            to += found[k].at - prev;
            prev = found[k].end;
        }
        std::memcpy(to, t + prev, static_cast<size_t>(n - prev));
        to += n - prev;
    } else {
        std::memcpy(to, t, len);
        to += len;
    }
    prev = 0;
    for (size_t k = 0; k < count; ++k) {
        to = put_varint(to, strip ? static_cast<uint32_t>(found[k].at - prev) : 0);
        to = put_varint(to, static_cast<uint32_t>(found[k].num) + 1);
        prev = found[k].end;
    }
    r.bytes = std::move(bytes);
    r.len = static_cast<int32_t>(kept);
    r.state = state;
}

// Keeps a resources text as the output carries it: with its strings
// decrypted when the input is encrypted (the output never is).
void keep_resources(const doc *d, const transfer &tr, array<ref_at> &found,
                    const obj_entry *holder, const char *text, res_text &r) {
    const unsigned char *t = reinterpret_cast<const unsigned char *>(text);
    const size_t len = std::strlen(text);
    if (d->crypt && holder) {
        const obj_entry *owner = resources_owner(d, holder);
        if (strings_encrypted(d, owner)) {
            std::string out;
            decrypt_strings_text(d, owner, t, static_cast<int32_t>(len), &out);
            keep_text(tr, found, r, reinterpret_cast<const unsigned char *>(out.data()), out.size());
            return;
        }
    }
    keep_text(tr, found, r, t, len);
}

void drop_text(res_text &r) {
    std::string().swap(r.bytes);
    r.len = 0;
    r.state = 0;
}

// page_resources(d, pi, e) as the output carries it, null for none. A page
// may be listed under many ancestors: its own dictionary is read once, and
// each ancestor's once, so that a large page under many parents does not
// cost parents x size.
res_text *page_resources_text(const doc *d, page_memos &memos, const transfer &tr,
                              const pageinfo *pi, const obj_entry *e) {
    page_memo &pm = memos.get(pi->num);
    if (pm.own_state == 0) {
        pageinfo alone = *pi;
        alone.res_from = -1;  // its own entry only
        c_text own(page_resources(d, &alone, e));
        pm.own_state = own ? 1 : 2;
        if (own) keep_resources(d, tr, memos.found, e, own.get(), pm.own_res);
    }
    if (pm.own_state == 1) return &pm.own_res;
    if (pi->res_from <= 0) return nullptr;
    page_memo &node = memos.get(pi->res_from);
    if (node.node_state == 0) {
        // The ancestor's entry alone: an empty text of the page's own finds
        // no entry there.
        c_text nt(page_resources_dict(d->data, d->len, &d->objs, d->data, 0, pi->res_from));
        node.node_state = nt ? 1 : 2;
        if (nt) keep_resources(d, tr, memos.found, objvec_find(&d->objs, pi->res_from), nt.get(),
                           node.node_res);
    }
    if (node.node_state != 1) return nullptr;
    if (pm.inherits == 0) {
        // Nothing usable of its own: no entry (it inherits) or an unusable
        // one (it does not). Asked once, with an ancestor that has some.
        c_text whole(page_resources(d, pi, e));
        pm.inherits = whole ? 1 : 2;
    }
    if (pm.inherits != 1) return nullptr;
    return &node.node_res;
}

// Reads the references after a kept text in turn.
struct ref_reader {
    const unsigned char *p, *end;
    explicit ref_reader(const res_text &r)
        : p(reinterpret_cast<const unsigned char *>(r.bytes.data()) + r.len),
          end(reinterpret_cast<const unsigned char *>(r.bytes.data()) + r.bytes.size()) {}
    // The next one: the kept bytes before it and its number (-1: too
    // large); false after the last.
    bool next(uint32_t *gap, int32_t *num) {
        uint32_t g, n1;
        if (p >= end || !get_varint(&p, end, &g) || !get_varint(&p, end, &n1)) return false;
        *gap = g;
        *num = static_cast<int32_t>(n1 - 1);
        return true;
    }
};

// "m 0 R" for output number m > 0, else "null", into buf (16 bytes); its
// length.
size_t ref_text(int32_t m, char *buf) {
    if (m <= 0) {
        std::memcpy(buf, "null", 4);
        return 4;
    }
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint32_t v = static_cast<uint32_t>(m);
    size_t n = 1;
    for (uint32_t p10 = 10; n < 10 && v >= p10; p10 *= 10) ++n;
    size_t k = n;
    for (; v >= 100; v /= 100, k -= 2) std::memcpy(buf + k - 2, kPairs + 2 * (v % 100), 2);
    if (v >= 10)
        std::memcpy(buf, kPairs + 2 * v, 2);
    else
        buf[0] = static_cast<char>('0' + v);
    std::memcpy(buf + n, " 0 R", 4);
    return n + 4;
}

// The form's resources dictionary, renumbered, appended to `out`: what
// carry_into gives, by splicing the references the scan found. False when
// there is none to write.
bool carry_resources(const transfer &tr, const res_text &r, std::string &out) {
    const char *t = r.bytes.data();
    if (r.state == kResDeep) return false;
    if (r.state != kResSplice)
        return carry_into(tr, reinterpret_cast<const unsigned char *>(t), r.len, out);
    // Written in place: each pair takes 2 bytes at least and stands for at
    // most 14 ("2147483647 0 R").
    const size_t from = out.size();
    out.resize(from + r.bytes.size() + (r.bytes.size() - static_cast<size_t>(r.len)) / 2 * 14);
    char *to = out.data() + from;
    size_t copied = 0;
    ref_reader refs(r);
    uint32_t gap;
    int32_t num;
    while (refs.next(&gap, &num)) {
        if (gap > static_cast<size_t>(r.len) - copied) fail(kGenericFailure);  // (never so)
        std::memcpy(to, t + copied, gap);
        to += gap;
        copied += gap;
        to += ref_text(tr.lookup(num), to);
    }
    std::memcpy(to, t + copied, static_cast<size_t>(r.len) - copied);
    to += static_cast<size_t>(r.len) - copied;
    out.resize(static_cast<size_t>(to - out.data()));
    return true;
}

}  // namespace

void gather_page_resources(const doc *d, page_memos &memos, transfer &tr,
                           const std::vector<int32_t> &cells) {
    std::string fresh;
    for (int32_t i : cells) {
        if (i < 0 || i >= d->pages.count) continue;
        const pageinfo &p = d->pages.items[i];
        const obj_entry *e = objvec_find(&d->objs, p.num);
        if (!e) continue;
        page_memo &pm = memos.get(p.num);
        if (pm.placements_left < INT32_MAX) ++pm.placements_left;
        if (pm.gathered_from == p.res_from) continue;  // seen in this listing before
        pm.gathered_from = p.res_from;
        const res_text *r = page_resources_text(d, memos, tr, &p, e);
        if (!r) continue;
        // The transfer notes what a text refers to: it is handed the
        // references not noted yet, in their order (one already noted
        // would change nothing), as a text of references alone, so that
        // the page's text is scanned once, here, for both ends.
        fresh.clear();
        ref_reader refs(*r);
        uint32_t gap;
        int32_t num;
        while (refs.next(&gap, &num)) {
            if (num <= 0 || tr.lookup(num) > 0) continue;
            char ref[16];
            fresh.append(ref, ref_text(num, ref));
            fresh += ' ';
        }
        if (!fresh.empty())
            tr.gather(reinterpret_cast<const unsigned char *>(fresh.data()), static_cast<int32_t>(fresh.size()));
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
