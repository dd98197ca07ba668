#include "gps_nav.h"

#include <cmath>
#include <cstring>

namespace oem4sim {

namespace {

constexpr uint32_t kPreamble = 0x8B;
constexpr uint32_t kMask24 = 0xFFFFFF;

// Data bits (1 = first transmitted) that enter each of the six parity bits,
// and which previous parity bit (29 or 30) is folded in.
struct ParityRule {
    int prevBit;
    int bits[16];
};
constexpr ParityRule kParityRules[6] = {
    {29, {1, 2, 3, 5, 6, 10, 11, 12, 13, 14, 17, 18, 20, 23}},
    {30, {2, 3, 4, 6, 7, 11, 12, 13, 14, 15, 18, 19, 21, 24}},
    {29, {1, 3, 4, 5, 7, 8, 12, 13, 14, 15, 16, 19, 20, 22}},
    {30, {2, 4, 5, 6, 8, 9, 13, 14, 15, 16, 17, 20, 21, 23}},
    {30, {1, 3, 5, 6, 7, 9, 10, 14, 15, 16, 17, 18, 21, 22, 24}},
    {29, {3, 5, 6, 8, 9, 10, 11, 13, 15, 19, 22, 23, 24}},
};

// Field access by the standard's numbering: word 1..10, bit 1..24 within
// the word's data bits, bit 1 transmitted first (the most significant).
void PutField(uint32_t data[10], int word, int startBit, int width, uint32_t value) {
    for (int i = 0; i < width; ++i) {
        uint32_t bit = (value >> (width - 1 - i)) & 1u;
        data[word - 1] |= bit << (24 - (startBit + i));
    }
}
uint32_t GetField(const uint32_t data[10], int word, int startBit, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 1) | ((data[word - 1] >> (24 - (startBit + i))) & 1u);
    return v;
}
uint32_t Mask(int bits) { return bits >= 32 ? 0xFFFFFFFFu : ((1u << bits) - 1u); }
// A 32-bit field split into 8 high bits at the end of one word and 24 low
// bits filling the next.
void PutSplit32(uint32_t data[10], int word, int startBit, uint32_t value) {
    PutField(data, word, startBit, 8, value >> 24);
    PutField(data, word + 1, 1, 24, value & kMask24);
}
uint32_t GetSplit32(const uint32_t data[10], int word, int startBit) {
    return (GetField(data, word, startBit, 8) << 24) | GetField(data, word + 1, 1, 24);
}

void TlmAndHow(uint32_t data[10], uint32_t towCount, uint32_t subframeId) {
    PutField(data, 1, 1, 8, kPreamble);
    PutField(data, 2, 1, 17, towCount % 100800u);
    PutField(data, 2, 20, 3, subframeId);
}

// Adds parity to ten data words. Words 2 and 10 end in two free bits that
// are chosen so that the word's last two parity bits are zero, which lets
// the next word (and the next subframe) start with D29* = D30* = 0.
void Assemble(const uint32_t data[10], Subframe *out) {
    uint32_t p29 = 0, p30 = 0;
    for (int n = 0; n < 10; ++n) {
        uint32_t d = data[n] & kMask24;
        uint32_t word = ParityWord(d, p29, p30);
        if (n == 1 || n == 9) {
            for (uint32_t t = 0; t < 4; ++t) {
                word = ParityWord((d & ~3u) | t, p29, p30);
                if ((word & 3u) == 0) break;
            }
        }
        out->words[n] = word;
        p29 = (word >> 1) & 1u;
        p30 = word & 1u;
    }
}

double SolveKepler(double m, double e) {
    double ecc = m;
    for (int i = 0; i < 30; ++i) {
        double next = ecc - (ecc - e * std::sin(ecc) - m) / (1.0 - e * std::cos(ecc));
        if (std::fabs(next - ecc) < 1e-15) return next;
        ecc = next;
    }
    return ecc;
}

} // namespace

uint32_t ParityWord(uint32_t d, uint32_t prev29, uint32_t prev30) {
    d &= kMask24;
    uint32_t parity = 0;
    for (const ParityRule &rule : kParityRules) {
        uint32_t p = rule.prevBit == 29 ? prev29 : prev30;
        for (int b : rule.bits) {
            if (b == 0) break;
            p ^= (d >> (24 - b)) & 1u;
        }
        parity = (parity << 1) | (p & 1u);
    }
    uint32_t transmitted = prev30 ? (~d & kMask24) : d;
    return (transmitted << 6) | parity;
}

uint32_t SourceData(const Subframe &sf, int n) {
    uint32_t prev30 = n == 0 ? 0 : (sf.words[n - 1] & 1u);
    uint32_t tx = (sf.words[n] >> 6) & kMask24;
    return prev30 ? (~tx & kMask24) : tx;
}

