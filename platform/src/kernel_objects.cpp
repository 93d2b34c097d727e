// The process: its access token (elevation), its WOW64 state and the
// system's processor. Test controls: sim::SetElevated, sim::SetWow64,
// sim::OpenTokenHandles.
#include "machine_state.h"

using namespace sim;

namespace {

struct TokenObject {
    bool elevated;  // as the process was when the token was opened
};

// The pseudo-handle GetCurrentProcess answers, as on Windows.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

TokenObject *FindTokenLocked(HANDLE handle) {
    Machine &m = TheMachine();
    return m.tokenHandles.count(handle) ? static_cast<TokenObject *>(handle) : nullptr;
}

}  // namespace

namespace sim {

bool CloseTokenHandleLocked(HANDLE handle) {
    Machine &m = TheMachine();
    if (!m.tokenHandles.erase(handle)) return false;
    delete static_cast<TokenObject *>(handle);
    return true;
}

void SetElevated(bool elevated) {
    LockedMachine m;
    m->elevated = elevated;
}

void SetWow64(bool wow64) {
    LockedMachine m;
    m->wow64 = wow64;
}

int OpenTokenHandles() {
    LockedMachine m;
    return static_cast<int>(m->tokenHandles.size());
}

}  // namespace sim

extern "C" HANDLE WINAPI GetCurrentProcess(void) {
    CheckTermination();
    return kCurrentProcess;
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE *token) {
    const std::optional<Answer> answer = Enter(Call::OpenProcessToken, L"");
    if (token) *token = nullptr;
    if (answer) return Fail(answer->win32Error, FALSE);
    if (process != kCurrentProcess || !token || access == 0)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    LockedMachine m;
    auto *object = new TokenObject{m->elevated};
    m->tokenHandles.insert(object);
    *token = object;
    return TRUE;
}

extern "C" BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                           LPVOID info, DWORD size, PDWORD returnedSize) {
    if (EnterFails(Call::GetTokenInformation, L"")) return FALSE;
    LockedMachine m;
    const TokenObject *object = FindTokenLocked(token);
    if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (infoClass != TokenElevation || !returnedSize) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    *returnedSize = sizeof(TOKEN_ELEVATION);
    if (!info || size < sizeof(TOKEN_ELEVATION)) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    static_cast<TOKEN_ELEVATION *>(info)->TokenIsElevated = object->elevated ? 1 : 0;
    return TRUE;
}

extern "C" BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64) {
    if (EnterFails(Call::IsWow64Process, L"")) return FALSE;
    if (process != kCurrentProcess || !wow64) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    LockedMachine m;
    *wow64 = m->wow64 ? TRUE : FALSE;
    return TRUE;
}

// An x64 machine.
extern "C" void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO info) {
    CheckTermination();
    if (!info) return;
    *info = SYSTEM_INFO{};
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    info->dwPageSize = 4096;
    info->dwNumberOfProcessors = 2;
    info->dwAllocationGranularity = 65536;
}
