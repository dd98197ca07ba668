// Byte-at-a-time framing of the OEM4 binary stream: sync, header checks,
// record table lookup, length and item-count checks, CRC, dispatch to the
// record's decoder, and resynchronisation by re-feeding a rejected
// candidate from its second byte.
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/error_text.h"
#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"
#include "oem4/decoders.h"
#include "oem4/oem4_decoder.h"
#include "oem4/packed_ranges.h"

namespace {

// Searched in this order; RANGE and RANGECMP share one decoder.
// GPSEPHEM and BESTXYZ are the decoded ephemeris and the Earth-centred
// position that receivers are often told to log instead of RAWEPHEM and
// BESTPOS. VERSION and IONUTC feed the headers of the RINEX files. The
// ephemerides of the other systems and their ionosphere and time records
// feed the RINEX navigation file only. RANGECMP2, RANGECMP4 and RANGECMP5
// are a byte count and that many bytes of bit-packed ranges. The other mark
// inputs' records, and the positions at a mark of every input, are only
// counted: a pulse that the mark file does not get must not go unnoticed.
constexpr std::array<RecordTableEntry, 37> kRecordTable = {{
    {kMsgBestpos, "BESTPOS", kBestposLength, 0, 0, 0, DecodeBestpos},
    {kMsgClockModel, "PROPAGATEDCLOCKMODEL", kClockModelLength, 0, 0, 0, DecodeClockModel},
    {kMsgAlmanac, "ALMANAC", kAlmanacFixedLength, kAlmanacItemLength, 0, 4, DecodeAlmanac},
    {kMsgRawalm, "RAWALM", kRawalmFixedLength, kRawalmItemLength, kRawalmCountAt, 4, nullptr},
    {kMsgRange, "RANGE", kRangeFixedLength, kRangeObsSize, 0, 4, DecodeRangeAfterPacked},
    {kMsgRangecmp, "RANGECMP", kRangeFixedLength, kCompressedObsSize, 0, 4, DecodeRangeAfterPacked},
    {kMsgRawephem, "RAWEPHEM", kRawephemLength, 0, 0, 0, DecodeRawephem},
    {kMsgMarktime, "MARKTIME", kMarktimeLength, 0, 0, 0, DecodeMarktime},
    {kMsgGpsephem, "GPSEPHEM", kGpsephemLength, 0, 0, 0, DecodeGpsephem},
    {kMsgBestxyz, "BESTXYZ", kBestxyzLength, 0, 0, 0, DecodeBestxyz},
    {kMsgVersion, "VERSION", kVersionFixedLength, kVersionItemLength, 0, 4, DecodeVersion},
    {kMsgIonutc, "IONUTC", kIonutcLength, 0, 0, 0, DecodeIonutc},
    {kMsgGloephemeris, "GLOEPHEMERIS", kGloephemerisLength, 0, 0, 0, DecodeGloephemeris},
    {kMsgGalephemeris, "GALEPHEMERIS", kGalephemerisLength, 0, 0, 0, DecodeGalephemeris},
    {kMsgGalinavephemeris, "GALINAVEPHEMERIS", kGalinavephemerisLength, 0, 0, 0, DecodeGalinavephemeris},
    {kMsgGalfnavephemeris, "GALFNAVEPHEMERIS", kGalfnavephemerisLength, 0, 0, 0, DecodeGalfnavephemeris},
    {kMsgBdsephemeris, "BDSEPHEMERIS", kBdsephemerisLength, 0, 0, 0, DecodeBdsephemeris},
    {kMsgQzssephemeris, "QZSSEPHEMERIS", kQzssephemerisLength, 0, 0, 0, DecodeQzssephemeris},
    {kMsgGaliono, "GALIONO", kGalionoLength, 0, 0, 0, DecodeGaliono},
    {kMsgGalclock, "GALCLOCK", kGalclockLength, 0, 0, 0, DecodeGalclock},
    {kMsgBdsiono, "BDSIONO", kBdsionoLength, 0, 0, 0, DecodeBdsiono},
    {kMsgBdsclock, "BDSCLOCK", kBdsclockLength, 0, 0, 0, DecodeBdsclock},
    {kMsgQzssionutc, "QZSSIONUTC", kQzssionutcLength, 0, 0, 0, DecodeQzssionutc},
    {kMsgRangecmp2, "RANGECMP2", kPackedRangeFixedLength, kPackedRangeItemLength, 0, 4, DecodeRangecmp2},
    {kMsgRangecmp4, "RANGECMP4", kPackedRangeFixedLength, kPackedRangeItemLength, 0, 4, DecodeRangecmp4},
    {kMsgRangecmp5, "RANGECMP5", kPackedRangeFixedLength, kPackedRangeItemLength, 0, 4, DecodeRangecmp5},
    {kMsgMark2time, "MARK2TIME", kMarktimeLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark3time, "MARK3TIME", kMarktimeLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark4time, "MARK4TIME", kMarktimeLength, 0, 0, 0, CountMarkRecord},
    {kMsgMarkpos, "MARKPOS", kBestposLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark2pos, "MARK2POS", kBestposLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark3pos, "MARK3POS", kBestposLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark4pos, "MARK4POS", kBestposLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark1pva, "MARK1PVA", kMarkPvaLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark2pva, "MARK2PVA", kMarkPvaLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark3pva, "MARK3PVA", kMarkPvaLength, 0, 0, 0, CountMarkRecord},
    {kMsgMark4pva, "MARK4PVA", kMarkPvaLength, 0, 0, 0, CountMarkRecord},
}};

// What the framing's index arithmetic relies on, checked for every row: the
// smallest record fits the record buffer, and an item count lies inside the
// fixed part of the body, so that it is complete and checked before any
// record of the row can end.
constexpr bool RecordTableFitsTheFraming() {
    for (const RecordTableEntry &row : kRecordTable) {
        if (kOem4HeaderLength + row.fixedLength + kOem4CrcLength >= kRecordBufferSize) return false;
        if (row.itemLength == 0) continue;
        if (row.countSize != 1 && row.countSize != 2 && row.countSize != 4) return false;
        if (row.countOffset + row.countSize > row.fixedLength) return false;
    }
    return true;
}
static_assert(RecordTableFitsTheFraming());
static_assert(kOem4HeaderLength + 0xFFFFu + kOem4CrcLength < kLongRecordBufferSize,
              "a record ends at its stated length inside the record buffer");

// Row + 1 of each message id in the table, 0 for the others: the lookup of
// every candidate header is one load rather than a search.
constexpr uint32_t kMaxTableId = 2537;
constexpr std::array<uint8_t, kMaxTableId + 1> kRowOfId = [] {
    std::array<uint8_t, kMaxTableId + 1> rows{};
    for (size_t k = 0; k < kRecordTable.size(); ++k) {
        uint8_t &row = rows[kRecordTable[k].messageId];
        if (row == 0) row = static_cast<uint8_t>(k + 1); // the first row of an id, as a search finds
    }
    return rows;
}();
static_assert([] {
    for (const RecordTableEntry &row : kRecordTable) {
        if (row.messageId > kMaxTableId) return false;
    }
    return kRecordTable.size() < 255;
}());

bool g_portTableInitialised = false;
std::array<Oem4Decoder *, kMaxPorts> g_portTable;

} // namespace

