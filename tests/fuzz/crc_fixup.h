// Lets mutations inside record bodies reach the decoders: a random change
// almost never keeps a CRC-32 right, so the fuzz targets can rewrite the
// CRC of every record header they find before the bytes are fed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"

inline void FixRecordCrcs(uint8_t *data, size_t size) {
    for (size_t at = 0; at + 10 <= size; ++at) {
        const uint8_t *p = data + at;
        if (!HasOem4Lead(p)) continue;
        const size_t covered = 28 + static_cast<size_t>(le::U2(p + 8));
        if (at + covered + 4 > size) continue;
        le::PutU4(data + at + covered, Oem4Crc32(data + at, covered));
    }
}
