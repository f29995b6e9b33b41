// WinHTTP on libcurl for the Linux build. Calls are synchronous on the
// caller's thread: every request drives its own curl easy handle through a
// multi handle, pausing curl whenever the bounded receive buffer is full or
// the upload waits for WinHttpWriteData, so that the pull calls
// (ReceiveResponse, QueryDataAvailable, ReadData) keep WinHTTP's semantics.
#include "kernel32/handles.h"
#include "winhttp/headers.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace tw::winhttp {

namespace {

constexpr DWORD kInfinite = 0xFFFFFFFF;
// curl's read size; the receive buffer resumes curl only when this much is free.
constexpr long kCurlBufferBytes = 64 * 1024;
static_assert(kReceiveBufferBytes >= 2 * static_cast<size_t>(kCurlBufferBytes));
// WinHTTP refuses response headers larger than this by default.
constexpr size_t kMaxResponseHeaderBytes = 64 * 1024;
constexpr size_t kMaxAcceptTypes = 64;
// The longest wait in one poll, so a close from another thread is seen soon
// even if the wake-up were lost.
constexpr DWORD kPollSliceMs = 1000;

std::atomic<size_t> g_peakBuffered{0};

void NotePeak(size_t bytes) {
    size_t seen = g_peakBuffered.load(std::memory_order_relaxed);
    while (bytes > seen && !g_peakBuffered.compare_exchange_weak(seen, bytes)) {
    }
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsInfinite(DWORD ms) {
    return ms == 0 || ms == kInfinite;
}

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

Request::~Request() {
    if (easy != nullptr) {
        if (inMulti)
            curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    if (multi != nullptr)
        curl_multi_cleanup(multi);
    curl_slist_free_all(httpHeaders);
    curl_slist_free_all(proxyHeaders);
}

// ---- handle table ----

std::mutex& TableMutex() {
    static std::mutex m;
    return m;
}
std::unordered_map<HINTERNET, std::shared_ptr<Object>>& Table() {
    static auto* table = new std::unordered_map<HINTERNET, std::shared_ptr<Object>>();
    return *table;
}

HINTERNET AddHandle(const std::shared_ptr<Object>& object) {
    HINTERNET h = object.get();
    std::lock_guard<std::mutex> g(TableMutex());
    Table()[h] = object;
    RegisterHandle(h);
    return h;
}

std::shared_ptr<Object> FindHandle(HINTERNET h) {
    std::lock_guard<std::mutex> g(TableMutex());
    auto it = Table().find(h);
    return it == Table().end() ? nullptr : it->second;
}

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

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// ---- text ----

std::string Narrow(const WCHAR* s) {
    return s == nullptr ? std::string() : Utf16ToUtf8(s);
}

std::string LowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// WinHTTP escapes what cannot travel in a request line; characters curl would
// otherwise reinterpret ('#') are escaped as well so the path arrives as given.
std::string EscapePath(const WCHAR* objectName, DWORD flags) {
    std::string raw = Narrow(objectName);
    if (raw.empty() || raw[0] != '/')
        raw.insert(raw.begin(), '/');
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(raw.size());
    for (char ch : raw) {
        unsigned char c = static_cast<unsigned char>(ch);
        bool escape = c <= 0x20 || c >= 0x7F || strchr("\"<>\\^`{|}#", c) != nullptr;
        if (c == '%' && (flags & WINHTTP_FLAG_ESCAPE_PERCENT))
            escape = true;
        if (escape) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string BuildUrl(bool secure, const std::string& host, INTERNET_PORT port,
                     const std::string& path) {
    std::string url = secure ? "https://" : "http://";
    if (host.find(':') != std::string::npos && host[0] != '[')
        url += "[" + host + "]";
    else
        url += host;
    unsigned effective = port != INTERNET_DEFAULT_PORT ? port : (secure ? 443u : 80u);
    url += ":" + std::to_string(effective);
    url += path;
    return url;
}

// Host and scheme of a URL through curl's own parser.
bool UrlParts(const std::string& url, std::string* scheme, std::string* host) {
    CURLU* u = curl_url();
    if (u == nullptr)
        return false;
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    char* s = nullptr;
    char* h = nullptr;
    ok = ok && curl_url_get(u, CURLUPART_SCHEME, &s, 0) == CURLUE_OK &&
         curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK;
    if (ok) {
        *scheme = LowerAscii(s);
        *host = h;
        if (host->size() > 2 && (*host)[0] == '[')
            *host = host->substr(1, host->size() - 2);
    }
    curl_free(s);
    curl_free(h);
    curl_url_cleanup(u);
    return ok;
}

// A Location header resolved against the URL it answered.
bool ResolveLocation(const std::string& base, const std::string& location, std::string* out) {
    CURLU* u = curl_url();
    if (u == nullptr)
        return false;
    char* full = nullptr;
    bool ok = curl_url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
              curl_url_set(u, CURLUPART_URL, location.c_str(),
                           CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE) == CURLUE_OK &&
              curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK;
    if (ok)
        *out = full;
    curl_free(full);
    curl_url_cleanup(u);
    return ok;
}

bool HasHeader(const std::vector<Header>& headers, const char* name) {
    HeaderBlock b;
    b.headers = headers;
    return b.find(name) != nullptr;
}

// The headers this request sends besides the request line and Host, in order:
// what WinHTTP adds itself, then the caller's.
std::vector<Header> OutgoingHeaders(const Request& r, const Session& s) {
    std::vector<Header> out;
    const std::vector<Header>& own = r.headers;
    if (!HasHeader(own, "Connection") &&
        !(r.settings.disabledFeatures & WINHTTP_DISABLE_KEEP_ALIVE))
        out.push_back({"Connection", "Keep-Alive"});
    if (s.hasAgent && !s.agent.empty() && !HasHeader(own, "User-Agent"))
        out.push_back({"User-Agent", Utf16ToUtf8(s.agent)});
    if (!r.accept.empty() && !HasHeader(own, "Accept"))
        out.push_back({"Accept", r.accept});
    if (!r.referrer.empty() && !HasHeader(own, "Referer"))
        out.push_back({"Referer", r.referrer});
    if (r.openFlags & WINHTTP_FLAG_REFRESH) {
        if (!HasHeader(own, "Pragma"))
            out.push_back({"Pragma", "no-cache"});
        if (!r.http10 && !HasHeader(own, "Cache-Control"))
            out.push_back({"Cache-Control", "no-cache"});
    }
    out.insert(out.end(), own.begin(), own.end());
    return out;
}

// ---- curl callbacks ----

size_t RingFree(const Request& r) {
    return kReceiveBufferBytes - r.ringSize;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Request& r = *static_cast<Request*>(user);
    const size_t len = size * count;
    if (r.discardBody || len == 0)
        return len;
    if (RingFree(r) < len) {
        r.recvPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    size_t tail = (r.ringHead + r.ringSize) % kReceiveBufferBytes;
    size_t first = std::min(len, kReceiveBufferBytes - tail);
    memcpy(r.ring.get() + tail, data, first);
    memcpy(r.ring.get(), data + first, len - first);
    r.ringSize += len;
    r.progress += len;
    NotePeak(r.ringSize);
    return len;
}

bool IsRedirectStatus(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Decides at the end of a response's headers whether this layer follows it.
// Returns false to abort the transfer (redirectError then says why).
bool DecideRedirect(Request& r, const HeaderBlock& block) {
    if (!IsRedirectStatus(block.status) ||
        r.settings.redirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_NEVER ||
        (r.settings.disabledFeatures & WINHTTP_DISABLE_REDIRECTS))
        return true;
    const Header* location = block.find("Location");
    if (location == nullptr || location->value.empty())
        return true;
    std::string target, scheme, host;
    if (!ResolveLocation(r.url, location->value, &target) || !UrlParts(target, &scheme, &host)) {
        r.redirectError = ERROR_WINHTTP_REDIRECT_FAILED;
        return false;
    }
    if (scheme != "http" && scheme != "https") {
        r.redirectError = ERROR_WINHTTP_REDIRECT_FAILED;
        return false;
    }
    // The default policy hands an HTTPS-to-HTTP redirect to the caller unfollowed.
    if (r.currentSecure && scheme == "http" &&
        r.settings.redirectPolicy == WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP)
        return true;
    if (r.redirects >= r.settings.maxRedirects) {
        r.redirectError = ERROR_WINHTTP_REDIRECT_FAILED;
        return false;
    }
    std::string verb = r.currentVerb;
    if ((block.status == 303 && verb != "HEAD") ||
        ((block.status == 301 || block.status == 302) && verb == "POST"))
        verb = "GET";
    // The body is streamed, not kept, so it cannot be sent a second time.
    if (verb == r.currentVerb && r.bodyTotal > 0) {
        r.redirectError = ERROR_WINHTTP_RESEND_REQUEST;
        return false;
    }
    r.redirectTo = target;
    r.redirectVerb = verb;
    r.discardBody = true;
    return true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Request& r = *static_cast<Request*>(user);
    const size_t len = size * count;
    try {
        r.progress += len;
        if (r.finalHeaders)
            return len; // trailers of a chunked body
        r.headerBytes += len;
        if (r.headerBytes > kMaxResponseHeaderBytes) {
            r.headerOverflow = true;
            return 0;
        }
        std::string line(data, len);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (!r.inBlock) {
            if (line.empty())
                return len;
            r.pending = HeaderBlock();
            if (!ParseStatusLine(line, r.pending))
                return 0;
            r.inBlock = true;
            return len;
        }
        if (!line.empty()) {
            if (line[0] == ' ' || line[0] == '\t') {
                // A folded line continues the previous header's value.
                size_t start = line.find_first_not_of(" \t");
                if (start != std::string::npos && !r.pending.headers.empty()) {
                    r.pending.headers.back().value += " ";
                    r.pending.headers.back().value += line.substr(start);
                }
                return len;
            }
            size_t colon = line.find(':');
            if (colon == std::string::npos)
                return len; // curl accepted it; nothing to keep
            std::string name = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            size_t b = value.find_first_not_of(" \t");
            value = b == std::string::npos ? std::string() : value.substr(b);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.pop_back();
            r.pending.headers.push_back({name, value});
            return len;
        }
        // End of a header block.
        r.inBlock = false;
        r.headerBytes = 0;
        if (!r.prereqSeen) {
            // A proxy's answer to CONNECT; only a refusal is kept.
            if (r.pending.status >= 300) {
                r.tunnelBlock = r.pending;
                r.haveTunnelBlock = true;
            }
            return len;
        }
        if (r.pending.status < 200)
            return len; // interim response
        if (!DecideRedirect(r, r.pending))
            return 0;
        if (r.redirectTo.empty()) {
            r.response = std::move(r.pending);
            r.finalHeaders = true;
        }
        return len;
    } catch (...) {
        return 0;
    }
}

size_t OnUpload(char* buffer, size_t size, size_t count, void* user) {
    Request& r = *static_cast<Request*>(user);
    const size_t room = size * count;
    size_t n = 0;
    if (r.optionalPos < r.optionalLen) {
        n = std::min(room, r.optionalLen - r.optionalPos);
        memcpy(buffer, r.optional + r.optionalPos, n);
        r.optionalPos += n;
    } else if (r.writeSrc != nullptr && r.writePos < r.writeLen) {
        n = std::min(room, r.writeLen - r.writePos);
        memcpy(buffer, r.writeSrc + r.writePos, n);
        r.writePos += n;
    } else if (r.uploaded >= r.bodyTotal) {
        return 0;
    } else {
        r.sendPaused = true;
        return CURL_READFUNC_PAUSE;
    }
    r.uploaded += n;
    r.progress += n;
    return n;
}

int OnPrereq(void* user, char*, char*, int, int) {
    static_cast<Request*>(user)->prereqSeen = true;
    return CURL_PREREQFUNC_OK;
}

int OnVerify(int ok, X509_STORE_CTX* store) {
    SSL* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    Request* r = ssl != nullptr ? static_cast<Request*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))
                                : nullptr;
    if (ok || r == nullptr)
        return ok;
    const int err = X509_STORE_CTX_get_error(store);
    const DWORD forgivenBy = IgnoreFlagForCertificate(err);
    if (forgivenBy != 0 && (r->securityFlags & forgivenBy) != 0) {
        // Cleared so that the handshake's final verdict does not carry it.
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    if (r->rejectedCertError == 0)
        r->rejectedCertError = err;
    return 0;
}

CURLcode OnSslContext(CURL*, void* sslContext, void* user) {
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_app_data(ctx, user);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, OnVerify);
    return CURLE_OK;
}

// ---- the exchange ----

DWORD TransferError(const Request& r) {
    if (r.redirectError != 0)
        return r.redirectError;
    if (r.headerOverflow)
        return ERROR_WINHTTP_HEADER_SIZE_OVERFLOW;
    // A refused certificate fails the send with ERROR_WINHTTP_SECURE_FAILURE,
    // as WinHttpSendRequest documents; the particular fault (unknown CA, name,
    // date, usage, chain) is what a status callback would be told, not the
    // call's result.
    if (r.rejectedCertError != 0 &&
        (r.result == CURLE_PEER_FAILED_VERIFICATION || r.result == CURLE_SSL_CONNECT_ERROR))
        return ERROR_WINHTTP_SECURE_FAILURE;
    // With the chain accepted, curl's own host name check is what is left.
    if (r.result == CURLE_PEER_FAILED_VERIFICATION)
        return ERROR_WINHTTP_SECURE_FAILURE;
    // A reply whose first line is not an HTTP status line.
    if (r.result == CURLE_UNSUPPORTED_PROTOCOL && r.prereqSeen)
        return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    if (r.result == CURLE_OK)
        return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    return ErrorFromCurl(r.result);
}

constexpr DWORD kTlsProtocols =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;

// curl's version range from the enabled protocols, lowest to highest (curl
// cannot leave a gap in between).
long CurlSslVersion(DWORD protocols) {
    struct Row {
        DWORD flag;
        long min;
        long max;
    };
    static const Row rows[] = {
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1, CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0},
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1, CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1},
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2},
        {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3},
    };
    long low = CURL_SSLVERSION_DEFAULT, high = CURL_SSLVERSION_MAX_DEFAULT;
    for (const Row& row : rows) {
        if (protocols & row.flag) {
            if (low == CURL_SSLVERSION_DEFAULT)
                low = row.min;
            high = row.max;
        }
    }
    return low | high;
}

void ResetTransfer(Request& r) {
    r.prereqSeen = false;
    r.inBlock = false;
    r.finalHeaders = false;
    r.haveTunnelBlock = false;
    r.discardBody = false;
    r.done = false;
    r.result = CURLE_OK;
    r.rejectedCertError = 0;
    r.redirectError = 0;
    r.headerOverflow = false;
    r.headerBytes = 0;
    r.redirectTo.clear();
    r.redirectVerb.clear();
    r.pending = HeaderBlock();
    r.tunnelBlock = HeaderBlock();
    r.response = HeaderBlock();
    r.ringHead = 0;
    r.ringSize = 0;
    r.recvPaused = false;
    r.sendPaused = false;
    r.uploaded = 0;
}

void StopTransfer(Request& r) {
    if (r.inMulti) {
        curl_multi_remove_handle(r.multi, r.easy);
        r.inMulti = false;
    }
}

// (Re)starts curl on r.url with r.currentVerb and the body described by
// bodyTotal and the upload sources.
DWORD StartTransfer(Request& r) {
    StopTransfer(r);
    ResetTransfer(r);
    const std::shared_ptr<Session>& session = r.connect->session;
    std::string scheme, host;
    if (!UrlParts(r.url, &scheme, &host))
        return ERROR_WINHTTP_INVALID_URL;
    r.currentSecure = scheme == "https";

    std::vector<Header> outgoing;
    DWORD secureProtocols = 0;
    std::u16string proxyList, bypassList;
    DWORD accessType;
    {
        std::lock_guard<std::mutex> g(session->mutex);
        outgoing = OutgoingHeaders(r, *session);
        secureProtocols = session->secureProtocols;
        accessType = session->accessType;
        proxyList = session->proxyList;
        bypassList = session->bypassList;
    }
    const bool withBody = r.currentVerb == "POST" || r.currentVerb == "PUT" || r.bodyTotal > 0;
    std::vector<std::string> lines;
    for (const Header& h : outgoing)
        lines.push_back(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
    // Headers curl would add by itself and WinHTTP does not send.
    if (!HasHeader(outgoing, "Accept"))
        lines.push_back("Accept:");
    if (!HasHeader(outgoing, "Expect"))
        lines.push_back("Expect:");
    if (withBody && !HasHeader(outgoing, "Content-Type"))
        lines.push_back("Content-Type:");

    curl_slist_free_all(r.httpHeaders);
    r.httpHeaders = nullptr;
    for (const std::string& line : lines) {
        curl_slist* next = curl_slist_append(r.httpHeaders, line.c_str());
        if (next == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        r.httpHeaders = next;
    }
    curl_slist_free_all(r.proxyHeaders);
    r.proxyHeaders = nullptr;
    {
        std::vector<std::string> proxyLines = {"Proxy-Connection:"};
        for (const Header& h : outgoing) {
            if (LowerAscii(h.name) == "user-agent")
                proxyLines.push_back(h.name + ": " + h.value);
        }
        for (const std::string& line : proxyLines) {
            curl_slist* next = curl_slist_append(r.proxyHeaders, line.c_str());
            if (next == nullptr)
                return ERROR_NOT_ENOUGH_MEMORY;
            r.proxyHeaders = next;
        }
    }

    CURL* e = r.easy;
    curl_easy_reset(e);
    bool ok = true;
    auto set = [&ok](CURLcode c) { ok = ok && c == CURLE_OK; };
    set(curl_easy_setopt(e, CURLOPT_URL, r.url.c_str()));
    set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                         r.http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1));
    set(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L));
    set(curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L));
    set(curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L));
    set(curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.httpHeaders));
    set(curl_easy_setopt(e, CURLOPT_PROXYHEADER, r.proxyHeaders));
    set(curl_easy_setopt(e, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE));
    set(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader));
    set(curl_easy_setopt(e, CURLOPT_HEADERDATA, &r));
    set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody));
    set(curl_easy_setopt(e, CURLOPT_WRITEDATA, &r));
    set(curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, OnPrereq));
    set(curl_easy_setopt(e, CURLOPT_PREREQDATA, &r));
    set(curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kCurlBufferBytes));
    // curl's connect time-out covers name resolution too, so both budgets go in.
    long connectMs = 0x7FFFFFFF;
    if (!IsInfinite(r.settings.connectTimeout)) {
        unsigned long long total = r.settings.connectTimeout;
        if (!IsInfinite(r.settings.resolveTimeout))
            total += r.settings.resolveTimeout;
        connectMs = static_cast<long>(std::min<unsigned long long>(total, 0x7FFFFFFF));
    }
    set(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connectMs));

    // The proxy, decided for this host; the environment's proxies never apply.
    std::string proxy;
    if (accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        proxy = ProxyForScheme(proxyList, r.currentSecure);
        if (!proxy.empty() && BypassMatches(bypassList, host))
            proxy.clear();
    }
    set(curl_easy_setopt(e, CURLOPT_NOPROXY, ""));
    if (proxy.empty()) {
        set(curl_easy_setopt(e, CURLOPT_PROXY, ""));
    } else {
        std::string proxyUrl = "http://" + proxy;
        set(curl_easy_setopt(e, CURLOPT_PROXY, proxyUrl.c_str()));
        if (r.haveProxyUser) {
            set(curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, r.proxyUser.c_str()));
            set(curl_easy_setopt(e, CURLOPT_PROXYPASSWORD,
                                 r.haveProxyPassword ? r.proxyPassword.c_str() : ""));
            set(curl_easy_setopt(e, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC)));
        }
    }

    if (r.currentSecure) {
        set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L));
        set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST,
                             (r.securityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L));
        set(curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, OnSslContext));
        set(curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &r));
        // A resumed session skips verification, and the flags may differ per send.
        set(curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L));
        // Roots come from the hashed folder, looked up only as a chain needs
        // them, instead of parsing the whole bundle file for every request.
        set(curl_easy_setopt(e, CURLOPT_CAINFO, static_cast<char*>(nullptr)));
        if (secureProtocols != 0) {
            if ((secureProtocols & kTlsProtocols) == 0)
                return ERROR_WINHTTP_SECURE_FAILURE; // SSL 2/3 only: nothing left to speak
            set(curl_easy_setopt(e, CURLOPT_SSLVERSION, CurlSslVersion(secureProtocols)));
        }
    }

    if (r.currentVerb == "HEAD") {
        set(curl_easy_setopt(e, CURLOPT_NOBODY, 1L));
    } else if (withBody) {
        set(curl_easy_setopt(e, CURLOPT_POST, 1L));
        set(curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.bodyTotal)));
        set(curl_easy_setopt(e, CURLOPT_READFUNCTION, OnUpload));
        set(curl_easy_setopt(e, CURLOPT_READDATA, &r));
        if (r.currentVerb != "POST")
            set(curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.currentVerb.c_str()));
    } else if (r.currentVerb != "GET") {
        set(curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.currentVerb.c_str()));
    }
    if (!ok)
        return ERROR_WINHTTP_INTERNAL_ERROR;
    if (curl_multi_add_handle(r.multi, e) != CURLM_OK)
        return ERROR_WINHTTP_INTERNAL_ERROR;
    r.inMulti = true;
    return ERROR_SUCCESS;
}

