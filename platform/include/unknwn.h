// Host platform layer: IUnknown, in the platform's C++ and C forms.
#pragma once

#include <windows.h>

DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

#if defined(__cplusplus) && !defined(CINTERFACE)
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    // Interfaces are never deleted through a pointer to them; Release does it.
    ~IUnknown() = default;
};
#else
typedef struct IUnknown IUnknown;
typedef struct IUnknownVtbl {
    HRESULT(STDMETHODCALLTYPE *QueryInterface)(IUnknown *This, REFIID iid, void **object);
    ULONG(STDMETHODCALLTYPE *AddRef)(IUnknown *This);
    ULONG(STDMETHODCALLTYPE *Release)(IUnknown *This);
} IUnknownVtbl;
struct IUnknown {
    CONST_VTBL IUnknownVtbl *lpVtbl;
};
#endif
typedef IUnknown *LPUNKNOWN;
