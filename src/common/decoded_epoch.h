// One measurement epoch as the receiver logged it, whatever record carried
// it (RANGE, RANGECMP, RANGECMP2, RANGECMP4): every observation of every
// system and signal, before any output's rules. The range decoders fill it;
// the observation file's adapter (screening, the L2 choice, the channel
// cut), the RINEX writer and the report each take what they need from it.
//
// Values are the receiver's own: phase keeps the sign of the accumulated
// Doppler range, the signal type is the one of the channel tracking status
// word (bits 21-25) whatever record the observation came from, so that
// every reader has a single numbering.
#pragma once

#include <array>
#include <cstdint>

enum SatelliteSystem : uint32_t {
    SYS_GPS = 0,
    SYS_GLONASS = 1,
    SYS_SBAS = 2,
    SYS_GALILEO = 3,
    SYS_BEIDOU = 4,
    SYS_QZSS = 5,
    SYS_NAVIC = 6,
    SYS_OTHER = 7,
};
inline constexpr uint32_t kSystemCount = 8;

inline constexpr int8_t kNoGlonassChannel = -128;

// Loss-of-lock indicator bits, as RINEX defines them.
inline constexpr uint8_t kLliLockLost = 1;  // lock restarted since the previous observation
inline constexpr uint8_t kLliHalfCycle = 2; // half-cycle ambiguity not resolved
// Set in `lli` by a decoder, before the indications replace it: the lock
// time is only the least the record can state (a packed record's coarse
// code, or a field at its largest value), so it cannot be compared with
// the previous observation's as an exact one (a RANGE record's, in a log
// of both kinds, or one that turns from one to the other).
inline constexpr uint8_t kLockTimeAtLeast = 4;

// The most observations one epoch holds. A record with more keeps the first
// ones and the decoder says how many it dropped.
inline constexpr uint32_t kMaxDecodedObservations = 512;

struct DecodedObservation {
    uint8_t system;         // SatelliteSystem
    uint8_t signal;         // signal type as the tracking status word numbers it
    int8_t glonassChannel;  // frequency channel -7..+6, kNoGlonassChannel when unknown or not GLONASS
    uint8_t lli;            // kLliLockLost | kLliHalfCycle, computed once by the decoder
    uint16_t prn;           // as logged: GLONASS slot + 37, SBAS 120-158, QZSS 193-202, ...
    uint16_t satellite;     // number within the system (RINEX), 0 when the PRN names none
    uint32_t status;        // channel tracking status word (synthesised for records without one)
    double pseudorange;     // m
    double phase;           // cycles, the receiver's sign (accumulated Doppler range)
    double doppler;         // Hz
    float cno;              // dB-Hz
    float lockTime;         // s
    float pseudorangeSigma; // m, 0 when the record gives none
    float phaseSigma;       // cycles, 0 when the record gives none
};

struct DecodedEpoch {
    double time;        // GPS seconds of week of the record
    uint16_t week;      // GPS week of the record
    uint8_t timeStatus; // the record header's time status
    uint16_t messageId; // the record the epoch came from
    uint32_t count;     // observations in obs
    uint32_t dropped;   // observations the record held beyond kMaxDecodedObservations
    // Attached by EmitDecodedEpoch: the receiver clock offset as the
    // observation file's epoch has it (clock model or recomputed) and the
    // receiver position that applies to the epoch, if any.
    double clockOffset; // m, 0 when unknown
    uint32_t hasPosition;
    double latitude;  // degrees
    double longitude; // degrees
    double height;    // m, ellipsoidal
    std::array<DecodedObservation, kMaxDecodedObservations> obs;
};
