// Writes the checked-in seed corpora of the fuzz targets: small CRC-valid
// records of every kind with extreme field values (NaN, infinity, zero,
// huge, negative, every PRN limit), records at the longest lengths the
// framing takes, and rejected candidates that hide records, which random
// mutation of real logs reaches only slowly.
//
//   make_seeds OUTPUT_DIR      (writes OUTPUT_DIR/{framing,convert,navigation}/...)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "../navigation/sky.h"
#include "common/le.h"
#include "common/oem4_format.h"
#include "support/oem4_records.h"
#include "threadbuf/payloads.h"

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::MakeRecord;
using Record = std::vector<uint8_t>;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHuge = 1e308;

const testsupport::HeaderFields kAt{2000, 345600000, 100};

Record Bestpos(double lat, double height, float undulation) {
    Bytes b;
    b.u4(0).u4(50).r8(lat).r8(-kHuge).r8(height).r4(undulation).u4(61);
    b.r4(std::numeric_limits<float>::max()).r4(-1.0f).r4(NAN).u4(0).u4(0).r4(1e30f).zeros(8);
    return MakeRecord(42, b.data(), kAt);
}

Record ClockModel(double offset, uint32_t status) {
    Bytes b;
    b.r8(offset).r8(0).r8(kInf).u4(status);
    return MakeRecord(71, b.data(), kAt);
}

Record Range(int observations, bool extreme) {
    const double values[] = {2.2e7, kNaN, kInf, -kHuge, 0.0, 1e-310};
    Bytes b;
    b.u4(static_cast<uint32_t>(observations));
    for (int i = 0; i < observations; ++i) {
        const uint16_t prn = extreme ? static_cast<uint16_t>((i * 37) % 70) : static_cast<uint16_t>(1 + i / 2);
        const double v = extreme ? values[i % 6] : 2.2e7 + i * 1e3;
        const uint32_t l2 = (i % 2) ? (1u << 21) : 0u;
        b.u2(prn).u2(0).r8(v).r4(0.1f).r8(extreme ? -v : -1.1e8 - i).r4(0.01f);
        b.r4(extreme ? -1e30f : 1000.0f).r4(45.0f).r4(extreme ? (i % 3 ? -5.0f : 1e30f) : 100.0f);
        b.u4(0x1C00u | l2);
    }
    return MakeRecord(43, b.data(), kAt);
}

Record RangeCmp(int observations) {
    Bytes b;
    b.u4(static_cast<uint32_t>(observations));
    for (int i = 0; i < observations; ++i) {
        std::vector<uint8_t> o(24, 0xFF);
        le::PutU4(o.data(), 0x1C00u | ((i % 2) ? (1u << 21) : 0u));
        o[17] = static_cast<uint8_t>(i * 13); // PRN, 64 and above are dropped
        b.raw(o);
    }
    return MakeRecord(140, b.data(), kAt);
}

std::vector<uint8_t> FromHex(const char *hex) {
    std::vector<uint8_t> out;
    for (; hex[0] != 0 && hex[1] != 0; hex += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(std::string(hex, 2), nullptr, 16)));
    return out;
}

// A packed range record (RANGECMP2 1273, RANGECMP4 2050, RANGECMP5 2537): the byte count
// and the bytes.
Record Packed(uint16_t id, const std::vector<uint8_t> &data, int32_t milliseconds) {
    Bytes b;
    b.u4(static_cast<uint32_t>(data.size())).raw(data);
    return MakeRecord(id, b.data(), {1919, milliseconds, 180});
}

// The first satellite of a receiver's RANGECMP2 record.
const char *const kRangecmp2Satellite =
    "0001004838da85c6f84fe1ffff2df72ac87063803900e4ffff05974a34315c003900e5ffff0ddbaa"
    "2b5902003900e7ffff0d3f023fe913803500";

// A receiver's packed record as the published decoder vectors of
// tests/oem4/data hold it.
std::vector<uint8_t> Published(uint16_t id, uint16_t week, int32_t milliseconds) {
    for (const testsupport::PublishedRange &p : testsupport::PublishedRangeRecords()) {
        if (p.messageId == id && p.packed.time.week == week && p.packed.time.milliseconds == milliseconds)
            return p.body;
    }
    return {};
}
// RANGECMP4's reference record on the whole second and the differential
// one a quarter second later (GPS and GLONASS, week 1919).
std::vector<uint8_t> PublishedRangecmp4(int32_t milliseconds) { return Published(kMsgRangecmp4, 1919, milliseconds); }

