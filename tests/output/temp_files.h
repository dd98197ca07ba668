// Scratch files for the output tests, removed when the test ends; named
// after the test and the process, so that two test runs side by side (a
// sanitizer build beside the plain one) never write each other's files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/oem4_records.h"

struct ScratchFile {
    explicit ScratchFile(const std::string &name)
        : path(::testing::TempDir() + "oem4conv_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
               "_" + std::to_string(::getpid()) + "_" + name) {}
    ~ScratchFile() { std::remove(path.c_str()); }
    const char *c_str() const { return path.c_str(); }
    std::vector<uint8_t> Bytes() const { return testsupport::ReadFileBytes(path); }
    std::string Text() const {
        std::vector<uint8_t> b = Bytes();
        return std::string(b.begin(), b.end());
    }
    std::string path;
};
