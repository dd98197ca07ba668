// The report on conversions of real receiver logs: its counts must agree
// with what the converter says it wrote and with what the logs hold.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "oem4conv.h"
#include "report.h"
#include "session.h"
#include "support/conversion_request.h"
#include "support/oem4_records.h"

namespace {

using namespace report;
namespace fs = std::filesystem;

std::FILE *g_messages = nullptr;
uint64_t g_messageCount = 0;

// Saved as the converter command prints them.
void OEM4CONV_CALL SaveMessage(double time, const char *text) {
    ++g_messageCount;
    if (time >= 0.0)
        std::fprintf(g_messages, "  %12.3f  %s\n", time, text);
    else
        std::fprintf(g_messages, "  %12s  %s\n", "-", text);
}

struct Expected {
    const char *file;
    uint64_t epochs;
    int satsMin, satsMax;
};

TEST(ReportRealLogs, CountsAgreeWithTheConversion) {
    const Expected logs[] = {
        {"oemv_200911218.gps", 46, 12, 12},   // BESTPOS, RAWEPHEM
        {"gps-range-static.dat", 594, 0, 11}, // BESTXYZ, GPSEPHEM
        {"gps-rangecmp.dat", 429, 0, 11},
    };
    const std::string dir = reporttest::TempDir("real");
    bool any = false;
    for (const Expected &log : logs) {
        const std::string input = testsupport::SharedDataFile(log.file);
        if (input.empty()) continue;
        any = true;
        SCOPED_TRACE(log.file);
        const std::string base = dir + "/" + fs::path(log.file).stem().string();

        auto options = testsupport::MakeRequest(input, base);
        ConvertHost host = testsupport::MakeHost(SaveMessage);
        g_messages = std::fopen((base + ".messages").c_str(), "w");
        ASSERT_NE(g_messages, nullptr);
        g_messageCount = 0;
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(ConvertFile(options.get(), &host, 0), 0);
        const auto t1 = std::chrono::steady_clock::now();
        std::fclose(g_messages);

        ReportRequest request;
        request.base = base;
        request.htmlPath = base + ".html";
        request.jsonPath = base + ".json";
        request.messagesPath = base + ".messages";
        std::string error;
        ASSERT_EQ(BuildQualityReport(request, &error), kReportOk) << error;
        const auto t2 = std::chrono::steady_clock::now();
        std::printf("[ report   ] %s: conversion %.1f ms, report %.1f ms\n", log.file,
                    std::chrono::duration<double, std::milli>(t1 - t0).count(),
                    std::chrono::duration<double, std::milli>(t2 - t1).count());

        auto d = std::make_unique<ReportData>();
        ASSERT_EQ(CollectReport(request, d.get(), &error), kReportOk) << error;
        EXPECT_TRUE(d->problems.empty()) << d->problems.front();
        EXPECT_EQ(d->epochCount, options->epochCount);
        EXPECT_EQ(d->epochCount, log.epochs);
        EXPECT_EQ(d->ephemerides.size(), options->ephemerisCount);
        EXPECT_EQ(d->marks.size(), options->markCount);
        EXPECT_EQ(d->messageCount, g_messageCount);
        EXPECT_DOUBLE_EQ(d->rate, 1.0);
        EXPECT_TRUE(d->gaps.empty());
        EXPECT_GE(d->satsMin, log.satsMin);
        EXPECT_EQ(d->satsMax, log.satsMax);
        // The sky plot and the track need ephemerides and positions.
        EXPECT_TRUE(d->haveMeanPosition);
        EXPECT_FALSE(d->sky.empty());
        EXPECT_GT(d->ephemerides.size(), 12u);
    }
    fs::remove_all(dir);
    if (!any) GTEST_SKIP() << "no real logs in the shared data folder";
}

} // namespace
