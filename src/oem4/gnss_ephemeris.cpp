// Decoders of the receiver's decoded ephemerides of the other systems:
// GLOEPHEMERIS (GLONASS), GALEPHEMERIS, GALINAVEPHEMERIS and
// GALFNAVEPHEMERIS (Galileo), BDSEPHEMERIS (BeiDou) and QZSSEPHEMERIS
// (QZSS). Each reads its body in the record's own field order into the
// port's broadcast ephemeris and returns RK_BROADCAST; only the RINEX
// navigation file takes them, so the host's files never change.
//
// The receiver gives every value already scaled (seconds, metres, radians).
// A record holding a value that no broadcast can give (not finite, out of
// its range, or one that a RINEX D19.12 field cannot hold) is dropped with
// a message instead of reaching the file.
#include <cmath>
#include <limits>

#include "common/broadcast_ephemeris.h"
#include "common/decoded_epoch.h"
#include "common/gnss_time.h"
#include "common/le.h"
#include "oem4/correction_checks.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"

namespace {

constexpr const char *kInvalidNumberText = "%s ephemeris received with invalid satellite number (%d)";
constexpr const char *kInvalidValuesText = "%s ephemeris received for %c%02u with invalid values";

// GLONASS time runs three hours ahead of UTC.
constexpr int32_t kGlonassUtcOffset = 10800;
constexpr double kNotCarried = std::numeric_limits<double>::quiet_NaN();

// ---- GLOEPHEMERIS body --------------------------------------------------
constexpr size_t kGloSlotAt = 0;      // u16, slot + 37
constexpr size_t kGloFrequencyAt = 2; // u16, frequency channel + 7
constexpr size_t kGloWeekAt = 6;      // u16, GPS week of tb
constexpr size_t kGloTimeAt = 8;      // u32, tb in GPS milliseconds of week
constexpr size_t kGloOffsetAt = 12;   // u32, GLONASS time minus GPS time, s
constexpr size_t kGloHealthAt = 24;   // u32, 0-3 good, 4-15 bad
constexpr size_t kGloPositionAt = 28; // 3 x f64, m
constexpr size_t kGloVelocityAt = 52; // 3 x f64, m/s
constexpr size_t kGloAccelerationAt = 76;
constexpr size_t kGloTauNAt = 100;
constexpr size_t kGloGammaAt = 116;
constexpr size_t kGloFrameTimeAt = 124; // u32, tk, s of the GLONASS day
constexpr size_t kGloAgeAt = 136;       // u32, days
constexpr uint32_t kGloSlotOffset = 37;
constexpr uint32_t kGloFrequencyOffset = 7;
constexpr uint32_t kGloLastSlot = 27;
constexpr uint32_t kGloLastFrequency = 20; // channel +13
constexpr uint32_t kGloFirstBadHealth = 4;
constexpr uint32_t kGloMostAge = 31; // five bits

// ---- GALINAVEPHEMERIS / GALFNAVEPHEMERIS bodies -------------------------
// The two share the orbit and clock fields; the F/NAV body lacks the E1-B
// health fields and the second group delay, so its fields start 4 bytes
// earlier.
struct GalileoLayout {
    size_t iodAt, sisaAt, toeAt, tocAt, orbitAt;
};
constexpr GalileoLayout kInavLayout = {12, 14, 16, 20, 24};
constexpr GalileoLayout kFnavLayout = {8, 10, 12, 16, 20};
constexpr size_t kInavE5bHealthAt = 4;
constexpr size_t kInavE5bDvsAt = 5;
constexpr size_t kInavE1bHealthAt = 8;
constexpr size_t kInavE1bDvsAt = 9;
constexpr size_t kInavSourceAt = 15;
constexpr size_t kFnavE5aHealthAt = 4;
constexpr size_t kFnavE5aDvsAt = 5;

// ---- GALEPHEMERIS body ----------------------------------------------------
constexpr size_t kGalFnavReceivedAt = 4;
constexpr size_t kGalInavReceivedAt = 8;
constexpr size_t kGalE1bHealthAt = 12;
constexpr size_t kGalE5aHealthAt = 13;
constexpr size_t kGalE5bHealthAt = 14;
constexpr size_t kGalE1bDvsAt = 15;
constexpr size_t kGalE5aDvsAt = 16;
constexpr size_t kGalE5bDvsAt = 17;
constexpr size_t kGalSisaAt = 18;
constexpr size_t kGalIodAt = 20;   // u32
constexpr size_t kGalToeAt = 24;   // u32
constexpr size_t kGalSqrtAAt = 28; // then dn, M0, e, omega, Cuc, Cus, Crc, Crs, Cic, Cis, i0, idot, Omega0, Omegadot
constexpr size_t kGalFnavClockAt = 148; // u32 toc, f64 af0, af1, af2
constexpr size_t kGalInavClockAt = 176;
constexpr size_t kGalBgdE5aAt = 204;
constexpr size_t kGalBgdE5bAt = 212;

// Galileo data sources and SV health bits, as RINEX 3.04 defines them.
constexpr double kSourceInavE1b = 1;
constexpr double kSourceFnavE5a = 2;
constexpr double kSourceInavE5b = 4;
constexpr double kSourceClockE5aE1 = 256;
constexpr double kSourceClockE5bE1 = 512;
constexpr uint32_t kHealthE1bShift = 0; // DVS bit 0, HS bits 1-2
constexpr uint32_t kHealthE5aShift = 3;
constexpr uint32_t kHealthE5bShift = 6;
constexpr uint32_t kLastGalileo = 36;
constexpr uint32_t kLastIodNav = 1023;

// ---- BDSEPHEMERIS body ---------------------------------------------------
constexpr size_t kBdsPrnAt = 0;
constexpr size_t kBdsWeekAt = 4;
constexpr size_t kBdsUraAt = 8;
constexpr size_t kBdsHealthAt = 16;
constexpr size_t kBdsTgd1At = 20;
constexpr size_t kBdsTgd2At = 28;
constexpr size_t kBdsAodcAt = 36;
constexpr size_t kBdsTocAt = 40;
constexpr size_t kBdsA0At = 44; // then a1, a2
constexpr size_t kBdsAodeAt = 68;
constexpr size_t kBdsToeAt = 72;
constexpr size_t kBdsSqrtAAt = 76; // then e, omega, dn, M0, Omega0, Omegadot, i0, idot, Cuc, Cus, Crc, Crs, Cic, Cis
constexpr uint32_t kLastBeidou = 63;
constexpr uint32_t kLastBdtWeek = 8191;

// ---- QZSSEPHEMERIS body (GPSEPHEM's layout and a fit interval) ------------
constexpr size_t kQzsPrnAt = 0;
constexpr size_t kQzsHealthAt = 12;
constexpr size_t kQzsIodeAt = 16;
constexpr size_t kQzsWeekAt = 28; // the week of subframe 1, the week it was sent in, in full
constexpr size_t kQzsToeAt = 32;
constexpr size_t kQzsAAt = 40; // then dn, M0, e, omega, Cuc, Cus, Crc, Crs, Cic, Cis, i0, idot, Omega0, Omegadot
constexpr size_t kQzsIodcAt = 160;
constexpr size_t kQzsTocAt = 164; // then TGD, af0, af1, af2
constexpr size_t kQzsVarianceAt = 216;
constexpr size_t kQzsFitAt = 224;
constexpr double kQzssCodesOnL2 = 2.0;
constexpr uint32_t kFirstQzss = 193; // J01
constexpr uint32_t kLastQzss = 202;
constexpr uint32_t kLastHealth6 = 63;
constexpr uint32_t kLastIodc = 1023;
constexpr uint32_t kLastIode = 255;
constexpr uint32_t kLastWeek = 65535;

bool IsTimeOfWeek(double seconds) { return seconds >= 0.0 && seconds < kSecondsPerWeek; }

// The week of a time of week that lies within half a week of the reference.
int32_t WeekNear(int32_t week, double reference, double seconds) {
    if (seconds - reference > kSecondsPerHalfWeek) return week - 1;
    if (seconds - reference < -kSecondsPerHalfWeek) return week + 1;
    return week;
}

// The week of an ephemeris' toe, from the week the record gives (the week
// it was sent in): an ephemeris sent in the last hours of a week can have
// its toe in the next one, and one sent just after a week began its toe in
// the week before. The toe lies within half a week of the time the
// receiver logged the record, given as week and seconds of week.
int32_t ToeWeek(int32_t sentWeek, double loggedWeek, double loggedSeconds, double toe) {
    return WeekNear(sentWeek, loggedSeconds + (loggedWeek - sentWeek) * kSecondsPerWeek, toe);
}

// Reads `count` consecutive f64 fields.
void ReadDoubles(const uint8_t *at, double *out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = le::R8(at + 8 * i);
}

// Every value of an ephemeris writable, its times in the week, its orbit an
// ellipse, and its weeks those of the time it was logged. The decoders take
// the toe to lie within half a week of that time; one that does not, or a
// week before the first, comes from a record whose week disagrees with the
// week it was logged in, or one logged before the receiver knew the time.
bool KeplerValid(const KeplerNavRecord &k) {
    const double values[] = {k.af0, k.af1,   k.af2,      k.crs,  k.deltaN, k.m0,          k.cuc,
                             k.e,   k.cus,   k.sqrtA,    k.cic,  k.omega0, k.cis,         k.i0,
                             k.crc, k.omega, k.omegaDot, k.idot, k.health, k.groupDelay1, k.transmission};
    for (double v : values) {
        if (!FitsNavigationField(v)) return false;
    }
    for (double v : {k.codes, k.accuracy, k.groupDelay2, k.iodc, k.fitInterval}) {
        if (!std::isnan(v) && !FitsNavigationField(v)) return false;
    }
    return IsTimeOfWeek(k.toe) && IsTimeOfWeek(k.toc) && k.sqrtA >= 0.0 && k.e >= 0.0 && k.e < 1.0 && k.week >= 0 &&
           k.tocWeek >= 0 && std::fabs(k.transmission - k.toe) <= kSecondsPerHalfWeek;
}

// The orbit elements by name: each record lists them in its own order, and
// each decoder says which is which.
struct OrbitFields {
    double sqrtA, deltaN, m0, e, omega, cuc, cus, crc, crs, cic, cis, i0, idot, omega0, omegaDot;
};

void SetOrbit(KeplerNavRecord &k, const OrbitFields &o) {
    k.sqrtA = o.sqrtA;
    k.deltaN = o.deltaN;
    k.m0 = o.m0;
    k.e = o.e;
    k.omega = o.omega;
    k.cuc = o.cuc;
    k.cus = o.cus;
    k.crc = o.crc;
    k.crs = o.crs;
    k.cic = o.cic;
    k.cis = o.cis;
    k.i0 = o.i0;
    k.idot = o.idot;
    k.omega0 = o.omega0;
    k.omegaDot = o.omegaDot;
}

// Hands the decoded ephemerides to the port, or drops them with the message
// (once a record). Each on its own: of a record with two (a GALEPHEMERIS of
// both message types), a valid one is kept beside one dropped.
int32_t HandOut(Oem4Decoder *dec, const char *systemName, char letter, const KeplerNavRecord *k, uint32_t count) {
    uint32_t kept = 0;
    bool told = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!KeplerValid(k[i])) {
            if (!told) PortReportf(dec, HeaderTime(dec), kInvalidValuesText, systemName, letter, k[i].number);
            told = true;
            continue;
        }
        NavRecord &b = dec->broadcast[kept++];
        b.kind = NAV_KEPLER;
        b.kepler = k[i];
    }
    dec->broadcastCount = kept;
    return kept != 0 ? RK_BROADCAST : RK_NONE;
}

