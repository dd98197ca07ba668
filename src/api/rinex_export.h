// The RINEX side of a conversion: turns the records the driver drains into
// RINEX observation epochs, camera events and navigation records, and gives
// the two files their headers at the end.
#pragma once

#include <cstdint>

#include "threadbuf/payloads.h"

#include "common/decoded_epoch.h"

struct Oem4Decoder;

// Opens BASE.obs and BASE.nav (RINEX 3.04), or with version 211 (RINEX
// 2.11) BASE.obs, the GPS BASE.nav and the GLONASS navigation file at
// glonassNavPath. 0, or 1 with the message in ErrorText and nothing left
// open.
int32_t OpenRinexExport(const char *obsPath, const char *navPath, const char *markerName, int32_t version = 0,
                        const char *glonassNavPath = nullptr);
// Each returns 0, or 1 with "Error: Unable to write to %s" in ErrorText.
// One decoded epoch, every observation of a signal RINEX names; *written
// tells whether it had any (an epoch of none is not written).
int32_t ExportRinexEpoch(const DecodedEpoch *epoch, bool *written);
int32_t ExportRinexMark(const MarkRecord *mark);
// (week, seconds): the GPS time of the record that carried the ephemeris.
int32_t ExportRinexEphemeris(const GpsEphRecord *ephemeris, int32_t week, double seconds);
// The GLONASS, Galileo, BeiDou and QZSS ephemerides the record just decoded
// gave (the port's broadcast ephemerides). One that repeats the previous
// ephemeris of its satellite and message type is not written again.
int32_t ExportRinexBroadcast(const Oem4Decoder *port);
// The first position of the log becomes the header's approximate position.
void ExportRinexPosition(const PositionRecord *position);
// Writes both files whole; the port (may be null) gives the receiver's
// VERSION and IONUTC content. 0, or 1 with the message in ErrorText.
int32_t CloseRinexExport(const Oem4Decoder *port);
// Closes after a failed start without writing the files.
void DiscardRinexExport();
