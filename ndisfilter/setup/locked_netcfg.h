// LockedNetConfig: an initialised INetCfg holding the configuration write
// lock, on a thread whose component runtime was initialised for it. Open,
// use and close it on one thread.
#pragma once

#include "netcfg_platform.h"

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

// Scope holder: closes the configuration it holds when it goes out of scope.
class LockedNetConfig {
public:
    LockedNetConfig() = default;
    LockedNetConfig(const LockedNetConfig &) = delete;
    LockedNetConfig &operator=(const LockedNetConfig &) = delete;
    ~LockedNetConfig() { Close(); }

    HRESULT Open(LPWSTR *holderDescription) {
        return OpenLockedNetConfig(&m_config, holderDescription);
    }
    INetCfg *operator->() const { return m_config; }
    INetCfg *Get() const { return m_config; }
    void Close() {
        INetCfg *config = m_config;
        m_config = nullptr;
        if (config) CloseLockedNetConfig(config);  // callers have no use for its result
    }

private:
    INetCfg *m_config = nullptr;
};

}  // namespace ndisfilter