// A fresh Galileo ephemeris of the record being decoded: times resolved to
// the week of the record, transmission when the receiver logged it.
KeplerNavRecord GalileoAt(const Oem4Decoder *dec, uint32_t number, double toe, double toc) {
    const double now = HeaderTime(dec);
    const int32_t week = HeaderWeek(dec);
    KeplerNavRecord k{};
    k.system = SYS_GALILEO;
    k.number = number;
    k.toe = toe;
    k.toc = toc;
    k.week = WeekNear(week, now, toe);
    k.tocWeek = WeekNear(week, now, toc);
    k.transmission = now + (week - k.week) * static_cast<double>(kSecondsPerWeek);
    // Logged before the receiver knew the week: its toe could only be dated
    // in 1980, so the record goes as one whose weeks do not fit.
    if (IsUnsetWeek(week)) k.week = k.tocWeek = -1;
    k.fitInterval = kNotCarried;
    k.iodc = kNotCarried;
    return k;
}

// SISA in metres from its index (Galileo OS SIS ICD); -1 for the indexes
// that give no accuracy (spare, and 255 "no accuracy prediction"), as the
// later RINEX versions write it. A blank field is read as 0 m, the best
// accuracy there is: the satellite's warning would read as its opposite.
constexpr double kNoAccuracyPrediction = -1.0;
double SisaMetres(uint32_t index) {
    if (index <= 49) return 0.01 * index;
    if (index <= 74) return 0.5 + 0.02 * (index - 50);
    if (index <= 99) return 1.0 + 0.04 * (index - 75);
    if (index <= 125) return 2.0 + 0.16 * (index - 100);
    return kNoAccuracyPrediction;
}

