// Access to the data of stream objects: in place in the file text, or
// decrypted and decoded.
//
// A lone /FlateDecode without a predictor is always decoded; the output can
// embed decoded content directly. Other filter lists are decoded only where
// the plain bytes are needed (the parts of a page's content array, which
// are joined into one stream); elsewhere they are left to the viewer: the
// data goes out as stored, with its /Filter and /DecodeParms, which
// stream_filter points at. Image filters are never decoded. The data of an
// encrypted document is decrypted before anything else.
#ifndef SHEETLAY_PDF_STREAM_H
#define SHEETLAY_PDF_STREAM_H

#include <cstdint>

#include "pdf/document.h"

namespace sheetlay {

// What decoded_stream tells about data it returns still encoded: the value
// texts of the stream's /Filter and /DecodeParms (ranges of the file text;
// start == end == -1 when absent).
struct stream_filter {
    int still_encoded;  // 1 when the data carries a filter the caller must keep
    rng filter;
    rng parms;
};

// The data of a stream object: decoded into `out` (appended) for plain
// Flate, else in place in the file text. Null on failure; *out_len is
// written only on success. `sf` may be null.
const unsigned char *decoded_stream(const obj_entry *e, const unsigned char *text,
                                    int32_t text_len, buf *out, int32_t *out_len,
                                    stream_filter *sf);

// How a stream's stored data is encoded, as stored_stream tells it.
enum class stored_kind {
    plain,        // no filter: the data is the content itself
    plain_flate,  // a lone /FlateDecode without a predictor
    other,        // another filter list (`sf` points at it)
    unknown,      // a filter entry that is not read here (an indirect list)
};

// The data of a stream object as stored, not decoded, and what encodes it.
// The one reader of stored stream bytes for callers that pass them on as
// they are. Null when the object has no usable data.
const unsigned char *stored_stream(const obj_entry *e, const unsigned char *text,
                                   int32_t text_len, int32_t *out_len, stream_filter *sf,
                                   stored_kind *kind);

// The value texts of /Filter (a name or an array of names) and /DecodeParms
// in the dictionary text t[start, end): false when /Filter is absent or is
// not written in place; parms is {-1, -1} when absent.
bool stream_filters(const unsigned char *t, int32_t len, int32_t start, int32_t end, rng *filter,
                    rng *parms);

// The same for an object of the document d: decrypted first when d is
// encrypted (the result then always lies in `out`) and, with decode_all,
// decoded through every standard non-image filter (damaged data keeps what
// decoded before the damage; data past the limits gives null).
const unsigned char *doc_stream(const doc *d, const obj_entry *e, bool decode_all, buf *out,
                                int32_t *out_len, stream_filter *sf);

}  // namespace sheetlay

#endif
