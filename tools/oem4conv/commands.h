// The subcommands of the oem4conv tool. Each returns the process exit
// status: 0 success, 1 failure, 2 usage error.
#pragma once

#include <string>
#include <vector>

#include "oem4conv.h"

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct ConvertRequest {
    std::vector<std::string> logs;
    std::string output; // base path, or a directory for several logs; empty: beside each log
    int jobs = 0;       // 0: number of cores
    bool quiet = false;
    bool verbose = false; // also the informational messages (records received)
    bool progress = true;
    bool report = false;      // quality report after each conversion
    bool rinex = false;       // also BASE.obs and BASE.nav
    bool hostFiles = true;    // BASE.tsq, .epp and .sta (off with --rinex-only)
    std::string marker;       // RINEX marker name; empty: the log's name
    int32_t rinexVersion = 0; // 304 or 211; 0: 3.04
    bool keepPartial = false; // a failed conversion keeps what it wrote as BASE-partial.*
    Oem4Options options;
    // The options as given, each with its value, without the logs: a worker
    // started afresh (Windows) gets these and its one log, not the whole
    // list, which could pass the length a command line can hold.
    std::vector<std::string> optionArguments;
};

int RunConvert(const ConvertRequest &request);
int RunDump(const std::string &path, bool csv);
// What a file that is not a binary log is, when it is something a user
// may take for one (a NovAtel ASCII log, a packed log, a RINEX file), with
// what to do; nullptr otherwise.
struct OtherFileKind {
    const char *what;
    const char *advice;
};
const OtherFileKind *KindOfOtherFile(const std::string &log);
