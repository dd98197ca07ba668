// Writer of the RINEX 3.04 observation file: epochs with their satellites'
// code, phase, Doppler and signal strength on every signal, and camera
// events as epoch flag 5 records, each followed by a COMMENT with the
// mark's number.
//
// Each system has a fixed order of signals, the common ones first, and
// each signal the four types C, L, D, S. A satellite's record ends after
// its last observed field, so the header can declare, once the log has
// been read, only the types up to the last one any satellite of the system
// used.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/error_text.h"
#include "common/gnss_time.h"
#include "common/le.h"
#include "output/rinex_file.h"
#include "output/rinex_text.h"

namespace {

constexpr std::size_t kObsFieldWidth = 14; // F14.3, then LLI and SSI digits
constexpr int32_t kEventFlag = 5;          // external event
constexpr int32_t kMaxSatNumber = kRinexGlonassSlots;
constexpr uint64_t kHeldEpochs = kRinexHeldEpochs;
constexpr uint64_t kEpochSlots = kRinexEpochSlots;
constexpr uint64_t kEventSlots = kRinexQueuedEvents;
constexpr double kHoldSeconds = 2.0;
constexpr const char *kUnableToWrite = "Error: Unable to write to %s";
// Events beyond these are not times of this log (RINEX years have 4 digits).
constexpr int32_t kMaxEventWeek = 20000;
constexpr double kMaxEventSeconds = 1e7;
// Two intervals equal within this are the same interval.
constexpr double kIntervalTolerance = 1e-4;

constexpr int32_t kTypesPerSignal = 4; // C, L, D, S
constexpr char kTypeLetters[kTypesPerSignal + 1] = "CLDS";

struct SystemColumns {
    char system;
    const char *name;  // for RINEX VERSION / TYPE
    const char *name2; // the same in RINEX 2.11
    int32_t codeCount;
    const char *codes[kRinexMaxSignals];
};

// Signal order of each system: the signals most receivers track first, so
// that the columns a log leaves empty are mostly at the end.
constexpr std::array<SystemColumns, 7> kSystems = {{
    {'G', "G: GPS", "G (GPS)", 8, {"1C", "2W", "2S", "5Q", "1L", "2P", "2C", "1P"}},
    {'R', "R: GLONASS", "R (GLONASS)", 4, {"1C", "2P", "2C", "3Q"}},
    {'E', "E: Galileo", "", 7, {"1C", "5Q", "7Q", "8Q", "6C", "6B", "1B"}},
    {'C', "C: BeiDou", "", 6, {"2I", "7I", "6I", "1P", "5P", "7D"}},
    {'J', "J: QZSS", "", 6, {"1C", "2S", "5Q", "1L", "6L", "6S"}},
    {'S', "S: SBAS payload", "S (GEO)", 2, {"1C", "5I"}},
    {'I', "I: NavIC/IRNSS", "", 1, {"5A"}},
}};
constexpr std::size_t kSystemCount = kSystems.size();
static_assert(kSystemCount == kRinexObsSystems, "the writer's record counts every system");

// RINEX 2.11: one list of types for GPS, GLONASS and SBAS, five to a line,
// every one declared so that each satellite has the same three lines. One
// phase per frequency: L2 from P(Y) or P, from L2C (GLONASS C/A) only
// where the satellite has no P; C2 is the L2C (C/A) code.
constexpr int32_t kV2 = kRinexVersion211;
enum Type211 : int32_t { C1, L1, D1, S1, P1, C2, P2, L2, D2, S2, C5, L5, D5, S5, kTypeCount211 };
constexpr const char *kTypeNames211[kTypeCount211] = {"C1", "L1", "D1", "S1", "P1", "C2", "P2",
                                                      "L2", "D2", "S2", "C5", "L5", "D5", "S5"};
constexpr int32_t kTypesPerLine211 = 5;
constexpr uint32_t kLineTypes211 = (1u << kTypesPerLine211) - 1u;
// The strength type whose indicator each phase type carries, -1 for the
// others.
constexpr std::array<int8_t, kTypeCount211> kStrengthType211 = {-1, S1, -1, -1, -1, -1, -1, S2, -1, -1, -1, S5, -1, -1};
constexpr int32_t kSatellitesPerLine211 = 12;

int SystemIndex(char system) {
    for (std::size_t i = 0; i < kSystemCount; ++i) {
        if (kSystems[i].system == system) return static_cast<int>(i);
    }
    return -1;
}

// The column of each code ("1C") of each system, made when compiled: every
// signal of every epoch asks.
constexpr int kBands = 10, kAttributes = 26;
struct ColumnTable {
    std::array<std::array<int8_t, kBands * kAttributes>, kSystemCount> at;
    constexpr ColumnTable() : at() {
        for (std::size_t sys = 0; sys < kSystemCount; ++sys) {
            for (auto &c : at[sys]) c = -1;
            for (int32_t k = 0; k < kSystems[sys].codeCount; ++k) {
                const char *c = kSystems[sys].codes[k];
                at[sys][static_cast<std::size_t>((c[0] - '0') * kAttributes + (c[1] - 'A'))] = static_cast<int8_t>(k);
            }
        }
    }
};
constexpr ColumnTable kColumns;

int32_t CodeColumn(int system, const char *code) {
    if (system < 0 || code == nullptr) return -1;
    const int band = code[0] - '0';
    const int attribute = code[1] - 'A';
    if (band < 0 || band >= kBands || attribute < 0 || attribute >= kAttributes || code[2] != '\0') return -1;
    return kColumns.at[static_cast<std::size_t>(system)][static_cast<std::size_t>(band * kAttributes + attribute)];
}

// Signal strength indicator 1-9 from C/No, 6 dB-Hz a step (RINEX 3 table
// of standard S/N indicators); blank when unknown. By whole dB-Hz from a
// table: the floor of C/No / 6 is that of its whole part / 6.
constexpr double kStrongest = 54.0;
struct StrengthTable {
    std::array<char, static_cast<std::size_t>(kStrongest)> digit;
    constexpr StrengthTable() : digit() {
        for (std::size_t n = 0; n < digit.size(); ++n) digit[n] = static_cast<char>('0' + (n < 6 ? 1 : n / 6));
    }
};
constexpr StrengthTable kStrength;

char StrengthDigit(double cno) {
    if (!(cno > 0.0)) return ' ';
    // Clamped before the conversion: a C/No beyond any int (a damaged
    // record) must not reach it.
    if (cno >= kStrongest) return '9';
    return kStrength.digit[static_cast<std::size_t>(cno)];
}

constexpr std::size_t kObsColumns = kObsFieldWidth + 2;

// The receiver clock offset (|offset| < 1 s) as "%15.12f" (RINEX 3) or
// "%12.9f" (RINEX 2.11) prints it, in integers: once per epoch, where a
// printf of a double would cost as much as all the epoch's values. Near a
// rounding tie printf itself decides.
template <int kDigits> void AppendClockOffset(RinexLine *line, double offset) {
    static_assert(kDigits == 12 || kDigits == 9, "the two versions' clock fields");
    constexpr double kScale = kDigits == 12 ? 1e12 : 1e9;
    constexpr const char *kFormat = kDigits == 12 ? "%15.12f" : "%12.9f";
    constexpr std::size_t kLength = kDigits + 3;
    const double scaled = std::fabs(offset) * kScale;
    const int64_t below = static_cast<int64_t>(scaled);
    const double fraction = scaled - static_cast<double>(below);
    const int64_t rounded = below + (fraction > 0.5 ? 1 : 0);
    if (!(std::fabs(fraction - 0.5) > scaled * 0x1p-51) || rounded >= static_cast<int64_t>(kScale) ||
        line->length + kLength >= sizeof line->text) {
        AppendRinexFormat(line, kFormat, offset);
        return;
    }
    // The digits in groups of three, from the right, each store's spare
    // first byte overwritten by the next group.
    char *p = line->text + line->length;
    p[0] = offset < 0 ? '-' : ' ';
    p[1] = '0';
    const auto &groups = kRinexDigitGroups.full;
    uint64_t rest = static_cast<uint64_t>(rounded);
    for (int32_t at = kDigits - 1; at >= 2; at -= 3) {
        const uint64_t above = rest / 1000u;
        le::Store<uint32_t>(p + at, groups[rest - above * 1000u]);
        rest = above;
    }
    p[2] = '.';
    line->length += kLength;
    line->text[line->length] = '\0';
}

// "G05": the system letter and the two-digit number.
void AppendSatellite(RinexLine *line, const RinexSatObs &s) {
    const unsigned number = s.number % 100u;
    // The identifier and its terminating zero built as one word: built in
    // bytes on the stack and copied as a word, the copy waited for the bytes
    // to reach the cache (a word load is not forwarded from byte stores), at
    // every satellite of every 2.11 epoch line.
    const uint32_t id = uint32_t{static_cast<uint8_t>(s.system)} | (uint32_t{'0'} + number / 10u) << 8 |
                        (uint32_t{'0'} + number % 10u) << 16;
    constexpr std::size_t kIdBytes = 4;
    // Straight in at the start of a record, where it always stands.
    if (line->length + kIdBytes <= sizeof line->text) {
        le::Store<uint32_t>(line->text + line->length, id);
        line->length += kIdBytes - 1;
        return;
    }
    char text[kIdBytes];
    le::Store<uint32_t>(text, id);
    AppendRinexText(line, text);
}

// "%3d.%07d  %d%3d", the seconds with their fraction, the epoch flag and
// the count, in the 17 columns from `at` (flag 0-9, count 0-999): the
// close of both versions' epoch lines.
void PutSecondsFlagCount(char *at, const RinexCalendar &c, int32_t flag, int32_t count) {
    at[0] = ' ';
    at[1] = c.second < 10 ? ' ' : static_cast<char>('0' + c.second / 10);
    at[2] = static_cast<char>('0' + c.second % 10);
    at[3] = '.';
    // Seven digits: two groups of three from the right, then the first.
    const auto &groups = kRinexDigitGroups.full;
    const uint32_t fraction = static_cast<uint32_t>(c.tenthMicroseconds);
    le::Store<uint32_t>(at + 7, groups[fraction % 1000u]);
    le::Store<uint32_t>(at + 4, groups[fraction / 1000u % 1000u]);
    at[4] = static_cast<char>('0' + fraction / 1000000u);
    at[11] = ' ';
    at[12] = ' ';
    at[13] = static_cast<char>('0' + flag);
    at[14] = count >= 100 ? static_cast<char>('0' + count / 100) : ' ';
    at[15] = count >= 10 ? static_cast<char>('0' + count / 10 % 10) : ' ';
    at[16] = static_cast<char>('0' + count % 10);
}

// "> %04d %02d %02d %02d %02d%3d.%07d  %d%3d", without a printf for each
// epoch: the fields have fixed columns whenever the values are in range.
void AppendEpochLine(RinexLine *line, int64_t time, int32_t flag, int32_t count) {
    const RinexCalendar c = RinexCalendarOf(time);
    constexpr std::size_t kLength = 35;
    if (c.year >= 0 && c.year <= 9999 && flag >= 0 && flag <= 9 && count >= 0 && count <= 999 &&
        line->length + kLength < sizeof line->text) {
        char *p = line->text + line->length;
        auto two = [](char *at, int32_t v) {
            at[0] = static_cast<char>('0' + v / 10);
            at[1] = static_cast<char>('0' + v % 10);
        };
        p[0] = '>';
        p[1] = ' ';
        two(p + 2, c.year / 100);
        two(p + 4, c.year % 100);
        int32_t at = 6;
        for (const int32_t field : {c.month, c.day, c.hour, c.minute}) {
            p[at] = ' ';
            two(p + at + 1, field);
            at += 3;
        }
        PutSecondsFlagCount(p + 18, c, flag, count);
        line->length += kLength;
        line->text[line->length] = '\0';
        return;
    }
    AppendRinexText(line, "> ");
    AppendRinexDigits(line, c.year, 4, true);
    for (const int32_t field : {c.month, c.day, c.hour, c.minute}) {
        AppendRinexText(line, " ");
        AppendRinexDigits(line, field, 2, true);
    }
    AppendRinexDigits(line, c.second, 3, false);
    AppendRinexText(line, ".");
    AppendRinexDigits(line, c.tenthMicroseconds, 7, true);
    AppendRinexText(line, "  ");
    AppendRinexDigits(line, flag, 1, false);
    AppendRinexDigits(line, count, 3, false);
}

int32_t WriteLine(RinexObsWriter &w) { return WriteDeferredRinexLine(&w.file, &w.line); }

void NoteInterval(RinexObsWriter &w, const RinexHeldEpoch &r) {
    const double seconds = static_cast<double>(r.epoch.week) * kSecondsPerWeek + r.epoch.seconds;
    if (!w.anyEpoch) {
        w.anyEpoch = true;
        w.firstTime = r.time;
        w.lastTime = r.time;
        w.firstSeconds = seconds;
        w.regular = true;
    } else {
        // Regular when every step is a whole multiple of the smallest one
        // (gaps allowed).
        const double step = seconds - w.lastSeconds;
        if (!(step > kIntervalTolerance)) {
            w.regular = false;
        } else if (w.interval == 0.0) {
            w.interval = step;
        } else {
            const double small = step < w.interval ? step : w.interval;
            const double large = step < w.interval ? w.interval : step;
            const double ratio = large / small;
            if (std::fabs(ratio - std::round(ratio)) * small > kIntervalTolerance) w.regular = false;
            w.interval = small;
        }
    }
    // The header's first and last observation bound every epoch, also in a
    // log whose time goes back (two sessions in one file), whose epochs
    // keep the log's order.
    w.firstTime = std::min(w.firstTime, r.time);
    w.lastTime = std::max(w.lastTime, r.time);
    w.lastSeconds = seconds;
    w.lastEpochTime = r.time;
}

// Where an epoch's lines are built: in the file's block, by the writer's
// thread, with what it notes for the header going straight into the
// writer's record; or in the epoch's own slot, by the conversion's thread
// ahead of the writer's, with those notes kept beside the text for the
// writer to take in order.
// A GLONASS satellite written, with its frequency channel, for the header;
// a channel other than the slot's earlier one is counted.
void NoteGlonassSlot(RinexObsWriter &w, uint8_t number, int8_t frequency) {
    if (w.glonassSeen[number] && w.glonassFrequency[number] != frequency && w.glonassChannelChanges++ == 0) {
        w.firstGlonassChange = {number, w.glonassFrequency[number], frequency};
    }
    w.glonassSeen[number] = true;
    w.glonassFrequency[number] = frequency;
}

struct FileLines {
    RinexObsWriter &w;
    char *Reserve(std::size_t size) { return ReserveDeferredRinexLine(&w.file, size); }
    void Commit(std::size_t length) { CommitDeferredRinexLine(&w.file, length); }
    void EpochLineDone(const RinexHeldEpoch &r) { NoteInterval(w, r); }
    int32_t &TypesUsed(std::size_t system) { return w.typesUsed[system]; }
    bool NoteGlonass(uint8_t number, int8_t frequency) {
        NoteGlonassSlot(w, number, frequency);
        return true;
    }
};

struct SlotLines {
    RinexHeldEpoch &r;
    std::size_t length;
    char *Reserve(std::size_t size) { return length + size + 1 <= sizeof r.text ? r.text + length : nullptr; }
    void Commit(std::size_t lineLength) {
        r.text[length + lineLength] = '\n';
        length += lineLength + 1;
    }
    void EpochLineDone(const RinexHeldEpoch &) { r.preparedHead = static_cast<uint32_t>(length); }
    int32_t &TypesUsed(std::size_t system) { return r.preparedTypes[system]; }
    bool NoteGlonass(uint8_t number, int8_t frequency) {
        if (r.preparedGlonass >= static_cast<uint32_t>(kRinexGlonassSlots)) return false;
        r.glonassNumber[r.preparedGlonass] = number;
        r.glonassFrequency[r.preparedGlonass] = frequency;
        ++r.preparedGlonass;
        return true;
    }
};

// Copies a line built apart into the lines.
template <class Lines> bool PutLine(Lines &lines, const RinexLine &line) {
    char *const at = lines.Reserve(line.length);
    if (at == nullptr) return false;
    std::memcpy(at, line.text, line.length);
    lines.Commit(line.length);
    return true;
}

// A GLONASS satellite written, with its frequency channel, for the header's
// GLONASS SLOT / FRQ #; false when the lines cannot note it.
template <class Lines> bool NoteGlonassOf(Lines &lines, const RinexSatObs &s) {
    if (s.system != 'R' || s.number >= kMaxSatNumber || s.frequency == kRinexNoFrequency) return true;
    return lines.NoteGlonass(s.number, s.frequency);
}

// Over 60 lines: the epoch line carries the count of the records that
// follow it, so one pass finds each satellite's columns and a second builds
// the records in place, from what the first found; every value of the file
// passes through the second, kept in one piece. 1 when a line has no room
// (a failed write of the file, or a slot's text full).
template <class Lines> int32_t BuildEpoch(const RinexHeldEpoch &r, Lines &lines) {
    const RinexEpoch &e = r.epoch;
    const int32_t count = e.count < kRinexMaxSatellites ? e.count : kRinexMaxSatellites;
    // Each satellite's signals by column, looked up once: a satellite is
    // written when one of its signals has a column, and the epoch record
    // counts the records that follow it exactly. The first of a code counts.
    struct Columns {
        int8_t system;
        int8_t last;
        std::array<int8_t, kRinexMaxSignals> signalAt; // signal index by column, -1 where none
    };
    std::array<Columns, kRinexMaxSatellites> columnsOf;
    int32_t written = 0;
    for (int32_t i = 0; i < count; ++i) {
        const RinexSatObs &s = e.sats[i];
        Columns &c = columnsOf[static_cast<std::size_t>(i)];
        c.system = static_cast<int8_t>(SystemIndex(s.system));
        c.last = -1;
        c.signalAt.fill(-1);
        const RinexSignalObs *signals = e.signals + s.first;
        const int32_t signalCount = RinexSignalsOf(e, s);
        for (int32_t k = 0; k < signalCount; ++k) {
            const RinexSignalObs &o = signals[k];
            const int32_t column = o.columnPlusOne != 0 ? o.columnPlusOne - 1 : CodeColumn(c.system, o.code);
            if (column < 0 || c.signalAt[static_cast<std::size_t>(column)] >= 0) continue;
            c.signalAt[static_cast<std::size_t>(column)] = static_cast<int8_t>(k);
            if (column > c.last) c.last = static_cast<int8_t>(column);
        }
        written += c.last >= 0 ? 1 : 0;
    }
    RinexLine line;
    BeginRinexLine(&line);
    AppendEpochLine(&line, r.time, 0, written);
    // The receiver clock offset, when known and within the field.
    if (e.clockOffset != 0.0 && std::fabs(e.clockOffset) < 1.0) {
        AppendRinexSpaces(&line, 6);
        AppendClockOffset<12>(&line, e.clockOffset);
    }
    if (!PutLine(lines, line)) return 1;
    lines.EpochLineDone(r);
    // Each satellite's record is built in place: the fields are stored
    // whole and the record ends after its last column that is not blank.
    constexpr std::size_t kLongestRecord = 3 + kRinexMaxSignals * kTypesPerSignal * kObsColumns;
    for (int32_t i = 0; i < count; ++i) {
        const RinexSatObs &s = e.sats[i];
        const Columns &c = columnsOf[static_cast<std::size_t>(i)];
        if (c.last < 0) continue;
        const SystemColumns &columns = kSystems[static_cast<std::size_t>(c.system)];
        char *const record = lines.Reserve(kLongestRecord);
        if (record == nullptr) return 1;
        const unsigned number = s.number % 100u;
        record[0] = s.system;
        record[1] = static_cast<char>('0' + number / 10);
        record[2] = static_cast<char>('0' + number % 10);
        std::size_t length = 3;
        char *at = record + 3;
        const int32_t columnEnd = c.last < columns.codeCount ? c.last + 1 : columns.codeCount;
        for (int32_t column = 0; column < columnEnd; ++column) {
            const int8_t k = c.signalAt[static_cast<std::size_t>(column)];
            if (k < 0) {
                std::memset(at, ' ', kTypesPerSignal * kObsColumns);
                at += kTypesPerSignal * kObsColumns;
                continue;
            }
            // The values read once: the record's stores could alias them.
            const RinexSignalObs &o = e.signals[s.first + k];
            const double code = o.c, phase = o.l, doppler = o.d, strength = o.s;
            const uint8_t lli = o.lli;
            const std::size_t start = static_cast<std::size_t>(at - record);
            std::size_t end = 0;
            if (const std::size_t n = PutRinexObservation(at, code, 0, ' '); n != 0) end = n;
            if (const std::size_t n = PutRinexObservation(at + kObsColumns, phase, lli, StrengthDigit(strength));
                n != 0) {
                end = kObsColumns + n;
            }
            if (const std::size_t n = PutRinexObservation(at + 2 * kObsColumns, doppler, 0, ' '); n != 0) {
                end = 2 * kObsColumns + n;
            }
            if (const std::size_t n = PutRinexObservation(at + 3 * kObsColumns, strength, 0, ' '); n != 0) {
                end = 3 * kObsColumns + n;
            }
            if (end != 0) length = start + end;
            at += kTypesPerSignal * kObsColumns;
        }
        // A record of blanks alone still needs its system declared.
        const int32_t fields = std::max(static_cast<int32_t>((length - 3 + kObsFieldWidth + 1) / kObsColumns), 1);
        int32_t &used = lines.TypesUsed(static_cast<std::size_t>(c.system));
        if (fields > used) used = fields;
        if (!NoteGlonassOf(lines, s)) return 1;
        lines.Commit(length);
    }
    return 0;
}

// The writer's side of an epoch the conversion's thread formatted: its
// lines copied into the file's block, its notes for the header taken in
// the order of the file.
int32_t EmitPrepared(RinexObsWriter &w, const RinexHeldEpoch &r) {
    if (WriteDeferredRinexText(&w.file, r.text, r.preparedHead) != 0) return 1;
    NoteInterval(w, r);
    for (std::size_t system = 0; system < kSystemCount; ++system) {
        if (r.preparedTypes[system] > w.typesUsed[system]) w.typesUsed[system] = r.preparedTypes[system];
    }
    for (uint32_t i = 0; i < r.preparedGlonass; ++i) NoteGlonassSlot(w, r.glonassNumber[i], r.glonassFrequency[i]);
    return WriteDeferredRinexText(&w.file, r.text + r.preparedHead, r.preparedLength - r.preparedHead);
}

// The RINEX 2.11 epoch line, " %02d %2d %2d %2d %2d%3d.%07d  %d%3d" (two-digit
// year, no '>'), without a printf for each epoch whenever the fields are in
// range.
void AppendEpochLine211(RinexLine *line, int64_t time, int32_t flag, int32_t count) {
    const RinexCalendar c = RinexCalendarOf(time);
    constexpr std::size_t kLength = 32;
    if (c.year >= 0 && c.year <= 9999 && flag >= 0 && flag <= 9 && count >= 0 && count <= 999 &&
        line->length + kLength < sizeof line->text) {
        char *p = line->text + line->length;
        // Two digits, the first blank below 10 unless `zero`.
        auto two = [](char *at, int32_t v, bool zero) {
            at[0] = v < 10 && !zero ? ' ' : static_cast<char>('0' + v / 10);
            at[1] = static_cast<char>('0' + v % 10);
        };
        p[0] = ' ';
        two(p + 1, c.year % 100, true);
        int32_t at = 3;
        for (const int32_t field : {c.month, c.day, c.hour, c.minute}) {
            p[at] = ' ';
            two(p + at + 1, field, false);
            at += 3;
        }
        PutSecondsFlagCount(p + 15, c, flag, count);
        line->length += kLength;
        line->text[line->length] = '\0';
        return;
    }
    AppendRinexFormat(line, " %02d %2d %2d %2d %2d%3d.%07d  %d%3d", c.year % 100, c.month, c.day, c.hour, c.minute,
                      c.second, c.tenthMicroseconds, flag, count);
}

// A satellite's values by 2.11 type, from its signals; the phase's LLI.
// Only the types whose bit is set in `present` hold anything: the record is
// filled for every satellite of every epoch, and clearing all of it first
// costs g++'s `rep stos`, whose start-up took half of the filling's time.
struct Values211 {
    double v[kTypeCount211];
    uint8_t lli[kTypeCount211];
    uint16_t present;
    double Value(int32_t t) const { return (present >> t & 1u) != 0 ? v[t] : 0.0; }
};
static_assert(kTypeCount211 <= 16, "a bit of `present` for each type");

// What RINEX 2.11 takes of a signal, by its code: L1 C/A's four types, the
// L1 P code alone, an L2 P code's four, an L5 signal's four, or another L2
// signal's code and, where the satellite has no L2 P, its phase, Doppler
// and strength.
enum Role211 : uint8_t { kNo211, kC1Group, kP1Alone, kP2Group, kL5Group, kOtherL2 };
Role211 RoleOf211(const char *code) {
    switch (code[0]) {
    case '1':
        if (code[2] != '\0') return kNo211;
        return code[1] == 'C' ? kC1Group : code[1] == 'P' || code[1] == 'W' ? kP1Alone : kNo211;
    case '2':
        if (code[1] != 'W' && code[1] != 'P') return kOtherL2;
        return code[2] == '\0' ? kP2Group : kNo211;
    case '5': return kL5Group;
    default: return kNo211;
    }
}

void ValuesOf211(const RinexEpoch &e, const RinexSatObs &s, Values211 &out) {
    out.present = 0;
    const RinexSignalObs *signals = e.signals + s.first;
    const int32_t count = RinexSignalsOf(e, s);
    auto put = [&out](int32_t t, double value, uint8_t lli) {
        out.v[t] = value;
        out.lli[t] = lli;
        out.present = static_cast<uint16_t>(out.present | 1u << t);
    };
    auto take = [&put](int32_t c, int32_t l, int32_t d, int32_t strength, const RinexSignalObs &o) {
        put(c, o.c, 0);
        if (l >= 0) put(l, o.l, o.lli);
        if (d >= 0) put(d, o.d, 0);
        if (strength >= 0) put(strength, o.s, 0);
    };
    // P codes first, so that L2 is theirs whenever the satellite has one.
    bool otherL2 = false;
    for (int32_t k = 0; k < count; ++k) {
        const RinexSignalObs &o = signals[k];
        switch (RoleOf211(o.code)) {
        case kC1Group: take(C1, L1, D1, S1, o); break;
        case kP1Alone: take(P1, -1, -1, -1, o); break;
        case kP2Group: take(P2, L2, D2, S2, o); break;
        case kL5Group: take(C5, L5, D5, S5, o); break;
        case kOtherL2: otherL2 = true; break;
        default: break;
        }
    }
    for (int32_t k = 0; otherL2 && k < count; ++k) {
        const RinexSignalObs &o = signals[k];
        if (RoleOf211(o.code) != kOtherL2) continue;
        const bool free = out.Value(L2) == 0.0;
        take(C2, free ? L2 : -1, free ? D2 : -1, free ? S2 : -1, o);
    }
}

// Over 60 lines: an epoch in RINEX 2.11, the satellites listed on the
// epoch line (twelve a line) and then three lines of five values for each,
// built in place like BuildEpoch's records, each line ending after its
// last field that is not blank. 1 when a line has no room.
template <class Lines> int32_t BuildEpoch211(const RinexHeldEpoch &r, Lines &lines) {
    const RinexEpoch &e = r.epoch;
    const int32_t count = e.count < kRinexMaxSatellites ? e.count : kRinexMaxSatellites;
    std::array<int32_t, kRinexMaxSatellites> kept;
    int32_t n = 0;
    for (int32_t i = 0; i < count; ++i)
        if (RinexSystemHas211(e.sats[i].system)) kept[static_cast<std::size_t>(n++)] = i;
    if (n == 0) return 0;
    // Every satellite's values first: the signals' lines, filled on the
    // other processor, are then all asked for at once, not one by one
    // between the lines of text.
    std::array<Values211, kRinexMaxSatellites> valuesOf;
    for (int32_t k = 0; k < n; ++k) {
        ValuesOf211(e, e.sats[static_cast<std::size_t>(kept[static_cast<std::size_t>(k)])],
                    valuesOf[static_cast<std::size_t>(k)]);
    }
    const bool withClock = e.clockOffset != 0.0 && std::fabs(e.clockOffset) < 1.0;
    RinexLine line;
    BeginRinexLine(&line);
    AppendEpochLine211(&line, r.time, 0, n);
    for (int32_t k = 0; k < n; ++k) {
        if (k > 0 && k % kSatellitesPerLine211 == 0) {
            if (k == kSatellitesPerLine211 && withClock) AppendClockOffset<9>(&line, e.clockOffset);
            if (!PutLine(lines, line)) return 1;
            BeginRinexLine(&line);
            AppendRinexSpaces(&line, 32);
        }
        AppendSatellite(&line, e.sats[static_cast<std::size_t>(kept[static_cast<std::size_t>(k)])]);
    }
    // The receiver clock offset in columns 69-80 of the first line.
    if (n <= kSatellitesPerLine211 && withClock) {
        AppendRinexSpaces(&line, static_cast<std::size_t>(3 * (kSatellitesPerLine211 - n)));
        AppendClockOffset<9>(&line, e.clockOffset);
    }
    if (!PutLine(lines, line)) return 1;
    lines.EpochLineDone(r);
    constexpr std::size_t kLongestLine = kTypesPerLine211 * kObsColumns;
    for (int32_t k = 0; k < n; ++k) {
        const RinexSatObs &s = e.sats[static_cast<std::size_t>(kept[static_cast<std::size_t>(k)])];
        const Values211 &values = valuesOf[static_cast<std::size_t>(k)];
        for (int32_t first = 0; first < kTypeCount211; first += kTypesPerLine211) {
            char *const at = lines.Reserve(kLongestLine);
            if (at == nullptr) return 1;
            // The fields up to the line's last type that holds a value, a
            // type without one blank; the line ends after its last field
            // that is not blank (a value of 0 is blank too).
            std::size_t length = 0;
            std::size_t start = 0;
            for (uint32_t t = static_cast<uint32_t>(first), held = values.present >> first & kLineTypes211; held != 0;
                 ++t, held >>= 1, start += kObsColumns) {
                if ((held & 1u) == 0) {
                    PutRinexBlankField(at + start);
                    continue;
                }
                const int8_t strengthType = kStrengthType211[t];
                const char ssi = strengthType < 0 ? ' ' : StrengthDigit(values.Value(strengthType));
                const std::size_t used = PutRinexObservation(at + start, values.v[t], values.lli[t], ssi);
                if (used != 0) length = start + used;
            }
            lines.Commit(length);
        }
        if (!NoteGlonassOf(lines, s)) return 1;
        int32_t &used = lines.TypesUsed(static_cast<std::size_t>(SystemIndex(s.system)));
        used = kTypeCount211;
    }
    return 0;
}

// An epoch's lines in the file's version.
template <class Lines> int32_t BuildEpochIn(const RinexObsWriter &w, const RinexHeldEpoch &r, Lines &lines) {
    return w.version == kV2 ? BuildEpoch211(r, lines) : BuildEpoch(r, lines);
}

int32_t EmitEpoch(RinexObsWriter &w, const RinexHeldEpoch &r) {
    if (r.preparedLength != 0) return EmitPrepared(w, r);
    FileLines lines{w};
    return BuildEpochIn(w, r, lines);
}

// The conversion's thread formats the epoch in its slot, to take work off
// a writer's thread that lags behind; an epoch whose text does not fit is
// left to the writer's thread (preparedLength 0).
void PrepareEpoch(RinexObsWriter &w, RinexHeldEpoch &r) {
    r.preparedGlonass = 0;
    std::memset(r.preparedTypes, 0, sizeof r.preparedTypes);
    SlotLines lines{r, 0};
    const int32_t result = BuildEpochIn(w, r, lines);
    r.preparedLength = result == 0 ? static_cast<uint32_t>(lines.length) : 0;
    w.prepared += r.preparedLength != 0 ? 1 : 0;
}

int32_t EmitEvent(RinexObsWriter &w, int64_t time, uint32_t markNumber) {
    // The earliest, for a file of events alone: an event may go out after
    // a later one (a mark logged long after its pulse).
    if (!w.anyEvent || time < w.firstEventTime) w.firstEventTime = time;
    w.anyEvent = true;
    BeginRinexLine(&w.line);
    // One special record follows: the COMMENT with the mark's number.
    if (w.version == kV2) {
        AppendEpochLine211(&w.line, time, kEventFlag, 1);
    } else {
        AppendEpochLine(&w.line, time, kEventFlag, 1);
    }
    if (WriteLine(w) != 0) return 1;
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "CAMERA PULSE #%u", static_cast<unsigned>(markNumber));
    FinishRinexHeaderLine(&w.line, "COMMENT");
    return WriteLine(w);
}

