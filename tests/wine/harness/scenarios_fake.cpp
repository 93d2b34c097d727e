// Scenarios against the test network configuration server: install and
// uninstall with real INF copies and purges, a runtime already initialised,
// timed and retried operations with workers really terminated.
#include "harness.h"

#include <devguid.h>
#include <netcfgx.h>
#include <process.h>
#include <setupapi.h>
#include <stdio.h>

#include <string>

#include "setup/product.h"

namespace harness {
namespace {

const std::string kComponent = Narrow(ndisfilter::kComponentId);
constexpr BOOL kUnset = 7;  // flags start as neither 0 nor 1

std::string Joined(const std::vector<std::string> &calls) {
    std::string text;
    for (const std::string &call : calls) text += (text.empty() ? "" : ", ") + call;
    return text;
}

bool Installed() {
    for (const std::string &id : InstalledComponents())
        if (id == kComponent) return true;
    return false;
}

// The calls of one locked configuration, opened and closed.
const std::vector<std::string> kOpen = {"IClassFactory.CreateInstance", "INetCfg.QueryInterface",
                                        "INetCfgLock.AcquireWriteLock", "INetCfg.Initialize"};
const std::vector<std::string> kClose = {"INetCfg.Uninitialize", "INetCfg.QueryInterface",
                                         "INetCfgLock.ReleaseWriteLock"};

std::vector<std::string> Sequence(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> calls;
    for (const auto &part : parts) calls.insert(calls.end(), part.begin(), part.end());
    return calls;
}

void ExpectSequence(const std::vector<LogLine> &log, const std::vector<std::string> &expected) {
    const std::vector<std::string> calls = CallSequence(log);
    Expect(calls == expected, "calls received:\n        %s\n      expected:\n        %s",
           Joined(calls).c_str(), Joined(expected).c_str());
}

// ---- install

void InstallExplicitPath() {
    StartFakeScenario("install explicit", "");
    const std::wstring inf = StageInf(L"explicit");
    const std::wstring before = CurrentDirectory();
    Filter filter;
    BOOL restart = kUnset, cancelled = kUnset;
    Expect(filter->Install(inf.c_str(), &restart, &cancelled) == TRUE, "Install returns TRUE");
    Expect(restart == 0 && cancelled == 0, "flags cleared: restart %d, cancelled %d", restart,
           cancelled);
    Expect(CurrentDirectory() == before, "current directory untouched");
    // The platform keeps the INF under its own name, with a precompiled twin.
    Expect(ReadBytes(InfStore() + L"DorvaneV.inf") == TestInf(),
           "the INF copied into the store as DorvaneV.inf");
    Expect(FileExists(InfStore() + L"DorvaneV.pnf"), "the platform wrote DorvaneV.pnf");
    Expect(Installed(), "component recorded as installed");

    const auto log = ReadCallLog();
    ExpectSequence(log, Sequence({kOpen,
                                  {"INetCfg.QueryNetCfgClass", "INetCfgClassSetup.Install",
                                   "INetCfg.Apply", "INetCfg.Apply"},
                                  kClose}));
    const std::string create = FirstLineOf(log, "+");
    Expect(create.find("apartment=STA") != std::string::npos,
           "created in a single-threaded apartment: %s", create.c_str());
    Expect(FirstLineOf(log, "IClassFactory.CreateInstance").find("outer=0") != std::string::npos ||
               FirstLineOf(log, "IClassFactory.CreateInstance").find("outer=0000") !=
                   std::string::npos,
           "no outer object");
    const std::string lockRequest = "timeout=" + std::to_string(ndisfilter::kLockWaitMs) +
                                    " client=" + Narrow(ndisfilter::kLockClientDescription);
    Expect(FirstLineOf(log, "INetCfgLock.AcquireWriteLock").find(lockRequest) != std::string::npos,
           "write lock asked as %s: %s", lockRequest.c_str(),
           FirstLineOf(log, "INetCfgLock.AcquireWriteLock").c_str());
    Expect(FirstLineOf(log, "INetCfg.QueryNetCfgClass")
                   .find("class=NETSERVICE iid=INetCfgClassSetup") != std::string::npos,
           "network service class asked for INetCfgClassSetup");
    const std::string install = FirstLineOf(log, "INetCfgClassSetup.Install");
    Expect(install.find("id=ZQ_DorvaneV obo=1,") != std::string::npos &&
               install.find("flags=0 build=0") != std::string::npos &&
               install.find("out=null") != std::string::npos,
           "component install arguments: %s", install.c_str());
    Expect(ValueAfter(install, "answerfile") == 0 && ValueAfter(install, "sections") == 0,
           "no answer file or sections");
    ExpectCleanLog(log);
}

void InstallIntoOemNameAndPurge() {
    StartFakeScenario("install oem name", "");
    // A different INF already holds the name: the platform numbers our copy.
    const std::string otherInf =
        "; another INF of the same name\r\n[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n";
    WriteBytes(InfStore() + L"DorvaneV.inf", otherInf);
    const std::wstring inf = StageInf(L"explicit");
    Filter filter;
    BOOL restart = kUnset, cancelled = kUnset;
    Expect(filter->Install(inf.c_str(), &restart, &cancelled) == TRUE, "Install returns TRUE");
    Expect(ReadBytes(InfStore() + L"oem0.inf") == TestInf() && FileExists(InfStore() + L"oem0.pnf"),
           "the platform copied the INF as oem0.inf with oem0.pnf");

    Expect(filter->Uninstall(&restart) == TRUE && restart == 0,
           "Uninstall returns TRUE, restart 0");
    Expect(!FileExists(InfStore() + L"oem0.inf") && !FileExists(InfStore() + L"oem0.pnf"),
           "the purge deleted oem0.inf and its .pnf");
    Expect(ReadBytes(InfStore() + L"DorvaneV.inf") == otherInf, "the other INF is left alone");
    Expect(!Installed(), "component removed");
    ExpectCleanLog(ReadCallLog());
}

void InstallDefaultInf() {
    StartFakeScenario("install default INF", "");
    const std::wstring programDirectory = ProgramDirectory();
    WriteBytes(programDirectory + L"\\DorvaneV.inf", TestInf());
    wchar_t temp[MAX_PATH];
    GetWindowsDirectoryW(temp, MAX_PATH);
    const std::wstring elsewhere = std::wstring(temp) + L"\\temp";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    SetCurrentDirectoryW(elsewhere.c_str());

    Filter filter;
    BOOL restart = kUnset, cancelled = kUnset;
    Expect(filter->Install(nullptr, &restart, &cancelled) == TRUE && restart == 0 && cancelled == 0,
           "Install(no path) returns TRUE, flags 0");
    Expect(CurrentDirectory() == elsewhere, "current directory restored: %s",
           Narrow(CurrentDirectory()).c_str());
    Expect(ReadBytes(InfStore() + L"DorvaneV.inf") == TestInf(),
           "the INF beside the program was copied");
    const auto log = ReadCallLog();
    const std::string install = FirstLineOf(log, "INetCfgClassSetup.Install");
    Expect(install.find("cwd=" + Narrow(programDirectory)) != std::string::npos,
           "during the install the program's directory is current: %s", install.c_str());
    ExpectCleanLog(log);
    DeleteFileW((programDirectory + L"\\DorvaneV.inf").c_str());
}

void InstallMissingCatalog() {
    StartFakeScenario("install missing catalog", "");
    const std::wstring inf = StageInf(L"catalog", true);
    // The platform itself refuses the copy, with ERROR_FILE_NOT_FOUND.
    SetLastError(0);
    const BOOL copied =
        SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    Expect(!copied && error == ERROR_FILE_NOT_FOUND, "SetupCopyOEMInfW: %d, error %lu", copied,
           error);
    StartFakeScenario("install missing catalog", "");

    Filter filter;
    BOOL restart = kUnset, cancelled = kUnset;
    Expect(filter->Install(inf.c_str(), &restart, &cancelled) == FALSE && restart == 0 &&
               cancelled == 0,
           "Install returns FALSE, flags 0 (restart %d, cancelled %d)", restart, cancelled);
    Expect(!FileExists(InfStore() + L"DorvaneV.inf"), "nothing copied into the store");
    const auto log = ReadCallLog();
    ExpectSequence(log, Sequence({kOpen, kClose}));
    ExpectCleanLog(log);
}

// Answers of the component install and the applies, and what they make of it.
struct ApplyCase {
    const char *name;
    const char *directives;
    BOOL result, restart, cancelled;
    std::vector<std::string> calls;  // between open and close
    bool committed;
};

const std::vector<std::string> kAdd = {"INetCfg.QueryNetCfgClass", "INetCfgClassSetup.Install"};

// A restart any step asked for stays asked for once the install succeeds.
const ApplyCase kApplyCases[] = {
    {"install answers NETCFG_S_REBOOT, Apply S_OK: TRUE, restart 1",
     "answer INetCfgClassSetup.Install NETCFG_S_REBOOT\nanswer INetCfg.Apply S_OK\n", TRUE, 1, 0,
     Sequence({kAdd, {"INetCfg.Apply"}}), true},
    {"install answers NETCFG_S_REBOOT, Apply as documented: TRUE, restart 1",
     "answer INetCfgClassSetup.Install NETCFG_S_REBOOT\n", TRUE, 1, 0,
     Sequence({kAdd, {"INetCfg.Apply"}}), true},
    {"install answers NETCFG_S_REBOOT, Apply NETCFG_S_REBOOT: TRUE, restart 1",
     "answer INetCfgClassSetup.Install NETCFG_S_REBOOT\nanswer INetCfg.Apply NETCFG_S_REBOOT\n",
     TRUE, 1, 0, Sequence({kAdd, {"INetCfg.Apply"}}), true},
    {"install answers NETCFG_S_REBOOT, Apply fails: FALSE",
     "answer INetCfgClassSetup.Install NETCFG_S_REBOOT\nanswer INetCfg.Apply E_FAIL\n", FALSE, 0, 0,
     Sequence({kAdd, {"INetCfg.Apply"}}), false},
    {"Apply NETCFG_S_REBOOT then S_OK: TRUE, restart 1",
     "answer INetCfg.Apply NETCFG_S_REBOOT S_OK\n", TRUE, 1, 0,
     Sequence({kAdd, {"INetCfg.Apply", "INetCfg.Apply"}}), true},
    {"Apply S_OK then NETCFG_S_REBOOT: TRUE, restart 1",
     "answer INetCfg.Apply S_OK NETCFG_S_REBOOT\n", TRUE, 1, 0,
     Sequence({kAdd, {"INetCfg.Apply", "INetCfg.Apply"}}), true},
    {"first Apply fails: FALSE, no second Apply", "answer INetCfg.Apply E_FAIL\n", FALSE, 0, 0,
     Sequence({kAdd, {"INetCfg.Apply"}}), false},
    {"component install cancelled: FALSE, cancelled 1",
     "answer INetCfgClassSetup.Install CANCELLED\n", FALSE, 0, 1, kAdd, false},
    {"second Apply cancelled: FALSE, cancelled 1", "answer INetCfg.Apply S_OK CANCELLED\n", FALSE,
     0, 1, Sequence({kAdd, {"INetCfg.Apply", "INetCfg.Apply"}}), true},
    {"component install fails: FALSE, no Apply", "answer INetCfgClassSetup.Install E_FAIL\n", FALSE,
     0, 0, kAdd, false},
    {"class lookup fails: FALSE",
     "answer INetCfg.QueryNetCfgClass E_NOINTERFACE\n",
     FALSE,
     0,
     0,
     {"INetCfg.QueryNetCfgClass"},
     false},
};

void InstallApplySequences() {
    const std::wstring inf = StageInf(L"explicit");
    for (const ApplyCase &c : kApplyCases) {
        printf("    - %s\n", c.name);
        StartFakeScenario(c.name, c.directives);
        Filter filter;
        BOOL restart = kUnset, cancelled = kUnset;
        const BOOL result = filter->Install(inf.c_str(), &restart, &cancelled);
        Expect(result == c.result && restart == c.restart && cancelled == c.cancelled,
               "Install: %d, restart %d, cancelled %d (want %d, %d, %d)", result, restart,
               cancelled, c.result, c.restart, c.cancelled);
        Expect(Installed() == c.committed, "component %s",
               c.committed ? "installed" : "not installed");
        const auto log = ReadCallLog();
        ExpectSequence(log, Sequence({kOpen, c.calls, kClose}));
        ExpectCleanLog(log);
    }
}

void InstallOpenFailures() {
    const std::wstring inf = StageInf(L"explicit");
    const struct {
        const char *name, *directives;
        std::vector<std::string> calls;
    } kCases[] = {
        {"configuration object not created",
         "answer IClassFactory.CreateInstance E_FAIL\n",
         {"IClassFactory.CreateInstance"}},
        {"no lock interface",
         "answer INetCfg.QueryInterface E_NOINTERFACE\n",
         {"IClassFactory.CreateInstance", "INetCfg.QueryInterface"}},
        {"lock fails",
         "answer INetCfgLock.AcquireWriteLock E_FAIL\n",
         {"IClassFactory.CreateInstance", "INetCfg.QueryInterface",
          "INetCfgLock.AcquireWriteLock"}},
        {"Initialize fails: the lock is released", "answer INetCfg.Initialize E_FAIL\n",
         Sequence({kOpen, {"INetCfgLock.ReleaseWriteLock"}})},
    };
    for (const auto &c : kCases) {
        printf("    - %s\n", c.name);
        StartFakeScenario(c.name, c.directives);
        Filter filter;
        BOOL restart = kUnset, cancelled = kUnset;
        Expect(filter->Install(inf.c_str(), &restart, &cancelled) == FALSE && restart == 0 &&
                   cancelled == 0,
               "Install returns FALSE, flags 0");
        const auto log = ReadCallLog();
        ExpectSequence(log, c.calls);
        ExpectCleanLog(log);
    }
}

void ExpectLockedOut(const std::vector<LogLine> &log, DWORD elapsed) {
    Expect(elapsed >= 4900 && elapsed < 5000 + 2000, "gave up after %lu ms (about 5000)", elapsed);
    std::string held;
    for (const LogLine &line : log)
        if (line.call == "INetCfgLock.AcquireWriteLock" &&
            line.text.find("held by") != std::string::npos)
            held = line.text;
    const void *description = reinterpret_cast<const void *>(ValueAfter(held, "description"));
    Expect(description != nullptr, "the holder's description was handed out: %s", held.c_str());
    Expect(TaskMemFreed(description), "the holder's description was freed with CoTaskMemFree");
    Expect(CountCalls(log, "INetCfg.Initialize") == 0, "configuration never initialised");
    ExpectCleanLog(log);
}

void InstallLockHeld() {
    StartFakeScenario("install lock held", "lock-holder Other Installer\n");
    const std::wstring inf = StageInf(L"explicit");
    Filter filter;
    BOOL restart = kUnset, cancelled = kUnset;
    const DWORD started = GetTickCount();
    Expect(filter->Install(inf.c_str(), &restart, &cancelled) == FALSE && restart == 0 &&
               cancelled == 0,
           "Install returns FALSE, flags 0");
    ExpectLockedOut(ReadCallLog(), GetTickCount() - started);
}

// ---- uninstall and purge

void WriteOem(int n, const std::string &bytes) {
    WriteBytes(InfStore() + L"oem" + std::to_wstring(n) + L".inf", bytes);
}
bool OemExists(int n, const wchar_t *extension = L".inf") {
    return FileExists(InfStore() + L"oem" + std::to_wstring(n) + extension);
}

const std::string kMarkedInf = "; copy of the filter INF\r\n; DorvaneV.INF\r\n[Version]\r\n";

void UninstallRemovesAndPurges() {
    StartFakeScenario("uninstall", "", {kComponent});
    WriteOem(3, "; an unrelated INF\r\n[Version]\r\n");
    WriteOem(7, kMarkedInf);
    WriteBytes(InfStore() + L"oem7.PNF", "precompiled");
    WriteOem(12, kMarkedInf);
    WriteBytes(InfStore() + L"oem12.PNF", "precompiled");
    Filter filter;
    BOOL restart = kUnset;
    Expect(filter->Uninstall(&restart) == TRUE && restart == 0,
           "Uninstall returns TRUE, restart %d", restart);
    Expect(!Installed(), "component removed");
    Expect(!OemExists(7) && !OemExists(7, L".PNF"), "oem7.inf and oem7.PNF deleted");
    Expect(OemExists(3) && OemExists(12) && OemExists(12, L".PNF"),
           "oem3.inf, oem12.inf and oem12.PNF kept");

    const auto log = ReadCallLog();
    ExpectSequence(log, Sequence({kOpen,
                                  {"INetCfg.FindComponent", "INetCfgComponent.GetClassGuid",
                                   "INetCfg.QueryNetCfgClass", "INetCfgClass.QueryInterface",
                                   "INetCfgClassSetup.DeInstall", "INetCfg.Apply"},
                                  kClose}));
    Expect(FirstLineOf(log, "INetCfg.FindComponent").find("id=ZQ_DorvaneV") != std::string::npos,
           "looks for ZQ_DorvaneV");
    Expect(FirstLineOf(log, "INetCfg.QueryNetCfgClass").find("class=NETSERVICE iid=INetCfgClass") !=
               std::string::npos,
           "the component's class asked for INetCfgClass");
    const std::string deinstall = FirstLineOf(log, "INetCfgClassSetup.DeInstall");
    Expect(deinstall.find("id=ZQ_DorvaneV obo=1,") != std::string::npos &&
               ValueAfter(deinstall, "refs") == 0,
           "removal arguments: %s", deinstall.c_str());
    // Released in reverse order of acquisition: class setup and class, then the component.
    std::vector<std::string> destroyed;
    for (const LogLine &line : log)
        if (line.call == "-") destroyed.push_back(line.text.substr(2, line.text.find('#') - 2));
    Expect(destroyed == std::vector<std::string>{"INetCfgClass", "INetCfgComponent", "INetCfg"},
           "released in reverse order: %s", Joined(destroyed).c_str());
    ExpectCleanLog(log);
}

void UninstallAnswers() {
    const struct {
        const char *name, *directives;
        BOOL result, restart;
        bool applied;
    } kCases[] = {
        {"removal answers NETCFG_S_REBOOT, Apply S_OK: TRUE, restart 1",
         "answer INetCfgClassSetup.DeInstall NETCFG_S_REBOOT\nanswer INetCfg.Apply S_OK\n", TRUE,
         1, true},
        {"removal answers NETCFG_S_REBOOT, Apply as documented: TRUE, restart 1",
         "answer INetCfgClassSetup.DeInstall NETCFG_S_REBOOT\n", TRUE, 1, true},
        {"Apply answers NETCFG_S_REBOOT: TRUE, restart 1", "answer INetCfg.Apply NETCFG_S_REBOOT\n",
         TRUE, 1, true},
        {"removal fails: FALSE, no Apply", "answer INetCfgClassSetup.DeInstall E_FAIL\n", FALSE, 0,
         false},
        {"Apply fails: FALSE", "answer INetCfg.Apply E_FAIL\n", FALSE, 0, true},
        {"class of the component unknown: FALSE", "answer INetCfgComponent.GetClassGuid E_FAIL\n",
         FALSE, 0, false},
    };
    for (const auto &c : kCases) {
        printf("    - %s\n", c.name);
        StartFakeScenario(c.name, c.directives, {kComponent});
        WriteOem(4, kMarkedInf);
        Filter filter;
        BOOL restart = kUnset;
        const BOOL result = filter->Uninstall(&restart);
        Expect(result == c.result && restart == c.restart,
               "Uninstall: %d, restart %d (want %d, %d)", result, restart, c.result, c.restart);
        // The copy goes with the component only: after a failure that may
        // leave it installed it stays.
        Expect(OemExists(4) == !c.result, "the marked oem4.inf %s",
               c.result ? "purged" : "kept");
        Expect(Installed() == !c.result, "component %s", c.result ? "removed" : "still installed");
        const auto log = ReadCallLog();
        Expect((CountCalls(log, "INetCfg.Apply") == 1) == c.applied, "Apply %s",
               c.applied ? "called once" : "not called");
        ExpectCleanLog(log);
    }
}

void UninstallNotInstalledTwice() {
    StartFakeScenario("uninstall twice", "", {kComponent});
    WriteOem(7, kMarkedInf);
    WriteOem(12, kMarkedInf);
    Filter filter;
    BOOL restart = kUnset;
    Expect(filter->Uninstall(&restart) == TRUE, "first Uninstall returns TRUE");
    Expect(!OemExists(7) && OemExists(12), "first purge deleted oem7.inf only");
    restart = kUnset;
    Expect(filter->Uninstall(&restart) == FALSE && restart == 0,
           "second Uninstall: FALSE (not installed), restart 0");
    Expect(!OemExists(12), "second purge deleted the next copy, oem12.inf");
    const auto log = ReadCallLog();
    Expect(CountCalls(log, "INetCfg.FindComponent") == 2 &&
               CountCalls(log, "INetCfgClassSetup.DeInstall") == 1,
           "the second found nothing to remove");
    ExpectCleanLog(log);
}

void UninstallLockHeld() {
    StartFakeScenario("uninstall lock held", "lock-holder Other Installer\n", {kComponent});
    WriteOem(9, kMarkedInf);
    Filter filter;
    BOOL restart = kUnset;
    const DWORD started = GetTickCount();
    Expect(filter->Uninstall(&restart) == FALSE && restart == 0,
           "Uninstall returns FALSE, restart 0");
    const DWORD elapsed = GetTickCount() - started;
    Expect(OemExists(9), "oem9.inf kept: the component may still be installed");
    Expect(Installed(), "component still installed");
    ExpectLockedOut(ReadCallLog(), elapsed);
}

std::string Repeat(const std::string &text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

void PurgeReadsTextMode() {
    StartFakeScenario("purge text mode", "");
    const std::string marker = ndisfilter::kInfMarker;
    // 40 CRLF lines read as 240 bytes: the marker starts at 243 as read
    // (at 283 in the file), its last byte at 254.
    WriteOem(8, Repeat("; 345\r\n", 40) + "abc" + marker + "\r\n");
    // The same at 244 as read: its last byte falls on 255, which is cut.
    WriteOem(5, Repeat("; 345\r\n", 40) + "abcd" + marker + "\r\n");
    WriteOem(1, "; head\r\n\x1a" + marker + "\r\n");   // end of file before the marker
    WriteOem(2, "; dorvanev.inf\r\n");                 // other letter case
    WriteOem(3, std::string("; head\0", 7) + marker);  // a zero byte before it
    WriteOem(4, std::string("\xff\xfe"
                            "D\0o\0r\0v\0a\0n\0e\0V\0.\0I\0N\0F\0",
                            26));  // UTF-16
    WriteOem(50, kMarkedInf);      // beyond oem49
    Filter filter;
    BOOL restart = kUnset;
    filter->Uninstall(&restart);
    Expect(!OemExists(8), "oem8.inf (marker at 243 after CRLF became LF) deleted");
    for (int n : {1, 2, 3, 4, 5, 50}) Expect(OemExists(n), "oem%d.inf kept", n);
    filter->Uninstall(&restart);
    for (int n : {1, 2, 3, 4, 5, 50})
        Expect(OemExists(n), "oem%d.inf still kept after a second purge", n);
    ExpectCleanLog(ReadCallLog());
}

// ---- the test server itself, driven directly

// Two Applies after one change, straight from the server: the first commits
// it and asks for a restart only if its install or removal did; the second
// has nothing to commit.
void ServerApplyAnswers() {
    const struct {
        const char *name, *directives;
        bool removal;  // DeInstall an installed component, else Install it
        HRESULT first, second;
    } kCases[] = {
        {"install: S_OK, S_OK", "", false, S_OK, S_OK},
        {"install asked for a restart: NETCFG_S_REBOOT, S_OK",
         "answer INetCfgClassSetup.Install NETCFG_S_REBOOT\n", false, NETCFG_S_REBOOT, S_OK},
        {"removal asked for a restart: NETCFG_S_REBOOT, S_OK",
         "answer INetCfgClassSetup.DeInstall NETCFG_S_REBOOT\n", true, NETCFG_S_REBOOT, S_OK},
        {"scripted Apply answers win: S_OK, NETCFG_S_REBOOT",
         "answer INetCfgClassSetup.Install NETCFG_S_REBOOT\nanswer INetCfg.Apply S_OK "
         "NETCFG_S_REBOOT\n",
         false, S_OK, NETCFG_S_REBOOT},
    };
    for (const auto &c : kCases) {
        printf("    - %s\n", c.name);
        StartFakeScenario(c.name, c.directives,
                          c.removal ? std::vector<std::string>{kComponent} : std::vector<std::string>{});
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        INetCfg *config = nullptr;
        INetCfgLock *lock = nullptr;
        INetCfgClassSetup *setup = nullptr;
        INetCfgComponent *component = nullptr;
        LPWSTR holder = nullptr;
        OBO_TOKEN token = {};
        token.Type = OBO_USER;
        bool changed =
            CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                             reinterpret_cast<void **>(&config)) == S_OK &&
            config->QueryInterface(IID_INetCfgLock, reinterpret_cast<void **>(&lock)) == S_OK &&
            lock->AcquireWriteLock(ndisfilter::kLockWaitMs, L"harness", &holder) == S_OK &&
            config->Initialize(nullptr) == S_OK &&
            config->QueryNetCfgClass(&GUID_DEVCLASS_NETSERVICE, IID_INetCfgClassSetup,
                                     reinterpret_cast<void **>(&setup)) == S_OK;
        if (changed && c.removal)
            changed = config->FindComponent(ndisfilter::kComponentId, &component) == S_OK &&
                      SUCCEEDED(setup->DeInstall(component, &token, nullptr));
        else if (changed)
            changed = SUCCEEDED(
                setup->Install(ndisfilter::kComponentId, &token, 0, 0, nullptr, nullptr, nullptr));
        Expect(changed, "the change was made");
        if (changed) {
            const HRESULT first = config->Apply(), second = config->Apply();
            Expect(first == c.first && second == c.second,
                   "Apply answered 0x%08lX, then 0x%08lX (want 0x%08lX, 0x%08lX)", first, second,
                   c.first, c.second);
            Expect(Installed() == !c.removal, "the change was committed");
        }
        if (component) component->Release();
        if (setup) setup->Release();
        if (changed) {
            config->Uninitialize();
            lock->ReleaseWriteLock();
        }
        if (lock) lock->Release();
        if (config) config->Release();
        CoUninitialize();
        ExpectCleanLog(ReadCallLog());
    }
}

// ---- a runtime already initialised on the calling thread

struct ThreadResult {
    DWORD coinit;
    BOOL install, uninstall, restart, cancelled;
    HRESULT initHr, afterUninit;
};

unsigned __stdcall InitialisedThread(void *argument) {
    auto *result = static_cast<ThreadResult *>(argument);
    Filter filter;
    result->initHr = CoInitializeEx(nullptr, result->coinit);
    result->restart = result->cancelled = kUnset;
    result->install =
        filter->Install(StageInf(L"explicit").c_str(), &result->restart, &result->cancelled);
    BOOL restart = kUnset;
    result->uninstall = filter->Uninstall(&restart);
    CoUninitialize();
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    result->afterUninit = CoGetApartmentType(&type, &qualifier);
    return 0;
}

void RuntimeAlreadyInitialised() {
    const struct {
        const char *name;
        DWORD coinit;
    } kCases[] = {
        {"single-threaded apartment", COINIT_APARTMENTTHREADED},
        {"multi-threaded apartment", COINIT_MULTITHREADED},
    };
    for (const auto &c : kCases) {
        printf("    - %s\n", c.name);
        StartFakeScenario(c.name, "", {kComponent});
        WriteOem(6, kMarkedInf);
        ThreadResult result = {};
        result.coinit = c.coinit;
        const auto thread = reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, InitialisedThread, &result, 0, nullptr));
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        Expect(result.initHr == S_OK, "thread's own CoInitializeEx: 0x%08lx", result.initHr);
        Expect(result.install == FALSE && result.restart == 0 && result.cancelled == 0,
               "Install: FALSE, flags 0 (restart %d, cancelled %d)", result.restart,
               result.cancelled);
        Expect(result.uninstall == FALSE, "Uninstall: FALSE");
        Expect(OemExists(6), "oem6.inf kept: the open failed, the component may be installed");
        Expect(result.afterUninit == CO_E_NOTINITIALIZED,
               "after the thread's one CoUninitialize its runtime is gone (balanced): 0x%08lx",
               result.afterUninit);
        const auto log = ReadCallLog();
        Expect(CountCalls(log, "IClassFactory.CreateInstance") == 0,
               "the configuration was never created");
        Expect(Installed(), "component untouched");
    }
}

