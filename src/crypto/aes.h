// AES block cipher (FIPS 197) with 128-, 192- and 256-bit keys, and CBC mode
// over whole blocks. PDF files encrypted with AESV2 (AES-128) and AESV3
// (AES-256) are decrypted in CBC mode; the revision-6 password hash encrypts
// in CBC mode; the /OE, /UE and /Perms entries are single blocks or CBC with
// a zero IV. Depends on nothing else of the library.
#ifndef SHEETLAY_CRYPTO_AES_H
#define SHEETLAY_CRYPTO_AES_H

#include <cstddef>
#include <cstdint>

namespace sheetlay::crypto {

class Aes {
public:
    static constexpr size_t kBlock = 16;

    // Expands a key of 16, 24 or 32 bytes. Returns false for any other
    // length; the object then encrypts and decrypts nothing but zeros.
    bool set_key(const uint8_t *key, size_t key_len);

    // One block; out may be in.
    void encrypt_block(const uint8_t in[kBlock], uint8_t out[kBlock]) const;
    void decrypt_block(const uint8_t in[kBlock], uint8_t out[kBlock]) const;

private:
    uint8_t rk_[16 * 15] = {};  // round keys, 16 bytes per round (14 rounds at most)
    int rounds_ = 0;
};

// CBC over the whole blocks of in[0, len): len / 16 blocks are processed and
// any bytes after them are neither read nor written. The IV is read before
// anything is written, and each input block before its output block, so
// out may equal in, or lie before it (out <= in), for instance decrypting
// "IV + ciphertext" in place: aes_cbc_decrypt(aes, buf, buf + 16, buf, n).
void aes_cbc_encrypt(const Aes &aes, const uint8_t iv[Aes::kBlock], const uint8_t *in,
                     uint8_t *out, size_t len);
void aes_cbc_decrypt(const Aes &aes, const uint8_t iv[Aes::kBlock], const uint8_t *in,
                     uint8_t *out, size_t len);

}  // namespace sheetlay::crypto

#endif
