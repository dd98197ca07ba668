// The facts of the OEM4 binary record format that more than one reader or
// writer of it relies on: the framing, the format test, the decoders, the
// log simulator, the quality report and the tests all take them from here.
//
// A record is a 28-byte header, the message body and a CRC-32 of the two.
// The header starts with three sync bytes and its own length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// ---- header ----------------------------------------------------------------
inline constexpr uint8_t kOem4Sync1 = 0xAA;
inline constexpr uint8_t kOem4Sync2 = 0x44;
inline constexpr uint8_t kOem4Sync3 = 0x12;
inline constexpr uint32_t kOem4HeaderLength = 28;
inline constexpr uint32_t kOem4CrcLength = 4;

// Header fields.
inline constexpr uint32_t kHeaderMessageIdAt = 4;       // u16
inline constexpr uint32_t kHeaderMessageTypeAt = 6;     // u8
inline constexpr uint32_t kHeaderPortAddressAt = 7;     // u8
inline constexpr uint32_t kHeaderMessageLengthAt = 8;   // u16, the body's length
inline constexpr uint32_t kHeaderSequenceAt = 10;       // u16
inline constexpr uint32_t kHeaderIdleTimeAt = 12;       // u8
inline constexpr uint32_t kHeaderTimeStatusAt = 13;     // u8
inline constexpr uint32_t kHeaderWeekAt = 14;           // u16
inline constexpr uint32_t kHeaderMillisecondsAt = 16;   // i32, GPS milliseconds of week
inline constexpr uint32_t kHeaderReceiverStatusAt = 20; // u32
inline constexpr uint32_t kHeaderReservedAt = 24;       // u16
inline constexpr uint32_t kHeaderSoftwareBuildAt = 26;  // u16

// Bits 0-4 of the message type: the measurement source of receivers with
// two antennas (OEM6, OEM7), 1 in the records of the second antenna (the
// logs named with "_1", such as RANGECMPB_1), 0 in those of the first.
// OEM4 and OEMV receivers leave 2 there.
inline constexpr uint8_t kMeasurementSourceMask = 0x1F;
inline constexpr uint8_t kSecondAntennaSource = 1;
// The record whose header starts at `header` holds the second antenna's
// measurements.
constexpr bool IsSecondAntennaRecord(const uint8_t *header) {
    return (header[kHeaderMessageTypeAt] & kMeasurementSourceMask) == kSecondAntennaSource;
}

// The four bytes every record starts with: the sync bytes and the header
// length. Every reader checks a candidate's start with these two.
inline constexpr std::array<uint8_t, 4> kOem4Lead = {kOem4Sync1, kOem4Sync2, kOem4Sync3,
                                                     static_cast<uint8_t>(kOem4HeaderLength)};
// Byte at (0 to 3) of a record start is what it must be.
constexpr bool IsOem4LeadByte(uint32_t at, uint8_t byte) { return byte == kOem4Lead[at]; }
// The four bytes at p start a record.
inline bool HasOem4Lead(const uint8_t *p) {
    for (uint32_t k = 0; k < kOem4Lead.size(); ++k) {
        if (!IsOem4LeadByte(k, p[k])) return false;
    }
    return true;
}

