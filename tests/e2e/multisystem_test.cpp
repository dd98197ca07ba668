// Logs of today's multi-system receivers, end to end: a five-system scene
// with its signal sets (GLONASS listed before GPS), converted in RANGE,
// RANGECMP, RANGECMP2, RANGECMP4 and RANGECMP5, checked against the
// simulator's truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "api/convert.h"
#include "common/error_text.h"
#include "common/le.h"
#include "common/oem4_format.h"
#include "e2e_support.h"
#include "oem4/crc32.h"
#include "support/scratch.h"

using namespace e2e;
using oem4sim::SimConfig;
using oem4sim::SystemBit;

namespace {

// 7 GPS and at most 5 GLONASS satellites keep every compressed record within
// 24 observations the file takes; Galileo, BeiDou and QZSS add 10 or more.
SimConfig FiveSystems(oem4sim::RangeFormat format) {
    SimConfig cfg;
    cfg.seed = 15;
    cfg.duration = 90.0;
    cfg.format = format;
    cfg.maxSatellites = 7;
    cfg.otherMaxSatellites = 5;
    cfg.otherSystems = SystemBit(1) | SystemBit(3) | SystemBit(4) | SystemBit(5);
    cfg.oem7Signals = true;
    cfg.glonassFirst = true;
    cfg.satelliteTruth = true;
    return cfg;
}

Oem4Options WithChannels(uint32_t channels) {
    Oem4Options o = FactoryOptions();
    o.channels = channels;
    return o;
}

struct SceneRun {
    SimRun sim;
    Conversion conv;
    ConversionStats stats;
};

void SimulateAndConvert(const SimConfig &cfg, uint32_t channels, const char *name, SceneRun *run) {
    Simulate(cfg, &run->sim);
    run->conv = ConvertLog(run->sim.bytes, WithChannels(channels), name);
    run->stats = LastConversionStats();
}

bool IsRangeRecord(uint16_t id) {
    return id == kMsgRange || id == kMsgRangecmp || id == kMsgRangecmp2 || id == kMsgRangecmp4 || id == kMsgRangecmp5;
}

// The records of a simulated log, each whole.
std::vector<std::vector<uint8_t>> Records(const std::vector<uint8_t> &log) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at + kOem4HeaderLength <= log.size();) {
        const size_t end = at + kOem4HeaderLength + le::U2(&log[at + kHeaderMessageLengthAt]) + kOem4CrcLength;
        out.emplace_back(log.begin() + static_cast<long>(at), log.begin() + static_cast<long>(end));
        at = end;
    }
    return out;
}

