// What the two GPS ephemeris records share. RAWEPHEM carries the raw
// subframes, GPSEPHEM the receiver's decoded values; both come down to the
// broadcast fields as whole multiples of their scale factors, which one
// scaling turns into the ephemeris record, so that the same broadcast gives
// the same record (and the same ephemeris file block) whichever record the
// receiver was told to log. The hand-over that follows (health rule,
// messages, ThreadBuf, ephemeris list) is shared as well.
#pragma once

#include <cstdint>

#include "oem4/oem4_decoder.h"
#include "threadbuf/payloads.h"
#include "threadbuf/threadbuf.h"

// One broadcast ephemeris in the units of the navigation message. The
// scaled fields are counts of their least significant bit; they are held as
// doubles so that a decoded value far outside its broadcast field still has
// a count instead of overflowing an integer.
struct GpsBroadcastFields {
    int32_t week;   // 10-bit broadcast week
    int32_t health; // 6-bit SV health
    int32_t iodc;
    int32_t iode;
    int32_t toc; // seconds
    int32_t toe; // seconds
    double tgd, af2, af1, af0;
    double crs, deltaN, m0, cuc, e, cus, sqrtA;
    double cic, omega0, cis, i0, crc, omega, omegaDot, idot;
};

// The ephemeris record of a satellite's broadcast fields.
void ScaleGpsEphemeris(int32_t prn, const GpsBroadcastFields &fields, GpsEphRecord &eph);

// Whether subframes 1 to 3 come from one upload: the IODE of subframes 2
// and 3 both equal the low 8 bits of the IODC. At a cut-over a receiver
// can hold subframes of the old and the new set side by side, and their
// mix is no orbit the satellite ever flew.
inline bool SameDataSet(int32_t iodc, int32_t iodeSubframe2, int32_t iodeSubframe3) {
    return iodeSubframe2 == iodeSubframe3 && iodeSubframe2 == (iodc & 0xFF);
}

// Drops an ephemeris holding values no broadcast can give: it is reported
// (as bad health where the satellite was flagged, whatever the values) and
// passed on nowhere, not even to the RINEX export of unhealthy ones, which
// would then carry a made-up orbit. Returns the RecordKind for the decoder
// to return.
int32_t DropInvalidGpsEphemeris(const Oem4Decoder *dec, double time, int32_t prn, int32_t health);

// Reports the ephemeris (bad health keeps it out of the ThreadBuf and hands
// it to the port's receiver of unhealthy ones, where set), puts it into the
// ThreadBuf and, when the receiver clock is to be recomputed, offers it to
// the ephemeris list. Returns the RecordKind for the decoder to return.
int32_t HandOutGpsEphemeris(Oem4Decoder *dec, double time, const GpsEphRecord &eph, ThreadBuf *buf);

// When the satellite sent the GPS ephemeris the port handed out last, in
// seconds of the week its subframe 1 names: RAWEPHEM's subframe 1 handover
// word, GPSEPHEM's time of subframe 0. It tells the week of the toe and
// toc, which the time the receiver logged the record cannot when the
// record was logged long after (an ephemeris kept over a power cycle) or
// before the receiver knew the week. NAN when not known.
inline double GpsEphemerisSentSeconds(const Oem4Decoder *dec) { return dec->gpsEphemerisSent; }
