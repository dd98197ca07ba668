// RANGE records through DecodeByte: the epoch, measurement and tracking
// records they leave in the ThreadBuf, and what is reported on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ephemeris/ephemeris_list.h"
#include "oem4/oem4_decoder.h"
#include "range_records.h"
#include "support/oem4_records.h"

using namespace testsupport;
using namespace rangetest;
using Texts_t = std::vector<std::string>;

namespace {

constexpr double kC = 299792458.0;

class RangeTest : public ::testing::Test {
protected:
    void SetUp() override { Open(); }
    void TearDown() override {
        SetThreadBufSize(kThreadBufDefaultCapacity);
        ClearEphemerisList();
    }
    void Open(void (*tune)(Oem4Options &) = nullptr, bool callback = true) {
        Oem4Options o = DefaultOptions();
        o.reportAll = 1;
        if (tune != nullptr) tune(o);
        OpenTestPort(o, callback);
    }
    Epoch Run(const std::vector<Obs> &obs, HeaderFields h = {}) { return Decode(Range(obs, h), &buf); }
    ThreadBuf buf;
};

} // namespace

TEST_F(RangeTest, DualFrequencyEpochByteForByte) {
    Open([](Oem4Options &o) { o.epochFlag = 1; });
    std::vector<Obs> obs;
    for (uint16_t p = 1; p <= 10; ++p) obs.push_back(L1(p, 12.97f));
    for (uint16_t p = 1; p <= 10; ++p) obs.push_back(L2(p, 7.5f));
    HeaderFields h = At(345678.5);
    h.week = 1761;
    const Epoch e = Run(obs, h);
    ASSERT_EQ(e.result, 1);
    ASSERT_EQ(e.meas.size(), 10u);
    ASSERT_EQ(e.tracking.size(), 10u);

    EpochRecord ep{};
    ep.satCount = 10;
    ep.flags = 2;
    ep.receiverTime = ep.correctedTime = 345678.5;
    ep.week = 1761;
    EXPECT_EQ(std::memcmp(&ep, &e.epoch, sizeof ep), 0);
    for (size_t j = 0; j < 10; ++j) {
        const Obs &a = obs[j], &b = obs[j + 10];
        const MeasRecord m{0,      static_cast<uint8_t>(a.prn), 12, a.pseudorange, a.phase, a.doppler, b.pseudorange,
                           b.phase};
        const TrackingRecord t{a.prn, 7, 12.97f, 7.5f, a.cno};
        EXPECT_EQ(std::memcmp(&m, &e.meas[j], sizeof m), 0) << j;
        EXPECT_EQ(std::memcmp(&t, &e.tracking[j], sizeof t), 0) << j;
    }
}

TEST_F(RangeTest, L2PairsByFullPrnWhereverItStands) {
    // 300 shares its low byte with 44: the L2 of 44 must not land on it.
    const Epoch e = Run({L2(7), L1(5), L2(9), L1(0), L1(7), L1(300), L2(44)});
    ASSERT_EQ(e.result, 1);
    ASSERT_EQ(e.meas.size(), 3u);
    EXPECT_EQ(+e.epoch.satCount, 3);
    EXPECT_EQ(+e.meas[0].prn, 5);
    EXPECT_EQ(+e.tracking[0].signalFlags, 5u);
    EXPECT_EQ(+e.meas[0].l2Phase, 0.0);
    EXPECT_EQ(+e.tracking[0].l2LockTime, 0.0);
    EXPECT_EQ(+e.meas[1].prn, 7);
    EXPECT_EQ(+e.tracking[1].signalFlags, 7u);
    EXPECT_EQ(+e.meas[1].l2Phase, L2(7).phase);
    EXPECT_EQ(+e.meas[2].prn, 44);
    EXPECT_EQ(+e.tracking[2].prn, 300u);
    EXPECT_EQ(+e.tracking[2].signalFlags, 5u);
    const Texts_t want = {"PRN 9 had L2 data but no data for L1--data ignored",
                          "PRN 44 had L2 data but no data for L1--data ignored"};
    Texts_t got;
    for (const auto &t : Texts())
        if (t.find("L2 data") != std::string::npos) got.push_back(t);
    EXPECT_EQ(got, want);
}

