// End-to-end conversions through the exports: output names, block loop and
// progress, abort, drain of every record kind, statistics, and the failure
// paths (long paths, unwritable outputs, unreadable input).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "api/convert.h"
#include "oem4conv.h"
#include "support/conversion_request.h"
#include "support/oem4_records.h"
#include "support/scratch.h"

namespace fs = std::filesystem;
using testsupport::AlmanacLog;
using testsupport::Append;
using testsupport::Bytes;
using testsupport::ErrString;
using testsupport::MakeRecord;
using testsupport::MakeShortRecord;
using testsupport::MarkLog;
using testsupport::RangeLog;
using testsupport::WriteBytes;

namespace {

constexpr const char *kEppHeader = "$EPHREC Ver6.03 KAVRENO NovAtelOem4\n";
constexpr std::size_t kTsqHeaderSize = 202;

struct Message {
    double time;
    std::string text;
};
std::vector<Message> g_messages;
std::vector<std::pair<int32_t, int32_t>> g_progress;
std::function<void(int32_t, int32_t)> g_progressHook;

void OEM4CONV_CALL OnMessage(double time, const char *text) { g_messages.push_back({time, text}); }
void OEM4CONV_CALL OnProgress(int32_t done, int32_t total) {
    g_progress.emplace_back(done, total);
    if (g_progressHook) g_progressHook(done, total);
}

std::vector<uint8_t> Slurp(const fs::path &path) { return testsupport::ReadFileBytes(path.string()); }

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] auto &entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

class Conversion : public ::testing::Test {
protected:
    void SetUp() override {
        g_messages.clear();
        g_progress.clear();
        g_progressHook = nullptr;
        options = testsupport::MakeRequest();
        options->epochCount = options->ephemerisCount = options->spareCount = options->markCount = 77;
        host = testsupport::MakeHost(OnMessage, OnProgress);
    }
    void TearDown() override { g_progressHook = nullptr; }

    int32_t Convert(const fs::path &input, const std::string &output) {
        std::snprintf(options->inputFile, sizeof options->inputFile, "%s", input.c_str());
        std::snprintf(options->outputFile, sizeof options->outputFile, "%s", output.c_str());
        return ConvertFile(options.get(), &host, 0);
    }
    int32_t ConvertBytes(const std::vector<uint8_t> &log) {
        WriteBytes(dir / "log.gps", log);
        return Convert(dir / "log.gps", (dir / "out").string());
    }
    void ExpectCounters(uint32_t epochs, uint32_t ephemerides, uint32_t marks) {
        EXPECT_EQ(options->epochCount, epochs);
        EXPECT_EQ(options->ephemerisCount, ephemerides);
        EXPECT_EQ(options->spareCount, 0u);
        EXPECT_EQ(options->markCount, marks);
    }
    // Walks the observation file epoch by epoch; returns the number of
    // epochs, or -1 when the blocks do not tile the file exactly.
    long TsqEpochs(const fs::path &path) {
        auto bytes = Slurp(path);
        if (bytes.size() < kTsqHeaderSize) return -1;
        std::size_t at = kTsqHeaderSize;
        long epochs = 0;
        while (at < bytes.size()) {
            if (at + 68 > bytes.size() || bytes[at] != 68 || bytes[at + 1] != 0) return -1;
            at += 68 + bytes[at + 2] * 44u;
            ++epochs;
        }
        return at == bytes.size() ? epochs : -1;
    }

    testsupport::ScratchDir scratch{"oem4conv_convert"};
    const fs::path dir = scratch.path;
    std::unique_ptr<ConvertOptions> options;
    ConvertHost host;
};

} // namespace

