// Screening by satellite system and signal, the choice of one L2 signal per
// satellite, and the fitting of an epoch to the file's channels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "oem4/oem4_decoder.h"
#include "oem4/screening.h"
#include "oem4/signals.h"
#include "range_records.h"
#include "support/oem4_records.h"

using namespace testsupport;
using namespace rangetest;
using Texts_t = std::vector<std::string>;

namespace {

uint32_t Signal(uint32_t system, uint32_t signal) { return kTracked | system << 16 | signal << 21; }

Obs Sig(uint16_t prn, uint32_t system, uint32_t signal, float cno = 45.0f, float lock = 600.0f) {
    Obs o = signal == kSignalL1CA ? L1(prn, lock) : L2(prn, lock);
    o.status = Signal(system, signal);
    o.cno = cno;
    o.phase = -1.0e6 * (system + 1) - signal - prn / 100.0; // tells the observations apart
    return o;
}

template <typename T> void AppendBytes(std::vector<uint8_t> *bytes, const T &record) {
    const size_t at = bytes->size();
    bytes->resize(at + sizeof record);
    std::memcpy(bytes->data() + at, &record, sizeof record);
}

class ScreeningTest : public ::testing::Test {
protected:
    void Open(uint32_t channels, uint32_t reportAll = 1) {
        Oem4Options o = DefaultOptions();
        o.reportAll = reportAll;
        o.channels = channels;
        OpenTestPort(o);
    }
    // The decoded epoch is whole only for a receiver of it, as the RINEX
    // export is; without one it holds what the observation file reads.
    void ReceiveDecodedEpochs() {
        SetPortEpochHandler(0, [](const DecodedEpoch *) {});
    }
    Epoch Run(const std::vector<Obs> &obs, double t = 100.0) { return Decode(Range(obs, At(t)), &buf); }
    const ScreeningStats &Stats() { return *GetScreeningStats(0); }
    ThreadBuf buf;
};

} // namespace

TEST(Signals, TrackingStatusLayouts) {
    // The older split of bits 21-25 into frequency and code type gives the
    // same numbers: L2 (1) with P codeless (2) is 1 + 2 * 4 = 9.
    EXPECT_EQ(TrackingSignal(1u << 21 | 2u << 23), kSignalL2PCodeless);
    EXPECT_EQ(ScreenObservation(Signal(SYS_GPS, kSignalL2PCodeless)), ROLE_L2_PREFERRED);
    EXPECT_EQ(ScreenObservation(Signal(SYS_GPS, kSignalGpsL2C)), ROLE_L2_OTHER);
    EXPECT_EQ(ScreenObservation(Signal(SYS_GPS, kSignalGpsL1C)), ROLE_LEFT_OUT);
    EXPECT_EQ(ScreenObservation(Signal(SYS_GPS, kSignalGpsL5)), ROLE_LEFT_OUT);
    EXPECT_EQ(ScreenObservation(Signal(SYS_GLONASS, kSignalL2CodeCA)), ROLE_L2_OTHER);
    EXPECT_EQ(ScreenObservation(Signal(SYS_SBAS, kSignalL1CA)), ROLE_L1);
    EXPECT_EQ(ScreenObservation(Signal(SYS_SBAS, kSignalL2P)), ROLE_LEFT_OUT);
    for (uint32_t system : {SYS_GALILEO, SYS_BEIDOU, SYS_QZSS, SYS_NAVIC, SYS_OTHER}) {
        for (uint32_t signal = 0; signal < 32; ++signal) {
            EXPECT_EQ(ScreenObservation(Signal(system, signal)), ROLE_LEFT_OUT) << system << " " << signal;
        }
    }
}

