/*
 * ndisfilter.dll public interface.
 *
 * A host loads the library, calls DllGetClassObject with the id of one of the
 * two interfaces below and owns the single reference it gets back. Usable from
 * C++ (abstract interfaces) and from C (vtable structs reached via lpVtbl), as
 * platform component headers are.
 *
 * Every operation of slots 3 to 8 answers TRUE or FALSE and reports through
 * caller-owned 32-bit flags; a null flag pointer fails the call at once.
 *
 * The interface ids are declared with DEFINE_GUID, as in the platform's own
 * headers: exactly one source file of a host defines them by including
 * <initguid.h> before this header; every other file includes this header alone.
 */
#ifndef NDISFILTER_H
#define NDISFILTER_H

#include <windows.h>
#include <objbase.h>

/* {561B6980-A9E8-424D-B5E1-1F8F68C94661} */
DEFINE_GUID(IID_INdisFilterHelper, 0x561b6980, 0xa9e8, 0x424d, 0xb5, 0xe1, 0x1f, 0x8f, 0x68, 0xc9,
            0x46, 0x61);
/* {F33EAE5F-7683-45C1-BCF2-3953EBC2892E} */
DEFINE_GUID(IID_INdisFilterHelper2, 0xf33eae5f, 0x7683, 0x45c1, 0xbc, 0xf2, 0x39, 0x53, 0xeb, 0xc2,
            0x89, 0x2e);

#if defined(__cplusplus) && !defined(CINTERFACE)

struct INdisFilterHelper : public IUnknown {
    /* Slot 3. infPath may be null: "DorvaneV.inf" beside the host executable. */
    virtual BOOL STDMETHODCALLTYPE Install(LPCWSTR infPath, BOOL *restartRequired,
                                           BOOL *cancelled) = 0;
    /* Slot 4. */
    virtual BOOL STDMETHODCALLTYPE Uninstall(BOOL *restartRequired) = 0;
};

/* Does not derive from INdisFilterHelper: it repeats slots 3 and 4. */
struct INdisFilterHelper2 : public IUnknown {
    virtual BOOL STDMETHODCALLTYPE Install(LPCWSTR infPath, BOOL *restartRequired,
                                           BOOL *cancelled) = 0;
    virtual BOOL STDMETHODCALLTYPE Uninstall(BOOL *restartRequired) = 0;
    /* Slots 5 to 8: the work runs on a worker thread abandoned after
       timeoutMs (INFINITE waits without limit); the Retry forms allow each
       attempt two minutes and try once more after a timeout. */
    virtual BOOL STDMETHODCALLTYPE InstallWithTimeout(LPCWSTR infPath, DWORD timeoutMs,
                                                      BOOL *timedOut, BOOL *restartRequired,
                                                      BOOL *cancelled) = 0;
    virtual BOOL STDMETHODCALLTYPE UninstallWithTimeout(DWORD timeoutMs, BOOL *timedOut,
                                                        BOOL *restartRequired) = 0;
    virtual BOOL STDMETHODCALLTYPE InstallWithRetry(LPCWSTR infPath, BOOL *restartRequired,
                                                    BOOL *cancelled) = 0;
    virtual BOOL STDMETHODCALLTYPE UninstallWithRetry(BOOL *restartRequired) = 0;
};

#else /* C */

typedef struct INdisFilterHelper INdisFilterHelper;
typedef struct INdisFilterHelper2 INdisFilterHelper2;

/* Slots 0 to 4, which both tables begin with, for the interface type Itf. */
#define NDISFILTER_SLOTS_0_TO_4(Itf)                                                       \
    HRESULT(STDMETHODCALLTYPE *QueryInterface)(Itf * This, REFIID riid, void **ppvObject); \
    ULONG(STDMETHODCALLTYPE *AddRef)(Itf * This);                                          \
    ULONG(STDMETHODCALLTYPE *Release)(Itf * This);                                         \
    BOOL(STDMETHODCALLTYPE *Install)(Itf * This, LPCWSTR infPath, BOOL * restartRequired,  \
                                     BOOL * cancelled);                                    \
    BOOL(STDMETHODCALLTYPE *Uninstall)(Itf * This, BOOL * restartRequired);

typedef struct INdisFilterHelperVtbl {
    BEGIN_INTERFACE
    NDISFILTER_SLOTS_0_TO_4(INdisFilterHelper)
    END_INTERFACE
} INdisFilterHelperVtbl;

struct INdisFilterHelper {
    CONST_VTBL INdisFilterHelperVtbl *lpVtbl;
};

typedef struct INdisFilterHelper2Vtbl {
    BEGIN_INTERFACE
    NDISFILTER_SLOTS_0_TO_4(INdisFilterHelper2)
    BOOL(STDMETHODCALLTYPE *InstallWithTimeout)(INdisFilterHelper2 *This, LPCWSTR infPath,
                                                DWORD timeoutMs, BOOL *timedOut,
                                                BOOL *restartRequired, BOOL *cancelled);
    BOOL(STDMETHODCALLTYPE *UninstallWithTimeout)(INdisFilterHelper2 *This, DWORD timeoutMs,
                                                  BOOL *timedOut, BOOL *restartRequired);
    BOOL(STDMETHODCALLTYPE *InstallWithRetry)(INdisFilterHelper2 *This, LPCWSTR infPath,
                                              BOOL *restartRequired, BOOL *cancelled);
    BOOL(STDMETHODCALLTYPE *UninstallWithRetry)(INdisFilterHelper2 *This, BOOL *restartRequired);
    END_INTERFACE
} INdisFilterHelper2Vtbl;

#undef NDISFILTER_SLOTS_0_TO_4

struct INdisFilterHelper2 {
    CONST_VTBL INdisFilterHelper2Vtbl *lpVtbl;
};

#endif

/* Exported entry points, declared by <objbase.h> as for every in-process
   server: DllGetClassObject (ordinal 2; the class id is not examined) and
   DllCanUnloadNow (ordinal 1). Hosts reach them with GetProcAddress and the
   LPFNGETCLASSOBJECT / LPFNCANUNLOADNOW types. */

#endif /* NDISFILTER_H */
