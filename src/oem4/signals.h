// Satellite system and signal of an observation, read from its channel
// tracking status word, and what the observation file can take of it.
//
// Bits 16-18 hold the satellite system, bits 21-25 the signal type. The
// older receivers split bits 21-25 into the frequency (21-22) and the code
// type (23-25), which gives the same numbers: GPS L2 P codeless is 9 either
// way. The observation file has one L1 and one L2 slot per satellite and a
// PRN byte shared by every system, so only GPS, GLONASS and SBAS L1 C/A and
// one GPS or GLONASS L2 signal per satellite have a place in it; every other
// system would collide with the GPS PRNs and every other signal has no slot.
//
// Used by the range decoder, the quality report and the log simulator.
#pragma once

#include <array>
#include <cstdint>

#include "common/decoded_epoch.h"
#include "common/oem4_format.h"

// Signal types (bits 21-25) of the systems the file takes.
inline constexpr uint32_t kSignalL1CA = 0;     // GPS, GLONASS, SBAS
inline constexpr uint32_t kSignalL2CodeCA = 1; // GLONASS L2 C/A; older GPS L2 coding
inline constexpr uint32_t kSignalL1P = 4;
inline constexpr uint32_t kSignalL2P = 5;         // GPS, GLONASS
inline constexpr uint32_t kSignalL2PCodeless = 9; // GPS L2 P(Y) semi-codeless
inline constexpr uint32_t kSignalGpsL5 = 14;
inline constexpr uint32_t kSignalGpsL1C = 16;
inline constexpr uint32_t kSignalGpsL2C = 17;

// What the observation file does with an observation.
enum ObservationRole : uint8_t {
    ROLE_L1 = 0,           // the satellite's L1 slot
    ROLE_L2_PREFERRED = 1, // an L2 slot candidate taken first (P codes)
    ROLE_L2_OTHER = 2,     // an L2 slot candidate taken when no preferred one is
    ROLE_LEFT_OUT = 3,     // no place in the file
};

namespace signals_detail {
constexpr std::array<uint8_t, kSystemCount * 32> BuildRoleTable() {
    std::array<uint8_t, kSystemCount * 32> t{};
    for (auto &r : t) r = ROLE_LEFT_OUT;
    auto set = [&t](uint32_t system, uint32_t signal, ObservationRole role) { t[system * 32 + signal] = role; };
    set(SYS_GPS, kSignalL1CA, ROLE_L1);
    set(SYS_GPS, kSignalL2P, ROLE_L2_PREFERRED);
    set(SYS_GPS, kSignalL2PCodeless, ROLE_L2_PREFERRED);
    // The frequency bits alone made this an L2 observation for the older
    // receivers, whose logs must convert as they always did.
    set(SYS_GPS, kSignalL2CodeCA, ROLE_L2_PREFERRED);
    set(SYS_GPS, kSignalGpsL2C, ROLE_L2_OTHER);
    set(SYS_GLONASS, kSignalL1CA, ROLE_L1);
    set(SYS_GLONASS, kSignalL2P, ROLE_L2_PREFERRED);
    set(SYS_GLONASS, kSignalL2CodeCA, ROLE_L2_OTHER);
    set(SYS_SBAS, kSignalL1CA, ROLE_L1);
    return t;
}
inline constexpr std::array<uint8_t, kSystemCount * 32> kRoleTable = BuildRoleTable();
} // namespace signals_detail

// The role of an observation from its tracking status: one table look-up.
inline ObservationRole ScreenObservation(uint32_t status) {
    return static_cast<ObservationRole>(
        signals_detail::kRoleTable[TrackingSystem(status) * 32 + TrackingSignal(status)]);
}

// The system's name in messages and reports.
inline const char *SystemName(uint32_t system) {
    static constexpr const char *kNames[kSystemCount] = {"GPS",    "GLONASS", "SBAS",  "Galileo",
                                                         "BeiDou", "QZSS",    "NavIC", "other"};
    return kNames[system & 7u];
}

// A short name of a signal kept in the file, for messages and reports.
inline const char *SignalName(uint32_t system, uint32_t signal) {
    switch (signal) {
    case kSignalL1CA: return "L1 C/A";
    case kSignalL2CodeCA: return system == SYS_GLONASS ? "L2 C/A" : "L2";
    case kSignalL2P: return "L2 P";
    case kSignalL2PCodeless: return "L2 P(Y)";
    case kSignalGpsL2C: return "L2C";
    default: return "other";
    }
}

// ---- every system's satellites and signals ---------------------------------

// PRNs as the receiver logs them outside GPS, Galileo, BeiDou and NavIC
// (which log the satellite's own number).
inline constexpr uint32_t kGlonassPrnOffset = 37; // slot + 37
inline constexpr uint32_t kFirstSbasPrn = 120, kLastSbasPrn = 158;
inline constexpr uint32_t kSbasPrnOffset = 100; // RINEX S20-S58
inline constexpr uint32_t kFirstQzssPrn = 193, kLastQzssPrn = 202;
inline constexpr uint32_t kQzssPrnOffset = 192; // RINEX J01-J10
// Satellite numbers within a system are below this (two RINEX digits, and
// the size of the decoders' per-satellite tables).
inline constexpr uint32_t kMaxSatelliteNumber = 64;
// GLONASS slots go up to this; the compressed records number a satellite
// whose slot the receiver has not yet decoded above it (43-64), and RANGE
// logs it as PRN 0.
inline constexpr uint32_t kLastGlonassSlot = 42;
// The PRN RANGE logs for a compressed record's GLONASS satellite id: slot
// + 37, or 0 while the slot is not known (id 0, or past the slots).
inline constexpr uint32_t GlonassPrnOfId(uint32_t id) {
    return id >= 1 && id <= kLastGlonassSlot ? id + kGlonassPrnOffset : 0;
}