// Before each range record of the first log, the range record of the same
// time from the second; with `secondAntenna`, marked as a dual-antenna
// receiver marks its second antenna's (and its CRC made right again).
std::vector<uint8_t> InterleavedLog(const std::vector<uint8_t> &first, const std::vector<uint8_t> &second,
                                    bool secondAntenna, uint32_t *secondRanges) {
    std::vector<std::vector<uint8_t>> others;
    for (std::vector<uint8_t> &r : Records(second)) {
        if (!IsRangeRecord(le::U2(&r[kHeaderMessageIdAt]))) continue;
        if (secondAntenna) {
            r[kHeaderMessageTypeAt] =
                static_cast<uint8_t>((r[kHeaderMessageTypeAt] & ~kMeasurementSourceMask) | kSecondAntennaSource);
            const size_t covered = r.size() - kOem4CrcLength;
            le::Store<uint32_t>(&r[covered], Oem4Crc32(r.data(), covered));
        }
        others.push_back(std::move(r));
    }
    std::vector<uint8_t> out;
    size_t next = 0;
    *secondRanges = 0;
    for (const std::vector<uint8_t> &r : Records(first)) {
        const int32_t ms = le::I4(&r[kHeaderMillisecondsAt]);
        for (; IsRangeRecord(le::U2(&r[kHeaderMessageIdAt])) && next < others.size() &&
               le::I4(&others[next][kHeaderMillisecondsAt]) <= ms;
             ++next, ++*secondRanges) {
            out.insert(out.end(), others[next].begin(), others[next].end());
        }
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// The RINEX observation file's records, after its header (which names the
// log and the time it was written).
std::string ObservationRecords(const std::string &path) {
    const std::string text = testsupport::ReadText(path);
    const size_t end = text.find("END OF HEADER");
    return end == std::string::npos ? std::string() : text.substr(end);
}

} // namespace

// A receiver with two antennas logs the ranges of both at the same times,
// the second antenna's in records marked in their header (RANGECMPB_1 and
// the like). Taken as epochs, they would put the other antenna's
// observations, a metre and a half away here, into the first antenna's
// files. Each encoding: the files are those of the first antenna's log
// alone, and the skipped records are told once; with RINEX, in either
// version, the second antenna's observation file is that of the second
// antenna's log alone.
TEST(MultiSystem, RangesOfASecondAntennaAreKeptApartFromTheFirst) {
    using oem4sim::RangeFormat;
    for (const RangeFormat format : {RangeFormat::Range, RangeFormat::Rangecmp, RangeFormat::Rangecmp2,
                                     RangeFormat::Rangecmp4, RangeFormat::Rangecmp5}) {
        SCOPED_TRACE(oem4sim::RangeFormatName(format));
        SimConfig cfg = FiveSystems(format);
        cfg.duration = 20.0;
        cfg.rate = 5.0; // RANGECMP4 differences between the whole seconds
        SimRun first, second;
        Simulate(cfg, &first);
        cfg.height += 1.5;
        Simulate(cfg, &second);
        uint32_t skipped = 0;
        const std::vector<uint8_t> dual = InterleavedLog(first.bytes, second.bytes, true, &skipped);
        ASSERT_EQ(skipped, first.epochs.size());

        const Conversion alone = ConvertLog(first.bytes, WithChannels(24), "first");
        const Conversion both = ConvertLog(dual, WithChannels(24), "dual");
        ASSERT_EQ(both.result, 0);
        ASSERT_EQ(both.epochs.size(), alone.epochs.size());
        size_t differing = 0;
        for (size_t i = 0; i < alone.epochs.size(); ++i) {
            const bool same =
                std::memcmp(&both.epochs[i], &alone.epochs[i], sizeof alone.epochs[i]) == 0 &&
                both.meas[i].size() == alone.meas[i].size() &&
                std::memcmp(both.meas[i].data(), alone.meas[i].data(), sizeof(MeasRecord) * alone.meas[i].size()) == 0;
            differing += same ? 0 : 1;
        }
        EXPECT_EQ(differing, 0u) << "epochs of the observation file that are not the first antenna's";
        std::vector<std::string> extra;
        for (const Message &m : both.messages) {
            const bool known = std::any_of(alone.messages.begin(), alone.messages.end(),
                                           [&m](const Message &a) { return a.text == m.text; });
            if (!known) extra.push_back(m.text);
        }
        EXPECT_EQ(extra, std::vector<std::string>{"Notice: " + std::to_string(skipped) +
                                                  " range records of the receiver's second antenna skipped (the "
                                                  "files hold the first antenna's observations)"});

        const testsupport::ScratchDir scratch;
        testsupport::WriteBytes(scratch / "first.gps", first.bytes);
        testsupport::WriteBytes(scratch / "second.gps", second.bytes);
        testsupport::WriteBytes(scratch / "dual.gps", dual);
        const int32_t version = format == RangeFormat::Rangecmp || format == RangeFormat::Rangecmp2 ? 211 : 304;
        for (const char *log : {"first", "second", "dual"}) {
            ASSERT_EQ(ConvertWithRinex(scratch / (std::string(log) + ".gps"), scratch / log, version), 0) << log;
        }
        const std::string records = ObservationRecords(scratch / "first.obs");
        EXPECT_GT(records.size(), 1000u);
        EXPECT_TRUE(ObservationRecords(scratch / "dual.obs") == records);
        EXPECT_FALSE(std::filesystem::exists(scratch / "first-antenna2.obs"));
        const std::string secondRecords = ObservationRecords(scratch / "second.obs");
        EXPECT_GT(secondRecords.size(), 1000u);
        EXPECT_TRUE(ObservationRecords(scratch / "dual-antenna2.obs") == secondRecords);
        EXPECT_NE(testsupport::ReadText(scratch / "dual-antenna2.obs").find("receiver's second antenna"),
                  std::string::npos);
        // A whole second's reference of the second antenna lost: the
        // differences that needed it are told of, as on the first antenna,
        // and the notice counts the epochs its file took.
        if (format == RangeFormat::Rangecmp4) {
            std::vector<uint8_t> damaged;
            const int32_t lost = le::I4(&second.bytes[kHeaderMillisecondsAt]) + 2000;
            for (const std::vector<uint8_t> &r : Records(dual)) {
                if ((r[kHeaderMessageTypeAt] & kMeasurementSourceMask) == kSecondAntennaSource &&
                    le::I4(&r[kHeaderMillisecondsAt]) == lost) {
                    continue;
                }
                damaged.insert(damaged.end(), r.begin(), r.end());
            }
            testsupport::WriteBytes(scratch / "damaged.gps", damaged);
            std::vector<Message> messages;
            ASSERT_EQ(ConvertWithRinex(scratch / "damaged.gps", scratch / "damaged", 304, nullptr, &messages), 0);
            const auto told = std::count_if(messages.begin(), messages.end(), [](const Message &m) {
                return m.text.starts_with("Second antenna: RANGECMP4 record: ");
            });
            EXPECT_EQ(told, 4); // the differences until the next whole second
            const std::string notice =
                std::to_string(skipped - 1) + " range records of the receiver's second antenna converted into " +
                (scratch / "damaged-antenna2.obs") + " (" + std::to_string(skipped - 1 - 4) + " epochs;";
            EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const Message &m) {
                return m.text.find(notice) != std::string::npos;
            })) << notice;
        }
        // A second antenna's file that cannot be created fails the conversion
        // rather than losing its observations.
        if (format == RangeFormat::Range) {
            std::filesystem::remove(scratch / "dual-antenna2.obs");
            std::filesystem::create_directory(scratch / "dual-antenna2.obs");
            EXPECT_EQ(ConvertWithRinex(scratch / "dual.gps", scratch / "dual", version), 1);
            EXPECT_EQ(std::string(ErrorText), "Error: Unable to open " + (scratch / "dual-antenna2.obs"));
        }
    }
}

