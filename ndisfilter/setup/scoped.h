// Scope holders for what the library takes from the platform besides
// interface references (ComRef) and the locked configuration
// (LockedNetConfig): the component runtime's initialisation and the
// process's current directory. Each gives back what it took on every path
// out of its scope.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace ndisfilter {

// The base of every scope holder: what a holder took is given back once, so
// a holder is neither copied nor assigned.
class ScopeHolder {
public:
    ScopeHolder(const ScopeHolder &) = delete;
    ScopeHolder &operator=(const ScopeHolder &) = delete;

protected:
    ScopeHolder() = default;
    ~ScopeHolder() = default;
};

// One initialisation of the component runtime on the calling thread. Made:
// CoInitialize. Gone: CoUninitialize for an initialisation that counts
// (S_OK, or S_FALSE for a thread already initialised), unless HandOver gave
// it to whoever closes what was opened under it.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): ScopeHolder deletes copy and move
class ComRuntimeScope : ScopeHolder {
public:
    ComRuntimeScope() : m_result(CoInitialize(nullptr)) {}
    ~ComRuntimeScope() {
        if (SUCCEEDED(m_result) && !m_handedOver) CoUninitialize();
    }

    HRESULT Result() const { return m_result; }
    void HandOver() { m_handedOver = true; }

private:
    HRESULT m_result;
    bool m_handedOver = false;
};

// A stay in another current directory. Enter saves the current one and
// moves; the scope's end moves back. Only a directory saved whole can be
// restored: Enter refuses, and moves nowhere, otherwise.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): ScopeHolder deletes copy and move
class CurrentDirectoryScope : ScopeHolder {
public:
    ~CurrentDirectoryScope() {
        if (m_saved[0] != L'\0') SetCurrentDirectoryW(m_saved);
    }

    bool Enter(LPCWSTR directory) {
        const DWORD length = GetCurrentDirectoryW(MAX_PATH, m_saved);
        if (length == 0 || length >= MAX_PATH) {
            m_saved[0] = L'\0';
            return false;
        }
        SetCurrentDirectoryW(directory);
        return true;
    }

private:
    WCHAR m_saved[MAX_PATH] = {};
};

}  // namespace ndisfilter
