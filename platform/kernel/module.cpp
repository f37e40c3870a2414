#include "platform/kernel/module.h"

#include <random>

namespace {

std::uintptr_t Secret()
{
    static const std::uintptr_t secret = [] {
        std::random_device device;
        return (static_cast<std::uintptr_t>(device()) << 32) ^ device() ^ 0x5DEECE66Dull;
    }();
    return secret;
}

constexpr unsigned kRotation = 17;

std::uintptr_t RotateLeft(std::uintptr_t v, unsigned n) { return (v << n) | (v >> (64 - n)); }
std::uintptr_t RotateRight(std::uintptr_t v, unsigned n) { return (v >> n) | (v << (64 - n)); }

}  // namespace

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }

PVOID EncodePointer(PVOID ptr)
{
    return reinterpret_cast<PVOID>(RotateLeft(reinterpret_cast<std::uintptr_t>(ptr) ^ Secret(), kRotation));
}

PVOID DecodePointer(PVOID ptr)
{
    return reinterpret_cast<PVOID>(RotateRight(reinterpret_cast<std::uintptr_t>(ptr), kRotation) ^ Secret());
}
