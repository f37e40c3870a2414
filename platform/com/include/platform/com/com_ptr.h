// A counted reference to a COM interface: releases on every way out.
//
// Thread safety: one ComPtr is not safe for concurrent mutation; the object it points to follows
// its own rules.
#pragma once

#include <utility>

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

namespace platform {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    explicit ComPtr(T* p) : m_p(p) { if (m_p) m_p->AddRef(); }
    ComPtr(const ComPtr& other) : m_p(other.m_p) { if (m_p) m_p->AddRef(); }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other)
    {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t)
    {
        Reset();
        return *this;
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // Releases the current reference and returns the slot for an out-parameter.
    T** ReleaseAndGetAddressOf()
    {
        Reset();
        return &m_p;
    }
    T** GetAddressOf() { return &m_p; }

    // Takes over a reference without adding one.
    void Attach(T* p)
    {
        Reset();
        m_p = p;
    }
    // Gives up the reference without releasing it.
    [[nodiscard]] T* Detach() { return std::exchange(m_p, nullptr); }

    void Reset()
    {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }

    void Swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

    template <class U>
    HRESULT As(ComPtr<U>* out) const
    {
        if (m_p == nullptr) return E_POINTER;
        return m_p->QueryInterface(iid_of<U>, reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
    }

    HRESULT CopyTo(T** out) const
    {
        if (out == nullptr) return E_POINTER;
        *out = m_p;
        if (m_p) m_p->AddRef();
        return S_OK;
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.m_p == b.m_p; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.m_p == nullptr; }

private:
    T* m_p = nullptr;
};

}  // namespace platform
PLATFORM_API_END
