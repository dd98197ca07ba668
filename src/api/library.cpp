// The small exports: options defaults, abort and the message text.
#include <cstring>

#include "api/error_text.h"
#include "common/le.h"
#include "oem4conv.h"

std::atomic<int32_t> AbortCount{0};

static_assert(sizeof(Oem4Options) == OEM4CONV_OEM4_OPTIONS_SIZE);
static_assert(offsetof(Oem4Options, epochFlag) == 0);
static_assert(offsetof(Oem4Options, maxPositionAge) == 4);
static_assert(offsetof(Oem4Options, reportAll) == 12);
static_assert(offsetof(Oem4Options, recomputeClock) == 16);
static_assert(offsetof(Oem4Options, requireL2Lock) == 20);
static_assert(offsetof(Oem4Options, spare) == 24);
static_assert(offsetof(Oem4Options, channels) == OEM4CONV_OEM4_OPTIONS_SIZE_V1);

static_assert(sizeof(ConvertOptions) == 2672);
static_assert(offsetof(ConvertOptions, inputFile) == 4);
static_assert(offsetof(ConvertOptions, outputFile) == 260);
static_assert(offsetof(ConvertOptions, optionsSize) == 516);
static_assert(offsetof(ConvertOptions, converterOptions) == 520);
static_assert(offsetof(ConvertOptions, epochCount) == 2568);
static_assert(offsetof(ConvertOptions, ephemerisCount) == 2572);
static_assert(offsetof(ConvertOptions, spareCount) == 2576);
static_assert(offsetof(ConvertOptions, markCount) == 2580);
static_assert(offsetof(ConvertOptions, unused) == 2584);

// ConvertHost keeps the 32-bit field order; with 8-byte pointers the
// callbacks sit at their natural alignment.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ConvertHost) == 272);
static_assert(offsetof(ConvertHost, onMessage) == 8);
static_assert(offsetof(ConvertHost, onProgress) == 12);
static_assert(offsetof(ConvertHost, unused) == 16);
#else
static_assert(sizeof(ConvertHost) == 280);
static_assert(offsetof(ConvertHost, onMessage) == 8);
static_assert(offsetof(ConvertHost, onProgress) == 16);
static_assert(offsetof(ConvertHost, unused) == 24);
#endif

extern "C" {

OEM4CONV_API void OEM4CONV_CALL SetFactoryDefaults(int32_t size, Oem4Options *options) {
    // Hosts built before the channels field pass the shorter size: their
    // record has no room for it.
    if ((size != static_cast<int32_t>(OEM4CONV_OEM4_OPTIONS_SIZE) &&
         size != static_cast<int32_t>(OEM4CONV_OEM4_OPTIONS_SIZE_V1)) ||
        options == nullptr)
        return;
    auto *p = reinterpret_cast<uint8_t *>(options);
    le::PutU4(p + offsetof(Oem4Options, epochFlag), 0);
    le::PutR8(p + offsetof(Oem4Options, maxPositionAge), 5.0);
    le::PutU4(p + offsetof(Oem4Options, reportAll), 0);
    le::PutU4(p + offsetof(Oem4Options, recomputeClock), 0);
    le::PutU4(p + offsetof(Oem4Options, requireL2Lock), 1);
    if (size == static_cast<int32_t>(OEM4CONV_OEM4_OPTIONS_SIZE)) {
        le::PutU4(p + offsetof(Oem4Options, channels), OEM4CONV_DEFAULT_CHANNELS);
    }
}

OEM4CONV_API void OEM4CONV_CALL Abort(void) { AbortCount.fetch_add(1); }

OEM4CONV_API void OEM4CONV_CALL GetErrString(char *destination) {
    if (destination == nullptr) return;
    // The conversion may be formatting a message meanwhile: taken whole
    // under the writers' lock, the copy is one text, ended within its 512
    // bytes, and the host's buffer is written outside the lock.
    char copy[kErrorTextSize];
    LockErrorText();
    std::memcpy(copy, ErrorText, sizeof copy);
    UnlockErrorText();
    copy[sizeof copy - 1] = '\0';
    std::memcpy(destination, copy, std::strlen(copy) + 1);
}

} // extern "C"
