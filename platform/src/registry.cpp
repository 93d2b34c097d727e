// The registry: keys of HKEY_LOCAL_MACHINE holding DWORD values, in memory.
// HKLM\SOFTWARE has a 64-bit and a 32-bit view; a process sees its own
// unless KEY_WOW64_64KEY or KEY_WOW64_32KEY names one (learn.microsoft.com,
// "Registry Keys Affected by WOW64", "Accessing an Alternate Registry View").
// The calls answer their error and leave the last error alone, as the
// registry functions do.
#include "machine_state.h"

#include <cstring>

using namespace sim;

namespace {

struct RegistryKey {
    std::wstring name;  // "<view> <lower-cased path>"
    REGSAM access;
};

constexpr REGSAM kViews = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

// The key's name in the map: its view ("64" or "32", only under SOFTWARE)
// and its lower-cased path.
std::wstring KeyNameLocked(const Machine &m, const std::wstring &path, REGSAM access) {
    std::wstring lower = LowerCase(path);
    while (!lower.empty() && lower.back() == L'\\') lower.pop_back();
    const bool redirected = lower == L"software" || lower.rfind(L"software\\", 0) == 0;
    const bool view32 = (access & KEY_WOW64_32KEY) || (!(access & KEY_WOW64_64KEY) && m.wow64);
    return std::wstring(redirected && view32 ? L"32 " : L"64 ") + lower;
}

std::wstring AccessText(const wchar_t *subKey, REGSAM access) {
    wchar_t hex[16];
    swprintf(hex, 16, L"%x", access);
    return PathText(subKey) + L" " + hex;
}

// A key given to an entry point: one this layer opened and not closed yet.
RegistryKey *OpenKeyLocked(const Machine &m, HKEY key) {
    return m.registryKeys.count(key) ? static_cast<RegistryKey *>(static_cast<void *>(key))
                                     : nullptr;
}

// Whether a key is named below this one (the map is sorted: they follow it).
bool HasSubkeysLocked(const Machine &m, const std::wstring &name) {
    const auto below = m.registry.lower_bound(name + L"\\");
    return below != m.registry.end() && below->first.rfind(name + L"\\", 0) == 0;
}

// A key exists as an entry of its own or as the parent of one.
bool KeyExistsLocked(const Machine &m, const std::wstring &name) {
    return m.registry.count(name) || HasSubkeysLocked(m, name);
}

// The open key that `key` names and `access` allows: ERROR_INVALID_HANDLE
// for a handle this layer did not give, ERROR_KEY_DELETED once its key was
// deleted (learn.microsoft.com, "RegDeleteKeyExW function": the key is
// removed when its last handle closes; until then its handles fail).
LSTATUS UsableKeyLocked(const Machine &m, HKEY key, REGSAM access, RegistryKey *&open) {
    open = OpenKeyLocked(m, key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (!m.registry.count(open->name)) return ERROR_KEY_DELETED;
    return (open->access & access) == access ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LSTATUS Open(Call call, HKEY root, const wchar_t *subKey, REGSAM access, PHKEY result,
             bool create, LPDWORD disposition) {
    if (const std::optional<Answer> answer = Enter(call, AccessText(subKey, access)))
        return static_cast<LSTATUS>(answer->win32Error);
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    // Both view flags at once are refused (documentation silent: the stricter answer).
    if (root != HKEY_LOCAL_MACHINE || !subKey || (access & kViews) == kViews)
        return ERROR_INVALID_PARAMETER;
    LockedMachine m;
    const std::wstring name = KeyNameLocked(*m, subKey, access);
    const bool exists = KeyExistsLocked(*m, name);
    if (!exists && !create) return ERROR_FILE_NOT_FOUND;
    m->registry[name];
    if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    auto *key = new RegistryKey{name, access};
    m->registryKeys.insert(key);
    *result = static_cast<HKEY>(static_cast<void *>(key));
    return ERROR_SUCCESS;
}

}  // namespace

// RegCreateKeyExW (learn.microsoft.com, "RegCreateKeyExW function"): opens
// the key, creating it (and its parents) when missing.
extern "C" LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR,
                                          DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES,
                                          PHKEY result, LPDWORD disposition) {
    if (reserved || options != REG_OPTION_NON_VOLATILE) {
        CheckTermination();
        return ERROR_INVALID_PARAMETER;
    }
    return Open(Call::RegCreateKeyExW, key, subKey, access, result, true, disposition);
}

// RegOpenKeyExW (learn.microsoft.com, "RegOpenKeyExW function"):
// ERROR_FILE_NOT_FOUND for a key that is not there.
extern "C" LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access,
                                        PHKEY result) {
    return Open(Call::RegOpenKeyExW, key, subKey, access, result, false, nullptr);
}

