// The TSQ observation file: a 202-byte header, then per epoch one 68-byte
// position record and its 44-byte measurement records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "threadbuf/payloads.h"

// ---- file layout --------------------------------------------------------
// The stored header. Documented as a struct so that its offsets are checked;
// it is built and read as bytes through the le accessors.
#pragma pack(push, 1)
struct TsqHeader {
    uint16_t headerSize;  // 202
    uint32_t versionBits; // f32 1.01
    uint8_t receiverType; // 4 = NovAtel
    uint8_t channels;     // most measurement records an epoch may carry
    int16_t month;        // creation local time: 0..11
    int16_t day;          // 1..31
    int16_t year;         // years since 1900
    int16_t hour;
    int16_t minute;
    int16_t second;
    uint32_t parameterBits; // f32, 1.0 from this library
    char fileName[144];     // NUL-terminated, rest zero
    uint8_t handleSlot[4];  // meaningless on disk; readers ignore it
    int16_t bufferSize;     // the writer's stream buffer size
    uint8_t bufferSlot[4];  // meaningless on disk; readers ignore it
    uint8_t reserved[24];
};
#pragma pack(pop)

inline constexpr std::size_t kTsqHeaderSize = 202;
inline constexpr uint32_t kTsqVersionBits = 0x3F8147AEu; // 1.01f
inline constexpr std::size_t kTsqFileNameSize = 144;
inline constexpr std::size_t kTsqPathSize = 1024; // paths kept for messages

static_assert(sizeof(TsqHeader) == kTsqHeaderSize);
static_assert(offsetof(TsqHeader, versionBits) == 2);
static_assert(offsetof(TsqHeader, receiverType) == 6);
static_assert(offsetof(TsqHeader, channels) == 7);
static_assert(offsetof(TsqHeader, month) == 8);
static_assert(offsetof(TsqHeader, day) == 10);
static_assert(offsetof(TsqHeader, year) == 12);
static_assert(offsetof(TsqHeader, hour) == 14);
static_assert(offsetof(TsqHeader, minute) == 16);
static_assert(offsetof(TsqHeader, second) == 18);
static_assert(offsetof(TsqHeader, parameterBits) == 20);
static_assert(offsetof(TsqHeader, fileName) == 24);
static_assert(offsetof(TsqHeader, handleSlot) == 168);
static_assert(offsetof(TsqHeader, bufferSize) == 172);
static_assert(offsetof(TsqHeader, bufferSlot) == 174);
static_assert(offsetof(TsqHeader, reserved) == 178);

// ---- writer -------------------------------------------------------------
struct TsqFile;

// Creates the file and writes its header; null on failure with the message
// in ErrorText. bufferSize 0 keeps the stream's default buffering. A path
// longer than 143 characters is cut inside the header's file-name field; the
// messages name the full path.
TsqFile *OpenTsqFile(const char *path, uint8_t receiverType, float headerParameter, uint16_t bufferSize,
                     uint8_t channels);
// As OpenTsqFile, but the stream's buffer holds streamBufferSize bytes while
// the header still records bufferSize, so the file's bytes are those of
// OpenTsqFile. A larger stream buffer makes fewer, larger writes to the
// system; a failed write then shows at the epoch that overflows the larger
// buffer, or at close. streamBufferSize 0 keeps the default buffering.
TsqFile *OpenTsqFileBuffered(const char *path, uint8_t receiverType, float headerParameter, uint16_t bufferSize,
                             uint8_t channels, uint32_t streamBufferSize);
// 0 when the epoch was written, 1 when not (message in ErrorText). Stamps
// the length words into the caller's records.
int32_t WriteTsqEpoch(TsqFile *file, EpochRecord *epoch, MeasRecord *meas);
// Flushes, closes and releases; 0 on success, 1 when the final flush or
// close failed, or an earlier write to the stream had failed, so the file is
// incomplete ("Error: Unable to write to %s" in ErrorText).
int32_t CloseTsqFile(TsqFile *file);
// Closes and releases without a word, whatever the close gives: for a
// conversion that failed to start, whose reason already stands.
void DiscardTsqFile(TsqFile *file);

// Records `recordedName` in the header of the closed file at `path`, as
// OpenTsqFile would have: a file written under a temporary name and then
// renamed holds the name it is known by. 0, or 1 with "Error: Unable to
// open %s for writing" or "Error: Unable to write to %s" in ErrorText.
int32_t SetTsqFileName(const char *path, const char *recordedName);

// The local time stamped into new headers. Tests install a fixed clock; null
// restores the system clock. The source returns false when no time is known
// (the creation fields are then 0).
using TsqLocalTimeSource = bool (*)(std::tm *now);
void SetTsqLocalTimeSource(TsqLocalTimeSource source);
