// The RINEX side of a conversion: maps each decoded epoch, camera mark,
// position and ephemeris the driver drains onto the RINEX observation and
// navigation writers. The writers only print; what RINEX names a signal,
// which ephemeris repeats one already written, and which position heads
// the file are decided here, once per conversion.
#include "api/rinex_export.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <iterator>

#include "api/error_text.h"
#include "common/gnss_time.h"
#include "common/le.h"
#include "common/physics.h"
#include "navigation/coordinates.h"
#include "oem4/oem4_decoder.h"
#include "oem4/signals.h"
#include "output/rinex_file.h"

namespace {

// The RINEX letter of each satellite system (SatelliteSystem order), and
// the observation code ("1C") of each signal type the receiver reports.
// A signal without a code is not written.
constexpr char kSystemLetters[kSystemCount + 1] = "GRSECJI ";

struct SignalCode {
    uint8_t system;
    uint8_t signal;
    char code[3];
};
constexpr SignalCode kSignalCodes[] = {
    {SYS_GPS, 0, "1C"},      {SYS_GPS, 1, "2C"},     {SYS_GPS, 4, "1P"},      {SYS_GPS, 5, "2P"},
    {SYS_GPS, 9, "2W"},      {SYS_GPS, 14, "5Q"},    {SYS_GPS, 16, "1L"},     {SYS_GPS, 17, "2S"},
    {SYS_GLONASS, 0, "1C"},  {SYS_GLONASS, 1, "2C"}, {SYS_GLONASS, 5, "2P"},  {SYS_GLONASS, 6, "3Q"},
    {SYS_SBAS, 0, "1C"},     {SYS_SBAS, 6, "5I"},    {SYS_GALILEO, 1, "1B"},  {SYS_GALILEO, 2, "1C"},
    {SYS_GALILEO, 6, "6B"},  {SYS_GALILEO, 7, "6C"}, {SYS_GALILEO, 12, "5Q"}, {SYS_GALILEO, 17, "7Q"},
    {SYS_GALILEO, 20, "8Q"}, {SYS_BEIDOU, 0, "2I"},  {SYS_BEIDOU, 1, "7I"},   {SYS_BEIDOU, 2, "6I"},
    {SYS_BEIDOU, 4, "2I"},   {SYS_BEIDOU, 5, "7I"},  {SYS_BEIDOU, 6, "6I"},   {SYS_BEIDOU, 7, "1P"},
    {SYS_BEIDOU, 9, "5P"},   {SYS_BEIDOU, 11, "7D"}, {SYS_QZSS, 0, "1C"},     {SYS_QZSS, 14, "5Q"},
    {SYS_QZSS, 16, "1L"},    {SYS_QZSS, 17, "2S"},   {SYS_QZSS, 27, "6L"},    {SYS_QZSS, 28, "6S"},
    {SYS_NAVIC, 0, "5A"},
};

// Index into kSignalCodes by system and signal type, -1 where none.
struct CodeIndex {
    std::array<int8_t, kSystemCount * 32> at;
    constexpr CodeIndex() : at() {
        for (auto &a : at) a = -1;
        for (std::size_t k = 0; k < std::size(kSignalCodes); ++k) {
            at[kSignalCodes[k].system * 32u + kSignalCodes[k].signal] = static_cast<int8_t>(k);
        }
    }
};
constexpr CodeIndex kCodeIndex;

// The system (SatelliteSystem) of each RINEX letter, -1 for none.
struct SystemOfLetter {
    std::array<int8_t, 128> at;
    constexpr SystemOfLetter() : at() {
        for (auto &a : at) a = -1;
        for (std::size_t k = 0; k < kSystemCount; ++k) {
            if (kSystemLetters[k] != ' ') at[static_cast<std::size_t>(kSystemLetters[k])] = static_cast<int8_t>(k);
        }
    }
};
constexpr SystemOfLetter kSystemOfLetter;

// A signal's code, LLI and column are its first bytes, written as one word.
static_assert(offsetof(RinexSignalObs, code) == 0 && offsetof(RinexSignalObs, lli) == 3 &&
                  offsetof(RinexSignalObs, columnPlusOne) == 4 && offsetof(RinexSignalObs, c) == 8,
              "a signal's code, LLI and column are its first eight bytes");
constexpr std::size_t kCodeCount = std::size(kSignalCodes);

static_assert(kCodeCount == kRinexSignalCodeCount, "the export keeps one code word per signal code");
constexpr std::size_t kGlonassSlots = kRinexGlonassNavSlots;
constexpr std::size_t kGalileoSlots = kRinexGalileoNavSlots;
constexpr std::size_t kBeidouSlots = kRinexBeidouNavSlots;
constexpr std::size_t kQzssSlots = kRinexQzssNavSlots;
constexpr std::size_t kBroadcastSlots = kRinexBroadcastSlots;
constexpr std::size_t kFnavBit = 2; // RINEX data sources: F/NAV E5a-I
constexpr uint32_t kIndexedNumbers = kRinexIndexedNumbers;

void CopyField(char *destination, std::size_t size, const char *source) {
    std::snprintf(destination, size, "%s", source != nullptr ? source : "");
}

void NotePosition(RinexExport &x, double latitude, double longitude, double height) {
    if (x.hasPosition) return;
    GeodeticToEcef(latitude * kRadiansPerDegree, longitude * kRadiansPerDegree, height, &x.position[0], &x.position[1],
                   &x.position[2]);
    x.hasPosition = std::isfinite(x.position[0]) && std::isfinite(x.position[1]) && std::isfinite(x.position[2]);
}

void NextStamp(RinexExport &x) {
    if (++x.stamp == 0) {
        x.satelliteAt = {};
        x.stamp = 1;
    }
}

// The satellite of the epoch being mapped, added when it is new. The
// epoch and its stamp come in as arguments: read through the state, they
// would be read again after every store into the epoch.
RinexSatObs *SatelliteOf(RinexExport &x, RinexEpoch &epoch, uint32_t stamp, uint32_t system, uint16_t satellite,
                         int8_t glonassChannel) {
    const char letter = kSystemLetters[system & 7u];
    const uint8_t number = static_cast<uint8_t>(satellite);
    SatelliteAt *at = nullptr;
    if (satellite < kIndexedNumbers) {
        at = &x.satelliteAt[(system & 7u) * kIndexedNumbers + satellite];
        if (at->stamp == stamp) return &epoch.sats[at->index];
    } else {
        for (int32_t k = epoch.count - 1; k >= 0; --k) {
            RinexSatObs &s = epoch.sats[k];
            if (s.system == letter && s.number == number) return &s;
        }
    }
    if (epoch.count == kRinexMaxSatellites) return nullptr;
    if (at != nullptr) *at = SatelliteAt{stamp, epoch.count};
    RinexSatObs &s = epoch.sats[epoch.count++];
    s.system = letter;
    s.number = number;
    s.frequency = letter == 'R' ? glonassChannel : kRinexNoFrequency;
    s.count = 0;
    return &s;
}

} // namespace