uint64_t HeldCount(const RinexObsWriter &w) { return w.taken - w.released.load(std::memory_order_relaxed); }

const RinexHeldEpoch &FirstHeld(const RinexObsWriter &w) {
    return w.held[w.released.load(std::memory_order_relaxed) % kEpochSlots];
}

// A side sleeps only after saying so, under the lock: the writer in
// `writerSleeps`, the conversion's thread in `producerWants...` (what it
// waits for). The writer reads the conversion's wish after storing its
// count (both sequentially consistent), so either the conversion's thread
// sees the new count before it sleeps or the writer sees it asleep and
// wakes it. The other way the conversion's thread reads the flag without
// a fence: a fence per epoch, with the epoch's stores still on their way,
// costs as much as formatting it. A wake-up missed there only delays the
// writer: a later epoch, a wait for room and the close each wake it, the
// last two reading the flag under the lock. The conversion's thread waits
// for a batch of slots, not one, and wakes a sleeping writer only once a
// batch of epochs is waiting: a wake-up a batch, not an epoch.
constexpr uint64_t kWakeBatch = 16;
// Before it sleeps, a side waits a few microseconds with the processor's
// pause: epochs come every microsecond or two while a log is decoded, and
// a sleep and wake-up costs more than that.
constexpr int32_t kSpins = 2000;
static_assert(kWakeBatch + kHeldEpochs < kEpochSlots, "a writer that has taken every epoch frees a batch");

