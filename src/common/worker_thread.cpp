// The platform side of common/worker_thread.h.
#include "common/worker_thread.h"

#include <new>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#include <immintrin.h>
#endif

namespace {

#if defined(_WIN32)
using ThreadHandle = HANDLE;
using LockObject = SRWLOCK;
using SignalObject = CONDITION_VARIABLE;
#else
using ThreadHandle = pthread_t;
using LockObject = pthread_mutex_t;
using SignalObject = pthread_cond_t;
#endif

static_assert(sizeof(ThreadHandle) <= sizeof(WorkerThread::handle) && alignof(ThreadHandle) <= 8,
              "a thread handle fits its record");
static_assert(sizeof(LockObject) <= sizeof(WorkerLock::storage) && alignof(LockObject) <= 8, "a lock fits its record");
static_assert(sizeof(SignalObject) <= sizeof(WorkerSignal::storage) && alignof(SignalObject) <= 8,
              "a signal fits its record");

ThreadHandle *HandleOf(WorkerThread *t) { return std::launder(reinterpret_cast<ThreadHandle *>(t->handle)); }
LockObject *LockOf(WorkerLock *l) { return std::launder(reinterpret_cast<LockObject *>(l->storage)); }
SignalObject *SignalOf(WorkerSignal *s) { return std::launder(reinterpret_cast<SignalObject *>(s->storage)); }

#if defined(_WIN32)
DWORD WINAPI RunThread(LPVOID argument) {
    WorkerThread *t = static_cast<WorkerThread *>(argument);
    t->run(t->argument);
    return 0;
}
#else
void *RunThread(void *argument) {
    WorkerThread *t = static_cast<WorkerThread *>(argument);
    t->run(t->argument);
    return nullptr;
}
#endif

} // namespace

bool StartWorkerThread(WorkerThread *thread, void (*run)(void *), void *argument) {
    thread->started = false;
    thread->run = run;
    thread->argument = argument;
#if defined(_WIN32)
    HANDLE h = CreateThread(nullptr, 0, RunThread, thread, 0, nullptr);
    if (h == nullptr) return false;
    new (thread->handle) ThreadHandle(h);
#else
    pthread_t id;
    if (pthread_create(&id, nullptr, RunThread, thread) != 0) return false;
    new (thread->handle) ThreadHandle(id);
#endif
    thread->started = true;
    return true;
}

void JoinWorkerThread(WorkerThread *thread) {
    if (!thread->started) return;
#if defined(_WIN32)
    WaitForSingleObject(*HandleOf(thread), INFINITE);
    CloseHandle(*HandleOf(thread));
#else
    pthread_join(*HandleOf(thread), nullptr);
#endif
    thread->started = false;
}

bool MakeWorkerLock(WorkerLock *lock) {
#if defined(_WIN32)
    InitializeSRWLock(new (lock->storage) LockObject);
#else
    if (pthread_mutex_init(new (lock->storage) LockObject, nullptr) != 0) return false;
#endif
    lock->made = true;
    return true;
}

void FreeWorkerLock(WorkerLock *lock) {
    if (!lock->made) return;
#if !defined(_WIN32)
    pthread_mutex_destroy(LockOf(lock));
#endif
    lock->made = false;
}

void LockWorker(WorkerLock *lock) {
#if defined(_WIN32)
    AcquireSRWLockExclusive(LockOf(lock));
#else
    pthread_mutex_lock(LockOf(lock));
#endif
}

void UnlockWorker(WorkerLock *lock) {
#if defined(_WIN32)
    ReleaseSRWLockExclusive(LockOf(lock));
#else
    pthread_mutex_unlock(LockOf(lock));
#endif
}

bool MakeWorkerSignal(WorkerSignal *signal) {
#if defined(_WIN32)
    InitializeConditionVariable(new (signal->storage) SignalObject);
#else
    if (pthread_cond_init(new (signal->storage) SignalObject, nullptr) != 0) return false;
#endif
    signal->made = true;
    return true;
}

void FreeWorkerSignal(WorkerSignal *signal) {
    if (!signal->made) return;
#if !defined(_WIN32)
    pthread_cond_destroy(SignalOf(signal));
#endif
    signal->made = false;
}

void WaitWorkerSignal(WorkerSignal *signal, WorkerLock *lock) {
#if defined(_WIN32)
    SleepConditionVariableSRW(SignalOf(signal), LockOf(lock), INFINITE, 0);
#else
    pthread_cond_wait(SignalOf(signal), LockOf(lock));
#endif
}

void WakeWorkerSignal(WorkerSignal *signal) {
#if defined(_WIN32)
    WakeAllConditionVariable(SignalOf(signal));
#else
    pthread_cond_broadcast(SignalOf(signal));
#endif
}

void PauseWorker() {
#if defined(_WIN32)
    YieldProcessor();
#elif defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}
