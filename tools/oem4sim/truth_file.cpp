#include "truth_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace oem4sim {

FileSink::~FileSink() {
    if (log_) std::fclose(log_);
    if (truth_) std::fclose(truth_);
    delete[] buffer_;
}

std::string FileSink::Open(const std::string &logPath, const std::string &truthPath, const SimConfig &cfg) {
    logPath_ = logPath;
    truthPath_ = truthPath;
    log_ = std::fopen(logPath.c_str(), "wb");
    if (!log_) return "cannot create " + logPath + ": " + std::strerror(errno);
    buffer_ = new unsigned char[kBufferSize];
    if (truthPath.empty()) return "";
    truth_ = std::fopen(truthPath.c_str(), "w");
    if (!truth_) return "cannot create " + truthPath + ": " + std::strerror(errno);
    static char truthBuffer[1 << 16];
    std::setvbuf(truth_, truthBuffer, _IOFBF, sizeof truthBuffer);
    std::fprintf(truth_,
                 "# oem4sim truth: seed %" PRIu64 ", %s, %s, %g Hz, noise %s, iono %s, tropo %s\n"
                 "# times are GPS seconds of week; receiver time = GPS time + clock offset\n"
                 "# epoch,week,receiver_sow,gps_sow,latitude_deg,longitude_deg,height_m,x_m,y_m,z_m,"
                 "clock_offset_s,clock_drift,satellites,prns\n"
                 "# mark,week,gps_sow,receiver_sow,latitude_deg,longitude_deg,height_m\n"
                 "# eph,week,receiver_sow,prn,iode,iodc,toe\n"
                 "# slip,week,receiver_sow,prn,l1,l2\n"
                 "# fault,record,message_id,week,milliseconds,kind\n",
                 cfg.seed, RangeFormatName(cfg.format), cfg.motion == Motion::Static ? "static" : "survey flight",
                 cfg.rate, cfg.noise ? "on" : "off", cfg.iono ? "on" : "off", cfg.tropo ? "on" : "off");
    if (cfg.otherSystems != 0 || cfg.oem7Signals) {
        multiSystem_ = true;
        std::fprintf(truth_, "# systems,week,receiver_sow,glonass_satellites,glonass_prns,other_satellites,"
                             "left_out_gps,left_out_glonass,left_out_sbas,left_out_galileo,left_out_beidou,"
                             "left_out_qzss,left_out_navic,left_out_other\n");
    }
    if (cfg.satelliteTruth)
        std::fprintf(truth_, "# sat,week,receiver_sow,prn,elevation_deg,azimuth_deg,range_m,sat_x,sat_y,sat_z,"
                             "sat_clock_s,tropo_m,iono_l1_m,ambiguity_l1,ambiguity_l2,lock_l1_s,lock_l2_s,"
                             "pseudorange_l1,pseudorange_l2,adr_l1,adr_l2,doppler_l1\n");
    return "";
}

bool FileSink::Flush() {
    if (used_ && std::fwrite(buffer_, 1, used_, log_) != used_) writeFailed_ = true;
    used_ = 0;
    return !writeFailed_;
}

bool FileSink::Bytes(const uint8_t *data, size_t length) {
    if (writeFailed_) return false;
    if (used_ + length > kBufferSize && !Flush()) return false;
    std::memcpy(buffer_ + used_, data, length);
    used_ += length;
    return true;
}

std::string FileSink::Close() {
    std::string why;
    if (log_) {
        Flush();
        if (std::fclose(log_) != 0) writeFailed_ = true;
        log_ = nullptr;
        if (writeFailed_) why = "error writing " + logPath_;
    }
    if (truth_) {
        bool bad = std::ferror(truth_) != 0;
        if (std::fclose(truth_) != 0 || bad) {
            if (why.empty()) why = "error writing " + truthPath_;
        }
        truth_ = nullptr;
    }
    return why;
}

void FileSink::Epoch(const EpochTruth &e) {
    if (!truth_) return;
    std::fprintf(truth_, "epoch,%u,%.3f,%.10f,%.10f,%.10f,%.4f,%.4f,%.4f,%.4f,%.9e,%.9e,%d,", e.week, e.receiverSeconds,
                 e.gpsSeconds, e.latitude, e.longitude, e.height, e.ecef[0], e.ecef[1], e.ecef[2], e.clockOffset,
                 e.clockDrift, e.satelliteCount);
    for (int i = 0; i < e.satelliteCount; ++i) std::fprintf(truth_, i ? " %d" : "%d", e.prns[i]);
    std::fputc('\n', truth_);
    if (!multiSystem_) return;
    std::fprintf(truth_, "systems,%u,%.3f,%d,", e.week, e.receiverSeconds, e.glonassCount);
    for (int i = 0; i < e.glonassCount; ++i) std::fprintf(truth_, i ? " %d" : "%d", e.glonassPrns[i]);
    std::fprintf(truth_, ",%d", e.otherCount);
    for (uint32_t n : e.leftOut) std::fprintf(truth_, ",%u", n);
    std::fputc('\n', truth_);
}

void FileSink::Satellite(const SatelliteTruth &s) {
    if (!truth_) return;
    std::fprintf(truth_,
                 "sat,%u,%.3f,%d,%.6f,%.6f,%.4f,%.4f,%.4f,%.4f,%.12e,%.4f,%.4f,%.0f,%.0f,%.3f,%.3f,%.4f,%.4f,"
                 "%.4f,%.4f,%.4f\n",
                 s.week, s.receiverSeconds, s.prn, s.elevation, s.azimuth, s.range, s.satPos[0], s.satPos[1],
                 s.satPos[2], s.satClock, s.tropo, s.ionoL1, s.ambiguityL1, s.ambiguityL2, s.lockL1, s.lockL2,
                 s.pseudorangeL1, s.pseudorangeL2, s.adrL1, s.adrL2, s.dopplerL1);
}

void FileSink::Mark(const MarkTruth &m) {
    if (!truth_) return;
    std::fprintf(truth_, "mark,%u,%.10f,%.10f,%.10f,%.10f,%.4f\n", m.week, m.gpsSeconds, m.receiverSeconds, m.latitude,
                 m.longitude, m.height);
}

void FileSink::Slip(const SlipTruth &s) {
    if (!truth_) return;
    std::fprintf(truth_, "slip,%u,%.3f,%d,%d,%d\n", s.week, s.receiverSeconds, s.prn, s.l1 ? 1 : 0, s.l2 ? 1 : 0);
}

void FileSink::Ephemeris(const EphemerisTruth &e) {
    if (!truth_) return;
    std::fprintf(truth_, "eph,%u,%.3f,%d,%u,%u,%u\n", e.week, e.receiverSeconds, e.eph.prn, e.eph.iode, e.eph.iodc,
                 e.eph.toe * 16u);
}

void FileSink::Fault(const FaultTruth &f) {
    if (!truth_) return;
    std::fprintf(truth_, "fault,%" PRIu64 ",%u,%u,%d,%s\n", f.recordIndex, f.messageId, f.week, f.milliseconds, f.kind);
}

} // namespace oem4sim
