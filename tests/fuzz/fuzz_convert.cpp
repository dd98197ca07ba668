// Fuzz target: a whole conversion of the fuzzed bytes as the input log,
// with the clock recomputation off or on (first byte; bit 4 makes every
// record's CRC correct first, so that corrupt bodies reach the decoders;
// bit 5 adds the RINEX files, bit 6 without the host's). Checks that the
// result is a valid code and that the counters and messages stay sane.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/convert.h"
#include "crc_fixup.h"
#include "oem4conv.h"
#include "record_mutator.h"

namespace {

std::string Dir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/oem4conv-fuzz-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (d == nullptr) std::abort();
        return std::string(d);
    }();
    return dir;
}

void OEM4CONV_CALL OnMessage(double, const char *text) {
    if (text == nullptr || std::strlen(text) >= 1024) std::abort();
}
void OEM4CONV_CALL OnProgress(int32_t done, int32_t total) {
    if (done < 0 || total < 0 || done > total) std::abort();
}

} // namespace

// Mutations that build the log from records (see record_mutator.h); the
// first input byte picks the options.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned seed) {
    return MutateLog(data, size, maxSize, seed, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string input = Dir() + "/in.gps";
    FILE *f = std::fopen(input.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 1 && ((data[0] >> 4) & 1u) != 0) {
        static std::vector<uint8_t> fixed;
        fixed.assign(data + 1, data + size);
        FixRecordCrcs(fixed.data(), fixed.size());
        std::fwrite(fixed.data(), 1, fixed.size(), f);
    } else if (size > 1) {
        std::fwrite(data + 1, 1, size - 1, f);
    }
    std::fclose(f);

    ConvertOptions options{};
    options.structSize = sizeof options;
    std::snprintf(options.inputFile, sizeof options.inputFile, "%s", input.c_str());
    std::snprintf(options.outputFile, sizeof options.outputFile, "%s/out", Dir().c_str());
    options.optionsSize = sizeof(Oem4Options);
    Oem4Options o{};
    SetFactoryDefaults(sizeof o, &o);
    o.recomputeClock = data[0] & 1u;
    o.reportAll = (data[0] >> 1) & 1u;
    o.epochFlag = (data[0] >> 2) & 1u;
    o.requireL2Lock = (data[0] >> 3) & 1u;
    // Bits 5-7: the channels, so that epochs are fitted to few as well as to many.
    o.channels = (data[0] >> 5) == 0 ? 12u : 3u * (data[0] >> 5);
    std::memcpy(options.converterOptions, &o, sizeof o);
    ConvertHost host{};
    host.structSize = sizeof host;
    host.onMessage = OnMessage;
    host.onProgress = OnProgress;

    ConvertRinexOptions rinex{};
    rinex.enabled = (data[0] >> 5) & 1u;
    rinex.hostFiles = ((data[0] >> 6) & 1u) == 0 ? 1 : 0;
    rinex.version = ((data[0] >> 7) & 1u) != 0 ? 211 : 304;
    SetConvertRinex(&rinex);

    const int32_t result = ConvertFile(&options, &host, 0);
    if (result < 0 || result > 3) std::abort();
    char text[1024];
    GetErrString(text);
    if (std::memchr(text, 0, sizeof text) == nullptr) std::abort();
    for (const char *ext : {".tsq", ".epp", ".sta", ".obs", ".nav", ".gnav", kSecondAntennaObsEnd}) {
        unlink((Dir() + "/out" + ext).c_str());
    }
    unlink(input.c_str());
    return 0;
}