std::vector<Record> PackedRanges() {
    const std::vector<uint8_t> reference = PublishedRangecmp4(507977000), difference = PublishedRangecmp4(507977250);
    auto at = [](const std::vector<uint8_t> &body, int32_t milliseconds) {
        return MakeRecord(kMsgRangecmp4, body, {1919, milliseconds, 180});
    };
    // And a RANGECMP5 record of four systems (week 2307), moved to the
    // seeds' week.
    const Record rangecmp5 =
        MakeRecord(kMsgRangecmp5, Published(kMsgRangecmp5, 2307, 333335000), {1919, 507979000, 180});
    return {at(reference, 507977000),  at(difference, 507977250),
            at(difference, 507977500), Packed(kMsgRangecmp2, FromHex(kRangecmp2Satellite), 507978000),
            at(difference, 507978250), rangecmp5};
}

Record Rawephem(uint32_t prn, uint8_t fill, uint8_t health) {
    Bytes b;
    b.u4(prn).u4(2000).u4(345600);
    std::vector<uint8_t> frames(90, fill);
    frames[6 + 2] = static_cast<uint8_t>((frames[8] & 0x03) | (health << 2)); // subframe 1 word 3, bits 17-22
    b.raw(frames);
    return MakeRecord(41, b.data(), kAt);
}

// A GPSEPHEM with every value `fill` (sign alternating) and its times in the week.
Record Gpsephem(uint32_t prn, double fill, uint32_t health) {
    Bytes b;
    b.u4(prn).r8(345600.0).u4(health).u4(1).u4(1).u4(2000).u4(2000).r8(345600.0);
    for (int k = 0; k < 15; ++k) b.r8(k % 4 ? fill : -fill); // A to OMEGADOT
    b.u4(1).r8(345600.0);
    for (int k = 0; k < 4; ++k) b.r8(fill); // TGD, af0, af1, af2
    b.u4(1).r8(fill).r8(fill);
    return MakeRecord(7, b.data(), kAt);
}

// The GPSEPHEM a receiver logs for an ephemeris record's orbit.
Record GpsephemOf(const GpsEphRecord &e) {
    Bytes b;
    b.u4(static_cast<uint32_t>(e.prn)).r8(e.toe - 60.0).u4(0).u4(static_cast<uint32_t>(e.iode));
    b.u4(static_cast<uint32_t>(e.iode)).u4(2000).u4(2000).r8(e.toe).r8(e.sqrtA * e.sqrtA);
    b.r8(e.deltaN).r8(e.m0).r8(e.e).r8(e.omega).r8(e.cuc).r8(e.cus).r8(e.crc).r8(e.crs);
    b.r8(e.cic).r8(e.cis).r8(e.i0).r8(e.idot).r8(e.omega0).r8(e.omegaDot);
    b.u4(static_cast<uint32_t>(e.iodc)).r8(e.toc).r8(e.tgd).r8(e.af0).r8(e.af1).r8(e.af2);
    b.u4(1).r8(1.46e-4).r8(4.0);
    return MakeRecord(7, b.data(), kAt);
}

Record Bestxyz(double x, uint32_t status) {
    Bytes b;
    b.u4(status).u4(16).r8(x).r8(-x).r8(kNaN).r4(1e30f).r4(-1.0f).r4(NAN);
    b.zeros(112 - 44);
    return MakeRecord(241, b.data(), kAt);
}

Record Almanac(int items) {
    Bytes b;
    b.u4(static_cast<uint32_t>(items));
    for (int i = 0; i < items; ++i) {
        b.u4(static_cast<uint32_t>(i)).u4(0xFFFFFFFFu).r8(i % 2 ? kNaN : 1e300).r8(kInf);
        for (int k = 0; k < 7; ++k) b.r8(k % 3 ? -kHuge : 0.0);
        b.r8(i % 2 ? -1.0 : 2.65e7).r8(kNaN).zeros(8).u4(i).zeros(4);
    }
    return MakeRecord(73, b.data(), kAt);
}

