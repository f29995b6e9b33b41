// The Microsoft runtime's shared-open stream, for the Linux build.
#pragma once
#include <stdio.h>

#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40

#ifdef __cplusplus
extern "C" {
#endif
FILE* _fsopen(const char* path, const char* mode, int shflag);
#ifdef __cplusplus
}
#endif
