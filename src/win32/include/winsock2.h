// Windows Sockets start-up and error calls for the Linux build. Nothing else
// of Winsock is provided: the program only starts and stops the library
// around its host-name query.
#pragma once

#include "windef.h"
#include "winerror.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
#define SOCKET_ERROR (-1)

// Field order as in the Windows SDK, which differs between 32- and 64-bit.
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
#if UINTPTR_MAX > 0xFFFFFFFFu
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
#else
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
#endif
} WSADATA, *LPWSADATA;

int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup(void);
int WSAGetLastError(void);
void WSASetLastError(int error);

#ifdef __cplusplus
}
#endif
