#include "simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "common/le.h"
#include "oem4/packed_ranges.h"
#include "packed_encode.h"

namespace oem4sim {

namespace {

constexpr double kDeg = kPi / 180.0;
// Mean Earth radius: turns a scatter of metres into latitude and longitude.
constexpr double kEarthRadius = 6371000.0;
constexpr double kWgsA = 6378137.0;
constexpr double kWgsF = 1.0 / 298.257223563;
constexpr double kWgsE2 = kWgsF * (2.0 - kWgsF);
constexpr int64_t kWeekMs = 604800000;
constexpr int64_t kWeekSeconds = 604800;
// The L2 channel of a newly tracked satellite locks this long after L1.
constexpr double kL2AcquisitionDelay = 2.0;
// Whole cycles of the phase at lock. Receivers start the accumulated
// Doppler range near the code range (the packed range records carry the
// phase as a difference to the code, a few hundred metres at most).
constexpr double kAmbiguitySpan = 100.0;
// A satellite is taken up only a little above the mask, so that it does not
// drop out again at the next epoch through rounding.
constexpr double kRiseMargin = 0.05;

// ---- random numbers -------------------------------------------------------
// SplitMix64: tiny, fast and the same on every platform, unlike the
// distributions of the standard library.
struct Rng {
    uint64_t state;
    bool haveSpare = false;
    double spare = 0.0;

    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Uniform() * n) % n; }
    double Gauss() {
        if (haveSpare) {
            haveSpare = false;
            return spare;
        }
        double u1 = 0.0;
        while (u1 <= 0.0) u1 = Uniform();
        double u2 = Uniform();
        double r = std::sqrt(-2.0 * std::log(u1));
        spare = r * std::sin(2.0 * kPi * u2);
        haveSpare = true;
        return r * std::cos(2.0 * kPi * u2);
    }
};

// Independent streams per purpose: changing one feature (noise, slips,
// faults) leaves every other part of the scene as it was for the seed.
enum Stream : uint64_t {
    kStreamConstellation = 1,
    kStreamClock,
    kStreamSlips,
    kStreamAmbiguity,
    kStreamNoise,
    kStreamMarks,
    kStreamFaults,
    kStreamPosition,
};
Rng MakeStream(uint64_t seed, uint64_t stream) {
    Rng r{seed ^ (stream * 0xD1B54A32D192ED03ull)};
    r.Next();
    return r;
}

double WrapAngle(double a) {
    a = std::fmod(a + kPi, 2.0 * kPi);
    if (a < 0.0) a += 2.0 * kPi;
    return a - kPi;
}

// ---- geodesy -------------------------------------------------------------
void GeodeticToEcef(double lat, double lon, double h, double out[3]) {
    double s = std::sin(lat), c = std::cos(lat);
    double n = kWgsA / std::sqrt(1.0 - kWgsE2 * s * s);
    out[0] = (n + h) * c * std::cos(lon);
    out[1] = (n + h) * c * std::sin(lon);
    out[2] = (n * (1.0 - kWgsE2) + h) * s;
}

struct ReceiverState {
    double lat, lon, h; // radians, radians, metres
    double pos[3];
    double vel[3];
};

// The receiver at t seconds after the first epoch. A survey flight runs
// east and west along parallel lines joined by half-circle turns, stepping
// north one line spacing per line, with a gentle height undulation.
void ReceiverAt(const SimConfig &cfg, double t, ReceiverState *r) {
    const double lat0 = cfg.latitude * kDeg, lon0 = cfg.longitude * kDeg;
    double north = 0, east = 0, up = 0, vn = 0, ve = 0, vu = 0;
    if (cfg.motion == Motion::SurveyFlight) {
        const double v = cfg.speedKmh / 3.6, L = cfg.lineLength, rad = cfg.lineSpacing / 2.0;
        const double segment = L + kPi * rad;
        const double s = v * t;
        const double j = std::floor(s / segment);
        const double u = s - j * segment;
        const bool even = std::fmod(j, 2.0) == 0.0;
        if (u < L) {
            east = even ? u : L - u;
            ve = even ? v : -v;
            north = j * cfg.lineSpacing;
        } else {
            double th = (u - L) / rad;
            east = even ? L + rad * std::sin(th) : -rad * std::sin(th);
            ve = (even ? v : -v) * std::cos(th);
            north = j * cfg.lineSpacing + rad - rad * std::cos(th);
            vn = v * std::sin(th);
        }
        constexpr double kUndulation = 15.0, kPeriod = 90.0;
        up = kUndulation * std::sin(2.0 * kPi * t / kPeriod);
        vu = kUndulation * 2.0 * kPi / kPeriod * std::cos(2.0 * kPi * t / kPeriod);
    }
    // Local scale of the start point: the path is laid out in latitude and
    // longitude, so long flights keep their height above the ellipsoid.
    const double s0 = std::sin(lat0);
    const double w0 = std::sqrt(1.0 - kWgsE2 * s0 * s0);
    const double n0 = kWgsA / w0, m0 = kWgsA * (1.0 - kWgsE2) / (w0 * w0 * w0);
    r->lat = lat0 + north / m0;
    r->lon = lon0 + east / (n0 * std::cos(lat0));
    r->h = cfg.height + up;
    GeodeticToEcef(r->lat, r->lon, r->h, r->pos);
    const double latDot = vn / m0, lonDot = ve / (n0 * std::cos(lat0));
    const double sl = std::sin(r->lat), cl = std::cos(r->lat), so = std::sin(r->lon), co = std::cos(r->lon);
    const double w = std::sqrt(1.0 - kWgsE2 * sl * sl);
    const double n = kWgsA / w, m = kWgsA * (1.0 - kWgsE2) / (w * w * w);
    r->vel[0] = -(m + r->h) * sl * co * latDot - (n + r->h) * cl * so * lonDot + cl * co * vu;
    r->vel[1] = -(m + r->h) * sl * so * latDot + (n + r->h) * cl * co * lonDot + cl * so * vu;
    r->vel[2] = (m + r->h) * cl * latDot + sl * vu;
}

void ElevationAzimuth(const ReceiverState &rx, const double sat[3], double *el, double *az) {
    double d[3] = {sat[0] - rx.pos[0], sat[1] - rx.pos[1], sat[2] - rx.pos[2]};
    double sl = std::sin(rx.lat), cl = std::cos(rx.lat), so = std::sin(rx.lon), co = std::cos(rx.lon);
    double e = -so * d[0] + co * d[1];
    double n = -sl * co * d[0] - sl * so * d[1] + cl * d[2];
    double u = cl * co * d[0] + cl * so * d[1] + sl * d[2];
    *el = std::atan2(u, std::sqrt(e * e + n * n));
    double a = std::atan2(e, n);
    *az = a < 0.0 ? a + 2.0 * kPi : a;
}

// ---- atmosphere ------------------------------------------------------------
// Hydrostatic and wet zenith delays of a standard atmosphere, mapped with
// the Niell functions (seasonal term at its mean), the usual model of
// survey-grade processing.
struct NiellRow {
    double lat, a[3];
};
constexpr NiellRow kHydroAvg[5] = {{15, {0.0012769934, 0.0029153695, 0.062610505}},
                                   {30, {0.001268323, 0.0029152299, 0.062837393}},
                                   {45, {0.0012465397, 0.0029288445, 0.063721774}},
                                   {60, {0.0012196049, 0.0029022565, 0.063824265}},
                                   {75, {0.0012045996, 0.0029024912, 0.064258455}}};
constexpr NiellRow kHydroAmp[5] = {{15, {0.0, 0.0, 0.0}},
                                   {30, {1.2709626e-05, 2.1414979e-05, 9.01284e-05}},
                                   {45, {2.6523662e-05, 3.0160779e-05, 4.3497037e-05}},
                                   {60, {3.4000452e-05, 7.2562722e-05, 0.00084795348}},
                                   {75, {4.1202191e-05, 0.00011723375, 0.0017037206}}};
