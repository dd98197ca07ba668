// Navigation message and orbit model of the simulator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "gps_nav.h"
#include "simulator.h"

using namespace oem4sim;

namespace {

bool SameFields(const BroadcastEphemeris &a, const BroadcastEphemeris &b) {
    return a.week10 == b.week10 && a.l2Code == b.l2Code && a.uraIndex == b.uraIndex && a.health == b.health &&
           a.iodc == b.iodc && a.tgd == b.tgd && a.toc == b.toc && a.af2 == b.af2 && a.af1 == b.af1 && a.af0 == b.af0 &&
           a.iode == b.iode && a.crs == b.crs && a.deltaN == b.deltaN && a.m0 == b.m0 && a.cuc == b.cuc && a.e == b.e &&
           a.cus == b.cus && a.sqrtA == b.sqrtA && a.toe == b.toe && a.cic == b.cic && a.omega0 == b.omega0 &&
           a.cis == b.cis && a.i0 == b.i0 && a.crc == b.crc && a.omega == b.omega && a.omegaDot == b.omegaDot &&
           a.idot == b.idot;
}

// Field extremes: every signed field at its most negative value, so that a
// missing sign extension or a field cut one bit short shows up.
BroadcastEphemeris Extremes() {
    BroadcastEphemeris e{};
    e.prn = 7;
    e.week10 = 1023;
    e.l2Code = 3;
    e.uraIndex = 15;
    e.health = 63;
    e.iodc = 0x3FF;
    e.iode = 0xFF;
    e.tgd = -128;
    e.toc = 0xFFFF;
    e.af2 = -128;
    e.af1 = -32768;
    e.af0 = -(1 << 21);
    e.crs = -32768;
    e.deltaN = -32768;
    e.m0 = INT32_MIN;
    e.cuc = -32768;
    e.e = 0xFFFFFFFFu;
    e.cus = -32768;
    e.sqrtA = 0xFFFFFFFFu;
    e.toe = 0xFFFF;
    e.cic = -32768;
    e.omega0 = INT32_MIN;
    e.cis = -32768;
    e.i0 = INT32_MIN;
    e.crc = -32768;
    e.omega = INT32_MIN;
    e.omegaDot = -(1 << 23);
    e.idot = -(1 << 13);
    return e;
}

void RawOf(const BroadcastEphemeris &e, uint8_t raw[90]) {
    Subframe sf[3];
    EncodeEphemerisSubframes(e, 50000, sf);
    for (int s = 0; s < 3; ++s) RawSubframeBytes(sf[s], raw + 30 * s);
}

} // namespace

TEST(Subframes, ParityHoldsAndEverySingleBitErrorIsCaught) {
    Constellation c;
    GenerateConstellation(3, 1400, 302400, 0, &c);
    Subframe sf[3];
    EncodeEphemerisSubframes(EphemerisOfSet(c, 4, 0), 50400, sf);
    for (int s = 0; s < 3; ++s) {
        ASSERT_EQ(CheckSubframeParity(sf[s]), 0) << "subframe " << s + 1;
        // Words 2 and 10 close with D29 = D30 = 0, so every subframe starts
        // with uncomplemented data.
        EXPECT_EQ(sf[s].words[1] & 3u, 0u);
        EXPECT_EQ(sf[s].words[9] & 3u, 0u);
        for (int w = 0; w < 10; ++w)
            for (int b = 0; b < 30; ++b) {
                Subframe bad = sf[s];
                bad.words[w] ^= 1u << b;
                EXPECT_NE(CheckSubframeParity(bad), 0) << "subframe " << s + 1 << " word " << w + 1 << " bit " << b;
            }
    }
}

