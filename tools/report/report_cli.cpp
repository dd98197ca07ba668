// The report command shared by `oem4report` and `oem4conv report`.
#include "report_cli.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/convert.h"
#include "report.h"

namespace {

constexpr const char *kUsage = "Usage: %s BASE [-o REPORT.html] [--json FILE] [--messages FILE] [-q]\n"
                               "\n"
                               "Reads BASE.tsq, BASE.epp and BASE.sta of one conversion and writes a\n"
                               "self-contained HTML report (default BASE-report.html) and a text summary\n"
                               "on standard output.\n"
                               "\n"
                               "  -o, --output FILE   the HTML report\n"
                               "      --json FILE     also write the numbers as JSON ('-': standard output,\n"
                               "                      which then replaces the text summary)\n"
                               "      --messages FILE the messages a conversion with --report kept, one\n"
                               "                      per line, optionally preceded by their time\n"
                               "                      (default BASE.messages when it exists); not the\n"
                               "                      command's output saved from the terminal, whose\n"
                               "                      summary lines and wording are counted wrongly\n"
                               "  -q, --quiet         no text summary\n"
                               "\n"
                               "Exit status: 0 report written, 1 inputs unreadable, 2 usage error,\n"
                               "3 an output could not be written.\n";

int Usage(const char *program, const char *problem) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, problem, program);
    return 2;
}

} // namespace

// Over 60 lines: one flat case per option, then the report's steps in the
// order they run.
int report::RunReportCommand(const std::vector<std::string> &args, const char *program) {
    report::ReportRequest request;
    bool quiet = false;
    const std::size_t argc = args.size();
    for (std::size_t i = 0; i < argc; ++i) {
        const char *arg = args[i].c_str();
        auto value = [&](std::string *target) {
            if (i + 1 >= argc) return false;
            *target = args[++i];
            return true;
        };
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            std::printf(kUsage, program);
            return 0;
        } else if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "--output") == 0) {
            if (!value(&request.htmlPath)) return Usage(program, "-o needs a file name");
        } else if (std::strcmp(arg, "--json") == 0) {
            if (!value(&request.jsonPath)) return Usage(program, "--json needs a file name");
        } else if (std::strcmp(arg, "--messages") == 0) {
            if (!value(&request.messagesPath)) return Usage(program, "--messages needs a file name");
        } else if (std::strcmp(arg, "-q") == 0 || std::strcmp(arg, "--quiet") == 0) {
            quiet = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return Usage(program, (std::string("unknown option ") + arg).c_str());
        } else if (request.base.empty()) {
            request.base = arg;
        } else {
            return Usage(program, "only one BASE may be given");
        }
    }
    if (request.base.empty()) return Usage(program, "BASE is missing");
#if defined(_WIN32)
    // Named as the library names a conversion's outputs: after the last
    // '\', with '/' written as '\'.
    std::replace(request.base.begin(), request.base.end(), '/', '\\');
    constexpr char kSeparator = '\\';
#else
    constexpr char kSeparator = '/';
#endif
    // The report and the kept messages are named as the files are.
    std::string stem = request.base;
    const std::size_t dot = stem.find_last_of('.');
    const std::size_t slash = stem.find_last_of(kSeparator);
    if (!report::BaseNamesFilesWhole(request.base) && dot != std::string::npos &&
        (slash == std::string::npos || dot > slash)) {
        stem.erase(dot);
        // "run.3" with no run.3.tsq: the files are an older conversion's,
        // named without the number, or of another run; which is said.
        if (ExtensionIsNumber(request.base.c_str())) {
            std::fprintf(stderr, "%s: no %s.tsq; the report is of %s.tsq, named without the base's extension\n",
                         program, request.base.c_str(), stem.c_str());
        }
    }
    if (request.htmlPath.empty()) request.htmlPath = stem + "-report.html";
    // A conversion with --report kept its messages beside the outputs; a
    // report made again from those outputs counts them as the first did.
    if (request.messagesPath.empty()) {
        const std::string kept = stem + ".messages";
        if (std::FILE *file = std::fopen(kept.c_str(), "rb")) {
            std::fclose(file);
            request.messagesPath = kept;
        }
    }
    request.summary = quiet || request.jsonPath == "-" ? nullptr : stdout;
    std::string error;
    const int result = report::BuildQualityReport(request, &error);
    if (result != report::kReportOk) {
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
        return result == report::kReportInputFailed ? 1 : 3;
    }
    if (request.summary != nullptr) std::printf("Report: %s\n", request.htmlPath.c_str());
    return 0;
}