int CheckSubframeParity(const Subframe &sf) {
    uint32_t p29 = 0, p30 = 0;
    for (int n = 0; n < 10; ++n) {
        uint32_t expect = ParityWord(SourceData(sf, n), p29, p30);
        if (expect != (sf.words[n] & 0x3FFFFFFFu)) return n + 1;
        p29 = (sf.words[n] >> 1) & 1u;
        p30 = sf.words[n] & 1u;
    }
    return 0;
}

void RawSubframeBytes(const Subframe &sf, uint8_t out[30]) {
    for (int n = 0; n < 10; ++n) {
        uint32_t d = SourceData(sf, n);
        out[3 * n] = static_cast<uint8_t>(d >> 16);
        out[3 * n + 1] = static_cast<uint8_t>(d >> 8);
        out[3 * n + 2] = static_cast<uint8_t>(d);
    }
}

int32_t SignExtend(uint32_t value, int bits) {
    if (bits >= 32) return static_cast<int32_t>(value);
    uint32_t m = 1u << (bits - 1);
    value &= Mask(bits);
    return static_cast<int32_t>((value ^ m)) - static_cast<int32_t>(m);
}

int32_t QuantizeSigned(double value, double scale, int bits) {
    double q = std::nearbyint(value / scale);
    double lo = -std::ldexp(1.0, bits - 1), hi = std::ldexp(1.0, bits - 1) - 1.0;
    if (!(q >= lo)) q = lo; // also catches NaN
    if (q > hi) q = hi;
    return static_cast<int32_t>(q);
}

uint32_t QuantizeUnsigned(double value, double scale, int bits) {
    double q = std::nearbyint(value / scale);
    double hi = std::ldexp(1.0, bits) - 1.0;
    if (!(q >= 0.0)) q = 0.0;
    if (q > hi) q = hi;
    return static_cast<uint32_t>(q);
}

void EncodeEphemerisSubframes(const BroadcastEphemeris &eph, uint32_t towCount, Subframe out[3]) {
    uint32_t d[3][10];
    std::memset(d, 0, sizeof d);
    for (uint32_t s = 0; s < 3; ++s) TlmAndHow(d[s], towCount + s + 1, s + 1);
    uint32_t *s1 = d[0], *s2 = d[1], *s3 = d[2];
    PutField(s1, 3, 1, 10, eph.week10 & Mask(10));
    PutField(s1, 3, 11, 2, eph.l2Code & 3u);
    PutField(s1, 3, 13, 4, eph.uraIndex & 15u);
    PutField(s1, 3, 17, 6, eph.health & 63u);
    PutField(s1, 3, 23, 2, (eph.iodc >> 8) & 3u);
    PutField(s1, 7, 17, 8, static_cast<uint32_t>(eph.tgd) & Mask(8));
    PutField(s1, 8, 1, 8, eph.iodc & 0xFFu);
    PutField(s1, 8, 9, 16, eph.toc & 0xFFFFu);
    PutField(s1, 9, 1, 8, static_cast<uint32_t>(eph.af2) & Mask(8));
    PutField(s1, 9, 9, 16, static_cast<uint32_t>(eph.af1) & Mask(16));
    PutField(s1, 10, 1, 22, static_cast<uint32_t>(eph.af0) & Mask(22));

    PutField(s2, 3, 1, 8, eph.iode & 0xFFu);
    PutField(s2, 3, 9, 16, static_cast<uint32_t>(eph.crs) & Mask(16));
    PutField(s2, 4, 1, 16, static_cast<uint32_t>(eph.deltaN) & Mask(16));
    PutSplit32(s2, 4, 17, static_cast<uint32_t>(eph.m0));
    PutField(s2, 6, 1, 16, static_cast<uint32_t>(eph.cuc) & Mask(16));
    PutSplit32(s2, 6, 17, eph.e);
    PutField(s2, 8, 1, 16, static_cast<uint32_t>(eph.cus) & Mask(16));
    PutSplit32(s2, 8, 17, eph.sqrtA);
    PutField(s2, 10, 1, 16, eph.toe & 0xFFFFu);
    PutField(s2, 10, 17, 1, eph.fitFlag & 1u);

    PutField(s3, 3, 1, 16, static_cast<uint32_t>(eph.cic) & Mask(16));
    PutSplit32(s3, 3, 17, static_cast<uint32_t>(eph.omega0));
    PutField(s3, 5, 1, 16, static_cast<uint32_t>(eph.cis) & Mask(16));
    PutSplit32(s3, 5, 17, static_cast<uint32_t>(eph.i0));
    PutField(s3, 7, 1, 16, static_cast<uint32_t>(eph.crc) & Mask(16));
    PutSplit32(s3, 7, 17, static_cast<uint32_t>(eph.omega));
    PutField(s3, 9, 1, 24, static_cast<uint32_t>(eph.omegaDot) & Mask(24));
    PutField(s3, 10, 1, 8, eph.iode & 0xFFu);
    PutField(s3, 10, 9, 14, static_cast<uint32_t>(eph.idot) & Mask(14));

    for (int s = 0; s < 3; ++s) Assemble(d[s], &out[s]);
}