// A receiver told to log two range records gives every epoch twice, the
// same measurements in two encodings. The RINEX observation file takes
// each time once, from the first record of it: two epochs of one time
// would be two epochs to its readers, and its header would lose the
// interval. (The host's file, not written here, takes RANGE and RANGECMP
// both, as it always did; a RANGECMP2 or RANGECMP4 epoch once, as every
// file does.) Either way the user is told how many records were left out.
TEST(MultiSystem, AnEpochLoggedInTwoRangeRecordsIsOneRinexEpoch) {
    using oem4sim::RangeFormat;
    struct Pair {
        RangeFormat kept, repeated;
        int32_t version;
        const char *notice;
    };
    constexpr const char *kRinex = " range records repeating the time of an epoch left out of the RINEX observation "
                                   "file (the first record of each time kept)";
    constexpr const char *kDecoder = " range records repeating the time of an epoch already decoded skipped (the "
                                     "first record of each time kept)";
    for (const Pair &pair : {Pair{RangeFormat::Rangecmp, RangeFormat::Range, 304, kRinex},
                             Pair{RangeFormat::Range, RangeFormat::Rangecmp, 211, kRinex},
                             Pair{RangeFormat::Rangecmp4, RangeFormat::Range, 304, kDecoder},
                             Pair{RangeFormat::Range, RangeFormat::Rangecmp2, 304, kDecoder},
                             Pair{RangeFormat::Rangecmp5, RangeFormat::Range, 211, kDecoder}}) {
        SCOPED_TRACE(std::string(oem4sim::RangeFormatName(pair.kept)) + " then " +
                     oem4sim::RangeFormatName(pair.repeated));
        SimConfig cfg = FiveSystems(pair.repeated);
        cfg.duration = 20.0;
        cfg.rate = 5.0;
        SimRun repeated, kept;
        Simulate(cfg, &repeated);
        cfg.format = pair.kept;
        Simulate(cfg, &kept);
        uint32_t twice = 0;
        const std::vector<uint8_t> both = InterleavedLog(repeated.bytes, kept.bytes, false, &twice);
        ASSERT_EQ(twice, kept.epochs.size());

        const testsupport::ScratchDir scratch;
        testsupport::WriteBytes(scratch / "kept.gps", kept.bytes);
        testsupport::WriteBytes(scratch / "both.gps", both);
        uint32_t keptEpochs = 0, bothEpochs = 0;
        ASSERT_EQ(ConvertWithRinex(scratch / "kept.gps", scratch / "kept", pair.version, &keptEpochs), 0);
        std::vector<Message> messages;
        ASSERT_EQ(ConvertWithRinex(scratch / "both.gps", scratch / "both", pair.version, &bothEpochs, &messages), 0);
        const std::string records = ObservationRecords(scratch / "kept.obs");
        EXPECT_GT(records.size(), 1000u);
        EXPECT_TRUE(ObservationRecords(scratch / "both.obs") == records);
        EXPECT_NE(testsupport::ReadText(scratch / "both.obs").find("INTERVAL"), std::string::npos);
        EXPECT_EQ(bothEpochs, keptEpochs);
        std::vector<std::string> told;
        for (const Message &m : messages) {
            if (m.text.find("repeating") != std::string::npos) told.push_back(m.text);
        }
        EXPECT_EQ(told, std::vector<std::string>{"Notice: " + std::to_string(twice) + pair.notice});
    }
}

