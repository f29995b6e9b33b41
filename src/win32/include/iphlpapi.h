// IP Helper subset for the Linux build: the adapter list, from the host's
// network interfaces.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "iptypes.h"

#ifdef __cplusplus
extern "C" {
#endif

ULONG GetAdaptersInfo(PIP_ADAPTER_INFO adapterInfo, PULONG sizePointer);

#ifdef __cplusplus
}
#endif
