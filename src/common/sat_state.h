// The computed state of one satellite (or of the receiver) at one epoch.
#pragma once

#include <cstddef>

struct SatState {
    double x, y, z;    // Earth-fixed position, metres
    double vx, vy, vz; // Earth-fixed velocity, m/s (GPS orbits only)
    double toe;        // ephemeris reference time used, seconds of week (GPS only)
    double reserved;   // not used
    double elevation;  // radians, written by ElevationAzimuth
    double azimuth;    // radians from north toward east, written by ElevationAzimuth
};
static_assert(sizeof(SatState) == 80);
static_assert(offsetof(SatState, x) == 0 && offsetof(SatState, vx) == 24);
static_assert(offsetof(SatState, toe) == 48 && offsetof(SatState, reserved) == 56);
static_assert(offsetof(SatState, elevation) == 64 && offsetof(SatState, azimuth) == 72);