TEST(ChangeExtension, ReplacesOrAppendsAfterTheLastSeparator) {
    char path[256];
    auto change = [&](const char *in, const char *ext, char separator) {
        std::snprintf(path, sizeof path, "%s", in);
        EXPECT_EQ(ChangeExtensionWith(path, sizeof path, ext, separator), 0);
        return std::string(path);
    };
    // Windows hosts: '\' separates, and so does '/'.
    EXPECT_EQ(change("C:\\out\\day1.log", ".tsq", '\\'), "C:\\out\\day1.tsq");
    EXPECT_EQ(change("C:/survey.2024/day1", ".tsq", '\\'), "C:/survey.2024/day1.tsq");
    EXPECT_EQ(change("C:\\survey.2024/day1", ".tsq", '\\'), "C:\\survey.2024/day1.tsq");
    EXPECT_EQ(change("  C:\\out\\day1", ".epp", '\\'), "C:\\out\\day1.epp");
    EXPECT_EQ(change("data.old\\log", ".tsq", '\\'), "data.old\\log.tsq");
    // POSIX: a dot in a directory name is not an extension.
    EXPECT_EQ(change("/data/run.1/day1", ".tsq", '/'), "/data/run.1/day1.tsq");
    EXPECT_EQ(change("/data/run.1/day1.gps", ".sta", '/'), "/data/run.1/day1.sta");
    EXPECT_EQ(change("day1", ".sta", '/'), "day1.sta");
    // An extension of digits alone (a number or a date), which the command
    // keeps in a base it is given.
    for (const char *kept : {"/data/flight_2024.06.01", "flight.2024-06-01", "run.12_30"}) {
        EXPECT_TRUE(ExtensionIsNumberWith(kept, '/')) << kept;
    }
    EXPECT_TRUE(ExtensionIsNumberWith("C:\\out/run.1", '\\'));
    for (const char *other :
         {"/data/run.1/day1", "day1.gps", "day1.", "day1", "run.1a", "run.-1", "run.1-", "run.1--2"}) {
        EXPECT_FALSE(ExtensionIsNumberWith(other, '/')) << other;
    }
    EXPECT_FALSE(ExtensionIsNumberWith("C:\\run.1/day1", '\\'));
}

TEST(ChangeExtension, RefusesResultsLongerThan255AndLeavesThePath) {
    char path[256];
    std::string base(251, 'a');
    std::snprintf(path, sizeof path, "%s", base.c_str());
    EXPECT_EQ(ChangeExtension(path, sizeof path, ".tsq"), 0);
    EXPECT_EQ(std::strlen(path), 255u);

    base.assign(252, 'a');
    std::snprintf(path, sizeof path, "%s", base.c_str());
    EXPECT_EQ(ChangeExtension(path, sizeof path, ".tsq"), 1);
    EXPECT_EQ(std::string(path), base);

    std::memset(path, 'x', sizeof path); // no NUL at all
    EXPECT_EQ(ChangeExtension(path, sizeof path, ".tsq"), 1);
}

TEST(ScaleProgress, KeepsBothValuesIn32BitsWithDoneNeverAboveTotal) {
    int32_t done = 0, total = 0;
    ScaleProgress(2048, 10000, &done, &total);
    EXPECT_EQ(done, 2048);
    EXPECT_EQ(total, 10000);
    ScaleProgress(INT32_MAX, INT32_MAX, &done, &total);
    EXPECT_EQ(total, INT32_MAX);
    ScaleProgress(6LL << 30, 6LL << 30, &done, &total); // 6 GiB
    EXPECT_GT(total, 0);
    EXPECT_EQ(done, total);
    ScaleProgress(1LL << 30, 6LL << 30, &done, &total);
    EXPECT_EQ(static_cast<int64_t>(total), 6LL * done);
    ScaleProgress(5000, 4000, &done, &total); // the input grew while read
    EXPECT_EQ(done, 5000);
    EXPECT_EQ(total, 5000);
}

TEST_F(Conversion, OutputNamesFollowTheBasePath) {
    WriteBytes(dir / "log.gps", {});
    ASSERT_EQ(Convert(dir / "log.gps", (dir / "day1.log").string()), 0);
    for (const char *name : {"day1.tsq", "day1.epp", "day1.sta"}) EXPECT_TRUE(fs::exists(dir / name)) << name;

    ASSERT_EQ(Convert(dir / "log.gps", "  " + (dir / "day2").string()), 0);
    for (const char *name : {"day2.tsq", "day2.epp", "day2.sta"}) EXPECT_TRUE(fs::exists(dir / name)) << name;

    // The outputs land inside run.1, not beside it as run.tsq.
    fs::create_directories(dir / "run.1");
    ASSERT_EQ(Convert(dir / "log.gps", (dir / "run.1" / "day1").string()), 0);
    EXPECT_TRUE(fs::exists(dir / "run.1" / "day1.tsq"));
    EXPECT_TRUE(fs::exists(dir / "run.1" / "day1.sta"));
    EXPECT_FALSE(fs::exists(dir / "run.tsq"));
}

