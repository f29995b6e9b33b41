// The agent's settings and process-wide values, as plain data: the registry
// named settings and the derived gv_ values. InitializeAgentParameters fills
// them once during start-up on the main thread; everything else only reads them.
#pragma once

#include <windows.h>

// The agent's registry key under HKEY_LOCAL_MACHINE.
extern const char* const gv_RegKey;
// The agent installation folder (value TWAgentInstallDir), with its trailing separator.
extern char* gv_agentInstallDir;
// 1 when this 32-bit process runs on 64-bit Windows (set by InitializeAgentParameters).
extern int gv_IsWow64;

// Server key values.
extern char* TWServerName;
extern char* TWServerInstalledTime;
extern char* TWServerFlatName;
extern char* TWServerIPAddress;
extern char* TWServerSecIPAddress;
extern char* TWLastAccessName;
extern int TWServerPort;
extern int TWServerSecurePort;
extern char* TWServerProtocol;
extern char* DistributionServerName;
extern char* DistributionServerFlatName;
extern char* DistributionLastAccessName;
extern int DistributionServerPort;
extern int DistributionServerSecurePort;
extern char* DistributionServerIPAddress;
extern char* DistributionServerSecIPAddress;
extern char* DistributionServerProtocol;

// Agent key values.
extern char* EnableDistributionServer;
extern char* ProxyEnabled;
extern char* ProxyUserName;
extern char* ProxyPassword; // decoded
extern char* ProxyServerName;
extern char* ProxyByPass;
extern char* TWAgentVersion;
extern char* AgentServiceName;
extern char* MSPName;
extern char* CustomerName;
extern char* CustomerId;
extern char* RemoteOfficeName;
extern char* RemoteOfficeID;
extern char* EnableRemoteOfficeMgmt;
extern DWORD HTTPRequestTimeout;
extern DWORD HTTPConnectionTimeout;
extern DWORD DataTransferRate_KBps;
extern int EnableDSRoute;
extern DWORD BlockCrashedConfig;
extern DWORD ShutdownBlocked;
extern int EnableChecksum;
extern char* TWAgentResourceID;

// Derived values.
extern char gv_tempDir[255];
extern int gv_serverPort;
extern int gv_distributionServerPort;
extern char* gv_clientDataPath;
extern char* gv_twProductCode;
