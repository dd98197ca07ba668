// The report command line, shared by `oem4report` and `oem4conv report`:
//
//   PROGRAM BASE [-o REPORT.html] [--json FILE|-] [--messages FILE] [-q]
//
// Exit status: 0 report written, 1 inputs unreadable, 2 usage error,
// 3 an output could not be written.
#pragma once

#include <string>
#include <vector>

namespace report {

// args are the arguments after the program (or subcommand) name; program
// names the command in usage and error texts.
int RunReportCommand(const std::vector<std::string> &args, const char *program);

} // namespace report
