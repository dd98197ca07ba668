// What the decoders of the ionosphere and time-system parameters (IONUTC,
// and the other systems' GALIONO, GALCLOCK, BDSIONO, BDSCLOCK, QZSSIONUTC)
// take from a record: only values the header lines of the RINEX files can
// carry. A record holding any other is dropped with a message, and the
// previous one of its kind stays in force. The GLONASS ephemeris decoder
// shares the bound on leap seconds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/broadcast_ephemeris.h"
#include "common/le.h"
#include "oem4/oem4_decoder.h"

// GPS time has been ahead of UTC by 18 s since 2017; a count of leap
// seconds past this is not one a receiver can have decoded.
inline constexpr int32_t kMostLeapSeconds = 100;

inline bool AllFit(const double *v, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!FitsNavigationField(v[i])) return false;
    }
    return true;
}

// Klobuchar alpha0-3 and beta0-3 from their two runs of f64; false, with
// *out unchanged, when one of them does not fit.
inline bool ReadKlobuchar(const uint8_t *alpha, const uint8_t *beta, KlobucharParameters *out) {
    KlobucharParameters k{};
    for (size_t i = 0; i < 4; ++i) {
        k.alpha[i] = le::R8(alpha + 8 * i);
        k.beta[i] = le::R8(beta + 8 * i);
    }
    if (!AllFit(k.alpha, 4) || !AllFit(k.beta, 4)) return false;
    k.valid = 1;
    *out = k;
    return true;
}

// The message of a record dropped for its values, `name` the record's.
inline void DropCorrectionRecord(const Oem4Decoder *dec, const char *name) {
    PortReportf(dec, HeaderTime(dec), "%s record with invalid values dropped", name);
}
