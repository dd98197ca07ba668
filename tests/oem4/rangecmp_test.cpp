// RANGECMP expansion (bit fields, carrier-phase rollover, MAXCHAN cut) and
// whole receiver logs decoded into epochs.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "oem4/oem4_decoder.h"
#include "oem4/rangecmp.h"
#include "range_records.h"
#include "support/oem4_records.h"

using namespace testsupport;
using namespace rangetest;

namespace {

constexpr double kLambda1 = 0.190293672798, kLambda2 = 0.2442102134245682, kRoll = 8388608.0;

CmpObs Cmp(uint8_t prn, uint32_t status = kTracked) {
    return {status, -256128, 2688000064ull, 0, prn, 320, 25}; // -1000.5 Hz, 21000000.5 m, 10 s, 45 dB-Hz
}

// Pseudorange field (1/128 m) of a range of the given number of wavelengths.
uint64_t RangeOf(double cycles, double lambda) { return static_cast<uint64_t>(std::llround(cycles * lambda * 128.0)); }

class RangecmpTest : public ::testing::Test {
protected:
    void SetUp() override {
        Oem4Options o = DefaultOptions();
        o.requireL2Lock = 0;
        o.reportAll = 0;
        OpenTestPort(o);
    }
    ThreadBuf buf;
};

} // namespace

TEST_F(RangecmpTest, FieldsExpandToRangeUnits) {
    CmpObs fast = Cmp(9);
    fast.doppler = -(1 << 27); // most negative 28-bit value
    fast.pseudorange = (1ull << 36) - 1;
    fast.lockTime = (1u << 21) - 1;
    fast.cnoCode = 31;
    const Epoch e = Decode(Rangecmp({Cmp(3), fast}, At(200.0)), &buf);
    ASSERT_EQ(e.result, 1);
    ASSERT_EQ(e.meas.size(), 2u);
    EXPECT_EQ(+e.meas[0].prn, 3);
    EXPECT_EQ(+e.meas[0].l1Doppler, -1000.5);
    EXPECT_EQ(+e.meas[0].l1Pseudorange, 21000000.5);
    EXPECT_EQ(+e.meas[0].l1Lock, 10);
    EXPECT_EQ(+e.tracking[0].l1LockTime, 10.0);
    EXPECT_EQ(+e.tracking[0].l1Cno, 45.0);
    EXPECT_EQ(+e.meas[1].l1Doppler, -524288.0);
    EXPECT_EQ(+e.meas[1].l1Pseudorange, 68719476735.0 / 128.0);
    EXPECT_EQ(+e.tracking[1].l1LockTime, 2097151.0 / 32.0);
    EXPECT_EQ(+e.tracking[1].l1Cno, 51.0);
}

TEST_F(RangecmpTest, CarrierPhaseRolloverRebuild) {
    CmpObs a = Cmp(1), b = Cmp(2), l2 = Cmp(1, kTracked | kL2);
    a.pseudorange = b.pseudorange = RangeOf(13.155 * kRoll, kLambda1);
    b.adr = -256 * 100; // A = 100 cycles
    l2.pseudorange = RangeOf(13.155 * kRoll, kLambda2);
    const Epoch e = Decode(Rangecmp({a, b, l2}), &buf);
    ASSERT_EQ(e.meas.size(), 2u);
    EXPECT_EQ(+e.meas[0].l1Phase, -13.0 * kRoll);
    EXPECT_EQ(+e.meas[1].l1Phase, -(13.0 * kRoll + 100.0));
    EXPECT_EQ(+e.meas[0].l2Phase, -13.0 * kRoll); // L2 wavelength (L1's would give 17)

    // Negative rollover count: A = 3.6 * 2^23 cycles against a zero range.
    EXPECT_EQ(RebuildCarrierPhase(-3.6 * kRoll, 0.0, kTracked), -(-4.0 * kRoll + 3.6 * kRoll));
    EXPECT_EQ(RebuildCarrierPhase(2.25, 0.0, kTracked), 2.25);
}

