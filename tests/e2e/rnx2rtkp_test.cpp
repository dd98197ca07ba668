// The RINEX files in use by an independent processor: RTKLIB's rnx2rtkp
// (Debian package rtklib) computes single-point positions from our
// observation and navigation files alone. Its own orbit code, GLONASS
// integration included, must place the receiver where the simulator put
// it and where each system on its own puts it, and both versions must give
// the same solutions. Skips when rnx2rtkp is not installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "support/command_runner.h"
#include "support/oem4_records.h"
#include "support/scratch.h"

namespace fs = std::filesystem;

namespace {

struct Solution {
    int week = 0;
    double seconds = 0, x = 0, y = 0, z = 0;
};

// Single-point solutions (elevation mask 10 degrees) of the systems given
// (rnx2rtkp letters) from our files of BASE; `config` holds rnx2rtkp
// options. Empty when rnx2rtkp fails.
std::vector<Solution> Solve(const fs::path &base, const char *systems, const fs::path &config) {
    std::string files = "'" + base.string() + ".obs' '" + base.string() + ".nav'";
    if (fs::exists(base.string() + ".gnav")) files += " '" + base.string() + ".gnav'";
    const fs::path out = base.string() + "-" + systems + ".pos";
    const std::string command = "rnx2rtkp -k '" + config.string() + "' -p 0 -m 10 -e -sys " + systems + " -o '" +
                                out.string() + "' " + files + " >/dev/null 2>&1";
    std::vector<Solution> solutions;
    if (std::system(command.c_str()) != 0) return solutions;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
        Solution s;
        if (line.empty() || line[0] == '%') continue;
        if (std::sscanf(line.c_str(), "%d %lf %lf %lf %lf", &s.week, &s.seconds, &s.x, &s.y, &s.z) == 5)
            solutions.push_back(s);
    }
    return solutions;
}

// The mean position of the solutions.
Solution Mean(const std::vector<Solution> &solutions) {
    Solution m;
    for (const Solution &s : solutions) {
        m.x += s.x / static_cast<double>(solutions.size());
        m.y += s.y / static_cast<double>(solutions.size());
        m.z += s.z / static_cast<double>(solutions.size());
    }
    return m;
}

double Distance(const Solution &a, const Solution &b) { return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z); }

// Both versions' files of one log give the same solutions, epoch by epoch:
// they carry the same values.
void ExpectSameSolutions(const std::vector<Solution> &a, const std::vector<Solution> &b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].week, b[i].week);
        EXPECT_DOUBLE_EQ(a[i].seconds, b[i].seconds);
        EXPECT_LT(Distance(a[i], b[i]), 1e-3) << a[i].seconds;
    }
}

// rnx2rtkp's options: the models given, and times as week and seconds (a
// configuration file resets the command line's own default of that).
fs::path WriteConfig(const fs::path &dir, const char *models) {
    const fs::path config = dir / "spp.conf";
    std::ofstream(config) << models << "out-timeform =tow\n";
    return config;
}

} // namespace

