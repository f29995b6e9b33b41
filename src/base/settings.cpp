#include "base/settings.h"

const char* const gv_RegKey = "Software\\Brightmoor\\Tidewell\\TWAgent";
char* gv_agentInstallDir = nullptr;
int gv_IsWow64 = 0;

char* TWServerName = nullptr;
char* TWServerInstalledTime = nullptr;
char* TWServerFlatName = nullptr;
char* TWServerIPAddress = nullptr;
char* TWServerSecIPAddress = nullptr;
char* TWLastAccessName = nullptr;
int TWServerPort = 0;
int TWServerSecurePort = 0;
char* TWServerProtocol = nullptr;
char* DistributionServerName = nullptr;
char* DistributionServerFlatName = nullptr;
char* DistributionLastAccessName = nullptr;
int DistributionServerPort = 0;
int DistributionServerSecurePort = 0;
char* DistributionServerIPAddress = nullptr;
char* DistributionServerSecIPAddress = nullptr;
char* DistributionServerProtocol = nullptr;

char* EnableDistributionServer = nullptr;
char* ProxyEnabled = nullptr;
char* ProxyUserName = nullptr;
char* ProxyPassword = nullptr;
char* ProxyServerName = nullptr;
char* ProxyByPass = nullptr;
char* TWAgentVersion = nullptr;
char* AgentServiceName = nullptr;
char* MSPName = nullptr;
char* CustomerName = nullptr;
char* CustomerId = nullptr;
char* RemoteOfficeName = nullptr;
char* RemoteOfficeID = nullptr;
char* EnableRemoteOfficeMgmt = nullptr;
DWORD HTTPRequestTimeout = 60000;
DWORD HTTPConnectionTimeout = 30000;
DWORD DataTransferRate_KBps = 0;
int EnableDSRoute = 0;
DWORD BlockCrashedConfig = 0;
DWORD ShutdownBlocked = 0;
int EnableChecksum = 1;
char* TWAgentResourceID = nullptr;

char gv_tempDir[255] = {};
int gv_serverPort = 0;
int gv_distributionServerPort = 0;
char* gv_clientDataPath = nullptr;
char* gv_twProductCode = nullptr;
