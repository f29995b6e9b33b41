// The OpenSSL entry points the layer calls itself (the CryptoAPI key
// containers, and WinHTTP's certificate checks inside libcurl's handshake),
// bound to the system's libssl and libcrypto on first use
// (kernel32/delay_load.h) instead of at load time. The certificate checks run
// only after libcurl has loaded libssl, so they bind to the same library.
// CryptAcquireContext refuses to start without libcrypto
// (NTE_PROVIDER_DLL_FAIL), so the key functions never run without it.
//
// An OpenSSL function the layer starts to use needs one line here.
#include "kernel32/delay_load.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <stdarg.h>
#include <string.h>

namespace {

template <class Fn> Fn bound(tw::DelayLoaded& lib, std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (p == nullptr) {
        DWORD error = 0;
        p = tw::DelayLoadSymbol(lib, name, &error);
        if (p != nullptr)
            slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(p);
}

} // namespace

// Defines `name` to call the bound function of `lib`, or to answer `fail`.
#define TW_OPENSSL(lib, ret, name, params, args, fail)                                             \
    ret name params {                                                                              \
        static std::atomic<void*> slot{nullptr};                                                   \
        auto f = bound<decltype(&name)>(tw::lib, slot, #name);                                     \
        return f != nullptr ? f args : fail;                                                       \
    }

extern "C" {

// libssl
TW_OPENSSL(g_libssl, void*, SSL_CTX_get_ex_data, (const SSL_CTX* ctx, int idx), (ctx, idx), nullptr)
TW_OPENSSL(g_libssl, int, SSL_CTX_set_ex_data, (SSL_CTX * ctx, int idx, void* data),
           (ctx, idx, data), 0)
TW_OPENSSL(g_libssl, void, SSL_CTX_set_verify, (SSL_CTX * ctx, int mode, SSL_verify_cb cb),
           (ctx, mode, cb), (void)0)
TW_OPENSSL(g_libssl, SSL_CTX*, SSL_get_SSL_CTX, (const SSL* ssl), (ssl), nullptr)
TW_OPENSSL(g_libssl, int, SSL_get_ex_data_X509_STORE_CTX_idx, (void), (), -1)

// libcrypto
TW_OPENSSL(g_libcrypto, int, X509_STORE_CTX_get_error, (const X509_STORE_CTX* ctx), (ctx),
           X509_V_ERR_UNSPECIFIED)
TW_OPENSSL(g_libcrypto, void, X509_STORE_CTX_set_error, (X509_STORE_CTX * ctx, int e), (ctx, e),
           (void)0)
TW_OPENSSL(g_libcrypto, void*, X509_STORE_CTX_get_ex_data, (const X509_STORE_CTX* ctx, int idx),
           (ctx, idx), nullptr)
TW_OPENSSL(g_libcrypto, int, X509_STORE_CTX_get_error_depth, (const X509_STORE_CTX* ctx), (ctx), 0)
TW_OPENSSL(g_libcrypto, const char*, X509_verify_cert_error_string, (long n), (n),
           "libcrypto is not available")
TW_OPENSSL(g_libcrypto, const BIO_METHOD*, BIO_s_mem, (void), (), nullptr)
TW_OPENSSL(g_libcrypto, BIO*, BIO_new, (const BIO_METHOD* type), (type), nullptr)
TW_OPENSSL(g_libcrypto, BIO*, BIO_new_mem_buf, (const void* buf, int len), (buf, len), nullptr)
TW_OPENSSL(g_libcrypto, long, BIO_ctrl, (BIO * bio, int cmd, long larg, void* parg),
           (bio, cmd, larg, parg), 0)
TW_OPENSSL(g_libcrypto, int, EVP_PKEY_get_base_id, (const EVP_PKEY* key), (key), 0)
TW_OPENSSL(g_libcrypto, int, EVP_PKEY_get_bits, (const EVP_PKEY* key), (key), 0)
TW_OPENSSL(g_libcrypto, EVP_PKEY*, PEM_read_bio_PrivateKey,
           (BIO * bio, EVP_PKEY** out, pem_password_cb* cb, void* u), (bio, out, cb, u), nullptr)
TW_OPENSSL(g_libcrypto, int, PEM_write_bio_PrivateKey,
           (BIO * bio, const EVP_PKEY* key, const EVP_CIPHER* enc, const unsigned char* kstr,
            int klen, pem_password_cb* cb, void* u),
           (bio, key, enc, kstr, klen, cb, u), 0)

// Releasing nothing loads nothing.
int BIO_free(BIO* bio) {
    static std::atomic<void*> slot{nullptr};
    if (bio == nullptr)
        return 0;
    auto f = bound<decltype(&BIO_free)>(tw::g_libcrypto, slot, "BIO_free");
    return f != nullptr ? f(bio) : 0;
}

void EVP_PKEY_free(EVP_PKEY* key) {
    static std::atomic<void*> slot{nullptr};
    if (key == nullptr)
        return;
    if (auto f = bound<decltype(&EVP_PKEY_free)>(tw::g_libcrypto, slot, "EVP_PKEY_free"))
        f(key);
}

// The key type says what follows it: a size in bits for "RSA", a curve name
// for "EC" and "SM2", nothing for the others (EVP_PKEY_Q_keygen(3)).
EVP_PKEY* EVP_PKEY_Q_keygen(OSSL_LIB_CTX* libctx, const char* propq, const char* type, ...) {
    static std::atomic<void*> slot{nullptr};
    auto f = bound<decltype(&EVP_PKEY_Q_keygen)>(tw::g_libcrypto, slot, "EVP_PKEY_Q_keygen");
    if (f == nullptr || type == nullptr)
        return nullptr;
    va_list ap;
    va_start(ap, type);
    EVP_PKEY* key;
    if (strcmp(type, "RSA") == 0)
        key = f(libctx, propq, type, va_arg(ap, size_t));
    else if (strcmp(type, "EC") == 0 || strcmp(type, "SM2") == 0)
        key = f(libctx, propq, type, va_arg(ap, char*));
    else
        key = f(libctx, propq, type);
    va_end(ap);
    return key;
}

} // extern "C"
