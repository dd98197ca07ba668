#include <gtest/gtest.h>

#include <limits>
#include <string>

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
