// The float formatter against the C library's printf("%f") on millions of
// values: every exponent, the halfway cases that round to even, subnormals,
// signs, infinities and NaNs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "float_text.h"

namespace {

float FromBits(uint32_t bits) {
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// Counts the values (by bit pattern) whose text differs from printf's; the
// first few are reported.
int Mismatches(uint32_t bits) {
    char expected[kFloatTextSize + 16];
    char actual[kFloatTextSize];
    float value = FromBits(bits);
    snprintf(expected, sizeof expected, "%f", static_cast<double>(value));
    std::size_t length = FormatFloatFixed(value, actual);
    if (strcmp(expected, actual) == 0 && length == strlen(expected)) return 0;
    static int reported = 0;
    if (reported++ < 10)
        ADD_FAILURE() << "bits 0x" << std::hex << bits << ": printf " << expected << ", ours " << actual;
    return 1;
}

TEST(FloatText, MatchesPrintfAcrossEveryExponent) {
    int bad = 0;
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4093) bad += Mismatches(static_cast<uint32_t>(bits));
    EXPECT_EQ(bad, 0);
}

TEST(FloatText, MatchesPrintfDenselyWhereValuesLive) {
    // Every 61st float from 2^-21 (below half a millionth) to 2^25, both signs.
    int bad = 0;
    for (uint32_t bits = 0x35000000u; bits < 0x4C000000u; bits += 61) {
        bad += Mismatches(bits);
        bad += Mismatches(bits | 0x80000000u);
    }
    EXPECT_EQ(bad, 0);
}

TEST(FloatText, HalfwayCasesRoundToEven) {
    // value * 10^6 ends in exactly .5 when value = odd * 2^(k-7) / 2^k: each
    // such k, many odd multipliers.
    int bad = 0;
    for (int k = 7; k <= 30; ++k) {
        for (uint32_t odd = 1; odd < (1u << 20); odd += 2 * 97) {
            float value = std::ldexp(static_cast<float>(odd) * std::ldexp(1.0f, k - 7), -k);
            uint32_t bits;
            memcpy(&bits, &value, sizeof bits);
            bad += Mismatches(bits);
            bad += Mismatches(bits | 0x80000000u);
        }
    }
    EXPECT_EQ(bad, 0);
}

TEST(FloatText, EdgeValues) {
    const float values[] = {0.0f, -0.0f, 2.5f, 0.0078125f, 0.0000005f, -0.0000004f, 1e-45f,
                            std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                            16777216.0f, 4294967296.0f, 1.8446744e19f, 123456792.0f};
    int bad = 0;
    for (float value : values) {
        uint32_t bits;
        memcpy(&bits, &value, sizeof bits);
        bad += Mismatches(bits);
    }
    EXPECT_EQ(bad, 0);
    char text[kFloatTextSize];
    FormatFloatFixed(2.5f, text);
    EXPECT_STREQ(text, "2.500000");
    FormatFloatFixed(-0.0000004f, text);
    EXPECT_STREQ(text, "-0.000000");
}

}  // namespace