// One epoch of a five-system receiver: BeiDou and Galileo share PRN 5 with
// GPS, QZSS and Galileo have L2-band signals, GPS has four signals.
TEST_F(ScreeningTest, FiveSystemEpochKeepsOnePrnOnceWithItsPreferredL2) {
    Open(12);
    ReceiveDecodedEpochs();
    Obs glonass = Sig(45, SYS_GLONASS, kSignalL1CA, 47.0f);
    glonass.reserved = 7 - 4;
    const std::vector<Obs> obs = {
        Sig(5, SYS_BEIDOU, 0),
        Sig(5, SYS_BEIDOU, 4),
        Sig(5, SYS_GPS, kSignalGpsL2C, 44.0f),
        Sig(5, SYS_GPS, kSignalL1CA, 50.0f),
        Sig(5, SYS_GPS, kSignalL2PCodeless, 41.0f),
        Sig(5, SYS_GPS, kSignalGpsL5),
        Sig(5, SYS_GPS, kSignalGpsL1C),
        Sig(5, SYS_GALILEO, 0),
        Sig(5, SYS_GALILEO, 17),
        glonass,
        Sig(45, SYS_GLONASS, kSignalL2CodeCA),
        Sig(45, SYS_GLONASS, kSignalL2P, 38.0f),
        Sig(131, SYS_SBAS, kSignalL1CA),
        Sig(193, SYS_QZSS, 0),
        Sig(193, SYS_QZSS, 17),
    };
    const Epoch e = Run(obs);
    ASSERT_EQ(e.meas.size(), 3u);
    EXPECT_EQ(+e.meas[0].prn, 5);
    EXPECT_EQ(+e.meas[0].l1Phase, obs[3].phase);
    EXPECT_EQ(+e.meas[0].l2Phase, obs[4].phase); // P(Y), not L2C
    EXPECT_EQ(+e.meas[1].prn, 45);
    EXPECT_EQ(+e.meas[1].l2Phase, obs[11].phase); // P, not C/A
    EXPECT_EQ(+e.meas[2].prn, 131);
    EXPECT_EQ(+e.tracking[0].signalFlags, 7u);
    EXPECT_EQ(+e.tracking[2].signalFlags, 5u);
    for (const std::string &t : Texts()) EXPECT_EQ(t.find("no data for L1"), std::string::npos) << t;

    const ScreeningStats &s = Stats();
    EXPECT_EQ(s.leftOut[SYS_GPS], 3u); // L2C not chosen, L5, L1C
    EXPECT_EQ(s.leftOut[SYS_GLONASS], 1u);
    EXPECT_EQ(s.leftOut[SYS_GALILEO], 2u);
    EXPECT_EQ(s.leftOut[SYS_BEIDOU], 2u);
    EXPECT_EQ(s.leftOut[SYS_QZSS], 2u);
    EXPECT_EQ(s.leftOut[SYS_SBAS], 0u);

    // The L2 signal each satellite took stays for the next epoch's choice;
    // the decoded epoch keeps every observation with its system and channel.
    const Oem4Decoder &dec = *GetOpenPort(0);
    EXPECT_EQ(dec.slipTable[e.meas[0].prn].l2Signal, kSignalL2PCodeless);
    EXPECT_EQ(dec.slipTable[45].l2Signal, kSignalL2P);
    ASSERT_EQ(dec.decoded.count, obs.size());
    for (uint32_t i = 0; i < dec.decoded.count; ++i) {
        const DecodedObservation &o = dec.decoded.obs[i];
        EXPECT_EQ(o.prn, obs[i].prn);
        EXPECT_EQ(o.system, TrackingSystem(obs[i].status));
        EXPECT_EQ(o.glonassChannel, o.system == SYS_GLONASS ? obs[i].reserved - 7 : kNoGlonassChannel) << i;
    }
}

// The L2 signal of a satellite stays what it was while it is tracked: a P
// code that comes and goes must not flip the L2 phase between two signals.
// A switch forced by the signal's loss is an L2 slip.
TEST_F(ScreeningTest, L2ChoiceStaysWhileTrackedAndAForcedSwitchIsASlip) {
    Open(12);
    const Obs l1 = Sig(7, SYS_GPS, kSignalL1CA);
    const Obs l2c = Sig(7, SYS_GPS, kSignalGpsL2C);
    const Obs p = Sig(7, SYS_GPS, kSignalL2PCodeless);
    EXPECT_EQ(+Run({l1, l2c}, 100.0).meas[0].l2Phase, l2c.phase);
    CapturedMessages().clear();
    EXPECT_EQ(+Run({l1, p, l2c}, 101.0).meas[0].l2Phase, l2c.phase);
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(+Run({l1, p}, 102.0).meas[0].l2Phase, p.phase);
    EXPECT_EQ(Texts(), Texts_t{"L2 cycle slip on PRN 7"});
    CapturedMessages().clear();
    EXPECT_EQ(+Run({l1, l2c, p}, 103.0).meas[0].l2Phase, p.phase);
    EXPECT_TRUE(Texts().empty());
    // A satellite that rises with both takes the P code.
    EXPECT_EQ(+Run({Sig(9, SYS_GPS, kSignalL1CA), Sig(9, SYS_GPS, kSignalGpsL2C), Sig(9, SYS_GPS, kSignalL2P)}, 104.0)
                   .meas[0]
                   .l2Phase,
              Sig(9, SYS_GPS, kSignalL2P).phase);
}