// One health field (2 bits) and data validity bit; false when out of range.
bool AddHealth(double *health, uint32_t status, uint32_t validity, uint32_t shift) {
    if (status > 3 || validity > 1) return false;
    *health += static_cast<double>((validity | status << 1) << shift);
    return true;
}

// The Galileo orbit fields of the I/NAV and F/NAV records, from M0 on.
OrbitFields NavOrbit(const uint8_t *at) {
    double v[15];
    ReadDoubles(at, v, 15);
    // M0, dn, e, sqrtA, i0, idot, Omega0, omega, Omegadot, Cuc, Cus, Crc, Crs, Cic, Cis
    return OrbitFields{v[3], v[1], v[0], v[2], v[7], v[9], v[10], v[11], v[12], v[13], v[14], v[4], v[5], v[6], v[8]};
}

int32_t DecodeGalileoNav(int32_t port, bool inav) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    dec->broadcastCount = 0;
    const uint8_t *body = RecordBody(dec);
    const GalileoLayout &l = inav ? kInavLayout : kFnavLayout;
    const uint32_t number = le::U4(body);
    if (number < 1 || number > kLastGalileo) {
        PortReportf(dec, HeaderTime(dec), kInvalidNumberText, "Galileo", static_cast<int>(number));
        return RK_NONE;
    }
    const double toe = le::U4(body + l.toeAt);
    const double toc = le::U4(body + l.tocAt);
    KeplerNavRecord k = GalileoAt(dec, number, toe, toc);
    const uint32_t iod = le::U2(body + l.iodAt);
    k.iode = iod;
    k.accuracy = SisaMetres(le::U1(body + l.sisaAt));
    SetOrbit(k, NavOrbit(body + l.orbitAt));
    const uint8_t *clock = body + l.orbitAt + 15 * 8;
    k.af0 = le::R8(clock);
    k.af1 = le::R8(clock + 8);
    k.af2 = le::R8(clock + 16);
    k.groupDelay1 = le::R8(clock + 24);
    bool healthy = iod <= kLastIodNav;
    if (inav) {
        k.groupDelay2 = le::R8(clock + 32);
        healthy = healthy &&
                  AddHealth(&k.health, le::U1(body + kInavE1bHealthAt), le::U1(body + kInavE1bDvsAt), kHealthE1bShift);
        healthy = healthy &&
                  AddHealth(&k.health, le::U1(body + kInavE5bHealthAt), le::U1(body + kInavE5bDvsAt), kHealthE5bShift);
        // The signals the receiver took the message from; an unknown source
        // counts as both, the two signals that carry I/NAV.
        const uint32_t source = le::U1(body + kInavSourceAt) & 3u;
        k.codes = kSourceClockE5bE1 + ((source & 1u) != 0 || source == 0 ? kSourceInavE1b : 0.0) +
                  ((source & 2u) != 0 || source == 0 ? kSourceInavE5b : 0.0);
    } else {
        k.groupDelay2 = kNotCarried;
        healthy = healthy &&
                  AddHealth(&k.health, le::U1(body + kFnavE5aHealthAt), le::U1(body + kFnavE5aDvsAt), kHealthE5aShift);
        k.codes = kSourceFnavE5a + kSourceClockE5aE1;
    }
    if (!healthy) {
        PortReportf(dec, HeaderTime(dec), kInvalidValuesText, "Galileo", 'E', number);
        return RK_NONE;
    }
    return HandOut(dec, "Galileo", 'E', &k, 1);
}

} // namespace

