// BESTPOS, BESTXYZ, PROPAGATEDCLOCKMODEL and MARKTIME decoders.
//
// BESTPOS and the clock model leave their latest values in the port so that
// the range decoder can attach them to the next epoch of the same time;
// BESTPOS also hands out a position record, MARKTIME a camera mark record.
// BESTXYZ, the same solution in Earth-centred coordinates, does what BESTPOS
// does for logs that hold no BESTPOS.
#include <bit>
#include <cmath>
#include <cstring>

#include "common/gnss_time.h"
#include "common/lasting_state.h"
#include "common/le.h"
#include "common/physics.h"
#include "navigation/coordinates.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"
#include "threadbuf/payloads.h"

namespace {

// BESTPOS body fields.
inline constexpr size_t kBestposStatusAt = 0;
inline constexpr size_t kBestposTypeAt = 4;
inline constexpr size_t kBestposLatitudeAt = 8;
inline constexpr size_t kBestposLongitudeAt = 16;
inline constexpr size_t kBestposHeightAt = 24;
inline constexpr size_t kBestposUndulationAt = 32;
inline constexpr size_t kBestposLatSigmaAt = 40;
inline constexpr size_t kBestposLonSigmaAt = 44;
inline constexpr size_t kBestposHeightSigmaAt = 48;
inline constexpr size_t kBestposAgeAt = 60;

// BESTXYZ body fields (velocity and the rest are not read).
inline constexpr size_t kBestxyzStatusAt = 0;
inline constexpr size_t kBestxyzTypeAt = 4;
inline constexpr size_t kBestxyzXAt = 8;
inline constexpr size_t kBestxyzYAt = 16;
inline constexpr size_t kBestxyzZAt = 24;
inline constexpr size_t kBestxyzXSigmaAt = 32;
inline constexpr size_t kBestxyzYSigmaAt = 36;
inline constexpr size_t kBestxyzZSigmaAt = 40;
inline constexpr size_t kBestxyzAgeAt = 100;

// The geodetic form of a BESTXYZ position is rounded to a binary grid of
// about 0.1 mm (2^-30 degree, 2^-13 m), the resolution the receiver prints
// its coordinates with. Without it, builds whose floating point differs in
// the last bits (the 32-bit Windows library computes in 80-bit registers)
// would write different epochs for the same log; steps of a power of two
// keep the rounding itself exact.
inline constexpr double kAngleSteps = 1073741824.0;      // per degree
inline constexpr double kHeightSteps = 8192.0;           // per metre
inline constexpr double kWholeFrom = 4503599627370496.0; // 2^52

// PROPAGATEDCLOCKMODEL body fields.
inline constexpr size_t kClockOffsetAt = 0;
inline constexpr size_t kClockDriftAt = 16;
inline constexpr size_t kClockStatusAt = 24;

// MARKTIME body fields.
inline constexpr size_t kMarkWeekAt = 0;
inline constexpr size_t kMarkSecondsAt = 4;
inline constexpr size_t kMarkClockOffsetAt = 12;

inline constexpr uint32_t kPositionOrigin = 3;
inline constexpr uint32_t kMarkOrigin = 2;

// Whether a solution can be a receiver's: a latitude and longitude on the
// globe, a height between 100 km below the ellipsoid (the deepest place is
// not 1 km below it) and 10 000 km above it. The receiver marks its own
// solutions computed, but a damaged record (a good CRC over bad values)
// would otherwise give the epochs, the RINEX header's position and the
// report a position under the Earth's centre.
bool OnEarthOrAbove(double latitude, double longitude, double height) {
    return std::fabs(latitude) <= 90.0 && std::fabs(longitude) <= 180.0 && height >= -1e5 && height <= 1e7;
}

// The second antenna's solution (a log named with "_1", measurement source
// 1) is not the position of the first antenna's epochs, and no file takes
// it: its range records are kept apart likewise.
bool OtherAntennasPosition(const Oem4Decoder *dec) { return IsSecondAntennaRecord(dec->record.data()); }

// Makes a decoded solution the port's last position and hands out its
// position record.
int32_t KeepPosition(Oem4Decoder *dec, const PositionRecord &pos, ThreadBuf *buf) {
    uint8_t *staging = dec->staging.data();
    le::Store(staging, pos);

    // Kept before the put: the next epoch uses the position even when its
    // record could not be stored.
    dec->lastPosition.valid = 1.0;
    dec->lastPosition.time = pos.time;
    dec->lastPosition.week = static_cast<int32_t>(pos.week);
    dec->lastPosition.latitude = pos.latitude;
    dec->lastPosition.longitude = pos.longitude;
    dec->lastPosition.height = pos.height;

    const int32_t put = PutThreadBufData(buf, staging, 1, TBREC_POSITION);
    if (put != TB_OK) {
        PortReportPutFailure(dec, pos.time, put);
        return RK_NONE;
    }
    return RK_POSITION;
}

GeodeticPosition ConvertBestxyz(double x, double y, double z) {
    GeodeticPosition g{};
    double latitude = 0.0, longitude = 0.0, height = 0.0;
    g.valid =
        EcefToGeodeticSettled(x, y, z, kWgs84A, kWgs84B, &latitude, &longitude, &height, &g.sinLat, &g.cosLat) == 0 &&
        std::isfinite(height);
    if (!g.valid) return g;
    g.sinLon = std::sin(longitude);
    g.cosLon = std::cos(longitude);
    g.latitude = OnPositionGrid(latitude * kDegreesPerRadian, kAngleSteps);
    g.longitude = OnPositionGrid(longitude * kDegreesPerRadian, kAngleSteps);
    g.height = OnPositionGrid(height, kHeightSteps);
    return g;
}

// The bits of a double as they lie in the record (no trip through a
// floating-point register, which could quieten a NaN).
uint64_t DoubleBits(const uint8_t *p) {
    uint64_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return bits;
}

const GeodeticPosition &BestxyzGeodetic(Oem4Decoder *dec, const uint8_t *body) {
    const uint64_t xBits = DoubleBits(body + kBestxyzXAt);
    const uint64_t yBits = DoubleBits(body + kBestxyzYAt);
    const uint64_t zBits = DoubleBits(body + kBestxyzZAt);
    KeptGeodetic &k = dec->keptGeodetic;
    if (!k.kept || k.xBits != xBits || k.yBits != yBits || k.zBits != zBits) {
        k.position =
            ConvertBestxyz(std::bit_cast<double>(xBits), std::bit_cast<double>(yBits), std::bit_cast<double>(zBits));
        k.xBits = xBits;
        k.yBits = yBits;
        k.zBits = zBits;
        k.kept = true;
    }
    return k.position;
}

} // namespace