Oem4Decoder *GetOpenPort(int32_t port) {
    if (!g_portTableInitialised || port < 0 || port >= kMaxPorts) return nullptr;
    Oem4Decoder *dec = g_portTable[static_cast<size_t>(port)];
    return dec != nullptr && dec->open != 0 ? dec : nullptr;
}

int32_t OpenPort(int32_t port, PortMessageFn callback) {
    if (port < 0 || port >= kMaxPorts) {
        SetErrorText("Invalid port number");
        return 1;
    }
    if (!g_portTableInitialised) {
        g_portTable.fill(nullptr);
        g_portTableInitialised = true;
    }
    Oem4Decoder *&dec = g_portTable[static_cast<size_t>(port)];
    if (dec == nullptr) {
        dec = new (std::nothrow) Oem4Decoder;
        if (dec == nullptr) {
            SetErrorText("Not enough memory");
            return 1;
        }
        dec->longArea = nullptr; // the one field kept from an earlier opening
    }
    LongRecordArea *const longArea = dec->longArea;
    std::memset(static_cast<void *>(dec), 0, sizeof *dec);
    dec->longArea = longArea;
    dec->open = 1;
    dec->body = dec->record.data() + kOem4HeaderLength;
    dec->port = port;
    dec->callback = callback;
    dec->state = WAIT_SYNC;
    dec->options.maxPositionAge = 1.0;
    dec->gpsEphemerisSent = NAN;
    return 0;
}