TEST_F(Conversion, EmptyInputGivesHeaderOnlyFilesAndZeroCounters) {
    ASSERT_EQ(ConvertBytes({}), 0);
    EXPECT_EQ(fs::file_size(dir / "out.tsq"), kTsqHeaderSize);
    EXPECT_EQ(testsupport::ReadText(dir / "out.epp"), kEppHeader);
    EXPECT_EQ(fs::file_size(dir / "out.sta"), 0u);
    ExpectCounters(0, 0, 0);
}

// The log is fetched in larger pieces than the blocks it is fed in; progress
// still goes block by block across those pieces, with the empty last block
// of a log of whole blocks, as when every block was read on its own (an
// empty log and one of exactly one block are read twice).
TEST_F(Conversion, ProgressGoesBlockByBlockWhateverTheReadSize) {
    for (const int32_t size : {0, 2048, 65536, 65536 + 2048, 70000, 200000}) {
        SCOPED_TRACE(size);
        g_progress.clear();
        ASSERT_EQ(ConvertBytes(std::vector<uint8_t>(static_cast<size_t>(size), 0x55)), 0);
        std::vector<std::pair<int32_t, int32_t>> expected;
        for (int32_t done = 2048; done <= size; done += 2048) expected.emplace_back(done, size);
        expected.emplace_back(size, size); // the partial or empty last block
        expected.emplace_back(size, size); // the final call
        EXPECT_EQ(g_progress, expected);
    }
}

TEST_F(Conversion, AbortFromProgressStopsAfterTheBlockAndClosesEverything) {
    Abort(); // a request left from before the call does not count
    const std::size_t descriptors = OpenDescriptors();
    g_progressHook = [](int32_t, int32_t) {
        Abort();
        Abort();
    };
    ASSERT_EQ(ConvertBytes(std::vector<uint8_t>(10000, 0x55)), 1);
    EXPECT_EQ(ErrString(), "User Quit");
    EXPECT_EQ(g_progress, (std::vector<std::pair<int32_t, int32_t>>{{2048, 10000}, {10000, 10000}}));
    ExpectCounters(0, 0, 0);
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(testsupport::ReadText(dir / "out.epp"), kEppHeader);

    // The next conversion is not stopped by the old requests.
    g_progressHook = nullptr;
    g_progress.clear();
    EXPECT_EQ(ConvertBytes(std::vector<uint8_t>(10000, 0x55)), 0);
    EXPECT_EQ(g_progress.size(), 6u);
}

TEST_F(Conversion, InputsOf2GiBOrMoreReportScaledProgress) {
    const fs::path big = dir / "big.gps";
    { std::ofstream(big, std::ios::binary).put(0); }
    fs::resize_file(big, 3LL << 30); // sparse: no disk space used
    g_progressHook = [](int32_t, int32_t) { Abort(); };
    ASSERT_EQ(Convert(big, (dir / "out").string()), 1);
    ASSERT_EQ(g_progress.size(), 2u);
    EXPECT_EQ(g_progress[0], std::make_pair(1024, int32_t{3 << 29}));
    EXPECT_EQ(g_progress[1], std::make_pair(int32_t{3 << 29}, int32_t{3 << 29}));
}

TEST_F(Conversion, AlmanacsAreAnnouncedAndWrittenButNotCounted) {
    ASSERT_EQ(ConvertBytes(AlmanacLog(29)), 0);
    std::vector<std::string> texts;
    for (const auto &m : g_messages) {
        EXPECT_EQ(m.time, -1.0);
        texts.push_back(m.text);
    }
    ASSERT_EQ(texts.size(), 29u);
    for (int i = 0; i < 29; ++i) EXPECT_EQ(texts[i], "Almanac received for GPS PRN " + std::to_string(i + 1));
    const std::string epp = testsupport::ReadText(dir / "out.epp");
    EXPECT_GT(epp.size(), std::strlen(kEppHeader) + 29 * 10);
    ExpectCounters(0, 0, 0);
}

