// The words the views share: an operation's name and worst case, the
// library's answer in one line, the --verbose changes, the reason.
#include <windows.h>

#include "views/text_view.h"

#include "ndisfilter/setup/product.h"

namespace ndisfilterctl {

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

std::wstring WorstCase(const Operation &operation) {
    if (operation.retry) {
        // A timed-out install is undone and tried again (three timed calls);
        // a timed-out uninstall is tried once more (two).
        const bool install = operation.action == Action::Install;
        const DWORD seconds = ndisfilter::kRetryTimeoutMs / 1000;
        return std::to_wstring((install ? 3 : 2) * seconds) + L" s, " +
               (install ? L"three" : L"two") + L" attempts of " + std::to_wstring(seconds) + L" s";
    }
    if (operation.timeoutMs && *operation.timeoutMs != INFINITE)
        return std::to_wstring(*operation.timeoutMs) + L" ms";
    return L"no time limit";
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
    if (before.componentsKnown && after.componentsKnown) {
        const NameChanges components = CompareNames(before.components, after.components, true);
        for (const std::wstring &id : components.added)
            lines.push_back(L"component " + id + L" added");
        for (const std::wstring &id : components.removed)
            lines.push_back(L"component " + id + L" removed");
    }
    const NameChanges files = CompareNames(before.storeFiles, after.storeFiles, false);
    for (const std::wstring &file : files.added) lines.push_back(file + L" added");
    for (const std::wstring &file : files.removed) lines.push_back(file + L" deleted");
    return lines;
}

namespace {

std::wstring RefusalText(const Refusal &refusal) {
    const std::wstring id = ndisfilter::kComponentId;
    switch (refusal.kind) {
        case Refusal::Kind::ComponentInstalled:
            return id + L" is installed: uninstall it first (--force removes the copies anyway)";
        case Refusal::Kind::ComponentStateUnknown:
            return L"whether " + id + L" is installed could not be read (" + refusal.whyUnknown +
                   L"): uninstall it first (--force removes the copies anyway)";
        case Refusal::Kind::EmulatedProgram:
            break;
    }
    return L"this " + refusal.program + L" program runs emulated on " + refusal.machine +
           L" Windows, where a driver built for " + refusal.program +
           L" cannot load: the driver package must be built for " + refusal.machine +
           L" and installed by the tools built for " + refusal.machine;
}

}  // namespace

const char *RefusalKindName(Refusal::Kind kind) {
    switch (kind) {
        case Refusal::Kind::ComponentInstalled:
            return "component-installed";
        case Refusal::Kind::ComponentStateUnknown:
            return "component-state-unknown";
        case Refusal::Kind::EmulatedProgram:
            break;
    }
    return "emulated-program";
}

std::wstring ReasonText(const Reason &reason) {
    if (reason.refusal) return RefusalText(*reason.refusal);
    if (reason.blockedBy) return reason.blockedBy->fact + L"; " + reason.blockedBy->advice;
    if (reason.setupLog) return reason.setupLog->reason;
    if (!reason.copiesRemain) return reason.diagnosis.text;
    const CopiesRemain &remain = *reason.copiesRemain;
    if (remain.unlisted) return store::DescribeListingError(*remain.unlisted);
    return L"marked INF copies remain in the INF store: " + JoinNames(remain.remaining);
}

const wchar_t *YesNoUnknown(const std::optional<bool> &value) {
    return !value ? L"unknown" : *value ? L"yes" : L"no";
}

std::wstring JoinNames(const std::vector<std::wstring> &names) {
    if (names.empty()) return L"none";
    std::wstring text;
    for (const std::wstring &name : names) text += (text.empty() ? L"" : L", ") + name;
    return text;
}

}  // namespace ndisfilterctl
