// Quality report of one conversion: reads the .tsq, .epp and .sta files
// written for one output base (and, when saved, the conversion's messages)
// and says in one look whether the session's data is good.
//
// Outputs:
//  - one self-contained HTML file (inline SVG, no script, nothing fetched);
//  - a plain-text summary;
//  - the same numbers as JSON, so that a script can gate on them.
//
// Every statistic is computed from every record; only the drawings are
// thinned (per-pixel buckets), so a full day at 1 Hz or an hour at 20 Hz
// stays a file of a few hundred kilobytes that renders quickly.
//
// Definitions used throughout
//  - Times: an epoch's time counts seconds from the start of the first
//    epoch's GPS week (weeks after it add 604800 s), so sessions crossing a
//    week boundary are measured correctly and 20 Hz intervals keep their
//    precision.
//  - Logging rate: the median of the positive intervals between consecutive
//    epochs (lower median: the smaller middle value when the count is even).
//  - Gap: an interval greater than 1.5 x the rate the epochs keep on both
//    sides of it (the second shortest of the 6 positive intervals before
//    it, and of the 6 after it: up to four gaps among them leave the rate
//    as it was); it misses round(interval / the slower of the two) - 1
//    epochs. So a log whose rate changes has no gap where it changes, nor in
//    its stretches at the other rate; each change of rate is counted (where
//    both sides hold 3 intervals or more). Intervals of 0 (repeated epoch
//    time) and negative intervals (time going back) are counted apart,
//    never as gaps.
//  - Satellites per epoch: the measurement count of each epoch; the median is
//    the lower median.
//  - Availability: the share of all satellite observations (measurement
//    records) with a non-zero L1 pseudorange, L2 pseudorange and L2 phase.
//  - Cycle slip: the L1 lock time of a PRN is lower than in the epoch just
//    before, where the PRN was also observed. Lock times are stored in whole
//    seconds, so a loss of lock within the first second of a new lock is not
//    seen. A PRN that reappears after missing epochs is an outage, not a slip.
//  - Camera marks: the median of the positive intervals between consecutive
//    marks in file order. Anomalies: an interval deviating more than 50 %
//    from that median; a mark before the first or after the last epoch
//    (observation span); a mark time or a mark number that occurs more than
//    once; a mark number that does not follow the one before (marks lost).
//    Mark times carry no week: each is placed in the week that puts it
//    closest to the observation span.
//  - Sky plot: GPS satellites from the EPP ephemerides (the one with the
//    nearest toe, within 4 h), seen from the mean of the epochs' attached
//    positions (averaged in Earth-centred coordinates).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/gnss_time.h"
#include "threadbuf/payloads.h"

