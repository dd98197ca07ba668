// Constructed conversions for the report tests: observation, ephemeris and
// mark files written with the converter's own writers, with known gaps,
// slips and mark faults.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "output/tsq_file.h"
#include "threadbuf/payloads.h"

namespace reporttest {

// A fresh, empty directory for one test.
std::string TempDir(const char *name);

struct Sat {
    int prn;
    int lock;       // L1 lock time, seconds
    bool l2 = true; // L2 code and phase present
    bool l1Code = true;
};

class Session {
public:
    // Creates base.tsq, base.epp (with its identification line) and base.sta.
    explicit Session(const std::string &base);
    ~Session();
    void Epoch(int week, double tow, const std::vector<Sat> &sats, bool position = true, double clockOffset = 0.0);
    void Ephemeris(int prn, int toe);
    void Almanac(int prn);
    void Mark(unsigned number, double tow);
    void Close();

    // Where the constructed receiver sits.
    static constexpr double kLatitude = 48.15, kLongitude = 11.58, kHeight = 520.0;

private:
    TsqFile *tsq_ = nullptr;
    std::FILE *epp_ = nullptr;
    std::FILE *sta_ = nullptr;
    std::string base_;
    int positionIndex_ = 0;
};

// A session of `epochs` epochs at `rate` seconds with eight GPS satellites,
// their ephemerides, one camera mark every 2 s; used for the size and
// speed checks and the rendered sample.
void WriteLongSession(const std::string &base, int epochs, double rate, bool withFaults);

} // namespace reporttest
