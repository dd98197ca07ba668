// The observation file's epoch, made from the decoded epoch of a range
// record.
//
// The epoch is built in the port's staging area: the epoch header, one
// measurement and one tracking record per satellite (L1 observations in
// record order, each satellite's chosen L2 observation paired to its L1
// slot). Observations the file has no place for (other systems, other
// signals) are counted and left out; a compressed record keeps at most
// MAXCHAN observations (two a channel in a file of more than 12), GPS
// first; an epoch with more satellites than the file's channels keeps GPS
// first, then GLONASS, then SBAS, and within a system the satellites of
// the previous epoch and then the strongest.
// The latest BESTPOS position and clock model are attached when their
// times agree, the epoch is handed to the port's solver (the driver
// recomputes the receiver clock there when asked to), lock times are
// compared with the previous epoch to spot cycle slips, and the three
// record groups go into the ThreadBuf.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/error_text.h"
#include "common/gnss_time.h"
#include "common/le.h"
#include "common/physics.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"
#include "oem4/rangecmp.h"
#include "oem4/rangecmp_fields.h"
#include "oem4/screening.h"
#include "oem4/signals.h"
#include "oem4/tsq_adapter.h"
#include "threadbuf/payloads.h"

namespace {

// L1 observations an epoch may offer for its slots: a receiver of several
// systems tracks more satellites than the file's channels, and the epoch is
// fitted to the channels rather than lost.
constexpr uint32_t kMaxCandidates = 64;
// After an epoch the one pass could not build, the epochs built by the
// screening passes alone before it is tried again. Both give the same
// epoch; this only spares a receiver whose epochs rarely suit the one
// pass the cost of trying.
constexpr uint32_t kOnePassRest = 15;
constexpr uint32_t kSlipTablePrns = kSlipTableSize;

constexpr double kMinL2LockTime = 0.01;    // s: younger L2 code is not trusted
constexpr double kClockModelWindow = 30.0; // s
constexpr double kSlipTableMaxAge = 180.0; // s: older entries mean re-appearing
constexpr uint8_t kSteeredTimeStatus = 80; // below: receiver clock not yet steered
constexpr uint32_t kTimeSyncShortFrom = 1, kTimeSyncLast = 50;

const char *const kOverflowText = "Output buffer overflow--too many OEM4 satellites";
const char *const kTooManyText = "Too many satellites for internal buffers";
const char *const kBadCodeText = "PRN %d has bad code tracking bits on L1--satellite ignored";
const char *const kNoL1Text = "PRN %d had L2 data but no data for L1--data ignored";
const char *const kTimeSyncFirstText =
    "RANGE/BESTPOS records have a time synchronization error. Order must be BESTPOS then RANGE";
const char *const kTimeSyncText = "RANGE/BESTPOS records have a time synchronization error";
const char *const kTimeSyncLastText =
    "Too many RANGE/BESTPOS time synchronization error messages. No more messages will be printed";
const char *const kMissingClockText = "Missing clock offset for current epoch. Recompute receiver clock";
const char *const kRisingText = "PRN %d is rising or re-appearing";
const char *const kL1SlipText = "L1 cycle slip on PRN %d";
const char *const kL2SlipText = "L2 cycle slip on PRN %d";
const char *const kMaxchanText = "MAXCHAN(%d) exceeded, data may be lost on Port %d";
const char *const kChannelsCutText =
    "Notice: epoch has %u satellites for %u channels; left out PRN%s (later epochs cut alike are counted)";

#pragma pack(push, 1)
// The range decoder's view of the port's staging area. Slots are fixed at
// the most an epoch can hold; the puts copy the first S of each array.
struct RangeStaging {
    EpochRecord epoch;
    MeasRecord meas[MAXCHAN];
    TrackingRecord tracking[MAXCHAN];
};
#pragma pack(pop)
static_assert(sizeof(RangeStaging) == kEpochRecordSize + MAXCHAN * (kMeasRecordSize + kTrackingRecordSize));
static_assert(sizeof(RangeStaging) <= kStagingAreaSize);
static_assert(alignof(RangeStaging) == 1);

// The epoch and measurement groups as the puts lay them out in a ThreadBuf,
// from the epoch record on: there the two are built in place.
#pragma pack(push, 1)
struct ThreadBufEpoch {
    EpochRecord epoch;
    uint8_t measGroupHeader[kThreadBufGroupHeaderSize];
    MeasRecord meas[MAXCHAN];
};
#pragma pack(pop)
static_assert(offsetof(ThreadBufEpoch, meas) == kEpochRecordSize + kThreadBufGroupHeaderSize);
static_assert(alignof(ThreadBufEpoch) == 1);

// Where the records of the epoch being built are written: the epoch and
// measurement records straight into the ThreadBuf where their puts would
// copy them, or into the staging area when the ThreadBuf lacks the room
// for the most the epoch could hold; the tracking records, which follow
// the measurements and so move with their count, into the staging area.
struct EpochRecords {
    EpochRecord *epoch;
    MeasRecord *meas;         // MAXCHAN slots
    TrackingRecord *tracking; // MAXCHAN slots
    uint8_t *inPlace;         // where the ThreadBuf's next payload was, null when staged
};
// The most observations whose output could be staged one for one.
constexpr uint32_t kMaxObservations = (kStagingAreaSize - kEpochRecordSize) / (kMeasRecordSize + kTrackingRecordSize);
static_assert(kMaxObservations == 106);
// Observations of SBAS and beyond (PRN 64 and above) have no place in an
// epoch from a compressed record.
constexpr uint32_t kCompressedDroppedPrn = 64;
constexpr double kAdrRollover = 8388608.0; // 2^23 cycles

// The carrier phase the file has always held for a compressed GLONASS
// observation: its whole 2^23-cycle rollovers were counted with the GPS
// wavelength of the frequency, not the GLONASS one, which the decoded
// epoch uses. The two differ by whole rollovers only.
double LegacyCompressedPhase(const DecodedObservation &o) {
    const double lambda = ObsFrequency(o.status) == kFrequencyL2 ? kLegacyL2Wavelength : kLegacyL1Wavelength;
    const double d = (o.pseudorange / lambda + o.phase) / kAdrRollover;
    double k = std::trunc(std::fabs(d) + 0.5);
    if (d < 0.0) k = -k;
    return o.phase - k * kAdrRollover;
}

// The decoded epoch as the file's rules read it.
struct ObsView {
    const DecodedEpoch *epoch;
    bool legacyPhase; // RANGECMP: GLONASS phase as the file always had it
    const DecodedObservation &operator()(uint32_t i) const { return epoch->obs[i]; }
    double Phase(const DecodedObservation &o) const {
        return legacyPhase && o.system == SYS_GLONASS ? LegacyCompressedPhase(o) : o.phase;
    }
};

// Whole seconds of lock for the measurement record; NaN counts as no lock.
uint8_t LockByte(double lockTime) {
    if (!(lockTime >= 0.0)) return 0;
    if (lockTime > 255.0) return 255;
    return static_cast<uint8_t>(lockTime);
}

// Fills an L1 observation's slot, every field of it, so that the slot is
// whole without clearing it first. Returns whether its code is tracked.
inline bool WriteL1Slot(const ObsView &view, const DecodedObservation &obs, MeasRecord &m, TrackingRecord &t) {
    const bool codeGood = (obs.status & kStatusCodeTrackingBits) == kStatusCodeTrackingBits;
    m.recordLength = 0;
    m.prn = static_cast<uint8_t>(obs.prn);
    m.l1Lock = LockByte(obs.lockTime);
    m.l1Pseudorange = codeGood ? obs.pseudorange : 0.0;
    m.l1Phase = view.Phase(obs);
    m.l1Doppler = static_cast<float>(obs.doppler);
    m.l2Pseudorange = 0.0;
    m.l2Phase = 0.0;
    t.prn = obs.prn;
    t.signalFlags = kTrackingL1Stored;
    t.l1LockTime = obs.lockTime;
    t.l2LockTime = 0.0;
    t.l1Cno = obs.cno;
    return codeGood;
}

// Joins an L2 observation to its satellite's L1 slot.
inline void WriteL2(const Oem4Options &opt, const ObsView &view, const DecodedObservation &obs, MeasRecord &m,
                    TrackingRecord &t) {
    m.l2Phase = view.Phase(obs);
    m.l2Pseudorange = obs.pseudorange;
    t.signalFlags |= kTrackingL2Stored; // a second L2 observation must not add it twice
    t.l2LockTime = obs.lockTime;
    if (opt.requireL2Lock != 0 && (!(obs.lockTime >= kMinL2LockTime) || (obs.status & kStatusPhaseLockBit) == 0)) {
        m.l2Pseudorange = 0.0;
    }
}

// Messages about what the observation file left out or could not attach:
// not where the file is not written.
bool TellsOfTheFile(const Oem4Decoder *dec) { return dec->observationFileUnwritten == 0; }

// The observations a compressed record's epoch holds: MAXCHAN, the record
// buffer's, or an L1 and an L2 for each channel of a file of more than 12
// channels, which the cut would otherwise leave without satellites it has
// the room for. A port given no channels keeps to MAXCHAN.
uint32_t CompressedLimit(const Oem4Options &options) {
    return std::max(MAXCHAN, 2 * std::min(OptionsChannels(options), MAXCHAN));
}

// Compares an observation's lock time with the previous epoch's entry for
// its satellite: a lock time that went down means lock was lost in between.
// Reported only with reportAll, which the caller checks.
void CheckSlip(const Oem4Decoder *dec, double time, const DecodedObservation &obs, bool l2) {
    // An L2 taken from another signal than in the previous epoch breaks the
    // L2 phase whatever the lock times say.
    if (dec->callback == nullptr || obs.prn >= kSlipTablePrns) return;
    const SlipEntry &prev = dec->slipTable[obs.prn];
    const int prn = static_cast<int>(obs.prn);
    const double lock = obs.lockTime;
    if (prev.valid == 0 ||
        std::fabs(SecondsBetween(dec->decoded.week, time, prev.week, prev.time)) > kSlipTableMaxAge) {
        PortReportf(dec, time, kRisingText, prn);
    } else if (!l2) {
        if (lock < prev.l1LockTime) PortReportf(dec, time, kL1SlipText, prn);
    } else if (prev.hasL2 != 0 ? lock < prev.l2LockTime || prev.l2Signal != TrackingSignal(obs.status) : lock != 0.0) {
        // An L2 lock that shows up already grown for a satellite tracked
        // without L2 counts as a slip; one that starts at 0 and then grows
        // does not.
        PortReportf(dec, time, kL2SlipText, prn);
    }
}

void AttachPosition(Oem4Decoder *dec, double time, EpochRecord &epoch) {
    const LastPosition &pos = dec->lastPosition;
    if (pos.valid == 0.0) return;
    if (AgeWithin<true>(epoch.week, time, pos.week, pos.time, dec->options.maxPositionAge)) {
        epoch.flags |= kEpochFlagPosition;
        epoch.latitude = pos.latitude;
        epoch.longitude = pos.longitude;
        epoch.height = static_cast<float>(pos.height);
        return;
    }
    // One explanatory message, then short ones, then a closing one: a log
    // with the records in the wrong order would otherwise flood the host.
    uint32_t &count = dec->timeSyncMessages;
    if (count > kTimeSyncLast || !TellsOfTheFile(dec)) return;
    PortReport(dec, time,
               count < kTimeSyncShortFrom ? kTimeSyncFirstText
               : count < kTimeSyncLast    ? kTimeSyncText
                                          : kTimeSyncLastText);
    ++count;
}

void AttachClock(const Oem4Decoder *dec, double time, EpochRecord &epoch) {
    const LastClockModel &model = dec->lastClockModel;
    if (model.valid == 0.0 || !AgeWithin<false>(epoch.week, time, model.week, model.time, kClockModelWindow)) return;
    epoch.clockOffset = model.offset;
    epoch.clockDrift = model.drift;
    epoch.correctedTime = time - model.offset / kSpeedOfLight;
}

// The slip table describes the latest epoch only. The PRNs written are
// kept for the next epoch's choice of satellites.
void RebuildSlipTable(Oem4Decoder *dec, double time, const EpochRecords *st, const uint8_t *l2Signal,
                      uint32_t satellites) {
    static_assert(kSlipTablePrns == 64, "one bit per slip table entry");
    uint64_t set = 0;
    for (uint32_t j = 0; j < satellites; ++j) {
        const TrackingRecord &t = st->tracking[j];
        dec->tsqPrns[j] = static_cast<uint16_t>(t.prn);
        if (t.prn >= kSlipTablePrns) continue;
        const uint8_t hasL2 = (t.signalFlags & kTrackingL2Stored) != 0 ? 1 : 0;
        dec->slipTable[t.prn] = SlipEntry{1, time, dec->decoded.week, t.l1LockTime, t.l2LockTime, hasL2, l2Signal[j]};
        set |= uint64_t{1} << t.prn;
    }
    // The entries of the previous epoch that this one did not set again.
    for (uint64_t bits = dec->slipEntriesSet & ~set; bits != 0; bits &= bits - 1) {
        dec->slipTable[static_cast<size_t>(std::countr_zero(bits))] = SlipEntry{};
    }
    dec->slipEntriesSet = set;
}

// An epoch with more satellites than channels: chooses which of its L1
// observations (counted in record order) get a slot. GPS goes before
// GLONASS before SBAS; within a system the satellites written in the
// previous epoch come first (their carrier phase goes on), then the
// strongest C/No, then record order. Reports the first epoch cut in a
// conversion; the driver reports the count at the end.
uint64_t ChooseSatellites(Oem4Decoder *dec, double time, const ObsView &view, const uint16_t *l1At, uint32_t satellites,
                          uint32_t channels, uint64_t *cutPrns) {
    struct Candidate {
        uint32_t system;
        uint32_t previous; // 0 when written in the previous epoch
        float cno;
        uint32_t order;
    };
    std::array<Candidate, kMaxCandidates> candidates;
    std::array<uint32_t, kMaxCandidates> prnOf; // in record order
    uint32_t count = 0;
    for (; count < satellites; ++count) {
        const DecodedObservation &obs = view(l1At[count]);
        uint32_t previous = 1;
        for (uint32_t k = 0; k < dec->tsqPrnCount; ++k) {
            if (dec->tsqPrns[k] == obs.prn) previous = 0;
        }
        // NaN C/No sorts as the weakest.
        const float cno = obs.cno == obs.cno ? obs.cno : -1.0e30f;
        candidates[count] = {TrackingSystem(obs.status), previous, cno, count};
        prnOf[count] = obs.prn;
    }
    std::sort(candidates.begin(), candidates.begin() + count, [](const Candidate &a, const Candidate &b) {
        if (a.system != b.system) return a.system < b.system;
        if (a.previous != b.previous) return a.previous < b.previous;
        if (a.cno != b.cno) return a.cno > b.cno;
        return a.order < b.order;
    });
    uint64_t keep = 0;
    for (uint32_t k = 0; k < channels; ++k) keep |= uint64_t{1} << candidates[k].order;

    // Left-out PRNs in record order, for the first report.
    char list[kMaxCandidates * 7 + 1];
    size_t used = 0;
    list[0] = '\0';
    for (uint32_t k = 0; k < count; ++k) {
        if ((keep >> k & 1u) != 0) continue;
        const uint32_t prn = prnOf[k];
        if (prn < kSlipTablePrns) *cutPrns |= uint64_t{1} << prn;
        const int w = std::snprintf(list + used, sizeof list - used, " %u", prn);
        if (w > 0 && used + static_cast<size_t>(w) < sizeof list) used += static_cast<size_t>(w);
    }
    ScreeningStats &stats = dec->screeningStats;
    if (stats.cutEpochs == 0 && TellsOfTheFile(dec))
        PortReportf(dec, time, kChannelsCutText, satellites, channels, list);
    ++stats.cutEpochs;
    stats.cutSatellites += satellites - channels;
    return keep;
}

// What the screening pass found in a record's observations: the L1 and L2
// observations the file can take, as record indexes, for the passes that
// follow, which then visit only their own.
struct RangeScreen {
    ObsView view;
    std::array<uint16_t, kMaxDecodedObservations> l1At; // PRN not 0
    std::array<uint16_t, kMaxDecodedObservations> l2At;
    uint32_t l1Count;
    uint32_t l2Count;
    uint32_t usable;
    // Some satellite offers more than one L2 signal: the choice between them
    // must run.
    bool l2Choice;
};

// Where the satellites of the epoch being built sit in the staging area.
struct RangeSlots {
    EpochRecords *st;
    uint32_t satellites; // slots in use; also "no slot"
    // Bit j: the j-th L1 observation gets a slot.
    uint64_t keep;
    // PRNs below 64 whose satellite was left out for want of channels: their
    // L2 goes with them, without the "no data for L1" report.
    uint64_t cutPrns;
    // The first slot of each PRN below 64, for pairing the L2 observations
    // without a search; kNoSlot where that PRN has no L1 observation.
    std::array<uint8_t, kSlipTablePrns> firstSlot;
    // The L2 signal each slot takes, kNoL2Signal while none.
    std::array<uint8_t, MAXCHAN> l2Signal;
};
constexpr uint8_t kNoSlot = 0xFF;

// The slot of an L2 observation's satellite, or `satellites` when none.
inline uint32_t SlotOf(const RangeSlots &slots, uint32_t prn) {
    if (prn < kSlipTablePrns) return slots.firstSlot[prn] != kNoSlot ? slots.firstSlot[prn] : slots.satellites;
    uint32_t j = 0;
    while (j < slots.satellites && slots.st->tracking[j].prn != prn) ++j;
    return j;
}

// Screening, in one pass over the observations listed in taken (all of the
// epoch's when null): what the file has no place for is counted and left
// out; the L1 and L2 observations are listed.
inline void ScreenRecord(Oem4Decoder *dec, RangeScreen &sc, const uint16_t *taken, uint32_t n) {
    // Counted in locals: the stores into the decoder's counts could
    // otherwise be taken for stores into sc.
    uint32_t l1Count = 0, l2Count = 0, usable = 0;
    uint64_t l2Seen = 0;
    bool l2Choice = false;
    const DecodedObservation *obs = sc.view.epoch->obs.data();
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t i = taken != nullptr ? taken[k] : k;
        const uint32_t status = obs[i].status;
        const ObservationRole role = ScreenObservation(status);
        if (role == ROLE_LEFT_OUT) {
            ++dec->screeningStats.leftOut[TrackingSystem(status)];
            continue;
        }
        ++usable;
        const uint32_t prn = obs[i].prn;
        if (role == ROLE_L1) {
            if (prn != 0) sc.l1At[l1Count++] = static_cast<uint16_t>(i);
            continue;
        }
        sc.l2At[l2Count++] = static_cast<uint16_t>(i);
        if (prn >= kSlipTablePrns || (l2Seen >> prn & 1u) != 0)
            l2Choice = true;
        else
            l2Seen |= uint64_t{1} << prn;
    }
    sc.l1Count = l1Count;
    sc.l2Count = l2Count;
    sc.usable = usable;
    sc.l2Choice = l2Choice;
}

