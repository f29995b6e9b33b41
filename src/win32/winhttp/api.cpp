// The session, connection and request calls of the Linux WinHTTP: opening
// handles, request headers, sending, writing, receiving and reading. The
// exchange itself is the transfer engine's (transfer.cpp).
#include "kernel32/text.h"
#include "winhttp/curl_loader.h"
#include "winhttp/handles.h"
#include "winhttp/headers.h"
#include "winhttp/transfer.h"
#include "winhttp/url.h"

#include <curl/curl.h>

#include <string.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace tw::winhttp {
namespace {

constexpr size_t kMaxAcceptTypes = 64;

} // namespace
} // namespace tw::winhttp

using namespace tw;
using namespace tw::winhttp;

extern "C" {

HINTERNET WINAPI WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW,
                             LPCWSTR pszProxyBypassW, DWORD dwFlags) {
    try {
        // libcurl is bound here, on first use, as a delay-loaded DLL would be.
        DWORD loadError = 0;
        if (!LoadCurl(&loadError)) {
            SetLastError(loadError);
            return nullptr;
        }
        GlobalInit();
        if (dwFlags & WINHTTP_FLAG_ASYNC) {
            SetLastError(ERROR_NOT_SUPPORTED); // this layer is synchronous only
            return nullptr;
        }
        if (dwAccessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY &&
            dwAccessType != WINHTTP_ACCESS_TYPE_NO_PROXY &&
            dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
            dwAccessType != WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
            (pszProxyW == nullptr || pszProxyW[0] == 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto session = std::make_shared<Session>();
        session->hasAgent = pszAgentW != nullptr;
        if (pszAgentW != nullptr)
            session->agent = pszAgentW;
        // No system-wide proxy configuration exists here: the default is direct.
        session->accessType = dwAccessType;
        if (dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            session->proxyList = pszProxyW;
            if (pszProxyBypassW != nullptr)
                session->bypassList = pszProxyBypassW;
        }
        HINTERNET h = AddHandle(session);
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (...) {
        SetLastError(ExceptionError());
        return nullptr;
    }
}

HINTERNET WINAPI WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName,
                                INTERNET_PORT nServerPort, DWORD dwReserved) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto session = Lookup<Session>(hSession, Kind::Session, &error);
        if (!session) {
            SetLastError(error);
            return nullptr;
        }
        if (pswzServerName == nullptr || pswzServerName[0] == 0 || dwReserved != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto connect = std::make_shared<Connect>();
        connect->session = session;
        connect->host = Utf16ToUtf8(pswzServerName);
        if (connect->host.size() > 2 && connect->host.front() == '[' && connect->host.back() == ']')
            connect->host = connect->host.substr(1, connect->host.size() - 2);
        connect->port = nServerPort;
        connect->settings = InheritSettings(*session);
        connect->parent = hSession;
        HINTERNET h = AddHandle(connect);
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (...) {
        SetLastError(ExceptionError());
        return nullptr;
    }
}

HINTERNET WINAPI WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb, LPCWSTR pwszObjectName,
                                    LPCWSTR pwszVersion, LPCWSTR pwszReferrer,
                                    LPCWSTR* ppwszAcceptTypes, DWORD dwFlags) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto connect = Lookup<Connect>(hConnect, Kind::Connect, &error);
        if (!connect) {
            SetLastError(error);
            return nullptr;
        }
        auto r = std::make_shared<Request>();
        r->connect = connect;
        r->settings = InheritSettings(*connect);
        r->parent = hConnect;
        r->verb = pwszVerb != nullptr && pwszVerb[0] != 0 ? Narrow(pwszVerb) : "GET";
        for (char c : r->verb) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u <= 0x20 || u >= 0x7F) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
        }
        r->path = EscapePath(pwszObjectName, dwFlags);
        if (pwszVersion != nullptr) {
            std::string version = Narrow(pwszVersion);
            if (version == "HTTP/1.0")
                r->http10 = true;
            else if (!version.empty() && version != "HTTP/1.1") {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
        }
        r->referrer = Narrow(pwszReferrer);
        if (ppwszAcceptTypes != nullptr) {
            for (size_t i = 0; ppwszAcceptTypes[i] != nullptr; ++i) {
                if (i >= kMaxAcceptTypes) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return nullptr;
                }
                std::string type = Narrow(ppwszAcceptTypes[i]);
                if (type.empty())
                    continue;
                if (!r->accept.empty())
                    r->accept += ", ";
                r->accept += type;
            }
        }
        r->openFlags = dwFlags;
        r->secure = (dwFlags & WINHTTP_FLAG_SECURE) != 0;
        r->baseUrl = BuildUrl(r->secure, connect->host, connect->port, r->path);
        std::string scheme, host;
        if (!UrlParts(r->baseUrl, &scheme, &host)) {
            SetLastError(ERROR_WINHTTP_INVALID_URL);
            return nullptr;
        }
        r->ring.reset(new char[kReceiveBufferBytes]);
        r->multi = curl_multi_init();
        r->easy = curl_easy_init();
        if (r->multi == nullptr || r->easy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        HINTERNET h = AddHandle(r);
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (...) {
        SetLastError(ExceptionError());
        return nullptr;
    }
}

