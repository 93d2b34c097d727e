// Failure sweep: every platform call that an Install or an Uninstall makes is
// made to fail, and then to hang under the timed operations, one call at a
// time. Each run checks the result and flags, and that nothing is left
// behind: no live reference other than what a terminated worker abandoned, no
// CoTaskMem block, the write lock free (or abandoned), the calling thread's
// runtime count as it was. A removal leaves the machine consistent: the INF
// copy stays while the component may be installed, and goes (through
// SetupUninstallOEMInfW, or a plain delete when that fails) once it is not.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ndisfilter.h"
#include "setup/locked_netcfg.h"
#include "sim_fixture.h"
#include "setup/product.h"

namespace {

using sim::Answer;
using sim::Call;

constexpr HRESULT kCancelledHr = HRESULT_FROM_WIN32(ERROR_CANCELLED);
constexpr BOOL kUntouched = 7;  // a flag value no operation writes
constexpr DWORD kRecordLimitMs = 60000;
constexpr DWORD kFirstHangLimitMs = 200;
constexpr DWORD kLastHangLimitMs = 6400;

const std::wstring kStartDirectory = L"C:\\Users\\Test";
const std::wstring kExeDirectory = L"C:\\Program Files\\Host";
const std::wstring kExplicitInf = L"D:\\drivers\\pkg\\DorvaneV.inf";
const char kInfText[] =
    "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=NetService\r\n; DorvaneV.INF\r\n";

// How many failing answers and hangs were injected, printed at the end.
int g_failurePoints = 0;
int g_hangPoints = 0;

class SweepReport : public ::testing::Environment {
public:
    void TearDown() override {
        printf("failure sweep: %d injection points swept (%d failing answers, %d hangs)\n",
               g_failurePoints + g_hangPoints, g_failurePoints, g_hangPoints);
    }
};
::testing::Environment *const g_report = ::testing::AddGlobalTestEnvironment(new SweepReport);

enum class Op { Install, Uninstall };

struct Scenario {
    const char *name;
    Op op;
    bool defaultInf;
    bool componentPresent;
};

const Scenario kScenarios[] = {
    {"install, default INF", Op::Install, true, false},
    {"install, explicit INF", Op::Install, false, false},
    {"install, explicit INF, component present", Op::Install, false, true},
    {"uninstall, component present", Op::Uninstall, false, true},
    {"uninstall, component absent", Op::Uninstall, false, false},
};

struct Outcome {
    BOOL result = kUntouched;
    BOOL restart = kUntouched;
    BOOL cancelled = kUntouched;  // install only
    BOOL timedOut = kUntouched;   // timed operations only
};

std::string Describe(const Outcome &o) {
    char text[96];
    snprintf(text, sizeof text, "result %d restart %d cancelled %d timedOut %d", o.result,
             o.restart, o.cancelled, o.timedOut);
    return text;
}

std::string Describe(const Scenario &s, const sim::CallRecord &record, int occurrence,
                     const char *injected) {
    char text[256];
    snprintf(text, sizeof text, "%s: %s #%d (%ls) %s", s.name, sim::CallName(record.call),
             occurrence, record.detail.c_str(), injected);
    return text;
}

// A host's view: one object from DllGetClassObject, released afterwards.
template <typename Interface>
class HostObject {
public:
    explicit HostObject(REFIID iid) {
        void *object = nullptr;
        EXPECT_EQ(DllGetClassObject(GUID{}, iid, &object), S_OK);  // any class id
        m_ptr = static_cast<Interface *>(object);
    }
    ~HostObject() {
        if (m_ptr) {
            EXPECT_EQ(m_ptr->Release(), 0u);
        }
    }
    HostObject(const HostObject &) = delete;
    HostObject &operator=(const HostObject &) = delete;
    Interface *operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

private:
    Interface *m_ptr = nullptr;
};

Outcome RunDirect(const Scenario &s) {
    Outcome o;
    HostObject<INdisFilterHelper> filter(IID_INdisFilterHelper);
    if (!filter) return o;
    if (s.op == Op::Install)
        o.result = filter->Install(s.defaultInf ? nullptr : kExplicitInf.c_str(), &o.restart,
                                   &o.cancelled);
    else
        o.result = filter->Uninstall(&o.restart);
    return o;
}

Outcome RunTimed(const Scenario &s, DWORD limitMs) {
    Outcome o;
    HostObject<INdisFilterHelper2> filter(IID_INdisFilterHelper2);
    if (!filter) return o;
    if (s.op == Op::Install)
        o.result = filter->InstallWithTimeout(s.defaultInf ? nullptr : kExplicitInf.c_str(),
                                              limitMs, &o.timedOut, &o.restart, &o.cancelled);
    else
        o.result = filter->UninstallWithTimeout(limitMs, &o.timedOut, &o.restart);
    return o;
}

int OccurrenceAt(const std::vector<sim::CallRecord> &log, size_t index) {
    int occurrence = 0;
    for (size_t i = 0; i <= index; ++i)
        if (log[i].call == log[index].call) ++occurrence;
    return occurrence;
}

bool ReturnsHresult(Call call) {
    switch (call) {
        case Call::CoInitialize:
        case Call::CoCreateInstance:
        case Call::NetCfgQueryInterface:
        case Call::NetCfgInitialize:
        case Call::NetCfgUninitialize:
        case Call::NetCfgApply:
        case Call::NetCfgFindComponent:
        case Call::NetCfgQueryNetCfgClass:
        case Call::LockAcquireWriteLock:
        case Call::LockReleaseWriteLock:
        case Call::ClassQueryInterface:
        case Call::ClassSetupInstall:
        case Call::ClassSetupDeInstall:
        case Call::ComponentGetClassGuid:
            return true;
        default:
            return false;
    }
}

// The calls whose answer decides the outcome once everything before them
// succeeded: the component install or removal, and Apply.
bool Decisive(Call call) {
    return call == Call::ClassSetupInstall || call == Call::ClassSetupDeInstall ||
           call == Call::NetCfgApply;
}

struct Injection {
    Answer answer;
    const char *name;
};

// The failing answers worth giving a call. Calls that answer nothing
// (Release, CoUninitialize, ...) have no failure to inject.
std::vector<Injection> FailuresFor(Call call) {
    if (ReturnsHresult(call)) {
        std::vector<Injection> answers = {{Answer::Hr(E_FAIL), "E_FAIL"},
                                          {Answer::Hr(S_FALSE), "S_FALSE"}};
        if (Decisive(call)) {
            answers.push_back({Answer::Hr(NETCFG_S_REBOOT), "NETCFG_S_REBOOT"});
            answers.push_back({Answer::Hr(kCancelledHr), "cancelled"});
        }
        return answers;
    }
    switch (call) {
        case Call::SetupCopyOEMInfW:
            return {{Answer::Win32(ERROR_GEN_FAILURE), "ERROR_GEN_FAILURE"},
                    {Answer::Win32(ERROR_CANCELLED), "ERROR_CANCELLED"},
                    {Answer::Win32(ERROR_SUCCESS), "failure with last error 0"}};
        case Call::GetModuleFileNameW:
        case Call::GetCurrentDirectoryW:
        case Call::SetCurrentDirectoryW:
        case Call::GetWindowsDirectoryA:
        case Call::DeleteFileA:
        case Call::SetupUninstallOEMInfW:
        case Call::FopenS:
        case Call::SplitPath:
        case Call::GetLastError:
        case Call::BeginThread:
        case Call::WaitForSingleObject:
        case Call::TerminateThread:
        case Call::CloseHandle:
            return {{Answer::Win32(ERROR_GEN_FAILURE), "ERROR_GEN_FAILURE"}};
        default:
            return {};
    }
}

// Result and flags for an install whose component install answered `install`
// and whose Apply calls answered `applies` (as many as ran): the last Apply
// that ran decides the result; NETCFG_S_REBOOT from any step that ran sets
// the restart flag of a success; a cancel anywhere sets the cancelled flag.
Outcome InstallOutcome(HRESULT install, const std::vector<HRESULT> &applies) {
    Outcome o{FALSE, FALSE, FALSE};
    HRESULT last = install;
    bool rebootAsked = install == NETCFG_S_REBOOT;
    if (install == S_OK || install == NETCFG_S_REBOOT) {
        // S_OK: Apply, and when that one succeeds, Apply once more.
        // NETCFG_S_REBOOT: a single Apply.
        const size_t runs = install == S_OK ? 2 : 1;
        for (size_t i = 0; i < runs && i < applies.size(); ++i) {
            last = applies[i];
            rebootAsked = rebootAsked || last == NETCFG_S_REBOOT;
            if (last != S_OK && last != NETCFG_S_REBOOT) break;
        }
    }
    if (last == S_OK || last == NETCFG_S_REBOOT) o.result = TRUE;
    if (rebootAsked && o.result) o.restart = TRUE;
    if (last == kCancelledHr) o.cancelled = TRUE;
    return o;
}

// Result and flag of a removal: Apply runs after a DeInstall that answered
// S_OK or NETCFG_S_REBOOT; either asking for a restart sets the flag of a
// success.
Outcome UninstallOutcome(HRESULT deinstall, HRESULT apply) {
    Outcome o{FALSE, FALSE, kUntouched};
    if (deinstall != S_OK && deinstall != NETCFG_S_REBOOT) return o;
    if (apply == S_OK || apply == NETCFG_S_REBOOT) o.result = TRUE;
    if (o.result && (deinstall == NETCFG_S_REBOOT || apply == NETCFG_S_REBOOT)) o.restart = TRUE;
    return o;
}

// What a run of `s` must answer when the call at `index` of the recorded
// `log` (a run that answered `baseline`) gives `answer` instead.
Outcome ExpectedOutcome(const Scenario &s, const std::vector<sim::CallRecord> &log, size_t index,
                        const Answer &answer, const Outcome &baseline) {
    const Call call = log[index].call;
    size_t lastDecisive = 0;
    bool anyDecisive = false;
    for (size_t i = 0; i < log.size(); ++i)
        if (Decisive(log[i].call)) {
            lastDecisive = i;
            anyDecisive = true;
        }

    if (Decisive(call)) {
        // The recorded run's decisive calls all answered S_OK; replace one.
        if (s.op == Op::Install) {
            HRESULT install = S_OK;
            std::vector<HRESULT> applies;
            for (size_t i = 0; i < log.size(); ++i) {
                const HRESULT hr = i == index ? answer.hresult : S_OK;
                if (log[i].call == Call::ClassSetupInstall) install = hr;
                if (log[i].call == Call::NetCfgApply) applies.push_back(hr);
            }
            // A component install answered NETCFG_S_REBOOT runs one Apply
            // where the recorded run had two.
            return InstallOutcome(install, applies);
        }
        HRESULT deinstall = S_OK, apply = S_OK;
        if (call == Call::ClassSetupDeInstall) deinstall = answer.hresult;
        if (call == Call::NetCfgApply) apply = answer.hresult;
        return UninstallOutcome(deinstall, apply);
    }
    // After the deciding call, only closing, restoring the directory and the
    // purge remain; none of their answers is tested.
    if (anyDecisive && index > lastDecisive) return baseline;
    // Results the operations do not test.
    if (call == Call::SetCurrentDirectoryW) return baseline;
    if (call == Call::SetupCopyOEMInfW && answer.win32Error == ERROR_SUCCESS) return baseline;

    Outcome failed{FALSE, FALSE, s.op == Op::Install ? FALSE : kUntouched};
    if (s.op == Op::Install &&
        ((ReturnsHresult(call) && answer.hresult == kCancelledHr) ||
         (call == Call::SetupCopyOEMInfW && answer.win32Error == ERROR_CANCELLED)))
        failed.cancelled = TRUE;
    return failed;
}

// Whether a removal's run, with the call at `index` of the recorded `log`
// answering `answer`, is to purge: once the component was removed, or the
// configuration said it is not installed. Never after a failure that may
// leave it installed.
bool ExpectedPurge(const Scenario &s, const std::vector<sim::CallRecord> &log, size_t index,
                   const Answer &answer, const Outcome &expected) {
    if (expected.result == TRUE) return true;
    size_t find = log.size();
    for (size_t i = 0; i < log.size() && find == log.size(); ++i)
        if (log[i].call == Call::NetCfgFindComponent) find = i;
    if (index == find) return answer.hresult == S_FALSE;
    return !s.componentPresent && index > find;  // absent; the answer comes after the verdict
}

void ExpectOutcome(const Outcome &actual, const Outcome &expected, const std::string &where) {
    EXPECT_TRUE(actual.result == expected.result && actual.restart == expected.restart &&
                actual.cancelled == expected.cancelled && actual.timedOut == expected.timedOut)
        << where << "\n  got      " << Describe(actual) << "\n  expected " << Describe(expected);
}

// Nothing left behind but what a terminated worker abandoned, and the write
// lock can be taken again at once.
void ExpectNothingLeaked(int runtimeCountBefore, const std::string &where) {
    EXPECT_EQ(sim::LiveReferences(), sim::AbandonedInterfaceReferences()) << where;
    EXPECT_EQ(sim::OutstandingTaskMemBlocks(), 0) << where;
    EXPECT_FALSE(sim::WriteLockHeld()) << where;
    EXPECT_EQ(sim::RuntimeInitCount(), runtimeCountBefore) << where;

    INetCfg *config = nullptr;
    LPWSTR holder = nullptr;
    const HRESULT hr = ndisfilter::OpenLockedNetConfig(&config, &holder);
    EXPECT_EQ(hr, S_OK) << where << ": the write lock could not be taken again";
    if (hr == S_OK) ndisfilter::CloseLockedNetConfig(config);
    ndisfilter::FreeLockHolderDescription(hr, holder);
    EXPECT_EQ(sim::LiveReferences(), sim::AbandonedInterfaceReferences()) << where;
    EXPECT_EQ(sim::RuntimeInitCount(), runtimeCountBefore) << where;
}

// Where a default-INF install leaves the process: in the executable's
// directory only between the switch and a restore that did not happen.
std::wstring ExpectedDirectory(const Scenario &s, const std::vector<sim::CallRecord> &log,
                               size_t index, bool interrupted) {
    if (s.op != Op::Install || !s.defaultInf) return kStartDirectory;
    int sets = 0;
    for (size_t i = 0; i < index; ++i)
        if (log[i].call == Call::SetCurrentDirectoryW) ++sets;
    const bool isSet = log[index].call == Call::SetCurrentDirectoryW;
    if (interrupted) return sets == 1 ? kExeDirectory : kStartDirectory;
    // A failing answer: the switch did not happen, or the restore did not.
    return (isSet && sets == 1) ? kExeDirectory : kStartDirectory;
}

class FailureSweepTest : public SimMachineTest {
protected:
    // The machine a scenario starts from: the INF beside the executable and
    // at the explicit path; when the component is installed (or was, for a
    // removal) the store holds the platform's copy of the INF and its .PNF.
    void Prepare(const Scenario &s) {
        std::error_code ignored;
        std::filesystem::remove_all(Root(), ignored);
        std::filesystem::create_directories(Root());
        sim::Reset(Root());
        WriteFileAt(kExeDirectory + L"\\DorvaneV.inf", kInfText);
        WriteFileAt(kExplicitInf, kInfText);
        if (s.componentPresent) {
            sim::AddInstalledComponent(ndisfilter::kComponentId, GUID_DEVCLASS_NETSERVICE);
        }
        if (s.componentPresent || s.op == Op::Uninstall) {
            WriteFileAt("C:\\WINDOWS\\inf\\oem0.inf", kInfText);
            WriteFileAt("C:\\WINDOWS\\inf\\oem0.PNF", "precompiled");
        }
    }

