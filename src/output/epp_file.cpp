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
    const GpsEphRecord &e = *ephemeris;
    TextBlock block;
    BeginTextBlock(&block);
    AppendFormat(&block, "GpsEph { Prn: %d\n\tEl1: %d %ld %.8e %ld %ld\n", e.prn, e.week, long{e.fixed9999}, e.tgd,
                 long{e.iodc}, long{e.toc});
    AppendFormat(&block, "\tEl2: %.8e %.8e %.8e\n", e.af2, e.af1, e.af0);
    AppendFormat(&block, "\tEl3: %ld %.8e %.8e %.14le\n", long{e.iode}, e.crs, e.deltaN, e.m0);
    AppendFormat(&block, "\tEl4: %.8e %.14le %.8e %.14le\n", e.cuc, e.e, e.cus, e.sqrtA);
    AppendFormat(&block, "\tEl5: %ld %.8e %.14le %.8e\n", long{e.toe}, e.cic, e.omega0, e.cis);
    AppendFormat(&block, "\tEl6: %.14le %.8e %.14le %.8e %.8e\n}\n", e.i0, e.crc, e.omega, e.omegaDot, e.idot);
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
