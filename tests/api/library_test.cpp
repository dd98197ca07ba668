#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/error_text.h"
#include "oem4conv.h"

// A host built before the channels field passes 28 and a 28-byte record:
// nothing past it may be written. The current size also sets the channels.
TEST(SetFactoryDefaults, WritesDefaultsForBothSizesAndKeepsSpare) {
    uint8_t raw[36];
    std::memset(raw, 0xCD, sizeof raw);
    auto *o = reinterpret_cast<Oem4Options *>(raw);
    SetFactoryDefaults(27, o);
    SetFactoryDefaults(29, o);
    SetFactoryDefaults(33, o);
    for (uint8_t b : raw) EXPECT_EQ(b, 0xCD);

    SetFactoryDefaults(28, o);
    Oem4Options v;
    std::memcpy(&v, raw, sizeof v);
    EXPECT_EQ(+v.epochFlag, 0u);
    EXPECT_EQ(+v.maxPositionAge, 5.0);
    EXPECT_EQ(+v.reportAll, 0u);
    EXPECT_EQ(+v.recomputeClock, 0u);
    EXPECT_EQ(+v.requireL2Lock, 1u);
    for (int i = 24; i < 36; ++i) EXPECT_EQ(raw[i], 0xCD) << i;

    SetFactoryDefaults(OEM4CONV_OEM4_OPTIONS_SIZE, o);
    std::memcpy(&v, raw, sizeof v);
    EXPECT_EQ(+v.channels, 12u);
    EXPECT_EQ(+v.maxPositionAge, 5.0);
    for (int i = 24; i < 28; ++i) EXPECT_EQ(raw[i], 0xCD) << i;
    for (int i = 32; i < 36; ++i) EXPECT_EQ(raw[i], 0xCD) << i;
}

// Records of another build's size are refused before anything is read or
// written, the counters included.
TEST(ConvertFileChecks, RefusesWrongRecordSizesWithoutWritingResults) {
    static ConvertOptions options{};
    const struct {
        uint32_t hostSize, structSize, optionsSize;
        const char *text;
    } cases[] = {
        {sizeof(ConvertHost) - 1, sizeof(ConvertOptions), 28, "Incorrect version of OEM4 Conversion DLL"},
        {sizeof(ConvertHost), 2671, 28, "Incorrect version of OEM4 Conversion DLL"},
        {sizeof(ConvertHost), sizeof(ConvertOptions), 0, "Incorrect version of OEM4 Conversion DLL, Invalid options"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ConvertHost host{};
        host.structSize = c.hostSize;
        options.structSize = c.structSize;
        options.optionsSize = c.optionsSize;
        options.epochCount = 77;
        EXPECT_EQ(ConvertFile(&options, &host, 0), 1);
        char text[512];
        GetErrString(text);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(options.epochCount, 77u);
    }
}

TEST(ErrorText, FormattingIsBoundedTo511Characters) {
    std::string longText(2000, 'x');
    FormatErrorText("Error: Unable to open %s", longText.c_str());
    char text[512];
    GetErrString(text);
    EXPECT_EQ(std::strlen(text), 511u);
    EXPECT_EQ(std::string(text, 7), "Error: ");
}

// A host may read the text while the conversion's thread writes messages of
// other lengths: every copy must still end inside the host's 512 bytes, and
// be one of the messages, not the start of one over the rest of another.
TEST(ErrorText, ACopyTakenWhileMessagesAreWrittenIsAlwaysOneWholeMessage) {
    std::atomic<bool> stop{false};
    const std::string shorter = "short " + std::string(100, 'x');
    const std::string longer(400, 'y');
    SetErrorText(shorter.c_str());
    std::thread writer([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            SetErrorText(shorter.c_str());
            FormatErrorText("%s", longer.c_str());
        }
    });
    char text[512];
    int unended = 0;
    int mixed = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
        std::memset(text, 'x', sizeof text);
        GetErrString(text);
        if (std::memchr(text, '\0', sizeof text) == nullptr) {
            ++unended;
        } else if (text != shorter && text != longer) {
            ++mixed;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(unended, 0);
    EXPECT_EQ(mixed, 0);
}
