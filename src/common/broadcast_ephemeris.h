// The broadcast ephemerides of GLONASS, Galileo, BeiDou and QZSS as the
// decoders read them from the receiver's decoded-ephemeris records, and the
// ionosphere and time-system parameters of those systems: what the RINEX
// navigation writer needs, in the receiver's own units (seconds, metres,
// radians), before any file's layout. The host's files have no place for
// them; only the RINEX export takes them.
//
// A value the record does not carry is NaN, and the writer leaves its field
// blank rather than inventing one.
#pragma once

#include <cmath>
#include <cstdint>

// A value a broadcast can give and a D19.12 field of the navigation file
// can hold: finite, and zero or with a two-digit decimal exponent. The
// decoders drop a record holding any other.
inline bool FitsNavigationField(double v) {
    if (!std::isfinite(v)) return false;
    const double a = std::fabs(v);
    return a == 0.0 || (a >= 1e-99 && a < 1e99);
}

// Galileo, BeiDou and QZSS: Keplerian elements, as RINEX 3.04 lists them.
// Times are in the system's own time scale (BDT for BeiDou, GPS time for
// Galileo and QZSS, whose weeks RINEX counts as the GPS week).
struct KeplerNavRecord {
    uint32_t system; // SatelliteSystem: SYS_GALILEO, SYS_BEIDOU or SYS_QZSS
    uint32_t number; // satellite number within the system, as RINEX names it
    int32_t week;    // the week of toe (BDT week for BeiDou, GPS week otherwise)
    int32_t tocWeek; // the week of toc, which may be a neighbouring one
    double toc;      // s of tocWeek
    double af0, af1, af2;
    double iode; // IODnav (Galileo), AODE (BeiDou), IODE (QZSS)
    double crs, deltaN, m0;
    double cuc, e, cus, sqrtA;
    double toe; // s of week
    double cic, omega0, cis;
    double i0, crc, omega, omegaDot;
    double idot;
    double codes;    // Galileo data sources; QZSS codes on L2 (NaN: not carried)
    double accuracy; // SISA or URA, m (NaN: not carried)
    double health;
    double groupDelay1;  // Galileo BGD E5a/E1, BeiDou TGD1, QZSS TGD; s
    double groupDelay2;  // Galileo BGD E5b/E1, BeiDou TGD2; NaN for QZSS
    double iodc;         // QZSS IODC, BeiDou AODC; NaN for Galileo
    double transmission; // transmission time of the message, s of week
    double fitInterval;  // QZSS fit interval flag; NaN otherwise
};

// GLONASS: the satellite's state vector at the reference time tb, in
// PZ-90, with its clock and frequency corrections.
struct GlonassNavRecord {
    uint32_t slot;          // 1..24
    int32_t frequency;      // frequency channel, -7..+6
    int32_t week;           // GPS week of tb
    double toe;             // tb, GPS seconds of week
    double frameTime;       // start of the message frame (tk), GPS seconds of week of `week` (may pass either end)
    int32_t leapSeconds;    // GPS time minus UTC, from the record's GPS-GLONASS offset
    double tauN;            // satellite clock offset from GLONASS time, s
    double gammaN;          // relative frequency offset
    double position[3];     // m
    double velocity[3];     // m/s
    double acceleration[3]; // m/s^2 (luni-solar)
    double health;          // 0 healthy, 1 not
    double age;             // age of the operational information, days
};

// One decoded ephemeris handed from the decoder to the RINEX export.
enum NavRecordKind : uint32_t {
    NAV_NONE = 0,
    NAV_KEPLER = 1,
    NAV_GLONASS = 2,
};
struct NavRecord {
    uint32_t kind; // NavRecordKind: which of the two members holds it
    KeplerNavRecord kepler;
    GlonassNavRecord glonass;
};

// Ionosphere and time-system parameters of the latest record of each kind
// that carries them. `valid` is 0 until such a record arrives; every header
// line comes from one of them, never from a default.
struct KlobucharParameters {
    uint32_t valid;
    double alpha[4];
    double beta[4];
};
struct TimeSystemCorrection {
    uint32_t valid;
    double a0, a1;
    int32_t referenceTime; // s
    int32_t referenceWeek; // continuous week (BDT week for BeiDou)
};
struct NavCorrections {
    uint32_t galileoIonoValid;
    double galileoIono[3]; // ai0, ai1, ai2
    KlobucharParameters qzssIono;
    KlobucharParameters beidouIono;
    TimeSystemCorrection galileoUtc; // GAUT
    TimeSystemCorrection gpsGalileo; // GPGA
    TimeSystemCorrection qzssUtc;    // QZUT
    TimeSystemCorrection beidouUtc;  // BDUT
};