// 16 satellites for 12 channels, GLONASS listed first: every GPS satellite
// is kept, then the strongest GLONASS ones; in the next epoch the GLONASS
// satellites already written stay even when others are stronger.
TEST_F(ScreeningTest, EpochOverTheChannelsKeepsGpsThenPreviousThenStrongest) {
    Open(12);
    std::vector<Obs> obs;
    for (uint16_t p = 38; p < 44; ++p) {
        obs.push_back(Sig(p, SYS_GLONASS, kSignalL1CA, 30.0f + p - 38)); // 43 strongest
        obs.push_back(Sig(p, SYS_GLONASS, kSignalL2P));
    }
    for (uint16_t p = 1; p <= 10; ++p) obs.push_back(Sig(p, SYS_GPS, kSignalL1CA, 20.0f));
    Epoch e = Run(obs, 100.0);
    ASSERT_EQ(e.meas.size(), 12u);
    EXPECT_EQ(+e.epoch.satCount, 12);
    // Record order is kept among the satellites written.
    EXPECT_EQ(+e.meas[0].prn, 42);
    EXPECT_EQ(+e.meas[1].prn, 43);
    EXPECT_EQ(+e.tracking[1].signalFlags, 7u);
    for (size_t j = 2; j < 12; ++j) EXPECT_EQ(+e.meas[j].prn, j - 1);
    // The notice, then the 12 written satellites rising (42 and 43 once more
    // by their L2).
    ASSERT_EQ(Texts().size(), 15u);
    EXPECT_EQ(Texts()[0], "Notice: epoch has 16 satellites for 12 channels; left out PRN 38 39 40 41 "
                          "(later epochs cut alike are counted)");

    obs[0].cno = obs[2].cno = 60.0f; // 38 and 39 now the strongest
    CapturedMessages().clear();
    e = Run(obs, 101.0);
    ASSERT_EQ(e.meas.size(), 12u);
    EXPECT_EQ(+e.meas[0].prn, 42);
    EXPECT_EQ(+e.meas[1].prn, 43);
    // No rising report for the satellites left out, no L2-without-L1 report
    // for their L2, and the first cut alone is reported.
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(Stats().cutEpochs, 2u);
    EXPECT_EQ(Stats().cutSatellites, 8u);

    // 24 channels take all 16; a port given no channels too.
    Open(24);
    EXPECT_EQ(Run(obs).meas.size(), 16u);
    Open(0);
    EXPECT_EQ(Run(obs).meas.size(), 16u);
    EXPECT_EQ(Stats().cutEpochs, 0u);
}

// A compressed record of 30 observations the file takes, GLONASS first: the
// cut to 24 keeps every GPS observation. Galileo observations neither count
// towards the 24 nor reach the epoch.
TEST_F(ScreeningTest, CompressedCutKeepsEveryGpsObservation) {
    Open(12, 0);
    auto cmp = [](uint8_t prn, uint32_t status) { return CmpObs{status, 0, 2688000064ull, 0, prn, 320, 25}; };
    std::vector<CmpObs> obs;
    for (uint8_t p = 38; p < 45; ++p) {
        obs.push_back(cmp(p, Signal(SYS_GLONASS, kSignalL1CA)));
        obs.push_back(cmp(p, Signal(SYS_GLONASS, kSignalL2P)));
    }
    for (uint8_t p = 1; p <= 6; ++p) obs.push_back(cmp(p, Signal(SYS_GALILEO, 0)));
    for (uint8_t p = 1; p <= 8; ++p) {
        obs.push_back(cmp(p, Signal(SYS_GPS, kSignalL1CA)));
        obs.push_back(cmp(p, Signal(SYS_GPS, kSignalL2PCodeless)));
    }
    const Epoch e = Decode(Rangecmp(obs, At(200.0)), &buf);
    ASSERT_EQ(e.meas.size(), 12u); // 4 GLONASS + 8 GPS satellites
    for (size_t j = 0; j < 12; ++j) EXPECT_EQ(+e.tracking[j].signalFlags, 7u) << j;
    EXPECT_EQ(+e.meas[3].prn, 41);
    EXPECT_EQ(+e.meas[4].prn, 1);
    EXPECT_EQ(Texts(), Texts_t{"MAXCHAN(24) exceeded, data may be lost on Port 0"});
    EXPECT_EQ(Stats().maxchanObservations, 6u);
    EXPECT_EQ(Stats().leftOut[SYS_GALILEO], 6u);

    // Without GLONASS the same record is under the limit: nothing reported.
    obs.erase(obs.begin(), obs.begin() + 14);
    CapturedMessages().clear();
    EXPECT_EQ(Decode(Rangecmp(obs, At(201.0)), &buf).meas.size(), 8u);
    EXPECT_TRUE(Texts().empty());
}

