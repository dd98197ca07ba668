#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/le.h"
#include "ephemeris/ephemeris_list.h"
#include "oem4/oem4_decoder.h"
#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

using namespace testsupport;

// Fields of the packed records are compared as copies (unary +): the test
// macros take their arguments by reference, which a packed field cannot bind.

namespace {

using Subframe = std::array<uint8_t, 30>;

// Writes the low `width` bits of `value` into word `word` (1 to 10) of a
// subframe, starting at bit `firstBit` (1 = most significant of the word).
void Put(Subframe &sf, int word, int firstBit, int width, uint32_t value) {
    for (int i = 0; i < width; ++i) {
        const int bit = 24 * (word - 1) + (firstBit - 1) + i;
        const bool set = (value >> (width - 1 - i)) & 1u;
        const uint8_t mask = static_cast<uint8_t>(0x80u >> (bit % 8));
        if (set)
            sf[bit / 8] |= mask;
        else
            sf[bit / 8] &= static_cast<uint8_t>(~mask);
    }
}
// A 32-bit field: 8 high bits at the end of `word`, 24 low bits in the next.
void Put32(Subframe &sf, int word, uint32_t value) {
    Put(sf, word, 17, 8, value >> 24);
    Put(sf, word + 1, 1, 24, value & 0xFFFFFFu);
}

std::vector<uint8_t> RawephemRecord(uint32_t prn, const Subframe &sf1, const Subframe &sf2, const Subframe &sf3,
                                    int32_t ms = 300000) {
    Bytes b;
    b.u4(prn).u4(1500).u4(300);
    b.raw({sf1.begin(), sf1.end()}).raw({sf2.begin(), sf2.end()}).raw({sf3.begin(), sf3.end()});
    return MakeRecord(41, b.data(), {1500, ms, 180});
}

// A healthy ephemeris whose fields carry distinct, partly negative raw values.
struct RawSet {
    Subframe sf1{}, sf2{}, sf3{};
    RawSet() {
        Put(sf1, 3, 1, 10, 501);                  // week
        Put(sf1, 3, 11, 6, 0x3F);                 // L2 code, URA: not read
        Put(sf1, 3, 23, 2, 2);                    // IODC high
        Put(sf1, 7, 17, 8, 0xFF);                 // TGD -1
        Put(sf1, 8, 1, 8, 0x55);                  // IODC low, as IODE
        Put(sf1, 8, 9, 16, 37799);                // toc: 604784 s, the week's last
        Put(sf1, 9, 1, 8, 0xFB);                  // af2 -5
        Put(sf1, 9, 9, 16, 0x10000 - 300);        // af1 -300
        Put(sf1, 10, 1, 22, 0x3FFFFF);            // af0 -1
        Put(sf1, 10, 23, 2, 3);                   // not read
        Put(sf2, 3, 1, 8, 0x55);                  // IODE
        Put(sf2, 3, 9, 16, 0xFFFF);               // Crs -1
        Put(sf2, 4, 1, 16, 1234);                 // delta n
        Put32(sf2, 4, 12345678);                  // M0
        Put(sf2, 6, 1, 16, 0x10000 - 100);        // Cuc -100
        Put32(sf2, 6, 1u << 30);                  // e
        Put(sf2, 8, 1, 16, 777);                  // Cus
        Put32(sf2, 8, 0xA10C0000u);               // sqrt A: 2701918208 + 262144 = 5153.5 * 2^19
        Put(sf2, 10, 1, 16, 0x1C20);              // toe: 7200 * 16
        Put(sf2, 10, 17, 8, 0xFF);                // fit flag, AODO: not read
        Put(sf3, 3, 1, 16, 0x10000 - 3);          // Cic -3
        Put32(sf3, 3, 0x7FFFFFFFu);               // OMEGA0
        Put(sf3, 5, 1, 16, 1);                    // Cis
        Put32(sf3, 5, 0x40000000u);               // i0
        Put(sf3, 7, 1, 16, 0x8000);               // Crc -32768
        Put32(sf3, 7, 0xC0000000u);               // omega -2^30
        Put(sf3, 9, 1, 24, 0x1000000 - 0x123456); // OMEGADOT
        Put(sf3, 10, 1, 8, 0x55);                 // subframe 3 IODE
        Put(sf3, 10, 9, 14, 0x2000);              // IDOT -8192
    }
};

class RawephemTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearEphemerisList();
        Open(1);
    }
    void TearDown() override { ClearEphemerisList(); }
    void Open(uint32_t recomputeClock) {
        Oem4Options o = DefaultOptions();
        o.recomputeClock = recomputeClock;
        OpenTestPort(o);
        ClearThreadBuf(&buf);
    }
    int32_t FeedOne(const std::vector<uint8_t> &rec) {
        auto r = Feed(rec, &buf);
        EXPECT_LE(r.size(), 1u);
        return r.empty() ? 0 : r[0].second;
    }
    GpsEphRecord Decoded() {
        uint8_t raw[kGpsEphRecordSize];
        EXPECT_EQ(ReadThreadBufData(&buf, TBREC_GPSEPH, 1, raw), 1);
        return le::Load<GpsEphRecord>(raw);
    }
    ThreadBuf buf;
};

} // namespace

