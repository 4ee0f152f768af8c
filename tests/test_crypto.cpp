// The cryptographic primitives against published known-answer vectors:
// MD5 (RFC 1321's test suite), SHA-256/384/512 (the FIPS 180-4 examples),
// RC4 (RFC 6229 key streams at several offsets), AES (the FIPS 197 example
// blocks and the CBC examples of NIST SP 800-38A). Besides the values, the
// incremental interfaces must give the same digest however a message is cut
// into pieces, and CBC must work in place and behind its IV.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/aes.h"
#include "crypto/md5.h"
#include "crypto/rc4.h"
#include "crypto/sha2.h"

namespace {

using namespace sheetlay::crypto;
using Bytes = std::vector<uint8_t>;

Bytes unhex(std::string_view hex) {
    Bytes out;
    int hi = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;  // spaces between groups
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

std::string hex(const uint8_t *p, size_t n) {
    static const char *d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

const std::string kMillionA(1000000, 'a');
const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmno"
    "pqrsmnopqrstnopqrstu";

// ---------------------------------------------------------------------------
// MD5

struct DigestCase {
    const std::string *msg;
    const char *digest;
};

const std::string kMd5Msgs[] = {
    "",
    "a",
    "abc",
    "message digest",
    "abcdefghijklmnopqrstuvwxyz",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890"};
const char *kMd5Digests[] = {"d41d8cd98f00b204e9800998ecf8427e", "0cc175b9c0f1b6a831c399e269772661",
                             "900150983cd24fb0d6963f7d28e17f72", "f96b697d7cb7938d525a2f31aaf161d0",
                             "c3fcd3d76192e4007dfb496cca67e13b", "d174ab98d277d9f5a5611c2c9f419d9f",
                             "57edf4a22be3c955ac49da2e2107b67a"};

TEST(CryptoMd5, Rfc1321Suite) {
    for (size_t i = 0; i < std::size(kMd5Msgs); ++i) {
        uint8_t d[16];
        md5(kMd5Msgs[i].data(), kMd5Msgs[i].size(), d);
        EXPECT_EQ(hex(d, 16), kMd5Digests[i]) << "message \"" << kMd5Msgs[i] << "\"";
    }
}

// Every cut of the message into two pieces, and byte by byte, gives the
// one-piece digest: the buffering across block edges is right.
TEST(CryptoMd5, PiecesGiveTheSameDigest) {
    const std::string &m = kMd5Msgs[6];  // 80 bytes: crosses a block edge
    for (size_t cut = 0; cut <= m.size(); ++cut) {
        Md5 h;
        h.update(m.data(), cut);
        h.update(m.data() + cut, m.size() - cut);
        uint8_t d[16];
        h.finish(d);
        ASSERT_EQ(hex(d, 16), kMd5Digests[6]) << "cut at " << cut;
    }
    Md5 h;
    for (char c : m) h.update(&c, 1);
    uint8_t d[16];
    h.finish(d);
    EXPECT_EQ(hex(d, 16), kMd5Digests[6]);
    // finish() leaves the object ready for a new message.
    h.update("abc", 3);
    h.finish(d);
    EXPECT_EQ(hex(d, 16), kMd5Digests[2]);
}

// ---------------------------------------------------------------------------
// SHA-2

enum class Sha { s256, s384, s512 };

struct ShaCase {
    Sha kind;
    const std::string *msg;
    std::string literal;  // used when msg is null
    const char *digest;
};

std::string sha_hex(Sha kind, const std::string &m) {
    uint8_t d[64];
    switch (kind) {
    case Sha::s256: sha256(m.data(), m.size(), d); return hex(d, 32);
    case Sha::s384: sha384(m.data(), m.size(), d); return hex(d, 48);
    case Sha::s512: sha512(m.data(), m.size(), d); return hex(d, 64);
    }
    return {};
}

TEST(CryptoSha2, Fips180Examples) {
    const ShaCase cases[] = {
        {Sha::s256, nullptr, "",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {Sha::s256, nullptr, "abc",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {Sha::s256, &k448, "", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {Sha::s256, &kMillionA, "",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {Sha::s384, nullptr, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
         "34c825a7"},
        {Sha::s384, &k896, "",
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa"
         "91746039"},
        {Sha::s512, nullptr, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
         "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {Sha::s512, &k896, "",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99de"
         "c4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {Sha::s512, &kMillionA, "",
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432c"
         "e577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    int i = 0;
    for (const ShaCase &c : cases) {
        const std::string &m = c.msg ? *c.msg : c.literal;
        EXPECT_EQ(sha_hex(c.kind, m), c.digest) << "case " << i;
        ++i;
    }
}

// The 896-bit message cut at every place: SHA-256 crosses 64-byte blocks,
// SHA-512 its 128-byte block, and the padding falls in a block of its own.
TEST(CryptoSha2, PiecesGiveTheSameDigest) {
    const std::string &m = k896;
    const std::string want256 = sha_hex(Sha::s256, m);
    const std::string want512 = sha_hex(Sha::s512, m);
    for (size_t cut = 0; cut <= m.size(); ++cut) {
        Sha256 a;
        a.update(m.data(), cut);
        a.update(m.data() + cut, m.size() - cut);
        uint8_t d[64];
        a.finish(d);
        ASSERT_EQ(hex(d, 32), want256) << "SHA-256 cut at " << cut;
        Sha512 b;
        b.update(m.data(), cut);
        b.update(m.data() + cut, m.size() - cut);
        b.finish(d);
        ASSERT_EQ(hex(d, 64), want512) << "SHA-512 cut at " << cut;
    }
}

// Lengths around the padding edges (55/56/63/64 for SHA-256, 111/112/127/128
// for SHA-512): one piece against byte-by-byte updates, and SHA-384 really
// differs from a cut SHA-512.
TEST(CryptoSha2, PaddingEdgesAgreeAcrossInterfaces) {
    for (size_t len : {55u, 56u, 63u, 64u, 65u, 111u, 112u, 119u, 127u, 128u, 129u}) {
        const std::string m(len, 'x');
        Sha256 a;
        Sha512 b(true);
        for (char c : m) {
            a.update(&c, 1);
            b.update(&c, 1);
        }
        uint8_t d[64];
        a.finish(d);
        EXPECT_EQ(hex(d, 32), sha_hex(Sha::s256, m)) << len;
        EXPECT_EQ(b.size(), 48u);
        b.finish(d);
        EXPECT_EQ(hex(d, 48), sha_hex(Sha::s384, m)) << len;
        EXPECT_NE(sha_hex(Sha::s384, m), sha_hex(Sha::s512, m).substr(0, 96)) << len;
    }
}

// ---------------------------------------------------------------------------
// RC4

struct Rc4Case {
    const char *key;
    size_t offset;
    const char *stream;  // 16 bytes of key stream at offset
};

TEST(CryptoRc4, Rfc6229KeyStreams) {
    const Rc4Case cases[] = {
        {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
        {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
        {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
        {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
        {"0102030405", 1008, "45129048e6a0ed0b56b490338f078da5"},
        {"0102030405", 2032, "1eb14a0c13b3bf47fa2a0ba93ad45b8b"},
        {"833222772a", 0, "80ad97bdc973df8a2e879e92a497efda"},
        {"833222772a", 1024, "7828d074119cab5c22b294d7a9bfa0bb"},
        {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
        {"0102030405060708090a0b0c0d0e0f10", 16, "5248c4959014126a6e8a84f11d1a9e1c"},
        {"0102030405060708090a0b0c0d0e0f10", 240, "065902e4b620f6cc36c8589f66432f2b"},
        {"0102030405060708090a0b0c0d0e0f10", 1024, "bdf0324e6083dcc6d3cedd3ca8c53c16"},
    };
    for (const Rc4Case &c : cases) {
        const Bytes key = unhex(c.key);
        Bytes zeros(c.offset + 16, 0), out(zeros.size());
        rc4(key.data(), key.size(), zeros.data(), out.data(), zeros.size());
        EXPECT_EQ(hex(out.data() + c.offset, 16), c.stream) << c.key << " @" << c.offset;
    }
}

// The stream goes on across calls, and applying it twice gives the text back.
TEST(CryptoRc4, StreamContinuesAcrossCallsAndRoundTrips) {
    const Bytes key = unhex("0102030405");
    Rc4 c(key.data(), key.size());
    Bytes zeros(256, 0), out(256);
    for (size_t off = 0; off < 256; off += 37)
        c.apply(zeros.data() + off, out.data() + off, std::min<size_t>(37, 256 - off));
    EXPECT_EQ(hex(out.data() + 240, 16), "28cb1132c96ce286421dcaadb8b69eae");

    std::string text = "Attack at dawn";
    Bytes buf(text.begin(), text.end());
    const Bytes secret = {'S', 'e', 'c', 'r', 'e', 't'};
    rc4(secret.data(), secret.size(), buf.data(), buf.data(), buf.size());
    EXPECT_EQ(hex(buf), "45a01f645fc35b383552544b9bf5");
    rc4(secret.data(), secret.size(), buf.data(), buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.begin(), buf.end()), text);
}

// ---------------------------------------------------------------------------
// AES

struct AesBlockCase {
    const char *key, *plain, *cipher;
};

TEST(CryptoAes, Fips197ExampleBlocks) {
    const AesBlockCase cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
         "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
        // The cipher example's key and input.
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
    };
    for (const AesBlockCase &c : cases) {
        const Bytes key = unhex(c.key), plain = unhex(c.plain);
        Aes aes;
        ASSERT_TRUE(aes.set_key(key.data(), key.size()));
        uint8_t out[16], back[16];
        aes.encrypt_block(plain.data(), out);
        EXPECT_EQ(hex(out, 16), c.cipher) << c.key;
        aes.decrypt_block(out, back);
        EXPECT_EQ(hex(back, 16), c.plain) << c.key;
    }
}

TEST(CryptoAes, RefusesOtherKeyLengths) {
    const uint8_t key[33] = {};
    for (size_t len : {0u, 5u, 15u, 17u, 31u, 33u}) {
        Aes aes;
        EXPECT_FALSE(aes.set_key(key, len)) << len;
    }
}

struct CbcCase {
    const char *key;
    const char *cipher;  // of kCbcPlain under kCbcIv
};

const char *kCbcIv = "000102030405060708090a0b0c0d0e0f";
const char *kCbcPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

const CbcCase kCbcCases[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
};

TEST(CryptoAes, Sp80038aCbcVectors) {
    for (const CbcCase &c : kCbcCases) {
        const Bytes key = unhex(c.key), iv = unhex(kCbcIv), plain = unhex(kCbcPlain),
                    cipher = unhex(c.cipher);
        Aes aes;
        ASSERT_TRUE(aes.set_key(key.data(), key.size()));
        Bytes out(plain.size());
        aes_cbc_encrypt(aes, iv.data(), plain.data(), out.data(), plain.size());
        EXPECT_EQ(hex(out), c.cipher) << c.key;
        aes_cbc_decrypt(aes, iv.data(), cipher.data(), out.data(), cipher.size());
        EXPECT_EQ(hex(out), kCbcPlain) << c.key;

        // In place.
        Bytes buf = plain;
        aes_cbc_encrypt(aes, iv.data(), buf.data(), buf.data(), buf.size());
        EXPECT_EQ(buf, cipher);
        aes_cbc_decrypt(aes, iv.data(), buf.data(), buf.data(), buf.size());
        EXPECT_EQ(buf, plain);

        // IV + ciphertext decrypted into the same buffer, from its start:
        // the way PDF strings and streams are decrypted.
        Bytes framed = iv;
        framed.insert(framed.end(), cipher.begin(), cipher.end());
        aes_cbc_decrypt(aes, framed.data(), framed.data() + 16, framed.data(), cipher.size());
        EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 64), plain);
    }
}

// Bytes after the last whole block are neither read nor written.
TEST(CryptoAes, CbcLeavesAPartialBlockAlone) {
    const Bytes key = unhex(kCbcCases[0].key), iv = unhex(kCbcIv),
                cipher = unhex(kCbcCases[0].cipher);
    Aes aes;
    ASSERT_TRUE(aes.set_key(key.data(), key.size()));
    Bytes out(40, 0xEE);
    aes_cbc_decrypt(aes, iv.data(), cipher.data(), out.data(), 40);
    EXPECT_EQ(hex(out.data(), 32), std::string(kCbcPlain).substr(0, 64));
    EXPECT_EQ(hex(out.data() + 32, 8), "eeeeeeeeeeeeeeee");
}

}  // namespace
