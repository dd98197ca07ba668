// The receiver clock recomputation on a clean simulated flight: the point
// positions and clock offsets written into the observation file against
// the truth of the scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "e2e_support.h"
#include "navigation/receiver_clock.h"

using namespace oem4sim;
using namespace e2e;

// Each scene: a survey flight; and a site logged for eight days, one epoch
// in 100 s, whose satellites broadcast every toe of the first week again in
// the second (last week's orbit must not be taken for this week's epochs).
class Recompute : public ::testing::TestWithParam<bool> {};

TEST_P(Recompute, PositionAndClockWithinAMetreOfTheTruth) {
    const bool longerThanAWeek = GetParam();
    SimConfig cfg;
    cfg.seed = 5;
    cfg.duration = longerThanAWeek ? 8 * 86400 : 600;
    cfg.rate = longerThanAWeek ? 0.01 : 1.0;
    cfg.format = RangeFormat::Rangecmp;
    cfg.motion = longerThanAWeek ? Motion::Static : Motion::SurveyFlight;
    cfg.noise = false;
    cfg.iono = false; // a single-frequency solution cannot remove it
    SimRun s;
    Simulate(cfg, &s);

    // The solution of an earlier conversion in this process would seed the
    // first epoch; start as a freshly loaded library does.
    PreviousFix = FixState{};
    Oem4Options options = FactoryOptions();
    options.recomputeClock = 1;
    Conversion out = ConvertLog(s.bytes, options, "recompute");
    ASSERT_EQ(out.result, 0);
    ASSERT_EQ(out.tsqError, "");
    ASSERT_EQ(out.epochs.size(), s.epochs.size());
    // Nothing but the notices of the almanacs and ephemerides received.
    for (const Message &m : out.messages)
        EXPECT_TRUE(m.text.rfind("Almanac received for GPS PRN ", 0) == 0 ||
                    m.text.rfind("Ephemeris received for PRN ", 0) == 0)
            << m.time << ": " << m.text;

    // The first fix has no earlier position: no elevation mask and no
    // tropospheric correction, so it is metres off by design and left out.
    double worstPosition = 0, worstClock = 0, firstPosition = 0, firstClock = 0;
    for (size_t i = 0; i < s.epochs.size(); ++i) {
        const EpochTruth &t = s.epochs[i];
        const EpochRecord &e = out.epochs[i];
        SCOPED_TRACE("epoch " + std::to_string(t.receiverSeconds));
        ASSERT_EQ(+e.flags & 1, 1) << "every epoch solved";
        EXPECT_EQ(+e.correctedTime, e.receiverTime - e.clockOffset / kC);
        double xyz[3];
        GeodeticToEcef(e.latitude, e.longitude, e.height, xyz);
        const double dx = xyz[0] - t.ecef[0], dy = xyz[1] - t.ecef[1], dz = xyz[2] - t.ecef[2];
        const double position = std::sqrt(dx * dx + dy * dy + dz * dz);
        const double clock = std::fabs(e.clockOffset - t.clockOffset * kC);
        if (i == 0) {
            firstPosition = position;
            firstClock = clock;
            continue;
        }
        EXPECT_LT(position, 1.0);
        EXPECT_LT(clock, 1.0);
        worstPosition = std::max(worstPosition, position);
        worstClock = std::max(worstClock, clock);
    }
    std::printf("recomputed: worst position error %.3f m, worst clock error %.3f m over %zu epochs "
                "(first fix: %.3f m, %.3f m)\n",
                worstPosition, worstClock, s.epochs.size() - 1, firstPosition, firstClock);
}

INSTANTIATE_TEST_SUITE_P(Scenes, Recompute, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "EightDaysOfASite" : "ASurveyFlight";
                         });

// A receiver tracking three satellites, their ephemerides logged again and
// again: every epoch once the ephemerides count four loses the receiver's
// own position and clock offset to the missing solution, and that is told
// once, with the count.
TEST(RecomputeTooFew, EpochsLeftWithoutASolutionAreTold) {
    SimConfig cfg;
    cfg.maxSatellites = 3;
    cfg.ephemerisEvery = 60;
    cfg.duration = 300;
    SimRun s;
    Simulate(cfg, &s);
    Oem4Options options = FactoryOptions();
    options.recomputeClock = 1;
    const Conversion out = ConvertLog(s.bytes, options, "too_few");
    ASSERT_EQ(out.result, 0);
    unsigned cleared = 0;
    for (const EpochRecord &e : out.epochs) cleared += (e.flags & 1) == 0 ? 1 : 0;
    ASSERT_GT(cleared, 0u);
    const std::string notice = "Notice: " + std::to_string(cleared) +
                               " epochs had fewer than 4 GPS satellites with an ephemeris: their clock offset and "
                               "position could not be recomputed, and they hold none (clock offset 0, no position)";
    EXPECT_EQ(
        std::count_if(out.messages.begin(), out.messages.end(), [&](const Message &m) { return m.text == notice; }), 1);
}