void WakeProducer(RinexObsWriter &w, const std::atomic<uint64_t> &wants, uint64_t reached) {
    if (!w.threaded) return;
    const uint64_t wanted = wants.load();
    if (wanted == 0 || reached < wanted) return;
    LockWorker(&w.lock);
    WakeWorkerSignal(&w.room);
    UnlockWorker(&w.lock);
}

void WakeWriter(RinexObsWriter &w, uint64_t handedOver) {
    if (!w.writerSleeps.load(std::memory_order_relaxed)) {
        w.unwoken = 0;
        return;
    }
    w.unwoken += static_cast<uint32_t>(handedOver);
    if (w.unwoken < kWakeBatch) return;
    w.unwoken = 0;
    LockWorker(&w.lock);
    WakeWorkerSignal(&w.work);
    UnlockWorker(&w.lock);
}

// The epochs filled so far, handed over. Epochs are published a batch at a
// time, and always before the conversion's thread waits or queues an event
// (the writer must be able to reach the event's place).
constexpr uint64_t kPublishBatch = 8;
// The conversion's thread formats an epoch itself once no more than this
// many slots beyond the next are free (a quarter of the queue): only a
// writer's thread that is the slower of the two gets that far behind, and
// the conversion's thread would soon wait for it otherwise. Helping any
// sooner costs more than it gives: the formatting is slower on the thread
// that also decodes.
constexpr uint64_t kHelpWhenFree = kRinexQueuedEpochs / 4;
void PublishHanded(RinexObsWriter &w) {
    const uint64_t before = w.published.load(std::memory_order_relaxed);
    if (w.handed == before) return;
    w.published.store(w.handed, std::memory_order_release);
    WakeWriter(w, w.handed - before);
}

