// The registry's contents, shared by the registry API and the simulated machine's control of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/registry.h"

namespace platform::detail {

struct RegistryValue {
    std::uint32_t type;
    std::vector<std::uint8_t> data;
};

bool RegistryKeyExists(sim::RegistryRoot root, const std::u16string& keyPath);
// Nothing when the key or the value does not exist.
std::optional<RegistryValue> ReadRegistryValue(sim::RegistryRoot root, const std::u16string& keyPath,
                                               const std::u16string& name);

}  // namespace platform::detail
