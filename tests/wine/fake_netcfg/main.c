/*
 * Test-only network configuration server: module entry points and the
 * class factory for CLSID_CNetCfg.
 */
#define CONST_VTABLE
#include <initguid.h>
#include "fake_netcfg.h"

static HRESULT WINAPI factory_QueryInterface(IClassFactory *iface, REFIID riid, void **out) {
    if (!out) return E_POINTER;
    if (IsEqualGUID(riid, &IID_IUnknown) || IsEqualGUID(riid, &IID_IClassFactory)) {
        *out = iface;
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

/* One static factory: its count does not matter. */
static ULONG WINAPI factory_AddRef(IClassFactory *iface) { return 2; }
static ULONG WINAPI factory_Release(IClassFactory *iface) { return 1; }

static HRESULT WINAPI factory_CreateInstance(IClassFactory *iface, IUnknown *outer, REFIID riid,
                                             void **out) {
    struct fake_answer answer;
    char name[64];

    answer = fake_begin_call(CALL_CREATE_INSTANCE, "outer=%p iid=%s", outer,
                             fake_guid_name(riid, name, sizeof(name)));
    if (!out) return E_POINTER;
    *out = NULL;
    if (answer.scripted && answer.hr != S_OK) return answer.hr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return fake_netcfg_create(riid, out);
}

static HRESULT WINAPI factory_LockServer(IClassFactory *iface, BOOL lock) { return S_OK; }

static const IClassFactoryVtbl factory_vtbl = {
    factory_QueryInterface, factory_AddRef,     factory_Release,
    factory_CreateInstance, factory_LockServer,
};

static IClassFactory factory = {&factory_vtbl};

HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **out) {
    if (!IsEqualGUID(rclsid, &CLSID_CNetCfg)) {
        if (out) *out = NULL;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory_QueryInterface(&factory, riid, out);
}

/* Stay loaded: objects of terminated workers are abandoned, never freed. */
HRESULT WINAPI DllCanUnloadNow(void) { return S_FALSE; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        fake_state_init();
    }
    return TRUE;
}
