// The component object runtime: per-thread initialisation, creation of the
// one class it serves (the network configuration object), and task memory
// whose outstanding blocks are counted.
#include "machine_state.h"

#include <objbase.h>
#include <netcfgx.h>

#include <stdlib.h>
#include <string.h>

namespace sim {

void *TaskMemAllocLocked(size_t bytes) {
    void *block = malloc(bytes ? bytes : 1);
    if (block) TheMachine().taskMem[block] = TheMachine().generation;
    return block;
}

LPWSTR TaskMemStringLocked(const std::wstring &text) {
    auto *copy = static_cast<LPWSTR>(TaskMemAllocLocked((text.size() + 1) * sizeof(WCHAR)));
    if (copy) memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return copy;
}

}  // namespace sim

using namespace sim;

extern "C" HRESULT WINAPI CoInitialize(LPVOID reserved) {
    const std::optional<Answer> answer = Enter(Call::CoInitialize, reserved ? L"reserved" : L"");
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    int &count = m->runtimeInit[CurrentThreadLocked()->id];
    const HRESULT hr = count++ == 0 ? S_OK : S_FALSE;
    return answer ? answer->hresult : hr;
}

extern "C" void WINAPI CoUninitialize(void) {
    Enter(Call::CoUninitialize, L"");
    LockedMachine m;
    auto it = m->runtimeInit.find(CurrentThreadLocked()->id);
    if (it != m->runtimeInit.end() && it->second > 0) --it->second;
}

extern "C" HRESULT WINAPI CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context,
                                           REFIID iid, LPVOID *object) {
    const std::optional<Answer> answer =
        Enter(Call::CoCreateInstance, GuidText(clsid) + L" " + GuidText(iid));
    if (!object) return E_POINTER;
    *object = nullptr;
    if (Failed(answer)) return answer->hresult;

    LockedMachine m;
    auto init = m->runtimeInit.find(CurrentThreadLocked()->id);
    if (init == m->runtimeInit.end() || init->second == 0) return CO_E_NOTINITIALIZED;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (!IsEqualGUID(clsid, CLSID_CNetCfg) || !(context & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    return Finish(answer, CreateNetCfgLocked(iid, object));
}

extern "C" LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) {
    CheckTermination();
    LockedMachine m;
    return TaskMemAllocLocked(size);
}

extern "C" void WINAPI CoTaskMemFree(LPVOID block) {
    wchar_t detail[32];
    swprintf(detail, 32, L"%p", block);
    Enter(Call::CoTaskMemFree, detail);
    if (!block) return;
    LockedMachine m;
    // A block the runtime did not hand out is not freed: the real heap
    // would be corrupted, the simulation just refuses.
    if (m->taskMem.erase(block)) free(block);
}
