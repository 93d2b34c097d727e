// The product's constants: the one place each is defined. Used by the library
// and by the hosts that ship with it (ndisfilterctl, the custom actions).
#pragma once

#include <stddef.h>

#include <windows.h>

namespace ndisfilter {

// The network service component, as its INF names it.
constexpr const WCHAR *kComponentId = L"ZQ_DorvaneV";
// The INF file name; the default INF path is the host executable's directory
// followed by this suffix.
constexpr const WCHAR *kInfFileName = L"DorvaneV.inf";
constexpr const WCHAR *kDefaultInfPathSuffix = L"\\DorvaneV.inf";
// Text in the head of an INF store copy that marks it as ours.
constexpr const char *kInfMarker = "DorvaneV.INF";
// Bytes of an INF store copy read for the marker (the last is a terminator).
constexpr size_t kInfHeadSize = 256;
// INF store copies oem0.inf .. oem<kOemInfScanLimit - 1>.inf are scanned by
// the library's purge.
constexpr int kOemInfScanLimit = 50;
// The network configuration write lock: who we say we are, how long we wait.
constexpr const WCHAR *kLockClientDescription = L"DorvaneInstall";
constexpr DWORD kLockWaitMs = 5000;
// The driver's service, as the INF's AddService names it: an installer reads
// its DeleteFlag before the INF is on the machine.
constexpr const WCHAR *kServiceName = L"DorvaneV";
// The time limit of one attempt of the retrying operations.
constexpr DWORD kRetryTimeoutMs = 120000;

}  // namespace ndisfilter
