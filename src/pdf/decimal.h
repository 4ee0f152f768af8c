// Decimal numbers as PDF writes them: fixed notation, a full stop, no
// exponent. The output rule prints reals with four decimals and the object
// parser reads reals in the same form; both must give the same bytes and the
// same values on every standard library, so that a build for a platform
// whose C++ library lacks floating-point std::to_chars/std::from_chars (the
// WebAssembly one) writes exactly the files the native build writes.
//
// With the standard functions present these forward to them; otherwise
// they use the exact conversions below, which the tests compare against the
// standard functions wherever both exist.
#ifndef SHEETLAY_PDF_DECIMAL_H
#define SHEETLAY_PDF_DECIMAL_H

#include <cstddef>

namespace sheetlay::pdf {

// Writes finite v rounded to four decimals, as "%.4f" prints it in the C
// locale (the exact binary value rounded half to even, a minus sign when v
// is negative even if the digits are all zero). Returns the end of the text,
// or nullptr when it does not fit in [out, end).
char *format_fixed4(char *out, char *end, double v);

// Reads [first, last), which holds decimal digits with at most one full
// stop and at least one digit, as the nearest double (ties to even).
// A value too small for a double reads as 0, one too large as infinity.
double read_fixed(const char *first, const char *last);

// The exact conversions, whatever the standard library has (for the tests).
char *format_fixed4_exact(char *out, char *end, double v);
double read_fixed_exact(const char *first, const char *last);

}  // namespace sheetlay::pdf

#endif