TEST_F(RawephemTest, FieldsScalesAndSignExtension) {
    RawSet s;
    ASSERT_EQ(FeedOne(RawephemRecord(17, s.sf1, s.sf2, s.sf3)), 2);
    const GpsEphRecord e = Decoded();
    EXPECT_EQ(+e.prn, 17);
    EXPECT_EQ(+e.week, 501);
    EXPECT_EQ(+e.fixed9999, 9999);
    EXPECT_EQ(+e.health, 0);
    EXPECT_EQ(+e.iodc, 2 * 256 + 0x55);
    EXPECT_EQ(+e.toc, 604784);
    EXPECT_EQ(+e.toe, 115200);
    EXPECT_EQ(+e.iode, 0x55);

    // Expected values: raw value times the factor (times pi for semicircles).
    EXPECT_DOUBLE_EQ(+e.tgd, -4.6566128730773895e-10);
    EXPECT_DOUBLE_EQ(+e.af2, -1.3877787807814452e-16);
    EXPECT_DOUBLE_EQ(+e.af1, -3.41060513164848e-11);
    EXPECT_DOUBLE_EQ(+e.af0, -4.65661287308e-10);
    EXPECT_DOUBLE_EQ(+e.crs, -0.03125);
    EXPECT_DOUBLE_EQ(+e.deltaN, 4.4073264399796745e-10);
    EXPECT_DOUBLE_EQ(+e.m0, 0.018060715547010817);
    EXPECT_DOUBLE_EQ(+e.cuc, -1.8626451492309602e-07);
    EXPECT_DOUBLE_EQ(+e.e, 0.1250000000000002);
    EXPECT_DOUBLE_EQ(+e.cus, 1.4472752809524562e-06);
    EXPECT_EQ(+e.sqrtA, 5153.5);
    EXPECT_DOUBLE_EQ(+e.cic, -5.58793544769e-09);
    EXPECT_DOUBLE_EQ(+e.omega0, 3.1415926521286344);
    EXPECT_DOUBLE_EQ(+e.cis, 1.86264514923e-09);
    EXPECT_DOUBLE_EQ(+e.i0, 1.5707963267957763);
    EXPECT_EQ(+e.crc, -1024.0);
    EXPECT_DOUBLE_EQ(+e.omega, -1.5707963267957763);
    EXPECT_DOUBLE_EQ(+e.omegaDot, -4.26105606151701e-07);
    EXPECT_DOUBLE_EQ(+e.idot, -2.9258361585343184e-09);

    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text, "Ephemeris received for PRN 17 (health OK)");
    EXPECT_EQ(CapturedMessages()[0].time, 300.0);
}

// The three rounded factors are used as they are, not as exact powers of two.
TEST_F(RawephemTest, RoundedFactorsShowInSingleStepValues) {
    RawSet s;
    Put(s.sf1, 10, 1, 22, 1);
    Put(s.sf3, 3, 1, 16, 1);
    Put32(s.sf3, 3, 1);
    Put(s.sf2, 4, 1, 16, 0xFFFF);
    Put32(s.sf2, 4, 0x80000000u);
    ASSERT_EQ(FeedOne(RawephemRecord(1, s.sf1, s.sf2, s.sf3)), 2);
    const GpsEphRecord e = Decoded();
    EXPECT_EQ(+e.af0, 4.65661287308e-10);
    EXPECT_NE(+e.af0, std::ldexp(1.0, -31));
    EXPECT_EQ(+e.cic, 1.86264514923e-09);
    EXPECT_DOUBLE_EQ(+e.omega0, 1.462918079267979e-09);
    EXPECT_DOUBLE_EQ(+e.deltaN, -3.571577341960838e-13);
    EXPECT_DOUBLE_EQ(+e.m0, -3.141592653589791);
}

