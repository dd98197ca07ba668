// Reading one conversion's files and computing the report's statistics.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "api/convert.h"
#include "common/error_text.h"
#include "common/gnss_time.h"
#include "common/physics.h"
#include "navigation/coordinates.h"
#include "navigation/orbit.h"
#include "oem4/signals.h"
#include "output/tsq_reader.h"
#include "report.h"

namespace report {
namespace {

constexpr double kGapFactor = 1.5;
constexpr double kMarkDeviation = 0.5;
constexpr double kEphemerisReach = 4.0 * 3600.0;
constexpr int kSkySamples = 360;

const std::vector<MessageKind> kKinds = {
    {"crc_failures", "CRC failures", kFraming},
    {"invalid_record_length", "Invalid record lengths", kFraming},
    {"invalid_item_count", "Item counts not matching the length", kFraming},
    {"buffer_overruns", "Records over 8192 bytes", kFraming},
    {"long_records_rinex_only", "Records over 8192 bytes in the RINEX file only", kNotice},
    {"resynchronisations", "Resynchronisations after a rejected record", kNotice},
    {"too_many_satellites", "Too many satellites for internal buffers", kRefusedEpoch},
    {"staging_overflow", "Output buffer overflow", kRefusedEpoch},
    {"too_many_measurements", "More measurements than channels", kRefusedEpoch},
    {"write_failures", "Epochs not written (disk)", kRefusedEpoch},
    {"observations_beyond_24", "Notices of compressed records over the observation limit", kNotice},
    {"observations_left_out", "Systems with observations left out", kNotice},
    {"epochs_cut_to_channels", "Notices of epochs cut to the channels", kNotice},
    {"l1_cycle_slips", "L1 cycle slips reported", kNotice},
    {"l2_cycle_slips", "L2 cycle slips reported", kNotice},
    {"rising_satellites", "Rising or re-appearing satellites", kNotice},
    {"time_sync_errors", "RANGE/BESTPOS time synchronisation errors", kNotice},
    {"missing_clock_offset", "Missing clock offsets", kNotice},
    {"bad_code_tracking", "Bad L1 code tracking", kNotice},
    {"l2_without_l1", "L2 without L1", kNotice},
    {"almanacs_received", "Almanacs received", kNotice},
    {"ephemerides_received", "Ephemerides received", kNotice},
    {"unhealthy_ephemerides", "Ephemerides of satellites flagged unhealthy (not converted)", kNotice},
    {"invalid_values", "Records dropped for values no broadcast can give", kNotice},
    {"unsolved_epochs", "Notices of epochs the recomputation could not solve", kNotice},
    {"compressed_ranges_dropped", "RANGECMP2/4/5 observations dropped", kNotice},
    {"rinex_left_out", "Observations the RINEX file cannot hold", kNotice},
    {"repeated_epochs", "Range records repeating an epoch's time (the first kept)", kNotice},
    {"second_antenna_ranges", "Range records of a second antenna (skipped, or in its own RINEX file)", kNotice},
    {"errors", "Other errors", kOther},
    {"other", "Other messages", kOther},
};

// Substrings naming each kind, checked in order (the first match wins).
struct Pattern {
    const char *text;
    const char *key;
};
const Pattern kPatterns[] = {
    {"CRC failure", "crc_failures"},
    {"Invalid record length", "invalid_record_length"},
    {"Invalid variable data length", "invalid_item_count"},
    {"Buffer overrun", "buffer_overruns"},
    {"in the RINEX file only", "long_records_rinex_only"},
    {"Record decoding failed", "resynchronisations"},
    {"Too many satellites for internal buffers", "too_many_satellites"},
    {"Output buffer overflow", "staging_overflow"},
    {" measurements ", "too_many_measurements"},
    {"(disk full)", "write_failures"},
    {"Unable to write", "write_failures"},
    {"MAXCHAN(", "observations_beyond_24"},
    {"compressed records had more than", "observations_beyond_24"},
    {"observations left out (no place", "observations_left_out"},
    {"epochs had more satellites than the", "epochs_cut_to_channels"},
    {"channels; left out PRN", "epochs_cut_to_channels"},
    {"L1 cycle slip", "l1_cycle_slips"},
    {"L2 cycle slip", "l2_cycle_slips"},
    {"rising or re-appearing", "rising_satellites"},
    {"time synchronization error", "time_sync_errors"},
    {"Missing clock offset", "missing_clock_offset"},
    {"bad code tracking", "bad_code_tracking"},
    {"had L2 data but no data for L1", "l2_without_l1"},
    // Before the ones received: these were received, and dropped.
    {"with BAD HEALTH", "unhealthy_ephemerides"},
    {"with invalid values", "invalid_values"},
    {"epochs had fewer than 4 GPS satellites", "unsolved_epochs"},
    {"Almanac received", "almanacs_received"},
    {"Ephemeris received", "ephemerides_received"},
    {"repeating the time of an epoch", "repeated_epochs"},
    {"left out of the RINEX observation file", "rinex_left_out"},
    {"left out of the RINEX 2.11 navigation files", "rinex_left_out"},
    {"left out of the second antenna's RINEX observation file", "rinex_left_out"},
    {"receiver's second antenna skipped", "second_antenna_ranges"},
    {"receiver's second antenna converted into", "second_antenna_ranges"},
    {"RANGECMP2 ", "compressed_ranges_dropped"},
    {"RANGECMP4 ", "compressed_ranges_dropped"},
    {"RANGECMP5 ", "compressed_ranges_dropped"},
    {"Error", "errors"},
};

// Reads one line of any length; keeps at most capacity-1 characters and
// reports whether the line was cut. False at the end of the stream.
bool ReadLine(std::FILE *in, char *line, std::size_t capacity, bool *cut) {
    std::size_t used = 0;
    *cut = false;
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (used + 1 < capacity) {
            line[used++] = static_cast<char>(c);
        } else {
            *cut = true;
        }
    }
    while (used > 0 && (line[used - 1] == '\r' || line[used - 1] == ' ' || line[used - 1] == '\t')) {
        --used;
    }
    line[used] = '\0';
    return any;
}

const char *SkipSpace(const char *p) {
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

bool StartsWith(const char *text, const char *prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Lower median of a vector (which it reorders).
double LowerMedian(std::vector<double> *values) {
    if (values->empty()) return 0;
    const std::size_t middle = (values->size() - 1) / 2;
    std::nth_element(values->begin(), values->begin() + static_cast<std::ptrdiff_t>(middle), values->end());
    return (*values)[middle];
}

void AddProblem(ReportData *data, const std::string &text) { data->problems.push_back(text); }

// The rate a side of a step keeps: the second shortest of up to
// kRateWindow positive intervals (the only one where there is one). Up to
// four gaps among the six, a run of them included, leave it the rate of
// the epochs between them; and a step needs five intervals of another rate
// on a side before that side takes the other rate, so that a gap an epoch
// or two from a change of rate is still measured against its own.
constexpr std::size_t kRateWindow = 6;
// A change of rate is counted only where both sides hold this many
// intervals: at the log's first and last steps one side is the step next
// to them alone, a gap there would read as a change.
constexpr std::size_t kRateChangeWindow = 3;
double WindowRate(const double *values, std::size_t n) {
    double shortest = HUGE_VAL, second = HUGE_VAL;
    for (std::size_t i = 0; i < n; ++i) {
        if (values[i] < shortest) {
            second = shortest;
            shortest = values[i];
        } else if (values[i] < second) {
            second = values[i];
        }
    }
    return n > 1 ? second : shortest;
}

// Gaps against the rate the epochs keep around each step, not the log's
// overall rate: a log taken at 1 Hz, then at 20 Hz for a flight, then at
// 1 Hz again has no gap in its 1 Hz stretches. A step is a gap only when it
// is longer than 1.5 x the rate on both sides (WindowRate of the
// kRateWindow steps before it, and of those after it; where a side has no
// interval, the other alone), and it misses epochs of the slower of the
// two. A run of steps whose two sides differ by more than that factor is
// one change of rate.
void FindGapsAndRateChanges(const std::vector<double> &intervals, const std::vector<double> &positive,
                            ReportData *data) {
    bool changing = false;
    std::size_t p = 0; // the positive intervals hold the steps' positive ones in order
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        if (intervals[i] <= 0) continue;
        const std::size_t nBefore = std::min(p, kRateWindow);
        const std::size_t nAfter = std::min(positive.size() - 1 - p, kRateWindow);
        const double d = positive[p++];
        if (nBefore == 0 && nAfter == 0) break; // one interval: no rate to measure it against
        const double before = nBefore > 0 ? WindowRate(&positive[p - 1 - nBefore], nBefore) : 0.0;
        const double after = nAfter > 0 ? WindowRate(&positive[p], nAfter) : 0.0;
        const double slower = std::max(before, after);
        if (d > kGapFactor * slower) {
            const double ratio = std::min(d / slower, 9.0e15);
            const int64_t missing = static_cast<int64_t>(std::llround(ratio)) - 1;
            data->gaps.push_back({data->epochs[i].time, d, missing, i});
            // Each gap's count is bounded, but not their sum.
            data->missingEpochs = missing > INT64_MAX - data->missingEpochs ? INT64_MAX : data->missingEpochs + missing;
            continue;
        }
        const bool differ = nBefore >= kRateChangeWindow && nAfter >= kRateChangeWindow &&
                            slower > kGapFactor * std::min(before, after);
        if (differ && !changing) ++data->rateChanges;
        changing = differ;
    }
}

// ---- observation file --------------------------------------------------------
struct PrnMemory {
    int64_t lastEpoch = -2; // index into the epochs with a time
    uint8_t lastLock = 0;
    bool lastL2 = false;
};

void ExtendRun(std::vector<TimeRun> *runs, bool continues, double time) {
    if (continues && !runs->empty()) {
        runs->back().end = time;
    } else {
        runs->push_back({time, time});
    }
}

// Over 60 lines: one pass over the observation file gathers every figure
// the report shows from it, and the figures share the state of that pass.
bool ReadObservations(ReportData *data, std::string *error) {
    auto reader = std::make_unique<TsqReader>();
    if (OpenTsqReader(reader.get(), data->tsqPath.c_str()) != 0) {
        *error = ErrorText;
        return false;
    }
    data->haveTsq = true;
    TsqHeaderFields header;
    GetTsqHeaderFields(reader->header, &header);
    data->receiverType = header.receiverType;
    data->channels = header.channels;

    static EpochRecord epoch;
    static MeasRecord meas[kTsqMaxMeasurements];
    static PrnMemory memory[kPrnSlots];
    for (PrnMemory &m : memory) m = PrnMemory{};
    uint64_t satsHistogram[256] = {};
    std::vector<double> intervals;

    int32_t result = TSQ_EPOCH_READ;
    while ((result = ReadTsqEpoch(reader.get(), &epoch, meas, kTsqMaxMeasurements)) == TSQ_EPOCH_READ) {
        ++data->epochCount;
        const uint8_t count = epoch.satCount;
        satsHistogram[count] += 1;
        data->measurements += count;
        if ((epoch.flags & kEpochFlagPosition) != 0) ++data->withPosition;
        if (epoch.clockOffset != 0.0) ++data->withClockOffset;
        for (int i = 0; i < count; ++i) {
            if (meas[i].l1Pseudorange != 0.0) ++data->l1Code;
            if (meas[i].l2Pseudorange != 0.0) ++data->l2Code;
            if (meas[i].l2Phase != 0.0) ++data->l2Phase;
        }
        if (IsUnsetWeek(epoch.week)) {
            ++data->badTimeEpochs;
            // A copy: the record's fields are unaligned, and std::min binds references.
            const double seconds = epoch.receiverTime;
            if (data->unknownWeekEpochs++ == 0) data->unknownWeekFirstTow = data->unknownWeekLastTow = seconds;
            data->unknownWeekFirstTow = std::min(data->unknownWeekFirstTow, seconds);
            data->unknownWeekLastTow = std::max(data->unknownWeekLastTow, seconds);
            continue;
        }
        // Seconds outside the week (or no number) are no time of that
        // week: taken as one, they would open gaps of billions of epochs.
        if (!(epoch.receiverTime >= 0 && epoch.receiverTime < kSecondsPerWeek)) {
            ++data->badTimeEpochs;
            continue;
        }
        if (data->epochs.empty()) data->referenceWeek = epoch.week;
        const double time =
            (epoch.week - data->referenceWeek) * static_cast<double>(kSecondsPerWeek) + epoch.receiverTime;
        const int64_t index = static_cast<int64_t>(data->epochs.size());
        if (index != 0) intervals.push_back(time - data->epochs.back().time);
        // The span bounds every epoch: in a log whose time goes back (files
        // joined out of order) the first and last read need not be the
        // earliest and the latest.
        if (index == 0 || time < data->firstTime) {
            data->firstWeek = epoch.week;
            data->firstTow = epoch.receiverTime;
            data->firstTime = time;
        }
        if (index == 0 || time > data->lastTime) {
            data->lastWeek = epoch.week;
            data->lastTow = epoch.receiverTime;
            data->lastTime = time;
        }
        EpochSample sample{time, epoch.latitude, epoch.longitude, epoch.clockOffset, epoch.height, count, epoch.flags};
        data->epochs.push_back(sample);

        for (int i = 0; i < count; ++i) {
            const uint8_t prn = meas[i].prn;
            PrnMemory &m = memory[prn];
            if (m.lastEpoch == index) continue; // the PRN twice in one epoch
            PrnStats &stats = data->prns[prn];
            const bool hasL2 = meas[i].l2Pseudorange != 0.0 || meas[i].l2Phase != 0.0;
            const bool consecutive = m.lastEpoch == index - 1;
            if (consecutive && meas[i].l1Lock < m.lastLock) {
                ++stats.slips;
                data->slips.push_back({time, prn, m.lastLock, meas[i].l1Lock});
            }
            if (m.lastEpoch >= 0 && !consecutive) ++stats.outages;
            // Runs are extended here; breaks at data gaps are made below,
            // once the rate is known.
            ExtendRun(&stats.l1, consecutive, time);
            ++stats.epochs;
            if (hasL2) {
                ExtendRun(&stats.l2, consecutive && m.lastL2, time);
                ++stats.l2Epochs;
            }
            m.lastEpoch = index;
            m.lastLock = meas[i].l1Lock;
            m.lastL2 = hasL2;
        }
    }
    if (result == TSQ_READ_FAILED) {
        AddProblem(data, std::string("Observation file damaged after ") + std::to_string(data->epochCount) +
                             " epochs: " + ErrorText);
    }
    CloseTsqReader(reader.get());
    if (data->unknownWeekEpochs > 0) {
        AddProblem(data, std::to_string(data->unknownWeekEpochs) +
                             " epochs of GPS week 0 (the receiver had not yet set its time) left out of the time "
                             "figures");
    }
    if (data->badTimeEpochs > data->unknownWeekEpochs) {
        AddProblem(data,
                   std::to_string(data->badTimeEpochs - data->unknownWeekEpochs) + " epochs without a usable time");
    }

    // Satellites per epoch from the histogram.
    if (data->epochCount > 0) {
        uint64_t seen = 0;
        const uint64_t middle = (data->epochCount - 1) / 2;
        bool minSet = false, medianSet = false;
        for (int n = 0; n < 256; ++n) {
            if (satsHistogram[n] == 0) continue;
            if (!minSet) {
                data->satsMin = n;
                minSet = true;
            }
            if (!medianSet && seen + satsHistogram[n] > middle) {
                data->satsMedian = n;
                medianSet = true;
            }
            seen += satsHistogram[n];
            data->satsMax = n;
        }
    }

    // Rate and gaps.
    std::vector<double> positive;
    positive.reserve(intervals.size());
    for (double d : intervals) {
        if (d > 0)
            positive.push_back(d);
        else if (d < 0)
            ++data->backwardSteps;
    }
    // An epoch of a time read before, next to it or not (a file joined to
    // itself, or files that overlap).
    {
        std::vector<double> times;
        times.reserve(data->epochs.size());
        for (const EpochSample &e : data->epochs) times.push_back(e.time);
        std::sort(times.begin(), times.end());
        for (std::size_t i = 1; i < times.size(); ++i) data->repeatedTimes += times[i] == times[i - 1] ? 1 : 0;
    }
    FindGapsAndRateChanges(intervals, positive, data);
    data->rate = LowerMedian(&positive);
    // Tracking runs do not bridge a data gap.
    if (!data->gaps.empty()) {
        for (PrnStats &stats : data->prns) {
            for (std::vector<TimeRun> *runs : {&stats.l1, &stats.l2}) {
                std::vector<TimeRun> split;
                std::size_t g = 0;
                for (const TimeRun &run : *runs) {
                    TimeRun piece = run;
                    while (g < data->gaps.size() && data->gaps[g].start < piece.start) ++g;
                    std::size_t k = g;
                    while (k < data->gaps.size() && data->gaps[k].start < piece.end) {
                        split.push_back({piece.start, data->gaps[k].start});
                        piece.start = data->gaps[k].start + data->gaps[k].interval;
                        ++k;
                    }
                    split.push_back(piece);
                }
                runs->swap(split);
            }
        }
    }
    return true;
}

// ---- ephemeris file ----------------------------------------------------------
// Reads up to n numbers after the field key; the count read.
int ReadNumbers(const char *text, double *values, int n) {
    int got = 0;
    const char *p = text;
    while (got < n) {
        char *end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p) break;
        values[got++] = v;
        p = end;
    }
    return got;
}

// A whole-number field read as a double: false when it is beyond the
// field's range (or not a number), where the cast would be undefined.
bool IntegerField(double value, int32_t *field) {
    if (!(value >= INT32_MIN && value <= INT32_MAX)) return false;
    *field = static_cast<int32_t>(value);
    return true;
}

// Over 60 lines: a line-driven reader of the file's blocks, whose block
// state lives only for the one pass.
void ReadEphemerides(ReportData *data) {
    std::FILE *in = std::fopen(data->eppPath.c_str(), "rb");
    if (in == nullptr) {
        AddProblem(data, "No ephemeris file " + data->eppPath);
        return;
    }
    char line[512];
    bool cut = false;
    if (!ReadLine(in, line, sizeof line, &cut) || !StartsWith(line, "$EPHREC")) {
        AddProblem(data, "Not an EPP ephemeris file: " + data->eppPath);
        std::fclose(in);
        return;
    }
    data->haveEpp = true;
    enum { kNone, kEph, kAlm, kOtherBlock } block = kNone;
    GpsEphRecord eph{};
    unsigned fields = 0; // bit per El line read
    bool prnSeen[kPrnSlots] = {};
    auto closeBlock = [&]() {
        if (block == kEph) {
            if (fields == 0x7Fu) {
                data->ephemerides.push_back(eph);
                if (!prnSeen[eph.prn]) {
                    prnSeen[eph.prn] = true;
                    ++data->ephemerisPrns;
                }
            } else {
                ++data->badBlocks;
            }
        } else if (block == kAlm) {
            ++data->almanacs;
        } else {
            ++data->otherBlocks;
        }
        block = kNone;
    };
    while (ReadLine(in, line, sizeof line, &cut)) {
        const char *p = SkipSpace(line);
        if (*p == '\0') continue;
        if (block == kNone) {
            if (StartsWith(p, "GpsEph {")) {
                block = kEph;
                eph = GpsEphRecord{};
                eph.fixed9999 = 9999;
                fields = 0;
                const char *prn = std::strstr(p, "Prn:");
                double v = 0;
                if (prn != nullptr && ReadNumbers(prn + 4, &v, 1) == 1 && v >= 1 && v < kPrnSlots) {
                    eph.prn = static_cast<int32_t>(v);
                    fields |= 1u;
                }
            } else if (StartsWith(p, "GpsAlm {")) {
                block = kAlm;
            } else if (std::strchr(p, '{') != nullptr) {
                block = kOtherBlock;
            } else {
                ++data->badBlocks;
            }
            // A block closed on its opening line ("GpsIon { Utc: 15 }", as
            // one may add by hand) ends there: waiting for a line opening
            // with '}' would take the next blocks into it.
            if (const char *open = std::strchr(p, '{'); open != nullptr && std::strchr(open, '}') != nullptr) {
                closeBlock();
            }
            continue;
        }
        if (*p == '}') {
            closeBlock();
            continue;
        }
        if (block != kEph || cut) continue;
        double v[5] = {};
        // An El line with a whole number out of range is not read: its
        // block is then incomplete, and told as unreadable.
        if (StartsWith(p, "El1:") && ReadNumbers(p + 4, v, 5) == 5) {
            eph.tgd = v[2];
            if (IntegerField(v[0], &eph.week) && IntegerField(v[3], &eph.iodc) && IntegerField(v[4], &eph.toc)) {
                fields |= 2u;
            }
        } else if (StartsWith(p, "El2:") && ReadNumbers(p + 4, v, 3) == 3) {
            eph.af2 = v[0];
            eph.af1 = v[1];
            eph.af0 = v[2];
            fields |= 4u;
        } else if (StartsWith(p, "El3:") && ReadNumbers(p + 4, v, 4) == 4) {
            eph.crs = v[1];
            eph.deltaN = v[2];
            eph.m0 = v[3];
            if (IntegerField(v[0], &eph.iode)) fields |= 8u;
        } else if (StartsWith(p, "El4:") && ReadNumbers(p + 4, v, 4) == 4) {
            eph.cuc = v[0];
            eph.e = v[1];
            eph.cus = v[2];
            eph.sqrtA = v[3];
            fields |= 16u;
        } else if (StartsWith(p, "El5:") && ReadNumbers(p + 4, v, 4) == 4) {
            eph.cic = v[1];
            eph.omega0 = v[2];
            eph.cis = v[3];
            if (IntegerField(v[0], &eph.toe)) fields |= 32u;
        } else if (StartsWith(p, "El6:") && ReadNumbers(p + 4, v, 5) == 5) {
            eph.i0 = v[0];
            eph.crc = v[1];
            eph.omega = v[2];
            eph.omegaDot = v[3];
            eph.idot = v[4];
            fields |= 64u;
        }
    }
    if (block != kNone) ++data->badBlocks; // the file ends inside a block
    if (data->badBlocks > 0) {
        AddProblem(data, std::to_string(data->badBlocks) + " unreadable blocks in " + data->eppPath);
    }
    std::fclose(in);
}

// ---- mean position and sky tracks -------------------------------------------
void ComputeMeanPosition(ReportData *data) {
    double sx = 0, sy = 0, sz = 0;
    uint64_t n = 0, impossible = 0;
    for (const EpochSample &e : data->epochs) {
        if (!HasUsablePosition(e)) {
            impossible += (e.flags & kEpochFlagPosition) != 0 ? 1 : 0;
            continue;
        }
        double x = 0, y = 0, z = 0;
        GeodeticToEcef(e.latitude / kDegreesPerRadian, e.longitude / kDegreesPerRadian, e.height, &x, &y, &z);
        sx += x;
        sy += y;
        sz += z;
        ++n;
    }
    if (impossible > 0) {
        AddProblem(data, std::to_string(impossible) +
                             " epochs with an impossible position left out of the mean position and the drawings");
    }
    if (n == 0) return;
    double lat = 0, lon = 0, h = 0;
    if (EcefToGeodetic(sx / n, sy / n, sz / n, kWgs84A, kWgs84B, &lat, &lon, &h) != 0) return;
    data->haveMeanPosition = true;
    data->meanLatitude = lat * kDegreesPerRadian;
    data->meanLongitude = lon * kDegreesPerRadian;
    data->meanHeight = h;
}

void ComputeSky(ReportData *data) {
    if (!data->haveMeanPosition || data->ephemerides.empty() || data->epochs.empty()) return;
    const double lat = data->meanLatitude / kDegreesPerRadian, lon = data->meanLongitude / kDegreesPerRadian;
    if (lat == 0.0 || lon == 0.0) return; // no topocentric frame is defined there
    SatState receiver{};
    GeodeticToEcef(lat, lon, data->meanHeight, &receiver.x, &receiver.y, &receiver.z);
    const double span = data->lastTime - data->firstTime;
    const double step = std::max(span / kSkySamples, 1.0);
    for (int32_t prn = 1; prn <= 32; ++prn) {
        std::vector<const GpsEphRecord *> own;
        for (const GpsEphRecord &e : data->ephemerides) {
            if (e.prn == prn) own.push_back(&e);
        }
        if (own.empty()) continue;
        SkyTrack track{prn, {}};
        bool lastBroken = true;
        for (double t = data->firstTime; t <= data->lastTime + 1e-9; t += step) {
            const double tow = TowAt(t);
            const GpsEphRecord *best = nullptr;
            double bestAge = kEphemerisReach;
            for (const GpsEphRecord *e : own) {
                const double age = std::fabs(WeekCrossover(tow - e->toe));
                if (age <= bestAge) {
                    bestAge = age;
                    best = e;
                }
            }
            SatState sat{};
            double elevation = -1, azimuth = 0;
            bool ok = best != nullptr && GpsSatellitePosition(prn, best, tow, 2.2e7, &receiver, &sat) == 0;
            if (ok) {
                ElevationAzimuth(&sat, &receiver, lat, lon, &elevation, &azimuth);
                ok = std::isfinite(elevation) && std::isfinite(azimuth) && elevation >= 0;
            }
            if (ok) {
                track.points.push_back({static_cast<float>(azimuth * kDegreesPerRadian),
                                        static_cast<float>(elevation * kDegreesPerRadian)});
                lastBroken = false;
            } else if (!lastBroken) {
                track.points.push_back({0.0f, -1.0f});
                lastBroken = true;
            }
            // A span far from zero (a damaged time of 1e18 s) may be finer
            // than the time's own resolution: the step would not move it on.
            if (span <= 0 || t + step <= t) break;
        }
        if (!track.points.empty()) data->sky.push_back(std::move(track));
    }
}

// Closes a file read to its end: the system's reason when the reading
// failed (a name that opens but does not read, such as a directory), else
// "".
std::string CloseAfterReading(std::FILE *in) {
    const bool failed = std::ferror(in) != 0;
    const int reason = errno;
    std::fclose(in);
    return failed ? std::strerror(reason) : "";
}

// ---- mark file ----------------------------------------------------------------
// Over 60 lines: the mark file's lines, then the checks over all marks,
// which need the whole list.
void ReadMarks(ReportData *data) {
    std::FILE *in = std::fopen(data->staPath.c_str(), "rb");
    if (in == nullptr) {
        AddProblem(data, "No mark file " + data->staPath);
        return;
    }
    data->haveSta = true;
    char line[256];
    bool cut = false;
    const bool haveSpan = !data->epochs.empty();
    const double middle = (data->firstTime + data->lastTime) / 2;
    while (ReadLine(in, line, sizeof line, &cut)) {
        const char *p = SkipSpace(line);
        if (*p == '\0') continue;
        // A number is 32 bits, written unsigned (%u) by the converter and
        // signed by other writers: one outside both ranges is no number the
        // file can hold. Read narrower it would wrap.
        constexpr const char *kPrefix = "CAMERA PULSE #";
        const char *digits = p + std::strlen(kPrefix);
        char *end = nullptr;
        const long long number = StartsWith(p, kPrefix) ? std::strtoll(digits, &end, 10) : 0;
        double tow = 0;
        int used = 0;
        if (cut || end == nullptr || end == digits || number < INT32_MIN || number > UINT32_MAX ||
            std::sscanf(end, " AT: %lf%n", &tow, &used) != 1 || end[used] != '\0' || !std::isfinite(tow)) {
            ++data->badMarkLines;
            continue;
        }
        double time = tow;
        if (haveSpan) {
            if (time - middle > kSecondsPerWeek / 2)
                time -= kSecondsPerWeek;
            else if (middle - time > kSecondsPerWeek / 2)
                time += kSecondsPerWeek;
        }
        // A mark outside the span but among the epochs of GPS week 0 (within
        // a second) is theirs: counted apart, not checked as a mark in time.
        const bool outside = !haveSpan || time < data->firstTime || time > data->lastTime;
        if (data->unknownWeekEpochs > 0 && outside && tow >= data->unknownWeekFirstTow - 1.0 &&
            tow <= data->unknownWeekLastTow + 1.0) {
            ++data->unknownWeekMarks;
            continue;
        }
        data->marks.push_back({number, tow, time});
    }
    // A name that opens but does not read (a directory) is no mark file
    // without marks: it is told, as a missing one is.
    if (const std::string reason = CloseAfterReading(in); !reason.empty()) {
        data->haveSta = false;
        AddProblem(data, "Unable to read mark file " + data->staPath + ": " + reason);
        return;
    }
    if (data->badMarkLines > 0) {
        AddProblem(data, std::to_string(data->badMarkLines) + " unreadable lines in " + data->staPath);
    }
    if (data->unknownWeekMarks > 0) {
        AddProblem(data, std::to_string(data->unknownWeekMarks) +
                             " camera marks among the epochs of GPS week 0 left out of the mark checks (the mark "
                             "file holds no week)");
    }

    const std::vector<MarkEntry> &marks = data->marks;
    const std::size_t n = marks.size();
    std::vector<MarkAnomaly> &out = data->markAnomalies;
    std::vector<double> positive;
    for (std::size_t i = 1; i < n; ++i) {
        const double d = marks[i].time - marks[i - 1].time;
        if (d > 0) positive.push_back(d);
    }
    data->markInterval = LowerMedian(&positive);

    // Duplicates anywhere in the file, not only next to each other.
    std::vector<bool> dupTime(n, false), dupNumber(n, false);
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return marks[a].time < marks[b].time || (marks[a].time == marks[b].time && a < b);
    });
    for (std::size_t k = 1; k < n; ++k) {
        if (marks[order[k]].time == marks[order[k - 1]].time) dupTime[order[k]] = true;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return marks[a].number < marks[b].number || (marks[a].number == marks[b].number && a < b);
    });
    for (std::size_t k = 1; k < n; ++k) {
        if (marks[order[k]].number == marks[order[k - 1]].number) dupNumber[order[k]] = true;
    }

    for (std::size_t i = 0; i < n; ++i) {
        const MarkEntry &m = marks[i];
        if (haveSpan && (m.time < data->firstTime || m.time > data->lastTime)) {
            const double off = m.time < data->firstTime ? m.time - data->firstTime : m.time - data->lastTime;
            out.push_back({kMarkOutsideSpan, m.number, m.tow, off});
        }
        if (dupTime[i]) out.push_back({kMarkDuplicateTime, m.number, m.tow, 0});
        if (dupNumber[i]) out.push_back({kMarkDuplicateNumber, m.number, m.tow, 0});
        if (i == 0) continue;
        const double d = m.time - marks[i - 1].time;
        if (!dupTime[i] && data->markInterval > 0 &&
            std::fabs(d - data->markInterval) > kMarkDeviation * data->markInterval) {
            out.push_back({kMarkInterval, m.number, m.tow, d});
        }
        const int64_t step = m.number - marks[i - 1].number;
        if (!dupNumber[i] && step != 1) {
            out.push_back({kMarkNumberJump, m.number, m.tow, static_cast<double>(step - 1)});
        }
    }
}