TEST(Subframes, FieldsRoundTripAtTheirBitPositions) {
    Constellation c;
    GenerateConstellation(11, 1400, 302400, 0, &c);
    for (int i = 0; i < kConstellationSize; ++i) {
        for (int64_t set : {0, 5}) {
            BroadcastEphemeris e = EphemerisOfSet(c, i, set), back{};
            uint8_t raw[90];
            RawOf(e, raw);
            ASSERT_TRUE(DecodeEphemerisSubframes(raw, &back));
            EXPECT_TRUE(SameFields(e, back)) << "PRN " << e.prn << " set " << set;
        }
    }
    BroadcastEphemeris x = Extremes(), back{};
    uint8_t raw[90];
    RawOf(x, raw);
    ASSERT_TRUE(DecodeEphemerisSubframes(raw, &back));
    EXPECT_TRUE(SameFields(x, back));

    // Positions a reader finds by byte offset: preamble in byte 0, the
    // subframe id in the handover word, IODC split between word 3 and word 8.
    BroadcastEphemeris e = EphemerisOfSet(c, 0, 0);
    e.iodc = 298; // high bits 01, low byte 0x2A
    e.iode = 0x2A;
    RawOf(e, raw);
    for (int s = 0; s < 3; ++s) {
        EXPECT_EQ(raw[30 * s], 0x8B);
        EXPECT_EQ((raw[30 * s + 5] >> 2) & 7, s + 1);
    }
    EXPECT_EQ(raw[8] & 3, 1);                                     // subframe 1 word 3, last two bits
    EXPECT_EQ(raw[21], 0x2A);                                     // subframe 1 word 8, first byte
    EXPECT_EQ(raw[36], 0x2A);                                     // subframe 2 word 3: IODE
    EXPECT_EQ((raw[57] << 8) | raw[58], static_cast<int>(e.toe)); // subframe 2 word 10: toe
}

TEST(Subframes, InconsistentSetIsRefused) {
    Constellation c;
    GenerateConstellation(2, 1400, 302400, 0, &c);
    uint8_t raw[90];
    RawOf(EphemerisOfSet(c, 1, 0), raw);
    BroadcastEphemeris out{};
    uint8_t swapped[90];
    std::memcpy(swapped, raw + 30, 30); // subframes in the wrong order
    std::memcpy(swapped + 30, raw, 30);
    std::memcpy(swapped + 60, raw + 60, 30);
    EXPECT_FALSE(DecodeEphemerisSubframes(swapped, &out));
    raw[87] ^= 0xFF; // subframe 3 IODE copy no longer matches subframe 2
    EXPECT_FALSE(DecodeEphemerisSubframes(raw, &out));
}

TEST(Orbit, VelocityIsTheDerivativeOfPosition) {
    Constellation c;
    GenerateConstellation(5, 1400, 302400, 0, &c);
    for (int i = 0; i < kConstellationSize; i += 5) {
        EphemerisValues v = PhysicalValues(EphemerisOfSet(c, i, 0));
        for (double tk : {-3500.0, 0.0, 1234.5, 3600.0}) {
            SatellitePv a, b, m;
            const double h = 0.01;
            BroadcastSatellite(v, tk - h, tk - h, 0.07, &a);
            BroadcastSatellite(v, tk + h, tk + h, 0.07, &b);
            BroadcastSatellite(v, tk, tk, 0.07, &m);
            for (int k = 0; k < 3; ++k) EXPECT_NEAR((b.pos[k] - a.pos[k]) / (2 * h), m.vel[k], 1e-3);
            EXPECT_NEAR((b.clock - a.clock) / (2 * h), m.clockRate, 1e-14);
            double r = std::sqrt(m.pos[0] * m.pos[0] + m.pos[1] * m.pos[1] + m.pos[2] * m.pos[2]);
            EXPECT_GT(r, 25.9e6);
            EXPECT_LT(r, 27.2e6);
        }
    }
}

// Consecutive ephemeris sets describe one orbit: where one hands over to
// the next, positions and clocks agree to the resolution of the fields,
// also when the new set's toe lies in the next week.
TEST(Orbit, ConsecutiveSetsAgreeAlsoAcrossTheWeek) {
    Constellation c;
    GenerateConstellation(9, 1400, 604800 - 7200, 0, &c);
    for (int i = 0; i < kConstellationSize; ++i) {
        BroadcastEphemeris e0 = EphemerisOfSet(c, i, 0), e1 = EphemerisOfSet(c, i, 1);
        ASSERT_EQ(e1.toe, 0u);
        ASSERT_EQ(e1.weekFull, 1401u);
        EXPECT_NE(e0.iode, e1.iode);
        EphemerisValues v0 = PhysicalValues(e0), v1 = PhysicalValues(e1);
        // 3600 s after toe 0 is 3600 s before toe 1 (in the new week).
        SatellitePv a, b;
        BroadcastSatellite(v0, 3600.0, 3600.0, 0.0, &a);
        BroadcastSatellite(v1, -3600.0, -3600.0, 0.0, &b);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(a.pos[k], b.pos[k], 0.2) << "PRN " << e0.prn;
        EXPECT_NEAR(a.clock, b.clock, 1e-9);
    }
}
