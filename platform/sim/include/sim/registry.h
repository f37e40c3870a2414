// The simulated machine's registry, as the machine's owner sets it. Values set here are what
// RegQueryValueExW reads. When a state directory is set (sim/state_directory.h), the registry is
// kept in the file "registry" there and rewritten atomically on every change, so a restarted host
// finds it as it was; a damaged file is reported (LastRegistryLoadProblem) and replaced by an
// empty registry.
//
//   sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, u"Software\\Varmel\\Configure",
//                          u"TestMode", u"Enable");
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class RegistryRoot { LocalMachine, CurrentConfig };

// Creates the key path as needed. Strings are stored as REG_SZ with their terminator.
void SetRegistryValue(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name,
                      std::uint32_t type, std::vector<std::uint8_t> data);
void SetRegistryString(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& text);
// Returns false when there was no such value.
bool DeleteRegistryValue(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name);
// Removes the key with its values and subkeys. Returns false when there was no such key.
bool DeleteRegistryKey(RegistryRoot root, const std::u16string& keyPath);
// Empties the registry (and its file, when a state directory is set).
void ResetRegistry();
// Why the last load of the registry file was refused (empty when it loaded, or there was none).
std::string LastRegistryLoadProblem();

}  // namespace sim
