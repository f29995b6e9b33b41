// The agent's configuration, loaded once from the registry at start-up.
#pragma once

#include <windows.h>

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

DWORD InitializeAgentParameters();
DWORD InitializeServerDetailsFromRegistry();
DWORD InitializeDSServerDetailsFromRegistry();
DWORD InitializeAgentDetails();
DWORD GetCustomerId(char** out);

// Base64 (RFC 4648 alphabet) of a stored password: leading and trailing white
// space skipped. Returns a new zero-terminated buffer, or null when the text is
// not valid Base64.
char* DecodeBase64Password(const char* text, size_t* decodedLength);
