// The platform's pre-flight readers on the simulated machine, which has no
// registry, INF parser, trust provider or sessions: each says so, and its
// check is a "could not be read" warning. The machine's architecture is
// GetNativeSystemInfo's answer.
#include <windows.h>

#include "preflight.h"

namespace ndisfilter::tools {
namespace {

template <typename T>
Reading<T> NotSimulated() {
    return Reading<T>::Unread(L"not on the simulated machine");
}

}  // namespace

std::wstring ReadNativeMachine() { return QueryProcessFacts().systemArchitecture; }
Reading<OsVersion> ReadOsVersion() { return NotSimulated<OsVersion>(); }
Reading<InfPackage> ReadInfPackage(const WCHAR *, const std::wstring &) {
    return NotSimulated<InfPackage>();
}
Reading<LONG> ReadCatalogTrust(const WCHAR *) { return NotSimulated<LONG>(); }
Reading<bool> ReadServiceMarkedForDeletion(const WCHAR *) { return NotSimulated<bool>(); }
PendingRestart ReadPendingRestart() {
    return {NotSimulated<bool>(), NotSimulated<bool>(), NotSimulated<bool>()};
}
Reading<DeviceInstallPolicy> ReadDeviceInstallPolicy() {
    return NotSimulated<DeviceInstallPolicy>();
}
Reading<DWORD> ReadMaxNumFilters() { return NotSimulated<DWORD>(); }
Reading<DWORD> CountLightweightFilters() { return NotSimulated<DWORD>(); }
Reading<bool> ReadRemoteSession() { return NotSimulated<bool>(); }

}  // namespace ndisfilter::tools
