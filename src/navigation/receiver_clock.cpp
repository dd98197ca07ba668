// Receiver clock (and position) recomputation for one epoch: satellite
// clocks and orbits from the kept ephemerides, tropospheric correction,
// least-squares solution with single-satellite exclusion.
#include "navigation/receiver_clock.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "api/error_text.h"
#include "navigation/coordinates.h"
#include "navigation/least_squares.h"
#include "navigation/troposphere.h"
#include "oem4/ephemeris_list.h"

namespace {

constexpr double DEG_TO_RAD = 0.0174532925199;
constexpr double RAD_TO_DEG = 57.2957795132;
// The a-priori fallback to the previous fix has always converted with this
// rounding of pi; kept so that stored results do not shift.
constexpr double RAD_TO_DEG_FALLBACK = 180.0 / 3.141592654;
constexpr double ELEVATION_MASK = 10.0;      // degrees
constexpr double MIN_PSEUDORANGE = 100.0;    // metres
constexpr double RESIDUAL_LIMIT = 500.0;     // metres
constexpr int32_t LAST_GPS_PRN = 32;
constexpr int32_t MODE_POSITION = 1;
constexpr int32_t MODE_CLOCK = 2;
constexpr int32_t MODE_BOTH = 3;
constexpr uint8_t FLAG_POSITION = 0x01;

const GlonassEphemeris *NoGlonassEphemeris(int32_t, int32_t) { return nullptr; }
GlonassEphemerisLookup FindGlonass = NoGlonassEphemeris;

// Working storage of one call, static so that nothing is allocated per epoch.
MeasRecord Work[SOLVER_MAX_SATS];
SatState Sats[SOLVER_MAX_SATS];
MeasRecord UsedMeas[SOLVER_MAX_SATS];
SatState UsedSats[SOLVER_MAX_SATS];
int32_t Exclusions[SOLVER_MAX_SATS + 1];

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

void ClearEpochPosition(EpochRecord *epoch) {
    epoch->flags = static_cast<uint8_t>(epoch->flags & ~FLAG_POSITION);
    epoch->latitude = 0.0;
    epoch->longitude = 0.0;
    epoch->height = 0.0f;
}

// No consistent solution: the position is withdrawn so that nothing false
// reaches the observation file, and the next epoch starts afresh.
int32_t BadData(EpochRecord *epoch, int32_t mode) {
    if (mode == MODE_CLOCK) {
        SetErrorText("Error: Could not update clock shift, bad data");
    } else {
        if (mode == MODE_POSITION || mode == MODE_BOTH) {
            ClearEpochPosition(epoch);
            ClearPreviousFixNumbers();
        }
        SetErrorText("Error: Could not re-calculate position, bad data");
    }
    return 1;
}

} // namespace

FixState PreviousFix = {};

void SetGlonassEphemerisLookup(GlonassEphemerisLookup lookup) {
    FindGlonass = lookup != nullptr ? lookup : NoGlonassEphemeris;
}

