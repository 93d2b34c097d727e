// Gathering the pre-flight facts: the readers both builds share (process,
// network configuration, INF store), then the platform's own
// (preflight_read_windows.cpp, or preflight_read_host.cpp on the simulated
// machine).
#include <windows.h>

#include "preflight.h"

#include "ndisfilter/setup/product.h"

namespace ndisfilter::tools {

PreflightFacts GatherPreflightFacts(const WCHAR *infPath) {
    PreflightFacts facts;
    facts.process = QueryProcessFacts();
    facts.nativeMachine = ReadNativeMachine();
    facts.osVersion = ReadOsVersion();

    if (!infPath) infPath = L"";  // no INF given: the checks say it does not exist
    facts.infPath = infPath;
    facts.inf = CheckInf(infPath);
    const std::wstring &machine =
        facts.nativeMachine.empty() ? facts.process.systemArchitecture : facts.nativeMachine;
    facts.package = facts.inf.state == InfCheck::State::Readable
                        ? ReadInfPackage(infPath, machine)
                        : Reading<InfPackage>::Unread(L"the INF cannot be opened");
    const std::wstring why =
        facts.package.value ? L"no catalog to verify" : facts.package.whyUnread;
    facts.catalogTrust = Reading<LONG>::Unread(why);
    facts.serviceMarkedForDeletion = Reading<bool>::Unread(why);
    if (facts.package.value) {
        const InfPackage &package = *facts.package.value;
        if (!package.catalogEntry.empty() && package.catalog.error == ERROR_SUCCESS)
            facts.catalogTrust = ReadCatalogTrust(package.catalog.path.c_str());
        if (!package.serviceName.empty())
            facts.serviceMarkedForDeletion =
                ReadServiceMarkedForDeletion(package.serviceName.c_str());
    }

    facts.pendingRestart = ReadPendingRestart();
    facts.policy = ReadDeviceInstallPolicy();
    // Only Windows 7 / Server 2008 R2 has the limit; elsewhere nothing is read.
    const std::wstring notRead = L"not read: no filter limit on this version";
    facts.maxFilters = Reading<DWORD>::Unread(notRead);
    facts.lightweightFilters = Reading<DWORD>::Unread(notRead);
    if (facts.osVersion.value && HasFilterLimit(*facts.osVersion.value)) {
        facts.maxFilters = ReadMaxNumFilters();
        facts.lightweightFilters = CountLightweightFilters();
    }

    facts.netcfg = QueryNetCfgWithin(ndisfilter::kComponentId, kNetCfgQueryTimeoutMs);
    facts.store = infstore::ScanInfStore();
    facts.remoteSession = ReadRemoteSession();
    return facts;
}

PreflightResult RunPreflight(const WCHAR *infPath) {
    return EvaluatePreflight(GatherPreflightFacts(infPath));
}

PreflightResult RunPreflightBeforeFiles(const WCHAR *serviceName) {
    PreflightFacts facts = GatherPreflightFacts(nullptr);
    facts.inf = InfCheck{};
    InfPackage package;
    package.serviceName = serviceName;
    facts.package = Reading<InfPackage>::Of(package);
    facts.serviceMarkedForDeletion = ReadServiceMarkedForDeletion(serviceName);
    PreflightResult result = EvaluatePreflight(facts);
    std::vector<Check> kept;
    for (Check &check : result.checks) {
        const std::string id = check.id;
        if (id != "inf-package" && id != "catalog-signature" && id != "elevation")
            kept.push_back(std::move(check));
    }
    return {kept, Summarize(kept)};
}

}  // namespace ndisfilter::tools
