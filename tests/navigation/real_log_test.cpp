// Clock and position recomputation on real receiver logs, against the
// receiver's own solutions in the same log (BESTPOS, or BESTXYZ in logs
// that hold GPSEPHEM ephemerides and Earth-centred positions).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "common/error_text.h"
#include "common/le.h"
#include "oem4/oem4_decoder.h"
#include "oem4conv.h"
#include "output/tsq_reader.h"
#include "support/conversion_request.h"
#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

using namespace testsupport;

namespace {

struct Fix {
    double latitude, longitude, height;
};

// The receiver's own solutions, by time of week, and the time of the first
// epoch that follows the fourth ephemeris in the log: from there on the
// converter recomputes.
std::map<double, Fix> ReceiverPositions(const std::vector<uint8_t> &log, double *firstSolved) {
    std::map<double, Fix> out;
    OpenTestPort(DefaultOptions(), false);
    static ThreadBuf buf;
    int ephemerides = 0;
    for (uint8_t byte : log) {
        const int32_t kind = DecodeByte(0, byte, &buf);
        if (kind == RK_EPHEMERIS) ++ephemerides;
        if (kind == RK_EPOCH && ephemerides >= 4 && std::isnan(*firstSolved)) *firstSolved = HeaderTime(GetOpenPort(0));
        if (kind != RK_POSITION) continue;
        PositionRecord p;
        if (ReadThreadBufData(&buf, TBREC_POSITION, 1, &p) == 1) out[+p.time] = {+p.latitude, +p.longitude, +p.height};
    }
    return out;
}

double HorizontalDistance(const Fix &a, const Fix &b) {
    constexpr double kRadius = 6371000.0;
    const double rad = M_PI / 180.0;
    const double north = (a.latitude - b.latitude) * rad * kRadius;
    const double east = (a.longitude - b.longitude) * rad * kRadius * std::cos(a.latitude * rad);
    return std::hypot(north, east);
}

} // namespace

struct RealLog {
    const char *file;
    uint32_t epochs;
    int minRecomputed;
};

TEST(RecomputeOnRealLog, PositionsAgreeWithTheReceiversAndClocksAreSmooth) {
    const RealLog logs[] = {
        {"oemv_200911218.gps", 46, 14},
        {"gps-range-static.dat", 594, 590},
        {"gps-rangecmp.dat", 429, 425},
    };
    bool any = false;
    for (const RealLog &log : logs) {
        const std::string path = SharedDataFile(log.file);
        if (path.empty()) continue;
        any = true;
        SCOPED_TRACE(log.file);
        double from = NAN;
        const std::map<double, Fix> receiver = ReceiverPositions(ReadFileBytes(path), &from);
        ASSERT_FALSE(std::isnan(from));
        ASSERT_FALSE(receiver.empty());

        const std::filesystem::path dir =
            std::filesystem::temp_directory_path() / ("oem4conv-recompute-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        Oem4Options o = testsupport::FactoryOptions();
        o.recomputeClock = 1;
        const auto options = testsupport::MakeRequest(path, (dir / "day").string(), o);
        ConvertHost host = testsupport::MakeHost();
        ASSERT_EQ(ConvertFile(options.get(), &host, 0), 0);
        EXPECT_EQ(options->epochCount, log.epochs);

        TsqReader reader;
        ASSERT_EQ(OpenTsqReader(&reader, (dir / "day.tsq").c_str()), 0) << ErrorText;
        EpochRecord epoch;
        static MeasRecord meas[kTsqMaxMeasurements];
        int recomputed = 0, compared = 0, unsolved = 0;
        double lastClock = NAN, lastTime = NAN, firstFix = NAN;
        while (ReadTsqEpoch(&reader, &epoch, meas, kTsqMaxMeasurements) == TSQ_EPOCH_READ) {
            if (epoch.receiverTime < from) continue;
            // The first epoch is screened by the elevation mask of the last
            // fix, which a conversion takes over from the one before it (of
            // another log here) and may lose too many satellites to solve.
            if ((epoch.flags & 1) == 0) {
                EXPECT_EQ(unsolved++, 0) << "not solved at " << epoch.receiverTime;
                continue;
            }
            ++recomputed;
            if (std::isnan(firstFix)) firstFix = epoch.receiverTime;
            const Fix mine{+epoch.latitude, +epoch.longitude, +epoch.height};
            const auto theirs = receiver.lower_bound(epoch.receiverTime - 0.5);
            if (theirs != receiver.end() && std::fabs(theirs->first - epoch.receiverTime) < 0.5) {
                ++compared;
                EXPECT_LT(HorizontalDistance(mine, theirs->second), 30.0) << "at " << epoch.receiverTime;
                // Single frequency without an ionosphere model: the height
                // is metres to tens of metres off.
                EXPECT_LT(std::fabs(mine.height - theirs->second.height), 60.0);
            }
            // One second apart, a receiver clock moves by its drift: metres
            // at most, never the jumps of a wrong solution. The first fix has
            // no earlier position, so no elevation mask or troposphere
            // correction, and may sit metres away; the comparison starts
            // after it.
            if (epoch.receiverTime - lastTime == 1.0 && epoch.receiverTime > firstFix + 1.0) {
                EXPECT_LT(std::fabs(epoch.clockOffset - lastClock), 5.0) << "at " << epoch.receiverTime;
            }
            lastClock = epoch.clockOffset;
            lastTime = epoch.receiverTime;
        }
        CloseTsqReader(&reader);
        EXPECT_GE(recomputed, log.minRecomputed);
        EXPECT_GT(compared, recomputed / 2);
        std::filesystem::remove_all(dir);
    }
    if (!any) GTEST_SKIP() << "shared receiver logs not present";
}
