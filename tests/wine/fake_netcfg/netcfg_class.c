/*
 * Test-only network configuration server: the network service class
 * (INetCfgClass and INetCfgClassSetup on one object) and its components.
 */
#include "fake_netcfg.h"

#include <stdio.h>

struct netcfg_class {
    INetCfgClass INetCfgClass_iface;
    INetCfgClassSetup INetCfgClassSetup_iface;
    LONG ref;
    int number;
    INetCfg *netcfg; /* a reference, released with the class */
};

struct component {
    INetCfgComponent INetCfgComponent_iface;
    LONG ref;
    int number;
    WCHAR id[64];
    WCHAR display_name[128];
    DWORD characteristics;
};

static inline struct netcfg_class *impl_from_INetCfgClass(INetCfgClass *iface) {
    return CONTAINING_RECORD(iface, struct netcfg_class, INetCfgClass_iface);
}

static inline struct netcfg_class *impl_from_INetCfgClassSetup(INetCfgClassSetup *iface) {
    return CONTAINING_RECORD(iface, struct netcfg_class, INetCfgClassSetup_iface);
}

static inline struct component *impl_from_INetCfgComponent(INetCfgComponent *iface) {
    return CONTAINING_RECORD(iface, struct component, INetCfgComponent_iface);
}

static void check_class_alive(struct netcfg_class *class, const char *call) {
    if (class->ref <= 0)
        fake_log("! %s on INetCfgClass#%d after its last Release", call, class->number);
}

/* QueryInterface without the log, for the server's own use. */
static HRESULT query_class(struct netcfg_class *class, REFIID riid, void **out) {
    if (!out) return E_POINTER;
    *out = NULL;
    if (IsEqualGUID(riid, &IID_IUnknown) || IsEqualGUID(riid, &IID_INetCfgClass))
        *out = &class->INetCfgClass_iface;
    else if (IsEqualGUID(riid, &IID_INetCfgClassSetup))
        *out = &class->INetCfgClassSetup_iface;
    else
        return E_NOINTERFACE;
    IUnknown_AddRef((IUnknown *)*out);
    return S_OK;
}

static HRESULT WINAPI class_QueryInterface(INetCfgClass *iface, REFIID riid, void **out) {
    struct netcfg_class *class = impl_from_INetCfgClass(iface);
    struct fake_answer answer;
    char name[64];

    check_class_alive(class, "QueryInterface");
    answer = fake_begin_call(CALL_CLASS_QUERY_INTERFACE, "#%d %s", class->number,
                             fake_guid_name(riid, name, sizeof(name)));
    if (answer.scripted && answer.hr != S_OK) {
        if (out) *out = NULL;
        return answer.hr;
    }
    return query_class(class, riid, out);
}

static ULONG WINAPI class_AddRef(INetCfgClass *iface) {
    struct netcfg_class *class = impl_from_INetCfgClass(iface);
    ULONG ref = InterlockedIncrement(&class->ref);
    if (ref == 1) fake_log("! AddRef on INetCfgClass#%d after its last Release", class->number);
    return ref;
}

static ULONG WINAPI class_Release(INetCfgClass *iface) {
    struct netcfg_class *class = impl_from_INetCfgClass(iface);
    LONG ref = InterlockedDecrement(&class->ref);
    if (ref < 0)
        fake_log("! Release on INetCfgClass#%d after its last Release", class->number);
    else if (ref == 0) {
        fake_log("- INetCfgClass#%d", class->number);
        INetCfg_Release(class->netcfg);
    }
    return (ULONG)ref;
}

static HRESULT WINAPI class_FindComponent(INetCfgClass *iface, LPCWSTR id, INetCfgComponent **out) {
    struct netcfg_class *class = impl_from_INetCfgClass(iface);
    check_class_alive(class, "FindComponent");
    return INetCfg_FindComponent(class->netcfg, id, out);
}

