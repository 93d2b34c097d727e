/*
 * Test-only network configuration server: the configuration object
 * (INetCfg and INetCfgLock on one object).
 *
 * Changes (component installs and removals) are pending until a successful
 * Apply writes them to components.txt; Uninitialize drops what was not
 * applied. A change whose install or removal answered NETCFG_S_REBOOT needs a
 * restart: the Apply that commits it answers NETCFG_S_REBOOT unless scripted,
 * any other Apply S_OK.
 */
#include "fake_netcfg.h"

#include <stdio.h>

#define MAX_COMPONENTS 16

struct netcfg {
    INetCfg INetCfg_iface;
    INetCfgLock INetCfgLock_iface;
    LONG ref;
    int number;
    DWORD thread; /* the thread that created it */
    BOOL initialized;
    WCHAR pending[MAX_COMPONENTS][64];
    int pending_count;
    BOOL restart_pending; /* a pending change whose step answered NETCFG_S_REBOOT */
};

static inline struct netcfg *impl_from_INetCfg(INetCfg *iface) {
    return CONTAINING_RECORD(iface, struct netcfg, INetCfg_iface);
}

static inline struct netcfg *impl_from_INetCfgLock(INetCfgLock *iface) {
    return CONTAINING_RECORD(iface, struct netcfg, INetCfgLock_iface);
}

/* Errors of use that the tests look for: "!" lines in the log. */
static void check_alive(struct netcfg *netcfg, const char *call) {
    if (netcfg->ref <= 0)
        fake_log("! %s on INetCfg#%d after its last Release", call, netcfg->number);
    if (GetCurrentThreadId() != netcfg->thread)
        fake_log("! %s on INetCfg#%d from thread %lu; it belongs to thread %lu", call,
                 netcfg->number, GetCurrentThreadId(), netcfg->thread);
}

static BOOL check_initialized(struct netcfg *netcfg, const char *call) {
    if (!netcfg->initialized)
        fake_log("! %s on INetCfg#%d before Initialize", call, netcfg->number);
    return netcfg->initialized;
}

/* QueryInterface without the log, for the server's own use. */
static HRESULT query_netcfg(struct netcfg *netcfg, REFIID riid, void **out) {
    if (!out) return E_POINTER;
    *out = NULL;
    if (IsEqualGUID(riid, &IID_IUnknown) || IsEqualGUID(riid, &IID_INetCfg))
        *out = &netcfg->INetCfg_iface;
    else if (IsEqualGUID(riid, &IID_INetCfgLock))
        *out = &netcfg->INetCfgLock_iface;
    else
        return E_NOINTERFACE;
    IUnknown_AddRef((IUnknown *)*out);
    return S_OK;
}

static HRESULT WINAPI netcfg_QueryInterface(INetCfg *iface, REFIID riid, void **out) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    struct fake_answer answer;
    char name[64];

    check_alive(netcfg, "QueryInterface");
    answer = fake_begin_call(CALL_NETCFG_QUERY_INTERFACE, "#%d %s", netcfg->number,
                             fake_guid_name(riid, name, sizeof(name)));
    if (answer.scripted && answer.hr != S_OK) {
        if (out) *out = NULL;
        return answer.hr;
    }
    return query_netcfg(netcfg, riid, out);
}

static ULONG WINAPI netcfg_AddRef(INetCfg *iface) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    ULONG ref = InterlockedIncrement(&netcfg->ref);
    if (ref == 1) fake_log("! AddRef on INetCfg#%d after its last Release", netcfg->number);
    return ref;
}

static ULONG WINAPI netcfg_Release(INetCfg *iface) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    LONG ref = InterlockedDecrement(&netcfg->ref);

    if (ref < 0)
        fake_log("! Release on INetCfg#%d after its last Release", netcfg->number);
    else if (ref == 0) {
        if (fake_unlock(netcfg))
            fake_log("! INetCfg#%d destroyed holding the write lock", netcfg->number);
        if (netcfg->initialized)
            fake_log("! INetCfg#%d destroyed while initialised", netcfg->number);
        fake_log("- INetCfg#%d", netcfg->number);
    }
    return (ULONG)ref;
}

