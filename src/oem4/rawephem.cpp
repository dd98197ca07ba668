// RAWEPHEM decoder: subframes 1 to 3 of a GPS satellite's navigation message
// decoded into an ephemeris record, and kept in the ephemeris list when the
// receiver clock is to be recomputed.
//
// Each subframe holds its ten 24-bit words without parity, most significant
// bit first, three bytes a word. Fields are named by word and first bit as
// the GPS interface document counts them (bit 1 is the word's first bit).
#include <cmath>

#include "common/gnss_time.h"
#include "common/le.h"
#include "oem4/decoders.h"
#include "oem4/gps_ephemeris.h"
#include "oem4/oem4_decoder.h"

namespace {

inline constexpr size_t kPrnAt = 0;
inline constexpr size_t kSubframe1At = 12;
inline constexpr size_t kSubframe2At = 42;
inline constexpr size_t kSubframe3At = 72;

inline constexpr int32_t kTimeScale = 16; // toc and toe are broadcast in units of 16 s
inline constexpr uint32_t kSubframeSeconds = 6;

// Bits [firstBit, firstBit + width) of word `word` (1 to 10) of a subframe.
uint32_t Bits(const uint8_t *subframe, int word, int firstBit, int width) {
    const uint8_t *w = subframe + 3 * (word - 1);
    const uint32_t value = (static_cast<uint32_t>(w[0]) << 16) | (static_cast<uint32_t>(w[1]) << 8) | w[2];
    const uint32_t mask = (width >= 32) ? 0xFFFFFFFFu : ((1u << width) - 1u);
    return (value >> (24 - (firstBit - 1) - width)) & mask;
}

// A 32-bit field whose 8 high bits end one word and whose 24 low bits fill
// the next.
uint32_t Split32(const uint8_t *subframe, int highWord) {
    return (Bits(subframe, highWord, 17, 8) << 24) | Bits(subframe, highWord + 1, 1, 24);
}

// Two's complement value of a field of `width` bits.
int32_t Signed(uint32_t field, int width) {
    const int shift = 32 - width;
    return static_cast<int32_t>(field << shift) >> shift;
}

// Decodes the fields; false when the subframes cannot be one broadcast
// ephemeris: their issues of data disagree, or toc or toe, whose 16-bit
// fields reach 1048560 s, lie beyond the week.
bool DecodeSubframes(const uint8_t *sf1, const uint8_t *sf2, const uint8_t *sf3, GpsBroadcastFields &f) {
    // Subframe 1: clock and satellite status.
    f.week = static_cast<int32_t>(Bits(sf1, 3, 1, 10));
    f.health = static_cast<int32_t>(Bits(sf1, 3, 17, 6));
    f.iodc = static_cast<int32_t>(Bits(sf1, 3, 23, 2) * 256 + Bits(sf1, 8, 1, 8));
    f.tgd = Signed(Bits(sf1, 7, 17, 8), 8);
    f.toc = static_cast<int32_t>(Bits(sf1, 8, 9, 16)) * kTimeScale;
    f.af2 = Signed(Bits(sf1, 9, 1, 8), 8);
    f.af1 = Signed(Bits(sf1, 9, 9, 16), 16);
    f.af0 = Signed(Bits(sf1, 10, 1, 22), 22);

    // Subframe 2.
    f.iode = static_cast<int32_t>(Bits(sf2, 3, 1, 8));
    f.crs = Signed(Bits(sf2, 3, 9, 16), 16);
    f.deltaN = Signed(Bits(sf2, 4, 1, 16), 16);
    f.m0 = static_cast<int32_t>(Split32(sf2, 4));
    f.cuc = Signed(Bits(sf2, 6, 1, 16), 16);
    f.e = Split32(sf2, 6);
    f.cus = Signed(Bits(sf2, 8, 1, 16), 16);
    f.sqrtA = Split32(sf2, 8);
    f.toe = static_cast<int32_t>(Bits(sf2, 10, 1, 16)) * kTimeScale;

    // Subframe 3.
    f.cic = Signed(Bits(sf3, 3, 1, 16), 16);
    f.omega0 = static_cast<int32_t>(Split32(sf3, 3));
    f.cis = Signed(Bits(sf3, 5, 1, 16), 16);
    f.i0 = static_cast<int32_t>(Split32(sf3, 5));
    f.crc = Signed(Bits(sf3, 7, 1, 16), 16);
    f.omega = static_cast<int32_t>(Split32(sf3, 7));
    f.omegaDot = Signed(Bits(sf3, 9, 1, 24), 24);
    const auto iodeSubframe3 = static_cast<int32_t>(Bits(sf3, 10, 1, 8));
    f.idot = Signed(Bits(sf3, 10, 9, 14), 14);

    return SameDataSet(f.iodc, f.iode, iodeSubframe3) && f.toc < kSecondsPerWeek && f.toe < kSecondsPerWeek;
}

// The handover word's count (word 2, 17 bits) is the time of week at the
// start of the next subframe, in 6 s units.
double SentSeconds(const uint8_t *subframe1) {
    const uint32_t count = Bits(subframe1, 2, 1, 17);
    constexpr uint32_t kCountsPerWeek = kSecondsPerWeek / kSubframeSeconds;
    if (count == 0 || count >= kCountsPerWeek) return NAN;
    return static_cast<double>((count - 1) * kSubframeSeconds);
}

} // namespace

int32_t DecodeRawephem(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    const double time = HeaderTime(dec);

    const int32_t prn = le::I4(body + kPrnAt);
    if (prn < 1 || prn > 32) {
        PortReportf(dec, time, "Ephemeris received with invalid PRN number (%d)", prn);
        return RK_NONE;
    }

    GpsBroadcastFields fields;
    if (!DecodeSubframes(body + kSubframe1At, body + kSubframe2At, body + kSubframe3At, fields)) {
        return DropInvalidGpsEphemeris(dec, time, prn, fields.health);
    }
    GpsEphRecord eph;
    ScaleGpsEphemeris(prn, fields, eph);
    dec->gpsEphemerisSent = SentSeconds(body + kSubframe1At);
    return HandOutGpsEphemeris(dec, time, eph, buf);
}
