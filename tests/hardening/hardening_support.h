// Helpers of the robustness tests: whole conversions through the exports
// with everything they report captured, scratch directories, and logs made
// from real or hand-made records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"
#include "oem4conv.h"
#include "support/conversion_request.h"
#include "support/oem4_records.h"
#include "support/scratch.h"

namespace hardening {

namespace fs = std::filesystem;

// What one conversion reported.
struct Outcome {
    int32_t result = -1;
    std::string error;                 // GetErrString after the call
    std::vector<std::string> messages; // "time|text"
    std::vector<std::pair<int32_t, int32_t>> progress;
    uint32_t epochs = 0;
    uint32_t ephemerides = 0;
    uint32_t marks = 0;
};

// The host callbacks carry no user pointer; the run being captured is global.
inline Outcome *g_run = nullptr;
// Off where the test itself must not grow with the log (memory bound).
inline bool g_keepReports = true;
inline std::function<void(int32_t, int32_t)> g_onProgress;

inline void OEM4CONV_CALL CaptureMessage(double time, const char *text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f|", time);
    if (g_run != nullptr && g_keepReports) g_run->messages.push_back(stamp + std::string(text));
}
inline void OEM4CONV_CALL CaptureProgress(int32_t done, int32_t total) {
    if (g_run != nullptr && g_keepReports) g_run->progress.emplace_back(done, total);
    if (g_onProgress) g_onProgress(done, total);
}

using testsupport::FactoryOptions;

inline Outcome Convert(const std::string &input, const std::string &output,
                       const Oem4Options &converterOptions = FactoryOptions()) {
    ConvertOptions options;
    testsupport::FillRequest(&options, input, output, converterOptions);
    ConvertHost host = testsupport::MakeHost(CaptureMessage, CaptureProgress);

    Outcome run;
    g_run = &run;
    run.result = ConvertFile(&options, &host, 0);
    g_run = nullptr;
    char text[512];
    GetErrString(text);
    run.error = text;
    run.epochs = options.epochCount;
    run.ephemerides = options.ephemerisCount;
    run.marks = options.markCount;
    return run;
}

using testsupport::Append;
using testsupport::ScratchDir;
using testsupport::WriteBytes;
inline std::vector<uint8_t> ReadBytes(const std::string &path) { return testsupport::ReadFileBytes(path); }

// The CRC-valid records of a log, in order (anything between them dropped).
inline std::vector<std::vector<uint8_t>> RecordsOf(const std::vector<uint8_t> &log) {
    std::vector<std::vector<uint8_t>> records;
    size_t at = 0;
    while (at + 32 <= log.size()) {
        const uint8_t *p = log.data() + at;
        if (HasOem4Lead(p)) {
            const size_t length = le::U2(p + 8);
            if (at + 32 + length <= log.size() && Oem4Crc32(p, 28 + length) == le::U4(p + 28 + length)) {
                records.emplace_back(p, p + 32 + length);
                at += 32 + length;
                continue;
            }
        }
        ++at;
    }
    return records;
}

// A copy of a record whose header time lies `shift` milliseconds later
// (wrapping into the next week), with its CRC made good again.
inline std::vector<uint8_t> Restamp(const std::vector<uint8_t> &record, int64_t shift) {
    constexpr int64_t kWeek = 604800000;
    std::vector<uint8_t> out = record;
    int64_t ms = le::I4(out.data() + 16) + shift;
    int64_t week = le::U2(out.data() + 14) + ms / kWeek;
    ms %= kWeek;
    le::PutU2(out.data() + 14, static_cast<uint16_t>(week));
    le::PutI4(out.data() + 16, static_cast<int32_t>(ms));
    const size_t covered = out.size() - 4;
    le::PutU4(out.data() + covered, Oem4Crc32(out.data(), covered));
    return out;
}

// Writes a log of at least `bytes` bytes: the records again and again,
// each pass later than the one before by the span of the records plus 1 s,
// so that the times keep rising as in one long recording.
inline void WriteRepeatedLog(const std::string &path, const std::vector<std::vector<uint8_t>> &records,
                             uint64_t bytes) {
    int32_t first = le::I4(records.front().data() + 16);
    int32_t last = first;
    for (const auto &r : records) {
        first = std::min(first, le::I4(r.data() + 16));
        last = std::max(last, le::I4(r.data() + 16));
    }
    const int64_t span = static_cast<int64_t>(last) - first + 1000;
    std::ofstream out(path, std::ios::binary);
    uint64_t written = 0;
    for (int64_t pass = 0; written < bytes; ++pass) {
        for (const auto &r : records) {
            const std::vector<uint8_t> copy = pass == 0 ? r : Restamp(r, pass * span);
            out.write(reinterpret_cast<const char *>(copy.data()), static_cast<std::streamsize>(copy.size()));
            written += copy.size();
        }
    }
}

// A RANGE record with `satellites` L1 observations of healthy tracking.
inline std::vector<uint8_t> RangeRecord(int satellites, int32_t milliseconds) {
    return testsupport::RangeLog(satellites, milliseconds);
}

} // namespace hardening
