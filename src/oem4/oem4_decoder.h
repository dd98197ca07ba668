// Per-port framing state and decoder memory of the OEM4 binary decoder.
#pragma once

#include <array>
#include <cstdint>

#include "common/broadcast_ephemeris.h"
#include "common/decoded_epoch.h"
#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/screening.h"
#include "oem4conv.h"
#include "threadbuf/payloads.h"
#include "threadbuf/threadbuf.h"

// Message callback of a port: time in GPS seconds of week (or -1.0), text.
using PortMessageFn = void (*)(double time, const char *text);

// Receiver of every decoded epoch of a port (its observations' loss of lock,
// clock offset and position attached), whether or not the observation file
// takes anything of it.
using DecodedEpochFn = void (*)(const DecodedEpoch *epoch);
// Receives every epoch the range decoder has built for the observation
// file, with its measurements, before it goes into the ThreadBuf: the
// driver recomputes the receiver clock there when asked to. May change the
// epoch's clock and position.
using EpochSolverFn = void (*)(double time, EpochRecord *epoch, MeasRecord *meas);
// Receives a GPS ephemeris the ephemeris file refuses for its health, at
// the time of its record: a RINEX navigation file keeps it, health and all,
// so that its readers learn the satellite is unhealthy.
using UnhealthyEphemerisFn = void (*)(double time, const GpsEphRecord *ephemeris);
// Receives a range record of the antenna the port does not decode, whole:
// its header, and its body followed by the CRC (bodyLength + 4 bytes).
// Called by the record's decoder, while the record is in place.
using OtherAntennaFn = void (*)(const uint8_t *header, const uint8_t *body, uint32_t bodyLength);

// Decoder of one record type: reads the port's record bytes, fills the
// (emptied) ThreadBuf and returns its RecordKind, or 0 when it produced
// nothing.
using RecordDecoderFn = int32_t (*)(int32_t port, ThreadBuf *buf);

// What a decoder reports back through DecodeByte. The numbers are the ones
// DecodeByte has always handed to the conversion driver and the tests, so
// they are fixed, not renumbered: the gaps at 3 and 6 are kinds no decoder
// here produces, and closing them would give an old number a new meaning.
enum RecordKind : int32_t {
    // The decoder consumed the record and left nothing for the driver
    // (PROPAGATEDCLOCKMODEL always; any decoder whose record was rejected
    // or whose put failed).
    RK_NONE = 0,
    // RANGE, RANGECMP and their successors: a TBREC_EPOCH group and its
    // TBREC_MEAS (and TBREC_TRACKING) records, for the observation file.
    RK_EPOCH = 1,
    // RAWEPHEM and GPSEPHEM: one TBREC_GPSEPH, for the ephemeris file.
    RK_EPHEMERIS = 2,
    // BESTPOS and BESTXYZ: the solution stays in the port for the next
    // epoch, and a TBREC_POSITION is handed out that the driver leaves
    // undrained.
    RK_POSITION = 4,
    // ALMANAC: the TBREC_ALMANAC records, for the ephemeris file.
    RK_ALMANAC = 5,
    // MARKTIME: a TBREC_MARK, for the mark file.
    RK_MARK = 7,
    // A GLONASS, Galileo, BeiDou or QZSS ephemeris in the port's broadcast
    // ephemerides, for the RINEX export only. 8: past every kind the host's
    // conversion has ever returned, so no old meaning is reused.
    RK_BROADCAST = 8,
};

// Framing states; a value of 0 or more is the message id being collected.
inline constexpr int32_t WAIT_SYNC = -1;
inline constexpr int32_t READ_HEADER = -2;

inline constexpr int32_t kMaxPorts = 1024;
// The record every reader of the port collects in full: a candidate is
// dropped with a buffer overrun at its 8192nd byte.
inline constexpr uint32_t kRecordBufferSize = 8192;
// Room for the longest record the header's 16-bit body length can state.
// Only a range record for the RINEX export is collected beyond
// kRecordBufferSize (a receiver of five systems and every signal can log
// more than 185 RANGE observations in one epoch); every other candidate is
// still dropped at its 8192nd byte.
inline constexpr uint32_t kLongRecordBufferSize = kOem4HeaderLength + 0xFFFFu + kOem4CrcLength + 1;