TEST_F(RangeTest, SatelliteAndObservationLimits) {
    Open([](Oem4Options &o) { o.reportAll = 0; });
    std::vector<Obs> obs;
    for (uint16_t p = 1; p <= 24; ++p) obs.push_back(L1(p));
    EXPECT_EQ(Run(obs).meas.size(), 24u);

    // More than the 24 slots: the epoch is fitted to them, not refused; over
    // 64 L1 observations it is.
    obs.push_back(L1(25));
    Epoch e = Run(obs);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.meas.size(), 24u);
    EXPECT_EQ(Texts(), Texts_t{"Notice: epoch has 25 satellites for 24 channels; left out PRN 25 "
                               "(later epochs cut alike are counted)"});
    std::vector<Obs> many = obs;
    for (uint16_t p = 26; p <= 65; ++p) many.push_back(L1(p));
    CapturedMessages().clear();
    e = Run(many);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_EPOCH), 0);
    EXPECT_EQ(Texts(), Texts_t{"Too many satellites for internal buffers"});

    // 106 observations fit the staging test; repeated L2s overwrite their slot
    // and still mark it once.
    obs.pop_back();
    for (int i = 0; i < 82; ++i) obs.push_back(L2(static_cast<uint16_t>(1 + i % 24)));
    CapturedMessages().clear();
    e = Run(obs);
    ASSERT_EQ(e.meas.size(), 24u);
    for (const auto &t : e.tracking) EXPECT_EQ(t.signalFlags, 7u);
    obs.push_back(L2(1));
    EXPECT_EQ(Run(obs).result, 0);
    EXPECT_EQ(Texts(), Texts_t{"Output buffer overflow--too many OEM4 satellites"});

    CapturedMessages().clear();
    EXPECT_EQ(Run({L2(3), L1(0)}).result, 0); // no usable L1: dropped quietly
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(Run({}).result, 0);
}

TEST_F(RangeTest, CodeScreeningAndLockConversions) {
    std::vector<Obs> obs = {L1(1, 12.97f), L1(2, 255.0f), L1(3, 300.0f), L1(4, -1.0f), L1(5, 255.5f)};
    obs[2].status &= ~(1u << 11);
    obs[3].status &= ~(1u << 12);
    Epoch e = Run(obs, At(100.0, 180));
    ASSERT_EQ(e.meas.size(), 5u);
    const uint8_t locks[] = {12, 255, 255, 0, 255};
    for (size_t j = 0; j < 5; ++j) {
        EXPECT_EQ(+e.meas[j].l1Lock, locks[j]);
        EXPECT_EQ(+e.tracking[j].l1LockTime, obs[j].lockTime);
        EXPECT_EQ(+e.meas[j].l1Phase, obs[j].phase); // kept even without code
        EXPECT_EQ(+e.meas[j].l1Pseudorange, j == 2 || j == 3 ? 0.0 : obs[j].pseudorange);
    }
    Texts_t bad;
    for (const auto &t : Texts())
        if (t.find("bad code") != std::string::npos) bad.push_back(t);
    EXPECT_EQ(bad, (Texts_t{"PRN 3 has bad code tracking bits on L1--satellite ignored",
                            "PRN 4 has bad code tracking bits on L1--satellite ignored"}));

    Open([](Oem4Options &o) { o.reportAll = 0; });
    e = Run(obs);
    EXPECT_EQ(+e.meas[2].l1Pseudorange, 0.0);
    EXPECT_TRUE(Texts().empty());
}

