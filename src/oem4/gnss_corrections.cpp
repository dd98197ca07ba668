// Decoders of the ionosphere and time-system parameters of Galileo
// (GALIONO, GALCLOCK), BeiDou (BDSIONO, BDSCLOCK) and QZSS (QZSSIONUTC).
// Like IONUTC they only keep their content in the port, for the header of
// the RINEX navigation file, and produce no record. A record holding a value
// the header cannot carry is dropped with a message; the previous one of its
// kind stays in force.
#include <cmath>

#include "common/broadcast_ephemeris.h"
#include "common/gnss_time.h"
#include "common/le.h"
#include "oem4/correction_checks.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"

namespace {

// GALIONO
constexpr size_t kGalIonoAt = 0; // ai0, ai1, ai2
// GALCLOCK
constexpr size_t kGalUtcA0At = 0;
constexpr size_t kGalUtcA1At = 8;
constexpr size_t kGalUtcTotAt = 20;
constexpr size_t kGalUtcWeekAt = 24; // 8 bits
constexpr size_t kGgtoA0At = 40;
constexpr size_t kGgtoA1At = 48;
constexpr size_t kGgtoTimeAt = 56;
constexpr size_t kGgtoWeekAt = 60; // 6 bits
// BDSIONO: the transmitting satellite, then alpha0-3 and beta0-3.
constexpr size_t kBdsIonoAt = 4;
// BDSCLOCK
constexpr size_t kBdsUtcA0At = 0;
constexpr size_t kBdsUtcA1At = 8;
// QZSSIONUTC, laid out as IONUTC.
constexpr size_t kQzsAlphaAt = 0;
constexpr size_t kQzsBetaAt = 32;
constexpr size_t kQzsUtcWeekAt = 64;
constexpr size_t kQzsUtcTotAt = 68;
constexpr size_t kQzsUtcA0At = 72;
constexpr size_t kQzsUtcA1At = 80;

constexpr uint32_t kUtcWeekPeriod = 256;
constexpr uint32_t kGgtoWeekPeriod = 64;

// The continuous week of a week broadcast modulo `period`: the one nearest
// the week of the record that carried it.
int32_t FullWeek(int32_t now, uint32_t truncated, uint32_t period) {
    const int32_t p = static_cast<int32_t>(period);
    int32_t week = now - (((now - static_cast<int32_t>(truncated)) % p) + p) % p;
    if (now - week > p / 2 || week < 0) week += p;
    return week;
}

} // namespace

int32_t DecodeGaliono(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    double ai[3];
    for (size_t i = 0; i < 3; ++i) ai[i] = le::R8(body + kGalIonoAt + 8 * i);
    if (!AllFit(ai, 3)) {
        DropCorrectionRecord(dec, "GALIONO");
        return RK_NONE;
    }
    NavCorrections &c = dec->corrections;
    for (size_t i = 0; i < 3; ++i) c.galileoIono[i] = ai[i];
    c.galileoIonoValid = 1;
    return RK_NONE;
}

int32_t DecodeGalclock(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    const int32_t week = HeaderWeek(dec);
    TimeSystemCorrection utc{1, le::R8(body + kGalUtcA0At), le::R8(body + kGalUtcA1At), 0, 0};
    TimeSystemCorrection ggto{1, le::R8(body + kGgtoA0At), le::R8(body + kGgtoA1At), 0, 0};
    const uint32_t utcTime = le::U4(body + kGalUtcTotAt);
    const uint32_t utcWeek = le::U4(body + kGalUtcWeekAt);
    const uint32_t ggtoTime = le::U4(body + kGgtoTimeAt);
    const uint32_t ggtoWeek = le::U4(body + kGgtoWeekAt);
    const double values[] = {utc.a0, utc.a1, ggto.a0, ggto.a1};
    // Logged before the receiver knew the week, the truncated weeks have
    // nothing to be made continuous with.
    if (!AllFit(values, 4) || utcTime >= kSecondsPerWeek || ggtoTime >= kSecondsPerWeek || utcWeek >= kUtcWeekPeriod ||
        ggtoWeek >= kGgtoWeekPeriod || IsUnsetWeek(week)) {
        DropCorrectionRecord(dec, "GALCLOCK");
        return RK_NONE;
    }
    // The Galileo week counts as the GPS week does; the record gives it
    // modulo 256 (UTC) and 64 (GPS-Galileo offset).
    utc.referenceTime = static_cast<int32_t>(utcTime);
    utc.referenceWeek = FullWeek(week, utcWeek, kUtcWeekPeriod);
    ggto.referenceTime = static_cast<int32_t>(ggtoTime);
    ggto.referenceWeek = FullWeek(week, ggtoWeek, kGgtoWeekPeriod);
    dec->corrections.galileoUtc = utc;
    dec->corrections.gpsGalileo = ggto;
    return RK_NONE;
}

int32_t DecodeBdsiono(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    if (!ReadKlobuchar(body + kBdsIonoAt, body + kBdsIonoAt + 32, &dec->corrections.beidouIono))
        DropCorrectionRecord(dec, "BDSIONO");
    return RK_NONE;
}

int32_t DecodeBdsclock(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    // BeiDou broadcasts no reference time for its UTC offset: the
    // polynomial runs from the start of the current BDT week, the week of
    // the record (in a GPS week's first 14 s still the BDT week before).
    const int32_t bdtWeek =
        static_cast<int32_t>(HeaderWeek(dec)) - kBdtWeekOffset - (HeaderTime(dec) < kBdtSecondsBehindGps ? 1 : 0);
    TimeSystemCorrection utc{1, le::R8(body + kBdsUtcA0At), le::R8(body + kBdsUtcA1At), 0, bdtWeek};
    const double values[] = {utc.a0, utc.a1};
    if (!AllFit(values, 2) || utc.referenceWeek < 0) {
        DropCorrectionRecord(dec, "BDSCLOCK");
        return RK_NONE;
    }
    dec->corrections.beidouUtc = utc;
    return RK_NONE;
}

int32_t DecodeQzssionutc(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    KlobucharParameters iono{};
    TimeSystemCorrection utc{1, le::R8(body + kQzsUtcA0At), le::R8(body + kQzsUtcA1At), 0, 0};
    const uint32_t time = le::U4(body + kQzsUtcTotAt);
    const uint32_t week = le::U4(body + kQzsUtcWeekAt);
    const double values[] = {utc.a0, utc.a1};
    const bool truncated = week < kUtcWeekPeriod;
    if (!ReadKlobuchar(body + kQzsAlphaAt, body + kQzsBetaAt, &iono) || !AllFit(values, 2) || time >= kSecondsPerWeek ||
        week > 0xFFFFu || (truncated && IsUnsetWeek(HeaderWeek(dec)))) {
        DropCorrectionRecord(dec, "QZSSIONUTC");
        return RK_NONE;
    }
    utc.referenceTime = static_cast<int32_t>(time);
    // A week of 8 bits, as broadcast, is made continuous.
    utc.referenceWeek = truncated ? FullWeek(HeaderWeek(dec), week, kUtcWeekPeriod) : static_cast<int32_t>(week);
    dec->corrections.qzssIono = iono;
    dec->corrections.qzssUtc = utc;
    return RK_NONE;
}