bool DecodeEphemerisSubframes(const uint8_t raw[90], BroadcastEphemeris *eph) {
    uint32_t d[3][10];
    for (int s = 0; s < 3; ++s)
        for (int n = 0; n < 10; ++n) {
            const uint8_t *p = raw + 30 * s + 3 * n;
            d[s][n] = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
        }
    for (uint32_t s = 0; s < 3; ++s)
        if (GetField(d[s], 1, 1, 8) != kPreamble || GetField(d[s], 2, 20, 3) != s + 1) return false;
    const uint32_t *s1 = d[0], *s2 = d[1], *s3 = d[2];
    BroadcastEphemeris e{};
    e.prn = eph->prn;
    e.weekFull = eph->weekFull;
    e.week10 = GetField(s1, 3, 1, 10);
    e.l2Code = GetField(s1, 3, 11, 2);
    e.uraIndex = GetField(s1, 3, 13, 4);
    e.health = GetField(s1, 3, 17, 6);
    e.iodc = (GetField(s1, 3, 23, 2) << 8) | GetField(s1, 8, 1, 8);
    e.tgd = SignExtend(GetField(s1, 7, 17, 8), 8);
    e.toc = GetField(s1, 8, 9, 16);
    e.af2 = SignExtend(GetField(s1, 9, 1, 8), 8);
    e.af1 = SignExtend(GetField(s1, 9, 9, 16), 16);
    e.af0 = SignExtend(GetField(s1, 10, 1, 22), 22);
    e.iode = GetField(s2, 3, 1, 8);
    e.crs = SignExtend(GetField(s2, 3, 9, 16), 16);
    e.deltaN = SignExtend(GetField(s2, 4, 1, 16), 16);
    e.m0 = static_cast<int32_t>(GetSplit32(s2, 4, 17));
    e.cuc = SignExtend(GetField(s2, 6, 1, 16), 16);
    e.e = GetSplit32(s2, 6, 17);
    e.cus = SignExtend(GetField(s2, 8, 1, 16), 16);
    e.sqrtA = GetSplit32(s2, 8, 17);
    e.toe = GetField(s2, 10, 1, 16);
    e.fitFlag = GetField(s2, 10, 17, 1);
    e.cic = SignExtend(GetField(s3, 3, 1, 16), 16);
    e.omega0 = static_cast<int32_t>(GetSplit32(s3, 3, 17));
    e.cis = SignExtend(GetField(s3, 5, 1, 16), 16);
    e.i0 = static_cast<int32_t>(GetSplit32(s3, 5, 17));
    e.crc = SignExtend(GetField(s3, 7, 1, 16), 16);
    e.omega = static_cast<int32_t>(GetSplit32(s3, 7, 17));
    e.omegaDot = SignExtend(GetField(s3, 9, 1, 24), 24);
    uint32_t iode3 = GetField(s3, 10, 1, 8);
    e.idot = SignExtend(GetField(s3, 10, 9, 14), 14);
    // A consistent set: both IODE copies and the low IODC byte agree.
    if (iode3 != e.iode || (e.iodc & 0xFFu) != e.iode) return false;
    *eph = e;
    return true;
}

void EncodeAlmanacPage(const BroadcastAlmanac &alm, uint32_t towCount, Subframe *out) {
    uint32_t d[10] = {};
    TlmAndHow(d, towCount, alm.prn <= 24 ? 5u : 4u);
    PutField(d, 3, 1, 2, 1u); // data id of this almanac format
    PutField(d, 3, 3, 6, static_cast<uint32_t>(alm.prn) & 63u);
    PutField(d, 3, 9, 16, alm.e & 0xFFFFu);
    PutField(d, 4, 1, 8, alm.toa & 0xFFu);
    PutField(d, 4, 9, 16, static_cast<uint32_t>(alm.deltaI) & Mask(16));
    PutField(d, 5, 1, 16, static_cast<uint32_t>(alm.omegaDot) & Mask(16));
    PutField(d, 5, 17, 8, alm.health & 0xFFu);
    PutField(d, 6, 1, 24, alm.sqrtA & kMask24);
    PutField(d, 7, 1, 24, static_cast<uint32_t>(alm.omega0) & kMask24);
    PutField(d, 8, 1, 24, static_cast<uint32_t>(alm.omega) & kMask24);
    PutField(d, 9, 1, 24, static_cast<uint32_t>(alm.m0) & kMask24);
    uint32_t af0 = static_cast<uint32_t>(alm.af0) & Mask(11);
    PutField(d, 10, 1, 8, af0 >> 3);
    PutField(d, 10, 9, 11, static_cast<uint32_t>(alm.af1) & Mask(11));
    PutField(d, 10, 20, 3, af0 & 7u);
    Assemble(d, out);
}

