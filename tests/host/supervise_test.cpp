// The timed and retried operations: the worker thread each attempt gets,
// the limit handed to the wait, what a timeout terminates and leaves behind,
// and the retry policy built on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <devguid.h>

#include "ndisfilter.h"
#include "sim/machine.h"
#include "setup/product.h"
#include "sim_fixture.h"

namespace {

const std::string kDriverInf = "; DorvaneV.INF\r\n[Version]\r\nClass=NetService\r\n";
using sim::Call;
using std::chrono::milliseconds;

using ndisfilter::kComponentId;
using ndisfilter::kRetryTimeoutMs;
constexpr wchar_t kInfPath[] = L"D:\\drivers\\pkg\\DorvaneV.inf";
constexpr BOOL kGuard = 0x6A6A6A6A;  // a value no operation ever writes

// One INdisFilterHelper2, released at the end of the scope.
struct Filter2 {
    INdisFilterHelper2 *helper = nullptr;
    Filter2() {
        const GUID anyClass = {};
        EXPECT_EQ(
            DllGetClassObject(anyClass, IID_INdisFilterHelper2, reinterpret_cast<void **>(&helper)),
            S_OK);
    }
    ~Filter2() {
        if (helper) helper->Release();
    }
    INdisFilterHelper2 *operator->() const { return helper; }
};

// The caller's three flags, each starting at the guard value.
struct Flags {
    BOOL timedOut = kGuard;
    BOOL restart = kGuard;
    BOOL cancelled = kGuard;
    void Guard() { timedOut = restart = cancelled = kGuard; }
    bool Guarded() const { return timedOut == kGuard && restart == kGuard && cancelled == kGuard; }
};

std::vector<DWORD> FiniteWaitLimits() {
    std::vector<DWORD> limits = sim::WaitLimits();
    limits.erase(std::remove(limits.begin(), limits.end(), INFINITE), limits.end());
    return limits;
}

// Thread ids (the simulation's) in the order they first made `call`.
std::vector<DWORD> ThreadsCalling(Call call) {
    std::vector<DWORD> ids;
    for (const sim::CallRecord &record : sim::CallLog())
        if (record.call == call && std::find(ids.begin(), ids.end(), record.threadId) == ids.end())
            ids.push_back(record.threadId);
    return ids;
}

size_t RecordsOf(DWORD threadId) {
    const std::vector<sim::CallRecord> log = sim::CallLog();
    return static_cast<size_t>(std::count_if(
        log.begin(), log.end(), [&](const sim::CallRecord &r) { return r.threadId == threadId; }));
}

bool WaitUntil(const std::function<bool()> &done, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

class SuperviseTest : public SimMachineTest {
protected:
    void SetUp() override {
        SimMachineTest::SetUp();
        WriteFileAt("D:\\drivers\\pkg\\DorvaneV.inf", kDriverInf);
        WriteFileAt("C:\\Program Files\\Host\\DorvaneV.inf", kDriverInf);
    }
};

TEST_F(SuperviseTest, AFinishedWorkerGivesItsResultAndFlagsWithTimedOutZero) {
    Filter2 filter;
    // The caller's own runtime initialisation does not matter: the work runs
    // on a fresh thread.
    ASSERT_EQ(CoInitialize(nullptr), S_OK);

    Flags flags;
    EXPECT_TRUE(filter->InstallWithTimeout(kInfPath, INFINITE, &flags.timedOut, &flags.restart,
                                           &flags.cancelled));
    EXPECT_EQ(flags.timedOut, FALSE);
    EXPECT_EQ(flags.restart, FALSE);
    EXPECT_EQ(flags.cancelled, FALSE);
    EXPECT_TRUE(sim::ComponentInstalled(kComponentId));
    ASSERT_FALSE(sim::WaitLimits().empty());
    EXPECT_EQ(sim::WaitLimits().front(), INFINITE);  // handed over unchanged
    const std::vector<DWORD> workers = ThreadsCalling(Call::CoInitialize);
    ASSERT_EQ(workers.size(), 2u);  // this thread, then the worker
    EXPECT_EQ(sim::RuntimeInitCount(workers[1]), 0);

    // The worker's flags reach the caller: a removal that needs a restart.
    sim::Script(Call::NetCfgApply, sim::Answer::Hr(NETCFG_S_REBOOT), 0);
    flags.Guard();
    EXPECT_TRUE(filter->UninstallWithTimeout(10000, &flags.timedOut, &flags.restart));
    EXPECT_EQ(flags.timedOut, FALSE);
    EXPECT_EQ(flags.restart, TRUE);
    EXPECT_EQ(flags.cancelled, kGuard);
    EXPECT_FALSE(sim::ComponentInstalled(kComponentId));
    EXPECT_EQ(sim::WaitLimits().back(), 10000u);

    // A worker's FALSE with the cancelled flag.
    sim::ClearScripts();
    sim::Script(Call::SetupCopyOEMInfW, sim::Answer::Win32(ERROR_CANCELLED), 0);
    flags.Guard();
    EXPECT_FALSE(filter->InstallWithTimeout(kInfPath, 10000, &flags.timedOut, &flags.restart,
                                            &flags.cancelled));
    EXPECT_EQ(flags.timedOut, FALSE);
    EXPECT_EQ(flags.restart, FALSE);
    EXPECT_EQ(flags.cancelled, TRUE);

    EXPECT_EQ(sim::ThreadsStarted(), 3);
    EXPECT_EQ(sim::ThreadsTerminated(), 0);
    EXPECT_EQ(sim::LiveReferences(), 0);
    EXPECT_FALSE(sim::WriteLockHeld());
    EXPECT_EQ(sim::RuntimeInitCount(), 1);
    // The object's count is the caller's alone.
    EXPECT_EQ(filter->AddRef(), 2u);
    EXPECT_EQ(filter->Release(), 1u);
    CoUninitialize();
}

TEST_F(SuperviseTest, ALimitOfZeroAgainstAHungWorkerTerminatesIt) {
    Filter2 filter;
    // The worker can never get past its runtime initialisation.
    sim::Script(Call::CoInitialize, sim::Answer::Hang(), 0);

    Flags install;
    EXPECT_FALSE(filter->InstallWithTimeout(kInfPath, 0, &install.timedOut, &install.restart,
                                            &install.cancelled));
    EXPECT_EQ(install.timedOut, TRUE);
    EXPECT_EQ(sim::ThreadsTerminated(), 1);

    Flags uninstall;
    EXPECT_FALSE(filter->UninstallWithTimeout(0, &uninstall.timedOut, &uninstall.restart));
    EXPECT_EQ(uninstall.timedOut, TRUE);
    EXPECT_EQ(sim::ThreadsTerminated(), 2);
    EXPECT_EQ(sim::WaitLimits().front(), 0u);
    EXPECT_EQ(sim::HungThreads(), 0);

    // WAIT_FAILED counts as a timeout too.
    sim::ScriptNextWait(WAIT_FAILED);
    Flags failed;
    EXPECT_FALSE(filter->UninstallWithTimeout(INFINITE, &failed.timedOut, &failed.restart));
    EXPECT_EQ(failed.timedOut, TRUE);
    EXPECT_EQ(sim::ThreadsTerminated(), 3);

    EXPECT_FALSE(sim::ComponentInstalled(kComponentId));
    EXPECT_EQ(sim::ThreadsStarted(), 3);
    sim::ClearScripts();
}

TEST_F(SuperviseTest, AWorkerTimedOutMidInstallIsAbandonedAndNeverRunsAgain) {
    Filter2 filter;
    const std::wstring callerDirectory = sim::CurrentDirectory();
    // A default-path install: the worker switches to the executable's
    // directory, takes the write lock, and hangs loading the configuration.
    sim::Script(Call::NetCfgInitialize, sim::Answer::Hang());
    sim::Script(Call::NetCfgApply, sim::Answer::Hr(NETCFG_S_REBOOT), 0);
    constexpr DWORD kLimit = 1500;

    Flags flags;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(filter->InstallWithTimeout(nullptr, kLimit, &flags.timedOut, &flags.restart,
                                            &flags.cancelled));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(flags.timedOut, TRUE);
    EXPECT_EQ(flags.restart, FALSE);    // cleared by the worker's Install
    EXPECT_EQ(flags.cancelled, FALSE);  // before it hung
    EXPECT_GE(took, milliseconds(kLimit));
    EXPECT_LT(took, milliseconds(kLimit + 2000));

    // What the worker held is abandoned, not released.
    EXPECT_EQ(sim::CurrentDirectory(), L"C:\\Program Files\\Host");
    EXPECT_NE(sim::CurrentDirectory(), callerDirectory);
    EXPECT_EQ(sim::CallCount(Call::SetCurrentDirectoryW), 1);
    EXPECT_TRUE(sim::WriteLockAbandoned());
    EXPECT_FALSE(sim::WriteLockHeld());
    EXPECT_EQ(sim::LiveReferences(sim::Iface::NetCfg), 1);
    EXPECT_EQ(sim::LiveReferences(sim::Iface::NetCfgLock), 1);
    EXPECT_EQ(sim::LiveReferences(), 2);
    const std::vector<DWORD> workers = ThreadsCalling(Call::CoInitialize);
    ASSERT_EQ(workers.size(), 1u);
    EXPECT_EQ(sim::RuntimeInitCount(workers[0]), 1);
    EXPECT_GE(sim::AbandonedReferences(), 2);
    EXPECT_EQ(sim::ThreadsTerminated(), 1);

    // Released now, the worker would finish and set the restart flag; it
    // must neither run nor write once the call has returned.
    flags.Guard();
    const size_t workerRecords = RecordsOf(workers[0]);
    sim::ReleaseHangs();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(flags.Guarded());
    EXPECT_EQ(RecordsOf(workers[0]), workerRecords);
    EXPECT_EQ(sim::CallCount(Call::NetCfgApply), 0);
    EXPECT_FALSE(sim::ComponentInstalled(kComponentId));

    // The next client gets the abandoned lock.
    sim::SetCurrentDirectory(callerDirectory);
    const int liveBefore = sim::LiveReferences();
    flags.Guard();
    EXPECT_TRUE(filter->InstallWithTimeout(kInfPath, 10000, &flags.timedOut, &flags.restart,
                                           &flags.cancelled));
    EXPECT_EQ(flags.timedOut, FALSE);
    EXPECT_EQ(flags.restart, TRUE);
    EXPECT_TRUE(sim::ComponentInstalled(kComponentId));
    EXPECT_FALSE(sim::WriteLockAbandoned());
    EXPECT_FALSE(sim::WriteLockHeld());
    EXPECT_EQ(sim::LiveReferences(), liveBefore);
    EXPECT_EQ(sim::CurrentDirectory(), callerDirectory);  // explicit path: untouched
}

TEST_F(SuperviseTest, NullFlagPointersFailEveryOperationWithoutAThread) {
    Filter2 filter;
    Flags f;
    BOOL *t = &f.timedOut, *r = &f.restart, *c = &f.cancelled;
    EXPECT_FALSE(filter->InstallWithTimeout(kInfPath, 0, nullptr, r, c));
    EXPECT_FALSE(filter->InstallWithTimeout(kInfPath, 0, t, nullptr, c));
    EXPECT_FALSE(filter->InstallWithTimeout(kInfPath, 0, t, r, nullptr));
    EXPECT_FALSE(filter->UninstallWithTimeout(0, nullptr, r));
    EXPECT_FALSE(filter->UninstallWithTimeout(0, t, nullptr));
    EXPECT_FALSE(filter->InstallWithRetry(kInfPath, nullptr, c));
    EXPECT_FALSE(filter->InstallWithRetry(kInfPath, r, nullptr));
    EXPECT_FALSE(filter->InstallWithRetry(nullptr, nullptr, nullptr));
    EXPECT_FALSE(filter->UninstallWithRetry(nullptr));
    EXPECT_TRUE(f.Guarded());
    EXPECT_EQ(sim::ThreadsStarted(), 0);
    EXPECT_TRUE(sim::CallLog().empty());
}

TEST_F(SuperviseTest, AThreadThatCannotStartFailsWithTheCallersFlagsAsTheyWere) {
    Filter2 filter;
    sim::Script(Call::BeginThread, sim::Answer::Win32(ERROR_NOT_ENOUGH_MEMORY), 0);

    Flags f;
    EXPECT_FALSE(filter->InstallWithTimeout(kInfPath, 1000, &f.timedOut, &f.restart, &f.cancelled));
    EXPECT_EQ(f.timedOut, FALSE);
    EXPECT_EQ(f.restart, kGuard);
    EXPECT_EQ(f.cancelled, kGuard);

    f.Guard();
    EXPECT_FALSE(filter->UninstallWithTimeout(1000, &f.timedOut, &f.restart));
    EXPECT_EQ(f.timedOut, FALSE);
    EXPECT_EQ(f.restart, kGuard);

    // Not a timeout, so no second attempt.
    f.Guard();
    EXPECT_FALSE(filter->InstallWithRetry(kInfPath, &f.restart, &f.cancelled));
    EXPECT_FALSE(filter->UninstallWithRetry(&f.restart));
    EXPECT_TRUE(f.Guarded());

    EXPECT_EQ(sim::CallCount(Call::BeginThread), 4);
    EXPECT_EQ(sim::ThreadsStarted(), 0);
    EXPECT_EQ(sim::CallCount(Call::WaitForSingleObject), 0);
    EXPECT_EQ(sim::CallCount(Call::CoInitialize), 0);
}

TEST_F(SuperviseTest, RetryMakesOneAttemptUnlessItTimedOut) {
    Filter2 filter;
    Flags f;
    EXPECT_TRUE(filter->InstallWithRetry(kInfPath, &f.restart, &f.cancelled));
    EXPECT_EQ(f.restart, FALSE);
    EXPECT_EQ(f.cancelled, FALSE);
    EXPECT_EQ(sim::ThreadsStarted(), 1);

    // A quick failure (the INF copy refused) is not retried, nor undone.
    sim::Script(Call::SetupCopyOEMInfW, sim::Answer::Win32(ERROR_ACCESS_DENIED), 2);
    f.Guard();
    EXPECT_FALSE(filter->InstallWithRetry(kInfPath, &f.restart, &f.cancelled));
    EXPECT_EQ(f.cancelled, FALSE);
    EXPECT_EQ(sim::ThreadsStarted(), 2);
    EXPECT_EQ(sim::CallCount(Call::NetCfgFindComponent), 0);

    EXPECT_TRUE(filter->UninstallWithRetry(&f.restart));
    sim::Script(Call::NetCfgFindComponent, sim::Answer::Hr(E_FAIL), 2);
    EXPECT_FALSE(filter->UninstallWithRetry(&f.restart));
    EXPECT_EQ(sim::ThreadsStarted(), 4);
    EXPECT_EQ(FiniteWaitLimits(), std::vector<DWORD>(4, kRetryTimeoutMs));
    EXPECT_EQ(sim::ThreadsTerminated(), 0);
}

// The first attempt of a retrying call times out (the wait is told so at
// once). Another client holds the write lock meanwhile, so that the first
// worker, wherever it is stopped, changes nothing; the lock is let go once
// the retry's next worker has started.
class RetryAfterTimeout {
public:
    RetryAfterTimeout() {
        sim::HoldWriteLock(L"Another installer");
        sim::ScriptNextWait(WAIT_TIMEOUT);
    }
    template <typename Call>
    BOOL Run(Call call) {
        auto result = std::async(std::launch::async, call);
        EXPECT_TRUE(WaitUntil([] { return sim::ThreadsStarted() >= 2; }, milliseconds(20000)));
        sim::ReleaseHeldWriteLock();
        return result.get();
    }
};

TEST_F(SuperviseTest, InstallWithRetryAfterATimeoutUninstallsAndReturnsTheSecondInstallsResult) {
    struct Row {
        const char *what;
        Call call;
        sim::Answer answer;
        BOOL result, restart, cancelled;
    };
    const Row rows[] = {
        {"second install succeeds", Call::Count, {}, TRUE, FALSE, FALSE},
        {"second install needs a restart", Call::NetCfgApply, sim::Answer::Hr(NETCFG_S_REBOOT),
         TRUE, TRUE, FALSE},
        {"second install cancelled", Call::SetupCopyOEMInfW, sim::Answer::Win32(ERROR_CANCELLED),
         FALSE, FALSE, TRUE},
        {"second install fails", Call::ClassSetupInstall, sim::Answer::Hr(E_FAIL), FALSE, FALSE,
         FALSE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        sim::Reset(sim::RootFolder());
        if (row.call != Call::Count) sim::Script(row.call, row.answer, 0);
        Filter2 filter;
        INdisFilterHelper2 *helper = filter.helper;
        Flags f;

        RetryAfterTimeout retry;
        EXPECT_EQ(
            retry.Run([&] { return helper->InstallWithRetry(kInfPath, &f.restart, &f.cancelled); }),
            row.result);
        EXPECT_EQ(f.restart, row.restart);
        EXPECT_EQ(f.cancelled, row.cancelled);

        // Install, uninstall, install: three workers, each given two minutes.
        EXPECT_EQ(sim::ThreadsStarted(), 3);
        EXPECT_EQ(FiniteWaitLimits(), std::vector<DWORD>(3, kRetryTimeoutMs));
        const std::vector<DWORD> finders = ThreadsCalling(Call::NetCfgFindComponent);
        const std::vector<DWORD> installers = ThreadsCalling(Call::ClassSetupInstall);
        ASSERT_EQ(finders.size(), 1u);
        EXPECT_EQ(installers.size(), row.call == Call::SetupCopyOEMInfW ? 0u : 1u);
        if (!installers.empty()) {
            EXPECT_NE(installers[0], finders[0]);
        }
        EXPECT_EQ(sim::ComponentInstalled(kComponentId), row.result == TRUE);
        EXPECT_FALSE(sim::WriteLockHeld());
        EXPECT_FALSE(sim::WriteLockAbandoned());
        EXPECT_EQ(sim::HungThreads(), 0);
    }
}

TEST_F(SuperviseTest, UninstallWithRetryAfterATimeoutTriesOnceMore) {
    for (const BOOL secondSucceeds : {TRUE, FALSE}) {
        SCOPED_TRACE(secondSucceeds ? "second succeeds" : "second finds nothing");
        sim::Reset(sim::RootFolder());
        if (secondSucceeds) sim::AddInstalledComponent(kComponentId, GUID_DEVCLASS_NETSERVICE);
        Filter2 filter;
        INdisFilterHelper2 *helper = filter.helper;
        Flags f;

        RetryAfterTimeout retry;
        EXPECT_EQ(retry.Run([&] { return helper->UninstallWithRetry(&f.restart); }),
                  secondSucceeds);
        EXPECT_EQ(f.restart, FALSE);
        EXPECT_EQ(f.timedOut, kGuard);
        EXPECT_EQ(f.cancelled, kGuard);
        EXPECT_EQ(sim::ThreadsStarted(), 2);
        EXPECT_EQ(FiniteWaitLimits(), std::vector<DWORD>(2, kRetryTimeoutMs));
        EXPECT_FALSE(sim::ComponentInstalled(kComponentId));
    }
}

}  // namespace
