// The facts read off a record's parts.
#include "records.h"

#include <algorithm>
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

std::vector<std::wstring> MissingNames(const std::vector<std::wstring> &of,
                                       const std::vector<std::wstring> &in, bool ignoreCase) {
    const auto key = [ignoreCase](const std::wstring &text) {
        return ignoreCase ? ToLower(text) : text;
    };
    std::vector<std::wstring> missing;
    for (const std::wstring &item : of) {
        const bool present = std::any_of(in.begin(), in.end(), [&](const std::wstring &other) {
            return key(other) == key(item);
        });
        if (!present) missing.push_back(item);
    }
    return missing;
}

bool CleanupFailed(const OperationRecord &record) {
    return record.cleanup && !record.cleanup->Clean();
}

}  // namespace ndisfilterctl
