// CryptoAPI key containers for the Linux build. A container is a small file
// where Windows keeps the user's RSA keys:
//   C:\Users\<user>\AppData\Roaming\Microsoft\Crypto\RSA\<container>.key
// (C:\ProgramData\Microsoft\Crypto\RSA\MachineKeys with CRYPT_MACHINE_KEYSET),
// under the drive root of tw::HostPath. It holds the container's two key pairs
// (exchange, signature): real RSA keys made with OpenSSL, so container and key
// existence behave as documented across processes. No cryptographic operation
// on them is offered: the probe needs none.
//
// File format (text, mode 0600): "tidewell-key-container 1", "name <container>",
// then per key pair a line "key <keySpec> <algid> <bits>" followed by the private
// key in PEM. Changes are written to a new file and renamed over the old one
// under an flock of the folder's ".lock".
#include "kernel32/delay_load.h"
#include "kernel32/machine_profile.h"
#include "kernel32/paths.h"
#include "kernel32/text.h"

#include <wincrypt.h>

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>

namespace {

const char kMagic[] = "tidewell-key-container 1";
const size_t kMaxContainerName = 260;
const size_t kMaxContainerFile = 64 * 1024;

struct KeyPair {
    ALG_ID algorithm = 0;
    DWORD bits = 0;
    std::string pem; // the private key
};

// A new RSA private key of `bits` bits in PEM; empty when OpenSSL fails.
std::string generateKey(DWORD bits) {
    std::string pem;
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (key == nullptr)
        return pem;
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio != nullptr &&
        PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
        char* data = nullptr;
        long size = BIO_get_mem_data(bio, &data);
        if (size > 0)
            pem.assign(data, static_cast<size_t>(size));
    }
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

// Whether `pem` holds an RSA private key of `bits` bits.
bool keyMatches(const std::string& pem, DWORD bits) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio == nullptr)
        return false;
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    bool ok = key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA &&
              EVP_PKEY_get_bits(key) == static_cast<int>(bits);
    EVP_PKEY_free(key);
    BIO_free(bio);
    return ok;
}

struct Context {
    bool verify = false; // CRYPT_VERIFYCONTEXT: nothing persists
    std::string folder;  // host folder of the containers
    std::string file;    // host path of this container
    std::string name;    // container name as given
    DWORD defaultBits = 512;
    std::map<DWORD, KeyPair> ephemeral; // verify contexts only
};

struct Key {
    DWORD keySpec = 0;
    KeyPair pair;
};

std::mutex g_lock;
std::unordered_map<ULONG_PTR, std::unique_ptr<Context>>& contexts() {
    static auto* m = new std::unordered_map<ULONG_PTR, std::unique_ptr<Context>>();
    return *m;
}
std::unordered_map<ULONG_PTR, std::unique_ptr<Key>>& keys() {
    static auto* m = new std::unordered_map<ULONG_PTR, std::unique_ptr<Key>>();
    return *m;
}

bool fail(HRESULT code) {
    SetLastError(static_cast<DWORD>(code));
    return false;
}

std::string userName() {
    passwd pw;
    passwd* result = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &result) == 0 && result != nullptr &&
        result->pw_name != nullptr && *result->pw_name != '\0')
        return result->pw_name;
    return "user";
}

// Container names compare without regard to case; file names are the
// lower-cased name with unsafe bytes escaped, or a hash when that is too long.
std::string fileNameFor(const std::string& container) {
    std::u16string wide = tw::Utf8ToUtf16(container);
    for (auto& c : wide)
        c = tw::FoldChar(c);
    std::string lower = tw::Utf16ToUtf8(wide);
    std::string name;
    for (unsigned char c : lower) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.')
            name += static_cast<char>(c);
        else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            name += hex;
        }
    }
    if (name.size() > 200 || name.empty() || name[0] == '.') {
        unsigned long long h = 1469598103934665603ull; // FNV-1a
        for (unsigned char c : lower)
            h = (h ^ c) * 1099511628211ull;
        char hex[24];
        snprintf(hex, sizeof hex, "h%016llx", h);
        name = hex;
    }
    return name + ".key";
}

bool makeFolders(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// An exclusive lock on the folder's ".lock" file for the life of the object.
class FolderLock {
  public:
    explicit FolderLock(const std::string& folder) {
        fd_ = open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FolderLock() {
        if (fd_ >= 0)
            close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

enum class Read { Ok, Missing, Bad };

Read readContainer(const std::string& file, std::string& name, std::map<DWORD, KeyPair>& pairs) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0)
        return Read::Missing;
    if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxContainerFile))
        return Read::Bad;
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return Read::Bad;
    pairs.clear();
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "name ") == 0) {
            name = line.substr(5);
            continue;
        }
        std::istringstream fields(line);
        std::string tag;
        unsigned long keySpec = 0, alg = 0, bits = 0;
        if (!(fields >> tag >> keySpec >> alg >> bits) || tag != "key")
            continue;
        KeyPair pair{static_cast<ALG_ID>(alg), static_cast<DWORD>(bits), std::string()};
        while (std::getline(in, line)) {
            pair.pem += line + "\n";
            if (line.compare(0, 9, "-----END ") == 0)
                break;
        }
        // A damaged key spoils the container rather than passing for a key.
        if ((keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) || !keyMatches(pair.pem, pair.bits))
            return Read::Bad;
        pairs[static_cast<DWORD>(keySpec)] = pair;
    }
    return Read::Ok;
}

