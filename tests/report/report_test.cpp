// Statistics of the quality report on constructed conversions with known
// gaps, slips and mark faults, and the outputs built from them.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "report.h"
#include "session.h"
#include "support/scratch.h"

namespace {

using namespace report;
using reporttest::Sat;
using reporttest::Session;
using testsupport::ReadText;
namespace fs = std::filesystem;

std::unique_ptr<ReportData> Collect(const std::string &base, const std::string &messages = "") {
    ReportRequest request;
    request.base = base;
    request.messagesPath = messages;
    auto data = std::make_unique<ReportData>();
    std::string error;
    EXPECT_EQ(CollectReport(request, data.get(), &error), kReportOk) << error;
    return data;
}

void Append(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << text;
}

// 1 Hz from 1000 s with a 4 s gap after 1010, an interval of 1.4 s (not a
// gap) and one of 1.6 s (a gap of one epoch), a repeated epoch time, an L1
// slip of PRN 7 at 1040, PRN 11 missing from 1020 to 1024, PRN 14 without L2
// and without L1 code for its first ten epochs, no position before 1005.
std::vector<double> ObservationTimes() {
    std::vector<double> t;
    for (int s = 1000; s <= 1010; ++s) t.push_back(s);
    for (int s = 1014; s <= 1030; ++s) t.push_back(s);
    t.push_back(1031.4);
    for (int s = 1033; s <= 1050; ++s) t.push_back(s);
    t.push_back(1050);
    for (int s = 1051; s <= 1059; ++s) t.push_back(s);
    return t;
}

void WriteObservations(const std::string &base) {
    Session s(base);
    for (double tow : ObservationTimes()) {
        const int sec = static_cast<int>(tow) - 1000;
        std::vector<Sat> sats;
        sats.push_back({3, sec + 100});
        sats.push_back({7, tow < 1040 ? sec + 10 : static_cast<int>(tow) - 1040});
        if (tow < 1020 || tow > 1024) sats.push_back({11, tow < 1020 ? sec : static_cast<int>(tow) - 1025});
        sats.push_back({14, sec, false, tow >= 1010});
        s.Epoch(1500, tow, sats, tow >= 1005, 150.0);
    }
}

TEST(ReportObservations, RateGapsSlipsAndAvailability) {
    const std::string base = reporttest::TempDir("obs") + "/day";
    WriteObservations(base);
    auto d = Collect(base);

    EXPECT_EQ(d->epochCount, 57u);
    EXPECT_EQ(d->firstWeek, 1500);
    EXPECT_EQ(d->firstTow, 1000.0);
    EXPECT_EQ(d->lastTow, 1059.0);
    EXPECT_DOUBLE_EQ(d->rate, 1.0);
    ASSERT_EQ(d->gaps.size(), 2u);
    EXPECT_DOUBLE_EQ(d->gaps[0].start, 1010);
    EXPECT_DOUBLE_EQ(d->gaps[0].interval, 4.0);
    EXPECT_EQ(d->gaps[0].missing, 3);
    EXPECT_DOUBLE_EQ(d->gaps[1].start, 1031.4);
    EXPECT_EQ(d->gaps[1].missing, 1);
    EXPECT_EQ(d->missingEpochs, 4);
    EXPECT_EQ(d->repeatedTimes, 1u);
    EXPECT_EQ(d->backwardSteps, 0u);

    EXPECT_EQ(d->satsMin, 3);
    EXPECT_EQ(d->satsMedian, 4);
    EXPECT_EQ(d->satsMax, 4);
    EXPECT_EQ(d->measurements, 57u * 4 - 5);
    EXPECT_EQ(d->l1Code, 57u * 4 - 5 - 10);
    EXPECT_EQ(d->l2Code, 57u * 3 - 5);
    EXPECT_EQ(d->l2Phase, 57u * 3 - 5);
    EXPECT_EQ(d->withPosition, 52u);
    EXPECT_EQ(d->withClockOffset, 57u);

    // Only PRN 7 lost lock; PRN 11's return after missing epochs is an
    // outage, and the repeated epoch (same lock) is no slip.
    ASSERT_EQ(d->slips.size(), 1u);
    EXPECT_EQ(d->slips[0].prn, 7);
    EXPECT_DOUBLE_EQ(d->slips[0].time, 1040);
    EXPECT_EQ(d->slips[0].lockBefore, 49);
    EXPECT_EQ(d->slips[0].lockAfter, 0);
    EXPECT_EQ(d->prns[7].slips, 1u);
    EXPECT_EQ(d->prns[11].outages, 1u);
    EXPECT_EQ(d->prns[11].epochs, 52u);
    EXPECT_EQ(d->prns[14].l2Epochs, 0u);
    EXPECT_TRUE(d->prns[14].l2.empty());

    // Tracking runs break at both data gaps and at PRN 11's outage.
    EXPECT_EQ(d->prns[3].l1.size(), 3u);
    ASSERT_EQ(d->prns[11].l1.size(), 4u);
    EXPECT_DOUBLE_EQ(d->prns[11].l1[1].end, 1019);
    EXPECT_DOUBLE_EQ(d->prns[11].l1[2].start, 1025);
}

TEST(ReportObservations, TwentyHertzWeekCrossingTimeGoingBackAndAnUnsetWeek) {
    const std::string base = reporttest::TempDir("rate") + "/fast";
    {
        Session s(base);
        const std::vector<Sat> sats = {{5, 40}};
        // Seconds since power-on, before the receiver set its time: no gap
        // of decades to the log's first epoch.
        for (int i = 0; i < 3; ++i) s.Epoch(0, 4005.0 + i, sats);
        // 20 Hz across the end of week 1500, with a 0.2 s step at its end.
        for (int i = 0; i < 20; ++i) s.Epoch(1500, 604799.0 + 0.05 * i, sats);
        for (int i = 1; i < 20; ++i) s.Epoch(1501, 0.05 * i + 0.1, sats);
        s.Epoch(1501, 0.5, sats); // back in time, to a time read before
        s.Mark(0, 4006.2);        // among the epochs of week 0
        s.Mark(1, 604799.5);      // both marks lie in the span once placed in
        s.Mark(2, 0.5);           // their weeks
    }
    auto d = Collect(base);
    EXPECT_NEAR(d->rate, 0.05, 1e-9);
    ASSERT_EQ(d->gaps.size(), 1u);
    EXPECT_NEAR(d->gaps[0].interval, 0.2, 1e-9);
    EXPECT_EQ(d->gaps[0].missing, 3);
    EXPECT_EQ(d->backwardSteps, 1u);
    EXPECT_EQ(d->repeatedTimes, 1u);
    // The span is the earliest to the latest epoch, not the first and last
    // read.
    EXPECT_EQ(d->firstWeek, 1500);
    EXPECT_DOUBLE_EQ(d->firstTow, 604799.0);
    EXPECT_EQ(d->lastWeek, 1501);
    EXPECT_NEAR(d->lastTow, 1.05, 1e-9);
    EXPECT_EQ(d->badTimeEpochs, 3u);
    EXPECT_EQ(d->problems, (std::vector<std::string>{
                               "3 epochs of GPS week 0 (the receiver had not yet set its time) left out of the "
                               "time figures",
                               "1 camera marks among the epochs of GPS week 0 left out of the mark checks (the "
                               "mark file holds no week)"}));
    ASSERT_EQ(d->marks.size(), 2u);
    EXPECT_NEAR(d->marks[1].time - d->marks[0].time, 1.0, 1e-9);
    for (const MarkAnomaly &a : d->markAnomalies) EXPECT_NE(a.kind, kMarkOutsideSpan);
}

// A log whose rate changes (1 Hz, 20 Hz for a flight, 1 Hz again) has gaps
// only where epochs are missing at the rate of their own stretch, each
// counted in epochs of that rate, and its changes of rate counted.
TEST(ReportObservations, GapsAreMeasuredAgainstTheRateAroundThem) {
    struct Stretch {
        double step;
        int epochs;
        double gapAfter; // a gap of this length after the stretch's 20th epoch (0: none)
    };
    struct Case {
        const char *name;
        std::vector<Stretch> stretches;
        std::vector<int64_t> missing; // per gap, in order
        uint64_t rateChanges;
    };
    const std::vector<Case> cases = {
        {"one rate", {{1.0, 60, 4.0}}, {3}, 0},
        {"1 Hz, 20 Hz, 1 Hz", {{1.0, 40, 0}, {0.05, 400, 0}, {1.0, 40, 0}}, {}, 2},
        {"a gap in each stretch", {{1.0, 40, 3.0}, {0.05, 400, 0.25}, {1.0, 40, 5.0}}, {2, 4, 4}, 2},
        {"20 Hz, then 1 Hz after a minute's pause", {{0.05, 400, 0}, {60.0, 1, 0}, {1.0, 40, 0}}, {59}, 1},
        {"a gap as the last step", {{1.0, 30, 0}, {5.0, 2, 0}}, {4}, 0},
        {"four gaps in a row", {{1.0, 30, 0}, {5.0, 4, 0}, {1.0, 30, 0}}, {4, 4, 4, 4}, 0},
        {"a 20 Hz gap two epochs before 1 Hz", {{0.05, 100, 0}, {0.5, 1, 0}, {0.05, 2, 0}, {1.0, 30, 0}}, {9}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = reporttest::TempDir("rates") + "/log";
        {
            Session s(base);
            double tow = 1000;
            int lock = 100;
            for (const Stretch &st : c.stretches) {
                for (int i = 0; i < st.epochs; ++i) {
                    s.Epoch(1500, tow, {{5, lock}, {7, lock}});
                    tow += st.step;
                    if (i == 19 && st.gapAfter > 0) tow += st.gapAfter - st.step;
                }
                lock += 100;
            }
        }
        auto d = Collect(base);
        ASSERT_EQ(d->gaps.size(), c.missing.size());
        int64_t total = 0;
        for (std::size_t i = 0; i < c.missing.size(); ++i) {
            EXPECT_EQ(d->gaps[i].missing, c.missing[i]) << "gap " << i;
            total += c.missing[i];
        }
        EXPECT_EQ(d->missingEpochs, total);
        EXPECT_EQ(d->rateChanges, c.rateChanges);
        EXPECT_TRUE(d->slips.empty());
    }
}

TEST(ReportMarks, EveryAnomalyWithItsNumberAndTime) {
    const std::string dir = reporttest::TempDir("marks");
    const std::string base = dir + "/flight";
    {
        Session s(base);
        for (int t = 1000; t <= 1100; ++t) s.Epoch(1500, t, {{5, t - 990}});
        s.Mark(10, 999.5); // before the first epoch
        s.Mark(11, 1001.5);
        s.Mark(12, 1003.5);
        s.Mark(13, 1005.5);
        s.Mark(15, 1007.5); // #14 lost
        s.Mark(16, 1013.5); // two pulses missing in time
        s.Mark(17, 1015.5);
        s.Mark(17, 1017.5); // number repeated
        s.Mark(18, 1017.5); // time repeated
        s.Mark(19, 1019.5);
        s.Mark(20, 1100.5); // after the last epoch, long interval
    }
    Append(base + ".sta", "\nCAMERA PULSE #x AT: garbage\n");
    auto d = Collect(base);
    EXPECT_EQ(d->marks.size(), 11u);
    EXPECT_EQ(d->badMarkLines, 1u);
    EXPECT_DOUBLE_EQ(d->markInterval, 2.0);
    struct Expected {
        int32_t kind;
        uint32_t number;
        double tow, value;
    };
    const Expected expected[] = {
        {kMarkOutsideSpan, 10, 999.5, -0.5},   {kMarkNumberJump, 15, 1007.5, 1},    {kMarkInterval, 16, 1013.5, 6.0},
        {kMarkDuplicateNumber, 17, 1017.5, 0}, {kMarkDuplicateTime, 18, 1017.5, 0}, {kMarkOutsideSpan, 20, 1100.5, 0.5},
        {kMarkInterval, 20, 1100.5, 81.0},
    };
    ASSERT_EQ(d->markAnomalies.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(d->markAnomalies[i].kind, expected[i].kind);
        EXPECT_EQ(d->markAnomalies[i].number, expected[i].number);
        EXPECT_DOUBLE_EQ(d->markAnomalies[i].tow, expected[i].tow);
        EXPECT_NEAR(d->markAnomalies[i].value, expected[i].value, 1e-6);
    }
}

TEST(ReportEphemerides, CountsBlocksAndKeepsTheOrbits) {
    const std::string base = reporttest::TempDir("epp") + "/eph";
    {
        Session s(base);
        s.Epoch(1500, 7200, {{5, 10}});
        s.Ephemeris(2, 7200);
        s.Ephemeris(2, 14400);
        s.Ephemeris(5, 7200);
        s.Almanac(9);
    }
    Append(base + ".epp", "GpsEph { Prn: 6\n\tEl1: 476 9999 0 10 7200\n}\n"
                          "GlnEph { Prn: 40\n\tTkb: 1 2\n}\nGpsEph { Prn: 8\n");
    auto d = Collect(base);
    EXPECT_TRUE(d->haveEpp);
    ASSERT_EQ(d->ephemerides.size(), 3u);
    EXPECT_EQ(d->ephemerisPrns, 2u);
    EXPECT_EQ(d->almanacs, 1u);
    EXPECT_EQ(d->otherBlocks, 1u);
    EXPECT_EQ(d->badBlocks, 2u); // the incomplete block and the unterminated one
    EXPECT_EQ(d->ephemerides[1].toe, 14400);
    EXPECT_NEAR(d->ephemerides[1].sqrtA, 5153.7, 1e-9);
    EXPECT_NEAR(d->ephemerides[2].omega0, 5 * 1.0472, 1e-9);

    // Without .epp and .sta the report still comes, saying what is missing.
    fs::remove(base + ".epp");
    fs::remove(base + ".sta");
    auto bare = Collect(base);
    EXPECT_FALSE(bare->haveEpp);
    EXPECT_FALSE(bare->haveSta);
    ASSERT_EQ(bare->problems.size(), 2u);
    EXPECT_EQ(bare->problems[0], "No ephemeris file " + base + ".epp");
    EXPECT_EQ(bare->problems[1], "No mark file " + base + ".sta");

    // A mark file that is a directory is told, not read as one without marks.
    fs::create_directory(base + ".sta");
    auto folder = Collect(base);
    EXPECT_FALSE(folder->haveSta);
    ASSERT_EQ(folder->problems.size(), 2u);
    EXPECT_EQ(folder->problems[1], "Unable to read mark file " + base + ".sta: Is a directory");
}

TEST(ReportSky, TracksFromEphemeridesSeenFromTheMeanPosition) {
    const std::string dir = reporttest::TempDir("sky");
    reporttest::WriteLongSession(dir + "/hour", 3600, 1.0, false);
    auto d = Collect(dir + "/hour");
    ASSERT_TRUE(d->haveMeanPosition);
    EXPECT_NEAR(d->meanLatitude, Session::kLatitude, 2e-4);
    EXPECT_NEAR(d->meanLongitude, Session::kLongitude, 3e-4);
    ASSERT_FALSE(d->sky.empty());
    for (const SkyTrack &track : d->sky) {
        for (const SkyPoint &p : track.points) {
            if (p.elevation < 0) continue; // a break below the horizon
            EXPECT_LE(p.elevation, 90.0f);
            EXPECT_GE(p.azimuth, -180.0f);
            EXPECT_LE(p.azimuth, 180.0f);
        }
    }

    // Without any attached position there is nothing to look from.
    const std::string bare = dir + "/nopos";
    {
        Session s(bare);
        s.Ephemeris(2, 7200);
        for (int t = 7200; t < 7210; ++t) s.Epoch(1500, t, {{2, 10}}, false);
    }
    auto n = Collect(bare);
    EXPECT_FALSE(n->haveMeanPosition);
    EXPECT_TRUE(n->sky.empty());
}

TEST(ReportMessages, KindsCountedAndCommandLinesSkipped) {
    const std::string dir = reporttest::TempDir("msg");
    const std::string base = dir + "/log";
    {
        Session s(base);
        s.Epoch(1500, 100, {{3, 10}});
    }
    const std::string messages = dir + "/log.txt";
    Append(messages, "log.gps -> log.{tsq,epp,sta}\n"
                     "             -  32bit CRC failure on 'RANGE' record on port 0\n"
                     "             -  32bit CRC failure on 'BESTPOS' record on port 0\n"
                     "             -  Invalid variable data length on record 43 on port 0\n"
                     "             -  Record decoding failed, recursively trying to look for more valid data\n"
                     "    100.000  Too many satellites for internal buffers\n"
                     "    101.000  Error: Epoch 101.0 has 13 measurements 12 channels in log.tsq\n"
                     "    102.000  L1 cycle slip on PRN 5\n"
                     "    102.000  PRN 9 is rising or re-appearing\n"
                     "    102.200  RANGECMP4 record: 2 differential observations without a usable reference dropped\n"
                     "             -  Almanac received for GPS PRN 4\n"
                     "    102.300  Ephemeris received for PRN 5 with BAD HEALTH!!!\n"
                     "    102.300  Ephemeris received for PRN 6 with invalid values\n"
                     "    102.300  GALCLOCK record with invalid values dropped\n"
                     "             -  Notice: 2 GLONASS observations left out of the RINEX observation file (their "
                     "slot was not yet known)\n"
                     "    103.000  'RANGE' record of 9628 bytes is too long for the observation file: its "
                     "218 observations are in the RINEX file only\n"
                     "             -  Notice: 7 range records of the receiver's second antenna skipped (the files "
                     "hold the first antenna's observations)\n"
                     "             -  Notice: 7 range records of the receiver's second antenna converted into "
                     "log-antenna2.obs (the other files hold the first antenna's observations)\n"
                     "             -  Notice: 3 Galileo observations left out of the second antenna's RINEX "
                     "observation file (the RINEX 2.11 file holds GPS, GLONASS and SBAS only)\n"
                     "             -  Notice: 5 range records repeating the time of an epoch left out of the RINEX "
                     "observation file (the first record of each time kept)\n"
                     "             -  Notice: 4 range records repeating the time of an epoch already decoded skipped "
                     "(the first record of each time kept)\n"
                     "something else entirely\n"
                     "\n"
                     "log.gps: converted, 1 epochs, 0 ephemerides, 0 marks, 9 messages\n");
    auto d = Collect(base, messages);
    ASSERT_TRUE(d->haveMessages);
    EXPECT_EQ(d->messageCount, 21u);
    auto count = [&](const char *key) {
        const std::vector<MessageKind> &kinds = MessageKinds();
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            if (std::string(kinds[i].key) == key) return d->messageCounts[i];
        }
        ADD_FAILURE() << key;
        return uint64_t{0};
    };
    EXPECT_EQ(count("crc_failures"), 2u);
    EXPECT_EQ(count("invalid_item_count"), 1u);
    EXPECT_EQ(count("resynchronisations"), 1u);
    EXPECT_EQ(count("too_many_satellites"), 1u);
    EXPECT_EQ(count("too_many_measurements"), 1u);
    EXPECT_EQ(count("l1_cycle_slips"), 1u);
    EXPECT_EQ(count("rising_satellites"), 1u);
    EXPECT_EQ(count("almanacs_received"), 1u);
    // Received, and not converted: not among the ones received.
    EXPECT_EQ(count("ephemerides_received"), 0u);
    EXPECT_EQ(count("unhealthy_ephemerides"), 1u);
    EXPECT_EQ(count("invalid_values"), 2u);
    EXPECT_EQ(count("compressed_ranges_dropped"), 1u);
    // Not in the observation file's count of what it left out.
    EXPECT_EQ(count("rinex_left_out"), 2u);
    EXPECT_EQ(count("long_records_rinex_only"), 1u);
    EXPECT_EQ(count("second_antenna_ranges"), 2u);
    EXPECT_EQ(count("repeated_epochs"), 2u);
    EXPECT_EQ(d->leftOut[1], 0u); // GLONASS
    EXPECT_EQ(count("other"), 1u);

    // A named messages file that is not there is a failure, not silence.
    ReportRequest request;
    request.base = base;
    request.messagesPath = dir + "/absent.txt";
    auto data = std::make_unique<ReportData>();
    std::string error;
    EXPECT_EQ(CollectReport(request, data.get(), &error), kReportInputFailed);
    EXPECT_EQ(error, "Unable to open messages file " + dir + "/absent.txt");
    // Nor is one that opens but cannot be read.
    request.messagesPath = dir;
    data = std::make_unique<ReportData>();
    EXPECT_EQ(CollectReport(request, data.get(), &error), kReportInputFailed);
    EXPECT_EQ(error.rfind("Unable to read messages file " + dir + ": ", 0), 0u) << error;
}

TEST(ReportInputs, MissingAndDamagedObservationFile) {
    const std::string dir = reporttest::TempDir("damaged");
    ReportRequest request;
    request.base = dir + "/none.gps";
    std::string error;
    EXPECT_EQ(BuildQualityReport(request, &error), kReportInputFailed);
    EXPECT_EQ(error, "Error: Unable to open " + dir + "/none.tsq");

    // A conversion without a single epoch still gets its report.
    { Session empty(dir + "/empty"); }
    request.base = dir + "/empty";
    request.htmlPath = dir + "/empty.html";
    request.jsonPath = dir + "/empty.json";
    EXPECT_EQ(BuildQualityReport(request, &error), kReportOk) << error;
    EXPECT_NE(ReadText(request.jsonPath).find("\"count\": 0, \"without_time\": 0, \"rate_s\": 0.000000, \"gaps\": 0"),
              std::string::npos);

    const std::string base = dir + "/cut";
    {
        Session s(base);
        for (int t = 0; t < 10; ++t) s.Epoch(1500, 100 + t, {{3, t}, {4, t}});
    }
    fs::resize_file(base + ".tsq", fs::file_size(base + ".tsq") - 20);
    auto d = Collect(base);
    EXPECT_EQ(d->epochCount, 9u);
    ASSERT_FALSE(d->problems.empty());
    EXPECT_EQ(d->problems[0].rfind("Observation file damaged after 9 epochs: ", 0), 0u) << d->problems[0];

    // Damaged times and positions far from zero, finer apart than their
    // own resolution, still give a report (the axes' steps did not move
    // them on, and the report never ended).
    const std::string far = dir + "/far";
    {
        Session s(far);
        s.Ephemeris(3, 0);
        s.Epoch(1500, 1e18, {{3, 1}});
        s.Epoch(1500, 1e18 + 128, {{3, 2}});
    }
    {
        std::fstream tsq(far + ".tsq", std::ios::in | std::ios::out | std::ios::binary);
        const double latitude = 1e18;
        for (std::size_t epoch = 0; epoch < 2; ++epoch) {
            tsq.seekp(static_cast<std::streamoff>(kTsqHeaderSize + epoch * (kEpochRecordSize + kMeasRecordSize) +
                                                  offsetof(EpochRecord, latitude)));
            tsq.write(reinterpret_cast<const char *>(&latitude), sizeof latitude);
        }
    }
    request.base = far;
    request.htmlPath = far + ".html";
    request.jsonPath.clear();
    EXPECT_EQ(BuildQualityReport(request, &error), kReportOk) << error;
    // Marks 2e308 s apart: an infinite median interval, and intervals over
    // it that are no number, which indexed the histogram far before its bins.
    Append(far + ".sta", "CAMERA PULSE #1 AT: -1e308\nCAMERA PULSE #2 AT: 1e308\n"
                         "CAMERA PULSE #3 AT: -1e308\nCAMERA PULSE #4 AT: 1e308\n");
    EXPECT_EQ(BuildQualityReport(request, &error), kReportOk) << error;
}

TEST(ReportOutputs, SummaryJsonAndSelfContainedHtml) {
    const std::string dir = reporttest::TempDir("out");
    const std::string base = dir + "/day";
    WriteObservations(base);
    ReportRequest request;
    request.base = base + ".log";
    request.htmlPath = dir + "/day.html";
    request.jsonPath = dir + "/day.json";
    const std::string summaryPath = dir + "/summary.txt";
    request.summary = std::fopen(summaryPath.c_str(), "w");
    ASSERT_NE(request.summary, nullptr);
    std::string error;
    ASSERT_EQ(BuildQualityReport(request, &error), kReportOk) << error;
    std::fclose(request.summary);

    const std::string summary = ReadText(summaryPath);
    EXPECT_NE(summary.find("Epochs            57 at 1.000 s; 2 gaps, 4 epochs missing; 1 repeated times, "
                           "0 steps back\n  gap after week 1500 1010.000 (00:16:50): 4.000 s, 3 missing\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("Satellites/epoch  min 3, median 4, max 4\n"), std::string::npos);
    EXPECT_NE(summary.find("Cycle slips       1\n"), std::string::npos);

    const std::string json = ReadText(request.jsonPath);
    EXPECT_NE(json.find("\"gaps\": 2, \"missing_epochs\": 4,"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"prn\": 7, \"week\": 1500, \"tow\": 1040.000, \"lock_before_s\": 49, "
                        "\"lock_after_s\": 0}"),
              std::string::npos);
    EXPECT_NE(json.find("\"satellites_per_epoch\": {\"min\": 3, \"median\": 4, \"max\": 4}"), std::string::npos);
    EXPECT_NE(json.find("\"messages\": null"), std::string::npos);
    EXPECT_EQ(std::count(json.begin(), json.end(), '{'), std::count(json.begin(), json.end(), '}'));
    EXPECT_EQ(std::count(json.begin(), json.end(), '['), std::count(json.begin(), json.end(), ']'));

    const std::string html = ReadText(request.htmlPath);
    for (const char *id : {"summary", "tracking", "sky", "marks", "receiver", "messages"}) {
        EXPECT_NE(html.find(std::string("<section id=\"") + id + "\">"), std::string::npos) << id;
    }
    // Nothing to run and nothing to fetch: the only URL is the SVG namespace.
    EXPECT_EQ(html.find("<script"), std::string::npos);
    std::size_t urls = 0;
    for (std::size_t at = html.find("http"); at != std::string::npos; at = html.find("http", at + 1)) {
        EXPECT_EQ(html.compare(at, 26, "http://www.w3.org/2000/svg"), 0);
        ++urls;
    }
    EXPECT_GT(urls, 0u);
    EXPECT_FALSE(fs::exists(request.htmlPath + ".part"));

    // An output that cannot be created fails without leaving a part file.
    request.summary = nullptr;
    request.htmlPath = dir + "/no/such/dir/day.html";
    EXPECT_EQ(BuildQualityReport(request, &error), kReportOutputFailed);
    EXPECT_EQ(error, "Unable to open " + dir + "/no/such/dir/day.html for writing: No such file or directory");
}

// A full day at 1 Hz and an hour at 20 Hz: every epoch in the statistics
// and a drawing that stays small. The time is printed, not judged: how
// fast is for the benchmarks to say.
TEST(ReportOutputs, LongSessionsStayExactAndSmall) {
    const std::string dir = reporttest::TempDir("long");
    struct Case {
        const char *name;
        int epochs;
        double rate;
    };
    for (const Case c : {Case{"day", 86400, 1.0}, Case{"hour20", 72000, 0.05}}) {
        SCOPED_TRACE(c.name);
        const std::string base = dir + "/" + c.name;
        reporttest::WriteLongSession(base, c.epochs, c.rate, true);
        ReportRequest request;
        request.base = base;
        request.htmlPath = base + ".html";
        request.jsonPath = base + ".json";
        const auto start = std::chrono::steady_clock::now();
        std::string error;
        ASSERT_EQ(BuildQualityReport(request, &error), kReportOk) << error;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto tsqBytes = fs::file_size(base + ".tsq");
        const auto htmlBytes = fs::file_size(request.htmlPath);
        std::printf("[ report   ] %s: %d epochs, %.1f MB observations, report %.3f s, HTML %.0f kB\n", c.name,
                    c.epochs - 10, tsqBytes / 1e6, seconds, htmlBytes / 1e3);
        EXPECT_LT(htmlBytes, 1500000u);

        auto d = Collect(base);
        EXPECT_EQ(d->epochCount, static_cast<uint64_t>(c.epochs - 10));
        EXPECT_EQ(d->gaps.size(), 2u);
        EXPECT_EQ(d->missingEpochs, 10);
        EXPECT_NEAR(d->rate, c.rate, 1e-9);
        EXPECT_GT(d->slips.size(), 0u);
        EXPECT_FALSE(d->sky.empty());
    }
    fs::remove_all(dir);
}

} // namespace

// The closing notices of a conversion say what the observation file does not
// hold; the report adds them up per system.
TEST(ReportMessages, LeftOutCountsFromTheClosingNotices) {
    const std::string dir = reporttest::TempDir("leftout");
    const std::string base = dir + "/log";
    {
        Session s(base);
        s.Epoch(1500, 100, {{3, 10}});
    }
    const std::string messages = dir + "/log.txt";
    Append(
        messages,
        "100.000  Notice: epoch has 14 satellites for 12 channels; left out PRN 50 51 (later epochs cut alike are counted)\n"
        "-  Notice: 2124 GPS observations left out (no place for them in the observation file)\n"
        "-  Notice: 3204 Galileo observations left out (no place for them in the observation file)\n"
        "-  Notice: 120 epochs had more satellites than the 12 channels; 600 satellites left out of them\n"
        "-  Notice: 18 compressed records had more than 32 observations; 72 observations left out of them\n"
        "-  Notice: 2 records dropped (their length did not fit their kind)\n"
        "-  Notice: 90000 bytes of the log skipped (unknown records or damaged data)\n"
        "-  Notice: 89900 of those bytes are 900 intact records of kinds the conversion does not read (message ids "
        "325 and 508); the other 100 are damaged data or lie between records\n"
        "-  Notice: 3 camera marks logged by MARKPOS without their MARKTIME not converted (the mark file holds the "
        "MARKTIME marks)\n"
        "-  Notice: 40 camera marks of the receiver's other mark inputs (MARK2TIME, MARK3TIME, MARK4TIME, MARK2POS, "
        "MARK3POS, MARK4POS) not converted (the mark file holds the MARKTIME marks)\n");
    auto d = Collect(base, messages);
    EXPECT_EQ(d->leftOut[0], 2124u);
    EXPECT_EQ(d->leftOut[3], 3204u);
    EXPECT_EQ(d->cutEpochs, 120u);
    EXPECT_EQ(d->cutSatellites, 600u);
    EXPECT_EQ(LeftOutText(*d), "GPS 2124, Galileo 3204 observations left out; 120 epochs cut to the channels (600 "
                               "satellites); 72 observations of 18 compressed records over the limit; 90000 "
                               "bytes of the log skipped (89900 in records of other kinds); 2 records dropped "
                               "(length); 40 marks of other mark inputs; 3 marks logged by MARKPOS alone");
    EXPECT_EQ(d->messageCount, 10u);
    EXPECT_EQ(d->messageCounts[ClassifyMessage("MAXCHAN(32) exceeded, data may be lost on Port 0")], 1u);
    EXPECT_EQ(d->messageCounts[ClassifyMessage("Notice: 1 QZSS observations left out (no place for them")], 2u);

    auto none = Collect(base);
    EXPECT_EQ(LeftOutText(*none), "");

    // An INS receiver's marks logged by MARK1PVA alone are named as such.
    const std::string pva = dir + "/pva.txt";
    Append(pva,
           "-  Notice: 5 camera marks logged by MARK1PVA without their MARKTIME not converted (the mark file holds "
           "the MARKTIME marks)\n");
    EXPECT_EQ(LeftOutText(*Collect(base, pva)), "5 marks logged by MARK1PVA alone");
}
