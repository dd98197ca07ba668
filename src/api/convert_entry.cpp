// ConvertFile, the C entry point of a conversion: checks the records the
// host passes before anything is touched, refuses a second conversion while
// one runs, and hands the rest to the driver (convert.cpp).
#include <atomic>
#include <cstring>

#if !defined(_WIN32)
#include <csignal>
#include <ctime>

#include <pthread.h>
#endif

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

#if !defined(_WIN32)
// A write into a pipe or FIFO whose reader has gone raises SIGPIPE, which by
// default ends the host's process with no word. Held back for the
// conversion (and the writer threads it starts, which inherit the mask),
// such a write fails with EPIPE instead and ends the conversion as any
// failed write does. A SIGPIPE that the conversion raised is taken away
// before the host's mask comes back; one pending before it is left.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        pendingBefore_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        held_ = pthread_sigmask(SIG_BLOCK, &pipe_, &previous_) == 0;
    }
    ~PipeSignalHeld() {
        if (!held_) return;
        sigset_t pending;
        if (!pendingBefore_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld &) = delete;
    PipeSignalHeld &operator=(const PipeSignalHeld &) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool pendingBefore_ = false;
    bool held_ = false;
};
#endif

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
    int32_t result = 0;
    {
#if !defined(_WIN32)
        const PipeSignalHeld pipeSignal;
#endif
        result = RunConversion(options, host, channels);
    }
    g_running = false;
    return result;
}
