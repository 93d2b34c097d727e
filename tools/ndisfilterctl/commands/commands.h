// The commands. Each gathers its facts, acts, and returns its record
// (records.h); none writes output. Progress and the --log trace go through
// the context's events as things happen; the views render the finished
// record (views/).
//
// A new command: its record in records.h, a file here with its function,
// a text rendering (views/text_view.h) and a to_json (views/json_view.h)
// for the record, and a case in RunCli (cli_run.cpp).
#pragma once

#include "commands/context.h"
#include "records.h"
#include "report_record.h"

namespace ndisfilterctl {

// status: reads and changes nothing; the library is not loaded.
StatusRecord StatusCommand(CommandContext &context);
// install, uninstall: one library operation, and after a removal the clean-up.
OperationRecord OperationCommand(CommandContext &context);
// check: the pre-flight checks of the INF install would use; reads only.
CheckRecord CheckCommand(CommandContext &context);
// cleanup: every marked INF store copy removed (--dry-run: listed).
CleanupRecord CleanupCommand(CommandContext &context);
// report: the facts a support request needs, for one JSON document.
ReportRecord ReportCommand(CommandContext &context);

}  // namespace ndisfilterctl
