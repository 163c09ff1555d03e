// Locale-independent number reading for the configuration readers. The host
// process may run under any locale; these always use "." as the decimal
// separator and the C locale's white space.
#pragma once

#include <cstdint>

namespace tarn_cfg {

// White space as the C locale's isspace() defines it.
inline bool isSpaceC(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool isDigitC(char c) {
    return c >= '0' && c <= '9';
}

// Reads like atoi() with a 32-bit long: leading white space, optional sign,
// decimal digits; out-of-range values saturate to INT32_MAX / INT32_MIN; no
// digits gives 0.
int32_t atoiC(const char *s);

// Reads one number like a scanf "%lf" conversion: skips leading white space,
// then takes the longest input item that is, or begins, a floating-point
// number (decimal, hexadecimal, infinity or NaN). Returns the position after
// the item and stores the value in *out, or returns nullptr (and leaves *out
// alone) when there is no item or the item is not a complete number ("1e",
// "0x", "-", "infin").
const char *scanDouble(const char *s, double *out);

}  // namespace tarn_cfg