// Ten GPS satellites with L1, L2 P(Y) and L2C are 30 compressed
// observations, but only 20 of them have a place in the epoch: no cut.
TEST_F(ScreeningTest, CompressedCutCountsOnlyTheChosenL2) {
    Open(24, 0);
    auto cmp = [](uint8_t prn, uint32_t status) { return CmpObs{status, 0, 2688000064ull, 0, prn, 320, 25}; };
    std::vector<CmpObs> obs;
    for (uint8_t p = 1; p <= 10; ++p) {
        obs.push_back(cmp(p, Signal(SYS_GPS, kSignalL1CA)));
        obs.push_back(cmp(p, Signal(SYS_GPS, kSignalL2PCodeless)));
        obs.push_back(cmp(p, Signal(SYS_GPS, kSignalGpsL2C)));
    }
    const Epoch e = Decode(Rangecmp(obs, At(200.0)), &buf);
    ASSERT_EQ(e.meas.size(), 10u);
    for (size_t j = 0; j < 10; ++j) EXPECT_EQ(+e.tracking[j].signalFlags, 7u) << j;
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(Stats().leftOut[SYS_GPS], 10u);
    EXPECT_EQ(GetOpenPort(0)->slipTable[10].l2Signal, kSignalL2PCodeless);
}

// A record of today's receiver carries far more observations than the file
// can take; only those it can take count towards the staging limit.
TEST_F(ScreeningTest, ObservationsLeftOutTakeNoRoom) {
    Open(12, 0);
    std::vector<Obs> obs;
    for (uint16_t p = 1; p <= 120; ++p) obs.push_back(Sig(p % 36 + 1, SYS_GALILEO, 17));
    for (uint16_t p = 1; p <= 10; ++p) obs.push_back(Sig(p, SYS_GPS, kSignalL1CA));
    const Epoch e = Run(obs);
    EXPECT_EQ(e.meas.size(), 10u);
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(Stats().leftOut[SYS_GALILEO], 120u);
}

// The GLONASS frequency channel travels with the compressed observation
// (bits 170-175, channel + 7) into the decoded epoch.
TEST_F(ScreeningTest, CompressedGlonassFrequencyChannelIsKept) {
    Open(12, 0);
    ReceiveDecodedEpochs();
    auto cmp = [](uint8_t prn, uint32_t status) { return CmpObs{status, 0, 2688000064ull, 0, prn, 320, 25}; };
    const std::vector<uint8_t> record =
        Rangecmp({cmp(3, Signal(SYS_GPS, kSignalL1CA)), cmp(45, Signal(SYS_GLONASS, kSignalL1CA))}, At(300.0));
    // Rebuild the body with the channel field set: +1 (code 8) for PRN 45.
    std::vector<uint8_t> body(record.begin() + 28, record.end() - 4);
    uint8_t &field = body[4 + 24 + 21];
    field = static_cast<uint8_t>((field & 0x03u) | (8u << 2));
    const Epoch e = Decode(MakeRecord(140, body, At(300.0)), &buf);
    ASSERT_EQ(e.meas.size(), 2u);
    const DecodedEpoch &decoded = GetOpenPort(0)->decoded;
    ASSERT_EQ(decoded.count, 2u);
    EXPECT_EQ(decoded.obs[0].glonassChannel, kNoGlonassChannel);
    EXPECT_EQ(decoded.obs[1].glonassChannel, 1);
    EXPECT_EQ(decoded.obs[1].system, SYS_GLONASS);
    EXPECT_EQ(decoded.obs[1].satellite, 8); // PRN 45: slot 8
}

