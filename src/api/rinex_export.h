// The RINEX side of a conversion: turns the records the driver drains into
// RINEX observation epochs, camera events and navigation records, and gives
// the two files their headers at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/decoded_epoch.h"
#include "output/rinex_file.h"
#include "threadbuf/payloads.h"

struct Oem4Decoder;

// An ephemeris written of a satellite and message type of the other
// systems: receivers log an ephemeris again and again while it is current,
// and the file takes it once.
struct LastBroadcast {
    bool seen;
    int32_t week;
    double toe;
    double toc;
    double iode;
    double health;
};
// The latest few of a satellite and message type: an older one logged
// again after a newer one (a log whose time goes back, two receivers'
// streams merged) is still known.
inline constexpr std::size_t kRinexRecentBroadcasts = 4;
struct RecentBroadcasts {
    std::array<LastBroadcast, kRinexRecentBroadcasts> written;
    uint32_t next; // the one the next ephemeris written replaces
};
// Slots of the last ephemeris written per satellite and message type:
// GLONASS slots, Galileo I/NAV and F/NAV, BeiDou, QZSS.
inline constexpr std::size_t kRinexGlonassNavSlots = 28;
inline constexpr std::size_t kRinexGalileoNavSlots = 37;
inline constexpr std::size_t kRinexBeidouNavSlots = 64;
inline constexpr std::size_t kRinexQzssNavSlots = 11;
inline constexpr std::size_t kRinexBroadcastSlots =
    kRinexGlonassNavSlots + 2 * kRinexGalileoNavSlots + kRinexBeidouNavSlots + kRinexQzssNavSlots;

// Where each satellite (system, number below 64) of the epoch being mapped
// sits in it, valid where its stamp is the epoch's: found without a search,
// and nothing to clear for each epoch.
inline constexpr uint32_t kRinexIndexedNumbers = 64;
// Epochs written at start, start + step, ... (count of them).
struct RinexWrittenRun {
    int64_t start;
    int64_t step;
    int64_t count;
};
inline constexpr std::size_t kRinexWrittenRuns = 4096;

struct SatelliteAt {
    uint32_t stamp;
    int32_t index;
};
// The signal codes RINEX names (the export's table of them).
inline constexpr std::size_t kRinexSignalCodeCount = 37;

// Observations of the log that the observation file cannot hold, by why
// and by system: a satellite RINEX has no number for (a GLONASS satellite
// before its slot is known, a PRN outside its system's numbers), a signal
// RINEX names no code for, an epoch or satellite with no room left, and in
// RINEX 2.11 a system or a signal it has no types for. The conversion tells
// the user.
enum RinexLeftOutReason : uint32_t {
    kRinexNoNumber,
    kRinexNoCode,
    kRinexNoRoom,
    kRinexNotIn211,
    kRinexNoType211,
    kRinexLeftOutReasons,
};
using RinexLeftOut = std::array<std::array<uint64_t, kSystemCount>, kRinexLeftOutReasons>;

// A GPS ephemeris logged before the receiver knew the week, and when its
// satellite sent it (seconds of the broadcast week, NAN when not known).
struct WaitingGpsEphemeris {
    GpsEphRecord ephemeris;
    double sentSeconds;
};
// Two for each GPS satellite: a receiver lists the ephemerides it kept
// once, as it starts.
inline constexpr std::size_t kWaitingGpsEphemerides = 64;

// What the export keeps over one conversion, in one place: the conversion
// owns it and passes it to every call; OpenRinexExport starts it afresh
// (the epoch area is refilled by every epoch).
struct RinexExport {
    RinexObsWriter obs;
    RinexNavWriter nav;
    std::array<RecentBroadcasts, kRinexBroadcastSlots> lastBroadcast;
    std::array<SatelliteAt, kSystemCount * kRinexIndexedNumbers> satelliteAt;
    // Each signal code's first eight bytes of a RinexSignalObs but the LLI:
    // the code and the writer's column, looked up once.
    std::array<uint64_t, kRinexSignalCodeCount> codeWords;
    // The satellite of each observation of the epoch being mapped, -1 for
    // one that is not written.
    std::array<int16_t, kMaxDecodedObservations> satelliteOf;
    uint32_t stamp;
    char marker[64];
    // The first position of the log, for the header.
    bool hasPosition;
    double position[3];
    // Over the conversion, and of the epoch being mapped (taken into the
    // total once its mapping stands: an epoch may be mapped twice).
    RinexLeftOut leftOut;
    RinexLeftOut epochLeftOut;
    bool epochLeftSome;
    bool version211;
    // The time of the last epoch written, and the epochs of a time already
    // written that were left out: a receiver told to log RANGE and a
    // compressed range record gives each epoch twice, and an observation
    // file takes each time once.
    bool hasLastEpoch;
    int32_t lastWeek;
    double lastSeconds;
    uint64_t repeatedEpochs;
    // The times of the epochs written (0.1 us units), as runs of one step,
    // and the latest: files that overlap, joined into one log, repeat
    // earlier epochs once the log's time has gone back, further on than
    // the epoch just written. A full list finds repeats next to each other
    // only.
    std::array<RinexWrittenRun, kRinexWrittenRuns> writtenRuns;
    uint32_t writtenRunCount;
    int64_t latestWritten;
    // Epochs and camera marks of GPS week 0 (IsUnsetWeek), left out: a day
    // of 1980 would stand for them, and the header's first observation with
    // them.
    uint64_t unknownWeekEpochs;
    uint64_t unknownWeekMarks;
    // GPS ephemerides logged in GPS week 0: their 10-bit week needs the
    // log's week, so they wait for the first epoch that tells it; those
    // that find no room, or no such epoch, are left out of the navigation
    // file.
    std::array<WaitingGpsEphemeris, kWaitingGpsEphemerides> waitingEphemerides;
    uint32_t waitingEphemerisCount;
    uint64_t unknownWeekEphemerides;
    int32_t knownWeek; // the week of the latest epoch of a known week; 0 before one
    // Ephemerides of the systems a RINEX 2.11 set has no navigation file
    // for (Galileo, BeiDou, QZSS), each broadcast once, by system.
    std::array<uint32_t, kSystemCount> navLeftOut;
};

