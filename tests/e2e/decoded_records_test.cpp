// Logs that carry the receiver's decoded ephemerides (GPSEPHEM) and its
// Earth-centred positions (BESTXYZ) instead of, or beside, RAWEPHEM and
// BESTPOS: a real log against the receiver's own ASCII log of the same
// session, and simulated logs written both ways.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "support/oem4_records.h"
#include "support/rinex_reader.h"
#include "support/scratch.h"

using namespace oem4sim;
using namespace e2e;

namespace {

// One ASCII log line split into its header and body fields.
struct AsciiRecord {
    std::vector<std::string> header, body;
};

std::vector<std::string> Split(const std::string &text, char by) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string field;
    while (std::getline(in, field, by)) out.push_back(field);
    return out;
}

std::vector<AsciiRecord> AsciiRecords(const std::string &path, const std::string &name) {
    std::vector<AsciiRecord> out;
    const std::vector<uint8_t> bytes = testsupport::ReadFileBytes(path);
    std::stringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("#" + name + ",", 0) != 0) continue;
        const size_t semicolon = line.find(';'), star = line.rfind('*');
        if (semicolon == std::string::npos || star == std::string::npos || star < semicolon) continue;
        out.push_back(
            {Split(line.substr(1, semicolon - 1), ','), Split(line.substr(semicolon + 1, star - semicolon - 1), ',')});
    }
    return out;
}

// Half a unit of the last digit printed: "2.438194543e+00" -> 5e-10.
double HalfUnit(const std::string &text) {
    const size_t dot = text.find('.'), e = text.find_first_of("eE");
    const int decimals = dot == std::string::npos ? 0
                         : e == std::string::npos ? static_cast<int>(text.size() - dot - 1)
                                                  : static_cast<int>(e - dot - 1);
    const int exponent = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
    return 0.5 * std::pow(10.0, exponent - decimals);
}
// The same for a value of the ephemeris file, written with `decimals`
// digits after the point in exponent form.
double HalfUnit(double value, int decimals) {
    if (value == 0.0) return 0.0;
    return 0.5 * std::pow(10.0, std::floor(std::log10(std::fabs(value))) - decimals);
}

// Blocks of an ephemeris file, the identification line left out.
std::vector<std::string> Blocks(const std::string &epp) {
    std::vector<std::string> out;
    size_t at = epp.find('\n') + 1;
    while (at < epp.size()) {
        const size_t end = epp.find("\n}\n", at);
        if (end == std::string::npos) break;
        out.push_back(epp.substr(at, end + 3 - at));
        at = end + 3;
    }
    return out;
}

double MetresBetween(const EpochRecord &a, const EpochRecord &b) {
    double p[3], q[3];
    GeodeticToEcef(a.latitude, a.longitude, a.height, p);
    GeodeticToEcef(b.latitude, b.longitude, b.height, q);
    return std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
}

} // namespace

