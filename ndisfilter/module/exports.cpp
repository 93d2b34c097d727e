// The exported functions. No class factory, registration or unload bookkeeping:
// a host calls DllGetClassObject directly for the interface it wants.
#include <windows.h>

#include "cndisfilter.h"

STDAPI DllGetClassObject(REFCLSID /*rclsid: every class id is served*/, REFIID riid, LPVOID *ppv) {
    CNdisFilter *filter = CNdisFilter::Create();
    if (!filter) return E_OUTOFMEMORY;
    const HRESULT hr = filter->QueryInterface(riid, ppv);
    if (hr != S_OK) filter->Destroy(1);
    return hr;
}

STDAPI DllCanUnloadNow(void) { return S_OK; }
