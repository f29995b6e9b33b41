// Controls of the Linux implementation that have no Windows counterpart.
// Only tools and tests include this; subsystem code never does.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The program is a 32-bit Windows process; twreg behaves like a 64-bit tool.
// Decides the default registry view and what IsWow64Process answers.
void TwLinuxSetProcessIs64Bit(int is64);
int TwLinuxProcessIs64Bit(void);

// Closes the registry database so that the next call opens the one named by
// TW_REGISTRY afresh (tests switch databases within one process).
void TwLinuxRegistryReopen(void);

#ifdef __cplusplus
}
#endif