// More satellites than channels: the epoch is written with as many as fit
// (the first one reported with the PRNs left out, the count at the end). The
// channels option widens the file; a host with the older, shorter options
// record still gets 12.
TEST_F(Conversion, EpochOverTheChannelsIsWrittenCutAndTheChannelsOptionWidensTheFile) {
    std::vector<uint8_t> log = RangeLog(8, 100000);
    Append(log, RangeLog(13, 101000));
    Append(log, RangeLog(14, 102000));
    ASSERT_EQ(ConvertBytes(log), 0);
    ExpectCounters(3, 0, 0);
    EXPECT_EQ(TsqEpochs(dir / "out.tsq"), 3);
    auto bytes = Slurp(dir / "out.tsq");
    EXPECT_EQ(bytes[7], 12); // channels in the header
    EXPECT_EQ(bytes[202 + 68 + 8 * 44 + 2], 12);
    ASSERT_EQ(g_messages.size(), 2u);
    EXPECT_EQ(g_messages[0].time, 101.0);
    // All equal in strength: the 8 of the previous epoch, then record order.
    EXPECT_EQ(g_messages[0].text,
              "Notice: epoch has 13 satellites for 12 channels; left out PRN 13 (later epochs cut alike are counted)");
    EXPECT_EQ(g_messages[1].time, -1.0);
    EXPECT_EQ(g_messages[1].text,
              "Notice: 2 epochs had more satellites than the 12 channels; 3 satellites left out of them");
    EXPECT_EQ(LastConversionStats().screening.cutEpochs, 2u);
    EXPECT_EQ(LastConversionStats().refusedEpochs, 0u);

    Oem4Options wide;
    std::memcpy(&wide, options->converterOptions, sizeof wide);
    wide.channels = 24;
    std::memcpy(options->converterOptions, &wide, sizeof wide);
    g_messages.clear();
    ASSERT_EQ(ConvertBytes(log), 0);
    bytes = Slurp(dir / "out.tsq");
    EXPECT_EQ(bytes[7], 24);
    EXPECT_EQ(bytes.size(), 202u + 3 * 68 + (8 + 13 + 14) * 44);
    EXPECT_TRUE(g_messages.empty());

    // The older record: its size says it ends before the channels field,
    // whatever the bytes after it hold.
    options->optionsSize = OEM4CONV_OEM4_OPTIONS_SIZE_V1;
    ASSERT_EQ(ConvertBytes(log), 0);
    bytes = Slurp(dir / "out.tsq");
    EXPECT_EQ(bytes[7], 12);
    EXPECT_EQ(TsqEpochs(dir / "out.tsq"), 3);
    EXPECT_EQ(bytes.size(), 202u + 3 * 68 + (8 + 12 + 12) * 44);

    options->optionsSize = OEM4CONV_OEM4_OPTIONS_SIZE;
    wide.channels = 25;
    std::memcpy(options->converterOptions, &wide, sizeof wide);
    options->epochCount = 77;
    EXPECT_EQ(ConvertBytes(log), 1);
    EXPECT_EQ(ErrString(), "Incorrect version of OEM4 Conversion DLL, Invalid options: channels 25 (1 to 24)");
    EXPECT_EQ(options->epochCount, 77u);
}

TEST_F(Conversion, EachConversionCountsOnlyItsOwnMarks) {
    std::vector<uint8_t> log = MarkLog(200.0);
    Append(log, MarkLog(201.0));
    Append(log, MarkLog(202.0));
    ASSERT_EQ(ConvertBytes(log), 0);
    EXPECT_EQ(options->markCount, 3u);
    const auto firstMarks = fs::file_size(dir / "out.sta");
    EXPECT_GT(firstMarks, 0u); // complete on disk at return

    log = MarkLog(300.0);
    Append(log, MarkLog(301.0));
    ASSERT_EQ(ConvertBytes(log), 0);
    ExpectCounters(0, 0, 2);
}

TEST_F(Conversion, MarksInsideARejectedFullLengthRecordAreAllWritten) {
    // A RANGE claiming 185 observations (8176 bytes, CRC wrong) whose body
    // is 113 marks back to back, then filler and three more marks.
    std::vector<uint8_t> log = MakeRecord(43, Bytes().u4(185).zeros(185 * 44).data());
    log.resize(32);
    for (int i = 0; i < 113; ++i) Append(log, MarkLog(200.0 + i));
    log.resize(8176, 0);
    log.resize(log.size() + 4000, 0x55);
    for (int i = 113; i < 116; ++i) Append(log, MarkLog(200.0 + i));
    for (uint32_t feed : {0u, 7u, 2048u}) {
        const uint32_t before = SetConvertFeedSize(feed);
        const int32_t result = ConvertBytes(log);
        SetConvertFeedSize(before);
        ASSERT_EQ(result, 0) << "feed " << feed;
        ExpectCounters(0, 0, 116);
    }
}

