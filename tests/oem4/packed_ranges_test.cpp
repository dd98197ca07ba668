// RANGECMP2 and RANGECMP4: receivers' records (with a RANGECMP one)
// decoded field by field against an independent decoder's published
// decoding of them, and hand-built records at the limits of every bit
// field.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/oem4_format.h"
#include "oem4/oem4_decoder.h"
#include "oem4/packed_ranges.h"
#include "oem4/signals.h"
#include "support/oem4_records.h"

using namespace testsupport;

namespace {

// A packed record's body: the byte count, then the bytes.
std::vector<uint8_t> PackedBody(const std::vector<uint8_t> &data) {
    Bytes b;
    b.u4(static_cast<uint32_t>(data.size())).raw(data);
    return b.data();
}

HeaderFields At(uint16_t week, int32_t milliseconds) { return {week, milliseconds, 180}; }

// Writes bit fields least significant bit first, as both records pack them.
class BitWriter {
public:
    BitWriter &Put(uint64_t value, unsigned width) {
        for (unsigned k = 0; k < width; ++k, ++bits_) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            if ((value >> k & 1u) != 0) bytes_.back() |= static_cast<uint8_t>(1u << (bits_ % 8));
        }
        return *this;
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    unsigned bits_ = 0;
};

uint64_t Field(int64_t v, unsigned width) { return static_cast<uint64_t>(v) & ((uint64_t{1} << width) - 1); }

class PackedTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The decoders' own messages come whatever reportAll says; the
        // epochs' optional notices would only hide them.
        OpenTestPort(DefaultOptions());
        CapturedMessages().clear();
    }
    // Feeds a record and returns the epoch the port decoded.
    const DecodedEpoch &Decode(uint16_t id, const std::vector<uint8_t> &data, HeaderFields h) {
        Feed(MakeRecord(id, PackedBody(data), h), &buf_);
        return GetOpenPort(0)->decoded;
    }
    static const DecodedObservation *Find(const DecodedEpoch &e, uint32_t system, uint32_t prn, uint32_t signal) {
        for (uint32_t i = 0; i < e.count; ++i) {
            const DecodedObservation &o = e.obs[i];
            if (o.system == system && o.prn == prn && o.signal == signal) return &o;
        }
        return nullptr;
    }
    static std::string AllTexts() {
        std::string s;
        for (const Message &m : CapturedMessages()) s += m.text + "\n";
        return s;
    }
    ThreadBuf buf_;
};

} // namespace

// Receivers' RANGECMP, RANGECMP2, RANGECMP4 and RANGECMP5 records, each
// with the RANGE record that NovAtel's open decoder makes of it (the test
// vectors it publishes, tests/oem4/data): every observation of every
// system, RANGECMP4's reference and differential records alike, decodes to
// the RANGE record's values within their printed digits (the standard
// deviations within a step of their code tables) and to its whole status
// word. That decoder gives RANGECMP5's phase codes 7 and 10 ten times the
// step their neighbours in the table put them at (0.118 and 0.190 cycles
// for 0.01182 and 0.01900): those are compared at the step.
TEST_F(PackedTest, ReceiverRecordsDecodeToTheirRangeRecords) {
    const std::vector<PublishedRange> records = PublishedRangeRecords();
    ASSERT_EQ(records.size(), 10u);
    // With a receiver of the decoded epochs, as a conversion with RINEX
    // has: without one, RANGECMP's observations go straight to the
    // observation file's epoch, and only its fields are decoded.
    SetPortEpochHandler(0, [](const DecodedEpoch *) {});
    constexpr size_t kRangeFields = 10;
    size_t compared = 0;
    for (const PublishedRange &p : records) {
        ASSERT_TRUE(p.packed.crcHolds && p.range.crcHolds) << p.packed.name << " " << p.packed.time.milliseconds;
        ASSERT_EQ(p.range.name, "RANGEA");
        Feed(MakeRecord(p.messageId, p.body, p.packed.time), &buf_);
        const DecodedEpoch &e = GetOpenPort(0)->decoded;
        const size_t count = std::stoul(p.range.fields[0]);
        ASSERT_EQ(p.range.fields.size(), 1 + count * kRangeFields);
        ASSERT_EQ(e.count, count) << p.packed.name << " " << p.packed.time.milliseconds;
        for (size_t k = 0; k < count; ++k) {
            const std::string *x = &p.range.fields[1 + k * kRangeFields];
            const uint32_t prn = std::stoul(x[0]), status = std::stoul(x[9], nullptr, 16);
            const DecodedObservation *o = Find(e, TrackingSystem(status), prn, TrackingSignal(status));
            ASSERT_NE(o, nullptr) << "PRN " << prn << " status " << x[9];
            EXPECT_NEAR(o->pseudorange, std::stod(x[2]), 0.0006) << prn;
            EXPECT_NEAR(o->pseudorangeSigma, std::stod(x[3]), 0.0006) << prn;
            EXPECT_NEAR(o->phase, std::stod(x[4]), 0.000001) << prn;
            const bool tenfold = p.messageId == kMsgRangecmp5 && (x[5] == "0.118" || x[5] == "0.190");
            EXPECT_NEAR(o->phaseSigma, std::stod(x[5]) / (tenfold ? 10 : 1), 0.001) << prn;
            EXPECT_NEAR(o->doppler, std::stod(x[6]), 0.001) << prn;
            EXPECT_NEAR(o->cno, std::stod(x[7]), 0.051) << prn;
            EXPECT_NEAR(o->lockTime, std::stod(x[8]), 0.0006) << prn;
            EXPECT_EQ(o->status, status) << prn;
            if (o->system == SYS_GLONASS) {
                EXPECT_EQ(o->glonassChannel, std::stoi(x[1]) - 7) << prn;
                EXPECT_EQ(o->satellite, prn > kGlonassPrnOffset ? prn - kGlonassPrnOffset : 0u)
                    << prn; // 0: slot unknown
            }
            ++compared;
        }
    }
    EXPECT_EQ(compared, 676u);
}