double OnPositionGrid(double value, double stepsPerUnit) {
    const double v = value * stepsPerUnit;
    // Past 2^52 every double is whole; NaN and infinities go there too.
    if (!(std::fabs(v) < kWholeFrom)) return std::round(v) / stepsPerUnit;
    const double whole = static_cast<double>(static_cast<int64_t>(v)); // towards zero
    const double rest = v - whole;                                     // exact
    double n = whole;
    if (rest >= 0.5) {
        n = whole + 1.0;
    } else if (rest <= -0.5) {
        n = whole - 1.0;
    }
    // -0.3 rounds to -0, as std::round gives it.
    return std::copysign(n, v) / stepsPerUnit;
}

int32_t DecodeBestpos(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr || OtherAntennasPosition(dec)) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    uint8_t *staging = dec->staging.data();
    std::memset(staging, 0, kPositionRecordSize);

    if (le::U4(body + kBestposTypeAt) == 0 || le::U4(body + kBestposStatusAt) != 0) {
        dec->lastPosition.valid = 0.0;
        return RK_POSITION;
    }

    const double latSigma = le::R4(body + kBestposLatSigmaAt);
    const double lonSigma = le::R4(body + kBestposLonSigmaAt);
    PositionRecord pos;
    std::memset(&pos, 0, sizeof pos);
    pos.time = HeaderTime(dec);
    pos.week = HeaderWeek(dec);
    pos.origin = kPositionOrigin;
    pos.latitude = le::R8(body + kBestposLatitudeAt);
    pos.longitude = le::R8(body + kBestposLongitudeAt);
    pos.height = le::R8(body + kBestposHeightAt) + le::R4(body + kBestposUndulationAt);
    pos.horizontalSigma = std::sqrt(latSigma * latSigma + lonSigma * lonSigma);
    pos.heightSigma = le::R4(body + kBestposHeightSigmaAt);
    pos.solutionAge = le::R4(body + kBestposAgeAt);
    if (!OnEarthOrAbove(pos.latitude, pos.longitude, pos.height)) {
        dec->lastPosition.valid = 0.0;
        return RK_POSITION;
    }
    // Only a solution turns BESTXYZ off: a receiver logs BESTPOS without
    // one while it starts (and a log may hold it once, from then), and the
    // BESTXYZ solutions that follow would all be lost without a word.
    dec->bestposSeen = 1;
    return KeepPosition(dec, pos, buf);
}

