// The oem4conv command run as a subprocess: exit codes, messages and
// summaries, options reaching the library, batch conversion, detect, dump
// and a clean stop on Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/command_runner.h"
#include "support/oem4_records.h"
#include "support/scratch.h"

namespace fs = std::filesystem;
using testsupport::AlmanacLog;
using testsupport::MakeRecord;
using testsupport::MarkLog;
using testsupport::RangeLog;
using testsupport::RangeLogs;
using testsupport::ReadText;
using testsupport::WriteBytes;
using Outcome = testsupport::CommandOutcome;

namespace {

// Three epochs of 4 satellites at 100, 101 and 102 s, two marks and an
// almanac of two satellites.
std::vector<uint8_t> SmallLog() {
    std::vector<uint8_t> log;
    for (const auto &record : {RangeLog(4, 100000), MarkLog(100.5), RangeLog(4, 101000), AlmanacLog(2), MarkLog(101.5),
                               RangeLog(4, 102000)}) {
        testsupport::Append(log, record);
    }
    return log;
}

class Cli : public ::testing::Test {
protected:
    pid_t Start(const std::vector<std::string> &args) { return testsupport::StartCommand(OEM4CONV_CLI, args, P("")); }
    Outcome Finish(pid_t pid) { return testsupport::FinishCommand(pid, P("")); }
    Outcome Run(const std::vector<std::string> &args) { return Finish(Start(args)); }
    std::string P(const std::string &name) const { return scratch / name; }
    // A log given through the named pipe NAME.gps (made by the caller
    // before the command starts), so that its conversion still runs when
    // the test acts: the first block now, the rest by FeedRest. -1 when the
    // command never opened it (the test then fails rather than hangs).
    int FeedFirstBlock(const std::string &name, const std::vector<uint8_t> &log) {
        int writer = -1;
        for (int tries = 0; writer < 0 && tries < 500; ++tries) {
            writer = open((dir / (name + ".gps")).c_str(), O_WRONLY | O_NONBLOCK);
            if (writer < 0) usleep(10 * 1000);
        }
        if (writer >= 0 && (fcntl(writer, F_SETFL, 0) != 0 || write(writer, log.data(), 2048) != 2048)) {
            close(writer);
            writer = -1;
        }
        return writer;
    }
    // The rest of the log but its last `held` bytes; the writes of a
    // command that died at a signal fail, which later checks find.
    static void FeedRest(int writer, const std::vector<uint8_t> &log, std::size_t held = 0) {
        (void)!write(writer, log.data() + 2048, log.size() - 2048 - held);
        close(writer);
    }

    testsupport::ScratchDir scratch{"oem4conv_cli"};
    const fs::path dir = scratch.path;
};

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

} // namespace

TEST_F(Cli, HelpVersionAndUsageErrors) {
    Outcome help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "Exit status:"));
    EXPECT_TRUE(Contains(help.out, "  3  report: the report or its summary could not be written"));
    EXPECT_TRUE(Contains(help.out, "--recompute-clock"));
    EXPECT_TRUE(Contains(help.out, "RAWEPHEM, GPSEPHEM"));
    EXPECT_TRUE(Contains(help.out, "BESTPOS, BESTXYZ"));

    Outcome version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("oem4conv ", 0), 0u);

    // Help on every command, on standard output; a bare or wrong call gets
    // its problem and the short usage on standard error.
    const std::string shortUsage = "Usage: oem4conv [convert] LOG... [options]\n"
                                   "       oem4conv detect FILE... | dump FILE.tsq [--csv] | report BASE [options]\n"
                                   "Try 'oem4conv --help', or 'oem4conv COMMAND --help'.\n";
    const struct {
        std::vector<std::string> args;
        int status;
        bool onStdout;
        std::string firstLine; // "" when only the status and stream are checked
    } cases[] = {
        {{"convert", "--help"}, 0, true, "Usage:"},
        {{"day.gps", "-h"}, 0, true, "Usage:"},
        {{"detect", "--help"}, 0, true, "Usage: oem4conv detect FILE..."},
        {{"dump", "-h"}, 0, true, "Usage: oem4conv dump FILE.tsq [--csv]"},
        {{"report", "--help"},
         0,
         true,
         "Usage: oem4conv report BASE [-o REPORT.html] [--json FILE] [--messages FILE] [-q]"},
        {{}, 2, false, ""},
        {{"--bogus", "x.gps"}, 2, false, "oem4conv: unknown option '--bogus'"},
        {{"conver", "x.gps"},
         2,
         false,
         "oem4conv: 'conver' is neither a command (convert, detect, dump, report) nor a file"},
        {{"x.gps", "-j", "0"}, 2, false, "oem4conv: -j needs a number of jobs from 1 to 256"},
        {{"x.gps", "--max-position-age", "soon"},
         2,
         false,
         "oem4conv: --max-position-age needs a number of seconds, 0 or more"},
        {{"x.gps", "-o"}, 2, false, "oem4conv: -o needs a BASE"},
        {{"x.gps", "--help=yes"}, 2, false, "oem4conv: option '--help' takes no value"},
        {{"a.gps", "b.gps", "-o", P("not-a-dir")}, 2, false, ""},
        {{"detect"}, 2, false, "oem4conv: detect needs at least one FILE"},
        {{"detect", "--csv", "x.gps"}, 2, false, "oem4conv: unknown detect option '--csv'"},
        {{"dump"}, 2, false, "oem4conv: dump needs a FILE.tsq"},
        {{"dump", "a.tsq", "--xml"}, 2, false, "oem4conv: unknown dump option '--xml'"},
        {{"report"}, 2, false, "oem4conv report: BASE is missing"},
    };
    for (const auto &c : cases) {
        std::string call;
        for (const std::string &arg : c.args) call += " " + arg;
        SCOPED_TRACE("oem4conv" + call);
        Outcome outcome = Run(c.args);
        EXPECT_EQ(outcome.status, c.status);
        const std::string &text = c.onStdout ? outcome.out : outcome.err;
        EXPECT_TRUE((c.onStdout ? outcome.err : outcome.out).empty());
        if (c.args.empty()) {
            EXPECT_EQ(text, "oem4conv: no LOG given\n" + shortUsage);
        } else if (!c.firstLine.empty()) {
            EXPECT_EQ(text.substr(0, text.find('\n')), c.firstLine);
            if (c.status == 2 && c.args[0] != "report") {
                EXPECT_EQ(text.substr(text.find('\n') + 1), shortUsage);
            }
        }
    }
}

