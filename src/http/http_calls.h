// The WinHTTP calls, the pause and the clock that the server-communication code
// goes through. They default to the system's functions; a test replaces single
// entries to provoke error codes no real server can produce, and restores them.
#pragma once

#include <windows.h>
#include <winhttp.h>

struct HttpCalls {
    decltype(&::WinHttpOpen) Open;
    decltype(&::WinHttpConnect) Connect;
    decltype(&::WinHttpOpenRequest) OpenRequest;
    decltype(&::WinHttpAddRequestHeaders) AddRequestHeaders;
    decltype(&::WinHttpSetOption) SetOption;
    decltype(&::WinHttpQueryOption) QueryOption;
    decltype(&::WinHttpSendRequest) SendRequest;
    decltype(&::WinHttpWriteData) WriteData;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse;
    decltype(&::WinHttpQueryHeaders) QueryHeaders;
    decltype(&::WinHttpQueryDataAvailable) QueryDataAvailable;
    decltype(&::WinHttpReadData) ReadData;
    decltype(&::WinHttpCloseHandle) CloseHandle;
    decltype(&::Sleep) Sleep;
    decltype(&::GetLocalTime) GetLocalTime;
};

extern HttpCalls g_httpCalls;

// Puts every entry back to the system's function.
void RestoreHttpCalls();
