// The convert command: one log per ConvertFile call, several logs in
// parallel worker processes since the library converts one file at a time
// per process. Ctrl-C requests Abort so that every output is closed cleanly.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/convert.h"
#include "commands.h"
#include "common/error_text.h"
#include "common/gnss_time.h"
#include "common/lasting_state.h"
#include "common/path_size.h"
#include "oem4/signals.h"
#include "output/tsq_file.h"
#include "output/tsq_reader.h"
#include "platform.h"
#include "report.h"
#include "shown_messages.h"

namespace {

constexpr int kBarWidth = 30;

// Ctrl-C asks the library to stop after its current block. A third press
// gives up on a clean stop. A worker sees one signal more: the terminal's
// first press and the one its parent forwards (once), so it gives up at
// the fourth.
volatile std::sig_atomic_t g_interrupts = 0;
volatile std::sig_atomic_t g_giveUpAt = 3;

void OnInterrupt() {
    Abort();
    g_interrupts = g_interrupts + 1;
    if (g_interrupts >= g_giveUpAt) std::_Exit(130);
}

// State of the conversion running in this process, for the callbacks.
bool g_quiet = false;
bool g_showBar = false;
bool g_barShown = false;
int g_barPercent = -1;
uint32_t g_messageCount = 0;
// With --report every message is also kept in BASE.messages for the report.
std::FILE *g_messageFile = nullptr;
// Informational messages are counted and shown only with --verbose.
bool g_verbose = false;
uint32_t g_informationalCount = 0;
// An error is held back until the next message: if it is the one that ends
// the conversion it is shown once, on standard error, rather than also in
// the message stream.
std::string g_heldError;
double g_heldErrorTime = -1.0;
// In a worker whose parent shows progress: the progress goes to the parent
// as records in the worker's output.
bool g_progressRecords = false;
int g_recordPercent = -1;
// Logs of this run that converted and that failed, for the closing count.
std::size_t g_converted = 0;
std::size_t g_failed = 0;
// The messages name the outputs by their final names, not the temporary
// ones the library writes.
std::string g_temporaryStem;
std::string g_stem;
// Standard output failed (a full disk, a reader that went away): the
// conversion is stopped, its outputs are not put in place.
bool g_stdoutFailed = false;
int g_stdoutError = 0;

// Checks standard output after a write; on the first failure the running
// conversion is asked to stop.
bool StdoutWorks() {
    if (g_stdoutFailed) return false;
    if (std::ferror(stdout) == 0 && std::fflush(stdout) == 0) return true;
    g_stdoutError = errno;
    g_stdoutFailed = true;
    Abort();
    return false;
}

void ReportStdoutFailure() {
    std::fprintf(stderr, "oem4conv: cannot write to standard output: %s\n", SystemErrorText(g_stdoutError).c_str());
}

std::string WithFinalNames(const char *text) {
    std::string shown = text;
    if (g_temporaryStem.empty()) return shown;
    for (std::size_t at = shown.find(g_temporaryStem); at != std::string::npos;
         at = shown.find(g_temporaryStem, at + g_stem.size())) {
        shown.replace(at, g_temporaryStem.size(), g_stem);
    }
    return shown;
}

void ClearBar() {
    if (!g_barShown) return;
    ClearConsoleLine(stderr);
    std::fflush(stderr);
    g_barShown = false;
    g_barPercent = -1;
}

// A message as people read it; `text` already names the outputs by their
// final names. Nothing more is printed once standard output has failed.
void PrintMessage(double time, const std::string &text) {
    if (g_stdoutFailed) return;
    ClearBar();
    const std::string plain = PlainMessage(text);
    if (time >= 0.0) {
        std::printf("  %12.3f  %s\n", time, plain.c_str());
    } else {
        std::printf("  %12s  %s\n", "-", plain.c_str());
    }
    StdoutWorks();
}

void ReleaseHeldError() {
    if (g_heldError.empty()) return;
    PrintMessage(g_heldErrorTime, g_heldError);
    g_heldError.clear();
}

void OEM4CONV_CALL OnMessage(double time, const char *text) {
    ++g_messageCount;
    const std::string shown = WithFinalNames(text);
    const MessageKind kind = KindOfMessage(shown);
    if (kind == MessageKind::kInformational) ++g_informationalCount;
    if (g_messageFile != nullptr) {
        if (time >= 0.0) {
            std::fprintf(g_messageFile, "%.3f  %s\n", time, shown.c_str());
        } else {
            std::fprintf(g_messageFile, "-  %s\n", shown.c_str());
        }
    }
    if (g_quiet || g_stdoutFailed) return;
    ReleaseHeldError();
    if (kind == MessageKind::kInformational && !g_verbose) return;
    if (kind == MessageKind::kError) {
        g_heldError = shown;
        g_heldErrorTime = time;
        return;
    }
    PrintMessage(time, shown);
}

// Records of a worker whose parent shows progress, each a line of its
// output starting with one of these bytes: the percent and the epochs
// written so far; a line for standard error, which the parent prints there
// without breaking its live lines.
constexpr char kProgressRecord = '\x01';
constexpr char kErrorRecord = '\x02';

// Prints "oem4conv: " and the formatted text on standard error, through the
// parent when it shows progress.
void PrintError(const char *format, ...)
#if defined(__MINGW32__)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void PrintError(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    if (g_progressRecords) {
        std::printf("%coem4conv: ", kErrorRecord);
        std::vprintf(format, args);
        std::fflush(stdout);
    } else {
        // One write for the whole line: workers share the standard error,
        // and their lines must not interleave.
        std::va_list measure;
        va_copy(measure, args);
        const int n = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        std::string line = "oem4conv: ";
        if (n > 0) {
            const std::size_t prefix = line.size();
            line.resize(prefix + static_cast<std::size_t>(n) + 1);
            std::vsnprintf(line.data() + prefix, static_cast<std::size_t>(n) + 1, format, args);
            line.pop_back();
        }
        std::fflush(stdout);
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    va_end(args);
}

