// Install: which INF reaches the platform and from which current directory,
// the path limits, the INF copy's error mapping, and the outcome of every
// step of the apply sequence. After every path: no reference, the lock free,
// the thread's runtime count as it was, no task-memory block.
#include "setup/install.h"

#include <sim/machine.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "setup/locked_netcfg.h"
#include "setup/product.h"
#include "sim_fixture.h"

namespace {

using sim::Answer;
using sim::Call;

constexpr HRESULT kCancelledHr = static_cast<HRESULT>(0x800704C7);
const std::wstring kExeDirectory = L"C:\\Program Files\\Host";
const std::wstring kStartDirectory = L"C:\\Users\\Test";
const std::wstring kDriverInf = L"D:\\drivers\\pkg\\DorvaneV.inf";

// "\seg\seg...\" of exactly `length` characters (segments kept short for the
// host's file system).
std::wstring DirectoryPart(size_t length) {
    std::wstring dir = L"\\";
    while (dir.size() < length) {
        const size_t remaining = length - dir.size();
        size_t segment = std::min<size_t>(40, remaining - 1);
        if (remaining - (segment + 1) == 1)
            --segment;  // never leave room for an empty segment only
        dir += std::wstring(segment, static_cast<wchar_t>(L'a' + dir.size() % 26)) + L"\\";
    }
    return dir;
}

struct Outcome {
    BOOL result, restart, cancelled;
    bool operator==(const Outcome &) const = default;
};
std::ostream &operator<<(std::ostream &out, const Outcome &o) {
    return out << "{result " << o.result << ", restart " << o.restart << ", cancelled "
               << o.cancelled << "}";
}
constexpr Outcome kSucceeded = {TRUE, FALSE, FALSE};
constexpr Outcome kRestart = {TRUE, TRUE, FALSE};
constexpr Outcome kFailed = {FALSE, FALSE, FALSE};
constexpr Outcome kCancelled = {FALSE, FALSE, TRUE};

Outcome RunInstall(LPCWSTR inf) {
    BOOL restart = 7, cancelled = 7;  // Install clears both first
    const BOOL result = ndisfilter::Install(inf, &restart, &cancelled);
    return {result, restart, cancelled};
}

// The log without path splitting, which is the runtime library's own work.
std::vector<Call> Calls() {
    std::vector<Call> calls;
    for (const sim::CallRecord &record : sim::CallLog())
        if (record.call != Call::SplitPath) calls.push_back(record.call);
    return calls;
}

std::vector<sim::CallRecord> RecordsOf(Call call) {
    std::vector<sim::CallRecord> records;
    for (const sim::CallRecord &record : sim::CallLog())
        if (record.call == call) records.push_back(record);
    return records;
}

class InstallTest : public SimMachineTest {
protected:
    void SetUp() override {
        SimMachineTest::SetUp();
        root_ = sim::RootFolder();
    }
    // A fresh machine for one case of a table.
    void FreshMachine(int index) { sim::Reset(root_ + "/case" + std::to_string(index)); }

    static void MakeDirectory(const std::wstring &windowsPath) {
        std::filesystem::create_directories(sim::HostPath(windowsPath));
    }

    static void WriteInf(const std::wstring &windowsPath) {
        const std::filesystem::path file = sim::HostPath(windowsPath);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n";
    }

    static void ExpectNothingHeld(int runtimeCount = 0) {
        EXPECT_EQ(0, sim::LiveReferences());
        EXPECT_FALSE(sim::WriteLockHeld());
        EXPECT_EQ(runtimeCount, sim::RuntimeInitCount());
        EXPECT_EQ(0, sim::OutstandingTaskMemBlocks());
    }

    // The write lock is free for the next client.
    static void ExpectLockCanBeTakenAgain() {
        sim::ClearScripts();
        INetCfg *config = nullptr;
        LPWSTR holder = nullptr;
        ASSERT_EQ(S_OK, ndisfilter::OpenLockedNetConfig(&config, &holder));
        ndisfilter::CloseLockedNetConfig(config);
        ExpectNothingHeld();
    }

    // The one INF copy: the path and source-media directory it was given.
    static void ExpectInfCopied(const std::wstring &inf, const std::wstring &mediaDirectory) {
        const std::vector<sim::CallRecord> copies = RecordsOf(Call::SetupCopyOEMInfW);
        ASSERT_EQ(1u, copies.size());
        // Path, source-media directory, SPOST_PATH, copy style 0.
        EXPECT_EQ(L"\"" + inf + L"\" \"" + mediaDirectory + L"\" 1 0", copies[0].detail);
    }

