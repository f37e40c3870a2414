// The values of a device's named property store, kept by name and, when the store has a file, in
// that file: rewritten atomically on every change, so a restarted host finds the values as they
// were and a torn write never damages them.
//
// A value is kept as the wire encoding of a values set holding it alone (transport/values_codec.h),
// so the store holds every type that encoding carries, and gives back a deep copy on every read.
// Names compare without regard to ASCII case, as registry value names do.
//
// File form: a header line, one "value <name> <encoding>" line per value (both in hex; the name as
// UTF-16LE), and an "end <count>" line. A file that does not parse, or holds a value that does not
// decode, is damaged: Load reports it, moves it aside (".corrupt") and takes the file's previous
// generation instead, or starts empty when there is no good one (core/state_file.h). A file that
// cannot be read is left alone, and the store must not be saved over it.
//
// Thread safety: every operation may be called from any thread; one mutex guards the values. File
// writes happen under it, so the file follows the order of the changes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/propvariant.h"
#include "sim/state_directory.h"

namespace platform::host {

class DevicePropertyStore {
public:
    static constexpr const char* kFileName = "device-properties";

    // A store kept in `file`; an empty path keeps it in memory only.
    explicit DevicePropertyStore(std::filesystem::path file);

    // Reads the file (kMissing for a store without one).
    sim::StateFileLoad Load();
    // Writes the file as the store is now (used when the store is created).
    HRESULT Save();

    // Copies the value into *value, which is overwritten without being cleared.
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) (and VT_EMPTY) when there is none of that name.
    HRESULT Get(std::u16string_view name, PROPVARIANT* value) const;
    // Stores a copy of the value and rewrites the file. The encoder's error for a type it does not
    // carry; HRESULT_FROM_WIN32(ERROR_GEN_FAILURE) when the file cannot be written (the store then
    // keeps the value it had, as the file does).
    HRESULT Set(std::u16string_view name, const PROPVARIANT& value);

    // The values that are 32-bit unsigned numbers (VT_UI4), by name.
    std::map<std::u16string, ULONG> Numbers() const;

    const std::filesystem::path& File() const { return m_file; }

private:
    using Values = std::map<std::u16string, std::pair<std::u16string, std::vector<std::uint8_t>>>;

    // A whole file's values; nothing when it is damaged in any way.
    static std::optional<Values> Parse(const std::string& contents);
    HRESULT SaveLocked(const Values& values);

    const std::filesystem::path m_file;
    mutable std::mutex m_mutex;
    Values m_values;  // folded name -> (name, encoding); guarded by m_mutex
};

}  // namespace platform::host
