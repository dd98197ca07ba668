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
