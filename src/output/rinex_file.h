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
// The observation records are formatted and written on a thread of the
// writer's own, beside the conversion's thread that decodes the log: the
// conversion hands each epoch over in a ring of slots and goes on decoding
// while the writer's thread prints. The file is the same byte for byte as
// when the caller's thread does everything (as it does when no thread can
// be started). A failed write is reported by a later call of the
// conversion's thread, possibly some epochs after the epoch that failed.
//
// Every function returns 0 on success and 1 on failure with the message in
// ErrorText: "Error: Unable to open %s" or "Error: Unable to write to %s"
// with the file's path. A writer keeps its state in a record its caller
// owns, so that conversions side by side each have their own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/broadcast_ephemeris.h"
#include "common/worker_thread.h"
#include "output/rinex_text.h"
#include "threadbuf/payloads.h"

// Satellites of one epoch, and signals of one satellite, a writer takes:
// more than any receiver tracks at once.
inline constexpr int32_t kRinexMaxSatellites = 128;
inline constexpr int32_t kRinexMaxSignals = 8;
inline constexpr int8_t kRinexNoFrequency = -128;

// One signal of a satellite, values as RINEX gives them: code in metres,
// phase in cycles with the sign of RINEX (the negated accumulated Doppler
// range), Doppler in Hz, signal strength in dB-Hz. A value of 0 is "not
// observed" and leaves its field blank. Doppler and strength in single
// precision, as the receiver's records carry them.
struct RinexSignalObs {
    char code[3]; // band and attribute, as in the type "C1C": "1C"
    uint8_t lli;  // loss-of-lock indicator of the phase (bit 0 lock lost, bit 1 half-cycle)
    // RinexCodeColumn of the code plus one, when the caller looked it up
    // once for every signal of its kind; 0 lets the writer find it.
    uint8_t columnPlusOne;
    double c, l;
    float d, s;
};
static_assert(sizeof(RinexSignalObs) == 32, "two signals to a cache line");

// A satellite of an epoch: its signals are signals[first, first + count) of
// the epoch.
struct RinexSatObs {
    char system;      // 'G' GPS, 'R' GLONASS, 'E' Galileo, 'C' BeiDou, 'J' QZSS, 'S' SBAS, 'I' NavIC
    uint8_t number;   // satellite number within the system, 1-99
    int8_t frequency; // GLONASS frequency channel -7..+6, else kRinexNoFrequency
    uint8_t count;    // signals, at most kRinexMaxSignals
    uint16_t first;
};

// The epoch keeps its satellites' signals together, each satellite's in
// one run, in the order they were added: the writer, on another processor,
// reads only the cache lines the epoch filled, and the fewer they are the
// less they cost to bring over.
inline constexpr int32_t kRinexEpochSignals = kRinexMaxSatellites * kRinexMaxSignals;
struct RinexEpoch {
    int32_t week;       // GPS week
    double seconds;     // receiver time, seconds of week
    double clockOffset; // receiver clock offset, seconds; 0 when unknown
    int32_t count;
    int32_t signalCount; // signals in use: the runs of the satellites lie within them
    RinexSatObs sats[kRinexMaxSatellites];
    RinexSignalObs signals[kRinexEpochSignals];
};

// The signals of satellite s of epoch e that lie within the epoch's signals
// in use: a satellite's run never reaches beyond them, whoever filled it.
inline int32_t RinexSignalsOf(const RinexEpoch &e, const RinexSatObs &s) {
    const int32_t used = e.signalCount < 0                    ? 0
                         : e.signalCount < kRinexEpochSignals ? e.signalCount
                                                              : kRinexEpochSignals;
    const int32_t count = s.count < kRinexMaxSignals ? s.count : kRinexMaxSignals;
    return s.first >= used ? 0 : s.first + count <= used ? count : used - s.first;
}

// Systems an observation file can hold, GLONASS slots it lists, and epochs
// the writer holds back for camera events logged after later epochs.
inline constexpr int32_t kRinexObsSystems = 7;
inline constexpr int32_t kRinexGlonassSlots = 64;
inline constexpr int32_t kRinexHeldEpochs = 32;
// Epochs handed over beyond the held ones before the conversion's thread
// waits for the writer's, and camera events likewise. Each epoch slot is
// some 49 KB (33 of them the epoch, 16 the room for its text), of which an
// epoch touches only what it fills: the ring of 128 stays under 7 MB. Deep
// enough for the writer to take a slow write or two without stopping the
// decoding. Room for more events than the queued epochs, so that camera
// pulses at every epoch or more often do not make the conversion's thread
// wait before the epochs do.
inline constexpr int32_t kRinexQueuedEpochs = 96;
inline constexpr int32_t kRinexEpochSlots = kRinexHeldEpochs + kRinexQueuedEpochs;
inline constexpr int32_t kRinexQueuedEvents = 128;
// Camera events the writer keeps back until an epoch later than each has
// gone out: a receiver logs a pulse just after an epoch before that
// epoch's range record. Beyond this many (marks without epochs, or more
// than 2 s of 100 Hz marks ahead of the epochs), the oldest goes out.
inline constexpr int32_t kRinexWaitingEvents = 256;

