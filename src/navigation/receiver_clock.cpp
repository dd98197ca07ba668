// Receiver clock (and position) recomputation for one epoch: satellite
// clocks and orbits from the kept ephemerides, tropospheric correction,
// least-squares solution with single-satellite exclusion.
#include "navigation/receiver_clock.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "common/error_text.h"
#include "ephemeris/ephemeris_list.h"
#include "navigation/coordinates.h"
#include "navigation/least_squares.h"
#include "navigation/troposphere.h"

namespace {

constexpr double kDegToRad = 0.0174532925199;
constexpr double kRadToDeg = 57.2957795132;
// The a-priori fallback to the previous fix has always converted with this
// rounding of pi; kept so that stored results do not shift.
constexpr double kRadToDegFallback = 180.0 / 3.141592654;
constexpr double kMinPseudorange = 100.0; // metres
// A GPS or GLONASS satellite is at most 2.6e7 m away, and 1e8 m leaves
// room for a receiver clock 200 ms off besides. A larger range (a damaged
// record) would move the first solution so far that every satellite lies
// in one direction, and the singular normal matrix would fail the epoch
// before the exclusion step could drop it.
constexpr double kMaxPseudorange = 1e8;  // metres
constexpr double kResidualLimit = 500.0; // metres
constexpr int32_t kLastGpsPrn = 32;
constexpr int32_t kModePosition = 1;
constexpr int32_t kModeClock = 2;
constexpr int32_t kModeBoth = 3;

// Working storage of one call, on its stack: nothing is allocated per
// epoch, and nothing of one call outlives it.
struct Working {
    MeasRecord work[MAXCHAN];
    SatState sats[MAXCHAN];
    MeasRecord usedMeas[MAXCHAN];
    SatState usedSats[MAXCHAN];
    int32_t exclusions[MAXCHAN + 1];
};

bool Finite(double v) { return std::isfinite(v); }

// Receiver time in whole seconds for the ephemeris lookup, truncated toward
// zero. A time that does not fit is looked up as 0, which finds nothing
// useful rather than converting out of range.
int32_t WholeSeconds(double t) {
    if (!(std::fabs(t) < 2147483647.0)) {
        return 0;
    }
    return static_cast<int32_t>(t);
}

void ClearPreviousFixNumbers() {
    PreviousFix.latitude = 0.0;
    PreviousFix.longitude = 0.0;
    PreviousFix.height = 0.0;
    PreviousFix.clockOffset = 0.0;
}

// No consistent solution: the position is withdrawn so that nothing false
// reaches the observation file, and the next epoch starts afresh.
int32_t BadData(EpochRecord *epoch, int32_t mode) {
    if (mode == kModeClock) {
        SetErrorText("Error: Could not update clock shift, bad data");
    } else {
        if (mode == kModePosition || mode == kModeBoth) {
            ClearEpochPosition(epoch);
            ClearPreviousFixNumbers();
        }
        SetErrorText("Error: Could not re-calculate position, bad data");
    }
    return 1;
}

// Step 1, the a-priori position: the given one (degrees, metres), where a
// value is exactly 0 or not a number the previous fix's, as Earth-fixed
// X, Y, Z.
void AprioriPosition(SolverState *solver, double latitude, double longitude, double height, SatState *apriori) {
    // A position that is not a number is no position at all.
    if (!Finite(latitude)) {
        latitude = 0.0;
    }
    if (!Finite(longitude)) {
        longitude = 0.0;
    }
    if (!Finite(height)) {
        height = 0.0;
    }
    if (latitude == 0.0) {
        latitude = PreviousFix.latitude * kRadToDegFallback;
    }
    if (longitude == 0.0) {
        longitude = PreviousFix.longitude * kRadToDegFallback;
    }
    if (height == 0.0) {
        height = PreviousFix.height;
    }
    *apriori = SatState{};
    GeodeticToEcef(&solver->apriori, latitude * kDegToRad, longitude * kDegToRad, height, &apriori->x, &apriori->y,
                   &apriori->z);
}

// Step 2a, one satellite: its ephemeris, clock correction and position at
// transmission. False when the satellite cannot take part (no ephemeris, no
// usable pseudorange, no orbit); m's pseudorange is then left as it is.
bool PlaceSatellite(const SolverState *solver, MeasRecord &m, SatState &sat, double t, int32_t lookupTime,
                    int32_t lookupWeek, const SatState *apriori) {
    const int32_t prn = m.prn;
    // The comparisons are written so that a pseudorange that is not a
    // number is refused with the untracked ones.
    const double magnitude = std::fabs(m.l1Pseudorange);
    const bool rangeUsable = magnitude >= kMinPseudorange && magnitude < kMaxPseudorange;
    if (prn <= kLastGpsPrn) {
        const GpsEphRecord *eph = FindGpsEphemeris(prn, lookupTime, lookupWeek);
        if (eph == nullptr || !rangeUsable) {
            return false;
        }
        const double tSat = CorrectSatelliteClock(eph, t, &m);
        return GpsSatellitePositionOnly(eph, tSat, m.l1Pseudorange - PreviousFix.clockOffset, apriori, &sat) == 0 &&
               Finite(m.l1Pseudorange);
    }
    const GlonassEphemeris *eph = solver->findGlonass != nullptr ? solver->findGlonass(prn, lookupTime) : nullptr;
    if (eph == nullptr || !rangeUsable) {
        return false;
    }
    if (GlonassSatellitePosition(prn, eph, t, m.l1Pseudorange - PreviousFix.clockOffset, apriori, &sat) != 0) {
        return false;
    }
    m.l1Pseudorange = CorrectGlonassClock(eph, t, m.l1Pseudorange);
    return Finite(m.l1Pseudorange);
}

// Step 2, satellite selection and corrections: every satellite of the
// epoch's copy in w.work that has a position goes, with its tropospheric
// correction, to w.usedMeas and w.usedSats unless it is below the
// elevation mask; the PRNs of those without a position go to the
// 0-terminated w.exclusions. Returns the number used.
int32_t SelectSatellites(SolverState *solver, Working &w, int32_t n, double t, int32_t lookupTime, int32_t lookupWeek,
                         const SatState *apriori) {
    int32_t excluded = 0;
    int32_t used = 0;
    for (int32_t j = 0; j < n; ++j) {
        MeasRecord &m = w.work[j];
        SatState &sat = w.sats[j];
        sat = SatState{};
        if (!PlaceSatellite(solver, m, sat, t, lookupTime, lookupWeek, apriori)) {
            // PRN 0 would end the list early; it never names a usable satellite.
            if (m.prn != 0) {
                w.exclusions[excluded++] = m.prn;
            }
            continue;
        }

        // Without a previous fix there is no station to mask from. The
        // elevation itself is not kept: the tropospheric correction computes
        // its own, from the station of the previous fix's coordinates.
        if (PreviousFix.latitude != 0.0 && PreviousFix.longitude != 0.0 &&
            BelowElevationMask(&solver->station.trig, &sat, &PreviousFix.receiver, PreviousFix.latitude,
                               PreviousFix.longitude, kElevationMask, kRadToDeg, kElevationMaskTangent)) {
            continue;
        }
        double range = m.l1Pseudorange;
        CorrectTroposphere(&solver->station, &sat, &range, PreviousFix.latitude, PreviousFix.longitude,
                           PreviousFix.height);
        m.l1Pseudorange = range;

        w.usedMeas[used] = m;
        w.usedSats[used] = sat;
        ++used;
    }
    w.exclusions[excluded] = 0;
    return used;
}

// Too few satellites is an ordinary outcome (e.g. just after start), not an
// error worth a message: the epoch simply carries no solution.
void StoreNoSolution(EpochRecord *epoch, int32_t mode, double *clockOffset) {
    if (mode == kModePosition || mode == kModeBoth) {
        ClearEpochPosition(epoch);
        ClearPreviousFixNumbers();
    }
    if (mode == kModeClock || mode == kModeBoth) {
        epoch->clockOffset = 0.0;
        epoch->correctedTime = epoch->receiverTime;
        PreviousFix.clockOffset = 0.0;
    }
    *clockOffset = 0.0;
}

// Step 4, validation: a solution that is not finite must never reach the
// observation file or seed the next epoch. True with the geodetic position
// (radians, metres) when it is sound.
bool ValidSolution(const SatState &receiver, double clockOffset, double *latitude, double *longitude, double *height) {
    return Finite(receiver.x) && Finite(receiver.y) && Finite(receiver.z) && Finite(clockOffset) &&
           EcefToGeodetic(receiver.x, receiver.y, receiver.z, kWgs84A, kWgs84B, latitude, longitude, height) == 0 &&
           Finite(*latitude) && Finite(*longitude) && std::fabs(*height) <= FLT_MAX;
}

// Step 5, storing: the solution seeds the next epoch and, as the mode asks,
// fills the epoch's position and clock.
void StoreSolution(EpochRecord *epoch, int32_t mode, const SatState &receiver, double clockOffset, double latitude,
                   double longitude, double height) {
    PreviousFix.latitude = latitude;
    PreviousFix.longitude = longitude;
    PreviousFix.height = height;
    PreviousFix.clockOffset = clockOffset;
    PreviousFix.receiver = receiver;

    if (mode == kModePosition || mode == kModeBoth) {
        epoch->flags = static_cast<uint8_t>(epoch->flags | kEpochFlagPosition);
        epoch->latitude = latitude * kRadToDeg;
        epoch->longitude = longitude * kRadToDeg;
        epoch->height = static_cast<float>(height);
    }
    if (mode == kModeClock || mode == kModeBoth) {
        epoch->clockOffset = clockOffset;
        epoch->correctedTime = epoch->receiverTime - clockOffset / kSpeedOfLight;
    }
}

} // namespace

