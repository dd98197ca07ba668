#include "output/text_output.h"

#include <cinttypes>
#include <cstring>

#include "api/error_text.h"
#include "output/exponent.h"
#include "output/text_outputs.h"

namespace {

constexpr const char *kUnableToWrite = "Error: Unable to write to %s";

void AppendBytes(TextBlock *block, const char *text, std::size_t length) {
    if (block->overflow || length > sizeof block->text - 1 - block->length) {
        block->overflow = true;
        return;
    }
    std::memcpy(block->text + block->length, text, length);
    block->length += length;
    block->text[block->length] = '\0';
}

void AppendFormatted(TextBlock *block, const char *text, int length) {
    if (length < 0 || static_cast<std::size_t>(length) >= kNumberTextSize) {
        block->overflow = true;
        return;
    }
    AppendBytes(block, text, static_cast<std::size_t>(length));
}

int32_t ReportWriteFailure(const char *path) {
    FormatErrorText(kUnableToWrite, path != nullptr ? path : "");
    return 1;
}

} // namespace

void BeginTextBlock(TextBlock *block) {
    block->text[0] = '\0';
    block->length = 0;
    block->overflow = false;
}

void AppendText(TextBlock *block, const char *literal) { AppendBytes(block, literal, std::strlen(literal)); }

void AppendInteger(TextBlock *block, int32_t value) {
    char text[16];
    AppendFormatted(block, text, std::snprintf(text, sizeof text, "%" PRId32, value));
}

void AppendUnsigned(TextBlock *block, uint32_t value) {
    char text[16];
    AppendFormatted(block, text, std::snprintf(text, sizeof text, "%" PRIu32, value));
}

void AppendExponent(TextBlock *block, double value, int precision) {
    char text[kNumberTextSize];
    AppendFormatted(block, text, FormatExponent(text, sizeof text, value, precision));
}

void AppendFixed(TextBlock *block, double value, int precision) {
    char text[kNumberTextSize];
    AppendFormatted(block, text, FormatFixed(text, sizeof text, value, precision));
}

int32_t WriteTextBlock(std::FILE *stream, const char *path, const TextBlock *block) {
    // A block cut short would be a silently damaged entry; none is written.
    if (block->overflow) {
        return ReportWriteFailure(path);
    }
    if (std::fwrite(block->text, 1, block->length, stream) != block->length) {
        return ReportWriteFailure(path);
    }
    // The error flag is sticky: once a write was lost the file is incomplete
    // and every later call says so.
    return std::ferror(stream) != 0 ? ReportWriteFailure(path) : 0;
}

int32_t CloseTextOutput(std::FILE *stream, const char *path) {
    if (stream == nullptr) {
        return 0;
    }
    bool failed = std::fflush(stream) != 0 || std::ferror(stream) != 0;
    if (std::fclose(stream) != 0) {
        failed = true;
    }
    return failed ? ReportWriteFailure(path) : 0;
}