// Room for the text of an epoch that the conversion's thread formats
// itself while the writer's thread lags behind: the records of some 60
// satellites of four signals each (today's five-system receivers), or 120
// of two. A larger epoch is left to the writer's thread.
inline constexpr std::size_t kRinexPreparedBytes = 16384;

// A slot of the ring. Its first cache line holds what the writer's thread
// reads first (the time, whether the epoch is prepared, the epoch's counts)
// and the first satellites.
struct alignas(64) RinexHeldEpoch {
    int64_t time; // 0.1 microsecond units since the start of GPS time
    // Set when the epoch's lines are in `text` already: the epoch line (and
    // its clock offset) in the first `preparedHead` bytes, each line with its
    // line end. What the writer notes for the header comes with them: each
    // system's widest record and the GLONASS satellites written, in order.
    uint32_t preparedLength;
    uint32_t preparedHead;
    RinexEpoch epoch;
    int32_t preparedTypes[kRinexObsSystems];
    uint32_t preparedGlonass;
    uint8_t glonassNumber[kRinexGlonassSlots];
    int8_t glonassFrequency[kRinexGlonassSlots];
    char text[kRinexPreparedBytes];
};
static_assert(offsetof(RinexHeldEpoch, epoch) + offsetof(RinexEpoch, sats) <= 64,
              "a slot's time and its epoch's counts share its first cache line");

struct RinexQueuedEvent {
    int64_t time;
    uint64_t epochsBefore; // epochs handed over before the event
    uint32_t markNumber;
};

// Whether the writer prints on a thread of its own (the default) or on the
// caller's; the bytes are the same.
enum RinexObsThreading : int32_t { kRinexObsThreaded = 0, kRinexObsInline = 1 };

// Everything the observation writer keeps over one file. Large (the held
// epochs): its owner keeps it out of the stack, and a record that was
// never opened must start zeroed (as a static one is).
//
// Epoch number j (counted from the open) lives in held[j % kRinexEpochSlots]
// from the moment the conversion's thread fills it until the writer has
// printed it: `released` <= `taken` <= `published`, the writer holds the
// epochs [released, taken) and has yet to take [taken, published). The
// conversion's thread writes only the slot of epoch `handed`, and only
// once the writer has released it; each side publishes its count with a
// release store after it is done with the slots. Camera events queue
// likewise, each with the count of epochs handed over before it. A side
// that finds nothing to do sleeps on its signal after saying so
// (`writerSleeps`, `producerWants...`), and the other side wakes it only
// then, and only once a batch is ready: no system call per epoch.
//
// The fields each side writes often sit on cache lines of their own: a
// line written by one thread and read by the other moves between the
// processors' caches at every write.
inline constexpr std::size_t kRinexCacheLine = 64;

// A GLONASS slot seen on a frequency channel other than its earlier one.
struct RinexGlonassChange {
    uint8_t slot;
    int8_t from;
    int8_t to;
};

