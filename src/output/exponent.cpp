#include "output/exponent.h"

#include <charconv>
#include <cmath>
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
    // The library does the rounding, so a value such as 9.9999999999e+99 that
    // rounds up into the next decade already carries the bumped exponent here;
    // only the exponent's width is adjusted below. std::to_chars gives what
    // printf "%.*e" gives (the exact binary value, correctly rounded), at a
    // fraction of its cost: the ephemeris blocks are a good part of a
    // conversion's time otherwise.
    char raw[kNumberTextSize];
    const std::to_chars_result converted =
        std::to_chars(raw, raw + sizeof raw - 1, value, std::chars_format::scientific, ClampPrecision(precision));
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
