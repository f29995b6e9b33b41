// Facts about the computer itself: addresses, host name, name space, domain controller.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

extern char* gv_localIPAddress;
extern char* gv_localMACAddress;
extern char* gv_localSubnetMask;
extern char* gv_domainController;
extern char* gv_localComputerName;
extern char* gv_nameSpace;

DWORD InitializeLocalMachineDetails();
DWORD GetMACandIPAddress(char** ipList, char** macList, char** maskList);
DWORD GetComputerLogonServer(char** name);
int GetLocalComputerName(char** name);
int GetComputerNameSpace(char** name, BOOL* joinedToDomain);
int GetOsFamily();
int isWin7orWin8();

// The list rules applied to an adapter list, into three buffers of
// kAddressListBytes zero-filled bytes each (exposed for tests).
const size_t kAddressListBytes = 0x1FFFC;
void AppendAdapterAddresses(const IP_ADAPTER_INFO* adapters, char* ipList, char* macList,
                            char* maskList);
