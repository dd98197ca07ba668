// Writers of the two text outputs: the EPP ephemeris file and the mark file.
// Each returns 0 on success and 1 when a write failed, with
// "Error: Unable to write to %s" and the file's path in ErrorText.
#pragma once

#include <cstdint>
#include <cstdio>

#include "threadbuf/payloads.h"

int32_t WriteEppEphemeris(std::FILE *stream, const char *path, const GpsEphRecord *ephemeris);
// Writes nothing (and returns 0) for an almanac of another satellite system.
int32_t WriteEppAlmanac(std::FILE *stream, const char *path, const AlmanacRecord *almanac);
// With no stream it writes nothing and returns 0.
int32_t WriteMarkEvent(std::FILE *stream, const char *path, const MarkRecord *mark);
// Flushes and closes a text output; 1 when either failed.
int32_t CloseTextOutput(std::FILE *stream, const char *path);
