// BuildQualityReport: collect once, then write each requested output.
#include <cstdio>
#include <memory>

#include "report.h"

namespace report {
namespace {

// Writes through a temporary name and renames, so that a failed write never
// leaves a half report where a complete one is expected.
template <typename Writer> bool WriteFile(const std::string &path, Writer writer, std::string *error) {
    const std::string temporary = path + ".part";
    std::FILE *out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        *error = "Unable to open " + path + " for writing";
        return false;
    }
    const bool written = writer(out) == 0;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        std::remove(temporary.c_str());
        *error = "Unable to write to " + path;
        return false;
    }
    std::remove(path.c_str());
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        *error = "Unable to write to " + path;
        return false;
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

    if (request.summary != nullptr) WriteSummaryText(request.summary, *data);
    if (!request.htmlPath.empty() &&
        !WriteFile(
            request.htmlPath, [&](std::FILE *out) { return WriteHtml(out, *data); }, error)) {
        return kReportOutputFailed;
    }
    if (request.jsonPath == "-") {
        if (WriteJson(stdout, *data) != 0 || std::fflush(stdout) != 0) {
            *error = "Unable to write the JSON to standard output";
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
