// Installing the network service component from its INF.
#pragma once

#include "netcfg_platform.h"

namespace ndisfilter {

constexpr size_t kSourceMediaCapacity = 259;

// Slot 3: resolves the INF (the caller's path, or DorvaneV.inf beside the host
// executable with that directory current meanwhile), installs and applies.
// TRUE on success; *restartRequired / *cancelled report the outcome.
BOOL Install(LPCWSTR infPath, BOOL *restartRequired, BOOL *cancelled);

// One complete install inside its own LockedNetConfig.
HRESULT InstallFromInf(LPCWSTR infPath, LPCWSTR sourceMediaDir);
// INF copy (when infPath is given), component install, first Apply; a
// component install that answered NETCFG_S_REBOOT is answered as is, unapplied.
HRESULT InstallComponent(INetCfg *config, LPCWSTR infPath, LPCWSTR sourceMediaDir);
// The class-setup install of the component id.
HRESULT AddNetService(INetCfg *config);

// The drive and directory of infPath, as the INF copy's source media.
// E_INVALIDARG when the directory part does not fit the split buffer.
HRESULT SourceMediaDirectory(LPCWSTR infPath, WCHAR (&mediaDir)[kSourceMediaCapacity]);

}  // namespace ndisfilter
