// What each system and signal contributed, counted from the RINEX file of a
// conversion: 3.04 and 2.11 files of the same epochs give the same counts
// for the signals both can hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "report.h"
#include "session.h"

namespace {

void Write(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

std::string Header304() {
    return "     3.04           OBSERVATION DATA    M: Mixed            RINEX VERSION / TYPE\n"
           "G    8 C1C L1C D1C S1C C2W L2W D2W S2W                      SYS / # / OBS TYPES\n"
           "E    4 C1C L1C D1C S1C                                      SYS / # / OBS TYPES\n"
           "                                                            END OF HEADER\n";
}

} // namespace

TEST(ReportSignals, CountsEachSignalOfEachSystemOncePerSatelliteAndEpoch) {
    const std::string dir = reporttest::TempDir("signals");
    {
        reporttest::Session s(dir + "/day");
        s.Epoch(1400, 100.0, {{5, 10}});
        s.Close();
    }
    const std::string value = "  20000000.000 8";
    const std::string blank(16, ' ');
    // G05 with L1 and L2, G07 with L1 only (L2 Doppler alone does not
    // count), E11 with L1; an event record in between is skipped.
    Write(dir + "/day.obs", Header304() + "> 2006 11 04 00 01 40.0000000  0  3\n" + "G05" + value + value + blank +
                                value + value + value + "\n" + "G07" + value + value + blank + blank + blank + blank +
                                value + "\n" + "E11" + value + "\n" + "> 2006 11 04 00 01 40.5000000  5  1\n" +
                                "CAMERA PULSE #1                                             COMMENT\n" +
                                "> 2006 11 04 00 01 41.0000000  0  1\n" + "G05" + value + "\n");
    report::ReportData d;
    d.tsqPath = dir + "/day.tsq";
    report::ReadRinexSignals(&d);
    ASSERT_TRUE(d.haveObs);
    EXPECT_EQ(report::SignalsText(d), "GPS 1C 3, 2W 1; Galileo 1C 1");

    // The same in RINEX 2.11: one type list, satellites on the epoch line.
    Write(dir + "/day.obs", "     2.11           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
                            "     6    C1    L1    D1    S1    P2    L2                  # / TYPES OF OBSERV\n"
                            "                                                            END OF HEADER\n"
                            " 06 11  4  0  1 40.0000000  0  2G05G07\n" +
                                value + value + blank + value + value + "\n" + value + "\n" + value + "\n\n");
    report::ReportData d2;
    d2.tsqPath = dir + "/day.tsq";
    report::ReadRinexSignals(&d2);
    ASSERT_TRUE(d2.haveObs);
    EXPECT_EQ(report::SignalsText(d2), "GPS 1 2, 2 1");

    // A damaged header's type names stay inside their JSON strings.
    Write(dir + "/day.obs", "     3.04           OBSERVATION DATA    M: Mixed            RINEX VERSION / TYPE\n"
                            "G    2 L1\" C\\C                                              SYS / # / OBS TYPES\n"
                            "                                                            END OF HEADER\n"
                            "> 2006 11 04 00 01 40.0000000  0  1\n"
                            "G05" +
                                value + value + "\n");
    report::ReportData quoted;
    quoted.tsqPath = dir + "/day.tsq";
    // A file name in UTF-8 and one in Latin-1 (a truncated sequence too).
    quoted.eppPath = "\xc3\xa9t\xc3\xa9.epp";
    quoted.staPath = "caf\xe9\xed\x9f.sta";
    quoted.haveEpp = quoted.haveSta = true;
    report::ReadRinexSignals(&quoted);
    std::FILE *json = std::tmpfile();
    ASSERT_NE(json, nullptr);
    EXPECT_EQ(report::WriteJson(json, quoted), 0);
    std::rewind(json);
    std::string text(8192, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), json));
    std::fclose(json);
    EXPECT_NE(text.find("\"signals\": {\"G1\\\"\": 1, \"G\\\\C\": 1},"), std::string::npos) << text;
    EXPECT_NE(text.find("\"\xc3\xa9t\xc3\xa9.epp\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"caf\\u00e9\\u00ed\\u009f.sta\""), std::string::npos) << text;

    // No RINEX file: nothing to tell.
    std::remove((dir + "/day.obs").c_str());
    report::ReportData none;
    none.tsqPath = dir + "/day.tsq";
    report::ReadRinexSignals(&none);
    EXPECT_FALSE(none.haveObs);
    EXPECT_EQ(report::SignalsText(none), "");
}
