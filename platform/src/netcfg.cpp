// The network configuration service: the configuration object (INetCfg,
// INetCfgLock), class objects (INetCfgClass, INetCfgClassSetup) and
// component objects (INetCfgComponent), laid out with the platform's slot
// order by the declarations in netcfgx.h.
//
// Every reference is counted per interface and attributed to the thread that
// obtained it, so that what a terminated thread held can be told apart: it
// stays counted and its object is never freed.
#include "machine_state.h"

#include <netcfgx.h>

#include <algorithm>
#include <array>

#define RPC_E_DISCONNECTED ((HRESULT)0x80010108)

namespace sim {

// GUID_DEVCLASS_NET, _NETTRANS, _NETCLIENT, _NETSERVICE: the classes the
// network configuration serves.
static const GUID kNetworkClasses[] = {
    {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x4d36e975, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x4d36e973, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    {0x4d36e974, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
};

static const wchar_t *const kIfaceNames[] = {L"INetCfg", L"INetCfgLock", L"INetCfgClass",
                                             L"INetCfgClassSetup", L"INetCfgComponent"};

struct SimObject {
    uint64_t generation = TheMachine().generation;
    std::map<std::pair<Iface, ThreadState *>, int> refs;
    int internalHolds = 0;  // other objects that keep this one alive

    virtual ~SimObject() = default;
    virtual void OnDestroyLocked() {}

    int Total() const {
        int total = 0;
        for (const auto &entry : refs) total += entry.second;
        return total;
    }
    // An object of an earlier machine (before a Reset) is disconnected.
    bool Disconnected() const { return generation != TheMachine().generation; }
};

namespace {

std::set<const void *> g_componentFaces;  // live INetCfgComponent pointers

void DestroyLocked(SimObject *object) {
    object->OnDestroyLocked();
    TheMachine().objects.erase(object);
    delete object;
}

void DestroyIfUnusedLocked(SimObject *object) {
    if (object->Total() == 0 && object->internalHolds == 0) DestroyLocked(object);
}

ULONG AddRefLocked(SimObject *object, Iface kind) {
    ++object->refs[{kind, CurrentThreadLocked()}];
    return static_cast<ULONG>(object->Total());
}

// Takes back one reference: preferably one this thread obtained through the
// same interface, else one of a thread still alive, else any.
ULONG ReleaseLocked(SimObject *object, Iface kind) {
    ThreadState *self = CurrentThreadLocked();
    auto pick = object->refs.end();
    auto exact = object->refs.find({kind, self});
    if (exact != object->refs.end() && exact->second > 0) pick = exact;
    for (int pass = 0; pass < 3 && pick == object->refs.end(); ++pass) {
        for (auto it = object->refs.begin(); it != object->refs.end(); ++it) {
            if (it->second <= 0) continue;
            if (pass < 2 && it->first.first != kind) continue;
            if (pass == 0 && it->first.second->terminated) continue;
            pick = it;
            break;
        }
    }
    if (pick == object->refs.end()) return 0;  // over-release: refused
    if (--pick->second == 0) object->refs.erase(pick);
    const int total = object->Total();
    DestroyIfUnusedLocked(object);
    return static_cast<ULONG>(total);
}

ULONG FaceAddRef(SimObject *object, Iface kind) {
    Enter(Call::AddRef, kIfaceNames[static_cast<int>(kind)]);
    LockedMachine m;
    return AddRefLocked(object, kind);
}

ULONG FaceRelease(SimObject *object, Iface kind) {
    Enter(Call::Release, kIfaceNames[static_cast<int>(kind)]);
    LockedMachine m;
    return ReleaseLocked(object, kind);
}

// One interface an object hands out: its id, its kind and the face behind it.
struct FaceEntry {
    const IID *iid;
    Iface kind;
    void *pointer;
};
// The two interfaces of the configuration and class objects; the first also
// answers for IUnknown.
using Faces = std::array<FaceEntry, 2>;

// Hands out the face of `object` that answers `iid`, with a reference taken
// for it; E_NOINTERFACE for any other. Needs the lock.
HRESULT HandOutLocked(SimObject *object, const Faces &faces, REFIID iid, void **out) {
    for (const FaceEntry &face : faces) {
        if (!IsEqualGUID(iid, *face.iid) && !(&face == &faces[0] && IsEqualGUID(iid, IID_IUnknown)))
            continue;
        AddRefLocked(object, face.kind);
        *out = face.pointer;
        return S_OK;
    }
    return E_NOINTERFACE;
}

// A new object handed out as `iid`; destroyed again when it has no such
// interface. Needs the lock.
HRESULT HandOutNewLocked(SimObject *object, const Faces &faces, REFIID iid, void **out) {
    TheMachine().objects.insert(object);
    const HRESULT hr = HandOutLocked(object, faces, iid, out);
    if (hr != S_OK) DestroyLocked(object);
    return hr;
}

// QueryInterface on one of the faces of `object`, logged as `call`.
HRESULT QueryFaces(Call call, SimObject *object, const Faces &faces, REFIID iid, void **out) {
    const std::optional<Answer> answer = Enter(call, GuidText(iid));
    if (!out) return E_POINTER;
    *out = nullptr;
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    return Finish(answer, HandOutLocked(object, faces, iid, out));
}

bool IsNetworkClass(const GUID &guid) {
    return std::any_of(std::begin(kNetworkClasses), std::end(kNetworkClasses),
                       [&](const GUID &c) { return IsEqualGUID(c, guid); });
}

std::vector<Component>::iterator FindIn(std::vector<Component> &components,
                                        const std::wstring &id) {
    return std::find_if(components.begin(), components.end(),
                        [&](const Component &c) { return EqualNoCase(c.id, id); });
}

}  // namespace

// --- Component objects ---------------------------------------------------------

struct ComponentObject final : SimObject {
    struct Face final : INetCfgComponent {
        ComponentObject *self;
        explicit Face(ComponentObject *o) : self(o) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
        ULONG STDMETHODCALLTYPE AddRef() override {
            return FaceAddRef(self, Iface::NetCfgComponent);
        }
        ULONG STDMETHODCALLTYPE Release() override {
            return FaceRelease(self, Iface::NetCfgComponent);
        }
        HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR *name) override { return NotImpl(name); }
        HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR) override { return NotImpl(nullptr); }
        HRESULT STDMETHODCALLTYPE GetHelpText(LPWSTR *text) override { return NotImpl(text); }
        HRESULT STDMETHODCALLTYPE GetId(LPWSTR *id) override;
        HRESULT STDMETHODCALLTYPE GetCharacteristics(LPDWORD) override { return NotImpl(nullptr); }
        HRESULT STDMETHODCALLTYPE GetInstanceGuid(GUID *) override { return NotImpl(nullptr); }
        HRESULT STDMETHODCALLTYPE GetPnpDevNodeId(LPWSTR *id) override { return NotImpl(id); }
        HRESULT STDMETHODCALLTYPE GetClassGuid(GUID *classGuid) override;
        HRESULT STDMETHODCALLTYPE GetBindName(LPWSTR *name) override { return NotImpl(name); }
        HRESULT STDMETHODCALLTYPE GetDeviceStatus(ULONG *) override { return NotImpl(nullptr); }
        HRESULT STDMETHODCALLTYPE OpenParamKey(void **key) override {
            if (key) *key = nullptr;
            return NotImpl(nullptr);
        }
        HRESULT STDMETHODCALLTYPE RaisePropertyUi(HWND, DWORD, IUnknown *) override {
            return NotImpl(nullptr);
        }

        static HRESULT NotImpl(LPWSTR *text) {
            CheckTermination();
            if (text) *text = nullptr;
            return E_NOTIMPL;
        }
    } face{this};
    Component component;

    explicit ComponentObject(Component c) : component(std::move(c)) {
        g_componentFaces.insert(&face);
    }
    void OnDestroyLocked() override { g_componentFaces.erase(&face); }
};

static INetCfgComponent *NewComponentLocked(const Component &component) {
    auto *object = new ComponentObject(component);
    TheMachine().objects.insert(object);
    AddRefLocked(object, Iface::NetCfgComponent);
    return &object->face;
}

HRESULT ComponentObject::Face::QueryInterface(REFIID iid, void **object) {
    CheckTermination();
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_INetCfgComponent))
        return E_NOINTERFACE;
    LockedMachine m;
    AddRefLocked(self, Iface::NetCfgComponent);
    *object = static_cast<INetCfgComponent *>(this);
    return S_OK;
}

