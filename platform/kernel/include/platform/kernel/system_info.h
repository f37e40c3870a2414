// System information: the Windows directory.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

// Copies the Windows directory, "\Windows" (no drive, no trailing backslash), into lpBuffer with
// its terminator and returns its length without the terminator. When uSize is too small (or
// lpBuffer is null) it copies nothing and returns the size needed, terminator included. Files
// below the directory are those of the simulated machine's Windows directory. Thread safe.
UINT GetSystemWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
PLATFORM_API_END
