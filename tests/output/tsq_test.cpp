#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "common/le.h"
#include "output/tsq_file.h"
#include "output/tsq_reader.h"
#include "temp_files.h"

namespace {

// 5 March 2005, 14:07:09 local time.
bool FixedClock(std::tm *now) {
    *now = std::tm{};
    now->tm_year = 105;
    now->tm_mon = 2;
    now->tm_mday = 5;
    now->tm_hour = 14;
    now->tm_min = 7;
    now->tm_sec = 9;
    return true;
}

class TsqTest : public ::testing::Test {
protected:
    void SetUp() override { SetTsqLocalTimeSource(FixedClock); }
    void TearDown() override { SetTsqLocalTimeSource(nullptr); }
    static TsqFile *Open(const char *path) { return OpenTsqFile(path, 4, 1.0f, 2048, 12); }
};

} // namespace

TEST_F(TsqTest, EmptyFileIsTheHeaderAloneWithEveryField) {
    ScratchFile file(std::string(150, 'p') + ".tsq"); // longer than the name field
    TsqFile *tsq = Open(file.c_str());
    ASSERT_NE(tsq, nullptr);
    ASSERT_EQ(CloseTsqFile(tsq), 0);

    std::vector<uint8_t> b = file.Bytes();
    ASSERT_EQ(b.size(), 202u);
    const uint8_t *h = b.data();
    EXPECT_EQ(le::U2(h + 0), 202);
    EXPECT_EQ(le::U4(h + 2), 0x3F8147AEu);
    EXPECT_EQ(h[6], 4);
    EXPECT_EQ(h[7], 12);
    const uint16_t calendar[] = {2, 5, 105, 14, 7, 9}; // month from 0, year from 1900
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(le::U2(h + 8 + 2 * i), calendar[i]) << "creation field " << i;
    }
    EXPECT_EQ(le::U4(h + 20), 0x3F800000u);
    EXPECT_EQ(std::memcmp(h + 24, file.c_str(), 143), 0); // cut inside the field,
    EXPECT_EQ(h[167], 0);                                 // keeping its NUL
    EXPECT_EQ(le::U4(h + 168), 0u);
    EXPECT_EQ(le::U2(h + 172), 2048);
    EXPECT_EQ(std::vector<uint8_t>(h + 174, h + 202), std::vector<uint8_t>(28, 0));

    std::string missing = ::testing::TempDir() + "no_such_dir/x.tsq";
    EXPECT_EQ(Open(missing.c_str()), nullptr);
    EXPECT_EQ(std::string(ErrorText), "Error: Unable to open " + missing + " for writing");
}

TEST_F(TsqTest, EpochsAreStoredWithTheirLengthWordsAndReadBack) {
    ScratchFile file("epochs.tsq");
    TsqFile *tsq = Open(file.c_str());
    ASSERT_NE(tsq, nullptr);
    const uint8_t counts[] = {3, 0, 12, 13, 1};
    std::vector<EpochRecord> epochs(5);
    std::vector<std::vector<MeasRecord>> meas(5);
    for (size_t k = 0; k < 5; ++k) {
        // Garbage in the length words, as a caller may leave them, and one
        // spare record past the count that must be neither stamped nor written.
        epochs[k] = EpochRecord{0xBEEF, counts[k], 3, {}, 51.5, -0.1, 45.25f, 345600.26 + k, 0, 0, 0, 1313, {}};
        for (size_t i = 0; i <= counts[k]; ++i) {
            meas[k].push_back(MeasRecord{0xFFFF, static_cast<uint8_t>(i + 1), 200, 2e7 + k, 1.5, -2.5, 3.5, 0.25});
        }
    }
    for (size_t k = 0; k < 5; ++k) {
        if (counts[k] > 12) {
            EXPECT_EQ(WriteTsqEpoch(tsq, &epochs[k], meas[k].data()), 1);
            EXPECT_EQ(std::string(ErrorText), "Error: Epoch 345603.3 has 13 measurements 12 channels in " + file.path);
            EXPECT_EQ(epochs[k].recordLength, 0xBEEF);
            continue;
        }
        ASSERT_EQ(WriteTsqEpoch(tsq, &epochs[k], meas[k].data()), 0);
        EXPECT_EQ(epochs[k].recordLength, 68);
        for (size_t i = 0; i < counts[k]; ++i) {
            EXPECT_EQ(meas[k][i].recordLength, 44);
        }
        EXPECT_EQ(meas[k][counts[k]].recordLength, 0xFFFF);
    }
    ASSERT_EQ(CloseTsqFile(tsq), 0);
    ASSERT_EQ(file.Bytes().size(), 202u + 68 * 4 + 44 * (3 + 12 + 1));

    TsqReader reader;
    ASSERT_EQ(OpenTsqReader(&reader, file.c_str()), 0);
    EpochRecord e;
    MeasRecord m[kTsqMaxMeasurements];
    for (size_t k : {0, 1, 2, 4}) {
        ASSERT_EQ(ReadTsqEpoch(&reader, &e, m, kTsqMaxMeasurements), TSQ_EPOCH_READ) << ErrorText;
        EXPECT_EQ(std::memcmp(&e, &epochs[k], 68), 0) << "epoch " << k;
        EXPECT_EQ(std::memcmp(m, meas[k].data(), 44u * counts[k]), 0) << "epoch " << k;
    }
    EXPECT_EQ(ReadTsqEpoch(&reader, &e, m, kTsqMaxMeasurements), TSQ_END_OF_FILE);
    EXPECT_STREQ(ErrorText, "End of file");
    CloseTsqReader(&reader);
}

