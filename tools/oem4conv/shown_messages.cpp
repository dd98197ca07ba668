// The library's message texts as the command shows them.
#include "shown_messages.h"

#include <cstring>

namespace {

// Arrivals of records the conversion expects: nothing to act upon.
constexpr const char *kAlmanacReceived = "Almanac received for ";
constexpr const char *kEphemerisReceived = "Ephemeris received for PRN ";
constexpr const char *kHealthOk = " (health OK)";

constexpr const char *kErrorPrefix = "Error: ";
constexpr const char *kUserQuit = "User Quit";
constexpr const char *kIncorrectVersion = "Incorrect version of OEM4 Conversion DLL";
constexpr const char *kPortSuffixes[] = {" on port ", " on Port "};
constexpr const char *kMaxchan = "MAXCHAN(";

// Library texts and the command's wording of them.
const struct {
    const char *library;
    const char *plain;
} kPlainWords[] = {
    {kUserQuit, "interrupted"},
    {"Record decoding failed, recursively trying to look for more valid data",
     "Record decoding failed; looking for the next valid record"},
};

bool StartsWith(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

bool EndsWith(const std::string &text, const char *suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

} // namespace

MessageKind KindOfMessage(const std::string &text) {
    if (StartsWith(text, kErrorPrefix) || text == kUserQuit || StartsWith(text, kIncorrectVersion)) {
        return MessageKind::kError;
    }
    if (StartsWith(text, kAlmanacReceived)) return MessageKind::kInformational;
    if (StartsWith(text, kEphemerisReceived) && EndsWith(text, kHealthOk)) return MessageKind::kInformational;
    return MessageKind::kWarning;
}

std::string PlainMessage(const std::string &text) {
    for (const auto &words : kPlainWords) {
        if (text == words.library) return words.plain;
    }
    // Framing notices end in " on port N"; the command converts on port 0
    // only, so the number tells a reader nothing.
    std::string plain = text;
    for (const char *suffix : kPortSuffixes) {
        const std::size_t port = plain.rfind(suffix);
        const std::size_t number = port + std::strlen(suffix);
        if (port != std::string::npos && number < plain.size() &&
            plain.find_first_not_of("0123456789", number) == std::string::npos) {
            plain.erase(port);
        }
    }
    // "MAXCHAN(24) exceeded, data may be lost": the decoder's limit by its
    // constant's name.
    if (StartsWith(plain, kMaxchan)) {
        const std::size_t close = plain.find(") exceeded", std::strlen(kMaxchan));
        if (close != std::string::npos) {
            plain = "Compressed range record with more than " +
                    plain.substr(std::strlen(kMaxchan), close - std::strlen(kMaxchan)) + " observations" +
                    plain.substr(close + std::strlen(") exceeded"));
        }
    }
    return plain;
}
