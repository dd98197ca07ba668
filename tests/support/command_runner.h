// Runs a command-line program as a child process and collects what it
// said: exit status, standard output and standard error. POSIX only.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct CommandOutcome {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Where the child's standard output goes.
enum class StdoutTo {
    kCapture,    // a file, read back into CommandOutcome::out
    kFullDevice, // /dev/full: every write fails with ENOSPC
    kClosedPipe, // a pipe whose reader has gone: every write fails with EPIPE
};

// Whether a program of that name is on the PATH (the independent tools
// the tests compare with, such as RTKLIB's convbin, skip without it).
bool HaveProgram(const char *name);

// Starts `program` with `args`; its outputs go to files in `scratch`.
pid_t StartCommand(const std::string &program, const std::vector<std::string> &args, const std::string &scratch,
                   StdoutTo stdoutTo = StdoutTo::kCapture);
// Waits for the child started by StartCommand and reads what it wrote.
CommandOutcome FinishCommand(pid_t pid, const std::string &scratch);
inline CommandOutcome RunCommand(const std::string &program, const std::vector<std::string> &args,
                                 const std::string &scratch, StdoutTo stdoutTo = StdoutTo::kCapture) {
    return FinishCommand(StartCommand(program, args, scratch, stdoutTo), scratch);
}

} // namespace testsupport