// ---- message ids and body lengths ------------------------------------------
inline constexpr uint16_t kMsgGpsephem = 7;
inline constexpr uint16_t kMsgIonutc = 8;
inline constexpr uint16_t kMsgVersion = 37;
inline constexpr uint16_t kMsgRawephem = 41;
inline constexpr uint16_t kMsgBestpos = 42;
inline constexpr uint16_t kMsgRange = 43;
inline constexpr uint16_t kMsgClockModel = 71; // PROPAGATEDCLOCKMODEL
inline constexpr uint16_t kMsgAlmanac = 73;
inline constexpr uint16_t kMsgRawalm = 74;
inline constexpr uint16_t kMsgRangecmp = 140;
inline constexpr uint16_t kMsgMarktime = 231;
// The receiver's other mark inputs, in MARKTIME's layout: counted and told,
// not converted (the mark file has one list of pulses, the first input's).
inline constexpr uint16_t kMsgMark2time = 616;
inline constexpr uint16_t kMsgMark3time = 1075;
inline constexpr uint16_t kMsgMark4time = 1076;
// The position at a mark, one record per pulse of each input (MARKPOS for
// the first): counted, so that pulses logged by it alone are told; its time
// is the header's millisecond, too coarse for the mark file.
inline constexpr uint16_t kMsgMarkpos = 181;
inline constexpr uint16_t kMsgMark2pos = 615;
inline constexpr uint16_t kMsgMark3pos = 1738;
inline constexpr uint16_t kMsgMark4pos = 1739;
// An INS receiver's solution at a mark (position, velocity and attitude),
// one record per pulse of each input, which such receivers are often told
// to log instead of MARKTIME: counted as MARKPOS is.
inline constexpr uint16_t kMsgMark1pva = 1067;
inline constexpr uint16_t kMsgMark2pva = 1068;
inline constexpr uint16_t kMsgMark3pva = 1118;
inline constexpr uint16_t kMsgMark4pva = 1119;
inline constexpr uint32_t kMarkInputs = 4;
inline constexpr uint16_t kMsgBestxyz = 241;
// Decoded ephemerides of the other systems, and their ionosphere and time
// parameters: only the RINEX navigation file takes them.
inline constexpr uint16_t kMsgGloephemeris = 723;
inline constexpr uint16_t kMsgGalclock = 1121;
inline constexpr uint16_t kMsgGalephemeris = 1122;
inline constexpr uint16_t kMsgGaliono = 1127;
inline constexpr uint16_t kMsgGalinavephemeris = 1309;
inline constexpr uint16_t kMsgGalfnavephemeris = 1310;
inline constexpr uint16_t kMsgQzssephemeris = 1336;
inline constexpr uint16_t kMsgQzssionutc = 1347;
inline constexpr uint16_t kMsgBdsiono = 1590;
inline constexpr uint16_t kMsgBdsclock = 1607;
inline constexpr uint16_t kMsgBdsephemeris = 1696;
inline constexpr uint16_t kMsgRangecmp2 = 1273;
inline constexpr uint16_t kMsgRangecmp4 = 2050;
inline constexpr uint16_t kMsgRangecmp5 = 2537;

// Fixed-length bodies.
inline constexpr uint32_t kBestposLength = 72;
inline constexpr uint32_t kClockModelLength = 28;
inline constexpr uint32_t kRawephemLength = 102;
inline constexpr uint32_t kMarktimeLength = 40;
inline constexpr uint32_t kMarkPvaLength = 88; // week, seconds, 9 doubles, status
inline constexpr uint32_t kGpsephemLength = 224;
inline constexpr uint32_t kBestxyzLength = 112;
inline constexpr uint32_t kIonutcLength = 108;
inline constexpr uint32_t kGloephemerisLength = 144;
inline constexpr uint32_t kGalclockLength = 64;
inline constexpr uint32_t kGalephemerisLength = 220;
inline constexpr uint32_t kGalionoLength = 29;
inline constexpr uint32_t kGalinavephemerisLength = 184;
inline constexpr uint32_t kGalfnavephemerisLength = 172;
inline constexpr uint32_t kQzssephemerisLength = 228;
inline constexpr uint32_t kQzssionutcLength = 108; // laid out as IONUTC
inline constexpr uint32_t kBdsionoLength = 68;
inline constexpr uint32_t kBdsclockLength = 72;
inline constexpr uint32_t kBdsephemerisLength = 196;
// Bodies of a u32 item count (at kRawalmCountAt for RAWALM, else at 0)
// and that many items.
inline constexpr uint32_t kRangeFixedLength = 4;
inline constexpr uint32_t kRangeObsSize = 44;
inline constexpr uint32_t kCompressedObsSize = 24;
inline constexpr uint32_t kAlmanacFixedLength = 4;
inline constexpr uint32_t kAlmanacItemLength = 112;
inline constexpr uint32_t kRawalmFixedLength = 12;
inline constexpr uint32_t kRawalmItemLength = 32;
inline constexpr uint32_t kRawalmCountAt = 8;
inline constexpr uint32_t kVersionFixedLength = 4;
inline constexpr uint32_t kVersionItemLength = 108;
// RANGECMP2, RANGECMP4 and RANGECMP5: a u32 byte count and that many bytes
// of bit-packed range data, so each byte counts as one item.
inline constexpr uint32_t kPackedRangeFixedLength = 4;
inline constexpr uint32_t kPackedRangeItemLength = 1;

