// Windows paths on the host (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw {

// Windows path (backslashes, optional drive letter) to the host path. A drive
// "X:" maps to $TW_DRIVE_ROOT/x (default /var/lib/tidewell/drives/x).
std::string HostPath(const char* winPath);
std::string HostPathW(const WCHAR* winPath);

} // namespace tw
