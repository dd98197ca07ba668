// oem4report: quality report of one conversion (also `oem4conv report`).
//
//   oem4report BASE [-o report.html] [--json FILE|-] [--messages FILE] [-q]
#include <string>
#include <vector>

#include "report_cli.h"

int main(int argc, char **argv) {
    return report::RunReportCommand(std::vector<std::string>(argv + 1, argv + argc), "oem4report");
}
