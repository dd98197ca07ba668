#include "oem4_encode.h"

#include <cmath>
#include <cstring>

#include "common/le.h"
#include "oem4/crc32.h"

namespace oem4sim {

namespace {

// Fixed header fields that no reader of these logs depends on but that a
// receiver always fills: binary message type, COM1 port address, idle time,
// a software build number.
constexpr uint8_t kMessageTypeBinary = 0x00;
constexpr uint8_t kPortAddressCom1 = 0x20;
constexpr uint8_t kIdleTime = 120;
constexpr uint16_t kSoftwareBuild = 2304;

int64_t RoundToInt64(double v) { return static_cast<int64_t>(std::llround(v)); }

uint64_t ClampUnsigned(double v, unsigned bits) {
    double hi = std::ldexp(1.0, static_cast<int>(bits)) - 1.0;
    if (!(v >= 0.0)) return 0;
    if (v >= hi) return static_cast<uint64_t>(hi);
    return static_cast<uint64_t>(std::llround(v));
}

uint64_t ClampSigned(double v, unsigned bits) {
    double hi = std::ldexp(1.0, static_cast<int>(bits) - 1) - 1.0;
    double lo = -hi - 1.0;
    double q = std::nearbyint(v);
    if (!(q >= lo)) q = lo;
    if (q > hi) q = hi;
    return static_cast<uint64_t>(static_cast<int64_t>(q)) & ((uint64_t{1} << bits) - 1u);
}

// 4-bit standard deviation codes of RANGECMP (upper bounds of each code).
uint64_t SigmaCode(double sigma, const double *bounds, int n) {
    for (int i = 0; i < n; ++i)
        if (sigma <= bounds[i]) return static_cast<uint64_t>(i);
    return static_cast<uint64_t>(n);
}
constexpr double kAdrSigmaBounds[] = {0.003906, 0.007812, 0.011718, 0.015624, 0.019530, 0.023436, 0.027342};
constexpr double kPsrSigmaBounds[] = {0.050, 0.075, 0.113, 0.169, 0.253,  0.380,  0.570, 0.854,
                                      1.281, 2.375, 4.750, 9.500, 19.000, 38.000, 76.000};

} // namespace

size_t FinishRecord(uint8_t *record, const RecordHeader &header, size_t bodyLength) {
    std::memset(record, 0, kOem4HeaderLength);
    std::memcpy(record, kOem4Lead.data(), kOem4Lead.size());
    le::PutU2(record + kHeaderMessageIdAt, header.messageId);
    record[kHeaderMessageTypeAt] = kMessageTypeBinary;
    record[kHeaderPortAddressAt] = kPortAddressCom1;
    le::PutU2(record + kHeaderMessageLengthAt, static_cast<uint16_t>(bodyLength));
    le::PutU2(record + kHeaderSequenceAt, 0);
    record[kHeaderIdleTimeAt] = kIdleTime;
    record[kHeaderTimeStatusAt] = header.timeStatus;
    le::PutU2(record + kHeaderWeekAt, header.week);
    le::PutI4(record + kHeaderMillisecondsAt, header.milliseconds);
    le::PutU4(record + kHeaderReceiverStatusAt, 0); // no errors
    le::PutU2(record + kHeaderReservedAt, 0);
    le::PutU2(record + kHeaderSoftwareBuildAt, kSoftwareBuild);
    size_t total = kOem4HeaderLength + bodyLength + kOem4CrcLength;
    ResealRecord(record, total);
    return total;
}

void ResealRecord(uint8_t *record, size_t totalLength) {
    le::PutU4(record + totalLength - kOem4CrcLength, Oem4Crc32(record, totalLength - kOem4CrcLength));
}

uint32_t EncodeChannelStatus(const ChannelStatus &s) {
    constexpr uint32_t kTrackingPhaseLockLoop = 4;
    constexpr uint32_t kCorrelatorStandard = 1;
    constexpr uint32_t kCodeCa = 0, kCodePCodeless = 2;
    uint32_t w = kTrackingPhaseLockLoop;
    w |= (s.channel & 31u) << 5;
    w |= (s.phaseLock ? 1u : 0u) << 10;
    w |= (s.parityKnown ? 1u : 0u) << 11;
    w |= (s.codeLocked ? 1u : 0u) << 12;
    w |= kCorrelatorStandard << 13;
    // bits 16-18 satellite system: 0 = GPS
    w |= (s.grouped ? 1u : 0u) << 20;
    w |= (s.l2 ? 1u : 0u) << 21;
    w |= (s.l2 ? kCodePCodeless : kCodeCa) << 23;
    w |= (s.l2 ? 0u : 1u) << 27; // primary L1 channel
    return w;
}

uint32_t EncodeSignalStatus(uint32_t channel, uint32_t system, uint32_t signal, bool primaryL1) {
    constexpr uint32_t kTrackingPhaseLockLoop = 4;
    constexpr uint32_t kCorrelatorStandard = 1;
    uint32_t w = kTrackingPhaseLockLoop;
    w |= (channel & 31u) << 5;
    w |= 7u << 10; // phase lock, parity known, code locked
    w |= kCorrelatorStandard << 13;
    w |= (system & 7u) << 16;
    w |= 1u << 20; // grouped
    w |= (signal & 31u) << 21;
    w |= (primaryL1 ? 1u : 0u) << 27;
    return w;
}

void EncodeRangeItem(uint8_t *item, const RangeObservation &o) {
    le::PutU2(item + 0, o.prn);
    le::PutU2(item + 2, o.glonassFrequency);
    le::PutR8(item + 4, o.pseudorange);
    le::PutR4(item + 12, o.pseudorangeSigma);
    le::PutR8(item + 16, o.adr);
    le::PutR4(item + 24, o.adrSigma);
    le::PutR4(item + 28, o.doppler);
    le::PutR4(item + 32, o.cno);
    le::PutR4(item + 36, o.lockTime);
    le::PutU4(item + 40, o.status);
}

void PutBits(uint8_t *p, unsigned start, unsigned width, uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        unsigned bit = start + i;
        uint8_t m = static_cast<uint8_t>(1u << (bit & 7u));
        if ((value >> i) & 1u)
            p[bit >> 3] |= m;
        else
            p[bit >> 3] &= static_cast<uint8_t>(~m);
    }
}

