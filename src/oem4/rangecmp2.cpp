// RANGECMP2: a u32 byte count, then per satellite a 10-byte satellite
// block followed by its 12-byte signal blocks.
//
// Satellite block: SV channel (u8), satellite id (u8: PRN, GLONASS slot),
// then 64 bits: GLONASS frequency 0-3 (channel + 7), system 4-8, reserved
// 9, pseudorange base 10-38 (signed, m), Doppler base 39-59 (signed, Hz on
// the system's first frequency), signal block count 60-63.
//
// Signal block, first 32 bits: signal type 0-4, phase lock 5, parity known
// 6, code lock 7, lock time 8-24 (ms, stops at 131071), correlator 25-28,
// primary signal 29, half cycle added 30. Then 64 bits: C/No 0-4 (+20
// dB-Hz), pseudorange and phase standard deviation codes 5-8 and 9-12,
// pseudorange difference 13-26 (1/128 m), phase range difference 27-46
// (1/2048 m), Doppler difference 47-63 (signed, 1/256 Hz). Pseudorange and
// phase range add their difference to the satellite's base; the Doppler
// adds its own and is brought to the signal's frequency by the ratio of
// the system's first frequency to the signal's.
#include <algorithm>
#include <array>
#include <cmath>

#include "common/le.h"
#include "oem4/decoders.h"
#include "oem4/packed_ranges.h"
#include "oem4/range.h"
#include "oem4/signals.h"

