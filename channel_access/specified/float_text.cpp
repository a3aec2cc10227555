#include "float_text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t kMillion = 1000000;

// Writes the decimal digits of `value` (at least one) at `out`; returns the count.
template <typename Unsigned>
std::size_t writeDigits(Unsigned value, char* out) {
    char reversed[40];
    std::size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + static_cast<unsigned>(value % 10));
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    return n;
}

}  // namespace

std::size_t FormatFloatFixed(float value, char* out) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 31) != 0;
    const uint32_t exponent = (bits >> 23) & 0xFFu;
    const uint32_t fraction = bits & 0x7FFFFFu;
    if (exponent == 0xFFu) {
        // Infinities and NaNs: rare, and printf's own spelling.
        int n = snprintf(out, kFloatTextSize, "%f", static_cast<double>(value));
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    // value = mantissa * 2^shift exactly.
    const uint64_t mantissa = exponent == 0 ? fraction : (fraction | 0x800000u);
    const int shift = exponent == 0 ? -149 : static_cast<int>(exponent) - 150;

    std::size_t length = 0;
    if (negative) out[length++] = '-';
    if (shift >= 0) {
        // A whole number, up to 2^128: no digits after the point to round.
        if (shift <= 39)
            length += writeDigits(mantissa << shift, out + length);
        else
            length += writeDigits(static_cast<unsigned __int128>(mantissa) << shift, out + length);
        memcpy(out + length, ".000000", 8);
        return length + 7;
    }

    // millionths = value * 10^6 rounded half to even: mantissa * 10^6 (below
    // 2^44) divided by 2^-shift, the remainder deciding the rounding.
    const uint64_t scaled = mantissa * kMillion;
    const int k = -shift;
    uint64_t millionths = 0;
    if (k < 64) {
        millionths = scaled >> k;
        const uint64_t remainder = scaled - (millionths << k);
        const uint64_t half = uint64_t{1} << (k - 1);
        if (remainder > half || (remainder == half && (millionths & 1) != 0)) ++millionths;
    }  // else: below 2^-20, far under half a millionth

    length += writeDigits(millionths / kMillion, out + length);
    out[length++] = '.';
    uint64_t fractionDigits = millionths % kMillion;
    for (int i = 5; i >= 0; --i) {
        out[length + static_cast<std::size_t>(i)] = static_cast<char>('0' + fractionDigits % 10);
        fractionDigits /= 10;
    }
    length += 6;
    out[length] = '\0';
    return length;
}