// ---- messages -------------------------------------------------------------------
// The converter command's own lines around the messages (the output names
// and the closing per-log summary) are not messages of the conversion.
bool IsCommandLine(const char *line) {
    const std::size_t n = std::strlen(line);
    const char *names = ".{tsq,epp,sta}";
    const std::size_t m = std::strlen(names);
    return (n >= m && std::strcmp(line + n - m, names) == 0) || std::strstr(line, ": converted, ") != nullptr ||
           std::strstr(line, ": FAILED, ") != nullptr;
}

// The closing notices of a conversion that count what it left out.
void ReadLeftOut(ReportData *data, const char *text) {
    unsigned long long count = 0, satellites = 0, observations = 0;
    unsigned channels = 0, limit = 0;
    char system[32];
    if (std::strstr(text, " observations left out (") != nullptr &&
        std::sscanf(text, "Notice: %llu %31s observations left out", &count, system) == 2) {
        for (uint32_t k = 0; k < kSystemCount; ++k) {
            if (std::strcmp(system, SystemName(k)) == 0) data->leftOut[k] += count;
        }
    } else if (std::sscanf(text, "Notice: %llu epochs had more satellites than the %u channels; %llu", &count,
                           &channels, &satellites) == 3) {
        data->cutEpochs += count;
        data->cutSatellites += satellites;
    } else if (std::sscanf(text, "Notice: %llu compressed records had more than %u observations; %llu", &count, &limit,
                           &observations) == 3) {
        data->compressedCutRecords += count;
        data->compressedCutObservations += observations;
    } else if (std::strstr(text, " bytes of the log skipped") != nullptr &&
               std::sscanf(text, "Notice: %llu bytes", &count) == 1) {
        data->bytesSkipped += count;
    } else if (std::strstr(text, " intact records of kinds the conversion does not read") != nullptr &&
               std::sscanf(text, "Notice: %llu of those bytes", &count) == 1) {
        data->skippedInOtherRecords += count;
    } else if (std::strstr(text, " records dropped (their length did not fit") != nullptr &&
               std::sscanf(text, "Notice: %llu records", &count) == 1) {
        data->lengthDropped += count;
    } else if (std::strstr(text, " camera marks of the receiver's other mark inputs") != nullptr &&
               std::sscanf(text, "Notice: %llu camera", &count) == 1) {
        data->otherMarks += count;
    } else if (std::strstr(text, " camera marks logged by MARKPOS without their MARKTIME") != nullptr &&
               std::sscanf(text, "Notice: %llu camera", &count) == 1) {
        data->markPositionsOnly += count;
    } else if (std::strstr(text, " camera marks logged by MARK1PVA without their MARKTIME") != nullptr &&
               std::sscanf(text, "Notice: %llu camera", &count) == 1) {
        data->markPositionsOnly += count;
        data->markPositionsByPva = true;
    }
}

