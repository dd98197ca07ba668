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
void AppendText(TextBlock *block, const char *literal);
// printf "%d" of a signed 32-bit value.
void AppendInteger(TextBlock *block, int32_t value);
void AppendUnsigned(TextBlock *block, uint32_t value);
// printf "%.<precision>e" with a three-digit exponent.
void AppendExponent(TextBlock *block, double value, int precision);
// printf "%.<precision>f".
void AppendFixed(TextBlock *block, double value, int precision);

// Writes the block; 0 on success, 1 with "Error: Unable to write to %s" in
// ErrorText when the write failed or the stream is already in error.
int32_t WriteTextBlock(std::FILE *stream, const char *path, const TextBlock *block);
