#include <gtest/gtest.h>

#include <thread>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/kernel/last_error.h"
#include "platform_testing/com_classes.h"
#include "platform_testing/faults.h"
#include "support/com_test_kit.h"

namespace com_core_test {

struct IAnimal : IUnknown {
    using base_interface = IUnknown;
    virtual int Legs() = 0;
};

struct IDog : IAnimal {
    using base_interface = IAnimal;
    virtual int Barks() = 0;
};

struct IPet : IUnknown {
    using base_interface = IUnknown;
    virtual int Name() = 0;
};

}  // namespace com_core_test

PLATFORM_INTERFACE_ID(com_core_test::IAnimal, "6A2D3C91-0000-4000-8000-000000000001");
PLATFORM_INTERFACE_ID(com_core_test::IDog, "6A2D3C91-0000-4000-8000-000000000002");
PLATFORM_INTERFACE_ID(com_core_test::IPet, "6A2D3C91-0000-4000-8000-000000000003");

namespace {

using com_core_test::IAnimal;
using com_core_test::IDog;
using com_core_test::IPet;

int g_liveDogs = 0;

class CDog final : public platform::ComObject<CDog, IDog, IPet> {
public:
    CDog() { ++g_liveDogs; }
    ~CDog() { --g_liveDogs; }
    int Legs() override { return 4; }
    int Barks() override { return 2; }
    int Name() override { return 7; }
};

constexpr CLSID kDogClass = platform::MakeGuid("{6A2D3C91-0000-4000-8000-0000000000D0}");

using platform::ComPtr;
using test_support::ExpectInterface;
using test_support::RefCount;

TEST(Guid, ParsesAndFormatsRegistryText)
{
    constexpr GUID g = platform::MakeGuid("{6C1E9A42-7B30-4D58-9F16-E2A4C07B3D95}");
    EXPECT_EQ(g.Data1, 0x6C1E9A42u);
    EXPECT_EQ(g.Data2, 0x7B30);
    EXPECT_EQ(g.Data3, 0x4D58);
    EXPECT_EQ(g.Data4[0], 0x9F);
    EXPECT_EQ(g.Data4[7], 0x95);
    EXPECT_EQ(platform::GuidToString(g), "{6C1E9A42-7B30-4D58-9F16-E2A4C07B3D95}");

    GUID parsed{};
    EXPECT_TRUE(platform::ParseGuid("6c1e9a42-7b30-4d58-9f16-e2a4c07b3d95", &parsed));
    EXPECT_EQ(parsed, g);
    for (const char* bad : {"", "{6C1E9A42-7B30-4D58-9F16-E2A4C07B3D95", "6C1E9A427B304D589F16E2A4C07B3D95",
                            "{GC1E9A42-7B30-4D58-9F16-E2A4C07B3D95}", "6C1E9A42-7B30-4D58-9F16-E2A4C07B3D9"}) {
        GUID untouched = g;
        EXPECT_FALSE(platform::ParseGuid(bad, &untouched)) << bad;
        EXPECT_EQ(untouched, g);
    }
}

TEST(Hresult, FromWin32KeepsZeroAndFoldsPositiveCodes)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)), 0x80070490u);
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS)), 0x8007045Bu);
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_FAIL)), E_FAIL);
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_UNEXPECTED));
}

TEST(ComObject, AnswersListedInterfacesTheirParentsAndIUnknown)
{
    ComPtr<IDog> dog;
    ASSERT_EQ(platform::MakeAndQuery<CDog>(__uuidof(IDog), reinterpret_cast<void**>(dog.GetAddressOf())), S_OK);
    ExpectInterface(dog.Get(), IID_IUnknown, true);
    ExpectInterface(dog.Get(), __uuidof(IAnimal), true);
    ExpectInterface(dog.Get(), __uuidof(IPet), true);
    ExpectInterface(dog.Get(), IID_IClassFactory, false);
    EXPECT_EQ(dog->QueryInterface(__uuidof(IPet), nullptr), E_POINTER);

    // One identity: IUnknown from any interface is the same pointer.
    ComPtr<IPet> pet;
    ASSERT_EQ(dog.As(&pet), S_OK);
    void* fromDog = nullptr;
    void* fromPet = nullptr;
    dog->QueryInterface(IID_IUnknown, &fromDog);
    pet->QueryInterface(IID_IUnknown, &fromPet);
    EXPECT_EQ(fromDog, fromPet);
    static_cast<IUnknown*>(fromDog)->Release();
    static_cast<IUnknown*>(fromPet)->Release();
    EXPECT_EQ(pet->Name(), 7);
}

