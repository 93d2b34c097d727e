// The component object behind both interfaces.
#pragma once

#include "ndisfilter.h"

// Slots 5 to 8 are overridden here, in a class whose first base is
// INdisFilterHelper2, rather than in CNdisFilter: g++ (Itanium C++ ABI) would
// otherwise also append every override of a second-base function to the
// first table, which must hold the five operations and Destroy only. They
// forward to supervise/ with the object's first interface.
class CNdisFilterSupervisedOps : public INdisFilterHelper2 {
public:
    BOOL STDMETHODCALLTYPE InstallWithTimeout(LPCWSTR infPath, DWORD timeoutMs, BOOL *timedOut,
                                              BOOL *restartRequired, BOOL *cancelled) override;
    BOOL STDMETHODCALLTYPE UninstallWithTimeout(DWORD timeoutMs, BOOL *timedOut,
                                                BOOL *restartRequired) override;
    BOOL STDMETHODCALLTYPE InstallWithRetry(LPCWSTR infPath, BOOL *restartRequired,
                                            BOOL *cancelled) override;
    BOOL STDMETHODCALLTYPE UninstallWithRetry(BOOL *restartRequired) override;

protected:
    CNdisFilterSupervisedOps() = default;
    ~CNdisFilterSupervisedOps() = default;

private:
    // The same object's INdisFilterHelper, whose Install and Uninstall the
    // workers call.
    INdisFilterHelper *FirstInterface();
};

// Layout: INdisFilterHelper table pointer (the object's address), then the
// INdisFilterHelper2 table pointer, then the reference count. The first table
// is QueryInterface, AddRef, Release, Install, Uninstall, Destroy.
class CNdisFilter final : public INdisFilterHelper, public CNdisFilterSupervisedOps {
public:
    // A new object with a reference count of 0, or null when out of memory.
    static CNdisFilter *Create();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    BOOL STDMETHODCALLTYPE Install(LPCWSTR infPath, BOOL *restartRequired,
                                   BOOL *cancelled) override;
    BOOL STDMETHODCALLTYPE Uninstall(BOOL *restartRequired) override;

    // Slot 5 of the first table: ends the object; bit 0 of flags frees its
    // memory. One slot on every compiler, unlike a virtual destructor.
    virtual void STDMETHODCALLTYPE Destroy(UINT flags);

private:
    CNdisFilter() = default;
    ~CNdisFilter() = default;

    // Plain, not atomic: an object is used from one host thread at a time,
    // and workers never touch the count.
    LONG m_refCount = 0;
};
