#include "uninstall.h"

#include "com_ref.h"
#include "locked_netcfg.h"
#include "oem_inf_purge.h"

namespace ndisfilter {
namespace {

// Removes the component through its own class and applies. Holders are
// declared in acquisition order, so they are released in reverse.
BOOL RemoveComponent(INetCfg *config, BOOL *restartRequired) {
    ComRef<INetCfgComponent> component;
    HRESULT hr = config->FindComponent(kComponentId, component.Put());
    if (hr != S_OK || !component) return FALSE;  // S_FALSE: not installed

    GUID classGuid = {};
    hr = component->GetClassGuid(&classGuid);
    if (hr != S_OK) return FALSE;

    ComRef<INetCfgClass> netClass;
    hr = config->QueryNetCfgClass(&classGuid, IID_INetCfgClass, netClass.PutVoid());
    if (hr != S_OK) return FALSE;

    ComRef<INetCfgClassSetup> classSetup;
    hr = netClass->QueryInterface(IID_INetCfgClassSetup, classSetup.PutVoid());
    if (hr != S_OK) return FALSE;

    OBO_TOKEN token = UserOboToken();
    hr = classSetup->DeInstall(component.Get(), &token, nullptr);
    if (hr != S_OK && hr != NETCFG_S_REBOOT) return FALSE;

    // Only Apply's answer decides whether a restart is needed.
    hr = config->Apply();
    if (hr == NETCFG_S_REBOOT) *restartRequired = TRUE;
    return hr == S_OK || hr == NETCFG_S_REBOOT;
}

}  // namespace

BOOL Uninstall(BOOL *restartRequired) {
    if (!restartRequired) return FALSE;
    *restartRequired = FALSE;

    BOOL result = FALSE;
    {
        LPWSTR holderDescription = nullptr;
        LockedNetConfig config;
        const HRESULT hr = config.Open(&holderDescription);
        if (hr == S_OK)
            result = RemoveComponent(config.Get(), restartRequired);
        else
            FreeLockHolderDescription(hr, holderDescription);
    }
    PurgeOemInfCopies();
    return result;
}

}  // namespace ndisfilter
