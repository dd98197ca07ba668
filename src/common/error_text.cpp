#include "common/error_text.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "common/worker_thread.h"

char ErrorText[kErrorTextSize] = "";

namespace {

// Held for one write or one copy: the time of formatting a line.
std::atomic_flag g_errorTextBusy = ATOMIC_FLAG_INIT;

} // namespace

void LockErrorText() {
    while (g_errorTextBusy.test_and_set(std::memory_order_acquire)) PauseWorker();
}

void UnlockErrorText() { g_errorTextBusy.clear(std::memory_order_release); }

void SetErrorText(const char *text) {
    LockErrorText();
    std::snprintf(ErrorText, sizeof ErrorText, "%s", text);
    UnlockErrorText();
}

const char *FormatErrorTextV(const char *format, va_list args) {
    LockErrorText();
    std::vsnprintf(ErrorText, sizeof ErrorText, format, args);
    UnlockErrorText();
    return ErrorText;
}

const char *FormatErrorText(const char *format, ...) {
    va_list args;
    va_start(args, format);
    FormatErrorTextV(format, args);
    va_end(args);
    return ErrorText;
}