int32_t RecomputeReceiverClock(EpochRecord *epoch, MeasRecord *meas, int32_t mode,
                               double latitude, double longitude, double height,
                               double *clockOffset) {
    const int32_t n = static_cast<int8_t>(epoch->satCount);
    if (n < 0 || n > SOLVER_MAX_SATS) {
        return 1;
    }
    const bool positionMode = mode == MODE_POSITION || mode == MODE_BOTH;
    const bool clockMode = mode == MODE_CLOCK || mode == MODE_BOTH;

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
        latitude = PreviousFix.latitude * RAD_TO_DEG_FALLBACK;
    }
    if (longitude == 0.0) {
        longitude = PreviousFix.longitude * RAD_TO_DEG_FALLBACK;
    }
    if (height == 0.0) {
        height = PreviousFix.height;
    }
    latitude *= DEG_TO_RAD;
    longitude *= DEG_TO_RAD;

    if (n > 0) {
        std::memcpy(Work, meas, static_cast<size_t>(n) * sizeof(MeasRecord));
    }
    SatState apriori = {};
    GeodeticToEcef(latitude, longitude, height, &apriori.x, &apriori.y, &apriori.z);

    const double receiverTime = epoch->receiverTime;
    const int32_t lookupTime = WholeSeconds(receiverTime);
    const double clockIn = Finite(*clockOffset) ? *clockOffset : 0.0;
    const double t = receiverTime - clockIn / SPEED_OF_LIGHT;

    int32_t excluded = 0;
    int32_t used = 0;
    auto exclude = [&](int32_t prn) {
        // PRN 0 would end the list early; it never names a usable satellite.
        if (prn != 0) {
            Exclusions[excluded++] = prn;
        }
    };

    for (int32_t j = 0; j < n; ++j) {
        MeasRecord &m = Work[j];
        SatState &sat = Sats[j];
        sat = SatState{};
        const int32_t prn = m.prn;
        // The comparison is written so that a pseudorange that is not a
        // number is refused with the untracked ones.
        const bool rangeUsable = std::fabs(m.l1Pseudorange) >= MIN_PSEUDORANGE &&
                                 Finite(m.l1Pseudorange);
        if (prn <= LAST_GPS_PRN) {
            const GpsEphRecord *eph = FindGpsEphemeris(prn, lookupTime);
            if (eph == nullptr || !rangeUsable) {
                exclude(prn);
                continue;
            }
            const double tSat = CorrectSatelliteClock(eph, t, &m);
            if (GpsSatellitePosition(prn, eph, tSat, m.l1Pseudorange - PreviousFix.clockOffset,
                                     &apriori, &sat) != 0 ||
                !Finite(m.l1Pseudorange)) {
                exclude(prn);
                continue;
            }
        } else {
            const GlonassEphemeris *eph = FindGlonass(prn, lookupTime);
            if (eph == nullptr || !rangeUsable) {
                exclude(prn);
                continue;
            }
            if (GlonassSatellitePosition(prn, eph, t, m.l1Pseudorange - PreviousFix.clockOffset,
                                         &apriori, &sat) != 0) {
                exclude(prn);
                continue;
            }
            m.l1Pseudorange = CorrectGlonassClock(eph, t, m.l1Pseudorange);
            if (!Finite(m.l1Pseudorange)) {
                exclude(prn);
                continue;
            }
        }

        double elevation = 0.0, azimuth = 0.0;
        ElevationAzimuth(&sat, &PreviousFix.receiver, PreviousFix.latitude, PreviousFix.longitude,
                         &elevation, &azimuth);
        // Without a previous fix there is no station to mask from.
        if (PreviousFix.latitude != 0.0 && PreviousFix.longitude != 0.0 &&
            elevation * RAD_TO_DEG < ELEVATION_MASK) {
            continue;
        }
        double range = m.l1Pseudorange;
        CorrectTroposphere(&sat, &range, PreviousFix.latitude, PreviousFix.longitude,
                           PreviousFix.height);
        m.l1Pseudorange = range;

        UsedMeas[used] = m;
        UsedSats[used] = sat;
        ++used;
    }
    Exclusions[excluded] = 0;

    const int32_t solved = SolvePositionClock(used, UsedMeas, Exclusions, UsedSats, &apriori.x,
                                              &apriori.y, &apriori.z, clockOffset);
    if (solved == SOLVE_TOO_FEW_SATS) {
        // Too few satellites is an ordinary outcome (e.g. just after start),
        // not an error worth a message: the epoch simply carries no solution.
        if (positionMode) {
            ClearEpochPosition(epoch);
            ClearPreviousFixNumbers();
        }
        if (clockMode) {
            epoch->clockOffset = 0.0;
            epoch->correctedTime = epoch->receiverTime;
            PreviousFix.clockOffset = 0.0;
        }
        *clockOffset = 0.0;
        return 0;
    }
    if (solved != SOLVE_OK) {
        return 1;
    }

    const int32_t checked = SolveWithExclusion(used, UsedMeas, Exclusions, UsedSats,
                                               RESIDUAL_LIMIT, &apriori.x, &apriori.y,
                                               &apriori.z, clockOffset);
    if (checked == EXCLUDE_SOLVE_FAILED) {
        return 1;
    }
    if (checked == EXCLUDE_BAD_DATA) {
        return BadData(epoch, mode);
    }

    // A solution that is not finite must never reach the observation file
    // or seed the next epoch.
    double solvedLatitude = 0.0, solvedLongitude = 0.0, solvedHeight = 0.0;
    if (!Finite(apriori.x) || !Finite(apriori.y) || !Finite(apriori.z) || !Finite(*clockOffset) ||
        EcefToGeodetic(apriori.x, apriori.y, apriori.z, WGS84_A, WGS84_B, &solvedLatitude,
                       &solvedLongitude, &solvedHeight) != 0 ||
        !Finite(solvedLatitude) || !Finite(solvedLongitude) ||
        !(std::fabs(solvedHeight) <= FLT_MAX)) {
        return BadData(epoch, mode);
    }

    PreviousFix.latitude = solvedLatitude;
    PreviousFix.longitude = solvedLongitude;
    PreviousFix.height = solvedHeight;
    PreviousFix.clockOffset = *clockOffset;
    PreviousFix.receiver = apriori;

    if (positionMode) {
        epoch->flags = static_cast<uint8_t>(epoch->flags | FLAG_POSITION);
        epoch->latitude = solvedLatitude * RAD_TO_DEG;
        epoch->longitude = solvedLongitude * RAD_TO_DEG;
        epoch->height = static_cast<float>(solvedHeight);
    }
    if (clockMode) {
        epoch->clockOffset = *clockOffset;
        epoch->correctedTime = epoch->receiverTime - *clockOffset / SPEED_OF_LIGHT;
    }
    return 0;
}
