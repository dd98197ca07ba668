// The library's single message buffer.
//
// ErrorText holds the most recent message of any layer; a message that
// carries values is formatted here before it is passed to the host, and
// GetErrString copies it out. Every write is bounded to 511 characters.
#pragma once

inline constexpr int kErrorTextSize = 512;

extern char ErrorText[kErrorTextSize];

// Copies a literal into ErrorText (truncated to fit).
void SetErrorText(const char *text);
// printf-style formatting into ErrorText (truncated to fit); returns ErrorText.
const char *FormatErrorText(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