// ---- timed and retried operations

// The thread that hung in the server, and how it ended.
void ExpectWorkerTerminated(const std::vector<LogLine> &log) {
    HANDLE worker = nullptr;
    for (const LogLine &line : log)
        if (line.text.find(" hang thread=") != std::string::npos)
            worker = reinterpret_cast<HANDLE>(ValueAfter(line.text, "thread"));
    if (!Expect(worker != nullptr, "a worker hung in the server")) return;
    DWORD code = 0;
    Expect(WaitForSingleObject(worker, 2000) == WAIT_OBJECT_0 && GetExitCodeThread(worker, &code) &&
               code == 1,
           "the hung worker was terminated with exit code 1 (code %lu)", code);
    CloseHandle(worker);
}

void InstallTimeoutTerminatesWorker() {
    StartFakeScenario("install timeout", "answer INetCfg.Apply hang\n");
    const std::wstring inf = StageInf(L"explicit");
    Filter filter;
    BOOL timedOut = kUnset, restart = kUnset, cancelled = kUnset;
    const DWORD started = GetTickCount();
    const BOOL result =
        filter->InstallWithTimeout(inf.c_str(), 1000, &timedOut, &restart, &cancelled);
    const DWORD elapsed = GetTickCount() - started;
    Expect(result == FALSE && timedOut == 1, "InstallWithTimeout(1000 ms): %d, timed out %d",
           result, timedOut);
    Expect(elapsed >= 990 && elapsed < 1000 + 2000, "returned after %lu ms", elapsed);
    Expect(restart == 0 && cancelled == 0, "flags as the worker's Install left them (cleared)");
    const auto log = ReadCallLog();
    Expect(!log.empty() && log.front().thread != GetCurrentThreadId(),
           "the work ran on another thread");
    ExpectWorkerTerminated(log);
    ExpectCleanLog(log, false);  // the terminated worker's references are abandoned
}

