#include "common/error_text.h"

#include <cstdarg>
#include <cstdio>

char ErrorText[kErrorTextSize] = "";

void SetErrorText(const char *text) { std::snprintf(ErrorText, sizeof ErrorText, "%s", text); }

const char *FormatErrorText(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(ErrorText, sizeof ErrorText, format, args);
    va_end(args);
    return ErrorText;
}