constexpr NiellRow kWet[5] = {{15, {0.00058021897, 0.0014275268, 0.043472961}},
                              {30, {0.00056794847, 0.0015138625, 0.04672951}},
                              {45, {0.00058118019, 0.0014572752, 0.043908931}},
                              {60, {0.00059727542, 0.0015007428, 0.044626982}},
                              {75, {0.00061641693, 0.0017599082, 0.054736038}}};

void NiellCoefficients(const NiellRow *table, double latDeg, double out[3]) {
    double l = std::fabs(latDeg);
    if (l <= 15.0) l = 15.0;
    if (l >= 75.0) l = 75.0;
    int i = std::min(3, static_cast<int>((l - 15.0) / 15.0));
    double w = (l - table[i].lat) / 15.0;
    for (int k = 0; k < 3; ++k) out[k] = table[i].a[k] + w * (table[i + 1].a[k] - table[i].a[k]);
}

double MapFraction(double s, const double a[3]) {
    return (1.0 + a[0] / (1.0 + a[1] / (1.0 + a[2]))) / (s + a[0] / (s + a[1] / (s + a[2])));
}

double TroposphericDelay(double lat, double h, double el) {
    const double hk = h / 1000.0;
    const double temp = 293.0 - 6.5 * hk;
    const double press = 1013.25 * std::pow(1.0 - 6.5 * hk / 293.0, 5.255876);
    const double d = 1.0 - 0.00266 * std::cos(2.0 * lat) - 2.8e-7 * h;
    const double zhd = 0.0022768 * press / d;
    const double es = 6.11 * std::pow(temp / 273.15, -5.3) * std::exp(25.2 * (temp - 273.15) / temp);
    const double zwd = 0.0022768 * (1255.0 / temp + 0.05) * 0.6 * es / d;
    const double latDeg = lat / kDeg, s = std::sin(el);
    double avg[3], amp[3], hyd[3], wet[3];
    NiellCoefficients(kHydroAvg, latDeg, avg);
    NiellCoefficients(kHydroAmp, latDeg, amp);
    for (int k = 0; k < 3; ++k) hyd[k] = avg[k] - 0.5 * amp[k];
    NiellCoefficients(kWet, latDeg, wet);
    static constexpr double kHeightCoef[3] = {2.53e-5, 5.49e-3, 1.14e-3};
    const double mh = MapFraction(s, hyd) + (1.0 / s - MapFraction(s, kHeightCoef)) * hk;
    return zhd * mh + zwd * MapFraction(s, wet);
}

// L1 ionospheric group delay: a day/night vertical delay peaking at 14:00
// local time, scaled by the single-layer obliquity factor.
double IonosphericDelayL1(double gpsSecondsOfDay, double lon, double el) {
    double local = std::fmod(gpsSecondsOfDay + lon / kDeg / 15.0 * 3600.0, 86400.0);
    if (local < 0) local += 86400.0;
    double phase = 2.0 * kPi * (local - 50400.0) / 86400.0;
    double vertical = 1.5 + 5.0 * std::max(0.0, std::cos(phase));
    double semicircles = el / kPi;
    double obliquity = 1.0 + 16.0 * std::pow(0.53 - semicircles, 3.0);
    return vertical * obliquity;
}

// ---- the constellation ----------------------------------------------------
struct PropagatedOrbit {
    double m0, omega0, i0, af0;
};

// The orbit of a satellite re-referenced to a time delta seconds after the
// constellation's reference, whose seconds of week are newSow. The broadcast
// node term subtracts the Earth rotation since the start of the toe's week,
// so a reference in a later week shifts the node by whole weeks of rotation.
PropagatedOrbit Propagate(const SatelliteOrbit &s, double refSow, double delta, double newSow, double sqrtA,
                          double deltaN, double omegaDot, double idot, double af1) {
    const double a = sqrtA * sqrtA;
    const double n = std::sqrt(kGpsMu / (a * a * a)) + deltaN;
    PropagatedOrbit p;
    p.m0 = WrapAngle(s.m0 + n * delta);
    p.omega0 = WrapAngle(s.omega0 + omegaDot * delta + kEarthRotation * (newSow - refSow - delta));
    p.i0 = s.i0 + idot * delta;
    p.af0 = s.af0 + af1 * delta;
    return p;
}

const double kP19 = std::ldexp(1.0, -19), kP29 = std::ldexp(1.0, -29), kP31 = std::ldexp(1.0, -31),
             kP33 = std::ldexp(1.0, -33), kP43 = std::ldexp(1.0, -43), kP5 = std::ldexp(1.0, -5);

// ---- record emission with optional damage ------------------------------
class Emitter {
public:
    Emitter(const SimConfig &cfg, SimSink *sink, SimStats *stats)
        : faults_(cfg.faults), sink_(sink), stats_(stats), rng_(MakeStream(cfg.seed, kStreamFaults)) {
        const FaultConfig &f = cfg.faults;
        damaging_ =
            f.flipRate > 0 || f.truncateRate > 0 || f.garbageRate > 0 || f.badLengthRate > 0 || f.badCountRate > 0;
    }

    bool Put(const uint8_t *rec, size_t len, uint16_t id, uint32_t week, int32_t ms) {
        if (failed_) return false;
        if (faults_.truncateTail) {
            // Hold each record back by one so that the last can be cut.
            if (heldLen_ > 0) Write(held_, heldLen_, heldId_, heldWeek_, heldMs_);
            std::memcpy(held_, rec, len);
            heldLen_ = len;
            heldId_ = id;
            heldWeek_ = week;
            heldMs_ = ms;
        } else {
            Write(rec, len, id, week, ms);
        }
        return !failed_;
    }

    bool Finish() {
        if (heldLen_ > 0 && !failed_) {
            Report(index_, heldId_, heldWeek_, heldMs_, "tail");
            Out(held_, heldLen_ / 2);
            ++stats_->records;
            ++index_;
        }
        heldLen_ = 0;
        return !failed_;
    }

private:
    void Out(const uint8_t *p, size_t n) {
        if (!failed_ && !sink_->Bytes(p, n)) failed_ = true;
        stats_->bytes += n;
    }
    void Report(uint64_t index, uint16_t id, uint32_t week, int32_t ms, const char *kind) {
        FaultTruth f{index, id, week, ms, kind};
        sink_->Fault(f);
        ++stats_->faults;
    }
    static bool Variable(uint16_t id) {
        return id == kMsgRange || id == kMsgRangecmp || id == kMsgAlmanac || id == kMsgRawalm;
    }

    void Write(const uint8_t *rec, size_t len, uint16_t id, uint32_t week, int32_t ms) {
        const uint64_t index = index_++;
        ++stats_->records;
        if (!damaging_) {
            Out(rec, len);
            return;
        }
        if (faults_.garbageRate > 0 && rng_.Uniform() < faults_.garbageRate) {
            uint8_t junk[64];
            size_t n = 1 + rng_.Below(64);
            for (size_t i = 0; i < n; ++i) junk[i] = static_cast<uint8_t>(rng_.Next());
            // Now and then a false start of a record, as a half-written
            // record of an interrupted logging session leaves behind.
            if (n >= 8 && rng_.Uniform() < 0.5) {
                std::memcpy(junk, kOem4Lead.data(), kOem4Lead.size());
            }
            Report(index, id, week, ms, "garbage");
            Out(junk, n);
        }
        double r = rng_.Uniform();
        double edge = faults_.flipRate;
        std::memcpy(scratch_, rec, len);
        if (r < edge) {
            size_t pos = rng_.Below(static_cast<uint32_t>(len));
            scratch_[pos] ^= static_cast<uint8_t>(1 + rng_.Below(255));
            Report(index, id, week, ms, "flip");
            Out(scratch_, len);
            return;
        }
        if (r < (edge += faults_.truncateRate)) {
            Report(index, id, week, ms, "truncate");
            Out(scratch_, 1 + rng_.Below(static_cast<uint32_t>(len - 1)));
            return;
        }
        if (r < (edge += faults_.badLengthRate)) {
            le::PutU2(scratch_ + 8, static_cast<uint16_t>(le::U2(scratch_ + 8) + 1));
            ResealRecord(scratch_, len);
            Report(index, id, week, ms, "length");
            Out(scratch_, len);
            return;
        }
        if (r < (edge += faults_.badCountRate) && Variable(id)) {
            uint8_t *count = scratch_ + kOem4HeaderLength + (id == kMsgRawalm ? kRawalmCountAt : 0);
            le::PutU4(count, le::U4(count) + 1);
            ResealRecord(scratch_, len);
            Report(index, id, week, ms, "count");
            Out(scratch_, len);
            return;
        }
        Out(scratch_, len);
    }

