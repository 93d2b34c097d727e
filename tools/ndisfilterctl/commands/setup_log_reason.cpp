// The setup log's failure joined to the reason the host's facts gave.
#include "commands/setup_log_reason.h"

namespace ndisfilterctl {

Reason WithSetupLog(Reason reason, const std::wstring &infPath, const diag::SetupLogTime &since,
                    const std::vector<std::wstring> &publishedNames, const std::wstring &logPath) {
    if (reason.copiesRemain || reason.diagnosis.kind != diag::FailureKind::Unknown) return reason;
    reason.setupLog = diag::SetupLogFailureSince(
        diag::OurSetupLogQuery(infPath, since, publishedNames), logPath);
    return reason;
}

}  // namespace ndisfilterctl