int32_t DecodeGloephemeris(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    dec->broadcastCount = 0;
    const uint8_t *body = RecordBody(dec);
    const double now = HeaderTime(dec);
    const uint32_t loggedSlot = le::U2(body + kGloSlotAt);
    if (loggedSlot <= kGloSlotOffset || loggedSlot - kGloSlotOffset > kGloLastSlot) {
        PortReportf(dec, now, kInvalidNumberText, "GLONASS", static_cast<int>(loggedSlot));
        return RK_NONE;
    }
    const uint32_t slot = loggedSlot - kGloSlotOffset;
    GlonassNavRecord g{};
    g.slot = slot;
    const uint32_t frequency = le::U2(body + kGloFrequencyAt);
    g.frequency = static_cast<int32_t>(frequency) - static_cast<int32_t>(kGloFrequencyOffset);
    g.week = le::U2(body + kGloWeekAt);
    const uint32_t milliseconds = le::U4(body + kGloTimeAt);
    g.toe = milliseconds / 1000.0;
    const uint32_t offset = le::U4(body + kGloOffsetAt);
    // GLONASS time is UTC + 3 h: the offset from GPS time is 3 h less the
    // leap seconds. Any other offset leaves the record's UTC times unknown.
    const bool offsetValid = offset <= static_cast<uint32_t>(kGlonassUtcOffset) &&
                             offset >= static_cast<uint32_t>(kGlonassUtcOffset - kMostLeapSeconds);
    g.leapSeconds = offsetValid ? kGlonassUtcOffset - static_cast<int32_t>(offset) : 0;
    g.health = le::U4(body + kGloHealthAt) >= kGloFirstBadHealth ? 1.0 : 0.0;
    ReadDoubles(body + kGloPositionAt, g.position, 3);
    ReadDoubles(body + kGloVelocityAt, g.velocity, 3);
    ReadDoubles(body + kGloAccelerationAt, g.acceleration, 3);
    g.tauN = le::R8(body + kGloTauNAt);
    g.gammaN = le::R8(body + kGloGammaAt);
    const uint32_t frameTime = le::U4(body + kGloFrameTimeAt);
    const uint32_t age = le::U4(body + kGloAgeAt);
    g.age = age;

    // tk counts seconds of the GLONASS day; in GPS time it is the day of tb
    // shifted by the offset, taken within half a day of tb.
    double frame = std::floor(g.toe / kSecondsPerDay) * kSecondsPerDay + static_cast<double>(frameTime) -
                   static_cast<double>(offset);
    if (frame < g.toe - kSecondsPerDay / 2.0) frame += kSecondsPerDay;
    if (frame > g.toe + kSecondsPerDay / 2.0) frame -= kSecondsPerDay;
    g.frameTime = frame;

    bool valid = frequency <= kGloLastFrequency && milliseconds < 1000.0 * kSecondsPerWeek &&
                 frameTime < kSecondsPerDay && age <= kGloMostAge && offsetValid && g.week != 0 &&
                 FitsNavigationField(g.tauN) && FitsNavigationField(g.gammaN);
    for (int i = 0; i < 3; ++i)
        valid = valid && FitsNavigationField(g.position[i]) && FitsNavigationField(g.velocity[i]) &&
                FitsNavigationField(g.acceleration[i]);
    if (!valid) {
        PortReportf(dec, now, kInvalidValuesText, "GLONASS", 'R', slot);
        return RK_NONE;
    }
    NavRecord &b = dec->broadcast[0];
    b.kind = NAV_GLONASS;
    b.glonass = g;
    dec->broadcastCount = 1;
    return RK_BROADCAST;
}

