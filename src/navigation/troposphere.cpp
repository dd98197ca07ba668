// Tropospheric slant delay: a fixed standard atmosphere for the zenith
// delays and Niell-form mapping functions with a fixed seasonal factor, so
// that no date enters the model.
#include "navigation/troposphere.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "common/physics.h"
#include "navigation/coordinates.h"

namespace {

constexpr double kReferencePressure = 1013.25;  // hPa
constexpr double kReferenceTemperature = 293.0; // K
constexpr double kLapseRate = 6.5;              // K per km
constexpr double kPressureExponent = 5.255876;
constexpr double kZenithDelayFactor = 0.0022768; // m per hPa
constexpr double kGravityLatitudeTerm = 0.00266; // times cos 2*latitude
constexpr double kGravityHeightTerm = 2.8e-7;    // per metre
constexpr double kRelativeHumidity = 0.6;
constexpr double kWetDelayK = 1255.0; // K
constexpr double kWetDelayConstant = 0.05;
constexpr double kSaturationPressure = 6.11; // hPa
constexpr double kFreezingPoint = 273.15;    // K
constexpr double kSaturationExponent = -5.3;
constexpr double kSaturationFactor = 25.2;
constexpr double kHeightCorrection[3] = {2.53e-5, 5.49e-3, 1.14e-3};
// Weight of the hydrostatic amplitude; fixed in place of the day-of-year
// term so that the model needs no date.
constexpr double kSeasonalFactor = 0.5;

constexpr int kRows = 5;
constexpr double kRowLatitudes[kRows] = {15.0, 30.0, 45.0, 60.0, 75.0};

// Coefficients (a1, a2, a3) by latitude row, one table per mapping
// function, in the order of the MAPPING_* table codes.
constexpr double kTables[3][kRows][3] = {
    {// hydrostatic, average
     {0.0012769934, 0.0029153695, 0.062610505},
     {0.001268323, 0.0029152299, 0.062837393},
     {0.0012465397, 0.0029288445, 0.063721774},
     {0.0012196049, 0.0029022565, 0.063824265},
     {0.0012045996, 0.0029024912, 0.064258455}},
    {// hydrostatic, amplitude
     {0.0, 0.0, 0.0},
     {1.2709626e-05, 2.1414979e-05, 9.01284e-05},
     {2.6523662e-05, 3.0160779e-05, 4.3497037e-05},
     {3.4000452e-05, 7.2562722e-05, 0.00084795348},
     {4.1202191e-05, 0.00011723375, 0.0017037206}},
    {// wet
     {0.00058021897, 0.0014275268, 0.043472961},
     {0.00056794847, 0.0015138625, 0.04672951},
     {0.00058118019, 0.0014572752, 0.043908931},
     {0.00059727542, 0.0015007428, 0.044626982},
     {0.00061641693, 0.0017599082, 0.054736038}},
};

} // namespace

void StandardAtmosphere(double height, double *pressure, double *temperature) {
    const double km = height / 1000.0;
    *temperature = kReferenceTemperature - kLapseRate * km;
    *pressure = kReferencePressure * std::pow(1.0 - kLapseRate * km / kReferenceTemperature, kPressureExponent);
}

namespace {

// The mapping function from the sine of the elevation: the slant delay
// takes three of them at one elevation.
double MappingFromSine(double s, double a1, double a2, double a3) {
    return (1.0 + a1 / (1.0 + a2 / (1.0 + a3))) / (s + a1 / (s + a2 / (s + a3)));
}

} // namespace

double MappingFunction(double elevation, double a1, double a2, double a3) {
    return MappingFromSine(std::sin(elevation), a1, a2, a3);
}

void LookupMappingCoefficients(int32_t table, double latitude, double coefficients[3]) {
    if (table < 0 || table > 2) table = MAPPING_HYDROSTATIC_AVERAGE;
    const double(*rows)[3] = kTables[table];
    // Whole degrees, truncated toward zero and signed as the latitude.
    const double l = std::trunc(latitude * kDegreesPerRadian);
    int row = -1; // -1: clamp to the first row, kRows - 1: the last
    if (l >= kRowLatitudes[kRows - 1]) {
        row = kRows - 1;
    } else if (l > kRowLatitudes[0]) { // false for NaN too: first row
        for (int i = 0; i + 1 < kRows; ++i) {
            if (kRowLatitudes[i] < l && l <= kRowLatitudes[i + 1]) {
                const double w = (l - kRowLatitudes[i]) / (kRowLatitudes[i + 1] - kRowLatitudes[i]);
                for (int c = 0; c < 3; ++c) coefficients[c] = rows[i][c] + w * (rows[i + 1][c] - rows[i][c]);
                return;
            }
        }
    }
    if (row < 0) row = 0;
    for (int c = 0; c < 3; ++c) coefficients[c] = rows[row][c];
}