bool ReadMessages(ReportData *data, std::string *error) {
    std::FILE *in = std::fopen(data->messagesPath.c_str(), "rb");
    if (in == nullptr) {
        *error = "Unable to open messages file " + data->messagesPath;
        return false;
    }
    data->haveMessages = true;
    data->messageCounts.assign(kKinds.size(), 0);
    char line[1024];
    bool cut = false;
    while (ReadLine(in, line, sizeof line, &cut)) {
        const char *p = SkipSpace(line);
        if (*p == '\0' || IsCommandLine(line)) continue;
        // An optional leading time: a number or '-', then blanks.
        char *end = nullptr;
        (void)std::strtod(p, &end);
        const char *afterTime = end != p ? end : (*p == '-' ? p + 1 : p);
        if (afterTime != p && (*afterTime == ' ' || *afterTime == '\t')) p = SkipSpace(afterTime);
        data->messageCounts[ClassifyMessage(p)] += 1;
        ++data->messageCount;
        ReadLeftOut(data, p);
    }
    // A name that opens but does not read (a directory) holds no messages:
    // its counts would pass for a conversion without any.
    if (const std::string reason = CloseAfterReading(in); !reason.empty()) {
        *error = "Unable to read messages file " + data->messagesPath + ": " + reason;
        return false;
    }
    return true;
}

} // namespace

