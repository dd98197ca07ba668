#include "api/output_set.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#endif

#include "api/error_text.h"
#include "api/rinex_export.h"
#include "oem4conv.h"
#include "output/rinex_file.h"
#include "output/text_outputs.h"
#include "output/tsq_file.h"

namespace {

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

// Copies a host path that must hold its NUL within the 256 bytes.
bool CopyPath(char *destination, const char *source) {
    const void *end = std::memchr(source, '\0', kPathBufferSize);
    if (end == nullptr) return false;
    std::memcpy(destination, source, static_cast<const char *>(end) - source + 1);
    return true;
}

// Creating an output truncates it; if it is the input itself (a log named
// day1.sta converted beside itself, or a link to it) the log would be lost.
bool IsInputFile(std::FILE *input, const char *inputPath, const char *path) {
#if defined(_WIN32)
    // A name alone does not tell: C:/logs/day1.sta, day1.sta and
    // c:\LOGS\DAY1.STA may all be the input. The file's identity does.
    BY_HANDLE_FILE_INFORMATION inputInfo;
    BY_HANDLE_FILE_INFORMATION outputInfo;
    const HANDLE inputHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input)));
    if (!GetFileInformationByHandle(inputHandle, &inputInfo)) return _stricmp(inputPath, path) == 0;
    const HANDLE output = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (output == INVALID_HANDLE_VALUE) return false;
    const bool same = GetFileInformationByHandle(output, &outputInfo) &&
                      inputInfo.dwVolumeSerialNumber == outputInfo.dwVolumeSerialNumber &&
                      inputInfo.nFileIndexHigh == outputInfo.nFileIndexHigh &&
                      inputInfo.nFileIndexLow == outputInfo.nFileIndexLow;
    CloseHandle(output);
    return same;
#else
    (void)inputPath;
    struct stat inputInfo;
    struct stat outputInfo;
    if (fstat(fileno(input), &inputInfo) != 0 || stat(path, &outputInfo) != 0) return false;
    return inputInfo.st_dev == outputInfo.st_dev && inputInfo.st_ino == outputInfo.st_ino;
#endif
}

// The marker name: as asked, else the log's file name without its
// directory and extension.
void MarkerName(const ConvertRinexOptions &rinex, const char *inputPath, char *marker, std::size_t size) {
    if (rinex.markerName[0] != '\0') {
        std::snprintf(marker, size, "%s", rinex.markerName);
        return;
    }
    const char *name = inputPath;
    for (const char *p = inputPath; *p != '\0'; ++p) {
        if (*p == '/' || *p == kPathSeparator) name = p + 1;
    }
    const char *dot = std::strrchr(name, '.');
    const std::size_t length = dot != nullptr && dot != name ? static_cast<std::size_t>(dot - name) : std::strlen(name);
    std::snprintf(marker, size, "%.*s", static_cast<int>(length < size ? length : size - 1), name);
}

} // namespace

