// One RANGECMP observation's bit fields into a decoded observation. Inline,
// for the decoders of whole records: into the port's decoded epoch
// (rangecmp.cpp), or one at a time into the observation file's epoch
// (tsq_adapter.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/decoded_epoch.h"
#include "common/le.h"
#include "common/oem4_format.h"
#include "common/physics.h"
#include "oem4/oem4_decoder.h"
#include "oem4/rangecmp.h"
#include "oem4/signals.h"

namespace rangecmp_detail {

// Bit fields of a compressed observation, read from little-endian words:
// Doppler bits 32-59 (from byte 4), pseudorange bits 60-95 (from the 64-bit
// word at byte 4, shifted by 28), ADR bits 96-127 (byte 12), standard
// deviation codes bits 128-135 (byte 16), PRN bits 136-143 (byte 17), lock
// time bits 144-164 and C/No code bits 165-169 (from byte 18), GLONASS
// frequency channel + 7 bits 170-175 (byte 21).
inline constexpr unsigned kDopplerWidth = 28;
inline constexpr size_t kDopplerByte = 4;
inline constexpr size_t kPseudorangeWord = 4;
inline constexpr unsigned kPseudorangeShift = 28, kPseudorangeWidth = 36;
inline constexpr size_t kAdrByte = 12;
inline constexpr size_t kSigmaByte = 16; // low nibble: pseudorange, high: ADR
inline constexpr size_t kPrnByte = 17;
inline constexpr size_t kLockByte = 18;
inline constexpr size_t kGlonassFrequencyByte = 21;
inline constexpr unsigned kGlonassFrequencyShift = 2, kGlonassFrequencyWidth = 6;
inline constexpr unsigned kLockTimeWidth = 21;
inline constexpr unsigned kCnoShift = 21, kCnoWidth = 5;

// Pseudorange standard deviation (m) of each code.
inline constexpr float kPseudorangeSigma[16] = {0.050f, 0.075f, 0.113f, 0.169f, 0.253f, 0.380f, 0.570f, 0.854f,
                                                1.281f, 2.375f, 4.750f, 9.500f, 19.00f, 38.00f, 76.00f, 152.0f};

// C/No (dB-Hz) of each code: 20 + code.
inline constexpr std::array<float, 32> kCno = [] {
    std::array<float, 32> cno{};
    for (size_t k = 0; k < cno.size(); ++k) cno[k] = static_cast<float>(20.0 + static_cast<double>(k));
    return cno;
}();

constexpr uint64_t LowBits(unsigned width) { return (uint64_t{1} << width) - 1; }

inline int64_t SignExtend(uint64_t v, unsigned width) {
    const uint64_t sign = uint64_t{1} << (width - 1);
    return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
}

// The wavelength the rollover count is restored with by system and signal
// type (rangecmp.cpp says how), beside its reciprocal for the rebuild
// without a division.
struct WavelengthTable {
    double at[kSystemCount * 32];
    double inverse[kSystemCount * 32];
    WavelengthTable();
};
extern const WavelengthTable g_wavelengths;
inline constexpr double kLegacyL1Inverse = 1.0 / kLegacyL1Wavelength;
inline constexpr double kLegacyL2Inverse = 1.0 / kLegacyL2Wavelength;

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
               ? RebuildCarrierPhaseQuick(adr, pseudorange, kLegacyL2Wavelength, kLegacyL2Inverse)
               : RebuildCarrierPhaseQuick(adr, pseudorange, kLegacyL1Wavelength, kLegacyL1Inverse);
}

} // namespace rangecmp_detail

// The most observations of a RANGECMP record the record buffer holds.
inline constexpr uint32_t kMaxRangecmpObservations = (kRecordBufferSize - kOem4HeaderLength - 4) / kCompressedObsSize;
static_assert(kMaxRangecmpObservations <= kMaxDecodedObservations);

// Decodes the compressed observation at `in`. Inlined: it is the inner step
// of every compressed observation. Without a receiver of the decoded epochs
// (RINEX off) the signal type, GLONASS channel, loss-of-lock indication,
// satellite number and standard deviations, which only it reads, are left
// as they were.
template <bool kWhole>
[[gnu::always_inline]] inline void DecodeCompressedObservation(const uint8_t *in, DecodedObservation *out) {
    using namespace rangecmp_detail;
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
        // A lock time at the field's largest value is the least the record
        // can state (a RANGE record of the same time may give more).
        out->lli = (lockWord & LowBits(kLockTimeWidth)) == LowBits(kLockTimeWidth) ? kLockTimeAtLeast : 0;
        out->satellite = SatelliteNumber(system, prn);
        out->pseudorangeSigma = kPseudorangeSigma[in[kSigmaByte] & 15u];
        out->phaseSigma = static_cast<float>((in[kSigmaByte] >> 4) + 1) / 512.0f;
    }
}