// Opens BASE.obs and BASE.nav (RINEX 3.04), or with version 211 (RINEX
// 2.11) BASE.obs, the GPS BASE.nav and the GLONASS navigation file at
// glonassNavPath. 0, or 1 with the message in ErrorText and nothing left
// open.
int32_t OpenRinexExport(RinexExport &x, const char *obsPath, const char *navPath, const char *markerName,
                        int32_t version = 0, const char *glonassNavPath = nullptr);
// Opens the observation file of the receiver's second antenna alone, in
// RINEX 3.04 or 2.11 (version 211): the navigation files of the first
// antenna's export serve both. 0, or 1 with the message in ErrorText.
int32_t OpenRinexSecondAntenna(RinexExport &x, const char *obsPath, const char *markerName, int32_t version);
// Each returns 0, or 1 with "Error: Unable to write to %s" in ErrorText.
// One decoded epoch, every observation of a signal RINEX names; *written
// tells whether it had any (an epoch of none is not written). An epoch of
// the same time as the last one written is not written again (the first
// record of a time is kept), and counted; so is an epoch of GPS week 0.
int32_t ExportRinexEpoch(RinexExport &x, const DecodedEpoch *epoch, bool *written);
// A camera mark as an event of the observation file; one of GPS week 0 is
// counted, not written.
int32_t ExportRinexMark(RinexExport &x, const MarkRecord *mark);
// (week, seconds): the GPS time of the record that carried the ephemeris;
// sentSeconds: when the satellite sent it, in seconds of its broadcast week
// (NAN when not known).
int32_t ExportRinexEphemeris(RinexExport &x, const GpsEphRecord *ephemeris, int32_t week, double seconds,
                             double sentSeconds);
// The GLONASS, Galileo, BeiDou and QZSS ephemerides the record just decoded
// gave (the port's broadcast ephemerides). One that repeats the previous
// ephemeris of its satellite and message type is not written again.
int32_t ExportRinexBroadcast(RinexExport &x, const Oem4Decoder *port);
// The first position of the log becomes the header's approximate position.
void ExportRinexPosition(RinexExport &x, const PositionRecord *position);
// What the observation file could not hold so far.
inline const RinexLeftOut &RinexExportLeftOut(const RinexExport &x) { return x.leftOut; }
// Epochs left out so far because an epoch of their time was written.
inline uint64_t RinexExportRepeatedEpochs(const RinexExport &x) { return x.repeatedEpochs; }
// Epochs and marks left out so far because their GPS week was not known.
inline uint64_t RinexExportUnknownWeekEpochs(const RinexExport &x) { return x.unknownWeekEpochs; }
inline uint64_t RinexExportUnknownWeekMarks(const RinexExport &x) { return x.unknownWeekMarks; }
// GPS ephemerides of GPS week 0 left out of the navigation file: those
// still waiting are, once the log has ended.
inline uint64_t RinexExportUnknownWeekEphemerides(const RinexExport &x) {
    return x.unknownWeekEphemerides + x.waitingEphemerisCount;
}
inline const std::array<uint32_t, kSystemCount> &RinexExportNavLeftOut(const RinexExport &x) { return x.navLeftOut; }
// Writes both files whole; the port (may be null) gives the receiver's
// VERSION and IONUTC content. 0, or 1 with the message in ErrorText.
int32_t CloseRinexExport(RinexExport &x, const Oem4Decoder *port);
// Closes after a failed start without writing the files.
void DiscardRinexExport(RinexExport &x);
