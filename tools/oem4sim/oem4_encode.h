// Encoders of the OEM4 binary records that the simulator writes: framing
// (header and CRC-32) and one body encoder per record type, each writing
// the record's fields in the order of its table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/oem4_format.h"
#include "gps_nav.h"

namespace oem4sim {

// The largest record any reader of these logs accepts (header, body, CRC).
inline constexpr size_t kMaxRecordLength = 8191;

// Time status values of the header.
inline constexpr uint8_t kTimeStatusFineSteering = 180;

struct RecordHeader {
    uint16_t messageId;
    uint16_t week;
    int32_t milliseconds; // GPS milliseconds of week (receiver time)
    uint8_t timeStatus;
};

// The body of a record starts here within its buffer.
inline uint8_t *RecordBodyOf(uint8_t *record) { return record + kOem4HeaderLength; }
// Writes the header in front of a body already placed at record + 28 and
// the CRC-32 after it. Returns the total record length.
size_t FinishRecord(uint8_t *record, const RecordHeader &header, size_t bodyLength);
// Recomputes the CRC of a complete record (after a deliberate change).
void ResealRecord(uint8_t *record, size_t totalLength);

// Channel tracking status word of one RANGE/RANGECMP observation.
struct ChannelStatus {
    uint32_t channel; // 0..31
    bool l2;          // frequency L2 (else L1)
    bool phaseLock;
    bool parityKnown;
    bool codeLocked;
    bool grouped; // L1 and L2 channels of one satellite
};
uint32_t EncodeChannelStatus(const ChannelStatus &s);
// The tracking status of today's receivers: satellite system in bits 16-18
// and signal type in bits 21-25, fully locked.
uint32_t EncodeSignalStatus(uint32_t channel, uint32_t system, uint32_t signal, bool primaryL1);

// One observation in RANGE units. adr follows the receiver's sign
// convention: it decreases as the range grows.
struct RangeObservation {
    uint16_t prn;
    double pseudorange; // metres
    float pseudorangeSigma;
    double adr; // cycles
    float adrSigma;
    float doppler;  // Hz
    float cno;      // dB-Hz
    float lockTime; // seconds
    uint32_t status;
    uint16_t glonassFrequency = 0; // GLONASS frequency channel + 7; 0 for other systems
};
void EncodeRangeItem(uint8_t *item, const RangeObservation &obs);
// Compressed form. The values are rounded to the format's resolution
// (Doppler 1/256 Hz, pseudorange 1/128 m, phase 1/256 cycle, lock time
// 1/32 s, C/No 1 dB-Hz from 20 to 51) and clamped to its field widths.
void EncodeRangecmpItem(uint8_t *item, const RangeObservation &obs);
// Little-endian bit fields of a RANGECMP item (bit 0 = LSB of byte 0).
void PutBits(uint8_t *p, unsigned start, unsigned width, uint64_t value);
uint64_t GetBits(const uint8_t *p, unsigned start, unsigned width);

struct BestposBody {
    uint32_t solutionStatus;    // 0 = computed
    uint32_t positionType;      // 16 = single point
    double latitude, longitude; // degrees
    double heightMsl;           // metres above mean sea level
    float undulation;
    float latSigma, lonSigma, heightSigma;
    float differentialAge, solutionAge;
    uint8_t satellitesTracked, satellitesUsed;
};
void EncodeBestpos(uint8_t *body, const BestposBody &b);

struct ClockModelBody {
    double offset; // metres
    double offsetSigma;
    double drift;    // metres per second
    uint32_t status; // 0 = valid
};
void EncodeClockModel(uint8_t *body, const ClockModelBody &c);

struct MarktimeBody {
    uint32_t week;
    double seconds;     // receiver time of the pulse
    double clockOffset; // receiver time minus GPS time, seconds
    double offsetSigma;
    double utcOffset;
    uint32_t status;
};
void EncodeMarktime(uint8_t *body, const MarktimeBody &m);

// RAWEPHEM: PRN, reference week and seconds, subframes 1-3 without parity.
void EncodeRawephem(uint8_t *body, const BroadcastEphemeris &eph, uint32_t refWeek, uint32_t refSeconds,
                    uint32_t towCount);

// GPSEPHEM: the same ephemeris as the receiver decodes it (seconds, metres,
// radians), with the toe week in both week fields and the transmission
// time as its time of week.
void EncodeGpsephem(uint8_t *body, const BroadcastEphemeris &eph, double towSeconds);

// BESTXYZ: the position of BESTPOS in Earth-centred coordinates.
struct BestxyzBody {
    uint32_t solutionStatus; // 0 = computed
    uint32_t positionType;   // 16 = single point
    double position[3];      // metres
    float positionSigma[3];
    double velocity[3]; // metres per second
    float velocitySigma[3];
    float solutionAge;
    uint8_t satellitesTracked, satellitesUsed;
};
void EncodeBestxyz(uint8_t *body, const BestxyzBody &b);

// One ALMANAC item in the receiver's own units.
struct AlmanacItem {
    uint32_t prn;
    uint32_t week;
    double toa; // seconds
    double e, omegaDot, omega0, omega, m0, af0, af1, meanMotion, semiMajorAxis, inclination;
    uint32_t svConfig, healthPrn, healthAlm, antiSpoofing;
};
void EncodeAlmanacItem(uint8_t *item, const AlmanacItem &a);

} // namespace oem4sim
