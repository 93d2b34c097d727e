// Module loading over the host's dynamic loader. A path with a drive letter
// is a Windows path on the simulated machine; anything else is taken as a
// host path, so that a host program can load the library it was built with.
#include "machine_state.h"

#include <dlfcn.h>

using namespace sim;

extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR path) {
    CheckTermination();
    if (!path || !*path) {
        SetLastErrorQuiet(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string host;
    const std::wstring text = path;
    if (text.size() >= 2 && text[1] == L':') {
        LockedMachine m;
        host = HostPathLocked(text);
    } else {
        host = Narrow(text);
        for (char &c : host)
            if (c == '\\') c = '/';
    }
    void *module = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) SetLastErrorQuiet(ERROR_MOD_NOT_FOUND);
    return static_cast<HMODULE>(module);
}

// LoadLibraryExW (learn.microsoft.com, "LoadLibraryExW function"): the
// search-path flags change where imports are looked for, which the host's
// loader decides; a reserved handle other than null is refused.
extern "C" HMODULE WINAPI LoadLibraryExW(LPCWSTR path, HANDLE reserved, DWORD) {
    if (reserved) {
        CheckTermination();
        SetLastErrorQuiet(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryW(path);
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    CheckTermination();
    // Ordinals (a pointer below 64K) are a PE notion the host cannot serve.
    if (!module || reinterpret_cast<uintptr_t>(name) < 0x10000) {
        SetLastErrorQuiet(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void *symbol = dlsym(module, name);
    if (!symbol) {
        SetLastErrorQuiet(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE module) {
    CheckTermination();
    if (!module || dlclose(module) != 0) {
        SetLastErrorQuiet(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
