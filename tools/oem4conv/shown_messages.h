// How the command shows the library's messages to people. The library's
// texts are written for host applications and stay as they are (the
// conversion's BASE.messages keeps them); the command sorts them and words a
// few of them plainly.
#pragma once

#include <string>

enum class MessageKind {
    kInformational, // a record arrived as expected: counted, shown with --verbose
    kWarning,       // something of the log was not as it should be: shown
    kError,         // an operation failed: shown once, on standard error
};

MessageKind KindOfMessage(const std::string &text);

// The text as the command prints it: "interrupted" for "User Quit", no
// decoder port number (the command has only port 0), no decoder jargon.
std::string PlainMessage(const std::string &text);
