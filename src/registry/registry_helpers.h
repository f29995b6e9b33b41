// Typed registry reads and writes in the 32-bit or 64-bit view. Every
// function returns a Windows error code (0 for success) unless stated.
#pragma once

#include <windows.h>

// Reads a value's raw data into a new buffer (value size + 5 zero bytes, so
// any value reads as terminated text). The caller frees *out.
DWORD ReadRegSZ(HKEY root, const char* keyPath, const char* valueName, char** out);
// The same through the wide API: text values arrive as UTF-16.
DWORD ReadRegSZEx(HKEY root, const char* keyPath, const char* valueName, char** out);
DWORD ReadDwordRegistryData(HKEY root, const char* keyPath, const char* valueName, DWORD* value);

// Value name "--" is the key's default value; data "--" is empty data.
DWORD writeValue(HKEY root, const char* keyPath, const char* valueName, const char* valueData,
                 DWORD type);
// As writeValue, reaching the 64-bit view when gv_IsWow64 is set.
DWORD writeValueEx(HKEY root, const char* keyPath, const char* valueName, const char* valueData,
                   DWORD type);
DWORD addRegistryKey(HKEY root, const char* keyPath);
DWORD addRegistryKeyEx(HKEY root, const char* keyPath);
DWORD deleteValue(HKEY root, const char* keyPath, const char* valueName);
DWORD deleteValue(HKEY root, const WCHAR* keyPath, const WCHAR* valueName);
// True when the key and everything below it are gone.
bool deleteKeyTree(HKEY root, const char* keyPath);
