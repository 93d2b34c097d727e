// The simulated machine's trickiest promises: the platform's slot order,
// text-mode reading, _wsplitpath_s limits, the write lock's waiting and
// abandonment, termination of hung threads, reference attribution, the
// kernel calls' size rules, file listing, reading and sharing, and the
// removal of published INFs.
#include "sim_fixture.h"

#include <devguid.h>
#include <netcfgx.h>
#include <objbase.h>
#include <process.h>
#include <setupapi.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

using sim::Answer;
using sim::Call;
using sim::Iface;

namespace {

// The function in slot `index` of an interface's table, called with the
// interface pointer first, as a C caller would.
template <typename Fn>
Fn Slot(void *iface, int index) {
    return reinterpret_cast<Fn>((*static_cast<void ***>(iface))[index]);
}

INetCfg *CreateNetCfg() {
    INetCfg *config = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                     reinterpret_cast<void **>(&config)));
    return config;
}

INetCfgLock *LockOf(INetCfg *config) {
    INetCfgLock *lock = nullptr;
    EXPECT_EQ(S_OK, config->QueryInterface(IID_INetCfgLock, reinterpret_cast<void **>(&lock)));
    return lock;
}

// Reads the whole stream opened by fopen_s.
std::string ReadAll(const char *windowsPath, const char *mode) {
    FILE *file = nullptr;
    EXPECT_EQ(0, fopen_s(&file, windowsPath, mode));
    if (!file) return "<not opened>";
    std::string bytes;
    char buffer[7];  // small: reads cross the translated buffer's chunks
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    EXPECT_EQ(0, fclose(file));
    return bytes;
}

// A worker that takes the write lock and then hangs in Initialize; it
// records how far it came.
struct LockingWorker {
    std::atomic<int> stage{0};  // 1: lock taken, 2: ran past the hung call
    INetCfg *config = nullptr;

    static unsigned Run(void *argument) {
        auto *self = static_cast<LockingWorker *>(argument);
        CoInitialize(nullptr);
        self->config = CreateNetCfg();
        INetCfgLock *lock = LockOf(self->config);
        LPWSTR holder = nullptr;
        if (lock->AcquireWriteLock(0, L"Worker", &holder) == S_OK) self->stage = 1;
        self->config->Initialize(nullptr);  // scripted to hang
        self->stage = 2;
        _endthreadex(0);
    }
};

}  // namespace

TEST_F(SimMachineTest, InterfacesKeepThePlatformSlotOrder) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    sim::AddInstalledComponent(L"ZQ_Probe", GUID_DEVCLASS_NETSERVICE);
    INetCfg *config = CreateNetCfg();
    INetCfgLock *lock = LockOf(config);

    using AcquireFn = HRESULT (*)(void *, DWORD, LPCWSTR, LPWSTR *);
    LPWSTR holder = nullptr;
    EXPECT_EQ(S_OK, Slot<AcquireFn>(lock, 3)(lock, 0, L"Probe", &holder));
    EXPECT_EQ(std::optional<std::wstring>(L"Probe"), sim::WriteLockHolder());
    EXPECT_EQ(S_OK, Slot<HRESULT (*)(void *, PVOID)>(config, 3)(config, nullptr));  // Initialize

    INetCfgComponent *component = nullptr;
    using FindFn = HRESULT (*)(void *, LPCWSTR, INetCfgComponent **);
    EXPECT_EQ(S_OK, Slot<FindFn>(config, 8)(config, L"zq_probe", &component));  // any case
    ASSERT_NE(nullptr, component);
    GUID classGuid = {};
    EXPECT_EQ(S_OK, Slot<HRESULT (*)(void *, GUID *)>(component, 10)(component, &classGuid));
    EXPECT_TRUE(IsEqualGUID(GUID_DEVCLASS_NETSERVICE, classGuid));
    LPWSTR id = nullptr;
    EXPECT_EQ(S_OK, Slot<HRESULT (*)(void *, LPWSTR *)>(component, 6)(component, &id));  // GetId
    EXPECT_STREQ(L"ZQ_Probe", id);
    CoTaskMemFree(id);

    void *setup = nullptr;
    using QueryClassFn = HRESULT (*)(void *, const GUID *, REFIID, void **);
    EXPECT_EQ(S_OK, Slot<QueryClassFn>(config, 9)(config, &GUID_DEVCLASS_NETSERVICE,
                                                  IID_INetCfgClassSetup, &setup));
    ASSERT_NE(nullptr, setup);
    OBO_TOKEN token = {};
    token.Type = OBO_USER;
    using DeInstallFn = HRESULT (*)(void *, INetCfgComponent *, OBO_TOKEN *, LPWSTR *);
    EXPECT_EQ(S_OK, Slot<DeInstallFn>(setup, 5)(setup, component, &token, nullptr));
    using InstallFn = HRESULT (*)(void *, LPCWSTR, OBO_TOKEN *, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                  INetCfgComponent **);
    EXPECT_EQ(S_OK, Slot<InstallFn>(setup, 4)(setup, L"ZQ_Other", &token, 0, 0, nullptr, nullptr,
                                              nullptr));
    EXPECT_EQ(S_OK, Slot<HRESULT (*)(void *)>(config, 5)(config));  // Apply
    EXPECT_EQ(std::vector<std::wstring>{L"ZQ_Other"}, sim::InstalledComponents());

    // Release through slot 2 of each table; every count goes back to zero.
    EXPECT_EQ(4, sim::LiveReferences());
    Slot<ULONG (*)(void *)>(setup, 2)(setup);
    Slot<ULONG (*)(void *)>(component, 2)(component);
    EXPECT_EQ(S_OK, Slot<HRESULT (*)(void *)>(lock, 4)(lock));  // ReleaseWriteLock
    EXPECT_FALSE(sim::WriteLockHeld());
    Slot<ULONG (*)(void *)>(lock, 2)(lock);
    EXPECT_EQ(0u, Slot<ULONG (*)(void *)>(config, 2)(config));
    EXPECT_EQ(0, sim::LiveReferences());
    EXPECT_EQ(0, sim::OutstandingTaskMemBlocks());
    CoUninitialize();
    EXPECT_EQ(0, sim::RuntimeInitCount());
}

