// The libcurl entry points the WinHTTP layer calls, bound to the system's
// libcurl on first use (kernel32/delay_load.h), so the program does not link
// libcurl and its dependency tree at load time: a run that makes no request
// never loads them. Each entry point keeps the address it bound. Without the
// library, calls fail as libcurl itself fails for want of memory, and
// WinHttpOpen reports ERROR_MOD_NOT_FOUND before any of them is reached.
//
// A libcurl function the layer starts to use needs one line here.
#define CURL_DISABLE_TYPECHECK // the checking macros would hide the definitions
#include "kernel32/delay_load.h"
#include "winhttp/curl_loader.h"

#include <curl/curl.h>

#include <stdarg.h>

namespace {

void* bind(std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (p != nullptr)
        return p;
    DWORD error = 0;
    p = tw::DelayLoadSymbol(tw::g_libcurl, name, &error);
    if (p != nullptr)
        slot.store(p, std::memory_order_release);
    return p;
}

template <class Fn> Fn bound(std::atomic<void*>& slot, const char* name) {
    return reinterpret_cast<Fn>(bind(slot, name));
}

const char kNoLibrary[] = "libcurl is not available";

} // namespace

// Defines `name` to call the bound function, or to answer `fail` without it.
#define TW_CURL(ret, name, params, args, fail)                                                     \
    ret name params {                                                                              \
        static std::atomic<void*> slot{nullptr};                                                   \
        auto f = bound<decltype(&name)>(slot, #name);                                              \
        return f != nullptr ? f args : fail;                                                       \
    }
// The same for the release functions: releasing nothing loads nothing.
#define TW_CURL_FREE(name, type)                                                                   \
    void name(type p) {                                                                            \
        static std::atomic<void*> slot{nullptr};                                                   \
        if (p == nullptr)                                                                          \
            return;                                                                                \
        if (auto f = bound<decltype(&name)>(slot, #name))                                          \
            f(p);                                                                                  \
    }

extern "C" {

TW_CURL(CURLcode, curl_global_init, (long flags), (flags), CURLE_FAILED_INIT)
TW_CURL(void, curl_global_cleanup, (void), (), (void)0)
TW_CURL(char*, curl_version, (void), (), nullptr)
TW_CURL(curl_version_info_data*, curl_version_info, (CURLversion v), (v), nullptr)
TW_CURL_FREE(curl_free, void*)
TW_CURL(time_t, curl_getdate, (const char* p, const time_t* unused), (p, unused), -1)

TW_CURL(CURL*, curl_easy_init, (void), (), nullptr)
TW_CURL_FREE(curl_easy_cleanup, CURL*)
TW_CURL(void, curl_easy_reset, (CURL * c), (c), (void)0)
TW_CURL(CURL*, curl_easy_duphandle, (CURL * c), (c), nullptr)
TW_CURL(CURLcode, curl_easy_perform, (CURL * c), (c), CURLE_FAILED_INIT)
TW_CURL(CURLcode, curl_easy_pause, (CURL * c, int bitmask), (c, bitmask), CURLE_FAILED_INIT)
TW_CURL(CURLcode, curl_easy_upkeep, (CURL * c), (c), CURLE_FAILED_INIT)
TW_CURL(CURLcode, curl_easy_recv, (CURL * c, void* b, size_t n, size_t* got), (c, b, n, got),
        CURLE_FAILED_INIT)
TW_CURL(CURLcode, curl_easy_send, (CURL * c, const void* b, size_t n, size_t* sent),
        (c, b, n, sent), CURLE_FAILED_INIT)
TW_CURL(const char*, curl_easy_strerror, (CURLcode code), (code), kNoLibrary)
TW_CURL(char*, curl_easy_escape, (CURL * c, const char* s, int n), (c, s, n), nullptr)
TW_CURL(char*, curl_easy_unescape, (CURL * c, const char* s, int n, int* out), (c, s, n, out),
        nullptr)

TW_CURL(CURLM*, curl_multi_init, (void), (), nullptr)
TW_CURL(CURLMcode, curl_multi_cleanup, (CURLM * m), (m), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_add_handle, (CURLM * m, CURL* c), (m, c), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_remove_handle, (CURLM * m, CURL* c), (m, c), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_perform, (CURLM * m, int* running), (m, running), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_poll,
        (CURLM * m, struct curl_waitfd extra[], unsigned int n, int timeout, int* numfds),
        (m, extra, n, timeout, numfds), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_wait,
        (CURLM * m, struct curl_waitfd extra[], unsigned int n, int timeout, int* numfds),
        (m, extra, n, timeout, numfds), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_wakeup, (CURLM * m), (m), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_timeout, (CURLM * m, long* ms), (m, ms), CURLM_BAD_HANDLE)
TW_CURL(CURLMcode, curl_multi_fdset, (CURLM * m, fd_set* r, fd_set* w, fd_set* e, int* maxfd),
        (m, r, w, e, maxfd), CURLM_BAD_HANDLE)
TW_CURL(CURLMsg*, curl_multi_info_read, (CURLM * m, int* left), (m, left), nullptr)
TW_CURL(const char*, curl_multi_strerror, (CURLMcode code), (code), kNoLibrary)

TW_CURL(struct curl_slist*, curl_slist_append, (struct curl_slist * list, const char* s), (list, s),
        nullptr)
TW_CURL_FREE(curl_slist_free_all, struct curl_slist*)

TW_CURL(CURLU*, curl_url, (void), (), nullptr)
TW_CURL_FREE(curl_url_cleanup, CURLU*)
TW_CURL(CURLU*, curl_url_dup, (CURLU * u), (u), nullptr)
TW_CURL(CURLUcode, curl_url_get, (CURLU * u, CURLUPart what, char** part, unsigned int flags),
        (u, what, part, flags), CURLUE_OUT_OF_MEMORY)
TW_CURL(CURLUcode, curl_url_set, (CURLU * u, CURLUPart what, const char* part, unsigned int flags),
        (u, what, part, flags), CURLUE_OUT_OF_MEMORY)
TW_CURL(const char*, curl_url_strerror, (CURLUcode code), (code), kNoLibrary)

// libcurl's prototypes end their named parameters with an enum, which clang
// warns of in va_start; these enums are int-sized and not promoted, and
// libcurl's own definitions do the same.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif

// The option's number says what its one argument is, as libcurl reads it.
CURLcode curl_easy_setopt(CURL* c, CURLoption option, ...) {
    static std::atomic<void*> slot{nullptr};
    auto f = bound<decltype(&curl_easy_setopt)>(slot, "curl_easy_setopt");
    if (f == nullptr)
        return CURLE_FAILED_INIT;
    va_list ap;
    va_start(ap, option);
    CURLcode rc;
    if (option < CURLOPTTYPE_OBJECTPOINT)
        rc = f(c, option, va_arg(ap, long));
    else if (option < CURLOPTTYPE_FUNCTIONPOINT || option >= CURLOPTTYPE_BLOB)
        rc = f(c, option, va_arg(ap, void*));
    else if (option < CURLOPTTYPE_OFF_T)
        rc = f(c, option, va_arg(ap, void (*)(void)));
    else
        rc = f(c, option, va_arg(ap, curl_off_t));
    va_end(ap);
    return rc;
}

CURLMcode curl_multi_setopt(CURLM* m, CURLMoption option, ...) {
    static std::atomic<void*> slot{nullptr};
    auto f = bound<decltype(&curl_multi_setopt)>(slot, "curl_multi_setopt");
    if (f == nullptr)
        return CURLM_BAD_HANDLE;
    va_list ap;
    va_start(ap, option);
    CURLMcode rc;
    if (option < CURLOPTTYPE_OBJECTPOINT)
        rc = f(m, option, va_arg(ap, long));
    else if (option < CURLOPTTYPE_FUNCTIONPOINT) // the multi options have no blobs
        rc = f(m, option, va_arg(ap, void*));
    else if (option < CURLOPTTYPE_OFF_T)
        rc = f(m, option, va_arg(ap, void (*)(void)));
    else
        rc = f(m, option, va_arg(ap, curl_off_t));
    va_end(ap);
    return rc;
}

// Every piece of information is answered through one pointer.
CURLcode curl_easy_getinfo(CURL* c, CURLINFO info, ...) {
    static std::atomic<void*> slot{nullptr};
    auto f = bound<decltype(&curl_easy_getinfo)>(slot, "curl_easy_getinfo");
    if (f == nullptr)
        return CURLE_FAILED_INIT;
    va_list ap;
    va_start(ap, info);
    void* out = va_arg(ap, void*);
    va_end(ap);
    return f(c, info, out);
}

} // extern "C"

namespace tw::winhttp {

bool LoadCurl(DWORD* error) {
    return DelayLoadLibrary(g_libcurl, error);
}

} // namespace tw::winhttp
