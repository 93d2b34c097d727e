// Progress on standard error while a library call runs (cli_progress.h):
// after a quiet period, the elapsed time and the worst case.
#pragma once

#include <functional>

#include "records.h"

namespace ndisfilterctl {

// Runs `call` on a thread of its own, reporting unless `quiet`; returns when
// it has ended.
void RunShowingProgress(const Operation &operation, bool quiet, const std::function<void()> &call);

}  // namespace ndisfilterctl