// The conversion's thread waits until the writer's `count` reaches `wanted`
// (not 0), waking the writer first should it sleep with epochs unwoken.
void WaitForWriter(RinexObsWriter &w, const std::atomic<uint64_t> &count, std::atomic<uint64_t> &wants,
                   uint64_t wanted) {
    for (int32_t spins = 0; spins < kSpins && !w.writerSleeps.load(std::memory_order_relaxed); ++spins) {
        if (count.load(std::memory_order_acquire) >= wanted) return;
        PauseWorker();
    }
    LockWorker(&w.lock);
    if (w.writerSleeps.load()) WakeWorkerSignal(&w.work);
    w.unwoken = 0;
    wants.store(wanted);
    while (count.load() < wanted) WaitWorkerSignal(&w.room, &w.lock);
    wants.store(0);
    UnlockWorker(&w.lock);
}

// Cache lines asked for ahead of the reads or the writes that need them.
constexpr int kForReading = 0, kForWriting = 1;
// A line to be written is asked for in the state that lets this processor
// write it (PREFETCHW): a plain prefetch brings it shared, and the first
// store then waits a second time for the other processor to let it go.
// Processors without the instruction take it as a no-op. The compiler's
// own prefetch asks for it only when built for such processors alone.
// Lines to be read are asked for by an instruction written out too: g++
// counts its own prefetch as free of effects, so a function that does
// nothing else is one whose calls it may drop -- and it dropped every call
// of the writer's PrefetchEpochLines, which left each epoch's lines to be
// fetched from the other processor's cache one miss at a time.
template <int kIntent> inline void PrefetchLine(const char *at) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    if constexpr (kIntent == kForWriting) {
        asm volatile("prefetchw %0" : : "m"(*at));
    } else {
        asm volatile("prefetcht0 %0" : : "m"(*at));
    }
