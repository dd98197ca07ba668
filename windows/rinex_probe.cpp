// Converts logs with the RINEX export on, through the static library: the
// RINEX files are not reachable through the DLL's exports, and those of the
// Windows build must read exactly as the native build's (number formats of
// the two runtimes differ).
//
//   rinex_probe OUTDIR LOG...   writes OUTDIR/<log name>.obs and .nav
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "api/convert.h"
#include "oem4conv.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: rinex_probe OUTDIR LOG...\n");
        return 2;
    }
    ConvertRinexOptions rinex{};
    rinex.enabled = 1;
    rinex.hostFiles = 0;
    SetConvertRinex(&rinex);
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        const std::size_t slash = name.find_last_of("/\\");
        if (slash != std::string::npos) name = name.substr(slash + 1);
        auto options = std::make_unique<ConvertOptions>();
        std::memset(options.get(), 0, sizeof(ConvertOptions));
        options->structSize = sizeof(ConvertOptions);
        options->optionsSize = sizeof(Oem4Options);
        SetFactoryDefaults(sizeof(Oem4Options), reinterpret_cast<Oem4Options *>(options->converterOptions));
        std::snprintf(options->inputFile, sizeof options->inputFile, "%s", argv[i]);
        std::snprintf(options->outputFile, sizeof options->outputFile, "%s/%s", argv[1], name.c_str());
        ConvertHost host;
        std::memset(&host, 0, sizeof host);
        host.structSize = sizeof(ConvertHost);
        const int32_t result = ConvertFile(options.get(), &host, 0);
        char text[512];
        GetErrString(text);
        std::printf("%s: %d, %u epochs, %u ephemerides, %u marks%s%s\n", name.c_str(), result,
                    options->epochCount, options->ephemerisCount, options->markCount, result != 0 ? ": " : "",
                    result != 0 ? text : "");
        if (result != 0) status = 1;
    }
    return status;
}
