// The in-process class table behind CoCreateInstance. Platform facilities register their classes
// once, as built-ins; test control can add, remove and restore classes.
#pragma once

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform_testing/com_classes.h"

namespace platform::detail {

void RegisterBuiltinClass(REFCLSID clsid, ClassCreator creator);

// Registers a built-in class when the platform library loads:
//   const BuiltinClass kLocator{CLSID_WbemLocator, &CreateLocator};
struct BuiltinClass {
    BuiltinClass(REFCLSID clsid, ClassCreator creator) { RegisterBuiltinClass(clsid, std::move(creator)); }
};

}  // namespace platform::detail