TEST(MultiSystem, FiveSystemLogConvertsWholeWithGpsValuesAsLogged) {
    SceneRun range;
    SimulateAndConvert(FiveSystems(oem4sim::RangeFormat::Range), 24, "five_range", &range);
    const auto &truth = range.sim.epochs;
    ASSERT_EQ(range.conv.result, 0);
    ASSERT_EQ(range.conv.tsqError, "");
    ASSERT_EQ(range.conv.epochs.size(), truth.size());
    int most = 0;
    uint64_t leftOut[8] = {};
    size_t sat = 0; // walks the satellite truth, in record order
    int compared = 0;
    for (size_t k = 0; k < truth.size(); ++k) {
        const auto &t = truth[k];
        const auto &meas = range.conv.meas[k];
        most = std::max(most, t.satelliteCount + t.glonassCount + t.otherCount);
        for (int s = 0; s < 8; ++s) leftOut[s] += t.leftOut[s];
        EXPECT_EQ(+range.conv.epochs[k].receiverTime, t.receiverSeconds);
        // Every GPS and GLONASS satellite, each once.
        std::multiset<int> want(t.prns, t.prns + t.satelliteCount);
        want.insert(t.glonassPrns, t.glonassPrns + t.glonassCount);
        std::multiset<int> got;
        for (const MeasRecord &m : meas) got.insert(m.prn);
        EXPECT_EQ(got, want) << "epoch " << k;
        // GPS values equal what the receiver logged.
        for (; sat < range.sim.sats.size() && range.sim.sats[sat].receiverSeconds == t.receiverSeconds; ++sat) {
            const oem4sim::SatelliteTruth &st = range.sim.sats[sat];
            if (st.system != 0) continue;
            auto m = std::find_if(meas.begin(), meas.end(), [&](const MeasRecord &r) { return r.prn == st.prn; });
            ASSERT_NE(m, meas.end());
            ++compared;
            EXPECT_EQ(+m->l1Pseudorange, st.pseudorangeL1);
            EXPECT_EQ(+m->l1Phase, st.adrL1);
            EXPECT_EQ(+m->l1Doppler, static_cast<double>(static_cast<float>(st.dopplerL1)));
            EXPECT_EQ(+m->l2Phase, st.adrL2);
            if (st.lockL2 >= 0.01) {
                EXPECT_EQ(+m->l2Pseudorange, st.pseudorangeL2);
            }
        }
    }
    EXPECT_GE(most, 20);
    EXPECT_GT(compared, 7 * 80);
    for (int s = 0; s < 8; ++s) EXPECT_EQ(range.stats.screening.leftOut[s], leftOut[s]) << "system " << s;
    EXPECT_GT(leftOut[3] + leftOut[4] + leftOut[5], 0u);
    EXPECT_EQ(range.stats.screening.cutEpochs, 0u);

    // Each compressed log gives the same epochs, to its resolution.
    for (oem4sim::RangeFormat format : {oem4sim::RangeFormat::Rangecmp, oem4sim::RangeFormat::Rangecmp2,
                                        oem4sim::RangeFormat::Rangecmp4, oem4sim::RangeFormat::Rangecmp5}) {
        SCOPED_TRACE(oem4sim::RangeFormatName(format));
        SceneRun cmp;
        SimulateAndConvert(FiveSystems(format), 24, "five_compressed", &cmp);
        ASSERT_EQ(cmp.conv.result, 0);
        ASSERT_EQ(cmp.conv.epochs.size(), range.conv.epochs.size());
        for (int s = 0; s < 8; ++s) EXPECT_EQ(cmp.stats.screening.leftOut[s], leftOut[s]) << "system " << s;
        EXPECT_EQ(cmp.stats.screening.maxchanRecords, 0u);
        for (size_t k = 0; k < truth.size(); ++k) {
            ASSERT_EQ(cmp.conv.meas[k].size(), range.conv.meas[k].size()) << k;
            // RANGECMP4 lists its systems in their order, not the receiver's.
            for (const MeasRecord &a : range.conv.meas[k]) {
                const auto &bs = cmp.conv.meas[k];
                auto it = std::find_if(bs.begin(), bs.end(), [&](const MeasRecord &r) { return r.prn == a.prn; });
                ASSERT_NE(it, bs.end()) << k;
                const MeasRecord &b = *it;
                EXPECT_NEAR(+a.l1Pseudorange, +b.l1Pseudorange, 0.01);
                EXPECT_NEAR(+a.l1Phase, +b.l1Phase, 0.01);
                EXPECT_NEAR(+a.l2Phase, +b.l2Phase, 0.01);
                EXPECT_NEAR(+a.l1Doppler, +b.l1Doppler, 0.01);
            }
        }
    }
}