void OEM4CONV_CALL OnProgress(int32_t done, int32_t total) {
    const int percent = total > 0 ? static_cast<int>(100.0 * done / total) : 100;
    if (g_progressRecords && percent != g_recordPercent) {
        g_recordPercent = percent;
        std::printf("%c%d %u\n", kProgressRecord, percent, EpochsWrittenSoFar());
        std::fflush(stdout);
    }
    if (!g_showBar) return;
    if (percent == g_barPercent) return;
    g_barPercent = percent;
    const int filled = percent * kBarWidth / 100;
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r  [%s] %3d%%", bar, percent);
    std::fflush(stderr);
    g_barShown = true;
}

std::string OutputBase(const ConvertRequest &request, const std::string &log) {
    if (request.output.empty()) return LibraryPath(log);
    if (IsDirectory(request.output)) return LibraryPath(PathInDirectory(request.output, log));
    return LibraryPath(request.output);
}

// The output base without its extension, as the library cuts it.
std::string StemOf(const std::string &base) {
    char stem[kPathBufferSize];
    std::snprintf(stem, sizeof stem, "%s", base.c_str());
    ChangeExtension(stem, sizeof stem, "");
    return stem;
}

// What a log's outputs are named before their extensions. A base given by
// -o keeps a last part of digits or a date ("run.1", "flight.2024-06-01"): cut as an
// extension, the runs of two dates would write over each other's files.
std::string OutputStem(const ConvertRequest &request, const std::string &log) {
    const std::string base = OutputBase(request, log);
    const bool named = !request.output.empty() && !IsDirectory(request.output);
    return named && ExtensionIsNumber(base.c_str()) ? base : StemOf(base);
}

// ---- outputs under temporary names ----------------------------------------
// A conversion writes BASE.oem4conv-PID.EXT beside each output and renames
// them to BASE.EXT only when it has ended well, so that a failed, refused or
// interrupted conversion never damages the outputs of an earlier one.
// What an interrupted conversion wrote is kept as BASE-partial.EXT.
constexpr const char *kTemporaryMark = ".oem4conv-";
constexpr const char *kPartialMark = "-partial";
constexpr const char *kReportSuffix = "-report.html";

// The files a conversion writes for the request, by extension.
std::vector<std::string> OutputExtensions(const ConvertRequest &request) {
    std::vector<std::string> extensions;
    if (request.hostFiles) extensions.insert(extensions.end(), {".tsq", ".epp", ".sta"});
    if (request.rinex) extensions.insert(extensions.end(), {".obs", ".nav"});
    // RINEX 2.11 has a navigation file of its own for GLONASS.
    if (request.rinex && request.rinexVersion == 211) extensions.push_back(".gnav");
    // Written only for a log of a receiver's two antennas.
    if (request.rinex) extensions.push_back(kSecondAntennaObsEnd);
    if (request.report) extensions.push_back(".messages");
    return extensions;
}

// "STEM.{tsq,epp,sta}" for a list of extensions; the second antenna's file,
// not an extension of the stem, is named after them in full.
std::string OutputNames(const std::string &stem, const std::vector<std::string> &extensions) {
    std::string list, others;
    for (const std::string &extension : extensions) {
        if (extension[0] != '.') {
            others += (others.empty() ? "" : " and ") + stem + extension;
            continue;
        }
        if (!list.empty()) list += ',';
        list.append(extension, 1);
    }
    if (list.empty()) return others;
    return stem + ".{" + list + "}" + (others.empty() ? "" : " and " + others);
}

// "STEM.tsq, STEM.epp" for a few extensions, in a sentence.
std::string JoinedNames(const std::string &stem, const std::vector<std::string> &extensions) {
    std::string text;
    for (const std::string &extension : extensions) text += (text.empty() ? "" : ", ") + stem + extension;
    return text;
}

// Moves the temporaries of `from` (a stem with its temporary mark) to `to`
// + extension; the observation file's header is given the name it ends up
// with. False, having said why, when one could not be moved.
bool MoveOutputs(const std::string &log, const std::string &from, const std::string &to,
                 const std::vector<std::string> &extensions) {
    bool moved = true;
    for (const std::string &extension : extensions) {
        const std::string source = from + extension;
        const std::string target = to + extension;
        if (KindOfPath(source) != kPathFile) continue;
        if (extension == ".tsq" && SetTsqFileName(source.c_str(), target.c_str()) != 0) {
            PrintError("%s: %s: %s\n", log.c_str(), ErrorText, SystemErrorText(errno).c_str());
            moved = false;
            continue;
        }
        std::string reason;
        if (!MoveIntoPlace(source, target, &reason)) {
            PrintError("%s: cannot put %s in place: %s\n", log.c_str(), target.c_str(), reason.c_str());
            moved = false;
        }
    }
    return moved;
}

void RemoveOutputs(const std::string &from, const std::vector<std::string> &extensions) {
    for (const std::string &extension : extensions) std::remove((from + extension).c_str());
}

// Temporaries of this output base left by a conversion that could not
// finish (killed, or the machine stopped): removed, or with --keep-partial
// kept under the partial names. Those of a conversion still running are
// left alone.
void ClearLeftovers(const ConvertRequest &request, const std::string &log, const std::string &stem) {
    const std::string prefix = stem + kTemporaryMark;
    // The extensions found, by the process that left them.
    std::map<std::string, std::vector<std::string>> left;
    for (const std::string &path : FilesStartingWith(prefix)) {
        if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = path.substr(prefix.size()); // PID.EXT, or PID-antenna2.obs
        const std::size_t end = rest.find_first_not_of("0123456789");
        if (end == 0 || end == std::string::npos || (rest[end] != '.' && rest[end] != '-')) continue;
        const long process = std::strtol(rest.substr(0, end).c_str(), nullptr, 10);
        if (process != ProcessId() && ProcessRunning(process)) continue;
        left[rest.substr(0, end)].push_back(rest.substr(end));
    }
    for (const auto &[process, extensions] : left) {
        const std::string temporary = prefix + process;
        if (request.keepPartial) {
            MoveOutputs(log, temporary, stem + kPartialMark, extensions);
            PrintError("%s: %s, left by a conversion that did not finish, kept as %s%s.*\n", log.c_str(),
                       OutputNames(temporary, extensions).c_str(), stem.c_str(), kPartialMark);
        } else {
            RemoveOutputs(temporary, extensions);
            PrintError("%s: %s, left by a conversion that did not finish, removed\n", log.c_str(),
                       OutputNames(temporary, extensions).c_str());
        }
    }
}

