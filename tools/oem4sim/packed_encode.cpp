// RANGECMP2, RANGECMP4 and RANGECMP5 encoders. The field layouts are the
// ones the converter's decoders read (src/oem4/rangecmp2.cpp,
// rangecmp4.cpp); values are rounded to each field's resolution and kept
// within its width.
#include "packed_encode.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "common/decoded_epoch.h"
#include "common/le.h"
#include "common/physics.h"
#include "oem4/packed_ranges.h"

namespace oem4sim {

namespace {

// Status word signal type -> the records' own signal ids and RANGECMP2's
// Doppler scale (the system's first frequency over the signal's).
struct SignalForm {
    uint32_t system, signal, rc2, rc4;
    double dopplerScale;
};
constexpr SignalForm kForms[] = {
    {SYS_GPS, 0, 1, 1, 1.0},
    {SYS_GPS, 9, 4, 4, 154.0 / 120.0},
    {SYS_GPS, 17, 5, 5, 154.0 / 120.0},
    {SYS_GPS, 5, 6, 6, 154.0 / 120.0},
    {SYS_GPS, 14, 7, 7, 154.0 / 115.0},
    {SYS_GPS, 16, 15, 15, 1.0},
    {SYS_GLONASS, 0, 1, 1, 1.0},
    {SYS_GLONASS, 1, 3, 3, 9.0 / 7.0},
    {SYS_GLONASS, 5, 4, 4, 9.0 / 7.0},
    {SYS_GLONASS, 6, 6, 6, 313.0 / 235.0},
    {SYS_SBAS, 0, 1, 1, 1.0},
    {SYS_SBAS, 6, 2, 2, 154.0 / 115.0},
    {SYS_GALILEO, 2, 1, 1, 1.0},
    {SYS_GALILEO, 12, 2, 2, 154.0 / 115.0},
    {SYS_GALILEO, 17, 3, 3, 154.0 / 118.0},
    {SYS_GALILEO, 20, 4, 4, 154.0 / 116.5},
    {SYS_GALILEO, 7, 5, 5, 154.0 / 125.0},
    {SYS_GALILEO, 6, 12, 12, 154.0 / 125.0},
    {SYS_BEIDOU, 0, 1, 1, 1.0},
    {SYS_BEIDOU, 4, 2, 2, 1.0},
    {SYS_BEIDOU, 1, 3, 3, 1526.0 / 1180.0},
    {SYS_BEIDOU, 5, 4, 4, 1526.0 / 1180.0},
    {SYS_BEIDOU, 2, 13, 5, 1526.0 / 1240.0},
    {SYS_BEIDOU, 6, 16, 6, 1526.0 / 1240.0},
    {SYS_BEIDOU, 7, 19, 7, 1526.0 / 1540.0},
    {SYS_BEIDOU, 9, 20, 9, 1526.0 / 1150.0},
    {SYS_BEIDOU, 11, 21, 11, 1526.0 / 1180.0},
    {SYS_QZSS, 0, 1, 1, 1.0},
    {SYS_QZSS, 17, 3, 3, 154.0 / 120.0},
    {SYS_QZSS, 14, 4, 4, 154.0 / 115.0},
    {SYS_QZSS, 16, 8, 8, 1.0},
    {SYS_QZSS, 27, 11, 11, 154.0 / 125.0},
    {SYS_NAVIC, 0, 1, 1, 1.0},
};

const SignalForm *FormOf(uint32_t system, uint32_t signal) {
    for (const SignalForm &f : kForms) {
        if (f.system == system && f.signal == signal) return &f;
    }
    return nullptr;
}

// The records' satellite system ids.
uint32_t RecordSystemId(uint32_t system) {
    constexpr uint32_t kIds[kSystemCount] = {0, 1, 2, 5, 6, 7, 9, 0};
    return kIds[system & 7u];
}

double WavelengthOf(const PackedObservation &o) {
    const int channel = static_cast<int>(o.glonassFrequency) - kGlonassFrequencyOffset;
    return kSpeedOfLight / SignalFrequency(o.system, o.signal, static_cast<int8_t>(channel));
}

constexpr std::array<double, 16> kPseudorangeSigma = {0.020, 0.030, 0.045, 0.066, 0.099, 0.148, 0.220, 0.329,
                                                      0.491, 0.732, 1.092, 1.629, 2.430, 3.625, 5.409, 5.409};
constexpr std::array<double, 16> kPhaseSigma = {0.00391, 0.00521, 0.00696, 0.00929, 0.01239, 0.01654, 0.02208, 0.02947,
                                                0.03933, 0.05249, 0.07006, 0.09350, 0.12480, 0.16656, 0.22230, 0.22230};
template <typename T, size_t N> uint32_t SigmaCode(const std::array<T, N> &table, double sigma) {
    for (uint32_t k = 0; k < N; ++k) {
        if (table[k] >= sigma) return k;
    }
    return N - 1;
}

int64_t Clamp(int64_t v, int64_t lo, int64_t hi) { return std::min(std::max(v, lo), hi); }

// Writes bit fields least significant bit first into a bounded buffer.
class BitWriter {
public:
    BitWriter(uint8_t *out, size_t room) : out_(out), room_(room) { std::memset(out, 0, room); }
    void Put(uint64_t value, unsigned width) {
        for (unsigned k = 0; k < width; ++k, ++bits_) {
            if (bits_ / 8 >= room_) {
                full_ = true;
                return;
            }
            if ((value >> k & 1u) != 0) out_[bits_ / 8] |= static_cast<uint8_t>(1u << (bits_ % 8));
        }
    }
    void PutSigned(int64_t value, unsigned width) { Put(static_cast<uint64_t>(value), width); }
    size_t Bytes() const { return (bits_ + 7) / 8; }
    bool Full() const { return full_; }

private:
    uint8_t *out_;
    size_t room_;
    size_t bits_ = 0;
    bool full_ = false;
};

} // namespace

size_t EncodeRangecmp2Body(uint8_t *body, size_t room, const PackedObservation *obs, size_t count) {
    if (room < 4) return 0;
    BitWriter w(body + 4, room - 4);
    for (size_t first = 0; first < count;) {
        size_t end = first + 1;
        while (end < count && obs[end].system == obs[first].system && obs[end].prn == obs[first].prn) ++end;
        const PackedObservation &o0 = obs[first];
        double low = o0.pseudorange;
        for (size_t i = first; i < end; ++i) {
            low = std::min({low, obs[i].pseudorange, -obs[i].adr * WavelengthOf(obs[i])});
        }
        const int64_t psrBase = static_cast<int64_t>(std::floor(low));
        const SignalForm *f0 = FormOf(o0.system, o0.signal);
        if (f0 == nullptr) return 0;
        const int64_t dopplerBase = Clamp(std::llround(o0.doppler * f0->dopplerScale), -(1 << 20), (1 << 20) - 1);
        const uint32_t id = o0.system == SYS_GLONASS ? o0.prn - kGlonassPrnOffset : o0.prn;
        w.Put(o0.channel, 8);
        w.Put(id, 8);
        w.Put(o0.system == SYS_GLONASS ? o0.glonassFrequency : 0, 4);
        w.Put(RecordSystemId(o0.system), 5);
        w.Put(0, 1);
        w.PutSigned(psrBase, 29);
        w.PutSigned(dopplerBase, 21);
        w.Put(end - first, 4);
        for (size_t i = first; i < end; ++i) {
            const PackedObservation &o = obs[i];
            const SignalForm *f = FormOf(o.system, o.signal);
            if (f == nullptr) return 0;
            const int64_t psr = std::llround((o.pseudorange - static_cast<double>(psrBase)) * 128.0);
            const int64_t phase = std::llround((-o.adr * WavelengthOf(o) - static_cast<double>(psrBase)) * 2048.0);
            const int64_t doppler =
                std::llround((o.doppler * f->dopplerScale - static_cast<double>(dopplerBase)) * 256.0);
            const bool codeFits = psr >= 0 && psr < (1 << 14);
            const bool phaseFits = phase >= 0 && phase < (1 << 20);
            w.Put(f->rc2, 5);
            w.Put(phaseFits, 1);
            w.Put(1, 1); // parity known
            w.Put(codeFits, 1);
            w.Put(static_cast<uint64_t>(Clamp(std::llround(o.lockTime * 1000.0), 0, (1 << 17) - 1)), 17);
            w.Put(0, 4);          // correlator
            w.Put(i == first, 1); // primary signal
            w.Put(0, 2);          // half cycle added, reserved
            w.Put(static_cast<uint64_t>(Clamp(std::llround(o.cno) - 20, 0, 31)), 5);
            w.Put(SigmaCode(kPseudorangeSigma, o.pseudorangeSigma), 4);
            w.Put(SigmaCode(kPhaseSigma, o.adrSigma), 4);
            w.Put(static_cast<uint64_t>(Clamp(psr, 0, (1 << 14) - 1)), 14);
            w.Put(static_cast<uint64_t>(Clamp(phase, 0, (1 << 20) - 1)), 20);
            w.PutSigned(Clamp(doppler, -(1 << 16), (1 << 16) - 1), 17);
        }
        first = end;
    }
    if (w.Full()) return 0;
    le::PutU4(body, static_cast<uint32_t>(w.Bytes()));
    return 4 + w.Bytes();
}

// ---- RANGECMP4 ----------------------------------------------------------------

struct Rangecmp4Encoder::State {
    // What the decoder holds of each signal's latest reference, computed
    // as it computes it.
    struct Reference {
        bool present;
        uint8_t id;
        double time, pseudorange, phaseRange, rangeRate;
    };
    std::array<Reference, kPackedTracks> references{};
    uint8_t nextId = 0;
    uint8_t currentId = 0;
    bool rangecmp5 = false;
};

Rangecmp4Encoder::Rangecmp4Encoder(bool rangecmp5) : state_(std::make_unique<State>()) {
    state_->rangecmp5 = rangecmp5;
}
Rangecmp4Encoder::~Rangecmp4Encoder() = default;

namespace {

constexpr double kPsrUnit = 0.0005, kPhaseUnit = 0.0001, kRateUnit = 0.0001;
constexpr std::array<double, 16> kLockFloor = {0.0,   0.016, 0.032, 0.064,  0.128,  0.256,  0.512,   1.024,
                                               2.048, 4.096, 8.192, 16.384, 32.768, 65.536, 131.072, 262.144};

uint32_t LockCode(double lock) {
    uint32_t k = 0;
    while (k + 1 < kLockFloor.size() && kLockFloor[k + 1] <= lock) ++k;
    return k;
}

uint32_t SatelliteIdOf(const PackedObservation &o) {
    switch (o.system) {
    case SYS_GLONASS: return o.prn - kGlonassPrnOffset;
    case SYS_SBAS: return o.prn <= 158 ? o.prn - 119u : o.prn - 129u;
    case SYS_QZSS: return o.prn - 192u;
    default: return o.prn;
    }
}

bool Fits(int64_t v, unsigned width) { return v > -(int64_t{1} << (width - 1)) && v < (int64_t{1} << (width - 1)); }

// The most a signed field of that width holds (its most negative value
// marks a value the receiver did not have).
int64_t FieldMost(unsigned width) { return (int64_t{1} << (width - 1)) - 1; }

// The standard deviation codes: RANGECMP4's of 4 bits, RANGECMP5's of 5 on
// its wider tables.
void PutSigmaCodes(BitWriter &w, const PackedObservation &o, bool rangecmp5) {
    if (rangecmp5) {
        w.Put(SigmaCode(kWidePseudorangeSigma, o.pseudorangeSigma), 5);
        w.Put(SigmaCode(kWidePhaseSigma, o.adrSigma), 5);
    } else {
        w.Put(SigmaCode(kPseudorangeSigma, o.pseudorangeSigma), 4);
        w.Put(SigmaCode(kPhaseSigma, o.adrSigma), 4);
    }
}

struct Item {
    const PackedObservation *obs;
    uint32_t systemId, satellite, rc4;
};

} // namespace

// Why this is long: it writes the whole record in the order the record
// defines (masks, signal rows, then every satellite's blocks), and for each
// satellite first decides whether all its signals can be sent as
// differences, which needs the same quantities the blocks then write.
// RANGECMP5 is written by the same walk: it has no differential blocks, its
// satellite header's bits after the (zero) format flag are reserved, and
// its range rates are wider.
size_t Rangecmp4Encoder::Encode(uint8_t *body, size_t room, const PackedObservation *obs, size_t count, uint32_t week,
                                int64_t milliseconds) {
    if (room < 4 || count > kMaxDecodedObservations) return 0;
    State &st = *state_;
    const double now = week * 604800.0 + static_cast<double>(milliseconds) * 0.001;
    const bool wholeSecond = milliseconds % 1000 == 0;
    if (wholeSecond) st.currentId = st.nextId++ & 7u;
    std::array<Item, kMaxDecodedObservations> items;
    size_t n = 0;
    for (size_t i = 0; i < count; ++i) {
        const SignalForm *f = FormOf(obs[i].system, obs[i].signal);
        const uint32_t sat = SatelliteIdOf(obs[i]);
        if (f == nullptr || sat < 1 || sat > kPackedSatellites) return 0;
        items[n++] = {&obs[i], RecordSystemId(obs[i].system), sat, f->rc4};
    }
    std::sort(items.begin(), items.begin() + n, [](const Item &a, const Item &b) {
        if (a.systemId != b.systemId) return a.systemId < b.systemId;
        return a.satellite != b.satellite ? a.satellite < b.satellite : a.rc4 < b.rc4;
    });
    BitWriter w(body + 4, room - 4);
    uint64_t systems = 0;
    for (size_t i = 0; i < n; ++i) systems |= uint64_t{1} << items[i].systemId;
    w.Put(systems, 16);
    for (size_t s0 = 0; s0 < n;) {
        size_t s1 = s0;
        uint64_t satellites = 0, signals = 0;
        while (s1 < n && items[s1].systemId == items[s0].systemId) {
            satellites |= uint64_t{1} << (items[s1].satellite - 1);
            signals |= uint64_t{1} << items[s1].rc4;
            ++s1;
        }
        w.Put(satellites, 64);
        w.Put(signals, 16);
        const unsigned width = static_cast<unsigned>(std::popcount(signals));
        for (size_t a = s0; a < s1;) {
            uint64_t row = 0;
            size_t b = a;
            for (; b < s1 && items[b].satellite == items[a].satellite; ++b) {
                row |= uint64_t{1} << std::popcount(signals & ((uint64_t{1} << items[b].rc4) - 1));
            }
            w.Put(row, width);
            a = b;
        }
        for (size_t a = s0; a < s1;) {
            size_t b = a;
            while (b < s1 && items[b].satellite == items[a].satellite) ++b;
            const PackedObservation &o0 = *items[a].obs;
            const SatelliteSystem system = static_cast<SatelliteSystem>(o0.system);
            auto track = [&](const Item &it) -> State::Reference & {
                return st.references[(static_cast<size_t>(system) * kPackedSignals + it.rc4) * kPackedSatellites +
                                     (it.satellite - 1)];
            };
            // Differences when every signal has a reference of this second
            // and every difference fits its field.
            struct Diff {
                int64_t psr, phase, rate;
            };
            std::array<Diff, kPackedSignals> diffs{};
            bool differential = !wholeSecond && !st.rangecmp5;
            for (size_t k = a; k < b && differential; ++k) {
                const State::Reference &r = track(items[k]);
                const double age = now - r.time;
                if (!r.present || r.id != st.currentId || age < 0.0 || age >= 0.999) {
                    differential = false;
                    break;
                }
                const PackedObservation &o = *items[k].obs;
                const double lambda = WavelengthOf(o);
                const double drift = r.rangeRate * age;
                Diff &d = diffs[k - a];
                d.psr = std::llround((o.pseudorange - (r.pseudorange + drift)) / kPsrUnit);
                d.phase = std::llround((-o.adr * lambda - (r.phaseRange + drift)) / kPhaseUnit);
                d.rate = std::llround((-o.doppler * lambda - r.rangeRate) / kRateUnit);
                differential = Fits(d.psr, 19) && Fits(d.phase, 16) && Fits(d.rate, k == a ? 18 : 14);
            }
            w.Put(differential, 1);
            w.Put(st.rangecmp5 ? 0 : st.currentId, 3);
            if (system == SYS_GLONASS && !differential) w.Put(o0.glonassFrequency, 5);
            double firstPsr = 0.0, firstRate = 0.0;
            for (size_t k = a; k < b; ++k) {
                const PackedObservation &o = *items[k].obs;
                const bool first = k == a;
                w.Put(1, 1); // parity known
                w.Put(0, 1); // half cycle added
                w.Put(static_cast<uint64_t>(Clamp(std::llround(o.cno / 0.05), 0, 2047)), 11);
                w.Put(LockCode(o.lockTime), 4);
                PutSigmaCodes(w, o, st.rangecmp5);
                if (differential) {
                    const Diff &d = diffs[k - a];
                    w.PutSigned(d.psr, 19);
                    w.PutSigned(d.phase, 16);
                    w.PutSigned(d.rate, first ? 18 : 14);
                    continue;
                }
                const double lambda = WavelengthOf(o);
                State::Reference &r = track(items[k]);
                r = {true, st.currentId, now, 0.0, 0.0, 0.0};
                int64_t psr = 0, rate = 0;
                if (first) {
                    psr = Clamp(std::llround(o.pseudorange / kPsrUnit), 0, (int64_t{1} << 37) - 2);
                    w.Put(static_cast<uint64_t>(psr), 37);
                    r.pseudorange = static_cast<double>(psr) * kPsrUnit;
                    firstPsr = r.pseudorange;
                } else {
                    psr = Clamp(std::llround((o.pseudorange - firstPsr) / kPsrUnit), -(1 << 19) + 1, (1 << 19) - 1);
                    w.PutSigned(psr, 20);
                    r.pseudorange = firstPsr + static_cast<double>(psr) * kPsrUnit;
                }
                const int64_t phase =
                    Clamp(std::llround((-o.adr * lambda - r.pseudorange) / kPhaseUnit), -(1 << 22) + 1, (1 << 22) - 1);
                w.PutSigned(phase, 23);
                r.phaseRange = r.pseudorange + static_cast<double>(phase) * kPhaseUnit;
                const double rangeRate = -o.doppler * lambda;
                const unsigned rateBits = first ? (st.rangecmp5 ? 28 : 26) : (st.rangecmp5 ? 16 : 14);
                if (first) {
                    rate = Clamp(std::llround(rangeRate / kRateUnit), -FieldMost(rateBits), FieldMost(rateBits));
                    w.PutSigned(rate, rateBits);
                    r.rangeRate = 0.0 + static_cast<double>(rate) * kRateUnit;
                    firstRate = r.rangeRate;
                } else {
                    rate = Clamp(std::llround((rangeRate - firstRate) / kRateUnit), -FieldMost(rateBits),
                                 FieldMost(rateBits));
                    w.PutSigned(rate, rateBits);
                    r.rangeRate = firstRate + static_cast<double>(rate) * kRateUnit;
                }
            }
            a = b;
        }
        s0 = s1;
    }
    if (w.Full()) return 0;
    le::PutU4(body, static_cast<uint32_t>(w.Bytes()));
    return 4 + w.Bytes();
}

} // namespace oem4sim
