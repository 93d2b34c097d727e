// The platform's pre-flight readers on Windows. All read only. Registry
// values are read from the 64-bit view, with their type and size checked: a
// value of the wrong kind is "could not be read", never taken as absent.
#include <windows.h>
#include <objbase.h>
#include <netcfgx.h>
#include <setupapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "preflight.h"

namespace ndisfilter::tools {
namespace {

constexpr REGSAM kKeyRead = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY;

std::wstring ErrorText(LONG error) {
    const std::wstring code = L"error " + std::to_wstring(error);
    return error == ERROR_ACCESS_DENIED ? L"access denied (" + code + L")" : code;
}

std::wstring TypeName(DWORD type) {
    switch (type) {
        case REG_SZ:
            return L"REG_SZ";
        case REG_EXPAND_SZ:
            return L"REG_EXPAND_SZ";
        case REG_BINARY:
            return L"REG_BINARY";
        case REG_DWORD:
            return L"REG_DWORD";
        case REG_MULTI_SZ:
            return L"REG_MULTI_SZ";
        case REG_QWORD:
            return L"REG_QWORD";
        default:
            return L"type " + std::to_wstring(type);
    }
}

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// A key under HKLM: open, absent (null, ERROR_SUCCESS), or an error.
struct OpenedKey {
    UniqueKey key;
    LONG error = ERROR_SUCCESS;
    std::wstring path;  // "HKLM\..." for the text
};

// RegOpenKeyExW: https://learn.microsoft.com/windows/win32/api/winreg/nf-winreg-regopenkeyexw
OpenedKey OpenKey(const std::wstring &path) {
    OpenedKey opened;
    opened.path = L"HKLM\\" + path;
    HKEY key = nullptr;
    const LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, kKeyRead, &key);
    if (error == ERROR_SUCCESS)
        opened.key.reset(key);
    else if (error != ERROR_FILE_NOT_FOUND)
        opened.error = error;
    return opened;
}

std::wstring Where(const OpenedKey &key, const wchar_t *name) { return key.path + L"\\" + name; }

// A REG_DWORD: absent (nullopt), its value, or why it could not be read.
// RegQueryValueExW: https://learn.microsoft.com/windows/win32/api/winreg/nf-winreg-regqueryvalueexw
Reading<std::optional<DWORD>> ReadDword(const OpenedKey &key, const wchar_t *name) {
    using R = Reading<std::optional<DWORD>>;
    if (key.error != ERROR_SUCCESS) return R::Unread(key.path + L": " + ErrorText(key.error));
    if (!key.key) return R::Of(std::nullopt);
    DWORD type = 0, value = 0, size = sizeof value;
    const LONG error = RegQueryValueExW(key.key.get(), name, nullptr, &type,
                                        reinterpret_cast<BYTE *>(&value), &size);
    if (error == ERROR_FILE_NOT_FOUND) return R::Of(std::nullopt);
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
        return R::Unread(Where(key, name) + L": " + ErrorText(error));
    if (type != REG_DWORD)
        return R::Unread(Where(key, name) + L" is " + TypeName(type) + L", not REG_DWORD");
    if (error == ERROR_MORE_DATA || size != sizeof value)
        return R::Unread(Where(key, name) + L" is a REG_DWORD of " + std::to_wstring(size) +
                         L" bytes, not 4");
    return R::Of(value);
}

// Whether the key exists.
Reading<bool> KeyExists(const std::wstring &path) {
    const OpenedKey key = OpenKey(path);
    if (key.error != ERROR_SUCCESS)
        return Reading<bool>::Unread(key.path + L": " + ErrorText(key.error));
    return Reading<bool>::Of(key.key != nullptr);
}

// A REG_DWORD flag under the key: set (non-zero), not set (zero or absent).
Reading<bool> ReadFlag(const OpenedKey &key, const wchar_t *name) {
    const Reading<std::optional<DWORD>> value = ReadDword(key, name);
    if (!value.value) return Reading<bool>::Unread(value.whyUnread);
    return Reading<bool>::Of(value.value->value_or(0) != 0);
}

constexpr const wchar_t *kNetServiceClass = L"4D36E974-E325-11CE-BFC1-08002BE10318";

// Whether a policy list key (values "1", "2", ... each a REG_SZ class GUID)
// holds the NetService class, with or without braces.
// RegEnumValueW: https://learn.microsoft.com/windows/win32/api/winreg/nf-winreg-regenumvaluew
Reading<bool> ListHoldsNetService(const std::wstring &path) {
    const OpenedKey key = OpenKey(path);
    if (key.error != ERROR_SUCCESS)
        return Reading<bool>::Unread(key.path + L": " + ErrorText(key.error));
    if (!key.key) return Reading<bool>::Of(false);
    // A class GUID is 38 characters; a policy list names its values "1", "2", ...
    constexpr DWORD kNameChars = 256;
    constexpr DWORD kDataChars = 128;
    bool holds = false;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kNameChars];
        wchar_t data[kDataChars] = {};
        DWORD nameLength = kNameChars, type = 0, size = sizeof data - sizeof(wchar_t);
        const LONG error = RegEnumValueW(key.key.get(), index, name, &nameLength, nullptr, &type,
                                         reinterpret_cast<BYTE *>(data), &size);
        if (error == ERROR_NO_MORE_ITEMS) break;
        if (error == ERROR_MORE_DATA && type == REG_SZ) continue;  // longer than any GUID
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
            return Reading<bool>::Unread(key.path + L": " + ErrorText(error));
        if (type != REG_SZ)
            return Reading<bool>::Unread(Where(key, name) + L" is " + TypeName(type) +
                                         L", not REG_SZ");
        std::wstring guid = data;
        while (!guid.empty() && (guid.back() == L' ' || guid.back() == L'}')) guid.pop_back();
        const size_t start = guid.find_first_not_of(L" {");
        if (start != std::wstring::npos && _wcsicmp(guid.c_str() + start, kNetServiceClass) == 0)
            holds = true;
    }
    return Reading<bool>::Of(holds);
}

