#include "navigation/orbit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "common/error_text.h"
#include "sky.h"

namespace {

const SatState kNoReceiver = {6378137.0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

GpsEphRecord ClockOnly(double af0, double af1, int32_t toc) {
    GpsEphRecord e = sky::Ephemeris(5, 0.0, 0.0);
    e.af0 = af0;
    e.af1 = af1;
    e.af2 = 0.0;
    e.toc = toc;
    e.toe = toc;
    e.e = 0.0;
    return e;
}

TEST(SatelliteClock, PolynomialRelativityAndWeekCrossover) {
    // af0 = 1 microsecond and e = 0: exactly one light-microsecond is added.
    GpsEphRecord e = ClockOnly(1e-6, 0.0, sky::TOE);
    MeasRecord m{};
    m.l1Pseudorange = 20000000.0;
    const double t = sky::TOE + 1000.0;
    EXPECT_DOUBLE_EQ(CorrectSatelliteClock(&e, t, &m), t - 1e-6);
    EXPECT_NEAR(Value(m.l1Pseudorange), 20000000.0 + 299.792458, 1e-7);

    // A difference one second past half a week counts from the other side.
    e = ClockOnly(0.0, 1e-9, 0);
    EXPECT_DOUBLE_EQ(CorrectSatelliteClock(&e, 302401.0, nullptr), 302401.0 + 302399.0 * 1e-9);
    EXPECT_DOUBLE_EQ(CorrectSatelliteClock(&e, -302401.0, nullptr), -302401.0 - 302399.0 * 1e-9);
    EXPECT_DOUBLE_EQ(CorrectSatelliteClock(&e, 302400.0, nullptr), 302400.0 - 302400.0 * 1e-9);
    EXPECT_DOUBLE_EQ(WeekCrossover(-302400.0), -302400.0);

    // Relativistic term F e sqrt(A) sin E: about -6.86 m at E near 90 degrees.
    e = ClockOnly(0.0, 0.0, sky::TOE);
    e.e = 0.01;
    e.m0 = sky::PI / 2;
    m.l1Pseudorange = 0.0;
    CorrectSatelliteClock(&e, sky::TOE, &m);
    EXPECT_NEAR(Value(m.l1Pseudorange), -4.442809305e-10 * 0.01 * 5153.65 * sky::C, 0.01);
    EXPECT_LT(Value(m.l1Pseudorange), -6.8);

    EXPECT_DOUBLE_EQ(CorrectSatelliteClock(nullptr, 123.0, &m), 123.0);
}

TEST(GpsOrbit, CircularEquatorialOrbitMatchesClosedForm) {
    GpsEphRecord e = sky::Ephemeris(3, 0.0, 0.3);
    e.e = e.i0 = e.omega = e.omegaDot = e.idot = e.deltaN = 0.0;
    e.cic = e.crc = e.cis = e.crs = e.cuc = e.cus = 0.0;
    const double a = e.sqrtA * e.sqrtA, n = std::sqrt(3.986005e14 / (a * a * a));
    const double t = sky::TOE + 900.0, range = 21000000.0, tau = range / sky::C;
    SatState s{};
    ASSERT_EQ(GpsSatellitePosition(3, &e, t, range, &kNoReceiver, &s), 0);
    // The node turns back with the Earth by the reception time, not by the
    // transmission time: the angle is M0 + n tk - omega_e t.
    const double angle = 0.3 + n * (t - tau - sky::TOE) - 7.2921151467e-5 * t;
    EXPECT_NEAR(s.x, a * std::cos(angle), 1e-4);
    EXPECT_NEAR(s.y, a * std::sin(angle), 1e-4);
    EXPECT_NEAR(s.z, 0.0, 1e-6);
    EXPECT_EQ(s.toe, sky::TOE);
}

TEST(GpsOrbit, VelocityIsTheDerivativeOfPosition) {
    const GpsEphRecord e = sky::Constellation(7);
    const double t = sky::TOE + 3000.0, h = 0.5;
    SatState s{}, before{}, after{};
    ASSERT_EQ(GpsSatellitePosition(7, &e, t, 2.2e7, &kNoReceiver, &s), 0);
    ASSERT_EQ(GpsSatellitePosition(7, &e, t - h, 2.2e7, &kNoReceiver, &before), 0);
    ASSERT_EQ(GpsSatellitePosition(7, &e, t + h, 2.2e7, &kNoReceiver, &after), 0);
    EXPECT_NEAR(s.vx, (after.x - before.x) / (2 * h), 1e-4);
    EXPECT_NEAR(s.vy, (after.y - before.y) / (2 * h), 1e-4);
    EXPECT_NEAR(s.vz, (after.z - before.z) / (2 * h), 1e-4);
    EXPECT_GT(std::sqrt(s.vx * s.vx + s.vy * s.vy + s.vz * s.vz), 1000.0);
}

TEST(GpsOrbit, TransitTimeMatchesTheDistanceToTheReceiver) {
    const GpsEphRecord e = sky::Constellation(2);
    double rcv[3];
    sky::Ecef(45.0, 10.0, 200.0, rcv);
    const SatState receiver = {rcv[0], rcv[1], rcv[2], 0, 0, 0, 0, 0, 0, 0};
    const double t = sky::TOE + 600.0;
    SatState s{};
    ASSERT_EQ(GpsSatellitePosition(2, &e, t, 2.0e7, &receiver, &s), 0);
    // Without the velocity, the position is the same to the last bit.
    SatState only{};
    ASSERT_EQ(GpsSatellitePositionOnly(&e, t, 2.0e7, &receiver, &only), 0);
    EXPECT_TRUE(only.x == s.x && only.y == s.y && only.z == s.z && only.vx == 0.0);
    const double d =
        std::sqrt((s.x - rcv[0]) * (s.x - rcv[0]) + (s.y - rcv[1]) * (s.y - rcv[1]) + (s.z - rcv[2]) * (s.z - rcv[2]));
    // The same satellite computed from that distance as a kept range is the
    // same point: the loop settled on the true transit time.
    SatState kept{};
    ASSERT_EQ(GpsSatellitePosition(2, &e, t, d, &kNoReceiver, &kept), 0);
    EXPECT_NEAR(kept.x, s.x, 1e-5);
    EXPECT_NEAR(kept.y, s.y, 1e-5);
    EXPECT_NEAR(kept.z, s.z, 1e-5);

    // Any receiver with Y and Z exactly 0 keeps the given range.
    const SatState centre = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    SatState other{};
    ASSERT_EQ(GpsSatellitePosition(2, &e, t, d, &centre, &other), 0);
    EXPECT_EQ(other.x, kept.x);
    EXPECT_EQ(other.y, kept.y);
}

TEST(GpsOrbit, CorruptEphemerisOrRangeIsRefusedWithoutHanging) {
    double rcv[3];
    sky::Ecef(45.0, 10.0, 200.0, rcv);
    const SatState receiver = {rcv[0], rcv[1], rcv[2], 0, 0, 0, 0, 0, 0, 0};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double t = sky::TOE + 600.0;
    SatState s{};

    void (*corruptions[])(GpsEphRecord &) = {[](GpsEphRecord &e) { e.sqrtA = 0.0; }, [](GpsEphRecord &e) { e.e = 1.5; },
                                             [](GpsEphRecord &e) { e.m0 = std::numeric_limits<double>::quiet_NaN(); },
                                             [](GpsEphRecord &e) { e.deltaN = 1e300; }};
    for (auto corrupt : corruptions) {
        GpsEphRecord e = sky::Constellation(4);
        corrupt(e);
        EXPECT_EQ(GpsSatellitePosition(4, &e, t, 2.0e7, &receiver, &s), 1);
    }
    const GpsEphRecord e = sky::Constellation(4);
    EXPECT_EQ(GpsSatellitePosition(4, &e, t, nan, &receiver, &s), 1);
    EXPECT_EQ(GpsSatellitePosition(4, &e, t, nan, &kNoReceiver, &s), 1);
    EXPECT_EQ(GpsSatellitePosition(4, nullptr, t, 2.0e7, &receiver, &s), 1);
}

// ---- Glonass -------------------------------------------------------------

GlonassEphemeris GlonassSat(int32_t prn, double tb) {
    GlonassEphemeris g{};
    g.prn = prn;
    g.tb = tb;
    g.position[0] = -14000.0;
    g.position[1] = 10000.0;
    g.position[2] = 18790.0;
    g.velocity[0] = 1.2;
    g.velocity[1] = 2.6;
    g.velocity[2] = -0.5;
    g.acceleration[0] = 1e-9;
    g.acceleration[1] = -2e-9;
    g.acceleration[2] = 3e-9;
    return g;
}

// Classic fourth-order Runge-Kutta with an explicit step and step count.
void Reference(const GlonassEphemeris &g, double h, int steps, double out[3]) {
    double s[6] = {g.position[0], g.position[1], g.position[2], g.velocity[0], g.velocity[1], g.velocity[2]};
    for (int n = 0; n < steps; ++n) {
        double k[4][6], tmp[6];
        const double w[4] = {0.5, 0.5, 1.0, 0.0};
        std::copy(s, s + 6, tmp);
        for (int stage = 0; stage < 4; ++stage) {
            GlonassDerivatives(tmp, g.acceleration, k[stage]);
            for (int i = 0; i < 6; ++i) {
                k[stage][i] *= h;
                tmp[i] = s[i] + w[stage] * k[stage][i];
            }
        }
        for (int i = 0; i < 6; ++i) {
            s[i] += (k[0][i] + 2 * k[1][i] + 2 * k[2][i] + k[3][i]) / 6.0;
        }
    }
    for (int i = 0; i < 3; ++i) {
        out[i] = 1000.0 * s[i];
    }
}

TEST(GlonassOrbit, StepCountsAndTheOneHourLimit) {
    const GlonassEphemeris g = GlonassSat(40, 1000.0);
    struct Case {
        double span, h;
        int steps;
    } cases[] = {{3600.0, 120.0, 30}, {60.0, 60.0, 1}, {-250.0, -125.0, 2}, {250.0, 125.0, 2}, {0.0, 0.0, 1}};
    for (const Case &c : cases) {
        double p[3], v[3], ref[3];
        ASSERT_EQ(IntegrateGlonassOrbit(&g, g.tb + c.span, 120.0, p, v), 0) << c.span;
        Reference(g, c.h, c.steps, ref);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(p[i], ref[i], 1e-6) << c.span;
        }
    }
    double p[3], v[3];
    EXPECT_EQ(IntegrateGlonassOrbit(&g, g.tb + 3600.5, 120.0, p, v), 1);
    EXPECT_STREQ(ErrorText, "Cannot compute orbit for Glonass PRN 40, time too far out");
    SetErrorText("");
    EXPECT_EQ(IntegrateGlonassOrbit(&g, std::numeric_limits<double>::quiet_NaN(), 120.0, p, v), 1);
    EXPECT_STREQ(ErrorText, "Cannot compute orbit for Glonass PRN 40, time too far out");
    // A step that would never reach the end is refused, not run.
    EXPECT_EQ(IntegrateGlonassOrbit(&g, g.tb + 3000.0, 1e-9, p, v), 1);
    EXPECT_STREQ(ErrorText, "Error: Runge-kutta failed for Glonass prn 40");
    EXPECT_EQ(IntegrateGlonassOrbit(&g, g.tb + 3000.0, 0.0, p, v), 1);

    const SatState receiver = {4e6, 1e6, 4e6, 0, 0, 0, 0, 0, 0, 0};
    SatState s{};
    EXPECT_EQ(GlonassSatellitePosition(40, &g, g.tb + 100.0, 2.0e7, &receiver, &s), 0);
    EXPECT_EQ(GlonassSatellitePosition(40, nullptr, g.tb + 100.0, 2.0e7, &receiver, &s), 1);
    EXPECT_EQ(GlonassSatellitePosition(40, &g, g.tb + 4000.0, 2.0e7, &receiver, &s), 1);
    EXPECT_EQ(GlonassSatellitePosition(40, &g, g.tb + 100.0, std::numeric_limits<double>::quiet_NaN(), &receiver, &s),
              1);
}

TEST(GlonassOrbit, ClockCorrectionAndWholeLightSeconds) {
    GlonassEphemeris g = GlonassSat(43, 100.0);
    const double nominal = 25000000.0;
    EXPECT_EQ(CorrectGlonassClock(&g, 100.0, nominal + 13 * sky::C), nominal);
    EXPECT_EQ(CorrectGlonassClock(&g, 100.0, nominal + 9 * sky::C), nominal + 9 * sky::C);
    EXPECT_EQ(CorrectGlonassClock(&g, 100.0, nominal - 13 * sky::C), nominal - sky::C);

    g.tauN = 1.0f / 8192.0f;
    g.clockOffset = 1e-5;
    g.gamma = 1.0f / 1073741824.0f; // 2^-30
    const double expected = 21000000.0 - sky::C * ((1.0 / 8192.0 + 1e-5) - 300.0 / 1073741824.0);
    EXPECT_NEAR(CorrectGlonassClock(&g, 400.0, 21000000.0), expected, 1e-6);
}

} // namespace