// How many characters the longest temporary name the converter would open
// for this stem has beyond what its paths may hold (0 when it fits), with
// a process number of the most digits a worker's can have.
std::size_t TemporaryNamesOverLimit(const ConvertRequest &request, const std::string &stem) {
    constexpr std::size_t kMostProcessDigits = 10;
    std::size_t longest = 0;
    for (const std::string &extension : OutputExtensions(request)) {
        if (extension != ".messages") longest = std::max(longest, extension.size());
    }
    const std::size_t length = stem.size() + std::strlen(kTemporaryMark) + kMostProcessDigits + longest;
    return length > kPathBufferSize - 1 ? length - (kPathBufferSize - 1) : 0;
}

// Every output of every log is checked before anything is written: two
// logs may not share an output, no output may be a log, and an output name
// that holds something other than a regular file (a directory, a device)
// is not replaced. Returns kExitOk, or the exit status having said why.
// Over 60 lines: one pass over the logs and their outputs, each check
// needing the names the ones before collected.
int CheckOutputs(const ConvertRequest &request) {
    std::map<std::string, std::size_t> logByIdentity;
    for (std::size_t i = 0; i < request.logs.size(); ++i) {
        const std::string identity = FileIdentity(request.logs[i]);
        if (!identity.empty()) logByIdentity.emplace(identity, i);
    }
    std::vector<std::string> extensions = OutputExtensions(request);
    if (request.report) extensions.push_back(kReportSuffix);
    std::map<std::string, std::size_t> logByOutput;
    for (std::size_t i = 0; i < request.logs.size(); ++i) {
        const std::string &log = request.logs[i];
        const std::string stem = OutputStem(request, log);
        if (const std::size_t over = TemporaryNamesOverLimit(request, stem); over != 0) {
            std::fprintf(stderr,
                         "oem4conv: %s: the output base %s is too long: written first under temporary names "
                         "(%s%s<process>.tsq, ...), its outputs pass the %zu characters a path may have here; "
                         "shorten it by %zu\n",
                         log.c_str(), stem.c_str(), stem.c_str(), kTemporaryMark, kPathBufferSize - 1, over);
            return kExitUsage;
        }
        for (const std::string &extension : extensions) {
            const std::string path = stem + extension;
            const auto taken = logByOutput.emplace(PathKey(path), i);
            if (!taken.second && taken.first->second != i) {
                std::fprintf(stderr,
                             "oem4conv: %s and %s would both be converted to %s.*; give them different output "
                             "directories\n",
                             request.logs[taken.first->second].c_str(), log.c_str(), stem.c_str());
                return kExitUsage;
            }
            const PathKind kind = KindOfPath(path);
            if (kind == kPathMissing) continue;
            const auto input = logByIdentity.find(FileIdentity(path));
            if (input != logByIdentity.end() && input->second == i) {
                std::fprintf(stderr, "oem4conv: %s: Error: Output file %s is the input file\n", log.c_str(),
                             path.c_str());
                return kExitFailed;
            }
            if (input != logByIdentity.end()) {
                std::fprintf(stderr, "oem4conv: %s: its output %s is the log %s\n", log.c_str(), path.c_str(),
                             request.logs[input->second].c_str());
                return kExitUsage;
            }
            if (kind != kPathFile) {
                std::fprintf(stderr, "oem4conv: %s: output %s exists and is not a regular file\n", log.c_str(),
                             path.c_str());
                return kExitFailed;
            }
        }
    }
    return kExitOk;
}

// The GPS time span of the epochs in the observation file just written:
// as the conversion counted them when it succeeded (the file holds every
// epoch it took), else as the file holds them (a failed write may have lost
// the last ones), and then how many it holds where that is fewer than
// the count.
void PrintTimeSpan(const std::string &path, bool succeeded, const ConversionStats &stats, uint32_t counted) {
    static TsqReader reader;
    static EpochRecord epoch;
    static MeasRecord meas[kTsqMaxMeasurements];
    bool any = false;
    uint32_t held = 0;
    uint32_t unknownWeek = 0;
    double firstTime = 0, lastTime = 0;
    int firstWeek = 0, lastWeek = 0;
    if (succeeded) {
        any = stats.epochsTaken != 0;
        firstWeek = static_cast<int>(stats.firstWeek);
        firstTime = stats.firstTime;
        lastWeek = static_cast<int>(stats.lastWeek);
        lastTime = stats.lastTime;
        unknownWeek = stats.unknownWeekEpochs;
    } else {
        if (OpenTsqReader(&reader, path.c_str()) != 0) return;
        while (ReadTsqEpoch(&reader, &epoch, meas, kTsqMaxMeasurements) == TSQ_EPOCH_READ) {
            ++held;
            if (IsUnsetWeek(epoch.week)) {
                ++unknownWeek;
                continue;
            }
            if (!any) {
                firstTime = epoch.receiverTime;
                firstWeek = epoch.week;
                any = true;
            }
            lastTime = epoch.receiverTime;
            lastWeek = epoch.week;
        }
        CloseTsqReader(&reader);
    }
    if (!succeeded && held < counted) std::printf("; the observation file holds %u of the epochs", held);
    if (any) {
        const double span = (lastWeek - firstWeek) * static_cast<double>(kSecondsPerWeek) + lastTime - firstTime;
        std::printf("; GPS week %d %.3f to week %d %.3f", firstWeek, firstTime, lastWeek, lastTime);
        // A log whose time goes back (logs joined out of order) has no span.
        if (span >= 0.0) {
            std::printf(" (%.3f s)", span);
        } else {
            std::printf(" (the log's time goes back)");
        }
    }
    if (unknownWeek != 0) {
        std::printf("; %u epoch%s of GPS week 0 (the receiver had not yet set its time)", unknownWeek,
                    unknownWeek == 1 ? "" : "s");
    }
}

