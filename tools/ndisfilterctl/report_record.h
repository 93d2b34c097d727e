// What `report` gathers for a support request: a plain value, filled in by
// commands/report.cpp and rendered by views/report_view.cpp as one JSON
// document (docs/ndisfilterctl.md, "report").
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records.h"
#include "tools/common/net_services.h"
#include "tools/common/preflight.h"
#include "tools/common/setupapi_log.h"

namespace ndisfilterctl {

// The end of a log file the operator named (--include-log), as text.
struct IncludedLog {
    std::wstring path;   // as given
    std::wstring error;  // why it could not be read; empty when read
    std::string text{};  // UTF-8: its last kIncludedLogMaxBytes, from a whole line
    const char *encoding = "utf-8";  // "utf-8", or "utf-16le" (msiexec's logs)
    bool truncated = false;          // the file is longer than what is kept
};

// Bounds: a log's last 512 KiB, at most eight logs, the setup log's last
// five sections of ours.
constexpr size_t kIncludedLogMaxBytes = 512u << 10;
constexpr size_t kMaxIncludedLogs = 8;
constexpr size_t kReportSetupLogSections = 5;

struct ReportRecord {
    RunEnd end;
    std::wstring programVersion;
    std::wstring created;  // local time, the setup log's form
    StatusRecord status;
    std::wstring infPath;             // the INF the checks looked at
    diag::PreflightFacts facts;       // also the OS, policy, pending-restart values
    diag::PreflightResult checks;     // EvaluatePreflight(facts)
    diag::Reading<DWORD> maxNumFilters;       // read on every version
    diag::Reading<DWORD> lightweightFilters;  // likewise
    diag::NetServiceListing services;
    std::wstring setupLogPath;
    std::optional<std::vector<diag::SetupLogSection>> setupLog;  // absent: not readable
    std::vector<IncludedLog> includedLogs;
    std::optional<std::wstring> outPath;  // --out, absolute
};

}  // namespace ndisfilterctl
