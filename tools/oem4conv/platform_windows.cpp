// The oem4conv command's system layer on Windows: the console, Ctrl-C and
// Ctrl-Break, and worker processes that are this executable started again
// for one log.
//
// Paths: the program's manifest makes UTF-8 its code page (Windows 10 1903
// and later), so the char arguments, the library's fopen and the file system
// calls all speak UTF-8 and any name works end to end. Where the manifest is
// not honoured the arguments are in the system's code page, which the same
// calls also agree on; an argument that code page cannot spell is refused
// rather than opened under a best-fit look-alike name.
#include "platform.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// The C runtime expands wildcards in the arguments (*.gps), as Windows
// commands do: the shell leaves that to each program.
extern "C" {
int _dowildcard = -1;
}

namespace {

// The first argument of a worker process: "--oem4conv-worker=LOG:STOP:PARENT"
// with the log's index and the values of two inherited handles, the event
// that asks it to stop and its parent process.
constexpr const char kWorkerMarker[] = "--oem4conv-worker=";
constexpr DWORD kWaitMilliseconds = 50;
constexpr DWORD kPipeSize = 65536;

void (*g_onInterrupt)() = nullptr;
UINT g_savedOutputCodePage = 0;
DWORD g_savedErrorMode = 0;
bool g_virtualTerminal = false;

// In a worker.
bool g_isWorker = false;
std::size_t g_workerLog = 0;
HANDLE g_stopRequest = nullptr;
HANDLE g_parent = nullptr;

// In the parent: one stop event for every worker, and the parent's own
// handle for them to watch.
HANDLE g_workersStop = nullptr;
HANDLE g_selfForWorkers = nullptr;

HANDLE StreamHandle(std::FILE *stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

void RestoreConsole() {
    if (g_savedOutputCodePage != 0) SetConsoleOutputCP(g_savedOutputCodePage);
    if (g_savedErrorMode != 0) SetConsoleMode(StreamHandle(stderr), g_savedErrorMode);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (g_onInterrupt != nullptr) g_onInterrupt();
    return TRUE;
}

// A worker stops like on Ctrl-C when its parent asks, or when the parent
// has gone and nobody will read its report.
DWORD WINAPI WatchParent(void *) {
    HANDLE handles[2] = {g_stopRequest, g_parent};
    const DWORD got = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (got < WAIT_OBJECT_0 + 2 && g_onInterrupt != nullptr) g_onInterrupt();
    return 0;
}

// A worker gets its parent's arguments (after wildcard expansion, so both
// read the same list of logs), each quoted as the C runtime splits them:
// backslashes count only before a quote.
void AppendQuoted(std::wstring *line, const std::string &arg) {
    const int n = MultiByteToWideChar(CP_ACP, 0, arg.c_str(), static_cast<int>(arg.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, arg.c_str(), static_cast<int>(arg.size()), wide.data(), n);
    line->push_back(L' ');
    if (!wide.empty() && wide.find_first_of(L" \t\"") == std::wstring::npos) {
        line->append(wide);
        return;
    }
    line->push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : wide) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line->push_back(c);
    }
    // ... and before the closing quote.
    line->append(2 * backslashes, L'\\');
    line->push_back(L'"');
}

bool ParseWorkerMarker(const std::string &arg) {
    unsigned long long log = 0, stop = 0, parent = 0;
    char end = '\0';
    if (std::sscanf(arg.c_str() + sizeof kWorkerMarker - 1, "%llu:%llu:%llu%c", &log, &stop, &parent, &end) != 3) {
        return false;
    }
    g_isWorker = true;
    g_workerLog = static_cast<std::size_t>(log);
    g_stopRequest = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(stop));
    g_parent = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parent));
    return true;
}

// With a legacy code page an argument may hold characters it cannot spell;
// Windows would pass a best-fit look-alike (or '?') in their place.
bool ArgumentsFitCodePage() {
    if (GetACP() == CP_UTF8) return true;
    const wchar_t *p = GetCommandLineW();
    // The program name ends at the first blank outside quotes (no escapes).
    bool quoted = false;
    while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t'))) {
        if (*p == L'"') quoted = !quoted;
        ++p;
    }
    // Any character of the arguments that the code page cannot spell is
    // enough to refuse: it would reach a file name changed.
    const int length = static_cast<int>(std::wcslen(p));
    if (length == 0) return true;
    BOOL usedDefault = FALSE;
    const int needed = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, length, nullptr, 0, nullptr, &usedDefault);
    return needed > 0 && !usedDefault;
}

