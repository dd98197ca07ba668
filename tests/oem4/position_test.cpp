#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/le.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

using namespace testsupport;

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
    ThreadBuf buf;
};

} // namespace

TEST_F(PositionTest, BestposGivesEllipsoidalHeightAndHorizontalSigma) {
    EXPECT_EQ(FeedOne(BestposRecord({})), 4);
    ASSERT_EQ(GetThreadBufRecCount(&buf, TBREC_POSITION), 1);
    uint8_t raw[kPositionRecordSize];
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_POSITION, 1, raw), 1);
    const auto pos = le::Load<PositionRecord>(raw);
    EXPECT_EQ(pos.time, 100.0);
    EXPECT_EQ(pos.week, 1500u);
    EXPECT_EQ(pos.origin, 3u);
    EXPECT_EQ(pos.latitude, 51.0);
    EXPECT_EQ(pos.longitude, -114.0);
    EXPECT_EQ(pos.height, 221.5);
    EXPECT_DOUBLE_EQ(pos.horizontalSigma, 5.0);
    EXPECT_EQ(pos.heightSigma, 6.5);
    EXPECT_EQ(pos.solutionAge, 1.5);

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
    EXPECT_EQ(le::Load<MarkRecord>(raw).markNumber, after + 1);
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
    EXPECT_DOUBLE_EQ(first.time, 100.249875);
    EXPECT_EQ(first.week, 1501u);
    EXPECT_EQ(first.origin, 2u);
    EXPECT_GE(first.markNumber, 1u);
    const uint8_t zeros[40] = {};
    EXPECT_EQ(std::memcmp(raw + 16, zeros, 32), 0);
    EXPECT_EQ(std::memcmp(raw + 52, zeros, 40), 0);

    ASSERT_EQ(FeedOne(MarkRecordBytes(1501, 101.0, -0.5)), 7);
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
    EXPECT_EQ(le::Load<MarkRecord>(raw).markNumber, first.markNumber + 1);
    EXPECT_EQ(le::Load<MarkRecord>(raw).time, 101.5);

    // Re-opening the port (a new conversion) does not restart the numbering.
    OpenTestPort(DefaultOptions());
    ASSERT_EQ(FeedOne(MarkRecordBytes(1501, 102.0, 0.0)), 7);
    ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, raw), 1);
    EXPECT_EQ(le::Load<MarkRecord>(raw).markNumber, first.markNumber + 2);
}
