// Failure diagnosis: the facts, read without changing anything, and the one
// reason they support.
#include <windows.h>

#include "diagnosis.h"

#include "ndisfilter/setup/product.h"

#include "netcfg_query.h"

namespace ndisfilter::tools {
namespace {

const wchar_t *ArchitectureName(WORD processorArchitecture) {
    switch (processorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            return L"x64";
        case PROCESSOR_ARCHITECTURE_INTEL:
            return L"x86";
        case PROCESSOR_ARCHITECTURE_ARM64:
            return L"arm64";
        case PROCESSOR_ARCHITECTURE_ARM:
            return L"arm";
        default:
            return L"unknown";
    }
}

// The architecture this program was built for.
const wchar_t *BuiltArchitecture() {
#if defined(__x86_64__) || defined(_M_X64)
    return L"x64";
#elif defined(__i386__) || defined(_M_IX86)
    return L"x86";
#elif defined(__aarch64__) || defined(_M_ARM64)
    return L"arm64";
#else
    return L"unknown";
#endif
}

std::wstring Quoted(const WCHAR *text) { return std::wstring(L"\"") + text + L"\""; }

}  // namespace

const char *FailureKindName(FailureKind kind) {
    switch (kind) {
        case FailureKind::NotElevated:
            return "not-elevated";
        case FailureKind::Wow64:
            return "wow64";
        case FailureKind::InfMissing:
            return "inf-missing";
        case FailureKind::InfUnreadable:
            return "inf-unreadable";
        case FailureKind::LockHeld:
            return "lock-held";
        case FailureKind::AlreadyInstalled:
            return "already-installed";
        case FailureKind::NotInstalled:
            return "not-installed";
        case FailureKind::Unknown:
            break;
    }
    return "unknown";
}

InfCheck CheckInf(const WCHAR *path) {
    InfCheck check;
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // cppcheck-suppress cstyleCast ; INVALID_HANDLE_VALUE's own cast
    if (file != INVALID_HANDLE_VALUE) {  // NOLINT(cppcoreguidelines-pro-type-cstyle-cast): as above
        CloseHandle(file);
        return check;
    }
    check.error = GetLastError();
    const bool missing = check.error == ERROR_FILE_NOT_FOUND ||
                         check.error == ERROR_PATH_NOT_FOUND || check.error == ERROR_INVALID_NAME;
    check.state = missing ? InfCheck::State::Missing : InfCheck::State::Unreadable;
    return check;
}

ProcessFacts QueryProcessFacts() {
    ProcessFacts facts;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation = {};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
            facts.elevated = elevation.TokenIsElevated != 0;
        CloseHandle(token);
    }
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64)) facts.wow64 = wow64 != FALSE;

    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    facts.systemArchitecture = ArchitectureName(system.wProcessorArchitecture);
    // A process under WOW64 is a 32-bit x86 one, whatever built it.
    facts.programArchitecture = facts.wow64.value_or(false) ? L"x86" : BuiltArchitecture();
    return facts;
}

FailureReason ChooseReason(Operation operation, const WCHAR *infPath, const FailureFacts &facts) {
    const bool install = operation == Operation::Install;
    if (facts.process.elevated == false)
        return {FailureKind::NotElevated,
                L"the process is not elevated: run from an elevated prompt (Run as "
                L"administrator)"};
    if (facts.process.wow64 == true)
        return {FailureKind::Wow64,
                L"a 32-bit program on " + facts.process.systemArchitecture +
                    L" Windows: use the build that matches the operating system; the "
                    L"platform's setup services refuse device and driver installation from "
                    L"WOW64"};
    if (install && facts.inf) {
        const std::wstring inf = infPath ? Quoted(infPath) : std::wstring(L"the default INF");
        if (facts.inf->state == InfCheck::State::Missing)
            return {FailureKind::InfMissing, L"the INF " + inf + L" does not exist"};
        if (facts.inf->state == InfCheck::State::Unreadable)
            return {FailureKind::InfUnreadable, L"the INF " + inf + L" cannot be read (error " +
                                                    std::to_wstring(facts.inf->error) + L")"};
    }
    if (facts.lockHeld == true)
        return {FailureKind::LockHeld, L"the network configuration write lock is held by " +
                                           Quoted(facts.lockHolder.c_str()) +
                                           L"; try again when it is released"};
    if (install && facts.installed == true)
        return {FailureKind::AlreadyInstalled,
                std::wstring(ndisfilter::kComponentId) + L" is already installed"};
    if (!install && facts.installed == false)
        return {FailureKind::NotInstalled,
                std::wstring(ndisfilter::kComponentId) + L" is not installed"};
    return {FailureKind::Unknown,
            std::wstring(L"the failing step is unknown; see ") + kSetupLogPath};
}

FailureReason DiagnoseFailure(Operation operation, const WCHAR *infPath) {
    FailureFacts facts;
    facts.process = QueryProcessFacts();
    if (operation == Operation::Install && infPath) facts.inf = CheckInf(infPath);
    const NetCfgQuery query = QueryNetCfgWithin(ndisfilter::kComponentId, kNetCfgQueryTimeoutMs);
    facts.lockHeld = query.lockHeld;
    facts.lockHolder = query.lockHolder;
    facts.installed = query.installed;
    return ChooseReason(operation, infPath, facts);
}

}  // namespace ndisfilter::tools
