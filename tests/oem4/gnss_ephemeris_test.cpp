// The other systems' ephemeris and correction records: decoded from bodies
// laid out by hand after the receiver's documented field tables, checked
// value by value, and a GLONASS navigation record written out and compared
// with the lines worked out by hand from the RINEX formats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/oem4_decoder.h"
#include "output/rinex_file.h"
#include "support/oem4_records.h"

using namespace testsupport;

namespace {

// The navigation writer's record: large, so not on the stack.
RinexNavWriter g_navWriter;

// Every record of the tests is logged at GPS week 1562, 515730.000 s.
constexpr uint16_t kWeek = kOtherSystemsAt.week;
constexpr int32_t kMilliseconds = kOtherSystemsAt.milliseconds;

struct Body {
    std::vector<uint8_t> bytes;
    explicit Body(size_t size) : bytes(size, 0) {}
    explicit Body(std::vector<uint8_t> b) : bytes(std::move(b)) {}
    Body &u1(size_t at, uint8_t v) {
        bytes[at] = v;
        return *this;
    }
    Body &u2(size_t at, uint16_t v) {
        le::PutU2(bytes.data() + at, v);
        return *this;
    }
    Body &u4(size_t at, uint32_t v) {
        le::PutU4(bytes.data() + at, v);
        return *this;
    }
    Body &r8(size_t at, double v) {
        le::PutR8(bytes.data() + at, v);
        return *this;
    }
};

Body Glonass() { return Body(GloephemerisBody()); }
Body GalileoInav() { return Body(GalinavephemerisBody()); }
Body GalileoFnav() { return Body(GalfnavephemerisBody()); }
Body GalileoBoth() { return Body(GalephemerisBody()); }
Body Beidou() { return Body(BdsephemerisBody()); }
Body Qzss() { return Body(QzssephemerisBody()); }

int32_t Decode(uint16_t id, const Body &body, HeaderFields logged = kOtherSystemsAt) {
    OpenTestPort(DefaultOptions());
    CapturedMessages().clear();
    static ThreadBuf buf;
    const auto results = Feed(MakeRecord(id, body.bytes, logged), &buf);
    return results.empty() ? 0 : results.back().second;
}

const Oem4Decoder &Port() { return *GetOpenPort(0); }

std::vector<std::string> Lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The record lines after the header.
std::vector<std::string> Records(const std::string &path) {
    std::vector<std::string> lines = Lines(path);
    size_t i = 0;
    while (i < lines.size() && lines[i].find("END OF HEADER") == std::string::npos) ++i;
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(i + 1), lines.end());
}

std::string Scratch(const char *name) {
    return ::testing::TempDir() + "oem4conv_gnss_" + std::to_string(::getpid()) + "_" + name;
}

} // namespace

