// The simulated machine's state, shared by the files that implement the
// platform entry points. Everything here is guarded by Machine::mutex.
#pragma once

#include <windows.h>

#include <sim/machine.h>

#include "tools/common/wide_text.h"

#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct SimObject;
struct NetCfgObject;

// One OS thread as the simulation knows it. Never freed: a terminated thread
// is parked forever and its handle may be waited on at any time.
struct ThreadState {
    DWORD id = 0;
    uint64_t generation = 0;  // machine generation it was first seen in
    bool simThread = false;   // started by _beginthreadex
    bool ended = false;       // handle signalled
    bool terminated = false;  // ended by TerminateThread
    bool terminatePending = false;
    DWORD pendingExitCode = 0;
    DWORD exitCode = 0;
    int blockedWaits = 0;  // inside an interruptible wait right now
    uint64_t hungIn = 0;   // machine generation of the hang it is in; 0: none
};

// The kernel object behind a thread HANDLE.
struct ThreadHandle {
    ThreadState *thread;
};

struct Component {
    std::wstring id;
    GUID classGuid;
};

struct ScriptKey {
    Call call;
    int occurrence;
    bool operator<(const ScriptKey &o) const {
        return call != o.call ? call < o.call : occurrence < o.occurrence;
    }
};

struct InfCopy {
    std::wstring infPath;
    std::wstring mediaDir;
};

// What tests set on one file (file_api.cpp).
struct FileControl {
    bool held = false;  // open in another process
    DWORD heldShare = 0;
    bool readOnly = false;
};

struct Machine {
    std::mutex mutex;
    std::condition_variable changed;  // any state a waiter may wait for

    uint64_t generation = 1;
    std::string root;

    // Test-settable surroundings.
    std::optional<std::wstring> executablePath;
    std::wstring currentDirectory;
    std::optional<std::string> windowsDirectory;
    std::map<std::string, DWORD> failDeletes;  // key: lower-cased Windows path
    // Files held open and read-only files (key: lower-cased full Windows
    // path), and the file and listing handles open (file_api.cpp).
    std::map<std::string, FileControl> fileControls;
    std::set<void *> fileHandles;
    bool elevated = true;
    bool wow64 = false;
    bool stateRefused = false;  // OpenMachine refused the state file

    // Network configuration.
    std::vector<Component> components;
    NetCfgObject *lockConfig = nullptr;  // configuration object holding it
    ThreadState *lockThread = nullptr;   // thread that took it for lockConfig
    bool lockHeldByTest = false;         // HoldWriteLock
    std::wstring lockDescription;
    std::vector<DWORD> lockWaitLimits;

    // Scripts and observation.
    std::map<ScriptKey, Answer> scripts;
    std::map<Call, int> callCounts;
    std::vector<CallRecord> log;
    uint64_t hangRelease = 0;
    std::optional<DWORD> nextWait;
    std::vector<DWORD> waitLimits;
    std::vector<InfCopy> infCopies;

    // Objects and memory. Objects of earlier generations stay valid until
    // their last reference goes, but no longer count.
    std::set<SimObject *> objects;
    std::map<void *, uint64_t> taskMem;  // block -> generation

    // Threads.
    std::map<DWORD, ThreadState *> threads;  // every thread ever seen
    std::set<ThreadHandle *> handles;
    std::set<void *> tokenHandles;  // access tokens (kernel_objects.cpp)
    // The registry (registry.cpp): "<view> <lower-cased key>" -> value name
    // (lower-cased) -> DWORD data; and the key handles open.
    std::map<std::wstring, std::map<std::wstring, DWORD>> registry;
    std::set<void *> registryKeys;
    std::map<DWORD, int> runtimeInit;  // thread id -> CoInitialize count
    int threadsStarted = 0;
    int threadsTerminated = 0;
    DWORD nextThreadId = 0x1000;
};

// The one machine of the process. Never destroyed: detached and parked
// threads may still reach it while static destructors run at exit.
Machine &TheMachine();

using Lock = std::unique_lock<std::mutex>;

// The machine with its mutex held until the end of the scope: how every
// entry point and test control reaches the machine's state.
//     LockedMachine m;
//     m->components ...;  WaitLocked(m.lock(), ...);  SomethingLocked(*m);
class LockedMachine {
public:
    LockedMachine() : machine_(TheMachine()), lock_(machine_.mutex) {}
    LockedMachine(const LockedMachine &) = delete;
    LockedMachine &operator=(const LockedMachine &) = delete;

    Machine *operator->() const { return &machine_; }
    Machine &operator*() const { return machine_; }
    Lock &lock() { return lock_; }

private:
    Machine &machine_;
    Lock lock_;
};

// The write lock's owner thread was terminated while holding it: the next
// client takes it at once. Needs the lock.
inline bool AbandonedLockLocked(const Machine &m) {
    return m.lockConfig && m.lockThread && m.lockThread->terminated;
}
// Held by a test or by a live configuration object. Needs the lock.
inline bool WriteLockHeldLocked(const Machine &m) {
    return m.lockHeldByTest || (m.lockConfig && !AbandonedLockLocked(m));
}

// When a wait of `milliseconds` from now ends; none for INFINITE.
inline std::optional<std::chrono::steady_clock::time_point> DeadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) return std::nullopt;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

// The calling thread's record (created on first use). Needs the lock.
ThreadState *CurrentThreadLocked();
// Makes `state` the calling thread's record (a thread _beginthreadex started).
void SetCurrentThreadState(ThreadState *state);

