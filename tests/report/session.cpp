#include "session.h"

#include <cmath>
#include <filesystem>
#include <system_error>
#include <vector>
#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "output/text_outputs.h"

namespace reporttest {

namespace fs = std::filesystem;

namespace {
// The directories handed out, removed when the test program ends.
struct Leftovers {
    std::vector<fs::path> dirs;
    ~Leftovers() {
        std::error_code ignored;
        for (const fs::path &dir : dirs) fs::remove_all(dir, ignored);
    }
};
Leftovers g_leftovers;
} // namespace

std::string TempDir(const char *name) {
    const fs::path dir = fs::temp_directory_path() / ("oem4report-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    g_leftovers.dirs.push_back(dir);
    return dir.string();
}

Session::Session(const std::string &base) : base_(base) {
    tsq_ = OpenTsqFile((base + ".tsq").c_str(), 4, 1.0f, 2048, 12);
    epp_ = std::fopen((base + ".epp").c_str(), "w");
    sta_ = std::fopen((base + ".sta").c_str(), "w");
    WriteEppIdentification(epp_, (base + ".epp").c_str());
}

Session::~Session() { Close(); }

void Session::Epoch(int week, double tow, const std::vector<Sat> &sats, bool position, double clockOffset) {
    EpochRecord epoch{};
    MeasRecord meas[12]{};
    epoch.satCount = static_cast<uint8_t>(sats.size());
    epoch.receiverTime = tow;
    epoch.correctedTime = tow - clockOffset / 299792458.0;
    epoch.clockOffset = clockOffset;
    epoch.week = static_cast<uint16_t>(week);
    if (position) {
        // A slow circle of about 20 m, so the track is not a single point.
        const double a = 0.01 * positionIndex_++;
        epoch.flags = 1;
        epoch.latitude = kLatitude + 0.0002 * std::sin(a);
        epoch.longitude = kLongitude + 0.0003 * std::cos(a);
        epoch.height = static_cast<float>(kHeight + 3.0 * std::sin(a / 3));
    }
    for (std::size_t i = 0; i < sats.size() && i < 12; ++i) {
        meas[i].prn = static_cast<uint8_t>(sats[i].prn);
        meas[i].l1Lock = static_cast<uint8_t>(sats[i].lock < 0 ? 0 : sats[i].lock > 255 ? 255 : sats[i].lock);
        meas[i].l1Pseudorange = sats[i].l1Code ? 2.1e7 + 1000.0 * sats[i].prn : 0.0;
        meas[i].l1Phase = 1.1e8;
        meas[i].l1Doppler = -500.0;
        meas[i].l2Pseudorange = sats[i].l2 ? 2.1e7 + 1000.0 * sats[i].prn + 3.0 : 0.0;
        meas[i].l2Phase = sats[i].l2 ? 8.6e7 : 0.0;
    }
    WriteTsqEpoch(tsq_, &epoch, meas);
}

void Session::Ephemeris(int prn, int toe) {
    // A near-circular GPS orbit; the planes and phases are spread by PRN.
    GpsEphRecord e{};
    e.prn = prn;
    e.week = 476;
    e.fixed9999 = 9999;
    e.toc = toe;
    e.toe = toe;
    e.iode = e.iodc = 10;
    e.sqrtA = 5153.7;
    e.e = 0.005;
    e.i0 = 0.9599;
    e.omega0 = (prn % 6) * 1.0472;
    // The mean anomaly advances with toe so that consecutive ephemerides
    // of a satellite describe the same orbit.
    e.m0 = std::remainder(prn * 0.7 + 1.4585e-4 * toe, 2 * 3.14159265358979323846);
    e.omega = 0.5;
    e.omegaDot = -8.0e-9;
    WriteEppEphemeris(epp_, (base_ + ".epp").c_str(), &e);
}

void Session::Almanac(int prn) {
    AlmanacRecord a{};
    a.prn = prn;
    a.sqrtA = 5153.6;
    a.timeCode = 2;
    a.healthCode = 2;
    WriteEppAlmanac(epp_, (base_ + ".epp").c_str(), &a);
}

void Session::Mark(unsigned number, double tow) {
    MarkRecord m{};
    m.markNumber = number;
    m.time = tow;
    m.origin = 2;
    WriteMarkEvent(sta_, (base_ + ".sta").c_str(), &m);
}

void Session::Close() {
    if (tsq_ != nullptr) CloseTsqFile(tsq_);
    if (epp_ != nullptr) CloseTextOutput(epp_, (base_ + ".epp").c_str());
    if (sta_ != nullptr) CloseTextOutput(sta_, (base_ + ".sta").c_str());
    tsq_ = nullptr;
    epp_ = sta_ = nullptr;
}

void WriteLongSession(const std::string &base, int epochs, double rate, bool withFaults) {
    Session s(base);
    const int week = 1500;
    const double start = 3 * 86400.0 + 8 * 3600.0;
    const int prns[] = {2, 5, 9, 12, 17, 21, 25, 29, 31};
    for (int prn : prns) {
        for (int h = -2; h <= 26; h += 2) s.Ephemeris(prn, static_cast<int>(start) + h * 3600);
    }
    s.Almanac(2);
    int lockStart[40] = {};
    unsigned mark = 41;
    double nextMark = start + 1.0;
    for (int i = 0; i < epochs; ++i) {
        if (withFaults && (i == epochs / 3 || i == epochs / 2)) i += 5; // two data gaps
        const double tow = start + i * rate;
        std::vector<Sat> sats;
        for (int k = 0; k < 9; ++k) {
            const int prn = prns[k];
            // Satellites come and go over the session.
            if (((i / 5000) + k) % 9 == 0) {
                lockStart[prn] = i + 1;
                continue;
            }
            if (withFaults && prn == 12 && i % 1500 == 700) lockStart[prn] = i; // a slip
            const int lock = static_cast<int>((i - lockStart[prn]) * rate) + 30;
            sats.push_back({prn, lock, !(prn == 31 && i % 7 == 0)});
        }
        s.Epoch(week, tow, sats, true, 120.0 + 0.001 * i);
        while (nextMark <= tow) {
            const bool skip = withFaults && mark % 997 == 0; // a missed pulse
            if (!skip) s.Mark(mark, nextMark + 0.0012);
            ++mark;
            nextMark += 2.0;
        }
    }
    s.Close();
}

} // namespace reporttest