// Where a port collects a record past kRecordBufferSize, and the bytes to
// feed again after one: allocated when the first such record arrives.
struct LongRecordArea {
    std::array<uint8_t, kLongRecordBufferSize> record;
    std::array<uint8_t, kLongRecordBufferSize> pending;
};
// Room for the unfed rest of one rejected candidate and the bytes that
// arrive while it is being worked off.
inline constexpr uint32_t kStagingAreaSize = 8192;
inline constexpr int kSlipTableSize = 64;
// One almanac record per GPS PRN at most.
inline constexpr uint32_t kMaxAlmanacs = 32;

static_assert(MAXCHAN == OEM4CONV_MAX_CHANNELS, "the file's channels are the satellites an epoch holds");

struct RecordTableEntry {
    uint32_t messageId;
    char name[32];
    uint32_t fixedLength;
    uint32_t itemLength;  // 0 for a fixed-length record
    uint32_t countOffset; // within the body
    uint32_t countSize;   // 1, 2 or 4; 0 for a fixed-length record
    RecordDecoderFn decoder;
};

// Latest BESTPOS (or BESTXYZ) solution kept for the following epochs.
struct LastPosition {
    double valid; // 1.0 or 0.0
    double time;
    int32_t week;
    double latitude;
    double longitude;
    double height; // ellipsoidal
};

// Latest PROPAGATEDCLOCKMODEL kept for the following epochs.
struct LastClockModel {
    double valid; // 1.0 or 0.0
    double time;
    int32_t week;
    double offset; // metres
    double drift;
};

// One satellite's lock times in the previous epoch, for slip detection.
struct SlipEntry {
    uint8_t valid;
    double time;
    int32_t week;
    double l1LockTime;
    double l2LockTime;
    // L2 was observed. A lock time of 0 alone cannot tell "no L2" from an
    // L2 lock taken at that very epoch.
    uint8_t hasL2;
    // The L2 signal taken (kNoL2Signal when none): it stays the choice while
    // it is tracked, so a switch of signals cannot pass for a cycle slip.
    uint8_t l2Signal;
};

// One signal of one satellite at its latest observation: when, and the
// lock time then, for the loss-of-lock indication of its next one.
struct SignalLock {
    double time; // GPS seconds since the start of GPS time
    float lockTime;
    uint8_t seen;
    int8_t glonassChannel; // of the previous observation (GLONASS)
};
// Indexed by system, satellite number within it and signal type.
inline constexpr size_t kSignalLockEntries = size_t{kSystemCount} * kMaxSatelliteNumber * 32;
inline size_t SignalLockIndex(uint32_t system, uint32_t satellite, uint32_t signal) {
    return ((system & 7u) * kMaxSatelliteNumber + (satellite % kMaxSatelliteNumber)) * 32 + (signal & 31u);
}

// The receiver card of the latest VERSION record, for file headers.
struct ReceiverVersion {
    uint32_t valid;
    char model[17];
    char serial[17];
    char hardware[17];
    char software[17];
};

// Ionospheric and UTC parameters of the latest IONUTC record.
struct IonUtcParameters {
    uint32_t valid;
    double alpha[4];
    double beta[4];
    uint32_t utcWeek;
    uint32_t utcReferenceTime; // tot, s
    double utcA0;
    double utcA1;
    uint32_t leapWeek;         // WN LSF
    uint32_t leapDay;          // DN
    int32_t leapSeconds;       // delta t LS
    int32_t futureLeapSeconds; // delta t LSF
};

