#include "machine/crypto_probe.h"

#include <windows.h>
#include <wincrypt.h>

#include <initializer_list>

int CheckCryptographicClient() {
    HCRYPTPROV provider = 0;
    const char* name = "Microsoft Base Cryptographic Provider v1.0";
    if (!CryptAcquireContextA(&provider, nullptr, name, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextA(&provider, nullptr, name, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return 0;
    for (DWORD keySpec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
        HCRYPTKEY key = 0;
        if (CryptGetUserKey(provider, keySpec, &key)) {
            CryptDestroyKey(key);
            continue;
        }
        if (static_cast<HRESULT>(GetLastError()) != NTE_NO_KEY) {
            CryptReleaseContext(provider, 0);
            return 0;
        }
        if (CryptGenKey(provider, keySpec, 0, &key))
            CryptDestroyKey(key);
    }
    CryptReleaseContext(provider, 0);
    return 1;
}
