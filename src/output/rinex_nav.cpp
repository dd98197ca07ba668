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
// Parameters that the decoded ephemeris does not carry are left blank rather
// than given a value the receiver never sent. For GPS these are the codes on
// L2, the L2 P data flag, the SV accuracy and the fit interval: the GPS
// records reach this file through the host's ephemeris record, which has no
// place for them.
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

bool Is211(RinexNavWriter &w) { return w.version == kRinexVersion211; }

void Value(RinexNavWriter &w, double value) { AppendRinexExponent(&w.line, value, kValueWidth, kValuePrecision); }
void Blank(RinexNavWriter &w) { AppendRinexSpaces(&w.line, kValueWidth); }
// NaN: a parameter the record did not carry.
void ValueOrBlank(RinexNavWriter &w, double value) {
    if (std::isnan(value)) {
        Blank(w);
    } else {
        Value(w, value);
    }
}

void BeginOrbitLine(RinexNavWriter &w) {
    BeginRinexLine(&w.line);
    AppendRinexSpaces(&w.line, Is211(w) ? 3 : 4);
}

int32_t EndLine(RinexNavWriter &w, RinexNavOutput *out) {
    TrimRinexLine(&w.line);
    return WriteDeferredRinexLine(&out->file, &w.line);
}

// One BROADCAST ORBIT line of four values.
int32_t OrbitLine(RinexNavWriter &w, RinexNavOutput *out, double a, double b, double c, double d) {
    BeginOrbitLine(w);
    ValueOrBlank(w, a);
    ValueOrBlank(w, b);
    ValueOrBlank(w, c);
    ValueOrBlank(w, d);
    return EndLine(w, out);
}

// The SV / EPOCH / SV CLK line up to its three values: 3.04 names the
// satellite with its system letter and gives the full year; 2.11 gives the
// number alone, a two-digit year and the seconds as F5.1.
void BeginRecordLine(RinexNavWriter &w, char system, uint32_t number, const RinexCalendar &c) {
    BeginRinexLine(&w.line);
    if (Is211(w)) {
        const double seconds = c.second + c.tenthMicroseconds * 1e-7;
        AppendRinexFormat(&w.line, "%2u %02d %2d %2d %2d %2d%5.1f", number, c.year % 100, c.month, c.day, c.hour,
                          c.minute, seconds);
    } else {
        AppendRinexFormat(&w.line, "%c%02u %04d %02d %02d %02d %02d %02d", system, number, c.year, c.month, c.day,
                          c.hour, c.minute, c.second);
    }
}

// The full week of a time of week `seconds` that lies within half a week of
// the reference (week, reference seconds).
// RINEX's transmission time "not known".
constexpr double kRinexUnknownTransmission = 0.9999e9;

int32_t WeekNear(int32_t week, int32_t referenceSeconds, int32_t seconds) {
    if (seconds - referenceSeconds > kSecondsPerHalfWeek) return week - 1;
    if (seconds - referenceSeconds < -kSecondsPerHalfWeek) return week + 1;
    return week;
}

double PositiveRemainder(double value, double period) {
    const double r = std::fmod(value, period);
    return r < 0.0 ? r + period : r;
}

void AppendLabelled(RinexNavWriter &w, const char *label) {
    FinishRinexHeaderLine(&w.line, label);
    AppendRinexHeaderLine(&w.header, &w.line);
}

void AppendIonosphere(RinexNavWriter &w, const char *name, const double *values, int count) {
    BeginRinexLine(&w.line);
    AppendRinexField(&w.line, name, 5);
    for (int i = 0; i < 4; ++i) AppendRinexExponent(&w.line, i < count ? values[i] : 0.0, 12, 4);
    AppendLabelled(w, "IONOSPHERIC CORR");
}