    FaultConfig faults_;
    SimSink *sink_;
    SimStats *stats_;
    Rng rng_;
    bool damaging_ = false;
    bool failed_ = false;
    uint64_t index_ = 0;
    uint8_t held_[kMaxRecordLength + 1];
    size_t heldLen_ = 0;
    uint16_t heldId_ = 0;
    uint32_t heldWeek_ = 0;
    int32_t heldMs_ = 0;
    uint8_t scratch_[kMaxRecordLength + 1];
};

// ---- the scene -------------------------------------------------------------
struct SatObservation {
    double pos[3], vel[3], clock, clockRate;
    double range, rangeRate, el, az;
};

struct SatCache {
    int64_t set = INT64_MIN; // ephemeris set currently broadcast
    BroadcastEphemeris eph;
    EphemerisValues values;
    int64_t sentSet = INT64_MIN; // last set logged
    double tau = 0.075;          // signal travel time at the last epoch it was computed
    double tauRate = 0.0;        // its rate of change
    double tauTime = -1e30;      // when
};

struct Track {
    int sat = -1; // index into the constellation, -1 = free channel
    double lockStart = 0, l2Start = 0;
    double n1 = 0, n2 = 0;
};

// One signal a satellite is observed on, in record order. `l2` takes the L2
// values (every signal after the first waits for the L2 acquisition);
// `inFile` says whether an observation file of one L1 and one L2 per GPS or
// GLONASS satellite has a place for it.
struct SimSignal {
    uint32_t signal; // tracking-status signal type
    bool l2;
    bool inFile;
};
constexpr SimSignal kGpsOem7Signals[] = {{0, false, true}, {9, true, true}, {17, true, false}, {14, true, false}};
constexpr SimSignal kGlonassSignals[] = {{0, false, true}, {5, true, true}};
constexpr SimSignal kGlonassOem7Signals[] = {{0, false, true}, {1, true, false}, {5, true, true}};
constexpr SimSignal kGalileoSignals[] = {{2, false, false}, {12, true, false}, {17, true, false}};
constexpr SimSignal kBeidouSignals[] = {{0, false, false}, {4, true, false}};
constexpr SimSignal kQzssSignals[] = {{0, false, false}, {17, true, false}, {14, true, false}};

constexpr uint32_t kSysGps = 0, kSysGlonass = 1, kSysGalileo = 3, kSysBeidou = 4, kSysQzss = 5;
constexpr int kMaxOtherChannels = 16;

// A system other than GPS: satellites on GPS-like orbits of a constellation
// of their own, tracked on channels of their own.
struct OtherSystem {
    uint32_t system = 0;
    int firstPrn = 1; // PRN of satellite 0
    int satCount = 0; // satellites of the constellation used
    const SimSignal *signals = nullptr;
    int signalCount = 0;
    Constellation con{};
    SatCache cache[kConstellationSize];
    Track tracks[kMaxOtherChannels];
    SatObservation obs[kMaxOtherChannels];
    int channels = 0;
};

class Scene {
public:
    Scene(const SimConfig &cfg, SimSink *sink, SimStats *stats)
        : cfg_(cfg), sink_(sink), stats_(stats), emit_(cfg, sink, stats), clockRng_(MakeStream(cfg.seed, kStreamClock)),
          slipRng_(MakeStream(cfg.seed, kStreamSlips)), ambRng_(MakeStream(cfg.seed, kStreamAmbiguity)),
          noiseRng_(MakeStream(cfg.seed, kStreamNoise)), markRng_(MakeStream(cfg.seed, kStreamMarks)),
          positionRng_(MakeStream(cfg.seed, kStreamPosition)) {}

    int Run();

private:
    SatCache &Current(int idx, double t) { return CurrentOf(con_, cache_, idx, t); }
    static SatCache &CurrentOf(const Constellation &con, SatCache *cache, int idx, double t);
    void Observe(int idx, double t, const ReceiverState &rx, SatObservation *o) {
        ObserveOf(con_, cache_, idx, t, rx, o);
    }
    static void ObserveOf(const Constellation &con, SatCache *cache, int idx, double t, const ReceiverState &rx,
                          SatObservation *o);
    bool Emit(size_t bodyLength, uint16_t id, uint32_t week, int32_t ms);
    bool EmitAlmanacs(uint32_t week, int32_t ms);
    bool EmitMarks(double tt);
    bool EmitRange(uint32_t week, int64_t sowMs, double tr, const ReceiverState &rx);
    void UpdateTracking(double tr, double tt, const ReceiverState &rx, bool searchSky) {
        UpdateTracks(con_, cache_, kConstellationSize, tracks_, obs_, channels_, tr, tt, rx, searchSky);
    }
    void UpdateTracks(const Constellation &con, SatCache *cache, int satCount, Track *tracks, SatObservation *obs,
                      int channels, double tr, double tt, const ReceiverState &rx, bool searchSky);
    struct RangeOut {
        uint8_t *body;
        size_t itemLen;
        bool cmp;
        uint32_t count;
        EpochTruth *et;
        bool packed; // RANGECMP2, RANGECMP4 or RANGECMP5: observations are collected, then encoded
    };
    void EmitSatellite(RangeOut *out, uint32_t system, int prn, int ch, const Track &tk, const SatObservation &o,
                       const SimSignal *signals, int signalCount, double tr, const ReceiverState &rx);
    void EmitOther(RangeOut *out, OtherSystem &sys, double tr, const ReceiverState &rx);
    void SetUpOtherSystems();
    void SplitReceiverSeconds(double rel, uint32_t *week, double *sow) const;

    const SimConfig &cfg_;
    SimSink *sink_;
    SimStats *stats_;
    Emitter emit_;
    Constellation con_{};
    SatCache cache_[kConstellationSize];
    Track tracks_[32];
    int channels_ = 12;
    int64_t refAbsSeconds_ = 0; // reference time (toe of set 0), whole seconds since week 0
    double refSow_ = 0;
    uint32_t refWeek_ = 0;
    double offset_ = 0, drift_ = 0;        // receiver clock at the current epoch
    double prevOffset_ = 0, prevTrue_ = 0; // at the previous epoch
    double firstTrue_ = 0;
    int64_t markIndex_ = 0;
    double nextMark_ = 0;
    Rng clockRng_, slipRng_, ambRng_, noiseRng_, markRng_, positionRng_;
    uint8_t record_[kMaxRecordLength + 1];
    std::vector<PackedObservation> packed_;
    std::unique_ptr<Rangecmp4Encoder> rangecmp4_; // or RANGECMP5's
    SatObservation obs_[32];
    std::vector<std::unique_ptr<OtherSystem>> others_;
};

SatCache &Scene::CurrentOf(const Constellation &con, SatCache *cache, int idx, double t) {
    SatCache &c = cache[idx];
    int64_t set = static_cast<int64_t>(std::floor(t / kEphemerisInterval + 0.5));
    if (set != c.set) {
        c.set = set;
        c.eph = EphemerisOfSet(con, idx, set);
        c.values = PhysicalValues(c.eph);
    }
    return c;
}