// What the conversion could not put into the observation file, on a line of
// its own under the summary; nothing when all of it went in.
void PrintLeftOut(const ConversionStats &stats, uint32_t channels, bool rinex) {
    std::string line;
    char part[160];
    const ScreeningStats &s = stats.screening;
    for (uint32_t system = 0; system < kSystemCount; ++system) {
        if (s.leftOut[system] == 0) continue;
        std::snprintf(part, sizeof part, "%s%llu %s", line.empty() ? "" : ", ",
                      static_cast<unsigned long long>(s.leftOut[system]), SystemName(system));
        line += part;
    }
    if (!line.empty()) line = "observations left out: " + line;
    auto add = [&line](const char *text) {
        if (!line.empty()) line += "; ";
        line += text;
    };
    if (s.cutEpochs != 0) {
        std::snprintf(part, sizeof part, "%u epochs cut to %u channels (%llu satellites left out)", s.cutEpochs,
                      channels, static_cast<unsigned long long>(s.cutSatellites));
        add(part);
    }
    if (s.maxchanObservations != 0) {
        std::snprintf(part, sizeof part, "%u compressed records over %u observations (%llu left out)", s.maxchanRecords,
                      s.maxchanLimit, static_cast<unsigned long long>(s.maxchanObservations));
        add(part);
    }
    if (s.refusedRecords + stats.refusedEpochs != 0) {
        std::snprintf(part, sizeof part, "%u epochs refused", s.refusedRecords + stats.refusedEpochs);
        add(part);
    }
    // Without RINEX a second antenna has no file: a whole antenna's data
    // left out, which -q must not hide.
    if (stats.secondAntennaRanges != 0 && !rinex) {
        std::snprintf(part, sizeof part, "%u range records of a second antenna skipped", stats.secondAntennaRanges);
        add(part);
    }
    // Pulses the mark file does not hold: -q must not hide them.
    if (stats.markPositionsOnly != 0) {
        std::snprintf(part, sizeof part, "%u mark%s logged by %s alone not converted", stats.markPositionsOnly,
                      stats.markPositionsOnly == 1 ? "" : "s", stats.markPositionsByPva ? "MARK1PVA" : "MARKPOS");
        add(part);
    }
    if (stats.otherMarkInputs != 0) {
        std::snprintf(part, sizeof part, "%u mark%s of other mark inputs (MARK2TIME...) not converted",
                      stats.otherMarkInputs, stats.otherMarkInputs == 1 ? "" : "s");
        add(part);
    }
    // What was wrong with the log itself.
    if (stats.truncatedAt >= 0) {
        std::snprintf(part, sizeof part, "the log ends inside a record that starts at byte %lld",
                      static_cast<long long>(stats.truncatedAt));
        add(part);
    }
    if (stats.timeReversals != 0) {
        std::snprintf(part, sizeof part, "the log's time goes back %u time%s", stats.timeReversals,
                      stats.timeReversals == 1 ? "" : "s");
        add(part);
    }
    if (!line.empty()) std::printf("  %s\n", line.c_str());
}

// Why a log holding range records gave no epoch.
const char *NoEpochReason(const ConversionStats &stats) {
    const ScreeningStats &s = stats.screening;
    if (stats.refusedEpochs != 0) return "the observation file refused every epoch";
    if (s.rangeRecords == 0) {
        return "every range record is a second antenna's (--rinex writes them into BASE-antenna2.obs)";
    }
    if (s.refusedRecords == s.rangeRecords) {
        return "every range record was refused (too many observations or satellites)";
    }
    return "no range record holds a GPS, GLONASS or SBAS L1 C/A observation";
}

// The summary line of one log, and the line of what it left out.
void PrintSummary(const std::string &log, const char *outcome, const ConvertOptions &options,
                  const ConversionStats &stats, const std::string &tsqPath, bool succeeded) {
    std::printf("%s: %s, %u epochs, %u ephemerides, %u marks, %u messages", log.c_str(), outcome, options.epochCount,
                options.ephemerisCount, options.markCount, g_messageCount);
    if (g_informationalCount != 0) std::printf(" (%u informational)", g_informationalCount);
    // Damage of the log: nothing is said for a log that has none.
    if (stats.records != 0 && stats.bytesSkipped != 0) {
        std::printf(", %llu bytes skipped", static_cast<unsigned long long>(stats.bytesSkipped));
        if (stats.otherKindBytes != 0) {
            std::printf(" (%llu in records of other kinds)", static_cast<unsigned long long>(stats.otherKindBytes));
        }
    }
    if (stats.crcFailures != 0) {
        std::printf(", %u record%s dropped (CRC)", stats.crcFailures, stats.crcFailures == 1 ? "" : "s");
    }
    if (stats.lengthFailures != 0) {
        std::printf(", %u record%s dropped (length)", stats.lengthFailures, stats.lengthFailures == 1 ? "" : "s");
    }
    if (!tsqPath.empty()) PrintTimeSpan(tsqPath, succeeded, stats, options.epochCount);
    std::printf("\n");
}

// After a conversion put its outputs in place: the files of the base that
// an earlier conversion wrote and this one did not. Its report and kept
// messages tell of host files now replaced, so they go (a report made
// again would count the old messages); RINEX files of a run with other
// options are data, kept, and said to be the earlier run's.
void SettleEarlierOutputs(const std::string &stem, const std::vector<std::string> &written,
                          const ConvertRequest &request) {
    auto earlier = [&](const std::string &extension) {
        return std::find(written.begin(), written.end(), extension) == written.end() &&
               KindOfPath(stem + extension) == kPathFile;
    };
    std::vector<std::string> removed, kept;
    if (request.hostFiles && !request.report) {
        for (const std::string extension : {".messages", kReportSuffix}) {
            if (earlier(extension) && std::remove((stem + extension).c_str()) == 0) removed.push_back(extension);
        }
    }
    for (const std::string extension : {".obs", ".nav", ".gnav", kSecondAntennaObsEnd}) {
        if (earlier(extension)) kept.push_back(extension);
    }
    if (!removed.empty()) {
        std::printf("  removed %s of the conversion these outputs replace\n", JoinedNames(stem, removed).c_str());
    }
    if (!kept.empty()) {
        std::printf("  %s: an earlier conversion's, not replaced by this one\n", JoinedNames(stem, kept).c_str());
    }
}

// How a conversion ended decides what becomes of its outputs.
enum Fate { kPutInPlace, kKeepPartial, kRemove };

// The temporaries still there moved to the partial names; returns the
// extensions moved. Named as they are: only the files the conversion had
// opened, and only those that could be moved.
std::vector<std::string> KeepAsPartial(const std::string &log, const std::string &temporary, const std::string &partial,
                                       const std::vector<std::string> &extensions) {
    std::vector<std::string> kept;
    for (const std::string &extension : extensions) {
        if (KindOfPath(temporary + extension) == kPathFile) kept.push_back(extension);
    }
    MoveOutputs(log, temporary, partial, kept);
    std::erase_if(kept, [&](const std::string &extension) { return KindOfPath(temporary + extension) == kPathFile; });
    return kept;
}

