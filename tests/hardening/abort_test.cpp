// Abort from another thread while a conversion runs: the conversion stops
// at the next block boundary, reports "User Quit", makes its final progress
// call, writes its statistics and leaves whole files behind. Outcome under
// ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "api/convert.h"
#include "hardening_support.h"
#include "support/rinex_reader.h"

using namespace hardening;

namespace {

// Epochs of 8 satellites, 388 bytes each: about 10 MB in all, far more
// than a conversion gets through before the other thread's request lands.
std::vector<uint8_t> LongLog() {
    std::vector<uint8_t> log;
    for (int i = 0; i < 27000; ++i) Append(log, RangeRecord(8, 100000 + 1000 * (i % 500000)));
    return log;
}

// Whole epochs only: a 202-byte header, then 68-byte epoch headers each
// followed by its measurements.
bool TsqTilesExactly(const std::vector<uint8_t> &tsq, long *epochs) {
    size_t at = 202;
    *epochs = 0;
    while (at < tsq.size()) {
        if (at + 68 > tsq.size() || tsq[at] != 68) return false;
        at += 68 + tsq[at + 2] * 44u;
        ++*epochs;
    }
    return at == tsq.size();
}

} // namespace

TEST(AbortFromAnotherThread, StopsAtTheNextBlockWithWholeFilesAndStatistics) {
    ScratchDir dir;
    const std::vector<uint8_t> log = LongLog();
    WriteBytes(dir / "long.gps", log);

    std::atomic<int> blocks{0};
    std::atomic<bool> requested{false};
    std::atomic<int> blocksAtRequest{0};
    g_onProgress = [&](int32_t, int32_t) { ++blocks; };

    // The aborting thread waits until the conversion is under way, then
    // asks once, the way a host's Cancel button would.
    std::thread canceller([&] {
        while (blocks.load() < 3) std::this_thread::yield();
        blocksAtRequest = blocks.load();
        Abort();
        requested = true;
    });
    const Outcome run = Convert(dir / "long.gps", dir / "out");
    canceller.join();
    g_onProgress = nullptr;

    ASSERT_TRUE(requested.load());
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.error, "User Quit");
    const int32_t total = static_cast<int32_t>(log.size());
    ASSERT_GE(run.progress.size(), 4u);
    // Stopped long before the end, at most one block after the request was
    // seen, and the last call still reports the whole input as done.
    EXPECT_LT(run.progress.size(), log.size() / 2048);
    EXPECT_LE(static_cast<int>(run.progress.size()), blocksAtRequest.load() + 3);
    EXPECT_EQ(run.progress.back(), std::make_pair(total, total));
    const auto &lastBlock = run.progress[run.progress.size() - 2];
    EXPECT_EQ(lastBlock.first % 2048, 0);
    EXPECT_LT(lastBlock.first, total);

    long epochs = 0;
    EXPECT_TRUE(TsqTilesExactly(ReadBytes(dir / "out.tsq"), &epochs));
    EXPECT_EQ(epochs, static_cast<long>(run.epochs));
    EXPECT_GT(run.epochs, 0u);
    EXPECT_EQ(ReadBytes(dir / "out.epp").size(), 36u); // header line only

    // A request made while nothing runs does not stop the next conversion.
    Abort();
    WriteBytes(dir / "short.gps", RangeRecord(8, 100000));
    const Outcome next = Convert(dir / "short.gps", dir / "next");
    EXPECT_EQ(next.result, 0) << next.error;
    EXPECT_EQ(next.epochs, 1u);
}

TEST(AbortFromAnotherThread, RequestsRacingWithManyShortConversionsNeverCorruptThem) {
    // Conversions back to back while another thread keeps asking to stop:
    // each ends either completed with every epoch or as "User Quit", and
    // never with anything else.
    ScratchDir dir;
    const std::vector<uint8_t> log = testsupport::RangeLogs(40, 6);
    WriteBytes(dir / "log.gps", log);

    std::atomic<bool> done{false};
    std::thread canceller([&] {
        while (!done.load()) {
            Abort();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int completed = 0;
    int aborted = 0;
    for (int k = 0; k < 30; ++k) {
        const Outcome run = Convert(dir / "log.gps", dir / "out");
        if (run.result == 0) {
            ++completed;
            EXPECT_EQ(run.epochs, 40u);
        } else {
            ++aborted;
            EXPECT_EQ(run.result, 1);
            EXPECT_EQ(run.error, "User Quit");
            ASSERT_FALSE(run.progress.empty());
            EXPECT_EQ(run.progress.back(),
                      std::make_pair(static_cast<int32_t>(log.size()), static_cast<int32_t>(log.size())));
        }
        long epochs = 0;
        EXPECT_TRUE(TsqTilesExactly(ReadBytes(dir / "out.tsq"), &epochs));
        EXPECT_EQ(epochs, static_cast<long>(run.epochs));
    }
    done = true;
    canceller.join();
    EXPECT_EQ(completed + aborted, 30);
}

// With RINEX the observation records are printed on a thread of the
// writer's own: an abort ends it with the conversion, and the file holds
// whole epochs, the same as the observation file's.
TEST(AbortFromAnotherThread, WithRinexEndsTheWritersThreadAndKeepsWholeEpochs) {
    ScratchDir dir;
    WriteBytes(dir / "long.gps", LongLog());
    ConvertRinexOptions rinex{};
    rinex.enabled = 1;
    rinex.hostFiles = 1;
    SetConvertRinex(&rinex);
    std::atomic<int> blocks{0};
    g_onProgress = [&](int32_t, int32_t) {
        if (++blocks == 40) Abort();
    };
    const Outcome run = Convert(dir / "long.gps", dir / "out");
    g_onProgress = nullptr;
    SetConvertRinex(nullptr);

    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.error, "User Quit");
    ASSERT_GT(run.epochs, 0u);
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(dir / "out.obs", &obs), "");
    EXPECT_EQ(obs.epochs.size(), run.epochs);
}