    // What the purge left: the marked copy stays unless the purge ran and
    // was not itself kept from it (no Windows directory, the copy not
    // readable); when it went, it went through the platform's removal, with a
    // plain delete of the copy only when that failed, and of its .PNF.
    static void ExpectStoreAfterRemoval(bool purges, Call injected, const std::string &where) {
        const bool gone =
            purges && injected != Call::GetWindowsDirectoryA && injected != Call::FopenS;
        EXPECT_EQ(FileExistsAt("C:\\WINDOWS\\inf\\oem0.inf"), !gone) << where;
        EXPECT_EQ(FileExistsAt("C:\\WINDOWS\\inf\\oem0.PNF"), !gone) << where;
        EXPECT_EQ(sim::CallCount(Call::GetWindowsDirectoryA), purges ? 1 : 0) << where;
        if (!gone) return;
        int removals = 0, deletes = 0;
        for (const sim::CallRecord &record : sim::CallLog()) {
            removals += record.call == Call::SetupUninstallOEMInfW && record.detail == L"oem0.inf 1";
            deletes += record.call == Call::DeleteFileA;
        }
        EXPECT_EQ(removals, 1) << where;
        EXPECT_EQ(deletes, injected == Call::SetupUninstallOEMInfW ? 2 : 1) << where;
    }