EphemerisValues PhysicalValues(const BroadcastEphemeris &eph) {
    const double p5 = std::ldexp(1.0, -5), p19 = std::ldexp(1.0, -19), p29 = std::ldexp(1.0, -29),
                 p31 = std::ldexp(1.0, -31), p33 = std::ldexp(1.0, -33), p43 = std::ldexp(1.0, -43),
                 p55 = std::ldexp(1.0, -55);
    EphemerisValues v{};
    v.toe = eph.toe * 16.0;
    v.toc = eph.toc * 16.0;
    v.af0 = eph.af0 * p31;
    v.af1 = eph.af1 * p43;
    v.af2 = eph.af2 * p55;
    v.tgd = eph.tgd * p31;
    v.sqrtA = eph.sqrtA * p19;
    v.e = eph.e * p33;
    v.deltaN = eph.deltaN * p43 * kPi;
    v.m0 = eph.m0 * p31 * kPi;
    v.omega0 = eph.omega0 * p31 * kPi;
    v.omegaDot = eph.omegaDot * p43 * kPi;
    v.i0 = eph.i0 * p31 * kPi;
    v.idot = eph.idot * p43 * kPi;
    v.omega = eph.omega * p31 * kPi;
    v.cuc = eph.cuc * p29;
    v.cus = eph.cus * p29;
    v.cic = eph.cic * p29;
    v.cis = eph.cis * p29;
    v.crc = eph.crc * p5;
    v.crs = eph.crs * p5;
    return v;
}

void BroadcastSatellite(const EphemerisValues &v, double tk, double tc, double rotationTime, SatellitePv *out) {
    const double a = v.sqrtA * v.sqrtA;
    const double n = std::sqrt(kGpsMu / (a * a * a)) + v.deltaN;
    const double ecc = SolveKepler(v.m0 + n * tk, v.e);
    const double sinE = std::sin(ecc), cosE = std::cos(ecc);
    const double oneMinusECosE = 1.0 - v.e * cosE;
    const double root = std::sqrt(1.0 - v.e * v.e);
    const double nu = std::atan2(root * sinE, cosE - v.e);
    const double phi = nu + v.omega;
    const double s2 = std::sin(2.0 * phi), c2 = std::cos(2.0 * phi);
    const double u = phi + v.cuc * c2 + v.cus * s2;
    const double r = a * oneMinusECosE + v.crc * c2 + v.crs * s2;
    const double inc = v.i0 + v.idot * tk + v.cic * c2 + v.cis * s2;
    const double node = v.omega0 + (v.omegaDot - kEarthRotation) * tk - kEarthRotation * (v.toe + rotationTime);
    const double cu = std::cos(u), su = std::sin(u), ci = std::cos(inc), si = std::sin(inc);
    const double cn = std::cos(node), sn = std::sin(node);
    const double xp = r * cu, yp = r * su;
    out->pos[0] = xp * cn - yp * ci * sn;
    out->pos[1] = xp * sn + yp * ci * cn;
    out->pos[2] = yp * si;

    // Rates: the time derivative of the same model.
    const double eDot = n / oneMinusECosE;
    const double nuDot = eDot * root / oneMinusECosE;
    const double uDot = nuDot * (1.0 + 2.0 * (v.cus * c2 - v.cuc * s2));
    const double rDot = a * v.e * sinE * eDot + 2.0 * nuDot * (v.crs * c2 - v.crc * s2);
    const double iDot = v.idot + 2.0 * nuDot * (v.cis * c2 - v.cic * s2);
    const double nodeDot = v.omegaDot - kEarthRotation;
    const double xpDot = rDot * cu - yp * uDot;
    const double ypDot = rDot * su + xp * uDot;
    out->vel[0] = xpDot * cn - ypDot * ci * sn + yp * si * sn * iDot - out->pos[1] * nodeDot;
    out->vel[1] = xpDot * sn + ypDot * ci * cn - yp * si * cn * iDot + out->pos[0] * nodeDot;
    out->vel[2] = ypDot * si + yp * ci * iDot;

    out->clock = v.af0 + v.af1 * tc + v.af2 * tc * tc + kRelativityF * v.e * v.sqrtA * sinE;
    out->clockRate = v.af1 + 2.0 * v.af2 * tc + kRelativityF * v.e * v.sqrtA * cosE * eDot;
}

} // namespace oem4sim
