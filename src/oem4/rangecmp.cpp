// RANGECMP: 24-byte bit-packed observations. The compressed accumulated
// Doppler range keeps only its low 32 bits (1/256 cycle), so it rolls over
// every 2^23 cycles; the whole rollover count is restored from the
// pseudorange.
#include "oem4/rangecmp.h"

#include <array>
#include <cmath>
#include <cstring>

#include "common/le.h"
#include "common/physics.h"
#include "oem4/range.h"
#include "oem4/signals.h"

namespace {

constexpr double kAdrRollover = 8388608.0; // 2^23 cycles
// How near a half rollover (in rollovers) the count by the wavelength's
// reciprocal is checked by a division: the two differ by some 1e-15.
constexpr double kRolloverEdge = 1e-9;
constexpr double kMaxWholeRollovers = 2147483648.0; // 2^31

// Bit fields of a compressed observation, read from little-endian words:
// Doppler bits 32-59 (from byte 4), pseudorange bits 60-95 (from the 64-bit
// word at byte 4, shifted by 28), ADR bits 96-127 (byte 12), standard
// deviation codes bits 128-135 (byte 16), PRN bits 136-143 (byte 17), lock
// time bits 144-164 and C/No code bits 165-169 (from byte 18), GLONASS
// frequency channel + 7 bits 170-175 (byte 21).
constexpr unsigned kDopplerWidth = 28;
constexpr size_t kDopplerByte = 4;
constexpr size_t kPseudorangeWord = 4;
constexpr unsigned kPseudorangeShift = 28, kPseudorangeWidth = 36;
constexpr size_t kAdrByte = 12;
constexpr size_t kSigmaByte = 16; // low nibble: pseudorange, high: ADR
constexpr size_t kPrnByte = 17;
constexpr size_t kLockByte = 18;
constexpr size_t kGlonassFrequencyByte = 21;
constexpr unsigned kGlonassFrequencyShift = 2, kGlonassFrequencyWidth = 6;
constexpr unsigned kLockTimeWidth = 21;
constexpr unsigned kCnoShift = 21, kCnoWidth = 5;

// Pseudorange standard deviation (m) of each code.
constexpr float kPseudorangeSigma[16] = {0.050f, 0.075f, 0.113f, 0.169f, 0.253f, 0.380f, 0.570f, 0.854f,
                                         1.281f, 2.375f, 4.750f, 9.500f, 19.00f, 38.00f, 76.00f, 152.0f};

// C/No (dB-Hz) of each code: 20 + code.
constexpr std::array<float, 32> kCno = [] {
    std::array<float, 32> cno{};
    for (size_t k = 0; k < cno.size(); ++k) cno[k] = static_cast<float>(20.0 + static_cast<double>(k));
    return cno;
}();

constexpr uint64_t LowBits(unsigned width) { return (uint64_t{1} << width) - 1; }

int64_t SignExtend(uint64_t v, unsigned width) {
    const uint64_t sign = uint64_t{1} << (width - 1);
    return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
}

// The wavelength the rollover count is restored with, by system and signal
// type. The GPS L1 and L2 frequencies keep the constants the rebuild has
// always used, so their phases stay what they were to the last bit; a
// signal type the system does not define falls back on the frequency bits
// (0 in the table); GLONASS FDMA signals depend on the channel (-1).
double TableWavelength(uint32_t system, uint32_t signal) {
    if (system == SYS_GLONASS && (signal == 0 || signal == 1 || signal == 5)) return -1.0;
    const double f = SignalFrequency(system, signal, 0);
    if (f == kFreqL1) return kLegacyL1Wavelength;
    if (f == kFreqL2) return kLegacyL2Wavelength;
    return f != 0.0 ? kSpeedOfLight / f : 0.0;
}
// Each wavelength beside its reciprocal, for the rebuild without a division.
struct WavelengthTable {
    double at[kSystemCount * 32];
    double inverse[kSystemCount * 32];
    WavelengthTable() {
        for (uint32_t k = 0; k < kSystemCount * 32; ++k) {
            at[k] = TableWavelength(k / 32, k % 32);
            inverse[k] = at[k] > 0.0 ? 1.0 / at[k] : 0.0;
        }
    }
};
const WavelengthTable g_wavelengths;
const double g_legacyL1Inverse = 1.0 / kLegacyL1Wavelength;
const double g_legacyL2Inverse = 1.0 / kLegacyL2Wavelength;

// The carrier phase with the signal's wavelength: by its reciprocal where the
// table gives one, by a division for a GLONASS FDMA signal.
[[gnu::always_inline]] inline double RebuildPhase(double adr, double pseudorange, uint32_t system, uint32_t signal,
                                                  int8_t glonassChannel, uint32_t status) {
    const uint32_t k = system * 32 + signal;
    const double lambda = g_wavelengths.at[k];
    if (lambda > 0.0) return RebuildCarrierPhaseQuick(adr, pseudorange, lambda, g_wavelengths.inverse[k]);
    if (lambda < 0.0) {
        return RebuildCarrierPhaseWith(adr, pseudorange,
                                       kSpeedOfLight / SignalFrequency(system, signal, glonassChannel));
    }
    return ObsFrequency(status) == kFrequencyL2
               ? RebuildCarrierPhaseQuick(adr, pseudorange, kLegacyL2Wavelength, g_legacyL2Inverse)
               : RebuildCarrierPhaseQuick(adr, pseudorange, kLegacyL1Wavelength, g_legacyL1Inverse);
}

// Inlined: it is the inner step of every compressed observation. Without a
// receiver of the decoded epochs (RINEX off) the signal type, GLONASS
// channel, loss-of-lock indication, satellite number and standard
// deviations, which only it reads, are left as they were.
template <bool kWhole>
[[gnu::always_inline]] inline void DecodeObservation(const uint8_t *in, DecodedObservation *out) {
    const uint32_t status = le::U4(in);
    const uint32_t system = TrackingSystem(status);
    const uint32_t signal = TrackingSignal(status);
    const uint32_t prn = in[kPrnByte];
    uint64_t word;
    std::memcpy(&word, in + kPseudorangeWord, sizeof word);
    const uint32_t lockWord = le::U4(in + kLockByte);
    const uint32_t frequency = (in[kGlonassFrequencyByte] >> kGlonassFrequencyShift) & LowBits(kGlonassFrequencyWidth);
    const int8_t channel = GlonassChannelOf(system, frequency);
    const double pseudorange = static_cast<double>((word >> kPseudorangeShift) & LowBits(kPseudorangeWidth)) / 128.0;
    const double adr = le::I4(in + kAdrByte) / 256.0;

    out->system = static_cast<uint8_t>(system);
    out->prn = static_cast<uint16_t>(prn);
    out->status = status;
    out->pseudorange = pseudorange;
    out->phase = RebuildPhase(adr, pseudorange, system, signal, channel, status);
    out->doppler =
        static_cast<double>(SignExtend(le::U4(in + kDopplerByte) & LowBits(kDopplerWidth), kDopplerWidth)) / 256.0;
    out->cno = kCno[(lockWord >> kCnoShift) & LowBits(kCnoWidth)];
    // 21 bits and a power of two: exact in a float, as through a double.
    out->lockTime = static_cast<float>(static_cast<int32_t>(lockWord & LowBits(kLockTimeWidth))) * (1.0f / 32.0f);
    if constexpr (kWhole) {
        out->signal = static_cast<uint8_t>(signal);
        out->glonassChannel = channel;
        out->lli = 0;
        out->satellite = SatelliteNumber(system, prn);
        out->pseudorangeSigma = kPseudorangeSigma[in[kSigmaByte] & 15u];
        out->phaseSigma = static_cast<float>((in[kSigmaByte] >> 4) + 1) / 512.0f;
    }
}

} // namespace

