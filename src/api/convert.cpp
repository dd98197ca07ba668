// ConvertFile: the conversion driver.
#include "api/convert.h"

#include "api/error_text.h"
#include "oem4conv.h"

namespace {
// The host record of the running conversion; used only during ConvertFile.
const ConvertHost *g_host = nullptr;
} // namespace

void ForwardMessage(double time, const char *text) {
    if (g_host != nullptr && g_host->onMessage != nullptr) g_host->onMessage(time, text);
}

extern "C" OEM4CONV_API int32_t OEM4CONV_CALL ConvertFile(ConvertOptions *options,
                                                          ConvertHost *host, int32_t) {
    if (options == nullptr || host == nullptr || options->structSize != sizeof(ConvertOptions) ||
        host->structSize != sizeof(ConvertHost)) {
        SetErrorText("Incorrect version of OEM4 Conversion DLL");
        return 1;
    }
    if (options->optionsSize != sizeof(Oem4Options)) {
        SetErrorText("Incorrect version of OEM4 Conversion DLL, Invalid options");
        return 1;
    }
    g_host = host;
    AbortCount = 0;
    // The conversion itself lands with the driver.
    g_host = nullptr;
    return 0;
}
