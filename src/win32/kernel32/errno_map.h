// Win32 error codes for host errno values (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include <string>

namespace tw {

// Win32 error code for an errno value of a file operation on `hostPath`.
DWORD ErrorFromErrno(int err, const std::string& hostPath = std::string());

} // namespace tw
