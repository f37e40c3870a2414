// The IUnknown plumbing, written once.
//
//   class CWidget final : public platform::ComObject<CWidget, IWidget, IOther> { ... };
//
// ComObject answers QueryInterface for IUnknown, for each listed interface and for the interfaces
// each one extends (an interface names its parent with `using base_interface = IParent;`). The
// reference count is atomic and starts at 0; the last Release deletes the object as the derived
// type. In debug builds a count that would go below zero, or a call on a destroyed object, aborts.
//
// Thread safety: AddRef, Release and QueryInterface may be called from any thread.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

namespace platform {

namespace detail {
template <class Interface>
constexpr bool InterfaceAnswers(REFIID riid)
{
    if (riid == iid_of<Interface>) return true;
    if constexpr (requires { typename Interface::base_interface; }) {
        return InterfaceAnswers<typename Interface::base_interface>(riid);
    } else {
        return false;
    }
}

[[noreturn]] void ComObjectMisuse(const char* what);
}  // namespace detail

template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        CheckAlive();
        if (riid == IID_IUnknown) {
            *ppvObject = static_cast<IUnknown*>(static_cast<First*>(this));
        } else if (!Find<First, Rest...>(riid, ppvObject)) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        CheckAlive();
        return static_cast<ULONG>(m_refCount.fetch_add(1, std::memory_order_relaxed) + 1);
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        static_assert(std::is_final_v<Derived> || std::has_virtual_destructor_v<Derived>,
                      "the last Release deletes the object as Derived: make it final");
        CheckAlive();
        const long remaining = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
#ifndef NDEBUG
        if (remaining < 0) detail::ComObjectMisuse("Release below zero");
#endif
        if (remaining == 0) {
#ifndef NDEBUG
            m_alive = kDestroyed;
#endif
            delete static_cast<Derived*>(this);
        }
        return static_cast<ULONG>(remaining < 0 ? 0 : remaining);
    }

    // The canonical IUnknown of the object.
    IUnknown* GetUnknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

protected:
    ComObject() = default;
    ~ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    ULONG RefCountForTesting() const { return static_cast<ULONG>(m_refCount.load()); }

private:
    template <class I, class... More>
    bool Find(REFIID riid, void** ppvObject)
    {
        if (detail::InterfaceAnswers<I>(riid)) {
            *ppvObject = static_cast<I*>(this);
            return true;
        }
        if constexpr (sizeof...(More) > 0) {
            return Find<More...>(riid, ppvObject);
        } else {
            return false;
        }
    }

    void CheckAlive() const
    {
#ifndef NDEBUG
        if (m_alive != kAlive) detail::ComObjectMisuse("use after destruction");
#endif
    }

    std::atomic<long> m_refCount{0};
#ifndef NDEBUG
    static constexpr unsigned kAlive = 0xA11CE5EDu;
    static constexpr unsigned kDestroyed = 0xDEADC0DEu;
    volatile unsigned m_alive = kAlive;
#endif
};

// Makes an object of a ComObject class and returns the requested interface. A failed allocation
// gives E_OUTOFMEMORY; a failed QueryInterface destroys the object.
template <class T, class... Args>
HRESULT MakeAndQuery(REFIID riid, void** ppv, Args&&... args)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    T* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (object == nullptr) return E_OUTOFMEMORY;
    object->AddRef();
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace platform
PLATFORM_API_END
