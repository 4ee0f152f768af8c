// The decryption of object texts and stream data (pdf/decrypt) on
// hand-built documents: which strings are rewritten, what stays as it is,
// and which streams are left plain.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pdf/decrypt.h"
#include "pdf/document.h"
#include "pdf/object.h"
#include "pdf/security.h"

namespace {

using sheetlay::doc;
using sheetlay::obj_entry;
namespace security = sheetlay::security;

std::shared_ptr<sheetlay::doc_crypt> rc4_crypt(bool encrypt_metadata = true) {
    auto c = std::make_shared<sheetlay::doc_crypt>();
    c->auth.status = security::AuthStatus::ok;
    c->auth.strings = c->auth.streams = security::CryptMethod::rc4;
    c->auth.key.len = 5;
    for (int i = 0; i < 5; ++i) c->auth.key.bytes[i] = static_cast<uint8_t>(0x11 * (i + 1));
    c->auth.encrypt_metadata = encrypt_metadata;
    c->encrypt_num = 9;
    return c;
}

// RC4 is its own inverse: encrypting is decrypting.
std::string rc4(const sheetlay::doc_crypt &c, int num, const std::string &s) {
    std::string out(s.size(), '\0');
    security::decrypt(c.auth.strings, c.auth.key, static_cast<uint32_t>(num), 0,
                      reinterpret_cast<const uint8_t *>(s.data()), s.size(),
                      reinterpret_cast<uint8_t *>(out.data()));
    return out;
}

std::string hex(const std::string &s) {
    static const char *h = "0123456789ABCDEF";
    std::string o = "<";
    for (unsigned char c : s) {
        o += h[c >> 4];
        o += h[c & 15];
    }
    return o + ">";
}

// A literal string for arbitrary bytes: every byte as an octal escape.
std::string octal_literal(const std::string &s) {
    std::string o = "(";
    char b[5];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "\\%03o", c);
        o += b;
    }
    return o + ")";
}

obj_entry body_entry(int num) {
    obj_entry e{};
    e.num = num;
    e.hdr_pos = e.dict_pos = e.stream_pos = e.data_start = e.data_end = e.endobj_pos = -1;
    return e;
}

TEST(Decrypt, StringsInTextBecomePlainHex) {
    doc d{};
    auto c = rc4_crypt();
    d.crypt = c;
    const int num = 7;
    std::string a = rc4(*c, num, "Hello (world)"), b = rc4(*c, num, "x");
    struct {
        std::string in, want;
    } cases[] = {
        {"<< /T " + octal_literal(a) + " >>", "<< /T " + hex("Hello (world)") + " >>"},
        {"[" + hex(a) + " " + hex(b) + "]", "[" + hex("Hello (world)") + " " + hex("x") + "]"},
        // Names, comments and dictionaries stay; a name ends where a string opens.
        {"<< /N#28x /A" + hex(b) + " % (not a string)\n/D << /E 1 0 R >> >>",
         "<< /N#28x /A" + hex("x") + " % (not a string)\n/D << /E 1 0 R >> >>"},
        // A string that does not close is copied as it stands.
        {"<< /T (abc", "<< /T (abc"},
        {"", ""},
    };
    obj_entry e = body_entry(num);
    for (const auto &cs : cases) {
        std::string out;
        sheetlay::decrypt_strings_text(&d, &e, reinterpret_cast<const unsigned char *>(cs.in.data()),
                                       static_cast<int32_t>(cs.in.size()), &out);
        EXPECT_EQ(out, cs.want) << cs.in;
    }
}

TEST(Decrypt, WhatIsLeftAlone) {
    doc d{};
    auto c = rc4_crypt(false);
    std::string text = "<< /T (abc) >>";
    auto run = [&](const obj_entry &e) {
        std::string out;
        sheetlay::decrypt_strings_text(&d, &e, reinterpret_cast<const unsigned char *>(text.data()),
                                       static_cast<int32_t>(text.size()), &out);
        return out;
    };
    obj_entry e = body_entry(7);
    EXPECT_EQ(run(e), text);  // no crypt: a plain document
    d.crypt = c;
    EXPECT_NE(run(e), text);
    obj_entry member = e;
    member.in_objstm = 1;
    EXPECT_EQ(run(member), text);  // decrypted with its object stream
    obj_entry enc = body_entry(9);
    EXPECT_EQ(run(enc), text);  // the /Encrypt dictionary itself
    auto identity = rc4_crypt();
    identity->auth.strings = security::CryptMethod::identity;
    d.crypt = identity;
    EXPECT_EQ(run(e), text);
}

// Streams: data decrypted unless the stream is a cross-reference stream or
// plain metadata (EncryptMetadata false) or names the /Identity crypt filter.
TEST(Decrypt, WhichStreamsAreDecrypted) {
    struct {
        const char *dict;
        bool encrypt_metadata;
        bool decrypted;
    } cases[] = {
        {"<< /Length 4 >>", true, true},
        {"<< /Type /XRef /Length 4 >>", true, false},
        {"<< /Type /Metadata /Subtype /XML /Length 4 >>", false, false},
        {"<< /Type /Metadata /Subtype /XML /Length 4 >>", true, true},
        {"<< /Metadata 5 0 R /Length 4 >>", false, true},
        {"<< /Filter /Crypt /DecodeParms << /Name /Identity >> /Length 4 >>", true, false},
        {"<< /Filter [/Crypt] /Length 4 >>", true, false},
    };
    for (const auto &cs : cases) {
        std::string file = "3 0 obj\n" + std::string(cs.dict) + "\nstream\nabcd\nendstream\nendobj\n";
        doc d{};
        d.data = reinterpret_cast<unsigned char *>(file.data());
        d.len = static_cast<int32_t>(file.size());
        d.crypt = rc4_crypt(cs.encrypt_metadata);
        obj_entry e = body_entry(3);
        e.hdr_pos = 0;
        e.dict_pos = 8;
        e.is_stream = 1;
        e.stream_pos = static_cast<int32_t>(file.find("stream"));
        e.data_start = e.stream_pos + 7;
        e.data_end = e.data_start + 4;
        e.endobj_pos = static_cast<int32_t>(file.find("endobj"));
        std::vector<unsigned char> out;
        bool dec = sheetlay::decrypt_stream(&d, &e, d.data + e.data_start, 4, &out);
        EXPECT_EQ(dec, cs.decrypted) << cs.dict;
        if (dec) EXPECT_EQ(std::string(out.begin(), out.end()), rc4(*d.crypt, 3, "abcd"));
        d.data = nullptr;  // not owned
    }
}

TEST(Decrypt, ValueStringsAtEveryDepth) {
    doc d{};
    auto c = rc4_crypt();
    d.crypt = c;
    std::string text = "<< /A " + hex(rc4(*c, 4, "one")) + " /B [ 1 << /C " + hex(rc4(*c, 4, "two")) +
                       " >> ] /N /Name >>";
    sheetlay::pdf::value v;
    ASSERT_TRUE(sheetlay::pdf::parse_value(text, &v));
    obj_entry e = body_entry(4);
    sheetlay::decrypt_value_strings(&d, &e, &v);
    EXPECT_EQ(v.get("A")->s, "one");
    EXPECT_EQ(v.get("B")->at(1)->get("C")->s, "two");
    EXPECT_EQ(v.get("N")->s, "Name");
}

}  // namespace
