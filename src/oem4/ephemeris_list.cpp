// Placeholder until the ephemeris list lands.
#include "oem4/ephemeris_list.h"

int32_t EphemerisListCount = 0;
int32_t AddEphemeris(const GpsEphRecord &) { return 0; }
const GpsEphRecord *FindGpsEphemeris(int32_t, int32_t) { return nullptr; }
const GpsEphRecord *FindGlonassEphemeris(int32_t, int32_t) { return nullptr; }
void ClearEphemerisList() { EphemerisListCount = 0; }