void SetPortOptions(int32_t port, const Oem4Options *options, int32_t size) {
    if (!g_portTableInitialised || port < 0 || port >= kMaxPorts) return;
    Oem4Decoder *dec = g_portTable[static_cast<size_t>(port)];
    if (dec == nullptr || options == nullptr || !IsOem4OptionsSize(size)) return;
    // The shorter record has no channels field: the default stays in force.
    dec->options = Oem4Options{};
    std::memcpy(&dec->options, options, static_cast<size_t>(size));
}

const RecordTableEntry *FindRecordTableEntry(uint32_t messageId) {
    if (messageId >= kRowOfId.size()) return nullptr;
    const uint8_t row = kRowOfId[messageId];
    return row != 0 ? &kRecordTable[row - 1u] : nullptr;
}

bool CheckRecordLength(const RecordTableEntry *row, uint32_t messageLength) {
    if (row->itemLength == 0) return messageLength == row->fixedLength;
    return messageLength >= row->fixedLength && (messageLength - row->fixedLength) % row->itemLength == 0;
}

bool CheckItemCount(const Oem4Decoder *dec) {
    return ItemCountFits(dec->row, le::U2(dec->record.data() + kHeaderMessageLengthAt), RecordBody(dec));
}

bool CheckRecordCrc(const Oem4Decoder *dec) {
    const uint8_t *bytes = dec->longRecord != 0 ? dec->longArea->record.data() : dec->record.data();
    const uint32_t covered = kOem4HeaderLength + le::U2(bytes + kHeaderMessageLengthAt);
    return Oem4Crc32(bytes, covered) == le::U4(bytes + covered);
}

double HeaderTime(const Oem4Decoder *dec) { return le::I4(dec->record.data() + kHeaderMillisecondsAt) * 0.001; }
uint16_t HeaderWeek(const Oem4Decoder *dec) { return le::U2(dec->record.data() + kHeaderWeekAt); }
uint8_t HeaderTimeStatus(const Oem4Decoder *dec) { return dec->record[kHeaderTimeStatusAt]; }

void PortReport(const Oem4Decoder *dec, double time, const char *text) {
    if (dec->callback != nullptr) dec->callback(time, text);
}

void PortReportf(const Oem4Decoder *dec, double time, const char *format, ...) {
    if (dec->callback == nullptr) return;
    va_list args;
    va_start(args, format);
    FormatErrorTextV(format, args);
    va_end(args);
    dec->callback(time, ErrorText);
}

void PortReportPutFailure(const Oem4Decoder *dec, double time, int32_t code) {
    PortReport(dec, time, GetThreadBufErrString(code));
}

