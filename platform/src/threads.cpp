// Threads: real detached pthreads behind kernel-object handles, waits on
// them, and forced termination.
//
// Termination cannot stop a host thread from outside, so it takes effect
// where the simulation has control: at once for a thread blocked in a
// platform call (hung, waiting for the write lock, for a handle or in
// Sleep), otherwise at the thread's next platform call. Either way the
// thread never runs library code again: it parks in a sleep loop, and
// everything it held stays as it was (abandoned).
#include "machine_state.h"

#include <process.h>

#include <errno.h>
#include <limits.h>
#include <pthread.h>

using namespace sim;

namespace {

struct StartRecord {
    ThreadState *thread;
    _beginthreadex_proc_type start;
    void *argument;
};

// The code the thread ends with: its start routine's answer, or what it
// gave _endthreadex.
thread_local unsigned t_exitCode = 0;

// Ends the thread when ThreadMain's frame goes: on return, or while
// _endthreadex's pthread_exit unwinds it, which is after every frame above it
// (the library's) has been unwound. Only then may a waiting host see the
// handle signalled and unload the library, as on Windows, where the handle is
// signalled once the thread is gone.
struct EndWhenGone {
    ThreadState *thread;
    ~EndWhenGone() {
        LockedMachine m;
        EndIfTerminatedLocked(m.lock(), thread);
        EndThreadLocked(thread, t_exitCode, false);
    }
};

void *ThreadMain(void *raw) {
    StartRecord record = *static_cast<StartRecord *>(raw);
    delete static_cast<StartRecord *>(raw);
    SetCurrentThreadState(record.thread);
    EndWhenGone end{record.thread};
    CheckTermination();  // terminated before it ever ran
    t_exitCode = record.start(record.argument);
    return nullptr;
}

// The thread behind a handle, or null for anything that is not a live
// handle. Needs the lock.
ThreadState *ThreadOfLocked(HANDLE handle) {
    auto *object = static_cast<ThreadHandle *>(handle);
    if (!TheMachine().handles.count(object)) return nullptr;
    return object->thread;
}

std::wstring Number(DWORD value) {
    wchar_t text[16];
    swprintf(text, 16, L"%u", value);
    return text;
}

}  // namespace

extern "C" uintptr_t _beginthreadex(void *, unsigned stackSize, _beginthreadex_proc_type start,
                                    void *argument, unsigned, unsigned *threadId) {
    if (EnterFails(Call::BeginThread, L"")) {
        errno = EAGAIN;
        return 0;
    }
    if (!start) {
        errno = EINVAL;
        return 0;
    }
    LockedMachine m;
    auto *thread = new ThreadState;
    thread->id = m->nextThreadId;
    m->nextThreadId += 4;
    thread->generation = m->generation;
    thread->simThread = true;
    auto *record = new StartRecord{thread, start, argument};

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize)
        pthread_attr_setstacksize(&attributes, std::max<size_t>(stackSize, PTHREAD_STACK_MIN));
    pthread_t os;
    const int error = pthread_create(&os, &attributes, ThreadMain, record);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete record;
        delete thread;
        errno = error;
        return Fail<uintptr_t>(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    m->threads[thread->id] = thread;
    ++m->threadsStarted;
    auto *handle = new ThreadHandle{thread};
    m->handles.insert(handle);
    if (threadId) *threadId = thread->id;
    return reinterpret_cast<uintptr_t>(handle);
}

extern "C" void _endthreadex(unsigned exitCode) {
    Enter(Call::EndThread, Number(exitCode));
    CheckTermination();
    // Ended by ThreadMain's EndWhenGone once the unwind has left the caller.
    t_exitCode = exitCode;
    pthread_exit(nullptr);
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const std::optional<Answer> answer = Enter(Call::WaitForSingleObject, Number(milliseconds));
    LockedMachine m;
    m->waitLimits.push_back(milliseconds);
    if (m->nextWait) {
        const DWORD result = *m->nextWait;
        m->nextWait.reset();
        return result;
    }
    if (answer) return Fail<DWORD>(answer->win32Error, WAIT_FAILED);
    ThreadState *target = ThreadOfLocked(handle);
    if (!target) return Fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
    return WaitLocked(m.lock(), CurrentThreadLocked(), DeadlineAfter(milliseconds),
                      [&] { return target->ended; })
               ? WAIT_OBJECT_0
               : WAIT_TIMEOUT;
}

extern "C" BOOL WINAPI TerminateThread(HANDLE handle, DWORD exitCode) {
    if (EnterFails(Call::TerminateThread, Number(exitCode))) return FALSE;
    LockedMachine m;
    ThreadState *target = ThreadOfLocked(handle);
    if (!target) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (target->ended) return TRUE;
    target->terminatePending = true;
    target->pendingExitCode = exitCode;
    // Blocked in a platform call: it ends now and parks when it wakes. The
    // calling thread itself ends here too.
    if (target->blockedWaits > 0 || target == CurrentThreadLocked())
        EndThreadLocked(target, exitCode, true);
    m->changed.notify_all();
    if (target == CurrentThreadLocked()) EndIfTerminatedLocked(m.lock(), target);
    return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    CheckTermination();
    LockedMachine m;
    ThreadState *target = ThreadOfLocked(handle);
    if (!target) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!exitCode) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    *exitCode = target->ended ? target->exitCode : STILL_ACTIVE;
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
    if (EnterFails(Call::CloseHandle, L"")) return FALSE;
    LockedMachine m;
    if (CloseFileHandleLocked(handle)) return TRUE;
    if (CloseTokenHandleLocked(handle)) return TRUE;
    auto *object = static_cast<ThreadHandle *>(handle);
    if (!m->handles.erase(object)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    delete object;  // the thread's record stays: other handles, exit code
    return TRUE;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
    CheckTermination();
    LockedMachine m;
    return CurrentThreadLocked()->id;
}

extern "C" void WINAPI Sleep(DWORD milliseconds) {
    LockedMachine m;
    // Nothing ends the wait early but a termination.
    WaitLocked(m.lock(), CurrentThreadLocked(), DeadlineAfter(milliseconds), [] { return false; });
}
