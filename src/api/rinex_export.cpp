#include "api/rinex_export.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/error_text.h"
#include "common/physics.h"
#include "navigation/coordinates.h"
#include "oem4/oem4_decoder.h"
#include "oem4/screening.h"
#include "oem4/signals.h"
#include "output/rinex_file.h"

namespace {

constexpr double kDegreesToRadians = 3.141592653589793 / 180.0;
constexpr uint8_t kLockLost = 1; // RINEX loss-of-lock bit 0
constexpr std::size_t kSystems = 3;
constexpr std::size_t kNumbers = 64;

constexpr uint32_t kFirstGlonassPrn = 38;
constexpr uint32_t kLastGlonassPrn = 61;

// Each satellite's lock times when it was last observed, to mark the phases
// whose lock restarted since: the rule of the range decoder's slip reports.
struct LockEntry {
    bool seen;
    uint8_t l2Group; // kRinexNoL2 when the satellite had no L2
    double l1LockTime;
    double l2LockTime;
};

std::array<std::array<LockEntry, kNumbers>, kSystems> g_locks;
RinexEpoch g_epoch;
char g_marker[64];
bool g_hasPosition = false;
double g_position[3];

std::size_t SystemSlot(char system) { return system == 'G' ? 0 : system == 'R' ? 1 : 2; }

void CopyField(char *destination, std::size_t size, const char *source) {
    std::snprintf(destination, size, "%s", source != nullptr ? source : "");
}

} // namespace

bool RinexSatelliteOfSystem(uint32_t system, uint32_t prn, char *letter, uint8_t *number) {
    switch (system) {
    case SYS_GPS:
        if (prn < 1 || prn > 99) return false;
        *letter = 'G';
        *number = static_cast<uint8_t>(prn);
        return true;
    case SYS_GLONASS:
        // Logged as slot + 37.
        if (prn < kFirstGlonassPrn || prn > kFirstGlonassPrn + 62) return false;
        *letter = 'R';
        *number = static_cast<uint8_t>(prn - kFirstGlonassPrn + 1);
        return true;
    case SYS_SBAS:
        if (prn < kFirstSbasPrn || prn > kLastSbasPrn) return false;
        *letter = 'S';
        *number = static_cast<uint8_t>(prn - 100);
        return true;
    default: return false;
    }
}

bool RinexSatelliteOf(uint32_t prn, char *system, uint8_t *number) {
    if (prn >= 1 && prn <= 32) {
        *system = 'G';
        *number = static_cast<uint8_t>(prn);
    } else if (prn >= kFirstGlonassPrn && prn <= kLastGlonassPrn) {
        *system = 'R';
        *number = static_cast<uint8_t>(prn - kFirstGlonassPrn + 1);
    } else if (prn >= kFirstSbasPrn && prn <= kLastSbasPrn) {
        *system = 'S';
        *number = static_cast<uint8_t>(prn - 100);
    } else {
        return false;
    }
    return true;
}

int32_t OpenRinexExport(const char *obsPath, const char *navPath, const char *markerName) {
    g_locks = {};
    g_hasPosition = false;
    CopyField(g_marker, sizeof g_marker, markerName);
    if (OpenRinexObs(obsPath) != 0) return 1;
    if (OpenRinexNav(navPath) != 0) {
        char reason[kErrorTextSize];
        std::memcpy(reason, ErrorText, sizeof reason);
        DiscardRinexObs();
        std::memcpy(ErrorText, reason, sizeof reason);
        return 1;
    }
    return 0;
}

// The RINEX L2 group of a signal: GPS P(Y) (and the older receivers' L2
// coding) and GLONASS P first, GPS L2C and GLONASS C/A second.
uint8_t L2GroupOf(uint32_t system, uint32_t signal) {
    if (system == SYS_GPS && signal == kSignalGpsL2C) return kRinexL2Second;
    if (system == SYS_GLONASS && signal == kSignalL2CodeCA) return kRinexL2Second;
    return kRinexL2First;
}

