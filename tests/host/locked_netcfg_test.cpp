// Opening and closing a locked network configuration: the order of the
// platform calls, and every failing step leaving no reference, no lock, no
// task-memory block and the thread's runtime count as it was.
#include "setup/locked_netcfg.h"

#include <sim/machine.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

using namespace ndisfilter;
using sim::Answer;
using sim::Call;

INetCfg *const kStaleConfig = reinterpret_cast<INetCfg *>(0x5a5a5a5a);
LPWSTR const kStaleText = reinterpret_cast<LPWSTR>(0x5a5a5a5a);

// The calls of the log other than reference counting, in order.
std::vector<Call> Steps() {
    std::vector<Call> steps;
    for (const sim::CallRecord &record : sim::CallLog())
        if (record.call != Call::AddRef && record.call != Call::Release)
            steps.push_back(record.call);
    return steps;
}

class LockedNetConfigTest : public SimMachineTest {
protected:
    // A fresh machine for one case of a table.
    void FreshMachine(int index) { sim::Reset(SimRoot() + "/case" + std::to_string(index)); }
    std::string SimRoot() const { return root_; }
    void SetUp() override {
        SimMachineTest::SetUp();
        root_ = sim::RootFolder();
    }

    static void ExpectNothingHeld(int runtimeCount = 0) {
        EXPECT_EQ(0, sim::LiveReferences());
        EXPECT_FALSE(sim::WriteLockHeld());
        EXPECT_EQ(runtimeCount, sim::RuntimeInitCount());
        EXPECT_EQ(0, sim::OutstandingTaskMemBlocks());
    }

private:
    std::string root_;
};

TEST_F(LockedNetConfigTest, OpenHoldsTheLockAndOneReferenceUntilClose) {
    INetCfg *config = kStaleConfig;
    LPWSTR holder = kStaleText;
    ASSERT_EQ(S_OK, OpenLockedNetConfig(&config, &holder));
    ASSERT_NE(nullptr, config);
    EXPECT_EQ(nullptr, holder);
    EXPECT_EQ(1, sim::LiveReferences(sim::Iface::NetCfg));
    EXPECT_EQ(1, sim::LiveReferences());
    EXPECT_EQ(std::optional<std::wstring>(kLockClientDescription), sim::WriteLockHolder());
    EXPECT_EQ(std::vector<DWORD>{kLockWaitMs}, sim::LockWaitLimits());
    EXPECT_EQ(1, sim::RuntimeInitCount());
    EXPECT_EQ(
        (std::vector<Call>{Call::CoInitialize, Call::CoCreateInstance, Call::NetCfgQueryInterface,
                           Call::LockAcquireWriteLock, Call::NetCfgInitialize}),
        Steps());

    EXPECT_EQ(S_OK, CloseLockedNetConfig(config));
    EXPECT_EQ((std::vector<Call>{
                  Call::CoInitialize, Call::CoCreateInstance, Call::NetCfgQueryInterface,
                  Call::LockAcquireWriteLock, Call::NetCfgInitialize, Call::NetCfgUninitialize,
                  Call::NetCfgQueryInterface, Call::LockReleaseWriteLock, Call::CoUninitialize}),
              Steps());
    ExpectNothingHeld();

    // The scope holder closes what it opened, and only that.
    {
        LockedNetConfig held;
        ASSERT_EQ(S_OK, held.Open());
        EXPECT_TRUE(sim::WriteLockHeld());
    }
    ExpectNothingHeld();
    const int uninitializeCalls = sim::CallCount(Call::NetCfgUninitialize);
    sim::Script(Call::CoCreateInstance, Answer::Hr(E_OUTOFMEMORY),
                sim::CallCount(Call::CoCreateInstance) + 1);
    {
        LockedNetConfig held;
        EXPECT_EQ(E_OUTOFMEMORY, held.Open());
    }
    EXPECT_EQ(uninitializeCalls, sim::CallCount(Call::NetCfgUninitialize));
    ExpectNothingHeld();
}

