#include "oem4/crc32.h"

#include <array>

#include "common/le.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define OEM4CONV_CRC_CLMUL 1
#include <immintrin.h>
#else
#define OEM4CONV_CRC_CLMUL 0
#endif

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
// so it is one of the hottest loops of a conversion. Processors with
// carry-less multiplication take longer records sixteen bytes at a time.
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

uint32_t TablesUpdate(uint32_t crc, const uint8_t *data, size_t length) {
    while (length >= 8) {
        const uint32_t lo = le::U4(data) ^ crc;
        const uint32_t hi = le::U4(data + 4);
        crc = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^ kTables[5][(lo >> 16) & 0xFFu] ^
              kTables[4][lo >> 24] ^ kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
              kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        data += 8;
        length -= 8;
    }
    while (length-- > 0) crc = kTables[0][(crc ^ *data++) & 0xFFu] ^ (crc >> 8);
    return crc;
}

#if OEM4CONV_CRC_CLMUL
// Carry-less multiplication folding (the method of Intel's "Fast CRC
// Computation for Generic Polynomials Using PCLMULQDQ"): four 128-bit lanes
// are folded forward 64 bytes at a time, then into one lane, which is
// reduced to 32 bits by a Barrett reduction. The constants are powers of x
// modulo the bit-reflected polynomial: x^(4*128+32), x^(4*128-32) for the
// 64-byte fold, x^(128+32), x^(128-32) for the 16-byte fold, x^64 for the
// last 64-bit step, and the polynomial with its Barrett quotient.
#define OEM4CONV_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

OEM4CONV_CLMUL_TARGET inline __m128i Load(const uint8_t *at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

// Moves a lane forward by the distance of k and adds the data found there.
OEM4CONV_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// The CRC (from 0) of the 16 bytes of x1 followed by length bytes at p;
// length is a multiple of 16.
OEM4CONV_CLMUL_TARGET uint32_t ClmulUpdate(__m128i x1, const uint8_t *p, size_t length) {
    const __m128i k1k2 = _mm_set_epi64x(0x1C6E41596, 0x154442BD4);
    const __m128i k3k4 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163CD6124);
    const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    if (length >= 48) {
        __m128i x2 = Load(p);
        __m128i x3 = Load(p + 16);
        __m128i x4 = Load(p + 32);
        p += 48;
        length -= 48;
        while (length >= 64) {
            x1 = Fold(x1, k1k2, Load(p));
            x2 = Fold(x2, k1k2, Load(p + 16));
            x3 = Fold(x3, k1k2, Load(p + 32));
            x4 = Fold(x4, k1k2, Load(p + 48));
            p += 64;
            length -= 64;
        }
        x1 = Fold(x1, k3k4, x2);
        x1 = Fold(x1, k3k4, x3);
        x1 = Fold(x1, k3k4, x4);
    }
    while (length >= 16) {
        x1 = Fold(x1, k3k4, Load(p));
        p += 16;
        length -= 16;
    }
    // 128 to 64 bits, then 64 to 32 bits (appending the 32 zero bits of
    // the CRC register), then the Barrett reduction.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    __m128i t = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00), t);
    t = x1;
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

// Shuffle masks that move a block's first r bytes to its end and clear the
// rest: the 16 bytes from kShiftToEnd + r.
constexpr std::array<uint8_t, 32> kShiftToEnd = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                 0x80, 0x80, 0x80, 0x80, 0x80, 0,    1,    2,    3,    4,    5,
                                                 6,    7,    8,    9,    10,   11,   12,   13,   14,   15};

// The CRC of length >= 16 bytes. A CRC that starts from 0 does not change
// over leading zero bytes, so a length that is not a multiple of 16 is
// taken as 16 - r zero bytes and the data: the first block is the data's
// first r bytes moved to the end of a register of zeros, and the rest of
// the data is then whole blocks. No byte-wise tail is left over.
OEM4CONV_CLMUL_TARGET uint32_t ClmulCrc(const uint8_t *data, size_t length) {
    const size_t r = length & 15u;
    if (r == 0) return ClmulUpdate(Load(data), data + 16, length - 16);
    const __m128i first = _mm_shuffle_epi8(Load(data), Load(kShiftToEnd.data() + r));
    return ClmulUpdate(first, data + r, length - r);
}

bool HasClmul() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return has;
}
#endif

} // namespace

uint32_t Crc32Step(uint32_t value) { return Step(value); }

uint32_t Oem4Crc32Tables(const uint8_t *data, size_t length) { return TablesUpdate(0, data, length); }

uint32_t Oem4Crc32(const uint8_t *data, size_t length) {
#if OEM4CONV_CRC_CLMUL
    if (length >= 16 && HasClmul()) return ClmulCrc(data, length);
#endif
    return TablesUpdate(0, data, length);
}
