// The state directory's files kept in two generations: the file itself and, beside it,
// "<file>.previous", the whole file that the last write replaced. A load that finds the file
// damaged moves it aside ("<file>.corrupt") and puts the previous generation back in its place;
// a file that cannot be read is never moved or replaced.
//
// Every step keeps a whole file at every moment: a write links the current file to a temporary
// name and renames that over the previous generation, then writes the new contents atomically
// (atomic_file.h). A crash leaves the old or the new file, and a previous generation that is whole.
//
// Thread safety: the functions keep no state; callers serialise the writes of one file.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "sim/state_directory.h"

namespace platform::detail {

struct StateFileRead {
    sim::StateFileLoad load;
    std::string contents;  // kLoaded and kRestored: what to load
};

// Reads `file`. `whole` tells whether contents parse completely; `what` names the file for people
// ("the registry file") and `empty` says what a reset means ("the registry starts empty").
StateFileRead ReadStateFile(const std::filesystem::path& file, const std::function<bool(const std::string&)>& whole,
                            std::string_view what, std::string_view empty);

// Writes `contents` as the file; the file as it was becomes the previous generation. Empty on
// success, else what failed (the file is then as it was).
std::string WriteStateFile(const std::filesystem::path& file, std::string_view contents);

std::filesystem::path PreviousGeneration(const std::filesystem::path& file);
std::filesystem::path DamagedCopy(const std::filesystem::path& file);

}  // namespace platform::detail
