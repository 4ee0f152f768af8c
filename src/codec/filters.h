// Stream filters: the decoders of the standard non-image filters, applied in
// chains, and a reader for the /Filter and /DecodeParms values that name them.
//
// When page content from several streams is joined, or an object stream is
// read, the bytes must be decoded whatever filters the producer chose. Image
// filters (DCT, JPX, CCITT fax, JBIG2) and Crypt are never decoded here: a
// stream that uses one stays encoded and is carried as it was stored.
//
// Every decoder writes at most `limit` bytes, reads nothing past its input
// and, on damaged data, keeps what decoded before the damage as viewers do.
// No state is shared between calls. Allocation failure is reported by
// std::bad_alloc, which the C boundary turns into "out of memory".
#ifndef SHEETLAY_CODEC_FILTERS_H
#define SHEETLAY_CODEC_FILTERS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sheetlay {

enum class filter_kind : uint8_t {
    ascii_hex,   // /ASCIIHexDecode, /AHx
    ascii85,     // /ASCII85Decode, /A85
    lzw,         // /LZWDecode, /LZW
    run_length,  // /RunLengthDecode, /RL
    flate,       // /FlateDecode, /Fl
};

// The integer entries of a /DecodeParms dictionary that these filters use,
// with their defaults. Predictor, Colors, BitsPerComponent and Columns apply
// to LZW and Flate; EarlyChange to LZW only; the other filters ignore them.
struct filter_parms {
    int32_t predictor = 1;           // 1 none, 2 TIFF, 10..15 PNG (per-row filter byte)
    int32_t colors = 1;              // 1..255
    int32_t bits_per_component = 8;  // 1, 2, 4, 8 or 16
    int32_t columns = 1;             // >= 1
    int32_t early_change = 1;        // 0 or 1
};

struct filter_step {
    filter_kind kind = filter_kind::flate;
    filter_parms parms;
};

// Longer chains are not decoded (no producer writes one; each step can
// cost up to `limit` bytes of work).
constexpr int kMaxFilterChain = 8;

struct filter_chain {
    filter_step step[kMaxFilterChain];
    int count = 0;  // 0: no filter, the data is used as stored
};

enum class filter_status : uint8_t {
    ok,             // decoded to the end
    damaged,        // damaged or cut short: the output holds what decoded before the damage
    too_large,      // the decoded data would exceed the limit: the output is empty
    failed,         // unusable parameters, or data refused from its first byte: the output is empty
    not_decodable,  // image filter, Crypt, unknown name or unreadable value: keep the stream encoded
};

// Decodes src[0, len) through the chain's steps in order into *out (replaced;
// src may point into it). No step's output may exceed `limit` bytes, nor 2^30
// for Flate; a chain without steps gives the bytes as they are, also within
// the limit. A damaged step's output still goes through the steps after it,
// and the result is then `damaged` unless a later step fails outright.
filter_status decode_filters(const filter_chain &chain, const unsigned char *src, size_t len,
                             uint64_t limit, std::vector<unsigned char> *out);

// Builds a chain from the text of a stream dictionary's /Filter value (a name
// or an array of names) and of its /DecodeParms value (a dictionary, null,
// or an array of dictionaries and nulls; `parms` may be null or empty when
// the entry is absent). Only names, integers, null, [ ], << >> and the
// values to be skipped inside a dictionary are understood; an indirect
// reference where a name or a parameter is needed cannot be resolved here
// and gives not_decodable, as does any name outside the five filters above.
// Returns ok or not_decodable; *out is complete only with ok.
filter_status parse_filter_chain(const unsigned char *filter, size_t filter_len,
                                 const unsigned char *parms, size_t parms_len, filter_chain *out);

}  // namespace sheetlay

#endif