// What the framing found over one conversion (from OpenPort on): the
// records of the table whose CRC held, their bytes, and the candidates
// dropped for a CRC failure. The bytes of the log outside those records
// were skipped: unknown records, or damage. And the range records the
// range decoders skip: those of a second antenna, and those repeating the
// time of an epoch that a RANGECMP2, RANGECMP4 or RANGECMP5 record gave or
// followed (the same measurements again).
struct FramingStats {
    uint64_t records;
    uint64_t recordBytes;
    uint32_t crcFailures;
    uint32_t lengthFailures; // candidates of a known kind dropped for a length that does not fit it
    uint32_t secondAntennaRanges;
    uint32_t repeatedEpochRanges;
    // Records of each mark input (MARKTIME, MARK2TIME..., MARKPOS,
    // MARK2POS... and MARK1PVA, MARK2PVA...): a receiver may log a pulse by
    // any or all of them.
    std::array<uint32_t, kMarkInputs> markTimes;
    std::array<uint32_t, kMarkInputs> markPositions;
    std::array<uint32_t, kMarkInputs> markPvas;
};

// RANGECMP4 sends full (reference) measurements on the whole second and
// differences to them in between; its lock times are coarse codes. What a
// port keeps of them, per system, RANGECMP4 signal and satellite.
inline constexpr uint32_t kPackedSystems = 7; // GPS, GLONASS, SBAS, Galileo, BeiDou, QZSS, NavIC
inline constexpr uint32_t kPackedSignals = 16;
inline constexpr uint32_t kPackedSatellites = 64;
inline constexpr uint32_t kPackedTracks = kPackedSystems * kPackedSignals * kPackedSatellites;

// The latest reference measurement of one signal of one satellite.
struct PackedReference {
    double pseudorange;       // m
    double phaseRange;        // m
    double rangeRate;         // m/s
    double time;              // GPS seconds since the start of week 0
    uint8_t present;          // 1 once a reference was stored
    uint8_t id;               // reference data block id, 0-7
    uint8_t valid;            // kPackedPseudorangeValid | kPackedPhaseValid | kPackedDopplerValid
    uint8_t glonassFrequency; // frequency channel + 7
};
inline constexpr uint8_t kPackedPseudorangeValid = 1;
inline constexpr uint8_t kPackedPhaseValid = 2;
inline constexpr uint8_t kPackedDopplerValid = 4;

// The lock-time code of one signal of one satellite and since when it holds.
struct PackedLockTime {
    double since; // GPS seconds since the start of week 0
    double start; // RANGECMP4: lock time (s) at since; RANGECMP2: the last one below the largest
    double last;  // when the signal was last seen
    uint8_t seen; // 1 once the signal was seen
    uint8_t code; // 0-15
};

// RANGECMP2's lock time stops at 131.071 s; per signal (the decoder's
// table of them) and satellite number, since when it has stood there.
inline constexpr uint32_t kRangecmp2Signals = 33;
inline constexpr uint32_t kRangecmp2Tracks = kRangecmp2Signals * kPackedSatellites;

struct PackedRangeState {
    std::array<PackedReference, kPackedTracks> references;
    std::array<PackedLockTime, kPackedTracks> lockTimes;
    std::array<PackedLockTime, kRangecmp2Tracks> rangecmp2LockTimes; // code 1: at its largest value
    // The times of the port's latest two RANGECMP4 epochs (GPS seconds
    // since the start of week 0): a signal last seen before the earlier
    // one was missing from an epoch.
    double rangecmp4Epoch, rangecmp4PreviousEpoch;
};

// The geodetic form of one BESTXYZ position: what the position record
// takes, and the sines and cosines that turn the sigmas.
struct GeodeticPosition {
    bool valid;                         // the position has a geodetic equivalent
    double latitude, longitude, height; // on the position grid
    double sinLat, cosLat, sinLon, cosLon;
};

// The last BESTXYZ position converted, under the exact bits of its X, Y
// and Z. A receiver that holds a fixed position logs the very same
// solution epoch after epoch; the conversion is a pure function of the
// three values, so the kept answer is the one the same input gives again,
// for three comparisons instead of the geodetic iteration and its arc
// tangents, sines and cosines.
struct KeptGeodetic {
    bool kept;
    uint64_t xBits, yBits, zBits;
    GeodeticPosition position;
};