// Puts the outputs in place (those put, into `placed`), keeps them as
// partial or removes them; false when they could not be put in place.
// Outputs that could not be put in place are kept as partial with
// `keepUnplaced` (--keep-partial): the conversion itself ended well, and an
// output held open by another program must not cost it.
bool SettleOutputs(Fate fate, const std::string &log, const std::string &temporary, const std::string &stem,
                   const std::vector<std::string> &extensions, bool interrupted, bool keepUnplaced,
                   std::vector<std::string> *placed) {
    const std::string partial = stem + kPartialMark;
    if (fate == kPutInPlace) {
        const auto keepOrRemove = [&] {
            if (keepUnplaced) {
                const std::vector<std::string> kept = KeepAsPartial(log, temporary, partial, extensions);
                if (!kept.empty()) {
                    PrintError("%s: this conversion's outputs not put in place are kept in %s\n", log.c_str(),
                               OutputNames(partial, kept).c_str());
                }
            }
            RemoveOutputs(temporary, extensions);
        };
        // Every output the conversion wrote must still be there before any
        // replaces an earlier one: one removed during the conversion (or
        // its folder removed or renamed) is an output lost, and the library,
        // writing on into the unlinked file, cannot tell. Only the second
        // antenna's file is written for some logs alone.
        for (const std::string &extension : extensions) {
            if (extension == kSecondAntennaObsEnd || KindOfPath(temporary + extension) == kPathFile) continue;
            PrintError("%s: Error: %s%s was lost: it, or its folder, was removed or renamed during the conversion\n",
                       log.c_str(), stem.c_str(), extension.c_str());
            keepOrRemove();
            return false;
        }
        // The observation file first, the one a host may hold open: the
        // first that cannot be put in place stops the rest, so that the
        // earlier set is replaced whole or not at all unless a later one
        // fails, which is then said.
        for (const std::string &extension : extensions) {
            if (KindOfPath(temporary + extension) != kPathFile) continue;
            if (!MoveOutputs(log, temporary, stem, {extension})) {
                keepOrRemove();
                if (!placed->empty()) {
                    PrintError("%s: %s already replaced by this conversion's; the other outputs are the earlier "
                               "ones\n",
                               log.c_str(), JoinedNames(stem, *placed).c_str());
                }
                return false;
            }
            placed->push_back(extension);
        }
        return true;
    }
    if (fate == kRemove) {
        RemoveOutputs(temporary, extensions);
        return true;
    }
    const std::vector<std::string> kept = KeepAsPartial(log, temporary, partial, extensions);
    const char *why = interrupted ? "interrupted" : "not converted to its end";
    if (kept.empty()) {
        PrintError("%s: %s; nothing of it could be kept\n", log.c_str(), why);
    } else {
        PrintError("%s: %s; what was converted is kept in %s\n", log.c_str(), why, OutputNames(partial, kept).c_str());
    }
    return true;
}

// Says why a conversion did not end well, on standard error.
void ReportFailure(const std::string &log, int32_t result, bool interrupted, bool notALog, bool noEpochs,
                   const ConversionStats &stats) {
    if (result != 0) {
        char text[512];
        GetErrString(text);
        const std::string shown = WithFinalNames(text);
        // The error that ended the conversion is shown here, once; one held
        // back that was another goes to the message stream after all.
        if (g_heldError != shown) ReleaseHeldError();
        g_heldError.clear();
        // An interruption is told with where its outputs were kept; a failed
        // standard output has been told already.
        if (!interrupted && !g_stdoutFailed) {
            const std::string plain = PlainMessage(shown);
            if (stats.osError != 0) {
                PrintError("%s: %s: %s\n", log.c_str(), plain.c_str(), SystemErrorText(stats.osError).c_str());
            } else {
                PrintError("%s: %s\n", log.c_str(), plain.c_str());
            }
        }
    }
    ReleaseHeldError();
    if (notALog && AutoDetect(log.c_str()) == 1) {
        // Records of other kinds only: a log, but nothing in it to convert.
        PrintError("%s: no record that the converter reads (see --help) was found\n", log.c_str());
    } else if (notALog) {
        const OtherFileKind *kind = KindOfOtherFile(log);
        PrintError("%s: not an OEM4 binary log (no record found)%s%s%s%s\n", log.c_str(), kind ? "; it is " : "",
                   kind ? kind->what : "", kind ? ": " : "", kind ? kind->advice : "");
    }
    if (noEpochs) {
        const uint32_t records =
            stats.screening.rangeRecords != 0 ? stats.screening.rangeRecords : stats.secondAntennaRanges;
        PrintError("%s: no epoch written from %u range records: %s\n", log.c_str(), records, NoEpochReason(stats));
        // The RINEX file went with the empty host files: say how to keep it.
        if (stats.rinexEpochs != 0) {
            PrintError("%s: the RINEX observation file held %u epochs; --rinex-only writes it without the "
                       "observation file\n",
                       log.c_str(), stats.rinexEpochs);
        }
    }
}

