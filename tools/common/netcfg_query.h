// Reading the network configuration without changing it and without taking
// its write lock: whether a component is installed, and who holds the lock.
// Print-free; shared by ndisfilterctl's status and failure diagnosis and by
// the installer's custom actions.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ndisfilter::tools {

struct NetCfgQuery {
    // The component: installed, not installed, or unknown (absent) when a
    // step failed.
    std::optional<bool> installed;
    // The write lock: held or free, unknown (absent) when it could not be
    // asked; its holder's description when held.
    std::optional<bool> lockHeld;
    std::wstring lockHolder;
    // The first step that failed ("CoCreateInstance", "Initialize", ...) and
    // its HRESULT; empty and S_OK when every step worked.
    std::wstring failedStep;
    HRESULT failure = S_OK;
    // False when the configuration did not answer in time; failedStep then
    // says how long the read was waited for.
    bool answered = true;
};

// What went wrong, for a line a user reads: "Initialize failed
// (0x8004A020)", "no answer within 5000 ms"; empty when every step worked.
std::wstring DescribeQueryFailure(const NetCfgQuery &query);
// The same for any read of the configuration: its failed step and HRESULT.
std::wstring DescribeStepFailure(const std::wstring &failedStep, HRESULT failure, bool answered);

// Creates the configuration object, asks INetCfgLock::IsWriteLocked, then
// Initialize, FindComponent(componentId), Uninitialize, and releases
// everything. Initialises the component runtime for the call if the calling
// thread has not, and leaves the thread as it found it.
NetCfgQuery QueryNetCfg(const WCHAR *componentId);

// The same on a thread of its own, waited for up to `timeoutMs`: a
// configuration service that does not answer (a hung Initialize) gives an
// unknown, unanswered answer with failedStep "no answer within N ms" and
// HRESULT_FROM_WIN32(ERROR_TIMEOUT) instead of hanging the caller. The thread is left to end
// by itself. The calling thread's component runtime is not touched.
NetCfgQuery QueryNetCfgWithin(const WCHAR *componentId, DWORD timeoutMs);

// How long the hosts wait for a read of the network configuration: as long
// as the library waits for the write lock.
constexpr DWORD kNetCfgQueryTimeoutMs = 5000;

// "0x8007000E" for an HRESULT or error code.
std::wstring HexCode(DWORD code);

}  // namespace ndisfilter::tools