#else
    __builtin_prefetch(at, kIntent, 3);
#endif
}

template <int kIntent> void PrefetchRange(const void *from, std::size_t bytes) {
    const char *at = static_cast<const char *>(from);
    for (std::size_t b = 0; b < bytes; b += kRinexCacheLine) PrefetchLine<kIntent>(at + b);
    if (bytes != 0) PrefetchLine<kIntent>(at + bytes - 1);
}

// The lines an epoch of so many satellites and signals fills: the head
// with the satellites, and the signals.
template <int kIntent> void PrefetchEpochLines(const RinexEpoch &epoch, int32_t satellites, int32_t signals) {
    const std::size_t n = static_cast<std::size_t>(std::clamp(satellites, 0, kRinexMaxSatellites));
    const std::size_t m = static_cast<std::size_t>(std::clamp(signals, 0, kRinexEpochSignals));
    PrefetchRange<kIntent>(&epoch, offsetof(RinexEpoch, sats) + n * sizeof(RinexSatObs));
    PrefetchRange<kIntent>(epoch.signals, m * sizeof(RinexSignalObs));
}

// Writes the waiting events older than `time` (all: INT64_MAX). One
// written after an epoch later than it (its mark logged more than the hold
// after its pulse) is counted.
int32_t EmitEventsBefore(RinexObsWriter &w, int64_t time) {
    uint32_t n = 0;
    int32_t result = 0;
    while (n < w.waitingCount && w.waiting[n].time < time) {
        if (w.anyEpoch && w.waiting[n].time < w.lastEpochTime) ++w.lateEvents;
        result |= EmitEvent(w, w.waiting[n].time, w.waiting[n].markNumber);
        ++n;
    }
    if (n == 0) return result;
    w.waitingCount -= n;
    std::memmove(w.waiting, w.waiting + n, w.waitingCount * sizeof w.waiting[0]);
    return result;
}

// Prints the first held epoch, after the waiting events older than it,
// and gives its slot back.
int32_t EmitFirstHeld(RinexObsWriter &w) {
    const uint64_t first = w.released.load(std::memory_order_relaxed);
    const int64_t time = w.held[first % kEpochSlots].time;
    int32_t result = w.waitingCount != 0 && w.waiting[0].time < time ? EmitEventsBefore(w, time) : 0;
    // The conversion's thread filled these slots, so their lines are in the
    // other processor's cache: the next epoch's (its text, when prepared)
    // are asked for now, to come while this one is printed.
    if (w.threaded && HeldCount(w) > 1) {
        const RinexHeldEpoch &next = w.held[(first + 1) % kEpochSlots];
        if (next.preparedLength != 0) {
            PrefetchRange<kForReading>(next.text, next.preparedLength);
        } else {
            PrefetchEpochLines<kForReading>(next.epoch, next.epoch.count, next.epoch.signalCount);
        }
    }
    result |= EmitEpoch(w, w.held[first % kEpochSlots]);
    w.released.store(first + 1);
    WakeProducer(w, w.producerWantsSlots, first + 1);
    return result;
}

// A log whose time goes back to `newTime` (two sessions in one file): the
// held epochs of the first go out with its events. The waiting events
// older than every held epoch and within the hold of the new session's
// first epoch are the new session's (its first pulses, logged before its
// first range record): they wait on, for its epochs.
int32_t EndSession(RinexObsWriter &w, int64_t newTime) {
    const int64_t hold = static_cast<int64_t>(kHoldSeconds * 1e7);
    const int64_t from = newTime - hold;
    const int64_t before = std::min(FirstHeld(w).time, newTime + hold);
    std::array<RinexQueuedEvent, kRinexWaitingEvents> kept;
    uint32_t keptCount = 0, n = 0;
    for (uint32_t i = 0; i < w.waitingCount; ++i) {
        const RinexQueuedEvent &event = w.waiting[i];
        if (event.time >= from && event.time < before) {
            kept[keptCount++] = event;
        } else {
            w.waiting[n++] = event;
        }
    }
    w.waitingCount = n;
    int32_t result = 0;
    while (HeldCount(w) > 0) result |= EmitFirstHeld(w);
    result |= EmitEventsBefore(w, INT64_MAX);
    std::copy(kept.begin(), kept.begin() + keptCount, w.waiting);
    w.waitingCount = keptCount;
    // No epoch of the new session is written yet: its events are late only
    // after one of its own epochs.
    w.lastEpochTime = INT64_MIN;
    return result;
}