void ResumeReceive(Request& r) {
    if (r.recvPaused && RingFree(r) >= static_cast<size_t>(kCurlBufferBytes)) {
        r.recvPaused = false;
        // May deliver held data into the ring at once (and pause again).
        curl_easy_pause(r.easy, r.sendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
    }
}

void CollectDone(Request& r) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(r.multi, &left)) {
        if (msg->msg != CURLMSG_DONE || msg->easy_handle != r.easy)
            continue;
        r.done = true;
        r.result = msg->data.result;
        // A proxy that refuses the tunnel answers like any server: the caller
        // sees its status (407 for refused credentials), not a failure.
        if (r.result != CURLE_OK && !r.prereqSeen && r.haveTunnelBlock && !r.finalHeaders) {
            r.response = r.tunnelBlock;
            r.finalHeaders = true;
            r.result = CURLE_OK;
        }
    }
}

enum class Wait { Sent, Written, Headers, Body };

bool Satisfied(const Request& r, Wait what) {
    if (r.done)
        return true;
    switch (what) {
    case Wait::Sent:
        return r.finalHeaders || (r.prereqSeen && r.optionalPos >= r.optionalLen);
    case Wait::Written:
        return r.finalHeaders || r.writePos >= r.writeLen;
    case Wait::Headers:
        return r.finalHeaders;
    case Wait::Body:
        return r.ringSize > 0;
    }
    return true;
}

