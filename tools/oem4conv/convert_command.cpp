// The convert command: one log per ConvertFile call, several logs in
// parallel worker processes since the library converts one file at a time
// per process. Ctrl-C requests Abort so that every output is closed cleanly.
#include <algorithm>
#include <cerrno>
#include <csignal>
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

void ClearBar() {
    if (!g_barShown) return;
    ClearConsoleLine(stderr);
    std::fflush(stderr);
    g_barShown = false;
    g_barPercent = -1;
}

void OEM4CONV_CALL OnMessage(double time, const char *text) {
    ++g_messageCount;
    if (g_messageFile != nullptr) {
        if (time >= 0.0) {
            std::fprintf(g_messageFile, "%.3f  %s\n", time, text);
        } else {
            std::fprintf(g_messageFile, "-  %s\n", text);
        }
    }
    if (g_quiet) return;
    ClearBar();
    if (time >= 0.0) {
        std::printf("  %12.3f  %s\n", time, text);
    } else {
        std::printf("  %12s  %s\n", "-", text);
    }
    std::fflush(stdout);
}

void OEM4CONV_CALL OnProgress(int32_t done, int32_t total) {
    if (!g_showBar) return;
    const int percent = total > 0 ? static_cast<int>(100.0 * done / total) : 100;
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
    g_showBar = showBar;
    g_messageCount = 0;
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
            std::fprintf(stderr, "oem4conv: cannot write %s: %s\n", messagesPath.c_str(), std::strerror(errno));
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
        std::fflush(stdout);
        std::fprintf(stderr, "oem4conv: %s: %s\n", log.c_str(), text);
    }
    // A log whose range records gave nothing is no conversion, whatever the
    // library's result says: the user would find an empty observation file.
    const ConversionStats &stats = LastConversionStats();
    const bool noEpochs = result == 0 && options->epochCount == 0 && stats.screening.rangeRecords != 0;
    if (noEpochs) {
        std::fflush(stdout);
        std::fprintf(stderr, "oem4conv: %s: no epoch written from %u range records: %s\n", log.c_str(),
                     stats.screening.rangeRecords, NoEpochReason(stats));
    }
    std::printf("%s: %s, %u epochs, %u ephemerides, %u marks, %u messages", log.c_str(),
                result == 0 && !noEpochs ? "converted" : "FAILED", options->epochCount, options->ephemerisCount,
                options->markCount, g_messageCount);
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
            std::fflush(stdout);
            std::fprintf(stderr, "oem4conv: %s: report not written: %s\n", log.c_str(), error.c_str());
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
        if (ConvertOne(request, log, showBar) != kExitOk) status = kExitFailed;
    }
    return status;
}

int ConvertLogInWorker(const ConvertRequest &request, std::size_t log) {
    return ConvertOne(request, request.logs[log], false);
}

// Each worker converts one log; its report is printed in one piece when it
// ends, so the reports of parallel conversions never interleave.
int ConvertInWorkers(const ConvertRequest &request, int jobs) {
    const bool showCount = request.progress && !request.quiet && IsConsole(stderr);
    std::vector<WorkerProcess> running;
    std::size_t next = 0;
    std::size_t finished = 0;
    bool forwarded = false;
    int status = kExitOk;

    auto showProgress = [&]() {
        if (!showCount) return;
        ClearConsoleLine(stderr);
        std::fprintf(stderr, "  %zu of %zu logs converted", finished, request.logs.size());
        std::fflush(stderr);
    };
    showProgress();
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

        WaitForWorkers(&running);
        for (std::size_t i = running.size(); i-- > 0;) {
            WorkerProcess &w = running[i];
            if (!w.closed) continue;
            std::string abnormal;
            if (EndWorker(&w, &abnormal) != kExitOk) status = kExitFailed;
            if (showCount) ClearConsoleLine(stderr);
            std::fwrite(w.output.data(), 1, w.output.size(), stdout);
            if (!abnormal.empty()) std::printf("worker for a log %s\n", abnormal.c_str());
            std::fflush(stdout);
            ++finished;
            running.erase(running.begin() + static_cast<long>(i));
            showProgress();
        }
    }
    if (showCount) ClearConsoleLine(stderr);
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
    if (request.logs.size() > 1) {
        std::printf("%zu logs, %s\n", request.logs.size(), status == kExitOk ? "all converted" : "some not converted");
    }
    return status;
}
