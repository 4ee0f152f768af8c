// The exact decimal conversions against the C++ library's on arbitrary
// bytes: the bytes kept as digits and full stops are read by both readers,
// which must give the same double (bit for bit; the library's own reader
// gives 0 and infinity where the standard one reports a value out of
// range); the first eight bytes as a double are formatted by both, which
// must give the same text. A difference is what the WebAssembly build, which
// has only the exact conversions, would write differently.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "pdf/decimal.h"

namespace {

[[noreturn]] void fault(const char *what, const std::string &detail) {
    std::fprintf(stderr, "fuzz_decimal: %s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size >= 8) {
        double v;
        std::memcpy(&v, data, sizeof v);
        if (std::isfinite(v)) {
            char a[400], b[400];
            char *ea = sheetlay::pdf::format_fixed4_exact(a, a + sizeof a, v);
            auto rb = std::to_chars(b, b + sizeof b, v, std::chars_format::fixed, 4);
            if (!ea || rb.ec != std::errc() || std::string(a, ea) != std::string(b, rb.ptr))
                fault("formatting differs", std::string(b, rb.ptr));
        }
    }
    // Digits and at most one full stop, with at least one digit.
    std::string text;
    bool point = false, digit = false;
    for (size_t i = 0; i < size && text.size() < 4000; ++i) {
        char c = static_cast<char>(data[i]);
        if (c >= '0' && c <= '9') {
            text += c;
            digit = true;
        } else if (c == '.' && !point) {
            text += c;
            point = true;
        }
    }
    if (!digit) return 0;
    const double mine = sheetlay::pdf::read_fixed_exact(text.data(), text.data() + text.size());
    double theirs = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), theirs, std::chars_format::fixed);
    if (r.ec == std::errc::result_out_of_range) {
        if (mine != 0 && !std::isinf(mine)) fault("out of range read as a finite nonzero", text);
        return 0;
    }
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return 0;
    if (std::memcmp(&mine, &theirs, sizeof mine) != 0) fault("reading differs", text);
    return 0;
}
