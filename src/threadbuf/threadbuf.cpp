#include "threadbuf/threadbuf.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/le.h"

namespace {

// Header word offsets.
constexpr int32_t kGroupCountAt = 0;
constexpr int32_t kTypeMaskAt = 4;
constexpr int32_t kNonEmptyAt = 8;
constexpr int32_t kBytesUsedAt = 12;

// Group word offsets, relative to the group's start.
constexpr int32_t kMarkerAt = 0;
constexpr int32_t kTypeAt = 4;
constexpr int32_t kCountAt = 8;
constexpr int32_t kSizeAt = 12;
constexpr int32_t kMoreAt = 16;

constexpr std::array<int32_t, 19> kRecordSizes = {
    0,   // unused
    68,  // TBREC_EPOCH
    44,  // TBREC_MEAS
    184, // TBREC_GPSEPH
    32,  // TBREC_TRACKING
    20,  // TBREC_TYPE5
    64,  // TBREC_POSITION
    72,  // TBREC_TYPE7
    272, // TBREC_ALMANAC
    4,   // TBREC_TYPE9
    0,   // TBREC_TEXT: u32 byte count + bytes
    40,  // TBREC_TYPE11
    92,  // TBREC_MARK
    28,  // TBREC_TYPE13
    136, // TBREC_TYPE14
    224, // TBREC_TYPE15
    32,  // TBREC_TYPE16
    64,  // TBREC_TYPE17
    112, // TBREC_TYPE18
};

// One capacity for the whole library, as hosts expect.
// A host may set it from another thread while a conversion puts records:
// each put reads it once, so it takes the old capacity or the new. Relaxed,
// a plain load and store.
std::atomic<int32_t> g_capacity{kThreadBufDefaultCapacity};

// Where a put must end: the capacity, within the buffer's storage.
int64_t PutLimit() { return std::min<int64_t>(g_capacity.load(std::memory_order_relaxed), kThreadBufDefaultCapacity); }

// Text returned by GetThreadBufErrString; overwritten by the next call.
char g_errString[64];

uint32_t Word(const ThreadBuf *buf, int64_t at) { return le::U4(buf->bytes + at); }
void SetWord(ThreadBuf *buf, int64_t at, uint32_t v) { le::PutU4(buf->bytes + at, v); }

// Where a walk of the group chain must stop: at the bytes in use, but never
// past the storage, whatever a buffer built outside says it uses.
int64_t ChainEnd(const ThreadBuf *buf, uint32_t used) {
    return std::min<int64_t>(used, static_cast<int64_t>(sizeof buf->bytes));
}

// Walks the chain from the first group and returns the offset of the group
// whose more word is 0, or -1 when the chain runs outside the used bytes or
// the storage (a corrupted buffer handed in from outside).
int64_t LastGroupOffset(const ThreadBuf *buf, uint32_t used) {
    const int64_t end = ChainEnd(buf, used);
    int64_t at = kThreadBufHeaderSize;
    for (;;) {
        if (at + kThreadBufGroupHeaderSize > end) return -1;
        if (Word(buf, at + kMoreAt) == 0) return at;
        at += kThreadBufGroupHeaderSize + static_cast<int64_t>(Word(buf, at + kSizeAt));
    }
}

} // namespace

int32_t ThreadBufRecordSize(int32_t type) {
    if (type < kThreadBufMinType || type > kThreadBufMaxType) return 0;
    return kRecordSizes[static_cast<size_t>(type)];
}

void ClearThreadBuf(ThreadBuf *buf) {
    SetWord(buf, kGroupCountAt, 0);
    SetWord(buf, kTypeMaskAt, 0);
    SetWord(buf, kNonEmptyAt, 0);
    SetWord(buf, kBytesUsedAt, kThreadBufHeaderSize);
}

