#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/le.h"
#include "oem4/crc32.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

using namespace testsupport;

// Fields of the packed records are compared as copies (unary +): the test
// macros take their arguments by reference, which a packed field cannot bind.

namespace {

struct Bestpos {
    uint32_t status = 0;
    uint32_t type = 16;
    double lat = 51.0, lon = -114.0, height = 250.0;
    float undulation = -28.5f, latSigma = 3.0f, lonSigma = 4.0f, heightSigma = 6.5f;
    float age = 1.5f;
};

std::vector<uint8_t> BestposRecord(const Bestpos &p, int32_t ms = 100000) {
    Bytes b;
    b.u4(p.status).u4(p.type).r8(p.lat).r8(p.lon).r8(p.height).r4(p.undulation).u4(61);
    b.r4(p.latSigma).r4(p.lonSigma).r4(p.heightSigma).zeros(8).r4(p.age).zeros(8);
    EXPECT_EQ(b.size(), 72u);
    return MakeRecord(42, b.data(), {1500, ms, 180});
}

// A BESTXYZ solution at a geodetic point, placed in Earth-centred
// coordinates with the WGS 84 flattening (not the converter's own code).
struct Bestxyz {
    uint32_t status = 0;
    uint32_t type = 16;
    double lat = 51.0, lon = -114.0, height = 221.5; // degrees, metres
    float sx = 1.0f, sy = 2.0f, sz = 3.0f, age = 0.5f;
};

std::vector<uint8_t> BestxyzRecord(const Bestxyz &p, int32_t ms = 100000) {
    const double a = 6378137.0, f = 1.0 / 298.257223563, e2 = f * (2.0 - f);
    const double lat = p.lat * M_PI / 180.0, lon = p.lon * M_PI / 180.0;
    const double n = a / std::sqrt(1.0 - e2 * std::sin(lat) * std::sin(lat));
    Bytes b;
    b.u4(p.status).u4(p.type);
    b.r8((n + p.height) * std::cos(lat) * std::cos(lon)).r8((n + p.height) * std::cos(lat) * std::sin(lon));
    b.r8((n * (1.0 - e2) + p.height) * std::sin(lat));
    b.r4(p.sx).r4(p.sy).r4(p.sz).u4(0).u4(8).r8(0.01).r8(-0.02).r8(0.03).r4(0.1f).r4(0.1f).r4(0.1f);
    b.raw({'0', 0, 0, 0}).r4(0.15f).r4(0.0f).r4(p.age).u1(9).u1(8).u1(8).zeros(5);
    EXPECT_EQ(b.size(), 112u);
    return MakeRecord(241, b.data(), {1500, ms, 180});
}

std::vector<uint8_t> ClockRecord(double offset, double drift, uint32_t status, int32_t ms) {
    Bytes b;
    b.r8(offset).r8(0.25).r8(drift).u4(status);
    return MakeRecord(71, b.data(), {1500, ms, 180});
}

std::vector<uint8_t> MarkRecordBytes(uint32_t week, double seconds, double offset) {
    Bytes b;
    b.u4(week).r8(seconds).r8(offset).zeros(20);
    return MakeRecord(231, b.data());
}

class PositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        OpenTestPort(DefaultOptions());
        ClearThreadBuf(&buf);
    }
    void TearDown() override { SetThreadBufSize(kThreadBufDefaultCapacity); }
    Oem4Decoder *Port() { return GetOpenPort(0); }
    // The single result of feeding a record, or 0 when there was none.
    int32_t FeedOne(const std::vector<uint8_t> &rec) {
        auto r = Feed(rec, &buf);
        EXPECT_LE(r.size(), 1u);
        if (r.empty()) return 0;
        EXPECT_EQ(r[0].first, rec.size() - 1);
        return r[0].second;
    }
    PositionRecord Position() {
        uint8_t raw[kPositionRecordSize];
        EXPECT_EQ(ReadThreadBufData(&buf, TBREC_POSITION, 1, raw), 1);
        return le::Load<PositionRecord>(raw);
    }
    ThreadBuf buf;
};

} // namespace

