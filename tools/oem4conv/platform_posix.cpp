// The oem4conv command's system layer on POSIX: terminals, signals, and
// worker processes forked from the command itself.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void (*g_onInterrupt)() = nullptr;

extern "C" void OnSignal(int) {
    if (g_onInterrupt != nullptr) g_onInterrupt();
}

} // namespace

bool CommandArguments(int argc, char **argv, std::vector<std::string> *args) {
    // A reader that goes away (| head) is a failed write to be handled like
    // any other, not a silent death halfway through an output.
    std::signal(SIGPIPE, SIG_IGN);
    args->assign(argv + 1, argv + argc);
    return true;
}

bool IsConsole(std::FILE *stream) { return isatty(fileno(stream)) != 0; }

void ClearConsoleLine(std::FILE *stream) { std::fputs("\r\033[K", stream); }

void ConsoleLinesUp(std::FILE *stream, int lines) {
    if (lines > 0) std::fprintf(stream, "\r\033[%dA", lines);
}

int ProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

void InstallInterruptHandler(void (*onInterrupt)()) {
    g_onInterrupt = onInterrupt;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    // Reads of the log carry on after the signal; the library stops at the
    // end of the block, which is what keeps the outputs whole.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal or a dropped remote session: the conversion stops
    // as on Ctrl-C and keeps what it converted (a plain hang-up would kill
    // it and leave only temporaries, which the next run clears). Under
    // nohup, which ignores hang-ups, it carries on as asked.
    struct sigaction hangUp;
    if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN) {
        sigaction(SIGHUP, &action, nullptr);
    }
}

std::string LibraryPath(const std::string &path) { return path; }

bool IsDirectory(const std::string &path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

std::string PathInDirectory(const std::string &directory, const std::string &file) {
    return (std::filesystem::path(directory) / std::filesystem::path(file).filename()).string();
}

PathKind KindOfPath(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR ? kPathMissing : kPathOther;
    if (S_ISREG(info.st_mode)) return kPathFile;
    return S_ISDIR(info.st_mode) ? kPathDirectory : kPathOther;
}

std::string FileIdentity(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::string();
    return std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(info.st_ino));
}

std::string PathKey(const std::string &path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return path;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, error);
    return (error ? absolute.lexically_normal() : canonical).string();
}

bool EndsWithSeparator(const std::string &path) { return !path.empty() && path.back() == '/'; }

std::string DirectoryOf(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool MakeDirectories(const std::string &path, std::string *reason) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (!error) return true;
    *reason = error.message();
    return false;
}

bool MoveIntoPlace(const std::string &from, const std::string &to, std::string *reason) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    *reason = std::strerror(errno);
    return false;
}

std::vector<std::string> FilesStartingWith(const std::string &prefix) {
    std::vector<std::string> found;
    const std::size_t slash = prefix.find_last_of('/');
    const std::string directory = slash == std::string::npos ? std::string(".") : prefix.substr(0, slash + 1);
    const std::string start = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr) return found;
    while (const dirent *entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, start.c_str(), start.size()) != 0) continue;
        found.push_back(slash == std::string::npos ? std::string(entry->d_name) : directory + entry->d_name);
    }
    closedir(dir);
    return found;
}

long ProcessId() { return static_cast<long>(getpid()); }

bool ProcessRunning(long id) {
    if (id <= 0) return false;
    return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

std::string SystemErrorText(int error) { return std::strerror(error); }

bool StartWorker(const ConvertRequest &request, std::size_t log, ConvertOneLog convert,
                 const std::vector<WorkerProcess> &running, WorkerProcess *worker) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        // The other workers' pipes must close when those workers end.
        for (const WorkerProcess &w : running) close(static_cast<int>(w.pipe));
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        const int code = convert(request, log);
        std::fflush(stdout);
        std::_Exit(code);
    }
    close(fds[1]);
    worker->log = log;
    worker->process = pid;
    worker->pipe = fds[0];
    return true;
}

void WaitForWorkers(std::vector<WorkerProcess> *running) {
    std::vector<pollfd> polls;
    for (const WorkerProcess &w : *running) {
        polls.push_back({static_cast<int>(w.pipe), static_cast<short>(w.closed ? 0 : POLLIN), 0});
    }
    if (poll(polls.data(), polls.size(), -1) < 0) return; // EINTR: the caller looks at the interrupt
    for (std::size_t i = 0; i < polls.size(); ++i) {
        if (polls[i].revents == 0) continue;
        WorkerProcess &w = (*running)[i];
        char chunk[4096];
        const ssize_t n = read(polls[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            w.output.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            w.closed = true;
        }
    }
}

int EndWorker(WorkerProcess *worker, std::string *abnormal) {
    close(static_cast<int>(worker->pipe));
    int wstatus = 0;
    while (waitpid(static_cast<pid_t>(worker->process), &wstatus, 0) < 0 && errno == EINTR) {}
    if (WIFSIGNALED(wstatus)) {
        *abnormal = "ended by signal " + std::to_string(WTERMSIG(wstatus));
        return 128 + WTERMSIG(wstatus);
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1;
}

void InterruptWorkers(const std::vector<WorkerProcess> &running) {
    for (const WorkerProcess &w : running) kill(static_cast<pid_t>(w.process), SIGINT);
}

bool IsWorkerProcess(std::size_t *) { return false; }