const std::vector<MessageKind> &MessageKinds() { return kKinds; }

std::string LeftOutText(const ReportData &d) {
    std::string text;
    char part[96];
    for (uint32_t k = 0; k < kSystemCount; ++k) {
        if (d.leftOut[k] == 0) continue;
        std::snprintf(part, sizeof part, "%s%s %llu", text.empty() ? "" : ", ", SystemName(k),
                      static_cast<unsigned long long>(d.leftOut[k]));
        text += part;
    }
    if (!text.empty()) text += " observations left out";
    if (d.cutEpochs != 0) {
        std::snprintf(part, sizeof part, "%s%llu epochs cut to the channels (%llu satellites)",
                      text.empty() ? "" : "; ", static_cast<unsigned long long>(d.cutEpochs),
                      static_cast<unsigned long long>(d.cutSatellites));
        text += part;
    }
    if (d.compressedCutObservations != 0) {
        std::snprintf(part, sizeof part, "%s%llu observations of %llu compressed records over the limit",
                      text.empty() ? "" : "; ", static_cast<unsigned long long>(d.compressedCutObservations),
                      static_cast<unsigned long long>(d.compressedCutRecords));
        text += part;
    }
    // The counts told after the systems' and the channels'.
    const std::pair<uint64_t, const char *> counts[] = {{d.bytesSkipped, "bytes of the log skipped"},
                                                        {d.lengthDropped, "records dropped (length)"},
                                                        {d.otherMarks, "marks of other mark inputs"},
                                                        {d.markPositionsOnly, d.markPositionsByPva
                                                                                  ? "marks logged by MARK1PVA alone"
                                                                                  : "marks logged by MARKPOS alone"}};
    for (const auto &[count, what] : counts) {
        if (count == 0) continue;
        std::snprintf(part, sizeof part, "%s%llu %s", text.empty() ? "" : "; ", static_cast<unsigned long long>(count),
                      what);
        text += part;
        if (&count == &counts[0].first && d.skippedInOtherRecords != 0) {
            std::snprintf(part, sizeof part, " (%llu in records of other kinds)",
                          static_cast<unsigned long long>(d.skippedInOtherRecords));
            text += part;
        }
    }
    return text;
}

