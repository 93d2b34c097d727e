// ndisfilterca.dll: the custom actions' entry points, bound to a Windows
// Installer session. InstallFilter, UninstallFilter, RollbackInstallFilter and
// RollbackUninstallFilter are deferred actions that run without impersonation: each reads
// CustomActionData, loads ndisfilter.dll from the install folder by its full
// path and logs every step through MsiProcessMessage (INSTALLMESSAGE_INFO).
// DetectFilter is an immediate action that only reads the network
// configuration and sets a property; ScheduleRestart, an immediate action
// after InstallFinalize, asks the installer for the restart a deferred action
// noted (a deferred action may not call MsiSetMode).
#include <windows.h>
#include <objbase.h>
#include <msi.h>
#include <msiquery.h>
// The library's interface ids are defined here.
#include <initguid.h>

#include "action.h"
#include "product.h"
#include "tools/common/inf_store.h"
#include "tools/common/netcfg_query.h"

namespace ndisfilter::ca {
namespace {

std::wstring ErrorText(DWORD code) { return L"error " + std::to_wstring(code); }

// The deferred actions' note of a restart, for ScheduleRestart: a global
// atom, which the deferred and the immediate actions' processes of one
// installation share, and which no restart leaves behind. Installations do
// not overlap: one name serves them all.
constexpr const wchar_t *kRestartNote = L"ndisfilterca: restart required";

class MsiHost final : public ActionHost {
public:
    explicit MsiHost(MSIHANDLE session) : m_session(session) {}
    MsiHost(const MsiHost &) = delete;
    MsiHost &operator=(const MsiHost &) = delete;
    ~MsiHost() { UnloadLibrary(); }

    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the interface's signature (action.h)
    bool ReadActionData(std::wstring &data, std::wstring &error) override {
        WCHAR empty[1] = L"";
        DWORD size = 0;
        UINT status = MsiGetPropertyW(m_session, L"CustomActionData", empty, &size);
        if (status == ERROR_MORE_DATA) {
            std::wstring buffer(size + 1, L'\0');
            size = static_cast<DWORD>(buffer.size());
            status = MsiGetPropertyW(m_session, L"CustomActionData", buffer.data(), &size);
            buffer.resize(size);
            data = buffer;
        } else {
            data.clear();
        }
        if (status != ERROR_SUCCESS) {
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

    bool NoteRestart(DWORD &error) override {
        if (GlobalAddAtomW(kRestartNote) != 0) return true;
        error = GetLastError();
        return false;
    }

    bool TakeRestartNotes() override {
        // Each note added one reference to the atom: delete until it is gone.
        bool found = false;
        for (ATOM atom = 0; (atom = GlobalFindAtomW(kRestartNote)) != 0;) {
            found = true;
            if (GlobalDeleteAtom(atom) != 0) break;  // not deleted: do not spin
        }
        return found;
    }

    bool RequestRestart(UINT &error) override {
        error = MsiSetMode(m_session, MSIRUNMODE_REBOOTATEND, TRUE);
        return error == ERROR_SUCCESS;
    }

    bool SetProperty(const wchar_t *name, const wchar_t *value, UINT &error) override {
        error = MsiSetPropertyW(m_session, name, value);
        return error == ERROR_SUCCESS;
    }

    INdisFilterHelper2 *LoadLibraryHelper(const std::wstring &path, std::wstring &error) override {
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            error = UnreadableLibraryText(path, GetLastError());
            return nullptr;
        }
        // The DLLs it imports are looked for beside it, then in the system's
        // folders; never in the installer's current directory first.
        m_module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!m_module) {
            error = L"cannot load " + path + L" (" + ErrorText(GetLastError()) + L")";
            return nullptr;
        }
        const auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(m_module, "DllGetClassObject")));
        if (!getClassObject) {
            error = path + L" does not export DllGetClassObject";
            UnloadLibrary();
            return nullptr;
        }
        void *object = nullptr;
        const HRESULT hr = getClassObject(GUID{}, IID_INdisFilterHelper2, &object);
        if (hr != S_OK || !object) {
            error = L"DllGetClassObject of " + path + L" refused INdisFilterHelper2 (" +
                    tools::HexCode(static_cast<DWORD>(hr)) + L")";
            UnloadLibrary();
            return nullptr;
        }
        return static_cast<INdisFilterHelper2 *>(object);
    }

    void UnloadLibrary() override {
        if (m_module) FreeLibrary(m_module);
        m_module = nullptr;
    }

    std::optional<bool> ComponentInstalled(std::wstring &why) override {
        const tools::NetCfgQuery query =
            tools::QueryNetCfgWithin(ndisfilter::kComponentId, tools::kNetCfgQueryTimeoutMs);
        if (!query.installed) why = tools::DescribeQueryFailure(query);
        return query.installed;
    }

    tools::FailureReason Diagnose(tools::Operation operation, const WCHAR *infPath) override {
        return tools::DiagnoseFailure(operation, infPath);
    }

    bool CleanInfStore(std::vector<std::wstring> &lines) override {
        const infstore::CleanupReport report = infstore::CleanupInfStore(false);
        if (report.before.error != ERROR_SUCCESS)
            lines.push_back(infstore::DescribeListingError(report.before));
        for (const infstore::CleanupResult &result : report.results)
            lines.push_back(report.before.store + L"\\" + infstore::DescribeCleanupResult(result));
        if (report.after.error != ERROR_SUCCESS)
            lines.push_back(L"after the clean-up, " + infstore::DescribeListingError(report.after));
        else if (report.results.empty() && report.before.error == ERROR_SUCCESS)
            lines.push_back(L"no copy in " + report.before.store);
        return report.Clean();
    }

private:
    MSIHANDLE m_session;
    HMODULE m_module = nullptr;
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
