// CNdisFilter: identity and reference counting, and every slot of both
// tables: slots 3 and 4 forward to setup/, slots 5 to 8 to supervise/.
#include "cndisfilter.h"

#include <new>

#include "setup/install.h"
#include "setup/uninstall.h"
#include "supervise/supervised_ops.h"

CNdisFilter *CNdisFilter::Create() { return new (std::nothrow) CNdisFilter(); }

HRESULT STDMETHODCALLTYPE CNdisFilter::QueryInterface(REFIID iid, void **object) {
    if (!object) return E_INVALIDARG;
    IUnknown *found = nullptr;
    if (IsEqualGUID(iid, IID_INdisFilterHelper))
        found = static_cast<INdisFilterHelper *>(this);
    else if (IsEqualGUID(iid, IID_INdisFilterHelper2))
        found = static_cast<INdisFilterHelper2 *>(this);
    else
        return E_NOINTERFACE;
    *object = found;
    found->AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CNdisFilter::AddRef() { return static_cast<ULONG>(++m_refCount); }

ULONG STDMETHODCALLTYPE CNdisFilter::Release() {
    const LONG count = --m_refCount;
    if (count == 0) Destroy(1);
    return static_cast<ULONG>(count);
}

void STDMETHODCALLTYPE CNdisFilter::Destroy(UINT flags) {
    this->~CNdisFilter();
    if (flags & 1) ::operator delete(this);
}

BOOL STDMETHODCALLTYPE CNdisFilter::Install(LPCWSTR infPath, BOOL *restartRequired,
                                            BOOL *cancelled) {
    return ndisfilter::Install(infPath, restartRequired, cancelled);
}

BOOL STDMETHODCALLTYPE CNdisFilter::Uninstall(BOOL *restartRequired) {
    return ndisfilter::Uninstall(restartRequired);
}

INdisFilterHelper *CNdisFilterSupervisedOps::FirstInterface() {
    return static_cast<CNdisFilter *>(this);
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::InstallWithTimeout(LPCWSTR infPath,
                                                                    DWORD timeoutMs, BOOL *timedOut,
                                                                    BOOL *restartRequired,
                                                                    BOOL *cancelled) {
    return ndisfilter::InstallWithTimeout(FirstInterface(), infPath, timeoutMs, timedOut,
                                          restartRequired, cancelled);
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::UninstallWithTimeout(DWORD timeoutMs,
                                                                      BOOL *timedOut,
                                                                      BOOL *restartRequired) {
    return ndisfilter::UninstallWithTimeout(FirstInterface(), timeoutMs, timedOut, restartRequired);
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::InstallWithRetry(LPCWSTR infPath,
                                                                  BOOL *restartRequired,
                                                                  BOOL *cancelled) {
    return ndisfilter::InstallWithRetry(FirstInterface(), infPath, restartRequired, cancelled);
}

BOOL STDMETHODCALLTYPE CNdisFilterSupervisedOps::UninstallWithRetry(BOOL *restartRequired) {
    return ndisfilter::UninstallWithRetry(FirstInterface(), restartRequired);
}
