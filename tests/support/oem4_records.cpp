#include "support/oem4_records.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"

namespace testsupport {

namespace {

// Appends v as the accessor `put` lays it out.
template <typename T, void (*put)(uint8_t *, T)> void Put(std::vector<uint8_t> &bytes, T v) {
    uint8_t b[sizeof(T)];
    put(b, v);
    bytes.insert(bytes.end(), b, b + sizeof(T));
}

} // namespace

Bytes &Bytes::u1(uint8_t v) {
    bytes_.push_back(v);
    return *this;
}
Bytes &Bytes::u2(uint16_t v) { return Put<uint16_t, le::PutU2>(bytes_, v), *this; }
Bytes &Bytes::u4(uint32_t v) { return Put<uint32_t, le::PutU4>(bytes_, v), *this; }
Bytes &Bytes::i4(int32_t v) { return u4(static_cast<uint32_t>(v)); }
Bytes &Bytes::r4(float v) { return Put<float, le::PutR4>(bytes_, v), *this; }
Bytes &Bytes::r8(double v) { return Put<double, le::PutR8>(bytes_, v), *this; }
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
    p[kHeaderMessageTypeAt] = header.messageType;
    p[kHeaderTimeStatusAt] = header.timeStatus;
    le::PutU2(p + kHeaderWeekAt, header.week);
    le::PutI4(p + kHeaderMillisecondsAt, header.milliseconds);
    if (!body.empty()) std::memcpy(p + 28, body.data(), body.size());
    le::PutU4(p + 28 + body.size(), Oem4Crc32(p, 28 + body.size()));
    return rec;
}

std::vector<uint8_t> MakeShortRecord(uint16_t messageId, const std::vector<uint8_t> &body) {
    constexpr std::size_t kShortHeader = 12;
    std::vector<uint8_t> rec(kShortHeader + body.size() + kOem4CrcLength, 0);
    uint8_t *p = rec.data();
    p[0] = kOem4Sync1;
    p[1] = kOem4Sync2;
    p[2] = 0x13;
    p[3] = static_cast<uint8_t>(body.size());
    le::PutU2(p + 4, messageId);
    le::PutU2(p + 6, 1500);
    le::PutI4(p + 8, 100000);
    if (!body.empty()) std::memcpy(p + kShortHeader, body.data(), body.size());
    le::PutU4(p + kShortHeader + body.size(), Oem4Crc32(p, kShortHeader + body.size()));
    return rec;
}

std::vector<uint8_t> RangeLog(int satellites, int32_t milliseconds, uint8_t messageType) {
    Bytes body;
    body.u4(static_cast<uint32_t>(satellites));
    for (int i = 0; i < satellites; ++i) {
        body.u2(static_cast<uint16_t>(i + 1)).u2(0).r8(2.1e7 + i * 1000.0).r4(0.1f);
        body.r8(-1.1e8 - i).r4(0.01f).r4(100.0f).r4(45.0f).r4(50.0f);
        body.u4(0x1800 | 0x400); // L1, code locked, parity known, phase lock
    }
    return MakeRecord(43, body.data(), {1500, milliseconds, 180, messageType});
}

