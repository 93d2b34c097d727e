#include "install.h"

#include <stdlib.h>
#include <wchar.h>

#include "bounded_text.h"
#include "com_ref.h"
#include "locked_netcfg.h"
#include "operation_result.h"
#include "scoped.h"

namespace ndisfilter {
namespace {

constexpr size_t kDriveCapacity = 3;
constexpr size_t kDirCapacity = 256;

// The INF beside the host executable: its directory and the full path, both
// whole or not at all (a truncated path would name a file nobody chose).
HRESULT DefaultInfPath(WCHAR (&path)[MAX_PATH], WCHAR (&directory)[MAX_PATH]) {
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return E_FAIL;
    WCHAR *lastSlash = wcsrchr(path, L'\\');
    if (!lastSlash) return E_FAIL;
    *lastSlash = L'\0';
    HRESULT hr = BoundedCopyW(directory, MAX_PATH, path);
    if (hr == S_OK)
        hr = BoundedCopyW(lastSlash, MAX_PATH - static_cast<size_t>(lastSlash - path),
                          kDefaultInfPathSuffix);
    return hr;
}

}  // namespace

HRESULT SourceMediaDirectory(LPCWSTR infPath, WCHAR (&mediaDir)[kSourceMediaCapacity]) {
    // _wsplitpath_s treats a directory that does not fit as an invalid
    // parameter; refuse it here instead.
    const WCHAR *afterDrive = (infPath[0] != L'\0' && infPath[1] == L':') ? infPath + 2 : infPath;
    size_t dirLength = 0;
    for (size_t i = 0; afterDrive[i] != L'\0'; ++i)
        if (afterDrive[i] == L'\\' || afterDrive[i] == L'/') dirLength = i + 1;
    if (dirLength >= kDirCapacity) return E_INVALIDARG;

    WCHAR drive[kDriveCapacity];
    WCHAR dir[kDirCapacity];
    const errno_t split =  // the file name and extension are not needed
        _wsplitpath_s(infPath, drive, kDriveCapacity, dir, kDirCapacity, nullptr, 0, nullptr, 0);
    if (split != 0) return E_INVALIDARG;
    BoundedCopyW(mediaDir, kSourceMediaCapacity, drive);
    const size_t used = wcslen(mediaDir);
    if (used < kSourceMediaCapacity)
        BoundedCopyW(mediaDir + used, kSourceMediaCapacity - used, dir);
    return S_OK;
}

HRESULT AddNetService(INetCfg *config) {
    OBO_TOKEN token = UserOboToken();
    ComRef<INetCfgClassSetup> classSetup;
    HRESULT hr = config->QueryNetCfgClass(&GUID_DEVCLASS_NETSERVICE, IID_INetCfgClassSetup,
                                          classSetup.PutVoid());
    if (hr != S_OK) return hr;
    ComRef<INetCfgComponent> component;  // not used, only released
    return classSetup->Install(kComponentId, &token, 0, 0, nullptr, nullptr, component.Put());
}

HRESULT InstallComponent(INetCfg *config, LPCWSTR infPath, LPCWSTR sourceMediaDir) {
    if (infPath) {
        if (!SetupCopyOEMInfW(infPath, sourceMediaDir, SPOST_PATH, 0, nullptr, 0, nullptr,
                              nullptr)) {
            // A zero last-error code lets the install go on as if copied.
            const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
            if (hr != S_OK) return hr;
        }
    }
    const HRESULT hr = AddNetService(config);
    if (hr != S_OK) return hr;
    return config->Apply();
}

HRESULT InstallFromInf(LPCWSTR infPath, LPCWSTR sourceMediaDir) {
    LockedNetConfig config;
    HRESULT hr = config.Open();
    if (hr == S_OK) {
        // NETCFG_S_REBOOT here, from the component install or the first
        // Apply, still holds after a second Apply that answers S_OK.
        hr = InstallComponent(config.Get(), infPath, sourceMediaDir);
        if (hr == S_OK || hr == NETCFG_S_REBOOT) hr = AfterStep(hr, config->Apply());
    }
    return hr;  // the configuration closes, then the holder's description goes
}

BOOL Install(LPCWSTR infPath, BOOL *restartRequired, BOOL *cancelled) {
    if (!restartRequired || !cancelled) return FALSE;
    *restartRequired = FALSE;
    *cancelled = FALSE;

    WCHAR path[MAX_PATH];
    WCHAR exeDirectory[MAX_PATH];
    WCHAR sourceMediaDir[kSourceMediaCapacity];
    if (infPath) {
        if (BoundedCopyW(path, MAX_PATH, infPath) != S_OK) return FALSE;
    } else if (DefaultInfPath(path, exeDirectory) != S_OK) {
        return FALSE;
    }
    if (SourceMediaDirectory(path, sourceMediaDir) != S_OK) return FALSE;

    CurrentDirectoryScope directory;  // back where it was once the install is done
    if (!infPath && !directory.Enter(exeDirectory)) return FALSE;
    return OperationResult(InstallFromInf(path, sourceMediaDir), restartRequired, cancelled);
}

}  // namespace ndisfilter