namespace report {

// ---- request --------------------------------------------------------------
struct ReportRequest {
    // Output base of the conversion: its extension (if any) is replaced by
    // .tsq, .epp and .sta as the converter does.
    std::string base;
    std::string htmlPath;         // "" writes no HTML
    std::string jsonPath;         // "" writes no JSON, "-" writes it to stdout
    std::string messagesPath;     // "" when the conversion's messages were not saved
    std::FILE *summary = nullptr; // plain-text summary; null writes none
};

// Results of BuildQualityReport.
inline constexpr int kReportOk = 0;
inline constexpr int kReportInputFailed = 1;  // the .tsq (or a named messages file) unreadable
inline constexpr int kReportOutputFailed = 2; // an output could not be written

// Reads the conversion's files and writes the requested outputs. A missing
// .epp or .sta is reported inside the report, not as a failure; a damaged
// .tsq is reported with the epochs read before the damage. On failure the
// reason is in *error (when error is not null).
int BuildQualityReport(const ReportRequest &request, std::string *error);

// ---- what the report holds ------------------------------------------------
inline constexpr int kPrnSlots = 256;

struct EpochSample {
    double time;                // seconds from the start of the reference week
    double latitude, longitude; // degrees, valid when flags bit 0 is set
    double clockOffset;         // metres, 0 when none
    float height;
    uint8_t satCount;
    uint8_t flags;
};

// The epoch holds a position that can be one: the flag set, latitude and
// longitude within their ranges, a height within 10,000 km of the
// ellipsoid. Others are left out of the mean position and the drawings.
bool HasUsablePosition(const EpochSample &e);

struct TimeRun {
    double start, end; // seconds from the start of the reference week
};

struct Gap {
    double start;      // time of the epoch before the gap
    double interval;   // seconds to the next epoch
    int64_t missing;   // epochs missing against the rate around the gap
    std::size_t after; // index of the epoch before the gap in ReportData::epochs
};

struct Slip {
    double time;
    uint8_t prn;
    uint8_t lockBefore, lockAfter; // seconds
};

struct PrnStats {
    uint32_t epochs = 0;   // epochs in which the PRN was observed
    uint32_t l2Epochs = 0; // ... with L2 code or phase
    uint32_t slips = 0;
    uint32_t outages = 0;        // reappearances after missing epochs
    std::vector<TimeRun> l1, l2; // continuous tracking, broken by outages and gaps
};

struct MarkEntry {
    // Written unsigned by the converter, signed (%d) by other writers: a
    // number of either is read as it was meant.
    int64_t number;
    double tow;  // seconds of week as written
    double time; // seconds from the start of the reference week
};

enum MarkAnomalyKind : int32_t {
    kMarkInterval = 0,  // value: the interval before this mark, seconds
    kMarkOutsideSpan,   // value: seconds before the first (negative) or after the last epoch
    kMarkDuplicateTime, // value: 0
    kMarkDuplicateNumber,
    kMarkNumberJump, // value: mark numbers missing before this one (negative: went back)
};
const char *MarkAnomalyName(int32_t kind);

struct MarkAnomaly {
    int32_t kind;
    int64_t number;
    double tow;
    double value;
};

// Categories of the conversion's messages.
enum MessageCategory : int32_t { kFraming = 0, kRefusedEpoch, kNotice, kOther };

struct MessageKind {
    const char *key;   // JSON name
    const char *label; // summary text
    int32_t category;
};
// The known kinds; the last entry is the catch-all "other".
const std::vector<MessageKind> &MessageKinds();
// Index into MessageKinds() of the kind of one message text.
std::size_t ClassifyMessage(const char *text);

struct SkyPoint {
    float azimuth, elevation; // degrees; a negative elevation breaks the track
};
struct SkyTrack {
    int32_t prn;
    std::vector<SkyPoint> points;
};

struct ReportData {
    std::string tsqPath, eppPath, staPath, messagesPath;
    std::vector<std::string> problems; // what could not be read, in words

    // Observation file.
    bool haveTsq = false;
    uint8_t receiverType = 0, channels = 0;
    uint64_t epochCount = 0; // every epoch read, including those without a usable time
    uint64_t badTimeEpochs = 0;
    // Of those, the epochs of GPS week 0 (IsUnsetWeek), which would open a
    // gap of decades before the log's epochs.
    uint64_t unknownWeekEpochs = 0;
    double unknownWeekFirstTow = 0, unknownWeekLastTow = 0; // their seconds (since power-on)
    // Camera marks among those epochs: the mark file holds no week, and
    // their seconds would pass for a time far outside the log's span.
    uint64_t unknownWeekMarks = 0;
    std::vector<EpochSample> epochs; // epochs with a finite time, in file order
    int32_t referenceWeek = 0;       // GPS week of the first epoch; times count from its start
    int32_t firstWeek = 0, lastWeek = 0;
    double firstTow = 0, lastTow = 0;
    double firstTime = 0, lastTime = 0;
    double rate = 0;
    std::vector<Gap> gaps;
    int64_t missingEpochs = 0;
    uint64_t rateChanges = 0; // stretches of the log at another rate begin or end
    uint64_t repeatedTimes = 0, backwardSteps = 0;
    int32_t satsMin = 0, satsMedian = 0, satsMax = 0;
    uint64_t measurements = 0, l1Code = 0, l2Code = 0, l2Phase = 0;
    uint64_t withPosition = 0, withClockOffset = 0;
    PrnStats prns[kPrnSlots];
    std::vector<Slip> slips;

    // Ephemeris file.
    bool haveEpp = false;
    std::vector<GpsEphRecord> ephemerides;
    uint32_t ephemerisPrns = 0; // distinct PRNs with an ephemeris
    uint32_t almanacs = 0;
    uint32_t otherBlocks = 0; // other block kinds of the format
    uint32_t badBlocks = 0;   // blocks that could not be read

    // Mean position and sky tracks.
    bool haveMeanPosition = false;
    double meanLatitude = 0, meanLongitude = 0, meanHeight = 0; // degrees, metres
    std::vector<SkyTrack> sky;

    // Mark file.
    bool haveSta = false;
    std::vector<MarkEntry> marks;
    uint32_t badMarkLines = 0;
    double markInterval = 0; // median
    std::vector<MarkAnomaly> markAnomalies;

