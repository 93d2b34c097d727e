// The report's JSON: each source in its own key, every value read with the
// reason it could not be where it was not.
#include "views/report_view.h"

#include "tools/common/wide_text.h"

namespace ndisfilterctl {
namespace {

using ndisfilter::text::Narrow;

Json Text(const std::wstring &text) { return Narrow(text); }

// {"value": ..., "error": ...}: one of the two is null.
template <typename T, typename Render>
Json ReadingJson(const diag::Reading<T> &reading, Render render) {
    return {{"value", reading.value ? render(*reading.value) : Json(nullptr)},
            {"error", reading.value ? Json(nullptr) : Text(reading.whyUnread)}};
}
const auto kSame = [](const auto &value) { return Json(value); };

Json ChecksJson(const diag::PreflightResult &result) {
    Json checks = Json::array();
    for (const diag::Check &check : result.checks) checks.push_back(CheckJson(check));
    const diag::PreflightSummary &summary = result.summary;
    return {{"checks", checks},
            {"summary", Text(diag::DescribeSummary(summary))},
            {"exitCode", summary.exitCode}};
}

Json SystemJson(const ReportRecord &record) {
    const diag::PreflightFacts &facts = record.facts;
    return {{"version", ReadingJson(facts.osVersion,
                                    [](const diag::OsVersion &v) {
                                        return Json{{"major", v.major},
                                                    {"minor", v.minor},
                                                    {"build", v.build}};
                                    })},
            {"nativeMachine", Text(facts.nativeMachine)}};
}

Json ValuesJson(const ReportRecord &record) {
    const diag::PreflightFacts &facts = record.facts;
    const auto policy = [](const diag::DeviceInstallPolicy &p) {
        return Json{{"denyDeviceClasses", p.denyClasses},
                    {"netServiceDenied", p.netServiceDenied},
                    {"denyUnspecified", p.denyUnspecified},
                    {"netServiceAllowed", p.netServiceAllowed},
                    {"allowAdminInstall", p.allowAdminInstall}};
    };
    const diag::PendingRestart &pending = facts.pendingRestart;
    return {{"deviceInstallPolicy", ReadingJson(facts.policy, policy)},
            {"pendingRestart",
             {{"pendingFileRenames", ReadingJson(pending.fileRenames, kSame)},
              {"servicingRebootPending", ReadingJson(pending.servicing, kSame)},
              {"updateRebootRequired", ReadingJson(pending.update, kSame)}}},
            {"filterLimit",
             {{"appliesToThisSystem",
               facts.osVersion.value ? Json(diag::HasFilterLimit(*facts.osVersion.value))
                                     : Json(nullptr)},
              {"maxNumFilters", ReadingJson(record.maxNumFilters, kSame)},
              {"lightweightFilters", ReadingJson(record.lightweightFilters, kSame)}}}};
}

Json ServicesJson(const diag::NetServiceListing &listing) {
    Json services = Json::array();
    for (const diag::NetService &service : listing.services)
        services.push_back({{"id", Text(service.id)},
                            {"displayName", Text(service.displayName)},
                            {"characteristics", service.characteristics
                                                    ? Text(diag::HexCode(*service.characteristics))
                                                    : Json(nullptr)}});
    const std::wstring failure = diag::DescribeListingFailure(listing);
    return {{"services", services},
            {"truncated", listing.truncated},
            {"error", failure.empty() ? Json(nullptr) : Text(failure)}};
}

Json StoreJson(const store::InfStoreScan &scan) {
    Json copies = Json::array();
    for (const store::InfStoreCopy &copy : scan.copies)
        copies.push_back({{"name", Text(copy.name)},
                          {"state", Text(store::CopyStateName(copy.state))},
                          {"pnf", copy.pnfTwin},
                          {"error", copy.readError ? Json(copy.readError) : Json(nullptr)}});
    return {{"path", Text(scan.store)},
            {"error", scan.error ? Json(scan.error) : Json(nullptr)},
            {"copies", copies}};
}

Json SectionJson(const diag::SetupLogSection &section) {
    Json lines = Json::array(), errors = Json::array();
    for (const std::wstring &line : section.lines) lines.push_back(Text(line));
    for (const std::wstring &line : section.errorLines) errors.push_back(Text(line));
    return {{"title", Text(section.title)},
            {"start", Text(diag::FormatSetupLogTime(section.start))},
            {"end", section.end ? Text(diag::FormatSetupLogTime(*section.end)) : Json(nullptr)},
            {"exitStatus", Text(section.exitStatus)},
            {"failed", section.failed},
            {"code", section.code ? Text(diag::HexCode(*section.code)) : Json(nullptr)},
            {"cause", Text(diag::SetupLogCauseId(section.cause))},
            {"errorLines", errors},
            {"lines", lines},
            {"linesLeftOut", section.linesLeftOut}};
}

Json SetupLogJson(const ReportRecord &record) {
    Json sections = Json::array();
    if (record.setupLog)
        for (const diag::SetupLogSection &section : *record.setupLog)
            sections.push_back(SectionJson(section));
    return {{"path", Text(record.setupLogPath)},
            {"readable", record.setupLog.has_value()},
            {"sections", sections}};
}

Json IncludedLogsJson(const std::vector<IncludedLog> &logs) {
    Json list = Json::array();
    for (const IncludedLog &log : logs)
        list.push_back({{"path", Text(log.path)},
                        {"error", log.error.empty() ? Json(nullptr) : Text(log.error)},
                        {"encoding", log.error.empty() ? Json(log.encoding) : Json(nullptr)},
                        {"truncated", log.truncated},
                        {"text", log.error.empty() ? Json(log.text) : Json(nullptr)}});
    return list;
}

}  // namespace

void to_json(Json &json, const ReportRecord &record) {
    json["report"] = "ndisfilterctl support report";
    json["format"] = 1;
    json["created"] = Text(record.created);
    json["program"] = {{"name", "ndisfilterctl"}, {"version", Text(record.programVersion)}};
    json["system"] = SystemJson(record);
    json["status"] = Json(record.status);
    json["inf"] = Text(record.infPath);
    json["checks"] = ChecksJson(record.checks);
    json["values"] = ValuesJson(record);
    json["networkServices"] = ServicesJson(record.services);
    json["infStore"] = StoreJson(record.facts.store);
    json["setupLog"] = SetupLogJson(record);
    json["includedLogs"] = IncludedLogsJson(record.includedLogs);
}

}  // namespace ndisfilterctl