TEST_F(RangeTest, L2CodeNeedsPhaseLockWhenRequired) {
    Obs young = L2(1, 0.005f), unlocked = L2(2, 50.0f), fine = L2(3, 0.015f);
    unlocked.status &= ~(1u << 10);
    const std::vector<Obs> obs = {L1(1), L1(2), L1(3), young, unlocked, fine};
    Epoch e = Run(obs);
    EXPECT_EQ(+e.meas[0].l2Pseudorange, 0.0);
    EXPECT_EQ(+e.meas[0].l2Phase, young.phase);
    EXPECT_EQ(+e.tracking[0].l2LockTime, young.lockTime);
    EXPECT_EQ(+e.meas[1].l2Pseudorange, 0.0);
    EXPECT_EQ(+e.meas[2].l2Pseudorange, fine.pseudorange);

    Open([](Oem4Options &o) { o.requireL2Lock = 0; });
    e = Run(obs);
    EXPECT_EQ(+e.meas[0].l2Pseudorange, young.pseudorange);
    EXPECT_EQ(+e.meas[1].l2Pseudorange, unlocked.pseudorange);
}

TEST_F(RangeTest, PositionAttachedWithinMaxAgeElseLimitedMessages) {
    Open([](Oem4Options &o) { o.reportAll = 0; });
    Run({L1(1)}, At(104.0)); // no BESTPOS yet: nothing attached, nothing said
    EXPECT_TRUE(Texts().empty());
    GetOpenPort(0)->lastPosition = {1.0, 100.0, 1500, 45.25, -75.5, 70.123456789};
    Epoch e = Run({L1(1)}, At(104.0));
    EXPECT_EQ(+e.epoch.flags, 1);
    EXPECT_EQ(+e.epoch.latitude, 45.25);
    EXPECT_EQ(+e.epoch.longitude, -75.5);
    EXPECT_EQ(+e.epoch.height, 70.123456789f);
    EXPECT_EQ(Run({L1(1)}, At(96.0)).epoch.flags, 1);

    for (int i = 0; i < 60; ++i) {
        e = Run({L1(1)}, At(106.0));
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(+e.epoch.flags, 0);
        EXPECT_EQ(+e.epoch.latitude, 0.0);
    }
    const Texts_t t = Texts();
    ASSERT_EQ(t.size(), 51u);
    EXPECT_EQ(t[0], "RANGE/BESTPOS records have a time synchronization error. Order must be "
                    "BESTPOS then RANGE");
    for (int i = 1; i < 50; ++i) EXPECT_EQ(t[i], "RANGE/BESTPOS records have a time synchronization error");
    EXPECT_EQ(t[50], "Too many RANGE/BESTPOS time synchronization error messages. No more messages "
                     "will be printed");
    EXPECT_EQ(CapturedMessages()[0].time, 106.0);

    // By seconds of week alone last week's fix would pass for this week's,
    // and a fresh one would be lost across the week's end.
    GetOpenPort(0)->lastPosition = {1.0, 104.0, 1499, 45.25, -75.5, 70.0};
    EXPECT_EQ(Run({L1(1)}, At(104.0)).epoch.flags, 0);
    GetOpenPort(0)->lastPosition = {1.0, 604799.0, 1499, 45.25, -75.5, 70.0};
    EXPECT_EQ(Run({L1(1)}, At(2.0)).epoch.flags, 1);
    // Exactly 5 s old is young enough at every time of week, as at 302405.
    for (double from : {4.2, 0.6, 302400.0}) {
        GetOpenPort(0)->lastPosition = {1.0, from, 1500, 45.25, -75.5, 70.0};
        EXPECT_EQ(Run({L1(1)}, At(from + 5.0)).epoch.flags, 1) << from;
    }
}

