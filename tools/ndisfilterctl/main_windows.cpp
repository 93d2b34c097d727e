// ndisfilterctl's entry on Windows: arguments arrive as wide text.
//
// Installers are run from download folders that others can write to, and
// elevated. The program imports only DLLs on the KnownDLLs list, which the
// loader takes from the system directory whatever the search order, and
// before anything is loaded at run time the search is restricted to the
// system directory; the library itself is loaded by its full path.
#include <windows.h>

#include "cli_run.h"

namespace {

// SetDefaultDllDirectories is found at run time: a Windows 7 without its
// update lacks it (and then nothing better can be done).
void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI *)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(
        kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
    if (restrict) restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    RestrictDllSearch();
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return ndisfilterctl::RunCli(args);
}