uint64_t GetBits(const uint8_t *p, unsigned start, unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) {
        unsigned bit = start + i;
        v |= static_cast<uint64_t>((p[bit >> 3] >> (bit & 7u)) & 1u) << i;
    }
    return v;
}

void EncodeRangecmpItem(uint8_t *item, const RangeObservation &o) {
    std::memset(item, 0, kCompressedObsSize);
    PutBits(item, 0, 32, o.status);
    PutBits(item, 32, 28, ClampSigned(static_cast<double>(o.doppler) * 256.0, 28));
    PutBits(item, 60, 36, ClampUnsigned(o.pseudorange * 128.0, 36));
    // The phase keeps only its low 32 bits in 1/256 cycle; a reader rebuilds
    // the lost multiples of 2^23 cycles from the pseudorange.
    PutBits(item, 96, 32, static_cast<uint64_t>(RoundToInt64(o.adr * 256.0)) & 0xFFFFFFFFu);
    PutBits(item, 128, 4, SigmaCode(o.adrSigma, kAdrSigmaBounds, 7));
    PutBits(item, 132, 4, SigmaCode(o.pseudorangeSigma, kPsrSigmaBounds, 15));
    PutBits(item, 136, 8, o.prn & 0xFFu);
    PutBits(item, 144, 21, ClampUnsigned(static_cast<double>(o.lockTime) * 32.0, 21));
    double cno = std::nearbyint(static_cast<double>(o.cno)) - 20.0;
    PutBits(item, 165, 5, ClampUnsigned(cno, 5));
    PutBits(item, 170, 6, o.glonassFrequency & 0x3Fu);
}

void EncodeBestpos(uint8_t *body, const BestposBody &b) {
    std::memset(body, 0, kBestposLength);
    le::PutU4(body + 0, b.solutionStatus);
    le::PutU4(body + 4, b.positionType);
    le::PutR8(body + 8, b.latitude);
    le::PutR8(body + 16, b.longitude);
    le::PutR8(body + 24, b.heightMsl);
    le::PutR4(body + 32, b.undulation);
    le::PutU4(body + 36, 61); // datum: WGS84
    le::PutR4(body + 40, b.latSigma);
    le::PutR4(body + 44, b.lonSigma);
    le::PutR4(body + 48, b.heightSigma);
    std::memcpy(body + 52, "0\0\0\0", 4); // base station id
    le::PutR4(body + 56, b.differentialAge);
    le::PutR4(body + 60, b.solutionAge);
    body[64] = b.satellitesTracked;
    body[65] = b.satellitesUsed;
    body[66] = b.satellitesUsed; // L1 used
    body[67] = 0;                // L2 used in the solution
}

void EncodeClockModel(uint8_t *body, const ClockModelBody &c) {
    le::PutR8(body + 0, c.offset);
    le::PutR8(body + 8, c.offsetSigma);
    le::PutR8(body + 16, c.drift);
    le::PutU4(body + 24, c.status);
}

void EncodeMarktime(uint8_t *body, const MarktimeBody &m) {
    le::PutU4(body + 0, m.week);
    le::PutR8(body + 4, m.seconds);
    le::PutR8(body + 12, m.clockOffset);
    le::PutR8(body + 20, m.offsetSigma);
    le::PutR8(body + 28, m.utcOffset);
    le::PutU4(body + 36, m.status);
}