TEST_F(RangecmpTest, MaxchanCutAndHighPrnsDropped) {
    OpenTestPort(DefaultOptions());
    std::vector<CmpObs> obs;
    for (uint8_t p = 1; p <= 12; ++p) obs.push_back(Cmp(p));
    obs[4].prn = 120; // SBAS: dropped, unlike in RANGE, not counted in the cut but as left out
    for (uint8_t p = 1; p <= 12; ++p) obs.push_back(Cmp(p, kTracked | kL2));
    for (uint8_t p = 13; p <= 18; ++p) obs.push_back(Cmp(p)); // observations 25 to 30
    const Epoch e = Decode(Rangecmp(obs, At(300.0)), &buf);
    ASSERT_EQ(e.result, 1);
    // 29 observations the file takes: the first 24 of them are 11 L1, 12 L2
    // and the L1 of PRN 13.
    ASSERT_EQ(e.meas.size(), 12u);
    for (size_t j = 0; j < 11; ++j) {
        EXPECT_NE(+e.meas[j].prn, 5);
        EXPECT_LE(+e.meas[j].prn, 12);
        EXPECT_EQ(+e.tracking[j].signalFlags, 7u);
    }
    EXPECT_EQ(+e.meas[11].prn, 13);
    EXPECT_EQ(+e.tracking[11].signalFlags, 5u);
    ASSERT_EQ(Texts().size(), 2u);
    EXPECT_EQ(Texts()[0], "MAXCHAN(24) exceeded, data may be lost on Port 0");
    EXPECT_EQ(CapturedMessages()[0].time, 300.0);
    EXPECT_EQ(Texts()[1], "PRN 5 had L2 data but no data for L1--data ignored");
    EXPECT_EQ(GetScreeningStats(0)->maxchanObservations, 5u);
    const auto &leftOut = GetScreeningStats(0)->leftOut;
    EXPECT_EQ(std::accumulate(std::begin(leftOut), std::end(leftOut), uint64_t{0}), 1u);

    // A file of more than 12 channels has room for an L1 and an L2 a
    // channel: the 18 satellites all stay in 20 channels.
    Oem4Options wide = DefaultOptions();
    wide.channels = 20;
    OpenTestPort(wide);
    obs[4].prn = 5;
    const Epoch all = Decode(Rangecmp(obs, At(301.0)), &buf);
    EXPECT_EQ(all.meas.size(), 18u);
    EXPECT_TRUE(Texts().empty()) << Texts()[0];
    EXPECT_EQ(GetScreeningStats(0)->maxchanObservations, 0u);

    // RANGE keeps PRN 120 as it is.
    const Epoch r = Decode(Range({L1(120)}), &buf);
    ASSERT_EQ(r.meas.size(), 1u);
    EXPECT_EQ(+r.meas[0].prn, 120);
}

// Every epoch of a real log, checked for physical sense. While a satellite
// keeps lock, its code-minus-phase difference moves by centimetres per
// epoch; a wrong rollover count would move it by 2^23 wavelengths. The two
// logs of the same receiver carry a constant offset of about 1.2 ms (360 km)
// between phase and code on most satellites, in RANGE as in RANGECMP, so
// only the OEMV log is held to an absolute bound.
struct LogSummary {
    int epochs = 0;
    int minSatellites = 99;
    int maxSatellites = 0;
};

LogSummary DecodeLog(const std::string &path, bool absolute, ThreadBuf *buf) {
    OpenTestPort(DefaultOptions());
    LogSummary s;
    std::map<int, std::pair<double, double>> previous; // PRN: offset, lock time
    for (uint8_t byte : ReadFileBytes(path)) {
        if (DecodeByte(0, byte, buf) != 1) continue;
        const Epoch e = ReadEpoch(buf);
        ++s.epochs;
        EXPECT_EQ(+e.epoch.satCount, e.meas.size());
        s.minSatellites = std::min<int>(s.minSatellites, static_cast<int>(e.meas.size()));
        s.maxSatellites = std::max<int>(s.maxSatellites, static_cast<int>(e.meas.size()));
        for (size_t j = 0; j < e.meas.size(); ++j) {
            const MeasRecord &m = e.meas[j];
            if (m.prn < 1 || m.prn > 32 || m.l1Pseudorange == 0.0) continue;
            EXPECT_GT(+m.l1Pseudorange, 19.0e6) << int(+m.prn);
            EXPECT_LT(+m.l1Pseudorange, 27.0e6) << int(+m.prn);
            EXPECT_LT(std::fabs(+m.l1Doppler), 6000.0) << int(+m.prn);
            const double offset = -m.l1Phase * kLambda1 - m.l1Pseudorange;
            const double lock = e.tracking[j].l1LockTime;
            if (absolute) {
                EXPECT_LT(std::fabs(offset), 300.0) << int(+m.prn);
                if (m.l2Pseudorange != 0.0) {
                    EXPECT_LT(std::fabs(-+m.l2Phase * kLambda2 - +m.l2Pseudorange), 300.0) << int(+m.prn);
                }
            }
            const auto it = previous.find(m.prn);
            if (it != previous.end() && lock > it->second.second) {
                EXPECT_LT(std::fabs(offset - it->second.first), 10.0) << int(+m.prn);
            }
            previous[m.prn] = {offset, lock};
        }
    }
    return s;
}

