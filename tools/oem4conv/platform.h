// What the oem4conv command needs from the operating system: console
// detection, Ctrl-C, worker processes and path spelling. One implementation
// per system (platform_posix.cpp, platform_windows.cpp); the commands
// themselves stay free of system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"

// The arguments after the program name. On Windows this also sets up the
// console (UTF-8 output, restored at exit), refuses arguments that the
// system's code page cannot spell, and takes away the marker with which a
// worker process is started (see IsWorkerProcess). Returns false, having
// said why, when the command cannot run.
bool CommandArguments(int argc, char **argv, std::vector<std::string> *args);

// True when `stream` is an interactive console or terminal: the progress
// display is shown only there.
bool IsConsole(std::FILE *stream);

// Removes the progress display from the line (carriage return, then clear
// to the end of the line).
void ClearConsoleLine(std::FILE *stream);

// Moves the cursor of a console `lines` lines up, to the start of the line
// (the live lines of a -j run are redrawn in place).
void ConsoleLinesUp(std::FILE *stream, int lines);

// Number of processors, at least 1.
int ProcessorCount();

// Calls `onInterrupt` on every Ctrl-C (also Ctrl-Break on Windows, SIGTERM
// on POSIX), from a signal handler or another thread: it may only do what is
// safe there. In a worker process it is also called when the parent asks the
// worker to stop, or when the parent has gone.
void InstallInterruptHandler(void (*onInterrupt)());

// The spelling of a path handed to the library. Windows takes '/' and '\'
// alike, but the library names its outputs after the last '\' only, so '/'
// becomes '\' there; elsewhere the path is returned as it is.
std::string LibraryPath(const std::string &path);

// True when `path` names an existing directory.
bool IsDirectory(const std::string &path);

// The path of `file`'s last component inside `directory`.
std::string PathInDirectory(const std::string &directory, const std::string &file);

// ---- files ------------------------------------------------------------------
// The convert command writes each output under a temporary name beside it
// and moves it into place when the conversion has ended well.

enum PathKind { kPathMissing, kPathFile, kPathDirectory, kPathOther };
PathKind KindOfPath(const std::string &path);

// What tells an existing file from every other (device and file number);
// "" when the path names nothing that exists. Links and other spellings of
// one file give the same identity.
std::string FileIdentity(const std::string &path);

// A spelling of the path for comparing it with others, whether or not the
// file exists: absolute and normalised (and case-folded on Windows).
std::string PathKey(const std::string &path);

// True when the path ends in a directory separator ('/', and '\' on
// Windows): it names a directory.
bool EndsWithSeparator(const std::string &path);

// The directory part of a path, "" when it has none.
std::string DirectoryOf(const std::string &path);

// Creates the directory and every missing parent; false with the system's
// reason.
bool MakeDirectories(const std::string &path, std::string *reason);

// Renames `from` to `to`, replacing a file already there in one step;
// false with the system's reason.
bool MoveIntoPlace(const std::string &from, const std::string &to, std::string *reason);

// The paths of the entries of `prefix`'s directory whose names begin with
// the last component of `prefix`.
std::vector<std::string> FilesStartingWith(const std::string &prefix);

// This process's id, and whether a process of that id is running.
long ProcessId();
bool ProcessRunning(long id);

// The system's text for an error number (errno).
std::string SystemErrorText(int error);

// ---- worker processes ------------------------------------------------------
// `convert -j N` runs one worker process per log (the library converts one
// file at a time per process). A worker's standard output goes to a pipe and
// is printed in one piece when the worker ends, so that the reports of
// parallel conversions never interleave; its standard error is shared.

struct WorkerProcess {
    std::size_t log = 0;   // index of the log in the request
    std::string output;    // its standard output so far
    intptr_t process = -1; // pid, or process handle
    intptr_t pipe = -1;    // read end of its standard output
    bool closed = false;   // its standard output has ended
};

// Converts request.logs[log] in this process; the exit status of a worker.
using ConvertOneLog = int (*)(const ConvertRequest &request, std::size_t log);

// Starts a worker for request.logs[log]. POSIX forks and calls `convert` in
// the child; Windows starts this executable again with a marker, the
// request's options and that one log. False when no process could be
// started.
bool StartWorker(const ConvertRequest &request, std::size_t log, ConvertOneLog convert,
                 const std::vector<WorkerProcess> &running, WorkerProcess *worker);

// Waits until a worker has written output or closed it, or until an
// interrupt (then it may return early, having read nothing), and appends
// what each wrote to its `output`.
void WaitForWorkers(std::vector<WorkerProcess> *running);

// Waits for a worker whose output has ended and releases it. Returns its
// exit status; `abnormal` describes an abnormal end (a signal, an exception)
// or is left empty.
int EndWorker(WorkerProcess *worker, std::string *abnormal);

// Passes an interrupt on to the running workers: each stops after its
// current block and closes its outputs.
void InterruptWorkers(const std::vector<WorkerProcess> &running);

// In a worker process started by StartWorker on Windows: true, with the
// index of the log to convert. Always false on POSIX, where the worker is a
// fork of its parent.
bool IsWorkerProcess(std::size_t *log);
