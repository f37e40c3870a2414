// Every replaceable form of operator new and delete but the aligned ones, so that allocations and
// releases always pair (the sanitizers' runtimes check that they do).
#include "allocation_failure.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int t_failingScopes = 0;

}  // namespace

namespace integration {

ScopedAllocationFailure::ScopedAllocationFailure()
{
    ++t_failingScopes;
}

ScopedAllocationFailure::~ScopedAllocationFailure()
{
    --t_failingScopes;
}

}  // namespace integration

void* operator new(std::size_t size)
{
    if (t_failingScopes == 0) {
        if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return ::operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (t_failingScopes != 0) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return ::operator new(size, tag);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}
