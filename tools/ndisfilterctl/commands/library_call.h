// Running one operation of the library the way any host does: load it by its
// full path, take INdisFilterHelper2 from its DllGetClassObject, call, release,
// unload.
#pragma once

#include <windows.h>

#include <ndisfilter.h>

#include <string>

#include "records.h"

namespace ndisfilterctl {

// The library loaded and one INdisFilterHelper2 reference obtained from its
// DllGetClassObject; the destructor releases the reference, then unloads.
class LoadedHelper {
public:
    LoadedHelper() = default;
    LoadedHelper(const LoadedHelper &) = delete;
    LoadedHelper &operator=(const LoadedHelper &) = delete;
    LoadedHelper(LoadedHelper &&) = delete;
    LoadedHelper &operator=(LoadedHelper &&) = delete;
    ~LoadedHelper();

    bool Load(const std::wstring &libraryPath, std::wstring &error);
    INdisFilterHelper2 *Get() const { return m_helper; }

private:
    HMODULE m_module = nullptr;
    INdisFilterHelper2 *m_helper = nullptr;
};

// Calls the operation's slot (3/4, 5/6 with a limit, 7/8 with retry).
Outcome CallOperation(INdisFilterHelper2 *helper, const Operation &operation);

// Load, call, release, unload.
Outcome RunOperation(const std::wstring &libraryPath, const Operation &operation);

// The exit status the library's answer makes.
ExitStatus StatusOf(const Outcome &outcome);

}  // namespace ndisfilterctl
