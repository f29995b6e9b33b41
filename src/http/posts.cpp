#include "http/posts.h"
#include "base/settings.h"
#include "base/file_helpers.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/http_calls.h"
#include "http/http_common.h"
#include "http/progress.h"
#include "http/request_setup.h"
#include "base/log.h"

#include <share.h>
#include <stdio.h>
#include <string.h>

using namespace twhttp;

namespace {

const int kMaxSends = 5;
const DWORD kResendPauseMs = 5000;

struct PostTarget {
    const char* name; // the function named in every message
    BYTE proxyFlag;
    const char* protocol;
    const WCHAR* server;
    INTERNET_PORT port;
    const WCHAR* proxyServer;
    const WCHAR* proxyBypass;
    const WCHAR* proxyUserName;
    const WCHAR* proxyPassword;
    const WCHAR* objectPath;
    char** responseOut;
    BYTE keepAlive;
    bool timeouts;        // POST_DATA: connect and receive time-outs as for GET_DATA
    bool multipartHeader; // POST_MULTIPART: the content type before every send
};

HINTERNET openPostRequest(const PostTarget& t, HINTERNET hConnect) {
    DWORD flags = WINHTTP_FLAG_REFRESH | (IsHttps(t.protocol) ? WINHTTP_FLAG_SECURE : 0);
    return g_httpCalls.OpenRequest(hConnect, TW_W("POST"), t.objectPath, nullptr,
                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
}

void closeLogged(const char* name, const char* which, HINTERNET* h) {
    if (IsUnset(*h))
        return;
    if (!g_httpCalls.CloseHandle(*h)) {
        DWORD e = GetLastError();
        LogError("%s :  Error in WinHttpCloseHandle %s --> %d \n", name, which, e);
        HttpGetLastError(e);
    }
    *h = TW_UNSET_HANDLE;
}

// Reads the answer of a 200 into a new buffer stored in *out, bounded by
// kMaxPostResponse. 0 or the error of the Content-Length query.
DWORD readResponse(const PostTarget& t, HINTERNET hRequest, char** out) {
    LogInfo("%s : Reading the response sent by the server %S \n", t.name, t.server);
    DWORD contentLength = 0;
    if (!QueryContentLength(hRequest, &contentLength)) {
        DWORD e = LastErrorOf();
        LogError("%s :  WinHttpQueryHeaders failed with the error code while getting content "
                 "length -> %d \n",
                 t.name, e);
        HttpGetLastError(e);
        return e;
    }
    DWORD limit = contentLength;
    if (limit > kMaxPostResponse) {
        LogError("%s : The response of %u bytes is longer than %u bytes; only that much is read \n",
                 t.name, contentLength, kMaxPostResponse);
        limit = kMaxPostResponse;
    }
    size_t capacity = (static_cast<size_t>(limit) + 2) * 4 + 4;
    auto* buffer = static_cast<char*>(calloc(capacity, 1));
    if (buffer == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    *out = buffer;
    size_t used = 0;
    for (;;) {
        // One zero byte always stays at the end.
        size_t room = capacity - 1 - used;
        DWORD ask = static_cast<DWORD>(room < limit + 2 ? room : limit + 2);
        if (ask == 0)
            break;
        DWORD got = 0;
        if (!g_httpCalls.ReadData(hRequest, buffer + used, ask, &got) || got == 0)
            break;
        used += got > ask ? ask : got;
        LogDebug("%s : Received response from server %S: \n %s \n", t.name, t.server, buffer);
        LogDebug("%s :  No Of Bytes -> %d \n", t.name, got);
    }
    return 0;
}

// The common post: session, connection, request, header step, send loop with
// the retry rules, answer. `send` performs one send on a request handle and
// returns FALSE with the last error set when WinHttpSendRequest failed.
template <class Send> DWORD runPost(const PostTarget& t, Send send) {
    HINTERNET hSession;
    if (t.proxyFlag == 1) {
        LogInfo("%s : Proxy Server Name : %S \n", t.name, t.proxyServer);
        hSession = g_httpCalls.Open(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, t.proxyServer,
                                    t.proxyBypass, 0);
    } else {
        hSession = g_httpCalls.Open(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (hSession == nullptr) {
        DWORD e = LastErrorOf();
        LogError("%s :  Error in WinHttpOpen --> %d \n", t.name, e);
        HttpGetLastError(e);
        return e;
    }
    const bool https = IsHttps(t.protocol);
    if (https)
        SetSecureProtocols(hSession);
    HINTERNET hConnect = g_httpCalls.Connect(hSession, t.server, t.port, 0);
    if (hConnect == nullptr) {
        DWORD e = LastErrorOf();
        LogError("%s :  Error in WinHttpConnect --> %d \n", t.name, e);
        HttpGetLastError(e);
        g_httpCalls.CloseHandle(hSession);
        return e;
    }
    HINTERNET hRequest = openPostRequest(t, hConnect);
    if (hRequest == nullptr) {
        DWORD e = LastErrorOf();
        LogError("%s :  Error in WinHttpOpenRequest --> %d \n", t.name, e);
        HttpGetLastError(e);
        g_httpCalls.CloseHandle(hConnect);
        g_httpCalls.CloseHandle(hSession);
        return e;
    }

    DWORD result = 0;
    bool restarted = false;
    bool failed = false;
    for (;;) {
        // Step 5: the header and options of this request handle.
        DWORD rc = AddHeader(hRequest, t.keepAlive ? kKeepAliveHeader : kCloseHeader);
        if (rc != 0) {
            LogError("%s :  Error in WinHttpAddRequestHeaders --> %d \n", t.name, rc);
            HttpGetLastError(rc);
        }
        if (t.timeouts)
            rc = SetDwordOption(hRequest, WINHTTP_OPTION_CONNECT_TIMEOUT, HTTPConnectionTimeout);
        else
            rc = 0;
        if (rc == 0 && https) {
            rc = ApplyCertificateTolerance(hRequest);
            if (rc == 0)
                LogDebug("%s :  The request is updated with the internet option security flags. \n",
                         t.name);
        }
        if (rc == 0)
            rc = SetProxyCredentials(hRequest, t.proxyFlag, t.proxyUserName, t.proxyPassword);
        if (rc != 0) {
            LogError("%s :  Error in WinHttpSetOption --> %d \n", t.name, rc);
            HttpGetLastError(rc);
            result = rc;
            failed = true;
            break;
        }

        // Step 6: at most five sends.
        bool restartNow = false;
        for (int attempts = 0; attempts < kMaxSends && !failed;) {
            if (t.timeouts) {
                rc = SetDwordOption(hRequest, WINHTTP_OPTION_RECEIVE_TIMEOUT, HTTPRequestTimeout);
                if (rc != 0) {
                    LogError("%s :  Error in WinHttpSetOption before send request--> %d \n", t.name,
                             rc);
                    HttpGetLastError(rc);
                }
            }
            if (t.multipartHeader) {
                rc = AddHeader(hRequest, TW_W("Content-Type: multipart/form-data"));
                if (rc != 0) {
                    LogError("%s :  Error in WinHttpAddRequestHeaders (second Header ) --> %d \n",
                             t.name, rc);
                    HttpGetLastError(rc);
                }
            }
            if (!send(hRequest)) {
                DWORD e = LastErrorOf();
                if (e == ERROR_WINHTTP_LOGIN_FAILURE || e == ERROR_WINHTTP_OPERATION_CANCELLED) {
                    LogInfo(
                        "%s : Going to close the request handle and going to resending the data "
                        "to the server %S \n",
                        t.name, t.server);
                    if (!restarted) {
                        restartNow = true;
                        break;
                    }
                }
                LogError("%s :  Error in WinHttpSendRequest -> %d \n", t.name, e);
                HttpGetLastError(e);
                result = e;
                failed = true;
                break;
            }
            if (g_httpCalls.ReceiveResponse(hRequest, nullptr))
                break;
            DWORD e = LastErrorOf();
            if (e == ERROR_WINHTTP_RESEND_REQUEST) {
                LogInfo("%s : Resending the data to the server %S \n", t.name, t.server);
                g_httpCalls.Sleep(kResendPauseMs);
                ++attempts;
            } else if (e == ERROR_WINHTTP_LOGIN_FAILURE ||
                       e == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) {
                LogInfo("%s : Going to close the request handle and going to resending the data to "
                        "the server %S,as the error code received is %d \n",
                        t.name, t.server, e);
                if (!restarted) {
                    restartNow = true;
                    break;
                }
                ++attempts;
            } else {
                LogInfo("%s :  Error - WinHttpReceiveResponse --> %d \n", t.name, e);
                HttpGetLastError(e);
                result = e;
                failed = true;
            }
        }
        if (failed || !restartNow)
            break;
        // Restart once: a new request on the same connection.
        restarted = true;
        g_httpCalls.CloseHandle(hRequest);
        hRequest = openPostRequest(t, hConnect);
        if (hRequest == nullptr) {
            DWORD e = LastErrorOf();
            LogError("%s :  Error in WinHttpOpenRequest --> %d \n", t.name, e);
            HttpGetLastError(e);
            g_httpCalls.CloseHandle(hConnect);
            g_httpCalls.CloseHandle(hSession);
            return e;
        }
    }

    if (!failed) {
        // Step 7 (also after five sends without an answer: the queries fail then).
        Owned<WCHAR> headers;
        DWORD rc = QueryRawHeaders(hRequest, &headers);
        DWORD status = 0;
        if (rc != 0) {
            LogError("%s :  Error in WinHttpQueryHeaders --> %d \n", t.name, rc);
            HttpGetLastError(rc);
            result = rc;
        } else {
            LogDebug("%s :  Header Informations : \n %S \n", t.name, headers.get());
            rc = QueryStatusCode(hRequest, &status);
            if (rc != 0) {
                LogError("%s : WinHttpQueryHeaders failed with the error code while getting http "
                         "status code %d \n",
                         t.name, rc);
                result = rc;
            } else if (status == 407) {
                LogError("%s : Proxy Credentials are failed to authenticate %d \n", t.name, 407);
                result = 407;
            } else if (status == 200) {
                LogInfo("%s : Successfully posted the data to the server %S \n", t.name, t.server);
                result = 0;
                if (t.responseOut != nullptr)
                    result = readResponse(t, hRequest, t.responseOut);
            } else {
                LogError(
                    "%s : Failed to post the data to the server %S with http status code %d \n",
                    t.name, t.server, status);
                result = status;
            }
        }
    }
    closeLogged(t.name, "hRequest", &hRequest);
    closeLogged(t.name, "hConnect", &hConnect);
    closeLogged(t.name, "hSession", &hSession);
    return result;
}

bool portInRange(const char* name, int port) {
    if (port >= 0 && port <= 65535)
        return true;
    LogError("%s : Invalid request, the port is out of range (port %d) \n", name, port);
    return false;
}

} // namespace

DWORD InternetSendRequestEx(BYTE proxyFlag, const char* protocol, const WCHAR* server, int port,
                            const WCHAR* proxyServer, const WCHAR* proxyBypass,
                            const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                            const WCHAR* objectPath, const char* payload, char** responseOut,
                            int requestKind, BYTE keepAlive, DWORD size) {
    const char* name = "InternetSendRequestEx";
    LogDebug("@@@@@@@@ Inside InternetSendRequestEx Method @@@@@@@@ \n");
    LogInfo("InternetSendRequestEx : Tidewell Server & Port -> %S : %d \n", server, port);
    LogDebug("InternetSendRequestEx : URL to Post -> %S \n", objectPath);
    LogDebug("InternetSendRequestEx : Data to Send -> \n %s \n", payload);
    DWORD result = RESULT_INVALID_INPUT;
    if (payload != nullptr && portInRange(name, port)) {
        DWORD postSize = (requestKind == POST_MULTIPART && size != 0)
                             ? size
                             : static_cast<DWORD>(strlen(payload));
        LogDebug("InternetSendRequestEx : dwPostSize: %d \n", postSize);
        PostTarget t{name,
                     proxyFlag,
                     protocol,
                     server,
                     static_cast<INTERNET_PORT>(port),
                     proxyServer,
                     proxyBypass,
                     proxyUserName,
                     proxyPassword,
                     objectPath,
                     responseOut,
                     keepAlive,
                     requestKind == POST_DATA,
                     requestKind == POST_MULTIPART};
        result = runPost(t, [&](HINTERNET hRequest) {
            return g_httpCalls.SendRequest(hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                           const_cast<char*>(payload), postSize, postSize, 0);
        });
    }
    LogDebug("@@@@@@@@ End Of InternetSendRequestEx Method @@@@@@@@ \n");
    return result;
}

DWORD InternetSendRequestByBitRate(BYTE proxyFlag, const char* protocol, const WCHAR* server,
                                   int port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                                   const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                                   const WCHAR* objectPath, const char* filePath,
                                   char** responseOut, int requestKind, BYTE keepAlive,
                                   DWORD chunkSize) {
    const char* name = "InternetSendRequestByBitRate";
    LogDebug("***************** Inside InternetSendRequestByBitRate Method ***************** \n");
    LogInfo("InternetSendRequestByBitRate : Tidewell Server & Port -> %S : %d \n", server, port);
    LogDebug("InternetSendRequestByBitRate : URL to Post -> %S \n", objectPath);
    DWORD result = RESULT_INVALID_INPUT;
    LONGLONG size64 = 0;
    if (filePath != nullptr && filePath[0] != 0 && portInRange(name, port)) {
        if (!GetFileSize64(filePath, &size64))
            size64 = 0;
        int fileSize = static_cast<int>(static_cast<DWORD>(size64 & 0xFFFFFFFF));
        if (size64 > 0x7FFFFFFF) {
            // The size travels as a signed 32-bit number; a larger file would be cut short.
            LogError("InternetSendRequestByBitRate: File Size is too large: %lld\n", size64);
        } else if (fileSize <= 0) {
            LogError("InternetSendRequestByBitRate: File Size is zero: %d\n", fileSize);
        } else {
            DWORD chunk = chunkSize == 0
                              ? kDefaultUploadChunk
                              : (chunkSize > kMaxUploadChunk ? kMaxUploadChunk : chunkSize);
            if (chunk != chunkSize)
                LogDebug("InternetSendRequestByBitRate : Chunk size %u used for %u \n", chunk,
                         chunkSize);
            PostTarget t{name,
                         proxyFlag,
                         protocol,
                         server,
                         static_cast<INTERNET_PORT>(port),
                         proxyServer,
                         proxyBypass,
                         proxyUserName,
                         proxyPassword,
                         objectPath,
                         responseOut,
                         1,
                         false,
                         false};
            result = runPost(t, [&](HINTERNET hRequest) -> BOOL {
                // The file is read afresh for every send; one that cannot be
                // opened sends nothing and the receive step reports it.
                FILE* f = _fsopen(filePath, "rb", _SH_DENYNO);
                if (f == nullptr) {
                    LogError("InternetSendRequestByBitRate : The file %s could not be opened \n",
                             filePath);
                    return TRUE;
                }
                Owned<char> buffer(static_cast<char*>(malloc(chunk)));
                if (!buffer) {
                    fclose(f);
                    return TRUE;
                }
                WCHAR header[2048];
                TwWideFormat(header, 2048, "Content-type: multipart/form-data; filesize=\"%d\"",
                             fileSize);
                LogInfo("InternetSendRequestByBitRate: Header buffer: %S\n", header);
                if (!g_httpCalls.SendRequest(hRequest, header, static_cast<DWORD>(-1), nullptr, 0,
                                             static_cast<DWORD>(fileSize), 0)) {
                    DWORD e = GetLastError();
                    fclose(f);
                    SetLastError(e);
                    return FALSE;
                }
                DWORD remaining = static_cast<DWORD>(fileSize);
                while (remaining != 0) {
                    size_t n = fread(buffer.get(), 1, remaining < chunk ? remaining : chunk, f);
                    if (n == 0)
                        break;
                    DWORD written = 0;
                    if (!g_httpCalls.WriteData(hRequest, buffer.get(), static_cast<DWORD>(n),
                                               &written)) {
                        LogError("InternetSendRequestByBitRate :  Error in WinHttpWriteData --> %d "
                                 "\n",
                                 GetLastError());
                        break;
                    }
                    remaining -= static_cast<DWORD>(n);
                    ReportTransfer(static_cast<DWORD>(fileSize) - remaining, fileSize, 0, true);
                }
                fclose(f);
                return TRUE;
            });
        }
    }
    LogDebug("***************** End Of InternetSendRequestByBitRate Method ***************** \n");
    return result;
}
