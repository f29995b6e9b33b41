// LAN Manager subset for the Linux build: the computer's join state and the
// buffer release of the network-management calls.
#pragma once

#include "windef.h"
#include "winerror.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NERR_Success 0
#define NERR_BASE 2100

typedef enum _NETSETUP_JOIN_STATUS {
    NetSetupUnknownStatus = 0,
    NetSetupUnjoined,
    NetSetupWorkgroupName,
    NetSetupDomainName
} NETSETUP_JOIN_STATUS,
    *PNETSETUP_JOIN_STATUS;

NET_API_STATUS NetGetJoinInformation(LPCWSTR server, LPWSTR* nameBuffer,
                                     PNETSETUP_JOIN_STATUS bufferType);
NET_API_STATUS NetApiBufferFree(LPVOID buffer);

#ifdef __cplusplus
}
#endif