void PrepareConsole() {
    // Names are printed in the program's code page; a console shows them
    // right only in that code page (restored when the command ends).
    if (IsConsole(stdout) || IsConsole(stderr)) {
        const UINT current = GetConsoleOutputCP();
        if (current != 0 && current != GetACP() && SetConsoleOutputCP(GetACP())) {
            g_savedOutputCodePage = current;
        }
    }
    // The progress display clears its line with an escape sequence where
    // the console takes them (Windows 10 and later).
    DWORD mode = 0;
    const HANDLE error = StreamHandle(stderr);
    if (GetConsoleMode(error, &mode)) {
        g_virtualTerminal = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
        if (!g_virtualTerminal && SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
            g_virtualTerminal = true;
            g_savedErrorMode = mode;
        }
    }
    if (g_savedOutputCodePage != 0 || g_savedErrorMode != 0) std::atexit(RestoreConsole);
}

std::wstring ModulePath() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n < path.size() ? n : 0);
    return path;
}

bool PrepareWorkerHandles() {
    if (g_workersStop != nullptr) return true;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    g_workersStop = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    if (g_workersStop == nullptr) return false;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &g_selfForWorkers, SYNCHRONIZE,
                         TRUE, 0)) {
        CloseHandle(g_workersStop);
        g_workersStop = nullptr;
        return false;
    }
    return true;
}

// Reads what the worker's pipe holds without blocking. Its output has
// ended when the pipe is broken, or when the worker has ended and the pipe
// is empty; a failed look at a live worker's pipe is only tried again.
bool DrainPipe(WorkerProcess *w) {
    bool got = false;
    const HANDLE pipe = reinterpret_cast<HANDLE>(w->pipe);
    while (!w->closed) {
        DWORD available = 0;
        const bool peeked = PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) != 0;
        if (peeked && available > 0) {
            char chunk[4096];
            DWORD n = 0;
            const DWORD want = available < sizeof chunk ? available : static_cast<DWORD>(sizeof chunk);
            if (ReadFile(pipe, chunk, want, &n, nullptr) && n > 0) {
                w->output.append(chunk, n);
                got = true;
                continue;
            }
        }
        const bool broken = !peeked && GetLastError() == ERROR_BROKEN_PIPE;
        if (broken || WaitForSingleObject(reinterpret_cast<HANDLE>(w->process), 0) == WAIT_OBJECT_0) {
            // An ended worker's last output is in the pipe already: one
            // more look takes it.
            if (!broken && PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
                continue;
            }
            w->closed = true;
        }
        break;
    }
    return got || w->closed;
}

} // namespace

bool CommandArguments(int argc, char **argv, std::vector<std::string> *args) {
    args->assign(argv + 1, argv + argc);
    if (!args->empty() && args->front().rfind(kWorkerMarker, 0) == 0) {
        if (!ParseWorkerMarker(args->front())) {
            std::fprintf(stderr, "oem4conv: bad worker argument\n");
            return false;
        }
        args->erase(args->begin());
        // The parent prints the report in its own text mode: LF only here.
        _setmode(_fileno(stdout), _O_BINARY);
        return true;
    }
    PrepareConsole();
    if (!ArgumentsFitCodePage()) {
        std::fprintf(stderr,
                     "oem4conv: an argument has characters that this system's code page (%u) "
                     "cannot represent;\nWindows 10 version 1903 or later takes any name\n",
                     GetACP());
        return false;
    }
    return true;
}

bool IsConsole(std::FILE *stream) {
    DWORD mode = 0;
    return GetConsoleMode(StreamHandle(stream), &mode) != 0;
}

void ClearConsoleLine(std::FILE *stream) {
    if (g_virtualTerminal) {
        std::fputs("\r\033[K", stream);
        return;
    }
    // Older consoles take no escape sequences: blank the line instead.
    CONSOLE_SCREEN_BUFFER_INFO info;
    int width = 80;
    if (GetConsoleScreenBufferInfo(StreamHandle(stream), &info)) width = info.dwSize.X;
    std::fputc('\r', stream);
    for (int i = 1; i < width; ++i) std::fputc(' ', stream);
    std::fputc('\r', stream);
}

void ConsoleLinesUp(std::FILE *stream, int lines) {
    if (lines <= 0) return;
    if (g_virtualTerminal) {
        std::fprintf(stream, "\r\033[%dA", lines);
        return;
    }
    // Older consoles: the cursor is placed through the console itself.
    std::fflush(stream);
    const HANDLE handle = StreamHandle(stream);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(handle, &info)) return;
    COORD at = info.dwCursorPosition;
    at.X = 0;
    at.Y = static_cast<SHORT>(at.Y > lines ? at.Y - lines : 0);
    SetConsoleCursorPosition(handle, at);
}

int ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

void InstallInterruptHandler(void (*onInterrupt)()) {
    g_onInterrupt = onInterrupt;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    if (g_isWorker) {
        const HANDLE watcher = CreateThread(nullptr, 0, WatchParent, nullptr, 0, nullptr);
        if (watcher != nullptr) CloseHandle(watcher);
    }
}

