#include "support/conversion_request.h"

#include <cstdio>
#include <cstring>

namespace testsupport {

Oem4Options FactoryOptions() {
    Oem4Options o;
    std::memset(&o, 0, sizeof o);
    SetFactoryDefaults(sizeof o, &o);
    return o;
}

void FillRequest(ConvertOptions *request, const std::string &input, const std::string &output,
                 const Oem4Options &converter) {
    std::memset(request, 0, sizeof *request);
    request->structSize = sizeof *request;
    request->optionsSize = sizeof converter;
    std::memcpy(request->converterOptions, &converter, sizeof converter);
    std::snprintf(request->inputFile, sizeof request->inputFile, "%s", input.c_str());
    std::snprintf(request->outputFile, sizeof request->outputFile, "%s", output.c_str());
}

std::unique_ptr<ConvertOptions> MakeRequest(const std::string &input, const std::string &output,
                                            const Oem4Options &converter) {
    auto request = std::make_unique<ConvertOptions>();
    FillRequest(request.get(), input, output, converter);
    return request;
}

ConvertHost MakeHost(Oem4MessageCallback onMessage, Oem4ProgressCallback onProgress) {
    ConvertHost host;
    std::memset(&host, 0, sizeof host);
    host.structSize = sizeof host;
    host.onMessage = onMessage;
    host.onProgress = onProgress;
    return host;
}

} // namespace testsupport
