#include "navigation/coordinates.h"

#include <chrono>
#include <cmath>

#include <gtest/gtest.h>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

TEST(GeodeticToEcef, WorldGeodeticSystemReferencePoints) {
    double x, y, z;
    GeodeticToEcef(0.0, 0.0, 0.0, &x, &y, &z);
    EXPECT_EQ(x, 6378137.0);
    EXPECT_EQ(y, 0.0);
    EXPECT_EQ(z, 0.0);

    GeodeticToEcef(kPi / 2, 0.0, 0.0, &x, &y, &z);
    EXPECT_NEAR(x, 0.0, 1e-6);
    EXPECT_NEAR(z, 6356752.3141, 1e-6);

    // Published WGS 84 values for 45 N on the Greenwich meridian.
    GeodeticToEcef(45.0 * kDeg, 0.0, 0.0, &x, &y, &z);
    EXPECT_NEAR(x, 4517590.879, 1e-3);
    EXPECT_NEAR(z, 4487348.409, 1e-3);

    GeodeticToEcef(-33.8688 * kDeg, 151.2093 * kDeg, 50.0, &x, &y, &z);
    EXPECT_NEAR(x, -4646087.656, 1e-3);
    EXPECT_NEAR(y, 2553226.337, 1e-3);
    EXPECT_NEAR(z, -3534400.253, 1e-3);

    EXPECT_NEAR(CurrentEllipsoid.e2, 0.00669438003, 1e-11);
    EXPECT_NEAR(1.0 / CurrentEllipsoid.f, 298.2572215, 1e-6);
}

TEST(EcefToGeodetic, RoundTripsAcrossTheGlobe) {
    const double heights[] = {-400.0, 0.0, 1234.5, 30000.0};
    for (double latDeg = -89.0; latDeg <= 89.0; latDeg += 7.0) {
        for (double lonDeg = -179.0; lonDeg <= 180.0; lonDeg += 37.0) {
            for (double h : heights) {
                double x, y, z, lat, lon, height;
                GeodeticToEcef(latDeg * kDeg, lonDeg * kDeg, h, &x, &y, &z);
                ASSERT_EQ(EcefToGeodetic(x, y, z, WGS84_A, WGS84_B, &lat, &lon, &height), 0);
                EXPECT_NEAR(lat, latDeg * kDeg, 1e-9) << latDeg << " " << lonDeg << " " << h;
                EXPECT_NEAR(lon, lonDeg * kDeg, 1e-12);
                EXPECT_NEAR(height, h, 1e-6) << latDeg << " " << lonDeg << " " << h;
            }
        }
    }
}

TEST(EcefToGeodetic, HeightsStayExactCloseToAndOnThePolarAxis) {
    double x, y, z, lat, lon, h;
    // A station at the South Pole, a hundred metres and a few centimetres
    // from the axis: the latitude tolerance must not show in the height.
    for (double latDeg : {-89.99, -89.999, 89.9999, 89.9999999}) {
        GeodeticToEcef(latDeg * kDeg, 0.7, 2835.0, &x, &y, &z);
        ASSERT_EQ(EcefToGeodetic(x, y, z, WGS84_A, WGS84_B, &lat, &lon, &h), 0);
        EXPECT_NEAR(lat, latDeg * kDeg, 1e-9);
        EXPECT_NEAR(h, 2835.0, 1e-6) << latDeg;
    }
    ASSERT_EQ(EcefToGeodetic(0.0, 0.0, WGS84_B + 250.0, WGS84_A, WGS84_B, &lat, &lon, &h), 0);
    EXPECT_DOUBLE_EQ(lat, kPi / 2);
    EXPECT_NEAR(h, 250.0, 1e-6);
    ASSERT_EQ(EcefToGeodetic(0.0, 0.0, -WGS84_B + 10.0, WGS84_A, WGS84_B, &lat, &lon, &h), 0);
    EXPECT_DOUBLE_EQ(lat, -kPi / 2);
    EXPECT_NEAR(h, -10.0, 1e-6);
}

