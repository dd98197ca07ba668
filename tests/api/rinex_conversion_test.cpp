// RINEX export of whole conversions, read back by the tests' own RINEX
// reader: the real logs value for value against their observation files,
// the sample's camera events and ephemerides, RINEX without the host's
// files, write failures, and the receiver's VERSION and IONUTC records.
#include <algorithm>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "api/convert.h"
#include "api/rinex_export.h"
#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4conv.h"
#include "output/tsq_reader.h"
#include "support/command_runner.h"
#include "support/conversion_request.h"
#include "support/oem4_records.h"
#include "support/rinex_reader.h"
#include "support/scratch.h"

namespace fs = std::filesystem;
using testsupport::Append;
using testsupport::Bytes;
using testsupport::ErrString;
using testsupport::MakeRecord;
using testsupport::WriteBytes;

namespace {

std::vector<std::string> g_messages;
void OEM4CONV_CALL OnMessage(double, const char *text) { g_messages.emplace_back(text); }

std::string SampleLog() {
    const fs::path p = fs::path(OEM4CONV_SOURCE_DIR) / "examples" / "sample.gps";
    return fs::exists(p) ? p.string() : std::string();
}

using rinexread::SecondsOfWeek;
using rinexread::TypeIndex;

class RinexConversion : public ::testing::Test {
protected:
    void SetUp() override {
        g_messages.clear();
        options = testsupport::MakeRequest();
        host = testsupport::MakeHost(OnMessage);
        Rinex(true, true, "");
    }
    void TearDown() override { SetConvertRinex(nullptr); }
    void Rinex(bool enabled, bool hostFiles, const char *marker, int32_t version = 0) {
        ConvertRinexOptions rinex{};
        rinex.enabled = enabled ? 1 : 0;
        rinex.hostFiles = hostFiles ? 1 : 0;
        rinex.version = version;
        std::snprintf(rinex.markerName, sizeof rinex.markerName, "%s", marker);
        SetConvertRinex(&rinex);
    }
    int32_t Convert(const std::string &input, const std::string &base) {
        std::snprintf(options->inputFile, sizeof options->inputFile, "%s", input.c_str());
        std::snprintf(options->outputFile, sizeof options->outputFile, "%s", (dir / base).c_str());
        return ConvertFile(options.get(), &host, 0);
    }
    std::string Path(const std::string &name) const { return (dir / name).string(); }
    // Each epoch of the observation file `name` with the first RINEX epoch
    // not earlier than it, which must be of the same time. Stops at the
    // first fatal failure, of its own or of `visit`.
    template <class Visit>
    void ForEachMatchedEpoch(const std::string &name, const rinexread::ObsFile &obs, Visit visit) {
        static TsqReader reader;
        static EpochRecord epoch;
        static MeasRecord meas[kTsqMaxMeasurements];
        ASSERT_EQ(OpenTsqReader(&reader, Path(name).c_str()), 0);
        size_t index = 0;
        bool missing = false;
        while (!HasFatalFailure() && ReadTsqEpoch(&reader, &epoch, meas, kTsqMaxMeasurements) == TSQ_EPOCH_READ) {
            while (index < obs.epochs.size() && SecondsOfWeek(obs.epochs[index]) < epoch.receiverTime - 1e-6) ++index;
            if ((missing = index >= obs.epochs.size())) break;
            visit(epoch, meas, obs.epochs[index]);
        }
        CloseTsqReader(&reader);
        if (missing) FAIL() << "no RINEX epoch at " << epoch.receiverTime;
    }

    testsupport::ScratchDir scratch{"oem4conv_rinex"};
    const fs::path dir = scratch.path;
    std::unique_ptr<ConvertOptions> options;
    ConvertHost host;
};

} // namespace

// The RINEX file holds every satellite of the log, the observation file
// those its channels take: each of the latter is in the RINEX epoch of the
// same time with the same values.
TEST_F(RinexConversion, RealLogsHoldEveryObservationOfTheirObservationFile) {
    int converted = 0;
    for (const char *name : {"oemv_200911218.gps", "gps-range-static.dat", "gps-rangecmp.dat"}) {
        const std::string log = testsupport::SharedDataFile(name);
        if (log.empty()) continue;
        SCOPED_TRACE(name);
        ASSERT_EQ(Convert(log, "real"), 0) << ErrString();
        ++converted;

        rinexread::ObsFile obs;
        ASSERT_EQ(rinexread::ReadCheckedObs(Path("real.obs"), &obs), "");
        rinexread::NavFile nav;
        ASSERT_EQ(rinexread::ReadCheckedNav(Path("real.nav"), &nav), "");
        // Every GPS ephemeris of the ephemeris file; the other systems'
        // have a place in RINEX only.
        EXPECT_EQ(std::count_if(nav.records.begin(), nav.records.end(),
                                [](const rinexread::NavRecord &r) { return r.system == 'G'; }),
                  options->ephemerisCount);

        long compared = 0;
        ForEachMatchedEpoch(
            "real.tsq", obs, [&](const EpochRecord &epoch, const MeasRecord *meas, const rinexread::ObsEpoch &e) {
                ASSERT_EQ(e.flag, 0);
                ASSERT_NEAR(SecondsOfWeek(e), epoch.receiverTime, 1e-7);
                EXPECT_GE(e.sats.size(), static_cast<size_t>(epoch.satCount));
                for (int i = 0; i < epoch.satCount; ++i) {
                    const int prn = meas[i].prn;
                    if (prn < 1 || prn > 32) continue;
                    const rinexread::SatRecord *sat = nullptr;
                    for (const auto &r : e.sats)
                        if (r.system == 'G' && r.number == prn) sat = &r;
                    ASSERT_NE(sat, nullptr) << epoch.receiverTime << " G" << prn;
                    const std::string where = std::to_string(epoch.receiverTime) + " G" + std::to_string(prn);
                    // Where the RINEX file has a value (code lock, phase lock), it is the log's.
                    auto same = [&](const char *type, double logValue) {
                        const rinexread::ObsValue *v = rinexread::ValueOf(obs, *sat, type);
                        if (logValue == 0.0 || v == nullptr || !v->present) return;
                        EXPECT_LE(std::fabs(v->value - logValue), 0.0005 + 1e-7) << where << " " << type;
                        ++compared;
                    };
                    same("C1C", meas[i].l1Pseudorange);
                    same("L1C", -meas[i].l1Phase);
                    same("D1C", meas[i].l1Doppler);
                    const rinexread::ObsValue *w = rinexread::ValueOf(obs, *sat, "L2W");
                    const bool inW = w != nullptr && w->present;
                    same(inW ? "C2W" : "C2S", meas[i].l2Pseudorange);
                    same(inW ? "L2W" : "L2S", -meas[i].l2Phase);
                }
            });
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(obs.epochs.size(), options->epochCount);
        EXPECT_GT(compared, 1000);
    }
    if (converted == 0) GTEST_SKIP() << "no shared data";
}