void AppendTimeCorrection(RinexNavWriter &w, const char *name, double a0, double a1, int32_t time, int32_t week) {
    BeginRinexLine(&w.line);
    AppendRinexField(&w.line, name, 5);
    AppendRinexExponent(&w.line, a0, 17, 10);
    AppendRinexExponent(&w.line, a1, 16, 9);
    AppendRinexFormat(&w.line, " %6d %4d", time, week);
    AppendLabelled(w, "TIME SYSTEM CORR");
}

void AppendTimeCorrection(RinexNavWriter &w, const char *name, const TimeSystemCorrection &c) {
    if (c.valid != 0) AppendTimeCorrection(w, name, c.a0, c.a1, c.referenceTime, c.referenceWeek);
}

void AppendLeapSeconds(RinexNavWriter &w, const RinexNavHeader *info) {
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%6d%6d%6d%6dGPS", info->leapSeconds, info->futureLeapSeconds, info->leapWeek,
                      info->leapDay);
    AppendLabelled(w, "LEAP SECONDS");
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

void BeginHeader(RinexNavWriter &w, const char *type, const char *system) {
    BeginRinexHeader(&w.header);
    BeginRinexLine(&w.line);
    AppendRinexFormat(&w.line, "%9.2f%11s", Is211(w) ? 2.11 : 3.04, "");
    AppendRinexField(&w.line, type, 20);
    AppendRinexField(&w.line, system, 20);
    AppendLabelled(w, "RINEX VERSION / TYPE");
    BeginRinexLine(&w.line);
    AppendRinexProgramLine(&w.line);
    AppendRinexHeaderLine(&w.header, &w.line);
}

void EndHeader(RinexNavWriter &w) {
    BeginRinexLine(&w.line);
    AppendLabelled(w, "END OF HEADER");
}

// RINEX 3.04: the ionosphere and time lines of every system a record gave
// them for, GPS's first as they always were.
void BuildHeader304(RinexNavWriter &w, const RinexNavHeader *info) {
    BeginHeader(w, "N: GNSS NAV DATA", SystemField(w.nav.systems));
    if (info == nullptr) {
        EndHeader(w);
        return;
    }
    const NavCorrections *c = info->corrections;
    if (info->hasIonUtc) {
        AppendIonosphere(w, "GPSA", info->alpha, 4);
        AppendIonosphere(w, "GPSB", info->beta, 4);
    }
    if (c != nullptr) {
        if (c->galileoIonoValid != 0) AppendIonosphere(w, "GAL", c->galileoIono, 3);
        if (c->qzssIono.valid != 0) {
            AppendIonosphere(w, "QZSA", c->qzssIono.alpha, 4);
            AppendIonosphere(w, "QZSB", c->qzssIono.beta, 4);
        }
        if (c->beidouIono.valid != 0) {
            AppendIonosphere(w, "BDSA", c->beidouIono.alpha, 4);
            AppendIonosphere(w, "BDSB", c->beidouIono.beta, 4);
        }
    }
    if (info->hasIonUtc) {
        AppendTimeCorrection(w, "GPUT", info->utcA0, info->utcA1, info->utcReferenceTime, info->utcReferenceWeek);
    }
    if (c != nullptr) {
        AppendTimeCorrection(w, "GAUT", c->galileoUtc);
        AppendTimeCorrection(w, "GPGA", c->gpsGalileo);
        AppendTimeCorrection(w, "QZUT", c->qzssUtc);
        AppendTimeCorrection(w, "BDUT", c->beidouUtc);
    }
    if (info->hasIonUtc) AppendLeapSeconds(w, info);
    EndHeader(w);
}

