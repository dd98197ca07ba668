// Expansion of a RANGECMP record into the RANGE layout, so that the range
// decoder reads both record types the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "oem4/oem4_decoder.h"
#include "oem4/signals.h"

// Observations a RANGECMP record may carry into an epoch; more are cut with
// the MAXCHAN notice.
inline constexpr uint32_t MAXCHAN = 24;
// One RANGE observation, and the expanded record: header, count, MAXCHAN
// observations.
inline constexpr size_t kRangeObsSize = 44;
inline constexpr size_t kCompressedObsSize = 24;
inline constexpr size_t kExpandedRangeSize = kOem4HeaderLength + 4 + MAXCHAN * kRangeObsSize;
static_assert(kExpandedRangeSize == 1088);

// Field offsets of a RANGE observation.
inline constexpr size_t kObsPrnAt = 0;
inline constexpr size_t kObsReservedAt = 2; // GLONASS frequency channel + 7
inline constexpr size_t kObsPseudorangeAt = 4;
inline constexpr size_t kObsPhaseAt = 16;
inline constexpr size_t kObsDopplerAt = 28;
inline constexpr size_t kObsCnoAt = 32;
inline constexpr size_t kObsLockTimeAt = 36;
inline constexpr size_t kObsStatusAt = 40;

// Frequency of an observation from its channel tracking status (bits 21-22).
inline uint32_t ObsFrequency(uint32_t status) { return (status >> 21) & 3u; }
inline constexpr uint32_t kFrequencyL1 = 0;
inline constexpr uint32_t kFrequencyL2 = 1;

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

// Expands the port's current RANGECMP record into the module's expanded
// buffer and returns the buffer: the 28-byte header, the observation count,
// the observations. Only observations the observation file can take are
// expanded (the others are counted in the port's screening counts); over
// MAXCHAN of them the cut is reported with the record's time and keeps GPS
// first.
const uint8_t *ExpandRangecmp(Oem4Decoder *dec);
