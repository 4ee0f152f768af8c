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

#include "codec/inflate.h"
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

// The stored data of a stream and how it is encoded. Null when the object
// has no usable data.
const unsigned char *classify(const obj_entry *e, const unsigned char *text, int32_t text_len,
                              int64_t *len, stream_filter *sf, stored_kind *kind) {
    if (sf) {
        sf->still_encoded = 0;
        sf->filter = rng{-1, -1};
        sf->parms = rng{-1, -1};
    }
    if (!e->is_stream) return nullptr;
    int64_t L = static_cast<int64_t>(e->data_end) - e->data_start;
    if (L <= 0 || e->data_start < 0 || e->data_end > text_len) return nullptr;
    *len = L;
    const unsigned char *in_place = text + e->data_start;
    *kind = stored_kind::plain;
    if (e->dict_pos < 0) return in_place;
    int32_t ds = e->dict_pos;
    int32_t de = e->stream_pos > 0 ? e->stream_pos : e->endobj_pos > 0 ? e->endobj_pos : text_len;
    if (de > text_len) de = text_len;

    rng fv{-1, -1}, pv{-1, -1};
    bool has_filter = entry_value(text, ds, de, "Filter", &fv);
    bool has_parms = entry_value(text, ds, de, "DecodeParms", &pv);
    if (has_filter) {
        int count;
        bool first_flate;
        filter_names(text, fv, &count, &first_flate);
        // Decode only a lone /FlateDecode without a predictor; any other
        // filter list goes out still encoded, with its parameters, for the
        // viewer to decode.
        bool predictor = false;
        if (has_parms) {
            int32_t pi = find_name(text, pv.end, pv.start, pv.end, "Predictor");
            if (pi >= 0) {
                int32_t c = pi + 10;
                int32_t v = parse_int_at(text, pv.end, &c);
                predictor = v > 1;
            }
        }
        if (count == 1 && first_flate && !predictor) {
            *kind = stored_kind::plain_flate;
        } else if (count > 0) {
            if (sf) {
                sf->still_encoded = 1;
                sf->filter = fv;
                if (has_parms) sf->parms = pv;
            }
            *kind = stored_kind::other;
        }
    } else if (find_name(text, de, ds, de, "FlateDecode") >= 0) {
        *kind = stored_kind::unknown;  // taken for Flate when decoding
    }
    return in_place;
}

}  // namespace

const unsigned char *stored_stream(const obj_entry *e, const unsigned char *text,
                                   int32_t text_len, int32_t *out_len, stream_filter *sf,
                                   stored_kind *kind) {
    int64_t L = 0;
    stored_kind k = stored_kind::plain;
    const unsigned char *p = classify(e, text, text_len, &L, sf, &k);
    if (!p) return nullptr;
    *out_len = static_cast<int32_t>(L);
    *kind = k;
    return p;
}

const unsigned char *decoded_stream(const obj_entry *e, const unsigned char *text,
                                    int32_t text_len, buf *out, int32_t *out_len,
                                    stream_filter *sf) {
    int64_t L = 0;
    stored_kind kind = stored_kind::plain;
    const unsigned char *in_place = classify(e, text, text_len, &L, sf, &kind);
    if (!in_place) return nullptr;
    if (kind == stored_kind::plain || kind == stored_kind::other) {
        *out_len = static_cast<int32_t>(L);
        return in_place;
    }

    // First try 20 times the stored size; very repetitive content can
    // compress better than that, so grow the area instead of losing it.
    // A stream so large that 20 x L + 4096 exceeds the decoder's limit still
    // gets one attempt with the largest area the decoder accepts.
    uint64_t bound = std::min<uint64_t>(kInflateMax, 1032 * static_cast<uint64_t>(L) + 4096);
    uint64_t cap = std::min<uint64_t>(20 * static_cast<uint64_t>(L) + 4096, bound);
    uint64_t entry_len = out->len;
    for (;;) {
        buf_reserve(out, cap);
        if (!out->data) return nullptr;
        uint64_t n = 0;
        int room = 0;
        int32_t rc = inflate_decompress_ex(in_place, static_cast<uint64_t>(L), out->data + entry_len,
                                           cap, &n, &room);
        if (rc == 0 && n <= static_cast<uint64_t>(INT32_MAX)) {
            out->len = entry_len + n;
            out->data[out->len] = 0;
            *out_len = static_cast<int32_t>(n);
            return out->data + entry_len;
        }
        // Only a lack of room is helped by a larger area; data that is cut
        // short fails the same way however large the area.
        if (rc == 0 || !room || cap >= bound) {
            out->data[entry_len] = 0;
            return nullptr;
        }
        cap = std::min(cap * 4, bound);
    }
}

}  // namespace sheetlay
