#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/le.h"
#include "threadbuf/threadbuf.h"

namespace {

uint32_t Word(const ThreadBuf &b, int at) { return le::U4(b.bytes + at); }

struct CapacityGuard {
    ~CapacityGuard() { SetThreadBufSize(kThreadBufDefaultCapacity); }
};

class ThreadBufTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(buf.bytes, 0xEE, sizeof buf.bytes);
        ClearThreadBuf(&buf);
    }
    ThreadBuf buf;
    CapacityGuard guard;
    std::vector<uint8_t> epoch = std::vector<uint8_t>(68, 1);
    std::vector<uint8_t> meas = std::vector<uint8_t>(24 * 44, 2);
};

} // namespace

TEST_F(ThreadBufTest, ClearedBufferIsEmptyForEveryQuery) {
    EXPECT_EQ(Word(buf, 0), 0u);
    EXPECT_EQ(Word(buf, 4), 0u);
    EXPECT_EQ(Word(buf, 8), 0u);
    EXPECT_EQ(Word(buf, 12), 16u);
    uint8_t dest[16];
    for (int t = 0; t <= 19; ++t) {
        EXPECT_EQ(GetThreadBufRecCount(&buf, t), 0);
        EXPECT_EQ(GetThreadBufRecSize(&buf, t), 0);
        EXPECT_EQ(ReadThreadBufData(&buf, t, 100, dest), 0);
    }
}

TEST_F(ThreadBufTest, EpochAndMeasurementGroupsChainWithExactByteCounts) {
    ASSERT_EQ(PutThreadBufData(&buf, epoch.data(), 1, TBREC_EPOCH), 0);
    ASSERT_EQ(PutThreadBufData(&buf, meas.data(), 24, TBREC_MEAS), 0);
    EXPECT_EQ(Word(buf, 0), 2u);
    EXPECT_EQ(Word(buf, 4), 0x3u);
    EXPECT_EQ(Word(buf, 8), 1u);
    EXPECT_EQ(Word(buf, 12), 1180u);
    // First group at 16: marker, type, count, size, more.
    EXPECT_EQ(Word(buf, 16), 1u);
    EXPECT_EQ(Word(buf, 20), 1u);
    EXPECT_EQ(Word(buf, 24), 1u);
    EXPECT_EQ(Word(buf, 28), 68u);
    EXPECT_EQ(Word(buf, 32), 1u);
    const int second = 16 + 20 + 68;
    EXPECT_EQ(Word(buf, second + 4), 2u);
    EXPECT_EQ(Word(buf, second + 8), 24u);
    EXPECT_EQ(Word(buf, second + 12), 1056u);
    EXPECT_EQ(Word(buf, second + 16), 0u);

    std::vector<uint8_t> dest(1056, 0);
    EXPECT_EQ(ReadThreadBufData(&buf, TBREC_MEAS, 23, dest.data()), 0);
    EXPECT_EQ(dest, std::vector<uint8_t>(1056, 0));
    EXPECT_EQ(ReadThreadBufData(&buf, TBREC_MEAS, 24, dest.data()), 24);
    EXPECT_EQ(dest, meas);
    // Reading never removes a group.
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_MEAS), 24);
}

TEST_F(ThreadBufTest, RefusalsLeaveTheBufferUnchanged) {
    ASSERT_EQ(PutThreadBufData(&buf, epoch.data(), 1, TBREC_EPOCH), 0);
    std::vector<uint8_t> before(buf.bytes, buf.bytes + sizeof buf.bytes);
    EXPECT_EQ(PutThreadBufData(&buf, epoch.data(), 1, 0), 2);
    EXPECT_EQ(PutThreadBufData(&buf, epoch.data(), 1, 19), 2);
    EXPECT_EQ(PutThreadBufData(&buf, epoch.data(), 0, TBREC_EPOCH), 2);
    EXPECT_EQ(PutThreadBufData(&buf, epoch.data(), -3, TBREC_EPOCH), 2);
    EXPECT_EQ(std::vector<uint8_t>(buf.bytes, buf.bytes + sizeof buf.bytes), before);
}

