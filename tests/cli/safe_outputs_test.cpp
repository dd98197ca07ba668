// The command never loses or overwrites what it should not: refusals come
// before anything is written, a failed or interrupted conversion leaves the
// outputs of an earlier one as they were, every failed write is an exit
// status other than 0 with the system's reason, and temporaries do not
// outlive the run that made them (or a run killed before its end).
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/command_runner.h"
#include "support/oem4_records.h"
#include "support/scratch.h"

namespace fs = std::filesystem;
using testsupport::CommandOutcome;
using testsupport::MakeRecord;
using testsupport::MarkLog;
using testsupport::RangeLog;
using testsupport::ReadText;
using testsupport::StdoutTo;
using testsupport::WriteBytes;

namespace {

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> records) {
    std::vector<uint8_t> log;
    for (const auto &record : records) log.insert(log.end(), record.begin(), record.end());
    return log;
}

std::vector<uint8_t> GoodLog() { return Join({RangeLog(4, 100000), MarkLog(100.5), RangeLog(4, 101000)}); }

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Every regular file under the directory with its content, by relative path.
std::map<std::string, std::string> Snapshot(const fs::path &dir) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = fs::relative(entry.path(), dir).string();
        if (name == "stdout.txt" || name == "stderr.txt") continue;
        files[name] = ReadText(entry.path());
    }
    return files;
}

// A working directory holding day1.gps and the outputs of its earlier
// conversion (day1.tsq, .epp, .sta, .messages, -report.html), which no
// failed or refused run may touch.
class SafeOutputs : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBytes(dir / "day1.gps", GoodLog());
        const CommandOutcome earlier = Run({P("day1.gps"), "-q", "--report"});
        ASSERT_EQ(earlier.status, 0) << earlier.err;
    }
    CommandOutcome Run(const std::vector<std::string> &args, StdoutTo stdoutTo = StdoutTo::kCapture) {
        return testsupport::RunCommand(OEM4CONV_CLI, args, dir.string(), stdoutTo);
    }
    std::string P(const std::string &name) const { return scratch / name; }

    testsupport::ScratchDir scratch{"oem4conv_safe"};
    const fs::path dir = scratch.path;
};

// One refused or failed run: what it is given, what it must answer, and
// the files it may add (nothing else may appear or change).
struct FailureCase {
    const char *name;
    std::vector<std::string> args; // "@" stands for the working directory
    int status;
    const char *errLine; // a part of what standard error says
    StdoutTo stdoutTo = StdoutTo::kCapture;
    std::vector<std::string> added = {};
    std::map<std::string, std::vector<uint8_t>> inputs = {};
    std::vector<std::string> directories = {};
};

// A text file where a binary log should be.
const std::vector<uint8_t> kText = {'h', 'e', 'l', 'l', 'o', '\n'};
// An ASCII log whose logging began mid-line.
const std::string kAscii =
    "00000000,9f1d;1*55aa00ff\r\n#RANGECMPA,COM1,0,77.5,FINESTEERING,1761,317098.000,00000000,0000,0;11,0*2a7b3c4d\r\n";

