// ndisfilterctl's flow: parse, load the library, run one operation on the
// machine, report, exit with a code deployment tools understand.
#include <windows.h>
#include <objbase.h>
#include <initguid.h>

#include "cli_run.h"

#include <algorithm>
#include <wctype.h>

namespace ndisfilterctl {
namespace {

constexpr const wchar_t *kVersion = L"" NDISFILTERCTL_VERSION;

std::wstring ToLower(std::wstring text) {
    for (wchar_t &c : text) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
    return text;
}

// Entries of `of` missing from `in`, compared by `key`.
template <typename Key>
std::vector<std::wstring> Missing(const std::vector<std::wstring> &of,
                                  const std::vector<std::wstring> &in, Key key) {
    std::vector<std::wstring> missing;
    for (const std::wstring &item : of) {
        const bool present = std::any_of(in.begin(), in.end(), [&](const std::wstring &other) {
            return key(other) == key(item);
        });
        if (!present) missing.push_back(item);
    }
    return missing;
}

std::wstring OperationName(const Operation &operation) {
    std::wstring name = operation.action == Action::Install ? L"install" : L"uninstall";
    if (operation.retry) {
        name += L" with retry";
    } else if (operation.timeoutMs) {
        name += *operation.timeoutMs == INFINITE
                    ? std::wstring(L" with no time limit")
                    : L" with a " + std::to_wstring(*operation.timeoutMs) + L" ms limit";
    }
    return name;
}

void WriteUsageError(const std::wstring &error) {
    WriteText(Stream::Err, L"ndisfilterctl: " + error + L"\n\n" +
                               UsageText(PlatformExitCodes(), HasSimulatedMachine()));
}

}  // namespace

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
    // Through a plain function pointer type first: FARPROC's own signature
    // has nothing to do with the export's.
    const auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(m_module, "DllGetClassObject")));
    if (!getClassObject) {
        error = libraryPath + L" does not export DllGetClassObject";
        return false;
    }
    void *object = nullptr;
    const HRESULT hr = getClassObject(GUID{}, IID_INdisFilterHelper2, &object);
    if (hr != S_OK || !object) {
        wchar_t code[11];
        swprintf(code, sizeof code / sizeof code[0], L"0x%08X", static_cast<unsigned>(hr));
        error =
            L"DllGetClassObject of " + libraryPath + L" refused INdisFilterHelper2 (" + code + L")";
        return false;
    }
    m_helper = static_cast<INdisFilterHelper2 *>(object);
    return true;
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

std::wstring ResultLine(const Operation &operation, const Outcome &outcome) {
    std::wstring line = OperationName(operation);
    if (!outcome.ran) return line + L": failed; " + outcome.error;
    line += outcome.result ? L": succeeded; flags: " : L": failed; flags: ";
    std::wstring flags;
    const auto add = [&flags](BOOL set, const wchar_t *word) {
        if (!set) return;
        if (!flags.empty()) flags += L", ";
        flags += word;
    };
    add(outcome.restartRequired, L"restart required");
    add(outcome.cancelled, L"cancelled");
    add(outcome.timedOut, L"timed out");
    return line + (flags.empty() ? L"none" : flags);
}

std::vector<std::wstring> DescribeChanges(const MachineSnapshot &before,
                                          const MachineSnapshot &after) {
    std::vector<std::wstring> lines;
    const auto exact = [](const std::wstring &text) { return text; };
    if (before.componentsKnown && after.componentsKnown) {
        // Component ids are case-insensitive.
        for (const std::wstring &id : Missing(after.components, before.components, ToLower))
            lines.push_back(L"component " + id + L" added");
        for (const std::wstring &id : Missing(before.components, after.components, ToLower))
            lines.push_back(L"component " + id + L" removed");
    }
    for (const std::wstring &file : Missing(after.storeFiles, before.storeFiles, exact))
        lines.push_back(file + L" added");
    for (const std::wstring &file : Missing(before.storeFiles, after.storeFiles, exact))
        lines.push_back(file + L" deleted");
    return lines;
}

int RunCli(const std::vector<std::wstring> &args) {
    const ExitCodeTable &codes = PlatformExitCodes();
    const ParseResult parsed = ParseArguments(args, HasSimulatedMachine());
    if (!parsed.request) {
        WriteUsageError(parsed.error);
        return codes.CodeFor(ExitStatus::BadUsage);
    }
    const CliRequest &request = *parsed.request;
    if (request.action == Action::Help) {
        WriteText(Stream::Out, UsageText(codes, HasSimulatedMachine()));
        return codes.CodeFor(ExitStatus::Success);
    }
    if (request.action == Action::Version) {
        WriteText(Stream::Out, std::wstring(L"ndisfilterctl ") + kVersion + L"\n");
        return codes.CodeFor(ExitStatus::Success);
    }

    Operation operation;
    operation.action = request.action;
    operation.timeoutMs = request.timeoutMs;
    operation.retry = request.retry;
    const std::wstring libraryPath = request.libraryPath
                                         ? *request.libraryPath
                                         : JoinPath(ProgramDirectory(), LibraryFileName());

    Outcome outcome;
    MachineSnapshot before, after;
    std::wstring machineDescription;
    {
        // The library first: one that cannot be loaded leaves the machine
        // untouched.
        LoadedHelper helper;
        Machine machine;
        if (helper.Load(libraryPath, outcome.error) && machine.Open(request, outcome.error)) {
            operation.infPath = machine.InfPathForLibrary();
            if (request.verbose) before = machine.Snapshot();
            outcome = CallOperation(helper.Get(), operation);
            if (request.verbose) after = machine.Snapshot();
            machineDescription = machine.Description();
        }
    }

    WriteText(outcome.ran ? Stream::Out : Stream::Err, ResultLine(operation, outcome) + L"\n");
    if (request.verbose && outcome.ran) {
        std::wstring report = L"changes on " + machineDescription + L":\n";
        const std::vector<std::wstring> changes = DescribeChanges(before, after);
        if (changes.empty()) report += L"  none\n";
        for (const std::wstring &change : changes) report += L"  " + change + L"\n";
        WriteText(Stream::Out, report);
    }
    return codes.CodeFor(StatusOf(outcome));
}

}  // namespace ndisfilterctl
