// What every command works with: the request, the events it reports, and
// the facts more than one command gathers.
#pragma once

#include <optional>
#include <string>

#include "cli_options.h"
#include "commands/events.h"
#include "records.h"

namespace ndisfilterctl {

class CommandContext {
public:
    CommandContext(const CliRequest &request, Events &events)
        : m_request(&request), m_events(&events) {}

    const CliRequest &Request() const { return *m_request; }
    Events &Report() { return *m_events; }

    // A bounded read of the network configuration; once one went unanswered
    // the service is not asked again in this run.
    diag::NetCfgQuery QueryNetCfg();
    // The library the request names (or the one beside the program), looked
    // at without loading it.
    LibraryFacts FindLibrary();
    // The facts a failed call is explained by, gathered (reading only), and
    // the most specific reason chosen. infPath: the INF the library used.
    Reason Diagnose(Action action, const std::wstring &infPath);

    void SetError(RunEnd &end, const std::wstring &error);
    void SetReason(RunEnd &end, const Reason &reason);

private:
    const CliRequest *m_request;
    Events *m_events;
    std::optional<diag::NetCfgQuery> m_netCfgUnanswered;
};

// A clean-up that could not make sure that no marked copy remains: the
// listing that failed, or the copies left.
Reason CopiesRemainReason(const store::CleanupReport &report);

// What the pre-flight checks decide, as `check` exits and `install` refuses:
// Success when nothing blocks, RestartFirst (350) when only the service
// marked for deletion does, Failed (1603) when anything else does.
ExitStatus ExitOfChecks(const diag::PreflightSummary &summary);
// The first blocking check, as the reason an install is refused.
Reason BlockedReason(const diag::PreflightResult &result);

}  // namespace ndisfilterctl