// ---- hand-built records ----------------------------------------------------

namespace {

constexpr double kL1 = 1575.42e6;
double Lambda(double f) { return 299792458.0 / f; }

// RANGECMP2 in field units.
struct Rc2Signal {
    uint32_t type = 1;
    bool phaseLock = true, parity = true, codeLock = true;
    uint32_t lock = 5000, correlator = 1;
    bool primary = true, half = false;
    uint32_t cno = 25, psd = 0, asd = 0, psrDiff = 0, phaseDiff = 0;
    int32_t dopplerDiff = 0;
};
struct Rc2Satellite {
    uint32_t channel = 3, id = 5, glonassFrequency = 0, system = 0;
    int32_t psrBase = 20000000, dopplerBase = -1000;
    std::vector<Rc2Signal> signals = std::vector<Rc2Signal>(1);
    int signalCount = -1; // the count field when not the number of signals
};
std::vector<uint8_t> Rc2(const std::vector<Rc2Satellite> &sats) {
    BitWriter w;
    for (const Rc2Satellite &s : sats) {
        w.Put(s.channel, 8).Put(s.id, 8).Put(s.glonassFrequency, 4).Put(s.system, 5).Put(0, 1);
        w.Put(Field(s.psrBase, 29), 29).Put(Field(s.dopplerBase, 21), 21);
        w.Put(s.signalCount >= 0 ? static_cast<uint32_t>(s.signalCount) : s.signals.size(), 4);
        for (const Rc2Signal &g : s.signals) {
            w.Put(g.type, 5).Put(g.phaseLock, 1).Put(g.parity, 1).Put(g.codeLock, 1).Put(g.lock, 17);
            w.Put(g.correlator, 4).Put(g.primary, 1).Put(g.half, 1).Put(0, 1);
            w.Put(g.cno, 5).Put(g.psd, 4).Put(g.asd, 4).Put(g.psrDiff, 14).Put(g.phaseDiff, 20);
            w.Put(Field(g.dopplerDiff, 17), 17);
        }
    }
    return w.bytes();
}

} // namespace

TEST_F(PackedTest, Rangecmp2FieldsAtTheirLimits) {
    struct Case {
        int32_t psrBase, dopplerBase;
        uint32_t psrDiff, phaseDiff;
        int32_t dopplerDiff;
        uint32_t lock, cno, psd, asd;
        float cnoOut, psdOut, asdOut;
    } cases[] = {
        {(1 << 28) - 1, (1 << 20) - 1, 16383, (1u << 20) - 1, 65535, 131071, 31, 15, 15, 51.0f, 5.409f, 0.2223f},
        {-(1 << 28), -(1 << 20), 0, 0, -65536, 0, 0, 0, 0, 20.0f, 0.020f, 0.00391f},
    };
    int32_t ms = 1000;
    for (const Case &c : cases) {
        Rc2Satellite s;
        s.psrBase = c.psrBase;
        s.dopplerBase = c.dopplerBase;
        Rc2Signal &g = s.signals[0];
        g.psrDiff = c.psrDiff, g.phaseDiff = c.phaseDiff, g.dopplerDiff = c.dopplerDiff;
        g.lock = c.lock, g.cno = c.cno, g.psd = c.psd, g.asd = c.asd;
        const DecodedEpoch &e = Decode(kMsgRangecmp2, Rc2({s}), At(2000, ms += 1000));
        ASSERT_EQ(e.count, 1u);
        const DecodedObservation &o = e.obs[0];
        EXPECT_EQ(o.pseudorange, c.psrBase + c.psrDiff / 128.0);
        EXPECT_NEAR(o.phase, -(c.psrBase + c.phaseDiff / 2048.0) / Lambda(kL1), 1e-6);
        EXPECT_EQ(o.doppler, c.dopplerBase + c.dopplerDiff / 256.0);
        EXPECT_FLOAT_EQ(o.lockTime, static_cast<float>(c.lock / 1000.0));
        EXPECT_EQ(o.cno, c.cnoOut);
        EXPECT_FLOAT_EQ(o.pseudorangeSigma, c.psdOut);
        EXPECT_FLOAT_EQ(o.phaseSigma, c.asdOut);
    }
}

