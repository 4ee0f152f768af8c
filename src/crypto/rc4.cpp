// RC4: the key schedule and the output loop, nothing more. PDF uses it
// without dropping any of the key stream's first bytes.
#include "crypto/rc4.h"

#include <utility>

namespace sheetlay::crypto {

Rc4::Rc4(const uint8_t *key, size_t key_len) {
    static constexpr uint8_t kZero = 0;
    if (key_len == 0) {
        key = &kZero;
        key_len = 1;
    }
    if (key_len > 256) key_len = 256;
    for (int k = 0; k < 256; ++k) s_[k] = static_cast<uint8_t>(k);
    uint8_t j = 0;
    for (size_t k = 0; k < 256; ++k) {
        j = static_cast<uint8_t>(j + s_[k] + key[k % key_len]);
        std::swap(s_[k], s_[j]);
    }
}

void Rc4::apply(const uint8_t *in, uint8_t *out, size_t len) {
    uint8_t i = i_, j = j_;
    for (size_t k = 0; k < len; ++k) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + s_[i]);
        std::swap(s_[i], s_[j]);
        out[k] = in[k] ^ s_[static_cast<uint8_t>(s_[i] + s_[j])];
    }
    i_ = i;
    j_ = j;
}

void rc4(const uint8_t *key, size_t key_len, const uint8_t *in, uint8_t *out, size_t len) {
    Rc4 c(key, key_len);
    c.apply(in, out, len);
}

}  // namespace sheetlay::crypto
