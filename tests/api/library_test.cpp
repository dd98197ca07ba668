#include <gtest/gtest.h>

#include <cstring>

#include "api/error_text.h"
#include "oem4conv.h"

TEST(SetFactoryDefaults, WritesDefaultsOnlyForSize28AndKeepsSpare) {
    uint8_t raw[28];
    std::memset(raw, 0xCD, sizeof raw);
    auto *o = reinterpret_cast<Oem4Options *>(raw);
    SetFactoryDefaults(27, o);
    SetFactoryDefaults(29, o);
    for (uint8_t b : raw) EXPECT_EQ(b, 0xCD);

    SetFactoryDefaults(28, o);
    Oem4Options v;
    std::memcpy(&v, raw, sizeof v);
    EXPECT_EQ(+v.epochFlag, 0u);
    EXPECT_EQ(+v.maxPositionAge, 5.0);
    EXPECT_EQ(+v.reportAll, 0u);
    EXPECT_EQ(+v.recomputeClock, 0u);
    EXPECT_EQ(+v.requireL2Lock, 1u);
    for (int i = 24; i < 28; ++i) EXPECT_EQ(raw[i], 0xCD);
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
