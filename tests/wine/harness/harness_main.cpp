// Windows test harness for ndisfilter.dll under Wine: runs each scenario,
// prints its name with PASS or FAIL and closes with "N passed, N failed".
//
// Usage: ndisfilter_wine_tests.exe [--builtin] [--skip-slow] [--only TEXT]
//   --builtin    the scenarios for Wine's own network configuration object
//   (default)    the scenarios for the test network configuration server
//   --skip-slow  leaves out the scenario that waits out a 120 s retry limit
//   --only TEXT  runs only scenarios whose name contains TEXT
#include <initguid.h>  // the interface ids are defined here

#include "harness.h"

#include <cguid.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <set>

namespace harness {
namespace {

int g_checks = 0;
int g_failures = 0;
HMODULE g_library = nullptr;
LPFNGETCLASSOBJECT g_getClassObject = nullptr;

// A malloc spy that remembers which blocks were freed.
class FreeSpy final : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMallocSpy)) {
            *out = static_cast<IMallocSpy *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
    void *STDMETHODCALLTYPE PostAlloc(void *block) override { return block; }
    void *STDMETHODCALLTYPE PreFree(void *block, BOOL) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_freed.insert(block);
        return block;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void *block, SIZE_T size, void **out, BOOL) override {
        *out = block;
        return size;
    }
    void *STDMETHODCALLTYPE PostRealloc(void *block, BOOL) override { return block; }
    void *STDMETHODCALLTYPE PreGetSize(void *block, BOOL) override { return block; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void *STDMETHODCALLTYPE PreDidAlloc(void *block, BOOL) override { return block; }
    int STDMETHODCALLTYPE PostDidAlloc(void *, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    bool Freed(const void *block) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_freed.count(const_cast<void *>(block)) != 0;
    }

private:
    std::mutex m_mutex;
    std::set<void *> m_freed;
};

FreeSpy g_spy;
bool g_spyRegistered = false;

bool LoadLibraryUnderTest() {
    const std::wstring path = LibraryPath();
    g_library = LoadLibraryW(path.c_str());
    if (!g_library) return false;
    g_getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(g_library, "DllGetClassObject")));
    return g_getClassObject != nullptr;
}

}  // namespace

bool Expect(bool ok, const char *format, ...) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        char text[1024];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        printf("      failed: %s\n", text);
    }
    return ok;
}

HMODULE Library() { return g_library; }

std::wstring LibraryPath() { return ProgramDirectory() + L"\\ndisfilter.dll"; }

Filter::Filter() {
    void *out = nullptr;
    const HRESULT hr = g_getClassObject(CLSID_NULL, IID_INdisFilterHelper2, &out);
    if (Expect(hr == S_OK && out, "DllGetClassObject(IID_INdisFilterHelper2) = 0x%08lx", hr))
        m_helper2 = static_cast<INdisFilterHelper2 *>(out);
}

Filter::~Filter() {
    if (m_helper2) Expect(m_helper2->Release() == 0, "the object's last Release returns 0");
}

void StartMallocSpy() { g_spyRegistered = SUCCEEDED(CoRegisterMallocSpy(&g_spy)); }

bool TaskMemFreed(const void *block) { return g_spyRegistered && g_spy.Freed(block); }

void CheckVersionResource() {
    const std::wstring path = LibraryPath();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (!Expect(size > 0, "GetFileVersionInfoSizeW: %lu (error %lu)", size, GetLastError())) return;
    std::vector<BYTE> data(size);
    if (!Expect(GetFileVersionInfoW(path.c_str(), 0, size, data.data()), "GetFileVersionInfoW"))
        return;

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    Expect(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) &&
               fixed && fixed->dwSignature == VS_FFI_SIGNATURE && fixed->dwFileType == VFT_DLL,
           "fixed file information of a DLL");

    struct Translation {
        WORD language, codePage;
    } *translation = nullptr;
    if (!Expect(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &length) &&
                    length >= sizeof *translation,
                "a translation entry"))
        return;
    static const struct {
        const wchar_t *key, *expected;
    } kStrings[] = {
        {L"InternalName", L"ndisfilter"},
        {L"OriginalFilename", L"ndisfilter.dll"},
    };
    for (const auto &entry : kStrings) {
        wchar_t query[128];
        swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
                 translation->codePage, entry.key);
        wchar_t *value = nullptr;
        const bool found =
            VerQueryValueW(data.data(), query, reinterpret_cast<void **>(&value), &length) && value;
        Expect(found && !wcscmp(value, entry.expected), "%s = \"%s\" (want \"%s\")",
               Narrow(entry.key).c_str(), found ? Narrow(value).c_str() : "(missing)",
               Narrow(entry.expected).c_str());
    }
}

}  // namespace harness

using namespace harness;

int main(int argc, char **argv) {
    bool builtin = false, skipSlow = false;
    const char *only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--builtin"))
            builtin = true;
        else if (!strcmp(argv[i], "--skip-slow"))
            skipSlow = true;
        else if (!strcmp(argv[i], "--only") && i + 1 < argc)
            only = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--builtin] [--skip-slow] [--only TEXT]\n", argv[0]);
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    SetEnvironmentVariableW(L"FAKE_NETCFG_DIR", FakeStateDirectory().c_str());
    CreateDirectoryW(FakeStateDirectory().c_str(), nullptr);
    StartMallocSpy();

    printf("ndisfilter under Wine, %s network configuration: %s\n",
           builtin ? "Wine's built-in" : "the test server's", Narrow(LibraryPath()).c_str());
    if (!LoadLibraryUnderTest()) {
        printf("FAIL  load the library\n0 passed, 1 failed\n");
        return 1;
    }

    int passed = 0, failed = 0;
    for (const Scenario &scenario : builtin ? kBuiltinScenarios : kFakeScenarios) {
        if (only && !strstr(scenario.name, only)) continue;
        if (scenario.slow && skipSlow) {
            printf("SKIP  %s\n", scenario.name);
            continue;
        }
        const int failuresBefore = g_failures;
        const DWORD started = GetTickCount();
        scenario.run();
        const bool ok = g_failures == failuresBefore;
        printf("%s  %s (%.1f s)\n", ok ? "PASS" : "FAIL", scenario.name,
               (GetTickCount() - started) / 1000.0);
        (ok ? passed : failed)++;
    }
    CleanInfStore();
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
