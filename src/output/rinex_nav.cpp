// Writer of the RINEX navigation files: one record per broadcast ephemeris,
// the SV / EPOCH / SV CLK line and its BROADCAST ORBIT lines, every value in
// a D19.12 field.
//
// RINEX 3.04 (the default) puts every system into one file: GPS, GLONASS,
// Galileo, BeiDou and QZSS records, each in its system's layout, the header
// naming the one system or "M: Mixed". RINEX 2.11 has a file type per
// system and none for Galileo, BeiDou or QZSS: the GPS records go to the
// "N" file and the GLONASS ones to a "G" file of their own.
//
// Parameters that the log's ephemeris does not carry (for GPS the codes on
// L2, the L2 P data flag, the SV accuracy, the fit interval) are left blank
// rather than given a value the receiver never sent.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/decoded_epoch.h"
#include "common/error_text.h"
#include "common/gnss_time.h"
#include "output/rinex_file.h"
#include "output/rinex_text.h"

namespace {

constexpr std::size_t kValueWidth = 19; // D19.12
constexpr int kValuePrecision = 12;
constexpr int32_t kWeeksPerRollover = 1024;
// BeiDou time: week 0 began at GPS week 1356 (2006-01-01).
constexpr int32_t kBdtWeekOffset = 1356;

struct NavOutput {
    DeferredRinexFile file;
    bool open;
    uint32_t systems; // one bit per SatelliteSystem written
};

// Everything the navigation writer keeps over one conversion, in one
// record: OpenRinexNav sets it up and the close writes it out.
struct NavWriter {
    // The 3.04 file or the 2.11 GPS file, and the 2.11 GLONASS file.
    NavOutput nav;
    NavOutput glonassNav;
    int32_t version = kRinexVersion304;
    // GPS minus UTC as the first GLONASS record gave it: the 2.11 GLONASS
    // file's LEAP SECONDS when the log has no IONUTC.
    bool hasGlonassLeap = false;
    int32_t glonassLeap = 0;
    // The line and the header being composed.
    RinexLine line;
    RinexHeaderText header;
};
NavWriter g_writer;

bool Is211() { return g_writer.version == kRinexVersion211; }

void Value(double value) { AppendRinexExponent(&g_writer.line, value, kValueWidth, kValuePrecision); }
void Blank() { AppendRinexSpaces(&g_writer.line, kValueWidth); }
// NaN: a parameter the record did not carry.
void ValueOrBlank(double value) {
    if (std::isnan(value)) {
        Blank();
    } else {
        Value(value);
    }
}

void BeginOrbitLine() {
    BeginRinexLine(&g_writer.line);
    AppendRinexSpaces(&g_writer.line, Is211() ? 3 : 4);
}

int32_t EndLine(NavOutput *out) {
    TrimRinexLine(&g_writer.line);
    return WriteDeferredRinexLine(&out->file, &g_writer.line);
}

// One BROADCAST ORBIT line of four values.
int32_t OrbitLine(NavOutput *out, double a, double b, double c, double d) {
    BeginOrbitLine();
    ValueOrBlank(a);
    ValueOrBlank(b);
    ValueOrBlank(c);
    ValueOrBlank(d);
    return EndLine(out);
}

// The SV / EPOCH / SV CLK line up to its three values: 3.04 names the
// satellite with its system letter and gives the full year; 2.11 gives the
// number alone, a two-digit year and the seconds as F5.1.
void BeginRecordLine(char system, uint32_t number, const RinexCalendar &c) {
    BeginRinexLine(&g_writer.line);
    if (Is211()) {
        const double seconds = c.second + c.tenthMicroseconds * 1e-7;
        AppendRinexFormat(&g_writer.line, "%2u %02d %2d %2d %2d %2d%5.1f", number, c.year % 100, c.month, c.day, c.hour,
                          c.minute, seconds);
    } else {
        AppendRinexFormat(&g_writer.line, "%c%02u %04d %02d %02d %02d %02d %02d", system, number, c.year, c.month,
                          c.day, c.hour, c.minute, c.second);
    }
}

// The full week of a time of week `seconds` that lies within half a week of
// the reference (week, reference seconds).
int32_t WeekNear(int32_t week, int32_t referenceSeconds, int32_t seconds) {
    if (seconds - referenceSeconds > kSecondsPerHalfWeek) return week - 1;
    if (seconds - referenceSeconds < -kSecondsPerHalfWeek) return week + 1;
    return week;
}

double PositiveRemainder(double value, double period) {
    const double r = std::fmod(value, period);
    return r < 0.0 ? r + period : r;
}

void AppendLabelled(const char *label) {
    FinishRinexHeaderLine(&g_writer.line, label);
    AppendRinexHeaderLine(&g_writer.header, &g_writer.line);
}

void AppendIonosphere(const char *name, const double *values, int count) {
    BeginRinexLine(&g_writer.line);
    AppendRinexField(&g_writer.line, name, 5);
    for (int i = 0; i < 4; ++i) AppendRinexExponent(&g_writer.line, i < count ? values[i] : 0.0, 12, 4);
    AppendLabelled("IONOSPHERIC CORR");
}

void AppendTimeCorrection(const char *name, double a0, double a1, int32_t time, int32_t week) {
    BeginRinexLine(&g_writer.line);
    AppendRinexField(&g_writer.line, name, 5);
    AppendRinexExponent(&g_writer.line, a0, 17, 10);
    AppendRinexExponent(&g_writer.line, a1, 16, 9);
    AppendRinexFormat(&g_writer.line, " %6d %4d", time, week);
    AppendLabelled("TIME SYSTEM CORR");
}

void AppendTimeCorrection(const char *name, const TimeSystemCorrection &c) {
    if (c.valid != 0) AppendTimeCorrection(name, c.a0, c.a1, c.referenceTime, c.referenceWeek);
}

void AppendLeapSeconds(const RinexNavHeader *info) {
    BeginRinexLine(&g_writer.line);
    AppendRinexFormat(&g_writer.line, "%6d%6d%6d%6dGPS", info->leapSeconds, info->futureLeapSeconds, info->leapWeek,
                      info->leapDay);
    AppendLabelled("LEAP SECONDS");
}

// The RINEX 3.04 "system" field of the header: the one system the file
// holds, or Mixed. A file without records is a GPS one, as it always was.
const char *SystemField(uint32_t systems) {
    switch (systems) {
    case 0:
    case 1u << SYS_GPS: return "G: GPS";
    case 1u << SYS_GLONASS: return "R: GLONASS";
    case 1u << SYS_GALILEO: return "E: Galileo";
    case 1u << SYS_BEIDOU: return "C: BeiDou";
    case 1u << SYS_QZSS: return "J: QZSS";
    default: return "M: Mixed";
    }
}

void BeginHeader(const char *type, const char *system) {
    BeginRinexHeader(&g_writer.header);
    BeginRinexLine(&g_writer.line);
    AppendRinexFormat(&g_writer.line, "%9.2f%11s", Is211() ? 2.11 : 3.04, "");
    AppendRinexField(&g_writer.line, type, 20);
    AppendRinexField(&g_writer.line, system, 20);
    AppendLabelled("RINEX VERSION / TYPE");
    BeginRinexLine(&g_writer.line);
    AppendRinexProgramLine(&g_writer.line);
    AppendRinexHeaderLine(&g_writer.header, &g_writer.line);
}

void EndHeader() {
    BeginRinexLine(&g_writer.line);
    AppendLabelled("END OF HEADER");
}

// RINEX 3.04: the ionosphere and time lines of every system a record gave
// them for, GPS's first as they always were.
void BuildHeader304(const RinexNavHeader *info) {
    BeginHeader("N: GNSS NAV DATA", SystemField(g_writer.nav.systems));
    if (info == nullptr) {
        EndHeader();
        return;
    }
    const NavCorrections *c = info->corrections;
    if (info->hasIonUtc) {
        AppendIonosphere("GPSA", info->alpha, 4);
        AppendIonosphere("GPSB", info->beta, 4);
    }
    if (c != nullptr) {
        if (c->galileoIonoValid != 0) AppendIonosphere("GAL", c->galileoIono, 3);
        if (c->qzssIono.valid != 0) {
            AppendIonosphere("QZSA", c->qzssIono.alpha, 4);
            AppendIonosphere("QZSB", c->qzssIono.beta, 4);
        }
        if (c->beidouIono.valid != 0) {
            AppendIonosphere("BDSA", c->beidouIono.alpha, 4);
            AppendIonosphere("BDSB", c->beidouIono.beta, 4);
        }
    }
    if (info->hasIonUtc) {
        AppendTimeCorrection("GPUT", info->utcA0, info->utcA1, info->utcReferenceTime, info->utcReferenceWeek);
    }
    if (c != nullptr) {
        AppendTimeCorrection("GAUT", c->galileoUtc);
        AppendTimeCorrection("GPGA", c->gpsGalileo);
        AppendTimeCorrection("QZUT", c->qzssUtc);
        AppendTimeCorrection("BDUT", c->beidouUtc);
    }
    if (info->hasIonUtc) AppendLeapSeconds(info);
    EndHeader();
}

// RINEX 2.11 GPS file: ION ALPHA, ION BETA, DELTA-UTC and LEAP SECONDS
// from the IONUTC record.
void BuildHeader211Gps(const RinexNavHeader *info) {
    BeginHeader("N: GPS NAV DATA", "");
    if (info != nullptr && info->hasIonUtc) {
        for (int k = 0; k < 2; ++k) {
            BeginRinexLine(&g_writer.line);
            AppendRinexSpaces(&g_writer.line, 2);
            for (int i = 0; i < 4; ++i)
                AppendRinexExponent(&g_writer.line, k == 0 ? info->alpha[i] : info->beta[i], 12, 4);
            AppendLabelled(k == 0 ? "ION ALPHA" : "ION BETA");
        }
        BeginRinexLine(&g_writer.line);
        AppendRinexSpaces(&g_writer.line, 3);
        AppendRinexExponent(&g_writer.line, info->utcA0, 19, 12);
        AppendRinexExponent(&g_writer.line, info->utcA1, 19, 12);
        AppendRinexFormat(&g_writer.line, "%9d%9d", info->utcReferenceTime, info->utcReferenceWeek);
        AppendLabelled("DELTA-UTC: A0,A1,T,W");
        BeginRinexLine(&g_writer.line);
        AppendRinexFormat(&g_writer.line, "%6d", info->leapSeconds);
        AppendLabelled("LEAP SECONDS");
    }
    EndHeader();
}

// RINEX 2.11 GLONASS file: LEAP SECONDS from IONUTC, else from the GLONASS
// records themselves (their GPS-GLONASS offset).
void BuildHeader211Glonass(const RinexNavHeader *info) {
    BeginHeader("G: GLONASS NAV DATA", "");
    const bool fromIonUtc = info != nullptr && info->hasIonUtc;
    if (fromIonUtc || g_writer.hasGlonassLeap) {
        BeginRinexLine(&g_writer.line);
        AppendRinexFormat(&g_writer.line, "%6d", fromIonUtc ? info->leapSeconds : g_writer.glonassLeap);
        AppendLabelled("LEAP SECONDS");
    }
    EndHeader();
}

// GLONASS: the epoch and the frame time in UTC, as RINEX wants them (frame
// time in seconds of the UTC week in 3.04, of the UTC day in 2.11);
// position, velocity and acceleration in km.
int32_t WriteGlonass(NavOutput *out, const GlonassNavRecord &g) {
    const RinexCalendar toe = RinexCalendarOf(RinexTimeUnits(g.week, g.toe - g.leapSeconds));
    const double frame = g.frameTime - g.leapSeconds;
    int32_t result = 0;
    BeginRecordLine('R', g.slot, toe);
    Value(-g.tauN);
    Value(g.gammaN);
    Value(PositiveRemainder(frame, static_cast<double>(Is211() ? kSecondsPerDay : kSecondsPerWeek)));
    result |= EndLine(out);
    const double km = 1e-3;
    result |= OrbitLine(out, g.position[0] * km, g.velocity[0] * km, g.acceleration[0] * km, g.health);
    result |= OrbitLine(out, g.position[1] * km, g.velocity[1] * km, g.acceleration[1] * km, g.frequency);
    result |= OrbitLine(out, g.position[2] * km, g.velocity[2] * km, g.acceleration[2] * km, g.age);
    out->systems |= 1u << SYS_GLONASS;
    return result != 0 ? 1 : 0;
}

// Galileo, BeiDou and QZSS in their RINEX 3.04 layouts: the same orbit
// lines as GPS, the system's own fields in the last three.
int32_t WriteKepler(NavOutput *out, const KeplerNavRecord &k) {
    const char letter = k.system == SYS_GALILEO ? 'E' : k.system == SYS_BEIDOU ? 'C' : 'J';
    // BDT counts its weeks from 2006: its calendar is that of the GPS week
    // 1356 weeks later, to the second.
    const int32_t calendarWeek = k.tocWeek + (k.system == SYS_BEIDOU ? kBdtWeekOffset : 0);
    const RinexCalendar toc = RinexCalendarOf(RinexTimeUnits(calendarWeek, k.toc));
    const bool qzss = k.system == SYS_QZSS;
    const bool beidou = k.system == SYS_BEIDOU;
    int32_t result = 0;
    BeginRecordLine(letter, k.number, toc);
    Value(k.af0);
    Value(k.af1);
    Value(k.af2);
    result |= EndLine(out);
    result |= OrbitLine(out, k.iode, k.crs, k.deltaN, k.m0);
    result |= OrbitLine(out, k.cuc, k.e, k.cus, k.sqrtA);
    result |= OrbitLine(out, k.toe, k.cic, k.omega0, k.cis);
    result |= OrbitLine(out, k.i0, k.crc, k.omega, k.omegaDot);
    // QZSS does not transmit L2 P: RINEX sets its L2 P data flag to 1.
    result |= OrbitLine(out, k.idot, k.codes, k.week, qzss ? 1.0 : NAN);
    result |= OrbitLine(out, k.accuracy, k.health, k.groupDelay1, qzss ? k.iodc : k.groupDelay2);
    result |= OrbitLine(out, k.transmission, beidou ? k.iodc : k.fitInterval, NAN, NAN);
    out->systems |= 1u << k.system;
    return result != 0 ? 1 : 0;
}

} // namespace

