// Lexical primitives of PDF text: character classes, white space, keywords,
// names, numbers, literal strings, dictionaries and object headers.
//
// Every later stage of reading (and the output side, which copies input
// text) asks its questions through these. Texts are byte arrays with
// explicit lengths: a damaged file can end anywhere, inside a string or a
// dictionary, so no primitive reads at or past the end it is given, and
// none recurses. They answer from the bytes alone and allocate nothing,
// except dict_text_at, which returns a copy.
#ifndef SHEETLAY_PDF_LEXER_H
#define SHEETLAY_PDF_LEXER_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "pdf/document.h"

namespace sheetlay {

// ---------------------------------------------------------------------------
// Character classes

// PDF white space: NUL, tab, line feed, form feed, carriage return, space.
inline bool is_pdf_ws(unsigned char c) {
    return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}

// ASCII letters and digits only.
inline bool is_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool is_dec_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The C runtime's isspace in the "C" locale: space, \t, \n, \v, \f, \r.
inline bool is_c_space(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }

// Bytes that may continue a name for the purposes of a name match.
inline bool is_name_char(unsigned char c) {
    return is_alnum(c) || c == '+' || c == '-' || c == '_';
}

// ---------------------------------------------------------------------------
// Tokens

int32_t skip_ws(const unsigned char *t, int32_t pos, int32_t end);

// What a literal string that never closes lacks at the end of its text.
struct open_literal {
    int32_t depth = 0;         // parentheses still open; 0 for a closed string
    bool half_escape = false;  // the text ends with a lone backslash
};

// Skips the literal string that opens at t[i] == '(' (i < len): balanced
// parentheses, a backslash escapes the byte after it. Returns the position
// after the balancing ')', or `len` when the string does not close before
// it. `open`, when given, is always written: what the string lacks, depth 0
// when it closed. Both sides use it: the reader to pass strings over (an
// open string is damage), the writer to close what the input left open.
int32_t skip_literal(const unsigned char *t, int32_t i, int32_t len, open_literal *open = nullptr);

// Keywords are whole tokens: no letter or digit right before or after.
// kw_at_n takes the keyword's length; kw_at, inline, lets the compiler
// count a literal keyword and compare its few bytes in place (loading asks
// it hundreds of thousands of times).
inline int kw_at_n(const unsigned char *t, int32_t pos, int32_t len, const char *kw, size_t klen) {
    if (pos < 0 || pos + static_cast<int64_t>(klen) > len) return 0;
    if (std::memcmp(t + pos, kw, klen) != 0) return 0;
    if (pos > 0 && is_alnum(t[pos - 1])) return 0;
    if (pos + static_cast<int64_t>(klen) < len && is_alnum(t[pos + klen])) return 0;
    return 1;
}
inline int kw_at(const unsigned char *t, int32_t pos, int32_t len, const char *kw) {
    return kw_at_n(t, pos, len, kw, std::strlen(kw));
}
int32_t find_kw(const unsigned char *t, int32_t len, int32_t start, const char *kw);

// The first "/name" in t[start, min(len, limit)) not continued by a name
// byte, or -1. find_name_top only sees names at the top level of the
// dictionary that t[start] opens (strings, hex strings and comments passed
// over).
int32_t find_name(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                  const char *name);
int32_t find_name_top(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                      const char *name);

// A copy (malloc'd, NUL-terminated; free() it) of the dictionary that opens
// at t[pos] == '<' '<', or null when it does not close.
char *dict_text_at(const unsigned char *t, int32_t len, int32_t pos);
// The position after the ">>" that closes the dictionary opening at t[pos],
// or -1 when it does not close.
int32_t dict_end_at(const unsigned char *t, int32_t len, int32_t pos);

// The "stream" keyword right after the dictionary that opens at t[pos], or
// -1 when the dictionary does not close or no stream follows it.
int32_t dict_stream_kw(const unsigned char *t, int32_t len, int32_t pos);

// Integers at *cursor (after white space). parse_int_at moves the cursor
// only past a number it read; read_int_adv always moves it (past a sign and
// a byte that is no digit, except an "R"), for reading lists of numbers.
// Both return -1 when no number stands there.
int32_t parse_int_at(const unsigned char *t, int32_t len, int32_t *cursor);
int32_t read_int_adv(const unsigned char *t, int32_t len, int32_t *cursor);

// The integer after the name that find_name found at t[i].
int32_t name_value(const unsigned char *t, int32_t end, int32_t i, const char *name);

// The first value of /name in t[start, end) (in occurrence order) that is
// at least `min`, or -1.
int32_t first_name_int(const unsigned char *t, int32_t len, int32_t start, int32_t end,
                       const char *name, int32_t min);

// A stream dictionary's /Length in t[start, min(len, limit)): a direct
// value (the last number of an array, for damaged ones) in *direct_len, or
// the object number of an indirect one in *len_ref; -1 for neither.
void parse_length(const unsigned char *t, int32_t len, int32_t start, int32_t limit,
                  int32_t *direct_len, int32_t *len_ref);

// Sorted positions of every whole-token occurrence of a keyword, so that
// "the first occurrence at or after p" is a binary search.
struct kw_positions {
    std::vector<int32_t> pos;
    void collect(const unsigned char *t, int32_t len, const char *kw, int32_t from = 0);
    int32_t first_at_or_after(int64_t p) const;
};

// ---------------------------------------------------------------------------
// Object headers and bodies

// With the keyword "obj" at t[P]: the position of the first digit of the
// "N G obj" header it closes, or -1 when no header of an object numbered
// above zero ends there. *num receives N.
int32_t header_before(const unsigned char *t, int32_t P, int32_t *num);

// header_before, with what it read of the rest of the header: N, where the
// digits of G stand, and whether a vertical tab stands between N and G or
// between G and "obj" (white space to this reading, but not to PDF's, so
// that a header with one does not read forward as "N G obj").
struct header_parts {
    int32_t num;
    int32_t gen_from, gen_to;
    bool vt_before_gen, vt_after_gen;
};
int32_t header_parts_before(const unsigned char *t, int32_t P, header_parts *h);

// The first byte of the body of the object whose header begins at t[hdr].
int32_t body_start(const unsigned char *t, int32_t len, int32_t hdr);

// The first header "N G obj" that begins in t[from..stop), or -1.
int32_t next_header(const unsigned char *t, int32_t len, int32_t from, int32_t stop);

// The dictionary range of an object: for a member its own text, otherwise
// the file text from dict_pos to stream_pos / endobj_pos / end of file.
// Returns 0 when the object has none; else sets *t, *start, *end (the text
// to scan is t[start, end), and t may be read up to `*tlen`).
int dict_range(const unsigned char *file, int32_t file_len, const obj_entry *e,
               const unsigned char **t, int32_t *tlen, int32_t *start, int32_t *end);

// 1 for a /Type /Page object, 2 for /Type /Pages, else 0.
int obj_type(const unsigned char *t, int32_t len, const obj_entry *e);

// The body of an object (what stands between "obj" and "endobj", or a
// member's text). Returns 0 when it cannot be found.
int obj_body(const unsigned char *file, int32_t file_len, const obj_entry *e,
             const unsigned char **body, int32_t *body_len);

}  // namespace sheetlay

#endif
