// CryptoAPI key containers: life across processes, the probe's sequence,
// argument errors and damaged container files.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const char kBox[] = "TwProbeBox";

class CryptTest : public ::testing::Test {
  protected:
    // Runs one step of CryptChild below in a new process of this program.
    int child(const std::string& step) {
        twtest::ProcessResult r = twtest::RunProcess(
            twtest::BuildDir() + "/tests/unit_win32",
            {"--gtest_filter=CryptChild.DISABLED_Step", "--gtest_also_run_disabled_tests"},
            {{"TW_CRYPT_STEP", step}});
        EXPECT_EQ(0, r.exitCode) << step << "\n" << r.out << r.err;
        return r.exitCode;
    }

    // Every container file below the drive root.
    std::vector<std::filesystem::path> containerFiles() const {
        std::vector<std::filesystem::path> files;
        for (const auto& e :
             std::filesystem::recursive_directory_iterator(registry_.dir().file("drives")))
            if (e.path().extension() == ".key")
                files.push_back(e.path());
        return files;
    }

    twtest::ScopedRegistry registry_; // also a private drive root for the containers
};

class CryptContainers : public CryptTest {};
class CryptKeys : public CryptTest {};

DWORD KeyParam(HCRYPTKEY key, DWORD param) {
    DWORD value = 0, size = sizeof value;
    EXPECT_TRUE(CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(sizeof value, size);
    return value;
}

HRESULT LastHr() {
    return static_cast<HRESULT>(GetLastError());
}

} // namespace

// One step of the cross-process test, run in a child process.
TEST(CryptChild, DISABLED_Step) {
    const char* stepEnv = getenv("TW_CRYPT_STEP");
    ASSERT_NE(nullptr, stepEnv);
    std::string step = stepEnv;
    HCRYPTPROV prov = 0;
    if (step == "create") {
        ASSERT_TRUE(
            CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
        EXPECT_TRUE(CryptDestroyKey(key));
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    } else if (step == "check") {
        ASSERT_TRUE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, 0));
        HCRYPTKEY sig = 0, xchg = 0;
        ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &sig));
        ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &xchg));
        EXPECT_EQ(1024u, KeyParam(xchg, KP_KEYLEN));
        CryptDestroyKey(sig);
        CryptDestroyKey(xchg);
        CryptReleaseContext(prov, 0);
    } else if (step == "delete") {
        prov = 7;
        ASSERT_TRUE(
            CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
        EXPECT_EQ(0u, prov);
    } else {
        FAIL() << "unknown step " << step;
    }
}

TEST_F(CryptContainers, ContainerAndKeysLiveAcrossProcesses) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, 0));
    EXPECT_EQ(NTE_BAD_KEYSET, LastHr());

    ASSERT_EQ(0, child("create"));
    ASSERT_TRUE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, 0));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    EXPECT_EQ(512u, KeyParam(key, KP_KEYLEN)); // the base provider's default length
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_SIGN), KeyParam(key, KP_ALGID));
    EXPECT_TRUE(CryptDestroyKey(key));
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    EXPECT_EQ(NTE_NO_KEY, LastHr());

    HCRYPTPROV again = 0;
    EXPECT_FALSE(CryptAcquireContextA(&again, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(NTE_EXISTS, LastHr());

    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 1024u << 16, &key));
    CryptDestroyKey(key);
    ASSERT_EQ(0, child("check"));

    ASSERT_EQ(0, child("delete"));
    // The context outlived its container.
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_FALSE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, 0));
    EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
}

TEST_F(CryptContainers, DefaultContainerThroughTheProbeSequence) {
    for (int run = 0; run < 2; ++run) {
        HCRYPTPROV prov = 0;
        bool existed = CryptAcquireContextA(&prov, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, 0);
        EXPECT_EQ(run == 1, existed) << "run " << run;
        if (!existed) {
            EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
            ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL,
                                             CRYPT_NEWKEYSET));
        }
        for (DWORD keySpec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
            HCRYPTKEY key = 0;
            bool had = CryptGetUserKey(prov, keySpec, &key);
            EXPECT_EQ(run == 1, had) << "run " << run << " keySpec " << keySpec;
            if (!had) {
                EXPECT_EQ(NTE_NO_KEY, LastHr());
                ASSERT_TRUE(CryptGenKey(prov, keySpec, 0, &key));
            }
            EXPECT_TRUE(CryptDestroyKey(key));
        }
        EXPECT_TRUE(CryptReleaseContext(prov, 0));
    }
    EXPECT_EQ(1u, containerFiles().size());
}

