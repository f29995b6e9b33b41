// Folder creation and file probes.
#pragma once

#include <windows.h>

DWORD CreateFolder(const WCHAR* path);
int IsFileExist(const char* path);
BOOL GetFileSize64(const char* path, LONGLONG* size);
DWORD CheckFileExists(const WCHAR* name);
