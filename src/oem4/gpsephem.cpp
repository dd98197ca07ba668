// GPSEPHEM decoder: a GPS satellite's broadcast ephemeris as the receiver
// decoded it (values in seconds, metres and radians), turned into the same
// ephemeris record that RAWEPHEM gives for the same broadcast.
//
// The receiver's values are the broadcast fields times the exact powers of
// two (and its own pi), while the ephemeris file has always carried values
// scaled as the RAWEPHEM decoder scales them, three factors rounded to 12
// digits among them. Each value is therefore brought back to its whole
// count of the broadcast field's least significant bit and scaled again by
// the shared scaling: the two records of one broadcast then give the same
// record to the last bit, and a GPSEPHEM value differs from the record's
// only by the rounding of those factors (parts in 1e12).
#include <cmath>

#include "common/gnss_time.h"
#include "common/le.h"
#include "common/physics.h"
#include "oem4/decoders.h"
#include "oem4/gps_ephemeris.h"
#include "oem4/oem4_decoder.h"

namespace {

// Body fields.
inline constexpr size_t kPrnAt = 0;
inline constexpr size_t kSentAt = 4; // time of subframe 0, s of week
inline constexpr size_t kHealthAt = 12;
inline constexpr size_t kIode1At = 16; // the subframe 2 copy, as RAWEPHEM reads it
inline constexpr size_t kIode2At = 20; // the subframe 3 copy
inline constexpr size_t kZWeekAt = 28; // the week of subframe 1 with its rollovers
inline constexpr size_t kToeAt = 32;
inline constexpr size_t kSemiMajorAxisAt = 40; // A, metres, not sqrt(A)
inline constexpr size_t kDeltaNAt = 48;
inline constexpr size_t kM0At = 56;
inline constexpr size_t kEccentricityAt = 64;
inline constexpr size_t kOmegaAt = 72;
inline constexpr size_t kCucAt = 80;
inline constexpr size_t kCusAt = 88;
inline constexpr size_t kCrcAt = 96;
inline constexpr size_t kCrsAt = 104;
inline constexpr size_t kCicAt = 112;
inline constexpr size_t kCisAt = 120;
inline constexpr size_t kI0At = 128;
inline constexpr size_t kIdotAt = 136;
inline constexpr size_t kOmega0At = 144;
inline constexpr size_t kOmegaDotAt = 152;
inline constexpr size_t kIodcAt = 160;
inline constexpr size_t kTocAt = 164;
inline constexpr size_t kTgdAt = 172;
inline constexpr size_t kAf0At = 180;
inline constexpr size_t kAf1At = 188;
inline constexpr size_t kAf2At = 196;

inline constexpr uint32_t kBroadcastWeeks = 1024; // the week is broadcast in 10 bits

// Least significant bits of the broadcast fields, exact powers of two; the
// semicircle fields' in radians.
inline constexpr double kLsb2m5 = 1.0 / 32.0;
inline constexpr double kLsb2m19 = 1.0 / 524288.0;
inline constexpr double kLsb2m29 = 1.0 / 536870912.0;
inline constexpr double kLsb2m31 = 1.0 / 2147483648.0;
inline constexpr double kLsb2m33 = 1.0 / 8589934592.0;
inline constexpr double kLsb2m43 = 1.0 / 8796093022208.0;
inline constexpr double kLsb2m55 = 1.0 / 36028797018963968.0;
inline constexpr double kLsbAngle2m31 = kLsb2m31 * kPi;
inline constexpr double kLsbRate2m43 = kLsb2m43 * kPi;

// Whole count of `lsb` nearest to the value. Rounding to nearest absorbs a
// receiver's other pi or its last-bit rounding, which are far below half a
// count.
double Count(const uint8_t *body, size_t at, double lsb) { return std::round(le::R8(body + at) / lsb); }

bool IsTimeOfWeek(double seconds) { return seconds >= 0.0 && seconds < kSecondsPerWeek; }

// Every count a finite number: a body holding infinities or NaN (or values
// so large that their count overflows) would otherwise reach the ephemeris
// file and the orbit computations.
bool AllFinite(const GpsBroadcastFields &f) {
    const double counts[] = {f.tgd,   f.af2, f.af1,    f.af0, f.crs, f.deltaN, f.m0,    f.cuc,      f.e,   f.cus,
                             f.sqrtA, f.cic, f.omega0, f.cis, f.i0,  f.crc,    f.omega, f.omegaDot, f.idot};
    for (double c : counts) {
        if (!std::isfinite(c)) return false;
    }
    return true;
}

} // namespace