// How far ahead of the epoch it takes the writer asks for an epoch's first
// line.
constexpr uint64_t kFirstLinesAhead = 4;

// The writer's side of an epoch handed over (in its slot, its time set):
// it joins the held ones, the first of which goes out when all are taken,
// and the held epochs older than the hold time go out.
int32_t TakeEpoch(RinexObsWriter &w) {
    int32_t result = 0;
    // Each epoch's first line (its time and counts) is read as soon as it
    // is taken, and the line is in the other processor's cache: that of an
    // epoch a few ahead, published already, is asked for now.
    if (w.taken + kFirstLinesAhead < w.publishedSeen) {
        PrefetchLine<kForReading>(reinterpret_cast<const char *>(&w.held[(w.taken + kFirstLinesAhead) % kEpochSlots]));
    }
    if (HeldCount(w) == kHeldEpochs) result |= EmitFirstHeld(w);
    const RinexHeldEpoch &r = w.held[w.taken % kEpochSlots];
    // A log whose time goes back (two sessions in one file): the held
    // epochs of the first go out before the second's, so that the
    // second's events are not placed among them.
    if (HeldCount(w) > 0 && r.time < w.held[(w.taken - 1) % kEpochSlots].time) result |= EndSession(w, r.time);
    ++w.taken;
    // Epochs older than the hold time can no longer be passed by an event.
    const int64_t limit = r.time - static_cast<int64_t>(kHoldSeconds * 1e7);
    while (HeldCount(w) > 0 && FirstHeld(w).time < limit) result |= EmitFirstHeld(w);
    return result;
}

// An event waits until an epoch later than it goes out: the epochs up to
// its time may still come (a mark logged before the range record of the
// epoch it follows), and the held epochs later than it still go after it.
// One older than every held epoch goes out before them, after an epoch
// later than it if one has gone out already (counted as late then), or in
// the new session should the log's time go back. A pulse logged twice
// (the time of the event before it) is written once.
int32_t TakeEvent(RinexObsWriter &w, const RinexQueuedEvent &event) {
    if (w.anyEventTaken && event.time == w.lastEventTaken) {
        ++w.repeatedEvents;
        return 0;
    }
    w.anyEventTaken = true;
    w.lastEventTaken = event.time;
    int32_t result = 0;
    if (w.waitingCount == kRinexWaitingEvents) {
        // Full (marks without epochs): the oldest goes out, after the
        // held epochs up to its time.
        const int64_t oldest = w.waiting[0].time;
        while (HeldCount(w) > 0 && FirstHeld(w).time <= oldest) result |= EmitFirstHeld(w);
        result |= EmitEventsBefore(w, oldest + 1);
    }
    uint32_t at = w.waitingCount;
    while (at > 0 && w.waiting[at - 1].time > event.time) --at;
    std::memmove(w.waiting + at + 1, w.waiting + at, (w.waitingCount - at) * sizeof w.waiting[0]);
    w.waiting[at] = event;
    ++w.waitingCount;
    return result;
}

// One epoch or event the conversion's thread handed over, in the order of
// its calls; false when there is none. The epoch count is read first: an
// event queued before an epoch is then seen with it.
bool TakeNext(RinexObsWriter &w) {
    // Events are read with the epoch count: an event queued before epoch j
    // was published before it, so it is seen by the read that sees j.
    if (w.taken == w.publishedSeen) {
        w.publishedSeen = w.published.load(std::memory_order_acquire);
        w.eventsPublishedSeen = w.eventsPublished.load(std::memory_order_acquire);
    }
    const uint64_t published = w.publishedSeen;
    const uint64_t events = w.eventsPublishedSeen;
    const uint64_t event = w.eventsTaken.load(std::memory_order_relaxed);
    int32_t result = 0;
    if (event < events && w.events[event % kEventSlots].epochsBefore <= w.taken) {
        result = TakeEvent(w, w.events[event % kEventSlots]);
        w.eventsTaken.store(event + 1);
        WakeProducer(w, w.producerWantsEvents, event + 1);
    } else if (w.taken < published) {
        result = TakeEpoch(w);
    } else {
        return false;
    }
    // The first failure's reason is the one told; it is not written again
    // once published, while the conversion's thread may be reading it.
    if (result != 0 && !w.failed.load(std::memory_order_relaxed)) {
        w.failedReason = errno;
        w.failed.store(true, std::memory_order_release);
    }
    return true;
}

bool HasWork(const RinexObsWriter &w) {
    return w.taken < w.published.load() || w.eventsTaken.load(std::memory_order_relaxed) < w.eventsPublished.load();
}

// The writer's thread: takes what comes until told to finish (with nothing
// left) or to abandon the file.
void RunWriter(void *argument) {
    RinexObsWriter &w = *static_cast<RinexObsWriter *>(argument);
    for (;;) {
        if (w.abandon.load(std::memory_order_relaxed)) return;
        if (TakeNext(w)) continue;
        bool work = false;
        for (int32_t spins = 0; spins < kSpins && !work && !w.finish.load(std::memory_order_relaxed); ++spins) {
            PauseWorker();
            work = HasWork(w);
        }
        if (work) continue;
        LockWorker(&w.lock);
        w.writerSleeps.store(true);
        while (!HasWork(w) && !w.finish.load() && !w.abandon.load()) WaitWorkerSignal(&w.work, &w.lock);
        w.writerSleeps.store(false);
        const bool done = w.abandon.load() || (w.finish.load() && !HasWork(w));
        UnlockWorker(&w.lock);
        if (done) return;
    }
}

bool StartWriter(RinexObsWriter &w) {
    if (!MakeWorkerLock(&w.lock)) return false;
    if (MakeWorkerSignal(&w.work) && MakeWorkerSignal(&w.room) && StartWorkerThread(&w.thread, RunWriter, &w)) {
        return true;
    }
    FreeWorkerSignal(&w.room);
    FreeWorkerSignal(&w.work);
    FreeWorkerLock(&w.lock);
    return false;
}

// Ends the writer's thread, when there is one: after it has taken all that
// was handed over, or (abandon) at once. From then on the conversion's
// thread owns the whole record.
void StopWriter(RinexObsWriter &w, bool abandon) {
    if (!w.threaded) return;
    LockWorker(&w.lock);
    (abandon ? w.abandon : w.finish).store(true);
    WakeWorkerSignal(&w.work);
    UnlockWorker(&w.lock);
    JoinWorkerThread(&w.thread);
    FreeWorkerSignal(&w.room);
    FreeWorkerSignal(&w.work);
    FreeWorkerLock(&w.lock);
    w.threaded = false;
    w.file.quiet = false;
}

// The conversion's thread reports a failure of the writer's thread, with
// the message a failure of its own would give.
// The failure of the writer's thread on the conversion's thread, with the
// system's reason in errno there, as a failed write of its own leaves it.
int32_t ReportedFailure(const RinexObsWriter &w) {
    if (!w.failed.load(std::memory_order_acquire)) return 0;
    FormatErrorText(kUnableToWrite, w.file.path);
    errno = w.failedReason;
    return 1;
}

void AppendTypesLines(RinexObsWriter &w, const SystemColumns &system, int32_t used) {
    // A3 system and I3 count, then up to 13 types a line.
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%c  %3d", system.system, used);
    for (int32_t i = 0; i < used; ++i) {
        if (i > 0 && i % 13 == 0) {
            FinishRinexHeaderLine(&w.line, "SYS / # / OBS TYPES");
            AppendRinexHeaderLine(&w.header, &w.line);
            BeginRinexLine(&w.line);
            AppendRinexSpaces(&w.line, 6);
        }
        AppendRinexFormat(&w.line, " %c%s", kTypeLetters[i % kTypesPerSignal], system.codes[i / kTypesPerSignal]);
    }
    FinishRinexHeaderLine(&w.line, "SYS / # / OBS TYPES");
    AppendRinexHeaderLine(&w.header, &w.line);
}

