// The lines of the --log trace.
#include "views/log_trace.h"

#include "ndisfilter/setup/product.h"
#include "views/text_view.h"

namespace ndisfilterctl {
namespace {

constexpr const wchar_t *kVersion = L"" NDISFILTERCTL_VERSION;

const wchar_t *YesNo(BOOL value) { return value ? L"yes" : L"no"; }

}  // namespace

void LogTrace::Started(const std::vector<std::wstring> &args) {
    std::wstring commandLine = L"ndisfilterctl";
    for (const std::wstring &arg : args) commandLine += L" " + arg;
    m_log.Line(std::wstring(L"ndisfilterctl ") + kVersion + L" started");
    m_log.Line(L"command line: " + commandLine);
}

void LogTrace::Summary(const StatusRecord &record) {
    if (record.found)
        m_log.Line(L"status: installed " +
                   std::wstring(YesNoUnknown(record.found->query.installed)));
}

void LogTrace::Summary(const OperationRecord &record) {
    if (record.stage != OperationStage::RefusedUsage && record.stage != OperationStage::RefusedInf &&
        record.stage != OperationStage::RefusedMachine &&
        record.stage != OperationStage::RefusedByCheck)
        m_log.Line(ResultLine(record));
}

void LogTrace::Summary(const CleanupRecord &record) {
    if (record.report) m_log.Line(ResultLine(record));
}

void LogTrace::Summary(const CheckRecord &record) {
    if (!record.result) return;
    for (const diag::Check &check : record.result->checks)
        m_log.Line(L"check: " + diag::DescribeCheck(check));
    m_log.Line(ResultLine(record));
}

void LogTrace::ExitCode(int code) { m_log.Line(L"exit code " + std::to_wstring(code)); }

void LogTrace::InfGiven(const std::wstring &shown) { m_log.Line(L"INF: " + shown); }

void LogTrace::LibraryFound(const LibraryFacts &library) {
    m_log.Line(L"library: " + library.path + (library.found ? L"" : L" (not found)") +
               (library.version ? L", version " + *library.version : std::wstring()));
}

void LogTrace::NetCfgUnanswered(const diag::NetCfgQuery &query) {
    m_log.Line(L"the network configuration did not answer: " + query.failedStep);
}

void LogTrace::Error(const std::wstring &error) { m_log.Line(L"error: " + error); }

void LogTrace::ReasonFound(const Reason &reason) { m_log.Line(L"reason: " + ReasonText(reason)); }

void LogTrace::LibraryNotCalled() {
    m_log.Line(std::wstring(ndisfilter::kComponentId) +
               L" is not installed: the library is not called");
}

void LogTrace::Calling(const Operation &operation) {
    m_log.Line(L"calling " + OperationName(operation));
}

void LogTrace::Returned(const Operation &operation, const Outcome &outcome) {
    m_log.Line(OperationName(operation) + L" returned " + (outcome.result ? L"TRUE" : L"FALSE") +
               L"; restart required " + YesNo(outcome.restartRequired) + L", cancelled " +
               YesNo(outcome.cancelled) + L", timed out " + YesNo(outcome.timedOut));
}

void LogTrace::CopyCleaned(const store::CleanupResult &result) {
    m_log.Line(L"clean-up: " + store::DescribeCleanupResult(result));
}

}  // namespace ndisfilterctl
