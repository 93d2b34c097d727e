// ComRef: owns one interface reference and releases it when it goes out of
// scope. Declaring holders in the order references are acquired makes them
// released in reverse order; an empty holder releases nothing.
#pragma once

#include <windows.h>

#include "scoped.h"

namespace ndisfilter {

template <typename Interface>
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): ScopeHolder deletes copy and move
class ComRef : ScopeHolder {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }

    Interface *Get() const { return m_ptr; }
    Interface *operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    // For out-parameters: releases what is held and hands out the slot.
    Interface **Put() {
        Reset();
        return &m_ptr;
    }
    void **PutVoid() { return reinterpret_cast<void **>(Put()); }

    void Reset() {
        Interface *ptr = m_ptr;
        m_ptr = nullptr;
        if (ptr) ptr->Release();
    }

private:
    Interface *m_ptr = nullptr;
};

}  // namespace ndisfilter
