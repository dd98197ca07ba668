// RINEX of a five-system log: every observation of every signal of the
// log's own range records appears under its system and RINEX code with its
// values, signal strength and GLONASS frequency channel; the compressed
// records of the same scene, RANGECMP2, RANGECMP4 and RANGECMP5 included,
// give the same values to their resolution.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "common/le.h"
#include "common/oem4_format.h"
#include "e2e_support.h"
#include "oem4/signals.h"
#include "oem4conv.h"
#include "support/oem4_records.h"
#include "support/rinex_reader.h"
#include "support/scratch.h"

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

// The RINEX code of each signal the simulator logs, and back: (system,
// signal type) as the tracking status word numbers them.
struct CodeOf {
    char letter;
    const char *code;
    uint32_t system, signal;
};
constexpr CodeOf kCodes[] = {{'G', "1C", 0, 0}, {'G', "2W", 0, 9},  {'G', "2S", 0, 17}, {'G', "5Q", 0, 14},
                             {'R', "1C", 1, 0}, {'R', "2C", 1, 1},  {'R', "2P", 1, 5},  {'S', "1C", 2, 0},
                             {'E', "1C", 3, 2}, {'E', "5Q", 3, 12}, {'E', "7Q", 3, 17}, {'E', "8Q", 3, 20},
                             {'C', "2I", 4, 0}, {'C', "7I", 4, 1},  {'C', "5P", 4, 9},  {'C', "7D", 4, 11},
                             {'J', "1C", 5, 0}, {'J', "2S", 5, 17}, {'J', "5Q", 5, 14}};

uint32_t PrnOf(char letter, int number) {
    return letter == 'R'   ? static_cast<uint32_t>(number) + 37
           : letter == 'S' ? static_cast<uint32_t>(number) + 100
           : letter == 'J' ? static_cast<uint32_t>(number) + 192
                           : static_cast<uint32_t>(number);
}

struct RinexRun {
    rinexread::ObsFile obs;
    uint32_t epochs = 0;
};

RinexRun ConvertToRinex(const std::vector<uint8_t> &log, const char *name) {
    const testsupport::ScratchDir scratch("oem4conv_rinex_multi", name);
    const fs::path dir = scratch.path;
    testsupport::WriteBytes(dir / (std::string(name) + ".gps"), log);
    RinexRun run;
    EXPECT_EQ(
        e2e::ConvertWithRinex((dir / (std::string(name) + ".gps")).string(), (dir / name).string(), 304, &run.epochs),
        0);
    EXPECT_EQ(rinexread::ReadCheckedObs((dir / (std::string(name) + ".obs")).string(), &run.obs), "");
    return run;
}

const rinexread::ObsValue *Field(const rinexread::ObsFile &obs, const rinexread::SatRecord &sat, char type,
                                 const char *code) {
    const rinexread::ObsValue *value = rinexread::ValueOf(obs, sat, std::string(1, type) + code);
    return value != nullptr && value->present ? value : nullptr;
}

oem4sim::SimConfig FiveSystems(oem4sim::RangeFormat format) {
    oem4sim::SimConfig cfg;
    cfg.seed = 18;
    cfg.duration = 30.0;
    cfg.format = format;
    cfg.maxSatellites = 9;
    cfg.otherMaxSatellites = 6;
    cfg.otherSystems = oem4sim::SystemBit(1) | oem4sim::SystemBit(3) | oem4sim::SystemBit(4) | oem4sim::SystemBit(5);
    cfg.oem7Signals = true;
    cfg.glonassFirst = true;
    return cfg;
}

} // namespace