    std::vector<sim::CallRecord> Record(const Scenario &s, bool timed, Outcome *baseline) {
        Prepare(s);
        *baseline = timed ? RunTimed(s, kRecordLimitMs) : RunDirect(s);
        return sim::CallLog();
    }
};

TEST_F(FailureSweepTest, EveryFailingCallOfInstallAndUninstall) {
    for (const Scenario &s : kScenarios) {
        Outcome baseline;
        const std::vector<sim::CallRecord> log = Record(s, false, &baseline);
        // The unfailed runs: installs and the removal of an installed
        // component succeed; removing an absent one answers FALSE.
        const bool succeeds = s.op == Op::Install || s.componentPresent;
        ASSERT_EQ(baseline.result, succeeds ? TRUE : FALSE) << s.name;
        ASSERT_EQ(baseline.restart, FALSE) << s.name;
        ASSERT_FALSE(log.empty()) << s.name;

        int points = 0;
        for (size_t index = 0; index < log.size(); ++index) {
            const int occurrence = OccurrenceAt(log, index);
            for (const Injection &injection : FailuresFor(log[index].call)) {
                const std::string where = Describe(s, log[index], occurrence, injection.name);
                Prepare(s);
                const int runtimeCount = sim::RuntimeInitCount();
                sim::Script(log[index].call, injection.answer, occurrence);

                const Outcome actual = RunDirect(s);
                const Outcome expected =
                    ExpectedOutcome(s, log, index, injection.answer, baseline);
                ExpectOutcome(actual, expected, where);
                EXPECT_EQ(sim::AbandonedReferences(), 0) << where;
                EXPECT_EQ(sim::CurrentDirectory(), ExpectedDirectory(s, log, index, false))
                    << where;
                if (s.op == Op::Install && !s.defaultInf) {
                    EXPECT_EQ(sim::CallCount(Call::SetCurrentDirectoryW), 0) << where;
                }
                if (s.op == Op::Uninstall) {
                    ExpectStoreAfterRemoval(
                        ExpectedPurge(s, log, index, injection.answer, expected),
                        log[index].call, where);
                }
                ExpectNothingLeaked(runtimeCount, where);
                ++points;
                if (::testing::Test::HasFailure()) return;  // one report, not hundreds
            }
        }
        printf("%s: %zu calls, %d failing answers\n", s.name, log.size(), points);
        g_failurePoints += points;
    }
}

TEST_F(FailureSweepTest, EveryCallHangingUnderTheTimedOperations) {
    const DWORD self = GetCurrentThreadId();
    for (const Scenario &s : kScenarios) {
        Outcome baseline;
        const std::vector<sim::CallRecord> log = Record(s, true, &baseline);
        ASSERT_EQ(baseline.timedOut, FALSE) << s.name;
        ASSERT_EQ(sim::ThreadsStarted(), 1) << s.name;

        int points = 0;
        for (size_t index = 0; index < log.size(); ++index) {
            if (log[index].threadId == self) continue;  // the waiting call's own
            const int occurrence = OccurrenceAt(log, index);
            const std::string where = Describe(s, log[index], occurrence, "hangs");

            // The worker must reach the hang before the limit passes; a slow
            // machine (valgrind) gets longer limits.
            Outcome actual;
            int runtimeCount = 0;
            bool reached = false;
            for (DWORD limit = kFirstHangLimitMs; !reached && limit <= kLastHangLimitMs;
                 limit *= 4) {
                Prepare(s);
                runtimeCount = sim::RuntimeInitCount();
                sim::Script(log[index].call, Answer::Hang(), occurrence);
                actual = RunTimed(s, limit);
                reached = sim::CallCount(log[index].call) >= occurrence;
            }
            ASSERT_TRUE(reached) << where << ": the worker never reached the call";

            // Install and Uninstall clear their flags before their first
            // platform call, and the recorded run set none.
            Outcome expected{FALSE, FALSE, s.op == Op::Install ? FALSE : kUntouched, TRUE};
            ExpectOutcome(actual, expected, where);
            EXPECT_EQ(sim::ThreadsTerminated(), 1) << where;
            EXPECT_EQ(sim::CurrentDirectory(), ExpectedDirectory(s, log, index, true)) << where;
            ExpectNothingLeaked(runtimeCount, where);
            ++points;
            if (::testing::Test::HasFailure()) return;
        }
        printf("%s: %zu calls, %d hangs\n", s.name, log.size(), points);
        g_hangPoints += points;
    }
}

// The waiting call's own platform calls: starting the worker, waiting for it,
// closing its handle.
TEST_F(FailureSweepTest, EveryFailingCallOfTheWaitingThread) {
    const DWORD self = GetCurrentThreadId();
    for (const Scenario &s : kScenarios) {
        Outcome baseline;
        const std::vector<sim::CallRecord> log = Record(s, true, &baseline);

        int points = 0;
        for (size_t index = 0; index < log.size(); ++index) {
            if (log[index].threadId != self) continue;
            const Call call = log[index].call;
            const int occurrence = OccurrenceAt(log, index);
            for (const Injection &injection : FailuresFor(call)) {
                const std::string where = Describe(s, log[index], occurrence, injection.name);
                Prepare(s);
                const int runtimeCount = sim::RuntimeInitCount();
                sim::Script(call, injection.answer, occurrence);
                const Outcome actual = RunTimed(s, kRecordLimitMs);

                if (call == Call::BeginThread) {
                    // No worker: nothing but the timed-out flag is written.
                    Outcome expected{FALSE, kUntouched, kUntouched, FALSE};
                    ExpectOutcome(actual, expected, where);
                    EXPECT_EQ(sim::ThreadsStarted(), 0) << where;
                } else if (call == Call::WaitForSingleObject) {
                    // A failed wait counts as a timeout: the worker is ended
                    // wherever it was, so its flags are untouched or cleared.
                    EXPECT_EQ(actual.result, FALSE) << where;
                    EXPECT_EQ(actual.timedOut, TRUE) << where;
                    EXPECT_TRUE(actual.restart == kUntouched || actual.restart == FALSE) << where;
                } else {
                    // Closing the handle: its answer is not tested.
                    Outcome expected = baseline;
                    ExpectOutcome(actual, expected, where);
                }
                ExpectNothingLeaked(runtimeCount, where);
                ++points;
                if (::testing::Test::HasFailure()) return;
            }
        }
        ASSERT_GT(points, 0) << s.name;
        g_failurePoints += points;
    }
}

}  // namespace
