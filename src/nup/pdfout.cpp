// The number rule, the output image and the stop of composition (see
// pdfout.h). Integers are formatted by hand: the standard library's integer
// formatting is template code, and its instances would join the shared
// library's exported symbols.
#include "nup/pdfout.h"

#include "pdf/decimal.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace sheetlay {

namespace nup {

char *put_decimal(char *out, int64_t v) {
    char rev[20];
    int n = 0;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
        rev[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *out++ = '-';
    while (n) *out++ = rev[--n];
    return out;
}

}  // namespace nup

int fmt_num(char *out, size_t size, double v) {
    if (!out || size == 0) return 0;
    // Room for any finite double in fixed notation with four decimals.
    char tmp[400];
    char *end = nullptr;
    // Whole numbers within the 32-bit range print as integers. The range
    // test comes first: converting an out-of-range value is undefined.
    if (v >= -2147483648.0 && v <= 2147483647.0) {
        int32_t t = static_cast<int32_t>(v);
        if (static_cast<double>(t) == v) end = nup::put_decimal(tmp, t);
    }
    if (!end) {
        // Never the locale's separator, and the exact binary value rounded
        // as "%.4f" rounds it.
        end = pdf::format_fixed4(tmp, tmp + sizeof tmp, v);
        if (!end) {
            out[0] = '\0';
            return 0;
        }
    }
    size_t n = static_cast<size_t>(end - tmp);
    if (n >= size) {
        out[0] = '\0';
        return 0;
    }
    std::memcpy(out, tmp, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

namespace nup {

void fail(const char *msg) {
    set_error("%s", msg);
    throw compose_error{};
}

void put_num(std::string &s, double v) {
    if (!std::isfinite(v)) fail(kGenericFailure);
    char t[400];
    int n = fmt_num(t, sizeof t, v);
    if (n <= 0) fail(kGenericFailure);
    s.append(t, static_cast<size_t>(n));
}

void put_nums(std::string &s, std::initializer_list<double> vs) {
    bool first = true;
    for (double v : vs) {
        if (!first) s += ' ';
        put_num(s, v);
        first = false;
    }
}

void put_num_short(std::string &s, double v) {
    size_t at = s.size();
    put_num(s, v);
    if (s.find('.', at) == std::string::npos) return;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    if (s.compare(at, std::string::npos, "-0") == 0) s.erase(at, 1);
}

void put_nums_short(std::string &s, std::initializer_list<double> vs) {
    bool first = true;
    for (double v : vs) {
        if (!first) s += ' ';
        put_num_short(s, v);
        first = false;
    }
}

void put_int(std::string &s, int64_t v) {
    char t[24];
    s.append(t, static_cast<size_t>(put_decimal(t, v) - t));
}

// ---------------------------------------------------------------------------
// The output image

image::image() {
    buf_reserve(&b_, 0);  // first block: 1 MiB
    check();
}

void image::append(const void *p, uint64_t n) {
    buf_append(&b_, p, n);
    check();
}

void image::append(const char *s) { append(s, std::strlen(s)); }

void image::append_own(uint64_t at, uint64_t n) {
    buf_reserve(&b_, n);
    check();
    std::memcpy(b_.data + b_.len, b_.data + at, static_cast<size_t>(n));
    b_.len += n;
    b_.data[b_.len] = 0;
}

void image::insert(uint64_t at, const std::string &s) {
    uint64_t tail = b_.len - at;
    buf_reserve(&b_, s.size());
    check();
    std::memmove(b_.data + at + s.size(), b_.data + at, static_cast<size_t>(tail));
    std::memcpy(b_.data + at, s.data(), s.size());
    b_.len += s.size();
    b_.data[b_.len] = 0;
}

void image::cut(uint64_t at) {
    b_.len = at;
    b_.data[at] = 0;
}

void offsets::record(int64_t num, const image &img) {
    // Offsets and the table itself are 32-bit quantities.
    if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    at[static_cast<size_t>(num)] = static_cast<int64_t>(img.len());
}

}  // namespace nup
}  // namespace sheetlay
