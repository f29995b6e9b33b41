// libcurl bound on first use (curl_loader.cpp; not part of the Win32 surface).
#pragma once

#include <windows.h>

namespace tw::winhttp {

// Loads libcurl unless it is loaded already; false with *error
// ERROR_MOD_NOT_FOUND when the library cannot be loaded.
bool LoadCurl(DWORD* error);

} // namespace tw::winhttp
