// C-runtime file streams opened by Windows path.
#pragma once

#include <cstdio>

#include "platform/export.h"

PLATFORM_API_BEGIN

// Share flag of _fsopen: other readers and writers may open the file too.
inline constexpr int _SH_DENYNO = 0x40;

// Opens the file at a Windows path below the Windows directory (see GetSystemWindowsDirectoryA)
// for reading, and returns a standard stream that the caller reads and closes with fclose.
//
// mode: "r" or "rt" for text mode, where CR LF is read as LF (a lone CR stays as it is); "rb" for
// binary mode. shflag: _SH_DENYNO only; the deny modes are refused, because nothing here could
// keep other openers out.
//
// NULL, with errno, on failure: ENOENT when the path is not below the Windows directory or no
// file is there, EACCES for a directory, EINVAL for another mode or share flag, or the error of
// the underlying open. Thread safe; the stream is the caller's.
std::FILE* _fsopen(const char* filename, const char* mode, int shflag);
PLATFORM_API_END
