#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "output/exponent.h"

namespace {

std::string Exp(double value, int precision) {
    char text[kNumberTextSize];
    int length = FormatExponent(text, sizeof text, value, precision);
    EXPECT_EQ(static_cast<size_t>(length), std::string(text).size());
    return text;
}

} // namespace

TEST(FormatExponent, ExponentHasSignAndThreeDigits) {
    EXPECT_EQ(Exp(0.000025, 8), "2.50000000e-005");
    EXPECT_EQ(Exp(7.5, 14), "7.50000000000000e+000");
    EXPECT_EQ(Exp(-1.23e-100, 2), "-1.23e-100");
    EXPECT_EQ(Exp(-0.0, 8), "-0.00000000e+000");
    EXPECT_EQ(Exp(5e-324, 8), "4.94065646e-324");
    // Rounding into the next decade carries the bumped exponent.
    EXPECT_EQ(Exp(9.9999999999e+99, 8), "1.00000000e+100");
    EXPECT_EQ(Exp(-9.99999999999e-10, 8), "-1.00000000e-009");
}

TEST(FormatExponent, NonFiniteValuesHaveOneSpellingAndTextIsBounded) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(Exp(-nan, 8), "nan");
    EXPECT_EQ(Exp(-inf, 14), "-inf");
    char fixed[kNumberTextSize];
    FormatFixed(fixed, sizeof fixed, inf, 6);
    EXPECT_STREQ(fixed, "inf");

    char small[5];
    EXPECT_EQ(FormatExponent(small, sizeof small, 0.000025, 8), 15);
    EXPECT_STREQ(small, "2.50");
    EXPECT_LT(Exp(-1.2345e-300, 1000).size(), kNumberTextSize);
    EXPECT_LT(FormatFixed(fixed, sizeof fixed, -9.99e29, 1000), static_cast<int>(kNumberTextSize));
}

// The formatting must give exactly what printf gives (the files' bytes
// depend on it), for every value the outputs can meet: random bit patterns
// over the whole range, decimal fractions, and exact ties at the rounding
// digit, which printf rounds to even on the exact binary value.
TEST(FormatExponent, SameDigitsAsPrintfForAnyValueAndPrecision) {
    char probe[32];
    std::snprintf(probe, sizeof probe, "%e", 1.0);
    if (std::string(probe) != "1.000000e+00") GTEST_SKIP() << "this runtime prints " << probe;

    std::vector<double> values = {
        0.0,    -0.0, 5e-324, -2.2250738585072014e-308, 1.7976931348623157e308, 0.5, 1.5, 2.5, -0.125, 0.375, 1.25, 9.5,
        0.0625, 1e22, 1e23,   123456789012345678.0};
    std::mt19937_64 random(25);
    for (int i = 0; i < 5000; ++i) {
        double v = 0.0;
        const uint64_t bits = random();
        std::memcpy(&v, &bits, sizeof v);
        if (std::isfinite(v)) values.push_back(v);
        values.push_back(
            std::ldexp(static_cast<double>(random() % 100000) - 50000.0, static_cast<int>(random() % 40) - 20));
        values.push_back(static_cast<double>(static_cast<int64_t>(random() % 2000000000) - 1000000000) * 1e-9);
    }
    const int precisions[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 20, 30, 40};
    char ours[kNumberTextSize], theirs[kNumberTextSize];
    int mismatches = 0;
    for (const double v : values) {
        for (const int p : precisions) {
            FormatExponentDigits(ours, sizeof ours, v, p, 2, 'e');
            std::snprintf(theirs, sizeof theirs, "%.*e", p, v);
            if (std::strcmp(ours, theirs) != 0 && ++mismatches < 10) ADD_FAILURE() << ours << " != " << theirs;
            if (std::fabs(v) < 1e30) {
                FormatFixed(ours, sizeof ours, v, p);
                std::snprintf(theirs, sizeof theirs, "%.*f", p, v);
                if (std::strcmp(ours, theirs) != 0 && ++mismatches < 10) ADD_FAILURE() << ours << " != " << theirs;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}
