// A platform that answers every call the library makes at once and does no
// work: one configuration object with its lock, one class with its setup
// interface and one component, all static, references not counted, no file
// touched. Linked in place of the simulated machine, it leaves only the
// library's own work to be measured. Threads are not served: the timed
// operations are measured on the simulated machine.
#include <windows.h>
#include <objbase.h>

#include <devguid.h>
#include <netcfgx.h>
#include <process.h>
#include <pthread.h>
#include <setupapi.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

thread_local DWORD t_lastError = 0;

// IUnknown of the static objects below: references are not counted, and the
// one other interface an object answers, if any, is what Self::Other gives.
template <typename Self, typename Interface>
struct StaticObject : Interface {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
        *object = Self::Other(iid);
        return *object ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    static void *Other(REFIID) { return nullptr; }
};

struct InstantComponent final : StaticObject<InstantComponent, INetCfgComponent> {
    HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHelpText(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCharacteristics(LPDWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInstanceGuid(GUID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPnpDevNodeId(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClassGuid(GUID *classGuid) override {
        *classGuid = GUID_DEVCLASS_NETSERVICE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindName(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDeviceStatus(ULONG *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenParamKey(void **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RaisePropertyUi(HWND, DWORD, IUnknown *) override {
        return E_NOTIMPL;
    }
} g_component;

struct InstantClassSetup final : StaticObject<InstantClassSetup, INetCfgClassSetup> {
    HRESULT STDMETHODCALLTYPE SelectAndInstall(HWND, OBO_TOKEN *, INetCfgComponent **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Install(LPCWSTR, OBO_TOKEN *, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                      INetCfgComponent **component) override {
        if (component) *component = &g_component;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DeInstall(INetCfgComponent *, OBO_TOKEN *, LPWSTR *) override {
        return S_OK;
    }
} g_classSetup;

struct InstantClass final : StaticObject<InstantClass, INetCfgClass> {
    static void *Other(REFIID iid) {
        return IsEqualGUID(iid, IID_INetCfgClassSetup)
                   ? static_cast<INetCfgClassSetup *>(&g_classSetup)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR, INetCfgComponent **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnumComponents(IEnumNetCfgComponent **) override { return E_NOTIMPL; }
} g_class;

struct InstantLock final : StaticObject<InstantLock, INetCfgLock> {
    HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD, LPCWSTR, LPWSTR *holder) override {
        *holder = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseWriteLock() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsWriteLocked(LPWSTR *) override { return E_NOTIMPL; }
} g_lock;

struct InstantNetCfg final : StaticObject<InstantNetCfg, INetCfg> {
    static void *Other(REFIID iid) {
        return IsEqualGUID(iid, IID_INetCfgLock) ? static_cast<INetCfgLock *>(&g_lock) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE Initialize(PVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Uninitialize() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Apply() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnumComponents(const GUID *, IEnumNetCfgComponent **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR, INetCfgComponent **component) override {
        *component = &g_component;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID *, REFIID iid, void **object) override {
        if (IsEqualGUID(iid, IID_INetCfgClassSetup)) {
            *object = static_cast<INetCfgClassSetup *>(&g_classSetup);
            return S_OK;
        }
        *object = static_cast<INetCfgClass *>(&g_class);
        return S_OK;
    }
} g_netCfg;

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD code) { t_lastError = code; }

DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD capacity) {
    static const wchar_t kExe[] = L"C:\\Program Files\\Host\\host.exe";
    const DWORD length = static_cast<DWORD>(wcslen(kExe));
    if (capacity <= length) return 0;
    wmemcpy(buffer, kExe, length + 1);
    return length;
}

DWORD WINAPI GetCurrentDirectoryW(DWORD capacity, LPWSTR buffer) {
    static const wchar_t kDir[] = L"C:\\Users\\Test";
    const DWORD length = static_cast<DWORD>(wcslen(kDir));
    if (capacity <= length) return length + 1;
    wmemcpy(buffer, kDir, length + 1);
    return length;
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR) { return TRUE; }

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT capacity) {
    static const char kDir[] = "C:\\WINDOWS";
    const UINT length = sizeof kDir - 1;
    if (capacity <= length) return length + 1;
    memcpy(buffer, kDir, length + 1);
    return length;
}

BOOL WINAPI DeleteFileA(LPCSTR) { return TRUE; }

HRESULT WINAPI CoInitialize(LPVOID) { return S_OK; }
void WINAPI CoUninitialize(void) {}
HRESULT WINAPI CoCreateInstance(REFCLSID, IUnknown *, DWORD, REFIID, LPVOID *object) {
    *object = static_cast<INetCfg *>(&g_netCfg);
    return S_OK;
}
LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) { return malloc(size); }
void WINAPI CoTaskMemFree(LPVOID block) { free(block); }

BOOL WINAPI SetupCopyOEMInfW(PCWSTR, PCWSTR, DWORD, DWORD, PWSTR, DWORD, PDWORD, PWSTR *) {
    return TRUE;
}

BOOL WINAPI SetupUninstallOEMInfW(PCWSTR, DWORD, PVOID) { return TRUE; }

// No INF copy exists: every candidate of the purge is missing.
errno_t fopen_s(FILE **file, const char *, const char *) {
    *file = nullptr;
    return ENOENT;
}

// The split the install needs: drive, then directory through the last
// separator. Name and extension are not asked for.
errno_t _wsplitpath_s(const wchar_t *path, wchar_t *drive, size_t driveCapacity, wchar_t *dir,
                      size_t dirCapacity, wchar_t *, size_t, wchar_t *, size_t) {
    const wchar_t *rest = path;
    if (drive && driveCapacity >= 3) {
        drive[0] = L'\0';
        if (path[0] && path[1] == L':') {
            drive[0] = path[0];
            drive[1] = L':';
            drive[2] = L'\0';
            rest = path + 2;
        }
    }
    const wchar_t *end = rest;
    for (const wchar_t *p = rest; *p; ++p)
        if (*p == L'\\' || *p == L'/') end = p + 1;
    const size_t length = static_cast<size_t>(end - rest);
    if (!dir || length >= dirCapacity) return ERANGE;
    wmemcpy(dir, rest, length);
    dir[length] = L'\0';
    return 0;
}

uintptr_t _beginthreadex(void *, unsigned, _beginthreadex_proc_type, void *, unsigned, unsigned *) {
    return 0;
}
void _endthreadex(unsigned) { pthread_exit(nullptr); }
DWORD WINAPI WaitForSingleObject(HANDLE, DWORD) { return WAIT_FAILED; }
BOOL WINAPI TerminateThread(HANDLE, DWORD) { return FALSE; }
BOOL WINAPI CloseHandle(HANDLE) { return TRUE; }

}  // extern "C"
