// VERSION (37) and IONUTC (8): what the receiver says about itself and about
// GPS time, kept in the port for the headers of the RINEX files. An IONUTC
// holding a value those headers cannot carry is dropped with a message, as
// the other systems' correction records are; the previous one stays.
#include <cstring>

#include "common/broadcast_ephemeris.h"
#include "common/gnss_time.h"
#include "common/le.h"
#include "oem4/correction_checks.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"

namespace {

// VERSION: a count, then one 108-byte entry per component.
inline constexpr size_t kVersionCountAt = 0;
inline constexpr size_t kVersionEntriesAt = 4;
inline constexpr size_t kVersionEntrySize = kVersionItemLength;
inline constexpr size_t kComponentTypeAt = 0;
inline constexpr size_t kModelAt = 4;
inline constexpr size_t kSerialAt = 20;
inline constexpr size_t kHardwareAt = 36;
inline constexpr size_t kSoftwareAt = 52;
inline constexpr size_t kVersionTextSize = 16;
inline constexpr uint32_t kComponentReceiverCard = 1; // GPSCARD

// IONUTC body fields.
inline constexpr size_t kAlphaAt = 0;
inline constexpr size_t kBetaAt = 32;
inline constexpr size_t kUtcWeekAt = 64;
inline constexpr size_t kUtcTotAt = 68;
inline constexpr size_t kUtcA0At = 72;
inline constexpr size_t kUtcA1At = 80;
inline constexpr size_t kLeapWeekAt = 88;
inline constexpr size_t kLeapDayAt = 92;
inline constexpr size_t kLeapSecondsAt = 96;
inline constexpr size_t kFutureLeapSecondsAt = 100;
inline constexpr uint32_t kLastWeek = 0xFFFF;
inline constexpr uint32_t kLastDayNumber = 7; // DN, the day of the week of the leap second

// GPS time minus UTC, now or after the announced leap second.
bool IsLeapSecondCount(int32_t seconds) { return seconds >= 0 && seconds <= kMostLeapSeconds; }

// A fixed text field of the record: up to its NUL, never past the field.
void CopyText(char *destination, const uint8_t *field) {
    size_t n = 0;
    while (n < kVersionTextSize && field[n] != 0) ++n;
    std::memcpy(destination, field, n);
    destination[n] = '\0';
}

} // namespace

int32_t DecodeVersion(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    // The framing has checked the count against the record length.
    const uint32_t count = le::U4(body + kVersionCountAt);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *entry = body + kVersionEntriesAt + static_cast<size_t>(i) * kVersionEntrySize;
        if (le::U4(entry + kComponentTypeAt) != kComponentReceiverCard) continue;
        ReceiverVersion &v = dec->receiverVersion;
        CopyText(v.model, entry + kModelAt);
        CopyText(v.serial, entry + kSerialAt);
        CopyText(v.hardware, entry + kHardwareAt);
        CopyText(v.software, entry + kSoftwareAt);
        v.valid = 1;
        break;
    }
    return RK_NONE;
}

int32_t DecodeIonutc(int32_t port, ThreadBuf *) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return RK_NONE;
    const uint8_t *body = RecordBody(dec);
    KlobucharParameters iono{};
    const double utc[] = {le::R8(body + kUtcA0At), le::R8(body + kUtcA1At)};
    const uint32_t utcWeek = le::U4(body + kUtcWeekAt);
    const uint32_t utcTime = le::U4(body + kUtcTotAt);
    const uint32_t leapWeek = le::U4(body + kLeapWeekAt);
    const uint32_t leapDay = le::U4(body + kLeapDayAt);
    const int32_t leapSeconds = le::I4(body + kLeapSecondsAt);
    const int32_t futureLeapSeconds = le::I4(body + kFutureLeapSecondsAt);
    if (!ReadKlobuchar(body + kAlphaAt, body + kBetaAt, &iono) || !AllFit(utc, 2) || utcTime >= kSecondsPerWeek ||
        utcWeek > kLastWeek || leapWeek > kLastWeek || leapDay > kLastDayNumber || !IsLeapSecondCount(leapSeconds) ||
        !IsLeapSecondCount(futureLeapSeconds)) {
        DropCorrectionRecord(dec, "IONUTC");
        return RK_NONE;
    }
    IonUtcParameters &p = dec->ionUtc;
    for (size_t i = 0; i < 4; ++i) {
        p.alpha[i] = iono.alpha[i];
        p.beta[i] = iono.beta[i];
    }
    p.utcWeek = utcWeek;
    p.utcReferenceTime = utcTime;
    p.utcA0 = utc[0];
    p.utcA1 = utc[1];
    p.leapWeek = leapWeek;
    p.leapDay = leapDay;
    p.leapSeconds = leapSeconds;
    p.futureLeapSeconds = futureLeapSeconds;
    p.valid = 1;
    return RK_NONE;
}