int32_t DecodeGalinavephemeris(int32_t port, ThreadBuf *) { return DecodeGalileoNav(port, true); }
int32_t DecodeGalfnavephemeris(int32_t port, ThreadBuf *) { return DecodeGalileoNav(port, false); }

// GALEPHEMERIS carries the orbit once and a clock for each message type the
// receiver has seen: one ephemeris per received message type, as RINEX
// keeps I/NAV and F/NAV apart.
int32_t DecodeGalephemeris(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    dec->broadcastCount = 0;
    const uint8_t *body = RecordBody(dec);
    const uint32_t number = le::U4(body);
    if (number < 1 || number > kLastGalileo) {
        PortReportf(dec, HeaderTime(dec), kInvalidNumberText, "Galileo", static_cast<int>(number));
        return RK_NONE;
    }
    const bool fnav = le::U4(body + kGalFnavReceivedAt) != 0;
    const bool inav = le::U4(body + kGalInavReceivedAt) != 0;
    const uint32_t iod = le::U4(body + kGalIodAt);
    const double toe = le::U4(body + kGalToeAt);
    double v[15];
    ReadDoubles(body + kGalSqrtAAt, v, 15);
    // sqrtA, dn, M0, e, omega, Cuc, Cus, Crc, Crs, Cic, Cis, i0, idot, Omega0, Omegadot
    const OrbitFields orbit{v[0], v[1], v[2],  v[3],  v[4],  v[5],  v[6], v[7],
                            v[8], v[9], v[10], v[11], v[12], v[13], v[14]};

    KeplerNavRecord k[2];
    uint32_t count = 0;
    bool healthy = iod <= kLastIodNav;
    for (int pass = 0; pass < 2; ++pass) {
        const bool isInav = pass == 0;
        if (isInav ? !inav : !fnav) continue;
        const uint8_t *clock = body + (isInav ? kGalInavClockAt : kGalFnavClockAt);
        KeplerNavRecord &e = k[count++];
        e = GalileoAt(dec, number, toe, le::U4(clock));
        e.iode = iod;
        e.accuracy = SisaMetres(le::U1(body + kGalSisaAt));
        SetOrbit(e, orbit);
        e.af0 = le::R8(clock + 4);
        e.af1 = le::R8(clock + 12);
        e.af2 = le::R8(clock + 20);
        e.groupDelay1 = le::R8(body + kGalBgdE5aAt);
        if (isInav) {
            e.groupDelay2 = le::R8(body + kGalBgdE5bAt);
            e.codes = kSourceInavE1b + kSourceInavE5b + kSourceClockE5bE1;
            healthy = healthy && AddHealth(&e.health, le::U1(body + kGalE1bHealthAt), le::U1(body + kGalE1bDvsAt),
                                           kHealthE1bShift);
            healthy = healthy && AddHealth(&e.health, le::U1(body + kGalE5bHealthAt), le::U1(body + kGalE5bDvsAt),
                                           kHealthE5bShift);
        } else {
            e.groupDelay2 = kNotCarried;
            e.codes = kSourceFnavE5a + kSourceClockE5aE1;
            healthy = healthy && AddHealth(&e.health, le::U1(body + kGalE5aHealthAt), le::U1(body + kGalE5aDvsAt),
                                           kHealthE5aShift);
        }
    }
    if (!healthy) {
        PortReportf(dec, HeaderTime(dec), kInvalidValuesText, "Galileo", 'E', number);
        return RK_NONE;
    }
    return HandOut(dec, "Galileo", 'E', k, count);
}

