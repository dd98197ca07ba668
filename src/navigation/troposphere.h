// Slant tropospheric delay: standard-atmosphere zenith delays mapped to the
// satellite's elevation with mapping functions of the Niell (1996) form.
// Latitude and longitude in radians, heights and delays in metres.
#pragma once

#include <cstdint>

#include "common/sat_state.h"
#include "navigation/coordinates.h"

// Station heights outside this range get no correction.
inline constexpr double kTropoMinHeight = -1000.0;
inline constexpr double kTropoMaxHeight = 30000.0;

// Coefficient tables of the mapping functions.
inline constexpr int32_t MAPPING_HYDROSTATIC_AVERAGE = 0;
inline constexpr int32_t MAPPING_HYDROSTATIC_AMPLITUDE = 1;
inline constexpr int32_t MAPPING_WET = 2;

// Pressure (hPa) and temperature (K) of the standard atmosphere at height.
void StandardAtmosphere(double height, double *pressure, double *temperature);

// Continued-fraction mapping function m(e; a1, a2, a3), normalised to 1 at
// the zenith.
double MappingFunction(double elevation, double a1, double a2, double a3);

// The table's (a1, a2, a3) for a latitude: the latitude in whole degrees
// (truncated toward zero, signed), clamped to the 15 and 75 degree rows and
// interpolated linearly between them.
void LookupMappingCoefficients(int32_t table, double latitude, double coefficients[3]);

// The terms of the delay that depend on the station alone (zenith delays,
// mapping coefficients), kept under the exact bits of its latitude and
// height. Zero-initialised: nothing kept.
struct KeptStationTerms {
    bool valid;
    uint64_t latitudeBits, heightBits;
    double zhd, zwd, hydro[3], wet[3];
};
// What a caller that corrects satellite after satellite from one station
// keeps of it between calls: its position, the sines and cosines of its
// latitude and longitude, and its terms. A kept answer is always the one
// the same inputs give again.
struct KeptStation {
    KeptEcef position;
    KeptStationTrig trig;
    KeptStationTerms terms;
};

// Slant delay of sat seen from the station (ECEF position plus its
// geodetic coordinates); stores the elevation in sat. Returns 0;
// returns 1 with delay 0 when no elevation above the horizon is known.
int32_t TroposphericDelay(SatState *sat, const double station[3], double latitude, double longitude, double height,
                          double *delay);

// Subtracts the slant delay from the pseudorange; does nothing when the
// latitude or the longitude is exactly 0 (no station known), the height is
// outside kTropoMinHeight..kTropoMaxHeight, or no delay can be computed.
void CorrectTroposphere(SatState *sat, double *pseudorange, double latitude, double longitude, double height);
// The same, keeping the station's answers in kept between calls.
void CorrectTroposphere(KeptStation *kept, SatState *sat, double *pseudorange, double latitude, double longitude,
                        double height);