bool writeContainer(const std::string& file, const std::string& name,
                    const std::map<DWORD, KeyPair>& pairs) {
    std::string tmp = file + ".tmp";
    {
        // Private keys: readable by their owner only, from the start.
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        close(fd);
        std::ofstream out(tmp, std::ios::trunc);
        if (!out)
            return false;
        out << kMagic << "\n"
            << "name " << name << "\n";
        for (const auto& [keySpec, pair] : pairs)
            out << "key " << keySpec << " " << pair.algorithm << " " << pair.bits << "\n" << pair.pem;
        out.flush();
        if (!out)
            return false;
    }
    if (rename(tmp.c_str(), file.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

HRESULT errnoToNte(int err) {
    return err == EACCES || err == EPERM ? NTE_PERM : NTE_FAIL;
}

Context* findContext(HCRYPTPROV handle) {
    auto it = contexts().find(handle);
    return it == contexts().end() ? nullptr : it->second.get();
}

HCRYPTKEY newKey(DWORD keySpec, const KeyPair& pair) {
    auto key = std::make_unique<Key>();
    key->keySpec = keySpec;
    key->pair = pair;
    auto handle = reinterpret_cast<HCRYPTKEY>(key.get());
    keys()[handle] = std::move(key);
    return handle;
}

// Which default length a provider gives RSA keys.
bool providerBits(const char* provider, DWORD& bits) {
    if (provider == nullptr) {
        bits = 1024; // the default provider of PROV_RSA_FULL is the strong one
        return true;
    }
    std::u16string p = tw::Utf8ToUtf16(provider);
    if (tw::EqualNoCase(p, u"" MS_DEF_PROV_A)) {
        bits = 512;
        return true;
    }
    if (tw::EqualNoCase(p, u"" MS_ENHANCED_PROV_A) || tw::EqualNoCase(p, u"" MS_STRONG_PROV_A)) {
        bits = 1024;
        return true;
    }
    return false;
}

} // namespace

extern "C" {

BOOL CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container, LPCSTR providerName,
                          DWORD providerType, DWORD flags) {
    if (provider == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        // The provider's keys are OpenSSL's, bound on first use: without the
        // library the provider cannot start, as with a broken provider DLL.
        DWORD loadError = 0;
        if (!tw::DelayLoadLibrary(tw::g_libcrypto, &loadError))
            return fail(NTE_PROVIDER_DLL_FAIL);
        const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                            CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
        if ((flags & ~known) != 0 || ((flags & CRYPT_NEWKEYSET) && (flags & CRYPT_DELETEKEYSET)))
            return fail(NTE_BAD_FLAGS);
        auto ctx = std::make_unique<Context>();
        if (!providerBits(providerName, ctx->defaultBits))
            return fail(NTE_KEYSET_NOT_DEF);
        if (providerType != PROV_RSA_FULL)
            return fail(providerName == nullptr ? NTE_PROV_TYPE_NOT_DEF : NTE_PROV_TYPE_NO_MATCH);

        if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
            if ((flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) ||
                (container != nullptr && *container != '\0'))
                return fail(NTE_BAD_FLAGS);
            ctx->verify = true;
        } else {
            // The default container carries the user's name.
            ctx->name = container != nullptr && *container != '\0' ? container : userName();
            if (tw::Utf8ToUtf16(ctx->name).size() > kMaxContainerName)
                return fail(NTE_BAD_KEYSET_PARAM);
            ctx->folder = (flags & CRYPT_MACHINE_KEYSET)
                              ? tw::HostPath("C:\\ProgramData\\Microsoft\\Crypto\\RSA\\MachineKeys")
                              : tw::HostPath(("C:\\Users\\" + userName() +
                                              "\\AppData\\Roaming\\Microsoft\\Crypto\\RSA")
                                                 .c_str());
            ctx->file = ctx->folder + "/" + fileNameFor(ctx->name);

            std::string storedName;
            std::map<DWORD, KeyPair> pairs;
            if (flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) {
                if (!makeFolders(ctx->folder))
                    return fail(errnoToNte(errno));
                FolderLock lock(ctx->folder);
                if (!lock.ok())
                    return fail(errnoToNte(errno));
                Read r = readContainer(ctx->file, storedName, pairs);
                if (flags & CRYPT_DELETEKEYSET) {
                    if (r == Read::Missing)
                        return fail(NTE_BAD_KEYSET);
                    if (unlink(ctx->file.c_str()) != 0)
                        return fail(errnoToNte(errno));
                    *provider = 0; // nothing to release
                    return TRUE;
                }
                if (r != Read::Missing)
                    return fail(NTE_EXISTS);
                if (!writeContainer(ctx->file, ctx->name, {}))
                    return fail(errnoToNte(errno));
            } else {
                Read r = readContainer(ctx->file, storedName, pairs);
                if (r == Read::Missing)
                    return fail(NTE_BAD_KEYSET);
                if (r == Read::Bad)
                    return fail(NTE_KEYSET_ENTRY_BAD);
            }
        }
        std::lock_guard<std::mutex> g(g_lock);
        auto handle = reinterpret_cast<HCRYPTPROV>(ctx.get());
        contexts()[handle] = std::move(ctx);
        *provider = handle;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return fail(NTE_FAIL);
    }
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    std::lock_guard<std::mutex> g(g_lock);
    if (contexts().erase(provider) == 0)
        return fail(NTE_BAD_UID);
    // Windows releases the context even when it refuses the flags.
    if (flags != 0)
        return fail(NTE_BAD_FLAGS);
    return TRUE;
}

BOOL CryptGenKey(HCRYPTPROV provider, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key) {
    try {
        std::lock_guard<std::mutex> g(g_lock);
        Context* ctx = findContext(provider);
        if (ctx == nullptr)
            return fail(NTE_BAD_UID);
        if (key == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DWORD keySpec;
        KeyPair pair;
        if (algorithm == AT_KEYEXCHANGE || algorithm == CALG_RSA_KEYX) {
            keySpec = AT_KEYEXCHANGE;
            pair.algorithm = CALG_RSA_KEYX;
        } else if (algorithm == AT_SIGNATURE || algorithm == CALG_RSA_SIGN) {
            keySpec = AT_SIGNATURE;
            pair.algorithm = CALG_RSA_SIGN;
        } else {
            return fail(NTE_BAD_ALGID);
        }
        // The upper 16 bits ask for a length: 512 (OpenSSL's least) to 16384
        // bits, in steps of 8.
        DWORD bits = flags >> 16;
        if (bits == 0)
            bits = ctx->defaultBits;
        else if (bits < 512 || bits > 16384 || bits % 8 != 0)
            return fail(NTE_BAD_FLAGS);
        pair.bits = bits;
        pair.pem = generateKey(bits);
        if (pair.pem.empty())
            return fail(NTE_FAIL);

        if (ctx->verify) {
            ctx->ephemeral[keySpec] = pair;
        } else {
            // A new key pair replaces the container's old one of that kind.
            FolderLock lock(ctx->folder);
            if (!lock.ok())
                return fail(errnoToNte(errno));
            std::string storedName;
            std::map<DWORD, KeyPair> pairs;
            Read r = readContainer(ctx->file, storedName, pairs);
            if (r == Read::Missing)
                return fail(NTE_BAD_KEYSET); // deleted since it was acquired
            if (r == Read::Bad)
                return fail(NTE_KEYSET_ENTRY_BAD);
            pairs[keySpec] = pair;
            if (!writeContainer(ctx->file, ctx->name, pairs))
                return fail(errnoToNte(errno));
        }
        *key = newKey(keySpec, pair);
        return TRUE;
    } catch (...) {
        return fail(NTE_FAIL);
    }
}

BOOL CryptGetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key) {
    try {
        std::lock_guard<std::mutex> g(g_lock);
        Context* ctx = findContext(provider);
        if (ctx == nullptr)
            return fail(NTE_BAD_UID);
        if (key == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
            return fail(NTE_BAD_KEY);
        std::map<DWORD, KeyPair> pairs;
        if (ctx->verify) {
            pairs = ctx->ephemeral;
        } else {
            // Read afresh: another process may have made or removed the key.
            std::string storedName;
            Read r = readContainer(ctx->file, storedName, pairs);
            if (r == Read::Missing)
                return fail(NTE_BAD_KEYSET);
            if (r == Read::Bad)
                return fail(NTE_KEYSET_ENTRY_BAD);
        }
        auto it = pairs.find(keySpec);
        if (it == pairs.end())
            return fail(NTE_NO_KEY);
        *key = newKey(keySpec, it->second);
        return TRUE;
    } catch (...) {
        return fail(NTE_FAIL);
    }
}

BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* dataLength, DWORD flags) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = keys().find(key);
    if (it == keys().end())
        return fail(NTE_BAD_KEY);
    if (dataLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (flags != 0)
        return fail(NTE_BAD_FLAGS);
    DWORD value;
    if (param == KP_ALGID)
        value = it->second->pair.algorithm;
    else if (param == KP_KEYLEN)
        value = it->second->pair.bits;
    else
        return fail(NTE_BAD_TYPE);
    if (data == nullptr) {
        *dataLength = sizeof value;
        return TRUE;
    }
    if (*dataLength < sizeof value) {
        *dataLength = sizeof value;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    memcpy(data, &value, sizeof value);
    *dataLength = sizeof value;
    return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
    std::lock_guard<std::mutex> g(g_lock);
    if (keys().erase(key) == 0)
        return fail(NTE_BAD_KEY);
    return TRUE;
}

} // extern "C"
