// The JSON object of each command.
#include "views/json_view.h"

#include "ndisfilter/setup/product.h"
#include "tools/common/wide_text.h"
#include "views/text_view.h"

namespace ndisfilterctl {
namespace {

using ndisfilter::text::Narrow;

Json Text(const std::wstring &text) { return Narrow(text); }

template <typename T>
Json Maybe(const std::optional<T> &value) {
    return value ? Json(*value) : Json(nullptr);
}

Json MaybeText(const std::optional<std::wstring> &value) {
    return value ? Text(*value) : Json(nullptr);
}

// The store entries that are, or may be, ours: marked and unreadable copies.
Json CopiesJson(const store::InfStoreScan &scan) {
    Json copies = Json::array();
    for (const store::InfStoreCopy &copy : scan.copies) {
        const bool unreadable = copy.state == store::CopyState::Unreadable;
        if (copy.state != store::CopyState::Marked && !unreadable) continue;
        copies.push_back({{"name", Text(copy.name)},
                          {"path", Text(copy.path)},
                          {"state", Text(store::CopyStateName(copy.state))},
                          {"utf16", copy.utf16},
                          {"pnf", copy.pnfTwin},
                          {"error", unreadable ? Json(copy.readError) : Json(nullptr)}});
    }
    return copies;
}

Json NamesJson(const std::vector<std::wstring> &names) {
    Json list = Json::array();
    for (const std::wstring &name : names) list.push_back(Text(name));
    return list;
}

Json CleanupJson(const store::CleanupReport &report) {
    Json results = Json::array();
    for (const store::CleanupResult &result : report.results)
        results.push_back(
            {{"name", Text(result.copy.name)},
             {"outcome", Text(store::CleanupOutcomeName(result.outcome))},
             {"removed", result.outcome == store::CleanupOutcome::Removed},
             {"error", result.error != ERROR_SUCCESS ? Json(result.error) : Json(nullptr)},
             {"pnfRemains", result.pnfRemains}});
    return results;
}

Json ReasonJson(const std::optional<Reason> &reason) {
    if (!reason) return nullptr;
    Json json;
    json["kind"] = reason->refusal        ? std::string(RefusalKindName(reason->refusal->kind))
                   : reason->blockedBy    ? std::string("preflight-") + reason->blockedBy->id
                   : reason->copiesRemain ? "inf-copies-remain"
                                          : diag::FailureKindName(reason->diagnosis.kind);
    json["text"] = Text(ReasonText(*reason));
    if (reason->setupLog) {
        const diag::SetupLogSection &section = reason->setupLog->section;
        json["code"] = section.code ? Text(diag::HexCode(*section.code)) : Json(nullptr);
        const wchar_t *name = section.code ? diag::SetupLogCodeName(*section.code) : nullptr;
        json["codeName"] = name ? Text(name) : Json(nullptr);
        json["cause"] = Text(diag::SetupLogCauseId(section.cause));
        json["section"] = {{"title", Text(section.title)},
                           {"start", Text(diag::FormatSetupLogTime(section.start))},
                           {"exitStatus", Text(section.exitStatus)}};
    }
    return json;
}

// The checks, each with its verdict, and their summary.
Json PreflightJson(const diag::PreflightResult &result) {
    Json checks = Json::array();
    for (const diag::Check &check : result.checks) checks.push_back(CheckJson(check));
    const diag::PreflightSummary &s = result.summary;
    return {{"checks", checks},
            {"summary",
             {{"ok", s.ok},
              {"warnings", s.warnings},
              {"blocked", s.blocked},
              {"unread", s.unread},
              {"text", Text(diag::DescribeSummary(s))}}}};
}

// The fields every command's object has, in their order.
struct Header {
    const char *command = "";
    const char *outcome = "";
    Json flags;
    ComponentStates component;
    const StoreListing *infStore = nullptr;
    const LibraryFacts *library = nullptr;
};

Json Start(const Header &header, const RunEnd &end) {
    Json json;
    json["command"] = header.command;
    json["outcome"] = header.outcome;
    json["exitCode"] = end.exitCode;
    json["flags"] = header.flags;
    json["reason"] = ReasonJson(end.reason);
    json["error"] = MaybeText(end.error);
    json["component"] = {{"id", Text(ndisfilter::kComponentId)},
                         {"installedBefore", Maybe(header.component.before)},
                         {"installedAfter", Maybe(header.component.after)}};
    json["infStore"] = {{"before", Json::array()}, {"after", Json::array()}};
    if (header.infStore) {
        json["infStore"]["before"] = CopiesJson(header.infStore->before);
        json["infStore"]["after"] = CopiesJson(header.infStore->after);
        json["infStore"]["path"] = Text(header.infStore->before.store);
    }
    json["library"] = nullptr;
    if (header.library)
        json["library"] = {{"path", Text(header.library->path)},
                           {"found", header.library->found},
                           {"version", MaybeText(header.library->version)}};
    return json;
}

const char *OutcomeName(const OperationRecord &record) {
    switch (record.stage) {
        case OperationStage::RefusedUsage:
        case OperationStage::RefusedInf:
        case OperationStage::RefusedMachine:
        case OperationStage::RefusedByCheck:
            return "refused";
        case OperationStage::NotLoaded:
            return "failed";
        case OperationStage::NotInstalled:
            return CleanupFailed(record) ? "failed" : "not-installed";
        case OperationStage::Called:
            break;
    }
    return record.outcome.result && !CleanupFailed(record) ? "succeeded" : "failed";
}

}  // namespace

Json CheckJson(const diag::Check &check) {
    return {{"id", check.id},
            {"verdict", diag::VerdictName(check.verdict)},
            {"unread", check.unread},
            {"fact", Text(check.fact)},
            {"advice", check.advice.empty() ? Json(nullptr) : Text(check.advice)}};
}

void to_json(Json &json, const StatusRecord &record) {
    const StatusFacts *found = record.found ? &*record.found : nullptr;
    Header header{"status", "unknown", nullptr, {}, nullptr, &record.library};
    std::optional<StoreListing> listing;
    if (found) {
        const std::optional<bool> installed = found->query.installed;
        if (installed) header.outcome = *installed ? "installed" : "not-installed";
        header.component = {installed, installed};
        listing = StoreListing{found->store, found->store};
        header.infStore = &*listing;
    }
    json = Start(header, record.end);
    if (!found) return;
    const diag::NetCfgQuery &query = found->query;
    json["lock"] = {{"held", Maybe(query.lockHeld)},
                    {"holder", query.lockHeld == true ? Text(query.lockHolder) : Json(nullptr)}};
    json["process"] = {{"elevated", Maybe(found->process.elevated)},
                       {"wow64", Maybe(found->process.wow64)},
                       {"programArchitecture", Text(found->process.programArchitecture)},
                       {"systemArchitecture", Text(found->process.systemArchitecture)},
                       {"nativeArchitecture", Text(found->nativeMachine.empty()
                                                       ? found->process.systemArchitecture
                                                       : found->nativeMachine)}};
}

void to_json(Json &json, const OperationRecord &record) {
    Header header{record.operation.action == Action::Install ? "install" : "uninstall",
                  OutcomeName(record),
                  nullptr,
                  record.component,
                  record.infStore ? &*record.infStore : nullptr,
                  record.library ? &*record.library : nullptr};
    if (record.stage == OperationStage::Called)
        header.flags = {{"restartRequired", record.outcome.restartRequired != FALSE},
                        {"cancelled", record.outcome.cancelled != FALSE},
                        {"timedOut", record.outcome.timedOut != FALSE}};
    json = Start(header, record.end);
    json["operation"] = Text(OperationName(record.operation));
    if (record.inf) json["inf"] = Text(*record.inf);
    if (record.preflight) json["preflight"] = PreflightJson(*record.preflight);
    // The keys come in the order the run found their facts: an uninstall of
    // what is not there cleans up before it names what the library removed.
    if (record.cleanup && record.stage == OperationStage::NotInstalled)
        json["cleanup"] = CleanupJson(*record.cleanup);
    if (record.removedByLibrary) json["removedByLibrary"] = NamesJson(*record.removedByLibrary);
    if (record.cleanup) {
        json["cleanup"] = CleanupJson(*record.cleanup);
        json["removedByCleanup"] = NamesJson(RemovedNames(*record.cleanup));
    }
}

void to_json(Json &json, const CleanupRecord &record) {
    const char *outcome = record.refused                          ? "refused"
                          : record.end.exit == ExitStatus::Success ? "succeeded"
                                                                   : "failed";
    Header header{"cleanup", outcome, nullptr, record.component, nullptr, nullptr};
    std::optional<StoreListing> listing;
    if (record.report) {
        listing = StoreListing{record.report->before, record.report->after};
        header.infStore = &*listing;
    }
    json = Start(header, record.end);
    if (record.report) json["cleanup"] = CleanupJson(*record.report);
}

void to_json(Json &json, const CheckRecord &record) {
    const char *outcome = !record.result                               ? "failed"
                          : record.end.exit == ExitStatus::Success      ? "passed"
                          : record.end.exit == ExitStatus::RestartFirst ? "restart-first"
                                                                        : "blocked";
    json = Start(Header{"check", outcome, nullptr, {}, nullptr, nullptr}, record.end);
    json["inf"] = MaybeText(record.inf);
    if (!record.result) return;
    const Json preflight = PreflightJson(*record.result);
    json["checks"] = preflight["checks"];
    json["summary"] = preflight["summary"];
}

}  // namespace ndisfilterctl