namespace {

// The terms of the delay that depend on the station alone, into t.
void ComputeStationTerms(double latitude, double height, KeptStationTerms &t) {
    double pressure = 0.0, temperature = 0.0;
    StandardAtmosphere(height, &pressure, &temperature);
    const double d = 1.0 - kGravityLatitudeTerm * std::cos(2.0 * latitude) - kGravityHeightTerm * height;
    t.zhd = kZenithDelayFactor * pressure / d;

    double average[3], amplitude[3];
    LookupMappingCoefficients(MAPPING_HYDROSTATIC_AVERAGE, latitude, average);
    LookupMappingCoefficients(MAPPING_HYDROSTATIC_AMPLITUDE, latitude, amplitude);
    for (int c = 0; c < 3; ++c) t.hydro[c] = average[c] - kSeasonalFactor * amplitude[c];

    const double es = kSaturationPressure * std::pow(temperature / kFreezingPoint, kSaturationExponent) *
                      std::exp(kSaturationFactor * (temperature - kFreezingPoint) / temperature);
    t.zwd = kZenithDelayFactor * (kWetDelayK / temperature + kWetDelayConstant) * kRelativeHumidity * es / d;
    LookupMappingCoefficients(MAPPING_WET, latitude, t.wet);

    t.latitudeBits = std::bit_cast<uint64_t>(latitude);
    t.heightBits = std::bit_cast<uint64_t>(height);
    t.valid = true;
}

// Every satellite of an epoch (and of the following epochs, until the fix
// moves) has the same station terms: with kept, the last station's are
// kept, under the exact bits of latitude and height. Without, they are
// computed into scratch.
const KeptStationTerms &TermsForStation(KeptStationTerms *kept, double latitude, double height,
                                        KeptStationTerms *scratch) {
    if (kept == nullptr) {
        ComputeStationTerms(latitude, height, *scratch);
        return *scratch;
    }
    if (!(kept->valid && kept->latitudeBits == std::bit_cast<uint64_t>(latitude) &&
          kept->heightBits == std::bit_cast<uint64_t>(height))) {
        ComputeStationTerms(latitude, height, *kept);
    }
    return *kept;
}

// TroposphericDelay, keeping what depends on the station alone in kept
// when given.
int32_t Delay(KeptStation *kept, SatState *sat, const double station[3], double latitude, double longitude,
              double height, double *delay) {
    KeptStationTerms scratch;
    const KeptStationTerms &terms =
        TermsForStation(kept != nullptr ? &kept->terms : nullptr, latitude, height, &scratch);
    const double zhd = terms.zhd;
    const double zwd = terms.zwd;
    const double *hydro = terms.hydro;
    const double *wet = terms.wet;

    SatState receiver = {};
    receiver.x = station[0];
    receiver.y = station[1];
    receiver.z = station[2];
    // SatelliteElevation writes nothing without a station; the NaN then
    // marks "no elevation" instead of an uninitialised value.
    double elevation = NAN;
    if (kept != nullptr) {
        SatelliteElevation(&kept->trig, sat, &receiver, latitude, longitude, &elevation);
    } else {
        SatelliteElevation(sat, &receiver, latitude, longitude, &elevation);
    }
    // The mapping functions are meaningless at or below the horizon (1/sin e
    // is infinite at 0): such a satellite gets no delay rather than an
    // infinite or NaN one.
    if (!(elevation > 0.0) || !std::isfinite(elevation)) {
        *delay = 0.0;
        return 1;
    }

    const double sinE = std::sin(elevation);
    const double mh =
        MappingFromSine(sinE, hydro[0], hydro[1], hydro[2]) +
        (1.0 / sinE - MappingFromSine(sinE, kHeightCorrection[0], kHeightCorrection[1], kHeightCorrection[2])) *
            height / 1000.0;

    const double mw = MappingFromSine(sinE, wet[0], wet[1], wet[2]);

    *delay = zhd * mh + zwd * mw;
    if (!std::isfinite(*delay)) {
        *delay = 0.0;
        return 1;
    }
    return 0;
}

// CorrectTroposphere, keeping the station's answers in kept when given.
void Correct(KeptStation *kept, SatState *sat, double *pseudorange, double latitude, double longitude, double height) {
    if (latitude == 0.0 || longitude == 0.0) return;
    // Written so that a NaN latitude, longitude or height is also turned away.
    if (!std::isfinite(latitude) || !std::isfinite(longitude)) return;
    if (!(height >= kTropoMinHeight && height <= kTropoMaxHeight)) return;
    double station[3];
    if (kept != nullptr) {
        GeodeticToEcef(&kept->position, latitude, longitude, height, &station[0], &station[1], &station[2]);
    } else {
        GeodeticToEcef(latitude, longitude, height, &station[0], &station[1], &station[2]);
    }
    double delay = 0.0;
    if (Delay(kept, sat, station, latitude, longitude, height, &delay) != 0) return;
    *pseudorange -= delay;
}

} // namespace

int32_t TroposphericDelay(SatState *sat, const double station[3], double latitude, double longitude, double height,
                          double *delay) {
    return Delay(nullptr, sat, station, latitude, longitude, height, delay);
}

void CorrectTroposphere(SatState *sat, double *pseudorange, double latitude, double longitude, double height) {
    Correct(nullptr, sat, pseudorange, latitude, longitude, height);
}

void CorrectTroposphere(KeptStation *kept, SatState *sat, double *pseudorange, double latitude, double longitude,
                        double height) {
    Correct(kept, sat, pseudorange, latitude, longitude, height);
}
