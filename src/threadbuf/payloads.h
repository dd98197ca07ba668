// Payload layouts of the ThreadBuf record types that the decoders produce.
//
// These are exchange formats: hosts read them with ReadThreadBufData and the
// observation file stores epoch and measurement records byte for byte. Each
// struct is packed and checked field by field below; code moves them in and
// out of byte buffers with le::Load / le::Store (memcpy), never by casting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "oem4conv.h"

#pragma pack(push, 1)

// TBREC_EPOCH: header of one measurement epoch (the TSQ "position record").
struct EpochRecord {
    uint16_t recordLength; // 0 as produced; the TSQ writer stamps 68
    uint8_t satCount;
    uint8_t flags; // bit 0 position attached, bit 1 epochFlag
    uint8_t reserved0[4];
    double latitude;  // degrees
    double longitude; // degrees
    float height;     // ellipsoidal, metres
    double receiverTime;
    double correctedTime;
    double clockOffset; // metres
    double clockDrift;
    uint16_t week;
    uint8_t reserved1[6];
};

// Bits of EpochRecord::flags.
inline constexpr uint8_t kEpochFlagPosition = 0x01; // latitude, longitude, height hold a position
inline constexpr uint8_t kEpochFlagEpoch = 0x02;    // the host's epoch flag (option epochFlag)

// Withdraws an epoch's position, flag and fields together: a reader must not
// place an epoch without a position at latitude 0, longitude 0.
inline void ClearEpochPosition(EpochRecord *epoch) {
    epoch->flags = static_cast<uint8_t>(epoch->flags & ~kEpochFlagPosition);
    epoch->latitude = 0.0;
    epoch->longitude = 0.0;
    epoch->height = 0.0f;
}

// TBREC_MEAS: one satellite's L1/L2 measurements (the TSQ "measurement record").
struct MeasRecord {
    uint16_t recordLength; // 0 as produced; the TSQ writer stamps 44
    uint8_t prn;
    uint8_t l1Lock; // whole seconds, 0..255
    double l1Pseudorange;
    double l1Phase;
    double l1Doppler;
    double l2Pseudorange;
    double l2Phase;
};

// TBREC_TRACKING: tracking quality of one satellite of an epoch.
struct TrackingRecord {
    uint32_t prn;
    uint32_t signalFlags; // 5 = L1 stored, +2 = L2 stored
    double l1LockTime;
    double l2LockTime;
    double l1Cno;
};

// Values of TrackingRecord::signalFlags.
inline constexpr uint32_t kTrackingL1Stored = 5; // L1 lock time and C/No
inline constexpr uint32_t kTrackingL2Stored = 2; // L2 lock time, added to the L1 value

// TBREC_POSITION: one computed receiver position from BESTPOS.
struct PositionRecord {
    double time;
    uint32_t week;
    uint32_t origin; // always 3
    double latitude;
    double longitude;
    double height; // ellipsoidal
    double horizontalSigma;
    double heightSigma;
    double solutionAge;
};

// TBREC_MARK: one camera pulse event from MARKTIME.
struct MarkRecord {
    double time; // GPS seconds of week
    uint32_t week;
    uint32_t origin; // always 2
    uint8_t reserved0[32];
    uint32_t markNumber;
    uint8_t reserved1[40];
};

// TBREC_GPSEPH: one GPS broadcast ephemeris (angles in radians).
struct GpsEphRecord {
    int32_t prn;
    int32_t week; // 10-bit broadcast week
    int32_t fixed9999;
    double tgd;
    int32_t iodc;
    int32_t toc;
    double af2;
    double af1;
    double af0;
    int32_t iode;
    double deltaN;
    double m0;
    double e;
    double sqrtA;
    int32_t toe;
    double cic;
    double crc;
    double cis;
    double crs;
    double cuc;
    double cus;
    double omega0;
    double omega;
    double i0;
    double omegaDot;
    double idot;
    int32_t health;
};

// TBREC_ALMANAC: one satellite's almanac from an ALMANAC record.
struct AlmanacRecord {
    int32_t prn;
    int32_t satSystem; // always 0 (GPS)
    uint8_t reserved0[40];
    double e;
    int32_t toa;
    uint8_t reserved1[4];
    double deltaI;
    double omegaDot;
    double sqrtA;
    double omega0;
    double omega;
    double m0;
    double af0;
    double af1;
    int32_t timeCode; // always 2
    int32_t week;
    int32_t healthCode; // always 2
    int32_t health;
    uint8_t reserved2[128];
};

#pragma pack(pop)

inline constexpr std::size_t kEpochRecordSize = 68;
inline constexpr std::size_t kMeasRecordSize = 44;
inline constexpr std::size_t kGpsEphRecordSize = 184;
inline constexpr std::size_t kTrackingRecordSize = 32;
inline constexpr std::size_t kPositionRecordSize = 64;
inline constexpr std::size_t kAlmanacRecordSize = 272;
inline constexpr std::size_t kMarkRecordSize = 92;

static_assert(sizeof(EpochRecord) == kEpochRecordSize);
static_assert(offsetof(EpochRecord, satCount) == 2);
static_assert(offsetof(EpochRecord, flags) == 3);
static_assert(offsetof(EpochRecord, reserved0) == 4);
static_assert(offsetof(EpochRecord, latitude) == 8);
static_assert(offsetof(EpochRecord, longitude) == 16);
static_assert(offsetof(EpochRecord, height) == 24);
static_assert(offsetof(EpochRecord, receiverTime) == 28);
static_assert(offsetof(EpochRecord, correctedTime) == 36);
static_assert(offsetof(EpochRecord, clockOffset) == 44);
static_assert(offsetof(EpochRecord, clockDrift) == 52);
static_assert(offsetof(EpochRecord, week) == 60);
static_assert(offsetof(EpochRecord, reserved1) == 62);