// --- INF ---------------------------------------------------------------------

struct InfCloser {
    void operator()(HINF inf) const { SetupCloseInfFile(inf); }
};
using UniqueInf = std::unique_ptr<void, InfCloser>;

// One string field of an INF line (0: the key); empty when there is none.
// SetupGetStringFieldW:
// https://learn.microsoft.com/windows/win32/api/setupapi/nf-setupapi-setupgetstringfieldw
std::wstring Field(INFCONTEXT &line, DWORD index) {
    std::vector<wchar_t> text(MAX_INF_STRING_LENGTH);
    if (!SetupGetStringFieldW(&line, index, text.data(), static_cast<DWORD>(text.size()), nullptr))
        return {};
    return text.data();
}

// The first line of a section (with that key, or any when key is null).
// SetupFindFirstLineW:
// https://learn.microsoft.com/windows/win32/api/setupapi/nf-setupapi-setupfindfirstlinew
bool FirstLine(HINF inf, const std::wstring &section, const wchar_t *key, INFCONTEXT *line) {
    return SetupFindFirstLineW(inf, section.c_str(), key, line) != FALSE;
}

// The INF decorations of an architecture: platform extension ("NTamd64")
// and the source-media one ("amd64"). INF Version section and INF
// SourceDisksFiles section pages.
std::wstring PlatformSuffix(const std::wstring &machine) {
    if (machine == L"x64") return L"amd64";
    if (machine == L"arm64") return L"arm64";
    if (machine == L"x86") return L"x86";
    return machine;
}

PackageFile Present(const std::wstring &path) {
    PackageFile file{path, ERROR_SUCCESS};
    // GetFileAttributesW:
    // https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfileattributesw
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        file.error = GetLastError();
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        file.error = ERROR_DIRECTORY;
    return file;
}

