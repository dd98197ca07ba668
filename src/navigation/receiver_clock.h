// Recomputation of an epoch's receiver clock offset (and position) from a
// single-frequency least-squares point position.
#pragma once

#include <cstdint>

#include "common/lasting_state.h"
#include "common/sat_state.h"
#include "navigation/coordinates.h"
#include "navigation/orbit.h"
#include "navigation/troposphere.h"
#include "threadbuf/payloads.h"

// Satellites below this elevation (degrees) seen from the previous fix are
// left out, and the tangent of that elevation.
inline constexpr double kElevationMask = 10.0;
inline constexpr double kElevationMaskTangent = 0.17632698070809535;

// The last successful solution, PreviousFix, is kept with the other state
// that outlives a conversion (common/lasting_state.h).

// Where Glonass ephemerides come from. The library's own Glonass list is
// never filled, so a solver without a lookup finds none; an ephemeris
// source (or a test) may give one.
using GlonassEphemerisLookup = const GlonassEphemeris *(*)(int32_t prn, int32_t time);

// The solver's own state, owned by the conversion and passed to every call:
// what it keeps of its stations from call to call (each answer under the
// exact bits of its inputs, so nothing kept changes a result) and where its
// Glonass ephemerides come from. Zero-initialised: nothing kept, no Glonass
// lookup. The last solution, the working storage and the matrices are
// module-level, as the library has always had them: the last solution
// seeds the next conversion too.
struct SolverState {
    KeptEcef apriori;    // the a-priori position of the epoch
    KeptStation station; // the previous fix, station of the mask and of the troposphere
    GlonassEphemerisLookup findGlonass;
    // Epochs left without a clock offset and position for want of four GPS
    // satellites with an ephemeris: a success, told once at the end.
    uint32_t tooFewSatellites;
};

// epoch and meas are the staged records of one epoch (meas holds
// epoch->satCount records, which are not changed). mode 1 = position only,
// 2 = clock only, 3 = position and clock. latitude and longitude in degrees,
// height in metres; a value exactly 0 (or not a number) is taken from
// PreviousFix. Returns 0 on success with the clock offset (metres) in
// clockOffset; 1 on failure with the text to report in ErrorText (except for
// a satellite count above 24, which writes nothing). In mode 3 a success has
// already written the epoch's position, flag bit 0, clock offset and
// corrected time. Fewer than 4 usable GPS satellites is a success with
// clock offset 0 and the epoch's position cleared.
// solver may be nullptr: the call then keeps nothing and finds no Glonass
// ephemeris.
int32_t RecomputeReceiverClock(SolverState *solver, EpochRecord *epoch, MeasRecord *meas, int32_t mode, double latitude,
                               double longitude, double height, double *clockOffset);
