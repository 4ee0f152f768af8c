// The exact decimal conversions that builds without floating-point
// std::to_chars/std::from_chars use (the WebAssembly build): they must give
// the standard functions' text and values bit for bit, or a page written
// there would differ from the native build's.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "pdf/decimal.h"

namespace {

using sheetlay::pdf::format_fixed4_exact;
using sheetlay::pdf::read_fixed;
using sheetlay::pdf::read_fixed_exact;

std::string exact_text(double v) {
    char b[400];
    char *e = format_fixed4_exact(b, b + sizeof b, v);
    return e ? std::string(b, e) : std::string("<none>");
}

uint64_t bits_of(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

double read_exact(const std::string &s) { return read_fixed_exact(s.data(), s.data() + s.size()); }

TEST(Decimal, FormatsKnownValues) {
    struct {
        double v;
        const char *text;
    } cases[] = {
        {0.0, "0.0000"},
        {-0.0, "-0.0000"},
        {0.5, "0.5000"},
        {0.03125, "0.0312"},      // an exact tie rounds to the even digit
        {0.09375, "0.0938"},      // ... up when the even digit is above
        {-0.00001, "-0.0000"},    // the sign stays on a value that rounds to zero
        {0.00005, "0.0001"},      // 0.00005 is stored a little above the tie
        {595.2755905511812, "595.2756"},
        {841.8897637795277, "841.8898"},
        {12345.67895, "12345.6789"},  // stored a little below the tie
        {2147483648.5, "2147483648.5000"},
        {1e20, "100000000000000000000.0000"},
        {4.9406564584124654e-324, "0.0000"},
    };
    for (const auto &c : cases) EXPECT_EQ(exact_text(c.v), c.text) << c.v;
    std::string max = exact_text(1.7976931348623157e308);
    EXPECT_EQ(max.size(), 309u + 5u);
    EXPECT_EQ(max.substr(0, 17), "17976931348623157");
    char small[8];
    EXPECT_EQ(format_fixed4_exact(small, small + sizeof small, 1234.5), nullptr);  // "1234.5000" needs 9
    EXPECT_NE(format_fixed4_exact(small, small + sizeof small, 123.5), nullptr);
    EXPECT_EQ(format_fixed4_exact(small, small + sizeof small, NAN), nullptr);
}

TEST(Decimal, ReadsKnownValues) {
    const std::string tiny = "0." + std::string(400, '0') + "1";
    const std::string least = "0." + std::string(323, '0') + "4940656458412465441765687928682213723651";
    const std::string below_half_least = "0." + std::string(323, '0') + "247";
    const std::string above_half_least = "0." + std::string(323, '0') + "248";
    struct {
        std::string text;
        double v;
    } cases[] = {
        {"0", 0.0},
        {"000.000", 0.0},
        {"5.", 5.0},
        {".5", 0.5},
        {"0.1", 0.1},
        {"00012.3400", 12.34},
        {"595.2756", 595.2756},
        {"1.7976931348623157", 1.7976931348623157},
        {"9007199254740993", 9007199254740992.0},  // a tie between two doubles: the even one
        {"9007199254740995", 9007199254740996.0},
        {"9007199254740993.0000000000000000000000001", 9007199254740994.0},  // just above the tie
        {"123456789012345678901234567890.5", 1.2345678901234568e+29},
        {"2.2250738585072011", 2.2250738585072011},
        {std::string(309, '1'), 1.1111111111111112e+308},
        {std::string(310, '9'), HUGE_VAL},
        {tiny, 0.0},
        {least, 4.9406564584124654e-324},
        {below_half_least, 0.0},
        {above_half_least, 4.9406564584124654e-324},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(bits_of(read_exact(c.text)), bits_of(c.v)) << c.text;
        EXPECT_EQ(bits_of(read_fixed(c.text.data(), c.text.data() + c.text.size())), bits_of(c.v)) << c.text;
    }
    // Far more digits than a double can tell apart: the first ones decide,
    // and a nonzero digit far behind still breaks a tie upwards.
    std::string long_tie = "9007199254740993." + std::string(5000, '0');
    EXPECT_EQ(read_exact(long_tie), 9007199254740992.0);
    std::string long_above = "9007199254740993." + std::string(5000, '0') + "1";
    EXPECT_EQ(read_exact(long_above), 9007199254740994.0);
}

#if defined(__cpp_lib_to_chars)
// The same text and values as the standard library's, over many values of
// every magnitude a PDF can hold and around the rounding points.
TEST(Decimal, MatchesTheStandardLibrary) {
    std::mt19937_64 rng(20261210);
    auto std_text = [](double v) {
        char b[400];
        auto r = std::to_chars(b, b + sizeof b, v, std::chars_format::fixed, 4);
        return std::string(b, r.ptr);
    };
    int formatted = 0, read = 0;
    for (int i = 0; i < 60000; ++i) {
        double v;
        switch (i % 4) {
        case 0: {  // any finite bit pattern
            uint64_t u = rng();
            std::memcpy(&v, &u, sizeof v);
            if (!std::isfinite(v)) continue;
            break;
        }
        case 1:  // page coordinates
            v = std::uniform_real_distribution<double>(-20000, 20000)(rng);
            break;
        case 2:  // near a four-decimal tie
            v = (static_cast<double>(rng() % 100000000) + 0.5) / 10000.0;
            v = std::nextafter(v, (rng() & 1) ? 1e9 : -1e9);
            break;
        default:  // scales and fractions
            v = std::ldexp(static_cast<double>(rng() % 1000000), -static_cast<int>(rng() % 60));
            break;
        }
        std::string t = std_text(v);
        ASSERT_EQ(exact_text(v), t) << v;
        ++formatted;
        // Reading back what was written, and the shortest form of v.
        std::string body = t[0] == '-' ? t.substr(1) : t;
        double a = 0;
        std::from_chars(body.data(), body.data() + body.size(), a, std::chars_format::fixed);
        ASSERT_EQ(bits_of(read_exact(body)), bits_of(a)) << body;
        char s[400];
        auto r = std::to_chars(s, s + sizeof s, std::fabs(v), std::chars_format::fixed);
        std::string shortest(s, r.ptr);
        double b = 0;
        auto rb = std::from_chars(shortest.data(), shortest.data() + shortest.size(), b, std::chars_format::fixed);
        if (rb.ec == std::errc()) {
            ASSERT_EQ(bits_of(read_exact(shortest)), bits_of(b)) << shortest;
            ++read;
        }
    }
    EXPECT_GT(formatted, 50000);
    EXPECT_GT(read, 50000);
}
#endif

}  // namespace