TEST(EcefToGeodetic, NonFiniteInputEndsWithAFailureInsteadOfHanging) {
    const auto start = std::chrono::steady_clock::now();
    double lat = 0, lon = 0, h = 0;
    EXPECT_EQ(EcefToGeodetic(NAN, 1e6, 1e6, WGS84_A, WGS84_B, &lat, &lon, &h), 1);
    EXPECT_EQ(EcefToGeodetic(4e6, 1e6, INFINITY, WGS84_A, WGS84_B, &lat, &lon, &h), 1);
    EXPECT_EQ(EcefToGeodetic(0.0, 0.0, NAN, WGS84_A, WGS84_B, &lat, &lon, &h), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// Station at 45 N 10 E and a satellite 20000 km away in a local direction.
struct Sky {
    double lat = 45.0 * kDeg, lon = 10.0 * kDeg;
    SatState receiver = {};
    Sky() { GeodeticToEcef(lat, lon, 100.0, &receiver.x, &receiver.y, &receiver.z); }
    SatState Toward(double east, double north, double up) const {
        const double r = 2e7;
        SatState s = {};
        s.x = receiver.x + r * (-std::sin(lon) * east - std::sin(lat) * std::cos(lon) * north +
                                std::cos(lat) * std::cos(lon) * up);
        s.y = receiver.y + r * (std::cos(lon) * east - std::sin(lat) * std::sin(lon) * north +
                                std::cos(lat) * std::sin(lon) * up);
        s.z = receiver.z + r * (std::cos(lat) * north + std::sin(lat) * up);
        return s;
    }
};

TEST(ElevationAzimuth, ZenithNorthEastAndStoredInTheSatellite) {
    Sky sky;
    double el = 0, az = 0;
    SatState zenith = sky.Toward(0, 0, 1);
    ElevationAzimuth(&zenith, &sky.receiver, sky.lat, sky.lon, &el, &az);
    EXPECT_NEAR(el, kPi / 2, 1e-12);
    EXPECT_EQ(zenith.elevation, el);

    SatState north = sky.Toward(0, 1, 0);
    ElevationAzimuth(&north, &sky.receiver, sky.lat, sky.lon, &el, &az);
    EXPECT_NEAR(el, 0.0, 1e-12);
    EXPECT_NEAR(az, 0.0, 1e-12);

    SatState east = sky.Toward(1, 0, 0);
    ElevationAzimuth(&east, &sky.receiver, sky.lat, sky.lon, &el, &az);
    EXPECT_NEAR(az, kPi / 2, 1e-12);
    EXPECT_EQ(east.azimuth, az);

    SatState southWestHigh = sky.Toward(-1, -1, std::sqrt(2.0));
    ElevationAzimuth(&southWestHigh, &sky.receiver, sky.lat, sky.lon, &el, &az);
    EXPECT_NEAR(el, kPi / 4, 1e-12);
    EXPECT_NEAR(az, -3 * kPi / 4, 1e-12);
}

TEST(ElevationAzimuth, WritesNothingWithoutAStation) {
    Sky sky;
    SatState sat = sky.Toward(0, 0, 1);
    sat.elevation = sat.azimuth = 7.0;
    double el = -5, az = -5;
    ElevationAzimuth(&sat, &sky.receiver, 0.0, sky.lon, &el, &az);
    ElevationAzimuth(&sat, &sky.receiver, sky.lat, 0.0, &el, &az);
    SatState origin = {};
    ElevationAzimuth(&sat, &origin, sky.lat, sky.lon, &el, &az);
    EXPECT_EQ(el, -5);
    EXPECT_EQ(az, -5);
    EXPECT_EQ(sat.elevation, 7.0);
    EXPECT_EQ(sat.azimuth, 7.0);
}

} // namespace
