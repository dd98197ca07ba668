#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "api/convert.h"
#include "output/tsq_reader.h"
#include "support/conversion_request.h"
#include "support/scratch.h"

namespace fs = std::filesystem;

namespace e2e {

namespace {

std::vector<Message> g_messages;

void OEM4CONV_CALL OnMessage(double time, const char *text) { g_messages.push_back({time, text}); }

void ReadTsq(const fs::path &path, Conversion *out) {
    auto reader = std::make_unique<TsqReader>();
    if (OpenTsqReader(reader.get(), path.string().c_str()) != 0) {
        out->tsqError = "cannot open the observation file";
        return;
    }
    std::vector<MeasRecord> meas(kTsqMaxMeasurements);
    for (;;) {
        EpochRecord epoch;
        int32_t r = ReadTsqEpoch(reader.get(), &epoch, meas.data(), kTsqMaxMeasurements);
        if (r == TSQ_END_OF_FILE) break;
        if (r != TSQ_EPOCH_READ) {
            char text[512];
            GetErrString(text);
            out->tsqError = text;
            break;
        }
        out->epochs.push_back(epoch);
        out->meas.emplace_back(meas.begin(), meas.begin() + epoch.satCount);
    }
    CloseTsqReader(reader.get());
}

} // namespace

bool SimRun::Bytes(const uint8_t *d, size_t n) {
    bytes.insert(bytes.end(), d, d + n);
    return true;
}

void SimRun::Fault(const oem4sim::FaultTruth &f) {
    faults.push_back(f);
    if (std::strcmp(f.kind, "garbage") != 0) unclaimed_.push_back(f);
}

bool SimRun::Claim(uint16_t id, int32_t ms) {
    for (size_t i = 0; i < unclaimed_.size(); ++i) {
        if (unclaimed_[i].messageId == id && unclaimed_[i].milliseconds == ms) {
            unclaimed_.erase(unclaimed_.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

bool SimRun::Damaged(uint16_t id, int32_t ms) const {
    for (const oem4sim::FaultTruth &f : faults)
        if (f.messageId == id && f.milliseconds == ms && std::strcmp(f.kind, "garbage") != 0) return true;
    return false;
}

void SimRun::Epoch(const oem4sim::EpochTruth &e) {
    epochs.push_back(e);
    const int32_t ms = static_cast<int32_t>(std::llround(e.receiverSeconds * 1000.0));
    epochDamaged.push_back(Claim(kMsgRange, ms) || Claim(kMsgRangecmp, ms));
}

void SimRun::Mark(const oem4sim::MarkTruth &m) {
    marks.push_back(m);
    markDamaged.push_back(Claim(kMsgMarktime, static_cast<int32_t>(std::floor(m.receiverSeconds * 1000.0))));
}

void SimRun::Ephemeris(const oem4sim::EphemerisTruth &e) {
    ephs.push_back(e);
    ephDamaged.push_back(Claim(kMsgRawephem, static_cast<int32_t>(std::llround(e.receiverSeconds * 1000.0))) ||
                         Claim(kMsgGpsephem, static_cast<int32_t>(std::llround(e.receiverSeconds * 1000.0))));
}

void Simulate(const oem4sim::SimConfig &cfg, SimRun *run) {
    std::string why;
    oem4sim::SimStats stats;
    ASSERT_EQ(oem4sim::RunSimulation(cfg, run, &stats, &why), 0) << why;
    ASSERT_EQ(stats.bytes, run->bytes.size());
}

Conversion ConvertPath(const std::string &input, const Oem4Options &options, const std::string &name) {
    Conversion out;
    const testsupport::ScratchDir scratch("oem4conv_e2e", "_" + name);
    const fs::path dir = scratch.path;
    const fs::path base = dir / "out.gps";

    auto request = testsupport::MakeRequest(input, base.string(), options);
    EXPECT_LT(input.size(), sizeof request->inputFile);
    EXPECT_LT(base.string().size(), sizeof request->outputFile);
    ConvertHost host = testsupport::MakeHost(OnMessage);

    g_messages.clear();
    out.result = ConvertFile(request.get(), &host, 0);
    out.messages = g_messages;
    out.epochCount = request->epochCount;
    out.ephemerisCount = request->ephemerisCount;
    out.markCount = request->markCount;

    ReadTsq(dir / "out.tsq", &out);
    out.eppText = testsupport::ReadText(dir / "out.epp");
    out.eppError = ParseEpp(out.eppText, &out.ephemerides, &out.almanacs);
    out.staError = ParseSta(testsupport::ReadText(dir / "out.sta"), &out.marks);
    return out;
}

int32_t ConvertWithRinex(const std::string &log, const std::string &base, int32_t version, uint32_t *epochs,
                         std::vector<Message> *messages) {
    ConvertRinexOptions rinex{};
    rinex.enabled = 1;
    rinex.version = version;
    SetConvertRinex(&rinex);
    static ConvertOptions options;
    testsupport::FillRequest(&options, log, base);
    ConvertHost host = testsupport::MakeHost(messages != nullptr ? OnMessage : nullptr);
    g_messages.clear();
    const int32_t result = ConvertFile(&options, &host, 0);
    SetConvertRinex(nullptr);
    if (epochs != nullptr) *epochs = options.epochCount;
    if (messages != nullptr) *messages = g_messages;
    return result;
}

Conversion ConvertLog(const std::vector<uint8_t> &log, const Oem4Options &options, const std::string &name) {
    const testsupport::ScratchDir scratch("oem4conv_e2e_log", "_" + name);
    testsupport::WriteBytes(scratch / "in.gps", log);
    return ConvertPath(scratch / "in.gps", options, name);
}

std::string ParseEpp(const std::string &text, std::vector<EppEphemeris> *eph, std::vector<EppAlmanac> *alm) {
    static const std::string kIdentification = "$EPHREC Ver6.03 KAVRENO NovAtelOem4\n";
    if (text.compare(0, kIdentification.size(), kIdentification) != 0) return "no identification line";
    size_t at = kIdentification.size();
    while (at < text.size()) {
        const char *p = text.c_str() + at;
        int used = 0;
        if (text.compare(at, 7, "GpsEph ") == 0) {
            EppEphemeris e{};
            int n = std::sscanf(p,
                                "GpsEph { Prn: %d\n\tEl1: %d %d %lf %d %d\n\tEl2: %lf %lf %lf\n"
                                "\tEl3: %d %lf %lf %lf\n\tEl4: %lf %lf %lf %lf\n\tEl5: %d %lf %lf %lf\n"
                                "\tEl6: %lf %lf %lf %lf %lf\n}%n",
                                &e.prn, &e.week, &e.fixed, &e.tgd, &e.iodc, &e.toc, &e.af2, &e.af1, &e.af0, &e.iode,
                                &e.crs, &e.deltaN, &e.m0, &e.cuc, &e.e, &e.cus, &e.sqrtA, &e.toe, &e.cic, &e.omega0,
                                &e.cis, &e.i0, &e.crc, &e.omega, &e.omegaDot, &e.idot, &used);
            if (n != 26 || used == 0) return "unreadable GpsEph block at byte " + std::to_string(at);
            eph->push_back(e);
        } else if (text.compare(at, 7, "GpsAlm ") == 0) {
            EppAlmanac a{};
            int n = std::sscanf(p,
                                "GpsAlm { Prn: %d\n\tTim: %ld %d %d\n\tOmg: %lf %lf %lf\n\tEll: %lf %lf\n"
                                "\tMdi: %lf %lf\n\tClk: %lf %lf\n\tHlt: %d %d\n}%n",
                                &a.prn, &a.toa, &a.week, &a.timeCode, &a.omega, &a.omega0, &a.omegaDot, &a.sqrtA, &a.e,
                                &a.m0, &a.deltaI, &a.af0, &a.af1, &a.health, &a.healthCode, &used);
            if (n != 15 || used == 0) return "unreadable GpsAlm block at byte " + std::to_string(at);
            alm->push_back(a);
        } else {
            return "unknown text at byte " + std::to_string(at);
        }
        at += static_cast<size_t>(used);
        if (at >= text.size() || text[at] != '\n') return "block not closed by a line of its own";
        ++at;
    }
    return "";
}

std::string ParseSta(const std::string &text, std::vector<StaMark> *marks) {
    size_t at = 0;
    while (at < text.size()) {
        StaMark m{};
        int used = 0;
        if (std::sscanf(text.c_str() + at, "\nCAMERA PULSE #%u AT: %lf%n", &m.number, &m.time, &used) != 2 ||
            text[at] != '\n')
            return "unreadable mark at byte " + std::to_string(at);
        // Six decimals exactly, as written.
        char again[96];
        std::snprintf(again, sizeof again, "\nCAMERA PULSE #%u AT: %.6f\n", m.number, m.time);
        if (text.compare(at, std::strlen(again), again) != 0)
            return "mark not in its format at byte " + std::to_string(at);
        marks->push_back(m);
        at += std::strlen(again);
    }
    return "";
}

void GeodeticToEcef(double latDeg, double lonDeg, double h, double out[3]) {
    const double a = 6378137.0, f = 1.0 / 298.257223563, e2 = f * (2.0 - f);
    const double lat = latDeg * M_PI / 180.0, lon = lonDeg * M_PI / 180.0;
    const double s = std::sin(lat), c = std::cos(lat);
    const double n = a / std::sqrt(1.0 - e2 * s * s);
    out[0] = (n + h) * c * std::cos(lon);
    out[1] = (n + h) * c * std::sin(lon);
    out[2] = (n * (1.0 - e2) + h) * s;
}

} // namespace e2e
