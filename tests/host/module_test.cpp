// The component object as a C host sees it: both exports, identity across the
// two interfaces, the shared reference count, the slot layout of both tables
// (read by index), and the object's memory freed exactly once.
#include <ndisfilter.h>
#include <sim/machine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <vector>

#include "sim_fixture.h"
#include "setup/product.h"

extern "C" {
HRESULT c_get_class_object(const GUID *clsid, const GUID *iid, void **out);
HRESULT c_can_unload_now(void);
HRESULT c_query_interface(void *itf, const GUID *iid, void **out);
ULONG c_add_ref(void *itf);
ULONG c_release(void *itf);
BOOL c_install(void *itf, LPCWSTR inf, BOOL *restart, BOOL *cancelled);
BOOL c_uninstall(void *itf, BOOL *restart);
void c_destroy(void *helper, UINT flags);
BOOL c_install_with_timeout(void *helper2, LPCWSTR inf, DWORD ms, BOOL *timedOut, BOOL *restart,
                            BOOL *cancelled);
BOOL c_uninstall_with_timeout(void *helper2, DWORD ms, BOOL *timedOut, BOOL *restart);
BOOL c_install_with_retry(void *helper2, LPCWSTR inf, BOOL *restart, BOOL *cancelled);
BOOL c_uninstall_with_retry(void *helper2, BOOL *restart);
int c_declared_members_match_slots(void *helper, void *helper2);
int c_first_table_slots(void *helper, void *helper2);
}

// Every allocation of the program goes through these, so a test can see which
// block the library allocated and freed, and can make the next nothrow
// allocation fail.
namespace {
std::atomic<int> g_allocations{0};
std::atomic<int> g_frees{0};
std::atomic<void *> g_lastAllocated{nullptr};
std::atomic<void *> g_lastFreed{nullptr};
std::atomic<bool> g_failNothrowNew{false};

void *Allocate(size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (block) {
        g_allocations++;
        g_lastAllocated = block;
    }
    return block;
}
}  // namespace

void *operator new(size_t size) {
    if (void *block = Allocate(size)) return block;
    throw std::bad_alloc();
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    if (g_failNothrowNew.exchange(false)) return nullptr;
    return Allocate(size);
}
void operator delete(void *block) noexcept {
    if (!block) return;
    g_frees++;
    g_lastFreed = block;
    std::free(block);
}
void operator delete(void *block, size_t) noexcept { operator delete(block); }

