// Many timed calls with random hangs, failures, limits and wait answers.
// None may crash, leave a worker running, or write to the caller's flags
// once it has returned; whatever terminated workers abandon must not upset
// the calls that follow.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ndisfilter.h"
#include "sim/machine.h"
#include "sim_fixture.h"
#include "setup/product.h"

namespace {

const std::string kDriverInf = "; DorvaneV.INF\r\n[Version]\r\nClass=NetService\r\n";
using sim::Call;

constexpr int kCalls = 1200;

// Calls a worker may make, any of which may hang or fail.
const Call kWorkerCalls[] = {
    Call::GetModuleFileNameW,
    Call::SplitPath,
    Call::GetCurrentDirectoryW,
    Call::SetCurrentDirectoryW,
    Call::CoInitialize,
    Call::CoCreateInstance,
    Call::NetCfgQueryInterface,
    Call::LockAcquireWriteLock,
    Call::NetCfgInitialize,
    Call::AddRef,
    Call::Release,
    Call::SetupCopyOEMInfW,
    Call::NetCfgQueryNetCfgClass,
    Call::ClassSetupInstall,
    Call::NetCfgApply,
    Call::NetCfgFindComponent,
    Call::ComponentGetClassGuid,
    Call::ClassQueryInterface,
    Call::ClassSetupDeInstall,
    Call::NetCfgUninitialize,
    Call::LockReleaseWriteLock,
    Call::CoUninitialize,
    Call::GetWindowsDirectoryA,
    Call::FopenS,
    Call::SetupUninstallOEMInfW,
    Call::DeleteFileA,
    Call::EndThread,
};
const DWORD kShortLimits[] = {0, 1, 2, 5, 10};

// The caller's flags of one call, between guard words, kept for the whole
// run: after the call returns they get a value of their own that nothing
// but a late write could change.
struct CallFlags {
    BOOL lead, timedOut, restart, cancelled, tail;
};

BOOL GuardOf(size_t call, int field) { return static_cast<BOOL>(0x40000000 | (call << 4) | field); }

void Guard(CallFlags &flags, size_t call) {
    flags.lead = GuardOf(call, 0);
    flags.timedOut = GuardOf(call, 1);
    flags.restart = GuardOf(call, 2);
    flags.cancelled = GuardOf(call, 3);
    flags.tail = GuardOf(call, 4);
}

bool Guarded(const CallFlags &flags, size_t call) {
    return flags.lead == GuardOf(call, 0) && flags.timedOut == GuardOf(call, 1) &&
           flags.restart == GuardOf(call, 2) && flags.cancelled == GuardOf(call, 3) &&
           flags.tail == GuardOf(call, 4);
}

// A flag after a call: 0 or 1 if the operation wrote it, else as the
// caller left it.
bool PlausibleFlag(BOOL value, BOOL before) {
    return value == FALSE || value == TRUE || value == before;
}

size_t FirstLateWrite(const std::vector<CallFlags> &all, size_t done) {
    for (size_t i = 0; i < done; ++i)
        if (!Guarded(all[i], i)) return i;
    return done;
}

class StressTest : public SimMachineTest {};

TEST_F(StressTest, TimedCallsWithRandomHangsAndLimitsNeverWriteAfterReturning) {
    WriteFileAt("D:\\drivers\\pkg\\DorvaneV.inf", kDriverInf);
    WriteFileAt("C:\\Program Files\\Host\\DorvaneV.inf", kDriverInf);
    const unsigned seed = std::random_device{}();
    std::printf("stress seed %u\n", seed);
    std::mt19937 random(seed);
    auto pick = [&](auto &choices) { return choices[random() % std::size(choices)]; };

    INdisFilterHelper2 *filter = nullptr;
    const GUID anyClass = {};
    ASSERT_EQ(
        DllGetClassObject(anyClass, IID_INdisFilterHelper2, reinterpret_cast<void **>(&filter)),
        S_OK);

    std::vector<CallFlags> flags(kCalls);  // never reallocated
    int timedOut = 0, threadStartsRefused = 0;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kCalls; ++i) {
        sim::ClearScripts();
        DWORD limit = INFINITE;
        switch (random() % 10) {
            case 0:
            case 1:
            case 2:
            case 3: {  // a hang somewhere ahead
                const Call call = pick(kWorkerCalls);
                sim::Script(call, sim::Answer::Hang(),
                            sim::CallCount(call) + 1 + static_cast<int>(random() % 3));
                limit = pick(kShortLimits);
                break;
            }
            case 4:
            case 5:  // the wait itself says the time is up
                sim::ScriptNextWait(random() % 2 ? WAIT_TIMEOUT : WAIT_FAILED);
                if (random() % 2) limit = pick(kShortLimits);
                break;
            case 6: {  // a failure somewhere ahead
                const Call call = pick(kWorkerCalls);
                sim::Script(call, sim::Answer::Hr(E_FAIL),
                            sim::CallCount(call) + 1 + static_cast<int>(random() % 3));
                break;
            }
            case 7:
                if (random() % 8 == 0) {
                    sim::Script(Call::BeginThread, sim::Answer::Win32(ERROR_NOT_ENOUGH_MEMORY),
                                sim::CallCount(Call::BeginThread) + 1);
                    ++threadStartsRefused;
                }
                break;
            default:  // a plain call, limit or not
                if (random() % 2) limit = pick(kShortLimits);
                break;
        }

        CallFlags &f = flags[i];
        f.lead = f.tail = GuardOf(i, 0);
        const BOOL before = 7;
        f.timedOut = f.restart = f.cancelled = before;
        BOOL result = FALSE;
        switch (random() % 3) {
            case 0:
                result = filter->InstallWithTimeout(L"D:\\drivers\\pkg\\DorvaneV.inf", limit,
                                                    &f.timedOut, &f.restart, &f.cancelled);
                break;
            case 1:
                result = filter->InstallWithTimeout(nullptr, limit, &f.timedOut, &f.restart,
                                                    &f.cancelled);
                break;
            default:
                result = filter->UninstallWithTimeout(limit, &f.timedOut, &f.restart);
                break;
        }

        ASSERT_TRUE(f.timedOut == FALSE || f.timedOut == TRUE) << "call " << i;
        if (f.timedOut) {
            ++timedOut;
            ASSERT_EQ(result, FALSE) << "call " << i;
        }
        ASSERT_TRUE(PlausibleFlag(f.restart, before)) << "call " << i;
        ASSERT_TRUE(PlausibleFlag(f.cancelled, before)) << "call " << i;
        ASSERT_EQ(f.lead, GuardOf(i, 0));
        ASSERT_EQ(f.tail, GuardOf(i, 0));
        // Every worker has ended or been terminated by the time the call
        // returns: none is left hung.
        ASSERT_EQ(sim::HungThreads(), 0) << "call " << i;
        Guard(f, i);
        if (i % 100 == 99) {
            ASSERT_EQ(FirstLateWrite(flags, i + 1), i + 1);
        }
    }

