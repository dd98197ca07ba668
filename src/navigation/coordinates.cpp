// Geodetic <-> ECEF conversions on WGS 84 and topocentric elevation/azimuth.
#include "navigation/coordinates.h"

#include <bit>
#include <cmath>
#include <cstdint>

namespace {

Ellipsoid g_currentEllipsoid = {};

bool g_ellipsoidSelected = false;

// Relative margin around the mask's tangent within which BelowElevationMask
// takes the arc tangent.
constexpr double kMaskMargin = 1e-6;

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
// EllipsoidalHeight, also giving the sine and cosine of lat it is computed
// from (the BESTXYZ decoder turns its sigmas with them).
double EllipsoidalHeightAndTrig(double p, double z, double lat, double a, double e2, double *sinLat, double *cosLat) {
    const double s = std::sin(lat);
    const double c = std::cos(lat);
    *sinLat = s;
    *cosLat = c;
    return p * c + z * s - a * std::sqrt(1.0 - e2 * s * s);
}

double EllipsoidalHeight(double p, double z, double lat, double a, double e2) {
    const double sinLat = std::sin(lat);
    return p * std::cos(lat) + z * sinLat - a * std::sqrt(1.0 - e2 * sinLat * sinLat);
}

// How far one latitude pass can move the estimate, from how far the pass
// before moved it. A pass computes next = atan2(z, D(lat)) with
// D = p - e2 N(lat) cos(lat), and |dD/dlat| = e2 a (1 - e2) |sin lat| /
// (1 - e2 sin^2 lat)^1.5 <= K = e2 a / sqrt(1 - e2) for every latitude, while
// p - K <= D <= p. So |d next / d lat| <= K |z| / (z^2 + q^2) with
// q = max(0, p - K), and a pass moves the estimate at most that times the
// previous move, plus the rounding of the two estimates (a few units in the
// last place of an angle, far below the margin kept here). When that is
// below the tolerance the pass would end the iteration on the latitude it
// started from, so it need not be computed: the result is the same to the
// last bit, for one pass (a sine, a cosine, an arc tangent) fewer.
// slope / scale is twice the bound; only ellipsoids like the Earth's and
// points between 100 km and a million km from its centre take the shortcut.
struct SettledTest {
    bool usable;
    double slope, scale;
};

// Margin below the tolerance for the rounding of the estimates.
constexpr double kSettledWithin = kLatitudeTolerance - 1e-12;

SettledTest SettledTestFor(double p, double z, double a, double e2) {
    SettledTest t{false, 0.0, 0.0};
    const double r2 = p * p + z * z;
    if (!(e2 >= 0.0 && e2 < 0.01 && a > 0.0 && r2 >= 1e10 && r2 <= 1e18)) return t;
    const double k = e2 * a / std::sqrt(1.0 - e2);
    const double q = p > k ? p - k : 0.0;
    t.slope = 2.0 * k * std::fabs(z);
    t.scale = z * z + q * q;
    t.usable = t.scale > 0.0;
    return t;
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

void GeodeticToEcef(KeptEcef *kept, double latitude, double longitude, double height, double *x, double *y, double *z) {
    const uint64_t latitudeBits = std::bit_cast<uint64_t>(latitude);
    const uint64_t longitudeBits = std::bit_cast<uint64_t>(longitude);
    const uint64_t heightBits = std::bit_cast<uint64_t>(height);
    if (kept->valid && kept->latitudeBits == latitudeBits && kept->longitudeBits == longitudeBits &&
        kept->heightBits == heightBits) {
        *x = kept->x;
        *y = kept->y;
        *z = kept->z;
        return;
    }
    GeodeticToEcef(latitude, longitude, height, x, y, z);
    *kept = KeptEcef{true, latitudeBits, longitudeBits, heightBits, *x, *y, *z};
}

namespace {

// The height of lat; the quicker conversion also gives lat's sine and cosine,
// while the plain one computes exactly as it always has.
template <bool kTrig>
double Height(double p, double z, double lat, double a, double e2, double *sinLat, double *cosLat) {
    if constexpr (kTrig) {
        return EllipsoidalHeightAndTrig(p, z, lat, a, e2, sinLat, cosLat);
    } else {
        return EllipsoidalHeight(p, z, lat, a, e2);
    }
}

// EcefToGeodetic, with or without the shortcut of SettledTest.
template <bool kSkipSettledPass> int32_t Geodetic(double x, double y, double z, double a, double b, double *latitude,
                                                  double *longitude, double *height, double *sinLatitude,
                                                  double *cosLatitude) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
        *latitude = *longitude = *height = *sinLatitude = *cosLatitude = NAN;
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
        *height = Height<kSkipSettledPass>(p, z, lat, a, e2, sinLatitude, cosLatitude);
        return 0;
    }

    const SettledTest settled = kSkipSettledPass ? SettledTestFor(p, z, a, e2) : SettledTest{false, 0.0, 0.0};
    double step = INFINITY; // the change of the latitude in the last pass
    for (int pass = 0; pass < kMaxLatitudeIterations; ++pass) {
        if (kSkipSettledPass && settled.usable && settled.slope * step < kSettledWithin * settled.scale) {
            // This pass would change the latitude by less than the
            // tolerance, and so keep it: it is done without computing it.
            *latitude = lat;
            *height = Height<kSkipSettledPass>(p, z, lat, a, e2, sinLatitude, cosLatitude);
            return 0;
        }
        const double sinLat = std::sin(lat);
        const double n = a / std::sqrt(1.0 - e2 * sinLat * sinLat);
        const double h = p / std::cos(lat) - n;
        const double next = std::atan2(z, p * (1.0 - e2 * n / (n + h)));
        // Keep the latitude the height was computed from; the new estimate
        // only decides whether to go on.
        if (std::fabs(lat - next) < kLatitudeTolerance) {
            *latitude = lat;
            *height = Height<kSkipSettledPass>(p, z, lat, a, e2, sinLatitude, cosLatitude);
            return 0;
        }
        if (kSkipSettledPass) step = std::fabs(lat - next);
        lat = next;
    }
    *latitude = lat;
    *height = Height<kSkipSettledPass>(p, z, lat, a, e2, sinLatitude, cosLatitude);
    return 1;
}

} // namespace

