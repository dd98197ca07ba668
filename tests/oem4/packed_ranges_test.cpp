// RANGECMP2 and RANGECMP4: receiver records decoded field by field against
// the values of the RANGE records the receiver logged with them, and
// hand-built records at the limits of every bit field.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/oem4_format.h"
#include "oem4/oem4_decoder.h"
#include "oem4/packed_ranges.h"
#include "support/oem4_records.h"

using namespace testsupport;

namespace {

std::vector<uint8_t> FromHex(const std::string &hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A packed record's body: the byte count, then the bytes.
std::vector<uint8_t> PackedBody(const std::vector<uint8_t> &data) {
    Bytes b;
    b.u4(static_cast<uint32_t>(data.size())).raw(data);
    return b.data();
}

HeaderFields At(uint16_t week, int32_t milliseconds) { return {week, milliseconds, 180}; }

// Writes bit fields least significant bit first, as both records pack them.
class BitWriter {
public:
    BitWriter &Put(uint64_t value, unsigned width) {
        for (unsigned k = 0; k < width; ++k, ++bits_) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            if ((value >> k & 1u) != 0) bytes_.back() |= static_cast<uint8_t>(1u << (bits_ % 8));
        }
        return *this;
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    unsigned bits_ = 0;
};

uint64_t Field(int64_t v, unsigned width) { return static_cast<uint64_t>(v) & ((uint64_t{1} << width) - 1); }

class PackedTest : public ::testing::Test {
protected:
    void SetUp() override {
        Oem4Options o = DefaultOptions();
        o.reportAll = 1;
        OpenTestPort(o);
        CapturedMessages().clear();
    }
    // Feeds a record and returns the epoch the port decoded.
    const DecodedEpoch &Decode(uint16_t id, const std::vector<uint8_t> &data, HeaderFields h) {
        Feed(MakeRecord(id, PackedBody(data), h), &buf_);
        return GetOpenPort(0)->decoded;
    }
    static const DecodedObservation *Find(const DecodedEpoch &e, uint32_t system, uint32_t prn, uint32_t signal) {
        for (uint32_t i = 0; i < e.count; ++i) {
            const DecodedObservation &o = e.obs[i];
            if (o.system == system && o.prn == prn && o.signal == signal) return &o;
        }
        return nullptr;
    }
    static std::string AllTexts() {
        std::string s;
        for (const Message &m : CapturedMessages()) s += m.text + "\n";
        return s;
    }
    ThreadBuf buf_;
};

// What the receiver's own RANGE record said of an observation, as printed.
struct Expected {
    uint32_t system, prn, signal;
    double pseudorange, phase, doppler, cno, lockTime, pseudorangeSigma;
    uint32_t statusLow16; // the status word bits the record fixes
};

void ExpectObservation(const DecodedObservation *o, const Expected &x) {
    ASSERT_NE(o, nullptr) << "PRN " << x.prn << " signal " << x.signal;
    EXPECT_NEAR(o->pseudorange, x.pseudorange, 0.0006) << x.prn;
    EXPECT_NEAR(o->phase, x.phase, 0.0006) << x.prn;
    EXPECT_NEAR(o->doppler, x.doppler, 0.0006) << x.prn;
    EXPECT_NEAR(o->cno, x.cno, 0.051) << x.prn;
    EXPECT_NEAR(o->lockTime, x.lockTime, 0.0006) << x.prn;
    EXPECT_NEAR(o->pseudorangeSigma, x.pseudorangeSigma, 0.0006) << x.prn;
    EXPECT_EQ(o->status & 0xFFFFu, x.statusLow16) << x.prn;
}

} // namespace

// The first satellite of a receiver's RANGECMP2 record (GPS PRN 1, four
// signals, week 2241 408198.000) against the RANGE record logged with it.
TEST_F(PackedTest, Rangecmp2ReceiverRecordMatchesItsRange) {
    const auto data =
        FromHex("0001004838da85c6f84fe1ffff2df72ac87063803900e4ffff05974a34315c003900e5ffff0ddbaa2b5902003900"
                "e7ffff0d3f023fe913803500");
    const DecodedEpoch &e = Decode(kMsgRangecmp2, data, At(2241, 408198000));
    ASSERT_EQ(e.count, 4u);
    const Expected x[] = {
        {SYS_GPS, 1, 0, 24546846.508, -128994491.475924, -3698.551, 43.0, 131.071, 0.329, 0xdc04},
        {SYS_GPS, 1, 9, 24546853.266, -100515187.699190, -2881.991, 43.0, 131.071, 0.099, 0x5c0b},
        {SYS_GPS, 1, 17, 24546852.727, -100515181.950828, -2881.991, 47.0, 131.071, 0.220, 0xdc0b},
        {SYS_GPS, 1, 14, 24546853.938, -96327050.446404, -2761.928, 51.0, 131.071, 0.030, 0xdc0b},
    };
    for (const Expected &o : x) ExpectObservation(Find(e, o.system, o.prn, o.signal), o);
    EXPECT_EQ(e.obs[0].status, 0x0810dc04u); // grouped, primary L1, GPS L1 C/A
    EXPECT_EQ(e.obs[0].satellite, 1u);
}

// A receiver's RANGECMP4 reference record (week 1919 507977.000) and the
// differential record a quarter second later, against the RANGE records
// logged with them: GPS PRN 10 on L1 C/A, L2 P(Y) and L5, GLONASS slot 1
// on channel +1.
TEST_F(PackedTest, Rangecmp4ReceiverReferenceAndDifferenceMatchTheirRange) {
    const auto reference = FromHex(
        "030000421204000000009200df7688831f611fd87ca0b03a00638bbdf7b82f49b080fd0ec0ff1f091f8214ff4d4d00a1009cbf1751f691"
        "1f5141f87fd9571a96dbd7040c8090f87f0080fcf722fe9bfa8a49a8ff4f299d7f96fb9afefc771800fcffd0063f02cde01f3c7dd3ffb7"
        "5240886f5fa2b0ff91f57f00003edf8b78868c882878014065dbf7d3ed6b722680d5fc0f00a4c08730fe7fecf8bffa3f00300800000000"
        "2001f03fa019f8136a11273649b8fcefab9c434c7b89e71560dbfe070030b2e04fd841f33125320b80b0ecefa5ee21243ac0bb03e0ffc3"
        "6a813fb13bbe5791a0f5ff9e3bdbffbb87f0cb8064f03f0000e4b67dd15bc5f4a50a3a006ca72fdee53ec86405b2c0fffa3fa450f725d5"
        "bfed7c49b1fb0fb16b45a87a9adb0740cbfe0700");
    const auto difference = FromHex(
        "030000421204000000009200dff688831f6102005500e70162dc977c004015c07988840f6101803a805921cedf8b80002011207080e5f6"
        "351f003804081c2200be0808005c01620808725f93028057801822dae0476000a00f207180fef6251700e803401c62f3bdc80600520130"
        "09986f5f22020054004ca2053ec408005401ca8701804100000000000980ff6306fec408004801de07c8692f5102805180f721b2e04f60"
        "0040152081804ef7102500600540202205fe040a0086013a0938780f61020061804e224edbdb68002010c0498030f7411d001804781"
        "2a2d47d090a004c01a609c8544f62028052006a02");
    {
        const DecodedEpoch &e = Decode(kMsgRangecmp4, reference, At(1919, 507977000));
        ASSERT_EQ(e.count, 22u);
        const Expected x[] = {
            {SYS_GPS, 10, 0, 21540290.811, -113194996.162716, 2288.688, 52.6, 262.144, 0.030, 0x1c04},
            {SYS_GPS, 10, 9, 21540293.632, -88203904.730026, 1783.394, 45.5, 262.144, 0.148, 0x1c0b},
            {SYS_GPS, 10, 14, 21540289.869, -84528728.138867, 1709.022, 53.0, 262.144, 0.020, 0x1c0b},
            {SYS_GLONASS, 38, 0, 19781617.845, -105744080.697075, -2024.611, 51.8, 262.144, 0.066, 0x1c04},
            {SYS_GLONASS, 61, 5, 20375332.806, -84743599.055346, -2364.042, 34.0, 262.144, 0.099, 0x1c0b},
        };
        for (const Expected &o : x) ExpectObservation(Find(e, o.system, o.prn, o.signal), o);
        EXPECT_EQ(Find(e, SYS_GLONASS, 38, 0)->glonassChannel, 1);
        EXPECT_EQ(Find(e, SYS_GLONASS, 38, 0)->satellite, 1u);
    }
    const DecodedEpoch &e = Decode(kMsgRangecmp4, difference, At(1919, 507977250));
    ASSERT_EQ(e.count, 22u) << AllTexts();
    const Expected x[] = {
        {SYS_GPS, 10, 0, 21540181.949, -113194424.079980, 2288.177, 52.6, 262.394, 0.030, 0x1c04},
        {SYS_GPS, 10, 9, 21540184.766, -88203458.951168, 1782.995, 45.4, 262.394, 0.148, 0x1c0b},
        {SYS_GPS, 10, 14, 21540181.003, -84528300.929223, 1708.751, 53.0, 262.394, 0.020, 0x1c0b},
        {SYS_GLONASS, 38, 0, 19781712.549, -105744586.937548, -2025.150, 51.8, 262.394, 0.066, 0x1c04},
        {SYS_GLONASS, 61, 5, 20375474.925, -84744190.134403, -2364.556, 33.9, 262.394, 0.099, 0x1c0b},
    };
    for (const Expected &o : x) ExpectObservation(Find(e, o.system, o.prn, o.signal), o);
    EXPECT_EQ(AllTexts(), "");
}
