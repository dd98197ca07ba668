// RANGECMP: 24-byte bit-packed observations, expanded to 44-byte RANGE
// observations. The compressed accumulated Doppler range keeps only its low
// 32 bits (1/256 cycle), so it rolls over every 2^23 cycles; the whole
// rollover count is restored from the pseudorange.
#include "oem4/rangecmp.h"

#include <array>
#include <cmath>
#include <cstring>

#include "common/le.h"
#include "oem4/signals.h"

namespace {

constexpr double kL1Wavelength = 0.190293672798;     // metres
constexpr double kL2Wavelength = 0.2442102134245682; // metres
constexpr double kAdrRollover = 8388608.0;           // 2^23 cycles
constexpr uint32_t kDroppedPrn = 64;                 // and above: SBAS etc.

// Bit fields of a compressed observation, read from little-endian words:
// Doppler bits 32-59 (from byte 4), pseudorange bits 60-95 (from the 64-bit
// word at byte 4, shifted by 28), ADR bits 96-127 (byte 12), PRN bits
// 136-143 (byte 17), lock time bits 144-164 and C/No code bits 165-169
// (from byte 18).
constexpr unsigned kDopplerWidth = 28;
constexpr size_t kDopplerByte = 4;
constexpr size_t kPseudorangeWord = 4;
constexpr unsigned kPseudorangeShift = 28, kPseudorangeWidth = 36;
constexpr size_t kAdrByte = 12;
constexpr size_t kPrnByte = 17;
constexpr size_t kLockByte = 18;
constexpr size_t kGlonassFrequencyByte = 21; // bits 170-175: frequency channel + 7
constexpr unsigned kGlonassFrequencyShift = 2, kGlonassFrequencyWidth = 6;
constexpr unsigned kLockTimeWidth = 21;
constexpr unsigned kCnoShift = 21, kCnoWidth = 5;

const char *const kMaxchanText = "MAXCHAN(%d) exceeded, data may be lost on Port %d";

constexpr uint64_t LowBits(unsigned width) { return (uint64_t{1} << width) - 1; }

int64_t SignExtend(uint64_t v, unsigned width) {
    const uint64_t sign = uint64_t{1} << (width - 1);
    return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
}

// Writes all 44 bytes of the expanded observation; the fields that
// RANGECMP does not carry (standard deviations) are zero. The reserved word
// carries the GLONASS frequency channel + 7, as in RANGE.
// Inlined: it is the inner step of every compressed observation.
[[gnu::always_inline]] inline void ExpandObservation(const uint8_t *in, uint8_t *out) {
    std::memset(out, 0, kRangeObsSize);
    const uint32_t prn = in[kPrnByte];
    const uint32_t status = le::U4(in);
    uint64_t word;
    std::memcpy(&word, in + kPseudorangeWord, sizeof word);
    const uint32_t lockWord = le::U4(in + kLockByte);
    const double doppler =
        static_cast<double>(SignExtend(le::U4(in + kDopplerByte) & LowBits(kDopplerWidth), kDopplerWidth)) / 256.0;
    const double pseudorange = static_cast<double>((word >> kPseudorangeShift) & LowBits(kPseudorangeWidth)) / 128.0;
    const double adr = le::I4(in + kAdrByte) / 256.0;
    const double lockTime = static_cast<double>(lockWord & LowBits(kLockTimeWidth)) / 32.0;
    const double cno = 20.0 + static_cast<double>((lockWord >> kCnoShift) & LowBits(kCnoWidth));

    le::PutU2(out + kObsPrnAt, static_cast<uint16_t>(prn));
    le::PutU2(out + kObsReservedAt, static_cast<uint16_t>((in[kGlonassFrequencyByte] >> kGlonassFrequencyShift) &
                                                          LowBits(kGlonassFrequencyWidth)));
    le::PutR8(out + kObsPseudorangeAt, pseudorange);
    le::PutR8(out + kObsPhaseAt, RebuildCarrierPhase(adr, pseudorange, status));
    le::PutR4(out + kObsDopplerAt, static_cast<float>(doppler));
    le::PutR4(out + kObsCnoAt, static_cast<float>(cno));
    le::PutR4(out + kObsLockTimeAt, static_cast<float>(lockTime));
    le::PutU4(out + kObsStatusAt, status);
}

} // namespace

