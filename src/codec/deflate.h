// Flate (zlib-framed deflate) encoder. Depends on nothing else of the library.
#ifndef SHEETLAY_CODEC_DEFLATE_H
#define SHEETLAY_CODEC_DEFLATE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sheetlay {

// Compression levels. Any int is accepted: below 0 means the default, above
// 9 means 9. 0 writes stored blocks only; 1 is the fast level (one probe per
// position, greedy); 2-3 greedy with short chains; 4-9 lazy matching with
// longer chains; 6 is the default.
constexpr int kDeflateStored = 0;
constexpr int kDeflateFast = 1;
constexpr int kDeflateDefault = 6;
constexpr int kDeflateBest = 9;

// Appends the complete zlib stream (header, deflate data, Adler-32) of
// src[0, len) to `out`. The same input and level always give the same bytes.
// Throws std::bad_alloc when memory runs out (`out` may then hold a partial
// stream after its former content).
void deflate_compress_into(std::string &out, const unsigned char *src, size_t len, int level = kDeflateDefault);

// The same, returned as a new vector.
std::vector<unsigned char> deflate_compress(const unsigned char *src, size_t len, int level = kDeflateDefault);

// The Adler-32 checksum of src[0, len), continuing from `adler` (1 to start).
uint32_t deflate_adler32(uint32_t adler, const unsigned char *src, size_t len);

}  // namespace sheetlay

#endif
