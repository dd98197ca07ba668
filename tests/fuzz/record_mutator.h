// Structure-aware mutation for the fuzz targets that take a log: half of
// the mutations rebuild the stream from records instead of flipping bytes.
// Byte mutations alone almost never write a CRC-valid record, let alone a
// long rejected candidate whose body is packed with valid ones, which is
// what drives the re-feeding hardest. The rows are read from the record
// table itself, so records added to it are generated as well.
//
// A target includes this header and defines
//     extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size,
//                                               size_t maxSize, unsigned seed) {
//         return MutateLog(data, size, maxSize, seed, PREFIX_BYTES);
//     }
// where PREFIX_BYTES leading bytes pick the target's options.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

namespace recordmutator {

using Rng = std::minstd_rand;
using Stream = std::vector<uint8_t>;

// The largest record that passes the framing, in bytes.
constexpr uint32_t kLargestRecord = kRecordBufferSize - 1;
constexpr uint32_t kEnvelope = kOem4HeaderLength + kOem4CrcLength;

inline uint32_t Below(Rng &rng, uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng() % n); }
inline bool OneIn(Rng &rng, uint32_t n) { return Below(rng, n) == 0; }

// Every row of the record table, found once by asking it for each id.
inline const std::vector<const RecordTableEntry *> &Rows() {
    static const std::vector<const RecordTableEntry *> rows = [] {
        std::vector<const RecordTableEntry *> found;
        for (uint32_t id = 0; id <= 0xFFFF; ++id) {
            if (const RecordTableEntry *row = FindRecordTableEntry(id)) found.push_back(row);
        }
        return found;
    }();
    return rows;
}

inline const RecordTableEntry *AnyRow(Rng &rng) { return Rows()[Below(rng, static_cast<uint32_t>(Rows().size()))]; }

inline const RecordTableEntry *VariableRow(Rng &rng) {
    for (int tries = 0; tries < 16; ++tries) {
        const RecordTableEntry *row = AnyRow(rng);
        if (row->itemLength != 0) return row;
    }
    return nullptr;
}

// A short record: a fixed-length row, or a variable one with few items.
inline const RecordTableEntry *ShortRow(Rng &rng) {
    const RecordTableEntry *row = AnyRow(rng);
    return row->fixedLength + row->itemLength * 2 <= 400 ? row : AnyRow(rng);
}

// The most items of a row whose record still fits the record buffer.
inline uint32_t MostItems(const RecordTableEntry *row) {
    if (row->itemLength == 0) return 0;
    return (kLargestRecord - kEnvelope - row->fixedLength) / row->itemLength;
}

// Items for a record of the row: few, the most that fit, one more than
// fit (the buffer overrun) or up to three times as many (a range record
// the RINEX export collects whole), or any number in between.
inline uint32_t PickItems(Rng &rng, const RecordTableEntry *row) {
    if (row->itemLength == 0) return 0;
    const uint32_t most = MostItems(row);
    switch (Below(rng, 6)) {
    case 0: return 0;
    case 1: return most;
    case 2: return OneIn(rng, 2) ? most + 1 : most + 1 + Below(rng, 2 * most + 1);
    case 3: return Below(rng, most + 1);
    default: return 1 + Below(rng, 3);
    }
}

inline void PutCount(uint8_t *body, const RecordTableEntry *row, uint32_t count) {
    uint8_t *at = body + row->countOffset;
    switch (row->countSize) {
    case 1: at[0] = static_cast<uint8_t>(count); break;
    case 2: le::PutU2(at, static_cast<uint16_t>(count)); break;
    case 4: le::PutU4(at, count); break;
    default: break;
    }
}