TEST(DecodedRecords, RealLogMatchesTheReceiversAsciiLog) {
    const std::string binary = testsupport::SharedDataFile("gps-rangecmp.dat");
    const std::string ascii = testsupport::SharedDataFile("gps-rangecmp.asc");
    if (binary.empty() || ascii.empty()) GTEST_SKIP() << "shared receiver logs not present";
    const Conversion out = ConvertPath(binary, FactoryOptions(), "gavlab");
    ASSERT_EQ(out.result, 0);
    ASSERT_EQ(out.eppError, "");

    // One block per healthy GPSEPHEM, each with the receiver's values.
    size_t healthy = 0;
    for (const AsciiRecord &r : AsciiRecords(ascii, "GPSEPHEMA")) {
        ASSERT_EQ(r.body.size(), 32u);
        if (std::stoi(r.body[2]) != 0) continue;
        ++healthy;
        const int prn = std::stoi(r.body[0]), toe = static_cast<int>(std::stod(r.body[7]));
        SCOPED_TRACE("PRN " + r.body[0]);
        int found = 0;
        for (const EppEphemeris &e : out.ephemerides) {
            if (e.prn != prn || e.toe != toe || e.iode != std::stoi(r.body[3])) continue;
            ++found;
            EXPECT_EQ(e.week, std::stoi(r.body[6]) % 1024);
            EXPECT_EQ(e.iodc, std::stoi(r.body[23]));
            EXPECT_EQ(e.toc, static_cast<int>(std::stod(r.body[24])));
            // Each value as the coarser of the two prints gives it, and the
            // rounded scale factors (parts in 1e12) on top.
            auto same = [&](double mine, int decimals, int field) {
                const double theirs = std::stod(r.body[static_cast<size_t>(field)]);
                EXPECT_NEAR(mine, theirs,
                            HalfUnit(r.body[static_cast<size_t>(field)]) + HalfUnit(mine, decimals) +
                                1e-11 * std::fabs(theirs))
                    << "field " << field;
            };
            same(e.deltaN, 8, 9);
            same(e.m0, 14, 10);
            same(e.e, 14, 11);
            same(e.omega, 14, 12);
            same(e.cuc, 8, 13);
            same(e.cus, 8, 14);
            same(e.crc, 8, 15);
            same(e.crs, 8, 16);
            same(e.cic, 8, 17);
            same(e.cis, 8, 18);
            same(e.i0, 14, 19);
            same(e.idot, 8, 20);
            same(e.omega0, 14, 21);
            same(e.omegaDot, 8, 22);
            same(e.tgd, 8, 25);
            same(e.af0, 8, 26);
            same(e.af1, 8, 27);
            same(e.af2, 8, 28);
            const double a = std::stod(r.body[8]);
            EXPECT_NEAR(e.sqrtA, std::sqrt(a), HalfUnit(r.body[8]) / (2.0 * std::sqrt(a)) + HalfUnit(e.sqrtA, 14));
        }
        EXPECT_EQ(found, 1);
    }
    EXPECT_EQ(healthy, 13u);
    EXPECT_EQ(out.ephemerides.size(), healthy);
    EXPECT_EQ(out.ephemerisCount, healthy);

    // Every epoch carries the latest BESTXYZ position before it: this
    // receiver logs the one of each second right after the observations.
    std::map<std::string, std::vector<double>> xyzOfEpoch;
    {
        const std::vector<uint8_t> bytes = testsupport::ReadFileBytes(ascii);
        std::stringstream in(std::string(bytes.begin(), bytes.end()));
        std::string line;
        std::vector<double> latest;
        while (std::getline(in, line)) {
            const std::vector<std::string> fields = Split(line, ',');
            if (fields.size() < 7) continue;
            if (fields[0] == "#RANGECMPA" && !latest.empty()) xyzOfEpoch[fields[6]] = latest;
            if (fields[0] != "#BESTXYZA") continue;
            ASSERT_GE(fields.size(), 14u);
            ASSERT_NE(fields[9].find("SOL_COMPUTED"), std::string::npos);
            latest = {std::stod(fields[11]), std::stod(fields[12]), std::stod(fields[13])};
        }
    }
    ASSERT_EQ(out.epochs.size(), 429u);
    size_t compared = 0;
    for (const EpochRecord &e : out.epochs) {
        char time[32];
        std::snprintf(time, sizeof time, "%.3f", +e.receiverTime);
        SCOPED_TRACE(time);
        EXPECT_EQ(e.flags & 1, 1);
        const auto it = xyzOfEpoch.find(time);
        if (it == xyzOfEpoch.end()) continue;
        ++compared;
        double p[3];
        GeodeticToEcef(e.latitude, e.longitude, e.height, p);
        // The ASCII log prints 0.1 mm; the epoch holds its height in single
        // precision (0.015 mm at this height).
        EXPECT_LT(std::hypot(p[0] - it->second[0], p[1] - it->second[1], p[2] - it->second[2]), 0.002);
    }
    EXPECT_GE(compared, 420u);
}