// The catalog: CatalogFile.NT<arch>, then CatalogFile.NT, then CatalogFile.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a folder and an architecture suffix, named
void ReadCatalog(HINF inf, const std::wstring &folder, const std::wstring &suffix,
                 InfPackage &package) {
    for (const std::wstring &key : {L"CatalogFile.NT" + suffix, std::wstring(L"CatalogFile.NT"),
                                    std::wstring(L"CatalogFile")}) {
        INFCONTEXT line;
        if (!FirstLine(inf, L"Version", key.c_str(), &line)) continue;
        const std::wstring name = Field(line, 1);
        if (name.empty()) continue;
        package.catalogEntry = key;
        package.catalog = Present(folder + L"\\" + name);
        return;
    }
}

// [SourceDisksFiles.<arch>] then [SourceDisksFiles]: name = diskid[,subdir],
// placed under [SourceDisksNames]' path for the disk.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a folder and an architecture suffix, named
void ReadListedFiles(HINF inf, const std::wstring &folder, const std::wstring &suffix,
                     InfPackage &package) {
    std::vector<std::wstring> seen;
    for (const std::wstring &section :
         {L"SourceDisksFiles." + suffix, std::wstring(L"SourceDisksFiles")}) {
        INFCONTEXT line;
        if (!FirstLine(inf, section, nullptr, &line)) continue;
        do {
            std::wstring name = Field(line, 0);
            if (name.empty()) name = Field(line, 1);
            bool known = false;
            for (const std::wstring &other : seen)
                known = known || _wcsicmp(other.c_str(), name.c_str()) == 0;
            if (name.empty() || known) continue;
            seen.push_back(name);
            const std::wstring disk = Field(line, 1), subdir = Field(line, 2);
            std::wstring path = folder;
            INFCONTEXT diskLine;
            if (FirstLine(inf, L"SourceDisksNames." + suffix, disk.c_str(), &diskLine) ||
                FirstLine(inf, L"SourceDisksNames", disk.c_str(), &diskLine)) {
                const std::wstring diskPath = Field(diskLine, 4);
                if (!diskPath.empty()) path += (diskPath[0] == L'\\' ? L"" : L"\\") + diskPath;
            }
            if (!subdir.empty()) path += L"\\" + subdir;
            package.listedFiles.push_back(Present(path + L"\\" + name));
        } while (SetupFindNextLine(&line, &line));
    }
}

// True when a [Manufacturer] decoration ("NTamd64", "NTamd64.10.0") is for this architecture.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a folder and an architecture suffix, named
bool DecorationFits(const std::wstring &decoration, const std::wstring &suffix) {
    const std::wstring wanted = L"NT" + suffix;
    return _wcsnicmp(decoration.c_str(), wanted.c_str(), wanted.size()) == 0 &&
           (decoration.size() == wanted.size() || decoration[wanted.size()] == L'.');
}

// [Manufacturer] -> models section (decorated for this architecture) -> the
// first install section -> its .Services section -> AddService's name.
void ReadServiceName(HINF inf, const std::wstring &suffix, InfPackage &package) {
    INFCONTEXT line;
    if (!FirstLine(inf, L"Manufacturer", nullptr, &line)) return;
    std::wstring models = Field(line, 1);
    for (DWORD index = 2; index <= SetupGetFieldCount(&line); ++index) {
        const std::wstring decoration = Field(line, index);
        if (DecorationFits(decoration, suffix)) {
            models += L"." + decoration;
            break;
        }
    }
    if (!FirstLine(inf, models, nullptr, &line)) return;
    const std::wstring install = Field(line, 1);
    // The platform picks the most specific install section that exists.
    for (const std::wstring &section : {install + L".NT" + suffix, install + L".NT", install}) {
        if (SetupGetLineCountW(inf, section.c_str()) < 0) continue;
        if (FirstLine(inf, section + L".Services", L"AddService", &line))
            package.serviceName = Field(line, 1);
        return;
    }
}

}  // namespace

