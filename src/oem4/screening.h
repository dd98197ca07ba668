// What the range decoder kept of an epoch, and what it left out over a
// conversion. Each port keeps the satellites written in its latest epoch
// (system, PRN, GLONASS frequency channel, the L2 signal chosen and its
// C/No), which is what an export naming signals per system needs, and the
// counts that the driver reports at the end of a conversion.
#pragma once

#include <cstdint>

#include "common/oem4_format.h"
#include "oem4/signals.h"

inline constexpr uint8_t kNoL2Signal = 0xFF;

struct ScreenedSatellite {
    uint16_t prn;          // as logged (GLONASS: slot + 37)
    uint8_t system;        // SatelliteSystem
    int8_t glonassChannel; // frequency channel -7..+6, kNoGlonassChannel when unknown or not GLONASS
    uint8_t l2Signal;      // signal type of the L2 observation written, kNoL2Signal when none
    float l1Cno;           // dB-Hz
    float l2Cno;           // dB-Hz, 0 when no L2
};

// The satellites of the latest epoch the decoder put out, in the order of
// the epoch's measurement records.
struct EpochScreening {
    double time;    // seconds of week of the epoch
    uint32_t count; // satellites written
    ScreenedSatellite satellites[MAXCHAN];
};

// Counts over one conversion (from OpenPort on).
struct ScreeningStats {
    // Observations of each system that the file has no place for: other
    // systems, other signals, L2 signals not chosen.
    uint64_t leftOut[kSystemCount];
    // Epochs with more satellites than the channels, written cut, and the
    // satellites that were left out of them.
    uint32_t cutEpochs;
    uint64_t cutSatellites;
    // Compressed records over the 24-observation limit, and the observations
    // they lost.
    uint32_t maxchanRecords;
    uint64_t maxchanObservations;
    // Range records decoded, and those that gave no epoch although they held observations
    // (refused as too large, or without any usable L1 observation).
    uint32_t rangeRecords;
    uint32_t refusedRecords;
};

// The latest epoch and the conversion's counts of an open port; null when
// the port is not open.
const EpochScreening *GetEpochScreening(int32_t port);
const ScreeningStats *GetScreeningStats(int32_t port);
