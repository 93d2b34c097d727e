// The facts read off a record's parts.
#include "records.h"

#include <set>
#include <wctype.h>

namespace ndisfilterctl {
namespace {

std::wstring ToLower(std::wstring text) {
    for (wchar_t &c : text) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
    return text;
}

}  // namespace

std::vector<std::wstring> MarkedNames(const store::InfStoreScan &scan) {
    std::vector<std::wstring> names;
    for (const store::InfStoreCopy &copy : scan.copies)
        if (copy.state == store::CopyState::Marked) names.push_back(copy.name);
    return names;
}

std::vector<std::wstring> RemovedNames(const store::CleanupReport &report) {
    std::vector<std::wstring> names;
    for (const store::CleanupResult &result : report.results)
        if (result.outcome == store::CleanupOutcome::Removed) names.push_back(result.copy.name);
    return names;
}

NameChanges CompareNames(const std::vector<std::wstring> &before,
                         const std::vector<std::wstring> &after, bool ignoreCase) {
    const auto key = [ignoreCase](const std::wstring &name) {
        return ignoreCase ? ToLower(name) : name;
    };
    const auto missing = [&key](const std::vector<std::wstring> &names,
                                const std::set<std::wstring> &keys) {
        std::vector<std::wstring> result;
        for (const std::wstring &name : names)
            if (keys.count(key(name)) == 0) result.push_back(name);
        return result;
    };
    std::set<std::wstring> beforeKeys, afterKeys;
    for (const std::wstring &name : before) beforeKeys.insert(key(name));
    for (const std::wstring &name : after) afterKeys.insert(key(name));
    return {missing(after, beforeKeys), missing(before, afterKeys)};
}

bool CleanupFailed(const OperationRecord &record) {
    return record.cleanup && !record.cleanup->Clean();
}

ExitStatus FailureStatus(const std::optional<Reason> &reason) {
    const bool lockHeld = reason && !reason->copiesRemain && !reason->refusal &&
                          reason->diagnosis.kind == diag::FailureKind::LockHeld;
    return lockHeld ? ExitStatus::LockHeld : ExitStatus::Failed;
}

}  // namespace ndisfilterctl