TEST_F(LockedNetConfigTest, EveryFailingStepOfOpenUndoesWhatItTook) {
    const struct Case {
        Call call;
        HRESULT answer, result;
        bool runtimeInitialised;  // CoInitialize succeeded, so it must be balanced
        bool lockReleased;        // the lock was taken, so ReleaseWriteLock must run
    } cases[] = {
        {Call::CoInitialize, E_OUTOFMEMORY, E_OUTOFMEMORY, false, false},
        {Call::CoInitialize, RPC_E_CHANGED_MODE, RPC_E_CHANGED_MODE, false, false},
        {Call::CoCreateInstance, REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG, true, false},
        {Call::NetCfgQueryInterface, E_NOINTERFACE, E_NOINTERFACE, true, false},
        {Call::LockAcquireWriteLock, E_ACCESSDENIED, E_ACCESSDENIED, true, false},
        {Call::LockAcquireWriteLock, S_FALSE, NETCFG_E_NO_WRITE_LOCK, true, false},
        {Call::NetCfgInitialize, NETCFG_E_IN_USE, NETCFG_E_IN_USE, true, true},
        {Call::NetCfgInitialize, E_FAIL, E_FAIL, true, true},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << sim::CallName(c.call) << " answering 0x" << std::hex << c.answer);
        FreshMachine(index++);
        sim::Script(c.call, Answer::Hr(c.answer));
        INetCfg *config = kStaleConfig;
        LPWSTR holder = kStaleText;
        EXPECT_EQ(c.result, OpenLockedNetConfig(&config, &holder));
        EXPECT_EQ(nullptr, config);
        EXPECT_EQ(c.runtimeInitialised ? 1 : 0, sim::CallCount(Call::CoUninitialize));
        EXPECT_EQ(c.lockReleased ? 1 : 0, sim::CallCount(Call::LockReleaseWriteLock));
        if (c.result == NETCFG_E_NO_WRITE_LOCK) {
            // The caller owns the holder's description.
            ASSERT_NE(nullptr, holder);
            EXPECT_EQ(1, sim::OutstandingTaskMemBlocks());
            FreeLockHolderDescription(c.result, holder);
        } else {
            EXPECT_EQ(nullptr, holder);
        }
        ExpectNothingHeld();
        sim::ClearScripts();
        ASSERT_EQ(S_OK, OpenLockedNetConfig(&config, &holder)) << "the lock cannot be taken again";
        CloseLockedNetConfig(config);
    }
}

TEST_F(LockedNetConfigTest, RuntimeAlreadyInitialisedFailsAndStaysBalanced) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    INetCfg *config = kStaleConfig;
    LPWSTR holder = kStaleText;
    EXPECT_EQ(S_FALSE, OpenLockedNetConfig(&config, &holder));
    EXPECT_EQ(nullptr, config);
    EXPECT_EQ(nullptr, holder);
    EXPECT_EQ(0, sim::CallCount(Call::CoCreateInstance));
    ExpectNothingHeld(1);
    CoUninitialize();
    EXPECT_EQ(0, sim::RuntimeInitCount());
}

