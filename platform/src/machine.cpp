// The machine itself: its one lock, the call gate every entry point passes
// (log, script, hang, termination), thread bookkeeping, and the test
// controls of sim/machine.h.
#include "machine_state.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

thread_local ThreadState *t_self = nullptr;
thread_local DWORD t_lastError = 0;

const char *const kCallNames[] = {
    "CoInitialize",
    "CoUninitialize",
    "CoCreateInstance",
    "CoTaskMemFree",
    "AddRef",
    "Release",
    "NetCfgQueryInterface",
    "NetCfgInitialize",
    "NetCfgUninitialize",
    "NetCfgApply",
    "NetCfgFindComponent",
    "NetCfgQueryNetCfgClass",
    "LockAcquireWriteLock",
    "LockReleaseWriteLock",
    "ClassQueryInterface",
    "ClassSetupInstall",
    "ClassSetupDeInstall",
    "ComponentGetClassGuid",
    "SetupCopyOEMInfW",
    "GetModuleFileNameW",
    "GetCurrentDirectoryW",
    "SetCurrentDirectoryW",
    "GetLastError",
    "GetWindowsDirectoryA",
    "DeleteFileA",
    "FopenS",
    "SplitPath",
    "BeginThread",
    "EndThread",
    "WaitForSingleObject",
    "TerminateThread",
    "CloseHandle",
    "SetupUninstallOEMInfW",
    "GetSystemWindowsDirectoryW",
    "FindFirstFileW",
    "FindNextFileW",
    "FindClose",
    "GetFileAttributesW",
    "CreateFileW",
    "ReadFile",
    "DeleteFileW",
    "OpenProcessToken",
    "GetTokenInformation",
    "IsWow64Process",
    "RegCreateKeyExW",
    "RegOpenKeyExW",
    "RegSetValueExW",
    "RegQueryValueExW",
    "RegDeleteValueW",
    "RegQueryInfoKeyW",
    "RegDeleteKeyExW",
    "RegCloseKey",
};
static_assert(sizeof kCallNames / sizeof kCallNames[0] == static_cast<size_t>(Call::Count),
              "one name per call");

constexpr const char *kStateFileName = "machine.txt";
constexpr const char *kStateFileHeader = "ndisfilter simulated machine 1";

std::optional<Answer> FindScriptLocked(Machine &m, Call call, int occurrence) {
    auto it = m.scripts.find({call, occurrence});
    if (it == m.scripts.end()) it = m.scripts.find({call, 0});
    if (it == m.scripts.end()) return std::nullopt;
    return it->second;
}

void ResetLocked(Machine &m, const std::string &root) {
    ++m.generation;
    m.root = root;
    while (m.root.size() > 1 && m.root.back() == '/') m.root.pop_back();
    m.executablePath = L"C:\\Program Files\\Host\\host.exe";
    m.currentDirectory = L"C:\\Users\\Test";
    m.windowsDirectory = "C:\\WINDOWS";
    m.failDeletes.clear();
    m.fileControls.clear();
    m.elevated = true;
    m.wow64 = false;
    m.stateRefused = false;
    m.components.clear();
    m.registry.clear();
    // Objects of the machine being replaced stay valid for whoever still
    // holds them; they answer RPC_E_DISCONNECTED and no longer count.
    m.lockConfig = nullptr;
    m.lockThread = nullptr;
    m.lockHeldByTest = false;
    m.lockDescription.clear();
    m.lockWaitLimits.clear();
    m.scripts.clear();
    m.callCounts.clear();
    m.log.clear();
    m.nextWait.reset();
    m.waitLimits.clear();
    m.infCopies.clear();
    m.runtimeInit.clear();
    m.threadsStarted = 0;
    m.threadsTerminated = 0;
    m.changed.notify_all();
}

