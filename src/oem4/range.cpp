// RANGE (43) and RANGECMP (140): one measurement epoch per record.
//
// Every observation of the record goes into the port's decoded epoch, in
// record order, with its values as the receiver gives them. The loss of
// lock of each signal is judged here, once, from its lock time; then the
// observation file's adapter (tsq_adapter.cpp) takes what the file can
// hold, and the RINEX export maps the whole epoch.
#include "oem4/range.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "common/gnss_time.h"
#include "common/le.h"
#include "oem4/decoders.h"
#include "oem4/rangecmp.h"
#include "oem4/signals.h"
#include "oem4/tsq_adapter.h"

namespace {

constexpr double kClockModelWindow = 30.0; // s, as for the observation file
// A signal whose lock time grew by less than the time since its previous
// observation, by more than this, lost lock in between (s).
constexpr double kLockTimeTolerance = 0.05;
// Lock times stop growing here (the compressed records' 21-bit field, in
// 1/32 s): beyond it only a lock time that goes down tells a loss.
constexpr double kLockTimeSaturation = 65535.968;
// The most observations of a record that its epoch takes: a record the
// observation file gets holds at most 185 (8192 bytes), one collected for
// the RINEX export alone up to the epoch's room.
constexpr uint32_t kMaxRecordObservations = kMaxDecodedObservations;
static_assert((kRecordBufferSize - kOem4HeaderLength - 4) / kRangeObsSize <= kMaxRecordObservations);
static_assert(kOem4HeaderLength + 4 + size_t{kMaxRecordObservations} * kRangeObsSize <= kLongRecordBufferSize);
constexpr const char *kLongRecordText =
    "'%s' record of %u bytes is too long for the observation file: its %u observations are in the RINEX file only";
constexpr const char *kLongRecordCutText =
    "'%s' record of %u bytes is too long for the observation file: its first %u observations are in the RINEX "
    "file only, %u more are left out";
// What tells both apart from the port's other messages.
constexpr const char *kLongRecordPhrase = " is too long for the observation file: its ";
static_assert(std::string_view(kLongRecordText).find(kLongRecordPhrase) != std::string_view::npos &&
              std::string_view(kLongRecordCutText).find(kLongRecordPhrase) != std::string_view::npos);

// Every observation of the port's current RANGE record. Without a receiver
// of the decoded epochs (RINEX off) only what the observation file's
// adapter reads is filled: the status word, PRN, measurements, C/No and
// lock time; the system's satellite number, GLONASS channel, signal type,
// loss-of-lock indication and standard deviations are left as they were.
template <bool kWhole> void DecodeRangeObservations(Oem4Decoder *dec) {
    const uint8_t *body = RecordBody(dec);
    DecodedEpoch &e = dec->decoded;
    // The framing has matched the count to the record's length; this bound
    // keeps every read within the record buffer whoever calls.
    const uint32_t count = le::U4(body);
    const uint32_t n = count < kMaxRecordObservations ? count : kMaxRecordObservations;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t *p = body + 4 + static_cast<size_t>(i) * kRangeObsSize;
        DecodedObservation &o = e.obs[i];
        const uint32_t status = le::U4(p + kObsStatusAt);
        const uint32_t system = TrackingSystem(status);
        const uint32_t prn = le::U2(p + kObsPrnAt);
        o.system = static_cast<uint8_t>(system);
        o.prn = static_cast<uint16_t>(prn);
        o.status = status;
        o.pseudorange = le::R8(p + kObsPseudorangeAt);
        o.phase = le::R8(p + kObsPhaseAt);
        o.doppler = le::R4(p + kObsDopplerAt);
        o.cno = le::R4(p + kObsCnoAt);
        o.lockTime = le::R4(p + kObsLockTimeAt);
        if constexpr (kWhole) {
            o.lli = 0;
            o.signal = static_cast<uint8_t>(TrackingSignal(status));
            o.glonassChannel = GlonassChannelOf(system, le::U2(p + kObsReservedAt));
            o.satellite = SatelliteNumber(system, prn);
            o.pseudorangeSigma = le::R4(p + kObsPseudorangeSigmaAt);
            o.phaseSigma = le::R4(p + kObsPhaseSigmaAt);
        }
    }
    e.count = n;
    e.dropped = count - n;
}