int32_t OpenRinexNav(const char *path, int32_t version, const char *glonassPath) {
    DiscardRinexNav();
    g_writer.version = version == kRinexVersion211 ? kRinexVersion211 : kRinexVersion304;
    g_writer.hasGlonassLeap = false;
    if (OpenDeferredRinex(&g_writer.nav.file, path) != 0) return 1;
    g_writer.nav.open = true;
    g_writer.nav.systems = 0;
    if (Is211() && glonassPath != nullptr) {
        if (OpenDeferredRinex(&g_writer.glonassNav.file, glonassPath) != 0) {
            DiscardDeferredRinex(&g_writer.nav.file);
            g_writer.nav.open = false;
            return 1;
        }
        g_writer.glonassNav.open = true;
        g_writer.glonassNav.systems = 0;
    }
    return 0;
}

int32_t WriteRinexNavEphemeris(const GpsEphRecord *ephemeris, int32_t receivedWeek, double receivedSeconds) {
    if (!g_writer.nav.open || ephemeris == nullptr) return 0;
    const GpsEphRecord &e = *ephemeris;
    // The broadcast week counts modulo 1024; the receiver's own week of the
    // record gives the rollovers.
    const int32_t broadcast = ((e.week % kWeeksPerRollover) + kWeeksPerRollover) % kWeeksPerRollover;
    int32_t offset = (broadcast - receivedWeek) % kWeeksPerRollover;
    if (offset < -kWeeksPerRollover / 2) offset += kWeeksPerRollover;
    if (offset >= kWeeksPerRollover / 2) offset -= kWeeksPerRollover;
    const int32_t week = receivedWeek + offset;
    const int32_t received =
        static_cast<int32_t>(std::floor(receivedSeconds)) + (receivedWeek - week) * kSecondsPerWeek;
    const int32_t tocWeek = WeekNear(week, received, e.toc);
    const int32_t toeWeek = WeekNear(week, received, e.toe);

    int32_t result = 0;
    BeginRecordLine('G', static_cast<uint32_t>(e.prn), RinexCalendarOf(RinexTimeUnits(tocWeek, e.toc)));
    Value(e.af0);
    Value(e.af1);
    Value(e.af2);
    result |= EndLine(&g_writer.nav);
    result |= OrbitLine(&g_writer.nav, e.iode, e.crs, e.deltaN, e.m0);
    result |= OrbitLine(&g_writer.nav, e.cuc, e.e, e.cus, e.sqrtA);
    result |= OrbitLine(&g_writer.nav, e.toe, e.cic, e.omega0, e.cis);
    result |= OrbitLine(&g_writer.nav, e.i0, e.crc, e.omega, e.omegaDot);
    // Codes on L2 and the L2 P data flag: not carried.
    result |= OrbitLine(&g_writer.nav, e.idot, NAN, toeWeek, NAN);
    // SV accuracy: not carried.
    result |= OrbitLine(&g_writer.nav, NAN, e.health, e.tgd, e.iodc);
    // Transmission time: when the receiver logged the ephemeris, in seconds
    // of the toe's week.
    result |=
        OrbitLine(&g_writer.nav, static_cast<double>(received + (week - toeWeek) * kSecondsPerWeek), NAN, NAN, NAN);
    g_writer.nav.systems |= 1u << SYS_GPS;
    return result != 0 ? 1 : 0;
}