    // Messages.
    bool haveMessages = false;
    std::vector<uint64_t> messageCounts; // per MessageKinds() entry
    uint64_t messageCount = 0;
    // What the conversion could not put into the observation file, from its
    // closing notices: observations left out per satellite system (index as
    // in the tracking status), epochs cut to the channels and the satellites
    // left out of them.
    uint64_t leftOut[8] = {};
    uint64_t cutEpochs = 0, cutSatellites = 0;
    // Compressed records over the observation limit, and what they lost.
    uint64_t compressedCutRecords = 0, compressedCutObservations = 0;

    // RINEX observation file (BASE.obs), when the conversion wrote one: it
    // holds every signal of the log, so it tells what each system and
    // signal contributed. A signal counts once per satellite and epoch in
    // which its code or phase is there.
    bool haveObs = false;
    std::string obsPath;
    struct SignalCount {
        char system;      // RINEX letter
        std::string code; // "1C" (3.04), or the band's digit (2.11)
        uint64_t count;
    };
    std::vector<SignalCount> signals; // in the order of the file's header
    // Bytes of the log outside the records read (unknown records, damage);
    // the records dropped for a CRC failure are a message kind.
    uint64_t bytesSkipped = 0;
    // Of them, the bytes of intact records of kinds the conversion does not
    // read (told when the skipped bytes were many).
    uint64_t skippedInOtherRecords = 0;
    // Records dropped because their length did not fit their kind, from the
    // closing notice: each one's own message is an optional notice, often
    // not kept, and such a record may have been a camera mark.
    uint64_t lengthDropped = 0;
    // Pulses of the receiver's other mark inputs (MARK2TIME...), counted by
    // the conversion and not in the mark file.
    uint64_t otherMarks = 0;
    // Pulses of the first mark input logged by MARKPOS without MARKTIME.
    uint64_t markPositionsOnly = 0;
    bool markPositionsByPva = false; // told of MARK1PVA's, not MARKPOS's
};

// "GPS 1C 3600, 2W 3580; GLONASS 1C 1200", or "" without a RINEX file.
std::string SignalsText(const ReportData &data);
// Reads BASE.obs (RINEX 3.04 or 2.11) beside the .tsq file, when there is one.
void ReadRinexSignals(ReportData *data);

// "Galileo 120, BeiDou 80 observations left out; 3 epochs cut to the
// channels (5 satellites); 1200 bytes of the log skipped; 2 records dropped
// (length); 40 marks of other mark inputs; 3 marks logged by MARKPOS alone",
// or "" when the messages tell of nothing left out.
std::string LeftOutText(const ReportData &data);

// ---- steps, for tests and hosts that want the numbers only ------------------
// Fills paths from the base, reads all inputs and computes every statistic.
// Returns kReportOk or kReportInputFailed (with *error).
int CollectReport(const ReportRequest &request, ReportData *data, std::string *error);
// A base ending in digits or a date ("run.1") names its files whole, as
// the conversion's -o does, where they are; files named without it come
// from a log so named, or from an older conversion.
bool BaseNamesFilesWhole(const std::string &base);

// Text of any bytes (file names, lines of the inputs) into a UTF-8
// document: each well-formed UTF-8 sequence of two bytes or more is copied
// as it is, every other byte is given to `put` as a code point, ASCII as
// itself and a byte outside well-formed UTF-8 (a name in a Latin-1 code
// page) as the Latin-1 character it would be. `put` escapes what the
// document's syntax and control characters need.
void AppendText(std::string *out, const std::string &text, void (*put)(std::string *out, unsigned code));

void WriteSummaryText(std::FILE *out, const ReportData &data);
// 0 on success, 1 when the stream reported a write error.
int WriteJson(std::FILE *out, const ReportData &data);

// HTML sections; WriteHtml writes the chosen ones (all by default) so that
// each can be rendered on its own.
enum HtmlSection : uint32_t {
    kSectionSummary = 1u << 0,
    kSectionTracking = 1u << 1,
    kSectionSky = 1u << 2,
    kSectionMarks = 1u << 3,
    kSectionReceiver = 1u << 4,
    kSectionMessages = 1u << 5,
    kAllSections = 0x3Fu,
};
int WriteHtml(std::FILE *out, const ReportData &data, uint32_t sections = kAllSections);

// GPS week and seconds of week of a report time.
int32_t WeekAt(const ReportData &data, double time);
double TowAt(double time);

// GPS time of day "hh:mm:ss" (with tenths when the time is not whole).
std::string FormatTimeOfDay(double tow);

} // namespace report
