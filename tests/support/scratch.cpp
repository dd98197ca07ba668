#include "support/scratch.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

#include "oem4conv.h"

namespace fs = std::filesystem;

namespace testsupport {

ScratchDir::ScratchDir(const std::string &prefix, const std::string &suffix) {
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    path = fs::temp_directory_path() /
           (prefix + "_" + std::to_string(::getpid()) + "_" + (test != nullptr ? test->name() : "") + suffix);
    fs::remove_all(path);
    fs::create_directories(path);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

std::string ErrString() {
    char text[512];
    GetErrString(text);
    return text;
}

} // namespace testsupport
