// The simulated log: framing, record contents against the truth, geometry,
// reproducibility and injected faults.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "common/le.h"
#include "oem4/oem4_decoder.h"
#include "oem4/signals.h"
#include "sim_support.h"
#include "support/oem4_records.h"

using namespace oem4sim;

namespace {

constexpr double kC = kSpeedOfLight;

SimConfig FlightConfig(RangeFormat format) {
    SimConfig c;
    c.seed = 42;
    c.duration = 240;
    c.rate = 2;
    c.format = format;
    c.motion = Motion::SurveyFlight;
    c.markInterval = 3.0;
    c.slipsPerHour = 20;
    c.satelliteTruth = true;
    return c;
}

// A RANGECMP observation expanded the way the converter reads it, phase
// rebuilt from the pseudorange.
RangeObservation Expand(const uint8_t *item) {
    RangeObservation o{};
    o.status = static_cast<uint32_t>(GetBits(item, 0, 32));
    int64_t dop = static_cast<int64_t>(GetBits(item, 32, 28));
    if (dop & (int64_t{1} << 27)) dop -= int64_t{1} << 28;
    o.doppler = static_cast<float>(dop / 256.0);
    o.pseudorange = static_cast<double>(GetBits(item, 60, 36)) / 128.0;
    double a = -(static_cast<int32_t>(GetBits(item, 96, 32)) / 256.0);
    double lambda = ((o.status >> 21) & 3) == 1 ? 0.2442102134245682 : 0.190293672798;
    double d = (o.pseudorange / lambda - a) / 8388608.0;
    double k = std::floor(std::fabs(d) + 0.5);
    if (d < 0) k = -k;
    o.adr = -(k * 8388608.0 + a);
    o.prn = static_cast<uint16_t>(GetBits(item, 136, 8));
    o.lockTime = static_cast<float>(GetBits(item, 144, 21) / 32.0);
    o.cno = static_cast<float>(20 + GetBits(item, 165, 5));
    return o;
}

RangeObservation ReadRange(const uint8_t *item) {
    RangeObservation o{};
    o.prn = le::U2(item);
    o.pseudorange = le::R8(item + 4);
    o.adr = le::R8(item + 16);
    o.doppler = le::R4(item + 28);
    o.cno = le::R4(item + 32);
    o.lockTime = le::R4(item + 36);
    o.status = le::U4(item + 40);
    return o;
}

} // namespace

