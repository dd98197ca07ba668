// The list of decoded GPS ephemerides kept for the clock recomputation,
// with per-PRN lookup caches; a separate Glonass list that no decoder fills.
// The ephemeris decoders fill it and the navigation searches it, so it sits
// below both and knows neither.
#pragma once

#include <cstdint>

#include "threadbuf/payloads.h"

// Ephemerides received in this conversion while recomputeClock was set,
// counted whether or not the list took them.
extern int32_t EphemerisListCount;

// Counts the ephemeris in EphemerisListCount, then keeps it. 0 when added or
// an equal (PRN, toe) entry exists; 1 when out of memory ("Error: Not enough
// memory" in ErrorText).
int32_t AddEphemeris(const GpsEphRecord &ephemeris);
// The kept ephemeris that suits the time (whole seconds of week) best, or null.
const GpsEphRecord *FindGpsEphemeris(int32_t prn, int32_t time);
// Same contract over the Glonass list; this library never fills it.
const GpsEphRecord *FindGlonassEphemeris(int32_t prn, int32_t time);
// Releases every entry, forgets the caches and sets the count to 0.
void ClearEphemerisList();