// Every satellite of all five systems in every epoch, whatever the
// observation file's channels, each value the RANGE record's own.
TEST(RinexMultiSystem, EverySignalOfFiveSystemsAsLogged) {
    e2e::SimRun sim;
    e2e::Simulate(FiveSystems(oem4sim::RangeFormat::Range), &sim);
    const RinexRun run = ConvertToRinex(sim.bytes, "range");
    const rinexread::ObsFile &obs = run.obs;
    EXPECT_EQ(obs.system, 'M');
    for (char letter : {'G', 'R', 'E', 'C', 'J'}) EXPECT_EQ(obs.types.count(letter), 1u) << letter;
    ASSERT_EQ(obs.epochs.size(), run.epochs);

    const std::map<Key, Logged> logged = RangeObservations(sim.bytes);
    std::map<char, int> satellites;
    size_t matched = 0;
    for (const rinexread::ObsEpoch &e : obs.epochs) {
        const int32_t ms = static_cast<int32_t>(std::lround(rinexread::SecondsOfWeek(e) * 1000.0));
        for (const rinexread::SatRecord &sat : e.sats) {
            ++satellites[sat.system];
            char where[16];
            std::snprintf(where, sizeof where, "%c%02d", sat.system, sat.number);
            for (const CodeOf &c : kCodes) {
                if (c.letter != sat.system) continue;
                const auto found = logged.find({ms, c.system, PrnOf(sat.system, sat.number), c.signal});
                const rinexread::ObsValue *code = Field(obs, sat, 'C', c.code);
                if (found == logged.end()) {
                    EXPECT_EQ(code, nullptr) << where << " " << c.code;
                    continue;
                }
                ++matched;
                const Logged &l = found->second;
                const rinexread::ObsValue *phase = Field(obs, sat, 'L', c.code);
                const rinexread::ObsValue *doppler = Field(obs, sat, 'D', c.code);
                const rinexread::ObsValue *strength = Field(obs, sat, 'S', c.code);
                ASSERT_TRUE(code && phase && doppler && strength) << where << " " << c.code << " at " << ms;
                EXPECT_NEAR(code->value, l.pseudorange, 0.0005 + 1e-7) << where << c.code;
                EXPECT_NEAR(phase->value, -l.adr, 0.0005 + 1e-7) << where << c.code;
                EXPECT_NEAR(doppler->value, l.doppler, 0.0005 + 1e-7) << where << c.code;
                EXPECT_NEAR(strength->value, l.cno, 0.0005 + 1e-7) << where << c.code;
                if (sat.system == 'R') {
                    ASSERT_EQ(obs.glonassFrequency.count(sat.number), 1u) << where;
                    EXPECT_EQ(obs.glonassFrequency.at(sat.number), l.channel) << where;
                }
            }
        }
    }
    // Every logged observation of a signal RINEX names was found (BeiDou's
    // second B1I type shares the code of the first and is not).
    size_t expected = 0;
    for (const auto &[key, value] : logged) {
        const uint32_t system = std::get<1>(key), signal = std::get<3>(key);
        for (const CodeOf &c : kCodes) expected += c.system == system && c.signal == signal ? 1 : 0;
    }
    EXPECT_EQ(matched, expected);
    EXPECT_GT(matched, 2000u);
    // More satellites an epoch than the observation file's 12 channels.
    EXPECT_GT((satellites['G'] + satellites['R'] + satellites['E'] + satellites['C'] + satellites['J']) /
                  static_cast<int>(obs.epochs.size()),
              12);
}

// The compressed records of the same scene (RANGECMP, RANGECMP2, RANGECMP4
// and RANGECMP5): every observation of the RANGE log to each record's
// resolution (RINEX keeps 3 decimals). RANGECMP keeps the RANGE log's
// satellite order; the packed records list theirs in their own order.
TEST(RinexMultiSystem, CompressedRecordsGiveTheSameObservations) {
    struct Format {
        oem4sim::RangeFormat format;
        double code, phase, doppler, strength; // tolerances
        double slack;
        bool sameOrder;
        // The carrier phase rebuilt from its 2^23-cycle rollovers with each
        // signal's own wavelength: the simulated GLONASS and L5-band
        // signals ride on GPS frequencies, which only a whole number of
        // rollovers can tell apart.
        bool rollovers;
    } formats[] = {
        {oem4sim::RangeFormat::Rangecmp, 1.0 / 128, 1.0 / 256, 1.0 / 256, 1.0, 0.001, true, true},
        {oem4sim::RangeFormat::Rangecmp2, 1.0 / 256, 0.003, 1.0 / 256, 0.5, 0.0005, false, false},
        {oem4sim::RangeFormat::Rangecmp4, 0.0006, 0.0011, 0.002, 0.026, 0.0005, false, false},
        {oem4sim::RangeFormat::Rangecmp5, 0.0006, 0.0011, 0.002, 0.026, 0.0005, false, false},
    };
    e2e::SimRun full;
    e2e::Simulate(FiveSystems(oem4sim::RangeFormat::Range), &full);
    const RinexRun a = ConvertToRinex(full.bytes, "full");
    for (const Format &f : formats) {
        SCOPED_TRACE(oem4sim::RangeFormatName(f.format));
        e2e::SimRun packed;
        e2e::Simulate(FiveSystems(f.format), &packed);
        const RinexRun b = ConvertToRinex(packed.bytes, "packed");
        ASSERT_EQ(a.obs.epochs.size(), b.obs.epochs.size());
        EXPECT_EQ(a.obs.types, b.obs.types);
        size_t compared = 0;
        for (size_t i = 0; i < a.obs.epochs.size(); ++i) {
            const auto &sa = a.obs.epochs[i].sats;
            const auto &sb = b.obs.epochs[i].sats;
            ASSERT_EQ(sa.size(), sb.size()) << i;
            for (const rinexread::SatRecord &x : sa) {
                auto y = std::find_if(sb.begin(), sb.end(), [&](const rinexread::SatRecord &s) {
                    return s.system == x.system && s.number == x.number;
                });
                ASSERT_NE(y, sb.end()) << i << " " << x.system << x.number;
                if (f.sameOrder) {
                    EXPECT_EQ(y - sb.begin(), &x - sa.data()) << i << " " << x.system << x.number;
                }
                const auto &types = a.obs.types.at(x.system);
                for (size_t t = 0; t < types.size() && t < x.values.size(); ++t) {
                    ASSERT_LT(t, y->values.size());
                    const rinexread::ObsValue &va = x.values[t], &vb = y->values[t];
                    ASSERT_EQ(va.present, vb.present) << i << " " << x.system << x.number << " " << types[t];
                    if (!va.present) continue;
                    ++compared;
                    double diff = vb.value - va.value;
                    if (f.rollovers && types[t][0] == 'L' &&
                        !(x.system == 'G' && (types[t] == "L1C" || types[t][1] == '2'))) {
                        diff -= std::round(diff / 8388608.0) * 8388608.0;
                    }
                    const double tolerance = types[t][0] == 'C'   ? f.code
                                             : types[t][0] == 'L' ? f.phase
                                             : types[t][0] == 'D' ? f.doppler
                                                                  : f.strength;
                    EXPECT_LE(std::fabs(diff), tolerance + f.slack)
                        << i << " " << x.system << x.number << " " << types[t];
                }
            }
        }
        EXPECT_GT(compared, 5000u);
    }
}

