#include "output/tsq_reader.h"

#include <cstring>

#include "common/error_text.h"
#include "common/le.h"

namespace {

constexpr const char *kUnableToOpen = "Error: Unable to open %s";
constexpr const char *kUnableToReadHeader = "Error: Unable to read header from %s";
constexpr const char *kInvalidHeaderSize = "Error: Invalid header size in %s  Size: %d   Hsize: %d";
constexpr const char *kEndOfFile = "End of file";
constexpr const char *kUnableToRead = "Error: Unable to read from %s";
constexpr const char *kBadPositionRecord = "Error: Bad position record in %s";
constexpr const char *kTooManyMeasurements = "Error: Epoch %.1lf has %d measurements %d channels in %s";
constexpr const char *kPrematureEnd = "Error: Pre-mature end of file in %s at epoch %.1lf";
constexpr const char *kBadMeasurementRecord = "Error: Bad measurement record (1) in %s";

constexpr const char *kReceiverTypeNames[] = {
    "UNKNOWN",
    "Leica MX",
    "Ashtech GPS",
    "Trimble 4000",
    "NovAtel",
    "Motorola Oncore",
    "RINEX",
    "FURUNO",
    "Navstar",
    "Rockwell PLGR",
    "Marconi",
    "AOA Turbo Binary",
    "RTCM",
    "Leica SR",
    "Rockwell Jupiter",
    "Trimble SV6",
    "Sorvane Resampled",
    "Ashtech GPS-GLN",
    "UKOA",
    "Rockwell PLGR2",
    "Magellan",
    "Position Correction",
    "Javad",
    "Trimble CMR",
    "Garmin 25/35",
    "Trimble TIPY",
    "Trimble TSIP",
    "UniStrong Custom",
    "NavSys AGR",
    "Trimble Real-Time",
};
constexpr int32_t kReceiverTypeCount = sizeof kReceiverTypeNames / sizeof kReceiverTypeNames[0];
static_assert(kReceiverTypeCount == 30);

int32_t Fail(TsqReader *reader) {
    reader->state = TSQ_READ_FAILED;
    return TSQ_READ_FAILED;
}

} // namespace

int32_t OpenTsqReader(TsqReader *reader, const char *path) {
    if (reader == nullptr) {
        return 1;
    }
    std::memset(reader->header, 0, sizeof reader->header);
    reader->storedName[0] = '\0';
    reader->stream = nullptr;
    reader->channels = 0;
    reader->state = TSQ_READ_FAILED;
    reader->lastEpochTime = 0.0;
    if (path == nullptr) {
        path = "";
    }
    std::snprintf(reader->path, sizeof reader->path, "%s", path);

    std::FILE *stream = std::fopen(path, "rb");
    if (stream == nullptr) {
        FormatErrorText(kUnableToOpen, reader->path);
        return 1;
    }
    // Should the stream refuse the buffer, its default buffering serves as
    // well; only speed differs.
    (void)std::setvbuf(stream, reader->buffer, _IOFBF, sizeof reader->buffer);
    if (std::fread(reader->header, kTsqHeaderSize, 1, stream) != 1) {
        FormatErrorText(kUnableToReadHeader, reader->path);
        std::fclose(stream);
        return 1;
    }
    const uint16_t headerSize = le::U2(reader->header + offsetof(TsqHeader, headerSize));
    if (headerSize != kTsqHeaderSize) {
        FormatErrorText(kInvalidHeaderSize, reader->path, static_cast<int>(headerSize),
                        static_cast<int>(kTsqHeaderSize));
        std::fclose(stream);
        return 1;
    }
    // The records follow the header just read: the stream is already at
    // them, and a pipe, which cannot seek, reads as a file does.
    // What a stored header says about the writer's name, stream and buffer
    // is meaningless here; the reader's own values replace it (the stored
    // name is kept apart, for those who show it).
    uint8_t *name = reader->header + offsetof(TsqHeader, fileName);
    std::memcpy(reader->storedName, name, kTsqFileNameSize);
    reader->storedName[kTsqFileNameSize] = '\0';
    std::memset(name, 0, kTsqFileNameSize);
    std::size_t nameLength = std::strlen(reader->path);
    std::memcpy(name, reader->path, nameLength < kTsqFileNameSize ? nameLength : kTsqFileNameSize - 1);
    std::memset(reader->header + offsetof(TsqHeader, handleSlot), 0, 4);
    le::PutU2(reader->header + offsetof(TsqHeader, bufferSize), kTsqReaderBufferSize);
    std::memset(reader->header + offsetof(TsqHeader, bufferSlot), 0, 4);

    reader->stream = stream;
    reader->channels = le::U1(reader->header + offsetof(TsqHeader, channels));
    reader->state = TSQ_EPOCH_READ;
    return 0;
}

