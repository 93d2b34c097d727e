// Kernel and setup services over files: module file name, current and
// Windows directories, file deletion, and the INF store that
// SetupCopyOEMInfW fills.
#include "machine_state.h"

#include <setupapi.h>

#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

using namespace sim;

namespace {

std::wstring Number(DWORD value) {
    wchar_t text[16];
    swprintf(text, 16, L"%u", value);
    return text;
}

bool IsDirectory(const std::string &hostPath) {
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string &hostPath) {
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadWhole(const std::string &hostPath, std::string *content) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    *content = out.str();
    return true;
}

bool WriteWhole(const std::string &hostPath, const std::string &content) {
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush());
}

// The Windows directory that setup uses: the settable text, or the usual
// one while that is set to fail.
std::wstring SetupWindowsDirectoryLocked() {
    const Machine &m = TheMachine();
    std::wstring dir = m.windowsDirectory ? Widen(*m.windowsDirectory) : L"C:\\WINDOWS";
    while (dir.size() > 3 && dir.back() == L'\\') dir.pop_back();
    return dir;
}

// Setup takes full paths only: "X:\..." or "\\server\share\...".
bool IsFullPath(const std::wstring &path) {
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) return true;
    return path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
}

std::string Trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\r\"");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r\"");
    return text.substr(first, last - first + 1);
}

