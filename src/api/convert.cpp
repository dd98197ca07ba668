// ConvertFile: the conversion driver. Streams one OEM4 log through decoder
// port 0 in 2048-byte blocks and hands every decoded record to its writer:
// epochs to the .tsq observation file, ephemerides and almanacs to the .epp
// file, camera marks to the .sta file.
#include "api/convert.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#endif

#include "api/error_text.h"
#include "api/rinex_export.h"
#include "ephemeris/ephemeris_list.h"
#include "oem4/oem4_decoder.h"
#include "oem4/screening.h"
#include "oem4conv.h"
#include "output/text_outputs.h"
#include "output/tsq_file.h"
#include "threadbuf/payloads.h"
#include "threadbuf/threadbuf.h"

namespace {

constexpr const char *kVersionText = "Incorrect version of OEM4 Conversion DLL";
constexpr const char *kOptionsText = "Incorrect version of OEM4 Conversion DLL, Invalid options";
constexpr const char *kUserQuitText = "User Quit";
constexpr const char *kChannelsText = "Incorrect version of OEM4 Conversion DLL, Invalid options: channels %u (1 to %u)";
// Counts are printed through %.0f (exact below 2^53): the C runtime of the
// Windows build does not know every 64-bit integer format.
constexpr const char *kLeftOutText =
    "Notice: %.0f %s observations left out (no place for them in the observation file)";
constexpr const char *kCutEpochsText =
    "Notice: %u epochs had more satellites than the %u channels; %.0f satellites left out of them";
constexpr const char *kEppHeaderLine = "$EPHREC Ver6.03 KAVRENO NovAtelOem4\n";

constexpr int32_t kPort = 0;
constexpr std::size_t kBlockSize = 2048;
// The observation file's parameters: receiver type 4, header parameter 1.0,
// a 2048-byte stream buffer and the channels of the options (12 unless the
// host asks for more; the decoder fits every epoch to them).
constexpr uint8_t kTsqReceiverType = 4;
constexpr float kTsqHeaderParameter = 1.0f;
constexpr uint16_t kTsqBufferSize = 2048;
// The observation file's header records the 2048-byte buffer, but its stream
// gets a larger one: at 2048 bytes the output costs one write to the system
// per 2 KB, a large part of a whole conversion. The file's bytes are the
// same; a failed write shows at the epoch that overflows this buffer or at
// close, and ends the conversion either way.
constexpr uint32_t kTsqStreamBufferSize = 64 * 1024;
// The input is still taken in 2048-byte blocks (progress and abort run per
// block), but its stream fetches from the system in larger pieces.
constexpr std::size_t kInputStreamBufferSize = 64 * 1024;
// Most records of one group the driver takes from the ThreadBuf.
constexpr int32_t kMaxMeasurements = 24;
constexpr int32_t kMaxAlmanacs = 64;

// The host record of the running conversion; used only during ConvertFile.
const ConvertHost *g_host = nullptr;
// The driver's state exists once per process; a second conversion started
// while one runs (another thread, or a callback) is refused rather than
// allowed to share it.
std::atomic<bool> g_running{false};

uint32_t g_epochsWritten = 0;
uint32_t g_ephemeridesWritten = 0;
uint32_t g_spareCount = 0;
uint32_t g_marksWritten = 0;
// Channels of the running conversion's observation file.
uint32_t g_channels = OEM4CONV_DEFAULT_CHANNELS;
ConversionStats g_stats;

char g_inputPath[kPathBufferSize];
char g_tsqPath[kPathBufferSize];
char g_eppPath[kPathBufferSize];
char g_staPath[kPathBufferSize];
char g_obsPath[kPathBufferSize];
char g_navPath[kPathBufferSize];

uint8_t g_block[kBlockSize];
char g_inputStreamBuffer[kInputStreamBufferSize];
ThreadBuf g_threadBuf;

// Read areas for the drained records.
EpochRecord g_epoch;
MeasRecord g_meas[kMaxMeasurements];
GpsEphRecord g_ephemeris;
MarkRecord g_mark;
AlmanacRecord g_almanacs[kMaxAlmanacs];
TrackingRecord g_tracking[kMaxMeasurements];
PositionRecord g_position;

// The RINEX export asked for, and whether its files are open in the
// running conversion.
ConvertRinexOptions g_rinex{};
bool g_rinexOpen = false;

// How much of a block DecodeBytes gets per call; 0 feeds byte by byte
// through DecodeByte. Tests compare the two.
uint32_t g_feedSize = kBlockSize;

// The open outputs of the running conversion.
TsqFile *g_tsq = nullptr;
std::FILE *g_epp = nullptr;
std::FILE *g_sta = nullptr;


// The first failure that ends the conversion: its text is restored into
// ErrorText at the end, whatever was formatted after it.
bool g_failed = false;
char g_failureText[kErrorTextSize];

// A write or read failure: the output would miss data, so the conversion
// stops and reports result 1. The host hears of it at once as well.
void Fail(double time) {
    if (!g_failed) {
        g_failed = true;
        std::memcpy(g_failureText, ErrorText, sizeof g_failureText);
        g_failureText[sizeof g_failureText - 1] = '\0';
    }
    ForwardMessage(time, ErrorText);
}

// Copies a host path that must hold its NUL within the 256 bytes.
bool CopyPath(char *destination, const char *source) {
    const void *end = std::memchr(source, '\0', kPathBufferSize);
    if (end == nullptr) return false;
    std::memcpy(destination, source, static_cast<const char *>(end) - source + 1);
    return true;
}

int64_t InputLength(std::FILE *input) {
#if defined(_WIN32)
    struct _stat64 info;
    if (_fstat64(_fileno(input), &info) != 0 || (info.st_mode & _S_IFREG) == 0) return 0;
#else
    struct stat info;
    if (fstat(fileno(input), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
#endif
    return static_cast<int64_t>(info.st_size);
}

void ReportProgress(int64_t done, int64_t total) {
    if (g_host->onProgress == nullptr) return;
    int32_t doneOut = 0;
    int32_t totalOut = 0;
    ScaleProgress(done, total, &doneOut, &totalOut);
    g_host->onProgress(doneOut, totalOut);
}

// The epoch as RINEX takes it: its tracking records carry the lock times
// and signal strengths, the decoder's screening the systems and signals.
bool ExportEpoch(int32_t measCount) {
    int32_t count = ReadThreadBufData(&g_threadBuf, TBREC_TRACKING, kMaxMeasurements, g_tracking);
    if (count > measCount) count = measCount;
    if (ExportRinexEpoch(&g_epoch, g_meas, g_tracking, count, GetEpochScreening(kPort)) != 0) {
        Fail(g_epoch.receiverTime);
        return false;
    }
    return true;
}

void DrainEpoch() {
    if (ReadThreadBufData(&g_threadBuf, TBREC_EPOCH, 1, &g_epoch) == 0) return;
    const int32_t measCount = ReadThreadBufData(&g_threadBuf, TBREC_MEAS, kMaxMeasurements, g_meas);
    if (measCount == 0) return;
    if (g_rinexOpen && !ExportEpoch(measCount)) return;
    if (g_tsq == nullptr) {
        ++g_epochsWritten; // RINEX only
        return;
    }
    if (WriteTsqEpoch(g_tsq, &g_epoch, g_meas) == 0) {
        ++g_epochsWritten;
        return;
    }
    // An epoch with more satellites than the file's channels is refused on
    // its own and the conversion goes on; any other refusal is the file
    // failing to take data.
    if (g_epoch.satCount > g_channels) {
        ++g_stats.refusedEpochs;
        ForwardMessage(g_epoch.receiverTime, ErrorText);
    } else {
        Fail(g_epoch.receiverTime);
    }
}

void DrainEphemeris() {
    if (ReadThreadBufData(&g_threadBuf, TBREC_GPSEPH, 1, &g_ephemeris) == 0) return;
    if (WriteEppEphemeris(g_epp, g_eppPath, &g_ephemeris) != 0) {
        Fail(-1.0);
        return;
    }
    if (g_rinexOpen) {
        // The record just decoded is still in the port: its time tells the
        // ephemeris's week and when it was received.
        const Oem4Decoder *dec = GetOpenPort(kPort);
        const int32_t week = dec != nullptr ? HeaderWeek(dec) : 0;
        const double time = dec != nullptr ? HeaderTime(dec) : 0.0;
        if (ExportRinexEphemeris(&g_ephemeris, week, time) != 0) {
            Fail(-1.0);
            return;
        }
    }
    ++g_ephemeridesWritten;
}

void DrainMark() {
    if (ReadThreadBufData(&g_threadBuf, TBREC_MARK, 1, &g_mark) == 0) return;
    if (WriteMarkEvent(g_sta, g_staPath, &g_mark) != 0 ||
        (g_rinexOpen && ExportRinexMark(&g_mark) != 0)) {
        Fail(g_mark.time);
        return;
    }
    ++g_marksWritten;
}

void DrainAlmanacs() {
    const int32_t count = ReadThreadBufData(&g_threadBuf, TBREC_ALMANAC, kMaxAlmanacs, g_almanacs);
    for (int32_t i = 0; i < count; ++i) {
        ForwardMessage(-1.0, FormatErrorText("Almanac received for GPS PRN %d",
                                             static_cast<int>(g_almanacs[i].prn)));
        if (WriteEppAlmanac(g_epp, g_eppPath, &g_almanacs[i]) != 0) {
            Fail(-1.0);
            return;
        }
    }
}

// Exactly one kind of output is taken per decoded record, in this order.
void Drain() {
    if (FindThreadBufGroup(&g_threadBuf, TBREC_EPOCH) >= 0 &&
        FindThreadBufGroup(&g_threadBuf, TBREC_MEAS) >= 0) {
        DrainEpoch();
    } else if (FindThreadBufGroup(&g_threadBuf, TBREC_GPSEPH) >= 0) {
        DrainEphemeris();
    } else if (FindThreadBufGroup(&g_threadBuf, TBREC_MARK) >= 0) {
        DrainMark();
    } else if (FindThreadBufGroup(&g_threadBuf, TBREC_ALMANAC) >= 0) {
        DrainAlmanacs();
    } else if (g_rinexOpen && ReadThreadBufData(&g_threadBuf, TBREC_POSITION, 1, &g_position) == 1) {
        ExportRinexPosition(&g_position);
    }
}

void ActOnResult(int32_t kind) {
    if (kind > 0) {
        Drain();
    } else if (kind < 0) {
        ForwardMessage(-1.0, ErrorText);
    }
}

// Feeds the block to the decoder. DecodeBytes stops at every byte whose
// result is not 0, so each decoded record is drained before the next byte
// is fed, exactly as when the bytes go one by one through DecodeByte.
void FeedBlock(uint32_t size) {
    uint32_t at = 0;
    if (g_feedSize != 0) {
        while (at < size && !g_failed) {
            const uint32_t piece = size - at < g_feedSize ? size - at : g_feedSize;
            uint32_t used = 0;
            const int32_t kind = DecodeBytes(kPort, g_block + at, piece, &g_threadBuf, &used);
            at += used;
            // A closed port takes no byte; every byte then gets its own
            // result below, as it would one at a time.
            if (kind < 0) break;
            ActOnResult(kind);
        }
    }
    for (; at < size && !g_failed; ++at) ActOnResult(DecodeByte(kPort, g_block[at], &g_threadBuf));
}

void CloseInput(std::FILE *input) {
    if (input != nullptr) std::fclose(input);
}

// Closes every output still open; a failed final flush loses data, so it
// counts as a failure of the conversion.
void CloseOutputs() {
    if (g_tsq != nullptr && CloseTsqFile(g_tsq) != 0) Fail(-1.0);
    g_tsq = nullptr;
    if (g_epp != nullptr && CloseTextOutput(g_epp, g_eppPath) != 0) Fail(-1.0);
    g_epp = nullptr;
    if (g_sta != nullptr && CloseTextOutput(g_sta, g_staPath) != 0) Fail(-1.0);
    g_sta = nullptr;
    if (g_rinexOpen && CloseRinexExport(GetOpenPort(kPort)) != 0) Fail(-1.0);
    g_rinexOpen = false;
}

// Creating an output truncates it; if it is the input itself (a log named
// day1.sta converted beside itself, or a link to it) the log would be lost.
bool IsInputFile(std::FILE *input, const char *path) {
#if defined(_WIN32)
    // A name alone does not tell: C:/logs/day1.sta, day1.sta and
    // c:\LOGS\DAY1.STA may all be the input. The file's identity does.
    BY_HANDLE_FILE_INFORMATION inputInfo;
    BY_HANDLE_FILE_INFORMATION outputInfo;
    const HANDLE inputHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
    if (!GetFileInformationByHandle(inputHandle, &inputInfo)) return _stricmp(g_inputPath, path) == 0;
    const HANDLE output = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (output == INVALID_HANDLE_VALUE) return false;
    const bool same = GetFileInformationByHandle(output, &outputInfo) &&
                      inputInfo.dwVolumeSerialNumber == outputInfo.dwVolumeSerialNumber &&
                      inputInfo.nFileIndexHigh == outputInfo.nFileIndexHigh &&
                      inputInfo.nFileIndexLow == outputInfo.nFileIndexLow;
    CloseHandle(output);
    return same;
#else
    struct stat inputInfo;
    struct stat outputInfo;
    if (fstat(fileno(input), &inputInfo) != 0 || stat(path, &outputInfo) != 0) return false;
    return inputInfo.st_dev == outputInfo.st_dev && inputInfo.st_ino == outputInfo.st_ino;
#endif
}

void MarkerName(char *marker, std::size_t size);
bool OpenHostFiles();

// Opens the input and the outputs in their fixed order (the host's three,
// then the RINEX pair); on failure everything already opened is closed
// again and ErrorText says why.
bool OpenFiles(std::FILE **input) {
    *input = std::fopen(g_inputPath, "rb");
    if (*input == nullptr) {
        FormatErrorText("Error: Unable to open %s", g_inputPath);
        return false;
    }
    // Without the larger buffer the stream keeps its own; nothing is lost.
    std::setvbuf(*input, g_inputStreamBuffer, _IOFBF, sizeof g_inputStreamBuffer);
    const bool hostFiles = g_rinex.enabled == 0 || g_rinex.hostFiles != 0;
    if (!hostFiles) g_tsqPath[0] = g_eppPath[0] = g_staPath[0] = '\0'; // not written
    for (const char *output : {g_tsqPath, g_eppPath, g_staPath, g_obsPath, g_navPath}) {
        if (output[0] != '\0' && IsInputFile(*input, output)) {
            FormatErrorText("Error: Output file %s is the input file", output);
            return false;
        }
    }
    if (hostFiles && !OpenHostFiles()) return false;
    if (g_rinex.enabled != 0) {
        char marker[sizeof g_rinex.markerName];
        MarkerName(marker, sizeof marker);
        if (OpenRinexExport(g_obsPath, g_navPath, marker) != 0) return false;
        g_rinexOpen = true;
    }
    return OpenPort(kPort, ForwardMessage) == 0;
}

// The marker name: as asked, else the log's file name without its
// directory and extension.
void MarkerName(char *marker, std::size_t size) {
    if (g_rinex.markerName[0] != '\0') {
        std::snprintf(marker, size, "%s", g_rinex.markerName);
        return;
    }
    const char *name = g_inputPath;
    for (const char *p = g_inputPath; *p != '\0'; ++p) {
        if (*p == '/' || *p == kPathSeparator) name = p + 1;
    }
    const char *dot = std::strrchr(name, '.');
    const std::size_t length = dot != nullptr && dot != name ? static_cast<std::size_t>(dot - name) : std::strlen(name);
    std::snprintf(marker, size, "%.*s", static_cast<int>(length < size ? length : size - 1), name);
}

bool OpenHostFiles() {
    const uint8_t channels = static_cast<uint8_t>(g_channels);
    g_tsq = OpenTsqFileBuffered(g_tsqPath, kTsqReceiverType, kTsqHeaderParameter, kTsqBufferSize,
                                channels, kTsqStreamBufferSize);
    if (g_tsq == nullptr) return false;
    g_epp = std::fopen(g_eppPath, "w");
    if (g_epp == nullptr) {
        FormatErrorText("Error: Unable to open %s", g_eppPath);
        return false;
    }
    if (std::fputs(kEppHeaderLine, g_epp) == EOF) {
        FormatErrorText("Error: Unable to write to %s", g_eppPath);
        return false;
    }
    g_sta = std::fopen(g_staPath, "w");
    if (g_sta == nullptr) {
        FormatErrorText("Error: Unable to open %s", g_staPath);
        return false;
    }
    return true;
}

// Closes after a failed open without letting the closes replace the text
// that says why the open failed.
void CloseAfterFailedOpen(std::FILE *input) {
    char reason[kErrorTextSize];
    std::memcpy(reason, ErrorText, sizeof reason);
    CloseInput(input);
    if (g_tsq != nullptr) CloseTsqFile(g_tsq);
    if (g_epp != nullptr) std::fclose(g_epp);
    if (g_sta != nullptr) std::fclose(g_sta);
    g_tsq = nullptr;
    g_epp = nullptr;
    g_sta = nullptr;
    if (g_rinexOpen) DiscardRinexExport();
    g_rinexOpen = false;
    std::memcpy(ErrorText, reason, sizeof reason);
}

bool PreparePaths(const ConvertOptions *options) {
    if (!CopyPath(g_inputPath, options->inputFile)) {
        SetErrorText("Error: Input file name is longer than 255 characters");
        return false;
    }
    if (!CopyPath(g_tsqPath, options->outputFile)) {
        SetErrorText("Error: Output file name is longer than 255 characters");
        return false;
    }
    std::memcpy(g_eppPath, g_tsqPath, sizeof g_eppPath);
    std::memcpy(g_staPath, g_tsqPath, sizeof g_staPath);
    std::memcpy(g_obsPath, g_tsqPath, sizeof g_obsPath);
    std::memcpy(g_navPath, g_tsqPath, sizeof g_navPath);
    const bool rinex = g_rinex.enabled != 0;
    if (!rinex) g_obsPath[0] = g_navPath[0] = '\0';
    if (ChangeExtension(g_tsqPath, sizeof g_tsqPath, ".tsq") != 0 ||
        ChangeExtension(g_eppPath, sizeof g_eppPath, ".epp") != 0 ||
        ChangeExtension(g_staPath, sizeof g_staPath, ".sta") != 0 ||
        (rinex && (ChangeExtension(g_obsPath, sizeof g_obsPath, ".obs") != 0 ||
                   ChangeExtension(g_navPath, sizeof g_navPath, ".nav") != 0))) {
        FormatErrorText("Error: Output file name %s is too long with its extension",
                        options->outputFile);
        return false;
    }
    return true;
}

// What the decoder left out over the conversion, once per system, and how
// many epochs it had to cut to the channels: notices, since the file holds
// what it can, but the user must know what is not in it.
void ReportScreening() {
    const ScreeningStats *stats = GetScreeningStats(kPort);
    if (stats == nullptr) return;
    g_stats.screening = *stats;
    for (uint32_t system = 0; system < kSystemCount; ++system) {
        if (stats->leftOut[system] == 0) continue;
        ForwardMessage(-1.0, FormatErrorText(kLeftOutText, static_cast<double>(stats->leftOut[system]),
                                             SystemName(system)));
    }
    if (stats->cutEpochs != 0) {
        ForwardMessage(-1.0, FormatErrorText(kCutEpochsText, stats->cutEpochs, g_channels,
                                             static_cast<double>(stats->cutSatellites)));
    }
}

int32_t RunConversion(ConvertOptions *options, ConvertHost *host) {
    g_stats = ConversionStats{};
    g_epochsWritten = 0;
    g_ephemeridesWritten = 0;
    g_spareCount = 0;
    g_marksWritten = 0;
    g_host = host;
    AbortCount = 0;
    ClearEphemerisList();
    g_failed = false;
    g_rinexOpen = false;

    if (!PreparePaths(options)) return 1;

    std::FILE *input = nullptr;
    if (!OpenFiles(&input)) {
        CloseAfterFailedOpen(input);
        return 1;
    }
    // The port always gets the full record, with the channels in force.
    Oem4Options converterOptions{};
    std::memcpy(&converterOptions, options->converterOptions, options->optionsSize);
    converterOptions.channels = g_channels;
    SetPortOptions(kPort, &converterOptions, sizeof converterOptions);

    int64_t total = InputLength(input);
    int64_t done = 0;
    while (!g_failed && !std::feof(input) && !std::ferror(input) && AbortCount.load() == 0) {
        const std::size_t read = std::fread(g_block, 1, sizeof g_block, input);
        done += static_cast<int64_t>(read);
        // Every byte of a block is fed; an abort is honoured between blocks.
        FeedBlock(static_cast<uint32_t>(read));
        if (g_failed) break;
        ReportProgress(done, total);
        if (AbortCount.load() != 0) SetErrorText(kUserQuitText);
    }
    // At the end of the log, bytes of a rejected or incomplete record may
    // still hide whole records; they are decoded before the files close.
    if (!g_failed && AbortCount.load() == 0 && !std::ferror(input)) {
        int32_t kind = 0;
        while (!g_failed && (kind = FlushPort(kPort, &g_threadBuf)) > 0) Drain();
    }
    if (!g_failed && std::ferror(input)) {
        FormatErrorText("Error: Unable to read %s", g_inputPath);
        Fail(-1.0);
    }
    ReportScreening();
    // A log still being recorded may have grown since its length was taken.
    if (done > total) total = done;
    ReportProgress(total, total);

    options->epochCount = g_epochsWritten;
    options->ephemerisCount = g_ephemeridesWritten;
    options->spareCount = g_spareCount;
    options->markCount = g_marksWritten;

    CloseInput(input);
    CloseOutputs();
    if (g_failed) {
        std::memcpy(ErrorText, g_failureText, sizeof g_failureText);
        return 1;
    }
    if (AbortCount.load() != 0) {
        SetErrorText(kUserQuitText);
        return 1;
    }
    return 0;
}

} // namespace

const ConversionStats &LastConversionStats() { return g_stats; }

void SetConvertRinex(const ConvertRinexOptions *options) {
    if (options == nullptr) {
        g_rinex = ConvertRinexOptions{};
        return;
    }
    g_rinex = *options;
    g_rinex.markerName[sizeof g_rinex.markerName - 1] = '\0';
}

uint32_t SetConvertFeedSize(uint32_t size) {
    const uint32_t before = g_feedSize;
    g_feedSize = size;
    return before;
}

void ForwardMessage(double time, const char *text) {
    if (g_host != nullptr && g_host->onMessage != nullptr) g_host->onMessage(time, text);
}

int32_t ChangeExtensionWith(char *path, std::size_t capacity, const char *extension,
                            char separator) {
    const void *end = std::memchr(path, '\0', capacity);
    if (end == nullptr) return 1;
    const std::size_t length = static_cast<const char *>(end) - path;
    std::size_t skip = 0;
    while (path[skip] == ' ') ++skip;

    const char *start = path + skip;
    const char *dot = std::strrchr(start, '.');
    const char *slash = std::strrchr(start, separator);
    std::size_t keep = length - skip;
    if (dot != nullptr && (slash == nullptr || dot > slash)) keep = dot - start;

    const std::size_t extensionLength = std::strlen(extension);
    if (keep + extensionLength + 1 > capacity) return 1;
    std::memmove(path, start, keep);
    std::memcpy(path + keep, extension, extensionLength + 1);
    return 0;
}


void ScaleProgress(int64_t done, int64_t total, int32_t *doneOut, int32_t *totalOut) {
    if (done < 0) done = 0;
    if (total < done) total = done;
    int shift = 0;
    while ((total >> shift) > INT32_MAX) ++shift;
    *doneOut = static_cast<int32_t>(done >> shift);
    *totalOut = static_cast<int32_t>(total >> shift);
}

extern "C" OEM4CONV_API int32_t OEM4CONV_CALL ConvertFile(ConvertOptions *options,
                                                          ConvertHost *host, int32_t) {
    if (options == nullptr || host == nullptr || options->structSize != sizeof(ConvertOptions) ||
        host->structSize != sizeof(ConvertHost)) {
        SetErrorText(kVersionText);
        return 1;
    }
    if (!IsOem4OptionsSize(static_cast<int32_t>(options->optionsSize))) {
        SetErrorText(kOptionsText);
        return 1;
    }
    // A host that knows the channels field sets it (0 keeps the default); an
    // older host's record ends before it.
    uint32_t channels = OEM4CONV_DEFAULT_CHANNELS;
    if (options->optionsSize >= OEM4CONV_OEM4_OPTIONS_SIZE) {
        Oem4Options requested;
        std::memcpy(&requested, options->converterOptions, sizeof requested);
        channels = OptionsChannels(requested);
        if (channels > OEM4CONV_MAX_CHANNELS) {
            FormatErrorText(kChannelsText, channels, OEM4CONV_MAX_CHANNELS);
            return 1;
        }
    }
    if (g_running.exchange(true)) {
        SetErrorText("Error: A conversion is already running");
        return 1;
    }
    g_channels = channels;
    const int32_t result = RunConversion(options, host);
    g_host = nullptr;
    g_running = false;
    return result;
}
