#include "range_records.h"

#include "common/le.h"

using namespace testsupport;

namespace rangetest {

Obs L1(uint16_t prn, float lockTime) {
    return {prn, 20000000.0 + prn * 1000.25, -105000000.5 - prn, -1000.5f + prn, 40.0f + prn % 10, lockTime, kTracked};
}
Obs L2(uint16_t prn, float lockTime) {
    return {prn, 20000003.0 + prn * 1000.25, -81000000.25 - prn, -780.0f, 30.0f, lockTime, kTracked | kL2};
}

HeaderFields At(double seconds, uint8_t timeStatus) {
    HeaderFields h;
    h.milliseconds = static_cast<int32_t>(seconds * 1000.0 + 0.5);
    h.timeStatus = timeStatus;
    return h;
}

std::vector<uint8_t> Range(const std::vector<Obs> &obs, HeaderFields h) {
    Bytes b;
    b.u4(static_cast<uint32_t>(obs.size()));
    for (const Obs &o : obs) {
        b.u2(o.prn).u2(o.reserved).r8(o.pseudorange).r4(0.1f).r8(o.phase).r4(0.01f);
        b.r4(o.doppler).r4(o.cno).r4(o.lockTime).u4(o.status);
    }
    return MakeRecord(43, b.data(), h);
}

namespace {
void SetBits(uint8_t *p, unsigned first, unsigned width, uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        const unsigned bit = first + i;
        if ((value >> i) & 1) p[bit / 8] = static_cast<uint8_t>(p[bit / 8] | (1u << (bit % 8)));
    }
}
} // namespace

std::vector<uint8_t> Rangecmp(const std::vector<CmpObs> &obs, HeaderFields h) {
    std::vector<uint8_t> body(4 + 24 * obs.size(), 0);
    le::PutU4(body.data(), static_cast<uint32_t>(obs.size()));
    for (size_t i = 0; i < obs.size(); ++i) {
        uint8_t *p = body.data() + 4 + 24 * i;
        const CmpObs &o = obs[i];
        SetBits(p, 0, 32, o.status);
        SetBits(p, 32, 28, static_cast<uint32_t>(o.doppler));
        SetBits(p, 60, 36, o.pseudorange);
        SetBits(p, 96, 32, static_cast<uint32_t>(o.adr));
        SetBits(p, 128, 8, 0x5A); // standard deviation codes: ignored
        SetBits(p, 136, 8, o.prn);
        SetBits(p, 144, 21, o.lockTime);
        SetBits(p, 165, 5, o.cnoCode);
        SetBits(p, 170, 22, 0x3FFFFF); // reserved: ignored
    }
    return MakeRecord(140, body, h);
}

Epoch ReadEpoch(ThreadBuf *buf) {
    Epoch e;
    const int32_t n = GetThreadBufRecCount(buf, TBREC_MEAS);
    if (GetThreadBufRecCount(buf, TBREC_EPOCH) == 1) ReadThreadBufData(buf, TBREC_EPOCH, 1, &e.epoch);
    if (n > 0) {
        e.meas.resize(static_cast<size_t>(n));
        e.tracking.resize(static_cast<size_t>(GetThreadBufRecCount(buf, TBREC_TRACKING)));
        ReadThreadBufData(buf, TBREC_MEAS, n, e.meas.data());
        ReadThreadBufData(buf, TBREC_TRACKING, static_cast<int32_t>(e.tracking.size()), e.tracking.data());
    }
    return e;
}

Epoch Decode(const std::vector<uint8_t> &record, ThreadBuf *buf) {
    ClearThreadBuf(buf);
    int32_t result = 0;
    for (const auto &[index, r] : Feed(record, buf)) result = r;
    Epoch e = ReadEpoch(buf);
    e.result = result;
    return e;
}

std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const auto &m : CapturedMessages()) out.push_back(m.text);
    return out;
}

} // namespace rangetest