// Both observation formats: every record frames cleanly, the records of an
// epoch come in the order a converter needs, and every logged value equals
// the truth to the resolution of its field.
TEST(SimLog, RecordsFrameCleanlyAndCarryTheTruth) {
    for (RangeFormat format : {RangeFormat::Range, RangeFormat::Rangecmp}) {
        SCOPED_TRACE(format == RangeFormat::Range ? "RANGE" : "RANGECMP");
        MemorySink s = Simulate(FlightConfig(format));
        std::vector<FoundRecord> recs = WalkLog(s.bytes);
        ASSERT_FALSE(recs.empty());
        EXPECT_EQ(recs[0].id, kMsgAlmanac);
        EXPECT_EQ(le::U4(recs[0].body), 31u);
        EXPECT_EQ(recs[1].id, kMsgRawalm);
        EXPECT_EQ(le::U4(recs[1].body + 8), 31u);

        size_t epoch = 0, sat = 0, mark = 0, eph = 0;
        const uint8_t *bestpos = nullptr, *clock = nullptr;
        int32_t posMs = -1;
        for (const FoundRecord &r : recs) {
            switch (r.id) {
            case kMsgBestpos:
                bestpos = r.body;
                posMs = r.ms;
                break;
            case kMsgClockModel: clock = r.body; break;
            case kMsgMarktime: {
                ASSERT_LT(mark, s.marks.size());
                const MarkTruth &m = s.marks[mark++];
                EXPECT_EQ(le::U4(r.body), m.week);
                EXPECT_NEAR(le::R8(r.body + 4) - le::R8(r.body + 12), m.gpsSeconds, 1e-9);
                EXPECT_EQ(r.ms, static_cast<int32_t>(std::floor(le::R8(r.body + 4) * 1000.0)));
                break;
            }
            case kMsgRawephem: {
                ASSERT_LT(eph, s.ephs.size());
                BroadcastEphemeris e{};
                ASSERT_TRUE(DecodeEphemerisSubframes(r.body + 12, &e));
                EXPECT_EQ(le::U4(r.body), static_cast<uint32_t>(s.ephs[eph].eph.prn));
                EXPECT_EQ(e.iode, s.ephs[eph].eph.iode);
                EXPECT_EQ(e.toe, s.ephs[eph].eph.toe);
                ++eph;
                break;
            }
            case kMsgRange:
            case kMsgRangecmp: {
                ASSERT_LT(epoch, s.epochs.size());
                const EpochTruth &t = s.epochs[epoch++];
                EXPECT_EQ(r.ms, static_cast<int32_t>(std::llround(t.receiverSeconds * 1000)));
                // Position and clock of the same time precede the epoch.
                ASSERT_TRUE(bestpos && clock);
                if (r.ms % 1000 == 0) {
                    EXPECT_EQ(posMs, r.ms);
                    EXPECT_NEAR(le::R8(bestpos + 8), t.latitude, 1e-12);
                    EXPECT_NEAR(le::R8(bestpos + 16), t.longitude, 1e-12);
                    EXPECT_NEAR(le::R8(bestpos + 24) + le::R4(bestpos + 32), t.height, 1e-6);
                    EXPECT_NEAR(le::R8(clock) / kC, t.clockOffset, 1e-15);
                }
                uint32_t n = le::U4(r.body);
                EXPECT_LE(n, 24u);
                size_t satsHere = 0;
                for (uint32_t i = 0; i < n; ++i) {
                    const uint8_t *p = r.body + 4 + i * (r.id == kMsgRange ? 44 : 24);
                    RangeObservation o = r.id == kMsgRange ? ReadRange(p) : Expand(p);
                    bool l2 = ((o.status >> 21) & 3) == 1;
                    EXPECT_EQ((o.status >> 10) & 7u, 7u) << "phase lock, parity, code lock";
                    if (!l2) {
                        ASSERT_LT(sat, s.sats.size());
                        ++satsHere;
                    }
                    const SatelliteTruth &st = s.sats[l2 ? sat - 1 : sat];
                    EXPECT_EQ(o.prn, st.prn);
                    const bool cmp = r.id == kMsgRangecmp;
                    double pr = l2 ? st.pseudorangeL2 : st.pseudorangeL1;
                    double adr = l2 ? st.adrL2 : st.adrL1;
                    double lock = l2 ? st.lockL2 : st.lockL1;
                    EXPECT_NEAR(o.pseudorange, pr, cmp ? 1.0 / 256 : 1e-9);
                    EXPECT_NEAR(o.adr, adr, cmp ? 1.0 / 512 : 1e-6);
                    EXPECT_NEAR(o.lockTime, lock, cmp ? 1.0 / 64 : 1e-4);
                    if (!l2) {
                        EXPECT_NEAR(o.doppler, st.dopplerL1, cmp ? 1.0 / 512 : 1e-3);
                        ++sat;
                    }
                }
                EXPECT_EQ(satsHere, static_cast<size_t>(t.satelliteCount));
                break;
            }
            default: break;
            }
        }
        EXPECT_EQ(epoch, s.epochs.size());
        EXPECT_EQ(epoch, 480u);
        EXPECT_EQ(mark, s.marks.size());
        EXPECT_GE(mark, 75u);
        EXPECT_EQ(eph, s.ephs.size());
        EXPECT_EQ(sat, s.sats.size());
    }
}

