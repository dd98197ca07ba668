#include "navigation/coordinates.h"

#include <cmath>
#include <cstdint>
#include <random>

#include <gtest/gtest.h>

#include "navigation/receiver_clock.h"
#include "sky.h"

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

// The latitude iteration as specified, every pass computed: it stops on
// the first pass that changes the latitude by less than 1e-10 rad, keeping
// the latitude that pass started from; the height is along its normal.
int32_t PlainEcefToGeodetic(double x, double y, double z, double *lat, double *lon, double *height) {
    const double a = kWgs84A, b = kWgs84B, e2 = (a * a - b * b) / (a * a), p = std::sqrt(x * x + y * y);
    *lon = std::atan2(y, x);
    double phi = std::atan2(z, p * (1.0 - e2));
    int32_t result = 1;
    for (int pass = 0; pass < 100; ++pass) {
        const double sinPhi = std::sin(phi);
        const double n = a / std::sqrt(1.0 - e2 * sinPhi * sinPhi);
        const double next = std::atan2(z, p * (1.0 - e2 * n / (n + (p / std::cos(phi) - n))));
        if (std::fabs(phi - next) < 1e-10) {
            result = 0;
            break;
        }
        phi = next;
    }
    const double s = std::sin(phi);
    *lat = phi;
    *height = p * std::cos(phi) + z * s - a * std::sqrt(1.0 - e2 * s * s);
    return result;
}

// The quicker conversion skips the last pass when it can only confirm the latitude:
// the results must be the very bits of the full iteration, on the ground, in
// the air, in orbit, near the poles and the equator.
TEST(Coordinates, GeodeticLatitudeIsTheFullIterationsToTheLastBit) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double heights[] = {-500.0, 0.0, 450.0, 3000.0, 12000.0, 400000.0, 2.02e7, -6.3e6};
    for (int i = 0; i < 20000; ++i) {
        const double latDeg = i % 50 == 0 ? 90.0 - 1e-6 * unit(random) : -90.0 + 180.0 * unit(random);
        const double lonDeg = i % 70 == 0 ? 0.0 : -180.0 + 360.0 * unit(random);
        const double h = heights[i % 8] + 100.0 * unit(random);
        double xyz[3];
        sky::Ecef(latDeg, lonDeg, h, xyz);
        const double x = xyz[0], y = xyz[1], z = xyz[2];
        double lat, lon, height, sinLat, cosLat, plainLat, plainLon, plainHeight;
        const int32_t result = EcefToGeodeticSettled(x, y, z, kWgs84A, kWgs84B, &lat, &lon, &height, &sinLat, &cosLat);
        ASSERT_EQ(result, PlainEcefToGeodetic(x, y, z, &plainLat, &plainLon, &plainHeight));
        ASSERT_TRUE(sinLat == std::sin(lat) && cosLat == std::cos(lat));
        ASSERT_TRUE(lat == plainLat && lon == plainLon && height == plainHeight)
            << latDeg << " " << lonDeg << " " << h << ": " << lat - plainLat << " " << height - plainHeight;
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

// Stations visited in turn, some again, some differing in one coordinate
// only: each gets its own position, and a satellite overhead is at its
// zenith; what a caller keeps from call to call answers exactly as the
// plain conversions, whatever station was asked about before.
TEST(Coordinates, StationAndElevationFollowFromCallToCall) {
    const double stations[][3] = {{45.0, 10.0, 100.0},  {-33.0, 151.0, 100.0}, {45.0, 10.0, 100.0},
                                  {45.0, 10.0, 2000.0}, {45.0, -70.0, 2000.0}, {60.0, -70.0, 2000.0}};
    KeptEcef keptPosition{};
    KeptStationTrig keptTrig{};
    for (const auto &station : stations) {
        const double lat = station[0] * kDeg, lon = station[1] * kDeg;
        SatState receiver = {};
        GeodeticToEcef(lat, lon, station[2], &receiver.x, &receiver.y, &receiver.z);
        double expected[3];
        sky::Ecef(station[0], station[1], station[2], expected);
        EXPECT_NEAR(receiver.x, expected[0], 1e-6);
        EXPECT_NEAR(receiver.y, expected[1], 1e-6);
        EXPECT_NEAR(receiver.z, expected[2], 1e-6);
        for (int twice = 0; twice < 2; ++twice) {
            double kept[3];
            GeodeticToEcef(&keptPosition, lat, lon, station[2], &kept[0], &kept[1], &kept[2]);
            EXPECT_EQ(kept[0], receiver.x);
            EXPECT_EQ(kept[1], receiver.y);
            EXPECT_EQ(kept[2], receiver.z);
        }
        SatState sat = receiver;
        sat.x += 2e7 * std::cos(lat) * std::cos(lon);
        sat.y += 2e7 * std::cos(lat) * std::sin(lon);
        sat.z += 2e7 * std::sin(lat);
        double el = 0, az = 0, elevationOnly = 0, elevationKept = 0;
        ElevationAzimuth(&sat, &receiver, lat, lon, &el, &az);
        EXPECT_NEAR(el, kPi / 2, 1e-9) << station[0] << " " << station[1];
        SatelliteElevation(&sat, &receiver, lat, lon, &elevationOnly);
        EXPECT_EQ(elevationOnly, el);
        SatelliteElevation(&keptTrig, &sat, &receiver, lat, lon, &elevationKept);
        EXPECT_EQ(elevationKept, el);
    }
}

// The mask decision without the arc tangent must be the arc tangent's: at
// every elevation, including a hair either side of the mask, below the
// horizon and with no station.
TEST(Coordinates, ElevationMaskDecisionIsTheArcTangents) {
    constexpr double kRadToDeg = 57.2957795132;
    EXPECT_NEAR(kElevationMaskTangent, std::tan(kElevationMask / kRadToDeg), 1e-16);
    const double lat = 47.4 * kDeg, lon = 8.55 * kDeg;
    SatState receiver = {};
    GeodeticToEcef(lat, lon, 550.0, &receiver.x, &receiver.y, &receiver.z);
    // East, north and up unit vectors of the station.
    const double up[3] = {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
    const double north[3] = {-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)};
    const double mask = kElevationMask / kRadToDeg;
    KeptStationTrig kept{};
    for (double el : {-0.5, 0.0, 0.1, mask - 1e-6, mask - 1e-12, mask, mask + 1e-12, mask + 1e-6, 0.5, kPi / 2}) {
        for (double d : {-1e-13, 0.0, 1e-13}) {
            const double c = 2e7 * std::cos(el + d), s = 2e7 * std::sin(el + d);
            SatState sat = receiver;
            sat.x += c * north[0] + s * up[0];
            sat.y += c * north[1] + s * up[1];
            sat.z += c * north[2] + s * up[2];
            double elevation = 0.0;
            SatelliteElevation(&sat, &receiver, lat, lon, &elevation);
            EXPECT_EQ(
                BelowElevationMask(&kept, &sat, &receiver, lat, lon, kElevationMask, kRadToDeg, kElevationMaskTangent),
                elevation * kRadToDeg < kElevationMask)
                << el << " " << d;
        }
    }
    // No station known: SatelliteElevation leaves 0, which is below.
    SatState sat = receiver;
    sat.z += 2e7;
    const SatState origin = {};
    EXPECT_TRUE(BelowElevationMask(&kept, &sat, &origin, lat, lon, kElevationMask, kRadToDeg, kElevationMaskTangent));
}

} // namespace