std::vector<FailureCase> FailureCases() {
    const std::vector<uint8_t> log = GoodLog();
    std::vector<uint8_t> galileo = RangeLog(4, 100000); // no signal the observation file takes
    for (uint32_t i = 0; i < 4; ++i) galileo[28 + 4 + 44 * i + 40 + 2] |= 3;
    galileo = MakeRecord(43, std::vector<uint8_t>(galileo.begin() + 28, galileo.end() - 4));
    const std::vector<uint8_t> ascii(kAscii.begin(), kAscii.end());
    const std::vector<uint8_t> other = MakeRecord(83, std::vector<uint8_t>(40, 7));
    const StdoutTo capture = StdoutTo::kCapture;
    const StdoutTo full = StdoutTo::kFullDevice;
    const StdoutTo pipe = StdoutTo::kClosedPipe;
    // clang-format off
    return {
        {"two logs with one output base", {"-j", "2", "@/a/day1.gps", "@/b/day1.gps", "-o", "@"}, 2,
         "@/a/day1.gps and @/b/day1.gps would both be converted to @/day1.*", capture, {},
         {{"a/day1.gps", log}, {"b/day1.gps", log}}},
        {"the same in one process", {"-j", "1", "@/a/day1.gps", "@/b/day1.gps", "-o", "@"}, 2,
         "would both be converted to @/day1.*", capture, {}, {{"a/day1.gps", log}, {"b/day1.gps", log}}},
        {"a log named as its messages", {"@/log.messages", "--report"}, 1,
         "Error: Output file @/log.messages is the input file", capture, {}, {{"log.messages", log}}},
        {"a log named as its report", {"@/r-report.html", "-o", "@/r", "--report"}, 1,
         "Error: Output file @/r-report.html is the input file", capture, {}, {{"r-report.html", log}}},
        {"an output of one log is another log", {"@/r.gps", "@/r-report.html", "--report"}, 2,
         "its output @/r-report.html is the log @/r-report.html", capture, {}, {{"r.gps", log}, {"r-report.html", log}}},
        {"an output that is a directory", {"@/day1.gps", "-o", "@/other"}, 1,
         "output @/other.sta exists and is not a regular file", capture, {}, {}, {"other.sta"}},
        {"report into a device", {"report", "@/day1", "-o", "/dev/null"}, 3, "/dev/null exists and is not a regular file"},
        {"report over its own input", {"report", "@/day1", "-o", "@/day1.tsq"}, 3, "@/day1.tsq is an input"},
        {"report over the log it is named after", {"report", "@/day1.gps", "-o", "@/day1.gps"}, 3,
         "@/day1.gps is the log or an output of the conversion"},
        {"report's JSON over the log", {"report", "@/day1.gps", "--json", "@/day1.gps"}, 3,
         "@/day1.gps is the log or an output of the conversion"},
        {"report's HTML and JSON into one file", {"report", "@/day1", "-o", "@/r.out", "--json", "@/r.out"}, 3,
         "@/r.out is the HTML report's file too"},
        {"report over the messages it was not told to read",
         {"report", "@/day1", "--messages", "@/notes.txt", "-o", "@/day1.messages"}, 3,
         "@/day1.messages is the log or an output of the conversion", capture, {}, {{"notes.txt", kText}}},
        {"a directory as the log", {"@/logs", "-o", "@/day1"}, 1, "Unable to read @/logs: Is a directory", capture, {}, {},
         {"logs"}},
        {"an empty file", {"@/empty.gps", "-o", "@/day1"}, 1, "not an OEM4 binary log (no record found)\n", capture, {},
         {{"empty.gps", {}}}},
        {"a text file", {"@/notes.txt", "-o", "@/day1", "--report"}, 1, "not an OEM4 binary log (no record found)\n",
         capture, {}, {{"notes.txt", kText}}},
        {"an ASCII log", {"@/day1.asc", "-o", "@/day1"}, 1,
         "not an OEM4 binary log (no record found); it is a NovAtel ASCII log", capture, {}, {{"day1.asc", ascii}}},
        {"a zipped log", {"@/day1.zip", "-o", "@/day1"}, 1,
         "not an OEM4 binary log (no record found); it is a zip archive: extract the log from it first", capture, {},
         {{"day1.zip", {'P', 'K', 3, 4, 20, 0}}}},
        {"records of other kinds only", {"@/other.gps", "-o", "@/day1"}, 1,
         "no record that the converter reads (see --help) was found", capture, {}, {{"other.gps", other}}},
        {"no epoch from the range records", {"@/gal.gps", "-o", "@/day1"}, 1, "no epoch written from 1 range records",
         capture, {}, {{"gal.gps", galileo}}},
        {"... kept as partial on request", {"@/gal.gps", "-o", "@/day1", "--keep-partial"}, 1,
         "what was converted is kept in @/day1-partial.{tsq,epp,sta}", capture,
         {"day1-partial.tsq", "day1-partial.epp", "day1-partial.sta"}, {{"gal.gps", galileo}}},
        {"... with RINEX, the files it has", {"@/gal.gps", "-o", "@/day1", "--keep-partial", "--rinex"}, 1,
         "what was converted is kept in @/day1-partial.{tsq,epp,sta,obs,nav}\n", capture,
         {"day1-partial.tsq", "day1-partial.epp", "day1-partial.sta", "day1-partial.obs", "day1-partial.nav"},
         {{"gal.gps", galileo}}},
        {"convert onto a full disk", {"@/day1.gps"}, 1, "standard output: No space left on device", full},
        {"convert into a closed pipe", {"@/day1.gps", "--rinex"}, 1, "standard output: Broken pipe", pipe},
        {"dump onto a full disk", {"dump", "@/day1.tsq"}, 1, "No space left on device", full},
        {"dump into a closed pipe", {"dump", "@/day1.tsq", "--csv"}, 1, "Broken pipe", pipe},
        {"detect onto a full disk", {"detect", "@/day1.gps"}, 1, "No space left on device", full},
        {"report onto a full disk", {"report", "@/day1"}, 3, "No space left on device", full},
        {"dump of a log", {"dump", "@/day1.gps"}, 1, "@/day1.gps: not an observation file (.tsq)"},
        {"dump of nothing", {"dump", "@/none.tsq"}, 1, "cannot open @/none.tsq: No such file or directory"},
        {"a missing log", {"@/none.gps", "-o", "@/day1"}, 1, "Unable to open @/none.gps: No such file or directory"},
        {"into a missing directory", {"@/day1.gps", "-o", "@/new/day1"}, 2, "the directory @/new does not exist"},
        {"into a file taken for a directory", {"@/day1.gps", "-o", "@/day1.gps/x"}, 2, "@/day1.gps is not a directory"},
        {"NaN as a number", {"@/day1.gps", "--max-position-age", "nan"}, 2, "--max-position-age needs a number"},
        {"infinity as a number", {"@/day1.gps", "--channels", "inf"}, 2, "--channels needs a number"},
        {"RINEX beside and only", {"@/day1.gps", "--rinex", "--rinex-only"}, 2,
         "--rinex and --rinex-only cannot go together"},
    };
    // clang-format on
}

