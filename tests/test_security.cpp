// The standard security handler without outside tools: /Encrypt values
// captured from files qpdf encrypted (every method, user and owner
// passwords), dictionaries the handler must refuse and say why, damaged
// entries, long passwords, per-object keys, and damaged ciphertext.
// test_security_qpdf.cpp checks the same against qpdf itself on fresh files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "pdf/security.h"
#include "support/pdfsyntax.h"

namespace {

using namespace sheetlay::security;
using pdfsyntax::hex;
using pdfsyntax::unhex;

std::string key_hex(const FileKey &k) { return hex(k.bytes, k.len); }

std::string decrypt_str(CryptMethod m, const FileKey &key, int num, int gen,
                        const std::string &in) {
    std::string out(in.size(), '\0');
    const size_t n = decrypt(m, key, static_cast<uint32_t>(num), static_cast<uint32_t>(gen),
                             reinterpret_cast<const uint8_t *>(in.data()), in.size(),
                             reinterpret_cast<uint8_t *>(out.data()));
    out.resize(n);
    return out;
}

// ---------------------------------------------------------------------------
// Known answers: /Encrypt values of files that qpdf 11.3 encrypted (input
// /ID 7196c3e3...), with the key qpdf printed for the given password.

struct Captured {
    const char *what;
    int r, v;
    int64_t length;
    const char *cfm;  // nullptr: no crypt filters
    bool encrypt_metadata;
    const char *o, *u, *oe, *ue, *perms;
    const char *password;
    PasswordRole role;
    const char *key;
};

const char *kId0 = "7196c3e355c17c9f53ba9a0dca70cdd0";

const Captured kCaptured[] = {
    {"RC4 40 (R2), user", 2, 1, 40, nullptr, true,
     "0462807dd3b6d6aecc90f2491a9e85be7bf3674fe091ab1a0e8d8cbfdfd61704",
     "9a74c401290baefa11a42de4430d541b8e962221f393050f57caea4f408b3bd4", "", "", "", "usr",
     PasswordRole::user, "c0ac7d483e"},
    {"RC4 40 (R2), owner", 2, 1, 40, nullptr, true,
     "0462807dd3b6d6aecc90f2491a9e85be7bf3674fe091ab1a0e8d8cbfdfd61704",
     "9a74c401290baefa11a42de4430d541b8e962221f393050f57caea4f408b3bd4", "", "", "", "own",
     PasswordRole::owner, "c0ac7d483e"},
    {"RC4 128 (R3), owner", 3, 2, 128, nullptr, true,
     "3837d2c19f7d45b8cdc1a4d746a59970cd40314831b28750d53a11e31ce9300a",
     "e21844a3edb96e57e178b6e05e934e1e0122456a91bae5134273a6db134c87c4", "", "", "", "own",
     PasswordRole::owner, "e664e5232d5dbff6d599e6889f0c62a1"},
    {"AES-128 (R4), empty user", 4, 4, 128, "AESV2", true,
     "65fbeeb76e4691b7dc4babe5b911ce87196f39d0cfda0f00920838327413a714",
     "9cd418d3ec45416d2fb414cd0590a97f0122456a91bae5134273a6db134c87c4", "", "", "", "",
     PasswordRole::user, "afd5ace4596b8a4d7e56880e5204688d"},
    {"AES-128 (R4), metadata in clear", 4, 4, 128, "AESV2", false,
     "3837d2c19f7d45b8cdc1a4d746a59970cd40314831b28750d53a11e31ce9300a",
     "9fd860ce9c81db63e97da98113437bc00122456a91bae5134273a6db134c87c4", "", "", "", "usr",
     PasswordRole::user, "c4a401e570dc4b8dec6fc83d7e699d77"},
    {"AES-256 (R5), user", 5, 5, 256, "AESV3", true,
     "91df539420efe667576436624803230cb625aed2f9d4f379e7193bfbe9722ffcf439741949d9cf67412de3636b063"
     "d46",
     "53b5e719302da8544062b55eb3b677835075d9ed55deab921f9d0963342acf040d44fbe87bbf406d0871bcda31000"
     "0c9",
     "7aba950ee6548e61ce286c8a08b47ef93bbbbd4bd6b8d91b289db36a14668d6e",
     "bd9e1a5293458dca66a82018a6520674fcf88f67534f519bc3cbb1110ef35ce3",
     "6dba1accdd04351addad19340bebd147", "usr", PasswordRole::user,
     "c7ff42598f1e204c072e3142a94286ff351afb1c2871ff11e9b2ec78a6c27582"},
    {"AES-256 (R5), owner", 5, 5, 256, "AESV3", true,
     "91df539420efe667576436624803230cb625aed2f9d4f379e7193bfbe9722ffcf439741949d9cf67412de3636b063"
     "d46",
     "53b5e719302da8544062b55eb3b677835075d9ed55deab921f9d0963342acf040d44fbe87bbf406d0871bcda31000"
     "0c9",
     "7aba950ee6548e61ce286c8a08b47ef93bbbbd4bd6b8d91b289db36a14668d6e",
     "bd9e1a5293458dca66a82018a6520674fcf88f67534f519bc3cbb1110ef35ce3",
     "6dba1accdd04351addad19340bebd147", "own", PasswordRole::owner,
     "c7ff42598f1e204c072e3142a94286ff351afb1c2871ff11e9b2ec78a6c27582"},
    {"AES-256 (R6), owner", 6, 5, 256, "AESV3", true,
     "0abdaad55a571ddc30bd40bdb6c9849931dfc5467358b8dd3f01719d7ea19755eea83103425a65e01aabb7591829c"
     "ea3",
     "733c6ee5722c52a6ae0bf8f44c8937827ed98562f51e582c84094d6a7bfbc340366c364c4f9bcedceae71aceef98e"
     "c08",
     "6465348a2197b0c98fb4d55fe7f8acf70b1def90a225eb85d80b29ec80519a37",
     "52115d48c742a7ec726008d4e1a2d685454c473da4193f8581ba7cdb161e0ef3",
     "628cc6431726587823ab19bcb90727ad", "own", PasswordRole::owner,
     "eed52090d23b06c5db479fe85b2656cda86d6a1d4be189f5866c6af720e4a77e"},
    {"AES-256 (R6), user", 6, 5, 256, "AESV3", true,
     "0abdaad55a571ddc30bd40bdb6c9849931dfc5467358b8dd3f01719d7ea19755eea83103425a65e01aabb7591829c"
     "ea3",
     "733c6ee5722c52a6ae0bf8f44c8937827ed98562f51e582c84094d6a7bfbc340366c364c4f9bcedceae71aceef98e"
     "c08",
     "6465348a2197b0c98fb4d55fe7f8acf70b1def90a225eb85d80b29ec80519a37",
     "52115d48c742a7ec726008d4e1a2d685454c473da4193f8581ba7cdb161e0ef3",
     "628cc6431726587823ab19bcb90727ad", "usr", PasswordRole::user,
     "eed52090d23b06c5db479fe85b2656cda86d6a1d4be189f5866c6af720e4a77e"},
};

EncryptInfo captured_info(const Captured &c) {
    EncryptInfo info;
    info.v = c.v;
    info.r = c.r;
    info.length = c.length;
    info.p = -4;
    info.o = unhex(c.o);
    info.u = unhex(c.u);
    info.oe = unhex(c.oe);
    info.ue = unhex(c.ue);
    info.perms = unhex(c.perms);
    info.encrypt_metadata = c.encrypt_metadata;
    info.id0 = unhex(kId0);
    if (c.cfm) {
        info.stmf = info.strf = CryptFilterInfo{"StdCF", c.cfm, c.r >= 5 ? 32 : 16};
    }
    return info;
}

TEST(SecurityKnownAnswers, KeysAndRolesAsQpdfReports) {
    for (const Captured &c : kCaptured) {
        const EncryptInfo info = captured_info(c);
        const Authentication a = authenticate(info, c.password);
        ASSERT_EQ(a.status, AuthStatus::ok) << c.what << ": " << a.detail;
        EXPECT_EQ(a.matched, c.role) << c.what;
        EXPECT_EQ(key_hex(a.key), c.key) << c.what;
        EXPECT_EQ(a.encrypt_metadata, c.encrypt_metadata) << c.what;
        if (c.r >= 5) {
            EXPECT_TRUE(a.perms_ok) << c.what;
        }
        const Authentication bad = authenticate(info, "not the password");
        EXPECT_EQ(bad.status, AuthStatus::wrong_password) << c.what;
        EXPECT_EQ(bad.key.len, 0u) << c.what;
    }
}

// The empty user password opens a file without asking: nullptr and ""
// alike. A file with a user password is not opened by the empty one.
TEST(SecurityKnownAnswers, EmptyPassword) {
    const EncryptInfo open = captured_info(kCaptured[3]);
    EXPECT_EQ(authenticate(open, nullptr).status, AuthStatus::ok);
    EXPECT_EQ(authenticate(open, "").matched, PasswordRole::user);
    EXPECT_EQ(authenticate(open, "own").matched, PasswordRole::owner);
    for (const Captured &c : kCaptured) {
        if (*c.password == '\0') continue;
        EXPECT_EQ(authenticate(captured_info(c), nullptr).status, AuthStatus::wrong_password)
            << c.what;
    }
}

// Changing any input of the key derivation spoils it: /P, the /ID, the
// metadata flag (revision 4), the salts of revision 6.
TEST(SecurityKnownAnswers, EveryInputCounts) {
    {
        EncryptInfo info = captured_info(kCaptured[0]);
        info.p = -3;
        EXPECT_EQ(authenticate(info, "usr").status, AuthStatus::wrong_password);
    }
    {
        EncryptInfo info = captured_info(kCaptured[2]);
        info.id0[0] ^= 1;
        // The owner path recovers a user password and checks it through /U,
        // which takes the /ID: it fails too.
        EXPECT_EQ(authenticate(info, "own").status, AuthStatus::wrong_password);
    }
    {
        EncryptInfo info = captured_info(kCaptured[4]);
        info.encrypt_metadata = true;
        EXPECT_EQ(authenticate(info, "usr").status, AuthStatus::wrong_password);
    }
    {
        EncryptInfo info = captured_info(kCaptured[8]);
        info.u[40] ^= 1;  // the key salt: the password still matches, the key does not
        const Authentication a = authenticate(info, "usr");
        ASSERT_EQ(a.status, AuthStatus::ok);
        EXPECT_NE(key_hex(a.key), kCaptured[8].key);
        EXPECT_FALSE(a.perms_ok);
        info = captured_info(kCaptured[8]);
        info.u[33] ^= 1;  // the validation salt
        EXPECT_EQ(authenticate(info, "usr").status, AuthStatus::wrong_password);
        EXPECT_EQ(authenticate(info, "own").status, AuthStatus::wrong_password)
            << "the owner hash takes /U's 48 bytes";
    }
}

// ---------------------------------------------------------------------------
// Dictionaries this handler does not decrypt, and damaged entries.

struct RefusedCase {
    const char *what;
    void (*change)(EncryptInfo &);
    const char *detail;
};

TEST(SecurityRefuses, SaysWhatWasFound) {
    const RefusedCase cases[] = {
        {"public-key handler", [](EncryptInfo &i) { i.filter = "Adobe.PubSec"; },
         "filter /Adobe.PubSec"},
        {"revision 7", [](EncryptInfo &i) { i.r = 7; }, "revision 7"},
        {"revision 1", [](EncryptInfo &i) { i.r = 1; }, "revision 1"},
        {"V 3", [](EncryptInfo &i) { i.v = 3; }, "V 3"},
        {"V 0", [](EncryptInfo &i) { i.v = 0; }, "V 0"},
        {"V 5 with revision 4", [](EncryptInfo &i) { i.v = 5; }, "V 5 with revision 4"},
        {"V 4 with revision 6", [](EncryptInfo &i) { i.r = 6; }, "V 4 with revision 6"},
        {"unknown method", [](EncryptInfo &i) { i.stmf.cfm = "Foo"; }, "crypt filter method /Foo"},
        {"AES-256 under V 4", [](EncryptInfo &i) { i.strf.cfm = "AESV3"; },
         "crypt filter method /AESV3 with V 4"},
        {"filter not in /CF",
         [](EncryptInfo &i) {
             i.stmf = CryptFilterInfo{"Other", "", 0};
         },
         "crypt filter /Other not in /CF"},
        {"short /O", [](EncryptInfo &i) { i.o.resize(31); }, "/O of 31 bytes"},
        {"empty /U", [](EncryptInfo &i) { i.u.clear(); }, "/U of 0 bytes"},
    };
    for (const RefusedCase &c : cases) {
        EncryptInfo info = captured_info(kCaptured[3]);  // AES-128, R4, empty user password
        c.change(info);
        const Authentication a = authenticate(info, "");
        EXPECT_EQ(a.status, AuthStatus::unsupported) << c.what;
        EXPECT_EQ(a.detail, c.detail) << c.what;
        EXPECT_EQ(a.key.len, 0u) << c.what;
    }
}

TEST(SecurityRefuses, ShortEntriesOfRevision6) {
    const Captured &c = kCaptured[8];  // R6, user password "usr"
    struct {
        const char *what;
        void (*change)(EncryptInfo &);
        AuthStatus status;
        const char *detail;
    } cases[] = {
        {"/U of 47 bytes", [](EncryptInfo &i) { i.u.resize(47); }, AuthStatus::unsupported,
         "/U of 47 bytes"},
        {"/O of 32 bytes", [](EncryptInfo &i) { i.o.resize(32); }, AuthStatus::unsupported,
         "/O of 32 bytes"},
        {"/UE cut", [](EncryptInfo &i) { i.ue.resize(31); }, AuthStatus::unsupported,
         "/UE of 31 bytes"},
        // Only the user's entries are needed for the user password.
        {"/OE missing", [](EncryptInfo &i) { i.oe.clear(); }, AuthStatus::ok, ""},
        {"/Perms missing", [](EncryptInfo &i) { i.perms.clear(); }, AuthStatus::ok, ""},
    };
    for (const auto &k : cases) {
        EncryptInfo info = captured_info(c);
        k.change(info);
        const Authentication a = authenticate(info, "usr");
        EXPECT_EQ(a.status, k.status) << k.what;
        EXPECT_EQ(a.detail, k.detail) << k.what;
    }
}

// Long passwords: revisions 2-4 use the first 32 bytes, revisions 5-6 the
// first 127; what follows does not count, what comes before does.
TEST(SecurityPasswords, LongPasswordsAreCut) {
    EncryptInfo r2 = captured_info(kCaptured[0]);
    // "usr" padded is "usr" + the first 29 padding bytes; typing those out
    // plus anything is the same password.
    std::string typed =
        "usr" + unhex("28BF4E5E4E758A4164004E56FFFA01082E2E00B6D0683E802F0CA9FE64") + "tail";
    const Authentication a = authenticate(r2, typed.data(), typed.size());
    EXPECT_EQ(a.status, AuthStatus::ok);
    EXPECT_EQ(key_hex(a.key), kCaptured[0].key);

    // Revision 6, user password "abc...xyzabc..." of 127 bytes (qpdf 11.3).
    Captured c = kCaptured[8];
    c.o =
        "b02b4d8e42f3ca44dbb39658bad41463b414f3c21c87077fcb1342a954d4376aa46b8cd543b40fa3e2a5cbd69f"
        "59d904";
    c.u =
        "c2639bfe202ae4e1c38c5dcaf6df4ef8ee1b4730b0f3baa89c338a73f4e786e595653b485c41eb78aa07011fdf"
        "5afce5";
    c.oe = "7cbef1d01df23e7ed1a63f35146e0889e21f98400dd6472ef4e8fc79cb6a898f";
    c.ue = "fe14f297714a3a1a77dd0434e7d4af9bdc2cfafc2494c38542c9a14489375286";
    c.perms = "9a289d016d2eed483c06c709a65625a2";
    const EncryptInfo r6 = captured_info(c);
    std::string pw;
    for (int i = 0; i < 127; ++i) pw += static_cast<char>('a' + i % 26);
    const Authentication full = authenticate(r6, (pw + "tail").c_str());
    EXPECT_EQ(full.status, AuthStatus::ok);
    EXPECT_EQ(key_hex(full.key),
              "65e0b8a031f358f20c7a5c8ee463e306d328db260d0cbb44654090910cdd4dad");
    EXPECT_TRUE(full.perms_ok);
    EXPECT_EQ(authenticate(r6, pw.substr(0, 126).c_str()).status, AuthStatus::wrong_password);
}

// ---------------------------------------------------------------------------
// Per-object keys and decryption of damaged data.

TEST(SecurityDecrypt, ObjectKeyLengths) {
    struct {
        CryptMethod m;
        size_t file_len, want;
    } cases[] = {
        {CryptMethod::rc4, 5, 10},      {CryptMethod::rc4, 11, 16},   {CryptMethod::rc4, 16, 16},
        {CryptMethod::aes128, 16, 16},  {CryptMethod::aes128, 5, 16}, {CryptMethod::aes256, 32, 32},
        {CryptMethod::identity, 16, 0},
    };
    for (const auto &c : cases) {
        FileKey k;
        k.len = c.file_len;
        uint8_t out[32];
        EXPECT_EQ(object_key(c.m, k, 12, 0, out), c.want) << method_name(c.m) << " " << c.file_len;
    }
    // Object number and generation both count; the high byte of the number does not.
    FileKey k;
    k.len = 16;
    uint8_t a[32], b[32], c[32], d[32];
    object_key(CryptMethod::rc4, k, 7, 0, a);
    object_key(CryptMethod::rc4, k, 7, 1, b);
    object_key(CryptMethod::rc4, k, 7 + (1u << 24), 0, c);
    object_key(CryptMethod::aes128, k, 7, 0, d);
    EXPECT_NE(hex(a, 16), hex(b, 16));
    EXPECT_EQ(hex(a, 16), hex(c, 16));
    EXPECT_NE(hex(a, 16), hex(d, 16)) << "AES keys are salted";
}

// AES data built with the primitives (checked against published vectors in
// the crypto tests): IV + CBC(plain + padding) under the object key.
std::string aes_encrypt_object(CryptMethod m, const FileKey &key, int num, const std::string &plain,
                               const std::string &pad) {
    uint8_t k[32];
    const size_t n = object_key(m, key, static_cast<uint32_t>(num), 0, k);
    sheetlay::crypto::Aes aes;
    aes.set_key(k, n);
    std::string iv = unhex("0f0e0d0c0b0a09080706050403020100");
    std::string body = plain + pad;
    std::string out = iv + body;
    sheetlay::crypto::aes_cbc_encrypt(aes, reinterpret_cast<const uint8_t *>(iv.data()),
                                      reinterpret_cast<const uint8_t *>(body.data()),
                                      reinterpret_cast<uint8_t *>(out.data() + 16), body.size());
    return out;
}

TEST(SecurityDecrypt, AesPaddingAndDamage) {
    FileKey k128, k256;
    k128.len = 16;
    k256.len = 32;
    for (size_t i = 0; i < 32; ++i) k128.bytes[i] = k256.bytes[i] = static_cast<uint8_t>(i * 7);
    const std::string text = "BT /F1 12 Tf (Hi) Tj ET";  // 23 bytes
    struct Case {
        const char *what;
        std::string plain, pad;
        size_t cut;  // bytes removed from the end of the ciphertext
        std::string want;
    } cases[] = {
        {"9 bytes of padding", text, std::string(9, '\x09'), 0, text},
        {"a whole block of padding", text.substr(0, 16), std::string(16, '\x10'), 0,
         text.substr(0, 16)},
        {"empty text", "", std::string(16, '\x10'), 0, ""},
        {"padding byte 0: kept", text, std::string(9, '\0'), 0, text + std::string(9, '\0')},
        {"padding byte 17: kept", text, std::string(9, '\x11'), 0, text + std::string(9, '\x11')},
        {"uneven padding: kept", text, std::string(8, '\x09') + "\x08", 0,
         text + std::string(8, '\x09') + "\x08"},
        {"partial last block: dropped", text, std::string(9, '\x09'), 5, text.substr(0, 16)},
        {"IV and a partial block", "", std::string(16, '\x10'), 1, ""},
        {"IV only", "", std::string(16, '\x10'), 16, ""},
        {"shorter than the IV", "", std::string(16, '\x10'), 20, ""},
    };
    for (CryptMethod m : {CryptMethod::aes128, CryptMethod::aes256}) {
        const FileKey &key = m == CryptMethod::aes128 ? k128 : k256;
        for (const Case &c : cases) {
            std::string data = aes_encrypt_object(m, key, 9, c.plain, c.pad);
            data.resize(data.size() - c.cut);
            // A heap block of exactly the data's size: AddressSanitizer sees
            // any read past it.
            std::vector<uint8_t> in(data.begin(), data.end()), out(in.size());
            const size_t n = decrypt(m, key, 9, 0, in.data(), in.size(), out.data());
            EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(n)), c.want)
                << method_name(m) << ": " << c.what;
            // In place gives the same.
            const size_t n2 = decrypt(m, key, 9, 0, in.data(), in.size(), in.data());
            EXPECT_EQ(std::string(in.begin(), in.begin() + static_cast<long>(n2)), c.want)
                << method_name(m) << " in place: " << c.what;
        }
    }
    // A key that does not fit AES-256 decrypts nothing.
    const std::string data =
        aes_encrypt_object(CryptMethod::aes256, k256, 9, text, std::string(9, '\x09'));
    EXPECT_EQ(decrypt_str(CryptMethod::aes256, k128, 9, 0, data), "");
}

TEST(SecurityDecrypt, Rc4AndIdentity) {
    FileKey k;
    k.len = 5;
    std::memcpy(k.bytes, "\x01\x02\x03\x04\x05", 5);
    const std::string text = "some (string) \\ bytes";
    const std::string enc = decrypt_str(CryptMethod::rc4, k, 3, 0, text);
    EXPECT_EQ(enc.size(), text.size());
    EXPECT_NE(enc, text);
    EXPECT_EQ(decrypt_str(CryptMethod::rc4, k, 3, 0, enc), text);
    EXPECT_NE(decrypt_str(CryptMethod::rc4, k, 4, 0, enc), text);
    EXPECT_EQ(decrypt_str(CryptMethod::identity, k, 3, 0, text), text);
    EXPECT_EQ(decrypt_str(CryptMethod::rc4, k, 3, 0, ""), "");
}

}  // namespace