void UninstallTimeoutStopsBeforePurge() {
    StartFakeScenario("uninstall timeout", "answer INetCfgClassSetup.DeInstall hang\n",
                      {kComponent});
    WriteOem(7, kMarkedInf);
    Filter filter;
    BOOL timedOut = kUnset, restart = kUnset;
    const BOOL result = filter->UninstallWithTimeout(1000, &timedOut, &restart);
    Expect(result == FALSE && timedOut == 1 && restart == 0,
           "UninstallWithTimeout(1000 ms): %d, timed out %d, restart %d", result, timedOut,
           restart);
    Expect(OemExists(7), "no purge: the worker was ended before it");
    ExpectWorkerTerminated(ReadCallLog());
}

void TimedDefaultInfKeepsDirectory() {
    StartFakeScenario("timed default INF", "answer INetCfg.Apply hang\n");
    WriteBytes(ProgramDirectory() + L"\\DorvaneV.inf", TestInf());
    const std::wstring before = CurrentDirectory();
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    SetCurrentDirectoryW(windows);
    Filter filter;
    BOOL timedOut = kUnset, restart = kUnset, cancelled = kUnset;
    Expect(filter->InstallWithTimeout(nullptr, 1000, &timedOut, &restart, &cancelled) == FALSE &&
               timedOut == 1,
           "InstallWithTimeout(no path, 1000 ms) timed out");
    Expect(CurrentDirectory() == ProgramDirectory(), "the program's directory is still current: %s",
           Narrow(CurrentDirectory()).c_str());
    ExpectWorkerTerminated(ReadCallLog());
    SetCurrentDirectoryW(before.c_str());
    DeleteFileW((ProgramDirectory() + L"\\DorvaneV.inf").c_str());
}