// IsWow64Process2 (Windows 10 1511 and later), looked up so that older
// systems still start the program:
// https://learn.microsoft.com/windows/win32/api/wow64apiset/nf-wow64apiset-iswow64process2
std::wstring ReadNativeMachine() {
    using IsWow64Process2Fn = BOOL(WINAPI *)(HANDLE, USHORT *, USHORT *);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0, native = 0;
    if (isWow64Process2 && isWow64Process2(GetCurrentProcess(), &process, &native)) {
        switch (native) {
            case IMAGE_FILE_MACHINE_AMD64:
                return L"x64";
            case IMAGE_FILE_MACHINE_ARM64:
                return L"arm64";
            case IMAGE_FILE_MACHINE_I386:
                return L"x86";
            case IMAGE_FILE_MACHINE_ARMNT:
                return L"arm";
            default:
                break;
        }
    }
    return QueryProcessFacts().systemArchitecture;
}

// RtlGetVersion tells the true version whatever the program's manifest says:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-rtlgetversion
Reading<OsVersion> ReadOsVersion() {
    using RtlGetVersionFn = LONG(WINAPI *)(OSVERSIONINFOW *);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    if (!rtlGetVersion) return Reading<OsVersion>::Unread(L"ntdll.dll has no RtlGetVersion");
    const LONG status = rtlGetVersion(&info);
    if (status != 0)
        return Reading<OsVersion>::Unread(L"RtlGetVersion failed (" +
                                          HexCode(static_cast<DWORD>(status)) + L")");
    return Reading<OsVersion>::Of({info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber});
}

// SetupOpenInfFileW:
// https://learn.microsoft.com/windows/win32/api/setupapi/nf-setupapi-setupopeninffilew
Reading<InfPackage> ReadInfPackage(const WCHAR *infPath, const std::wstring &machine) {
    UINT errorLine = 0;
    const HINF opened = SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, &errorLine);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return Reading<InfPackage>::Unread(
            L"SetupOpenInfFileW failed (" + HexCode(error) + L")" +
            (errorLine ? L" at line " + std::to_wstring(errorLine) : L""));
    }
    const UniqueInf inf(opened);
    std::wstring folder = infPath;
    const size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? L"." : folder.substr(0, slash);
    const std::wstring suffix = PlatformSuffix(machine);
    InfPackage package;
    ReadCatalog(opened, folder, suffix, package);
    ReadListedFiles(opened, folder, suffix, package);
    ReadServiceName(opened, suffix, package);
    return Reading<InfPackage>::Of(std::move(package));
}

// WinVerifyTrust with WINTRUST_ACTION_GENERIC_VERIFY_V2, no UI, no revocation
// or network retrieval; wintrust.dll is loaded from the system directory only
// (it is not a KnownDLL, and ndisfilterctl imports KnownDLLs alone):
// https://learn.microsoft.com/windows/win32/api/wintrust/nf-wintrust-winverifytrust
Reading<LONG> ReadCatalogTrust(const WCHAR *catalogPath) {
    HMODULE wintrust = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!wintrust && GetLastError() == ERROR_INVALID_PARAMETER) {  // Windows 7 without KB2533623
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            wintrust = LoadLibraryExW((std::wstring(system) + L"\\wintrust.dll").c_str(), nullptr,
                                      LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (!wintrust)
        return Reading<LONG>::Unread(L"wintrust.dll could not be loaded (error " +
                                     std::to_wstring(GetLastError()) + L")");
    using WinVerifyTrustFn = LONG(WINAPI *)(HWND, GUID *, LPVOID);
    const auto verify = reinterpret_cast<WinVerifyTrustFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(wintrust, "WinVerifyTrust")));
    Reading<LONG> answer = Reading<LONG>::Unread(L"wintrust.dll has no WinVerifyTrust");
    if (verify) {
        WINTRUST_FILE_INFO file = {};
        file.cbStruct = sizeof file;
        file.pcwszFilePath = catalogPath;
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;  // NOLINT(cppcoreguidelines-pro-type-union-access): WINTRUST_DATA's own union
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
        answer = Reading<LONG>::Of(verify(noUser, &action, &data));
        data.dwStateAction = WTD_STATEACTION_CLOSE;  // frees the state the verify kept
        verify(noUser, &action, &data);
    }
    FreeLibrary(wintrust);
    return answer;
}