namespace {

bool HasPending(const Oem4Decoder *dec) { return dec->pendingAt < dec->pendingEnd; }

// Where the candidate's bytes are being collected.
uint8_t *CollectedBytes(Oem4Decoder *dec) {
    return dec->longRecord != 0 ? dec->longArea->record.data() : dec->record.data();
}

// Where the waiting bytes are, and how many that area holds.
uint8_t *PendingBytes(Oem4Decoder *dec) {
    return dec->longPending != 0 ? dec->longArea->pending.data() : dec->pending.data();
}
uint32_t PendingCapacity(const Oem4Decoder *dec) {
    return dec->longPending != 0 ? kLongRecordBufferSize : kRecordBufferSize;
}

// Puts the candidate's bytes from the second on in front of the bytes still
// waiting, and returns the port to WAIT_SYNC. Of a long record only the
// bytes after its first 8192 go back: those were dropped with its overrun,
// and the rest is looked through as it would have been had the record been
// dropped there. Bytes that do not fit the port's own area (only a long
// record's, or bytes waiting after one) go to the long record area.
void RequeueCandidate(Oem4Decoder *dec) {
    const uint32_t from = dec->longRecord != 0 ? kRecordBufferSize : 1;
    const uint8_t *collected = CollectedBytes(dec);
    uint32_t n = dec->collected > from ? dec->collected - from : 0;
    uint32_t waiting = dec->pendingEnd - dec->pendingAt;
    if (dec->longPending == 0 && n + waiting > kRecordBufferSize && dec->longArea != nullptr) {
        // At the same place in the larger area; moved to their place below.
        std::memcpy(dec->longArea->pending.data() + dec->pendingAt, dec->pending.data() + dec->pendingAt, waiting);
        dec->longPending = 1;
    }
    uint8_t *area = PendingBytes(dec);
    const uint32_t capacity = PendingCapacity(dec);
    // Cannot happen (see Oem4Decoder); never write past the area if it did.
    if (n > capacity) n = capacity;
    if (n + waiting > capacity) waiting = capacity - n;
    std::memmove(area + n, area + dec->pendingAt, waiting);
    std::memcpy(area, collected + from, n);
    dec->pendingAt = 0;
    dec->pendingEnd = n + waiting;
    dec->collected = 0;
    dec->longRecord = 0;
    dec->state = WAIT_SYNC;
}

// Puts a fresh byte behind the waiting ones. A record found in the middle
// of the waiting bytes leaves them where they are, so the write index runs
// ahead of the bytes actually waiting; when it reaches the end of the area
// they are moved back to its front, which the waiting bytes (fewer than
// the area holds, see Oem4Decoder) always leaves room for one more.
void QueueByte(Oem4Decoder *dec, uint8_t byte) {
    uint8_t *area = PendingBytes(dec);
    const uint32_t capacity = PendingCapacity(dec);
    if (dec->pendingEnd == capacity) {
        const uint32_t waiting = dec->pendingEnd - dec->pendingAt;
        std::memmove(area, area + dec->pendingAt, waiting);
        dec->pendingAt = 0;
        dec->pendingEnd = waiting;
    }
    // Cannot happen; never write past the area if it did.
    if (dec->pendingEnd == capacity) return;
    area[dec->pendingEnd++] = byte;
}

int32_t StepByte(Oem4Decoder *dec, int32_t port, uint8_t byte, ThreadBuf *buf);

// Feeds waiting bytes until one completes a record or none is left; the
// bytes after a completed record keep waiting for the next call. Rejections
// met on the way only queue their bytes again, so this never recurses.
int32_t FeedPending(Oem4Decoder *dec, int32_t port, ThreadBuf *buf) {
    dec->resyncing = 1;
    int32_t result = 0;
    while (result == 0 && HasPending(dec)) {
        // A rejection met on the way may move the waiting bytes to the long
        // record area: the byte is read before it steps.
        const uint8_t byte = PendingBytes(dec)[dec->pendingAt++];
        result = StepByte(dec, port, byte, buf);
    }
    if (!HasPending(dec)) {
        dec->pendingAt = dec->pendingEnd = 0;
        dec->longPending = 0;
    }
    dec->resyncing = 0;
    return result;
}

} // namespace

int32_t ResyncPort(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) return 0;
    // Announced once per rejection of fresh input, not for the rejections
    // found while its bytes are fed again.
    if (dec->resyncing == 0 && !HasPending(dec) && dec->options.reportAll != 0) {
        PortReport(dec, -1.0, "Record decoding failed, recursively trying to look for more valid data");
    }
    RequeueCandidate(dec);
    if (dec->resyncing != 0) return 0; // the feeding loop under way takes them
    return FeedPending(dec, port, buf);
}

