// Light-weight shell helpers used by the program (Linux build).
#pragma once
#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif
BOOL StrTrimA(LPSTR text, LPCSTR trimChars);
LPSTR StrStrIA(LPCSTR text, LPCSTR search);
#ifdef __cplusplus
}
#endif