// With the clock recomputed, each RINEX epoch carries the clock offset of
// the observation file's epoch of the same time: the recomputed one, not the
// clock model's the decoder attached.
TEST_F(RinexConversion, RecomputedClockReachesRinexAsTheObservationFileHasIt) {
    const std::string log = SampleLog();
    if (log.empty()) GTEST_SKIP() << "no sample";
    Oem4Options converter;
    std::memcpy(&converter, options->converterOptions, sizeof converter);
    converter.recomputeClock = 1;
    std::memcpy(options->converterOptions, &converter, sizeof converter);
    ASSERT_EQ(Convert(log, "solved"), 0) << ErrString();
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadObs(Path("solved.obs"), &obs), "");

    long solved = 0;
    ForEachMatchedEpoch("solved.tsq", obs,
                        [&](const EpochRecord &epoch, const MeasRecord *, const rinexread::ObsEpoch &e) {
                            if (epoch.clockOffset == 0.0) return;
                            ASSERT_TRUE(e.hasClock) << epoch.receiverTime;
                            EXPECT_NEAR(e.clockOffset, epoch.clockOffset / 299792458.0, 1e-12) << epoch.receiverTime;
                            ++solved;
                        });
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_GT(solved, 100);
}

TEST_F(RinexConversion, SampleGivesItsMarksAsEventsAndItsEphemeridesAsNavigationRecords) {
    const std::string log = SampleLog();
    if (log.empty()) GTEST_SKIP() << "no sample";
    ASSERT_EQ(Convert(log, "sample"), 0) << ErrString();

    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(Path("sample.obs"), &obs), "");
    EXPECT_EQ(rinexread::Labelled(obs.header, "MARKER NAME")[0].content.substr(0, 7), "sample ");
    ASSERT_EQ(rinexread::Labelled(obs.header, "APPROX POSITION XYZ").size(), 1u);

    // The marks of the mark file, in order.
    std::vector<std::pair<unsigned, double>> marks;
    std::ifstream sta(Path("sample.sta"));
    std::string line;
    while (std::getline(sta, line)) {
        unsigned number = 0;
        double time = 0;
        if (std::sscanf(line.c_str(), "CAMERA PULSE #%u AT: %lf", &number, &time) == 2)
            marks.emplace_back(number, time);
    }
    ASSERT_EQ(marks.size(), 150u);
    size_t m = 0;
    size_t epochs = 0;
    double previous = -1.0;
    for (const rinexread::ObsEpoch &e : obs.epochs) {
        const double t = SecondsOfWeek(e);
        EXPECT_GE(t, previous) << "records out of time order";
        previous = t;
        if (e.flag == 0) {
            ++epochs;
            continue;
        }
        ASSERT_EQ(e.flag, 5);
        ASSERT_LT(m, marks.size());
        EXPECT_NEAR(t, marks[m].second, 1e-6);
        ASSERT_EQ(e.special.size(), 1u);
        EXPECT_EQ(e.special[0].label, "COMMENT");
        EXPECT_EQ(e.special[0].content.substr(0, 14 + std::to_string(marks[m].first).size()),
                  "CAMERA PULSE #" + std::to_string(marks[m].first));
        ++m;
    }
    EXPECT_EQ(m, 150u);
    EXPECT_EQ(epochs, 600u);

    // The sample's one cycle slip (PRN 3 at 306172 s, both frequencies) is
    // the only phase flagged as having lost lock.
    const int l1 = TypeIndex(obs, 'G', "L1C");
    const int l2 = TypeIndex(obs, 'G', "L2W");
    ASSERT_GE(l2, 0);
    std::vector<std::string> lost;
    for (const rinexread::ObsEpoch &e : obs.epochs) {
        for (const rinexread::SatRecord &sat : e.sats) {
            for (int k : {l1, l2}) {
                if (sat.values[static_cast<size_t>(k)].lli != 0) {
                    lost.push_back(std::to_string(static_cast<int>(SecondsOfWeek(e))) + " G" +
                                   std::to_string(sat.number) + (k == l1 ? " L1" : " L2"));
                }
            }
        }
    }
    EXPECT_EQ(lost, (std::vector<std::string>{"306172 G3 L1", "306172 G3 L2"}));

    // The ephemerides of the EPP file, parameter by parameter.
    rinexread::NavFile nav;
    ASSERT_EQ(rinexread::ReadCheckedNav(Path("sample.nav"), &nav), "");
    std::ifstream epp(Path("sample.epp"));
    std::stringstream text;
    text << epp.rdbuf();
    std::string all = text.str();
    std::vector<std::vector<double>> blocks;
    for (size_t at = all.find("GpsEph {"); at != std::string::npos; at = all.find("GpsEph {", at + 1)) {
        std::string block = all.substr(at, all.find('}', at) - at);
        for (const char *key : {"GpsEph { Prn:", "El1:", "El2:", "El3:", "El4:", "El5:", "El6:"}) {
            const size_t k = block.find(key);
            block.replace(k, std::strlen(key), std::string(std::strlen(key), ' '));
        }
        std::istringstream values(block);
        std::vector<double> v;
        double x = 0;
        while (values >> x) v.push_back(x);
        ASSERT_EQ(v.size(), 26u);
        blocks.push_back(v);
    }
    ASSERT_EQ(blocks.size(), 19u);
    ASSERT_EQ(nav.records.size(), 19u);
    auto same = [](double rinex, double epp) { return std::fabs(rinex - epp) <= 5e-9 * std::fabs(epp) + 1e-30; };
    for (size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(i);
        const std::vector<double> &b = blocks[i];
        const rinexread::NavRecord &r = nav.records[i];
        // EPP order: Prn; week, 9999, TGD, IODC, toc; af2, af1, af0; IODE, Crs,
        // dn, M0; Cuc, e, Cus, sqrtA; toe, Cic, Omega0, Cis; i0, Crc, omega,
        // Omega dot, IDOT.
        EXPECT_EQ(r.system, 'G');
        EXPECT_EQ(r.number, static_cast<int>(b[0]));
        EXPECT_EQ(static_cast<int>(r.orbit[4][2]) % 1024, static_cast<int>(b[1]));
        EXPECT_TRUE(same(r.orbit[5][2], b[3]));
        EXPECT_EQ(r.orbit[5][3], b[4]);
        int week = 0;
        double toc = 0;
        rinexread::GpsTimeOf(r.year, r.month, r.day, r.hour, r.minute, r.second, &week, &toc);
        EXPECT_EQ(toc, b[5]);
        EXPECT_TRUE(same(r.clock[2], b[6]));
        EXPECT_TRUE(same(r.clock[1], b[7]));
        EXPECT_TRUE(same(r.clock[0], b[8]));
        const double orbit[5][4] = {{b[9], b[10], b[11], b[12]},
                                    {b[13], b[14], b[15], b[16]},
                                    {b[17], b[18], b[19], b[20]},
                                    {b[21], b[22], b[23], b[24]},
                                    {b[25], 0, 0, 0}};
        for (int o = 0; o < 5; ++o) {
            for (int k = 0; k < (o == 4 ? 1 : 4); ++k) {
                EXPECT_TRUE(same(r.orbit[o][k], orbit[o][k]))
                    << o << "," << k << ": " << r.orbit[o][k] << " " << orbit[o][k];
            }
        }
    }
}

