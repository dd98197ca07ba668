#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/error_text.h"
#include "common/le.h"
#include "oem4/crc32.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"

using namespace testsupport;

namespace {

// A RAWALM record (no decoder): 12-byte fixed part with its count at 8,
// then count items of 32 bytes.
std::vector<uint8_t> Rawalm(uint32_t items, HeaderFields h = {}) {
    Bytes b;
    b.u4(0).u4(0).u4(items).zeros(32 * items);
    return MakeRecord(74, b.data(), h);
}

std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const auto &m : CapturedMessages()) out.push_back(m.text);
    return out;
}

class FramingTest : public ::testing::Test {
protected:
    void Open(uint32_t reportAll, bool callback = true) {
        Oem4Options o = DefaultOptions();
        o.reportAll = reportAll;
        OpenTestPort(o, callback);
        ClearThreadBuf(&buf);
    }
    ThreadBuf buf;
};

const char *kResync = "Record decoding failed, recursively trying to look for more valid data";

} // namespace

TEST(Crc32, CheckValue) {
    const char *text = "123456789";
    EXPECT_EQ(Oem4Crc32(reinterpret_cast<const uint8_t *>(text), 9), 0x2DFD2D88u);
}

TEST(PortTable, DecodeBeforeOpenAndInvalidPorts) {
    EXPECT_EQ(DecodeByte(1023, 0xAA, nullptr), -1);
    EXPECT_STREQ(ErrorText, "OpenPort not called");
    EXPECT_EQ(OpenPort(1024, nullptr), 1);
    EXPECT_STREQ(ErrorText, "Invalid port number");
    EXPECT_EQ(OpenPort(-1, nullptr), 1);
    EXPECT_EQ(DecodeByte(-1, 0xAA, nullptr), -1);
    EXPECT_EQ(DecodeByte(5000, 0xAA, nullptr), -1);
    EXPECT_EQ(OpenPort(7, nullptr), 0);
    EXPECT_EQ(DecodeByte(7, 0x00, nullptr), 0);
}

TEST_F(FramingTest, NoiseWithoutSyncIsSilent) {
    Open(1);
    std::vector<uint8_t> noise(5000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i % 0xAA);
    EXPECT_TRUE(Feed(noise, &buf).empty());
    EXPECT_TRUE(CapturedMessages().empty());
}

TEST_F(FramingTest, RawalmIsFramedButProducesNothing) {
    Open(1);
    PutThreadBufData(&buf, std::vector<uint8_t>(68).data(), 1, TBREC_EPOCH);
    auto rec = Rawalm(2);
    EXPECT_TRUE(Feed(rec, &buf).empty());
    EXPECT_TRUE(CapturedMessages().empty());
    // The buffer was emptied for the (absent) decoder.
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_EPOCH), 0);
    EXPECT_EQ(le::U4(buf.bytes + 8), 0u);
}

TEST_F(FramingTest, UnknownIdIsSilentAndItsBytesAreRefed) {
    Open(0);
    // AA 44 12 1C, id 0: rejected at byte 6; an AA inside is a new start.
    std::vector<uint8_t> bytes = {0xAA, 0x44, 0x12, 0x1C, 0x00, 0x00};
    auto good = Rawalm(0);
    // Embed a complete record right after the rejected header: found via
    // the ordinary stream.
    bytes.insert(bytes.end(), good.begin(), good.end());
    Feed(bytes, &buf);
    EXPECT_TRUE(CapturedMessages().empty());

    // Double sync byte: the second AA starts the real record.
    Open(1);
    std::vector<uint8_t> doubled = {0xAA};
    doubled.insert(doubled.end(), good.begin(), good.end());
    Feed(doubled, &buf);
    EXPECT_EQ(Texts(), std::vector<std::string>{kResync});
    Oem4Decoder *dec = GetOpenPort(0);
    EXPECT_EQ(dec->state, WAIT_SYNC);
}

TEST_F(FramingTest, InvalidLengthIsReportedOnlyWithReportAll) {
    // BESTPOS with message length 71.
    auto rec = MakeRecord(42, std::vector<uint8_t>(71, 0));
    Open(0);
    Feed(rec, &buf);
    EXPECT_TRUE(CapturedMessages().empty());
    Open(1);
    Feed(rec, &buf);
    ASSERT_GE(CapturedMessages().size(), 2u);
    EXPECT_EQ(CapturedMessages()[0].text, "Invalid record length for 'BESTPOS' record on port 0");
    EXPECT_EQ(CapturedMessages()[0].time, -1.0);
    EXPECT_EQ(CapturedMessages()[1].text, kResync);
}

