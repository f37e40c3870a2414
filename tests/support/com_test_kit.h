// Small helpers for testing COM objects: interface answers, reference counts, last release.
#pragma once

#include <gtest/gtest.h>

#include "platform/com/unknown.h"

namespace test_support {

// Checks that the object answers (or refuses) an interface, and gives back what it added.
inline void ExpectInterface(IUnknown* object, REFIID iid, bool supported)
{
    void* answer = reinterpret_cast<void*>(0x1);
    const HRESULT hr = object->QueryInterface(iid, &answer);
    if (supported) {
        EXPECT_EQ(hr, S_OK);
        ASSERT_NE(answer, nullptr);
        static_cast<IUnknown*>(answer)->Release();
    } else {
        EXPECT_EQ(hr, E_NOINTERFACE);
        EXPECT_EQ(answer, nullptr);
    }
}

// The current reference count, read through an AddRef/Release pair.
inline ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

}  // namespace test_support