// The converter's own framing accepts the whole log without a word.
TEST(SimLog, FramingReportsNothing) {
    SimConfig c = FlightConfig(RangeFormat::Rangecmp);
    c.duration = 60;
    MemorySink s = Simulate(c);
    Oem4Options o = testsupport::DefaultOptions();
    o.reportAll = 1;
    testsupport::OpenTestPort(o);
    ThreadBuf buf;
    ClearThreadBuf(&buf);
    auto results = testsupport::Feed(s.bytes, &buf);
    // Once the record decoders are in, every epoch, ephemeris and mark
    // comes out of the framing.
    std::map<int32_t, size_t> kinds;
    for (const auto &r : results) ++kinds[r.second];
    if (kinds[RK_EPOCH]) {
        EXPECT_EQ(kinds[RK_EPOCH], s.epochs.size());
    }
    if (kinds[RK_MARK]) {
        EXPECT_EQ(kinds[RK_MARK], s.marks.size());
    }
    if (kinds[RK_EPHEMERIS]) {
        EXPECT_EQ(kinds[RK_EPHEMERIS], s.ephs.size());
    }
    for (const auto &m : testsupport::CapturedMessages()) {
        for (const char *framing : {"CRC", "Invalid", "overrun", "Record decoding failed"})
            EXPECT_EQ(m.text.find(framing), std::string::npos) << m.text;
    }
    Oem4Decoder *dec = GetOpenPort(0);
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(dec->state, WAIT_SYNC);

    // The same log with one body byte of its last epoch changed: the
    // framing did check the records, and finds exactly that one.
    std::vector<FoundRecord> recs = WalkLog(s.bytes);
    const FoundRecord &last = recs.back();
    ASSERT_EQ(last.id, kMsgRangecmp);
    std::vector<uint8_t> damaged = s.bytes;
    damaged[last.offset + 40] ^= 0x10;
    testsupport::OpenTestPort(o);
    testsupport::Feed(damaged, &buf);
    std::vector<std::string> framing;
    for (const auto &m : testsupport::CapturedMessages())
        if (m.text.find("CRC") != std::string::npos || m.text.find("Invalid") != std::string::npos)
            framing.push_back(m.text);
    ASSERT_EQ(framing.size(), 1u);
    EXPECT_EQ(framing[0], "32bit CRC failure on 'RANGECMP' record on port 0");
}

// A noise-free, vacuum log is exact: every pseudorange equals the distance
// to the satellite position of the broadcast ephemeris found in the log,
// computed as a receiver would, plus the true receiver clock minus the
// satellite clock. Also checks the elevation mask and the channel limit.
TEST(SimLog, PseudorangesMatchTheLoggedEphemerides) {
    SimConfig c;
    c.seed = 7;
    c.duration = 3 * 3600;
    c.rate = 0.1;
    c.format = RangeFormat::Range;
    c.noise = c.iono = c.tropo = false;
    c.maxSatellites = 9;
    c.elevationMask = 15;
    c.satelliteTruth = true;
    MemorySink s = Simulate(c);
    std::map<int, std::vector<EphemerisValues>> ephs;
    size_t epoch = 0, checked = 0;
    std::map<int, bool> seen;
    int rises = 0;
    std::vector<int> previous;
    for (const FoundRecord &r : WalkLog(s.bytes)) {
        if (r.id == kMsgRawephem) {
            BroadcastEphemeris e{};
            ASSERT_TRUE(DecodeEphemerisSubframes(r.body + 12, &e));
            ephs[static_cast<int>(le::U4(r.body))].push_back(PhysicalValues(e));
            continue;
        }
        if (r.id != kMsgRange) continue;
        const EpochTruth &t = s.epochs[epoch++];
        EXPECT_LE(t.satelliteCount, 9);
        std::vector<int> now(t.prns, t.prns + t.satelliteCount);
        for (int prn : now)
            if (std::find(previous.begin(), previous.end(), prn) == previous.end() && !previous.empty()) ++rises;
        previous = now;
        const double gps = r.ms * 0.001 - t.clockOffset;
        for (uint32_t i = 0; i < le::U4(r.body); ++i) {
            RangeObservation o = ReadRange(r.body + 4 + 44 * i);
            if (((o.status >> 21) & 3) != 0) continue;
            ASSERT_TRUE(ephs.count(o.prn)) << "no ephemeris before PRN " << o.prn;
            // The set with the nearest toe.
            const EphemerisValues *best = nullptr;
            for (const EphemerisValues &v : ephs[o.prn]) {
                double d = std::fabs(gps - v.toe);
                if (!best || d < std::fabs(gps - best->toe)) best = &v;
            }
            double tau = 0.07, range = 0;
            SatellitePv pv{};
            for (int it = 0; it < 8; ++it) {
                double tk = gps - tau - best->toe;
                BroadcastSatellite(*best, tk, tk, tau, &pv);
                double dx = pv.pos[0] - t.ecef[0], dy = pv.pos[1] - t.ecef[1], dz = pv.pos[2] - t.ecef[2];
                range = std::sqrt(dx * dx + dy * dy + dz * dz);
                tau = range / kC;
            }
            EXPECT_GT(range, 20.0e6);
            EXPECT_LT(range, 26.0e6);
            EXPECT_NEAR(o.pseudorange, range + kC * (t.clockOffset - pv.clock), 1e-3) << "PRN " << o.prn;
            ++checked;
        }
    }
    EXPECT_EQ(epoch, s.epochs.size());
    EXPECT_GT(checked, 5000u);
    EXPECT_GT(rises, 2) << "satellites should rise and set in three hours";
    for (const SatelliteTruth &st : s.sats) EXPECT_GE(st.elevation, 15.0);
}

