// Stream data access (see pdf/stream.h).
//
// The decoded size of Flate data is unknown until it is decoded, so the
// output area starts at a multiple of the stored size and grows only when
// the decoder reports a lack of room; data that is cut short or damaged
// fails the same way in any area and is not retried.
#include "pdf/stream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "codec/filters.h"
#include "codec/inflate.h"
#include "pdf/decrypt.h"
#include "pdf/lexer.h"

namespace sheetlay {

namespace {

// The value of /key in t[start, end): the range of its text (a name, an
// array, a dictionary or a single token). False when absent.
bool entry_value(const unsigned char *t, int32_t start, int32_t end, const char *key, rng *out) {
    int32_t i = find_name(t, end, start, end, key);
    if (i < 0) return false;
    int32_t p = skip_ws(t, i + 1 + static_cast<int32_t>(std::strlen(key)), end);
    if (p >= end) return false;
    int32_t q = p;
    if (t[p] == '[') {
        while (q < end && t[q] != ']') ++q;
        if (q >= end) return false;
        ++q;
    } else if (p + 1 < end && t[p] == '<' && t[p + 1] == '<') {
        int32_t depth = 0;
        while (q < end) {
            if (q + 1 < end && t[q] == '<' && t[q + 1] == '<') {
                ++depth;
                q += 2;
            } else if (q + 1 < end && t[q] == '>' && t[q + 1] == '>') {
                q += 2;
                if (--depth == 0) break;
            } else {
                ++q;
            }
        }
        if (depth != 0) return false;
    } else if (t[p] == '/') {
        ++q;
        while (q < end && !is_pdf_ws(t[q]) && t[q] != '/' && t[q] != '[' && t[q] != ']' &&
               t[q] != '<' && t[q] != '>' && t[q] != '(' && t[q] != ')' && t[q] != '%')
            ++q;
    } else {
        return false;  // an indirect filter list is not followed
    }
    out->start = p;
    out->end = q;
    return true;
}

// Counts the filter names in a /Filter value and tells whether the first
// is /FlateDecode.
void filter_names(const unsigned char *t, const rng &v, int *count, bool *first_flate) {
    *count = 0;
    *first_flate = false;
    for (int32_t i = v.start; i < v.end; ++i) {
        if (t[i] != '/') continue;
        int32_t j = i + 1;
        while (j < v.end && is_name_char(t[j])) ++j;
        if (*count == 0) *first_flate = (j - i - 1 == 11 && std::memcmp(t + i + 1, "FlateDecode", 11) == 0);
        ++*count;
        i = j - 1;
    }
}

// Flate data whose worst case expansion is over 1,000:1; trying capacities
// beyond the decoder's largest area cannot succeed.
constexpr uint64_t kInflateMax = kInflateMaxOut;

}  // namespace

namespace {

// Bytes that must reach the caller through `out` (decrypted data) are
// appended there; bytes of the file are returned in place.
const unsigned char *give(const unsigned char *data, int64_t L, bool copied, buf *out,
                          int32_t *out_len) {
    if (copied) {
        uint64_t at = out->len;
        buf_append(out, data, static_cast<uint64_t>(L));
        if (!out->data) return nullptr;
        *out_len = static_cast<int32_t>(L);
        return out->data + at;
    }
    *out_len = static_cast<int32_t>(L);
    return data;
}

// Decodes data[0, L) through the whole filter chain into `out`.
const unsigned char *decode_chain(const filter_chain &chain, const unsigned char *data, int64_t L,
                                  buf *out, int32_t *out_len) {
    std::vector<unsigned char> dec;
    filter_status st = decode_filters(chain, data, static_cast<size_t>(L), kInflateMax, &dec);
    if (st != filter_status::ok && st != filter_status::damaged) return nullptr;
    // Damaged data keeps what decoded before the damage, as viewers show it.
    uint64_t at = out->len;
    buf_append(out, dec.data(), dec.size());
    if (!out->data) return nullptr;
    *out_len = static_cast<int32_t>(dec.size());
    return out->data + at;
}

// How the data of a stream is encoded, from its dictionary: for `other`,
// the ranges of its /Filter and /DecodeParms values.
stored_kind classify_filters(const obj_entry *e, const unsigned char *text, int32_t text_len,
                             rng *fv, rng *pv) {
    *fv = rng{-1, -1};
    *pv = rng{-1, -1};
    if (e->dict_pos < 0) return stored_kind::plain;
    int32_t ds = e->dict_pos;
    int32_t de = e->stream_pos > 0 ? e->stream_pos : e->endobj_pos > 0 ? e->endobj_pos : text_len;
    if (de > text_len) de = text_len;
    bool has_filter = entry_value(text, ds, de, "Filter", fv);
    bool has_parms = entry_value(text, ds, de, "DecodeParms", pv);
    if (!has_parms) *pv = rng{-1, -1};
    if (!has_filter) {
        // A /FlateDecode name that is not a readable /Filter value (an
        // indirect list, say) is still taken for Flate when decoding.
        return find_name(text, de, ds, de, "FlateDecode") >= 0 ? stored_kind::unknown
                                                                : stored_kind::plain;
    }
    int count;
    bool first_flate;
    filter_names(text, *fv, &count, &first_flate);
    bool predictor = false;
    if (has_parms) {
        int32_t pi = find_name(text, pv->end, pv->start, pv->end, "Predictor");
        if (pi >= 0) {
            int32_t c = pi + 10;
            int32_t v = parse_int_at(text, pv->end, &c);
            predictor = v > 1;
        }
    }
    if (count == 1 && first_flate && !predictor) return stored_kind::plain_flate;
    return count > 0 ? stored_kind::other : stored_kind::plain;
}

const unsigned char *stream_core(const obj_entry *e, const unsigned char *text, int32_t text_len,
                                 const unsigned char *data, int64_t L, bool copied, bool decode_all,
                                 bool drop_crypt, buf *out, int32_t *out_len, stream_filter *sf) {
    const unsigned char *in_place = data;
    rng fv, pv;
    // A lone predictor-free /FlateDecode is decoded below; other filter
    // lists are decoded only where the caller needs the plain bytes
    // (decode_all), else they go out still encoded, with their parameters,
    // for the viewer to decode.
    stored_kind kind = classify_filters(e, text, text_len, &fv, &pv);
    std::string no_crypt;
    if (kind == stored_kind::other && drop_crypt && e->dict_pos >= 0 && e->stream_pos > e->dict_pos &&
        e->stream_pos <= text_len &&
        without_crypt_step(text + e->dict_pos, e->stream_pos - e->dict_pos, &no_crypt)) {
        // The stream's own /Crypt step is done (decrypted, or Identity):
        // the rest of its chain is what remains to decode. When that rest
        // is more than plain Flate it is decoded here, since the ranges the
        // caller would copy still name the /Crypt step.
        obj_entry bare = *e;
        bare.dict_pos = 0;
        bare.stream_pos = static_cast<int32_t>(no_crypt.size());
        bare.endobj_pos = -1;
        bare.length_ok = 0;  // another text: its /Length is not known
        const auto *nt = reinterpret_cast<const unsigned char *>(no_crypt.data());
        rng nfv, npv;
        kind = classify_filters(&bare, nt, bare.stream_pos, &nfv, &npv);
        if (kind == stored_kind::other) {
            filter_chain chain;
            bool has_parms = npv.start >= 0;
            if (parse_filter_chain(nt + nfv.start, static_cast<size_t>(nfv.end - nfv.start),
                                   has_parms ? nt + npv.start : nullptr,
                                   has_parms ? static_cast<size_t>(npv.end - npv.start) : 0,
                                   &chain) == filter_status::ok)
                return decode_chain(chain, data, L, out, out_len);
        }
    }
    if (kind == stored_kind::other) {
        filter_chain chain;
        bool has_parms = pv.start >= 0;
        if (decode_all &&
            parse_filter_chain(text + fv.start, static_cast<size_t>(fv.end - fv.start),
                               has_parms ? text + pv.start : nullptr,
                               has_parms ? static_cast<size_t>(pv.end - pv.start) : 0,
                               &chain) == filter_status::ok)
            return decode_chain(chain, data, L, out, out_len);
        // Image filters and the like: the bytes as stored (decrypted).
        if (sf) {
            sf->still_encoded = 1;
            sf->filter = fv;
            if (has_parms) sf->parms = pv;
        }
        return give(data, L, copied, out, out_len);
    }
    if (kind == stored_kind::plain) return give(data, L, copied, out, out_len);

    // The area starts at 20 times the stored size and grows while the
    // decoder runs short of room (very repetitive content compresses better
    // than that), up to the most deflate data can expand to, so the data is
    // decoded once.
    const uint64_t bound = std::min<uint64_t>(kInflateMax, 1032 * static_cast<uint64_t>(L) + 4096);
    const uint64_t entry_len = out->len;
    // The decoded bytes go to out->data + entry_len; growing the buffer may
    // move it.
    class buf_area final : public inflate_area {
    public:
        buf_area(buf *b, uint64_t at, uint64_t bound) : b_(b), at_(at), bound_(bound) {}
        bool grow(uint64_t need) override {
            if (need > bound_) return false;
            uint64_t want = std::max(need, std::min(cap > bound_ / 4 ? bound_ : cap * 4, bound_));
            buf_reserve(b_, want);
            if (!b_->data) return false;
            data = b_->data + at_;
            cap = want;
            return true;
        }

    private:
        buf *b_;
        uint64_t at_, bound_;
    } area(out, entry_len, bound);
    if (!area.grow(std::min<uint64_t>(20 * static_cast<uint64_t>(L) + 4096, bound))) return nullptr;
    uint64_t n = 0;
    int room = 0;
    int32_t rc = inflate_decompress_into(in_place, static_cast<uint64_t>(L), &area, &n, &room);
    if (!out->data) return nullptr;
    if (rc == 0 && n <= static_cast<uint64_t>(INT32_MAX)) {
        out->len = entry_len + n;
        out->data[out->len] = 0;
        *out_len = static_cast<int32_t>(n);
        return out->data + entry_len;
    }
    out->data[entry_len] = 0;
    return nullptr;
}

// Clears *sf and gives the length of the stream's stored data, or 0 when
// the entry is no stream or its data does not lie inside the text.
int64_t stored_length(const obj_entry *e, int32_t text_len, stream_filter *sf) {
    if (sf) {
        sf->still_encoded = 0;
        sf->filter = rng{-1, -1};
        sf->parms = rng{-1, -1};
    }
    if (!e->is_stream) return 0;
    int64_t L = static_cast<int64_t>(e->data_end) - e->data_start;
    if (L <= 0 || e->data_start < 0 || e->data_end > text_len) return 0;
    return L;
}

const unsigned char *stream_entry(const doc *d, const obj_entry *e, const unsigned char *text,
                                  int32_t text_len, bool decode_all, buf *out, int32_t *out_len,
                                  stream_filter *sf) {
    const int64_t L = stored_length(e, text_len, sf);
    if (L == 0) return nullptr;
    const unsigned char *stored = text + e->data_start;
    std::vector<unsigned char> plain;
    if (d && decrypt_stream(d, e, stored, static_cast<size_t>(L), &plain)) {
        if (plain.empty()) return nullptr;
        return stream_core(e, text, text_len, plain.data(), static_cast<int64_t>(plain.size()), true,
                           decode_all, drops_crypt_step(d), out, out_len, sf);
    }
    return stream_core(e, text, text_len, stored, L, false, decode_all, drops_crypt_step(d), out,
                       out_len, sf);
}

}  // namespace

bool stream_filters(const unsigned char *t, int32_t len, int32_t start, int32_t end, rng *filter,
                    rng *parms) {
    if (end > len) end = len;
    *parms = rng{-1, -1};
    if (!entry_value(t, start, end, "Filter", filter)) return false;
    if (!entry_value(t, start, end, "DecodeParms", parms)) *parms = rng{-1, -1};
    return true;
}

const unsigned char *decoded_stream(const obj_entry *e, const unsigned char *text,
                                    int32_t text_len, buf *out, int32_t *out_len,
                                    stream_filter *sf) {
    return stream_entry(nullptr, e, text, text_len, false, out, out_len, sf);
}

const unsigned char *doc_stream(const doc *d, const obj_entry *e, bool decode_all, buf *out,
                                int32_t *out_len, stream_filter *sf) {
    return stream_entry(d, e, d->data, d->len, decode_all, out, out_len, sf);
}

const unsigned char *stored_stream(const obj_entry *e, const unsigned char *text,
                                   int32_t text_len, int32_t *out_len, stream_filter *sf,
                                   stored_kind *kind) {
    const int64_t L = stored_length(e, text_len, sf);
    if (L == 0) return nullptr;
    rng fv, pv;
    *kind = classify_filters(e, text, text_len, &fv, &pv);
    if (*kind == stored_kind::other && sf) {
        sf->still_encoded = 1;
        sf->filter = fv;
        sf->parms = pv;
    }
    *out_len = static_cast<int32_t>(L);
    return text + e->data_start;
}

}  // namespace sheetlay
