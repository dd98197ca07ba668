#include "sim_support.h"

#include <gtest/gtest.h>

#include <string>

#include "common/le.h"
#include "oem4/crc32.h"
#include "oem4/oem4_decoder.h"

MemorySink Simulate(const oem4sim::SimConfig &cfg) {
    MemorySink sink;
    std::string why;
    oem4sim::SimStats stats;
    EXPECT_EQ(oem4sim::RunSimulation(cfg, &sink, &stats, &why), 0) << why;
    EXPECT_EQ(stats.bytes, sink.bytes.size());
    return sink;
}

std::vector<FoundRecord> WalkLog(const std::vector<uint8_t> &log) {
    std::vector<FoundRecord> out;
    size_t at = 0;
    while (at < log.size()) {
        const uint8_t *p = log.data() + at;
        EXPECT_GE(log.size() - at, size_t{32}) << "short tail at " << at;
        if (log.size() - at < 32) break;
        EXPECT_TRUE(HasOem4Lead(p)) << "no sync at " << at;
        uint16_t id = le::U2(p + 4), len = le::U2(p + 8);
        const RecordTableEntry *row = FindRecordTableEntry(id);
        EXPECT_NE(row, nullptr) << "unknown message " << id;
        if (!row) break;
        EXPECT_TRUE(CheckRecordLength(row, len)) << row->name << " length " << len;
        size_t total = 28u + len + 4u;
        EXPECT_LT(total, size_t{8192});
        EXPECT_LE(at + total, log.size());
        if (at + total > log.size()) break;
        if (row->itemLength) {
            uint32_t count = le::U4(p + 28 + row->countOffset);
            EXPECT_EQ(uint64_t{count} * row->itemLength + row->fixedLength, len) << row->name;
        }
        EXPECT_EQ(Oem4Crc32(p, 28u + len), le::U4(p + 28 + len)) << row->name << " at " << at;
        out.push_back({at, total, id, le::U2(p + 14), le::I4(p + 16), p + 28});
        at += total;
    }
    return out;
}
