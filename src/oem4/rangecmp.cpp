// RANGECMP: 24-byte bit-packed observations. The compressed accumulated
// Doppler range keeps only its low 32 bits (1/256 cycle), so it rolls over
// every 2^23 cycles; the whole rollover count is restored from the
// pseudorange.
#include "oem4/rangecmp.h"

#include <array>
#include <cmath>
#include <cstring>

#include "common/le.h"
#include "common/physics.h"
#include "oem4/range.h"
#include "oem4/rangecmp_fields.h"
#include "oem4/signals.h"

namespace {

constexpr double kAdrRollover = 8388608.0; // 2^23 cycles

// The wavelength the rollover count is restored with, by system and signal
// type. The GPS L1 and L2 frequencies keep the constants the rebuild has
// always used, so their phases stay what they were to the last bit; a
// signal type the system does not define falls back on the frequency bits
// (0 in the table); GLONASS FDMA signals depend on the channel (-1).
double TableWavelength(uint32_t system, uint32_t signal) {
    if (system == SYS_GLONASS && (signal == 0 || signal == 1 || signal == 5)) return -1.0;
    const double f = SignalFrequency(system, signal, 0);
    if (f == kFreqL1) return kLegacyL1Wavelength;
    if (f == kFreqL2) return kLegacyL2Wavelength;
    return f != 0.0 ? kSpeedOfLight / f : 0.0;
}

} // namespace

namespace rangecmp_detail {

WavelengthTable::WavelengthTable() {
    for (uint32_t k = 0; k < kSystemCount * 32; ++k) {
        at[k] = TableWavelength(k / 32, k % 32);
        inverse[k] = at[k] > 0.0 ? 1.0 / at[k] : 0.0;
    }
}
const WavelengthTable g_wavelengths;

} // namespace rangecmp_detail

double RebuildCarrierPhaseWith(double compressedAdr, double pseudorange, double wavelength) {
    const double a = -compressedAdr; // phase with the sign of the pseudorange
    const double d = (pseudorange / wavelength - a) / kAdrRollover;
    double k = std::trunc(std::fabs(d) + 0.5);
    if (d < 0.0) k = -k;
    return -(k * kAdrRollover + a);
}

double RebuildCarrierPhase(double compressedAdr, double pseudorange, uint32_t status) {
    return RebuildCarrierPhaseWith(compressedAdr, pseudorange,
                                   ObsFrequency(status) == kFrequencyL2 ? kLegacyL2Wavelength : kLegacyL1Wavelength);
}

static_assert(kOem4HeaderLength + 4 + size_t{kMaxDecodedObservations} * kCompressedObsSize <= kLongRecordBufferSize);

void DecodeRangecmpObservations(Oem4Decoder *dec) {
    const uint8_t *body = RecordBody(dec);
    DecodedEpoch &e = dec->decoded;
    // The framing has matched the count to the record's length; a record
    // collected for the RINEX export alone can hold more than the epoch's
    // room, which bounds every read within the record buffer too.
    const uint32_t count = le::U4(body);
    const uint32_t n = count < kMaxDecodedObservations ? count : kMaxDecodedObservations;
    const uint8_t *in = body + 4;
    if (dec->epochHandler != nullptr) {
        for (uint32_t i = 0; i < n; ++i)
            DecodeCompressedObservation<true>(in + static_cast<size_t>(i) * kCompressedObsSize, &e.obs[i]);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            DecodeCompressedObservation<false>(in + static_cast<size_t>(i) * kCompressedObsSize, &e.obs[i]);
        }
    }
    e.count = n;
    e.dropped = count - n;
}
