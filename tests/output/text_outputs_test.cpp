#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "output/text_outputs.h"
#include "temp_files.h"

namespace {

// Written out by hand from the block layout: subframe 1 clock data, then the
// subframe 2 and 3 orbit in broadcast order, 14 digits for M0, e, sqrt(A),
// Omega0, i0 and omega.
const char *const kEphemerisBlock =
    "GpsEph { Prn: 5\n"
    "\tEl1: 300 9999 -1.16415322e-008 45 7200\n"
    "\tEl2: 0.00000000e+000 -1.13686838e-012 2.50000000e-005\n"
    "\tEl3: 45 -7.35000000e+001 4.68233780e-009 -2.21589462370000e+000\n"
    "\tEl4: -3.81842256e-006 5.10000000000000e-003 7.50000000e+000 5.15370000000000e+003\n"
    "\tEl5: 7200 1.30385160e-008 1.04719755120000e+000 -2.04890966e-008\n"
    "\tEl6: 9.59931088600000e-001 2.50250000e+002 -1.70000000000000e+000 -8.10000000e-009 "
    "1.20000000e-010\n"
    "}\n";

const char *const kAlmanacBlock = "GpsAlm { Prn: 17\n"
                                  "\tTim: 61440 380 2\n"
                                  "\tOmg: -1.90000000e+000 2.50000000e+000 -7.90000000e-009\n"
                                  "\tEll: 5.15360000e+003 1.20000000e-002\n"
                                  "\tMdi: 7.50000000e-001 1.55000000e-002\n"
                                  "\tClk: 1.90000000e-005 3.60000000e-012\n"
                                  "\tHlt: 0 2\n"
                                  "}\n";

} // namespace

TEST(EppFile, BlocksFollowTheIdentificationLineInArrivalOrder) {
    // In record order: prn, week, 9999, tgd, iodc, toc, af2, af1, af0, iode, dn, m0,
    // e, sqrtA, toe, cic, crc, cis, crs, cuc, cus, omega0, omega, i0, omegaDot, idot, health.
    GpsEphRecord eph{5,
                     300,
                     9999,
                     -1.1641532182693481e-08,
                     45,
                     7200,
                     0.0,
                     -1.1368683772161603e-12,
                     2.5e-05,
                     45,
                     4.6823378e-09,
                     -2.2158946237,
                     0.0051,
                     5153.7,
                     7200,
                     1.3038516045e-08,
                     250.25,
                     -2.0489096642e-08,
                     -73.5,
                     -3.8184225559e-06,
                     7.5,
                     1.0471975512,
                     -1.7,
                     0.9599310886,
                     -8.1e-09,
                     1.2e-10,
                     0};
    // prn, system, -, e, toa, -, deltaI, omegaDot, sqrtA, omega0, omega, m0, af0, af1,
    // time code, week, health code, health.
    AlmanacRecord alm{17,   0,    {},     0.012,   61440, {},  0.0155, -7.9e-9, 5153.6, 2.5,
                      -1.9, 0.75, 1.9e-5, 3.6e-12, 2,     380, 2,      0,       {}};

    ScratchFile file("blocks.epp");
    std::FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(WriteEppIdentification(f, file.c_str()), 0);
    EXPECT_EQ(WriteEppEphemeris(f, file.c_str(), &eph), 0);
    EXPECT_EQ(WriteEppAlmanac(f, file.c_str(), &alm), 0);
    EXPECT_EQ(WriteEppEphemeris(f, file.c_str(), &eph), 0); // not de-duplicated
    alm.satSystem = 1;                                      // not GPS: no text
    EXPECT_EQ(WriteEppAlmanac(f, file.c_str(), &alm), 0);
    ASSERT_EQ(CloseTextOutput(f, file.c_str()), 0);

    EXPECT_EQ(file.Text(),
              std::string("$EPHREC Ver6.03 KAVRENO NovAtelOem4\n") + kEphemerisBlock + kAlmanacBlock + kEphemerisBlock);
}

TEST(MarkFile, EachMarkIsAnEmptyLineAndItsPulseLine) {
    ScratchFile file("marks.sta");
    std::FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    MarkRecord mark{};
    mark.markNumber = 3;
    mark.time = 100.5;
    EXPECT_EQ(WriteMarkEvent(f, file.c_str(), &mark), 0);
    mark.markNumber = 4;
    mark.time = 345678.1234567;
    EXPECT_EQ(WriteMarkEvent(f, file.c_str(), &mark), 0);
    ASSERT_EQ(CloseTextOutput(f, file.c_str()), 0);
    EXPECT_EQ(file.Text(), "\nCAMERA PULSE #3 AT: 100.500000\n\nCAMERA PULSE #4 AT: 345678.123457\n");

    EXPECT_EQ(WriteMarkEvent(nullptr, "none", &mark), 0);
}