// The lock time field stops at 131.071 s; the lock goes on growing while
// it stands there, but not over a gap in which it may have restarted. A
// lock that reaches the largest field between two epochs goes on from the
// previous epoch's lock time (no drop that would read as a lost lock).
TEST_F(PackedTest, Rangecmp2LockTimeBeyondItsLargestField) {
    const struct {
        int32_t ms;
        uint32_t field;
        float lock;
    } steps[] = {{10000, 131071, 131.071f}, {11000, 131071, 132.071f}, {12500, 131071, 133.571f},
                 {80000, 131071, 131.071f}, {81000, 5000, 5.0f},       {82000, 131071, 131.071f},
                 {90000, 130500, 130.5f},   {91000, 131071, 131.5f},   {92000, 131071, 132.5f},
                 {100000, 130000, 130.0f},  {101000, 131071, 131.071f}};
    for (const auto &step : steps) {
        Rc2Satellite s;
        s.signals[0].lock = step.field;
        const DecodedEpoch &e = Decode(kMsgRangecmp2, Rc2({s}), At(2000, step.ms));
        ASSERT_EQ(e.count, 1u);
        EXPECT_FLOAT_EQ(e.obs[0].lockTime, step.lock) << step.ms;
    }
}

// Every system the record numbers, with its PRN and satellite numbering,
// a signal renumbered into the status word's, and its Doppler brought from
// the system's first frequency to the signal's.
TEST_F(PackedTest, Rangecmp2EverySystem) {
    struct Case {
        uint32_t systemId, id, glonassFrequency, type;
        uint32_t system, prn, satellite, signal;
        double frequency;
        int channel;
        double dopplerScale;
    } cases[] = {
        {0, 5, 0, 6, SYS_GPS, 5, 5, 5, 1227.6e6, kNoGlonassChannel, 154.0 / 120.0},
        {1, 3, 10, 1, SYS_GLONASS, 40, 3, 0, 1602e6 + 3 * 0.5625e6, 3, 1.0},
        {1, 3, 0, 4, SYS_GLONASS, 40, 3, 5, 1246e6 - 7 * 0.4375e6, -7, 9.0 / 7.0},
        {2, 133, 0, 1, SYS_SBAS, 133, 33, 0, kL1, kNoGlonassChannel, 1.0},
        {5, 11, 0, 2, SYS_GALILEO, 11, 11, 12, 1176.45e6, kNoGlonassChannel, 154.0 / 115.0},
        {6, 30, 0, 13, SYS_BEIDOU, 30, 30, 2, 1268.52e6, kNoGlonassChannel, 1526.0 / 1240.0},
        {7, 195, 0, 8, SYS_QZSS, 195, 3, 16, kL1, kNoGlonassChannel, 1.0},
        {9, 4, 0, 1, SYS_NAVIC, 4, 4, 0, 1176.45e6, kNoGlonassChannel, 1.0},
    };
    int32_t ms = 1000;
    for (const Case &c : cases) {
        Rc2Satellite s;
        s.system = c.systemId, s.id = c.id, s.glonassFrequency = c.glonassFrequency;
        s.signals[0].type = c.type;
        const DecodedEpoch &e = Decode(kMsgRangecmp2, Rc2({s}), At(2000, ms += 1000));
        ASSERT_EQ(e.count, 1u) << c.systemId << AllTexts();
        const DecodedObservation &o = e.obs[0];
        EXPECT_EQ(o.system, c.system);
        EXPECT_EQ(o.prn, c.prn);
        EXPECT_EQ(o.satellite, c.satellite);
        EXPECT_EQ(o.signal, c.signal);
        EXPECT_EQ(TrackingSystem(o.status), c.system);
        EXPECT_EQ(TrackingSignal(o.status), c.signal);
        EXPECT_EQ(o.glonassChannel, c.channel);
        EXPECT_NEAR(o.phase, -20000000.0 / Lambda(c.frequency), 1e-5);
        EXPECT_NEAR(o.doppler, -1000.0 / c.dopplerScale, 1e-9);
    }
}

