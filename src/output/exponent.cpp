#include "output/exponent.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace {

int ClampPrecision(int precision) {
    if (precision < 0) {
        return 0;
    }
    return precision > kMaxPrecision ? kMaxPrecision : precision;
}

// Copies text into out the way snprintf would: cut to size - 1 characters
// and NUL-terminated when size > 0; returns the full length.
int CopyOut(char *out, std::size_t size, const char *text, std::size_t length) {
    if (size > 0) {
        std::size_t n = length < size - 1 ? length : size - 1;
        std::memcpy(out, text, n);
        out[n] = '\0';
    }
    return static_cast<int>(length);
}

// NaN carries no meaningful sign for a reader, so it has one spelling.
const char *NonFiniteText(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    return value < 0 ? "-inf" : "inf";
}

// Exact powers of ten: every one up to 10^22 is a double.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kLargestPowerOfTen = 22;
// Precisions the quick path takes: the scaled value stays below 10^15 <
// 2^50, where a double's spacing is at most 1/8.
constexpr int kQuickPrecision = 14;
// Its longest text: sign, digit, point, 14 digits, letter, sign, 3 digits, NUL.
constexpr std::size_t kQuickTextSize = 24;

// The mantissa digits of "%.<precision>e" for a normal, non-zero value,
// without the library's general (and many times slower) conversion, or
// false when this cannot be sure of them; decimalExponent is set with them.
//
// The value v is scaled by an exact power of ten, 10^k, to
// scaled = round(v * 10^k), which lies in [10^p, 10^(p+1)) when the
// exponent is right. Rounding is monotonic and every multiple of 1/2 below
// 2^50 is a double (so are 10^p and 10^(p+1)), hence the rounded product
// sits on the same side of each such point as the exact product, or on it
// only when the exact product is too: its fraction above or below 1/2 is
// that of the exact product, and its comparisons with the decade's ends
// are exact. That holds in any precision at least a double's (the x87
// registers too), whichever copy of the product the compiler uses. Only a
// fraction of exactly 1/2, where the exact product may be a tie or lie
// either side of it, is left to the library.
bool QuickMantissa(double v, int precision, uint64_t *mantissa, int *decimalExponent) {
    // 2^binaryExponent <= v < 2^(binaryExponent+1) for a normal v.
    const int binaryExponent = static_cast<int>((std::bit_cast<uint64_t>(v) >> 52) & 0x7ff) - 1023;
    // About floor(binaryExponent * log10(2)): the decimal exponent or one
    // off; the products below are checked in any case.
    int exponent = (binaryExponent * 78913) >> 18;
    const double low = kPowersOfTen[precision];
    const double high = kPowersOfTen[precision + 1];
    int k = precision - exponent;
    if (k < 0 || k > kLargestPowerOfTen) return false;
    double scaled = v * kPowersOfTen[k];
    if (scaled >= high) {
        ++exponent;
        if (--k < 0) return false;
        scaled = v * kPowersOfTen[k];
    } else if (scaled < low) {
        --exponent;
        if (++k > kLargestPowerOfTen) return false;
        scaled = v * kPowersOfTen[k];
    }
    // The exact product is now at least 10^p. A product of exactly
    // 10^(p+1) may come from one a little below it or a little above it:
    // both are written 1.000... with the next exponent. Anything else out of
    // range (an estimate further off than one, or a product that rounded
    // across 10^p) is left to the library.
    if (!(scaled >= low && scaled <= high)) return false;
    uint64_t whole = static_cast<uint64_t>(scaled); // towards zero
    const double fraction = scaled - static_cast<double>(whole);
    if (fraction == 0.5) return false;
    if (fraction > 0.5) ++whole;
    // A value that rounds up into the next decade is written 1.000...
    // with the next exponent, as printf writes it.
    if (whole >= static_cast<uint64_t>(high)) {
        whole /= 10;
        ++exponent;
    }
    *mantissa = whole;
    *decimalExponent = exponent;
    return true;
}

constexpr char kDigitPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                               "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                               "8081828384858687888990919293949596979899";

