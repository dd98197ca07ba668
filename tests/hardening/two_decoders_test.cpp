// Two decoders at once: everything a range, position or clock-model record
// needs while it is decoded lives in its port's state, so two ports fed
// from two threads give exactly what each gives alone. Run under
// ThreadSanitizer in CI, which also reports any state the two share.
// (The GPS ephemeris list, the mark counter and the solver's previous fix
// are the library's single instances by design, so their records are left
// out of the logs here.)
#include <gtest/gtest.h>

#include <thread>

#include "hardening_support.h"
#include "oem4/oem4_decoder.h"
#include "threadbuf/threadbuf.h"

using namespace hardening;

namespace {

constexpr uint16_t kBestpos = 42, kRange = 43, kClockModel = 71, kRangecmp = 140;

// What a port produced, record by record: each result and the ThreadBuf's
// used bytes after it, back to back.
std::vector<uint8_t> DecodeAll(int32_t port, const std::vector<uint8_t> &log) {
    static thread_local ThreadBuf buf;
    std::vector<uint8_t> out;
    const auto keep = [&](int32_t result) {
        out.push_back(static_cast<uint8_t>(result));
        const uint32_t used = le::U4(buf.bytes + 12);
        out.insert(out.end(), buf.bytes, buf.bytes + std::min<uint32_t>(used, sizeof buf.bytes));
    };
    ClearThreadBuf(&buf);
    uint32_t at = 0;
    while (at < log.size()) {
        uint32_t used = 0;
        const int32_t result = DecodeBytes(port, log.data() + at, static_cast<uint32_t>(log.size() - at), &buf, &used);
        at += used;
        if (result != 0) keep(result);
    }
    for (int32_t result; (result = FlushPort(port, &buf)) > 0;) keep(result);
    return out;
}

void OpenQuietPort(int32_t port) {
    ASSERT_EQ(OpenPort(port, nullptr), 0);
    Oem4Options options = testsupport::DefaultOptions();
    SetPortOptions(port, &options, sizeof options);
}

} // namespace

TEST(TwoDecoders, FedFromTwoThreadsGiveWhatEachGivesAlone) {
    std::vector<uint8_t> first;
    const std::string sample = std::string(OEM4CONV_SOURCE_DIR) + "/examples/sample.gps";
    for (const auto &record : RecordsOf(ReadBytes(sample))) {
        const uint16_t id = le::U2(record.data() + 4);
        if (id == kBestpos || id == kClockModel || id == kRangecmp) Append(first, record);
    }
    ASSERT_GT(first.size(), 100000u);
    std::vector<uint8_t> second;
    for (int i = 0; i < 3000; ++i) {
        Append(second, RangeRecord(4 + i % 9, 100000 + 200 * i));
        if (i % 50 == 0) second.insert(second.end(), {0xAA, 0x44, 0x12, 0x1C, 0x2B}); // a torn record
    }

    OpenQuietPort(1);
    const std::vector<uint8_t> firstAlone = DecodeAll(1, first);
    OpenQuietPort(2);
    const std::vector<uint8_t> secondAlone = DecodeAll(2, second);
    ASSERT_GT(firstAlone.size(), first.size() / 2);
    ASSERT_GT(secondAlone.size(), second.size() / 2);

    // Ports are opened here, on one thread: opening touches the port table.
    OpenQuietPort(1);
    OpenQuietPort(2);
    std::vector<uint8_t> firstTogether, secondTogether;
    std::thread a([&] { firstTogether = DecodeAll(1, first); });
    std::thread b([&] { secondTogether = DecodeAll(2, second); });
    a.join();
    b.join();
    EXPECT_TRUE(firstTogether == firstAlone);
    EXPECT_TRUE(secondTogether == secondAlone);
}
