// The decoded epoch's loss-of-lock indication: judged once, by the decoder,
// for each signal of each satellite, from its lock time against that
// signal's previous observation and from the tracking status word.
#include <gtest/gtest.h>

#include <vector>

#include "oem4/oem4_decoder.h"
#include "oem4/range.h"
#include "range_records.h"
#include "support/oem4_records.h"

using namespace testsupport;
using namespace rangetest;

namespace {

DecodedEpoch g_last;
int g_epochs = 0;
void Keep(const DecodedEpoch *epoch) {
    g_last = *epoch;
    ++g_epochs;
}

constexpr uint32_t kParityKnown = 1u << 11, kPhaseLock = 1u << 10;
constexpr uint32_t kGalileo = 3u << 16;

Obs With(Obs o, float lockTime, uint32_t status) {
    o.lockTime = lockTime;
    o.status = status;
    return o;
}

class LossOfLock : public ::testing::Test {
protected:
    void SetUp() override {
        OpenTestPort(DefaultOptions());
        SetPortEpochHandler(0, Keep);
        g_epochs = 0;
    }
    // The indications of one record's observations.
    std::vector<int> Run(const std::vector<Obs> &obs, double time) {
        const int before = g_epochs;
        Decode(Range(obs, At(time)), &buf);
        EXPECT_EQ(g_epochs, before + 1);
        std::vector<int> out;
        for (uint32_t i = 0; i < g_last.count; ++i) out.push_back(g_last.obs[i].lli);
        return out;
    }
    ThreadBuf buf;
};

} // namespace

TEST_F(LossOfLock, LockTimeRuleAndStatusFlagsPerSignal) {
    struct Case {
        const char *what;
        float lockBefore, lockAfter;
        double step; // s between the two records
        uint32_t statusAfter;
        int expected;
    };
    const Case cases[] = {
        {"lock grew with the time", 10.0f, 11.0f, 1.0, kTracked, 0},
        {"lock went down", 600.0f, 2.0f, 1.0, kTracked, 1},
        {"lock restarted within the interval", 0.5f, 0.8f, 1.0, kTracked, 1},
        {"records missing, tracked throughout", 50.0f, 110.0f, 60.0, kTracked, 0},
        {"records missing, lock restarted", 50.0f, 5.0f, 60.0, kTracked, 1},
        {"lock time at its ceiling", 65536.0f, 65536.0f, 1.0, kTracked, 0},
        {"parity not known", 10.0f, 11.0f, 1.0, kTracked & ~kParityKnown, 2},
        {"phase not locked", 10.0f, 11.0f, 1.0, kTracked & ~kPhaseLock, 1},
    };
    double time = 1000.0;
    uint16_t prn = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Run({With(L1(prn), c.lockBefore, kTracked)}, time), std::vector<int>{0}); // first: no history
        EXPECT_EQ(Run({With(L1(prn), c.lockAfter, c.statusAfter)}, time + c.step), std::vector<int>{c.expected});
        time += 1000.0; // each case on a satellite of its own, long after the last
        ++prn;
    }
}

// Each signal of each satellite has its own history: an L2 lock that
// restarts leaves L1 alone, and satellites of two systems sharing a PRN
// are apart.
TEST_F(LossOfLock, SignalsAndSystemsAreApart) {
    const Obs galileo = With(L1(5), 100.0f, kTracked | kGalileo | (2u << 21));
    Run({L1(5, 100.0f), L2(5, 100.0f), galileo}, 100.0);
    Obs galileoLater = galileo;
    galileoLater.lockTime = 101.0f;
    EXPECT_EQ(Run({L1(5, 101.0f), L2(5, 0.5f), galileoLater}, 101.0), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(g_last.obs[2].system, SYS_GALILEO);
    EXPECT_EQ(g_last.obs[2].satellite, 5);
    // A GLONASS slot on another frequency channel is another carrier.
    Obs glonass = With(L1(38, 100.0f), 100.0f, kTracked | (1u << 16));
    glonass.reserved = 7 + 3;
    Run({glonass}, 200.0);
    glonass.lockTime = 101.0f;
    glonass.reserved = 7 + 5;
    EXPECT_EQ(Run({glonass}, 201.0), std::vector<int>{1});
    glonass.lockTime = 102.0f;
    EXPECT_EQ(Run({glonass}, 202.0), std::vector<int>{0});
}

// RANGECMP's lock field stops at 65535.97 s: at that value it states only
// the least, so beside RANGE records of a longer lock (a receiver logging
// both, or a log turning from one to the other) the lock is kept; a lower
// value is a lock that restarted.
TEST_F(LossOfLock, RangecmpsLargestLockFieldIsALeastValue) {
    constexpr uint32_t kLargestField = (1u << 21) - 1;
    auto rangecmp = [this](uint32_t lockField, double time) {
        Decode(Rangecmp({{kTracked, 0, 2560000000u, 0, 7, lockField, 20}}, At(time)), &buf);
        return static_cast<int>(g_last.obs[0].lli);
    };
    Run({L1(7, 70000.0f)}, 500.0);
    EXPECT_EQ(rangecmp(kLargestField, 501.0), 0);
    EXPECT_EQ(Run({L1(7, 70002.0f)}, 502.0), std::vector<int>{0});
    EXPECT_EQ(rangecmp(kLargestField, 503.0), 0);
    EXPECT_EQ(rangecmp(32 * 60000u, 504.0), 1);
}
