// Control of the in-process class table behind CoCreateInstance.
//
//   platform::testing::UnregisterClass(CLSID_SensorClassExtension);  // CoCreateInstance now fails
//   ...                                                               //   with REGDB_E_CLASSNOTREG
//   platform::testing::RestoreBuiltinClasses();
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <functional>

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"

PLATFORM_API_BEGIN

namespace platform {
namespace detail {
// Makes a new object of the class and answers the requested interface.
using ClassCreator = std::function<HRESULT(REFIID riid, void** ppv)>;
}  // namespace detail

namespace testing {
void RegisterClass(REFCLSID clsid, detail::ClassCreator creator);
void UnregisterClass(REFCLSID clsid);
// Back to the platform's own classes only.
void RestoreBuiltinClasses();
}  // namespace testing
}  // namespace platform
PLATFORM_API_END