// RINEX 2.11: the default wavelength factors and the one type list.
void AppendTypesLines211(RinexObsWriter &w) {
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%6d%6d", 1, 1);
    FinishRinexHeaderLine(&w.line, "WAVELENGTH FACT L1/2");
    AppendRinexHeaderLine(&w.header, &w.line);
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%6d", static_cast<int>(kTypeCount211));
    for (int32_t t = 0; t < kTypeCount211; ++t) {
        if (t > 0 && t % 9 == 0) {
            FinishRinexHeaderLine(&w.line, "# / TYPES OF OBSERV");
            AppendRinexHeaderLine(&w.header, &w.line);
            BeginRinexLine(&w.line);
            AppendRinexSpaces(&w.line, 6);
        }
        AppendRinexFormat(&w.line, "    %s", kTypeNames211[t]);
    }
    FinishRinexHeaderLine(&w.line, "# / TYPES OF OBSERV");
    AppendRinexHeaderLine(&w.header, &w.line);
}

void AppendTimeLine(RinexObsWriter &w, int64_t time, const char *label) {
    const RinexCalendar c = RinexCalendarOf(time);
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%6d%6d%6d%6d%6d%5d.%07d     GPS", c.year, c.month, c.day, c.hour, c.minute, c.second,
                      c.tenthMicroseconds);
    FinishRinexHeaderLine(&w.line, label);
    AppendRinexHeaderLine(&w.header, &w.line);
}

void AppendLabelled(RinexObsWriter &w, const char *label) {
    FinishRinexHeaderLine(&w.line, label);
    AppendRinexHeaderLine(&w.header, &w.line);
}

void AppendGlonassSlots(RinexObsWriter &w) {
    int32_t count = 0;
    for (int32_t n = 0; n < kMaxSatNumber; ++n) count += w.glonassSeen[static_cast<std::size_t>(n)] ? 1 : 0;
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%3d ", count);
    int32_t onLine = 0;
    for (int32_t n = 0; n < kMaxSatNumber; ++n) {
        if (!w.glonassSeen[static_cast<std::size_t>(n)]) continue;
        if (onLine == 8) {
            AppendLabelled(w, "GLONASS SLOT / FRQ #");
            BeginRinexLine(&w.line);
            AppendRinexSpaces(&w.line, 4);
            onLine = 0;
        }
        AppendRinexFormat(&w.line, "R%02d %2d ", n, w.glonassFrequency[static_cast<std::size_t>(n)]);
        ++onLine;
    }
    AppendLabelled(w, "GLONASS SLOT / FRQ #");
}

// Over 60 lines: the header lines in the order the format prescribes, each
// a few lines of its own.
void BuildHeader(RinexObsWriter &w, const RinexObsHeader *info) {
    BeginRinexHeader(&w.header);
    // A file of camera events alone (a log without range records) still
    // declares what the format requires: GPS's first signal's types.
    std::array<int32_t, kSystemCount> typesUsed{};
    std::copy(std::begin(w.typesUsed), std::end(w.typesUsed), typesUsed.begin());
    if (std::all_of(typesUsed.begin(), typesUsed.end(), [](int32_t n) { return n == 0; })) {
        typesUsed[0] = kTypesPerSignal;
    }
    int systemsUsed = 0;
    const SystemColumns *only = &kSystems[0];
    for (std::size_t i = 0; i < kSystemCount; ++i) {
        if (typesUsed[i] > 0) {
            ++systemsUsed;
            only = &kSystems[i];
        }
    }
    const bool v2 = w.version == kV2;
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%9.2f%11s", v2 ? 2.11 : 3.04, "");
    AppendRinexField(&w.line, "OBSERVATION DATA", 20);
    if (v2) {
        AppendRinexField(&w.line, systemsUsed > 1 ? "M (MIXED)" : only->name2, 20);
    } else {
        AppendRinexField(&w.line, systemsUsed > 1 ? "M: Mixed" : only->name, 20);
    }
    AppendLabelled(w, "RINEX VERSION / TYPE");

    BeginRinexLine(&w.line);
    AppendRinexProgramLine(&w.line);
    AppendRinexHeaderLine(&w.header, &w.line);

    BeginRinexLine(&w.line);
    AppendRinexText(&w.line, "Phase: opposite sign of the receiver's accumulated Doppler");
    AppendLabelled(w, "COMMENT");
    if (!w.withoutEvents) {
        BeginRinexLine(&w.line);
        AppendRinexText(&w.line, "Camera marks: epoch flag 5, mark number in a COMMENT");
        AppendLabelled(w, "COMMENT");
    }
    if (w.comment != nullptr) {
        BeginRinexLine(&w.line);
        AppendRinexField(&w.line, w.comment, 60);
        AppendLabelled(w, "COMMENT");
    }

    BeginRinexLine(&w.line);
    AppendRinexField(&w.line, info != nullptr ? info->markerName : "", 60);
    AppendLabelled(w, "MARKER NAME");
    BeginRinexLine(&w.line);
    AppendLabelled(w, "OBSERVER / AGENCY");
    BeginRinexLine(&w.line);
    AppendRinexField(&w.line, info != nullptr ? info->receiverNumber : "", 20);
    AppendRinexField(&w.line, info != nullptr ? info->receiverType : "", 20);
    AppendRinexField(&w.line, info != nullptr ? info->receiverVersion : "", 20);
    AppendLabelled(w, "REC # / TYPE / VERS");
    BeginRinexLine(&w.line);
    AppendLabelled(w, "ANT # / TYPE");
    if (info != nullptr && info->hasPosition && std::fabs(info->x) < 1e8 && std::fabs(info->y) < 1e8 &&
        std::fabs(info->z) < 1e8) {
        BeginRinexLine(&w.line);
        AppendRinexFormat(&w.line, "%14.4f%14.4f%14.4f", info->x, info->y, info->z);
        AppendLabelled(w, "APPROX POSITION XYZ");
    }
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%14.4f%14.4f%14.4f", 0.0, 0.0, 0.0);
    AppendLabelled(w, "ANTENNA: DELTA H/E/N");
    if (v2) {
        AppendTypesLines211(w);
    } else {
        for (std::size_t i = 0; i < kSystemCount; ++i) {
            if (typesUsed[i] > 0) {
                // Every system declares at least its first signal's types.
                AppendTypesLines(w, kSystems[i], typesUsed[i] < kTypesPerSignal ? kTypesPerSignal : typesUsed[i]);
            }
        }
        BeginRinexLine(&w.line);
        AppendRinexField(&w.line, "DBHZ", 20);
        AppendLabelled(w, "SIGNAL STRENGTH UNIT");
    }
    if (w.anyEpoch && w.regular && w.interval > 0.0 && w.interval < 1e6) {
        BeginRinexLine(&w.line);
        AppendRinexFormat(&w.line, "%10.3f", w.interval);
        AppendLabelled(w, "INTERVAL");
    }
    if (w.anyEpoch) {
        AppendTimeLine(w, w.firstTime, "TIME OF FIRST OBS");
        AppendTimeLine(w, w.lastTime, "TIME OF LAST OBS");
    } else if (w.anyEvent) {
        AppendTimeLine(w, w.firstEventTime, "TIME OF FIRST OBS");
    }
    // The epochs carry the receiver clock offset; the observations stay the
    // receiver's, not corrected by it. The format asks for this record
    // wherever offsets are given, and its 0 says they were not applied.
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%6d", 0);
    AppendLabelled(w, "RCV CLOCK OFFS APPL");
    for (std::size_t i = 0; i < kSystemCount && !v2; ++i) {
        // Every phase type declared, with no correction: the phases are the
        // receiver's, no quarter-cycle shift applied.
        const int32_t used = typesUsed[i] < kTypesPerSignal ? kTypesPerSignal : typesUsed[i];
        for (int32_t type = 1; typesUsed[i] > 0 && type < used; type += kTypesPerSignal) {
            BeginRinexLine(&w.line);
            AppendRinexFormat(&w.line, "%c L%s", kSystems[i].system, kSystems[i].codes[type / kTypesPerSignal]);
            AppendLabelled(w, "SYS / PHASE SHIFT");
        }
    }
    if (!v2 && typesUsed[static_cast<std::size_t>(SystemIndex('R'))] > 0) {
        AppendGlonassSlots(w);
        // Code-phase biases are not known: the fields stay blank.
        BeginRinexLine(&w.line);
        AppendLabelled(w, "GLONASS COD/PHS/BIS");
    }
    if (info != nullptr && info->hasLeapSeconds) {
        BeginRinexLine(&w.line);
        AppendRinexFormat(&w.line, "%6d", info->leapSeconds);
        AppendLabelled(w, "LEAP SECONDS");
    }
    BeginRinexLine(&w.line);
    AppendLabelled(w, "END OF HEADER");
}