// A satellite of an unknown system or a signal of an unknown type is
// dropped with a message and the rest kept; blocks that run past the byte
// count end the record, with what came before kept.
TEST_F(PackedTest, Rangecmp2DropsWhatItCannotRead) {
    Rc2Satellite unknownSystem, unknownSignal, noChannel, good, noSlot, truncated;
    unknownSystem.system = 3;
    noSlot.system = 1, noSlot.id = 50; // slot not yet known: PRN 0, as RANGE logs it
    noChannel.system = 1, noChannel.id = 4, noChannel.glonassFrequency = 15;
    unknownSignal.id = 7;
    unknownSignal.signals.push_back(Rc2Signal{});
    unknownSignal.signals[1].type = 30;
    good.id = 9;
    truncated.id = 12;
    truncated.signalCount = 3;
    const DecodedEpoch &e =
        Decode(kMsgRangecmp2, Rc2({unknownSystem, unknownSignal, noChannel, good, noSlot, truncated}), At(2000, 1000));
    ASSERT_EQ(e.count, 3u);
    EXPECT_EQ(e.obs[0].prn, 7u);
    EXPECT_EQ(e.obs[1].prn, 9u);
    EXPECT_EQ(e.obs[2].prn, 0u);
    EXPECT_EQ(e.obs[2].satellite, 0u);
    EXPECT_EQ(AllTexts(), "RANGECMP2 satellite system 3 is not known; its 1 signals dropped\n"
                          "RANGECMP2 signal type 30 of GPS PRN 7 is not known; observation dropped\n"
                          "RANGECMP2 GLONASS PRN 41 has frequency channel 8; its 1 signals dropped\n"
                          "RANGECMP2 record ends inside a satellite's blocks; 22 bytes dropped\n");
}

namespace {

// RANGECMP4 in field units, or with wide RANGECMP5 (no differential
// blocks; differential is its data format flag). Blocks in signal id order,
// satellites in id order.
struct Rc4Block {
    uint32_t signal = 1;
    int64_t psr = 40000000000; // 20000 km in 0.0005 m
    int64_t phase = 0, rate = 0;
    uint32_t cno = 900, lock = 10, psd = 1, asd = 2;
    bool parity = true, half = false;
};
struct Rc4Satellite {
    uint32_t id = 5;
    bool differential = false;
    uint32_t referenceId = 1, glonassFrequency = 7;
    std::vector<Rc4Block> blocks = std::vector<Rc4Block>(1);
};
struct Rc4System {
    uint32_t id = 0;
    std::vector<Rc4Satellite> satellites = std::vector<Rc4Satellite>(1);
};

std::vector<uint8_t> Rc4(const std::vector<Rc4System> &systems, size_t dropBytes = 0, bool wide = false) {
    const unsigned sigmaBits = wide ? 5 : 4, rateBits[2] = {wide ? 28u : 26u, wide ? 16u : 14u};
    BitWriter w;
    uint64_t systemMask = 0;
    for (const Rc4System &s : systems) systemMask |= uint64_t{1} << s.id;
    w.Put(systemMask, 16);
    for (const Rc4System &s : systems) {
        uint64_t satMask = 0, sigMask = 0;
        for (const Rc4Satellite &t : s.satellites) {
            satMask |= uint64_t{1} << (t.id - 1);
            for (const Rc4Block &b : t.blocks) sigMask |= uint64_t{1} << b.signal;
        }
        w.Put(satMask, 64).Put(sigMask, 16);
        const int width = std::popcount(sigMask);
        for (const Rc4Satellite &t : s.satellites) {
            uint64_t row = 0;
            for (const Rc4Block &b : t.blocks)
                row |= uint64_t{1} << std::popcount(sigMask & ((uint64_t{1} << b.signal) - 1));
            w.Put(row, static_cast<unsigned>(width));
        }
        for (const Rc4Satellite &t : s.satellites) {
            w.Put(t.differential, 1).Put(t.referenceId, 3);
            if (s.id == 1 && (wide || !t.differential)) w.Put(t.glonassFrequency, 5);
            bool first = true;
            for (const Rc4Block &b : t.blocks) {
                w.Put(b.parity, 1).Put(b.half, 1).Put(b.cno, 11).Put(b.lock, 4);
                w.Put(b.psd, sigmaBits).Put(b.asd, sigmaBits);
                if (wide || !t.differential) {
                    w.Put(Field(b.psr, first ? 37 : 20), first ? 37 : 20).Put(Field(b.phase, 23), 23);
                    w.Put(Field(b.rate, rateBits[first ? 0 : 1]), rateBits[first ? 0 : 1]);
                } else {
                    w.Put(Field(b.psr, 19), 19)
                        .Put(Field(b.phase, 16), 16)
                        .Put(Field(b.rate, first ? 18 : 14), first ? 18 : 14);
                }
                first = false;
            }
        }
    }
    std::vector<uint8_t> out = w.bytes();
    out.resize(out.size() - dropBytes);
    return out;
}

} // namespace

