// The outputs of a conversion must not depend on where its input is cut:
// byte-by-byte feeding and the block path with any block size give the
// same three files, the same messages in the same order and the same
// statistics, for clean, damaged and hostile logs alike.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "api/convert.h"
#include "hardening_support.h"
#include "output/tsq_file.h"

using namespace hardening;

namespace {

struct Outputs {
    Outcome run;
    std::vector<uint8_t> tsq;
    std::vector<uint8_t> epp;
    std::string sta;
};

// Feeds the driver's blocks in pieces of the given size for one scope.
class FeedSize {
public:
    explicit FeedSize(uint32_t size) : before_(SetConvertFeedSize(size)) {}
    ~FeedSize() { SetConvertFeedSize(before_); }

private:
    uint32_t before_;
};

Outputs ConvertWith(const ScratchDir &dir, const std::string &input, uint32_t feedSize, const Oem4Options &options) {
    FeedSize feed(feedSize);
    Outputs out;
    out.run = Convert(input, dir / "out", options);
    out.tsq = ReadBytes(dir / "out.tsq");
    out.epp = ReadBytes(dir / "out.epp");
    // Mark numbers run on over the library's lifetime; the rest must match.
    const std::vector<uint8_t> sta = ReadBytes(dir / "out.sta");
    out.sta = std::regex_replace(std::string(sta.begin(), sta.end()), std::regex("#[0-9]+"), "#");
    return out;
}

bool FixedClock(std::tm *now) {
    *now = std::tm{};
    now->tm_year = 124;
    return true;
}

void ExpectSameWhateverTheCut(const std::string &input, const Oem4Options &options) {
    ScratchDir dir("oem4conv_hardening", "_out");
    SetTsqLocalTimeSource(FixedClock); // the header's creation time would differ
    struct Restore {
        ~Restore() { SetTsqLocalTimeSource(nullptr); }
    } restore;
    // The clock recomputation keeps its last fix from one conversion to the
    // next; a first pass gives every compared run the same starting fix.
    ConvertWith(dir, input, 0, options);
    const Outputs reference = ConvertWith(dir, input, 0, options);
    ASSERT_EQ(reference.run.result, 0) << reference.run.error;
    for (uint32_t size : {1u, 2u, 31u, 97u, 1000u, 2048u}) {
        const Outputs other = ConvertWith(dir, input, size, options);
        SCOPED_TRACE("block size " + std::to_string(size));
        EXPECT_EQ(other.run.result, reference.run.result);
        EXPECT_EQ(other.run.epochs, reference.run.epochs);
        EXPECT_EQ(other.run.ephemerides, reference.run.ephemerides);
        EXPECT_EQ(other.run.marks, reference.run.marks);
        EXPECT_EQ(other.run.messages, reference.run.messages);
        EXPECT_EQ(other.run.progress, reference.run.progress);
        EXPECT_TRUE(other.tsq == reference.tsq);
        EXPECT_TRUE(other.epp == reference.epp);
        EXPECT_EQ(other.sta, reference.sta);
    }
}

Oem4Options Chatty(bool recompute) {
    Oem4Options o = FactoryOptions();
    o.reportAll = 1;
    o.recomputeClock = recompute ? 1 : 0;
    return o;
}

} // namespace

TEST(WhateverTheCut, RealLogsGiveTheSameOutputs) {
    int found = 0;
    for (const char *name : {"oemv_200911218.gps", "gps-range-static.dat", "gps-rangecmp.dat"}) {
        const std::string path = testsupport::SharedDataFile(name);
        if (path.empty()) continue;
        ++found;
        SCOPED_TRACE(name);
        ExpectSameWhateverTheCut(path, Chatty(true));
    }
    if (found == 0) GTEST_SKIP() << "shared receiver logs not present";
}

TEST(WhateverTheCut, DamagedLogsGiveTheSameOutputs) {
    // Valid records of every kind mixed with torn records, flipped bits,
    // stray sync bytes and an oversize record.
    std::mt19937 random(7);
    std::vector<uint8_t> log;
    auto noise = [&](size_t n) {
        for (size_t i = 0; i < n; ++i) log.push_back(static_cast<uint8_t>(random() % 3 == 0 ? 0xAA : random()));
    };
    testsupport::Bytes mark;
    mark.u4(1500).r8(100.5).r8(1e-4).zeros(20);
    for (int i = 0; i < 60; ++i) {
        std::vector<uint8_t> range = RangeRecord(1 + i % 14, 100000 + 1000 * i);
        switch (i % 6) {
        case 1: range[100] ^= 0x10; break;             // CRC failure
        case 3: range.resize(range.size() / 2); break; // torn
        case 4: Append(log, testsupport::MakeRecord(231, mark.data())); break;
        default: break;
        }
        Append(log, range);
        noise(i % 5 == 0 ? 300 : 7);
    }
    std::vector<uint8_t> oversize(9000); // 300 observations: more than the record buffer holds
    oversize[0] = 300 & 0xFF;
    oversize[1] = 300 >> 8;
    Append(log, testsupport::MakeRecord(43, oversize, {}, 4 + 44 * 300));
    Append(log, RangeRecord(3, 200000));

    ScratchDir dir;
    WriteBytes(dir / "damaged.gps", log);
    ExpectSameWhateverTheCut(dir / "damaged.gps", Chatty(false));
}
