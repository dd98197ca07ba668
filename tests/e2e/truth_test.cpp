// Simulated flights converted end to end: the observation, ephemeris and
// mark files against the truth of the scene, for both observation formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "e2e_support.h"

using namespace oem4sim;
using namespace e2e;

namespace {

SimConfig FlightConfig(RangeFormat format) {
    SimConfig c;
    c.seed = 11;
    // 2000 s from 9000 s of week: a new ephemeris set at 10800 s comes in.
    c.startSeconds = 9000;
    c.duration = 2000;
    c.rate = 0.5;
    c.format = format;
    c.motion = Motion::SurveyFlight;
    c.height = 1200;
    c.markInterval = 7.0;
    c.slipsPerHour = 30;
    c.satelliteTruth = true;
    return c;
}

int32_t Ms(double seconds) { return static_cast<int32_t>(std::llround(seconds * 1000.0)); }

// The lock byte of the observation file: whole seconds, 0 to 255.
int LockByte(double lock) { return lock < 0 ? 0 : lock > 255.0 ? 255 : static_cast<int>(lock); }

} // namespace

TEST(Truth, ObservationEphemerisAndMarkFilesMatchTheScene) {
    for (RangeFormat format : {RangeFormat::Range, RangeFormat::Rangecmp}) {
        const bool cmp = format == RangeFormat::Rangecmp;
        SCOPED_TRACE(cmp ? "RANGECMP" : "RANGE");
        SimConfig cfg = FlightConfig(format);
        SimRun s;
        Simulate(cfg, &s);
        Oem4Options options = FactoryOptions();
        options.reportAll = 1;
        Conversion out = ConvertLog(s.bytes, options, cmp ? "truth_cmp" : "truth_range");
        ASSERT_EQ(out.result, 0);

        // ---- observation file -------------------------------------------
        ASSERT_EQ(out.tsqError, "");
        ASSERT_EQ(out.epochs.size(), s.epochs.size());
        EXPECT_EQ(out.epochCount, s.epochs.size());
        size_t sat = 0;
        std::map<int, std::pair<double, double>> lastLock; // prn -> L1, L2 lock of the previous epoch
        std::set<int> previous;
        std::multiset<std::pair<int32_t, std::string>> slipsWanted, risingWanted;
        size_t slipEpochsChecked = 0;
        for (size_t i = 0; i < s.epochs.size(); ++i) {
            const EpochTruth &t = s.epochs[i];
            const EpochRecord &e = out.epochs[i];
            SCOPED_TRACE("epoch " + std::to_string(t.receiverSeconds));
            EXPECT_EQ(+e.week, t.week);
            EXPECT_EQ(+e.receiverTime, t.receiverSeconds);
            EXPECT_EQ(+e.flags, 1) << "BESTPOS attached, no epoch flag";
            EXPECT_NEAR(+e.latitude, t.latitude, 1e-12);
            EXPECT_NEAR(+e.longitude, t.longitude, 1e-12);
            EXPECT_NEAR(+e.height, t.height, std::fabs(t.height) * FLT_EPSILON);
            EXPECT_NEAR(+e.clockOffset, t.clockOffset * kC, 1e-6);
            EXPECT_NEAR(+e.clockDrift, t.clockDrift * kC, 1e-9);
            EXPECT_NEAR(+e.correctedTime, t.gpsSeconds, 1e-9);
            ASSERT_EQ(+e.satCount, t.satelliteCount);

            std::set<int> now;
            for (int k = 0; k < t.satelliteCount; ++k, ++sat) {
                ASSERT_LT(sat, s.sats.size());
                const SatelliteTruth &st = s.sats[sat];
                const MeasRecord &m = out.meas[i][static_cast<size_t>(k)];
                ASSERT_EQ(+m.prn, t.prns[k]);
                ASSERT_EQ(st.prn, t.prns[k]);
                // Values as logged, to the resolution of the record format.
                EXPECT_NEAR(+m.l1Pseudorange, st.pseudorangeL1, cmp ? 1.0 / 256 + 1e-9 : 1e-9);
                EXPECT_NEAR(+m.l1Phase, st.adrL1, cmp ? 1.0 / 512 + 1e-9 : 1e-9);
                EXPECT_NEAR(+m.l1Doppler, st.dopplerL1, cmp ? 1.0 / 512 + 1e-6 : 0.0);
                // L2 code needs 0.01 s of phase lock with the factory options.
                const bool l2 = st.lockL2 >= 0;
                EXPECT_NEAR(+m.l2Pseudorange, l2 && st.lockL2 >= 0.01 ? st.pseudorangeL2 : 0.0,
                            cmp ? 1.0 / 256 + 1e-9 : 1e-9);
                EXPECT_NEAR(+m.l2Phase, l2 ? st.adrL2 : 0.0, cmp ? 1.0 / 512 + 1e-9 : 1e-9);
                EXPECT_EQ(+m.l1Lock, LockByte(st.lockL1));
                now.insert(st.prn);

                const int32_t ms = Ms(t.receiverSeconds);
                if (!previous.count(st.prn)) {
                    risingWanted.insert({ms, "PRN " + std::to_string(st.prn) + " is rising or re-appearing"});
                    continue;
                }
                // A slip restarts the lock; it shows when the lock had grown.
                auto prev = lastLock[st.prn];
                for (const SlipTruth &sl : s.slips) {
                    if (sl.prn != st.prn || Ms(sl.receiverSeconds) != ms) continue;
                    if (sl.l1 && prev.first > 0) {
                        slipsWanted.insert({ms, "L1 cycle slip on PRN " + std::to_string(st.prn)});
                        EXPECT_EQ(+m.l1Lock, 0);
                        ++slipEpochsChecked;
                    }
                    if (sl.l2 && prev.second > 0 && st.lockL2 >= 0)
                        slipsWanted.insert({ms, "L2 cycle slip on PRN " + std::to_string(st.prn)});
                }
            }
            for (int k = 0; k < t.satelliteCount; ++k) {
                const SatelliteTruth &st = s.sats[sat - static_cast<size_t>(t.satelliteCount) + static_cast<size_t>(k)];
                lastLock[st.prn] = {st.lockL1, st.lockL2};
            }
            previous = now;
        }
        EXPECT_EQ(sat, s.sats.size());
        EXPECT_GT(slipEpochsChecked, 0u) << "the scene should hold L1 slips";

        // Every decoding notice is one the scene explains, and every slip
        // and rising satellite of the scene is reported once.
        std::multiset<std::pair<int32_t, std::string>> slipsSeen, risingSeen;
        int almanacNotices = 0, ephemerisNotices = 0;
        for (const Message &m : out.messages) {
            if (m.text.find("cycle slip") != std::string::npos)
                slipsSeen.insert({Ms(m.time), m.text});
            else if (m.text.find("rising") != std::string::npos)
                risingSeen.insert({Ms(m.time), m.text});
            else if (m.text.rfind("Almanac received for GPS PRN ", 0) == 0)
                ++almanacNotices;
            else if (m.text.rfind("Ephemeris received for PRN ", 0) == 0 &&
                     m.text.find("(health OK)") != std::string::npos)
                ++ephemerisNotices;
            else
                ADD_FAILURE() << "unexpected message at " << m.time << ": " << m.text;
        }
        EXPECT_EQ(slipsSeen, slipsWanted);
        EXPECT_EQ(risingSeen, risingWanted);
        EXPECT_EQ(almanacNotices, kConstellationSize);
        EXPECT_EQ(ephemerisNotices, static_cast<int>(s.ephs.size()));

        // ---- ephemeris file ---------------------------------------------
        ASSERT_EQ(out.eppError, "");
        ASSERT_EQ(out.ephemerides.size(), s.ephs.size());
        EXPECT_EQ(out.ephemerisCount, s.ephs.size());
        EXPECT_GT(s.ephs.size(), 12u) << "a second ephemeris set should be in the log";
        for (size_t i = 0; i < s.ephs.size(); ++i) {
            const BroadcastEphemeris &b = s.ephs[i].eph;
            const EphemerisValues v = PhysicalValues(b);
            const EppEphemeris &e = out.ephemerides[i];
            SCOPED_TRACE("ephemeris " + std::to_string(i) + " PRN " + std::to_string(b.prn));
            EXPECT_EQ(+e.prn, b.prn);
            EXPECT_EQ(+e.week, static_cast<int>(b.week10));
            EXPECT_EQ(e.fixed, 9999);
            EXPECT_EQ(e.iodc, static_cast<int>(b.iodc));
            EXPECT_EQ(e.iode, static_cast<int>(b.iode));
            EXPECT_EQ(e.toc, static_cast<int>(b.toc * 16));
            EXPECT_EQ(e.toe, static_cast<int>(b.toe * 16));
            // Half a step of each broadcast field, in the file's units.
            const double pi = 3.1415926535897932;
            const struct {
                const char *name;
                double have, want, step;
            } fields[] = {
                {"tgd", e.tgd, v.tgd, std::ldexp(1.0, -31)},
                {"af2", e.af2, v.af2, std::ldexp(1.0, -55)},
                {"af1", e.af1, v.af1, std::ldexp(1.0, -43)},
                {"af0", e.af0, v.af0, std::ldexp(1.0, -31)},
                {"crs", e.crs, v.crs, std::ldexp(1.0, -5)},
                {"deltaN", e.deltaN, v.deltaN, std::ldexp(pi, -43)},
                {"m0", e.m0, v.m0, std::ldexp(pi, -31)},
                {"cuc", e.cuc, v.cuc, std::ldexp(1.0, -29)},
                {"e", e.e, v.e, std::ldexp(1.0, -33)},
                {"cus", e.cus, v.cus, std::ldexp(1.0, -29)},
                {"sqrtA", e.sqrtA, v.sqrtA, std::ldexp(1.0, -19)},
                {"cic", e.cic, v.cic, std::ldexp(1.0, -29)},
                {"omega0", e.omega0, v.omega0, std::ldexp(pi, -31)},
                {"cis", e.cis, v.cis, std::ldexp(1.0, -29)},
                {"i0", e.i0, v.i0, std::ldexp(pi, -31)},
                {"crc", e.crc, v.crc, std::ldexp(1.0, -5)},
                {"omega", e.omega, v.omega, std::ldexp(pi, -31)},
                {"omegaDot", e.omegaDot, v.omegaDot, std::ldexp(pi, -43)},
                {"idot", e.idot, v.idot, std::ldexp(pi, -43)},
            };
            for (const auto &f : fields) EXPECT_NEAR(f.have, f.want, f.step / 2) << f.name;
        }

        // The almanac of the whole constellation, in its record order.
        Constellation con;
        GenerateConstellation(cfg.seed, 0, 0.0, 0, &con);
        ASSERT_EQ(out.almanacs.size(), static_cast<size_t>(kConstellationSize));
        for (int i = 0; i < kConstellationSize; ++i) {
            const EppAlmanac &a = out.almanacs[static_cast<size_t>(i)];
            const SatelliteOrbit &o = con.sats[i];
            SCOPED_TRACE("almanac PRN " + std::to_string(o.prn));
            EXPECT_EQ(a.prn, o.prn);
            EXPECT_EQ(a.week, static_cast<int>(cfg.startWeek));
            EXPECT_EQ(a.toa, 8192);
            EXPECT_EQ(a.timeCode, 2);
            EXPECT_EQ(a.healthCode, 2);
            EXPECT_EQ(a.health, 0);
            EXPECT_NEAR(a.sqrtA, o.sqrtA, 1e-8 * o.sqrtA);
            EXPECT_NEAR(a.e, o.e, 1e-8 * o.e);
            EXPECT_NEAR(a.omega, o.omega, 1e-8 * std::fabs(o.omega));
            EXPECT_NEAR(a.omegaDot, o.omegaDot, 1e-8 * std::fabs(o.omegaDot));
        }

        // ---- mark file --------------------------------------------------
        ASSERT_EQ(out.staError, "");
        ASSERT_EQ(out.marks.size(), s.marks.size());
        EXPECT_EQ(out.markCount, s.marks.size());
        EXPECT_GT(s.marks.size(), 200u);
        for (size_t i = 0; i < s.marks.size(); ++i) {
            // Numbers run on from earlier conversions of the same library.
            EXPECT_EQ(out.marks[i].number, out.marks[0].number + i);
            EXPECT_NEAR(out.marks[i].time, s.marks[i].gpsSeconds, 0.5e-6 + 1e-9) << "mark " << i;
        }
    }
}