TEST_F(Conversion, NullCallbacksStillConvertAndFormatMessages) {
    host.onMessage = nullptr;
    host.onProgress = nullptr;
    ASSERT_EQ(ConvertBytes(AlmanacLog(3)), 0);
    EXPECT_EQ(ErrString(), "Almanac received for GPS PRN 3");
    ExpectCounters(0, 0, 0);
}

TEST_F(Conversion, PathsThatDoNotFitAreRefusedBeforeAnyFileIsTouched) {
    WriteBytes(dir / "log.gps", {});
    const std::size_t entries = std::distance(fs::directory_iterator(dir), fs::directory_iterator());

    std::memset(options->inputFile, 'a', sizeof options->inputFile); // no NUL
    std::snprintf(options->outputFile, sizeof options->outputFile, "%s", (dir / "out").c_str());
    EXPECT_EQ(ConvertFile(options.get(), &host, 0), 1);
    EXPECT_EQ(ErrString(), "Error: Input file name is longer than 255 characters");

    std::snprintf(options->inputFile, sizeof options->inputFile, "%s", (dir / "log.gps").c_str());
    std::memset(options->outputFile, 'b', sizeof options->outputFile);
    EXPECT_EQ(ConvertFile(options.get(), &host, 0), 1);
    EXPECT_EQ(ErrString(), "Error: Output file name is longer than 255 characters");

    // A base that fits but not with its extension.
    std::string base = (dir / "").string();
    base += std::string(252 - base.size(), 'c');
    EXPECT_EQ(Convert(dir / "log.gps", base), 1);
    EXPECT_EQ(ErrString(), "Error: Output file name " + base + " is too long with its extension");

    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), entries);
    EXPECT_EQ(options->epochCount, 77u);
    EXPECT_TRUE(g_progress.empty());
}

TEST_F(Conversion, OpenFailuresNameTheFileAndCloseWhatWasOpened) {
    WriteBytes(dir / "log.gps", {});
    const std::size_t descriptors = OpenDescriptors();

    EXPECT_EQ(Convert(dir / "missing.gps", (dir / "out").string()), 1);
    EXPECT_EQ(ErrString(), "Error: Unable to open " + (dir / "missing.gps").string());
    EXPECT_FALSE(fs::exists(dir / "out.tsq"));

    fs::create_directories(dir / "out.epp"); // a directory cannot be opened for writing
    EXPECT_EQ(Convert(dir / "log.gps", (dir / "out").string()), 1);
    EXPECT_EQ(ErrString(), "Error: Unable to open " + (dir / "out.epp").string());
    EXPECT_EQ(fs::file_size(dir / "out.tsq"), kTsqHeaderSize);

    fs::remove(dir / "out.epp");
    fs::create_directories(dir / "out.sta");
    EXPECT_EQ(Convert(dir / "log.gps", (dir / "out").string()), 1);
    EXPECT_EQ(ErrString(), "Error: Unable to open " + (dir / "out.sta").string());
    EXPECT_EQ(testsupport::ReadText(dir / "out.epp"), kEppHeader);

    // A log whose name is one of its outputs is never truncated.
    const std::vector<uint8_t> log = MarkLog(200.0);
    WriteBytes(dir / "day1.sta", log);
    EXPECT_EQ(Convert(dir / "day1.sta", (dir / "day1.sta").string()), 1);
    EXPECT_EQ(ErrString(), "Error: Output file " + (dir / "day1.sta").string() + " is the input file");
    EXPECT_EQ(Slurp(dir / "day1.sta"), log);
    EXPECT_FALSE(fs::exists(dir / "day1.tsq"));

    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(options->epochCount, 77u);
}