static HRESULT WINAPI class_EnumComponents(INetCfgClass *iface, IEnumNetCfgComponent **out) {
    fake_log("INetCfgClass.EnumComponents #%d (not provided)",
             impl_from_INetCfgClass(iface)->number);
    if (out) *out = NULL;
    return E_NOTIMPL;
}

static const INetCfgClassVtbl class_vtbl = {
    class_QueryInterface, class_AddRef, class_Release, class_FindComponent, class_EnumComponents,
};

static HRESULT WINAPI setup_QueryInterface(INetCfgClassSetup *iface, REFIID riid, void **out) {
    return class_QueryInterface(&impl_from_INetCfgClassSetup(iface)->INetCfgClass_iface, riid, out);
}

static ULONG WINAPI setup_AddRef(INetCfgClassSetup *iface) {
    return class_AddRef(&impl_from_INetCfgClassSetup(iface)->INetCfgClass_iface);
}

static ULONG WINAPI setup_Release(INetCfgClassSetup *iface) {
    return class_Release(&impl_from_INetCfgClassSetup(iface)->INetCfgClass_iface);
}

static HRESULT WINAPI setup_SelectAndInstall(INetCfgClassSetup *iface, HWND parent,
                                             OBO_TOKEN *token, INetCfgComponent **out) {
    fake_log("INetCfgClassSetup.SelectAndInstall #%d (not provided)",
             impl_from_INetCfgClassSetup(iface)->number);
    if (out) *out = NULL;
    return E_NOTIMPL;
}

static const char *token_text(const OBO_TOKEN *token, char *buffer, int size) {
    if (!token) return "(null)";
    snprintf(buffer, size, "%d,%p,%p,%p,%p,%d", token->Type, token->pncc, token->pszwManufacturer,
             token->pszwProduct, token->pszwDisplayName, token->fRegistered);
    return buffer;
}

static HRESULT WINAPI setup_Install(INetCfgClassSetup *iface, LPCWSTR id, OBO_TOKEN *token,
                                    DWORD setup_flags, DWORD upgrade_from, LPCWSTR answer_file,
                                    LPCWSTR answer_sections, INetCfgComponent **out) {
    struct netcfg_class *class = impl_from_INetCfgClassSetup(iface);
    struct fake_answer answer;
    WCHAR directory[MAX_PATH];
    char id_text[128], token_buffer[160], directory_text[MAX_PATH * 3];

    check_class_alive(class, "Install");
    GetCurrentDirectoryW(MAX_PATH, directory);
    answer = fake_begin_call(
        CALL_CLASS_SETUP_INSTALL,
        "#%d id=%s obo=%s flags=%lu build=%lu answerfile=%p sections=%p out=%s cwd=%s",
        class->number, fake_utf8(id, id_text, sizeof(id_text)),
        token_text(token, token_buffer, sizeof(token_buffer)), setup_flags, upgrade_from,
        answer_file, answer_sections, out ? (*out ? "set" : "null") : "none",
        fake_utf8(directory, directory_text, sizeof(directory_text)));
    if (out) *out = NULL;
    if (!id) return E_POINTER;
    if (!fake_netcfg_write_locked(class->netcfg)) {
        fake_log("! Install on INetCfgClassSetup#%d without the write lock", class->number);
        return NETCFG_E_NO_WRITE_LOCK;
    }
    if (answer.scripted && FAILED(answer.hr)) return answer.hr;
    fake_netcfg_add_pending(class->netcfg, id);
    if (answer.scripted && answer.hr == NETCFG_S_REBOOT) fake_netcfg_restart_pending(class->netcfg);
    if (out) *out = fake_component_create(id);
    return answer.scripted ? answer.hr : S_OK;
}

