#include "support/oem4_records.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"

namespace testsupport {

Bytes &Bytes::u1(uint8_t v) {
    bytes_.push_back(v);
    return *this;
}
Bytes &Bytes::u2(uint16_t v) {
    uint8_t b[2];
    le::PutU2(b, v);
    bytes_.insert(bytes_.end(), b, b + 2);
    return *this;
}
Bytes &Bytes::u4(uint32_t v) {
    uint8_t b[4];
    le::PutU4(b, v);
    bytes_.insert(bytes_.end(), b, b + 4);
    return *this;
}
Bytes &Bytes::i4(int32_t v) { return u4(static_cast<uint32_t>(v)); }
Bytes &Bytes::r4(float v) {
    uint8_t b[4];
    le::PutR4(b, v);
    bytes_.insert(bytes_.end(), b, b + 4);
    return *this;
}
Bytes &Bytes::r8(double v) {
    uint8_t b[8];
    le::PutR8(b, v);
    bytes_.insert(bytes_.end(), b, b + 8);
    return *this;
}
// Kept out of line: inlined into a caller, g++ 12 misjudges the vector's
// size and warns about a fill that is in bounds.
[[gnu::noinline]] Bytes &Bytes::zeros(size_t n) {
    bytes_.insert(bytes_.end(), n, 0);
    return *this;
}
Bytes &Bytes::raw(const std::vector<uint8_t> &v) {
    bytes_.insert(bytes_.end(), v.begin(), v.end());
    return *this;
}

std::vector<uint8_t> MakeRecord(uint16_t messageId, const std::vector<uint8_t> &body, HeaderFields header,
                                int lengthOverride) {
    std::vector<uint8_t> rec(kOem4HeaderLength + body.size() + kOem4CrcLength, 0);
    uint8_t *p = rec.data();
    std::memcpy(p, kOem4Lead.data(), kOem4Lead.size());
    le::PutU2(p + kHeaderMessageIdAt, messageId);
    le::PutU2(p + kHeaderMessageLengthAt, static_cast<uint16_t>(lengthOverride >= 0 ? lengthOverride : body.size()));
    p[kHeaderTimeStatusAt] = header.timeStatus;
    le::PutU2(p + kHeaderWeekAt, header.week);
    le::PutI4(p + kHeaderMillisecondsAt, header.milliseconds);
    if (!body.empty()) std::memcpy(p + 28, body.data(), body.size());
    le::PutU4(p + 28 + body.size(), Oem4Crc32(p, 28 + body.size()));
    return rec;
}

std::vector<uint8_t> RangeLog(int satellites, int32_t milliseconds) {
    Bytes body;
    body.u4(static_cast<uint32_t>(satellites));
    for (int i = 0; i < satellites; ++i) {
        body.u2(static_cast<uint16_t>(i + 1)).u2(0).r8(2.1e7 + i * 1000.0).r4(0.1f);
        body.r8(-1.1e8 - i).r4(0.01f).r4(100.0f).r4(45.0f).r4(50.0f);
        body.u4(0x1800 | 0x400); // L1, code locked, parity known, phase lock
    }
    return MakeRecord(43, body.data(), {1500, milliseconds, 180});
}

std::vector<uint8_t> MarkLog(double time) {
    Bytes body;
    body.u4(1500).r8(time).r8(0.0).zeros(20);
    return MakeRecord(231, body.data(), {1500, static_cast<int32_t>(time * 1000), 180});
}

std::vector<uint8_t> AlmanacLog(int satellites) {
    Bytes body;
    body.u4(static_cast<uint32_t>(satellites));
    for (int i = 0; i < satellites; ++i) {
        body.u4(static_cast<uint32_t>(i + 1)).u4(1500).r8(61440.0).r8(0.01);
        body.r8(-8e-9).r8(1.0).r8(0.5).r8(0.25).r8(1e-5).r8(1e-12).r8(1.46e-4);
        body.r8(26560000.0).r8(0.96).zeros(8).u4(0).zeros(4);
    }
    return MakeRecord(73, body.data());
}

std::vector<Message> &CapturedMessages() {
    static std::vector<Message> messages;
    return messages;
}

void CaptureMessage(double time, const char *text) { CapturedMessages().push_back({time, text}); }

Oem4Options DefaultOptions() {
    Oem4Options o{};
    o.maxPositionAge = 5.0;
    o.requireL2Lock = 1;
    return o;
}

void OpenTestPort(const Oem4Options &options, bool withCallback) {
    CapturedMessages().clear();
    OpenPort(0, withCallback ? CaptureMessage : nullptr);
    SetPortOptions(0, &options, sizeof options);
}

std::vector<std::pair<size_t, int32_t>> Feed(const std::vector<uint8_t> &bytes, ThreadBuf *buf) {
    std::vector<std::pair<size_t, int32_t>> results;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int32_t r = DecodeByte(0, bytes[i], buf);
        if (r != 0) results.emplace_back(i, r);
    }
    return results;
}

std::string SharedDataFile(const char *name) {
    const std::filesystem::path p = std::filesystem::path(OEM4CONV_SHARED_DATA) / name;
    std::error_code ec;
    return std::filesystem::exists(p, ec) ? p.string() : std::string();
}

std::vector<uint8_t> ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

} // namespace testsupport