// The satellite as the receiver sees it at true reception time t (seconds
// from the reference): position at transmission in the Earth-fixed frame of
// reception, found by iterating the signal travel time.
void Scene::ObserveOf(const Constellation &con, SatCache *cache, int idx, double t, const ReceiverState &rx,
                      SatObservation *o) {
    SatCache &c = CurrentOf(con, cache, idx, t);
    const double toeRel = static_cast<double>(c.set) * kEphemerisInterval;
    SatellitePv pv{};
    // Start from the travel time extrapolated from the last computation:
    // two passes then reach the 1e-13 s tolerance.
    double tau = std::fabs(t - c.tauTime) < 30.0 ? c.tau + c.tauRate * (t - c.tauTime) : c.tau;
    double range = 0;
    for (int iter = 0; iter < 10; ++iter) {
        double tk = t - tau - toeRel;
        BroadcastSatellite(c.values, tk, tk, tau, &pv);
        double d0 = pv.pos[0] - rx.pos[0], d1 = pv.pos[1] - rx.pos[1], d2 = pv.pos[2] - rx.pos[2];
        range = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        double next = range / kSpeedOfLight;
        bool done = std::fabs(next - tau) < 1e-13;
        tau = next;
        if (done) break;
    }
    c.tau = tau;
    c.tauTime = t;
    std::memcpy(o->pos, pv.pos, sizeof o->pos);
    std::memcpy(o->vel, pv.vel, sizeof o->vel);
    o->clock = pv.clock;
    o->clockRate = pv.clockRate;
    o->range = range;
    double rr = 0;
    for (int k = 0; k < 3; ++k) rr += (pv.pos[k] - rx.pos[k]) * (pv.vel[k] - rx.vel[k]);
    o->rangeRate = rr / range;
    c.tauRate = o->rangeRate / kSpeedOfLight;
    ElevationAzimuth(rx, pv.pos, &o->el, &o->az);
}

bool Scene::Emit(size_t bodyLength, uint16_t id, uint32_t week, int32_t ms) {
    RecordHeader h{id, static_cast<uint16_t>(week), ms, cfg_.timeStatus};
    size_t len = FinishRecord(record_, h, bodyLength);
    return emit_.Put(record_, len, id, week, ms);
}

void Scene::SplitReceiverSeconds(double rel, uint32_t *week, double *sow) const {
    double s = refSow_ + rel;
    double weeks = std::floor(s / static_cast<double>(kWeekSeconds));
    *week = refWeek_ + static_cast<uint32_t>(static_cast<int64_t>(weeks));
    *sow = s - weeks * static_cast<double>(kWeekSeconds);
}

bool Scene::EmitAlmanacs(uint32_t week, int32_t ms) {
    // Almanac reference time: the 4096 s step nearest the start.
    double startSow = ms * 0.001;
    double toa = std::min(602112.0, std::floor(startSow / 4096.0 + 0.5) * 4096.0);
    double delta = toa - refSow_ + static_cast<double>(week - refWeek_) * kWeekSeconds;
    uint8_t *body = RecordBodyOf(record_);
    le::PutU4(body, kConstellationSize);
    BroadcastAlmanac pages[kConstellationSize];
    for (int i = 0; i < kConstellationSize; ++i) {
        const SatelliteOrbit &s = con_.sats[i];
        PropagatedOrbit p = Propagate(s, refSow_, delta, toa, s.sqrtA, s.deltaN, s.omegaDot, s.idot, s.af1);
        AlmanacItem a{};
        a.prn = static_cast<uint32_t>(s.prn);
        a.week = week;
        a.toa = toa;
        a.e = s.e;
        a.omegaDot = s.omegaDot;
        a.omega0 = p.omega0;
        a.omega = s.omega;
        a.m0 = p.m0;
        a.af0 = p.af0;
        a.af1 = s.af1;
        a.semiMajorAxis = s.sqrtA * s.sqrtA;
        a.meanMotion = std::sqrt(kGpsMu / (a.semiMajorAxis * a.semiMajorAxis * a.semiMajorAxis)) + s.deltaN;
        a.inclination = p.i0;
        a.svConfig = 1;
        a.healthPrn = s.health;
        a.healthAlm = s.health;
        a.antiSpoofing = 1;
        EncodeAlmanacItem(body + 4 + kAlmanacItemLength * i, a);

        BroadcastAlmanac &b = pages[i];
        b.prn = s.prn;
        b.e = QuantizeUnsigned(s.e, std::ldexp(1.0, -21), 16);
        b.toa = static_cast<uint32_t>(toa / 4096.0);
        b.deltaI = QuantizeSigned(p.i0 / kPi - 0.3, kP19, 16);
        b.omegaDot = QuantizeSigned(s.omegaDot / kPi, std::ldexp(1.0, -38), 16);
        b.health = s.health ? 0x3Fu : 0u;
        b.sqrtA = QuantizeUnsigned(s.sqrtA, std::ldexp(1.0, -11), 24);
        b.omega0 = QuantizeSigned(p.omega0 / kPi, std::ldexp(1.0, -23), 24);
        b.omega = QuantizeSigned(s.omega / kPi, std::ldexp(1.0, -23), 24);
        b.m0 = QuantizeSigned(p.m0 / kPi, std::ldexp(1.0, -23), 24);
        b.af0 = QuantizeSigned(p.af0, std::ldexp(1.0, -20), 11);
        b.af1 = QuantizeSigned(s.af1, std::ldexp(1.0, -38), 11);
    }
    if (!Emit(4 + kAlmanacItemLength * kConstellationSize, kMsgAlmanac, week, ms)) return false;

    le::PutU4(body + 0, week);
    le::PutU4(body + 4, static_cast<uint32_t>(ms / 1000));
    le::PutU4(body + 8, kConstellationSize);
    uint32_t tow = static_cast<uint32_t>(ms / 6000);
    for (int i = 0; i < kConstellationSize; ++i) {
        uint8_t *item = body + kRawalmFixedLength + kRawalmItemLength * i;
        le::PutU2(item, static_cast<uint16_t>(pages[i].prn));
        Subframe sf;
        EncodeAlmanacPage(pages[i], tow + static_cast<uint32_t>(i) * 5, &sf);
        RawSubframeBytes(sf, item + 2);
    }
    return Emit(kRawalmFixedLength + kRawalmItemLength * kConstellationSize, kMsgRawalm, week, ms);
}

// Camera pulses between the previous epoch and this one (true time tt).
bool Scene::EmitMarks(double tt) {
    if (cfg_.markInterval <= 0) return true;
    while (nextMark_ <= tt) {
        double t = nextMark_;
        double span = tt - prevTrue_;
        double off = span > 0 ? prevOffset_ + (offset_ - prevOffset_) * (t - prevTrue_) / span : offset_;
        ReceiverState rx;
        ReceiverAt(cfg_, t - firstTrue_, &rx);
        MarkTruth m{};
        SplitReceiverSeconds(t, &m.week, &m.gpsSeconds);
        uint32_t rweek;
        double rsow;
        SplitReceiverSeconds(t + off, &rweek, &rsow);
        m.receiverSeconds = rsow;
        m.latitude = rx.lat / kDeg;
        m.longitude = rx.lon / kDeg;
        m.height = rx.h;
        MarktimeBody body{rweek, rsow, off, 1e-8, -14.0, 0};
        EncodeMarktime(RecordBodyOf(record_), body);
        if (!Emit(kMarktimeLength, kMsgMarktime, rweek, static_cast<int32_t>(std::floor(rsow * 1000.0)))) return false;
        sink_->Mark(m);
        ++stats_->marks;
        ++markIndex_;
        nextMark_ = firstTrue_ + (static_cast<double>(markIndex_) + 0.5) * cfg_.markInterval +
                    markRng_.Uniform(-0.1, 0.1) * cfg_.markInterval;
    }
    return true;
}

