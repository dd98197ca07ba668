// Lets mutations inside record bodies reach the decoders: a random change
// almost never keeps a CRC-32 right, so the fuzz targets can rewrite the
// CRC of every record header they find before the bytes are fed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/le.h"
#include "common/oem4_format.h"
#include "oem4/crc32.h"

// Short headers (an INS receiver's records: AA 44 13, the body length in
// byte 3) too, for the scan that tells such records from damage.
inline void FixRecordCrcs(uint8_t *data, size_t size) {
    for (size_t at = 0; at + 10 <= size; ++at) {
        const uint8_t *p = data + at;
        size_t covered = 0;
        if (HasOem4Lead(p)) {
            covered = 28 + static_cast<size_t>(le::U2(p + 8));
        } else if (p[0] == kOem4Sync1 && p[1] == kOem4Sync2 && p[2] == 0x13) {
            covered = 12 + static_cast<size_t>(p[3]);
        } else {
            continue;
        }
        if (at + covered + 4 > size) continue;
        le::PutU4(data + at + covered, Oem4Crc32(data + at, covered));
    }
}