    // Wake anything still hung (nothing should be), give it time to write,
    // then look at every call's flags once more.
    sim::ClearScripts();
    sim::ReleaseHangs();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FirstLateWrite(flags, kCalls), static_cast<size_t>(kCalls));

    EXPECT_EQ(sim::ThreadsStarted(), kCalls - threadStartsRefused);
    EXPECT_LE(sim::ThreadsTerminated(), timedOut);
    EXPECT_GT(sim::ThreadsTerminated(), 0);
    EXPECT_EQ(filter->Release(), 0u);

    // The machine still works for the next client.
    INdisFilterHelper2 *next = nullptr;
    ASSERT_EQ(DllGetClassObject(anyClass, IID_INdisFilterHelper2, reinterpret_cast<void **>(&next)),
              S_OK);
    BOOL t = 7, r = 7, c = 7;
    EXPECT_TRUE(next->InstallWithTimeout(L"D:\\drivers\\pkg\\DorvaneV.inf", INFINITE, &t, &r, &c));
    EXPECT_TRUE(next->UninstallWithTimeout(INFINITE, &t, &r));
    EXPECT_FALSE(sim::ComponentInstalled(ndisfilter::kComponentId));
    EXPECT_FALSE(sim::WriteLockHeld());
    next->Release();

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d timed calls, %d timed out, %d workers terminated, %.1f s\n", kCalls, timedOut,
                sim::ThreadsTerminated(), seconds);
}

}  // namespace
