// Slots 5 to 8 of the component object: install and uninstall on a worker
// thread under a time limit, and the retry policy built on them. Each takes
// the object's first interface, whose Install and Uninstall (slots 3 and 4)
// the worker calls.
#pragma once

#include "ndisfilter.h"

namespace ndisfilter {

// Slot 5: Install on a worker thread, waiting up to timeoutMs (INFINITE: no
// limit). A worker still running then is terminated and *timedOut set.
BOOL InstallWithTimeout(INdisFilterHelper *filter, LPCWSTR infPath, DWORD timeoutMs, BOOL *timedOut,
                        BOOL *restartRequired, BOOL *cancelled);
// Slot 6: the same for Uninstall.
BOOL UninstallWithTimeout(INdisFilterHelper *filter, DWORD timeoutMs, BOOL *timedOut,
                          BOOL *restartRequired);
// Slot 7: InstallWithTimeout with the retry limit; after a timeout, an
// uninstall and one more install attempt.
BOOL InstallWithRetry(INdisFilterHelper *filter, LPCWSTR infPath, BOOL *restartRequired,
                      BOOL *cancelled);
// Slot 8: UninstallWithTimeout with the retry limit, once more after a timeout.
BOOL UninstallWithRetry(INdisFilterHelper *filter, BOOL *restartRequired);

}  // namespace ndisfilter
