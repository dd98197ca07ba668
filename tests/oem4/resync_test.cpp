// Records hidden in a rejected candidate are all found: a record torn by a
// power cut swallows the records that follow it up to its stated length,
// and every one of them must come out, also when candidates nest and when
// the log ends inside the torn record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "common/le.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"

using namespace testsupport;

namespace {

std::vector<uint8_t> Mark(double time) {
    Bytes b;
    b.u4(1500).r8(time).r8(0.0).zeros(20);
    return MakeRecord(231, b.data());
}

// A RANGE record of `observations` zero observations whose header and
// count are intact but whose bytes stop after `kept` bytes.
std::vector<uint8_t> TornRange(uint32_t observations, size_t kept) {
    Bytes b;
    b.u4(observations).zeros(44 * observations);
    std::vector<uint8_t> r = MakeRecord(43, b.data());
    r.resize(kept);
    return r;
}

void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// Every index of the port's buffers inside its array, no more bytes
// waiting between calls than one record's span, and no candidate past 8192
// bytes but a long record kept for the RINEX export.
bool IndexesInBounds() {
    const Oem4Decoder *dec = GetOpenPort(0);
    const uint32_t area = dec->longPending != 0 ? kLongRecordBufferSize : kRecordBufferSize;
    const uint32_t longest = dec->longRecord != 0 ? kLongRecordBufferSize : kRecordBufferSize;
    return dec->pendingAt <= dec->pendingEnd && dec->pendingEnd <= area && dec->pendingEnd - dec->pendingAt < area &&
           (dec->state == WAIT_SYNC || dec->collected < longest);
}

// A decoded record, named by the milliseconds of its header.
struct Found {
    int32_t kind;
    int32_t milliseconds;
    bool operator==(const Found &) const = default;
};

// Results of feeding the bytes (byte by byte when block is 0, else through
// DecodeBytes in pieces of that size), then of flushing the port at the
// end. Stops at the first call that leaves an index out of bounds.
std::vector<Found> Decoded(const std::vector<uint8_t> &bytes, uint32_t block, ThreadBuf *buf) {
    std::vector<Found> found;
    auto note = [&](int32_t r) {
        if (r != 0) found.push_back({r, le::I4(GetOpenPort(0)->record.data() + kHeaderMillisecondsAt)});
        return IndexesInBounds();
    };
    size_t at = 0;
    while (at < bytes.size()) {
        uint32_t used = 1;
        int32_t r = 0;
        if (block == 0) {
            r = DecodeByte(0, bytes[at], buf);
        } else {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, bytes.size() - at));
            r = DecodeBytes(0, bytes.data() + at, n, buf, &used);
        }
        at += used;
        if (!note(r)) {
            ADD_FAILURE() << "index out of bounds after input byte " << at << ", block " << block;
            return found;
        }
    }
    for (int32_t r; (r = FlushPort(0, buf)) != 0;) {
        if (!note(r)) {
            ADD_FAILURE() << "index out of bounds while flushing, block " << block;
            return found;
        }
    }
    return found;
}

std::vector<int32_t> Kinds(const std::vector<uint8_t> &bytes, uint32_t block, ThreadBuf *buf) {
    std::vector<int32_t> kinds;
    for (const Found &f : Decoded(bytes, block, buf)) kinds.push_back(f.kind);
    return kinds;
}

class Resync : public ::testing::Test {
protected:
    std::vector<int32_t> Decode(const std::vector<uint8_t> &bytes, uint32_t block = 0) {
        Oem4Options o = DefaultOptions();
        o.reportAll = 1;
        OpenTestPort(o);
        return Kinds(bytes, block, &buf);
    }
    std::vector<Found> DecodeFound(const std::vector<uint8_t> &bytes, uint32_t block) {
        OpenTestPort(DefaultOptions());
        return Decoded(bytes, block, &buf);
    }
    ThreadBuf buf;
};

// The feedings every case goes through: byte by byte, then blocks from a
// single byte to more than the whole input.
constexpr uint32_t kBlocks[] = {0, 1, 3, 64, 2048, 1u << 20};

