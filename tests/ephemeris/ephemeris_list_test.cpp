#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/error_text.h"
#include "ephemeris/ephemeris_list.h"

// Fields of the packed records are compared as copies (unary +): the test
// macros take their arguments by reference, which a packed field cannot bind.

namespace {

GpsEphRecord Eph(int32_t prn, int32_t toe, double af0 = 0.0) {
    GpsEphRecord e;
    std::memset(&e, 0, sizeof e);
    e.prn = prn;
    e.toe = toe;
    e.toc = toe;
    e.af0 = af0;
    e.health = 7;
    return e;
}

class EphemerisListTest : public ::testing::Test {
protected:
    void SetUp() override { ClearEphemerisList(); }
    void TearDown() override { ClearEphemerisList(); }
};

} // namespace

TEST_F(EphemerisListTest, DuplicatesEnterOnceAndNewToeIsKeptBeside) {
    EXPECT_EQ(AddEphemeris(Eph(5, 7200, 1e-6)), 0);
    EXPECT_EQ(AddEphemeris(Eph(5, 7200, 2e-6)), 0); // same PRN and toe: not added
    EXPECT_EQ(AddEphemeris(Eph(6, 7200)), 0);
    EXPECT_EQ(AddEphemeris(Eph(5, 14400, 3e-6)), 0);
    EXPECT_EQ(EphemerisListCount, 4); // every one offered is counted

    const GpsEphRecord *e = FindGpsEphemeris(5, 7300);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(+e->af0, 1e-6); // the first copy was kept
    EXPECT_EQ(+e->health, 0); // the health word is not part of the kept copy
    ASSERT_NE(FindGpsEphemeris(5, 14400), nullptr);
    EXPECT_EQ(+FindGpsEphemeris(5, 14400)->af0, 3e-6);
    ASSERT_NE(FindGpsEphemeris(6, 7200), nullptr);
    EXPECT_EQ(+FindGpsEphemeris(6, 7200)->prn, 6);
    EXPECT_EQ(FindGpsEphemeris(7, 7200), nullptr);
}

// Two entries of one PRN two hours apart, earlier toe first.
TEST_F(EphemerisListTest, LookupWalksCachesAndRespectsWindow) {
    const int32_t t0 = 100800;
    const int32_t t1 = t0 + 7200;
    AddEphemeris(Eph(12, t0, 1.0));
    AddEphemeris(Eph(12, t1, 2.0));

    // Below 4000 s from the earlier toe: the walk stops at it.
    ASSERT_NE(FindGpsEphemeris(12, t0 + 3000), nullptr);
    EXPECT_EQ(+FindGpsEphemeris(12, t0 + 3000)->af0, 1.0);
    // 4000 s from the cached toe and closer to the later one: walks again.
    ASSERT_NE(FindGpsEphemeris(12, t0 + 4000), nullptr);
    EXPECT_EQ(+FindGpsEphemeris(12, t0 + 4000)->af0, 2.0);
    // Now the later entry is cached; a time within 4000 s of it keeps it even
    // though a fresh walk would stop at the earlier entry (3700 < 4000).
    EXPECT_EQ(+FindGpsEphemeris(12, t0 + 3700)->af0, 2.0);
    // A new ephemeris of the PRN forgets the cache: the walk decides again.
    AddEphemeris(Eph(12, t1 + 7200, 3.0));
    EXPECT_EQ(+FindGpsEphemeris(12, t0 + 3700)->af0, 1.0);

    // Window: below 21600 s only, also across the week's end, where next
    // week's toe comes before the week is over and last week's stays.
    EXPECT_EQ(+FindGpsEphemeris(12, t0 - 21599)->af0, 1.0);
    EXPECT_EQ(FindGpsEphemeris(12, t0 - 21600), nullptr);
    EXPECT_EQ(FindGpsEphemeris(12, t1 + 7200 + 21600), nullptr);
    AddEphemeris(Eph(3, 0));
    EXPECT_NE(FindGpsEphemeris(3, 604799), nullptr);
    EXPECT_NE(FindGpsEphemeris(3, 604800 - 21599), nullptr);
    EXPECT_EQ(FindGpsEphemeris(3, 604800 - 21600), nullptr);
    EXPECT_EQ(FindGpsEphemeris(3, 302400), nullptr);
    AddEphemeris(Eph(4, 597600));
    EXPECT_NE(FindGpsEphemeris(4, 7200), nullptr);
}

