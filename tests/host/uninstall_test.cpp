// Uninstall: removal through the component's own class, the restart flag
// that any step's NETCFG_S_REBOOT sets once removed, what every failing step
// gives back, and the INF purge that follows a removal or an absence, never a
// failure that may leave the component installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <devguid.h>

#include "ndisfilter.h"
#include "sim/machine.h"
#include "setup/product.h"
#include "sim_fixture.h"

namespace {

namespace fs = std::filesystem;

using ndisfilter::kComponentId;
using ndisfilter::kLockWaitMs;
constexpr HRESULT kCancelledHr = static_cast<HRESULT>(0x800704C7L);
constexpr BOOL kUntouched = 0x5A5A;
const std::string kOurInf =
    "; DorvaneV.INF\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=NetService\r\n";
const std::string kOtherInf =
    "; another vendor's driver\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n";

// A fresh machine on an emptied root folder, for one row of a table.
void FreshMachine() {
    const std::string root = sim::RootFolder();
    for (const auto &entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    sim::Reset(root);
}

std::string OemName(int n, const char *ext = "inf") {
    return "C:\\WINDOWS\\inf\\oem" + std::to_string(n) + "." + ext;
}

// One INdisFilterHelper, released at the end of the scope.
struct Filter {
    INdisFilterHelper *helper = nullptr;
    Filter() {
        const GUID anyClass = {};
        EXPECT_EQ(
            DllGetClassObject(anyClass, IID_INdisFilterHelper, reinterpret_cast<void **>(&helper)),
            S_OK);
    }
    ~Filter() {
        if (helper) helper->Release();
    }
    INdisFilterHelper *operator->() const { return helper; }
};

// What every uninstall must leave: no reference, no lock, no runtime
// initialisation on the calling thread beyond what it had, no CoTaskMem block.
void ExpectNothingHeld(int runtimeBefore) {
    EXPECT_EQ(sim::LiveReferences(), 0);
    EXPECT_FALSE(sim::WriteLockHeld());
    EXPECT_FALSE(sim::WriteLockAbandoned());
    EXPECT_EQ(sim::RuntimeInitCount(), runtimeBefore);
    EXPECT_EQ(sim::OutstandingTaskMemBlocks(), 0);
}

// The interface a logged AddRef/Release was made on: its detail names it.
std::string InterfaceOf(const std::wstring &detail) {
    return std::string(detail.begin(), detail.end());
}

// The interfaces released, in order, from the first logged `from` call on.
std::vector<std::string> ReleasesFrom(sim::Call from, int occurrence = 1) {
    std::vector<std::string> released;
    int seen = 0;
    for (const sim::CallRecord &record : sim::CallLog()) {
        if (record.call == from) ++seen;
        if (seen >= occurrence && record.call == sim::Call::Release)
            released.push_back(InterfaceOf(record.detail));
    }
    return released;
}

class UninstallTest : public SimMachineTest {
protected:
    static void PutOemCopy(int n, const std::string &bytes) {
        WriteFileAt(OemName(n), bytes);
        WriteFileAt(OemName(n, "PNF"), "precompiled");
    }
    // A fresh machine for one row of a table, with our component installed
    // and our INF copy at oem2 behind another vendor's at oem0.
    void FreshMachineWithComponent() {
        FreshMachine();
        sim::AddInstalledComponent(kComponentId, GUID_DEVCLASS_NETSERVICE);
        PutOemCopy(0, kOtherInf);
        PutOemCopy(2, kOurInf);
    }
    // Our copy went through the platform's own removal (as its store name,
    // forced), the other vendor's stayed.
    void ExpectPurged() {
        EXPECT_FALSE(FileExistsAt(OemName(2)));
        EXPECT_FALSE(FileExistsAt(OemName(2, "PNF")));
        EXPECT_TRUE(FileExistsAt(OemName(0)));
        EXPECT_TRUE(FileExistsAt(OemName(0, "PNF")));
        const std::vector<sim::CallRecord> log = sim::CallLog();
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const sim::CallRecord &record) {
                                    return record.call == sim::Call::SetupUninstallOEMInfW &&
                                           record.detail == L"oem2.inf 1";
                                }),
                  1);
    }
    // A component that may still be installed keeps its INF: no purge at all.
    void ExpectKept() {
        EXPECT_TRUE(FileExistsAt(OemName(2)));
        EXPECT_TRUE(FileExistsAt(OemName(2, "PNF")));
        EXPECT_EQ(sim::CallCount(sim::Call::GetWindowsDirectoryA), 0);
        EXPECT_EQ(sim::CallCount(sim::Call::SetupUninstallOEMInfW), 0);
    }
};