// The folders a fresh machine has: its drive, Windows directory with the INF
// store, the executable's folder and the current directory.
void CreateStandardFoldersLocked(Machine &m) {
    MakeHostDirectories(m.root);
    if (m.windowsDirectory)
        MakeHostDirectories(HostPathLocked(Widen(*m.windowsDirectory) + L"\\inf"));
    if (m.executablePath) {
        const std::wstring exe = FullWindowsPathLocked(*m.executablePath);
        const size_t slash = exe.rfind(L'\\');
        if (slash != std::wstring::npos) MakeHostDirectories(HostPathLocked(exe.substr(0, slash)));
    }
    MakeHostDirectories(HostPathLocked(m.currentDirectory));
}

std::string StateFilePath(const Machine &m) { return m.root + "/" + kStateFileName; }

// One line per fact, tab-separated, UTF-8. A missing file is a fresh
// machine; a file with anything this layer does not write is refused (false,
// with the reason), not taken as empty.
bool LoadStateLocked(Machine &m, std::string *error) {
    std::ifstream in(StateFilePath(m));
    if (!in) return true;
    const auto refuse = [&](const std::string &why, int lineNumber) {
        if (error)
            *error = StateFilePath(m) + ":" + std::to_string(lineNumber) + ": " + why +
                     "; not a simulated machine this program wrote";
        m.components.clear();
        return false;
    };
    std::string line;
    if (!std::getline(in, line) || line != kStateFileHeader)
        return refuse("the first line is not \"" + std::string(kStateFileHeader) + "\"", 1);
    int lineNumber = 1;
    while (std::getline(in, line)) {
        ++lineNumber;
        const size_t tab = line.find('\t');
        const std::string key = line.substr(0, tab);
        const std::string value = tab == std::string::npos ? std::string() : line.substr(tab + 1);
        if (key == "executable") {
            m.executablePath = Widen(value);
        } else if (key == "executable-unavailable") {
            m.executablePath.reset();
        } else if (key == "current-directory") {
            m.currentDirectory = Widen(value);
        } else if (key == "windows-directory") {
            m.windowsDirectory = value;
        } else if (key == "windows-directory-unavailable") {
            m.windowsDirectory.reset();
        } else if (key == "not-elevated") {
            m.elevated = false;
        } else if (key == "wow64") {
            m.wow64 = true;
        } else if (key == "write-lock-holder") {
            m.lockHeldByTest = true;
            m.lockDescription = Widen(value);
        } else if (key == "read-only") {
            if (value.empty()) return refuse("a read-only line without a path", lineNumber);
            // Keyed as the file calls look it up: Windows paths are
            // case-insensitive.
            m.fileControls[Narrow(LowerCase(Widen(value)))].readOnly = true;
        } else if (key == "answer") {
            // <call name> <HRESULT> <error>: every call of it answers so.
            std::istringstream fields(value);
            std::string name;
            unsigned long hr = 0, win32 = 0;
            fields >> name >> std::hex >> hr >> std::dec >> win32;
            size_t call = 0;
            while (call < static_cast<size_t>(Call::Count) && name != kCallNames[call]) ++call;
            if (!fields || call == static_cast<size_t>(Call::Count))
                return refuse("an answer line without a known call", lineNumber);
            m.scripts[{static_cast<Call>(call), 0}] = {static_cast<HRESULT>(hr),
                                                       static_cast<DWORD>(win32), false};
        } else if (key == "component") {
            const size_t idTab = value.find('\t');
            GUID guid;
            if (idTab == std::string::npos || !ParseGuid(value.substr(0, idTab), &guid) ||
                idTab + 1 == value.size())
                return refuse("a component line without a class GUID and an id", lineNumber);
            m.components.push_back({Widen(value.substr(idTab + 1)), guid});
        } else {
            return refuse("unknown entry \"" + key + "\"", lineNumber);
        }
    }
    return true;
}

}  // namespace

Machine &TheMachine() {
    static Machine *machine = new Machine;
    return *machine;
}