static HRESULT WINAPI netcfg_Initialize(INetCfg *iface, void *reserved) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    struct fake_answer answer;

    check_alive(netcfg, "Initialize");
    answer = fake_begin_call(CALL_INITIALIZE, "#%d reserved=%p locked=%d", netcfg->number, reserved,
                             fake_lock_owned_by(netcfg));
    if (answer.scripted) return answer.hr;
    if (netcfg->initialized) return NETCFG_E_ALREADY_INITIALIZED;
    netcfg->pending_count = fake_load_components(netcfg->pending, MAX_COMPONENTS);
    netcfg->initialized = TRUE;
    return S_OK;
}

static HRESULT WINAPI netcfg_Uninitialize(INetCfg *iface) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    struct fake_answer answer;

    check_alive(netcfg, "Uninitialize");
    answer = fake_begin_call(CALL_UNINITIALIZE, "#%d", netcfg->number);
    if (answer.scripted) return answer.hr;
    if (!check_initialized(netcfg, "Uninitialize")) return NETCFG_E_NOT_INITIALIZED;
    netcfg->initialized = FALSE;
    netcfg->pending_count = 0;
    netcfg->restart_pending = FALSE;
    return S_OK;
}

static HRESULT WINAPI netcfg_Apply(INetCfg *iface) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    struct fake_answer answer;
    BOOL reboot;

    check_alive(netcfg, "Apply");
    answer = fake_begin_call(CALL_APPLY, "#%d", netcfg->number);
    if (!check_initialized(netcfg, "Apply")) return NETCFG_E_NOT_INITIALIZED;
    if (!fake_lock_owned_by(netcfg)) {
        fake_log("! Apply on INetCfg#%d without the write lock", netcfg->number);
        return NETCFG_E_NO_WRITE_LOCK;
    }
    if (answer.scripted && FAILED(answer.hr)) return answer.hr;
    fake_commit_components((const WCHAR(*)[64])netcfg->pending, netcfg->pending_count);
    reboot = netcfg->restart_pending;
    netcfg->restart_pending = FALSE; /* committed: a second Apply has nothing to restart for */
    if (answer.scripted) return answer.hr;
    /* INetCfg::Apply page: NETCFG_S_REBOOT if the applied changes required a reboot. */
    return reboot ? NETCFG_S_REBOOT : S_OK;
}

static HRESULT WINAPI netcfg_Cancel(INetCfg *iface) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    struct fake_answer answer;

    check_alive(netcfg, "Cancel");
    answer = fake_begin_call(CALL_CANCEL, "#%d", netcfg->number);
    if (answer.scripted) return answer.hr;
    netcfg->pending_count = fake_load_components(netcfg->pending, MAX_COMPONENTS);
    netcfg->restart_pending = FALSE;
    return S_OK;
}

static HRESULT WINAPI netcfg_EnumComponents(INetCfg *iface, const GUID *class_guid,
                                            IEnumNetCfgComponent **out) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    char text[64];
    fake_log("INetCfg.EnumComponents #%d class=%s", netcfg->number,
             fake_guid_name(class_guid, text, sizeof(text)));
    check_alive(netcfg, "EnumComponents");
    if (!out || !class_guid) return E_POINTER;
    *out = NULL;
    if (!check_initialized(netcfg, "EnumComponents")) return NETCFG_E_NOT_INITIALIZED;
    /* INetCfg::EnumComponents (Microsoft's page): the components of one
       class; every component here is a network service. */
    if (!IsEqualGUID(class_guid, &GUID_DEVCLASS_NETSERVICE))
        return fake_enum_components_create(NULL, 0, out);
    return fake_enum_components_create((const WCHAR(*)[64])netcfg->pending, netcfg->pending_count,
                                       out);
}

