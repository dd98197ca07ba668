// One simulated scene logged in each of the five range records gives the
// same observations, each within its record's resolution.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "common/le.h"
#include "oem4/oem4_decoder.h"
#include "oem4/packed_ranges.h"
#include "sim_support.h"
#include "support/oem4_records.h"

using namespace oem4sim;

namespace {

struct Value {
    double pseudorange, phase, doppler, cno, lockTime;
};
using Key = std::tuple<int32_t, uint32_t, uint32_t, uint32_t>; // ms, system, PRN, signal
using Observations = std::map<Key, Value>;

SimConfig Scene(RangeFormat format) {
    SimConfig c;
    c.seed = 77;
    c.duration = 20;
    c.rate = 5; // differential RANGECMP4 blocks between the whole seconds
    c.format = format;
    c.motion = Motion::SurveyFlight;
    c.otherSystems = SystemBit(1) | SystemBit(3) | SystemBit(4) | SystemBit(5);
    c.oem7Signals = true;
    c.slipsPerHour = 120;
    return c;
}

// RANGE and RANGECMP observations read straight from their records.
Observations ReadPlain(const std::vector<uint8_t> &log) {
    Observations out;
    for (const FoundRecord &r : WalkLog(log)) {
        if (r.id != kMsgRange && r.id != kMsgRangecmp) continue;
        const uint32_t n = le::U4(r.body);
        for (uint32_t i = 0; i < n; ++i) {
            Value v{};
            uint32_t status = 0, prn = 0;
            if (r.id == kMsgRange) {
                const uint8_t *p = r.body + 4 + i * kRangeObsSize;
                prn = le::U2(p);
                v = {le::R8(p + 4), le::R8(p + 16), le::R4(p + 28), le::R4(p + 32), le::R4(p + 36)};
                status = le::U4(p + 40);
            } else {
                const uint8_t *p = r.body + 4 + i * kCompressedObsSize;
                status = static_cast<uint32_t>(GetBits(p, 0, 32));
                int64_t doppler = static_cast<int64_t>(GetBits(p, 32, 28));
                if (doppler >= (int64_t{1} << 27)) doppler -= int64_t{1} << 28;
                v.doppler = static_cast<double>(doppler) / 256.0;
                v.pseudorange = static_cast<double>(GetBits(p, 60, 36)) / 128.0;
                // The whole 2^23-cycle turns of the phase, from the code on the
                // signal's own carrier.
                const double adr = static_cast<double>(static_cast<int32_t>(GetBits(p, 96, 32))) / 256.0;
                const int channel = static_cast<int>(GetBits(p, 170, 6)) - 7;
                const double lambda = kSpeedOfLight / SignalFrequency(TrackingSystem(status), TrackingSignal(status),
                                                                      static_cast<int8_t>(channel));
                v.phase = adr - std::round((v.pseudorange / lambda + adr) / 8388608.0) * 8388608.0;
                prn = static_cast<uint32_t>(GetBits(p, 136, 8));
                v.lockTime = static_cast<double>(GetBits(p, 144, 21)) / 32.0;
                v.cno = 20.0 + static_cast<double>(GetBits(p, 165, 5));
            }
            out[{r.ms, TrackingSystem(status), prn, TrackingSignal(status)}] = v;
        }
    }
    return out;
}

// RANGECMP2, RANGECMP4 and RANGECMP5 observations as the converter decodes
// them.
Observations ReadPacked(const std::vector<uint8_t> &log) {
    Oem4Options o = testsupport::DefaultOptions();
    testsupport::OpenTestPort(o, false);
    ThreadBuf buf;
    Observations out;
    for (const FoundRecord &r : WalkLog(log)) {
        testsupport::Feed(std::vector<uint8_t>(log.begin() + static_cast<long>(r.offset),
                                               log.begin() + static_cast<long>(r.offset + r.length)),
                          &buf);
        if (r.id != kMsgRangecmp2 && r.id != kMsgRangecmp4 && r.id != kMsgRangecmp5) continue;
        const DecodedEpoch &e = GetOpenPort(0)->decoded;
        EXPECT_EQ(e.messageId, r.id);
        EXPECT_EQ(e.dropped, 0u);
        for (uint32_t i = 0; i < e.count; ++i) {
            const DecodedObservation &d = e.obs[i];
            out[{r.ms, d.system, d.prn, d.signal}] = {d.pseudorange, d.phase, d.doppler, d.cno, d.lockTime};
        }
    }
    return out;
}

struct Tolerance {
    double pseudorange, phaseMetres, doppler, cno;
};

void Compare(const Observations &want, const Observations &have, const Tolerance &t, const char *name) {
    SCOPED_TRACE(name);
    ASSERT_EQ(have.size(), want.size());
    int bad = 0;
    for (const auto &[key, w] : want) {
        auto it = have.find(key);
        ASSERT_NE(it, have.end());
        const Value &h = it->second;
        const double lambda = std::fabs(w.pseudorange / w.phase); // metres a cycle, near enough
        const bool ok = std::fabs(h.pseudorange - w.pseudorange) <= t.pseudorange &&
                        std::fabs(h.phase - w.phase) * lambda <= t.phaseMetres &&
                        std::fabs(h.doppler - w.doppler) <= t.doppler && std::fabs(h.cno - w.cno) <= t.cno;
        if (!ok && ++bad <= 5) {
            ADD_FAILURE() << "ms " << std::get<0>(key) << " system " << std::get<1>(key) << " PRN " << std::get<2>(key)
                          << " signal " << std::get<3>(key) << ": " << h.pseudorange - w.pseudorange << " m, "
                          << h.phase - w.phase << " cycles, " << h.doppler - w.doppler << " Hz, " << h.cno - w.cno
                          << " dB-Hz";
        }
    }
    EXPECT_EQ(bad, 0);
}

// The lock-lost indication and lock time of a log's observations, as the
// decoder hands its epochs over.
struct Lock {
    bool lost;
    double time;
};
std::map<Key, Lock> g_lockLost;
void KeepLockLost(const DecodedEpoch *e) {
    const auto ms = static_cast<int32_t>(std::lround(e->time * 1000.0));
    for (uint32_t i = 0; i < e->count; ++i) {
        const DecodedObservation &d = e->obs[i];
        g_lockLost[{ms, d.system, d.prn, d.signal}] = {(d.lli & kLliLockLost) != 0, d.lockTime};
    }
}

std::map<Key, Lock> LockLost(const std::vector<uint8_t> &log) {
    testsupport::OpenTestPort(testsupport::DefaultOptions(), false);
    SetPortEpochHandler(0, KeepLockLost);
    g_lockLost.clear();
    ThreadBuf buf;
    testsupport::Feed(log, &buf);
    SetPortEpochHandler(0, nullptr);
    return g_lockLost;
}

bool IsRangeRecord(uint16_t id) {
    return id == kMsgRange || id == kMsgRangecmp || id == kMsgRangecmp2 || id == kMsgRangecmp4 || id == kMsgRangecmp5;
}

// One scene logged in two range record kinds, mixed: each epoch's range
// record from `a` where `fromA(ms)`, else from `b`; the other records a's.
template <class Pick>
std::vector<uint8_t> Mixed(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, Pick fromA) {
    std::map<int32_t, std::pair<size_t, size_t>> rangesOfB;
    for (const FoundRecord &r : WalkLog(b)) {
        if (IsRangeRecord(r.id)) rangesOfB[r.ms] = {r.offset, r.length};
    }
    std::vector<uint8_t> out;
    for (const FoundRecord &r : WalkLog(a)) {
        const auto [log, at] = !IsRangeRecord(r.id) || fromA(r.ms) ? std::pair{&a, std::pair{r.offset, r.length}}
                                                                   : std::pair{&b, rangesOfB.at(r.ms)};
        out.insert(out.end(), log->begin() + static_cast<long>(at.first),
                   log->begin() + static_cast<long>(at.first + at.second));
    }
    return out;
}

} // namespace