int32_t FlushPort(int32_t port, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) {
        SetErrorText("OpenPort not called");
        return -1;
    }
    for (;;) {
        if (HasPending(dec)) {
            const int32_t result = FeedPending(dec, port, buf);
            if (result != 0) return result;
            continue;
        }
        if (dec->state == WAIT_SYNC) return 0;
        // A record the input left incomplete: dropped, but records hidden
        // in its bytes are still looked for.
        RequeueCandidate(dec);
    }
}

namespace {

// The header's first ten bytes passed their checks: collect the rest of the
// record.
void StartBody(Oem4Decoder *dec, uint32_t messageLength) {
    dec->longRecord = 0;
    dec->countEnd = dec->row->itemLength != 0 ? kOem4HeaderLength + dec->row->countOffset + dec->row->countSize : 0;
    dec->expectedTotal = kOem4HeaderLength + messageLength + kOem4CrcLength;
    dec->state = static_cast<int32_t>(dec->row->messageId);
}

// A candidate's header bytes 2 to 10 at hand: when they pass every check,
// DecodeByte would only store each of them, so they are taken at once.
// Otherwise they go through DecodeByte, which rejects at the same byte and
// re-feeds as always (the copies made here are then written over).
bool TakeWholeHeader(Oem4Decoder *dec, const uint8_t *h) { // h[k - 1] is record byte k
    std::memcpy(dec->record.data() + 1, h, kHeaderChecksEnd - 1);
    const RecordTableEntry *row = nullptr;
    if (CheckHeaderBytes(dec->record.data(), 1, kHeaderChecksEnd, &row) != HEADER_COMPLETE) return false;
    dec->collected = kHeaderChecksEnd;
    dec->row = row;
    StartBody(dec, le::U2(dec->record.data() + kHeaderMessageLengthAt));
    return true;
}

// A complete record that passed every check: counted, and handed to its
// decoder in an empty ThreadBuf. Returns the decoder's result.
int32_t DecodeCheckedRecord(Oem4Decoder *dec, int32_t port, ThreadBuf *buf) {
    ++dec->framingStats.records;
    dec->framingStats.recordBytes += dec->expectedTotal;
    ClearThreadBuf(buf);
    dec->state = WAIT_SYNC;
    return dec->row->decoder != nullptr ? dec->row->decoder(port, buf) : 0;
}

// A header just taken whose whole record lies in the block: when the record
// passes its item count and its CRC, it is decoded at once, as DecodeByte
// would at its last byte, and the result is in *result. Only the header is
// copied (the driver reads the record's time from it after the decoder has
// run); the decoder reads the body where it lies in the block, which stays
// in place until this call of DecodeBytes returns. Else only header bytes
// past those collected were written (nothing reads them) and the bytes go
// the usual way, which rejects the record at the same byte with the same
// message. h points at the record's first byte.
bool TakeWholeRecord(Oem4Decoder *dec, int32_t port, const uint8_t *h, uint32_t available, ThreadBuf *buf,
                     int32_t *result) {
    const uint32_t total = dec->expectedTotal;
    if (total > available || total >= kRecordBufferSize) return false;
    std::memcpy(dec->record.data() + kHeaderChecksEnd, h + kHeaderChecksEnd, kOem4HeaderLength - kHeaderChecksEnd);
    const uint8_t *ownBody = dec->record.data() + kOem4HeaderLength;
    dec->body = h + kOem4HeaderLength;
    const uint32_t covered = total - kOem4CrcLength;
    if ((dec->countEnd != 0 && !CheckItemCount(dec)) || Oem4Crc32(h, covered) != le::U4(h + covered)) {
        dec->body = ownBody;
        return false;
    }
    // Collected as far as the record buffer holds it: a candidate never
    // re-fed from here (it passed), but nothing may re-feed bytes it lacks.
    dec->collected = kOem4HeaderLength;
    *result = DecodeCheckedRecord(dec, port, buf);
    dec->body = ownBody;
    return true;
}

} // namespace