// Hand-assembled bytes: week 1023, health 0, IODC pieces 01 and 0x2A.
TEST_F(RawephemTest, HandAssembledWordsGiveIodc298) {
    Subframe sf1{}, sf2{}, sf3{};
    const uint8_t word3[3] = {0xFF, 0xC0, 0x01};
    const uint8_t word8[3] = {0x2A, 0x2A, 0x30};  // IODC low 0x2A, toc 0x2A30 = 10800
    const uint8_t word10[3] = {0xFF, 0xFF, 0xF8}; // af0 -2 in 22 bits
    std::memcpy(&sf1[6], word3, 3);
    std::memcpy(&sf1[21], word8, 3);
    std::memcpy(&sf1[27], word10, 3);
    const uint8_t toe[3] = {0x1C, 0x20, 0x00}; // 7200 -> 115200 s
    std::memcpy(&sf2[27], toe, 3);
    sf2[6] = sf3[27] = 0x2A;                                       // IODE, the IODC's low byte
    const uint8_t sqrtA[6] = {0x00, 0x00, 0xA1, 0x0C, 0x00, 0x00}; // words 8 and 9
    std::memcpy(&sf2[21], sqrtA, 6);
    ASSERT_EQ(FeedOne(RawephemRecord(32, sf1, sf2, sf3)), 2);
    const GpsEphRecord e = Decoded();
    EXPECT_EQ(+e.week, 1023);
    EXPECT_EQ(+e.iodc, 298);
    EXPECT_EQ(+e.toc, 172800);
    EXPECT_EQ(+e.toe, 115200);
    EXPECT_EQ(+e.af0, -9.31322574616e-10);
    EXPECT_EQ(+e.sqrtA, 5153.5);
}

TEST_F(RawephemTest, InvalidPrnOddValuesAndBadHealthProduceNothing) {
    RawSet s;
    for (uint32_t prn : {33u, 0u, 0xFFFFFFFFu}) {
        EXPECT_EQ(FeedOne(RawephemRecord(prn, s.sf1, s.sf2, s.sf3)), 0);
        EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_GPSEPH), 0);
    }
    // Values no broadcast can give: toc or toe beyond the week (their
    // fields reach 1048560 s), subframes of two data sets.
    std::vector<RawSet> odd(5);
    Put(odd[0].sf1, 8, 9, 16, 37800);
    Put(odd[1].sf2, 10, 1, 16, 0xFFFF);
    Put(odd[2].sf3, 10, 1, 8, 0x56);
    Put(odd[3].sf2, 3, 1, 8, 0x56);
    Put(odd[4].sf1, 8, 1, 8, 0x56);
    for (const RawSet &o : odd) EXPECT_EQ(FeedOne(RawephemRecord(6, o.sf1, o.sf2, o.sf3)), 0);
    Put(s.sf1, 3, 17, 6, 0x20);
    EXPECT_EQ(FeedOne(RawephemRecord(5, s.sf1, s.sf2, s.sf3)), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_GPSEPH), 0);
    EXPECT_EQ(EphemerisListCount, 0);
    EXPECT_EQ(FindGpsEphemeris(5, 115200), nullptr);
    EXPECT_EQ(FindGpsEphemeris(6, 115200), nullptr);

    std::vector<std::string> texts;
    for (const auto &m : CapturedMessages()) texts.push_back(m.text);
    std::vector<std::string> expected = {
        "Ephemeris received with invalid PRN number (33)",
        "Ephemeris received with invalid PRN number (0)",
        "Ephemeris received with invalid PRN number (-1)",
    };
    expected.insert(expected.end(), odd.size(), "Ephemeris received for PRN 6 with invalid values");
    expected.push_back("Ephemeris received for PRN 5 with BAD HEALTH!!!");
    EXPECT_EQ(texts, expected);
}

