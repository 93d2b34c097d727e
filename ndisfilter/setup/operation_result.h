// The edge of slots 3 and 4: an operation's HRESULT turned into the BOOL and
// flags a host reads.
#pragma once

#include "netcfg_platform.h"

namespace ndisfilter {

// HRESULT of ERROR_CANCELLED.
constexpr HRESULT kCancelled = static_cast<HRESULT>(0x800704C7L);

// The answer of an operation so far once one more step ran after the steps
// that answered `earlier`: the step's own answer, except that a restart one
// step asked for stays asked for. NETCFG_S_REBOOT from the class install,
// the removal or any Apply means "finished once the machine restarts" (the
// INetCfgClassSetup::Install, ::DeInstall and INetCfg::Apply pages); a later
// S_OK does not undo that.
inline HRESULT AfterStep(HRESULT earlier, HRESULT step) {
    return step == S_OK && earlier == NETCFG_S_REBOOT ? NETCFG_S_REBOOT : step;
}

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