TEST_F(PositionTest, BestposGivesEllipsoidalHeightAndHorizontalSigma) {
    EXPECT_EQ(FeedOne(BestposRecord({})), 4);
    ASSERT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 1);
    uint8_t raw[kPositionRecordSize];
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_POSITION, 1, raw), 1);
    const auto pos = le::Load<PositionRecord>(raw);
    EXPECT_EQ(+pos.time, 100.0);
    EXPECT_EQ(+pos.week, 1500u);
    EXPECT_EQ(+pos.origin, 3u);
    EXPECT_EQ(+pos.latitude, 51.0);
    EXPECT_EQ(+pos.longitude, -114.0);
    EXPECT_EQ(+pos.height, 221.5);
    EXPECT_DOUBLE_EQ(+pos.horizontalSigma, 5.0);
    EXPECT_EQ(+pos.heightSigma, 6.5);
    EXPECT_EQ(+pos.solutionAge, 1.5);

    const LastPosition &last = Port()->lastPosition;
    EXPECT_EQ(last.valid, 1.0);
    EXPECT_EQ(last.time, 100.0);
    EXPECT_EQ(last.latitude, 51.0);
    EXPECT_EQ(last.longitude, -114.0);
    EXPECT_EQ(last.height, 221.5);
}

TEST_F(PositionTest, BestposWithoutSolutionInvalidatesLastPosition) {
    ASSERT_EQ(FeedOne(BestposRecord({})), 4);
    ASSERT_EQ(Port()->lastPosition.valid, 1.0);

    Bestpos noType;
    noType.type = 0;
    EXPECT_EQ(FeedOne(BestposRecord(noType, 101000)), 4);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 0);
    EXPECT_EQ(Port()->lastPosition.valid, 0.0);

    ASSERT_EQ(FeedOne(BestposRecord({}, 102000)), 4);
    Bestpos badStatus;
    badStatus.status = 1;
    EXPECT_EQ(FeedOne(BestposRecord(badStatus, 103000)), 4);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 0);
    EXPECT_EQ(Port()->lastPosition.valid, 0.0);
    // Values no receiver's position has, in a record marked computed: none.
    for (auto [lat, lon, height] :
         {std::tuple{double(NAN), -114.0, 250.0}, std::tuple{91.0, -114.0, 250.0}, std::tuple{51.0, 400.0, 250.0},
          std::tuple{51.0, -114.0, double(INFINITY)}, std::tuple{51.0, -114.0, -6378137.0}}) {
        ASSERT_EQ(FeedOne(BestposRecord({}, 104000)), 4);
        Bestpos impossible;
        impossible.lat = lat;
        impossible.lon = lon;
        impossible.height = height;
        EXPECT_EQ(FeedOne(BestposRecord(impossible, 105000)), 4);
        EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 0) << lat << " " << lon << " " << height;
        EXPECT_EQ(Port()->lastPosition.valid, 0.0);
    }
    EXPECT_TRUE(CapturedMessages().empty());
}

TEST_F(PositionTest, FailedPutsAreReportedButPositionAndMarkNumberAreUsed) {
    // Room for the buffer header and one group header only.
    SetThreadBufSize(kThreadBufHeaderSize + kThreadBufGroupHeaderSize + 8);
    EXPECT_EQ(FeedOne(BestposRecord({}, 200000)), 0);
    EXPECT_EQ(Port()->lastPosition.valid, 1.0);
    EXPECT_EQ(Port()->lastPosition.time, 200.0);

    EXPECT_EQ(FeedOne(MarkRecordBytes(1500, 10.0, 0.0)), 0);
    ASSERT_EQ(CapturedMessages().size(), 2u);
    for (const auto &m : CapturedMessages()) {
        EXPECT_EQ(m.text, "Thread Buffer overrun--No more space for output data");
    }
    EXPECT_EQ(CapturedMessages()[0].time, 200.0);

    SetThreadBufSize(kThreadBufDefaultCapacity);
    uint8_t raw[kMarkRecordSize];
    // The mark after the dropped one skips the dropped one's number.
    ASSERT_EQ(FeedOne(MarkRecordBytes(1500, 11.0, 0.0)), 7);
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
    const uint32_t after = le::Load<MarkRecord>(raw).markNumber;
    ASSERT_EQ(FeedOne(MarkRecordBytes(1500, 12.0, 0.0)), 7);
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
    EXPECT_EQ(+le::Load<MarkRecord>(raw).markNumber, after + 1);
}

