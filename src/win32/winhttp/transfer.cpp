// The transfer engine of the Linux WinHTTP. Calls are synchronous on the
// caller's thread: every request drives its own curl easy handle through a
// multi handle, pausing curl whenever the bounded receive buffer is full or
// the upload waits for WinHttpWriteData, so that the pull calls
// (ReceiveResponse, QueryDataAvailable, ReadData) keep WinHTTP's semantics.
#include "winhttp/transfer.h"

#include "kernel32/text.h"
#include "winhttp/errors.h"
#include "winhttp/handles.h"
#include "winhttp/offline.h"
#include "winhttp/proxy.h"
#include "winhttp/url.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace tw::winhttp {

namespace {

constexpr DWORD kInfinite = 0xFFFFFFFF;
// curl's read size; the receive buffer resumes curl only when this much is free.
constexpr long kCurlBufferBytes = 64 * 1024;
static_assert(kReceiveBufferBytes >= 2 * static_cast<size_t>(kCurlBufferBytes));
// WinHTTP refuses response headers larger than this by default.
constexpr size_t kMaxResponseHeaderBytes = 64 * 1024;
// The longest wait in one poll, so a close from another thread is seen soon
// even if the wake-up were lost.
constexpr DWORD kPollSliceMs = 1000;

std::atomic<size_t> g_peakBuffered{0};

void NotePeak(size_t bytes) {
    size_t seen = g_peakBuffered.load(std::memory_order_relaxed);
    while (bytes > seen && !g_peakBuffered.compare_exchange_weak(seen, bytes)) {
    }
}

bool IsInfinite(DWORD ms) {
    return ms == 0 || ms == kInfinite;
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
    if (r.challenged) {
        // curl passes on the body of a challenge it does not answer.
        r.challenged = false;
        r.finalHeaders = true;
    }
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
            // A proxy's answer to CONNECT; only a refusal is kept, and only
            // the last (a challenge curl answered is followed by another answer).
            r.haveTunnelBlock = r.pending.status >= 300;
            if (r.haveTunnelBlock)
                r.tunnelBlock = r.pending;
            return len;
        }
        if (r.pending.status < 200)
            return len; // interim response
        if (!DecideRedirect(r, r.pending))
            return 0;
        if (r.redirectTo.empty()) {
            r.response = std::move(r.pending);
            // curl may answer a proxy's challenge with the credentials: the
            // 407 is the response only if it passes on its body or ends the
            // transfer without answering.
            if (r.response.status == 407 && r.proxyAuth)
                r.challenged = true;
            else
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
    Request& r = *static_cast<Request*>(user);
    if (r.challenged) {
        // Another request of the same transfer: curl answers the challenge.
        r.challenged = false;
        r.response = HeaderBlock();
    }
    r.prereqSeen = true;
    return CURL_PREREQFUNC_OK;
}

// curl goes back to the start of the body to send it again with its answer
// to a proxy's challenge. Only a body held whole can be: the optional data,
// before anything of WinHttpWriteData went out.
int OnSeek(void* user, curl_off_t offset, int origin) {
    Request& r = *static_cast<Request*>(user);
    if (offset != 0 || origin != SEEK_SET || r.uploaded > r.optionalLen ||
        (r.optionalLen > 0 && r.optional == nullptr))
        return CURL_SEEKFUNC_CANTSEEK;
    r.optionalPos = 0;
    r.uploaded = 0;
    return CURL_SEEKFUNC_OK;
}

// What the proxy is offered on a send: nothing before it asks (curl then
// answers with the scheme its challenge names). Once it has challenged this
// request, a send again starts with one scheme it asked for: Basic goes at
// once, Digest and NTLM first send the request without its body, so that a
// body streamed by WinHttpWriteData need not go twice. curl's own order,
// Negotiate last: curl answers it from the system's Kerberos tickets, not
// from these credentials.
long ProxySchemesOffered(long asked) {
    for (long scheme : {CURLAUTH_DIGEST, CURLAUTH_NTLM, CURLAUTH_BASIC, CURLAUTH_NEGOTIATE}) {
        if (asked & scheme)
            return scheme;
    }
    return static_cast<long>(CURLAUTH_ANY);
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
} // namespace

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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

DWORD SendFailure(const Request& r, bool allTaken) {
    if (!r.done || r.result == CURLE_OK || r.finalHeaders || !r.redirectTo.empty())
        return ERROR_SUCCESS;
    const DWORD error = TransferError(r);
    if (!r.prereqSeen)
        return error; // resolving, connecting, TLS or the proxy tunnel
    if (allTaken && r.result != CURLE_SEND_ERROR)
        return ERROR_SUCCESS;
    // The peer went away while the request was still going out, whatever
    // curl read from it meanwhile.
    return error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE ? ERROR_WINHTTP_CONNECTION_ERROR : error;
}
namespace {

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
    r.proxyAuth = false;
    r.challenged = false;
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
} // namespace

// (Re)starts curl on r.url with r.currentVerb and the body described by
// bodyTotal and the upload sources.
DWORD StartTransfer(Request& r) {
    if (Offline())
        return ERROR_WINHTTP_CANNOT_CONNECT;
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
            set(curl_easy_setopt(e, CURLOPT_PROXYAUTH, ProxySchemesOffered(r.proxySchemes)));
            r.proxyAuth = true;
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
        if (r.proxyAuth) {
            set(curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, OnSeek));
            set(curl_easy_setopt(e, CURLOPT_SEEKDATA, &r));
        }
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
namespace {

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
        long asked = 0;
        if (curl_easy_getinfo(r.easy, CURLINFO_PROXYAUTH_AVAIL, &asked) == CURLE_OK && asked != 0)
            r.proxySchemes = asked;
        if (r.challenged && r.result == CURLE_OK) {
            // A challenge curl did not answer is the response.
            r.challenged = false;
            r.finalHeaders = true;
        }
        // A proxy that refuses the tunnel answers like any server: the caller
        // sees its status (407 for refused credentials), not a failure.
        if (r.result != CURLE_OK && !r.prereqSeen && r.haveTunnelBlock && !r.finalHeaders) {
            r.response = r.tunnelBlock;
            r.finalHeaders = true;
            r.result = CURLE_OK;
        }
    }
}

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
} // namespace

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
    if (r.proxyAuth) {
        // Whole, for curl to send again with its answer to a challenge.
        r.optionalCopy.assign(r.optional, r.optional + r.optionalLen);
        r.optional = r.optionalCopy.data();
        return;
    }
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

size_t PeakBufferedBytes() {
    return g_peakBuffered.load();
}
void ResetPeakBufferedBytes() {
    g_peakBuffered.store(0);
}

} // namespace tw::winhttp
