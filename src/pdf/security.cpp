// The PDF standard security handler, revisions 2 to 6.
//
// A file encrypted with the standard handler stores, in /O and /U, values
// computed from its two passwords; a password is right when recomputing
// those values from it gives back what the file holds. What follows from a
// right password is the file key, and from that key, object by object, the
// key of every string and stream.
//
//   revisions 2-4  file key = MD5 over the padded password, /O, /P, the
//                  first /ID string (and 0xFFFFFFFF when the metadata is
//                  left in clear, revision 4), rehashed 50 times from
//                  revision 3 on. /U is RC4 of a fixed string (revision 2)
//                  or of the MD5 of it and the /ID (3 and 4) under that
//                  key. /O holds the user password RC4-encrypted with a
//                  key made from the owner password, so the owner password
//                  opens the file by giving back the user password.
//   revisions 5-6  /U and /O are a 32-byte hash and two 8-byte salts; the
//                  hash of the password and the first salt must match, and
//                  the hash with the second salt is the AES-256 key that
//                  decrypts /UE (or /OE) into the file key. Revision 5
//                  hashes with one SHA-256, revision 6 with the iterated
//                  hash below. The owner's hashes also take /U's 48 bytes.
//
// Entries are read only at fixed offsets after their lengths were checked
// (32 bytes of /O and /U for revisions 2-4, 48 for 5-6, 32 of /OE and /UE,
// 16 of /Perms), so short or damaged entries end in a clean "unsupported"
// or "wrong password". A right password that /UE or /OE cannot turn into a
// key is "unsupported" too: no other password would do better. Work areas
// are fixed-size locals, except the revision-6 hash's 15 KB buffer.
#include "pdf/security.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/aes.h"
#include "crypto/md5.h"
#include "crypto/rc4.h"
#include "crypto/sha2.h"

