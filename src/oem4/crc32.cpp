#include "oem4/crc32.h"

namespace {
constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;
}

uint32_t Crc32Step(uint32_t value) {
    for (int bit = 0; bit < 8; ++bit) {
        value = (value & 1u) != 0 ? (value >> 1) ^ kCrc32Polynomial : value >> 1;
    }
    return value;
}

uint32_t Oem4Crc32(const uint8_t *data, size_t length) {
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = Crc32Step((crc ^ data[i]) & 0xFFu) ^ (crc >> 8);
    }
    return crc;
}