// Reference fields at their limits; the most negative value of a field (all
// ones for the first pseudorange) is a value the receiver did not have: it
// is left out and the status word says so.
TEST_F(PackedTest, Rangecmp4ReferenceFieldsAtTheirLimits) {
    Rc4Block top;
    top.psr = (int64_t{1} << 37) - 2, top.phase = (1 << 22) - 1, top.rate = (1 << 25) - 1;
    top.cno = 2047, top.lock = 15, top.psd = 15, top.asd = 15, top.half = true;
    Rc4Block second; // L2 P(Y), counted from the first
    second.signal = 4, second.psr = -(1 << 19) + 1, second.phase = -(1 << 22) + 1, second.rate = -(1 << 13) + 1;
    second.cno = 0, second.lock = 0, second.psd = 0, second.asd = 0, second.parity = false;
    Rc4System sys;
    sys.satellites[0].blocks = {top, second};
    const DecodedEpoch &e = Decode(kMsgRangecmp4, Rc4({sys}), At(2000, 5000));
    ASSERT_EQ(e.count, 2u) << AllTexts();
    const double l2 = Lambda(1227.6e6);
    const double psr = ((int64_t{1} << 37) - 2) * 0.0005, rate = ((1 << 25) - 1) * 0.0001;
    EXPECT_DOUBLE_EQ(e.obs[0].pseudorange, psr);
    EXPECT_NEAR(e.obs[0].phase, -(psr + ((1 << 22) - 1) * 0.0001) / Lambda(kL1), 1e-6);
    EXPECT_NEAR(e.obs[0].doppler, -rate / Lambda(kL1), 1e-6);
    EXPECT_NEAR(e.obs[0].cno, 102.35, 1e-4);
    EXPECT_FLOAT_EQ(e.obs[0].lockTime, 262.144f);
    EXPECT_EQ(e.obs[0].status, kStatusTrackingPhaseLock | kStatusPhaseLockBit | kStatusParityKnownBit |
                                   kStatusCodeLockedBit | kStatusGroupedBit | kStatusPrimaryL1Bit |
                                   kStatusHalfCycleAddedBit);
    const double psr2 = psr + (-(1 << 19) + 1) * 0.0005;
    EXPECT_NEAR(e.obs[1].pseudorange, psr2, 1e-6);
    EXPECT_NEAR(e.obs[1].phase, -(psr2 + (-(1 << 22) + 1) * 0.0001) / l2, 1e-6);
    EXPECT_NEAR(e.obs[1].doppler, -(rate + (-(1 << 13) + 1) * 0.0001) / l2, 1e-6);
    EXPECT_EQ(e.obs[1].status, kStatusTrackingAidedPhaseLock | kStatusPhaseLockBit | kStatusCodeLockedBit |
                                   kStatusGroupedBit | (9u << kStatusSignalShift));

    Rc4Block none;
    none.psr = (int64_t{1} << 37) - 1, none.phase = -(1 << 22), none.rate = -(1 << 25);
    Rc4Block noPhase;
    noPhase.signal = 4, noPhase.psr = 0, noPhase.phase = -(1 << 22), noPhase.rate = -(1 << 13);
    sys.satellites[0].blocks = {none};
    Rc4Satellite other;
    other.id = 6;
    other.blocks = {Rc4Block{}, noPhase};
    sys.satellites.push_back(other);
    const DecodedEpoch &f = Decode(kMsgRangecmp4, Rc4({sys}), At(2000, 6000));
    ASSERT_EQ(f.count, 3u);
    EXPECT_EQ(f.obs[0].pseudorange, 0.0);
    EXPECT_EQ(f.obs[0].phase, 0.0);
    EXPECT_EQ(f.obs[0].doppler, 0.0);
    EXPECT_EQ(f.obs[0].status & (kStatusPhaseLockBit | kStatusCodeLockedBit), 0u);
    EXPECT_EQ(f.obs[2].pseudorange, 20000000.0);
    EXPECT_EQ(f.obs[2].phase, 0.0);
    EXPECT_EQ(f.obs[2].doppler, 0.0);
    EXPECT_EQ(f.obs[2].status & (kStatusPhaseLockBit | kStatusCodeLockedBit), kStatusCodeLockedBit);
}