double RebuildCarrierPhase(double compressedAdr, double pseudorange, uint32_t status) {
    const double lambda = ObsFrequency(status) == kFrequencyL2 ? kL2Wavelength : kL1Wavelength;
    const double a = -compressedAdr; // phase with the sign of the pseudorange
    const double d = (pseudorange / lambda - a) / kAdrRollover;
    double k = std::trunc(std::fabs(d) + 0.5);
    if (d < 0.0) k = -k;
    return -(k * kAdrRollover + a);
}

namespace {

// What the screening of a compressed record found.
struct CompressedScreen {
    const uint8_t *in; // the first observation
    uint32_t count;
    std::array<uint32_t, kSystemCount> kept; // observations the file takes, by system
    uint32_t taken;                          // all of them, expanded up to MAXCHAN
    // Some satellite offers more than one L2 signal: l2Signal holds the one
    // each satellite's slot will take.
    bool l2Choice;
    std::array<uint8_t, kDroppedPrn> l2Signal;
};

const uint8_t *CompressedObs(const CompressedScreen &sc, uint32_t i) {
    return sc.in + static_cast<size_t>(i) * kCompressedObsSize;
}

// What the file takes, by system, in one pass. Observations of other
// systems and signals are counted and left out; those of PRN 64 and above
// are dropped as they always were (SBAS has no place in compressed
// records). Observations are expanded as they are taken: when no choice or
// cut follows, which is the common case, that is the expanded record.
inline void ScreenCompressed(Oem4Decoder *dec, CompressedScreen &sc, uint8_t *out) {
    // Worked on in locals: the bytes written into out could otherwise be
    // taken for stores into sc, which would be read again after each.
    ScreeningStats &stats = dec->screeningStats;
    const uint8_t *in = sc.in;
    const uint32_t count = sc.count;
    std::array<uint32_t, kSystemCount> kept{};
    uint32_t taken = 0;
    uint64_t l2Seen = 0;
    bool l2Choice = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *obs = in + static_cast<size_t>(i) * kCompressedObsSize;
        const uint32_t status = le::U4(obs);
        const ObservationRole role = ScreenObservation(status);
        const uint32_t prn = obs[kPrnByte];
        if (role == ROLE_LEFT_OUT) {
            ++stats.leftOut[TrackingSystem(status)];
            continue;
        }
        if (prn >= kDroppedPrn) continue;
        if (role != ROLE_L1) {
            if ((l2Seen >> prn & 1u) != 0) l2Choice = true;
            l2Seen |= uint64_t{1} << prn;
        }
        ++kept[TrackingSystem(status)];
        if (taken < MAXCHAN) ExpandObservation(obs, out + 4 + static_cast<size_t>(taken) * kRangeObsSize);
        ++taken;
    }
    sc.kept = kept;
    sc.taken = taken;
    sc.l2Choice = l2Choice;
}

bool IsL2Candidate(ObservationRole role, uint32_t prn) {
    return (role == ROLE_L2_PREFERRED || role == ROLE_L2_OTHER) && prn < kDroppedPrn;
}

// The L2 signal each satellite's slot will take, chosen as the range
// decoder chooses, so that only observations the epoch will hold count
// towards MAXCHAN; the L2 signals not chosen are left out.
void ChooseCompressedL2(Oem4Decoder *dec, CompressedScreen &sc) {
    std::array<uint8_t, kDroppedPrn> l2Rank;
    l2Rank.fill(kNoL2Rank);
    sc.l2Signal.fill(kNoL2Signal);
    for (uint32_t i = 0; i < sc.count; ++i) {
        const uint8_t *obs = CompressedObs(sc, i);
        const uint32_t status = le::U4(obs);
        const ObservationRole role = ScreenObservation(status);
        const uint32_t prn = obs[kPrnByte];
        if (!IsL2Candidate(role, prn)) continue;
        const uint8_t rank = L2Rank(dec, prn, TrackingSignal(status), role);
        if (rank < l2Rank[prn]) {
            l2Rank[prn] = rank;
            sc.l2Signal[prn] = static_cast<uint8_t>(TrackingSignal(status));
        }
    }
    for (uint32_t i = 0; i < sc.count; ++i) {
        const uint8_t *obs = CompressedObs(sc, i);
        const uint32_t status = le::U4(obs);
        if (!IsL2Candidate(ScreenObservation(status), obs[kPrnByte])) continue;
        if (sc.l2Signal[obs[kPrnByte]] == TrackingSignal(status)) continue;
        --sc.kept[TrackingSystem(status)];
        ++dec->screeningStats.leftOut[TrackingSystem(status)];
    }
}

