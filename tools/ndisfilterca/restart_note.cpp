#include "restart_note.h"

namespace ndisfilter::ca {
namespace {

// The predefined key, once: the SDK defines it as a cast.
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-cstyle-cast): the SDK's macro
const HKEY kLocalMachine = HKEY_LOCAL_MACHINE;

// The open key, closed with its owner.
class NoteKey {
public:
    NoteKey() = default;
    NoteKey(const NoteKey &) = delete;
    NoteKey &operator=(const NoteKey &) = delete;
    ~NoteKey() {
        if (m_key) RegCloseKey(m_key);
    }
    PHKEY Put() { return &m_key; }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

// The key holds the notes and nothing else: once the last is taken it goes
// too, so that a product removed leaves no trace in the registry. A key
// something else has put values or subkeys in stays. Best effort: the note
// is taken whether or not the key could go.
void RemoveKeyIfEmpty(HKEY key) {
    DWORD subKeys = 0, values = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subKeys == 0 && values == 0)
        RegDeleteKeyExW(kLocalMachine, kRestartNoteKey, KEY_WOW64_64KEY, 0);
}

}  // namespace

DWORD WriteRestartNote(const std::wstring &productCode) {
    NoteKey key;
    LSTATUS status =
        RegCreateKeyExW(kLocalMachine, kRestartNoteKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.Put(), nullptr);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    const DWORD one = 1;
    status = RegSetValueExW(key.Get(), productCode.c_str(), 0, REG_DWORD,
                            reinterpret_cast<const BYTE *>(&one), sizeof one);
    return static_cast<DWORD>(status);
}

bool TakeRestartNote(const std::wstring &productCode, DWORD &error) {
    // Read, then removed through a second key opened for it: an immediate
    // action of an install elevated through a consent prompt runs with the
    // user's standard token, which may read HKLM\SOFTWARE but not change it.
    error = ERROR_SUCCESS;
    {
        NoteKey key;
        LSTATUS status = RegOpenKeyExW(kLocalMachine, kRestartNoteKey, 0,
                                       KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Put());
        if (status == ERROR_FILE_NOT_FOUND) return false;  // no note was ever left
        if (status == ERROR_SUCCESS) {
            DWORD type = 0, data = 0, size = sizeof data;
            status = RegQueryValueExW(key.Get(), productCode.c_str(), nullptr, &type,
                                      reinterpret_cast<BYTE *>(&data), &size);
            // Whatever its type and data, the value is the note.
            if (status == ERROR_MORE_DATA) status = ERROR_SUCCESS;
        }
        if (status == ERROR_FILE_NOT_FOUND) return false;
        if (status != ERROR_SUCCESS) {
            error = static_cast<DWORD>(status);
            return false;
        }
    }
    NoteKey key;
    LSTATUS status = RegOpenKeyExW(kLocalMachine, kRestartNoteKey, 0,
                                   KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Put());
    if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.Get(), productCode.c_str());
    if (status == ERROR_SUCCESS) RemoveKeyIfEmpty(key.Get());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        error = static_cast<DWORD>(status);
    return true;
}

}  // namespace ndisfilter::ca