struct RinexObsWriter {
    // The conversion's thread's: set at the open and the close.
    bool open;
    bool threaded; // the writer's thread runs
    int32_t version;
    // What the conversion's thread writes as it hands epochs over.
    alignas(kRinexCacheLine) std::atomic<uint64_t> published;
    std::atomic<uint64_t> eventsPublished;
    RinexQueuedEvent events[kRinexQueuedEvents];
    // The conversion's thread's own: the epochs it has filled, of which it
    // publishes a batch at a time (each store of `published` takes its
    // cache line from the writer's processor).
    alignas(kRinexCacheLine) uint64_t handed;
    uint64_t releasedSeen;  // `released` as last read: the slots up to it are free
    uint32_t unwoken;       // epochs and events handed over to a sleeping writer
    uint64_t prepared;      // epochs it formatted itself, the writer's thread lagging
    uint64_t helpWhenFree;  // it does so when no more slots than this are free beyond the next
    uint64_t undatedEvents; // marks whose time no date can show, never handed over
    // What the writer's thread writes as it prints.
    alignas(kRinexCacheLine) uint64_t taken;
    uint64_t publishedSeen;       // `published` as last read
    uint64_t eventsPublishedSeen; // `eventsPublished` as read with it
    std::atomic<uint64_t> released;
    std::atomic<uint64_t> eventsTaken;
    // Written when a side sleeps, wakes or ends. What the conversion's
    // thread sleeps for (0: it does not): a count of released epochs, or
    // of events taken.
    alignas(kRinexCacheLine) std::atomic<bool> writerSleeps;
    std::atomic<uint64_t> producerWantsSlots;
    std::atomic<uint64_t> producerWantsEvents;
    std::atomic<bool> finish;  // nothing more comes: print what is left and end
    std::atomic<bool> abandon; // end at once (the file is discarded)
    std::atomic<bool> failed;  // a write of the writer's thread failed
    int failedReason;          // the errno of that write (errno is the thread's own), stored before `failed`
    WorkerThread thread;
    WorkerLock lock;
    WorkerSignal work; // the writer's thread waits on it for epochs and events
    WorkerSignal room; // the conversion's thread waits on it for free slots
    // The writer's own from here on (the conversion's thread's while no
    // thread runs).
    alignas(kRinexCacheLine) DeferredRinexFile file;
    RinexHeldEpoch held[kRinexEpochSlots];
    // What the header reports, gathered as the records are written.
    bool anyEpoch;
    int64_t firstTime;
    int64_t lastTime;
    bool anyEvent; // and the time of the first, for a file of events alone
    int64_t firstEventTime;
    // The time of the epoch written last, and the events written after an
    // epoch later than their own time (their marks came too late in the
    // log for the held epochs to wait for them).
    int64_t lastEpochTime;
    uint64_t lateEvents;
    // Events taken and not yet written, in time order (then as taken).
    RinexQueuedEvent waiting[kRinexWaitingEvents];
    uint32_t waitingCount;
    // Events not written: a pulse logged twice (the time of the event
    // taken before it).
    bool anyEventTaken;
    int64_t lastEventTaken;
    uint64_t repeatedEvents;
    double firstSeconds; // for the interval
    double lastSeconds;
    int64_t lastWeek;
    double interval;
    bool regular;
    int32_t typesUsed[kRinexObsSystems];
    int8_t glonassFrequency[kRinexGlonassSlots];
    bool glonassSeen[kRinexGlonassSlots];
    // A GLONASS slot seen on another frequency channel than before: the
    // header holds one channel a slot (the last), so the changes are told.
    uint32_t glonassChannelChanges;
    RinexGlonassChange firstGlonassChange;
    // The line and the header being composed, and a COMMENT line more for
    // the header (null: none).
    RinexLine line;
    RinexHeaderText header;
    const char *comment;
    // A file that is given no events: its header says nothing of them.
    bool withoutEvents;
};

// The column of a signal code ("1C") in its system's records, or -1 when the
// writer has no column for it.
int32_t RinexCodeColumn(char system, const char *code);
// Whether RINEX 2.11 writes observations of the system: GPS, GLONASS and
// SBAS only.
inline bool RinexSystemHas211(char system) { return system == 'G' || system == 'R' || system == 'S'; }
// Whether RINEX 2.11 has a type for any value of a signal of this RINEX 3
// code ("1C" has C1 L1 D1 S1, "1L" none), as its records take them: L1 C/A,
// the L1 P code, every L2 signal (P2 or C2) and every L5 signal. Inline:
// the export asks it of every signal of a 2.11 file.
inline bool RinexCodeHas211Type(const char *code) {
    if (code[0] == '2' || code[0] == '5') return true;
    return code[0] == '1' && (code[1] == 'C' || code[1] == 'P' || code[1] == 'W') && code[2] == '\0';
}

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

// version: 304 (3.04) or 211 (2.11; GPS, GLONASS and SBAS only).
int32_t OpenRinexObs(RinexObsWriter *writer, const char *path, int32_t version,
                     RinexObsThreading threading = kRinexObsThreaded);