TEST_F(RangecmpTest, OemvLogAllFortySixEpochs) {
    const std::string path = SharedDataFile("oemv_200911218.gps");
    if (path.empty()) GTEST_SKIP() << "receiver log not present";
    const LogSummary s = DecodeLog(path, true, &buf);
    EXPECT_EQ(s.epochs, 46);
    // 30 observations: 18 GPS, 2 SBAS (no place in compressed records), 10
    // GLONASS. The cut to 24 keeps every GPS one, then 3 GLONASS satellites.
    EXPECT_EQ(s.minSatellites, 12);
    EXPECT_EQ(s.maxSatellites, 12);
}

TEST_F(RangecmpTest, RangeAndRangecmpLogsOfOneReceiver) {
    const std::pair<const char *, int> logs[] = {{"gps-rangecmp.dat", 429}, {"gps-range-static.dat", 594}};
    for (const auto &[name, epochs] : logs) {
        const std::string path = SharedDataFile(name);
        if (path.empty()) GTEST_SKIP() << "receiver log not present";
        const LogSummary s = DecodeLog(path, false, &buf);
        EXPECT_EQ(s.epochs, epochs) << name;
        EXPECT_LE(s.maxSatellites, 11) << name;
    }
}

// The rebuild by the wavelength's reciprocal must give the division's phase
// to the last bit: over the whole range of both fields, and where the
// rollover count is on the edge of a half (the range within a 1/256 cycle
// step of the ADR of a half rollover).
TEST(RangecmpRebuild, ReciprocalGivesTheDivisionsPhase) {
    constexpr double kWavelengths[] = {kLambda1,
                                       kLambda2,
                                       299792458.0 / 1176.45e6,
                                       299792458.0 / 1207.14e6,
                                       299792458.0 / 1561.098e6,
                                       299792458.0 / (1602.0e6 - 7 * 0.5625e6)};
    std::mt19937_64 rng(20261209);
    uint64_t cases = 0;
    for (double lambda : kWavelengths) {
        const double inverse = 1.0 / lambda;
        for (int i = 0; i < 20000; ++i) {
            const double pseudorange = static_cast<double>(rng() >> 28) / 128.0; // 36-bit field
            std::vector<double> adrs = {static_cast<int32_t>(rng()) / 256.0, 0.0, 8388607.99609375, -8388608.0};
            // The ADRs nearest each half rollover the range can meet.
            const double cycles = pseudorange / lambda;
            for (double half = std::floor(cycles / kRoll - 1.5) + 0.5; half < cycles / kRoll + 1.5; half += 1.0) {
                const double a = std::round((cycles - half * kRoll) * 256.0) / 256.0;
                for (int j = -2; j <= 2; ++j) {
                    if (std::fabs(a + j / 256.0) < kRoll) adrs.push_back(-(a + j / 256.0));
                }
            }
            for (double adr : adrs) {
                const double want = RebuildCarrierPhaseWith(adr, pseudorange, lambda);
                const double got = RebuildCarrierPhaseQuick(adr, pseudorange, lambda, inverse);
                ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want))
                    << "range " << pseudorange << " adr " << adr << " wavelength " << lambda;
                ++cases;
            }
        }
    }
    EXPECT_GT(cases, 500000u);
}