TEST_F(RinexConversion, RinexOnlyWritesNoHostFilesAndTheSameRinex) {
    const std::string log = SampleLog();
    if (log.empty()) GTEST_SKIP() << "no sample";
    ASSERT_EQ(Convert(log, "both"), 0) << ErrString();
    Rinex(true, false, "");
    ASSERT_EQ(Convert(log, "only"), 0) << ErrString();
    EXPECT_EQ(options->epochCount, 600u);
    EXPECT_EQ(options->ephemerisCount, 19u);
    EXPECT_EQ(options->markCount, 150u);
    for (const char *ext : {".tsq", ".epp", ".sta"}) EXPECT_FALSE(fs::exists(Path(std::string("only") + ext))) << ext;
    rinexread::ObsFile both, only;
    ASSERT_EQ(rinexread::ReadObs(Path("both.obs"), &both), "");
    ASSERT_EQ(rinexread::ReadObs(Path("only.obs"), &only), "");
    ASSERT_EQ(both.lines.size(), only.lines.size());
    for (size_t i = 0; i < both.lines.size(); ++i) {
        // The creation date, and mark numbers, which count on from one
        // conversion to the next, may differ.
        if (both.lines[i].find("PGM / RUN BY / DATE") != std::string::npos ||
            both.lines[i].rfind("CAMERA PULSE #", 0) == 0) {
            continue;
        }
        ASSERT_EQ(both.lines[i], only.lines[i]) << i;
    }

    // A log named like a host file may be converted beside itself when only
    // RINEX is written; one named like a RINEX file may not.
    fs::copy_file(log, Path("same.tsq"));
    EXPECT_EQ(Convert(Path("same.tsq"), "same"), 0) << ErrString();
    fs::copy_file(log, Path("same2.obs"));
    EXPECT_EQ(Convert(Path("same2.obs"), "same2"), 1);
    EXPECT_EQ(ErrString(), "Error: Output file " + Path("same2.obs") + " is the input file");

    // Off again: no RINEX file is made.
    SetConvertRinex(nullptr);
    ASSERT_EQ(Convert(log, "none"), 0);
    EXPECT_TRUE(fs::exists(Path("none.tsq")));
    EXPECT_FALSE(fs::exists(Path("none.obs")));
    EXPECT_FALSE(fs::exists(Path("none.nav")));
}

TEST_F(RinexConversion, AFullDiskEndsTheConversionLikeTheHostFiles) {
    const std::string log = SampleLog();
    if (log.empty() || !fs::exists("/dev/full")) GTEST_SKIP() << "no sample or no /dev/full";
    for (const char *ext : {".obs", ".nav"}) {
        SCOPED_TRACE(ext);
        const std::string base = std::string("full") + (ext + 1);
        fs::create_symlink("/dev/full", Path(base + ext));
        g_messages.clear();
        EXPECT_EQ(Convert(log, base), 1);
        const std::string expected = "Error: Unable to write to " + Path(base + ext);
        EXPECT_EQ(ErrString(), expected);
        ASSERT_FALSE(g_messages.empty());
        EXPECT_EQ(g_messages.back(), expected);
    }
    // An output that cannot be created stops the conversion before it starts.
    fs::create_directories(Path("blocked.obs"));
    EXPECT_EQ(Convert(log, "blocked"), 1);
    EXPECT_EQ(ErrString(), "Error: Unable to open " + Path("blocked.obs"));

    // The GLONASS file of RINEX 2.11 alike.
    Rinex(true, true, "", 211);
    fs::create_symlink("/dev/full", Path("fullg.gnav"));
    EXPECT_EQ(Convert(log, "fullg"), 1);
    EXPECT_EQ(ErrString(), "Error: Unable to write to " + Path("fullg.gnav"));
    fs::create_directories(Path("blockedg.gnav"));
    EXPECT_EQ(Convert(log, "blockedg"), 1);
    EXPECT_EQ(ErrString(), "Error: Unable to open " + Path("blockedg.gnav"));
}

