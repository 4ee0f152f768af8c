// Decryption of an encrypted input: reading its /Encrypt dictionary at load,
// and giving the plain bytes of each object's strings and stream data.
//
// The output is never encrypted, so every string and stream the output
// carries from an encrypted input is decrypted on its way out. Strings are
// encrypted one by one with the key of the object that holds them; members
// of object streams are not (the object stream's data was decrypted as a
// whole before it was expanded), nor is the /Encrypt dictionary itself.
// Cross-reference streams are never encrypted, and a /Metadata stream is
// stored plain when /EncryptMetadata is false.
#ifndef SHEETLAY_PDF_DECRYPT_H
#define SHEETLAY_PDF_DECRYPT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pdf/document.h"
#include "pdf/object.h"
#include "pdf/security.h"

namespace sheetlay {

// What an opened encrypted document decrypts with.
struct doc_crypt {
    security::Authentication auth;
    int32_t encrypt_num = -1;  // the object that holds /Encrypt when it is a reference
    // A stream whose filter chain opens with /Crypt is decrypted with the
    // crypt filter it names (its /DecodeParms /Name: an entry of /CF, or
    // Identity when absent) instead of /StmF's, and goes out without that
    // step in its chain (the options interface; otherwise only Identity is
    // told apart and the chain is carried as written).
    bool own_filters = false;
    std::vector<std::pair<std::string, security::CryptMethod>> named;  // /CF entries usable here
    // Objects the /Encrypt dictionary reaches by reference: never decrypted.
    std::vector<int32_t> plain_objects;
};

// Reads the /Encrypt dictionary of the trailer at d->encrypt_trailer (a
// dictionary, or a reference resolved through d->obj_store) and the first
// /ID string into *info. False when the trailer or the dictionary cannot
// be read; *encrypt_num receives the referenced object's number or -1.
// `reached`, when given, receives the objects the dictionary's entries (and
// /CF's, and /ID) name by reference: read as written, like the dictionary.
bool read_encrypt_info(const doc *d, security::EncryptInfo *info, int32_t *encrypt_num,
                       std::vector<int32_t> *reached = nullptr);

// Whether the strings written in the object's text (body, or a stream's
// dictionary) are encrypted.
bool strings_encrypted(const doc *d, const obj_entry *e);

// Whether the stream's data is encrypted.
bool stream_encrypted(const doc *d, const obj_entry *e);

// How the stream's data is encrypted: identity when it is not.
security::CryptMethod stream_method(const doc *d, const obj_entry *e);

// Whether a stream's own /Crypt step is taken out of its filter chain on
// the way out (d->crypt->own_filters).
bool drops_crypt_step(const doc *d);

// The stream dictionary text t[0, len) without a leading /Crypt step: the
// first name of /Filter and the first entry of /DecodeParms left out (the
// entries themselves when nothing else remains). False, with *out
// untouched, when /Filter does not open with /Crypt or the text cannot be
// read.
bool without_crypt_step(const unsigned char *t, int32_t len, std::string *out);

// The stream's data decrypted into *out (replaced). False, with *out
// untouched, when the data is not encrypted.
bool decrypt_stream(const doc *d, const obj_entry *e, const unsigned char *data, size_t len,
                    std::vector<unsigned char> *out);

// Copies t[0, len) into *out with every string (literal or hexadecimal)
// replaced by its decrypted bytes as a hexadecimal string. Comments and
// names are copied as they are; a string that does not close is copied as
// it stands, with the rest of the text.
void decrypt_strings_text(const doc *d, const obj_entry *e, const unsigned char *t, int32_t len,
                          std::string *out);

// Decrypts every string inside v (the value of object e) in place.
void decrypt_value_strings(const doc *d, const obj_entry *e, pdf::value *v);

}  // namespace sheetlay

#endif