TEST_F(Conversion, WriteFailuresEndWithResult1AndTheWritersMessage) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::size_t descriptors = OpenDescriptors();
    // The EPP file on a full device: its header line is lost at the latest
    // when the file is closed.
    fs::create_symlink("/dev/full", dir / "out.epp");
    ASSERT_EQ(ConvertBytes({}), 1);
    EXPECT_EQ(ErrString().rfind("Error: Unable to write to " + (dir / "out.epp").string(), 0), 0u) << ErrString();
    ASSERT_FALSE(g_messages.empty());
    EXPECT_EQ(g_messages.back().text, ErrString());
    EXPECT_EQ(OpenDescriptors(), descriptors);

    // The observation file on a full device while epochs keep coming.
    fs::remove(dir / "out.epp");
    fs::remove(dir / "out.tsq");
    fs::create_symlink("/dev/full", dir / "out.tsq");
    g_messages.clear();
    // 200 epochs of 596 bytes overflow the observation stream's 64 KiB
    // buffer well before the end of the log.
    ASSERT_EQ(ConvertBytes(testsupport::RangeLogs(200, 12)), 1);
    EXPECT_EQ(ErrString().rfind("Error: Unable to write to " + (dir / "out.tsq").string(), 0), 0u) << ErrString();
    EXPECT_LT(options->epochCount, 200u);
    // The first failure is the result's text; the host heard it as it happened.
    EXPECT_TRUE(
        std::any_of(g_messages.begin(), g_messages.end(), [](const Message &m) { return m.text == ErrString(); }));
    EXPECT_EQ(OpenDescriptors(), descriptors);

    // The observation file a pipe whose reader goes away: a failed write
    // like the others, not a SIGPIPE that ends the host's process, and the
    // host's signals as they were.
    fs::remove(dir / "out.tsq");
    ASSERT_EQ(mkfifo((dir / "out.tsq").c_str(), 0600), 0);
    std::thread reader([&] {
        const int fd = open((dir / "out.tsq").c_str(), O_RDONLY);
        if (fd < 0) return;
        char head[100];
        const ssize_t got = read(fd, head, sizeof head); // then gone
        close(fd);
        EXPECT_GT(got, 0);
    });
    ASSERT_EQ(ConvertBytes(testsupport::RangeLogs(200, 12)), 1);
    reader.join();
    EXPECT_EQ(ErrString().rfind("Error: Unable to write to " + (dir / "out.tsq").string(), 0), 0u) << ErrString();
    sigset_t pending;
    sigset_t mask;
    ASSERT_EQ(sigpending(&pending), 0);
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