// A record the epoch cannot be built from: counted and reported.
int32_t RefuseRecord(Oem4Decoder *dec, double time, const char *text) {
    ++dec->screeningStats.refusedRecords;
    PortReport(dec, time, text);
    return 0;
}

// The L1 pass: every kept L1 observation fills its satellite's slot whole.
inline void FillL1Slots(Oem4Decoder *dec, double time, const RangeScreen &sc, RangeSlots &slots) {
    const bool reportAll = dec->options.reportAll != 0;
    uint32_t slot = 0;
    for (uint32_t k = 0; k < sc.l1Count && slot < slots.satellites; ++k) {
        if ((slots.keep >> k & 1u) == 0) continue;
        const DecodedObservation &obs = sc.view(sc.l1At[k]);
        if (obs.prn < kSlipTablePrns && slots.firstSlot[obs.prn] == kNoSlot) {
            slots.firstSlot[obs.prn] = static_cast<uint8_t>(slot);
        }
        const bool codeGood = WriteL1Slot(sc.view, obs, slots.st->meas[slot], slots.st->tracking[slot]);
        if (!codeGood && reportAll && TellsOfTheFile(dec))
            PortReportf(dec, time, kBadCodeText, static_cast<int>(obs.prn));
        slots.l2Signal[slot] = kNoL2Signal;
        dec->tsqPrns[slot] = obs.prn;
        ++slot;
        if (reportAll) CheckSlip(dec, time, obs, false);
    }
}

