// What the RANGECMP2 and RANGECMP4 decoders share: signal frequencies and
// the start and filling of the port's decoded epoch.
#include "oem4/packed_ranges.h"

#include "common/le.h"
#include "oem4/signals.h"

namespace {

constexpr double kF1575 = 1575.42e6;  // GPS L1, Galileo E1, BeiDou B1C, QZSS L1
constexpr double kF1227 = 1227.60e6;  // GPS and QZSS L2
constexpr double kF1176 = 1176.45e6;  // L5, E5a, B2a
constexpr double kF1207 = 1207.14e6;  // E5b, B2I, B2b
constexpr double kF1191 = 1191.795e6; // E5 AltBOC
constexpr double kF1278 = 1278.75e6;  // E6, QZSS L6
constexpr double kF1561 = 1561.098e6; // BeiDou B1I
constexpr double kF1268 = 1268.52e6;  // BeiDou B3I
constexpr double kGlonassL1 = 1602.0e6, kGlonassL1Step = 0.5625e6;
constexpr double kGlonassL2 = 1246.0e6, kGlonassL2Step = 0.4375e6;
constexpr double kGlonassL3 = 1202.025e6;

} // namespace

double SignalFrequency(SatelliteSystem system, uint32_t signal, int glonassChannel) {
    switch (system) {
    case SYS_GPS:
        switch (signal) {
        case 0:
        case 16: return kF1575;
        case 5:
        case 9:
        case 17: return kF1227;
        case 14: return kF1176;
        default: return 0.0;
        }
    case SYS_GLONASS:
        switch (signal) {
        case 0: return kGlonassL1 + glonassChannel * kGlonassL1Step;
        case 1:
        case 5: return kGlonassL2 + glonassChannel * kGlonassL2Step;
        case 6: return kGlonassL3;
        default: return 0.0;
        }
    case SYS_SBAS: return signal == 0 ? kF1575 : signal == 6 ? kF1176 : 0.0;
    case SYS_GALILEO:
        switch (signal) {
        case 2: return kF1575;
        case 6:
        case 7: return kF1278;
        case 12: return kF1176;
        case 17: return kF1207;
        case 20: return kF1191;
        default: return 0.0;
        }
    case SYS_BEIDOU:
        switch (signal) {
        case 0:
        case 4: return kF1561;
        case 1:
        case 5:
        case 11: return kF1207;
        case 2:
        case 6: return kF1268;
        case 7: return kF1575;
        case 9: return kF1176;
        default: return 0.0;
        }
    case SYS_QZSS:
        switch (signal) {
        case 0:
        case 16: return kF1575;
        case 17: return kF1227;
        case 14: return kF1176;
        case 27:
        case 28: return kF1278;
        default: return 0.0;
        }
    case SYS_NAVIC: return signal == 0 ? kF1176 : 0.0;
    default: return 0.0;
    }
}

bool BeginPackedEpoch(Oem4Decoder *dec) {
    DecodedEpoch &e = dec->decoded;
    const double time = HeaderTime(dec);
    const uint16_t week = HeaderWeek(dec);
    if (e.count > 0 && e.time == time && e.week == week) return false;
    e.time = time;
    e.week = week;
    e.timeStatus = HeaderTimeStatus(dec);
    e.messageId = le::U2(dec->record.data() + kHeaderMessageIdAt);
    e.count = 0;
    e.dropped = 0;
    return true;
}

void AddPackedObservation(Oem4Decoder *dec, const DecodedObservation &obs) {
    DecodedEpoch &e = dec->decoded;
    if (e.count < kMaxDecodedObservations) {
        e.obs[e.count++] = obs;
    } else {
        ++e.dropped;
    }
}

int32_t EmitPackedEpoch(Oem4Decoder *dec, ThreadBuf *buf) {
    // The observation file's adapter of the decoded epoch is not in yet: the
    // epoch stays decoded in the port.
    (void)dec;
    (void)buf;
    return RK_NONE;
}
