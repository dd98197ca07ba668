// The conversion driver: streams one OEM4 log through decoder port 0 in
// 2048-byte blocks and hands every decoded record to its writer: epochs to
// the .tsq observation file, ephemerides and almanacs to the .epp file,
// camera marks to the .sta file, and all of them to RINEX when asked; with
// RINEX, the range records of a receiver's second antenna go through port 1
// into an observation file of their own. The outputs are opened and closed
// as a set (output_set.cpp); the C entry point checks its arguments first
// (convert_entry.cpp).
#include "api/convert.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <sys/stat.h>

#include "api/error_text.h"
#include "api/output_set.h"
#include "api/rinex_export.h"
#include "common/gnss_time.h"
#include "common/physics.h"
#include "ephemeris/ephemeris_list.h"
#include "navigation/receiver_clock.h"
#include "oem4/gps_ephemeris.h"
#include "oem4/oem4_decoder.h"
#include "oem4/record_census.h"
#include "oem4/screening.h"
#include "oem4conv.h"
#include "output/rinex_file.h"
#include "output/text_outputs.h"
#include "output/tsq_file.h"
#include "threadbuf/payloads.h"
#include "threadbuf/threadbuf.h"

namespace {

constexpr const char *kUserQuitText = "User Quit";
// Counts are printed through %.0f (exact below 2^53): the C runtime of the
// Windows build does not know every 64-bit integer format.
constexpr const char *kLeftOutText =
    "Notice: %.0f %s observations left out (no place for them in the observation file)";
// The RINEX observation file holds every observation but these, and the
// user who converts for other programs must hear of them.
constexpr const char *kRinexLeftOutText = "Notice: %.0f %s observations left out of the RINEX observation file (%s)";
constexpr const char *kRinexNavLeftOutText =
    "Notice: %u %s ephemerides left out of the RINEX 2.11 navigation files (2.11 has no navigation file for them)";
constexpr const char *kCutEpochsText =
    "Notice: %u epochs had more satellites than the %u channels; %.0f satellites left out of them";
// Each such record was told as it came; the count of what they lost, once.
constexpr const char *kCompressedCutText =
    "Notice: %u compressed records had more than %u observations; %.0f observations left out of them";
// What was wrong with the log itself: the user must hear of a cut or
// damaged log even when every record read converted.
constexpr const char *kTruncatedText = "Notice: the log ends inside a '%s' record that starts at byte %.0f";
constexpr const char *kTruncatedUnknownText = "Notice: the log ends inside a record that starts at byte %.0f";
constexpr const char *kSkippedText = "Notice: %.0f bytes of the log skipped (unknown records or damaged data)";
constexpr const char *kSkippedRecordsText =
    "Notice: %.0f of those bytes are %.0f intact records of kinds the conversion does not read (message ids %s)";
constexpr const char *kSkippedRecordsAndRestText =
    "Notice: %.0f of those bytes are %.0f intact records of kinds the conversion does not read (message ids %s); "
    "the other %.0f are damaged data or lie between records";
// From this many bytes skipped on, the log is looked through once more to
// tell records of other kinds from damage (a second read of the whole log,
// worth it only where the skipped bytes are many).
constexpr uint64_t kCensusFrom = 64 * 1024;
constexpr const char *kTooFewSatellitesText =
    "Notice: %u epochs had fewer than 4 GPS satellites with an ephemeris: their clock offset and position could not "
    "be recomputed, and they hold none (clock offset 0, no position)";
constexpr const char *kCrcFailuresText = "Notice: %u records dropped (their CRC did not match)";
// Their messages are optional (record lengths) or carry no time: the count
// at least is always told.
constexpr const char *kLengthFailuresText = "Notice: %u records dropped (their length did not fit their kind)";
constexpr const char *kSecondAntennaText =
    "Notice: %u range records of the receiver's second antenna skipped (the files hold the first antenna's "
    "observations)";
constexpr const char *kSecondAntennaWrittenText =
    "Notice: %u range records of the receiver's second antenna converted into %s (%u epochs; the other files hold "
    "the first antenna's observations)";
constexpr const char *kSecondAntennaLeftOutText =
    "Notice: %.0f %s observations left out of the second antenna's RINEX observation file (%s)";
constexpr const char *kRepeatedEpochsText = "Notice: %.0f range records repeating the time of an epoch left out of "
                                            "the %sRINEX observation file (the first record of each time kept)";
constexpr const char *kUnknownWeekEpochsText =
    "Notice: %.0f epochs of GPS week 0 left out of the %sRINEX observation file (the receiver had not yet set its "
    "time)";
constexpr const char *kUnknownWeekMarksText =
    "Notice: %.0f camera marks of GPS week 0 left out of the RINEX observation file's events (the receiver had not "
    "yet set its time; the mark file holds them)";
constexpr const char *kUnknownWeekEphemeridesText =
    "Notice: %.0f GPS ephemerides of GPS week 0 left out of the RINEX navigation file (the receiver had not yet "
    "set its time, and no epoch of the log told the week)";
constexpr const char *kLateEventsText =
    "Notice: %.0f camera marks written to the RINEX observation file after an epoch later than their time (their "
    "MARKTIME came too late in the log, or after its time went back)";
constexpr const char *kRepeatedEventsText =
    "Notice: %.0f camera marks repeating the time of the mark before them (a pulse logged twice) left out of the "
    "RINEX observation file's events (the mark file holds them)";
constexpr const char *kUndatedEventsText =
    "Notice: %.0f camera marks of a time no date can show left out of the RINEX observation file's events (the mark "
    "file holds them)";
constexpr const char *kGlonassChannelText =
    "Notice: %u changes of a GLONASS satellite's frequency channel in the log (the first: R%02u from %d to %d); "
    "the %sRINEX observation file's GLONASS SLOT / FRQ # gives each slot's last channel";
constexpr const char *kRepeatedRangesText =
    "Notice: %u range records repeating the time of an epoch already decoded skipped (the first record of each "
    "time kept)";
constexpr const char *kOtherMarksText =
    "Notice: %u camera marks of the receiver's other mark inputs (MARK2TIME, MARK3TIME, MARK4TIME, MARK2POS, "
    "MARK3POS, MARK4POS) not converted (the mark file holds the MARKTIME marks)";
constexpr const char *kOtherMarksWithPvaText =
    "Notice: %u camera marks of the receiver's other mark inputs (MARK2TIME, MARK3TIME, MARK4TIME, MARK2POS, "
    "MARK3POS, MARK4POS, MARK2PVA, MARK3PVA, MARK4PVA) not converted (the mark file holds the MARKTIME marks)";
constexpr const char *kMarkPvasOnlyText =
    "Notice: %u camera marks logged by MARK1PVA without their MARKTIME not converted (the mark file holds the "
    "MARKTIME marks)";
constexpr const char *kMarkPositionsOnlyText =
    "Notice: %u camera marks logged by MARKPOS without their MARKTIME not converted (the mark file holds the "
    "MARKTIME marks)";
constexpr const char *kTimeBackText = "Notice: the log's time goes back from week %u %.3f to week %u %.3f";
constexpr const char *kTimeBackCountText = "Notice: the log's time went back %u times";
constexpr const char *kUnableToRead = "Error: Unable to read %s";

constexpr int32_t kPort = 0;
// The port of a receiver's second antenna, when the log has one and RINEX
// is written (the observation file holds the first antenna's alone).
constexpr int32_t kSecondAntennaPort = 1;
// The clock recomputation solves position and clock.
constexpr int32_t kRecomputeMode = 3;
constexpr std::size_t kBlockSize = 2048;
// The input is still taken in 2048-byte blocks (progress and abort run per
// block), but it is fetched from the system in larger pieces, straight into
// the read area: an unbuffered stream copies nothing on the way.
constexpr std::size_t kReadAreaSize = 64 * 1024;
static_assert(kReadAreaSize % kBlockSize == 0);

// Everything one conversion works with: ConvertFile sets it up at the start
// of every call (RunConversion), and nothing outside the call reads it.
struct Conversion {
    // The host record; used only during ConvertFile.
    const ConvertHost *host;
    // Channels of the observation file.
    uint32_t channels;
    // The counters that go back into the options record.
    uint32_t epochsWritten;
    uint32_t ephemeridesWritten;
    uint32_t spareCount;
    uint32_t marksWritten;

