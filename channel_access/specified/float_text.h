// A float as C's printf("%f") writes it, widened to double: six digits after
// the point, the exact binary value rounded half to even, "inf" and "nan"
// with their sign.  The same text, without printf's general machinery, which
// costs twenty times more and dominates a batch of gets.
#pragma once

#include <cstddef>

// Longest text: "-340282346638528859811704183484516925440.000000" and its NUL.
constexpr std::size_t kFloatTextSize = 48;

// Writes the text and its NUL into `out` (kFloatTextSize bytes at least);
// returns its length.
std::size_t FormatFloatFixed(float value, char* out);
