// Writers of the simulator's two outputs: the log itself, streamed through
// a fixed buffer, and the CSV truth file.
#pragma once

#include <cstdio>
#include <string>

#include "simulator.h"

namespace oem4sim {

// Writes the log to one file and the truth (when a path is given) to
// another. Both are written as the scene runs, never held in memory.
class FileSink : public SimSink {
public:
    ~FileSink() override;
    // Returns "" or the reason a file could not be opened.
    std::string Open(const std::string &logPath, const std::string &truthPath, const SimConfig &cfg);
    // Flushes and closes; returns "" or the reason writing failed.
    std::string Close();

    bool Bytes(const uint8_t *data, size_t length) override;
    void Epoch(const EpochTruth &e) override;
    void Satellite(const SatelliteTruth &s) override;
    void Mark(const MarkTruth &m) override;
    void Slip(const SlipTruth &s) override;
    void Ephemeris(const EphemerisTruth &e) override;
    void Fault(const FaultTruth &f) override;

private:
    bool Flush();

    FILE *log_ = nullptr;
    FILE *truth_ = nullptr;
    std::string logPath_, truthPath_;
    bool writeFailed_ = false;
    bool multiSystem_ = false; // the systems line follows each epoch line
    static constexpr size_t kBufferSize = 1 << 20;
    unsigned char *buffer_ = nullptr;
    size_t used_ = 0;
};

} // namespace oem4sim
