// oem4conv: command-line host of the conversion library.
//
//   oem4conv [convert] LOG... [options]   convert receiver logs
//   oem4conv detect FILE...               ask AutoDetect about each file
//   oem4conv dump FILE.tsq [--csv]        print an observation file
//   oem4conv report BASE [...]            quality report of a conversion
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "platform.h"
#include "report_cli.h"

namespace {

constexpr const char *kUsage = "Usage:\n"
                               "  oem4conv [convert] LOG... [options]  convert NovAtel OEM4 binary logs\n"
                               "  oem4conv detect FILE...              tell whether files are OEM4 binary logs\n"
                               "  oem4conv dump FILE.tsq [--csv]       print an observation file as text or CSV\n"
                               "  oem4conv report BASE [-o REPORT.html] [--json FILE|-] [--messages FILE] [-q]\n"
                               "                                       quality report of one conversion: HTML\n"
                               "                                       (default BASE-report.html) and a summary\n"
                               "  oem4conv --help | --version\n"
                               "\n"
                               "Each LOG gives three files named after the output base: BASE.tsq (observations),\n"
                               "BASE.epp (ephemerides and almanacs) and BASE.sta (camera marks), and with\n"
                               "--rinex also BASE.obs and BASE.nav. By default the base is the log's own path,\n"
                               "so day1.gps gives day1.tsq, day1.epp and day1.sta.\n"
                               "\n"
                               "Records read (binary logs; others are skipped):\n"
                               "  RANGE, RANGECMP,       observations\n"
                               "  RANGECMP2, RANGECMP4,\n"
                               "  RANGECMP5\n"
                               "  RAWEPHEM, GPSEPHEM     GPS ephemerides\n"
                               "  BESTPOS, BESTXYZ       receiver position for the epochs (BESTXYZ only in logs\n"
                               "                         without BESTPOS)\n"
                               "  PROPAGATEDCLOCKMODEL   receiver clock offset\n"
                               "  ALMANAC                GPS almanac\n"
                               "  MARKTIME               camera marks\n"
                               "  MARK2TIME, MARK3TIME,  other mark inputs: counted and told, not converted\n"
                               "  MARK4TIME\n"
                               "  MARKPOS, MARK2POS,     positions at marks: counted; pulses without their\n"
                               "  MARK3POS, MARK4POS,    MARKTIME told, not converted\n"
                               "  MARK1PVA ... MARK4PVA\n"
                               "  VERSION, IONUTC        receiver and ionosphere/UTC lines of the RINEX headers\n"
                               "  GLOEPHEMERIS, GALEPHEMERIS, GALINAVEPHEMERIS, GALFNAVEPHEMERIS,\n"
                               "  BDSEPHEMERIS, QZSSEPHEMERIS\n"
                               "                         GLONASS, Galileo, BeiDou and QZSS navigation\n"
                               "                         records of the RINEX navigation file\n"
                               "  GALIONO, GALCLOCK, BDSIONO, BDSCLOCK, QZSSIONUTC\n"
                               "                         their ionosphere and time-system header lines\n"
                               "\n"
                               "Convert options:\n"
                               "  -o, --output BASE         output base for a single LOG, or a directory to\n"
                               "                            receive the outputs of every LOG (created when\n"
                               "                            the argument ends in '/')\n"
                               "  -j, --jobs N              convert up to N logs at once in worker processes\n"
                               "                            (default: the number of processors)\n"
                               "      --epoch-flag          mark every epoch with flag value 2\n"
                               "      --max-position-age S  attach a BESTPOS or BESTXYZ position to an epoch\n"
                               "                            when their times differ by at most S seconds\n"
                               "                            (default 5)\n"
                               "      --report-all          also report the optional decoding notices\n"
                               "                            (record lengths, resynchronisation, cycle slips,\n"
                               "                            rising satellites, bad code tracking, and which\n"
                               "                            skipped bytes are records of other kinds)\n"
                               "      --recompute-clock     recompute each epoch's receiver clock offset and\n"
                               "                            position by least squares from the ephemerides\n"
                               "      --no-l2-lock-check    keep L2 code without phase lock or 0.01 s lock time\n"
                               "      --channels N          most satellites per epoch in BASE.tsq, 1 to 24\n"
                               "                            (default 12); an epoch with more keeps GPS, then\n"
                               "                            GLONASS, then SBAS, satellites already tracked first\n"
                               "  -q, --quiet               print only errors and the per-log summary\n"
                               "  -v, --verbose             also print the informational messages (almanac\n"
                               "                            and ephemeris received), otherwise only counted\n"
                               "      --no-progress         no progress bar (it is shown only on a terminal)\n"
                               "      --report              after each conversion write BASE-report.html and\n"
                               "                            keep the messages in BASE.messages (a log that\n"
                               "                            skipped 64 KiB or more is read again to tell\n"
                               "                            records of other kinds from damage)\n"
                               "      --rinex               also write BASE.obs (RINEX 3.04 observations of\n"
                               "                            every system and signal, with the camera marks as\n"
                               "                            events) and BASE.nav (RINEX 3.04 mixed navigation)\n"
                               "                            in the same pass; for a receiver with two\n"
                               "                            antennas also BASE-antenna2.obs, the second's\n"
                               "      --rinex-only          write only the RINEX files\n"
                               "      --marker NAME         RINEX marker name (default: the log's file name\n"
                               "                            without extension)\n"
                               "      --rinex-version V     3.04 (default) or 2.11 (GPS, GLONASS and SBAS\n"
                               "                            observations only; GPS navigation in BASE.nav,\n"
                               "                            GLONASS in BASE.gnav)\n"
                               "      --keep-partial        when a conversion fails, keep what it wrote as\n"
                               "                            BASE-partial.* (Ctrl-C always keeps it)\n"
                               "\n"
                               "Each log ends with a summary line. Warnings are printed with the GPS seconds\n"
                               "of week of the record they concern ('-' when none applies), an error that\n"
                               "stops a conversion once, on standard error. With -j on a terminal, a live\n"
                               "line per running log shows its progress. Outputs are written under temporary\n"
                               "names and take their own names only when the conversion ends well: a failed\n"
                               "conversion leaves earlier outputs as they were. Ctrl-C stops the conversions\n"
                               "cleanly and keeps what was converted as BASE-partial.*.\n"
                               "\n"
                               "Only GPS, GLONASS and SBAS L1 C/A and one GPS or GLONASS L2 signal per satellite\n"
                               "have a place in BASE.tsq; other systems and signals are left out of it and\n"
                               "counted (--rinex writes them all).\n"
                               "\n"
                               "Each command also answers --help: oem4conv convert --help, detect --help,\n"
                               "dump --help, report --help.\n"
                               "\n"
                               "Exit status:\n"
                               "  0  done: every log converted to its end; detect: every FILE is an OEM4 log;\n"
                               "     dump: the whole file was read; report: written\n"
                               "  1  a conversion failed, was refused or interrupted, an input is not an\n"
                               "     OEM4 binary log, a log holding range records gave no epoch, or standard\n"
                               "     output could not be written; detect: some FILE is not an OEM4 log;\n"
                               "     dump: the file is missing, damaged or not an observation file; report:\n"
                               "     its input files could not be read\n"
                               "  2  usage error: a wrong, missing or conflicting argument, or two LOGs with\n"
                               "     one output base\n"
                               "  3  report: the report or its summary could not be written\n";

// What a bare or wrong call gets, after the problem: the commands in
// brief, and where to read more.
constexpr const char *kShortUsage = "Usage: oem4conv [convert] LOG... [options]\n"
                                    "       oem4conv detect FILE... | dump FILE.tsq [--csv] | report BASE [options]\n"
                                    "Try 'oem4conv --help', or 'oem4conv COMMAND --help'.\n";

constexpr const char *kDetectHelp = "Usage: oem4conv detect FILE...\n"
                                    "\n"
                                    "Tells for each FILE whether it is an OEM4 binary log, one line per FILE.\n"
                                    "\n"
                                    "Exit status: 0 every FILE is an OEM4 binary log, 1 some FILE is not (or\n"
                                    "cannot be read), 2 usage error.\n";

constexpr const char *kDumpHelp = "Usage: oem4conv dump FILE.tsq [--csv]\n"
                                  "\n"
                                  "Prints an observation file written by the converter: its header, then every\n"
                                  "epoch with its position and satellites as text, or with --csv one line per\n"
                                  "satellite and epoch.\n"
                                  "\n"
                                  "  --csv   comma-separated values with a header line\n"
                                  "\n"
                                  "Exit status: 0 the whole file was read, 1 the file is missing, damaged or\n"
                                  "not an observation file, or standard output could not be written, 2 usage\n"
                                  "error.\n";

bool IsHelp(const std::string &arg) { return arg == "-h" || arg == "--help"; }

int UsageError(const char *format, const char *value) {
    std::fprintf(stderr, "oem4conv: ");
    std::fprintf(stderr, format, value);
    std::fprintf(stderr, "\n%s", kShortUsage);
    return kExitUsage;
}

// A finite number and nothing else: "nan" and "inf" read as numbers, but
// would slip past every range check.
bool ParseNumber(const char *text, double *value) {
    errno = 0;
    char *end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(*value);
}

// Standard output flushed and without error; otherwise the reason is said.
int FinishOutput(int status) {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
    std::fprintf(stderr, "oem4conv: cannot write to standard output: %s\n", std::strerror(errno));
    return kExitFailed;
}

int Detect(const std::vector<std::string> &files) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i] == "--") {
            paths.insert(paths.end(), files.begin() + static_cast<long>(i) + 1, files.end());
            break;
        } else if (IsHelp(files[i])) {
            std::fputs(kDetectHelp, stdout);
            return FinishOutput(kExitOk);
        } else if (files[i].size() > 1 && files[i][0] == '-') {
            return UsageError("unknown detect option '%s'", files[i].c_str());
        }
        paths.push_back(files[i]);
    }
    if (paths.empty()) return UsageError("%s", "detect needs at least one FILE");
    int status = kExitOk;
    for (const std::string &file : paths) {
        // A file that cannot be read is not judged: the user is told why.
        std::string unreadable;
        if (KindOfPath(file) == kPathDirectory) {
            unreadable = std::strerror(EISDIR);
        } else if (std::FILE *in = std::fopen(file.c_str(), "rb"); in == nullptr) {
            unreadable = std::strerror(errno);
        } else {
            std::fclose(in);
        }
        const bool isLog = unreadable.empty() && AutoDetect(file.c_str()) == 1;
        if (!unreadable.empty()) {
            std::printf("%s: cannot be read: %s\n", file.c_str(), unreadable.c_str());
        } else if (isLog) {
            std::printf("%s: OEM4 binary log\n", file.c_str());
        } else if (const OtherFileKind *kind = KindOfOtherFile(file); kind != nullptr) {
            std::printf("%s: not an OEM4 binary log: %s (%s)\n", file.c_str(), kind->what, kind->advice);
        } else {
            std::printf("%s: not an OEM4 binary log\n", file.c_str());
        }
        if (!isLog) status = kExitFailed;
        if (std::ferror(stdout) != 0) break;
    }
    return FinishOutput(status);
}