// RINEX 2.11 GPS file: ION ALPHA, ION BETA, DELTA-UTC and LEAP SECONDS
// from the IONUTC record.
void BuildHeader211Gps(RinexNavWriter &w, const RinexNavHeader *info) {
    BeginHeader(w, "N: GPS NAV DATA", "");
    if (info != nullptr && info->hasIonUtc) {
        for (int k = 0; k < 2; ++k) {
            BeginRinexLine(&w.line);
            AppendRinexSpaces(&w.line, 2);
            for (int i = 0; i < 4; ++i) AppendRinexExponent(&w.line, k == 0 ? info->alpha[i] : info->beta[i], 12, 4);
            AppendLabelled(w, k == 0 ? "ION ALPHA" : "ION BETA");
        }
        BeginRinexLine(&w.line);
        AppendRinexSpaces(&w.line, 3);
        AppendRinexExponent(&w.line, info->utcA0, 19, 12);
        AppendRinexExponent(&w.line, info->utcA1, 19, 12);
        AppendRinexFormat(&w.line, "%9d%9d", info->utcReferenceTime, info->utcReferenceWeek);
        AppendLabelled(w, "DELTA-UTC: A0,A1,T,W");
        BeginRinexLine(&w.line);
        AppendRinexFormat(&w.line, "%6d", info->leapSeconds);
        AppendLabelled(w, "LEAP SECONDS");
    }
    EndHeader(w);
}

// RINEX 2.11 GLONASS file: LEAP SECONDS from IONUTC, else from the GLONASS
// records themselves (their GPS-GLONASS offset).
void BuildHeader211Glonass(RinexNavWriter &w, const RinexNavHeader *info) {
    BeginHeader(w, "G: GLONASS NAV DATA", "");
    const bool fromIonUtc = info != nullptr && info->hasIonUtc;
    if (fromIonUtc || w.hasGlonassLeap) {
        BeginRinexLine(&w.line);
        AppendRinexFormat(&w.line, "%6d", fromIonUtc ? info->leapSeconds : w.glonassLeap);
        AppendLabelled(w, "LEAP SECONDS");
    }
    EndHeader(w);
}

// GLONASS: the epoch and the frame time in UTC, as RINEX wants them (frame
// time in seconds of the UTC week in 3.04, of the UTC day in 2.11);
// position, velocity and acceleration in km.
int32_t WriteGlonass(RinexNavWriter &w, RinexNavOutput *out, const GlonassNavRecord &g) {
    const RinexCalendar toe = RinexCalendarOf(RinexTimeUnits(g.week, g.toe - g.leapSeconds));
    const double frame = g.frameTime - g.leapSeconds;
    int32_t result = 0;
    BeginRecordLine(w, 'R', g.slot, toe);
    Value(w, -g.tauN);
    Value(w, g.gammaN);
    Value(w, PositiveRemainder(frame, static_cast<double>(Is211(w) ? kSecondsPerDay : kSecondsPerWeek)));
    result |= EndLine(w, out);
    const double km = 1e-3;
    result |= OrbitLine(w, out, g.position[0] * km, g.velocity[0] * km, g.acceleration[0] * km, g.health);
    result |= OrbitLine(w, out, g.position[1] * km, g.velocity[1] * km, g.acceleration[1] * km, g.frequency);
    result |= OrbitLine(w, out, g.position[2] * km, g.velocity[2] * km, g.acceleration[2] * km, g.age);
    out->systems |= 1u << SYS_GLONASS;
    return result != 0 ? 1 : 0;
}