// A log that turns from one range record kind to another, or holds two
// in turn (a receiver told to log both at different rates), keeps the
// lock: the kinds state lock times to different resolutions.
TEST(PackedRanges, ALogOfTwoRangeRecordKindsKeepsTheLock) {
    // Lock times past RANGECMP2's largest field (131.071 s) at the change.
    auto scene = [](RangeFormat format) {
        SimConfig c = Scene(format);
        c.duration = 160;
        c.rate = 1;
        return Simulate(c).bytes;
    };
    const struct {
        RangeFormat a, b;
        bool alternate; // every other second from b, else b from 150 s on
    } logs[] = {
        {RangeFormat::Range, RangeFormat::Rangecmp2, false},     {RangeFormat::Range, RangeFormat::Rangecmp4, false},
        {RangeFormat::Rangecmp, RangeFormat::Rangecmp5, false},  {RangeFormat::Rangecmp4, RangeFormat::Range, false},
        {RangeFormat::Rangecmp2, RangeFormat::Rangecmp4, false}, {RangeFormat::Range, RangeFormat::Rangecmp4, true},
        {RangeFormat::Range, RangeFormat::Rangecmp2, true},
    };
    for (const auto &[first, then, alternate] : logs) {
        SCOPED_TRACE(std::string(RangeFormatName(first)) + (alternate ? " and " : " then ") + RangeFormatName(then));
        const std::vector<uint8_t> a = scene(first), b = scene(then);
        const int32_t at = WalkLog(a).front().ms + 150000;
        const std::map<Key, Lock> alone = LockLost(a), after = LockLost(b),
                                  mixed = LockLost(Mixed(
                                      a, b, [&](int32_t ms) { return alternate ? ms / 1000 % 2 == 0 : ms < at; }));
        // Every loss of lock flagged is one that a log of either kind flags
        // alone. Except a lock restarted in the second before: RANGECMP4's
        // coarse code cannot tell it from one restarted since (nor
        // RANGECMP5's).
        int atTheChange = 0;
        for (const auto &[key, lock] : mixed) {
            const auto [ms, system, prn, signal] = key;
            if (ms == at) ++atTheChange;
            if (!lock.lost) continue;
            const auto inA = alone.find(key), inB = after.find(key),
                       before = alone.find({ms - 1000, system, prn, signal});
            const bool coarse = then == RangeFormat::Rangecmp4 || then == RangeFormat::Rangecmp5;
            const bool young = coarse && before != alone.end() && before->second.time < 1.0;
            EXPECT_TRUE((inA != alone.end() && inA->second.lost) || (inB != after.end() && inB->second.lost) || young)
                << "ms " << ms << " system " << system << " PRN " << prn << " signal " << signal;
        }
        EXPECT_GT(atTheChange, 20);
    }
}

TEST(PackedRanges, FiveEncodingsOfOneSceneAgree) {
    const Observations range = ReadPlain(Simulate(Scene(RangeFormat::Range)).bytes);
    ASSERT_GT(range.size(), 1000u);
    // RANGE keeps C/No to a fraction; RANGECMP and RANGECMP2 to whole dB-Hz.
    Compare(range, ReadPlain(Simulate(Scene(RangeFormat::Rangecmp)).bytes), {1.0 / 256, 0.002, 1.0 / 256, 0.51},
            "RANGECMP");
    Compare(range, ReadPacked(Simulate(Scene(RangeFormat::Rangecmp2)).bytes),
            {1.0 / 256 + 1e-6, 1.0 / 4096 + 1e-6, 1.0 / 256, 0.51}, "RANGECMP2");
    Compare(range, ReadPacked(Simulate(Scene(RangeFormat::Rangecmp4)).bytes), {0.0006, 0.0002, 0.001, 0.026},
            "RANGECMP4");
    Compare(range, ReadPacked(Simulate(Scene(RangeFormat::Rangecmp5)).bytes), {0.0006, 0.0002, 0.001, 0.026},
            "RANGECMP5");
}