// "%.<precision>e" with the exponent written with at least minDigits digits
// after letter, from the digits QuickMantissa gives; returns the length.
std::size_t WriteQuick(char *text, bool negative, uint64_t mantissa, int precision, int exponent, std::size_t minDigits,
                       char letter) {
    char *p = text;
    if (negative) *p++ = '-';
    // The digits go straight to their places: the first before the point,
    // the rest after it, two at a time from the last.
    // Divisions go in 32 bits: the last eight digits of a longer mantissa
    // are split off first, which leaves fewer than 10^9 either way.
    char *first = p;
    int i = precision; // the digit after the point written next, from the end
    if (precision > 8) {
        uint32_t last = static_cast<uint32_t>(mantissa % 100000000);
        mantissa /= 100000000;
        for (int pair = 0; pair < 4; ++pair, i -= 2) {
            std::memcpy(first + i, kDigitPairs + 2 * (last % 100), 2); // digits i - 1 and i
            last /= 100;
        }
    }
    uint32_t rest = static_cast<uint32_t>(mantissa);
    for (; i >= 2; i -= 2) {
        std::memcpy(first + i, kDigitPairs + 2 * (rest % 100), 2);
        rest /= 100;
    }
    if (i == 1) {
        first[2] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    }
    first[0] = static_cast<char>('0' + rest);
    p = first + 1;
    if (precision > 0) {
        *p = '.';
        p += 1 + precision;
    }
    *p++ = letter;
    *p++ = exponent < 0 ? '-' : '+';
    // |exponent| <= 308: at most three digits, leading zeros up to minDigits.
    const unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    const std::size_t count = magnitude >= 100 ? 3 : magnitude >= 10 ? 2 : 1;
    const std::size_t width = count > minDigits ? count : minDigits;
    if (width == 3) *p++ = static_cast<char>('0' + magnitude / 100);
    if (width >= 2) *p++ = static_cast<char>('0' + magnitude / 10 % 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
    return static_cast<std::size_t>(p - text);
}

} // namespace

int FormatExponent(char *out, std::size_t size, double value, int precision) {
    return FormatExponentDigits(out, size, value, precision, 3, 'e');
}

int FormatExponentDigits(char *out, std::size_t size, double value, int precision, int digits, char letter) {
    if (digits < 1) {
        digits = 1;
    } else if (digits > 3) {
        digits = 3;
    }
    const std::size_t minDigits = static_cast<std::size_t>(digits);
    if (!std::isfinite(value)) {
        const char *text = NonFiniteText(value);
        return CopyOut(out, size, text, std::strlen(text));
    }
    // Most values an ephemeris or a RINEX file holds take the quick path.
    const int clamped = ClampPrecision(precision);
    if (clamped <= kQuickPrecision) {
        uint64_t mantissa = 0;
        int exponent = 0;
        const bool negative = std::signbit(value);
        if (value == 0.0 ||
            (std::isnormal(value) && QuickMantissa(negative ? -value : value, clamped, &mantissa, &exponent))) {
            if (size >= kQuickTextSize) {
                const std::size_t length = WriteQuick(out, negative, mantissa, clamped, exponent, minDigits, letter);
                out[length] = '\0';
                return static_cast<int>(length);
            }
            char text[kQuickTextSize];
            return CopyOut(out, size, text, WriteQuick(text, negative, mantissa, clamped, exponent, minDigits, letter));
        }
    }
    // Otherwise the library does the rounding, so a value such as 9.9999999999e+99 that
    // rounds up into the next decade already carries the bumped exponent here;
    // only the exponent's width is adjusted below. std::to_chars gives what
    // printf "%.*e" gives (the exact binary value, correctly rounded), at a
    // fraction of its cost: the ephemeris blocks are a good part of a
    // conversion's time otherwise.
    char raw[kNumberTextSize];
    const std::to_chars_result converted =
        std::to_chars(raw, raw + sizeof raw - 1, value, std::chars_format::scientific, clamped);
    if (converted.ec != std::errc{}) {
        return CopyOut(out, size, "", 0);
    }
    *converted.ptr = '\0';
    const int rawLength = static_cast<int>(converted.ptr - raw);
    const char *e = std::strrchr(raw, 'e');
    if (e == nullptr || (e[1] != '+' && e[1] != '-')) {
        return CopyOut(out, size, raw, static_cast<std::size_t>(rawLength));
    }
    const char *exponentDigits = e + 2;
    std::size_t digitCount = std::strlen(exponentDigits);
    while (digitCount > minDigits && exponentDigits[0] == '0') {
        ++exponentDigits;
        --digitCount;
    }
    char text[kNumberTextSize];
    std::size_t length = static_cast<std::size_t>(e - raw) + 2; // mantissa, 'e', sign
    std::memcpy(text, raw, length);
    text[e - raw] = letter;
    for (std::size_t i = digitCount; i < minDigits; ++i) {
        text[length++] = '0';
    }
    std::memcpy(text + length, exponentDigits, digitCount);
    length += digitCount;
    return CopyOut(out, size, text, length);
}

int FormatFixed(char *out, std::size_t size, double value, int precision) {
    if (!std::isfinite(value)) {
        const char *text = NonFiniteText(value);
        return CopyOut(out, size, text, std::strlen(text));
    }
    if (std::fabs(value) >= 1e30) {
        return FormatExponent(out, size, value, precision);
    }
    // As printf "%.*f" gives it; see FormatExponentDigits.
    char text[kNumberTextSize];
    const std::to_chars_result converted =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, ClampPrecision(precision));
    if (converted.ec != std::errc{}) {
        return CopyOut(out, size, "", 0);
    }
    return CopyOut(out, size, text, static_cast<std::size_t>(converted.ptr - text));
}
