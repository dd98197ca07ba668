// The state that deliberately outlives a conversion.
//
// Everything else a conversion works with is set up again by ConvertFile
// (the driver's conversion record, the port, the ephemeris list, the
// counters). These values are zero when the library is loaded and nothing
// resets them after: they belong to the session of the host that loaded
// it, across every conversion it runs.
#pragma once

#include <cstdint>

#include "common/sat_state.h"

// The last successful clock solution (RecomputeReceiverClock). It seeds the
// next epoch's a-priori position where the epoch has none, and is the
// station of the elevation mask and of the tropospheric correction; a new
// conversion starts from where the last one ended.
struct FixState {
    double latitude;    // radians
    double longitude;   // radians
    double height;      // ellipsoidal, metres
    double clockOffset; // metres
    SatState receiver;  // only X, Y, Z are read
};
extern FixState PreviousFix;

// The number of the next mark decoded since load (the MARKTIME decoder
// numbers them with it, the first being 1): numbers stay unique across the
// files of one session. The counter itself stays private to this module, so
// nothing but the start of a new session (below) can rewind it.
uint32_t NextMarkNumber();

// Forgets the last solution and restarts the mark numbers at 1, for a
// program whose every conversion is a session of its own: the command,
// whose outputs for a log must not depend on the logs it converted before
// it in the same process (with -j they are converted in processes of
// their own).
void StartNewSession();
