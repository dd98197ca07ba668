// AutoDetect: is this file an OEM4 binary log? It looks for one complete,
// CRC-valid record near the start of the file, whatever its message id.
// It opens no port, writes no file and leaves ErrorText alone.
#include <cstdio>
#include <cstdlib>

#include "common/le.h"
#include "oem4/crc32.h"
#include "oem4conv.h"

namespace {

constexpr std::size_t kDetectWindow = 8000;
constexpr std::size_t kHeaderLength = 28;
constexpr std::size_t kCrcLength = 4;
constexpr uint32_t kMaxMessageLength = 2048;

bool IsRecordAt(const uint8_t *data, std::size_t n, std::size_t i) {
    if (data[i] != 0xAA || data[i + 1] != 0x44 || data[i + 2] != 0x12) return false;
    const uint32_t length = le::U2(data + i + 8);
    if (length > kMaxMessageLength) return false;
    // A record whose CRC ends exactly at the last byte read is complete:
    // a file holding a single record is still a log.
    if (i + kHeaderLength + length + kCrcLength > n) return false;
    if (data[i + 3] != kHeaderLength) return false;
    return Oem4Crc32(data + i, kHeaderLength + length) ==
           le::U4(data + i + kHeaderLength + length);
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
    for (std::size_t i = 0; i + kHeaderLength + kCrcLength <= n && found == 0; ++i) {
        if (IsRecordAt(data, n, i)) found = 1;
    }
    std::free(data);
    std::fclose(file);
    return found;
}