TEST_F(EphemerisListTest, StrictlyCloserReplacesAndOutOfRangePrnsFindNothing) {
    // Equal distances: the earlier entry stays.
    AddEphemeris(Eph(9, 10000, 1.0));
    AddEphemeris(Eph(9, 20000, 2.0));
    EXPECT_EQ(+FindGpsEphemeris(9, 15000)->af0, 1.0);

    AddEphemeris(Eph(71, 0));
    EXPECT_NE(FindGpsEphemeris(71, 0), nullptr);
    AddEphemeris(Eph(72, 0));
    EXPECT_EQ(FindGpsEphemeris(72, 0), nullptr);
    AddEphemeris(Eph(-1, 0));
    EXPECT_EQ(FindGpsEphemeris(-1, 0), nullptr);
    EXPECT_EQ(FindGpsEphemeris(-100000, 0), nullptr);
    // Extreme times must not wrap the distance onto a small value.
    EXPECT_EQ(FindGpsEphemeris(71, INT32_MIN), nullptr);
    AddEphemeris(Eph(4, INT32_MAX));
    EXPECT_EQ(FindGpsEphemeris(4, INT32_MIN), nullptr);
}

// Toes repeat from week to week: with the weeks known, an ephemeris is
// found only for times within half a week of its toe, which takes the week
// that puts it nearest the time the ephemeris was received.
TEST_F(EphemerisListTest, AToeOfAnotherWeekIsNotTakenForThisWeeksEpochs) {
    AddEphemeris(Eph(9, 0, 1.0), 1400, 597600);  // week 1401's first toe, received before 1400 ended
    AddEphemeris(Eph(9, 7200, 2.0), 1400, 7000); // week 1400
    AddEphemeris(Eph(9, 7200, 3.0), 1401, 7000); // the same toe a week later: kept beside it
    AddEphemeris(Eph(9, 7200, 4.0), 1401, 7100); // received again: not added
    struct Lookup {
        int32_t time, week;
        double af0; // 0: none
    };
    const Lookup lookups[] = {{7300, 1400, 2.0}, {7300, 1401, 3.0}, {100, 1401, 1.0},     {597700, 1400, 1.0},
                              {100, 1402, 0.0},  {7300, 1402, 0.0}, {7300, kAnyWeek, 2.0}};
    for (const Lookup &l : lookups) {
        SCOPED_TRACE(std::to_string(l.week) + " " + std::to_string(l.time));
        const GpsEphRecord *e = FindGpsEphemeris(9, l.time, l.week);
        if (l.af0 == 0.0) {
            EXPECT_EQ(e, nullptr);
        } else {
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(+e->af0, l.af0);
        }
    }
    // A set of the week's first hours, found there, is not the answer in
    // the same week's last hours, near as its toe is across the week's end.
    AddEphemeris(Eph(10, 0, 5.0), 1400, 100);
    ASSERT_NE(FindGpsEphemeris(10, 100, 1400), nullptr);
    EXPECT_EQ(FindGpsEphemeris(10, 603500, 1400), nullptr);
}

TEST_F(EphemerisListTest, ClearForgetsEntriesCachesAndCount) {
    AddEphemeris(Eph(1, 3600));
    ASSERT_NE(FindGpsEphemeris(1, 3600), nullptr); // now cached
    EphemerisListCount = 5;
    ClearEphemerisList();
    EXPECT_EQ(EphemerisListCount, 0);
    EXPECT_EQ(FindGpsEphemeris(1, 3600), nullptr);
    AddEphemeris(Eph(1, 3600, 4.0));
    EXPECT_EQ(+FindGpsEphemeris(1, 3600)->af0, 4.0);
}

TEST_F(EphemerisListTest, GlonassListIsEmpty) {
    AddEphemeris(Eph(40, 3600));
    EXPECT_EQ(FindGlonassEphemeris(40, 3600), nullptr);
    EXPECT_EQ(FindGlonassEphemeris(-5, 3600), nullptr);
    EXPECT_EQ(FindGlonassEphemeris(500, 3600), nullptr);
}