TEST_F(RawephemTest, ListKeepsOneEntryPerToeButCountsEveryOffer) {
    RawSet s;
    const auto rec = RawephemRecord(9, s.sf1, s.sf2, s.sf3);
    EXPECT_EQ(FeedOne(rec), 2);
    EXPECT_EQ(FeedOne(rec), 2);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_GPSEPH), 1);
    EXPECT_EQ(EphemerisListCount, 2);
    const GpsEphRecord *kept = FindGpsEphemeris(9, 115200);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(+kept->sqrtA, 5153.5);

    // A second entry with another toe is kept beside the first.
    Put(s.sf2, 10, 1, 16, 0x1C20 + 450); // toe + 7200 s
    EXPECT_EQ(FeedOne(RawephemRecord(9, s.sf1, s.sf2, s.sf3)), 2);
    EXPECT_EQ(EphemerisListCount, 3);
    ASSERT_NE(FindGpsEphemeris(9, 122400), nullptr);
    EXPECT_EQ(+FindGpsEphemeris(9, 122400)->toe, 122400);
    EXPECT_EQ(+FindGpsEphemeris(9, 115200)->toe, 115200);

    // A later broadcast of bad health: the satellite's kept sets are not
    // taken (its range would be solved with the orbit and clock of before
    // the fault) until a healthy one comes again.
    // Its values dropped as two data sets mixed: its flag still holds.
    for (bool mixed : {false, true}) {
        RawSet bad;
        Put(bad.sf1, 3, 17, 6, 0x3F);
        if (mixed) Put(bad.sf3, 10, 1, 8, 0x11);
        EXPECT_EQ(FeedOne(RawephemRecord(9, bad.sf1, bad.sf2, bad.sf3)), 0);
        EXPECT_EQ(FindGpsEphemeris(9, 115200), nullptr) << mixed;
        EXPECT_EQ(FeedOne(rec), 2);
        EXPECT_NE(FindGpsEphemeris(9, 115200), nullptr);
    }
}

TEST_F(RawephemTest, WithoutClockRecomputationNothingIsKept) {
    Open(0);
    RawSet s;
    EXPECT_EQ(FeedOne(RawephemRecord(9, s.sf1, s.sf2, s.sf3)), 2);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_GPSEPH), 1);
    EXPECT_EQ(EphemerisListCount, 0);
    EXPECT_EQ(FindGpsEphemeris(9, 115200), nullptr);
}

TEST_F(RawephemTest, RealLogEphemeridesArePlausible) {
    const std::string path = SharedDataFile("oemv_200911218.gps");
    if (path.empty()) GTEST_SKIP() << "shared receiver logs not present";
    const auto bytes = ReadFileBytes(path);
    int ephemerides = 0;
    for (uint8_t byte : bytes) {
        if (DecodeByte(0, byte, &buf) != 2) continue;
        ++ephemerides;
        const GpsEphRecord e = Decoded();
        SCOPED_TRACE(e.prn);
        EXPECT_GE(+e.prn, 1);
        EXPECT_LE(+e.prn, 32);
        EXPECT_NEAR(+e.sqrtA, 5153.6, 5.0);
        EXPECT_GE(+e.e, 0.0);
        EXPECT_LT(+e.e, 0.03);
        EXPECT_EQ(+e.toe % 16, 0);
        EXPECT_EQ(+e.toc % 16, 0);
        EXPECT_LT(std::fabs(e.af0), 1e-3);
        EXPECT_NEAR(+e.i0, 0.93, 0.07); // 51 to 57 degrees in that era
        EXPECT_LT(std::fabs(e.omegaDot), 1e-8);
        EXPECT_EQ(+e.week, 1562 % 1024); // 2009-12-18
        EXPECT_EQ(+e.health, 0);
    }
    EXPECT_EQ(ephemerides, EphemerisListCount);
    EXPECT_EQ(ephemerides, 25); // every RAWEPHEM of the log is healthy
    // No framing message: every record of the log was taken whole.
    int bad = 0;
    for (const auto &m : CapturedMessages()) {
        bad += m.text.find("CRC") != std::string::npos || m.text.find("Invalid") != std::string::npos;
    }
    EXPECT_EQ(bad, 0);
}

// ---- GPSEPHEM: the same broadcast as the receiver decoded it ---------------