namespace {

// A file of one good empty epoch and then one of count measurements.
std::vector<uint8_t> File(uint8_t channels, uint8_t count, uint16_t posLength, uint16_t lastMeasLength,
                          size_t cut = 0) {
    std::vector<uint8_t> f(202 + 68 + 68 + 44u * count, 0);
    le::PutU2(&f[0], 202);
    f[7] = channels;
    std::memset(&f[24], 'n', 154); // an unterminated name, junk in the slots
    le::PutU2(&f[202], 68);
    le::PutU2(&f[270], posLength);
    f[272] = count;
    le::PutR8(&f[270 + 28], 4321.06);
    for (size_t i = 0; i < count; ++i) {
        le::PutU2(&f[338 + 44 * i], i + 1 == count ? lastMeasLength : 44);
    }
    f.resize(f.size() - cut);
    return f;
}

// Reads until something other than an epoch; the epochs read, or -1 when
// the open failed. The final message is in ErrorText.
int ReadAll(const ScratchFile &file, const std::vector<uint8_t> &bytes, int32_t capacity = 255) {
    std::FILE *f = std::fopen(file.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    TsqReader reader;
    if (OpenTsqReader(&reader, file.c_str()) != 0) {
        return -1;
    }
    TsqHeaderFields fields;
    GetTsqHeaderFields(reader.header, &fields);
    EXPECT_STREQ(fields.fileName, file.c_str()); // the reader's own name replaces the stored one
    EpochRecord e;
    std::vector<MeasRecord> m(static_cast<size_t>(capacity));
    int epochs = 0;
    while (ReadTsqEpoch(&reader, &e, m.data(), capacity) == TSQ_EPOCH_READ) {
        ++epochs;
    }
    EXPECT_EQ(ReadTsqEpoch(&reader, &e, m.data(), capacity), TSQ_READ_FAILED); // stays failed
    CloseTsqReader(&reader);
    return epochs;
}

} // namespace

TEST(TsqReader, ReportsEachKindOfDamageWithItsMessage) {
    ScratchFile file("damage.tsq");
    const std::string p = file.path;
    std::vector<uint8_t> badHeader = File(12, 0, 68, 44);
    le::PutU2(&badHeader[0], 200);
    const struct {
        std::vector<uint8_t> bytes;
        int32_t capacity;
        int epochs;
        std::string message;
    } cases[] = {
        {std::vector<uint8_t>(201, 0), 255, -1, "Error: Unable to read header from " + p},
        {badHeader, 255, -1, "Error: Invalid header size in " + p + "  Size: 200   Hsize: 202"},
        {File(12, 1, 67, 44), 255, 1, "Error: Bad position record in " + p},
        {File(12, 0, 68, 44, 30), 255, 1, "Error: Bad position record in " + p}, // cut short
        {File(12, 13, 68, 44), 255, 1, "Error: Epoch 4321.1 has 13 measurements 12 channels in " + p},
        {File(12, 3, 68, 44, 32), 255, 1, "Error: Pre-mature end of file in " + p + " at epoch 4321.1"},
        {File(12, 4, 68, 45), 255, 1, "Error: Bad measurement record (1) in " + p},
        // A header claiming 255 channels must not let 20 records into room for 4.
        {File(255, 20, 68, 44), 4, 1, "Error: Epoch 4321.1 has 20 measurements 4 channels in " + p},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ReadAll(file, c.bytes, c.capacity), c.epochs) << c.message;
        EXPECT_EQ(std::string(ErrorText), c.message);
    }
}
