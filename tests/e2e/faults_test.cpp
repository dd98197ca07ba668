// Damaged logs: the converter reports the damage and loses nothing else.
// Every record that reached the log intact must reach the outputs intact.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "e2e_support.h"

using namespace oem4sim;
using namespace e2e;

namespace {

int32_t Ms(double seconds) { return static_cast<int32_t>(std::llround(seconds * 1000.0)); }

bool IsFramingMessage(const std::string &text) {
    for (const char *framing : {"CRC failure", "Invalid record length", "Invalid variable data length",
                                "Record decoding failed", "Buffer overrun"})
        if (text.find(framing) != std::string::npos) return true;
    return false;
}

} // namespace

TEST(Faults, EveryIntactRecordStillMatchesTheTruth) {
    SimConfig cfg;
    cfg.seed = 99;
    cfg.duration = 900;
    cfg.format = RangeFormat::Rangecmp;
    cfg.motion = Motion::SurveyFlight;
    cfg.markInterval = 3.0;
    cfg.satelliteTruth = true;
    cfg.startSeconds = 9900; // ephemerides re-broadcast at 10800 s
    cfg.faults.flipRate = 0.01;
    cfg.faults.truncateRate = 0.01;
    cfg.faults.garbageRate = 0.03;
    cfg.faults.badLengthRate = 0.01;
    cfg.faults.badCountRate = 0.01;
    SimRun s;
    Simulate(cfg, &s);
    std::map<std::string, int> kinds;
    for (const FaultTruth &f : s.faults) ++kinds[f.kind];
    for (const char *kind : {"flip", "truncate", "garbage", "length", "count"})
        ASSERT_GT(kinds[kind], 0) << kind << " should be among the faults";

    Oem4Options options = FactoryOptions();
    options.reportAll = 1;
    Conversion out = ConvertLog(s.bytes, options, "faults");
    ASSERT_EQ(out.result, 0);

    // The damage is reported: every whole record with a wrong length,
    // count or byte gives at least one framing message.
    int framing = 0;
    for (const Message &m : out.messages) framing += IsFramingMessage(m.text);
    EXPECT_GE(framing, kinds["flip"] + kinds["length"] + kinds["count"]);

    // Epochs: exactly the intact ones, each still equal to its truth.
    ASSERT_EQ(out.tsqError, "");
    size_t converted = 0, sat = 0, lost = 0;
    for (size_t i = 0; i < s.epochs.size(); ++i) {
        const EpochTruth &t = s.epochs[i];
        const size_t firstSat = sat;
        sat += static_cast<size_t>(t.satelliteCount);
        if (s.epochDamaged[i]) {
            ++lost;
            continue;
        }
        SCOPED_TRACE("epoch " + std::to_string(t.receiverSeconds));
        ASSERT_LT(converted, out.epochs.size()) << "intact epoch missing";
        const EpochRecord &e = out.epochs[converted];
        const std::vector<MeasRecord> &meas = out.meas[converted];
        ++converted;
        ASSERT_EQ(+e.receiverTime, t.receiverSeconds) << "intact epoch missing";
        ASSERT_EQ(+e.satCount, t.satelliteCount);
        for (size_t k = 0; k < meas.size(); ++k) {
            const SatelliteTruth &st = s.sats[firstSat + k];
            EXPECT_EQ(+meas[k].prn, st.prn);
            EXPECT_NEAR(+meas[k].l1Pseudorange, st.pseudorangeL1, 1.0 / 256 + 1e-9);
            EXPECT_NEAR(+meas[k].l1Phase, st.adrL1, 1.0 / 512 + 1e-9);
        }
        // Position and clock of the same second, unless their own records
        // were the damaged ones (an older one is attached then).
        const int32_t ms = Ms(t.receiverSeconds);
        if (!s.Damaged(kMsgBestpos, ms)) {
            EXPECT_EQ(+e.flags, 1);
            EXPECT_NEAR(+e.latitude, t.latitude, 1e-12);
            EXPECT_NEAR(+e.longitude, t.longitude, 1e-12);
        }
        if (!s.Damaged(kMsgClockModel, ms)) {
            EXPECT_NEAR(+e.clockOffset, t.clockOffset * kC, 1e-6);
        }
    }
    EXPECT_EQ(converted, out.epochs.size()) << "epochs that the log did not hold intact";
    EXPECT_EQ(out.epochCount, converted);
    EXPECT_GT(lost, 0u);

    // Marks and ephemerides: the intact ones, in order.
    ASSERT_EQ(out.staError, "");
    size_t mark = 0;
    for (size_t i = 0; i < s.marks.size(); ++i) {
        if (s.markDamaged[i]) continue;
        ASSERT_LT(mark, out.marks.size()) << "intact mark " << i << " missing";
        EXPECT_NEAR(out.marks[mark].time, s.marks[i].gpsSeconds, 0.5e-6 + 1e-9) << "mark " << i;
        ++mark;
    }
    EXPECT_EQ(mark, out.marks.size());
    ASSERT_EQ(out.eppError, "");
    size_t eph = 0;
    for (size_t i = 0; i < s.ephs.size(); ++i) {
        if (s.ephDamaged[i]) continue;
        ASSERT_LT(eph, out.ephemerides.size()) << "intact ephemeris " << i << " missing";
        EXPECT_EQ(out.ephemerides[eph].prn, s.ephs[i].eph.prn) << "ephemeris " << i;
        EXPECT_EQ(out.ephemerides[eph].iode, static_cast<int>(s.ephs[i].eph.iode)) << "ephemeris " << i;
        ++eph;
    }
    EXPECT_EQ(eph, out.ephemerides.size());
}

// A log cut in the middle of its last record: everything before the cut.
TEST(Faults, TruncatedTailLosesOnlyTheLastRecord) {
    SimConfig cfg;
    cfg.seed = 3;
    cfg.duration = 60;
    cfg.markInterval = 2.0;
    cfg.faults.truncateTail = true;
    SimRun s;
    Simulate(cfg, &s);
    ASSERT_EQ(s.faults.size(), 1u);
    ASSERT_EQ(s.faults[0].messageId, kMsgRangecmp);

    Conversion out = ConvertLog(s.bytes, FactoryOptions(), "tail");
    ASSERT_EQ(out.result, 0);
    ASSERT_EQ(out.tsqError, "");
    ASSERT_EQ(out.epochs.size(), s.epochs.size() - 1);
    EXPECT_EQ(+out.epochs.back().receiverTime, s.epochs[s.epochs.size() - 2].receiverSeconds);
    EXPECT_EQ(out.marks.size(), s.marks.size());
    EXPECT_EQ(out.ephemerides.size(), s.ephs.size());
}
