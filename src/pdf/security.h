// The PDF standard security handler: from the entries of an /Encrypt
// dictionary and a password to the file key, and from the file key to the
// plain bytes of each string and stream. Pure functions over values the
// reader has already taken from the file; nothing here reads a document.
#ifndef SHEETLAY_PDF_SECURITY_H
#define SHEETLAY_PDF_SECURITY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sheetlay::security {

// How the strings or the streams of a file are encrypted.
enum class CryptMethod : uint8_t {
    identity,  // not encrypted (/Identity, or a crypt filter with /CFM /None)
    rc4,       // RC4 with a per-object key (/V 1 and 2, or /CFM /V2)
    aes128,    // AES-128-CBC with a per-object key (/CFM /AESV2)
    aes256,    // AES-256-CBC with the file key itself (/CFM /AESV3)
};

// "identity", "RC4", "AES-128", "AES-256".
const char *method_name(CryptMethod m);

// A crypt filter named by /StmF or /StrF (only read for /V 4 and 5).
struct CryptFilterInfo {
    // The name /StmF or /StrF gives, without the slash. "Identity" (also
    // when the entry is absent) means not encrypted; other names are looked
    // up in /CF.
    std::string name = "Identity";
    // The /CFM name of /CF's entry for `name`, without the slash; "None"
    // when that entry has no /CFM; "" when /CF has no entry of that name.
    std::string cfm;
    // The entry's /Length, 0 when absent. Written in bytes (16 for AESV2) by
    // most files and in bits by some; values of 40 and more are taken as bits.
    int64_t length = 0;
};

// The entries of the /Encrypt dictionary, and the trailer's first /ID string.
struct EncryptInfo {
    std::string filter = "Standard";  // /Filter, without the slash ("" is taken as Standard)
    int64_t v = 0;                    // /V (0 when absent)
    int64_t r = 0;                    // /R
    int64_t length = 40;              // /Length in bits (40 when absent)
    bool length_given = true;         // whether /Length was there at all
    // /P: the permission bits as a signed 32-bit number. A file that writes
    // them unsigned (4294967292) wraps to the same 32 bits.
    int32_t p = 0;
    std::string o, u, oe, ue, perms;  // raw bytes of the strings ("" when absent)
    bool encrypt_metadata = true;     // /EncryptMetadata
    std::string id0;                  // first string of the trailer's /ID ("" when absent)
    CryptFilterInfo stmf, strf;       // /StmF and /StrF with their /CF entries (V 4 and 5)
    // Every entry of /CF (V 4 and 5), in the dictionary's order: a stream
    // may name one of them in its own filter chain (/Crypt).
    std::vector<CryptFilterInfo> filters;
};

// The file key: 5 to 16 bytes for revisions 2 to 4, 32 for 5 and 6.
struct FileKey {
    uint8_t bytes[32] = {};
    size_t len = 0;
};

enum class AuthStatus : uint8_t {
    ok,              // the password opened the file: `key` and the methods are set
    wrong_password,  // the handler is understood, the password is not one of the file's
    unsupported,     // not something this handler decrypts; `detail` says what was found
};

enum class PasswordRole : uint8_t { none, user, owner };

struct Authentication {
    AuthStatus status = AuthStatus::unsupported;
    PasswordRole matched = PasswordRole::none;  // which password opened the file
    // For unsupported: what was found, to go into a message such as
    // "unsupported encryption in %s (%s)": "filter /Adobe.PubSec",
    // "revision 7", "V 3", "crypt filter method /Foo", "/U of 20 bytes".
    std::string detail;
    FileKey key;
    CryptMethod strings = CryptMethod::identity;  // for every string outside /Encrypt
    CryptMethod streams = CryptMethod::identity;  // for every stream but /XRef streams
    // False: the /Metadata stream (/Type /Metadata) is not encrypted.
    bool encrypt_metadata = true;
    // Revisions 5 and 6: /Perms decrypted with the file key matches /P.
    // Informational only; a mismatch does not stop the file from opening.
    bool perms_ok = false;
};

// Tries `password` as the user password, then as the owner password.
// nullptr and "" are the empty password. Revisions 2 to 4 take the bytes as
// they are (Latin-1 / PDFDocEncoding), padded or cut to 32 bytes; when that
// fails and the password is UTF-8 text whose characters all lie below
// U+0100, its Latin-1 form is tried too. Revisions 5 and 6 take UTF-8, cut
// to 127 bytes (no SASLprep normalization).
Authentication authenticate(const EncryptInfo &info, const char *password);
Authentication authenticate(const EncryptInfo &info, const char *password, size_t password_len);

// The method of a crypt filter under /V 4 or 5 (Identity and /CFM /None:
// identity). False, with *why set, when /CF has no such entry or its
// method is not one this handler knows for that /V.
bool filter_method(const CryptFilterInfo &cf, int64_t v, CryptMethod *m, std::string *why);

// The key that encrypts the strings and streams of object num gen: for RC4
// and AES-128, the MD5 of the file key, the low 3 bytes of num and 2 of gen
// (little-endian) and, for AES-128, "sAlT", cut to min(key.len + 5, 16)
// bytes (AES-128 always takes all 16); for AES-256 the file key itself.
// Writes to out (32 bytes of room) and returns the key's length; 0 for
// identity.
size_t object_key(CryptMethod m, const FileKey &key, uint32_t num, uint32_t gen, uint8_t out[32]);

// Decrypts one string or stream of object num gen: in[0, len) into out,
// which has room for len bytes and may be in. Returns the number of bytes
// written:
//   identity  the bytes as they are, len
//   rc4       len
//   aes*      the 16-byte IV first, then CBC blocks with PKCS#5 padding.
//             A padding that is not valid is kept with the data (as viewers
//             do); bytes after the last whole block are dropped; data
//             shorter than IV + one block gives 0; a key that does not fit
//             the method gives 0.
// Never reads in[] past len nor writes out[] past len.
size_t decrypt(CryptMethod m, const FileKey &key, uint32_t num, uint32_t gen, const uint8_t *in,
               size_t len, uint8_t *out);

}  // namespace sheetlay::security

#endif
