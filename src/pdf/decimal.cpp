// Exact decimal conversions for fixed-notation reals (see decimal.h).
//
// Both directions work on the exact value: a double is m * 2^e with an
// integer m, a decimal text is an integer times a power of ten. Where a
// plain floating-point operation is exact (a short decimal and a small
// power of ten) reading takes it; otherwise big integers of fixed capacity
// decide the rounding. Inputs are bounded before any big integer grows: a
// text with more than kMaxDigits significant digits keeps the first ones
// and one sticky digit for the rest (a double's halfway points have fewer
// significant digits than that, so the rounding is the same), and a text
// whose magnitude lies outside the double range gives 0 or infinity
// without arithmetic.
#include "pdf/decimal.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace sheetlay::pdf {
namespace {

constexpr int kMaxDigits = 800;

// An unsigned integer of up to kLimbs * 32 bits, least significant limb
// first. The callers' bounds keep every value below 4,000 bits.
struct big {
    static constexpr int kLimbs = 160;
    uint32_t w[kLimbs];
    int n = 0;  // limbs in use; w[n-1] != 0 unless n == 0

    void set(uint64_t v) {
        n = 0;
        while (v) {
            w[n++] = static_cast<uint32_t>(v);
            v >>= 32;
        }
    }
    bool zero() const { return n == 0; }
    void trim() {
        while (n && w[n - 1] == 0) --n;
    }
    void mul_add(uint32_t m, uint32_t a) {
        uint64_t carry = a;
        for (int i = 0; i < n; ++i) {
            uint64_t t = static_cast<uint64_t>(w[i]) * m + carry;
            w[i] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        if (carry && n < kLimbs) w[n++] = static_cast<uint32_t>(carry);
    }
    void mul_pow10(int64_t k) {
        for (; k >= 9; k -= 9) mul_add(1000000000u, 0);
        static const uint32_t p[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
        if (k > 0) mul_add(p[k], 0);
    }
    int bits() const {
        if (!n) return 0;
        int b = 32 * (n - 1);
        for (uint32_t t = w[n - 1]; t; t >>= 1) ++b;
        return b;
    }
    bool bit(int i) const {
        int l = i / 32;
        return l < n && ((w[l] >> (i % 32)) & 1u);
    }
    // Any bit below position i set.
    bool any_below(int i) const {
        int l = i / 32;
        for (int k = 0; k < l && k < n; ++k)
            if (w[k]) return true;
        return l < n && i % 32 && (w[l] & ((1u << (i % 32)) - 1));
    }
    void shl(int s) {
        if (!n || s <= 0) return;
        int limbs = s / 32, b = s % 32;
        int m = n + limbs + 1;
        if (m > kLimbs) m = kLimbs;  // unreachable within the callers' bounds
        for (int i = m - 1; i >= 0; --i) {
            int src = i - limbs;
            uint64_t hi = src >= 0 && src < n ? w[src] : 0;
            uint64_t lo = src - 1 >= 0 && src - 1 < n ? w[src - 1] : 0;
            w[i] = b ? static_cast<uint32_t>((hi << b) | (lo >> (32 - b))) : static_cast<uint32_t>(hi);
        }
        n = m;
        trim();
    }
    void shr(int s) {
        if (s <= 0) return;
        int limbs = s / 32, b = s % 32;
        if (limbs >= n) {
            n = 0;
            return;
        }
        for (int i = 0; i < n - limbs; ++i) {
            uint64_t lo = w[i + limbs];
            uint64_t hi = i + limbs + 1 < n ? w[i + limbs + 1] : 0;
            w[i] = b ? static_cast<uint32_t>((lo >> b) | (hi << (32 - b))) : static_cast<uint32_t>(lo);
        }
        n -= limbs;
        trim();
    }
    // Divides by d, returns the remainder.
    uint32_t divmod(uint32_t d) {
        uint64_t r = 0;
        for (int i = n - 1; i >= 0; --i) {
            uint64_t t = (r << 32) | w[i];
            w[i] = static_cast<uint32_t>(t / d);
            r = t % d;
        }
        trim();
        return static_cast<uint32_t>(r);
    }
    void add1() {
        for (int i = 0; i < n; ++i)
            if (++w[i] != 0) return;
        if (n < kLimbs) w[n++] = 1;
    }
    uint64_t low64() const {
        uint64_t v = n > 0 ? w[0] : 0;
        if (n > 1) v |= static_cast<uint64_t>(w[1]) << 32;
        return v;
    }
};

int compare(const big &a, const big &b) {
    if (a.n != b.n) return a.n < b.n ? -1 : 1;
    for (int i = a.n - 1; i >= 0; --i)
        if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
    return 0;
}

// a -= b, with a >= b.
void subtract(big &a, const big &b) {
    int64_t borrow = 0;
    for (int i = 0; i < a.n; ++i) {
        int64_t t = static_cast<int64_t>(a.w[i]) - (i < b.n ? b.w[i] : 0) - borrow;
        borrow = t < 0;
        a.w[i] = static_cast<uint32_t>(t + (borrow << 32));
    }
    a.trim();
}

// floor(a / b) for a quotient below 2^56; a keeps the remainder.
uint64_t divide(big &a, big b) {
    b.shl(56);
    uint64_t q = 0;
    for (int i = 56; i >= 0; --i) {
        if (compare(a, b) >= 0) {
            subtract(a, b);
            q |= uint64_t{1} << i;
        }
        b.shr(1);
    }
    return q;
}

// The nearest double to num / den (both nonzero), ties to even.
double quotient(const big &num, const big &den) {
    // Scale by 2^s so that the quotient has 54 bits: 53 for the mantissa and
    // one to round with; the remainder tells whether anything lies below.
    int s = 54 - (num.bits() - den.bits());
    uint64_t q;
    big a, b;
    for (;;) {
        a = num;
        b = den;
        if (s > 0) a.shl(s);
        if (s < 0) b.shl(-s);
        q = divide(a, b);
        if (q >= (uint64_t{1} << 54)) {
            --s;
            continue;
        }
        if (q < (uint64_t{1} << 53)) {
            ++s;
            continue;
        }
        break;
    }
    bool sticky = !a.zero();
    int shift = 1;
    int exp2 = 1 - s;  // value = (q >> shift) * 2^exp2 before rounding
    if (exp2 < -1074) {
        // Below the normal range: fewer mantissa bits, exponent fixed.
        shift += -1074 - exp2;
        exp2 = -1074;
        if (shift > 55) return 0.0;
    }
    uint64_t mant = q >> shift;
    bool half = (q >> (shift - 1)) & 1u;
    sticky = sticky || (q & ((uint64_t{1} << (shift - 1)) - 1));
    if (half && (sticky || (mant & 1u))) ++mant;
    return std::ldexp(static_cast<double>(mant), exp2);
}

const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

char *format_fixed4_exact(char *out, char *end, double v) {
    if (!std::isfinite(v)) return nullptr;
    const bool neg = std::signbit(v);
    const double a = std::fabs(v);
    // r = |v| * 10^4 rounded half to even to an integer.
    big r;
    r.set(0);
    if (a != 0) {
        int ex = 0;
        const double f = std::frexp(a, &ex);
        const uint64_t m = static_cast<uint64_t>(std::ldexp(f, 53));
        const int e = ex - 53;
        r.set(m);
        r.mul_add(10000, 0);
        if (e >= 0) {
            r.shl(e);
        } else {
            const int k = -e;
            const bool half = r.bit(k - 1);
            const bool below = r.any_below(k - 1);
            r.shr(k);
            if (half && (below || (r.low64() & 1u))) r.add1();
        }
    }
    // Decimal digits of r, least significant first.
    char rev[400];
    int nd = 0;
    while (!r.zero()) {
        uint32_t chunk = r.divmod(1000000000u);
        for (int i = 0; i < 9; ++i) {
            rev[nd++] = static_cast<char>('0' + chunk % 10);
            chunk /= 10;
        }
    }
    while (nd > 1 && rev[nd - 1] == '0') --nd;
    while (nd < 5) rev[nd++] = '0';
    const size_t need = static_cast<size_t>(nd) + 1 + (neg ? 1 : 0);
    if (static_cast<size_t>(end - out) < need) return nullptr;
    if (neg) *out++ = '-';
    for (int i = nd - 1; i >= 0; --i) {
        *out++ = rev[i];
        if (i == 4) *out++ = '.';
    }
    return out;
}

double read_fixed_exact(const char *first, const char *last) {
    // The digits as one integer T (leading zeros dropped) and the count of
    // digits after the point: value = T / 10^frac.
    char keep[kMaxDigits + 1];
    int nk = 0;
    int64_t dropped = 0, frac = 0;
    bool dropped_nonzero = false, point = false;
    for (const char *p = first; p < last; ++p) {
        if (*p == '.') {
            point = true;
            continue;
        }
        if (point) ++frac;
        const char d = *p;
        if (nk == 0 && d == '0') continue;
        if (nk < kMaxDigits) {
            keep[nk++] = d;
        } else {
            ++dropped;
            dropped_nonzero = dropped_nonzero || d != '0';
        }
    }
    int64_t e10 = dropped - frac;
    if (dropped_nonzero) {
        keep[nk++] = '1';  // something between the kept digits and the next value
        --e10;
    }
    while (nk > 0 && keep[nk - 1] == '0') {
        --nk;
        ++e10;
    }
    if (nk == 0) return 0.0;
    // value lies in [10^(nk-1+e10), 10^(nk+e10)).
    if (nk + e10 > 310) return HUGE_VAL;
    if (nk + e10 < -324) return 0.0;  // below half the smallest subnormal
    if (nk <= 15 && e10 >= -22 && e10 <= 22) {
        // Both operands are exact, so the one rounding is the right one.
        uint64_t t = 0;
        for (int i = 0; i < nk; ++i) t = t * 10 + static_cast<uint64_t>(keep[i] - '0');
        const double d = static_cast<double>(t);
        return e10 >= 0 ? d * kPow10[e10] : d / kPow10[-e10];
    }
    big num, den;
    num.set(0);
    for (int i = 0; i < nk; ++i) num.mul_add(10, static_cast<uint32_t>(keep[i] - '0'));
    den.set(1);
    if (e10 > 0) num.mul_pow10(e10);
    if (e10 < 0) den.mul_pow10(-e10);
    return quotient(num, den);
}

#if defined(__cpp_lib_to_chars)

char *format_fixed4(char *out, char *end, double v) {
    auto r = std::to_chars(out, end, v, std::chars_format::fixed, 4);
    return r.ec == std::errc() ? r.ptr : nullptr;
}

double read_fixed(const char *first, const char *last) {
    double d = 0;
    auto r = std::from_chars(first, last, d, std::chars_format::fixed);
    // Out of range (too large, or too small to be anything but 0) and
    // forms the standard function stops early in: the exact reader decides.
    if (r.ec != std::errc() || r.ptr != last) return read_fixed_exact(first, last);
    return d;
}

#else

char *format_fixed4(char *out, char *end, double v) { return format_fixed4_exact(out, end, v); }
double read_fixed(const char *first, const char *last) { return read_fixed_exact(first, last); }

#endif

}  // namespace sheetlay::pdf
