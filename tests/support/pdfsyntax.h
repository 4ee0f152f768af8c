// A few lines of PDF object syntax for tests, enough to read what qpdf
// prints and writes: dictionaries, arrays, names, numbers, references,
// hex and literal strings (with their escapes). Not a PDF parser: no
// streams, no error reporting; a value it does not understand is a word.
#ifndef SHEETLAY_TEST_PDFSYNTAX_H
#define SHEETLAY_TEST_PDFSYNTAX_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pdfsyntax {

struct Val {
    // num: n; name, str, word: s (names without the slash, strings decoded);
    // dict: d; arr: a; ref: n is the object number
    enum Kind { none, num, name, str, dict, arr, ref, word } kind = none;
    int64_t n = 0;
    std::string s;
    std::map<std::string, Val> d;
    std::vector<Val> a;
    const Val &operator[](const std::string &k) const {
        static const Val kNone;
        auto it = d.find(k);
        return it == d.end() ? kNone : it->second;
    }
};

// The value starting at text[at] (white space and comments first are
// skipped); *end, when given, receives the position after it.
Val parse(std::string_view text, size_t at = 0, size_t *end = nullptr);

// Hex digits to bytes (other characters are skipped; an odd last digit
// counts as followed by 0), and bytes to lowercase hex.
std::string unhex(std::string_view hex);
std::string hex(const uint8_t *p, size_t n);

}  // namespace pdfsyntax

#endif