struct Oem4Decoder {
    uint32_t open;
    int32_t port;
    PortMessageFn callback;
    DecodedEpochFn epochHandler;                    // may be null
    EpochSolverFn epochSolver;                      // may be null
    UnhealthyEphemerisFn unhealthyEphemerisHandler; // may be null
    int32_t state;
    uint32_t collected;
    uint32_t expectedTotal;
    const RecordTableEntry *row;
    uint32_t countEnd;
    std::array<uint8_t, kRecordBufferSize> record;
    // The body of the record being decoded: in record, or, for a record
    // that lay whole in the block being framed, in that block while its
    // decoder runs (its header is always copied into record).
    const uint8_t *body;
    std::array<uint8_t, kStagingAreaSize> staging;
    // Decoder working state.
    // When the satellite sent the GPS ephemeris handed out last, in seconds
    // of its broadcast week (NAN: not known); read by the driver after the
    // record's body is gone.
    double gpsEphemerisSent;
    LastPosition lastPosition;
    // Non-zero once a BESTPOS solution has been decoded since the port was
    // opened: from then on BESTXYZ no longer sets the last position.
    uint32_t bestposSeen;
    KeptGeodetic keptGeodetic;
    LastClockModel lastClockModel;
    std::array<SlipEntry, kSlipTableSize> slipTable;
    // The slip table entries that the last rebuild filled, one bit each.
    // Every other entry is all zero (OpenPort zeroes the table; only the
    // rebuild fills entries), so clearing these clears the table.
    uint64_t slipEntriesSet;
    Oem4Options options;
    uint32_t timeSyncMessages;
    ReceiverVersion receiverVersion;
    IonUtcParameters ionUtc;
    // The ephemerides of the other systems that the record just decoded
    // gave (a GALEPHEMERIS gives one for each Galileo message type), and
    // those systems' ionosphere and time parameters.
    std::array<NavRecord, 2> broadcast;
    uint32_t broadcastCount;
    NavCorrections corrections;
    // The epoch of the range record being decoded, every observation of it,
    // before the observation file's rules.
    DecodedEpoch decoded;
    // RANGECMP4 references and lock-time codes, kept between records.
    PackedRangeState packed;
    // Every signal's latest lock time, for the loss-of-lock indication.
    std::array<SignalLock, kSignalLockEntries> signalLocks;
    // The PRNs of the latest epoch the observation file got, in slot order:
    // an epoch cut to its channels keeps these first.
    std::array<uint16_t, MAXCHAN> tsqPrns;
    uint32_t tsqPrnCount;
    // Epochs still to be built by the screening passes without trying the
    // one pass first: set when the one pass found an epoch it could not
    // build, as the next ones of the same receiver will mostly be alike.
    uint32_t onePassRest;
    // What the observation file's rules left out over the conversion.
    ScreeningStats screeningStats;
    uint32_t resyncing; // non-zero while pending bytes are being fed again
    // Bytes of rejected candidates still to be fed again, pendingAt to
    // pendingEnd. A rejected candidate's bytes from the second on (from the
    // 8193rd for a long record: its first 8192 were dropped with its
    // overrun) go in front of what is already waiting, so that every valid
    // record hidden in it is found, however many there are and however
    // deeply they nest. Bytes wait here between calls only after a record
    // completed in the middle of them. The waiting bytes and the collected
    // ones are one run of the input from the candidate's first byte, never
    // longer than the longest record (a candidate ends by its stated length
    // or is dropped at 8192 collected bytes), so their count always fits:
    // this area while they are fewer than 8192, else the long record area's
    // (longPending). The indexes are kept inside the area by moving the
    // waiting bytes to its front whenever the next byte would not fit
    // behind them.
    std::array<uint8_t, kRecordBufferSize> pending;
    uint32_t pendingAt;
    uint32_t pendingEnd;
    // The almanac records of one ALMANAC record: the staging area holds
    // only 30, fewer than a full constellation lists.
    std::array<uint8_t, kMaxAlmanacs * kAlmanacRecordSize> almanacs;
    FramingStats framingStats;
    // Range records past kRecordBufferSize for the RINEX export (null until
    // the first). Last, and apart: the fields above keep the places in the
    // cache that the decoders' time was measured with (a 32-byte shift made
    // BESTXYZ and GPSEPHEM records a tenth slower), and a conversion without
    // such records allocates nothing. OpenPort keeps it.
    LongRecordArea *longArea;
    // Non-zero while the record being collected is past kRecordBufferSize
    // (its overrun was reported), in longArea->record.
    uint32_t longRecord;
    // Non-zero while the waiting bytes are in longArea->pending.
    uint32_t longPending;
    // Which antenna's range records the port decodes (PortAntenna), and who
    // gets the other antenna's (may be null).
    uint32_t antenna;
    OtherAntennaFn otherAntennaHandler;
    // Non-zero where the observation file is not written.
    uint32_t observationFileUnwritten;
};