TEST_F(RinexConversion, VersionAndIonUtcRecordsFillTheHeadersAndMarkerNamesFollowTheLog) {
    auto text16 = [](const char *s) {
        std::vector<uint8_t> field(16, 0);
        std::memcpy(field.data(), s, std::strlen(s));
        return field;
    };
    Bytes version;
    version.u4(2);
    // An antenna component first: only the receiver card names the receiver.
    version.u4(3).raw(text16("ANT")).raw(text16("A1")).raw(text16("")).raw(text16("")).raw(text16("")).zeros(24);
    version.u4(1)
        .raw(text16("RT2W"))
        .raw(text16("NGS12345678"))
        .raw(text16("OEM4-3.00-2T"))
        .raw(text16("1.700S15"))
        .raw(text16("1.0"))
        .zeros(24);
    Bytes ionutc;
    for (double a : {1.1176e-08, 1.4901e-08, -5.9605e-08, -1.1921e-07}) ionutc.r8(a);
    for (double b : {90112.0, 16384.0, -196608.0, -65536.0}) ionutc.r8(b);
    ionutc.u4(1500).u4(61440).r8(-5.5879354477e-09).r8(-1.243449788e-14).u4(1500).u4(7).i4(14).i4(14).u4(0);
    std::vector<uint8_t> bytes = MakeRecord(kMsgVersion, version.data());
    const std::vector<uint8_t> ion = MakeRecord(kMsgIonutc, ionutc.data());
    bytes.insert(bytes.end(), ion.begin(), ion.end());
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint8_t> range = testsupport::RangeLog(5, 100000 + 1000 * k);
        bytes.insert(bytes.end(), range.begin(), range.end());
    }
    const std::string logPath = Path("flight.day2.gps");
    WriteBytes(logPath, bytes);
    ASSERT_EQ(Convert(logPath, "out"), 0) << ErrString();
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(Path("out.obs"), &obs), "");
    EXPECT_EQ(rinexread::Labelled(obs.header, "REC # / TYPE / VERS")[0].content,
              "NGS12345678         NOVATEL OEM4-3.00-2T1.700S15            ");
    EXPECT_EQ(rinexread::Labelled(obs.header, "MARKER NAME")[0].content.substr(0, 11), "flight.day2");
    EXPECT_EQ(rinexread::Labelled(obs.header, "LEAP SECONDS")[0].content.substr(0, 6), "    14");
    EXPECT_EQ(obs.epochs.size(), 3u);
    rinexread::NavFile nav;
    ASSERT_EQ(rinexread::ReadCheckedNav(Path("out.nav"), &nav), "");
    const auto ion2 = rinexread::Labelled(nav.header, "IONOSPHERIC CORR");
    ASSERT_EQ(ion2.size(), 2u);
    EXPECT_EQ(ion2[1].content.substr(0, 53), "GPSB   9.0112D+04  1.6384D+04 -1.9661D+05 -6.5536D+04");
    EXPECT_EQ(rinexread::Labelled(nav.header, "TIME SYSTEM CORR")[0].content.substr(0, 50),
              "GPUT -5.5879354477D-09-1.243449788D-14  61440 1500");
    // RINEX 2.11 says the same in its own records: 2X,4D12.4; 3X,2D19.12,2I9; I6.
    Rinex(true, true, "", 211);
    ASSERT_EQ(Convert(logPath, "v211"), 0) << ErrString();
    rinexread::NavFile nav211;
    ASSERT_EQ(rinexread::ReadCheckedNav(Path("v211.nav"), &nav211), "");
    std::vector<std::string> header211;
    for (const rinexread::HeaderLine &h : nav211.header) header211.push_back(h.content + h.label);
    EXPECT_EQ(
        std::vector<std::string>(header211.begin() + 2, header211.end()),
        (std::vector<std::string>{"    1.1176D-08  1.4901D-08 -5.9605D-08 -1.1921D-07          ION ALPHA",
                                  "    9.0112D+04  1.6384D+04 -1.9661D+05 -6.5536D+04          ION BETA",
                                  "   -5.587935447700D-09-1.243449788000D-14    61440     1500 DELTA-UTC: A0,A1,T,W",
                                  "    14                                                      LEAP SECONDS",
                                  "                                                            END OF HEADER"}));

    // Without those records: the receiver is only named as the log's maker,
    // and nothing is said about leap seconds; --marker names the marker.
    Rinex(true, true, "PILLAR 12");
    const std::vector<uint8_t> plain = testsupport::RangeLog(4, 100000);
    WriteBytes(Path("plain.gps"), plain);
    ASSERT_EQ(Convert(Path("plain.gps"), "plain"), 0) << ErrString();
    rinexread::ObsFile plainObs;
    ASSERT_EQ(rinexread::ReadObs(Path("plain.obs"), &plainObs), "");
    EXPECT_EQ(rinexread::Labelled(plainObs.header, "REC # / TYPE / VERS")[0].content.substr(0, 27),
              "                    NOVATEL");
    EXPECT_EQ(rinexread::Labelled(plainObs.header, "MARKER NAME")[0].content.substr(0, 10), "PILLAR 12 ");
    EXPECT_TRUE(rinexread::Labelled(plainObs.header, "LEAP SECONDS").empty());
    rinexread::NavFile plainNav;
    ASSERT_EQ(rinexread::ReadNav(Path("plain.nav"), &plainNav), "");
    EXPECT_TRUE(rinexread::Labelled(plainNav.header, "IONOSPHERIC CORR").empty());
}

TEST_F(RinexConversion, HostileValuesNeverBreakAColumn) {
    // A CRC-valid RANGE whose values no receiver would send: NaN, infinity,
    // values beyond every field, negative lock times, PRNs of no system.
    Bytes body;
    const uint32_t prns[] = {1, 2, 3, 4, 0, 200, 38, 120};
    const double values[] = {NAN, INFINITY, -1e300, 1e10, 2e7, 2e7, 2e7, 2e7};
    body.u4(16);
    for (int i = 0; i < 8; ++i) {
        for (uint32_t frequency : {0u, 1u}) {
            body.u2(static_cast<uint16_t>(prns[i])).u2(0).r8(values[i]).r4(0.1f);
            body.r8(-values[i])
                .r4(0.01f)
                .r4(static_cast<float>(values[i]))
                .r4(i == 1   ? 1e9f
                    : i == 3 ? INFINITY
                             : -5.0f);
            body.r4(i == 2 ? -1.0f : NAN).u4(0x1C00 | (frequency << 21));
        }
    }
    std::vector<uint8_t> bytes = MakeRecord(43, body.data());
    // Marks at times no date can show, and one good mark logged twice.
    for (const std::pair<uint32_t, double> &mark : std::vector<std::pair<uint32_t, double>>{
             {1500, NAN}, {1500, -1e300}, {0xFFFFFFFFu, 100.5}, {1500, 100.5}, {1500, 100.5}}) {
        Bytes markBody;
        markBody.u4(mark.first).r8(mark.second).r8(0.0).zeros(20);
        const std::vector<uint8_t> record = MakeRecord(231, markBody.data(), {1500, 100500, 180});
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    const std::vector<uint8_t> second = MakeRecord(43, body.data(), {1500, 101000, 180});
    bytes.insert(bytes.end(), second.begin(), second.end());
    WriteBytes(Path("hostile.gps"), bytes);
    ASSERT_EQ(Convert(Path("hostile.gps"), "hostile"), 0) << ErrString();
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(Path("hostile.obs"), &obs), "");
    ASSERT_EQ(obs.epochs.size(), 3u);
    EXPECT_EQ(obs.epochs[1].flag, 5);
    EXPECT_EQ(options->markCount, 5u);
    for (const char *notice : {"Notice: 3 camera marks of a time no date can show left out of the RINEX observation "
                               "file's events (the mark file holds them)",
                               "Notice: 1 camera marks repeating the time of the mark before them (a pulse logged "
                               "twice) left out of the RINEX observation file's events (the mark file holds them)"}) {
        EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), notice), 1) << notice;
    }
    // PRN 0 is no satellite for the decoder; PRNs 120 and 200 flagged as
    // GPS have no RINEX GPS number.
    EXPECT_EQ(obs.epochs[0].sats.size(), 5u);
    for (const rinexread::SatRecord &sat : obs.epochs[0].sats) {
        for (const rinexread::ObsValue &v : sat.values) {
            if (v.present) {
                EXPECT_LT(std::fabs(v.value), 1e10);
            }
        }
    }
}