// Converts one log in this process; 0 when it converted to its end.
// Over 60 lines: the one log's steps from the options to its outputs put in
// place, each using what the one before found.
int ConvertOne(const ConvertRequest &request, const std::string &log, bool showBar) {
    // A directory is no log: refused before its outputs are named, with the
    // same reason on every system.
    if (IsDirectory(log)) {
        PrintError("%s: Error: Unable to read %s: %s\n", log.c_str(), log.c_str(), SystemErrorText(EISDIR).c_str());
        return kExitFailed;
    }
    const std::string stem = OutputStem(request, log);
    const std::string temporary = stem + kTemporaryMark + std::to_string(ProcessId());
    const std::vector<std::string> extensions = OutputExtensions(request);
    ClearLeftovers(request, log, stem);
    // The library replaces the extension: ".x" gives way to ".tsq" and the
    // others.
    const std::string libraryBase = temporary + ".x";
    auto options = std::make_unique<ConvertOptions>();
    std::memset(options.get(), 0, sizeof(ConvertOptions));
    options->structSize = sizeof(ConvertOptions);
    options->optionsSize = sizeof(Oem4Options);
    std::memcpy(options->converterOptions, &request.options, sizeof(Oem4Options));
    // Longer names are passed cut without their NUL: the library refuses
    // them with its own message rather than converting to a wrong path.
    std::memcpy(options->inputFile, log.c_str(), std::min(log.size(), sizeof options->inputFile));
    std::memcpy(options->outputFile, libraryBase.c_str(), std::min(libraryBase.size(), sizeof options->outputFile));

    ConvertHost host;
    std::memset(&host, 0, sizeof host);
    host.structSize = sizeof(ConvertHost);
    host.onMessage = OnMessage;
    host.onProgress = OnProgress;

    g_quiet = request.quiet;
    g_verbose = request.verbose;
    g_showBar = showBar;
    g_messageCount = 0;
    g_informationalCount = 0;
    g_heldError.clear();
    g_recordPercent = -1;
    g_temporaryStem = temporary;
    g_stem = stem;
    ConvertRinexOptions rinex{};
    rinex.enabled = request.rinex ? 1 : 0;
    rinex.hostFiles = request.hostFiles ? 1 : 0;
    std::snprintf(rinex.markerName, sizeof rinex.markerName, "%s", request.marker.c_str());
    rinex.version = request.rinexVersion;
    SetConvertRinex(&rinex);
    // What the skipped bytes hold costs a second read of the log: worth it
    // where the user asked for the report or every notice.
    SetConvertCensus(request.report || request.options.reportAll != 0);
    if (!request.quiet) {
        // The conversion's own outputs; the kept messages go with the report.
        std::vector<std::string> shown = extensions;
        if (request.report) shown.pop_back();
        // The second antenna's file is told of when the log has one.
        std::erase(shown, std::string(kSecondAntennaObsEnd));
        std::printf("%s -> %s\n", log.c_str(), OutputNames(stem, shown).c_str());
    }
    if (!StdoutWorks()) {
        ReportStdoutFailure();
        return kExitFailed;
    }

    if (request.report) {
        g_messageFile = std::fopen((temporary + ".messages").c_str(), "w");
        if (g_messageFile == nullptr) {
            PrintError("%s: Error: Unable to open %s.messages: %s\n", log.c_str(), stem.c_str(), std::strerror(errno));
            return kExitFailed;
        }
    }

    // Each log is a session of its own, in this process as in a worker's.
    StartNewSession();
    const int32_t result = ConvertFile(options.get(), &host, 0);
    ClearBar();
    bool messagesKept = true;
    if (g_messageFile != nullptr) {
        messagesKept = std::fflush(g_messageFile) == 0 && std::ferror(g_messageFile) == 0;
        const int error = errno;
        if (std::fclose(g_messageFile) != 0) messagesKept = false;
        g_messageFile = nullptr;
        if (!messagesKept) {
            PrintError("%s: Error: Unable to write to %s.messages: %s\n", log.c_str(), stem.c_str(),
                       std::strerror(error));
        }
    }
    const ConversionStats &stats = LastConversionStats();
    const bool interrupted = result != 0 && g_interrupts != 0 && !g_stdoutFailed;
    // An input in which no record was found is no log, and a log whose range
    // records gave nothing is no conversion, whatever the library's result
    // says: the user would find empty outputs.
    const bool notALog = result == 0 && stats.records == 0;
    // Range records of a second antenna alone go to its RINEX file, and
    // without --rinex nowhere.
    const bool secondAntennaOnly = stats.screening.rangeRecords == 0 && stats.secondAntennaRanges != 0;
    const bool noEpochs = result == 0 && !notALog && options->epochCount == 0 &&
                          (stats.screening.rangeRecords != 0 || (secondAntennaOnly && !request.rinex));
    const bool converted = result == 0 && !notALog && !noEpochs && messagesKept && !g_stdoutFailed;
    if (!converted) ReportFailure(log, result, interrupted, notALog, noEpochs, stats);
    ReleaseHeldError();
    if (!g_stdoutFailed) {
        PrintSummary(log, converted ? "converted" : "FAILED", *options, stats,
                     request.hostFiles ? temporary + ".tsq" : std::string(), result == 0);
        // What BASE.tsq could not hold; RINEX alone writes no BASE.tsq.
        if (result == 0 && request.hostFiles) {
            PrintLeftOut(stats, request.options.channels != 0 ? request.options.channels : OEM4CONV_DEFAULT_CHANNELS,
                         request.rinex);
        }
        // A log of ephemerides or marks alone converts, but a receiver whose
        // range logging was forgotten must not pass for one without epochs.
        if (converted && secondAntennaOnly) {
            std::printf("  every range record is a second antenna's: its epochs are in %s-antenna2.obs only\n",
                        stem.c_str());
        } else if (converted && stats.screening.rangeRecords == 0) {
            std::printf(
                "  no range record (RANGE, RANGECMP, RANGECMP2, RANGECMP4 or RANGECMP5) in the log: no epoch\n");
        }
    }
    const bool reported = StdoutWorks();
    Fate fate = converted && reported ? kPutInPlace : kRemove;
    if (!converted && !notALog && (interrupted || request.keepPartial)) fate = kKeepPartial;
    std::vector<std::string> placed;
    const bool settled =
        SettleOutputs(fate, log, temporary, stem, extensions, interrupted, request.keepPartial, &placed);
    g_temporaryStem.clear();
    if (!reported) ReportStdoutFailure();
    if (fate != kPutInPlace) return kExitFailed;
    if (!settled) {
        // The summary above was printed before the outputs were put in
        // place (output that cannot be shown must stop them): the log's
        // last line on standard output says what became of it.
        std::printf("%s: FAILED: its outputs could not be put in place\n", log.c_str());
        if (!StdoutWorks()) ReportStdoutFailure();
        return kExitFailed;
    }
    SettleEarlierOutputs(stem, placed, request);
    if (!StdoutWorks()) {
        ReportStdoutFailure();
        return kExitFailed;
    }
    if (request.report) {
        report::ReportRequest report;
        report.base = stem + ".x";
        report.htmlPath = stem + kReportSuffix;
        report.messagesPath = stem + ".messages";
        report.summary = request.quiet ? nullptr : stdout;
        std::string error;
        if (report::BuildQualityReport(report, &error) != report::kReportOk) {
            PrintError("%s: report not written: %s\n", log.c_str(), error.c_str());
            return kExitFailed;
        }
        std::printf("Report: %s\n", report.htmlPath.c_str());
        if (!StdoutWorks()) {
            ReportStdoutFailure();
            return kExitFailed;
        }
    }
    return kExitOk;
}

