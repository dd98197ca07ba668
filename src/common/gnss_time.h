// The units of the GNSS time scales. Every system here (GPS, Galileo,
// BeiDou, QZSS, and GLONASS through its day) counts time as a week number
// and seconds into the week, so these are the only lengths the decoders,
// the navigation and the writers need. Integral, so that week arithmetic
// in int64 stays exact; a floating-point site converts explicitly.
#pragma once

#include <cmath>
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

// Whether two record times, each a whole number of milliseconds (header
// milliseconds times 0.001), lie at most (kInclusive) or less than `limit`
// seconds apart. Their difference as doubles is off by an ulp that depends
// on the time of week, which put a record exactly at an age limit (a
// position 5 s old, a clock model 30 s old) on one side of it at one time
// of week and on the other at another: an age that close to the limit is
// taken as the whole milliseconds it is. Any other is compared as it is,
// without a rounding on the epochs' hot path.
template <bool kInclusive>
inline bool AgeWithin(int32_t week, double seconds, int32_t fromWeek, double fromSeconds, double limit) {
    double age = std::fabs(SecondsBetween(week, seconds, fromWeek, fromSeconds));
    if (std::fabs(age - limit) < 1e-6) age = static_cast<double>(static_cast<int64_t>(age * 1000.0 + 0.5)) / 1000.0;
    return kInclusive ? age <= limit : age < limit;
}

// A receiver that has not yet set its time stamps its records with GPS week
// 0 and its seconds since power-on: no date stands for such a time (week 0
// would be January 1980, long before any receiver of these logs).
inline constexpr bool IsUnsetWeek(int64_t week) { return week == 0; }

// BeiDou time (BDT): week 0 began at GPS week 1356 (2006-01-01), and BDT
// runs 14 s behind GPS time.
inline constexpr int32_t kBdtWeekOffset = 1356;
inline constexpr int32_t kBdtSecondsBehindGps = 14;