TEST_F(CryptContainers, NamesIgnoreCaseAndStayInTheirFolder) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&prov, "MyKeys", MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    CryptReleaseContext(prov, 0);
    ASSERT_TRUE(CryptAcquireContextA(&prov, "mykeys", MS_DEF_PROV_A, PROV_RSA_FULL, 0));
    CryptReleaseContext(prov, 0);

    ASSERT_TRUE(CryptAcquireContextA(&prov, "..\\..\\escape/../x", MS_DEF_PROV_A, PROV_RSA_FULL,
                                     CRYPT_NEWKEYSET));
    CryptReleaseContext(prov, 0);
    std::vector<std::filesystem::path> files = containerFiles();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(files[0].parent_path(), files[1].parent_path());

    std::string longName(261, 'k');
    EXPECT_FALSE(CryptAcquireContextA(&prov, longName.c_str(), MS_DEF_PROV_A, PROV_RSA_FULL,
                                      CRYPT_NEWKEYSET));
    EXPECT_EQ(NTE_BAD_KEYSET_PARAM, LastHr());
}

TEST_F(CryptContainers, ProvidersTypesAndFlags) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(
        CryptAcquireContextA(&prov, kBox, "No Such Provider", PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(NTE_KEYSET_NOT_DEF, LastHr());
    EXPECT_FALSE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, 24, CRYPT_NEWKEYSET));
    EXPECT_EQ(NTE_PROV_TYPE_NO_MATCH, LastHr());
    EXPECT_FALSE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL,
                                      CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET));
    EXPECT_EQ(NTE_BAD_FLAGS, LastHr());
    EXPECT_FALSE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, 0x4));
    EXPECT_EQ(NTE_BAD_FLAGS, LastHr());
    EXPECT_FALSE(
        CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
    EXPECT_TRUE(containerFiles().empty());

    // The provider name ignores case; the strong provider's keys are longer.
    ASSERT_TRUE(CryptAcquireContextA(&prov, kBox, "microsoft strong cryptographic provider",
                                     PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, CALG_RSA_KEYX, 0, &key));
    EXPECT_EQ(1024u, KeyParam(key, KP_KEYLEN));
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_KEYX), KeyParam(key, KP_ALGID));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST_F(CryptContainers, VerifyContextKeepsNothing) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(
        CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(NTE_BAD_FLAGS, LastHr());
    ASSERT_TRUE(
        CryptAcquireContextA(&prov, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    EXPECT_EQ(NTE_NO_KEY, LastHr());
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    CryptDestroyKey(key);
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    EXPECT_TRUE(containerFiles().empty());
}

TEST_F(CryptContainers, DamagedContainerFileIsReportedNotTrusted) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    std::vector<std::filesystem::path> files = containerFiles();
    ASSERT_EQ(1u, files.size());

    // A key whose text was cut short spoils the container.
    std::string text = twtest::ReadFileText(files[0].string());
    twtest::WriteFileText(files[0].string(), text.substr(0, text.size() / 2));
    prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, 0));
    EXPECT_EQ(NTE_KEYSET_ENTRY_BAD, LastHr());
    EXPECT_EQ(0u, prov);
    // Not a container at all.
    twtest::WriteFileText(files[0].string(), std::string(100, '\xff'));
    prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, 0));
    EXPECT_EQ(NTE_KEYSET_ENTRY_BAD, LastHr());
    // It can still be deleted and made anew.
    EXPECT_TRUE(
        CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_TRUE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    CryptReleaseContext(prov, 0);
}

TEST_F(CryptKeys, LengthsAlgorithmsAndHandles) {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, kBox, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 100u << 16, &key));
    EXPECT_EQ(NTE_BAD_FLAGS, LastHr());
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 1028u << 16, &key)); // not a multiple of 8
    EXPECT_EQ(NTE_BAD_FLAGS, LastHr());
    EXPECT_FALSE(CryptGenKey(prov, 0x6801 /* CALG_RC4 */, 0, &key));
    EXPECT_EQ(NTE_BAD_ALGID, LastHr());
    EXPECT_FALSE(CryptGetUserKey(prov, 3, &key));
    EXPECT_EQ(NTE_BAD_KEY, LastHr());

    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 768u << 16, &key));
    DWORD size = 0;
    EXPECT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, nullptr, &size, 0));
    EXPECT_EQ(4u, size);
    BYTE small[2];
    size = sizeof small;
    EXPECT_FALSE(CryptGetKeyParam(key, KP_KEYLEN, small, &size, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(4u, size);
    EXPECT_EQ(768u, KeyParam(key, KP_KEYLEN));
    EXPECT_TRUE(CryptDestroyKey(key));
    EXPECT_FALSE(CryptDestroyKey(key));
    EXPECT_EQ(NTE_BAD_KEY, LastHr());

    // A new pair replaces the old one.
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, &key));
    CryptDestroyKey(key);
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
    EXPECT_EQ(512u, KeyParam(key, KP_KEYLEN));
    CryptDestroyKey(key);

    // Flags are refused, but the context is released all the same.
    EXPECT_FALSE(CryptReleaseContext(prov, 1));
    EXPECT_EQ(NTE_BAD_FLAGS, LastHr());
    EXPECT_FALSE(CryptReleaseContext(prov, 0));
    EXPECT_EQ(NTE_BAD_UID, LastHr());
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 0, &key));
    EXPECT_EQ(NTE_BAD_UID, LastHr());
}