TEST_F(Conversion, EveryOutputThatFailsToCloseIsReportedAndTheFirstIsTheResult) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::size_t descriptors = OpenDescriptors();
    // Both files hold a header when they close; the mark file is empty and
    // closes cleanly.
    fs::create_symlink("/dev/full", dir / "out.tsq");
    fs::create_symlink("/dev/full", dir / "out.epp");
    ASSERT_EQ(ConvertBytes({}), 1);
    const std::string tsq = "Error: Unable to write to " + (dir / "out.tsq").string();
    const std::string epp = "Error: Unable to write to " + (dir / "out.epp").string();
    EXPECT_EQ(ErrString().rfind(tsq, 0), 0u) << ErrString();
    for (const std::string &expected : {tsq, epp}) {
        EXPECT_TRUE(std::any_of(g_messages.begin(), g_messages.end(), [&](const Message &m) {
            return m.text.rfind(expected, 0) == 0;
        })) << expected;
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Inputs that open but fail their first read (a directory; the process's
// own memory at address 0): the outputs of an earlier conversion must not
// be truncated before the input has shown it can be read.
TEST_F(Conversion, UnreadableInputIsRefusedBeforeAnyOutputIsTouched) {
    fs::create_directories(dir / "notalog");
    const std::vector<uint8_t> earlier = RangeLog(4, 100000);
    for (const char *name : {"out.tsq", "out.epp", "out.sta"}) WriteBytes(dir / name, earlier);
    for (const fs::path &input : {dir / "notalog", fs::path("/proc/self/mem")}) {
        SCOPED_TRACE(input.string());
        if (!fs::exists(input)) continue;
        g_messages.clear();
        ASSERT_EQ(Convert(input, (dir / "out").string()), 1);
        EXPECT_EQ(ErrString(), "Error: Unable to read " + input.string());
        for (const char *name : {"out.tsq", "out.epp", "out.sta"}) EXPECT_EQ(Slurp(dir / name), earlier) << name;
        // The loop was not reached: the counters are not written.
        EXPECT_EQ(options->epochCount, 77u);
        EXPECT_TRUE(g_messages.empty());
    }
}

// What was wrong with a log that still converts: a cut last record, bytes
// skipped, a CRC failure, time going back. Each is told once, at the end
// or where it happened, and counted for the command's summary.
TEST_F(Conversion, DamageOfTheLogIsToldAndCounted) {
    const std::vector<uint8_t> record = RangeLog(4, 100000);
    struct Case {
        const char *name;
        std::vector<uint8_t> log;
        std::vector<std::string> notices;
        uint64_t skipped;
        uint32_t crcFailures, timeReversals;
        int64_t truncatedAt;
    };
    const std::vector<uint8_t> next = RangeLog(4, 101000);
    std::vector<uint8_t> cut = record;
    Append(cut, std::vector<uint8_t>(next.begin(), next.end() - 1));
    std::vector<uint8_t> damaged = std::vector<uint8_t>(7, 0x55);
    Append(damaged, record);
    damaged[7 + 40] ^= 1;
    Append(damaged, RangeLog(4, 101000));
    std::vector<uint8_t> back = RangeLog(4, 103000);
    for (int32_t ms : {101000, 102000, 100000}) Append(back, RangeLog(4, ms));
    // Pulses by their time (MARKxTIME, 40 bytes), their position (MARKxPOS,
    // 72 bytes) or both: two pulses by both on the second input, one by each
    // record alone on the third and the fourth; on the first, three
    // positions and one time.
    // An INS receiver's solution at a pulse (MARKxPVA, 88 bytes) is a
    // third record of it: two by MARK1PVA alone and one by MARK3PVA.
    auto withMarks = [&](std::initializer_list<uint16_t> ids) {
        std::vector<uint8_t> log = record;
        for (const uint16_t id : ids) {
            const bool time = id == 231 || id == 616 || id == 1075 || id == 1076;
            const bool pva = id == 1067 || id == 1068 || id == 1118 || id == 1119;
            Append(log, MakeRecord(id, std::vector<uint8_t>(time ? 40 : pva ? 88 : 72, 0)));
        }
        return log;
    };
    const std::vector<uint8_t> otherMarks = withMarks({616, 615, 616, 615, 1738, 1076, 181, 231, 181, 181});
    const std::vector<uint8_t> bothRecords = withMarks({231, 181, 231, 181, 1067, 1067});
    const std::vector<uint8_t> insMarks = withMarks({1067, 181, 1067, 1118});
    // An INS receiver's records beside the GNSS ones: solutions with a long
    // header and IMU data with a short one, a thousand of each (over the
    // 64 KiB read area), and 300 bytes of damage.
    std::vector<uint8_t> ins = record;
    for (int k = 0; k < 1000; ++k) {
        std::vector<uint8_t> body(100);
        for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(k * 7 + i * 13);
        Append(ins, MakeRecord(508, body));
        body.resize(40);
        Append(ins, MakeShortRecord(325, body));
    }
    // Two more kinds, fewer of them: named as "and 1 other" after the three
    // most frequent (of equal counts, the lower id first).
    for (const uint16_t id : {1462, 268, 268}) Append(ins, MakeRecord(id, std::vector<uint8_t>(20, 0x31)));
    Append(ins, std::vector<uint8_t>(300, 0x55));
    Append(ins, RangeLog(4, 101000));
    for (const uint16_t id : {508, 268, 1462}) ASSERT_EQ(FindRecordTableEntry(id), nullptr);
    const std::string n = std::to_string(record.size());
    const std::string skipped = " bytes of the log skipped (unknown records or damaged data)";
    // clang-format off
    const std::vector<Case> cases = {
        {"clean", record, {}, 0, 0, 0, -1},
        {"cut inside the last record", cut,
         {"Notice: the log ends inside a 'RANGE' record that starts at byte " + n,
          "Notice: " + std::to_string(record.size() - 1) + skipped},
         record.size() - 1, 0, 0, static_cast<int64_t>(record.size())},
        {"garbage and a CRC failure", damaged,
         {"32bit CRC failure on 'RANGE' record on port 0", "Notice: " + std::to_string(7 + record.size()) + skipped,
          "Notice: 1 records dropped (their CRC did not match)"},
         7 + record.size(), 1, 0, -1},
        {"time going back twice", back,
         {"Notice: the log's time goes back from week 1500 103.000 to week 1500 101.000",
          "Notice: the log's time went back 2 times"},
         0, 0, 2, -1},
        {"marks the mark file does not hold", otherMarks,
         {"Notice: 2 camera marks logged by MARKPOS without their MARKTIME not converted (the mark file holds the "
          "MARKTIME marks)",
          "Notice: 4 camera marks of the receiver's other mark inputs (MARK2TIME, MARK3TIME, MARK4TIME, MARK2POS, "
          "MARK3POS, MARK4POS) not converted (the mark file holds the MARKTIME marks)"},
         0, 0, 0, -1},
        {"marks by their time and their position", bothRecords, {}, 0, 0, 0, -1},
        {"an INS receiver's records", ins,
         {"Notice: 188456" + skipped,
          "Notice: 188156 of those bytes are 2003 intact records of kinds the conversion does not read (message ids "
          "325, 508, 268 and 1 other); the other 300 are damaged data or lie between records"},
         188456, 0, 0, -1},
        {"an INS receiver's marks", insMarks,
         {"Notice: 2 camera marks logged by MARK1PVA without their MARKTIME not converted (the mark file holds the "
          "MARKTIME marks)",
          "Notice: 1 camera marks of the receiver's other mark inputs (MARK2TIME, MARK3TIME, MARK4TIME, MARK2POS, "
          "MARK3POS, MARK4POS, MARK2PVA, MARK3PVA, MARK4PVA) not converted (the mark file holds the MARKTIME marks)"},
         0, 0, 0, -1},
    };
    // clang-format on
    // What the skipped bytes hold is looked for when asked (the command's
    // --report and --report-all): a second read of the log.
    const bool census = SetConvertCensus(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_messages.clear();
        ASSERT_EQ(ConvertBytes(c.log), 0);
        std::vector<std::string> texts;
        for (const Message &m : g_messages) texts.push_back(m.text);
        EXPECT_EQ(texts, c.notices);
        const ConversionStats &stats = LastConversionStats();
        EXPECT_EQ(stats.bytesRead, c.log.size());
        EXPECT_EQ(stats.bytesSkipped, c.skipped);
        EXPECT_EQ(stats.crcFailures, c.crcFailures);
        EXPECT_EQ(stats.timeReversals, c.timeReversals);
        EXPECT_EQ(stats.truncatedAt, c.truncatedAt);
    }
    SetConvertCensus(false);
    g_messages.clear();
    ASSERT_EQ(ConvertBytes(ins), 0);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].text, "Notice: 188456" + skipped);
    SetConvertCensus(census);
}