void InfiniteLimit() {
    StartFakeScenario("infinite", "answer INetCfg.Apply sleep:1500 default\n");
    const std::wstring inf = StageInf(L"explicit");
    Filter filter;
    BOOL timedOut = kUnset, restart = kUnset, cancelled = kUnset;
    const DWORD started = GetTickCount();
    const BOOL result =
        filter->InstallWithTimeout(inf.c_str(), INFINITE, &timedOut, &restart, &cancelled);
    Expect(result == TRUE && timedOut == 0 && restart == 0 && cancelled == 0,
           "InstallWithTimeout(INFINITE), a 1.5 s Apply: %d, timed out %d", result, timedOut);
    Expect(GetTickCount() - started >= 1500, "waited for the slow worker");
    timedOut = restart = kUnset;
    Expect(filter->UninstallWithTimeout(INFINITE, &timedOut, &restart) == TRUE && timedOut == 0 &&
               restart == 0,
           "UninstallWithTimeout(INFINITE): TRUE, timed out 0");
    const auto log = ReadCallLog();
    Expect(FirstLineOf(log, "+").find("apartment=STA") != std::string::npos,
           "the worker initialised its runtime");
    ExpectCleanLog(log);
}

void RetryFastPaths() {
    const std::wstring inf = StageInf(L"explicit");
    {
        printf("    - InstallWithRetry, component install fails: one attempt, no uninstall\n");
        StartFakeScenario("retry install fails", "answer INetCfgClassSetup.Install E_FAIL\n");
        Filter filter;
        BOOL restart = kUnset, cancelled = kUnset;
        Expect(filter->InstallWithRetry(inf.c_str(), &restart, &cancelled) == FALSE &&
                   restart == 0 && cancelled == 0,
               "InstallWithRetry: FALSE, flags 0");
        const auto log = ReadCallLog();
        Expect(CountCalls(log, "IClassFactory.CreateInstance") == 1 &&
                   CountCalls(log, "INetCfg.FindComponent") == 0,
               "one attempt, no uninstall: %s", Joined(CallSequence(log)).c_str());
        ExpectCleanLog(log);
    }
    {
        printf("    - InstallWithRetry, cancelled: FALSE, cancelled 1, one attempt\n");
        StartFakeScenario("retry install cancelled",
                          "answer INetCfgClassSetup.Install CANCELLED\n");
        Filter filter;
        BOOL restart = kUnset, cancelled = kUnset;
        Expect(
            filter->InstallWithRetry(inf.c_str(), &restart, &cancelled) == FALSE && cancelled == 1,
            "InstallWithRetry: FALSE, cancelled 1");
        Expect(CountCalls(ReadCallLog(), "IClassFactory.CreateInstance") == 1, "one attempt");
    }
    {
        printf("    - InstallWithRetry succeeds: TRUE with restart, one attempt\n");
        StartFakeScenario("retry install", "answer INetCfg.Apply S_OK NETCFG_S_REBOOT\n");
        Filter filter;
        BOOL restart = kUnset, cancelled = kUnset;
        Expect(filter->InstallWithRetry(inf.c_str(), &restart, &cancelled) == TRUE &&
                   restart == 1 && cancelled == 0,
               "InstallWithRetry: TRUE, restart 1");
        Expect(CountCalls(ReadCallLog(), "IClassFactory.CreateInstance") == 1 && Installed(),
               "one attempt, installed");
    }
    {
        printf("    - UninstallWithRetry, not installed: FALSE, one attempt\n");
        StartFakeScenario("retry uninstall absent", "");
        Filter filter;
        BOOL restart = kUnset;
        Expect(filter->UninstallWithRetry(&restart) == FALSE && restart == 0,
               "UninstallWithRetry: FALSE, restart 0");
        Expect(CountCalls(ReadCallLog(), "INetCfg.FindComponent") == 1, "one attempt");
    }
    {
        printf("    - UninstallWithRetry removes: TRUE, one attempt\n");
        StartFakeScenario("retry uninstall", "", {kComponent});
        Filter filter;
        BOOL restart = kUnset;
        Expect(filter->UninstallWithRetry(&restart) == TRUE && restart == 0 && !Installed(),
               "UninstallWithRetry: TRUE, removed");
        Expect(CountCalls(ReadCallLog(), "INetCfg.FindComponent") == 1, "one attempt");
    }
}