void EncodeRawephem(uint8_t *body, const BroadcastEphemeris &eph, uint32_t refWeek, uint32_t refSeconds,
                    uint32_t towCount) {
    le::PutU4(body + 0, static_cast<uint32_t>(eph.prn));
    le::PutU4(body + 4, refWeek);
    le::PutU4(body + 8, refSeconds);
    Subframe sf[3];
    EncodeEphemerisSubframes(eph, towCount, sf);
    for (int s = 0; s < 3; ++s) RawSubframeBytes(sf[s], body + 12 + 30 * s);
}

void EncodeGpsephem(uint8_t *body, const BroadcastEphemeris &eph, double towSeconds) {
    const EphemerisValues v = PhysicalValues(eph);
    const double a = v.sqrtA * v.sqrtA;
    std::memset(body, 0, kGpsephemLength);
    le::PutU4(body + 0, static_cast<uint32_t>(eph.prn));
    le::PutR8(body + 4, towSeconds);
    le::PutU4(body + 12, eph.health);
    le::PutU4(body + 16, eph.iode);
    le::PutU4(body + 20, eph.iode);
    le::PutU4(body + 24, eph.weekFull);
    le::PutU4(body + 28, eph.weekFull);
    le::PutR8(body + 32, v.toe);
    le::PutR8(body + 40, a);
    le::PutR8(body + 48, v.deltaN);
    le::PutR8(body + 56, v.m0);
    le::PutR8(body + 64, v.e);
    le::PutR8(body + 72, v.omega);
    le::PutR8(body + 80, v.cuc);
    le::PutR8(body + 88, v.cus);
    le::PutR8(body + 96, v.crc);
    le::PutR8(body + 104, v.crs);
    le::PutR8(body + 112, v.cic);
    le::PutR8(body + 120, v.cis);
    le::PutR8(body + 128, v.i0);
    le::PutR8(body + 136, v.idot);
    le::PutR8(body + 144, v.omega0);
    le::PutR8(body + 152, v.omegaDot);
    le::PutU4(body + 160, eph.iodc);
    le::PutR8(body + 164, v.toc);
    le::PutR8(body + 172, v.tgd);
    le::PutR8(body + 180, v.af0);
    le::PutR8(body + 188, v.af1);
    le::PutR8(body + 196, v.af2);
    le::PutU4(body + 204, 1);                                          // anti-spoofing on
    le::PutR8(body + 208, std::sqrt(kGpsMu / (a * a * a)) + v.deltaN); // corrected mean motion
    le::PutR8(body + 216, 4.0);                                        // URA variance, index 0 (2 m)
}

void EncodeBestxyz(uint8_t *body, const BestxyzBody &b) {
    std::memset(body, 0, kBestxyzLength);
    le::PutU4(body + 0, b.solutionStatus);
    le::PutU4(body + 4, b.positionType);
    for (int k = 0; k < 3; ++k) {
        le::PutR8(body + 8 + 8 * k, b.position[k]);
        le::PutR4(body + 32 + 4 * k, b.positionSigma[k]);
        le::PutR8(body + 52 + 8 * k, b.velocity[k]);
        le::PutR4(body + 76 + 4 * k, b.velocitySigma[k]);
    }
    le::PutU4(body + 44, 0);              // velocity solution computed
    le::PutU4(body + 48, 8);              // Doppler velocity
    std::memcpy(body + 88, "0\0\0\0", 4); // base station id
    le::PutR4(body + 92, 0.15f);          // velocity latency
    le::PutR4(body + 100, b.solutionAge);
    body[104] = b.satellitesTracked;
    body[105] = b.satellitesUsed;
    body[106] = b.satellitesUsed; // L1 used
}

void EncodeAlmanacItem(uint8_t *item, const AlmanacItem &a) {
    le::PutU4(item + 0, a.prn);
    le::PutU4(item + 4, a.week);
    le::PutR8(item + 8, a.toa);
    le::PutR8(item + 16, a.e);
    le::PutR8(item + 24, a.omegaDot);
    le::PutR8(item + 32, a.omega0);
    le::PutR8(item + 40, a.omega);
    le::PutR8(item + 48, a.m0);
    le::PutR8(item + 56, a.af0);
    le::PutR8(item + 64, a.af1);
    le::PutR8(item + 72, a.meanMotion);
    le::PutR8(item + 80, a.semiMajorAxis);
    le::PutR8(item + 88, a.inclination);
    le::PutU4(item + 96, a.svConfig);
    le::PutU4(item + 100, a.healthPrn);
    le::PutU4(item + 104, a.healthAlm);
    le::PutU4(item + 108, a.antiSpoofing);
}

} // namespace oem4sim
