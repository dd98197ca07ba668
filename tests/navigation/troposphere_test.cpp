#include "navigation/troposphere.h"

#include <cmath>

#include <gtest/gtest.h>

#include "navigation/coordinates.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

// A satellite 20000 km from the station at the given elevation, due north.
SatState SatelliteAt(double lat, double lon, double height, double elevation) {
    double s[3];
    GeodeticToEcef(lat, lon, height, &s[0], &s[1], &s[2]);
    const double up[3] = {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon),
                          std::sin(lat)};
    const double north[3] = {-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon),
                             std::cos(lat)};
    SatState sat = {};
    double *xyz[3] = {&sat.x, &sat.y, &sat.z};
    for (int i = 0; i < 3; ++i)
        *xyz[i] = s[i] + 2e7 * (std::sin(elevation) * up[i] + std::cos(elevation) * north[i]);
    return sat;
}

double Delay(double lat, double lon, double height, double elevation) {
    SatState sat = SatelliteAt(lat, lon, height, elevation);
    double station[3];
    GeodeticToEcef(lat, lon, height, &station[0], &station[1], &station[2]);
    double delay = -1.0;
    EXPECT_EQ(TroposphericDelay(&sat, station, lat, lon, height, &delay), 0);
    EXPECT_NEAR(sat.elevation, elevation, 1e-9);
    return delay;
}

TEST(Troposphere, StandardAtmosphereAtSeaLevelAndOneKilometre) {
    double p, t;
    StandardAtmosphere(0.0, &p, &t);
    EXPECT_EQ(p, 1013.25);
    EXPECT_EQ(t, 293.0);
    StandardAtmosphere(1000.0, &p, &t);
    EXPECT_DOUBLE_EQ(t, 286.5);
    EXPECT_NEAR(p, 900.55, 0.005);
}

TEST(Troposphere, ZenithDelayAt45DegreesIsTheSumOfTheZenithDelays) {
    // ZHD 2.3069676 m + ZWD 0.1375006 m; every mapping function is 1 at the
    // zenith and the height term vanishes at 0 m.
    EXPECT_NEAR(Delay(45.0 * kDeg, 10.0 * kDeg, 0.0, kPi / 2), 2.4444682, 5e-8);
    for (int table : {MAPPING_HYDROSTATIC_AVERAGE, MAPPING_WET}) {
        double c[3];
        LookupMappingCoefficients(table, 45.0 * kDeg, c);
        EXPECT_NEAR(MappingFunction(kPi / 2, c[0], c[1], c[2]), 1.0, 1e-15);
    }
}

TEST(Troposphere, SlantDelayGrowsTowardTheHorizonAndShrinksWithHeight) {
    const double lat = 52.0 * kDeg, lon = 13.0 * kDeg;
    const double zenith = Delay(lat, lon, 0.0, kPi / 2);
    // About 5.6 times the zenith delay at 10 degrees, 1/sin(30) at 30.
    EXPECT_NEAR(Delay(lat, lon, 0.0, 30.0 * kDeg) / zenith, 2.0, 0.01);
    EXPECT_NEAR(Delay(lat, lon, 0.0, 10.0 * kDeg) / zenith, 5.6, 0.1);
    EXPECT_LT(Delay(lat, lon, 0.0, 10.0 * kDeg), Delay(lat, lon, 0.0, 9.0 * kDeg));
    // About 12 percent less at 1000 m.
    EXPECT_NEAR(Delay(lat, lon, 1000.0, kPi / 2) / zenith, 0.88, 0.01);
}

TEST(Troposphere, LatitudeRowLookup) {
    const double row15[3] = {0.00058021897, 0.0014275268, 0.043472961};
    const double row45[3] = {0.00058118019, 0.0014572752, 0.043908931};
    const double row60[3] = {0.00059727542, 0.0015007428, 0.044626982};
    const double row75[3] = {0.00061641693, 0.0017599082, 0.054736038};
    double c[3];
    // Between table rows the whole degree decides; 45.5 is taken as 45.
    LookupMappingCoefficients(MAPPING_WET, 45.5 * kDeg, c);
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(c[i], row45[i]);

    // Whole degrees, signed: southern latitudes use the 15 degree row.
    for (double latDeg : {10.0, -40.0, 15.9, -75.0}) {
        LookupMappingCoefficients(MAPPING_WET, latDeg * kDeg, c);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(c[i], row15[i]) << latDeg;
    }
    LookupMappingCoefficients(MAPPING_WET, 75.2 * kDeg, c);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(c[i], row75[i]);
    LookupMappingCoefficients(MAPPING_WET, NAN, c);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(c[i], row15[i]);

    // 52.7 degrees is taken as 52: 7/15 of the way from the 45 to the 60 row.
    LookupMappingCoefficients(MAPPING_WET, 52.7 * kDeg, c);
    for (int i = 0; i < 3; ++i)
        EXPECT_DOUBLE_EQ(c[i], row45[i] + 7.0 / 15.0 * (row60[i] - row45[i]));

    LookupMappingCoefficients(MAPPING_HYDROSTATIC_AMPLITUDE, 10.0 * kDeg, c);
    EXPECT_EQ(c[0], 0.0);
    LookupMappingCoefficients(MAPPING_HYDROSTATIC_AMPLITUDE, 30.5 * kDeg, c);
    EXPECT_DOUBLE_EQ(c[2], 9.01284e-05);
    LookupMappingCoefficients(MAPPING_HYDROSTATIC_AVERAGE, 60.5 * kDeg, c);
    EXPECT_DOUBLE_EQ(c[1], 0.0029022565);
}

TEST(Troposphere, CorrectionOnlyForAKnownStationWithinTheHeightRange) {
    const double lat = 45.0 * kDeg, lon = 10.0 * kDeg;
    auto corrected = [&](double la, double lo, double h, double elevation) {
        SatState sat = SatelliteAt(la == 0.0 ? lat : la, lo == 0.0 ? lon : lo, h, elevation);
        double range = 2.2e7;
        CorrectTroposphere(&sat, &range, la, lo, h);
        return 2.2e7 - range;
    };
    EXPECT_NEAR(corrected(lat, lon, 0.0, kPi / 2), 2.4444682, 5e-8);
    EXPECT_GT(corrected(lat, lon, -1000.0, kPi / 2), 2.4444682);
    EXPECT_GT(corrected(lat, lon, 30000.0, kPi / 2), 0.0);
    EXPECT_EQ(corrected(lat, lon, 30000.5, kPi / 2), 0.0);
    EXPECT_EQ(corrected(lat, lon, -1000.5, kPi / 2), 0.0);
    EXPECT_EQ(corrected(0.0, lon, 0.0, kPi / 2), 0.0);
    EXPECT_EQ(corrected(lat, 0.0, 0.0, kPi / 2), 0.0);
    EXPECT_EQ(corrected(lat, lon, NAN, kPi / 2), 0.0);
    // Below the horizon the mapping functions have no meaning (and 1/sin e
    // blows up at it); a satellite whose position is not finite has no
    // elevation at all. Neither may turn the pseudorange into garbage.
    EXPECT_EQ(corrected(lat, lon, 100.0, -5.0 * kDeg), 0.0);
    SatState lost = {};
    lost.x = NAN;
    double range = 2.2e7;
    CorrectTroposphere(&lost, &range, lat, lon, 100.0);
    EXPECT_EQ(range, 2.2e7);
}

} // namespace