// Drives curl until `what` holds or the transfer ends. Returns 0, or the
// error of the wait itself: time-out, cancellation, a curl fault.
DWORD Pump(Request& r, Wait what) {
    const ULONGLONG start = GetTickCount64();
    ULONGLONG lastProgressAt = start;
    uint64_t seen = r.progress;
    for (;;) {
        if (r.closed)
            return ERROR_WINHTTP_OPERATION_CANCELLED;
        ResumeReceive(r);
        int running = 0;
        if (curl_multi_perform(r.multi, &running) != CURLM_OK)
            return ERROR_WINHTTP_INTERNAL_ERROR;
        CollectDone(r);
        if (Satisfied(r, what))
            return ERROR_SUCCESS;
        const ULONGLONG now = GetTickCount64();
        if (r.progress != seen) {
            seen = r.progress;
            lastProgressAt = now;
        }
        // Until the request is on its way curl's connect time-out rules; after
        // that WinHTTP's: no progress for the send or receive time-out.
        ULONGLONG waitMs = kPollSliceMs;
        if (r.prereqSeen) {
            const DWORD idle = (what == Wait::Sent || what == Wait::Written)
                                   ? r.settings.sendTimeout
                                   : r.settings.receiveTimeout;
            if (!IsInfinite(idle)) {
                const ULONGLONG quiet = now - lastProgressAt;
                if (quiet >= idle)
                    return ERROR_WINHTTP_TIMEOUT;
                waitMs = std::min<ULONGLONG>(waitMs, idle - quiet);
            }
            const DWORD whole = r.settings.receiveResponseTimeout;
            if (what == Wait::Headers && !IsInfinite(whole)) {
                if (now - start >= whole)
                    return ERROR_WINHTTP_TIMEOUT;
                waitMs = std::min<ULONGLONG>(waitMs, whole - (now - start));
            }
        }
        if (curl_multi_poll(r.multi, nullptr, 0, static_cast<int>(waitMs), nullptr) != CURLM_OK)
            return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

// Ends the exchange after a failed wait; later calls report the same error.
BOOL FailExchange(Request& r, DWORD error) {
    r.failed = error;
    StopTransfer(r);
    return Fail(error);
}

// Keeps what curl has not taken of the caller's optional data once the call
// that lent it returns.
void KeepOptionalRemainder(Request& r) {
    if (r.optional == nullptr || r.optional == r.optionalCopy.data())
        return;
    if (r.optionalPos < r.optionalLen) {
        r.optionalCopy.assign(r.optional + r.optionalPos, r.optional + r.optionalLen);
        r.optional = r.optionalCopy.data();
        r.optionalLen = r.optionalCopy.size();
        r.optionalPos = 0;
    } else {
        r.optional = nullptr;
        r.optionalLen = 0;
        r.optionalPos = 0;
    }
}

// Follows redirects until the final response's headers are in.
DWORD AwaitResponse(Request& r) {
    for (;;) {
        DWORD err = Pump(r, Wait::Headers);
        if (err != ERROR_SUCCESS)
            return err;
        if (r.finalHeaders)
            return ERROR_SUCCESS;
        if (!r.redirectTo.empty() && r.redirectError == 0) {
            r.url = r.redirectTo;
            if (r.redirectVerb != r.currentVerb) {
                r.bodyTotal = 0;
                r.optional = nullptr;
                r.optionalLen = r.optionalPos = 0;
            }
            r.currentVerb = r.redirectVerb;
            ++r.redirects;
            err = StartTransfer(r);
            if (err != ERROR_SUCCESS)
                return err;
            continue;
        }
        return TransferError(r);
    }
}

// Reads the settings a handle inherits, under its parent's lock.
Settings InheritSettings(Object& parent) {
    std::lock_guard<std::mutex> g(parent.mutex);
    return parent.settings;
}

// ---- options ----

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

// The headers as they go out, for queries with WINHTTP_QUERY_FLAG_REQUEST_HEADERS.
HeaderBlock RequestBlock(const Request& r) {
    HeaderBlock block;
    block.utf8 = true;
    block.version = r.http10 ? "HTTP/1.0" : "HTTP/1.1";
    const std::string& verb = r.currentVerb.empty() ? r.verb : r.currentVerb;
    block.firstLine = verb + " " + r.path + " " + block.version;
    std::lock_guard<std::mutex> g(r.connect->session->mutex);
    block.headers = OutgoingHeaders(r, *r.connect->session);
    return block;
}

DWORD ExceptionError() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

} // namespace

size_t PeakBufferedBytes() {
    return g_peakBuffered.load();
}
void ResetPeakBufferedBytes() {
    g_peakBuffered.store(0);
}

} // namespace tw::winhttp

