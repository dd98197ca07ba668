// The driver feeds its blocks through DecodeBytes, which takes sync
// searches and record bodies in bulk. Converting the same log once that way
// and once byte by byte through DecodeByte must give the same files, the
// same messages with the same times, the same counters and result.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "api/convert.h"
#include "navigation/receiver_clock.h"
#include "oem4conv.h"
#include "support/oem4_records.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWholeBlock = 2048; // the driver's default

std::vector<std::string> g_messages;

void OEM4CONV_CALL OnMessage(double time, const char *text) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%.17g ", time);
    g_messages.push_back(stamp + std::string(text));
}

struct Outcome {
    int32_t result = -1;
    std::string errString;
    uint32_t counts[4] = {};
    std::vector<std::string> messages;
    std::vector<uint8_t> tsq, epp, sta;
};

class BlockDecoding : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("oem4conv-blocks-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        SetConvertFeedSize(kWholeBlock);
        fs::remove_all(dir_);
    }

    Outcome Convert(const std::vector<uint8_t> &log, const Oem4Options &o, uint32_t feedSize) {
        const fs::path input = dir_ / "log.gps";
        {
            std::ofstream out(input, std::ios::binary);
            out.write(reinterpret_cast<const char *>(log.data()), static_cast<std::streamsize>(log.size()));
        }
        ConvertOptions options{};
        options.structSize = sizeof options;
        std::snprintf(options.inputFile, sizeof options.inputFile, "%s", input.c_str());
        std::snprintf(options.outputFile, sizeof options.outputFile, "%s", (dir_ / "out").c_str());
        options.optionsSize = sizeof(Oem4Options);
        std::memcpy(options.converterOptions, &o, sizeof o);
        ConvertHost host{};
        host.structSize = sizeof host;
        host.onMessage = OnMessage;

        g_messages.clear();
        // The clock recomputation starts from the last fix of any earlier
        // conversion; both runs start from none.
        PreviousFix = FixState{};
        SetConvertFeedSize(feedSize);
        Outcome r;
        r.result = ConvertFile(&options, &host, 0);
        SetConvertFeedSize(kWholeBlock);
        char text[512];
        GetErrString(text);
        r.errString = text;
        r.counts[0] = options.epochCount;
        r.counts[1] = options.ephemerisCount;
        r.counts[2] = options.spareCount;
        r.counts[3] = options.markCount;
        r.messages = g_messages;
        r.tsq = testsupport::ReadFileBytes((dir_ / "out.tsq").string());
        r.epp = testsupport::ReadFileBytes((dir_ / "out.epp").string());
        r.sta = testsupport::ReadFileBytes((dir_ / "out.sta").string());
        // The creation time of the header may differ by a second.
        if (r.tsq.size() >= 20) std::memset(r.tsq.data() + 8, 0, 12);
        return r;
    }

    void ExpectSameOutcome(const std::vector<uint8_t> &log, const Oem4Options &o,
                           const std::string &what) {
        SCOPED_TRACE(what);
        const Outcome block = Convert(log, o, kWholeBlock);
        const Outcome bytes = Convert(log, o, 0);
        EXPECT_EQ(block.result, bytes.result);
        EXPECT_EQ(block.errString, bytes.errString);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(block.counts[i], bytes.counts[i]) << "counter " << i;
        ASSERT_EQ(block.messages.size(), bytes.messages.size());
        for (size_t i = 0; i < block.messages.size(); ++i) {
            ASSERT_EQ(block.messages[i], bytes.messages[i]) << "message " << i;
        }
        EXPECT_TRUE(block.tsq == bytes.tsq) << "observation files differ";
        EXPECT_TRUE(block.epp == bytes.epp) << "ephemeris files differ";
        EXPECT_TRUE(block.sta == bytes.sta) << "mark files differ";
        EXPECT_GT(block.tsq.size(), 0u);
    }

    fs::path dir_;
};

// Damage that exercises every framing path: flipped bytes (CRC failures,
// bad lengths and counts), stray sync patterns that start false records,
// and pieces of records spliced together.
std::vector<uint8_t> Damage(const std::vector<uint8_t> &log, uint32_t seed) {
    uint32_t state = seed;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at < log.size()) {
        const size_t piece = 1 + next() % 6000;
        const size_t end = std::min(log.size(), at + piece);
        out.insert(out.end(), log.begin() + static_cast<std::ptrdiff_t>(at),
                   log.begin() + static_cast<std::ptrdiff_t>(end));
        switch (next() % 4) {
        case 0: at = end + next() % 300; break; // bytes lost
        case 1: {                               // a false header
            const uint8_t ids[] = {43, 140, 42, 41, 73, 74, 231, 71};
            const uint8_t header[] = {0xAA, 0x44, 0x12, 0x1C, ids[next() % 8], 0};
            out.insert(out.end(), header, header + sizeof header);
            at = end;
            break;
        }
        default: at = end; break;
        }
        for (int i = 0; i < 3 && !out.empty(); ++i) out[next() % out.size()] ^= static_cast<uint8_t>(1 + next() % 255);
    }
    return out;
}

TEST_F(BlockDecoding, RealLogsGiveTheByteByByteOutputs) {
    Oem4Options defaults{};
    SetFactoryDefaults(sizeof defaults, &defaults);
    Oem4Options everything = defaults;
    everything.reportAll = 1;
    everything.epochFlag = 1;
    Oem4Options recompute = everything;
    recompute.recomputeClock = 1;

    int logs = 0;
    for (const char *name : {"gps-range-static.dat", "gps-rangecmp.dat", "oemv_200911218.gps"}) {
        const std::string path = testsupport::SharedDataFile(name);
        if (path.empty()) continue;
        ++logs;
        const std::vector<uint8_t> log = testsupport::ReadFileBytes(path);
        ExpectSameOutcome(log, defaults, std::string(name) + ", defaults");
        ExpectSameOutcome(log, everything, std::string(name) + ", all reports");
        ExpectSameOutcome(log, recompute, std::string(name) + ", recomputed clock");
        ExpectSameOutcome(Damage(log, 7), everything, std::string(name) + ", damaged");
        ExpectSameOutcome(Damage(log, 8), defaults, std::string(name) + ", damaged, defaults");
    }
    if (logs == 0) GTEST_SKIP() << "no real receiver logs";
}

// A stream that ends inside a record, and one whose records straddle every
// block boundary: the port keeps its half-collected record across blocks.
TEST_F(BlockDecoding, RecordsAcrossBlocksAndATruncatedEnd) {
    testsupport::Bytes body;
    const uint32_t satellites = 20;
    body.u4(satellites);
    for (uint32_t i = 0; i < satellites; ++i) {
        body.u2(static_cast<uint16_t>(i + 1)).u2(0).r8(2.1e7 + i).r4(0.1f).r8(-1.1e8).r4(0.01f);
        body.r4(100.0f).r4(45.0f).r4(50.0f).u4(0x1C00);
    }
    std::vector<uint8_t> log;
    for (int32_t k = 0; k < 40; ++k) {
        const auto record = testsupport::MakeRecord(43, body.data(), {1500, 1000 * k, 180});
        log.insert(log.end(), record.begin(), record.end());
        log.push_back(static_cast<uint8_t>(k)); // shifts the next record against the blocks
    }
    log.resize(log.size() - 500);
    Oem4Options o{};
    SetFactoryDefaults(sizeof o, &o);
    o.reportAll = 1;
    ExpectSameOutcome(log, o, "straddling records");
}

} // namespace