TEST(GnssEphemeris, TheGlonassRecordReadsAsWorkedOutByHand) {
    ASSERT_EQ(Decode(kMsgGloephemeris, Glonass()), RK_BROADCAST);
    EXPECT_TRUE(CapturedMessages().empty());
    ASSERT_EQ(Port().broadcastCount, 1u);
    const NavRecord record = Port().broadcast[0];
    ASSERT_EQ(record.kind, NAV_GLONASS);

    // tb 515715 s GPS is 515700 s UTC: Friday 2009-12-18 23:15:00. The
    // frame started at tk 7590 s of the GLONASS day, 83190 s of the UTC day
    // before: 515190 s of the UTC week. Clock bias is -tauN; km and km/s.
    const std::string nav304 = Scratch("304.nav");
    ASSERT_EQ(OpenRinexNav(&g_navWriter, nav304.c_str()), 0);
    ASSERT_EQ(WriteRinexNavBroadcast(&g_navWriter, &record, nullptr), 0);
    ASSERT_EQ(CloseRinexNav(&g_navWriter, nullptr), 0);
    EXPECT_EQ(Lines(nav304)[0], "     3.04           N: GNSS NAV DATA    R: GLONASS          RINEX VERSION / TYPE");
    EXPECT_EQ(
        Records(nav304),
        (std::vector<std::string>{"R14 2009 12 18 23 15 00-1.308415085077D-05 1.818989403546D-12 5.151900000000D+05",
                                  "    -1.455644238281D+04-9.649705886841D-01 9.313225746155D-10 0.000000000000D+00",
                                  "     1.819020605469D+04 1.051365852356D+00-9.313225746155D-10-7.000000000000D+00",
                                  "     1.028508300781D+04-3.229050636292D+00-9.313225746155D-10 0.000000000000D+00"}));

    // RINEX 2.11: its own GLONASS file, slot without letter, two-digit
    // year, F5.1 seconds, frame time in seconds of the UTC day, 3X indent;
    // the leap seconds the record implies in the header.
    const std::string gps211 = Scratch("211.nav");
    const std::string glo211 = Scratch("211.gnav");
    ASSERT_EQ(OpenRinexNav(&g_navWriter, gps211.c_str(), kRinexVersion211, glo211.c_str()), 0);
    ASSERT_EQ(WriteRinexNavBroadcast(&g_navWriter, &record, nullptr), 0);
    ASSERT_EQ(CloseRinexNav(&g_navWriter, nullptr), 0);
    EXPECT_TRUE(Records(gps211).empty());
    EXPECT_EQ(Lines(gps211)[0], "     2.11           N: GPS NAV DATA                         RINEX VERSION / TYPE");
    const std::vector<std::string> glo = Lines(glo211);
    EXPECT_EQ(glo[0], "     2.11           G: GLONASS NAV DATA                     RINEX VERSION / TYPE");
    EXPECT_EQ(glo[2], "    15                                                      LEAP SECONDS");
    EXPECT_EQ(Records(glo211), (std::vector<std::string>{
                                   "14 09 12 18 23 15  0.0-1.308415085077D-05 1.818989403546D-12 8.319000000000D+04",
                                   "   -1.455644238281D+04-9.649705886841D-01 9.313225746155D-10 0.000000000000D+00",
                                   "    1.819020605469D+04 1.051365852356D+00-9.313225746155D-10-7.000000000000D+00",
                                   "    1.028508300781D+04-3.229050636292D+00-9.313225746155D-10 0.000000000000D+00"}));
    for (const std::string &p : {nav304, gps211, glo211}) std::remove(p.c_str());
}

TEST(GnssEphemeris, KeplerRecordsGiveTheirSystemsFieldsAndTimes) {
    ASSERT_EQ(Decode(kMsgGalinavephemeris, GalileoInav()), RK_BROADCAST);
    KeplerNavRecord k = Port().broadcast[0].kepler;
    EXPECT_EQ(k.system, SYS_GALILEO);
    EXPECT_EQ(k.number, 2u);
    EXPECT_EQ(k.week, 1562);
    EXPECT_EQ(k.toe, 501600.0);
    EXPECT_EQ(k.sqrtA, 5440.60316);
    EXPECT_EQ(k.m0, 1.94195529);
    EXPECT_EQ(k.i0, 0.9740321573);
    EXPECT_EQ(k.af0, 2.989528002e-04);
    EXPECT_EQ(k.groupDelay2, -1.630e-09);
    EXPECT_NEAR(k.accuracy, 3.12, 1e-12); // SISA index 107
    EXPECT_EQ(k.codes, 517.0);            // I/NAV E1-B and E5b, clock E5b/E1
    EXPECT_EQ(k.transmission, 515730.0);
    // No accuracy prediction (255) and the spare indexes: -1, which readers
    // take as none; a blank field reads as 0 m.
    for (uint8_t sisa : {126, 255}) {
        ASSERT_EQ(Decode(kMsgGalinavephemeris, GalileoInav().u1(14, sisa)), RK_BROADCAST);
        EXPECT_EQ(Port().broadcast[0].kepler.accuracy, -1.0) << +sisa;
    }

    ASSERT_EQ(Decode(kMsgGalfnavephemeris, GalileoFnav()), RK_BROADCAST);
    k = Port().broadcast[0].kepler;
    EXPECT_EQ(k.codes, 258.0); // F/NAV E5a, clock E5a/E1
    EXPECT_EQ(k.af0, 2.989536151e-04);
    EXPECT_EQ(k.groupDelay1, -6.985e-10);
    EXPECT_TRUE(std::isnan(k.groupDelay2));

    // One ephemeris per message type the receiver has seen, each with its
    // own clock.
    ASSERT_EQ(Decode(kMsgGalephemeris, GalileoBoth()), RK_BROADCAST);
    ASSERT_EQ(Port().broadcastCount, 2u);
    EXPECT_EQ(Port().broadcast[0].kepler.af0, 2.0e-4);
    EXPECT_EQ(Port().broadcast[0].kepler.codes, 517.0);
    EXPECT_EQ(Port().broadcast[1].kepler.af0, 1.0e-4);
    EXPECT_EQ(Port().broadcast[1].kepler.codes, 258.0);
    EXPECT_EQ(Port().broadcast[1].kepler.e, 3.0e-4);

    // BeiDou keeps BDT: its week and the time the record was logged, 14 s
    // behind GPS time.
    ASSERT_EQ(Decode(kMsgBdsephemeris, Beidou()), RK_BROADCAST);
    k = Port().broadcast[0].kepler;
    EXPECT_EQ(k.system, SYS_BEIDOU);
    EXPECT_EQ(k.week, 206);
    EXPECT_EQ(k.transmission, 515716.0);
    EXPECT_EQ(k.iodc, 1.0);
    EXPECT_EQ(k.groupDelay2, -2e-9);
    EXPECT_EQ(k.accuracy, 2.0);

    ASSERT_EQ(Decode(kMsgQzssephemeris, Qzss()), RK_BROADCAST);
    k = Port().broadcast[0].kepler;
    EXPECT_EQ(k.system, SYS_QZSS);
    EXPECT_EQ(k.number, 1u);
    EXPECT_EQ(k.sqrtA, std::sqrt(4.2164e7));
    EXPECT_EQ(k.iodc, 532.0);
    EXPECT_EQ(k.accuracy, 2.4);
    EXPECT_EQ(k.fitInterval, 0.0);
    EXPECT_EQ(k.codes, 2.0); // as RINEX fixes it for QZSS
    EXPECT_EQ(k.transmission, 515730.0);
}

