// BuildQualityReport: collect once, then write each requested output.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/stat.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "report.h"

namespace report {
namespace {

// A report replaces a regular file only: a directory or a device (/dev/null)
// at its name is refused rather than turned into a file.
bool IsReplaceable(const std::string &path, std::string *error) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || (info.st_mode & S_IFMT) == S_IFREG) return true;
    *error = path + " exists and is not a regular file";
    return false;
}

// The same file under both names (POSIX: device and file number; Windows:
// the name, whose case does not count).
bool SameFile(const std::string &a, const std::string &b) {
#if defined(_WIN32)
    return _stricmp(a.c_str(), b.c_str()) == 0;
#else
    struct stat first;
    struct stat second;
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return a == b;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
#endif
}

bool Rename(const std::string &from, const std::string &to) {
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Writes through a temporary name and renames, so that a failed write never
// leaves a half report where a complete one is expected, and the earlier
// report stays whole until the new one replaces it.
template <typename Writer> bool WriteFile(const std::string &path, Writer writer, std::string *error) {
    if (!IsReplaceable(path, error)) return false;
    const std::string temporary = path + ".part";
    std::FILE *out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        *error = "Unable to open " + path + " for writing: " + std::strerror(errno);
        return false;
    }
    const bool written = writer(out) == 0 && std::fflush(out) == 0;
    const int reason = errno;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        std::remove(temporary.c_str());
        *error = "Unable to write to " + path + ": " + std::strerror(written ? errno : reason);
        return false;
    }
    if (!Rename(temporary, path)) {
        *error = "Unable to write to " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// No output of the report may be one of the files it reads, or anything but
// a regular file; nor the log it was named after (BASE may be the log's own
// name) or another output of that conversion (its kept messages too, when
// the report reads other ones), which a report written over them would lose
// for good.
// Nor may the HTML and the JSON be one file (two names of it included):
// the second written would replace the first.
// Checked before anything is written, the summary included.
bool OutputsAreNotInputs(const ReportRequest &request, const ReportData &data, std::string *error) {
    if (!request.htmlPath.empty() && !request.jsonPath.empty() && request.jsonPath != "-" &&
        SameFile(request.htmlPath, request.jsonPath)) {
        *error = request.jsonPath + " is the HTML report's file too: the HTML and the JSON need two files";
        return false;
    }
    const std::string stem = data.tsqPath.substr(0, data.tsqPath.size() - std::strlen(".tsq"));
    const std::string conversion[] = {request.base,   stem + ".obs",          stem + ".nav",
                                      stem + ".gnav", stem + "-antenna2.obs", stem + ".messages"};
    for (const std::string *output : {&request.htmlPath, &request.jsonPath}) {
        if (output->empty() || *output == "-") continue;
        if (!IsReplaceable(*output, error)) return false;
        for (const std::string *input : {&data.tsqPath, &data.eppPath, &data.staPath, &data.messagesPath}) {
            if (input->empty() || !SameFile(*output, *input)) continue;
            *error = *output + " is an input of the report";
            return false;
        }
        for (const std::string &file : conversion) {
            if (!SameFile(*output, file)) continue;
            *error = *output + " is the log or an output of the conversion the report is about";
            return false;
        }
    }
    return true;
}

} // namespace

int BuildQualityReport(const ReportRequest &request, std::string *error) {
    std::string local;
    if (error == nullptr) error = &local;
    // Large (per-PRN tables), so kept off the stack.
    auto data = std::make_unique<ReportData>();
    const int collected = CollectReport(request, data.get(), error);
    if (collected != kReportOk) return collected;
    if (!OutputsAreNotInputs(request, *data, error)) return kReportOutputFailed;

    if (request.summary != nullptr) {
        WriteSummaryText(request.summary, *data);
        if (std::fflush(request.summary) != 0 || std::ferror(request.summary) != 0) {
            *error = std::string("Unable to write the summary: ") + std::strerror(errno);
            return kReportOutputFailed;
        }
    }
    if (!request.htmlPath.empty() &&
        !WriteFile(
            request.htmlPath, [&](std::FILE *out) { return WriteHtml(out, *data); }, error)) {
        return kReportOutputFailed;
    }
    if (request.jsonPath == "-") {
        if (WriteJson(stdout, *data) != 0 || std::fflush(stdout) != 0) {
            *error = std::string("Unable to write the JSON to standard output: ") + std::strerror(errno);
            return kReportOutputFailed;
        }
    } else if (!request.jsonPath.empty() &&
               !WriteFile(
                   request.jsonPath, [&](std::FILE *out) { return WriteJson(out, *data); }, error)) {
        return kReportOutputFailed;
    }
    return kReportOk;
}

} // namespace report
