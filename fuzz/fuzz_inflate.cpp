// The Flate decoder on arbitrary bytes with an arbitrary output area.
//
// Input: three bytes that give the area's size (little-endian, reduced to at
// most 4 MiB), then the zlib stream. The area is a heap block of exactly
// that size, so AddressSanitizer sees any write past it.
//
// Besides "no crash, no read or write out of bounds", the target checks the
// outcomes the callers rely on, and, with zlib, the decoded bytes: whenever
// zlib decodes the whole stream into an area of the same size, the decoder
// must succeed with the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/inflate.h"

#ifdef SHEETLAY_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

constexpr uint64_t kMaxArea = uint64_t{4} << 20;

[[noreturn]] void fault(const char *what, uint64_t cap, int32_t rc, uint64_t n) {
    std::fprintf(stderr, "fuzz_inflate: %s (area %llu, rc %d, out_len %llu)\n", what,
                 static_cast<unsigned long long>(cap), static_cast<int>(rc),
                 static_cast<unsigned long long>(n));
    std::abort();
}

#ifdef SHEETLAY_HAVE_ZLIB
// zlib's decoding into an area of `cap` bytes: true with the bytes in `out`
// and their count in *n when the stream ended inside the area.
bool zlib_whole(const uint8_t *src, size_t len, unsigned char *out, uint64_t cap, uint64_t *n) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef *>(src);
    z.avail_in = static_cast<uInt>(len);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(cap);
    int rc = inflate(&z, Z_FINISH);
    *n = z.total_out;
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}
#endif

// An area that starts empty and grows to exactly what the decoder asks for,
// up to `limit`, moving on every growth: decoding into it must give what a
// fixed area of `limit` bytes gives.
struct growing final : sheetlay::inflate_area {
    uint64_t limit;
    explicit growing(uint64_t l) : limit(l) {}
    ~growing() { std::free(data); }
    bool grow(uint64_t need) override {
        if (need > limit) return false;
        auto *p = static_cast<unsigned char *>(std::malloc(need ? need : 1));
        if (!p) return false;
        if (cap) std::memcpy(p, data, cap);
        std::free(data);
        data = p;
        cap = need;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    uint64_t cap = (uint64_t{data[0]} | uint64_t{data[1]} << 8 | uint64_t{data[2]} << 16) %
                   (kMaxArea + 1);
    const uint8_t *src = data + 3;
    size_t len = size - 3;

    std::unique_ptr<unsigned char[]> area(cap ? new unsigned char[cap] : nullptr);
    uint64_t n = 12345;
    int32_t rc = sheetlay::inflate_decompress(src, len, area.get(), cap, &n);
    if (rc != 0 && rc != -1) fault("result other than 0 or -1", cap, rc, n);
    if (rc == -1 && n != 0) fault("failure with bytes reported", cap, rc, n);
    if (rc == 0 && n > cap) fault("more bytes reported than the area holds", cap, rc, n);

    {
        growing g(cap);
        uint64_t gn = 777, gw = 777, fw = 777, fn = 777;
        int groom = 7, froom = 7;
        int32_t grc = sheetlay::inflate_decompress_into(src, len, &g, &gn, &groom, &gw);
        int32_t frc = sheetlay::inflate_decompress_ex(src, len, area.get(), cap, &fn, &froom, &fw);
        if (grc != frc || gn != fn || groom != froom || gw != fw)
            fault("a growing area ends otherwise than a fixed one", cap, grc, gn);
        if (gw && std::memcmp(g.data, area.get(), gw) != 0)
            fault("a growing area holds other bytes than a fixed one", cap, grc, gn);
    }

#ifdef SHEETLAY_HAVE_ZLIB
    std::unique_ptr<unsigned char[]> ref(new unsigned char[cap + 1]);
    uint64_t zn = 0;
    if (zlib_whole(src, len, ref.get(), cap, &zn)) {
        if (rc != 0) fault("zlib decodes the stream, the decoder fails", cap, rc, n);
        if (n != zn) fault("decoded length differs from zlib's", cap, rc, n);
        if (n && std::memcmp(area.get(), ref.get(), n) != 0)
            fault("decoded bytes differ from zlib's", cap, rc, n);
        // In an area of exactly the decoded size the last bytes are written
        // by the careful loop: the same bytes, and nothing past them.
        std::unique_ptr<unsigned char[]> exact(new unsigned char[zn + 1]);
        exact[zn] = 0x5a;
        uint64_t en = 0;
        if (sheetlay::inflate_decompress(src, len, exact.get(), zn, &en) != 0 || en != zn ||
            (zn && std::memcmp(exact.get(), ref.get(), zn) != 0) || exact[zn] != 0x5a)
            fault("an area of the exact size decodes otherwise", zn, rc, en);
    }
#endif
    return 0;
}