// The records give the week an ephemeris was sent in; its toe (and with it
// the RINEX epoch, week and transmission time) belongs to the week nearest
// the time it was logged: the next one for an ephemeris sent in a week's
// last hour, the one before for a toe just before the week began.
TEST(GnssEphemeris, AToeAcrossTheWeekFromItsSendingIsInItsOwnWeek) {
    constexpr int32_t kLastHour = 603600000, kFirstMinutes = 600000;
    struct Case {
        const char *name;
        uint16_t id;
        Body body;
        HeaderFields logged;
        int32_t week;        // toe and toc, in the system's weeks
        double transmission; // s of that week
    };
    const Case cases[] = {
        {"QZSS, toe next week",
         kMsgQzssephemeris,
         Qzss().u4(28, 1562).r8(32, 1800.0).r8(164, 1800.0),
         {1562, kLastHour, 180},
         1563,
         -1200.0},
        {"QZSS, toe last week",
         kMsgQzssephemeris,
         Qzss().u4(28, 1563).r8(32, 603000.0).r8(164, 603000.0),
         {1563, kFirstMinutes, 180},
         1562,
         605400.0},
        {"BeiDou, toe next week",
         kMsgBdsephemeris,
         Beidou().u4(4, 206).u4(72, 1800).u4(40, 1800),
         {1562, kLastHour, 180},
         207,
         603586.0 - 604800.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Decode(c.id, c.body, c.logged), RK_BROADCAST);
        const KeplerNavRecord &k = Port().broadcast[0].kepler;
        EXPECT_EQ(k.week, c.week);
        EXPECT_EQ(k.tocWeek, c.week);
        EXPECT_EQ(k.transmission, c.transmission);
    }
}