TEST_F(LockedNetConfigTest, LockHeldByAnotherClientTimesOutAndHandsOverItsDescription) {
    sim::HoldWriteLock(L"Another setup program");
    INetCfg *config = kStaleConfig;
    LPWSTR holder = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = OpenLockedNetConfig(&config, &holder);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_EQ(NETCFG_E_NO_WRITE_LOCK, hr);
    EXPECT_EQ(nullptr, config);
    EXPECT_EQ(std::vector<DWORD>{kLockWaitMs}, sim::LockWaitLimits());
    EXPECT_GE(waited.count(), 4000);
    EXPECT_LE(waited.count(), kLockWaitMs + 2000);
    ASSERT_NE(nullptr, holder);
    EXPECT_EQ(std::wstring(L"Another setup program"), holder);
    EXPECT_EQ(0, sim::LiveReferences());
    EXPECT_EQ(0, sim::RuntimeInitCount());
    EXPECT_EQ(std::optional<std::wstring>(L"Another setup program"), sim::WriteLockHolder());

    // Freed only for the no-lock result, and a null description never.
    EXPECT_EQ(1, sim::OutstandingTaskMemBlocks());
    FreeLockHolderDescription(E_FAIL, holder);
    FreeLockHolderDescription(S_FALSE, holder);
    FreeLockHolderDescription(NETCFG_E_NO_WRITE_LOCK, nullptr);
    EXPECT_EQ(0, sim::CallCount(Call::CoTaskMemFree));
    FreeLockHolderDescription(NETCFG_E_NO_WRITE_LOCK, holder);
    EXPECT_EQ(1, sim::CallCount(Call::CoTaskMemFree));

    // The scope holder keeps the description a failed open handed back, and
    // frees it when it goes; a refused open hands none back.
    sim::Script(Call::LockAcquireWriteLock, Answer::Hr(S_FALSE), 0);
    {
        LockedNetConfig held;
        EXPECT_EQ(NETCFG_E_NO_WRITE_LOCK, held.Open());
        ASSERT_NE(nullptr, held.HolderDescription());
        EXPECT_EQ(std::wstring(L"Another setup program"), held.HolderDescription());
        EXPECT_EQ(1, sim::OutstandingTaskMemBlocks());
    }
    EXPECT_EQ(2, sim::CallCount(Call::CoTaskMemFree));
    EXPECT_EQ(0, sim::OutstandingTaskMemBlocks());
    sim::Script(Call::LockAcquireWriteLock, Answer::Hr(E_ACCESSDENIED), 0);
    {
        LockedNetConfig held;
        EXPECT_EQ(E_ACCESSDENIED, held.Open());
        EXPECT_EQ(nullptr, held.HolderDescription());
    }
    EXPECT_EQ(2, sim::CallCount(Call::CoTaskMemFree));
    sim::ClearScripts();

    sim::ReleaseHeldWriteLock();
    ExpectNothingHeld();
}

TEST_F(LockedNetConfigTest, CloseAnswersItsLastStepAndAlwaysDropsTheReference) {
    const struct Case {
        Call call;  // Call::Count: nothing scripted
        HRESULT answer, result;
        int lockQueries, lockReleases;  // during the close
    } cases[] = {
        {Call::Count, S_OK, S_OK, 1, 1},
        {Call::NetCfgUninitialize, E_FAIL, E_FAIL, 0, 0},
        {Call::NetCfgUninitialize, S_FALSE, S_FALSE, 0, 0},
        {Call::NetCfgQueryInterface, E_NOINTERFACE, E_NOINTERFACE, 1, 0},
        {Call::LockReleaseWriteLock, E_UNEXPECTED, E_UNEXPECTED, 1, 1},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << sim::CallName(c.call) << " answering 0x" << std::hex << c.answer);
        FreshMachine(index++);
        INetCfg *config = nullptr;
        LPWSTR holder = nullptr;
        ASSERT_EQ(S_OK, OpenLockedNetConfig(&config, &holder));
        const int queries = sim::CallCount(Call::NetCfgQueryInterface);
        if (c.call != Call::Count)
            sim::Script(c.call, Answer::Hr(c.answer), sim::CallCount(c.call) + 1);
        EXPECT_EQ(c.result, CloseLockedNetConfig(config));
        EXPECT_EQ(c.lockQueries, sim::CallCount(Call::NetCfgQueryInterface) - queries);
        EXPECT_EQ(c.lockReleases, sim::CallCount(Call::LockReleaseWriteLock));
        EXPECT_EQ(1, sim::CallCount(Call::CoUninitialize));
        // The configuration object went with its last reference, and with it
        // a lock it still held.
        ExpectNothingHeld();
        sim::ClearScripts();
        ASSERT_EQ(S_OK, OpenLockedNetConfig(&config, &holder)) << "the lock cannot be taken again";
        EXPECT_EQ(S_OK, CloseLockedNetConfig(config));
    }
}

}  // namespace
