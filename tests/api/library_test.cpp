#include <gtest/gtest.h>

#include <cstring>

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

TEST(ConvertFileChecks, RefusesWrongRecordSizesWithoutWritingResults) {
    static ConvertOptions options{};
    ConvertHost host{};
    options.structSize = sizeof(ConvertOptions);
    options.optionsSize = 28;
    options.epochCount = 77;
    host.structSize = sizeof(ConvertHost) - 1;
    char text[512];

    EXPECT_EQ(ConvertFile(&options, &host, 0), 1);
    GetErrString(text);
    EXPECT_STREQ(text, "Incorrect version of OEM4 Conversion DLL");
    EXPECT_EQ(options.epochCount, 77u);

    host.structSize = sizeof(ConvertHost);
    options.structSize = 2671;
    EXPECT_EQ(ConvertFile(&options, &host, 0), 1);
    GetErrString(text);
    EXPECT_STREQ(text, "Incorrect version of OEM4 Conversion DLL");

    options.structSize = sizeof(ConvertOptions);
    options.optionsSize = 0;
    EXPECT_EQ(ConvertFile(&options, &host, 0), 1);
    GetErrString(text);
    EXPECT_STREQ(text, "Incorrect version of OEM4 Conversion DLL, Invalid options");
    EXPECT_EQ(options.epochCount, 77u);
}

TEST(ErrorText, FormattingIsBoundedTo511Characters) {
    std::string longText(2000, 'x');
    FormatErrorText("Error: Unable to open %s", longText.c_str());
    char text[512];
    GetErrString(text);
    EXPECT_EQ(std::strlen(text), 511u);
    EXPECT_EQ(std::string(text, 7), "Error: ");
}