int32_t DecodeBdsephemeris(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    dec->broadcastCount = 0;
    const uint8_t *body = RecordBody(dec);
    const uint32_t number = le::U4(body + kBdsPrnAt);
    if (number < 1 || number > kLastBeidou) {
        PortReportf(dec, HeaderTime(dec), kInvalidNumberText, "BeiDou", static_cast<int>(number));
        return RK_NONE;
    }
    KeplerNavRecord k{};
    k.system = SYS_BEIDOU;
    k.number = number;
    const uint32_t week = le::U4(body + kBdsWeekAt);
    k.accuracy = le::R8(body + kBdsUraAt);
    const uint32_t health = le::U4(body + kBdsHealthAt);
    k.health = health;
    k.groupDelay1 = le::R8(body + kBdsTgd1At);
    k.groupDelay2 = le::R8(body + kBdsTgd2At);
    k.iodc = le::U4(body + kBdsAodcAt);
    k.toc = le::U4(body + kBdsTocAt);
    k.af0 = le::R8(body + kBdsA0At);
    k.af1 = le::R8(body + kBdsA0At + 8);
    k.af2 = le::R8(body + kBdsA0At + 16);
    k.iode = le::U4(body + kBdsAodeAt);
    k.toe = le::U4(body + kBdsToeAt);
    double v[15];
    ReadDoubles(body + kBdsSqrtAAt, v, 15);
    // sqrtA, e, omega, dn, M0, Omega0, Omegadot, i0, idot, Cuc, Cus, Crc, Crs, Cic, Cis
    SetOrbit(
        k, OrbitFields{v[0], v[3], v[4], v[1], v[2], v[9], v[10], v[11], v[12], v[13], v[14], v[7], v[8], v[5], v[6]});
    k.codes = kNotCarried;
    k.fitInterval = kNotCarried;
    // When the receiver logged it, in BDT.
    const double bdtNow = HeaderTime(dec) - kBdtSecondsBehindGps;
    const double bdtWeek = static_cast<double>(HeaderWeek(dec)) - kBdtWeekOffset;
    k.week = week <= kLastBdtWeek ? ToeWeek(static_cast<int32_t>(week), bdtWeek, bdtNow, k.toe) : 0;
    k.tocWeek = WeekNear(k.week, k.toe, k.toc);
    k.transmission = bdtNow + (bdtWeek - k.week) * kSecondsPerWeek;
    if (week > kLastBdtWeek || health > 1 || !(k.accuracy >= 0.0)) {
        PortReportf(dec, HeaderTime(dec), kInvalidValuesText, "BeiDou", 'C', number);
        return RK_NONE;
    }
    return HandOut(dec, "BeiDou", 'C', &k, 1);
}