// RANGECMP5's wider fields at their limits, its GLONASS channel in every
// satellite header, and a satellite header whose data format flag is set:
// the record defines no such data, so nothing after it can be found and
// the rest of the record is dropped, the satellites before it kept.
TEST_F(PackedTest, Rangecmp5WideFieldsAndUndefinedFormat) {
    Rc4Block top;
    top.rate = (1 << 27) - 1, top.psd = 31, top.asd = 31;
    Rc4Block second; // L2 C/A, counted from the first
    second.signal = 3, second.psr = 100, second.rate = -(1 << 15) + 1, second.psd = 15, second.asd = 7;
    Rc4Block none = top;
    none.rate = -(1 << 27);
    Rc4System glo;
    glo.id = 1;
    glo.satellites[0].glonassFrequency = 1; // channel -6
    glo.satellites[0].blocks = {top, second};
    Rc4Satellite flagged;
    flagged.id = 7, flagged.differential = true;
    Rc4Satellite after;
    after.id = 9, after.blocks = {none};
    const DecodedEpoch &e = Decode(kMsgRangecmp5, Rc4({glo}, 0, true), At(2300, 1000));
    ASSERT_EQ(e.count, 2u) << AllTexts();
    const double g1 = Lambda(1602e6 - 6 * 562.5e3), g2 = Lambda(1246e6 - 6 * 437.5e3);
    const double rate = ((1 << 27) - 1) * 0.0001;
    EXPECT_EQ(e.obs[0].glonassChannel, -6);
    EXPECT_NEAR(e.obs[0].doppler, -rate / g1, 1e-6);
    EXPECT_FLOAT_EQ(e.obs[0].pseudorangeSigma, 251.634f);
    EXPECT_FLOAT_EQ(e.obs[0].phaseSigma, 0.4494f);
    EXPECT_NEAR(e.obs[1].doppler, -(rate + (-(1 << 15) + 1) * 0.0001) / g2, 1e-6);
    EXPECT_NEAR(e.obs[1].pseudorange, 20000000.05, 1e-6);
    EXPECT_FLOAT_EQ(e.obs[1].pseudorangeSigma, 6.876f);
    EXPECT_FLOAT_EQ(e.obs[1].phaseSigma, 0.01182f);

    glo.satellites = {glo.satellites[0], flagged, after};
    CapturedMessages().clear();
    EXPECT_EQ(Decode(kMsgRangecmp5, Rc4({glo}, 0, true), At(2300, 2000)).count, 2u);
    EXPECT_EQ(AllTexts(), "RANGECMP5 satellite header announces data of a format the record does not define; the "
                          "rest of the record dropped\n");
    glo.satellites = {after};
    const DecodedEpoch &f = Decode(kMsgRangecmp5, Rc4({glo}, 0, true), At(2300, 3000));
    ASSERT_EQ(f.count, 1u);
    EXPECT_EQ(f.obs[0].doppler, 0.0);
}

// Every bit of the system mask the record defines, and the satellite ids
// each system turns into PRNs.
TEST_F(PackedTest, Rangecmp4EverySystemMask) {
    struct Case {
        uint32_t systemBit, id, signal;
        uint32_t system, prn, satellite, statusSignal;
    } cases[] = {
        {0, 32, 15, SYS_GPS, 32, 32, 16},    {1, 24, 6, SYS_GLONASS, 61, 24, 6}, {1, 43, 1, SYS_GLONASS, 0, 0, 0},
        {2, 1, 1, SYS_SBAS, 120, 20, 0},     {2, 54, 2, SYS_SBAS, 183, 0, 6},    {5, 36, 12, SYS_GALILEO, 36, 36, 6},
        {6, 63, 11, SYS_BEIDOU, 63, 63, 11}, {7, 1, 11, SYS_QZSS, 193, 1, 27},   {9, 14, 1, SYS_NAVIC, 14, 14, 0},
    };
    int32_t ms = 1000;
    for (const Case &c : cases) {
        Rc4System sys;
        sys.id = c.systemBit;
        sys.satellites[0].id = c.id;
        sys.satellites[0].blocks[0].signal = c.signal;
        const DecodedEpoch &e = Decode(kMsgRangecmp4, Rc4({sys}), At(2000, ms += 1000));
        ASSERT_EQ(e.count, 1u) << c.systemBit << " " << AllTexts();
        EXPECT_EQ(e.obs[0].system, c.system);
        EXPECT_EQ(e.obs[0].prn, c.prn);
        EXPECT_EQ(e.obs[0].satellite, c.satellite);
        EXPECT_EQ(e.obs[0].signal, c.statusSignal);
    }
    // Ids that name no SBAS satellite, an unknown system bit, a stream cut
    // short.
    Rc4System sbas;
    sbas.id = 2;
    sbas.satellites[0].id = 45;
    Rc4System gps, unknown;
    gps.satellites[0].blocks[0].signal = 2; // no GPS signal has this id
    unknown.id = 3;
    CapturedMessages().clear();
    EXPECT_EQ(Decode(kMsgRangecmp4, Rc4({sbas}), At(2000, 20000)).count, 0u);
    EXPECT_EQ(Decode(kMsgRangecmp4, Rc4({gps}), At(2000, 21000)).count, 0u);
    Rc4System glonass;
    glonass.id = 1;
    glonass.satellites[0].glonassFrequency = 20;
    EXPECT_EQ(Decode(kMsgRangecmp4, Rc4({glonass}), At(2000, 21500)).count, 0u);
    Decode(kMsgRangecmp4, Rc4({unknown}), At(2000, 22000));
    Rc4System two;
    two.satellites.push_back(Rc4Satellite{});
    two.satellites[1].id = 9;
    EXPECT_EQ(Decode(kMsgRangecmp4, Rc4({two}, 3), At(2000, 23000)).count, 1u);
    EXPECT_EQ(AllTexts(), "RANGECMP4 record: 1 observations of unknown signals or satellites dropped\n"
                          "RANGECMP4 record: 1 observations of unknown signals or satellites dropped\n"
                          "RANGECMP4 record: 1 GLONASS observations of no frequency channel dropped\n"
                          "RANGECMP4 satellite system 3 is not known; the rest of the record dropped\n"
                          "RANGECMP4 record ends inside a block; the rest of it dropped\n");
}