std::string Expand(const std::string &text, const std::string &dir) {
    std::string out = text;
    for (std::size_t at = out.find('@'); at != std::string::npos; at = out.find('@', at + dir.size())) {
        out.replace(at, 1, dir);
    }
    return out;
}

} // namespace

TEST_F(SafeOutputs, RefusedAndFailedRunsLeaveEveryEarlierOutputAsItWas) {
    for (const FailureCase &c : FailureCases()) {
        SCOPED_TRACE(c.name);
        if (c.stdoutTo == StdoutTo::kFullDevice && !fs::exists("/dev/full")) continue;
        for (const std::string &d : c.directories) fs::create_directories(dir / d);
        for (const auto &[name, bytes] : c.inputs) {
            fs::create_directories((dir / name).parent_path());
            WriteBytes(dir / name, bytes);
        }
        const std::map<std::string, std::string> before = Snapshot(dir);
        std::vector<std::string> args;
        for (const std::string &arg : c.args) args.push_back(Expand(arg, dir.string()));

        const CommandOutcome outcome = Run(args, c.stdoutTo);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_TRUE(Contains(outcome.err, Expand(c.errLine, dir.string()))) << outcome.err;

        std::map<std::string, std::string> after = Snapshot(dir);
        for (const std::string &name : c.added) EXPECT_EQ(after.erase(name), 1u) << name;
        EXPECT_EQ(after, before); // nothing changed, nothing partial or temporary left

        for (const std::string &name : c.added) fs::remove(dir / name);
        for (const std::string &d : c.directories) fs::remove_all(dir / d);
        for (const auto &[name, bytes] : c.inputs) fs::remove(dir / name);
    }
}

// Good conversions say what was wrong with the log, and -o creates the
// directory it is told to.
TEST_F(SafeOutputs, DamagedLogsSaySoAndADirectoryEndingInASeparatorIsMade) {
    std::vector<uint8_t> cut = GoodLog();
    const std::size_t whole = cut.size();
    const std::vector<uint8_t> last = RangeLog(4, 102000);
    cut.insert(cut.end(), last.begin(), last.end() - 10);
    WriteBytes(dir / "cut.gps", cut);
    CommandOutcome outcome = Run({P("cut.gps"), "-q", "-o", P("made/")});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, "the log ends inside a record that starts at byte " + std::to_string(whole)))
        << outcome.out;
    EXPECT_TRUE(fs::exists(dir / "made" / "cut.tsq"));

    std::vector<uint8_t> damaged = GoodLog();
    damaged[40] ^= 0xFF; // inside the first record's body
    const std::vector<uint8_t> back = RangeLog(4, 50000);
    damaged.insert(damaged.end(), back.begin(), back.end());
    // A camera mark whose stated length is not MARKTIME's, its CRC good.
    const std::vector<uint8_t> shortMark = MakeRecord(kMsgMarktime, std::vector<uint8_t>(10, 0));
    damaged.insert(damaged.end(), shortMark.begin(), shortMark.end());
    // A pulse of the second mark input: read, counted and told, not skipped.
    const std::vector<uint8_t> mark2 = MakeRecord(616, std::vector<uint8_t>(40, 0));
    damaged.insert(damaged.end(), mark2.begin(), mark2.end());
    // Two positions at a pulse of the first input: one beside the log's
    // MARKTIME, one alone.
    const std::vector<uint8_t> markPosition = MakeRecord(181, std::vector<uint8_t>(72, 0));
    for (int k = 0; k < 2; ++k) damaged.insert(damaged.end(), markPosition.begin(), markPosition.end());
    WriteBytes(dir / "damaged.gps", damaged);
    outcome = Run({P("damaged.gps")});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, "32bit CRC failure on 'RANGE' record")) << outcome.out;
    EXPECT_TRUE(
        Contains(outcome.out, ", " + std::to_string(RangeLog(4, 0).size() + shortMark.size()) +
                                  " bytes skipped, 1 record dropped (CRC), 1 record dropped (length); GPS week"))
        << outcome.out;
    EXPECT_TRUE(Contains(outcome.out, "Notice: 1 records dropped (their length did not fit their kind)"))
        << outcome.out;
    EXPECT_TRUE(Contains(outcome.out, "Notice: the log's time goes back from week 1500 101.000 to week 1500 50.000"));
    EXPECT_TRUE(Contains(
        outcome.out, "\n  1 mark logged by MARKPOS alone not converted; 1 mark of other mark inputs (MARK2TIME...) not "
                     "converted; the log's time goes back 1 time\n"))
        << outcome.out;
    // Its last epoch is earlier than its first: no negative span.
    EXPECT_TRUE(Contains(outcome.out, " to week 1500 50.000 (the log's time goes back)\n")) << outcome.out;
}

