// GPS broadcast navigation data as the simulator transmits it: the ephemeris
// and almanac parameters in their broadcast integer units, the subframe and
// almanac-page encoders (with word parity), a matching subframe decoder, and
// the broadcast orbit and clock model evaluated from the integer parameters.
//
// The simulated satellites fly exactly the orbit that their broadcast
// ephemeris describes: every position and clock value of the truth is
// computed from the quantised parameters, so a receiver-side decoder that
// reads the same bits reproduces it to the resolution of the scale factors.
#pragma once

#include <cstdint>

#include "common/physics.h"

namespace oem4sim {

inline constexpr double kPi = 3.1415926535897932;
inline constexpr double kGpsMu = 3.986005e14;
inline constexpr double kEarthRotation = 7.2921151467e-5;
inline constexpr double kRelativityF = -4.442809305e-10;
inline constexpr double kSecondsPerWeek = 604800.0;
inline constexpr double kL1Frequency = 1575.42e6;
inline constexpr double kL2Frequency = 1227.60e6;
inline constexpr double kL1Wavelength = kSpeedOfLight / kL1Frequency;
inline constexpr double kL2Wavelength = kSpeedOfLight / kL2Frequency;

// One broadcast ephemeris in the integer units of the navigation message.
// Signed fields hold their two's complement value already sign-extended.
struct BroadcastEphemeris {
    int32_t prn;
    uint32_t week10;   // broadcast week, 0..1023
    uint32_t weekFull; // full GPS week of toe (not broadcast)
    uint32_t l2Code;   // 2 bits
    uint32_t uraIndex; // 4 bits
    uint32_t health;   // 6 bits
    uint32_t iodc;     // 10 bits
    int32_t tgd;       // 8 bits, 2^-31 s
    uint32_t toc;      // 16 bits, 2^4 s
    int32_t af2;       // 8 bits, 2^-55 s/s^2
    int32_t af1;       // 16 bits, 2^-43 s/s
    int32_t af0;       // 22 bits, 2^-31 s
    uint32_t iode;     // 8 bits
    int32_t crs;       // 16 bits, 2^-5 m
    int32_t deltaN;    // 16 bits, 2^-43 semicircles/s
    int32_t m0;        // 32 bits, 2^-31 semicircles
    int32_t cuc;       // 16 bits, 2^-29 rad
    uint32_t e;        // 32 bits, 2^-33
    int32_t cus;       // 16 bits, 2^-29 rad
    uint32_t sqrtA;    // 32 bits, 2^-19 m^1/2
    uint32_t toe;      // 16 bits, 2^4 s
    uint32_t fitFlag;  // 1 bit
    int32_t cic;       // 16 bits, 2^-29 rad
    int32_t omega0;    // 32 bits, 2^-31 semicircles
    int32_t cis;       // 16 bits, 2^-29 rad
    int32_t i0;        // 32 bits, 2^-31 semicircles
    int32_t crc;       // 16 bits, 2^-5 m
    int32_t omega;     // 32 bits, 2^-31 semicircles
    int32_t omegaDot;  // 24 bits, 2^-43 semicircles/s
    int32_t idot;      // 14 bits, 2^-43 semicircles/s
};

// The same ephemeris in physical units (radians, metres, seconds), with the
// exact power-of-two scale factors.
struct EphemerisValues {
    double toe; // seconds of week
    double toc; // seconds of week
    double af0, af1, af2, tgd;
    double sqrtA, e, deltaN, m0, omega0, omegaDot, i0, idot, omega;
    double cuc, cus, crc, crs, cic, cis;
};
EphemerisValues PhysicalValues(const BroadcastEphemeris &eph);

// Satellite state from the broadcast model.
struct SatellitePv {
    double pos[3]; // Earth-fixed, metres
    double vel[3]; // Earth-fixed, metres per second
    double clock;  // satellite clock error, seconds (polynomial + relativity)
    double clockRate;
};
// t is GPS time as seconds from toe (tk; week crossover already applied
// by the caller) and dtoc seconds from toc. The position is in the
// Earth-fixed frame of the epoch t + rotationTime: the signal travel time
// turns the Earth under the satellite.
void BroadcastSatellite(const EphemerisValues &v, double tk, double tc, double rotationTime, SatellitePv *out);

// ---- navigation message subframes ----------------------------------------

// One subframe: ten 30-bit words (data in bits 29..6, parity in bits 5..0),
// as transmitted, with the data bits of every word already complemented by
// the previous word's D30 as the standard requires.
struct Subframe {
    uint32_t words[10];
};

// Parity of one word: d is the 24 source data bits, prev29/prev30 the last
// two parity bits of the previous word. Returns the full 30-bit word.
uint32_t ParityWord(uint32_t d, uint32_t prev29, uint32_t prev30);
// Checks the parity of all ten words; the first word is checked against
// D29* = D30* = 0 (the end of the preceding subframe). Returns the number
// of the first failing word (1..10), 0 when all words are good.
int CheckSubframeParity(const Subframe &sf);
// Source data bits (24) of word n (0-based), undoing the D30* complement.
uint32_t SourceData(const Subframe &sf, int n);

// Builds subframes 1, 2 and 3 of an ephemeris. towCount is the HOW time of
// week count (units of 6 s) of the first subframe.
void EncodeEphemerisSubframes(const BroadcastEphemeris &eph, uint32_t towCount, Subframe out[3]);
// Reads the ephemeris fields back from three subframes (given as raw
// 24-bit data words without parity, 30 bytes each, most significant bit
// first, as a RAWEPHEM record stores them). Returns false unless the
// subframe ids are 1, 2, 3 and the IODE copies and IODC agree.
bool DecodeEphemerisSubframes(const uint8_t raw[90], BroadcastEphemeris *eph);
// Strips parity: 10 words of 24 data bits, three bytes each.
void RawSubframeBytes(const Subframe &sf, uint8_t out[30]);

// Almanac of one satellite in broadcast units (subframe 4/5 pages).
struct BroadcastAlmanac {
    int32_t prn;
    uint32_t e;       // 16 bits, 2^-21
    uint32_t toa;     // 8 bits, 2^12 s
    int32_t deltaI;   // 16 bits, 2^-19 semicircles, relative to 0.3 semicircles
    int32_t omegaDot; // 16 bits, 2^-38 semicircles/s
    uint32_t health;  // 8 bits
    uint32_t sqrtA;   // 24 bits, 2^-11 m^1/2
    int32_t omega0;   // 24 bits, 2^-23 semicircles
    int32_t omega;    // 24 bits, 2^-23 semicircles
    int32_t m0;       // 24 bits, 2^-23 semicircles
    int32_t af0;      // 11 bits, 2^-20 s
    int32_t af1;      // 11 bits, 2^-38 s/s
};
// One almanac page (subframe 5 pages 1-24 for PRN 1-24, subframe 4 for 25-32).
void EncodeAlmanacPage(const BroadcastAlmanac &alm, uint32_t towCount, Subframe *out);

// Quantisers: round a physical value to the nearest step of the field and
// clamp it to the field's signed or unsigned range.
int32_t QuantizeSigned(double value, double scale, int bits);
uint32_t QuantizeUnsigned(double value, double scale, int bits);
// Sign extension of a field of the given width.
int32_t SignExtend(uint32_t value, int bits);

} // namespace oem4sim