const char *CallName(Call call) {
    const auto index = static_cast<size_t>(call);
    return index < static_cast<size_t>(Call::Count) ? kCallNames[index] : "?";
}

ThreadState *CurrentThreadLocked() {
    if (!t_self) {
        Machine &m = TheMachine();
        auto *state = new ThreadState;
        state->id = m.nextThreadId;
        m.nextThreadId += 4;
        state->generation = m.generation;
        m.threads[state->id] = state;
        t_self = state;
    }
    return t_self;
}

void SetCurrentThreadState(ThreadState *state) { t_self = state; }

[[noreturn]] void ParkForever() {
    // Touches nothing but the stack: static destructors may be running.
    for (;;) {
        timespec pause = {3600, 0};
        nanosleep(&pause, nullptr);
    }
}

void EndThreadLocked(ThreadState *thread, DWORD exitCode, bool terminated) {
    Machine &m = TheMachine();
    if (thread->ended) return;
    thread->ended = true;
    thread->exitCode = exitCode;
    thread->terminatePending = false;
    if (terminated) {
        thread->terminated = true;
        ++m.threadsTerminated;
    }
    m.changed.notify_all();
}

void EndIfTerminatedLocked(Lock &lock, ThreadState *self) {
    if (self->terminatePending) EndThreadLocked(self, self->pendingExitCode, true);
    if (!self->terminated) return;
    lock.unlock();
    ParkForever();
}

void CheckTermination() {
    LockedMachine m;
    EndIfTerminatedLocked(m.lock(), CurrentThreadLocked());
}

std::optional<Answer> Enter(Call call, const std::wstring &detail) {
    LockedMachine m;
    ThreadState *self = CurrentThreadLocked();
    EndIfTerminatedLocked(m.lock(), self);
    m->log.push_back({call, self->id, m->currentDirectory, detail});
    const int occurrence = ++m->callCounts[call];
    std::optional<Answer> answer = FindScriptLocked(*m, call, occurrence);
    if (!answer || !answer->hang) return answer;

    // Hung: wait, holding nothing, until released in this same machine. A
    // thread hung across a Reset stays hung until it is terminated.
    const uint64_t generation = m->generation;
    const uint64_t release = m->hangRelease;
    self->hungIn = generation;
    m->changed.notify_all();
    WaitLocked(m.lock(), self, std::nullopt,
               [&] { return m->hangRelease != release && m->generation == generation; });
    self->hungIn = 0;
    return std::nullopt;
}

void SetLastErrorQuiet(DWORD code) { t_lastError = code; }

}  // namespace sim

extern "C" DWORD WINAPI GetLastError(void) {
    if (auto answer = sim::Enter(sim::Call::GetLastError, L"")) return answer->win32Error;
    return sim::t_lastError;
}

extern "C" void WINAPI SetLastError(DWORD code) {
    sim::CheckTermination();
    sim::t_lastError = code;
}