// Field offsets of a RANGE observation.
inline constexpr size_t kObsPrnAt = 0;
inline constexpr size_t kObsReservedAt = 2; // GLONASS frequency channel + 7
inline constexpr size_t kObsPseudorangeAt = 4;
inline constexpr size_t kObsPseudorangeSigmaAt = 12;
inline constexpr size_t kObsPhaseAt = 16;
inline constexpr size_t kObsPhaseSigmaAt = 24;
inline constexpr size_t kObsDopplerAt = 28;
inline constexpr size_t kObsCnoAt = 32;
inline constexpr size_t kObsLockTimeAt = 36;
inline constexpr size_t kObsStatusAt = 40;

// ---- channel tracking status (one u32 per observation) ---------------------
inline constexpr uint32_t kStatusPhaseLockBit = 1u << 10;
// Clear while the navigation data's parity, and with it the carrier's
// half-cycle, is not known.
inline constexpr uint32_t kStatusParityKnownBit = 1u << 11;
inline constexpr uint32_t kStatusCodeLockBit = 1u << 12;
// Parity known and code locked: both set means the code measurement is good.
inline constexpr uint32_t kStatusCodeTrackingBits = (1u << 11) | (1u << 12);
// Satellite system, bits 16-18.
inline constexpr uint32_t TrackingSystem(uint32_t status) { return (status >> 16) & 7u; }
// Signal type, bits 21-25.
inline constexpr uint32_t TrackingSignal(uint32_t status) { return (status >> 21) & 31u; }
// Bits of the status word that records without one are given by their
// decoders, so that every reader takes their observations like RANGE's.
inline constexpr uint32_t kStatusCodeLockedBit = 1u << 12;
inline constexpr uint32_t kStatusTrackingStateMask = 31u;     // bits 0-4
inline constexpr uint32_t kStatusTrackingPhaseLock = 4;       // phase lock loop: the primary signal
inline constexpr uint32_t kStatusTrackingAidedPhaseLock = 11; // aided phase lock loop: the others
inline constexpr unsigned kStatusChannelShift = 5;            // bits 5-9
inline constexpr unsigned kStatusCorrelatorShift = 13;        // bits 13-15
inline constexpr unsigned kStatusSystemShift = 16;            // bits 16-18
inline constexpr uint32_t kStatusGroupedBit = 1u << 20;       // the satellite has more signals in the record
inline constexpr unsigned kStatusSignalShift = 21;            // bits 21-25
inline constexpr uint32_t kStatusPrimaryL1Bit = 1u << 27;
inline constexpr uint32_t kStatusHalfCycleAddedBit = 1u << 28;
// Frequency, bits 21-22, as the older receivers split the signal type.
inline constexpr uint32_t ObsFrequency(uint32_t status) { return (status >> 21) & 3u; }
inline constexpr uint32_t kFrequencyL1 = 0;
inline constexpr uint32_t kFrequencyL2 = 1;

// ---- limits ---------------------------------------------------------------
// Satellites an epoch holds: the most the observation file's channels may be
// set to, the compressed observations a RANGECMP record may carry into an
// epoch (more are cut with the MAXCHAN notice) and the most the clock
// solution takes.
inline constexpr uint32_t MAXCHAN = 24;