int32_t DecodeBestxyz(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr || OtherAntennasPosition(dec)) return RK_NONE;
    // BESTPOS is the receiver's geodetic solution as it gives it; a log that
    // holds it keeps it, whatever BESTXYZ records come beside it.
    if (dec->bestposSeen != 0) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    uint8_t *staging = dec->staging.data();
    std::memset(staging, 0, kPositionRecordSize);

    // No solution, as for BESTPOS: the last position no longer holds. A
    // position that has no geodetic equivalent counts as none.
    if (le::U4(body + kBestxyzTypeAt) == 0 || le::U4(body + kBestxyzStatusAt) != 0) {
        dec->lastPosition.valid = 0.0;
        return RK_POSITION;
    }
    const GeodeticPosition &g = BestxyzGeodetic(dec, body);
    if (!g.valid || !OnEarthOrAbove(g.latitude, g.longitude, g.height)) {
        dec->lastPosition.valid = 0.0;
        return RK_POSITION;
    }

    // The receiver gives independent X, Y and Z sigmas; turned to the local
    // east, north and up axes they give the horizontal and height sigmas.
    const double sx = le::R4(body + kBestxyzXSigmaAt);
    const double sy = le::R4(body + kBestxyzYSigmaAt);
    const double sz = le::R4(body + kBestxyzZSigmaAt);
    const double east[3] = {g.sinLon * sx, g.cosLon * sy, 0.0};
    const double north[3] = {g.sinLat * g.cosLon * sx, g.sinLat * g.sinLon * sy, g.cosLat * sz};
    const double up[3] = {g.cosLat * g.cosLon * sx, g.cosLat * g.sinLon * sy, g.sinLat * sz};
    auto variance = [](const double(&v)[3]) { return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]; };

    PositionRecord pos;
    std::memset(&pos, 0, sizeof pos);
    pos.time = HeaderTime(dec);
    pos.week = HeaderWeek(dec);
    pos.origin = kPositionOrigin;
    pos.latitude = g.latitude;
    pos.longitude = g.longitude;
    pos.height = g.height;
    pos.horizontalSigma = std::sqrt(variance(east) + variance(north));
    pos.heightSigma = std::sqrt(variance(up));
    pos.solutionAge = le::R4(body + kBestxyzAgeAt);
    return KeepPosition(dec, pos, buf);
}

int32_t DecodeClockModel(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    // Status 0 and 1 are usable models; anything else leaves the last one,
    // as do values no clock has (a damaged record under a good CRC), which
    // would make every epoch's corrected time not a number.
    const double offset = le::R8(body + kClockOffsetAt);
    const double drift = le::R8(body + kClockDriftAt);
    if (le::U4(body + kClockStatusAt) > 1 || !std::isfinite(offset) || !std::isfinite(drift)) return RK_NONE;
    dec->lastClockModel.valid = 1.0;
    dec->lastClockModel.time = HeaderTime(dec);
    dec->lastClockModel.week = HeaderWeek(dec);
    dec->lastClockModel.offset = offset;
    dec->lastClockModel.drift = drift;
    return RK_NONE;
}

int32_t DecodeMarktime(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    uint8_t *staging = dec->staging.data();

    MarkRecord mark;
    std::memset(&mark, 0, sizeof mark);
    // The receiver tags the pulse in its own time; the logged clock offset
    // (receiver minus GPS time) brings it to GPS time.
    mark.time = le::R8(body + kMarkSecondsAt) - le::R8(body + kMarkClockOffsetAt);
    mark.week = le::U4(body + kMarkWeekAt);
    // A pulse within the offset of a week's end lies in the other week: its
    // seconds stay seconds of its own week (the mark file has no week).
    constexpr double kWeek = kSecondsPerWeek;
    if (mark.time < 0.0 && mark.time >= -kWeek && mark.week > 0) {
        mark.time += kWeek;
        --mark.week;
    } else if (mark.time >= kWeek && mark.time < 2.0 * kWeek && mark.week < UINT32_MAX) {
        mark.time -= kWeek;
        ++mark.week;
    }
    mark.origin = kMarkOrigin;
    ++dec->framingStats.markTimes[0];
    // Advanced before the put: a mark that could not be stored still uses
    // up its number, so numbers match the pulses the receiver saw.
    mark.markNumber = NextMarkNumber();
    le::Store(staging, mark);

    const int32_t put = PutThreadBufData(buf, staging, 1, TBREC_MARK);
    if (put != TB_OK) {
        PortReportPutFailure(dec, HeaderTime(dec), put);
        return RK_NONE;
    }
    return RK_MARK;
}

int32_t CountMarkRecord(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    FramingStats &stats = dec->framingStats;
    switch (le::U2(dec->record.data() + kHeaderMessageIdAt)) {
    case kMsgMark2time: ++stats.markTimes[1]; break;
    case kMsgMark3time: ++stats.markTimes[2]; break;
    case kMsgMark4time: ++stats.markTimes[3]; break;
    case kMsgMarkpos: ++stats.markPositions[0]; break;
    case kMsgMark2pos: ++stats.markPositions[1]; break;
    case kMsgMark3pos: ++stats.markPositions[2]; break;
    case kMsgMark4pos: ++stats.markPositions[3]; break;
    case kMsgMark1pva: ++stats.markPvas[0]; break;
    case kMsgMark2pva: ++stats.markPvas[1]; break;
    case kMsgMark3pva: ++stats.markPvas[2]; break;
    case kMsgMark4pva: ++stats.markPvas[3]; break;
    default: break;
    }
    return RK_NONE;
}
