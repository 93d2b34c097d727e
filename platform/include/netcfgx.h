// Host platform layer: the network configuration interfaces, with the
// platform's slot order, so that a component written against them is laid out
// as on Windows.
#pragma once

#include <objbase.h>

#define NETCFG_E_ALREADY_INITIALIZED MAKE_HRESULT(1, 4, 0xa020)
#define NETCFG_E_NOT_INITIALIZED MAKE_HRESULT(1, 4, 0xa021)
#define NETCFG_E_IN_USE MAKE_HRESULT(1, 4, 0xa022)
#define NETCFG_E_NO_WRITE_LOCK MAKE_HRESULT(1, 4, 0xa024)
#define NETCFG_S_REBOOT MAKE_HRESULT(0, 4, 0xa020)

DEFINE_GUID(IID_INetCfg, 0xc0e8ae93, 0x306e, 0x11d1, 0xaa, 0xcf, 0x00, 0x80, 0x5f, 0xc1, 0x27,
            0x0e);
DEFINE_GUID(IID_INetCfgLock, 0xc0e8ae9f, 0x306e, 0x11d1, 0xaa, 0xcf, 0x00, 0x80, 0x5f, 0xc1, 0x27,
            0x0e);
DEFINE_GUID(IID_INetCfgClass, 0xc0e8ae97, 0x306e, 0x11d1, 0xaa, 0xcf, 0x00, 0x80, 0x5f, 0xc1, 0x27,
            0x0e);
DEFINE_GUID(IID_INetCfgClassSetup, 0xc0e8ae9d, 0x306e, 0x11d1, 0xaa, 0xcf, 0x00, 0x80, 0x5f, 0xc1,
            0x27, 0x0e);
DEFINE_GUID(IID_INetCfgComponent, 0xc0e8ae99, 0x306e, 0x11d1, 0xaa, 0xcf, 0x00, 0x80, 0x5f, 0xc1,
            0x27, 0x0e);
DEFINE_GUID(CLSID_CNetCfg, 0x5b035261, 0x40f9, 0x11d1, 0xaa, 0xec, 0x00, 0x80, 0x5f, 0xc1, 0x27,
            0x0e);

#ifdef __cplusplus
struct INetCfgComponent;
struct IEnumNetCfgComponent;
struct INetCfgComponentBindings;

typedef enum tagOBO_TOKEN_TYPE { OBO_USER = 1, OBO_COMPONENT = 2, OBO_SOFTWARE = 3 } OBO_TOKEN_TYPE;
typedef struct tagOBO_TOKEN {
    OBO_TOKEN_TYPE Type;
    INetCfgComponent *pncc;
    LPCWSTR pszwManufacturer;
    LPCWSTR pszwProduct;
    LPCWSTR pszwDisplayName;
    BOOL fRegistered;
} OBO_TOKEN;

struct INetCfg : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Initialize(PVOID reserved) = 0;
    virtual HRESULT STDMETHODCALLTYPE Uninitialize() = 0;
    virtual HRESULT STDMETHODCALLTYPE Apply() = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumComponents(const GUID *classGuid,
                                                     IEnumNetCfgComponent **components) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR infId,
                                                    INetCfgComponent **component) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID *classGuid, REFIID iid,
                                                       void **object) = 0;

protected:
    ~INetCfg() = default;
};

struct INetCfgLock : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD timeoutMs, LPCWSTR clientDescription,
                                                       LPWSTR *holderDescription) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseWriteLock() = 0;
    virtual HRESULT STDMETHODCALLTYPE IsWriteLocked(LPWSTR *holderDescription) = 0;

protected:
    ~INetCfgLock() = default;
};

struct INetCfgClass : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR infId,
                                                    INetCfgComponent **component) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumComponents(IEnumNetCfgComponent **components) = 0;

protected:
    ~INetCfgClass() = default;
};

struct INetCfgClassSetup : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SelectAndInstall(HWND parent, OBO_TOKEN *token,
                                                       INetCfgComponent **component) = 0;
    virtual HRESULT STDMETHODCALLTYPE Install(LPCWSTR infId, OBO_TOKEN *token, DWORD setupFlags,
                                              DWORD upgradeFromBuildNo, LPCWSTR answerFile,
                                              LPCWSTR answerSections,
                                              INetCfgComponent **component) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeInstall(INetCfgComponent *component, OBO_TOKEN *token,
                                                LPWSTR *references) = 0;

protected:
    ~INetCfgClassSetup() = default;
};

// Microsoft's IEnumNetCfgComponent page: Next answers S_FALSE when fewer
// than asked were left.
struct IEnumNetCfgComponent : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, INetCfgComponent **components,
                                           ULONG *fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumNetCfgComponent **copy) = 0;

protected:
    ~IEnumNetCfgComponent() = default;
};

struct INetCfgComponent : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR *name) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpText(LPWSTR *text) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR *id) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCharacteristics(LPDWORD characteristics) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInstanceGuid(GUID *instanceGuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPnpDevNodeId(LPWSTR *devNodeId) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetClassGuid(GUID *classGuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBindName(LPWSTR *bindName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceStatus(ULONG *status) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenParamKey(void **key) = 0;
    virtual HRESULT STDMETHODCALLTYPE RaisePropertyUi(HWND parent, DWORD flags,
                                                      IUnknown *context) = 0;

protected:
    ~INetCfgComponent() = default;
};
#endif
