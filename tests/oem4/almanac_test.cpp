#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "common/le.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

using namespace testsupport;

// Fields of the packed records are compared as copies (unary +): the test
// macros take their arguments by reference, which a packed field cannot bind.

namespace {

struct Item {
    uint32_t prn;
    double toa = 61440.0;
    double semiMajorAxis = 26559710.0;
    double inclination = 0.958;
    double eccentricityOffset = 0.0;
};

// Item i carries values derived from i so that the order can be checked.
void AddItem(Bytes &b, const Item &it, uint32_t i) {
    b.u4(it.prn).u4(1000 + i).r8(it.toa).r8(0.001 * i + it.eccentricityOffset).r8(-8e-9).r8(1.0 + i).r8(-1.5);
    b.r8(0.25 * i).r8(1e-5).r8(-1e-12).r8(1.4e-4).r8(it.semiMajorAxis).r8(it.inclination);
    b.r8(0.0).u4(i % 2).u4(0);
}

std::vector<uint8_t> AlmanacRecordBytes(const std::vector<Item> &items) {
    Bytes b;
    b.u4(static_cast<uint32_t>(items.size()));
    for (uint32_t i = 0; i < items.size(); ++i) AddItem(b, items[i], i);
    return MakeRecord(73, b.data());
}

std::vector<Item> Numbered(uint32_t n) {
    std::vector<Item> items;
    for (uint32_t i = 0; i < n; ++i) items.push_back({i + 1});
    return items;
}

class AlmanacTest : public ::testing::Test {
protected:
    void SetUp() override {
        OpenTestPort(DefaultOptions());
        ClearThreadBuf(&buf);
    }
    void TearDown() override { SetThreadBufSize(kThreadBufDefaultCapacity); }
    int32_t FeedOne(const std::vector<uint8_t> &rec) {
        auto r = Feed(rec, &buf);
        EXPECT_LE(r.size(), 1u);
        return r.empty() ? 0 : r[0].second;
    }
    std::vector<AlmanacRecord> Read() {
        const int32_t n = GetThreadBufRecCount(&buf, TBREC_ALMANAC);
        std::vector<uint8_t> raw(static_cast<size_t>(n) * kAlmanacRecordSize);
        EXPECT_EQ(ReadThreadBufData(&buf, TBREC_ALMANAC, n, raw.data()), n);
        std::vector<AlmanacRecord> out;
        for (int32_t i = 0; i < n; ++i) {
            out.push_back(le::Load<AlmanacRecord>(raw.data() + i * kAlmanacRecordSize));
        }
        return out;
    }
    ThreadBuf buf;
};

} // namespace

TEST_F(AlmanacTest, ItemsConvertInOrder) {
    ASSERT_EQ(FeedOne(AlmanacRecordBytes(Numbered(29))), 5);
    const auto alm = Read();
    ASSERT_EQ(alm.size(), 29u);
    for (uint32_t i = 0; i < alm.size(); ++i) {
        const AlmanacRecord &a = alm[i];
        EXPECT_EQ(+a.prn, static_cast<int32_t>(i + 1));
        EXPECT_EQ(+a.satSystem, 0);
        EXPECT_EQ(+a.e, 0.001 * i);
        EXPECT_EQ(+a.toa, 61440);
        EXPECT_EQ(+a.omegaDot, -8e-9);
        EXPECT_EQ(+a.omega0, 1.0 + i);
        EXPECT_EQ(+a.omega, -1.5);
        EXPECT_EQ(+a.m0, 0.25 * i);
        EXPECT_EQ(+a.af0, 1e-5);
        EXPECT_EQ(+a.af1, -1e-12);
        EXPECT_EQ(+a.timeCode, 2);
        EXPECT_EQ(+a.week, static_cast<int32_t>(1000 + i));
        EXPECT_EQ(+a.healthCode, 2);
        EXPECT_EQ(+a.health, static_cast<int32_t>(i % 2));
    }
    // Reserved bytes of the last record (the staging area is reused).
    uint8_t raw[kAlmanacRecordSize];
    le::Store(raw, alm.back());
    const uint8_t zeros[128] = {};
    EXPECT_EQ(std::memcmp(raw + 8, zeros, 40), 0);
    EXPECT_EQ(std::memcmp(raw + 60, zeros, 4), 0);
    EXPECT_EQ(std::memcmp(raw + 144, zeros, 128), 0);
}

