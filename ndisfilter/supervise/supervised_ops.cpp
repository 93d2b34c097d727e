// Slots 5 to 8: install and uninstall on a worker thread under a time limit,
// and the retry policy built on them.
#include "supervised_ops.h"

#include <windows.h>

#include <process.h>

#include "setup/product.h"

namespace ndisfilter {
namespace {

// One install or uninstall, owned by the waiting call (RunSupervised's frame).
// The worker reads the inputs and writes only `result`; the flags are the
// caller's own, written by Install/Uninstall.
enum class Operation { kInstall, kUninstall };

struct WorkItem {
    Operation operation;
    INdisFilterHelper *filter;
    LPCWSTR infPath;
    BOOL *restartRequired;
    BOOL *cancelled;
    BOOL result = FALSE;
};

unsigned WINAPI Worker(void *argument) {
    if (auto *item = static_cast<WorkItem *>(argument))
        item->result =
            item->operation == Operation::kInstall
                ? item->filter->Install(item->infPath, item->restartRequired, item->cancelled)
                : item->filter->Uninstall(item->restartRequired);
    _endthreadex(0);
}

// Runs the item on a new thread and waits up to timeoutMs (INFINITE: no
// limit). The item's result when the worker ended by itself; otherwise the
// worker is terminated, *timedOut set, and the answer is FALSE.
BOOL RunSupervised(WorkItem item, DWORD timeoutMs, BOOL *timedOut) {
    *timedOut = FALSE;
    const auto thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Worker, &item, 0, nullptr));
    if (!thread) return FALSE;
    const BOOL finished = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    if (!finished) {
        TerminateThread(thread, 1);
        // Termination is asynchronous: wait until the worker is gone, so it
        // can no longer write the work item or the caller's flags, nor use
        // the object or the INF path, once this call has returned.
        WaitForSingleObject(thread, INFINITE);
        *timedOut = TRUE;
    }
    CloseHandle(thread);
    return finished ? item.result : FALSE;
}

}  // namespace

BOOL InstallWithTimeout(INdisFilterHelper *filter, LPCWSTR infPath, DWORD timeoutMs, BOOL *timedOut,
                        BOOL *restartRequired, BOOL *cancelled) {
    if (!timedOut || !restartRequired || !cancelled) return FALSE;
    const WorkItem item = {Operation::kInstall, filter, infPath, restartRequired, cancelled};
    return RunSupervised(item, timeoutMs, timedOut);
}

BOOL UninstallWithTimeout(INdisFilterHelper *filter, DWORD timeoutMs, BOOL *timedOut,
                          BOOL *restartRequired) {
    if (!timedOut || !restartRequired) return FALSE;
    const WorkItem item = {Operation::kUninstall, filter, nullptr, restartRequired, nullptr};
    return RunSupervised(item, timeoutMs, timedOut);
}

BOOL InstallWithRetry(INdisFilterHelper *filter, LPCWSTR infPath, BOOL *restartRequired,
                      BOOL *cancelled) {
    if (!restartRequired || !cancelled) return FALSE;
    BOOL timedOut = FALSE;
    if (InstallWithTimeout(filter, infPath, kRetryTimeoutMs, &timedOut, restartRequired, cancelled))
        return TRUE;
    if (!timedOut) return FALSE;  // only a timeout is worth another attempt
    UninstallWithTimeout(filter, kRetryTimeoutMs, &timedOut, restartRequired);
    return InstallWithTimeout(filter, infPath, kRetryTimeoutMs, &timedOut, restartRequired,
                              cancelled);
}

BOOL UninstallWithRetry(INdisFilterHelper *filter, BOOL *restartRequired) {
    if (!restartRequired) return FALSE;
    BOOL timedOut = FALSE;
    if (UninstallWithTimeout(filter, kRetryTimeoutMs, &timedOut, restartRequired)) return TRUE;
    if (!timedOut) return FALSE;
    return UninstallWithTimeout(filter, kRetryTimeoutMs, &timedOut, restartRequired);
}

}  // namespace ndisfilter
