// Where a finished report goes: the file --out names (created whole, or
// not at all), or standard output.
#pragma once

#include "cli_options.h"
#include "report_record.h"
#include "views/log_trace.h"

namespace ndisfilterctl {

// Writes the report, says where on standard output (--out) or why not on
// standard error, and returns the exit code.
int FinishReport(ReportRecord record, LogTrace &trace);

}  // namespace ndisfilterctl
