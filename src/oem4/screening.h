// What the observation file's rules left out over a conversion: the counts
// that the driver reports at the end of it.
#pragma once

#include <cstdint>

#include "common/oem4_format.h"
#include "oem4/signals.h"

inline constexpr uint8_t kNoL2Signal = 0xFF;

// Counts over one conversion (from OpenPort on).
struct ScreeningStats {
    // Observations of each system that the file has no place for: other
    // systems, other signals, L2 signals not chosen.
    uint64_t leftOut[kSystemCount];
    // Epochs with more satellites than the channels, written cut, and the
    // satellites that were left out of them.
    uint32_t cutEpochs;
    uint64_t cutSatellites;
    // Compressed records over the observation limit (24, or two a channel
    // above 12 channels), the observations they lost, and the limit.
    uint32_t maxchanRecords;
    uint64_t maxchanObservations;
    uint32_t maxchanLimit;
    // Range records decoded, and those that gave no epoch although they held observations
    // (refused as too large, or without any usable L1 observation).
    uint32_t rangeRecords;
    uint32_t refusedRecords;
};

// The conversion's counts of an open port; null when the port is not open.
const ScreeningStats *GetScreeningStats(int32_t port);
