// The storage of a collection's items, in order: the first kInline of them live in the collection
// object itself, more in a std::vector. Most values sets and key collections hold a few items, and
// then cost no allocation beyond the object.
//
// Thread safety: none; the collection guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform::detail {

template <class T, std::size_t kInline>
class InlineVector {
    static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>);

public:
    InlineVector() = default;
    // Takes over the items: a few are moved in place, more keep the vector's storage.
    explicit InlineVector(std::vector<T>&& items) noexcept
    {
        if (items.size() > kInline) {
            m_heap = std::move(items);
            m_onHeap = true;
        } else {
            for (T& item : items) EmplaceInline(std::move(item));
        }
        items.clear();
    }
    InlineVector(InlineVector&& other) noexcept { TakeFrom(other); }
    InlineVector& operator=(InlineVector&& other) noexcept
    {
        if (this != &other) {
            Reset();
            TakeFrom(other);
        }
        return *this;
    }
    InlineVector(const InlineVector&) = delete;
    InlineVector& operator=(const InlineVector&) = delete;
    ~InlineVector() { Reset(); }

    std::size_t size() const { return m_onHeap ? m_heap.size() : m_inlineSize; }
    bool empty() const { return size() == 0; }
    T* begin() { return m_onHeap ? m_heap.data() : Inline(); }
    T* end() { return begin() + size(); }
    const T* begin() const { return const_cast<InlineVector*>(this)->begin(); }
    const T* end() const { return begin() + size(); }
    T& operator[](std::size_t index) { return begin()[index]; }
    const T& operator[](std::size_t index) const { return begin()[index]; }

    // Room for `count` items. May throw std::bad_alloc; the items are kept then.
    void reserve(std::size_t count)
    {
        if (count > kInline || m_onHeap) MoveToHeap(count);
    }
    void push_back(const T& item) { push_back(T(item)); }
    // May throw std::bad_alloc; `item` is kept then.
    void push_back(T&& item)
    {
        if (!m_onHeap && m_inlineSize < kInline) {
            EmplaceInline(std::move(item));
            return;
        }
        if (!m_onHeap) MoveToHeap(2 * kInline);
        m_heap.push_back(std::move(item));
    }
    void clear() noexcept { Reset(); }
    void erase(T* position)
    {
        if (m_onHeap) {
            m_heap.erase(m_heap.begin() + (position - m_heap.data()));
            return;
        }
        std::move(position + 1, end(), position);
        std::destroy_at(&Inline()[--m_inlineSize]);
    }

private:
    T* Inline() { return std::launder(reinterpret_cast<T*>(m_inline)); }

    void EmplaceInline(T&& item) noexcept
    {
        ::new (static_cast<void*>(m_inline + m_inlineSize * sizeof(T))) T(std::move(item));
        ++m_inlineSize;
    }
    void MoveToHeap(std::size_t capacity)
    {
        m_heap.reserve(std::max(capacity, size()));
        if (m_onHeap) return;
        for (std::size_t i = 0; i < m_inlineSize; ++i) m_heap.push_back(std::move(Inline()[i]));
        std::destroy_n(Inline(), m_inlineSize);
        m_inlineSize = 0;
        m_onHeap = true;
    }
    void TakeFrom(InlineVector& other) noexcept
    {
        if (other.m_onHeap) {
            m_heap = std::move(other.m_heap);
            m_onHeap = true;
            other.m_heap.clear();
            other.m_onHeap = false;
            return;
        }
        for (std::size_t i = 0; i < other.m_inlineSize; ++i) EmplaceInline(std::move(other.Inline()[i]));
        std::destroy_n(other.Inline(), other.m_inlineSize);
        other.m_inlineSize = 0;
    }
    void Reset() noexcept
    {
        std::destroy_n(Inline(), m_inlineSize);
        m_inlineSize = 0;
        m_heap = std::vector<T>();
        m_onHeap = false;
    }

    alignas(T) std::byte m_inline[sizeof(T) * kInline];
    std::size_t m_inlineSize = 0;  // items in m_inline, while not on the heap
    std::vector<T> m_heap;         // every item, once more than kInline were held
    bool m_onHeap = false;
};

}  // namespace platform::detail