// The L2 choice, for a record in which some satellite offers more than one
// L2 signal: the one taken in the previous epoch while it is still tracked,
// else P code, else the other.
void ChooseL2Signals(Oem4Decoder *dec, const RangeScreen &sc, RangeSlots &slots) {
    std::array<uint8_t, MAXCHAN> l2Rank;
    l2Rank.fill(kNoL2Rank);
    for (uint32_t k = 0; k < sc.l2Count; ++k) {
        const DecodedObservation &o = sc.view(sc.l2At[k]);
        const uint32_t j = SlotOf(slots, o.prn);
        if (j == slots.satellites) continue;
        const uint32_t signal = TrackingSignal(o.status);
        const uint8_t rank = L2Rank(dec, o.prn, signal, ScreenObservation(o.status));
        if (rank < l2Rank[j]) {
            l2Rank[j] = rank;
            slots.l2Signal[j] = static_cast<uint8_t>(signal);
        }
    }
}

// The L2 pass: each satellite's chosen L2 observation joins its L1 slot.
inline void PairL2Observations(Oem4Decoder *dec, double time, const RangeScreen &sc, RangeSlots &slots) {
    const Oem4Options &opt = dec->options;
    for (uint32_t k = 0; k < sc.l2Count; ++k) {
        const DecodedObservation &obs = sc.view(sc.l2At[k]);
        // Paired by the full PRN, so PRNs that share their low byte stay apart.
        const uint32_t j = SlotOf(slots, obs.prn);
        if (j == slots.satellites) {
            if ((obs.prn >= kSlipTablePrns || (slots.cutPrns >> obs.prn & 1u) == 0) && TellsOfTheFile(dec)) {
                PortReportf(dec, time, kNoL1Text, static_cast<int>(obs.prn));
            }
            continue;
        }
        if (!sc.l2Choice) {
            slots.l2Signal[j] = static_cast<uint8_t>(TrackingSignal(obs.status));
        } else if (slots.l2Signal[j] != TrackingSignal(obs.status)) {
            ++dec->screeningStats.leftOut[TrackingSystem(obs.status)];
            continue;
        }
        WriteL2(opt, sc.view, obs, slots.st->meas[j], slots.st->tracking[j]);
        if (opt.reportAll != 0) CheckSlip(dec, time, obs, true);
    }
}