// With the default 12 channels every GPS satellite stays and GLONASS fills
// the rest; the host with the older options record gets the same.
TEST(MultiSystem, TwelveChannelsKeepGpsFirst) {
    SimConfig cfg = FiveSystems(oem4sim::RangeFormat::Range);
    cfg.maxSatellites = 10;
    cfg.otherMaxSatellites = 8;
    cfg.satelliteTruth = false;
    SceneRun run;
    SimulateAndConvert(cfg, 12, "twelve", &run);
    ASSERT_EQ(run.conv.result, 0);
    ASSERT_EQ(run.conv.epochs.size(), run.sim.epochs.size());
    uint32_t cut = 0;
    for (size_t k = 0; k < run.sim.epochs.size(); ++k) {
        const auto &t = run.sim.epochs[k];
        const auto &meas = run.conv.meas[k];
        const int eligible = t.satelliteCount + t.glonassCount;
        EXPECT_EQ(meas.size(), static_cast<size_t>(std::min(eligible, 12)));
        if (eligible > 12) ++cut;
        for (int i = 0; i < t.satelliteCount; ++i) {
            EXPECT_TRUE(std::any_of(meas.begin(), meas.end(), [&](const MeasRecord &m) { return m.prn == t.prns[i]; }))
                << "GPS PRN " << t.prns[i] << " at epoch " << k;
        }
    }
    EXPECT_GT(cut, 0u);
    EXPECT_EQ(run.stats.screening.cutEpochs, cut);
}
