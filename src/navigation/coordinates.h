// Geodetic <-> Earth-centred Earth-fixed conversions on the WGS 84
// ellipsoid, and the topocentric elevation and azimuth of a satellite.
// Angles are radians, lengths metres.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/sat_state.h"

// WGS 84 semi-axes, also passed to EcefToGeodetic by the clock recomputation.
inline constexpr double kWgs84A = 6378137.0;
inline constexpr double kWgs84B = 6356752.3141;

// The current reference ellipsoid.
struct Ellipsoid {
    double f;     // flattening (a - b) / a
    double e2;    // first eccentricity squared, 2f - f^2
    double spare; // not used
    double a;     // semi-major axis
    double b;     // semi-minor axis
    double a2;    // a squared
    double b2;    // b squared
};
static_assert(sizeof(Ellipsoid) == 56);
static_assert(offsetof(Ellipsoid, e2) == 8 && offsetof(Ellipsoid, a) == 24);
static_assert(offsetof(Ellipsoid, b2) == 48);

// The ellipsoid the conversions work on; filled by SelectEllipsoid(0) on
// the first GeodeticToEcef call.
const Ellipsoid &CurrentEllipsoid();

// Code 0 selects WGS 84; f, e2, a2 and b2 are then derived from a and b.
// Other codes keep the axes as they are (WGS 84 when none are set yet) and
// only rederive the rest.
void SelectEllipsoid(uint32_t code);

void GeodeticToEcef(double latitude, double longitude, double height, double *x, double *y, double *z);

// The last answers of a conversion, for a caller that asks the same again
// and again (the clock recomputation: its station for every satellite, a
// static receiver's position epoch after epoch). Each is kept under the
// exact bits of its inputs, so a kept answer is always the one the same
// inputs give again. Zero-initialised: nothing kept.
struct KeptEcef {
    bool valid;
    uint64_t latitudeBits, longitudeBits, heightBits;
    double x, y, z;
};
struct KeptSineCosine {
    bool valid;
    uint64_t bits;
    double sine, cosine;
};
// The sines and cosines of a station's latitude and longitude.
struct KeptStationTrig {
    KeptSineCosine latitude, longitude;
};

// GeodeticToEcef, answering from kept when asked the same as last time
// (the ellipsoid never changes once selected: WGS 84 is the only one).
void GeodeticToEcef(KeptEcef *kept, double latitude, double longitude, double height, double *x, double *y, double *z);

// Iterates the latitude until it changes by less than 1e-10 rad; the height
// is measured along the normal of that latitude. Returns 0;
// returns 1 when the input is not finite (outputs NaN) or the iteration does
// not settle (outputs hold the last values).
int32_t EcefToGeodetic(double x, double y, double z, double a, double b, double *latitude, double *longitude,
                       double *height);
// The same results for a third less work: the pass that can only confirm
// the latitude is not computed (see SettledTest). Bit for bit the same
// where every operation rounds to double (SSE); the x87 build rounds as its
// registers happen to be spilled, so a changed loop may move the last bits
// there. The BESTXYZ decoder rounds its result to a grid, which that cannot
// reach; the clock recomputation, whose every bit shows, keeps the plain one.
// It also gives the sine and cosine of the latitude, as std::sin and
// std::cos give them (NaN when the input is not finite).
int32_t EcefToGeodeticSettled(double x, double y, double z, double a, double b, double *latitude, double *longitude,
                              double *height, double *sinLatitude, double *cosLatitude);

// Elevation and azimuth of sat seen from receiver at (latitude, longitude);
// also stored in sat. Writes nothing when the latitude or the longitude is
// exactly 0 or the receiver is at the Earth's centre (no station known).
void ElevationAzimuth(SatState *sat, const SatState *receiver, double latitude, double longitude, double *elevation,
                      double *azimuth);
// The elevation of ElevationAzimuth alone, for the clock recomputation,
// which has no use for the azimuth (an arc tangent per satellite saved).
// The second form keeps the station's sines and cosines in kept (not null)
// between calls.
void SatelliteElevation(SatState *sat, const SatState *receiver, double latitude, double longitude, double *elevation);
void SatelliteElevation(KeptStationTrig *kept, SatState *sat, const SatState *receiver, double latitude,
                        double longitude, double *elevation);
// Whether SatelliteElevation's elevation, times radiansToDegrees, is below
// maskDegrees (an elevation it would not write counts as 0): the same
// answer, without the arc tangent unless the satellite is right at the
// mask. maskTangent is the tangent of the mask (to far better than 1e-6 of
// it). Writes nothing into sat. The station's sines and cosines are kept
// between calls in kept (not null).
bool BelowElevationMask(KeptStationTrig *kept, const SatState *sat, const SatState *receiver, double latitude,
                        double longitude, double maskDegrees, double radiansToDegrees, double maskTangent);
