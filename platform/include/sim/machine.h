// Test controls of the simulated Windows machine behind the host platform
// layer. The library never includes this header; tests, benchmarks and the
// host build of the command-line tool do.
#pragma once

#include <windows.h>
#include <netcfgx.h>

#include <optional>
#include <string>
#include <vector>

namespace sim {

// Every platform entry point the library reaches. Each call is logged, can be
// scripted to answer differently, and can be made to hang.
enum class Call {
    CoInitialize,
    CoUninitialize,
    CoCreateInstance,
    CoTaskMemFree,
    AddRef,                // any simulated interface
    Release,               // any simulated interface
    NetCfgQueryInterface,  // INetCfg::QueryInterface
    NetCfgInitialize,
    NetCfgUninitialize,
    NetCfgApply,
    NetCfgFindComponent,
    NetCfgQueryNetCfgClass,
    LockAcquireWriteLock,
    LockReleaseWriteLock,
    ClassQueryInterface,  // INetCfgClass::QueryInterface
    ClassSetupInstall,
    ClassSetupDeInstall,
    ComponentGetClassGuid,
    SetupCopyOEMInfW,
    GetModuleFileNameW,
    GetCurrentDirectoryW,
    SetCurrentDirectoryW,
    GetLastError,
    GetWindowsDirectoryA,
    DeleteFileA,
    FopenS,
    SplitPath,  // _wsplitpath_s
    BeginThread,
    EndThread,
    WaitForSingleObject,
    TerminateThread,
    CloseHandle,
    SetupUninstallOEMInfW,
    GetSystemWindowsDirectoryW,
    FindFirstFileW,
    FindNextFileW,
    FindClose,
    GetFileAttributesW,
    CreateFileW,
    ReadFile,
    DeleteFileW,
    OpenProcessToken,
    GetTokenInformation,
    IsWow64Process,
    RegCreateKeyExW,
    RegOpenKeyExW,
    RegSetValueExW,
    RegQueryValueExW,
    RegDeleteValueW,
    RegQueryInfoKeyW,
    RegDeleteKeyExW,
    RegCloseKey,
    Count
};
const char *CallName(Call call);

// Interface kinds whose live references are counted.
enum class Iface { NetCfg, NetCfgLock, NetCfgClass, NetCfgClassSetup, NetCfgComponent, Count };

// A scripted answer for one call.
//  - HRESULT calls answer `hresult`. A success code (S_OK, S_FALSE,
//    NETCFG_S_REBOOT) still does the call's work and then answers the code,
//    except where the code itself means "did not" (S_FALSE from
//    AcquireWriteLock or FindComponent, which then behave as "held by
//    another"/"absent"); a failure code does nothing and clears outputs.
//  - BOOL/DWORD calls (SetupCopyOEMInfW, GetModuleFileNameW, ...) fail: they
//    answer their failure value and set the thread's last error to
//    `win32Error`. BeginThread fails by returning 0.
//  - `hang` blocks the calling thread inside the call until ReleaseHangs() or
//    until the thread is terminated.
struct Answer {
    HRESULT hresult = E_FAIL;
    DWORD win32Error = ERROR_GEN_FAILURE;
    bool hang = false;

