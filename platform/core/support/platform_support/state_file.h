// The state directory's files kept in two generations: the file itself and, beside it,
// "<file>.previous", the whole file that the last write replaced. A load that finds the file
// damaged moves it aside ("<file>.corrupt") and puts the previous generation back in its place;
// a file that cannot be read is never moved or replaced.
//
//   auto read = platform::support::ReadStateFile(file, parsesWhole, "the registry file",
//                                                "the registry starts empty");
//   ... platform::support::WriteStateFile(file, contents) ...
//
// Every step keeps a whole file at every moment: a write links the current file to a temporary
// name and renames that over the previous generation, then writes the new contents atomically (to
// a temporary file, flushed, then renamed). A crash leaves the old or the new file, and a previous
// generation that is whole.
//
// Thread safety: the functions keep no state; callers serialise the writes of one file.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/export.h"

PLATFORM_API_BEGIN
namespace platform::support {

// What loading one file of the state directory found.
enum class StateFileOutcome {
    kMissing,     // there is no file: the store starts empty
    kLoaded,      // the file, whole
    kRestored,    // the file was damaged; its previous generation was restored
    kReset,       // the file was damaged and there was no good previous generation: the store starts empty
    kUnreadable,  // a file could not be read; nothing was moved or replaced, and nothing will be written
};

struct StateFileLoad {
    std::filesystem::path file;
    StateFileOutcome outcome = StateFileOutcome::kMissing;
    // For kRestored, kReset and kUnreadable, a sentence for people: the file, where the damaged
    // copy went and what took its place, or the system's error.
    std::string problem;
};

struct StateFileRead {
    StateFileLoad load;
    std::string contents;  // kLoaded and kRestored: what to load
};

// Reads `file`. `whole` tells whether contents parse completely; `what` names the file for people
// ("the registry file") and `empty` says what a reset means ("the registry starts empty").
StateFileRead ReadStateFile(const std::filesystem::path& file, const std::function<bool(const std::string&)>& whole,
                            std::string_view what, std::string_view empty);
// Writes `contents` as the file; the file as it was becomes the previous generation. Empty on
// success, else what failed (the file is then as it was).
std::string WriteStateFile(const std::filesystem::path& file, std::string_view contents);

// Reads the whole file into *contents. Returns 0, or the system's error (ENOENT when there is no
// such file; EISDIR for a directory).
int ReadWholeFile(const std::filesystem::path& path, std::string* contents);

}  // namespace platform::support
PLATFORM_API_END
