// AES (FIPS 197): byte-oriented rounds over a 16-byte state.
//
// The S-box and its inverse are computed at compile time from their
// definition (the multiplicative inverse in GF(2^8) followed by the affine
// map), so there is no 256-entry table to mistype. The rounds work on bytes
// (SubBytes by table, MixColumns by doubling in GF(2^8)); that is slower
// than the 32-bit table form but small, portable and plenty fast for
// decrypting PDF files. Constant time is not a goal: this library only
// decrypts files its caller gave it, with passwords its caller holds.
//
// The state is kept as the 16 input bytes in order, so column c is bytes
// 4c..4c+3 and row r of column c is byte 4c + r.
#include "crypto/aes.h"

#include <cstring>

namespace sheetlay::crypto {
namespace {

constexpr uint8_t xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0x00));
}

constexpr uint8_t rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

struct Boxes {
    uint8_t fwd[256] = {};
    uint8_t inv[256] = {};
};

// Inverses through powers of the generator 3: with pow3[i] = 3^i and
// log3[pow3[i]] = i, the inverse of x is pow3[255 - log3[x]]. A few hundred
// steps, well inside every compiler's constant-evaluation budget.
constexpr Boxes make_boxes() {
    uint8_t pow3[256] = {}, log3[256] = {};
    uint8_t p = 1;
    for (int i = 0; i < 255; ++i) {
        pow3[i] = p;
        log3[p] = static_cast<uint8_t>(i);
        p = static_cast<uint8_t>(p ^ xtime(p));  // p * 3
    }
    Boxes t;
    for (int x = 0; x < 256; ++x) {
        const uint8_t invx = x == 0 ? 0 : pow3[(255 - log3[x]) % 255];  // 0 maps to 0
        const uint8_t s = static_cast<uint8_t>(invx ^ rotl8(invx, 1) ^ rotl8(invx, 2) ^
                                               rotl8(invx, 3) ^ rotl8(invx, 4) ^ 0x63);
        t.fwd[x] = s;
        t.inv[s] = static_cast<uint8_t>(x);
    }
    return t;
}

constexpr Boxes kBox = make_boxes();
static_assert(kBox.fwd[0x00] == 0x63 && kBox.fwd[0x01] == 0x7c && kBox.fwd[0x53] == 0xed &&
              kBox.fwd[0xff] == 0x16 && kBox.inv[0x63] == 0x00);

void add_round_key(uint8_t s[16], const uint8_t *rk) {
    for (int i = 0; i < 16; ++i) s[i] ^= rk[i];
}

// SubBytes and ShiftRows in one pass (the two commute). Row r moves r
// columns to the left when encrypting, to the right when decrypting; the
// tables give, for each output byte, the input byte it comes from.
constexpr uint8_t kShiftLeft[16] = {0, 5, 10, 15, 4, 9, 14, 3, 8, 13, 2, 7, 12, 1, 6, 11};
constexpr uint8_t kShiftRight[16] = {0, 13, 10, 7, 4, 1, 14, 11, 8, 5, 2, 15, 12, 9, 6, 3};

void sub_shift(uint8_t s[16], const uint8_t box[256], const uint8_t from[16]) {
    uint8_t t[16];
    for (int i = 0; i < 16; ++i) t[i] = box[s[from[i]]];
    std::memcpy(s, t, 16);
}

// Each column times the fixed polynomial {03}x^3 + {01}x^2 + {01}x + {02}.
void mix_columns(uint8_t s[16]) {
    for (int c = 0; c < 4; ++c) {
        uint8_t *a = s + 4 * c;
        const uint8_t all = a[0] ^ a[1] ^ a[2] ^ a[3];
        const uint8_t a0 = a[0];
        a[0] ^= all ^ xtime(a[0] ^ a[1]);
        a[1] ^= all ^ xtime(a[1] ^ a[2]);
        a[2] ^= all ^ xtime(a[2] ^ a[3]);
        a[3] ^= all ^ xtime(a[3] ^ a0);
    }
}

