// In-memory capture of a simulation run for the simulator's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "simulator.h"

struct MemorySink : oem4sim::SimSink {
    std::vector<uint8_t> bytes;
    std::vector<oem4sim::EpochTruth> epochs;
    std::vector<oem4sim::SatelliteTruth> sats;
    std::vector<oem4sim::MarkTruth> marks;
    std::vector<oem4sim::SlipTruth> slips;
    std::vector<oem4sim::EphemerisTruth> ephs;
    std::vector<oem4sim::FaultTruth> faults;

    bool Bytes(const uint8_t *d, size_t n) override {
        bytes.insert(bytes.end(), d, d + n);
        return true;
    }
    void Epoch(const oem4sim::EpochTruth &e) override { epochs.push_back(e); }
    void Satellite(const oem4sim::SatelliteTruth &s) override { sats.push_back(s); }
    void Mark(const oem4sim::MarkTruth &m) override { marks.push_back(m); }
    void Slip(const oem4sim::SlipTruth &s) override { slips.push_back(s); }
    void Ephemeris(const oem4sim::EphemerisTruth &e) override { ephs.push_back(e); }
    void Fault(const oem4sim::FaultTruth &f) override { faults.push_back(f); }
};

// One record of a log, as found by walking its framing.
struct FoundRecord {
    size_t offset;
    size_t length;
    uint16_t id;
    uint16_t week;
    int32_t ms;
    const uint8_t *body;
};

// Runs a configuration into memory; fails the test on an error.
MemorySink Simulate(const oem4sim::SimConfig &cfg);
// Walks a clean log record by record, checking sync, header length, the
// record table's length rules and the CRC of every record.
std::vector<FoundRecord> WalkLog(const std::vector<uint8_t> &log);
