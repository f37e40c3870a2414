#include "core/state_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/atomic_file.h"

namespace platform::detail {
namespace {

using support::StateFileOutcome;

std::filesystem::path WithSuffix(const std::filesystem::path& file, const char* suffix)
{
    std::filesystem::path named = file;
    named += suffix;
    return named;
}

StateFileRead Unreadable(StateFileRead read, const std::filesystem::path& file, std::string_view what, int error,
                         std::string_view failed = "cannot be read")
{
    read.load.outcome = StateFileOutcome::kUnreadable;
    read.load.problem = std::string(what) + " " + file.string() + " " + std::string(failed) + " (" +
                        std::strerror(error) + "); it was left as it is";
    read.contents.clear();
    return read;
}

}  // namespace

std::filesystem::path PreviousGeneration(const std::filesystem::path& file)
{
    return WithSuffix(file, ".previous");
}

std::filesystem::path DamagedCopy(const std::filesystem::path& file)
{
    return WithSuffix(file, ".corrupt");
}

}  // namespace platform::detail

namespace platform::support {

using detail::DamagedCopy;
using detail::PreviousGeneration;
using detail::Unreadable;
using detail::WithSuffix;
using detail::WriteFileAtomically;

StateFileRead ReadStateFile(const std::filesystem::path& file, const std::function<bool(const std::string&)>& whole,
                            std::string_view what, std::string_view empty)
{
    StateFileRead read;
    read.load.file = file;
    if (const int error = ReadWholeFile(file, &read.contents); error == ENOENT) {
        return read;
    } else if (error != 0) {
        return Unreadable(std::move(read), file, what, error);
    }
    if (whole(read.contents)) {
        read.load.outcome = StateFileOutcome::kLoaded;
        return read;
    }

    // Damaged. The previous generation is read before anything moves, so that a failure leaves
    // both files as they are.
    const std::filesystem::path previous = PreviousGeneration(file);
    std::string earlier;
    const int previousError = ReadWholeFile(previous, &earlier);
    if (previousError != 0 && previousError != ENOENT)
        return Unreadable(std::move(read), previous, what, previousError);
    const std::filesystem::path aside = DamagedCopy(file);
    if (::rename(file.c_str(), aside.c_str()) != 0) {
        return Unreadable(std::move(read), file, what, errno, "is damaged and cannot be moved aside");
    }

    read.load.problem = std::string(what) + " " + file.string() + " is damaged; it was moved to " + aside.string();
    if (previousError == 0 && whole(earlier)) {
        read.load.outcome = StateFileOutcome::kRestored;
        read.contents = std::move(earlier);
        read.load.problem += " and its previous generation " + previous.string() + " restored";
        // A copy, not a second name: damage done to one file in place must not reach the other.
        if (const std::string failed = WriteFileAtomically(file, read.contents); !failed.empty()) {
            read.load.problem += " (for this run only: " + failed + ")";
        }
        return read;
    }
    read.load.outcome = StateFileOutcome::kReset;
    read.contents.clear();
    if (previousError == 0) {
        // A damaged previous generation goes aside too, so that no later load restores it.
        const std::filesystem::path previousAside = DamagedCopy(previous);
        ::rename(previous.c_str(), previousAside.c_str());
        read.load.problem += "; its previous generation was damaged too (moved to " + previousAside.string() + ")";
    } else {
        read.load.problem += "; there is no previous generation";
    }
    read.load.problem += ", so " + std::string(empty);
    return read;
}

std::string WriteStateFile(const std::filesystem::path& file, std::string_view contents)
{
    // The current file becomes the previous generation: a second name for it, put in place by a
    // rename so that the previous generation is whole at every moment. Without it (a file system
    // without hard links) the write goes on, with no previous generation.
    const std::filesystem::path previous = PreviousGeneration(file);
    const std::filesystem::path link = WithSuffix(previous, ".tmp");
    ::unlink(link.c_str());
    if (::link(file.c_str(), link.c_str()) == 0 && ::rename(link.c_str(), previous.c_str()) != 0) {
        ::unlink(link.c_str());
    }
    return WriteFileAtomically(file, contents);
}

}  // namespace platform::support