TEST_F(ThreadBufTest, CapacityLimitsEveryPut) {
    SetThreadBufSize(1179);
    EXPECT_EQ(GetThreadBufSize(), 1179);
    ASSERT_EQ(PutThreadBufData(&buf, epoch.data(), 1, TBREC_EPOCH), 0);
    EXPECT_EQ(PutThreadBufData(&buf, meas.data(), 24, TBREC_MEAS), 1);
    EXPECT_EQ(Word(buf, 0), 1u);
    EXPECT_EQ(Word(buf, 12), 104u);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_MEAS), 0);

    SetThreadBufSize(1180);
    EXPECT_EQ(PutThreadBufData(&buf, meas.data(), 24, TBREC_MEAS), 0);

    // The very first put is tested too.
    ClearThreadBuf(&buf);
    SetThreadBufSize(100);
    EXPECT_EQ(PutThreadBufData(&buf, epoch.data(), 1, TBREC_EPOCH), 1);
}

TEST_F(ThreadBufTest, LargerCapacityNeverWritesPastTheStorage) {
    SetThreadBufSize(1 << 30);
    std::vector<uint8_t> big(16384 * 2, 3);
    // 61 almanacs = 16592 bytes of payload: over the 16384-byte storage.
    EXPECT_EQ(PutThreadBufData(&buf, big.data(), 61, TBREC_ALMANAC), 1);
    // Fill up with epochs until refused; the storage is never exceeded.
    int stored = 0;
    while (PutThreadBufData(&buf, big.data(), 1, TBREC_EPOCH) == 0) ++stored;
    EXPECT_EQ(stored, (16384 - 16) / 88);
    EXPECT_LE(Word(buf, 12), 16384u);
}

TEST_F(ThreadBufTest, LookupsFindTheFirstGroupOfAType) {
    std::vector<uint8_t> alm(8 * 272, 4);
    ASSERT_EQ(PutThreadBufData(&buf, alm.data(), 3, TBREC_ALMANAC), 0);
    ASSERT_EQ(PutThreadBufData(&buf, alm.data(), 5, TBREC_ALMANAC), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_ALMANAC), 3);
    EXPECT_EQ(GetThreadBufRecSize(&buf, TBREC_ALMANAC), 3 * 272);
    EXPECT_EQ(Word(buf, 0), 2u);
}

TEST_F(ThreadBufTest, TextRecordSizeComesFromItsCountWord) {
    uint8_t text[15] = {11, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
    ASSERT_EQ(PutThreadBufData(&buf, text, 99, TBREC_TEXT), 0);
    EXPECT_EQ(GetThreadBufRecSize(&buf, TBREC_TEXT), 15);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_TEXT), 99);
}

TEST(ThreadBufErrors, TextsOfEveryCode) {
    EXPECT_STREQ(GetThreadBufErrString(0), "No Error");
    EXPECT_STREQ(GetThreadBufErrString(1), "Thread Buffer overrun--No more space for output data");
    EXPECT_STREQ(GetThreadBufErrString(2), "Zero record size or invalid ThreadBuf record type received");
    EXPECT_STREQ(GetThreadBufErrString(3), "Internal error filling ThreadBuf");
    EXPECT_STREQ(GetThreadBufErrString(7), "Unknown ThreadBuf error");
    EXPECT_STREQ(GetThreadBufErrString(-1), "Unknown ThreadBuf error");
}

