// The RINEX side of a conversion: turns the records the driver drains into
// RINEX observation epochs, camera events and navigation records, and gives
// the two files their headers at the end.
#pragma once

#include <cstdint>

#include "threadbuf/payloads.h"

#include "common/decoded_epoch.h"

struct Oem4Decoder;

// Opens BASE.obs and BASE.nav, RINEX version 304 or 211. 0, or 1 with the
// message in ErrorText and nothing left open.
int32_t OpenRinexExport(const char *obsPath, const char *navPath, const char *markerName, int32_t version);
// Each returns 0, or 1 with "Error: Unable to write to %s" in ErrorText.
// One decoded epoch, every observation of a signal RINEX names.
int32_t ExportRinexEpoch(const DecodedEpoch *epoch);
int32_t ExportRinexMark(const MarkRecord *mark);
// (week, seconds): the GPS time of the record that carried the ephemeris.
int32_t ExportRinexEphemeris(const GpsEphRecord *ephemeris, int32_t week, double seconds);
// The first position of the log becomes the header's approximate position.
void ExportRinexPosition(const PositionRecord *position);
// Writes both files whole; the port (may be null) gives the receiver's
// VERSION and IONUTC content. 0, or 1 with the message in ErrorText.
int32_t CloseRinexExport(const Oem4Decoder *port);
// Closes after a failed start without writing the files.
void DiscardRinexExport();
