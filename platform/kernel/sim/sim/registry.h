// The simulated machine's registry, as the machine's owner sets it. Values set here are what
// RegQueryValueExW reads. When a state directory is set (sim/state_directory.h), the registry is
// kept in the file "registry" there and rewritten on every change, so a restarted host finds it as
// it was; a damaged file gives way to its previous generation, or an empty registry
// (RegistryLoads says which).
//
// Values set at run time through SetRegistryValueKept (the simulation channel's "registry set")
// are also kept apart, in "registry-changes": ApplyMachine empties the registry and sets the
// description's values, then sets these again (ReapplyKeptRegistryChanges), except those the
// description sets itself.
//
//   sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, u"Software\\Varmel\\Configure",
//                          u"TestMode", u"Enable");
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/export.h"
#include "sim/state_directory.h"

PLATFORM_API_BEGIN

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
// Empties the registry (and its file, when a state directory is set). Kept changes stay kept.
void ResetRegistry();

// A change made at run time: as SetRegistryValue, and kept for ReapplyKeptRegistryChanges.
void SetRegistryValueKept(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name,
                          std::uint32_t type, std::vector<std::uint8_t> data);
// As DeleteRegistryValue, and a kept change of the value is forgotten.
bool DeleteRegistryValueKept(RegistryRoot root, const std::u16string& keyPath, const std::u16string& name);
// Sets every kept change whose value the registry does not hold now, and forgets the others.
void ReapplyKeptRegistryChanges();
// The values of the kept changes, e.g. u"HKEY_CURRENT_CONFIG\\Software\\Varmel\\Configure\\TestMode".
std::vector<std::u16string> KeptRegistryChanges();

// How the files of the state directory were loaded (the registry, then the kept changes; a
// missing file is not listed). A file that could not be read is never written over: while one is
// listed as kUnreadable, changes stay in memory.
std::vector<StateFileLoad> RegistryLoads();
// The problems of RegistryLoads in one text (empty when there were none).
std::string LastRegistryLoadProblem();

}  // namespace sim
PLATFORM_API_END