std::string LibraryPath(const std::string &path) {
    std::string native = path;
    for (char &c : native) {
        if (c == '/') c = '\\';
    }
    return native;
}

// The file system calls below take wide names, converted from the code page
// that the library's fopen also uses.
std::wstring WideName(const std::string &path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

bool IsDirectory(const std::string &path) {
    const std::wstring wide = WideName(path);
    if (wide.empty()) return false;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string PathInDirectory(const std::string &directory, const std::string &file) {
    // The last component follows the last '\' or '/', or the ':' of a
    // drive-relative name (D:day1.gps).
    const std::size_t cut = file.find_last_of("\\/:");
    const std::string name = cut == std::string::npos ? file : file.substr(cut + 1);
    if (directory.empty()) return name;
    const char last = directory.back();
    // D: alone is the current directory of drive D.
    if (last == '\\' || last == '/' || last == ':') return directory + name;
    return directory + '\\' + name;
}

namespace {

// A file name of the system's code page, from the wide name the system gives.
std::string NarrowName(const wchar_t *wide) {
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow.data(), n, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(n - 1));
    return narrow;
}

std::string LastErrorText(DWORD error) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    // The system's texts end in a full stop and a line end.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    if (n == 0) return "error " + std::to_string(error);
    return std::string(text, n);
}

// CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9, with any extension ("CON.tsq"),
// name devices in every folder: Windows before 11 opens the console or the
// printer port for them, whether or not the folder holds such a file.
bool IsDeviceName(const std::string &path) {
    const std::size_t separator = path.find_last_of("\\/:");
    const std::size_t start = separator == std::string::npos ? 0 : separator + 1;
    const std::size_t dot = path.find('.', start);
    std::string name = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char &c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL") return true;
    return name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) && name[3] >= '1' &&
           name[3] <= '9';
}

} // namespace

PathKind KindOfPath(const std::string &path) {
    if (IsDeviceName(path)) return kPathOther;
    const std::wstring wide = WideName(path);
    if (wide.empty()) return kPathMissing;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A name no file can have (a wildcard that matched nothing, "*.gps")
        // names nothing either: opening it says why.
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME
                   ? kPathMissing
                   : kPathOther;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return kPathDirectory;
    // Device names (NUL, CON, COM1) are no files to replace.
    const HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kPathFile;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_DISK ? kPathFile : kPathOther;
}

std::string FileIdentity(const std::string &path) {
    const std::wstring wide = WideName(path);
    if (wide.empty()) return std::string();
    const HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::string();
    BY_HANDLE_FILE_INFORMATION info;
    const bool got = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (!got) return std::string();
    char text[48];
    std::snprintf(text, sizeof text, "%lx:%lx:%lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
    return text;
}

std::string PathKey(const std::string &path) {
    const std::wstring wide = WideName(path);
    if (wide.empty()) return path;
    std::wstring full(32768, L'\0');
    const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return path;
    full.resize(n);
    // Names that differ only in case name one file on Windows; '/' is '\'.
    std::wstring upper(full.size(), L'\0');
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, full.c_str(), static_cast<int>(full.size()), upper.data(),
                     static_cast<int>(upper.size())) == static_cast<int>(full.size())) {
        full = upper;
    }
    for (wchar_t &c : full) {
        if (c == L'/') c = L'\\';
    }
    return NarrowName(full.c_str());
}

bool EndsWithSeparator(const std::string &path) { return !path.empty() && (path.back() == '\\' || path.back() == '/'); }

std::string DirectoryOf(const std::string &path) {
    const std::size_t cut = path.find_last_of("\\/:");
    if (cut == std::string::npos) return std::string();
    // D:\ and \ are directories of their own; D:day1 is in D:'s current one.
    if (cut == 0 || path[cut] == ':' || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);
    return path.substr(0, cut);
}

bool MakeDirectories(const std::string &path, std::string *reason) {
    std::string trimmed = path;
    while (EndsWithSeparator(trimmed) && trimmed.size() > 1 && trimmed[trimmed.size() - 2] != ':') trimmed.pop_back();
    if (trimmed.empty() || IsDirectory(trimmed)) return true;
    const std::string parent = DirectoryOf(trimmed);
    if (!parent.empty() && parent != trimmed && !MakeDirectories(parent, reason)) return false;
    const std::wstring wide = WideName(trimmed);
    if (!wide.empty() && CreateDirectoryW(wide.c_str(), nullptr)) return true;
    const DWORD error = GetLastError();
    // Made meanwhile by another process, or a file of that name: only a
    // directory will do.
    if (error == ERROR_ALREADY_EXISTS && IsDirectory(trimmed)) return true;
    *reason = error == ERROR_ALREADY_EXISTS ? "a file of that name exists" : LastErrorText(error);
    return false;
}