int32_t PutThreadBufData(ThreadBuf *buf, const void *data, int32_t count, int32_t type) {
    if (type < kThreadBufMinType || type > kThreadBufMaxType) return TB_BAD_TYPE;

    int64_t payload = 0;
    if (type == TBREC_TEXT) {
        payload = static_cast<int64_t>(le::U4(static_cast<const uint8_t *>(data))) + 4;
    } else {
        payload = static_cast<int64_t>(kRecordSizes[static_cast<size_t>(type)]) * count;
    }
    if (payload <= 0) return TB_BAD_TYPE;

    const bool empty = Word(buf, kNonEmptyAt) == 0;
    const uint32_t used = empty ? kThreadBufHeaderSize : Word(buf, kBytesUsedAt);
    int64_t last = -1;
    int64_t at = kThreadBufHeaderSize;
    if (!empty) {
        last = LastGroupOffset(buf, used);
        if (last < 0) return TB_INTERNAL;
        at = last + kThreadBufGroupHeaderSize + Word(buf, last + kSizeAt);
    }

    // The capacity is the host's setting, but our buffers never hold more
    // than their storage: a larger setting is limited to it.
    const int64_t limit = PutLimit();
    if (static_cast<int64_t>(used) + kThreadBufGroupHeaderSize + payload > limit) return TB_OVERRUN;
    if (at + kThreadBufGroupHeaderSize + payload > limit) return TB_INTERNAL;

    SetWord(buf, at + kMarkerAt, 1);
    SetWord(buf, at + kTypeAt, static_cast<uint32_t>(type));
    SetWord(buf, at + kCountAt, static_cast<uint32_t>(count));
    SetWord(buf, at + kSizeAt, static_cast<uint32_t>(payload));
    SetWord(buf, at + kMoreAt, 0);
    // Records built in place (ThreadBufNextPayload) are already there.
    uint8_t *to = buf->bytes + at + kThreadBufGroupHeaderSize;
    if (to != data) std::memcpy(to, data, static_cast<size_t>(payload));

    if (empty) {
        SetWord(buf, kNonEmptyAt, 1);
    } else {
        SetWord(buf, last + kMoreAt, 1);
    }
    SetWord(buf, kGroupCountAt, Word(buf, kGroupCountAt) + 1);
    SetWord(buf, kBytesUsedAt, used + kThreadBufGroupHeaderSize + static_cast<uint32_t>(payload));
    SetWord(buf, kTypeMaskAt, Word(buf, kTypeMaskAt) | (1u << (type - 1)));
    return TB_OK;
}

int32_t PutThreadBufGroups(ThreadBuf *buf, const ThreadBufGroupData *groups, int32_t n) {
    constexpr int32_t kMaxGroups = 4;
    std::array<int64_t, kMaxGroups> payloads{};
    // Only groups of fixed-size records that all fit take the single walk;
    // anything else goes one put at a time, whose checks tell what fails.
    bool quick = n > 0 && n <= kMaxGroups;
    int64_t total = 0;
    for (int32_t g = 0; quick && g < n; ++g) {
        const int32_t type = groups[g].type;
        if (type < kThreadBufMinType || type > kThreadBufMaxType || type == TBREC_TEXT) {
            quick = false;
            break;
        }
        payloads[static_cast<size_t>(g)] =
            static_cast<int64_t>(kRecordSizes[static_cast<size_t>(type)]) * groups[g].count;
        if (payloads[static_cast<size_t>(g)] <= 0) quick = false;
        total += kThreadBufGroupHeaderSize + payloads[static_cast<size_t>(g)];
    }
    const bool empty = Word(buf, kNonEmptyAt) == 0;
    const uint32_t used = empty ? kThreadBufHeaderSize : Word(buf, kBytesUsedAt);
    int64_t last = -1;
    int64_t at = kThreadBufHeaderSize;
    if (quick && !empty) {
        last = LastGroupOffset(buf, used);
        if (last < 0) {
            quick = false;
        } else {
            at = last + kThreadBufGroupHeaderSize + Word(buf, last + kSizeAt);
        }
    }
    const int64_t limit = PutLimit();
    // A chain that does not end where the used bytes do is left to the
    // single puts, which each walk it again.
    if (!quick || at != static_cast<int64_t>(used) || at + total > limit) {
        for (int32_t g = 0; g < n; ++g) {
            const int32_t code = PutThreadBufData(buf, groups[g].data, groups[g].count, groups[g].type);
            if (code != TB_OK) return code;
        }
        return TB_OK;
    }
    uint32_t typeMask = Word(buf, kTypeMaskAt);
    for (int32_t g = 0; g < n; ++g) {
        const int64_t payload = payloads[static_cast<size_t>(g)];
        SetWord(buf, at + kMarkerAt, 1);
        SetWord(buf, at + kTypeAt, static_cast<uint32_t>(groups[g].type));
        SetWord(buf, at + kCountAt, static_cast<uint32_t>(groups[g].count));
        SetWord(buf, at + kSizeAt, static_cast<uint32_t>(payload));
        SetWord(buf, at + kMoreAt, 0);
        uint8_t *to = buf->bytes + at + kThreadBufGroupHeaderSize;
        if (to != groups[g].data) std::memcpy(to, groups[g].data, static_cast<size_t>(payload));
        if (last >= 0) SetWord(buf, last + kMoreAt, 1);
        typeMask |= 1u << (groups[g].type - 1);
        last = at;
        at += kThreadBufGroupHeaderSize + payload;
    }
    SetWord(buf, kNonEmptyAt, 1);
    SetWord(buf, kGroupCountAt, Word(buf, kGroupCountAt) + static_cast<uint32_t>(n));
    SetWord(buf, kBytesUsedAt, used + static_cast<uint32_t>(total));
    SetWord(buf, kTypeMaskAt, typeMask);
    return TB_OK;
}

