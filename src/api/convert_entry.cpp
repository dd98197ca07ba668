// ConvertFile, the C entry point of a conversion: checks the records the
// host passes before anything is touched, refuses a second conversion while
// one runs, and hands the rest to the driver (convert.cpp).
#include <atomic>
#include <cstring>

#include "api/convert.h"
#include "api/error_text.h"
#include "oem4/oem4_decoder.h"
#include "oem4conv.h"

namespace {

constexpr const char *kVersionText = "Incorrect version of OEM4 Conversion DLL";
constexpr const char *kOptionsText = "Incorrect version of OEM4 Conversion DLL, Invalid options";
constexpr const char *kChannelsText =
    "Incorrect version of OEM4 Conversion DLL, Invalid options: channels %u (1 to %u)";

// The driver's state exists once per process; a second conversion started
// while one runs (another thread, or a callback) is refused rather than
// allowed to share it.
std::atomic<bool> g_running{false};

} // namespace

extern "C" OEM4CONV_API int32_t OEM4CONV_CALL ConvertFile(ConvertOptions *options, ConvertHost *host, int32_t) {
    if (options == nullptr || host == nullptr || options->structSize != sizeof(ConvertOptions) ||
        host->structSize != sizeof(ConvertHost)) {
        SetErrorText(kVersionText);
        return 1;
    }
    if (!IsOem4OptionsSize(static_cast<int32_t>(options->optionsSize))) {
        SetErrorText(kOptionsText);
        return 1;
    }
    // A host that knows the channels field sets it (0 keeps the default); an
    // older host's record ends before it.
    uint32_t channels = OEM4CONV_DEFAULT_CHANNELS;
    if (options->optionsSize >= OEM4CONV_OEM4_OPTIONS_SIZE) {
        Oem4Options requested;
        std::memcpy(&requested, options->converterOptions, sizeof requested);
        channels = OptionsChannels(requested);
        if (channels > OEM4CONV_MAX_CHANNELS) {
            FormatErrorText(kChannelsText, channels, OEM4CONV_MAX_CHANNELS);
            return 1;
        }
    }
    if (g_running.exchange(true)) {
        SetErrorText("Error: A conversion is already running");
        return 1;
    }
    const int32_t result = RunConversion(options, host, channels);
    g_running = false;
    return result;
}
