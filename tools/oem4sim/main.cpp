// oem4sim: writes a simulated OEM4 binary log with known truth.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "simulator.h"
#include "truth_file.h"

using namespace oem4sim;

namespace {

const char kHelp[] = "Usage: oem4sim [options] -o LOG [--truth TRUTH.csv]\n"
                     "\n"
                     "Writes a simulated OEM4 binary log (RANGE or RANGECMP, RAWEPHEM and/or GPSEPHEM,\n"
                     "BESTPOS and/or BESTXYZ, PROPAGATEDCLOCKMODEL, MARKTIME, ALMANAC, RAWALM) of a GPS\n"
                     "or multi-system receiver, and a CSV file with the truth behind it. The same\n"
                     "options and seed give the same bytes.\n"
                     "\n"
                     "Output:\n"
                     "  -o, --output PATH       log file to write (required)\n"
                     "  --truth PATH            truth CSV: per epoch the true position, clock offset\n"
                     "                          and satellites; per mark the true GPS time; ephemeris\n"
                     "                          sets, slips and injected faults\n"
                     "  --truth-satellites      add one truth line per satellite and epoch\n"
                     "  -q, --quiet             no summary on standard error\n"
                     "\n"
                     "Time:\n"
                     "  --duration SECONDS      length of the log (suffix m or h for minutes, hours;\n"
                     "                          default 600)\n"
                     "  --rate HZ               epochs per second, 1000/HZ whole milliseconds (default 1)\n"
                     "  --start-week WEEK       GPS week of the first epoch (default 1400)\n"
                     "  --start-seconds SOW     GPS seconds of week of the first epoch (default 302400)\n"
                     "  --time-status N         header time status (default 180, fine steering)\n"
                     "\n"
                     "Receiver:\n"
                     "  --motion static|flight  static site or survey flight (default static)\n"
                     "  --lat DEG --lon DEG     site, or start of the flight (default 47.40, 8.55)\n"
                     "  --height M              ellipsoidal height (default 550)\n"
                     "  --speed KMH             flight ground speed (default 250)\n"
                     "  --line-length M         survey line length (default 8000)\n"
                     "  --line-spacing M        distance between lines (default 600)\n"
                     "  --marks SECONDS         camera pulse (MARKTIME) interval, 0 = none (default 0)\n"
                     "\n"
                     "Satellites and observations:\n"
                     "  --ranges range|rangecmp|rangecmp2|rangecmp4|rangecmp5\n"
                     "                          observation record (default rangecmp); --format\n"
                     "                          takes range|rangecmp as before\n"
                     "  --ephemeris rawephem|gpsephem|both\n"
                     "                          ephemeris record(s) of each broadcast (default rawephem)\n"
                     "  --ephemeris-every S     also log the ephemerides of every tracked satellite\n"
                     "                          each S whole seconds of GPS time, as a receiver told\n"
                     "                          to log them on time does (default 0: new sets only)\n"
                     "  --position bestpos|bestxyz|both\n"
                     "                          position record(s) of each second (default bestpos)\n"
                     "  --position-noise M      scatter of the logged position, metres per axis, as a\n"
                     "                          receiver's solution wanders (default 0: the true one)\n"
                     "  --max-sats N            satellites tracked at most, 1 to 32 (default 12;\n"
                     "                          more than 12 with L2 exceed 24 RANGECMP observations)\n"
                     "  --mask DEG              elevation mask (default 10)\n"
                     "  --systems LIST          satellite systems in view, from gps,glonass,galileo,\n"
                     "                          beidou,qzss; gps always (default gps). The others\n"
                     "                          fly GPS-like orbits on the GPS frequencies\n"
                     "  --other-max-sats N      satellites tracked at most per other system, 1 to 16\n"
                     "                          (default 10)\n"
                     "  --signals oem4|oem7     oem4: GPS L1 C/A and L2 P codeless, GLONASS L1 C/A and\n"
                     "                          L2 P; oem7: today's sets (GPS L1 C/A, L2 P(Y), L2C, L5;\n"
                     "                          GLONASS L1 C/A, L2 C/A, L2 P; ...) (default oem4)\n"
                     "  --glonass-first         list GLONASS before GPS in the range records\n"
                     "  --noise on|off          measurement noise (default on)\n"
                     "  --iono on|off           ionospheric delay (default on)\n"
                     "  --tropo on|off          tropospheric delay (default on)\n"
                     "  --slips PER_HOUR        cycle slips per satellite and hour (default 0)\n"
                     "  --unhealthy PRN         broadcast this PRN with bad health (default none)\n"
                     "  --no-almanac            leave out the ALMANAC and RAWALM records\n"
                     "  --seed N                random seed of constellation, clock, noise (default 1)\n"
                     "\n"
                     "Faults (probabilities per record):\n"
                     "  --flip P                change one byte\n"
                     "  --truncate P            cut the record short\n"
                     "  --garbage P             put random bytes before the record\n"
                     "  --bad-length P          message length off by one (CRC still valid)\n"
                     "  --bad-count P           item count off by one (CRC still valid)\n"
                     "  --truncate-tail         end the log in the middle of its last record\n"
                     "\n"
                     "  -h, --help              this text\n";

bool ParseDouble(const char *text, double *out) {
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0') return false;
    *out = v;
    return true;
}

bool ParseDuration(const char *text, double *out) {
    std::string s(text);
    double scale = 1.0;
    if (!s.empty() && (s.back() == 'h' || s.back() == 'm' || s.back() == 's')) {
        scale = s.back() == 'h' ? 3600.0 : s.back() == 'm' ? 60.0 : 1.0;
        s.pop_back();
    }
    double v;
    if (!ParseDouble(s.c_str(), &v)) return false;
    *out = v * scale;
    return true;
}

bool ParseUnsigned(const char *text, uint64_t max, uint64_t *out) {
    if (*text == '\0' || *text == '-') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (*end != '\0' || errno != 0 || v > max) return false;
    *out = v;
    return true;
}

bool ParseSwitch(const char *text, bool *out) {
    if (!std::strcmp(text, "on")) return *out = true, true;
    if (!std::strcmp(text, "off")) return *out = false, true;
    return false;
}

const char *const kValuedOptions[] = {"-o",
                                      "--output",
                                      "--truth",
                                      "--seed",
                                      "--duration",
                                      "--rate",
                                      "--start-week",
                                      "--start-seconds",
                                      "--time-status",
                                      "--motion",
                                      "--lat",
                                      "--lon",
                                      "--height",
                                      "--speed",
                                      "--line-length",
                                      "--line-spacing",
                                      "--marks",
                                      "--format",
                                      "--ranges",
                                      "--ephemeris",
                                      "--ephemeris-every",
                                      "--position",
                                      "--position-noise",
                                      "--max-sats",
                                      "--mask",
                                      "--noise",
                                      "--iono",
                                      "--tropo",
                                      "--slips",
                                      "--unhealthy",
                                      "--flip",
                                      "--truncate",
                                      "--garbage",
                                      "--bad-length",
                                      "--bad-count",
                                      "--systems",
                                      "--other-max-sats",
                                      "--signals"};

// "gps,glonass,galileo,beidou,qzss": GPS must be among them; the others
// become SimConfig::otherSystems.
bool ParseSystems(const char *text, uint32_t *others) {
    static const struct {
        const char *name;
        uint32_t system;
    } kNames[] = {{"gps", 0}, {"glonass", 1}, {"galileo", 3}, {"beidou", 4}, {"qzss", 5}};
    std::string list = text;
    bool gps = false;
    *others = 0;
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        const std::string name = list.substr(at, comma - at);
        bool known = false;
        for (const auto &k : kNames) {
            if (name != k.name) continue;
            known = true;
            if (k.system == 0)
                gps = true;
            else
                *others |= SystemBit(k.system);
        }
        if (!known) return false;
        at = comma + 1;
    }
    return gps;
}