namespace sim {

// --- The machine -------------------------------------------------------------

void Reset(const std::string &rootFolder) {
    LockedMachine m;
    ResetLocked(*m, rootFolder);
    ::unlink(StateFilePath(*m).c_str());
    CreateStandardFoldersLocked(*m);
}

std::string RootFolder() {
    LockedMachine m;
    return m->root;
}

bool OpenMachine(const std::string &rootFolder, std::string *error) {
    LockedMachine m;
    ResetLocked(*m, rootFolder);
    if (!LoadStateLocked(*m, error)) {
        m->stateRefused = true;
        return false;
    }
    CreateStandardFoldersLocked(*m);
    return true;
}

void SaveMachine() {
    LockedMachine m;
    if (m->stateRefused) return;  // never overwrite a file we could not read
    std::ostringstream out;
    out << kStateFileHeader << '\n';
    if (m->executablePath)
        out << "executable\t" << Narrow(*m->executablePath) << '\n';
    else
        out << "executable-unavailable\n";
    out << "current-directory\t" << Narrow(m->currentDirectory) << '\n';
    if (m->windowsDirectory)
        out << "windows-directory\t" << *m->windowsDirectory << '\n';
    else
        out << "windows-directory-unavailable\n";
    if (!m->elevated) out << "not-elevated\n";
    if (m->wow64) out << "wow64\n";
    if (m->lockHeldByTest) out << "write-lock-holder\t" << Narrow(m->lockDescription) << '\n';
    for (const auto &[path, control] : m->fileControls)
        if (control.readOnly) out << "read-only\t" << path << '\n';
    for (const auto &[key, answer] : m->scripts)
        if (key.occurrence == 0 && !answer.hang)
            out << "answer\t" << kCallNames[static_cast<size_t>(key.call)] << ' ' << std::hex
                << static_cast<uint32_t>(answer.hresult) << std::dec << ' '
                << answer.win32Error << '\n';
    for (const Component &c : m->components)
        out << "component\t" << Narrow(GuidText(c.classGuid)) << '\t' << Narrow(c.id) << '\n';
    // Written beside, then renamed: a crash never leaves half a machine.
    const std::string path = StateFilePath(*m);
    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << out.str();
        if (!file.flush()) return;
    }
    ::rename(temporary.c_str(), path.c_str());
}

std::string HostPath(const std::string &windowsPath) { return HostPath(Widen(windowsPath)); }

std::string HostPath(const std::wstring &windowsPath) {
    LockedMachine m;
    return HostPathLocked(windowsPath);
}

void SetExecutablePath(std::optional<std::wstring> path) {
    LockedMachine m;
    m->executablePath = std::move(path);
    if (m->executablePath) {
        const size_t slash = m->executablePath->rfind(L'\\');
        if (slash != std::wstring::npos)
            MakeHostDirectories(HostPathLocked(m->executablePath->substr(0, slash)));
    }
}

void SetCurrentDirectory(const std::wstring &path) {
    LockedMachine m;
    m->currentDirectory = path;
    MakeHostDirectories(HostPathLocked(path));
}

std::wstring CurrentDirectory() {
    LockedMachine m;
    return m->currentDirectory;
}

void SetWindowsDirectory(std::optional<std::string> text) {
    LockedMachine m;
    m->windowsDirectory = std::move(text);
    if (m->windowsDirectory)
        MakeHostDirectories(HostPathLocked(Widen(*m->windowsDirectory) + L"\\inf"));
}

void FailDelete(const std::string &windowsPath, DWORD error) {
    LockedMachine m;
    m->failDeletes[Narrow(LowerCase(FullWindowsPathLocked(Widen(windowsPath))))] = error;
}

bool ComponentInstalled(const std::wstring &id) {
    LockedMachine m;
    return std::any_of(m->components.begin(), m->components.end(),
                       [&](const Component &c) { return EqualNoCase(c.id, id); });
}

void AddInstalledComponent(const std::wstring &id, const GUID &classGuid) {
    LockedMachine m;
    for (Component &c : m->components) {
        if (EqualNoCase(c.id, id)) {
            c.classGuid = classGuid;
            return;
        }
    }
    m->components.push_back({id, classGuid});
}

std::vector<std::wstring> InstalledComponents() {
    LockedMachine m;
    std::vector<std::wstring> ids;
    for (const Component &c : m->components) ids.push_back(c.id);
    return ids;
}

void HoldWriteLock(const std::wstring &description) {
    LockedMachine m;
    m->lockConfig = nullptr;
    m->lockThread = nullptr;
    m->lockHeldByTest = true;
    m->lockDescription = description;
    m->changed.notify_all();
}

void ReleaseHeldWriteLock() {
    LockedMachine m;
    if (!m->lockHeldByTest) return;
    m->lockHeldByTest = false;
    m->lockDescription.clear();
    m->changed.notify_all();
}

bool WriteLockHeld() {
    LockedMachine m;
    return WriteLockHeldLocked(*m);
}

