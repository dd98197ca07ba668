// RANGECMP2 (1273) and RANGECMP4 (2050): the bit-packed range records of
// the OEM7 receivers, decoded into the port's neutral epoch.
//
// Neither record carries a channel tracking status word. Each observation
// is given one, built from what the record does say (system, signal, phase
// and code lock, parity, half cycle, primary signal), so that the readers
// of the epoch (observation file screening, RINEX, report) take these
// observations exactly like RANGE's. Signals are renumbered into the
// status word's signal types; phase keeps the RANGE sign (accumulated
// Doppler range, the opposite of the phase range in metres).
#pragma once

#include <array>
#include <cstdint>

#include "common/decoded_epoch.h"
#include "common/gnss_time.h"
#include "common/le.h"
#include "common/oem4_format.h"
#include "common/physics.h"
#include "oem4/oem4_decoder.h"
#include "oem4/signals.h"
#include "threadbuf/threadbuf.h"

// Standard deviation codes of both records: pseudorange (m) and phase
// (cycles).
inline constexpr std::array<float, 16> kPseudorangeSigma = {0.020f, 0.030f, 0.045f, 0.066f, 0.099f, 0.148f,
                                                            0.220f, 0.329f, 0.491f, 0.732f, 1.092f, 1.629f,
                                                            2.430f, 3.625f, 5.409f, 5.409f};
inline constexpr std::array<float, 16> kPhaseSigma = {0.00391f, 0.00521f, 0.00696f, 0.00929f, 0.01239f, 0.01654f,
                                                      0.02208f, 0.02947f, 0.03933f, 0.05249f, 0.07006f, 0.09350f,
                                                      0.12480f, 0.16656f, 0.22230f, 0.22230f};

// RANGECMP5's standard deviation codes: pseudorange (m) and phase (cycles),
// RANGECMP4's tables carried on in the same steps. Phase codes 7 and 10
// follow the steps (0.01182, 0.01900): NovAtel's open decoder has ten times
// these, out of the progression around them.
inline constexpr std::array<float, 32> kWidePseudorangeSigma = {
    0.020f,  0.030f,  0.045f,  0.066f,  0.099f,  0.148f,   0.220f,   0.329f,   0.491f,   0.732f,  1.092f,
    1.629f,  2.430f,  3.625f,  5.409f,  6.876f,  8.741f,   11.111f,  14.125f,  17.957f,  22.828f, 29.020f,
    36.891f, 46.898f, 59.619f, 75.791f, 96.349f, 122.484f, 155.707f, 197.943f, 251.634f, 251.634f};
inline constexpr std::array<float, 32> kWidePhaseSigma = {
    0.00391f, 0.00458f, 0.00536f, 0.00628f, 0.00735f, 0.00861f, 0.01001f, 0.01182f, 0.01385f, 0.01621f, 0.01900f,
    0.02223f, 0.02607f, 0.03054f, 0.03577f, 0.04190f, 0.04908f, 0.05749f, 0.06734f, 0.07889f, 0.09240f, 0.10824f,
    0.12679f, 0.14851f, 0.17396f, 0.20378f, 0.23870f, 0.27961f, 0.32753f, 0.38366f, 0.44940f, 0.44940f};

// What decoding a packed record into dec->decoded gave.
enum PackedResult : int32_t {
    PACKED_EPOCH = 0,      // the epoch holds the record's observations
    PACKED_SAME_EPOCH = 1, // the port already decoded an epoch of this time from another record
    PACKED_EMPTY = 2,      // no usable observation
};

// Decode the port's current record (dec->record) into dec->decoded. Every
// block that cannot be decoded is dropped with a message through the port;
// the rest of the record is kept whenever its position is still known.
PackedResult DecodeRangecmp2Epoch(Oem4Decoder *dec);
PackedResult DecodeRangecmp4Epoch(Oem4Decoder *dec);
PackedResult DecodeRangecmp5Epoch(Oem4Decoder *dec);
// What the record decoders return for it: the epoch emitted, or nothing
// (a record repeating an epoch's time counted).
int32_t EmitPackedEpoch(Oem4Decoder *dec, PackedResult result, ThreadBuf *buf);

// ---- shared by both records -------------------------------------------------

