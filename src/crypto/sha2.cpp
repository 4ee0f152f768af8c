// SHA-256 and SHA-384/512 (FIPS 180-4).
//
// Revision 5 of the PDF standard security handler checks passwords with one
// SHA-256; revision 6 hashes at least 64 rounds that pick SHA-256, -384 or
// -512 by the data, each over up to some 15 KB. The code is the direct form
// of the two compression functions; words are read big-endian byte by byte,
// so the host's byte order and alignment do not matter.
#include "crypto/sha2.h"

#include <bit>
#include <cstring>

namespace sheetlay::crypto {
namespace {

constexpr uint32_t kK256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint64_t kK512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

constexpr uint32_t kInit256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint64_t kInit512[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                  0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                  0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
constexpr uint64_t kInit384[8] = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
                                  0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
                                  0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};

template <typename W>
W load_be(const uint8_t *p) {
    W v = 0;
    for (size_t i = 0; i < sizeof(W); ++i) v = static_cast<W>(v << 8 | p[i]);
    return v;
}

template <typename W>
void store_be(uint8_t *p, W v) {
    for (size_t i = 0; i < sizeof(W); ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * (sizeof(W) - 1 - i)));
}

// Shared buffering: fills `buf` (of N bytes) and hands every full block to
// `compress`, whole blocks of the input straight from the input.
template <size_t N, typename F>
void feed(uint8_t (&buf)[N], size_t &used, const void *data, size_t len, F compress) {
    if (len == 0) return;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    if (used > 0) {
        const size_t take = len < N - used ? len : N - used;
        std::memcpy(buf + used, p, take);
        used += take;
        p += take;
        len -= take;
        if (used < N) return;
        compress(buf);
        used = 0;
    }
    for (; len >= N; p += N, len -= N) compress(p);
    if (len > 0) std::memcpy(buf, p, len);
    used = len;
}

// The compression function both sizes share: a message schedule of
// `rounds` words, then `rounds` steps over the eight working words. The
// sizes differ only in word width, round count, constants and the rotation
// amounts (each triple: two rotations and a shift or a third rotation).
struct Shape256 {
    using word = uint32_t;
    static constexpr int rounds = 64;
    static constexpr int s0[3] = {7, 18, 3}, s1[3] = {17, 19, 10};  // schedule: rotr, rotr, shr
    static constexpr int b0[3] = {2, 13, 22}, b1[3] = {6, 11, 25};  // steps: three rotr each
};
struct Shape512 {
    using word = uint64_t;
    static constexpr int rounds = 80;
    static constexpr int s0[3] = {1, 8, 7}, s1[3] = {19, 61, 6};
    static constexpr int b0[3] = {28, 34, 39}, b1[3] = {14, 18, 41};
};

template <class S>
void compress_block(typename S::word h_[8], const uint8_t *block, const typename S::word *k) {
    using W = typename S::word;
    W w[S::rounds];
    for (int i = 0; i < 16; ++i) w[i] = load_be<W>(block + sizeof(W) * i);
    for (int i = 16; i < S::rounds; ++i) {
        const W x = w[i - 15], y = w[i - 2];
        const W s0 = std::rotr(x, S::s0[0]) ^ std::rotr(x, S::s0[1]) ^ (x >> S::s0[2]);
        const W s1 = std::rotr(y, S::s1[0]) ^ std::rotr(y, S::s1[1]) ^ (y >> S::s1[2]);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    W a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < S::rounds; ++i) {
        const W t1 = h + (std::rotr(e, S::b1[0]) ^ std::rotr(e, S::b1[1]) ^ std::rotr(e, S::b1[2])) +
                     ((e & f) ^ (~e & g)) + k[i] + w[i];
        const W t2 = (std::rotr(a, S::b0[0]) ^ std::rotr(a, S::b0[1]) ^ std::rotr(a, S::b0[2])) +
                     ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
    h_[5] += f;
    h_[6] += g;
    h_[7] += h;
}

}  // namespace

// ---------------------------------------------------------------------------
// SHA-256

void Sha256::reset() {
    std::memcpy(h_, kInit256, sizeof h_);
    total_ = 0;
    used_ = 0;
}

void Sha256::compress(const uint8_t *block) { compress_block<Shape256>(h_, block, kK256); }

void Sha256::update(const void *data, size_t len) {
    total_ += len;
    feed(buf_, used_, data, len, [this](const uint8_t *b) { compress(b); });
}

void Sha256::finish(uint8_t out[kSize]) {
    // The message, a 0x80 byte, zeros up to 56 mod 64, the bit count (BE).
    const uint64_t bits = total_ * 8;
    static constexpr uint8_t kPad[64] = {0x80};
    update(kPad, used_ < 56 ? 56 - used_ : 120 - used_);
    uint8_t count[8];
    store_be(count, bits);
    update(count, 8);
    for (int i = 0; i < 8; ++i) store_be(out + 4 * i, h_[i]);
    reset();
}

// ---------------------------------------------------------------------------
// SHA-512 / SHA-384

void Sha512::reset() {
    std::memcpy(h_, sha384_ ? kInit384 : kInit512, sizeof h_);
    total_ = 0;
    used_ = 0;
}

void Sha512::compress(const uint8_t *block) { compress_block<Shape512>(h_, block, kK512); }

void Sha512::update(const void *data, size_t len) {
    total_ += len;
    feed(buf_, used_, data, len, [this](const uint8_t *b) { compress(b); });
}

void Sha512::finish(uint8_t *out) {
    // The message, a 0x80 byte, zeros up to 112 mod 128, the bit count as a
    // 128-bit big-endian number (messages here stay far below 2^61 bytes, so
    // its upper half is zero).
    const uint64_t bits = total_ * 8;
    static constexpr uint8_t kPad[128] = {0x80};
    update(kPad, used_ < 112 ? 112 - used_ : 240 - used_);
    uint8_t count[16] = {};
    store_be(count + 8, bits);
    update(count, 16);
    uint8_t full[64];
    for (int i = 0; i < 8; ++i) store_be(full + 8 * i, h_[i]);
    std::memcpy(out, full, size());
    reset();
}

void sha256(const void *data, size_t len, uint8_t out[32]) {
    Sha256 h;
    h.update(data, len);
    h.finish(out);
}

void sha384(const void *data, size_t len, uint8_t out[48]) {
    Sha512 h(true);
    h.update(data, len);
    h.finish(out);
}

void sha512(const void *data, size_t len, uint8_t out[64]) {
    Sha512 h(false);
    h.update(data, len);
    h.finish(out);
}

}  // namespace sheetlay::crypto