Record Rawalm() {
    Bytes b;
    b.zeros(8).u4(2).zeros(64);
    return MakeRecord(74, b.data(), kAt);
}

Record Marktime(double time, double offset) {
    Bytes b;
    b.u4(0xFFFFFFFFu).r8(time).r8(offset).zeros(20);
    return MakeRecord(231, b.data(), kAt);
}

// A header and the count of a RANGE that claims `observations`
// observations; the bytes after them are the caller's (a length beyond
// 16 bits is stated as the largest the row allows).
Record RangeStart(uint32_t observations) {
    Bytes b;
    b.u4(observations);
    const uint64_t length = 4 + 44ull * observations;
    const int largest = 4 + 44 * ((0xFFFF - 4) / 44);
    Record r = MakeRecord(43, b.data(), kAt, length > 0xFFFF ? largest : static_cast<int>(length));
    r.resize(32);
    return r;
}

// A RANGE claiming 185 observations (8176 bytes, the longest that fits)
// with a wrong CRC, its body packed with marks; then filler and marks.
std::vector<Record> PackedCandidate() {
    std::vector<Record> log = {RangeStart(185)};
    for (int i = 0; i < 113; ++i) log.push_back(Marktime(100.0 + i, 0.0));
    log.push_back(Record(8, 0));
    log.push_back(Record(4000, 0x55));
    for (int i = 0; i < 3; ++i) log.push_back(Marktime(300.0 + i, 0.0));
    return log;
}

// Variable-length records at the longest that fits the framing and one
// item beyond it, headers claiming the largest length and count, each
// followed by a mark.
std::vector<Record> LengthsAtLimits() {
    std::vector<Record> log = {Range(185, false), Marktime(1.0, 0.0), Range(186, false), Marktime(2.0, 0.0),
                               RangeCmp(339),     Marktime(3.0, 0.0), Almanac(72),       Marktime(4.0, 0.0)};
    Bytes rawalm;
    rawalm.zeros(8).u4(254).zeros(254 * 32);
    log.push_back(MakeRecord(74, rawalm.data(), kAt));
    log.push_back(RangeStart(0xFFFFFFFFu));
    log.push_back(Marktime(5.0, 0.0));
    return log;
}

// The receiver's VERSION (its card named) and IONUTC, for the RINEX
// headers.
std::vector<Record> ReceiverInfo(const testsupport::HeaderFields &at) {
    Bytes version;
    version.u4(1).u4(1);
    for (const char *text : {"RT2W", "NGS12345678", "OEM4-3.00-2T", "1.700S15", "1.0"}) {
        std::vector<uint8_t> field(16, 0);
        std::copy(text, text + std::strlen(text), field.begin());
        version.raw(field);
    }
    version.zeros(24);
    Bytes ionutc;
    for (double a : {1.1176e-08, 1.4901e-08, -5.9605e-08, -1.1921e-07}) ionutc.r8(a);
    for (double b : {90112.0, 16384.0, -196608.0, -65536.0}) ionutc.r8(b);
    ionutc.u4(1562).u4(61440).r8(-5.5879354477e-09).r8(-1.243449788e-14).u4(1562).u4(7).i4(15).i4(15).u4(0);
    return {MakeRecord(kMsgVersion, version.data(), at), MakeRecord(kMsgIonutc, ionutc.data(), at)};
}

// A valid ephemeris record of every other system and their correction
// records, which random bodies reach only as values to drop, after the
// receiver's own.
std::vector<Record> OtherSystems() {
    using namespace testsupport;
    const HeaderFields at = kOtherSystemsAt;
    std::vector<uint8_t> bdsIono(68, 0);
    le::PutR8(&bdsIono[4], 1e-8);
    std::vector<Record> log = ReceiverInfo(at);
    for (Record &r : std::vector<Record>{
             MakeRecord(723, GloephemerisBody(), at), MakeRecord(1309, GalinavephemerisBody(), at),
             MakeRecord(1310, GalfnavephemerisBody(), at), MakeRecord(1122, GalephemerisBody(), at),
             MakeRecord(1696, BdsephemerisBody(), at), MakeRecord(1336, QzssephemerisBody(), at),
             MakeRecord(1121, std::vector<uint8_t>(64, 0), at), MakeRecord(1127, std::vector<uint8_t>(29, 0), at),
             MakeRecord(1590, bdsIono, at), MakeRecord(1607, std::vector<uint8_t>(72, 0), at),
             MakeRecord(1347, std::vector<uint8_t>(108, 0), at), MakeRecord(723, GloephemerisBody(), at)})
        log.push_back(std::move(r));
    return log;
}

