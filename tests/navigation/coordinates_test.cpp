#include "navigation/coordinates.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

TEST(Coordinates, WorldGeodeticSystemReferencePoints) {
    double x, y, z;
    GeodeticToEcef(0.0, 0.0, 0.0, &x, &y, &z);
    EXPECT_EQ(x, 6378137.0);
    EXPECT_EQ(y, 0.0);
    EXPECT_EQ(z, 0.0);
    GeodeticToEcef(kPi / 2, 0.0, 0.0, &x, &y, &z);
    EXPECT_NEAR(x, 0.0, 1e-6);
    EXPECT_NEAR(z, 6356752.3141, 1e-6);
    GeodeticToEcef(45.0 * kDeg, 0.0, 0.0, &x, &y, &z); // published values
    EXPECT_NEAR(x, 4517590.879, 1e-3);
    EXPECT_NEAR(z, 4487348.409, 1e-3);
    EXPECT_NEAR(1.0 / CurrentEllipsoid().f, 298.2572215, 1e-6);
}

TEST(Coordinates, RoundTripsIncludingCloseToThePoles) {
    // Latitudes down to a few centimetres from the axis (a South Pole
    // station at 2835 m): the latitude tolerance must not show in heights.
    for (double latDeg : {-89.999, -89.99, -60.0, -13.0, 0.0, 24.5, 45.0, 86.0, 89.9999999})
        for (double lonDeg : {-179.0, -30.0, 0.0, 77.0, 180.0})
            for (double h : {-400.0, 0.0, 2835.0, 30000.0}) {
                double x, y, z, lat, lon, height;
                GeodeticToEcef(latDeg * kDeg, lonDeg * kDeg, h, &x, &y, &z);
                ASSERT_EQ(EcefToGeodetic(x, y, z, kWgs84A, kWgs84B, &lat, &lon, &height), 0);
                EXPECT_NEAR(lat, latDeg * kDeg, 1e-9) << latDeg << " " << lonDeg << " " << h;
                EXPECT_NEAR(std::remainder(lon - lonDeg * kDeg, 2 * kPi), 0.0, 1e-12);
                EXPECT_NEAR(height, h, 1e-6) << latDeg << " " << lonDeg << " " << h;
            }
}

TEST(Coordinates, PolarAxisAndNonFiniteInputEndWithoutHanging) {
    double lat, lon, h;
    ASSERT_EQ(EcefToGeodetic(0.0, 0.0, -kWgs84B - 250.0, kWgs84A, kWgs84B, &lat, &lon, &h), 0);
    EXPECT_DOUBLE_EQ(lat, -kPi / 2);
    EXPECT_NEAR(h, 250.0, 1e-6);
    EXPECT_EQ(EcefToGeodetic(NAN, 1e6, 1e6, kWgs84A, kWgs84B, &lat, &lon, &h), 1);
    EXPECT_EQ(EcefToGeodetic(4e6, 1e6, INFINITY, kWgs84A, kWgs84B, &lat, &lon, &h), 1);
    EXPECT_TRUE(std::isnan(h));
}

TEST(Coordinates, ElevationAndAzimuthFromTheStation) {
    const double lat = 45.0 * kDeg, lon = 10.0 * kDeg;
    SatState receiver = {};
    GeodeticToEcef(lat, lon, 100.0, &receiver.x, &receiver.y, &receiver.z);
    // A satellite 20000 km away along local (east, north, up).
    auto toward = [&](double e, double n, double u) {
        SatState s = receiver;
        s.x += 2e7 * (-std::sin(lon) * e - std::sin(lat) * std::cos(lon) * n + std::cos(lat) * std::cos(lon) * u);
        s.y += 2e7 * (std::cos(lon) * e - std::sin(lat) * std::sin(lon) * n + std::cos(lat) * std::sin(lon) * u);
        s.z += 2e7 * (std::cos(lat) * n + std::sin(lat) * u);
        return s;
    };
    struct Case {
        double e, n, u, elevation, azimuth;
    } cases[] = {{0, 0, 1, kPi / 2, NAN},
                 {0, 1, 0, 0, 0},
                 {1, 0, 0, 0, kPi / 2},
                 {-1, -1, std::sqrt(2.0), kPi / 4, -3 * kPi / 4}};
    for (const Case &c : cases) {
        SatState sat = toward(c.e, c.n, c.u);
        double el = 0, az = 0;
        ElevationAzimuth(&sat, &receiver, lat, lon, &el, &az);
        EXPECT_NEAR(el, c.elevation, 1e-12);
        if (!std::isnan(c.azimuth)) {
            EXPECT_NEAR(az, c.azimuth, 1e-12);
        }
        EXPECT_EQ(sat.elevation, el);
        EXPECT_EQ(sat.azimuth, az);
    }

    // Without a station (a coordinate exactly 0, or the receiver at the
    // centre) nothing is written.
    SatState sat = toward(0, 0, 1), origin = {};
    double el = -5, az = -5;
    ElevationAzimuth(&sat, &receiver, 0.0, lon, &el, &az);
    ElevationAzimuth(&sat, &receiver, lat, 0.0, &el, &az);
    ElevationAzimuth(&sat, &origin, lat, lon, &el, &az);
    EXPECT_EQ(el, -5);
    EXPECT_EQ(az, -5);
    EXPECT_EQ(sat.elevation, 0.0);
}

// Satellites overhead of stations visited in turn: each is at the zenith of
// its own station, whatever station was asked about before.
TEST(Coordinates, ElevationFollowsTheStationFromCallToCall) {
    const double stations[][2] = {{45.0, 10.0}, {-33.0, 151.0}, {45.0, 10.0}, {45.0, -70.0}, {60.0, -70.0}};
    for (const auto &station : stations) {
        const double lat = station[0] * kDeg, lon = station[1] * kDeg;
        SatState receiver = {};
        GeodeticToEcef(lat, lon, 100.0, &receiver.x, &receiver.y, &receiver.z);
        SatState sat = receiver;
        sat.x += 2e7 * std::cos(lat) * std::cos(lon);
        sat.y += 2e7 * std::cos(lat) * std::sin(lon);
        sat.z += 2e7 * std::sin(lat);
        double el = 0, az = 0;
        ElevationAzimuth(&sat, &receiver, lat, lon, &el, &az);
        EXPECT_NEAR(el, kPi / 2, 1e-9) << station[0] << " " << station[1];
    }
}

} // namespace
