// The custom actions' flow: data, library, operation, answer.
#include "action.h"

namespace ndisfilter::ca {
namespace {

constexpr const wchar_t *kLibraryFileName = L"ndisfilter.dll";

std::wstring Trimmed(const std::wstring &text) {
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return {};
    const size_t last = text.find_last_not_of(L" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A drive path (C:\...) or a UNC path (\\server\share\...).
bool IsFullPath(const std::wstring &path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && separator(path[2]))
        return (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

// One action's run, with its log prefix.
class Run {
public:
    Run(Action action, ActionHost &host) : m_action(action), m_host(host) {}

    UINT Go() {
        Log(L"started");
        if (m_action == Action::DetectPresent) return DetectPresent();
        if (m_action == Action::ScheduleRestart) return ScheduleRestart();
        std::wstring text, error;
        if (!m_host.ReadActionData(text, error))
            return FailEarly(L"cannot read CustomActionData: " + error);
        Log(L"CustomActionData: \"" + text + L"\"");
        ActionData data;
        if (!ParseActionData(text, m_action, data, error))
            return FailEarly(L"bad CustomActionData: " + error);

        // As LocalSystem, the main actions remove a note an earlier run left
        // and its immediate actions could not (a standard user's token).
        if (m_action == Action::Install || m_action == Action::Uninstall) TakeStaleNote();
        const std::wstring library = LibraryPathIn(data.dir);
        Log(L"loading " + library);
        INdisFilterHelper2 *helper = m_host.LoadLibraryHelper(library, error);
        if (helper) {
            if (m_action == Action::Install) return Install(helper, data);
            if (m_action == Action::RollbackUninstall) return PutBack(helper, data);
            return Remove(helper);
        }
        // Without the library, a removal is done only if nothing is left to
        // do (the product was removed before, the install never got as far).
        const bool removal = m_action == Action::Uninstall || m_action == Action::RollbackInstall;
        if (!removal) return FailEarly(error);
        const std::optional<bool> installed = Installed();
        if (installed == false) {
            Log(L"warning: " + error);
            Log(L"nothing to remove: the component is not installed");
            CleanStore();
            return Answer(kActionSuccess, L"ERROR_SUCCESS");
        }
        Log(L"error: " + error);
        if (m_action == Action::RollbackInstall) CleanStoreIfGone(installed);
        return Answer(kActionFailure, L"ERROR_INSTALL_FAILURE");
    }

private:
    void Log(const std::wstring &line) {
        m_host.Log(std::wstring(EntryPointName(m_action)) + L": " + line);
    }

    UINT Answer(UINT code, const wchar_t *meaning) {
        Log(L"returns " + std::to_wstring(code) + L" (" + meaning + L")");
        return code;
    }

    // Before the library was called. A rollback still takes the INF's copies
    // out of the store when the component is not installed: that needs
    // neither the data nor the library.
    UINT FailEarly(const std::wstring &why) {
        Log(L"error: " + why);
        if (m_action == Action::RollbackInstall) CleanStoreIfGone(Installed());
        return Answer(kActionFailure, L"ERROR_INSTALL_FAILURE");
    }

    // Whether the component is installed; an answer that cannot be told is
    // logged with its reason.
    std::optional<bool> Installed() {
        std::wstring why;
        const std::optional<bool> installed = m_host.ComponentInstalled(why);
        if (!installed)
            Log(L"warning: cannot tell whether the component is installed: " +
                (why.empty() ? std::wstring(L"no reason given") : why));
        return installed;
    }

    void Release(INdisFilterHelper2 *helper) {
        helper->Release();
        m_host.UnloadLibrary();
    }

    // Immediate, before the deferred actions are scheduled: whether the
    // component is there before this installation. Not being able to tell
    // counts as there: what may have been there is not ours to take back.
    // A restart note left by an earlier installation that did not get as far
    // as ScheduleRestart (one rolled back) goes first.
    UINT DetectPresent() {
        if (const std::optional<tools::PreflightResult> checks = m_host.InstallChecks())
            if (!PassesChecks(*checks)) return Answer(kActionFailure, L"ERROR_INSTALL_FAILURE");
        TakeStaleNote();
        const std::optional<bool> installed = Installed();
        if (installed == false) {
            Log(L"the component is not installed");
            return Answer(kActionSuccess, L"ERROR_SUCCESS");
        }
        UINT error = 0;
        if (!m_host.SetProperty(kPresentProperty, L"1", error)) {
            Log(std::wstring(L"error: cannot set ") + kPresentProperty + L" (error " +
                std::to_wstring(error) + L")");
            return Answer(kActionFailure, L"ERROR_INSTALL_FAILURE");
        }
        Log(std::wstring(installed == true ? L"the component is installed already: "
                                           : L"taken as installed: ") +
            kPresentProperty + L"=1");
        return Answer(kActionSuccess, L"ERROR_SUCCESS");
    }

    // Every check into the log; a blocking one fails the installation here,
    // before InstallFiles, with the first blocking check's reason.
    bool PassesChecks(const tools::PreflightResult &checks) {
        for (const tools::Check &check : checks.checks)
            Log(L"check " + tools::DescribeCheck(check));
        Log(L"checks: " + tools::DescribeSummary(checks.summary));
        for (const tools::Check &check : checks.checks) {
            if (check.verdict != tools::Verdict::Blocked) continue;
            Log(L"error: refused before anything is changed: " + check.fact + L"; " + check.advice);
            return false;
        }
        return true;
    }

    // Immediate, after InstallFinalize: a deferred action's note of a
    // restart becomes the installer's request. The installation is committed
    // by then: whatever happens, it answers success.
    UINT ScheduleRestart() {
        DWORD noteError = ERROR_SUCCESS;
        const bool noted = m_host.TakeRestartNote(noteError);
        if (noteError != ERROR_SUCCESS) LogNoteLeft(noteError);
        if (!noted) {
            Log(L"no restart required");
            return Answer(kActionSuccess, L"ERROR_SUCCESS");
        }
        UINT error = 0;
        if (m_host.RequestRestart(error))
            Log(L"a custom action noted a restart: restart requested at the end of the "
                L"installation");
        else
            Log(L"warning: a custom action noted a restart; the installer refused the request "
                L"for it (error " +
                std::to_wstring(error) + L")");
        return Answer(kActionSuccess, L"ERROR_SUCCESS");
    }

    void TakeStaleNote() {
        DWORD noteError = ERROR_SUCCESS;
        if (m_host.TakeRestartNote(noteError))
            Log(L"removed a restart note left by an earlier installation that did not finish");
        if (noteError != ERROR_SUCCESS) LogNoteLeft(noteError);
    }

    // A note that could not be read or removed: the next installation's
    // DetectFilter and InstallFilter or UninstallFilter try again.
    void LogNoteLeft(DWORD error) {
        Log(L"warning: the restart note in HKLM\\SOFTWARE\\ndisfilter could not be read or "
            L"removed (error " +
            std::to_wstring(error) + L")");
    }

    // A deferred action may not ask the installer for a restart: it leaves a
    // note for ScheduleRestart.
    UINT Succeed(BOOL restartRequired) {
        if (!restartRequired) return Answer(kActionSuccess, L"ERROR_SUCCESS");
        DWORD error = 0;
        if (m_host.NoteRestart(error))
            Log(L"restart required: noted for ScheduleRestart, which asks the installer for it "
                L"after InstallFinalize");
        else
            Log(L"warning: restart required, but no note of it could be made (error " +
                std::to_wstring(error) + L"): the installer will not ask for it");
        return Answer(kActionSuccess, L"ERROR_SUCCESS, restart required");
    }

    // InstallWithRetry on the data's INF, its answer and, for a failure that
    // is not a cancel, the reason logged.
    BOOL CallInstall(INdisFilterHelper2 *helper, const ActionData &data, BOOL &restart,
                     BOOL &cancelled) {
        Log(L"calling InstallWithRetry(\"" + data.inf + L"\")");
        const BOOL ok = helper->InstallWithRetry(data.inf.c_str(), &restart, &cancelled);
        Log(std::wstring(L"InstallWithRetry answered ") + (ok ? L"TRUE" : L"FALSE") +
            L"; flags: " + FlagsText(restart, cancelled));
        if (!ok && !cancelled) {
            const tools::FailureReason reason =
                m_host.Diagnose(tools::Operation::Install, data.inf.c_str());
            Log(L"reason: " + reason.text);
        }
        return ok;
    }

    UINT Install(INdisFilterHelper2 *helper, const ActionData &data) {
        // What was or may have been there before is not ours to take back
        // after a failure.
        const std::optional<bool> installedBefore = Installed();
        if (installedBefore == true) Log(L"the component is installed already");
        BOOL restart = FALSE, cancelled = FALSE;
        if (CallInstall(helper, data, restart, cancelled)) {
            Release(helper);
            return Succeed(restart);
        }
        if (installedBefore == true)
            Log(L"not undoing: the component and the INF's copies were there before");
        else if (!installedBefore.has_value())
            Log(L"not undoing: the component and the INF's copies may have been there before");
        else
            Undo(helper);
        Release(helper);
        if (cancelled) return Answer(kActionUserExit, L"ERROR_INSTALL_USEREXIT, cancelled");
        return Answer(kActionFailure, L"ERROR_INSTALL_FAILURE");
    }

    // A failed or cancelled install takes back what it did before answering:
    // the installer rolls back only what is in its rollback script, and not
    // every installer runs that script after a cancel.
    void Undo(INdisFilterHelper2 *helper) {
        const std::optional<bool> installed = Installed();
        if (installed == false) {
            CleanStore();
            return;
        }
        Log(L"undoing: calling UninstallWithRetry()");
        BOOL restart = FALSE;
        const BOOL ok = helper->UninstallWithRetry(&restart);
        Log(std::wstring(L"UninstallWithRetry answered ") + (ok ? L"TRUE" : L"FALSE") +
            L"; flags: " + FlagsText(restart, FALSE));
        CleanStoreIfGone(ok ? false : Installed());
    }

    // The rollback of a removal: the component the removal took goes back
    // in (the package's files are back by then); one the removal did not
    // take is left as it is. A rollback goes on whatever one step answers.
    UINT PutBack(INdisFilterHelper2 *helper, const ActionData &data) {
        if (Installed() == true) {
            Release(helper);
            Log(L"nothing to put back: the component is installed");
            return Answer(kActionSuccess, L"ERROR_SUCCESS");
        }
        BOOL restart = FALSE, cancelled = FALSE;
        const BOOL ok = CallInstall(helper, data, restart, cancelled);
        Release(helper);
        if (ok) return Succeed(restart);
        // A failed put-back may still have left the INF's copy in the store:
        // it goes unless the component is there after all.
        const std::optional<bool> installed = Installed();
        if (installed == true) {
            Log(L"the component is installed: its INF's copy stays in the INF store");
            return Answer(kActionSuccess, L"ERROR_SUCCESS");
        }
        CleanStoreIfGone(installed);
        return Answer(kActionSuccess, L"ERROR_SUCCESS; the component could not be put back");
    }

    // Uninstall, and the rollback of an install: the component goes, then
    // every copy of the INF in the store.
    UINT Remove(INdisFilterHelper2 *helper) {
        Log(L"calling UninstallWithRetry()");
        BOOL restart = FALSE;
        const BOOL ok = helper->UninstallWithRetry(&restart);
        Release(helper);
        Log(std::wstring(L"UninstallWithRetry answered ") + (ok ? L"TRUE" : L"FALSE") +
            L"; flags: " + FlagsText(restart, FALSE));
        std::optional<bool> installed = false;
        if (!ok) {
            const tools::FailureReason reason = m_host.Diagnose(tools::Operation::Uninstall, nullptr);
            Log(L"reason: " + reason.text);
            installed = Installed();
            if (installed == false) Log(L"nothing to remove: the component is not installed");
        }
        CleanStoreIfGone(installed);
        if (installed == false) return Succeed(restart);
        if (m_action == Action::RollbackInstall)
            // A rollback goes on whatever one step answers; say so and let it.
            return Answer(kActionSuccess, L"ERROR_SUCCESS; the component could not be removed");
        return Answer(kActionFailure, L"ERROR_INSTALL_FAILURE");
    }

    // The INF's copies go with the component only: one that stays, or may
    // stay, keeps them for the removal that takes it later.
    void CleanStoreIfGone(std::optional<bool> installed) {
        if (installed == false) {
            CleanStore();
            return;
        }
        Log(installed == true
                ? L"the component is still installed: its INF's copies stay in the INF "
                  L"store for its removal"
                : L"the component may still be installed: its INF's copies stay in the INF "
                  L"store for its removal");
    }

    void CleanStore() {
        Log(L"removing the INF's copies from the INF store");
        std::vector<std::wstring> lines;
        const bool clean = m_host.CleanInfStore(lines);
        for (const std::wstring &line : lines) Log(L"  " + line);
        Log(clean ? L"INF store: no copy left"
                  : L"warning: INF store: a copy could not be removed (see above)");
    }

    Action m_action;
    ActionHost &m_host;
};

}  // namespace

const wchar_t *EntryPointName(Action action) {
    switch (action) {
        case Action::Install:
            return L"InstallFilter";
        case Action::Uninstall:
            return L"UninstallFilter";
        case Action::DetectPresent:
            return L"DetectFilter";
        case Action::RollbackUninstall:
            return L"RollbackUninstallFilter";
        case Action::ScheduleRestart:
            return L"ScheduleRestart";
        case Action::RollbackInstall:
            break;
    }
    return L"RollbackInstallFilter";
}

bool ParseActionData(const std::wstring &text, Action action, ActionData &data,
                     std::wstring &error) {
    data = {};
    bool haveInf = false, haveDir = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'|', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring field = Trimmed(text.substr(start, end - start));
        start = end + 1;
        if (field.empty()) continue;
        const size_t equals = field.find(L'=');
        if (equals == std::wstring::npos) {
            error = L"field \"" + field + L"\" is not NAME=value";
            return false;
        }
        const std::wstring name = Trimmed(field.substr(0, equals));
        const std::wstring value = Trimmed(field.substr(equals + 1));
        bool *seen = name == L"INF" ? &haveInf : name == L"DIR" ? &haveDir : nullptr;
        if (!seen) {
            error = L"unknown field \"" + name + L"\" (INF and DIR are known)";
            return false;
        }
        if (*seen) {
            error = L"field " + name + L" given twice";
            return false;
        }
        if (value.empty() || !IsFullPath(value)) {
            error = L"field " + name + L" is not a full path: \"" + value + L"\"";
            return false;
        }
        *seen = true;
        (name == L"INF" ? data.inf : data.dir) = value;
    }
    if (!haveDir) {
        error = text.empty() ? L"it is empty; DIR=<install folder> is required"
                             : L"DIR=<install folder> is missing";
        return false;
    }
    if ((action == Action::Install || action == Action::RollbackUninstall) && !haveInf) {
        error = L"INF=<installed INF's full path> is missing";
        return false;
    }
    return true;
}

std::wstring LibraryPathIn(const std::wstring &dir) {
    const bool separated = !dir.empty() && (dir.back() == L'\\' || dir.back() == L'/');
    return dir + (separated ? L"" : L"\\") + kLibraryFileName;
}

std::wstring FlagsText(BOOL restartRequired, BOOL cancelled) {
    if (restartRequired && cancelled) return L"restart required, cancelled";
    if (restartRequired) return L"restart required";
    if (cancelled) return L"cancelled";
    return L"none";
}

std::wstring UnreadableLibraryText(const std::wstring &path, DWORD error) {
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return path + (missing ? L" is not there (error " : L" cannot be read (error ") +
           std::to_wstring(error) + L")";
}

UINT RunAction(Action action, ActionHost &host) {
    try {
        return Run(action, host).Go();
    } catch (...) {
        // Out of memory for text: nothing is left to log with. The installer
        // rolls back.
        return kActionFailure;
    }
}

}  // namespace ndisfilter::ca