namespace {

// The export's state afresh, for a file of the given version.
int32_t BeginRinexExport(RinexExport &x, const char *markerName, int32_t version) {
    x.hasPosition = false;
    x.leftOut = {};
    x.epochLeftOut = {};
    x.epochLeftSome = false;
    x.hasLastEpoch = false;
    x.lastWeek = 0;
    x.lastSeconds = 0.0;
    x.repeatedEpochs = 0;
    x.writtenRunCount = 0;
    x.latestWritten = 0;
    x.unknownWeekEpochs = 0;
    x.unknownWeekMarks = 0;
    x.waitingEphemerisCount = 0;
    x.unknownWeekEphemerides = 0;
    x.knownWeek = 0;
    x.navLeftOut = {};
    x.lastBroadcast = {};
    x.satelliteAt = {};
    x.stamp = 0;
    for (std::size_t k = 0; k < kCodeCount; ++k) {
        const SignalCode &code = kSignalCodes[k];
        const int32_t column = RinexCodeColumn(kSystemLetters[code.system], code.code);
        x.codeWords[k] = static_cast<uint8_t>(code.code[0]) |
                         static_cast<uint64_t>(static_cast<uint8_t>(code.code[1])) << 8 |
                         static_cast<uint64_t>(static_cast<uint8_t>(code.code[2])) << 16 |
                         static_cast<uint64_t>(column >= 0 ? column + 1 : 0) << 32;
    }
    CopyField(x.marker, sizeof x.marker, markerName);
    const int32_t rinexVersion = version == kRinexVersion211 ? kRinexVersion211 : kRinexVersion304;
    x.version211 = rinexVersion == kRinexVersion211;
    return rinexVersion;
}

} // namespace