// Records named by their header milliseconds, of every kind a decoder
// reports, and two that report nothing (found, but not seen here).
std::vector<uint8_t> Named(int kind, int32_t milliseconds) {
    const HeaderFields at{1500, milliseconds, 180};
    Bytes b;
    switch (kind) {
    case 0: b.u4(1500).r8(milliseconds * 0.001).r8(0.0).zeros(20); return MakeRecord(231, b.data(), at);
    case 1: b.zeros(72); return MakeRecord(42, b.data(), at); // BESTPOS, no solution
    case 2:                                                   // ALMANAC of one satellite
        b.u4(1).u4(3).u4(1500).r8(61440.0).zeros(88).u4(0).zeros(4);
        return MakeRecord(73, b.data(), at);
    case 3: // RANGE of one L1 observation
        b.u4(1).u2(5).u2(0).r8(2.1e7).r4(0.1f).r8(-1.1e8).r4(0.01f).r4(100.0f).r4(45.0f);
        b.r4(50.0f).u4(0x1C00);
        return MakeRecord(43, b.data(), at);
    case 4: b.zeros(28); return MakeRecord(71, b.data(), at);                 // clock model: nothing reported
    default: b.zeros(8).u4(1).zeros(32); return MakeRecord(74, b.data(), at); // RAWALM
    }
}
constexpr int kNamedKinds = 6;
constexpr int32_t kReported[kNamedKinds] = {RK_MARK, RK_POSITION, RK_ALMANAC, RK_EPOCH, 0, 0};

// The first bytes of a variable-length record that claims `items` items:
// its 28-byte header and the fixed part of its body up to and with the
// count. What follows is up to the caller, CRC included.
std::vector<uint8_t> CandidateStart(uint16_t messageId, uint32_t items) {
    const RecordTableEntry *row = FindRecordTableEntry(messageId);
    std::vector<uint8_t> body(row->fixedLength + items * row->itemLength, 0);
    le::PutU4(body.data() + row->countOffset, items);
    std::vector<uint8_t> r = MakeRecord(messageId, body);
    r.resize(kOem4HeaderLength + row->countOffset + row->countSize);
    return r;
}

} // namespace

TEST_F(Resync, EveryRecordInsideATornRecordIsFoundWhateverTheFeeding) {
    // 60 bytes of a 916-byte RANGE, then five marks (72 bytes each) that
    // all lie inside its stated length, then a mark after it.
    std::vector<uint8_t> log = TornRange(20, 60);
    for (int i = 0; i < 5; ++i) Append(log, Mark(100.0 + i));
    Append(log, std::vector<uint8_t>(500, 0x55));
    Append(log, Mark(105.0));
    for (uint32_t block : {0u, 1u, 7u, 100u, 4096u}) {
        EXPECT_EQ(Decode(log, block), std::vector<int32_t>(6, RK_MARK)) << "block " << block;
        // Announced once, for the torn record only.
        int resyncs = 0;
        for (const auto &m : CapturedMessages()) resyncs += m.text.rfind("Record decoding failed", 0) == 0;
        EXPECT_EQ(resyncs, 1);
    }
}

TEST_F(Resync, NestedTornRecordsGiveUpEveryHiddenRecord) {
    // A torn record inside a torn record inside a torn record.
    std::vector<uint8_t> log = TornRange(60, 50);
    Append(log, Mark(1.0));
    Append(log, TornRange(20, 45));
    Append(log, Mark(2.0));
    Append(log, TornRange(8, 40));
    Append(log, Mark(3.0));
    Append(log, Mark(4.0));
    Append(log, std::vector<uint8_t>(3000, 0)); // the outer record's stated length ends here
    Append(log, Mark(5.0));
    EXPECT_EQ(Decode(log), std::vector<int32_t>(5, RK_MARK));
    EXPECT_EQ(Decode(log, 13), std::vector<int32_t>(5, RK_MARK));
}

TEST_F(Resync, ALogEndingInsideATornRecordStillGivesTheRecordsInIt) {
    std::vector<uint8_t> log = Mark(1.0);
    Append(log, TornRange(100, 80)); // stated 4436 bytes; the log ends long before
    Append(log, Mark(2.0));
    Append(log, Mark(3.0));
    Append(log, TornRange(3, 30)); // and the very last record is torn too
    EXPECT_EQ(Decode(log), std::vector<int32_t>(3, RK_MARK));
    // The port is idle afterwards and keeps working.
    EXPECT_EQ(FlushPort(0, &buf), 0);
    const std::vector<uint8_t> next = Mark(4.0);
    EXPECT_EQ(Feed(next, &buf).size(), 1u);
    // A port that was never opened says so.
    EXPECT_EQ(FlushPort(1000, &buf), -1);
}