// SIGKILL leaves only temporaries beside the outputs, never a partial file
// under a final name; the next run removes them (or keeps them as partial
// with --keep-partial).
TEST_F(SafeOutputs, AKilledRunLeavesOnlyTemporariesThatTheNextRunClears) {
    const std::map<std::string, std::string> before = Snapshot(dir);
    const fs::path fifo = dir / "live.gps";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid =
        testsupport::StartCommand(OEM4CONV_CLI, {fifo.string(), "-o", P("day1"), "--report", "--rinex"}, dir.string());
    const int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    // More than the first block, so that the outputs are open when the
    // command waits for the rest.
    const std::vector<uint8_t> log = testsupport::RangeLogs(10, 4);
    ASSERT_GT(log.size(), 2048u);
    ASSERT_EQ(write(writer, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    usleep(200 * 1000);
    kill(pid, SIGKILL);
    EXPECT_EQ(testsupport::FinishCommand(pid, dir.string()).status, 128 + SIGKILL);
    close(writer);
    fs::remove(fifo);

    std::map<std::string, std::string> after = Snapshot(dir);
    const std::string temporary = "day1.oem4conv-" + std::to_string(pid);
    for (const char *extension : {".tsq", ".epp", ".sta", ".obs", ".nav", ".messages"}) {
        EXPECT_EQ(after.erase(temporary + extension), 1u) << extension;
    }
    EXPECT_EQ(after, before);

    const CommandOutcome rerun = Run({P("day1.gps"), "-q", "--report", "--rinex"});
    ASSERT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_TRUE(Contains(rerun.err, P(temporary) + ".{"));
    EXPECT_TRUE(Contains(rerun.err, "left by a conversion that did not finish, removed")) << rerun.err;
    for (const auto &[name, content] : Snapshot(dir)) EXPECT_FALSE(Contains(name, ".oem4conv-")) << name;
    EXPECT_TRUE(fs::exists(dir / "day1.obs"));
}

// A write that fails part way (here the file size limit, as a full disk
// would): the summary counts the epochs the conversion took, and says how
// many of them the kept observation file holds.
TEST_F(SafeOutputs, AFailedWriteTellsHowManyEpochsTheKeptFileHolds) {
    WriteBytes(dir / "long.gps", testsupport::RangeLogs(400, 8));
    const CommandOutcome limited =
        testsupport::RunCommand("/bin/sh",
                                {"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" \"$@\"", OEM4CONV_CLI, P("long.gps"),
                                 "-o", P("cut"), "--keep-partial"},
                                dir.string());
    EXPECT_EQ(limited.status, 1) << limited.err;
    const CommandOutcome dump = Run({"dump", P("cut-partial.tsq")});
    std::size_t held = 0;
    for (std::size_t at = dump.out.find("\nEpoch "); at != std::string::npos; at = dump.out.find("\nEpoch ", at + 1)) {
        ++held;
    }
    ASSERT_GT(held, 0u) << dump.out;
    EXPECT_TRUE(Contains(limited.out, "; the observation file holds " + std::to_string(held) + " of the epochs;"))
        << limited.out;
}

// A directory is no log: refused before any output of it is named.
TEST_F(SafeOutputs, ADirectoryAsTheLogIsRefusedBeforeItsOutputsAreNamed) {
    fs::create_directories(dir / "logs");
    const CommandOutcome outcome = Run({P("logs"), "-o", P("day1")});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(Contains(outcome.err, "Unable to read " + P("logs") + ": Is a directory\n")) << outcome.err;
    EXPECT_FALSE(Contains(outcome.out, " -> ")) << outcome.out;
}

// A base whose outputs fit the 255 characters a path may have, but whose
// temporary names (20 characters longer at most) do not: refused before
// anything is written, with by how much to shorten it, not with the
// converter's message about a name the user never gave.
TEST_F(SafeOutputs, ABaseTooLongForItsTemporaryNamesIsRefusedUpFront) {
    const std::string base = P("") + std::string(250 - P("").size() - 4, 'b');
    ASSERT_EQ((base + ".tsq").size(), 250u);
    const std::map<std::string, std::string> before = Snapshot(dir);
    const CommandOutcome outcome = Run({P("day1.gps"), "-o", base});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(Contains(outcome.err, "the output base " + base + " is too long")) << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, "shorten it by 15\n")) << outcome.err;
    EXPECT_EQ(Snapshot(dir), before);
}

