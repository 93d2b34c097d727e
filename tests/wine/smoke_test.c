/*
 * Smoke test of ndisfilter.dll as a host loads it: both entry points by name
 * and by ordinal, the object's identity and reference count, and its tables
 * read slot by slot through lpVtbl rather than through declarations.
 *
 * Usage: ndisfilter_smoke.exe [path\to\ndisfilter.dll]
 * (default: ndisfilter.dll beside this program). Exit code 0: all passed.
 */
#include <windows.h>
#include <objbase.h>
#include <malloc.h>
#include <stdio.h>
#include <initguid.h>

#include "ndisfilter.h"

static int passed, failed;

static void check(BOOL ok, const char *what) {
    printf("%s  %s\n", ok ? "PASS" : "FAIL", what);
    if (ok)
        passed++;
    else
        failed++;
}

/* The slot types of both tables, read as plain arrays of code pointers. */
typedef HRESULT(STDMETHODCALLTYPE *query_interface_fn)(void *self, REFIID iid, void **out);
typedef ULONG(STDMETHODCALLTYPE *count_fn)(void *self);
typedef BOOL(STDMETHODCALLTYPE *install_fn)(void *self, LPCWSTR inf, BOOL *restart,
                                            BOOL *cancelled);
typedef BOOL(STDMETHODCALLTYPE *uninstall_fn)(void *self, BOOL *restart);
typedef void(STDMETHODCALLTYPE *destroy_fn)(void *self, UINT flags);
typedef BOOL(STDMETHODCALLTYPE *install_timeout_fn)(void *self, LPCWSTR inf, DWORD ms,
                                                    BOOL *timed_out, BOOL *restart,
                                                    BOOL *cancelled);
typedef BOOL(STDMETHODCALLTYPE *uninstall_timeout_fn)(void *self, DWORD ms, BOOL *timed_out,
                                                      BOOL *restart);

static void *const *table_of(void *iface) { return *(void *const **)iface; }

static ULONG add_ref(void *iface) { return ((count_fn)table_of(iface)[1])(iface); }
static ULONG release(void *iface) { return ((count_fn)table_of(iface)[2])(iface); }
static HRESULT query(void *iface, REFIID iid, void **out) {
    return ((query_interface_fn)table_of(iface)[0])(iface, iid, out);
}
/* The reference count, the third field of the object. */
static LONG count_field(void *object) { return *(LONG *)((char *)object + 2 * sizeof(void *)); }

/* Blocks in use on the C runtime's heap, which the library's operator new
   and this program share: a destroyed object gives its block back. */
static int heap_blocks_in_use(void) {
    _HEAPINFO info = {0};
    int blocks = 0, status;
    while ((status = _heapwalk(&info)) == _HEAPOK)
        if (info._useflag == _USEDENTRY) blocks++;
    return status == _HEAPEND ? blocks : -1;
}