TEST(ComObject, LastReleaseReturnsZeroAndDestroys)
{
    IDog* raw = nullptr;
    ASSERT_EQ(platform::MakeAndQuery<CDog>(__uuidof(IDog), reinterpret_cast<void**>(&raw)), S_OK);
    EXPECT_EQ(g_liveDogs, 1);
    EXPECT_EQ(RefCount(raw), 1u);
    EXPECT_EQ(raw->AddRef(), 2u);
    EXPECT_EQ(raw->Release(), 1u);
    EXPECT_EQ(raw->Release(), 0u);
    EXPECT_EQ(g_liveDogs, 0);
}

TEST(ComObject, FailedQueryOnCreationDestroysTheObject)
{
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(platform::MakeAndQuery<CDog>(IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(g_liveDogs, 0);
}

TEST(ComObject, CountIsAtomicAcrossThreads)
{
    ComPtr<IDog> dog;
    ASSERT_EQ(platform::MakeAndQuery<CDog>(__uuidof(IDog), reinterpret_cast<void**>(dog.GetAddressOf())), S_OK);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&dog] {
            for (int i = 0; i < 10000; ++i) {
                ComPtr<IDog> copy = dog;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(RefCount(dog.Get()), 1u);
}

TEST(ComPtr, ReleasesOnEveryWayOut)
{
    {
        ComPtr<IDog> first;
        ASSERT_EQ(platform::MakeAndQuery<CDog>(__uuidof(IDog), reinterpret_cast<void**>(first.GetAddressOf())), S_OK);
        ComPtr<IDog> second = first;
        EXPECT_EQ(RefCount(first.Get()), 2u);
        ComPtr<IDog> third = std::move(second);
        EXPECT_EQ(second.Get(), nullptr);
        EXPECT_EQ(RefCount(first.Get()), 2u);
        third = nullptr;
        EXPECT_EQ(RefCount(first.Get()), 1u);
        IDog* detached = first.Detach();
        EXPECT_EQ(g_liveDogs, 1);
        first.Attach(detached);
    }
    EXPECT_EQ(g_liveDogs, 0);
}

class ClassTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::testing::RegisterClass(kDogClass, [](REFIID riid, void** ppv) {
            return platform::MakeAndQuery<CDog>(riid, ppv);
        });
    }
    void TearDown() override { platform::testing::RestoreBuiltinClasses(); }
    platform::testing::ScopedFaults m_faults;
};

TEST_F(ClassTable, CreatesRegisteredClassesAndRefusesOthers)
{
    ComPtr<IPet> pet;
    EXPECT_EQ(CoCreateInstance(kDogClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IPet),
                               reinterpret_cast<void**>(pet.GetAddressOf())),
              S_OK);
    EXPECT_EQ(pet->Name(), 7);

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoCreateInstance(platform::MakeGuid("{00000000-1111-2222-3333-444444444444}"), nullptr,
                               CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);

    platform::testing::UnregisterClass(kDogClass);
    EXPECT_EQ(CoCreateInstance(kDogClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
}

TEST_F(ClassTable, RefusesAggregationAndNullOut)
{
    void* out = reinterpret_cast<void*>(0x1);
    ComPtr<IPet> outer;
    ASSERT_EQ(CoCreateInstance(kDogClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IPet),
                               reinterpret_cast<void**>(outer.GetAddressOf())),
              S_OK);
    EXPECT_EQ(CoCreateInstance(kDogClass, outer.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CoCreateInstance(kDogClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ClassTable, CreationOfOneClassCanBeMadeToFail)
{
    platform::testing::FailCall("CoCreateInstance:" + platform::GuidToString(kDogClass), 1,
                                static_cast<std::uint32_t>(E_ACCESSDENIED));
    void* out = nullptr;
    EXPECT_EQ(CoCreateInstance(kDogClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out), E_ACCESSDENIED);
    ASSERT_EQ(CoCreateInstance(kDogClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
}

TEST(Apartment, FirstInitSucceedsRepeatIsFalseOtherModelIsRefused)
{
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        // Fully uninitialised: a new model may be chosen.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    }).join();
}

TEST(TaskMemory, AllocatesFreesAndCanFail)
{
    platform::testing::ScopedFaults faults;
    void* block = CoTaskMemAlloc(32);
    ASSERT_NE(block, nullptr);
    CoTaskMemFree(block);
    CoTaskMemFree(nullptr);
    platform::testing::FailCall("CoTaskMemAlloc");
    EXPECT_EQ(CoTaskMemAlloc(32), nullptr);
}

TEST(LastError, IsPerThread)
{
    SetLastError(ERROR_NOT_FOUND);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(ERROR_ACCESS_DENIED);
    }).join();
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
}

}  // namespace