int32_t EcefToGeodetic(double x, double y, double z, double a, double b, double *latitude, double *longitude,
                       double *height) {
    double unused = 0.0;
    return Geodetic<false>(x, y, z, a, b, latitude, longitude, height, &unused, &unused);
}

int32_t EcefToGeodeticSettled(double x, double y, double z, double a, double b, double *latitude, double *longitude,
                              double *height, double *sinLatitude, double *cosLatitude) {
    return Geodetic<true>(x, y, z, a, b, latitude, longitude, height, sinLatitude, cosLatitude);
}

namespace {

// Sine and cosine of an angle of the station. Every satellite of an epoch
// is seen from the same station, so its latitude and longitude repeat: with
// kept, the last angle's are kept, under the angle's exact bits.
inline void StationSineCosine(double angle, KeptSineCosine &kept, double *sine, double *cosine) {
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

// The satellite in the station's east, north and up axes; false when no
// station is known (exactly zero coordinates mean "none yet").
struct Topocentric {
    double east, north, up;
};

// kKept: the station's sines and cosines come from kept (not null).
template <bool kKept> inline bool ToTopocentric(KeptStationTrig *kept, const SatState *sat, const SatState *receiver,
                                                double latitude, double longitude, Topocentric *t) {
    if (latitude == 0.0 || longitude == 0.0) return false;
    if (receiver->x == 0.0 && receiver->y == 0.0 && receiver->z == 0.0) return false;

    const double dx = sat->x - receiver->x;
    const double dy = sat->y - receiver->y;
    const double dz = sat->z - receiver->z;
    double sinLat, cosLat, sinLon, cosLon;
    if constexpr (kKept) {
        StationSineCosine(latitude, kept->latitude, &sinLat, &cosLat);
        StationSineCosine(longitude, kept->longitude, &sinLon, &cosLon);
    } else {
        sinLat = std::sin(latitude);
        cosLat = std::cos(latitude);
        sinLon = std::sin(longitude);
        cosLon = std::cos(longitude);
    }

    t->east = -sinLon * dx + cosLon * dy;
    t->north = -sinLat * cosLon * dx - sinLat * sinLon * dy + cosLat * dz;
    t->up = cosLat * cosLon * dx + cosLat * sinLon * dy + sinLat * dz;
    return true;
}

} // namespace

void ElevationAzimuth(SatState *sat, const SatState *receiver, double latitude, double longitude, double *elevation,
                      double *azimuth) {
    Topocentric t;
    if (!ToTopocentric<false>(nullptr, sat, receiver, latitude, longitude, &t)) return;
    const double el = std::atan2(t.up, std::sqrt(t.east * t.east + t.north * t.north));
    const double az = std::atan2(t.east, t.north);
    *elevation = el;
    *azimuth = az;
    sat->elevation = el;
    sat->azimuth = az;
}

namespace {

template <bool Kept> void Elevation(KeptStationTrig *kept, SatState *sat, const SatState *receiver, double latitude,
                                    double longitude, double *elevation) {
    Topocentric t;
    if (!ToTopocentric<Kept>(kept, sat, receiver, latitude, longitude, &t)) return;
    const double el = std::atan2(t.up, std::sqrt(t.east * t.east + t.north * t.north));
    *elevation = el;
    sat->elevation = el;
}

} // namespace

void SatelliteElevation(SatState *sat, const SatState *receiver, double latitude, double longitude, double *elevation) {
    Elevation<false>(nullptr, sat, receiver, latitude, longitude, elevation);
}

void SatelliteElevation(KeptStationTrig *kept, SatState *sat, const SatState *receiver, double latitude,
                        double longitude, double *elevation) {
    Elevation<true>(kept, sat, receiver, latitude, longitude, elevation);
}

bool BelowElevationMask(KeptStationTrig *kept, const SatState *sat, const SatState *receiver, double latitude,
                        double longitude, double maskDegrees, double radiansToDegrees, double maskTangent) {
    Topocentric t;
    // No station: the elevation stays at 0, as SatelliteElevation leaves it.
    if (!ToTopocentric<true>(kept, sat, receiver, latitude, longitude, &t)) return 0.0 * radiansToDegrees < maskDegrees;
    const double horizontal = std::sqrt(t.east * t.east + t.north * t.north);
    // The tangent of the mask is compared with up / horizontal. Away from
    // the mask by more than a millionth of that tangent (about 1e-5
    // degrees, far beyond any rounding of either side) the comparison
    // gives the answer of the arc tangent, for a multiplication; only a
    // satellite right at the mask, or an odd geometry, takes the arc
    // tangent itself, so the decision is always the one it gives.
    if (horizontal > 0.0 && std::isfinite(horizontal) && std::isfinite(t.up) && maskTangent > 0.0) {
        if (t.up < horizontal * maskTangent * (1.0 - kMaskMargin)) return true;
        if (t.up > horizontal * maskTangent * (1.0 + kMaskMargin)) return false;
    }
    return std::atan2(t.up, horizontal) * radiansToDegrees < maskDegrees;
}