// An earlier output that cannot be replaced (here immutable; on Windows, a
// file a host holds open): the observation file is put in place first, and
// when it cannot be, no other output of the earlier set is replaced. The
// log's last line on standard output says it failed (its summary came
// first), and with --keep-partial the new outputs are kept, not lost.
TEST_F(SafeOutputs, AnOutputThatCannotBeReplacedStopsTheRest) {
    const std::string pin = "chattr +i '" + P("day1.tsq") + "' 2>/dev/null";
    if (std::system(pin.c_str()) != 0) GTEST_SKIP() << "chattr +i does not work here";
    WriteBytes(dir / "other.gps", testsupport::RangeLogs(3, 5));
    const std::map<std::string, std::string> before = Snapshot(dir);
    const CommandOutcome outcome = Run({P("other.gps"), "-o", P("day1")});
    const std::map<std::string, std::string> after = Snapshot(dir);
    const CommandOutcome kept = Run({P("other.gps"), "-o", P("day1"), "--keep-partial"});
    (void)std::system(("chattr -i '" + P("day1.tsq") + "'").c_str());
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(Contains(outcome.err, "cannot put " + P("day1.tsq") + " in place")) << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, P("other.gps") + ": FAILED: its outputs could not be put in place\n"))
        << outcome.out;
    EXPECT_EQ(after, before);
    EXPECT_EQ(kept.status, 1);
    EXPECT_TRUE(Contains(kept.err, "outputs not put in place are kept in " + P("day1-partial") + ".{tsq,epp,sta}"))
        << kept.err;
    EXPECT_EQ(Run({"dump", P("day1-partial.tsq")}).status, 0);
}

// An output removed while the log is still being converted (here one
// temporary; a folder removed or renamed loses them all): the run fails and
// says which, rather than put the others in place and call it converted.
// The earlier outputs stay as they were.
TEST_F(SafeOutputs, AnOutputRemovedDuringTheConversionFailsIt) {
    const std::map<std::string, std::string> before = Snapshot(dir);
    const fs::path fifo = dir / "live.gps";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid =
        testsupport::StartCommand(OEM4CONV_CLI, {fifo.string(), "-o", P("day1"), "--rinex"}, dir.string());
    const int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    // More than the first block, so that the outputs are open when the
    // command waits for the rest.
    const std::vector<uint8_t> log = testsupport::RangeLogs(40, 4);
    const std::size_t half = log.size() / 2;
    ASSERT_GT(half, 2048u);
    ASSERT_EQ(write(writer, log.data(), half), static_cast<ssize_t>(half));
    const fs::path lost = dir / ("day1.oem4conv-" + std::to_string(pid) + ".sta");
    for (int i = 0; i < 500 && !fs::exists(lost); ++i) usleep(10 * 1000);
    EXPECT_TRUE(fs::remove(lost));
    ASSERT_EQ(write(writer, log.data() + half, log.size() - half), static_cast<ssize_t>(log.size() - half));
    close(writer);
    const CommandOutcome outcome = testsupport::FinishCommand(pid, dir.string());
    fs::remove(fifo);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(Contains(outcome.err, P("day1.sta") + " was lost: it, or its folder, was removed")) << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, ": FAILED: its outputs could not be put in place\n")) << outcome.out;
    EXPECT_EQ(Snapshot(dir), before);
}