TEST(SimLog, LockTimesGrowAndRestartAtSlips) {
    SimConfig c;
    c.seed = 3;
    c.duration = 1800;
    c.slipsPerHour = 6;
    c.satelliteTruth = true;
    MemorySink s = Simulate(c);
    ASSERT_GT(s.slips.size(), 5u);
    std::map<int, SatelliteTruth> last;
    size_t slipsSeen = 0;
    for (const SatelliteTruth &st : s.sats) {
        auto it = last.find(st.prn);
        if (it != last.end() && st.receiverSeconds - it->second.receiverSeconds < 1.5) {
            bool slipped = false;
            for (const SlipTruth &sl : s.slips)
                if (sl.prn == st.prn && sl.receiverSeconds == st.receiverSeconds) slipped = sl.l1;
            if (slipped) {
                EXPECT_EQ(st.lockL1, 0.0);
                EXPECT_NE(st.ambiguityL1, it->second.ambiguityL1);
                ++slipsSeen;
            } else {
                EXPECT_NEAR(st.lockL1, it->second.lockL1 + 1.0, 1e-9);
                EXPECT_EQ(st.ambiguityL1, it->second.ambiguityL1);
            }
        } else {
            EXPECT_EQ(st.lockL1, 0.0) << "a rising satellite starts its lock";
            EXPECT_LT(st.lockL2, 0.0) << "L2 locks after L1";
        }
        last[st.prn] = st;
    }
    EXPECT_GT(slipsSeen, 0u);
}

TEST(SimLog, SameSeedSameBytesAndFeaturesKeepTheirOwnRandomness) {
    SimConfig c = FlightConfig(RangeFormat::Rangecmp);
    c.duration = 30;
    MemorySink a = Simulate(c), b = Simulate(c);
    EXPECT_EQ(a.bytes, b.bytes);
    c.seed = 43;
    EXPECT_NE(Simulate(c).bytes, a.bytes);

    // Damage draws from its own stream: a log with flipped bytes differs
    // from the clean one in exactly the reported records, one byte each.
    c.seed = 42;
    c.faults.flipRate = 0.2;
    MemorySink f = Simulate(c);
    ASSERT_EQ(f.bytes.size(), a.bytes.size());
    ASSERT_FALSE(f.faults.empty());
    std::vector<FoundRecord> clean = WalkLog(a.bytes);
    size_t diffs = 0;
    for (size_t i = 0; i < a.bytes.size(); ++i) diffs += a.bytes[i] != f.bytes[i];
    EXPECT_EQ(diffs, f.faults.size());
    for (const FaultTruth &ft : f.faults) {
        ASSERT_LT(ft.recordIndex, clean.size());
        const FoundRecord &r = clean[ft.recordIndex];
        EXPECT_EQ(ft.messageId, r.id);
        EXPECT_NE(std::memcmp(a.bytes.data() + r.offset, f.bytes.data() + r.offset, r.length), 0);
    }
}