// The loss-of-lock indication of every observation, against the previous
// observation of the same signal of the same satellite: lock lost when the
// lock time went down, or grew less than the time between the two (the
// receiver lost and regained lock in between), or when the phase is not
// locked now; half-cycle ambiguity while the parity is not known. A lock
// time that is only a least value (RANGECMP4's coarse codes, a field at its
// largest value) proves the lock unbroken when it is at least the time
// between the two: the lock began before the previous observation.
// Compared as an exact value with the previous observation's, where a log
// holds two range record kinds or turns from one to the other, it would
// flag signals whose lock was kept, or every signal at once.
void ComputeLossOfLock(Oem4Decoder *dec) {
    DecodedEpoch &e = dec->decoded;
    const double now = static_cast<double>(e.week) * kSecondsPerWeek + e.time;
    static_assert(kStatusPhaseLockBit >> 10 == kLliLockLost && kStatusParityKnownBit >> 10 == kLliHalfCycle,
                  "the two flags give the two indicator bits where they are clear");
    SignalLock *locks = dec->signalLocks.data();
    for (uint32_t i = 0; i < e.count; ++i) {
        DecodedObservation &o = e.obs[i];
        uint32_t lli = (~o.status >> 10) & (kLliLockLost | kLliHalfCycle);
        if (o.satellite != 0) {
            SignalLock &last = locks[SignalLockIndex(o.system, o.satellite, o.signal)];
            const double lock = o.lockTime;
            const double previous = last.lockTime;
            const double since = now - last.time;
            const bool lost =
                (o.lli & kLockTimeAtLeast) != 0
                    ? lock + kLockTimeTolerance <= since
                    : lock < previous || (lock < kLockTimeSaturation && lock - previous + kLockTimeTolerance <= since);
            // A GLONASS slot on another frequency channel: another carrier.
            if (last.seen != 0 && (lost || last.glonassChannel != o.glonassChannel)) lli |= kLliLockLost;
            last.time = now;
            last.lockTime = o.lockTime;
            last.seen = 1;
            last.glonassChannel = o.glonassChannel;
        }
        o.lli = static_cast<uint8_t>(lli);
    }
}

// The clock model and position the observation file's epoch would get,
// for an epoch it takes nothing of: without its messages.
void AttachQuietly(Oem4Decoder *dec) {
    DecodedEpoch &e = dec->decoded;
    const LastClockModel &model = dec->lastClockModel;
    if (model.valid != 0.0 && AgeWithin<false>(e.week, e.time, model.week, model.time, kClockModelWindow)) {
        e.clockOffset = model.offset;
    }
    const LastPosition &pos = dec->lastPosition;
    if (pos.valid != 0.0 && AgeWithin<true>(e.week, e.time, pos.week, pos.time, dec->options.maxPositionAge)) {
        e.hasPosition = 1;
        e.latitude = pos.latitude;
        e.longitude = pos.longitude;
        e.height = pos.height;
    }
}

// The epoch to the receiver of the decoded epochs, with the clock model and
// position of the observation file's epoch (`attached`), or the ones it
// would have had.
void HandOver(Oem4Decoder *dec, bool attached) {
    if (dec->decoded.count == 0) return;
    if (!attached) AttachQuietly(dec);
    dec->epochHandler(&dec->decoded);
}

