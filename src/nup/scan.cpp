// String skippers, reference tails, value ends and the closers of a body
// cut short (see scan.h). These are the output side's own: the reader has
// skippers of its own with other duties (object boundaries, dictionary
// lookups), and the two are to be merged.
#include "nup/scan.h"

namespace sheetlay::nup {

int32_t skip_string(const unsigned char *t, int32_t i, int32_t len, open_string *open) {
    int32_t depth = 0;
    for (int32_t j = i; j < len; ++j) {
        if (t[j] == '\\') {
            if (++j == len && open) open->half_escape = true;
        } else if (t[j] == '(') {
            ++depth;
        } else if (t[j] == ')' && --depth == 0) {
            return j + 1;
        }
    }
    if (open) open->depth = depth;
    return len;
}

int32_t skip_hex(const unsigned char *t, int32_t i, int32_t len) {
    int32_t j = i + 1;
    while (j < len && t[j] != '>') ++j;
    return j < len ? j + 1 : len;
}

int32_t ref_tail(const unsigned char *t, int32_t i, int32_t len) {
    int32_t q = skip_ws(t, i, len);
    if (q > i && q < len && is_digit(t[q])) {
        int32_t g = q;
        while (g < len && is_digit(t[g])) ++g;
        int32_t h = skip_ws(t, g, len);
        if (g < len && !is_regular(t[g]) && h > g) q = h;
    }
    if (q > i && q < len && t[q] == 'R' && (q + 1 == len || !is_alnum(t[q + 1]))) return q + 1;
    return -1;
}

// A body is left open when the input lost the text after it (a cut file, an
// object that lost its "endobj"); copied as it stands, its open string or
// array would swallow the "endobj" written after it and the objects that
// follow.
std::string closers(const unsigned char *t, int32_t len) {
    std::string open;  // '[' or '<' for each array or dictionary
    auto then_close = [&open](std::string tail) {
        for (size_t k = open.size(); k-- > 0;) tail += open[k] == '[' ? "]" : ">>";
        return tail;
    };
    int32_t i = 0;
    while (i < len) {
        unsigned char c = t[i];
        if (c == '(') {
            open_string rest;
            i = skip_string(t, i, len, &rest);
            if (rest.depth > 0) {
                // An escape cut in half would turn the first ")" into text.
                std::string tail = rest.half_escape ? "\\" : "";
                tail.append(static_cast<size_t>(rest.depth), ')');
                return then_close(tail);
            }
        } else if (c == '<' && i + 1 < len && t[i + 1] == '<') {
            open += '<';
            i += 2;
        } else if (c == '<') {
            int32_t j = skip_hex(t, i, len);
            if (t[j - 1] != '>') return then_close(">");  // never closed
            i = j;
        } else if (c == '[') {
            open += '[';
            ++i;
        } else if (c == ']' || c == '>') {
            if (!open.empty()) open.pop_back();
            i += (c == '>' && i + 1 < len && t[i + 1] == '>') ? 2 : 1;
        } else if (c == '%') {
            while (i < len && t[i] != '\r' && t[i] != '\n') ++i;
            // The closers must not become part of the comment.
            if (i >= len && !open.empty()) return then_close("\n");
        } else {
            ++i;
        }
    }
    return then_close("");
}

int32_t value_end(const unsigned char *t, int32_t len, int32_t p) {
    if (p >= len) return len;
    unsigned char c = t[p];
    if (c == '[' || (c == '<' && p + 1 < len && t[p + 1] == '<')) {
        int32_t depth = 0;
        int32_t i = p;
        while (i < len) {
            c = t[i];
            if (c == '(') {
                i = skip_string(t, i, len);
            } else if (c == '<' && i + 1 < len && t[i + 1] == '<') {
                ++depth;
                i += 2;
            } else if (c == '<') {
                i = skip_hex(t, i, len);
            } else if (c == '[') {
                ++depth;
                ++i;
            } else if (c == ']' || (c == '>' && i + 1 < len && t[i + 1] == '>')) {
                i += c == ']' ? 1 : 2;
                if (--depth <= 0) return i;
            } else {
                ++i;
            }
        }
        return len;
    }
    if (c == '(') return skip_string(t, p, len);
    if (c == '<') return skip_hex(t, p, len);
    int32_t i = c == '/' ? p + 1 : p;
    bool digits = true;
    for (; i < len && is_regular(t[i]); ++i)
        if (!is_digit(t[i])) digits = false;
    if (c != '/' && digits && i > p) {
        int32_t end = ref_tail(t, i, len);
        if (end > 0) return end;
    }
    return i;
}

}  // namespace sheetlay::nup