static_assert(sizeof(MeasRecord) == kMeasRecordSize);
static_assert(offsetof(MeasRecord, prn) == 2);
static_assert(offsetof(MeasRecord, l1Lock) == 3);
static_assert(offsetof(MeasRecord, l1Pseudorange) == 4);
static_assert(offsetof(MeasRecord, l1Phase) == 12);
static_assert(offsetof(MeasRecord, l1Doppler) == 20);
static_assert(offsetof(MeasRecord, l2Pseudorange) == 28);
static_assert(offsetof(MeasRecord, l2Phase) == 36);

static_assert(sizeof(TrackingRecord) == kTrackingRecordSize);
static_assert(offsetof(TrackingRecord, signalFlags) == 4);
static_assert(offsetof(TrackingRecord, l1LockTime) == 8);
static_assert(offsetof(TrackingRecord, l2LockTime) == 16);
static_assert(offsetof(TrackingRecord, l1Cno) == 24);

static_assert(sizeof(PositionRecord) == kPositionRecordSize);
static_assert(offsetof(PositionRecord, week) == 8);
static_assert(offsetof(PositionRecord, origin) == 12);
static_assert(offsetof(PositionRecord, latitude) == 16);
static_assert(offsetof(PositionRecord, longitude) == 24);
static_assert(offsetof(PositionRecord, height) == 32);
static_assert(offsetof(PositionRecord, horizontalSigma) == 40);
static_assert(offsetof(PositionRecord, heightSigma) == 48);
static_assert(offsetof(PositionRecord, solutionAge) == 56);

static_assert(sizeof(MarkRecord) == kMarkRecordSize);
static_assert(offsetof(MarkRecord, week) == 8);
static_assert(offsetof(MarkRecord, origin) == 12);
static_assert(offsetof(MarkRecord, reserved0) == 16);
static_assert(offsetof(MarkRecord, markNumber) == 48);
static_assert(offsetof(MarkRecord, reserved1) == 52);

static_assert(sizeof(GpsEphRecord) == kGpsEphRecordSize);
static_assert(offsetof(GpsEphRecord, week) == 4);
static_assert(offsetof(GpsEphRecord, fixed9999) == 8);
static_assert(offsetof(GpsEphRecord, tgd) == 12);
static_assert(offsetof(GpsEphRecord, iodc) == 20);
static_assert(offsetof(GpsEphRecord, toc) == 24);
static_assert(offsetof(GpsEphRecord, af2) == 28);
static_assert(offsetof(GpsEphRecord, af1) == 36);
static_assert(offsetof(GpsEphRecord, af0) == 44);
static_assert(offsetof(GpsEphRecord, iode) == 52);
static_assert(offsetof(GpsEphRecord, deltaN) == 56);
static_assert(offsetof(GpsEphRecord, m0) == 64);
static_assert(offsetof(GpsEphRecord, e) == 72);
static_assert(offsetof(GpsEphRecord, sqrtA) == 80);
static_assert(offsetof(GpsEphRecord, toe) == 88);
static_assert(offsetof(GpsEphRecord, cic) == 92);
static_assert(offsetof(GpsEphRecord, crc) == 100);
static_assert(offsetof(GpsEphRecord, cis) == 108);
static_assert(offsetof(GpsEphRecord, crs) == 116);
static_assert(offsetof(GpsEphRecord, cuc) == 124);
static_assert(offsetof(GpsEphRecord, cus) == 132);
static_assert(offsetof(GpsEphRecord, omega0) == 140);
static_assert(offsetof(GpsEphRecord, omega) == 148);
static_assert(offsetof(GpsEphRecord, i0) == 156);
static_assert(offsetof(GpsEphRecord, omegaDot) == 164);
static_assert(offsetof(GpsEphRecord, idot) == 172);
static_assert(offsetof(GpsEphRecord, health) == 180);

static_assert(sizeof(AlmanacRecord) == kAlmanacRecordSize);
static_assert(offsetof(AlmanacRecord, satSystem) == 4);
static_assert(offsetof(AlmanacRecord, reserved0) == 8);
static_assert(offsetof(AlmanacRecord, e) == 48);
static_assert(offsetof(AlmanacRecord, toa) == 56);
static_assert(offsetof(AlmanacRecord, reserved1) == 60);
static_assert(offsetof(AlmanacRecord, deltaI) == 64);
static_assert(offsetof(AlmanacRecord, omegaDot) == 72);
static_assert(offsetof(AlmanacRecord, sqrtA) == 80);
static_assert(offsetof(AlmanacRecord, omega0) == 88);
static_assert(offsetof(AlmanacRecord, omega) == 96);
static_assert(offsetof(AlmanacRecord, m0) == 104);
static_assert(offsetof(AlmanacRecord, af0) == 112);
static_assert(offsetof(AlmanacRecord, af1) == 120);
static_assert(offsetof(AlmanacRecord, timeCode) == 128);
static_assert(offsetof(AlmanacRecord, week) == 132);
static_assert(offsetof(AlmanacRecord, healthCode) == 136);
static_assert(offsetof(AlmanacRecord, health) == 140);
static_assert(offsetof(AlmanacRecord, reserved2) == 144);