HRESULT ComponentObject::Face::GetId(LPWSTR *id) {
    CheckTermination();
    if (!id) return E_POINTER;
    LockedMachine m;
    *id = TaskMemStringLocked(self->component.id);
    return *id ? S_OK : E_OUTOFMEMORY;
}

HRESULT ComponentObject::Face::GetClassGuid(GUID *classGuid) {
    const std::optional<Answer> answer = Enter(Call::ComponentGetClassGuid, self->component.id);
    if (!classGuid) return E_POINTER;
    *classGuid = GUID{};
    if (Failed(answer)) return answer->hresult;
    *classGuid = self->component.classGuid;
    return Finish(answer, S_OK);
}

// --- The configuration object ------------------------------------------------

struct NetCfgObject final : SimObject {
    struct CfgFace final : INetCfg {
        NetCfgObject *self;
        explicit CfgFace(NetCfgObject *o) : self(o) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
            return self->QueryInterface(iid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return FaceAddRef(self, Iface::NetCfg); }
        ULONG STDMETHODCALLTYPE Release() override { return FaceRelease(self, Iface::NetCfg); }
        HRESULT STDMETHODCALLTYPE Initialize(PVOID reserved) override;
        HRESULT STDMETHODCALLTYPE Uninitialize() override;
        HRESULT STDMETHODCALLTYPE Apply() override;
        HRESULT STDMETHODCALLTYPE Cancel() override;
        HRESULT STDMETHODCALLTYPE EnumComponents(const GUID *,
                                                 IEnumNetCfgComponent **components) override {
            CheckTermination();
            if (components) *components = nullptr;
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR infId,
                                                INetCfgComponent **component) override;
        HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID *classGuid, REFIID iid,
                                                   void **object) override;
    } cfg{this};

    struct LockFace final : INetCfgLock {
        NetCfgObject *self;
        explicit LockFace(NetCfgObject *o) : self(o) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
            return self->QueryInterface(iid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return FaceAddRef(self, Iface::NetCfgLock); }
        ULONG STDMETHODCALLTYPE Release() override { return FaceRelease(self, Iface::NetCfgLock); }
        HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD timeoutMs, LPCWSTR clientDescription,
                                                   LPWSTR *holderDescription) override;
        HRESULT STDMETHODCALLTYPE ReleaseWriteLock() override;
        HRESULT STDMETHODCALLTYPE IsWriteLocked(LPWSTR *holderDescription) override;
    } lock{this};

    bool initialized = false;
    std::vector<Component> working;  // the loaded copy that Apply commits

    Faces faces() {
        return {{{&IID_INetCfg, Iface::NetCfg, static_cast<INetCfg *>(&cfg)},
                 {&IID_INetCfgLock, Iface::NetCfgLock, static_cast<INetCfgLock *>(&lock)}}};
    }
    HRESULT QueryInterface(REFIID iid, void **object) {
        return QueryFaces(Call::NetCfgQueryInterface, this, faces(), iid, object);
    }
    bool HoldsLockLocked() const { return TheMachine().lockConfig == this; }
    // Why a change cannot be made now, or S_OK.
    HRESULT ChangeAllowedLocked() const {
        if (Disconnected()) return RPC_E_DISCONNECTED;
        if (!initialized) return NETCFG_E_NOT_INITIALIZED;
        if (!HoldsLockLocked()) return NETCFG_E_NO_WRITE_LOCK;
        return S_OK;
    }
    void OnDestroyLocked() override {
        // Destroyed while holding the write lock: the lock goes with it.
        Machine &m = TheMachine();
        if (m.lockConfig == this) {
            m.lockConfig = nullptr;
            m.lockThread = nullptr;
            m.lockDescription.clear();
            m.changed.notify_all();
        }
    }
};

