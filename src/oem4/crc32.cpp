#include "oem4/crc32.h"

#include <array>

#include "common/le.h"

namespace {

constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;

constexpr uint32_t Step(uint32_t value) {
    for (int bit = 0; bit < 8; ++bit) {
        value = (value & 1u) != 0 ? (value >> 1) ^ kCrc32Polynomial : value >> 1;
    }
    return value;
}

// Slicing-by-8 tables: table[0] is the plain byte table; table[k] advances a
// byte's contribution by k more bytes. Gives the same value as the bitwise
// definition, eight bytes per step; the CRC covers every record byte once,
// so it is the hottest loop of a conversion.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Crc32Tables MakeTables() {
    Crc32Tables t{};
    for (uint32_t i = 0; i < 256; ++i) t[0][i] = Step(i);
    for (uint32_t i = 0; i < 256; ++i) {
        for (size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    }
    return t;
}

constexpr Crc32Tables kTables = MakeTables();

} // namespace

uint32_t Crc32Step(uint32_t value) { return Step(value); }

uint32_t Oem4Crc32(const uint8_t *data, size_t length) {
    uint32_t crc = 0;
    while (length >= 8) {
        const uint32_t lo = le::U4(data) ^ crc;
        const uint32_t hi = le::U4(data + 4);
        crc = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^
              kTables[5][(lo >> 16) & 0xFFu] ^ kTables[4][lo >> 24] ^ kTables[3][hi & 0xFFu] ^
              kTables[2][(hi >> 8) & 0xFFu] ^ kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        data += 8;
        length -= 8;
    }
    while (length-- > 0) crc = kTables[0][(crc ^ *data++) & 0xFFu] ^ (crc >> 8);
    return crc;
}
