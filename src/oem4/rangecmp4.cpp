// RANGECMP4: a u32 byte count, then a bit stream (least significant bit of
// each byte first) of satellite system blocks.
//
// 16-bit system mask; per system in mask order: 64-bit satellite mask (bit
// n is satellite id n + 1), 16-bit signal mask, one row per satellite of
// the signals it has (as many bits as the signal mask has), then per
// satellite a measurement block header (differential flag, 3-bit reference
// block id, 5-bit GLONASS frequency channel + 7 in GLONASS reference
// headers only) and one measurement block per signal of that satellite.
//
// Every block starts with parity known (1), half cycle added (1), C/No (11,
// 0.05 dB-Hz), lock time code (4), pseudorange and phase standard
// deviation codes (4 and 4). A reference block then holds the pseudorange
// (first signal: 37 bits unsigned; others: 20 bits signed from the first
// signal's), the phase range (23 bits signed, from the signal's own
// pseudorange) and the range rate (first signal: 26 bits signed; others: 14
// bits signed from the first signal's). A differential block holds
// differences to the signal's latest reference of the same block id:
// pseudorange (19 bits) and phase range (16 bits) from the reference moved
// on by its range rate, range rate (first signal 18 bits, others 14). Units
// are 0.0005 m for pseudorange, 0.0001 m for phase range and 0.0001 m/s for
// range rate; the most negative value of a signed field (all ones for the
// first pseudorange) marks a value the receiver did not have.
//
// RANGECMP5 (newer OEM7 firmware) is RANGECMP4 with reference blocks only and
// wider fields: the same masks and signal ids; a satellite header of a
// data format flag (0), 3 reserved bits and, for every GLONASS satellite,
// the 5-bit frequency channel + 7; standard deviation codes of 5 bits, each
// of a 32-entry table; range rates of 28 bits (first signal) and 16 bits
// (others). A header whose flag is set announces data whose layout the
// record does not define: the blocks that follow cannot be found, and the
// rest of the record is dropped with a message (read as reference blocks,
// they would give values of no meaning). Its epochs carry no reference
// over: they neither read nor replace RANGECMP4's.
#include <array>
#include <bit>
#include <cmath>

#include "common/le.h"
#include "oem4/decoders.h"
#include "oem4/packed_ranges.h"
#include "oem4/range.h"
#include "oem4/signals.h"

