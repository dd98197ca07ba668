// RINEX observations against an independent converter: RTKLIB's convbin
// (Debian package rtklib), run on the same logs. Wherever both write a
// value of the same signal it must be the same value, and every satellite
// convbin writes is in our file. Skips when convbin is not installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "oem4conv.h"
#include "support/command_runner.h"
#include "support/oem4_records.h"
#include "support/rinex_reader.h"
#include "support/scratch.h"

namespace fs = std::filesystem;

namespace {

// Our RINEX of a log, read back; "" or what went wrong.
std::string ConvertOurs(const std::string &log, const fs::path &base, rinexread::ObsFile *obs, int32_t version = 304) {
    if (e2e::ConvertWithRinex(log, base.string(), version) != 0) return "conversion failed";
    return rinexread::ReadObs(base.string() + ".obs", obs);
}

// convbin's RINEX 3.04 of the same log, with Doppler and signal strength.
// Its GPS week is resolved against the first epoch's date (-tr).
std::string ConvertTheirs(const std::string &log, const rinexread::ObsFile &ours, const fs::path &out,
                          rinexread::ObsFile *obs, const char *version = "3.04") {
    const std::vector<rinexread::HeaderLine> first = rinexread::Labelled(ours.header, "TIME OF FIRST OBS");
    if (first.empty()) return "no TIME OF FIRST OBS";
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    double s = 0;
    std::sscanf(first[0].content.c_str(), "%d %d %d %d %d %lf", &y, &mo, &d, &h, &mi, &s);
    char command[1024];
    std::snprintf(command, sizeof command,
                  "convbin -r nov -v %s -od -os -tr %04d/%02d/%02d %02d:%02d:%02d -o '%s' '%s' >/dev/null 2>&1",
                  version, y, mo, d, h, mi, static_cast<int>(s), out.c_str(), log.c_str());
    if (std::system(command) != 0) return "convbin failed";
    return rinexread::ReadObs(out.string(), obs);
}

double SecondsOf(const rinexread::ObsEpoch &e) {
    int week = 0;
    double seconds = 0;
    rinexread::GpsTimeOf(e.year, e.month, e.day, e.hour, e.minute, e.second, &week, &seconds);
    return week * 604800.0 + seconds;
}

struct Comparison {
    long values = 0;     // values both wrote and compared
    long satellites = 0; // convbin's satellite records found in ours
};

// Over 60 lines: one walk over both files, epoch by epoch and satellite by
// satellite, with the few differences of convention spelt out where they
// are skipped.
Comparison Compare(const rinexread::ObsFile &ours, const rinexread::ObsFile &theirs, const std::string &skipSystems) {
    Comparison c;
    std::map<long long, const rinexread::ObsEpoch *> byTime;
    for (const auto &e : ours.epochs)
        if (e.flag <= 1) byTime[std::llround(SecondsOf(e) * 1e3)] = &e;
    bool firstEpoch = true;
    for (const auto &theirEpoch : theirs.epochs) {
        if (theirEpoch.flag > 1) continue;
        const auto found = byTime.find(std::llround(SecondsOf(theirEpoch) * 1e3));
        EXPECT_NE(found, byTime.end()) << "convbin epoch at " << SecondsOf(theirEpoch) << " not in ours";
        if (found == byTime.end()) continue;
        for (const auto &theirSat : theirEpoch.sats) {
            if (skipSystems.find(theirSat.system) != std::string::npos) continue;
            const rinexread::SatRecord *ourSat = nullptr;
            for (const auto &s : found->second->sats)
                if (s.system == theirSat.system && s.number == theirSat.number) ourSat = &s;
            const std::string where =
                std::to_string(SecondsOf(theirEpoch)) + " " + theirSat.system + std::to_string(theirSat.number);
            EXPECT_NE(ourSat, nullptr) << where;
            if (ourSat == nullptr) continue;
            ++c.satellites;
            const auto &theirTypes = theirs.types.at(theirSat.system);
            const auto &ourTypes = ours.types.at(theirSat.system);
            for (size_t t = 0; t < theirTypes.size() && t < theirSat.values.size(); ++t) {
                const rinexread::ObsValue &v = theirSat.values[t];
                size_t u = 0;
                while (u < ourTypes.size() && ourTypes[u] != theirTypes[t]) ++u;
                if (!v.present || u >= ourTypes.size() || u >= ourSat->values.size()) continue;
                const rinexread::ObsValue &w = ourSat->values[u];
                // convbin leaves phases it has no wavelength for at 0 (GLONASS
                // of compressed records before a GLONASS ephemeris).
                if (!w.present || (theirTypes[t][0] == 'L' && v.value == 0.0)) continue;
                ++c.values;
                // convbin keeps signal strength to 0.25 dB-Hz.
                const double tolerance = theirTypes[t][0] == 'S' ? 0.125 + 0.0005 : 0.0005 + 1e-7;
                EXPECT_LE(std::fabs(w.value - v.value), tolerance) << where << " " << theirTypes[t];
                // convbin marks a loss of lock on every signal of its first
                // epoch; we mark none where no earlier lock time is known.
                if (theirTypes[t][0] == 'L' && !firstEpoch) {
                    EXPECT_EQ(w.lli & 3, v.lli & 3) << where << " " << theirTypes[t];
                }
            }
        }
        firstEpoch = false;
    }
    return c;
}

} // namespace

