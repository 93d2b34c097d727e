// The floor of `ndisfilterctl status`: a program that makes the same
// platform reads and nothing else (create the network configuration, ask
// about the write lock, Initialize, FindComponent, Uninitialize, read the
// head of every oem*.inf in the INF store), printing one line. A benchmark
// program, not a test: scripts/bench-status-wine.sh runs it beside status.
#include <windows.h>
#include <objbase.h>
#include <initguid.h>
#include <netcfgx.h>

#include <cstdio>
#include <string>

int wmain() {
    int marked = 0;
    bool installed = false;
    if (SUCCEEDED(CoInitialize(nullptr))) {
        INetCfg *netCfg = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                       reinterpret_cast<void **>(&netCfg)))) {
            INetCfgLock *lock = nullptr;
            if (SUCCEEDED(
                    netCfg->QueryInterface(IID_INetCfgLock, reinterpret_cast<void **>(&lock)))) {
                LPWSTR holder = nullptr;
                lock->IsWriteLocked(&holder);
                CoTaskMemFree(holder);
                lock->Release();
            }
            if (SUCCEEDED(netCfg->Initialize(nullptr))) {
                INetCfgComponent *component = nullptr;
                installed = netCfg->FindComponent(L"ZQ_DorvaneV", &component) == S_OK;
                if (component) component->Release();
                netCfg->Uninitialize();
            }
            netCfg->Release();
        }
        CoUninitialize();
    }
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::wstring store = std::wstring(windows) + L"\\inf\\";
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((store + L"oem*.inf").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const HANDLE file =
                    CreateFileW((store + found.cFileName).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file == INVALID_HANDLE_VALUE) continue;
                char head[1024];
                DWORD read = 0;
                if (ReadFile(file, head, sizeof head, &read, nullptr) &&
                    std::string(head, read).find("DorvaneV.INF") != std::string::npos)
                    ++marked;
                CloseHandle(file);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    std::printf("installed %d, marked copies %d\n", installed ? 1 : 0, marked);
    return 0;
}
