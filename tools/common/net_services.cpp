// Read-only listing of the network services.
#include <windows.h>
#include <objbase.h>
#include <netcfgx.h>
#include <devguid.h>

#include "net_services.h"

#include "tools/common/call_within.h"
#include "tools/common/netcfg_query.h"

namespace ndisfilter::tools {
namespace {

template <typename T>
struct Ref {  // one interface reference, released at the end of its scope
    T *p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
};

// A string the configuration allocated (CoTaskMemAlloc), freed here.
std::wstring TakeString(HRESULT hr, LPWSTR text) {
    std::wstring copy = SUCCEEDED(hr) && text ? text : L"";
    if (text) CoTaskMemFree(text);
    return copy;
}

NetService Describe(INetCfgComponent *component) {
    NetService service;
    LPWSTR text = nullptr;
    HRESULT hr = component->GetId(&text);
    service.id = TakeString(hr, text);
    text = nullptr;
    hr = component->GetDisplayName(&text);
    service.displayName = TakeString(hr, text);
    DWORD characteristics = 0;
    if (SUCCEEDED(component->GetCharacteristics(&characteristics)))
        service.characteristics = characteristics;
    return service;
}

void ListInto(INetCfg *netCfg, NetServiceListing &listing) {
    const auto fail = [&listing](const wchar_t *step, HRESULT hr) {
        listing.failedStep = step;
        listing.failure = hr;
    };
    Ref<IEnumNetCfgComponent> components;
    HRESULT hr = netCfg->EnumComponents(&GUID_DEVCLASS_NETSERVICE, &components.p);
    if (FAILED(hr) || !components.p)
        return fail(L"INetCfg::EnumComponents", FAILED(hr) ? hr : E_POINTER);
    for (;;) {
        Ref<INetCfgComponent> component;
        ULONG fetched = 0;
        hr = components.p->Next(1, &component.p, &fetched);
        if (FAILED(hr)) return fail(L"IEnumNetCfgComponent::Next", hr);
        if (hr != S_OK || fetched != 1 || !component.p) return;  // S_FALSE: no more
        if (listing.services.size() == kMaxNetServices) {
            listing.truncated = true;
            return;
        }
        listing.services.push_back(Describe(component.p));
    }
}

}  // namespace

NetServiceListing ListNetServices() {
    NetServiceListing listing;
    // As QueryNetCfg: S_OK and S_FALSE need a CoUninitialize; a thread in
    // another apartment model can be used as it is.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
        listing.failedStep = L"CoInitialize";
        listing.failure = init;
        return listing;
    }
    {
        Ref<INetCfg> netCfg;
        HRESULT hr = CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                      reinterpret_cast<void **>(&netCfg.p));
        if (FAILED(hr) || !netCfg.p) {
            listing.failedStep = L"CoCreateInstance";
            listing.failure = FAILED(hr) ? hr : E_POINTER;
            netCfg.p = nullptr;
        } else if (FAILED(hr = netCfg.p->Initialize(nullptr))) {
            listing.failedStep = L"INetCfg::Initialize";
            listing.failure = hr;
        } else {
            ListInto(netCfg.p, listing);
            netCfg.p->Uninitialize();
        }
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return listing;
}

NetServiceListing ListNetServicesWithin(DWORD timeoutMs) {
    return ReadWithin<NetServiceListing>(ListNetServices, timeoutMs);
}

std::wstring DescribeListingFailure(const NetServiceListing &listing) {
    return DescribeStepFailure(listing.failedStep, listing.failure, listing.answered);
}

}  // namespace ndisfilter::tools