// Epochs of a receiver's two antennas, the second's records marked by
// their message type, each antenna with its own epochs.
std::vector<Record> TwoAntennas() {
    std::vector<Record> log;
    for (int k = 0; k < 3; ++k) {
        log.push_back(testsupport::RangeLog(6, 100000 + 1000 * k));
        log.push_back(testsupport::RangeLog(5, 100000 + 1000 * k, kSecondAntennaSource));
    }
    return log;
}

// Range records past 8192 bytes, which a port handing its epochs over (to
// the RINEX export) collects whole: two valid ones, and a RANGE with a
// wrong CRC packed with marks on both sides of its 8192nd byte.
std::vector<Record> LongRanges() {
    std::vector<Record> log = {Range(220, false), Marktime(1.0, 0.0), RangeCmp(400), Marktime(2.0, 0.0),
                               RangeStart(300)};
    for (int i = 0; i < 180; ++i) log.push_back(Marktime(100.0 + i, 0.0));
    log.push_back(Marktime(3.0, 0.0));
    return log;
}

// Torn records inside torn records, with marks at every level.
std::vector<Record> NestedTorn() {
    return {RangeStart(150),    Marktime(1.0, 0.0), RangeStart(60),     Marktime(2.0, 0.0), RangeStart(10),
            Marktime(3.0, 0.0), Marktime(4.0, 0.0), Record(7000, 0x55), Marktime(5.0, 0.0)};
}

