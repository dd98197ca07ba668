// The simulated scene: a GPS constellation flying its broadcast orbits, a
// receiver (static or flying survey lines) with a wandering clock, and the
// OEM4 log it records, together with the truth behind every record.
//
// RunSimulation streams the log record by record into a SimSink; nothing is
// buffered beyond the record being built, so logs of any length can be
// generated in constant memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "gps_nav.h"
#include "oem4_encode.h"

namespace oem4sim {

// The range record the receiver logs: RANGE, RANGECMP, or the OEM7
// receivers' bit-packed RANGECMP2, RANGECMP4 or RANGECMP5.
enum class RangeFormat { Range, Rangecmp, Rangecmp2, Rangecmp4, Rangecmp5 };
inline const char *RangeFormatName(RangeFormat f) {
    switch (f) {
    case RangeFormat::Range: return "RANGE";
    case RangeFormat::Rangecmp: return "RANGECMP";
    case RangeFormat::Rangecmp2: return "RANGECMP2";
    case RangeFormat::Rangecmp4: return "RANGECMP4";
    default: return "RANGECMP5";
    }
}
enum class Motion { Static, SurveyFlight };
// Which records carry the ephemerides and the receiver's position; a
// receiver may be told to log either or both.
enum class EphemerisRecords { Rawephem, Gpsephem, Both };
enum class PositionRecords { Bestpos, Bestxyz, Both };

// Deliberate damage for robustness tests. Rates are probabilities per
// record; at most one of flip, truncate, bad length and bad count hits a
// record. Faults draw from their own random stream, so the undamaged
// records are the same bytes as in a clean run with the same seed.
struct FaultConfig {
    double flipRate = 0.0;      // one byte of the record changed
    double truncateRate = 0.0;  // the record cut short, the next follows
    double garbageRate = 0.0;   // random bytes before the record
    double badLengthRate = 0.0; // message length off by one (CRC resealed)
    double badCountRate = 0.0;  // item count off by one (CRC resealed)
    bool truncateTail = false;  // the log ends in the middle of its last record
};

struct SimConfig {
    uint64_t seed = 1;
    double duration = 600.0; // seconds of receiver time
    double rate = 1.0;       // epochs per second; 1000 / rate must be whole milliseconds
    uint32_t startWeek = 1400;
    double startSeconds = 302400.0; // seconds of week, whole milliseconds
    RangeFormat format = RangeFormat::Rangecmp;
    EphemerisRecords ephemerisRecords = EphemerisRecords::Rawephem;
    // Seconds between repeated logs of every tracked satellite's current
    // ephemeris (at whole multiples of it in GPS time); 0 = new sets only.
    uint32_t ephemerisEvery = 0;
    PositionRecords positionRecords = PositionRecords::Bestpos;
    // Scatter of the logged position about the true one, metres per axis
    // (east, north, up), as a receiver's own solution wanders from second
    // to second; 0 logs the true position.
    double positionNoise = 0.0;
    Motion motion = Motion::Static;
    double latitude = 47.40;    // degrees, start of the flight or the static site
    double longitude = 8.55;    // degrees
    double height = 550.0;      // ellipsoidal, metres
    double speedKmh = 250.0;    // survey flight ground speed
    double lineLength = 8000.0; // survey line length, metres
    double lineSpacing = 600.0; // distance between lines, metres (turn diameter)
    int maxSatellites = 12;
    double elevationMask = 10.0; // degrees
    double markInterval = 0.0;   // seconds between camera pulses, 0 = none
    bool noise = true;
    bool iono = true;
    bool tropo = true;
    double slipsPerHour = 0.0; // per tracked satellite
    uint8_t timeStatus = kTimeStatusFineSteering;
    int unhealthyPrn = 0;        // a PRN broadcast with bad health, 0 = none
    bool almanac = true;         // ALMANAC and RAWALM at the start
    bool satelliteTruth = false; // per-satellite truth lines
    // Satellite systems in view besides GPS, as bits 1 << n of their
    // tracking-status numbers: GLONASS 1, Galileo 3, BeiDou 4, QZSS 5. Their
    // satellites fly GPS-like orbits of their own and are observed on the
    // GPS frequencies; only their records matter to a converter.
    uint32_t otherSystems = 0;
    int otherMaxSatellites = 10; // tracked at most per other system, 1 to 16
    bool oem7Signals = false;    // today's signal sets: GPS L1 C/A, L2 P(Y), L2C, L5 ...
    bool glonassFirst = false;   // GLONASS listed before GPS in the range records
    FaultConfig faults;
};

// Bit of a system in SimConfig::otherSystems.
inline constexpr uint32_t SystemBit(uint32_t system) { return 1u << system; }
inline constexpr uint32_t kOtherSystemsAllowed = SystemBit(1) | SystemBit(3) | SystemBit(4) | SystemBit(5);

// Validates a configuration; returns "" or the reason it cannot run.
std::string CheckConfig(const SimConfig &cfg);

struct EpochTruth {
    uint32_t week;                      // week of the receiver time
    double receiverSeconds;             // header time of the epoch's records
    double gpsSeconds;                  // true GPS time of the epoch (receiver time - clock offset)
    double latitude, longitude, height; // degrees, degrees, ellipsoidal metres
    double ecef[3];
    double clockOffset; // seconds, receiver minus GPS
    double clockDrift;  // seconds per second
    int satelliteCount; // GPS satellites in the range record
    int prns[32];
    int glonassCount; // GLONASS satellites in the range record
    int glonassPrns[16];
    int otherCount; // Galileo, BeiDou and QZSS satellites in the range record
    // Observations of each system (tracking-status number) in the range
    // record that an observation file of one L1 and one L2 per GPS or
    // GLONASS satellite has no place for.
    uint32_t leftOut[8];
};

struct SatelliteTruth {
    uint32_t week;
    double receiverSeconds;
    int prn;
    double elevation, azimuth;                                    // degrees
    double range;                                                 // geometric, metres, Earth rotation included
    double satPos[3];                                             // Earth-fixed at transmission, frame of reception
    double satClock;                                              // seconds
    double tropo;                                                 // metres
    double ionoL1;                                                // metres (L2: times (f1/f2)^2)
    double ambiguityL1, ambiguityL2;                              // whole cycles
    double lockL1, lockL2;                                        // seconds; lockL2 < 0 when L2 is not tracked
    double pseudorangeL1, pseudorangeL2, adrL1, adrL2, dopplerL1; // as logged (before record rounding)
    uint32_t system;                                              // tracking-status number: 0 GPS, 1 GLONASS, ...
};

struct MarkTruth {
    uint32_t week;
    double gpsSeconds;
    double receiverSeconds;
    double latitude, longitude, height;
};

struct SlipTruth {
    uint32_t week;
    double receiverSeconds;
    int prn;
    bool l1, l2;
};

struct EphemerisTruth {
    uint32_t week;
    double receiverSeconds;
    BroadcastEphemeris eph;
};

struct FaultTruth {
    uint64_t recordIndex; // 0-based index of the record in the log
    uint16_t messageId;
    uint32_t week;
    int32_t milliseconds;
    const char *kind; // "flip", "truncate", "garbage", "length", "count", "tail"
};

// Receives the log bytes and the truth in log order.
class SimSink {
public:
    virtual ~SimSink() = default;
    // Returns false to stop the run (for example on a write error).
    virtual bool Bytes(const uint8_t *data, size_t length) = 0;
    virtual void Epoch(const EpochTruth &) {}
    virtual void Satellite(const SatelliteTruth &) {}
    virtual void Mark(const MarkTruth &) {}
    virtual void Slip(const SlipTruth &) {}
    virtual void Ephemeris(const EphemerisTruth &) {}
    virtual void Fault(const FaultTruth &) {}
};

struct SimStats {
    uint64_t records = 0;
    uint64_t bytes = 0;
    uint64_t epochs = 0;
    uint64_t marks = 0;
    uint64_t ephemerides = 0;
    uint64_t slips = 0;
    uint64_t faults = 0;
};

// Runs the whole scene. Returns 0, 1 for an invalid configuration (reason
// in *error) or 2 when the sink refused the bytes.
int RunSimulation(const SimConfig &cfg, SimSink *sink, SimStats *stats, std::string *error);

// ---- pieces exposed for tests -----------------------------------------

inline constexpr int kConstellationSize = 31;
inline constexpr double kEphemerisInterval = 7200.0; // seconds between toe values

// The constellation of a seed: 31 satellites in six planes. referenceWeek
// and referenceSeconds give the time the orbits are defined at (the toe of
// ephemeris set 0, a whole multiple of 7200 s).
struct SatelliteOrbit {
    int prn;
    int plane;
    double sqrtA, e, i0, omega0, omega, m0, deltaN, omegaDot, idot;
    double cuc, cus, crc, crs, cic, cis;
    double af0, af1, tgd;
    uint32_t iodeBase, iodcHigh, health;
};
struct Constellation {
    uint32_t referenceWeek;
    double referenceSeconds;
    SatelliteOrbit sats[kConstellationSize];
};
void GenerateConstellation(uint64_t seed, uint32_t referenceWeek, double referenceSeconds, int unhealthyPrn,
                           Constellation *out);
// The broadcast ephemeris of set k (toe = reference + k * 7200 s).
BroadcastEphemeris EphemerisOfSet(const Constellation &c, int index, int64_t set);

} // namespace oem4sim
