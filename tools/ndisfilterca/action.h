// The installer's custom actions around ndisfilter.dll, apart from the
// installer session and the platform: what each action does with the
// library, what it writes to the installer's log and what it answers.
// msi_entry.cpp binds it to a Windows Installer session; the host tests bind
// it to stand-ins.
#pragma once

#include <windows.h>

#include <ndisfilter.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/common/diagnosis.h"
#include "tools/common/preflight.h"

namespace ndisfilter::ca {

// What an action answers the installer (the platform's error codes).
constexpr UINT kActionSuccess = 0;      // ERROR_SUCCESS
constexpr UINT kActionUserExit = 1602;  // ERROR_INSTALL_USEREXIT
constexpr UINT kActionFailure = 1603;   // ERROR_INSTALL_FAILURE

enum class Action {
    Install,
    Uninstall,
    RollbackInstall,
    RollbackUninstall,
    DetectPresent,
    ScheduleRestart
};

// Set to "1" by DetectPresent, an immediate action run before the deferred
// ones are scheduled, when the component is installed already or that cannot
// be told. An install then leaves its rollback out, so that a failed install
// does not remove a component it may not have put there; a removal schedules
// its rollback, which puts back the component the removal took, only then.
constexpr const wchar_t *kPresentProperty = L"NDISFILTERPRESENT";

// The entry point's name, as an installer's CustomAction table names it.
const wchar_t *EntryPointName(Action action);

// CustomActionData: fields NAME=value separated by '|' (a character no
// Windows path holds), in any order, each at most once:
//   INF  the installed INF's full path (required for Install and
//        RollbackUninstall, unused by the others)
//   DIR  the install folder holding ndisfilter.dll (required)
// e.g. "INF=C:\Program Files\ndisfilter\DorvaneV.inf|DIR=C:\Program Files\ndisfilter\".
// Blanks around a field are ignored; an unknown or repeated name, a field
// without '=', an empty value or a relative path is refused with a reason.
struct ActionData {
    std::wstring inf;
    std::wstring dir;
};
bool ParseActionData(const std::wstring &text, Action action, ActionData &data,
                     std::wstring &error);

// The library in the install folder, by its full path.
std::wstring LibraryPathIn(const std::wstring &dir);

// "restart required, cancelled", or "none".
std::wstring FlagsText(BOOL restartRequired, BOOL cancelled);

// Why the library's file cannot be loaded, from GetFileAttributesW's error:
// "<path> is not there (error 2)" for a file or folder that does not exist,
// "<path> cannot be read (error 5)" for any other error.
std::wstring UnreadableLibraryText(const std::wstring &path, DWORD error);

// What an action needs from around it. The Windows Installer binding talks
// to the session and the platform; the tests' binding records and scripts.
class ActionHost {
public:
    // The action's CustomActionData; false with a reason when it cannot be read.
    virtual bool ReadActionData(std::wstring &data, std::wstring &error) = 0;
    // One line into the installer's log.
    virtual void Log(const std::wstring &line) = 0;
    // A deferred action may not ask the installer for a restart itself: it
    // notes the need where ScheduleRestart, an immediate action after
    // InstallFinalize, finds it (restart_note.h: the registry, keyed by the
    // product code). False with the error if no note was made.
    virtual bool NoteRestart(DWORD &error) = 0;
    // Reads and removes this installation's note: whether there was one;
    // `error` non-zero when the note could not be read, or was found and
    // could not be removed.
    virtual bool TakeRestartNote(DWORD &error) = 0;
    // Asks the installer for a restart at the end (immediate actions only);
    // false with the error if it refused.
    virtual bool RequestRestart(UINT &error) = 0;
    // Sets a property of the installer's session; false with the error if
    // it refused.
    virtual bool SetProperty(const wchar_t *name, const wchar_t *value, UINT &error) = 0;
    // Loads the library at its full path and gets one INdisFilterHelper2
    // reference from its DllGetClassObject; null with a reason on failure.
    // The caller releases the reference, then calls UnloadLibrary.
    virtual INdisFilterHelper2 *LoadLibraryHelper(const std::wstring &path,
                                                  std::wstring &error) = 0;
    virtual void UnloadLibrary() = 0;
    // Whether the component is installed; absent, with the reason in `why`,
    // when that cannot be told.
    virtual std::optional<bool> ComponentInstalled(std::wstring &why) = 0;
    // Why the library answered FALSE (the reason ndisfilterctl gives).
    virtual tools::FailureReason Diagnose(tools::Operation operation, const WCHAR *infPath) = 0;
    // Removes every marked copy of the INF from the platform's INF store;
    // fills in one line per copy looked at, and answers whether none is left.
    virtual bool CleanInfStore(std::vector<std::wstring> &lines) = 0;
    // DetectPresent on an install: the pre-flight checks that apply before
    // the files are in place; absent on a removal.
    virtual std::optional<tools::PreflightResult> InstallChecks() = 0;

protected:
    ~ActionHost() = default;
};

// Runs one action from its CustomActionData (DetectPresent: from the
// platform's state; ScheduleRestart: from the deferred actions' notes) to its
// answer; every step is logged. Never throws.
UINT RunAction(Action action, ActionHost &host);

}  // namespace ndisfilter::ca