void Write(const fs::path &path, const std::vector<uint8_t> &prefix, const std::vector<Record> &records) {
    std::vector<uint8_t> bytes = prefix;
    for (const Record &r : records) bytes.insert(bytes.end(), r.begin(), r.end());
    fs::create_directories(path.parent_path());
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// Navigation target layout: mode, ephemeris count, a-priori latitude,
// longitude and height, the epoch, the ephemerides, the measurements.
void WriteNavigation(const fs::path &path, uint8_t mode, double lat, double pseudorangeOf13, double receiverTime) {
    std::vector<uint8_t> bytes{mode, 8};
    auto put = [&](const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        bytes.insert(bytes.end(), b, b + n);
    };
    const double position[3] = {lat, 11.5, 500.0};
    put(position, sizeof position);
    EpochRecord epoch{};
    epoch.receiverTime = receiverTime;
    epoch.week = 2000;
    put(&epoch, sizeof epoch);
    for (int32_t prn = 1; prn <= 8; ++prn) {
        const GpsEphRecord eph = sky::Constellation(prn * 3 % 24 + 1);
        put(&eph, sizeof eph);
    }
    for (int i = 0; i < 9; ++i) {
        MeasRecord m{};
        m.prn = static_cast<uint8_t>(i * 3 % 24 + 1);
        m.l1Pseudorange = i == 4 ? pseudorangeOf13 : 2.1e7 + 1.7e5 * i;
        put(&m, sizeof m);
    }
    fs::create_directories(path.parent_path());
    if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
        return 2;
    }
    const fs::path out = argv[1];
    const std::vector<Record> every = {
        Bestpos(kNaN, kInf, -1e30f),
        ClockModel(kHuge, 0),
        ClockModel(kNaN, 1),
        Rawephem(1, 0xFF, 0),
        Rawephem(32, 0x00, 0),
        Rawephem(33, 0x55, 0),
        Rawephem(7, 0xAA, 63),
        Range(24, true),
        Range(25, false),
        RangeCmp(30),
        Almanac(31),
        Rawalm(),
        Marktime(kInf, kNaN),
        Marktime(-1e300, 1e300),
        Range(0, false),
        Gpsephem(5, kHuge, 0),
        Gpsephem(6, kNaN, 0),
        Gpsephem(33, 0.0, 0),
        Gpsephem(7, kInf, 63),
        Bestxyz(kInf, 0),
        Bestxyz(0.0, 0),
        Bestxyz(kHuge, 1),
    };
    std::vector<Record> everyAndPacked = every;
    for (const Record &r : PackedRanges()) everyAndPacked.push_back(r);
    // framing: options byte, block-size byte, then the stream.
    Write(out / "framing" / "every-kind-all-options", {0x7F, 3}, everyAndPacked);
    Write(out / "framing" / "every-kind-no-callback-options", {0x00, 200}, every);
    Write(out / "framing" / "ranges-bestpos-clock", {0x56, 1},
          {Bestpos(48.0, 300.0, -20.0f), ClockModel(120.0, 0), Range(16, false), Range(24, true)});
    Write(out / "framing" / "packed-candidate", {0x02, 0}, PackedCandidate());
    Write(out / "framing" / "lengths-at-limits", {0x02, 55}, LengthsAtLimits());
    Write(out / "framing" / "nested-torn", {0x00, 4}, NestedTorn());
    Write(out / "framing" / "long-ranges-handed-over", {0x82, 9}, LongRanges());
    // Epochs handed over (bit 7) from the packed records and from both
    // antennas, beside every other system's records.
    Write(out / "framing" / "packed-ranges-handed-over", {0x82, 17}, PackedRanges());
    std::vector<Record> others = OtherSystems();
    for (const Record &r : TwoAntennas()) others.push_back(r);
    Write(out / "framing" / "other-systems-two-antennas-handed-over", {0x80, 5}, others);
    // convert: options byte (bit 0 recompute, bit 4 CRC fix-up, bits 5-7 RINEX), then the log.
    // Fills whose 16-bit toe and toc (fill repeated, times 16 s) lie within
    // the week: five ephemerides taken, and the recomputation reached.
    std::vector<Record> sky = {Rawephem(1, 0x3C, 0), Rawephem(2, 0x5A, 0), Rawephem(3, 0x0F, 0), Rawephem(4, 0x78, 0),
                               Rawephem(5, 0x69, 0)};
    for (int i = 0; i < 3; ++i) sky.push_back(Range(12, i == 2));
    Write(out / "convert" / "ephemerides-then-ranges-recompute", {0x13}, sky);
    std::vector<Record> decoded = {Bestxyz(4.2e6, 0)};
    for (int32_t prn = 1; prn <= 5; ++prn) decoded.push_back(GpsephemOf(sky::Constellation(prn)));
    for (int i = 0; i < 3; ++i) decoded.push_back(Range(12, i == 2));
    Write(out / "convert" / "gpsephem-bestxyz-then-ranges-recompute", {0x13}, decoded);
    Write(out / "convert" / "every-kind", {0x02}, every);
    // bit 5 RINEX, bit 7 version 2.11.
    Write(out / "convert" / "other-systems-rinex304", {0x20}, OtherSystems());
    Write(out / "convert" / "other-systems-rinex211", {0xA0}, OtherSystems());
    Write(out / "convert" / "long-ranges-rinex304", {0x20}, LongRanges());
    Write(out / "convert" / "packed-ranges-references-and-differences", {0x02}, PackedRanges());
    Write(out / "convert" / "packed-ranges-rinex304", {0x20}, PackedRanges());
    Write(out / "convert" / "two-antennas-rinex304", {0x20}, TwoAntennas());
    Write(out / "convert" / "packed-candidate", {0x02}, PackedCandidate());
    Write(out / "convert" / "lengths-at-limits", {0x00}, LengthsAtLimits());
    // navigation: a plausible sky, then the same with poisoned values.
    WriteNavigation(out / "navigation" / "plausible", 3, 48.1, 2.25e7, sky::TOE + 10.0);
    WriteNavigation(out / "navigation" / "nan-range", 3, 48.1, kNaN, sky::TOE + 10.0);
    WriteNavigation(out / "navigation" / "inf-latitude", 3, kInf, 2.25e7, sky::TOE + 10.0);
    WriteNavigation(out / "navigation" / "huge-time", 2, 0.0, -kHuge, 1e300);
    return 0;
}