// A simulated receiver without ionosphere and troposphere, solved without
// their models: every epoch, the mean within metres of the site, from each
// range record (convbin reads none of RANGECMP2, RANGECMP4 and RANGECMP5),
// in RINEX 3.04 and 2.11 alike. What is left is mostly the satellites' group delay:
// the simulator broadcasts a TGD of up to 3.6 m but leaves it out of its
// pseudoranges, and rnx2rtkp applies it (3.6 m off here).
TEST(Rnx2rtkp, SimulatedLogsGiveTheTruePositionInBothVersions) {
    if (!testsupport::HaveProgram("rnx2rtkp")) GTEST_SKIP() << "rnx2rtkp (Debian package rtklib) not installed";
    const testsupport::ScratchDir scratch("oem4conv_rnx2rtkp");
    const fs::path config = WriteConfig(scratch.path, "pos1-ionoopt =off\npos1-tropopt =off\n");
    const std::pair<oem4sim::RangeFormat, const char *> formats[] = {{oem4sim::RangeFormat::Range, "RANGE"},
                                                                     {oem4sim::RangeFormat::Rangecmp2, "RANGECMP2"},
                                                                     {oem4sim::RangeFormat::Rangecmp4, "RANGECMP4"},
                                                                     {oem4sim::RangeFormat::Rangecmp5, "RANGECMP5"}};
    for (const auto &[format, name] : formats) {
        SCOPED_TRACE(name);
        oem4sim::SimConfig cfg;
        cfg.seed = 31;
        cfg.duration = 120.0;
        cfg.startWeek = 2300;
        cfg.format = format;
        cfg.iono = false;
        cfg.tropo = false;
        e2e::SimRun sim;
        e2e::Simulate(cfg, &sim);
        ASSERT_FALSE(sim.epochs.empty());
        const oem4sim::EpochTruth &truth = sim.epochs.front();
        Solution site;
        site.x = truth.ecef[0];
        site.y = truth.ecef[1];
        site.z = truth.ecef[2];
        const fs::path log = scratch.path / (std::string(name) + ".gps");
        testsupport::WriteBytes(log, sim.bytes);
        std::vector<Solution> byVersion[2];
        for (const int32_t version : {304, 211}) {
            SCOPED_TRACE(version);
            const fs::path base = scratch.path / (std::string(name) + std::to_string(version));
            ASSERT_EQ(e2e::ConvertWithRinex(log.string(), base.string(), version), 0);
            std::vector<Solution> &solutions = byVersion[version == 304 ? 0 : 1];
            solutions = Solve(base, "G", config);
            EXPECT_EQ(solutions.size(), sim.epochs.size());
            if (!solutions.empty()) {
                EXPECT_LT(Distance(Mean(solutions), site), 10.0);
            }
        }
        ExpectSameSolutions(byVersion[0], byVersion[1]);
    }
}

// Real logs: GPS alone and GLONASS alone (a GLONASS orbit integrated by
// rnx2rtkp from our GLONASS navigation records) put the receiver in the
// same place, and RINEX 2.11 (its GLONASS navigation in BASE.gnav) gives
// the solutions of RINEX 3.04.
TEST(Rnx2rtkp, RealLogsGiveOnePositionForEverySystemAndVersion) {
    if (!testsupport::HaveProgram("rnx2rtkp")) GTEST_SKIP() << "rnx2rtkp (Debian package rtklib) not installed";
    const testsupport::ScratchDir scratch("oem4conv_rnx2rtkp");
    const fs::path config = WriteConfig(scratch.path, "pos1-ionoopt =brdc\npos1-tropopt =saas\n");
    int solved = 0;
    for (const char *name : {"oemv_200911218.gps", "gps-range-static.dat", "gps-rangecmp.dat"}) {
        const std::string log = testsupport::SharedDataFile(name);
        if (log.empty()) continue;
        SCOPED_TRACE(name);
        const bool glonass = std::string(name).rfind("oemv", 0) == 0;
        fs::path bases[2];
        for (const int32_t version : {304, 211}) {
            bases[version == 304 ? 0 : 1] = scratch.path / std::to_string(version);
            ASSERT_EQ(e2e::ConvertWithRinex(log, bases[version == 304 ? 0 : 1].string(), version), 0);
        }
        std::vector<Solution> gps;
        for (const char *systems : {"G", "R"}) {
            if (*systems == 'R' && !glonass) continue;
            SCOPED_TRACE(systems);
            const std::vector<Solution> solutions = Solve(bases[0], systems, config);
            EXPECT_GT(solutions.size(), 40u);
            ExpectSameSolutions(solutions, Solve(bases[1], systems, config));
            if (*systems == 'G') gps = solutions;
            if (*systems == 'R' && !gps.empty() && !solutions.empty()) {
                EXPECT_LT(Distance(Mean(gps), Mean(solutions)), 5.0);
            }
        }
        ++solved;
    }
    if (solved == 0) GTEST_SKIP() << "no shared data";
}