// Each row spoils one field of a valid record, or logs it at a time that
// does not fit its weeks; the record is dropped with a message and nothing
// reaches the port.
TEST(GnssEphemeris, ValuesNoBroadcastGivesDropTheRecord) {
    struct Row {
        const char *what;
        uint16_t id;
        std::function<Body()> valid;
        std::function<void(Body &)> spoil;
        HeaderFields logged = kOtherSystemsAt;
    };
    const double nan = NAN;
    const HeaderFields unknownTime{0, 0, 20}; // week 0, time status UNKNOWN
    const HeaderFields afterPowerOn{0, 500000, 20};
    const auto keep = [](Body &) {};
    const std::vector<Row> rows = {
        {"GLONASS slot 0", kMsgGloephemeris, Glonass, [](Body &b) { b.u2(0, 37); }},
        {"GLONASS slot 28", kMsgGloephemeris, Glonass, [](Body &b) { b.u2(0, 65); }},
        {"GLONASS channel +14", kMsgGloephemeris, Glonass, [](Body &b) { b.u2(2, 21); }},
        {"GLONASS x not finite", kMsgGloephemeris, Glonass, [nan](Body &b) { b.r8(28, nan); }},
        {"GLONASS tauN too large", kMsgGloephemeris, Glonass, [](Body &b) { b.r8(100, 1e300); }},
        {"GLONASS tk past the day", kMsgGloephemeris, Glonass, [](Body &b) { b.u4(124, 86400); }},
        {"GLONASS offset", kMsgGloephemeris, Glonass, [](Body &b) { b.u4(12, 0); }},
        {"GLONASS tb past the week", kMsgGloephemeris, Glonass, [](Body &b) { b.u4(8, 604800000); }},
        {"Galileo E37", kMsgGalinavephemeris, GalileoInav, [](Body &b) { b.u4(0, 37); }},
        {"Galileo e = 1", kMsgGalinavephemeris, GalileoInav, [](Body &b) { b.r8(40, 1.0); }},
        {"Galileo health 4", kMsgGalinavephemeris, GalileoInav, [](Body &b) { b.u1(4, 4); }},
        {"Galileo toe past the week", kMsgGalfnavephemeris, GalileoFnav, [](Body &b) { b.u4(12, 604800); }},
        {"Galileo af0 not finite", kMsgGalfnavephemeris, GalileoFnav, [nan](Body &b) { b.r8(140, nan); }},
        {"Galileo IODnav", kMsgGalephemeris, GalileoBoth, [](Body &b) { b.u4(20, 1024); }},
        {"Galileo sqrtA < 0", kMsgGalephemeris, GalileoBoth, [](Body &b) { b.r8(28, -1.0); }},
        {"Galileo logged at an unknown time", kMsgGalinavephemeris, GalileoInav, keep, unknownTime},
        // Stored ones listed at power-on: a toe near the power-on time would
        // otherwise give them a date in 1980.
        {"Galileo logged 500 s after power-on", kMsgGalinavephemeris, GalileoInav,
         [](Body &b) { b.u4(16, 600).u4(20, 600); }, afterPowerOn},
        {"BeiDou C64", kMsgBdsephemeris, Beidou, [](Body &b) { b.u4(0, 64); }},
        {"BeiDou health 2", kMsgBdsephemeris, Beidou, [](Body &b) { b.u4(16, 2); }},
        {"BeiDou URA not finite", kMsgBdsephemeris, Beidou, [nan](Body &b) { b.r8(8, nan); }},
        {"BeiDou logged at an unknown time", kMsgBdsephemeris, Beidou, keep, unknownTime},
        {"QZSS PRN 192", kMsgQzssephemeris, Qzss, [](Body &b) { b.u4(0, 192); }},
        {"QZSS A < 0", kMsgQzssephemeris, Qzss, [](Body &b) { b.r8(40, -4.2e7); }},
        {"QZSS IODC", kMsgQzssephemeris, Qzss, [](Body &b) { b.u4(160, 1024); }},
        {"QZSS toc", kMsgQzssephemeris, Qzss, [nan](Body &b) { b.r8(164, nan); }},
        {"QZSS logged at an unknown time", kMsgQzssephemeris, Qzss, keep, unknownTime},
        {"QZSS sent two weeks before it was logged", kMsgQzssephemeris, Qzss, [](Body &b) { b.u4(28, 1560); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Decode(row.id, row.valid()), RK_BROADCAST);
        Body spoilt = row.valid();
        row.spoil(spoilt);
        EXPECT_EQ(Decode(row.id, spoilt, row.logged), RK_NONE);
        ASSERT_EQ(CapturedMessages().size(), 1u);
        EXPECT_NE(CapturedMessages()[0].text.find("ephemeris received"), std::string::npos)
            << CapturedMessages()[0].text;
        EXPECT_EQ(Port().broadcastCount, 0u);
    }
    // A GALEPHEMERIS of both message types, its I/NAV clock spoilt: the
    // F/NAV ephemeris is kept.
    ASSERT_EQ(Decode(kMsgGalephemeris, GalileoBoth().r8(180, nan)), RK_BROADCAST);
    EXPECT_EQ(CapturedMessages().size(), 1u);
    ASSERT_EQ(Port().broadcastCount, 1u);
    EXPECT_EQ(Port().broadcast[0].kepler.codes, 258.0);
}

// The correction records feed the header lines of their systems, their
// truncated weeks made continuous; a spoilt one changes nothing.
TEST(GnssEphemeris, CorrectionRecordsGiveTheHeaderLinesOfTheirSystems) {
    OpenTestPort(DefaultOptions());
    static ThreadBuf buf;
    const HeaderFields at{kWeek, kMilliseconds, 180};
    Body galClock(kGalclockLength);
    galClock.r8(0, 9.313225746e-10).r8(8, 0.0).u4(16, 15).u4(20, 432000).u4(24, 1562 % 256);
    galClock.r8(40, 2.5902e-09).r8(48, 1.199e-14).u4(56, 518400).u4(60, 1562 % 64);
    Body galIono(kGalionoLength);
    galIono.r8(0, 66.25).r8(8, -0.1640625).r8(16, -0.00247192);
    Body bdsIono(kBdsionoLength);
    bdsIono.u4(0, 7).r8(4, 1.0244548320770e-08).r8(36, 1.1468800000000e+05);
    Body bdsClock(kBdsclockLength);
    bdsClock.r8(0, -9.3132257461548e-10).r8(8, 0.0);
    Body qzsIonoUtc(kQzssionutcLength);
    qzsIonoUtc.r8(0, 1.8626451492310e-08).r8(32, 1.0444800000000e+05).u4(64, 1562 % 256).u4(68, 405504);
    qzsIonoUtc.r8(72, 1.8626451492310e-09);
    std::vector<uint8_t> log;
    for (auto [id, body] : std::vector<std::pair<uint16_t, Body>>{{kMsgGalclock, galClock},
                                                                  {kMsgGaliono, galIono},
                                                                  {kMsgBdsiono, bdsIono},
                                                                  {kMsgBdsclock, bdsClock},
                                                                  {kMsgQzssionutc, qzsIonoUtc}}) {
        const std::vector<uint8_t> record = MakeRecord(id, body.bytes, at);
        log.insert(log.end(), record.begin(), record.end());
    }
    // A GALCLOCK whose offset is not finite is dropped; the earlier one stays.
    Body spoilt = galClock;
    spoilt.r8(0, NAN);
    const std::vector<uint8_t> bad = MakeRecord(kMsgGalclock, spoilt.bytes, at);
    log.insert(log.end(), bad.begin(), bad.end());
    CapturedMessages().clear();
    EXPECT_TRUE(Feed(log, &buf).empty());
    ASSERT_EQ(CapturedMessages().size(), 1u);
    EXPECT_EQ(CapturedMessages()[0].text, "GALCLOCK record with invalid values dropped");

    const std::string path = Scratch("corrections.nav");
    ASSERT_EQ(OpenRinexNav(&g_navWriter, path.c_str()), 0);
    RinexNavHeader header{};
    header.corrections = &Port().corrections;
    ASSERT_EQ(CloseRinexNav(&g_navWriter, &header), 0);
    const std::vector<std::string> lines = Lines(path);
    std::remove(path.c_str());
    const std::vector<std::string> expected = {
        // A4,1X,4D12.4 and A4,1X,D17.10,D16.9,1X,I6,1X,I4, labels in column 61.
        "GAL    6.6250D+01 -1.6406D-01 -2.4719D-03  0.0000D+00       IONOSPHERIC CORR",
        "QZSA   1.8626D-08  0.0000D+00  0.0000D+00  0.0000D+00       IONOSPHERIC CORR",
        "QZSB   1.0445D+05  0.0000D+00  0.0000D+00  0.0000D+00       IONOSPHERIC CORR",
        "BDSA   1.0245D-08  0.0000D+00  0.0000D+00  0.0000D+00       IONOSPHERIC CORR",
        "BDSB   1.1469D+05  0.0000D+00  0.0000D+00  0.0000D+00       IONOSPHERIC CORR",
        "GAUT  9.3132257460D-10 0.000000000D+00 432000 1562          TIME SYSTEM CORR",
        "GPGA  2.5902000000D-09 1.199000000D-14 518400 1562          TIME SYSTEM CORR",
        "QZUT  1.8626451492D-09 0.000000000D+00 405504 1562          TIME SYSTEM CORR",
        "BDUT -9.3132257462D-10 0.000000000D+00      0  206          TIME SYSTEM CORR",
    };
    ASSERT_EQ(lines.size(), expected.size() + 3);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i + 2], expected[i]);

    // BDT runs 14 s behind GPS time: a GPS week's first 14 s are still in
    // the BDT week before.
    for (auto [milliseconds, bdtWeek] : {std::pair{5000, 206}, std::pair{14000, 207}}) {
        Feed(MakeRecord(kMsgBdsclock, bdsClock.bytes, {1563, milliseconds, 180}), &buf);
        EXPECT_EQ(Port().corrections.beidouUtc.referenceWeek, bdtWeek) << milliseconds;
    }

    // Logged before the receiver knew the week, a truncated week has
    // nothing to be made continuous with: the record is dropped.
    for (auto [id, body, name] :
         {std::tuple{kMsgGalclock, galClock, "GALCLOCK"}, std::tuple{kMsgQzssionutc, qzsIonoUtc, "QZSSIONUTC"}}) {
        CapturedMessages().clear();
        Feed(MakeRecord(id, body.bytes, {0, 500000, 20}), &buf);
        ASSERT_EQ(CapturedMessages().size(), 1u) << name;
        EXPECT_EQ(CapturedMessages()[0].text, std::string(name) + " record with invalid values dropped");
    }
    EXPECT_EQ(Port().corrections.galileoUtc.referenceWeek, 1562);
    EXPECT_EQ(Port().corrections.gpsGalileo.referenceWeek, 1562);
    EXPECT_EQ(Port().corrections.qzssUtc.referenceWeek, 1562);

    // GPS's IONUTC likewise: each row spoils one value, and the record is
    // dropped with the valid one before it kept.
    Body ionUtc(kIonutcLength);
    ionUtc.r8(0, 1.1176e-08).r8(32, 90112.0).u4(64, 1562).u4(68, 61440).r8(72, -5.5879354477e-09);
    ionUtc.u4(88, 1562).u4(92, 7).u4(96, 15).u4(100, 15);
    Feed(MakeRecord(kMsgIonutc, ionUtc.bytes, at), &buf);
    const auto kept = [](const IonUtcParameters &p) {
        return std::tuple(p.valid, p.alpha[1], p.beta[3], p.utcA1, p.utcWeek, p.utcReferenceTime, p.leapWeek, p.leapDay,
                          p.leapSeconds, p.futureLeapSeconds);
    };
    const auto before = kept(Port().ionUtc);
    ASSERT_EQ(std::get<0>(before), 1u);
    const std::vector<std::pair<const char *, std::function<void(Body &)>>> spoils = {
        {"alpha not finite", [](Body &b) { b.r8(8, NAN); }},
        {"beta beyond a D12.4 field", [](Body &b) { b.r8(56, 1e300); }},
        {"A1 not finite", [](Body &b) { b.r8(80, INFINITY); }},
        {"tot past the week", [](Body &b) { b.u4(68, 604800); }},
        {"UTC week", [](Body &b) { b.u4(64, 0xFFFFFFFF); }},
        {"leap second week", [](Body &b) { b.u4(88, 0x10000); }},
        {"day number", [](Body &b) { b.u4(92, 8); }},
        {"leap seconds", [](Body &b) { b.u4(96, 0x80000000); }},
        {"future leap seconds", [](Body &b) { b.u4(100, 101); }},
    };
    for (const auto &[what, spoil] : spoils) {
        Body spoiltIonUtc = ionUtc;
        spoil(spoiltIonUtc);
        CapturedMessages().clear();
        Feed(MakeRecord(kMsgIonutc, spoiltIonUtc.bytes, at), &buf);
        ASSERT_EQ(CapturedMessages().size(), 1u) << what;
        EXPECT_EQ(CapturedMessages()[0].text, "IONUTC record with invalid values dropped");
        EXPECT_EQ(kept(Port().ionUtc), before) << what;
    }
}
