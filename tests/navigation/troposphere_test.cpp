#include "navigation/troposphere.h"

#include <cmath>

#include <gtest/gtest.h>

#include "navigation/coordinates.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr double kRange = 2.2e7;

// How much CorrectTroposphere takes off a pseudorange to a satellite due
// north of the station at the given elevation; with kept, keeping the
// station's answers there as the clock recomputation does.
double Correction(double lat, double lon, double height, double elevation, KeptStation *kept = nullptr) {
    double s[3];
    GeodeticToEcef(lat == 0.0 ? 1e-3 : lat, lon == 0.0 ? 1e-3 : lon, height, &s[0], &s[1], &s[2]);
    const double sl = std::sin(lat), cl = std::cos(lat), so = std::sin(lon), co = std::cos(lon);
    const double up[3] = {cl * co, cl * so, sl}, north[3] = {-sl * co, -sl * so, cl};
    SatState sat = {};
    double *xyz[3] = {&sat.x, &sat.y, &sat.z};
    for (int i = 0; i < 3; ++i) *xyz[i] = s[i] + 2e7 * (std::sin(elevation) * up[i] + std::cos(elevation) * north[i]);
    double range = kRange;
    if (kept != nullptr) {
        CorrectTroposphere(kept, &sat, &range, lat, lon, height);
    } else {
        CorrectTroposphere(&sat, &range, lat, lon, height);
    }
    return kRange - range;
}

TEST(Troposphere, StandardAtmosphereAndZenithDelay) {
    double p, t;
    StandardAtmosphere(0.0, &p, &t);
    EXPECT_EQ(p, 1013.25);
    EXPECT_EQ(t, 293.0);
    StandardAtmosphere(1000.0, &p, &t);
    EXPECT_DOUBLE_EQ(t, 286.5);
    EXPECT_NEAR(p, 900.55, 0.005);
    // ZHD 2.3069676 m + ZWD 0.1375006 m: every mapping function is 1 at the
    // zenith and the height term vanishes at 0 m.
    EXPECT_NEAR(Correction(45.0 * kDeg, 10.0 * kDeg, 0.0, kPi / 2), 2.4444682, 5e-8);
}

TEST(Troposphere, SlantDelayGrowsTowardTheHorizonAndShrinksWithHeight) {
    const double lat = 52.0 * kDeg, lon = 13.0 * kDeg;
    const double zenith = Correction(lat, lon, 0.0, kPi / 2);
    EXPECT_NEAR(Correction(lat, lon, 0.0, 30.0 * kDeg) / zenith, 2.0, 0.01);
    EXPECT_NEAR(Correction(lat, lon, 0.0, 10.0 * kDeg) / zenith, 5.6, 0.1);
    EXPECT_LT(Correction(lat, lon, 0.0, 10.0 * kDeg), Correction(lat, lon, 0.0, 9.0 * kDeg));
    EXPECT_NEAR(Correction(lat, lon, 1000.0, kPi / 2) / zenith, 0.88, 0.01);
    // Station after station, each delay is its own station's, also where
    // the answers of the station before are kept.
    KeptStation kept{};
    const double polar = Correction(75.0 * kDeg, lon, 0.0, 30.0 * kDeg);
    const double tropical = Correction(15.0 * kDeg, lon, 0.0, 30.0 * kDeg);
    EXPECT_NE(polar, tropical);
    EXPECT_EQ(Correction(75.0 * kDeg, lon, 0.0, 30.0 * kDeg, &kept), polar);
    EXPECT_EQ(Correction(75.0 * kDeg, lon, 0.0, 30.0 * kDeg, &kept), polar);
    EXPECT_EQ(Correction(15.0 * kDeg, lon, 0.0, 30.0 * kDeg, &kept), tropical);
    EXPECT_EQ(Correction(15.0 * kDeg, lon, 5.0, 30.0 * kDeg, &kept), Correction(15.0 * kDeg, lon, 5.0, 30.0 * kDeg));
    EXPECT_EQ(Correction(lat, lon, 0.0, kPi / 2, &kept), zenith);
}

TEST(Troposphere, LatitudeRowLookup) {
    const double row15[3] = {0.00058021897, 0.0014275268, 0.043472961};
    const double row45[3] = {0.00058118019, 0.0014572752, 0.043908931};
    const double row60[3] = {0.00059727542, 0.0015007428, 0.044626982};
    const double row75[3] = {0.00061641693, 0.0017599082, 0.054736038};
    auto expectRow = [](double latDeg, const double *row) {
        double c[3];
        LookupMappingCoefficients(MAPPING_WET, latDeg * kDeg, c);
        for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(c[i], row[i]) << latDeg;
    };
    // Whole degrees, signed: southern latitudes use the 15 degree row.
    for (double latDeg : {10.0, -40.0, 15.9, -75.0, double(NAN)}) expectRow(latDeg, row15);
    expectRow(45.5, row45);
    expectRow(75.2, row75);
    // 52.7 degrees counts as 52: 7/15 of the way from the 45 to the 60 row.
    double between[3];
    for (int i = 0; i < 3; ++i) between[i] = row45[i] + 7.0 / 15.0 * (row60[i] - row45[i]);
    expectRow(52.7, between);

    double c[3];
    LookupMappingCoefficients(MAPPING_HYDROSTATIC_AMPLITUDE, 30.5 * kDeg, c);
    EXPECT_DOUBLE_EQ(c[2], 9.01284e-05);
    LookupMappingCoefficients(MAPPING_HYDROSTATIC_AVERAGE, 60.5 * kDeg, c);
    EXPECT_DOUBLE_EQ(c[1], 0.0029022565);
}

TEST(Troposphere, CorrectionOnlyForAKnownStationWithinTheHeightRange) {
    const double lat = 45.0 * kDeg, lon = 10.0 * kDeg;
    EXPECT_GT(Correction(lat, lon, -1000.0, kPi / 2), 2.4444682);
    EXPECT_GT(Correction(lat, lon, 30000.0, kPi / 2), 0.0);
    EXPECT_EQ(Correction(lat, lon, 30000.5, kPi / 2), 0.0);
    EXPECT_EQ(Correction(lat, lon, -1000.5, kPi / 2), 0.0);
    EXPECT_EQ(Correction(0.0, lon, 0.0, kPi / 2), 0.0);
    EXPECT_EQ(Correction(lat, 0.0, 0.0, kPi / 2), 0.0);
    EXPECT_EQ(Correction(lat, lon, NAN, kPi / 2), 0.0);
    // Below the horizon the mapping functions mean nothing, and a satellite
    // whose position is not finite has no elevation: the range stays as is.
    EXPECT_EQ(Correction(lat, lon, 100.0, -5.0 * kDeg), 0.0);
    SatState lost = {};
    lost.x = NAN;
    double range = kRange;
    CorrectTroposphere(&lost, &range, lat, lon, 100.0);
    EXPECT_EQ(range, kRange);
}

} // namespace
