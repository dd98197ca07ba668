// The units of the GNSS time scales. Every system here (GPS, Galileo,
// BeiDou, QZSS, and GLONASS through its day) counts time as a week number
// and seconds into the week, so these are the only lengths the decoders,
// the navigation and the writers need. Integral, so that week arithmetic
// in int64 stays exact; a floating-point site converts explicitly.
#pragma once

#include <cstdint>

inline constexpr int32_t kSecondsPerDay = 86400;
inline constexpr int32_t kSecondsPerWeek = 7 * kSecondsPerDay;
inline constexpr int32_t kSecondsPerHalfWeek = kSecondsPerWeek / 2;

// Seconds from (fromWeek, fromSeconds) to (week, seconds). Within one week
// exactly seconds - fromSeconds: a time compared by its seconds of week
// alone would take a record of another week for one of this week, and put
// a week between the two sides of a week's end.
inline double SecondsBetween(int32_t week, double seconds, int32_t fromWeek, double fromSeconds) {
    const double within = seconds - fromSeconds;
    if (week == fromWeek) return within; // every epoch but those of a week's end
    return static_cast<double>(static_cast<int64_t>(week) - fromWeek) * kSecondsPerWeek + within;
}

// A receiver that has not yet set its time stamps its records with GPS week
// 0 and its seconds since power-on: no date stands for such a time (week 0
// would be January 1980, long before any receiver of these logs).
inline constexpr bool IsUnsetWeek(int64_t week) { return week == 0; }

// BeiDou time (BDT): week 0 began at GPS week 1356 (2006-01-01), and BDT
// runs 14 s behind GPS time.
inline constexpr int32_t kBdtWeekOffset = 1356;
inline constexpr int32_t kBdtSecondsBehindGps = 14;
