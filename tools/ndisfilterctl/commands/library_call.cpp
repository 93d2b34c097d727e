// Loading the library and calling one of its operations.
#include <windows.h>
#include <objbase.h>
#include <initguid.h>

#include "commands/library_call.h"

#include "tools/common/helper_object.h"

namespace ndisfilterctl {

LoadedHelper::~LoadedHelper() {
    if (m_helper) m_helper->Release();
    if (m_module) FreeLibrary(m_module);
}

bool LoadedHelper::Load(const std::wstring &libraryPath, std::wstring &error) {
    m_module = LoadLibraryW(libraryPath.c_str());
    if (!m_module) {
        const DWORD code = GetLastError();
        error = L"cannot load the library " + libraryPath;
        if (code != 0) error += L" (error " + std::to_wstring(code) + L")";
        return false;
    }
    m_helper = diag::TakeHelperObject(m_module, libraryPath, error);
    return m_helper != nullptr;
}

Outcome CallOperation(INdisFilterHelper2 *helper, const Operation &operation) {
    Outcome outcome;
    outcome.ran = true;
    if (operation.action == Action::Install) {
        if (operation.retry)
            outcome.result = helper->InstallWithRetry(operation.infPath, &outcome.restartRequired,
                                                      &outcome.cancelled);
        else if (operation.timeoutMs)
            outcome.result = helper->InstallWithTimeout(operation.infPath, *operation.timeoutMs,
                                                        &outcome.timedOut, &outcome.restartRequired,
                                                        &outcome.cancelled);
        else
            outcome.result =
                helper->Install(operation.infPath, &outcome.restartRequired, &outcome.cancelled);
    } else {
        if (operation.retry)
            outcome.result = helper->UninstallWithRetry(&outcome.restartRequired);
        else if (operation.timeoutMs)
            outcome.result = helper->UninstallWithTimeout(*operation.timeoutMs, &outcome.timedOut,
                                                          &outcome.restartRequired);
        else
            outcome.result = helper->Uninstall(&outcome.restartRequired);
    }
    return outcome;
}

Outcome RunOperation(const std::wstring &libraryPath, const Operation &operation) {
    LoadedHelper helper;
    Outcome outcome;
    if (!helper.Load(libraryPath, outcome.error)) return outcome;
    return CallOperation(helper.Get(), operation);
}

ExitStatus StatusOf(const Outcome &outcome) {
    if (!outcome.ran) return ExitStatus::Failed;
    if (outcome.result)
        return outcome.restartRequired ? ExitStatus::RestartRequired : ExitStatus::Success;
    if (outcome.timedOut) return ExitStatus::TimedOut;
    if (outcome.cancelled) return ExitStatus::Cancelled;
    return ExitStatus::Failed;
}

}  // namespace ndisfilterctl