TEST_F(SimMachineTest, RuntimeAndConfigurationAnswerAsThePlatformDoes) {
    void *object = reinterpret_cast<void *>(1);
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(S_OK, CoInitialize(nullptr));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));  // counts all the same
    EXPECT_EQ(2, sim::RuntimeInitCount());
    EXPECT_EQ(2, sim::RuntimeInitCount(GetCurrentThreadId()));
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(IID_INetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg, &object));
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_CNetCfg, reinterpret_cast<IUnknown *>(&object),
                               CLSCTX_INPROC_SERVER, IID_INetCfg, &object));
    EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_INetCfgClass, &object));
    EXPECT_EQ(0, sim::LiveReferences());

    INetCfg *config = CreateNetCfg();
    INetCfgComponent *component = reinterpret_cast<INetCfgComponent *>(1);
    EXPECT_EQ(NETCFG_E_NOT_INITIALIZED, config->FindComponent(L"ZQ_DorvaneV", &component));
    EXPECT_EQ(nullptr, component);
    EXPECT_EQ(NETCFG_E_NOT_INITIALIZED, config->Apply());
    EXPECT_EQ(S_OK, config->Initialize(nullptr));
    EXPECT_EQ(NETCFG_E_ALREADY_INITIALIZED, config->Initialize(nullptr));
    EXPECT_EQ(S_FALSE, config->FindComponent(L"ZQ_DorvaneV", &component));
    EXPECT_EQ(nullptr, component);
    EXPECT_EQ(NETCFG_E_NO_WRITE_LOCK, config->Apply());  // changes need the lock

    INetCfgClassSetup *setup = nullptr;
    ASSERT_EQ(S_OK, config->QueryNetCfgClass(&GUID_DEVCLASS_NETSERVICE, IID_INetCfgClassSetup,
                                             reinterpret_cast<void **>(&setup)));
    OBO_TOKEN token = {};
    token.Type = OBO_USER;
    EXPECT_EQ(NETCFG_E_NO_WRITE_LOCK,
              setup->Install(L"ZQ_DorvaneV", &token, 0, 0, nullptr, nullptr, nullptr));
    INetCfgLock *lock = LockOf(config);
    LPWSTR holder = nullptr;
    ASSERT_EQ(S_OK, lock->AcquireWriteLock(0, L"Test", &holder));
    EXPECT_EQ(S_OK, setup->Install(L"ZQ_DorvaneV", &token, 0, 0, nullptr, nullptr, &component));
    ASSERT_NE(nullptr, component);
    EXPECT_FALSE(sim::ComponentInstalled(L"ZQ_DorvaneV"));  // only the working copy so far
    EXPECT_EQ(S_OK, setup->DeInstall(component, &token, nullptr));
    EXPECT_EQ(E_INVALIDARG, setup->DeInstall(component, &token, nullptr));  // absent now
    EXPECT_EQ(S_OK, setup->Install(L"ZQ_DorvaneV", &token, 0, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(S_OK, config->Apply());
    EXPECT_TRUE(sim::ComponentInstalled(L"zq_dorvanev"));

    // Uninitialize discards the working copy; Apply then needs Initialize.
    EXPECT_EQ(S_OK, setup->DeInstall(component, &token, nullptr));
    EXPECT_EQ(S_OK, config->Uninitialize());
    EXPECT_EQ(NETCFG_E_NOT_INITIALIZED, config->Apply());
    EXPECT_TRUE(sim::ComponentInstalled(L"ZQ_DorvaneV"));

    // The class object keeps the configuration alive; the configuration,
    // destroyed while holding the lock, releases it.
    lock->Release();
    config->Release();
    component->Release();
    EXPECT_TRUE(sim::WriteLockHeld());
    EXPECT_EQ(1, sim::LiveReferences());
    EXPECT_EQ(0u, setup->Release());
    EXPECT_FALSE(sim::WriteLockHeld());
    EXPECT_EQ(0, sim::LiveReferences());
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(0, sim::RuntimeInitCount());
}

TEST_F(SimMachineTest, ScriptsAnswerTheNthCallAndHangsProceedWhenReleased) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    INetCfg *config = CreateNetCfg();
    sim::Script(Call::NetCfgInitialize, Answer::Hr(E_ACCESSDENIED), 2);
    sim::Script(Call::NetCfgUninitialize, Answer::Hr(NETCFG_S_REBOOT));
    EXPECT_EQ(S_OK, config->Initialize(nullptr));
    EXPECT_EQ(NETCFG_S_REBOOT, config->Uninitialize());      // did its work...
    EXPECT_EQ(E_ACCESSDENIED, config->Initialize(nullptr));  // ...so this is the scripted 2nd
    EXPECT_EQ(S_OK, config->Initialize(nullptr));            // 3rd: normal again
    EXPECT_EQ(3, sim::CallCount(Call::NetCfgInitialize));

    sim::Script(Call::NetCfgFindComponent, Answer::Hr(S_OK), 0);  // every call
    sim::AddInstalledComponent(L"ZQ_DorvaneV", GUID_DEVCLASS_NETSERVICE);
    INetCfgComponent *component = nullptr;
    EXPECT_EQ(S_FALSE,
              config->FindComponent(L"ZQ_DorvaneV", &component));  // loaded before it was added

    sim::Script(Call::NetCfgApply, Answer::Hang());
    constexpr HRESULT kNotYet = 0x7E57;
    std::atomic<HRESULT> applied{kNotYet};
    std::thread caller([&] { applied = config->Apply(); });
    ASSERT_TRUE(sim::WaitForHungThreads(1, 5000));
    EXPECT_EQ(kNotYet, applied.load());
    sim::ReleaseHangs();
    caller.join();
    EXPECT_EQ(NETCFG_E_NO_WRITE_LOCK, applied.load());  // proceeded normally
    EXPECT_EQ(0, sim::HungThreads());

    config->Release();
    CoUninitialize();
}