int32_t DecodeGpsephem(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    const double time = HeaderTime(dec);

    const int32_t prn = le::I4(body + kPrnAt);
    if (prn < 1 || prn > 32) {
        PortReportf(dec, time, "Ephemeris received with invalid PRN number (%d)", prn);
        return RK_NONE;
    }

    const double toe = le::R8(body + kToeAt);
    const double toc = le::R8(body + kTocAt);
    const double semiMajorAxis = le::R8(body + kSemiMajorAxisAt);

    GpsBroadcastFields f;
    f.week = static_cast<int32_t>(le::U4(body + kZWeekAt) % kBroadcastWeeks);
    f.health = static_cast<int32_t>(le::U4(body + kHealthAt));
    f.iodc = static_cast<int32_t>(le::U4(body + kIodcAt));
    f.iode = static_cast<int32_t>(le::U4(body + kIode1At));
    f.tgd = Count(body, kTgdAt, kLsb2m31);
    f.af2 = Count(body, kAf2At, kLsb2m55);
    f.af1 = Count(body, kAf1At, kLsb2m43);
    f.af0 = Count(body, kAf0At, kLsb2m31);
    f.crs = Count(body, kCrsAt, kLsb2m5);
    f.deltaN = Count(body, kDeltaNAt, kLsbRate2m43);
    f.m0 = Count(body, kM0At, kLsbAngle2m31);
    f.cuc = Count(body, kCucAt, kLsb2m29);
    f.e = Count(body, kEccentricityAt, kLsb2m33);
    f.cus = Count(body, kCusAt, kLsb2m29);
    f.sqrtA = std::round(std::sqrt(semiMajorAxis) / kLsb2m19);
    f.cic = Count(body, kCicAt, kLsb2m29);
    f.omega0 = Count(body, kOmega0At, kLsbAngle2m31);
    f.cis = Count(body, kCisAt, kLsb2m29);
    f.i0 = Count(body, kI0At, kLsbAngle2m31);
    f.crc = Count(body, kCrcAt, kLsb2m5);
    f.omega = Count(body, kOmegaAt, kLsbAngle2m31);
    f.omegaDot = Count(body, kOmegaDotAt, kLsbRate2m43);
    f.idot = Count(body, kIdotAt, kLsbRate2m43);

    // A broadcast cannot give these, nor the two IODE copies and the IODC
    // of different data sets. The times are checked before they are
    // truncated to whole seconds as RAWEPHEM stores them.
    // The IODC is broadcast in 10 bits.
    const auto iode2 = static_cast<int32_t>(le::U4(body + kIode2At));
    if (!AllFinite(f) || !(semiMajorAxis >= 0.0) || !IsTimeOfWeek(toe) || !IsTimeOfWeek(toc) ||
        static_cast<uint32_t>(f.iodc) > 1023 || !SameDataSet(f.iodc, f.iode, iode2)) {
        return DropInvalidGpsEphemeris(dec, time, prn, f.health);
    }
    f.toe = static_cast<int32_t>(toe);
    f.toc = static_cast<int32_t>(toc);

    GpsEphRecord eph;
    ScaleGpsEphemeris(prn, f, eph);
    const double sent = le::R8(body + kSentAt);
    dec->gpsEphemerisSent = IsTimeOfWeek(sent) ? sent : NAN;
    return HandOutGpsEphemeris(dec, time, eph, buf);
}
