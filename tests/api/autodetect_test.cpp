// AutoDetect: which files count as OEM4 logs.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "oem4conv.h"
#include "support/oem4_records.h"
#include "support/scratch.h"

namespace fs = std::filesystem;
using testsupport::MakeRecord;

namespace {

class Detect : public ::testing::Test {
protected:
    int32_t DetectBytes(const std::vector<uint8_t> &bytes) {
        testsupport::WriteBytes(path, bytes);
        return AutoDetect(path.c_str());
    }
    static std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    testsupport::ScratchDir scratch{"oem4conv_detect"};
    const std::string path = scratch / "log";
};

} // namespace

TEST_F(Detect, MissingEmptyAndShortFilesAreNotLogs) {
    EXPECT_EQ(AutoDetect((path + ".missing").c_str()), 0);
    EXPECT_EQ(AutoDetect(nullptr), 0);
    EXPECT_EQ(DetectBytes({}), 0);
    EXPECT_EQ(DetectBytes(std::vector<uint8_t>(32, 0xAA)), 0);
    std::vector<uint8_t> record = MakeRecord(42, {});
    record.pop_back(); // 31 bytes: the CRC is cut
    EXPECT_EQ(DetectBytes(record), 0);
}

TEST_F(Detect, ASingleRecordEndingAtTheLastByteCounts) {
    const std::vector<uint8_t> record = MakeRecord(42, {});
    ASSERT_EQ(record.size(), 32u);
    EXPECT_EQ(DetectBytes(record), 1);
    EXPECT_EQ(DetectBytes(Cat(record, {0x00})), 1);
}

// Today's multi-system range records run to kilobytes, and a receiver's
// configuration logged in ASCII at start-up may stand before the first
// binary record: logs that convert, so logs.
TEST_F(Detect, LongRecordsAndLongAsciiProloguesAreLogs) {
    for (size_t length : {2048, 2049, 4976, 65535}) {
        EXPECT_EQ(DetectBytes(MakeRecord(43, std::vector<uint8_t>(length, 1))), 1) << length;
    }
    std::string prologue;
    while (prologue.size() < 9400)
        prologue += "#COMMENTA,COM1,0,0.0,UNKNOWN,0,0.000,00000000,0000,0;\"start-up\"*12345678\r\n";
    EXPECT_EQ(DetectBytes(Cat(std::vector<uint8_t>(prologue.begin(), prologue.end()), MakeRecord(42, {}))), 1);
}

TEST_F(Detect, AnyMessageIdCountsButTheHeaderLengthMustBe28) {
    EXPECT_EQ(DetectBytes(MakeRecord(1, {1, 2, 3, 4})), 1);
    std::vector<uint8_t> record = MakeRecord(1, {1, 2, 3, 4});
    record[3] = 27; // header length (the CRC is not recomputed: either test refuses)
    EXPECT_EQ(DetectBytes(record), 0);
}

TEST_F(Detect, BadCandidatesAreSkippedAndALaterRecordFound) {
    std::vector<uint8_t> bad = MakeRecord(43, std::vector<uint8_t>(48, 7));
    bad[40] ^= 0xFF;
    std::vector<uint8_t> junk(100, 0xAA);
    EXPECT_EQ(DetectBytes(Cat(Cat(bad, junk), MakeRecord(231, std::vector<uint8_t>(40, 0)))), 1);
    EXPECT_EQ(DetectBytes(Cat(bad, junk)), 0);
}

TEST_F(Detect, OnlyTheFirst128KiBAreSearched) {
    const std::vector<uint8_t> record = MakeRecord(42, std::vector<uint8_t>(72, 3)); // 104 bytes
    constexpr size_t kWindow = 128 * 1024;
    // Ends exactly at the window's last byte: seen.
    EXPECT_EQ(DetectBytes(Cat(Cat(std::vector<uint8_t>(kWindow - 104, 0), record), {0, 0})), 1);
    // One byte later it crosses the window: not seen.
    EXPECT_EQ(DetectBytes(Cat(Cat(std::vector<uint8_t>(kWindow + 1 - 104, 0), record), {0, 0})), 0);
}

TEST_F(Detect, LeavesErrorTextAlone) {
    SetErrorText("before");
    DetectBytes(MakeRecord(42, {}));
    AutoDetect("/nonexistent/file");
    char text[512];
    GetErrString(text);
    EXPECT_STREQ(text, "before");
}

TEST_F(Detect, RealLogsAndTheirAsciiTwin) {
    for (const char *name : {"oemv_200911218.gps", "gps-range-static.dat", "gps-rangecmp.dat"}) {
        const std::string log = testsupport::SharedDataFile(name);
        if (log.empty()) GTEST_SKIP() << "shared receiver logs not present";
        EXPECT_EQ(AutoDetect(log.c_str()), 1) << name;
    }
    EXPECT_EQ(AutoDetect(testsupport::SharedDataFile("gps-rangecmp.asc").c_str()), 0);
}
