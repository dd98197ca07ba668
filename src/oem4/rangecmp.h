// RANGECMP: 24-byte bit-packed observations, decoded into the port's
// decoded epoch like those of RANGE.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/oem4_format.h"
#include "oem4/oem4_decoder.h"
#include "oem4/signals.h"

// The wavelengths the carrier-phase rebuild has always used for the GPS L1
// and L2 frequencies (metres).
inline constexpr double kLegacyL1Wavelength = 0.190293672798;
inline constexpr double kLegacyL2Wavelength = 0.2442102134245682;

// Rank of an L2 observation for its satellite's one L2 slot, lower first:
// the signal taken in the previous epoch while it is still tracked (so a
// signal coming and going cannot flip the L2 phase between two signals),
// then the preferred P codes, then the others.
inline uint8_t L2Rank(const Oem4Decoder *dec, uint32_t prn, uint32_t signal, ObservationRole role) {
    if (prn < static_cast<uint32_t>(kSlipTableSize)) {
        const SlipEntry &prev = dec->slipTable[prn];
        if (prev.valid != 0 && prev.l2Signal == signal) return 0;
    }
    return role == ROLE_L2_PREFERRED ? 1 : 2;
}
inline constexpr uint8_t kNoL2Rank = 3;

// Full carrier phase (cycles, RANGE sign) from the compressed accumulated
// Doppler range (cycles as logged, i.e. field / 256) and the pseudorange,
// with the wavelength of the status word's frequency bits (L1 or L2).
double RebuildCarrierPhase(double compressedAdr, double pseudorange, uint32_t status);
// The same with the signal's own wavelength (metres).
double RebuildCarrierPhaseWith(double compressedAdr, double pseudorange, double wavelength);
// The same, bit for bit, by the wavelength's reciprocal (1 / wavelength as
// a double): the division only where the rollover count is on its edge.
// Inline: it is a step of every compressed observation.
[[gnu::always_inline]] inline double RebuildCarrierPhaseQuick(double compressedAdr, double pseudorange,
                                                              double wavelength, double inverse) {
    constexpr double kAdrRollover = 8388608.0; // 2^23 cycles
    // How near a half rollover (in rollovers) the count by the reciprocal
    // is checked by a division: the two differ by some 1e-15.
    constexpr double kRolloverEdge = 1e-9;
    constexpr double kMaxWholeRollovers = 2147483648.0; // 2^31
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

// Decodes every observation of the port's current RANGECMP record into the
// port's decoded epoch (after BeginDecodedEpoch).
void DecodeRangecmpObservations(Oem4Decoder *dec);
