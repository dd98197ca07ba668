// Writer of the TSQ observation file.
//
// The header is written once at open; epochs follow as the position record
// and its measurement records, copied byte for byte from the ThreadBuf
// payloads with only their length words stamped. The stream is fully
// buffered with a buffer this writer owns, so a failed write may surface at
// a later epoch or at close; close therefore checks the final flush and the
// stream's error state, so that a truncated file is never reported as written.
#include "output/tsq_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/error_text.h"
#include "common/le.h"

namespace {

constexpr uint16_t kPositionRecordLength = 68;
constexpr uint16_t kMeasurementRecordLength = 44;
// Epochs of up to this many measurements go out in one write.
constexpr uint32_t kOneWriteMeasurements = 24;

constexpr const char *kNoMemoryHeader = "Error: Not enough memory in header";
constexpr const char *kUnableToOpen = "Error: Unable to open %s for writing";
constexpr const char *kNoMemoryBuffer = "Error: Not enough memory in buffer";
constexpr const char *kNoFileBuffer = "Error: Unable to initialize file buffer";
constexpr const char *kUnableToWrite = "Error: Unable to write to %s";
constexpr const char *kTooManyMeasurements = "Error: Epoch %.1lf has %d measurements %d channels in %s";
constexpr const char *kDiskFull = "Error: Unable to write to %s (disk full). Epoch %.1lf";
constexpr const char *kNotOpen = "Error: Observation file is not open";
constexpr const char *kNoEpoch = "Error: No epoch record to write";

bool SystemLocalTime(std::tm *now) {
    std::time_t t = std::time(nullptr);
    if (t == static_cast<std::time_t>(-1)) {
        return false;
    }
#if defined(_WIN32)
    return localtime_s(now, &t) == 0;
#else
    return localtime_r(&t, now) != nullptr;
#endif
}

TsqLocalTimeSource g_localTimeSource = SystemLocalTime;

// Calendar fields are stored as 16-bit values, truncated like the rest of
// the header's integers.
void PutCalendarField(uint8_t *at, int value) { le::PutU2(at, static_cast<uint16_t>(value)); }

} // namespace

struct TsqFile {
    uint8_t header[kTsqHeaderSize]; // the image written at open
    std::FILE *stream;
    char *buffer; // owned; null when the stream keeps its default buffering
    uint16_t bufferSize;
    uint8_t channels;
    char path[kTsqPathSize];
};

void SetTsqLocalTimeSource(TsqLocalTimeSource source) {
    g_localTimeSource = source != nullptr ? source : SystemLocalTime;
}

namespace {

bool IsLive(const TsqFile *file) {
    return file != nullptr && le::U2(file->header + offsetof(TsqHeader, headerSize)) == kTsqHeaderSize;
}

// The field keeps its terminating NUL: a longer path is cut, never
// spilled into the slots behind it.
void PutFileName(uint8_t *field, const char *path) {
    std::size_t nameLength = std::strlen(path);
    if (nameLength > kTsqFileNameSize - 1) {
        nameLength = kTsqFileNameSize - 1;
    }
    std::memset(field, 0, kTsqFileNameSize);
    std::memcpy(field, path, nameLength);
}

void BuildHeader(TsqFile *file, const char *path, uint8_t receiverType, float headerParameter, uint16_t bufferSize,
                 uint8_t channels) {
    uint8_t *h = file->header;
    le::PutU2(h + offsetof(TsqHeader, headerSize), static_cast<uint16_t>(kTsqHeaderSize));
    le::PutU4(h + offsetof(TsqHeader, versionBits), kTsqVersionBits);
    le::PutU1(h + offsetof(TsqHeader, receiverType), receiverType);
    le::PutU1(h + offsetof(TsqHeader, channels), channels);
    std::tm now{};
    if (g_localTimeSource(&now)) {
        PutCalendarField(h + offsetof(TsqHeader, month), now.tm_mon);
        PutCalendarField(h + offsetof(TsqHeader, day), now.tm_mday);
        PutCalendarField(h + offsetof(TsqHeader, year), now.tm_year);
        PutCalendarField(h + offsetof(TsqHeader, hour), now.tm_hour);
        PutCalendarField(h + offsetof(TsqHeader, minute), now.tm_min);
        PutCalendarField(h + offsetof(TsqHeader, second), now.tm_sec);
    }
    le::PutR4(h + offsetof(TsqHeader, parameterBits), headerParameter);
    PutFileName(h + offsetof(TsqHeader, fileName), path);
    le::PutU2(h + offsetof(TsqHeader, bufferSize), bufferSize);
    // Handle and buffer slots stay 0: pointers mean nothing on disk.
}

void Release(TsqFile *file) {
    std::free(file->buffer);
    std::memset(file->header, 0, sizeof file->header);
    std::free(file);
}

} // namespace

TsqFile *OpenTsqFile(const char *path, uint8_t receiverType, float headerParameter, uint16_t bufferSize,
                     uint8_t channels) {
    return OpenTsqFileBuffered(path, receiverType, headerParameter, bufferSize, channels, bufferSize);
}

