// Timed-call benchmark under Wine: the clock, order statistics, and the test
// server's state files and INF store it runs against.
#include "wine_bench.h"

#include "common/win_files.h"

#include <cguid.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>

namespace winebench {
namespace {

using winetest::ReadBytes;
using winetest::WriteBytes;

std::wstring InfStore() {
    wchar_t windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, length < MAX_PATH ? length : 0) + L"\\inf\\";
}

// The library recognises its copies by the INF's first line; so does this.
bool IsOurCopy(const std::wstring &path) {
    std::string head = ReadBytes(path, 256);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](char c) { return static_cast<char>(toupper(c)); });
    const size_t end = head.find('\n');
    return head.substr(0, end).find("DORVANEV.INF") != std::string::npos;
}

const char kPlaceholder[] =
    "; placeholder holding this file name in the INF store\r\n[Version]\r\nSignature=\"$Windows "
    "NT$\"\r\n";
bool g_placeholderCreated = false;

}  // namespace

LONGLONG CounterFrequency() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return frequency;
}

double TicksToMicroseconds(LONGLONG ticks) {
    return static_cast<double>(ticks) * 1e6 / static_cast<double>(CounterFrequency());
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

Summary Summarise(std::vector<double> values) {
    Summary summary;
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    summary.count = values.size();
    summary.median = Median(values);
    // Nearest rank: the smallest value that at least 90 % of the sample do not exceed.
    const auto rank = static_cast<size_t>(std::ceil(0.9 * static_cast<double>(values.size())));
    summary.p90 = values[rank - 1];
    summary.worst = values.back();
    return summary;
}

std::wstring Widen(const char *text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), size);
    return out;
}

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring text(path, length < MAX_PATH ? length : 0);
    return text.substr(0, text.rfind(L'\\'));
}

std::wstring StateDirectory() { return ProgramDirectory() + L"\\bench-state"; }

void PrepareStateDirectory() {
    CreateDirectoryW(StateDirectory().c_str(), nullptr);
    // The server is loaded into this process and reads its folder from here.
    SetEnvironmentVariableW(L"FAKE_NETCFG_DIR", StateDirectory().c_str());
}

// One object of the library, loaded with LoadLibraryW / GetProcAddress only.
INdisFilterHelper2 *NewFilter(const std::wstring &library) {
    const HMODULE module = LoadLibraryW(library.c_str());
    if (!module) {
        printf("cannot load %s (error %lu)\n", Narrow(library).c_str(), GetLastError());
        return nullptr;
    }
    const auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    void *out = nullptr;
    const HRESULT hr =
        getClassObject ? getClassObject(CLSID_NULL, IID_INdisFilterHelper2, &out) : E_NOINTERFACE;
    if (FAILED(hr) || !out) {
        printf("DllGetClassObject(IID_INdisFilterHelper2) = 0x%08lx\n",
               static_cast<unsigned long>(hr));
        return nullptr;
    }
    return static_cast<INdisFilterHelper2 *>(out);
}

void ClearCallLog() { DeleteFileW((StateDirectory() + L"\\calls.log").c_str()); }

void StartScenario(const char *name, const char *directives) {
    static int generation = 0;
    ClearCallLog();
    WriteBytes(StateDirectory() + L"\\components.txt", "");
    WriteBytes(StateDirectory() + L"\\scenario.txt",
               "scenario bench " + std::to_string(GetCurrentProcessId()) + "-" +
                   std::to_string(++generation) + " " + name + "\n" + directives);
}

HangReport CollectHungWorkers(DWORD expectedExitCode) {
    const std::string log = ReadBytes(StateDirectory() + L"\\calls.log", 64u << 20);
    HangReport report;
    static const char kKey[] = " hang thread=";
    for (size_t at = log.find(kKey); at != std::string::npos; at = log.find(kKey, at + 1)) {
        ++report.hung;
        // The server duplicated a handle to the hung thread into this process.
        const auto worker = reinterpret_cast<HANDLE>(
            static_cast<UINT_PTR>(strtoull(log.c_str() + at + strlen(kKey), nullptr, 16)));
        DWORD code = 0;
        if (worker && WaitForSingleObject(worker, 2000) == WAIT_OBJECT_0 &&
            GetExitCodeThread(worker, &code) && code == expectedExitCode)
            ++report.terminated;
        if (worker) CloseHandle(worker);
    }
    return report;
}

void PrepareInfStore() {
    const std::wstring store = InfStore();
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((store + L"oem*.inf").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring path = store + found.cFileName;
            if (!IsOurCopy(path)) continue;
            DeleteFileW(path.c_str());
            DeleteFileW((path.substr(0, path.size() - 4) + L".pnf").c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    const std::wstring ownName = store + L"DorvaneV.inf";
    if (GetFileAttributesW(ownName.c_str()) != INVALID_FILE_ATTRIBUTES && IsOurCopy(ownName)) {
        DeleteFileW(ownName.c_str());
        DeleteFileW((store + L"DorvaneV.pnf").c_str());
    }
    if (GetFileAttributesW(ownName.c_str()) == INVALID_FILE_ATTRIBUTES)
        g_placeholderCreated = WriteBytes(ownName, kPlaceholder);
}

void RestoreInfStore() {
    if (!g_placeholderCreated) return;
    const std::wstring store = InfStore();
    DeleteFileW((store + L"DorvaneV.inf").c_str());
    DeleteFileW((store + L"DorvaneV.pnf").c_str());
    g_placeholderCreated = false;
}

int CopiesInInfStore() {
    const std::wstring store = InfStore();
    int copies = 0;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((store + L"oem*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do copies += IsOurCopy(store + found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return copies;
}

}  // namespace winebench
