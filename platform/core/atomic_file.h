// Whole-file writes that never leave a torn file behind: the contents go to a temporary file in
// the same directory, which is flushed to disk and then renamed over the target. And whole-file
// reads that tell a missing file from one that cannot be read.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform_support/state_file.h"

namespace platform::detail {

// Returns an empty string on success, else a description of what failed (the target is then
// untouched).
std::string WriteFileAtomically(const std::filesystem::path& path, std::string_view contents, unsigned mode = 0600);

// Reads what is left of an open file into *contents. Returns 0, the system's error, or EFBIG when
// there is more than `limit` bytes.
int ReadAll(int fd, std::string* contents, std::size_t limit);

using support::ReadWholeFile;

}  // namespace platform::detail