TsqFile *OpenTsqFileBuffered(const char *path, uint8_t receiverType, float headerParameter, uint16_t bufferSize,
                             uint8_t channels, uint32_t streamBufferSize) {
    if (path == nullptr) {
        path = "";
    }
    auto *file = static_cast<TsqFile *>(std::calloc(1, sizeof(TsqFile)));
    if (file == nullptr) {
        SetErrorText(kNoMemoryHeader);
        return nullptr;
    }
    std::snprintf(file->path, sizeof file->path, "%s", path);
    file->bufferSize = bufferSize;
    file->channels = channels;
    BuildHeader(file, path, receiverType, headerParameter, bufferSize, channels);

    file->stream = std::fopen(path, "wb");
    if (file->stream == nullptr) {
        FormatErrorText(kUnableToOpen, path);
        Release(file);
        return nullptr;
    }
    if (streamBufferSize != 0) {
        file->buffer = static_cast<char *>(std::malloc(streamBufferSize));
        if (file->buffer == nullptr) {
            SetErrorText(kNoMemoryBuffer);
            std::fclose(file->stream);
            Release(file);
            return nullptr;
        }
        if (std::setvbuf(file->stream, file->buffer, _IOFBF, streamBufferSize) != 0) {
            SetErrorText(kNoFileBuffer);
            std::fclose(file->stream);
            Release(file);
            return nullptr;
        }
    }
    if (std::fwrite(file->header, kTsqHeaderSize, 1, file->stream) != 1) {
        FormatErrorText(kUnableToWrite, path);
        std::fclose(file->stream);
        Release(file);
        return nullptr;
    }
    return file;
}

int32_t WriteTsqEpoch(TsqFile *file, EpochRecord *epoch, MeasRecord *meas) {
    if (!IsLive(file)) {
        SetErrorText(kNotOpen);
        return 1;
    }
    if (epoch == nullptr || (epoch->satCount > 0 && meas == nullptr)) {
        SetErrorText(kNoEpoch);
        return 1;
    }
    const double time = epoch->receiverTime;
    const uint8_t count = epoch->satCount;
    if (count > file->channels) {
        FormatErrorText(kTooManyMeasurements, time, static_cast<int>(count), static_cast<int>(file->channels),
                        file->path);
        return 1;
    }
    epoch->recordLength = kPositionRecordLength;
    for (uint8_t i = 0; i < count; ++i) {
        meas[i].recordLength = kMeasurementRecordLength;
    }
    // One write for the epoch and its measurements: the stream takes the
    // same bytes in the same order, and fails at the same epoch, as with
    // two, for half the calls.
    // Measurements read in right behind their epoch are one block already.
    if (reinterpret_cast<uintptr_t>(meas) == reinterpret_cast<uintptr_t>(epoch) + sizeof(EpochRecord)) {
        if (std::fwrite(epoch, sizeof(EpochRecord) + sizeof(MeasRecord) * count, 1, file->stream) != 1) {
            FormatErrorText(kDiskFull, file->path, time);
            return 1;
        }
        return 0;
    }
    if (count <= kOneWriteMeasurements) {
        uint8_t block[sizeof(EpochRecord) + kOneWriteMeasurements * sizeof(MeasRecord)];
        std::memcpy(block, epoch, sizeof(EpochRecord));
        std::memcpy(block + sizeof(EpochRecord), meas, sizeof(MeasRecord) * count);
        if (std::fwrite(block, sizeof(EpochRecord) + sizeof(MeasRecord) * count, 1, file->stream) != 1) {
            FormatErrorText(kDiskFull, file->path, time);
            return 1;
        }
        return 0;
    }
    if (std::fwrite(epoch, sizeof(EpochRecord), 1, file->stream) != 1 ||
        std::fwrite(meas, sizeof(MeasRecord) * count, 1, file->stream) != 1) {
        FormatErrorText(kDiskFull, file->path, time);
        return 1;
    }
    return 0;
}

int32_t CloseTsqFile(TsqFile *file) {
    if (!IsLive(file)) {
        return 0;
    }
    bool failed = std::fflush(file->stream) != 0 || std::ferror(file->stream) != 0;
    if (std::fclose(file->stream) != 0) {
        failed = true;
    }
    if (failed) {
        FormatErrorText(kUnableToWrite, file->path);
    }
    Release(file);
    return failed ? 1 : 0;
}

void DiscardTsqFile(TsqFile *file) {
    if (!IsLive(file)) {
        return;
    }
    std::fclose(file->stream);
    Release(file);
}

int32_t SetTsqFileName(const char *path, const char *recordedName) {
    uint8_t field[kTsqFileNameSize];
    PutFileName(field, recordedName);
    std::FILE *stream = std::fopen(path, "r+b");
    if (stream == nullptr) {
        FormatErrorText(kUnableToOpen, path);
        return 1;
    }
    bool failed = std::fseek(stream, static_cast<long>(offsetof(TsqHeader, fileName)), SEEK_SET) != 0 ||
                  std::fwrite(field, 1, sizeof field, stream) != sizeof field;
    if (std::fclose(stream) != 0) failed = true;
    if (failed) {
        FormatErrorText(kUnableToWrite, path);
        return 1;
    }
    return 0;
}
