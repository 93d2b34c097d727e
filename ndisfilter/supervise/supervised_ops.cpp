// Slots 5 to 8: install and uninstall on a worker thread under a time limit,
// and the retry policy built on them.
#include <windows.h>

#include <process.h>

#include "module/cndisfilter.h"
#include "setup/product.h"

namespace {

// Each work item belongs to the waiting call. The worker reads its inputs and
// writes only `result`; the flags are the caller's own, written by
// Install/Uninstall.
struct InstallWorkItem {
    LPCWSTR infPath;
    BOOL *restartRequired;
    BOOL *cancelled;
    INdisFilterHelper *filter;
    BOOL result;
};

struct UninstallWorkItem {
    BOOL *restartRequired;
    INdisFilterHelper *filter;
    BOOL result;
};


unsigned WINAPI InstallWorker(void *argument) {
    if (auto *item = static_cast<InstallWorkItem *>(argument))
        item->result = item->filter->Install(item->infPath, item->restartRequired, item->cancelled);
    _endthreadex(0);
}

unsigned WINAPI UninstallWorker(void *argument) {
    if (auto *item = static_cast<UninstallWorkItem *>(argument))
        item->result = item->filter->Uninstall(item->restartRequired);
    _endthreadex(0);
}

// Runs `worker` on a new thread and waits up to timeoutMs (INFINITE: no
// limit). TRUE when the worker ended by itself; otherwise it is terminated
// and *timedOut set.
BOOL RunWorker(_beginthreadex_proc_type worker, void *item, DWORD timeoutMs, BOOL *timedOut) {
    const auto thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, worker, item, 0, nullptr));
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
    return finished;
}

}  // namespace

INdisFilterHelper *CNdisFilterSupervisedOps::FirstInterface() {
    return static_cast<CNdisFilter *>(this);
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::InstallWithTimeout(LPCWSTR infPath,
                                                                    DWORD timeoutMs, BOOL *timedOut,
                                                                    BOOL *restartRequired,
                                                                    BOOL *cancelled) {
    if (!timedOut || !restartRequired || !cancelled) return FALSE;
    InstallWorkItem item = {infPath, restartRequired, cancelled, FirstInterface(), FALSE};
    *timedOut = FALSE;
    if (!RunWorker(InstallWorker, &item, timeoutMs, timedOut)) return FALSE;
    return item.result;
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::UninstallWithTimeout(DWORD timeoutMs,
                                                                      BOOL *timedOut,
                                                                      BOOL *restartRequired) {
    if (!timedOut || !restartRequired) return FALSE;
    UninstallWorkItem item = {restartRequired, FirstInterface(), FALSE};
    *timedOut = FALSE;
    if (!RunWorker(UninstallWorker, &item, timeoutMs, timedOut)) return FALSE;
    return item.result;
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::InstallWithRetry(LPCWSTR infPath,
                                                                  BOOL *restartRequired,
                                                                  BOOL *cancelled) {
    if (!restartRequired || !cancelled) return FALSE;
    INdisFilterHelper2 *self = this;
    BOOL timedOut = FALSE;
    if (self->InstallWithTimeout(infPath, ndisfilter::kRetryTimeoutMs, &timedOut, restartRequired, cancelled))
        return TRUE;
    if (!timedOut) return FALSE;  // only a timeout is worth another attempt
    self->UninstallWithTimeout(ndisfilter::kRetryTimeoutMs, &timedOut, restartRequired);
    return self->InstallWithTimeout(infPath, ndisfilter::kRetryTimeoutMs, &timedOut, restartRequired, cancelled);
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::UninstallWithRetry(BOOL *restartRequired) {
    if (!restartRequired) return FALSE;
    INdisFilterHelper2 *self = this;
    BOOL timedOut = FALSE;
    if (self->UninstallWithTimeout(ndisfilter::kRetryTimeoutMs, &timedOut, restartRequired)) return TRUE;
    if (!timedOut) return FALSE;
    return self->UninstallWithTimeout(ndisfilter::kRetryTimeoutMs, &timedOut, restartRequired);
}
