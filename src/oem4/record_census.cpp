#include "oem4/record_census.h"

#include <cstring>
#include <new>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"
#include "oem4/oem4_decoder.h"

namespace {

constexpr uint8_t kShortSync3 = 0x13;
constexpr std::size_t kShortHeaderLength = 12;
constexpr std::size_t kIds = 65536;

// The framing's length checks of a kind it reads: the body length the row
// allows, and for a record of items the item count that gives it.
bool LengthSuits(const RecordTableEntry *row, const uint8_t *h) {
    const uint32_t length = le::U2(h + kHeaderMessageLengthAt);
    return CheckRecordLength(row, length) &&
           (row->itemLength == 0 || ItemCountFits(row, length, h + kOem4HeaderLength));
}

} // namespace

std::size_t ScanRecordCensus(RecordCensus *census, const uint8_t *data, std::size_t have, bool atEnd,
                             std::size_t capacity) {
    std::size_t at = 0;
    while (at < have) {
        const void *sync = std::memchr(data + at, kOem4Sync1, have - at);
        if (sync == nullptr) return have;
        at = static_cast<std::size_t>(static_cast<const uint8_t *>(sync) - data);
        // The lead of a long header (its length 28) or of a short one, and
        // enough of it to know the record's length; short of that, the
        // rest comes with the next bytes.
        const std::size_t left = have - at;
        const uint8_t *h = data + at;
        if (left < 4) {
            if (!atEnd) return at;
            ++at;
            continue;
        }
        const bool isShort = h[2] == kShortSync3;
        if (h[1] != kOem4Sync2 || (h[2] != kOem4Sync3 && !isShort) || (!isShort && h[3] != kOem4HeaderLength)) {
            ++at;
            continue;
        }
        if (!isShort && left < kHeaderMessageLengthAt + 2) {
            if (!atEnd) return at;
            ++at;
            continue;
        }
        const std::size_t total = isShort ? kShortHeaderLength + h[3] + kOem4CrcLength
                                          : kOem4HeaderLength + le::U2(h + kHeaderMessageLengthAt) + kOem4CrcLength;
        if (total > capacity || total > left) {
            if (!atEnd && total <= capacity) return at;
            ++at;
            continue;
        }
        // A record of a kind the framing reads was checked there (its CRC
        // need not be checked again): stepped over by its length when the
        // length suits the kind, so that a damaged header of such a kind
        // claiming a long record does not hide the records behind it.
        const uint32_t id = le::U2(h + kHeaderMessageIdAt);
        if (const RecordTableEntry *row = isShort ? nullptr : FindRecordTableEntry(id); row != nullptr) {
            at += LengthSuits(row, h) ? total : 1;
            continue;
        }
        if (census->checkBudget < total) {
            census->gaveUp = true;
            return have;
        }
        census->checkBudget -= total;
        if (Oem4Crc32(h, total - kOem4CrcLength) != le::U4(h + total - kOem4CrcLength)) {
            ++at;
            continue;
        }
        if (census->recordsOfId == nullptr) census->recordsOfId.reset(new (std::nothrow) uint32_t[kIds]());
        if (census->recordsOfId == nullptr) {
            census->gaveUp = true;
            return have;
        }
        ++census->records;
        census->bytes += total;
        ++census->recordsOfId[id];
        at += total;
    }
    return have;
}

void ReadRecordCensus(RecordCensus *census, CensusReadFn read, void *context, uint8_t *area, std::size_t size) {
    std::size_t held = 0;
    census->checkBudget = kCensusFirstBudget;
    for (;;) {
        const std::size_t n = read(context, area + held, size - held);
        held += n;
        census->checkBudget += kCensusCheckShare * n;
        const bool atEnd = n == 0 || census->gaveUp;
        // What the scan leaves (a record short of its bytes) goes to the
        // front, to be looked at again with the bytes that follow.
        const std::size_t used = ScanRecordCensus(census, area, held, atEnd, size);
        std::memmove(area, area + used, held - used);
        held -= used;
        if (atEnd) return;
    }
}

CensusTop TopCensusIds(const RecordCensus &census) {
    CensusTop top{{}, 0, 0};
    if (census.recordsOfId == nullptr) return top;
    // Most records first; of equal counts, the lower id (ids come in order,
    // and a new one goes behind the equal ones).
    std::array<uint32_t, kCensusTopIds> counts{};
    std::size_t distinct = 0;
    for (std::size_t id = 0; id < kIds; ++id) {
        const uint32_t n = census.recordsOfId[id];
        if (n == 0) continue;
        ++distinct;
        std::size_t k = top.count;
        if (k == kCensusTopIds) {
            if (n <= counts[k - 1]) continue;
            --k; // the last one gives way
        } else {
            ++top.count;
        }
        for (; k > 0 && counts[k - 1] < n; --k) {
            counts[k] = counts[k - 1];
            top.ids[k] = top.ids[k - 1];
        }
        counts[k] = n;
        top.ids[k] = static_cast<uint32_t>(id);
    }
    top.others = distinct - top.count;
    return top;
}
