// VERSION (37) and IONUTC (8): what the receiver says about itself and about
// GPS time, kept in the port for the headers of the RINEX files.
#include <cstring>

#include "common/le.h"
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
    IonUtcParameters &p = dec->ionUtc;
    for (size_t i = 0; i < 4; ++i) {
        p.alpha[i] = le::R8(body + kAlphaAt + 8 * i);
        p.beta[i] = le::R8(body + kBetaAt + 8 * i);
    }
    p.utcWeek = le::U4(body + kUtcWeekAt);
    p.utcReferenceTime = le::U4(body + kUtcTotAt);
    p.utcA0 = le::R8(body + kUtcA0At);
    p.utcA1 = le::R8(body + kUtcA1At);
    p.leapWeek = le::U4(body + kLeapWeekAt);
    p.leapDay = le::U4(body + kLeapDayAt);
    p.leapSeconds = le::I4(body + kLeapSecondsAt);
    p.futureLeapSeconds = le::I4(body + kFutureLeapSecondsAt);
    p.valid = 1;
    return RK_NONE;
}