TEST_F(UninstallTest, InstallThenUninstallLeavesNoComponentAndNoInfCopyOfOurs) {
    PutOemCopy(0, kOtherInf);
    WriteFileAt("D:\\drivers\\pkg\\DorvaneV.inf", kOurInf);
    const std::vector<std::string> storeBefore = InfStore();
    const int runtimeBefore = sim::RuntimeInitCount();
    Filter filter;

    BOOL restart = kUntouched, cancelled = kUntouched;
    ASSERT_TRUE(filter->Install(L"D:\\drivers\\pkg\\DorvaneV.inf", &restart, &cancelled));
    ASSERT_TRUE(sim::ComponentInstalled(kComponentId));
    ASSERT_GT(InfStore().size(), storeBefore.size());  // the platform kept a copy

    restart = kUntouched;
    EXPECT_TRUE(filter->Uninstall(&restart));
    EXPECT_EQ(restart, FALSE);
    EXPECT_FALSE(sim::ComponentInstalled(kComponentId));
    EXPECT_TRUE(sim::InstalledComponents().empty());
    EXPECT_EQ(InfStore(), storeBefore);  // our .inf and .PNF gone, the other vendor's kept
    EXPECT_EQ(sim::CallCount(sim::Call::ClassSetupDeInstall), 1);
    ExpectNothingHeld(runtimeBefore);
}

TEST_F(UninstallTest, EachUninstallPurgesOneCopyWhetherOrNotTheComponentIsInstalled) {
    // Registered under another class than the install uses: removal goes
    // through the class the component itself reports.
    const GUID otherClass = {
        0x4d36e975, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    sim::AddInstalledComponent(kComponentId, otherClass);
    PutOemCopy(0, kOtherInf);
    PutOemCopy(3, kOurInf);
    PutOemCopy(5, kOurInf);
    const int runtimeBefore = sim::RuntimeInitCount();
    Filter filter;

    BOOL restart = kUntouched;
    EXPECT_TRUE(filter->Uninstall(&restart));
    EXPECT_EQ(restart, FALSE);
    EXPECT_FALSE(FileExistsAt(OemName(3)));
    EXPECT_FALSE(FileExistsAt(OemName(3, "PNF")));
    EXPECT_TRUE(FileExistsAt(OemName(5)));
    const std::vector<sim::CallRecord> log = sim::CallLog();
    ASSERT_TRUE(std::any_of(log.begin(), log.end(), [](const sim::CallRecord &record) {
        return record.call == sim::Call::NetCfgQueryNetCfgClass &&
               record.detail.find(L"4D36E975") != std::wstring::npos;
    }));

    // Not installed any more: FALSE, nothing removed or applied, yet the
    // next copy goes.
    const int applies = sim::CallCount(sim::Call::NetCfgApply);
    restart = kUntouched;
    EXPECT_FALSE(filter->Uninstall(&restart));
    EXPECT_EQ(restart, FALSE);
    EXPECT_EQ(sim::CallCount(sim::Call::ClassSetupDeInstall), 1);
    EXPECT_EQ(sim::CallCount(sim::Call::NetCfgApply), applies);
    EXPECT_FALSE(FileExistsAt(OemName(5)));
    EXPECT_FALSE(FileExistsAt(OemName(5, "PNF")));

    // Nothing of ours left: FALSE again, and the other vendor's copy stays.
    EXPECT_FALSE(filter->Uninstall(&restart));
    EXPECT_TRUE(FileExistsAt(OemName(0)));
    EXPECT_TRUE(FileExistsAt(OemName(0, "PNF")));
    EXPECT_EQ(sim::CallCount(sim::Call::GetWindowsDirectoryA), 3);
    ExpectNothingHeld(runtimeBefore);
}

TEST_F(UninstallTest, LockHeldByAnotherClientFailsAfterTheLockWaitFreesItsDescriptionKeepsTheInf) {
    FreshMachineWithComponent();
    sim::HoldWriteLock(L"Another installer");
    const int runtimeBefore = sim::RuntimeInitCount();
    Filter filter;

    BOOL restart = kUntouched;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(filter->Uninstall(&restart));
    const auto waited = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(restart, FALSE);
    EXPECT_EQ(sim::LockWaitLimits(), std::vector<DWORD>{kLockWaitMs});
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::milliseconds(kLockWaitMs + 2000));
    EXPECT_EQ(sim::CallCount(sim::Call::CoTaskMemFree), 1);  // the holder's description
    EXPECT_EQ(sim::OutstandingTaskMemBlocks(), 0);
    EXPECT_EQ(sim::CallCount(sim::Call::NetCfgFindComponent), 0);
    EXPECT_TRUE(sim::ComponentInstalled(kComponentId));
    ExpectKept();
    EXPECT_EQ(sim::WriteLockHolder(), std::optional<std::wstring>(L"Another installer"));
    EXPECT_EQ(sim::LiveReferences(), 0);
    EXPECT_EQ(sim::RuntimeInitCount(), runtimeBefore);

    sim::ReleaseHeldWriteLock();
    EXPECT_TRUE(filter->Uninstall(&restart));
    ExpectPurged();
    ExpectNothingHeld(runtimeBefore);
}