// Attachment: the epoch header, the latest position and clock model where
// their times agree. Where the receiver clock is to be recomputed, the
// port's solver gets the complete epoch before it goes anywhere.
void AttachEpoch(Oem4Decoder *dec, double time, EpochRecords *st, uint32_t satellites) {
    const Oem4Options &opt = dec->options;
    EpochRecord &epoch = *st->epoch;
    epoch.satCount = static_cast<uint8_t>(satellites);
    epoch.flags = opt.epochFlag != 0 ? kEpochFlagEpoch : 0;
    epoch.receiverTime = time;
    epoch.correctedTime = time;
    epoch.week = dec->decoded.week;
    AttachPosition(dec, time, epoch);
    AttachClock(dec, time, epoch);
    if (opt.recomputeClock != 0) {
        if (dec->epochSolver != nullptr) dec->epochSolver(time, &epoch, st->meas);
    } else if (dec->decoded.timeStatus < kSteeredTimeStatus) {
        PortReport(dec, time, kMissingClockText);
    }
}

// Output: the epoch, its measurements and its tracking records.
int32_t PutEpoch(Oem4Decoder *dec, double time, ThreadBuf *buf, EpochRecords *st, uint32_t satellites) {
    const int32_t count = static_cast<int32_t>(satellites);
    // Records built in place go in from where they are, unless a message
    // receiver has since put something into the ThreadBuf: then they are
    // staged first and put from there.
    if (st->inPlace != nullptr && ThreadBufNextPayload(buf, 0) != st->inPlace) {
        auto *staged = new (dec->staging.data()) RangeStaging;
        std::memmove(&staged->epoch, st->epoch, kEpochRecordSize);
        std::memmove(staged->meas, st->meas, static_cast<size_t>(count) * kMeasRecordSize);
        st->epoch = &staged->epoch;
        st->meas = staged->meas;
    }
    const ThreadBufGroupData groups[] = {
        {st->epoch, 1, TBREC_EPOCH}, {st->meas, count, TBREC_MEAS}, {st->tracking, count, TBREC_TRACKING}};
    const int32_t code = PutThreadBufGroups(buf, groups, static_cast<int32_t>(std::size(groups)));
    if (code != TB_OK) {
        PortReportPutFailure(dec, time, code);
        return 0;
    }
    return RK_EPOCH;
}