static HRESULT WINAPI setup_DeInstall(INetCfgClassSetup *iface, INetCfgComponent *component,
                                      OBO_TOKEN *token, LPWSTR *refs) {
    struct netcfg_class *class = impl_from_INetCfgClassSetup(iface);
    struct fake_answer answer;
    const WCHAR *id;
    char id_text[128], token_buffer[160];
    int number = 0;

    check_class_alive(class, "DeInstall");
    id = fake_component_id(component, &number);
    answer = fake_begin_call(CALL_CLASS_SETUP_DEINSTALL,
                             "#%d component=INetCfgComponent#%d id=%s obo=%s refs=%p",
                             class->number, number, fake_utf8(id, id_text, sizeof(id_text)),
                             token_text(token, token_buffer, sizeof(token_buffer)), refs);
    if (refs) *refs = NULL;
    if (!id) return E_INVALIDARG;
    if (!fake_netcfg_write_locked(class->netcfg)) {
        fake_log("! DeInstall on INetCfgClassSetup#%d without the write lock", class->number);
        return NETCFG_E_NO_WRITE_LOCK;
    }
    if (answer.scripted && FAILED(answer.hr)) return answer.hr;
    if (!fake_netcfg_remove_pending(class->netcfg, id)) return E_INVALIDARG;
    if (answer.scripted && answer.hr == NETCFG_S_REBOOT) fake_netcfg_restart_pending(class->netcfg);
    return answer.scripted ? answer.hr : S_OK;
}

static const INetCfgClassSetupVtbl setup_vtbl = {
    setup_QueryInterface,   setup_AddRef,  setup_Release,
    setup_SelectAndInstall, setup_Install, setup_DeInstall,
};

HRESULT fake_class_create(INetCfg *netcfg, REFIID iid, void **out) {
    struct netcfg_class *class = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*class));
    HRESULT hr;

    if (!class) return E_OUTOFMEMORY;
    class->INetCfgClass_iface.lpVtbl = &class_vtbl;
    class->INetCfgClassSetup_iface.lpVtbl = &setup_vtbl;
    class->ref = 1;
    class->number = fake_next_object_number();
    class->netcfg = netcfg;
    INetCfg_AddRef(netcfg);
    fake_log("+ INetCfgClass#%d", class->number);
    hr = query_class(class, iid, out);
    class_Release(&class->INetCfgClass_iface);
    return hr;
}

/* INetCfgComponent: its id, display name, characteristics and class. */

static HRESULT WINAPI component_QueryInterface(INetCfgComponent *iface, REFIID riid, void **out) {
    if (!out) return E_POINTER;
    *out = NULL;
    if (!IsEqualGUID(riid, &IID_IUnknown) && !IsEqualGUID(riid, &IID_INetCfgComponent))
        return E_NOINTERFACE;
    *out = iface;
    INetCfgComponent_AddRef(iface);
    return S_OK;
}

static ULONG WINAPI component_AddRef(INetCfgComponent *iface) {
    struct component *component = impl_from_INetCfgComponent(iface);
    ULONG ref = InterlockedIncrement(&component->ref);
    if (ref == 1)
        fake_log("! AddRef on INetCfgComponent#%d after its last Release", component->number);
    return ref;
}

static ULONG WINAPI component_Release(INetCfgComponent *iface) {
    struct component *component = impl_from_INetCfgComponent(iface);
    LONG ref = InterlockedDecrement(&component->ref);
    if (ref < 0)
        fake_log("! Release on INetCfgComponent#%d after its last Release", component->number);
    else if (ref == 0)
        fake_log("- INetCfgComponent#%d", component->number);
    return (ULONG)ref;
}

#define NOT_PROVIDED(name, ...)                                                    \
    static HRESULT WINAPI component_##name(INetCfgComponent *iface, __VA_ARGS__) { \
        fake_log("INetCfgComponent." #name " #%d (not provided)",                  \
                 impl_from_INetCfgComponent(iface)->number);                       \
        return E_NOTIMPL;                                                          \
    }
NOT_PROVIDED(SetDisplayName, LPCWSTR name)
NOT_PROVIDED(GetHelpText, LPWSTR *out)
NOT_PROVIDED(GetInstanceGuid, GUID *out)
NOT_PROVIDED(GetPnpDevNodeId, LPWSTR *out)
NOT_PROVIDED(GetBindName, LPWSTR *out)
NOT_PROVIDED(GetDeviceStatus, ULONG *out)
NOT_PROVIDED(OpenParamKey, HKEY *out)
NOT_PROVIDED(RaisePropertyUi, HWND parent, DWORD flags, IUnknown *context)