// Body bytes: zeros, random bytes, or the values that trouble arithmetic.
inline void FillBody(Rng &rng, uint8_t *body, uint32_t size) {
    static constexpr double kValues[] = {0.0,
                                         -0.0,
                                         1.0,
                                         -1.0,
                                         1e308,
                                         -1e308,
                                         1e-310,
                                         2.2e7,
                                         6.04e5,
                                         std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN()};
    switch (Below(rng, 4)) {
    case 0: std::memset(body, 0, size); break;
    case 1:
        for (uint32_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(rng());
        break;
    case 2:
        for (uint32_t i = 0; i + 8 <= size; i += 8) le::PutR8(body + i, kValues[Below(rng, 11)]);
        break;
    default:
        for (uint32_t i = 0; i + 4 <= size; i += 4)
            le::PutU4(body + i, Below(rng, 3) == 0 ? 0xFFFFFFFFu : Below(rng, 80));
        break;
    }
}

inline void PutHeader(Rng &rng, uint8_t *p, const RecordTableEntry *row, uint32_t length) {
    std::memset(p, 0, kOem4HeaderLength);
    std::memcpy(p, kOem4Lead.data(), kOem4Lead.size());
    le::PutU2(p + kHeaderMessageIdAt, static_cast<uint16_t>(row->messageId));
    le::PutU2(p + kHeaderMessageLengthAt, static_cast<uint16_t>(length));
    p[kHeaderTimeStatusAt] = OneIn(rng, 4) ? static_cast<uint8_t>(rng()) : 180;
    // Now and then a record of a receiver's second antenna, or any message type.
    if (OneIn(rng, 8)) p[kHeaderMessageTypeAt] = OneIn(rng, 2) ? kSecondAntennaSource : static_cast<uint8_t>(rng());
    le::PutU2(p + kHeaderWeekAt, static_cast<uint16_t>(OneIn(rng, 8) ? rng() : 1500 + Below(rng, 3)));
    le::PutI4(p + kHeaderMillisecondsAt,
              OneIn(rng, 8) ? static_cast<int32_t>(rng()) : static_cast<int32_t>(Below(rng, 604800) * 1000));
}

inline void PutCrc(uint8_t *record, uint32_t length) {
    le::PutU4(record + kOem4HeaderLength + length, Oem4Crc32(record, kOem4HeaderLength + length));
}

// Appends a complete record of the row with `items` items and a right CRC
// (or a wrong one when `goodCrc` is false).
inline void AppendRecord(Rng &rng, Stream &out, const RecordTableEntry *row, uint32_t items, bool goodCrc = true) {
    const uint32_t length = row->fixedLength + items * row->itemLength;
    if (length > 0xFFFF) return;
    const size_t at = out.size();
    out.resize(at + kEnvelope + length);
    uint8_t *p = out.data() + at;
    PutHeader(rng, p, row, length);
    FillBody(rng, p + kOem4HeaderLength, length);
    if (row->itemLength != 0) PutCount(p + kOem4HeaderLength, row, items);
    PutCrc(p, length);
    if (!goodCrc) p[kOem4HeaderLength + length] ^= static_cast<uint8_t>(1 + Below(rng, 255));
}

// The ephemeris rows of the other systems, whose decoders check every value
// and the satellite number (QZSS from PRN 193): a random body never passes
// them, so these start from a valid body of the row, as the tests lay it
// out, logged when the tests log it.
inline constexpr uint16_t kValidBodyRows[] = {kMsgGloephemeris,     kMsgGalephemeris, kMsgGalinavephemeris,
                                              kMsgGalfnavephemeris, kMsgBdsephemeris, kMsgQzssephemeris};

inline std::vector<uint8_t> ValidBody(uint16_t messageId) {
    switch (messageId) {
    case kMsgGloephemeris: return testsupport::GloephemerisBody();
    case kMsgGalephemeris: return testsupport::GalephemerisBody();
    case kMsgGalinavephemeris: return testsupport::GalinavephemerisBody();
    case kMsgGalfnavephemeris: return testsupport::GalfnavephemerisBody();
    case kMsgBdsephemeris: return testsupport::BdsephemerisBody();
    default: return testsupport::QzssephemerisBody();
    }
}

// One aligned field of the body set to a value at, or just past, a limit
// the decoders check: a number range, a week, a time of week, a count of
// bits, or a double no navigation field can hold.
inline void PerturbField(Rng &rng, uint8_t *body, uint32_t size) {
    static constexpr uint32_t kWords[] = {0,      1,     36,    37,    63,    64,          192,        193,   202,
                                          203,    255,   1023,  1024,  8191,  8192,        65535,      65536, 604799,
                                          604800, 86399, 86400, 10800, 10700, 0x80000000u, 0xFFFFFFFFu};
    static constexpr double kDoubles[] = {0.0,
                                          -1.0,
                                          0.9999999,
                                          1.0,
                                          604799.0,
                                          604800.0,
                                          9.9e98,
                                          1e99,
                                          1e-99,
                                          1e-100,
                                          -1e308,
                                          std::numeric_limits<double>::infinity(),
                                          std::numeric_limits<double>::quiet_NaN()};
    if (size < 8) return;
    if (OneIn(rng, 2)) {
        const uint32_t at = 4 * Below(rng, size / 4);
        le::PutU4(body + at, kWords[Below(rng, sizeof kWords / sizeof kWords[0])]);
    } else {
        const uint32_t at = 4 * Below(rng, (size - 8) / 4 + 1);
        le::PutR8(body + at, kDoubles[Below(rng, sizeof kDoubles / sizeof kDoubles[0])]);
    }
}

// Appends a record of one of those rows: its valid body, mostly with one
// field perturbed; now and then logged at another time.
inline void AppendValidRecord(Rng &rng, Stream &out) {
    const RecordTableEntry *row =
        FindRecordTableEntry(kValidBodyRows[Below(rng, static_cast<uint32_t>(std::size(kValidBodyRows)))]);
    if (row == nullptr) return;
    std::vector<uint8_t> body = ValidBody(static_cast<uint16_t>(row->messageId));
    const uint32_t length = static_cast<uint32_t>(body.size());
    if (!OneIn(rng, 4)) PerturbField(rng, body.data(), length);
    const size_t at = out.size();
    out.resize(at + kEnvelope + length);
    uint8_t *p = out.data() + at;
    PutHeader(rng, p, row, length);
    if (!OneIn(rng, 4)) {
        le::PutU2(p + kHeaderWeekAt, testsupport::kOtherSystemsAt.week);
        le::PutI4(p + kHeaderMillisecondsAt, testsupport::kOtherSystemsAt.milliseconds);
    }
    std::memcpy(p + kOem4HeaderLength, body.data(), length);
    PutCrc(p, length);
}

// A rejected candidate of at most `room` bytes (often the longest its row
// allows) whose body is packed with short valid records, some of them
// candidates of the same kind; the CRC is whatever bytes fall at its stated
// end, so every byte from its second on is fed again.
inline void AppendPackedCandidate(Rng &rng, Stream &out, uint32_t depth, uint32_t room) {
    const RecordTableEntry *row = VariableRow(rng);
    if (row == nullptr || room < kEnvelope + row->fixedLength) return;
    const uint32_t most = std::min((0xFFFFu - row->fixedLength) / row->itemLength,
                                   (room - kEnvelope - row->fixedLength) / row->itemLength);
    const uint32_t items = OneIn(rng, 2) ? most : Below(rng, most + 1);
    const uint32_t length = row->fixedLength + items * row->itemLength;
    const size_t at = out.size();
    out.resize(at + kOem4HeaderLength + row->fixedLength);
    PutHeader(rng, out.data() + at, row, length);
    FillBody(rng, out.data() + at + kOem4HeaderLength, row->fixedLength);
    PutCount(out.data() + at + kOem4HeaderLength, row, items);
    const size_t end = at + kEnvelope + length;
    // Mostly one kind back to back, the densest way to fill it.
    const RecordTableEntry *kind = ShortRow(rng);
    const bool mixed = OneIn(rng, 3);
    while (out.size() < end) {
        if (depth > 0 && OneIn(rng, 40)) {
            AppendPackedCandidate(rng, out, depth - 1, static_cast<uint32_t>(end - out.size()) + 200);
            continue;
        }
        if (OneIn(rng, 30)) out.push_back(static_cast<uint8_t>(rng()));
        const RecordTableEntry *r = mixed ? ShortRow(rng) : kind;
        AppendRecord(rng, out, r, r->itemLength != 0 ? Below(rng, 3) : 0);
    }
}

// Offsets of the headers in the stream (sync bytes and header length).
inline std::vector<size_t> Headers(const uint8_t *data, size_t size) {
    std::vector<size_t> at;
    for (size_t i = 0; i + kOem4HeaderLength <= size; ++i) {
        if (HasOem4Lead(data + i)) at.push_back(i);
    }
    return at;
}

// Where to put something: at a header (between records) or anywhere.
inline size_t Place(Rng &rng, const uint8_t *data, size_t size) {
    if (OneIn(rng, 3)) return Below(rng, static_cast<uint32_t>(size + 1));
    const std::vector<size_t> headers = Headers(data, size);
    if (headers.empty() || OneIn(rng, 5)) return size;
    return headers[Below(rng, static_cast<uint32_t>(headers.size()))];
}

// One structural change of the stream (data, size); returns the new size,
// or 0 when nothing fitted.
inline size_t MutateStream(Rng &rng, uint8_t *data, size_t size, size_t maxSize) {
    Stream piece;
    switch (Below(rng, 9)) {
    case 0: { // a valid record of any row, at any length it may have
        const RecordTableEntry *row = AnyRow(rng);
        AppendRecord(rng, piece, row, PickItems(rng, row));
        break;
    }
    case 1: // short valid records back to back
        for (uint32_t n = 1 + Below(rng, 12); n > 0; --n) {
            const RecordTableEntry *row = ShortRow(rng);
            AppendRecord(rng, piece, row, row->itemLength != 0 ? Below(rng, 3) : 0);
        }
        break;
    case 2: // a long rejected candidate packed with records, and more after it
        AppendPackedCandidate(rng, piece, 2, OneIn(rng, 4) ? 3 * kLargestRecord : kLargestRecord);
        for (uint32_t n = Below(rng, 4); n > 0; --n) {
            if (OneIn(rng, 2)) piece.insert(piece.end(), Below(rng, 5000), static_cast<uint8_t>(rng()));
            AppendRecord(rng, piece, ShortRow(rng), 0);
        }
        break;
    case 3: { // a header that claims the bytes after it (a torn record)
        const RecordTableEntry *row = AnyRow(rng);
        const uint32_t items = PickItems(rng, row);
        const uint32_t length = row->fixedLength + items * row->itemLength;
        piece.resize(kOem4HeaderLength + (row->itemLength != 0 ? row->countOffset + row->countSize : 0));
        PutHeader(rng, piece.data(), row, length);
        if (row->itemLength != 0) {
            FillBody(rng, piece.data() + kOem4HeaderLength, row->countOffset);
            // A count that wraps onto the right length in 32 bits, now and then.
            const uint32_t count = OneIn(rng, 4) ? items + (0xFFFFFFFFu / row->itemLength + 1) : items;
            PutCount(piece.data() + kOem4HeaderLength, row, count);
        }
        break;
    }
    case 4: { // an existing header's length and count set at a limit, CRC made right
        const std::vector<size_t> headers = Headers(data, size);
        if (headers.empty()) return 0;
        uint8_t *p = data + headers[Below(rng, static_cast<uint32_t>(headers.size()))];
        const RecordTableEntry *row = FindRecordTableEntry(le::U2(p + kHeaderMessageIdAt));
        uint32_t length = 0;
        if (row == nullptr || OneIn(rng, 4)) {
            static constexpr uint32_t kLengths[] = {0, 1, 8159, 8160, 0xFFFF};
            length = kLengths[Below(rng, 5)];
        } else {
            length = row->fixedLength + PickItems(rng, row) * row->itemLength;
            if (length > 0xFFFF) length = 0xFFFF;
        }
        le::PutU2(p + kHeaderMessageLengthAt, static_cast<uint16_t>(length));
        const size_t rest = size - static_cast<size_t>(p - data);
        if (row != nullptr && row->itemLength != 0 && kOem4HeaderLength + row->fixedLength <= rest)
            PutCount(p + kOem4HeaderLength, row, (length - row->fixedLength) / row->itemLength);
        if (kEnvelope + length <= rest) PutCrc(p, length);
        return size;
    }
    case 5: { // a record copied, or repeated back to back
        const std::vector<size_t> headers = Headers(data, size);
        if (headers.empty()) return 0;
        const size_t at = headers[Below(rng, static_cast<uint32_t>(headers.size()))];
        const size_t length = std::min<size_t>(kEnvelope + le::U2(data + at + kHeaderMessageLengthAt), size - at);
        for (uint32_t n = 1 + Below(rng, OneIn(rng, 4) ? 120 : 3); n > 0 && piece.size() + length <= maxSize; --n)
            piece.insert(piece.end(), data + at, data + at + length);
        break;
    }
    case 6: { // bytes cut out of a record, which then swallows what follows
        const std::vector<size_t> headers = Headers(data, size);
        if (headers.empty()) return 0;
        const size_t at = headers[Below(rng, static_cast<uint32_t>(headers.size()))] + 1 + Below(rng, 40);
        if (at >= size) return 0;
        const size_t cut = std::min<size_t>(1 + Below(rng, 200), size - at);
        std::memmove(data + at, data + at + cut, size - at - cut);
        return size - cut;
    }
    case 7: // other systems' ephemerides that pass their decoders' checks, or fail one
        for (uint32_t n = 1 + Below(rng, 3); n > 0; --n) AppendValidRecord(rng, piece);
        break;
    default: { // every complete record's CRC made right (after byte mutations)
        for (size_t at : Headers(data, size)) {
            const uint32_t length = le::U2(data + at + kHeaderMessageLengthAt);
            if (at + kEnvelope + length <= size) PutCrc(data + at, length);
        }
        return size;
    }
    }
    if (piece.empty() || piece.size() > maxSize) return 0;
    if (OneIn(rng, 2)) {
        // Written over the stream, which then grows only past its end: the
        // inputs stay short and quick to run.
        const size_t at = std::min(Place(rng, data, size), maxSize - piece.size());
        std::memcpy(data + at, piece.data(), piece.size());
        return std::max(size, at + piece.size());
    }
    // Room is made by dropping the stream's tail; the piece goes in whole.
    if (size + piece.size() > maxSize) size = maxSize - piece.size();
    const size_t at = std::min(Place(rng, data, size), size);
    std::memmove(data + at + piece.size(), data + at, size - at);
    std::memcpy(data + at, piece.data(), piece.size());
    return size + piece.size();
}

} // namespace recordmutator

// The leading `prefix` bytes pick the target's options and are left to the
// byte mutations; the rest is the log.
inline size_t MutateLog(uint8_t *data, size_t size, size_t maxSize, unsigned seed, size_t prefix) {
    recordmutator::Rng rng(seed);
    if (size < prefix || maxSize <= prefix || recordmutator::OneIn(rng, 2))
        return LLVMFuzzerMutate(data, size, maxSize);
    for (uint32_t tries = 0; tries < 4; ++tries) {
        const size_t grown = recordmutator::MutateStream(rng, data + prefix, size - prefix, maxSize - prefix);
        if (grown != 0) return prefix + grown;
    }
    return LLVMFuzzerMutate(data, size, maxSize);
}
