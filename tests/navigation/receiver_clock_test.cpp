#include "navigation/receiver_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "common/error_text.h"
#include "ephemeris/ephemeris_list.h"
#include "navigation/troposphere.h"
#include "sky.h"

namespace {

constexpr double kLat = 45.0, kLon = 10.0, kHeight = 200.0, kClock = 15.0;

// The solver of the conversion the epochs belong to; fresh for every test.
SolverState g_solver;
constexpr double kTime = sky::TOE + 600.0;

struct Truth {
    double ecef[3];
    Truth() { sky::Ecef(kLat, kLon, kHeight, ecef); }
};

// An epoch as the range decoder stages it, with pseudoranges that a receiver
// at the true position with clock offset kClock would measure.
struct Epoch {
    EpochRecord header{};
    MeasRecord meas[24]{};
    int count = 0;

    explicit Epoch(double receiverTime) { header.receiverTime = receiverTime; }

    void Add(int prn, double pseudorange) {
        meas[count] = MeasRecord{};
        meas[count].prn = static_cast<uint8_t>(prn);
        meas[count].l1Pseudorange = pseudorange;
        header.satCount = static_cast<uint8_t>(++count);
    }
    int32_t Recompute(double lat, double lon, double height, double *clock, int32_t mode = 3) {
        *clock = 0.0;
        return RecomputeReceiverClock(&g_solver, &header, meas, mode, lat, lon, height, clock);
    }
};

// Geometric range plus receiver clock minus satellite clock, and optionally
// the slant tropospheric delay; elevation of the satellite in degrees.
double TruePseudorange(int prn, double t, bool troposphere, double *elevation) {
    const Truth truth;
    const GpsEphRecord eph = sky::Constellation(prn);
    MeasRecord clockOnly{};
    const double tSat = CorrectSatelliteClock(&eph, t, &clockOnly);
    const SatState receiver = {truth.ecef[0], truth.ecef[1], truth.ecef[2], 0, 0, 0, 0, 0, 0, 0};
    SatState sat{};
    EXPECT_EQ(GpsSatellitePosition(prn, &eph, tSat, 2.2e7, &receiver, &sat), 0);
    const double p[3] = {sat.x, sat.y, sat.z};
    *elevation = sky::Elevation(truth.ecef, kLat, kLon, p);
    double delay = 0.0;
    if (troposphere) {
        CorrectTroposphere(&sat, &delay, kLat * sky::DEG, kLon * sky::DEG, kHeight);
    }
    const double rho =
        std::sqrt((p[0] - truth.ecef[0]) * (p[0] - truth.ecef[0]) + (p[1] - truth.ecef[1]) * (p[1] - truth.ecef[1]) +
                  (p[2] - truth.ecef[2]) * (p[2] - truth.ecef[2]));
    return rho + kClock - clockOnly.l1Pseudorange - delay;
}

// The satellites above the horizon, with a bias on those below 10 degrees.
Epoch SkyEpoch(double t, bool troposphere, double lowBias, int *lowCount = nullptr, int limit = 24) {
    Epoch epoch(t);
    int low = 0;
    for (int prn = 1; prn <= 24 && epoch.count < limit; ++prn) {
        double elevation = 0.0;
        const double pr = TruePseudorange(prn, t, troposphere, &elevation);
        if (elevation <= 0.0) {
            continue;
        }
        if (elevation < 10.0) {
            ++low;
        }
        epoch.Add(prn, pr + (elevation < 10.0 ? lowBias : 0.0));
    }
    if (lowCount != nullptr) {
        *lowCount = low;
    }
    return epoch;
}

class ReceiverClock : public ::testing::Test {
protected:
    void SetUp() override {
        PreviousFix = FixState{};
        g_solver = SolverState{};
        ClearEphemerisList();
        for (int prn = 1; prn <= 24; ++prn) {
            ASSERT_EQ(AddEphemeris(sky::Constellation(prn)), 0);
        }
    }
    void TearDown() override {
        ClearEphemerisList();
        PreviousFix = FixState{};
    }
    static void ExpectTruth(const EpochRecord &h, double clock) {
        EXPECT_EQ(h.flags & 1, 1);
        EXPECT_NEAR(Value(h.latitude), kLat, 1e-7);
        EXPECT_NEAR(Value(h.longitude), kLon, 1e-7);
        EXPECT_NEAR(Value(h.height), kHeight, 0.01);
        EXPECT_NEAR(clock, kClock, 0.01);
        EXPECT_EQ(Value(h.clockOffset), clock);
        EXPECT_EQ(Value(h.correctedTime), h.receiverTime - clock / 299792458.0);
    }
};

TEST_F(ReceiverClock, FirstFixThenElevationMaskAndTroposphere) {
    // First epoch after loading: no position anywhere, so no mask and no
    // tropospheric correction; the solution starts from (6378137, 0, 0).
    Epoch first = SkyEpoch(kTime, false, 0.0);
    ASSERT_GE(first.count, 6);
    double clock = 0.0;
    ASSERT_EQ(first.Recompute(0.0, 0.0, 0.0, &clock), 0) << ErrorText;
    ExpectTruth(first.header, clock);
    EXPECT_NEAR(PreviousFix.latitude, kLat * sky::DEG, 1e-9);
    EXPECT_NEAR(PreviousFix.clockOffset, kClock, 0.01);

    // Next epoch: ranges carry the tropospheric delay and the satellites
    // below 10 degrees are 150 m off. Both are handled: the fix is exact.
    int low = 0;
    Epoch second = SkyEpoch(kTime + 1.0, true, 150.0, &low);
    ASSERT_GE(low, 1);
    ASSERT_EQ(second.Recompute(kLat, kLon, kHeight, &clock), 0) << ErrorText;
    ExpectTruth(second.header, clock);

    // Without a previous fix the low satellites are used and pull the fix.
    PreviousFix = FixState{};
    Epoch third = SkyEpoch(kTime + 2.0, false, 150.0);
    ASSERT_EQ(third.Recompute(0.0, 0.0, 0.0, &clock), 0) << ErrorText;
    EXPECT_GT(std::fabs(third.header.latitude - kLat) * 111000.0 + std::fabs(third.header.height - kHeight), 1.0);
}

TEST_F(ReceiverClock, UnusableSatellitesAreLeftOutWithoutHanging) {
    GpsEphRecord corrupt = sky::Constellation(30);
    corrupt.sqrtA = 0.0;
    ASSERT_EQ(AddEphemeris(corrupt), 0);
    corrupt = sky::Constellation(31);
    corrupt.e = 1.5;
    ASSERT_EQ(AddEphemeris(corrupt), 0);
    corrupt = sky::Constellation(32);
    corrupt.m0 = std::numeric_limits<double>::quiet_NaN();
    ASSERT_EQ(AddEphemeris(corrupt), 0);

    Epoch epoch = SkyEpoch(kTime, false, 0.0, nullptr, 16);
    ASSERT_GE(epoch.count, 7);
    epoch.meas[0].l1Pseudorange = 0.0; // code not tracked
    epoch.meas[1].l1Pseudorange = std::numeric_limits<double>::quiet_NaN();
    epoch.meas[2].l1Pseudorange = 1e9; // damaged: would fail the whole solution
    epoch.Add(30, 2.2e7);
    epoch.Add(31, 2.2e7);
    epoch.Add(32, 2.2e7);
    epoch.Add(40, 2.2e7); // Glonass: no ephemeris
    epoch.Add(27, 2.2e7); // no ephemeris at all
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double clock = 0.0;
    ASSERT_EQ(epoch.Recompute(nan, nan, nan, &clock), 0) << ErrorText;
    ExpectTruth(epoch.header, clock);
}

TEST_F(ReceiverClock, ThreeSatellitesClearTheEpochSilently) {
    Epoch epoch = SkyEpoch(kTime, false, 0.0, nullptr, 3);
    epoch.Add(40, 2.2e7);
    epoch.header.flags = 1;
    epoch.header.latitude = 12.0;
    epoch.header.longitude = 13.0;
    epoch.header.height = 14.0f;
    epoch.header.clockOffset = 77.0;
    epoch.header.correctedTime = 1.0;
    const Truth truth;
    PreviousFix = FixState{kLat * sky::DEG, kLon * sky::DEG, kHeight, 20.0,
                           SatState{truth.ecef[0], truth.ecef[1], truth.ecef[2], 0, 0, 0, 0, 0, 0, 0}};
    double clock = 0.0;
    EXPECT_EQ(epoch.Recompute(0.0, 0.0, 0.0, &clock), 0);
    EXPECT_STREQ(ErrorText, "Error: Not enough satellites, need at least 4: 3");
    EXPECT_EQ(clock, 0.0);
    EXPECT_EQ(epoch.header.flags & 1, 0);
    EXPECT_EQ(Value(epoch.header.latitude), 0.0);
    EXPECT_EQ(Value(epoch.header.longitude), 0.0);
    EXPECT_EQ(Value(epoch.header.height), 0.0f);
    EXPECT_EQ(Value(epoch.header.clockOffset), 0.0);
    EXPECT_EQ(Value(epoch.header.correctedTime), Value(epoch.header.receiverTime));
    EXPECT_EQ(PreviousFix.latitude, 0.0);
    EXPECT_EQ(PreviousFix.longitude, 0.0);
    EXPECT_EQ(PreviousFix.height, 0.0);
    EXPECT_EQ(PreviousFix.clockOffset, 0.0);
    EXPECT_EQ(g_solver.tooFewSatellites, 1u); // told by the conversion, once at the end
}

TEST_F(ReceiverClock, InconsistentRangeIsBadDataUnlessOneExclusionHelps) {
    // Five satellites, one 20 km off: too few to single it out.
    Epoch five = SkyEpoch(kTime, false, 0.0, nullptr, 5);
    five.meas[2].l1Pseudorange += 20000.0;
    five.header.flags = 1;
    five.header.latitude = kLat;
    PreviousFix.clockOffset = 3.0;
    double clock = 0.0;
    EXPECT_EQ(five.Recompute(kLat, kLon, kHeight, &clock), 1);
    EXPECT_STREQ(ErrorText, "Error: Could not re-calculate position, bad data");
    EXPECT_EQ(five.header.flags & 1, 0);
    EXPECT_EQ(Value(five.header.latitude), 0.0);
    EXPECT_EQ(PreviousFix.clockOffset, 0.0);

    // Clock only: the position stays as it was.
    Epoch clockOnly = SkyEpoch(kTime, false, 0.0, nullptr, 5);
    clockOnly.meas[2].l1Pseudorange += 20000.0;
    clockOnly.header.latitude = kLat;
    EXPECT_EQ(clockOnly.Recompute(kLat, kLon, kHeight, &clock, 2), 1);
    EXPECT_STREQ(ErrorText, "Error: Could not update clock shift, bad data");
    EXPECT_EQ(Value(clockOnly.header.latitude), kLat);

    // A Glonass satellite with an ephemeris makes up the six the exclusion
    // step needs, though it never enters the solution itself.
    static const GlonassEphemeris glonass = [] {
        GlonassEphemeris g{};
        g.prn = 45;
        g.tb = kTime;
        g.position[0] = -14000.0;
        g.position[1] = 10000.0;
        g.position[2] = 18790.0;
        g.velocity[1] = 2.6;
        return g;
    }();
    g_solver.findGlonass = [](int32_t prn, int32_t) { return prn == 45 ? &glonass : nullptr; };
    Epoch six = SkyEpoch(kTime, false, 0.0, nullptr, 5);
    six.meas[2].l1Pseudorange += 20000.0;
    six.Add(45, 2.2e7);
    EXPECT_EQ(six.Recompute(kLat, kLon, kHeight, &clock), 0) << ErrorText;
    EXPECT_EQ(six.header.flags & 1, 1);
}

TEST_F(ReceiverClock, RefusesAnImpossibleSatelliteCount) {
    Epoch epoch = SkyEpoch(kTime, false, 0.0);
    for (uint8_t count : {uint8_t{25}, uint8_t{200}}) {
        epoch.header.satCount = count;
        const EpochRecord before = epoch.header;
        SetErrorText("unchanged");
        double clock = 0.0;
        EXPECT_EQ(epoch.Recompute(kLat, kLon, kHeight, &clock), 1);
        EXPECT_STREQ(ErrorText, "unchanged");
        EXPECT_EQ(std::memcmp(&before, &epoch.header, sizeof before), 0);
    }
}

} // namespace
