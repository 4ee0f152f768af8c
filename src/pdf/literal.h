// Decoding a literal string, "(...)", into its bytes: the one decoder the
// value parser (pdf/object) and the content tokeniser (content/tokens)
// share, so that a string reads the same wherever it stands.
//
// Balanced parentheses belong to the string; a backslash escapes the
// usual letters (n r t b f), a parenthesis, itself, up to three octal
// digits (high bits past a byte dropped) or an end of line (the line
// continues); an unknown escape keeps the character after it. An end of
// line inside the string, CR, LF or CR LF, reads as one LF.
#ifndef SHEETLAY_PDF_LITERAL_H
#define SHEETLAY_PDF_LITERAL_H

#include <cstddef>
#include <string>

namespace sheetlay::pdf {

// Decodes the string whose '(' stands at t[*pos] into *out (replacing what
// it held). On success *pos is just past the closing ')'; false, with *pos
// unchanged, when the data ends before the string closes.
inline bool decode_literal(const unsigned char *t, size_t len, size_t *pos, std::string *out) {
    size_t p = *pos + 1;
    out->clear();
    int nest = 1;
    while (p < len) {
        // Plain bytes in runs: most strings hold no escape or parenthesis.
        size_t q = p;
        while (q < len && t[q] != '(' && t[q] != ')' && t[q] != '\\' && t[q] != '\r') ++q;
        if (q > p) out->append(reinterpret_cast<const char *>(t + p), q - p);
        p = q;
        if (p >= len) break;
        const unsigned char c = t[p++];
        if (c == '(') {
            ++nest;
        } else if (c == ')') {
            if (--nest == 0) {
                *pos = p;
                return true;
            }
        } else if (c == '\r') {
            if (p < len && t[p] == '\n') ++p;
            out->push_back('\n');
            continue;
        } else {  // '\\'
            if (p >= len) return false;
            const unsigned char e = t[p++];
            switch (e) {
                case 'n': out->push_back('\n'); break;
                case 'r': out->push_back('\r'); break;
                case 't': out->push_back('\t'); break;
                case 'b': out->push_back('\b'); break;
                case 'f': out->push_back('\f'); break;
                case '\r':
                    if (p < len && t[p] == '\n') ++p;
                    break;
                case '\n': break;
                default:
                    if (e >= '0' && e <= '7') {
                        int v = e - '0';
                        for (int k = 0; k < 2 && p < len && t[p] >= '0' && t[p] <= '7'; ++k)
                            v = v * 8 + (t[p++] - '0');
                        out->push_back(static_cast<char>(v & 0xFF));
                    } else {
                        out->push_back(static_cast<char>(e));  // \( \) \\ and unknown escapes
                    }
            }
            continue;
        }
        out->push_back(static_cast<char>(c));
    }
    return false;
}

}  // namespace sheetlay::pdf

#endif
