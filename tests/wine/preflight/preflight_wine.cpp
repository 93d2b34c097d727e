// The pre-flight readers (tools/common/preflight.h) under Wine: prints what
// each reader answers, one "name: answer" line each, then the checks as
// EvaluatePreflight makes them from those facts. tests/wine/preflight.sh sets
// the registry values and the package files, runs this, and compares lines.
// Usage: ndisfilter_preflight_wine.exe <INF path>
#include <windows.h>

#include <stdio.h>

#include <string>

#include "tools/common/preflight.h"
#include "tools/common/wide_text.h"

using namespace ndisfilter::tools;

namespace {

std::string N(const std::wstring &text) { return ndisfilter::text::Narrow(text); }

template <typename T, typename F>
void Print(const char *name, const Reading<T> &reading, F show) {
    if (reading.value)
        printf("%s: %s\n", name, show(*reading.value).c_str());
    else
        printf("%s: unread: %s\n", name, N(reading.whyUnread).c_str());
}

std::string Flag(bool value) { return value ? "yes" : "no"; }

std::string File(const PackageFile &file) {
    return N(file.path) + " (" + std::to_string(file.error) + ")";
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: ndisfilter_preflight_wine.exe <INF path>\n");
        return 2;
    }
    const PreflightFacts facts = GatherPreflightFacts(argv[1]);
    printf("native-machine: %s\n", N(ReadNativeMachine()).c_str());
    Print("os-version", ReadOsVersion(), [](const OsVersion &v) {
        return std::to_string(v.major) + "." + std::to_string(v.minor);
    });
    Print("inf-package", facts.package, [](const InfPackage &p) {
        std::string text =
            "catalog " + (p.catalogEntry.empty() ? std::string("none")
                                                 : N(p.catalogEntry) + " " + File(p.catalog));
        for (const PackageFile &file : p.listedFiles) text += "; file " + File(file);
        return text + "; service " +
               (p.serviceName.empty() ? std::string("none") : N(p.serviceName));
    });
    const auto hex = [](LONG status) { return N(HexCode(static_cast<DWORD>(status))); };
    Print("catalog-trust", facts.catalogTrust, hex);
    Print("service-deletion", facts.serviceMarkedForDeletion, Flag);
    Print("pending-renames", facts.pendingRestart.fileRenames, Flag);
    Print("pending-servicing", facts.pendingRestart.servicing, Flag);
    Print("pending-update", facts.pendingRestart.update, Flag);
    Print("policy", facts.policy, [](const DeviceInstallPolicy &p) {
        return "deny-classes " + Flag(p.denyClasses) + ", netservice denied " +
               Flag(p.netServiceDenied) + ", deny-unspecified " + Flag(p.denyUnspecified) +
               ", netservice allowed " + Flag(p.netServiceAllowed) + ", admin-install " +
               Flag(p.allowAdminInstall);
    });
    const auto number = [](DWORD value) { return std::to_string(value); };
    // The filter limit's readers are called whatever the version says.
    Print("max-filters", ReadMaxNumFilters(), number);
    Print("lw-filters", CountLightweightFilters(), number);
    Print("remote-session", facts.remoteSession, Flag);

    const PreflightResult result = EvaluatePreflight(facts);
    for (const Check &check : result.checks)
        printf("check %s: %s%s: %s\n", check.id, VerdictName(check.verdict),
               check.unread ? " (unread)" : "", N(check.fact).c_str());
    printf("summary: %s; exit %d\n", N(DescribeSummary(result.summary)).c_str(),
           result.summary.exitCode);
    return 0;
}
