#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "common/le.h"
#include "ephemeris/ephemeris_list.h"
#include "oem4/crc32.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

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
    std::vector<uint8_t> doubled = good;
    doubled.insert(doubled.begin(), 0xAA);
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

// A record cut short swallows the records after it. Re-feeding finds the
// first of them; the others must follow, also those still inside the
// rejected bytes when the input ends (FlushPort).
TEST_F(FramingTest, EveryRecordInsideARejectedCandidateIsFound) {
    Open(0);
    Bytes range;
    range.u4(10).zeros(10 * 44);
    std::vector<uint8_t> stream = MakeRecord(43, range.data());
    stream.resize(32); // header and count only: the candidate takes 444 more bytes
    for (int k = 0; k < 6; ++k) {
        Bytes mark;
        mark.u4(1500).r8(100.0 + k).r8(0.0).r8(0.0).r8(0.0).u4(0);
        auto rec = MakeRecord(231, mark.data(), {1500, (100 + k) * 1000, 180});
        stream.insert(stream.end(), rec.begin(), rec.end());
    }
    stream.resize(32 + 444); // the candidate ends with the input
    std::vector<double> times;
    auto collect = [&](int32_t kind) {
        ASSERT_EQ(kind, RK_MARK);
        MarkRecord m;
        ASSERT_EQ(ReadThreadBufData(&buf, TBREC_MARK, 1, &m), 1);
        times.push_back(m.time);
    };
    for (uint8_t byte : stream) {
        const int32_t kind = DecodeByte(0, byte, &buf);
        if (kind != 0) collect(kind);
    }
    for (int32_t kind = FlushPort(0, &buf); kind != 0; kind = FlushPort(0, &buf)) collect(kind);
    EXPECT_EQ(times, (std::vector<double>{100, 101, 102, 103, 104, 105}));
    EXPECT_EQ(Texts(), std::vector<std::string>{"32bit CRC failure on 'RANGE' record on port 0"});
    EXPECT_EQ(FlushPort(0, &buf), 0);
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

// Every length up to a few fold blocks and beyond, at every alignment: the
// table and the carry-less multiplication paths switch at lengths and
// offsets that a record may take.
TEST(Crc32, FastPathsMatchTheBitwiseDefinition) {
    std::vector<uint8_t> data(8300);
    uint32_t x = 12345;
    for (auto &b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    const auto bitwise = [](const uint8_t *p, size_t len) {
        uint32_t crc = 0;
        for (size_t i = 0; i < len; ++i) crc = Crc32Step((crc ^ p[i]) & 0xFFu) ^ (crc >> 8);
        return crc;
    };
    std::vector<size_t> lengths;
    for (size_t len = 0; len <= 300; ++len) lengths.push_back(len);
    for (size_t len : {511u, 512u, 1023u, 4096u, 8159u, 8191u}) lengths.push_back(len);
    for (size_t len : lengths) {
        for (size_t offset : {0u, 1u, 3u, 8u, 15u}) {
            const uint32_t expected = bitwise(data.data() + offset, len);
            ASSERT_EQ(Oem4Crc32(data.data() + offset, len), expected) << len << " at " << offset;
            ASSERT_EQ(Oem4Crc32Tables(data.data() + offset, len), expected) << len << " at " << offset;
        }
    }
    // All ones and all zeros make no difference to the folding constants.
    std::vector<uint8_t> ones(1000, 0xFF);
    EXPECT_EQ(Oem4Crc32(ones.data(), ones.size()), bitwise(ones.data(), ones.size()));
}

namespace {

// Everything a stream produces on port 0: each non-zero result with the
// offset of the byte that gave it and the buffer's bytes at that moment,
// then the messages.
// Mark numbers count over the library's lifetime, so two runs of one
// stream number their marks differently; everything else must match.
void ForgetMarkNumber(ThreadBuf *b) {
    const int32_t at = FindThreadBufGroup(b, TBREC_MARK);
    if (at >= 0) {
        std::memset(b->bytes + at + kThreadBufGroupHeaderSize + offsetof(MarkRecord, markNumber), 0, sizeof(uint32_t));
    }
}

struct Trace {
    std::vector<std::pair<size_t, int32_t>> results;
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<std::string> messages;
    bool operator==(const Trace &) const = default;
};

Trace RunStream(const std::vector<uint8_t> &bytes, uint32_t block, const Oem4Options &options) {
    OpenTestPort(options);
    ClearEphemerisList();
    static ThreadBuf buf;
    ClearThreadBuf(&buf);
    Trace t;
    auto note = [&](size_t at, int32_t r) {
        t.results.emplace_back(at, r);
        ForgetMarkNumber(&buf);
        // Only the used part: a decoder that puts nothing leaves older bytes behind.
        const uint32_t used = std::min<uint32_t>(le::U4(buf.bytes + 12), sizeof buf.bytes);
        t.buffers.emplace_back(buf.bytes, buf.bytes + used);
    };
    if (block == 0) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const int32_t r = DecodeByte(0, bytes[i], &buf);
            if (r != 0) note(i, r);
        }
    } else {
        for (size_t start = 0; start < bytes.size(); start += block) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, bytes.size() - start));
            uint32_t pos = 0;
            while (pos < n) {
                uint32_t used = 0;
                const int32_t r = DecodeBytes(0, bytes.data() + start + pos, n - pos, &buf, &used);
                EXPECT_GT(used, 0u);
                pos += used;
                if (r != 0) note(start + pos - 1, r);
            }
        }
    }
    for (const auto &m : CapturedMessages()) t.messages.push_back(m.text);
    return t;
}

