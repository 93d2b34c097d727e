// Taking INdisFilterHelper2 from a loaded ndisfilter module the way any host
// does: through its DllGetClassObject export. Header-only, for the hosts
// (ndisfilterctl and the custom actions). The
// including program defines IID_INdisFilterHelper2 once (initguid.h).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <ndisfilter.h>

#include <string>

#include "tools/common/netcfg_query.h"

namespace ndisfilter::tools {

// One reference to the module's INdisFilterHelper2, or null with the reason
// in `error`; `path` names the module in it. The module stays loaded.
inline INdisFilterHelper2 *TakeHelperObject(HMODULE module, const std::wstring &path,
                                            std::wstring &error) {
    // Through a plain function pointer type first: FARPROC's own signature
    // has nothing to do with the export's.
    const auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject) {
        error = path + L" does not export DllGetClassObject";
        return nullptr;
    }
    void *object = nullptr;
    const HRESULT hr = getClassObject(GUID{}, IID_INdisFilterHelper2, &object);
    if (hr != S_OK || !object) {
        error = L"DllGetClassObject of " + path + L" refused INdisFilterHelper2 (" +
                HexCode(static_cast<DWORD>(hr)) + L")";
        return nullptr;
    }
    return static_cast<INdisFilterHelper2 *>(object);
}

}  // namespace ndisfilter::tools