// Galileo, BeiDou and QZSS in their RINEX 3.04 layouts: the same orbit
// lines as GPS, the system's own fields in the last three.
int32_t WriteKepler(RinexNavWriter &w, RinexNavOutput *out, const KeplerNavRecord &k) {
    const char letter = k.system == SYS_GALILEO ? 'E' : k.system == SYS_BEIDOU ? 'C' : 'J';
    // BDT counts its weeks from 2006: its calendar is that of the GPS week
    // 1356 weeks later, to the second.
    const int32_t calendarWeek = k.tocWeek + (k.system == SYS_BEIDOU ? kBdtWeekOffset : 0);
    const RinexCalendar toc = RinexCalendarOf(RinexTimeUnits(calendarWeek, k.toc));
    const bool qzss = k.system == SYS_QZSS;
    const bool beidou = k.system == SYS_BEIDOU;
    int32_t result = 0;
    BeginRecordLine(w, letter, k.number, toc);
    Value(w, k.af0);
    Value(w, k.af1);
    Value(w, k.af2);
    result |= EndLine(w, out);
    result |= OrbitLine(w, out, k.iode, k.crs, k.deltaN, k.m0);
    result |= OrbitLine(w, out, k.cuc, k.e, k.cus, k.sqrtA);
    result |= OrbitLine(w, out, k.toe, k.cic, k.omega0, k.cis);
    result |= OrbitLine(w, out, k.i0, k.crc, k.omega, k.omegaDot);
    // QZSS does not transmit L2 P: RINEX sets its L2 P data flag to 1.
    result |= OrbitLine(w, out, k.idot, k.codes, k.week, qzss ? 1.0 : NAN);
    result |= OrbitLine(w, out, k.accuracy, k.health, k.groupDelay1, qzss ? k.iodc : k.groupDelay2);
    result |= OrbitLine(w, out, k.transmission, beidou ? k.iodc : k.fitInterval, NAN, NAN);
    out->systems |= 1u << k.system;
    return result != 0 ? 1 : 0;
}

} // namespace

int32_t OpenRinexNav(RinexNavWriter *writer, const char *path, int32_t version, const char *glonassPath) {
    RinexNavWriter &w = *writer;
    DiscardRinexNav(writer);
    w.version = version == kRinexVersion211 ? kRinexVersion211 : kRinexVersion304;
    w.hasGlonassLeap = false;
    if (OpenDeferredRinex(&w.nav.file, path) != 0) return 1;
    w.nav.open = true;
    w.nav.systems = 0;
    if (Is211(w) && glonassPath != nullptr) {
        if (OpenDeferredRinex(&w.glonassNav.file, glonassPath) != 0) {
            DiscardDeferredRinex(&w.nav.file);
            w.nav.open = false;
            return 1;
        }
        w.glonassNav.open = true;
        w.glonassNav.systems = 0;
    }
    return 0;
}