int ConvertInProcess(const ConvertRequest &request) {
    const bool showBar = request.progress && !request.quiet && IsConsole(stderr);
    int status = kExitOk;
    for (const std::string &log : request.logs) {
        if (g_interrupts != 0 || g_stdoutFailed) {
            std::fprintf(stderr, "oem4conv: %s: not converted (%s)\n", log.c_str(),
                         g_stdoutFailed ? "standard output failed" : "interrupted");
            status = kExitFailed;
            continue;
        }
        if (ConvertOne(request, log, showBar) != kExitOk) {
            status = kExitFailed;
            ++g_failed;
        } else {
            ++g_converted;
        }
    }
    return status;
}

// Whether the parent shows the workers' progress; a worker asks the same
// question of the same standard error.
bool ShowWorkerProgress(const ConvertRequest &request) {
    return request.progress && !request.quiet && IsConsole(stderr);
}

int ConvertLogInWorker(const ConvertRequest &request, std::size_t log) {
    g_giveUpAt = 4;
    g_progressRecords = ShowWorkerProgress(request);
    return ConvertOne(request, request.logs[log], false);
}

// What the parent shows of one running worker.
struct WorkerProgress {
    std::size_t scanned = 0; // output before this holds no progress record
    int percent = 0;
    unsigned long epochs = 0;
};

// Takes the complete records out of a worker's output: its progress, and
// the lines it has for standard error (appended to `errors`).
void TakeWorkerRecords(std::string *output, WorkerProgress *progress, std::string *errors) {
    static const char kRecords[] = {kProgressRecord, kErrorRecord, '\0'};
    std::size_t at = output->find_first_of(kRecords, progress->scanned);
    while (at != std::string::npos) {
        const std::size_t end = output->find('\n', at);
        if (end == std::string::npos) break;
        if ((*output)[at] == kErrorRecord) {
            errors->append(*output, at + 1, end - at);
        } else {
            int percent = 0;
            unsigned long epochs = 0;
            if (std::sscanf(output->c_str() + at + 1, "%d %lu", &percent, &epochs) == 2) {
                progress->percent = percent;
                progress->epochs = epochs;
            }
        }
        output->erase(at, end + 1 - at);
        at = output->find_first_of(kRecords, at);
    }
    progress->scanned = at == std::string::npos ? output->size() : at;
}

// The live lines of a -j run on a terminal: the count of logs done, then
// one line per running worker. Redrawn in place; taken away before a
// worker's report is printed.
class WorkerDisplay {
public:
    explicit WorkerDisplay(bool shown) : shown_(shown) {}
    void Erase() {
        if (!shown_ || drawn_ == 0) return;
        ConsoleLinesUp(stderr, drawn_);
        for (int i = 0; i < drawn_; ++i) {
            ClearConsoleLine(stderr);
            std::fputc('\n', stderr);
        }
        ConsoleLinesUp(stderr, drawn_);
        std::fflush(stderr);
        drawn_ = 0;
    }
    void Draw(const ConvertRequest &request, const std::vector<WorkerProcess> &running,
              const std::vector<WorkerProgress> &progress, std::size_t finished) {
        if (!shown_) return;
        // Each line overwritten in place, so that nothing flickers.
        ConsoleLinesUp(stderr, drawn_);
        ClearConsoleLine(stderr);
        std::fprintf(stderr, "  %zu of %zu logs done\n", finished, request.logs.size());
        for (const WorkerProcess &w : running) {
            const WorkerProgress &p = progress[w.log];
            ClearConsoleLine(stderr);
            std::fprintf(stderr, "    %s  %3d %%  %lu epochs\n", ShortName(request.logs[w.log]).c_str(), p.percent,
                         p.epochs);
        }
        const int lines = 1 + static_cast<int>(running.size());
        for (int i = lines; i < drawn_; ++i) {
            ClearConsoleLine(stderr);
            std::fputc('\n', stderr);
        }
        if (drawn_ > lines) ConsoleLinesUp(stderr, drawn_ - lines);
        drawn_ = lines;
        std::fflush(stderr);
    }

private:
    // The end of a long path, so that a line fits a terminal.
    static std::string ShortName(const std::string &log) {
        constexpr std::size_t kMost = 48;
        return log.size() <= kMost ? log : "..." + log.substr(log.size() - (kMost - 3));
    }
    bool shown_;
    int drawn_ = 0;
};

// Each worker converts one log; its report is printed in one piece when it
// ends, so the reports of parallel conversions never interleave.
// Over 60 lines: the loop that starts, watches and ends the workers.
int ConvertInWorkers(const ConvertRequest &request, int jobs) {
    WorkerDisplay display(ShowWorkerProgress(request));
    std::vector<WorkerProgress> progress(request.logs.size());
    std::vector<WorkerProcess> running;
    std::size_t next = 0;
    std::size_t finished = 0;
    bool forwarded = false;
    int status = kExitOk;

    while (next < request.logs.size() || !running.empty()) {
        while (g_interrupts == 0 && !g_stdoutFailed && next < request.logs.size() &&
               running.size() < static_cast<std::size_t>(jobs)) {
            WorkerProcess worker;
            if (!StartWorker(request, next, ConvertLogInWorker, running, &worker)) break;
            running.push_back(worker);
            ++next;
        }
        if (running.empty()) break; // interrupted, or no process could be started
        // Reports that cannot be printed stop the workers as Ctrl-C does.
        if ((g_interrupts != 0 || g_stdoutFailed) && !forwarded) {
            InterruptWorkers(running);
            forwarded = true;
        }
        display.Draw(request, running, progress, finished);

        WaitForWorkers(&running);
        std::string errors;
        for (WorkerProcess &w : running) TakeWorkerRecords(&w.output, &progress[w.log], &errors);
        if (!errors.empty()) {
            display.Erase();
            std::fputs(errors.c_str(), stderr);
        }
        for (std::size_t i = running.size(); i-- > 0;) {
            WorkerProcess &w = running[i];
            if (!w.closed) continue;
            std::string abnormal;
            if (EndWorker(&w, &abnormal) != kExitOk) {
                status = kExitFailed;
                ++g_failed;
            } else {
                ++g_converted;
            }
            display.Erase();
            if (!g_stdoutFailed) {
                std::fwrite(w.output.data(), 1, w.output.size(), stdout);
                // A worker killed outright (out of memory, kill -9) said
                // nothing of its log: which one it was is told here.
                if (!abnormal.empty()) {
                    PrintError("%s: the worker converting it %s; nothing of it was put in place\n",
                               request.logs[w.log].c_str(), abnormal.c_str());
                }
                if (!StdoutWorks()) ReportStdoutFailure();
            }
            ++finished;
            running.erase(running.begin() + static_cast<long>(i));
        }
    }
    display.Erase();
    for (std::size_t i = next; i < request.logs.size(); ++i) {
        std::fprintf(stderr, "oem4conv: %s: not converted (%s)\n", request.logs[i].c_str(),
                     g_stdoutFailed      ? "standard output failed"
                     : g_interrupts != 0 ? "interrupted"
                                         : "no worker process could be started");
        status = kExitFailed;
    }
    return status;
}

} // namespace

