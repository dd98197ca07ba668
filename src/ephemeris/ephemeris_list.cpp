// The module-level list of GPS ephemerides kept for the clock recomputation.
//
// Entries are kept in order of addition; a (PRN, toe, toe week) enters once. A
// lookup picks, per satellite, the entry whose toe is closest to the epoch
// within a search window, and remembers it per PRN so that the epochs that
// follow are answered without walking the list while they stay near that toe.
#include "ephemeris/ephemeris_list.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "common/error_text.h"
#include "common/gnss_time.h"

namespace {

struct EphemerisEntry {
    int32_t prn;
    int32_t sequence; // entries that stood before this one when it was added
    int32_t toe;
    int64_t toeAt; // the toe in seconds from the GPS weeks' start, or kAnyTime
    EphemerisEntry *next;
    GpsEphRecord ephemeris; // health word always 0: only the first 180 bytes are kept
};

inline constexpr int kCacheSize = 72; // PRNs 0 to 71

struct EphemerisChain {
    EphemerisEntry *head = nullptr;
    std::array<EphemerisEntry *, kCacheSize> cache{};
    // Satellites whose latest broadcast said they are not to be used: their
    // earlier healthy sets are not taken until a healthy one comes again.
    std::array<bool, kCacheSize> unhealthy{};
};

// How close a kept toe must be for a lookup: the cached entry is reused and
// a walk stops early within `nearEnough`; nothing at `window` or beyond
// is returned.
struct SearchLimits {
    int64_t nearEnough;
    bool nearInclusive;
    int64_t window;
};

inline constexpr SearchLimits kGpsLimits{4000, false, 21600};
inline constexpr SearchLimits kGlonassLimits{900, true, 2000};

// The GPS list, named as the rest of the library knows it.
EphemerisChain EphemerisList;
EphemerisChain g_glonassList; // nothing in this library adds to it

bool InCacheRange(int32_t prn) { return prn >= 0 && prn < kCacheSize; }

// Difference of seconds of week, widened so that no input can wrap, and
// taken across the week's end where that is the shorter way: in a week's
// last hours the satellites broadcast next week's toe (0 and on), and in
// its first hours last week's sets are still the current ones. Measured
// within the week only, those would be found by no epoch near the week's
// end, and the epochs would lose their solution.
int64_t Distance(int32_t time, int32_t toe) {
    const int64_t d = std::llabs(static_cast<int64_t>(time) - static_cast<int64_t>(toe));
    return d > kSecondsPerHalfWeek && d <= kSecondsPerWeek ? kSecondsPerWeek - d : d;
}

// A time or toe of no known week.
inline constexpr int64_t kAnyTime = INT64_MIN;

// A week the receiver had not yet set is unknown too.
int64_t SecondsFromWeeksStart(int32_t week, int32_t seconds) {
    return week < 0 || IsUnsetWeek(week) ? kAnyTime : static_cast<int64_t>(week) * kSecondsPerWeek + seconds;
}

// Whether the entry's toe lies within half a week of the time, where both
// are known.
bool WithinHalfWeek(const EphemerisEntry &e, int64_t at) {
    return at == kAnyTime || e.toeAt == kAnyTime || std::llabs(at - e.toeAt) < kSecondsPerHalfWeek;
}

// The toe in the week that puts it nearest the time it was received.
int64_t ToeAt(int32_t toe, int32_t receivedWeek, int32_t receivedSeconds) {
    const int64_t received = SecondsFromWeeksStart(receivedWeek, receivedSeconds);
    if (received == kAnyTime) return kAnyTime;
    const int64_t ahead = static_cast<int64_t>(toe) - receivedSeconds;
    const int32_t weeks = ahead > kSecondsPerHalfWeek ? -1 : ahead < -kSecondsPerHalfWeek ? 1 : 0;
    return SecondsFromWeeksStart(receivedWeek + weeks, toe);
}

bool IsNear(int64_t distance, const SearchLimits &limits) {
    return limits.nearInclusive ? distance <= limits.nearEnough : distance < limits.nearEnough;
}

// The walk of the list, when the cached entry does not answer: apart from
// the lookup, which an epoch makes for every satellite, so that the answer
// from the cache costs no more than its test.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
const GpsEphRecord *
Walk(EphemerisChain &chain, const SearchLimits &limits, int32_t prn, int32_t time, int64_t at) {
    EphemerisEntry *best = nullptr;
    int64_t bestDistance = 0;
    for (EphemerisEntry *e = chain.head; e != nullptr; e = e->next) {
        if (e->prn != prn || !WithinHalfWeek(*e, at)) continue;
        const int64_t d = Distance(time, e->toe);
        if (d < limits.window && (best == nullptr || d < bestDistance)) {
            best = e;
            bestDistance = d;
        }
        if (IsNear(d, limits)) break;
    }
    if (best == nullptr) return nullptr;
    chain.cache[static_cast<size_t>(prn)] = best;
    return &best->ephemeris;
}

const GpsEphRecord *Find(EphemerisChain &chain, const SearchLimits &limits, int32_t prn, int32_t time, int32_t week) {
    // Also refuses negative PRNs, which have no cache slot either.
    if (!InCacheRange(prn) || chain.unhealthy[static_cast<size_t>(prn)]) return nullptr;
    // Near in seconds of week is not enough where both weeks are known: a
    // set of a week's first hours is as near to the same week's last hours,
    // across the week's end, and a satellite that got no newer set all week
    // would be placed with an orbit a week old.
    const int64_t at = SecondsFromWeeksStart(week, time);
    const EphemerisEntry *cached = chain.cache[static_cast<size_t>(prn)];
    if (cached != nullptr) {
        const int64_t distance =
            at == kAnyTime || cached->toeAt == kAnyTime ? Distance(time, cached->toe) : std::llabs(at - cached->toeAt);
        if (IsNear(distance, limits)) return &cached->ephemeris;
    }
    return Walk(chain, limits, prn, time, at);
}

void Release(EphemerisChain &chain) {
    EphemerisEntry *e = chain.head;
    while (e != nullptr) {
        EphemerisEntry *next = e->next;
        delete e;
        e = next;
    }
    chain.head = nullptr;
    chain.cache.fill(nullptr);
    chain.unhealthy.fill(false);
}

} // namespace

