// Damaged or hand-edited inputs: each gives a report, and the report tells
// what it could not use instead of taking it as fact (or never ending).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "report.h"
#include "session.h"
#include "support/scratch.h"

namespace {

using reporttest::Session;

void Write(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

// The file with the first number after `key` replaced by `value`.
void Replace(const std::string &path, const std::string &key, const std::string &value) {
    std::string text = testsupport::ReadText(path);
    const std::size_t at = text.find(key) + key.size();
    text.replace(at, text.find(' ', at) - at, value);
    Write(path, text);
}

// A field of the third epoch written by Epochs replaced.
template <typename T> void PokeThirdEpoch(const std::string &base, std::size_t offset, T value) {
    std::fstream tsq(base + ".tsq", std::ios::in | std::ios::out | std::ios::binary);
    tsq.seekp(static_cast<std::streamoff>(kTsqHeaderSize + 2 * (kEpochRecordSize + 2 * kMeasRecordSize) + offset));
    tsq.write(reinterpret_cast<const char *>(&value), sizeof value);
}

// Ten epochs at 1 Hz from 1000 s with a position and a clock offset.
void Epochs(Session *s, double start = 1000) {
    for (int k = 0; k < 10; ++k) s->Epoch(1500, start + k, {{3, 10 + k}, {7, 20 + k}}, true, 150.0);
}

// The ten epochs (and an ephemeris) of a clean conversion, its files closed.
void TenEpochs(const std::string &base, bool withEphemeris = false) {
    Session s(base);
    Epochs(&s);
    if (withEphemeris) s.Ephemeris(3, 7200);
}

struct DamagedCase {
    const char *name;
    void (*write)(const std::string &base);
    const char *says;  // in the summary, the JSON or the HTML
    const char *never; // in none of them
    const char *file = "run";
};

const DamagedCase kCases[] = {
    {"a RINEX 2.11 event whose line count is negative",
     [](const std::string &base) {
         TenEpochs(base);
         Write(base + ".obs", "     2.11           OBSERVATION DATA    G (GPS)             RINEX VERSION / TYPE\n"
                              "     2    C1    L1                                          # / TYPES OF OBSERV\n"
                              "                                                            END OF HEADER\n"
                              " 06 11  4  0  1 40.0000000  4-99\n"
                              " 06 11  4  0  1 41.0000000  0  1G05\n"
                              "  20000000.000 8\n");
     },
     "\"signals\": {\"G1\": 1}", nullptr},
    {"an ephemeris whose week is beyond any whole number",
     [](const std::string &base) {
         TenEpochs(base, true);
         Replace(base + ".epp", "El1: ", "1e300");
     },
     "1 unreadable blocks in", "\"ephemerides\": 1,"},
    {"seconds of week far beyond the week",
     [](const std::string &base) {
         Session s(base);
         Epochs(&s);
         s.Epoch(1500, 1e16, {{3, 30}});
         Epochs(&s, 1010);
     },
     "1 epochs without a usable time", "\"gaps\": 1,"},
    {"a block closed on its opening line before an ephemeris",
     [](const std::string &base) {
         TenEpochs(base, true);
         std::string text = testsupport::ReadText(base + ".epp");
         text.insert(text.find('\n') + 1, "GpsIon { Utc: 15 }\n");
         Write(base + ".epp", text);
     },
     "\"ephemerides\": 1,", nullptr},
    {"a latitude beyond the pole",
     [](const std::string &base) {
         TenEpochs(base);
         PokeThirdEpoch(base, offsetof(EpochRecord, latitude), 1e300);
     },
     "\"latitude_deg\": 48.150", nullptr},
    {"a height far beyond the Earth",
     [](const std::string &base) {
         TenEpochs(base);
         PokeThirdEpoch(base, offsetof(EpochRecord, height), 3.4e38f);
     },
     "1 epochs with an impossible position", nullptr},
    {"clock offsets spanning more than the largest double",
     [](const std::string &base) {
         Session s(base);
         Epochs(&s);
         s.Epoch(1500, 1010, {{3, 20}}, true, 1.7e308);
         s.Epoch(1500, 1011, {{3, 21}}, true, -1.7e308);
     },
     nullptr, "nan"},
    {"a name with a control character and a byte outside UTF-8", [](const std::string &base) { TenEpochs(base); },
     "ctl\\u0001&#xff;.tsq</h1>", nullptr, "ctl\x01\xff"},
    {"mark numbers below zero and beyond 32 bits",
     [](const std::string &base) {
         TenEpochs(base);
         Write(base + ".sta", "CAMERA PULSE #-1 AT: 1001.5\nCAMERA PULSE #0 AT: 1002.5\nCAMERA PULSE #1 AT: 1003.5\n"
                              "CAMERA PULSE #4294967298 AT: 1004.5\n");
     },
     "1 unreadable lines in", "4294967"},
};

TEST(ReportDamagedInputs, ToldAndLeftOutNotTakenAsFact) {
    for (const DamagedCase &c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string dir = reporttest::TempDir("damaged-inputs");
        const std::string base = dir + "/" + c.file;
        c.write(base);
        report::ReportRequest request;
        request.base = base;
        request.htmlPath = dir + "/run.html";
        request.jsonPath = dir + "/run.json";
        request.summary = std::fopen((dir + "/summary.txt").c_str(), "w");
        ASSERT_NE(request.summary, nullptr);
        std::string error;
        const int result = report::BuildQualityReport(request, &error);
        std::fclose(request.summary);
        ASSERT_EQ(result, report::kReportOk) << error;
        const std::string all = testsupport::ReadText(dir + "/summary.txt") + testsupport::ReadText(request.jsonPath) +
                                testsupport::ReadText(request.htmlPath);
        if (c.says != nullptr) {
            EXPECT_NE(all.find(c.says), std::string::npos) << all;
        }
        if (c.never != nullptr) {
            EXPECT_EQ(all.find(c.never), std::string::npos) << all;
        }
    }
}

} // namespace
