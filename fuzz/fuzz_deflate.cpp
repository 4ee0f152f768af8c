// The Flate encoder on arbitrary bytes.
//
// Input: one byte that picks the level (its value modulo 11, with 10 standing
// for a level out of range, which must act as the highest), then the data.
// The data is copied into a heap block of exactly its size, so
// AddressSanitizer sees any read past it. The stream must decode to the data
// with the library's decoder and, with zlib, with zlib's; compressing again
// must give the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/deflate.h"
#include "codec/inflate.h"

#ifdef SHEETLAY_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

[[noreturn]] void fault(const char *what, int level, size_t len) {
    std::fprintf(stderr, "fuzz_deflate: %s (level %d, %zu bytes)\n", what, level, len);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    int level = data[0] % 11;
    if (level == 10) level = 1000;
    size_t len = size - 1;
    std::unique_ptr<unsigned char[]> src(new unsigned char[len ? len : 1]);
    if (len) std::memcpy(src.get(), data + 1, len);

    std::vector<unsigned char> z = sheetlay::deflate_compress(src.get(), len, level);
    if (z != sheetlay::deflate_compress(src.get(), len, level)) fault("output differs between runs", level, len);
    // Never much more than the stored form.
    if (z.size() > len + len / 3000 + 16) fault("output larger than stored blocks", level, len);

    std::unique_ptr<unsigned char[]> out(new unsigned char[len ? len : 1]);
    uint64_t n = 0;
    if (sheetlay::inflate_decompress(z.data(), z.size(), out.get(), len, &n) != 0)
        fault("the decoder refuses the stream", level, len);
    if (n != len || (len && std::memcmp(out.get(), src.get(), len) != 0))
        fault("the decoder gives other bytes", level, len);

#ifdef SHEETLAY_HAVE_ZLIB
    std::unique_ptr<unsigned char[]> ref(new unsigned char[len + 1]);
    uLongf zn = static_cast<uLongf>(len + 1);
    if (uncompress(ref.get(), &zn, z.data(), static_cast<uLong>(z.size())) != Z_OK)
        fault("zlib refuses the stream", level, len);
    if (zn != len || (len && std::memcmp(ref.get(), src.get(), len) != 0))
        fault("zlib gives other bytes", level, len);
#endif
    return 0;
}