// The receiver logs each broadcast as RAWEPHEM and as GPSEPHEM: the two
// blocks (and the two messages) of one broadcast are the same text.
TEST(DecodedRecords, BroadcastLoggedBothWaysGivesIdenticalBlocks) {
    SimConfig cfg;
    cfg.seed = 5;
    cfg.startSeconds = 9000; // a new ephemeris set at 10800 s comes in
    cfg.duration = 3000;
    cfg.rate = 0.2;
    cfg.unhealthyPrn = 12; // in view, with two broadcasts
    cfg.ephemerisRecords = EphemerisRecords::Both;
    SimRun s;
    Simulate(cfg, &s);
    const Conversion out = ConvertLog(s.bytes, FactoryOptions(), "both_ephemerides");
    ASSERT_EQ(out.result, 0);
    ASSERT_EQ(out.eppError, "");

    std::vector<std::string> blocks;
    for (const std::string &b : Blocks(out.eppText))
        if (b.rfind("GpsEph ", 0) == 0) blocks.push_back(b);
    size_t healthy = 0;
    for (const EphemerisTruth &t : s.ephs) healthy += t.eph.health == 0;
    ASSERT_GT(healthy, 12u);
    ASSERT_EQ(blocks.size(), 2 * healthy);
    for (size_t i = 0; i + 1 < blocks.size(); i += 2) EXPECT_EQ(blocks[i + 1], blocks[i]);

    std::vector<std::string> messages;
    for (const Message &m : out.messages)
        if (m.text.rfind("Ephemeris received", 0) == 0) messages.push_back(m.text);
    ASSERT_EQ(messages.size(), 2 * s.ephs.size());
    for (size_t i = 0; i + 1 < messages.size(); i += 2) EXPECT_EQ(messages[i + 1], messages[i]);

    // The RINEX navigation file takes every record of every broadcast, the
    // unhealthy satellite's with its health, which BASE.epp refuses.
    const testsupport::ScratchDir scratch;
    testsupport::WriteBytes(scratch / "both.gps", s.bytes);
    ASSERT_EQ(ConvertWithRinex(scratch / "both.gps", scratch / "both", 304), 0);
    rinexread::NavFile nav;
    ASSERT_EQ(rinexread::ReadCheckedNav(scratch / "both.nav", &nav), "");
    ASSERT_EQ(nav.records.size(), 2 * s.ephs.size());
    size_t unhealthy = 0;
    for (const rinexread::NavRecord &r : nav.records) {
        EXPECT_EQ(r.orbit[5][1] != 0.0, r.number == cfg.unhealthyPrn) << r.number; // SV health
        unhealthy += r.number == cfg.unhealthyPrn;
    }
    EXPECT_EQ(unhealthy, 2 * (s.ephs.size() - healthy));
    EXPECT_GT(unhealthy, 0u);

    // GPSEPHEM alone gives the file that RAWEPHEM alone gives.
    cfg.ephemerisRecords = EphemerisRecords::Rawephem;
    SimRun raw;
    Simulate(cfg, &raw);
    cfg.ephemerisRecords = EphemerisRecords::Gpsephem;
    SimRun decoded;
    Simulate(cfg, &decoded);
    const std::string rawEpp = ConvertLog(raw.bytes, FactoryOptions(), "rawephem").eppText;
    size_t rawBlocks = 0;
    for (const std::string &b : Blocks(rawEpp)) rawBlocks += b.rfind("GpsEph ", 0) == 0;
    EXPECT_EQ(rawBlocks, healthy);
    EXPECT_EQ(ConvertLog(decoded.bytes, FactoryOptions(), "gpsephem").eppText, rawEpp);
}

// One simulated flight logged with BESTPOS, with BESTXYZ and with both.
TEST(DecodedRecords, BestxyzGivesTheEpochPositionOfBestpos) {
    SimConfig cfg;
    cfg.seed = 9;
    cfg.duration = 600;
    cfg.motion = Motion::SurveyFlight;
    cfg.height = 2500;
    std::vector<EpochRecord> epochs[3];
    const PositionRecords kinds[3] = {PositionRecords::Bestpos, PositionRecords::Bestxyz, PositionRecords::Both};
    for (int k = 0; k < 3; ++k) {
        cfg.positionRecords = kinds[k];
        SimRun s;
        Simulate(cfg, &s);
        Conversion out = ConvertLog(s.bytes, FactoryOptions(), "position" + std::to_string(k));
        ASSERT_EQ(out.result, 0);
        ASSERT_EQ(out.epochs.size(), 600u);
        epochs[k] = out.epochs;
    }
    for (size_t i = 0; i < epochs[0].size(); ++i) {
        SCOPED_TRACE(i);
        const EpochRecord &bestpos = epochs[0][i], &bestxyz = epochs[1][i], &both = epochs[2][i];
        EXPECT_EQ(bestpos.flags & 1, 1);
        EXPECT_EQ(+bestxyz.flags, +bestpos.flags);
        EXPECT_LT(MetresBetween(bestxyz, bestpos), 0.001);
        // Beside BESTPOS, BESTXYZ changes nothing.
        EXPECT_EQ(+both.latitude, +bestpos.latitude);
        EXPECT_EQ(+both.longitude, +bestpos.longitude);
        EXPECT_EQ(+both.height, +bestpos.height);
    }
}