int Dump(const std::vector<std::string> &args) {
    std::string path;
    bool csv = false;
    for (const std::string &arg : args) {
        if (arg == "--csv") {
            csv = true;
        } else if (IsHelp(arg)) {
            std::fputs(kDumpHelp, stdout);
            return FinishOutput(kExitOk);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown dump option '%s'", arg.c_str());
        } else if (path.empty()) {
            path = arg;
        } else {
            return UsageError("%s", "dump takes one FILE.tsq");
        }
    }
    if (path.empty()) return UsageError("%s", "dump needs a FILE.tsq");
    return RunDump(path, csv);
}

// Over 60 lines: one flat case per option of the convert command.
int Convert(const std::vector<std::string> &args) {
    ConvertRequest request;
    SetFactoryDefaults(sizeof(Oem4Options), &request.options);
    request.options.spare = 0;
    bool rinexBeside = false;
    std::string hostFileOption; // the last option that acts on BASE.tsq alone
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::size_t first = i;
        std::string arg = args[i];
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        if (IsHelp(arg) && !hasValue) {
            std::fputs(kUsage, stdout);
            return FinishOutput(kExitOk);
        } else if (arg == "-o" || arg == "--output") {
            if (!takeValue() || value.empty()) return UsageError("%s needs a BASE", arg.c_str());
            request.output = value;
        } else if (arg == "-j" || arg == "--jobs") {
            double jobs = 0;
            if (!takeValue() || !ParseNumber(value.c_str(), &jobs) || jobs < 1 || jobs > 256 ||
                jobs != static_cast<int>(jobs)) {
                return UsageError("%s needs a number of jobs from 1 to 256", arg.c_str());
            }
            request.jobs = static_cast<int>(jobs);
        } else if (arg == "--marker") {
            if (!takeValue() || value.empty() || value.size() > 60) {
                return UsageError("%s needs a NAME of 1 to 60 characters", arg.c_str());
            }
            request.marker = value;
        } else if (arg == "--rinex-version") {
            if (!takeValue() || (value != "2.11" && value != "3.04")) {
                return UsageError("%s needs 2.11 or 3.04", arg.c_str());
            }
            request.rinexVersion = value == "2.11" ? 211 : 304;
        } else if (arg == "--channels") {
            double channels = 0;
            if (!takeValue() || !ParseNumber(value.c_str(), &channels) || channels < 1 ||
                channels > OEM4CONV_MAX_CHANNELS || channels != static_cast<int>(channels)) {
                return UsageError("%s needs a number of channels from 1 to 24", arg.c_str());
            }
            request.options.channels = static_cast<uint32_t>(channels);
            hostFileOption = arg;
        } else if (arg == "--max-position-age") {
            double seconds = 0;
            if (!takeValue() || !ParseNumber(value.c_str(), &seconds) || seconds < 0) {
                return UsageError("%s needs a number of seconds, 0 or more", arg.c_str());
            }
            request.options.maxPositionAge = seconds;
        } else if (hasValue) {
            return UsageError("option '%s' takes no value", arg.c_str());
        } else if (arg == "--epoch-flag") {
            request.options.epochFlag = 1;
            hostFileOption = arg;
        } else if (arg == "--report-all") {
            request.options.reportAll = 1;
        } else if (arg == "--recompute-clock") {
            request.options.recomputeClock = 1;
        } else if (arg == "--no-l2-lock-check") {
            request.options.requireL2Lock = 0;
            hostFileOption = arg;
        } else if (arg == "-q" || arg == "--quiet") {
            request.quiet = true;
        } else if (arg == "-v" || arg == "--verbose") {
            request.verbose = true;
        } else if (arg == "--no-progress") {
            request.progress = false;
        } else if (arg == "--report") {
            request.report = true;
        } else if (arg == "--rinex") {
            if (!request.hostFiles) return UsageError("%s", "--rinex and --rinex-only cannot go together");
            request.rinex = true;
            rinexBeside = true;
        } else if (arg == "--rinex-only") {
            if (rinexBeside) return UsageError("%s", "--rinex and --rinex-only cannot go together");
            request.rinex = true;
            request.hostFiles = false;
        } else if (arg == "--keep-partial") {
            request.keepPartial = true;
        } else if (arg == "--") {
            request.logs.insert(request.logs.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option '%s'", arg.c_str());
        } else {
            request.logs.push_back(arg);
            continue;
        }
        request.optionArguments.insert(request.optionArguments.end(), args.begin() + static_cast<long>(first),
                                       args.begin() + static_cast<long>(i) + 1);
    }
    if (request.logs.empty()) return UsageError("%s", "no LOG to convert");
    if (request.report && !request.hostFiles) {
        return UsageError("%s", "--report reads the host's files; it cannot go with --rinex-only");
    }
    if (!hostFileOption.empty() && !request.hostFiles) {
        return UsageError("%s applies to BASE.tsq, which --rinex-only does not write", hostFileOption.c_str());
    }
    if (request.rinexVersion != 0 && !request.rinex) {
        return UsageError("%s", "--rinex-version needs --rinex or --rinex-only");
    }
    if (!request.marker.empty() && !request.rinex) {
        return UsageError("%s", "--marker names the RINEX marker; it needs --rinex or --rinex-only");
    }
    return RunConvert(request);
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args;
    if (!CommandArguments(argc, argv, &args)) return kExitUsage;
    if (args.empty()) {
        // Say what is missing before how to call it.
        return UsageError("%s", "no LOG given");
    }
    const std::string &first = args[0];
    if (first == "-h" || first == "--help" || first == "help") {
        std::fputs(kUsage, stdout);
        return FinishOutput(kExitOk);
    }
    if (first == "--version") {
        std::printf("oem4conv %s\n", OEM4CONV_VERSION);
        return FinishOutput(kExitOk);
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (first == "detect") return Detect(rest);
    if (first == "dump") return Dump(rest);
    if (first == "report") {
        const int status = report::RunReportCommand(rest, "oem4conv report");
        // An unwritten summary is an output that could not be written.
        return FinishOutput(status) != status ? 3 : status;
    }
    if (first == "convert") return Convert(rest);
    // A first word that is no command, no option, no file and no path is
    // most likely a mistyped command ("conver"), not a log.
    if (first[0] != '-' && first.find_first_of("./\\:") == std::string::npos) {
        std::FILE *file = std::fopen(first.c_str(), "rb");
        if (file == nullptr)
            return UsageError("'%s' is neither a command (convert, detect, dump, report) nor a file", first.c_str());
        std::fclose(file);
    }
    return Convert(args);
}