void RetryAfterTimeout() {
    // The first Apply never returns: after 120 s the worker is ended, an
    // uninstall runs (nothing was applied, so nothing to remove), and the
    // second install succeeds.
    StartFakeScenario("retry after timeout", "answer INetCfg.Apply hang default\n");
    const std::wstring inf = StageInf(L"explicit");
    Filter filter;
    BOOL restart = kUnset, cancelled = kUnset;
    const DWORD started = GetTickCount();
    const BOOL result = filter->InstallWithRetry(inf.c_str(), &restart, &cancelled);
    const DWORD elapsed = GetTickCount() - started;
    Expect(result == TRUE && restart == 0 && cancelled == 0,
           "InstallWithRetry: %d (want TRUE), restart %d, cancelled %d", result, restart,
           cancelled);
    Expect(elapsed >= 120000 && elapsed < 120000 + 15000,
           "took %lu ms (one 120 s limit and quick attempts)", elapsed);
    const auto log = ReadCallLog();
    Expect(CountCalls(log, "IClassFactory.CreateInstance") == 3 &&
               CountCalls(log, "INetCfgClassSetup.Install") == 2 &&
               CountCalls(log, "INetCfg.FindComponent") == 1,
           "install, uninstall, install: %s", Joined(CallSequence(log)).c_str());
    ExpectWorkerTerminated(log);
    Expect(Installed(), "component installed by the second attempt");
}

}  // namespace