int32_t EphemerisListCount = 0;

int32_t AddEphemeris(const GpsEphRecord &ephemeris, int32_t receivedWeek, int32_t receivedSeconds) {
    // Offered is counted, taken or not: the range decoder's gate counts
    // ephemerides received, not entries.
    ++EphemerisListCount;
    if (InCacheRange(ephemeris.prn)) EphemerisList.unhealthy[static_cast<size_t>(ephemeris.prn)] = false;
    const int64_t toeAt = ToeAt(ephemeris.toe, receivedWeek, receivedSeconds);
    int32_t walked = 0;
    EphemerisEntry **link = &EphemerisList.head;
    for (; *link != nullptr; link = &(*link)->next, ++walked) {
        const EphemerisEntry &e = **link;
        if (e.prn == ephemeris.prn && e.toe == ephemeris.toe &&
            (e.toeAt == toeAt || e.toeAt == kAnyTime || toeAt == kAnyTime)) {
            return 0;
        }
    }
    EphemerisEntry *entry = new (std::nothrow) EphemerisEntry;
    if (entry == nullptr) {
        SetErrorText("Error: Not enough memory");
        return 1;
    }
    entry->prn = ephemeris.prn;
    entry->sequence = walked;
    entry->toe = ephemeris.toe;
    entry->toeAt = toeAt;
    entry->next = nullptr;
    entry->ephemeris = ephemeris;
    entry->ephemeris.health = 0;
    *link = entry;
    // The new entry may suit this satellite better than the cached one.
    if (InCacheRange(ephemeris.prn)) EphemerisList.cache[static_cast<size_t>(ephemeris.prn)] = nullptr;
    return 0;
}

void MarkGpsSatelliteUnhealthy(int32_t prn) {
    if (InCacheRange(prn)) EphemerisList.unhealthy[static_cast<size_t>(prn)] = true;
}

const GpsEphRecord *FindGpsEphemeris(int32_t prn, int32_t time, int32_t week) {
    return Find(EphemerisList, kGpsLimits, prn, time, week);
}

const GpsEphRecord *FindGlonassEphemeris(int32_t prn, int32_t time) {
    return Find(g_glonassList, kGlonassLimits, prn, time, kAnyWeek);
}

void ClearEphemerisList() {
    Release(EphemerisList);
    Release(g_glonassList);
    EphemerisListCount = 0;
}