// The common epoch is built in one pass, any other by the screening, L1
// and L2 passes, which reportAll always takes: both must give the same
// epoch, counts and L2 choice, whatever shape the epoch has, from RANGE
// and from RANGECMP.
TEST_F(ScreeningTest, OnePassGivesWhatThePassesGive) {
    const Obs gps1 = Sig(3, SYS_GPS, kSignalL1CA), gps2 = Sig(3, SYS_GPS, kSignalL2PCodeless);
    const Obs l2c = Sig(3, SYS_GPS, kSignalGpsL2C), galileo = Sig(11, SYS_GALILEO, kSignalL1CA);
    const Obs glo1 = Sig(45, SYS_GLONASS, kSignalL1CA), glo2 = Sig(45, SYS_GLONASS, kSignalL2P);
    const Obs sbas = Sig(122, SYS_SBAS, kSignalL1CA), sbas2 = Sig(122, SYS_SBAS, kSignalL2P);
    Obs unlocked = Sig(7, SYS_GPS, kSignalL2P);
    unlocked.status &= ~kStatusPhaseLockBit;
    auto pair = [](uint16_t prn) {
        return std::vector<Obs>{Sig(prn, SYS_GPS, kSignalL1CA, 40.0f + prn), Sig(prn, SYS_GPS, kSignalL2PCodeless)};
    };
    struct Shape {
        const char *what;
        uint32_t channels;
        std::vector<Obs> obs;
    };
    const Shape shapes[] = {
        {"pairs, other systems", 12, {gps1, gps2, galileo, glo1, glo2, sbas}},
        {"L2 before its L1", 12, {gps2, gps1, glo1, glo2}},
        {"L2 without L1", 12, {gps1, gps2, glo2}},
        {"two L2 signals", 12, {gps1, l2c, gps2}},
        {"SBAS L2", 12, {sbas, sbas2, gps1}},
        {"PRN 0 and twice the same L1", 12, {Sig(0, SYS_GPS, kSignalL1CA), gps1, gps1, gps2}},
        {"lock times at the edges of whole seconds and L2 lock",
         12,
         {Sig(3, SYS_GPS, kSignalL1CA, 45.0f, 0.0f), Sig(3, SYS_GPS, kSignalL2P, 45.0f, 0.0f),
          Sig(5, SYS_GPS, kSignalL1CA, 45.0f, 255.96875f), Sig(5, SYS_GPS, kSignalL2P, 45.0f, 1.0f / 32.0f),
          Sig(7, SYS_GPS, kSignalL1CA, 45.0f, 256.0f), unlocked, Sig(9, SYS_GPS, kSignalL1CA, 45.0f, 254.99f)}},
        {"more satellites than channels", 3, {}},
        {"exactly the channels", 6, {}},
        {"more than MAXCHAN observations", 24, {}},
    };
    // The same observations as a compressed record.
    auto compress = [](const std::vector<Obs> &obs) {
        std::vector<CmpObs> cmp;
        for (const Obs &o : obs) {
            const auto range = static_cast<uint64_t>(std::llround(o.pseudorange * 128.0));
            cmp.push_back({o.status, 0, range, static_cast<int32_t>(o.prn) * 1000, static_cast<uint8_t>(o.prn),
                           static_cast<uint32_t>(o.lockTime * 32.0f), static_cast<uint8_t>(o.cno - 20.0f)});
        }
        return cmp;
    };
    for (uint32_t run = 0; run < 2 * std::size(shapes); ++run) {
        const Shape &shape = shapes[run / 2];
        const bool compressed = run % 2 == 1;
        std::vector<Obs> obs = shape.obs;
        const uint16_t pairs = shape.channels == 24 ? 13 : 6;
        if (obs.empty()) {
            for (uint16_t prn = 1; prn <= pairs; ++prn) {
                for (const Obs &o : pair(prn)) obs.push_back(o);
            }
        }
        auto run_ = [&](double t) { return compressed ? Decode(Rangecmp(compress(obs), At(t)), &buf) : Run(obs, t); };
        std::vector<uint8_t> records[2];
        ScreeningStats stats[2];
        for (uint32_t reportAll = 0; reportAll <= 1; ++reportAll) {
            Open(shape.channels, reportAll);
            // Two epochs: the second meets the first one's satellites and L2
            // signals.
            run_(100.0);
            const Epoch e = run_(101.0);
            std::vector<uint8_t> &bytes = records[reportAll];
            bytes.clear();
            AppendBytes(&bytes, e.epoch);
            for (const MeasRecord &m : e.meas) AppendBytes(&bytes, m);
            for (const TrackingRecord &t : e.tracking) AppendBytes(&bytes, t);
            const Oem4Decoder &dec = *GetOpenPort(0);
            for (uint32_t prn = 0; prn < 64; ++prn) bytes.push_back(dec.slipTable[prn].l2Signal);
            for (uint32_t j = 0; j < dec.tsqPrnCount; ++j) bytes.push_back(static_cast<uint8_t>(dec.tsqPrns[j]));
            stats[reportAll] = Stats();
        }
        EXPECT_EQ(records[0], records[1]) << shape.what << (compressed ? ", compressed" : "");
        EXPECT_GT(records[0].size(), 64u + sizeof(EpochRecord)) << shape.what;
        for (uint32_t s = 0; s < kSystemCount; ++s) EXPECT_EQ(stats[0].leftOut[s], stats[1].leftOut[s]) << shape.what;
        EXPECT_EQ(stats[0].cutSatellites, stats[1].cutSatellites) << shape.what;
        EXPECT_EQ(stats[0].maxchanObservations, stats[1].maxchanObservations) << shape.what;
    }
}
