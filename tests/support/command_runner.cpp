#include "support/command_runner.h"
#include "support/scratch.h"

#include <cstdlib>
#include <fstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

pid_t StartCommand(const std::string &program, const std::vector<std::string> &args, const std::string &scratch,
                   StdoutTo stdoutTo) {
    std::vector<std::string> copies = args;
    copies.insert(copies.begin(), program);
    std::vector<char *> argv;
    for (std::string &a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = scratch + "/stdout.txt";
    const std::string err = scratch + "/stderr.txt";
    int pipeEnds[2] = {-1, -1};
    if (stdoutTo == StdoutTo::kClosedPipe && pipe(pipeEnds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        int o = -1;
        if (stdoutTo == StdoutTo::kFullDevice) {
            o = open("/dev/full", O_WRONLY);
        } else if (stdoutTo == StdoutTo::kClosedPipe) {
            close(pipeEnds[0]); // nobody reads
            o = pipeEnds[1];
        } else {
            o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pipeEnds[0] >= 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
    }
    if (stdoutTo != StdoutTo::kCapture) std::ofstream(out, std::ios::trunc);
    return pid;
}

CommandOutcome FinishCommand(pid_t pid, const std::string &scratch) {
    CommandOutcome outcome;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = ReadText(scratch + "/stdout.txt");
    outcome.err = ReadText(scratch + "/stderr.txt");
    return outcome;
}

bool HaveProgram(const char *name) {
    return std::system(("command -v '" + std::string(name) + "' >/dev/null 2>&1").c_str()) == 0;
}

} // namespace testsupport
