// Windows paths on the host (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw {

// Windows path (either slash, optional drive letter) to the host path. Drive
// "Z:" is the host's root; another drive "X:" maps to $TW_DRIVE_ROOT/x
// (default /var/lib/tidewell/drives/x); a path without a drive is a host path.
std::string HostPath(const char* winPath);
std::string HostPathW(const WCHAR* winPath);

// A path as GetFullPathName gives it: drive, backslashes, "." and ".." gone.
// Without a drive it is on Z: (the host root), relative ones below the
// current folder. Empty when the current folder cannot be read.
std::string FullWindowsPath(const std::string& path);

} // namespace tw
