// Owned texts shared by every layer: malloc'd buffers released with free, and
// UTF-16 strings (WCHAR is wchar_t on Windows and char16_t on Linux).
#pragma once

#include <windows.h>
#include <stdlib.h>

#include <memory>
#include <string>

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
// A malloc'd buffer released with free.
template <class T> using Owned = std::unique_ptr<T, FreeDeleter>;

using TwWString = std::basic_string<WCHAR>;
