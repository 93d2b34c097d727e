// The text view: what a finished record prints for an operator. The result
// line, the reason line and the --verbose change list are made here only
// (the --log trace ends with the same result line).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records.h"

namespace ndisfilterctl {

// Text for standard output and standard error.
struct TextOutput {
    std::wstring out;
    std::wstring err;
};

TextOutput RenderText(const StatusRecord &record);
TextOutput RenderText(const OperationRecord &record);
TextOutput RenderText(const CleanupRecord &record);
TextOutput RenderText(const CheckRecord &record);

// "uninstall: succeeded; flags: none; INF copies removed by the library: ..."
std::wstring ResultLine(const OperationRecord &record);
// "cleanup: succeeded; 1 removed, 0 marked copies remain"
std::wstring ResultLine(const CleanupRecord &record);
// "check: 1 blocked, 2 warnings, 9 ok"
std::wstring ResultLine(const CheckRecord &record);

// --- The words the views share ----------------------------------------------------

// "install with retry", "uninstall with a 5000 ms limit"
std::wstring OperationName(const Operation &operation);
// The longest the operation may take: its limit, three attempts of the
// retry limit for --retry, or no limit.
std::wstring WorstCase(const Operation &operation);
// "install with retry: succeeded; flags: restart required"
std::wstring ResultLine(const Operation &operation, const Outcome &outcome);
// One line per difference between two snapshots.
std::vector<std::wstring> DescribeChanges(const MachineSnapshot &before,
                                          const MachineSnapshot &after);
// The reason in one line, without "reason: ".
std::wstring ReasonText(const Reason &reason);
// "component-installed", "component-state-unknown", "emulated-program"
const char *RefusalKindName(Refusal::Kind kind);
// "arm64 (x64 emulated)"; the system's architecture where nothing is emulated.
std::wstring OperatingSystemWords(const StatusFacts &found);
const wchar_t *YesNoUnknown(const std::optional<bool> &value);
// "oem1.inf, oem2.inf", or "none"
std::wstring JoinNames(const std::vector<std::wstring> &names);

}  // namespace ndisfilterctl
