// WinHttpSetOption, WinHttpQueryOption and WinHttpSetTimeouts for the Linux
// WinHTTP: the options this layer honours, on the handle types that take them.
#include "kernel32/text.h"
#include "winhttp/handles.h"

#include <string.h>

#include <memory>
#include <mutex>

namespace tw::winhttp {

namespace {

bool ReadDword(const void* buffer, DWORD length, DWORD* value, DWORD* error) {
    if (buffer == nullptr || length < sizeof(DWORD)) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    memcpy(value, buffer, sizeof(DWORD));
    return true;
}

std::string ReadOptionText(const void* buffer, DWORD chars) {
    const WCHAR* text = static_cast<const WCHAR*>(buffer);
    size_t n = 0;
    while (n < chars && text[n] != 0)
        ++n;
    return Utf16ToUtf8(std::u16string(text, n));
}

DWORD* TimeoutField(Settings& s, DWORD option) {
    switch (option) {
    case WINHTTP_OPTION_RESOLVE_TIMEOUT:
        return &s.resolveTimeout;
    case WINHTTP_OPTION_CONNECT_TIMEOUT:
        return &s.connectTimeout;
    case WINHTTP_OPTION_SEND_TIMEOUT:
        return &s.sendTimeout;
    case WINHTTP_OPTION_RECEIVE_TIMEOUT:
        return &s.receiveTimeout;
    case WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT:
        return &s.receiveResponseTimeout;
    default:
        return nullptr;
    }
}

DWORD SetOptionOn(Object& object, DWORD option, void* buffer, DWORD length) {
    DWORD value = 0;
    DWORD error = ERROR_SUCCESS;
    if (DWORD* field = TimeoutField(object.settings, option)) {
        if (!ReadDword(buffer, length, &value, &error))
            return error;
        *field = value;
        return ERROR_SUCCESS;
    }
    switch (option) {
    case WINHTTP_OPTION_CONTEXT_VALUE:
        if (buffer == nullptr || length < sizeof(DWORD_PTR))
            return ERROR_INSUFFICIENT_BUFFER;
        memcpy(&object.context, buffer, sizeof(DWORD_PTR));
        return ERROR_SUCCESS;
    case WINHTTP_OPTION_REDIRECT_POLICY:
        if (!ReadDword(buffer, length, &value, &error))
            return error;
        if (value > WINHTTP_OPTION_REDIRECT_POLICY_LAST)
            return ERROR_INVALID_PARAMETER;
        object.settings.redirectPolicy = value;
        return ERROR_SUCCESS;
    case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS:
        if (!ReadDword(buffer, length, &value, &error))
            return error;
        object.settings.maxRedirects = value;
        return ERROR_SUCCESS;
    case WINHTTP_OPTION_DISABLE_FEATURE:
        if (!ReadDword(buffer, length, &value, &error))
            return error;
        object.settings.disabledFeatures |= value;
        return ERROR_SUCCESS;
    case WINHTTP_OPTION_CONNECT_RETRIES:
        // Accepted for compatibility; curl makes one connection attempt per address.
        return ReadDword(buffer, length, &value, &error) ? ERROR_SUCCESS : error;
    default:
        break;
    }
    if (object.kind == Kind::Session) {
        Session& s = static_cast<Session&>(object);
        if (option == WINHTTP_OPTION_SECURE_PROTOCOLS) {
            if (!ReadDword(buffer, length, &value, &error))
                return error;
            const DWORD known =
                WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 | WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 |
                WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
            if (value == 0 || (value & ~known) != 0)
                return ERROR_INVALID_PARAMETER;
            s.secureProtocols = value;
            return ERROR_SUCCESS;
        }
    }
    if (object.kind == Kind::Request) {
        Request& r = static_cast<Request&>(object);
        switch (option) {
        case WINHTTP_OPTION_SECURITY_FLAGS: {
            if (!ReadDword(buffer, length, &value, &error))
                return error;
            // What a query reports about the connection may be handed back.
            const DWORD informational = SECURITY_FLAG_SECURE | SECURITY_FLAG_STRENGTH_WEAK |
                                        SECURITY_FLAG_STRENGTH_MEDIUM |
                                        SECURITY_FLAG_STRENGTH_STRONG;
            value &= ~informational;
            if ((value & ~static_cast<DWORD>(SECURITY_FLAG_IGNORE_ALL_CERT_ERRORS)) != 0)
                return ERROR_INVALID_PARAMETER;
            r.securityFlags = value;
            return ERROR_SUCCESS;
        }
        case WINHTTP_OPTION_PROXY_USERNAME:
            if (buffer == nullptr)
                return ERROR_INVALID_PARAMETER;
            r.proxyUser = ReadOptionText(buffer, length);
            r.haveProxyUser = true;
            return ERROR_SUCCESS;
        case WINHTTP_OPTION_PROXY_PASSWORD:
            if (buffer == nullptr)
                return ERROR_INVALID_PARAMETER;
            r.proxyPassword = ReadOptionText(buffer, length);
            r.haveProxyPassword = true;
            return ERROR_SUCCESS;
        default:
            break;
        }
    }
    switch (option) {
    case WINHTTP_OPTION_SECURE_PROTOCOLS:
    case WINHTTP_OPTION_SECURITY_FLAGS:
    case WINHTTP_OPTION_PROXY_USERNAME:
    case WINHTTP_OPTION_PROXY_PASSWORD:
        return ERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
    case WINHTTP_OPTION_HANDLE_TYPE:
    case WINHTTP_OPTION_PARENT_HANDLE:
    case WINHTTP_OPTION_URL:
        return ERROR_WINHTTP_OPTION_NOT_SETTABLE;
    default:
        return ERROR_WINHTTP_INVALID_OPTION;
    }
}

DWORD PutDword(DWORD value, void* buffer, DWORD* length) {
    if (buffer == nullptr || *length < sizeof(DWORD)) {
        *length = sizeof(DWORD);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memcpy(buffer, &value, sizeof value);
    *length = sizeof(DWORD);
    return ERROR_SUCCESS;
}

DWORD PutText(const std::u16string& text, void* buffer, DWORD* length) {
    const size_t need = (text.size() + 1) * sizeof(WCHAR);
    if (buffer == nullptr || *length < need) {
        *length = static_cast<DWORD>(need);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    static_cast<WCHAR*>(buffer)[text.size()] = 0;
    *length = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    return ERROR_SUCCESS;
}

DWORD QueryOptionOn(Object& object, DWORD option, void* buffer, DWORD* length) {
    if (DWORD* field = TimeoutField(object.settings, option))
        return PutDword(*field, buffer, length);
    switch (option) {
    case WINHTTP_OPTION_HANDLE_TYPE:
        return PutDword(static_cast<DWORD>(object.kind), buffer, length);
    case WINHTTP_OPTION_PARENT_HANDLE:
    case WINHTTP_OPTION_CONTEXT_VALUE: {
        const DWORD_PTR value = option == WINHTTP_OPTION_PARENT_HANDLE
                                    ? reinterpret_cast<DWORD_PTR>(object.parent)
                                    : object.context;
        if (buffer == nullptr || *length < sizeof(DWORD_PTR)) {
            *length = sizeof(DWORD_PTR);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        memcpy(buffer, &value, sizeof value);
        *length = sizeof(DWORD_PTR);
        return ERROR_SUCCESS;
    }
    case WINHTTP_OPTION_REDIRECT_POLICY:
        return PutDword(object.settings.redirectPolicy, buffer, length);
    case WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS:
        return PutDword(object.settings.maxRedirects, buffer, length);
    default:
        break;
    }
    if (object.kind == Kind::Session) {
        Session& s = static_cast<Session&>(object);
        if (option == WINHTTP_OPTION_SECURE_PROTOCOLS)
            return PutDword(s.secureProtocols, buffer, length);
        if (option == WINHTTP_OPTION_USER_AGENT)
            return PutText(s.agent, buffer, length);
    }
    if (object.kind == Kind::Request) {
        Request& r = static_cast<Request&>(object);
        switch (option) {
        case WINHTTP_OPTION_SECURITY_FLAGS: {
            DWORD flags = r.securityFlags;
            if (r.currentSecure && r.prereqSeen)
                flags |= SECURITY_FLAG_SECURE | SECURITY_FLAG_STRENGTH_STRONG;
            return PutDword(flags, buffer, length);
        }
        case WINHTTP_OPTION_URL:
            return PutText(Utf8ToUtf16(r.url.empty() ? r.baseUrl : r.url), buffer, length);
        case WINHTTP_OPTION_PROXY_USERNAME:
            return PutText(Utf8ToUtf16(r.proxyUser), buffer, length);
        case WINHTTP_OPTION_PROXY_PASSWORD:
            return PutText(Utf8ToUtf16(r.proxyPassword), buffer, length);
        default:
            break;
        }
    }
    switch (option) {
    case WINHTTP_OPTION_SECURE_PROTOCOLS:
    case WINHTTP_OPTION_USER_AGENT:
    case WINHTTP_OPTION_SECURITY_FLAGS:
    case WINHTTP_OPTION_URL:
    case WINHTTP_OPTION_PROXY_USERNAME:
    case WINHTTP_OPTION_PROXY_PASSWORD:
        return ERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
    default:
        return ERROR_WINHTTP_INVALID_OPTION;
    }
}

} // namespace

} // namespace tw::winhttp

using namespace tw;
using namespace tw::winhttp;

extern "C" {

BOOL WINAPI WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                             DWORD dwBufferLength) {
    try {
        std::shared_ptr<Object> object = FindHandle(hInternet);
        if (!object)
            return Fail(ERROR_INVALID_HANDLE);
        std::lock_guard<std::mutex> g(object->mutex);
        DWORD error = SetOptionOn(*object, dwOption, lpBuffer, dwBufferLength);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpQueryOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                               LPDWORD lpdwBufferLength) {
    try {
        if (lpdwBufferLength == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        std::shared_ptr<Object> object = FindHandle(hInternet);
        if (!object)
            return Fail(ERROR_INVALID_HANDLE);
        std::lock_guard<std::mutex> g(object->mutex);
        DWORD error = QueryOptionOn(*object, dwOption, lpBuffer, lpdwBufferLength);
        if (error != ERROR_SUCCESS)
            return Fail(error);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

BOOL WINAPI WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout, int nConnectTimeout,
                               int nSendTimeout, int nReceiveTimeout) {
    try {
        std::shared_ptr<Object> object = FindHandle(hInternet);
        if (!object)
            return Fail(ERROR_INVALID_HANDLE);
        if (object->kind == Kind::Connect)
            return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        for (int t : {nResolveTimeout, nConnectTimeout, nSendTimeout, nReceiveTimeout}) {
            if (t < -1)
                return Fail(ERROR_INVALID_PARAMETER);
        }
        std::lock_guard<std::mutex> g(object->mutex);
        // -1 is infinite, stored as the all-ones value.
        object->settings.resolveTimeout = static_cast<DWORD>(nResolveTimeout);
        object->settings.connectTimeout = static_cast<DWORD>(nConnectTimeout);
        object->settings.sendTimeout = static_cast<DWORD>(nSendTimeout);
        object->settings.receiveTimeout = static_cast<DWORD>(nReceiveTimeout);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

} // extern "C"