BOOL WINAPI WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                                     DWORD dwModifiers) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto r = Lookup<Request>(hRequest, Kind::Request, &error);
        if (!r)
            return Fail(error);
        std::lock_guard<std::mutex> g(r->mutex);
        error = AddHeaders(r->headers, lpszHeaders, dwHeadersLength, dwModifiers);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                               LPVOID lpOptional, DWORD dwOptionalLength, DWORD dwTotalLength,
                               DWORD_PTR dwContext) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto r = Lookup<Request>(hRequest, Kind::Request, &error);
        if (!r)
            return Fail(error);
        std::lock_guard<std::mutex> g(r->mutex);
        if (dwOptionalLength > 0 && lpOptional == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        if (lpszHeaders != nullptr && dwHeadersLength != 0) {
            error = AddHeaders(r->headers, lpszHeaders, dwHeadersLength,
                               WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
            if (error != ERROR_SUCCESS)
                return Fail(error);
        }
        r->context = dwContext;
        r->sent = false;
        r->received = false;
        r->failed = 0;
        r->url = r->baseUrl;
        r->currentVerb = r->verb;
        r->redirects = 0;
        r->bodyTotal = std::max<uint64_t>(dwTotalLength, dwOptionalLength);
        r->optional = static_cast<const char*>(lpOptional);
        r->optionalLen = dwOptionalLength;
        r->optionalPos = 0;
        r->optionalCopy.clear();
        r->writeSrc = nullptr;
        r->writeLen = r->writePos = 0;
        error = StartTransfer(*r);
        if (error != ERROR_SUCCESS)
            return FailExchange(*r, error);
        error = Pump(*r, Wait::Sent);
        KeepOptionalRemainder(*r);
        if (error != ERROR_SUCCESS)
            return FailExchange(*r, error);
        error = SendFailure(*r, r->optionalPos >= r->optionalLen);
        if (error != ERROR_SUCCESS)
            return FailExchange(*r, error);
        r->sent = true;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                             LPDWORD lpdwNumberOfBytesWritten) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto r = Lookup<Request>(hRequest, Kind::Request, &error);
        if (!r)
            return Fail(error);
        std::lock_guard<std::mutex> g(r->mutex);
        if (lpdwNumberOfBytesWritten == nullptr ||
            (lpBuffer == nullptr && dwNumberOfBytesToWrite > 0))
            return Fail(ERROR_INVALID_PARAMETER);
        *lpdwNumberOfBytesWritten = 0;
        if (r->failed != 0)
            return Fail(r->failed);
        if (!r->sent || r->received)
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        // Only what WinHttpSendRequest announced beyond its optional data may follow.
        const uint64_t announced = r->bodyTotal;
        const uint64_t pledged = r->uploaded + (r->optionalLen - r->optionalPos);
        if (pledged + dwNumberOfBytesToWrite > announced)
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        if (dwNumberOfBytesToWrite == 0) {
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        if (r->done && !r->finalHeaders)
            return Fail(TransferError(*r));
        r->writeSrc = static_cast<const char*>(lpBuffer);
        r->writeLen = dwNumberOfBytesToWrite;
        r->writePos = 0;
        if (r->sendPaused) {
            r->sendPaused = false;
            curl_easy_pause(r->easy, r->recvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
        }
        error = Pump(*r, Wait::Written);
        const size_t written = r->writePos;
        r->writeSrc = nullptr;
        r->writeLen = r->writePos = 0;
        if (error != ERROR_SUCCESS)
            return FailExchange(*r, error);
        error = SendFailure(*r, written >= dwNumberOfBytesToWrite);
        if (error != ERROR_SUCCESS)
            return FailExchange(*r, error);
        *lpdwNumberOfBytesWritten = static_cast<DWORD>(written);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpReceiveResponse(HINTERNET hRequest, LPVOID lpReserved) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto r = Lookup<Request>(hRequest, Kind::Request, &error);
        if (!r)
            return Fail(error);
        std::lock_guard<std::mutex> g(r->mutex);
        if (lpReserved != nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        if (r->failed != 0)
            return Fail(r->failed);
        if (!r->sent)
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        if (r->received) {
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        error = AwaitResponse(*r);
        if (error != ERROR_SUCCESS)
            return FailExchange(*r, error);
        r->received = true;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName,
                                LPVOID lpBuffer, LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto r = Lookup<Request>(hRequest, Kind::Request, &error);
        if (!r)
            return Fail(error);
        std::lock_guard<std::mutex> g(r->mutex);
        if (dwInfoLevel & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) {
            error = QueryHeaderBlock(RequestBlock(*r), dwInfoLevel, pwszName, lpBuffer,
                                     lpdwBufferLength, lpdwIndex);
        } else if (!r->received) {
            error = ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
        } else {
            error = QueryHeaderBlock(r->response, dwInfoLevel, pwszName, lpBuffer, lpdwBufferLength,
                                     lpdwIndex);
        }
        if (error != ERROR_SUCCESS)
            return Fail(error);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpQueryDataAvailable(HINTERNET hRequest, LPDWORD lpdwNumberOfBytesAvailable) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto r = Lookup<Request>(hRequest, Kind::Request, &error);
        if (!r)
            return Fail(error);
        std::lock_guard<std::mutex> g(r->mutex);
        if (lpdwNumberOfBytesAvailable != nullptr)
            *lpdwNumberOfBytesAvailable = 0;
        if (r->ringSize == 0 && r->failed != 0)
            return Fail(r->failed);
        if (!r->received)
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        if (r->ringSize == 0 && !r->done) {
            error = Pump(*r, Wait::Body);
            if (error != ERROR_SUCCESS)
                return FailExchange(*r, error);
        }
        if (r->ringSize == 0 && r->done && r->result != CURLE_OK)
            return FailExchange(*r, TransferError(*r));
        if (lpdwNumberOfBytesAvailable != nullptr)
            *lpdwNumberOfBytesAvailable = static_cast<DWORD>(r->ringSize);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                            LPDWORD lpdwNumberOfBytesRead) {
    try {
        DWORD error = ERROR_SUCCESS;
        auto r = Lookup<Request>(hRequest, Kind::Request, &error);
        if (!r)
            return Fail(error);
        std::lock_guard<std::mutex> g(r->mutex);
        if (lpdwNumberOfBytesRead == nullptr || (lpBuffer == nullptr && dwNumberOfBytesToRead > 0))
            return Fail(ERROR_INVALID_PARAMETER);
        *lpdwNumberOfBytesRead = 0;
        if (r->ringSize == 0 && r->failed != 0)
            return Fail(r->failed);
        if (!r->received)
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        if (dwNumberOfBytesToRead == 0) {
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        if (r->ringSize == 0 && !r->done) {
            error = Pump(*r, Wait::Body);
            if (error != ERROR_SUCCESS)
                return FailExchange(*r, error);
        }
        if (r->ringSize == 0 && r->done && r->result != CURLE_OK)
            return FailExchange(*r, TransferError(*r));
        const size_t n = std::min<size_t>(dwNumberOfBytesToRead, r->ringSize);
        const size_t first = std::min(n, kReceiveBufferBytes - r->ringHead);
        char* out = static_cast<char*>(lpBuffer);
        memcpy(out, r->ring.get() + r->ringHead, first);
        memcpy(out + first, r->ring.get(), n - first);
        r->ringHead = (r->ringHead + n) % kReceiveBufferBytes;
        r->ringSize -= n;
        if (r->ringSize == 0)
            r->ringHead = 0;
        *lpdwNumberOfBytesRead = static_cast<DWORD>(n);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

} // extern "C"