TEST_F(UninstallTest, ARestartTheRemovalOrApplyAskedForSetsTheFlagOnceRemoved) {
    struct Row {
        const char *what;
        HRESULT deinstall;
        HRESULT apply;
        BOOL result;
        BOOL restart;
        bool applied;  // Apply was called
        bool removed;  // the component is gone from the machine
    };
    const Row rows[] = {
        {"removed", S_OK, S_OK, TRUE, FALSE, true, true},
        {"removal wants restart, apply does not", NETCFG_S_REBOOT, S_OK, TRUE, TRUE, true, true},
        {"apply wants restart", S_OK, NETCFG_S_REBOOT, TRUE, TRUE, true, true},
        {"both want restart", NETCFG_S_REBOOT, NETCFG_S_REBOOT, TRUE, TRUE, true, true},
        {"apply fails", S_OK, E_FAIL, FALSE, FALSE, true, false},
        {"removal wants restart, apply fails", NETCFG_S_REBOOT, E_FAIL, FALSE, FALSE, true, false},
        {"apply cancelled", S_OK, kCancelledHr, FALSE, FALSE, true, false},
        {"removal answers S_FALSE", S_FALSE, S_OK, FALSE, FALSE, false, false},
        {"removal fails", E_FAIL, S_OK, FALSE, FALSE, false, false},
        {"removal cancelled", kCancelledHr, S_OK, FALSE, FALSE, false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        FreshMachineWithComponent();
        sim::Script(sim::Call::ClassSetupDeInstall, sim::Answer::Hr(row.deinstall));
        sim::Script(sim::Call::NetCfgApply, sim::Answer::Hr(row.apply));
        const int runtimeBefore = sim::RuntimeInitCount();
        Filter filter;

        BOOL restart = kUntouched;
        EXPECT_EQ(filter->Uninstall(&restart), row.result);
        EXPECT_EQ(restart, row.restart);
        EXPECT_EQ(sim::CallCount(sim::Call::NetCfgApply), row.applied ? 1 : 0);
        EXPECT_EQ(sim::ComponentInstalled(kComponentId), !row.removed);
        if (row.removed)
            ExpectPurged();
        else
            ExpectKept();
        ExpectNothingHeld(runtimeBefore);
    }
}

TEST_F(UninstallTest, EveryFailingStepReleasesWhatItTookInReverseOrderAndPurgesOnlyWhenGone) {
    using sim::Call;
    const std::vector<std::string> kClose = {"INetCfgLock", "INetCfg"};
    auto then = [](std::vector<std::string> first, const std::vector<std::string> &rest) {
        first.insert(first.end(), rest.begin(), rest.end());
        return first;
    };
    struct Row {
        const char *what;
        Call call;
        sim::Answer answer;
        int occurrence;
        BOOL result;
        bool removed;
        std::vector<std::string> releases;  // from the failing call on
        bool reportedAbsent = false;  // not removed, yet the configuration said "not installed"
    };
    const Row rows[] = {
        {"runtime", Call::CoInitialize, sim::Answer::Hr(E_OUTOFMEMORY), 1, FALSE, false, {}},
        {"creation",
         Call::CoCreateInstance,
         sim::Answer::Hr(REGDB_E_CLASSNOTREG),
         1,
         FALSE,
         false,
         {}},
        {"lock interface",
         Call::NetCfgQueryInterface,
         sim::Answer::Hr(E_NOINTERFACE),
         1,
         FALSE,
         false,
         {"INetCfg"}},
        {"lock refused",
         Call::LockAcquireWriteLock,
         sim::Answer::Hr(S_FALSE),
         1,
         FALSE,
         false,
         {"INetCfgLock", "INetCfg"}},
        {"lock fails",
         Call::LockAcquireWriteLock,
         sim::Answer::Hr(E_FAIL),
         1,
         FALSE,
         false,
         {"INetCfgLock", "INetCfg"}},
        {"initialize",
         Call::NetCfgInitialize,
         sim::Answer::Hr(E_FAIL),
         1,
         FALSE,
         false,
         {"INetCfgLock", "INetCfg"}},
        {"find", Call::NetCfgFindComponent, sim::Answer::Hr(E_FAIL), 1, FALSE, false, kClose},
        {"find answers not installed", Call::NetCfgFindComponent, sim::Answer::Hr(S_FALSE), 1,
         FALSE, false, kClose, true},
        {"class guid", Call::ComponentGetClassGuid, sim::Answer::Hr(E_FAIL), 1, FALSE, false,
         then({"INetCfgComponent"}, kClose)},
        {"class", Call::NetCfgQueryNetCfgClass, sim::Answer::Hr(E_NOINTERFACE), 1, FALSE, false,
         then({"INetCfgComponent"}, kClose)},
        {"class setup", Call::ClassQueryInterface, sim::Answer::Hr(E_NOINTERFACE), 1, FALSE, false,
         then({"INetCfgClass", "INetCfgComponent"}, kClose)},
        {"removal", Call::ClassSetupDeInstall, sim::Answer::Hr(E_ACCESSDENIED), 1, FALSE, false,
         then({"INetCfgClassSetup", "INetCfgClass", "INetCfgComponent"}, kClose)},
        {"apply", Call::NetCfgApply, sim::Answer::Hr(E_FAIL), 1, FALSE, false,
         then({"INetCfgClassSetup", "INetCfgClass", "INetCfgComponent"}, kClose)},
        // Closing fails after a committed removal: still TRUE, still nothing held.
        {"uninitialize",
         Call::NetCfgUninitialize,
         sim::Answer::Hr(E_FAIL),
         1,
         TRUE,
         true,
         {"INetCfg"}},
        {"lock interface at close",
         Call::NetCfgQueryInterface,
         sim::Answer::Hr(E_NOINTERFACE),
         2,
         TRUE,
         true,
         {"INetCfg"}},
        {"lock release", Call::LockReleaseWriteLock, sim::Answer::Hr(E_FAIL), 1, TRUE, true,
         kClose},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        FreshMachineWithComponent();
        sim::Script(row.call, row.answer, row.occurrence);
        const int runtimeBefore = sim::RuntimeInitCount();
        Filter filter;

        BOOL restart = kUntouched;
        EXPECT_EQ(filter->Uninstall(&restart), row.result);
        EXPECT_EQ(restart, FALSE);
        EXPECT_EQ(sim::ComponentInstalled(kComponentId), !row.removed);
        EXPECT_EQ(ReleasesFrom(row.call, row.occurrence), row.releases);
        if (row.removed || row.reportedAbsent)
            ExpectPurged();
        else
            ExpectKept();
        ExpectNothingHeld(runtimeBefore);
    }

    // The calling thread's runtime already initialised: the open fails (its
    // S_FALSE is no "not installed"), the extra initialisation is balanced,
    // the INF copy stays.
    FreshMachineWithComponent();
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const int runtimeBefore = sim::RuntimeInitCount();
    {
        Filter filter;
        BOOL restart = kUntouched;
        EXPECT_FALSE(filter->Uninstall(&restart));
        EXPECT_EQ(restart, FALSE);
        EXPECT_EQ(sim::CallCount(Call::CoCreateInstance), 0);
        EXPECT_TRUE(sim::ComponentInstalled(kComponentId));
        ExpectKept();
        ExpectNothingHeld(runtimeBefore);
    }
    CoUninitialize();
    EXPECT_EQ(sim::RuntimeInitCount(), 0);
}

TEST_F(UninstallTest, NullFlagPointerFailsBeforeAnyPlatformCallOrPurge) {
    FreshMachineWithComponent();
    INdisFilterHelper2 *second = nullptr;
    const GUID anyClass = {};
    ASSERT_EQ(
        DllGetClassObject(anyClass, IID_INdisFilterHelper2, reinterpret_cast<void **>(&second)),
        S_OK);
    {
        Filter filter;
        EXPECT_FALSE(filter->Uninstall(nullptr));
        EXPECT_FALSE(second->Uninstall(nullptr));
    }
    second->Release();
    EXPECT_TRUE(sim::CallLog().empty());
    EXPECT_TRUE(sim::ComponentInstalled(kComponentId));
    EXPECT_TRUE(FileExistsAt(OemName(2)));
    EXPECT_TRUE(FileExistsAt(OemName(2, "PNF")));
}

}  // namespace
