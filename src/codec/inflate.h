// Flate (zlib-framed deflate) decoder. Depends on nothing else of the library.
#ifndef SHEETLAY_CODEC_INFLATE_H
#define SHEETLAY_CODEC_INFLATE_H

#include <cstdint>

namespace sheetlay {

// The largest output area the decoder accepts (2^30 bytes). Callers that grow
// an area after a shortage stop here: a larger one is refused.
constexpr uint64_t kInflateMaxOut = uint64_t{1} << 30;

// Decodes the zlib stream src[0, src_len) into dst[0, dst_cap).
// Returns 0 when decoding ended: at the final block, or at a format error
// inside the compressed data (then *out_len counts the bytes before it).
// Returns -1 with *out_len 0 when the frame is refused (method not 8,
// preset dictionary, src_len < 2, dst_cap > 2^30), when the input ends
// before the final block does, or when dst_cap is too small.
int32_t inflate_decompress(const unsigned char *src, uint64_t src_len, unsigned char *dst,
                           uint64_t dst_cap, uint64_t *out_len);

// The same, telling in *out_of_room (when given) whether a result of -1 came
// from the output area being too small: only then can a larger area help.
// *written (when given) receives the number of bytes written to dst[] on
// every outcome, also when the input ends before the final block (where
// *out_len stays 0): the start of the data that was there.
int32_t inflate_decompress_ex(const unsigned char *src, uint64_t src_len, unsigned char *dst,
                              uint64_t dst_cap, uint64_t *out_len, int *out_of_room,
                              uint64_t *written = nullptr);

// An output area the decoder may ask to enlarge while it decodes, so that
// data of unknown decoded size is decoded once, into room that is never
// filled in advance.
class inflate_area {
public:
    unsigned char *data = nullptr;
    uint64_t cap = 0;
    // Makes data[0, cap) hold at least `need` bytes, keeping the bytes
    // already written (data may move). False when the area may not grow so
    // far or the memory is not there; the decoder then writes no more.
    virtual bool grow(uint64_t need) = 0;

protected:
    ~inflate_area() = default;
};

// inflate_decompress_ex into an area that grows on demand: the outcomes are
// those of a fixed area as large as the area can grow (never beyond 2^30),
// and *out_of_room is set when it could not grow enough.
int32_t inflate_decompress_into(const unsigned char *src, uint64_t src_len, inflate_area *area,
                                uint64_t *out_len, int *out_of_room, uint64_t *written = nullptr);

}  // namespace sheetlay

#endif