TEST_F(PositionTest, ClockModelStatusAboveOneKeepsEarlierModel) {
    EXPECT_EQ(FeedOne(ClockRecord(12.5, 0.75, 0, 100000)), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 0);
    const LastClockModel &clock = Port()->lastClockModel;
    EXPECT_EQ(clock.valid, 1.0);
    EXPECT_EQ(clock.time, 100.0);
    EXPECT_EQ(clock.offset, 12.5);
    EXPECT_EQ(clock.drift, 0.75);

    EXPECT_EQ(FeedOne(ClockRecord(99.0, 9.0, 2, 101000)), 0);
    EXPECT_EQ(clock.time, 100.0);
    EXPECT_EQ(clock.offset, 12.5);
    EXPECT_EQ(FeedOne(ClockRecord(99.0, 9.0, 0xFFFFFFFFu, 101000)), 0);
    EXPECT_EQ(clock.offset, 12.5);
    // Values no clock has: every corrected time would be not a number.
    for (auto [offset, drift] :
         {std::pair{double(NAN), 0.0}, std::pair{-double(INFINITY), 0.0}, std::pair{1.0, double(NAN)}}) {
        EXPECT_EQ(FeedOne(ClockRecord(offset, drift, 0, 101000)), 0);
        EXPECT_EQ(clock.time, 100.0);
        EXPECT_EQ(clock.offset, 12.5);
    }

    EXPECT_EQ(FeedOne(ClockRecord(-3.0, -0.5, 1, 102000)), 0);
    EXPECT_EQ(clock.time, 102.0);
    EXPECT_EQ(clock.offset, -3.0);
    EXPECT_EQ(clock.drift, -0.5);

    // A new conversion forgets both.
    ASSERT_EQ(FeedOne(BestposRecord({})), 4);
    OpenTestPort(DefaultOptions());
    EXPECT_EQ(Port()->lastClockModel.valid, 0.0);
    EXPECT_EQ(Port()->lastPosition.valid, 0.0);
}

TEST_F(PositionTest, MarksAreCorrectedToGpsTimeAndNumberedAcrossConversions) {
    ASSERT_EQ(FeedOne(MarkRecordBytes(1501, 100.25, 0.000125)), 7);
    uint8_t raw[kMarkRecordSize];
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
    const auto first = le::Load<MarkRecord>(raw);
    EXPECT_DOUBLE_EQ(+first.time, 100.249875);
    EXPECT_EQ(+first.week, 1501u);
    EXPECT_EQ(+first.origin, 2u);
    EXPECT_GE(+first.markNumber, 1u);
    const uint8_t zeros[40] = {};
    EXPECT_EQ(std::memcmp(raw + 16, zeros, 32), 0);
    EXPECT_EQ(std::memcmp(raw + 52, zeros, 40), 0);

    ASSERT_EQ(FeedOne(MarkRecordBytes(1501, 101.0, -0.5)), 7);
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
    EXPECT_EQ(+le::Load<MarkRecord>(raw).markNumber, first.markNumber + 1);
    EXPECT_EQ(+le::Load<MarkRecord>(raw).time, 101.5);

    // A pulse the offset moves across the week's end is a time of the
    // other week, in seconds of that week.
    const struct {
        uint32_t week;
        double seconds, offset, time;
        uint32_t markWeek;
    } acrossTheEnd[] = {{1501, 0.00001, 0.0001, 604799.99991, 1500}, {1500, 604799.9999, -0.0002, 0.0001, 1501}};
    for (const auto &c : acrossTheEnd) {
        ASSERT_EQ(FeedOne(MarkRecordBytes(c.week, c.seconds, c.offset)), 7);
        ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
        EXPECT_NEAR(+le::Load<MarkRecord>(raw).time, c.time, 1e-9);
        EXPECT_EQ(+le::Load<MarkRecord>(raw).week, c.markWeek);
    }

    // Re-opening the port (a new conversion) does not restart the numbering.
    OpenTestPort(DefaultOptions());
    ASSERT_EQ(FeedOne(MarkRecordBytes(1501, 102.0, 0.0)), 7);
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
    EXPECT_EQ(+le::Load<MarkRecord>(raw).markNumber, first.markNumber + 4);
}