bool MoveIntoPlace(const std::string &from, const std::string &to, std::string *reason) {
    const std::wstring source = WideName(from);
    const std::wstring target = WideName(to);
    if (!source.empty() && !target.empty() &&
        MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    *reason = LastErrorText(GetLastError());
    return false;
}

std::vector<std::string> FilesStartingWith(const std::string &prefix) {
    std::vector<std::string> found;
    const std::wstring pattern = WideName(prefix + "*");
    if (pattern.empty()) return found;
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return found;
    const std::size_t cut = prefix.find_last_of("\\/:");
    const std::string directory = cut == std::string::npos ? std::string() : prefix.substr(0, cut + 1);
    do {
        found.push_back(directory + NarrowName(entry.cFileName));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

bool ProcessRunning(long id) {
    if (id <= 0) return false;
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    // Denied access means the process is there.
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

std::string SystemErrorText(int error) { return std::strerror(error); }

bool StartWorker(const ConvertRequest &request, std::size_t log, ConvertOneLog, const std::vector<WorkerProcess> &,
                 WorkerProcess *worker) {
    if (!PrepareWorkerHandles()) return false;
    const std::wstring program = ModulePath();
    if (program.empty()) return false;

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, kPipeSize)) return false;
    // Only the worker's end is inherited, so the pipe breaks when it ends.
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE error = nullptr;
    const HANDLE ownError = GetStdHandle(STD_ERROR_HANDLE);
    if (ownError != nullptr && ownError != INVALID_HANDLE_VALUE) {
        DuplicateHandle(GetCurrentProcess(), ownError, GetCurrentProcess(), &error, 0, TRUE, DUPLICATE_SAME_ACCESS);
    }

    // The worker's command line holds the options and its own log, the
    // first and only one of its list: the whole list of a folder of logs
    // would pass the 32 767 characters a command line can hold.
    char marker[96];
    std::snprintf(marker, sizeof marker, "%s0:%llu:%llu", kWorkerMarker,
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(g_workersStop)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(g_selfForWorkers)));
    std::wstring commandLine = L"\"" + program + L"\" ";
    for (const char *c = marker; *c != '\0'; ++c) commandLine += static_cast<wchar_t>(*c);
    AppendQuoted(&commandLine, "convert");
    for (const std::string &arg : request.optionArguments) AppendQuoted(&commandLine, arg);
    AppendQuoted(&commandLine, "--");
    AppendQuoted(&commandLine, request.logs[log]);

    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd;
    startup.hStdError = error;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    std::fflush(stdout);
    std::fflush(stderr);
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
    CloseHandle(writeEnd);
    if (error != nullptr) CloseHandle(error);
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    CloseHandle(info.hThread);
    worker->log = log;
    worker->process = reinterpret_cast<intptr_t>(info.hProcess);
    worker->pipe = reinterpret_cast<intptr_t>(readEnd);
    return true;
}

void WaitForWorkers(std::vector<WorkerProcess> *running) {
    bool any = false;
    for (WorkerProcess &w : *running) any = DrainPipe(&w) || any;
    if (any) return;
    // Anonymous pipes cannot be waited on: wait for a worker to end, and
    // look at the pipes again at short intervals (a worker blocks once its
    // pipe is full, and an interrupt is looked at by the caller).
    HANDLE processes[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    for (const WorkerProcess &w : *running) {
        if (count < MAXIMUM_WAIT_OBJECTS) processes[count++] = reinterpret_cast<HANDLE>(w.process);
    }
    if (count > 0) WaitForMultipleObjects(count, processes, FALSE, kWaitMilliseconds);
    for (WorkerProcess &w : *running) DrainPipe(&w);
}

int EndWorker(WorkerProcess *worker, std::string *abnormal) {
    const HANDLE process = reinterpret_cast<HANDLE>(worker->process);
    CloseHandle(reinterpret_cast<HANDLE>(worker->pipe));
    WaitForSingleObject(process, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(process, &code)) code = 1;
    CloseHandle(process);
    // Exit statuses from 0xC0000000 are exceptions (access violation, ...).
    if (code >= 0xC0000000u) {
        char text[48];
        std::snprintf(text, sizeof text, "ended by exception 0x%08lX", static_cast<unsigned long>(code));
        *abnormal = text;
    }
    return static_cast<int>(code);
}

void InterruptWorkers(const std::vector<WorkerProcess> &) {
    if (g_workersStop != nullptr) SetEvent(g_workersStop);
}

bool IsWorkerProcess(std::size_t *log) {
    if (g_isWorker) *log = g_workerLog;
    return g_isWorker;
}