void Scene::UpdateTracks(const Constellation &con, SatCache *cache, int satCount, Track *tracks, SatObservation *obs,
                         int channels, double tr, double tt, const ReceiverState &rx, bool searchSky) {
    const double mask = cfg_.elevationMask * kDeg;
    // Satellites that set below the mask lose their channel.
    for (int ch = 0; ch < channels; ++ch) {
        Track &tk = tracks[ch];
        if (tk.sat < 0) continue;
        ObserveOf(con, cache, tk.sat, tt, rx, &obs[ch]);
        if (obs[ch].el < mask) tk.sat = -1;
    }
    if (!searchSky) return;
    bool tracked[kConstellationSize] = {};
    int free = 0;
    for (int ch = 0; ch < channels; ++ch) {
        if (tracks[ch].sat >= 0)
            tracked[tracks[ch].sat] = true;
        else
            ++free;
    }
    if (free == 0) return;
    // Rising satellites, highest first, into the free channels.
    struct Candidate {
        int sat;
        double el;
    } cand[kConstellationSize];
    int nc = 0;
    for (int i = 0; i < satCount; ++i) {
        if (tracked[i]) continue;
        // One evaluation with a nominal travel time is plenty to decide
        // whether a satellite is up.
        SatCache &c = CurrentOf(con, cache, i, tt);
        double tk = tt - 0.075 - static_cast<double>(c.set) * kEphemerisInterval;
        SatellitePv pv;
        BroadcastSatellite(c.values, tk, tk, 0.075, &pv);
        double el, az;
        ElevationAzimuth(rx, pv.pos, &el, &az);
        if (el >= mask + kRiseMargin * kDeg) cand[nc++] = {i, el};
    }
    std::sort(cand, cand + nc,
              [](const Candidate &a, const Candidate &b) { return a.el != b.el ? a.el > b.el : a.sat < b.sat; });
    int next = 0;
    for (int ch = 0; ch < channels && next < nc; ++ch) {
        if (tracks[ch].sat >= 0) continue;
        Track &tk = tracks[ch];
        tk.sat = cand[next++].sat;
        tk.lockStart = tr;
        tk.l2Start = tr + kL2AcquisitionDelay;
        tk.n1 = std::floor(ambRng_.Uniform(-kAmbiguitySpan, kAmbiguitySpan));
        tk.n2 = std::floor(ambRng_.Uniform(-kAmbiguitySpan, kAmbiguitySpan));
        ObserveOf(con, cache, tk.sat, tt, rx, &obs[ch]);
    }
}

// One satellite's observations, signal by signal. GPS without a signal
// table is the older receivers' pair: L1 C/A and L2 P codeless.
// Over 60 lines: each signal's code, phase, Doppler, strength and lock
// come from the same geometry, computed once above the signal loop.
void Scene::EmitSatellite(RangeOut *out, uint32_t system, int prn, int ch, const Track &tk, const SatObservation &o,
                          const SimSignal *signals, int signalCount, double tr, const ReceiverState &rx) {
    EpochTruth &et = *out->et;
    const double ionoRatio = (kL1Frequency / kL2Frequency) * (kL1Frequency / kL2Frequency);
    const double secondsOfDay = std::fmod(et.gpsSeconds, 86400.0);
    const double tropo = cfg_.tropo ? TroposphericDelay(rx.lat, rx.h, o.el) : 0.0;
    const double iono = cfg_.iono ? IonosphericDelayL1(secondsOfDay, rx.lon, o.el) : 0.0;
    const double clocks = kSpeedOfLight * (offset_ - o.clock);
    const double base = o.range + clocks + tropo;
    const double cno1 = 37.0 + 13.0 * std::sin(o.el) + (cfg_.noise ? 0.3 * noiseRng_.Gauss() : 0.0);
    const double cno2 = cno1 - 6.0;
    const double sigma1 = 0.15 * std::pow(10.0, (45.0 - cno1) / 20.0), sigma2 = 2.0 * sigma1;
    const double adrSigma = 0.003;
    double e1 = 0, e2 = 0, ep1 = 0, ep2 = 0, ed = 0;
    if (cfg_.noise) {
        e1 = sigma1 * noiseRng_.Gauss();
        e2 = sigma2 * noiseRng_.Gauss();
        ep1 = adrSigma * noiseRng_.Gauss();
        ep2 = adrSigma * noiseRng_.Gauss();
        ed = 0.03 * noiseRng_.Gauss();
    }
    const bool hasL2 = tr >= tk.l2Start;
    const double rangeRate = o.rangeRate + kSpeedOfLight * (drift_ - o.clockRate);
    // GLONASS frequency channels -7..+6, fixed per satellite.
    const uint16_t glonassFrequency = system == kSysGlonass ? static_cast<uint16_t>(prn % 14) : 0;

    RangeObservation l1{};
    l1.prn = static_cast<uint16_t>(prn);
    l1.pseudorange = base + iono + e1;
    l1.pseudorangeSigma = static_cast<float>(sigma1);
    l1.adr = -((base - iono) / kL1Wavelength + tk.n1 + ep1);
    l1.adrSigma = static_cast<float>(adrSigma);
    l1.doppler = static_cast<float>(-rangeRate / kL1Wavelength + ed);
    l1.cno = static_cast<float>(cno1);
    l1.lockTime = static_cast<float>(tr - tk.lockStart);
    l1.glonassFrequency = glonassFrequency;
    RangeObservation l2 = l1;
    l2.pseudorange = base + iono * ionoRatio + e2;
    l2.pseudorangeSigma = static_cast<float>(sigma2);
    l2.adr = -((base - iono * ionoRatio) / kL2Wavelength + tk.n2 + ep2);
    l2.doppler = static_cast<float>(-rangeRate / kL2Wavelength + ed * kL1Wavelength / kL2Wavelength);
    l2.cno = static_cast<float>(cno2);
    l2.lockTime = static_cast<float>(tr - tk.l2Start);

    auto put = [&](const RangeObservation &v) {
        if (out->packed) {
            // The packed records name the signal; the older receivers' L2
            // of GPS is P(Y).
            uint32_t signal = TrackingSignal(v.status);
            if (system == kSysGps && signals == nullptr && ObsFrequency(v.status) == kFrequencyL2) signal = 9;
            packed_.push_back({system, signal, v.prn, v.glonassFrequency, v.pseudorange, v.adr, v.doppler, v.cno,
                               v.lockTime, v.pseudorangeSigma, v.adrSigma, static_cast<uint32_t>(ch)});
            ++out->count;
            return;
        }
        uint8_t *item = out->body + 4 + out->itemLen * out->count;
        if (out->cmp)
            EncodeRangecmpItem(item, v);
        else
            EncodeRangeItem(item, v);
        ++out->count;
    };
    if (signals == nullptr) {
        l1.status = EncodeChannelStatus({static_cast<uint32_t>(ch), false, true, true, true, hasL2});
        put(l1);
        if (hasL2) {
            l2.status = EncodeChannelStatus({static_cast<uint32_t>(ch), true, true, true, true, true});
            put(l2);
        }
    } else {
        // Each signal's phase and Doppler on its own carrier, as a receiver
        // logs them (GLONASS on the satellite's frequency channel); the
        // truth keeps the L1 signal and the L2 signal the file takes.
        bool l2Taken = false;
        for (int k = 0; k < signalCount; ++k) {
            const SimSignal &sig = signals[k];
            if (k > 0 && !hasL2) break;
            RangeObservation v = sig.l2 ? l2 : l1;
            const double f = SignalFrequency(system, sig.signal, static_cast<int8_t>(glonassFrequency - 7));
            if (f > 0.0) {
                const double lambda = kSpeedOfLight / f;
                const double ionoHere = sig.l2 ? iono * ionoRatio : iono;
                v.adr = -((base - ionoHere) / lambda + (sig.l2 ? tk.n2 + ep2 : tk.n1 + ep1));
                v.doppler = static_cast<float>(-rangeRate / lambda + ed * kL1Wavelength / lambda);
            }
            v.status = EncodeSignalStatus(static_cast<uint32_t>(ch), system, sig.signal, k == 0);
            put(v);
            if (!sig.inFile) ++et.leftOut[system];
            if (!sig.l2) {
                l1.adr = v.adr;
                l1.doppler = v.doppler;
            } else if (sig.inFile && !l2Taken) {
                l2.adr = v.adr;
                l2Taken = true;
            }
        }
    }
    if (system == kSysGps) {
        et.prns[et.satelliteCount++] = prn;
    } else if (system == kSysGlonass) {
        if (et.glonassCount < 16) et.glonassPrns[et.glonassCount++] = prn;
    } else {
        ++et.otherCount;
    }
    if (cfg_.satelliteTruth) {
        SatelliteTruth st{};
        st.week = et.week;
        st.receiverSeconds = et.receiverSeconds;
        st.prn = prn;
        st.system = system;
        st.elevation = o.el / kDeg;
        st.azimuth = o.az / kDeg;
        st.range = o.range;
        std::memcpy(st.satPos, o.pos, sizeof st.satPos);
        st.satClock = o.clock;
        st.tropo = tropo;
        st.ionoL1 = iono;
        st.ambiguityL1 = tk.n1;
        st.ambiguityL2 = tk.n2;
        st.lockL1 = tr - tk.lockStart;
        st.lockL2 = hasL2 ? tr - tk.l2Start : -1.0;
        st.pseudorangeL1 = l1.pseudorange;
        st.adrL1 = l1.adr;
        st.dopplerL1 = l1.doppler;
        st.pseudorangeL2 = hasL2 ? l2.pseudorange : 0.0;
        st.adrL2 = hasL2 ? l2.adr : 0.0;
        sink_->Satellite(st);
    }
}

