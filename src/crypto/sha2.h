// SHA-256, SHA-384 and SHA-512 (FIPS 180-4), for the password checks and key
// derivation of encrypted PDF files of revisions 5 and 6. Depends on nothing
// else of the library.
#ifndef SHEETLAY_CRYPTO_SHA2_H
#define SHEETLAY_CRYPTO_SHA2_H

#include <cstddef>
#include <cstdint>

namespace sheetlay::crypto {

// Incremental SHA-256: update() any number of times, then finish(), which
// writes the 32-byte digest and makes the object ready for a new message.
class Sha256 {
public:
    static constexpr size_t kSize = 32;

    Sha256() { reset(); }
    void reset();
    void update(const void *data, size_t len);
    void finish(uint8_t out[kSize]);

private:
    void compress(const uint8_t *block);

    uint32_t h_[8];
    uint64_t total_;
    uint8_t buf_[64];
    size_t used_;
};

// Incremental SHA-512, or SHA-384 (the same function with other initial
// values, its digest cut to 48 bytes). finish() writes size() bytes.
class Sha512 {
public:
    static constexpr size_t kMaxSize = 64;

    explicit Sha512(bool as_sha384 = false) : sha384_(as_sha384) { reset(); }
    size_t size() const { return sha384_ ? 48 : 64; }
    void reset();
    void update(const void *data, size_t len);
    void finish(uint8_t *out);

private:
    void compress(const uint8_t *block);

    bool sha384_;
    uint64_t h_[8];
    uint64_t total_;
    uint8_t buf_[128];
    size_t used_;
};

// Digests of one piece: out holds 32, 48 and 64 bytes.
void sha256(const void *data, size_t len, uint8_t out[32]);
void sha384(const void *data, size_t len, uint8_t out[48]);
void sha512(const void *data, size_t len, uint8_t out[64]);

}  // namespace sheetlay::crypto

#endif
