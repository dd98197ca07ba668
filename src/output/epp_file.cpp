// Writer of the EPP ephemeris text file: one GpsEph block per broadcast
// ephemeris and one GpsAlm block per GPS almanac, in arrival order.
//
// The values follow the broadcast subframes: subframe 1 clock data on El1
// and El2, then subframe 2 (IODE, Crs, dn, M0, Cuc, e, Cus, sqrt A, toe) and
// subframe 3 (Cic, Omega0, Cis, i0, Crc, omega, Omega dot, IDOT). Every
// exponent carries three digits whichever runtime wrote the file.
#include "output/text_outputs.h"

#include "output/text_output.h"

namespace {

constexpr int32_t kGpsSystem = 0;

// Digits after the point of the ephemeris values: clock and harmonic terms
// to 8, the orbit's angles, eccentricity and sqrt A to 14.
constexpr int kShort = 8;
constexpr int kLong = 14;

// A value after a space.
void AppendSeparated(TextBlock *block, long value) {
    AppendLiteral(block, " ");
    AppendInteger(block, value);
}
void AppendSeparated(TextBlock *block, double value, int precision) {
    AppendLiteral(block, " ");
    AppendExponent(block, value, precision);
}

} // namespace

int32_t WriteEppIdentification(std::FILE *stream, const char *path) {
    if (stream == nullptr) {
        return 0;
    }
    TextBlock block;
    BeginTextBlock(&block);
    AppendFormat(&block, "%s", kEppIdentificationLine);
    return WriteTextBlock(stream, path, &block);
}

int32_t WriteEppEphemeris(std::FILE *stream, const char *path, const GpsEphRecord *ephemeris) {
    if (stream == nullptr || ephemeris == nullptr) {
        return 0;
    }
    // The same text as the format "GpsEph { Prn: %d\n\tEl1: %d %ld %.8e %ld
    // %ld\n\tEl2: ...", put together piece by piece: an ephemeris block is
    // written for every ephemeris of a day's log, and reading the format
    // for each of its thirty values cost more than formatting them.
    const GpsEphRecord &e = *ephemeris;
    TextBlock block;
    BeginTextBlock(&block);
    AppendLiteral(&block, "GpsEph { Prn: ");
    AppendInteger(&block, e.prn);
    AppendLiteral(&block, "\n\tEl1: ");
    AppendInteger(&block, e.week);
    AppendSeparated(&block, long{e.fixed9999});
    AppendSeparated(&block, e.tgd, kShort);
    AppendSeparated(&block, long{e.iodc});
    AppendSeparated(&block, long{e.toc});
    AppendLiteral(&block, "\n\tEl2: ");
    AppendExponent(&block, e.af2, kShort);
    AppendSeparated(&block, e.af1, kShort);
    AppendSeparated(&block, e.af0, kShort);
    AppendLiteral(&block, "\n\tEl3: ");
    AppendInteger(&block, long{e.iode});
    AppendSeparated(&block, e.crs, kShort);
    AppendSeparated(&block, e.deltaN, kShort);
    AppendSeparated(&block, e.m0, kLong);
    AppendLiteral(&block, "\n\tEl4: ");
    AppendExponent(&block, e.cuc, kShort);
    AppendSeparated(&block, e.e, kLong);
    AppendSeparated(&block, e.cus, kShort);
    AppendSeparated(&block, e.sqrtA, kLong);
    AppendLiteral(&block, "\n\tEl5: ");
    AppendInteger(&block, long{e.toe});
    AppendSeparated(&block, e.cic, kShort);
    AppendSeparated(&block, e.omega0, kLong);
    AppendSeparated(&block, e.cis, kShort);
    AppendLiteral(&block, "\n\tEl6: ");
    AppendExponent(&block, e.i0, kLong);
    AppendSeparated(&block, e.crc, kShort);
    AppendSeparated(&block, e.omega, kLong);
    AppendSeparated(&block, e.omegaDot, kShort);
    AppendSeparated(&block, e.idot, kShort);
    AppendLiteral(&block, "\n}\n");
    return WriteTextBlock(stream, path, &block);
}

int32_t WriteEppAlmanac(std::FILE *stream, const char *path, const AlmanacRecord *almanac) {
    if (stream == nullptr || almanac == nullptr || almanac->satSystem != kGpsSystem) {
        return 0;
    }
    const AlmanacRecord &a = *almanac;
    TextBlock block;
    BeginTextBlock(&block);
    AppendFormat(&block,
                 "GpsAlm { Prn: %d\n\tTim: %ld %d %d\n\tOmg: %.8le %.8le %.8le\n\tEll: %.8le %.8le\n"
                 "\tMdi: %.8le %.8le\n\tClk: %.8le %.8le\n\tHlt: %d %d\n}\n",
                 a.prn, long{a.toa}, a.week, a.timeCode, a.omega, a.omega0, a.omegaDot, a.sqrtA, a.e, a.m0, a.deltaI,
                 a.af0, a.af1, a.health, a.healthCode);
    return WriteTextBlock(stream, path, &block);
}