int32_t DecodeByte(int32_t port, uint8_t byte, ThreadBuf *buf) {
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) {
        SetErrorText("OpenPort not called");
        return -1;
    }
    // Bytes still waiting from a rejected candidate come before this one.
    if (HasPending(dec)) {
        QueueByte(dec, byte);
        return FeedPending(dec, port, buf);
    }
    return StepByte(dec, port, byte, buf);
}

namespace {

// Whether the candidate at its 8192nd byte goes on being collected, in the
// long record area: a range record, while the RINEX export takes the
// port's decoded epochs (the observation file never gets it), and when the
// area can be had.
bool StartLongRecord(Oem4Decoder *dec) {
    if (dec->epochHandler == nullptr ||
        (dec->state != static_cast<int32_t>(kMsgRange) && dec->state != static_cast<int32_t>(kMsgRangecmp))) {
        return false;
    }
    if (dec->longArea == nullptr) dec->longArea = new (std::nothrow) LongRecordArea;
    if (dec->longArea == nullptr) return false;
    std::memcpy(dec->longArea->record.data(), dec->record.data(), kRecordBufferSize);
    dec->longRecord = 1;
    return true;
}

// A long record that passed its CRC, decoded where it was collected. The
// flag is for its decoder only: a candidate that starts next and is
// rejected re-feeds from its second byte.
int32_t DecodeLongRecord(Oem4Decoder *dec, int32_t port, ThreadBuf *buf) {
    dec->body = dec->longArea->record.data() + kOem4HeaderLength;
    const int32_t result = DecodeCheckedRecord(dec, port, buf);
    dec->body = dec->record.data() + kOem4HeaderLength;
    dec->longRecord = 0;
    return result;
}

// A long record whose CRC failed: what the framing would have looked
// through after dropping it at its 8192nd byte is looked through now.
int32_t DropLongRecord(Oem4Decoder *dec, int32_t port, ThreadBuf *buf) {
    RequeueCandidate(dec);
    if (dec->resyncing != 0) return 0; // the feeding loop under way takes them
    return FeedPending(dec, port, buf);
}

int32_t StepByte(Oem4Decoder *dec, int32_t port, uint8_t byte, ThreadBuf *buf) {
    if (dec->state == WAIT_SYNC) {
        if (IsOem4LeadByte(0, byte)) {
            dec->record[0] = byte;
            dec->collected = 1;
            dec->row = nullptr;
            dec->state = READ_HEADER;
        }
        return 0;
    }
    if (dec->state == READ_HEADER) {
        dec->record[dec->collected++] = byte;
        const uint32_t at = dec->collected - 1;
        const HeaderCheck check = CheckHeaderBytes(dec->record.data(), at, at + 1, &dec->row);
        if (check == HEADER_GOOD_SO_FAR) return 0;
        if (check == HEADER_COMPLETE) {
            StartBody(dec, le::U2(dec->record.data() + kHeaderMessageLengthAt));
            return 0;
        }
        if (check == HEADER_BAD_LENGTH) {
            ++dec->framingStats.lengthFailures;
            if (dec->options.reportAll != 0) {
                PortReportf(dec, -1.0, "Invalid record length for '%s' record on port %d", dec->row->name, port);
            }
        }
        dec->state = WAIT_SYNC;
        return ResyncPort(port, buf);
    }

    // Collecting the rest of the header, the body and the CRC. A record
    // ends at its stated length, which the long record area always holds.
    if (dec->longRecord == 0) {
        dec->record[dec->collected++] = byte;
        if (dec->collected >= kRecordBufferSize) {
            FormatErrorText("NovAtel Buffer overrun for record %d on port %d", dec->state, port);
            PortReport(dec, -1.0, ErrorText);
            if (!StartLongRecord(dec)) {
                dec->state = WAIT_SYNC;
                return 0;
            }
        }
    } else {
        dec->longArea->record[dec->collected++] = byte;
    }
    if (dec->collected == dec->countEnd && !CheckItemCount(dec)) {
        ++dec->framingStats.lengthFailures;
        PortReportf(dec, -1.0, "Invalid variable data length on record %d on port %d", dec->state, port);
        dec->state = WAIT_SYNC;
        return ResyncPort(port, buf);
    }
    if (dec->collected < dec->expectedTotal) return 0;

    if (!CheckRecordCrc(dec)) {
        // Its overrun has been reported: dropped without a word more, as at
        // its 8192nd byte.
        if (dec->longRecord != 0) return DropLongRecord(dec, port, buf);
        ++dec->framingStats.crcFailures;
        PortReportf(dec, -1.0, "32bit CRC failure on '%s' record on port %d", dec->row->name, port);
        dec->state = WAIT_SYNC;
        return ResyncPort(port, buf);
    }
    return dec->longRecord != 0 ? DecodeLongRecord(dec, port, buf) : DecodeCheckedRecord(dec, port, buf);
}

} // namespace