TEST_F(RangeTest, ClockModelWithinThirtySecondsAndMissingClockReport) {
    GetOpenPort(0)->lastClockModel = {1.0, 100.0, 1500, 1500.0, -0.25};
    Epoch e = Run({L1(1)}, At(129.9, 60));
    EXPECT_EQ(+e.epoch.clockOffset, 1500.0);
    EXPECT_EQ(+e.epoch.clockDrift, -0.25);
    EXPECT_EQ(+e.epoch.receiverTime, 129.9);
    EXPECT_EQ(+e.epoch.correctedTime, 129.9 - 1500.0 / kC);
    e = Run({L1(1)}, At(130.0, 60));
    EXPECT_EQ(+e.epoch.clockOffset, 0.0);
    EXPECT_EQ(+e.epoch.clockDrift, 0.0);
    EXPECT_EQ(+e.epoch.correctedTime, 130.0);
    // Exactly 30 s old is too old at every time of week.
    for (double from : {2.8, 2.3}) {
        GetOpenPort(0)->lastClockModel = {1.0, from, 1500, 1500.0, -0.25};
        EXPECT_EQ(+Run({L1(1)}, At(from + 30.0)).epoch.clockOffset, 0.0) << from;
    }

    const std::string missing = "Missing clock offset for current epoch. Recompute receiver clock";
    int reports = 0;
    for (const auto &t : Texts()) reports += t == missing;
    EXPECT_EQ(reports, 2); // time status 60: with and without the model
    CapturedMessages().clear();
    Run({L1(1)}, At(131.0, 80));
    EXPECT_TRUE(Texts().empty());

    // Compared across the week's end, never by seconds of week alone.
    GetOpenPort(0)->lastClockModel = {1.0, 140.0, 1499, 1500.0, -0.25};
    EXPECT_EQ(+Run({L1(1)}, At(140.0, 80)).epoch.clockOffset, 0.0);
    GetOpenPort(0)->lastClockModel = {1.0, 604790.0, 1499, 1500.0, -0.25};
    EXPECT_EQ(+Run({L1(1)}, At(5.0, 80)).epoch.clockOffset, 1500.0);
}

// With the option set, every built epoch goes to the port's solver before
// the ThreadBuf, with its measurements; what the solver changes is what the
// ThreadBuf gets, and the missing clock offset is not reported.
TEST_F(RangeTest, BuiltEpochsGoToThePortSolverBeforeTheThreadBuf) {
    Open([](Oem4Options &o) {
        o.recomputeClock = 1;
        o.reportAll = 0;
    });
    GetOpenPort(0)->lastPosition = {1.0, 100.0, 1500, 45.25, -75.5, 70.0};
    static int calls;
    static double seenPrnSum;
    calls = 0;
    seenPrnSum = 0.0;
    SetPortEpochSolver(0, [](double time, EpochRecord *epoch, MeasRecord *meas) {
        ++calls;
        for (int i = 0; i < epoch->satCount; ++i) seenPrnSum += meas[i].prn;
        epoch->clockOffset = 30.0;
        epoch->correctedTime = time - 1e-7;
        ClearEpochPosition(epoch);
    });
    Epoch e = Run({L1(1), L1(2), L1(3), L1(4)}, At(100.0, 60));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenPrnSum, 10.0);
    EXPECT_EQ(+e.epoch.clockOffset, 30.0);
    EXPECT_EQ(+e.epoch.correctedTime, 100.0 - 1e-7);
    EXPECT_EQ(+e.epoch.flags & 1, 0);
    EXPECT_EQ(+e.epoch.latitude, 0.0);
    EXPECT_TRUE(Texts().empty());

    SetPortEpochSolver(0, nullptr); // none: the epoch keeps what was attached
    e = Run({L1(1), L1(2), L1(3), L1(4)}, At(100.5, 60));
    EXPECT_EQ(+e.epoch.flags, 1);
    EXPECT_EQ(+e.epoch.latitude, 45.25);
    EXPECT_TRUE(Texts().empty());
}

TEST_F(RangeTest, SlipAndRisingReports) {
    const auto epochs = [this]() {
        Run({L1(5), L2(5), L1(6), L1(120)}, At(100.0));
        Run({L1(5, 2.0f), L2(5, 300.0f), L1(6, 601.0f), L2(6, 1.0f), L1(7), L1(120, 1.0f)}, At(101.0));
        Run({L1(5, 3.0f), L2(5, 301.0f), L1(6)}, At(282.0)); // 181 s later
    };
    epochs();
    const Texts_t want = {"PRN 5 is rising or re-appearing", "PRN 6 is rising or re-appearing",
                          "PRN 5 is rising or re-appearing", // once per frequency
                          "L1 cycle slip on PRN 5",          "PRN 7 is rising or re-appearing",
                          "L2 cycle slip on PRN 5",          "L2 cycle slip on PRN 6", // L2 newly tracked
                          "PRN 5 is rising or re-appearing", "PRN 6 is rising or re-appearing",
                          "PRN 5 is rising or re-appearing"};
    EXPECT_EQ(Texts(), want);
    EXPECT_EQ(CapturedMessages()[3].time, 101.0);

    Open([](Oem4Options &o) { o.reportAll = 0; });
    epochs();
    EXPECT_TRUE(Texts().empty());
    Open(nullptr, false); // reportAll without a callback: nothing to call
    epochs();
    EXPECT_EQ(ReadEpoch(&buf).meas.size(), 2u);
}

