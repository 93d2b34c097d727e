#include "locked_netcfg.h"

#include "com_ref.h"

namespace ndisfilter {

HRESULT OpenLockedNetConfig(INetCfg **config, LPWSTR *holderDescription) {
    *config = nullptr;
    *holderDescription = nullptr;

    HRESULT hr = CoInitialize(nullptr);
    if (hr != S_OK) {
        // S_FALSE: the runtime was already initialised on this thread. It
        // still counts, so balance it; the open fails all the same.
        if (hr == S_FALSE) CoUninitialize();
        return hr;
    }

    HRESULT result = E_UNEXPECTED;  // every path below assigns it
    {
        ComRef<INetCfg> netCfg;
        ComRef<INetCfgLock> lock;
        result = CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                  netCfg.PutVoid());
        if (result == S_OK) result = netCfg->QueryInterface(IID_INetCfgLock, lock.PutVoid());
        if (result == S_OK) {
            result = lock->AcquireWriteLock(kLockWaitMs, kLockClientDescription, holderDescription);
            if (result == S_FALSE) result = NETCFG_E_NO_WRITE_LOCK;
        }
        if (result == S_OK) {
            result = netCfg->Initialize(nullptr);
            if (result == S_OK) {
                netCfg->AddRef();
                *config = netCfg.Get();
            } else {
                lock->ReleaseWriteLock();
            }
        }
        // lock, then the creation reference, are released here.
    }
    if (result != S_OK) CoUninitialize();
    return result;
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