namespace {

constexpr size_t kSatelliteBlockSize = 10;
constexpr size_t kSignalBlockSize = 12;
// The bit fields fill the blocks exactly: channel and id bytes, then
// GLONASS frequency, system, reserved, pseudorange base, Doppler base and
// signal count; signal type, three flags, lock time, correlator, three
// flags; C/No, two deviation codes and three differences.
static_assert(16 + 4 + 5 + 1 + 29 + 21 + 4 == kSatelliteBlockSize * 8);
static_assert(5 + 3 + 17 + 4 + 3 + 5 + 4 + 4 + 14 + 20 + 17 == kSignalBlockSize * 8);

constexpr double kPseudorangeDifferenceScale = 1.0 / 128.0;
constexpr double kPhaseRangeDifferenceScale = 1.0 / 2048.0;
constexpr double kDopplerDifferenceScale = 1.0 / 256.0;
constexpr double kCnoOffset = 20.0;
constexpr double kLockTimeScale = 0.001; // ms
constexpr uint32_t kLockTimeLargest = (1u << 17) - 1;

const char *const kTruncatedText = "RANGECMP2 record ends inside a satellite's blocks; %u bytes dropped";
const char *const kSystemText = "RANGECMP2 satellite system %u is not known; its %u signals dropped";
const char *const kGlonassText = "RANGECMP2 GLONASS PRN %u has frequency channel %d; its %u signals dropped";
const char *const kSignalText = "RANGECMP2 signal type %u of %s PRN %u is not known; observation dropped";

// A RANGECMP2 signal of a system: its status word signal type and the
// ratio of the system's first frequency to the signal's, by which the
// record scales Doppler.
struct Rc2Signal {
    SatelliteSystem system;
    uint8_t id;
    uint8_t signal;
    double dopplerScale;
};
constexpr std::array<Rc2Signal, 33> kRc2Signals = {{
    {SYS_GPS, 1, 0, 1.0},
    {SYS_GPS, 4, 9, 154.0 / 120.0},
    {SYS_GPS, 5, 17, 154.0 / 120.0},
    {SYS_GPS, 6, 5, 154.0 / 120.0},
    {SYS_GPS, 7, 14, 154.0 / 115.0},
    {SYS_GPS, 15, 16, 1.0},
    {SYS_GLONASS, 1, 0, 1.0},
    {SYS_GLONASS, 3, 1, 9.0 / 7.0},
    {SYS_GLONASS, 4, 5, 9.0 / 7.0},
    {SYS_GLONASS, 6, 6, 313.0 / 235.0},
    {SYS_SBAS, 1, 0, 1.0},
    {SYS_SBAS, 2, 6, 154.0 / 115.0},
    {SYS_GALILEO, 1, 2, 1.0},
    {SYS_GALILEO, 2, 12, 154.0 / 115.0},
    {SYS_GALILEO, 3, 17, 154.0 / 118.0},
    {SYS_GALILEO, 4, 20, 154.0 / 116.5},
    {SYS_GALILEO, 5, 7, 154.0 / 125.0},
    {SYS_GALILEO, 12, 6, 154.0 / 125.0},
    {SYS_QZSS, 1, 0, 1.0},
    {SYS_QZSS, 3, 17, 154.0 / 120.0},
    {SYS_QZSS, 4, 14, 154.0 / 115.0},
    {SYS_QZSS, 8, 16, 1.0},
    {SYS_QZSS, 11, 27, 154.0 / 125.0},
    {SYS_BEIDOU, 1, 0, 1.0},
    {SYS_BEIDOU, 2, 4, 1.0},
    {SYS_BEIDOU, 3, 1, 1526.0 / 1180.0},
    {SYS_BEIDOU, 4, 5, 1526.0 / 1180.0},
    {SYS_BEIDOU, 13, 2, 1526.0 / 1240.0},
    {SYS_BEIDOU, 16, 6, 1526.0 / 1240.0},
    {SYS_BEIDOU, 19, 7, 1526.0 / 1540.0},
    {SYS_BEIDOU, 20, 9, 1526.0 / 1150.0},
    {SYS_BEIDOU, 21, 11, 1526.0 / 1180.0},
    {SYS_NAVIC, 1, 0, 1.0},
}};

static_assert(kRc2Signals.size() == kRangecmp2Signals);
static_assert(kMaxSatelliteNumber <= kPackedSatellites, "satellite numbers index the lock times");

// Row + 1 of each system's 5-bit signal id in kRc2Signals, 0 for none: one
// load per signal block instead of a search.
constexpr std::array<std::array<uint8_t, 32>, kSystemCount> kRc2SignalRows = [] {
    std::array<std::array<uint8_t, 32>, kSystemCount> rows{};
    for (size_t k = 0; k < kRc2Signals.size(); ++k) {
        uint8_t &row = rows[kRc2Signals[k].system][kRc2Signals[k].id];
        if (row == 0) row = static_cast<uint8_t>(k + 1); // the first row of an id, as a search finds
    }
    return rows;
}();

const Rc2Signal *FindRc2Signal(SatelliteSystem system, uint32_t id) {
    if (system >= kSystemCount || id >= 32) return nullptr;
    const uint8_t row = kRc2SignalRows[system][id];
    return row != 0 ? &kRc2Signals[row - 1u] : nullptr;
}

constexpr uint64_t Bits(uint64_t word, unsigned at, unsigned width) {
    return (word >> at) & ((uint64_t{1} << width) - 1);
}
constexpr int64_t SignedBits(uint64_t word, unsigned at, unsigned width) {
    const uint64_t v = Bits(word, at, width);
    const uint64_t sign = uint64_t{1} << (width - 1);
    return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
}

struct SatelliteBlock {
    uint32_t channel;
    uint32_t id;
    uint32_t glonassFrequency;
    uint32_t systemId;
    int64_t pseudorangeBase; // m
    int64_t dopplerBase;     // Hz
    uint32_t signals;
};

SatelliteBlock ReadSatelliteBlock(const uint8_t *p) {
    const uint64_t w = le::Load<uint64_t>(p + 2);
    return {p[0],
            p[1],
            static_cast<uint32_t>(Bits(w, 0, 4)),
            static_cast<uint32_t>(Bits(w, 4, 5)),
            SignedBits(w, 10, 29),
            SignedBits(w, 39, 21),
            static_cast<uint32_t>(Bits(w, 60, 4))};
}

// Lock time in seconds. The field stops at its largest value; from then on
// the lock has lasted that long plus the time the field has stood there.
// When the field reaches that value between two epochs of an unbroken
// lock, the lock goes on from the previous epoch's: restarting it at the
// largest value would have it grow less than the time between the two,
// which reads as a lock lost and regained. From the largest value on, the
// lock time is the least the field allows (`least`): a RANGE record of the
// same signal may give more.
double LockTime(Oem4Decoder *dec, const Rc2Signal *signal, uint16_t satellite, uint32_t field, bool *least) {
    constexpr double kLargest = static_cast<double>(kLockTimeLargest) * kLockTimeScale;
    const double now = ContinuousTime(dec);
    const size_t index = static_cast<size_t>(signal - kRc2Signals.data()) * kPackedSatellites + satellite;
    PackedLockTime &track = dec->packed.rangecmp2LockTimes[index];
    const bool recent = track.seen != 0 && now >= track.last && now - track.last <= kLockTimeGap;
    const double previousAt = track.last;
    track.seen = 1;
    track.last = now;
    *least = field == kLockTimeLargest;
    if (field != kLockTimeLargest) {
        track.code = 0;
        track.start = static_cast<double>(field) * kLockTimeScale; // the last lock time below the largest
        return track.start;
    }
    if (!recent) {
        track.since = now;
    } else if (track.code == 0) {
        track.since = now - std::max(0.0, track.start + (now - previousAt) - kLargest);
    }
    track.code = 1;
    return kLargest + (now - track.since);
}

// One signal block of a satellite into an observation. Returns false when
// the signal is not one of the record's.
bool ReadSignalBlock(Oem4Decoder *dec, const SatelliteBlock &sat, SatelliteSystem system, const uint8_t *p,
                     DecodedObservation *obs) {
    const uint32_t head = le::U4(p);
    const uint64_t w = le::Load<uint64_t>(p + 4);
    const uint32_t prn = system == SYS_GLONASS ? GlonassPrnOfId(sat.id) : sat.id;
    const Rc2Signal *signal = FindRc2Signal(system, Bits(head, 0, 5));
    if (signal == nullptr) {
        PortReportf(dec, HeaderTime(dec), kSignalText, static_cast<unsigned>(Bits(head, 0, 5)), SystemName(system),
                    static_cast<unsigned>(prn));
        return false;
    }
    const int glonassChannel =
        system == SYS_GLONASS ? static_cast<int>(sat.glonassFrequency) - kGlonassFrequencyOffset : 0;
    const double wavelength =
        kSpeedOfLight / SignalFrequency(system, signal->signal, static_cast<int8_t>(glonassChannel));
    const double pseudorange =
        static_cast<double>(sat.pseudorangeBase) + static_cast<double>(Bits(w, 13, 14)) * kPseudorangeDifferenceScale;
    const double phaseRange =
        static_cast<double>(sat.pseudorangeBase) + static_cast<double>(Bits(w, 27, 20)) * kPhaseRangeDifferenceScale;
    const double doppler =
        (static_cast<double>(sat.dopplerBase) + static_cast<double>(SignedBits(w, 47, 17)) * kDopplerDifferenceScale) /
        signal->dopplerScale;

    *obs = DecodedObservation{};
    obs->system = static_cast<uint8_t>(system);
    obs->signal = signal->signal;
    obs->glonassChannel = system == SYS_GLONASS ? static_cast<int8_t>(glonassChannel) : kNoGlonassChannel;
    obs->prn = static_cast<uint16_t>(prn);
    obs->satellite = SatelliteNumber(system, prn);
    obs->status = SynthesiseStatus({system, signal->signal, sat.channel, static_cast<uint32_t>(Bits(head, 25, 4)),
                                    Bits(head, 5, 1) != 0, Bits(head, 6, 1) != 0, Bits(head, 7, 1) != 0,
                                    sat.signals > 1, Bits(head, 29, 1) != 0, Bits(head, 30, 1) != 0});
    obs->pseudorange = pseudorange;
    obs->phase = -phaseRange / wavelength;
    obs->doppler = doppler;
    obs->cno = static_cast<float>(kCnoOffset + static_cast<double>(Bits(w, 0, 5)));
    bool least = false;
    obs->lockTime =
        static_cast<float>(LockTime(dec, signal, obs->satellite, static_cast<uint32_t>(Bits(head, 8, 17)), &least));
    obs->lli = least ? kLockTimeAtLeast : 0;
    obs->pseudorangeSigma = kPseudorangeSigma[Bits(w, 5, 4)];
    obs->phaseSigma = kPhaseSigma[Bits(w, 9, 4)];
    return true;
}

} // namespace