namespace sheetlay::security {
namespace {

using crypto::Aes;

// Revisions 2-4 pad passwords to 32 bytes with the start of this string.
constexpr uint8_t kPadding[32] = {0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41,
                                  0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
                                  0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80,
                                  0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

const uint8_t *bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

// The parameters authentication works with, settled from EncryptInfo.
struct Params {
    int r = 0;
    size_t n = 0;  // file key length in bytes
    CryptMethod strings = CryptMethod::identity;
    CryptMethod streams = CryptMethod::identity;
};

Authentication unsupported(std::string what) {
    Authentication a;
    a.status = AuthStatus::unsupported;
    a.detail = std::move(what);
    return a;
}

}  // namespace

bool filter_method(const CryptFilterInfo &cf, int64_t v, CryptMethod *m, std::string *why) {
    if (cf.name == "Identity") {
        *m = CryptMethod::identity;
        return true;
    }
    if (cf.cfm.empty()) {
        *why = "crypt filter /" + cf.name + " not in /CF";
        return false;
    }
    if (cf.cfm == "None") {
        *m = CryptMethod::identity;
    } else if (cf.cfm == "V2" && v == 4) {
        *m = CryptMethod::rc4;
    } else if (cf.cfm == "AESV2" && v == 4) {
        *m = CryptMethod::aes128;
    } else if (cf.cfm == "AESV3" && v == 5) {
        *m = CryptMethod::aes256;
    } else if (cf.cfm == "V2" || cf.cfm == "AESV2" || cf.cfm == "AESV3") {
        *why = "crypt filter method /" + cf.cfm + " with V " + std::to_string(v);
        return false;
    } else {
        *why = "crypt filter method /" + cf.cfm;
        return false;
    }
    return true;
}

namespace {

// Checks the dictionary's kind and entries; false with *why when this
// handler cannot decrypt the file whatever the password.
bool settle(const EncryptInfo &info, Params *p, std::string *why) {
    if (!info.filter.empty() && info.filter != "Standard") {
        *why = "filter /" + info.filter;
        return false;
    }
    if (info.r < 2 || info.r > 6) {
        *why = "revision " + std::to_string(info.r);
        return false;
    }
    p->r = static_cast<int>(info.r);
    const int64_t v = info.v;
    const bool v_fits = p->r >= 5 ? v == 5 : (v == 1 || v == 2 || v == 4);
    if (!v_fits) {
        *why = (v == 0 || v == 3 || v > 5 || v < 0) ? "V " + std::to_string(v)
                                                    : "V " + std::to_string(v) + " with revision " +
                                                          std::to_string(p->r);
        return false;
    }
    if (v >= 4) {
        if (!filter_method(info.stmf, v, &p->streams, why)) return false;
        if (!filter_method(info.strf, v, &p->strings, why)) return false;
    } else {
        p->streams = p->strings = CryptMethod::rc4;
    }

    // File key length. Revision 2 is 40-bit only; V 2 takes /Length; V 4
    // takes the crypt filter's /Length (bytes, or bits when 40 or more),
    // else /Length, else 128 bits; AES-128 needs 16 bytes whatever is
    // written. Out-of-range lengths are brought into 40..128 bits.
    if (p->r >= 5) {
        p->n = 32;
        const int64_t o_len = static_cast<int64_t>(info.o.size());
        const int64_t u_len = static_cast<int64_t>(info.u.size());
        if (o_len < 48 || u_len < 48) {
            *why = o_len < 48 ? "/O of " + std::to_string(o_len) + " bytes"
                              : "/U of " + std::to_string(u_len) + " bytes";
            return false;
        }
        return true;
    }
    int64_t bits = 40;
    if (p->r >= 3 && v == 2) {
        bits = info.length;
    } else if (p->r >= 3 && v == 4) {
        const CryptFilterInfo &cf = info.stmf.name != "Identity" ? info.stmf : info.strf;
        if (cf.length >= 40) bits = cf.length;
        else if (cf.length > 0) bits = cf.length * 8;
        else if (info.length != 40) bits = info.length;  // 40 is also the default
        else bits = 128;
    }
    bits = std::clamp<int64_t>(bits, 40, 128);
    p->n = static_cast<size_t>(bits / 8);
    if (p->streams == CryptMethod::aes128 || p->strings == CryptMethod::aes128) p->n = 16;
    if (info.o.size() < 32 || info.u.size() < 32) {
        *why = info.o.size() < 32 ? "/O of " + std::to_string(info.o.size()) + " bytes"
                                  : "/U of " + std::to_string(info.u.size()) + " bytes";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Revisions 2 to 4

void pad_password(const uint8_t *pw, size_t len, uint8_t out[32]) {
    const size_t take = std::min<size_t>(len, 32);
    if (take > 0) std::memcpy(out, pw, take);
    std::memcpy(out + take, kPadding, 32 - take);
}

// The file key from a padded user password.
void file_key_rc4(const EncryptInfo &info, const Params &p, const uint8_t padded[32],
                  FileKey *key) {
    crypto::Md5 h;
    h.update(padded, 32);
    h.update(info.o.data(), 32);
    const uint32_t perm = static_cast<uint32_t>(info.p);
    const uint8_t pb[4] = {static_cast<uint8_t>(perm), static_cast<uint8_t>(perm >> 8),
                           static_cast<uint8_t>(perm >> 16), static_cast<uint8_t>(perm >> 24)};
    h.update(pb, 4);
    h.update(info.id0.data(), info.id0.size());
    if (p.r >= 4 && !info.encrypt_metadata) {
        static constexpr uint8_t kAllOnes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        h.update(kAllOnes, 4);
    }
    uint8_t d[16];
    h.finish(d);
    if (p.r >= 3)
        for (int i = 0; i < 50; ++i) crypto::md5(d, p.n, d);
    std::memcpy(key->bytes, d, p.n);
    key->len = p.n;
}

// Whether `key` reproduces /U.
bool user_matches(const EncryptInfo &info, const Params &p, const FileKey &key) {
    uint8_t out[32];
    if (p.r == 2) {
        crypto::rc4(key.bytes, key.len, kPadding, out, 32);
        return std::memcmp(out, info.u.data(), 32) == 0;
    }
    crypto::Md5 h;
    h.update(kPadding, 32);
    h.update(info.id0.data(), info.id0.size());
    h.finish(out);
    for (int i = 0; i < 20; ++i) {
        uint8_t k[16];
        for (size_t j = 0; j < key.len; ++j) k[j] = static_cast<uint8_t>(key.bytes[j] ^ i);
        crypto::rc4(k, key.len, out, out, 16);
    }
    // Only the first 16 bytes are defined; the rest of /U is arbitrary.
    return std::memcmp(out, info.u.data(), 16) == 0;
}

bool try_user_rc4(const EncryptInfo &info, const Params &p, const uint8_t padded[32],
                  FileKey *key) {
    file_key_rc4(info, p, padded, key);
    return user_matches(info, p, *key);
}

// The owner password gives the RC4 key that encrypted the user password
// into /O; decrypting /O gives back the padded user password. With
// `short_rehash` the 50 rehashes cover only the key's n bytes, as some
// writers do; the two agree for 128-bit keys.
bool try_owner_rc4(const EncryptInfo &info, const Params &p, const uint8_t padded[32],
                   bool short_rehash, FileKey *key) {
    uint8_t d[16];
    crypto::md5(padded, 32, d);
    if (p.r >= 3)
        for (int i = 0; i < 50; ++i) crypto::md5(d, short_rehash ? p.n : 16, d);
    uint8_t user[32];
    std::memcpy(user, info.o.data(), 32);
    if (p.r == 2) {
        crypto::rc4(d, p.n, user, user, 32);
    } else {
        for (int i = 19; i >= 0; --i) {
            uint8_t k[16];
            for (size_t j = 0; j < p.n; ++j) k[j] = static_cast<uint8_t>(d[j] ^ i);
            crypto::rc4(k, p.n, user, user, 32);
        }
    }
    return try_user_rc4(info, p, user, key);
}

// The Latin-1 form of UTF-8 text whose characters all lie below U+0100 and
// that holds at least one non-ASCII character; "" otherwise.
std::string utf8_to_latin1(const uint8_t *s, size_t len) {
    std::string out;
    bool changed = false;
    for (size_t i = 0; i < len;) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < len && (s[i + 1] & 0xC0) == 0x80) {
            out += static_cast<char>(((c & 0x03) << 6) | (s[i + 1] & 0x3F));
            i += 2;
            changed = true;
        } else {
            return {};
        }
    }
    return changed ? out : std::string();
}

Authentication open_rc4_family(const EncryptInfo &info, const Params &p, const uint8_t *pw,
                               size_t len) {
    Authentication a;
    const std::string latin1 = utf8_to_latin1(pw, len);
    const std::string raw(reinterpret_cast<const char *>(pw), len);
    for (const std::string *cand : {&raw, &latin1}) {
        if (cand == &latin1 && latin1.empty()) break;
        uint8_t padded[32];
        pad_password(bytes(*cand), cand->size(), padded);
        if (try_user_rc4(info, p, padded, &a.key)) {
            a.matched = PasswordRole::user;
        } else if (try_owner_rc4(info, p, padded, false, &a.key) ||
                   (p.n < 16 && try_owner_rc4(info, p, padded, true, &a.key))) {
            a.matched = PasswordRole::owner;
        } else {
            continue;
        }
        a.status = AuthStatus::ok;
        return a;
    }
    a.key = FileKey{};
    a.status = AuthStatus::wrong_password;
    return a;
}

// ---------------------------------------------------------------------------
// Revisions 5 and 6

constexpr size_t kMaxPassword = 127;  // UTF-8 bytes used by revisions 5 and 6

// The revision-6 hash: SHA-256 of password, salt and (owner only) /U's 48
// bytes, then rounds that AES-128-CBC-encrypt 64 copies of
// password + K + udata (key and IV taken from K) and hash the result with
// SHA-256, -384 or -512 as the first 16 bytes of it, read as a number, are
// 0, 1 or 2 mod 3. At least 64 rounds; after that it stops once the last
// byte of the encrypted data is at most the round count - 32 (so at most
// 288 rounds).
void hash_r6(const uint8_t *pw, size_t pw_len, const uint8_t *salt, const uint8_t *udata,
             size_t udata_len, uint8_t out[32]) {
    uint8_t k[64];
    size_t k_len = 32;
    crypto::Sha256 first;
    first.update(pw, pw_len);
    first.update(salt, 8);
    first.update(udata, udata_len);
    first.finish(k);

    std::vector<uint8_t> data(64 * (kMaxPassword + 64 + 48));
    for (int round = 1;; ++round) {
        const size_t seq = pw_len + k_len + udata_len;
        uint8_t *d = data.data();
        for (int rep = 0; rep < 64; ++rep) {
            uint8_t *q = d + rep * seq;
            if (pw_len > 0) std::memcpy(q, pw, pw_len);
            std::memcpy(q + pw_len, k, k_len);
            if (udata_len > 0) std::memcpy(q + pw_len + k_len, udata, udata_len);
        }
        const size_t total = 64 * seq;  // a multiple of 16
        Aes aes;
        aes.set_key(k, 16);
        crypto::aes_cbc_encrypt(aes, k + 16, d, d, total);
        // 256 = 1 mod 3, so the 16-byte number is its byte sum mod 3.
        unsigned sum = 0;
        for (int i = 0; i < 16; ++i) sum += d[i];
        switch (sum % 3) {
        case 0: crypto::sha256(d, total, k); k_len = 32; break;
        case 1: crypto::sha384(d, total, k); k_len = 48; break;
        default: crypto::sha512(d, total, k); k_len = 64; break;
        }
        if (round >= 64 && d[total - 1] <= round - 32) break;
    }
    std::memcpy(out, k, 32);
}

void hash_r56(int r, const uint8_t *pw, size_t pw_len, const uint8_t *salt, const uint8_t *udata,
              size_t udata_len, uint8_t out[32]) {
    if (r == 6) {
        hash_r6(pw, pw_len, salt, udata, udata_len, out);
        return;
    }
    crypto::Sha256 h;
    h.update(pw, pw_len);
    h.update(salt, 8);
    h.update(udata, udata_len);
    h.finish(out);
}

// /UE or /OE decrypted with the intermediate key: AES-256-CBC, zero IV.
bool unwrap_key(const std::string &wrapped, const uint8_t kek[32], FileKey *key) {
    if (wrapped.size() < 32) return false;
    Aes aes;
    aes.set_key(kek, 32);
    static constexpr uint8_t kZeroIv[16] = {};
    crypto::aes_cbc_decrypt(aes, kZeroIv, bytes(wrapped), key->bytes, 32);
    key->len = 32;
    return true;
}

// /Perms: one AES-256 block under the file key holding /P (little-endian)
// in bytes 0-3 and "adb" in bytes 9-11.
bool perms_match(const EncryptInfo &info, const FileKey &key) {
    if (info.perms.size() < 16) return false;
    Aes aes;
    aes.set_key(key.bytes, 32);
    uint8_t b[16];
    aes.decrypt_block(bytes(info.perms), b);
    const uint32_t perm = static_cast<uint32_t>(info.p);
    for (int i = 0; i < 4; ++i)
        if (b[i] != static_cast<uint8_t>(perm >> (8 * i))) return false;
    return b[9] == 'a' && b[10] == 'd' && b[11] == 'b';
}

Authentication open_aes256(const EncryptInfo &info, const Params &p, const uint8_t *pw,
                           size_t len) {
    len = std::min(len, kMaxPassword);
    const uint8_t *u = bytes(info.u);
    const uint8_t *o = bytes(info.o);
    Authentication a;
    uint8_t h[32];
    // user: hash(password, validation salt U[32..40]) == U[0..32]
    hash_r56(p.r, pw, len, u + 32, nullptr, 0, h);
    if (std::memcmp(h, u, 32) == 0) {
        hash_r56(p.r, pw, len, u + 40, nullptr, 0, h);
        if (!unwrap_key(info.ue, h, &a.key))
            return unsupported("/UE of " + std::to_string(info.ue.size()) + " bytes");
        a.matched = PasswordRole::user;
    } else {
        hash_r56(p.r, pw, len, o + 32, u, 48, h);
        if (std::memcmp(h, o, 32) != 0) {
            a.status = AuthStatus::wrong_password;
            return a;
        }
        hash_r56(p.r, pw, len, o + 40, u, 48, h);
        if (!unwrap_key(info.oe, h, &a.key))
            return unsupported("/OE of " + std::to_string(info.oe.size()) + " bytes");
        a.matched = PasswordRole::owner;
    }
    a.status = AuthStatus::ok;
    a.perms_ok = perms_match(info, a.key);
    return a;
}

}  // namespace

const char *method_name(CryptMethod m) {
    switch (m) {
    case CryptMethod::identity: return "identity";
    case CryptMethod::rc4: return "RC4";
    case CryptMethod::aes128: return "AES-128";
    case CryptMethod::aes256: return "AES-256";
    }
    return "?";
}

Authentication authenticate(const EncryptInfo &info, const char *password) {
    return authenticate(info, password, password ? std::strlen(password) : 0);
}

Authentication authenticate(const EncryptInfo &info, const char *password, size_t password_len) {
    Params p;
    std::string why;
    if (!settle(info, &p, &why)) return unsupported(std::move(why));
    static constexpr uint8_t kEmpty = 0;
    const uint8_t *pw = password ? reinterpret_cast<const uint8_t *>(password) : &kEmpty;
    if (!password) password_len = 0;
    Authentication a = p.r >= 5 ? open_aes256(info, p, pw, password_len)
                                : open_rc4_family(info, p, pw, password_len);
    if (a.status == AuthStatus::ok) {
        a.strings = p.strings;
        a.streams = p.streams;
        a.encrypt_metadata = info.encrypt_metadata;
    }
    return a;
}

size_t object_key(CryptMethod m, const FileKey &key, uint32_t num, uint32_t gen, uint8_t out[32]) {
    const size_t n = std::min<size_t>(key.len, sizeof key.bytes);
    switch (m) {
    case CryptMethod::identity: return 0;
    case CryptMethod::aes256:
        std::memcpy(out, key.bytes, n);
        return n;
    case CryptMethod::rc4:
    case CryptMethod::aes128: break;
    }
    crypto::Md5 h;
    h.update(key.bytes, n);
    const uint8_t ng[5] = {static_cast<uint8_t>(num), static_cast<uint8_t>(num >> 8),
                           static_cast<uint8_t>(num >> 16), static_cast<uint8_t>(gen),
                           static_cast<uint8_t>(gen >> 8)};
    h.update(ng, 5);
    if (m == CryptMethod::aes128) h.update("sAlT", 4);
    h.finish(out);
    return m == CryptMethod::aes128 ? 16 : std::min<size_t>(n + 5, 16);
}

size_t decrypt(CryptMethod m, const FileKey &key, uint32_t num, uint32_t gen, const uint8_t *in,
               size_t len, uint8_t *out) {
    if (m == CryptMethod::identity) {
        if (out != in && len > 0) std::memmove(out, in, len);
        return len;
    }
    uint8_t k[32];
    const size_t k_len = object_key(m, key, num, gen, k);
    if (m == CryptMethod::rc4) {
        crypto::rc4(k, k_len, in, out, len);
        return len;
    }
    Aes aes;
    if (!aes.set_key(k, m == CryptMethod::aes128 ? 16 : k_len) ||
        (m == CryptMethod::aes256 && k_len != 32))
        return 0;
    if (len < 32) return 0;  // IV and at least one block
    const size_t n = (len - 16) / 16 * 16;
    crypto::aes_cbc_decrypt(aes, in, in + 16, out, n);
    // PKCS#5: 1 to 16 bytes, each holding the count. Anything else is kept.
    const uint8_t pad = out[n - 1];
    if (pad >= 1 && pad <= 16) {
        bool valid = true;
        for (size_t i = n - pad; i < n; ++i) valid = valid && out[i] == pad;
        if (valid) return n - pad;
    }
    return n;
}

}  // namespace sheetlay::security
