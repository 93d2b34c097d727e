// LockedNetConfig: an initialised INetCfg holding the configuration write
// lock, on a thread whose component runtime was initialised for it. Open,
// use and close it on one thread.
#pragma once

#include "netcfg_platform.h"
#include "scoped.h"

namespace ndisfilter {

// Sets both outputs to null first. S_OK: *config is a ready LockedNetConfig,
// to be handed to CloseLockedNetConfig. NETCFG_E_NO_WRITE_LOCK: another client
// held the lock, *holderDescription may name it (free it with
// FreeLockHolderDescription). Any other result: nothing is left behind.
HRESULT OpenLockedNetConfig(INetCfg **config, LPWSTR *holderDescription);
// Consumes the reference, releases the lock and the runtime initialisation.
HRESULT CloseLockedNetConfig(INetCfg *config);
// Frees the lock holder's description that a failed open returned.
void FreeLockHolderDescription(HRESULT openResult, LPWSTR holderDescription);

// Scope holder of the lock holder's description (CoTaskMem) that an open
// hands back: freed, as FreeLockHolderDescription does, when it goes.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): ScopeHolder deletes copy and move
class LockHolderDescription : ScopeHolder {
public:
    ~LockHolderDescription() { FreeLockHolderDescription(m_openResult, m_text); }

    LPCWSTR Get() const { return m_text; }
    // Opens `*config` as OpenLockedNetConfig does, keeping the description.
    HRESULT Open(INetCfg **config) {
        FreeLockHolderDescription(m_openResult, m_text);
        m_openResult = OpenLockedNetConfig(config, &m_text);
        return m_openResult;
    }

private:
    LPWSTR m_text = nullptr;
    HRESULT m_openResult = S_OK;
};

// Scope holder: closes the configuration it holds, and frees the lock
// holder's description a failed open handed back, when it goes out of scope.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): ScopeHolder deletes copy and move
class LockedNetConfig : ScopeHolder {
public:
    ~LockedNetConfig() { Close(); }

    HRESULT Open() { return m_holderDescription.Open(&m_config); }
    INetCfg *operator->() const { return m_config; }
    INetCfg *Get() const { return m_config; }
    // Who held the lock when Open answered NETCFG_E_NO_WRITE_LOCK, or null.
    LPCWSTR HolderDescription() const { return m_holderDescription.Get(); }
    void Close() {
        INetCfg *config = m_config;
        m_config = nullptr;
        if (config) CloseLockedNetConfig(config);  // callers have no use for its result
    }

private:
    INetCfg *m_config = nullptr;
    LockHolderDescription m_holderDescription;  // after the config: freed after it closes
};

}  // namespace ndisfilter