bool PreparePaths(const ConvertOptions *options, const ConvertRinexOptions &rinexOptions, OutputPaths *paths) {
    if (!CopyPath(paths->input, options->inputFile)) {
        SetErrorText("Error: Input file name is longer than 255 characters");
        return false;
    }
    if (!CopyPath(paths->tsq, options->outputFile)) {
        SetErrorText("Error: Output file name is longer than 255 characters");
        return false;
    }
    std::memcpy(paths->epp, paths->tsq, sizeof paths->epp);
    std::memcpy(paths->sta, paths->tsq, sizeof paths->sta);
    std::memcpy(paths->obs, paths->tsq, sizeof paths->obs);
    std::memcpy(paths->nav, paths->tsq, sizeof paths->nav);
    std::memcpy(paths->glonassNav, paths->tsq, sizeof paths->glonassNav);
    std::memcpy(paths->secondAntennaObs, paths->tsq, sizeof paths->secondAntennaObs);
    const bool rinex = rinexOptions.enabled != 0;
    const bool rinex211 = rinex && rinexOptions.version == kRinexVersion211;
    if (!rinex) paths->obs[0] = paths->nav[0] = paths->secondAntennaObs[0] = '\0';
    if (!rinex211) paths->glonassNav[0] = '\0';
    if (ChangeExtension(paths->tsq, sizeof paths->tsq, ".tsq") != 0 ||
        ChangeExtension(paths->epp, sizeof paths->epp, ".epp") != 0 ||
        ChangeExtension(paths->sta, sizeof paths->sta, ".sta") != 0 ||
        (rinex &&
         (ChangeExtension(paths->obs, sizeof paths->obs, ".obs") != 0 ||
          ChangeExtension(paths->nav, sizeof paths->nav, ".nav") != 0 ||
          ChangeExtension(paths->secondAntennaObs, sizeof paths->secondAntennaObs, kSecondAntennaObsEnd) != 0)) ||
        (rinex211 && ChangeExtension(paths->glonassNav, sizeof paths->glonassNav, ".gnav") != 0)) {
        FormatErrorText("Error: Output file name %s is too long with its extension", options->outputFile);
        return false;
    }
    return true;
}

bool OutputSet::Open(std::FILE *input, OutputPaths *outputPaths, const ConvertRinexOptions &rinex, uint32_t channels) {
    paths = outputPaths;
    const bool hostFiles = rinex.enabled == 0 || rinex.hostFiles != 0;
    if (!hostFiles) outputPaths->tsq[0] = outputPaths->epp[0] = outputPaths->sta[0] = '\0'; // not written
    // The second antenna's file may be created later: it must not be the
    // input either.
    for (const char *output : {outputPaths->tsq, outputPaths->epp, outputPaths->sta, outputPaths->obs, outputPaths->nav,
                               outputPaths->glonassNav, outputPaths->secondAntennaObs}) {
        if (output[0] != '\0' && IsInputFile(input, outputPaths->input, output)) {
            FormatErrorText("Error: Output file %s is the input file", output);
            errno = 0; // a refusal, not a failure of the system
            return false;
        }
    }
    bool opened = !hostFiles || OpenHostFiles(*outputPaths, channels);
    if (opened && rinex.enabled != 0) {
        char marker[sizeof rinex.markerName];
        MarkerName(rinex, outputPaths->input, marker, sizeof marker);
        opened = rinexExport != nullptr && OpenRinexExport(*rinexExport, outputPaths->obs, outputPaths->nav, marker,
                                                           rinex.version, outputPaths->glonassNav) == 0;
        rinexOpen = opened;
    }
    if (!opened) {
        // The reason stays the open's, not the closes'.
        const int reason = errno;
        Discard();
        errno = reason;
    }
    return opened;
}

bool OutputSet::OpenSecondAntenna(const ConvertRinexOptions &rinex) {
    if (secondAntennaOpen) return true;
    if (secondAntennaExport == nullptr || paths == nullptr || paths->secondAntennaObs[0] == '\0') {
        SetErrorText("Error: no file for the second antenna's observations");
        return false;
    }
    char marker[sizeof rinex.markerName];
    MarkerName(rinex, paths->input, marker, sizeof marker);
    secondAntennaOpen =
        OpenRinexSecondAntenna(*secondAntennaExport, paths->secondAntennaObs, marker, rinex.version) == 0;
    return secondAntennaOpen;
}

bool OutputSet::OpenHostFiles(const OutputPaths &outputPaths, uint32_t channels) {
    tsq = OpenTsqFileBuffered(outputPaths.tsq, kTsqReceiverType, kTsqHeaderParameter, kTsqBufferSize,
                              static_cast<uint8_t>(channels), kTsqStreamBufferSize);
    if (tsq == nullptr) return false;
    epp = std::fopen(outputPaths.epp, "w");
    if (epp == nullptr) {
        FormatErrorText("Error: Unable to open %s", outputPaths.epp);
        return false;
    }
    if (WriteEppIdentification(epp, outputPaths.epp) != 0) return false;
    sta = std::fopen(outputPaths.sta, "w");
    if (sta == nullptr) {
        FormatErrorText("Error: Unable to open %s", outputPaths.sta);
        return false;
    }
    return true;
}