// RegSetValueExW (learn.microsoft.com, "RegSetValueExW function"): needs
// KEY_SET_VALUE; REG_DWORD of 4 bytes only here.
extern "C" LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type,
                                         const BYTE *data, DWORD size) {
    if (const std::optional<Answer> answer = Enter(Call::RegSetValueExW, PathText(name)))
        return static_cast<LSTATUS>(answer->win32Error);
    LockedMachine m;
    RegistryKey *open = nullptr;
    if (const LSTATUS status = UsableKeyLocked(*m, key, KEY_SET_VALUE, open)) return status;
    if (type != REG_DWORD || size != sizeof(DWORD) || !data) return ERROR_INVALID_PARAMETER;
    DWORD value = 0;
    memcpy(&value, data, sizeof value);
    m->registry[open->name][LowerCase(name ? name : L"")] = value;
    return ERROR_SUCCESS;
}

// RegQueryValueExW (learn.microsoft.com, "RegQueryValueExW function"): needs
// KEY_QUERY_VALUE; ERROR_FILE_NOT_FOUND for a value that is not there,
// ERROR_MORE_DATA (the size needed in *size) for a buffer too small.
extern "C" LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved,
                                           LPDWORD type, BYTE *data, LPDWORD size) {
    if (const std::optional<Answer> answer = Enter(Call::RegQueryValueExW, PathText(name)))
        return static_cast<LSTATUS>(answer->win32Error);
    if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    LockedMachine m;
    RegistryKey *open = nullptr;
    if (const LSTATUS status = UsableKeyLocked(*m, key, KEY_QUERY_VALUE, open)) return status;
    const auto &values = m->registry[open->name];
    const auto found = values.find(LowerCase(name ? name : L""));
    if (found == values.end()) return ERROR_FILE_NOT_FOUND;
    if (type) *type = REG_DWORD;
    if (!size) return ERROR_SUCCESS;
    const DWORD capacity = *size;
    *size = sizeof(DWORD);
    if (!data) return ERROR_SUCCESS;
    if (capacity < sizeof(DWORD)) return ERROR_MORE_DATA;
    memcpy(data, &found->second, sizeof(DWORD));
    return ERROR_SUCCESS;
}

// RegDeleteValueW (learn.microsoft.com, "RegDeleteValueW function"): needs
// KEY_SET_VALUE; ERROR_FILE_NOT_FOUND for a value that is not there.
extern "C" LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name) {
    if (const std::optional<Answer> answer = Enter(Call::RegDeleteValueW, PathText(name)))
        return static_cast<LSTATUS>(answer->win32Error);
    LockedMachine m;
    RegistryKey *open = nullptr;
    if (const LSTATUS status = UsableKeyLocked(*m, key, KEY_SET_VALUE, open)) return status;
    return m->registry[open->name].erase(LowerCase(name ? name : L"")) ? ERROR_SUCCESS
                                                                       : ERROR_FILE_NOT_FOUND;
}