const std::vector<Scenario> kFakeScenarios = {
    {"version resource read back with GetFileVersionInfoW", CheckVersionResource},
    {"install, explicit path: INF copied by the platform, applied twice", InstallExplicitPath},
    {"install, default INF beside the program: directory switched, restored", InstallDefaultInf},
    {"install, INF naming a missing catalog: copy refused, nothing installed",
     InstallMissingCatalog},
    {"install, answers of the component install and the applies", InstallApplySequences},
    {"install, locked configuration cannot be opened", InstallOpenFailures},
    {"install, write lock held by another client", InstallLockHeld},
    {"install as oem0.inf, then uninstall purges it", InstallIntoOemNameAndPurge},
    {"uninstall, installed: removed, applied, first marked copy purged", UninstallRemovesAndPurges},
    {"uninstall, answers of removal and apply; purge only once removed", UninstallAnswers},
    {"uninstall twice: second finds nothing, purges the next copy", UninstallNotInstalledTwice},
    {"uninstall, write lock held by another client: INF copy kept", UninstallLockHeld},
    {"test server's Apply answers NETCFG_S_REBOOT only for a change that needs it",
     ServerApplyAnswers},
    {"purge reads INF heads in text mode, oem0 to oem49 only", PurgeReadsTextMode},
    {"runtime already initialised on the calling thread", RuntimeAlreadyInitialised},
    {"InstallWithTimeout, worker hung in the server: terminated", InstallTimeoutTerminatesWorker},
    {"UninstallWithTimeout, worker hung in removal: terminated, no purge",
     UninstallTimeoutStopsBeforePurge},
    {"InstallWithTimeout, default INF, worker hung: directory stays switched",
     TimedDefaultInfKeepsDirectory},
    {"timed operations with INFINITE", InfiniteLimit},
    {"retried operations without a timeout: one attempt", RetryFastPaths},
    {"InstallWithRetry, first attempt hangs past 120 s: uninstall, install again",
     RetryAfterTimeout, true},
};

}  // namespace harness
