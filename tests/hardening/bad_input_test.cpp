// Every bad input a user can hit, through ConvertFile: unusable input and
// output paths, a disk that fills, and logs that are torn, random or
// hostile. Each ends with a clear "Error: ..." text or a clean conversion
// of whatever valid records there are, and never loses what was written.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "hardening_support.h"

using namespace hardening;
using testsupport::Bytes;
using testsupport::MakeRecord;

namespace {

// A tmpfs of its own, so that a full or read-only disk can be had even as
// root (permission bits do not stop root). Skips when mounting is not
// allowed.
struct SmallDisk {
    SmallDisk(const std::string &where, const char *options, unsigned long flags) : path(where) {
        fs::create_directories(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", flags, options) == 0;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    }
    std::string path;
    bool mounted = false;
};

bool StartsWith(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

} // namespace

// A missing input and a directory as input are the conversion tests' own;
// here the input that permissions keep closed, only testable when they
// bind us (not as root).
TEST(BadPaths, InputThatCannotBeReadIsRefusedByName) {
    ScratchDir dir;
    WriteBytes(dir / "locked.gps", RangeRecord(4, 100000));
    fs::permissions(dir / "locked.gps", fs::perms::none);
    if (std::FILE *probe = std::fopen((dir / "locked.gps").c_str(), "rb")) {
        std::fclose(probe);
        GTEST_SKIP() << "running as root";
    }
    const Outcome run = Convert(dir / "locked.gps", dir / "out");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.error, "Error: Unable to open " + (dir / "locked.gps"));
}

TEST(BadPaths, OutputsThatCannotBeCreatedAreRefusedByName) {
    ScratchDir dir;
    WriteBytes(dir / "log.gps", RangeRecord(4, 100000));

    Outcome run = Convert(dir / "log.gps", dir / "no/such/dir/out");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.error, "Error: Unable to open " + (dir / "no/such/dir/out.tsq") + " for writing");

    // The observation file's name taken by a directory.
    fs::create_directories(dir / "out.tsq");
    run = Convert(dir / "log.gps", dir / "out");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.error, "Error: Unable to open " + (dir / "out.tsq") + " for writing");
    EXPECT_TRUE(fs::is_directory(dir / "out.tsq"));

    SmallDisk readOnly(dir / "ro", "size=64k", MS_RDONLY);
    if (!readOnly.mounted) GTEST_SKIP() << "cannot mount a read-only tmpfs here";
    run = Convert(dir / "log.gps", dir / "ro/out");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.error, "Error: Unable to open " + (dir / "ro/out.tsq") + " for writing");
}

TEST(BadPaths, ADiskThatFillsEndsWithAnErrorAndKeepsWhatWasWritten) {
    ScratchDir dir;
    WriteBytes(dir / "log.gps", testsupport::RangeLogs(400, 12));
    const Outcome roomy = Convert(dir / "log.gps", dir / "roomy");
    ASSERT_EQ(roomy.result, 0) << roomy.error;
    ASSERT_EQ(roomy.epochs, 400u);
    const std::vector<uint8_t> full = ReadBytes(dir / "roomy.tsq"); // about 240 KB

    SmallDisk disk(dir / "small", "size=64k", 0);
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here";
    const Outcome run = Convert(dir / "log.gps", dir / "small/out");
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(StartsWith(run.error, "Error: Unable to write to " + (dir / "small/out.tsq"))) << run.error;
    // The host heard of it when it happened, not only at the end.
    EXPECT_TRUE(std::any_of(run.messages.begin(), run.messages.end(),
                            [&](const std::string &m) { return m.find(run.error) != std::string::npos; }));
    EXPECT_LT(run.epochs, 400u);
    // What reached the disk is exactly the beginning of the full file
    // (after the header, which names the file and its creation time).
    const std::vector<uint8_t> partial = ReadBytes(dir / "small/out.tsq");
    EXPECT_GT(partial.size(), 202u + 68u + 12u * 44u);
    ASSERT_LE(partial.size(), full.size());
    EXPECT_TRUE(std::equal(partial.begin() + 202, partial.end(), full.begin() + 202));
}

class BadLogs : public ::testing::Test {
protected:
    Outcome ConvertLog(const std::vector<uint8_t> &log, Oem4Options options = FactoryOptions()) {
        WriteBytes(dir / "log.gps", log);
        return Convert(dir / "log.gps", dir / "out", options);
    }
    ScratchDir dir;
};

TEST_F(BadLogs, ALogTornAnywhereInItsLastRecordKeepsEveryEpochBeforeIt) {
    const std::vector<uint8_t> log = testsupport::RangeLogs(5, 8);
    const size_t recordSize = log.size() / 5;
    for (size_t cut = log.size() - recordSize + 1; cut < log.size(); cut += 37) {
        const Outcome run = ConvertLog(std::vector<uint8_t>(log.begin(), log.begin() + cut));
        EXPECT_EQ(run.result, 0) << run.error;
        EXPECT_EQ(run.epochs, 4u) << "cut at " << cut;
    }
    // A record torn in the middle of the log (a power cut and a restart)
    // costs that record only.
    std::vector<uint8_t> torn(log.begin(), log.begin() + 2 * recordSize + 100);
    torn.insert(torn.end(), log.begin() + 3 * recordSize, log.end());
    Outcome run = ConvertLog(torn);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.epochs, 4u);

    // A big record torn early swallows the whole records after it up to its
    // stated length; every one of them is still converted, also when the
    // log ends before that length.
    std::vector<uint8_t> big = RangeRecord(20, 99000);
    big.resize(60);
    for (bool atEnd : {false, true}) {
        std::vector<uint8_t> cut = big;
        Append(cut, log);
        if (!atEnd) Append(cut, RangeRecord(8, 105000));
        run = ConvertLog(cut);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.epochs, atEnd ? 5u : 6u) << (atEnd ? "at the end" : "inside the log");
    }
}