// A receiver with two antennas logs the second one's ranges in records of
// their own, marked in the header, at the same times as the first's. A
// port decodes one antenna's: by default the first, counting the second's
// and handing each to its receiver when one is set (the driver decodes
// them on a port of their own), or else skipping them; or, on that port,
// the second's alone. OpenPort sets the default and clears the receiver.
enum PortAntenna : uint32_t {
    kPortFirstAntenna = 0,
    kPortSecondAntenna = 1,
};
void SetPortAntenna(int32_t port, PortAntenna antenna, OtherAntennaFn handler = nullptr);
// Whether a port's message is the one that follows the framing's overrun
// report of a range record too long for the observation file and says where
// its observations went.
bool IsLongRecordReport(const char *text);
// The receiver's clock model, which both antennas share, from one port to
// another: the second antenna's epochs get the receiver clock offset too.
void SharePortClockModel(int32_t from, int32_t to);

// The option record sizes SetPortOptions takes: with and without channels.
inline bool IsOem4OptionsSize(int32_t size) {
    return size == static_cast<int32_t>(OEM4CONV_OEM4_OPTIONS_SIZE) ||
           size == static_cast<int32_t>(OEM4CONV_OEM4_OPTIONS_SIZE_V1);
}
// The observation file's channels a host's options ask for: 0 (not set, or
// a record without the field) is the default.
inline uint32_t OptionsChannels(const Oem4Options &options) {
    return options.channels == 0 ? OEM4CONV_DEFAULT_CHANNELS : options.channels;
}
// Most satellites the range decoder puts into an epoch. The driver always
// sets the file's channels; a port given none builds epochs of every
// satellite it can hold.
inline uint32_t PortChannels(const Oem4Options &options) {
    return options.channels == 0 || options.channels > OEM4CONV_MAX_CHANNELS ? OEM4CONV_MAX_CHANNELS : options.channels;
}

// The state of an open port, or null when the port is not open.
Oem4Decoder *GetOpenPort(int32_t port);

int32_t OpenPort(int32_t port, PortMessageFn callback);
// Sets the receiver of the port's decoded epochs (null: none); OpenPort
// clears it.
void SetPortEpochHandler(int32_t port, DecodedEpochFn handler);
// Sets the solver of the port's epochs (null: none); OpenPort clears it.
// It is called only while the recomputeClock option is set.
void SetPortEpochSolver(int32_t port, EpochSolverFn solver);
// Sets the receiver of the GPS ephemerides refused for their health (null:
// none); OpenPort clears it.
void SetPortUnhealthyEphemerisHandler(int32_t port, UnhealthyEphemerisFn handler);
// Where the host's observation file is not written (RINEX alone), the
// messages about what it left out or could not attach are not sent: the
// epochs are still built as for the file, and those messages would tell of
// losses that did not happen. OpenPort clears it.
void SetPortObservationFileUnwritten(int32_t port);
void SetPortOptions(int32_t port, const Oem4Options *options, int32_t size);
int32_t DecodeByte(int32_t port, uint8_t byte, ThreadBuf *buf);
int32_t ResyncPort(int32_t port, ThreadBuf *buf);
// The input has ended: feeds the bytes still waiting to be fed again and
// those of a record left incomplete (which itself is dropped without a
// message), so that a valid record hidden in them is not lost. Returns like
// DecodeByte, one record per call; call it until it returns 0 or less.
int32_t FlushPort(int32_t port, ThreadBuf *buf);
// DecodeByte over a block: feeds bytes from data until one gives a non-zero
// result or the block ends, and tells how many bytes it took (the one that
// gave the result included). Results, messages and resynchronisation are
// those of feeding the same bytes one at a time to DecodeByte; the search
// for a sync byte and the middle of a record body are taken in bulk.
int32_t DecodeBytes(int32_t port, const uint8_t *data, uint32_t size, ThreadBuf *buf, uint32_t *used);