PackedResult DecodeRangecmp2Epoch(Oem4Decoder *dec) {
    if (!BeginPackedEpoch(dec)) return PACKED_SAME_EPOCH;
    const uint8_t *body = RecordBody(dec);
    const uint32_t size = PackedDataSize(dec);
    const uint8_t *data = body + kPackedRangeFixedLength;
    uint32_t at = 0;
    while (at < size) {
        if (size - at < kSatelliteBlockSize) {
            PortReportf(dec, HeaderTime(dec), kTruncatedText, static_cast<unsigned>(size - at));
            break;
        }
        const SatelliteBlock sat = ReadSatelliteBlock(data + at);
        const uint32_t blocks = kSatelliteBlockSize + sat.signals * kSignalBlockSize;
        if (size - at < blocks) {
            PortReportf(dec, HeaderTime(dec), kTruncatedText, static_cast<unsigned>(size - at));
            break;
        }
        const SatelliteSystem system = PackedSystem(sat.systemId);
        if (system == SYS_OTHER) {
            // L-band channels carry no ranging observation: not worth a word.
            if (sat.systemId != 8) {
                PortReportf(dec, HeaderTime(dec), kSystemText, static_cast<unsigned>(sat.systemId),
                            static_cast<unsigned>(sat.signals));
            }
        } else if (system == SYS_GLONASS && sat.glonassFrequency > kMaxGlonassFrequency) {
            PortReportf(dec, HeaderTime(dec), kGlonassText, static_cast<unsigned>(sat.id + kGlonassPrnOffset),
                        static_cast<int>(sat.glonassFrequency) - kGlonassFrequencyOffset,
                        static_cast<unsigned>(sat.signals));
        } else {
            for (uint32_t k = 0; k < sat.signals; ++k) {
                DecodedObservation obs;
                const uint8_t *p = data + at + kSatelliteBlockSize + static_cast<size_t>(k) * kSignalBlockSize;
                if (ReadSignalBlock(dec, sat, system, p, &obs)) AddPackedObservation(dec, obs);
            }
        }
        at += blocks;
    }
    return dec->decoded.count + dec->decoded.dropped > 0 ? PACKED_EPOCH : PACKED_EMPTY;
}

int32_t DecodeRangecmp2(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr || buf == nullptr || SkipOtherAntenna(dec)) return RK_NONE;
    return EmitPackedEpoch(dec, DecodeRangecmp2Epoch(dec), buf);
}
