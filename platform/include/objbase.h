// Host platform layer: the component object runtime.
#pragma once

#include <windows.h>
#include <unknwn.h>

#define CLSCTX_INPROC_SERVER 0x1

#ifdef __cplusplus
extern "C" {
#endif

HRESULT WINAPI CoInitialize(LPVOID reserved);
void WINAPI CoUninitialize(void);
HRESULT WINAPI CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID iid,
                                LPVOID *object);
LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);
void WINAPI CoTaskMemFree(LPVOID block);

/* What an in-process server exports. */
typedef HRESULT(STDMETHODCALLTYPE *LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID *);
typedef HRESULT(STDMETHODCALLTYPE *LPFNCANUNLOADNOW)(void);
HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv);
HRESULT STDMETHODCALLTYPE DllCanUnloadNow(void);

#ifdef __cplusplus
}
#endif
