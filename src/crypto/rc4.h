// RC4 stream cipher, for PDF files encrypted with revisions 2 to 4 (and for
// the password checks of those revisions). Depends on nothing else of the
// library.
#ifndef SHEETLAY_CRYPTO_RC4_H
#define SHEETLAY_CRYPTO_RC4_H

#include <cstddef>
#include <cstdint>

namespace sheetlay::crypto {

class Rc4 {
public:
    // Keys of 1 to 256 bytes; a longer key uses its first 256 bytes, an
    // empty key acts as the single byte 0.
    Rc4(const uint8_t *key, size_t key_len);

    // XORs the next `len` bytes of the key stream into in[0, len) and writes
    // the result to out (out may be in). Encrypting and decrypting are the
    // same operation.
    void apply(const uint8_t *in, uint8_t *out, size_t len);

private:
    uint8_t s_[256];
    uint8_t i_ = 0, j_ = 0;
};

// One-shot: a fresh key stream over in[0, len).
void rc4(const uint8_t *key, size_t key_len, const uint8_t *in, uint8_t *out, size_t len);

}  // namespace sheetlay::crypto

#endif
