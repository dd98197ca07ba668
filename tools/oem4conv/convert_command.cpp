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
#include <memory>
#include <string>
#include <vector>

#include "api/convert.h"
#include "commands.h"
#include "oem4/signals.h"
#include "output/tsq_reader.h"
#include "platform.h"
#include "report.h"
#include "shown_messages.h"

namespace {

constexpr int kBarWidth = 30;
constexpr double kSecondsPerWeek = 604800.0;

// Ctrl-C asks the library to stop after its current block. A third press
// gives up on a clean stop (a worker may see two: the terminal's and the
// one its parent forwards).
volatile std::sig_atomic_t g_interrupts = 0;

void OnInterrupt() {
    Abort();
    g_interrupts = g_interrupts + 1;
    if (g_interrupts >= 3) std::_Exit(130);
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

void ClearBar() {
    if (!g_barShown) return;
    ClearConsoleLine(stderr);
    std::fflush(stderr);
    g_barShown = false;
    g_barPercent = -1;
}

void PrintMessage(double time, const std::string &text) {
    ClearBar();
    const std::string plain = PlainMessage(text);
    if (time >= 0.0) {
        std::printf("  %12.3f  %s\n", time, plain.c_str());
    } else {
        std::printf("  %12s  %s\n", "-", plain.c_str());
    }
    std::fflush(stdout);
}

void ReleaseHeldError() {
    if (g_heldError.empty()) return;
    PrintMessage(g_heldErrorTime, g_heldError);
    g_heldError.clear();
}

void OEM4CONV_CALL OnMessage(double time, const char *text) {
    ++g_messageCount;
    const MessageKind kind = KindOfMessage(text);
    if (kind == MessageKind::kInformational) ++g_informationalCount;
    if (g_messageFile != nullptr) {
        if (time >= 0.0) {
            std::fprintf(g_messageFile, "%.3f  %s\n", time, text);
        } else {
            std::fprintf(g_messageFile, "-  %s\n", text);
        }
    }
    if (g_quiet) return;
    ReleaseHeldError();
    if (kind == MessageKind::kInformational && !g_verbose) return;
    if (kind == MessageKind::kError) {
        g_heldError = text;
        g_heldErrorTime = time;
        return;
    }
    PrintMessage(time, text);
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
        std::fflush(stdout);
        std::fputs("oem4conv: ", stderr);
        std::vfprintf(stderr, format, args);
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

// The GPS time span of the epochs in the observation file just written.
void PrintTimeSpan(const std::string &base) {
    char path[kPathBufferSize];
    std::snprintf(path, sizeof path, "%s", base.c_str());
    if (base.size() >= sizeof path || ChangeExtension(path, sizeof path, ".tsq") != 0) return;

    static TsqReader reader;
    static EpochRecord epoch;
    static MeasRecord meas[kTsqMaxMeasurements];
    if (OpenTsqReader(&reader, path) != 0) return;
    bool any = false;
    double firstTime = 0, lastTime = 0;
    int firstWeek = 0, lastWeek = 0;
    while (ReadTsqEpoch(&reader, &epoch, meas, kTsqMaxMeasurements) == TSQ_EPOCH_READ) {
        if (!any) {
            firstTime = epoch.receiverTime;
            firstWeek = epoch.week;
            any = true;
        }
        lastTime = epoch.receiverTime;
        lastWeek = epoch.week;
    }
    CloseTsqReader(&reader);
    if (!any) return;
    const double span = (lastWeek - firstWeek) * kSecondsPerWeek + lastTime - firstTime;
    std::printf("; GPS week %d %.3f to week %d %.3f (%.3f s)", firstWeek, firstTime, lastWeek, lastTime, span);
}

// What the conversion could not put into the observation file, on a line of
// its own under the summary; nothing when all of it went in.
void PrintLeftOut(const ConversionStats &stats, uint32_t channels) {
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
        std::snprintf(part, sizeof part, "%u compressed records over 24 observations (%llu left out)", s.maxchanRecords,
                      static_cast<unsigned long long>(s.maxchanObservations));
        add(part);
    }
    if (s.refusedRecords + stats.refusedEpochs != 0) {
        std::snprintf(part, sizeof part, "%u epochs refused", s.refusedRecords + stats.refusedEpochs);
        add(part);
    }
    if (!line.empty()) std::printf("  %s\n", line.c_str());
}

// Why a log holding range records gave no epoch.
const char *NoEpochReason(const ConversionStats &stats) {
    const ScreeningStats &s = stats.screening;
    if (stats.refusedEpochs != 0) return "the observation file refused every epoch";
    if (s.refusedRecords == s.rangeRecords) {
        return "every range record was refused (too many observations or satellites)";
    }
    return "no range record holds a GPS, GLONASS or SBAS L1 C/A observation";
}

// Converts one log in this process; 0 when it converted to its end.
// Over 60 lines: the one log's steps from the options to the summary line,
// each using what the one before found.
int ConvertOne(const ConvertRequest &request, const std::string &log, bool showBar) {
    const std::string base = OutputBase(request, log);
    auto options = std::make_unique<ConvertOptions>();
    std::memset(options.get(), 0, sizeof(ConvertOptions));
    options->structSize = sizeof(ConvertOptions);
    options->optionsSize = sizeof(Oem4Options);
    std::memcpy(options->converterOptions, &request.options, sizeof(Oem4Options));
    // Longer names are passed cut without their NUL: the library refuses
    // them with its own message rather than converting to a wrong path.
    std::memcpy(options->inputFile, log.c_str(), std::min(log.size(), sizeof options->inputFile));
    std::memcpy(options->outputFile, base.c_str(), std::min(base.size(), sizeof options->outputFile));

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
    char stem[kPathBufferSize];
    std::snprintf(stem, sizeof stem, "%s", base.c_str());
    ChangeExtension(stem, sizeof stem, "");
    ConvertRinexOptions rinex{};
    rinex.enabled = request.rinex ? 1 : 0;
    rinex.hostFiles = request.hostFiles ? 1 : 0;
    std::snprintf(rinex.markerName, sizeof rinex.markerName, "%s", request.marker.c_str());
    rinex.version = request.rinexVersion;
    SetConvertRinex(&rinex);
    const char *outputs = !request.rinex ? "{tsq,epp,sta}" : request.hostFiles ? "{tsq,epp,sta,obs,nav}" : "{obs,nav}";
    if (!request.quiet) std::printf("%s -> %s.%s\n", log.c_str(), stem, outputs);
    std::fflush(stdout);

    const std::string messagesPath = std::string(stem) + ".messages";
    if (request.report) {
        g_messageFile = std::fopen(messagesPath.c_str(), "w");
        if (g_messageFile == nullptr) {
            PrintError("cannot write %s: %s\n", messagesPath.c_str(), std::strerror(errno));
        }
    }

    const int32_t result = ConvertFile(options.get(), &host, 0);
    ClearBar();
    bool messagesKept = false;
    if (g_messageFile != nullptr) {
        messagesKept = std::fclose(g_messageFile) == 0;
        g_messageFile = nullptr;
    }
    if (result != 0) {
        char text[512];
        GetErrString(text);
        if (g_heldError != text) ReleaseHeldError();
        g_heldError.clear();
        PrintError("%s: %s\n", log.c_str(), PlainMessage(text).c_str());
    }
    ReleaseHeldError();
    // A log whose range records gave nothing is no conversion, whatever the
    // library's result says: the user would find an empty observation file.
    const ConversionStats &stats = LastConversionStats();
    const bool noEpochs = result == 0 && options->epochCount == 0 && stats.screening.rangeRecords != 0;
    if (noEpochs) {
        PrintError("%s: no epoch written from %u range records: %s\n", log.c_str(), stats.screening.rangeRecords,
                   NoEpochReason(stats));
    }
    std::printf("%s: %s, %u epochs, %u ephemerides, %u marks, %u messages", log.c_str(),
                result == 0 && !noEpochs ? "converted" : "FAILED", options->epochCount, options->ephemerisCount,
                options->markCount, g_messageCount);
    if (g_informationalCount != 0) std::printf(" (%u informational)", g_informationalCount);
    if (request.hostFiles) PrintTimeSpan(base);
    std::printf("\n");
    if (result == 0) {
        PrintLeftOut(stats, request.options.channels != 0 ? request.options.channels : OEM4CONV_DEFAULT_CHANNELS);
    }
    std::fflush(stdout);
    if (result != 0 || noEpochs) return kExitFailed;
    if (request.report) {
        report::ReportRequest report;
        report.base = base;
        report.htmlPath = std::string(stem) + "-report.html";
        report.messagesPath = messagesKept ? messagesPath : std::string();
        report.summary = request.quiet ? nullptr : stdout;
        std::string error;
        if (report::BuildQualityReport(report, &error) != report::kReportOk) {
            PrintError("%s: report not written: %s\n", log.c_str(), error.c_str());
            return kExitFailed;
        }
        std::printf("Report: %s\n", report.htmlPath.c_str());
        std::fflush(stdout);
    }
    return kExitOk;
}

int ConvertInProcess(const ConvertRequest &request) {
    const bool showBar = request.progress && !request.quiet && IsConsole(stderr);
    int status = kExitOk;
    for (const std::string &log : request.logs) {
        if (g_interrupts != 0) {
            std::fprintf(stderr, "oem4conv: %s: not converted (interrupted)\n", log.c_str());
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
        while (g_interrupts == 0 && next < request.logs.size() && running.size() < static_cast<std::size_t>(jobs)) {
            WorkerProcess worker;
            if (!StartWorker(request, next, ConvertLogInWorker, running, &worker)) break;
            running.push_back(worker);
            ++next;
        }
        if (running.empty()) break; // interrupted, or no process could be started
        if (g_interrupts != 0 && !forwarded) {
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
            std::fwrite(w.output.data(), 1, w.output.size(), stdout);
            if (!abnormal.empty()) std::printf("worker for a log %s\n", abnormal.c_str());
            std::fflush(stdout);
            ++finished;
            running.erase(running.begin() + static_cast<long>(i));
        }
    }
    display.Erase();
    for (std::size_t i = next; i < request.logs.size(); ++i) {
        std::fprintf(stderr, "oem4conv: %s: not converted (%s)\n", request.logs[i].c_str(),
                     g_interrupts != 0 ? "interrupted" : "no worker process could be started");
        status = kExitFailed;
    }
    return status;
}

} // namespace

int RunConvert(const ConvertRequest &request) {
    if (request.logs.size() > 1 && !request.output.empty() && !IsDirectory(request.output)) {
        std::fprintf(stderr, "oem4conv: with several LOGs, -o must name an existing directory\n"
                             "Try 'oem4conv --help'.\n");
        return kExitUsage;
    }
    InstallInterruptHandler(OnInterrupt);
    std::size_t workerLog = 0;
    if (IsWorkerProcess(&workerLog)) {
        if (workerLog >= request.logs.size()) return kExitUsage;
        return ConvertLogInWorker(request, workerLog);
    }
    int jobs = request.jobs;
    if (jobs <= 0) jobs = ProcessorCount();
    int status = kExitOk;
    if (jobs > 1 && request.logs.size() > 1) {
        status = ConvertInWorkers(request, jobs);
    } else {
        status = ConvertInProcess(request);
    }
    if (request.logs.size() > 1 && status == kExitOk) {
        std::printf("%zu logs, all converted\n", request.logs.size());
    } else if (request.logs.size() > 1) {
        std::printf("%zu logs: %zu converted, %zu failed", request.logs.size(), g_converted, g_failed);
        const std::size_t notStarted = request.logs.size() - g_converted - g_failed;
        if (notStarted != 0) std::printf(", %zu not started", notStarted);
        std::printf("\n");
    }
    return status;
}
