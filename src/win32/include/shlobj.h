// Shell folder creation (Linux build).
#pragma once
#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif
int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* sa);
#ifdef __cplusplus
}
#endif
