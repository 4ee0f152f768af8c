// Access to the data of stream objects: in place in the file text, or
// decoded when the stream carries plain Flate data.
//
// Only a lone /FlateDecode without a predictor is decoded here; the output
// can embed decoded content directly. Any other filter list is left to the
// viewer: the data goes out as stored, with its /Filter and /DecodeParms,
// which stream_filter points at.
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

}  // namespace sheetlay

#endif