TEST(SimLog, InjectedFaultsAreFoundByTheFraming) {
    SimConfig c = FlightConfig(RangeFormat::Range);
    c.duration = 60;
    c.faults.badLengthRate = 0.1;
    c.faults.badCountRate = 0.1;
    c.faults.garbageRate = 0.1;
    c.faults.truncateRate = 0.05;
    c.faults.truncateTail = true;
    MemorySink s = Simulate(c);
    std::map<std::string, int> kinds;
    for (const FaultTruth &f : s.faults) ++kinds[f.kind];
    EXPECT_EQ(kinds["tail"], 1);
    EXPECT_GT(kinds["length"], 0);
    EXPECT_GT(kinds["count"], 0);
    EXPECT_GT(kinds["garbage"], 0);

    Oem4Options o = testsupport::DefaultOptions();
    o.reportAll = 1;
    testsupport::OpenTestPort(o);
    ThreadBuf buf;
    ClearThreadBuf(&buf);
    testsupport::Feed(s.bytes, &buf);
    int lengthMessages = 0, countMessages = 0;
    for (const auto &m : testsupport::CapturedMessages()) {
        lengthMessages += m.text.rfind("Invalid record length", 0) == 0;
        countMessages += m.text.rfind("Invalid variable data length", 0) == 0;
    }
    // Every wrong length is refused at the header; a wrong count is
    // refused when the count arrives (one message per damaged record, more
    // when re-feeding meets the damage again).
    EXPECT_GE(lengthMessages, kinds["length"]);
    EXPECT_GE(countMessages, 1);
}

TEST(SimLog, WeekRolloverAndConfigChecks) {
    SimConfig c;
    c.startWeek = 1023;
    c.startSeconds = 604790;
    c.duration = 20;
    MemorySink s = Simulate(c);
    uint16_t lastWeek = 0;
    int32_t lastMs = -1;
    for (const FoundRecord &r : WalkLog(s.bytes)) {
        if (r.id != kMsgRangecmp) continue;
        if (lastMs >= 0) {
            EXPECT_EQ((r.week - lastWeek) * 604800000 + r.ms - lastMs, 1000);
        }
        lastWeek = r.week;
        lastMs = r.ms;
    }
    EXPECT_EQ(lastWeek, 1024);
    for (const EphemerisTruth &e : s.ephs) EXPECT_EQ(e.eph.week10, e.eph.weekFull % 1024);

    SimConfig bad;
    bad.rate = 3; // 333.33 ms
    EXPECT_NE(CheckConfig(bad), "");
    bad = SimConfig{};
    bad.startSeconds = 604800;
    EXPECT_NE(CheckConfig(bad), "");
    bad = SimConfig{};
    bad.faults.flipRate = 0.7;
    bad.faults.truncateRate = 0.7;
    EXPECT_NE(CheckConfig(bad), "");
    MemorySink none;
    std::string why;
    EXPECT_EQ(RunSimulation(bad, &none, nullptr, &why), 1);
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(none.bytes.empty());
}