void Scene::EmitOther(RangeOut *out, OtherSystem &sys, double tr, const ReceiverState &rx) {
    for (int ch = 0; ch < sys.channels; ++ch) {
        const Track &tk = sys.tracks[ch];
        if (tk.sat < 0) continue;
        EmitSatellite(out, sys.system, sys.firstPrn + tk.sat, channels_ + ch, tk, sys.obs[ch], sys.signals,
                      sys.signalCount, tr, rx);
    }
}

bool Scene::EmitRange(uint32_t week, int64_t sowMs, double tr, const ReceiverState &rx) {
    const bool cmp = cfg_.format == RangeFormat::Rangecmp;
    const bool packed = cfg_.format == RangeFormat::Rangecmp2 || cfg_.format == RangeFormat::Rangecmp4 ||
                        cfg_.format == RangeFormat::Rangecmp5;
    const size_t itemLen = cmp ? kCompressedObsSize : kRangeObsSize;
    packed_.clear();
    EpochTruth et{};
    et.week = week;
    et.receiverSeconds = static_cast<double>(sowMs) * 0.001;
    et.gpsSeconds = et.receiverSeconds - offset_;
    et.latitude = rx.lat / kDeg;
    et.longitude = rx.lon / kDeg;
    et.height = rx.h;
    std::memcpy(et.ecef, rx.pos, sizeof et.ecef);
    et.clockOffset = offset_;
    et.clockDrift = drift_;
    RangeOut out{RecordBodyOf(record_), itemLen, cmp, 0, &et, packed};

    OtherSystem *glonass = nullptr;
    for (auto &o : others_)
        if (o->system == kSysGlonass) glonass = o.get();
    if (cfg_.glonassFirst && glonass != nullptr) EmitOther(&out, *glonass, tr, rx);
    const SimSignal *gpsSignals = cfg_.oem7Signals ? kGpsOem7Signals : nullptr;
    for (int ch = 0; ch < channels_; ++ch) {
        const Track &tk = tracks_[ch];
        if (tk.sat < 0) continue;
        EmitSatellite(&out, kSysGps, con_.sats[tk.sat].prn, ch, tk, obs_[ch], gpsSignals,
                      static_cast<int>(std::size(kGpsOem7Signals)), tr, rx);
    }
    for (auto &o : others_) {
        if (o.get() == glonass && cfg_.glonassFirst) continue;
        EmitOther(&out, *o, tr, rx);
    }
    if (packed) {
        const size_t room = kMaxRecordLength - kOem4HeaderLength - kOem4CrcLength;
        const bool two = cfg_.format == RangeFormat::Rangecmp2, five = cfg_.format == RangeFormat::Rangecmp5;
        if (!two && rangecmp4_ == nullptr) rangecmp4_ = std::make_unique<Rangecmp4Encoder>(five);
        const size_t length = two ? EncodeRangecmp2Body(out.body, room, packed_.data(), packed_.size())
                                  : rangecmp4_->Encode(out.body, room, packed_.data(), packed_.size(), week, sowMs);
        const uint16_t id = two ? kMsgRangecmp2 : five ? kMsgRangecmp5 : kMsgRangecmp4;
        if (length == 0 || !Emit(length, id, week, static_cast<int32_t>(sowMs))) return false;
    } else {
        le::PutU4(out.body, out.count);
        if (!Emit(4 + itemLen * out.count, cmp ? kMsgRangecmp : kMsgRange, week, static_cast<int32_t>(sowMs)))
            return false;
    }
    sink_->Epoch(et);
    ++stats_->epochs;
    return true;
}

// The systems besides GPS, each with a constellation of its own seed.
void Scene::SetUpOtherSystems() {
    struct Kind {
        uint32_t system;
        int firstPrn, satCount;
        const SimSignal *signals, *oem7Signals;
        int signalCount, oem7SignalCount;
    };
    const Kind kinds[] = {
        {kSysGlonass, 38, 24, kGlonassSignals, kGlonassOem7Signals, 2, 3},
        {kSysGalileo, 1, 30, kGalileoSignals, kGalileoSignals, 3, 3},
        {kSysBeidou, 1, 30, kBeidouSignals, kBeidouSignals, 2, 2},
        {kSysQzss, 193, 4, kQzssSignals, kQzssSignals, 3, 3},
    };
    for (const Kind &k : kinds) {
        if ((cfg_.otherSystems & SystemBit(k.system)) == 0) continue;
        auto sys = std::make_unique<OtherSystem>();
        sys->system = k.system;
        sys->firstPrn = k.firstPrn;
        sys->satCount = k.satCount;
        sys->signals = cfg_.oem7Signals ? k.oem7Signals : k.signals;
        sys->signalCount = cfg_.oem7Signals ? k.oem7SignalCount : k.signalCount;
        sys->channels = cfg_.otherMaxSatellites;
        GenerateConstellation(cfg_.seed * 7919u + k.system, refWeek_, refSow_, 0, &sys->con);
        others_.push_back(std::move(sys));
    }
}

