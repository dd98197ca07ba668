// The files a conversion writes: where they go, and opening and closing
// them as one set. Either every output the conversion asks for is open, or
// none is; closing reports each file that fails to close, not only the
// first, since each failure is data the user does not have.
#pragma once

#include <cstdint>
#include <cstdio>

#include "api/convert.h"
#include "common/path_size.h"

struct RinexExport;

struct Oem4Decoder;
struct TsqFile;
struct ConvertOptions;

// The input and every output path of one conversion; an empty path is an
// output this conversion does not write.
struct OutputPaths {
    char input[kPathBufferSize];
    char tsq[kPathBufferSize];
    char epp[kPathBufferSize];
    char sta[kPathBufferSize];
    char obs[kPathBufferSize];
    char nav[kPathBufferSize];
    char glonassNav[kPathBufferSize]; // RINEX 2.11 only
    // The observations of a receiver's second antenna, with RINEX; created
    // only when the log holds any.
    char secondAntennaObs[kPathBufferSize];
};

// Takes the host's input path and output base and gives each output its
// extension. False, with ErrorText saying why, when a path does not fit.
bool PreparePaths(const ConvertOptions *options, const ConvertRinexOptions &rinex, OutputPaths *paths);

// The open outputs of one conversion. What is still open when the set goes
// is discarded (as after a failed open), so no early return leaks a file.
class OutputSet {
public:
    OutputSet() = default;
    OutputSet(const OutputSet &) = delete;
    OutputSet &operator=(const OutputSet &) = delete;
    ~OutputSet() { Discard(); }

    // Opens the outputs in their fixed order (the host's three unless RINEX
    // replaces them, then the RINEX files), after making sure none of them
    // is the input: creating an output truncates it. All or none: on
    // failure whatever was opened is discarded again, and ErrorText and
    // errno still say why the open failed.
    bool Open(std::FILE *input, OutputPaths *paths, const ConvertRinexOptions &rinex, uint32_t channels);

    // Opens the observation file of the receiver's second antenna, once the
    // log shows one (secondAntennaExport set before). False, with ErrorText
    // saying why, when it cannot be opened.
    bool OpenSecondAntenna(const ConvertRinexOptions &rinex);

    // Closes every output still open. A failed final flush loses data:
    // each failing close leaves its text in ErrorText and calls fail.
    void Close(const Oem4Decoder *port, void (*fail)(double time));

    // Closes without writing what is pending (the RINEX files are not
    // completed), keeping ErrorText: for a conversion that never started.
    void Discard();

    TsqFile *tsq = nullptr;
    std::FILE *epp = nullptr;
    std::FILE *sta = nullptr;
    bool rinexOpen = false;
    // The conversion's RINEX export state, which the RINEX files are opened
    // and closed through; set before Open when RINEX is asked for.
    RinexExport *rinexExport = nullptr;
    // Likewise for the second antenna's observation file.
    bool secondAntennaOpen = false;
    RinexExport *secondAntennaExport = nullptr;
    // The paths the outputs were opened with (messages name them).
    const OutputPaths *paths = nullptr;

private:
    bool OpenHostFiles(const OutputPaths &paths, uint32_t channels);
};