// GPSEPHEM and BESTXYZ, the records a receiver may be told to log instead of
// RAWEPHEM and BESTPOS, alone or beside them, carry the same broadcast and
// the same position.
TEST(SimLog, GpsephemAndBestxyzAloneOrBeside) {
    struct Choice {
        EphemerisRecords eph;
        PositionRecords pos;
    };
    for (Choice choice : {Choice{EphemerisRecords::Gpsephem, PositionRecords::Bestxyz},
                          Choice{EphemerisRecords::Both, PositionRecords::Both}}) {
        const bool both = choice.eph == EphemerisRecords::Both;
        SCOPED_TRACE(both ? "both" : "alone");
        SimConfig c = FlightConfig(RangeFormat::Rangecmp);
        c.duration = 60;
        c.ephemerisRecords = choice.eph;
        c.positionRecords = choice.pos;
        MemorySink s = Simulate(c);
        std::map<int32_t, const EpochTruth *> epochAt;
        for (const EpochTruth &t : s.epochs) epochAt[static_cast<int32_t>(std::llround(t.receiverSeconds * 1000))] = &t;

        std::map<uint16_t, size_t> count;
        size_t eph = 0;
        for (const FoundRecord &r : WalkLog(s.bytes)) {
            ++count[r.id];
            if (r.id == kMsgBestxyz) {
                ASSERT_EQ(epochAt.count(r.ms), 1u);
                const EpochTruth &t = *epochAt[r.ms];
                EXPECT_EQ(le::U4(r.body), 0u);
                EXPECT_EQ(le::U4(r.body + 4), 16u);
                for (int k = 0; k < 3; ++k) EXPECT_EQ(le::R8(r.body + 8 + 8 * k), t.ecef[k]);
            } else if (r.id == kMsgGpsephem) {
                ASSERT_LT(eph, s.ephs.size());
                const BroadcastEphemeris &e = s.ephs[eph++].eph;
                EXPECT_EQ(le::U4(r.body), static_cast<uint32_t>(e.prn));
                EXPECT_EQ(le::U4(r.body + 28) % 1024, e.week10);
                EXPECT_EQ(le::U4(r.body + 16), e.iode);
                EXPECT_EQ(le::U4(r.body + 160), e.iodc);
                EXPECT_EQ(le::R8(r.body + 32), e.toe * 16.0);
                EXPECT_EQ(std::sqrt(le::R8(r.body + 40)), e.sqrtA / 524288.0);
                EXPECT_EQ(le::R8(r.body + 56), PhysicalValues(e).m0);
            }
        }
        EXPECT_EQ(eph, s.ephs.size());
        EXPECT_EQ(count[kMsgRawephem], both ? s.ephs.size() : 0u);
        EXPECT_EQ(count[kMsgBestpos], both ? count[kMsgBestxyz] : 0u);
        EXPECT_EQ(count[kMsgBestxyz], s.epochs.size() / 2);
    }
}

// The position scatter moves the logged positions, and nothing else: every
// other record is the same byte for byte.
TEST(SimLog, PositionScatterMovesOnlyThePositions) {
    SimConfig c = FlightConfig(RangeFormat::Rangecmp);
    c.duration = 60;
    c.positionRecords = PositionRecords::Both;
    const MemorySink plain = Simulate(c);
    c.positionNoise = 2.0;
    const MemorySink moved = Simulate(c);
    const std::vector<FoundRecord> a = WalkLog(plain.bytes), b = WalkLog(moved.bytes);
    ASSERT_EQ(a.size(), b.size());
    double lastMoved = 0.0;
    size_t positions = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].id, b[i].id);
        ASSERT_EQ(a[i].length, b[i].length);
        const bool same =
            std::memcmp(plain.bytes.data() + a[i].offset, moved.bytes.data() + b[i].offset, a[i].length) == 0;
        if (a[i].id != kMsgBestxyz) {
            EXPECT_EQ(same, a[i].id != kMsgBestpos) << a[i].id;
            continue;
        }
        double d2 = 0.0;
        for (int k = 0; k < 3; ++k) d2 += std::pow(le::R8(b[i].body + 8 + 8 * k) - le::R8(a[i].body + 8 + 8 * k), 2);
        const double d = std::sqrt(d2);
        EXPECT_GT(d, 0.0);
        EXPECT_LT(d, 2.0 * 6.0); // within six sigma on every axis
        EXPECT_NE(d, lastMoved); // a new draw every second
        lastMoved = d;
        ++positions;
    }
    EXPECT_GT(positions, 20u);
}

