#include "uninstall.h"

#include "com_ref.h"
#include "locked_netcfg.h"
#include "oem_inf_purge.h"
#include "operation_result.h"

namespace ndisfilter {
namespace {

// What a step's answer other than the one that lets removal go on means for
// the whole: its failure, or E_UNEXPECTED for a success code, which must read
// neither as removed nor as "not installed" (S_FALSE, which lets the purge
// run): the component may still be there.
HRESULT NotRemoved(HRESULT hr) { return FAILED(hr) ? hr : E_UNEXPECTED; }

// Removes the component through its own class and applies: S_OK, or
// NETCFG_S_REBOOT when removal or Apply asked for a restart, when removed;
// S_FALSE when it is not installed; anything else when it may still be.
// Holders are declared in acquisition order, so they are released in reverse.
HRESULT RemoveComponent(INetCfg *config) {
    ComRef<INetCfgComponent> component;
    HRESULT hr = config->FindComponent(kComponentId, component.Put());
    if (hr == S_FALSE) return S_FALSE;  // not installed
    if (hr != S_OK || !component) return NotRemoved(hr);

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
    const HRESULT removal = classSetup->DeInstall(component.Get(), &token, nullptr);
    if (removal != S_OK && removal != NETCFG_S_REBOOT) return NotRemoved(removal);

    hr = AfterStep(removal, config->Apply());
    return hr == S_OK || hr == NETCFG_S_REBOOT ? hr : NotRemoved(hr);
}

}  // namespace

BOOL Uninstall(BOOL *restartRequired) {
    if (!restartRequired) return FALSE;
    *restartRequired = FALSE;

    BOOL result = FALSE;
    bool notInstalled = false;
    {
        LockedNetConfig config;
        HRESULT hr = config.Open();  // S_FALSE here is a failed open, not an absence
        if (hr == S_OK) {
            hr = RemoveComponent(config.Get());
            notInstalled = hr == S_FALSE;
        }
        // The flags are the host's before the configuration closes.
        result = OperationResult(hr, restartRequired, nullptr);
    }
    // The INF copy goes only with the component: after a committed removal
    // (whatever closing the configuration then answers), or when the
    // configuration said it is not installed. Not when the configuration
    // could not be opened (the write lock held past kLockWaitMs, the runtime
    // or Initialize failing) nor when finding, removing or applying failed:
    // the component may still be installed, and its later removal needs the INF.
    if (result || notInstalled) PurgeOemInfCopies();
    return result;
}

}  // namespace ndisfilter
