// Records hidden in a rejected candidate are all found: a record torn by a
// power cut swallows the records that follow it up to its stated length,
// and every one of them must come out, also when candidates nest and when
// the log ends inside the torn record.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"

using namespace testsupport;

namespace {

std::vector<uint8_t> Mark(double time) {
    Bytes b;
    b.u4(1500).r8(time).r8(0.0).zeros(20);
    return MakeRecord(231, b.data());
}

// A RANGE record of `observations` zero observations whose header and
// count are intact but whose bytes stop after `kept` bytes.
std::vector<uint8_t> TornRange(uint32_t observations, size_t kept) {
    Bytes b;
    b.u4(observations).zeros(44 * observations);
    std::vector<uint8_t> r = MakeRecord(43, b.data());
    r.resize(kept);
    return r;
}

void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// Results of feeding the bytes, then of flushing the port at the end.
std::vector<int32_t> Kinds(const std::vector<uint8_t> &bytes, uint32_t block, ThreadBuf *buf) {
    std::vector<int32_t> kinds;
    size_t at = 0;
    while (at < bytes.size()) {
        uint32_t used = 1;
        int32_t r = 0;
        if (block == 0) {
            r = DecodeByte(0, bytes[at], buf);
        } else {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, bytes.size() - at));
            r = DecodeBytes(0, bytes.data() + at, n, buf, &used);
        }
        at += used;
        if (r != 0) kinds.push_back(r);
    }
    for (int32_t r; (r = FlushPort(0, buf)) != 0;) kinds.push_back(r);
    return kinds;
}

class Resync : public ::testing::Test {
protected:
    std::vector<int32_t> Decode(const std::vector<uint8_t> &bytes, uint32_t block = 0) {
        Oem4Options o = DefaultOptions();
        o.reportAll = 1;
        OpenTestPort(o);
        return Kinds(bytes, block, &buf);
    }
    ThreadBuf buf;
};

} // namespace

TEST_F(Resync, EveryRecordInsideATornRecordIsFoundWhateverTheFeeding) {
    // 60 bytes of a 916-byte RANGE, then five marks (72 bytes each) that
    // all lie inside its stated length, then a mark after it.
    std::vector<uint8_t> log = TornRange(20, 60);
    for (int i = 0; i < 5; ++i) Append(log, Mark(100.0 + i));
    Append(log, std::vector<uint8_t>(500, 0x55));
    Append(log, Mark(105.0));
    for (uint32_t block : {0u, 1u, 7u, 100u, 4096u}) {
        EXPECT_EQ(Decode(log, block), std::vector<int32_t>(6, RK_MARK)) << "block " << block;
        // Announced once, for the torn record only.
        int resyncs = 0;
        for (const auto &m : CapturedMessages()) resyncs += m.text.rfind("Record decoding failed", 0) == 0;
        EXPECT_EQ(resyncs, 1);
    }
}

TEST_F(Resync, NestedTornRecordsGiveUpEveryHiddenRecord) {
    // A torn record inside a torn record inside a torn record.
    std::vector<uint8_t> log = TornRange(60, 50);
    Append(log, Mark(1.0));
    Append(log, TornRange(20, 45));
    Append(log, Mark(2.0));
    Append(log, TornRange(8, 40));
    Append(log, Mark(3.0));
    Append(log, Mark(4.0));
    Append(log, std::vector<uint8_t>(3000, 0)); // the outer record's stated length ends here
    Append(log, Mark(5.0));
    EXPECT_EQ(Decode(log), std::vector<int32_t>(5, RK_MARK));
    EXPECT_EQ(Decode(log, 13), std::vector<int32_t>(5, RK_MARK));
}

TEST_F(Resync, ALogEndingInsideATornRecordStillGivesTheRecordsInIt) {
    std::vector<uint8_t> log = Mark(1.0);
    Append(log, TornRange(100, 80)); // stated 4436 bytes; the log ends long before
    Append(log, Mark(2.0));
    Append(log, Mark(3.0));
    Append(log, TornRange(3, 30)); // and the very last record is torn too
    EXPECT_EQ(Decode(log), std::vector<int32_t>(3, RK_MARK));
    // The port is idle afterwards and keeps working.
    EXPECT_EQ(FlushPort(0, &buf), 0);
    const std::vector<uint8_t> next = Mark(4.0);
    EXPECT_EQ(Feed(next, &buf).size(), 1u);
    // A port that was never opened says so.
    EXPECT_EQ(FlushPort(1000, &buf), -1);
}
