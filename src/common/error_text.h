// The library's single message buffer.
//
// ErrorText holds the most recent message of any layer; a message that
// carries values is formatted here before it is passed to the host, and
// GetErrString copies it out. Every write is bounded to 511 characters.
#pragma once

#include <cstdarg>

inline constexpr int kErrorTextSize = 512;

extern char ErrorText[kErrorTextSize];

// Every write below holds a lock that GetErrString's copy, taken on the
// host's thread while a conversion runs, holds too: the copy is the text
// before a message or after it, never a mix of two. The conversion's own
// reads of ErrorText, on the thread that writes it, need no lock.
void LockErrorText();
void UnlockErrorText();

// Copies a literal into ErrorText (truncated to fit).
void SetErrorText(const char *text);
// vprintf-style formatting into ErrorText (truncated to fit); returns ErrorText.
const char *FormatErrorTextV(const char *format, va_list args);
// printf-style formatting into ErrorText (truncated to fit); returns ErrorText.
const char *FormatErrorText(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