// A stream that exercises every framing path: good records, a CRC failure
// hiding a record, a wrong item count, an invalid length, an overrun, noise.
std::vector<uint8_t> MixedStream() {
    std::vector<uint8_t> s;
    auto add = [&](const std::vector<uint8_t> &v) { s.insert(s.end(), v.begin(), v.end()); };
    add(Rawalm(3));
    auto bad = Rawalm(1);
    bad[40] ^= 0xFF;
    add(bad);
    auto hidden = Rawalm(0);
    auto carrier = Rawalm(2);
    std::copy(hidden.begin(), hidden.end(), carrier.begin() + 44);
    add(carrier);
    auto count = Rawalm(2);
    le::PutU4(&count[28 + 8], 5);
    add(count);
    add(MakeRecord(74, std::vector<uint8_t>(13), {}));
    // Records failing each header check (second to fourth byte, message id,
    // length), each followed by a good one; and a lone sync byte.
    for (size_t at : {1u, 2u, 3u, 4u, 8u}) {
        auto broken = Rawalm(2);
        broken[at] ^= 0x01;
        add(broken);
        add(Rawalm(1));
    }
    s.push_back(0xAA);
    add(Rawalm(1));
    for (int i = 0; i < 300; ++i) s.push_back(static_cast<uint8_t>(i * 37));
    add(Rawalm(400)); // body longer than the record buffer
    add(Rawalm(1));
    return s;
}

} // namespace

TEST(DecodeBytes, BlocksGiveExactlyTheByteByByteResults) {
    std::vector<std::vector<uint8_t>> inputs = {MixedStream()};
    for (const char *name : {"gps-range-static.dat", "gps-rangecmp.dat", "oemv_200911218.gps"}) {
        const std::string path = SharedDataFile(name);
        if (path.empty()) continue;
        auto bytes = ReadFileBytes(path);
        if (bytes.size() > 300000) bytes.resize(300000);
        inputs.push_back(bytes);
        // The same log with a flipped bit every 997 bytes.
        for (size_t i = 500; i < bytes.size(); i += 997) bytes[i] ^= 0x10;
        inputs.push_back(bytes);
    }
    for (uint32_t reportAll : {0u, 1u}) {
        Oem4Options o = DefaultOptions();
        o.reportAll = reportAll;
        for (const auto &input : inputs) {
            const Trace reference = RunStream(input, 0, o);
            for (uint32_t block : {1u, 2u, 7u, 100u, 2048u, 1000000u}) {
                EXPECT_TRUE(RunStream(input, block, o) == reference)
                    << "block " << block << " reportAll " << reportAll << " size " << input.size();
            }
        }
    }
}

TEST(DecodeBytes, UnopenedPortAndEmptyBlock) {
    uint32_t used = 99;
    uint8_t byte = 0xAA;
    EXPECT_EQ(DecodeBytes(2000, &byte, 1, nullptr, &used), -1);
    EXPECT_EQ(used, 0u);
    EXPECT_STREQ(ErrorText, "OpenPort not called");
    OpenTestPort(DefaultOptions());
    EXPECT_EQ(DecodeBytes(0, &byte, 0, nullptr, &used), 0);
    EXPECT_EQ(used, 0u);
}
