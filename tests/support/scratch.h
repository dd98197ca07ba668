// Files for tests that go through the file system: a directory of its own
// per test, and whole files written or read in one call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A directory named after the running test (and the process, so that
// parallel runs do not meet), created empty and removed afterwards.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix = "oem4conv", const std::string &suffix = "");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string operator/(const std::string &name) const { return (path / name).string(); }
    std::filesystem::path path;
};

void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes);
std::string ReadText(const std::string &path);
void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes);
// The library's text of the last result.
std::string ErrString();

} // namespace testsupport