namespace {

constexpr unsigned kSystemMaskBits = 16, kSatelliteMaskBits = 64, kSignalMaskBits = 16;
constexpr unsigned kReferenceIdBits = 3, kGlonassFrequencyBits = 5;
constexpr unsigned kCnoBits = 11, kLockCodeBits = 4;
// Field widths: [0] the satellite's first signal, [1] the others.
constexpr unsigned kReferencePseudorangeBits[2] = {37, 20};
constexpr unsigned kReferencePhaseBits = 23;
constexpr unsigned kDifferencePseudorangeBits = 19;
constexpr unsigned kDifferencePhaseBits = 16;
constexpr unsigned kDifferenceRateBits[2] = {18, 14};

constexpr double kPseudorangeScale = 0.0005; // m
constexpr double kPhaseRangeScale = 0.0001;  // m
constexpr double kRangeRateScale = 0.0001;   // m/s
constexpr double kCnoScale = 0.05;           // dB-Hz

// A differential block applies within the second that its reference opens:
// the receiver sends references on the whole second.
constexpr double kMaxReferenceAge = 1.0; // s
constexpr double kTimeTolerance = 1e-6;  // s

// Lock time codes: the least lock time (s) each stands for.
constexpr std::array<double, 16> kLockTimeFloor = {0.0,   0.016, 0.032, 0.064,  0.128,  0.256,  0.512,   1.024,
                                                   2.048, 4.096, 8.192, 16.384, 32.768, 65.536, 131.072, 262.144};

// The messages begin with the record's name (%s): the second antenna's
// port forwards those of its packed records by that.
const char *const kTruncatedText = "%s record ends inside a block; the rest of it dropped";
const char *const kSystemText = "%s satellite system %u is not known; the rest of the record dropped";
const char *const kUnknownText = "%s record: %u observations of unknown signals or satellites dropped";
const char *const kGlonassText = "%s record: %u GLONASS observations of no frequency channel dropped";
const char *const kNoReferenceText = "%s record: %u differential observations without a usable reference dropped";

// A RANGECMP5 satellite header whose data format flag is set.
const char *const kUndefinedFormatText =
    "%s satellite header announces data of a format the record does not define; the rest of the record dropped";

// What tells the two records apart.
struct Layout {
    const char *name;
    unsigned sigmaCodeBits;
    unsigned referenceRateBits[2]; // first signal, others
    bool differential;             // the satellite header's flag may announce differential blocks
    const float *pseudorangeSigma; // 1 << sigmaCodeBits entries each
    const float *phaseSigma;
};
constexpr Layout kRangecmp4Layout = {"RANGECMP4", 4, {26, 14}, true, kPseudorangeSigma.data(), kPhaseSigma.data()};
constexpr Layout kRangecmp5Layout = {"RANGECMP5",           5, {28, 16}, false, kWidePseudorangeSigma.data(),
                                     kWidePhaseSigma.data()};

// RANGECMP4 signal ids of each system: the status word signal type, or
// kNoSignal.
constexpr uint8_t kNoSignal = 0xFF;
constexpr std::array<std::array<uint8_t, kSignalMaskBits>, kPackedSystems> BuildSignalTable() {
    std::array<std::array<uint8_t, kSignalMaskBits>, kPackedSystems> t{};
    for (auto &row : t) row.fill(kNoSignal);
    auto &gps = t[SYS_GPS];
    gps[1] = 0, gps[4] = 9, gps[5] = 17, gps[6] = 5, gps[7] = 14, gps[15] = 16;
    auto &glo = t[SYS_GLONASS];
    glo[1] = 0, glo[3] = 1, glo[4] = 5, glo[6] = 6;
    auto &sbas = t[SYS_SBAS];
    sbas[1] = 0, sbas[2] = 6;
    auto &gal = t[SYS_GALILEO];
    gal[1] = 2, gal[2] = 12, gal[3] = 17, gal[4] = 20, gal[5] = 7, gal[12] = 6;
    auto &bds = t[SYS_BEIDOU];
    bds[1] = 0, bds[2] = 4, bds[3] = 1, bds[4] = 5, bds[5] = 2, bds[6] = 6, bds[7] = 7, bds[9] = 9, bds[11] = 11;
    auto &qzss = t[SYS_QZSS];
    qzss[1] = 0, qzss[3] = 17, qzss[4] = 14, qzss[8] = 16, qzss[11] = 27;
    t[SYS_NAVIC][1] = 0;
    return t;
}
constexpr auto kSignalTable = BuildSignalTable();

// The receiver's primary (L1) signal of a satellite: id 1 of every system,
// and BeiDou's B1 of the geostationary satellites.
bool IsPrimarySignal(SatelliteSystem system, uint32_t id) { return id == 1 || (system == SYS_BEIDOU && id == 2); }

// PRN as RANGE logs it of a satellite id (1-64); 0 with ok false when the id
// names no satellite of the system. GLONASS ids above 42 are satellites
// whose slot is not known yet: RANGE logs them as PRN 0.
uint32_t PrnOf(SatelliteSystem system, uint32_t id, bool *ok) {
    *ok = true;
    switch (system) {
    case SYS_GLONASS: return GlonassPrnOfId(id);
    case SYS_SBAS:
        if (id <= 39) return id + 119;
        if (id >= 54 && id <= 62) return id + 129;
        *ok = false;
        return 0;
    case SYS_QZSS: return id + 192;
    default: return id;
    }
}

// Reads bit fields, least significant bit first; past the end it reads 0
// and remembers the overrun.
class BitReader {
public:
    BitReader(const uint8_t *data, uint32_t bytes) : data_(data), bits_(uint64_t{bytes} * 8) {}
    uint64_t Take(unsigned width) {
        if (bits_ - at_ < width) {
            overrun_ = true;
            at_ = bits_;
            return 0;
        }
        // Most fields lie within 8 bytes of the data: one load and a mask.
        const uint64_t first = at_ >> 3;
        const unsigned shift = static_cast<unsigned>(at_ & 7u);
        if (width + shift <= 64 && width < 64 && first + 8 <= bits_ >> 3) {
            at_ += width;
            return (le::Load<uint64_t>(data_ + first) >> shift) & ((uint64_t{1} << width) - 1);
        }
        uint64_t v = 0;
        for (unsigned got = 0; got < width;) {
            const uint64_t byte = data_[at_ >> 3];
            const unsigned shift = static_cast<unsigned>(at_ & 7u);
            const unsigned n = width - got < 8 - shift ? width - got : 8 - shift;
            v |= ((byte >> shift) & ((1u << n) - 1)) << got;
            got += n;
            at_ += n;
        }
        return v;
    }
    int64_t TakeSigned(unsigned width) {
        const uint64_t v = Take(width);
        const uint64_t sign = uint64_t{1} << (width - 1);
        return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
    }
    bool Overrun() const { return overrun_; }

private:
    const uint8_t *data_;
    uint64_t bits_;
    uint64_t at_ = 0;
    bool overrun_ = false;
};

// The fields every measurement block starts with.
struct BlockHead {
    bool parityKnown;
    bool halfCycleAdded;
    double cno;
    uint32_t lockCode;
    uint32_t pseudorangeSigma;
    uint32_t phaseSigma;
};
BlockHead ReadBlockHead(BitReader &bits, unsigned sigmaCodeBits) {
    BlockHead h;
    h.parityKnown = bits.Take(1) != 0;
    h.halfCycleAdded = bits.Take(1) != 0;
    h.cno = static_cast<double>(bits.Take(kCnoBits)) * kCnoScale;
    h.lockCode = static_cast<uint32_t>(bits.Take(kLockCodeBits));
    h.pseudorangeSigma = static_cast<uint32_t>(bits.Take(sigmaCodeBits));
    h.phaseSigma = static_cast<uint32_t>(bits.Take(sigmaCodeBits));
    return h;
}

// One signal's measurement in metres and m/s, with what of it is known.
struct Measurement {
    double pseudorange;
    double phaseRange;
    double rangeRate;
    uint8_t valid; // kPackedPseudorangeValid | kPackedPhaseValid | kPackedDopplerValid
};

bool IsMostNegative(int64_t v, unsigned width) { return v == -(int64_t{1} << (width - 1)); }

// A reference block's values; first holds the satellite's first signal,
// from which the others' pseudorange and range rate are counted.
template <const Layout &kLayout> Measurement ReadReference(BitReader &bits, bool isFirst, const Measurement &first) {
    Measurement m{};
    const unsigned k = isFirst ? 0 : 1;
    if (isFirst) {
        const uint64_t range = bits.Take(kReferencePseudorangeBits[0]);
        m.pseudorange = static_cast<double>(range) * kPseudorangeScale;
        if (range != (uint64_t{1} << kReferencePseudorangeBits[0]) - 1) m.valid |= kPackedPseudorangeValid;
    } else {
        const int64_t range = bits.TakeSigned(kReferencePseudorangeBits[1]);
        m.pseudorange = first.pseudorange + static_cast<double>(range) * kPseudorangeScale;
        if (!IsMostNegative(range, kReferencePseudorangeBits[1]) && (first.valid & kPackedPseudorangeValid) != 0) {
            m.valid |= kPackedPseudorangeValid;
        }
    }
    const int64_t phase = bits.TakeSigned(kReferencePhaseBits);
    m.phaseRange = m.pseudorange + static_cast<double>(phase) * kPhaseRangeScale;
    if (!IsMostNegative(phase, kReferencePhaseBits) && (m.valid & kPackedPseudorangeValid) != 0) {
        m.valid |= kPackedPhaseValid;
    }
    const unsigned rateBits = kLayout.referenceRateBits[k];
    const int64_t rate = bits.TakeSigned(rateBits);
    m.rangeRate = (isFirst ? 0.0 : first.rangeRate) + static_cast<double>(rate) * kRangeRateScale;
    if (!IsMostNegative(rate, rateBits) && (isFirst || (first.valid & kPackedDopplerValid) != 0)) {
        m.valid |= kPackedDopplerValid;
    }
    return m;
}

// A differential block's values, applied to its reference age seconds on.
Measurement ReadDifference(BitReader &bits, bool isFirst, const PackedReference &ref, double age) {
    const int64_t range = bits.TakeSigned(kDifferencePseudorangeBits);
    const int64_t phase = bits.TakeSigned(kDifferencePhaseBits);
    const unsigned rateBits = kDifferenceRateBits[isFirst ? 0 : 1];
    const int64_t rate = bits.TakeSigned(rateBits);
    const bool moved = (ref.valid & kPackedDopplerValid) != 0 || age == 0.0;
    const double drift = (ref.valid & kPackedDopplerValid) != 0 ? ref.rangeRate * age : 0.0;
    Measurement m{};
    m.pseudorange = ref.pseudorange + drift + static_cast<double>(range) * kPseudorangeScale;
    m.phaseRange = ref.phaseRange + drift + static_cast<double>(phase) * kPhaseRangeScale;
    m.rangeRate = ref.rangeRate + static_cast<double>(rate) * kRangeRateScale;
    if (moved && (ref.valid & kPackedPseudorangeValid) != 0 && !IsMostNegative(range, kDifferencePseudorangeBits)) {
        m.valid |= kPackedPseudorangeValid;
    }
    if (moved && (ref.valid & kPackedPhaseValid) != 0 && !IsMostNegative(phase, kDifferencePhaseBits)) {
        m.valid |= kPackedPhaseValid;
    }
    if ((ref.valid & kPackedDopplerValid) != 0 && !IsMostNegative(rate, rateBits)) m.valid |= kPackedDopplerValid;
    return m;
}

// The lock time a signal's track gives at a time: where its code's count
// started, plus the time since, never reaching the next code's least.
double LockAt(const PackedLockTime &track, double at) {
    const double lock = track.start + (at - track.since);
    const uint32_t next = track.code + 1u;
    return next < kLockTimeFloor.size() && lock > kLockTimeFloor[next] ? kLockTimeFloor[next] : lock;
}

// Lock time from the coarse code: the code's least lock time plus the time
// the code has held since it was first seen, never reaching the next
// code's. A code that goes down means the lock restarted; after a gap the
// time the code has held is not known. A code that goes up on a signal
// seen in the epoch before means the receiver kept lock: the lock time
// goes on growing with the time from the value it had (at least the new
// code's least), as falling back to the new code's least would read as a
// lock lost in between. After an epoch without the signal the lock may
// have restarted in that time: a code gone up starts from its least.
// The value is the least lock time the codes allow, never more, so it is
// compared as such (`least`), unless the codes themselves tell a restart:
// a code gone down, or a count grown past its code's range (the code
// would have gone up), which the exact comparison then flags.
double LockTime(PackedLockTime &track, uint32_t code, double now, double previousEpoch, bool *least) {
    const bool gap = track.seen == 0 || now < track.last || now - track.last > kLockTimeGap;
    const bool missed = track.last + kTimeTolerance < previousEpoch;
    const uint32_t next = code + 1u;
    bool lower = gap || code >= track.code;
    if (gap || code < track.code || (code > track.code && missed)) {
        track.since = now;
        track.start = kLockTimeFloor[code];
    } else if (code > track.code) {
        const double kept = LockAt(track, track.last) + (now - track.last);
        track.since = now;
        if (next < kLockTimeFloor.size() && kept >= kLockTimeFloor[next]) {
            // The count carried on already passes the new code's range: the
            // lock restarted in between (a young lock lost again).
            track.start = kLockTimeFloor[code];
            lower = false;
        } else {
            track.start = kept > kLockTimeFloor[code] ? kept : kLockTimeFloor[code];
        }
    }
    track.seen = 1;
    track.code = static_cast<uint8_t>(code);
    track.last = now;
    const double lock = track.start + (now - track.since);
    if (next < kLockTimeFloor.size() && lock > kLockTimeFloor[next]) {
        *least = false;
        return kLockTimeFloor[next];
    }
    *least = lower;
    return lock;
}

// What one record's decoding carries from block to block.
struct Rc4Context {
    Oem4Decoder *dec;
    double now;       // continuous GPS time of the record
    bool keep;        // fill the epoch (false: only the port's references and lock times move on)
    uint32_t unknown; // observations of unknown signals or satellites
    uint32_t noReference;
    uint32_t noChannel; // GLONASS observations of a frequency channel beyond -7 to +6
};

// One satellite's identity within a system block.
struct Satellite {
    SatelliteSystem system;
    uint32_t id; // 1-64
    uint32_t prn;
    bool prnOk;
    bool differential;
    uint32_t referenceId;
    uint32_t glonassFrequency; // channel + 7, reference blocks only
    uint32_t signals;          // how many the satellite has in the record
};

size_t TrackIndex(SatelliteSystem system, uint32_t signalId, uint32_t id) {
    return (static_cast<size_t>(system) * kPackedSignals + signalId) * kPackedSatellites + (id - 1);
}

// Turns one decoded block into an observation of the epoch.
template <const Layout &kLayout> void AddObservation(Rc4Context &ctx, const Satellite &sat, uint32_t signalId,
                                                     const BlockHead &head, const Measurement &m,
                                                     uint32_t glonassFrequency) {
    const uint32_t signal = kSignalTable[sat.system][signalId];
    const int channel = sat.system == SYS_GLONASS ? static_cast<int>(glonassFrequency) - kGlonassFrequencyOffset : 0;
    const double frequency = SignalFrequency(sat.system, signal, static_cast<int8_t>(channel));
    PackedRangeState &packed = ctx.dec->packed;
    bool least = false;
    const double lock = LockTime(packed.lockTimes[TrackIndex(sat.system, signalId, sat.id)], head.lockCode, ctx.now,
                                 packed.rangecmp4PreviousEpoch, &least);
    if (!ctx.keep) return;
    if (sat.system == SYS_GLONASS && glonassFrequency > kMaxGlonassFrequency) {
        ++ctx.noChannel;
        return;
    }
    if (frequency <= 0.0) return;
    const double wavelength = kSpeedOfLight / frequency;
    const bool hasRange = (m.valid & kPackedPseudorangeValid) != 0;
    const bool hasPhase = (m.valid & kPackedPhaseValid) != 0;
    DecodedObservation obs{};
    obs.system = static_cast<uint8_t>(sat.system);
    obs.signal = static_cast<uint8_t>(signal);
    obs.glonassChannel = sat.system == SYS_GLONASS ? static_cast<int8_t>(channel) : kNoGlonassChannel;
    obs.prn = static_cast<uint16_t>(sat.prn);
    obs.satellite = sat.prn == 0 ? 0 : SatelliteNumber(sat.system, sat.prn);
    obs.status = SynthesiseStatus({sat.system, signal, 0, 0, hasPhase, head.parityKnown, hasRange, sat.signals > 1,
                                   IsPrimarySignal(sat.system, signalId), head.halfCycleAdded});
    obs.pseudorange = hasRange ? m.pseudorange : 0.0;
    obs.phase = hasPhase ? -m.phaseRange / wavelength : 0.0;
    obs.doppler = (m.valid & kPackedDopplerValid) != 0 ? -m.rangeRate / wavelength : 0.0;
    obs.cno = static_cast<float>(head.cno);
    obs.lockTime = static_cast<float>(lock);
    obs.lli = least ? kLockTimeAtLeast : 0;
    obs.pseudorangeSigma = kLayout.pseudorangeSigma[head.pseudorangeSigma];
    obs.phaseSigma = kLayout.phaseSigma[head.phaseSigma];
    AddPackedObservation(ctx.dec, obs);
}

// The reference a differential block of this signal refers to, or null
// when there is none of its block id within the second before.
const PackedReference *UsableReference(const Rc4Context &ctx, const Satellite &sat, uint32_t signalId, double *age) {
    const PackedReference &ref = ctx.dec->packed.references[TrackIndex(sat.system, signalId, sat.id)];
    if (ref.present == 0 || ref.id != sat.referenceId) return nullptr;
    *age = ctx.now - ref.time;
    if (*age < -kTimeTolerance || *age >= kMaxReferenceAge - kTimeTolerance) return nullptr;
    if (*age < 0.0) *age = 0.0;
    return &ref;
}

// The measurement blocks of one satellite, one per signal it has. Returns
// false when the bit stream ran out.
template <const Layout &kLayout> bool DecodeSatellite(Rc4Context &ctx, BitReader &bits, const Satellite &sat,
                                                      uint64_t included,
                                                      const std::array<uint32_t, kSignalMaskBits> &signalIds) {
    Measurement first{};
    bool isFirst = true;
    for (uint32_t k = 0; included != 0; ++k, included >>= 1) {
        if ((included & 1u) == 0) continue;
        const uint32_t signalId = signalIds[k];
        const BlockHead head = ReadBlockHead(bits, kLayout.sigmaCodeBits);
        const bool known = sat.prnOk && kSignalTable[sat.system][signalId] != kNoSignal;
        PackedReference &stored = ctx.dec->packed.references[TrackIndex(sat.system, signalId, sat.id)];
        if (!sat.differential) {
            const Measurement m = ReadReference<kLayout>(bits, isFirst, first);
            if (bits.Overrun()) return false;
            if (isFirst) first = m;
            // Only RANGECMP4's differences need the reference kept.
            if constexpr (kLayout.differential) {
                stored = {m.pseudorange,
                          m.phaseRange,
                          m.rangeRate,
                          ctx.now,
                          1,
                          static_cast<uint8_t>(sat.referenceId),
                          m.valid,
                          static_cast<uint8_t>(sat.glonassFrequency)};
            }
            if (known) AddObservation<kLayout>(ctx, sat, signalId, head, m, sat.glonassFrequency);
        } else {
            double age = 0.0;
            const PackedReference *ref = UsableReference(ctx, sat, signalId, &age);
            const PackedReference none{};
            const Measurement m = ReadDifference(bits, isFirst, ref != nullptr ? *ref : none, age);
            if (bits.Overrun()) return false;
            if (ref == nullptr) {
                if (ctx.keep && known) ++ctx.noReference;
            } else if (known) {
                AddObservation<kLayout>(ctx, sat, signalId, head, m, ref->glonassFrequency);
            }
        }
        if (!known && ctx.keep) ++ctx.unknown;
        isFirst = false;
    }
    return true;
}

// One satellite system block. Returns false when the bit stream ran out or
// a satellite header announced a format the record does not define (said).
template <const Layout &kLayout> bool DecodeSystem(Rc4Context &ctx, BitReader &bits, SatelliteSystem system) {
    const uint64_t satellites = bits.Take(kSatelliteMaskBits);
    const uint64_t signals = bits.Take(kSignalMaskBits);
    std::array<uint32_t, kSignalMaskBits> signalIds{};
    uint32_t signalCount = 0;
    for (uint32_t b = 0; b < kSignalMaskBits; ++b) {
        if ((signals >> b & 1u) != 0) signalIds[signalCount++] = b;
    }
    std::array<uint64_t, kSatelliteMaskBits> included{};
    const uint32_t satelliteCount = static_cast<uint32_t>(std::popcount(satellites));
    for (uint32_t s = 0; s < satelliteCount; ++s) {
        included[s] = signalCount == 0 ? 0 : bits.Take(signalCount);
    }
    if (bits.Overrun()) return false;
    uint64_t rest = satellites;
    for (uint32_t s = 0; s < satelliteCount; ++s) {
        Satellite sat{};
        sat.system = system;
        sat.id = static_cast<uint32_t>(std::countr_zero(rest)) + 1;
        rest &= rest - 1;
        sat.prn = PrnOf(system, sat.id, &sat.prnOk);
        sat.differential = bits.Take(1) != 0;
        sat.referenceId = static_cast<uint32_t>(bits.Take(kReferenceIdBits)); // RANGECMP5: reserved
        if (sat.differential && !kLayout.differential) {
            if (!bits.Overrun()) PortReportf(ctx.dec, HeaderTime(ctx.dec), kUndefinedFormatText, kLayout.name);
            return false;
        }
        if (system == SYS_GLONASS && !sat.differential) {
            sat.glonassFrequency = static_cast<uint32_t>(bits.Take(kGlonassFrequencyBits));
        }
        sat.signals = static_cast<uint32_t>(std::popcount(included[s]));
        if (bits.Overrun() || !DecodeSatellite<kLayout>(ctx, bits, sat, included[s], signalIds)) return false;
    }
    return true;
}

// Decodes a RANGECMP4 or RANGECMP5 record, as its layout says. The layout
// is fixed when compiled: the field widths of every block stay constants
// of RANGECMP4's decoding, as they were before RANGECMP5 shared it.
template <const Layout &kLayout> PackedResult DecodeEpoch(Oem4Decoder *dec) {
    Rc4Context ctx{dec, ContinuousTime(dec), BeginPackedEpoch(dec), 0, 0, 0};
    if (ctx.now != dec->packed.rangecmp4Epoch) {
        dec->packed.rangecmp4PreviousEpoch = dec->packed.rangecmp4Epoch;
        dec->packed.rangecmp4Epoch = ctx.now;
    }
    const uint8_t *body = RecordBody(dec);
    BitReader bits(body + kPackedRangeFixedLength, PackedDataSize(dec));
    const double time = HeaderTime(dec);
    const uint64_t systems = bits.Take(kSystemMaskBits);
    for (uint32_t id = 0; id < kSystemMaskBits && !bits.Overrun(); ++id) {
        if ((systems >> id & 1u) == 0) continue;
        const SatelliteSystem system = PackedSystem(id);
        if (system == SYS_OTHER) {
            PortReportf(dec, time, kSystemText, kLayout.name, static_cast<unsigned>(id));
            break;
        }
        if (!DecodeSystem<kLayout>(ctx, bits, system)) break;
    }
    if (bits.Overrun()) PortReportf(dec, time, kTruncatedText, kLayout.name);
    if (ctx.unknown > 0) PortReportf(dec, time, kUnknownText, kLayout.name, static_cast<unsigned>(ctx.unknown));
    if (ctx.noChannel > 0) PortReportf(dec, time, kGlonassText, kLayout.name, static_cast<unsigned>(ctx.noChannel));
    if (ctx.noReference > 0) {
        PortReportf(dec, time, kNoReferenceText, kLayout.name, static_cast<unsigned>(ctx.noReference));
    }
    if (!ctx.keep) return PACKED_SAME_EPOCH;
    return dec->decoded.count + dec->decoded.dropped > 0 ? PACKED_EPOCH : PACKED_EMPTY;
}

template <const Layout &kLayout> int32_t Decode(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr || buf == nullptr || SkipOtherAntenna(dec)) return RK_NONE;
    return EmitPackedEpoch(dec, DecodeEpoch<kLayout>(dec), buf);
}

} // namespace

PackedResult DecodeRangecmp4Epoch(Oem4Decoder *dec) { return DecodeEpoch<kRangecmp4Layout>(dec); }
PackedResult DecodeRangecmp5Epoch(Oem4Decoder *dec) { return DecodeEpoch<kRangecmp5Layout>(dec); }

int32_t DecodeRangecmp4(int32_t port, ThreadBuf *buf) { return Decode<kRangecmp4Layout>(port, buf); }
int32_t DecodeRangecmp5(int32_t port, ThreadBuf *buf) { return Decode<kRangecmp5Layout>(port, buf); }