using namespace tw;
using namespace tw::winhttp;

extern "C" {

HINTERNET WINAPI WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW,
                             LPCWSTR pszProxyBypassW, DWORD dwFlags) {
    try {
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
        if (r->done && r->result != CURLE_OK && !r->finalHeaders && r->redirectTo.empty())
            return FailExchange(*r, TransferError(*r));
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
        if (r->done && r->result != CURLE_OK && !r->finalHeaders && r->redirectTo.empty())
            return FailExchange(*r, TransferError(*r));
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

BOOL WINAPI WinHttpCloseHandle(HINTERNET hInternet) {
    try {
        std::shared_ptr<Object> object;
        {
            std::lock_guard<std::mutex> g(TableMutex());
            auto it = Table().find(hInternet);
            if (it == Table().end())
                return Fail(ERROR_INVALID_HANDLE);
            object = std::move(it->second);
            Table().erase(it);
            UnregisterHandle(hInternet);
        }
        // A call blocked on this request in another thread ends with
        // ERROR_WINHTTP_OPERATION_CANCELLED; children keep what they share.
        object->closed = true;
        if (object->kind == Kind::Request) {
            Request& r = static_cast<Request&>(*object);
            if (r.multi != nullptr)
                curl_multi_wakeup(r.multi);
        }
        object.reset();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

} // extern "C"