// The observations of the port's decoded epoch, for the one pass.
struct DecodedSource {
    const DecodedObservation *obs;
    uint32_t count;
    const DecodedObservation &operator()(uint32_t k, DecodedObservation &) const { return obs[k]; }
};

// The common epoch in one pass: every observation the file takes maps one
// to one onto a slot. Its L1 observations fill the slots in record order
// and each L2 observation joins the slot of its satellite's L1, which came
// before it. Gives what the screening, the L1 pass and the L2 pass give,
// and returns false, having changed nothing they read, for any epoch
// that needs them: more satellites than channels, an L2 observation before
// or without its L1, a second L2 signal or one of PRN 64 and above (the L2
// choice), too many observations (for a compressed record, more than its
// epoch holds), none on L1. A compressed record's observations of PRN 64 and
// above are dropped as its own rules drop them. Not with reportAll, whose
// reports follow the order of the passes.
template <class Source> bool FillSlotsInOnePass(Oem4Decoder *dec, const ObsView &view, const Source &source,
                                                bool compressed, EpochRecords *st, uint8_t *l2Signal,
                                                uint32_t *satellites) {
    const Oem4Options &opt = dec->options;
    const uint32_t channels = PortChannels(opt);
    std::array<uint32_t, kSystemCount> leftOut{};
    std::array<uint8_t, kSlipTablePrns> firstSlot;
    firstSlot.fill(kNoSlot);
    uint64_t l2Seen = 0;
    uint32_t slot = 0, usable = 0;
    const uint32_t n = source.count;
    DecodedObservation scratch;
    for (uint32_t k = 0; k < n; ++k) {
        const DecodedObservation &obs = source(k, scratch);
        const ObservationRole role = ScreenObservation(obs.status);
        if (role == ROLE_LEFT_OUT) {
            ++leftOut[TrackingSystem(obs.status)];
            continue;
        }
        const uint32_t prn = obs.prn;
        if (compressed && prn >= kCompressedDroppedPrn) {
            ++leftOut[TrackingSystem(obs.status)];
            continue;
        }
        ++usable;
        if (role == ROLE_L1) {
            if (prn == 0) continue;
            if (slot == channels) return false;
            if (prn < kSlipTablePrns && firstSlot[prn] == kNoSlot) firstSlot[prn] = static_cast<uint8_t>(slot);
            WriteL1Slot(view, obs, st->meas[slot], st->tracking[slot]);
            l2Signal[slot] = kNoL2Signal;
            ++slot;
            continue;
        }
        if (prn >= kSlipTablePrns || (l2Seen >> prn & 1u) != 0 || firstSlot[prn] == kNoSlot) return false;
        l2Seen |= uint64_t{1} << prn;
        const uint32_t j = firstSlot[prn];
        l2Signal[j] = static_cast<uint8_t>(TrackingSignal(obs.status));
        WriteL2(opt, view, obs, st->meas[j], st->tracking[j]);
    }
    if (slot == 0 || usable > (compressed ? CompressedLimit(opt) : kMaxObservations)) return false;
    if (usable != n) {
        for (uint32_t s = 0; s < kSystemCount; ++s) dec->screeningStats.leftOut[s] += leftOut[s];
    }
    *satellites = slot;
    return true;
}