TEST_F(BadLogs, RandomBytesAndSyncBytesOnlyConvertToNothingAndEndCleanly) {
    std::mt19937 random(12345);
    std::vector<uint8_t> noise(1 << 20);
    for (auto &b : noise) b = static_cast<uint8_t>(random());
    Oem4Options all = FactoryOptions();
    all.reportAll = 1;
    all.recomputeClock = 1;
    Outcome run = ConvertLog(noise, all);
    EXPECT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(run.epochs + run.ephemerides + run.marks, 0u);
    EXPECT_EQ(run.progress.back(), std::make_pair(1 << 20, 1 << 20));

    // Every byte starts a candidate that fails at its second byte.
    run = ConvertLog(std::vector<uint8_t>(1 << 20, 0xAA), all);
    EXPECT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(run.epochs, 0u);
    EXPECT_EQ(ReadBytes(dir / "out.tsq").size(), 202u);

    // Noise around valid records does not hide them.
    std::vector<uint8_t> mixed(noise.begin(), noise.begin() + 5000);
    Append(mixed, RangeRecord(5, 100000));
    mixed.insert(mixed.end(), noise.begin() + 5000, noise.begin() + 9000);
    Append(mixed, RangeRecord(5, 101000));
    run = ConvertLog(mixed);
    EXPECT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(run.epochs, 2u);
}

TEST_F(BadLogs, EveryLengthAndCountFieldAtItsLimitIsRejectedAndDecodingGoesOn) {
    Oem4Options options = FactoryOptions();
    options.reportAll = 1;
    const std::vector<uint8_t> good = RangeRecord(4, 200000);
    auto withGood = [&](std::vector<uint8_t> bad) {
        Append(bad, good);
        return bad;
    };
    auto countOnly = [](uint32_t count, size_t bodySize) {
        Bytes b;
        b.u4(count).zeros(bodySize - 4);
        return b.data();
    };

    struct Case {
        const char *what;
        std::vector<uint8_t> log;
        const char *message; // expected among the reports
    };
    const std::vector<Case> cases = {
        // Message length 65535 fits no row.
        {"RANGE length 65535", MakeRecord(43, countOnly(0, 4), {}, 65535),
         "Invalid record length for 'RANGE' record on port 0"},
        {"BESTPOS length 65535", MakeRecord(42, std::vector<uint8_t>(72), {}, 65535),
         "Invalid record length for 'BESTPOS' record on port 0"},
        // The largest RANGE length that the length rule allows overruns the
        // record buffer.
        {"RANGE length 65520", MakeRecord(43, countOnly(1489, 8300), {}, 65520),
         "NovAtel Buffer overrun for record 43 on port 0"},
        // A count of 2^32-1 must not wrap onto the length.
        {"RANGE count max", MakeRecord(43, countOnly(0xFFFFFFFFu, 48)),
         "Invalid variable data length on record 43 on port 0"},
        {"RAWALM count max",
         MakeRecord(74,
                    [] {
                        Bytes b;
                        b.zeros(8).u4(0xFFFFFFFFu).zeros(32);
                        return b.data();
                    }()),
         "Invalid variable data length on record 74 on port 0"},
        // The largest records that fit the buffer reach their decoders.
        {"RANGE 185 observations", MakeRecord(43, countOnly(185, 4 + 185 * 44)),
         "Output buffer overflow--too many OEM4 satellites"},
        {"RANGECMP 339 observations", MakeRecord(140, countOnly(339, 4 + 339 * 24)),
         "MAXCHAN(24) exceeded, data may be lost on Port 0"},
    };
    for (const Case &c : cases) {
        const Outcome run = ConvertLog(withGood(c.log), options);
        EXPECT_EQ(run.result, 0) << c.what << ": " << run.error;
        EXPECT_EQ(run.epochs, 1u) << c.what;
        EXPECT_TRUE(std::any_of(run.messages.begin(), run.messages.end(), [&](const std::string &m) {
            return m.find(c.message) != std::string::npos;
        })) << c.what;
    }

    // ALMANAC with the most items that fit: 72, of which the first 32 (one
    // per GPS PRN) are converted, every one announced, and the cut reported.
    Bytes almanac;
    almanac.u4(72);
    for (uint32_t i = 0; i < 72; ++i) almanac.u4(i + 1).u4(0xFFFFFFFFu).zeros(96).u4(0xFFFFFFFFu).zeros(4);
    const Outcome run = ConvertLog(withGood(MakeRecord(73, almanac.data())), options);
    EXPECT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(std::count_if(run.messages.begin(), run.messages.end(),
                            [](const std::string &m) { return m.find("Almanac received") != std::string::npos; }),
              32);
    EXPECT_TRUE(std::any_of(run.messages.begin(), run.messages.end(), [](const std::string &m) {
        return m.find("|ALMANAC record lists 72 satellites, only the first 32 are converted") != std::string::npos;
    }));
    EXPECT_EQ(run.epochs, 1u);
}