// What the observation file cannot hold is counted and told, once at the
// end: a GLONASS satellite before its slot is known (PRN 0), a signal RINEX
// has no code for, in RINEX 2.11 a system or a signal it has no types for,
// and an epoch or a mark of GPS week 0 (a receiver that has not yet set its
// time), which no date stands for; and a mark logged too late to be placed
// in time order among the epochs.
TEST_F(RinexConversion, ObservationsTheFileCannotHoldAreTold) {
    struct Observation {
        uint16_t prn;
        uint32_t system, signal;
    };
    // GPS L1 C/A, GLONASS of unknown slot (PRN 0, or a PRN past the slots),
    // a GPS signal type without a code, Galileo E1C, and GPS L2 and L1C
    // after the Galileo signal (which makes the export map the epoch a
    // second time: nothing may count twice); each in two epochs.
    const Observation observations[] = {{5, 0, 0}, {0, 1, 0}, {87, 1, 0}, {5, 0, 3}, {11, 3, 2}, {5, 0, 1}, {5, 0, 16}};
    Bytes body;
    body.u4(7);
    for (const Observation &o : observations) {
        body.u2(o.prn).u2(0).r8(2.1e7).r4(0.1f).r8(-1.1e8).r4(0.01f).r4(-100.0f).r4(45.0f).r4(50.0f);
        body.u4(0x1C00 | o.system << 16 | o.signal << 21);
    }
    std::vector<uint8_t> bytes = MakeRecord(43, body.data(), {0, 5000, 20});
    Append(bytes, MakeRecord(231, Bytes().u4(0).r8(5.5).r8(0.0).zeros(20).data(), {0, 5500, 20}));
    // A GPS ephemeris the receiver kept, listed before it knew the week: it
    // waits for the week of the epochs (toe 04:00 of its second day, sent
    // at 03:30); in a log of no such epoch it is left out.
    Bytes ephemeris;
    ephemeris.u4(5).r8(99000.0).u4(0).u4(7).u4(7).u4(1500).u4(1500).r8(100800.0).r8(2.656e7).zeros(14 * 8);
    ephemeris.u4(7).r8(100800.0).zeros(4 * 8).u4(1).r8(0.0).r8(4.0);
    const std::vector<uint8_t> ephemerisRecord = MakeRecord(7, ephemeris.data(), {0, 5600, 20});
    Append(bytes, ephemerisRecord);
    std::vector<uint8_t> weekless = MakeRecord(43, body.data(), {0, 5000, 20});
    Append(weekless, ephemerisRecord);
    WriteBytes(Path("weekless.gps"), weekless);
    const std::string unknownWeekEphemeris = "Notice: 1 GPS ephemerides of GPS week 0 left out of the RINEX navigation "
                                             "file (the receiver had not yet set its time, and no epoch of the log "
                                             "told the week)";
    Append(bytes, MakeRecord(43, body.data()));
    Append(bytes, MakeRecord(43, body.data(), {1500, 103000, 180}));
    Append(bytes, MakeRecord(231, Bytes().u4(1500).r8(99.0).r8(0.0).zeros(20).data(), {1500, 103100, 180}));
    WriteBytes(Path("untold.gps"), bytes);
    const std::string late = "Notice: 1 camera marks written to the RINEX observation file after an epoch later "
                             "than their time (their MARKTIME came too late in the log, or after its time went "
                             "back)";
    const std::string unknownWeek = "Notice: 1 epochs of GPS week 0 left out of the RINEX observation file (the "
                                    "receiver had not yet set its time)";
    const std::string unknownWeekMark = "Notice: 1 camera marks of GPS week 0 left out of the RINEX observation "
                                        "file's events (the receiver had not yet set its time; the mark file holds "
                                        "them)";
    const std::string slot = "Notice: 4 GLONASS observations left out of the RINEX observation file (their slot was "
                             "not yet known)";
    const std::string code =
        "Notice: 2 GPS observations left out of the RINEX observation file (a signal RINEX has no code for)";
    const std::string system =
        "Notice: 2 Galileo observations left out of the RINEX observation file (the RINEX 2.11 file holds GPS, GLONASS and SBAS only)";
    const std::string type =
        "Notice: 2 GPS observations left out of the RINEX observation file (a signal RINEX 2.11 has no type for)";
    for (const int32_t version : {0, kRinexVersion211}) {
        SCOPED_TRACE(version);
        g_messages.clear();
        Rinex(true, true, "", version);
        ASSERT_EQ(Convert(Path("untold.gps"), "untold"), 0) << ErrString();
        auto told = [](const std::string &text) { return std::count(g_messages.begin(), g_messages.end(), text); };
        EXPECT_EQ(told(slot), 1);
        EXPECT_EQ(told(code), 1);
        EXPECT_EQ(told(system), version == kRinexVersion211 ? 1 : 0);
        EXPECT_EQ(told(type), version == kRinexVersion211 ? 1 : 0);
        EXPECT_EQ(told(unknownWeek), 1);
        EXPECT_EQ(told(unknownWeekMark), 1);
        EXPECT_EQ(told(late), 1);
        EXPECT_EQ(options->epochCount, 3u); // the observation file keeps them
        std::ifstream in(Path("untold.obs"));
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("G05"), std::string::npos);
        EXPECT_EQ(text.find("R50"), std::string::npos);
        EXPECT_EQ(text.find("1980"), std::string::npos);
        EXPECT_EQ(text.find(" 80  1  6"), std::string::npos);
        EXPECT_EQ(text.find("E11") != std::string::npos, version != kRinexVersion211);
        rinexread::NavFile nav;
        ASSERT_EQ(rinexread::ReadNav(Path("untold.nav"), &nav), "");
        ASSERT_EQ(nav.records.size(), 1u);
        const rinexread::NavRecord &r = nav.records[0];
        EXPECT_EQ(std::vector<int>({r.year, r.month, r.day, r.hour}), std::vector<int>({2008, 10, 6, 4}));
        EXPECT_EQ(r.orbit[4][2], 1500.0);
        EXPECT_EQ(r.orbit[6][0], 99000.0);
        EXPECT_EQ(told(unknownWeekEphemeris), 0);
        g_messages.clear();
        ASSERT_EQ(Convert(Path("weekless.gps"), "weekless"), 0) << ErrString();
        EXPECT_EQ(told(unknownWeekEphemeris), 1);
    }
}

