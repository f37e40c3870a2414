#include "platform/kernel/system_info.h"

#include <cstring>

#include "sim/windows_directory.h"

UINT GetSystemWindowsDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    constexpr UINT kLength = sizeof(sim::kWindowsDirectoryText) - 1;
    if (lpBuffer == nullptr || uSize <= kLength) return kLength + 1;
    std::memcpy(lpBuffer, sim::kWindowsDirectoryText, kLength + 1);
    return kLength;
}
