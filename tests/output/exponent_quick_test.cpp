// The exponent form's quick path (a scaled product instead of the library's
// conversion) against printf, where its reasoning is thinnest: values just
// either side of a rounding tie, of a decade's end and of a power of ten,
// and a large set of values like those of ephemerides and RINEX files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "output/exponent.h"

namespace {

// The values next to v, a few units in the last place either way.
void AddNeighbours(std::vector<double> *values, double v) {
    double below = v, above = v;
    values->push_back(v);
    for (int i = 0; i < 3; ++i) {
        below = std::nextafter(below, -INFINITY);
        above = std::nextafter(above, INFINITY);
        values->push_back(below);
        values->push_back(above);
    }
}

} // namespace

TEST(FormatExponentQuick, SameTextAsPrintfAtTiesDecadeEndsAndOverTheEphemerisRange) {
    char probe[32];
    std::snprintf(probe, sizeof probe, "%e", 1.0);
    if (std::string(probe) != "1.000000e+00") GTEST_SKIP() << "this runtime prints " << probe;

    std::mt19937_64 random(4242);
    std::vector<double> values;
    for (int e = -30; e <= 30; ++e) {
        AddNeighbours(&values, std::pow(10.0, e));
        // The largest 9- and 15-digit mantissas: round up into the next decade.
        AddNeighbours(&values, 9.999999995 * std::pow(10.0, e));
        AddNeighbours(&values, 9.9999999999999995 * std::pow(10.0, e));
    }
    for (int i = 0; i < 20000; ++i) {
        // Halfway between two 9-digit mantissas, as close as a double gets,
        // and exact binary ties (a short mantissa times a power of two).
        const double digits = static_cast<double>(100000000 + random() % 900000000) + 0.5;
        AddNeighbours(&values, digits * std::pow(10.0, static_cast<int>(random() % 30) - 20));
        values.push_back(std::ldexp(static_cast<double>(random() % 4096) + 0.5, static_cast<int>(random() % 40) - 20));
    }
    for (int i = 0; i < 300000; ++i) {
        // Broadcast values: a scaled integer of up to 32 bits.
        const double whole = static_cast<double>(static_cast<int64_t>(random() >> 32) - (int64_t{1} << 31));
        values.push_back(std::ldexp(whole, -static_cast<int>(random() % 70)));
        // Any double of magnitude 1e-25 to 1e25.
        values.push_back(
            std::ldexp(static_cast<double>(random() >> 11) * 0x1p-53, static_cast<int>(random() % 166) - 83));
    }

    char ours[kNumberTextSize], theirs[kNumberTextSize];
    int mismatches = 0;
    for (const double v : values) {
        for (const int p : {8, 12, 14, 0, 5}) {
            FormatExponentDigits(ours, sizeof ours, v, p, 2, 'e');
            std::snprintf(theirs, sizeof theirs, "%.*e", p, v);
            if (std::strcmp(ours, theirs) != 0 && ++mismatches < 10) ADD_FAILURE() << ours << " != " << theirs;
        }
    }
    EXPECT_EQ(mismatches, 0) << "of " << values.size() * 5;
}
