/*
 * A C host's view of the library: ids passed by address, every operation
 * reached through lpVtbl. Slots are read from the tables by index, so the
 * layout the compiler produced is checked, not the declarations.
 */
#include <ndisfilter.h>

#include <stdint.h>

typedef void (*any_fn)(void);

static any_fn table_slot(void *itf, int slot) { return (*(any_fn *const *)itf)[slot]; }

typedef HRESULT(STDMETHODCALLTYPE *query_fn)(void *This, REFIID iid, void **out);
typedef ULONG(STDMETHODCALLTYPE *count_fn)(void *This);
typedef BOOL(STDMETHODCALLTYPE *install_fn)(void *This, LPCWSTR inf, BOOL *restart,
                                            BOOL *cancelled);
typedef BOOL(STDMETHODCALLTYPE *uninstall_fn)(void *This, BOOL *restart);
typedef void(STDMETHODCALLTYPE *destroy_fn)(void *This, UINT flags);
typedef BOOL(STDMETHODCALLTYPE *install_timeout_fn)(void *This, LPCWSTR inf, DWORD ms,
                                                    BOOL *timedOut, BOOL *restart, BOOL *cancelled);
typedef BOOL(STDMETHODCALLTYPE *uninstall_timeout_fn)(void *This, DWORD ms, BOOL *timedOut,
                                                      BOOL *restart);

HRESULT c_get_class_object(const GUID *clsid, const GUID *iid, void **out) {
    return DllGetClassObject(clsid, iid, out);
}

HRESULT c_can_unload_now(void) { return DllCanUnloadNow(); }

HRESULT c_query_interface(void *itf, const GUID *iid, void **out) {
    return ((query_fn)table_slot(itf, 0))(itf, iid, out);
}

ULONG c_add_ref(void *itf) { return ((count_fn)table_slot(itf, 1))(itf); }

ULONG c_release(void *itf) { return ((count_fn)table_slot(itf, 2))(itf); }

BOOL c_install(void *itf, LPCWSTR inf, BOOL *restart, BOOL *cancelled) {
    return ((install_fn)table_slot(itf, 3))(itf, inf, restart, cancelled);
}

BOOL c_uninstall(void *itf, BOOL *restart) {
    return ((uninstall_fn)table_slot(itf, 4))(itf, restart);
}

/* Slot 5 of the INdisFilterHelper table. */
void c_destroy(void *helper, UINT flags) { ((destroy_fn)table_slot(helper, 5))(helper, flags); }

/* Slots 5 to 8 of the INdisFilterHelper2 table. */
BOOL c_install_with_timeout(void *helper2, LPCWSTR inf, DWORD ms, BOOL *timedOut, BOOL *restart,
                            BOOL *cancelled) {
    return ((install_timeout_fn)table_slot(helper2, 5))(helper2, inf, ms, timedOut, restart,
                                                        cancelled);
}

BOOL c_uninstall_with_timeout(void *helper2, DWORD ms, BOOL *timedOut, BOOL *restart) {
    return ((uninstall_timeout_fn)table_slot(helper2, 6))(helper2, ms, timedOut, restart);
}

BOOL c_install_with_retry(void *helper2, LPCWSTR inf, BOOL *restart, BOOL *cancelled) {
    return ((install_fn)table_slot(helper2, 7))(helper2, inf, restart, cancelled);
}

BOOL c_uninstall_with_retry(void *helper2, BOOL *restart) {
    return ((uninstall_fn)table_slot(helper2, 8))(helper2, restart);
}

/* 1 when the public C declarations name the slots the tables really hold. */
int c_declared_members_match_slots(INdisFilterHelper *helper, INdisFilterHelper2 *helper2) {
    const INdisFilterHelperVtbl *t1 = helper->lpVtbl;
    const INdisFilterHelper2Vtbl *t2 = helper2->lpVtbl;
    return (any_fn)t1->QueryInterface == table_slot(helper, 0) &&
           (any_fn)t1->AddRef == table_slot(helper, 1) &&
           (any_fn)t1->Release == table_slot(helper, 2) &&
           (any_fn)t1->Install == table_slot(helper, 3) &&
           (any_fn)t1->Uninstall == table_slot(helper, 4) &&
           (any_fn)t2->QueryInterface == table_slot(helper2, 0) &&
           (any_fn)t2->AddRef == table_slot(helper2, 1) &&
           (any_fn)t2->Release == table_slot(helper2, 2) &&
           (any_fn)t2->Install == table_slot(helper2, 3) &&
           (any_fn)t2->Uninstall == table_slot(helper2, 4) &&
           (any_fn)t2->InstallWithTimeout == table_slot(helper2, 5) &&
           (any_fn)t2->UninstallWithTimeout == table_slot(helper2, 6) &&
           (any_fn)t2->InstallWithRetry == table_slot(helper2, 7) &&
           (any_fn)t2->UninstallWithRetry == table_slot(helper2, 8);
}

/*
 * The number of slots in the first table of a built object. Both tables
 * belong to one table group (Itanium C++ ABI, as g++ lays it out for the
 * host and for MinGW-w64): the first table's slots, then the second table's
 * offset to top and type information words, then its slots. The second
 * table's address point therefore tells where the first table ends; -1 when
 * the word before it is not the second interface's offset from the first.
 */
int c_first_table_slots(void *helper, void *helper2) {
    const intptr_t *first = *(const intptr_t *const *)helper;
    const intptr_t *second = *(const intptr_t *const *)helper2;
    if (second[-2] != (intptr_t)((char *)helper - (char *)helper2)) return -1;
    return (int)(second - first) - 2;
}
