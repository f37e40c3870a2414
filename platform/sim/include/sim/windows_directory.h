// The simulated machine's Windows directory: a Linux directory that stands for it.
//
// The system reports the Windows directory as the drive-less text kWindowsDirectoryText,
// "\Windows". A Windows path below it names the file at the same place under the Linux directory:
//
//   sim::SetWindowsDirectory("/srv/machine/windows");
//   // "\Windows\system32\drivers\UMDF\ThermalMap_AC.ini" is now the file
//   // "/srv/machine/windows/system32/drivers/UMDF/ThermalMap_AC.ini"
//
// Paths are resolved as Windows resolves them: '\' and '/' both separate, "." and ".." are
// applied to the text (".." at the root stays at the root), so no path leaves the directory. The
// "Windows" component is matched without regard to case, as Windows matches it; the components
// below it are used as written, because they name real Linux files.
//
// Until a directory is set (and after it is set to empty) the machine has no Windows directory:
// nothing below "\Windows" can be opened.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/export.h"

PLATFORM_API_BEGIN

namespace sim {

inline constexpr char kWindowsDirectoryText[] = "\\Windows";

void SetWindowsDirectory(std::string linuxDirectory);
std::string WindowsDirectory();

// The Linux path of a Windows path below the Windows directory; nothing for any other path, or
// while no directory is set.
std::optional<std::string> MapWindowsPath(std::string_view windowsPath);

}  // namespace sim
PLATFORM_API_END