// A COMMENT line for the header (a static text of at most 60 characters),
// given right after the open.
void SetRinexObsComment(RinexObsWriter *writer, const char *comment);
// For a file that will be given no events (a second antenna's), right after
// the open: its header leaves out the COMMENT on how camera marks are written.
void SetRinexObsWithoutEvents(RinexObsWriter *writer);
// Takes one observation epoch (its satellites beyond kRinexMaxSatellites are
// not written, which the caller prevents).
int32_t WriteRinexObsEpoch(RinexObsWriter *writer, const RinexEpoch *epoch);
// The writer's room for the next epoch: an epoch built there and given to
// WriteRinexObsEpoch is taken without a copy. Valid until that call. Waits,
// when the writer's thread is that far behind, for it to free the room.
RinexEpoch *NextRinexObsEpoch(RinexObsWriter *writer);
// A camera event at GPS time (week, seconds): an epoch flag 5 record and a
// COMMENT record with the mark's number.
int32_t WriteRinexEvent(RinexObsWriter *writer, int32_t week, double seconds, uint32_t markNumber);
// Writes the held-back epochs, the header and the records, and closes the
// file. Also to be called after a failed write: what can be written is.
int32_t CloseRinexObs(RinexObsWriter *writer, const RinexObsHeader *header);
// Closes without writing the file (a conversion that failed to start).
void DiscardRinexObs(RinexObsWriter *writer);
// After the close: the events that follow an epoch later than their time.
inline uint64_t RinexObsLateEvents(const RinexObsWriter *writer) { return writer->lateEvents; }
inline uint64_t RinexObsRepeatedEvents(const RinexObsWriter *writer) { return writer->repeatedEvents; }
inline uint64_t RinexObsUndatedEvents(const RinexObsWriter *writer) { return writer->undatedEvents; }
// How many times a GLONASS slot changed its frequency channel in the file,
// and the first change.
inline uint32_t RinexObsGlonassChannelChanges(const RinexObsWriter *writer, RinexGlonassChange *first) {
    *first = writer->firstGlonassChange;
    return writer->glonassChannelChanges;
}

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

struct RinexNavOutput {
    DeferredRinexFile file;
    bool open;
    uint32_t systems; // one bit per SatelliteSystem written
};

// Everything the navigation writer keeps over one conversion, in one
// record its owner keeps (large: out of the stack): OpenRinexNav sets it
// up and the close writes it out.
struct RinexNavWriter {
    // The 3.04 file or the 2.11 GPS file, and the 2.11 GLONASS file.
    RinexNavOutput nav;
    RinexNavOutput glonassNav;
    int32_t version = kRinexVersion304;
    // GPS minus UTC as the first GLONASS record gave it: the 2.11 GLONASS
    // file's LEAP SECONDS when the log has no IONUTC.
    bool hasGlonassLeap = false;
    int32_t glonassLeap = 0;
    // The line and the header being composed.
    RinexLine line;
    RinexHeaderText header;
};

// RINEX 3.04: one navigation file of every system (mixed when the log has
// more than one). RINEX 2.11 (version 211): the GPS file at `path` and the
// GLONASS file at `glonassPath`; 2.11 has no place for the other systems.
int32_t OpenRinexNav(RinexNavWriter *writer, const char *path, int32_t version = kRinexVersion304,
                     const char *glonassPath = nullptr);
// One GPS ephemeris. (receivedWeek, receivedSeconds) is the GPS time at
// which the receiver logged it: the week resolves the broadcast 10-bit
// week, and the time is given as the message's transmission time.
// sentSeconds, when the satellite sent it (seconds of the broadcast week),
// tells the week of the toe and toc. Either time may be NAN, unknown: an
// ephemeris logged before the receiver knew the week has only the week
// the log came to know (receivedWeek) and the time it was sent.
int32_t WriteRinexNavEphemeris(RinexNavWriter *writer, const GpsEphRecord *ephemeris, int32_t receivedWeek,
                               double receivedSeconds, double sentSeconds);
// One ephemeris of GLONASS, Galileo, BeiDou or QZSS. Written to a 2.11 set
// only when it is a GLONASS one; *written tells whether it was (may be null).
int32_t WriteRinexNavBroadcast(RinexNavWriter *writer, const NavRecord *ephemeris, bool *written);
// Writes the header and the records of the navigation file(s) and closes
// them; 1 when any write failed, with the first failure's message in
// ErrorText when `report` is set.
int32_t CloseRinexNav(RinexNavWriter *writer, const RinexNavHeader *header, bool report = true);
void DiscardRinexNav(RinexNavWriter *writer);

// Calendar date of a GPS time given in 0.1 microsecond units since the start
// of GPS time (1980-01-06 00:00:00), as RINEX writes its epochs.
struct RinexCalendar {
    int32_t year, month, day, hour, minute, second;
    int32_t tenthMicroseconds; // 0 .. 9999999
};
RinexCalendar RinexCalendarOf(int64_t tenthMicroseconds);
// (week, seconds of week) in 0.1 microsecond units, rounded to the nearest.
int64_t RinexTimeUnits(int32_t week, double seconds);