std::vector<uint8_t> RangeLogs(int epochs, int satellites, int32_t firstMilliseconds) {
    std::vector<uint8_t> log;
    for (int i = 0; i < epochs; ++i) {
        const std::vector<uint8_t> record = RangeLog(satellites, firstMilliseconds + 1000 * i);
        log.insert(log.end(), record.begin(), record.end());
    }
    return log;
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

namespace {

// A zeroed body whose fields are set at their offsets.
struct Fields {
    std::vector<uint8_t> bytes;
    explicit Fields(size_t size) : bytes(size, 0) {}
    Fields &u1(size_t at, uint8_t v) {
        bytes[at] = v;
        return *this;
    }
    Fields &u2(size_t at, uint16_t v) {
        le::PutU2(bytes.data() + at, v);
        return *this;
    }
    Fields &u4(size_t at, uint32_t v) {
        le::PutU4(bytes.data() + at, v);
        return *this;
    }
    Fields &r8(size_t at, double v) {
        le::PutR8(bytes.data() + at, v);
        return *this;
    }
};

} // namespace

// GLOEPHEMERIS of slot 14 (logged as 51), channel -7, tb 23:15:15 GPS time
// on 2009-12-18, GLONASS 10785 s ahead of GPS time (15 leap seconds), frame
// start tk 02:06:30 GLONASS time.
std::vector<uint8_t> GloephemerisBody() {
    Fields b(kGloephemerisLength);
    b.u2(0, 51).u2(2, 0).u1(4, 1).u2(6, 1562).u4(8, 515715000).u4(12, 10785).u2(16, 719).u4(20, 9).u4(24, 0);
    b.r8(28, -14556442.3828125).r8(36, 18190206.0546875).r8(44, 10285083.0078125);
    b.r8(52, -964.970588684082).r8(60, 1051.365852355957).r8(68, -3229.050636291504);
    b.r8(76, 9.313225746154785e-07).r8(84, -9.313225746154785e-07).r8(92, -9.313225746154785e-07);
    b.r8(100, 1.3084150850772858e-05).r8(108, 1.2e-08).r8(116, 1.8189894035458565e-12);
    b.u4(124, 7590).u4(128, 3).u4(132, 4).u4(136, 0).u4(140, 12);
    return b.bytes;
}

// Galileo E02 I/NAV from both signals, toe and toc 501600 s.
std::vector<uint8_t> GalinavephemerisBody() {
    Fields b(kGalinavephemerisLength);
    b.u4(0, 2).u2(12, 68).u1(14, 107).u1(15, 3).u4(16, 501600).u4(20, 501600);
    b.r8(24, 1.94195529).r8(32, 3.0676e-09).r8(40, 3.05505353e-04).r8(48, 5440.60316).r8(56, 0.9740321573);
    b.r8(144, 2.989528002e-04).r8(152, 2.359002e-12).r8(168, -6.985e-10).r8(176, -1.630e-09);
    return b.bytes;
}

std::vector<uint8_t> GalfnavephemerisBody() {
    Fields b(kGalfnavephemerisLength);
    b.u4(0, 2).u2(8, 68).u1(10, 107).u4(12, 501600).u4(16, 501600);
    b.r8(20, 1.94195529).r8(28, 3.0676e-09).r8(36, 3.05505353e-04).r8(44, 5440.60316);
    b.r8(140, 2.989536151e-04).r8(164, -6.985e-10);
    return b.bytes;
}

// GALEPHEMERIS with both message types received.
std::vector<uint8_t> GalephemerisBody() {
    Fields b(kGalephemerisLength);
    b.u4(0, 11).u4(4, 1).u4(8, 1).u1(18, 107).u4(20, 68).u4(24, 501600).r8(28, 5440.60316).r8(52, 3.0e-4);
    b.u4(148, 501600).r8(152, 1.0e-4).u4(176, 501600).r8(180, 2.0e-4).r8(204, -6.985e-10).r8(212, -1.630e-09);
    return b.bytes;
}

// BeiDou C07, BDT week 206, toe and toc 515700 s of BDT.
std::vector<uint8_t> BdsephemerisBody() {
    Fields b(kBdsephemerisLength);
    b.u4(0, 7).u4(4, 206).r8(8, 2.0).u4(16, 0).r8(20, 1e-9).r8(28, -2e-9).u4(36, 1).u4(40, 515700);
    b.r8(44, 1e-4).u4(68, 1).u4(72, 515700).r8(76, 6493.4).r8(84, 0.002);
    return b.bytes;
}

// QZSS J01 (PRN 193), laid out as GPSEPHEM with a fit interval flag.
std::vector<uint8_t> QzssephemerisBody() {
    Fields b(kQzssephemerisLength);
    b.u4(0, 193).u4(12, 0).u4(16, 20).u4(28, 1562).r8(32, 518400.0).r8(40, 4.2164e7).r8(64, 0.075);
    b.u4(160, 532).r8(164, 518400.0).r8(172, -4.6e-9).r8(216, 5.76).u1(224, 0);
    return b.bytes;
}

namespace {

AsciiRecord ParseAscii(const std::string &line) {
    AsciiRecord r;
    const size_t semicolon = line.find(';'), star = line.find('*');
    if (line.empty() || line[0] != '#' || semicolon == std::string::npos || star == std::string::npos) return r;
    const auto body = reinterpret_cast<const uint8_t *>(line.data() + 1);
    r.crcHolds = Oem4Crc32(body, star - 1) == std::stoul(line.substr(star + 1, 8), nullptr, 16);
    std::vector<std::string> header;
    std::stringstream h(line.substr(1, semicolon - 1)), f(line.substr(semicolon + 1, star - semicolon - 1));
    for (std::string item; std::getline(h, item, ',');) header.push_back(item);
    for (std::string item; std::getline(f, item, ',');) r.fields.push_back(item);
    if (header.size() < 7) return r;
    r.name = header[0];
    r.time = {static_cast<uint16_t>(std::stoi(header[5])),
              static_cast<int32_t>(std::llround(std::stod(header[6]) * 1000)), 180};
    return r;
}

std::vector<uint8_t> FromHex(const std::string &hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace

std::vector<PublishedRange> PublishedRangeRecords() {
    std::ifstream in(std::string(OEM4CONV_SOURCE_DIR) + "/tests/oem4/data/receiver_packed_ranges.asc");
    std::vector<AsciiRecord> records;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] == '#') records.push_back(ParseAscii(line));
    std::vector<PublishedRange> out;
    for (size_t r = 0; r + 1 < records.size(); r += 2) {
        PublishedRange p{records[r], records[r + 1], 0, {}};
        p.messageId = p.packed.name == "RANGECMPA"    ? kMsgRangecmp
                      : p.packed.name == "RANGECMP2A" ? kMsgRangecmp2
                      : p.packed.name == "RANGECMP5A" ? kMsgRangecmp5
                                                      : kMsgRangecmp4;
        // The count (of bytes, or of RANGECMP's 24-byte observations), then
        // the bytes, as the binary record has them.
        Bytes body;
        if (!p.packed.fields.empty()) body.u4(static_cast<uint32_t>(std::stoul(p.packed.fields[0])));
        for (size_t i = 1; i < p.packed.fields.size(); ++i) body.raw(FromHex(p.packed.fields[i]));
        p.body = body.data();
        out.push_back(std::move(p));
    }
    return out;
}

} // namespace testsupport
