// Whole-file writes that never leave a torn file behind: the contents go to a temporary file in
// the same directory, which is flushed to disk and then renamed over the target. And whole-file
// reads that tell a missing file from one that cannot be read.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace platform::detail {

// Returns an empty string on success, else a description of what failed (the target is then
// untouched).
std::string WriteFileAtomically(const std::filesystem::path& path, std::string_view contents, unsigned mode = 0600);

// Reads what is left of an open file into *contents. Returns 0, the system's error, or EFBIG when
// there is more than `limit` bytes.
int ReadAll(int fd, std::string* contents, std::size_t limit);

// Reads the whole file into *contents. Returns 0, or the system's error (ENOENT when there is no
// such file; EISDIR for a directory).
int ReadWholeFile(const std::filesystem::path& path, std::string* contents);

}  // namespace platform::detail
