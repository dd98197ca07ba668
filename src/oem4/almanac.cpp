// ALMANAC decoder: one almanac record per listed satellite, in the parameter
// set that the ephemeris file expects (square root of the semi-major axis,
// inclination as an offset from 0.3 semicircles, whole-second toa).
#include <cmath>
#include <cstring>

#include "common/gnss_time.h"
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

// Whether an item holds values a broadcast almanac can give: all finite, a
// semi-major axis with a square root, an eccentricity of an ellipse and a
// reference time within the week. Any other would reach the ephemeris file
// as "nan" or "inf", or as a made-up orbit.
bool Plausible(const uint8_t *item) {
    const size_t fields[] = {kToaAt, kEccentricityAt, kOmegaDotAt, kOmega0At,        kOmegaAt,
                             kM0At,  kAf0At,          kAf1At,      kSemiMajorAxisAt, kInclinationAt};
    for (size_t at : fields) {
        if (!std::isfinite(le::R8(item + at))) return false;
    }
    const double toa = le::R8(item + kToaAt);
    const double e = le::R8(item + kEccentricityAt);
    return le::R8(item + kSemiMajorAxisAt) >= 0.0 && e >= 0.0 && e < 1.0 && toa >= 0.0 && toa < kSecondsPerWeek;
}

} // namespace

int32_t DecodeAlmanac(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    // The framing has checked that the item count matches the record length.
    const uint32_t items = le::U4(body);
    const uint32_t listed = items < kMaxAlmanacs ? items : kMaxAlmanacs;
    if (listed == 0) return RK_NONE;
    if (items > kMaxAlmanacs) {
        PortReportf(dec, HeaderTime(dec), "ALMANAC record lists %u satellites, only the first %u are converted",
                    static_cast<unsigned>(items), static_cast<unsigned>(kMaxAlmanacs));
    }

    // An implausible item is told and left out; the others of the record
    // are still converted.
    uint32_t converted = 0;
    for (uint32_t i = 0; i < listed; ++i) {
        const uint8_t *item = body + kItemsAt + i * kAlmanacItemLength;
        if (!Plausible(item)) {
            PortReportf(dec, HeaderTime(dec), "GPS almanac received for PRN %d with invalid values",
                        static_cast<int>(le::I4(item + kPrnAt)));
            continue;
        }
        AlmanacRecord alm;
        std::memset(&alm, 0, sizeof alm);
        alm.prn = le::I4(item + kPrnAt);
        alm.satSystem = 0;
        alm.toa = static_cast<int32_t>(le::R8(item + kToaAt)); // truncated toward zero
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
        le::Store(dec->almanacs.data() + converted * kAlmanacRecordSize, alm);
        ++converted;
    }
    if (converted == 0) return RK_NONE;

    const int32_t put = PutThreadBufData(buf, dec->almanacs.data(), static_cast<int32_t>(converted), TBREC_ALMANAC);
    if (put != TB_OK) {
        PortReportPutFailure(dec, HeaderTime(dec), put);
        return RK_NONE;
    }
    return RK_ALMANAC;
}
