// RAWEPHEM decoder: subframes 1 to 3 of a GPS satellite's navigation message
// decoded into an ephemeris record, and kept in the ephemeris list when the
// receiver clock is to be recomputed.
//
// Each subframe holds its ten 24-bit words without parity, most significant
// bit first, three bytes a word. Fields are named by word and first bit as
// the GPS interface document counts them (bit 1 is the word's first bit).
#include <cstring>

#include "common/le.h"
#include "oem4/decoders.h"
#include "oem4/ephemeris_list.h"
#include "oem4/oem4_decoder.h"
#include "threadbuf/payloads.h"

namespace {

inline constexpr size_t kPrnAt = 0;
inline constexpr size_t kSubframe1At = 12;
inline constexpr size_t kSubframe2At = 42;
inline constexpr size_t kSubframe3At = 72;

inline constexpr double kPi = 3.141592653589793;
inline constexpr int32_t kFixedField = 9999;
inline constexpr int32_t kTimeScale = 16; // toc and toe are broadcast in units of 16 s

// Scale factors as the ephemeris file has always carried them: three are
// the powers of two rounded to 12 significant digits, and the digits show
// in the file, so they must stay as they are.
inline constexpr double kScale2m31Rounded = 4.65661287308e-10;  // af0, OMEGA0, i0, omega
inline constexpr double kScale2m29Rounded = 1.86264514923e-09;  // Cic, Cis
inline constexpr double kScale2m31 = 4.6566128730773895e-10;    // TGD, M0
inline constexpr double kScale2m43 = 1.13686837721616e-13;      // af1, delta n, OMEGADOT, IDOT
inline constexpr double kScale2m55 = 2.77555756156289e-17;      // af2
inline constexpr double kScale2m29 = 1.8626451492309603e-09;    // Cuc, Cus
inline constexpr double kScale2m33 = 1.16415321826935e-10;      // e
inline constexpr double kScale2m19 = 1.0 / 524288.0;            // sqrt(A)
inline constexpr double kScale2m5 = 1.0 / 32.0;                 // Crs, Crc

// Bits [firstBit, firstBit + width) of word `word` (1 to 10) of a subframe.
uint32_t Bits(const uint8_t *subframe, int word, int firstBit, int width) {
    const uint8_t *w = subframe + 3 * (word - 1);
    const uint32_t value = (static_cast<uint32_t>(w[0]) << 16) |
                           (static_cast<uint32_t>(w[1]) << 8) | w[2];
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

void DecodeSubframes(const uint8_t *sf1, const uint8_t *sf2, const uint8_t *sf3,
                     GpsEphRecord &eph) {
    // Subframe 1: clock and satellite status.
    eph.week = static_cast<int32_t>(Bits(sf1, 3, 1, 10));
    eph.health = static_cast<int32_t>(Bits(sf1, 3, 17, 6));
    eph.iodc = static_cast<int32_t>(Bits(sf1, 3, 23, 2) * 256 + Bits(sf1, 8, 1, 8));
    eph.tgd = Signed(Bits(sf1, 7, 17, 8), 8) * kScale2m31;
    eph.toc = static_cast<int32_t>(Bits(sf1, 8, 9, 16)) * kTimeScale;
    eph.af2 = Signed(Bits(sf1, 9, 1, 8), 8) * kScale2m55;
    eph.af1 = Signed(Bits(sf1, 9, 9, 16), 16) * kScale2m43;
    eph.af0 = Signed(Bits(sf1, 10, 1, 22), 22) * kScale2m31Rounded;

    // Subframe 2.
    eph.iode = static_cast<int32_t>(Bits(sf2, 3, 1, 8));
    eph.crs = Signed(Bits(sf2, 3, 9, 16), 16) * kScale2m5;
    eph.deltaN = Signed(Bits(sf2, 4, 1, 16), 16) * kScale2m43 * kPi;
    eph.m0 = static_cast<int32_t>(Split32(sf2, 4)) * kScale2m31 * kPi;
    eph.cuc = Signed(Bits(sf2, 6, 1, 16), 16) * kScale2m29;
    eph.e = Split32(sf2, 6) * kScale2m33;
    eph.cus = Signed(Bits(sf2, 8, 1, 16), 16) * kScale2m29;
    eph.sqrtA = Split32(sf2, 8) * kScale2m19;
    eph.toe = static_cast<int32_t>(Bits(sf2, 10, 1, 16)) * kTimeScale;

    // Subframe 3.
    eph.cic = Signed(Bits(sf3, 3, 1, 16), 16) * kScale2m29Rounded;
    eph.omega0 = static_cast<int32_t>(Split32(sf3, 3)) * kScale2m31Rounded * kPi;
    eph.cis = Signed(Bits(sf3, 5, 1, 16), 16) * kScale2m29Rounded;
    eph.i0 = static_cast<int32_t>(Split32(sf3, 5)) * kScale2m31Rounded * kPi;
    eph.crc = Signed(Bits(sf3, 7, 1, 16), 16) * kScale2m5;
    eph.omega = static_cast<int32_t>(Split32(sf3, 7)) * kScale2m31Rounded * kPi;
    eph.omegaDot = Signed(Bits(sf3, 9, 1, 24), 24) * kScale2m43 * kPi;
    eph.idot = Signed(Bits(sf3, 10, 9, 14), 14) * kScale2m43 * kPi;
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

    GpsEphRecord eph;
    std::memset(&eph, 0, sizeof eph);
    eph.prn = prn;
    eph.fixed9999 = kFixedField;
    DecodeSubframes(body + kSubframe1At, body + kSubframe2At, body + kSubframe3At, eph);
    uint8_t *staging = dec->staging.data();
    le::Store(staging, eph);

    if (eph.health != 0) {
        PortReportf(dec, time, "Ephemeris received for PRN %d with BAD HEALTH!!!", prn);
        return RK_NONE;
    }
    PortReportf(dec, time, "Ephemeris received for PRN %d (health OK)", prn);

    const int32_t put = PutThreadBufData(buf, staging, 1, TBREC_GPSEPH);
    if (put != TB_OK) {
        PortReportPutFailure(dec, time, put);
        return RK_NONE;
    }
    if (dec->options.recomputeClock != 0) {
        // A full list (out of memory) leaves ErrorText set but the record
        // has been produced; the count still tells how many were offered.
        AddEphemeris(eph);
        ++EphemerisListCount;
    }
    return RK_EPHEMERIS;
}
