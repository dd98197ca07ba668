// A full disk must never pass as a written file: every writer reports the
// failed write, including the one that only shows when the buffered stream
// is flushed at close. /dev/full accepts the open and fails every write.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/error_text.h"
#include "output/text_outputs.h"
#include "output/tsq_file.h"
#include "temp_files.h"

namespace {

const char *const kFull = "/dev/full";
const std::string kFullDisk = "Error: Unable to write to /dev/full";

class WriteFailure : public ::testing::Test {
protected:
    void SetUp() override {
        std::FILE *f = std::fopen(kFull, "wb");
        if (f == nullptr) {
            GTEST_SKIP() << "no /dev/full";
        }
        std::fclose(f);
        SetErrorText(""); // no earlier test's message may pass for ours
    }
};

int32_t WriteTwelve(TsqFile *tsq, double time) {
    EpochRecord e{};
    e.satCount = 12;
    e.receiverTime = time;
    MeasRecord m[12] = {};
    return WriteTsqEpoch(tsq, &e, m);
}

} // namespace

// A failed write shows at the epoch that overflows the stream's buffer: the
// 2048 bytes the header records, or the larger buffer the driver gives the
// observation stream (the file is the same), and at the final flush.
TEST_F(WriteFailure, TsqReportsTheEpochThatOverflowsTheBufferAndTheFinalFlush) {
    TsqFile *headerOnly = OpenTsqFile(kFull, 4, 1.0f, 2048, 12);
    ASSERT_NE(headerOnly, nullptr); // the header still sits in the buffer
    EXPECT_EQ(CloseTsqFile(headerOnly), 1);
    EXPECT_EQ(std::string(ErrorText), kFullDisk);

    // 202 + 3 x 596 bytes fit 2048 bytes, 202 + 6 x 596 fit 4096.
    for (const auto &[buffer, fitting] : {std::pair{0, 3}, std::pair{4096, 6}}) {
        SCOPED_TRACE(buffer);
        TsqFile *tsq =
            buffer == 0 ? OpenTsqFile(kFull, 4, 1.0f, 2048, 12) : OpenTsqFileBuffered(kFull, 4, 1.0f, 2048, 12, buffer);
        ASSERT_NE(tsq, nullptr);
        for (int k = 0; k < fitting; ++k) EXPECT_EQ(WriteTwelve(tsq, 10.0 + k), 0);
        EXPECT_EQ(WriteTwelve(tsq, 10.0 + fitting), 1);
        EXPECT_EQ(std::string(ErrorText),
                  "Error: Unable to write to /dev/full (disk full). Epoch " + std::to_string(10 + fitting) + ".0");
        EXPECT_EQ(CloseTsqFile(tsq), 1);
    }

    ScratchFile file("buffered.tsq");
    TsqFile *tsq = OpenTsqFileBuffered(file.c_str(), 4, 1.0f, 2048, 12, 65536);
    ASSERT_NE(tsq, nullptr);
    EXPECT_EQ(WriteTwelve(tsq, 10.0), 0);
    ASSERT_EQ(CloseTsqFile(tsq), 0);
    const std::vector<uint8_t> bytes = file.Bytes();
    ASSERT_EQ(bytes.size(), 202u + 596u);
    EXPECT_EQ(bytes[172] | bytes[173] << 8, 2048); // the header's buffer size
}

TEST_F(WriteFailure, TextWritersReportAtTheWriteOrAtClose) {
    const GpsEphRecord eph{};
    const AlmanacRecord alm{};
    const MarkRecord mark{};
    std::FILE *f = std::fopen(kFull, "w");
    ASSERT_NE(f, nullptr);
    std::setvbuf(f, nullptr, _IONBF, 0); // each writer meets its own failure at once
    EXPECT_EQ(WriteEppIdentification(f, kFull), 1);
    EXPECT_EQ(WriteEppEphemeris(f, kFull, &eph), 1);
    EXPECT_EQ(WriteEppAlmanac(f, kFull, &alm), 1);
    EXPECT_EQ(WriteMarkEvent(f, kFull, &mark), 1);
    EXPECT_EQ(std::string(ErrorText), kFullDisk);
    EXPECT_EQ(CloseTextOutput(f, kFull), 1);

    f = std::fopen(kFull, "w"); // buffered: the loss shows at close
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(WriteMarkEvent(f, kFull, &mark), 0);
    SetErrorText("");
    EXPECT_EQ(CloseTextOutput(f, kFull), 1);
    EXPECT_EQ(std::string(ErrorText), kFullDisk);
}