TEST_F(FramingTest, ItemCountMustMatchLength) {
    Open(0);
    Bytes b;
    b.u4(2).zeros(44); // count 2 but room for 1
    auto rec = MakeRecord(43, b.data());
    size_t i = 0;
    for (; i < rec.size() && CapturedMessages().empty(); ++i) DecodeByte(0, rec[i], &buf);
    EXPECT_EQ(i, 32u);
    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text, "Invalid variable data length on record 43 on port 0");

    // A count that would wrap in 32 bits onto the right length is refused.
    Open(0);
    Bytes w;
    w.u4(0x80000001u).zeros(44);
    Feed(MakeRecord(43, w.data()), &buf);
    ASSERT_FALSE(CapturedMessages().empty());
    EXPECT_EQ(CapturedMessages()[0].text, "Invalid variable data length on record 43 on port 0");
}

TEST_F(FramingTest, CrcFailureIsAlwaysReportedAndAHiddenRecordIsFound) {
    Open(0);
    auto inner = Rawalm(1, {1500, 5000, 180});
    // A RAWALM whose body hides a complete RAWALM, then a corrupted byte.
    Bytes outer;
    outer.u4(0).u4(0).u4(3);
    outer.raw(inner);
    outer.zeros(96 - inner.size());
    auto rec = MakeRecord(74, outer.data());
    rec[rec.size() - 10] ^= 0xFF;
    auto results = Feed(rec, &buf);
    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text, "32bit CRC failure on 'RAWALM' record on port 0");
    // The hidden record passes the CRC on re-feeding: the port ends idle
    // and was emptied for the decoder.
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(GetOpenPort(0)->state, WAIT_SYNC);
}

TEST_F(FramingTest, OverrunDiscardsWithoutRefeeding) {
    Open(1);
    // RANGE with 186 observations: 28 + 4 + 8184 + 4 > 8192.
    Bytes b;
    b.u4(186).zeros(186 * 44);
    auto rec = MakeRecord(43, b.data());
    auto next = Rawalm(0);
    std::vector<uint8_t> stream = rec;
    stream.insert(stream.end(), next.begin(), next.end());
    size_t i = 0;
    for (; i < stream.size() && CapturedMessages().empty(); ++i) DecodeByte(0, stream[i], &buf);
    EXPECT_EQ(i, 8192u);
    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text, "NovAtel Buffer overrun for record 43 on port 0");
    // Formatted even without a callback.
    Open(0, false);
    SetErrorText("");
    Feed(rec, &buf);
    EXPECT_STREQ(ErrorText, "NovAtel Buffer overrun for record 43 on port 0");
}

TEST_F(FramingTest, LargestPassingRecordIs8191Bytes) {
    Open(1);
    // RAWALM: 12 + 32k body; total 28 + body + 4 <= 8191 -> body <= 8159.
    // 12 + 32 * 254 = 8140 passes.
    auto ok = Rawalm(254);
    EXPECT_TRUE(Feed(ok, &buf).empty());
    EXPECT_TRUE(CapturedMessages().empty());
}

TEST_F(FramingTest, OpenPortResetsAHalfCollectedRecord) {
    Open(1);
    auto rec = Rawalm(1);
    for (size_t i = 0; i < 20; ++i) DecodeByte(0, rec[i], &buf);
    Open(1);
    EXPECT_EQ(GetOpenPort(0)->state, WAIT_SYNC);
    EXPECT_EQ(GetOpenPort(0)->options.reportAll, 1u);
    Feed(rec, &buf);
    EXPECT_TRUE(CapturedMessages().empty());
}

TEST_F(FramingTest, MessagesNeedACallback) {
    Open(1, false);
    SetErrorText("before");
    auto rec = MakeRecord(42, std::vector<uint8_t>(71, 0));
    Feed(rec, &buf);
    auto bad = Rawalm(1);
    bad[40] ^= 1;
    Feed(bad, &buf);
    EXPECT_STREQ(ErrorText, "before");
}

TEST(Crc32, TableDrivenMatchesTheBitwiseDefinition) {
    std::vector<uint8_t> data(1000);
    uint32_t x = 12345;
    for (auto &b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    for (size_t len : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 255u, 1000u}) {
        uint32_t crc = 0;
        for (size_t i = 0; i < len; ++i) crc = Crc32Step((crc ^ data[i]) & 0xFFu) ^ (crc >> 8);
        EXPECT_EQ(Oem4Crc32(data.data(), len), crc) << len;
    }
}
