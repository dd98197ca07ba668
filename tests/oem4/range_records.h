// Test-side builders of RANGE and RANGECMP records and a reader of the
// epoch a range record leaves in the ThreadBuf.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

namespace rangetest {

// Phase lock, parity known, code locked: a fully tracked L1 observation.
inline constexpr uint32_t kTracked = (1u << 10) | (1u << 11) | (1u << 12);
inline constexpr uint32_t kL2 = 1u << 21; // frequency bits 21-22 = 1

struct Obs {
    uint16_t prn;
    double pseudorange;
    double phase;
    float doppler;
    float cno;
    float lockTime;
    uint32_t status;
    uint16_t reserved = 0; // GLONASS frequency channel + 7
};
Obs L1(uint16_t prn, float lockTime = 600.0f);
Obs L2(uint16_t prn, float lockTime = 600.0f);

testsupport::HeaderFields At(double seconds, uint8_t timeStatus = 180);
std::vector<uint8_t> Range(const std::vector<Obs> &obs, testsupport::HeaderFields h = {});

// One compressed observation in raw field units.
struct CmpObs {
    uint32_t status;
    int32_t doppler;      // 1/256 Hz, 28 bits
    uint64_t pseudorange; // 1/128 m, 36 bits
    int32_t adr;          // 1/256 cycle
    uint8_t prn;
    uint32_t lockTime; // 1/32 s, 21 bits
    uint8_t cnoCode;   // C/No - 20, 5 bits
};
std::vector<uint8_t> Rangecmp(const std::vector<CmpObs> &obs, testsupport::HeaderFields h = {});

// The payload structs are packed: tests compare their fields as values
// (+field), since a gtest macro would bind a misaligned reference.
struct Epoch {
    int32_t result = 0; // last non-zero DecodeByte result
    EpochRecord epoch{};
    std::vector<MeasRecord> meas;
    std::vector<TrackingRecord> tracking;
};
Epoch Decode(const std::vector<uint8_t> &record, ThreadBuf *buf);
// What the ThreadBuf holds now.
Epoch ReadEpoch(ThreadBuf *buf);

std::vector<std::string> Texts();

} // namespace rangetest
