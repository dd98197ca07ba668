// Geodetic <-> ECEF conversions on WGS 84 and topocentric elevation/azimuth.
#include "navigation/coordinates.h"

#include <bit>
#include <cmath>
#include <cstdint>

namespace {

Ellipsoid g_currentEllipsoid = {};

bool g_ellipsoidSelected = false;

// Latitude change at which the geodetic iteration stops, radians.
constexpr double kLatitudeTolerance = 1e-10;
// Valid positions settle in a handful of passes; the bound only stops a
// corrupt input (one that never meets the tolerance) from hanging the
// conversion.
constexpr int kMaxLatitudeIterations = 100;

// Height above the ellipsoid of the point (p, z) (distance from the polar
// axis, distance from the equator plane) at geodetic latitude lat. This is
// the distance along the normal, which is insensitive to a small error in
// lat. The plain p / cos(lat) - N amplifies the iteration's 1e-10 rad
// tolerance by tan(lat): centimetres to tens of metres within a few
// kilometres of a pole, and -N (the whole Earth radius) on the polar axis.
double EllipsoidalHeight(double p, double z, double lat, double a, double e2) {
    const double sinLat = std::sin(lat);
    return p * std::cos(lat) + z * sinLat - a * std::sqrt(1.0 - e2 * sinLat * sinLat);
}

} // namespace

const Ellipsoid &CurrentEllipsoid() { return g_currentEllipsoid; }

void SelectEllipsoid(uint32_t code) {
    // WGS 84 is the only ellipsoid known; another code keeps the current
    // axes, or takes WGS 84 when none are set yet (no division by zero).
    if (code == 0 || g_currentEllipsoid.a == 0.0 || g_currentEllipsoid.b == 0.0) {
        g_currentEllipsoid.a = kWgs84A;
        g_currentEllipsoid.b = kWgs84B;
    }
    Ellipsoid &e = g_currentEllipsoid;
    e.f = (e.a - e.b) / e.a;
    e.e2 = 2.0 * e.f - e.f * e.f;
    e.a2 = e.a * e.a;
    e.b2 = e.b * e.b;
    g_ellipsoidSelected = true;
}

void GeodeticToEcef(double latitude, double longitude, double height, double *x, double *y, double *z) {
    if (!g_ellipsoidSelected) SelectEllipsoid(0);
    const Ellipsoid &e = g_currentEllipsoid;
    const double sinLat = std::sin(latitude);
    const double cosLat = std::cos(latitude);
    const double n = e.a / std::sqrt(1.0 - e.e2 * sinLat * sinLat);
    *x = (n + height) * cosLat * std::cos(longitude);
    *y = (n + height) * cosLat * std::sin(longitude);
    *z = (n * e.b2 / e.a2 + height) * sinLat;
}

int32_t EcefToGeodetic(double x, double y, double z, double a, double b, double *latitude, double *longitude,
                       double *height) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
        *latitude = *longitude = *height = NAN;
        return 1;
    }
    const double e2 = (a * a - b * b) / (a * a);
    const double p = std::sqrt(x * x + y * y);
    *longitude = std::atan2(y, x);
    double lat = std::atan2(z, p * (1.0 - e2));
    if (p == 0.0) {
        // On the polar axis the first height estimate is -N, which makes
        // the next latitude 0 * -inf = NaN; the answer is known directly.
        *latitude = lat;
        *height = EllipsoidalHeight(p, z, lat, a, e2);
        return 0;
    }

    for (int pass = 0; pass < kMaxLatitudeIterations; ++pass) {
        const double sinLat = std::sin(lat);
        const double n = a / std::sqrt(1.0 - e2 * sinLat * sinLat);
        const double h = p / std::cos(lat) - n;
        const double next = std::atan2(z, p * (1.0 - e2 * n / (n + h)));
        // Keep the latitude the height was computed from; the new estimate
        // only decides whether to go on.
        if (std::fabs(lat - next) < kLatitudeTolerance) {
            *latitude = lat;
            *height = EllipsoidalHeight(p, z, lat, a, e2);
            return 0;
        }
        lat = next;
    }
    *latitude = lat;
    *height = EllipsoidalHeight(p, z, lat, a, e2);
    return 1;
}

namespace {

// Sine and cosine of the last angle asked for. Every satellite of an epoch
// is seen from the same station, so its latitude and longitude repeat; the
// key is the angle's exact bits, so a kept value is the one the same angle
// gives again.
struct SineCosine {
    bool valid;
    uint64_t bits;
    double sine, cosine;
};
SineCosine g_latitudeTrig{}, g_longitudeTrig{};

void StationSineCosine(double angle, SineCosine &kept, double *sine, double *cosine) {
    const uint64_t bits = std::bit_cast<uint64_t>(angle);
    if (!kept.valid || kept.bits != bits) {
        kept.sine = std::sin(angle);
        kept.cosine = std::cos(angle);
        kept.bits = bits;
        kept.valid = true;
    }
    *sine = kept.sine;
    *cosine = kept.cosine;
}

} // namespace

void ElevationAzimuth(SatState *sat, const SatState *receiver, double latitude, double longitude, double *elevation,
                      double *azimuth) {
    // Exactly zero coordinates mean "no station known yet".
    if (latitude == 0.0 || longitude == 0.0) return;
    if (receiver->x == 0.0 && receiver->y == 0.0 && receiver->z == 0.0) return;

    const double dx = sat->x - receiver->x;
    const double dy = sat->y - receiver->y;
    const double dz = sat->z - receiver->z;
    double sinLat, cosLat, sinLon, cosLon;
    StationSineCosine(latitude, g_latitudeTrig, &sinLat, &cosLat);
    StationSineCosine(longitude, g_longitudeTrig, &sinLon, &cosLon);

    const double east = -sinLon * dx + cosLon * dy;
    const double north = -sinLat * cosLon * dx - sinLat * sinLon * dy + cosLat * dz;
    const double up = cosLat * cosLon * dx + cosLat * sinLon * dy + sinLat * dz;

    const double el = std::atan2(up, std::sqrt(east * east + north * north));
    const double az = std::atan2(east, north);
    *elevation = el;
    *azimuth = az;
    sat->elevation = el;
    sat->azimuth = az;
}