// Records built where the next payload goes are put without a copy, and the
// buffer then holds what a put from elsewhere gives; the room asked for
// never reaches past the capacity setting.
TEST_F(ThreadBufTest, NextPayloadIsWhereThePutWritesAndStaysWithinTheCapacity) {
    struct Case {
        int32_t capacity;
        bool withEpoch; // an epoch group put first
        int32_t bytes;
        int32_t at; // offset of the payload, -1 for none
    };
    const Case cases[] = {
        {kThreadBufDefaultCapacity, false, 68, 36},
        {kThreadBufDefaultCapacity, true, 24 * 44, 124},
        {124 + 24 * 44, true, 24 * 44, 124},
        {124 + 24 * 44 - 1, true, 24 * 44, -1},
        {1 << 30, false, kThreadBufDefaultCapacity - 36, 36},
        {1 << 30, false, kThreadBufDefaultCapacity - 35, -1},
        {kThreadBufDefaultCapacity, false, -1, -1},
    };
    for (const Case &c : cases) {
        SetThreadBufSize(c.capacity);
        ClearThreadBuf(&buf);
        if (c.withEpoch) {
            ASSERT_EQ(PutThreadBufData(&buf, epoch.data(), 1, TBREC_EPOCH), TB_OK);
        }
        const uint8_t *next = ThreadBufNextPayload(&buf, c.bytes);
        EXPECT_EQ(next == nullptr ? -1 : static_cast<int32_t>(next - buf.bytes), c.at) << c.capacity << " " << c.bytes;
    }

    SetThreadBufSize(kThreadBufDefaultCapacity);
    ThreadBuf copied{};
    ClearThreadBuf(&copied);
    ClearThreadBuf(&buf);
    uint8_t *inPlace = ThreadBufNextPayload(&buf, 68 + 20 + 3 * 44);
    ASSERT_NE(inPlace, nullptr);
    std::memcpy(inPlace, epoch.data(), 68);
    std::memcpy(inPlace + 88, meas.data(), 3 * 44);
    ASSERT_EQ(PutThreadBufData(&buf, inPlace, 1, TBREC_EPOCH), TB_OK);
    ASSERT_EQ(PutThreadBufData(&buf, inPlace + 88, 3, TBREC_MEAS), TB_OK);
    ASSERT_EQ(PutThreadBufData(&copied, epoch.data(), 1, TBREC_EPOCH), TB_OK);
    ASSERT_EQ(PutThreadBufData(&copied, meas.data(), 3, TBREC_MEAS), TB_OK);
    EXPECT_EQ(std::memcmp(buf.bytes, copied.bytes, 16 + 88 + 20 + 3 * 44), 0);
}

// A buffer whose group says more bytes than its count of records, or whose
// chain leads past its storage (built wrongly by its caller), is not copied
// into a destination sized by the count, nor read past its end.
TEST_F(ThreadBufTest, AGroupLargerThanItsCountIsNotCopied) {
    constexpr int kCountAt = kThreadBufHeaderSize + 8, kSizeAt = kThreadBufHeaderSize + 12;
    ASSERT_EQ(PutThreadBufData(&buf, meas.data(), 2, TBREC_MEAS), 0);
    std::vector<uint8_t> one(44);
    le::PutU4(buf.bytes + kCountAt, 1); // two records' bytes, a count of one
    EXPECT_EQ(ReadThreadBufData(&buf, TBREC_MEAS, 1, one.data()), 0);
    le::PutU4(buf.bytes + kSizeAt, 44 * 1000); // past the bytes in use
    EXPECT_EQ(ReadThreadBufData(&buf, TBREC_MEAS, 1, one.data()), 0);
    le::PutU4(buf.bytes + kSizeAt, 44); // consistent again: read
    EXPECT_EQ(ReadThreadBufData(&buf, TBREC_MEAS, 1, one.data()), 1);

    // A chain that leads past the buffer's 16384 bytes, with a bytes-used
    // word that does not stop it: the group found there (in the memory
    // that follows) is not this buffer's, and no lookup reads it.
    std::vector<uint8_t> host(sizeof(ThreadBuf) + 64, 0);
    auto *wrong = reinterpret_cast<ThreadBuf *>(host.data());
    ClearThreadBuf(wrong);
    ASSERT_EQ(PutThreadBufData(wrong, epoch.data(), 1, TBREC_EPOCH), 0);
    le::PutU4(host.data() + 4, 0x3u);                         // a measurement group said to be present
    le::PutU4(host.data() + 12, 0xFFFFFFFFu);                 // bytes used
    le::PutU4(host.data() + kSizeAt, sizeof(ThreadBuf) - 36); // the next group starts just past the end
    le::PutU4(host.data() + kThreadBufHeaderSize + 16, 1);    // more
    uint8_t *past = host.data() + sizeof(ThreadBuf);
    for (uint32_t w : {1u, static_cast<uint32_t>(TBREC_MEAS), 1u, 44u, 0u}) {
        le::PutU4(past, w);
        past += 4;
    }
    EXPECT_EQ(GetThreadBufRecCount(wrong, TBREC_MEAS), 0);
    EXPECT_EQ(GetThreadBufRecSize(wrong, TBREC_MEAS), 0);
    EXPECT_EQ(ReadThreadBufData(wrong, TBREC_MEAS, 1, one.data()), 0);
    EXPECT_EQ(GetThreadBufRecCount(wrong, TBREC_EPOCH), 1);
}