// The carrier phase of a compressed observation as the file takes it,
// where it is not GPS or SBAS with a tabled wavelength: the GLONASS channel
// read, the phase rebuilt as the decoder rebuilds it, and GLONASS given the
// phase the file has always held. Out of line: the common logs never come here.
[[gnu::noinline]] double CompressedPhaseSlow(const uint8_t *in, double adr, double pseudorange, uint32_t status) {
    using namespace rangecmp_detail;
    DecodedObservation o{};
    const uint32_t system = TrackingSystem(status);
    const uint32_t frequency = (in[kGlonassFrequencyByte] >> kGlonassFrequencyShift) & LowBits(kGlonassFrequencyWidth);
    o.system = static_cast<uint8_t>(system);
    o.status = status;
    o.pseudorange = pseudorange;
    o.phase =
        RebuildPhase(adr, pseudorange, system, TrackingSignal(status), GlonassChannelOf(system, frequency), status);
    return ObsView{nullptr, true}.Phase(o);
}

// The one pass over a RANGECMP record straight from its bytes, without the
// decoded epoch in between: what FillSlotsInOnePass gives for the record
// decoded, with the same refusals, reading of each
// observation only the fields its role puts in the file: an L2 observation
// has no Doppler or C/No there, one left out nothing but its system. The
// lock time stays the 21-bit count of 1/32 s, whose whole seconds and
// L2-lock test are exact in integers.
bool FillSlotsFromRangecmp(Oem4Decoder *dec, const uint8_t *first, uint32_t n, EpochRecords *st, uint8_t *l2Signal,
                           uint32_t *satellites) {
    using namespace rangecmp_detail;
    static_assert(kMinL2LockTime > 0.0 && kMinL2LockTime <= 1.0 / 32.0, "one lock count is lock enough for L2");
    static_assert(kCompressedDroppedPrn <= kSlipTablePrns, "every PRN kept has a slip table entry");
    constexpr uint32_t kMaxLockCount = 255u * 32u + 31u; // whole seconds above 255 write 255
    const Oem4Options &opt = dec->options;
    const uint32_t channels = PortChannels(opt);
    const bool requireL2Lock = opt.requireL2Lock != 0;
    std::array<uint32_t, kSystemCount> leftOut{};
    std::array<uint8_t, kSlipTablePrns> firstSlot;
    firstSlot.fill(kNoSlot);
    uint64_t l2Seen = 0;
    uint32_t slot = 0, usable = 0;
    for (uint32_t k = 0; k < n; ++k) {
        const uint8_t *in = first + static_cast<size_t>(k) * kCompressedObsSize;
        const uint32_t status = le::U4(in);
        const ObservationRole role = ScreenObservation(status);
        if (role == ROLE_LEFT_OUT) {
            ++leftOut[TrackingSystem(status)];
            continue;
        }
        const uint32_t prn = in[kPrnByte];
        if (prn >= kCompressedDroppedPrn) {
            ++leftOut[TrackingSystem(status)];
            continue;
        }
        ++usable;
        if (role == ROLE_L1 && prn == 0) continue;
        uint64_t word;
        std::memcpy(&word, in + kPseudorangeWord, sizeof word);
        const uint32_t lockWord = le::U4(in + kLockByte);
        const uint32_t lockCount = lockWord & LowBits(kLockTimeWidth);
        // 21 bits and a power of two: exact in a float, as through a double.
        const float lockTime = static_cast<float>(static_cast<int32_t>(lockCount)) * (1.0f / 32.0f);
        const double pseudorange =
            static_cast<double>((word >> kPseudorangeShift) & LowBits(kPseudorangeWidth)) / 128.0;
        const double adr = le::I4(in + kAdrByte) / 256.0;
        const uint32_t system = TrackingSystem(status);
        const uint32_t at = system * 32 + TrackingSignal(status);
        const double lambda = g_wavelengths.at[at];
        const double phase = lambda > 0.0 && system != SYS_GLONASS
                                 ? RebuildCarrierPhaseQuick(adr, pseudorange, lambda, g_wavelengths.inverse[at])
                                 : CompressedPhaseSlow(in, adr, pseudorange, status);
        if (role == ROLE_L1) {
            if (slot == channels) return false;
            if (firstSlot[prn] == kNoSlot) firstSlot[prn] = static_cast<uint8_t>(slot);
            const bool codeGood = (status & kStatusCodeTrackingBits) == kStatusCodeTrackingBits;
            const double doppler =
                static_cast<double>(SignExtend(static_cast<uint32_t>(word) & LowBits(kDopplerWidth), kDopplerWidth)) /
                256.0;
            MeasRecord &m = st->meas[slot];
            TrackingRecord &t = st->tracking[slot];
            m.recordLength = 0;
            m.prn = static_cast<uint8_t>(prn);
            m.l1Lock = static_cast<uint8_t>((lockCount < kMaxLockCount ? lockCount : kMaxLockCount) >> 5);
            m.l1Pseudorange = codeGood ? pseudorange : 0.0;
            m.l1Phase = phase;
            m.l1Doppler = static_cast<float>(doppler);
            m.l2Pseudorange = 0.0;
            m.l2Phase = 0.0;
            t.prn = prn;
            t.signalFlags = kTrackingL1Stored;
            t.l1LockTime = lockTime;
            t.l2LockTime = 0.0;
            t.l1Cno = kCno[(lockWord >> kCnoShift) & LowBits(kCnoWidth)];
            l2Signal[slot] = kNoL2Signal;
            ++slot;
            continue;
        }
        if ((l2Seen >> prn & 1u) != 0 || firstSlot[prn] == kNoSlot) return false;
        l2Seen |= uint64_t{1} << prn;
        const uint32_t j = firstSlot[prn];
        l2Signal[j] = static_cast<uint8_t>(TrackingSignal(status));
        MeasRecord &m = st->meas[j];
        TrackingRecord &t = st->tracking[j];
        m.l2Phase = phase;
        m.l2Pseudorange = requireL2Lock && (lockCount == 0 || (status & kStatusPhaseLockBit) == 0) ? 0.0 : pseudorange;
        t.signalFlags |= kTrackingL2Stored; // a second L2 observation must not add it twice
        t.l2LockTime = lockTime;
    }
    if (slot == 0 || usable > CompressedLimit(opt)) return false;
    if (usable != n) {
        for (uint32_t s = 0; s < kSystemCount; ++s) dec->screeningStats.leftOut[s] += leftOut[s];
    }
    *satellites = slot;
    return true;
}

