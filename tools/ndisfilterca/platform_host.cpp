#include "platform_host.h"

#include <objbase.h>

#include "product.h"
#include "restart_note.h"
#include "tools/common/helper_object.h"
#include "tools/common/inf_store.h"
#include "tools/common/netcfg_query.h"

namespace ndisfilter::ca {

bool PlatformHost::NoteRestart(DWORD &error) {
    std::wstring code;
    if (!ProductCode(code, error)) return false;
    error = WriteRestartNote(code);
    return error == ERROR_SUCCESS;
}

bool PlatformHost::TakeRestartNote(DWORD &error) {
    std::wstring code;
    if (!ProductCode(code, error)) return false;
    return ca::TakeRestartNote(code, error);
}

INdisFilterHelper2 *PlatformHost::LoadLibraryHelper(const std::wstring &path, std::wstring &error) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        error = UnreadableLibraryText(path, GetLastError());
        return nullptr;
    }
    // The DLLs it imports are looked for beside it, then in the system's
    // folders; never in the installer's current directory first.
    m_module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!m_module) {
        error = L"cannot load " + path + L" (error " + std::to_wstring(GetLastError()) + L")";
        return nullptr;
    }
    INdisFilterHelper2 *helper = tools::TakeHelperObject(m_module, path, error);
    if (!helper) UnloadLibrary();
    return helper;
}

void PlatformHost::UnloadLibrary() {
    if (m_module) FreeLibrary(m_module);
    m_module = nullptr;
}

std::optional<bool> PlatformHost::ComponentInstalled(std::wstring &why) {
    const tools::NetCfgQuery query =
        tools::QueryNetCfgWithin(ndisfilter::kComponentId, tools::kNetCfgQueryTimeoutMs);
    if (!query.installed) why = tools::DescribeQueryFailure(query);
    return query.installed;
}

tools::FailureReason PlatformHost::Diagnose(tools::Operation operation, const WCHAR *infPath) {
    return tools::DiagnoseFailure(operation, infPath);
}

std::optional<tools::PreflightResult> PlatformHost::InstallChecks() {
    if (Removing()) return std::nullopt;
    return tools::RunPreflightBeforeFiles(ndisfilter::kServiceName);
}

bool PlatformHost::CleanInfStore(std::vector<std::wstring> &lines) {
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

}  // namespace ndisfilter::ca
