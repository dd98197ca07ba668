// Writers of the RINEX 3.04 observation file (BASE.obs) and GPS navigation
// file (BASE.nav) that a conversion writes beside, or instead of, the host's
// files when asked to.
//
// Both files begin with a header that depends on the whole log (the time of
// the first and last epoch, the interval, the signals and GLONASS channels
// seen, the receiver, the leap seconds), while the log is read only once.
// The records are therefore written to a scratch stream as they come and
// placed behind the header when the file is closed.
//
// The observation writer keeps the last few epochs back for a moment so
// that a camera event (epoch flag 5) that the receiver logs a little after
// the epochs around it still lands in time order among them.
//
// Every function returns 0 on success and 1 on failure with the message in
// ErrorText: "Error: Unable to open %s" or "Error: Unable to write to %s"
// with the file's path. One conversion at a time uses the writers.
#pragma once

#include <cstdint>

#include "common/broadcast_ephemeris.h"
#include "threadbuf/payloads.h"

inline constexpr int32_t kRinexMaxSatellites = 48;
inline constexpr int8_t kRinexNoFrequency = -128;

// Which L2 signal of a satellite is stored: the first or the second of the
// system's two L2 observation groups (GPS: P(Y) codeless as C2W L2W S2W,
// L2C as C2L L2L S2L; GLONASS: P as C2P L2P S2P, C/A as C2C L2C S2C).
inline constexpr uint8_t kRinexNoL2 = 0;
inline constexpr uint8_t kRinexL2First = 1;
inline constexpr uint8_t kRinexL2Second = 2;

// One satellite of an epoch, values as RINEX gives them: phases in cycles
// with the sign of RINEX (the negated accumulated Doppler range), Doppler
// in Hz, signal strength in dB-Hz. A value of 0 is "not observed" and
// leaves its field blank.
struct RinexSatObs {
    char system;      // 'G' GPS, 'R' GLONASS, 'S' SBAS
    uint8_t number;   // PRN, GLONASS slot, or SBAS PRN minus 100
    int8_t frequency; // GLONASS frequency channel -7..+6, else kRinexNoFrequency
    uint8_t l2Group;  // kRinexNoL2, kRinexL2First or kRinexL2Second
    uint8_t lli1;     // loss-of-lock indicator of the L1 phase (bit 0: lock lost)
    uint8_t lli2;     // the same for the L2 phase
    double c1, l1, d1, s1;
    double c2, l2, s2;
};

struct RinexEpoch {
    int32_t week;       // GPS week
    double seconds;     // receiver time, seconds of week
    double clockOffset; // receiver clock offset, seconds; 0 when unknown
    int32_t count;
    RinexSatObs sats[kRinexMaxSatellites];
};

// What the observation header needs from outside the records. Texts may be
// empty or null; too long texts are cut to their field.
struct RinexObsHeader {
    const char *markerName;
    const char *receiverNumber;
    const char *receiverType;
    const char *receiverVersion;
    bool hasPosition;
    double x, y, z; // approximate marker position, WGS 84 ECEF metres
    bool hasLeapSeconds;
    int32_t leapSeconds;
};

int32_t OpenRinexObs(const char *path);
// Takes one observation epoch (its satellites beyond kRinexMaxSatellites are
// not written, which the caller prevents).
int32_t WriteRinexObsEpoch(const RinexEpoch *epoch);
// A camera event at GPS time (week, seconds): an epoch flag 5 record and a
// COMMENT record with the mark's number.
int32_t WriteRinexEvent(int32_t week, double seconds, uint32_t markNumber);
// Writes the held-back epochs, the header and the records, and closes the
// file. Also to be called after a failed write: what can be written is.
int32_t CloseRinexObs(const RinexObsHeader *header);
// Closes without writing the file (a conversion that failed to start).
void DiscardRinexObs();

// The navigation header's optional records: the log's IONUTC record, and
// the ionosphere and time records of the other systems (may be null).
struct RinexNavHeader {
    bool hasIonUtc;
    double alpha[4];
    double beta[4];
    double utcA0, utcA1;
    int32_t utcReferenceTime; // tot, seconds of the UTC reference week
    int32_t utcReferenceWeek;
    int32_t leapSeconds;       // delta t LS
    int32_t futureLeapSeconds; // delta t LSF
    int32_t leapWeek;          // WN LSF
    int32_t leapDay;           // DN
    const NavCorrections *corrections;
};

inline constexpr int32_t kRinexVersion304 = 304;
inline constexpr int32_t kRinexVersion211 = 211;

// RINEX 3.04: one navigation file of every system (mixed when the log has
// more than one). RINEX 2.11 (version 211): the GPS file at `path` and the
// GLONASS file at `glonassPath`; 2.11 has no place for the other systems.
int32_t OpenRinexNav(const char *path, int32_t version = kRinexVersion304, const char *glonassPath = nullptr);
// One GPS ephemeris. (receivedWeek, receivedSeconds) is the GPS time at
// which the receiver logged it: it resolves the broadcast 10-bit week and
// is given as the message's transmission time.
int32_t WriteRinexNavEphemeris(const GpsEphRecord *ephemeris, int32_t receivedWeek, double receivedSeconds);
// One ephemeris of GLONASS, Galileo, BeiDou or QZSS. Written to a 2.11 set
// only when it is a GLONASS one; *written tells whether it was (may be null).
int32_t WriteRinexNavBroadcast(const NavRecord *ephemeris, bool *written);
int32_t CloseRinexNav(const RinexNavHeader *header);
void DiscardRinexNav();

// Calendar date of a GPS time given in 0.1 microsecond units since the start
// of GPS time (1980-01-06 00:00:00), as RINEX writes its epochs.
struct RinexCalendar {
    int32_t year, month, day, hour, minute, second;
    int32_t tenthMicroseconds; // 0 .. 9999999
};
RinexCalendar RinexCalendarOf(int64_t tenthMicroseconds);
// (week, seconds of week) in 0.1 microsecond units, rounded to the nearest.
int64_t RinexTimeUnits(int32_t week, double seconds);