namespace {

constexpr double kP5 = 1.0 / 32.0, kP29 = 1.0 / 536870912.0, kP31 = 1.0 / 2147483648.0;
constexpr double kP43 = 1.0 / 8796093022208.0, kP55 = 1.0 / 36028797018963968.0;

// The GPSEPHEM body of RawSet's broadcast with its toc moved into the week
// (RawTwin), the receiver's angles scaled with its own pi.
struct GpsephemBody {
    explicit GpsephemBody(double pi = 3.141592653589793)
        : deltaN(1234 * kP43 * pi), m0(12345678 * kP31 * pi), omega(-0.5 * pi), i0(0.5 * pi), idot(-8192 * kP43 * pi),
          omega0(0x7FFFFFFF * kP31 * pi), omegaDot(-0x123456 * kP43 * pi) {}
    uint32_t health = 0, iode = 0x55, iode2 = 0x55, week = 1525, zWeek = 1525, iodc = 2 * 256 + 0x55;
    double toe = 115200.0, a = 5153.5 * 5153.5;
    double deltaN, m0, e = 0.125, omega, cuc = -100 * kP29, cus = 777 * kP29, crc = -1024.0, crs = -kP5,
                       cic = -3 * kP29, cis = kP29, i0, idot, omega0, omegaDot;
    double toc = 115200.0, tgd = -kP31, af0 = -kP31, af1 = -300 * kP43, af2 = -5 * kP55;

    std::vector<uint8_t> Record(uint32_t prn, int32_t ms = 300000) const {
        Bytes b;
        b.u4(prn).r8(300.0).u4(health).u4(iode).u4(iode2).u4(week).u4(zWeek).r8(toe).r8(a);
        b.r8(deltaN).r8(m0).r8(e).r8(omega).r8(cuc).r8(cus).r8(crc).r8(crs).r8(cic).r8(cis);
        b.r8(i0).r8(idot).r8(omega0).r8(omegaDot).u4(iodc).r8(toc).r8(tgd).r8(af0).r8(af1).r8(af2);
        b.u4(1).r8(1.46e-4).r8(4.0); // AS, corrected mean motion, URA variance: not read
        EXPECT_EQ(b.size(), 224u);
        return MakeRecord(7, b.data(), {1500, ms, 180});
    }
};

RawSet RawTwin() {
    RawSet s;
    Put(s.sf1, 8, 9, 16, 0x1C20); // toc 115200 s, as toe
    return s;
}

class GpsephemTest : public RawephemTest {
protected:
    // The record and messages of one ephemeris record fed to a fresh port.
    std::vector<uint8_t> DecodedBytes(const std::vector<uint8_t> &rec, std::string *message) {
        Open(1);
        ClearEphemerisList();
        EXPECT_EQ(FeedOne(rec), 2);
        std::vector<uint8_t> raw(kGpsEphRecordSize);
        EXPECT_EQ(ReadThreadBufData(&buf, TBREC_GPSEPH, 1, raw.data()), 1);
        *message = CapturedMessages().empty() ? "" : CapturedMessages().back().text;
        return raw;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> out;
        for (const auto &m : CapturedMessages()) out.push_back(m.text);
        return out;
    }
};

} // namespace

// Byte for byte the record RAWEPHEM gives, also at the ends of the fields'
// ranges and whatever pi the receiver scaled its angles with.
TEST_F(GpsephemTest, SameBroadcastGivesTheRecordOfRawephem) {
    for (double pi : {3.141592653589793, 3.1415926535898}) {
        for (bool extremes : {false, true}) {
            SCOPED_TRACE(std::to_string(pi) + (extremes ? " extremes" : ""));
            RawSet s = RawTwin();
            GpsephemBody g(pi);
            if (extremes) {
                Put32(s.sf2, 4, 0x80000000u); // M0 -1 semicircle
                g.m0 = -pi;
                Put32(s.sf2, 6, 0xFFFFFFFFu); // largest e
                g.e = 4294967295.0 / 8589934592.0;
                Put32(s.sf2, 8, 0xFFFFFFFFu); // largest sqrt(A)
                g.a = std::pow(4294967295.0 / 524288.0, 2);
                Put(s.sf1, 10, 1, 22, 0x1FFFFF); // largest af0
                g.af0 = 0x1FFFFF * kP31;
                Put(s.sf3, 9, 1, 24, 0x7FFFFF); // largest OMEGADOT
                g.omegaDot = 0x7FFFFF * kP43 * pi;
                Put(s.sf3, 10, 9, 14, 0x1FFF); // largest IDOT
                g.idot = 0x1FFF * kP43 * pi;
            }
            std::string fromRaw, fromDecoded;
            const auto raw = DecodedBytes(RawephemRecord(17, s.sf1, s.sf2, s.sf3), &fromRaw);
            const auto decoded = DecodedBytes(g.Record(17), &fromDecoded);
            EXPECT_EQ(decoded, raw);
            EXPECT_EQ(fromDecoded, fromRaw);
            EXPECT_EQ(fromDecoded, "Ephemeris received for PRN 17 (health OK)");
        }
    }
}