namespace {

constexpr GUID kNullGuid = {};
constexpr GUID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kIidClassFactory = {0x00000001, 0x0000, 0x0000, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kOtherId = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
// Both interface ids differ from this in one byte only: ids compare whole.
constexpr GUID kNearHelper = {
    0x561b6980, 0xa9e8, 0x424d, {0xb5, 0xe1, 0x1f, 0x8f, 0x68, 0xc9, 0x46, 0x60}};

void *const kUntouched = reinterpret_cast<void *>(0x5a5a5a5a);

// A memory checker that replaces operator new itself (valgrind) bypasses
// the hooks above; it then checks frees and leaks on its own, and the
// assertions on the hooks' counters are left out.
bool HooksActive() {
    static const bool active = [] {
        void *block = ::operator new(1);
        const bool seen = g_lastAllocated == block;
        ::operator delete(block);
        return seen;
    }();
    return active;
}
#define EXPECT_HEAP_EQ(expected, actual) \
    do {                                 \
        if (HooksActive()) {             \
            EXPECT_EQ(expected, actual); \
        }                                \
    } while (0)

// Counts what a step allocated and freed.
struct HeapWatch {
    HeapWatch() : active(HooksActive()), allocations(g_allocations), frees(g_frees) {}
    int Allocated() const { return g_allocations - allocations; }
    int Freed() const { return g_frees - frees; }
    bool active;  // settled before the counts are taken
    int allocations, frees;
};

void *NewObject(const GUID &iid) {
    void *itf = nullptr;
    EXPECT_EQ(S_OK, c_get_class_object(&kNullGuid, &iid, &itf));
    return itf;
}

TEST(ComponentObject, DllGetClassObjectServesAnyClassIdAndOnlyTheTwoInterfaces) {
    for (const GUID *clsid : {&kNullGuid, &kOtherId, &IID_INdisFilterHelper}) {
        for (const GUID *iid : {&IID_INdisFilterHelper, &IID_INdisFilterHelper2}) {
            HeapWatch heap;
            void *itf = kUntouched;
            ASSERT_EQ(S_OK, c_get_class_object(clsid, iid, &itf));
            EXPECT_HEAP_EQ(1, heap.Allocated());
            void *object = g_lastAllocated;
            const size_t offset = (iid == &IID_INdisFilterHelper) ? 0 : sizeof(void *);
            EXPECT_HEAP_EQ(static_cast<void *>(static_cast<char *>(object) + offset), itf);
            EXPECT_EQ(S_OK, c_can_unload_now());
            EXPECT_EQ(0u, c_release(itf));  // the caller held the only reference
            EXPECT_HEAP_EQ(1, heap.Freed());
            EXPECT_HEAP_EQ(object, g_lastFreed);
        }
    }

    // Refused ids and a null out pointer: the object made for the call is
    // destroyed before the error returns, and *out is left as it was.
    const struct {
        const GUID *iid;
        bool nullOut;
        HRESULT result;
    } refusals[] = {
        {&kIidUnknown, false, E_NOINTERFACE},
        {&kIidClassFactory, false, E_NOINTERFACE},
        {&kOtherId, false, E_NOINTERFACE},
        {&kNearHelper, false, E_NOINTERFACE},
        {&IID_INdisFilterHelper, true, E_INVALIDARG},
        {&IID_INdisFilterHelper2, true, E_INVALIDARG},
    };
    for (const auto &refusal : refusals) {
        HeapWatch heap;
        void *itf = kUntouched;
        EXPECT_EQ(refusal.result,
                  c_get_class_object(&kNullGuid, refusal.iid, refusal.nullOut ? nullptr : &itf));
        EXPECT_EQ(kUntouched, itf);
        EXPECT_HEAP_EQ(1, heap.Allocated());
        EXPECT_HEAP_EQ(1, heap.Freed());
        EXPECT_HEAP_EQ(g_lastAllocated.load(), g_lastFreed.load());
    }

    // No memory for the object: nothing handed out.
    if (!HooksActive()) return;
    void *itf = kUntouched;
    g_failNothrowNew = true;
    EXPECT_EQ(E_OUTOFMEMORY, c_get_class_object(&kNullGuid, &IID_INdisFilterHelper, &itf));
    g_failNothrowNew = false;
    EXPECT_EQ(kUntouched, itf);
    EXPECT_EQ(S_OK, c_can_unload_now());
}

TEST(ComponentObject, BothInterfacesShareOneIdentityAndOneCount) {
    HeapWatch heap;
    void *helper2 = NewObject(IID_INdisFilterHelper2);
    void *other = NewObject(IID_INdisFilterHelper);
    ASSERT_TRUE(helper2 && other);

    void *helper = kUntouched;
    ASSERT_EQ(S_OK, c_query_interface(helper2, &IID_INdisFilterHelper, &helper));
    EXPECT_EQ(static_cast<char *>(helper2) - sizeof(void *), helper);
    EXPECT_EQ(3u, c_add_ref(helper));  // 1 from creation, 1 from the query
    EXPECT_EQ(4u, c_add_ref(helper2));
    void *again = nullptr;
    ASSERT_EQ(S_OK, c_query_interface(helper, &IID_INdisFilterHelper2, &again));
    EXPECT_EQ(helper2, again);
    ASSERT_EQ(S_OK, c_query_interface(helper, &IID_INdisFilterHelper, &again));
    EXPECT_EQ(helper, again);
    EXPECT_EQ(7u, c_add_ref(helper2));

    // Refusals through either interface leave the count and *out alone.
    for (void *itf : {helper, helper2}) {
        void *out = kUntouched;
        EXPECT_EQ(E_NOINTERFACE, c_query_interface(itf, &kIidUnknown, &out));
        EXPECT_EQ(E_NOINTERFACE, c_query_interface(itf, &kIidClassFactory, &out));
        EXPECT_EQ(kUntouched, out);
        EXPECT_EQ(E_INVALIDARG, c_query_interface(itf, &IID_INdisFilterHelper, nullptr));
    }
    EXPECT_EQ(8u, c_add_ref(helper));

    // A second object keeps its own count.
    EXPECT_EQ(2u, c_add_ref(other));
    EXPECT_EQ(1u, c_release(other));
    EXPECT_EQ(0u, c_release(other));
    EXPECT_HEAP_EQ(1, heap.Freed());

    for (ULONG expected = 7; expected > 0; --expected)
        EXPECT_EQ(expected, c_release(expected % 2 ? helper : helper2));
    EXPECT_HEAP_EQ(1, heap.Freed());
    EXPECT_EQ(0u, c_release(helper2));
    EXPECT_HEAP_EQ(2, heap.Freed());
    EXPECT_HEAP_EQ(helper, g_lastFreed);
    EXPECT_HEAP_EQ(2, heap.Allocated());
}

TEST(ComponentObject, FirstTableHoldsTheFiveOperationsAndDestroyOnly) {
    // Overrides of the second interface's slots 5 to 8 appended to the first
    // table would make it ten slots long, and a C host would see a table
    // that is not the one declared.
    void *helper = NewObject(IID_INdisFilterHelper);
    void *helper2 = nullptr;
    ASSERT_EQ(S_OK, c_query_interface(helper, &IID_INdisFilterHelper2, &helper2));
    EXPECT_EQ(static_cast<char *>(helper) + sizeof(void *), helper2);
    EXPECT_EQ(6, c_first_table_slots(helper, helper2));
    EXPECT_EQ(1u, c_release(helper2));
    EXPECT_EQ(0u, c_release(helper));
}

TEST(ComponentObject, FirstTableSlotFiveDestroysAndBitZeroFrees) {
    void *helper = NewObject(IID_INdisFilterHelper);
    void *helper2 = nullptr;
    ASSERT_EQ(S_OK, c_query_interface(helper, &IID_INdisFilterHelper2, &helper2));
    EXPECT_EQ(1, c_declared_members_match_slots(helper, helper2));

    for (UINT flags : {0u, 2u, 0xFFFFFFFEu}) {
        SCOPED_TRACE(flags);
        HeapWatch heap;
        void *object = NewObject(IID_INdisFilterHelper);
        c_destroy(object, flags);
        EXPECT_HEAP_EQ(0, heap.Freed());
        ::operator delete(object);
    }
    for (UINT flags : {1u, 3u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(flags);
        HeapWatch heap;
        void *object = NewObject(IID_INdisFilterHelper);
        c_destroy(object, flags);
        EXPECT_HEAP_EQ(1, heap.Freed());
        EXPECT_HEAP_EQ(object, g_lastFreed);
    }

    // Destroy ignores the count: two references, one call, gone.
    HeapWatch heap;
    c_destroy(helper, 1);
    EXPECT_HEAP_EQ(1, heap.Freed());
    EXPECT_HEAP_EQ(helper, g_lastFreed);
}

// --- Operations on the simulated machine ------------------------------------

class ComponentObjectOnMachine : public SimMachineTest {
protected:
    static void WriteWindowsFile(const std::wstring &windowsPath, const std::string &text) {
        const std::filesystem::path file = sim::HostPath(windowsPath);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    // Calls and what they were given, without thread ids.
    static std::vector<std::wstring> CallTrace() {
        std::vector<std::wstring> trace;
        for (const sim::CallRecord &record : sim::CallLog()) {
            const char *name = sim::CallName(record.call);
            trace.push_back(std::wstring(name, name + strlen(name)) + L"(" + record.detail +
                            L") in " + record.currentDirectory);
        }
        return trace;
    }
};

TEST_F(ComponentObjectOnMachine, NullFlagPointersFailEverySlotWithoutPlatformCalls) {
    void *helper = NewObject(IID_INdisFilterHelper);
    void *helper2 = nullptr;
    ASSERT_EQ(S_OK, c_query_interface(helper, &IID_INdisFilterHelper2, &helper2));
    const LPCWSTR inf = L"D:\\drivers\\pkg\\DorvaneV.inf";

    BOOL a = 7, b = 7;
    for (void *itf : {helper, helper2}) {
        EXPECT_FALSE(c_install(itf, inf, nullptr, &a));
        EXPECT_FALSE(c_install(itf, nullptr, &a, nullptr));
        EXPECT_FALSE(c_install(itf, nullptr, nullptr, nullptr));
        EXPECT_FALSE(c_uninstall(itf, nullptr));
    }
    EXPECT_FALSE(c_install_with_timeout(helper2, inf, 1000, nullptr, &a, &b));
    EXPECT_FALSE(c_install_with_timeout(helper2, inf, 1000, &a, nullptr, &b));
    EXPECT_FALSE(c_install_with_timeout(helper2, nullptr, 1000, &a, &b, nullptr));
    EXPECT_FALSE(c_uninstall_with_timeout(helper2, 1000, nullptr, &a));
    EXPECT_FALSE(c_uninstall_with_timeout(helper2, 1000, &a, nullptr));
    EXPECT_FALSE(c_install_with_retry(helper2, inf, nullptr, &a));
    EXPECT_FALSE(c_install_with_retry(helper2, inf, &a, nullptr));
    EXPECT_FALSE(c_uninstall_with_retry(helper2, nullptr));

    EXPECT_EQ(7, a);
    EXPECT_EQ(7, b);
    EXPECT_TRUE(sim::CallLog().empty()) << sim::CallName(sim::CallLog().front().call);
    EXPECT_EQ(0, sim::ThreadsStarted());
    EXPECT_EQ(1u, c_release(helper2));
    EXPECT_EQ(0u, c_release(helper));
}

TEST_F(ComponentObjectOnMachine, SecondTableRunsTheFirstTablesInstallAndUninstall) {
    // Each interface installs from the same INF and then uninstalls on a
    // fresh machine; the platform must see the very same calls.
    const std::string root = sim::RootFolder();
    std::vector<std::wstring> traces[2];
    BOOL results[2][4] = {};
    for (int second = 0; second < 2; ++second) {
        sim::Reset(root + (second ? "/second" : "/first"));
        WriteWindowsFile(L"D:\\drivers\\pkg\\DorvaneV.inf",
                         "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n");
        void *itf = NewObject(second ? IID_INdisFilterHelper2 : IID_INdisFilterHelper);
        BOOL *r = results[second];
        r[0] = c_install(itf, L"D:\\drivers\\pkg\\DorvaneV.inf", &r[1], &r[2]);
        EXPECT_TRUE(sim::ComponentInstalled(ndisfilter::kComponentId));
        r[3] = c_uninstall(itf, &r[1]);
        EXPECT_FALSE(sim::ComponentInstalled(ndisfilter::kComponentId));
        EXPECT_EQ(0u, c_release(itf));
        traces[second] = CallTrace();
        EXPECT_EQ(0, sim::LiveReferences());
        EXPECT_FALSE(sim::WriteLockHeld());
    }
    EXPECT_EQ(TRUE, results[0][0]);
    EXPECT_EQ(TRUE, results[0][3]);
    EXPECT_EQ(std::vector<BOOL>(results[0], results[0] + 4),
              std::vector<BOOL>(results[1], results[1] + 4));
    EXPECT_GT(traces[0].size(), 10u);
    EXPECT_EQ(traces[0], traces[1]);
}

}  // namespace
