// The dump command: an observation file's header and epochs as readable
// text, or its measurements as CSV (one row per satellite and epoch).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "common/error_text.h"
#include "output/tsq_reader.h"
#include "platform.h"

namespace {

constexpr const char *kCsvColumns =
    "week,receiver_time,corrected_time,flags,latitude,longitude,height,clock_offset,"
    "clock_drift,satellites,prn,l1_lock,l1_pseudorange,l1_phase,l1_doppler,l2_pseudorange,"
    "l2_phase\n";

// Static: the reader holds its buffers, and an epoch may carry 255 records.
TsqReader g_reader;
EpochRecord g_epoch;
MeasRecord g_meas[kTsqMaxMeasurements];

void PrintHeader(const char *path) {
    TsqHeaderFields header;
    GetTsqHeaderFields(g_reader.header, &header);
    std::printf("File:             %s\n", path);
    std::printf("Header size:      %u\n", static_cast<unsigned>(header.headerSize));
    std::printf("Format version:   %.2f\n", static_cast<double>(header.version));
    std::printf("Receiver type:    %u (%s)\n", static_cast<unsigned>(header.receiverType),
                TsqReceiverTypeName(header.receiverType));
    std::printf("Channels:         %u\n", static_cast<unsigned>(header.channels));
    std::printf("Created:          %04d-%02d-%02d %02d:%02d:%02d\n", header.year + 1900, header.month + 1,
                static_cast<int>(header.day), static_cast<int>(header.hour), static_cast<int>(header.minute),
                static_cast<int>(header.second));
    std::printf("Header parameter: %g\n", static_cast<double>(header.headerParameter));
    // The name stored in the file, not the reader's path that replaces it
    // in the header's copy.
    std::printf("Written as:       %s\n", g_reader.storedName);
}

void PrintEpochText() {
    std::printf("\nEpoch week %u  time %.3f  corrected %.9f  satellites %u  flags %u\n",
                static_cast<unsigned>(g_epoch.week), g_epoch.receiverTime, g_epoch.correctedTime,
                static_cast<unsigned>(g_epoch.satCount), static_cast<unsigned>(g_epoch.flags));
    std::printf("  position %.9f %.9f %.3f  clock offset %.3f m  drift %.6f\n", g_epoch.latitude, g_epoch.longitude,
                static_cast<double>(g_epoch.height), g_epoch.clockOffset, g_epoch.clockDrift);
    if (g_epoch.satCount == 0) return;
    std::printf("  %4s %4s %15s %16s %12s %15s %16s\n", "PRN", "lock", "L1 code", "L1 phase", "L1 Doppler", "L2 code",
                "L2 phase");
    for (int i = 0; i < g_epoch.satCount; ++i) {
        const MeasRecord &m = g_meas[i];
        std::printf("  %4u %4u %15.3f %16.3f %12.3f %15.3f %16.3f\n", static_cast<unsigned>(m.prn),
                    static_cast<unsigned>(m.l1Lock), m.l1Pseudorange, m.l1Phase, m.l1Doppler, m.l2Pseudorange,
                    m.l2Phase);
    }
}

// The epoch's columns of each of its rows, at whatever width its values
// print: a damaged record's 1e300 prints 300 digits, and a row cut short
// would shift every column after it.
std::string EpochColumns() {
    const auto print = [](char *to, std::size_t size) {
        return std::snprintf(to, size, "%u,%.3f,%.9f,%u,%.9f,%.9f,%.3f,%.3f,%.6f,%u",
                             static_cast<unsigned>(g_epoch.week), g_epoch.receiverTime, g_epoch.correctedTime,
                             static_cast<unsigned>(g_epoch.flags), g_epoch.latitude, g_epoch.longitude,
                             static_cast<double>(g_epoch.height), g_epoch.clockOffset, g_epoch.clockDrift,
                             static_cast<unsigned>(g_epoch.satCount));
    };
    const int length = print(nullptr, 0);
    if (length <= 0) return std::string();
    std::string columns(static_cast<std::size_t>(length), '\0');
    print(columns.data(), columns.size() + 1);
    return columns;
}

void PrintEpochCsv() {
    const std::string columns = EpochColumns();
    const char *common = columns.c_str();
    if (g_epoch.satCount == 0) {
        std::printf("%s,,,,,,,\n", common);
        return;
    }
    for (int i = 0; i < g_epoch.satCount; ++i) {
        const MeasRecord &m = g_meas[i];
        std::printf("%s,%u,%u,%.3f,%.3f,%.3f,%.3f,%.3f\n", common, static_cast<unsigned>(m.prn),
                    static_cast<unsigned>(m.l1Lock), m.l1Pseudorange, m.l1Phase, m.l1Doppler, m.l2Pseudorange,
                    m.l2Phase);
    }
}

} // namespace

// Why the file could not be opened as an observation file, in words: a
// file of another kind is not "damaged", it is not an observation file.
void ReportOpenFailure(const std::string &path, int error) {
    if (std::strncmp(ErrorText, "Error: Unable to open", 21) == 0) {
        std::fprintf(stderr, "oem4conv: cannot open %s: %s\n", path.c_str(), std::strerror(error));
    } else if (std::strncmp(ErrorText, "Error: Invalid header size", 26) == 0 ||
               std::strncmp(ErrorText, "Error: Unable to read header", 28) == 0) {
        std::fprintf(stderr, "oem4conv: %s: not an observation file (.tsq)\n", path.c_str());
    } else {
        std::fprintf(stderr, "oem4conv: %s\n", ErrorText);
    }
}

int RunDump(const std::string &path, bool csv) {
    // A directory opens for reading on some systems and reads as nothing:
    // its reason is the one to give.
    if (KindOfPath(path) == kPathDirectory) {
        std::fprintf(stderr, "oem4conv: cannot open %s: %s\n", path.c_str(), std::strerror(EISDIR));
        return kExitFailed;
    }
    errno = 0;
    if (OpenTsqReader(&g_reader, path.c_str()) != 0) {
        ReportOpenFailure(path, errno);
        return kExitFailed;
    }
    if (csv) {
        std::fputs(kCsvColumns, stdout);
    } else {
        PrintHeader(path.c_str());
    }
    long epochs = 0;
    int32_t result = TSQ_EPOCH_READ;
    // A write that fails (a full disk, a reader gone) ends the dump: the
    // rest would be lost as well.
    while (std::ferror(stdout) == 0 &&
           (result = ReadTsqEpoch(&g_reader, &g_epoch, g_meas, kTsqMaxMeasurements)) == TSQ_EPOCH_READ) {
        ++epochs;
        if (csv) {
            PrintEpochCsv();
        } else {
            PrintEpochText();
        }
    }
    CloseTsqReader(&g_reader);
    if (!csv) std::printf("\n%ld epochs\n", epochs);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "oem4conv: cannot write to standard output: %s\n", std::strerror(errno));
        return kExitFailed;
    }
    if (result != TSQ_END_OF_FILE) {
        std::fprintf(stderr, "oem4conv: %s\n", ErrorText);
        return kExitFailed;
    }
    return kExitOk;
}
