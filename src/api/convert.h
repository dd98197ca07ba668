// The conversion driver behind ConvertFile, and the helpers it shares with
// tests and tools.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/path_size.h"
#include "oem4/screening.h"

struct ConvertOptions;
struct ConvertHost;

// The conversion behind ConvertFile, once its arguments have passed their
// checks: converts options->inputFile with the given observation-file
// channels, writes the counters back and returns 0 or 1 (ErrorText says
// why). One at a time: the driver's state exists once per process.
int32_t RunConversion(ConvertOptions *options, ConvertHost *host, uint32_t channels);

// Passes a message of the running conversion to the host's onMessage.
void ForwardMessage(double time, const char *text);

// The directory separator of output base paths on this platform. Windows
// hosts pass '\' paths; on POSIX '/' is the separator and '\' is an
// ordinary file-name character.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// What the observation file of a receiver's second antenna is named: the
// output base with this in place of its extension (day1-antenna2.obs
// beside day1.obs). It is written with RINEX, for a log that has one.
inline constexpr const char *kSecondAntennaObsEnd = "-antenna2.obs";

// Replaces the extension of the NUL-terminated path in place (or appends it
// when the last component has none) after removing leading spaces.
// `extension` includes its leading '.'. Returns 0, or 1 when the result
// would not fit in `capacity` bytes with its NUL; the path is then left
// unchanged.
int32_t ChangeExtensionWith(char *path, std::size_t capacity, const char *extension, char separator);
inline int32_t ChangeExtension(char *path, std::size_t capacity, const char *extension) {
    return ChangeExtensionWith(path, capacity, extension, kPathSeparator);
}

// Whether the last component's extension is digits alone ("run.1",
// "flight_2024.06.01"), or digits joined by single '-' or '_'
// ("flight.2024-06-01"): a number or a date that names the output, which
// the command keeps in an output base it is given.
bool ExtensionIsNumberWith(const char *path, char separator);
inline bool ExtensionIsNumber(const char *path) { return ExtensionIsNumberWith(path, kPathSeparator); }

// Progress counts cross the interface as 32-bit signed values. Inputs of
// 2 GiB or more are reported with both values divided by the same power of
// two so that the ratio stays right; done never exceeds total.
void ScaleProgress(int64_t done, int64_t total, int32_t *doneOut, int32_t *totalOut);

// How the driver hands each input block to the decoder: 0 byte by byte
// through DecodeByte, n > 0 through DecodeBytes n bytes at a time (the
// default takes the whole block at once). The outputs and messages must be
// the same either way. Returns the size in force before.
uint32_t SetConvertFeedSize(uint32_t size);

// What the latest conversion could not put into its observation file (the
// decoder's counts, and the epochs the file refused), and what it found
// wrong with the log.
struct ConversionStats {
    ScreeningStats screening;
    uint32_t refusedEpochs;
    // Bytes of the log read, the records framed (CRC good) and the bytes
    // outside them (unknown records, or damage skipped by resynchronising).
    uint64_t bytesRead;
    uint64_t records;
    uint64_t bytesSkipped;
    // Of the bytes skipped, when they were many: intact records of kinds
    // the conversion does not read (an INS receiver's, say), and their bytes.
    uint64_t otherKindRecords;
    uint64_t otherKindBytes;
    // Candidate records dropped for a CRC failure, and those of a known kind
    // for a length (or item count) that does not fit the kind.
    uint32_t crcFailures;
    uint32_t lengthFailures;
    // Range records of a receiver's second antenna, skipped (or, with
    // RINEX, converted into the second antenna's observation file), and
    // the epochs that file took of them.
    uint32_t secondAntennaRanges;
    uint32_t secondAntennaEpochs;
    // Pulses of the receiver's other mark inputs (by MARK2TIME...,
    // MARK2POS... or MARK2PVA... records, whichever came most often), and
    // pulses of the first whose MARKPOS or MARK1PVA came without a MARKTIME
    // (markPositionsByPva: MARK1PVA's were the more): not in the mark file,
    // which takes MARKTIME's.
    uint32_t otherMarkInputs;
    uint32_t markPositionsOnly;
    bool markPositionsByPva;
    // Epochs whose time was earlier than the epoch before them.
    uint32_t timeReversals;
    // Offset of the record the log ends inside; -1 when it ends between
    // records.
    int64_t truncatedAt;
    // The system's error number (errno) of the failure that ended the
    // conversion, 0 when none was given.
    int osError;
    // The GPS week and receiver time of the first and the last epoch the
    // observation file took (valid when epochsTaken is not 0).
    uint32_t epochsTaken;
    uint32_t firstWeek, lastWeek;
    double firstTime, lastTime;
    // Epochs of GPS week 0 the observation file took besides (IsUnsetWeek):
    // no part of the span, which they would stretch back to 1980.
    uint32_t unknownWeekEpochs;
    // Epochs the RINEX observation file took (with or without the host's
    // files).
    uint32_t rinexEpochs;
};
const ConversionStats &LastConversionStats();

// The epochs the running conversion has written so far, for a progress
// display (read from the progress callback).
uint32_t EpochsWrittenSoFar();

// RINEX export of the conversions that follow (the command's --rinex): a
// RINEX 3.04 observation file BASE.obs and navigation file BASE.nav (2.11:
// the GPS BASE.nav and the GLONASS BASE.gnav) from the same pass, beside
// the host's files or, with hostFiles 0, instead of them. Reached through
// the library's internal interface only; the exports and their behaviour do
// not change. markerName empty: the log's file name without its directory
// and extension.
struct ConvertRinexOptions {
    int32_t enabled;
    int32_t hostFiles;
    char markerName[61];
    // RINEX version to write: 304 (3.04, the default when 0) or 211 (2.11).
    int32_t version;
};
// Sets the RINEX export (null turns it off) for the next conversions.
void SetConvertRinex(const ConvertRinexOptions *options);
// Whether the next conversions that skip 64 KiB or more read the log once
// more to tell records of kinds they do not read from damage (a second read
// of the whole log: an INS receiver's log takes about a quarter longer).
// The reportAll option asks for it too. Off by default; returns the setting
// in force before.
bool SetConvertCensus(bool on);
