// Plain downloads: one GET read as fast as it arrives, or a HEAD followed by
// paced ranged GETs. Both go through a temporary file; GET_DATA reads it back
// into memory, DOWNLOAD_FILE copies it over the destination.
#pragma once

#include <windows.h>

DWORD InternetGetRequestEx(BYTE proxyFlag, const char* protocol, const WCHAR* server, int port,
                           const WCHAR* proxyServer, const WCHAR* proxyBypass,
                           const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                           const WCHAR* objectPath, const WCHAR* destinationPath, char** dataOutput,
                           int requestKind, BYTE keepAlive);

DWORD InternetGetRequestByBitrate(BYTE proxyFlag, const char* protocol, const WCHAR* server,
                                  int port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                                  const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                                  const WCHAR* objectPath, const WCHAR* destinationPath,
                                  char** dataOutput, int requestKind, BYTE keepAlive);

// The GET_DATA temporary file of the calling thread: "<TEMP>\tw<thread id>.tmp",
// a new text freed with free.
char* GetTmpDataFilePath();

// Reads the calling thread's GET_DATA temporary file into a new text stored in
// *dataOutput (CR LF read as LF). 1 on success, 0 when it cannot be read.
int LoadDatafromFile(char** dataOutput);

// The largest body GET_DATA hands back in memory.
constexpr DWORD kMaxInMemoryBody = 64u << 20;

// Whether AgentSendRequest hands a download of `url` (server-relative) with this
// request kind and transfer type to the resumable downloader: DownloadMode 1
// under the agent key's "Settings" subkey, and no ".xml" or ".json" document;
// a plain transfer only for DOWNLOAD_FILE, a throttled one also for GET_DATA.
bool TakesResumablePath(const char* url, int requestKind, int transferType);
