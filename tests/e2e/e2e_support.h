// Helpers of the end-to-end tests: run the simulator into memory, convert
// its log through ConvertFile, and read the three outputs back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "oem4conv.h"
#include "simulator.h"
#include "support/conversion_request.h"
#include "threadbuf/payloads.h"

namespace e2e {

constexpr double kC = 299792458.0;

// The log bytes and every truth line of one simulated run. A damaged
// record's fault is reported before its truth line, so each epoch, mark and
// ephemeris is marked when its own record was damaged (runs without a
// truncated tail only: that fault holds every record back by one).
struct SimRun : oem4sim::SimSink {
    std::vector<uint8_t> bytes;
    std::vector<oem4sim::EpochTruth> epochs;
    std::vector<oem4sim::SatelliteTruth> sats;
    std::vector<oem4sim::MarkTruth> marks;
    std::vector<oem4sim::SlipTruth> slips;
    std::vector<oem4sim::EphemerisTruth> ephs;
    std::vector<oem4sim::FaultTruth> faults;
    std::vector<bool> epochDamaged, markDamaged, ephDamaged;

    bool Bytes(const uint8_t *d, size_t n) override;
    void Epoch(const oem4sim::EpochTruth &e) override;
    void Satellite(const oem4sim::SatelliteTruth &s) override { sats.push_back(s); }
    void Mark(const oem4sim::MarkTruth &m) override;
    void Slip(const oem4sim::SlipTruth &s) override { slips.push_back(s); }
    void Ephemeris(const oem4sim::EphemerisTruth &e) override;
    void Fault(const oem4sim::FaultTruth &f) override;

    // True when a record of this id and header time was damaged (not
    // counting garbage put in front of it).
    bool Damaged(uint16_t id, int32_t ms) const;

private:
    bool Claim(uint16_t id, int32_t ms);
    std::vector<oem4sim::FaultTruth> unclaimed_;
};

// Runs a configuration; fails the test on an error.
void Simulate(const oem4sim::SimConfig &cfg, SimRun *run);

struct Message {
    double time;
    std::string text;
};

struct EppEphemeris {
    int prn, week, fixed, iodc, toc, iode, toe;
    double tgd, af2, af1, af0, crs, deltaN, m0, cuc, e, cus, sqrtA, cic, omega0, cis, i0, crc, omega, omegaDot, idot;
};
struct EppAlmanac {
    int prn, week, timeCode, health, healthCode;
    long toa;
    double omega, omega0, omegaDot, sqrtA, e, m0, deltaI, af0, af1;
};
struct StaMark {
    unsigned number;
    double time;
};

struct Conversion {
    int32_t result = -1;
    uint32_t epochCount = 0, ephemerisCount = 0, markCount = 0;
    std::vector<EpochRecord> epochs;
    std::vector<std::vector<MeasRecord>> meas;
    std::string tsqError; // "" when the observation file read back cleanly
    std::string eppText;
    std::vector<EppEphemeris> ephemerides;
    std::vector<EppAlmanac> almanacs;
    std::string eppError; // "" when the ephemeris file parsed cleanly
    std::vector<StaMark> marks;
    std::string staError; // "" when the mark file parsed cleanly
    std::vector<Message> messages;
};

using testsupport::FactoryOptions;

// Converts a log held in memory (written to a private temporary folder,
// removed afterwards) or a log file, and reads every output back.
Conversion ConvertLog(const std::vector<uint8_t> &log, const Oem4Options &options, const std::string &name);
Conversion ConvertPath(const std::string &input, const Oem4Options &options, const std::string &name);

// Converts a log file with the RINEX export on (version 304 or 211) into
// BASE.tsq/.epp/.sta and BASE.obs/.nav (and BASE.gnav in 2.11); returns
// ConvertFile's result, and the epochs written and messages given when asked.
int32_t ConvertWithRinex(const std::string &log, const std::string &base, int32_t version, uint32_t *epochs = nullptr,
                         std::vector<Message> *messages = nullptr);

// Text parsers of the two text outputs. Return "" or what is wrong.
std::string ParseEpp(const std::string &text, std::vector<EppEphemeris> *eph, std::vector<EppAlmanac> *alm);
std::string ParseSta(const std::string &text, std::vector<StaMark> *marks);

// WGS 84 geodetic (degrees, metres) to Earth-centred coordinates.
void GeodeticToEcef(double latDeg, double lonDeg, double h, double out[3]);

} // namespace e2e
