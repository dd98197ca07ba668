// Fuzz target: the receiver clock recomputation on fuzzed epochs,
// measurements and ephemerides. Inputs are taken as raw record bytes, so
// NaN, infinity, zero, denormal and huge values all occur.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/le.h"
#include "ephemeris/ephemeris_list.h"
#include "navigation/receiver_clock.h"
#include "threadbuf/payloads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Layout: mode byte, ephemeris count byte, three doubles (a priori
    // position), the epoch, then ephemerides, then measurements.
    constexpr size_t kHead = 2 + 3 * sizeof(double) + sizeof(EpochRecord);
    if (size < kHead) return 0;
    const int32_t mode = data[0] % 5; // 0 and 4 are invalid modes
    size_t ephemerides = data[1] % 40;
    const double lat = le::R8(data + 2);
    const double lon = le::R8(data + 10);
    const double height = le::R8(data + 18);
    EpochRecord epoch = le::Load<EpochRecord>(data + 26);
    size_t at = kHead;

    ClearEphemerisList();
    for (; ephemerides > 0 && at + sizeof(GpsEphRecord) <= size; --ephemerides) {
        AddEphemeris(le::Load<GpsEphRecord>(data + at));
        at += sizeof(GpsEphRecord);
    }
    static MeasRecord meas[256];
    size_t count = 0;
    while (count < 256 && at + sizeof(MeasRecord) <= size) {
        meas[count++] = le::Load<MeasRecord>(data + at);
        at += sizeof(MeasRecord);
    }
    epoch.satCount = static_cast<uint8_t>(count);

    // Kept across inputs, as a conversion keeps it across epochs.
    static SolverState solver{};
    double clockOffset = 0.0;
    const int32_t result = RecomputeReceiverClock(&solver, &epoch, meas, mode, lat, lon, height, &clockOffset);
    if (result != 0 && result != 1) std::abort();
    // A success must never hand back a non-finite clock.
    if (result == 0 && !std::isfinite(clockOffset)) std::abort();
    ClearEphemerisList();
    return 0;
}