TEST_F(SimMachineTest, TextModeReadsAsTheWindowsRuntime) {
    const char raw[] =
        "a\r\nb\rc\r\r\nd\x1a"
        "after";
    WriteFileAt("C:\\Data\\Head.inf", std::string(raw, sizeof raw - 1));
    WriteFileAt("C:\\Data\\Zero.bin", std::string("x\0y\r\n", 5));
    EXPECT_EQ("a\nb\rc\r\nd", ReadAll("C:\\Data\\Head.inf", "r"));
    EXPECT_EQ("a\nb\rc\r\nd", ReadAll("c:\\data\\HEAD.INF", "rt"));  // names in any case
    EXPECT_EQ(std::string(raw, sizeof raw - 1), ReadAll("C:\\Data\\Head.inf", "rb"));
    EXPECT_EQ(std::string("x\0y\n", 4), ReadAll("C:\\Data\\Zero.bin", "r"));

    // A relative name is found from the current directory.
    sim::SetCurrentDirectory(L"C:\\Data");
    EXPECT_EQ("a\nb\rc\r\nd", ReadAll("head.inf", "r"));

    FILE *file = reinterpret_cast<FILE *>(1);
    EXPECT_EQ(ENOENT, fopen_s(&file, "C:\\Data\\Missing.inf", "r"));
    EXPECT_EQ(nullptr, file);
    EXPECT_EQ(EINVAL, fopen_s(nullptr, "C:\\Data\\Head.inf", "r"));
    sim::Script(Call::FopenS, Answer::Win32(ERROR_SHARING_VIOLATION),
                sim::CallCount(Call::FopenS) + 1);
    EXPECT_EQ(EACCES, fopen_s(&file, "C:\\Data\\Head.inf", "r"));
    EXPECT_EQ(nullptr, file);
}

TEST_F(SimMachineTest, SplitPathKeepsItsBoundsAndEmptiesEveryBufferOnError) {
    wchar_t drive[3], dir[256], name[16], ext[8];
    ASSERT_EQ(
        0, _wsplitpath_s(L"D:\\drivers\\pkg/DorvaneV.x.inf", drive, 3, dir, 256, name, 16, ext, 8));
    EXPECT_STREQ(L"D:", drive);
    EXPECT_STREQ(L"\\drivers\\pkg/", dir);
    EXPECT_STREQ(L"DorvaneV.x", name);
    EXPECT_STREQ(L".inf", ext);
    ASSERT_EQ(0, _wsplitpath_s(L"noext", drive, 3, dir, 256, nullptr, 0, nullptr, 0));
    EXPECT_STREQ(L"", drive);
    EXPECT_STREQ(L"", dir);

    // The directory fills its buffer exactly: 255 characters and the zero.
    const std::wstring exact = L"C:\\" + std::wstring(253, L'a') + L"\\f.inf";
    ASSERT_EQ(0, _wsplitpath_s(exact.c_str(), drive, 3, dir, 256, nullptr, 0, nullptr, 0));
    EXPECT_EQ(255u, wcslen(dir));

    auto expectAllEmpty = [&] {
        EXPECT_STREQ(L"", drive);
        EXPECT_STREQ(L"", dir);
        EXPECT_STREQ(L"", name);
        EXPECT_STREQ(L"", ext);
    };
    auto fill = [&] {
        wcscpy(drive, L"?");
        wcscpy(dir, L"?");
        wcscpy(name, L"?");
        wcscpy(ext, L"?");
    };
    const std::wstring tooLong = L"C:\\" + std::wstring(254, L'a') + L"\\f.inf";
    const struct {
        const wchar_t *path;
        size_t driveSize, nameSize;
        errno_t expected;
    } cases[] = {
        {tooLong.c_str(), 3, 16, ERANGE},
        {L"C:\\x\\averyverylongname.inf", 3, 16, ERANGE},
        {L"C:\\x\\f.inf", 2, 16, ERANGE},  // a drive needs all three
        {nullptr, 3, 16, EINVAL},
    };
    for (const auto &c : cases) {
        fill();
        EXPECT_EQ(c.expected,
                  _wsplitpath_s(c.path, drive, c.driveSize, dir, 256, name, c.nameSize, ext, 8));
        expectAllEmpty();
    }
    fill();
    EXPECT_EQ(EINVAL, _wsplitpath_s(L"C:\\f.inf", drive, 3, nullptr, 256, name, 16, ext,
                                    8));  // size without buffer
    EXPECT_STREQ(L"", drive);
    EXPECT_STREQ(L"", name);
    EXPECT_STREQ(L"", ext);
    EXPECT_EQ(EINVAL, _wsplitpath_s(L"C:\\f.inf", drive, 0, nullptr, 0, nullptr, 0, nullptr,
                                    0));  // buffer without size
    fill();
    EXPECT_EQ(0, _wsplitpath_s(L"\\f.inf", drive, 1, dir, 256, name, 16, ext,
                               8));  // no drive: 1 is enough
    EXPECT_STREQ(L"", drive);
}

TEST_F(SimMachineTest, WriteLockWaitsForItsHolderAndIsTakenFromATerminatedOne) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    INetCfg *config = CreateNetCfg();
    INetCfgLock *lock = LockOf(config);

    // Held by another client: waited for, then S_FALSE with its description.
    sim::HoldWriteLock(L"Other Installer");
    LPWSTR holder = nullptr;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(S_FALSE, lock->AcquireWriteLock(300, L"Test", &holder));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    ASSERT_NE(nullptr, holder);
    EXPECT_STREQ(L"Other Installer", holder);
    EXPECT_EQ(1, sim::OutstandingTaskMemBlocks());
    CoTaskMemFree(holder);
    EXPECT_EQ(0, sim::OutstandingTaskMemBlocks());

    // Released meanwhile: the waiter wakes long before its limit.
    std::thread releaser([] {
        Sleep(100);
        sim::ReleaseHeldWriteLock();
    });
    const auto wait = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, lock->AcquireWriteLock(60000, L"Test", &holder));
    EXPECT_LT(std::chrono::steady_clock::now() - wait, std::chrono::seconds(30));
    releaser.join();
    EXPECT_EQ(nullptr, holder);
    EXPECT_EQ(std::optional<std::wstring>(L"Test"), sim::WriteLockHolder());

    // A scripted "held" answer hands back a description too.
    sim::Script(Call::LockAcquireWriteLock, Answer::Hr(S_FALSE),
                sim::CallCount(Call::LockAcquireWriteLock) + 1);
    EXPECT_EQ(S_FALSE, lock->AcquireWriteLock(5000, L"Test", &holder));
    ASSERT_NE(nullptr, holder);
    CoTaskMemFree(holder);
    EXPECT_EQ(S_OK, lock->ReleaseWriteLock());
    EXPECT_EQ((std::vector<DWORD>{300, 60000, 5000}), sim::LockWaitLimits());

    // A worker takes the lock and is terminated while hung: the lock is
    // abandoned, not held, and the next client gets it at once.
    sim::Script(Call::NetCfgInitialize, Answer::Hang());
    LockingWorker worker;
    auto thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, LockingWorker::Run, &worker, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    ASSERT_TRUE(sim::WaitForHungThreads(1, 5000));
    EXPECT_EQ(1, worker.stage.load());
    EXPECT_TRUE(sim::WriteLockHeld());
    EXPECT_TRUE(TerminateThread(thread, 1));
    EXPECT_TRUE(sim::WriteLockAbandoned());
    EXPECT_FALSE(sim::WriteLockHeld());
    const auto taken = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, lock->AcquireWriteLock(60000, L"Next", &holder));
    EXPECT_LT(std::chrono::steady_clock::now() - taken, std::chrono::seconds(30));
    EXPECT_FALSE(sim::WriteLockAbandoned());
    EXPECT_TRUE(CloseHandle(thread));

    lock->Release();
    EXPECT_EQ(0u, config->Release());
    EXPECT_FALSE(sim::WriteLockHeld());
    CoUninitialize();
}

