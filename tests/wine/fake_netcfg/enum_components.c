/*
 * Test-only network configuration server: the enumerator
 * INetCfg::EnumComponents gives (IEnumNetCfgComponent), over the network
 * services the configuration knows: other vendors' components the scenario
 * names ("component" lines) and ours.
 */
#include "fake_netcfg.h"

#define MAX_ENUMERATED 32

struct enum_components {
    IEnumNetCfgComponent IEnumNetCfgComponent_iface;
    LONG ref;
    int number;
    INetCfgComponent *components[MAX_ENUMERATED]; /* a reference each */
    int count, next;
};

static inline struct enum_components *impl_from_IEnumNetCfgComponent(IEnumNetCfgComponent *iface) {
    return CONTAINING_RECORD(iface, struct enum_components, IEnumNetCfgComponent_iface);
}

static HRESULT WINAPI enum_QueryInterface(IEnumNetCfgComponent *iface, REFIID riid, void **out) {
    if (!out) return E_POINTER;
    *out = NULL;
    if (!IsEqualGUID(riid, &IID_IUnknown) && !IsEqualGUID(riid, &IID_IEnumNetCfgComponent))
        return E_NOINTERFACE;
    *out = iface;
    IEnumNetCfgComponent_AddRef(iface);
    return S_OK;
}

static ULONG WINAPI enum_AddRef(IEnumNetCfgComponent *iface) {
    return (ULONG)InterlockedIncrement(&impl_from_IEnumNetCfgComponent(iface)->ref);
}

static ULONG WINAPI enum_Release(IEnumNetCfgComponent *iface) {
    struct enum_components *e = impl_from_IEnumNetCfgComponent(iface);
    LONG ref = InterlockedDecrement(&e->ref);
    int i;
    if (ref < 0) {
        fake_log("! Release on IEnumNetCfgComponent#%d after its last Release", e->number);
    } else if (ref == 0) {
        fake_log("- IEnumNetCfgComponent#%d", e->number);
        for (i = 0; i < e->count; i++) INetCfgComponent_Release(e->components[i]);
        e->count = 0;
    }
    return (ULONG)ref;
}

/* IEnumNetCfgComponent::Next (Microsoft's page): S_OK when `count` were
   given, S_FALSE when fewer were left; the caller owns each one given. */
static HRESULT WINAPI enum_Next(IEnumNetCfgComponent *iface, ULONG count, INetCfgComponent **out,
                                ULONG *fetched) {
    struct enum_components *e = impl_from_IEnumNetCfgComponent(iface);
    ULONG given = 0;
    fake_log("IEnumNetCfgComponent.Next #%d count=%lu", e->number, count);
    if (e->ref <= 0)
        fake_log("! Next on IEnumNetCfgComponent#%d after its last Release", e->number);
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    for (; given < count && e->next < e->count; given++) {
        out[given] = e->components[e->next++];
        INetCfgComponent_AddRef(out[given]);
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

#define NOT_PROVIDED(name, ...)                                                   \
    static HRESULT WINAPI enum_##name(IEnumNetCfgComponent *iface, __VA_ARGS__) { \
        fake_log("IEnumNetCfgComponent." #name " #%d (not provided)",             \
                 impl_from_IEnumNetCfgComponent(iface)->number);                  \
        return E_NOTIMPL;                                                         \
    }
NOT_PROVIDED(Skip, ULONG count)
NOT_PROVIDED(Clone, IEnumNetCfgComponent **out)

static HRESULT WINAPI enum_Reset(IEnumNetCfgComponent *iface) {
    impl_from_IEnumNetCfgComponent(iface)->next = 0;
    return S_OK;
}

static const IEnumNetCfgComponentVtbl enum_vtbl = {
    enum_QueryInterface, enum_AddRef, enum_Release, enum_Next, enum_Skip, enum_Reset, enum_Clone,
};

HRESULT fake_enum_components_create(const WCHAR ours[][64], int our_count,
                                    IEnumNetCfgComponent **out) {
    struct fake_component_info others[MAX_ENUMERATED];
    int other_count = fake_other_components(others, MAX_ENUMERATED), i;
    struct enum_components *e = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*e));
    if (!e) return E_OUTOFMEMORY;
    e->IEnumNetCfgComponent_iface.lpVtbl = &enum_vtbl;
    e->ref = 1;
    e->number = fake_next_object_number();
    for (i = 0; i < other_count && e->count < MAX_ENUMERATED; i++)
        e->components[e->count++] = fake_component_create_described(
            others[i].id, others[i].display_name, others[i].characteristics);
    for (i = 0; i < our_count && e->count < MAX_ENUMERATED; i++)
        e->components[e->count++] = fake_component_create(ours[i]);
    fake_log("+ IEnumNetCfgComponent#%d components=%d", e->number, e->count);
    *out = &e->IEnumNetCfgComponent_iface;
    return S_OK;
}
