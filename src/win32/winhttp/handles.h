// The handles of the Linux WinHTTP: sessions, connections and requests with
// the state of their exchange, the table that tells a live handle from a
// stale one, and the failure helpers every call shares (not part of the
// Win32 surface).
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "headers.h"

#include <curl/curl.h>

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tw::winhttp {

enum class Kind : DWORD {
    Session = WINHTTP_HANDLE_TYPE_SESSION,
    Connect = WINHTTP_HANDLE_TYPE_CONNECT,
    Request = WINHTTP_HANDLE_TYPE_REQUEST,
};

// Options a handle passes to the handles opened from it later.
struct Settings {
    DWORD resolveTimeout = 0;
    DWORD connectTimeout = 60000;
    DWORD sendTimeout = 30000;
    DWORD receiveTimeout = 30000;
    DWORD receiveResponseTimeout = 90000;
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DEFAULT;
    DWORD maxRedirects = 10;
    DWORD disabledFeatures = 0;
};

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    const Kind kind;
    std::mutex mutex; // held for the whole of a call on this handle
    Settings settings;
    DWORD_PTR context = 0;
    HINTERNET parent = nullptr;
    std::atomic<bool> closed{false};
};

struct Session : Object {
    Session() : Object(Kind::Session) {}
    bool hasAgent = false;
    std::u16string agent;
    DWORD accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    std::u16string proxyList;
    std::u16string bypassList;
    DWORD secureProtocols = 0; // 0: the TLS library's defaults
};

struct Connect : Object {
    Connect() : Object(Kind::Connect) {}
    std::shared_ptr<Session> session;
    std::string host;
    INTERNET_PORT port = 0;
};

struct Request : Object {
    Request() : Object(Kind::Request) {}
    ~Request() override;

    std::shared_ptr<Connect> connect;
    // What WinHttpOpenRequest fixed.
    std::string verb;
    std::string path;
    bool http10 = false;
    bool secure = false;
    DWORD openFlags = 0;
    std::string referrer;
    std::string accept;
    std::string baseUrl;
    // Caller's settings.
    std::vector<Header> headers;
    DWORD securityFlags = 0;
    bool haveProxyUser = false;
    bool haveProxyPassword = false;
    std::string proxyUser;
    std::string proxyPassword;
    long proxySchemes = 0; // CURLAUTH_* the proxy last asked for on this request

    // The exchange.
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    bool inMulti = false;
    curl_slist* httpHeaders = nullptr;
    curl_slist* proxyHeaders = nullptr;
    std::string url; // current target (follows redirects)
    std::string currentVerb;
    bool currentSecure = false;
    DWORD redirects = 0;
    bool sent = false;     // WinHttpSendRequest succeeded
    bool received = false; // WinHttpReceiveResponse succeeded
    DWORD failed = 0;      // error that ended the exchange
    // Per transfer (reset when curl starts over).
    bool prereqSeen = false;
    bool inBlock = false;
    bool finalHeaders = false;
    bool haveTunnelBlock = false;
    bool proxyAuth = false;  // credentials may answer the proxy in this transfer
    bool challenged = false; // `response` is a proxy's 407 that curl may still answer
    bool discardBody = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    int rejectedCertError = 0;
    DWORD redirectError = 0;
    bool headerOverflow = false;
    size_t headerBytes = 0;
    std::string redirectTo;
    std::string redirectVerb;
    HeaderBlock pending;
    HeaderBlock tunnelBlock;
    HeaderBlock response;
    uint64_t progress = 0; // grows with every byte that moves either way
    // Receive buffer: a ring of kReceiveBufferBytes.
    std::unique_ptr<char[]> ring;
    size_t ringHead = 0;
    size_t ringSize = 0;
    bool recvPaused = false;
    // Upload: the optional data, then what WinHttpWriteData hands over.
    uint64_t bodyTotal = 0;
    uint64_t uploaded = 0;
    const char* optional = nullptr;
    size_t optionalLen = 0;
    size_t optionalPos = 0;
    std::vector<char> optionalCopy;
    const char* writeSrc = nullptr;
    size_t writeLen = 0;
    size_t writePos = 0;
    bool sendPaused = false;
};

// Adds a new object to the handle table; its address is the handle.
HINTERNET AddHandle(const std::shared_ptr<Object>& object);
// The object behind a live handle, or null.
std::shared_ptr<Object> FindHandle(HINTERNET h);

// The object behind `h` when it is a live handle of `kind`; else null with
// *error set to ERROR_INVALID_HANDLE or ERROR_WINHTTP_INCORRECT_HANDLE_TYPE.
template <typename T> std::shared_ptr<T> Lookup(HINTERNET h, Kind kind, DWORD* error) {
    std::shared_ptr<Object> object = FindHandle(h);
    if (!object) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (object->kind != kind) {
        *error = ERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

// Reads the settings a handle inherits, under its parent's lock.
Settings InheritSettings(Object& parent);

// Sets the last error and returns FALSE.
BOOL Fail(DWORD error);
// The error for the exception being handled (inside a catch block only).
DWORD ExceptionError();

} // namespace tw::winhttp