// Over 60 lines: the epoch loop emits the records in the order a receiver
// logs them; that order is the point of it, so it is kept in one place.
int Scene::Run() {
    channels_ = cfg_.maxSatellites;
    const int64_t intervalMs = std::llround(1000.0 / cfg_.rate);
    const int64_t startAbsMs =
        static_cast<int64_t>(cfg_.startWeek) * kWeekMs + std::llround(cfg_.startSeconds * 1000.0);
    const int64_t epochs = std::max<int64_t>(1, std::llround(cfg_.duration * cfg_.rate));
    const int64_t step = static_cast<int64_t>(kEphemerisInterval);
    refAbsSeconds_ = (startAbsMs / 1000) / step * step;
    refWeek_ = static_cast<uint32_t>(refAbsSeconds_ / kWeekSeconds);
    refSow_ = static_cast<double>(refAbsSeconds_ % kWeekSeconds);
    GenerateConstellation(cfg_.seed, refWeek_, refSow_, cfg_.unhealthyPrn, &con_);
    SetUpOtherSystems();

    offset_ = clockRng_.Uniform(-5e-7, 5e-7);
    drift_ = clockRng_.Uniform(-2e-10, 2e-10);
    const double dt = static_cast<double>(intervalMs) * 0.001;
    const double pSlip = cfg_.slipsPerHour * dt / 3600.0;

    for (int64_t i = 0; i < epochs; ++i) {
        const int64_t absMs = startAbsMs + i * intervalMs;
        const uint32_t week = static_cast<uint32_t>(absMs / kWeekMs);
        const int64_t sowMs = absMs % kWeekMs;
        const double tr = static_cast<double>(absMs - refAbsSeconds_ * 1000) * 0.001;
        if (i > 0) {
            // A steered oscillator: the drift wanders and is pulled back
            // so that the offset stays within a few microseconds.
            prevOffset_ = offset_;
            drift_ += (-offset_ / 1000.0 - drift_) * (dt / 300.0) + 2e-12 * std::sqrt(dt) * clockRng_.Gauss();
            offset_ += drift_ * dt;
        }
        const double tt = tr - offset_;
        if (i == 0) {
            firstTrue_ = prevTrue_ = tt;
            prevOffset_ = offset_;
            nextMark_ = tt + 0.5 * cfg_.markInterval + markRng_.Uniform(-0.1, 0.1) * cfg_.markInterval;
        }
        ReceiverState rx;
        ReceiverAt(cfg_, tt - firstTrue_, &rx);

        if (i == 0 && cfg_.almanac && !EmitAlmanacs(week, static_cast<int32_t>(sowMs))) return 2;
        if (i > 0 && !EmitMarks(tt)) return 2;

        // Slips first: they restart the lock of satellites already tracked.
        if (pSlip > 0) {
            for (int ch = 0; ch < channels_; ++ch) {
                Track &tk = tracks_[ch];
                if (tk.sat < 0 || slipRng_.Uniform() >= pSlip) continue;
                bool both = slipRng_.Uniform() < 0.7 || tr < tk.l2Start;
                SlipTruth sl{week, static_cast<double>(sowMs) * 0.001, con_.sats[tk.sat].prn, both, true};
                if (both) {
                    tk.lockStart = tr;
                    tk.n1 = std::floor(ambRng_.Uniform(-kAmbiguitySpan, kAmbiguitySpan));
                }
                tk.l2Start = std::max(tk.l2Start, tr);
                tk.n2 = std::floor(ambRng_.Uniform(-kAmbiguitySpan, kAmbiguitySpan));
                sink_->Slip(sl);
                ++stats_->slips;
            }
        }
        // The receiver looks for rising satellites every ten seconds.
        const bool searchSky = i == 0 || intervalMs >= 10000 || sowMs % 10000 == 0;
        UpdateTracking(tr, tt, rx, searchSky);
        for (auto &o : others_) {
            UpdateTracks(o->con, o->cache, o->satCount, o->tracks, o->obs, o->channels, tr, tt, rx, searchSky);
        }

        // Broadcast ephemerides of tracked satellites, when first seen and
        // at every new set, and all of them again when a repeat is due.
        const bool repeatDue = cfg_.ephemerisEvery != 0 && sowMs % (int64_t{1000} * cfg_.ephemerisEvery) == 0;
        for (int ch = 0; ch < channels_; ++ch) {
            if (tracks_[ch].sat < 0) continue;
            SatCache &c = Current(tracks_[ch].sat, tt);
            if (c.sentSet == c.set && !repeatDue) continue;
            const bool repeat = c.sentSet == c.set;
            c.sentSet = c.set;
            uint32_t tow = static_cast<uint32_t>(sowMs / 6000);
            if (cfg_.ephemerisRecords != EphemerisRecords::Gpsephem) {
                EncodeRawephem(RecordBodyOf(record_), c.eph, week, static_cast<uint32_t>(sowMs / 1000),
                               tow >= 3 ? tow - 3 : 0);
                if (!Emit(kRawephemLength, kMsgRawephem, week, static_cast<int32_t>(sowMs))) return 2;
            }
            if (cfg_.ephemerisRecords != EphemerisRecords::Rawephem) {
                EncodeGpsephem(RecordBodyOf(record_), c.eph, static_cast<double>(sowMs / 1000));
                if (!Emit(kGpsephemLength, kMsgGpsephem, week, static_cast<int32_t>(sowMs))) return 2;
            }
            if (repeat) continue; // the truth and the summary count sets
            sink_->Ephemeris({week, static_cast<double>(sowMs) * 0.001, c.eph});
            ++stats_->ephemerides;
        }

        if (intervalMs >= 1000 || sowMs % 1000 == 0) {
            ClockModelBody cm{kSpeedOfLight * offset_, 2.0, kSpeedOfLight * drift_, 0};
            EncodeClockModel(RecordBodyOf(record_), cm);
            if (!Emit(kClockModelLength, kMsgClockModel, week, static_cast<int32_t>(sowMs))) return 2;
            int used = 0;
            for (int ch = 0; ch < channels_; ++ch) used += tracks_[ch].sat >= 0;
            // A smooth stand-in for the geoid, stored as the record holds it.
            float undulation = static_cast<float>(47.0 + 4.0 * std::sin(rx.lat * 3.0) * std::cos(rx.lon * 2.0));
            // The logged solution: the true position, moved by the
            // receiver's scatter (one east, north, up offset for both
            // records of the second).
            double east = 0.0, north = 0.0, up = 0.0;
            if (cfg_.positionNoise > 0.0) {
                east = cfg_.positionNoise * positionRng_.Gauss();
                north = cfg_.positionNoise * positionRng_.Gauss();
                up = cfg_.positionNoise * positionRng_.Gauss();
            }
            const double sinLat = std::sin(rx.lat), cosLat = std::cos(rx.lat);
            const double sinLon = std::sin(rx.lon), cosLon = std::cos(rx.lon);
            BestposBody bp{};
            bp.solutionStatus = 0;
            bp.positionType = 16;
            bp.latitude = (rx.lat + north / kEarthRadius) / kDeg;
            bp.longitude = (rx.lon + east / (kEarthRadius * cosLat)) / kDeg;
            bp.heightMsl = rx.h + up - static_cast<double>(undulation);
            bp.undulation = undulation;
            bp.latSigma = 1.2f;
            bp.lonSigma = 0.9f;
            bp.heightSigma = 2.1f;
            bp.satellitesTracked = static_cast<uint8_t>(used);
            bp.satellitesUsed = static_cast<uint8_t>(used);
            if (cfg_.positionRecords != PositionRecords::Bestxyz) {
                EncodeBestpos(RecordBodyOf(record_), bp);
                if (!Emit(kBestposLength, kMsgBestpos, week, static_cast<int32_t>(sowMs))) return 2;
            }
            if (cfg_.positionRecords != PositionRecords::Bestpos) {
                BestxyzBody xyz{};
                xyz.positionType = 16;
                const double offset[3] = {-sinLon * east - sinLat * cosLon * north + cosLat * cosLon * up,
                                          cosLon * east - sinLat * sinLon * north + cosLat * sinLon * up,
                                          cosLat * north + sinLat * up};
                for (int k = 0; k < 3; ++k) {
                    xyz.position[k] = rx.pos[k] + offset[k];
                    xyz.velocity[k] = rx.vel[k];
                    xyz.velocitySigma[k] = 0.05f;
                }
                xyz.positionSigma[0] = 1.3f;
                xyz.positionSigma[1] = 1.6f;
                xyz.positionSigma[2] = 1.4f;
                xyz.satellitesTracked = static_cast<uint8_t>(used);
                xyz.satellitesUsed = static_cast<uint8_t>(used);
                EncodeBestxyz(RecordBodyOf(record_), xyz);
                if (!Emit(kBestxyzLength, kMsgBestxyz, week, static_cast<int32_t>(sowMs))) return 2;
            }
        }
        if (!EmitRange(week, sowMs, tr, rx)) return 2;
        prevTrue_ = tt;
    }
    return emit_.Finish() ? 0 : 2;
}

} // namespace