// Ephemerides logged on time as well: at every whole multiple of the
// interval each satellite of the epoch's range record gets its current
// ephemeris again; the broadcasts themselves (the truth) are unchanged.
TEST(SimLog, EphemeridesLoggedAgainOnTime) {
    SimConfig c = FlightConfig(RangeFormat::Rangecmp);
    c.duration = 60;
    c.ephemerisRecords = EphemerisRecords::Gpsephem;
    const MemorySink plain = Simulate(c);
    c.ephemerisEvery = 20;
    const MemorySink s = Simulate(c);
    ASSERT_EQ(s.ephs.size(), plain.ephs.size());
    std::map<int32_t, const EpochTruth *> epochAt;
    for (const EpochTruth &t : s.epochs) epochAt[static_cast<int32_t>(std::llround(t.receiverSeconds * 1000))] = &t;

    std::map<int32_t, std::set<int>> logged; // PRNs of the GPSEPHEM records at each time
    for (const FoundRecord &r : WalkLog(s.bytes)) {
        if (r.id == kMsgGpsephem) logged[r.ms].insert(static_cast<int>(le::U4(r.body)));
    }
    size_t repeats = 0;
    for (const auto &[ms, prns] : logged) {
        ASSERT_EQ(epochAt.count(ms), 1u);
        if (ms % 20000 != 0) continue;
        const EpochTruth &t = *epochAt[ms];
        EXPECT_EQ(prns, std::set<int>(t.prns, t.prns + t.satelliteCount)) << ms;
        ++repeats;
    }
    EXPECT_EQ(repeats, 3u); // 60 s from a whole multiple of 20 s
}

// A five-system receiver of today: per satellite the signal set of its
// system, GLONASS listed first when asked, and truth that counts what an
// observation file of GPS and GLONASS L1 and one L2 has no place for.
TEST(SimLog, FiveSystemsWithTodaysSignalSets) {
    SimConfig cfg;
    cfg.seed = 4;
    cfg.duration = 30.0;
    cfg.format = RangeFormat::Range;
    cfg.otherSystems = oem4sim::SystemBit(1) | oem4sim::SystemBit(3) | oem4sim::SystemBit(4) | oem4sim::SystemBit(5);
    cfg.oem7Signals = true;
    cfg.glonassFirst = true;
    MemorySink s = Simulate(cfg);
    size_t epoch = 0;
    for (const FoundRecord &r : WalkLog(s.bytes)) {
        if (r.id != kMsgRange) continue;
        ASSERT_LT(epoch, s.epochs.size());
        const EpochTruth &t = s.epochs[epoch++];
        const uint32_t n = le::U4(r.body);
        uint32_t leftOut[8] = {};
        std::map<std::pair<uint32_t, uint32_t>, std::vector<uint32_t>> signals; // (system, PRN) -> signals
        std::vector<uint32_t> order;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t *o = r.body + 4 + 44 * i;
            const uint32_t status = le::U4(o + 40);
            const uint32_t system = TrackingSystem(status);
            signals[{system, le::U2(o)}].push_back(TrackingSignal(status));
            if (order.empty() || order.back() != system) order.push_back(system);
            if (ScreenObservation(status) == ROLE_LEFT_OUT) ++leftOut[system];
            if (system == SYS_GPS && TrackingSignal(status) == kSignalGpsL2C) ++leftOut[system]; // P(Y) taken
            if (system == SYS_GLONASS && TrackingSignal(status) == kSignalL2CodeCA) ++leftOut[system];
            if (system == SYS_GLONASS) {
                EXPECT_LE(le::U2(o + 2), 13u); // frequency channel + 7
            }
        }
        // GLONASS, GPS, then the others in system order (QZSS only when in view).
        ASSERT_GE(order.size(), 4u);
        EXPECT_EQ(order[0], SYS_GLONASS);
        EXPECT_EQ(order[1], SYS_GPS);
        for (size_t k = 3; k < order.size(); ++k) EXPECT_GT(order[k], order[k - 1]);
        for (uint32_t k = 0; k < 8; ++k) EXPECT_EQ(leftOut[k], t.leftOut[k]) << k;
        for (const auto &[key, list] : signals) {
            if (key.first == SYS_GPS && list.size() > 1) {
                EXPECT_EQ(list, (std::vector<uint32_t>{kSignalL1CA, kSignalL2PCodeless, kSignalGpsL2C, kSignalGpsL5}));
            }
            if (key.first == SYS_QZSS) {
                EXPECT_GE(key.second, 193u);
            }
        }
        EXPECT_GT(t.glonassCount, 0);
        EXPECT_GT(t.otherCount, 0);
    }
    EXPECT_EQ(epoch, s.epochs.size());
}
