// A second thread beside the conversion's, and the lock and wake-up signal
// the two share, on every platform the library is built for: POSIX threads
// where there are, the Win32 primitives on Windows (the mingw-w64 win32
// threading flavour has no std::thread or std::mutex).
//
// The records are plain storage, large enough for every platform's object,
// so that including this header brings in no system header; a record that
// is zeroed is "not started" / "not made".
#pragma once

struct WorkerThread {
    alignas(8) unsigned char handle[16];
    void (*run)(void *);
    void *argument;
    bool started;
};

struct WorkerLock {
    alignas(8) unsigned char storage[64];
    bool made;
};

struct WorkerSignal {
    alignas(8) unsigned char storage[64];
    bool made;
};

// Starts run(argument) on a new thread; false when the system refuses
// (the caller then does the work itself).
bool StartWorkerThread(WorkerThread *thread, void (*run)(void *), void *argument);
// Waits for the thread to end; nothing when it was never started.
void JoinWorkerThread(WorkerThread *thread);

bool MakeWorkerLock(WorkerLock *lock);
void FreeWorkerLock(WorkerLock *lock);
void LockWorker(WorkerLock *lock);
void UnlockWorker(WorkerLock *lock);

bool MakeWorkerSignal(WorkerSignal *signal);
void FreeWorkerSignal(WorkerSignal *signal);
// Releases the lock (held by the caller), sleeps until woken (or
// spuriously), and takes the lock again.
void WaitWorkerSignal(WorkerSignal *signal, WorkerLock *lock);
// Wakes every thread waiting on the signal.
void WakeWorkerSignal(WorkerSignal *signal);

// A moment's pause in a short wait loop (the processor's spin-wait hint).
void PauseWorker();
