// Writers of the two text outputs: the EPP ephemeris file and the mark file.
// Each returns 0 on success and 1 when a write failed, with
// "Error: Unable to write to %s" and the file's path in ErrorText. With no
// stream they write nothing and return 0.
//
// The streams are buffered, so a failure may be found by a later call or
// only when the stream is closed: the caller must close through
// CloseTextOutput and act on its result.
#pragma once

#include <cstdint>
#include <cstdio>

#include "threadbuf/payloads.h"

// The EPP file's first line, written once right after the file is created.
inline constexpr const char *kEppIdentificationLine = "$EPHREC Ver6.03 KAVRENO NovAtelOem4\n";

int32_t WriteEppIdentification(std::FILE *stream, const char *path);
int32_t WriteEppEphemeris(std::FILE *stream, const char *path, const GpsEphRecord *ephemeris);
// Writes nothing (and returns 0) for an almanac of another satellite system.
int32_t WriteEppAlmanac(std::FILE *stream, const char *path, const AlmanacRecord *almanac);
int32_t WriteMarkEvent(std::FILE *stream, const char *path, const MarkRecord *mark);
// Flushes and closes a text output; 1 when either failed or an earlier write
// to the stream had failed (the file is then incomplete).
int32_t CloseTextOutput(std::FILE *stream, const char *path);