TEST_F(Conversion, ASecondConversionDuringOneIsRefused) {
    WriteBytes(dir / "other.gps", {});
    int32_t inner = -1;
    std::string innerText;
    g_progressHook = [&](int32_t, int32_t) {
        if (inner != -1) return;
        static ConvertOptions second;
        second = *options;
        std::snprintf(second.inputFile, sizeof second.inputFile, "%s", (dir / "other.gps").c_str());
        std::snprintf(second.outputFile, sizeof second.outputFile, "%s", (dir / "other").c_str());
        inner = ConvertFile(&second, &host, 0);
        innerText = ErrString();
    };
    ASSERT_EQ(ConvertBytes(std::vector<uint8_t>(5000, 0x55)), 0);
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(innerText, "Error: A conversion is already running");
    EXPECT_FALSE(fs::exists(dir / "other.tsq"));
    EXPECT_EQ(g_progress.size(), 4u);
}

TEST_F(Conversion, RealLogConvertsEveryEpochIntoAWellFormedFile) {
    const std::string log = testsupport::SharedDataFile("oemv_200911218.gps");
    if (log.empty()) GTEST_SKIP() << "shared receiver logs not present";
    ASSERT_EQ(Convert(log, (dir / "oemv").string()), 0) << ErrString();
    EXPECT_GT(options->epochCount, 40u);
    EXPECT_GT(options->ephemerisCount, 0u);
    EXPECT_EQ(TsqEpochs(dir / "oemv.tsq"), static_cast<long>(options->epochCount));
    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress.back().first, static_cast<int32_t>(fs::file_size(log)));
}
