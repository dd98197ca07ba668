// Satellite clock error and Earth-fixed position from broadcast ephemerides:
// the GPS Keplerian model, and the Glonass state vector integrated with a
// fixed-step fourth-order Runge-Kutta method.
#pragma once

#include <cstdint>

#include "common/physics.h"
#include "common/sat_state.h"
#include "threadbuf/payloads.h"

// A Glonass broadcast ephemeris. No decoder of this library produces one;
// the orbit code is kept for an ephemeris source that does.
struct GlonassEphemeris {
    int32_t prn;
    float gamma;            // relative frequency offset
    float tauN;             // clock offset, seconds
    double clockOffset;     // further clock offset added to tauN, seconds
    double position[3];     // km, Earth-fixed
    double velocity[3];     // km/s
    double acceleration[3]; // lunisolar acceleration, km/s^2, held constant
    double tb;              // reference time, on the scale of the receiver time
};

// Brings a time difference from an ephemeris reference time into the week.
double WeekCrossover(double d);

// Satellite clock error at t. Adds it (times the speed of light) to the L1
// pseudorange of meas when meas is given and returns t minus the error.
// Without an ephemeris nothing is corrected and t is returned.
double CorrectSatelliteClock(const GpsEphRecord *ephemeris, double t, MeasRecord *meas);

// Position and velocity of the satellite at the transmission time of a
// signal received at t (satellite-clock-corrected), in the Earth-fixed frame
// of the reception time. range is the first guess of the geometric range;
// when the receiver's Y and Z are both 0 (no position known) it is kept.
// Returns 0; returns 1, leaving out partly written, when there is no
// ephemeris, the transit time does not settle or the state is not finite
// (a corrupt ephemeris or range): the caller must not use such a satellite.
int32_t GpsSatellitePosition(int32_t prn, const GpsEphRecord *ephemeris, double t, double range,
                             const SatState *receiver, SatState *out);
// The same position (bit for bit) without the velocity, which the point
// position does not use: out's velocity is left as it was.
int32_t GpsSatellitePositionOnly(const GpsEphRecord *ephemeris, double t, double range, const SatState *receiver,
                                 SatState *out);

// Earth-fixed equations of motion (km, s) with the J2 term and the constant
// lunisolar acceleration.
void GlonassDerivatives(const double state[6], const double acceleration[3], double derivative[6]);

// Integrates the ephemeris state from tb to t in equal steps of at most
// step seconds. Returns 0 with position (m) and velocity (m/s); 1 with the
// message in ErrorText when t is more than 3600 s from tb (or not a number)
// or the integration does not end on t.
int32_t IntegrateGlonassOrbit(const GlonassEphemeris *ephemeris, double t, double step, double position[3],
                              double velocity[3]);

// Glonass satellite position at the transmission time of a signal received
// at t, rotated into the Earth-fixed frame of the reception time. Returns 0
// with X, Y, Z in out; 1 without an ephemeris, when the integration fails,
// the transit time does not settle or the position is not finite.
int32_t GlonassSatellitePosition(int32_t prn, const GlonassEphemeris *ephemeris, double t, double range,
                                 const SatState *receiver, SatState *out);

// Applies the Glonass satellite clock to a pseudorange (t as given to
// GlonassSatellitePosition) and removes whole light-seconds from a range
// that is more than 10 light-seconds from the nominal 25000 km.
double CorrectGlonassClock(const GlonassEphemeris *ephemeris, double t, double pseudorange);
