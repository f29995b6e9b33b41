// The Microsoft runtime's folder creation, for the Linux build.
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
int _mkdir(const char* path);
#ifdef __cplusplus
}
#endif
