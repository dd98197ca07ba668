// Test helpers: build CRC-valid OEM4 records, feed them to a port, and
// capture the messages a port or a conversion reports.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "oem4/oem4_decoder.h"
#include "threadbuf/threadbuf.h"

namespace testsupport {

// Little-endian body builder.
class Bytes {
public:
    Bytes &u1(uint8_t v);
    Bytes &u2(uint16_t v);
    Bytes &u4(uint32_t v);
    Bytes &i4(int32_t v);
    Bytes &r4(float v);
    Bytes &r8(double v);
    Bytes &zeros(size_t n);
    Bytes &raw(const std::vector<uint8_t> &v);
    const std::vector<uint8_t> &data() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

struct HeaderFields {
    uint16_t week = 1500;
    int32_t milliseconds = 100000; // 100.0 s of week
    uint8_t timeStatus = 180;      // FINESTEERING
    uint8_t messageType = 0;       // binary; bits 0-4 the measurement source (1: a second antenna)
};

// A complete record: 28-byte header, body, CRC-32. The message length is
// the body size unless lengthOverride is >= 0.
std::vector<uint8_t> MakeRecord(uint16_t messageId, const std::vector<uint8_t> &body, HeaderFields header = {},
                                int lengthOverride = -1);

// A record with a short header (12 bytes: sync, body length, message id,
// week, milliseconds), as an INS receiver logs its IMU data.
std::vector<uint8_t> MakeShortRecord(uint16_t messageId, const std::vector<uint8_t> &body);

// Small valid records for conversion tests (week 1500, fine-steering time):
// a RANGE of L1 observations of PRNs 1..satellites with code, phase and
// lock; a MARKTIME at the given time; an ALMANAC of PRNs 1..satellites.
std::vector<uint8_t> RangeLog(int satellites, int32_t milliseconds, uint8_t messageType = 0);
// `epochs` such RANGE records one second apart from firstMilliseconds on.
std::vector<uint8_t> RangeLogs(int epochs, int satellites, int32_t firstMilliseconds = 100000);
std::vector<uint8_t> MarkLog(double time);
std::vector<uint8_t> AlmanacLog(int satellites);

// Valid decoded-ephemeris bodies of the other systems, logged at
// kOtherSystemsAt: GLOEPHEMERIS of GLONASS slot 14, GALINAVEPHEMERIS and
// GALFNAVEPHEMERIS of Galileo E02, GALEPHEMERIS of E11 with both message
// types, BDSEPHEMERIS of BeiDou C07, QZSSEPHEMERIS of QZSS J01.
inline constexpr HeaderFields kOtherSystemsAt{1562, 515730000, 180};
std::vector<uint8_t> GloephemerisBody();
std::vector<uint8_t> GalinavephemerisBody();
std::vector<uint8_t> GalfnavephemerisBody();
std::vector<uint8_t> GalephemerisBody();
std::vector<uint8_t> BdsephemerisBody();
std::vector<uint8_t> QzssephemerisBody();

// Messages reported through a port callback or ForwardMessage.
struct Message {
    double time;
    std::string text;
};
std::vector<Message> &CapturedMessages();
void CaptureMessage(double time, const char *text);

// Opens port 0 with the capturing callback (or none) and the given options.
void OpenTestPort(const Oem4Options &options, bool withCallback = true);
// Options with every field 0 except maxPositionAge 5.0 and requireL2Lock 1.
Oem4Options DefaultOptions();

// Feeds bytes to port 0; returns the non-zero results with the index of the
// byte that produced them.
std::vector<std::pair<size_t, int32_t>> Feed(const std::vector<uint8_t> &bytes, ThreadBuf *buf);

// The published compressed range records of tests/oem4/data (NovAtel
// ASCII): each RANGECMP, RANGECMP2, RANGECMP4 or RANGECMP5 record with the RANGE
// record an independent decoder makes of it.
struct AsciiRecord {
    std::string name; // "RANGECMP4A", "RANGEA", ...
    HeaderFields time;
    std::vector<std::string> fields; // those after the header's ';'
    bool crcHolds = false;
};
struct PublishedRange {
    AsciiRecord packed, range;
    uint16_t messageId;        // of the packed record
    std::vector<uint8_t> body; // the packed record's binary body
};
std::vector<PublishedRange> PublishedRangeRecords();

// Path of a real receiver log under the shared data folder, or "" when the
// folder is absent (tests then skip).
std::string SharedDataFile(const char *name);
std::vector<uint8_t> ReadFileBytes(const std::string &path);

} // namespace testsupport