static HRESULT WINAPI netcfg_FindComponent(INetCfg *iface, LPCWSTR id, INetCfgComponent **out) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    struct fake_answer answer;
    char text[128];
    int i;

    check_alive(netcfg, "FindComponent");
    answer = fake_begin_call(CALL_FIND_COMPONENT, "#%d id=%s", netcfg->number,
                             fake_utf8(id, text, sizeof(text)));
    if (!out) return E_POINTER;
    *out = NULL;
    if (!check_initialized(netcfg, "FindComponent")) return NETCFG_E_NOT_INITIALIZED;
    if (answer.scripted && answer.hr != S_OK) return answer.hr;
    for (i = 0; i < netcfg->pending_count; i++)
        if (id && !lstrcmpiW(netcfg->pending[i], id)) {
            *out = fake_component_create(netcfg->pending[i]);
            return *out ? S_OK : E_OUTOFMEMORY;
        }
    return S_FALSE;
}

static HRESULT WINAPI netcfg_QueryNetCfgClass(INetCfg *iface, const GUID *class_guid, REFIID riid,
                                              void **out) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    struct fake_answer answer;
    char class_name[64], iid_name[64];

    check_alive(netcfg, "QueryNetCfgClass");
    answer = fake_begin_call(CALL_QUERY_NETCFG_CLASS, "#%d class=%s iid=%s", netcfg->number,
                             fake_guid_name(class_guid, class_name, sizeof(class_name)),
                             fake_guid_name(riid, iid_name, sizeof(iid_name)));
    if (!out) return E_POINTER;
    *out = NULL;
    if (!check_initialized(netcfg, "QueryNetCfgClass")) return NETCFG_E_NOT_INITIALIZED;
    if (answer.scripted && answer.hr != S_OK) return answer.hr;
    if (!class_guid || !IsEqualGUID(class_guid, &GUID_DEVCLASS_NETSERVICE)) return E_INVALIDARG;
    return fake_class_create(iface, riid, out);
}

static const INetCfgVtbl netcfg_vtbl = {
    netcfg_QueryInterface,   netcfg_AddRef,         netcfg_Release,
    netcfg_Initialize,       netcfg_Uninitialize,   netcfg_Apply,
    netcfg_Cancel,           netcfg_EnumComponents, netcfg_FindComponent,
    netcfg_QueryNetCfgClass,
};

static HRESULT WINAPI netcfglock_QueryInterface(INetCfgLock *iface, REFIID riid, void **out) {
    return netcfg_QueryInterface(&impl_from_INetCfgLock(iface)->INetCfg_iface, riid, out);
}

static ULONG WINAPI netcfglock_AddRef(INetCfgLock *iface) {
    return netcfg_AddRef(&impl_from_INetCfgLock(iface)->INetCfg_iface);
}

static ULONG WINAPI netcfglock_Release(INetCfgLock *iface) {
    return netcfg_Release(&impl_from_INetCfgLock(iface)->INetCfg_iface);
}

static HRESULT WINAPI netcfglock_AcquireWriteLock(INetCfgLock *iface, DWORD timeout, LPCWSTR client,
                                                  LPWSTR *holder_out) {
    struct netcfg *netcfg = impl_from_INetCfgLock(iface);
    struct fake_answer answer;
    const WCHAR *holder;
    char text[128];
    DWORD waited = 0;

    check_alive(netcfg, "AcquireWriteLock");
    answer = fake_begin_call(CALL_ACQUIRE_WRITE_LOCK, "#%d timeout=%lu client=%s", netcfg->number,
                             timeout, fake_utf8(client, text, sizeof(text)));
    if (holder_out) *holder_out = NULL;
    if (answer.scripted) return answer.hr;

    /* Another client: wait for it as long as asked, then name it. */
    while (!fake_try_lock(netcfg, client)) {
        DWORD limit = fake_lock_wait(timeout);
        if (waited >= limit) {
            holder = fake_lock_holder();
            if (holder_out && holder) {
                SIZE_T size = (lstrlenW(holder) + 1) * sizeof(WCHAR);
                if ((*holder_out = CoTaskMemAlloc(size))) memcpy(*holder_out, holder, size);
            }
            fake_log("INetCfgLock.AcquireWriteLock #%d held by %s for %lu ms; description=%p",
                     netcfg->number, fake_utf8(holder, text, sizeof(text)), waited,
                     holder_out ? *holder_out : NULL);
            return S_FALSE;
        }
        Sleep(limit - waited < 100 ? limit - waited : 100);
        waited += limit - waited < 100 ? limit - waited : 100;
    }
    return S_OK;
}

