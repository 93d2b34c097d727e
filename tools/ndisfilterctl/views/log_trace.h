// The --log trace: one timestamped line per event, written the moment the
// command reports it (cli_log.h), then the run's result line and its exit
// code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli_log.h"
#include "commands/events.h"
#include "records.h"

namespace ndisfilterctl {

class LogTrace final : public Events {
public:
    explicit LogTrace(std::optional<std::wstring> path) : m_log(std::move(path)) {}

    // The program's version and command line (args without the program).
    void Started(const std::vector<std::wstring> &args);
    // The result line of a run that has one.
    void Summary(const StatusRecord &record);
    void Summary(const OperationRecord &record);
    void Summary(const CleanupRecord &record);
    void Summary(const CheckRecord &record);
    void ExitCode(int code);

    void InfGiven(const std::wstring &shown) override;
    void LibraryFound(const LibraryFacts &library) override;
    void NetCfgUnanswered(const diag::NetCfgQuery &query) override;
    void Error(const std::wstring &error) override;
    void ReasonFound(const Reason &reason) override;
    void LibraryNotCalled() override;
    void Calling(const Operation &operation) override;
    void Returned(const Operation &operation, const Outcome &outcome) override;
    void CopyCleaned(const store::CleanupResult &result) override;

private:
    RunLog m_log;
};

}  // namespace ndisfilterctl