TEST_F(PositionTest, BestxyzGivesTheGeodeticPositionAndLocalSigmas) {
    ASSERT_EQ(FeedOne(BestxyzRecord({})), 4);
    const PositionRecord pos = Position();
    EXPECT_EQ(+pos.time, 100.0);
    EXPECT_EQ(+pos.week, 1500u);
    EXPECT_EQ(+pos.origin, 3u);
    // Within a millimetre: the converter's semi-minor axis, 6356752.3141 m,
    // is 0.15 mm short of the one the flattening above gives.
    EXPECT_NEAR(+pos.latitude, 51.0, 1e-8);
    EXPECT_NEAR(+pos.longitude, -114.0, 1e-12);
    EXPECT_NEAR(+pos.height, 221.5, 0.001);
    EXPECT_EQ(+pos.solutionAge, 0.5);
    // Rotated, the sigmas keep their sum of squares.
    EXPECT_NEAR(pos.horizontalSigma * pos.horizontalSigma + pos.heightSigma * pos.heightSigma, 14.0, 1e-9);
    const LastPosition &last = Port()->lastPosition;
    EXPECT_EQ(last.valid, 1.0);
    EXPECT_EQ(last.time, 100.0);
    EXPECT_EQ(last.latitude, pos.latitude);
    EXPECT_EQ(last.longitude, pos.longitude);
    EXPECT_EQ(last.height, pos.height);

    // On the equator the up axis is X at longitude 0 and Y at longitude 90.
    Bestxyz equator;
    equator.lat = 0.0;
    equator.lon = 0.0;
    ASSERT_EQ(FeedOne(BestxyzRecord(equator)), 4);
    EXPECT_NEAR(+Position().heightSigma, 1.0, 1e-9);
    EXPECT_NEAR(+Position().horizontalSigma, std::sqrt(13.0), 1e-9);
    equator.lon = 90.0;
    ASSERT_EQ(FeedOne(BestxyzRecord(equator)), 4);
    EXPECT_NEAR(+Position().heightSigma, 2.0, 1e-9);
    EXPECT_NEAR(+Position().horizontalSigma, std::sqrt(10.0), 1e-9);
}

// As for BESTPOS: no solution makes the last position invalid, and so does
// a position that has no geodetic equivalent.
TEST_F(PositionTest, BestxyzWithoutSolutionInvalidatesLastPosition) {
    Bestxyz noType, badStatus;
    noType.type = 0;
    badStatus.status = 1;
    auto notANumber = BestxyzRecord({});
    le::PutR8(notANumber.data() + 28 + 8, NAN);
    const uint32_t crc = Oem4Crc32(notANumber.data(), 28 + 112);
    le::PutU4(notANumber.data() + 28 + 112, crc);
    Bestxyz centre; // (0, 0, 0): 6378 km below the equator
    centre.lat = 0.0;
    centre.lon = 0.0;
    centre.height = -6378137.0;
    for (const auto &rec : {BestxyzRecord(noType), BestxyzRecord(badStatus), notANumber, BestxyzRecord(centre)}) {
        ASSERT_EQ(FeedOne(BestxyzRecord({})), 4);
        ASSERT_EQ(Port()->lastPosition.valid, 1.0);
        EXPECT_EQ(FeedOne(rec), 4);
        EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 0);
        EXPECT_EQ(Port()->lastPosition.valid, 0.0);
    }
    EXPECT_TRUE(CapturedMessages().empty());
}

// A receiver standing still logs the same solution again and again, and its
// conversion is kept; a solution that differs in any one coordinate is
// converted afresh, and the kept one still holds when it comes back.
TEST_F(PositionTest, BestxyzAgainOrMovedInOneCoordinateGivesItsOwnPosition) {
    std::vector<uint8_t> still = BestxyzRecord({});
    for (const size_t coordinateAt : {8u, 16u, 24u}) {
        std::vector<uint8_t> moved = still;
        le::PutR8(moved.data() + 28 + coordinateAt, le::R8(still.data() + 28 + coordinateAt) + 100.0);
        le::PutU4(moved.data() + 28 + 112, Oem4Crc32(moved.data(), 28 + 112));
        std::vector<PositionRecord> got;
        for (const std::vector<uint8_t> *rec : {&still, &moved, &still, &still, &moved}) {
            ASSERT_EQ(FeedOne(*rec), 4);
            got.push_back(Position());
        }
        const auto same = [](const PositionRecord &a, const PositionRecord &b) {
            return a.latitude == b.latitude && a.longitude == b.longitude && a.height == b.height &&
                   a.horizontalSigma == b.horizontalSigma && a.heightSigma == b.heightSigma;
        };
        EXPECT_TRUE(same(got[0], got[2]) && same(got[0], got[3]) && same(got[1], got[4])) << coordinateAt;
        EXPECT_FALSE(got[0].height == got[1].height) << coordinateAt;
    }
}