// The satellite's number within its system, as RINEX names it (G05, R12,
// S20, J01, ...), or 0 when the PRN names none.
inline uint16_t SatelliteNumber(uint32_t system, uint32_t prn) {
    struct Numbering {
        uint32_t first; // lowest PRN of the system
        uint32_t last;
        uint32_t offset; // PRN minus satellite number
    };
    static constexpr Numbering kNumbering[kSystemCount] = {
        {1, kMaxSatelliteNumber - 1, 0},                                                  // GPS
        {kGlonassPrnOffset + 1, kGlonassPrnOffset + kLastGlonassSlot, kGlonassPrnOffset}, // GLONASS
        {kFirstSbasPrn, kLastSbasPrn, kSbasPrnOffset},                                    // SBAS
        {1, kMaxSatelliteNumber - 1, 0},                                                  // Galileo
        {1, kMaxSatelliteNumber - 1, 0},                                                  // BeiDou
        {kFirstQzssPrn, kLastQzssPrn, kQzssPrnOffset},                                    // QZSS
        {1, kMaxSatelliteNumber - 1, 0},                                                  // NavIC
        {1, 0, 0},                                                                        // other: none
    };
    const Numbering &n = kNumbering[system & 7u];
    return static_cast<uint16_t>(prn >= n.first && prn <= n.last ? prn - n.offset : 0);
}

// The GLONASS frequency channel of an observation, from the field in which
// the logs store it as channel + 7; kNoGlonassChannel outside GLONASS or
// beyond the codes the receiver uses.
inline int8_t GlonassChannelOf(uint32_t system, uint32_t code) {
    constexpr uint32_t kChannelOffset = 7, kMaxCode = 20;
    return system == SYS_GLONASS && code <= kMaxCode ? static_cast<int8_t>(static_cast<int>(code - kChannelOffset))
                                                     : kNoGlonassChannel;
}

// Carrier frequencies, Hz.
inline constexpr double kFreqL1 = 1575.42e6; // GPS L1, Galileo E1, BeiDou B1C, QZSS, SBAS
inline constexpr double kFreqL2 = 1227.60e6;
inline constexpr double kFreqL5 = 1176.45e6;  // also Galileo E5a, BeiDou B2a, NavIC L5
inline constexpr double kFreqL6 = 1278.75e6;  // QZSS L6, Galileo E6
inline constexpr double kFreqE5b = 1207.14e6; // also BeiDou B2I, B2b
inline constexpr double kFreqE5 = 1191.795e6;
inline constexpr double kFreqB1I = 1561.098e6;
inline constexpr double kFreqB3I = 1268.52e6;
inline constexpr double kFreqG1 = 1602.0e6, kFreqG1Step = 0.5625e6; // GLONASS FDMA: + channel x step
inline constexpr double kFreqG2 = 1246.0e6, kFreqG2Step = 0.4375e6;
inline constexpr double kFreqG3 = 1202.025e6;

// Carrier frequency (Hz) of a signal, or 0 when the signal type is not one
// this system defines. A GLONASS FDMA signal of unknown channel takes the
// centre channel's: near enough for every use here.
inline double SignalFrequency(uint32_t system, uint32_t signal, int8_t glonassChannel) {
    const double k = glonassChannel == kNoGlonassChannel ? 0.0 : glonassChannel;
    switch (system) {
    case SYS_GPS:
    case SYS_QZSS:
        switch (signal) {
        case 0:
        case 4:
        case 16: return kFreqL1;
        case 1:
        case 5:
        case 9:
        case 17: return kFreqL2;
        case 14: return kFreqL5;
        case 27:
        case 28: return system == SYS_QZSS ? kFreqL6 : 0.0;
        default: return 0.0;
        }
    case SYS_GLONASS:
        switch (signal) {
        case 0: return kFreqG1 + k * kFreqG1Step;
        case 1:
        case 5: return kFreqG2 + k * kFreqG2Step;
        case 6: return kFreqG3;
        default: return 0.0;
        }
    case SYS_SBAS: return signal == 0 ? kFreqL1 : signal == 6 ? kFreqL5 : 0.0;
    case SYS_GALILEO:
        switch (signal) {
        case 1:
        case 2: return kFreqL1;
        case 6:
        case 7: return kFreqL6;
        case 12: return kFreqL5;
        case 17: return kFreqE5b;
        case 20: return kFreqE5;
        default: return 0.0;
        }
    case SYS_BEIDOU:
        switch (signal) {
        case 0:
        case 4: return kFreqB1I;
        case 1:
        case 5:
        case 11: return kFreqE5b;
        case 2:
        case 6: return kFreqB3I;
        case 7: return kFreqL1;
        case 9: return kFreqL5;
        default: return 0.0;
        }
    case SYS_NAVIC: return signal == 0 ? kFreqL5 : 0.0;
    default: return 0.0;
    }
}
