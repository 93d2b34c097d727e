// The edge of slots 3 and 4: an operation's HRESULT turned into the BOOL and
// flags a host reads.
#pragma once

#include "netcfg_platform.h"

namespace ndisfilter {

// HRESULT of ERROR_CANCELLED.
constexpr HRESULT kCancelled = static_cast<HRESULT>(0x800704C7L);

// TRUE for S_OK and NETCFG_S_REBOOT, the latter with *restartRequired set;
// kCancelled sets *cancelled when the operation has that flag (non-null).
// Flags are only ever set, never cleared.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the flags in the slots' order
inline BOOL OperationResult(HRESULT hr, BOOL *restartRequired, BOOL *cancelled) {
    if (hr == NETCFG_S_REBOOT) *restartRequired = TRUE;
    if (hr == kCancelled && cancelled) *cancelled = TRUE;
    return hr == S_OK || hr == NETCFG_S_REBOOT;
}

}  // namespace ndisfilter