std::string CheckConfig(const SimConfig &c) {
    if (!(c.duration > 0.0) || c.duration > 8.0 * 86400.0) return "duration must be above 0 and at most 8 days";
    if (!(c.rate > 0.0) || c.rate > 100.0) return "rate must be above 0 and at most 100 Hz";
    double ms = 1000.0 / c.rate;
    if (std::fabs(ms - std::nearbyint(ms)) > 1e-9) return "1000 / rate must be a whole number of milliseconds";
    if (c.startWeek > 65000) return "start week out of range";
    if (!(c.startSeconds >= 0.0) || c.startSeconds >= 604800.0 ||
        std::fabs(c.startSeconds * 1000.0 - std::nearbyint(c.startSeconds * 1000.0)) > 1e-6)
        return "start seconds must be whole milliseconds within the week";
    if (!(std::fabs(c.latitude) <= 85.0) || !(std::fabs(c.longitude) <= 180.0))
        return "latitude or longitude out of range";
    if (!(c.height >= -500.0 && c.height <= 20000.0)) return "height must be between -500 and 20000 m";
    if (c.maxSatellites < 1 || c.maxSatellites > 32) return "tracked satellites must be 1 to 32";
    if ((c.otherSystems & ~kOtherSystemsAllowed) != 0) return "other systems must be GLONASS, Galileo, BeiDou, QZSS";
    if (c.otherSystems != 0 && (c.otherMaxSatellites < 1 || c.otherMaxSatellites > kMaxOtherChannels))
        return "tracked satellites per other system must be 1 to 16";
    // Every observation of an epoch must fit one record: GPS has up to 4
    // signals, the others up to 3.
    if (c.otherSystems != 0) {
        const int observations = 4 * c.maxSatellites + 3 * 4 * c.otherMaxSatellites;
        // The packed records take less than RANGECMP's 24 bytes a signal.
        const int item = c.format == RangeFormat::Range ? 44 : 24;
        if (28 + 4 + observations * item + 4 > static_cast<int>(kMaxRecordLength))
            return "too many satellites for one range record; lower --max-sats or --other-max-sats";
    }
    if (!(c.elevationMask >= 0.0 && c.elevationMask <= 60.0)) return "elevation mask must be 0 to 60 degrees";
    if (c.motion == Motion::SurveyFlight &&
        (!(c.speedKmh > 0.0 && c.speedKmh <= 1000.0) || !(c.lineLength > 0.0) || !(c.lineSpacing > 0.0)))
        return "flight speed, line length and spacing must be positive";
    if (!(c.markInterval >= 0.0) || (c.markInterval > 0.0 && c.markInterval < 0.01))
        return "mark interval must be 0 or at least 0.01 s";
    if (!(c.slipsPerHour >= 0.0 && c.slipsPerHour <= 3600.0)) return "slip rate must be 0 to 3600 per hour";
    if (c.unhealthyPrn < 0 || c.unhealthyPrn > 32) return "unhealthy PRN must be 0 to 32";
    const FaultConfig &f = c.faults;
    for (double r : {f.flipRate, f.truncateRate, f.garbageRate, f.badLengthRate, f.badCountRate})
        if (!(r >= 0.0 && r <= 1.0)) return "fault rates must be between 0 and 1";
    if (f.flipRate + f.truncateRate + f.badLengthRate + f.badCountRate > 1.0)
        return "flip, truncate, length and count rates must add up to at most 1";
    return "";
}

void GenerateConstellation(uint64_t seed, uint32_t referenceWeek, double referenceSeconds, int unhealthyPrn,
                           Constellation *out) {
    Rng r = MakeStream(seed, kStreamConstellation);
    out->referenceWeek = referenceWeek;
    out->referenceSeconds = referenceSeconds;
    int prns[32];
    for (int i = 0; i < 32; ++i) prns[i] = i + 1;
    for (int i = 31; i > 0; --i) std::swap(prns[i], prns[r.Below(static_cast<uint32_t>(i + 1))]);
    static constexpr int kPlaneSizes[6] = {5, 5, 5, 5, 5, 6};
    const double node0 = r.Uniform(-kPi, kPi);
    int idx = 0;
    for (int p = 0; p < 6; ++p) {
        for (int k = 0; k < kPlaneSizes[p]; ++k, ++idx) {
            SatelliteOrbit &s = out->sats[idx];
            s.prn = prns[idx];
            s.plane = p;
            s.sqrtA = 5153.6 + r.Uniform(-0.5, 0.5);
            s.e = r.Uniform(0.001, 0.02);
            s.i0 = (55.0 + r.Uniform(-1.5, 1.5)) * kDeg;
            s.omega0 = WrapAngle(node0 + p * kPi / 3.0 + r.Uniform(-0.5, 0.5) * kDeg);
            s.omega = r.Uniform(-kPi, kPi);
            // Slots spread unevenly round the plane, planes offset from
            // each other, as in the real constellation.
            double u = 2.0 * kPi * k / kPlaneSizes[p] + p * 15.0 * kDeg + r.Uniform(-12.0, 12.0) * kDeg;
            s.m0 = WrapAngle(u - s.omega);
            s.deltaN = r.Uniform(3.8e-9, 5.2e-9);
            s.omegaDot = r.Uniform(-8.6e-9, -7.6e-9);
            s.idot = r.Uniform(-4e-10, 4e-10);
            s.cuc = r.Uniform(-1e-5, 1e-5);
            s.cus = r.Uniform(-1e-5, 1e-5);
            s.crc = r.Uniform(150.0, 350.0);
            s.crs = r.Uniform(-120.0, 120.0);
            s.cic = r.Uniform(-2e-7, 2e-7);
            s.cis = r.Uniform(-2e-7, 2e-7);
            s.af0 = r.Uniform(-4e-4, 4e-4);
            s.af1 = r.Uniform(-8e-12, 8e-12);
            s.tgd = r.Uniform(-1.2e-8, 1.2e-8);
            s.iodeBase = static_cast<uint32_t>(r.Next() & 0xFF);
            s.iodcHigh = static_cast<uint32_t>(r.Next() & 3);
            s.health = s.prn == unhealthyPrn ? 0x3Fu : 0u;
        }
    }
}

BroadcastEphemeris EphemerisOfSet(const Constellation &c, int index, int64_t set) {
    const SatelliteOrbit &s = c.sats[index];
    const int64_t refAbs =
        static_cast<int64_t>(c.referenceWeek) * kWeekSeconds + static_cast<int64_t>(c.referenceSeconds);
    const int64_t toeAbs = refAbs + set * static_cast<int64_t>(kEphemerisInterval);
    const double delta = static_cast<double>(set) * kEphemerisInterval;
    BroadcastEphemeris e{};
    e.prn = s.prn;
    e.weekFull = static_cast<uint32_t>(toeAbs / kWeekSeconds);
    e.week10 = e.weekFull % 1024u;
    e.l2Code = 1;
    e.uraIndex = 0;
    e.health = s.health;
    e.iode = static_cast<uint32_t>(((static_cast<int64_t>(s.iodeBase) + set) % 256 + 256) % 256);
    e.iodc = (s.iodcHigh << 8) | e.iode;
    const uint32_t toeSow = static_cast<uint32_t>(toeAbs % kWeekSeconds);
    e.toe = toeSow / 16;
    e.toc = e.toe;
    e.sqrtA = QuantizeUnsigned(s.sqrtA, kP19, 32);
    e.e = QuantizeUnsigned(s.e, kP33, 32);
    e.deltaN = QuantizeSigned(s.deltaN / kPi, kP43, 16);
    e.omegaDot = QuantizeSigned(s.omegaDot / kPi, kP43, 24);
    e.idot = QuantizeSigned(s.idot / kPi, kP43, 14);
    e.af1 = QuantizeSigned(s.af1, kP43, 16);
    e.af2 = 0;
    e.tgd = QuantizeSigned(s.tgd, kP31, 8);
    e.cuc = QuantizeSigned(s.cuc, kP29, 16);
    e.cus = QuantizeSigned(s.cus, kP29, 16);
    e.cic = QuantizeSigned(s.cic, kP29, 16);
    e.cis = QuantizeSigned(s.cis, kP29, 16);
    e.crc = QuantizeSigned(s.crc, kP5, 16);
    e.crs = QuantizeSigned(s.crs, kP5, 16);
    e.omega = QuantizeSigned(s.omega / kPi, kP31, 32);
    // Propagate with the broadcast (quantised) rates, so that consecutive
    // sets describe the same orbit to the resolution of their fields.
    PropagatedOrbit p = Propagate(s, c.referenceSeconds, delta, static_cast<double>(toeSow), e.sqrtA * kP19,
                                  e.deltaN * kP43 * kPi, e.omegaDot * kP43 * kPi, e.idot * kP43 * kPi, e.af1 * kP43);
    e.m0 = QuantizeSigned(p.m0 / kPi, kP31, 32);
    e.omega0 = QuantizeSigned(p.omega0 / kPi, kP31, 32);
    e.i0 = QuantizeSigned(p.i0 / kPi, kP31, 32);
    e.af0 = QuantizeSigned(p.af0, kP31, 22);
    e.fitFlag = 0;
    return e;
}

int RunSimulation(const SimConfig &cfg, SimSink *sink, SimStats *stats, std::string *error) {
    std::string why = CheckConfig(cfg);
    SimStats local;
    if (!stats) stats = &local;
    *stats = SimStats{};
    if (!why.empty()) {
        if (error) *error = why;
        return 1;
    }
    // The scene holds a few kilobytes of record buffers; keep it off the stack.
    auto *scene = new Scene(cfg, sink, stats);
    int rc = scene->Run();
    delete scene;
    if (rc == 2 && error) *error = "the output refused the data";
    return rc;
}

} // namespace oem4sim