int32_t OpenRinexExport(RinexExport &x, const char *obsPath, const char *navPath, const char *markerName,
                        int32_t version, const char *glonassNavPath) {
    const int32_t rinexVersion = BeginRinexExport(x, markerName, version);
    if (OpenRinexObs(&x.obs, obsPath, rinexVersion) != 0) return 1;
    if (OpenRinexNav(&x.nav, navPath, rinexVersion, glonassNavPath) != 0) {
        DiscardRinexObs(&x.obs); // says nothing: the open's message stands
        return 1;
    }
    return 0;
}

int32_t OpenRinexSecondAntenna(RinexExport &x, const char *obsPath, const char *markerName, int32_t version) {
    const int32_t rinexVersion = BeginRinexExport(x, markerName, version);
    // On the conversion's thread: a second writer's thread would contend
    // with the first antenna's for the processors, for a rarer file.
    if (OpenRinexObs(&x.obs, obsPath, rinexVersion, kRinexObsInline) != 0) return 1;
    SetRinexObsComment(&x.obs, "Observations of the receiver's second antenna");
    // Camera marks are the first antenna's events and stay in its file.
    SetRinexObsWithoutEvents(&x.obs);
    return 0;
}

namespace {

// An observation the epoch's mapping leaves out, counted for the epoch:
// rare, and kept off the mapping's own path.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
void NoteLeftOut(RinexExport &x, const DecodedObservation &o, RinexLeftOutReason why) {
    ++x.epochLeftOut[why][o.system & 7u];
    x.epochLeftSome = true;
}

// A fresh count for a mapping of the epoch.
void StartEpochLeftOut(RinexExport &x) {
    if (!x.epochLeftSome) return;
    x.epochLeftOut = {};
    x.epochLeftSome = false;
}

// The code of an observation RINEX names (-1 for none).
int8_t CodeOf(const DecodedObservation &o) { return kCodeIndex.at[(o.system & 7u) * 32u + (o.signal & 31u)]; }

void FillSignal(const RinexExport &x, RinexSignalObs &r, const DecodedObservation &o, int8_t code) {
    le::Store<uint64_t>(&r, x.codeWords[static_cast<std::size_t>(code)] | uint64_t{o.lli} << 24);
    r.c = (o.status & kStatusCodeLockBit) != 0 ? o.pseudorange : 0.0;
    r.l = (o.status & kStatusPhaseLockBit) != 0 ? -o.phase : 0.0;
    // Doppler as the receiver's records carry it, in single precision.
    r.d = static_cast<float>(o.doppler);
    r.s = o.cno;
}

// The satellite record an observation of the given code goes to, added
// when new; null, the observation counted as left out, when the file
// cannot hold it (no code, no satellite number, no room).
inline RinexSatObs *PlaceOf(RinexExport &x, RinexEpoch &out, uint32_t stamp, const DecodedObservation &o, int8_t code) {
    if (code < 0 || o.satellite == 0) {
        NoteLeftOut(x, o, code < 0 ? kRinexNoCode : kRinexNoNumber);
        return nullptr;
    }
    RinexSatObs *s = SatelliteOf(x, out, stamp, o.system, o.satellite, o.glonassChannel);
    if (s == nullptr || s->count == kRinexMaxSignals) {
        NoteLeftOut(x, o, kRinexNoRoom);
        return nullptr;
    }
    return s;
}

// The common case, a record that lists each satellite's signals together:
// each signal goes to the end of the epoch's signals as it comes. False at
// the first signal of a satellite whose run other signals have followed;
// the epoch is then mapped again by MapBySatellite.
bool MapInRecordOrder(RinexExport &x, RinexEpoch &out, const DecodedEpoch &epoch, uint32_t count) {
    const uint32_t stamp = x.stamp;
    int32_t signals = 0;
    StartEpochLeftOut(x);
    for (uint32_t i = 0; i < count; ++i) {
        const DecodedObservation &o = epoch.obs[i];
        const int8_t code = CodeOf(o);
        RinexSatObs *s = PlaceOf(x, out, stamp, o, code);
        if (s == nullptr) continue;
        if (s->count == 0) {
            s->first = static_cast<uint16_t>(signals);
        } else if (s->first + s->count != signals) {
            return false;
        }
        FillSignal(x, out.signals[signals++], o, code);
        ++s->count;
    }
    out.signalCount = signals;
    return true;
}

// Any order: first each observation's satellite and how many signals each
// has, then the signals, each satellite's together and in the log's order.
void MapBySatellite(RinexExport &x, RinexEpoch &out, const DecodedEpoch &epoch, uint32_t count) {
    const uint32_t stamp = x.stamp;
    StartEpochLeftOut(x);
    for (uint32_t i = 0; i < count; ++i) {
        const DecodedObservation &o = epoch.obs[i];
        x.satelliteOf[i] = -1;
        const int8_t code = CodeOf(o);
        RinexSatObs *s = PlaceOf(x, out, stamp, o, code);
        if (s == nullptr) continue;
        ++s->count;
        x.satelliteOf[i] = static_cast<int16_t>(s - out.sats);
    }
    uint16_t first = 0;
    for (int32_t k = 0; k < out.count; ++k) {
        RinexSatObs &s = out.sats[k];
        s.first = first;
        first = static_cast<uint16_t>(first + s.count);
        s.count = 0;
    }
    out.signalCount = first;
    for (uint32_t i = 0; i < count; ++i) {
        if (x.satelliteOf[i] < 0) continue;
        const DecodedObservation &o = epoch.obs[i];
        RinexSatObs &s = out.sats[x.satelliteOf[i]];
        FillSignal(x, out.signals[s.first + s.count++], o, CodeOf(o));
    }
}

// The epoch's count, once its mapping stands, into the conversion's.
void AddEpochLeftOut(RinexExport &x) {
    for (std::size_t why = 0; why < x.leftOut.size(); ++why)
        for (std::size_t system = 0; system < kSystemCount; ++system)
            x.leftOut[why][system] += x.epochLeftOut[why][system];
}

// RINEX 2.11 writes GPS, GLONASS and SBAS only, and of their signals those
// its types name: the signals of the other systems' satellites, and such
// signals as GPS L1C or GLONASS L3, never reach the file.
void CountLeftOutOf211(RinexExport &x, const RinexEpoch &out) {
    for (int32_t k = 0; k < out.count; ++k) {
        const RinexSatObs &s = out.sats[k];
        const int8_t known = kSystemOfLetter.at[static_cast<uint8_t>(s.system) & 127u];
        if (known < 0) continue;
        const std::size_t system = static_cast<std::size_t>(known);
        if (!RinexSystemHas211(s.system)) {
            x.leftOut[kRinexNotIn211][system] += s.count;
            continue;
        }
        for (int32_t j = 0; j < s.count; ++j) {
            if (!RinexCodeHas211Type(out.signals[s.first + j].code)) ++x.leftOut[kRinexNoType211][system];
        }
    }
}

// An epoch's time in 0.1 us units, rounded inline: the export asks it of
// every epoch. Only compared with its like, never with the writer's times.
int64_t TimeKey(int32_t week, double seconds) {
    const double units = seconds * 1e7;
    return static_cast<int64_t>(week) * (int64_t{kSecondsPerWeek} * 10000000) +
           static_cast<int64_t>(units >= 0.0 ? units + 0.5 : units - 0.5);
}

// Whether an epoch of the time was written (a time no later than the
// latest written).
bool WasWritten(const RinexExport &x, int64_t time) {
    for (uint32_t k = 0; k < x.writtenRunCount; ++k) {
        const RinexWrittenRun &r = x.writtenRuns[k];
        if (time < r.start) continue;
        if (r.count == 1) {
            if (time == r.start) return true;
            continue;
        }
        const int64_t after = time - r.start;
        if (after % r.step == 0 && after / r.step < r.count) return true;
    }
    return false;
}

// The time of an epoch written: the last run goes on when the time is its
// next step, or gets its step from its second epoch; else a run starts.
void NoteWritten(RinexExport &x, int64_t time) {
    if (x.writtenRunCount == 0 || time > x.latestWritten) x.latestWritten = time;
    if (x.writtenRunCount > 0) {
        RinexWrittenRun &r = x.writtenRuns[x.writtenRunCount - 1];
        if (r.count == 1 && time > r.start) {
            r.step = time - r.start;
            r.count = 2;
            return;
        }
        if (r.count > 1 && time == r.start + r.step * r.count) {
            ++r.count;
            return;
        }
    }
    if (x.writtenRunCount < kRinexWrittenRuns) x.writtenRuns[x.writtenRunCount++] = RinexWrittenRun{time, 0, 1};
}

// The GPS ephemerides logged before the receiver knew the week, now that
// an epoch tells it.
int32_t WriteWaitingEphemerides(RinexExport &x, int32_t week) {
    int32_t result = 0;
    for (uint32_t i = 0; i < x.waitingEphemerisCount; ++i) {
        const WaitingGpsEphemeris &waiting = x.waitingEphemerides[i];
        result |= WriteRinexNavEphemeris(&x.nav, &waiting.ephemeris, week, NAN, waiting.sentSeconds);
    }
    x.waitingEphemerisCount = 0;
    return result != 0 ? 1 : 0;
}

} // namespace