// --- Class objects -----------------------------------------------------------

struct ClassObject final : SimObject {
    struct ClassFace final : INetCfgClass {
        ClassObject *self;
        explicit ClassFace(ClassObject *o) : self(o) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
            return self->QueryInterface(iid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return FaceAddRef(self, Iface::NetCfgClass); }
        ULONG STDMETHODCALLTYPE Release() override { return FaceRelease(self, Iface::NetCfgClass); }
        HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR infId,
                                                INetCfgComponent **component) override;
        HRESULT STDMETHODCALLTYPE EnumComponents(IEnumNetCfgComponent **components) override {
            CheckTermination();
            if (components) *components = nullptr;
            return E_NOTIMPL;
        }
    } netClass{this};

    struct SetupFace final : INetCfgClassSetup {
        ClassObject *self;
        explicit SetupFace(ClassObject *o) : self(o) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
            return self->QueryInterface(iid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override {
            return FaceAddRef(self, Iface::NetCfgClassSetup);
        }
        ULONG STDMETHODCALLTYPE Release() override {
            return FaceRelease(self, Iface::NetCfgClassSetup);
        }
        HRESULT STDMETHODCALLTYPE SelectAndInstall(HWND, OBO_TOKEN *,
                                                   INetCfgComponent **component) override {
            CheckTermination();
            if (component) *component = nullptr;
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE Install(LPCWSTR infId, OBO_TOKEN *token, DWORD setupFlags,
                                          DWORD upgradeFromBuildNo, LPCWSTR answerFile,
                                          LPCWSTR answerSections,
                                          INetCfgComponent **component) override;
        HRESULT STDMETHODCALLTYPE DeInstall(INetCfgComponent *component, OBO_TOKEN *token,
                                            LPWSTR *references) override;
    } setup{this};

    NetCfgObject *config;  // kept alive by internalHolds
    GUID classGuid;

    ClassObject(NetCfgObject *owner, const GUID &guid) : config(owner), classGuid(guid) {
        ++config->internalHolds;
    }
    Faces faces() {
        return {{{&IID_INetCfgClass, Iface::NetCfgClass, static_cast<INetCfgClass *>(&netClass)},
                 {&IID_INetCfgClassSetup, Iface::NetCfgClassSetup,
                  static_cast<INetCfgClassSetup *>(&setup)}}};
    }
    HRESULT QueryInterface(REFIID iid, void **object) {
        return QueryFaces(Call::ClassQueryInterface, this, faces(), iid, object);
    }
    void OnDestroyLocked() override {
        --config->internalHolds;
        DestroyIfUnusedLocked(config);
    }
};

// --- NetCfgObject --------------------------------------------------------------

HRESULT NetCfgObject::CfgFace::Initialize(PVOID) {
    const std::optional<Answer> answer = Enter(Call::NetCfgInitialize, L"");
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    if (self->Disconnected()) return RPC_E_DISCONNECTED;
    if (self->initialized) return NETCFG_E_ALREADY_INITIALIZED;
    self->working = m->components;
    self->initialized = true;
    return Finish(answer, S_OK);
}

HRESULT NetCfgObject::CfgFace::Uninitialize() {
    const std::optional<Answer> answer = Enter(Call::NetCfgUninitialize, L"");
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    if (self->Disconnected()) return RPC_E_DISCONNECTED;
    if (!self->initialized) return NETCFG_E_NOT_INITIALIZED;
    self->working.clear();
    self->initialized = false;
    return Finish(answer, S_OK);
}

HRESULT NetCfgObject::CfgFace::Apply() {
    const std::optional<Answer> answer = Enter(Call::NetCfgApply, L"");
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    const HRESULT allowed = self->ChangeAllowedLocked();
    if (allowed != S_OK) return allowed;
    m->components = self->working;
    return Finish(answer, S_OK);
}

HRESULT NetCfgObject::CfgFace::Cancel() {
    CheckTermination();
    LockedMachine m;
    if (self->Disconnected()) return RPC_E_DISCONNECTED;
    if (!self->initialized) return NETCFG_E_NOT_INITIALIZED;
    self->working = m->components;
    return S_OK;
}

HRESULT NetCfgObject::CfgFace::FindComponent(LPCWSTR infId, INetCfgComponent **component) {
    const std::optional<Answer> answer =
        Enter(Call::NetCfgFindComponent, infId ? infId : L"(null)");
    if (!component) return E_POINTER;
    *component = nullptr;
    if (Failed(answer)) return answer->hresult;
    if (answer && answer->hresult == S_FALSE) return S_FALSE;  // scripted "absent"
    LockedMachine m;
    if (self->Disconnected()) return RPC_E_DISCONNECTED;
    if (!infId) return E_INVALIDARG;
    if (!self->initialized) return NETCFG_E_NOT_INITIALIZED;
    auto found = FindIn(self->working, infId);
    if (found == self->working.end()) return S_FALSE;
    *component = NewComponentLocked(*found);
    return Finish(answer, S_OK);
}

HRESULT NetCfgObject::CfgFace::QueryNetCfgClass(const GUID *classGuid, REFIID iid, void **object) {
    const std::optional<Answer> answer =
        Enter(Call::NetCfgQueryNetCfgClass,
              (classGuid ? GuidText(*classGuid) : L"(null)") + L" " + GuidText(iid));
    if (!object) return E_POINTER;
    *object = nullptr;
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    if (self->Disconnected()) return RPC_E_DISCONNECTED;
    if (!classGuid || !IsNetworkClass(*classGuid)) return E_INVALIDARG;
    if (!self->initialized) return NETCFG_E_NOT_INITIALIZED;
    auto *created = new ClassObject(self, *classGuid);
    return Finish(answer, HandOutNewLocked(created, created->faces(), iid, object));
}

HRESULT NetCfgObject::LockFace::AcquireWriteLock(DWORD timeoutMs, LPCWSTR clientDescription,
                                                 LPWSTR *holderDescription) {
    wchar_t limit[16];
    swprintf(limit, 16, L"%u", timeoutMs);
    const std::optional<Answer> answer =
        Enter(Call::LockAcquireWriteLock,
              std::wstring(limit) + L" " + (clientDescription ? clientDescription : L"(null)"));
    LockedMachine m;
    m->lockWaitLimits.push_back(timeoutMs);
    if (!holderDescription) return E_POINTER;
    *holderDescription = nullptr;
    if (!clientDescription) return E_POINTER;
    if (Failed(answer)) return answer->hresult;
    if (self->Disconnected()) return RPC_E_DISCONNECTED;
    if (answer && answer->hresult == S_FALSE) {
        // Scripted "held by another client": at once, with a description.
        const bool held = m->lockHeldByTest || m->lockConfig;
        *holderDescription = TaskMemStringLocked(held ? m->lockDescription : L"Another client");
        return S_FALSE;
    }
    if (self->HoldsLockLocked()) return Finish(answer, S_OK);

    // A lock whose owner thread was terminated is abandoned: the next client
    // takes it at once. Otherwise wait, woken early by any release.
    if (!WaitLocked(m.lock(), CurrentThreadLocked(), DeadlineAfter(timeoutMs),
                    [&] { return !WriteLockHeldLocked(*m); })) {
        *holderDescription = TaskMemStringLocked(m->lockDescription);
        return S_FALSE;
    }
    m->lockConfig = self;
    m->lockThread = CurrentThreadLocked();
    m->lockDescription = clientDescription;
    return Finish(answer, S_OK);
}

HRESULT NetCfgObject::LockFace::ReleaseWriteLock() {
    const std::optional<Answer> answer = Enter(Call::LockReleaseWriteLock, L"");
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    if (!self->HoldsLockLocked()) return S_FALSE;
    m->lockConfig = nullptr;
    m->lockThread = nullptr;
    m->lockDescription.clear();
    m->changed.notify_all();
    return Finish(answer, S_OK);
}

HRESULT NetCfgObject::LockFace::IsWriteLocked(LPWSTR *holderDescription) {
    CheckTermination();
    if (!holderDescription) return E_POINTER;
    *holderDescription = nullptr;
    LockedMachine m;
    if (!WriteLockHeldLocked(*m)) return S_FALSE;
    *holderDescription = TaskMemStringLocked(m->lockDescription);
    return S_OK;
}

// --- ClassObject ---------------------------------------------------------------

HRESULT ClassObject::ClassFace::FindComponent(LPCWSTR infId, INetCfgComponent **component) {
    CheckTermination();
    if (!component) return E_POINTER;
    *component = nullptr;
    LockedMachine m;
    NetCfgObject *config = self->config;
    if (self->Disconnected()) return RPC_E_DISCONNECTED;
    if (!infId) return E_INVALIDARG;
    if (!config->initialized) return NETCFG_E_NOT_INITIALIZED;
    auto found = FindIn(config->working, infId);
    if (found == config->working.end() || !IsEqualGUID(found->classGuid, self->classGuid))
        return S_FALSE;
    *component = NewComponentLocked(*found);
    return S_OK;
}

HRESULT ClassObject::SetupFace::Install(LPCWSTR infId, OBO_TOKEN *token, DWORD, DWORD, LPCWSTR,
                                        LPCWSTR, INetCfgComponent **component) {
    const std::optional<Answer> answer = Enter(Call::ClassSetupInstall, infId ? infId : L"(null)");
    if (component) *component = nullptr;
    if (Failed(answer)) return answer->hresult;
    LockedMachine m;
    NetCfgObject *config = self->config;
    if (!infId || !*infId) return E_INVALIDARG;
    if (!token) return E_POINTER;
    const HRESULT allowed = config->ChangeAllowedLocked();
    if (allowed != S_OK) return allowed;
    auto found = FindIn(config->working, infId);
    if (found == config->working.end()) {
        config->working.push_back({infId, self->classGuid});
        found = config->working.end() - 1;
    }
    if (component) *component = NewComponentLocked(*found);
    return Finish(answer, S_OK);
}

HRESULT ClassObject::SetupFace::DeInstall(INetCfgComponent *component, OBO_TOKEN *token,
                                          LPWSTR *references) {
    std::wstring id = L"(unknown)";
    {
        LockedMachine m;
        if (g_componentFaces.count(component))
            id = static_cast<ComponentObject::Face *>(component)->self->component.id;
    }
    const std::optional<Answer> answer = Enter(Call::ClassSetupDeInstall, id);
    if (references) *references = nullptr;
    if (Failed(answer)) return answer->hresult;
    if (!component || !token) return E_POINTER;
    LockedMachine m;
    if (!g_componentFaces.count(component)) return E_INVALIDARG;
    NetCfgObject *config = self->config;
    const HRESULT allowed = config->ChangeAllowedLocked();
    if (allowed != S_OK) return allowed;
    const Component &target = static_cast<ComponentObject::Face *>(component)->self->component;
    auto found = FindIn(config->working, target.id);
    // Absent from this configuration, or of another class: nothing to remove.
    if (found == config->working.end() || !IsEqualGUID(found->classGuid, self->classGuid))
        return E_INVALIDARG;
    config->working.erase(found);
    return Finish(answer, S_OK);
}

// --- Entry points for the runtime and the controls ------------------------

HRESULT CreateNetCfgLocked(REFIID iid, void **object) {
    auto *config = new NetCfgObject;
    return HandOutNewLocked(config, config->faces(), iid, object);
}

int LiveReferencesLocked(std::optional<Iface> iface, bool abandonedOnly) {
    Machine &m = TheMachine();
    int count = 0;
    for (SimObject *object : m.objects) {
        if (object->generation != m.generation) continue;
        for (const auto &[key, n] : object->refs) {
            if (iface && key.first != *iface) continue;
            if (abandonedOnly && !key.second->terminated) continue;
            count += n;
        }
    }
    return count;
}

}  // namespace sim