// Differential blocks: moved on from their reference by its range rate;
// dropped with a notice when their signal has no reference of their block
// id within the second before, never guessed.
TEST_F(PackedTest, Rangecmp4DifferencesNeedTheirOwnRecentReference) {
    Rc4Block l1;
    l1.rate = -12345678; // -1234.5678 m/s
    l1.phase = 1000;
    l1.lock = 3;
    Rc4System ref;
    ref.id = 1; // GLONASS: the reference carries the frequency channel
    ref.satellites[0].glonassFrequency = 2;
    ref.satellites[0].blocks = {l1};
    Decode(kMsgRangecmp4, Rc4({ref}), At(2000, 10000));

    Rc4Block d1;
    d1.psr = -262143, d1.phase = 32767, d1.rate = 131071, d1.lock = 3;
    Rc4Block d2 = d1; // L2 C/A: its reference is of another signal
    d2.signal = 3;
    d2.rate = 0;
    Rc4System diff;
    diff.id = 1;
    diff.satellites[0].differential = true;
    diff.satellites[0].blocks = {d1, d2};
    const DecodedEpoch &e = Decode(kMsgRangecmp4, Rc4({diff}), At(2000, 10500));
    ASSERT_EQ(e.count, 1u);
    const double lambda = Lambda(1602e6 - 5 * 0.5625e6);
    const double psr = 20000000.0 - 1234.5678 * 0.5 - 262143 * 0.0005;
    EXPECT_NEAR(e.obs[0].pseudorange, psr, 1e-6);
    EXPECT_NEAR(e.obs[0].phase, -(20000000.0 + 0.1 - 1234.5678 * 0.5 + 3.2767) / lambda, 1e-6);
    EXPECT_NEAR(e.obs[0].doppler, -(-1234.5678 + 13.1071) / lambda, 1e-6);
    EXPECT_EQ(e.obs[0].glonassChannel, -5);
    EXPECT_FLOAT_EQ(e.obs[0].lockTime, 0.128f); // 64 ms and half a second: never the next code's 128 ms
    EXPECT_EQ(AllTexts(), "RANGECMP4 record: 1 differential observations without a usable reference dropped\n");

    // A second later, or under another block id, the reference is no use.
    CapturedMessages().clear();
    EXPECT_EQ(Decode(kMsgRangecmp4, Rc4({diff}), At(2000, 11000)).count, 0u);
    diff.satellites[0].referenceId = 2;
    diff.satellites[0].blocks = {d1};
    EXPECT_EQ(Decode(kMsgRangecmp4, Rc4({diff}), At(2000, 10750)).count, 0u);
    EXPECT_EQ(AllTexts(), "RANGECMP4 record: 2 differential observations without a usable reference dropped\n"
                          "RANGECMP4 record: 1 differential observations without a usable reference dropped\n");
}