double RebuildCarrierPhaseWith(double compressedAdr, double pseudorange, double wavelength) {
    const double a = -compressedAdr; // phase with the sign of the pseudorange
    const double d = (pseudorange / wavelength - a) / kAdrRollover;
    double k = std::trunc(std::fabs(d) + 0.5);
    if (d < 0.0) k = -k;
    return -(k * kAdrRollover + a);
}

double RebuildCarrierPhaseQuick(double compressedAdr, double pseudorange, double wavelength, double inverse) {
    const double a = -compressedAdr;
    const double d = (pseudorange * inverse - a) / kAdrRollover;
    // The product is within a few units of the last place of the quotient:
    // the rollover count is the quotient's unless |d| lies within far more
    // than that of a half, where the division decides. NaN goes there too.
    const double f = std::fabs(d) + 0.5;
    // Below 2^31 the conversion truncates as std::trunc does, at a fraction
    // of its cost; the field widths keep f below 2^10.
    if (!(f < kMaxWholeRollovers)) return RebuildCarrierPhaseWith(compressedAdr, pseudorange, wavelength);
    const double whole = static_cast<double>(static_cast<int32_t>(f));
    const double fraction = f - whole; // exact: f and whole are close
    if (!(fraction > kRolloverEdge && fraction < 1.0 - kRolloverEdge)) {
        return RebuildCarrierPhaseWith(compressedAdr, pseudorange, wavelength);
    }
    const double k = d < 0.0 ? -whole : whole;
    return -(k * kAdrRollover + a);
}

double RebuildCarrierPhase(double compressedAdr, double pseudorange, uint32_t status) {
    return RebuildCarrierPhaseWith(compressedAdr, pseudorange,
                                   ObsFrequency(status) == kFrequencyL2 ? kLegacyL2Wavelength : kLegacyL1Wavelength);
}

void DecodeRangecmpObservations(Oem4Decoder *dec) {
    const uint8_t *body = RecordBody(dec);
    DecodedEpoch &e = dec->decoded;
    // The framing has matched the count to the record's length, which the
    // record buffer bounds well below the epoch's room.
    const uint32_t count = le::U4(body);
    const uint32_t maxFit = (kRecordBufferSize - kOem4HeaderLength - 4) / kCompressedObsSize;
    const uint32_t n = count < maxFit ? count : maxFit;
    static_assert((kRecordBufferSize - kOem4HeaderLength - 4) / kCompressedObsSize <= kMaxDecodedObservations);
    const uint8_t *in = body + 4;
    if (dec->epochHandler != nullptr) {
        for (uint32_t i = 0; i < n; ++i)
            DecodeObservation<true>(in + static_cast<size_t>(i) * kCompressedObsSize, &e.obs[i]);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            DecodeObservation<false>(in + static_cast<size_t>(i) * kCompressedObsSize, &e.obs[i]);
        }
    }
    e.count = n;
    e.dropped = count - n;
}