namespace {

// A NovAtel ASCII log: lines of "#NAMEA," (or "%NAMEA," for the short
// header); the first whole line may follow a cut one when logging began
// mid-line.
bool IsAsciiLog(const char *head) {
    for (const char *p = head; p != nullptr && *p != '\0'; p = std::strchr(p, '\n')) {
        while (*p == '\n' || *p == '\r' || *p == ' ' || *p == '\t') ++p;
        if (*p != '#' && *p != '%') continue;
        const char *name = ++p;
        while ((*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')) ++p;
        if (p - name >= 2 && p[-1] == 'A' && *p == ',') return true;
    }
    return false;
}

} // namespace

const OtherFileKind *KindOfOtherFile(const std::string &log) {
    std::FILE *in = std::fopen(log.c_str(), "rb");
    if (in == nullptr) return nullptr;
    char head[512];
    const std::size_t n = std::fread(head, 1, sizeof head - 1, in);
    std::fclose(in);
    head[n] = '\0';
    // Packed logs, by their first bytes: as they came from a receiver's
    // card or a colleague's mail.
    static constexpr struct {
        std::string_view magic;
        OtherFileKind kind;
    } kPacked[] = {
        {"\x1f\x8b", {"a gzip-compressed file", "decompress it first"}},
        {"BZh", {"a bzip2-compressed file", "decompress it first"}},
        {"\xfd"
         "7zXZ",
         {"an xz-compressed file", "decompress it first"}},
        {"PK\x03\x04", {"a zip archive", "extract the log from it first"}},
        {"7z\xbc\xaf\x27\x1c", {"a 7-Zip archive", "extract the log from it first"}},
    };
    for (const auto &packed : kPacked) {
        if (std::string_view(head, n).substr(0, packed.magic.size()) == packed.magic) return &packed.kind;
    }
    static constexpr OtherFileKind kAscii = {"a NovAtel ASCII log", "only binary logs convert"};
    static constexpr OtherFileKind kRinex = {"a RINEX file", "give the receiver's binary log"};
    if (IsAsciiLog(head)) return &kAscii;
    if (std::strstr(head, "RINEX VERSION / TYPE") != nullptr) return &kRinex;
    return nullptr;
}

// -o names a directory to create when it ends in a separator; otherwise the
// directory it names, or the one its base lies in, must exist. Returns
// kExitOk, or the exit status having said why not.
int PrepareOutputDirectory(const ConvertRequest &request) {
    const std::string &output = request.output;
    if (output.empty() || IsDirectory(output)) return kExitOk;
    if (EndsWithSeparator(output)) {
        std::string reason;
        if (MakeDirectories(output, &reason)) return kExitOk;
        std::fprintf(stderr, "oem4conv: cannot create the directory %s: %s\n", output.c_str(), reason.c_str());
        return kExitFailed;
    }
    if (request.logs.size() > 1) {
        std::fprintf(stderr, "oem4conv: with several LOGs, -o must name a directory (one that exists, or ends in "
                             "'/' to be created)\n"
                             "Try 'oem4conv --help'.\n");
        return kExitUsage;
    }
    const std::string directory = DirectoryOf(output);
    if (!directory.empty() && !IsDirectory(directory)) {
        if (KindOfPath(directory) != kPathMissing) {
            std::fprintf(stderr, "oem4conv: %s is not a directory\n", directory.c_str());
        } else {
            std::fprintf(stderr, "oem4conv: the directory %s does not exist (end -o with '/' to create it)\n",
                         directory.c_str());
        }
        return kExitUsage;
    }
    return kExitOk;
}

int RunConvert(const ConvertRequest &request) {
    InstallInterruptHandler(OnInterrupt);
    std::size_t workerLog = 0;
    if (IsWorkerProcess(&workerLog)) {
        if (workerLog >= request.logs.size()) {
            std::fprintf(stderr, "oem4conv: the worker's command line names no log %zu\n", workerLog);
            return kExitUsage;
        }
        return ConvertLogInWorker(request, workerLog);
    }
    // Nothing is written before every output is known to be safe to write.
    int ready = PrepareOutputDirectory(request);
    if (ready == kExitOk) ready = CheckOutputs(request);
    if (ready != kExitOk) return ready;
    int jobs = request.jobs;
    if (jobs <= 0) jobs = ProcessorCount();
    int status = kExitOk;
    if (jobs > 1 && request.logs.size() > 1) {
        status = ConvertInWorkers(request, jobs);
    } else {
        status = ConvertInProcess(request);
    }
    if (request.logs.size() > 1 && !g_stdoutFailed) {
        if (status == kExitOk) {
            std::printf("%zu logs, all converted\n", request.logs.size());
        } else {
            std::printf("%zu logs: %zu converted, %zu failed", request.logs.size(), g_converted, g_failed);
            const std::size_t notStarted = request.logs.size() - g_converted - g_failed;
            if (notStarted != 0) std::printf(", %zu not started", notStarted);
            std::printf("\n");
        }
        if (!StdoutWorks()) ReportStdoutFailure();
    }
    return g_stdoutFailed ? kExitFailed : status;
}