TEST_F(Resync, AFullCandidateOfBackToBackRecordsGivesEveryOneOnceAndStaysInBounds) {
    // A RANGE that claims 185 observations (8176 bytes in all, the CRC
    // wrong) whose body holds 113 marks back to back: after the first mark
    // found in it the fresh bytes queue behind more than 8000 waiting ones.
    std::vector<uint8_t> log = CandidateStart(43, 185);
    std::vector<Found> expected;
    for (int i = 0; i < 113; ++i) {
        Append(log, Named(0, 1000 * (i + 1)));
        expected.push_back({RK_MARK, 1000 * (i + 1)});
    }
    Append(log, std::vector<uint8_t>(8, 0)); // the last 4 body bytes and a wrong CRC
    ASSERT_EQ(log.size(), 8176u);
    Append(log, std::vector<uint8_t>(4000, 0x55));
    for (int i = 114; i <= 116; ++i) {
        Append(log, Named(0, 1000 * i));
        expected.push_back({RK_MARK, 1000 * i});
    }
    for (uint32_t block : kBlocks) EXPECT_EQ(DecodeFound(log, block), expected) << "block " << block;
}

TEST_F(Resync, EveryRecordHiddenInARejectedCandidateOfAnyLengthIsFoundOnce) {
    // Candidates of every length the variable rows allow up to 8191 bytes
    // (sampled), each followed by records of every kind and random filler
    // that run on past its stated end, some nesting a shorter candidate;
    // the candidate is rejected by its CRC, or the input ends inside it.
    std::mt19937 random(17);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    struct Row {
        uint16_t id;
        uint32_t step; // items between sampled lengths
    };
    int32_t name = 0;
    size_t cases = 0;
    for (const Row row : {Row{43, 1}, Row{140, 7}, Row{73, 1}, Row{74, 23}}) {
        const RecordTableEntry *entry = FindRecordTableEntry(row.id);
        const uint32_t most = (kRecordBufferSize - 1 - 32 - entry->fixedLength) / entry->itemLength;
        for (uint32_t items = 0; items <= most; items += row.step) {
            const uint32_t length = 32 + entry->fixedLength + items * entry->itemLength;
            std::vector<uint8_t> log = CandidateStart(row.id, items);
            std::vector<Found> expected;
            // Up to as many records as fit, and a few more behind the end;
            // a third of the candidates are packed with records back to back,
            // which leaves the most bytes waiting behind each one found.
            const bool packed = below(3) == 0;
            const uint32_t room = (length - static_cast<uint32_t>(log.size())) / 60;
            const uint32_t hidden = packed ? room + 3 : room == 0 ? below(3) : below(room + 3);
            for (uint32_t k = 0; k < hidden; ++k) {
                if (!packed && below(4) == 0) {
                    std::vector<uint8_t> filler(below(100));
                    for (uint8_t &b : filler) b = static_cast<uint8_t>(random());
                    Append(log, filler);
                }
                if (!packed && below(16) == 0) {
                    // A torn RANGE nested here, stated to end further on.
                    Append(log, CandidateStart(43, 1 + below(40)));
                    continue;
                }
                const int kind = static_cast<int>(below(kNamedKinds));
                Append(log, Named(kind, ++name));
                if (kReported[kind] != 0) expected.push_back({kReported[kind], name});
            }
            const bool endsInside = log.size() < length && below(3) == 0;
            if (!endsInside) {
                if (log.size() < length) Append(log, std::vector<uint8_t>(length - log.size(), 0x55));
                Append(log, Named(0, ++name));
                expected.push_back({RK_MARK, name});
            }
            for (uint32_t block : kBlocks) {
                if (block == 1 && items % 4 != 0) continue; // the same path as byte by byte
                ASSERT_EQ(DecodeFound(log, block), expected)
                    << "message " << row.id << ", " << items << " items, " << hidden << " records, block " << block;
            }
            ++cases;
        }
    }
    EXPECT_GT(cases, 300u);
}