static HRESULT WINAPI netcfglock_ReleaseWriteLock(INetCfgLock *iface) {
    struct netcfg *netcfg = impl_from_INetCfgLock(iface);
    struct fake_answer answer;

    check_alive(netcfg, "ReleaseWriteLock");
    answer = fake_begin_call(CALL_RELEASE_WRITE_LOCK, "#%d", netcfg->number);
    if (!fake_unlock(netcfg)) {
        fake_log("! ReleaseWriteLock on INetCfg#%d, which does not hold the lock", netcfg->number);
        return S_FALSE;
    }
    return answer.scripted ? answer.hr : S_OK;
}

static HRESULT WINAPI netcfglock_IsWriteLocked(INetCfgLock *iface, LPWSTR *holder_out) {
    struct netcfg *netcfg = impl_from_INetCfgLock(iface);
    const WCHAR *holder = fake_lock_holder();
    fake_log("INetCfgLock.IsWriteLocked #%d", netcfg->number);
    if (holder_out) *holder_out = NULL;
    if (!holder) return S_FALSE;
    if (holder_out) {
        SIZE_T size = (lstrlenW(holder) + 1) * sizeof(WCHAR);
        if ((*holder_out = CoTaskMemAlloc(size))) memcpy(*holder_out, holder, size);
    }
    return S_OK;
}

static const INetCfgLockVtbl netcfglock_vtbl = {
    netcfglock_QueryInterface,   netcfglock_AddRef,           netcfglock_Release,
    netcfglock_AcquireWriteLock, netcfglock_ReleaseWriteLock, netcfglock_IsWriteLocked,
};

HRESULT fake_netcfg_create(REFIID iid, void **out) {
    struct netcfg *netcfg = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*netcfg));
    APTTYPE apartment;
    APTTYPEQUALIFIER qualifier;
    WCHAR directory[MAX_PATH];
    char text[MAX_PATH * 3];
    HRESULT hr;

    if (!netcfg) return E_OUTOFMEMORY;
    netcfg->INetCfg_iface.lpVtbl = &netcfg_vtbl;
    netcfg->INetCfgLock_iface.lpVtbl = &netcfglock_vtbl;
    netcfg->ref = 1;
    netcfg->number = fake_next_object_number();
    netcfg->thread = GetCurrentThreadId();
    GetCurrentDirectoryW(MAX_PATH, directory);
    fake_log("+ INetCfg#%d apartment=%s cwd=%s", netcfg->number,
             FAILED(CoGetApartmentType(&apartment, &qualifier))         ? "none"
             : apartment == APTTYPE_STA || apartment == APTTYPE_MAINSTA ? "STA"
                                                                        : "MTA",
             fake_utf8(directory, text, sizeof(text)));
    hr = query_netcfg(netcfg, iid, out);
    netcfg_Release(&netcfg->INetCfg_iface);
    return hr;
}

void fake_netcfg_add_pending(INetCfg *iface, const WCHAR *id) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    int i;
    for (i = 0; i < netcfg->pending_count; i++)
        if (!lstrcmpiW(netcfg->pending[i], id)) return;
    if (netcfg->pending_count < MAX_COMPONENTS)
        lstrcpynW(netcfg->pending[netcfg->pending_count++], id, 64);
}

BOOL fake_netcfg_remove_pending(INetCfg *iface, const WCHAR *id) {
    struct netcfg *netcfg = impl_from_INetCfg(iface);
    int i;
    for (i = 0; i < netcfg->pending_count; i++)
        if (!lstrcmpiW(netcfg->pending[i], id)) {
            netcfg->pending[i][0] = 0;
            lstrcpynW(netcfg->pending[i], netcfg->pending[--netcfg->pending_count], 64);
            return TRUE;
        }
    return FALSE;
}

void fake_netcfg_restart_pending(INetCfg *iface) {
    impl_from_INetCfg(iface)->restart_pending = TRUE;
}

BOOL fake_netcfg_write_locked(INetCfg *iface) {
    return fake_lock_owned_by(impl_from_INetCfg(iface));
}