// The bytes on disk the header can take, asked for when the records outgrow
// the memory that holds the first of them: the header as it would be now,
// with every line the log could still give it (receiver, position, leap
// seconds) at its widest, and kHeaderGrowthLines lines more (an interval,
// GLONASS satellites rising, a signal first seen later). The line being
// written is kept aside.
constexpr std::size_t kHeaderGrowthLines = 7;
std::size_t ObsHeaderBound(void *context) {
    RinexObsWriter &w = *static_cast<RinexObsWriter *>(context);
    static constexpr char kWidest[] = "############################################################";
    const RinexObsHeader widest{kWidest, kWidest, kWidest, kWidest, true, 0.0, 0.0, 0.0, true, 99};
    const RinexLine kept = w.line;
    BuildHeader(w, &widest);
    w.line = kept;
    std::size_t lines = 0;
    for (std::size_t i = 0; i < w.header.length; ++i) lines += w.header.text[i] == '\n' ? 1 : 0;
    const std::size_t length = w.header.overflow ? sizeof w.header.text : w.header.length;
    return length + lines * (kRinexLineEndBytes - 1) + kHeaderGrowthLines * kRinexHeaderLineBytes;
}

} // namespace

int32_t RinexCodeColumn(char system, const char *code) { return CodeColumn(SystemIndex(system), code); }

int32_t OpenRinexObs(RinexObsWriter *writer, const char *path, int32_t version, RinexObsThreading threading) {
    RinexObsWriter &w = *writer;
    DiscardRinexObs(writer);
    // Cleared in place, not through a temporary, all but the held epochs
    // (most of its size), each of which is written before it is read.
    static_assert(offsetof(RinexObsWriter, held) + sizeof w.held < sizeof w, "the held epochs are not last");
    constexpr std::size_t kHeldEnd = offsetof(RinexObsWriter, held) + sizeof w.held;
    char *const bytes = reinterpret_cast<char *>(&w);
    std::memset(bytes, 0, offsetof(RinexObsWriter, held));
    std::memset(bytes + kHeldEnd, 0, sizeof w - kHeldEnd);
    if (OpenDeferredRinex(&w.file, path, ObsHeaderBound, writer) != 0) return 1;
    w.open = true;
    w.version = version;
    w.helpWhenFree = kHelpWhenFree;
    // Without a thread of its own the writer prints on the caller's.
    w.threaded = threading == kRinexObsThreaded && StartWriter(w);
    // The message of a failed write belongs to the conversion's thread.
    w.file.quiet = w.threaded;
    return 0;
}

namespace {

// The writer's thread read the next epoch's slot last, so each of its cache
// lines is in the other processor's cache, and every first store to one
// waits for the line to come over. Asking for the lines the next epoch
// will likely fill (as many satellites as this one, a few signals each)
// while the log is decoded lets them come meanwhile, all at once. Only a
// slot the writer has released: the lines of a held one would be taken
// from it while it prints them.
void PrefetchNextSlot(const RinexObsWriter &w, uint64_t epochNumber, int32_t satellites, int32_t signals) {
    if (epochNumber >= w.releasedSeen + kEpochSlots) return;
    PrefetchEpochLines<kForWriting>(w.held[epochNumber % kEpochSlots].epoch, satellites, signals);
}

} // namespace

void SetRinexObsComment(RinexObsWriter *writer, const char *comment) { writer->comment = comment; }

void SetRinexObsWithoutEvents(RinexObsWriter *writer) { writer->withoutEvents = true; }

RinexEpoch *NextRinexObsEpoch(RinexObsWriter *writer) {
    RinexObsWriter &w = *writer;
    const uint64_t next = w.handed;
    // The slot is free once the writer has released the epoch that had it.
    if (w.threaded && next >= w.releasedSeen + kEpochSlots) {
        w.releasedSeen = w.released.load(std::memory_order_acquire);
        if (next >= w.releasedSeen + kEpochSlots) {
            PublishHanded(w);
            WaitForWriter(w, w.released, w.producerWantsSlots, next + kWakeBatch + 1 - kEpochSlots);
            w.releasedSeen = w.released.load(std::memory_order_acquire);
        }
    }
    return &w.held[next % kEpochSlots].epoch;
}

int32_t WriteRinexObsEpoch(RinexObsWriter *writer, const RinexEpoch *epoch) {
    RinexObsWriter &w = *writer;
    if (!w.open || epoch == nullptr) return 0;
    const uint64_t next = w.handed;
    RinexHeldEpoch &r = w.held[next % kEpochSlots];
    // An epoch built in its slot got it from NextRinexObsEpoch, free; one
    // built elsewhere waits for the slot here.
    if (epoch != &r.epoch) NextRinexObsEpoch(writer);
    r.time = RinexTimeUnits(epoch->week, epoch->seconds);
    // Only the satellites and signals in use: the epoch's room is far larger.
    const int32_t count = epoch->count < 0                     ? 0
                          : epoch->count < kRinexMaxSatellites ? epoch->count
                                                               : kRinexMaxSatellites;
    const int32_t signals = std::clamp(epoch->signalCount, 0, kRinexEpochSignals);
    if (epoch != &r.epoch) {
        std::memcpy(static_cast<void *>(&r.epoch), epoch, offsetof(RinexEpoch, sats));
        std::memcpy(static_cast<void *>(r.epoch.sats), epoch->sats,
                    static_cast<std::size_t>(count) * sizeof(RinexSatObs));
        std::memcpy(static_cast<void *>(r.epoch.signals), epoch->signals,
                    static_cast<std::size_t>(signals) * sizeof(RinexSignalObs));
    }
    r.epoch.count = count;
    r.epoch.signalCount = signals;
    r.preparedLength = 0;
    // A writer's thread that lags far behind gets help: this thread, whose
    // cache holds the epoch it has just filled, formats it itself. The free
    // slots are counted afresh: an old count would make the lag look longer.
    if (w.threaded && next + 1 + w.helpWhenFree >= w.releasedSeen + kEpochSlots) {
        w.releasedSeen = w.released.load(std::memory_order_acquire);
        if (next + 1 + w.helpWhenFree >= w.releasedSeen + kEpochSlots) PrepareEpoch(w, r);
    }
    w.handed = next + 1;
    if (!w.threaded) {
        w.published.store(next + 1, std::memory_order_relaxed);
        return TakeEpoch(w) != 0 ? 1 : 0;
    }
    if (w.handed - w.published.load(std::memory_order_relaxed) >= kPublishBatch) PublishHanded(w);
    PrefetchNextSlot(w, next + 1, count, r.epoch.signalCount);
    return ReportedFailure(w);
}

int32_t WriteRinexEvent(RinexObsWriter *writer, int32_t week, double seconds, uint32_t markNumber) {
    RinexObsWriter &w = *writer;
    if (!w.open) return 0;
    // A mark time no calendar date can show (a damaged record) has no place
    // among the epochs; the mark file still lists it.
    if (week < 0 || week > kMaxEventWeek || !(std::fabs(seconds) <= kMaxEventSeconds)) {
        ++w.undatedEvents;
        return 0;
    }
    const RinexQueuedEvent event{RinexTimeUnits(week, seconds), w.handed, markNumber};
    if (!w.threaded) return TakeEvent(w, event) != 0 ? 1 : 0;
    PublishHanded(w);
    const uint64_t next = w.eventsPublished.load(std::memory_order_relaxed);
    if (next >= w.eventsTaken.load(std::memory_order_acquire) + kEventSlots) {
        WaitForWriter(w, w.eventsTaken, w.producerWantsEvents, next + 1 - kEventSlots);
    }
    w.events[next % kEventSlots] = event;
    w.eventsPublished.store(next + 1);
    WakeWriter(w, 1);
    return ReportedFailure(w);
}

int32_t CloseRinexObs(RinexObsWriter *writer, const RinexObsHeader *header) {
    RinexObsWriter &w = *writer;
    if (!w.open) return 0;
    if (w.threaded) PublishHanded(w);
    StopWriter(w, false);
    int32_t result = ReportedFailure(w);
    while (HeldCount(w) > 0) result |= EmitFirstHeld(w);
    result |= EmitEventsBefore(w, INT64_MAX);
    BuildHeader(w, header);
    w.open = false;
    result |= FinishDeferredRinex(&w.file, w.header.text, w.header.length);
    return result != 0 ? 1 : 0;
}

void DiscardRinexObs(RinexObsWriter *writer) {
    RinexObsWriter &w = *writer;
    StopWriter(w, true);
    DiscardDeferredRinex(&w.file);
    w.open = false;
}
