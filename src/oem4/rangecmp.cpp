// RANGECMP: 24-byte bit-packed observations, expanded to 44-byte RANGE
// observations. The compressed accumulated Doppler range keeps only its low
// 32 bits (1/256 cycle), so it rolls over every 2^23 cycles; the whole
// rollover count is restored from the pseudorange.
#include "oem4/rangecmp.h"

#include <array>
#include <cmath>
#include <cstring>

#include "common/le.h"

namespace {

constexpr double kL1Wavelength = 0.190293672798;     // metres
constexpr double kL2Wavelength = 0.2442102134245682; // metres
constexpr double kAdrRollover = 8388608.0;           // 2^23 cycles
constexpr uint32_t kDroppedPrn = 64;                 // and above: SBAS etc.

// Bit fields of a compressed observation: first bit, width.
constexpr unsigned kDopplerBit = 32, kDopplerWidth = 28;
constexpr unsigned kPseudorangeBit = 60, kPseudorangeWidth = 36;
constexpr size_t kAdrByte = 12;
constexpr size_t kPrnByte = 17;
constexpr unsigned kLockTimeBit = 144, kLockTimeWidth = 21;
constexpr unsigned kCnoBit = 165, kCnoWidth = 5;

const char *const kMaxchanText = "MAXCHAN(%d) exceeded, data may be lost on Port %d";

// Shared by all ports; rebuilt for every RANGECMP record.
std::array<uint8_t, kExpandedRangeSize> g_expanded;

// Unsigned bit field of a little-endian bit string (width below 57).
uint64_t BitField(const uint8_t *p, unsigned first, unsigned width) {
    const unsigned shift = first % 8;
    const unsigned bytes = (shift + width + 7) / 8;
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[first / 8 + i]) << (8 * i);
    return (v >> shift) & ((uint64_t{1} << width) - 1);
}

int64_t SignExtend(uint64_t v, unsigned width) {
    const uint64_t sign = uint64_t{1} << (width - 1);
    return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
}

void ExpandObservation(const uint8_t *in, uint8_t *out) {
    const uint32_t prn = in[kPrnByte];
    if (prn >= kDroppedPrn) return; // stays all zero: PRN 0, never counted
    const uint32_t status = le::U4(in);
    const double doppler = static_cast<double>(SignExtend(BitField(in, kDopplerBit, kDopplerWidth), kDopplerWidth)) / 256.0;
    const double pseudorange = static_cast<double>(BitField(in, kPseudorangeBit, kPseudorangeWidth)) / 128.0;
    const double adr = le::I4(in + kAdrByte) / 256.0;
    const double lockTime = static_cast<double>(BitField(in, kLockTimeBit, kLockTimeWidth)) / 32.0;
    const double cno = 20.0 + static_cast<double>(BitField(in, kCnoBit, kCnoWidth));

    le::PutU2(out + kObsPrnAt, static_cast<uint16_t>(prn));
    le::PutR8(out + kObsPseudorangeAt, pseudorange);
    le::PutR8(out + kObsPhaseAt, RebuildCarrierPhase(adr, pseudorange, status));
    le::PutR4(out + kObsDopplerAt, static_cast<float>(doppler));
    le::PutR4(out + kObsCnoAt, static_cast<float>(cno));
    le::PutR4(out + kObsLockTimeAt, static_cast<float>(lockTime));
    le::PutU4(out + kObsStatusAt, status);
}

} // namespace

double RebuildCarrierPhase(double compressedAdr, double pseudorange, uint32_t status) {
    const double lambda = ObsFrequency(status) == kFrequencyL2 ? kL2Wavelength : kL1Wavelength;
    const double a = -compressedAdr; // phase with the sign of the pseudorange
    const double d = (pseudorange / lambda - a) / kAdrRollover;
    double k = std::trunc(std::fabs(d) + 0.5);
    if (d < 0.0) k = -k;
    return -(k * kAdrRollover + a);
}

const uint8_t *ExpandRangecmp(const Oem4Decoder *dec) {
    g_expanded.fill(0);
    std::memcpy(g_expanded.data(), dec->record.data(), kOem4HeaderLength);
    const uint8_t *body = RecordBody(dec);
    uint32_t count = le::U4(body);
    if (count > MAXCHAN) {
        PortReportf(dec, HeaderTime(dec), kMaxchanText, static_cast<int>(MAXCHAN), dec->port);
        count = MAXCHAN;
    }
    uint8_t *out = g_expanded.data() + kOem4HeaderLength;
    le::PutU4(out, count);
    for (uint32_t i = 0; i < count; ++i) {
        ExpandObservation(body + 4 + i * kCompressedObsSize, out + 4 + i * kRangeObsSize);
    }
    return g_expanded.data();
}