// The inverse polynomial {0b}x^3 + {0d}x^2 + {09}x + {0e} is the forward one
// times {04}x^2 + {05}: first multiply by that, then mix as for encryption.
void inv_mix_columns(uint8_t s[16]) {
    for (int c = 0; c < 4; ++c) {
        uint8_t *a = s + 4 * c;
        const uint8_t u = xtime(xtime(a[0] ^ a[2]));
        const uint8_t v = xtime(xtime(a[1] ^ a[3]));
        a[0] ^= u;
        a[1] ^= v;
        a[2] ^= u;
        a[3] ^= v;
    }
    mix_columns(s);
}

}  // namespace

bool Aes::set_key(const uint8_t *key, size_t key_len) {
    std::memset(rk_, 0, sizeof rk_);
    rounds_ = 0;
    if (key_len != 16 && key_len != 24 && key_len != 32) return false;
    const int nk = static_cast<int>(key_len / 4);  // key words
    const int rounds = nk + 6;
    const int words = 4 * (rounds + 1);
    std::memcpy(rk_, key, key_len);
    uint8_t rcon = 1;
    for (int i = nk; i < words; ++i) {
        uint8_t t[4];
        std::memcpy(t, rk_ + 4 * (i - 1), 4);
        if (i % nk == 0) {
            const uint8_t t0 = t[0];  // rotate, substitute, add the round constant
            t[0] = static_cast<uint8_t>(kBox.fwd[t[1]] ^ rcon);
            t[1] = kBox.fwd[t[2]];
            t[2] = kBox.fwd[t[3]];
            t[3] = kBox.fwd[t0];
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            for (uint8_t &b : t) b = kBox.fwd[b];
        }
        for (int k = 0; k < 4; ++k) rk_[4 * i + k] = rk_[4 * (i - nk) + k] ^ t[k];
    }
    rounds_ = rounds;
    return true;
}

void Aes::encrypt_block(const uint8_t in[kBlock], uint8_t out[kBlock]) const {
    uint8_t s[16];
    std::memcpy(s, in, 16);
    if (rounds_ == 0) {
        std::memset(out, 0, 16);
        return;
    }
    add_round_key(s, rk_);
    for (int round = 1; round < rounds_; ++round) {
        sub_shift(s, kBox.fwd, kShiftLeft);
        mix_columns(s);
        add_round_key(s, rk_ + 16 * round);
    }
    sub_shift(s, kBox.fwd, kShiftLeft);
    add_round_key(s, rk_ + 16 * rounds_);
    std::memcpy(out, s, 16);
}

void Aes::decrypt_block(const uint8_t in[kBlock], uint8_t out[kBlock]) const {
    uint8_t s[16];
    std::memcpy(s, in, 16);
    if (rounds_ == 0) {
        std::memset(out, 0, 16);
        return;
    }
    add_round_key(s, rk_ + 16 * rounds_);
    for (int round = rounds_ - 1; round >= 1; --round) {
        sub_shift(s, kBox.inv, kShiftRight);
        add_round_key(s, rk_ + 16 * round);
        inv_mix_columns(s);
    }
    sub_shift(s, kBox.inv, kShiftRight);
    add_round_key(s, rk_);
    std::memcpy(out, s, 16);
}

void aes_cbc_encrypt(const Aes &aes, const uint8_t iv[Aes::kBlock], const uint8_t *in,
                     uint8_t *out, size_t len) {
    uint8_t chain[16];
    std::memcpy(chain, iv, 16);
    for (size_t off = 0; off + 16 <= len; off += 16) {
        for (int i = 0; i < 16; ++i) chain[i] ^= in[off + i];
        aes.encrypt_block(chain, chain);
        std::memcpy(out + off, chain, 16);
    }
}

void aes_cbc_decrypt(const Aes &aes, const uint8_t iv[Aes::kBlock], const uint8_t *in,
                     uint8_t *out, size_t len) {
    uint8_t chain[16], block[16], plain[16];
    std::memcpy(chain, iv, 16);
    for (size_t off = 0; off + 16 <= len; off += 16) {
        std::memcpy(block, in + off, 16);
        aes.decrypt_block(block, plain);
        for (int i = 0; i < 16; ++i) plain[i] ^= chain[i];
        std::memcpy(out + off, plain, 16);
        std::memcpy(chain, block, 16);
    }
}

}  // namespace sheetlay::crypto
