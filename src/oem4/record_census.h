// What the bytes the framing skipped hold. An INS receiver logs its IMU and
// solution records (short headers, and long headers of kinds the record
// table does not know) beside the GNSS records, and they may be most of the
// log: a conversion that skipped many bytes looks through the log once more
// and tells those intact records from damaged data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

struct RecordCensus {
    uint64_t records = 0;                    // intact records of kinds the record table does not hold
    uint64_t bytes = 0;                      // their bytes, headers and CRCs included
    std::unique_ptr<uint32_t[]> recordsOfId; // per message id, 65536 entries once one is counted
    // The bytes the CRC checks may still cover. Damaged data can claim a
    // long record at every byte; without a bound the checks would take time
    // in proportion to the data times the claimed length. ReadRecordCensus
    // grants kCensusCheckShare bytes for each byte read; past that the
    // census gives up (gaveUp) and its counts mean nothing, as when the
    // table of ids cannot be had.
    uint64_t checkBudget = 0;
    bool gaveUp = false;
};
inline constexpr uint64_t kCensusCheckShare = 4;
// The longest record there can be: a long header, a body of 65535 bytes and
// the CRC. An area of this size or more looks at every record.
inline constexpr std::size_t kCensusLongestRecord = 28 + 65535 + 4;
inline constexpr uint64_t kCensusFirstBudget = 1u << 20;

// Looks through data[0, have): counts each intact record (CRC good, long or
// short header) whose kind the record table does not hold, and steps over
// it and over every record of a kind the table holds whose length suits
// the kind (the framing checked its CRC). Returns how many
// bytes it is done with; the caller presents the rest again with the bytes
// that follow, unless atEnd (no more will come). A record longer than
// `capacity` (what the caller can present at once) is not looked for.
std::size_t ScanRecordCensus(RecordCensus *census, const uint8_t *data, std::size_t have, bool atEnd,
                             std::size_t capacity);

// The census of a whole log read through `area` (`size` bytes, the longest
// record looked for): read(context, to, most) gives the next bytes of the
// log, 0 at its end (or to stop early).
using CensusReadFn = std::size_t (*)(void *context, uint8_t *to, std::size_t most);
void ReadRecordCensus(RecordCensus *census, CensusReadFn read, void *context, uint8_t *area, std::size_t size);

// The most frequent message ids counted (most records first, at most
// three), and how many other ids there were.
inline constexpr std::size_t kCensusTopIds = 3;
struct CensusTop {
    std::array<uint32_t, kCensusTopIds> ids;
    std::size_t count;
    std::size_t others;
};
CensusTop TopCensusIds(const RecordCensus &census);