// A GLONASS satellite that changes its frequency channel is told once per
// antenna whose file holds it: each file's GLONASS SLOT / FRQ # gives the
// last channel alone.
TEST_F(RinexConversion, AChangeOfGlonassChannelIsToldForEachAntenna) {
    auto epoch = [](int channel, int32_t milliseconds, uint8_t source) {
        Bytes body;
        body.u4(1)
            .u2(45)
            .u2(static_cast<uint16_t>(channel + 7))
            .r8(2.1e7)
            .r4(0.1f)
            .r8(-1.1e8)
            .r4(0.01f)
            .r4(-100.0f)
            .r4(45.0f)
            .r4(50.0f);
        body.u4(0x1C00 | 1u << 16);
        return MakeRecord(43, body.data(), {1500, milliseconds, 180, source});
    };
    std::vector<uint8_t> bytes;
    for (const uint8_t source : {uint8_t{0}, kSecondAntennaSource}) {
        Append(bytes, epoch(1, 100000, source));
        Append(bytes, epoch(-2, 101000, source));
    }
    WriteBytes(Path("channel.gps"), bytes);
    ASSERT_EQ(Convert(Path("channel.gps"), "channel"), 0) << ErrString();
    for (const std::string whose : {"", "second antenna's "}) {
        const std::string text = "Notice: 1 changes of a GLONASS satellite's frequency channel in the log (the first: "
                                 "R08 from 1 to -2); the " +
                                 whose + "RINEX observation file's GLONASS SLOT / FRQ # gives each slot's last channel";
        EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), text), 1) << text;
    }
}

// Files that overlap, joined into one log: once the log's time has gone
// back, its epochs repeat earlier ones further on than the epoch just
// written. Each time is written once, the repeats counted; an earlier time
// not written before (a second file joined ahead of the first) is kept.
TEST_F(RinexConversion, AnEpochRepeatedFurtherOnIsWrittenOnce) {
    std::vector<uint8_t> log;
    for (const int32_t ms : {100000, 101000, 102000, 103000, 50000, 101000, 102000, 104000, 102000}) {
        Append(log, testsupport::RangeLog(4, ms));
    }
    WriteBytes(Path("joined.gps"), log);
    ASSERT_EQ(Convert(Path("joined.gps"), "joined"), 0) << ErrString();
    EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(),
                         "Notice: 3 range records repeating the time of an epoch left out of the RINEX observation "
                         "file (the first record of each time kept)"),
              1);
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadObs(Path("joined.obs"), &obs), "");
    std::vector<double> times;
    for (const rinexread::ObsEpoch &e : obs.epochs) times.push_back(SecondsOfWeek(e));
    EXPECT_EQ(times, (std::vector<double>{100, 101, 102, 103, 50, 104}));
    EXPECT_EQ(options->epochCount, 9u); // the observation file keeps every record
}

// A receiver of several systems tracking every signal can log a RANGE
// record longer than the 8192 bytes the observation file's framing takes.
// The observation file still drops it with its overrun, as without RINEX;
// the RINEX file holds the epoch, and the user is told.
TEST_F(RinexConversion, ARangeRecordTooLongForTheObservationFileIsWholeInRinex) {
    struct Track {
        uint32_t system, signal, satellites;
    };
    // GPS L1 C/A, L2 P(Y), L2C and L5; Galileo E1C, E5a and E5b: 218
    // observations, 9628 bytes.
    const Track tracks[] = {{0, 0, 32}, {0, 9, 32}, {0, 17, 32}, {0, 14, 32}, {3, 2, 30}, {3, 12, 30}, {3, 17, 30}};
    Bytes body;
    uint32_t count = 0;
    for (const Track &t : tracks) count += t.satellites;
    body.u4(count);
    for (const Track &t : tracks) {
        for (uint16_t prn = 1; prn <= t.satellites; ++prn) {
            body.u2(prn).u2(0).r8(2.0e7 + prn * 1000.0 + t.signal).r4(0.1f).r8(-(1.0e8 + prn)).r4(0.01f);
            body.r4(100.0f + static_cast<float>(t.signal)).r4(40.0f).r4(50.0f);
            body.u4(0x1C00 | t.system << 16 | t.signal << 21);
        }
    }
    const std::vector<uint8_t> longRecord = MakeRecord(43, body.data(), {1500, 101000, 180});
    ASSERT_EQ(longRecord.size(), 32u + 4u + 44u * 218u);
    std::vector<uint8_t> bytes;
    // A short epoch on either side, which both files take.
    Bytes shortBody;
    shortBody.u4(1).u2(5).u2(0).r8(2.1e7).r4(0.1f).r8(-1.1e8).r4(0.01f).r4(-100.0f).r4(45.0f).r4(50.0f).u4(0x1C00);
    for (const int32_t ms : {100000, 101000, 102000}) {
        const std::vector<uint8_t> r = ms == 101000 ? longRecord : MakeRecord(43, shortBody.data(), {1500, ms, 180});
        bytes.insert(bytes.end(), r.begin(), r.end());
    }
    WriteBytes(Path("long.gps"), bytes);

    auto epochsOf = [&](const std::string &name) {
        std::vector<double> times;
        static TsqReader reader;
        static EpochRecord epoch;
        static MeasRecord meas[kTsqMaxMeasurements];
        if (OpenTsqReader(&reader, Path(name).c_str()) != 0) return times;
        while (ReadTsqEpoch(&reader, &epoch, meas, kTsqMaxMeasurements) == TSQ_EPOCH_READ) {
            times.push_back(+epoch.receiverTime); // a copy: the record is packed
        }
        CloseTsqReader(&reader);
        return times;
    };
    const std::string overrun = "NovAtel Buffer overrun for record 43 on port 0";
    const std::string kept = "'RANGE' record of 9628 bytes is too long for the observation file: its 218 "
                             "observations are in the RINEX file only";
    Rinex(false, true, "");
    ASSERT_EQ(Convert(Path("long.gps"), "plain"), 0) << ErrString();
    EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), overrun), 1);
    const std::vector<double> plain = epochsOf("plain.tsq");
    EXPECT_EQ(plain, (std::vector<double>{100.0, 102.0}));

    g_messages.clear();
    Rinex(true, true, "");
    ASSERT_EQ(Convert(Path("long.gps"), "long"), 0) << ErrString();
    EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), overrun), 1);
    EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), kept), 1);
    EXPECT_EQ(epochsOf("long.tsq"), plain);
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(Path("long.obs"), &obs), "");
    ASSERT_EQ(obs.epochs.size(), 3u);
    const rinexread::ObsEpoch &e = obs.epochs[1];
    EXPECT_DOUBLE_EQ(SecondsOfWeek(e), 101.0);
    // 32 GPS and 30 Galileo satellites; their values are checked against
    // convbin's in the end-to-end tests.
    EXPECT_EQ(e.sats.size(), 62u);
    EXPECT_NE(testsupport::ReadText(Path("long.obs")).find("Camera marks"), std::string::npos);

    // The same record from a receiver's second antenna: its own file holds
    // the epoch, the overrun is explained as for the first antenna, and
    // that file's header tells of no camera marks, which stay with the first.
    const std::vector<uint8_t> second = MakeRecord(43, body.data(), {1500, 101000, 180, kSecondAntennaSource});
    const std::vector<uint8_t> before = MakeRecord(43, shortBody.data(), {1500, 100000, 180});
    std::vector<uint8_t> dual(before.begin(), before.end());
    dual.insert(dual.end(), second.begin(), second.end());
    WriteBytes(Path("dual.gps"), dual);
    g_messages.clear();
    ASSERT_EQ(Convert(Path("dual.gps"), "dual"), 0) << ErrString();
    EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), overrun), 1);
    EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), "Second antenna: " + kept), 1);
    rinexread::ObsFile antenna2;
    ASSERT_EQ(rinexread::ReadCheckedObs(Path("dual-antenna2.obs"), &antenna2), "");
    ASSERT_EQ(antenna2.epochs.size(), 1u);
    EXPECT_EQ(antenna2.epochs[0].sats.size(), 62u);
    EXPECT_EQ(testsupport::ReadText(Path("dual-antenna2.obs")).find("Camera marks"), std::string::npos);
}