/* A copy the caller frees with CoTaskMemFree (the Get* pages). */
static HRESULT copy_text(const WCHAR *text, LPWSTR *out) {
    SIZE_T size = (lstrlenW(text) + 1) * sizeof(WCHAR);
    if (!out) return E_POINTER;
    if (!(*out = CoTaskMemAlloc(size))) return E_OUTOFMEMORY;
    memcpy(*out, text, size);
    return S_OK;
}

static HRESULT WINAPI component_GetId(INetCfgComponent *iface, LPWSTR *out) {
    struct component *component = impl_from_INetCfgComponent(iface);
    fake_log("INetCfgComponent.GetId #%d", component->number);
    return copy_text(component->id, out);
}

static HRESULT WINAPI component_GetDisplayName(INetCfgComponent *iface, LPWSTR *out) {
    struct component *component = impl_from_INetCfgComponent(iface);
    fake_log("INetCfgComponent.GetDisplayName #%d", component->number);
    return copy_text(component->display_name, out);
}

static HRESULT WINAPI component_GetCharacteristics(INetCfgComponent *iface, LPDWORD out) {
    struct component *component = impl_from_INetCfgComponent(iface);
    fake_log("INetCfgComponent.GetCharacteristics #%d", component->number);
    if (!out) return E_POINTER;
    *out = component->characteristics;
    return S_OK;
}

static HRESULT WINAPI component_GetClassGuid(INetCfgComponent *iface, GUID *out) {
    struct component *component = impl_from_INetCfgComponent(iface);
    struct fake_answer answer;

    if (component->ref <= 0)
        fake_log("! GetClassGuid on INetCfgComponent#%d after its last Release", component->number);
    answer = fake_begin_call(CALL_GET_CLASS_GUID, "#%d", component->number);
    if (!out) return E_POINTER;
    if (answer.scripted && answer.hr != S_OK) return answer.hr;
    *out = GUID_DEVCLASS_NETSERVICE;
    return S_OK;
}

static const INetCfgComponentVtbl component_vtbl = {
    component_QueryInterface,  component_AddRef,
    component_Release,         component_GetDisplayName,
    component_SetDisplayName,  component_GetHelpText,
    component_GetId,           component_GetCharacteristics,
    component_GetInstanceGuid, component_GetPnpDevNodeId,
    component_GetClassGuid,    component_GetBindName,
    component_GetDeviceStatus, component_OpenParamKey,
    component_RaisePropertyUi,
};

INetCfgComponent *fake_component_create_described(const WCHAR *id, const WCHAR *display_name,
                                                  DWORD characteristics) {
    INetCfgComponent *iface = fake_component_create(id);
    struct component *component;
    if (!iface) return NULL;
    component = impl_from_INetCfgComponent(iface);
    lstrcpynW(component->display_name, display_name, ARRAY_SIZE(component->display_name));
    component->characteristics = characteristics;
    return iface;
}

INetCfgComponent *fake_component_create(const WCHAR *id) {
    struct component *component = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*component));
    char text[128];
    if (!component) return NULL;
    component->INetCfgComponent_iface.lpVtbl = &component_vtbl;
    component->ref = 1;
    component->number = fake_next_object_number();
    lstrcpynW(component->id, id, ARRAY_SIZE(component->id));
    lstrcpynW(component->display_name, id, ARRAY_SIZE(component->display_name));
    component->characteristics = NCF_LW_FILTER; /* ours, as its INF says */
    fake_log("+ INetCfgComponent#%d id=%s", component->number, fake_utf8(id, text, sizeof(text)));
    return &component->INetCfgComponent_iface;
}

const WCHAR *fake_component_id(INetCfgComponent *iface, int *number) {
    struct component *component;
    if (!iface || iface->lpVtbl != &component_vtbl) return NULL;
    component = impl_from_INetCfgComponent(iface);
    *number = component->number;
    return component->id;
}