int32_t DecodeBytes(int32_t port, const uint8_t *data, uint32_t size, ThreadBuf *buf, uint32_t *used) {
    *used = 0;
    Oem4Decoder *dec = GetOpenPort(port);
    if (dec == nullptr) {
        SetErrorText("OpenPort not called");
        return size != 0 ? -1 : 0;
    }
    uint32_t i = 0;
    while (i < size) {
        if (HasPending(dec)) {
            // Fresh bytes queue behind the waiting ones: one at a time.
        } else if (dec->state == WAIT_SYNC) {
            // Nothing but a sync byte changes the waiting machine, and a
            // sync byte only starts a candidate.
            const void *sync = std::memchr(data + i, kOem4Sync1, size - i);
            if (sync == nullptr) {
                i = size;
                break;
            }
            i = static_cast<uint32_t>(static_cast<const uint8_t *>(sync) - data) + 1;
            dec->record[0] = kOem4Sync1;
            dec->collected = 1;
            dec->row = nullptr;
            dec->state = READ_HEADER;
            if (i == size) break;
            if (size - i >= 9 && TakeWholeHeader(dec, data + i)) {
                i += 9;
                // Most records lie whole in a block: one copy and the two
                // checks, instead of stopping at each checkpoint.
                int32_t result = 0;
                if (TakeWholeRecord(dec, port, data + i - kHeaderChecksEnd, size - (i - kHeaderChecksEnd), buf,
                                    &result)) {
                    i += dec->expectedTotal - kHeaderChecksEnd;
                    if (result != 0) {
                        *used = i;
                        return result;
                    }
                }
                continue;
            }
            // A header that fails a check goes on byte by byte below.
        } else if (dec->state >= 0) {
            // Inside a record every byte short of the next checkpoint (the
            // item count, the buffer limit, the end of the record) is only
            // stored, so those bytes are copied at once and the checkpoint
            // byte itself goes through DecodeByte.
            uint32_t checkpoint = dec->expectedTotal;
            if (dec->collected < dec->countEnd && dec->countEnd < checkpoint) checkpoint = dec->countEnd;
            if (dec->collected < kRecordBufferSize && kRecordBufferSize < checkpoint) checkpoint = kRecordBufferSize;
            if (dec->collected + 1 < checkpoint) {
                uint32_t take = checkpoint - 1 - dec->collected;
                if (take > size - i) take = size - i;
                std::memcpy(CollectedBytes(dec) + dec->collected, data + i, take);
                dec->collected += take;
                i += take;
                continue;
            }
        } else if (dec->state == READ_HEADER && dec->collected == 1 && size - i >= 9) {
            if (TakeWholeHeader(dec, data + i)) {
                i += 9;
                continue;
            }
        }
        const int32_t result = DecodeByte(port, data[i++], buf);
        if (result != 0) {
            *used = i;
            return result;
        }
    }
    *used = i;
    return 0;
}
