// ThreadBuf: a flat, fixed-capacity buffer of typed record groups through
// which a decoder hands its output to the conversion driver (or a host).
//
// Layout (little-endian u32 words): group count, type mask, non-empty flag,
// bytes used, then the groups back to back from offset 16. Each group is
// marker 1, type, count, payload size, more-follows, then the payload.
#pragma once

#include <cstdint>

#include "oem4conv.h"

// Result codes of PutThreadBufData.
enum ThreadBufError : int32_t {
    TB_OK = 0,
    TB_OVERRUN = 1,  // the group would not fit within the capacity
    TB_BAD_TYPE = 2, // type outside 1..18 or zero payload size
    TB_INTERNAL = 3, // inconsistent group chain (never produced by a put)
};

inline constexpr int32_t kThreadBufHeaderSize = 16;
inline constexpr int32_t kThreadBufGroupHeaderSize = 20;
inline constexpr int32_t kThreadBufDefaultCapacity = 16384;
inline constexpr int32_t kThreadBufMinType = 1;
inline constexpr int32_t kThreadBufMaxType = 18;

// Record size of each type (index = type); type 10 is variable.
int32_t ThreadBufRecordSize(int32_t type);

// The storage behind a ThreadBuf pointer. The library's own buffers have
// exactly kThreadBufDefaultCapacity bytes; a put never writes past
// min(capacity setting, storage size) so a larger SetThreadBufSize cannot
// overrun them.
struct ThreadBuf {
    uint8_t bytes[kThreadBufDefaultCapacity];
};

void ClearThreadBuf(ThreadBuf *buf);
int32_t PutThreadBufData(ThreadBuf *buf, const void *data, int32_t count, int32_t type);
// One group of PutThreadBufGroups.
struct ThreadBufGroupData {
    const void *data;
    int32_t count;
    int32_t type;
};
// Puts the groups in order as that many PutThreadBufData calls would, and
// stops at the first that fails, returning its code; the groups before it
// stay. Walks the group chain once when they all fit.
int32_t PutThreadBufGroups(ThreadBuf *buf, const ThreadBufGroupData *groups, int32_t n);
// Where the payload of the next group put into buf will start, when `bytes`
// bytes from there lie within what a put may write (the capacity setting
// and the storage); null otherwise, or when the group chain is
// inconsistent. A decoder may build the records of its next groups there,
// leaving room for their group headers, and put each group from where it
// lies: such a put copies nothing.
uint8_t *ThreadBufNextPayload(ThreadBuf *buf, int32_t bytes);
// Returns the byte offset of the first group of the type inside the buffer,
// or -1 when there is none.
int32_t FindThreadBufGroup(const ThreadBuf *buf, int32_t type);
const char *GetThreadBufErrString(int32_t code);
