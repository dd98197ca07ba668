// Writer of the EPP ephemeris text file: one GpsEph block per broadcast
// ephemeris and one GpsAlm block per GPS almanac, in arrival order.
//
// Values are laid out field by field in the order of the broadcast
// subframes. Exponent-form values go through the three-digit exponent
// helper so the file reads the same whichever runtime wrote it.
#include "output/text_outputs.h"

#include "output/text_output.h"

namespace {

constexpr int kShort = 8;  // "%.8e"
constexpr int kLong = 14;  // "%.14le"
constexpr int32_t kGpsSystem = 0;

} // namespace

int32_t WriteEppIdentification(std::FILE *stream, const char *path) {
    if (stream == nullptr) {
        return 0;
    }
    TextBlock block;
    BeginTextBlock(&block);
    AppendText(&block, kEppIdentificationLine);
    return WriteTextBlock(stream, path, &block);
}

int32_t WriteEppEphemeris(std::FILE *stream, const char *path, const GpsEphRecord *ephemeris) {
    if (stream == nullptr || ephemeris == nullptr) {
        return 0;
    }
    const GpsEphRecord &e = *ephemeris;
    TextBlock block;
    BeginTextBlock(&block);
    // Subframe 1: clock data.
    AppendText(&block, "GpsEph { Prn: ");
    AppendInteger(&block, e.prn);
    AppendText(&block, "\n\tEl1: ");
    AppendInteger(&block, e.week);
    AppendText(&block, " ");
    AppendInteger(&block, e.fixed9999);
    AppendText(&block, " ");
    AppendExponent(&block, e.tgd, kShort);
    AppendText(&block, " ");
    AppendInteger(&block, e.iodc);
    AppendText(&block, " ");
    AppendInteger(&block, e.toc);
    AppendText(&block, "\n\tEl2: ");
    AppendExponent(&block, e.af2, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.af1, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.af0, kShort);
    // Subframe 2.
    AppendText(&block, "\n\tEl3: ");
    AppendInteger(&block, e.iode);
    AppendText(&block, " ");
    AppendExponent(&block, e.crs, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.deltaN, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.m0, kLong);
    AppendText(&block, "\n\tEl4: ");
    AppendExponent(&block, e.cuc, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.e, kLong);
    AppendText(&block, " ");
    AppendExponent(&block, e.cus, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.sqrtA, kLong);
    AppendText(&block, "\n\tEl5: ");
    AppendInteger(&block, e.toe);
    // Subframe 3.
    AppendText(&block, " ");
    AppendExponent(&block, e.cic, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.omega0, kLong);
    AppendText(&block, " ");
    AppendExponent(&block, e.cis, kShort);
    AppendText(&block, "\n\tEl6: ");
    AppendExponent(&block, e.i0, kLong);
    AppendText(&block, " ");
    AppendExponent(&block, e.crc, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.omega, kLong);
    AppendText(&block, " ");
    AppendExponent(&block, e.omegaDot, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, e.idot, kShort);
    AppendText(&block, "\n}\n");
    return WriteTextBlock(stream, path, &block);
}

int32_t WriteEppAlmanac(std::FILE *stream, const char *path, const AlmanacRecord *almanac) {
    if (stream == nullptr || almanac == nullptr || almanac->satSystem != kGpsSystem) {
        return 0;
    }
    const AlmanacRecord &a = *almanac;
    TextBlock block;
    BeginTextBlock(&block);
    AppendText(&block, "GpsAlm { Prn: ");
    AppendInteger(&block, a.prn);
    AppendText(&block, "\n\tTim: ");
    AppendInteger(&block, a.toa);
    AppendText(&block, " ");
    AppendInteger(&block, a.week);
    AppendText(&block, " ");
    AppendInteger(&block, a.timeCode);
    AppendText(&block, "\n\tOmg: ");
    AppendExponent(&block, a.omega, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, a.omega0, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, a.omegaDot, kShort);
    AppendText(&block, "\n\tEll: ");
    AppendExponent(&block, a.sqrtA, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, a.e, kShort);
    AppendText(&block, "\n\tMdi: ");
    AppendExponent(&block, a.m0, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, a.deltaI, kShort);
    AppendText(&block, "\n\tClk: ");
    AppendExponent(&block, a.af0, kShort);
    AppendText(&block, " ");
    AppendExponent(&block, a.af1, kShort);
    AppendText(&block, "\n\tHlt: ");
    AppendInteger(&block, a.health);
    AppendText(&block, " ");
    AppendInteger(&block, a.healthCode);
    AppendText(&block, "\n}\n");
    return WriteTextBlock(stream, path, &block);
}
