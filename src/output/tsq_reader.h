// Reader of TSQ observation files, with the validation a host applies.
//
// Used to check what the writer produced and by the command-line tool to
// dump a file. Every read is bounded by the caller's arrays: a damaged file
// yields a message, never a read past a buffer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "output/tsq_file.h"
#include "threadbuf/payloads.h"

// Results of ReadTsqEpoch.
inline constexpr int32_t TSQ_EPOCH_READ = 0;  // one epoch delivered
inline constexpr int32_t TSQ_END_OF_FILE = 1; // clean end; "End of file" in ErrorText
inline constexpr int32_t TSQ_READ_FAILED = 2; // damaged or unreadable; message in ErrorText

inline constexpr uint16_t kTsqReaderBufferSize = 2048;
// An epoch never carries more measurement records than a u8 count allows.
inline constexpr int32_t kTsqMaxMeasurements = 255;

struct TsqReader {
    // The stored header, with the reader's own path in the file-name field
    // and its own buffer size in the buffer-size field (slots zeroed).
    uint8_t header[kTsqHeaderSize];
    // The file-name field as the file holds it (the name it was written
    // as), always NUL-terminated.
    char storedName[kTsqFileNameSize + 1];
    std::FILE *stream;
    char path[kTsqPathSize];
    uint8_t channels;
    int32_t state; // TSQ_EPOCH_READ while more may follow, else the final result
    double lastEpochTime;
    char buffer[kTsqReaderBufferSize];
};

// The header fields in native form.
struct TsqHeaderFields {
    uint16_t headerSize;
    float version;
    uint8_t receiverType;
    uint8_t channels;
    int16_t month, day, year, hour, minute, second;
    float headerParameter;
    char fileName[kTsqFileNameSize + 1]; // always NUL-terminated
    int16_t bufferSize;
};

// 0 when the file was opened and its header accepted; 1 otherwise, with the
// message in ErrorText and nothing left open.
int32_t OpenTsqReader(TsqReader *reader, const char *path);
// Reads the next epoch into epoch and meas (room for measCapacity records).
// After an error or the end every further call returns the same result.
int32_t ReadTsqEpoch(TsqReader *reader, EpochRecord *epoch, MeasRecord *meas, int32_t measCapacity);
void CloseTsqReader(TsqReader *reader);

void GetTsqHeaderFields(const uint8_t *header, TsqHeaderFields *fields);
// The name of a receiver-type code ("UNKNOWN" for codes the format does not define).
const char *TsqReceiverTypeName(int32_t code);
