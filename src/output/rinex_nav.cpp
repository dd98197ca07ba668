// Writer of the RINEX 3.04 GPS navigation file: one record per broadcast
// ephemeris, the SV / EPOCH / SV CLK line and the seven BROADCAST ORBIT
// lines, every value in a D19.12 field.
//
// Parameters that the log's ephemeris does not carry (codes on L2, the L2 P
// data flag, the SV accuracy, the fit interval) are left blank rather than
// given a value the receiver never sent.
#include <cmath>
#include <cstdlib>

#include "output/rinex_file.h"
#include "output/rinex_text.h"

namespace {

constexpr std::size_t kValueWidth = 19; // D19.12
constexpr int kValuePrecision = 12;
constexpr int32_t kWeeksPerRollover = 1024;
constexpr int32_t kSecondsPerWeek = 604800;
constexpr int32_t kHalfWeek = 302400;

DeferredRinexFile g_nav;
bool g_navOpen = false;
RinexLine g_navLine;
RinexHeaderText g_navHeader;

void Value(double value) { AppendRinexExponent(&g_navLine, value, kValueWidth, kValuePrecision); }
void Blank() { AppendRinexSpaces(&g_navLine, kValueWidth); }

void BeginOrbitLine() {
    BeginRinexLine(&g_navLine);
    AppendRinexSpaces(&g_navLine, 4);
}

int32_t EndLine() {
    TrimRinexLine(&g_navLine);
    return WriteDeferredRinexLine(&g_nav, &g_navLine);
}

// The full week of a time of week `seconds` that lies within half a week of
// the reference (week, reference seconds).
int32_t WeekNear(int32_t week, int32_t referenceSeconds, int32_t seconds) {
    if (seconds - referenceSeconds > kHalfWeek) return week - 1;
    if (seconds - referenceSeconds < -kHalfWeek) return week + 1;
    return week;
}

void AppendLabelled(const char *label) {
    FinishRinexHeaderLine(&g_navLine, label);
    AppendRinexHeaderLine(&g_navHeader, &g_navLine);
}

void AppendIonosphere(const char *name, const double *values) {
    BeginRinexLine(&g_navLine);
    AppendRinexField(&g_navLine, name, 5);
    for (int i = 0; i < 4; ++i) AppendRinexExponent(&g_navLine, values[i], 12, 4);
    AppendLabelled("IONOSPHERIC CORR");
}

void BuildHeader(const RinexNavHeader *info) {
    BeginRinexHeader(&g_navHeader);
    BeginRinexLine(&g_navLine);
    AppendRinexFormat(&g_navLine, "%9.2f%11s", 3.04, "");
    AppendRinexField(&g_navLine, "N: GNSS NAV DATA", 20);
    AppendRinexField(&g_navLine, "G: GPS", 20);
    AppendLabelled("RINEX VERSION / TYPE");
    BeginRinexLine(&g_navLine);
    AppendRinexProgramLine(&g_navLine);
    AppendRinexHeaderLine(&g_navHeader, &g_navLine);
    if (info != nullptr && info->hasIonUtc) {
        AppendIonosphere("GPSA", info->alpha);
        AppendIonosphere("GPSB", info->beta);
        BeginRinexLine(&g_navLine);
        AppendRinexField(&g_navLine, "GPUT", 5);
        AppendRinexExponent(&g_navLine, info->utcA0, 17, 10);
        AppendRinexExponent(&g_navLine, info->utcA1, 16, 9);
        AppendRinexFormat(&g_navLine, " %6d %4d", info->utcReferenceTime, info->utcReferenceWeek);
        AppendLabelled("TIME SYSTEM CORR");
        BeginRinexLine(&g_navLine);
        AppendRinexFormat(&g_navLine, "%6d%6d%6d%6dGPS", info->leapSeconds, info->futureLeapSeconds, info->leapWeek,
                          info->leapDay);
        AppendLabelled("LEAP SECONDS");
    }
    BeginRinexLine(&g_navLine);
    AppendLabelled("END OF HEADER");
}

} // namespace

int32_t OpenRinexNav(const char *path) {
    DiscardRinexNav();
    if (OpenDeferredRinex(&g_nav, path) != 0) return 1;
    g_navOpen = true;
    return 0;
}

int32_t WriteRinexNavEphemeris(const GpsEphRecord *ephemeris, int32_t receivedWeek, double receivedSeconds) {
    if (!g_navOpen || ephemeris == nullptr) return 0;
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
    const RinexCalendar toc = RinexCalendarOf(RinexTimeUnits(tocWeek, e.toc));
    BeginRinexLine(&g_navLine);
    AppendRinexFormat(&g_navLine, "G%02d %04d %02d %02d %02d %02d %02d", e.prn, toc.year, toc.month, toc.day, toc.hour,
                      toc.minute, toc.second);
    Value(e.af0);
    Value(e.af1);
    Value(e.af2);
    result |= EndLine();

    BeginOrbitLine();
    Value(e.iode);
    Value(e.crs);
    Value(e.deltaN);
    Value(e.m0);
    result |= EndLine();

    BeginOrbitLine();
    Value(e.cuc);
    Value(e.e);
    Value(e.cus);
    Value(e.sqrtA);
    result |= EndLine();

    BeginOrbitLine();
    Value(e.toe);
    Value(e.cic);
    Value(e.omega0);
    Value(e.cis);
    result |= EndLine();

    BeginOrbitLine();
    Value(e.i0);
    Value(e.crc);
    Value(e.omega);
    Value(e.omegaDot);
    result |= EndLine();

    BeginOrbitLine();
    Value(e.idot);
    Blank(); // codes on L2
    Value(toeWeek);
    Blank(); // L2 P data flag
    result |= EndLine();

    BeginOrbitLine();
    Blank(); // SV accuracy
    Value(e.health);
    Value(e.tgd);
    Value(e.iodc);
    result |= EndLine();

    // Transmission time: when the receiver logged the ephemeris, in seconds
    // of the toe's week.
    BeginOrbitLine();
    Value(static_cast<double>(received + (week - toeWeek) * kSecondsPerWeek));
    result |= EndLine();
    return result != 0 ? 1 : 0;
}

int32_t CloseRinexNav(const RinexNavHeader *header) {
    if (!g_navOpen) return 0;
    g_navOpen = false;
    BuildHeader(header);
    return FinishDeferredRinex(&g_nav, g_navHeader.text, g_navHeader.length);
}

void DiscardRinexNav() {
    DiscardDeferredRinex(&g_nav);
    g_navOpen = false;
}