// The system numbering of both records' satellite system fields.
inline constexpr uint32_t kPackedSystemIds = 16;
// The SatelliteSystem of a record system id, or SYS_OTHER when none (L-band
// and the reserved ids carry no ranging observation).
inline SatelliteSystem PackedSystem(uint32_t id) {
    switch (id) {
    case 0: return SYS_GPS;
    case 1: return SYS_GLONASS;
    case 2: return SYS_SBAS;
    case 5: return SYS_GALILEO;
    case 6: return SYS_BEIDOU;
    case 7: return SYS_QZSS;
    case 9: return SYS_NAVIC;
    default: return SYS_OTHER;
    }
}

inline constexpr int kGlonassFrequencyOffset = 7; // the records store the channel + 7
// GLONASS frequency channels are -7 to +6: a stored value above this names
// no carrier.
inline constexpr uint32_t kMaxGlonassFrequency = 13;

// What the records say of one observation, for its status word.
struct StatusFields {
    SatelliteSystem system;
    uint32_t signal; // status word signal type
    uint32_t channel;
    uint32_t correlator;
    bool phaseLocked;
    bool parityKnown;
    bool codeLocked;
    bool grouped; // the satellite has more than one signal in the record
    bool primary; // the satellite's primary (L1) signal
    bool halfCycleAdded;
};
inline uint32_t SynthesiseStatus(const StatusFields &f) {
    uint32_t status = f.primary ? kStatusTrackingPhaseLock : kStatusTrackingAidedPhaseLock;
    status |= (f.channel & 31u) << kStatusChannelShift;
    if (f.phaseLocked) status |= kStatusPhaseLockBit;
    if (f.parityKnown) status |= kStatusParityKnownBit;
    if (f.codeLocked) status |= kStatusCodeLockedBit;
    status |= (f.correlator & 7u) << kStatusCorrelatorShift;
    status |= (static_cast<uint32_t>(f.system) & 7u) << kStatusSystemShift;
    if (f.grouped) status |= kStatusGroupedBit;
    status |= (f.signal & 31u) << kStatusSignalShift;
    if (f.primary) status |= kStatusPrimaryL1Bit;
    if (f.halfCycleAdded) status |= kStatusHalfCycleAddedBit;
    return status;
}

// The bytes of packed range data of the record being decoded: its count,
// never beyond the body (the framing has matched the two already).
inline uint32_t PackedDataSize(const Oem4Decoder *dec) {
    const uint32_t body = le::U2(dec->record.data() + kHeaderMessageLengthAt);
    const uint32_t count = le::U4(RecordBody(dec));
    return body < kPackedRangeFixedLength           ? 0
           : count < body - kPackedRangeFixedLength ? count
                                                    : body - kPackedRangeFixedLength;
}

// A signal not seen for this long may have lost lock and locked again in
// between: lock time worked out from earlier records is not carried over
// such a gap. Longer than the intervals receivers log at (30 s at most).
inline constexpr double kLockTimeGap = 60.0; // s

// GPS seconds since the start of week 0 of the record being decoded.
inline double ContinuousTime(const Oem4Decoder *dec) {
    return HeaderWeek(dec) * static_cast<double>(kSecondsPerWeek) + HeaderTime(dec);
}

// Starts dec->decoded for the current record. Returns false, leaving the
// previous epoch in place, when that one has the same time: a log that
// carries one epoch in two range records gives it once.
bool BeginPackedEpoch(Oem4Decoder *dec);

// A range record of the antenna the port does not decode (PortAntenna):
// skipped, true, after the first antenna's port has counted it and handed
// it to its receiver. Taken as an epoch, a second antenna's record would
// follow the first antenna's epoch of the same time with the other
// antenna's observations, a metre or more away, and the files would mix
// the two antennas.
bool SkipOtherAntenna(Oem4Decoder *dec);

// The record table's decoder of RANGE and RANGECMP: the range decoder,
// except for a record of the epoch a RANGECMP2, RANGECMP4 or RANGECMP5
// record already gave, which is skipped.
int32_t DecodeRangeAfterPacked(int32_t port, ThreadBuf *buf);

// Appends an observation to dec->decoded (counted as dropped when full).
void AddPackedObservation(Oem4Decoder *dec, const DecodedObservation &obs);
