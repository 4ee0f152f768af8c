// MD5 (RFC 1321).
//
// Encrypted PDF files of revisions 2 to 4 derive their file key and their
// per-object keys with MD5. Only a few hundred bytes are hashed per password
// try and per object, so the code is the plain four-round form with the
// standard sine table; words are read little-endian byte by byte, which keeps
// it independent of the host's byte order and alignment.
#include "crypto/md5.h"

#include <bit>
#include <cstring>

namespace sheetlay::crypto {
namespace {

// floor(|sin(i + 1)| * 2^32)
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left-rotation amounts, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t load_le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void store_le32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void Md5::reset() {
    h_[0] = 0x67452301;
    h_[1] = 0xefcdab89;
    h_[2] = 0x98badcfe;
    h_[3] = 0x10325476;
    total_ = 0;
    used_ = 0;
}

void Md5::compress(const uint8_t *block) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le32(block + 4 * i);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        uint32_t f;
        int g;
        switch (round) {
        case 0: f = (b & c) | (~b & d); g = i; break;
        case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
        }
        const uint32_t t = d;
        d = c;
        c = b;
        b = b + std::rotl(a + f + kSine[i] + m[g], kShift[round][i % 4]);
        a = t;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
}

void Md5::update(const void *data, size_t len) {
    if (len == 0) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    total_ += len;
    if (used_ > 0) {
        const size_t take = len < 64 - used_ ? len : 64 - used_;
        std::memcpy(buf_ + used_, p, take);
        used_ += take;
        p += take;
        len -= take;
        if (used_ < 64) return;
        compress(buf_);
        used_ = 0;
    }
    for (; len >= 64; p += 64, len -= 64) compress(p);
    if (len > 0) std::memcpy(buf_, p, len);
    used_ = len;
}

void Md5::finish(uint8_t out[kSize]) {
    // The message, a 0x80 byte, zeros up to 56 mod 64, the bit count (LE).
    const uint64_t bits = total_ * 8;
    static constexpr uint8_t kPad[64] = {0x80};
    update(kPad, used_ < 56 ? 56 - used_ : 120 - used_);
    uint8_t count[8];
    for (int i = 0; i < 8; ++i) count[i] = static_cast<uint8_t>(bits >> (8 * i));
    update(count, 8);
    for (int i = 0; i < 4; ++i) store_le32(out + 4 * i, h_[i]);
    reset();
}

void md5(const void *data, size_t len, uint8_t out[Md5::kSize]) {
    Md5 h;
    h.update(data, len);
    h.finish(out);
}

}  // namespace sheetlay::crypto