// RegQueryInfoKeyW (learn.microsoft.com, "RegQueryInfoKeyW function"):
// needs KEY_QUERY_VALUE; here the counts of subkeys and values only, every
// other out parameter null.
extern "C" LSTATUS WINAPI RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength,
                                           LPDWORD reserved, LPDWORD subKeys,
                                           LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                           LPDWORD values, LPDWORD maxValueNameLength,
                                           LPDWORD maxValueLength,
                                           LPDWORD securityDescriptorLength,
                                           PFILETIME lastWriteTime) {
    if (const std::optional<Answer> answer = Enter(Call::RegQueryInfoKeyW, L""))
        return static_cast<LSTATUS>(answer->win32Error);
    if (keyClass || classLength || reserved || maxSubKeyLength || maxClassLength ||
        maxValueNameLength || maxValueLength || securityDescriptorLength || lastWriteTime) {
        CheckTermination();
        return ERROR_INVALID_PARAMETER;
    }
    LockedMachine m;
    RegistryKey *open = nullptr;
    if (const LSTATUS status = UsableKeyLocked(*m, key, KEY_QUERY_VALUE, open)) return status;
    if (values) *values = static_cast<DWORD>(m->registry[open->name].size());
    if (subKeys) {
        // Immediate subkeys: names one level below, an implied parent once.
        std::set<std::wstring> children;
        const std::wstring prefix = open->name + L"\\";
        for (const auto &entry : m->registry)
            if (entry.first.rfind(prefix, 0) == 0)
                children.insert(entry.first.substr(prefix.size(),
                                                   entry.first.find(L'\\', prefix.size()) -
                                                       prefix.size()));
        *subKeys = static_cast<DWORD>(children.size());
    }
    return ERROR_SUCCESS;
}

// RegDeleteKeyExW (learn.microsoft.com, "RegDeleteKeyExW function"): the
// key and its values; a key with subkeys cannot be deleted (the function
// answers ERROR_ACCESS_DENIED for it); access names the view only.
extern "C" LSTATUS WINAPI RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM access,
                                          DWORD reserved) {
    if (const std::optional<Answer> answer =
            Enter(Call::RegDeleteKeyExW, AccessText(subKey, access)))
        return static_cast<LSTATUS>(answer->win32Error);
    // Both views at once, or no key named (the root itself): refused.
    if (key != HKEY_LOCAL_MACHINE || !subKey || !*subKey || reserved ||
        (access & kViews) == kViews)
        return ERROR_INVALID_PARAMETER;
    LockedMachine m;
    const std::wstring name = KeyNameLocked(*m, subKey, access);
    if (!KeyExistsLocked(*m, name)) return ERROR_FILE_NOT_FOUND;
    if (HasSubkeysLocked(*m, name)) return ERROR_ACCESS_DENIED;
    m->registry.erase(name);
    return ERROR_SUCCESS;
}

// RegCloseKey (learn.microsoft.com, "RegCloseKey function").
extern "C" LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (const std::optional<Answer> answer = Enter(Call::RegCloseKey, L""))
        return static_cast<LSTATUS>(answer->win32Error);
    LockedMachine m;
    RegistryKey *open = OpenKeyLocked(*m, key);
    if (!open) return ERROR_INVALID_HANDLE;
    m->registryKeys.erase(key);
    delete open;
    return ERROR_SUCCESS;
}

namespace sim {

std::optional<DWORD> RegistryDword(const std::wstring &key, const std::wstring &value,
                                   DWORD view) {
    LockedMachine m;
    const auto found = m->registry.find(KeyNameLocked(*m, key, view));
    if (found == m->registry.end()) return std::nullopt;
    const auto data = found->second.find(LowerCase(value));
    if (data == found->second.end()) return std::nullopt;
    return data->second;
}

void SetRegistryDword(const std::wstring &key, const std::wstring &value, DWORD data,
                      DWORD view) {
    LockedMachine m;
    m->registry[KeyNameLocked(*m, key, view)][LowerCase(value)] = data;
}

int OpenRegistryKeys() {
    LockedMachine m;
    return static_cast<int>(m->registryKeys.size());
}

}  // namespace sim