int32_t WriteRinexNavBroadcast(const NavRecord *ephemeris, bool *written) {
    if (written != nullptr) *written = false;
    if (!g_writer.nav.open || ephemeris == nullptr) return 0;
    int32_t result = 0;
    if (ephemeris->kind == NAV_GLONASS) {
        if (!g_writer.hasGlonassLeap) {
            g_writer.hasGlonassLeap = true;
            g_writer.glonassLeap = ephemeris->glonass.leapSeconds;
        }
        NavOutput *out = Is211() ? &g_writer.glonassNav : &g_writer.nav;
        if (!out->open) return 0;
        result = WriteGlonass(out, ephemeris->glonass);
    } else if (ephemeris->kind == NAV_KEPLER && !Is211()) {
        result = WriteKepler(&g_writer.nav, ephemeris->kepler);
    } else {
        return 0;
    }
    if (written != nullptr) *written = true;
    return result;
}

int32_t CloseRinexNav(const RinexNavHeader *header) {
    if (!g_writer.nav.open) return 0;
    g_writer.nav.open = false;
    if (Is211()) {
        BuildHeader211Gps(header);
    } else {
        BuildHeader304(header);
    }
    int32_t result = FinishDeferredRinex(&g_writer.nav.file, g_writer.header.text, g_writer.header.length);
    if (g_writer.glonassNav.open) {
        g_writer.glonassNav.open = false;
        // Both files are finished; the first failure is the one reported.
        char reason[kErrorTextSize];
        std::memcpy(reason, ErrorText, sizeof reason);
        BuildHeader211Glonass(header);
        if (FinishDeferredRinex(&g_writer.glonassNav.file, g_writer.header.text, g_writer.header.length) != 0 &&
            result == 0) {
            result = 1;
        } else if (result != 0) {
            std::memcpy(ErrorText, reason, sizeof reason);
        }
    }
    return result;
}

void DiscardRinexNav() {
    DiscardDeferredRinex(&g_writer.nav.file);
    DiscardDeferredRinex(&g_writer.glonassNav.file);
    g_writer.nav.open = false;
    g_writer.glonassNav.open = false;
}
