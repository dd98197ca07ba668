// Expansion of a RANGECMP record into the RANGE layout, so that the range
// decoder reads both record types the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/oem4_format.h"
#include "oem4/oem4_decoder.h"
#include "oem4/signals.h"

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
// Doppler range (cycles as logged, i.e. field / 256) and the pseudorange.
double RebuildCarrierPhase(double compressedAdr, double pseudorange, uint32_t status);

// Expands the port's current RANGECMP record into the port's expanded
// buffer and returns the buffer: the 28-byte header, the observation count,
// the observations. Only observations the observation file can take are
// expanded (the others are counted in the port's screening counts); over
// MAXCHAN of them the cut is reported with the record's time and keeps GPS
// first.
const uint8_t *ExpandRangecmp(Oem4Decoder *dec);