bool IsValuedOption(const std::string &arg) {
    for (const char *name : kValuedOptions)
        if (arg == name) return true;
    return false;
}

} // namespace

// Over 60 lines: one flat case per option, in the order of the help text;
// split up, the option table would only be scattered.
int main(int argc, char **argv) {
    SimConfig cfg;
    std::string output, truth;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        auto next = [&](const char **v) -> bool {
            if (hasInline) {
                *v = value.c_str();
                return true;
            }
            if (i + 1 >= argc) {
                std::fprintf(stderr, "oem4sim: %s needs a value\n", arg.c_str());
                return false;
            }
            *v = argv[++i];
            return true;
        };
        const char *v = nullptr;
        bool ok = true;
        uint64_t u = 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "-q" || arg == "--quiet") {
            quiet = true;
        } else if (arg == "--truth-satellites") {
            cfg.satelliteTruth = true;
        } else if (arg == "--glonass-first") {
            cfg.glonassFirst = true;
        } else if (arg == "--no-almanac") {
            cfg.almanac = false;
        } else if (arg == "--truncate-tail") {
            cfg.faults.truncateTail = true;
        } else if (!IsValuedOption(arg)) {
            std::fprintf(stderr, "oem4sim: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        } else if (!next(&v)) {
            return 2;
        } else if (arg == "-o" || arg == "--output") {
            output = v;
        } else if (arg == "--truth") {
            truth = v;
        } else if (arg == "--systems") {
            ok = ParseSystems(v, &cfg.otherSystems);
        } else if (arg == "--other-max-sats") {
            ok = ParseUnsigned(v, 16, &u) && u >= 1;
            cfg.otherMaxSatellites = static_cast<int>(u);
        } else if (arg == "--signals") {
            ok = !std::strcmp(v, "oem4") || !std::strcmp(v, "oem7");
            cfg.oem7Signals = !std::strcmp(v, "oem7");
        } else if (arg == "--seed") {
            ok = ParseUnsigned(v, UINT64_MAX, &cfg.seed);
        } else if (arg == "--duration") {
            ok = ParseDuration(v, &cfg.duration);
        } else if (arg == "--rate") {
            ok = ParseDouble(v, &cfg.rate);
        } else if (arg == "--start-week") {
            ok = ParseUnsigned(v, 65000, &u);
            cfg.startWeek = static_cast<uint32_t>(u);
        } else if (arg == "--start-seconds") {
            ok = ParseDouble(v, &cfg.startSeconds);
        } else if (arg == "--time-status") {
            ok = ParseUnsigned(v, 255, &u);
            cfg.timeStatus = static_cast<uint8_t>(u);
        } else if (arg == "--motion") {
            ok = !std::strcmp(v, "static") || !std::strcmp(v, "flight");
            cfg.motion = !std::strcmp(v, "flight") ? Motion::SurveyFlight : Motion::Static;
        } else if (arg == "--lat") {
            ok = ParseDouble(v, &cfg.latitude);
        } else if (arg == "--lon") {
            ok = ParseDouble(v, &cfg.longitude);
        } else if (arg == "--height") {
            ok = ParseDouble(v, &cfg.height);
        } else if (arg == "--speed") {
            ok = ParseDouble(v, &cfg.speedKmh);
        } else if (arg == "--line-length") {
            ok = ParseDouble(v, &cfg.lineLength);
        } else if (arg == "--line-spacing") {
            ok = ParseDouble(v, &cfg.lineSpacing);
        } else if (arg == "--marks") {
            ok = ParseDouble(v, &cfg.markInterval);
        } else if (arg == "--format") {
            ok = !std::strcmp(v, "range") || !std::strcmp(v, "rangecmp");
            cfg.format = !std::strcmp(v, "range") ? RangeFormat::Range : RangeFormat::Rangecmp;
        } else if (arg == "--ranges") {
            ok = true;
            if (!std::strcmp(v, "range")) {
                cfg.format = RangeFormat::Range;
            } else if (!std::strcmp(v, "rangecmp")) {
                cfg.format = RangeFormat::Rangecmp;
            } else if (!std::strcmp(v, "rangecmp2")) {
                cfg.format = RangeFormat::Rangecmp2;
            } else if (!std::strcmp(v, "rangecmp4")) {
                cfg.format = RangeFormat::Rangecmp4;
            } else if (!std::strcmp(v, "rangecmp5")) {
                cfg.format = RangeFormat::Rangecmp5;
            } else {
                ok = false;
            }
        } else if (arg == "--ephemeris") {
            ok = !std::strcmp(v, "rawephem") || !std::strcmp(v, "gpsephem") || !std::strcmp(v, "both");
            cfg.ephemerisRecords = !std::strcmp(v, "gpsephem") ? EphemerisRecords::Gpsephem
                                   : !std::strcmp(v, "both")   ? EphemerisRecords::Both
                                                               : EphemerisRecords::Rawephem;
        } else if (arg == "--ephemeris-every") {
            ok = ParseUnsigned(v, 604800, &u);
            cfg.ephemerisEvery = static_cast<uint32_t>(u);
        } else if (arg == "--position") {
            ok = !std::strcmp(v, "bestpos") || !std::strcmp(v, "bestxyz") || !std::strcmp(v, "both");
            cfg.positionRecords = !std::strcmp(v, "bestxyz") ? PositionRecords::Bestxyz
                                  : !std::strcmp(v, "both")  ? PositionRecords::Both
                                                             : PositionRecords::Bestpos;
        } else if (arg == "--position-noise") {
            ok = ParseDouble(v, &cfg.positionNoise) && cfg.positionNoise >= 0.0 && cfg.positionNoise <= 1000.0;
        } else if (arg == "--max-sats") {
            ok = ParseUnsigned(v, 32, &u);
            cfg.maxSatellites = static_cast<int>(u);
        } else if (arg == "--mask") {
            ok = ParseDouble(v, &cfg.elevationMask);
        } else if (arg == "--noise") {
            ok = ParseSwitch(v, &cfg.noise);
        } else if (arg == "--iono") {
            ok = ParseSwitch(v, &cfg.iono);
        } else if (arg == "--tropo") {
            ok = ParseSwitch(v, &cfg.tropo);
        } else if (arg == "--slips") {
            ok = ParseDouble(v, &cfg.slipsPerHour);
        } else if (arg == "--unhealthy") {
            ok = ParseUnsigned(v, 32, &u);
            cfg.unhealthyPrn = static_cast<int>(u);
        } else if (arg == "--flip") {
            ok = ParseDouble(v, &cfg.faults.flipRate);
        } else if (arg == "--truncate") {
            ok = ParseDouble(v, &cfg.faults.truncateRate);
        } else if (arg == "--garbage") {
            ok = ParseDouble(v, &cfg.faults.garbageRate);
        } else if (arg == "--bad-length") {
            ok = ParseDouble(v, &cfg.faults.badLengthRate);
        } else if (arg == "--bad-count") {
            ok = ParseDouble(v, &cfg.faults.badCountRate);
        }
        if (!ok) {
            std::fprintf(stderr, "oem4sim: bad value '%s' for %s\n", v, arg.c_str());
            return 2;
        }
    }
    if (output.empty()) {
        std::fprintf(stderr, "oem4sim: no output file given (-o LOG; see --help)\n");
        return 2;
    }
    std::string why = CheckConfig(cfg);
    if (!why.empty()) {
        std::fprintf(stderr, "oem4sim: %s\n", why.c_str());
        return 2;
    }

    FileSink sink;
    why = sink.Open(output, truth, cfg);
    if (!why.empty()) {
        std::fprintf(stderr, "oem4sim: %s\n", why.c_str());
        return 1;
    }
    auto t0 = std::chrono::steady_clock::now();
    SimStats stats;
    int rc = RunSimulation(cfg, &sink, &stats, &why);
    std::string closeWhy = sink.Close();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0 || !closeWhy.empty()) {
        std::fprintf(stderr, "oem4sim: %s\n", closeWhy.empty() ? why.c_str() : closeWhy.c_str());
        return 1;
    }
    if (!quiet)
        std::fprintf(stderr,
                     "oem4sim: %s: %" PRIu64 " records, %" PRIu64 " bytes, %" PRIu64 " epochs, %" PRIu64
                     " ephemerides, %" PRIu64 " marks, %" PRIu64 " slips, %" PRIu64 " faults; %.2f s (%.1f MB/s)\n",
                     output.c_str(), stats.records, stats.bytes, stats.epochs, stats.ephemerides, stats.marks,
                     stats.slips, stats.faults, secs, secs > 0 ? stats.bytes / secs / 1e6 : 0.0);
    return 0;
}