TEST_F(GpsephemTest, SameRulesAsRawephem) {
    // The week is the broadcast one, from the Z count week (1525 % 1024),
    // whatever the toe week field says.
    GpsephemBody g;
    g.week = 1526;
    ASSERT_EQ(FeedOne(g.Record(3)), 2);
    EXPECT_EQ(+Decoded().week, 501);
    // Offered twice, by both records of one broadcast: kept once, counted twice.
    RawSet s = RawTwin();
    ASSERT_EQ(FeedOne(RawephemRecord(3, s.sf1, s.sf2, s.sf3)), 2);
    EXPECT_EQ(EphemerisListCount, 2);
    ASSERT_NE(FindGpsEphemeris(3, 115200), nullptr);
    CapturedMessages().clear();

    // Dropped with the texts of RAWEPHEM, nothing kept or counted.
    Open(1);
    ClearEphemerisList();
    for (uint32_t prn : {33u, 0u}) EXPECT_EQ(FeedOne(GpsephemBody().Record(prn)), 0);
    // Bad health is told, however odd the rest; but only an orbit a
    // broadcast can give goes on to the RINEX export of unhealthy ones.
    static std::vector<int32_t> handedOver;
    handedOver.clear();
    SetPortUnhealthyEphemerisHandler(0, [](double, const GpsEphRecord *e) { handedOver.push_back(e->prn); });
    GpsephemBody sick;
    sick.health = 0x20;
    sick.af0 = NAN;
    EXPECT_EQ(FeedOne(sick.Record(5)), 0);
    sick.af0 = 0.0;
    EXPECT_EQ(FeedOne(sick.Record(4)), 0);
    EXPECT_EQ(handedOver, std::vector<int32_t>{4});

    // Values no broadcast can give: dropped too, never passed on.
    std::vector<GpsephemBody> odd(9);
    odd[0].af0 = NAN;
    odd[1].omega0 = INFINITY;
    odd[2].a = -1.0;
    odd[3].toe = 604800.0;
    odd[4].toc = -16.0;
    odd[5].crs = 1e308;  // its count overflows
    odd[6].iode2 = 0x56; // subframes of two data sets
    odd[7].iodc = 0x56;
    odd[8].iodc = 0x400 + 0x55; // beyond its 10 bits
    for (const GpsephemBody &b : odd) EXPECT_EQ(FeedOne(b.Record(6)), 0);
    EXPECT_EQ(GetThreadBufRecCount(&buf, TBREC_GPSEPH), 0);
    EXPECT_EQ(EphemerisListCount, 0);
    std::vector<std::string> expected = {
        "Ephemeris received with invalid PRN number (33)",
        "Ephemeris received with invalid PRN number (0)",
        "Ephemeris received for PRN 5 with BAD HEALTH!!!",
        "Ephemeris received for PRN 4 with BAD HEALTH!!!",
    };
    expected.insert(expected.end(), odd.size(), "Ephemeris received for PRN 6 with invalid values");
    EXPECT_EQ(Texts(), expected);

    // A length other than 224 is the framing's to report.
    CapturedMessages().clear();
    Oem4Options o = DefaultOptions();
    o.reportAll = 1;
    OpenTestPort(o);
    Feed(MakeRecord(7, std::vector<uint8_t>(223, 0)), &buf);
    ASSERT_FALSE(CapturedMessages().empty());
    EXPECT_EQ(CapturedMessages()[0].text, "Invalid record length for 'GPSEPHEM' record on port 0");
}