// Several groups put at once leave the buffer, and return the code, that
// the same puts one at a time do: into an empty or a used buffer, when a
// later group overruns the capacity, when one is refused, and when the
// chain does not end where the used bytes do.
TEST_F(ThreadBufTest, GroupsPutAtOnceAsOneAtATime) {
    std::vector<uint8_t> tracking(24 * 32, 4);
    struct Case {
        const char *what;
        int32_t capacity;
        bool used;
        int32_t measCount;
        bool brokenChain;
    };
    const Case cases[] = {
        {"empty", kThreadBufDefaultCapacity, false, 24, false},
        {"used", kThreadBufDefaultCapacity, true, 9, false},
        {"tracking overruns", 16 + 88 + 20 + 24 * 44 + 20 + 100, false, 24, false},
        {"measurements overrun", 300, true, 24, false},
        {"refused count", kThreadBufDefaultCapacity, true, 0, false},
        {"chain ends short of the used bytes", kThreadBufDefaultCapacity, true, 9, true},
    };
    for (const Case &c : cases) {
        ThreadBuf bufs[2];
        int32_t codes[2];
        for (int way = 0; way < 2; ++way) {
            ThreadBuf &b = bufs[way];
            std::memset(b.bytes, 0xEE, sizeof b.bytes);
            ClearThreadBuf(&b);
            SetThreadBufSize(kThreadBufDefaultCapacity);
            if (c.used) {
                ASSERT_EQ(PutThreadBufData(&b, epoch.data(), 1, TBREC_POSITION), 0);
            }
            if (c.brokenChain) le::PutU4(b.bytes + 12, le::U4(b.bytes + 12) + 8);
            SetThreadBufSize(c.capacity);
            const ThreadBufGroupData groups[] = {{epoch.data(), 1, TBREC_EPOCH},
                                                 {meas.data(), c.measCount, TBREC_MEAS},
                                                 {tracking.data(), c.measCount, TBREC_TRACKING}};
            if (way == 0) {
                codes[way] = PutThreadBufGroups(&b, groups, 3);
            } else {
                codes[way] = TB_OK;
                for (const ThreadBufGroupData &g : groups) {
                    codes[way] = PutThreadBufData(&b, g.data, g.count, g.type);
                    if (codes[way] != TB_OK) break;
                }
            }
        }
        EXPECT_EQ(codes[0], codes[1]) << c.what;
        EXPECT_EQ(std::memcmp(bufs[0].bytes, bufs[1].bytes, sizeof bufs[0].bytes), 0) << c.what;
    }
}
