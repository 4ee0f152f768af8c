// Page resources: read once per page (and per ancestor they are inherited
// from), scanned once for their references, which the gathering notes and
// the form's writing renumbers (see resources.h).
#include "nup/resources.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "nup/scan.h"
#include "pdf/decrypt.h"

namespace sheetlay::nup {

namespace {

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};
using c_text = std::unique_ptr<char, free_deleter>;

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

}  // namespace

void drop_text(res_text &r) {
    std::string().swap(r.bytes);
    r.len = 0;
    r.state = 0;
}

// page_resources(d, pi, e) as the output carries it, null for none. A page
// may be listed under many ancestors: its own dictionary is read once, and
// each ancestor's once, so that a large page under many parents does not
// cost parents x size.
const res_text *page_resources_text(const doc *d, page_memos &memos, const transfer &tr,
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

namespace {

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

}  // namespace

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

}  // namespace sheetlay::nup
