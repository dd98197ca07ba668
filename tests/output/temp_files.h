// Scratch files for the output tests, each in a scratch directory of its
// own (named after the test and the process, so that two test runs side by
// side never write each other's files), removed with whatever the writer
// left beside the file when the test ends.
#pragma once

#include <string>
#include <vector>

#include "support/oem4_records.h"
#include "support/scratch.h"

struct ScratchFile {
    explicit ScratchFile(const std::string &name) : dir("oem4conv", "_" + name), path(dir / name) {}
    const char *c_str() const { return path.c_str(); }
    std::vector<uint8_t> Bytes() const { return testsupport::ReadFileBytes(path); }
    std::string Text() const {
        std::vector<uint8_t> b = Bytes();
        return std::string(b.begin(), b.end());
    }
    testsupport::ScratchDir dir;
    std::string path;
};
