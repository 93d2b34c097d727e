// Every network service the network configuration knows (ours and other
// vendors' filters), read without its write lock and without changing
// anything. Print-free; for ndisfilterctl's report.
//
// The INF each came from is not listed: no documented call of the network
// configuration interfaces answers it (INetCfgComponent::OpenParamKey opens
// a parameters key whose contents are the component's own), and the
// registry's class keys are not a documented interface.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace ndisfilter::tools {

struct NetService {
    std::wstring id;                       // INetCfgComponent::GetId; empty if it failed
    std::wstring displayName;              // GetDisplayName; empty if it failed
    std::optional<DWORD> characteristics;  // GetCharacteristics (NCF_* bits)
};

struct NetServiceListing {
    std::vector<NetService> services;  // in the configuration's order
    bool truncated = false;            // more than kMaxNetServices
    // The first step that failed and its HRESULT, as NetCfgQuery has them;
    // the services read before it stay listed.
    std::wstring failedStep;
    HRESULT failure = S_OK;
    bool answered = true;  // false: no answer in time
};

constexpr size_t kMaxNetServices = 256;

// Creates the configuration object, Initialize (no write lock), then
// EnumComponents(&GUID_DEVCLASS_NETSERVICE) and each component's id,
// display name and characteristics; releases everything. Initialises the
// component runtime for the call if the thread has not.
NetServiceListing ListNetServices();

// The same on a thread of its own, waited for up to `timeoutMs` (a hung
// configuration gives an unanswered listing, as QueryNetCfgWithin does).
NetServiceListing ListNetServicesWithin(DWORD timeoutMs);

// "INetCfg::EnumComponents failed (0x80004001)", "no answer within 5000 ms";
// empty when every step worked.
std::wstring DescribeListingFailure(const NetServiceListing &listing);

}  // namespace ndisfilter::tools
