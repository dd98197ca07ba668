// RINEX of a multi-system log: every GPS and GLONASS observation the
// observation file keeps appears under its system with the values, signal
// strengths and GLONASS frequency channels of the log's own RANGE records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include <unistd.h>

#include "api/convert.h"
#include "common/le.h"
#include "e2e_support.h"
#include "oem4conv.h"
#include "support/rinex_reader.h"

namespace fs = std::filesystem;

namespace {

// One RANGE observation as logged, keyed by (time in ms, system, PRN, signal).
struct Logged {
    double pseudorange, adr;
    float doppler, cno;
    int channel; // GLONASS frequency channel
};
using Key = std::tuple<int32_t, uint32_t, uint32_t, uint32_t>;

std::map<Key, Logged> RangeObservations(const std::vector<uint8_t> &log) {
    std::map<Key, Logged> out;
    for (size_t at = 0; at + 32 <= log.size();) {
        const uint8_t *h = log.data() + at;
        if (h[0] != 0xAA || h[1] != 0x44 || h[2] != 0x12 || h[3] != 28) {
            ++at;
            continue;
        }
        const uint16_t id = le::U2(h + 4);
        const uint16_t length = le::U2(h + 8);
        if (at + 28 + length + 4 > log.size()) break;
        if (id == 43) {
            const int32_t ms = le::I4(h + 16);
            const uint32_t n = le::U4(h + 28);
            for (uint32_t i = 0; i < n && 32 + 44 * (i + 1) <= 28u + length; ++i) {
                const uint8_t *o = h + 32 + 44 * i;
                const uint32_t status = le::U4(o + 40);
                const uint32_t signal = (status >> 21) & 31u;
                const uint32_t system = (status >> 16) & 7u;
                out[{ms, system, le::U2(o), signal}] = {le::R8(o + 4), le::R8(o + 16), le::R4(o + 28), le::R4(o + 32),
                                                        le::U2(o + 2) - 7};
            }
        }
        at += 28 + length + 4;
    }
    return out;
}

int Index(const rinexread::ObsFile &obs, char system, const char *type) {
    const auto &types = obs.types.at(system);
    for (size_t i = 0; i < types.size(); ++i) {
        if (types[i] == type) return static_cast<int>(i);
    }
    return -1;
}

} // namespace

