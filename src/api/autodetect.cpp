// AutoDetect: is this file an OEM4 binary log? It looks for one complete,
// CRC-valid record near the start of the file, whatever its message id.
// It opens no port, writes no file and leaves ErrorText alone.
#include <cstdio>
#include <cstdlib>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"
#include "oem4/oem4_decoder.h"
#include "oem4conv.h"

namespace {

// The window holds a record of the longest length behind a long ASCII
// prologue (a receiver's configuration logged at start-up runs to tens of
// kilobytes). Any length counts: today's multi-system range records run to
// several kilobytes, and the conversion reads every length. A first window
// of 8000 bytes and records of at most 2048 bytes told hosts that such
// logs, which convert, were no logs at all.
constexpr std::size_t kDetectWindow = 128 * 1024;
static_assert(kDetectWindow >= kOem4HeaderLength + 0xFFFFu + kOem4CrcLength + 64000, "a longest record behind 64 kB");

// Any message id counts, so of the header checks only the record start's
// apply here.
bool IsRecordAt(const uint8_t *data, std::size_t n, std::size_t i) {
    const RecordTableEntry *anyRow = nullptr;
    if (CheckHeaderBytes(data + i, 0, kOem4Lead.size(), &anyRow) != HEADER_GOOD_SO_FAR) return false;
    const uint32_t length = le::U2(data + i + kHeaderMessageLengthAt);
    // A record whose CRC ends exactly at the last byte read is complete:
    // a file holding a single record is still a log.
    if (i + kOem4HeaderLength + length + kOem4CrcLength > n) return false;
    return Oem4Crc32(data + i, kOem4HeaderLength + length) == le::U4(data + i + kOem4HeaderLength + length);
}

} // namespace

extern "C" OEM4CONV_API int32_t OEM4CONV_CALL AutoDetect(const char *path) {
    if (path == nullptr) return 0;
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return 0;
    // Heap, not static: a host may ask while another thread converts.
    auto *data = static_cast<uint8_t *>(std::malloc(kDetectWindow));
    if (data == nullptr) {
        std::fclose(file);
        return 0;
    }
    const std::size_t n = std::fread(data, 1, kDetectWindow, file);
    int32_t found = 0;
    for (std::size_t i = 0; i + kOem4HeaderLength + kOem4CrcLength <= n && found == 0; ++i) {
        if (IsRecordAt(data, n, i)) found = 1;
    }
    std::free(data);
    std::fclose(file);
    return found;
}