uint8_t *ThreadBufNextPayload(ThreadBuf *buf, int32_t bytes) {
    int64_t at = kThreadBufHeaderSize;
    if (Word(buf, kNonEmptyAt) != 0) {
        const int64_t last = LastGroupOffset(buf, Word(buf, kBytesUsedAt));
        if (last < 0) return nullptr;
        at = last + kThreadBufGroupHeaderSize + Word(buf, last + kSizeAt);
    }
    const int64_t limit = PutLimit();
    if (bytes < 0 || at + kThreadBufGroupHeaderSize + bytes > limit) return nullptr;
    return buf->bytes + at + kThreadBufGroupHeaderSize;
}

int32_t FindThreadBufGroup(const ThreadBuf *buf, int32_t type) {
    if (buf == nullptr || type < kThreadBufMinType || type > kThreadBufMaxType) return -1;
    if (Word(buf, kNonEmptyAt) == 0) return -1;
    if ((Word(buf, kTypeMaskAt) & (1u << (type - 1))) == 0) return -1;
    const int64_t end = ChainEnd(buf, Word(buf, kBytesUsedAt));
    int64_t at = kThreadBufHeaderSize;
    for (;;) {
        if (at + kThreadBufGroupHeaderSize > end) return -1;
        if (static_cast<int32_t>(Word(buf, at + kTypeAt)) == type) return static_cast<int32_t>(at);
        if (Word(buf, at + kMoreAt) == 0) return -1;
        at += kThreadBufGroupHeaderSize + static_cast<int64_t>(Word(buf, at + kSizeAt));
    }
}

const char *GetThreadBufErrString(int32_t code) {
    const char *text = "Unknown ThreadBuf error";
    switch (code) {
    case TB_OK: text = "No Error"; break;
    case TB_OVERRUN: text = "Thread Buffer overrun--No more space for output data"; break;
    case TB_BAD_TYPE: text = "Zero record size or invalid ThreadBuf record type received"; break;
    case TB_INTERNAL: text = "Internal error filling ThreadBuf"; break;
    default: break;
    }
    std::snprintf(g_errString, sizeof g_errString, "%s", text);
    return g_errString;
}

// ---- exports ------------------------------------------------------------

extern "C" {

OEM4CONV_API int32_t OEM4CONV_CALL GetThreadBufRecCount(ThreadBuf *buf, int32_t type) {
    const int32_t at = FindThreadBufGroup(buf, type);
    return at < 0 ? 0 : static_cast<int32_t>(Word(buf, at + kCountAt));
}

OEM4CONV_API int32_t OEM4CONV_CALL GetThreadBufRecSize(ThreadBuf *buf, int32_t type) {
    const int32_t at = FindThreadBufGroup(buf, type);
    return at < 0 ? 0 : static_cast<int32_t>(Word(buf, at + kSizeAt));
}

OEM4CONV_API int32_t OEM4CONV_CALL ReadThreadBufData(ThreadBuf *buf, int32_t type, int32_t maxCount,
                                                     void *destination) {
    const int32_t at = FindThreadBufGroup(buf, type);
    if (at < 0) return 0;
    const uint32_t count = Word(buf, at + kCountAt);
    if (maxCount < 0 || count > static_cast<uint32_t>(maxCount)) return 0;
    // A group whose payload is not what its count and type say, or runs past
    // the bytes in use (a buffer its caller built wrongly), is not copied:
    // the destination is sized by the count and the record size.
    const uint32_t size = Word(buf, at + kSizeAt);
    const uint64_t end = static_cast<uint64_t>(at) + kThreadBufGroupHeaderSize + size;
    const int32_t recordSize = ThreadBufRecordSize(type);
    if (end > Word(buf, kBytesUsedAt) || end > sizeof buf->bytes ||
        (recordSize > 0 && size != static_cast<uint64_t>(count) * static_cast<uint32_t>(recordSize))) {
        return 0;
    }
    std::memcpy(destination, buf->bytes + at + kThreadBufGroupHeaderSize, size);
    return static_cast<int32_t>(count);
}

OEM4CONV_API int32_t OEM4CONV_CALL GetThreadBufSize(void) { return g_capacity.load(std::memory_order_relaxed); }

OEM4CONV_API void OEM4CONV_CALL SetThreadBufSize(int32_t capacity) {
    g_capacity.store(capacity, std::memory_order_relaxed);
}

} // extern "C"