int32_t DecodeQzssephemeris(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    dec->broadcastCount = 0;
    const uint8_t *body = RecordBody(dec);
    const uint32_t prn = le::U4(body + kQzsPrnAt);
    if (prn < kFirstQzss || prn > kLastQzss) {
        PortReportf(dec, HeaderTime(dec), kInvalidNumberText, "QZSS", static_cast<int>(prn));
        return RK_NONE;
    }
    KeplerNavRecord k{};
    k.system = SYS_QZSS;
    k.number = prn - kFirstQzss + 1;
    const uint32_t health = le::U4(body + kQzsHealthAt);
    k.health = health;
    const uint32_t iode = le::U4(body + kQzsIodeAt);
    k.iode = iode;
    const uint32_t week = le::U4(body + kQzsWeekAt);
    k.toe = le::R8(body + kQzsToeAt);
    k.week = week <= kLastWeek ? ToeWeek(static_cast<int32_t>(week), HeaderWeek(dec), HeaderTime(dec), k.toe) : 0;
    double v[15];
    ReadDoubles(body + kQzsAAt, v, 15);
    // A, dn, M0, e, omega, Cuc, Cus, Crc, Crs, Cic, Cis, i0, idot, Omega0, Omegadot
    const double sqrtA = v[0] >= 0.0 ? std::sqrt(v[0]) : -1.0;
    SetOrbit(
        k, OrbitFields{sqrtA, v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[14]});
    const uint32_t iodc = le::U4(body + kQzsIodcAt);
    k.iodc = iodc;
    k.toc = le::R8(body + kQzsTocAt);
    k.groupDelay1 = le::R8(body + kQzsTocAt + 8);
    k.af0 = le::R8(body + kQzsTocAt + 16);
    k.af1 = le::R8(body + kQzsTocAt + 24);
    k.af2 = le::R8(body + kQzsTocAt + 32);
    k.groupDelay2 = kNotCarried;
    // Not in the record, but the same for every QZSS satellite: RINEX fixes
    // the codes on L2 of QZSS to 2 (L2C).
    k.codes = kQzssCodesOnL2;
    const double variance = le::R8(body + kQzsVarianceAt);
    k.accuracy = variance >= 0.0 && std::isfinite(variance) ? std::sqrt(variance) : kNotCarried;
    // The flag of the navigation message, when the record gives one.
    const uint32_t fit = le::U1(body + kQzsFitAt);
    k.fitInterval = fit <= 1 ? fit : kNotCarried;
    k.tocWeek = WeekNear(k.week, k.toe, k.toc);
    k.transmission = HeaderTime(dec) + (HeaderWeek(dec) - k.week) * static_cast<double>(kSecondsPerWeek);
    if (health > kLastHealth6 || iode > kLastIode || iodc > kLastIodc || week > kLastWeek) {
        PortReportf(dec, HeaderTime(dec), kInvalidValuesText, "QZSS", 'J', k.number);
        return RK_NONE;
    }
    return HandOut(dec, "QZSS", 'J', &k, 1);
}