// Receivers' compressed records as NovAtel publishes them with the RANGE
// records its open decoder makes of them (tests/oem4/data), in one log in
// time order: every observation of that independent decoding is in the
// RINEX file under its satellite and code with its values, but those of
// the GLONASS satellites whose slot the receiver did not know yet.
TEST(RinexMultiSystem, PublishedRecordsReachRinexWithTheirDecodedValues) {
    std::vector<testsupport::PublishedRange> records = testsupport::PublishedRangeRecords();
    ASSERT_EQ(records.size(), 10u);
    std::stable_sort(records.begin(), records.end(), [](const auto &a, const auto &b) {
        return std::tie(a.packed.time.week, a.packed.time.milliseconds) <
               std::tie(b.packed.time.week, b.packed.time.milliseconds);
    });
    std::vector<uint8_t> log;
    for (const testsupport::PublishedRange &p : records) {
        const std::vector<uint8_t> record = testsupport::MakeRecord(p.messageId, p.body, p.packed.time);
        log.insert(log.end(), record.begin(), record.end());
    }
    const RinexRun run = ConvertToRinex(log, "published");
    ASSERT_EQ(run.obs.epochs.size(), records.size());
    constexpr size_t kRangeFields = 10;
    size_t compared = 0, slotUnknown = 0;
    std::map<int, std::set<int>> channels; // of each GLONASS slot
    for (size_t i = 0; i < records.size(); ++i) {
        const rinexread::ObsEpoch &e = run.obs.epochs[i];
        const std::vector<std::string> &x = records[i].range.fields;
        EXPECT_EQ(std::lround(rinexread::SecondsOfWeek(e) * 1000.0), records[i].packed.time.milliseconds) << i;
        for (size_t k = 0; k < std::stoul(x[0]); ++k) {
            const std::string *o = &x[1 + k * kRangeFields];
            const uint32_t prn = std::stoul(o[0]), status = std::stoul(o[9], nullptr, 16);
            const uint32_t system = TrackingSystem(status), signal = TrackingSignal(status);
            if (system == SYS_GLONASS && prn <= kGlonassPrnOffset) {
                ++slotUnknown;
                continue;
            }
            const CodeOf *c = std::find_if(std::begin(kCodes), std::end(kCodes),
                                           [&](const CodeOf &c) { return c.system == system && c.signal == signal; });
            ASSERT_NE(c, std::end(kCodes)) << "system " << system << " signal " << signal;
            const auto sat = std::find_if(e.sats.begin(), e.sats.end(), [&](const rinexread::SatRecord &s) {
                return s.system == c->letter && PrnOf(c->letter, s.number) == prn;
            });
            ASSERT_NE(sat, e.sats.end()) << i << " " << c->letter << " PRN " << prn;
            const rinexread::ObsValue *code = Field(run.obs, *sat, 'C', c->code);
            const rinexread::ObsValue *phase = Field(run.obs, *sat, 'L', c->code);
            const rinexread::ObsValue *doppler = Field(run.obs, *sat, 'D', c->code);
            const rinexread::ObsValue *strength = Field(run.obs, *sat, 'S', c->code);
            ASSERT_TRUE(code && phase && doppler && strength) << i << " " << c->letter << prn << " " << c->code;
            // Both sides rounded to their printed digits.
            EXPECT_NEAR(code->value, std::stod(o[2]), 0.0011) << c->letter << prn << c->code;
            EXPECT_NEAR(phase->value, -std::stod(o[4]), 0.0011) << c->letter << prn << c->code;
            EXPECT_NEAR(doppler->value, std::stod(o[6]), 0.0011) << c->letter << prn << c->code;
            EXPECT_NEAR(strength->value, std::stod(o[7]), 0.051) << c->letter << prn << c->code;
            if (c->letter == 'R') channels[sat->number].insert(std::stoi(o[1]) - 7);
            ++compared;
        }
    }
    // The log spans years, in which a slot's satellite and channel may
    // change; the header holds one of the slot's channels.
    for (const auto &[slot, seen] : channels) {
        ASSERT_EQ(run.obs.glonassFrequency.count(slot), 1u) << slot;
        EXPECT_EQ(seen.count(run.obs.glonassFrequency.at(slot)), 1u) << slot;
    }
    EXPECT_EQ(slotUnknown, 4u);
    EXPECT_EQ(compared, 672u);
}
