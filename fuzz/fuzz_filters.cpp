// The stream filters on arbitrary bytes.
//
// Input: a header that picks the chain and its parameters, then the data.
//   byte 0        low 2 bits + 1: steps in the chain (1 to 4); bit 7: read
//                 the chain from text instead (see below)
//   bytes 1..4    one byte a step: low 3 bits the filter (5..7 fold onto
//                 Flate, LZW and RunLength), high bits pick the predictor
//   bytes 5..9    Colors, BitsPerComponent, Columns (two bytes), EarlyChange
//   bytes 10..11  the output limit (up to 64 KiB)
// With bit 7 of byte 0 set, the bytes after the limit up to the first
// newline are the /Filter text, up to the second one the /DecodeParms text,
// and the rest is the data.
//
// Besides "no crash, no read or write out of bounds, no undefined
// behaviour", the target checks what the callers rely on: nothing over the
// limit, no bytes with too_large, failed or not_decodable, and the same
// bytes and status from a second run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/filters.h"

namespace {

[[noreturn]] void fault(const char *what) {
    std::fprintf(stderr, "fuzz_filters: %s\n", what);
    std::abort();
}

const int32_t kPredictors[8] = {1, 1, 2, 10, 12, 14, 15, 11};
const int32_t kBits[8] = {1, 2, 4, 8, 16, 8, 3, 0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace sheetlay;
    if (size < 12) return 0;
    const uint8_t *h = data;
    uint64_t limit = (uint64_t{h[10]} | uint64_t{h[11]} << 8) + 1;
    const uint8_t *src = data + 12;
    size_t len = size - 12;

    filter_chain chain;
    if (h[0] & 0x80) {
        const uint8_t *nl = static_cast<const uint8_t *>(std::memchr(src, '\n', len));
        if (!nl) return 0;
        size_t flen = static_cast<size_t>(nl - src);
        const uint8_t *p = nl + 1;
        size_t rest = len - flen - 1;
        const uint8_t *nl2 = static_cast<const uint8_t *>(std::memchr(p, '\n', rest));
        if (!nl2) return 0;
        size_t plen = static_cast<size_t>(nl2 - p);
        filter_status st = parse_filter_chain(src, flen, p, plen, &chain);
        if (st != filter_status::ok && st != filter_status::not_decodable) fault("parser status");
        if (st != filter_status::ok) return 0;
        if (chain.count < 0 || chain.count > kMaxFilterChain) fault("parser chain length");
        src = nl2 + 1;
        len = rest - plen - 1;
    } else {
        chain.count = (h[0] & 3) + 1;
        for (int k = 0; k < chain.count; ++k) {
            uint8_t b = h[1 + k];
            filter_step &s = chain.step[k];
            static const filter_kind kinds[8] = {filter_kind::ascii_hex, filter_kind::ascii85, filter_kind::lzw,
                                                 filter_kind::run_length, filter_kind::flate, filter_kind::flate,
                                                 filter_kind::lzw, filter_kind::run_length};
            s.kind = kinds[b & 7];
            s.parms.predictor = kPredictors[(b >> 3) & 7];
            s.parms.colors = (h[5] & 7) + (h[5] & 0x80 ? 250 : 0);
            s.parms.bits_per_component = kBits[h[6] & 7];
            int32_t cols = h[7] | h[8] << 8;
            s.parms.columns = b & 0x40 ? cols * 32768 : cols;
            s.parms.early_change = h[9] & 1;
        }
    }

    std::vector<unsigned char> out, again;
    filter_status st = decode_filters(chain, src, len, limit, &out);
    if (out.size() > limit) fault("output over the limit");
    if ((st == filter_status::too_large || st == filter_status::failed || st == filter_status::not_decodable) &&
        !out.empty())
        fault("bytes with a failing status");
    filter_status st2 = decode_filters(chain, src, len, limit, &again);
    if (st2 != st || again != out) fault("two runs differ");
    return 0;
}
