// The custom actions' flow against a scripted installer session and a
// stand-in library: what each action answers, asks of the library and the
// installer, and logs, for every outcome and every kind of bad input.
#include "action.h"

#include <devguid.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform_host.h"
#include "product.h"
#include "restart_note.h"
#include "tests/host/sim_fixture.h"

namespace ndisfilter::ca {
namespace {

// The library's object: scripted answers, counted calls and references.
class FakeHelper final : public INdisFilterHelper2 {
public:
    BOOL answer = TRUE, restart = FALSE, cancelled = FALSE;
    BOOL uninstallAnswer = TRUE;
    int installs = 0, uninstalls = 0;
    LONG references = 1;
    std::wstring infPath;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
    BOOL STDMETHODCALLTYPE Install(LPCWSTR, BOOL *, BOOL *) override { return FALSE; }
    BOOL STDMETHODCALLTYPE Uninstall(BOOL *) override { return FALSE; }
    BOOL STDMETHODCALLTYPE InstallWithTimeout(LPCWSTR, DWORD, BOOL *, BOOL *, BOOL *) override {
        return FALSE;
    }
    BOOL STDMETHODCALLTYPE UninstallWithTimeout(DWORD, BOOL *, BOOL *) override { return FALSE; }
    BOOL STDMETHODCALLTYPE InstallWithRetry(LPCWSTR inf, BOOL *restartOut,
                                            BOOL *cancelledOut) override {
        ++installs;
        infPath = inf ? inf : L"(null)";
        *restartOut = restart;
        *cancelledOut = cancelled;
        return answer;
    }
    BOOL STDMETHODCALLTYPE UninstallWithRetry(BOOL *restartOut) override {
        ++uninstalls;
        *restartOut = restart;
        return uninstallAnswer;
    }
};

// The installer session and the platform around the action.
class FakeHost final : public ActionHost {
public:
    bool dataReadable = true;
    std::wstring data;
    std::wstring loadError;  // non-empty: the library does not load
    int notes = 0;           // restart notes made (the registry holds one per product)
    DWORD noteError = 0;     // non-zero: no note can be made
    DWORD takeError = 0;     // non-zero: the note cannot be read or removed
    bool restartGranted = true;
    bool propertySettable = true;
    std::wstring properties;  // NAME=value of each property set
    // ComponentInstalled's answers in turn, the last one repeated.
    std::vector<std::optional<bool>> installed{false};
    tools::FailureReason reason{tools::FailureKind::Unknown, L"the failing step is unknown"};
    bool storeClean = true;
    std::optional<tools::PreflightResult> checks;  // absent: a removal

    FakeHelper helper;
    std::vector<std::wstring> log;
    std::wstring loadedPath;
    int loads = 0, unloads = 0, restartRequests = 0, diagnoses = 0, cleanups = 0;
    size_t queries = 0;
    LONG referencesAtUnload = -1;

    bool ReadActionData(std::wstring &out, std::wstring &error) override {
        if (!dataReadable) {
            error = L"MsiGetPropertyW answered 6";
            return false;
        }
        out = data;
        return true;
    }
    void Log(const std::wstring &line) override { log.push_back(line); }
    bool NoteRestart(DWORD &error) override {
        error = noteError;
        if (!noteError) ++notes;
        return !noteError;
    }
    bool TakeRestartNote(DWORD &error) override {
        error = takeError;
        const bool found = notes > 0;
        notes = 0;
        return found;
    }
    bool RequestRestart(UINT &error) override {
        ++restartRequests;
        error = restartGranted ? 0 : 1627;  // ERROR_FUNCTION_FAILED
        return restartGranted;
    }
    bool SetProperty(const wchar_t *name, const wchar_t *value, UINT &error) override {
        error = propertySettable ? 0 : 1627;  // ERROR_FUNCTION_FAILED
        if (propertySettable) properties += std::wstring(name) + L"=" + value;
        return propertySettable;
    }
    INdisFilterHelper2 *LoadLibraryHelper(const std::wstring &path, std::wstring &error) override {
        ++loads;
        loadedPath = path;
        if (!loadError.empty()) {
            error = loadError;
            return nullptr;
        }
        return &helper;
    }
    void UnloadLibrary() override {
        ++unloads;
        referencesAtUnload = helper.references;
    }
    std::optional<bool> ComponentInstalled(std::wstring &why) override {
        const size_t turn = queries++;
        const std::optional<bool> answer = installed[std::min(turn, installed.size() - 1)];
        if (!answer) why = L"no answer within 5000 ms";
        return answer;
    }
    tools::FailureReason Diagnose(tools::Operation, const WCHAR *) override {
        ++diagnoses;
        return reason;
    }
    std::optional<tools::PreflightResult> InstallChecks() override { return checks; }
    bool CleanInfStore(std::vector<std::wstring> &lines) override {
        ++cleanups;
        lines.push_back(L"C:\\Windows\\inf\\oem3.inf: removed");
        return storeClean;
    }