// ---- compressed records: at most MAXCHAN observations ----------------------

bool IsL2Candidate(ObservationRole role, uint32_t prn) {
    return (role == ROLE_L2_PREFERRED || role == ROLE_L2_OTHER) && prn < kCompressedDroppedPrn;
}

// The L2 signal each satellite's slot will take, chosen as the L2 pass
// chooses, so that only observations the epoch will hold count towards
// MAXCHAN; the L2 signals not chosen are left out.
void ChooseCompressedL2(Oem4Decoder *dec, const uint16_t *taken, uint32_t n, std::array<uint32_t, kSystemCount> *kept,
                        std::array<uint8_t, kCompressedDroppedPrn> *l2Signal) {
    const DecodedObservation *obs = dec->decoded.obs.data();
    std::array<uint8_t, kCompressedDroppedPrn> l2Rank;
    l2Rank.fill(kNoL2Rank);
    l2Signal->fill(kNoL2Signal);
    for (uint32_t k = 0; k < n; ++k) {
        const DecodedObservation &o = obs[taken[k]];
        const ObservationRole role = ScreenObservation(o.status);
        if (!IsL2Candidate(role, o.prn)) continue;
        const uint8_t rank = L2Rank(dec, o.prn, TrackingSignal(o.status), role);
        if (rank < l2Rank[o.prn]) {
            l2Rank[o.prn] = rank;
            (*l2Signal)[o.prn] = static_cast<uint8_t>(TrackingSignal(o.status));
        }
    }
    for (uint32_t k = 0; k < n; ++k) {
        const DecodedObservation &o = obs[taken[k]];
        if (!IsL2Candidate(ScreenObservation(o.status), o.prn)) continue;
        if ((*l2Signal)[o.prn] == TrackingSignal(o.status)) continue;
        --(*kept)[TrackingSystem(o.status)];
        ++dec->screeningStats.leftOut[TrackingSystem(o.status)];
    }
}

// The observations of each system the epoch may hold. Over MAXCHAN, GPS
// goes first, then GLONASS, then the rest, each in record order: which
// observations survive must not depend on the order in which the receiver
// lists its systems. Returns the total.
uint32_t FitToMaxchan(Oem4Decoder *dec, const std::array<uint32_t, kSystemCount> &kept,
                      std::array<uint32_t, kSystemCount> *quota) {
    uint32_t total = 0;
    for (uint32_t k : kept) total += k;
    *quota = kept;
    const uint32_t limit = CompressedLimit(dec->options);
    if (total <= limit) return total;
    if (TellsOfTheFile(dec)) PortReportf(dec, dec->decoded.time, kMaxchanText, static_cast<int>(limit), dec->port);
    ScreeningStats &stats = dec->screeningStats;
    ++stats.maxchanRecords;
    stats.maxchanObservations += total - limit;
    stats.maxchanLimit = limit;
    uint32_t room = limit;
    for (uint32_t &q : *quota) {
        if (q > room) q = room;
        room -= q;
    }
    return limit;
}

// The compressed records' own rules, in the order they have always run. Observations of other systems and signals
// are counted and left out, those of PRN 64 and above dropped (SBAS has no
// place in compressed records), one L2 signal chosen per satellite, and the
// rest cut to MAXCHAN. Lists the decoded observations that remain, in
// record order, and returns their count.
uint32_t SelectCompressed(Oem4Decoder *dec, uint16_t *taken) {
    const DecodedEpoch &e = dec->decoded;
    ScreeningStats &stats = dec->screeningStats;
    std::array<uint32_t, kSystemCount> kept{};
    uint32_t n = 0;
    uint64_t l2Seen = 0;
    bool l2Choice = false;
    for (uint32_t i = 0; i < e.count; ++i) {
        const DecodedObservation &o = e.obs[i];
        const ObservationRole role = ScreenObservation(o.status);
        if (role == ROLE_LEFT_OUT) {
            ++stats.leftOut[TrackingSystem(o.status)];
            continue;
        }
        if (o.prn >= kCompressedDroppedPrn) {
            ++stats.leftOut[TrackingSystem(o.status)];
            continue;
        }
        if (role != ROLE_L1) {
            if ((l2Seen >> o.prn & 1u) != 0) l2Choice = true;
            l2Seen |= uint64_t{1} << o.prn;
        }
        ++kept[TrackingSystem(o.status)];
        taken[n++] = static_cast<uint16_t>(i);
    }
    std::array<uint8_t, kCompressedDroppedPrn> l2Signal;
    if (l2Choice) ChooseCompressedL2(dec, taken, n, &kept, &l2Signal);
    std::array<uint32_t, kSystemCount> quota;
    const uint32_t total = FitToMaxchan(dec, kept, &quota);
    if (!l2Choice && total == n) return n;
    uint32_t at = 0;
    for (uint32_t k = 0; k < n && at < total; ++k) {
        const DecodedObservation &o = e.obs[taken[k]];
        const ObservationRole role = ScreenObservation(o.status);
        if (role != ROLE_L1 && l2Choice && l2Signal[o.prn] != TrackingSignal(o.status)) continue;
        uint32_t &q = quota[TrackingSystem(o.status)];
        if (q == 0) continue;
        --q;
        taken[at++] = taken[k];
    }
    return at;
}

} // namespace

const ScreeningStats *GetScreeningStats(int32_t port) {
    const Oem4Decoder *dec = GetOpenPort(port);
    return dec != nullptr ? &dec->screeningStats : nullptr;
}

