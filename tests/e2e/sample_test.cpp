// The bundled sample log converts to what examples/README.md promises.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace e2e;

TEST(Sample, ConvertsToTheCountsOfItsReadme) {
    const std::string dir = OEM4CONV_EXAMPLES_DIR;
    Conversion out = ConvertPath(dir + "/sample.gps", FactoryOptions(), "sample");
    ASSERT_EQ(out.result, 0);
    ASSERT_EQ(out.tsqError, "");
    ASSERT_EQ(out.eppError, "");
    ASSERT_EQ(out.staError, "");

    EXPECT_EQ(out.epochCount, 600u);
    ASSERT_EQ(out.epochs.size(), 600u);
    for (const EpochRecord &e : out.epochs) {
        EXPECT_EQ(+e.flags, 1) << +e.receiverTime;         // the BESTPOS position
        EXPECT_NE(+e.clockOffset, 0.0) << +e.receiverTime; // the clock model
    }
    EXPECT_EQ(out.ephemerisCount, 19u);
    EXPECT_EQ(out.ephemerides.size(), 19u);
    EXPECT_EQ(out.almanacs.size(), 31u);

    // Mark times equal the truth file's to the microsecond.
    std::ifstream truth(dir + "/sample.truth.csv");
    ASSERT_TRUE(truth.good());
    std::vector<double> markTimes;
    for (std::string line; std::getline(truth, line);) {
        unsigned week = 0;
        double gps = 0;
        if (std::sscanf(line.c_str(), "mark,%u,%lf", &week, &gps) == 2) markTimes.push_back(gps);
    }
    EXPECT_EQ(out.markCount, 150u);
    ASSERT_EQ(markTimes.size(), 150u);
    ASSERT_EQ(out.marks.size(), markTimes.size());
    for (size_t i = 0; i < markTimes.size(); ++i)
        EXPECT_NEAR(out.marks[i].time, markTimes[i], 0.5e-6 + 1e-9) << "mark " << i;
}
