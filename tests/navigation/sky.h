// Synthetic truth for the navigation tests: a GPS-like constellation of
// broadcast ephemerides, a receiver on WGS 84, and helpers to place points
// in the receiver's local frame. Computed here independently of the library.
#pragma once

#include <cmath>
#include <cstdint>

#include "threadbuf/payloads.h"

namespace sky {

inline constexpr double PI = 3.14159265358979323846;
inline constexpr double C = 299792458.0;
inline constexpr double DEG = PI / 180.0;
inline constexpr int32_t TOE = 172800; // Tuesday 00:00

// A plausible broadcast ephemeris with small harmonic corrections.
inline GpsEphRecord Ephemeris(int32_t prn, double omega0, double m0) {
    GpsEphRecord e{};
    e.prn = prn;
    e.toc = TOE;
    e.toe = TOE;
    e.af0 = 2.5e-5;
    e.af1 = 1.1e-11;
    e.deltaN = 4.5e-9;
    e.m0 = m0;
    e.e = 0.008;
    e.sqrtA = 5153.65;
    e.cic = 1.2e-7;
    e.crc = 230.0;
    e.cis = -6.0e-8;
    e.crs = 40.0;
    e.cuc = 2.1e-6;
    e.cus = 7.5e-6;
    e.omega0 = omega0;
    e.omega = 0.6;
    e.i0 = 55.5 * DEG;
    e.omegaDot = -8.1e-9;
    e.idot = 2.0e-10;
    return e;
}

// Six planes of four satellites, PRNs 1 to 24.
inline GpsEphRecord Constellation(int32_t prn) {
    const int plane = (prn - 1) / 4, slot = (prn - 1) % 4;
    return Ephemeris(prn, plane * 60.0 * DEG, slot * 90.0 * DEG + plane * 17.0 * DEG);
}

// WGS 84 geodetic (degrees, metres) to Earth-fixed.
inline void Ecef(double latDeg, double lonDeg, double h, double out[3]) {
    const double a = 6378137.0, b = 6356752.3141;
    const double e2 = (a * a - b * b) / (a * a);
    const double lat = latDeg * DEG, lon = lonDeg * DEG;
    const double n = a / std::sqrt(1.0 - e2 * std::sin(lat) * std::sin(lat));
    out[0] = (n + h) * std::cos(lat) * std::cos(lon);
    out[1] = (n + h) * std::cos(lat) * std::sin(lon);
    out[2] = (n * (1.0 - e2) + h) * std::sin(lat);
}

// The point at distance dist from origin in the direction (elevation,
// azimuth) of the local frame at (latDeg, lonDeg).
inline void Toward(const double origin[3], double latDeg, double lonDeg, double elDeg, double azDeg, double dist,
                   double out[3]) {
    const double lat = latDeg * DEG, lon = lonDeg * DEG, el = elDeg * DEG, az = azDeg * DEG;
    const double e = std::cos(el) * std::sin(az), n = std::cos(el) * std::cos(az), u = std::sin(el);
    out[0] =
        origin[0] + dist * (-std::sin(lon) * e - std::sin(lat) * std::cos(lon) * n + std::cos(lat) * std::cos(lon) * u);
    out[1] =
        origin[1] + dist * (std::cos(lon) * e - std::sin(lat) * std::sin(lon) * n + std::cos(lat) * std::sin(lon) * u);
    out[2] = origin[2] + dist * (std::cos(lat) * n + std::sin(lat) * u);
}

// Elevation (degrees) of a point seen from origin at (latDeg, lonDeg).
inline double Elevation(const double origin[3], double latDeg, double lonDeg, const double p[3]) {
    const double lat = latDeg * DEG, lon = lonDeg * DEG;
    const double dx = p[0] - origin[0], dy = p[1] - origin[1], dz = p[2] - origin[2];
    const double u = std::cos(lat) * std::cos(lon) * dx + std::cos(lat) * std::sin(lon) * dy + std::sin(lat) * dz;
    return std::asin(u / std::sqrt(dx * dx + dy * dy + dz * dz)) / DEG;
}

} // namespace sky

// Fields of the packed records may sit unaligned, so they are copied before
// the test macros bind references to them.
template <class T> T Value(T v) { return v; }