// A pure mapping of the decoded epoch: every observation of a signal that
// RINEX names goes to its satellite's record; phase gets the RINEX sign,
// and a phase without phase lock, or a code without code lock, is left
// blank as not observed.
int32_t ExportRinexEpoch(RinexExport &x, const DecodedEpoch *epoch, bool *written) {
    *written = false;
    if (IsUnsetWeek(epoch->week)) {
        ++x.unknownWeekEpochs;
        return 0;
    }
    if (x.waitingEphemerisCount != 0 && WriteWaitingEphemerides(x, static_cast<int32_t>(epoch->week)) != 0) return 1;
    x.knownWeek = static_cast<int32_t>(epoch->week);
    // The same measurements in a second encoding (or a record logged
    // twice): two epochs of one time would make readers take them as two,
    // and the header's interval irregular.
    if (x.hasLastEpoch && epoch->week == x.lastWeek && epoch->time == x.lastSeconds) {
        ++x.repeatedEpochs;
        return 0;
    }
    // A repeat further back comes only after the log's time went back.
    const int64_t time = TimeKey(epoch->week, epoch->time);
    if (x.hasLastEpoch && time <= x.latestWritten && WasWritten(x, time)) {
        ++x.repeatedEpochs;
        return 0;
    }
    RinexEpoch &out = *NextRinexObsEpoch(&x.obs);
    out.week = epoch->week;
    out.seconds = epoch->time;
    out.clockOffset = epoch->clockOffset / kSpeedOfLight;
    out.count = 0;
    NextStamp(x);
    if (epoch->hasPosition != 0) NotePosition(x, epoch->latitude, epoch->longitude, epoch->height);
    const uint32_t count = std::min(epoch->count, kMaxDecodedObservations);
    if (!MapInRecordOrder(x, out, *epoch, count)) {
        out.count = 0;
        NextStamp(x);
        MapBySatellite(x, out, *epoch, count);
    }
    if (x.epochLeftSome) AddEpochLeftOut(x);
    if (x.version211) CountLeftOutOf211(x, out);
    if (out.count == 0) return 0;
    *written = true;
    x.hasLastEpoch = true;
    x.lastWeek = epoch->week;
    x.lastSeconds = epoch->time;
    NoteWritten(x, time);
    return WriteRinexObsEpoch(&x.obs, &out);
}

