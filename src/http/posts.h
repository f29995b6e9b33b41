// Posts: a block of data from memory, or a file uploaded in chunks, each as
// the body of one POST; the server's answer optionally returned in memory.
#pragma once

#include <windows.h>

// payload: the data to post (absent: result 13). size: the post size for
// POST_MULTIPART (0: the payload's length). responseOut: when present, receives
// the body of a 200 answer as a new text freed with free.
DWORD InternetSendRequestEx(BYTE proxyFlag, const char* protocol, const WCHAR* server, int port,
                            const WCHAR* proxyServer, const WCHAR* proxyBypass,
                            const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                            const WCHAR* objectPath, const char* payload, char** responseOut,
                            int requestKind, BYTE keepAlive, DWORD size);

// filePath: the file whose bytes form the body (absent or empty: result 13).
// chunkSize: bytes read and written per step (0: kDefaultUploadChunk; at most
// kMaxUploadChunk). keepAlive is not used: uploads always keep the connection.
DWORD InternetSendRequestByBitRate(BYTE proxyFlag, const char* protocol, const WCHAR* server,
                                   int port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                                   const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                                   const WCHAR* objectPath, const char* filePath,
                                   char** responseOut, int requestKind, BYTE keepAlive,
                                   DWORD chunkSize);

constexpr DWORD kDefaultUploadChunk = 64u << 10;
constexpr DWORD kMaxUploadChunk = 4u << 20;
// The largest answer to a post read into memory; a longer one is cut there.
constexpr DWORD kMaxPostResponse = 16u << 20;
