// The census of records of other kinds, read through a window as a
// conversion reads the log again: records that just fit the window, the
// longest record, a damaged header of a converted kind in front of records,
// and damage that claims a long record at every few bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "oem4/record_census.h"
#include "support/oem4_records.h"
#include "support/scratch.h"

using testsupport::Append;
using testsupport::MakeRecord;

namespace {

struct Source {
    const std::vector<uint8_t> *log;
    std::size_t next;
};

std::size_t ReadPiece(void *context, uint8_t *to, std::size_t most) {
    Source &s = *static_cast<Source *>(context);
    const std::size_t n = std::min(most, s.log->size() - s.next);
    if (n != 0) std::memcpy(to, s.log->data() + s.next, n);
    s.next += n;
    return n;
}

RecordCensus Census(const std::vector<uint8_t> &log, std::size_t window) {
    std::vector<uint8_t> area(window);
    Source source{&log, 0};
    RecordCensus census;
    ReadRecordCensus(&census, ReadPiece, &source, area.data(), area.size());
    return census;
}

} // namespace

TEST(RecordCensus, RecordsUpToTheWindowAreCountedAndDamageCannotMakeItSlow) {
    constexpr std::size_t kWindow = 4096;
    // A record that fills the window exactly, one a byte longer (not looked
    // for), each behind a byte of damage so that neither starts the window.
    std::vector<uint8_t> fits{0x55};
    Append(fits, MakeRecord(508, std::vector<uint8_t>(kWindow - 32, 0x31)));
    RecordCensus census = Census(fits, kWindow);
    EXPECT_EQ(census.records, 1u);
    EXPECT_EQ(census.bytes, kWindow);
    std::vector<uint8_t> longer{0x55};
    Append(longer, MakeRecord(508, std::vector<uint8_t>(kWindow - 31, 0x31)));
    EXPECT_EQ(Census(longer, kWindow).records, 0u);

    // The longest record there can be, read through the conversion's area.
    std::vector<uint8_t> longest{0x55};
    Append(longest, MakeRecord(508, std::vector<uint8_t>(65535, 0x31)));
    EXPECT_EQ(Census(longest, 2 * kCensusLongestRecord).bytes, kCensusLongestRecord);

    // A damaged header of a converted kind (RANGECMP) claiming 60000 bytes
    // hides nothing: the records behind it are counted.
    std::vector<uint8_t> hiding = MakeRecord(140, std::vector<uint8_t>(172, 0x31), {}, 60000);
    hiding.resize(200);
    for (int k = 0; k < 10; ++k) Append(hiding, MakeRecord(508, std::vector<uint8_t>(1000, 0x31)));
    EXPECT_EQ(Census(hiding, 2 * kCensusLongestRecord).records, 10u);

    // Every 16 bytes a long header of an unknown kind claiming nearly the
    // window: checked in full, each would cost the window's length. The
    // census stops once its checks reach four times the bytes read (and the
    // first megabyte), and says its counts mean nothing.
    std::vector<uint8_t> claims(2u << 20, 0x31);
    for (std::size_t at = 0; at + 16 <= claims.size(); at += 16) {
        const uint8_t header[] = {0xAA, 0x44, 0x12, 0x1C, 0xFC, 0x01, 0, 0, 0xC0, 0x0F};
        std::memcpy(claims.data() + at, header, sizeof header);
    }
    census = Census(claims, kWindow);
    EXPECT_TRUE(census.gaveUp);
    EXPECT_EQ(census.records, 0u);
}