TEST(Convbin, RealLogsGiveConvbinsValues) {
    if (!testsupport::HaveProgram("convbin")) GTEST_SKIP() << "convbin (Debian package rtklib) not installed";
    int compared = 0;
    const testsupport::ScratchDir scratch("oem4conv_convbin");
    const fs::path dir = scratch.path;
    for (const char *name : {"oemv_200911218.gps", "gps-range-static.dat", "gps-rangecmp.dat"}) {
        const std::string log = testsupport::SharedDataFile(name);
        if (log.empty()) continue;
        SCOPED_TRACE(name);
        rinexread::ObsFile ours, theirs;
        ASSERT_EQ(ConvertOurs(log, dir / "ours", &ours), "");
        ASSERT_EQ(ConvertTheirs(log, ours, dir / "theirs.obs", &theirs), "");
        const Comparison c = Compare(ours, theirs, "");
        EXPECT_GT(c.values, 1000);
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "no shared data";
}

// A five-system receiver, RANGE and RANGECMP. The simulator logs two B1I
// signal types (D1 and D2 navigation data) for each BeiDou satellite, which
// no real satellite broadcasts; both are C2I, and convbin keeps the last,
// we the first, so BeiDou is left out here.
TEST(Convbin, SimulatedFiveSystemLogsGiveConvbinsValues) {
    if (!testsupport::HaveProgram("convbin")) GTEST_SKIP() << "convbin (Debian package rtklib) not installed";
    const testsupport::ScratchDir scratch("oem4conv_convbin");
    const fs::path dir = scratch.path;
    for (const oem4sim::RangeFormat format : {oem4sim::RangeFormat::Range, oem4sim::RangeFormat::Rangecmp}) {
        SCOPED_TRACE(format == oem4sim::RangeFormat::Range ? "RANGE" : "RANGECMP");
        oem4sim::SimConfig cfg;
        cfg.seed = 23;
        cfg.duration = 60.0;
        cfg.startWeek = 2300; // convbin resolves weeks near today's
        cfg.format = format;
        cfg.maxSatellites = 12;
        cfg.otherMaxSatellites = 8;
        cfg.otherSystems =
            oem4sim::SystemBit(1) | oem4sim::SystemBit(3) | oem4sim::SystemBit(4) | oem4sim::SystemBit(5);
        cfg.oem7Signals = true;
        cfg.slipsPerHour = 60.0;
        e2e::SimRun sim;
        e2e::Simulate(cfg, &sim);
        const fs::path log = dir / "five.gps";
        testsupport::WriteBytes(log, sim.bytes);
        rinexread::ObsFile ours, theirs;
        ASSERT_EQ(ConvertOurs(log.string(), dir / "ours", &ours), "");
        ASSERT_EQ(ConvertTheirs(log.string(), ours, dir / "theirs.obs", &theirs), "");
        const Comparison c = Compare(ours, theirs, "C");
        EXPECT_GT(c.values, 15000);
        EXPECT_GT(c.satellites, 1200);
    }
}

// RANGE records past 8192 bytes (218 observations of GPS and Galileo in
// every epoch), as a receiver of many signals logs them: the RINEX file has
// every one of them, with the values convbin reads from the same records.
TEST(Convbin, RangeRecordsPast8192BytesGiveConvbinsValues) {
    if (!testsupport::HaveProgram("convbin")) GTEST_SKIP() << "convbin (Debian package rtklib) not installed";
    struct Track {
        uint32_t system, signal, satellites;
    };
    const Track tracks[] = {{0, 0, 32}, {0, 9, 32}, {0, 17, 32}, {0, 14, 32}, {3, 2, 30}, {3, 12, 30}, {3, 17, 30}};
    std::vector<uint8_t> log;
    for (int k = 0; k < 3; ++k) {
        testsupport::Bytes body;
        body.u4(218);
        for (const Track &t : tracks) {
            for (uint16_t prn = 1; prn <= t.satellites; ++prn) {
                const double range = 2.0e7 + prn * 1.0e5 + t.signal * 3.25 + k * 512.5;
                body.u2(prn).u2(0).r8(range).r4(0.1f).r8(-(range / 0.19 + 0.375 * t.signal)).r4(0.01f);
                body.r4(-2500.0f + 10.0f * static_cast<float>(prn)).r4(35.0f + 0.25f * static_cast<float>(t.signal));
                body.r4(100.0f + static_cast<float>(k)).u4(0x1C00 | t.system << 16 | t.signal << 21);
            }
        }
        const std::vector<uint8_t> r = testsupport::MakeRecord(43, body.data(), {2300, 345600000 + 1000 * k, 180});
        ASSERT_GT(r.size(), 8192u);
        log.insert(log.end(), r.begin(), r.end());
    }
    const testsupport::ScratchDir scratch("oem4conv_convbin");
    const fs::path path = scratch.path / "long.gps";
    testsupport::WriteBytes(path, log);
    rinexread::ObsFile ours, theirs;
    ASSERT_EQ(ConvertOurs(path.string(), scratch.path / "ours", &ours), "");
    ASSERT_EQ(ConvertTheirs(path.string(), ours, scratch.path / "theirs.obs", &theirs), "");
    ASSERT_EQ(theirs.epochs.size(), 3u);
    const Comparison c = Compare(ours, theirs, "");
    EXPECT_EQ(c.satellites, 3 * 62);
    EXPECT_EQ(c.values, 3 * 218 * 4);
}

// RINEX 2.11: GPS, GLONASS and SBAS with the 2.11 types, the values
// convbin writes for them; the other systems are not in the file.
TEST(Convbin, Rinex211GivesConvbinsValues) {
    if (!testsupport::HaveProgram("convbin")) GTEST_SKIP() << "convbin (Debian package rtklib) not installed";
    const testsupport::ScratchDir scratch("oem4conv_convbin");
    const fs::path dir = scratch.path;
    std::vector<std::string> logs;
    for (const char *name : {"oemv_200911218.gps", "gps-range-static.dat"}) {
        const std::string log = testsupport::SharedDataFile(name);
        if (!log.empty()) logs.push_back(log);
    }
    oem4sim::SimConfig cfg;
    cfg.seed = 5;
    cfg.duration = 40.0;
    cfg.startWeek = 2300;
    cfg.format = oem4sim::RangeFormat::Rangecmp;
    cfg.otherSystems = oem4sim::SystemBit(1) | oem4sim::SystemBit(3);
    cfg.oem7Signals = true;
    e2e::SimRun sim;
    e2e::Simulate(cfg, &sim);
    testsupport::WriteBytes(dir / "sim.gps", sim.bytes);
    logs.push_back((dir / "sim.gps").string());
    for (const std::string &log : logs) {
        SCOPED_TRACE(log);
        rinexread::ObsFile ours, theirs;
        ASSERT_EQ(ConvertOurs(log, dir / "ours", &ours, 211), "");
        EXPECT_EQ(ours.version, 2.11);
        for (const auto &line : ours.lines) EXPECT_LE(line.size(), 80u);
        ASSERT_EQ(ConvertTheirs(log, ours, dir / "theirs.obs", &theirs, "2.11"), "");
        for (const auto &e : ours.epochs)
            for (const auto &sat : e.sats) EXPECT_NE(std::string("GRS").find(sat.system), std::string::npos);
        const Comparison c = Compare(ours, theirs, "EJC");
        EXPECT_GT(c.values, 1000);
    }
}