/* True when address lies in an executable section of the module. */
static BOOL in_module_code(HMODULE module, const void *address) {
    const BYTE *base = (const BYTE *)module;
    const IMAGE_NT_HEADERS *nt =
        (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    WORD i;
    for (i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
        const BYTE *start = base + section->VirtualAddress;
        if ((section->Characteristics & IMAGE_SCN_MEM_EXECUTE) && (const BYTE *)address >= start &&
            (const BYTE *)address < start + section->Misc.VirtualSize)
            return TRUE;
    }
    return FALSE;
}

static void check_exports(HMODULE module, LPFNGETCLASSOBJECT *get_class_object,
                          LPFNCANUNLOADNOW *can_unload) {
    FARPROC by_name_get = GetProcAddress(module, "DllGetClassObject");
    FARPROC by_name_unload = GetProcAddress(module, "DllCanUnloadNow");
    FARPROC ordinal1 = GetProcAddress(module, MAKEINTRESOURCEA(1));
    FARPROC ordinal2 = GetProcAddress(module, MAKEINTRESOURCEA(2));

    check(by_name_get && by_name_unload, "DllGetClassObject and DllCanUnloadNow found by name");
    check(ordinal1 && ordinal1 == by_name_unload, "ordinal 1 is DllCanUnloadNow");
    check(ordinal2 && ordinal2 == by_name_get, "ordinal 2 is DllGetClassObject");
    check(!GetProcAddress(module, MAKEINTRESOURCEA(3)) && !GetProcAddress(module, "DllMain") &&
              !GetProcAddress(module, "DllRegisterServer"),
          "no ordinal 3, no exported DllMain or DllRegisterServer");
    *get_class_object = (LPFNGETCLASSOBJECT)(void (*)(void))by_name_get;
    *can_unload = (LPFNCANUNLOADNOW)(void (*)(void))by_name_unload;
}

static void check_class_object(LPFNGETCLASSOBJECT get_class_object) {
    static const CLSID any_class = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    void *sentinel = (void *)(ULONG_PTR)0x5a5a5a5a;
    void *out = sentinel;
    int blocks;
    HRESULT hr;

    blocks = heap_blocks_in_use();
    hr = get_class_object(&CLSID_NULL, &IID_IUnknown, &out);
    check(hr == E_NOINTERFACE && out == sentinel,
          "DllGetClassObject(IID_IUnknown): E_NOINTERFACE, *out untouched");
    check(blocks >= 0 && heap_blocks_in_use() == blocks, "  ... and the object it made is freed");

    hr = get_class_object(&CLSID_NULL, &IID_IClassFactory, &out);
    check(hr == E_NOINTERFACE && out == sentinel && heap_blocks_in_use() == blocks,
          "DllGetClassObject(IID_IClassFactory): E_NOINTERFACE, nothing kept");

    hr = get_class_object(&CLSID_NULL, &IID_INdisFilterHelper, NULL);
    check(hr == E_INVALIDARG && heap_blocks_in_use() == blocks,
          "DllGetClassObject with a null out pointer: E_INVALIDARG, nothing kept");

    out = NULL;
    hr = get_class_object(&any_class, &IID_INdisFilterHelper, &out);
    check(hr == S_OK && out && count_field(out) == 1 && heap_blocks_in_use() == blocks + 1,
          "any class id serves: S_OK, one new object with count 1");
    if (out)
        check(release(out) == 0 && heap_blocks_in_use() == blocks,
              "  ... its only Release returns 0 and frees it");

    {
        void *first = NULL, *second = NULL;
        get_class_object(&CLSID_NULL, &IID_INdisFilterHelper, &first);
        get_class_object(&CLSID_NULL, &IID_INdisFilterHelper, &second);
        check(first && second && first != second && count_field(first) == 1 &&
                  count_field(second) == 1,
              "each call makes a separate object");
        if (first) release(first);
        if (second) release(second);
    }
}

static void check_identity_and_counts(LPFNGETCLASSOBJECT get_class_object,
                                      LPFNCANUNLOADNOW can_unload) {
    void *helper2 = NULL, *helper = NULL, *again = NULL;
    void *sentinel = (void *)(ULONG_PTR)0x5a5a5a5a, *out = sentinel;
    int blocks = heap_blocks_in_use();
    HRESULT hr;

    hr = get_class_object(&CLSID_NULL, &IID_INdisFilterHelper2, &helper2);
    check(hr == S_OK && helper2 != NULL, "DllGetClassObject(IID_INdisFilterHelper2): S_OK");
    if (!helper2) return;
    check(can_unload() == S_OK, "DllCanUnloadNow answers S_OK while an object lives");
    check(add_ref(helper2) == 2, "first AddRef on INdisFilterHelper2 returns 2");

    hr = query(helper2, &IID_INdisFilterHelper, &helper);
    check(hr == S_OK && helper && (char *)helper2 == (char *)helper + sizeof(void *),
          "QueryInterface(INdisFilterHelper) via INdisFilterHelper2 gives the object, one pointer "
          "below");
    check(count_field(helper) == 3, "  ... and raised the shared count to 3 (third field)");

    hr = query(helper, &IID_INdisFilterHelper2, &again);
    check(hr == S_OK && again == helper2 && count_field(helper) == 4,
          "QueryInterface(INdisFilterHelper2) via INdisFilterHelper gives the same second pointer, "
          "count 4");
    hr = query(helper, &IID_INdisFilterHelper, &again);
    check(hr == S_OK && again == helper && add_ref(helper) == 6,
          "QueryInterface(INdisFilterHelper) on itself gives itself; AddRef after it returns 6");

    hr = query(helper2, &IID_IUnknown, &out);
    check(hr == E_NOINTERFACE && out == sentinel && count_field(helper) == 6,
          "QueryInterface(IID_IUnknown): E_NOINTERFACE, *out untouched, count unchanged");
    check(query(helper, &IID_INdisFilterHelper, NULL) == E_INVALIDARG && count_field(helper) == 6,
          "QueryInterface with a null out pointer: E_INVALIDARG, count unchanged");

    check(release(helper2) == 5 && release(helper) == 4 && release(helper2) == 3 &&
              release(helper) == 2 && release(helper2) == 1,
          "Release through either pointer counts down one shared counter: 5, 4, 3, 2, 1");
    check(heap_blocks_in_use() == blocks + 1, "  ... and the object is still allocated at count 1");
    check(release(helper) == 0 && heap_blocks_in_use() == blocks,
          "last Release returns 0 and frees the object");
    check(can_unload() == S_OK, "DllCanUnloadNow answers S_OK with no object alive");
}

static void check_tables(HMODULE module, LPFNGETCLASSOBJECT get_class_object) {
    void *helper = NULL, *helper2 = NULL;
    void *const *first, *const *second;
    BOOL flag = 7, all_code = TRUE;
    int blocks = heap_blocks_in_use(), slot;

    get_class_object(&CLSID_NULL, &IID_INdisFilterHelper, &helper);
    if (!helper) {
        check(FALSE, "object for the table checks");
        return;
    }
    query(helper, &IID_INdisFilterHelper2, &helper2);
    first = table_of(helper);
    second = table_of(helper2);

    for (slot = 0; slot < 6; slot++) all_code &= in_module_code(module, first[slot]);
    check(all_code, "first table: slots 0 to 5 point into the library's code");
    check(!in_module_code(module, first[6]),
          "first table: nothing after slot 5 (slot 6 is not code)");
    all_code = TRUE;
    for (slot = 0; slot < 9; slot++) all_code &= in_module_code(module, second[slot]);
    check(all_code && first != second,
          "second table: its own table, slots 0 to 8 point into the library's code");

    /* Null flag pointers: every operation fails at once and touches nothing. */
    check(!((install_fn)first[3])(helper, NULL, NULL, &flag) && flag == 7 &&
              !((uninstall_fn)first[4])(helper, NULL),
          "first table slots 3, 4 (Install, Uninstall) with a null flag pointer: FALSE");
    check(!((install_fn)second[3])(helper2, NULL, &flag, NULL) && flag == 7 &&
              !((uninstall_fn)second[4])(helper2, NULL) &&
              !((install_timeout_fn)second[5])(helper2, NULL, 0, NULL, &flag, &flag) &&
              !((install_timeout_fn)second[5])(helper2, NULL, 0, &flag, NULL, &flag) &&
              !((uninstall_timeout_fn)second[6])(helper2, 0, &flag, NULL) &&
              !((install_fn)second[7])(helper2, NULL, NULL, &flag) &&
              !((uninstall_fn)second[8])(helper2, NULL) && flag == 7,
          "second table slots 3 to 8 with a null flag pointer: FALSE, flags untouched");
    check(count_field(helper) == 2, "  ... and the count is unchanged (2)");

    /* Slot 5 of the first table destroys; only bit 0 frees the memory. */
    ((destroy_fn)first[5])(helper, 0);
    check(heap_blocks_in_use() == blocks + 1, "Destroy(0) through slot 5 does not free the object");
    check(add_ref(helper) == 3 && count_field(helper) == 3, "  ... which still answers AddRef (3)");
    release(helper2);
    release(helper);
    check(release(helper) == 0 && heap_blocks_in_use() == blocks,
          "  ... and its last Release frees it");

    helper = NULL;
    get_class_object(&CLSID_NULL, &IID_INdisFilterHelper, &helper);
    if (helper) {
        ((destroy_fn)table_of(helper)[5])(helper, 1);
        check(heap_blocks_in_use() == blocks, "Destroy(1) through slot 5 frees the object");
    }
}

int main(int argc, char **argv) {
    WCHAR path[MAX_PATH];
    LPFNGETCLASSOBJECT get_class_object = NULL;
    LPFNCANUNLOADNOW can_unload = NULL;
    HMODULE module;

    if (argc > 1)
        MultiByteToWideChar(CP_ACP, 0, argv[1], -1, path, MAX_PATH);
    else {
        DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
        WCHAR *slash = length && length < MAX_PATH ? wcsrchr(path, L'\\') : NULL;
        if (!slash) {
            printf("FAIL  cannot locate this program\n0 passed, 1 failed\n");
            return 1;
        }
        lstrcpynW(slash + 1, L"ndisfilter.dll", MAX_PATH - (int)(slash + 1 - path));
    }
    printf("ndisfilter smoke test (%u-bit): %ls\n", (unsigned)(sizeof(void *) * 8), path);

    module = LoadLibraryW(path);
    check(module != NULL, "LoadLibraryW loads the library");
    if (module) {
        check_exports(module, &get_class_object, &can_unload);
        if (get_class_object && can_unload) {
            check(heap_blocks_in_use() >= 0, "the C runtime heap can be walked");
            check_class_object(get_class_object);
            check_identity_and_counts(get_class_object, can_unload);
            check_tables(module, get_class_object);
        }
        check(FreeLibrary(module), "FreeLibrary unloads it");
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
