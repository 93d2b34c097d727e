// SetupUninstallOEMInfW: removing a published INF from the INF store.
//
// As the platform documents and answers it (the SetupUninstallOEMInfW page):
// the name is a file name without a path of an INF in <Windows>\inf, and the
// reserved argument null; one that is not a published oem<N>.inf
// there is refused with ERROR_NOT_AN_INSTALLED_OEM_INF. Without
// SUOI_FORCEDELETE an INF in use is kept and refused with
// ERROR_INF_IN_USE_BY_DEVICES; on the simulated machine an INF is in use
// when it names an installed component. The INF goes, then its .PNF (whose
// failure to go is not the caller's concern). Deleting follows DeleteFileW:
// FailDelete, a file held open without FILE_SHARE_DELETE and a read-only
// file make it fail with that error, and nothing is removed.
//
// Wine's own (8.0, tests/wine/inf_store) is simpler: a null name answers
// ERROR_INVALID_PARAMETER as here, but with SUOI_FORCEDELETE it deletes
// <Windows>\inf\<name> whatever the name (an absent one answers
// ERROR_FILE_NOT_FOUND) and leaves the .PNF; without the flag it deletes
// nothing and answers TRUE. The hosts' INF store module copes with both.
#include "machine_state.h"

#include <setupapi.h>

#include <strings.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

using namespace sim;

namespace {

bool IsPublishedName(const std::wstring &name) {
    if (name.size() < 8 || !EqualNoCase(name.substr(0, 3), L"oem") ||
        !EqualNoCase(name.substr(name.size() - 4), L".inf"))
        return false;
    for (size_t i = 3; i + 4 < name.size(); ++i)
        if (name[i] < L'0' || name[i] > L'9') return false;
    return true;
}

// Whether the INF's text names an installed component (any letter case).
bool InUseLocked(const std::string &hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    std::ostringstream bytes;
    if (!in || !(bytes << in.rdbuf())) return false;
    const std::string text = bytes.str();
    for (const Component &component : TheMachine().components) {
        const std::string id = Narrow(component.id);
        for (size_t at = 0; !id.empty() && at + id.size() <= text.size(); ++at)
            if (strncasecmp(text.c_str() + at, id.c_str(), id.size()) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" BOOL WINAPI SetupUninstallOEMInfW(PCWSTR infFileName, DWORD flags, PVOID reserved) {
    wchar_t flagText[16];
    swprintf(flagText, 16, L"%u", flags);
    if (EnterFails(Call::SetupUninstallOEMInfW, PathText(infFileName) + L" " + flagText))
        return FALSE;
    // The SetupUninstallOEMInfW page: Reserved is set to NULL. It does not say
    // what another value gets; the stricter answer refuses it.
    if (!infFileName || reserved) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    LockedMachine m;
    const std::wstring name = infFileName;
    std::wstring store = m->windowsDirectory ? Widen(*m->windowsDirectory) : L"C:\\WINDOWS";
    if (store.empty() || store.back() != L'\\') store += L'\\';
    store += L"inf";
    const std::wstring inf = FullWindowsPathLocked(store + L"\\" + name);
    const std::string host = HostPathLocked(inf);
    struct stat st;
    if (name.find_first_of(L"\\/:") != std::wstring::npos || !IsPublishedName(name) ||
        lstat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return Fail(ERROR_NOT_AN_INSTALLED_OEM_INF, FALSE);
    if (!(flags & SUOI_FORCEDELETE) && InUseLocked(host))
        return Fail(ERROR_INF_IN_USE_BY_DEVICES, FALSE);
    const DWORD error = DeleteWindowsFileLocked(inf);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
    DeleteWindowsFileLocked(inf.substr(0, inf.size() - 4) + L".PNF");
    SetLastErrorQuiet(ERROR_SUCCESS);
    return TRUE;
}