int32_t ExportRinexMark(RinexExport &x, const MarkRecord *mark) {
    if (IsUnsetWeek(mark->week)) {
        ++x.unknownWeekMarks;
        return 0;
    }
    return WriteRinexEvent(&x.obs, static_cast<int32_t>(mark->week), mark->time, mark->markNumber);
}

int32_t ExportRinexEphemeris(RinexExport &x, const GpsEphRecord *ephemeris, int32_t week, double seconds,
                             double sentSeconds) {

    if (!IsUnsetWeek(week)) return WriteRinexNavEphemeris(&x.nav, ephemeris, week, seconds, sentSeconds);
    // Logged before the receiver knew the week: a date in 1980 would stand
    // for it. The log's week, once an epoch tells it, resolves its 10-bit
    // week; when it was logged is not known.
    if (x.knownWeek != 0) return WriteRinexNavEphemeris(&x.nav, ephemeris, x.knownWeek, NAN, sentSeconds);
    if (x.waitingEphemerisCount == kWaitingGpsEphemerides) {
        ++x.unknownWeekEphemerides;
        return 0;
    }
    x.waitingEphemerides[x.waitingEphemerisCount++] = WaitingGpsEphemeris{*ephemeris, sentSeconds};
    return 0;
}

namespace {

// The slot of an ephemeris, or kBroadcastSlots when it has none.
std::size_t BroadcastSlot(const NavRecord &b) {
    if (b.kind == NAV_GLONASS) return b.glonass.slot < kGlonassSlots ? b.glonass.slot : kBroadcastSlots;
    const KeplerNavRecord &k = b.kepler;
    const std::size_t base = kGlonassSlots;
    switch (k.system) {
    case SYS_GALILEO: {
        if (k.number >= kGalileoSlots) return kBroadcastSlots;
        const bool fnav = std::isfinite(k.codes) && (static_cast<uint32_t>(k.codes) & kFnavBit) != 0;
        return base + (fnav ? kGalileoSlots : 0) + k.number;
    }
    case SYS_BEIDOU: return k.number < kBeidouSlots ? base + 2 * kGalileoSlots + k.number : kBroadcastSlots;
    case SYS_QZSS: return k.number < kQzssSlots ? base + 2 * kGalileoSlots + kBeidouSlots + k.number : kBroadcastSlots;
    default: return kBroadcastSlots;
    }
}

// What makes two ephemerides of one satellite the same broadcast: the
// reference times, the issue of data and the health.
LastBroadcast KeyOf(const NavRecord &b) {
    if (b.kind == NAV_GLONASS) {
        const GlonassNavRecord &g = b.glonass;
        return LastBroadcast{true, g.week, g.toe, g.toe, 0.0, g.health};
    }
    const KeplerNavRecord &k = b.kepler;
    return LastBroadcast{true, k.week, k.toe, k.toc, k.iode, k.health};
}

bool SameBroadcast(const LastBroadcast &a, const LastBroadcast &b) {
    return a.seen && a.week == b.week && a.toe == b.toe && a.toc == b.toc && a.iode == b.iode && a.health == b.health;
}

bool WrittenAlready(const RecentBroadcasts &recent, const LastBroadcast &key) {
    return std::any_of(recent.written.begin(), recent.written.end(),
                       [&key](const LastBroadcast &w) { return SameBroadcast(w, key); });
}

void NoteWritten(RecentBroadcasts &recent, const LastBroadcast &key) {
    recent.written[recent.next] = key;
    recent.next = (recent.next + 1) % kRinexRecentBroadcasts;
}

} // namespace