std::size_t ClassifyMessage(const char *text) {
    for (const Pattern &pattern : kPatterns) {
        if (std::strstr(text, pattern.text) == nullptr) continue;
        for (std::size_t i = 0; i < kKinds.size(); ++i) {
            if (std::strcmp(kKinds[i].key, pattern.key) == 0) return i;
        }
    }
    return kKinds.size() - 1;
}

const char *MarkAnomalyName(int32_t kind) {
    switch (kind) {
    case kMarkInterval: return "interval";
    case kMarkOutsideSpan: return "outside_span";
    case kMarkDuplicateTime: return "duplicate_time";
    case kMarkDuplicateNumber: return "duplicate_number";
    case kMarkNumberJump: return "number_jump";
    default: return "unknown";
    }
}

namespace {

bool IsReadableFile(const std::string &path) {
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return false;
    std::fclose(in);
    return true;
}

} // namespace

bool BaseNamesFilesWhole(const std::string &base) {
    return ExtensionIsNumber(base.c_str()) && IsReadableFile(base + ".tsq");
}

int CollectReport(const ReportRequest &request, ReportData *data, std::string *error) {
    std::string local;
    if (error == nullptr) error = &local;
    char path[4096];
    const char *extensions[3] = {".tsq", ".epp", ".sta"};
    std::string *targets[3] = {&data->tsqPath, &data->eppPath, &data->staPath};
    const bool whole = BaseNamesFilesWhole(request.base);
    for (int i = 0; i < 3; ++i) {
        if (request.base.empty() || request.base.size() >= sizeof path - 8) {
            *error = "Invalid output base '" + request.base + "'";
            return kReportInputFailed;
        }
        if (whole) {
            *targets[i] = request.base + extensions[i];
            continue;
        }
        std::memcpy(path, request.base.c_str(), request.base.size() + 1);
        if (ChangeExtension(path, sizeof path, extensions[i]) != 0) {
            *error = "Invalid output base '" + request.base + "'";
            return kReportInputFailed;
        }
        *targets[i] = path;
    }
    data->messagesPath = request.messagesPath;
    if (!ReadObservations(data, error)) return kReportInputFailed;
    ReadEphemerides(data);
    ComputeMeanPosition(data);
    ComputeSky(data);
    ReadMarks(data);
    ReadRinexSignals(data);
    if (!request.messagesPath.empty() && !ReadMessages(data, error)) return kReportInputFailed;
    return kReportOk;
}

bool HasUsablePosition(const EpochSample &e) {
    return (e.flags & kEpochFlagPosition) != 0 && std::fabs(e.latitude) <= 90.0 && std::fabs(e.longitude) <= 180.0 &&
           std::fabs(e.height) <= 1e7f;
}

int32_t WeekAt(const ReportData &data, double time) {
    const double week = data.referenceWeek + std::floor(time / kSecondsPerWeek);
    if (!(week > INT32_MIN)) return INT32_MIN;
    return week < INT32_MAX ? static_cast<int32_t>(week) : INT32_MAX;
}

double TowAt(double time) { return time - std::floor(time / kSecondsPerWeek) * kSecondsPerWeek; }

std::string FormatTimeOfDay(double tow) {
    char text[32];
    if (!std::isfinite(tow)) return "-";
    double day = std::fmod(tow, static_cast<double>(kSecondsPerDay));
    if (day < 0) day += kSecondsPerDay;
    const long tenths = std::lround(day * 10.0);
    const long whole = tenths / 10;
    if (tenths % 10 == 0) {
        std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", whole / 3600 % 24, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.%ld", whole / 3600 % 24, whole / 60 % 60, whole % 60,
                      tenths % 10);
    }
    return text;
}

} // namespace report
