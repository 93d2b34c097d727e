#include "locked_netcfg.h"

#include "com_ref.h"
#include "scoped.h"

namespace ndisfilter {

HRESULT OpenLockedNetConfig(INetCfg **config, LPWSTR *holderDescription) {
    *config = nullptr;
    *holderDescription = nullptr;

    ComRuntimeScope runtime;
    // S_FALSE: the runtime was already initialised on this thread. It still
    // counts, and the scope balances it; the open fails all the same.
    if (runtime.Result() != S_OK) return runtime.Result();

    ComRef<INetCfg> netCfg;
    ComRef<INetCfgLock> lock;
    HRESULT hr = CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                  netCfg.PutVoid());
    if (hr == S_OK) hr = netCfg->QueryInterface(IID_INetCfgLock, lock.PutVoid());
    if (hr == S_OK) {
        hr = lock->AcquireWriteLock(kLockWaitMs, kLockClientDescription, holderDescription);
        if (hr == S_FALSE) hr = NETCFG_E_NO_WRITE_LOCK;
    }
    if (hr == S_OK) {
        hr = netCfg->Initialize(nullptr);
        if (hr == S_OK) {
            netCfg->AddRef();
            *config = netCfg.Get();
            runtime.HandOver();  // to CloseLockedNetConfig
        } else {
            lock->ReleaseWriteLock();
        }
    }
    // lock, then the creation reference, then the runtime go here.
    return hr;
}

HRESULT CloseLockedNetConfig(INetCfg *config) {
    HRESULT hr = config->Uninitialize();
    if (hr == S_OK) {
        ComRef<INetCfgLock> lock;
        hr = config->QueryInterface(IID_INetCfgLock, lock.PutVoid());
        if (hr == S_OK) hr = lock->ReleaseWriteLock();
    }
    config->Release();
    CoUninitialize();
    return hr;
}

void FreeLockHolderDescription(HRESULT openResult, LPWSTR holderDescription) {
    if (openResult == NETCFG_E_NO_WRITE_LOCK && holderDescription) CoTaskMemFree(holderDescription);
}

}  // namespace ndisfilter