// Over 60 lines: every check of an epoch read back (its length, its
// measurements' count and lengths, the end of the file) sits in the order
// the bytes come.
int32_t ReadTsqEpoch(TsqReader *reader, EpochRecord *epoch, MeasRecord *meas, int32_t measCapacity) {
    if (reader == nullptr || reader->stream == nullptr) {
        return TSQ_READ_FAILED;
    }
    if (reader->state != TSQ_EPOCH_READ) {
        return reader->state;
    }
    if (epoch == nullptr) {
        return TSQ_READ_FAILED;
    }
    uint8_t record[kEpochRecordSize];
    std::size_t got = std::fread(record, 1, sizeof record, reader->stream);
    if (got < sizeof record) {
        if (std::ferror(reader->stream) != 0) {
            FormatErrorText(kUnableToRead, reader->path);
            return Fail(reader);
        }
        if (got == 0) {
            SetErrorText(kEndOfFile);
            reader->state = TSQ_END_OF_FILE;
            return TSQ_END_OF_FILE;
        }
        // A position record cut short is damage, not a clean end.
        FormatErrorText(kBadPositionRecord, reader->path);
        return Fail(reader);
    }
    *epoch = le::Load<EpochRecord>(record);
    if (epoch->recordLength != kEpochRecordSize) {
        FormatErrorText(kBadPositionRecord, reader->path);
        return Fail(reader);
    }
    const int32_t count = epoch->satCount;
    const double time = epoch->receiverTime;
    reader->lastEpochTime = time;
    if (count > reader->channels) {
        FormatErrorText(kTooManyMeasurements, time, static_cast<int>(count), static_cast<int>(reader->channels),
                        reader->path);
        return Fail(reader);
    }
    // The caller's array bounds the read as well as the header's channels.
    if (count > 0 && (meas == nullptr || count > measCapacity)) {
        FormatErrorText(kTooManyMeasurements, time, static_cast<int>(count),
                        static_cast<int>(measCapacity < 0 ? 0 : measCapacity), reader->path);
        return Fail(reader);
    }
    const std::size_t wanted = static_cast<std::size_t>(count);
    if (std::fread(meas, sizeof(MeasRecord), wanted, reader->stream) != wanted) {
        if (std::ferror(reader->stream) != 0) {
            FormatErrorText(kUnableToRead, reader->path);
        } else {
            FormatErrorText(kPrematureEnd, reader->path, time);
        }
        return Fail(reader);
    }
    for (int32_t i = 0; i < count; ++i) {
        if (meas[i].recordLength != kMeasRecordSize) {
            FormatErrorText(kBadMeasurementRecord, reader->path);
            return Fail(reader);
        }
    }
    return TSQ_EPOCH_READ;
}

void CloseTsqReader(TsqReader *reader) {
    if (reader == nullptr || reader->stream == nullptr) {
        return;
    }
    std::fclose(reader->stream);
    reader->stream = nullptr;
    reader->state = TSQ_READ_FAILED;
}

void GetTsqHeaderFields(const uint8_t *header, TsqHeaderFields *fields) {
    fields->headerSize = le::U2(header + offsetof(TsqHeader, headerSize));
    fields->version = le::R4(header + offsetof(TsqHeader, versionBits));
    fields->receiverType = le::U1(header + offsetof(TsqHeader, receiverType));
    fields->channels = le::U1(header + offsetof(TsqHeader, channels));
    fields->month = static_cast<int16_t>(le::U2(header + offsetof(TsqHeader, month)));
    fields->day = static_cast<int16_t>(le::U2(header + offsetof(TsqHeader, day)));
    fields->year = static_cast<int16_t>(le::U2(header + offsetof(TsqHeader, year)));
    fields->hour = static_cast<int16_t>(le::U2(header + offsetof(TsqHeader, hour)));
    fields->minute = static_cast<int16_t>(le::U2(header + offsetof(TsqHeader, minute)));
    fields->second = static_cast<int16_t>(le::U2(header + offsetof(TsqHeader, second)));
    fields->headerParameter = le::R4(header + offsetof(TsqHeader, parameterBits));
    // A stored name need not be terminated; the copy always is.
    std::memcpy(fields->fileName, header + offsetof(TsqHeader, fileName), kTsqFileNameSize);
    fields->fileName[kTsqFileNameSize] = '\0';
    fields->bufferSize = static_cast<int16_t>(le::U2(header + offsetof(TsqHeader, bufferSize)));
}

const char *TsqReceiverTypeName(int32_t code) {
    if (code <= 0 || code >= kReceiverTypeCount) {
        return kReceiverTypeNames[0];
    }
    return kReceiverTypeNames[code];
}
