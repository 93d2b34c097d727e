// Read-only network configuration query.
#include <windows.h>
#include <objbase.h>
#include <netcfgx.h>

#include "netcfg_query.h"

#include <cwchar>
#include <optional>

#include "tools/common/call_within.h"

namespace ndisfilter::tools {
namespace {

template <typename T>
void ReleaseAndClear(T *&object) {
    if (object) object->Release();
    object = nullptr;
}

}  // namespace

std::wstring HexCode(DWORD code) {
    wchar_t text[sizeof "0x12345678"];
    swprintf(text, sizeof text / sizeof text[0], L"0x%08X", static_cast<unsigned>(code));
    return text;
}

NetCfgQuery QueryNetCfg(const WCHAR *componentId) {
    NetCfgQuery query;
    const auto fail = [&query](const wchar_t *step, HRESULT hr) {
        query.failedStep = step;
        query.failure = hr;
    };

    // S_OK and S_FALSE both need a CoUninitialize; a thread already in
    // another apartment model (RPC_E_CHANGED_MODE) can still be used as it is.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
        fail(L"CoInitialize", init);
        return query;
    }

    INetCfg *netCfg = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                  reinterpret_cast<void **>(&netCfg));
    if (FAILED(hr) || !netCfg) {
        fail(L"CoCreateInstance", FAILED(hr) ? hr : E_POINTER);
        netCfg = nullptr;
    }

    if (netCfg) {
        INetCfgLock *lock = nullptr;
        hr = netCfg->QueryInterface(IID_INetCfgLock, reinterpret_cast<void **>(&lock));
        if (SUCCEEDED(hr) && lock) {
            LPWSTR holder = nullptr;
            hr = lock->IsWriteLocked(&holder);
            if (hr == S_OK) {
                query.lockHeld = true;
                if (holder) query.lockHolder = holder;
            } else if (hr == S_FALSE) {
                query.lockHeld = false;
            }
            if (holder) CoTaskMemFree(holder);
            ReleaseAndClear(lock);
        }

        hr = netCfg->Initialize(nullptr);
        if (FAILED(hr)) {
            fail(L"INetCfg::Initialize", hr);
        } else {
            INetCfgComponent *component = nullptr;
            hr = netCfg->FindComponent(componentId, &component);
            if (hr == S_OK && component)
                query.installed = true;
            else if (hr == S_FALSE)
                query.installed = false;
            else
                fail(L"INetCfg::FindComponent", FAILED(hr) ? hr : E_POINTER);
            ReleaseAndClear(component);
            netCfg->Uninitialize();
        }
        ReleaseAndClear(netCfg);
    }

    if (SUCCEEDED(init)) CoUninitialize();
    return query;
}

NetCfgQuery QueryNetCfgWithin(const WCHAR *componentId, DWORD timeoutMs) {
    return ReadWithin<NetCfgQuery>(
        [id = std::wstring(componentId)] { return QueryNetCfg(id.c_str()); }, timeoutMs);
}

std::wstring DescribeStepFailure(const std::wstring &failedStep, HRESULT failure, bool answered) {
    if (failedStep.empty() || !answered) return failedStep;
    return failedStep + L" failed (" + HexCode(static_cast<DWORD>(failure)) + L")";
}

std::wstring DescribeQueryFailure(const NetCfgQuery &query) {
    return DescribeStepFailure(query.failedStep, query.failure, query.answered);
}

}  // namespace ndisfilter::tools