TEST_F(Cli, ConvertsBesideTheLogWithTimedMessagesAndASummary) {
    // An epoch before the receiver set its time (week 0, seconds since
    // power-on) is converted but kept out of the span.
    const std::vector<uint8_t> range = RangeLog(4, 5000);
    std::vector<uint8_t> log = MakeRecord(43, std::vector<uint8_t>(range.begin() + 28, range.end() - 4), {0, 5000, 20});
    testsupport::Append(log, SmallLog());
    WriteBytes(dir / "day1.gps", log);
    Outcome outcome = Run({P("day1.gps")});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, P("day1.gps") + " -> " + P("day1") + ".{tsq,epp,sta}\n"));
    EXPECT_TRUE(Contains(outcome.out, P("day1.gps") + ": converted, 4 epochs, 0 ephemerides, 2 marks, "));
    EXPECT_TRUE(Contains(outcome.out, "; GPS week 1500 100.000 to week 1500 102.000 (2.000 s); 1 epoch of GPS week 0 "
                                      "(the receiver had not yet set its time)\n"))
        << outcome.out;
    for (const char *name : {"day1.tsq", "day1.epp", "day1.sta"}) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

// What people see of the library's messages: informational ones counted
// and shown with -v only, warnings in plain words, an error once on
// standard error; BASE.messages keeps the library's own texts.
TEST_F(Cli, MessagesShownByVerbosityInPlainWordsEachErrorOnce) {
    std::vector<uint8_t> log = SmallLog();
    std::vector<uint8_t> damaged = RangeLog(4, 103000);
    damaged[40] ^= 0xFF; // its CRC no longer matches
    testsupport::Append(log, damaged);
    WriteBytes(dir / "day1.gps", log);
    const std::string almanac = "             -  Almanac received for GPS PRN 2\n";
    const std::string crc = "             -  32bit CRC failure on 'RANGE' record\n";
    const std::string summary =
        P("day1.gps") +
        ": converted, 3 epochs, 0 ephemerides, 2 marks, 5 messages (2 informational), 212 bytes skipped, 1 record "
        "dropped (CRC);";
    const struct {
        std::vector<std::string> options;
        bool almanacShown, crcShown;
    } cases[] = {
        {{}, false, true},
        {{"-v"}, true, true},
        {{"-q"}, false, false},
        {{"--verbose", "--report"}, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options.empty() ? "(default)" : c.options[0]);
        std::vector<std::string> args = {P("day1.gps")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Outcome outcome = Run(args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(Contains(outcome.out, almanac), c.almanacShown) << outcome.out;
        EXPECT_EQ(Contains(outcome.out, crc), c.crcShown) << outcome.out;
        EXPECT_FALSE(Contains(outcome.out, "on port")) << outcome.out;
        EXPECT_TRUE(Contains(outcome.out, summary)) << outcome.out;
        EXPECT_TRUE(outcome.err.empty()) << outcome.err;
    }
    // The kept messages are the library's texts, for the report.
    EXPECT_TRUE(Contains(ReadText(dir / "day1.messages"), "32bit CRC failure on 'RANGE' record on port 0"));
    Outcome all = Run({P("day1.gps"), "--report-all"});
    EXPECT_TRUE(Contains(all.out, "  -  Record decoding failed; looking for the next valid record\n")) << all.out;
    EXPECT_FALSE(Contains(all.out, "recursively")) << all.out;

    // A failure: its error once, on standard error.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{P("missing.gps")}, std::vector<std::string>{P("missing.gps"), "-v"}}) {
        Outcome failed = Run(args);
        EXPECT_EQ(failed.status, 1);
        EXPECT_FALSE(Contains(failed.out, "Error:")) << failed.out;
        EXPECT_TRUE(Contains(failed.out, ": FAILED, 0 epochs")) << failed.out;
        EXPECT_EQ(failed.err, "oem4conv: " + P("missing.gps") + ": Error: Unable to open " + P("missing.gps") +
                                  ": No such file or directory\n");
    }
}

// An output that cannot be written: the library names the file it writes
// under its temporary name, the user is told the final one, and the error
// that ended the conversion is said once on standard error.
TEST_F(Cli, AnUnwritableOutputIsNamedByItsFinalName) {
    WriteBytes(dir / "day1.gps", RangeLogs(200, 8));
    // Files of the child over 16 KiB cannot grow (EFBIG, SIGXFSZ ignored).
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limit = saved;
    limit.rlim_cur = 16 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    void (*savedHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    const pid_t pid = Start({P("day1.gps"), "-o", P("out")});
    signal(SIGXFSZ, savedHandler);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    Outcome outcome = Finish(pid);

    EXPECT_EQ(outcome.status, 1);
    const std::string error = "oem4conv: " + P("day1.gps") + ": Error: Unable to write to " + P("out.tsq");
    const std::size_t at = outcome.err.find(error);
    EXPECT_NE(at, std::string::npos) << outcome.err;
    EXPECT_TRUE(Contains(outcome.err, ": File too large\n")) << outcome.err;
    EXPECT_EQ(outcome.err.find("oem4conv: " + P("day1.gps") + ": Error:", at + 1), std::string::npos) << outcome.err;
    EXPECT_FALSE(Contains(outcome.out + outcome.err, ".oem4conv-")) << outcome.out << outcome.err;
    EXPECT_TRUE(Contains(outcome.out, P("day1.gps") + ": FAILED, ")) << outcome.out;
    EXPECT_FALSE(fs::exists(dir / "out.tsq"));
}

TEST_F(Cli, OptionsReachTheConverter) {
    WriteBytes(dir / "day1.gps", SmallLog());
    ASSERT_EQ(
        Run({P("day1.gps"), "--epoch-flag", "--max-position-age=2.5", "--report-all", "--no-l2-lock-check"}).status, 0);
    Outcome csv = Run({"dump", P("day1.tsq"), "--csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::istringstream rows(csv.out);
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row.rfind("week,receiver_time,corrected_time,flags,", 0), 0u);
    int measurements = 0;
    while (std::getline(rows, row)) {
        ++measurements;
        EXPECT_EQ(row.rfind("1500,10", 0), 0u) << row;
        EXPECT_TRUE(Contains(row, ",2,")) << "epoch flag not set: " << row;
    }
    EXPECT_EQ(measurements, 12);
}

TEST_F(Cli, SeveralLogsConvertInParallelIntoADirectory) {
    fs::create_directories(dir / "out");
    std::vector<std::string> args = {"-j", "3", "-o", P("out"), "-q"};
    for (const char *name : {"a.gps", "b.gps", "c.gps"}) {
        WriteBytes(dir / name, SmallLog());
        args.push_back(P(name));
    }
    args.push_back(P("missing.gps"));
    Outcome outcome = Run(args);
    EXPECT_EQ(outcome.status, 1);
    for (const char *name : {"a", "b", "c"}) {
        EXPECT_TRUE(Contains(outcome.out, P((std::string(name) + ".gps").c_str()) +
                                              ": converted, 3 epochs, 0 ephemerides, 2 marks, "));
        EXPECT_TRUE(fs::exists(dir / "out" / (std::string(name) + ".tsq")));
    }
    EXPECT_TRUE(Contains(outcome.err, P("missing.gps") + ": Error: Unable to open"));
    EXPECT_TRUE(Contains(outcome.out, "4 logs: 3 converted, 1 failed\n"));

    // One after the other in this process, each log is converted as in a
    // worker of its own: its marks are numbered from 1 there too.
    fs::create_directories(dir / "one");
    args[1] = "1";
    args[3] = P("one");
    EXPECT_EQ(Run(args).status, 1);
    for (const char *name : {"a.sta", "b.sta", "c.sta"}) {
        EXPECT_EQ(ReadText(dir / "one" / name), ReadText(dir / "out" / name)) << name;
    }
}

// On a terminal, -j shows a live line per running log; the workers' progress
// reaches the parent inside their output, and none of it may be left in
// the reports on standard output.
TEST_F(Cli, ParallelProgressOnATerminalStaysOffTheReports) {
    const std::vector<uint8_t> log = RangeLogs(300, 4);
    WriteBytes(dir / "a.gps", log);
    WriteBytes(dir / "b.gps", log);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    const std::string out = (dir / "stdout.txt").string();
    const std::vector<std::string> args = {OEM4CONV_CLI, "-j", "2", P("a.gps"), P("missing.gps"), P("b.gps")};
    const pid_t pid = fork();
    if (pid == 0) {
        const int slave = open(terminal.c_str(), O_RDWR);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, STDOUT_FILENO);
        dup2(slave, STDERR_FILENO);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Read the terminal while the command runs, so that it never waits on it.
    std::string screen;
    int status = 0;
    for (;;) {
        char chunk[4096];
        const ssize_t n = read(master, chunk, sizeof chunk);
        if (n > 0) {
            screen.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        usleep(1000);
    }
    close(master);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    const std::string reports = ReadText(out);
    EXPECT_EQ(reports.find_first_of(std::string("\x01\x02", 2)), std::string::npos) << reports;
    EXPECT_TRUE(Contains(reports, P("a.gps") + ": converted, 300 epochs"));
    EXPECT_TRUE(Contains(reports, P("b.gps") + ": converted, 300 epochs"));
    EXPECT_TRUE(Contains(reports, "3 logs: 2 converted, 1 failed\n")) << reports;
    EXPECT_TRUE(Contains(screen, " of 3 logs done")) << screen;
    EXPECT_TRUE(std::regex_search(screen, std::regex("/a\\.gps +[0-9]+ %  [0-9]+ epochs"))) << screen;
    EXPECT_TRUE(Contains(screen, "oem4conv: " + P("missing.gps") + ": Error: Unable to open")) << screen;
}

TEST_F(Cli, DetectAnswersPerFile) {
    WriteBytes(dir / "log.gps", SmallLog());
    WriteBytes(dir / "text.txt", {'h', 'e', 'l', 'l', 'o'});
    const std::string ascii = "#RANGEA,COM1,0,55.0,FINESTEERING,1500,100.000,00000000,5103,1;0*00000000\r\n";
    WriteBytes(dir / "ascii.gps", std::vector<uint8_t>(ascii.begin(), ascii.end()));
    WriteBytes(dir / "log.gps.gz", {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3});
    const std::string rinex = "     3.04           OBSERVATION DATA    M                   RINEX VERSION / TYPE\n";
    WriteBytes(dir / "log.obs", std::vector<uint8_t>(rinex.begin(), rinex.end()));
    Outcome yes = Run({"detect", P("log.gps")});
    EXPECT_EQ(yes.status, 0);
    EXPECT_EQ(yes.out, P("log.gps") + ": OEM4 binary log\n");
    Outcome mixed = Run({"detect", P("log.gps"), P("text.txt"), P("ascii.gps"), P("log.gps.gz"), P("log.obs"),
                         P("none.gps"), dir.string()});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_TRUE(Contains(mixed.out, P("text.txt") + ": not an OEM4 binary log\n"));
    // The same answer for an ASCII log, with why it does not convert.
    EXPECT_TRUE(Contains(mixed.out,
                         P("ascii.gps") + ": not an OEM4 binary log: a NovAtel ASCII log (only binary logs convert)\n"))
        << mixed.out;
    EXPECT_TRUE(Contains(mixed.out, P("log.gps.gz") + ": not an OEM4 binary log: a gzip-compressed file (decompress it "
                                                      "first)\n"))
        << mixed.out;
    EXPECT_TRUE(Contains(mixed.out,
                         P("log.obs") + ": not an OEM4 binary log: a RINEX file (give the receiver's binary log)\n"));
    // What cannot be read is not judged a non-log: the reason is given.
    EXPECT_TRUE(Contains(mixed.out, P("none.gps") + ": cannot be read: No such file or directory\n")) << mixed.out;
    EXPECT_TRUE(Contains(mixed.out, dir.string() + ": cannot be read: Is a directory\n")) << mixed.out;
}

TEST_F(Cli, DumpPrintsHeaderAndEpochsAndRefusesDamage) {
    WriteBytes(dir / "day1.gps", SmallLog());
    ASSERT_EQ(Run({P("day1.gps"), "-q"}).status, 0);
    Outcome text = Run({"dump", P("day1.tsq")});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(Contains(text.out, "Header size:      202\n"));
    EXPECT_TRUE(Contains(text.out, "Channels:         12\n"));
    EXPECT_TRUE(Contains(text.out, "Epoch week 1500  time 101.000"));
    EXPECT_TRUE(Contains(text.out, "\n3 epochs\n"));

    // Renamed, and read through a pipe, which cannot seek: the name it was
    // written as is the one stored, and its epochs are all there.
    fs::rename(dir / "day1.tsq", dir / "moved.tsq");
    ASSERT_EQ(mkfifo(P("pipe.tsq").c_str(), 0600), 0);
    const pid_t pid = Start({"dump", P("pipe.tsq")});
    const int writer = open(P("pipe.tsq").c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    const std::string bytes = ReadText(P("moved.tsq"));
    EXPECT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(writer);
    const Outcome piped = testsupport::FinishCommand(pid, P(""));
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(Contains(piped.out, "Written as:       " + P("day1.tsq") + "\n")) << piped.out;
    EXPECT_TRUE(Contains(piped.out, "\n3 epochs\n")) << piped.out;
    fs::rename(dir / "moved.tsq", dir / "day1.tsq");

    // A directory is told as one, not as a file of another kind.
    Outcome directory = Run({"dump", dir.string()});
    EXPECT_EQ(directory.status, 1);
    EXPECT_TRUE(Contains(directory.err, "cannot open " + dir.string() + ": Is a directory")) << directory.err;

    // A corrected time of 1e300 (a damaged clock model's) prints 300
    // digits: its rows keep every column.
    {
        std::fstream tsq(P("day1.tsq"), std::ios::in | std::ios::out | std::ios::binary);
        const double huge = 1e300;
        tsq.seekp(202 + 36); // the first epoch's corrected time
        tsq.write(reinterpret_cast<const char *>(&huge), sizeof huge);
    }
    Outcome wide = Run({"dump", P("day1.tsq"), "--csv"});
    EXPECT_EQ(wide.status, 0) << wide.err;
    std::istringstream rows(wide.out);
    for (std::string row; std::getline(rows, row);) EXPECT_EQ(std::count(row.begin(), row.end(), ','), 16) << row;

    // Cut inside the last epoch's measurements.
    fs::resize_file(dir / "day1.tsq", fs::file_size(dir / "day1.tsq") - 10);
    Outcome cut = Run({"dump", P("day1.tsq")});
    EXPECT_EQ(cut.status, 1);
    EXPECT_TRUE(Contains(cut.err, "Error: ")) << cut.err;
}

// Workers stopped from outside. Ctrl-C pressed twice at a terminal: each
// worker gets both presses and the one its parent forwards, and still
// stops cleanly (the third press gives up, not the second). A worker
// killed outright (out of memory, kill -9): its log is named.
TEST_F(Cli, WorkersStoppedByTwoCtrlCOrKilledOutright) {
    const fs::path setsid = "/usr/bin/setsid";
    if (!fs::exists(setsid)) GTEST_SKIP() << "setsid is not installed";
    signal(SIGPIPE, SIG_IGN);
    const std::vector<uint8_t> log = RangeLogs(10, 4);
    for (const bool killOne : {false, true}) {
        SCOPED_TRACE(killOne);
        const std::string names[2] = {"w1" + std::to_string(killOne), "w2" + std::to_string(killOne)};
        std::vector<std::string> args = {"-w", OEM4CONV_CLI, "-j", "2", "-q"};
        for (const std::string &name : names) {
            ASSERT_EQ(mkfifo((dir / (name + ".gps")).c_str(), 0600), 0);
            args.push_back(P(name + ".gps"));
        }
        // Its own session: the command leads the process group that a
        // terminal's Ctrl-C reaches, its workers included.
        const pid_t pid = testsupport::StartCommand(setsid.string(), args, P(""));
        std::vector<int> writers;
        for (const std::string &name : names) {
            writers.push_back(FeedFirstBlock(name, log));
            ASSERT_GE(writers.back(), 0) << name;
        }
        usleep(200 * 1000);
        if (killOne) {
            std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
            pid_t worker = 0;
            ASSERT_TRUE(children >> worker);
            kill(worker, SIGKILL);
        } else {
            // Apart, as a person presses: two signals sent at once arrive as one.
            kill(-pid, SIGINT);
            usleep(20 * 1000);
            kill(-pid, SIGINT);
        }
        usleep(100 * 1000);
        for (const int writer : writers) FeedRest(writer, log);
        const Outcome outcome = Finish(pid);
        EXPECT_EQ(outcome.status, 1) << outcome.err;
        if (killOne) {
            EXPECT_TRUE(Contains(outcome.err, ".gps: the worker converting it ended by signal 9; nothing of it was put "
                                              "in place\n"))
                << outcome.err;
            EXPECT_NE(fs::exists(dir / (names[0] + ".tsq")), fs::exists(dir / (names[1] + ".tsq")));
            continue;
        }
        for (const std::string &name : names) {
            EXPECT_TRUE(fs::exists(dir / (name + "-partial.tsq"))) << name << "\n" << outcome.err;
        }
    }
}

// A closed terminal (SIGHUP) stops a conversion as Ctrl-C does: what was
// converted is kept rather than left in temporaries the next run clears.
// Under nohup (hang-ups ignored) the conversion carries on.
TEST_F(Cli, CtrlCStopsAfterTheBlockAndKeepsTheOutputsAsPartial) {
    // A tool that died at the signal fails the writes below, not this test.
    signal(SIGPIPE, SIG_IGN);
    for (const int stop : {SIGINT, SIGHUP, 0}) {
        SCOPED_TRACE(stop);
        const std::string name = "live" + std::to_string(stop);
        const fs::path fifo = dir / (name + ".gps");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        void (*const hangUp)(int) = signal(SIGHUP, stop == 0 ? SIG_IGN : SIG_DFL);
        const pid_t pid = Start({fifo.string(), "-o", P(name)});
        signal(SIGHUP, hangUp);
        // The open returns once the tool reads the log, its handler in place.
        const std::vector<uint8_t> log = RangeLogs(10, 4);
        ASSERT_GT(log.size(), 2048u);
        const int writer = FeedFirstBlock(name, log);
        ASSERT_GE(writer, 0);
        usleep(200 * 1000);
        kill(pid, stop == 0 ? SIGHUP : stop);
        usleep(100 * 1000);
        // All but the end of the last record: the stop finds it unfinished.
        FeedRest(writer, log, 30);

        Outcome outcome = Finish(pid);
        if (stop == 0) {
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_TRUE(fs::exists(dir / (name + ".tsq")));
            continue;
        }
        EXPECT_EQ(outcome.status, 1);
        // Told once, with where the outputs went, and in plain words.
        EXPECT_TRUE(Contains(outcome.err, ": interrupted; what was converted is kept in " + P(name + "-partial") +
                                              ".{tsq,epp,sta}\n"))
            << outcome.err;
        EXPECT_FALSE(Contains(outcome.err, ": interrupted\n")) << outcome.err;
        EXPECT_FALSE(Contains(outcome.out + outcome.err, "User Quit"));
        // Nothing was skipped: the unfinished record was only not read to its end.
        EXPECT_FALSE(Contains(outcome.out, "skipped")) << outcome.out;
        EXPECT_FALSE(fs::exists(dir / (name + ".tsq")));
        // Everything read before the stop is in the closed, well-formed output.
        Outcome dump = Run({"dump", P(name + "-partial.tsq")});
        EXPECT_EQ(dump.status, 0) << dump.err;
        EXPECT_TRUE(Contains(dump.out, "\n9 epochs\n")) << dump.out;
    }
}

TEST_F(Cli, ReportAfterAConversionAndOnItsOwn) {
    WriteBytes(dir / "day.gps", SmallLog());
    Outcome convert = Run({P("day.gps"), "--report", "-q"});
    ASSERT_EQ(convert.status, 0) << convert.err;
    EXPECT_TRUE(Contains(convert.out, "Report: " + P("day-report.html")));
    const std::string html = ReadText(dir / "day-report.html");
    EXPECT_TRUE(Contains(html, "<svg"));
    EXPECT_FALSE(Contains(html, "<script"));
    // The messages were kept for the report, with their times.
    EXPECT_TRUE(Contains(ReadText(dir / "day.messages"), "Almanac received for GPS PRN 2"));

    Outcome json = Run({"report", P("day"), "-o", P("again.html"), "--json", "-"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_TRUE(Contains(json.out, "\"epochs\""));
    EXPECT_TRUE(fs::exists(dir / "again.html"));
    // The messages kept beside the outputs are counted again without --messages.
    EXPECT_FALSE(Contains(json.out, "\"messages\": null")) << json.out;

    EXPECT_EQ(Run({"report", P("missing")}).status, 1);

    // A conversion to the same base without --report: the report and the
    // kept messages told of the files it replaced, and go; RINEX files of
    // a run with other options stay, said to be the earlier run's.
    const Outcome again = Run({P("day.gps"), "-q", "--rinex"});
    EXPECT_TRUE(Contains(again.out, "  removed " + P("day") + ".messages, " + P("day") +
                                        "-report.html of the conversion these outputs replace\n"))
        << again.out;
    EXPECT_FALSE(fs::exists(dir / "day.messages"));
    const Outcome plain = Run({P("day.gps"), "-q"});
    EXPECT_TRUE(Contains(plain.out, "  " + P("day") + ".obs, " + P("day") +
                                        ".nav: an earlier conversion's, not replaced by this one\n"))
        << plain.out;
    EXPECT_TRUE(fs::exists(dir / "day.obs"));

    // A base ending in digits or a date names the files whole: the runs of
    // two dates keep their own files, and the report finds them, names
    // itself and takes the kept messages by the same base; where no such
    // files are, it says so and takes the base cut as before.
    for (const char *base : {"flight_2024.06.01", "flight_2024.06.02", "flight.2024-06-01", "flight.2024-06-02"}) {
        ASSERT_EQ(Run({P("day.gps"), "-o", P(base), "-q", "--report"}).status, 0);
        EXPECT_TRUE(fs::exists(dir / (std::string(base) + ".tsq"))) << base;
    }
    EXPECT_FALSE(fs::exists(dir / "flight_2024.06.tsq"));
    EXPECT_FALSE(fs::exists(dir / "flight.tsq"));
    fs::remove(dir / "flight.2024-06-02-report.html");
    Outcome dated = Run({"report", P("flight.2024-06-02"), "--json", "-"});
    EXPECT_TRUE(Contains(dated.out, "flight.2024-06-02.tsq\"")) << dated.out;
    EXPECT_FALSE(Contains(dated.out, "\"messages\": null")) << dated.out;
    EXPECT_TRUE(fs::exists(dir / "flight.2024-06-02-report.html"));
    EXPECT_FALSE(fs::exists(dir / "flight-report.html"));
    Outcome older = Run({"report", P("day.1"), "-o", P("older.html"), "--json", "-"});
    EXPECT_TRUE(Contains(older.out, P("day.tsq") + "\"")) << older.out;
    EXPECT_TRUE(Contains(older.err, "no " + P("day.1") + ".tsq; the report is of " + P("day") + ".tsq")) << older.err;
}

TEST_F(Cli, RinexBesideOrInsteadOfTheHostFilesAlsoInWorkers) {
    WriteBytes(dir / "day1.gps", SmallLog());
    Outcome both = Run({P("day1.gps"), "--rinex"});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_TRUE(Contains(both.out, P("day1") + ".{tsq,epp,sta,obs,nav}"));
    for (const char *ext : {".tsq", ".epp", ".sta", ".obs", ".nav"}) {
        EXPECT_TRUE(fs::exists(dir / (std::string("day1") + ext))) << ext;
    }
    const std::string obs = ReadText(dir / "day1.obs");
    EXPECT_TRUE(Contains(obs, "day1                                                        MARKER NAME\n"));
    EXPECT_EQ(std::count(obs.begin(), obs.end(), '>'), 5); // 3 epochs, 2 events

    // Two logs in worker processes, RINEX only, one marker name for both.
    fs::create_directories(dir / "out");
    WriteBytes(dir / "day2.gps", SmallLog());
    Outcome only =
        Run({"-j", "2", "-o", P("out"), "--rinex-only", "--marker", "BASE 1", "-q", P("day1.gps"), P("day2.gps")});
    EXPECT_EQ(only.status, 0) << only.err;
    EXPECT_TRUE(Contains(only.out, P("day2.gps") + ": converted, 3 epochs, 0 ephemerides, 2 marks, "));
    for (const char *name : {"day1", "day2"}) {
        EXPECT_TRUE(fs::exists(dir / "out" / (std::string(name) + ".obs")));
        EXPECT_TRUE(fs::exists(dir / "out" / (std::string(name) + ".nav")));
        EXPECT_FALSE(fs::exists(dir / "out" / (std::string(name) + ".tsq")));
        EXPECT_TRUE(Contains(ReadText(dir / "out" / (std::string(name) + ".obs")),
                             "BASE 1                                                      MARKER NAME\n"));
    }

    // The RINEX options that cannot work.
    EXPECT_EQ(Run({P("day1.gps"), "--marker", "X"}).status, 2);
    EXPECT_EQ(Run({P("day1.gps"), "--rinex-only", "--report"}).status, 2);
    EXPECT_EQ(Run({P("day1.gps"), "--rinex", "--marker", std::string(61, 'M')}).status, 2);
    EXPECT_EQ(Run({P("day1.gps"), "--rinex-version", "2.11"}).status, 2); // needs --rinex
    EXPECT_EQ(Run({P("day1.gps"), "--rinex", "--rinex-version", "3.02"}).status, 2);

    // RINEX 2.11 on request, in workers too.
    Outcome v2 =
        Run({"-j", "2", "-o", P("out"), "--rinex-only", "--rinex-version", "2.11", "-q", P("day1.gps"), P("day2.gps")});
    EXPECT_EQ(v2.status, 0) << v2.err;
    for (const char *name : {"day1", "day2"}) {
        const std::string text = ReadText(dir / "out" / (std::string(name) + ".obs"));
        EXPECT_EQ(text.substr(0, 9), "     2.11") << name;
        EXPECT_TRUE(Contains(text, "# / TYPES OF OBSERV")) << name;
        // GLONASS navigation has a file of its own in 2.11, put in place too.
        EXPECT_TRUE(fs::exists(dir / "out" / (std::string(name) + ".gnav"))) << name;
    }
    for (const auto &entry : fs::directory_iterator(dir / "out")) {
        EXPECT_EQ(entry.path().filename().string().find(".oem4conv-"), std::string::npos) << entry.path();
    }

    // A receiver's second antenna: its own observation file, put in place
    // like the others, and cleared like them when a run left it behind.
    std::vector<uint8_t> dual = SmallLog();
    for (const int32_t ms : {100000, 101000, 102000}) testsupport::Append(dual, RangeLog(5, ms, 1));
    WriteBytes(dir / "dual.gps", dual);
    const std::string leftover = "dual.oem4conv-2147483646-antenna2.obs" /* no such process */;
    WriteBytes(dir / leftover, {1, 2, 3});
    Outcome second = Run({P("dual.gps"), "--rinex"});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(Contains(second.out, P("dual") + ".{tsq,epp,sta,obs,nav}"));
    EXPECT_TRUE(Contains(second.out, "3 range records of the receiver's second antenna converted into " + P("dual") +
                                         "-antenna2.obs"))
        << second.out;
    EXPECT_TRUE(Contains(second.err, "left by a conversion that did not finish, removed")) << second.err;
    EXPECT_FALSE(fs::exists(dir / leftover));
    const std::string antenna2 = ReadText(dir / "dual-antenna2.obs");
    EXPECT_EQ(std::count(antenna2.begin(), antenna2.end(), '>'), 3) << antenna2; // its epochs, no events
    EXPECT_TRUE(Contains(antenna2, "G05")) << antenna2;
    // Without RINEX the antenna's records are skipped: the quiet summary says so.
    const Outcome quiet = Run({P("dual.gps"), "-q"});
    EXPECT_TRUE(Contains(quiet.out, "\n  3 range records of a second antenna skipped\n")) << quiet.out;
    // A log of the second antenna's ranges alone: no conversion without
    // RINEX, which is told; with it, where the epochs went.
    std::vector<uint8_t> onlySecond;
    for (const int32_t ms : {100000, 101000, 102000}) testsupport::Append(onlySecond, RangeLog(5, ms, 1));
    WriteBytes(dir / "second.gps", onlySecond);
    const Outcome refused = Run({P("second.gps"), "-q"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(
        Contains(refused.err, "no epoch written from 3 range records: every range record is a second antenna's"))
        << refused.err;
    const Outcome kept = Run({P("second.gps"), "--rinex-only", "-q"});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_TRUE(Contains(kept.out, "its epochs are in " + P("second") + "-antenna2.obs only")) << kept.out;
    EXPECT_TRUE(fs::exists(dir / "second-antenna2.obs"));
}

// A log of 14-satellite epochs: cut to 12 by default with the count on the
// summary's second line, whole with --channels 14. A log whose range records
// hold nothing the file takes gives no epoch: exit 1 with the reason.
TEST_F(Cli, ChannelsOptionAndHonestSummaries) {
    std::vector<uint8_t> log = RangeLogs(2, 14);
    WriteBytes(dir / "wide.gps", log);
    Outcome cut = Run({P("wide.gps"), "-q"});
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_TRUE(Contains(cut.out, ": converted, 2 epochs")) << cut.out;
    EXPECT_TRUE(Contains(cut.out, "\n  2 epochs cut to 12 channels (4 satellites left out)\n")) << cut.out;
    EXPECT_EQ(ReadText(dir / "wide.tsq")[7], 12);

    Outcome whole = Run({P("wide.gps"), "-q", "--channels", "14"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_FALSE(Contains(whole.out, "cut to")) << whole.out;
    EXPECT_EQ(ReadText(dir / "wide.tsq")[7], 14);
    // A RANGECMP record of 40 observations: over the limit of 24, or of two
    // a channel above 12 channels, which the summary names.
    std::vector<uint8_t> packed(4 + 40 * 24, 0);
    packed[0] = 40;
    WriteBytes(dir / "packed.gps", MakeRecord(140, packed, {1500, 100000, 180}));
    for (const auto &[channels, text] : {std::pair{"12", "1 compressed records over 24 observations (16 left out)"},
                                         std::pair{"16", "1 compressed records over 32 observations (8 left out)"}}) {
        const Outcome over = Run({P("packed.gps"), "--channels", channels});
        EXPECT_TRUE(Contains(over.out, text)) << over.out;
    }
    EXPECT_TRUE(Contains(Run({P("packed.gps")}).out, "Notice: 1 compressed records had more than 24 observations; 16 "
                                                     "observations left out of them\n"));
    EXPECT_EQ(Run({P("wide.gps"), "--channels", "25"}).status, 2);

    // The same satellites as Galileo E1C: nothing the file can take. Each
    // record a second after the one before: two of one time are one epoch.
    for (std::size_t at = 0, second = 0; at + 32 <= log.size(); ++second) {
        const uint32_t count = log[at + 28];
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t &bits = log[at + 32 + 44 * i + 40 + 2];          // status bits 16-23
            bits = static_cast<uint8_t>((bits & 0x18) | 3 | 2 << 5); // system 3, signal type 2
        }
        const std::size_t length = 28 + 4 + 44 * count;
        const auto sealed = MakeRecord(43,
                                       std::vector<uint8_t>(log.begin() + static_cast<long>(at) + 28,
                                                            log.begin() + static_cast<long>(at + length)),
                                       {1500, static_cast<int32_t>(100000 + 1000 * second), 180});
        std::copy(sealed.begin(), sealed.end(), log.begin() + static_cast<long>(at));
        at += sealed.size();
    }
    WriteBytes(dir / "galileo.gps", log);
    Outcome none = Run({P("galileo.gps"), "-q"});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(Contains(none.err, "galileo.gps: no epoch written from 2 range records: no range record holds a "
                                   "GPS, GLONASS or SBAS L1 C/A observation\n"))
        << none.err;
    EXPECT_TRUE(Contains(none.out, ": FAILED, 0 epochs")) << none.out;
    EXPECT_TRUE(Contains(none.out, "\n  observations left out: 28 Galileo\n")) << none.out;
    // With RINEX the epochs were there: the user is told how to keep them.
    Outcome rinex = Run({P("galileo.gps"), "-q", "--rinex"});
    EXPECT_EQ(rinex.status, 1);
    EXPECT_TRUE(Contains(rinex.err, "galileo.gps: the RINEX observation file held 2 epochs; --rinex-only writes it "
                                    "without the observation file\n"))
        << rinex.err;
    // RINEX alone: no observation file, so nothing is left out of it or
    // cut to its channels, and its options have nothing to act on.
    Outcome only = Run({P("galileo.gps"), "--rinex-only"});
    EXPECT_EQ(only.status, 0);
    EXPECT_FALSE(Contains(only.out, "left out")) << only.out;
    const Outcome wide = Run({P("wide.gps"), "--rinex-only"});
    EXPECT_FALSE(Contains(wide.out, "cut to"));
    EXPECT_FALSE(Contains(wide.out, "channels; left out")) << wide.out;
    // Camera marks without any range record: converted, and said so.
    WriteBytes(dir / "marks.gps", MarkLog(100000.0));
    const Outcome marks = Run({P("marks.gps"), "-q"});
    EXPECT_EQ(marks.status, 0) << marks.err;
    EXPECT_TRUE(Contains(
        marks.out, "\n  no range record (RANGE, RANGECMP, RANGECMP2, RANGECMP4 or RANGECMP5) in the log: no epoch\n"))
        << marks.out;
    for (const char *option : {"--channels", "--epoch-flag", "--no-l2-lock-check"}) {
        std::vector<std::string> args = {P("wide.gps"), "--rinex-only", option};
        if (std::string(option) == "--channels") args.push_back("14");
        const Outcome refused = Run(args);
        EXPECT_EQ(refused.status, 2) << option;
        EXPECT_TRUE(Contains(refused.err, std::string(option) + " applies to BASE.tsq")) << refused.err;
    }
}
