// Scaling of the broadcast ephemeris fields and the hand-over of a decoded
// GPS ephemeris, shared by the RAWEPHEM and GPSEPHEM decoders.
#include "oem4/gps_ephemeris.h"

#include <cstring>

#include "common/le.h"
#include "common/physics.h"
#include "ephemeris/ephemeris_list.h"
#include "oem4/decoders.h"

namespace {

inline constexpr int32_t kFixedField = 9999;

// Scale factors as the ephemeris file has always carried them: three are
// the powers of two rounded to 12 significant digits, and the digits show
// in the file, so they must stay as they are.
inline constexpr double kScale2m31Rounded = 4.65661287308e-10; // af0, OMEGA0, i0, omega
inline constexpr double kScale2m29Rounded = 1.86264514923e-09; // Cic, Cis
inline constexpr double kScale2m31 = 4.6566128730773895e-10;   // TGD, M0
inline constexpr double kScale2m43 = 1.13686837721616e-13;     // af1, delta n, OMEGADOT, IDOT
inline constexpr double kScale2m55 = 2.77555756156289e-17;     // af2
inline constexpr double kScale2m29 = 1.8626451492309603e-09;   // Cuc, Cus
inline constexpr double kScale2m33 = 1.16415321826935e-10;     // e
inline constexpr double kScale2m19 = 1.0 / 524288.0;           // sqrt(A)
inline constexpr double kScale2m5 = 1.0 / 32.0;                // Crs, Crc

} // namespace

void ScaleGpsEphemeris(int32_t prn, const GpsBroadcastFields &f, GpsEphRecord &eph) {
    std::memset(&eph, 0, sizeof eph);
    eph.prn = prn;
    eph.fixed9999 = kFixedField;

    // Subframe 1: clock and satellite status.
    eph.week = f.week;
    eph.health = f.health;
    eph.iodc = f.iodc;
    eph.tgd = f.tgd * kScale2m31;
    eph.toc = f.toc;
    eph.af2 = f.af2 * kScale2m55;
    eph.af1 = f.af1 * kScale2m43;
    eph.af0 = f.af0 * kScale2m31Rounded;

    // Subframe 2. Angles and their rates are broadcast in semicircles.
    eph.iode = f.iode;
    eph.crs = f.crs * kScale2m5;
    eph.deltaN = f.deltaN * kScale2m43 * kPi;
    eph.m0 = f.m0 * kScale2m31 * kPi;
    eph.cuc = f.cuc * kScale2m29;
    eph.e = f.e * kScale2m33;
    eph.cus = f.cus * kScale2m29;
    eph.sqrtA = f.sqrtA * kScale2m19;
    eph.toe = f.toe;

    // Subframe 3.
    eph.cic = f.cic * kScale2m29Rounded;
    eph.omega0 = f.omega0 * kScale2m31Rounded * kPi;
    eph.cis = f.cis * kScale2m29Rounded;
    eph.i0 = f.i0 * kScale2m31Rounded * kPi;
    eph.crc = f.crc * kScale2m5;
    eph.omega = f.omega * kScale2m31Rounded * kPi;
    eph.omegaDot = f.omegaDot * kScale2m43 * kPi;
    eph.idot = f.idot * kScale2m43 * kPi;
}

namespace {

// "Ephemeris received for PRN n with BAD HEALTH!!!", whatever else the
// record held: its values may not be trusted, its flag is, and the
// recomputation leaves the satellite out from now on.
void TellBadHealth(const Oem4Decoder *dec, double time, int32_t prn) {
    PortReportf(dec, time, "Ephemeris received for PRN %d with BAD HEALTH!!!", prn);
    if (dec->options.recomputeClock != 0) MarkGpsSatelliteUnhealthy(prn);
}

} // namespace

int32_t DropInvalidGpsEphemeris(const Oem4Decoder *dec, double time, int32_t prn, int32_t health) {
    if (health != 0) {
        TellBadHealth(dec, time, prn);
    } else {
        PortReportf(dec, time, "Ephemeris received for PRN %d with invalid values", prn);
    }
    return RK_NONE;
}

int32_t HandOutGpsEphemeris(Oem4Decoder *dec, double time, const GpsEphRecord &eph, ThreadBuf *buf) {
    uint8_t *staging = dec->staging.data();
    le::Store(staging, eph);

    if (eph.health != 0) {
        TellBadHealth(dec, time, eph.prn);
        if (dec->unhealthyEphemerisHandler != nullptr) dec->unhealthyEphemerisHandler(time, &eph);
        return RK_NONE;
    }
    PortReportf(dec, time, "Ephemeris received for PRN %d (health OK)", eph.prn);

    const int32_t put = PutThreadBufData(buf, staging, 1, TBREC_GPSEPH);
    if (put != TB_OK) {
        PortReportPutFailure(dec, time, put);
        return RK_NONE;
    }
    if (dec->options.recomputeClock != 0) {
        // A full list (out of memory) leaves ErrorText set but the record
        // has been produced; the list still counts it as offered.
        // Its week as received: a toe of last week is not this week's.
        AddEphemeris(eph, HeaderWeek(dec), static_cast<int32_t>(time));
    }
    return RK_EPHEMERIS;
}

void SetPortUnhealthyEphemerisHandler(int32_t port, UnhealthyEphemerisFn handler) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec != nullptr) dec->unhealthyEphemerisHandler = handler;
}
