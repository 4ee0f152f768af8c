// MD5 message digest (RFC 1321), for the key derivation of encrypted PDF
// files of revisions 2 to 4. Depends on nothing else of the library.
#ifndef SHEETLAY_CRYPTO_MD5_H
#define SHEETLAY_CRYPTO_MD5_H

#include <cstddef>
#include <cstdint>

namespace sheetlay::crypto {

// Incremental digest: update() any number of times, then finish(), which
// writes the 16-byte digest and makes the object ready for a new message.
class Md5 {
public:
    static constexpr size_t kSize = 16;

    Md5() { reset(); }
    void reset();
    void update(const void *data, size_t len);
    void finish(uint8_t out[kSize]);

private:
    void compress(const uint8_t *block);

    uint32_t h_[4];
    uint64_t total_;  // bytes seen
    uint8_t buf_[64];
    size_t used_;     // bytes held in buf_
};

// The digest of one piece.
void md5(const void *data, size_t len, uint8_t out[Md5::kSize]);

}  // namespace sheetlay::crypto

#endif
