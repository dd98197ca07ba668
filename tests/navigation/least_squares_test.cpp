#include "navigation/least_squares.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/error_text.h"
#include "sky.h"

namespace {

constexpr double kLat = 45.0, kLon = 10.0, kHeight = 200.0, kClock = 12345.678;

// Satellites at 22000 km in fixed directions (elevation, azimuth) above a
// receiver, with exact pseudoranges for a known clock offset.
struct Geometry {
    double truth[3];
    std::vector<MeasRecord> meas;
    std::vector<SatState> sats;

    explicit Geometry(std::initializer_list<std::pair<double, double>> directions, int firstPrn = 1) {
        sky::Ecef(kLat, kLon, kHeight, truth);
        int prn = firstPrn;
        for (const auto &[el, az] : directions) {
            double p[3];
            sky::Toward(truth, kLat, kLon, el, az, 2.2e7, p);
            SatState s{};
            s.x = p[0];
            s.y = p[1];
            s.z = p[2];
            MeasRecord m{};
            m.prn = static_cast<uint8_t>(prn++);
            m.l1Pseudorange = 2.2e7 + kClock;
            sats.push_back(s);
            meas.push_back(m);
        }
    }
    int32_t n() const { return static_cast<int32_t>(meas.size()); }
};

const std::initializer_list<std::pair<double, double>> kSeven = {{80, 0},   {40, 45},  {30, 120}, {25, 200},
                                                                 {50, 270}, {15, 330}, {60, 160}};

const int32_t kNone[] = {0};

TEST(LeastSquares, RecoversPositionAndClockFromFarAway) {
    for (int count : {4, 7}) {
        Geometry g(kSeven);
        g.meas.resize(count);
        g.sats.resize(count);
        // No a-priori position at all: the point on the equator at 0 degrees.
        double x = 6378137.0, y = 0.0, z = 0.0, clock = 99.0;
        ASSERT_EQ(SolvePositionClock(g.n(), g.meas.data(), kNone, g.sats.data(), &x, &y, &z, &clock), 0) << ErrorText;
        EXPECT_NEAR(x, g.truth[0], 1e-3);
        EXPECT_NEAR(y, g.truth[1], 1e-3);
        EXPECT_NEAR(z, g.truth[2], 1e-3);
        EXPECT_NEAR(clock, kClock, 1e-3);
        EXPECT_EQ(SolveWithExclusion(g.n(), g.meas.data(), kNone, g.sats.data(), 500.0, &x, &y, &z, &clock), 0);
    }
}

TEST(LeastSquares, CountsOnlyGpsSatellitesNotExcluded) {
    // Three GPS satellites and two Glonass ones.
    Geometry g({{80, 0}, {40, 45}, {30, 120}, {25, 200}, {50, 270}});
    g.meas[1].prn = 38;
    g.meas[3].prn = 40;
    double x = g.truth[0], y = g.truth[1], z = g.truth[2], clock = 0.0;
    EXPECT_EQ(SolvePositionClock(g.n(), g.meas.data(), kNone, g.sats.data(), &x, &y, &z, &clock), 4);
    EXPECT_STREQ(ErrorText, "Error: Not enough satellites, need at least 4: 3");

    Geometry h(kSeven);
    const int32_t excluded[] = {2, 4, 6, 7, 0};
    EXPECT_EQ(SolvePositionClock(h.n(), h.meas.data(), excluded, h.sats.data(), &x, &y, &z, &clock), 4);
    EXPECT_STREQ(ErrorText, "Error: Not enough satellites, need at least 4: 3");

    EXPECT_EQ(SolvePositionClock(25, h.meas.data(), kNone, h.sats.data(), &x, &y, &z, &clock), 1);
    EXPECT_STREQ(ErrorText, "Error: NumSats is out of range (ns=25)");
    EXPECT_EQ(SolvePositionClock(-1, h.meas.data(), kNone, h.sats.data(), &x, &y, &z, &clock), 1);
    EXPECT_STREQ(ErrorText, "Error: NumSats is out of range (ns=-1)");
}

TEST(LeastSquares, DegenerateGeometryAndNonConvergence) {
    // Every satellite in the same direction: the normal matrix is singular.
    std::vector<MeasRecord> meas(4);
    std::vector<SatState> sats(4);
    for (int i = 0; i < 4; ++i) {
        meas[i].prn = static_cast<uint8_t>(i + 1);
        meas[i].l1Pseudorange = 2e7 + i;
        sats[i].x = 2e7;
    }
    double x = 0.0, y = 0.0, z = 0.0, clock = 0.0;
    EXPECT_EQ(SolvePositionClock(4, meas.data(), kNone, sats.data(), &x, &y, &z, &clock), 3);
    EXPECT_STREQ(ErrorText, "Error: Inversion failure on solving position and clock shift computation");

    // Ranges that no point fits by millions of metres: the corrections never
    // fall below 0.1 m within the seven iterations.
    Geometry g(kSeven);
    for (size_t i = 0; i < g.meas.size(); ++i) {
        g.meas[i].l1Pseudorange += (i % 2 ? 3e6 : -3e6);
    }
    x = g.truth[0], y = g.truth[1], z = g.truth[2];
    EXPECT_EQ(SolvePositionClock(g.n(), g.meas.data(), kNone, g.sats.data(), &x, &y, &z, &clock), 2);
    EXPECT_STREQ(ErrorText, "Error: Solution did not converge");
}

TEST(LeastSquares, ResidualLimitTiesAndNonNumbers) {
    // Receiver at the centre and satellites on the axes: every range is exact.
    std::vector<MeasRecord> meas(4);
    std::vector<SatState> sats(4);
    for (int i = 0; i < 4; ++i) {
        meas[i].prn = static_cast<uint8_t>(i + 1);
        meas[i].l1Pseudorange = 2e7;
    }
    sats[0].x = 2e7;
    sats[1].y = 2e7;
    sats[2].z = 2e7;
    sats[3].x = -2e7;
    double x = 0.0, y = 0.0, z = 0.0, clock = 0.0, largest = -1.0;
    meas[1].l1Pseudorange = 2e7 - 500.0;
    EXPECT_EQ(FindWorstResidual(4, meas.data(), kNone, sats.data(), 500.0, &x, &y, &z, &clock, &largest), -1);
    EXPECT_EQ(largest, 0.0);
    meas[2].l1Pseudorange = 2e7 + 500.5;
    meas[3].l1Pseudorange = 2e7 - 500.5;
    EXPECT_EQ(FindWorstResidual(4, meas.data(), kNone, sats.data(), 500.0, &x, &y, &z, &clock, &largest), 3);
    EXPECT_EQ(largest, 500.5);
    const int32_t skipThree[] = {3, 0};
    EXPECT_EQ(FindWorstResidual(4, meas.data(), skipThree, sats.data(), 500.0, &x, &y, &z, &clock, &largest), 4);
    // A residual that is not a number is the worst of all, never consistent.
    meas[0].l1Pseudorange = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(FindWorstResidual(4, meas.data(), kNone, sats.data(), 500.0, &x, &y, &z, &clock, &largest), 1);
}

TEST(LeastSquares, ExcludesTheFirstCandidateThatLeavesAConsistentSet) {
    // Seven satellites, the fifth 2 km long: candidates are tried in order
    // and the solution without the faulty one is exact.
    Geometry g(kSeven);
    g.meas[4].l1Pseudorange += 2000.0;
    double x = g.truth[0] + 1e5, y = g.truth[1], z = g.truth[2], clock = 0.0;
    ASSERT_EQ(SolvePositionClock(g.n(), g.meas.data(), kNone, g.sats.data(), &x, &y, &z, &clock), 0);
    ASSERT_EQ(SolveWithExclusion(g.n(), g.meas.data(), kNone, g.sats.data(), 500.0, &x, &y, &z, &clock), -1);
    EXPECT_NEAR(x, g.truth[0], 1e-3);
    EXPECT_NEAR(y, g.truth[1], 1e-3);
    EXPECT_NEAR(z, g.truth[2], 1e-3);
    EXPECT_NEAR(clock, kClock, 1e-3);

    // Five satellites are too few to single one out.
    Geometry five({{80, 0}, {40, 45}, {30, 120}, {25, 200}, {50, 270}});
    five.meas[2].l1Pseudorange += 2000.0;
    x = five.truth[0], y = five.truth[1], z = five.truth[2];
    ASSERT_EQ(SolvePositionClock(five.n(), five.meas.data(), kNone, five.sats.data(), &x, &y, &z, &clock), 0);
    EXPECT_EQ(SolveWithExclusion(five.n(), five.meas.data(), kNone, five.sats.data(), 500.0, &x, &y, &z, &clock), 60);
}

} // namespace
