// The standard security handler on arbitrary /Encrypt values, passwords
// and ciphertexts.
//
// Input: a 12-byte head, then seven length-prefixed pieces (one length byte
// each, cut to what is left), then the ciphertext:
//   head[0] /R (0..7)        head[1] /V (0..6)     head[2] /Length / 8 * 8
//   head[3] bit 0: /EncryptMetadata, bits 1-3: /StmF's /CFM, bits 4-6: /StrF's
//   head[4..7] /P            head[8..10] object number  head[11] generation
//   pieces: /O /U /OE /UE /Perms /ID[0] password
// Each piece lives in a heap block of exactly its size, and so does the
// ciphertext, so AddressSanitizer sees any read past one.
//
// Checked besides "no crash, no read out of bounds": an "ok" comes with a
// key of a length the methods can use, anything else with no key; decrypt
// never reports more bytes than it was given; the per-object decryption
// also runs with a key taken from the input, of any length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pdf/security.h"

namespace {

using namespace sheetlay::security;

[[noreturn]] void fault(const char *what) {
    std::fprintf(stderr, "fuzz_security: %s\n", what);
    std::abort();
}

// /CFM values; "" stands for a name /CF does not hold, "Identity" for the
// /Identity filter itself.
const char *const kCfm[8] = {"", "None", "V2", "AESV2", "AESV3", "Identity", "Foo", "V2"};

CryptFilterInfo filter(const char *name, const char *cfm, int64_t length) {
    if (std::strcmp(cfm, "Identity") == 0) return CryptFilterInfo{};
    return CryptFilterInfo{name, cfm, length};
}

void decrypt_checked(CryptMethod m, const FileKey &key, uint32_t num, uint32_t gen,
                     const std::vector<uint8_t> &ct) {
    std::vector<uint8_t> out(ct.size());
    const size_t n = decrypt(m, key, num, gen, ct.data(), ct.size(), out.data());
    if (n > ct.size()) fault("decrypt wrote more than it was given");
    std::vector<uint8_t> in_place(ct);
    const size_t n2 = decrypt(m, key, num, gen, in_place.data(), in_place.size(), in_place.data());
    if (n2 != n || (n > 0 && std::memcmp(in_place.data(), out.data(), n) != 0))
        fault("decrypting in place differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 12) return 0;
    const uint8_t *head = data;
    size_t at = 12;

    EncryptInfo info;
    info.r = head[0] % 8;
    info.v = head[1] % 7;
    info.length = head[2] * 8;
    info.encrypt_metadata = head[3] & 1;
    info.p = static_cast<int32_t>(uint32_t{head[4]} | uint32_t{head[5]} << 8 |
                                  uint32_t{head[6]} << 16 | uint32_t{head[7]} << 24);
    const uint32_t num = uint32_t{head[8]} | uint32_t{head[9]} << 8 | uint32_t{head[10]} << 16;
    const uint32_t gen = head[11];
    info.stmf = filter("A", kCfm[(head[3] >> 1) & 7], head[2]);
    info.strf = filter("B", kCfm[(head[3] >> 4) & 7], 0);

    std::string *pieces[] = {&info.o, &info.u, &info.oe, &info.ue, &info.perms, &info.id0};
    for (std::string *p : pieces) {
        if (at >= size) break;
        size_t n = data[at++];
        if (n > size - at) n = size - at;
        p->assign(reinterpret_cast<const char *>(data + at), n);
        at += n;
    }
    std::vector<char> password;
    if (at < size) {
        size_t n = data[at++];
        if (n > size - at) n = size - at;
        password.assign(data + at, data + at + n);
        at += n;
    }
    const std::vector<uint8_t> ct(data + at, data + size);

    const Authentication a =
        authenticate(info, password.empty() ? nullptr : password.data(), password.size());
    if (a.status == AuthStatus::ok) {
        if (a.key.len != 32 && (a.key.len < 5 || a.key.len > 16))
            fault("ok with a key of odd length");
        decrypt_checked(a.strings, a.key, num, gen, ct);
        decrypt_checked(a.streams, a.key, num, gen, ct);
    } else if (a.key.len != 0) {
        fault("a key without success");
    }

    // Any method with a key from the input: the first bytes of the ciphertext.
    FileKey key;
    key.len = head[2] % 40;  // also lengths past the 32 bytes a key can hold
    if (!ct.empty()) std::memcpy(key.bytes, ct.data(), ct.size() < 32 ? ct.size() : 32);
    const CryptMethod m = static_cast<CryptMethod>(head[11] % 4);
    decrypt_checked(m, key, num, gen, ct);
    return 0;
}