bool WriteLockAbandoned() {
    LockedMachine m;
    return AbandonedLockLocked(*m);
}

std::optional<std::wstring> WriteLockHolder() {
    LockedMachine m;
    if (!m->lockHeldByTest && !m->lockConfig) return std::nullopt;
    return m->lockDescription;
}

std::vector<DWORD> LockWaitLimits() {
    LockedMachine m;
    return m->lockWaitLimits;
}

// --- Scripting -----------------------------------------------------------------

void Script(Call call, Answer answer, int occurrence) {
    LockedMachine m;
    m->scripts[{call, occurrence < 0 ? 0 : occurrence}] = answer;
}

void ClearScripts() {
    LockedMachine m;
    m->scripts.clear();
    m->nextWait.reset();
}

void ReleaseHangs() {
    LockedMachine m;
    ++m->hangRelease;
    m->changed.notify_all();
}

namespace {
int HungThreadsLocked(const Machine &m) {
    int count = 0;
    for (const auto &[id, thread] : m.threads)
        if (thread->hungIn == m.generation && !thread->ended) ++count;
    return count;
}
}  // namespace

int HungThreads() {
    LockedMachine m;
    return HungThreadsLocked(*m);
}

bool WaitForHungThreads(int count, DWORD timeoutMs) {
    LockedMachine m;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return m->changed.wait_until(m.lock(), deadline,
                                 [&] { return HungThreadsLocked(*m) >= count; });
}

void ScriptNextWait(DWORD result) {
    LockedMachine m;
    m->nextWait = result;
}

std::vector<DWORD> WaitLimits() {
    LockedMachine m;
    return m->waitLimits;
}

// --- Observation ---------------------------------------------------------------

std::vector<CallRecord> CallLog() {
    LockedMachine m;
    return m->log;
}

int CallCount(Call call) {
    LockedMachine m;
    auto it = m->callCounts.find(call);
    return it == m->callCounts.end() ? 0 : it->second;
}

int LiveReferences(Iface iface) {
    LockedMachine m;
    return LiveReferencesLocked(iface, false);
}

int LiveReferences() {
    LockedMachine m;
    return LiveReferencesLocked(std::nullopt, false);
}

int OutstandingTaskMemBlocks() {
    LockedMachine m;
    return static_cast<int>(
        std::count_if(m->taskMem.begin(), m->taskMem.end(),
                      [&](const auto &block) { return block.second == m->generation; }));
}

int RuntimeInitCount() {
    LockedMachine m;
    auto it = m->runtimeInit.find(CurrentThreadLocked()->id);
    return it == m->runtimeInit.end() ? 0 : it->second;
}

int RuntimeInitCount(DWORD threadId) {
    LockedMachine m;
    auto it = m->runtimeInit.find(threadId);
    return it == m->runtimeInit.end() ? 0 : it->second;
}

int ThreadsStarted() {
    LockedMachine m;
    return m->threadsStarted;
}

int ThreadsTerminated() {
    LockedMachine m;
    return m->threadsTerminated;
}

int AbandonedInterfaceReferences() {
    LockedMachine m;
    return LiveReferencesLocked(std::nullopt, true);
}

int AbandonedRuntimeInitializations() {
    LockedMachine m;
    int count = 0;
    for (const auto &[id, inits] : m->runtimeInit) {
        auto thread = m->threads.find(id);
        if (thread != m->threads.end() && thread->second->terminated) count += inits;
    }
    return count;
}

int AbandonedReferences() {
    const int references = AbandonedInterfaceReferences();
    const int inits = AbandonedRuntimeInitializations();
    return references + inits + (WriteLockAbandoned() ? 1 : 0);
}

std::vector<InfCopyRequest> InfCopyRequests() {
    LockedMachine m;
    std::vector<InfCopyRequest> requests;
    for (const InfCopy &copy : m->infCopies) requests.push_back({copy.infPath, copy.mediaDir});
    return requests;
}

}  // namespace sim