// Every entry point starts here: ends the thread if it was terminated, logs
// the call, and honours a hang (returning once released). Returns the
// scripted answer, if any, that is not a hang.
std::optional<Answer> Enter(Call call, const std::wstring &detail);
// For entry points without a Call of their own: only the termination check.
void CheckTermination();

// With the lock held: parks the calling thread forever if a termination is
// pending or done. Never returns in that case.
void EndIfTerminatedLocked(Lock &lock, ThreadState *self);
// Waits on Machine::changed until `done()` or the deadline (none: no
// limit), ending the thread if it is terminated meanwhile. True when done.
template <typename Done>
bool WaitLocked(Lock &lock, ThreadState *self,
                std::optional<std::chrono::steady_clock::time_point> deadline, Done done);
// Marks a thread ended (and, for a termination, everything it held
// abandoned), and wakes every waiter.
void EndThreadLocked(ThreadState *thread, DWORD exitCode, bool terminated);
[[noreturn]] void ParkForever();

// Last error of the calling thread, without logging.
void SetLastErrorQuiet(DWORD code);

// Text helpers (wide text to and from UTF-8 come from the tools' common header).
using ndisfilter::text::Narrow;
using ndisfilter::text::Widen;
std::wstring GuidText(const GUID &guid);
bool ParseGuid(const std::string &text, GUID *guid);
bool EqualNoCase(const std::wstring &a, const std::wstring &b);
std::wstring LowerCase(std::wstring text);

// Paths: a Windows path made absolute against the current directory (no
// "." or "..", '\' separators, no trailing '\' except at a drive root), and
// the real file behind it. Need the lock.
std::wstring FullWindowsPathLocked(const std::wstring &path);
std::string HostPathLocked(const std::wstring &windowsPath);
bool MakeHostDirectories(const std::string &hostPath);

// Files (file_api.cpp), with the lock held. Deleting honours FailDelete,
// a file held open without FILE_SHARE_DELETE and the read-only attribute;
// answers ERROR_SUCCESS or the error. The control check answers the error
// that opening (for reading) or deleting a full Windows path meets, if any.
DWORD DeleteWindowsFileLocked(const std::wstring &fullPath);
DWORD FileControlErrorLocked(const std::wstring &fullPath, bool forDelete);
// Closes a file or listing handle; false when `handle` is not one.
bool CloseFileHandleLocked(HANDLE handle);

// --- How an entry point opens and fails ---------------------------------------

// A failure as an entry point reports it: `error` becomes the calling
// thread's last error, `result` the answer.
template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastErrorQuiet(error);
    return result;
}

// Enter, with a scripted failure reported: its error becomes the last error
// and the answer is true, the call then answering its failure value.
inline bool EnterFails(Call call, const std::wstring &detail) {
    const std::optional<Answer> answer = Enter(call, detail);
    if (answer) SetLastErrorQuiet(answer->win32Error);
    return answer.has_value();
}

// For a call that answers an HRESULT (component runtime, network
// configuration): whether its scripted answer is a failure code, which the
// call then answers; and its answer when the work answered `hr`, a scripted
// success code replacing S_OK.
inline bool Failed(const std::optional<Answer> &answer) {
    return answer && FAILED(answer->hresult);
}
inline HRESULT Finish(const std::optional<Answer> &answer, HRESULT hr) {
    return answer && hr == S_OK ? answer->hresult : hr;
}

// A path argument as wide text, "(null)" for none: how the call log shows it.
inline std::wstring PathText(const wchar_t *path) { return path ? path : L"(null)"; }
inline std::wstring PathText(const char *path) { return path ? Widen(path) : L"(null)"; }

// The opening of a call that takes one Windows path: Enter with `detail`,
// a scripted failure reported; a null or empty path refused with
// `emptyPathError`; then, with the machine locked, the answer is
// body(machine, full, host): the path made full, and the host file behind it.
// Each failure sets the last error and answers `failed`.
template <typename Char, typename Result, typename Body>
Result OnWindowsPath(Call call, const std::wstring &detail, const Char *path, DWORD emptyPathError,
                     Result failed, Body body) {
    if (EnterFails(call, detail)) return failed;
    if (!path || !*path) return Fail(emptyPathError, failed);
    LockedMachine m;
    const std::wstring full = FullWindowsPathLocked(PathText(path));
    return body(*m, full, HostPathLocked(full));
}

// Component runtime memory, with the lock held.
void *TaskMemAllocLocked(size_t bytes);
LPWSTR TaskMemStringLocked(const std::wstring &text);

// Closes a token handle: false when `handle` is not one.
bool CloseTokenHandleLocked(HANDLE handle);

// Network configuration objects (netcfg.cpp).
HRESULT CreateNetCfgLocked(REFIID iid, void **object);
int LiveReferencesLocked(std::optional<Iface> iface, bool abandonedOnly);

// --- WaitLocked --------------------------------------------------------------

template <typename Done>
bool WaitLocked(Lock &lock, ThreadState *self,
                std::optional<std::chrono::steady_clock::time_point> deadline, Done done) {
    Machine &m = TheMachine();
    EndIfTerminatedLocked(lock, self);
    ++self->blockedWaits;
    bool result = true;
    while (!done()) {
        if (self->ended || self->terminatePending) break;
        if (!deadline) {
            m.changed.wait(lock);
        } else if (m.changed.wait_until(lock, *deadline) == std::cv_status::timeout) {
            result = done();
            break;
        }
    }
    --self->blockedWaits;
    EndIfTerminatedLocked(lock, self);
    return result;
}

}  // namespace sim
