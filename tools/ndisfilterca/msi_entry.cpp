// ndisfilterca.dll: the custom actions' entry points, bound to a Windows
// Installer session. InstallFilter, UninstallFilter, RollbackInstallFilter and
// RollbackUninstallFilter are deferred actions that run without impersonation: each reads
// CustomActionData, loads ndisfilter.dll from the install folder by its full
// path and logs every step through MsiProcessMessage (INSTALLMESSAGE_INFO).
// DetectFilter is an immediate action that only reads the network
// configuration and sets a property; ScheduleRestart, an immediate action
// after InstallFinalize, asks the installer for the restart a deferred action
// noted in the registry (a deferred action may not call MsiSetMode).
#include <windows.h>
#include <objbase.h>
#include <msi.h>
#include <msiquery.h>
// The library's interface ids are defined here.
#include <initguid.h>

#include "platform_host.h"

namespace ndisfilter::ca {
namespace {

class MsiHost final : public PlatformHost {
public:
    explicit MsiHost(MSIHANDLE session) : m_session(session) {}

    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the interface's signature (action.h)
    bool ReadActionData(std::wstring &data, std::wstring &error) override {
        UINT status = ERROR_SUCCESS;
        if (!ReadProperty(L"CustomActionData", data, status)) {
            error = L"MsiGetPropertyW answered " + std::to_wstring(status);
            return false;
        }
        return true;
    }

    void Log(const std::wstring &line) override {
        const MSIHANDLE record = MsiCreateRecord(1);
        if (!record) return;
        // The text goes in as a field, so that brackets in it are not taken
        // for the installer's formatting.
        MsiRecordSetStringW(record, 0, L"ndisfilterca: [1]");
        MsiRecordSetStringW(record, 1, line.c_str());
        MsiProcessMessage(m_session, INSTALLMESSAGE_INFO, record);
        MsiCloseHandle(record);
    }

    bool RequestRestart(UINT &error) override {
        error = MsiSetMode(m_session, MSIRUNMODE_REBOOTATEND, TRUE);
        return error == ERROR_SUCCESS;
    }

    bool SetProperty(const wchar_t *name, const wchar_t *value, UINT &error) override {
        error = MsiSetPropertyW(m_session, name, value);
        return error == ERROR_SUCCESS;
    }

protected:
    // A deferred action has ProductCode too ("Obtaining Context Information
    // for Deferred Execution Custom Actions"): its note and the immediate
    // ScheduleRestart's read name the same value.
    bool ProductCode(std::wstring &code, DWORD &error) override {
        UINT status = ERROR_SUCCESS;
        if (ReadProperty(L"ProductCode", code, status) && !code.empty()) return true;
        error = status == ERROR_SUCCESS ? ERROR_INVALID_DATA : status;
        return false;
    }

    // REMOVE is set on a removal only (DetectFilter's condition leaves out
    // repairs and changes).
    bool Removing() override {
        std::wstring remove;
        UINT status = ERROR_SUCCESS;
        return ReadProperty(L"REMOVE", remove, status) && !remove.empty();
    }

private:
    bool ReadProperty(const wchar_t *name, std::wstring &value, UINT &status) {
        WCHAR empty[1] = L"";
        DWORD size = 0;
        status = MsiGetPropertyW(m_session, name, empty, &size);
        value.clear();
        if (status == ERROR_MORE_DATA) {
            std::wstring buffer(size + 1, L'\0');
            size = static_cast<DWORD>(buffer.size());
            status = MsiGetPropertyW(m_session, name, buffer.data(), &size);
            buffer.resize(size);
            value = buffer;
        }
        return status == ERROR_SUCCESS;
    }

    MSIHANDLE m_session;
};

UINT Enter(Action action, MSIHANDLE session) {
    // A read of the network configuration that does not answer in time is
    // left running on a thread of its own, in this DLL's code: the DLL stays
    // loaded until the process ends, whenever the installer frees it.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&Enter), &self);
    MsiHost host(session);
    return RunAction(action, host);
}

}  // namespace
}  // namespace ndisfilter::ca

// The entry points, as a CustomAction table names them (Type 1 + 1024
// deferred + 2048 no impersonation).
extern "C" UINT __stdcall InstallFilter(MSIHANDLE session) {
    return ndisfilter::ca::Enter(ndisfilter::ca::Action::Install, session);
}

extern "C" UINT __stdcall UninstallFilter(MSIHANDLE session) {
    return ndisfilter::ca::Enter(ndisfilter::ca::Action::Uninstall, session);
}

extern "C" UINT __stdcall RollbackInstallFilter(MSIHANDLE session) {
    return ndisfilter::ca::Enter(ndisfilter::ca::Action::RollbackInstall, session);
}

extern "C" UINT __stdcall RollbackUninstallFilter(MSIHANDLE session) {
    return ndisfilter::ca::Enter(ndisfilter::ca::Action::RollbackUninstall, session);
}

// Type 1, immediate.
extern "C" UINT __stdcall DetectFilter(MSIHANDLE session) {
    return ndisfilter::ca::Enter(ndisfilter::ca::Action::DetectPresent, session);
}

// Type 1 + 64 (its answer ignored), immediate, after InstallFinalize.
extern "C" UINT __stdcall ScheduleRestart(MSIHANDLE session) {
    return ndisfilter::ca::Enter(ndisfilter::ca::Action::ScheduleRestart, session);
}