// Lock time from the coarse codes, and the loss of lock judged from it: a
// code that goes up on a signal of the epoch before goes on from the lock
// time it had, so a lock kept is never a lock lost; a code that goes down,
// goes up by less than the time or holds beyond its range restarts it. A
// code read after an epoch without the signal or a long gap starts from
// its least, a lock lost only when that least is shorter than the time
// since the signal's previous observation (the lock began after it).
TEST_F(PackedTest, Rangecmp4LockTimeFromItsCodes) {
    SetPortEpochHandler(0, [](const DecodedEpoch *) {}); // the indications are judged for it
    constexpr int kAbsent = -1;
    const struct {
        int32_t ms;
        int code;
        float lock;
        int lli;
    } steps[] = {
        {100000, 0, 0.0f, 0},       {101000, 6, 1.0f, 0},     {102000, 7, 2.0f, 0},     {103000, 8, 3.0f, 0},
        {104000, 8, 4.0f, 0},       {105000, 9, 5.0f, 0},     {106000, 3, 0.064f, 1},   {107000, 5, 0.256f, 1},
        {108000, kAbsent, 0.0f, 0}, {109000, 8, 2.048f, 0},   {110000, 8, 3.048f, 0},   {111000, 10, 8.192f, 0},
        {112000, 10, 9.192f, 0},    {120000, 10, 16.384f, 1}, {121000, 11, 17.384f, 0}, {122000, 11, 18.384f, 0},
        {211000, 11, 16.384f, 1},   {212000, 2, 0.032f, 1},   {213000, 2, 0.064f, 1},   {214000, 6, 0.512f, 1},
    };
    for (const auto &step : steps) {
        Rc4System sys;
        sys.satellites[0].id = 9; // in every epoch
        sys.satellites[0].blocks[0].lock = 15;
        if (step.code != kAbsent) {
            Rc4Satellite tested;
            tested.blocks[0].lock = static_cast<uint32_t>(step.code);
            sys.satellites.insert(sys.satellites.begin(), tested);
        }
        const DecodedEpoch &e = Decode(kMsgRangecmp4, Rc4({sys}), At(2000, step.ms));
        ASSERT_EQ(e.count, step.code == kAbsent ? 1u : 2u);
        if (step.code == kAbsent) continue;
        const DecodedObservation *o = Find(e, SYS_GPS, 5, 0);
        ASSERT_NE(o, nullptr);
        EXPECT_FLOAT_EQ(o->lockTime, step.lock) << step.ms;
        EXPECT_EQ(o->lli & kLliLockLost, step.lli) << step.ms;
    }
}

// Two range records of one epoch give it once, in either order; the second
// still brings its references. A log of RANGE alone converts as it always
// did, a repeated epoch included.
TEST_F(PackedTest, OneEpochFromTwoRecordsOfIt) {
    auto epochs = [this](const std::vector<std::vector<uint8_t>> &records) {
        int n = 0;
        for (const auto &r : records) {
            for (const auto &[at, kind] : Feed(r, &buf_)) n += kind == RK_EPOCH;
        }
        return n;
    };
    Rc2Satellite s;
    Rc4System ref;
    const auto rc2 = MakeRecord(kMsgRangecmp2, PackedBody(Rc2({s})), At(1500, 30000));
    const auto rc4 = MakeRecord(kMsgRangecmp4, PackedBody(Rc4({ref})), At(1500, 30000));
    EXPECT_EQ(epochs({rc2, RangeLog(3, 30000)}), 1);
    EXPECT_EQ(epochs({RangeLog(3, 31000), MakeRecord(kMsgRangecmp4, PackedBody(Rc4({ref})), At(1500, 31000))}), 1);
    EXPECT_EQ(epochs({RangeLog(3, 32000), RangeLog(3, 32000)}), 2);
    EXPECT_EQ(epochs({rc2, rc4}), 1);
    EXPECT_EQ(GetOpenPort(0)->decoded.messageId, kMsgRangecmp2);
    Rc4System diff;
    diff.satellites[0].differential = true;
    diff.satellites[0].blocks[0].psr = 0;
    EXPECT_EQ(epochs({MakeRecord(kMsgRangecmp4, PackedBody(Rc4({diff})), At(1500, 30200))}), 1);
    const DecodedEpoch &f = GetOpenPort(0)->decoded;
    ASSERT_EQ(f.count, 1u);
    EXPECT_EQ(f.messageId, kMsgRangecmp4);
    EXPECT_EQ(f.obs[0].pseudorange, 20000000.0);
}

// Whatever the bits say, decoding reads nothing beyond the record and goes
// on with the next one (run under the sanitizers in CI).
TEST_F(PackedTest, RandomBitsNeverStopTheDecoding) {
    std::mt19937 rng(2050);
    for (int i = 0; i < 4000; ++i) {
        std::vector<uint8_t> data(rng() % 700);
        for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
        // Half of RANGECMP4 and RANGECMP5 start with a mask of known systems, so that
        // the blocks are reached.
        if (i % 4 == 1 && data.size() >= 2) data[0] = 0x03, data[1] = 0x00;
        const uint16_t id = i % 2 == 0 ? kMsgRangecmp2 : i % 8 < 4 ? kMsgRangecmp4 : kMsgRangecmp5;
        Feed(MakeRecord(id, PackedBody(data), At(1500, 1000 + 250 * i)), &buf_);
    }
    int epochs = 0;
    for (const auto &[at, kind] : Feed(RangeLog(4, 5000000), &buf_)) epochs += kind == RK_EPOCH;
    EXPECT_EQ(epochs, 1);
}