int32_t ExportRinexEpoch(const EpochRecord *epoch, const MeasRecord *meas, const TrackingRecord *tracking,
                         int32_t count, const EpochScreening *screening) {
    g_epoch.week = epoch->week;
    g_epoch.seconds = epoch->receiverTime;
    g_epoch.clockOffset = epoch->clockOffset / kSpeedOfLight;
    g_epoch.count = 0;
    if (!g_hasPosition && (epoch->flags & kEpochFlagPosition) != 0) {
        GeodeticToEcef(epoch->latitude * kDegreesToRadians, epoch->longitude * kDegreesToRadians,
                       static_cast<double>(epoch->height), &g_position[0], &g_position[1], &g_position[2]);
        g_hasPosition = std::isfinite(g_position[0]) && std::isfinite(g_position[1]) && std::isfinite(g_position[2]);
    }
    // The screening describes this epoch when it was made for it.
    const bool screened = screening != nullptr && screening->time == epoch->receiverTime &&
                          screening->count == static_cast<uint32_t>(count);
    for (int32_t i = 0; i < count && g_epoch.count < kRinexMaxSatellites; ++i) {
        const MeasRecord &m = meas[i];
        const TrackingRecord &t = tracking[i];
        RinexSatObs s{};
        s.frequency = kRinexNoFrequency;
        const bool hasL2 = (t.signalFlags & kTrackingL2Stored) != 0;
        if (screened) {
            const ScreenedSatellite &sat = screening->satellites[i];
            if (!RinexSatelliteOfSystem(sat.system, sat.prn, &s.system, &s.number)) continue;
            if (sat.system == SYS_GLONASS && sat.glonassChannel != kNoGlonassChannel) {
                s.frequency = sat.glonassChannel;
            }
            if (hasL2 && sat.l2Signal != kNoL2Signal) {
                s.l2Group = L2GroupOf(sat.system, sat.l2Signal);
                s.s2 = sat.l2Cno;
            }
        } else {
            if (!RinexSatelliteOf(t.prn, &s.system, &s.number)) continue;
            if (hasL2) s.l2Group = kRinexL2First;
        }
        s.c1 = m.l1Pseudorange;
        s.l1 = -m.l1Phase;
        s.d1 = m.l1Doppler;
        s.s1 = t.l1Cno;
        if (s.l2Group != kRinexNoL2) {
            s.c2 = m.l2Pseudorange;
            s.l2 = -m.l2Phase;
        }
        LockEntry &lock = g_locks[SystemSlot(s.system)][s.number % kNumbers];
        if (lock.seen) {
            if (t.l1LockTime < lock.l1LockTime) s.lli1 = kLockLost;
            // An L2 lock that appears already grown on a satellite tracked
            // without that L2 signal restarted too.
            if (s.l2Group != kRinexNoL2 &&
                (lock.l2Group == s.l2Group ? t.l2LockTime < lock.l2LockTime : t.l2LockTime != 0.0)) {
                s.lli2 = kLockLost;
            }
        }
        lock = LockEntry{true, s.l2Group, t.l1LockTime, s.l2Group != kRinexNoL2 ? t.l2LockTime : 0.0};
        g_epoch.sats[g_epoch.count++] = s;
    }
    return WriteRinexObsEpoch(&g_epoch);
}

int32_t ExportRinexMark(const MarkRecord *mark) {
    return WriteRinexEvent(static_cast<int32_t>(mark->week), mark->time, mark->markNumber);
}

int32_t ExportRinexEphemeris(const GpsEphRecord *ephemeris, int32_t week, double seconds) {
    return WriteRinexNavEphemeris(ephemeris, week, seconds);
}

void ExportRinexPosition(const PositionRecord *position) {
    if (g_hasPosition) return;
    GeodeticToEcef(position->latitude * kDegreesToRadians, position->longitude * kDegreesToRadians, position->height,
                   &g_position[0], &g_position[1], &g_position[2]);
    g_hasPosition = std::isfinite(g_position[0]) && std::isfinite(g_position[1]) && std::isfinite(g_position[2]);
}

int32_t CloseRinexExport(const Oem4Decoder *port) {
    char receiverType[32] = "NOVATEL";
    RinexObsHeader obs{};
    obs.markerName = g_marker;
    obs.receiverNumber = "";
    obs.receiverType = receiverType;
    obs.receiverVersion = "";
    if (port != nullptr && port->receiverVersion.valid != 0) {
        std::snprintf(receiverType, sizeof receiverType, "NOVATEL %s", port->receiverVersion.hardware);
        obs.receiverNumber = port->receiverVersion.serial;
        obs.receiverVersion = port->receiverVersion.software;
    }
    obs.hasPosition = g_hasPosition;
    obs.x = g_position[0];
    obs.y = g_position[1];
    obs.z = g_position[2];

    RinexNavHeader nav{};
    if (port != nullptr && port->ionUtc.valid != 0) {
        const IonUtcParameters &p = port->ionUtc;
        obs.hasLeapSeconds = true;
        obs.leapSeconds = p.leapSeconds;
        nav.hasIonUtc = true;
        for (int i = 0; i < 4; ++i) {
            nav.alpha[i] = p.alpha[i];
            nav.beta[i] = p.beta[i];
        }
        nav.utcA0 = p.utcA0;
        nav.utcA1 = p.utcA1;
        nav.utcReferenceTime = static_cast<int32_t>(p.utcReferenceTime);
        nav.utcReferenceWeek = static_cast<int32_t>(p.utcWeek);
        nav.leapSeconds = p.leapSeconds;
        nav.futureLeapSeconds = p.futureLeapSeconds;
        nav.leapWeek = static_cast<int32_t>(p.leapWeek);
        nav.leapDay = static_cast<int32_t>(p.leapDay);
    }
    // Both files are finished even when the first fails; the first failure
    // is the one reported.
    int32_t result = CloseRinexObs(&obs);
    char reason[kErrorTextSize];
    std::memcpy(reason, ErrorText, sizeof reason);
    if (CloseRinexNav(&nav) != 0 && result == 0) {
        result = 1;
    } else if (result != 0) {
        std::memcpy(ErrorText, reason, sizeof reason);
    }
    return result;
}

void DiscardRinexExport() {
    DiscardRinexObs();
    DiscardRinexNav();
}