int32_t WriteRinexNavEphemeris(RinexNavWriter *writer, const GpsEphRecord *ephemeris, int32_t receivedWeek,
                               double receivedSeconds, double sentSeconds) {
    RinexNavWriter &w = *writer;
    if (!w.nav.open || ephemeris == nullptr) return 0;
    const GpsEphRecord &e = *ephemeris;
    // The broadcast week counts modulo 1024; the receiver's own week of the
    // record gives the rollovers.
    const int32_t broadcast = ((e.week % kWeeksPerRollover) + kWeeksPerRollover) % kWeeksPerRollover;
    int32_t offset = (broadcast - receivedWeek) % kWeeksPerRollover;
    if (offset < -kWeeksPerRollover / 2) offset += kWeeksPerRollover;
    if (offset >= kWeeksPerRollover / 2) offset -= kWeeksPerRollover;
    const int32_t week = receivedWeek + offset;
    // The logging, in seconds of the broadcast week (later than a week on
    // for an ephemeris the receiver kept).
    const bool logged = std::isfinite(receivedSeconds);
    const int32_t received =
        logged ? static_cast<int32_t>(std::floor(receivedSeconds)) + (receivedWeek - week) * kSecondsPerWeek : 0;
    // The toe and toc lie within half a week of the sending, which the
    // broadcast week is the week of; but a satellite (or a simulator) may
    // name the toe's week in a subframe sent in the last hours of the week
    // before: a sending that would come after the logging is of that week.
    const bool sent = std::isfinite(sentSeconds);
    if (sent && logged && sentSeconds - received > kSecondsPerHalfWeek) sentSeconds -= kSecondsPerWeek;
    const int32_t reference = sent ? static_cast<int32_t>(std::floor(sentSeconds)) : logged ? received : e.toe;
    const int32_t tocWeek = WeekNear(week, reference, e.toc);
    const int32_t toeWeek = WeekNear(week, reference, e.toe);
    // Transmission time: when the receiver logged the ephemeris, else when
    // the satellite sent it, in seconds of the toe's week.
    const double transmission = logged ? static_cast<double>(received + (week - toeWeek) * kSecondsPerWeek)
                                : sent ? sentSeconds + static_cast<double>((week - toeWeek) * kSecondsPerWeek)
                                       : kRinexUnknownTransmission;

    int32_t result = 0;
    BeginRecordLine(w, 'G', static_cast<uint32_t>(e.prn), RinexCalendarOf(RinexTimeUnits(tocWeek, e.toc)));
    Value(w, e.af0);
    Value(w, e.af1);
    Value(w, e.af2);
    result |= EndLine(w, &w.nav);
    result |= OrbitLine(w, &w.nav, e.iode, e.crs, e.deltaN, e.m0);
    result |= OrbitLine(w, &w.nav, e.cuc, e.e, e.cus, e.sqrtA);
    result |= OrbitLine(w, &w.nav, e.toe, e.cic, e.omega0, e.cis);
    result |= OrbitLine(w, &w.nav, e.i0, e.crc, e.omega, e.omegaDot);
    // Codes on L2 and the L2 P data flag: not in the host's record.
    result |= OrbitLine(w, &w.nav, e.idot, NAN, toeWeek, NAN);
    // SV accuracy: not in the host's record.
    result |= OrbitLine(w, &w.nav, NAN, e.health, e.tgd, e.iodc);
    result |= OrbitLine(w, &w.nav, transmission, NAN, NAN, NAN);
    w.nav.systems |= 1u << SYS_GPS;
    return result != 0 ? 1 : 0;
}

int32_t WriteRinexNavBroadcast(RinexNavWriter *writer, const NavRecord *ephemeris, bool *written) {
    RinexNavWriter &w = *writer;
    if (written != nullptr) *written = false;
    if (!w.nav.open || ephemeris == nullptr) return 0;
    int32_t result = 0;
    if (ephemeris->kind == NAV_GLONASS) {
        if (!w.hasGlonassLeap) {
            w.hasGlonassLeap = true;
            w.glonassLeap = ephemeris->glonass.leapSeconds;
        }
        RinexNavOutput *out = Is211(w) ? &w.glonassNav : &w.nav;
        if (!out->open) return 0;
        result = WriteGlonass(w, out, ephemeris->glonass);
    } else if (ephemeris->kind == NAV_KEPLER && !Is211(w)) {
        result = WriteKepler(w, &w.nav, ephemeris->kepler);
    } else {
        return 0;
    }
    if (written != nullptr) *written = true;
    return result;
}

int32_t CloseRinexNav(RinexNavWriter *writer, const RinexNavHeader *header, bool report) {
    RinexNavWriter &w = *writer;
    if (!w.nav.open) return 0;
    w.nav.open = false;
    if (Is211(w)) {
        BuildHeader211Gps(w, header);
    } else {
        BuildHeader304(w, header);
    }
    int32_t result = FinishDeferredRinex(&w.nav.file, w.header.text, w.header.length, report);
    if (w.glonassNav.open) {
        w.glonassNav.open = false;
        // Both files are finished; the first failure is the one reported.
        BuildHeader211Glonass(w, header);
        if (FinishDeferredRinex(&w.glonassNav.file, w.header.text, w.header.length, report && result == 0) != 0) {
            result = 1;
        }
    }
    return result;
}

void DiscardRinexNav(RinexNavWriter *writer) {
    RinexNavWriter &w = *writer;
    DiscardDeferredRinex(&w.nav.file);
    DiscardDeferredRinex(&w.glonassNav.file);
    w.nav.open = false;
    w.glonassNav.open = false;
}
