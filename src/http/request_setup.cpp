#include "http/request_setup.h"
#include "base/settings.h"
#include "machine/machine_details.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/http_calls.h"
#include "http/http_common.h"
#include "base/log.h"

#include <stdlib.h>
#include <string.h>

using twhttp::LastErrorOf;

namespace {

const int kMaxSends = 5;
const DWORD kResendPauseMs = 5000;
const DWORD kSecureProtocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 |
                               WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                               WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;

void closeIfSet(HINTERNET* h) {
    if (!twhttp::IsUnset(*h))
        g_httpCalls.CloseHandle(*h);
    *h = TW_UNSET_HANDLE;
}

DWORD fatal(const char* message, DWORD code) {
    LogError(message, code);
    HttpGetLastError(code);
    return code;
}

} // namespace

InternetRequestHandles MakeInternetRequestHandles(int requestMode, const WCHAR* extraHeader) {
    InternetRequestHandles h;
    h.hSession = TW_UNSET_HANDLE;
    h.hConnect = TW_UNSET_HANDLE;
    h.hRequest = TW_UNSET_HANDLE;
    h.requestMode = requestMode;
    h.extraHeader = extraHeader;
    h.statusCode = 0;
    return h;
}

DWORD GetInternetRequestHandle(BYTE proxyFlag, const char* protocol, const WCHAR* server,
                               INTERNET_PORT port, const WCHAR* proxyServer,
                               const WCHAR* proxyBypass, const WCHAR* proxyUserName,
                               const WCHAR* proxyPassword, const WCHAR* objectPath,
                               const WCHAR* destinationPath, char** dataOutput, int requestKind,
                               BYTE keepAlive, InternetRequestHandles* handles) {
    LogDebug("@@@@@@@@ Inside GetInternetRequestHandle Method @@@@@@@@ \n");
    if (handles == nullptr)
        return ERROR_INVALID_DATA;
    handles->statusCode = 0;
    const bool https = twhttp::IsHttps(protocol);
    bool restarted = false;
    DWORD recorded = 0;
    static LPCWSTR acceptTypes[] = {TW_W("*/*"), nullptr};

    for (;;) {
        // Steps 2 to 10: a session, connection and request ready to send.
        HINTERNET session;
        if (proxyFlag == 1) {
            LogDebug("GetInternetRequestHandle : Proxy Server Name : %S \n", proxyServer);
            session = g_httpCalls.Open(twhttp::kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                       proxyServer, proxyBypass, 0);
        } else {
            session = g_httpCalls.Open(twhttp::kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        }
        if (session == nullptr)
            return fatal("GetInternetRequestHandle :  Error in WinHttpOpen --> %d \n",
                         LastErrorOf());
        handles->hSession = session;
        if (https)
            SetSecureProtocols(handles->hSession);

        HINTERNET connect = g_httpCalls.Connect(handles->hSession, server, port, 0);
        if (connect == nullptr) {
            DWORD e = LastErrorOf();
            LogError("GetInternetRequestHandle :  Error in WinHttpConnect --> %d \n", e);
            HttpGetLastError(e);
            closeIfSet(&handles->hSession);
            return e;
        }
        handles->hConnect = connect;

        const WCHAR* verb = handles->requestMode == REQUEST_MODE_HEAD ? TW_W("HEAD") : TW_W("GET");
        DWORD flags = WINHTTP_FLAG_REFRESH | (https ? WINHTTP_FLAG_SECURE : 0);
        HINTERNET request = g_httpCalls.OpenRequest(handles->hConnect, verb, objectPath, nullptr,
                                                    WINHTTP_NO_REFERER, acceptTypes, flags);
        if (request == nullptr) {
            DWORD e = LastErrorOf();
            LogError("GetInternetRequestHandle :  Error in WinHttpOpenRequest --> %d \n", e);
            HttpGetLastError(e);
            closeIfSet(&handles->hConnect);
            closeIfSet(&handles->hSession);
            return e;
        }
        handles->hRequest = request;

        DWORD rc = twhttp::AddHeader(handles->hRequest,
                                     keepAlive ? twhttp::kKeepAliveHeader : twhttp::kCloseHeader);
        if (rc != 0) {
            LogError("GetInternetRequestHandle :  Error in WinHttpAddRequestHeaders --> %d \n", rc);
            HttpGetLastError(rc);
            recorded = rc;
        }
        if (handles->requestMode == REQUEST_MODE_GET_WITH_HEADER) {
            rc = twhttp::AddHeader(handles->hRequest, handles->extraHeader);
            if (rc != 0) {
                LogError(
                    "InternetGetRequestByBitrate :  Error in WinHttpAddRequestHeaders --> %d \n",
                    rc);
                HttpGetLastError(rc);
                recorded = rc;
            }
        }
        if (requestKind == GET_DATA) {
            rc = twhttp::SetDwordOption(handles->hRequest, WINHTTP_OPTION_CONNECT_TIMEOUT,
                                        HTTPConnectionTimeout);
            if (rc != 0)
                return fatal("GetInternetRequestHandle :  Error in WinHttpSetOption --> %d \n", rc);
        }
        if (https) {
            rc = twhttp::ApplyCertificateTolerance(handles->hRequest);
            if (rc != 0)
                return fatal("GetInternetRequestHandle :  Error in WinHttpSetOption --> %d \n", rc);
            LogDebug("GetInternetRequestHandle :  The request is updated with the internet option "
                     "security flags. \n");
        }
        rc =
            twhttp::SetProxyCredentials(handles->hRequest, proxyFlag, proxyUserName, proxyPassword);
        if (rc != 0)
            return fatal("GetInternetRequestHandle :  Error in WinHttpSetOption --> %d \n", rc);

        // Step 11: the send loop.
        bool restartNow = false;
        for (int attempts = 0; attempts < kMaxSends;) {
            if (requestKind == GET_DATA) {
                rc = twhttp::SetDwordOption(handles->hRequest, WINHTTP_OPTION_RECEIVE_TIMEOUT,
                                            HTTPRequestTimeout);
                if (rc != 0)
                    return fatal(
                        "GetInternetRequestHandle :  Error in WinHttpSetOption before send "
                        "request --> %d \n",
                        rc);
            }
            if (!g_httpCalls.SendRequest(handles->hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                         WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
                DWORD e = LastErrorOf();
                recorded = e;
                if (e == ERROR_WINHTTP_LOGIN_FAILURE || e == ERROR_WINHTTP_OPERATION_CANCELLED) {
                    LogInfo(
                        "GetInternetRequestHandle : Going to close the request handle and going "
                        "to resending the data to the server %S \n",
                        server);
                    if (!restarted) {
                        restartNow = true;
                        break;
                    }
                }
                LogError("GetInternetRequestHandle :  Error in WinHttpSendRequest -> %d \n", e);
                HttpGetLastError(e);
                return e;
            }
            if (g_httpCalls.ReceiveResponse(handles->hRequest, nullptr))
                break;
            DWORD e = LastErrorOf();
            recorded = e;
            if (e == ERROR_WINHTTP_RESEND_REQUEST) {
                LogInfo("GetInternetRequestHandle : Resending the data to the server %S \n",
                        server);
                g_httpCalls.Sleep(kResendPauseMs);
                ++attempts;
                continue;
            }
            if (e == ERROR_WINHTTP_LOGIN_FAILURE || e == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) {
                LogInfo("GetInternetRequestHandle : Going to close the request handle and going to "
                        "resending the data to the server %S,as the error code received is %d \n",
                        server, e);
                if (!restarted) {
                    restartNow = true;
                    break;
                }
                ++attempts;
                continue;
            }
            LogInfo("GetInternetRequestHandle :  Error - WinHttpReceiveResponse --> %d \n", e);
            HttpGetLastError(e);
            return e;
        }
        if (!restartNow)
            break;
        // Restart once: new session, connection and request. The earlier ones
        // are closed here since nothing uses them again.
        restarted = true;
        closeIfSet(&handles->hRequest);
        closeIfSet(&handles->hConnect);
        closeIfSet(&handles->hSession);
    }

    // Step 12: the response headers (after five sends without a response this
    // query fails, and that failure is the result).
    Owned<WCHAR> headers;
    DWORD rc = twhttp::QueryRawHeaders(handles->hRequest, &headers);
    if (rc != 0)
        return fatal("GetInternetRequestHandle :  Error in WinHttpQueryHeaders --> %d \n", rc);
    LogDebug("GetInternetRequestHandle :  Header Informations : \n %S \n", headers.get());
    headers.reset();

    rc = twhttp::QueryStatusCode(handles->hRequest, &handles->statusCode);
    if (rc != 0) {
        LogError("GetInternetRequestHandle : WinHttpQueryHeaders failed with the error code while "
                 "getting http status code %d \n",
                 rc);
        return rc;
    }
    if (handles->statusCode == 407) {
        LogError("GetInternetRequestHandle : Proxy Credentials are failed to authenticate %d \n",
                 407);
        return 407;
    }
    LogDebug("@@@@@@@@ End of GetInternetRequestHandle Method @@@@@@@@ \n");
    return recorded;
}

void CloseInternetHandles(InternetRequestHandles* handles) {
    if (handles == nullptr)
        return;
    struct Slot {
        HINTERNET* h;
        const char* message;
    } slots[] = {{&handles->hRequest, "Error in WinHttpCloseHandle hRequest --> %d \n"},
                 {&handles->hConnect, "Error in WinHttpCloseHandle hConnect --> %d \n"},
                 {&handles->hSession, "Error in WinHttpCloseHandle hSession --> %d \n"}};
    for (Slot& s : slots) {
        if (twhttp::IsUnset(*s.h))
            continue;
        if (!g_httpCalls.CloseHandle(*s.h))
            LogDebug(s.message, GetLastError());
        *s.h = TW_UNSET_HANDLE;
    }
}

int SetSecureProtocols(HINTERNET& hSession) {
    if (!isWin7orWin8())
        return 1;
    LogInfo("SetSecureProtocols : Configuring security protocols \n");
    DWORD protocols = kSecureProtocols;
    if (g_httpCalls.SetOption(hSession, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof(protocols))) {
        LogInfo("SetSecureProtocols :  Security protocols configured successfully \n");
    } else {
        DWORD e = GetLastError();
        LogError("SetSecureProtocols :  Error in WinHttpSetOption for security protocols --> %d \n",
                 e);
        HttpGetLastError(e);
    }
    return 1;
}

DWORD GetFilelastmodifiedTime(HINTERNET hRequest, WCHAR** out) {
    LogDebug("@@@@@@@@@@@ Inside GetFilelastmodifiedTime Method   @@@@@@@@@@@@@\n");
    DWORD result = 0;
    DWORD size = 0;
    BOOL ok = g_httpCalls.QueryHeaders(hRequest, WINHTTP_QUERY_LAST_MODIFIED,
                                       WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                                       &size, WINHTTP_NO_HEADER_INDEX);
    DWORD e = ok ? static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND) : GetLastError();
    // A Last-Modified text is a date of about 30 characters; anything far
    // longer is not a date and is not given an allocation.
    const DWORD kMaxBytes = 64 * 1024;
    if (e != ERROR_INSUFFICIENT_BUFFER || size > kMaxBytes) {
        if (e == ERROR_INSUFFICIENT_BUFFER)
            e = ERROR_WINHTTP_HEADER_SIZE_OVERFLOW;
        LogError("GetFilelastmodifiedTime: Could n't query HEADER for last modified time\n");
        result = e != 0 ? e : static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND);
    } else {
        DWORD bytes = size * 4 + 2;
        Owned<WCHAR> buffer(static_cast<WCHAR*>(calloc(bytes + sizeof(WCHAR), 1)));
        DWORD length = bytes;
        if (!buffer) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } else if (g_httpCalls.QueryHeaders(hRequest, WINHTTP_QUERY_LAST_MODIFIED,
                                            WINHTTP_HEADER_NAME_BY_INDEX, buffer.get(), &length,
                                            WINHTTP_NO_HEADER_INDEX)) {
            LogDebug("GetFilelastmodifiedTime : File last modified time: %S\n", buffer.get());
            size_t chars = TwWideLen(buffer.get());
            auto* copy = static_cast<WCHAR*>(calloc(chars * 4 + 2, 1));
            if (copy == nullptr) {
                result = ERROR_NOT_ENOUGH_MEMORY;
            } else {
                memcpy(copy, buffer.get(), chars * sizeof(WCHAR));
                if (out != nullptr)
                    *out = copy;
                else
                    free(copy);
            }
        } else {
            result = LastErrorOf();
            LogError("GetFilelastmodifiedTime :  Error in Content Length Header -> %d \n", result);
            HttpGetLastError(result);
        }
    }
    LogDebug("@@@@@@@@@@@ End of GetFilelastmodifiedTime Method   @@@@@@@@@@@@@\n");
    return result;
}
