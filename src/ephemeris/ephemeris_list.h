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

// For an ephemeris or a lookup whose GPS week is not known (a week of 0,
// logged before the receiver knew it, is taken as unknown too).
inline constexpr int32_t kAnyWeek = -1;
// Counts the ephemeris in EphemerisListCount, then keeps it. With the GPS
// week and seconds of week at which it was received (the record's time),
// the week of its toe is kept too: the one that puts the toe nearest that
// time. 0 when added or an equal entry exists (the same PRN and toe, and
// the same toe week where both are known); 1 when out of memory ("Error:
// Not enough memory" in ErrorText).
int32_t AddEphemeris(const GpsEphRecord &ephemeris, int32_t receivedWeek = kAnyWeek, int32_t receivedSeconds = 0);
// The satellite's latest broadcast says it is not to be used (bad health):
// its kept ephemerides are not found until AddEphemeris takes a healthy one
// of it again. Its range would otherwise be solved with the orbit and clock
// of before the fault.
void MarkGpsSatelliteUnhealthy(int32_t prn);
// The kept ephemeris that suits the time (whole seconds of week) best, or
// null. Given the time's GPS week, an entry whose toe (of a known week) lies
// half a week or more from the time is not taken: toes repeat from week to
// week, and in a log longer than a week last week's orbit would otherwise be
// found for this week's epochs.
const GpsEphRecord *FindGpsEphemeris(int32_t prn, int32_t time, int32_t week = kAnyWeek);
// Same contract over the Glonass list; this library never fills it.
const GpsEphRecord *FindGlonassEphemeris(int32_t prn, int32_t time);
// Releases every entry, forgets the caches and sets the count to 0.
void ClearEphemerisList();