int32_t RecomputeReceiverClock(SolverState *solver, EpochRecord *epoch, MeasRecord *meas, int32_t mode, double latitude,
                               double longitude, double height, double *clockOffset) {
    const int32_t n = static_cast<int8_t>(epoch->satCount);
    if (n < 0 || n > static_cast<int32_t>(MAXCHAN)) {
        return 1;
    }
    SolverState unkept;
    if (solver == nullptr) {
        unkept = SolverState{};
        solver = &unkept;
    }
    SatState apriori;
    AprioriPosition(solver, latitude, longitude, height, &apriori);
    Working w;

    // The epoch's measurements are not changed: the corrections work on a copy.
    if (n > 0) {
        std::memcpy(w.work, meas, static_cast<size_t>(n) * sizeof(MeasRecord));
    }
    const double receiverTime = epoch->receiverTime;
    const double clockIn = Finite(*clockOffset) ? *clockOffset : 0.0;
    const double t = receiverTime - clockIn / kSpeedOfLight;
    // The epoch's week keeps last week's ephemerides of the same toe out of
    // a log longer than a week.
    const int32_t used = SelectSatellites(solver, w, n, t, WholeSeconds(receiverTime), epoch->week, &apriori);

    // Step 3, the solution, then the one with a satellite excluded where a
    // residual is too large.
    const int32_t solved =
        SolvePositionClock(used, w.usedMeas, w.exclusions, w.usedSats, &apriori.x, &apriori.y, &apriori.z, clockOffset);
    if (solved == SOLVE_TOO_FEW_SATS) {
        ++solver->tooFewSatellites;
        StoreNoSolution(epoch, mode, clockOffset);
        return 0;
    }
    if (solved != SOLVE_OK) {
        return 1;
    }
    const int32_t checked = SolveWithExclusion(used, w.usedMeas, w.exclusions, w.usedSats, kResidualLimit, &apriori.x,
                                               &apriori.y, &apriori.z, clockOffset);
    if (checked == EXCLUDE_SOLVE_FAILED) {
        return 1;
    }
    if (checked == EXCLUDE_BAD_DATA) {
        return BadData(epoch, mode);
    }

    double solvedLatitude = 0.0, solvedLongitude = 0.0, solvedHeight = 0.0;
    if (!ValidSolution(apriori, *clockOffset, &solvedLatitude, &solvedLongitude, &solvedHeight)) {
        return BadData(epoch, mode);
    }
    StoreSolution(epoch, mode, apriori, *clockOffset, solvedLatitude, solvedLongitude, solvedHeight);
    return 0;
}