// A record that lists one signal of every satellite before the next signal,
// as a receiver may order its channels: each satellite's record holds its
// own values, each in its column.
TEST_F(RinexConversion, SignalsListedAcrossSatellitesStayWithTheirSatellite) {
    const uint16_t prns[] = {5, 7, 12};
    Bytes body;
    body.u4(6);
    for (const uint32_t frequency : {0u, 1u}) {
        for (const uint16_t prn : prns) {
            body.u2(prn).u2(0).r8(2.0e7 + prn * 1000.0 + frequency * 3.0).r4(0.1f);
            body.r8(-(1.0e8 + prn * 100.0 + frequency)).r4(0.01f).r4(100.0f + prn + 0.5f * frequency);
            body.r4(40.0f + frequency).r4(50.0f).u4(0x1C00 | (frequency << 21));
        }
    }
    WriteBytes(Path("interleaved.gps"), MakeRecord(43, body.data()));
    ASSERT_EQ(Convert(Path("interleaved.gps"), "interleaved"), 0) << ErrString();
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(Path("interleaved.obs"), &obs), "");
    ASSERT_EQ(obs.epochs.size(), 1u);
    ASSERT_EQ(obs.epochs[0].sats.size(), 3u);
    for (const rinexread::SatRecord &sat : obs.epochs[0].sats) {
        SCOPED_TRACE(sat.number);
        for (const uint32_t frequency : {0u, 1u}) {
            const char *band = frequency == 0 ? "1C" : "2C";
            auto value = [&](char type) { return sat.values.at(TypeIndex(obs, 'G', std::string(1, type) + band)); };
            EXPECT_DOUBLE_EQ(value('C').value, 2.0e7 + sat.number * 1000.0 + frequency * 3.0);
            EXPECT_DOUBLE_EQ(value('L').value, 1.0e8 + sat.number * 100.0 + frequency);
            EXPECT_DOUBLE_EQ(value('D').value, 100.0 + sat.number + 0.5 * frequency);
            EXPECT_DOUBLE_EQ(value('S').value, 40.0 + frequency);
        }
    }
}

namespace {

bool SameValue(double ours, double theirs) { return std::fabs(ours - theirs) <= 1e-11 * std::fabs(theirs) + 1e-25; }

// Two records of one broadcast: the same satellite and epoch.
bool SameRecord(const rinexread::NavRecord &a, const rinexread::NavRecord &b) {
    return a.system == b.system && a.number == b.number && a.year == b.year && a.month == b.month && a.day == b.day &&
           a.hour == b.hour && a.minute == b.minute && a.second == b.second;
}

// Each of convbin's navigation records among ours, with every value both
// write equal. Galileo's records of one broadcast differ by their data
// source (I/NAV or F/NAV), which a match must share.
void ExpectConvbinsValues(const std::vector<rinexread::NavRecord> &ours,
                          const std::vector<rinexread::NavRecord> &theirs) {
    for (const rinexread::NavRecord &t : theirs) {
        const auto match = std::find_if(ours.begin(), ours.end(), [&](const rinexread::NavRecord &r) {
            return SameRecord(r, t) && (t.system != 'E' || r.orbit[4][1] == t.orbit[4][1]);
        });
        ASSERT_NE(match, ours.end()) << t.system << t.number;
        SCOPED_TRACE(std::string(1, t.system) + std::to_string(t.number));
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(SameValue(match->clock[k], t.clock[k])) << k;
        ASSERT_EQ(match->orbitLines, t.orbitLines);
        for (size_t o = 0; o < t.orbitLines; ++o) {
            for (size_t k = 0; k < 4; ++k) {
                // GPS transmission time: convbin's is the time of the
                // subframe, ours when the receiver logged the record.
                if (!match->present[o][k] || (t.system == 'G' && o == 6 && k == 0)) continue;
                EXPECT_TRUE(SameValue(match->orbit[o][k], t.orbit[o][k]))
                    << o << "," << k << ": " << match->orbit[o][k] << " " << t.orbit[o][k];
            }
        }
    }
}

} // namespace

