// Shared pieces of the text writers: a bounded block builder and the
// checked write of a finished block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One block of text assembled before it is written. Appends never pass the
// end; a block that would not fit is marked and refused as a whole.
struct TextBlock {
    char text[1024];
    std::size_t length;
    bool overflow;
};

void BeginTextBlock(TextBlock *block);
// Appends printf-style text that reads the same on every runtime. Supported
// conversions: %s, %d, %ld, %u, %.<n>e / %.<n>le (exponent always three digits),
// %.<n>f / %.<n>lf and %%; anything else marks the block as overflowed.
// The printf attribute lets the compiler check the arguments' types.
void AppendFormat(TextBlock *block, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The pieces AppendFormat puts together, for writers that fill many blocks
// of one fixed shape (the ephemeris file): the same text, without reading a
// format for every value. AppendText appends length bytes of text;
// AppendInteger is "%ld"; AppendExponent is "%.<precision>e".
void AppendText(TextBlock *block, const char *text, std::size_t length);
template <std::size_t N> void AppendLiteral(TextBlock *block, const char (&text)[N]) { AppendText(block, text, N - 1); }
void AppendInteger(TextBlock *block, long value);
void AppendExponent(TextBlock *block, double value, int precision);

// Writes the block; 0 on success, 1 with "Error: Unable to write to %s" in
// ErrorText when the write failed or the stream is already in error.
int32_t WriteTextBlock(std::FILE *stream, const char *path, const TextBlock *block);