namespace {

// Where the records of the port's next epoch go: the epoch and measurement
// records in place in the ThreadBuf when it has the room, else in the
// staging area; the epoch header cleared. Every slot in use is written
// whole by the L1 pass; the puts and the clock recomputation read nothing
// beyond those slots.
EpochRecords StartEpochRecords(Oem4Decoder *dec, ThreadBuf *buf) {
    auto *staging = new (dec->staging.data()) RangeStaging;
    EpochRecords records{&staging->epoch, staging->meas, staging->tracking, nullptr};
    if (uint8_t *next = ThreadBufNextPayload(buf, sizeof(ThreadBufEpoch)); next != nullptr) {
        auto *inPlace = new (next) ThreadBufEpoch;
        records.epoch = &inPlace->epoch;
        records.meas = inPlace->meas;
        records.inPlace = next;
    }
    *records.epoch = EpochRecord{};
    return records;
}

// The epoch whose slots are filled: attached, copied into the decoded
// epoch, remembered for the next one's slip reports and put.
[[gnu::always_inline]] inline int32_t FinishEpoch(Oem4Decoder *dec, ThreadBuf *buf, double time, RangeSlots &slots,
                                                  bool *attached) {
    dec->tsqPrnCount = slots.satellites;
    AttachEpoch(dec, time, slots.st, slots.satellites);
    const EpochRecord &epoch = *slots.st->epoch;
    dec->decoded.clockOffset = epoch.clockOffset;
    if ((epoch.flags & kEpochFlagPosition) != 0) {
        dec->decoded.hasPosition = 1;
        dec->decoded.latitude = epoch.latitude;
        dec->decoded.longitude = epoch.longitude;
        dec->decoded.height = epoch.height;
    }
    *attached = true;
    RebuildSlipTable(dec, time, slots.st, slots.l2Signal.data(), slots.satellites);
    return PutEpoch(dec, time, buf, slots.st, slots.satellites);
}

} // namespace

bool PutTsqEpochFromRangecmp(Oem4Decoder *dec, ThreadBuf *buf, int32_t *kind) {
    if (dec->options.reportAll != 0 || dec->epochHandler != nullptr) return false;
    if (dec->onePassRest != 0) {
        --dec->onePassRest;
        return false;
    }
    DecodedEpoch &decoded = dec->decoded;
    const uint8_t *body = RecordBody(dec);
    // The framing has matched the count to the record's length; the bound
    // keeps every read within the record buffer whoever calls.
    const uint32_t count = le::U4(body);
    const uint32_t n = count < kMaxRangecmpObservations ? count : kMaxRangecmpObservations;
    EpochRecords records = StartEpochRecords(dec, buf);
    RangeSlots slots;
    slots.st = &records;
    if (!FillSlotsFromRangecmp(dec, body + 4, n, &records, slots.l2Signal.data(), &slots.satellites)) {
        dec->onePassRest = kOnePassRest;
        return false;
    }
    decoded.count = n;
    decoded.dropped = count - n;
    ++dec->screeningStats.rangeRecords;
    bool attached = false;
    *kind = FinishEpoch(dec, buf, decoded.time, slots, &attached);
    return true;
}

int32_t PutTsqEpoch(Oem4Decoder *dec, ThreadBuf *buf, bool *attached, bool tryOnePass) {
    const DecodedEpoch &decoded = dec->decoded;
    const double time = decoded.time;
    RangeScreen sc;
    sc.view = ObsView{&decoded, decoded.messageId == kMsgRangecmp};

    ++dec->screeningStats.rangeRecords;
    const bool compressed = decoded.messageId == kMsgRangecmp;
    // RANGECMP2, RANGECMP4 and RANGECMP5 have none of RANGECMP's limits (24
    // observations, PRNs below 64): the file takes them like RANGE. More
    // than a record buffer holds is not a record the framing passes.
    if (!compressed && decoded.dropped != 0) return RefuseRecord(dec, time, kOverflowText);

    EpochRecords records = StartEpochRecords(dec, buf);
    RangeSlots slots;
    slots.st = &records;
    bool onePass = tryOnePass && dec->options.reportAll == 0;
    if (onePass && dec->onePassRest != 0) {
        --dec->onePassRest;
        onePass = false;
    }
    if (onePass && !FillSlotsInOnePass(dec, sc.view, DecodedSource{decoded.obs.data(), decoded.count}, compressed,
                                       slots.st, slots.l2Signal.data(), &slots.satellites)) {
        dec->onePassRest = kOnePassRest;
        onePass = false;
    }
    if (!onePass) {
        std::array<uint16_t, kMaxDecodedObservations> taken;
        const uint16_t *list = nullptr;
        uint32_t n = decoded.count;
        if (compressed) {
            n = SelectCompressed(dec, taken.data());
            list = taken.data();
        }
        ScreenRecord(dec, sc, list, n);
        // Observations left out take no room: a receiver of many systems
        // and signals fills a record with far more than the file can hold.
        if (sc.usable > kMaxObservations) return RefuseRecord(dec, time, kOverflowText);
        if (sc.l1Count == 0) return 0;
        if (sc.l1Count > kMaxCandidates) return RefuseRecord(dec, time, kTooManyText);

        slots.satellites = sc.l1Count;
        slots.keep = ~uint64_t{0};
        slots.cutPrns = 0;
        slots.firstSlot.fill(kNoSlot);
        const uint32_t channels = PortChannels(dec->options);
        if (slots.satellites > channels) {
            slots.keep =
                ChooseSatellites(dec, time, sc.view, sc.l1At.data(), slots.satellites, channels, &slots.cutPrns);
            slots.satellites = channels;
        }

        FillL1Slots(dec, time, sc, slots);
        if (sc.l2Choice) ChooseL2Signals(dec, sc, slots);
        PairL2Observations(dec, time, sc, slots);
    }
    return FinishEpoch(dec, buf, time, slots, attached);
}