// The record table and its checks.
const RecordTableEntry *FindRecordTableEntry(uint32_t messageId);
bool CheckRecordLength(const RecordTableEntry *row, uint32_t messageLength);
// Whether the item count in a record of items (body: its body) gives its
// body length. Inline: the framing checks every record of items with it.
inline bool ItemCountFits(const RecordTableEntry *row, uint32_t messageLength, const uint8_t *body) {
    const uint8_t *field = body + row->countOffset;
    uint64_t count = 0;
    switch (row->countSize) {
    case 1: count = le::U1(field); break;
    case 2: count = le::U2(field); break;
    default: count = le::U4(field); break;
    }
    // 64-bit arithmetic: a huge count must not wrap onto the right length.
    return count * row->itemLength + row->fixedLength == messageLength;
}

// What the header checks found so far.
enum HeaderCheck : int32_t {
    HEADER_GOOD_SO_FAR = 0,
    HEADER_COMPLETE = 1,   // the first ten bytes passed; the body length is known
    HEADER_BAD_LEAD = 2,   // a sync byte or the header length is wrong
    HEADER_UNKNOWN_ID = 3, // the message id is not in the record table
    HEADER_BAD_LENGTH = 4, // the body length does not suit the record
};
// The header checks of every reader of the stream, in the order the bytes
// arrive: the sync bytes and the header length (bytes 0 to 3), the message
// id in the record table once byte 5 is in, the body length that the row
// allows once byte 9 is in. Checks record bytes from to to - 1 (to at most
// kHeaderChecksEnd); row receives the row when the id is checked and must
// hold it for a later call that checks the length.
// Inline: the framing calls it for every header byte.
inline constexpr uint32_t kHeaderChecksEnd = 10;
inline HeaderCheck CheckHeaderBytes(const uint8_t *record, uint32_t from, uint32_t to, const RecordTableEntry **row) {
    for (uint32_t at = from; at < to && at < kOem4Lead.size(); ++at) {
        if (!IsOem4LeadByte(at, record[at])) return HEADER_BAD_LEAD;
    }
    constexpr uint32_t kIdComplete = kHeaderMessageIdAt + 1;
    constexpr uint32_t kLengthComplete = kHeaderMessageLengthAt + 1;
    static_assert(kLengthComplete + 1 == kHeaderChecksEnd);
    if (from <= kIdComplete && kIdComplete < to) {
        *row = FindRecordTableEntry(le::U2(record + kHeaderMessageIdAt));
        if (*row == nullptr) return HEADER_UNKNOWN_ID;
    }
    if (from <= kLengthComplete && kLengthComplete < to) {
        return CheckRecordLength(*row, le::U2(record + kHeaderMessageLengthAt)) ? HEADER_COMPLETE : HEADER_BAD_LENGTH;
    }
    return HEADER_GOOD_SO_FAR;
}

bool CheckItemCount(const Oem4Decoder *dec);
bool CheckRecordCrc(const Oem4Decoder *dec);

// Helpers for decoders: header time (seconds of week) and week of the
// record being decoded.
double HeaderTime(const Oem4Decoder *dec);
uint16_t HeaderWeek(const Oem4Decoder *dec);
uint8_t HeaderTimeStatus(const Oem4Decoder *dec);
// The body of the record being decoded (right after the 28-byte header).
inline const uint8_t *RecordBody(const Oem4Decoder *dec) { return dec->body; }

// Reporting from decoders. Both do nothing when the port has no callback.
// PortReport passes a literal text as it is; PortReportf formats into
// ErrorText first and passes ErrorText.
void PortReport(const Oem4Decoder *dec, double time, const char *text);
void PortReportf(const Oem4Decoder *dec, double time, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// Reports the text of a failed ThreadBuf put.
void PortReportPutFailure(const Oem4Decoder *dec, double time, int32_t code);