TEST_F(SimMachineTest, TerminatedThreadsEndAtOnceAndAbandonWhatTheyHeld) {
    // Hung in a call: terminated at once, never runs on when released.
    sim::Script(Call::NetCfgInitialize, Answer::Hang());
    LockingWorker worker;
    unsigned threadId = 0;
    auto thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, LockingWorker::Run, &worker, 0, &threadId));
    ASSERT_NE(nullptr, thread);
    ASSERT_TRUE(sim::WaitForHungThreads(1, 5000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);

    EXPECT_TRUE(TerminateThread(thread, 7));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(7u, code);
    sim::ReleaseHangs();
    Sleep(50);
    EXPECT_EQ(1, worker.stage.load());
    EXPECT_EQ(0, sim::HungThreads());

    // Its references stay live and are reported, as do its runtime
    // initialisation and the lock.
    EXPECT_EQ(2, sim::LiveReferences());  // the creation reference and the lock's
    EXPECT_EQ(2, sim::AbandonedInterfaceReferences());
    EXPECT_EQ(1, sim::RuntimeInitCount(threadId));
    EXPECT_EQ(1, sim::AbandonedRuntimeInitializations());
    EXPECT_EQ(4, sim::AbandonedReferences());  // 2 references, 1 initialisation, the lock
    EXPECT_EQ(1, sim::ThreadsTerminated());

    // A reference this thread obtains on the same object is its own.
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    worker.config->AddRef();
    EXPECT_EQ(3, sim::LiveReferences(Iface::NetCfg) + sim::LiveReferences(Iface::NetCfgLock));
    EXPECT_EQ(2, sim::AbandonedInterfaceReferences());
    worker.config->Release();
    EXPECT_EQ(2, sim::LiveReferences());
    // Released by a thread that holds none: a live thread's reference goes
    // first, the abandoned ones stay.
    std::thread([&] { worker.config->AddRef(); }).join();
    worker.config->Release();
    EXPECT_EQ(2, sim::AbandonedInterfaceReferences());
    EXPECT_EQ(2, sim::LiveReferences());
    CoUninitialize();

    // Not blocked: it ends at its next platform call.
    struct Spinner {
        std::atomic<bool> go{false};
        std::atomic<int> calls{0};
        static unsigned Run(void *argument) {
            auto *self = static_cast<Spinner *>(argument);
            while (!self->go) std::this_thread::yield();
            for (;;) {
                GetLastError();
                ++self->calls;
            }
        }
    } spinner;
    auto spinning =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Spinner::Run, &spinner, 0, nullptr));
    ASSERT_NE(nullptr, spinning);
    EXPECT_TRUE(TerminateThread(spinning, 3));
    spinner.go = true;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(spinning, 10000));
    EXPECT_TRUE(GetExitCodeThread(spinning, &code));
    EXPECT_EQ(3u, code);
    EXPECT_EQ(0, spinner.calls.load());

    // Handles: closed once; a bad handle fails every call.
    EXPECT_TRUE(CloseHandle(spinning));
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));
    EXPECT_FALSE(TerminateThread(thread, 1));
    EXPECT_EQ(2, sim::ThreadsStarted());
}

TEST_F(SimMachineTest, ThreadsEndWithTheirCodeAndWaitsAreRecorded) {
    struct Quick {
        static unsigned Returns(void *) { return 5; }
        static unsigned Ends(void *) { _endthreadex(6); }
    };
    auto returns =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Quick::Returns, nullptr, 0, nullptr));
    auto ends =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Quick::Ends, nullptr, 0, nullptr));
    ASSERT_TRUE(returns && ends);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(returns, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ends, 10000));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(returns, &code));
    EXPECT_EQ(5u, code);
    EXPECT_TRUE(GetExitCodeThread(ends, &code));
    EXPECT_EQ(6u, code);

    sim::ScriptNextWait(WAIT_TIMEOUT);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(returns, 120000));  // at once
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(returns, 0));
    EXPECT_EQ((std::vector<DWORD>{INFINITE, 10000, 120000, 0}), sim::WaitLimits());
    EXPECT_TRUE(CloseHandle(returns));
    EXPECT_TRUE(CloseHandle(ends));

    sim::Script(Call::BeginThread, Answer::Win32(ERROR_NOT_ENOUGH_MEMORY),
                sim::CallCount(Call::BeginThread) + 1);
    EXPECT_EQ(0u, _beginthreadex(nullptr, 0, Quick::Returns, nullptr, 0, nullptr));
    EXPECT_EQ(2, sim::ThreadsStarted());
}

