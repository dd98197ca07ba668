// ALMANAC decoder: one almanac record per listed satellite, in the parameter
// set that the ephemeris file expects (square root of the semi-major axis,
// inclination as an offset from 0.3 semicircles, whole-second toa).
#include <cmath>
#include <cstring>
#include <limits>

#include "common/le.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"
#include "threadbuf/payloads.h"

namespace {

inline constexpr size_t kItemsAt = kAlmanacFixedLength;

// Item fields.
inline constexpr size_t kPrnAt = 0;
inline constexpr size_t kWeekAt = 4;
inline constexpr size_t kToaAt = 8;
inline constexpr size_t kEccentricityAt = 16;
inline constexpr size_t kOmegaDotAt = 24;
inline constexpr size_t kOmega0At = 32;
inline constexpr size_t kOmegaAt = 40;
inline constexpr size_t kM0At = 48;
inline constexpr size_t kAf0At = 56;
inline constexpr size_t kAf1At = 64;
inline constexpr size_t kSemiMajorAxisAt = 80;
inline constexpr size_t kInclinationAt = 88;
inline constexpr size_t kHealthAt = 104;

// Reference inclination of the GPS almanac, 0.3 semicircles.
inline constexpr double kReferenceInclination = 0.942477796076938;
inline constexpr int32_t kTimeCodeGpsWeek = 2;
inline constexpr int32_t kHealthCode = 2;

// Truncation toward zero that stays defined for any logged value: a NaN
// gives 0 and values beyond the 32-bit range saturate.
int32_t TruncateSeconds(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

} // namespace

int32_t DecodeAlmanac(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    // The framing has checked that the item count matches the record length.
    const uint32_t items = le::U4(body);
    const uint32_t converted = items < kMaxAlmanacs ? items : kMaxAlmanacs;
    if (converted == 0) return RK_NONE;
    if (items > kMaxAlmanacs) {
        PortReportf(dec, HeaderTime(dec), "ALMANAC record lists %u satellites, only the first %u are converted",
                    static_cast<unsigned>(items), static_cast<unsigned>(kMaxAlmanacs));
    }

    for (uint32_t i = 0; i < converted; ++i) {
        const uint8_t *item = body + kItemsAt + i * kAlmanacItemLength;
        AlmanacRecord alm;
        std::memset(&alm, 0, sizeof alm);
        alm.prn = le::I4(item + kPrnAt);
        alm.satSystem = 0;
        alm.toa = TruncateSeconds(le::R8(item + kToaAt));
        alm.e = le::R8(item + kEccentricityAt);
        alm.deltaI = le::R8(item + kInclinationAt) - kReferenceInclination;
        alm.omegaDot = le::R8(item + kOmegaDotAt);
        alm.sqrtA = std::sqrt(le::R8(item + kSemiMajorAxisAt));
        alm.omega0 = le::R8(item + kOmega0At);
        alm.omega = le::R8(item + kOmegaAt);
        alm.m0 = le::R8(item + kM0At);
        alm.af0 = le::R8(item + kAf0At);
        alm.af1 = le::R8(item + kAf1At);
        alm.timeCode = kTimeCodeGpsWeek;
        alm.week = le::I4(item + kWeekAt);
        alm.healthCode = kHealthCode;
        alm.health = le::I4(item + kHealthAt);
        le::Store(dec->almanacs.data() + i * kAlmanacRecordSize, alm);
    }

    const int32_t put = PutThreadBufData(buf, dec->almanacs.data(), static_cast<int32_t>(converted), TBREC_ALMANAC);
    if (put != TB_OK) {
        PortReportPutFailure(dec, HeaderTime(dec), put);
        return RK_NONE;
    }
    return RK_ALMANAC;
}
