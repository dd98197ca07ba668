// Fuzz target: any byte stream through the framing machine and the record
// decoders, under every option combination. The first input byte picks the
// options; the stream is fed both byte by byte and in blocks of a size
// taken from the second byte (whose low bit also picks the antenna whose
// ranges are decoded), and the two runs must agree exactly. With
// bit 6 of the first byte set, every record found gets a correct CRC first
// so that corrupt yet CRC-valid bodies reach the decoders. With bit 7
// set, the port hands its decoded epochs over as to the RINEX export, which
// also collects range records past 8192 bytes; the epochs handed over must
// agree too. The scan that tells records of other kinds from damage must
// count the same fed at once and fed in blocks of that size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crc_fixup.h"
#include "ephemeris/ephemeris_list.h"
#include "navigation/receiver_clock.h"
#include "oem4/oem4_decoder.h"
#include "oem4/record_census.h"
#include "record_mutator.h"
#include "threadbuf/payloads.h"
#include "threadbuf/threadbuf.h"

namespace {

std::string g_messages;

void Collect(double time, const char *text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ", time);
    g_messages += stamp;
    g_messages += text;
    g_messages += '\n';
}

// Each decoded epoch handed over: its time, its count and its first and
// last observation's pseudorange bits.
void CollectEpoch(const DecodedEpoch *epoch) {
    char line[96];
    uint64_t first = 0, last = 0;
    if (epoch->count != 0) {
        std::memcpy(&first, &epoch->obs[0].pseudorange, sizeof first);
        std::memcpy(&last, &epoch->obs[epoch->count - 1].pseudorange, sizeof last);
    }
    std::snprintf(line, sizeof line, "epoch %.3f %u %u %016llx %016llx\n", epoch->time, epoch->count, epoch->dropped,
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
    g_messages += line;
}

struct Outcome {
    std::vector<uint8_t> results; // result codes and the buffers they left
    std::string messages;         // and the epochs handed over
};

ThreadBuf g_buf;

// Mark numbers count over the library's lifetime, so two runs of one
// stream number their marks differently; everything else must match.
void ForgetMarkNumber(ThreadBuf *b) {
    const int32_t at = FindThreadBufGroup(b, TBREC_MARK);
    if (at >= 0) {
        std::memset(b->bytes + at + kThreadBufGroupHeaderSize + offsetof(MarkRecord, markNumber), 0, sizeof(uint32_t));
    }
}

Outcome Feed(const Oem4Options &options, bool handOver, PortAntenna antenna, const uint8_t *data, size_t size,
             uint32_t block) {
    g_messages.clear();
    OpenPort(0, Collect);
    SetPortOptions(0, &options, sizeof options);
    SetPortAntenna(0, antenna);
    if (handOver) SetPortEpochHandler(0, CollectEpoch);
    ClearEphemerisList();
    ClearThreadBuf(&g_buf);
    Outcome out;
    auto note = [&](size_t at, int32_t r) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(&at);
        out.results.insert(out.results.end(), p, p + sizeof at);
        out.results.push_back(static_cast<uint8_t>(r));
        ForgetMarkNumber(&g_buf);
        // Only the used part: a decoder that puts nothing leaves older bytes behind.
        uint32_t used = 0;
        std::memcpy(&used, g_buf.bytes + 12, sizeof used);
        if (used > sizeof g_buf.bytes) used = sizeof g_buf.bytes;
        out.results.insert(out.results.end(), g_buf.bytes, g_buf.bytes + used);
    };
    if (block == 0) {
        for (size_t i = 0; i < size; ++i) {
            const int32_t r = DecodeByte(0, data[i], &g_buf);
            if (r != 0) note(i, r);
        }
    } else {
        size_t pos = 0;
        while (pos < size) {
            const uint32_t n = static_cast<uint32_t>(size - pos < block ? size - pos : block);
            uint32_t used = 0;
            const int32_t r = DecodeBytes(0, data + pos, n, &g_buf, &used);
            if (used == 0) std::abort();
            pos += used;
            if (r != 0) note(pos - 1, r);
        }
    }
    // The end of the input: what is still waiting is fed out.
    for (int32_t r; (r = FlushPort(0, &g_buf)) != 0;) note(size, r);
    out.messages = g_messages;
    return out;
}

} // namespace

// Mutations that build the log from records (see record_mutator.h); the
// first two input bytes pick the options.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned seed) {
    return MutateLog(data, size, maxSize, seed, 2);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t pick = data[0];
    Oem4Options options{};
    options.epochFlag = pick & 1u;
    options.reportAll = (pick >> 1) & 1u;
    options.recomputeClock = (pick >> 2) & 1u;
    options.requireL2Lock = (pick >> 3) & 1u;
    static constexpr double kAges[4] = {0.0, 1.0, 5.0, 1e300};
    options.maxPositionAge = kAges[(pick >> 4) & 3u];
    const bool handOver = (pick >> 7) & 1u;
    const uint32_t block = 1u + data[1] * 37u;
    // The second byte's low bit also picks the antenna whose ranges the port
    // decodes, as the second antenna's port of a conversion does.
    const PortAntenna antenna = (data[1] & 1u) != 0 ? kPortSecondAntenna : kPortFirstAntenna;
    data += 2;
    size -= 2;
    static std::vector<uint8_t> fixed;
    if ((pick >> 6) & 1u) {
        fixed.assign(data, data + size);
        FixRecordCrcs(fixed.data(), fixed.size());
        data = fixed.data();
    }

    // The clock recomputation remembers its last fix across runs; both
    // runs must start from the same one.
    const FixState fix = PreviousFix;
    const Outcome bytewise = Feed(options, handOver, antenna, data, size, 0);
    PreviousFix = fix;
    const Outcome blockwise = Feed(options, handOver, antenna, data, size, block);
    if (bytewise.results != blockwise.results || bytewise.messages != blockwise.messages) {
        std::fprintf(stderr,
                     "byte and block feeding differ (block %u, options %02x)\n"
                     "--- byte by byte: %zu result bytes\n%s--- block: %zu result bytes\n%s",
                     block, pick, bytewise.results.size(), bytewise.messages.c_str(), blockwise.results.size(),
                     blockwise.messages.c_str());
        std::abort();
    }
    ClearEphemerisList();

    // The census of the bytes at once, and read through a window of 600
    // bytes in pieces of `block`.
    constexpr std::size_t kWindow = 600;
    RecordCensus whole, pieces;
    whole.checkBudget = kCensusFirstBudget + kCensusCheckShare * size;
    ScanRecordCensus(&whole, data, size, true, kWindow);
    struct Source {
        const uint8_t *data;
        std::size_t size, next, block;
    } source{data, size, 0, block};
    static std::vector<uint8_t> window(kWindow);
    ReadRecordCensus(
        &pieces,
        [](void *context, uint8_t *to, std::size_t most) {
            Source &src = *static_cast<Source *>(context);
            const std::size_t n = std::min({most, src.block, src.size - src.next});
            if (n != 0) std::memcpy(to, src.data + src.next, n);
            src.next += n;
            return n;
        },
        &source, window.data(), window.size());
    if (!whole.gaveUp && !pieces.gaveUp && (whole.records != pieces.records || whole.bytes != pieces.bytes)) {
        std::fprintf(stderr, "census differs: whole %llu records %llu bytes, in blocks of %u %llu records %llu bytes\n",
                     static_cast<unsigned long long>(whole.records), static_cast<unsigned long long>(whole.bytes),
                     block, static_cast<unsigned long long>(pieces.records),
                     static_cast<unsigned long long>(pieces.bytes));
        std::abort();
    }
    return 0;
}