TEST_F(SimMachineTest, KernelCallsFollowThePlatformSizeRules) {
    // Module file name: truncated to the buffer, answering its capacity.
    const std::wstring exe = L"C:\\Program Files\\Host\\host.exe";  // 30 characters
    wchar_t buffer[64];
    EXPECT_EQ(30u, GetModuleFileNameW(nullptr, buffer, 31));
    EXPECT_EQ(exe, buffer);
    SetLastError(0);
    EXPECT_EQ(30u, GetModuleFileNameW(nullptr, buffer, 30));
    EXPECT_EQ(exe.substr(0, 29), buffer);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    sim::SetExecutablePath(std::nullopt);
    EXPECT_EQ(0u, GetModuleFileNameW(nullptr, buffer, 64));

    // Current directory: too small answers the size needed, untouched.
    wmemset(buffer, L'#', 64);
    EXPECT_EQ(14u, GetCurrentDirectoryW(13, buffer));  // "C:\Users\Test" + zero
    EXPECT_EQ(L'#', buffer[0]);
    EXPECT_EQ(13u, GetCurrentDirectoryW(14, buffer));
    EXPECT_STREQ(L"C:\\Users\\Test", buffer);
    EXPECT_FALSE(SetCurrentDirectoryW(L"C:\\Nowhere"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(SetCurrentDirectoryW(L"c:\\program files\\HOST\\"));
    EXPECT_EQ(L"c:\\program files\\HOST", sim::CurrentDirectory());
    EXPECT_TRUE(SetCurrentDirectoryW(L"..\\..\\Users\\.\\Test"));
    EXPECT_EQ(L"c:\\program files\\HOST", sim::CallLog().back().currentDirectory);  // at the call
    EXPECT_EQ(L"c:\\Users\\Test", sim::CurrentDirectory());

    // Windows directory: the same rule in narrow text.
    char text[16];
    memset(text, '#', sizeof text);
    EXPECT_EQ(11u, GetWindowsDirectoryA(text, 10));
    EXPECT_EQ('#', text[0]);
    EXPECT_EQ(10u, GetWindowsDirectoryA(text, 11));
    EXPECT_STREQ("C:\\WINDOWS", text);
    sim::SetWindowsDirectory(std::nullopt);
    EXPECT_EQ(0u, GetWindowsDirectoryA(text, 16));

    // Deletion: missing, scripted to fail, done.
    WriteFileAt("C:\\WINDOWS\\inf\\oem3.inf", "x");
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\inf\\oem4.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    sim::FailDelete("C:\\Windows\\INF\\OEM3.inf");
    EXPECT_FALSE(DeleteFileA("c:\\windows\\inf\\oem3.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(FileExistsAt("C:\\WINDOWS\\inf\\oem3.inf"));
    EXPECT_EQ(1u, InfStore().size());
}

TEST_F(SimMachineTest, InfCopiesTakeTheFirstFreeNumberAndReuseAnIdenticalCopy) {
    WriteFileAt("D:\\pkg\\A.inf", "; A.inf\r\n");
    WriteFileAt("D:\\pkg\\B.inf", "; B.inf\r\n");
    WriteFileAt("C:\\WINDOWS\\inf\\oem0.inf", "someone else's");
    EXPECT_TRUE(SetupCopyOEMInfW(L"D:\\pkg\\A.inf", L"D:\\pkg\\", SPOST_PATH, 0, nullptr, 0,
                                 nullptr, nullptr));
    EXPECT_TRUE(SetupCopyOEMInfW(L"d:\\PKG\\b.inf", L"D:\\pkg\\", SPOST_PATH, 0, nullptr, 0,
                                 nullptr, nullptr));
    wchar_t dest[MAX_PATH];
    DWORD needed = 0;
    EXPECT_TRUE(SetupCopyOEMInfW(L"D:\\pkg\\A.inf", L"D:\\pkg\\", SPOST_PATH, 0, dest, MAX_PATH,
                                 &needed, nullptr));
    EXPECT_STREQ(L"C:\\WINDOWS\\inf\\oem1.inf", dest);  // the identical copy again
    EXPECT_EQ(wcslen(dest) + 1, needed);
    EXPECT_EQ(
        (std::vector<std::string>{"oem0.inf", "oem1.PNF", "oem1.inf", "oem2.PNF", "oem2.inf"}),
        InfStore());
    EXPECT_EQ(std::optional<std::string>("; B.inf\r\n"), ReadFileAt("C:\\WINDOWS\\inf\\oem2.inf"));

    EXPECT_FALSE(SetupCopyOEMInfW(L"D:\\pkg\\Missing.inf", L"D:\\pkg\\", SPOST_PATH, 0, nullptr, 0,
                                  nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    for (DWORD error : {static_cast<DWORD>(ERROR_CANCELLED), 0u}) {
        sim::Script(Call::SetupCopyOEMInfW, Answer::Win32(error),
                    sim::CallCount(Call::SetupCopyOEMInfW) + 1);
        SetLastError(12345);
        EXPECT_FALSE(SetupCopyOEMInfW(L"D:\\pkg\\B.inf", L"D:\\pkg\\", SPOST_PATH, 0, nullptr, 0,
                                      nullptr, nullptr));
        EXPECT_EQ(error, GetLastError());
    }
    EXPECT_EQ(5u, InfStore().size());

    // As setup does: only full paths, and an INF whose named catalog is
    // missing is refused with ERROR_FILE_NOT_FOUND.
    sim::SetCurrentDirectory(L"D:\\pkg");
    EXPECT_FALSE(
        SetupCopyOEMInfW(L"B.inf", L"D:\\pkg\\", SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    WriteFileAt(
        "D:\\pkg\\Signed.inf",
        "; Signed.inf\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n"
        "CatalogFile.NTAMD64 = signed.cat ; x64 only\r\n[Other]\r\nCatalogFile=none.cat\r\n");
    EXPECT_FALSE(SetupCopyOEMInfW(L"D:\\pkg\\Signed.inf", L"D:\\pkg\\", SPOST_PATH, 0, nullptr, 0,
                                  nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(5u, InfStore().size());
    WriteFileAt("D:\\pkg\\Signed.cat", "catalog");
    EXPECT_TRUE(SetupCopyOEMInfW(L"D:\\pkg\\Signed.inf", L"D:\\pkg\\", SPOST_PATH, 0, nullptr, 0,
                                 nullptr, nullptr));
    EXPECT_EQ(7u, InfStore().size());

    const std::vector<sim::InfCopyRequest> requests = sim::InfCopyRequests();
    ASSERT_EQ(9u, requests.size());
    EXPECT_EQ(L"d:\\PKG\\b.inf", requests[1].infPath);
    EXPECT_EQ(L"D:\\pkg\\", requests[1].mediaDir);
}

TEST_F(SimMachineTest, InfRemovalRefusesWhatIsNotAPublishedInfWithThePlatformsCodes) {
    struct Case {
        const char *what;
        const wchar_t *name;
        DWORD flags;
        std::function<void()> setup;
        DWORD error;  // ERROR_SUCCESS: removed
        PVOID reserved = nullptr;
    };
    const std::string inf = "C:\\WINDOWS\\inf\\oem1.inf", pnf = "C:\\WINDOWS\\inf\\oem1.PNF";
    int notNull = 0;
    const Case cases[] = {
        {"removed with its .PNF", L"oem1.inf", SUOI_FORCEDELETE, {}, ERROR_SUCCESS},
        {"any letter case", L"OEM1.INF", 0, {}, ERROR_SUCCESS},
        {"no name", nullptr, SUOI_FORCEDELETE, {}, ERROR_INVALID_PARAMETER},
        {"reserved not null", L"oem1.inf", SUOI_FORCEDELETE, {}, ERROR_INVALID_PARAMETER,
         &notNull},
        {"not there", L"oem4.inf", SUOI_FORCEDELETE, {}, ERROR_NOT_AN_INSTALLED_OEM_INF},
        {"not an oem<N>.inf", L"machine.inf", SUOI_FORCEDELETE,
         [] { WriteFileAt("C:\\WINDOWS\\inf\\machine.inf", "x"); }, ERROR_NOT_AN_INSTALLED_OEM_INF},
        {"a path", L"..\\inf\\oem1.inf", SUOI_FORCEDELETE, {}, ERROR_NOT_AN_INSTALLED_OEM_INF},
        {"a full path",
         L"C:\\WINDOWS\\inf\\oem1.inf",
         SUOI_FORCEDELETE,
         {},
         ERROR_NOT_AN_INSTALLED_OEM_INF},
        {"a directory", L"oem2.inf", SUOI_FORCEDELETE,
         [] { std::filesystem::create_directories(sim::HostPath("C:\\WINDOWS\\inf\\oem2.inf")); },
         ERROR_NOT_AN_INSTALLED_OEM_INF},
        {"in use, not forced", L"oem1.inf", 0,
         [] { sim::AddInstalledComponent(L"zq_dorvanev", GUID_DEVCLASS_NETSERVICE); },
         ERROR_INF_IN_USE_BY_DEVICES},
        {"in use, forced", L"oem1.inf", SUOI_FORCEDELETE,
         [] { sim::AddInstalledComponent(L"ZQ_DorvaneV", GUID_DEVCLASS_NETSERVICE); },
         ERROR_SUCCESS},
        {"read-only", L"oem1.inf", SUOI_FORCEDELETE, [&] { sim::SetReadOnly(inf); },
         ERROR_ACCESS_DENIED},
        {"held open, sharing reads", L"oem1.inf", SUOI_FORCEDELETE,
         [&] { sim::HoldFileOpen(inf, FILE_SHARE_READ); }, ERROR_SHARING_VIOLATION},
        {"held open, sharing deletion", L"oem1.inf", SUOI_FORCEDELETE,
         [&] { sim::HoldFileOpen(inf, FILE_SHARE_DELETE); }, ERROR_SUCCESS},
        {"scripted", L"oem1.inf", SUOI_FORCEDELETE,
         [] { sim::Script(Call::SetupUninstallOEMInfW, Answer::Win32(ERROR_GEN_FAILURE)); },
         ERROR_GEN_FAILURE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset(Root());
        WriteFileAt(inf, "; ZQ_DorvaneV\r\n");
        WriteFileAt(pnf, "precompiled");
        if (c.setup) c.setup();
        SetLastError(12345);
        const BOOL removed = SetupUninstallOEMInfW(c.name, c.flags, c.reserved);
        EXPECT_EQ(c.error == ERROR_SUCCESS, removed != FALSE);
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(c.error != ERROR_SUCCESS, FileExistsAt(inf));
        EXPECT_EQ(c.error != ERROR_SUCCESS, FileExistsAt(pnf));
    }

    // The store of another Windows directory; the hang control.
    sim::Reset(Root());
    sim::SetWindowsDirectory(std::string("D:\\Win\\"));
    WriteFileAt("D:\\Win\\inf\\oem3.inf", "x");
    sim::Script(Call::SetupUninstallOEMInfW, Answer::Hang());
    std::atomic<BOOL> removed{-1};
    std::thread caller([&] { removed = SetupUninstallOEMInfW(L"oem3.inf", 0, nullptr); });
    ASSERT_TRUE(sim::WaitForHungThreads(1, 5000));
    EXPECT_EQ(-1, removed.load());
    EXPECT_TRUE(FileExistsAt("D:\\Win\\inf\\oem3.inf"));
    sim::ReleaseHangs();
    caller.join();
    EXPECT_TRUE(removed.load());
    EXPECT_FALSE(FileExistsAt("D:\\Win\\inf\\oem3.inf"));
    EXPECT_EQ(L"oem3.inf 0", sim::CallLog().back().detail);
}

TEST_F(SimMachineTest, FileListingReadingAndDeletionFollowThePlatformsRules) {
    const std::string store = "C:\\WINDOWS\\inf\\";
    WriteFileAt(store + "oem10.inf", "ten");
    WriteFileAt(store + "OEM9.INF", "nine");
    WriteFileAt(store + "oem1.PNF", "p");
    WriteFileAt("C:\\Users\\Test\\elsewhere.inf", "elsewhere");
    std::filesystem::create_directories(sim::HostPath(store + "oem2.inf"));
    ASSERT_EQ(0, symlink(sim::HostPath("C:\\Users\\Test\\elsewhere.inf").c_str(),
                         sim::HostPath(store + "oem3.inf").c_str()));
    sim::SetReadOnly(store + "oem10.inf");

    // A listing: any letter case, upper-case order, attributes of the entry
    // itself (a link is a reparse point), then ERROR_NO_MORE_FILES.
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(L"c:\\windows\\INF\\OEM?*.inf", &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    std::vector<std::pair<std::wstring, DWORD>> found{{data.cFileName, data.dwFileAttributes}};
    while (FindNextFileW(find, &data)) found.emplace_back(data.cFileName, data.dwFileAttributes);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
    const std::vector<std::pair<std::wstring, DWORD>> expected = {
        {L"oem10.inf", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY},
        {L"oem2.inf", FILE_ATTRIBUTE_DIRECTORY},
        {L"oem3.inf", FILE_ATTRIBUTE_REPARSE_POINT},
        {L"OEM9.INF", FILE_ATTRIBUTE_ARCHIVE},
    };
    EXPECT_EQ(expected, found);
    EXPECT_EQ(1, sim::OpenFileHandles());
    EXPECT_TRUE(FindClose(find));
    EXPECT_EQ(0, sim::OpenFileHandles());
    EXPECT_FALSE(FindClose(find));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(L"C:\\WINDOWS\\inf\\*.cat", &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(L"C:\\Nowhere\\*", &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\WINDOWS\\inf\\oem4.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Nowhere\\oem4.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

    // Reading: read access to an existing file only; a link followed or,
    // with FILE_FLAG_OPEN_REPARSE_POINT, opened itself.
    struct Open {
        const char *what;
        std::wstring path;
        DWORD access, flags;
        DWORD error;          // ERROR_SUCCESS: opened
        std::string content;  // read through the handle
    };
    const Open opens[] = {
        {"a file", L"c:\\WINDOWS\\inf\\oem9.inf", GENERIC_READ, 0, ERROR_SUCCESS, "nine"},
        {"a link, followed", L"C:\\WINDOWS\\inf\\oem3.inf", GENERIC_READ, 0, ERROR_SUCCESS,
         "elsewhere"},
        {"a link, itself", L"C:\\WINDOWS\\inf\\oem3.inf", GENERIC_READ,
         FILE_FLAG_OPEN_REPARSE_POINT, ERROR_SUCCESS, ""},
        {"a directory", L"C:\\WINDOWS\\inf\\oem2.inf", GENERIC_READ, 0, ERROR_ACCESS_DENIED, ""},
        {"absent", L"C:\\WINDOWS\\inf\\oem4.inf", GENERIC_READ, 0, ERROR_FILE_NOT_FOUND, ""},
        {"for writing", L"C:\\WINDOWS\\inf\\oem9.inf", GENERIC_WRITE, 0, ERROR_NOT_SUPPORTED, ""},
    };
    for (const Open &o : opens) {
        SCOPED_TRACE(o.what);
        const HANDLE file = CreateFileW(o.path.c_str(), o.access, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, o.flags, nullptr);
        if (o.error != ERROR_SUCCESS) {
            EXPECT_EQ(INVALID_HANDLE_VALUE, file);
            EXPECT_EQ(o.error, GetLastError());
            continue;
        }
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        std::string content;
        char chunk[3];
        DWORD got = 0;
        while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got)
            content.append(chunk, got);
        EXPECT_EQ(o.content, content);
        EXPECT_TRUE(CloseHandle(file));
        EXPECT_FALSE(ReadFile(file, chunk, sizeof chunk, &got, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
    EXPECT_EQ(0, sim::OpenFileHandles());

    // Held open by another process: reading and deleting as its sharing allows.
    const std::string nine = store + "OEM9.INF";
    sim::HoldFileOpen(nine, FILE_SHARE_READ);
    const HANDLE shared = CreateFileW(L"C:\\WINDOWS\\inf\\oem9.inf", GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, shared);
    CloseHandle(shared);
    EXPECT_FALSE(DeleteFileW(L"C:\\WINDOWS\\inf\\oem9.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\inf\\oem9.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    sim::HoldFileOpen(nine);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(L"C:\\WINDOWS\\inf\\oem9.inf", GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    FILE *stream = nullptr;
    EXPECT_EQ(EACCES, fopen_s(&stream, "C:\\WINDOWS\\inf\\oem9.inf", "r"));
    sim::ReleaseHeldFile(nine);
    EXPECT_TRUE(DeleteFileW(L"C:\\WINDOWS\\inf\\oem9.inf"));
    EXPECT_FALSE(FileExistsAt(nine));

    // Read-only, then not: deletion refused, then done; a link goes by
    // itself, its target stays.
    EXPECT_FALSE(DeleteFileW(L"C:\\WINDOWS\\inf\\oem10.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    sim::SetReadOnly(store + "oem10.inf", false);
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
              GetFileAttributesW(L"C:\\WINDOWS\\inf\\oem10.inf"));
    EXPECT_TRUE(DeleteFileW(L"C:\\WINDOWS\\inf\\oem10.inf"));
    EXPECT_TRUE(DeleteFileW(L"C:\\WINDOWS\\inf\\oem3.inf"));
    EXPECT_TRUE(FileExistsAt("C:\\Users\\Test\\elsewhere.inf"));
    EXPECT_FALSE(DeleteFileW(L"C:\\WINDOWS\\inf\\oem2.inf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

// The registry's answers the custom actions rely on: codes, access rights,
// sizes, and one view of HKLM\SOFTWARE per flag.
TEST_F(SimMachineTest, RegistryAnswersWithThePlatformsCodes) {
    const wchar_t *key = L"SOFTWARE\\ndisfilter";
    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &missing),
              ERROR_FILE_NOT_FOUND);
    HKEY writer = nullptr, reader = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &writer, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const DWORD one = 1;
    const BYTE *data = reinterpret_cast<const BYTE *>(&one);
    EXPECT_EQ(RegSetValueExW(writer, L"v", 0, REG_DWORD, data, 4), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(writer, L"v", 0, REG_DWORD, data, 2), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\NDISFILTER", 0, KEY_QUERY_VALUE,
                            &reader),
              ERROR_SUCCESS);
    const struct {
        const char *name;
        HKEY key;
        const wchar_t *value;
        DWORD capacity;
        LSTATUS status;
        DWORD size;
    } queries[] = {
        {"read", reader, L"V", 4, ERROR_SUCCESS, 4},
        {"too small", reader, L"v", 2, ERROR_MORE_DATA, 4},
        {"absent", reader, L"w", 4, ERROR_FILE_NOT_FOUND, 4},
        {"without KEY_QUERY_VALUE", writer, L"v", 4, ERROR_ACCESS_DENIED, 4},
    };
    for (const auto &q : queries) {
        DWORD value = 0, size = q.capacity;
        EXPECT_EQ(RegQueryValueExW(q.key, q.value, nullptr, nullptr,
                                   reinterpret_cast<BYTE *>(&value), &size),
                  q.status)
            << q.name;
        EXPECT_EQ(size, q.size) << q.name;
    }
    EXPECT_EQ(RegDeleteValueW(reader, L"v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(writer, L"v"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(writer, L"v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reader), ERROR_INVALID_HANDLE);
    EXPECT_EQ(sim::OpenRegistryKeys(), 0);
    // A 32-bit process sees its own view of SOFTWARE unless it names one.
    sim::SetWow64(true);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\other", 0, KEY_QUERY_VALUE, &reader),
              ERROR_FILE_NOT_FOUND);
    sim::SetRegistryDword(L"SOFTWARE\\other", L"y", 3);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\other", 0, KEY_QUERY_VALUE, &reader),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\other", 0,
                            KEY_QUERY_VALUE | KEY_WOW64_64KEY, &reader),
              ERROR_SUCCESS);
    // Counts of subkeys and values; a key with a subkey is not deleted; a
    // handle to a deleted key fails.
    sim::SetRegistryDword(L"SOFTWARE\\other\\sub\\deeper", L"z", 4, KEY_WOW64_64KEY);
    DWORD subKeys = 9, values = 9;
    EXPECT_EQ(RegQueryInfoKeyW(reader, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               &values, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 1u);
    EXPECT_EQ(values, 1u);
    const struct {
        const wchar_t *key;
        REGSAM view;
        LSTATUS status;
    } deletions[] = {
        {L"SOFTWARE\\other", KEY_WOW64_64KEY, ERROR_ACCESS_DENIED},
        {L"SOFTWARE\\other\\sub", KEY_WOW64_64KEY, ERROR_ACCESS_DENIED},
        {L"SOFTWARE\\other\\sub\\deeper", KEY_WOW64_32KEY, ERROR_FILE_NOT_FOUND},
        {L"SOFTWARE\\other\\sub\\deeper", KEY_WOW64_64KEY, ERROR_SUCCESS},
        {L"SOFTWARE\\other", KEY_WOW64_64KEY, ERROR_SUCCESS},
        {L"SOFTWARE\\other", KEY_WOW64_64KEY | KEY_WOW64_32KEY, ERROR_INVALID_PARAMETER},
    };
    for (const auto &d : deletions)
        EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, d.key, d.view, 0), d.status) << d.view;
    EXPECT_EQ(RegQueryInfoKeyW(reader, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               &values, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
}

TEST_F(SimMachineTest, SavedMachineOpensAgainInTheSameFolder) {
    sim::AddInstalledComponent(L"ZQ_DorvaneV", GUID_DEVCLASS_NETSERVICE);
    sim::SetExecutablePath(std::wstring(L"C:\\Tools\\ctl.exe"));
    sim::SetCurrentDirectory(L"C:\\Tools");
    sim::SetWindowsDirectory(std::string("C:\\Win%dows\\"));
    sim::SaveMachine();
    sim::HoldWriteLock(L"Someone");
    // A line written by hand, in other letter cases than the file's name.
    std::ofstream(std::string(Root()) + "/machine.txt", std::ios::app)
        << "read-only\tC:\\WINDOWS\\INF\\OEM4.inf\n";

    sim::OpenMachine(Root());
    WriteFileAt("C:\\WINDOWS\\inf\\oem4.inf", "x");
    EXPECT_FALSE(DeleteFileW(L"C:\\Windows\\inf\\oem4.INF"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(std::vector<std::wstring>{L"ZQ_DorvaneV"}, sim::InstalledComponents());
    EXPECT_EQ(L"C:\\Tools", sim::CurrentDirectory());
    EXPECT_FALSE(sim::WriteLockHeld());  // locks do not outlive the process
    wchar_t exe[MAX_PATH];
    EXPECT_EQ(16u, GetModuleFileNameW(nullptr, exe, MAX_PATH));
    char windows[MAX_PATH];
    EXPECT_EQ(12u, GetWindowsDirectoryA(windows, MAX_PATH));
    EXPECT_STREQ("C:\\Win%dows\\", windows);

    sim::Reset(Root());  // a fresh machine forgets it
    EXPECT_TRUE(sim::InstalledComponents().empty());
    sim::OpenMachine(Root());
    EXPECT_TRUE(sim::InstalledComponents().empty());
}

// The one conversion between wide text and UTF-8 that the simulation, the
// tests and the tools share: every length of encoding both ways, and what
// becomes of text that cannot be converted.
TEST(WideText, ConvertsEachEncodingLengthAndReplacesWhatCannotBeEncoded) {
    using ndisfilter::text::Narrow;
    using ndisfilter::text::Widen;
    const struct {
        std::wstring wide;
        std::string utf8;
    } kRoundTrips[] = {
        {L"", ""},
        {L"C:\\Media\\DorvaneV.inf", "C:\\Media\\DorvaneV.inf"},
        {L"caf\u00e9", "caf\xc3\xa9"},
        {L"\u20ac1",
         "\xe2\x82\xac"
         "1"},
        {std::wstring(1, static_cast<wchar_t>(0x1F600)), "\xf0\x9f\x98\x80"},
    };
    for (const auto &c : kRoundTrips) {
        EXPECT_EQ(c.utf8, Narrow(c.wide)) << c.utf8;
        EXPECT_EQ(c.wide, Widen(c.utf8)) << c.utf8;
    }
    // A lone surrogate or a value past U+10FFFF is U+FFFD.
    EXPECT_EQ(
        "a\xef\xbf\xbd"
        "b",
        Narrow(std::wstring{L'a', static_cast<wchar_t>(0xD800), L'b'}));
    EXPECT_EQ("\xef\xbf\xbd", Narrow(std::wstring(1, static_cast<wchar_t>(0x110000))));
    // Bytes that do not form UTF-8 are taken one Latin-1 character each.
    EXPECT_EQ(L"\u00e9x", Widen("\xe9x"));
    EXPECT_EQ(L"\u00c3", Widen("\xc3"));              // truncated at the end
    EXPECT_EQ(L"\u00e2(\u00a1", Widen("\xe2(\xa1"));  // bad continuation byte
}