void OutputSet::Close(const Oem4Decoder *port, void (*fail)(double time)) {
    if (tsq != nullptr && CloseTsqFile(tsq) != 0) fail(-1.0);
    tsq = nullptr;
    if (epp != nullptr && CloseTextOutput(epp, paths->epp) != 0) fail(-1.0);
    epp = nullptr;
    if (sta != nullptr && CloseTextOutput(sta, paths->sta) != 0) fail(-1.0);
    sta = nullptr;
    if (secondAntennaOpen) {
        // Its header's approximate position is the first antenna's, the
        // one the log gives (a metre or two away).
        secondAntennaExport->hasPosition = rinexExport->hasPosition;
        std::memcpy(secondAntennaExport->position, rinexExport->position, sizeof rinexExport->position);
        if (CloseRinexExport(*secondAntennaExport, port) != 0) fail(-1.0);
    }
    secondAntennaOpen = false;
    if (rinexOpen && CloseRinexExport(*rinexExport, port) != 0) fail(-1.0);
    rinexOpen = false;
}

void OutputSet::Discard() {
    if (tsq == nullptr && epp == nullptr && sta == nullptr && !rinexOpen && !secondAntennaOpen) return;
    // Nothing here formats a message: the reason the conversion did not
    // start stays in ErrorText.
    if (tsq != nullptr) DiscardTsqFile(tsq);
    if (epp != nullptr) std::fclose(epp);
    if (sta != nullptr) std::fclose(sta);
    tsq = nullptr;
    epp = nullptr;
    sta = nullptr;
    if (rinexOpen) DiscardRinexExport(*rinexExport);
    rinexOpen = false;
    if (secondAntennaOpen) DiscardRinexExport(*secondAntennaExport);
    secondAntennaOpen = false;
}

namespace {

// The dot that starts the last component's extension, or nullptr.
const char *ExtensionDot(const char *start, char separator) {
    const char *dot = std::strrchr(start, '.');
    const char *slash = std::strrchr(start, separator);
    // Windows takes '/' as a separator too, and no file name holds one: a
    // dot of a directory named that way is no extension of the base.
    if (const char *forward = std::strrchr(start, '/');
        separator == '\\' && forward != nullptr && (slash == nullptr || forward > slash)) {
        slash = forward;
    }
    return dot != nullptr && (slash == nullptr || dot > slash) ? dot : nullptr;
}

} // namespace

bool ExtensionIsNumberWith(const char *path, char separator) {
    const char *dot = ExtensionDot(path, separator);
    if (dot == nullptr) return false;
    // Digits, with single '-' or '_' between them ("2024-06-01").
    bool digitBefore = false;
    for (const char *p = dot + 1; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            digitBefore = true;
        } else if ((*p == '-' || *p == '_') && digitBefore) {
            digitBefore = false;
        } else {
            return false;
        }
    }
    return digitBefore;
}

int32_t ChangeExtensionWith(char *path, std::size_t capacity, const char *extension, char separator) {
    const void *end = std::memchr(path, '\0', capacity);
    if (end == nullptr) return 1;
    const std::size_t length = static_cast<const char *>(end) - path;
    std::size_t skip = 0;
    while (path[skip] == ' ') ++skip;

    const char *start = path + skip;
    const char *dot = ExtensionDot(start, separator);
    const std::size_t keep = dot != nullptr ? static_cast<std::size_t>(dot - start) : length - skip;

    const std::size_t extensionLength = std::strlen(extension);
    if (keep + extensionLength + 1 > capacity) return 1;
    std::memmove(path, start, keep);
    std::memcpy(path + keep, extension, extensionLength + 1);
    return 0;
}