    static Answer Hr(HRESULT hr) { return Answer{hr, ERROR_GEN_FAILURE, false}; }
    static Answer Win32(DWORD error) { return Answer{E_FAIL, error, false}; }
    static Answer Hang() { return Answer{E_FAIL, ERROR_GEN_FAILURE, true}; }
};

// --- The machine -----------------------------------------------------------

// Starts a fresh machine rooted at a real folder (created if missing): no
// components, lock free, no scripts, counters at zero, log empty, executable
// "C:\Program Files\Host\host.exe", current directory "C:\Users\Test",
// Windows directory "C:\WINDOWS". Windows paths map onto the root as
// "<root>/<drive letter>/<rest with / for \>". Threads and objects that a
// terminated worker abandoned stay abandoned (never freed, never run again).
void Reset(const std::string &rootFolder);
std::string RootFolder();
// A machine that persists between processes (the command-line host's
// simulated machine): like Reset, but keeps what an earlier process left in
// the folder (installed components, INF store, executable path, current
// directory, elevation, WOW64, a write lock another client holds, files
// marked read-only, scripts that answer every call of one (occurrence 0,
// no hang)), and
// SaveMachine writes the state back. A state file that is not one this
// layer wrote is refused: false, with the reason in *error, and the machine
// is left empty (rooted in the folder) so that nothing overwrites the file.
bool OpenMachine(const std::string &rootFolder, std::string *error = nullptr);
void SaveMachine();
// The real file behind a Windows path ("C:\WINDOWS\inf\oem0.inf").
std::string HostPath(const std::string &windowsPath);
std::string HostPath(const std::wstring &windowsPath);

// Executable path answered by GetModuleFileNameW(NULL, ...); nullopt makes it
// fail (answer 0, last error ERROR_GEN_FAILURE).
void SetExecutablePath(std::optional<std::wstring> path);
void SetCurrentDirectory(const std::wstring &path);
std::wstring CurrentDirectory();
// Text answered by GetWindowsDirectoryA; nullopt makes it fail (answer 0).
void SetWindowsDirectory(std::optional<std::string> text);
// DeleteFileA of exactly this Windows path fails with the given error.
void FailDelete(const std::string &windowsPath, DWORD error = ERROR_ACCESS_DENIED);

// Another process holding a file open, sharing only what `share` says
// (FILE_SHARE_READ, FILE_SHARE_DELETE, ...): opening it for reading fails
// with ERROR_SHARING_VIOLATION without FILE_SHARE_READ, deleting it without
// FILE_SHARE_DELETE. Until ReleaseHeldFile.
void HoldFileOpen(const std::string &windowsPath, DWORD share = 0);
void ReleaseHeldFile(const std::string &windowsPath);
// The read-only attribute: deleting the file fails with ERROR_ACCESS_DENIED.
void SetReadOnly(const std::string &windowsPath, bool readOnly = true);
// File and listing handles (CreateFileW, FindFirstFileW) open now.
int OpenFileHandles();
// The process: whether its token is elevated (default yes), and whether it
// is a 32-bit process under WOW64 on 64-bit Windows (default no).
void SetElevated(bool elevated);
void SetWow64(bool wow64);
// Token handles OpenProcessToken gave out and that were not closed yet.
int OpenTokenHandles();

// The registry (HKEY_LOCAL_MACHINE only, in memory, not kept by
// SaveMachine): a DWORD value, absent as nullopt. `view` is KEY_WOW64_64KEY
// or KEY_WOW64_32KEY: where a 32-bit process under WOW64 finds SOFTWARE
// without a view flag, its 32-bit view.
std::optional<DWORD> RegistryDword(const std::wstring &key, const std::wstring &value,
                                   DWORD view = 0x0100);
void SetRegistryDword(const std::wstring &key, const std::wstring &value, DWORD data,
                      DWORD view = 0x0100);
// Keys open now (RegCreateKeyExW, RegOpenKeyExW, not closed yet).
int OpenRegistryKeys();

// Installed network components (committed by Apply), case-insensitive ids.
bool ComponentInstalled(const std::wstring &id);
void AddInstalledComponent(const std::wstring &id, const GUID &classGuid);
std::vector<std::wstring> InstalledComponents();

// Another client holding the configuration write lock.
void HoldWriteLock(const std::wstring &description);
void ReleaseHeldWriteLock();
bool WriteLockHeld();       // by anyone, abandoned holders excluded
bool WriteLockAbandoned();  // held by a thread that was terminated
std::optional<std::wstring> WriteLockHolder();
std::vector<DWORD> LockWaitLimits();  // timeouts given to AcquireWriteLock

// --- Scripting ---------------------------------------------------------------

// The occurrence-th call (1-based, counted since Reset) of `call` gives
// `answer`; occurrence 0 means every call.
void Script(Call call, Answer answer, int occurrence = 1);
void ClearScripts();
// Wake every thread hung in a call; hung calls then proceed normally.
void ReleaseHangs();
int HungThreads();
// Blocks until at least `count` threads are hung (or the time passes).
bool WaitForHungThreads(int count, DWORD timeoutMs);

// The next WaitForSingleObject answers `result` at once instead of waiting.
void ScriptNextWait(DWORD result);
std::vector<DWORD> WaitLimits();  // every limit given to WaitForSingleObject

// --- Observation -------------------------------------------------------------

// `detail` holds the arguments worth seeing:
//   SetupCopyOEMInfW        "<inf path>" "<media dir>" <media type> <copy style>
//   LockAcquireWriteLock    <ms> <client description>
//   NetCfgFindComponent, ClassSetupInstall, ClassSetupDeInstall,
//   ComponentGetClassGuid   the component id
//   NetCfgQueryNetCfgClass  {class guid} {iid}     (registry form, upper case)
//   NetCfgQueryInterface, ClassQueryInterface      {iid}
//   CoCreateInstance        {clsid} {iid}
//   AddRef, Release         the interface's name ("INetCfgLock", ...)
//   DeleteFileA, SetCurrentDirectoryW, SplitPath   the path
//   DeleteFileW, GetFileAttributesW, FindFirstFileW the path (pattern)
//   CreateFileW             <path>|<access> <share> <disposition> <flags> (hex)
//   SetupUninstallOEMInfW   <name> <flags>
//   RegCreateKeyExW, RegOpenKeyExW, RegDeleteKeyExW  <key> <access> (hex);
//   RegSetValueExW, RegQueryValueExW, RegDeleteValueW  the value's name
//   ReadFile                the byte count asked for
//   FopenS                  <path>|<mode>
//   GetModuleFileNameW, GetCurrentDirectoryW, GetWindowsDirectoryA: capacity
//   WaitForSingleObject     the limit in ms; TerminateThread, EndThread: the
//   exit code; CoTaskMemFree: the block's address; others: empty.
// A null text argument reads "(null)".
struct CallRecord {
    Call call;
    DWORD threadId;
    std::wstring currentDirectory;  // process current directory at the call
    std::wstring detail;            // arguments worth seeing (paths, ids, codes)
};
std::vector<CallRecord> CallLog();
int CallCount(Call call);

int LiveReferences(Iface iface);
int LiveReferences();  // all interfaces
int OutstandingTaskMemBlocks();
int RuntimeInitCount();  // the calling thread
int RuntimeInitCount(DWORD threadId);
int ThreadsStarted();
int ThreadsTerminated();
// References, runtime initialisations and locks held by terminated threads
// (their sum; the write lock counts 1).
int AbandonedReferences();
// The parts of that sum: interface references, and runtime initialisations.
int AbandonedInterfaceReferences();
int AbandonedRuntimeInitializations();

// Every SetupCopyOEMInfW request since Reset: the INF path and the source
// media directory as the caller gave them.
struct InfCopyRequest {
    std::wstring infPath;
    std::wstring mediaDir;
};
std::vector<InfCopyRequest> InfCopyRequests();

}  // namespace sim
