// ndisfilterctl's flow: options (cli_options.h) → command (commands/) →
// record (records.h) → view (views/), and the exit code.
#pragma once

#include <string>
#include <vector>

#include "commands/library_call.h"
#include "records.h"
#include "views/text_view.h"

namespace ndisfilterctl {

// The whole program after argument conversion; returns the exit code.
int RunCli(const std::vector<std::wstring> &args);

}  // namespace ndisfilterctl
