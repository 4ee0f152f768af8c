// The closure of carried objects, the renumbering of their text and their
// writing (see transfer.h).
#include "nup/transfer.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "nup/repack.h"
#include "nup/repair.h"
#include "nup/scan.h"
#include "nup/scan_ahead.h"
#include "pdf/decrypt.h"

namespace sheetlay::nup {

// ---------------------------------------------------------------------------
// The closure

// Table values: 0 not met, -1 null, > 0 output number, and during gathering
// kAlias - target for an object that forwards to `target`.
namespace {
constexpr int32_t kAlias = -2;
constexpr int32_t kWalking = INT32_MIN;
}  // namespace

transfer::transfer(const doc *d, int64_t base)
    : ahead_from(second_core() ? kAheadFrom : SIZE_MAX), d_(d), base_(base) {
    int32_t top = d->max_num > 0 ? d->max_num : 0;
    out_.assign(static_cast<size_t>(top) + 1, 0);
}

transfer::~transfer() = default;

int32_t transfer::lookup(int64_t num) const {
    if (num <= 0 || num >= static_cast<int64_t>(out_.size())) return 0;
    int32_t m = out_[static_cast<size_t>(num)];
    return m > 0 ? m : 0;
}

bool transfer::gather(const unsigned char *t, int32_t len) {
    return scan_refs(t, len, [this](int32_t, int32_t, int64_t num) { note(num); });
}

// One scan of each carried object's text serves three ends: its references
// join the closure, and when the text is certainly valid they are kept, so
// that writing it needs neither the repair's pass nor a scan of its own.
// Once enough objects are listed but not yet reached, the scans are shared
// with a second thread (nup/scan_ahead), which changes nothing the walk
// finds.
void transfer::close() {
    // An encrypted input's text is written decrypted, not as scanned here.
    const bool keep = !d_->crypt;
    array<ref_at> found;
    size_t i = 0;
    for (; i < list_.size(); ++i) {
        if (list_.size() - i >= ahead_from) break;
        starts_[i] = ~static_cast<int32_t>(refs_.size());
        const obj_entry *e = objvec_find(&d_->objs, list_[i]);
        if (!e) continue;
        const unsigned char *t;
        int32_t len;
        if (!carried_text(d_, e, &t, &len)) continue;
        found.clear();
        bool clean = false;
        const bool ok = scan_carried(t, len, found, &clean);
        reached(i, found.size() ? &found[0] : nullptr, found.size(), ok, clean, keep);
    }
    if (i < list_.size()) close_ahead(i, keep);
    resolve_aliases();
}

// The rest of the walk from list_[from] on, its scans shared.
void transfer::close_ahead(size_t from, bool keep) {
    scan_ahead ahead(d_, out_.size());
    size_t listed = from;
    for (; listed < list_.size(); ++listed) ahead.list(list_[listed]);
    ahead.start();
    for (size_t i = from; i < list_.size(); ++i) {
        starts_[i] = ~static_cast<int32_t>(refs_.size());
        const scan_ahead::result r = ahead.take(i - from);
        if (!r.text) continue;
        reached(i, r.refs, r.count, r.ok, r.clean, keep);
        for (; listed < list_.size(); ++listed) ahead.list(list_[listed]);
        ahead.show();
    }
    // The scan_ahead goes here, its thread joined: the references it kept
    // for the walk (about 2 MiB on a fifty-fold book) are freed before the
    // sheets are written, so they never add to the job's peak memory. The
    // join costs the walk its second thread's last batch, some 50 us.
}

// Carried object i's scan: its references join the walk; it is too deep,
// or its references are kept when its text is clean.
void transfer::reached(size_t i, const ref_at *found, size_t n, bool ok, bool clean, bool keep) {
    for (size_t k = 0; k < n; ++k) note(found[k].num);
    if (!ok) {
        deep_[i] = true;
    } else if (clean && keep && refs_.size() + n <= INT32_MAX) {
        starts_[i] = static_cast<int32_t>(refs_.size());
        for (size_t k = 0; k < n; ++k) refs_.push_back(found[k]);
    }
}

bool transfer::clean_refs(int32_t n, int32_t m, const ref_at **refs, size_t *count) const {
    const int64_t i = static_cast<int64_t>(m) - base_;
    if (i < 0 || i >= static_cast<int64_t>(list_.size()) || list_[static_cast<size_t>(i)] != n) return false;
    const size_t k = static_cast<size_t>(i);
    const int32_t from = starts_[k];
    if (from < 0) return false;
    // The next object's row, clean or not, starts where this one ends.
    int32_t to = static_cast<int32_t>(refs_.size());
    if (k + 1 < starts_.size()) to = starts_[k + 1] < 0 ? ~starts_[k + 1] : starts_[k + 1];
    *refs = to > from ? &refs_[static_cast<size_t>(from)] : nullptr;
    *count = static_cast<size_t>(to - from);
    return true;
}

namespace {

// Whether obj_type may take e for a page or a page tree node: that needs
// "/Type /Page" or "/Pages" in its dictionary, spelt out or, escaped, with
// a '#' (false means obj_type says 0). Most objects a closure meets have neither, and this search costs
// a fraction of reading their dictionary.
bool may_be_page(const doc *d, const obj_entry *e) {
    const unsigned char *t;
    int32_t tlen, start, end;
    if (!dict_range(d->data, d->len, e, &t, &tlen, &start, &end)) return false;
    const unsigned char *const from = t + (start < 0 ? 0 : start);
    const unsigned char *const stop = t + end;
    if (stop <= from) return false;
    if (std::memchr(from, '#', static_cast<size_t>(stop - from))) return true;
    // "/Page", found by its 'P' (rarer than '/').
    for (const unsigned char *p = from + 1; stop - p >= 4; ++p) {
        const void *s = std::memchr(p, 'P', static_cast<size_t>(stop - p - 3));
        if (!s) return false;
        p = static_cast<const unsigned char *>(s);
        if (p[-1] == '/' && std::memcmp(p + 1, "age", 3) == 0) return true;
    }
    return false;
}

}  // namespace

void transfer::note(int64_t num) {
    while (num > 0 && num < static_cast<int64_t>(out_.size())) {
        int32_t &slot = out_[static_cast<size_t>(num)];
        if (slot != 0) return;
        const obj_entry *e = objvec_find(&d_->objs, static_cast<int32_t>(num));
        // Pages are not carried, nor the /Encrypt dictionary (the output
        // is plain).
        bool tree_member = static_cast<size_t>(num) < d_->page_tree.size() &&
                           d_->page_tree[static_cast<size_t>(num)] != 0;
        if ((e && may_be_page(d_, e) && obj_type(d_->data, d_->len, e) != 0) || tree_member ||
            (d_->crypt && num == d_->crypt->encrypt_num)) {
            slot = -1;
            return;
        }
        int64_t target = 0;
        if (e && forwards(e, &target)) {
            if (target <= 0 || target >= static_cast<int64_t>(out_.size())) {
                slot = -1;
                return;
            }
            slot = static_cast<int32_t>(kAlias - target);
            num = target;
            continue;
        }
        int64_t m = base_ + static_cast<int64_t>(list_.size());
        if (m > INT32_MAX) fail(kGenericFailure);
        slot = static_cast<int32_t>(m);
        list_.push_back(static_cast<int32_t>(num));
        deep_.push_back(false);
        // Not clean until close() finds it so; a row that starts (and
        // ends) after the last one.
        starts_.push_back(~static_cast<int32_t>(refs_.size()));
        return;
    }
}

// True when the object's whole value is one reference, to *target.
bool transfer::forwards(const obj_entry *e, int64_t *target) const {
    if (e->is_stream && !e->in_objstm) return false;
    const unsigned char *body;
    int32_t len;
    if (!obj_body(d_->data, d_->len, e, &body, &len)) return false;
    int32_t s = skip_ws(body, 0, len);
    int32_t end = len;
    while (end > s && is_pdf_ws(body[end - 1])) --end;
    if (s >= end || !is_digit(body[s])) return false;
    bool whole = false;
    scan_refs(body + s, end - s, [&](int32_t a, int32_t b, int64_t num) {
        if (a == 0 && b == end - s) {
            whole = true;
            *target = num;
        }
    });
    return whole;
}

// Replaces each forwarding entry by what its chain ends at: an output
// number, or null for a chain that ends nowhere or runs in a circle.
void transfer::resolve_aliases() {
    array<size_t> chain;
    for (size_t i = 1; i < out_.size(); ++i) {
        if (out_[i] > kAlias || out_[i] == kWalking) continue;
        chain.clear();
        size_t j = i;
        int32_t r;
        for (;;) {
            int32_t v = out_[j];
            if (v == kWalking) {
                r = -1;
                break;
            }
            if (v > kAlias) {
                r = v > 0 ? v : -1;
                break;
            }
            out_[j] = kWalking;
            chain.push_back(j);
            j = static_cast<size_t>(static_cast<int64_t>(kAlias) - v);
        }
        for (size_t k = 0; k < chain.size(); ++k) out_[chain[k]] = r;
    }
}

// ---------------------------------------------------------------------------
// Renumbering

namespace {

// "m 0 R" for output number m > 0, or "null", into buf (16 bytes); its length.
size_t put_ref(const transfer &tr, int64_t num, char *buf) {
    int32_t m = tr.lookup(num);
    if (m <= 0) {
        std::memcpy(buf, "null", 4);
        return 4;
    }
    char *e = put_decimal(buf, m);
    std::memcpy(e, " 0 R", 4);
    return static_cast<size_t>(e - buf) + 4;
}

// At most how much a spliced text grows per reference: "1 0 R" (5 bytes)
// becomes at most "2147483647 0 R" (14).
constexpr size_t kRefGrowth = 9;

// Copies t[0, len) through `emit`, every reference replaced.
template <class Emit>
bool renumber(const transfer &tr, const unsigned char *t, int32_t len, Emit &&emit) {
    int32_t copied = 0;
    char buf[16];
    bool ok = scan_refs(t, len, [&](int32_t s, int32_t e, int64_t num) {
        emit(t + copied, static_cast<size_t>(s - copied));
        emit(buf, put_ref(tr, num, buf));
        copied = e;
    });
    emit(t + copied, static_cast<size_t>(len - copied));
    return ok;
}

// The same for a clean text whose references were found already.
template <class Emit>
void splice(const transfer &tr, const unsigned char *t, int32_t len, const ref_at *r, size_t n,
            Emit &&emit) {
    int32_t copied = 0;
    char buf[16];
    for (size_t k = 0; k < n; ++k) {
        emit(t + copied, static_cast<size_t>(r[k].at - copied));
        emit(buf, put_ref(tr, r[k].num, buf));
        copied = r[k].end;
    }
    emit(t + copied, static_cast<size_t>(len - copied));
}

// splice() into out, which has room for len + kRefGrowth * n bytes; returns
// the end of what it wrote.
char *splice_to(const transfer &tr, const unsigned char *t, int32_t len, const ref_at *r, size_t n,
                char *out) {
    splice(tr, t, len, r, n, [&out](const void *p, size_t k) {
        std::memcpy(out, p, k);
        out += k;
    });
    return out;
}

size_t splice_bound(int32_t len, size_t n) { return static_cast<size_t>(len) + kRefGrowth * n; }

// The references of one text, kept per thread between calls.
thread_local array<ref_at> t_found;

}  // namespace

bool renumber_into(const transfer &tr, const unsigned char *t, int32_t len, std::string &out) {
    return renumber(tr, t, len, [&out](const void *p, size_t n) {
        out.append(static_cast<const char *>(p), n);
    });
}

void renumber_into(const transfer &tr, const unsigned char *t, int32_t len, image &img) {
    renumber(tr, t, len, [&img](const void *p, size_t n) { img.append(p, n); });
}

bool carry_into(const transfer &tr, const unsigned char *t, int32_t len, std::string &out) {
    array<ref_at> &found = t_found;
    found.clear();
    bool clean = false;
    if (!scan_carried(t, len, found, &clean)) return false;  // as renumber_into would
    if (clean) {
        // Written in place: the text grows once, not once a piece.
        const size_t at = out.size();
        out.resize(at + splice_bound(len, found.size()));
        char *end = splice_to(tr, t, len, found.size() ? &found[0] : nullptr, found.size(),
                              out.data() + at);
        out.resize(static_cast<size_t>(end - out.data()));
        return true;
    }
    std::string fixed;
    repaired_view(tr, &t, &len, fixed);
    return renumber_into(tr, t, len, out);
}

void repaired_view(const transfer &tr, const unsigned char **t, int32_t *len, std::string &hold) {
    if (tr.repair && repair_text(*t, *len, &hold, kMaxNesting)) {
        *t = reinterpret_cast<const unsigned char *>(hold.data());
        *len = static_cast<int32_t>(hold.size());
    }
}

// ---------------------------------------------------------------------------
// Carried objects

namespace {

// The declared length of a carried stream, or -1 when unreadable.
int32_t declared_length(const doc *d, const obj_entry *e) {
    int32_t L, R;
    parse_length(d->data, d->len, e->dict_pos, e->stream_pos, &L, &R);
    if (L >= 0) return L;
    if (R <= 0) return -1;
    const obj_entry *le = objvec_find(&d->objs, R);
    const unsigned char *body;
    int32_t blen;
    if (!le || le->is_stream || !obj_body(d->data, d->len, le, &body, &blen)) return -1;
    int32_t c = 0;
    return parse_int_at(body, blen, &c);
}

void write_null_object(image &img, int32_t m) {
    char *to = reinterpret_cast<char *>(img.room(32));
    char *e = put_decimal(to, m);
    std::memcpy(e, " 0 obj\nnull\nendobj\n", 19);
    img.commit(static_cast<uint64_t>(e + 19 - to));
}

// "m 0 obj\n" into head (24 bytes); its length.
size_t object_head(int32_t m, char *head) {
    char *e = put_decimal(head, m);
    std::memcpy(e, " 0 obj\n", 7);
    return static_cast<size_t>(e - head) + 7;
}

// A clean body goes into compact output's object stream as it is spliced,
// with no copy in the image: true when it did.
bool pack_clean(const transfer &tr, image &img, int32_t m, size_t head_len,
                const unsigned char *body, int32_t blen, const ref_at *refs, size_t nrefs) {
    packer *pk = img.direct();
    std::string *to = pk ? pk->body_room(static_cast<uint32_t>(m)) : nullptr;
    if (!to) return false;
    const size_t from = to->size();
    to->resize(from + splice_bound(blen, nrefs));
    const char *end = splice_to(tr, body, blen, refs, nrefs, to->data() + from);
    const size_t n = static_cast<size_t>(end - (to->data() + from));
    to->resize(from + n);
    if (!pk->body_done(static_cast<uint32_t>(m), from)) return false;
    // The image counts the object as the classic file would hold it.
    img.packed_whole(head_len + n + (is_pdf_ws(body[blen - 1]) ? 7 : 8));
    return true;
}

// A stream's dictionary whose /Length disagrees with the data that was found
// (a damaged file): every /Length entry of the dictionary gives way to one
// that states the true length.
void write_fixed_length_dict(const transfer &tr, image &img, const unsigned char *t, int32_t len,
                             int32_t actual) {
    std::string lt = "<< /Length ";
    put_int(lt, actual);
    img.append(lt);
    int32_t from = 2, p = 2;
    while (p < len) {
        p = skip_ws(t, p, len);
        if (p >= len || t[p] == '>') break;
        if (t[p] == '%') {
            while (p < len && t[p] != '\r' && t[p] != '\n') ++p;
            continue;
        }
        if (t[p] != '/') {
            int32_t q = value_end(t, len, p);
            p = q > p ? q : p + 1;
            continue;
        }
        int32_t k = p + 1;
        while (k < len && is_regular(t[k])) ++k;
        int32_t ve = value_end(t, len, skip_ws(t, k, len));
        if (k - p - 1 == 6 && std::memcmp(t + p + 1, "Length", 6) == 0) {
            img.append(" ", 1);
            renumber_into(tr, t + from, p - from, img);
            from = ve;
        }
        p = ve;
    }
    renumber_into(tr, t + from, len - from, img);
}

}  // namespace

void write_carried(const doc *d, const transfer &tr, image &img, offsets &off, int32_t n,
                   int32_t m, bool too_deep) {
    off.record(m, img);
    const obj_entry *e = objvec_find(&d->objs, n);
    if (!e || too_deep) {
        write_null_object(img, m);
        return;
    }
    char head[24];
    const size_t head_len = object_head(m, head);
    // Text the closure found valid is spliced from its references.
    const ref_at *refs = nullptr;
    size_t nrefs = 0;
    const bool clean = tr.clean_refs(n, m, &refs, &nrefs);
    if (e->is_stream && !e->in_objstm) {
        bool sound = e->dict_pos >= 0 && e->stream_pos > e->dict_pos && e->stream_pos <= d->len &&
                     e->data_start >= 0 && e->data_end >= e->data_start && e->data_end <= d->len &&
                     d->data[e->dict_pos] == '<';
        if (!sound) {
            write_null_object(img, m);
            return;
        }
        const unsigned char *t = d->data + e->dict_pos;
        int32_t len = e->stream_pos - e->dict_pos;
        int32_t actual = e->data_end - e->data_start;
        const unsigned char *data = d->data + e->data_start;
        // The output is not encrypted: an encrypted input's strings go out
        // decrypted (as hexadecimal strings) and its data decrypted, whose
        // length differs from the stored one under AES (IV and padding).
        std::string plain_dict;
        std::vector<unsigned char> plain_data;
        if (strings_encrypted(d, e)) {
            decrypt_strings_text(d, e, t, len, &plain_dict);
            t = reinterpret_cast<const unsigned char *>(plain_dict.data());
            len = static_cast<int32_t>(plain_dict.size());
        }
        // A stream's own /Crypt step is done here: the output is plain.
        std::string no_crypt;
        if (drops_crypt_step(d) && without_crypt_step(t, len, &no_crypt)) {
            t = reinterpret_cast<const unsigned char *>(no_crypt.data());
            len = static_cast<int32_t>(no_crypt.size());
        }
        std::string fixed_dict;
        if (!clean) repaired_view(tr, &t, &len, fixed_dict);
        bool decrypted = decrypt_stream(d, e, data, static_cast<size_t>(actual), &plain_data);
        if (decrypted) {
            data = plain_data.data();
            actual = static_cast<int32_t>(plain_data.size());
        }
        // The loader already found most streams' data where their /Length
        // ends it; the dictionary is read again only for the others.
        const bool length_right =
            !decrypted && (e->length_ok || declared_length(d, e) == actual);
        if (length_right && clean) {
            // The head, the dictionary and the keyword in one piece.
            char *to = reinterpret_cast<char *>(img.room(head_len + splice_bound(len, nrefs) + 7));
            std::memcpy(to, head, head_len);
            char *end = splice_to(tr, t, len, refs, nrefs, to + head_len);
            std::memcpy(end, "stream\n", 7);
            img.commit(static_cast<uint64_t>(end + 7 - to));
        } else {
            img.append(head, head_len);
            if (length_right)
                renumber_into(tr, t, len, img);
            else
                write_fixed_length_dict(tr, img, t, len, actual);
            img.append("stream\n");
        }
        img.spill_stream();  // the data goes straight out, however large
        if (actual > 0) img.append(data, static_cast<uint64_t>(actual));
        img.append("\nendstream\nendobj\n");
        return;
    }
    const unsigned char *body;
    int32_t blen;
    if (!obj_body(d->data, d->len, e, &body, &blen) || skip_ws(body, 0, blen) >= blen) {
        write_null_object(img, m);
        return;
    }
    std::string plain;
    if (strings_encrypted(d, e)) {
        decrypt_strings_text(d, e, body, blen, &plain);
        body = reinterpret_cast<const unsigned char *>(plain.data());
        blen = static_cast<int32_t>(plain.size());
    }
    if (clean) {
        // Valid as it stands: nothing to repair, nothing left open.
        if (pack_clean(tr, img, m, head_len, body, blen, refs, nrefs)) return;
        const char *tail = is_pdf_ws(body[blen - 1]) ? "endobj\n" : "\nendobj\n";
        const size_t tail_len = std::strlen(tail);
        char *to = reinterpret_cast<char *>(img.room(head_len + splice_bound(blen, nrefs) + 8));
        std::memcpy(to, head, head_len);
        char *end = splice_to(tr, body, blen, refs, nrefs, to + head_len);
        std::memcpy(end, tail, tail_len);
        img.commit(static_cast<uint64_t>(end + tail_len - to));
        return;
    }
    std::string fixed;
    repaired_view(tr, &body, &blen, fixed);
    img.append(head, head_len);
    renumber_into(tr, body, blen, img);
    // A body left open by a damaged input is closed before its endobj.
    std::string tail = closers(body, blen);
    img.append(tail);
    img.append(is_pdf_ws(tail.empty() ? body[blen - 1] : static_cast<unsigned char>(tail.back()))
                   ? "endobj\n"
                   : "\nendobj\n");
}

}  // namespace sheetlay::nup