    bool Logged(const std::wstring &text) const {
        for (const std::wstring &line : log)
            if (line.find(text) != std::wstring::npos) return true;
        return false;
    }
};

constexpr const wchar_t *kInstallData =
    L"INF=C:\\Program Files\\ndisfilter\\DorvaneV.inf|DIR=C:\\Program Files\\ndisfilter\\";
constexpr const wchar_t *kRemoveData = L"DIR=C:\\Program Files\\ndisfilter\\";

TEST(ParseActionData, AcceptsTheFieldsInAnyOrderWithBlanks) {
    ActionData data;
    std::wstring error;
    ASSERT_TRUE(ParseActionData(kInstallData, Action::Install, data, error)) << error;
    EXPECT_EQ(data.inf, L"C:\\Program Files\\ndisfilter\\DorvaneV.inf");
    EXPECT_EQ(data.dir, L"C:\\Program Files\\ndisfilter\\");

    ASSERT_TRUE(ParseActionData(L" DIR = \\\\server\\share\\nf | INF=d:/x/DorvaneV.inf |",
                                Action::Install, data, error))
        << error;
    EXPECT_EQ(data.dir, L"\\\\server\\share\\nf");
    EXPECT_EQ(data.inf, L"d:/x/DorvaneV.inf");

    ASSERT_TRUE(ParseActionData(kRemoveData, Action::Uninstall, data, error)) << error;
    EXPECT_TRUE(data.inf.empty());
    ASSERT_TRUE(ParseActionData(kRemoveData, Action::RollbackInstall, data, error)) << error;

    // ';' may be part of a path: only '|' separates.
    ASSERT_TRUE(ParseActionData(L"DIR=C:\\a;INF=b", Action::Uninstall, data, error)) << error;
    EXPECT_EQ(data.dir, L"C:\\a;INF=b");
}

TEST(ParseActionData, RefusesWhatCannotBeMeant) {
    const struct {
        const wchar_t *text;
        Action action;
        const wchar_t *error;
    } cases[] = {
        {L"", Action::Uninstall, L"it is empty"},
        {L"  ", Action::Uninstall, L"DIR=<install folder> is missing"},
        {L"DIR=C:\\p", Action::Install, L"INF=<installed INF's full path> is missing"},
        {L"DIR=C:\\p", Action::RollbackUninstall, L"INF=<installed INF's full path> is missing"},
        {L"INF=C:\\p\\a.inf", Action::Uninstall, L"DIR=<install folder> is missing"},
        {L"DIR=C:\\a|INF=DorvaneV.inf", Action::Install, L"field INF is not a full path"},
        {L"DIR", Action::Uninstall, L"field \"DIR\" is not NAME=value"},
        {L"DIR=", Action::Uninstall, L"field DIR is not a full path: \"\""},
        {L"DIR=ndisfilter", Action::Uninstall, L"field DIR is not a full path"},
        {L"DIR=C:ndisfilter", Action::Uninstall, L"field DIR is not a full path"},
        {L"DIR=C:\\a|DIR=C:\\b", Action::Uninstall, L"field DIR given twice"},
        {L"dir=C:\\a", Action::Uninstall, L"unknown field \"dir\""},
        {L"DIR=C:\\a|LOG=C:\\b", Action::Uninstall, L"unknown field \"LOG\""},
    };
    for (const auto &c : cases) {
        ActionData data;
        std::wstring error;
        EXPECT_FALSE(ParseActionData(c.text, c.action, data, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::wstring::npos) << c.text << " -> " << error;
    }
}

// One row: the scripted surroundings of one action and what it must do.
struct Row {
    const char *name;
    Action action;
    void (*arrange)(FakeHost &);
    UINT code;
    int installs, uninstalls, restartRequests, cleanups;
    std::vector<const wchar_t *> lines;  // each must be in the log
    int notes = 0;                       // restart notes left
};

void Nothing(FakeHost &) {}

TEST(RunAction, AnswersCallsAndLogsForEachOutcome) {
    const Row rows[] = {
        {"install succeeds", Action::Install, Nothing, kActionSuccess, 1, 0, 0, 0,
         {L"InstallFilter: started",
          L"InstallFilter: loading C:\\Program Files\\ndisfilter\\ndisfilter.dll",
          L"InstallFilter: calling InstallWithRetry(\"C:\\Program "
          L"Files\\ndisfilter\\DorvaneV.inf\")",
          L"InstallFilter: InstallWithRetry answered TRUE; flags: none",
          L"InstallFilter: returns 0 (ERROR_SUCCESS)"}},
        // A deferred action may not call MsiSetMode: it leaves a note.
        {"install needs a restart", Action::Install,
         [](FakeHost &h) { h.helper.restart = TRUE; }, kActionSuccess, 1, 0, 0, 0,
         {L"flags: restart required",
          L"InstallFilter: restart required: noted for ScheduleRestart, which asks the installer "
          L"for it after InstallFinalize",
          L"returns 0 (ERROR_SUCCESS, restart required)"},
         1},
        {"install: a stale note goes first", Action::Install, [](FakeHost &h) { h.notes = 1; },
         kActionSuccess, 1, 0, 0, 0,
         {L"InstallFilter: removed a restart note left by an earlier installation that did not "
          L"finish",
          L"InstallFilter: returns 0 (ERROR_SUCCESS)"}},
        {"uninstall: a stale note that cannot be removed", Action::Uninstall,
         [](FakeHost &h) {
             h.notes = 1;
             h.takeError = 5;
         },
         kActionSuccess, 0, 1, 0, 1,
         {L"UninstallFilter: warning: the restart note in HKLM\\SOFTWARE\\ndisfilter could not "
          L"be read or removed (error 5)"}},
        {"install needs a restart, no note can be made", Action::Install,
         [](FakeHost &h) {
             h.helper.restart = TRUE;
             h.noteError = 8;
         },
         kActionSuccess, 1, 0, 0, 0,
         {L"warning: restart required, but no note of it could be made (error 8): the installer "
          L"will not ask for it",
          L"returns 0 (ERROR_SUCCESS, restart required)"}},
        {"uninstall needs a restart", Action::Uninstall,
         [](FakeHost &h) { h.helper.restart = TRUE; }, kActionSuccess, 0, 1, 0, 1,
         {L"UninstallFilter: restart required: noted for ScheduleRestart"}, 1},
        {"schedule: a deferred action noted a restart (twice)", Action::ScheduleRestart,
         [](FakeHost &h) { h.notes = 2; }, kActionSuccess, 0, 0, 1, 0,
         {L"ScheduleRestart: a custom action noted a restart: restart requested at the end of "
          L"the installation",
          L"ScheduleRestart: returns 0 (ERROR_SUCCESS)"}},
        {"schedule: no note", Action::ScheduleRestart, Nothing, kActionSuccess, 0, 0, 0, 0,
         {L"ScheduleRestart: no restart required"}},
        {"schedule: the note is found but cannot be removed", Action::ScheduleRestart,
         [](FakeHost &h) {
             h.notes = 1;
             h.takeError = 5;
         },
         kActionSuccess, 0, 0, 1, 0,
         {L"ScheduleRestart: warning: the restart note in HKLM\\SOFTWARE\\ndisfilter could not "
          L"be read or removed (error 5)",
          L"ScheduleRestart: a custom action noted a restart: restart requested"}},
        {"schedule: the note cannot be read", Action::ScheduleRestart,
         [](FakeHost &h) { h.takeError = 5; }, kActionSuccess, 0, 0, 0, 0,
         {L"could not be read or removed (error 5)", L"ScheduleRestart: no restart required"}},
        {"schedule: the installer refuses", Action::ScheduleRestart,
         [](FakeHost &h) {
             h.notes = 1;
             h.restartGranted = false;
         },
         kActionSuccess, 0, 0, 1, 0,
         {L"ScheduleRestart: warning: a custom action noted a restart; the installer refused the "
          L"request for it (error 1627)"}},
        {"install cancelled, after the component went in", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.helper.cancelled = TRUE;
             h.installed = {false, true};
         },
         kActionUserExit, 1, 1, 0, 1,
         {L"InstallWithRetry answered FALSE; flags: cancelled",
          L"InstallFilter: undoing: calling UninstallWithRetry()",
          L"InstallFilter:   C:\\Windows\\inf\\oem3.inf: removed",
          L"returns 1602 (ERROR_INSTALL_USEREXIT, cancelled)"}},
        {"install fails before the component went in", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.reason = {tools::FailureKind::LockHeld, L"the write lock is held by \"x\""};
         },
         kActionFailure, 1, 0, 0, 1,
         {L"InstallWithRetry answered FALSE; flags: none",
          L"InstallFilter: reason: the write lock is held by \"x\"",
          L"returns 1603 (ERROR_INSTALL_FAILURE)"}},
        {"install fails, component state unknown", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.installed = {false, std::nullopt};
         },
         kActionFailure, 1, 1, 0, 1, {L"undoing: calling UninstallWithRetry()"}},
        // The INF's copies go only with the component.
        {"install fails, the undo fails, the component stays", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.helper.uninstallAnswer = FALSE;
             h.installed = {false, true};
         },
         kActionFailure, 1, 1, 0, 0,
         {L"InstallFilter: UninstallWithRetry answered FALSE",
          L"InstallFilter: the component is still installed: its INF's copies stay in the INF "
          L"store for its removal"}},
        {"install fails, the undo fails, component state unknown", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.helper.uninstallAnswer = FALSE;
             h.installed = {false, true, std::nullopt};
         },
         kActionFailure, 1, 1, 0, 0,
         {L"InstallFilter: the component may still be installed: its INF's copies stay"}},
        {"install fails, the undo fails, the component is gone", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.helper.uninstallAnswer = FALSE;
             h.installed = {false, true, false};
         },
         kActionFailure, 1, 1, 0, 1, {L"InstallFilter: INF store: no copy left"}},
        {"install fails, component state unknown before", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.installed = {std::nullopt, true};
         },
         kActionFailure, 1, 0, 0, 0,
         {L"InstallFilter: warning: cannot tell whether the component is installed: no answer "
          L"within 5000 ms",
          L"InstallFilter: not undoing: the component and the INF's copies may have been there "
          L"before"}},
        {"install fails over a component installed before", Action::Install,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.installed = {true};
         },
         kActionFailure, 1, 0, 0, 0,
         {L"InstallFilter: the component is installed already",
          L"not undoing: the component and the INF's copies were there before"}},
        {"install: CustomActionData unreadable", Action::Install,
         [](FakeHost &h) { h.dataReadable = false; }, kActionFailure, 0, 0, 0, 0,
         {L"InstallFilter: error: cannot read CustomActionData: MsiGetPropertyW answered 6"}},
        {"install: CustomActionData without the INF", Action::Install,
         [](FakeHost &h) { h.data = kRemoveData; }, kActionFailure, 0, 0, 0, 0,
         {L"error: bad CustomActionData: INF=<installed INF's full path> is missing"}},
        {"install: the library does not load", Action::Install,
         [](FakeHost &h) { h.loadError = L"C:\\p\\ndisfilter.dll is not there (error 2)"; },
         kActionFailure, 0, 0, 0, 0,
         {L"InstallFilter: error: C:\\p\\ndisfilter.dll is not there (error 2)",
          L"returns 1603 (ERROR_INSTALL_FAILURE)"}},
        {"uninstall succeeds", Action::Uninstall, Nothing, kActionSuccess, 0, 1, 0, 1,
         {L"UninstallFilter: calling UninstallWithRetry()",
          L"UninstallFilter: UninstallWithRetry answered TRUE; flags: none",
          L"UninstallFilter: INF store: no copy left", L"UninstallFilter: returns 0"}},
        {"uninstall: the component is gone already", Action::Uninstall,
         [](FakeHost &h) {
             h.helper.uninstallAnswer = FALSE;
             h.reason = {tools::FailureKind::NotInstalled, L"ZQ_DorvaneV is not installed"};
         },
         kActionSuccess, 0, 1, 0, 1,
         {L"UninstallFilter: reason: ZQ_DorvaneV is not installed",
          L"nothing to remove: the component is not installed", L"returns 0 (ERROR_SUCCESS)"}},
        {"uninstall fails, the component stays", Action::Uninstall,
         [](FakeHost &h) {
             h.helper.uninstallAnswer = FALSE;
             h.installed = {true};
         },
         kActionFailure, 0, 1, 0, 0,
         {L"UninstallFilter: reason: ", L"returns 1603",
          L"UninstallFilter: the component is still installed: its INF's copies stay"}},
        {"uninstall fails, the component state unknown", Action::Uninstall,
         [](FakeHost &h) {
             h.helper.uninstallAnswer = FALSE;
             h.installed = {std::nullopt};
         },
         kActionFailure, 0, 1, 0, 0, {L"returns 1603"}},
        {"uninstall: a copy stays in the store", Action::Uninstall,
         [](FakeHost &h) { h.storeClean = false; }, kActionSuccess, 0, 1, 0, 1,
         {L"warning: INF store: a copy could not be removed"}},
        {"uninstall without the library, nothing installed", Action::Uninstall,
         [](FakeHost &h) { h.loadError = L"not there"; }, kActionSuccess, 0, 0, 0, 1,
         {L"warning: not there", L"nothing to remove"}},
        {"uninstall without the library, component installed", Action::Uninstall,
         [](FakeHost &h) {
             h.loadError = L"not there";
             h.installed = {true};
         },
         kActionFailure, 0, 0, 0, 0, {L"UninstallFilter: error: not there"}},
        {"rollback removes the component", Action::RollbackInstall, Nothing, kActionSuccess, 0, 1, 0,
         1, {L"RollbackInstallFilter: calling UninstallWithRetry()"}},
        {"rollback goes on when the component stays", Action::RollbackInstall,
         [](FakeHost &h) {
             h.helper.uninstallAnswer = FALSE;
             h.installed = {true};
         },
         kActionSuccess, 0, 1, 0, 0,
         {L"RollbackInstallFilter: the component is still installed: its INF's copies stay",
          L"returns 0 (ERROR_SUCCESS; the component could not be removed)"}},
        {"rollback goes on, component state unknown", Action::RollbackInstall,
         [](FakeHost &h) {
             h.helper.uninstallAnswer = FALSE;
             h.installed = {std::nullopt};
         },
         kActionSuccess, 0, 1, 0, 0,
         {L"RollbackInstallFilter: the component may still be installed: its INF's copies stay"}},
        {"rollback without the library, component installed", Action::RollbackInstall,
         [](FakeHost &h) {
             h.loadError = L"not there";
             h.installed = {true};
         },
         kActionFailure, 0, 0, 0, 0,
         {L"RollbackInstallFilter: error: not there",
          L"RollbackInstallFilter: the component is still installed: its INF's copies stay"}},
        {"rollback of a removal puts the component back", Action::RollbackUninstall, Nothing,
         kActionSuccess, 1, 0, 0, 0,
         {L"RollbackUninstallFilter: calling InstallWithRetry(\"C:\\Program "
          L"Files\\ndisfilter\\DorvaneV.inf\")",
          L"RollbackUninstallFilter: returns 0 (ERROR_SUCCESS)"}},
        {"rollback of a removal goes on when the component cannot go back",
         Action::RollbackUninstall, [](FakeHost &h) { h.helper.answer = FALSE; }, kActionSuccess,
         1, 0, 0, 1,
         {L"RollbackUninstallFilter: reason: ", L"RollbackUninstallFilter: INF store: no copy left",
          L"returns 0 (ERROR_SUCCESS; the component could not be put back)"}},
        {"rollback of a removal fails, yet the component went in", Action::RollbackUninstall,
         [](FakeHost &h) {
             h.helper.answer = FALSE;
             h.installed = {false, true};
         },
         kActionSuccess, 1, 0, 0, 0,
         {L"RollbackUninstallFilter: the component is installed: its INF's copy stays",
          L"RollbackUninstallFilter: returns 0 (ERROR_SUCCESS)"}},
        {"rollback of a removal that did not remove the component", Action::RollbackUninstall,
         [](FakeHost &h) { h.installed = {true}; }, kActionSuccess, 0, 0, 0, 0,
         {L"RollbackUninstallFilter: nothing to put back: the component is installed"}},
        {"rollback of a removal without the library", Action::RollbackUninstall,
         [](FakeHost &h) { h.loadError = L"not there"; }, kActionFailure, 0, 0, 0, 0,
         {L"RollbackUninstallFilter: error: not there"}},
        {"rollback with bad data still cleans the store", Action::RollbackInstall,
         [](FakeHost &h) { h.data.clear(); }, kActionFailure, 0, 0, 0, 1,
         {L"bad CustomActionData: it is empty", L"RollbackInstallFilter: INF store"}},
        {"rollback with bad data, the component installed", Action::RollbackInstall,
         [](FakeHost &h) {
             h.data.clear();
             h.installed = {true};
         },
         kActionFailure, 0, 0, 0, 0,
         {L"RollbackInstallFilter: the component is still installed: its INF's copies stay"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakeHost host;
        const bool needsInf = row.action == Action::Install || row.action == Action::RollbackUninstall;
        host.data = needsInf ? kInstallData : kRemoveData;
        row.arrange(host);
        EXPECT_EQ(RunAction(row.action, host), row.code);
        EXPECT_EQ(host.helper.installs, row.installs);
        EXPECT_EQ(host.helper.uninstalls, row.uninstalls);
        EXPECT_EQ(host.restartRequests, row.restartRequests);
        EXPECT_EQ(host.cleanups, row.cleanups);
        EXPECT_EQ(host.notes, row.notes);
        for (const wchar_t *line : row.lines)
            EXPECT_TRUE(host.Logged(line)) << "missing log line: " << testing::PrintToString(line);
        // Every line names the entry point.
        for (const std::wstring &line : host.log)
            EXPECT_EQ(line.rfind(EntryPointName(row.action), 0), 0u) << line.c_str();
        // A loaded library: its one reference released before it is unloaded.
        if (host.loadError.empty() && host.loads == 1) {
            EXPECT_EQ(host.helper.references, 0);
            EXPECT_EQ(host.unloads, 1);
            EXPECT_EQ(host.referencesAtUnload, 0);
            EXPECT_EQ(host.loadedPath, L"C:\\Program Files\\ndisfilter\\ndisfilter.dll");
        } else {
            EXPECT_EQ(host.unloads, 0);
            EXPECT_EQ(host.helper.references, 1);  // never handed out
        }
        if (row.installs) {
            EXPECT_EQ(host.helper.infPath, L"C:\\Program Files\\ndisfilter\\DorvaneV.inf");
        }
        // The reason is asked for exactly when the library answered FALSE
        // without a cancel.
        const bool failed = (row.installs && !host.helper.answer && !host.helper.cancelled) ||
                            (row.uninstalls && !host.helper.uninstallAnswer);
        EXPECT_EQ(host.diagnoses, failed ? 1 : 0);
    }
}

