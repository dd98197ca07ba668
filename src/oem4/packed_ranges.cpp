// What the RANGECMP2, RANGECMP4 and RANGECMP5 decoders share: signal
// frequencies and the start and filling of the port's decoded epoch. And
// what every range decoder does first: a record of the receiver's second
// antenna is skipped.
#include "oem4/packed_ranges.h"

#include "oem4/decoders.h"
#include "oem4/range.h"

namespace {

bool SameEpoch(const Oem4Decoder *dec) {
    const DecodedEpoch &e = dec->decoded;
    return e.count > 0 && e.time == HeaderTime(dec) && e.week == HeaderWeek(dec);
}

} // namespace

bool BeginPackedEpoch(Oem4Decoder *dec) {
    if (SameEpoch(dec)) return false;
    BeginDecodedEpoch(dec);
    return true;
}

bool SkipOtherAntenna(Oem4Decoder *dec) {
    const bool second = IsSecondAntennaRecord(dec->record.data());
    if (dec->antenna == kPortSecondAntenna) return !second;
    if (!second) return false;
    ++dec->framingStats.secondAntennaRanges;
    if (dec->otherAntennaHandler != nullptr) {
        dec->otherAntennaHandler(dec->record.data(), RecordBody(dec),
                                 le::U2(dec->record.data() + kHeaderMessageLengthAt));
    }
    return true;
}

int32_t DecodeRangeAfterPacked(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec != nullptr && buf != nullptr && SkipOtherAntenna(dec)) return RK_NONE;
    // Only after a packed record: logs of RANGE and RANGECMP alone convert
    // as they always did, a repeated epoch included.
    const uint16_t id = dec != nullptr ? dec->decoded.messageId : 0;
    if ((id == kMsgRangecmp2 || id == kMsgRangecmp4 || id == kMsgRangecmp5) && SameEpoch(dec)) {
        ++dec->framingStats.repeatedEpochRanges;
        return RK_NONE;
    }
    return DecodeRange(port, buf);
}

int32_t EmitPackedEpoch(Oem4Decoder *dec, PackedResult result, ThreadBuf *buf) {
    if (result == PACKED_SAME_EPOCH) ++dec->framingStats.repeatedEpochRanges;
    return result == PACKED_EPOCH ? EmitDecodedEpoch(dec, buf) : RK_NONE;
}

void AddPackedObservation(Oem4Decoder *dec, const DecodedObservation &obs) {
    DecodedEpoch &e = dec->decoded;
    if (e.count < kMaxDecodedObservations) {
        e.obs[e.count++] = obs;
    } else {
        ++e.dropped;
    }
}