// The catalog files that the INF's [Version] section names (CatalogFile,
// CatalogFile.NTAMD64, ...). Setup refuses an INF whose catalog is missing.
std::vector<std::string> NamedCatalogs(const std::string &inf) {
    std::vector<std::string> catalogs;
    std::istringstream lines(inf);
    std::string line;
    bool inVersion = false;
    while (std::getline(lines, line)) {
        line = Trimmed(line.substr(0, line.find(';')));
        if (!line.empty() && line.front() == '[') {
            inVersion = strcasecmp(line.c_str(), "[Version]") == 0;
            continue;
        }
        const size_t equals = line.find('=');
        if (!inVersion || equals == std::string::npos) continue;
        const std::string key = Trimmed(line.substr(0, equals));
        if (strncasecmp(key.c_str(), "CatalogFile", 11) == 0 &&
            (key.size() == 11 || key[11] == '.'))
            catalogs.push_back(Trimmed(line.substr(equals + 1)));
    }
    return catalogs;
}

}  // namespace

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity) {
    if (EnterFails(Call::GetModuleFileNameW, Number(capacity))) return 0;
    LockedMachine m;
    if (module) return Fail<DWORD>(ERROR_MOD_NOT_FOUND, 0);
    if (!m->executablePath) return Fail<DWORD>(ERROR_GEN_FAILURE, 0);
    const std::wstring &path = *m->executablePath;
    if (path.size() >= capacity) {
        // Truncated to the buffer, terminator included; answers the capacity.
        if (capacity > 0) {
            wmemcpy(buffer, path.c_str(), capacity - 1);
            buffer[capacity - 1] = L'\0';
        }
        return Fail(ERROR_INSUFFICIENT_BUFFER, capacity);
    }
    wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

extern "C" DWORD WINAPI GetCurrentDirectoryW(DWORD capacity, LPWSTR buffer) {
    if (EnterFails(Call::GetCurrentDirectoryW, Number(capacity))) return 0;
    LockedMachine m;
    const std::wstring &dir = m->currentDirectory;
    // Too small: the size needed, terminator included; the buffer untouched.
    if (!buffer || capacity < dir.size() + 1) return static_cast<DWORD>(dir.size() + 1);
    wmemcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

extern "C" BOOL WINAPI SetCurrentDirectoryW(LPCWSTR path) {
    return OnWindowsPath(Call::SetCurrentDirectoryW, PathText(path), path, ERROR_INVALID_PARAMETER,
                         FALSE, [](Machine &m, const std::wstring &full, const std::string &host) {
                             if (!IsDirectory(host))
                                 return Fail(IsFile(host) ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND,
                                             FALSE);
                             m.currentDirectory = full;
                             return TRUE;
                         });
}

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT capacity) {
    if (EnterFails(Call::GetWindowsDirectoryA, Number(capacity))) return 0;
    LockedMachine m;
    if (!m->windowsDirectory) return Fail<UINT>(ERROR_GEN_FAILURE, 0);
    const std::string &dir = *m->windowsDirectory;
    if (!buffer || capacity < dir.size() + 1) return static_cast<UINT>(dir.size() + 1);
    memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR path) {
    return OnWindowsPath(Call::DeleteFileA, PathText(path), path, ERROR_PATH_NOT_FOUND, FALSE,
                         [](Machine &, const std::wstring &full, const std::string &) {
                             const DWORD error = DeleteWindowsFileLocked(full);
                             return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
                         });
}

extern "C" BOOL WINAPI SetupCopyOEMInfW(PCWSTR sourceInfFileName, PCWSTR oemSourceMediaLocation,
                                        DWORD oemSourceMediaType, DWORD copyStyle,
                                        PWSTR destinationInfFileName,
                                        DWORD destinationInfFileNameSize, PDWORD requiredSize,
                                        PWSTR *destinationInfFileNameComponent) {
    const std::wstring source = sourceInfFileName ? sourceInfFileName : L"(null)";
    const std::wstring media = oemSourceMediaLocation ? oemSourceMediaLocation : L"(null)";
    const std::optional<Answer> answer =
        Enter(Call::SetupCopyOEMInfW, L"\"" + source + L"\" \"" + media + L"\" " +
                                          Number(oemSourceMediaType) + L" " + Number(copyStyle));
    {
        LockedMachine m;
        m->infCopies.push_back(
            {sourceInfFileName ? source : L"", oemSourceMediaLocation ? media : L""});
    }
    if (destinationInfFileNameComponent) *destinationInfFileNameComponent = nullptr;
    if (answer) return Fail(answer->win32Error, FALSE);
    (void)copyStyle;
    if (!sourceInfFileName || oemSourceMediaType > SPOST_URL ||
        (destinationInfFileName == nullptr) != (destinationInfFileNameSize == 0))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);

    LockedMachine m;
    std::string content;
    if (!IsFullPath(source) || !ReadWhole(HostPathLocked(sourceInfFileName), &content) ||
        IsDirectory(HostPathLocked(sourceInfFileName)))
        return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    const std::wstring sourceDir = source.substr(0, source.find_last_of(L"\\/") + 1);
    for (const std::string &catalog : NamedCatalogs(content)) {
        if (!IsFile(HostPathLocked(sourceDir + Widen(catalog))))
            return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    }

    // An identical copy already in the store is reused; otherwise the first
    // free oem<N>.inf is taken.
    const std::wstring store = SetupWindowsDirectoryLocked() + L"\\inf";
    MakeHostDirectories(HostPathLocked(store));
    std::wstring name;
    for (unsigned n = 0; name.empty(); ++n) {
        const std::wstring candidate = store + L"\\oem" + Number(n) + L".inf";
        std::string existing;
        const std::string host = HostPathLocked(candidate);
        if (!IsFile(host) || (ReadWhole(host, &existing) && existing == content)) name = candidate;
    }

    const DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (destinationInfFileName && destinationInfFileNameSize < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    const std::wstring pnf = name.substr(0, name.size() - 4) + L".PNF";
    const std::string pnfContent = "PNF\x01\x02 precompiled " + Narrow(name) + "\n";
    if (!WriteWhole(HostPathLocked(name), content) || !WriteWhole(HostPathLocked(pnf), pnfContent))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (destinationInfFileName) {
        wmemcpy(destinationInfFileName, name.c_str(), name.size() + 1);
        if (destinationInfFileNameComponent)
            *destinationInfFileNameComponent = destinationInfFileName + name.rfind(L'\\') + 1;
    }
    SetLastErrorQuiet(ERROR_SUCCESS);
    return TRUE;
}
