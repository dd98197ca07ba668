// The bundled sample log stays what examples/make-sample.sh makes.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "sim_support.h"
#include "support/oem4_records.h"

using namespace oem4sim;

TEST(Sample, MatchesItsRecipeAndHoldsEveryRecordType) {
    std::vector<uint8_t> sample = testsupport::ReadFileBytes(std::string(OEM4SIM_EXAMPLES_DIR) + "/sample.gps");
    if (sample.empty()) GTEST_SKIP() << "examples/sample.gps not present";
    EXPECT_LT(sample.size(), size_t{1} << 20);

    // The options of examples/make-sample.sh.
    SimConfig c;
    c.seed = 2024;
    c.startWeek = 1400;
    c.startSeconds = 305700;
    c.duration = 600;
    c.format = RangeFormat::Rangecmp;
    c.motion = Motion::SurveyFlight;
    c.latitude = 47.40;
    c.longitude = 8.55;
    c.height = 1450;
    c.markInterval = 4;
    c.slipsPerHour = 1;
    MemorySink s = Simulate(c);

    // Same records at the same times; the floating-point values may differ
    // in their last bits on another mathematics library.
    std::vector<FoundRecord> want = WalkLog(s.bytes), have = WalkLog(sample);
    ASSERT_EQ(have.size(), want.size()) << "run examples/make-sample.sh";
    std::map<uint16_t, int> counts;
    for (size_t i = 0; i < have.size(); ++i) {
        EXPECT_EQ(have[i].id, want[i].id) << "record " << i;
        EXPECT_EQ(have[i].length, want[i].length) << "record " << i;
        EXPECT_EQ(have[i].ms, want[i].ms) << "record " << i;
        ++counts[have[i].id];
    }
    for (uint16_t id : {kMsgRangecmp, kMsgRawephem, kMsgBestpos, kMsgClockModel, kMsgMarktime, kMsgAlmanac, kMsgRawalm})
        EXPECT_GT(counts[id], 0) << "message " << id;
}