// The service control manager's mark on a service that DeleteService could
// not remove yet (it goes at the next restart); DeleteService:
// https://learn.microsoft.com/windows/win32/api/winsvc/nf-winsvc-deleteservice
Reading<bool> ReadServiceMarkedForDeletion(const WCHAR *serviceName) {
    return ReadFlag(OpenKey(std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + serviceName),
                    L"DeleteFlag");
}

// PendingFileRenameOperations (a REG_MULTI_SZ; MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT):
// https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-movefileexw and the servicing
// and update keys that exist while a restart is due.
PendingRestart ReadPendingRestart() {
    PendingRestart pending;
    const OpenedKey manager = OpenKey(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    const wchar_t *name = L"PendingFileRenameOperations";
    DWORD type = 0, size = 0;
    const LONG error =
        manager.key     ? RegQueryValueExW(manager.key.get(), name, nullptr, &type, nullptr, &size)
        : manager.error ? manager.error
                        : ERROR_FILE_NOT_FOUND;
    if (error == ERROR_FILE_NOT_FOUND)
        pending.fileRenames = Reading<bool>::Of(false);
    else if (error != ERROR_SUCCESS)
        pending.fileRenames =
            Reading<bool>::Unread(Where(manager, name) + L": " + ErrorText(error));
    else if (type != REG_MULTI_SZ)
        pending.fileRenames = Reading<bool>::Unread(Where(manager, name) + L" is " +
                                                    TypeName(type) + L", not REG_MULTI_SZ");
    else
        pending.fileRenames =
            Reading<bool>::Of(size > 2 * sizeof(wchar_t));  // more than the two terminators
    pending.servicing = KeyExists(
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending");
    pending.update = KeyExists(
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto "
        L"Update\\RebootRequired");
    return pending;
}

// The Device Installation Restrictions policies, as their administrative
// template stores them (DenyDeviceClasses, DenyUnspecified, AllowDeviceClasses,
// AllowAdminInstall, and the class lists as subkeys of the same names):
// https://learn.microsoft.com/windows/client-management/mdm/policy-csp-admx-deviceinstallation
Reading<DeviceInstallPolicy> ReadDeviceInstallPolicy() {
    const std::wstring path =
        L"SOFTWARE\\Policies\\Microsoft\\Windows\\DeviceInstall\\Restrictions";
    const OpenedKey key = OpenKey(path);
    DeviceInstallPolicy policy;
    std::wstring why;
    const auto flag = [&](const wchar_t *name, bool &out) {
        const Reading<bool> value = ReadFlag(key, name);
        if (!value.value)
            why = why.empty() ? value.whyUnread : why;
        else
            out = *value.value;
    };
    const auto list = [&](const wchar_t *name, bool &out) {
        const Reading<bool> value = ListHoldsNetService(path + L"\\" + name);
        if (!value.value)
            why = why.empty() ? value.whyUnread : why;
        else
            out = *value.value;
    };
    flag(L"DenyDeviceClasses", policy.denyClasses);
    flag(L"DenyUnspecified", policy.denyUnspecified);
    flag(L"AllowAdminInstall", policy.allowAdminInstall);
    bool allowClasses = false;
    flag(L"AllowDeviceClasses", allowClasses);
    if (policy.denyClasses) list(L"DenyDeviceClasses", policy.netServiceDenied);
    if (policy.denyUnspecified && allowClasses)
        list(L"AllowDeviceClasses", policy.netServiceAllowed);
    if (!why.empty()) return Reading<DeviceInstallPolicy>::Unread(why);
    return Reading<DeviceInstallPolicy>::Of(policy);
}

// MaxNumFilters (Windows 7 / Server 2008 R2): 8 when not set, at most 14.
Reading<DWORD> ReadMaxNumFilters() {
    const OpenedKey key = OpenKey(L"SYSTEM\\CurrentControlSet\\Control\\Network");
    const Reading<std::optional<DWORD>> value = ReadDword(key, L"MaxNumFilters");
    if (!value.value) return Reading<DWORD>::Unread(value.whyUnread);
    const DWORD limit = value.value->value_or(kDefaultMaxFilters);
    if (limit < 1 || limit > kLargestMaxFilters)
        return Reading<DWORD>::Unread(Where(key, L"MaxNumFilters") + L" is " +
                                      std::to_wstring(limit) + L", outside 1.." +
                                      std::to_wstring(kLargestMaxFilters));
    return Reading<DWORD>::Of(limit);
}

// The NetService class's components with NCF_LW_FILTER, read without the
// write lock; INetCfg::EnumComponents:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/netcfgx/nf-netcfgx-inetcfg-enumcomponents
Reading<DWORD> CountLightweightFilters() {
    static const GUID netService = {
        0x4d36e974, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE)
        return Reading<DWORD>::Unread(L"CoInitialize failed (" + HexCode(static_cast<DWORD>(init)) +
                                      L")");
    Reading<DWORD> answer;
    INetCfg *netCfg = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                  reinterpret_cast<void **>(&netCfg));
    const wchar_t *step = L"CoCreateInstance";
    if (SUCCEEDED(hr) && netCfg) {
        step = L"INetCfg::Initialize";
        hr = netCfg->Initialize(nullptr);
        if (SUCCEEDED(hr)) {
            IEnumNetCfgComponent *components = nullptr;
            step = L"INetCfg::EnumComponents";
            hr = netCfg->EnumComponents(&netService, &components);
            if (SUCCEEDED(hr) && components) {
                DWORD count = 0;
                INetCfgComponent *component = nullptr;
                ULONG fetched = 0;
                while (SUCCEEDED(hr) && components->Next(1, &component, &fetched) == S_OK &&
                       component) {
                    DWORD characteristics = 0;
                    step = L"INetCfgComponent::GetCharacteristics";
                    hr = component->GetCharacteristics(&characteristics);
                    if (SUCCEEDED(hr) && (characteristics & NCF_LW_FILTER)) ++count;
                    component->Release();
                    component = nullptr;
                }
                components->Release();
                if (SUCCEEDED(hr)) answer = Reading<DWORD>::Of(count);
            }
            netCfg->Uninitialize();
        }
        netCfg->Release();
    }
    if (!answer.value)
        answer =
            Reading<DWORD>::Unread(std::wstring(step) + L" failed (" +
                                   HexCode(static_cast<DWORD>(FAILED(hr) ? hr : E_POINTER)) + L")");
    if (SUCCEEDED(init)) CoUninitialize();
    return answer;
}

// GetSystemMetrics(SM_REMOTESESSION):
// https://learn.microsoft.com/windows/win32/termserv/detecting-the-terminal-services-environment
// user32.dll is loaded here, not imported: a host that links the readers
// but never asks (`ndisfilterctl status`) does not pay for loading it. It is
// a KnownDLL, so the name alone finds the system directory's on every version.
Reading<bool> ReadRemoteSession() {
    const HMODULE user32 = LoadLibraryW(L"user32.dll");
    if (!user32)
        return Reading<bool>::Unread(L"user32.dll could not be loaded (error " +
                                     std::to_wstring(GetLastError()) + L")");
    using GetSystemMetricsFn = int(WINAPI *)(int);
    const auto metrics = reinterpret_cast<GetSystemMetricsFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "GetSystemMetrics")));
    const Reading<bool> answer =
        metrics ? Reading<bool>::Of(metrics(SM_REMOTESESSION) != 0)
                : Reading<bool>::Unread(L"user32.dll has no GetSystemMetrics");
    FreeLibrary(user32);
    return answer;
}

}  // namespace ndisfilter::tools