// The observations of each system the expanded record holds. Over MAXCHAN,
// GPS goes first, then GLONASS, then the rest, each in record order: which
// observations survive must not depend on the order in which the receiver
// lists its systems. Returns the total.
uint32_t FitToMaxchan(Oem4Decoder *dec, const CompressedScreen &sc, std::array<uint32_t, kSystemCount> *quota) {
    uint32_t total = 0;
    for (uint32_t k : sc.kept) total += k;
    *quota = sc.kept;
    if (total <= MAXCHAN) return total;
    PortReportf(dec, HeaderTime(dec), kMaxchanText, static_cast<int>(MAXCHAN), dec->port);
    ScreeningStats &stats = dec->screeningStats;
    ++stats.maxchanRecords;
    stats.maxchanObservations += total - MAXCHAN;
    uint32_t room = MAXCHAN;
    for (uint32_t &q : *quota) {
        if (q > room) q = room;
        room -= q;
    }
    return MAXCHAN;
}

// Expands again, when a choice or a cut made the screening's expansion
// wrong: the observations taken, within each system's quota.
void ExpandChosen(const CompressedScreen &sc, std::array<uint32_t, kSystemCount> quota, uint32_t total, uint8_t *out) {
    uint32_t at = 0;
    for (uint32_t i = 0; i < sc.count && at < total; ++i) {
        const uint8_t *obs = CompressedObs(sc, i);
        const uint32_t status = le::U4(obs);
        const ObservationRole role = ScreenObservation(status);
        const uint32_t prn = obs[kPrnByte];
        if (role == ROLE_LEFT_OUT || prn >= kDroppedPrn) continue;
        if (role != ROLE_L1 && sc.l2Choice && sc.l2Signal[prn] != TrackingSignal(status)) continue;
        uint32_t &q = quota[TrackingSystem(status)];
        if (q == 0) continue;
        --q;
        ExpandObservation(obs, out + 4 + static_cast<size_t>(at) * kRangeObsSize);
        ++at;
    }
}

} // namespace

const uint8_t *ExpandRangecmp(Oem4Decoder *dec) {
    std::memcpy(dec->expanded.data(), dec->record.data(), kOem4HeaderLength);
    const uint8_t *body = RecordBody(dec);
    CompressedScreen sc;
    sc.in = body + 4;
    sc.count = le::U4(body);
    uint8_t *out = dec->expanded.data() + kOem4HeaderLength;

    ScreenCompressed(dec, sc, out);
    if (sc.l2Choice) ChooseCompressedL2(dec, sc);
    std::array<uint32_t, kSystemCount> quota;
    const uint32_t total = FitToMaxchan(dec, sc, &quota);
    le::PutU4(out, total);
    if (sc.l2Choice || sc.taken > MAXCHAN) ExpandChosen(sc, quota, total, out);

    // Only observations that the observation file can take are expanded, so
    // MAXCHAN of them always fit. The buffer is as if cleared before the
    // expansion: what is left of a longer earlier one is zeroed.
    const size_t used = kOem4HeaderLength + 4 + static_cast<size_t>(total) * kRangeObsSize;
    if (dec->expandedUsed > used) std::memset(dec->expanded.data() + used, 0, dec->expandedUsed - used);
    dec->expandedUsed = used;
    return dec->expanded.data();
}
