// The generations of a state file (platform_support/state_file.h reads and writes them).
#pragma once

#include <filesystem>

#include "platform_support/state_file.h"

namespace platform::detail {

using support::ReadStateFile;
using support::StateFileRead;
using support::WriteStateFile;

std::filesystem::path PreviousGeneration(const std::filesystem::path& file);
std::filesystem::path DamagedCopy(const std::filesystem::path& file);

}  // namespace platform::detail
