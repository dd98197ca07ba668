// The TSQ observation file: a 202-byte header, then per epoch one 68-byte
// position record and its 44-byte measurement records.
#pragma once

#include <cstdint>

#include "threadbuf/payloads.h"

struct TsqFile;

// Creates the file and writes its header; null on failure with the message
// in ErrorText. bufferSize 0 keeps the stream's default buffering.
TsqFile *OpenTsqFile(const char *path, uint8_t receiverType, float headerParameter,
                     uint16_t bufferSize, uint8_t channels);
// 0 when the epoch was written, 1 when not (message in ErrorText). Stamps
// the length words into the caller's records.
int32_t WriteTsqEpoch(TsqFile *file, EpochRecord *epoch, MeasRecord *meas);
// Flushes, closes and releases; 0 on success, 1 when the final flush or
// close failed ("Error: Unable to write to %s" in ErrorText).
int32_t CloseTsqFile(TsqFile *file);