int32_t ExportRinexBroadcast(RinexExport &x, const Oem4Decoder *port) {
    if (port == nullptr) return 0;
    const uint32_t count = std::min(port->broadcastCount, static_cast<uint32_t>(port->broadcast.size()));
    for (uint32_t i = 0; i < count; ++i) {
        const NavRecord &b = port->broadcast[i];
        const std::size_t slot = BroadcastSlot(b);
        const LastBroadcast key = KeyOf(b);
        if (slot < kBroadcastSlots && WrittenAlready(x.lastBroadcast[slot], key)) continue;
        bool written = false;
        if (WriteRinexNavBroadcast(&x.nav, &b, &written) != 0) return 1;
        // A 2.11 set has no file for it: counted, once a broadcast.
        if (!written && b.kind == NAV_KEPLER) ++x.navLeftOut[b.kepler.system & 7u];
        if (slot < kBroadcastSlots && (written || b.kind == NAV_KEPLER)) NoteWritten(x.lastBroadcast[slot], key);
    }
    return 0;
}

void ExportRinexPosition(RinexExport &x, const PositionRecord *position) {
    NotePosition(x, position->latitude, position->longitude, position->height);
}

int32_t CloseRinexExport(RinexExport &x, const Oem4Decoder *port) {
    char receiverType[32] = "NOVATEL";
    RinexObsHeader obs{};
    obs.markerName = x.marker;
    obs.receiverNumber = "";
    obs.receiverType = receiverType;
    obs.receiverVersion = "";
    if (port != nullptr && port->receiverVersion.valid != 0) {
        std::snprintf(receiverType, sizeof receiverType, "NOVATEL %s", port->receiverVersion.hardware);
        obs.receiverNumber = port->receiverVersion.serial;
        obs.receiverVersion = port->receiverVersion.software;
    }
    obs.hasPosition = x.hasPosition;
    obs.x = x.position[0];
    obs.y = x.position[1];
    obs.z = x.position[2];

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
    if (port != nullptr) nav.corrections = &port->corrections;
    // Both files are finished even when the first fails; the first failure
    // is the one reported.
    int32_t result = CloseRinexObs(&x.obs, &obs);
    if (CloseRinexNav(&x.nav, &nav, result == 0) != 0) result = 1;
    return result;
}

void DiscardRinexExport(RinexExport &x) {
    DiscardRinexObs(&x.obs);
    DiscardRinexNav(&x.nav);
}
