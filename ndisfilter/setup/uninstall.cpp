#include "uninstall.h"

#include "com_ref.h"
#include "locked_netcfg.h"
#include "oem_inf_purge.h"
#include "operation_result.h"

namespace ndisfilter {
namespace {

// What a step's answer other than the one that lets removal go on means for
// the whole: its failure, or S_FALSE (not removed) for a success code, which
// must not read as removed.
HRESULT NotRemoved(HRESULT hr) { return FAILED(hr) ? hr : S_FALSE; }

// Removes the component through its own class and applies: S_OK, or
// NETCFG_S_REBOOT from Apply, when removed. Holders are declared in
// acquisition order, so they are released in reverse.
HRESULT RemoveComponent(INetCfg *config) {
    ComRef<INetCfgComponent> component;
    HRESULT hr = config->FindComponent(kComponentId, component.Put());
    if (hr != S_OK || !component) return NotRemoved(hr);  // S_FALSE: not installed

    GUID classGuid = {};
    hr = component->GetClassGuid(&classGuid);
    if (hr != S_OK) return NotRemoved(hr);

    ComRef<INetCfgClass> netClass;
    hr = config->QueryNetCfgClass(&classGuid, IID_INetCfgClass, netClass.PutVoid());
    if (hr != S_OK) return NotRemoved(hr);

    ComRef<INetCfgClassSetup> classSetup;
    hr = netClass->QueryInterface(IID_INetCfgClassSetup, classSetup.PutVoid());
    if (hr != S_OK) return NotRemoved(hr);

    OBO_TOKEN token = UserOboToken();
    hr = classSetup->DeInstall(component.Get(), &token, nullptr);
    if (hr != S_OK && hr != NETCFG_S_REBOOT) return NotRemoved(hr);

    // Only Apply's answer decides whether a restart is needed.
    hr = config->Apply();
    return hr == S_OK || hr == NETCFG_S_REBOOT ? hr : NotRemoved(hr);
}

}  // namespace

BOOL Uninstall(BOOL *restartRequired) {
    if (!restartRequired) return FALSE;
    *restartRequired = FALSE;

    BOOL result = FALSE;
    {
        LockedNetConfig config;
        HRESULT hr = config.Open();
        if (hr == S_OK) hr = RemoveComponent(config.Get());
        // The flags are the host's before the configuration closes.
        result = OperationResult(hr, restartRequired, nullptr);
    }
    PurgeOemInfCopies();
    return result;
}

}  // namespace ndisfilter
