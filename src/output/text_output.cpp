#include "output/text_output.h"

#include <charconv>
#include <cstdarg>
#include <cstring>

#include "common/error_text.h"
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

void AppendNumber(TextBlock *block, const char *text, int length) {
    if (length < 0 || static_cast<std::size_t>(length) >= kNumberTextSize) {
        block->overflow = true;
        return;
    }
    AppendBytes(block, text, static_cast<std::size_t>(length));
}

// As printf "%d", "%ld" or "%u" writes it, into a kNumberTextSize buffer
// (which any integer fits); returns the length.
template <typename Integer> int FormatInteger(char *text, Integer value) {
    const std::to_chars_result converted = std::to_chars(text, text + kNumberTextSize - 1, value);
    *converted.ptr = '\0';
    return static_cast<int>(converted.ptr - text);
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

void AppendFormat(TextBlock *block, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const char *p = format;
    while (*p != '\0' && !block->overflow) {
        const char *literal = std::strchr(p, '%');
        if (literal != p) {
            std::size_t length = literal != nullptr ? static_cast<std::size_t>(literal - p) : std::strlen(p);
            AppendBytes(block, p, length);
            p += length;
            continue;
        }
        ++p;
        int precision = 6;
        if (*p == '.') {
            precision = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p) {
                precision = precision < kMaxPrecision ? precision * 10 + (*p - '0') : precision;
            }
        }
        const bool isLong = *p == 'l';
        if (isLong) {
            ++p;
        }
        char text[kNumberTextSize];
        switch (*p) {
        case 'd':
            if (isLong) {
                AppendNumber(block, text, FormatInteger(text, va_arg(args, long)));
            } else {
                AppendNumber(block, text, FormatInteger(text, va_arg(args, int)));
            }
            break;
        case 'u': AppendNumber(block, text, FormatInteger(text, va_arg(args, unsigned))); break;
        case 'e': AppendNumber(block, text, FormatExponent(text, sizeof text, va_arg(args, double), precision)); break;
        case 'f': AppendNumber(block, text, FormatFixed(text, sizeof text, va_arg(args, double), precision)); break;
        case 's': {
            const char *string = va_arg(args, const char *);
            AppendBytes(block, string != nullptr ? string : "", string != nullptr ? std::strlen(string) : 0);
            break;
        }
        case '%': AppendBytes(block, "%", 1); break;
        default: block->overflow = true; break;
        }
        if (*p != '\0') {
            ++p;
        }
    }
    va_end(args);
}

void AppendText(TextBlock *block, const char *text, std::size_t length) { AppendBytes(block, text, length); }

void AppendInteger(TextBlock *block, long value) {
    char text[kNumberTextSize];
    AppendNumber(block, text, FormatInteger(text, value));
}

void AppendExponent(TextBlock *block, double value, int precision) {
    if (block->overflow) return;
    // Written in place; the text is whole when it is shorter than the room
    // left (FormatExponent cuts like snprintf and returns the full length).
    const std::size_t room = sizeof block->text - block->length;
    const int length = FormatExponent(block->text + block->length, room, value, precision);
    if (length < 0 || static_cast<std::size_t>(length) >= room) {
        block->text[block->length] = '\0';
        block->overflow = true;
        return;
    }
    block->length += static_cast<std::size_t>(length);
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
