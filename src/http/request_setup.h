// One synchronous WinHTTP request: session, connection and request opened with
// the agent's proxy, time-out and certificate rules, sent with the retry policy,
// answered with the HTTP status code.
#pragma once

#include <windows.h>
#include <winhttp.h>

// The unset marker of a handle in InternetRequestHandles: all bits set.
#define TW_UNSET_HANDLE (reinterpret_cast<HINTERNET>(~static_cast<ULONG_PTR>(0)))

// requestMode values.
constexpr int REQUEST_MODE_GET = 0;
constexpr int REQUEST_MODE_GET_WITH_HEADER = 1;
constexpr int REQUEST_MODE_HEAD = 2;

struct InternetRequestHandles {
    HINTERNET hSession;
    HINTERNET hConnect;
    HINTERNET hRequest;
    int requestMode;
    const WCHAR* extraHeader; // borrowed; used when requestMode is 1
    DWORD statusCode;         // out: 0 when the status query failed
};

// A record with the three handles unset, the given mode and header, status 0.
InternetRequestHandles MakeInternetRequestHandles(int requestMode = REQUEST_MODE_GET,
                                                  const WCHAR* extraHeader = nullptr);

// Opens, sends and answers one request. With result 0 the caller judges
// handles->statusCode; the caller closes the handles (CloseInternetHandles).
DWORD GetInternetRequestHandle(BYTE proxyFlag, const char* protocol, const WCHAR* server,
                               INTERNET_PORT port, const WCHAR* proxyServer,
                               const WCHAR* proxyBypass, const WCHAR* proxyUserName,
                               const WCHAR* proxyPassword, const WCHAR* objectPath,
                               const WCHAR* destinationPath, char** dataOutput, int requestKind,
                               BYTE keepAlive, InternetRequestHandles* handles);

// Closes request, connection and session (those not unset) and marks them unset.
void CloseInternetHandles(InternetRequestHandles* handles);

// Enables TLS 1.0 to 1.2 on the session on Windows 7 and 8; returns 1 always.
int SetSecureProtocols(HINTERNET& hSession);

// Logs the explanation of a WinHTTP (or Windows) error code.
void HttpGetLastError(DWORD errorCode);

// Reads the response's Last-Modified header into a new UTF-16 text (*out, freed
// with free). 0 on success, otherwise the error code.
DWORD GetFilelastmodifiedTime(HINTERNET hRequest, WCHAR** out);