    OutputPaths paths;
    // The open outputs; owned by RunConversion, which closes them.
    OutputSet *out;

    // The first failure that ends the conversion: its text is restored into
    // ErrorText at the end, whatever was formatted after it.
    bool failed;
    char failureText[kErrorTextSize];

    // The log's first read, made before any output is created so that an
    // unreadable input (a directory, a failing disk) destroys nothing: the
    // bytes of the read area that ReadLog starts from.
    std::size_t firstRead;
    // How much the log is read at a time (ReadLog).
    std::size_t fetch;
    // Time of the epoch before, to notice the log's time going back.
    bool haveEpochTime;
    uint32_t lastEpochWeek;
    double lastEpochTime;

    uint8_t readArea[kReadAreaSize];
    ThreadBuf threadBuf;
    // Read areas for the drained records.
    EpochRecord epoch;
    MeasRecord meas[MAXCHAN];
    GpsEphRecord ephemeris;
    MarkRecord mark;
    AlmanacRecord almanacs[kMaxAlmanacs];
    TrackingRecord tracking[MAXCHAN];
    PositionRecord position;

    // The clock recomputation's own state, for this conversion (SolveEpoch).
    SolverState solver;
    // The RINEX export's state, for this conversion: the output set opens
    // and closes it, the drain feeds it.
    RinexExport rinex;
    // The receiver's second antenna's: its range records are decoded on a
    // port of their own, whose output for the observation file is dropped.
    RinexExport secondAntennaRinex;
    ThreadBuf secondAntennaBuf;
};
Conversion g_conversion = {};

// Settings for the conversions that follow, and what the latest one could
// not put into its observation file (read after it by LastConversionStats):
// these outlive a conversion on purpose.
ConvertRinexOptions g_rinex{};
// How much of a block DecodeBytes gets per call; 0 feeds byte by byte
// through DecodeByte. Tests compare the two.
uint32_t g_feedSize = kBlockSize;
// Whether a conversion that skipped many bytes looks through the log again
// (SetConvertCensus).
bool g_census = false;
ConversionStats g_stats;

// A write or read failure: the output would miss data, so the conversion
// stops and reports result 1. The host hears of it at once as well.
void Fail(double time) {
    if (!g_conversion.failed) {
        g_stats.osError = errno;
        g_conversion.failed = true;
        std::memcpy(g_conversion.failureText, ErrorText, sizeof g_conversion.failureText);
        g_conversion.failureText[sizeof g_conversion.failureText - 1] = '\0';
    }
    ForwardMessage(time, ErrorText);
}

int64_t InputLength(std::FILE *input) {
#if defined(_WIN32)
    struct _stat64 info;
    if (_fstat64(_fileno(input), &info) != 0 || (info.st_mode & _S_IFREG) == 0) return 0;
#else
    struct stat info;
    if (fstat(fileno(input), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
#endif
    return static_cast<int64_t>(info.st_size);
}

// A regular file gives every byte asked for up to its end at once; a pipe
// or terminal only what has arrived, and a read of more would wait for it.
bool IsRegularFile(std::FILE *input) {
#if defined(_WIN32)
    struct _stat64 info;
    return _fstat64(_fileno(input), &info) == 0 && (info.st_mode & _S_IFREG) != 0;
#else
    struct stat info;
    return fstat(fileno(input), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

void ReportProgress(int64_t done, int64_t total) {
    if (g_conversion.host->onProgress == nullptr) return;
    int32_t doneOut = 0;
    int32_t totalOut = 0;
    ScaleProgress(done, total, &doneOut, &totalOut);
    g_conversion.host->onProgress(doneOut, totalOut);
}

// Every decoded epoch goes to RINEX whole, whatever the observation file
// takes of it. Called by the decoder in the middle of a block: a failure
// stops the feeding after the record.
void ExportEpoch(const DecodedEpoch *epoch) {
    // The port keeps its handler after the conversion; a record decoded
    // outside one has nowhere to go.
    if (g_conversion.out == nullptr || !g_conversion.out->rinexOpen || g_conversion.failed) return;
    bool written = false;
    if (ExportRinexEpoch(g_conversion.rinex, epoch, &written) != 0) {
        Fail(epoch->time);
        return;
    }
    if (!written) return;
    ++g_stats.rinexEpochs;
    if (g_conversion.out->tsq == nullptr) ++g_conversion.epochsWritten; // RINEX only
}

// A decoded epoch of the second antenna: to its own RINEX file.
void ExportSecondAntennaEpoch(const DecodedEpoch *epoch) {
    if (g_conversion.out == nullptr || !g_conversion.out->secondAntennaOpen || g_conversion.failed) return;
    bool written = false;
    if (ExportRinexEpoch(g_conversion.secondAntennaRinex, epoch, &written) != 0) Fail(epoch->time);
    if (written) ++g_stats.secondAntennaEpochs;
}

// The second antenna's port tells only what its packed decoders (RANGECMP2,
// RANGECMP4, RANGECMP5, whose messages begin with the record's name) lost
// of the decoded epochs, which its RINEX file takes. Its other messages are
// about an observation file it does not write, and its records passed the
// framing of the first antenna's port already.
void SecondAntennaMessage(double time, const char *text) {
    // The first antenna's port reported the overrun of a record too long
    // for its buffer; where that record's observations went is this port's.
    if (std::strncmp(text, "RANGECMP2 ", 10) != 0 && std::strncmp(text, "RANGECMP4 ", 10) != 0 &&
        std::strncmp(text, "RANGECMP5 ", 10) != 0 && !IsLongRecordReport(text)) {
        return;
    }
    char line[kErrorTextSize];
    std::snprintf(line, sizeof line, "Second antenna: %s", text);
    ForwardMessage(time, line);
}

// Opens the second antenna's file and port, with its first record.
bool StartSecondAntenna(const Oem4Decoder &first) {
    if (!g_conversion.out->OpenSecondAntenna(g_rinex) || OpenPort(kSecondAntennaPort, SecondAntennaMessage) != 0)
        return false;
    SetPortOptions(kSecondAntennaPort, &first.options, sizeof first.options);
    SetPortAntenna(kSecondAntennaPort, kPortSecondAntenna);
    SetPortEpochHandler(kSecondAntennaPort, ExportSecondAntennaEpoch);
    return true;
}

void FeedSecondAntenna(const uint8_t *bytes, uint32_t size) {
    for (uint32_t at = 0; at < size && !g_conversion.failed;) {
        uint32_t used = 0;
        if (DecodeBytes(kSecondAntennaPort, bytes + at, size - at, &g_conversion.secondAntennaBuf, &used) < 0 ||
            used == 0) {
            return;
        }
        at += used;
    }
}

// A range record of the second antenna, handed over by the first antenna's
// port while it lies there: decoded on the second antenna's port, which is
// given the receiver's clock model first (both antennas share the clock).
void TakeSecondAntennaRecord(const uint8_t *header, const uint8_t *body, uint32_t bodyLength) {
    const Oem4Decoder *first = GetOpenPort(kPort);
    if (g_conversion.out == nullptr || !g_conversion.out->rinexOpen || g_conversion.failed || first == nullptr) return;
    if (!g_conversion.out->secondAntennaOpen && !StartSecondAntenna(*first)) {
        Fail(HeaderTime(first));
        return;
    }
    SharePortClockModel(kPort, kSecondAntennaPort);
    FeedSecondAntenna(header, kOem4HeaderLength);
    FeedSecondAntenna(body, bodyLength + kOem4CrcLength);
}

// The port's solver: the receiver clock offset and position of each epoch
// the range decoder has built, solved again from the ephemerides kept so
// far once there are enough of them, before the epoch goes into the
// ThreadBuf or to RINEX. A failed solution is reported, and the epoch then
// carries no position.
void SolveEpoch(double time, EpochRecord *epoch, MeasRecord *meas) {
    if (EphemerisListCount <= 3) return; // too few to solve, silently
    double clockOffset = 0.0;
    const int32_t result = RecomputeReceiverClock(&g_conversion.solver, epoch, meas, kRecomputeMode, epoch->latitude,
                                                  epoch->longitude, static_cast<double>(epoch->height), &clockOffset);
    if (result != 0) {
        ForwardMessage(time, ErrorText);
        ClearEpochPosition(epoch);
        return;
    }
    epoch->correctedTime = epoch->receiverTime - clockOffset / kSpeedOfLight;
    epoch->clockOffset = clockOffset;
}

// An epoch earlier than the one before: the first is told with both times,
// the count at the end.
void CheckEpochTime(const EpochRecord &epoch) {
    const uint32_t week = epoch.week;
    if (g_conversion.haveEpochTime &&
        (week < g_conversion.lastEpochWeek ||
         (week == g_conversion.lastEpochWeek && epoch.receiverTime < g_conversion.lastEpochTime))) {
        if (g_stats.timeReversals++ == 0) {
            ForwardMessage(epoch.receiverTime, FormatErrorText(kTimeBackText, g_conversion.lastEpochWeek,
                                                               g_conversion.lastEpochTime, week, epoch.receiverTime));
        }
    }
    g_conversion.haveEpochTime = true;
    g_conversion.lastEpochWeek = week;
    g_conversion.lastEpochTime = epoch.receiverTime;
}

void DrainEpoch() {
    if (ReadThreadBufData(&g_conversion.threadBuf, TBREC_EPOCH, 1, &g_conversion.epoch) == 0) return;
    CheckEpochTime(g_conversion.epoch);
    const int32_t measCount =
        ReadThreadBufData(&g_conversion.threadBuf, TBREC_MEAS, static_cast<int32_t>(MAXCHAN), g_conversion.meas);
    if (measCount == 0 || g_conversion.out->tsq == nullptr) return;
    if (WriteTsqEpoch(g_conversion.out->tsq, &g_conversion.epoch, g_conversion.meas) == 0) {
        ++g_conversion.epochsWritten;
        if (IsUnsetWeek(g_conversion.epoch.week)) {
            ++g_stats.unknownWeekEpochs;
            return;
        }
        if (g_stats.epochsTaken++ == 0) {
            g_stats.firstWeek = g_conversion.epoch.week;
            g_stats.firstTime = g_conversion.epoch.receiverTime;
        }
        g_stats.lastWeek = g_conversion.epoch.week;
        g_stats.lastTime = g_conversion.epoch.receiverTime;
        return;
    }
    // An epoch with more satellites than the file's channels is refused on
    // its own and the conversion goes on; any other refusal is the file
    // failing to take data.
    if (g_conversion.epoch.satCount > g_conversion.channels) {
        ++g_stats.refusedEpochs;
        ForwardMessage(g_conversion.epoch.receiverTime, ErrorText);
    } else {
        Fail(g_conversion.epoch.receiverTime);
    }
}

// A GPS ephemeris into the RINEX navigation file, when there is one; false
// when the conversion failed. The record just decoded is still in the
// port: its time tells the ephemeris's week and when it was received.
bool ExportGpsEphemeris(const GpsEphRecord *ephemeris) {
    if (!g_conversion.out->rinexOpen) return true;
    const Oem4Decoder *dec = GetOpenPort(kPort);
    const int32_t week = dec != nullptr ? HeaderWeek(dec) : 0;
    const double time = dec != nullptr ? HeaderTime(dec) : 0.0;
    const double sent = dec != nullptr ? GpsEphemerisSentSeconds(dec) : NAN;
    if (ExportRinexEphemeris(g_conversion.rinex, ephemeris, week, time, sent) == 0) return true;
    Fail(-1.0);
    return false;
}

void DrainEphemeris() {
    if (ReadThreadBufData(&g_conversion.threadBuf, TBREC_GPSEPH, 1, &g_conversion.ephemeris) == 0) return;
    if (WriteEppEphemeris(g_conversion.out->epp, g_conversion.paths.epp, &g_conversion.ephemeris) != 0) {
        Fail(-1.0);
        return;
    }
    if (ExportGpsEphemeris(&g_conversion.ephemeris)) ++g_conversion.ephemeridesWritten;
}

// A GPS ephemeris of bad health: refused by BASE.epp (and the clock
// recomputation), kept by the RINEX navigation file with its health, so
// that its readers stop using the satellite as the receiver did.
void ExportUnhealthyEphemeris(double, const GpsEphRecord *ephemeris) {
    if (g_conversion.out == nullptr || g_conversion.failed) return;
    ExportGpsEphemeris(ephemeris);
}

void DrainMark() {
    if (ReadThreadBufData(&g_conversion.threadBuf, TBREC_MARK, 1, &g_conversion.mark) == 0) return;
    if (WriteMarkEvent(g_conversion.out->sta, g_conversion.paths.sta, &g_conversion.mark) != 0 ||
        (g_conversion.out->rinexOpen && ExportRinexMark(g_conversion.rinex, &g_conversion.mark) != 0)) {
        Fail(g_conversion.mark.time);
        return;
    }
    ++g_conversion.marksWritten;
}

void DrainAlmanacs() {
    const int32_t count = ReadThreadBufData(&g_conversion.threadBuf, TBREC_ALMANAC, static_cast<int32_t>(kMaxAlmanacs),
                                            g_conversion.almanacs);
    for (int32_t i = 0; i < count; ++i) {
        ForwardMessage(
            -1.0, FormatErrorText("Almanac received for GPS PRN %d", static_cast<int>(g_conversion.almanacs[i].prn)));
        if (WriteEppAlmanac(g_conversion.out->epp, g_conversion.paths.epp, &g_conversion.almanacs[i]) != 0) {
            Fail(-1.0);
            return;
        }
    }
}

// Takes the output of the record just decoded, by what its decoder says it
// produced. The framing empties the ThreadBuf before every decoder call, so
// it holds that record's output only.
void Drain(int32_t kind) {
    switch (kind) {
    case RK_EPOCH: DrainEpoch(); break;
    case RK_EPHEMERIS: DrainEphemeris(); break;
    case RK_MARK: DrainMark(); break;
    case RK_ALMANAC: DrainAlmanacs(); break;
    case RK_BROADCAST:
        // The other systems' ephemerides have a place in RINEX only.
        if (g_conversion.out->rinexOpen && ExportRinexBroadcast(g_conversion.rinex, GetOpenPort(kPort)) != 0)
            Fail(-1.0);
        break;
    case RK_POSITION:
        // A position without a solution produces no record.
        if (g_conversion.out->rinexOpen &&
            ReadThreadBufData(&g_conversion.threadBuf, TBREC_POSITION, 1, &g_conversion.position) == 1) {
            ExportRinexPosition(g_conversion.rinex, &g_conversion.position);
        }
        break;
    default: break;
    }
}

void ActOnResult(int32_t kind) {
    if (kind > 0) {
        Drain(kind);
    } else if (kind < 0) {
        ForwardMessage(-1.0, ErrorText);
    }
}

// Feeds the block to the decoder. DecodeBytes stops at every byte whose
// result is not 0, so each decoded record is drained before the next byte
// is fed, exactly as when the bytes go one by one through DecodeByte.
void FeedBlock(const uint8_t *block, uint32_t size) {
    uint32_t at = 0;
    if (g_feedSize != 0) {
        while (at < size && !g_conversion.failed) {
            const uint32_t piece = size - at < g_feedSize ? size - at : g_feedSize;
            uint32_t used = 0;
            const int32_t kind = DecodeBytes(kPort, block + at, piece, &g_conversion.threadBuf, &used);
            at += used;
            // A closed port takes no byte; every byte then gets its own
            // result below, as it would one at a time.
            if (kind < 0) break;
            ActOnResult(kind);
        }
    }
    for (; at < size && !g_conversion.failed; ++at) ActOnResult(DecodeByte(kPort, block[at], &g_conversion.threadBuf));
}

void CloseInput(std::FILE *input) {
    if (input != nullptr) std::fclose(input);
}

// Opens the input and then the outputs; on failure everything already
// opened is closed again and ErrorText says why.
bool OpenFiles(std::FILE **input) {
    *input = std::fopen(g_conversion.paths.input, "rb");
    if (*input == nullptr) {
        FormatErrorText("Error: Unable to open %s", g_conversion.paths.input);
        return false;
    }
    // Reads then go straight into the read area (ReadLog); without this the
    // stream keeps its buffer and nothing is lost either. A log file is
    // read a read area at a time; a live log (a pipe) a block at a time, so
    // that every block is converted, reported and abortable as it arrives.
    std::setvbuf(*input, nullptr, _IONBF, 0);
    g_conversion.fetch = IsRegularFile(*input) ? sizeof g_conversion.readArea : kBlockSize;
    // Creating the outputs truncates them: the input must first show that
    // it can be read (a directory opens, but does not read).
    g_conversion.firstRead = std::fread(g_conversion.readArea, 1, g_conversion.fetch, *input);
    if (std::ferror(*input)) {
        FormatErrorText(kUnableToRead, g_conversion.paths.input);
        return false;
    }
    if (!g_conversion.out->Open(*input, &g_conversion.paths, g_rinex, g_conversion.channels)) return false;
    return OpenPort(kPort, ForwardMessage) == 0;
}

// What the decoder left out over the conversion, once per system, and how
// many epochs it had to cut to the channels: notices, since the file holds
// what it can, but the user must know what is not in it.
void ReportScreening() {
    const ScreeningStats *stats = GetScreeningStats(kPort);
    if (stats == nullptr) return;
    g_stats.screening = *stats;
    // Without the observation file (RINEX alone) nothing was left out of it.
    if (g_conversion.out->tsq == nullptr) return;
    for (uint32_t system = 0; system < kSystemCount; ++system) {
        if (stats->leftOut[system] == 0) continue;
        ForwardMessage(-1.0,
                       FormatErrorText(kLeftOutText, static_cast<double>(stats->leftOut[system]), SystemName(system)));
    }
    if (stats->cutEpochs != 0) {
        ForwardMessage(-1.0, FormatErrorText(kCutEpochsText, stats->cutEpochs, g_conversion.channels,
                                             static_cast<double>(stats->cutSatellites)));
    }
    if (stats->maxchanObservations != 0) {
        ForwardMessage(-1.0, FormatErrorText(kCompressedCutText, stats->maxchanRecords, stats->maxchanLimit,
                                             static_cast<double>(stats->maxchanObservations)));
    }
}

// Why observations are not in the RINEX observation file.
const char *RinexLeftOutWhy(uint32_t why, uint32_t system) {
    switch (why) {
    case kRinexNoNumber:
        return system == SYS_GLONASS ? "their slot was not yet known" : "no satellite number for the PRN";
    case kRinexNoCode: return "a signal RINEX has no code for";
    case kRinexNoRoom: return "more satellites or signals than an epoch holds";
    case kRinexNotIn211: return "the RINEX 2.11 file holds GPS, GLONASS and SBAS only";
    default: return "a signal RINEX 2.11 has no type for";
    }
}

// What a RINEX observation file left out over the conversion, once per
// reason and system, in the text given.
void ReportLeftOutOf(const RinexExport &x, const char *text) {
    const RinexLeftOut &left = RinexExportLeftOut(x);
    for (uint32_t why = 0; why < kRinexLeftOutReasons; ++why) {
        for (uint32_t system = 0; system < kSystemCount; ++system) {
            if (left[why][system] == 0) continue;
            ForwardMessage(-1.0, FormatErrorText(text, static_cast<double>(left[why][system]), SystemName(system),
                                                 RinexLeftOutWhy(why, system)));
        }
    }
}

// Epochs of a time already written, and of a week not yet known, once per
// file.
void ReportEpochsLeftOut(const RinexExport &x, const char *file) {
    const uint64_t repeated = RinexExportRepeatedEpochs(x);
    if (repeated != 0) ForwardMessage(-1.0, FormatErrorText(kRepeatedEpochsText, static_cast<double>(repeated), file));
    const uint64_t unknownWeek = RinexExportUnknownWeekEpochs(x);
    if (unknownWeek != 0) {
        ForwardMessage(-1.0, FormatErrorText(kUnknownWeekEpochsText, static_cast<double>(unknownWeek), file));
    }
}

// What the RINEX observation files left out, at the end.
void ReportRinexLeftOut() {
    if (g_conversion.out->rinexOpen) {
        ReportLeftOutOf(g_conversion.rinex, kRinexLeftOutText);
        ReportEpochsLeftOut(g_conversion.rinex, "");
        if (const uint64_t marks = RinexExportUnknownWeekMarks(g_conversion.rinex); marks != 0) {
            ForwardMessage(-1.0, FormatErrorText(kUnknownWeekMarksText, static_cast<double>(marks)));
        }
        if (const uint64_t ephemerides = RinexExportUnknownWeekEphemerides(g_conversion.rinex); ephemerides != 0) {
            ForwardMessage(-1.0, FormatErrorText(kUnknownWeekEphemeridesText, static_cast<double>(ephemerides)));
        }
        const auto &navLeftOut = RinexExportNavLeftOut(g_conversion.rinex);
        for (uint32_t system = 0; system < kSystemCount; ++system) {
            if (navLeftOut[system] == 0) continue;
            ForwardMessage(-1.0, FormatErrorText(kRinexNavLeftOutText, navLeftOut[system], SystemName(system)));
        }
    }
    if (g_conversion.out->secondAntennaOpen) {
        ReportLeftOutOf(g_conversion.secondAntennaRinex, kSecondAntennaLeftOutText);
        ReportEpochsLeftOut(g_conversion.secondAntennaRinex, "second antenna's ");
    }
}

// The bytes skipped split into intact records of kinds the conversion does
// not read and the rest: the log read once more from its start, through
// the read area. Only a regular file is read again.
std::size_t ReadForCensus(void *input, uint8_t *to, std::size_t most) {
    if (AbortCount.load() != 0) return 0;
    return std::fread(to, 1, most, static_cast<std::FILE *>(input));
}

void ReportSkippedRecords(std::FILE *input) {
    if (g_conversion.fetch != sizeof g_conversion.readArea) return;
    std::rewind(input);
    RecordCensus census;
    // The read area is a little short of the longest record; the census has
    // its own, made once for the rare log that needs it.
    constexpr std::size_t kArea = 2 * kCensusLongestRecord;
    const std::unique_ptr<uint8_t[]> area(new (std::nothrow) uint8_t[kArea]);
    if (area == nullptr) return;
    ReadRecordCensus(&census, ReadForCensus, input, area.get(), kArea);
    if (std::ferror(input) || AbortCount.load() != 0 || census.gaveUp || census.records == 0) return;
    g_stats.otherKindRecords = census.records;
    g_stats.otherKindBytes = std::min(census.bytes, g_stats.bytesSkipped);
    const CensusTop top = TopCensusIds(census);
    char ids[64] = "";
    std::size_t length = 0;
    for (std::size_t k = 0; k < top.count && length < sizeof ids; ++k) {
        const char *before = k == 0 ? "" : k + 1 < top.count || top.others != 0 ? ", " : " and ";
        const int n = std::snprintf(ids + length, sizeof ids - length, "%s%u", before, top.ids[k]);
        if (n > 0) length += static_cast<std::size_t>(n);
    }
    if (top.others != 0 && length < sizeof ids) {
        std::snprintf(ids + length, sizeof ids - length, " and %u other%s", static_cast<unsigned>(top.others),
                      top.others == 1 ? "" : "s");
    }
    const uint64_t rest = g_stats.bytesSkipped - g_stats.otherKindBytes;
    if (rest == 0) {
        ForwardMessage(-1.0, FormatErrorText(kSkippedRecordsText, static_cast<double>(g_stats.otherKindBytes),
                                             static_cast<double>(census.records), ids));
    } else {
        ForwardMessage(-1.0, FormatErrorText(kSkippedRecordsAndRestText, static_cast<double>(g_stats.otherKindBytes),
                                             static_cast<double>(census.records), ids, static_cast<double>(rest)));
    }
}

// What the framing skipped and dropped, once at the end, and how often
// the log's time went back.
void ReportFraming(int64_t done, std::FILE *input) {
    g_stats.bytesRead = static_cast<uint64_t>(done);
    const Oem4Decoder *dec = GetOpenPort(kPort);
    if (dec == nullptr) return;
    g_stats.records = dec->framingStats.records;
    g_stats.crcFailures = dec->framingStats.crcFailures;
    g_stats.lengthFailures = dec->framingStats.lengthFailures;
    g_stats.secondAntennaRanges = dec->framingStats.secondAntennaRanges;
    // A pulse may be logged by its time, its position, an INS receiver's
    // solution at it, or several: each input had as many pulses as the most
    // frequent of its records.
    const FramingStats &f = dec->framingStats;
    g_stats.otherMarkInputs = 0;
    bool otherPvas = false;
    for (uint32_t input = 1; input < kMarkInputs; ++input) {
        g_stats.otherMarkInputs += std::max({f.markTimes[input], f.markPositions[input], f.markPvas[input]});
        otherPvas = otherPvas || f.markPvas[input] != 0;
    }
    const uint32_t firstWithout = std::max(f.markPositions[0], f.markPvas[0]);
    g_stats.markPositionsOnly = firstWithout > f.markTimes[0] ? firstWithout - f.markTimes[0] : 0;
    g_stats.markPositionsByPva = f.markPvas[0] > f.markPositions[0];
    // Range records repeating an epoch's time, on either antenna's port.
    uint32_t repeated = dec->framingStats.repeatedEpochRanges;
    if (const Oem4Decoder *second = GetOpenPort(kSecondAntennaPort);
        second != nullptr && g_conversion.out->secondAntennaOpen) {
        repeated += second->framingStats.repeatedEpochRanges;
    }
    const uint64_t inRecords = dec->framingStats.recordBytes;
    g_stats.bytesSkipped = g_stats.bytesRead > inRecords ? g_stats.bytesRead - inRecords : 0;
    // An interrupted or failed conversion has not read the rest, and
    // stopped inside a block: the bytes it had not yet read to a record's
    // end are not known to be skipped, and nothing else is to be said.
    if (AbortCount.load() != 0 || g_conversion.failed) {
        g_stats.bytesSkipped = 0;
        return;
    }
    if (g_stats.bytesSkipped != 0 && g_stats.records != 0) {
        ForwardMessage(-1.0, FormatErrorText(kSkippedText, static_cast<double>(g_stats.bytesSkipped)));
        if (g_stats.bytesSkipped >= kCensusFrom && (g_census || dec->options.reportAll != 0)) {
            ReportSkippedRecords(input);
        }
    }
    if (g_stats.crcFailures != 0) ForwardMessage(-1.0, FormatErrorText(kCrcFailuresText, g_stats.crcFailures));
    if (g_stats.lengthFailures != 0) {
        ForwardMessage(-1.0, FormatErrorText(kLengthFailuresText, g_stats.lengthFailures));
    }
    if (g_stats.secondAntennaRanges != 0 && g_conversion.out->secondAntennaOpen) {
        ForwardMessage(-1.0, FormatErrorText(kSecondAntennaWrittenText, g_stats.secondAntennaRanges,
                                             g_conversion.paths.secondAntennaObs, g_stats.secondAntennaEpochs));
    } else if (g_stats.secondAntennaRanges != 0) {
        ForwardMessage(-1.0, FormatErrorText(kSecondAntennaText, g_stats.secondAntennaRanges));
    }
    if (repeated != 0) ForwardMessage(-1.0, FormatErrorText(kRepeatedRangesText, repeated));
    if (g_stats.markPositionsOnly != 0) {
        ForwardMessage(-1.0, FormatErrorText(g_stats.markPositionsByPva ? kMarkPvasOnlyText : kMarkPositionsOnlyText,
                                             g_stats.markPositionsOnly));
    }
    if (g_stats.otherMarkInputs != 0) {
        ForwardMessage(-1.0,
                       FormatErrorText(otherPvas ? kOtherMarksWithPvaText : kOtherMarksText, g_stats.otherMarkInputs));
    }
    if (g_stats.timeReversals > 1) ForwardMessage(-1.0, FormatErrorText(kTimeBackCountText, g_stats.timeReversals));
}

// A conversion starts afresh: counters, host, abort request, ephemeris list.
void BeginConversion(ConvertHost *host) {
    g_stats = ConversionStats{};
    g_conversion.epochsWritten = 0;
    g_conversion.ephemeridesWritten = 0;
    g_conversion.spareCount = 0;
    g_conversion.marksWritten = 0;
    g_conversion.host = host;
    AbortCount = 0;
    ClearEphemerisList();
    g_conversion.failed = false;
    g_conversion.firstRead = 0;
    g_conversion.haveEpochTime = false;
    g_conversion.solver = SolverState{};
    g_stats.truncatedAt = -1;
}

// A log that ends inside a record (its sync bytes at least were read) was
// cut: the record is lost, and the user is told where it began.
void ReportTruncation(int64_t done) {
    const Oem4Decoder *dec = GetOpenPort(kPort);
    if (dec == nullptr || dec->state == WAIT_SYNC || dec->collected < kOem4Lead.size()) return;
    const int64_t start = done - dec->collected - (dec->pendingEnd - dec->pendingAt);
    g_stats.truncatedAt = start;
    if (dec->state >= 0 && dec->row != nullptr) {
        ForwardMessage(-1.0, FormatErrorText(kTruncatedText, dec->row->name, static_cast<double>(start)));
    } else {
        ForwardMessage(-1.0, FormatErrorText(kTruncatedUnknownText, static_cast<double>(start)));
    }
}

// Reads the log block by block through the decoder until its end, a
// failure or an abort; returns the bytes read. The blocks are those that
// reads of 2048 bytes would give, down to the empty last one of a log of
// whole blocks, though the system is asked for more at once when the log is
// a file (OpenFiles). The first read was made when the files were opened.
int64_t ReadLog(std::FILE *input, int64_t total) {
    int64_t done = 0;
    std::size_t held = g_conversion.firstRead; // bytes in the read area
    std::size_t at = 0;                        // of which fed
    while (!g_conversion.failed && AbortCount.load() == 0) {
        if (at == held && !std::feof(input)) {
            if (std::ferror(input)) break;
            held = std::fread(g_conversion.readArea, 1, g_conversion.fetch, input);
            at = 0;
        }
        const std::size_t read = held - at < kBlockSize ? held - at : kBlockSize;
        done += static_cast<int64_t>(read);
        // Every byte of a block is fed; an abort is honoured between blocks.
        FeedBlock(g_conversion.readArea + at, static_cast<uint32_t>(read));
        at += read;
        if (g_conversion.failed) break;
        ReportProgress(done, total);
        if (AbortCount.load() != 0) SetErrorText(kUserQuitText);
        if (read < kBlockSize) break; // the end of the log (or a read error)
    }
    // At the end of the log, bytes of a rejected or incomplete record may
    // still hide whole records; they are decoded before the files close.
    if (!g_conversion.failed && AbortCount.load() == 0 && !std::ferror(input)) {
        ReportTruncation(done);
        int32_t kind = 0;
        while (!g_conversion.failed && (kind = FlushPort(kPort, &g_conversion.threadBuf)) > 0) Drain(kind);
        // The second antenna's port was given whole records: nothing waits
        // there but what a last one may have left.
        while (!g_conversion.failed && g_conversion.out->secondAntennaOpen &&
               FlushPort(kSecondAntennaPort, &g_conversion.secondAntennaBuf) > 0) {}
    }
    if (!g_conversion.failed && std::ferror(input)) {
        FormatErrorText(kUnableToRead, g_conversion.paths.input);
        Fail(-1.0);
    }
    return done;
}

// The counters go back into the options record, the files are closed and
// the result says how the conversion ended.
int32_t FinishConversion(ConvertOptions *options, std::FILE *input) {
    options->epochCount = g_conversion.epochsWritten;
    options->ephemerisCount = g_conversion.ephemeridesWritten;
    options->spareCount = g_conversion.spareCount;
    options->markCount = g_conversion.marksWritten;

    CloseInput(input);
    const bool rinexOpen = g_conversion.out->rinexOpen;
    const bool secondAntennaOpen = g_conversion.out->secondAntennaOpen;
    g_conversion.out->Close(GetOpenPort(kPort), Fail);
    // The writer places the events among the epochs as it prints them, so
    // how many it could not place in time order is known after the close.
    if (rinexOpen) {
        const RinexObsWriter *obs = &g_conversion.rinex.obs;
        const std::pair<uint64_t, const char *> untold[] = {{RinexObsLateEvents(obs), kLateEventsText},
                                                            {RinexObsRepeatedEvents(obs), kRepeatedEventsText},
                                                            {RinexObsUndatedEvents(obs), kUndatedEventsText}};
        for (const auto &[count, text] : untold) {
            if (count != 0) ForwardMessage(-1.0, FormatErrorText(text, static_cast<double>(count)));
        }
    }
    // Each antenna's file gives its own slots' channels, so each is told.
    const std::pair<const RinexExport *, const char *> files[] = {
        {rinexOpen ? &g_conversion.rinex : nullptr, ""},
        {secondAntennaOpen ? &g_conversion.secondAntennaRinex : nullptr, "second antenna's "}};
    for (const auto &[file, whose] : files) {
        RinexGlonassChange change{};
        if (const uint32_t changes = file != nullptr ? RinexObsGlonassChannelChanges(&file->obs, &change) : 0;
            changes != 0) {
            ForwardMessage(-1.0, FormatErrorText(kGlonassChannelText, changes, static_cast<unsigned>(change.slot),
                                                 static_cast<int>(change.from), static_cast<int>(change.to), whose));
        }
    }
    if (g_conversion.failed) {
        SetErrorText(g_conversion.failureText);
        return 1;
    }
    if (AbortCount.load() != 0) {
        SetErrorText(kUserQuitText);
        return 1;
    }
    return 0;
}

// One conversion from its paths to its result; the outputs it opens are
// closed before it returns, whichever way it ends.
int32_t Convert(ConvertOptions *options, ConvertHost *host) {
    BeginConversion(host);
    if (!PreparePaths(options, g_rinex, &g_conversion.paths)) return 1;

    OutputSet outputs;
    outputs.rinexExport = &g_conversion.rinex;
    outputs.secondAntennaExport = &g_conversion.secondAntennaRinex;
    g_conversion.out = &outputs;
    std::FILE *input = nullptr;
    if (!OpenFiles(&input)) {
        g_stats.osError = errno;
        CloseInput(input);
        outputs.Discard();
        return 1;
    }
    // The port always gets the full record, with the channels in force.
    Oem4Options converterOptions{};
    std::memcpy(&converterOptions, options->converterOptions, options->optionsSize);
    converterOptions.channels = g_conversion.channels;
    SetPortOptions(kPort, &converterOptions, sizeof converterOptions);
    SetPortEpochSolver(kPort, SolveEpoch);
    if (g_conversion.out->tsq == nullptr) SetPortObservationFileUnwritten(kPort);
    if (g_conversion.out->rinexOpen) {
        SetPortEpochHandler(kPort, ExportEpoch);
        SetPortUnhealthyEphemerisHandler(kPort, ExportUnhealthyEphemeris);
        SetPortAntenna(kPort, kPortFirstAntenna, TakeSecondAntennaRecord);
    }

    int64_t total = InputLength(input);
    const int64_t done = ReadLog(input, total);
    ReportScreening();
    // The receiver's own position and clock offset of these epochs are
    // cleared with the rest: that must not pass unsaid.
    if (const uint32_t unsolved = g_conversion.solver.tooFewSatellites; unsolved != 0) {
        ForwardMessage(-1.0, FormatErrorText(kTooFewSatellitesText, unsolved));
    }
    ReportRinexLeftOut();
    ReportFraming(done, input);
    // A log still being recorded may have grown since its length was taken.
    if (done > total) total = done;
    ReportProgress(total, total);
    return FinishConversion(options, input);
}

} // namespace

int32_t RunConversion(ConvertOptions *options, ConvertHost *host, uint32_t channels) {
    g_conversion.channels = channels;
    const int32_t result = Convert(options, host);
    g_conversion.out = nullptr;
    g_conversion.host = nullptr;
    return result;
}

const ConversionStats &LastConversionStats() { return g_stats; }

uint32_t EpochsWrittenSoFar() { return g_conversion.epochsWritten; }

void SetConvertRinex(const ConvertRinexOptions *options) {
    if (options == nullptr) {
        g_rinex = ConvertRinexOptions{};
        return;
    }
    g_rinex = *options;
    g_rinex.markerName[sizeof g_rinex.markerName - 1] = '\0';
}

bool SetConvertCensus(bool on) {
    const bool before = g_census;
    g_census = on;
    return before;
}

uint32_t SetConvertFeedSize(uint32_t size) {
    const uint32_t before = g_feedSize;
    g_feedSize = size;
    return before;
}

void ForwardMessage(double time, const char *text) {
    if (g_conversion.host != nullptr && g_conversion.host->onMessage != nullptr)
        g_conversion.host->onMessage(time, text);
}

void ScaleProgress(int64_t done, int64_t total, int32_t *doneOut, int32_t *totalOut) {
    if (done < 0) done = 0;
    if (total < done) total = done;
    int shift = 0;
    while ((total >> shift) > INT32_MAX) ++shift;
    *doneOut = static_cast<int32_t>(done >> shift);
    *totalOut = static_cast<int32_t>(total >> shift);
}