// A full constellation of 32 is converted whole; more than that cannot be
// GPS satellites, and the rest is reported, not dropped silently.
TEST_F(AlmanacTest, AtMostThirtyTwoItemsAndNoneForAnEmptyRecord) {
    ASSERT_EQ(FeedOne(AlmanacRecordBytes(Numbered(32))), 5);
    auto alm = Read();
    ASSERT_EQ(alm.size(), 32u);
    EXPECT_EQ(+alm.back().prn, 32);
    EXPECT_TRUE(CapturedMessages().empty());

    ASSERT_EQ(FeedOne(AlmanacRecordBytes(Numbered(34))), 5);
    alm = Read();
    ASSERT_EQ(alm.size(), 32u);
    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text, "ALMANAC record lists 34 satellites, only the first 32 are converted");
    CapturedMessages().clear();

    EXPECT_EQ(FeedOne(AlmanacRecordBytes({})), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_ALMANAC), 0);
    EXPECT_TRUE(CapturedMessages().empty());
}

TEST_F(AlmanacTest, DerivedParameters) {
    ASSERT_EQ(FeedOne(AlmanacRecordBytes(
                  {{1, 100.9, 2.5e5, 0.9599}, {2, 503808.0, 26559710.0, 0.958}, {3, 604799.9, 0.0, 0.0}})),
              5);
    const auto a = Read();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(+a[0].sqrtA, 500.0);
    EXPECT_EQ(+a[0].toa, 100);
    EXPECT_NEAR(+a[0].deltaI, 0.017422203923062, 1e-15);
    EXPECT_EQ(+a[1].toa, 503808);
    EXPECT_DOUBLE_EQ(+a[1].sqrtA, std::sqrt(26559710.0));
    EXPECT_EQ(+a[1].deltaI, 0.958 - 0.942477796076938);
    // A zero semi-major axis (an empty slot) passes.
    EXPECT_EQ(+a[2].toa, 604799);
    EXPECT_EQ(+a[2].sqrtA, 0.0);
    EXPECT_EQ(+a[2].prn, 3);
}

// Values no broadcast can give would reach the ephemeris file as "nan" or
// "inf": each such item is told and left out, the record's others kept.
TEST_F(AlmanacTest, ItemsNoBroadcastCanGiveAreDroppedAndTold) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Item> items = {
        {.prn = 1},
        {.prn = 2, .toa = nan},
        {.prn = 3, .toa = -0.5},
        {.prn = 4, .toa = 604800.0},
        {.prn = 5, .semiMajorAxis = -1.0},
        {.prn = 6, .semiMajorAxis = inf},
        {.prn = 7, .inclination = nan},
        {.prn = 8, .eccentricityOffset = 1.0},
        {.prn = 9, .eccentricityOffset = -0.5},
        {.prn = 10},
    };
    ASSERT_EQ(FeedOne(AlmanacRecordBytes(items)), 5);
    const auto a = Read();
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(+a[0].prn, 1);
    EXPECT_EQ(+a[1].prn, 10);
    EXPECT_EQ(+a[1].week, 1009); // the tenth item's
    std::vector<std::string> texts;
    for (const auto &m : CapturedMessages()) texts.push_back(m.text);
    std::vector<std::string> expected;
    for (int prn = 2; prn <= 9; ++prn) {
        expected.push_back("GPS almanac received for PRN " + std::to_string(prn) + " with invalid values");
    }
    EXPECT_EQ(texts, expected);

    EXPECT_EQ(FeedOne(AlmanacRecordBytes({{.prn = 2, .toa = nan}})), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_ALMANAC), 0);
}

TEST_F(AlmanacTest, FailedPutIsReported) {
    SetThreadBufSize(4096);
    EXPECT_EQ(FeedOne(AlmanacRecordBytes(Numbered(30))), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_ALMANAC), 0);
    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text, "Thread Buffer overrun--No more space for output data");
    EXPECT_EQ(CapturedMessages()[0].time, 100.0);
}