    std::string root_;
};

TEST_F(InstallTest, DefaultInfIsBesideTheExecutableWhichIsCurrentMeanwhile) {
    const std::wstring inf = kExeDirectory + L"\\DorvaneV.inf";
    const struct Case {
        const char *name;
        bool infPresent;
        Call failing;  // Call::Count: nothing scripted
        Outcome outcome;
    } cases[] = {
        {"installs", true, Call::Count, kSucceeded},
        {"INF missing", false, Call::Count, kFailed},
        {"Apply fails", true, Call::NetCfgApply, kFailed},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine(index++);
        MakeDirectory(kExeDirectory);
        if (c.infPresent) WriteInf(inf);
        if (c.failing != Call::Count) sim::Script(c.failing, Answer::Hr(E_FAIL));

        EXPECT_EQ(c.outcome, RunInstall(nullptr));
        ExpectInfCopied(inf, kExeDirectory + L"\\");
        // The executable's directory is made current before the first
        // configuration call and the previous one restored after the last.
        const std::vector<sim::CallRecord> log = sim::CallLog();
        const std::vector<sim::CallRecord> switches = RecordsOf(Call::SetCurrentDirectoryW);
        ASSERT_EQ(2u, switches.size());
        EXPECT_EQ(kExeDirectory, switches[0].detail);
        EXPECT_EQ(kStartDirectory, switches[1].detail);
        EXPECT_EQ(Call::GetModuleFileNameW, log.front().call);
        EXPECT_EQ(Call::SetCurrentDirectoryW, log.back().call);
        bool switched = false;
        for (size_t i = 0; i + 1 < log.size(); ++i) {
            if (log[i].call == Call::CoInitialize) {
                EXPECT_TRUE(switched) << "configuration opened before the switch";
            }
            if (switched) {
                EXPECT_EQ(kExeDirectory, log[i].currentDirectory) << sim::CallName(log[i].call);
            }
            switched = switched || log[i].call == Call::SetCurrentDirectoryW;
        }
        EXPECT_EQ(kStartDirectory, sim::CurrentDirectory());
        EXPECT_EQ(c.outcome.result != FALSE, sim::ComponentInstalled(ndisfilter::kComponentId));
        ExpectNothingHeld();
    }
}

TEST_F(InstallTest, ExplicitInfNeverTouchesTheCurrentDirectory) {
    WriteInf(kDriverInf);
    EXPECT_EQ(kSucceeded, RunInstall(kDriverInf.c_str()));
    ExpectInfCopied(kDriverInf, L"D:\\drivers\\pkg\\");
    EXPECT_TRUE(sim::ComponentInstalled(ndisfilter::kComponentId));
    EXPECT_TRUE(
        std::filesystem::exists(sim::HostPath(std::wstring(L"C:\\WINDOWS\\inf\\oem0.inf"))));
    for (const sim::CallRecord &record : sim::CallLog()) {
        EXPECT_NE(Call::GetModuleFileNameW, record.call);
        EXPECT_NE(Call::GetCurrentDirectoryW, record.call);
        EXPECT_NE(Call::SetCurrentDirectoryW, record.call);
        EXPECT_EQ(kStartDirectory, record.currentDirectory);
    }
    ExpectNothingHeld();
}

TEST_F(InstallTest, PathsThatDoNotFitFailBeforeAnyConfigurationCall) {
    // An executable directory whose "\DorvaneV.inf" path is exactly 259
    // characters, and one a character longer.
    const std::wstring exeDir246 = L"C:" + DirectoryPart(245).substr(0, 244);
    const std::wstring exeDir247 = L"C:" + DirectoryPart(246).substr(0, 245);
    const std::wstring exeDir200 = L"C:" + DirectoryPart(199).substr(0, 198);
    const std::wstring longCurrent259 = L"E:" + DirectoryPart(258).substr(0, 257);  // saved whole
    const std::wstring longCurrent260 =
        L"E:" + DirectoryPart(259).substr(0, 258);  // cannot be saved whole
    const std::wstring defaultHostExe = kExeDirectory + L"\\host.exe";
    const std::wstring explicit259 = L"D:" + DirectoryPart(255) + L"ab";
    const std::wstring explicit260 = L"D:" + DirectoryPart(255) + L"abc";
    const std::wstring dirPart256 = L"D:" + DirectoryPart(256) + L"a";  // 259 characters

    const struct Case {
        const char *name;
        std::optional<std::wstring> exePath;
        std::wstring currentDirectory;
        std::optional<std::wstring> inf;  // nullopt: the default INF
        std::wstring expectedInf;         // empty: no INF copy may be attempted
        std::vector<Call> callsBeforeRefusal;
    } cases[] = {
        {"explicit, 259 characters", defaultHostExe, kStartDirectory, explicit259, explicit259, {}},
        {"explicit, 260 characters", defaultHostExe, kStartDirectory, explicit260, L"", {}},
        {"explicit, directory part 256", defaultHostExe, kStartDirectory, dirPart256, L"", {}},
        {"default, 259 characters",
         exeDir246 + L"\\" + std::wstring(12, L'h'),
         kStartDirectory,
         std::nullopt,
         exeDir246 + L"\\DorvaneV.inf",
         {}},
        {"default, 260 characters",
         exeDir247 + L"\\h.exe",
         kStartDirectory,
         std::nullopt,
         L"",
         {Call::GetModuleFileNameW}},
        // Executable paths whose truncated text would still name a usable
        // directory.
        {"executable path 260",
         exeDir200 + L"\\" + std::wstring(59, L'x'),
         kStartDirectory,
         std::nullopt,
         L"",
         {Call::GetModuleFileNameW}},
        {"executable path 400",
         exeDir200 + L"\\" + std::wstring(199, L'x'),
         kStartDirectory,
         std::nullopt,
         L"",
         {Call::GetModuleFileNameW}},
        {"executable path unavailable",
         std::nullopt,
         kStartDirectory,
         std::nullopt,
         L"",
         {Call::GetModuleFileNameW}},
        {"executable without backslash",
         L"host.exe",
         kStartDirectory,
         std::nullopt,
         L"",
         {Call::GetModuleFileNameW}},
        {"current directory 259",
         defaultHostExe,
         longCurrent259,
         std::nullopt,
         kExeDirectory + L"\\DorvaneV.inf",
         {}},
        {"current directory 260",
         defaultHostExe,
         longCurrent260,
         std::nullopt,
         L"",
         {Call::GetModuleFileNameW, Call::GetCurrentDirectoryW}},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine(index++);
        sim::SetExecutablePath(c.exePath);
        MakeDirectory(c.currentDirectory);
        sim::SetCurrentDirectory(c.currentDirectory);
        const bool accepted = !c.expectedInf.empty();
        if (accepted) WriteInf(c.expectedInf);

        const Outcome outcome = RunInstall(c.inf ? c.inf->c_str() : nullptr);
        if (accepted) {
            EXPECT_EQ(kSucceeded, outcome);
            const std::wstring &inf = c.expectedInf;
            ExpectInfCopied(inf, inf.substr(0, inf.rfind(L'\\') + 1));
        } else {
            EXPECT_EQ(kFailed, outcome);
            EXPECT_EQ(c.callsBeforeRefusal, Calls());
        }
        EXPECT_EQ(c.currentDirectory, sim::CurrentDirectory());
        ExpectNothingHeld();
    }
}

TEST_F(InstallTest, InfCopyFailureStopsTheInstallUnlessTheLastErrorIsZero) {
    const struct Case {
        const char *name;
        std::optional<DWORD> lastError;  // nullopt: the INF is missing
        Outcome outcome;
    } cases[] = {
        {"missing INF", std::nullopt, kFailed},
        {"ERROR_CANCELLED", ERROR_CANCELLED, kCancelled},
        {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED, kFailed},
        {"last error 0", 0, kSucceeded},
        // Codes with the top bit set are HRESULTs already; positive codes
        // keep only their low 16 bits.
        {"0x800704C7", 0x800704C7u, kCancelled},
        {"0x800004C7", 0x800004C7u, kFailed},
        {"0x000804C7", 0x000804C7u, kCancelled},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine(index++);
        if (c.lastError) {
            WriteInf(kDriverInf);
            sim::Script(Call::SetupCopyOEMInfW, Answer::Win32(*c.lastError));
        }
        EXPECT_EQ(c.outcome, RunInstall(kDriverInf.c_str()));
        EXPECT_EQ(c.outcome.result ? 1 : 0, sim::CallCount(Call::ClassSetupInstall));
        EXPECT_EQ(c.outcome.result != FALSE, sim::ComponentInstalled(ndisfilter::kComponentId));
        ExpectNothingHeld();
        ExpectLockCanBeTakenAgain();
    }
}

TEST_F(InstallTest, EveryStepsAnswerDecidesResultAndFlags) {
    const HRESULT reboot = NETCFG_S_REBOOT;
    const struct Case {
        const char *name;
        std::vector<std::pair<Call, HRESULT>> answers;  // in order of occurrence per call
        Outcome outcome;
        int applies;
    } cases[] = {
        {"all S_OK", {}, kSucceeded, 2},
        {"second Apply reboot",
         {{Call::NetCfgApply, S_OK}, {Call::NetCfgApply, reboot}},
         kRestart,
         2},
        {"first Apply reboot, second S_OK",
         {{Call::NetCfgApply, reboot}, {Call::NetCfgApply, S_OK}},
         kRestart,
         2},
        {"first Apply reboot, second fails",
         {{Call::NetCfgApply, reboot}, {Call::NetCfgApply, E_FAIL}},
         kFailed,
         2},
        {"both Applies reboot",
         {{Call::NetCfgApply, reboot}, {Call::NetCfgApply, reboot}},
         kRestart,
         2},
        {"first Apply fails", {{Call::NetCfgApply, E_FAIL}}, kFailed, 1},
        {"first Apply cancelled", {{Call::NetCfgApply, kCancelledHr}}, kCancelled, 1},
        {"second Apply fails",
         {{Call::NetCfgApply, S_OK}, {Call::NetCfgApply, E_FAIL}},
         kFailed,
         2},
        {"second Apply cancelled",
         {{Call::NetCfgApply, S_OK}, {Call::NetCfgApply, kCancelledHr}},
         kCancelled,
         2},
        {"install reboot, Apply S_OK", {{Call::ClassSetupInstall, reboot}}, kRestart, 1},
        {"install reboot, Apply reboot",
         {{Call::ClassSetupInstall, reboot}, {Call::NetCfgApply, reboot}},
         kRestart,
         1},
        {"install reboot, Apply fails",
         {{Call::ClassSetupInstall, reboot}, {Call::NetCfgApply, E_FAIL}},
         kFailed,
         1},
        {"install reboot, Apply cancelled",
         {{Call::ClassSetupInstall, reboot}, {Call::NetCfgApply, kCancelledHr}},
         kCancelled,
         1},
        {"install fails", {{Call::ClassSetupInstall, E_FAIL}}, kFailed, 0},
        {"install cancelled", {{Call::ClassSetupInstall, kCancelledHr}}, kCancelled, 0},
        {"class not reached", {{Call::NetCfgQueryNetCfgClass, E_NOINTERFACE}}, kFailed, 0},
        {"runtime refused", {{Call::CoInitialize, E_OUTOFMEMORY}}, kFailed, 0},
        {"no configuration object", {{Call::CoCreateInstance, REGDB_E_CLASSNOTREG}}, kFailed, 0},
        {"no lock interface", {{Call::NetCfgQueryInterface, E_NOINTERFACE}}, kFailed, 0},
        {"lock refused", {{Call::LockAcquireWriteLock, E_ACCESSDENIED}}, kFailed, 0},
        {"Initialize fails", {{Call::NetCfgInitialize, NETCFG_E_IN_USE}}, kFailed, 0},
        {"Uninitialize fails (ignored)", {{Call::NetCfgUninitialize, E_FAIL}}, kSucceeded, 2},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine(index++);
        WriteInf(kDriverInf);
        int occurrence[static_cast<int>(Call::Count)] = {};
        for (const auto &[call, hr] : c.answers)
            sim::Script(call, Answer::Hr(hr), ++occurrence[static_cast<int>(call)]);

        EXPECT_EQ(c.outcome, RunInstall(kDriverInf.c_str()));
        EXPECT_EQ(c.applies, sim::CallCount(Call::NetCfgApply));
        ExpectNothingHeld();
        ExpectLockCanBeTakenAgain();
    }
}

TEST_F(InstallTest, LockHeldElsewhereFailsAndFreesTheHoldersDescription) {
    WriteInf(kExeDirectory + L"\\DorvaneV.inf");
    sim::HoldWriteLock(L"Another setup program");
    EXPECT_EQ(kFailed, RunInstall(nullptr));
    EXPECT_EQ(std::vector<DWORD>{ndisfilter::kLockWaitMs}, sim::LockWaitLimits());
    EXPECT_EQ(1, sim::CallCount(Call::CoTaskMemFree));
    EXPECT_EQ(0, sim::CallCount(Call::SetupCopyOEMInfW));
    EXPECT_EQ(kStartDirectory, sim::CurrentDirectory());
    EXPECT_EQ(std::optional<std::wstring>(L"Another setup program"), sim::WriteLockHolder());
    sim::ReleaseHeldWriteLock();
    ExpectNothingHeld();
}

TEST_F(InstallTest, RuntimeAlreadyInitialisedOnTheThreadFailsBalanced) {
    WriteInf(kDriverInf);
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    EXPECT_EQ(kFailed, RunInstall(kDriverInf.c_str()));
    EXPECT_EQ(0, sim::CallCount(Call::CoCreateInstance));
    ExpectNothingHeld(1);
    CoUninitialize();
    EXPECT_EQ(0, sim::RuntimeInitCount());
}

}  // namespace