TEST(RinexMultiSystem, GpsAndGlonassObservationsAsLoggedWithTheirChannels) {
    oem4sim::SimConfig cfg;
    cfg.seed = 18;
    cfg.duration = 30.0;
    cfg.format = oem4sim::RangeFormat::Range;
    cfg.maxSatellites = 7;
    cfg.otherMaxSatellites = 5;
    cfg.otherSystems = oem4sim::SystemBit(1) | oem4sim::SystemBit(3);
    cfg.oem7Signals = true;
    cfg.glonassFirst = true;
    e2e::SimRun sim;
    e2e::Simulate(cfg, &sim);

    const fs::path dir = fs::temp_directory_path() / ("oem4conv_rinex_multi_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        std::ofstream f(dir / "multi.gps", std::ios::binary);
        f.write(reinterpret_cast<const char *>(sim.bytes.data()), static_cast<std::streamsize>(sim.bytes.size()));
    }
    ConvertRinexOptions rinex{};
    rinex.enabled = 1;
    SetConvertRinex(&rinex);
    static ConvertOptions options;
    std::memset(&options, 0, sizeof options);
    options.structSize = sizeof options;
    options.optionsSize = sizeof(Oem4Options);
    Oem4Options o = e2e::FactoryOptions();
    o.channels = 24;
    std::memcpy(options.converterOptions, &o, sizeof o);
    std::snprintf(options.inputFile, sizeof options.inputFile, "%s", (dir / "multi.gps").c_str());
    std::snprintf(options.outputFile, sizeof options.outputFile, "%s", (dir / "multi").c_str());
    ConvertHost host{};
    host.structSize = sizeof host;
    const int32_t result = ConvertFile(&options, &host, 0);
    SetConvertRinex(nullptr);
    ASSERT_EQ(result, 0);

    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadObs((dir / "multi.obs").string(), &obs), "");
    fs::remove_all(dir);
    EXPECT_TRUE(rinexread::CheckObsFormat(obs).empty());
    EXPECT_EQ(obs.system, 'M');
    ASSERT_EQ(obs.types.count('R'), 1u);
    ASSERT_EQ(obs.epochs.size(), options.epochCount);

    const std::map<Key, Logged> logged = RangeObservations(sim.bytes);
    int glonass = 0, gpsL2 = 0;
    for (const rinexread::ObsEpoch &e : obs.epochs) {
        int week = 0;
        double seconds = 0;
        rinexread::GpsTimeOf(e.year, e.month, e.day, e.hour, e.minute, e.second, &week, &seconds);
        const int32_t ms = static_cast<int32_t>(std::lround(seconds * 1000.0));
        for (const rinexread::SatRecord &sat : e.sats) {
            ASSERT_TRUE(sat.system == 'G' || sat.system == 'R') << sat.system;
            const uint32_t system = sat.system == 'G' ? 0 : 1;
            const uint32_t prn = sat.system == 'G' ? sat.number : sat.number + 37;
            const auto l1 = logged.find({ms, system, prn, 0u});
            ASSERT_NE(l1, logged.end()) << sat.system << sat.number << " at " << ms;
            char where[16];
            std::snprintf(where, sizeof where, "%c%d", sat.system, sat.number);
            EXPECT_NEAR(sat.values[Index(obs, sat.system, "C1C")].value, l1->second.pseudorange, 0.0005 + 1e-7)
                << where;
            EXPECT_NEAR(sat.values[Index(obs, sat.system, "L1C")].value, -l1->second.adr, 0.0005 + 1e-7) << where;
            EXPECT_NEAR(sat.values[Index(obs, sat.system, "D1C")].value, l1->second.doppler, 0.0005 + 1e-7) << where;
            EXPECT_NEAR(sat.values[Index(obs, sat.system, "S1C")].value, l1->second.cno, 0.0005 + 1e-7) << where;
            if (sat.system == 'R') {
                ++glonass;
                ASSERT_EQ(obs.glonassFrequency.count(sat.number), 1u) << where;
                EXPECT_EQ(obs.glonassFrequency.at(sat.number), l1->second.channel) << where;
            }
            // The L2 group written, and the signal of the log it must hold:
            // GPS P(Y) as W, L2C as L; GLONASS P as P, C/A as C.
            struct Group {
                char system;
                const char *code, *phase, *strength;
                uint32_t signal;
            };
            static const Group kGroups[] = {{'G', "C2W", "L2W", "S2W", 9},
                                            {'G', "C2L", "L2L", "S2L", 17},
                                            {'R', "C2P", "L2P", "S2P", 5},
                                            {'R', "C2C", "L2C", "S2C", 1}};
            int groups = 0;
            for (const Group &g : kGroups) {
                if (g.system != sat.system) continue;
                const int phase = Index(obs, sat.system, g.phase);
                if (phase < 0 || static_cast<size_t>(phase) >= sat.values.size() || !sat.values[phase].present)
                    continue;
                ++groups;
                const auto logged2 = logged.find({ms, system, prn, g.signal});
                ASSERT_NE(logged2, logged.end()) << where << " " << g.phase;
                EXPECT_NEAR(sat.values[phase].value, -logged2->second.adr, 0.0005 + 1e-7) << where;
                EXPECT_NEAR(sat.values[Index(obs, sat.system, g.strength)].value, logged2->second.cno, 0.0005 + 1e-7)
                    << where;
                const rinexread::ObsValue &c2 = sat.values[Index(obs, sat.system, g.code)];
                if (c2.present) {
                    EXPECT_NEAR(c2.value, logged2->second.pseudorange, 0.0005 + 1e-7) << where;
                }
                if (sat.system == 'G') ++gpsL2;
            }
            EXPECT_LE(groups, 1) << where;
        }
    }
    EXPECT_GT(glonass, 30);
    EXPECT_GT(gpsL2, 30);
}
