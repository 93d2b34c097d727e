// The platform's own code after a failed install or removal: the newest
// setup log section about our INF or component that began after the run
// started (tools/common/setupapi_log.h). It explains only what the facts the
// host sees left unknown; a specific fact (not elevated, lock held, ...)
// stays the reason.
#pragma once

#include <string>

#include "records.h"
#include "tools/common/setupapi_log.h"

namespace ndisfilterctl {

// `reason` with the log's failure added when its kind is Unknown and the log
// holds a failed section of ours begun at or after `since`; unchanged when
// the log cannot be read or holds none. infPath: the INF the library used;
// publishedNames: the store's copies of ours, which sections about an
// installed package name instead of it.
Reason WithSetupLog(Reason reason, const std::wstring &infPath, const diag::SetupLogTime &since,
                    const std::vector<std::wstring> &publishedNames,
                    const std::wstring &logPath = diag::SetupLogPath());

}  // namespace ndisfilterctl