// A range record collected past the record buffer for the RINEX export
// (its overrun was reported at its 8192nd byte): every observation goes to
// the export, nothing to the observation file, which counts it refused.
int32_t HandOverLongRecord(Oem4Decoder *dec) {
    if (dec->decoded.messageId == kMsgRangecmp) {
        DecodeRangecmpObservations(dec);
    } else {
        DecodeRangeObservations<true>(dec);
    }
    DecodedEpoch &e = dec->decoded;
    ++dec->screeningStats.rangeRecords;
    ++dec->screeningStats.refusedRecords;
    const uint32_t bytes = dec->expectedTotal;
    if (e.dropped == 0) {
        PortReportf(dec, e.time, kLongRecordText, dec->row->name, bytes, e.count);
    } else {
        PortReportf(dec, e.time, kLongRecordCutText, dec->row->name, bytes, e.count, e.dropped);
    }
    ComputeLossOfLock(dec);
    HandOver(dec, false);
    // The observation file never got this epoch: a packed record of the
    // same time must not pass for its repetition.
    e.count = 0;
    return RK_NONE;
}

} // namespace

bool IsLongRecordReport(const char *text) { return text[0] == '\'' && std::strstr(text, kLongRecordPhrase) != nullptr; }

void SetPortEpochHandler(int32_t port, DecodedEpochFn handler) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec != nullptr) dec->epochHandler = handler;
}

void SetPortAntenna(int32_t port, PortAntenna antenna, OtherAntennaFn handler) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return;
    dec->antenna = antenna;
    dec->otherAntennaHandler = handler;
}

void SetPortObservationFileUnwritten(int32_t port) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec != nullptr) dec->observationFileUnwritten = 1;
}

void SharePortClockModel(int32_t from, int32_t to) {
    const Oem4Decoder *source = GetOpenPort(from);
    Oem4Decoder *target = GetOpenPort(to);
    if (source != nullptr && target != nullptr) target->lastClockModel = source->lastClockModel;
}

void SetPortEpochSolver(int32_t port, EpochSolverFn solver) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec != nullptr) dec->epochSolver = solver;
}

void BeginDecodedEpoch(Oem4Decoder *dec) {
    DecodedEpoch &e = dec->decoded;
    e.time = HeaderTime(dec);
    e.week = HeaderWeek(dec);
    e.timeStatus = HeaderTimeStatus(dec);
    e.messageId = le::U2(dec->record.data() + kHeaderMessageIdAt);
    e.count = 0;
    e.dropped = 0;
    e.clockOffset = 0.0;
    e.hasPosition = 0;
    e.latitude = e.longitude = e.height = 0.0;
}

int32_t EmitDecodedEpoch(Oem4Decoder *dec, ThreadBuf *buf) {
    if (dec == nullptr || buf == nullptr) return 0;
    // Only the receiver of the decoded epochs reads the indications; the
    // observation file has its own slip reports.
    if (dec->epochHandler != nullptr) ComputeLossOfLock(dec);
    bool attached = false;
    const int32_t kind = PutTsqEpoch(dec, buf, &attached);
    if (dec->epochHandler != nullptr) HandOver(dec, attached);
    return kind;
}

int32_t DecodeRange(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr || buf == nullptr) return 0;
    BeginDecodedEpoch(dec);
    if (dec->longRecord != 0) return HandOverLongRecord(dec);
    if (dec->decoded.messageId == kMsgRangecmp) {
        // Without a receiver of the decoded epochs the common epoch goes
        // straight from the record to the observation file's.
        int32_t kind = 0;
        if (PutTsqEpochFromRangecmp(dec, buf, &kind)) return kind;
        DecodeRangecmpObservations(dec);
        if (dec->epochHandler == nullptr && dec->options.reportAll == 0) {
            bool attached = false;
            return PutTsqEpoch(dec, buf, &attached, false);
        }
    } else if (dec->epochHandler != nullptr) {
        DecodeRangeObservations<true>(dec);
    } else {
        DecodeRangeObservations<false>(dec);
    }
    return EmitDecodedEpoch(dec, buf);
}