namespace {

std::vector<uint32_t> g_handed; // the observation count of each epoch handed over
void Hand(const DecodedEpoch *epoch) { g_handed.push_back(epoch->count); }

// A range record of `items` observations whose body after the count is
// `inside` (repeated zeros past it); its CRC is right unless `badCrc`.
std::vector<uint8_t> LongRecord(uint16_t messageId, uint32_t items, const std::vector<uint8_t> &inside, bool badCrc,
                                int32_t milliseconds) {
    const RecordTableEntry *row = FindRecordTableEntry(messageId);
    std::vector<uint8_t> body(row->fixedLength + items * row->itemLength, 0);
    le::PutU4(body.data(), items);
    std::copy_n(inside.begin(), std::min(inside.size(), body.size() - 4), body.begin() + 4);
    std::vector<uint8_t> r = MakeRecord(messageId, body, {1500, milliseconds, 180});
    if (badCrc) r.back() ^= 0xFF;
    return r;
}

std::vector<uint8_t> Marks(int from, int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) Append(out, Named(0, 1000 * (from + i)));
    return out;
}

} // namespace

// A range record past 8192 bytes is collected whole only for the receiver
// of the decoded epochs (the RINEX export). Whatever becomes of it, the
// framing must find every other record, and say every message, exactly as
// when the record is dropped at its 8192nd byte; the epoch handed over has
// every observation the epoch holds.
TEST_F(Resync, ALongRangeRecordKeptForRinexLeavesEveryOtherRecordAsWhenDropped) {
    struct Case {
        const char *name;
        std::vector<uint8_t> log;
        std::vector<uint32_t> handed;
        size_t marks; // found in both runs
    };
    auto around = [](std::vector<uint8_t> middle, size_t keep = SIZE_MAX) {
        std::vector<uint8_t> log = Named(0, 1000);
        Append(log, middle);
        Append(log, Named(0, 999000));
        if (keep != SIZE_MAX) log.resize(keep);
        return log;
    };
    std::vector<uint8_t> nested = Marks(10, 120);
    Append(nested, LongRecord(43, 200, {}, false, 500000));
    Append(nested, Marks(300, 100));
    const std::vector<Case> cases = {
        {"RANGE of 200", around(LongRecord(43, 200, {}, false, 2000)), {200}, 2},
        {"RANGECMP of 400", around(LongRecord(140, 400, {}, false, 2000)), {400}, 2},
        {"RANGE of 600, beyond the epoch's room", around(LongRecord(43, 600, {}, false, 2000)), {512}, 2},
        // 120 marks in a RANGE of 200 with a wrong CRC: those wholly past
        // its 8192nd byte are found, as they were when it was dropped there.
        {"RANGE of 200, wrong CRC, marks inside", around(LongRecord(43, 200, Marks(10, 120), true, 2000)), {}, 8},
        // More than 8192 bytes to look through again after its first 8192.
        {"RANGE of 400, wrong CRC, marks inside", around(LongRecord(43, 400, Marks(10, 240), true, 2000)), {}, 128},
        // A valid long record inside a rejected longer one, with marks
        // around it: found among the bytes looked through again.
        {"RANGE of 200 inside a RANGE of 700 with a wrong CRC",
         around(LongRecord(43, 700, nested, true, 2000)),
         {200},
         108},
        // The log ends inside a RANGE of 300 holding 150 marks.
        {"RANGE of 300, torn", around(LongRecord(43, 300, Marks(10, 150), false, 2000), 11000), {}, 37},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (uint32_t block : kBlocks) {
            SCOPED_TRACE(block);
            Oem4Options o = DefaultOptions();
            o.reportAll = 1;
            OpenTestPort(o);
            CapturedMessages().clear();
            const std::vector<Found> dropped = Decoded(c.log, block, &buf);
            std::vector<std::string> droppedTexts;
            for (const auto &m : CapturedMessages()) droppedTexts.push_back(m.text);

            OpenTestPort(o);
            SetPortEpochHandler(0, Hand);
            CapturedMessages().clear();
            g_handed.clear();
            const std::vector<Found> kept = Decoded(c.log, block, &buf);
            std::vector<std::string> keptTexts;
            size_t told = 0;
            for (const auto &m : CapturedMessages()) {
                if (m.text.find("in the RINEX file only") != std::string::npos) {
                    ++told;
                } else {
                    keptTexts.push_back(m.text);
                }
            }
            EXPECT_EQ(dropped.size(), c.marks);
            EXPECT_EQ(kept, dropped);
            EXPECT_EQ(keptTexts, droppedTexts);
            EXPECT_EQ(g_handed, c.handed);
            EXPECT_EQ(told, c.handed.size());
        }
    }
}
