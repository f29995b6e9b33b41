// CryptoAPI subset for the Linux build: key containers of the RSA full
// providers and the existence of their two key pairs, kept across processes.
// No cryptographic operation is provided.
#pragma once

#include "windef.h"
#include "winerror.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef unsigned int ALG_ID;

#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_A "Microsoft Strong Cryptographic Provider"

#define PROV_RSA_FULL 1

#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040

#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002

#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000A400

#define KP_ALGID 7
#define KP_KEYLEN 9

BOOL CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container, LPCSTR providerName,
                          DWORD providerType, DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
BOOL CryptGenKey(HCRYPTPROV provider, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key);
BOOL CryptGetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key);
BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* dataLength, DWORD flags);
BOOL CryptDestroyKey(HCRYPTKEY key);

#ifdef __cplusplus
}
#endif