// Every system's ephemerides of a GPS + GLONASS log, in RINEX 3.04 and in
// the 2.11 pair of files: as many distinct ones per system as convbin finds,
// and every value that both write equal to convbin's.
TEST_F(RinexConversion, NavigationFilesHoldEverySystemAsConvbinReadsThem) {
    const std::string log = testsupport::SharedDataFile("oemv_200911218.gps");
    if (log.empty()) GTEST_SKIP() << "no shared data";
    const bool convbin = testsupport::HaveProgram("convbin");
    for (const int32_t version : {304, 211}) {
        SCOPED_TRACE(version);
        Rinex(true, true, "", version);
        ASSERT_EQ(Convert(log, "oemv"), 0) << ErrString();
        // GLONASS in the one 3.04 file, or in the 2.11 GLONASS file beside
        // the GPS one.
        std::vector<rinexread::NavRecord> ours;
        for (const char *name : version == 304 ? std::vector<const char *>{"oemv.nav"}
                                               : std::vector<const char *>{"oemv.nav", "oemv.gnav"}) {
            rinexread::NavFile nav;
            ASSERT_EQ(rinexread::ReadCheckedNav(Path(name), &nav), "") << name;
            EXPECT_EQ(nav.system, version == 304 ? 'M' : ' ') << name;
            ours.insert(ours.end(), nav.records.begin(), nav.records.end());
        }
        // The log repeats each of its five GLONASS ephemerides: written once.
        EXPECT_EQ(
            std::count_if(ours.begin(), ours.end(), [](const rinexread::NavRecord &r) { return r.system == 'R'; }), 5);
        if (!convbin) continue;

        const std::string command = "cd '" + dir.string() + "' && convbin -r nov -v " +
                                    (version == 304 ? "3.04" : "2.11") + " -n cb.nav -g cb.gnav -o cb.obs '" + log +
                                    "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::vector<rinexread::NavRecord> theirs;
        for (const char *name :
             version == 304 ? std::vector<const char *>{"cb.nav"} : std::vector<const char *>{"cb.nav", "cb.gnav"}) {
            rinexread::NavFile nav;
            ASSERT_EQ(rinexread::ReadNav(Path(name), &nav), "") << name;
            theirs.insert(theirs.end(), nav.records.begin(), nav.records.end());
        }
        for (const char system : {'R', 'G'}) {
            SCOPED_TRACE(system);
            size_t distinct = 0;
            for (size_t i = 0; i < ours.size(); ++i) {
                if (ours[i].system != system) continue;
                const bool repeated =
                    std::any_of(ours.begin(), ours.begin() + static_cast<std::ptrdiff_t>(i),
                                [&](const rinexread::NavRecord &r) { return SameRecord(r, ours[i]); });
                distinct += repeated ? 0 : 1;
            }
            EXPECT_EQ(distinct, static_cast<size_t>(std::count_if(theirs.begin(), theirs.end(),
                                                                  [&](const auto &r) { return r.system == system; })));
        }
        ExpectConvbinsValues(ours, theirs);
    }
}

// A log of every other system's ephemeris records through the whole
// conversion: each system's records in the 3.04 file (an ephemeris logged
// again, after a newer one too, written once), none in the host's files; a
// 2.11 conversion keeps GLONASS in its own file and leaves the systems 2.11
// cannot hold out.
TEST_F(RinexConversion, EverySystemsEphemeridesReachTheNavigationFileOnly) {
    const testsupport::HeaderFields at = testsupport::kOtherSystemsAt;
    std::vector<uint8_t> newerGlonass = testsupport::GloephemerisBody();
    le::PutU4(newerGlonass.data() + 8, le::U4(newerGlonass.data() + 8) + 1800000); // tb 30 min later
    std::vector<uint8_t> log;
    for (const std::vector<uint8_t> &record :
         {MakeRecord(kMsgGloephemeris, testsupport::GloephemerisBody(), at),
          MakeRecord(kMsgGalinavephemeris, testsupport::GalinavephemerisBody(), at),
          MakeRecord(kMsgGalfnavephemeris, testsupport::GalfnavephemerisBody(), at),
          MakeRecord(kMsgGalephemeris, testsupport::GalephemerisBody(), at),
          MakeRecord(kMsgBdsephemeris, testsupport::BdsephemerisBody(), at),
          MakeRecord(kMsgQzssephemeris, testsupport::QzssephemerisBody(), at),
          MakeRecord(kMsgGloephemeris, newerGlonass, at),
          MakeRecord(kMsgGloephemeris, testsupport::GloephemerisBody(), at)}) {
        log.insert(log.end(), record.begin(), record.end());
    }
    WriteBytes(Path("systems.gps"), log);
    ASSERT_EQ(Convert(Path("systems.gps"), "systems"), 0) << ErrString();
    EXPECT_EQ(options->ephemerisCount, 0u);
    rinexread::NavFile nav;
    ASSERT_EQ(rinexread::ReadCheckedNav(Path("systems.nav"), &nav), "");
    std::string order;
    for (const rinexread::NavRecord &r : nav.records)
        order += std::string(1, r.system) + std::to_string(r.number) + " ";
    EXPECT_EQ(order, "R14 E2 E2 E11 E11 C7 J1 R14 ");
    // Galileo data sources (I/NAV E1-B + E5b, F/NAV E5a) and the weeks of
    // each system's own time.
    EXPECT_EQ(nav.records[1].orbit[4][1], 517.0);
    EXPECT_EQ(nav.records[2].orbit[4][1], 258.0);
    EXPECT_EQ(nav.records[1].orbit[4][2], 1562.0);
    EXPECT_EQ(nav.records[5].orbit[4][2], 206.0);
    EXPECT_EQ(nav.records[6].orbit[4][2], 1562.0);
    EXPECT_EQ(nav.records[6].orbit[4][3], 1.0); // QZSS: no L2 P
    // convbin reads the GLONASS, F/NAV Galileo and BeiDou records of these:
    // every value it writes is ours.
    if (testsupport::HaveProgram("convbin")) {
        const std::string command =
            "cd '" + dir.string() + "' && convbin -r nov -v 3.04 -n cb.nav -o cb.obs systems.gps >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        rinexread::NavFile theirs;
        ASSERT_EQ(rinexread::ReadNav(Path("cb.nav"), &theirs), "");
        std::string systems;
        for (const rinexread::NavRecord &r : theirs.records) systems += r.system;
        EXPECT_EQ(systems, "RECRR"); // each GLONASS record as logged
        ExpectConvbinsValues(nav.records, theirs.records);
    }
    std::ifstream epp(Path("systems.epp"));
    std::string eppText((std::istreambuf_iterator<char>(epp)), std::istreambuf_iterator<char>());
    EXPECT_EQ(eppText.find("GpsEph"), std::string::npos);

    Rinex(true, true, "", 211);
    g_messages.clear();
    ASSERT_EQ(Convert(Path("systems.gps"), "v211"), 0) << ErrString();
    // What 2.11 has no file for is told, each broadcast once.
    for (const char *told : {"4 Galileo", "1 BeiDou", "1 QZSS"}) {
        const std::string notice = std::string("Notice: ") + told +
                                   " ephemerides left out of the RINEX 2.11 navigation files (2.11 has no "
                                   "navigation file for them)";
        EXPECT_EQ(std::count(g_messages.begin(), g_messages.end(), notice), 1) << notice;
    }
    rinexread::NavFile gps;
    rinexread::NavFile glonass;
    ASSERT_EQ(rinexread::ReadCheckedNav(Path("v211.nav"), &gps), "");
    ASSERT_EQ(rinexread::ReadCheckedNav(Path("v211.gnav"), &glonass), "");
    EXPECT_EQ(gps.fileType, 'N');
    EXPECT_EQ(glonass.fileType, 'G');
    EXPECT_TRUE(gps.records.empty());
    ASSERT_EQ(glonass.records.size(), 2u);
    EXPECT_EQ(glonass.records[0].number, 14);
}
