// Little-endian accessors for wire and file layouts.
//
// Every multi-byte field of a log record, a ThreadBuf or an output file is
// read and written through these memcpy helpers: the fields are unaligned and
// a cast of a byte pointer to a wider type would be undefined behaviour. The
// library targets little-endian machines only (x86 Linux and 32-bit Windows).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "record layouts are little-endian; a big-endian port needs byte swapping here");

namespace le {

inline uint8_t U1(const uint8_t *p) { return p[0]; }
inline uint16_t U2(const uint8_t *p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint32_t U4(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline int32_t I4(const uint8_t *p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline float R4(const uint8_t *p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline double R8(const uint8_t *p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void PutU1(uint8_t *p, uint8_t v) { p[0] = v; }
inline void PutU2(uint8_t *p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void PutU4(uint8_t *p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void PutI4(uint8_t *p, int32_t v) { std::memcpy(p, &v, sizeof v); }
inline void PutR4(uint8_t *p, float v) { std::memcpy(p, &v, sizeof v); }
inline void PutR8(uint8_t *p, double v) { std::memcpy(p, &v, sizeof v); }

// Copies a fixed-layout record out of / into raw bytes.
template <typename T> inline T Load(const void *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T> inline void Store(void *p, const T &v) { std::memcpy(p, &v, sizeof v); }

} // namespace le
