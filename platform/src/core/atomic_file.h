// Whole-file writes that never leave a torn file behind: the contents go to a temporary file in
// the same directory, which is flushed to disk and then renamed over the target.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform::detail {

// Returns an empty string on success, else a description of what failed (the target is then
// untouched).
std::string WriteFileAtomically(const std::filesystem::path& path, std::string_view contents, unsigned mode = 0600);

// The whole file, or nothing when it does not exist or cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

}  // namespace platform::detail
