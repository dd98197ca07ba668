// The OEM4 record CRC-32: reflected polynomial 0xEDB88320, initial value 0,
// no final inversion, over the header and body of a record.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t Crc32Step(uint32_t value);
uint32_t Oem4Crc32(const uint8_t *data, size_t length);
// The same value by the lookup tables alone, whatever the processor offers.
uint32_t Oem4Crc32Tables(const uint8_t *data, size_t length);