// Once a conversion has met a BESTPOS solution, BESTXYZ no longer counts,
// whichever came first; a BESTPOS without one (a receiver starting) does
// not turn the BESTXYZ solutions that follow off.
TEST_F(PositionTest, BestposWinsOverBestxyzInEitherOrder) {
    Bestxyz elsewhere;
    elsewhere.lat = 47.0;
    ASSERT_EQ(FeedOne(BestxyzRecord(elsewhere, 100000)), 4);
    EXPECT_NEAR(Port()->lastPosition.latitude, 47.0, 1e-8);
    ASSERT_EQ(FeedOne(BestposRecord({}, 101000)), 4);
    EXPECT_EQ(FeedOne(BestxyzRecord(elsewhere, 102000)), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 0);
    EXPECT_EQ(Port()->lastPosition.time, 101.0);
    EXPECT_EQ(Port()->lastPosition.latitude, 51.0);

    OpenTestPort(DefaultOptions());
    ASSERT_EQ(FeedOne(BestposRecord({}, 100000)), 4);
    EXPECT_EQ(FeedOne(BestxyzRecord(elsewhere, 100000)), 0);
    EXPECT_EQ(Port()->lastPosition.latitude, 51.0);

    // The second antenna's solution (measurement source 1) is not taken.
    OpenTestPort(DefaultOptions());
    for (std::vector<uint8_t> rec : {BestposRecord({}), BestxyzRecord(elsewhere)}) {
        rec[6] = static_cast<uint8_t>((rec[6] & ~0x1F) | 1);
        le::PutU4(rec.data() + rec.size() - 4, Oem4Crc32(rec.data(), rec.size() - 4));
        EXPECT_EQ(FeedOne(rec), 0);
        EXPECT_EQ(Port()->lastPosition.valid, 0.0);
    }

    OpenTestPort(DefaultOptions());
    Bestpos none;
    none.status = 1;
    ASSERT_EQ(FeedOne(BestposRecord(none, 100000)), 4);
    EXPECT_EQ(FeedOne(BestxyzRecord(elsewhere, 101000)), 4);
    EXPECT_EQ(Port()->lastPosition.valid, 1.0);
    EXPECT_NEAR(Port()->lastPosition.latitude, 47.0, 1e-8);
}

TEST_F(PositionTest, BestxyzIsAttachedToEpochsByTheAgeRule) {
    ASSERT_EQ(FeedOne(BestxyzRecord({}, 100000)), 4);
    ASSERT_EQ(FeedOne(RangeLog(4, 104000)), 1);
    uint8_t raw[kEpochRecordSize];
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_EPOCH, 1, raw), 1);
    EpochRecord epoch = le::Load<EpochRecord>(raw);
    EXPECT_EQ(epoch.flags & 1, 1);
    EXPECT_EQ(+epoch.latitude, Port()->lastPosition.latitude);
    EXPECT_EQ(+epoch.height, static_cast<float>(Port()->lastPosition.height));
    EXPECT_TRUE(CapturedMessages().empty());

    ASSERT_EQ(FeedOne(RangeLog(4, 106000)), 1);
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_EPOCH, 1, raw), 1);
    epoch = le::Load<EpochRecord>(raw);
    EXPECT_EQ(epoch.flags & 1, 0);
    EXPECT_EQ(+epoch.latitude, 0.0);
    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text,
              "RANGE/BESTPOS records have a time synchronization error. Order must be BESTPOS then RANGE");

    // A length other than 112 is the framing's to report.
    Oem4Options o = DefaultOptions();
    o.reportAll = 1;
    OpenTestPort(o);
    CapturedMessages().clear();
    Feed(MakeRecord(241, std::vector<uint8_t>(111, 0)), &buf);
    ASSERT_FALSE(CapturedMessages().empty());
    EXPECT_EQ(CapturedMessages()[0].text, "Invalid record length for 'BESTXYZ' record on port 0");
}

// The grid rounding of BESTXYZ positions gives std::round's grid value to
// the last bit: halves away from zero, the sign of a zero, the edges of
// the whole doubles, values that are not finite, and a large random set.
TEST(PositionGrid, GivesTheLibraryRoundingToTheLastBit) {
    const double steps[] = {1073741824.0, 8192.0};
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.3 / 8192.0,
                                  -0.3 / 8192.0,
                                  0.5 / 8192.0,
                                  -0.5 / 8192.0,
                                  1.5 / 8192.0,
                                  -2.5 / 8192.0,
                                  std::nextafter(0.5, 0.0) / 8192.0,
                                  -std::nextafter(0.5, 0.0) / 8192.0,
                                  4503599627370495.5 / 8192.0,
                                  4503599627370496.0 / 8192.0,
                                  -4503599627370497.0 / 8192.0,
                                  1e300,
                                  INFINITY,
                                  -INFINITY,
                                  NAN};
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> angle(-180.0, 180.0), height(-1000.0, 1e7);
    for (int i = 0; i < 200000; ++i) values.push_back(i % 2 == 0 ? angle(rng) : height(rng));
    for (double s : steps) {
        for (double v : values) {
            const double want = std::round(v * s) / s;
            const double got = OnPositionGrid(v, s);
            ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want)) << v << " steps " << s;
        }
    }
}