// The immediate action before the install: it reads no CustomActionData,
// loads no library and changes nothing but the property and stale restart
// notes; only a component that is not there for certain lets the rollback in.
// On an install its checks come first: a blocking one fails the installation
// before anything else.
TEST(RunAction, DetectSetsThePropertyUnlessTheComponentIsNotThere) {
    const struct {
        const char *name;
        std::optional<bool> installed;
        bool settable;
        int staleNotes;
        DWORD takeError;  // reading or removing the note fails
        UINT code;
        const wchar_t *properties;
        const wchar_t *line;
        const char *blocking;  // null: a removal (no checks); "": none blocks
    } cases[] = {
        {"installed", true, true, 0, 0, kActionSuccess, L"NDISFILTERPRESENT=1",
         L"DetectFilter: the component is installed already: NDISFILTERPRESENT=1",
         nullptr},
        {"not installed", false, true, 0, 0, kActionSuccess, L"",
         L"DetectFilter: the component is not installed", ""},
        {"cannot tell", std::nullopt, true, 0, 0, kActionSuccess, L"NDISFILTERPRESENT=1",
         L"DetectFilter: taken as installed: NDISFILTERPRESENT=1", ""},
        {"the installer refuses the property", true, false, 0, 0, kActionFailure, L"",
         L"DetectFilter: error: cannot set NDISFILTERPRESENT (error 1627)", ""},
        {"notes of a restart left by a rolled-back run", false, true, 2, 0, kActionSuccess, L"",
         L"DetectFilter: removed a restart note left by an earlier installation that did not "
         L"finish", ""},
        {"a stale note that cannot be removed", false, true, 1, 5, kActionSuccess, L"",
         L"DetectFilter: warning: the restart note in HKLM\\SOFTWARE\\ndisfilter could not be "
         L"read or removed (error 5)", ""},
        {"the service marked for deletion", false, true, 1, 0, kActionFailure, L"",
         L"DetectFilter: error: refused before anything is changed: marked; restart",
         "service-deletion"},
        {"the policy denies the class", true, true, 0, 0, kActionFailure, L"",
         L"DetectFilter: check blocked  device-install-policy: marked; to do: restart",
         "device-install-policy"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost host;
        host.dataReadable = false;
        host.installed = {c.installed};
        host.propertySettable = c.settable;
        host.notes = c.staleNotes;
        host.takeError = c.takeError;
        const bool blocked = c.blocking && *c.blocking;
        if (c.blocking) {
            std::vector<tools::Check> checks{{"write-lock", tools::Verdict::Ok, false, L"free", {}}};
            if (blocked)
                checks.push_back({c.blocking, tools::Verdict::Blocked, false, L"marked", L"restart"});
            host.checks = tools::PreflightResult{checks, tools::Summarize(checks)};
        }
        EXPECT_EQ(RunAction(Action::DetectPresent, host), c.code);
        EXPECT_EQ(host.properties, c.properties);
        EXPECT_TRUE(host.Logged(c.line)) << c.line;
        EXPECT_EQ(host.Logged(L"DetectFilter: check ok       write-lock: free"), c.blocking != nullptr);
        // A blocked install stops before the note and the component are looked at.
        EXPECT_EQ(host.Logged(L"removed a restart note"), c.staleNotes > 0 && !blocked);
        EXPECT_EQ(host.notes, blocked ? c.staleNotes : 0);
        EXPECT_EQ(host.queries, blocked ? 0u : 1u);
        EXPECT_EQ(host.loads + host.cleanups + host.diagnoses + host.restartRequests, 0);
    }
}

// --- The actions on the simulated machine -----------------------------------
// The real library module, loaded from the install folder, against the
// simulated platform; only the installer's session is scripted.

constexpr const wchar_t *kProductCode = L"{0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9}";
const std::wstring kFolder = L"C:\\Program Files\\ndisfilter\\";
const char kInfText[] =
    "; DorvaneV.INF\r\n[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=NetService\r\n";

class SimSession final : public PlatformHost {
public:
    std::wstring data;
    std::vector<std::wstring> log;
    int restartRequests = 0;

    bool ReadActionData(std::wstring &out, std::wstring &) override {
        out = data;
        return true;
    }
    void Log(const std::wstring &line) override { log.push_back(line); }
    bool RequestRestart(UINT &error) override {
        ++restartRequests;
        error = 0;
        return true;
    }
    bool SetProperty(const wchar_t *, const wchar_t *, UINT &error) override {
        error = 0;
        return true;
    }
    bool Logged(const std::wstring &text) const {
        for (const std::wstring &line : log)
            if (line.find(text) != std::wstring::npos) return true;
        return false;
    }

protected:
    bool ProductCode(std::wstring &code, DWORD &) override {
        code = kProductCode;
        return true;
    }
    bool Removing() override { return false; }
};

// The marked copies of the INF in the store, read from the machine's files
// (no platform call, so that no scripted answer is taken).
int MarkedCopies() {
    int copies = 0;
    std::error_code ignored;
    for (const auto &entry :
         std::filesystem::directory_iterator(sim::HostPath("C:\\WINDOWS\\inf"), ignored)) {
        std::string name = entry.path().filename().string();
        for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (name.rfind("oem", 0) != 0 || name.size() < 5 ||
            name.compare(name.size() - 4, 4, ".inf") != 0)
            continue;
        std::ifstream in(entry.path());
        std::string first;
        std::getline(in, first);
        if (first.find("DorvaneV.INF") != std::string::npos) ++copies;
    }
    return copies;
}

bool Installed() { return sim::ComponentInstalled(ndisfilter::kComponentId); }

struct SweepCase {
    const char *name;
    Action action;
    bool installedBefore;  // the component and its copy in the store
    bool restart;          // Apply answers NETCFG_S_REBOOT
};

const SweepCase kSweepCases[] = {
    {"install", Action::Install, false, false},
    {"install needing a restart", Action::Install, false, true},
    {"uninstall", Action::Uninstall, true, false},
    {"uninstall needing a restart", Action::Uninstall, true, true},
    {"rollback of an install", Action::RollbackInstall, true, false},
    {"rollback of a removal", Action::RollbackUninstall, false, false},
};

// The calls whose failure is worth injecting: those with an answer the
// caller may act on. Releasing and closing, and the waits that a failure
// turns into an abandoned worker (the library's own sweep covers those),
// are left out.
bool CanFail(sim::Call call) {
    switch (call) {
        case sim::Call::AddRef:
        case sim::Call::Release:
        case sim::Call::CoUninitialize:
        case sim::Call::CoTaskMemFree:
        case sim::Call::CloseHandle:
        case sim::Call::FindClose:
        case sim::Call::EndThread:
        case sim::Call::TerminateThread:
        case sim::Call::WaitForSingleObject:
        case sim::Call::GetLastError:
        case sim::Call::RegCloseKey:
            return false;
        default:
            return true;
    }
}

bool AnswersHresult(sim::Call call) {
    switch (call) {
        case sim::Call::CoInitialize:
        case sim::Call::CoCreateInstance:
        case sim::Call::NetCfgQueryInterface:
        case sim::Call::NetCfgInitialize:
        case sim::Call::NetCfgUninitialize:
        case sim::Call::NetCfgApply:
        case sim::Call::NetCfgFindComponent:
        case sim::Call::NetCfgQueryNetCfgClass:
        case sim::Call::LockAcquireWriteLock:
        case sim::Call::LockReleaseWriteLock:
        case sim::Call::ClassQueryInterface:
        case sim::Call::ClassSetupInstall:
        case sim::Call::ClassSetupDeInstall:
        case sim::Call::ComponentGetClassGuid:
            return true;
        default:
            return false;
    }
}

class ActionSweepTest : public SimMachineTest {
protected:
    void Prepare(const SweepCase &c) {
        std::error_code ignored;
        std::filesystem::remove_all(Root(), ignored);
        sim::Reset(Root());
        WriteFileAt(kFolder + L"DorvaneV.inf", kInfText);
        std::filesystem::copy_file(NDISFILTER_MODULE,
                                   sim::HostPath(kFolder + L"ndisfilter.dll"),
                                   std::filesystem::copy_options::overwrite_existing);
        if (c.installedBefore) {
            sim::AddInstalledComponent(ndisfilter::kComponentId, GUID_DEVCLASS_NETSERVICE);
            WriteFileAt("C:\\WINDOWS\\inf\\oem0.inf", kInfText);
            WriteFileAt("C:\\WINDOWS\\inf\\oem0.PNF", "precompiled");
        }
        if (c.restart) sim::Script(sim::Call::NetCfgApply, sim::Answer::Hr(NETCFG_S_REBOOT), 0);
    }

    static UINT Run(const SweepCase &c, SimSession &session) {
        const bool needsInf = c.action == Action::Install || c.action == Action::RollbackUninstall;
        session.data = (needsInf ? L"INF=" + kFolder + L"DorvaneV.inf|" : std::wstring()) +
                       L"DIR=" + kFolder;
        return RunAction(c.action, session);
    }

    // The machine as the action left it, and what it said about it.
    void ExpectConsistent(const SweepCase &c, UINT code, const SimSession &session,
                          const std::string &where) {
        const bool installed = Installed();
        const int copies = MarkedCopies();
        EXPECT_EQ(installed, copies > 0)
            << where << ": installed " << installed << " with " << copies << " copies";
        EXPECT_LE(copies, 1) << where;
        ASSERT_FALSE(session.log.empty()) << where;
        const std::wstring last = session.log.back();
        const std::wstring returns = std::wstring(EntryPointName(c.action)) + L": returns " +
                                     std::to_wstring(code) + L" (";
        EXPECT_EQ(last.rfind(returns, 0), 0u) << where << ": " << testing::PrintToString(last);
        const bool wanted = (c.action == Action::Install || c.action == Action::RollbackUninstall);
        if (installed != wanted) {
            // Not done: a failure answered, or a rollback saying what it left.
            const bool said = code != kActionSuccess || session.Logged(L"could not be removed") ||
                              session.Logged(L"could not be put back");
            EXPECT_TRUE(said) << where << ": answered " << code << " with the component "
                              << (installed ? "installed" : "not installed");
        } else if (c.action != Action::Install || !c.installedBefore) {
            EXPECT_NE(code, kActionFailure) << where << ": done, yet answered a failure";
        }
        if (code == kActionFailure) {
            EXPECT_TRUE(session.Logged(L": error: ") || session.Logged(L": reason: "))
                << where << ": a failure without its reason";
        }
        // The note is there exactly when the log says it was made.
        const bool noted = sim::RegistryDword(kRestartNoteKey, kProductCode).has_value();
        EXPECT_EQ(noted, session.Logged(L"restart required: noted for ScheduleRestart")) << where;
        EXPECT_EQ(sim::OpenRegistryKeys(), 0) << where;
        EXPECT_EQ(sim::LiveReferences(), sim::AbandonedInterfaceReferences()) << where;
        EXPECT_FALSE(sim::WriteLockHeld()) << where;
    }
};

TEST_F(ActionSweepTest, EveryFailingPlatformCallLeavesTheMachineConsistent) {
    int total = 0;
    for (const SweepCase &c : kSweepCases) {
        Prepare(c);
        std::vector<sim::CallRecord> calls;
        {
            SimSession session;
            const UINT code = Run(c, session);
            ASSERT_EQ(code, kActionSuccess) << c.name;
            ASSERT_EQ(Installed(), c.action == Action::Install ||
                                       c.action == Action::RollbackUninstall)
                << c.name;
            ExpectConsistent(c, code, session, c.name);
            calls = sim::CallLog();
        }
        int points = 0;
        std::vector<int> seen(static_cast<size_t>(sim::Call::Count), 0);
        for (const sim::CallRecord &record : calls) {
            const int occurrence = ++seen[static_cast<size_t>(record.call)];
            if (!CanFail(record.call)) continue;
            std::vector<sim::Answer> answers;
            if (AnswersHresult(record.call)) {
                answers.push_back(sim::Answer::Hr(E_FAIL));
                if (record.call == sim::Call::NetCfgApply ||
                    record.call == sim::Call::ClassSetupInstall ||
                    record.call == sim::Call::ClassSetupDeInstall)
                    answers.push_back(sim::Answer::Hr(HRESULT_FROM_WIN32(ERROR_CANCELLED)));
            } else {
                answers.push_back(sim::Answer::Win32(ERROR_ACCESS_DENIED));
            }
            for (const sim::Answer &answer : answers) {
                char where[256];
                snprintf(where, sizeof where, "%s: %s #%d (%ls) fails with %08x/%u", c.name,
                         sim::CallName(record.call), occurrence, record.detail.c_str(),
                         static_cast<unsigned>(answer.hresult), answer.win32Error);
                Prepare(c);
                sim::Script(record.call, answer, occurrence);
                SimSession session;
                const UINT code = Run(c, session);
                ExpectConsistent(c, code, session, where);
                ++points;
                if (HasFailure()) {
                    for (const std::wstring &line : session.log) printf("  %ls\n", line.c_str());
                    return;  // one report, not hundreds
                }
            }
        }
        printf("%s: %zu calls, %d failing answers\n", c.name, calls.size(), points);
        total += points;
    }
    printf("custom actions' failure sweep: %d injection points\n", total);
}

// The note lives in the 64-bit view whatever the process: a 32-bit action
// under WOW64 and a 64-bit one find the same value. The key goes with the
// last note.
TEST_F(ActionSweepTest, TheRestartNoteIsInTheSixtyFourBitView) {
    const auto keyLeft = [] {
        HKEY key = nullptr;
        const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRestartNoteKey, 0,
                                             KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
        if (status == ERROR_SUCCESS) RegCloseKey(key);
        return status != ERROR_FILE_NOT_FOUND;
    };
    const wchar_t *other = L"{another product}";
    for (const bool wow64 : {false, true}) {
        sim::Reset(Root());
        sim::SetWow64(wow64);
        ASSERT_EQ(WriteRestartNote(kProductCode), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(WriteRestartNote(other), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(sim::RegistryDword(kRestartNoteKey, kProductCode, KEY_WOW64_64KEY), 1u);
        EXPECT_FALSE(sim::RegistryDword(kRestartNoteKey, kProductCode, KEY_WOW64_32KEY));
        sim::SetWow64(!wow64);
        DWORD error = 1;
        EXPECT_TRUE(TakeRestartNote(kProductCode, error)) << wow64;
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_FALSE(TakeRestartNote(kProductCode, error)) << "taken once only";
        EXPECT_TRUE(keyLeft()) << "another product's note stays";
        EXPECT_TRUE(TakeRestartNote(other, error));
        EXPECT_FALSE(keyLeft()) << "the last note taken";
        EXPECT_FALSE(TakeRestartNote(other, error));
        EXPECT_EQ(sim::OpenRegistryKeys(), 0);
    }
    // A reader that may not change HKLM\SOFTWARE (a standard user's token):
    // the note is found, and stays for a run as LocalSystem to remove.
    ASSERT_EQ(WriteRestartNote(kProductCode), static_cast<DWORD>(ERROR_SUCCESS));
    sim::Script(sim::Call::RegOpenKeyExW, sim::Answer::Win32(ERROR_ACCESS_DENIED),
                sim::CallCount(sim::Call::RegOpenKeyExW) + 2);
    DWORD error = 0;
    EXPECT_TRUE(TakeRestartNote(kProductCode, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(sim::RegistryDword(kRestartNoteKey, kProductCode).has_value());
    EXPECT_EQ(sim::OpenRegistryKeys(), 0);
}

TEST(UnreadableLibraryText, SaysNotThereOnlyForAMissingFileOrFolder) {
    const struct {
        DWORD error;
        const wchar_t *text;
    } cases[] = {
        {2, L"C:\\p\\ndisfilter.dll is not there (error 2)"},
        {3, L"C:\\p\\ndisfilter.dll is not there (error 3)"},
        {5, L"C:\\p\\ndisfilter.dll cannot be read (error 5)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(UnreadableLibraryText(L"C:\\p\\ndisfilter.dll", c.error), c.text) << c.error;
}

}  // namespace
}  // namespace ndisfilter::ca