// The slip table holds the previous epoch only: a satellite missing from it
// rises again even if an older epoch had it. A repeated L1 PRN keeps the L2
// data on its first slot.
TEST_F(RangeTest, SlipTableForgetsOlderEpochsAndL2PairsWithTheFirstSlot) {
    Run({L1(6), L1(5), L1(40)}, At(100.0));
    Run({L1(5)}, At(101.0));
    CapturedMessages().clear();
    Run({L1(5), L1(6), L1(40)}, At(102.0));
    EXPECT_EQ(Texts(), (Texts_t{"PRN 6 is rising or re-appearing", "PRN 40 is rising or re-appearing"}));
    Open(); // a reopened port has no previous epoch
    Run({L1(5)}, At(103.0));
    EXPECT_EQ(Texts(), (Texts_t{"PRN 5 is rising or re-appearing"}));

    const Epoch e = Run({L1(8), L1(8), L2(8)}, At(104.0));
    ASSERT_EQ(e.meas.size(), 2u);
    EXPECT_NE(+e.meas[0].l2Phase, 0.0);
    EXPECT_EQ(+e.meas[1].l2Phase, 0.0);
    EXPECT_EQ(+e.tracking[0].signalFlags, 7u);
    EXPECT_EQ(+e.tracking[1].signalFlags, 5u);
}

// An L2 lock logged as 0 at the epoch it was taken is an L2 lock all the
// same: its growth at the next epoch is no slip, so a slip is reported once.
TEST_F(RangeTest, L2LockStartingAtZeroIsReportedOnce) {
    Run({L1(5, 10.0f)}, At(100.0));
    CapturedMessages().clear();
    Run({L1(5, 11.0f), L2(5, 0.0f)}, At(101.0)); // L2 taken up at this epoch
    Run({L1(5, 12.0f), L2(5, 1.0f)}, At(102.0));
    EXPECT_TRUE(Texts().empty());
    Run({L1(5, 13.0f), L2(5, 0.0f)}, At(103.0)); // slip
    Run({L1(5, 14.0f), L2(5, 1.0f)}, At(104.0));
    EXPECT_EQ(Texts(), Texts_t{"L2 cycle slip on PRN 5"});
}

TEST_F(RangeTest, FailedPutIsReportedAndDropsTheEpoch) {
    SetThreadBufSize(200); // room for the epoch and one measurement, not the tracking
    EXPECT_EQ(Run({L1(5)}).result, 0);
    EXPECT_EQ(Texts(), (Texts_t{"PRN 5 is rising or re-appearing", GetThreadBufErrString(TB_OVERRUN)}));
    EXPECT_EQ(GetOpenPort(0)->slipTable[5].valid, 1); // the slip table still moved on
}

TEST_F(RangeTest, ArbitraryBodiesStayInBounds) {
    // Random observation bytes of every size the framing lets through: the
    // decoder may drop them but must neither crash nor write out of bounds
    // (run under the sanitizers in CI).
    uint32_t seed = 12345;
    const auto next = [&seed]() { return seed = seed * 1664525u + 1013904223u; };
    for (uint16_t id : {uint16_t{43}, uint16_t{140}}) {
        const uint32_t size = id == 43 ? 44 : 24;
        for (uint32_t n = 0; n <= 8150 / size; n += 1 + n / 8) {
            Bytes b;
            b.u4(n);
            for (uint32_t i = 0; i < n * size; ++i) b.u1(static_cast<uint8_t>(next() >> 24));
            const Epoch e = Decode(MakeRecord(id, b.data()), &buf);
            EXPECT_TRUE(e.result == 0 || e.result == 1);
            EXPECT_LE(e.meas.size(), 24u);
        }
    }
}
